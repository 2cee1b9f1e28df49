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
    and decoded here, in protobuf's wire format.
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
"""
import functools
import importlib
import inspect
import json
import logging
import threading
import types
from typing import Any, Dict, Iterator, List, Optional, Tuple

import grpc

from sorvane.metrics import (DURATION_BUCKETS, OUTCOMES, MetricsServer, Recorder,
                             start_metrics)

__all__ = [
    "attach", "Ops", "Health", "Recorder", "MetricsServer", "start_metrics", "describe",
    "encode_health_request", "decode_health_request", "encode_health_response",
    "decode_health_response", "MalformedMessage",
    "UNKNOWN", "SERVING", "NOT_SERVING", "SERVICE_UNKNOWN", "STATUS_NAMES",
    "HEALTH_SERVICE", "CHECK_METHOD", "WATCH_METHOD", "LIST_METHOD", "HEALTH_SERVICES",
    "NO_GUARD", "OUTCOMES", "DURATION_BUCKETS",
]

log = logging.getLogger("sorvane.ops")

HEALTH_SERVICE = "grpc.health.v1.Health"
CHECK_METHOD = "/grpc.health.v1.Health/Check"
WATCH_METHOD = "/grpc.health.v1.Health/Watch"
LIST_METHOD = "/sorvane.Describe/List"

# HealthCheckResponse.ServingStatus
UNKNOWN = 0
SERVING = 1
NOT_SERVING = 2
SERVICE_UNKNOWN = 3
STATUS_NAMES = {UNKNOWN: "UNKNOWN", SERVING: "SERVING", NOT_SERVING: "NOT_SERVING",
                SERVICE_UNKNOWN: "SERVICE_UNKNOWN"}

#: The services health reports on: the server as a whole, and the dispatcher.
HEALTH_SERVICES = ("", "common.CommonService")

#: The details of a listing refused by a server without the exposure guard.
NO_GUARD = "sorvane: this server has no guard; nothing to list"

# A Watch wakes this often (seconds) to notice a client that went away.
_WATCH_POLL = 1.0
_MAX_SHOWN = 120  # characters of a client-supplied name quoted back


def _shown(value: object) -> str:
    text = ascii(value)
    return text if len(text) <= _MAX_SHOWN else text[:_MAX_SHOWN] + "..."


# ---- health messages, protobuf wire format ----------------------------------
#
# HealthCheckRequest  { string service = 1; }
# HealthCheckResponse { ServingStatus status = 1; }


class MalformedMessage(ValueError):
    """Bytes that are not a valid message of the expected type."""


def _varint(data: bytes, pos: int) -> Tuple[int, int]:
    """The varint at data[pos:] and the position after it."""
    value = 0
    for shift in range(0, 70, 7):
        if pos >= len(data):
            raise MalformedMessage("truncated varint")
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            if value >> 64:
                raise MalformedMessage("varint longer than 64 bits")
            return value, pos
    raise MalformedMessage("varint longer than 10 bytes")


def _encode_varint(value: int) -> bytes:
    value &= (1 << 64) - 1  # negative enum values travel as 64-bit two's complement
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _fields(data: bytes) -> Iterator[Tuple[int, int, Any]]:
    """(field number, wire type, value) of each field: an int for varints and
    fixed-size fields, bytes for length-delimited ones."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise MalformedMessage("not bytes")
    data = bytes(data)
    pos = 0
    while pos < len(data):
        key, pos = _varint(data, pos)
        number, wire = key >> 3, key & 7
        if number == 0 or number >= 1 << 29:
            raise MalformedMessage("bad field number %d" % number)
        if wire == 0:
            value, pos = _varint(data, pos)
        elif wire == 1 or wire == 5:
            size = 8 if wire == 1 else 4
            if pos + size > len(data):
                raise MalformedMessage("truncated fixed-size field")
            value = int.from_bytes(data[pos:pos + size], "little")
            pos += size
        elif wire == 2:
            size, pos = _varint(data, pos)
            if size > len(data) - pos:
                raise MalformedMessage("length-delimited field runs past the end")
            value = data[pos:pos + size]
            pos += size
        else:  # groups (3, 4) and the undefined 6 and 7
            raise MalformedMessage("unsupported wire type %d" % wire)
        yield number, wire, value


def encode_health_request(service: str) -> bytes:
    """A HealthCheckRequest for `service` ("" for the server as a whole)."""
    raw = service.encode("utf-8")
    return (b"\x0a" + _encode_varint(len(raw)) + raw) if raw else b""


def decode_health_request(data: bytes) -> str:
    """The service name of a HealthCheckRequest; MalformedMessage when it is not one."""
    service = ""
    for number, wire, value in _fields(data):
        if number == 1:
            if wire != 2:
                raise MalformedMessage("service is not a string")
            try:
                service = value.decode("utf-8")
            except UnicodeDecodeError:
                raise MalformedMessage("service is not UTF-8") from None
    return service


