"""Request admission for servers on the grpcio engine: what a call may hold
before a worker runs it.

grpcio's synchronous server hands each call to its thread pool as soon as its
headers are in, and the pool's thread then waits for the request message: a
client that sends headers and never a message holds a worker for as long as
its connection lives, and calls that wait for a worker are bounded by
nothing. :func:`server` builds, for the grpcio engine, a :class:`grpc.Server`
that admits calls in three steps instead:

1. On grpcio's serving thread, before any thread is taken: a call refused
   from its headers (a :func:`refusal` handler, such as the token check's) is
   answered there without its message being read; a call past the bound on
   calls held (``maximum_concurrent_rpcs``) is answered RESOURCE_EXHAUSTED.
2. On a thread of its own that is not one of the ``max_workers`` workers, the
   call waits for its message, for at most ``sorvane.request_wait_ms``; the
   message is then counted against ``sorvane.max_queued_bytes`` (past it the
   call ends with RESOURCE_EXHAUSTED and the message is dropped).
3. It waits, first come first served, for one of ``max_workers`` workers,
   and runs. Methods named in ``sorvane.priority_methods`` (health ``Check``)
   have a worker of their own and bypass both bounds.

A call whose target is a coroutine waits for it on an event loop: it gives its
worker back and, up to :data:`MAX_AWAITING` such calls, leaves the calls held
too (:func:`step_aside`). grpcio's synchronous server answers a call only when
the thread it handed the call to returns, so that thread stays with the call;
the call threads are started as calls come and end after a minute idle.

This relies on two things grpcio does, not on any of its private names: the
method handler's behaviour is among the arguments of the thread pool's
``submit``, and a request-streaming handler kind is run without grpcio
reading its message first. Where either stops holding, calls are served as
grpcio serves them. The native engine does all of this in C++ from the same
server options; there :func:`server` only passes them on. Memory that large
requests took goes back to the system after a burst (:mod:`sorvane.memory`).
"""
import atexit
import heapq
import itertools
import logging
import signal
import threading
import time
import weakref
from collections import deque
from concurrent import futures
from typing import Any, Callable, Deque, Dict, FrozenSet, Iterable, List, Mapping, Optional, \
    Sequence, Set, Tuple

import grpc

from sorvane import memory

__all__ = ["server", "server_for", "check_setting", "refusal", "step_aside", "Limits", "Server",
           "MAX_QUEUED_BYTES", "REQUEST_WAIT_MS", "PRIORITY_METHODS", "QUEUE_FULL", "BYTES_FULL",
           "REQUEST_LATE", "DEFAULT_MAX_QUEUED_CALLS", "DEFAULT_MAX_QUEUED_BYTES",
           "DEFAULT_REQUEST_WAIT", "MAX_AWAITING"]

log = logging.getLogger("sorvane.admission")

#: Server options (also read by the native engine).
MAX_QUEUED_BYTES = "sorvane.max_queued_bytes"
REQUEST_WAIT_MS = "sorvane.request_wait_ms"
PRIORITY_METHODS = "sorvane.priority_methods"

#: The details of calls refused by admission.
QUEUE_FULL = "sorvane: too many calls waiting for a worker"
BYTES_FULL = "sorvane: too many request bytes waiting for a worker"
REQUEST_LATE = "sorvane: the request message did not arrive in time"

# Calls of the priority methods held at once (they need no more: health
# checks are small and quick).
_PRIORITY_HELD = 8

#: Calls awaiting a coroutine target that one server keeps apart from the
#: calls it holds (each keeps one of grpcio's call threads).
MAX_AWAITING = 4096

# Seconds a call thread beyond the ones the workers need stays idle before it ends.
_IDLE_THREAD = 60.0


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


# ---- refusals ------------------------------------------------------------------


class _Refusal:
    """A behaviour that ends its call with `code` and `details` and reads nothing."""

    __slots__ = ("code", "details")

    def __init__(self, code: grpc.StatusCode, details: str) -> None:
        self.code = code
        self.details = details

    def __call__(self, request: Any, context: Any) -> None:
        context.abort(self.code, self.details)


