"""Streamed results: a target that returns an iterator (a generator, or an
async generator) sends its items one by one, and the client iterates them.

The wire. :data:`STREAM_METHOD` takes the same ``CommonRequest`` as
``/common.CommonService/handle`` and answers with a stream of
``CommonResponse`` messages, each carrying one item in the result envelope of
a call that returned it. An iterator that raises ends the stream with one
last envelope carrying status -1, ``excType`` and ``message``, as a failed
unary call does; so does a target that raises before streaming, or returns
something that is not an iterator.

Server. Every ``GrpcServer`` serves the method, behind the same token check
and exposure guard as ``handle``; one ``rpc_log`` record per call (with the
number of items) and the metrics count it when the stream ends. The target's
iterator is advanced only when the transport can take the next message, and
it is closed (its ``finally`` blocks run) when the call ends early: the
client cancelled, the deadline passed or the server stopped. While it runs,
the iterator sees the call's deadline through
:func:`sorvane.deadline.time_left`.

Client. :func:`call_stream` is ``GrpcHelper.call_rpc_result`` for a streamed
call: an iterator of the results, raising ``GrpcException`` where the server
reported a failure. Leaving the loop early (``break``, ``close()``, the
iterator dropped) cancels the call on the server. A ``grpc_service`` stand-in
written as a generator function makes this call; ``sorvane.aio.call_stream``
and stand-ins written as ``async def`` generators are the asynchronous twins.
"""
import asyncio
import logging
import threading
import time
from typing import Any, Callable, Dict, Iterable, Iterator, Mapping, NoReturn, Optional, \
    Sequence, Tuple, Union

import grpc

from sorvane import codec, deadline as _deadline

__all__ = ["STREAM_METHOD", "call_stream", "StreamUnsupported"]

#: The method of streamed calls.
STREAM_METHOD = "/sorvane.Stream/Call"

# What a stream's rpc_log record names as its function.
_FUNCTION = "sorvane.streaming.stream"


class StreamUnsupported(grpc.RpcError):
    """The server answered a streamed call with UNIMPLEMENTED: it serves no
    :data:`STREAM_METHOD` (another gRPC server, or a sorvane without it)."""

    def __init__(self, details: str) -> None:
        super().__init__("the server does not stream results (it has no %s): %s"
                         % (STREAM_METHOD, details))
        self._details = details

    def code(self) -> grpc.StatusCode:
        return grpc.StatusCode.UNIMPLEMENTED

    def details(self) -> str:
        return str(self)


# ---- the server ---------------------------------------------------------------------


def _deadline_of(context: Any) -> Optional[float]:
    """The call's deadline as a time.monotonic() value, or None."""
    try:
        left = context.time_remaining()
    except Exception:  # noqa: BLE001 - a context that cannot tell gives no deadline
        return None
    if left is None or not 0 <= left < 1e8:
        return None
    return time.monotonic() + left


def _log(request: Any, began: float, items: int, status: int) -> None:
    from sorvane import corvex
    logger = corvex.rpc_logger
    if not logger.isEnabledFor(logging.DEBUG):
        return
    try:
        request_id = request.request_id
    except AttributeError:
        request_id = ""
    logger.debug(str({"type": "stream", "request_id": request_id, "function": _FUNCTION,
                      "status": status, "items": items,
                      "process_time": "{:.6f}s".format(time.time() - began)}))


class _AsyncItems:
    """An async iterator's items, each awaited on the service's event loop
    while this (the call's) thread waits for it."""

    def __init__(self, items: Any, service: Any) -> None:
        from sorvane import aio
        self._items = items
        self._loop = aio._loop_for(service)

    def __iter__(self) -> "_AsyncItems":
        return self

    def __next__(self) -> Any:
        future = asyncio.run_coroutine_threadsafe(self._step(), self._loop)
        try:
            more, item = future.result()
        except BaseException:
            future.cancel()
            raise
        if not more:
            raise StopIteration
        return item

    async def _step(self) -> Tuple[bool, Any]:
        try:
            return True, await self._items.__anext__()
        except StopAsyncIteration:
            return False, None

    def close(self) -> None:
        aclose = getattr(self._items, "aclose", None)
        if aclose is not None:
            try:
                asyncio.run_coroutine_threadsafe(aclose(), self._loop).result(5)
            except Exception:  # noqa: BLE001 - closing is best effort
                pass


def _responses(service: Any, request: Any, context: Any) -> Iterator[Any]:
    """The messages of one streamed call."""
    from sorvane import corvex
    began = time.time()
    response, items, done = corvex._stream_open(service, request, context)
    code = getattr(request, "serialize", codec.JSON)
    if items is None:
        _log(request, began, 0, -1)
        yield response.SerializeToString()
        return
    if not hasattr(items, "__next__"):
        items = _AsyncItems(items, service)
    at = _deadline_of(context)
    var = _deadline._deadline
    count = 0
    outcome = "failed"  # ended early, unless it comes to an end
    try:
        while True:
            token = var.set(at) if at is not None else None
            try:
                item = next(items)
            except StopIteration:
                outcome = "ok"
                break
            except Exception as error:  # reported in the stream's last envelope
                outcome = "raised"
                failure = corvex._stream_failure(error, code)
                del error
                yield failure
                break
            finally:
                if token is not None:
                    var.reset(token)
            message = corvex._stream_item(item, code)
            del item
            yield message
            count += 1
    finally:
        if outcome == "failed":
            close = getattr(items, "close", None)
            if close is not None:
                close()
        done(outcome)
        _log(request, began, count, 0 if outcome == "ok" else -1)


