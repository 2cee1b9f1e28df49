"""asyncio with sorvane: coroutine targets on the server, awaitable calls on
the client.

Server. A target that is a coroutine function (or returns anything
awaitable) is awaited on an event loop, and its result or exception is
reported exactly as a plain target's. The loop is the one a server was
started on with :func:`serve` (``await aio.serve(server)``), else one loop of
the process on a thread of its own ("sorvane-asyncio"), started with the
first such call. An awaiting call holds no worker thread: the native
engine answers it when the coroutine ends. On the grpcio engine the call's
own thread waits for it, holding no worker slot (``max_workers``) and, up to
``admission.MAX_AWAITING`` such calls, not counted among the calls the
server holds (``max_queued_calls`` beyond the workers). The target sees the call's deadline through
:func:`sorvane.deadline.time_left`; when the call ends early (the client
cancelled, the deadline passed) its task is cancelled.

Client. :func:`call_rpc` and :func:`call_rpc_result` are the awaitable forms
of ``GrpcHelper.call_rpc`` and ``GrpcHelper.call_rpc_result``;
:func:`connect` gives the registry's stub for a server in awaitable form; a
stand-in written ``async def`` and decorated with ``grpc_service`` is a
coroutine function making the remote call. They use the same channels as the
blocking forms; no thread waits for a call: its completion wakes the loop.
Cancelling the awaiting task cancels the call.
"""
import asyncio
import collections
import contextvars
import functools
import os
import socket
import threading
import weakref
from concurrent import futures
from typing import Any, Awaitable, Callable, Deque, Dict, Iterable, List, Mapping, \
    Optional, Sequence, Tuple, TypeVar, Union

import grpc

from sorvane import admission, codec, deadline as _deadline

__all__ = ["serve", "connect", "call_rpc", "call_rpc_result", "call_stream", "AsyncStub"]

_T = TypeVar("_T")

# ---- where coroutine targets run --------------------------------------------------

_lock = threading.Lock()
_background = None  # type: Optional[asyncio.AbstractEventLoop]

# The attribute of a CommonService naming the loop its coroutine targets run
# on while serve() runs.
_LOOP_ATTRIBUTE = "_sorvane_loop"


def _run_background(loop: asyncio.AbstractEventLoop, ready: threading.Event) -> None:
    asyncio.set_event_loop(loop)
    loop.call_soon(ready.set)
    loop.run_forever()


def _background_loop() -> asyncio.AbstractEventLoop:
    """The process's own loop for coroutine targets, started on first use."""
    global _background
    loop = _background
    if loop is not None and not loop.is_closed():
        return loop
    with _lock:
        if _background is None or _background.is_closed():
            loop = asyncio.new_event_loop()
            ready = threading.Event()
            thread = threading.Thread(target=_run_background, args=(loop, ready),
                                      name="sorvane-asyncio", daemon=True)
            thread.start()
            ready.wait()
            _background = loop
        return _background


def _forget_background() -> None:
    # A forked child has the loop object but not its thread, and locks that
    # a thread of the parent may have held.
    global _background, _lock, _inboxes_lock
    _background = None
    _lock = threading.Lock()
    _inboxes_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_background)


def _loop_for(service: Any) -> asyncio.AbstractEventLoop:
    own = getattr(service, "__dict__", None)
    loop = own.get(_LOOP_ATTRIBUTE) if own else None
    if loop is not None and not loop.is_closed():
        return loop
    return _background_loop()


# ---- handing work to a loop from other threads ------------------------------------


