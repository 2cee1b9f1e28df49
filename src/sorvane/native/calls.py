"""The calls a native channel hands back: finished calls (:class:`_EndedCall`,
:class:`_OkCall`), the error a failed call raises (:class:`_InactiveRpcError`),
the future of ``future()`` (:class:`_Future`) and the response iterator of a
unary-stream call (:class:`_ResponseStream`), each grpcio's ``Call``,
``Future`` and ``RpcError`` where grpcio's is."""
import logging
import threading
import time
import weakref
from types import TracebackType
from typing import Any, Callable, List, Optional, Tuple

import grpc

from sorvane import _native  # type: ignore[attr-defined]  # an extension without stubs
from sorvane.native.common import _CODES, Metadata, MetadataPairs, _metadata

#: (code, details, response, initial, trailing, debug) of a finished call.
_Outcome = Tuple[int, str, Any, MetadataPairs, MetadataPairs, str]
Deserializer = Optional[Callable[[bytes], Any]]


def _run_callbacks(callbacks: Optional[List[Callable[[Any], None]]], call: Any) -> None:
    """Runs a finished call's done callbacks, in order, on a callback thread:
    a slow one holds up no other call."""
    def run() -> None:
        for callback in callbacks or ():
            try:
                callback(call)
            except Exception:  # noqa: BLE001
                logging.getLogger("grpc._channel").exception("Exception in callback")
    if callbacks:
        _native._call_soon(run)


class _EndedCall(grpc.Call):
    """What a finished call reports about itself."""

    def __init__(self, code: grpc.StatusCode, details: str, initial: MetadataPairs,
                 trailing: MetadataPairs) -> None:
        self._code = code
        self._details = details
        self._initial = _metadata(initial)
        self._trailing = _metadata(trailing)

    def code(self) -> grpc.StatusCode:
        return self._code

    def details(self) -> str:
        return self._details

    def initial_metadata(self) -> Metadata:
        return self._initial

    def trailing_metadata(self) -> Metadata:
        return self._trailing

    def is_active(self) -> bool:
        return False

    def time_remaining(self) -> Optional[float]:  # type: ignore[override]  # None: no deadline
        return None

    def cancel(self) -> bool:
        return False

    def add_callback(self, callback: Callable[[], None]) -> bool:
        return False


class _OkCall(_EndedCall):
    """The call object with_call returns beside a response."""

    def __init__(self, initial: MetadataPairs, trailing: MetadataPairs) -> None:
        super().__init__(grpc.StatusCode.OK, "", initial, trailing)


# grpcio's stubs type details() and trailing_metadata() apart in RpcError and
# Call, and make Future generic, which it is not at run time.
class _InactiveRpcError(grpc.RpcError, _EndedCall, grpc.Future):  # type: ignore[misc,type-arg]
    """A finished call that did not end with OK: raised, and also a Call."""

    def __init__(self, code: int, details: str, initial: MetadataPairs, trailing: MetadataPairs,
                 debug: str) -> None:
        _EndedCall.__init__(self, _CODES.get(code, grpc.StatusCode.UNKNOWN), details, initial,
                            trailing)
        self._debug = debug

    def debug_error_string(self) -> str:
        return self._debug

    def cancelled(self) -> bool:
        return self._code is grpc.StatusCode.CANCELLED

    def running(self) -> bool:
        return False

    def done(self) -> bool:
        return True

    def result(self, timeout: Optional[float] = None) -> Any:
        raise self

    def exception(self, timeout: Optional[float] = None) -> Optional[Exception]:
        return self

    def traceback(self, timeout: Optional[float] = None) -> Optional[TracebackType]:
        return self.__traceback__

    def add_done_callback(self, fn: Callable[[Any], None]) -> None:
        fn(self)

    def __str__(self) -> str:
        return ("<{} of RPC that terminated with:\n\tstatus = {}\n\tdetails = \"{}\"\n"
                "\tdebug_error_string = \"{}\"\n>").format(
                    type(self).__name__, self._code, self._details, self._debug)

    __repr__ = __str__


def _internal(details: str) -> _InactiveRpcError:
    return _InactiveRpcError(grpc.StatusCode.INTERNAL.value[0], details, (), (), "")


