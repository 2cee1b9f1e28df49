"""The processes of ``serve``: signals as a request to stop, the exit that
follows a stop, and several server processes on one port, started, watched
and stopped by a parent. What one server process serves is
:mod:`sorvane.cli.serve`'s."""

import argparse
import logging
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from typing import Any, List, Optional

from sorvane.cli.status import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, UsageError, _fail

#: Seconds that calls in flight get to finish when a server is asked to stop.
STOP_GRACE = 5.0
#: Seconds after that before a server process exits even if a target still runs.
EXIT_DELAY = 2.0

# Every part of the command line logs under one name.
log = logging.getLogger("sorvane.cli")


class _StopRequest:
    """SIGINT and SIGTERM as a request to stop, which the main thread waits for.

    The handler only notes the signal and wakes the main thread; the stopping
    is done by the main thread once wait() returns. An exception raised from
    the handler would land in whatever the main thread runs at that moment,
    which may take it for its own: logging reports it as a logging error and
    carries on, an ``except Exception`` around an import or the server's start
    calls it a failure, and threading's internals are left half done.

    One request is enough: a second signal gets the default action
    (KeyboardInterrupt for SIGINT, termination for SIGTERM), so that a stop
    that hangs can still be cut short.
    """

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self) -> None:
        #: The name of the signal that asked to stop, once one has.
        self.signal_name = None  # type: Optional[str]
        self._reader, self._writer = socket.socketpair()
        for end in (self._reader, self._writer):
            end.setblocking(False)
        self._old_wakeup_fd = -1
        self._old_handlers = []  # type: List[Any]

    def install(self) -> None:
        """Installs the handlers; main thread only."""
        # The interpreter's own low-level handler writes to the wakeup socket
        # in whatever thread the signal arrives; that wakes a main thread
        # blocked in select() where the signal does not interrupt the call
        # (another thread took it, or Windows).
        self._old_wakeup_fd = signal.set_wakeup_fd(self._writer.fileno())
        self._old_handlers = [signal.getsignal(sig) for sig in self.SIGNALS]
        for sig in self.SIGNALS:
            signal.signal(sig, self._note)

    def _note(self, signum: int, frame: Any) -> None:
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        if self.signal_name is None:
            self.signal_name = signal.Signals(signum).name
        # Also wakes a select() that the signal interrupted: it restarts
        # after the handler and must not block again.
        try:
            self._writer.send(b"\0")
        except OSError:  # full: the main thread has wake-ups enough to read
            pass

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until a signal asks to stop, or `timeout` seconds at most;
        returns whether one has."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.signal_name is None:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            select.select([self._reader], [], [], left)
            try:
                while self._reader.recv(512):
                    pass
            except OSError:  # nothing more to read
                pass
        return True

    def close(self) -> None:
        """Puts back the wakeup fd found by install(), and the handlers where
        this one's are still installed."""
        for sig, handler in zip(self.SIGNALS, self._old_handlers):
            if signal.getsignal(sig) == self._note:
                signal.signal(sig, handler if handler is not None else signal.SIG_DFL)
        # Before the socket closes: the descriptor's number could be reused.
        signal.set_wakeup_fd(self._old_wakeup_fd)
        self._reader.close()
        self._writer.close()


def _exit_soon(status: int) -> None:
    """Ends the process if a target still runs EXIT_DELAY seconds from now.

    gRPC has cancelled its call by then, but the thread running it would keep
    the interpreter from exiting for as long as the target takes.
    """

    def force_exit() -> None:
        log.warning("a call still runs %gs after the stop; exiting without it", EXIT_DELAY)
        for handler in logging.getLogger().handlers:
            handler.flush()
        os._exit(status)

    timer = threading.Timer(EXIT_DELAY, force_exit)
    timer.daemon = True
    timer.start()


def _watch_parent(parent_pid: int) -> None:
    """Stops this child when its multi-process parent is gone."""

    def watch() -> None:
        while os.getppid() == parent_pid:
            time.sleep(1.0)
        os.kill(os.getpid(), signal.SIGTERM)

    threading.Thread(target=watch, name="sorvane-parent-watch", daemon=True).start()


def _child_command(ns: argparse.Namespace) -> List[str]:
    command = [sys.executable, "-m", "sorvane", "serve"]
    command += list(ns.modules)
    command += ["--host", ns.host, "--port", str(ns.port), "--workers", str(ns.workers),
                "--max-message-length", str(ns.max_message_length),
                "--max-queued-calls", str(ns.max_queued_calls),
                "--max-queued-bytes", str(ns.max_queued_bytes),
                "--request-wait", repr(ns.request_wait), "--processes", "1",
                "--log-level", ns.log_level, "--parent-pid", str(os.getpid())]
    if ns.engine is not None:
        command += ["--engine", ns.engine]
    for option, value in (("--tls-cert", ns.tls_cert), ("--tls-key", ns.tls_key),
                          ("--tls-client-ca", ns.tls_client_ca),
                          ("--token-file", ns.token_file)):
        if value is not None:
            command += [option, value]
    if ns.insecure:
        command.append("--insecure")
    return command


def _serve_processes(ns: argparse.Namespace) -> int:
    """K children on one port; stops them all when asked or when one dies."""
    if os.name != "posix" or sys.platform == "darwin":
        raise UsageError("--processes above 1 needs Linux port sharing (SO_REUSEPORT)")
    stop = _StopRequest()
    stop.install()
    children = []  # type: List[subprocess.Popen[bytes]]
    status = EXIT_OK
    try:
        for _ in range(ns.processes):
            if stop.signal_name is not None:
                break
            # A session of their own keeps a terminal's Ctrl-C away from the
            # children: the parent alone decides how they stop.
            children.append(subprocess.Popen(_child_command(ns), start_new_session=True))
        if children:
            log.info("started %d server processes on %s:%d: %s", len(children), ns.host,
                     ns.port, " ".join(str(c.pid) for c in children))
        while not stop.wait(0.2):
            exited = [child for child in children if child.poll() is not None]
            if exited:
                _fail("error: server process %d exited with status %d; stopping the others"
                      % (exited[0].pid, exited[0].returncode))
                status = EXIT_ERROR
                break
    except KeyboardInterrupt:  # a second Ctrl-C: the children are stopped all the same
        status = EXIT_INTERRUPTED
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        stop.close()
        asked = _stop_children(children)
    for child in children:
        # A child still starting when asked to stop dies of the SIGTERM
        # before it has its handler: that is the stop that was asked for.
        stopped = child.returncode == 0 or (child in asked
                                            and child.returncode == -signal.SIGTERM)
        if not stopped and status == EXIT_OK:
            status = EXIT_ERROR
    return status


def _stop_children(children: "List[subprocess.Popen[bytes]]") -> "List[subprocess.Popen[bytes]]":
    """Sends SIGTERM to the children still running and waits for them all,
    killing those that outstay STOP_GRACE by 5s; returns those sent SIGTERM."""
    asked = [child for child in children if child.poll() is None]
    for child in asked:
        child.send_signal(signal.SIGTERM)
    deadline = time.monotonic() + STOP_GRACE + 5.0
    for child in children:
        try:
            child.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
    return asked