class _Inbox:
    """Work handed to one event loop from other threads: whatever arrives
    before the loop gets to it costs one wake-up, not one each."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._lock = threading.Lock()
        self._items = []  # type: List[Tuple[Callable[..., Any], Tuple[Any, ...]]]

    def put(self, fn: Callable[..., Any], *args: Any) -> None:
        """Runs fn(*args) on the loop soon; RuntimeError once it is closed."""
        with self._lock:
            first = not self._items
            self._items.append((fn, args))
        if first:
            try:
                self._loop.call_soon_threadsafe(self._drain)
            except BaseException:
                with self._lock:
                    self._items.clear()
                raise

    def _drain(self) -> None:
        with self._lock:
            items, self._items = self._items, []
        for fn, args in items:
            try:
                fn(*args)
            except Exception as error:  # noqa: BLE001 - one item's failure stops no other
                self._loop.call_exception_handler(
                    {"message": "sorvane: work handed to the loop failed", "exception": error})


_inboxes = weakref.WeakKeyDictionary()  # type: weakref.WeakKeyDictionary[Any, _Inbox]
_inboxes_lock = threading.Lock()


def _inbox(loop: asyncio.AbstractEventLoop) -> _Inbox:
    inbox = _inboxes.get(loop)
    if inbox is None:
        with _inboxes_lock:
            inbox = _inboxes.get(loop)
            if inbox is None:
                inbox = _inboxes[loop] = _Inbox(loop)
    return inbox


# ---- coroutine targets ---------------------------------------------------------------


async def _settle(awaitable: Awaitable[Any], finish: Callable[[bool, Any], Any],
                  at: Optional[float]) -> Any:
    if at is not None:
        _deadline._deadline.set(at)  # in this task's own context
    try:
        result = await awaitable
    except asyncio.CancelledError as error:
        # The call ended early: it is recorded, and its task ends cancelled.
        try:
            finish(False, error)
        except BaseException:  # noqa: BLE001 - the cancellation is what counts
            pass
        raise
    except BaseException as error:  # noqa: BLE001 - reported as handle reports it
        return finish(False, error)
    return finish(True, result)


def _serve(awaitable: Awaitable[Any], finish: Callable[[bool, Any], Any], context: Any,
           service: Any, at: Optional[float]) -> Any:
    """What the dispatcher does with a target's awaitable result: `finish`
    ends the call with its outcome, on the service's loop. Returns a
    concurrent.futures.Future of the CommonResponse to an engine that takes
    one (its context says so), else waits for it here."""
    loop = _loop_for(service)
    future = futures.Future()  # type: futures.Future[Any]
    _inbox(loop).put(_start, loop, _settle(awaitable, finish, at), future)
    if context is not None:
        try:
            # The call ends early (cancelled, past its deadline): so does the task.
            if not context.add_callback(future.cancel):
                future.cancel()  # it has ended already
        except Exception:
            future.cancel()
            raise
        if getattr(context, "_sorvane_defers", False):
            return future
    admission.step_aside()
    return future.result()


def _start(loop: asyncio.AbstractEventLoop, coro: Any, future: "futures.Future[Any]") -> None:
    """On the loop: runs `coro` as a task whose outcome `future` gets; the
    task is cancelled when the future is."""
    if future.cancelled():
        coro.close()
        return
    # The task's context starts empty: whatever the thread that woke the
    # loop had set is not the call's.
    task = contextvars.Context().run(loop.create_task, coro)
    task.add_done_callback(functools.partial(_task_done, future))
    future.add_done_callback(functools.partial(_future_done, loop, task))


def _task_done(future: "futures.Future[Any]", task: "asyncio.Future[Any]") -> None:
    if task.cancelled():
        future.cancel()
        return
    if not future.set_running_or_notify_cancel():
        return  # cancelled meanwhile
    error = task.exception()
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(task.result())


def _future_done(loop: asyncio.AbstractEventLoop, task: "asyncio.Future[Any]",
                 future: "futures.Future[Any]") -> None:
    if future.cancelled() and not task.done():
        try:
            _inbox(loop).put(task.cancel)
        except RuntimeError:  # the loop is closed: so is the task
            pass


async def serve(server: Any, grace: Optional[float] = None) -> None:
    """Starts `server` (a GrpcServer) on the running loop and serves until
    the server stops or this coroutine is cancelled (the server is then
    stopped with `grace` seconds for the calls in flight). Coroutine targets
    run on this loop meanwhile."""
    loop = asyncio.get_running_loop()
    service = server.service
    service.__dict__[_LOOP_ATTRIBUTE] = loop
    try:
        await loop.run_in_executor(None, server.run_background)
        rpc_server = server.rpc_server
        try:
            await loop.run_in_executor(None, rpc_server.wait_for_termination)
        except asyncio.CancelledError:
            stopped = rpc_server.stop(grace)
            await asyncio.shield(loop.run_in_executor(None, stopped.wait))
            raise
    finally:
        if service.__dict__.get(_LOOP_ATTRIBUTE) is loop:
            del service.__dict__[_LOOP_ATTRIBUTE]


# ---- awaitable calls ----------------------------------------------------------------


def _settle_waiter(waiter: "asyncio.Future[Any]", call: Any) -> None:
    if not waiter.done():
        waiter.set_result(call)


def _wake(loop: asyncio.AbstractEventLoop, waiter: "asyncio.Future[Any]", call: Any) -> None:
    try:
        _inbox(loop).put(_settle_waiter, waiter, call)
    except RuntimeError:  # the loop closed meanwhile: nobody waits any more
        pass


class _Wakeups:
    """The native engine's wake-up for one loop: a socket pair whose one end
    the engine writes to when calls end, and the loop reads."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        from sorvane import _native  # type: ignore[attr-defined]  # an extension without stubs
        # The standard library's selector loops watch what the engine lends
        # them (a call's socket while its reply is due) by its number.
        self.lends = isinstance(loop, asyncio.selector_events.BaseSelectorEventLoop)
        # The descriptor the loop's selector waits on (see _idle), which a
        # loop keeps for its life; None where it has none to give.
        try:
            self.selector_fd = loop._selector.fileno()  # type: Optional[int]  # type: ignore[attr-defined]
        except (AttributeError, OSError, ValueError):
            self.selector_fd = None
        self._reader, self._writer = socket.socketpair()
        try:
            self._reader.setblocking(False)
            self._writer.setblocking(False)
            self.waker = _native.Waker(self._writer)
            loop.add_reader(self._reader.fileno(), self._woken)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        waker = getattr(self, "waker", None)
        if waker is not None:
            waker.close()  # nothing writes to the socket from now on
        self._reader.close()
        self._writer.close()

    def __del__(self) -> None:  # the loop is gone
        self.close()

    def _woken(self) -> None:
        try:
            self._reader.recv(4096)
        except (BlockingIOError, InterruptedError):
            pass
        for waiter in self.waker.drain():
            if not waiter.done():
                waiter.set_result(None)


