"""The parts of a channel's options that choose how calls are spread and
retried: ``grpc.service_config`` (its ``loadBalancingConfig``,
``loadBalancingPolicy`` and the ``retryPolicy`` of each ``methodConfig``),
``grpc.lb_policy_name`` and ``grpc.enable_retries``, read as grpcio reads them
and handed to the engine as options of its own. The JSON is read here, with
the host's ``json`` module; the engine gets plain lines.

A service config grpcio would refuse makes a channel whose every call fails
with INVALID_ARGUMENT, as grpcio's does; other fields of a method config
(timeout, waitForReady, message sizes, hedging) are accepted and not used."""
import json
import logging
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

import grpc

__all__ = ["engine_options"]

_LOGGER = logging.getLogger("grpc._channel")
_SUPPORTED_POLICIES = ("pick_first", "round_robin")
_MAX_ATTEMPTS = 5  # gRPC clamps higher values to this
_CODES = {code.name: code.value[0] for code in grpc.StatusCode}
# A protobuf JSON Duration: seconds with up to nine decimals and an "s".
_DURATION = re.compile(r"-?\d+(\.\d{1,9})?s\Z")

# What the engine reads (sorvane's own names: grpcio ignores them).
LB_POLICY = "sorvane.lb_policy"
RETRY_POLICIES = "sorvane.retry_policies"
CHANNEL_ERROR = "sorvane.channel_error"


class _Invalid(Exception):
    """One reason the service config is refused; `field` names where."""

    def __init__(self, field: str, why: str) -> None:
        super().__init__("field:%s error:%s" % (field, why))


