"""The native channel: :class:`Channel` (grpcio's ``grpc.Channel``) over the
engine's ``ChannelHost``, its multi-callables, and what the C++ unary callable
asks of Python (:class:`_ChannelSupport`)."""
import logging
import threading
import time
import weakref
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import grpc

from sorvane import _native  # type: ignore[attr-defined]  # an extension without stubs
from sorvane.native.calls import (
    Deserializer, _Future, _InactiveRpcError, _internal, _OkCall, _ResponseStream,
)
from sorvane.native.common import _NO_REQUEST_STREAMING, MetadataPairs
from sorvane.native.service_config import engine_options

__all__ = ["Channel", "insecure_channel", "secure_channel"]

_CONNECTIVITY = {
    state.value[0]: state for state in grpc.ChannelConnectivity
}  # type: Dict[int, grpc.ChannelConnectivity]

Serializer = Optional[Callable[[Any], bytes]]
Options = Optional[Sequence[Tuple[str, Any]]]


def _serialized(serialize: Serializer, request: Any, credentials: Optional[grpc.CallCredentials]
                ) -> Any:
    if credentials is not None:
        raise ValueError("the native engine does not take per-call credentials; "
                         "send them as metadata")
    if serialize is None:
        return request
    try:
        return serialize(request)
    except Exception as error:  # noqa: BLE001 - grpcio reports it as the call's status
        raise _ChannelSupport.request_not_serialized(error) from None


class _ChannelSupport:
    """What the C++ unary callable asks of Python: the objects a caller reads."""

    @staticmethod
    def rpc_error(code: int, details: str, initial: MetadataPairs, trailing: MetadataPairs,
                  debug: str) -> _InactiveRpcError:
        return _InactiveRpcError(code, details, initial, trailing, debug)

    @staticmethod
    def ok_call(initial: MetadataPairs, trailing: MetadataPairs) -> _OkCall:
        return _OkCall(initial, trailing)

    @staticmethod
    def request_not_serialized(error: BaseException) -> _InactiveRpcError:
        logging.getLogger("grpc._common").error(
            "Exception serializing message!", exc_info=(type(error), error, error.__traceback__))
        failure = _internal("Exception serializing request!")
        failure.__suppress_context__ = True
        return failure

    @staticmethod
    def response_not_deserialized(error: BaseException) -> _InactiveRpcError:
        logging.getLogger("grpc._common").error(
            "Exception deserializing message!", exc_info=(type(error), error, error.__traceback__))
        failure = _internal("Exception deserializing response!")
        failure.__suppress_context__ = True
        return failure

    @staticmethod
    def future(core: Any, method: str, payload: bytes, timeout: Optional[float], metadata: Any,
               wait_for_ready: Optional[bool], deserialize: Deserializer) -> _Future:
        future = _Future(deserialize)
        future._start(core, method, payload, timeout, metadata, wait_for_ready)
        return future


# A channel's unary-unary callable is the engine's own, in C++.
grpc.UnaryUnaryMultiCallable.register(_native.UnaryUnary)


class _UnaryStreamMultiCallable(grpc.UnaryStreamMultiCallable):  # type: ignore[type-arg]
    __slots__ = ("_core", "_method", "_serialize", "_deserialize")

    def __init__(self, core: Any, method: str, serialize: Serializer,
                 deserialize: Deserializer) -> None:
        self._core = core
        self._method = method
        self._serialize = serialize
        self._deserialize = deserialize

    # What it returns is grpcio-shaped, not grpcio's own call iterator class.
    def __call__(  # type: ignore[override]
            self, request: Any, timeout: Optional[float] = None, metadata: Any = None,
            credentials: Optional[grpc.CallCredentials] = None,
            wait_for_ready: Optional[bool] = None,
            compression: Optional[grpc.Compression] = None) -> _ResponseStream:
        payload = _serialized(self._serialize, request, credentials)
        call = _ResponseStream(self._deserialize, timeout)
        call._start(self._core, self._method, payload, timeout, metadata, wait_for_ready)
        return call


_live_channels = weakref.WeakSet()  # type: weakref.WeakSet[Channel]


