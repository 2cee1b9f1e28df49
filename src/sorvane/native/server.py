"""The native server: :class:`Server` (grpcio's ``grpc.Server``) over the
engine's ``ServerHost``, and what the C++ server asks of Python on its rare
paths (:class:`_ServerSupport`)."""
import collections
from concurrent import futures
import threading
import time
import weakref
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import grpc

from sorvane import _native  # type: ignore[attr-defined]  # an extension without stubs
from sorvane.native.common import (
    _LOGGER, _NO_REQUEST_STREAMING, _Metadatum, _number,
)

__all__ = ["Server", "server"]

_DEFAULT_WORKERS = 10

try:
    from grpc._utilities import DictionaryGenericHandler as _DICT_HANDLER
except ImportError:  # pragma: no cover - every grpcio sorvane supports has it
    _DICT_HANDLER = None  # type: ignore[misc,assignment]


def _encode(text: Union[str, bytes]) -> bytes:
    return text if isinstance(text, bytes) else text.encode("utf8")


class _CallDetails(
        collections.namedtuple("_CallDetails", ("method", "invocation_metadata")),
        grpc.HandlerCallDetails):
    pass


class _ServerSupport:
    """What the C++ server asks of Python, on the rare paths."""

    metadatum = _Metadatum
    status_code = grpc.StatusCode
    # A unary handler may return one of these when its reply comes later (the
    # dispatcher does for a coroutine target): the call is answered when it
    # completes, and the handler's worker is free meanwhile.
    pending_type = futures.Future

    @staticmethod
    def call_details(method: str, metadata: Tuple[Any, ...]) -> _CallDetails:
        return _CallDetails(method, metadata)

    @staticmethod
    def log_error(text: str) -> None:
        _LOGGER.error(text)

    @staticmethod
    def log_exception(text: str, error: Optional[BaseException]) -> None:
        if error is None:
            _LOGGER.error(text)
        else:
            _LOGGER.error(text, exc_info=(type(error), error, error.__traceback__))

    @staticmethod
    def handler_failed(aborted: bool, code: Optional[Union[grpc.StatusCode, int]],
                       details: Optional[bytes], error: BaseException,
                       iterating: bool = False) -> Tuple[int, bytes]:
        """(status number, details bytes) for a handler that raised `error`
        (`iterating`: the iterator of a streaming handler raised it), given
        what its context was told: `aborted`, `code`, `details`."""
        if aborted:
            number = _number(code) if code is not None else grpc.StatusCode.UNKNOWN.value[0]
            return number, details if details is not None else b"RPC Aborted"
        try:
            text = "Exception {}: {}".format(
                "iterating responses" if iterating else "calling application", error)
        except Exception:  # noqa: BLE001 - what grpcio does for an unprintable error
            text = "Calling application raised unprintable Exception!"
        _LOGGER.error(text, exc_info=(type(error), error, error.__traceback__))
        number = _number(code) if code is not None else grpc.StatusCode.UNKNOWN.value[0]
        return number, details if details is not None else _encode(text)


# The context a handler receives is the engine's own, in C++.
grpc.ServicerContext.register(_native.ServicerContext)

_live_servers = weakref.WeakSet()  # type: weakref.WeakSet[Server]


def _check_servable(path: str, handler: Any) -> None:
    if handler is not None and handler.request_streaming:
        raise ValueError("%s: %s" % (path, _NO_REQUEST_STREAMING))