def encode_health_response(status: int) -> bytes:
    """A HealthCheckResponse with `status` (SERVING, NOT_SERVING, ...)."""
    return b"\x08" + _encode_varint(status) if status else b""


def decode_health_response(data: bytes) -> int:
    """The status of a HealthCheckResponse; MalformedMessage when it is not one."""
    status = UNKNOWN
    for number, wire, value in _fields(data):
        if number == 1:
            if wire != 0:
                raise MalformedMessage("status is not a varint")
            status = value - (1 << 64) if value >> 63 else value
            if not -(1 << 31) <= status < 1 << 31:
                raise MalformedMessage("status out of the enum's range")
    return status


# ---- health -----------------------------------------------------------------


class Health:
    """The health states of a server's services, and the Check and Watch handlers.

    Every service in `services` starts SERVING; :meth:`stopping` turns them all
    NOT_SERVING for good and ends every Watch after it has sent that. At most
    `max_watchers` Watch calls run at once (each holds one of the server's
    worker threads); more are refused with RESOURCE_EXHAUSTED.
    """

    def __init__(self, services: Tuple[str, ...] = HEALTH_SERVICES,
                 max_watchers: int = 5) -> None:
        self._lock = threading.Lock()
        self._statuses = {name: SERVING for name in services}  # type: Dict[str, int]
        self._stopped = False
        self._wakers = set()  # type: set
        self.max_watchers = max(0, int(max_watchers))

    def status(self, service: str) -> Optional[int]:
        """The status of `service`, or None when health does not know it."""
        with self._lock:
            return self._statuses.get(service)

    def stopping(self) -> None:
        """The server is stopping: every service NOT_SERVING from now on."""
        with self._lock:
            for name in self._statuses:
                self._statuses[name] = NOT_SERVING
            self._stopped = True
            wakers = list(self._wakers)
        for wake in wakers:
            wake.set()

    def _service(self, request: bytes, context: Any) -> str:
        try:
            return decode_health_request(request)
        except MalformedMessage as e:
            context.abort(grpc.StatusCode.INVALID_ARGUMENT,
                          "sorvane: not a HealthCheckRequest: %s" % e)
            raise  # abort raises; this is for contexts that do not

    def check(self, request: bytes, context: Any) -> bytes:
        """Health/Check: the status of the service asked about, NOT_FOUND for
        one this server does not have."""
        service = self._service(request, context)
        status = self.status(service)
        if status is None:
            context.abort(grpc.StatusCode.NOT_FOUND,
                          "sorvane: unknown service %s" % _shown(service))
        return encode_health_response(status)  # type: ignore[arg-type]

    def watch(self, request: bytes, context: Any) -> Iterator[bytes]:
        """Health/Watch: the status at once, then each change; SERVICE_UNKNOWN
        for a service this server does not have. Ends once the server stops."""
        service = self._service(request, context)
        wake = threading.Event()
        with self._lock:
            admitted = len(self._wakers) < self.max_watchers
            if admitted:
                self._wakers.add(wake)
        if not admitted:
            context.abort(grpc.StatusCode.RESOURCE_EXHAUSTED,
                          "sorvane: too many health watches at once")
            return
        try:
            context.add_callback(wake.set)  # the client went away: stop waiting
            last = None
            while True:
                wake.clear()
                with self._lock:
                    status = self._statuses.get(service, SERVICE_UNKNOWN)
                    stopped = self._stopped
                if status != last:
                    yield encode_health_response(status)
                    last = status
                if stopped or not context.is_active():
                    return
                wake.wait(_WATCH_POLL)
        finally:
            with self._lock:
                self._wakers.discard(wake)


# ---- listing ------------------------------------------------------------------
#
# Building the listing runs no code of the served modules' objects: no
# __class__, __getattr__, property, __signature__, __wrapped__ lookup or
# repr() of a default. Objects are judged by their exact types and read
# through the built-in types' own descriptors (a function's code, defaults
# and dict, a method's function, a class's own dict along its MRO, a
# module's dict). Signatures come from code objects, and a default is shown
# as "..." (as stubs write it), never its value: a module constant used as a
# default would otherwise be handed to every client.

