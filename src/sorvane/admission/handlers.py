"""The method handlers of an admitting server: each unary-request handler
becomes a request-streaming one whose behaviour waits for the message,
counts it, waits for a worker and runs the original; a streaming one's
responses are advanced on a worker (:class:`_Paced`)."""
import logging
import threading
from typing import Any, Callable, Dict, Optional, Tuple

import grpc

from sorvane.admission.gate import _Gate, _Ticket, _current
from sorvane.admission.refusals import _Refusal
from sorvane.admission.settings import BYTES_FULL, REQUEST_LATE
from sorvane.admission.waiting import _timer

log = logging.getLogger("sorvane.admission")


class _Sized:
    """A request deserializer that also notes the size of the message."""

    __slots__ = ("inner",)

    def __init__(self, inner: Optional[Callable[[bytes], Any]]) -> None:
        self.inner = inner

    def __call__(self, raw: bytes) -> Tuple[int, Any]:
        return len(raw), raw if self.inner is None else self.inner(raw)


class _Admitted:
    """The behaviour an admitting server runs for a unary-request method:
    waits for the message, counts it, waits for a worker, runs `behaviour`."""

    __slots__ = ("behaviour", "method", "priority", "streaming")

    def __init__(self, behaviour: Callable[..., Any], method: str, priority: bool,
                 streaming: bool = False) -> None:
        self.behaviour = behaviour
        self.method = method
        self.priority = priority
        self.streaming = streaming

    def __call__(self, requests: Any, context: Any) -> Any:
        ticket = getattr(_current, "ticket", None)  # None: run as grpcio runs calls
        request = self._receive(requests, context, ticket)
        if ticket is not None:
            ticket.gate.wait_for_worker(ticket, context)
        result = self.behaviour(request, context)
        if ticket is not None and self.streaming:
            return _Paced(result, ticket, context)
        return result

    def _receive(self, requests: Any, context: Any, ticket: Optional[_Ticket]) -> Any:
        wait = None if ticket is None else ticket.gate.limits.request_wait
        if ticket is not None and ticket.gate.bytes_full():
            context.abort(grpc.StatusCode.RESOURCE_EXHAUSTED, BYTES_FULL)  # not read at all
        timer = None if wait is None else _timer.after(wait, context.cancel)
        ended = None  # type: Optional[str]
        try:
            size, request = next(requests)
        except StopIteration:
            ended = "closed"
        except grpc.RpcError:  # the call ended while its message was awaited
            ended = "cancelled"
        # Past the wait, the call is (being) cancelled, whether the message came or not.
        late = timer is not None and not _timer.cancel(timer)
        if late:
            log.debug("%s: %s", self.method, REQUEST_LATE)
            context.abort(grpc.StatusCode.CANCELLED, REQUEST_LATE)
        if ended == "closed":
            context.abort(grpc.StatusCode.UNIMPLEMENTED,
                          '"%s" requires exactly one request message.' % self.method)
        if ended is not None:
            context.abort(grpc.StatusCode.CANCELLED, "cancelled")
        if ticket is not None and not ticket.gate.hold_bytes(ticket, size):
            del request
            context.abort(grpc.StatusCode.RESOURCE_EXHAUSTED, BYTES_FULL)
        return request


class _Paced:
    """A streaming handler's responses, advanced on a worker: the worker is
    given back while grpcio sends each message (and waits for the client to
    take it), and taken again for the next one."""

    __slots__ = ("_responses", "_ticket", "_context")

    def __init__(self, responses: Any, ticket: _Ticket, context: Any) -> None:
        self._responses = iter(responses)
        self._ticket = ticket
        self._context = context

    def __iter__(self) -> "_Paced":
        return self

    def __next__(self) -> Any:
        ticket = self._ticket
        if not ticket.worker:
            ticket.gate.wait_for_worker(ticket, self._context)
        try:
            return next(self._responses)
        finally:
            ticket.gate.release_worker(ticket)

    def close(self) -> None:
        close = getattr(self._responses, "close", None)
        if close is not None:
            close()


def _convert(handler: Any, method: str, priority: bool) -> Any:
    """`handler` as the request-streaming kind an admitting server runs."""
    if handler is None or handler.request_streaming:
        return handler
    if not handler.response_streaming:
        behaviour = handler.unary_unary
        if type(behaviour) is _Refusal:
            return grpc.stream_unary_rpc_method_handler(
                behaviour, response_serializer=handler.response_serializer)
        return grpc.stream_unary_rpc_method_handler(
            _Admitted(behaviour, method, priority), _Sized(handler.request_deserializer),
            handler.response_serializer)
    return grpc.stream_stream_rpc_method_handler(
        _Admitted(handler.unary_stream, method, priority, streaming=True),
        _Sized(handler.request_deserializer), handler.response_serializer)


class _Admitting(grpc.GenericRpcHandler):
    """A generic handler whose handlers are converted for admission."""

    def __init__(self, inner: Any, gate: _Gate) -> None:
        self._inner = inner
        self._gate = gate
        self._lock = threading.Lock()
        self._converted = {}  # type: Dict[Tuple[str, int], Tuple[Any, Any]]

    def service(self, handler_call_details: Any) -> Any:
        handler = self._inner.service(handler_call_details)
        if handler is None:
            return None
        method = handler_call_details.method
        key = (method, id(handler))
        with self._lock:
            known = self._converted.get(key)
            if known is not None and known[0] is handler:
                return known[1]
        converted = _convert(handler, method, method in self._gate.limits.priority)
        with self._lock:
            if len(self._converted) >= 512:  # a handler made per call: keep none
                self._converted.clear()
            self._converted[key] = (handler, converted)
        return converted

    def __repr__(self) -> str:
        return "<admission for %r>" % (self._inner,)
