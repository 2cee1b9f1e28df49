"""The thread pool grpcio is given by an admitting server: it sees each call
as grpcio hands it over, answers refusals on the serving thread and gives
every admitted call a thread of its own."""
import weakref
from concurrent import futures
from typing import Any, Callable, Dict, Optional, Tuple

import grpc

from sorvane.admission.gate import _Gate, _Ticket, _current
from sorvane.admission.handlers import _Admitted
from sorvane.admission.refusals import _Refusal
from sorvane.admission.settings import QUEUE_FULL
from sorvane.admission.threads import _Threads, _leave_signals_to_the_main_thread


def _ours(args: Tuple[Any, ...]) -> Any:
    """The admitting behaviour or refusal among a submitted job's arguments."""
    for value in args:
        if type(value) is _Admitted or type(value) is _Refusal:
            return value
    return None


def _here(fn: Callable[..., Any], args: Tuple[Any, ...],
          kwargs: Dict[str, Any]) -> "futures.Future[Any]":
    """Runs a job on the calling thread (grpcio's serving thread)."""
    future = futures.Future()  # type: futures.Future[Any]
    try:
        future.set_result(fn(*args, **kwargs))
    except BaseException as e:  # grpcio's job catches its own; report anything else
        future.set_exception(e)
    return future


class _Executor(futures.Executor):
    """The thread pool grpcio is given: sees each call as it is handed over,
    and gives every admitted call a thread at once (the call waits for its
    message there, then for a worker, not in a queue of this pool)."""

    def __init__(self, gate: _Gate) -> None:
        self._gate = gate
        self._threads = _Threads(gate.limits.workers + 1)
        # Threads end with the server that no longer needs them.
        weakref.finalize(self, self._threads.close)
        self._other = None  # type: Optional[futures.ThreadPoolExecutor]

    def submit(self, fn: Callable[..., Any], *args: Any,  # type: ignore[override]
               **kwargs: Any) -> "futures.Future[Any]":
        behaviour = _ours(args)
        if type(behaviour) is _Refusal:
            # Reads nothing and waits for nothing: answered on the serving thread.
            return _here(fn, args, kwargs)
        if behaviour is None:  # a handler not made here (request-streaming)
            if self._other is None:
                self._other = futures.ThreadPoolExecutor(
                    self._gate.limits.workers, initializer=_leave_signals_to_the_main_thread)
            return self._other.submit(fn, *args, **kwargs)
        ticket = self._gate.admit(behaviour.priority)
        if ticket is None:
            full = _Refusal(grpc.StatusCode.RESOURCE_EXHAUSTED, QUEUE_FULL)
            return _here(fn, tuple(full if a is behaviour else a for a in args), kwargs)
        try:
            return self._threads.submit(_run, (ticket, fn, args, kwargs), {})
        except BaseException:
            self._gate.finished(ticket)
            raise

    def shutdown(self, wait: bool = True, **kwargs: Any) -> None:
        if self._other is not None:
            self._other.shutdown(wait)
        self._threads.close(wait)


def _run(ticket: _Ticket, fn: Callable[..., Any], args: Tuple[Any, ...],
         kwargs: Dict[str, Any]) -> Any:
    _current.ticket = ticket
    try:
        return fn(*args, **kwargs)
    finally:
        _current.ticket = None
        ticket.gate.finished(ticket)