class Channel(grpc.Channel):
    """A gRPC channel on the native engine (see the module's documentation)."""

    def __init__(self, target: str, options: Options = None,
                 compression: Optional[grpc.Compression] = None,
                 _tls: Optional[Tuple[Any, ...]] = None) -> None:
        self._core = _native.ChannelHost(target, engine_options(target, options or ()),
                                         _tls)  # type: Any
        self._lock = threading.Lock()
        self._subscribers = []  # type: List[Callable[[grpc.ChannelConnectivity], None]]
        self._watcher = None  # type: Optional[threading.Thread]
        self._try_to_connect = False
        self._closed = False
        _live_channels.add(self)

    def unary_unary(self, method: str, request_serializer: Serializer = None,
                    response_deserializer: Deserializer = None,
                    _registered_method: bool = False) -> Any:
        return _native.UnaryUnary(self._core, method, request_serializer,
                                     response_deserializer, _ChannelSupport)

    def unary_stream(self, method: str, request_serializer: Serializer = None,
                     response_deserializer: Deserializer = None,
                     _registered_method: bool = False) -> _UnaryStreamMultiCallable:
        return _UnaryStreamMultiCallable(self._core, method, request_serializer,
                                         response_deserializer)

    def stream_unary(self, method: str, request_serializer: Serializer = None,
                     response_deserializer: Deserializer = None,
                     _registered_method: bool = False) -> Any:
        raise NotImplementedError(_NO_REQUEST_STREAMING)

    def stream_stream(self, method: str, request_serializer: Serializer = None,
                      response_deserializer: Deserializer = None,
                      _registered_method: bool = False) -> Any:
        raise NotImplementedError(_NO_REQUEST_STREAMING)

    def subscribe(self, callback: Callable[[grpc.ChannelConnectivity], None],
                  try_to_connect: bool = False) -> None:
        with self._lock:
            if self._closed:
                return
            self._subscribers.append(callback)
            self._try_to_connect = self._try_to_connect or bool(try_to_connect)
            if self._watcher is None:
                self._watcher = threading.Thread(target=self._watch, name="sorvane-channel-watch",
                                                 daemon=True)
                self._watcher.start()

    def unsubscribe(self, callback: Callable[[grpc.ChannelConnectivity], None]) -> None:
        with self._lock:
            if callback in self._subscribers:
                self._subscribers.remove(callback)

    def _watch(self) -> None:
        # Connectivity is polled: changes reach subscribers within 50 ms.
        last = {}  # type: Dict[int, grpc.ChannelConnectivity]
        while True:
            with self._lock:
                if self._closed or not self._subscribers:
                    self._watcher = None
                    return
                subscribers = list(self._subscribers)
                try_to_connect = self._try_to_connect
            state = _CONNECTIVITY[self._core.connectivity(try_to_connect)]
            for callback in subscribers:
                if last.get(id(callback)) is not state:
                    last[id(callback)] = state
                    try:
                        callback(state)
                    except Exception:  # noqa: BLE001
                        logging.getLogger("grpc._channel").exception(
                            "Exception in channel connectivity callback")
            time.sleep(0.05)

    def close(self) -> None:
        with self._lock:
            self._closed = True
            self._subscribers = []
        self._core.close()

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> bool:  # type: ignore[exit-return]
        self.close()
        return False


def insecure_channel(target: str, options: Options = None,
                     compression: Optional[grpc.Compression] = None) -> Channel:
    """grpc.insecure_channel's signature; returns a native :class:`Channel`."""
    return Channel(target, options, compression)


def secure_channel(target: str, credentials: grpc.ChannelCredentials, options: Options = None,
                   compression: Optional[grpc.Compression] = None) -> Channel:
    """grpc.secure_channel's signature, with credentials from
    :func:`ssl_channel_credentials`."""
    tls = getattr(credentials, "_sorvane_tls", None)
    if tls is None:
        raise TypeError("the native engine needs credentials made by "
                        "sorvane.native.ssl_channel_credentials")
    return Channel(target, options, compression, _tls=tls)