_wakeups = weakref.WeakKeyDictionary()  # type: weakref.WeakKeyDictionary[Any, Optional[_Wakeups]]


# The last loop _wakeups_of was asked about, and its answer: most programs
# run one loop.
_last_loop = None  # type: Optional[weakref.ReferenceType[Any]]
_last_wakeups = None  # type: Optional[_Wakeups]


def _wakeups_of(loop: asyncio.AbstractEventLoop) -> Optional[_Wakeups]:
    """The loop's wake-up; None where the loop cannot watch a socket
    (Windows' proactor loop): calls then complete through the completion
    threads."""
    global _last_loop, _last_wakeups
    last = _last_loop
    if last is not None and last() is loop:
        return _last_wakeups
    try:
        wakeups = _wakeups[loop]
    except KeyError:
        try:
            wakeups = _Wakeups(loop)
        except (NotImplementedError, OSError):
            wakeups = None
        _wakeups[loop] = wakeups
    _last_loop, _last_wakeups = weakref.ref(loop, _forget_last), wakeups
    return wakeups


def _forget_last(gone: "weakref.ReferenceType[Any]") -> None:
    """The last loop asked about is gone: its wake-up goes with it."""
    global _last_loop, _last_wakeups
    if _last_loop is gone:
        _last_loop = _last_wakeups = None


def _waker(loop: asyncio.AbstractEventLoop) -> Any:
    """The loop's Waker, or None (see _wakeups_of)."""
    wakeups = _wakeups_of(loop)
    return None if wakeups is None else wakeups.waker


# How long a loop with nothing else to do waits for a lent call's reply on
# its socket itself, rather than in its selector.
_IDLE_WAIT = 0.005


