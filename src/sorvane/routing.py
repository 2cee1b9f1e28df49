"""More than one server behind one registry entry: targets that name several
addresses, the balancing policy, the retry policy of calls marked safe to
repeat, and the header that names each call's target for proxies.

Everything here is said to the channel in gRPC's own terms (its target forms
and its service config), so grpcio's channel and the native one apply the
same documented policies:

- ``Server(name, "dns:///NAME", port)``: every address NAME resolves to;
  ``Server(name, ["10.0.0.2", "10.0.0.3"], port)``: those addresses (an
  ``ipv4:``/``ipv6:`` target).
- ``balance="pick_first"`` (the default: one connection, the first address
  that answers) or ``"round_robin"`` (a connection to every address, calls
  taken in turn by the ready ones).
- Calls marked ``idempotent=True`` go through a second channel of the entry
  whose service config retries them (:data:`DEFAULT_RETRY_POLICY`: on
  UNAVAILABLE only, at most four attempts, backoff from 0.1 s to 1 s); a
  call without the mark is never sent twice once it may have reached a
  server.
- Every call carries ``sorvane-target: MODULE:PATH`` in its metadata. The
  server does not read it: it is there for nginx, Envoy or a mesh, to route,
  limit or log per function.
"""
import ipaddress
import json
from typing import Any, Dict, List, Optional, Sequence, Tuple

__all__ = ["BALANCE_POLICIES", "DEFAULT_RETRY_POLICY", "TARGET_HEADER", "address_list",
           "check_balance", "retry_policy", "channel_options", "target_value"]

#: The load-balancing policies an entry may name (gRPC's).
BALANCE_POLICIES = ("pick_first", "round_robin")

#: The retry policy of calls marked idempotent, in gRPC's service-config form.
DEFAULT_RETRY_POLICY = {
    "maxAttempts": 4,
    "initialBackoff": "0.1s",
    "maxBackoff": "1s",
    "backoffMultiplier": 2,
    "retryableStatusCodes": ["UNAVAILABLE"],
}  # type: Dict[str, Any]

#: The request header that names a call's module and dotted path.
TARGET_HEADER = "sorvane-target"

#: The longest target value sent; a longer one is not sent at all.
MAX_TARGET_VALUE = 1024

# The services whose calls the retry policy covers: unary and streamed calls.
_SERVICES = ("common.CommonService", "sorvane.Stream")
_STATUS_NAMES = frozenset((
    "CANCELLED", "UNKNOWN", "INVALID_ARGUMENT", "DEADLINE_EXCEEDED", "NOT_FOUND",
    "ALREADY_EXISTS", "PERMISSION_DENIED", "RESOURCE_EXHAUSTED", "FAILED_PRECONDITION",
    "ABORTED", "OUT_OF_RANGE", "UNIMPLEMENTED", "INTERNAL", "UNAVAILABLE", "DATA_LOSS",
    "UNAUTHENTICATED"))


def address_list(hosts: Sequence[Any], port: Any) -> str:
    """The gRPC target of several hosts on one port: ``ipv4:a:p,b:p`` or
    ``ipv6:[a]:p,[b]:p``. Hosts must be IP addresses of one family (gRPC's
    address-list targets resolve no names: a name goes in as ``dns:///NAME``)."""
    if isinstance(port, bool) or not isinstance(port, int) or not 0 < port < 65536:
        raise ValueError("port must be a number from 1 to 65535, not %r" % (port,))
    if not hosts:
        raise ValueError("a list of hosts needs at least one address")
    families = set()
    parts = []  # type: List[str]
    for host in hosts:
        if not isinstance(host, str):
            raise TypeError("each host must be an IP address as str, not %s"
                            % type(host).__name__)
        try:
            ip = ipaddress.ip_address(host.strip("[]"))
        except ValueError:
            raise ValueError("%r is not an IP address: a list of hosts takes addresses; "
                             "a name that resolves to several goes in as dns:///NAME"
                             % (host,)) from None
        families.add(ip.version)
        parts.append("%s:%d" % (ip, port) if ip.version == 4 else "[%s]:%d" % (ip, port))
    if len(families) > 1:
        raise ValueError("a list of hosts takes addresses of one family (IPv4 or IPv6)")
    return ("ipv4:" if families == {4} else "ipv6:") + ",".join(parts)