class Server(grpc.Server):
    """A gRPC server on the native engine (see the module's documentation)."""

    def __init__(self, thread_pool: Any = None,
                 handlers: Optional[Iterable[grpc.GenericRpcHandler]] = None,
                 interceptors: Optional[Sequence[Any]] = None,
                 options: Optional[Sequence[Tuple[str, Any]]] = None,
                 maximum_concurrent_rpcs: Optional[int] = None,
                 compression: Optional[grpc.Compression] = None, xds: bool = False) -> None:
        if interceptors:
            raise ValueError("the native engine does not run server interceptors; "
                             "choose the grpcio engine (SORVANE_ENGINE=grpcio) for them")
        if xds:
            raise ValueError("the native engine does not serve xDS")
        workers = getattr(thread_pool, "_max_workers", None) or _DEFAULT_WORKERS
        self._handlers = []  # type: List[grpc.GenericRpcHandler]
        self._registered = {}  # type: Dict[str, grpc.RpcMethodHandler[Any, Any]]
        self._lock = threading.Lock()
        self._stage = "stopped"  # -> started -> stopping -> stopped
        self._termination = threading.Event()
        self._core = _native.ServerHost(
            options=list(options or ()), max_workers=int(workers),
            maximum_concurrent_rpcs=-1 if maximum_concurrent_rpcs is None else int(maximum_concurrent_rpcs),
            handlers=self._handlers, registered=self._registered,
            dict_type=_DICT_HANDLER, support=_ServerSupport)  # type: Any
        self.max_workers = int(workers)
        if handlers:
            self.add_generic_rpc_handlers(handlers)
        _live_servers.add(self)

    def add_generic_rpc_handlers(self, generic_rpc_handlers: Iterable[grpc.GenericRpcHandler]) -> None:
        generic_rpc_handlers = tuple(generic_rpc_handlers)
        for handler in generic_rpc_handlers:
            if not callable(getattr(handler, "service", None)):
                raise AttributeError(
                    '"{}" must conform to grpc.GenericRpcHandler type but does '
                    'not have "service" method!'.format(handler))
            table = getattr(handler, "_method_handlers", None)
            if type(handler) is _DICT_HANDLER and isinstance(table, dict):
                for path, method_handler in table.items():
                    _check_servable(path, method_handler)
        self._handlers.extend(generic_rpc_handlers)
        self._core.forget_handlers()

    def add_registered_method_handlers(self, service_name: str,
                                       method_handlers: "Mapping[str, grpc.RpcMethodHandler[Any, Any]]") -> None:
        for name, method_handler in method_handlers.items():
            path = "/%s/%s" % (service_name, name)
            _check_servable(path, method_handler)
            self._registered[path] = method_handler
        self._core.forget_handlers()

    def set_header_gate(self, key: str, values: Iterable[Union[str, bytes]],
                        code: Union[grpc.StatusCode, int], details: str) -> None:
        """Calls whose metadata `key` equals none of `values` (str or bytes,
        compared in constant time) end with `code` and `details` from their
        headers: their message is not read and no worker runs for them. An
        empty `key` removes the gate."""
        self._core.set_header_gate(key, list(values), _number(code), details)

    def _add_port(self, address: str, tls: Optional[Tuple[Any, ...]]) -> int:
        # RuntimeError("Failed to bind to address ...: why") when it cannot.
        port = self._core.add_port(address, tls)  # type: int
        return port

    def add_insecure_port(self, address: str) -> int:
        return self._add_port(address, None)

    def add_secure_port(self, address: str, server_credentials: grpc.ServerCredentials) -> int:
        tls = getattr(server_credentials, "_sorvane_tls", None)
        if tls is None:
            raise TypeError("the native engine needs credentials made by "
                            "sorvane.native.ssl_server_credentials")
        return self._add_port(address, tls)

    def start(self) -> None:
        with self._lock:
            if self._stage != "stopped" or self._termination.is_set():
                raise ValueError("Cannot start already-started server!")
            self._core.start()
            self._stage = "started"

    def stop(self, grace: Optional[float]) -> threading.Event:
        event = threading.Event()
        with self._lock:
            if self._stage == "stopped":
                event.set()
                self._termination.set()
                return event
            self._stage = "stopping"

        def shut_down() -> None:
            self._core.shutdown(None if grace is None else float(grace))
            with self._lock:
                self._stage = "stopped"
            self._termination.set()
            event.set()

        if grace is None:
            shut_down()
        else:
            threading.Thread(target=shut_down, name="sorvane-server-stop", daemon=True).start()
        return event

    def wait_for_termination(self, timeout: Optional[float] = None) -> bool:
        """Blocks until the server has stopped; True when `timeout` ran out first."""
        end = None if timeout is None else time.monotonic() + timeout
        while not self._termination.is_set():
            wait = 0.1 if end is None else min(0.1, end - time.monotonic())
            if wait <= 0:
                return True
            self._termination.wait(wait)
        return False


def server(thread_pool: Any = None,
           handlers: Optional[Iterable[grpc.GenericRpcHandler]] = None,
           interceptors: Optional[Sequence[Any]] = None,
           options: Optional[Sequence[Tuple[str, Any]]] = None,
           maximum_concurrent_rpcs: Optional[int] = None,
           compression: Optional[grpc.Compression] = None, xds: bool = False) -> Server:
    """grpc.server's signature; returns a native :class:`Server`."""
    return Server(thread_pool, handlers, interceptors, options, maximum_concurrent_rpcs,
                  compression, xds)
