"""The servers admission builds: :class:`Server`, a grpcio server that admits
calls, and :func:`server` and :func:`server_for`, which build one for the
grpcio engine and pass the options on to any other."""
import threading
from typing import Any, Iterable, Mapping, Optional, Sequence, Tuple

import grpc

from sorvane import memory
from sorvane.admission.executor import _Executor
from sorvane.admission.gate import _Gate
from sorvane.admission.handlers import _Admitting, _convert
from sorvane.admission.settings import DEFAULT_MAX_QUEUED_BYTES, DEFAULT_MAX_QUEUED_CALLS, \
    DEFAULT_REQUEST_WAIT, MAX_QUEUED_BYTES, PRIORITY_METHODS, REQUEST_WAIT_MS, Limits, \
    check_setting


class Server(grpc.Server):
    """A grpcio server that admits calls as the module describes."""

    def __init__(self, limits: Limits, options: Sequence[Tuple[str, Any]]) -> None:
        self._gate = _Gate(limits)
        self._executor = _Executor(self._gate)
        ours = [o for o in options if isinstance(o[0], str) and o[0].startswith("sorvane.")]
        grpc_options = [o for o in options if o not in ours]
        self._server = grpc.server(self._executor,  # type: ignore[arg-type]  # an Executor
                                   options=grpc_options)
        self.max_workers = limits.workers

    @property
    def limits(self) -> Limits:
        return self._gate.limits

    def add_generic_rpc_handlers(self, generic_rpc_handlers: Iterable[Any]) -> None:
        handlers = tuple(generic_rpc_handlers)
        for handler in handlers:
            if not callable(getattr(handler, "service", None)):
                raise AttributeError('"%s" must conform to grpc.GenericRpcHandler type but does '
                                     'not have "service" method!' % (handler,))
        self._server.add_generic_rpc_handlers(tuple(_Admitting(h, self._gate) for h in handlers))

    def add_registered_method_handlers(self, service_name: str,
                                       method_handlers: Mapping[str, Any]) -> None:
        priority = self._gate.limits.priority
        converted = {}
        for name, handler in method_handlers.items():
            method = "/%s/%s" % (service_name, name)
            converted[name] = _convert(handler, method, method in priority)
        self._server.add_registered_method_handlers(service_name, converted)

    def add_insecure_port(self, address: str) -> int:
        return self._server.add_insecure_port(address)

    def add_secure_port(self, address: str, server_credentials: Any) -> int:
        return self._server.add_secure_port(address, server_credentials)

    def start(self) -> None:
        self._server.start()

    def stop(self, grace: Optional[float]) -> threading.Event:
        return self._server.stop(grace)

    def wait_for_termination(self, timeout: Optional[float] = None) -> bool:
        return self._server.wait_for_termination(timeout)

    def __repr__(self) -> str:
        return "<sorvane admitting %r>" % (self._server,)


def server_for(grpc_server: Any, transport: Any, thread_pool: Any,
               options: Sequence[Tuple[str, Any]]) -> Any:
    """The gRPC server ``GrpcServer.run_background`` starts for `grpc_server`:
    `options` plus its admission settings (``max_queued_calls``,
    ``max_queued_bytes``, ``request_wait``: instance attributes when given,
    the defaults above otherwise), with health ``Check`` as a priority
    method, on `transport`."""
    from sorvane.ops import CHECK_METHOD

    own = getattr(grpc_server, "__dict__", {})

    def setting(name: str, default: Any) -> Any:
        value = own.get(name)
        return default if value is None else check_setting(name, value)

    queued = setting("max_queued_calls", DEFAULT_MAX_QUEUED_CALLS)
    queued_bytes = setting("max_queued_bytes", DEFAULT_MAX_QUEUED_BYTES)
    wait = setting("request_wait", DEFAULT_REQUEST_WAIT)
    workers = getattr(thread_pool, "_max_workers", None) or 10
    memory.set_up()
    options = list(options) + [(MAX_QUEUED_BYTES, queued_bytes),
                               (REQUEST_WAIT_MS, max(1, int(round(wait * 1000)))),
                               (PRIORITY_METHODS, CHECK_METHOD)]
    return server(transport, thread_pool, options, workers + queued)


def server(transport: Any, thread_pool: Any, options: Sequence[Tuple[str, Any]],
           maximum_concurrent_rpcs: Optional[int] = None) -> Any:
    """A server on `transport` (grpc, or an engine with grpc's ``server``) with
    ``max_workers`` of `thread_pool` workers, the server `options` (grpc's and
    the ``sorvane.*`` ones above) and at most `maximum_concurrent_rpcs` calls
    held. On grpcio, an admitting :class:`Server` (the pool's threads are not
    used); elsewhere, ``transport.server(...)`` with them as they are."""
    options = list(options)
    if transport is grpc:
        workers = getattr(thread_pool, "_max_workers", None) or 10
        return Server(Limits.from_options(workers, options, maximum_concurrent_rpcs), options)
    return transport.server(thread_pool, options=options,
                            maximum_concurrent_rpcs=maximum_concurrent_rpcs)