class _Future(grpc.RpcError, grpc.Future, grpc.Call):  # type: ignore[type-arg]
    """A call started by future(): completes on a gRPC thread."""

    def __init__(self, deserialize: Deserializer) -> None:
        super().__init__()
        self._deserialize = deserialize
        self._condition = threading.Condition()
        self._outcome = None  # type: Optional[_Outcome]
        self._error = None  # type: Optional[_InactiveRpcError]
        self._cancelled = False
        self._callbacks = []  # type: Optional[List[Callable[[Any], None]]]
        self._call = None  # type: Any

    def _start(self, core: Any, method: str, payload: bytes, timeout: Optional[float],
               metadata: Any, wait_for_ready: Optional[bool]) -> None:
        self._deadline = None if timeout is None else time.monotonic() + timeout
        # Held until the call is stored: it may complete before start returns.
        with self._condition:
            self._call = core.start(method, payload, timeout, metadata, wait_for_ready,
                                    self._done)

    def _done(self) -> None:
        with self._condition:
            call = self._call
        code, details, body, initial, trailing, debug = call.result()
        response = None
        if code == 0:
            try:
                response = body if self._deserialize is None else self._deserialize(body)
            except Exception:  # noqa: BLE001 - reported as grpcio does
                code, details = grpc.StatusCode.INTERNAL.value[0], "Exception deserializing response!"
        with self._condition:
            if self._cancelled:
                code, details = grpc.StatusCode.CANCELLED.value[0], "Locally cancelled by application!"
            self._outcome = (code, details, response, initial, trailing, debug)
            if code != 0:
                self._error = _InactiveRpcError(code, details, initial, trailing, debug)
            callbacks, self._callbacks = self._callbacks, None
            self._condition.notify_all()
        _run_callbacks(callbacks, self)

    def _wait(self, timeout: Optional[float]) -> _Outcome:
        end = None if timeout is None else time.monotonic() + timeout
        with self._condition:
            while self._outcome is None:
                wait = 0.1 if end is None else min(0.1, end - time.monotonic())
                if wait <= 0:
                    raise grpc.FutureTimeoutError()
                self._condition.wait(wait)
            return self._outcome

    def cancel(self) -> bool:
        with self._condition:
            if self._outcome is not None:
                return False
            self._cancelled = True
        self._call.cancel()
        return True

    def cancelled(self) -> bool:
        with self._condition:
            return self._cancelled

    def running(self) -> bool:
        with self._condition:
            return self._outcome is None

    def done(self) -> bool:
        with self._condition:
            return self._outcome is not None

    def result(self, timeout: Optional[float] = None) -> Any:
        outcome = self._wait(timeout)
        if self._cancelled:
            raise grpc.FutureCancelledError()
        if outcome[0] != 0:
            raise self._error  # type: ignore[misc]  # set whenever the code is not OK
        return outcome[2]

    def exception(self, timeout: Optional[float] = None) -> Optional[Exception]:
        self._wait(timeout)
        if self._cancelled:
            raise grpc.FutureCancelledError()
        return self._error

    def traceback(self, timeout: Optional[float] = None) -> Optional[TracebackType]:
        self._wait(timeout)
        return None if self._error is None else self._error.__traceback__

    def add_done_callback(self, fn: Callable[[Any], None]) -> None:
        with self._condition:
            if self._outcome is None:
                self._callbacks.append(fn)  # type: ignore[union-attr]  # None once done
                return
        fn(self)

    def code(self) -> grpc.StatusCode:
        return _CODES.get(self._wait(None)[0], grpc.StatusCode.UNKNOWN)

    def details(self) -> str:
        return self._wait(None)[1]

    def initial_metadata(self) -> Metadata:
        return _metadata(self._wait(None)[3])

    def trailing_metadata(self) -> Metadata:
        return _metadata(self._wait(None)[4])

    def debug_error_string(self) -> str:
        return self._wait(None)[5]

    def is_active(self) -> bool:
        return not self.done()

    def time_remaining(self) -> Optional[float]:  # type: ignore[override]  # None: no deadline
        if self._deadline is None:
            return None
        return max(self._deadline - time.monotonic(), 0)

    def add_callback(self, callback: Callable[[], None]) -> bool:
        with self._condition:
            if self._outcome is None:
                self._callbacks.append(  # type: ignore[union-attr]  # None once done
                    lambda unused_future: callback())
                return True
        return False

    def __str__(self) -> str:
        with self._condition:
            if self._outcome is None:
                return "<_MultiThreadedRendezvous object of in-flight RPC>"
        return str(self._error) if self._error is not None else (
            "<_MultiThreadedRendezvous of RPC that terminated with:\n\tstatus = {}\n"
            "\tdetails = \"{}\"\n>".format(grpc.StatusCode.OK, self._outcome[1]))

    __repr__ = __str__