def _idle(loop: asyncio.AbstractEventLoop, wakeups: _Wakeups) -> float:
    """Seconds (up to _IDLE_WAIT) for which the loop has no callback ready
    and no timer due, from the standard library loop's own bookkeeping; 0
    when it has something to do or cannot tell. Waiting on the lent socket
    and the loop's selector together (wakeups.selector_fd) for that long is
    then what the loop's next select would do, less a round through it:
    anything else that comes (I/O, a call from another thread, a signal)
    ends the wait at once."""
    if wakeups.selector_fd is None:
        return 0.0
    try:
        if loop._ready:  # type: ignore[attr-defined]
            return 0.0
        scheduled = loop._scheduled  # type: ignore[attr-defined]
    except AttributeError:
        return 0.0
    if scheduled:
        return max(0.0, min(_IDLE_WAIT, scheduled[0].when() - loop.time()))
    return _IDLE_WAIT


def _lent_readable(loop: asyncio.AbstractEventLoop, lent: List[int], call: Any,
                   waiter: "asyncio.Future[Any]") -> None:
    """The socket lent for a call's reply has bytes: they are read here, which
    ends the call when its reply is all there (else the wake-up brings it)."""
    loop.remove_reader(lent[0])  # before the handle closes
    lent[0] = -1
    if call._give_back(True) and not waiter.done():
        waiter.set_result(None)


def _read_here(loop: asyncio.AbstractEventLoop, wakeups: Optional[_Wakeups], call: Any) -> Any:
    """For the engine's `call` alone on its connection: True when its reply
    came while the loop had nothing else to do and the call ended here;
    else the socket number the loop is to watch for it (None: the wake-up
    brings it). The connection's socket is lent to this loop for the call's
    reply, which is then read on the loop's thread, not handed over by the
    engine's."""
    if wakeups is None or not wakeups.lends or not call._lend():
        return None
    wait = _idle(loop, wakeups)
    if wait > 0 and call._wait_lent(wakeups.selector_fd, wait):
        call._give_back()
        return True
    handle_no = call._lent_handle()
    if handle_no < 0:  # the loan ended: the wake-up brings the reply,
        return True if call._give_back() else None  # unless it ended as what came was read
    return handle_no


_UNASKED = object()


async def _ended(loop: asyncio.AbstractEventLoop, wakeups: Optional[_Wakeups], call: Any,
                 waiter: "asyncio.Future[Any]", watch: Any = _UNASKED) -> None:
    """Returns once the engine's `call`, started with `waiter` as its item,
    has ended; the call is cancelled when the awaiting task is. `watch`: what
    _read_here said, when it was asked."""
    if watch is _UNASKED:
        watch = _read_here(loop, wakeups, call)
    if watch is True:
        return
    lent = None  # type: Optional[List[int]]
    if watch is not None:
        lent = [watch]
        try:
            loop.add_reader(watch, _lent_readable, loop, lent, call, waiter)
        except BaseException:
            call._give_back()
            raise
    try:
        await waiter
    except asyncio.CancelledError:
        call.cancel()
        raise
    finally:
        if lent is not None and lent[0] >= 0:
            loop.remove_reader(lent[0])  # before the handle closes
            call._give_back()


def _wake_for(loop: asyncio.AbstractEventLoop, wakeups: Optional[_Wakeups],
              waiter: "asyncio.Future[Any]") -> Any:
    """What the engine is to wake when a call ends: the loop's Waker, else a
    callable run on a completion thread."""
    return functools.partial(_wake, loop, waiter, None) if wakeups is None else wakeups.waker


async def _unary(handle: Any, request: Any, kwargs: Dict[str, Any]) -> Any:
    """The response of `handle` (a unary-unary callable) for `request`,
    awaited; the call is cancelled when the awaiting task is."""
    start = getattr(handle, "_sorvane_start", None)
    future = getattr(handle, "future", None)
    if start is None and future is None:  # a plain handle: its answer as it comes
        answer = handle(request, **kwargs)
        return (await answer) if asyncio.iscoroutine(answer) or isinstance(
            answer, asyncio.Future) else answer
    loop = asyncio.get_running_loop()
    waiter = loop.create_future()
    if start is not None:  # the native engine's: no future object in between
        wakeups = _wakeups_of(loop)
        call = start(_wake_for(loop, wakeups, waiter), waiter, request, **kwargs)
        await _ended(loop, wakeups, call, waiter)
        return handle._sorvane_outcome(call)
    call = future(request, **kwargs)
    call.add_done_callback(functools.partial(_wake, loop, waiter))
    try:
        await waiter
    except asyncio.CancelledError:
        call.cancel()
        raise
    return call.result()


