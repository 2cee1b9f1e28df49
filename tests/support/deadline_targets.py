"""Server-side targets of engine/test_deadlines.py, and the stubs they call.

Both servers of a test run in the test's process; `relay` (served by the
outer server) calls `sleepy` on the inner one and notes how that call ended.
"""
import contextvars
import threading
import time

import grpc

from sorvane.corvex import grpc_service
from sorvane.deadline import time_left

notes = []  # (what, status code name or value, seconds since the relay began)

# Set by the tests when they end, so that no target sleeps on after its test.
wake = threading.Event()


def sleepy(seconds):
    wake.wait(seconds)
    return "slept"


def left():
    return time_left()


def left_in_thread():
    """time_left() in a thread started with a copy of the caller's context."""
    out = []
    context = contextvars.copy_context()
    worker = threading.Thread(target=context.run, args=(lambda: out.append(time_left()),))
    worker.start()
    worker.join()
    return out[0]


def _inner(seconds):
    """Stub of `sleepy` on the inner server."""


_inner.__qualname__ = "sleepy"
inner_sleepy = grpc_service("deadline-inner")(_inner)


def relay(seconds, in_thread=False):
    began = time.monotonic()

    def go():
        try:
            notes.append(("inner returned", inner_sleepy(seconds), time.monotonic() - began))
        except grpc.RpcError as e:
            notes.append(("inner failed", e.code().name, time.monotonic() - began))
            if not in_thread:
                raise

    if not in_thread:
        go()
        return "relayed"
    context = contextvars.copy_context()
    worker = threading.Thread(target=context.run, args=(go,))
    worker.start()
    worker.join()
    return "relayed"
