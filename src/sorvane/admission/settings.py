"""What one server admits: the server options admission reads, the details of
the calls it refuses, :class:`Limits`, and ``GrpcServer``'s admission
settings with their defaults (:func:`check_setting`)."""
from typing import Any, FrozenSet, Iterable, Optional, Sequence, Tuple

#: Server options (also read by the native engine).
MAX_QUEUED_BYTES = "sorvane.max_queued_bytes"
REQUEST_WAIT_MS = "sorvane.request_wait_ms"
PRIORITY_METHODS = "sorvane.priority_methods"

#: The details of calls refused by admission.
QUEUE_FULL = "sorvane: too many calls waiting for a worker"
BYTES_FULL = "sorvane: too many request bytes waiting for a worker"
REQUEST_LATE = "sorvane: the request message did not arrive in time"

#: Calls awaiting a coroutine target that one server keeps apart from the
#: calls it holds (each keeps one of grpcio's call threads).
MAX_AWAITING = 4096


class Limits:
    """What one server admits: `workers` calls run at once, at most
    `max_calls` are held (None: no bound), holding at most `max_bytes` of
    request messages waiting for a worker (None: no bound), each message
    arriving within `request_wait` seconds (None: no bound) of its headers."""

    def __init__(self, workers: int, max_calls: Optional[int] = None,
                 max_bytes: Optional[int] = None, request_wait: Optional[float] = None,
                 priority: Iterable[str] = ()) -> None:
        self.workers = max(1, int(workers))
        self.max_calls = None if max_calls is None or max_calls < 0 else int(max_calls)
        self.max_bytes = None if max_bytes is None or max_bytes < 0 else int(max_bytes)
        self.request_wait = request_wait if request_wait is None or request_wait > 0 else None
        self.priority = frozenset(priority)  # type: FrozenSet[str]

    @classmethod
    def from_options(cls, workers: int, options: Sequence[Tuple[str, Any]],
                     maximum_concurrent_rpcs: Optional[int]) -> "Limits":
        values = dict(options)
        wait_ms = values.get(REQUEST_WAIT_MS)
        priority = values.get(PRIORITY_METHODS) or ""
        return cls(workers, maximum_concurrent_rpcs, values.get(MAX_QUEUED_BYTES),
                   None if wait_ms is None else int(wait_ms) / 1000.0,
                   [m for m in str(priority).split(",") if m])


# ---- GrpcServer's settings -------------------------------------------------------

#: GrpcServer's defaults: calls waiting for a worker (beyond the max_workers
#: running), bytes of request messages held before a worker takes them, and
#: seconds a request message has to arrive once its call's headers are in.
DEFAULT_MAX_QUEUED_CALLS = 100
DEFAULT_MAX_QUEUED_BYTES = 256 << 20
DEFAULT_REQUEST_WAIT = 30.0

_SETTINGS = ("max_queued_calls", "max_queued_bytes", "request_wait")


def check_setting(name: str, value: Any) -> Any:
    """`value` for GrpcServer's keyword `name`, or TypeError/ValueError:
    max_queued_calls and max_queued_bytes are ints >= 0, request_wait a
    number of seconds > 0."""
    if name == "request_wait":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError("request_wait must be a number of seconds, not %s"
                            % type(value).__name__)
        if not 0 < value < 1e9:
            raise ValueError("request_wait must be more than 0 seconds, got %r" % (value,))
        return float(value)
    if name not in _SETTINGS:
        raise ValueError("unknown admission setting %r" % (name,))
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if value < 0:
        raise ValueError("%s must be 0 or more, got %d" % (name, value))
    return value