class AsyncStub:
    """A stub's ``handle`` in awaitable form, on the stub's own channel."""

    def __init__(self, stub: Any) -> None:
        self._stub = stub
        self._handle = stub.handle
        own = getattr(stub, "__dict__", {})
        for setting in ("_sorvane_timeout", "_sorvane_serialize", "_sorvane_wait_for_ready",
                        "_sorvane_channel"):
            if own.get(setting) is not None:
                setattr(self, setting, own[setting])
        if own.get("_sorvane_retrying") is not None:
            self._sorvane_retrying = self._retrying

    def _retrying(self) -> "AsyncStub":
        """The awaitable form of the entry's stub for idempotent calls."""
        return AsyncStub(self._stub._sorvane_retrying())

    def handle(self, request: Any, timeout: Optional[float] = None, metadata: Any = None,
               **kwargs: Any) -> Awaitable[Any]:
        """The CommonResponse of the call, awaitable."""
        if timeout is not None:
            kwargs["timeout"] = timeout
        if metadata is not None:
            kwargs["metadata"] = metadata
        return _unary(self._handle, request, kwargs)


def _async_stub(rpc_client: Any) -> Any:
    if isinstance(rpc_client, AsyncStub):
        return rpc_client
    # A stub's settings are set once, as the registry makes it: its
    # awaitable form is made once too, and kept with it.
    own = getattr(rpc_client, "__dict__", None)
    stub = None if own is None else own.get("_sorvane_async")
    if stub is None or stub._stub is not rpc_client or stub._handle is not own.get(
            "handle", stub._handle):
        stub = AsyncStub(rpc_client)
        if own is not None:
            own["_sorvane_async"] = stub
    return stub


def connect(server: Any) -> Optional[AsyncStub]:
    """The registry's stub for `server` (``grpc_client.connect``), in
    awaitable form; None when the registry does not know it."""
    from sorvane.corvex import grpc_client
    stub = grpc_client.connect(server)
    return None if stub is None else AsyncStub(stub)


def _helper(cls: Any) -> Any:
    if cls is None:
        from sorvane.corvex import GrpcHelper
        return GrpcHelper
    return cls


def _started(helper: Any, rpc_client: Any, clazz: str, method: str, args: Any, kwargs: Any,
             request_id: Optional[str], serialize: int, timeout: Optional[float],
             idempotent: bool, wait_for_ready: Optional[bool]) -> Tuple[Any, int]:
    """The awaitable of `helper`'s call_rpc on the stub's awaitable form, and
    the code the call was sent in."""
    stub = _async_stub(rpc_client)
    if serialize is codec.DEFAULT:
        serialize = getattr(stub, "_sorvane_serialize", codec.JSON)
    # The marks go to call_rpc only when set: a GrpcHelper subclass written
    # without them keeps working.
    if not idempotent and wait_for_ready is None:
        return helper.call_rpc(stub, clazz, method, args, kwargs, request_id, serialize,
                               timeout=timeout), serialize
    marks = {}  # type: Dict[str, Any]
    if idempotent:
        marks["idempotent"] = True
    if wait_for_ready is not None:
        marks["wait_for_ready"] = wait_for_ready
    return helper.call_rpc(stub, clazz, method, args, kwargs, request_id,
                           serialize, timeout=timeout, **marks), serialize


