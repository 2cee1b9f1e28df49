"""What a command ends with: its exit statuses, the usage error, and the one
line on standard error that reports a failure (never a traceback)."""

import sys

#: The command did what was asked (``serve``: it stopped cleanly on request).
EXIT_OK = 0
#: ``call``: the remote target raised; ``serve``: the server could not start
#: or one of its processes died.
EXIT_ERROR = 1
#: The command line was wrong (argparse's own code for usage errors).
EXIT_USAGE = 2
#: ``call``: the call did not complete (unreachable server, deadline, an RPC
#: that the server failed, a reply that is not a result envelope).
EXIT_FAILED = 3
#: Interrupted by a second Ctrl-C, or Ctrl-C during ``call``.
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A wrong command line, reported as one line with exit status 2."""


def _fail(line: str) -> None:
    sys.stderr.write(_one_line(line) + "\n")
    sys.stderr.flush()


def _warn(line: str) -> None:
    _fail("warning: " + line)


def _one_line(text: str) -> str:
    return " ".join(text.split())