def _duration_ms(value: Any, field: str) -> int:
    """Milliseconds of a Duration text, as gRPC keeps them (rounded down)."""
    if not isinstance(value, str):
        raise _Invalid(field, "is not a string")
    if not value.endswith("s"):
        raise _Invalid(field, "Not a duration (no s suffix)")
    if not _DURATION.match(value):
        raise _Invalid(field, "Not a duration")
    seconds, _, fraction = value[:-1].partition(".")
    sign = -1 if seconds.startswith("-") else 1
    nanos = int((fraction + "000000000")[:9]) if fraction else 0
    return sign * (abs(int(seconds)) * 1000 + nanos // 1000000)


def _retry_policy(policy: Any, field: str) -> Tuple[int, int, int, float, List[int]]:
    """(maxAttempts, initial ms, max ms, multiplier, codes) of a valid retryPolicy."""
    if not isinstance(policy, dict):
        raise _Invalid(field, "is not an object")

    def present(name: str) -> Any:
        if name not in policy:
            raise _Invalid(field + "." + name, "field not present")
        return policy[name]

    attempts = present("maxAttempts")
    # Protobuf's JSON takes an integer as a number or as a decimal string.
    if isinstance(attempts, str) and re.match(r"-?\d+\Z", attempts):
        attempts = int(attempts)
    if isinstance(attempts, bool) or not isinstance(attempts, int):
        raise _Invalid(field + ".maxAttempts", "failed to parse number")
    if attempts < 2:
        raise _Invalid(field + ".maxAttempts", "must be at least 2")
    if attempts > _MAX_ATTEMPTS:
        _LOGGER.error("service config: clamped retryPolicy.maxAttempts at %d", _MAX_ATTEMPTS)
        attempts = _MAX_ATTEMPTS
    initial = _duration_ms(present("initialBackoff"), field + ".initialBackoff")
    if initial <= 0:
        raise _Invalid(field + ".initialBackoff", "must be greater than 0")
    maximum = _duration_ms(present("maxBackoff"), field + ".maxBackoff")
    if maximum <= 0:
        raise _Invalid(field + ".maxBackoff", "must be greater than 0")
    multiplier = present("backoffMultiplier")
    if isinstance(multiplier, bool) or not isinstance(multiplier, (int, float)):
        raise _Invalid(field + ".backoffMultiplier", "failed to parse number")
    if not multiplier > 0:
        raise _Invalid(field + ".backoffMultiplier", "must be greater than 0")
    names = present("retryableStatusCodes")
    if not isinstance(names, list):
        raise _Invalid(field + ".retryableStatusCodes", "is not an array")
    codes = []
    for i, name in enumerate(names):
        where = "%s.retryableStatusCodes[%d]" % (field, i)
        if not isinstance(name, str):
            raise _Invalid(where, "is not a string")
        if name not in _CODES:
            raise _Invalid(where, "failed to parse status code")
        codes.append(_CODES[name])
    if not codes:
        raise _Invalid(field + ".retryableStatusCodes", "must be non-empty")
    return attempts, initial, maximum, float(multiplier), codes


def _method_names(entry: Dict[str, Any], field: str, seen: Dict[str, str]) -> List[str]:
    """The engine's keys of a methodConfig's names: "/service/method",
    "/service/" (every method of the service) or "" (every method)."""
    names = entry.get("name", [])
    if not isinstance(names, list):
        raise _Invalid(field + ".name", "is not an array")
    keys = []
    for i, name in enumerate(names):
        where = "%s.name[%d]" % (field, i)
        if not isinstance(name, dict):
            raise _Invalid(where, "is not an object")
        service, method = name.get("service", ""), name.get("method", "")
        if not isinstance(service, str) or not isinstance(method, str):
            raise _Invalid(where, "is not a string")
        if method and not service:
            raise _Invalid(where, "method name populated without service name")
        if any(c in service + method for c in "\t\n/"):
            raise _Invalid(where, "invalid name")
        key = "/%s/%s" % (service, method) if service else ""
        if key in seen:
            raise _Invalid(where, "duplicate default method config" if not key
                           else "multiple method configs for path " + key)
        seen[key] = where
        keys.append(key)
    return keys


def _lb_policy(config: Dict[str, Any]) -> Optional[str]:
    """The policy the service config chooses, or None when it chooses none."""
    if "loadBalancingConfig" in config:
        choices = config["loadBalancingConfig"]
        if not isinstance(choices, list):
            raise _Invalid("loadBalancingConfig", "type should be array")
        names = []
        for choice in choices:
            if not isinstance(choice, dict):
                raise _Invalid("loadBalancingConfig", "child entry should be of type object")
            if len(choice) != 1:
                raise _Invalid("loadBalancingConfig", "oneOf violation")
            name = next(iter(choice))  # type: str
            settings = choice[name]
            if not isinstance(settings, dict):
                raise _Invalid("loadBalancingConfig", "child entry should be of type object")
            if name in _SUPPORTED_POLICIES:
                return name
            names.append(name)
        if names:
            raise _Invalid("loadBalancingConfig", "No known policies in list: " + " ".join(names))
    legacy = config.get("loadBalancingPolicy")
    if legacy is not None:
        if not isinstance(legacy, str) or legacy.lower() not in _SUPPORTED_POLICIES:
            raise _Invalid("loadBalancingPolicy", 'unknown LB policy "%s"' % (legacy,))
        return legacy.lower()
    return None


def _read(text: str) -> Tuple[Optional[str], List[str]]:
    """(policy or None, the engine's retry lines) of a service config text."""
    try:
        config = json.loads(text)
    except ValueError as error:
        raise ValueError("JSON parsing failed: [%s]" % error) from None
    if not isinstance(config, dict):
        raise _Invalid("", "is not an object")
    policy = _lb_policy(config)
    entries = config.get("methodConfig", [])
    if not isinstance(entries, list):
        raise _Invalid("methodConfig", "is not an array")
    lines, seen = [], {}  # type: List[str], Dict[str, str]
    for i, entry in enumerate(entries):
        field = "methodConfig[%d]" % i
        if not isinstance(entry, dict):
            raise _Invalid(field, "is not an object")
        keys = _method_names(entry, field, seen)
        if "retryPolicy" not in entry:
            continue
        attempts, initial, maximum, multiplier, codes = _retry_policy(
            entry["retryPolicy"], field + ".retryPolicy")
        for key in keys:
            lines.append("%s\t%d\t%d\t%d\t%r\t%s" % (
                key, attempts, initial, maximum, multiplier, ",".join(map(str, codes))))
    return policy, lines


def engine_options(target: str, options: Sequence[Tuple[str, Any]]) -> List[Tuple[str, Any]]:
    """`options` with what the engine reads of them appended: the balancing
    policy, the retry policies, or the reason every call fails."""
    given = {}  # type: Dict[str, Any]
    for pair in options:
        try:
            key, value = pair
        except (TypeError, ValueError):
            continue  # the engine refuses it, with its own message
        if isinstance(key, str):
            given[key] = value  # the last of a repeated name wins, as in gRPC
    out = list(options)
    policy = None  # type: Optional[str]
    lines = []  # type: List[str]
    text = given.get("grpc.service_config")
    if text is not None:
        try:
            policy, lines = _read(text.decode() if isinstance(text, bytes) else str(text))
        except (_Invalid, ValueError) as error:
            why = str(error) if not isinstance(error, _Invalid) else (
                "errors validating service config: [%s]" % error)
            _LOGGER.error("channel to %s: %s", target, why)
            out.append((CHANNEL_ERROR, "Failed to create channel to '%s':%s" % (target, why)))
            return out
    if policy is None:
        # The option is read only when the service config names no policy;
        # a name gRPC does not know is ignored.
        named = given.get("grpc.lb_policy_name")
        policy = named if named in _SUPPORTED_POLICIES else "pick_first"
    out.append((LB_POLICY, policy))
    if lines and given.get("grpc.enable_retries", 1) != 0:
        out.append((RETRY_POLICIES, "\n".join(lines)))
    return out