async def call_rpc(rpc_client: Any, clazz: str, method: str,
                   args: Optional[Sequence[Any]] = None,
                   kwargs: Union[Mapping[str, Any], Iterable[Tuple[str, Any]], None] = None,
                   request_id: Optional[str] = None, serialize: int = codec.DEFAULT, *,
                   timeout: Optional[float] = None, idempotent: bool = False,
                   wait_for_ready: Optional[bool] = None, _cls: Any = None) -> Any:
    """``GrpcHelper.call_rpc``, awaitable: the CommonResponse of the call.
    `rpc_client` is a stub (or an :class:`AsyncStub`)."""
    pending, serialize = _started(_helper(_cls), rpc_client, clazz, method, args, kwargs,
                                  request_id, serialize, timeout, idempotent, wait_for_ready)
    try:
        return await pending
    except grpc.RpcError as error:
        if serialize == codec.CBOR:
            codec._check_reply(error, serialize)
        raise


_corvex = None  # type: Any


async def call_rpc_result(rpc_client: Any, clazz: str, method: str,
                          args: Optional[Sequence[Any]] = None,
                          kwargs: Union[Mapping[str, Any], Iterable[Tuple[str, Any]], None] = None,
                          request_id: Optional[str] = None, *, timeout: Optional[float] = None,
                          serialize: int = codec.DEFAULT, idempotent: bool = False,
                          wait_for_ready: Optional[bool] = None, _cls: Any = None) -> Any:
    """``GrpcHelper.call_rpc_result``, awaitable: the target's result, or its
    exception raised as GrpcException."""
    global _corvex
    if _corvex is None:
        from sorvane import corvex
        _corvex = corvex
    helper = _corvex.GrpcHelper if _cls is None else _cls
    stub = rpc_client._stub if isinstance(rpc_client, AsyncStub) else rpc_client
    loop = asyncio.get_running_loop()
    wakeups = _wakeups_of(loop)
    waiter = loop.create_future()
    # GrpcHelper's own call_rpc on the native engine's channel: the request's
    # bytes written and the reply's read directly (the blocking call's wire
    # path), the call started here and awaited.
    started = _corvex._start_wire(
        helper, stub, clazz, method, args, kwargs, request_id, serialize, timeout, idempotent,
        wait_for_ready,
        functools.partial(_wake, loop, waiter, None) if wakeups is None else wakeups.waker, waiter)
    try:
        if started is not None:
            handle, call = started
            watch = _read_here(loop, wakeups, call)
            if watch is not True:
                await _ended(loop, wakeups, call, waiter, watch)
            return _corvex._wire_result(handle, call)
        pending, serialize = _started(helper, rpc_client, clazz, method, args, kwargs,
                                      request_id, serialize, timeout, idempotent, wait_for_ready)
        response = await pending
    except grpc.RpcError as error:
        if serialize is codec.DEFAULT:
            serialize = getattr(stub, "_sorvane_serialize", codec.JSON)
        if serialize == codec.CBOR:
            codec._check_reply(error, serialize)
        raise
    return _corvex._result_of(response)


def _coroutine_function(wrapper: Callable[..., Awaitable[_T]],
                        func: Callable[..., Any]) -> Callable[..., Awaitable[_T]]:
    """`wrapper` (whose calls return an awaitable) as a coroutine function
    standing in for `func`."""

    @functools.wraps(func)
    async def remote(*args: Any, **kwargs: Any) -> _T:
        return await wrapper(*args, **kwargs)

    return remote


# ---- streamed calls -----------------------------------------------------------------


class _Feed:
    """A streamed call's results read on a thread of their own, at most
    `ahead` items before the consumer takes them (the call is paced by the
    consumer beyond that), and handed to the loop as they come: a waiting
    consumer is woken once for whatever has arrived meanwhile."""

    def __init__(self, results: Any, loop: asyncio.AbstractEventLoop, ahead: int) -> None:
        self.results = results
        self.loop = loop
        self.items = collections.deque()  # type: Deque[Any]
        self.end = None  # type: Optional[BaseException]  # StopAsyncIteration, or the failure
        self.waiter = None  # type: Optional[asyncio.Future[None]]
        self.lock = threading.Lock()
        self.room = threading.Semaphore(ahead)
        self.closed = False

    def read(self) -> None:  # the feed's thread
        end = None  # type: Optional[BaseException]
        try:
            while True:
                self.room.acquire()
                if self.closed:
                    return
                item = next(self.results)
                with self.lock:
                    self.items.append(item)
                    del item
                    waiter, self.waiter = self.waiter, None
                if waiter is not None:
                    self._wake(waiter)
        except StopIteration:
            end = StopAsyncIteration()
        except BaseException as error:  # noqa: BLE001 - the consumer raises it
            end = error
        with self.lock:
            self.end = end
            waiter, self.waiter = self.waiter, None
        del end
        if waiter is not None:
            self._wake(waiter)

    def _wake(self, waiter: "asyncio.Future[None]") -> None:
        try:
            self.loop.call_soon_threadsafe(_settle_waiter_done, waiter)
        except RuntimeError:  # the loop closed: nobody waits any more
            pass

    def close(self) -> None:
        """Cancels the call unless it has ended; the thread then ends."""
        self.closed = True
        self.results.close()
        self.room.release()