def handler(service: Any) -> "grpc.RpcMethodHandler[Any, Any]":
    """The method handler of :data:`STREAM_METHOD` for the dispatcher `service`."""
    import marvetta

    def stream(request: Any, context: Any) -> Iterator[Any]:
        return _responses(service, request, context)

    # Each message is made as its bytes (corvex._stream_item).
    return grpc.unary_stream_rpc_method_handler(
        stream, request_deserializer=marvetta.CommonRequest.FromString,
        response_serializer=None)


# ---- the client ---------------------------------------------------------------------


def _channel_of(rpc_client: Any) -> Any:
    channel = getattr(rpc_client, "_sorvane_channel", None)
    if channel is None and callable(getattr(rpc_client, "unary_stream", None)):
        channel = rpc_client  # a channel itself
    if channel is None:
        raise TypeError("a streamed call needs a stub from grpc_client (or a channel), not %s"
                        % type(rpc_client).__name__)
    return channel


class _StreamStub:
    """What GrpcHelper.call_rpc calls: a stub whose handle starts a streamed call."""

    def __init__(self, rpc_client: Any) -> None:
        import marvetta
        channel = self._sorvane_channel = _channel_of(rpc_client)
        # The messages come as their bytes: corvex._result_of reads the two
        # fields where they lie, without a message object (and its copies) per item.
        self._call = channel.unary_stream(
            STREAM_METHOD, request_serializer=marvetta.CommonRequest.SerializeToString,
            response_deserializer=None)
        own = getattr(rpc_client, "__dict__", {})
        for setting in ("_sorvane_timeout", "_sorvane_serialize", "_sorvane_wait_for_ready"):
            if own.get(setting) is not None:
                setattr(self, setting, own[setting])
        retrying = own.get("_sorvane_retrying")
        if retrying is not None:
            self._sorvane_retrying = lambda: _StreamStub(retrying())

    def handle(self, request: Any, timeout: Optional[float] = None, metadata: Any = None,
               wait_for_ready: Optional[bool] = None) -> Any:
        return self._call(request, timeout=timeout, metadata=metadata,
                          wait_for_ready=wait_for_ready)


def _unsupported(error: grpc.RpcError) -> bool:
    code = getattr(error, "code", None)
    return callable(code) and code() == grpc.StatusCode.UNIMPLEMENTED


class _Results:
    """The results of a streamed call, in order. Closing it (or dropping it)
    before the end cancels the call."""

    def __init__(self, responses: Any, result_of: Callable[[Any], Any]) -> None:
        self._responses = responses
        self._result_of = result_of
        self._done = False
        self._lock = threading.Lock()

    def __iter__(self) -> "_Results":
        return self

    def __next__(self) -> Any:
        if self._done:
            raise StopIteration
        try:
            response = next(self._responses)
        except BaseException as error:
            self._end(error)
        return self._result(response)

    def _poll(self, poll: Callable[[Any, Any], Tuple[bool, Any]], waker: Any,
              item: Any) -> Tuple[bool, Any]:
        """(True, the next result) if its response is here, else (False, None)
        and `item` goes to `waker` once one arrives (the native engine's
        streams, read from an asyncio loop)."""
        if self._done:
            raise StopIteration
        try:
            here, response = poll(waker, item)
        except BaseException as error:
            self._end(error)
        return (True, self._result(response)) if here else (False, None)

    def _end(self, error: BaseException) -> NoReturn:
        self._done = True
        if isinstance(error, grpc.RpcError) and _unsupported(error):
            details = error.details() if callable(getattr(error, "details", None)) else ""
            raise StreamUnsupported(details or "") from None
        raise error

    def _result(self, response: Any) -> Any:
        if not isinstance(response, bytes) and response.status != 0:
            self._done = True  # the failure is the stream's last message
        try:
            return self._result_of(response)
        except BaseException as error:
            from sorvane.corvex import GrpcException
            if isinstance(error, GrpcException):
                self._done = True  # as above, read from the message's bytes
            else:
                self.close()  # a message that does not read: the call goes no further
            raise

    def close(self) -> None:
        """Cancels the call unless it has ended."""
        with self._lock:
            done, self._done = self._done, True
        if not done:
            self._responses.cancel()

    def cancel(self) -> None:
        self.close()

    def __enter__(self) -> "_Results":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - a dying iterator raises nothing
            pass


def call_stream(rpc_client: Any, clazz: str, method: str,
                args: Optional[Sequence[Any]] = None,
                kwargs: Union[Mapping[str, Any], Iterable[Tuple[str, Any]], None] = None,
                request_id: Optional[str] = None, serialize: int = codec.DEFAULT, *,
                timeout: Optional[float] = None, idempotent: bool = False,
                wait_for_ready: Optional[bool] = None, _cls: Any = None) -> Iterator[Any]:
    """The results of a streamed call of `clazz`.`method`: an iterator that
    yields each item the target's iterator gives, and raises GrpcException
    where it raised. `rpc_client` is a stub from ``grpc_client`` (or a
    channel). Closing the iterator early cancels the call."""
    from sorvane import corvex
    helper = corvex.GrpcHelper if _cls is None else _cls
    marks = {}  # type: Dict[str, Any]
    if idempotent:
        marks["idempotent"] = True
    if wait_for_ready is not None:
        marks["wait_for_ready"] = wait_for_ready
    responses = helper.call_rpc(_StreamStub(rpc_client), clazz, method, args, kwargs,
                                request_id, serialize, timeout=timeout, **marks)
    return _Results(responses, corvex._result_of)