_FUNCTION = types.FunctionType
_METHOD = types.MethodType
_type_dict = type.__dict__["__dict__"].__get__  # a class's own dict, not a metaclass's __dict__
_module_dict = vars(types.ModuleType)["__dict__"].__get__
_function_code = _FUNCTION.__dict__["__code__"].__get__
_function_defaults = _FUNCTION.__dict__["__defaults__"].__get__
_function_kwdefaults = _FUNCTION.__dict__["__kwdefaults__"].__get__
_function_doc = _FUNCTION.__dict__["__doc__"].__get__
_function_dict = _FUNCTION.__dict__["__dict__"].__get__
_method_function = _METHOD.__dict__["__func__"].__get__
_static_function = staticmethod.__dict__["__func__"].__get__
_type_flags = type.__dict__["__flags__"].__get__
_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class made by a class statement
_TYPE_CALL = type.__dict__["__call__"]
_CO_VARARGS = 0x04
_CO_VARKEYWORDS = 0x08
_MAX_WRAPPED = 100  # __wrapped__ links followed, against cycles
_UNKNOWN = "(...)"  # the signature of a callable with no code object to read


def _first_line(doc: Any) -> str:
    if type(doc) is not str:
        return ""
    for line in inspect.cleandoc(doc).splitlines():
        if line.strip():
            return line.strip()
    return ""


def _is_class(value: Any) -> bool:
    return issubclass(type(value), type)


def _is_module(value: Any) -> bool:
    return issubclass(type(value), types.ModuleType)


def _mro(cls: type) -> Tuple[type, ...]:
    return type.__dict__["__mro__"].__get__(cls, type)  # not a metaclass's __mro__


def _lookup(cls: type, name: str) -> Tuple[Any, Optional[type]]:
    """`name` in the dicts of the classes along the MRO of `cls`, and the
    class holding it; (None, None) when none has it."""
    for klass in _mro(cls):
        own = _type_dict(klass)
        if name in own:
            return own[name], klass
    return None, None


def _class_names(cls: type) -> List[str]:
    """Public names in the dicts of the classes along the MRO of `cls`."""
    names = []  # type: List[str]
    for klass in _mro(cls):
        for name in _type_dict(klass):
            if type(name) is str and not name.startswith("_") and name not in names:
                names.append(name)
    return names


def _candidates(module: types.ModuleType) -> List[str]:
    """Paths into a module listed with "*" that the guard might accept: its
    public functions, and the public names of its classes and of the classes
    of its module-level objects. The guard decides which ones it does."""
    paths = []  # type: List[str]
    for name, value in list(_module_dict(module).items()):
        if type(name) is not str or name.startswith("_") or _is_module(value):
            continue
        if type(value) is _FUNCTION:
            paths.append(name)
            continue
        cls = value if _is_class(value) else type(value)
        paths.extend(name + "." + attr for attr in _class_names(cls))
    return paths


def _resolve(module: types.ModuleType, path: str) -> Any:
    """What the dispatcher calls for `path`, found as the guard finds it:
    module dicts and the dicts of the classes along an MRO. Only for paths
    the guard accepts, whose descriptors bind without running module code."""
    x = module  # type: Any
    for segment in path.split("."):
        if _is_module(x):
            x = _module_dict(x)[segment]
            continue
        is_class = _is_class(x)
        cls = x if is_class else type(x)
        value, holder = _lookup(cls, segment)
        if holder is None:
            raise LookupError(path)
        get, _ = _lookup(type(value), "__get__")
        x = value if get is None else get(value, None if is_class else x, cls)
    return x


def _unwrapped(function: types.FunctionType) -> types.FunctionType:
    """The function a decorator's wrapper stands for: its own dict's
    __wrapped__, followed while that is a Python function."""
    for _ in range(_MAX_WRAPPED):
        inner = dict.get(_function_dict(function), "__wrapped__")
        if type(inner) is not _FUNCTION or inner is function:
            break
        function = inner
    return function


def _parameters(function: types.FunctionType, bound: bool) -> str:
    """The parameter list of a Python function from its code object: names
    and kinds, and "=..." where a default exists. `bound`: the first
    positional parameter is taken by the binding (self or cls)."""
    function = _unwrapped(function)
    code = _function_code(function)
    names = code.co_varnames
    positional = code.co_argcount
    positional_only = getattr(code, "co_posonlyargcount", 0)  # 3.8+
    keyword_only = code.co_kwonlyargcount
    defaults = _function_defaults(function)
    first_default = positional - (0 if defaults is None else tuple.__len__(defaults))
    kwdefaults = _function_kwdefaults(function)
    parts = []  # type: List[str]
    for i in range(1 if bound and positional else 0, positional):
        parts.append(names[i] + ("=..." if i >= first_default else ""))
        if i == positional_only - 1:
            parts.append("/")
    rest = positional + keyword_only
    if code.co_flags & _CO_VARARGS:
        parts.append("*" + names[rest])
        rest += 1
    elif keyword_only:
        parts.append("*")
    for name in names[positional:positional + keyword_only]:
        has_default = kwdefaults is not None and dict.__contains__(kwdefaults, name)
        parts.append(name + ("=..." if has_default else ""))
    if code.co_flags & _CO_VARKEYWORDS:
        parts.append("**" + names[rest])
    return "(" + ", ".join(parts) + ")"