def refusal(code: grpc.StatusCode, details: str) -> "grpc.RpcMethodHandler[Any, Any]":
    """A method handler that ends every call with `code` and `details`. On an
    admitting server it is answered on the serving thread, before the message
    is read; anywhere else it is an ordinary unary handler."""
    return grpc.unary_unary_rpc_method_handler(_Refusal(code, details))


# ---- workers -------------------------------------------------------------------


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


# ---- timers and memory -----------------------------------------------------------


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


# ---- the calls --------------------------------------------------------------------


class _Ticket:
    """What one admitted call holds: its place among the calls held, request
    bytes waiting for a worker, a worker."""

    __slots__ = ("gate", "priority", "bytes", "size", "worker", "awaiting")

    def __init__(self, gate: "_Gate", priority: bool) -> None:
        self.gate = gate
        self.priority = priority
        self.bytes = 0      # counted as waiting for a worker
        self.size = 0       # of its request message
        self.worker = False
        self.awaiting = False  # counted among the awaiting calls, not the held ones


_current = threading.local()


class _Sized:
    """A request deserializer that also notes the size of the message."""

    __slots__ = ("inner",)

    def __init__(self, inner: Optional[Callable[[bytes], Any]]) -> None:
        self.inner = inner

    def __call__(self, raw: bytes) -> Tuple[int, Any]:
        return len(raw), raw if self.inner is None else self.inner(raw)


class _Admitted:
    """The behaviour an admitting server runs for a unary-request method:
    waits for the message, counts it, waits for a worker, runs `behaviour`."""

    __slots__ = ("behaviour", "method", "priority", "streaming")

    def __init__(self, behaviour: Callable[..., Any], method: str, priority: bool,
                 streaming: bool = False) -> None:
        self.behaviour = behaviour
        self.method = method
        self.priority = priority
        self.streaming = streaming

    def __call__(self, requests: Any, context: Any) -> Any:
        ticket = getattr(_current, "ticket", None)  # None: run as grpcio runs calls
        request = self._receive(requests, context, ticket)
        if ticket is not None:
            ticket.gate.wait_for_worker(ticket, context)
        result = self.behaviour(request, context)
        if ticket is not None and self.streaming:
            return _Paced(result, ticket, context)
        return result

    def _receive(self, requests: Any, context: Any, ticket: Optional[_Ticket]) -> Any:
        wait = None if ticket is None else ticket.gate.limits.request_wait
        if ticket is not None and ticket.gate.bytes_full():
            context.abort(grpc.StatusCode.RESOURCE_EXHAUSTED, BYTES_FULL)  # not read at all
        timer = None if wait is None else _timer.after(wait, context.cancel)
        ended = None  # type: Optional[str]
        try:
            size, request = next(requests)
        except StopIteration:
            ended = "closed"
        except grpc.RpcError:  # the call ended while its message was awaited
            ended = "cancelled"
        # Past the wait, the call is (being) cancelled, whether the message came or not.
        late = timer is not None and not _timer.cancel(timer)
        if late:
            log.debug("%s: %s", self.method, REQUEST_LATE)
            context.abort(grpc.StatusCode.CANCELLED, REQUEST_LATE)
        if ended == "closed":
            context.abort(grpc.StatusCode.UNIMPLEMENTED,
                          '"%s" requires exactly one request message.' % self.method)
        if ended is not None:
            context.abort(grpc.StatusCode.CANCELLED, "cancelled")
        if ticket is not None and not ticket.gate.hold_bytes(ticket, size):
            del request
            context.abort(grpc.StatusCode.RESOURCE_EXHAUSTED, BYTES_FULL)
        return request


class _Paced:
    """A streaming handler's responses, advanced on a worker: the worker is
    given back while grpcio sends each message (and waits for the client to
    take it), and taken again for the next one."""

    __slots__ = ("_responses", "_ticket", "_context")

    def __init__(self, responses: Any, ticket: _Ticket, context: Any) -> None:
        self._responses = iter(responses)
        self._ticket = ticket
        self._context = context

    def __iter__(self) -> "_Paced":
        return self

    def __next__(self) -> Any:
        ticket = self._ticket
        if not ticket.worker:
            ticket.gate.wait_for_worker(ticket, self._context)
        try:
            return next(self._responses)
        finally:
            ticket.gate.release_worker(ticket)

    def close(self) -> None:
        close = getattr(self._responses, "close", None)
        if close is not None:
            close()


