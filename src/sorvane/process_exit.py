"""What becomes of servers that still serve when the process exits.

A server started by ``GrpcServer.run_background`` serves until it is stopped
or until the main thread returns. Then it is stopped as ``stop(EXIT_GRACE)``
stops a server, on either engine: calls that arrive from then on are refused
with UNAVAILABLE before they run (a client may safely retry them elsewhere),
and the calls in flight get EXIT_GRACE seconds to send their replies before
they are cancelled. The process then ends once the handlers still running
return. (grpc core refuses a call that reaches it in the very instant its
server's stop begins with CANCELLED instead; that call has not run either.)

This runs where the interpreter runs its own thread-exit hooks: before the
thread pools of :mod:`concurrent.futures` stop taking work (grpcio's server
runs its handlers on one, and a server that outlived it would take calls it
can no longer answer), and before non-daemon threads are joined (so that a
``run_blocking`` parked on such a thread returns). Nothing here decides how a
server stops; the engine's ``stop`` does.
"""
import atexit
import concurrent.futures.thread  # noqa: F401  (its exit hook must be registered before ours)
import threading
import time
import weakref
from typing import Any, Callable, Iterable, List, Optional

__all__ = ["EXIT_GRACE", "stop_at_exit", "stop_servers", "wait_stopped"]

#: Seconds that calls in flight get to finish when the process exits.
EXIT_GRACE = 5.0
# A stop that has not ended this long after its grace is not waited for.
_STOP_SLACK = 5.0

_lock = threading.Lock()
_serving = weakref.WeakSet()  # type: weakref.WeakSet[Any]
_kept = []  # type: List[Any]  # servers that cannot be weakly referenced
_registered = False
# Threads parked in wait_stopped (run_blocking off the main thread).
_parked = set()  # type: set


def _register_thread_exit(hook: Callable[[], None]) -> None:
    """Runs `hook` when the main thread returns, before the thread pools stop
    and before non-daemon threads are joined (at exit, if that is past).

    ``threading._register_atexit`` (CPython 3.9+, private) runs its hooks in
    reverse order of registration when the main thread returns, before
    non-daemon threads are joined; concurrent.futures registered its own at
    import, above, so ours runs first. Before 3.9 there is no such hook: a
    daemon thread that waits for the main thread to end runs ours while the
    main thread joins the non-daemon ones, and an atexit hook waits for it
    (the pools' workers are daemon threads there, joined by an atexit hook of
    concurrent.futures registered before ours, so run after it).
    """
    register = getattr(threading, "_register_atexit", None)
    if register is not None:
        try:
            register(hook)
        except RuntimeError:  # "can't register atexit after shutdown"
            atexit.register(hook)
        return
    main = threading.main_thread()
    if not main.is_alive():
        atexit.register(hook)
        return

    def watch() -> None:
        main.join()
        hook()

    watcher = threading.Thread(target=watch, name="sorvane-exit", daemon=True)
    watcher.start()
    atexit.register(lambda: watcher.join(EXIT_GRACE + 2 * _STOP_SLACK))


def stop_at_exit(server: Any) -> None:
    """Stops `server` (a ``grpc.Server`` of either engine) with EXIT_GRACE
    when the main thread returns, unless it is gone by then."""
    global _registered
    with _lock:
        try:
            _serving.add(server)
        except TypeError:
            _kept.append(server)
        if not _registered:
            _register_thread_exit(_stop_serving)
            _registered = True


def wait_stopped(server: Any) -> None:
    """Waits until `server` has stopped (``run_blocking`` off the main thread).
    At exit, once the servers are stopped, the exit waits a moment for such
    threads to return: a daemon thread still waiting inside an extension's
    frame when the interpreter finalizes is ended there, and that ends the
    process with an abort."""
    me = threading.current_thread()
    with _lock:
        _parked.add(me)
    try:
        server.wait_for_termination()
    finally:
        with _lock:
            _parked.discard(me)


def stop_servers(servers: Iterable[Any], grace: Optional[float] = None) -> None:
    """Stops every server of `servers` at once with `grace` seconds (None:
    EXIT_GRACE as it is now) and returns once all have stopped; a server
    whose stop fails, or has not ended a few seconds after its grace, is left
    behind."""
    if grace is None:
        grace = EXIT_GRACE
    events = []
    for server in servers:
        try:
            events.append(server.stop(grace))
        except Exception:  # noqa: BLE001 - one server's failure must not keep the others serving
            pass
    until = time.monotonic() + grace + _STOP_SLACK
    for event in events:
        wait = getattr(event, "wait", None)
        if wait is not None:
            wait(max(0.0, until - time.monotonic()))


def _stop_serving() -> None:
    global _registered
    with _lock:
        servers = list(_serving) + _kept
        _serving.clear()
        del _kept[:]
        # A server started from now on (by a daemon thread) registers anew,
        # with atexit then.
        _registered = False
    stop_servers(servers)
    with _lock:
        parked = list(_parked)
    until = time.monotonic() + _STOP_SLACK
    for thread in parked:
        if thread is not threading.current_thread():
            thread.join(max(0.0, until - time.monotonic()))