def check_balance(value: Any) -> str:
    if value not in BALANCE_POLICIES or not isinstance(value, str):
        raise ValueError("balance must be one of %s, not %r"
                         % (", ".join(map(repr, BALANCE_POLICIES)), value))
    return value


def _duration(name: str, value: Any) -> str:
    """A positive duration as gRPC's service config writes it ("0.25s")."""
    if isinstance(value, str) and value.endswith("s"):
        try:
            seconds = float(value[:-1])
        except ValueError:
            seconds = -1.0
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    else:
        raise TypeError("%s must be seconds (a number or text such as '0.1s'), not %r"
                        % (name, value))
    if not seconds > 0 or seconds != seconds or seconds == float("inf"):
        raise ValueError("%s must be a positive number of seconds, not %r" % (name, value))
    return "%.9gs" % seconds


def retry_policy(value: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """The retry policy of idempotent calls: :data:`DEFAULT_RETRY_POLICY`
    with the members `value` gives (gRPC's names) in their place, checked."""
    policy = dict(DEFAULT_RETRY_POLICY)
    if value is None:
        return policy
    if not isinstance(value, dict):
        raise TypeError("retry_policy must be a dict of gRPC's retryPolicy members, not %s"
                        % type(value).__name__)
    unknown = set(value) - set(DEFAULT_RETRY_POLICY)
    if unknown:
        raise ValueError("retry_policy has unknown members: %s (it takes %s)"
                         % (", ".join(sorted(map(str, unknown))),
                            ", ".join(DEFAULT_RETRY_POLICY)))
    policy.update(value)
    attempts = policy["maxAttempts"]
    if isinstance(attempts, bool) or not isinstance(attempts, int) or attempts < 2:
        raise ValueError("maxAttempts must be an int of at least 2 (gRPC caps it at 5), not %r"
                         % (attempts,))
    policy["maxAttempts"] = min(attempts, 5)
    policy["initialBackoff"] = _duration("initialBackoff", policy["initialBackoff"])
    policy["maxBackoff"] = _duration("maxBackoff", policy["maxBackoff"])
    multiplier = policy["backoffMultiplier"]
    if isinstance(multiplier, bool) or not isinstance(multiplier, (int, float)) \
            or not multiplier > 0 or multiplier == float("inf"):
        raise ValueError("backoffMultiplier must be a positive number, not %r" % (multiplier,))
    codes = policy["retryableStatusCodes"]
    if isinstance(codes, str) or not isinstance(codes, (list, tuple)) or not codes:
        raise ValueError("retryableStatusCodes must be a non-empty list of status names")
    names = [getattr(code, "name", code) for code in codes]  # grpc.StatusCode members too
    bad = [code for code in names if code not in _STATUS_NAMES]
    if bad:
        raise ValueError("retryableStatusCodes: not a retryable gRPC status: %s"
                         % ", ".join(map(repr, bad)))
    policy["retryableStatusCodes"] = names
    return policy


def channel_options(balance: Optional[str], retry: Optional[Dict[str, Any]]
                    ) -> List[Tuple[str, Any]]:
    """The channel options of an entry's policies: its balancing policy and,
    for the channel of idempotent calls, the retry policy (already checked)."""
    config = {}  # type: Dict[str, Any]
    if balance is not None:
        config["loadBalancingConfig"] = [{balance: {}}]
    if retry is not None:
        config["methodConfig"] = [{"name": [{"service": name} for name in _SERVICES],
                                   "retryPolicy": retry}]
    if not config:
        return []
    options = [("grpc.service_config", json.dumps(config, separators=(",", ":")))]
    if retry is not None:
        options.append(("grpc.enable_retries", 1))
    return options


def target_value(clazz: Any, method: Any) -> Optional[str]:
    """``MODULE:PATH`` as a header value: printable ASCII, other characters
    (and ``%``) percent-encoded in UTF-8; None when either is not text or
    the value would pass :data:`MAX_TARGET_VALUE`."""
    if not isinstance(clazz, str) or not isinstance(method, str):
        return None
    out = []
    for byte in (clazz + ":" + method).encode("utf-8", "surrogatepass"):
        out.append(chr(byte) if 0x20 < byte < 0x7f and byte != 0x25 else "%%%02X" % byte)
    value = "".join(out)
    return value if len(value) <= MAX_TARGET_VALUE else None