class _Gate:
    """One server's admission state, shared by its executor and behaviours."""

    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self._lock = threading.Lock()
        self.calls = 0       # admitted, not finished (priority methods apart)
        self.priority_calls = 0
        self.awaiting = 0    # calls that stepped aside (not among `calls`)
        self.bytes = 0       # request bytes waiting for a worker
        self._workers = _Slots(limits.workers)
        self._priority = _Slots(1)

    def admit(self, priority: bool) -> Optional[_Ticket]:
        """A ticket for a new call, or None when it is past the bound."""
        with self._lock:
            if priority:
                if self.priority_calls >= _PRIORITY_HELD:
                    return None
                self.priority_calls += 1
            else:
                if self.limits.max_calls is not None and self.calls >= self.limits.max_calls:
                    return None
                self.calls += 1
        return _Ticket(self, priority)

    def waiting(self) -> bool:
        """True while request bytes wait for a worker."""
        return self.bytes > 0

    def bytes_full(self) -> bool:
        limit = self.limits.max_bytes
        return limit is not None and self.bytes >= limit

    def hold_bytes(self, ticket: _Ticket, size: int) -> bool:
        ticket.size = size
        if ticket.priority:
            return True
        with self._lock:
            limit = self.limits.max_bytes
            if limit is not None and self.bytes + size > limit:
                return False
            self.bytes += size
            ticket.bytes = size
        return True

    def _let_go_bytes(self, ticket: _Ticket) -> None:
        size, ticket.bytes = ticket.bytes, 0
        if size:
            with self._lock:
                self.bytes -= size

    def wait_for_worker(self, ticket: _Ticket, context: Any) -> None:
        slots = self._priority if ticket.priority else self._workers
        if not slots.acquire(context):
            self._let_go_bytes(ticket)
            context.abort(grpc.StatusCode.CANCELLED, "cancelled")
        ticket.worker = True
        self._let_go_bytes(ticket)

    def finished(self, ticket: _Ticket) -> None:
        self._let_go_bytes(ticket)
        memory.request_done(ticket.size, self.waiting)
        if ticket.worker:
            ticket.worker = False
            (self._priority if ticket.priority else self._workers).release()
        with self._lock:
            if ticket.priority:
                self.priority_calls -= 1
            elif ticket.awaiting:
                ticket.awaiting = False
                self.awaiting -= 1
            else:
                self.calls -= 1

    def release_worker(self, ticket: _Ticket) -> None:
        if ticket.worker:
            ticket.worker = False
            (self._priority if ticket.priority else self._workers).release()

    def step_aside(self, ticket: _Ticket) -> None:
        self.release_worker(ticket)
        if ticket.priority or ticket.awaiting:
            return
        with self._lock:
            if self.awaiting < MAX_AWAITING:
                self.awaiting += 1
                self.calls -= 1
                ticket.awaiting = True


def step_aside() -> None:
    """The call on this thread now waits for work done elsewhere (a coroutine
    target on an event loop): its worker slot goes to the next call waiting
    for one, and while fewer than :data:`MAX_AWAITING` calls wait so, its
    place among the calls the server holds goes to the next call too."""
    ticket = getattr(_current, "ticket", None)
    if ticket is not None:
        ticket.gate.step_aside(ticket)


def _ours(args: Tuple[Any, ...]) -> Any:
    """The admitting behaviour or refusal among a submitted job's arguments."""
    for value in args:
        if type(value) is _Admitted or type(value) is _Refusal:
            return value
    return None


def _here(fn: Callable[..., Any], args: Tuple[Any, ...],
          kwargs: Dict[str, Any]) -> "futures.Future[Any]":
    """Runs a job on the calling thread (grpcio's serving thread)."""
    future = futures.Future()  # type: futures.Future[Any]
    try:
        future.set_result(fn(*args, **kwargs))
    except BaseException as e:  # grpcio's job catches its own; report anything else
        future.set_exception(e)
    return future


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


