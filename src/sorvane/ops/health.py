"""gRPC's standard health service: its two messages, encoded and decoded here
in protobuf's wire format, and :class:`Health`, the services' states with the
Check and Watch handlers. Every message a client sends is checked before it
is used (:class:`MalformedMessage`)."""

import threading
from typing import Any, Dict, Iterator, Optional, Tuple

import grpc

HEALTH_SERVICE = "grpc.health.v1.Health"
CHECK_METHOD = "/grpc.health.v1.Health/Check"
WATCH_METHOD = "/grpc.health.v1.Health/Watch"

# HealthCheckResponse.ServingStatus
UNKNOWN = 0
SERVING = 1
NOT_SERVING = 2
SERVICE_UNKNOWN = 3
STATUS_NAMES = {UNKNOWN: "UNKNOWN", SERVING: "SERVING", NOT_SERVING: "NOT_SERVING",
                SERVICE_UNKNOWN: "SERVICE_UNKNOWN"}

#: The services health reports on: the server as a whole, and the dispatcher.
HEALTH_SERVICES = ("", "common.CommonService")

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
