"""The threads an admitting server runs calls on: one per call at once,
started as calls come (by a thread of their own, so that the thread handing
a call over never waits for one to start) and ended once idle, and finished
with the jobs they hold when the interpreter ends."""
import atexit
import logging
import signal
import threading
import weakref
from collections import deque
from concurrent import futures
from typing import Any, Callable, Deque, Dict, Optional, Set, Tuple

log = logging.getLogger("sorvane.admission")

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
        lock = threading.Lock()
        self._cond = threading.Condition(lock)
        self._jobs = deque()  # type: Deque[_Job]
        self._keep = keep
        self._idle_time = idle
        self._count = 0   # threads alive or asked for
        self._idle = 0    # of them, waiting for a job
        self._starting = 0  # of them, asked for and not yet running
        self._to_start = 0  # of those, not yet started by the starter
        self._wanted = threading.Condition(lock)  # the starter waits on it
        self._starter = None  # type: Optional[threading.Thread]
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
            if self._idle:
                self._cond.notify()
            if self._idle + self._starting >= len(self._jobs):
                return future
            # A thread more, started by the starter: Thread.start() waits for
            # the new thread to run, and the caller (grpcio's serving thread,
            # which every call passes through) should not wait with it.
            self._count += 1
            self._starting += 1
            self._to_start += 1
            if self._starter is not None:
                self._wanted.notify()
                return future
            starter = self._starter = threading.Thread(
                target=self._start_threads, name="sorvane-call-starter", daemon=True)
        try:
            starter.start()
        except BaseException:  # no thread to be had: the job is refused, as before
            with self._cond:
                self._starter = None
                self._count -= 1
                self._starting -= 1
                self._to_start -= 1
                try:
                    self._jobs.remove((future, fn, args, kwargs))
                except ValueError:  # an idle thread took it meanwhile
                    return future
            raise
        return future

    def _start_threads(self) -> None:
        """The starter: starts the threads submit asks for, and keeps trying
        while the system refuses (queued jobs wait meanwhile, and threads
        that finish theirs take them)."""
        _leave_signals_to_the_main_thread()
        refused = 0
        while True:
            with self._cond:
                while not self._to_start:
                    if self._closed:
                        return
                    self._wanted.wait()
                self._to_start -= 1
                thread = threading.Thread(target=self._work, name="sorvane-call", daemon=True)
                self._threads.add(thread)  # close(wait=True) waits for it too
            try:
                thread.start()
                refused = 0
            except Exception as error:  # no thread to be had (a limit, no memory)
                with self._cond:
                    self._threads.discard(thread)
                    if self._closed:  # the process is ending: give up
                        self._count -= 1
                        self._starting -= 1
                        continue
                    self._to_start += 1
                    if not refused:
                        log.warning("cannot start a call thread (%s); retrying", error)
                    refused += 1
                    self._wanted.wait(min(1.0, 0.01 * refused))

    def close(self, wait: bool = False) -> None:
        with self._cond:
            self._closed = True
            self._cond.notify_all()
            self._wanted.notify_all()
            starter = self._starter
        if wait and starter is not None and starter is not threading.current_thread():
            starter.join()  # the threads the queued jobs wait for are started first
        with self._cond:
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
            self._starting -= 1
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