class _Executor(futures.Executor):
    """The thread pool grpcio is given: sees each call as it is handed over,
    and gives every admitted call a thread at once (the call waits for its
    message there, then for a worker, not in a queue of this pool)."""

    def __init__(self, gate: _Gate) -> None:
        self._gate = gate
        self._threads = _Threads(gate.limits.workers + 1)
        # Threads end with the server that no longer needs them.
        weakref.finalize(self, self._threads.close)
        self._other = None  # type: Optional[futures.ThreadPoolExecutor]

    def submit(self, fn: Callable[..., Any], *args: Any,  # type: ignore[override]
               **kwargs: Any) -> "futures.Future[Any]":
        behaviour = _ours(args)
        if type(behaviour) is _Refusal:
            # Reads nothing and waits for nothing: answered on the serving thread.
            return _here(fn, args, kwargs)
        if behaviour is None:  # a handler not made here (request-streaming)
            if self._other is None:
                self._other = futures.ThreadPoolExecutor(
                    self._gate.limits.workers, initializer=_leave_signals_to_the_main_thread)
            return self._other.submit(fn, *args, **kwargs)
        ticket = self._gate.admit(behaviour.priority)
        if ticket is None:
            full = _Refusal(grpc.StatusCode.RESOURCE_EXHAUSTED, QUEUE_FULL)
            return _here(fn, tuple(full if a is behaviour else a for a in args), kwargs)
        try:
            return self._threads.submit(_run, (ticket, fn, args, kwargs), {})
        except BaseException:
            self._gate.finished(ticket)
            raise

    def shutdown(self, wait: bool = True, **kwargs: Any) -> None:
        if self._other is not None:
            self._other.shutdown(wait)
        self._threads.close(wait)


def _run(ticket: _Ticket, fn: Callable[..., Any], args: Tuple[Any, ...],
         kwargs: Dict[str, Any]) -> Any:
    _current.ticket = ticket
    try:
        return fn(*args, **kwargs)
    finally:
        _current.ticket = None
        ticket.gate.finished(ticket)


# ---- handlers ---------------------------------------------------------------------


def _convert(handler: Any, method: str, priority: bool) -> Any:
    """`handler` as the request-streaming kind an admitting server runs."""
    if handler is None or handler.request_streaming:
        return handler
    if not handler.response_streaming:
        behaviour = handler.unary_unary
        if type(behaviour) is _Refusal:
            return grpc.stream_unary_rpc_method_handler(
                behaviour, response_serializer=handler.response_serializer)
        return grpc.stream_unary_rpc_method_handler(
            _Admitted(behaviour, method, priority), _Sized(handler.request_deserializer),
            handler.response_serializer)
    return grpc.stream_stream_rpc_method_handler(
        _Admitted(handler.unary_stream, method, priority, streaming=True),
        _Sized(handler.request_deserializer), handler.response_serializer)


class _Admitting(grpc.GenericRpcHandler):
    """A generic handler whose handlers are converted for admission."""

    def __init__(self, inner: Any, gate: _Gate) -> None:
        self._inner = inner
        self._gate = gate
        self._lock = threading.Lock()
        self._converted = {}  # type: Dict[Tuple[str, int], Tuple[Any, Any]]

    def service(self, handler_call_details: Any) -> Any:
        handler = self._inner.service(handler_call_details)
        if handler is None:
            return None
        method = handler_call_details.method
        key = (method, id(handler))
        with self._lock:
            known = self._converted.get(key)
            if known is not None and known[0] is handler:
                return known[1]
        converted = _convert(handler, method, method in self._gate.limits.priority)
        with self._lock:
            if len(self._converted) >= 512:  # a handler made per call: keep none
                self._converted.clear()
            self._converted[key] = (handler, converted)
        return converted

    def __repr__(self) -> str:
        return "<admission for %r>" % (self._inner,)


