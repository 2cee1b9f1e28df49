"""The threads an admitting server runs calls on: one per call at once,
started as calls come and ended once idle, and finished with the jobs they
hold when the interpreter ends."""
import atexit
import signal
import threading
import weakref
from collections import deque
from concurrent import futures
from typing import Any, Callable, Deque, Dict, Set, Tuple

# Seconds a call thread beyond the ones the workers need stays idle before it ends.
_IDLE_THREAD = 60.0


def _leave_signals_to_the_main_thread() -> None:
    """Blocks SIGINT and SIGTERM on the calling thread (POSIX): a signal the
    system hands to one of our threads would not wake the main thread, whose
    handler is the one that stops the server."""
    block = getattr(signal, "pthread_sigmask", None)
    if block is not None:
        block(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})


# A job: its future, the function, its arguments.
_Job = Tuple["futures.Future[Any]", Callable[..., Any], Tuple[Any, ...], Dict[str, Any]]

_all_threads = weakref.WeakSet()  # type: weakref.WeakSet[_Threads]


def _at_exit() -> None:
    """The interpreter is ending: as with the standard thread pools, the jobs
    running and queued are finished first."""
    for threads in list(_all_threads):
        threads.close(wait=True)


# Where the standard thread pools hook in: before the interpreter waits for its
# threads (3.9 and later), else among the exit functions.
getattr(threading, "_register_atexit", atexit.register)(_at_exit)


class _Threads:
    """Threads that run jobs, one per job at once: an idle thread takes the
    next job, else a new one starts. Past `keep` threads, one idle for
    `idle` seconds ends; all end once closed and out of jobs."""

    def __init__(self, keep: int, idle: float = _IDLE_THREAD) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._jobs = deque()  # type: Deque[_Job]
        self._keep = keep
        self._idle_time = idle
        self._count = 0   # threads alive
        self._idle = 0    # of them, waiting for a job
        self._closed = False
        self._threads = set()  # type: Set[threading.Thread]
        _all_threads.add(self)

    def submit(self, fn: Callable[..., Any], args: Tuple[Any, ...],
               kwargs: Dict[str, Any]) -> "futures.Future[Any]":
        future = futures.Future()  # type: futures.Future[Any]
        with self._cond:
            if self._closed:
                raise RuntimeError("cannot schedule new futures after shutdown")
            self._jobs.append((future, fn, args, kwargs))
            if self._idle >= len(self._jobs):
                self._cond.notify()
                return future
            self._count += 1
        try:
            thread = threading.Thread(target=self._work, name="sorvane-call", daemon=True)
            thread.start()
        except BaseException:
            with self._cond:
                self._count -= 1
                try:
                    self._jobs.remove((future, fn, args, kwargs))
                except ValueError:  # an idle thread took it meanwhile
                    return future
            raise
        return future

    def close(self, wait: bool = False) -> None:
        with self._cond:
            self._closed = True
            self._cond.notify_all()
            threads = list(self._threads)
        if wait:
            for thread in threads:
                if thread is not threading.current_thread():
                    thread.join()

    def _work(self) -> None:
        _leave_signals_to_the_main_thread()
        me = threading.current_thread()
        cond = self._cond
        with cond:
            self._threads.add(me)
        try:
            while True:
                with cond:
                    if not self._jobs:
                        self._idle += 1
                        try:
                            while not self._jobs and not self._closed:
                                if not cond.wait(self._idle_time) and not self._jobs \
                                        and self._count > self._keep:
                                    return
                        finally:
                            self._idle -= 1
                        if not self._jobs:
                            return  # closed
                    future, fn, args, kwargs = self._jobs.popleft()
                if future.set_running_or_notify_cancel():
                    try:
                        result = fn(*args, **kwargs)
                    except BaseException as error:  # noqa: BLE001 - the future reports it
                        future.set_exception(error)
                    else:
                        future.set_result(result)
                del future, fn, args, kwargs
        finally:
            with cond:
                self._count -= 1
                self._threads.discard(me)
