"""The command line: ``python -m sorvane serve``, ``call``, ``health`` and ``list``.

``serve`` hosts modules through :class:`sorvane.corvex.GrpcServer`, in one
process or in several processes sharing one port; ``call`` makes one remote
call through :class:`sorvane.corvex.GrpcHelper` and prints the result as JSON;
``health`` asks a server's health service (:mod:`sorvane.ops`) and ``list``
what its exposure guard lets calls reach.
Errors are one line on standard error and a meaningful exit status, never a
traceback. The framework itself is only imported once a command runs, so
``--help`` works even where the native modules cannot load.

The command line is this package: :mod:`~sorvane.cli.parser` (the commands and
their options), :mod:`~sorvane.cli.client` (``call``, ``health``, ``list``),
:mod:`~sorvane.cli.serve` (``serve`` in one process),
:mod:`~sorvane.cli.supervisor` (signals, and several processes on one port),
:mod:`~sorvane.cli.security` (TLS and token settings) and
:mod:`~sorvane.cli.status` (exit statuses and error lines). Every name they
define is also importable from here.
"""

import sys
from typing import Optional, Sequence

from sorvane.cli.client import (UNREACHED, _ask, _code_name, _listing, _printable, call_command,
                                describe_rpc_error, health_command, list_command, parse_address,
                                parse_arg, parse_kwargs, parse_target, routing_settings)
from sorvane.cli.parser import (ADDRESS_HELP, CALL_DESCRIPTION, DEFAULT_MAX_QUEUED_BYTES,
                                DEFAULT_MAX_QUEUED_CALLS, DEFAULT_REQUEST_WAIT, EXPOSURE_GUARDED,
                                EXPOSURE_UNGUARDED, HEALTH_DESCRIPTION, LIST_DESCRIPTION,
                                LOG_LEVELS, SERVE_DESCRIPTION, _client_security_options, _count,
                                _engine_option, _log_level, _paragraphs, _Parser, _port,
                                _positive_int, _routing_options, _seconds, build_parser)
from sorvane.cli.security import (client_security, describe_security, is_loopback, read_token,
                                  serve_warnings, server_security)
from sorvane.cli.serve import (LOG_FORMAT, _configure_logging, _serve_one, expose, have_guard,
                               log, only_modules, serve_command)
from sorvane.cli.status import (EXIT_ERROR, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE,
                                UsageError, _fail, _one_line, _warn)
from sorvane.cli.supervisor import (EXIT_DELAY, STOP_GRACE, _child_command, _exit_soon,
                                    _serve_processes, _stop_children, _StopRequest,
                                    _watch_parent)

__all__ = ["main", "EXIT_OK", "EXIT_ERROR", "EXIT_USAGE", "EXIT_FAILED", "EXIT_INTERRUPTED"]


def select_engine(name: Optional[str]) -> str:
    """Applies --engine (or the environment's choice); returns the engine's name."""
    from sorvane import engine

    if name is not None:
        engine.select(name)
    return engine.current()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    ns = parser.parse_args(argv)
    if ns.command is None:
        sys.stderr.write("%s: error: choose a command: serve, call, health or list (see --help)\n"
                         % parser.prog)
        return EXIT_USAGE
    command = ns.command  # type: str
    try:
        select_engine(ns.engine)
    except (RuntimeError, ValueError) as e:
        _fail("%s %s: error: %s" % (parser.prog, command, e))
        return EXIT_USAGE
    try:
        if command == "serve":
            return serve_command(ns)
        if command == "health":
            return health_command(ns)
        if command == "list":
            return list_command(ns)
        return call_command(ns)
    except UsageError as e:
        _fail("%s %s: error: %s (see --help)" % (parser.prog, command, e))
        return EXIT_USAGE