class _ResponseStream(grpc.RpcError, grpc.Call, grpc.Future):  # type: ignore[type-arg]
    """What a unary-stream call returns: an iterator of the responses that is
    also the call, and the error iteration raises when the call does not end
    with OK."""

    def __init__(self, deserialize: Deserializer, timeout: Optional[float]) -> None:
        super().__init__()
        self._deserialize = deserialize
        self._deadline = None if timeout is None else time.monotonic() + timeout
        self._condition = threading.Condition()
        self._stream = None  # type: Any
        self._local = None  # type: Optional[Tuple[int, str]]  # decided here: cancelled, bad response
        self._callbacks = []  # type: Optional[List[Callable[[Any], None]]]

    def _start(self, core: Any, method: str, payload: bytes, timeout: Optional[float],
               metadata: Any, wait_for_ready: Optional[bool]) -> None:
        # The hook holds the call weakly: a stream nobody holds is dropped,
        # and dropping it cancels the call.
        this = weakref.ref(self)

        def on_done() -> None:
            call = this()
            if call is not None:
                call._done()

        # Held until the stream is stored: the call may end before it returns.
        with self._condition:
            self._stream = core.stream(method, payload, timeout, metadata, wait_for_ready,
                                       on_done)

    def _done(self) -> None:
        with self._condition:
            callbacks, self._callbacks = self._callbacks, None
        _run_callbacks(callbacks, self)

    def _end_here(self, code: grpc.StatusCode, details: str) -> bool:
        """Ends the call on this side with `code`; False when it had ended."""
        with self._condition:
            if self._local is not None or self._stream.done():
                return False
            self._local = (code.value[0], details)
        self._stream.cancel()
        return True

    def _outcome(self, timeout: Optional[float] = None
                 ) -> Tuple[int, str, MetadataPairs, MetadataPairs, str]:
        """(code, details, initial, trailing, debug), waiting for the status."""
        end = None if timeout is None else time.monotonic() + timeout
        while not self._stream.wait(0.25 if end is None else min(0.25, max(end - time.monotonic(), 0))):
            if end is not None and time.monotonic() >= end:
                raise grpc.FutureTimeoutError()
        code, details, _, initial, trailing, debug = self._stream.result()
        if self._local is not None:
            code, details = self._local
        return code, details, initial, trailing, debug

    def __iter__(self) -> "_ResponseStream":
        return self

    def __next__(self) -> Any:
        if self._local is not None:
            raise self
        return self._take(self._stream.read())

    def _sorvane_poll(self, waker: Any, item: Any) -> Tuple[bool, Any]:
        """(True, the next response) if one is here, else (False, None) and
        `item` goes to `waker` (the asyncio loop's Waker) once a response or
        the end arrives; raises as iteration does at the end."""
        if self._local is not None:
            raise self
        message = self._stream.poll(waker, item)
        if message is False:
            return False, None
        return True, self._take(message)

    def _take(self, message: Optional[bytes]) -> Any:
        if message is None:
            if self._outcome()[0] == 0:
                raise StopIteration()
            raise self
        if self._deserialize is None:
            return message
        try:
            return self._deserialize(message)
        except Exception:  # noqa: BLE001 - grpcio ends the call with INTERNAL
            logging.getLogger("grpc._common").exception("Exception deserializing message!")
            self._end_here(grpc.StatusCode.INTERNAL, "Exception deserializing response!")
            raise self from None

    next = __next__

    def cancel(self) -> bool:
        return self._end_here(grpc.StatusCode.CANCELLED, "Locally cancelled by application!")

    def cancelled(self) -> bool:
        return self._local is not None and self._local[0] == grpc.StatusCode.CANCELLED.value[0]

    def running(self) -> bool:
        return not self._stream.done()

    def done(self) -> bool:
        return bool(self._stream.done())

    def is_active(self) -> bool:
        return self._local is None and not self._stream.done()

    def time_remaining(self) -> Optional[float]:  # type: ignore[override]  # None: no deadline
        if self._deadline is None:
            return None
        return max(self._deadline - time.monotonic(), 0)

    def result(self, timeout: Optional[float] = None) -> None:
        outcome = self._outcome(timeout)
        if self.cancelled():
            raise grpc.FutureCancelledError()
        if outcome[0] != 0:
            raise self
        return None

    def exception(self, timeout: Optional[float] = None) -> Optional[Exception]:
        outcome = self._outcome(timeout)
        if self.cancelled():
            raise grpc.FutureCancelledError()
        return None if outcome[0] == 0 else self

    def traceback(self, timeout: Optional[float] = None) -> Optional[TracebackType]:
        outcome = self._outcome(timeout)
        return None if outcome[0] == 0 else self.__traceback__

    def add_done_callback(self, fn: Callable[[Any], None]) -> None:
        with self._condition:
            if self._callbacks is not None:
                self._callbacks.append(fn)
                return
        fn(self)

    def add_callback(self, callback: Callable[[], None]) -> bool:
        with self._condition:
            if self._callbacks is not None:
                self._callbacks.append(lambda unused_call: callback())
                return True
        return False

    def code(self) -> grpc.StatusCode:
        return _CODES.get(self._outcome()[0], grpc.StatusCode.UNKNOWN)

    def details(self) -> str:
        return self._outcome()[1]

    def initial_metadata(self) -> Metadata:
        while True:
            initial = self._stream.initial_metadata(0.25)
            if initial is not None:
                return _metadata(initial)

    def trailing_metadata(self) -> Metadata:
        return _metadata(self._outcome()[3])

    def debug_error_string(self) -> str:
        return self._outcome()[4]

    def __str__(self) -> str:
        if not self._stream.done() and self._local is None:
            return "<_MultiThreadedRendezvous object of in-flight RPC>"
        code, details, _, _, debug = self._outcome()
        return ("<_MultiThreadedRendezvous of RPC that terminated with:\n\tstatus = {}\n"
                "\tdetails = \"{}\"\n\tdebug_error_string = \"{}\"\n>").format(
                    _CODES.get(code, grpc.StatusCode.UNKNOWN), details, debug)

    __repr__ = __str__