def _construction(cls: type) -> str:
    """What calling the class `cls` takes: the parameters of the first
    __init__ or __new__ along its MRO."""
    if _lookup(type(cls), "__call__")[0] is not _TYPE_CALL:
        return _UNKNOWN  # a metaclass's __call__ decides
    for klass in _mro(cls):
        if klass is object:
            return "()"
        own = _type_dict(klass)
        if "__init__" in own:
            init = own["__init__"]
            return _parameters(init, True) if type(init) is _FUNCTION else _UNKNOWN
        if "__new__" in own:
            new = own["__new__"]
            if type(new) is staticmethod:
                new = _static_function(new)
            return _parameters(new, True) if type(new) is _FUNCTION else _UNKNOWN
    return _UNKNOWN


def _signature(target: Any) -> str:
    """The parameter list a call of `target` takes, "(...)" where there is no
    Python code to read it from (builtins, native functions)."""
    kind = type(target)
    if kind is _FUNCTION:
        return _parameters(target, False)
    if kind is _METHOD:
        function = _method_function(target)
        return _parameters(function, True) if type(function) is _FUNCTION else _UNKNOWN
    if _is_class(target):
        return _construction(target)
    call, _ = _lookup(kind, "__call__")  # an instance of a class with __call__
    return _parameters(call, True) if type(call) is _FUNCTION else _UNKNOWN


def _doc(target: Any) -> str:
    """The first line of `target`'s docstring, read as its signature is."""
    kind = type(target)
    if kind is _METHOD:
        target = _method_function(target)
        kind = type(target)
    if kind is _FUNCTION:
        return _first_line(_function_doc(target))
    if _is_class(target):
        return _first_line(_type_dict(target).get("__doc__"))
    if not _type_flags(kind) & _HEAP_TYPE:
        # A built-in callable: its __doc__ is the type's C getter.
        return _first_line(getattr(target, "__doc__", None))
    return _first_line(_lookup(kind, "__doc__")[0])


def describe(exposure: Dict[str, Any]) -> List[Dict[str, str]]:
    """What a guard with the listing `exposure` ({module: None or paths}, the
    guard's ``_exposure``) lets calls reach, sorted by name: [{"name":
    "module:path", "signature": "(a, b=..., *, c)", "doc": first docstring
    line}]. The signature names the parameters and their kinds and marks a
    default without its value; building the listing runs no code of the
    module's objects.

    Only the listed modules are imported, and only what the guard's own check
    accepts is described, so nothing appears that a call could not reach.
    """
    from sorvane.corvex import _exposure_check  # type: ignore[attr-defined]

    entries = []  # type: List[Dict[str, str]]
    for name in sorted(exposure):
        try:
            module = importlib.import_module(name)
        except Exception as e:  # a call to it fails the same way
            log.warning("listing: cannot import %s: %s: %s", name, type(e).__name__, e)
            continue
        listed = exposure[name]
        paths = sorted(set(_candidates(module) if listed is None else listed))
        for path in paths:
            if _exposure_check(exposure, name, path) is not None:
                continue
            try:
                target = _resolve(module, path)
            except Exception:  # accepted, yet not found statically: leave it out
                continue
            entries.append({"name": name + ":" + path, "signature": _signature(target),
                            "doc": _doc(target)})
    entries.sort(key=lambda entry: entry["name"])
    return entries


# ---- attaching to a server ----------------------------------------------------


def _list_handler(service: Any) -> Any:
    def list_exposed(request: bytes, context: Any) -> bytes:
        if request:
            context.abort(grpc.StatusCode.INVALID_ARGUMENT,
                          "sorvane: the listing takes an empty request")
        exposure = getattr(service, "__dict__", {}).get("_exposure")
        if not isinstance(exposure, dict):
            context.abort(grpc.StatusCode.PERMISSION_DENIED, NO_GUARD)
        try:
            entries = describe(exposure)  # type: ignore[arg-type]
        except Exception:
            log.exception("listing failed")
            context.abort(grpc.StatusCode.INTERNAL, "sorvane: the listing failed")
        return json.dumps(entries, ensure_ascii=False).encode("utf-8")

    return list_exposed


class _OpsHandler(grpc.GenericRpcHandler):
    """The health and listing methods. A generic handler of its own (not a
    dictionary handler), so an engine without streaming answers Watch with
    UNIMPLEMENTED instead of refusing the whole registration."""

    def __init__(self, health: Health, service: Any) -> None:
        self._handlers = {
            CHECK_METHOD: grpc.unary_unary_rpc_method_handler(health.check),
            WATCH_METHOD: grpc.unary_stream_rpc_method_handler(health.watch),
            LIST_METHOD: grpc.unary_unary_rpc_method_handler(_list_handler(service)),
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
