"""Deadlines that follow the work.

While a sorvane server runs a target for a call that came with a deadline,
every sorvane call the target makes (through ``grpc_service`` or
``GrpcHelper``, in its own thread or any thread started with a copy of its
``contextvars`` context) gets the smaller of its own timeout and the time left
of the incoming call. When no time is left, the call fails at once with
DEADLINE_EXCEEDED and nothing is sent.

A target reads the time it has left with :func:`time_left`.
"""
import contextvars
import time
from typing import Optional

import grpc

__all__ = ["time_left", "DeadlineExceeded"]

# The deadline of the call being served, as a time.monotonic() value; set by
# the dispatcher around the target's call only.
_deadline: "contextvars.ContextVar[float]" = contextvars.ContextVar("sorvane_deadline")


def time_left() -> Optional[float]:
    """Seconds left before the deadline of the sorvane call being served in
    this context (0.0 once it has passed), or None when there is none: outside
    a served call, or for a call that came without a deadline."""
    at = _deadline.get(None)
    if at is None:
        return None
    return max(0.0, at - time.monotonic())


class DeadlineExceeded(grpc.RpcError, grpc.Call):
    """The error of a sorvane call refused before sending because the call
    being served has no time left: a grpc.RpcError whose code() is
    DEADLINE_EXCEEDED, like the error of a call whose deadline passed."""

    def code(self) -> grpc.StatusCode:
        return grpc.StatusCode.DEADLINE_EXCEEDED

    def details(self) -> str:
        return "Deadline Exceeded"

    def initial_metadata(self) -> tuple:
        return ()

    def trailing_metadata(self) -> tuple:
        return ()

    def is_active(self) -> bool:
        return False

    def time_remaining(self) -> float:
        return 0.0

    def cancel(self) -> bool:
        return False

    def add_callback(self, callback) -> bool:
        return False

    def __str__(self) -> str:
        return ("<DeadlineExceeded of RPC that terminated with:\n"
                "\tstatus = StatusCode.DEADLINE_EXCEEDED\n"
                "\tdetails = \"Deadline Exceeded\"\n"
                "\tdebug_error_string = \"no time left of the call being served\"\n>")

    __repr__ = __str__


def _expired() -> None:
    raise DeadlineExceeded()
