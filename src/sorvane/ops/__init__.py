"""What a running sorvane server offers its operators: health, a listing of
what it exposes, and metrics.

``GrpcServer.run_background`` calls :func:`attach` once the dispatcher is
registered, before the port is bound. It registers, on the same server and
behind the same token check as the dispatcher:

``grpc.health.v1.Health``
    gRPC's standard health service (``Check`` and ``Watch``) for the services
    ``""`` (the server as a whole) and ``"common.CommonService"``: SERVING
    while the server runs, NOT_SERVING from the moment ``stop(grace)`` is
    called, while calls in flight still finish. Its two messages are encoded
    and decoded in protobuf's wire format (:mod:`~sorvane.ops.health`).
``/sorvane.Describe/List``
    One unary method: the callables the exposure guard lets a call reach, as
    UTF-8 JSON (see :func:`describe`). A server without the guard refuses it
    with PERMISSION_DENIED: it could run anything, so there is nothing to list.

With ``GrpcServer(..., metrics_port=N)`` it also starts a Prometheus endpoint
on ``127.0.0.1:N/metrics`` (needs ``pip install sorvane[metrics]``), fed by a
:class:`~sorvane.metrics.Recorder` the dispatcher finds at
``service._metrics``; the endpoint closes once the server has stopped.

Everything a client sends is checked before it is used: a malformed health
request ends with INVALID_ARGUMENT, never with an exception of ours.

:mod:`~sorvane.ops.health` holds the health service and its messages,
:mod:`~sorvane.ops.listing` the listing; what is attached to a server, and
how, is here. Every name they define is also importable from here.
"""
import functools
import threading
from typing import Any, Dict, Optional

import grpc

from sorvane import streaming
from sorvane.metrics import (DURATION_BUCKETS, OUTCOMES, MetricsServer, Recorder,
                             start_metrics)
from sorvane.ops.health import (CHECK_METHOD, HEALTH_SERVICE, HEALTH_SERVICES, NOT_SERVING,
                                SERVICE_UNKNOWN, SERVING, STATUS_NAMES, UNKNOWN, WATCH_METHOD,
                                Health, MalformedMessage, decode_health_request,
                                decode_health_response, encode_health_request,
                                encode_health_response)
from sorvane.ops.listing import (LIST_METHOD, NO_GUARD, _doc, _list_handler, _signature,
                                 describe, log)

__all__ = [
    "attach", "Ops", "Health", "Recorder", "MetricsServer", "start_metrics", "describe",
    "encode_health_request", "decode_health_request", "encode_health_response",
    "decode_health_response", "MalformedMessage",
    "UNKNOWN", "SERVING", "NOT_SERVING", "SERVICE_UNKNOWN", "STATUS_NAMES",
    "HEALTH_SERVICE", "CHECK_METHOD", "WATCH_METHOD", "LIST_METHOD", "HEALTH_SERVICES",
    "NO_GUARD", "OUTCOMES", "DURATION_BUCKETS",
]


class _OpsHandler(grpc.GenericRpcHandler):
    """The health and listing methods, and streamed calls (which have the
    dispatcher's own checks). A generic handler of its own (not a
    dictionary handler), so an engine without streaming answers Watch with
    UNIMPLEMENTED instead of refusing the whole registration."""

    def __init__(self, health: Health, service: Any) -> None:
        self._handlers = {  # type: Dict[str, Any]
            CHECK_METHOD: grpc.unary_unary_rpc_method_handler(health.check),
            WATCH_METHOD: grpc.unary_stream_rpc_method_handler(health.watch),
            LIST_METHOD: grpc.unary_unary_rpc_method_handler(_list_handler(service)),
            streaming.STREAM_METHOD: streaming.handler(service),
        }

    def service(self, handler_call_details: Any) -> Any:
        return self._handlers.get(handler_call_details.method)


class Ops:
    """What :func:`attach` set up on one server: ``health`` (a :class:`Health`),
    ``recorder`` and ``metrics`` (a :class:`Recorder` and its
    :class:`MetricsServer`, or None without a metrics port)."""

    def __init__(self, health: Health, recorder: Optional[Recorder],
                 metrics: Optional[MetricsServer]) -> None:
        self.health = health
        self.recorder = recorder
        self.metrics = metrics

    def _stopped(self, event: Any) -> None:
        """Closes the metrics endpoint once the server's stop has completed."""
        metrics = self.metrics
        if metrics is None:
            return
        if event is None or event.is_set():
            metrics.stop()
            return

        def close_when_stopped() -> None:
            event.wait()
            metrics.stop()

        threading.Thread(target=close_when_stopped, name="sorvane-metrics-stop",
                         daemon=True).start()


def _workers(grpc_server: Any) -> int:
    try:
        return max(1, int(getattr(grpc_server, "max_workers", 10)))
    except (TypeError, ValueError):
        return 10


def attach(grpc_server: Any, rpc_server: Any, registered_on: Any) -> Ops:
    """Adds health, the listing and (with ``grpc_server.metrics_port``) metrics
    to a server being started; called by ``GrpcServer.run_background``.

    The methods are registered through `registered_on` (the token check, when
    the server has a token); ``rpc_server.stop`` is replaced on the instance by
    a wrapper that turns health NOT_SERVING before the server's own stop runs
    and closes the metrics endpoint once that stop has completed. Sets
    ``grpc_server.ops`` to the returned :class:`Ops`, and the dispatcher's
    ``service._metrics`` to the recorder.
    """
    service = grpc_server.service
    # Watches hold a worker thread each: half the workers (at least one)
    # stay for calls.
    health = Health(max_watchers=_workers(grpc_server) // 2)
    recorder = metrics = None
    port = getattr(grpc_server, "metrics_port", None)
    if port is not None:
        recorder = Recorder()
        metrics = start_metrics(recorder, port)
    ops = Ops(health, recorder, metrics)
    try:
        registered_on.add_generic_rpc_handlers((_OpsHandler(health, service),))
        original_stop = rpc_server.stop

        @functools.wraps(original_stop)
        def stop(grace: Optional[float]) -> Any:
            health.stopping()
            event = original_stop(grace)
            ops._stopped(event)
            return event

        rpc_server.stop = stop
    except BaseException:
        if metrics is not None:
            metrics.stop()
        raise
    if recorder is not None:
        service._metrics = recorder
    grpc_server.ops = ops
    return ops