class Server(grpc.Server):
    """A grpcio server that admits calls as the module describes."""

    def __init__(self, limits: Limits, options: Sequence[Tuple[str, Any]]) -> None:
        self._gate = _Gate(limits)
        self._executor = _Executor(self._gate)
        ours = [o for o in options if isinstance(o[0], str) and o[0].startswith("sorvane.")]
        grpc_options = [o for o in options if o not in ours]
        self._server = grpc.server(self._executor,  # type: ignore[arg-type]  # an Executor
                                   options=grpc_options)
        self.max_workers = limits.workers

    @property
    def limits(self) -> Limits:
        return self._gate.limits

    def add_generic_rpc_handlers(self, generic_rpc_handlers: Iterable[Any]) -> None:
        handlers = tuple(generic_rpc_handlers)
        for handler in handlers:
            if not callable(getattr(handler, "service", None)):
                raise AttributeError('"%s" must conform to grpc.GenericRpcHandler type but does '
                                     'not have "service" method!' % (handler,))
        self._server.add_generic_rpc_handlers(tuple(_Admitting(h, self._gate) for h in handlers))

    def add_registered_method_handlers(self, service_name: str,
                                       method_handlers: Mapping[str, Any]) -> None:
        priority = self._gate.limits.priority
        converted = {}
        for name, handler in method_handlers.items():
            method = "/%s/%s" % (service_name, name)
            converted[name] = _convert(handler, method, method in priority)
        self._server.add_registered_method_handlers(service_name, converted)

    def add_insecure_port(self, address: str) -> int:
        return self._server.add_insecure_port(address)

    def add_secure_port(self, address: str, server_credentials: Any) -> int:
        return self._server.add_secure_port(address, server_credentials)

    def start(self) -> None:
        self._server.start()

    def stop(self, grace: Optional[float]) -> threading.Event:
        return self._server.stop(grace)

    def wait_for_termination(self, timeout: Optional[float] = None) -> bool:
        return self._server.wait_for_termination(timeout)

    def __repr__(self) -> str:
        return "<sorvane admitting %r>" % (self._server,)


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


def server_for(grpc_server: Any, transport: Any, thread_pool: Any,
               options: Sequence[Tuple[str, Any]]) -> Any:
    """The gRPC server ``GrpcServer.run_background`` starts for `grpc_server`:
    `options` plus its admission settings (``max_queued_calls``,
    ``max_queued_bytes``, ``request_wait``: instance attributes when given,
    the defaults above otherwise), with health ``Check`` as a priority
    method, on `transport`."""
    from sorvane.ops import CHECK_METHOD

    own = getattr(grpc_server, "__dict__", {})

    def setting(name: str, default: Any) -> Any:
        value = own.get(name)
        return default if value is None else check_setting(name, value)

    queued = setting("max_queued_calls", DEFAULT_MAX_QUEUED_CALLS)
    queued_bytes = setting("max_queued_bytes", DEFAULT_MAX_QUEUED_BYTES)
    wait = setting("request_wait", DEFAULT_REQUEST_WAIT)
    workers = getattr(thread_pool, "_max_workers", None) or 10
    memory.set_up()
    options = list(options) + [(MAX_QUEUED_BYTES, queued_bytes),
                               (REQUEST_WAIT_MS, max(1, int(round(wait * 1000)))),
                               (PRIORITY_METHODS, CHECK_METHOD)]
    return server(transport, thread_pool, options, workers + queued)


def server(transport: Any, thread_pool: Any, options: Sequence[Tuple[str, Any]],
           maximum_concurrent_rpcs: Optional[int] = None) -> Any:
    """A server on `transport` (grpc, or an engine with grpc's ``server``) with
    ``max_workers`` of `thread_pool` workers, the server `options` (grpc's and
    the ``sorvane.*`` ones above) and at most `maximum_concurrent_rpcs` calls
    held. On grpcio, an admitting :class:`Server` (the pool's threads are not
    used); elsewhere, ``transport.server(...)`` with them as they are."""
    options = list(options)
    if transport is grpc:
        workers = getattr(thread_pool, "_max_workers", None) or 10
        return Server(Limits.from_options(workers, options, maximum_concurrent_rpcs), options)
    return transport.server(thread_pool, options=options,
                            maximum_concurrent_rpcs=maximum_concurrent_rpcs)
