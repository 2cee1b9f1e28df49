"""Gives the memory of large requests back to the system once a burst of
them is over, so that a server's resident memory returns near where it was.

glibc only; nothing happens with another C library, or where the
environment tunes glibc's malloc itself (``MALLOC_ARENA_MAX``,
``GLIBC_TUNABLES``). glibc gives each thread that allocates under contention
an arena of its own, and ``malloc_trim`` cannot shrink the top of those: after
a burst of large requests a server kept hundreds of MB. With two arenas (set
when the first server starts, see :func:`set_up`) ``malloc_trim`` reaches
nearly all of it. Taking large blocks straight from the system instead (a
lower mmap threshold) returned it too, but halved the rate of 4 MiB calls;
two arenas cost nothing measurable there, nor on small calls.
"""
import ctypes
import os
import platform
import threading
from typing import Any, Callable

__all__ = ["set_up", "request_done"]

# glibc's mallopt parameter for the number of arenas, and that number.
_M_ARENA_MAX = -8
_ARENAS = 2
# Requests this large count towards giving memory back, which happens once
# this much of them is done and no request bytes wait (looked at this many
# seconds later, and again until none do).
LARGE_REQUEST = 1 << 20
TRIM_AFTER = 32 << 20
TRIM_DELAY = 0.2

_lock = threading.Lock()
_state = {"set up": False, "freed": 0, "pending": False}
_libc = None  # type: Any


def set_up() -> bool:
    """Limits glibc's malloc to two arenas, once per process; True when this
    process can give memory back."""
    global _libc
    with _lock:
        if _state["set up"]:
            return _libc is not None
        _state["set up"] = True
    tuned = "MALLOC_ARENA_MAX" in os.environ or "glibc.malloc" in os.environ.get(
        "GLIBC_TUNABLES", "")
    if tuned or platform.libc_ver()[0] != "glibc":
        return False
    try:
        libc = ctypes.CDLL(None)
        libc.mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
        libc.malloc_trim.argtypes = [ctypes.c_size_t]
    except (OSError, AttributeError):
        return False
    if libc.mallopt(_M_ARENA_MAX, _ARENAS) != 1:
        return False
    _libc = libc
    return True


def request_done(size: int, waiting: Callable[[], bool]) -> None:
    """A call whose request message had `size` bytes has ended; `waiting()`
    tells whether request bytes still wait for a worker on its server."""
    if _libc is None or size < LARGE_REQUEST:
        return
    with _lock:
        _state["freed"] += size
        if _state["freed"] < TRIM_AFTER or _state["pending"]:
            return
        _state["pending"] = True
    _later(waiting)


def _later(waiting: Callable[[], bool]) -> None:
    timer = threading.Timer(TRIM_DELAY, _trim, (waiting,))
    timer.daemon = True
    timer.start()


def _trim(waiting: Callable[[], bool]) -> None:
    if waiting():  # the burst goes on: give back once it is over
        _later(waiting)
        return
    with _lock:
        _state["freed"] = 0
        _state["pending"] = False
    _libc.malloc_trim(0)
