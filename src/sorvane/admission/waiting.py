"""What an admitted call waits on: workers handed out first come first
served, and one timer thread for the wait for a request message."""
import heapq
import itertools
import logging
import threading
import time
from collections import deque
from typing import Any, Callable, Deque, List, Optional, Tuple

from sorvane.admission.threads import _leave_signals_to_the_main_thread

log = logging.getLogger("sorvane.admission")


class _Waiter:
    __slots__ = ("event", "granted")

    def __init__(self) -> None:
        self.event = threading.Event()
        self.granted = False


class _Slots:
    """`count` workers handed out first come first served; a waiter whose
    call ends while it waits leaves the line."""

    def __init__(self, count: int) -> None:
        self._lock = threading.Lock()
        self._free = count
        self._line = deque()  # type: Deque[_Waiter]

    def acquire(self, context: Any) -> bool:
        """True once a worker is ours; False when the call ended first."""
        with self._lock:
            if self._free and not self._line:
                self._free -= 1
                return True
            waiter = _Waiter()
            self._line.append(waiter)
        # The call's end wakes the waiter; False means it has already ended.
        if context.add_callback(waiter.event.set):
            while not waiter.event.wait(1.0) and context.is_active():
                pass
        with self._lock:
            if waiter.granted:
                return True
            self._line.remove(waiter)
            return False

    def release(self) -> None:
        with self._lock:
            if self._line:
                waiter = self._line.popleft()
                waiter.granted = True
                waiter.event.set()
            else:
                self._free += 1


# ---- the timer ---------------------------------------------------------------------


class _Timer:
    """One thread running callbacks at their times; started on first use."""

    def __init__(self) -> None:
        self._lock = threading.Condition()
        self._heap = []  # type: List[Tuple[float, int, List[Any]]]
        self._order = itertools.count()
        self._cancelled = 0  # entries in the heap whose callback is gone
        self._thread = None  # type: Optional[threading.Thread]

    def after(self, seconds: float, callback: Callable[[], None]) -> List[Any]:
        """Runs `callback` in `seconds`; returns a handle for :meth:`cancel`."""
        entry = [callback, False]  # [the callback or None, taken to run]
        with self._lock:
            heapq.heappush(self._heap, (time.monotonic() + seconds, next(self._order), entry))
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="sorvane-admission",
                                                daemon=True)
                self._thread.start()
            elif self._heap[0][2] is entry:
                # Only a new earliest time shortens the thread's wait; every
                # other one it reaches in turn without being woken (a wake-up
                # for each call costs its thread a switch and the GIL).
                self._lock.notify()
        return entry

    def cancel(self, entry: List[Any]) -> bool:
        """True when the callback will not run; False when it runs or has run."""
        with self._lock:
            if entry[1]:
                return False
            if entry[0] is not None:
                entry[0] = None
                self._cancelled += 1
                # Most waits are cancelled long before their time: drop them
                # once they are half the heap, not at their time.
                if self._cancelled > 64 and 2 * self._cancelled > len(self._heap):
                    self._heap = [item for item in self._heap if item[2][0] is not None]
                    heapq.heapify(self._heap)
                    self._cancelled = 0
            return True

    def _run(self) -> None:
        _leave_signals_to_the_main_thread()
        while True:
            with self._lock:
                while not self._heap or self._heap[0][0] > time.monotonic():
                    self._lock.wait(None if not self._heap
                                    else self._heap[0][0] - time.monotonic())
                entry = heapq.heappop(self._heap)[2]
                callback, entry[1] = entry[0], True
                if callback is None:
                    self._cancelled -= 1
            if callback is not None:
                try:
                    callback()
                except Exception:  # a timer must outlive what it runs
                    log.exception("admission timer callback failed")


_timer = _Timer()
