"""What the native engine does when the interpreter exits: stop its servers,
wait for their handlers, close its channels, and keep the engine's threads
out of Python from then on (:func:`_stop_everything`, registered with
:mod:`atexit` when this module is imported, after :mod:`sorvane.process_exit`
and the thread pools it waits for have registered their own hooks)."""
import atexit
from typing import List

from sorvane import _native  # type: ignore[attr-defined]  # an extension without stubs
from sorvane import process_exit
from sorvane.native.channel import _live_channels
from sorvane.native.common import _LOGGER
from sorvane.native.server import _live_servers

__all__ = []  # type: List[str]


@atexit.register
def _stop_everything() -> None:
    # Before the interpreter finalizes: stop native servers as a graceful stop
    # does (new calls refused with UNAVAILABLE before they run, calls in flight
    # answered if their handlers return within the exit grace, then
    # cancelled), wait for the handlers still running, as grpcio's thread pool
    # is waited for, close the channels, and keep the engine's threads out of
    # Python for good. A handler must not be inside Python once finalization
    # begins: the interpreter would end its thread in mid-call. (Servers of a
    # GrpcServer were stopped so already, when the main thread returned.)
    servers = list(_live_servers)
    process_exit.stop_servers(servers)
    for srv in servers:
        waited = 0
        while not srv._core.wait_idle(1.0):
            waited += 1
            if waited == 5:
                _LOGGER.warning("exit waits for handlers of a stopped server to return")
    # Handlers of servers already stopped and collected may still run too.
    waited = 0
    while not _native._wait_handlers(1.0):
        waited += 1
        if waited == 5:
            _LOGGER.warning("exit waits for handlers of a stopped server to return")
    for channel in list(_live_channels):
        try:
            channel.close()
        except Exception:  # noqa: BLE001
            pass
    _native._finalize()