def _settle_waiter_done(waiter: "asyncio.Future[None]") -> None:
    if not waiter.done():
        waiter.set_result(None)


class _AsyncResults:
    """A streamed call's results as an async iterator. On the native engine
    the loop reads each response as its arrival wakes it (the loop's Waker);
    otherwise they are read ahead on a thread of the call's own (a few items
    at most). Closing it early (``aclose``, or leaving an ``async for`` by
    break) cancels the call."""

    AHEAD = 8

    def __init__(self, results: Any) -> None:
        self._results = results
        self._feed = None  # type: Optional[_Feed]
        self._poll = getattr(getattr(results, "_responses", None), "_sorvane_poll", None)

    def __aiter__(self) -> "_AsyncResults":
        return self

    async def __anext__(self) -> Any:
        if self._poll is not None:
            loop = asyncio.get_running_loop()
            waker = _waker(loop)
            if waker is not None:
                return await self._polled(loop, waker)
            self._poll = None  # a loop without a Waker: read on a thread
        feed = self._feed
        if feed is None:
            feed = self._feed = _Feed(self._results, asyncio.get_running_loop(), self.AHEAD)
            # The thread holds the feed, not this iterator: one dropped unclosed is
            # collected, and its __del__ ends the call and the thread.
            threading.Thread(target=feed.read, name="sorvane-stream", daemon=True).start()
        try:
            while True:
                with feed.lock:
                    if feed.items:
                        feed.room.release()
                        return feed.items.popleft()
                    if feed.end is not None:
                        raise feed.end
                    waiter = feed.waiter = feed.loop.create_future()
                await waiter
        except BaseException:  # the end, a failure, or the awaiting task cancelled
            feed.close()
            raise

    async def _polled(self, loop: asyncio.AbstractEventLoop, waker: Any) -> Any:
        try:
            while True:
                waiter = loop.create_future()
                here, result = self._results._poll(self._poll, waker, waiter)
                if here:
                    return result
                await waiter
        except StopIteration:
            raise StopAsyncIteration from None
        except BaseException:  # a failure, or the awaiting task cancelled
            self._results.close()
            raise

    async def aclose(self) -> None:
        self.close()

    def close(self) -> None:
        if self._feed is not None:
            self._feed.close()
        else:
            self._results.close()

    def __del__(self) -> None:
        self.close()


def call_stream(rpc_client: Any, clazz: str, method: str,
                args: Optional[Sequence[Any]] = None,
                kwargs: Union[Mapping[str, Any], Iterable[Tuple[str, Any]], None] = None,
                request_id: Optional[str] = None, serialize: int = codec.DEFAULT, *,
                timeout: Optional[float] = None, idempotent: bool = False,
                wait_for_ready: Optional[bool] = None, _cls: Any = None) -> Any:
    """``sorvane.streaming.call_stream`` as an async iterator of the results
    (``async for``); `rpc_client` is a stub from ``grpc_client`` or an
    :class:`AsyncStub` of one."""
    from sorvane import streaming
    stub = getattr(rpc_client, "_stub", rpc_client)
    return _AsyncResults(streaming.call_stream(stub, clazz, method, args, kwargs, request_id,
                                               serialize, timeout=timeout, idempotent=idempotent,
                                               wait_for_ready=wait_for_ready, _cls=_cls))
