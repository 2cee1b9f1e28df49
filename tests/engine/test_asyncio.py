"""asyncio end to end, on the engine the suite runs on: coroutine targets on the
server (result, exception, deadline, cancellation, guard, log and metrics, no
worker held while awaiting), awaitable calls on the client (helpers, stubs,
async stand-ins, cancellation, a loop closed with calls in flight), and a
server serving on the application's own loop."""
import asyncio
import gc
import os
import socket
import sys
import threading
import time
import types

import grpc
import pytest

import aio_targets
from locations import SUPPORT
from processes import ServeProcess
from server_support import collecting, serving
from sorvane import aio
from sorvane.corvex import GrpcException, GrpcHelper, GrpcServer, Server, grpc_client, grpc_service
from sorvane.guard import guard

MODULE = "aio_targets"

try:  # the sanitized build preloads ASan
    with open("/proc/self/maps") as _maps:
        SANITIZED = "libasan" in _maps.read()
except OSError:
    SANITIZED = False


def run(coro):
    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(coro)
    finally:
        loop.close()


@pytest.fixture
def registered(port):
    """A served port and its name in the registry."""
    with serving(port) as (server, stub):
        name = "aio-%d" % port
        grpc_client.load([Server(name, "127.0.0.1", port)])
        yield server, stub, name


class Recorder:
    def __init__(self):
        self.entered = 0
        self.records = []

    def enter(self):
        self.entered += 1

    def record(self, module, method, outcome, seconds):
        self.records.append((module, method, outcome))


def wait_until(predicate, seconds=5.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


class TestCoroutineTargets:
    def test_results_and_exceptions_as_plain_targets_report_them(self, registered):
        server, stub, _ = registered
        assert GrpcHelper.call_rpc_result(stub, MODULE, "add", [1], {"b": 5}) == 6
        assert GrpcHelper.call_rpc_result(stub, MODULE, "awaitable_result", [1]) == 11
        with pytest.raises(GrpcException) as raised:
            GrpcHelper.call_rpc_result(stub, MODULE, "fail", ["no luck"])
        assert (raised.value.exc_type, raised.value.message) == ("ValueError", "no luck")
        # The same envelope as a plain target's failure: status -1 in both places.
        response = GrpcHelper.call_rpc(stub, MODULE, "fail", ["again"])
        assert response.status == -1

    def test_they_run_on_the_process_loop_by_default(self, registered):
        _, stub, _ = registered
        assert GrpcHelper.call_rpc_result(stub, MODULE, "where") == "sorvane-asyncio"

    def test_the_deadline_is_seen_and_a_passed_one_cancels_the_task(self, registered):
        _, stub, name = registered
        left = GrpcHelper.call_rpc_result(stub, MODULE, "time_left", timeout=5)
        assert 3.0 < left < 5.1  # grpcio's client rounds the timeout it sends up a little
        assert GrpcHelper.call_rpc_result(stub, MODULE, "time_left") is None
        # A call the coroutine makes gets what is left of the one it serves.
        relayed = GrpcHelper.call_rpc_result(stub, MODULE, "relay", [name], timeout=5)
        assert relayed is not None and 2.5 < relayed < 5.1
        assert GrpcHelper.call_rpc_result(stub, MODULE, "relay", [name]) is None
        with pytest.raises(grpc.RpcError) as raised:
            GrpcHelper.call_rpc_result(stub, MODULE, "wait_for_cancel", ["late"], timeout=0.3)
        assert raised.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
        assert wait_until(lambda: ("cancelled", "late") in aio_targets.seen)

    def test_log_record_and_metrics_once_the_target_ends(self, registered):
        server, stub, _ = registered
        recorder = Recorder()
        server.service._metrics = recorder
        with collecting() as messages:
            assert GrpcHelper.call_rpc_result(stub, MODULE, "add", [2]) == 4
            with pytest.raises(GrpcException):
                GrpcHelper.call_rpc_result(stub, MODULE, "fail", ["x"])
            assert wait_until(lambda: len(messages) == 2)
        assert "'status': 0" in messages[0] and "'function': 'sorvane.corvex.handle'" in messages[0]
        assert "'status': -1" in messages[1]
        assert wait_until(lambda: len(recorder.records) == 2)
        assert recorder.entered == 2
        assert recorder.records == [(MODULE, "add", "ok"), (MODULE, "fail", "raised")]

    def test_the_guard_refuses_before_anything_is_awaited(self, port):
        server = GrpcServer("127.0.0.1", port)
        guard(server, {MODULE: ["add"]})
        server.run_background()
        try:
            with grpc.insecure_channel("127.0.0.1:%d" % port) as channel:
                from brindlow import CommonServiceStub
                stub = CommonServiceStub(channel)
                assert GrpcHelper.call_rpc_result(stub, MODULE, "add", [1]) == 3
                with pytest.raises(grpc.RpcError) as raised:
                    GrpcHelper.call_rpc_result(stub, MODULE, "nap", [0])
                assert raised.value.code() == grpc.StatusCode.PERMISSION_DENIED
        finally:
            server.rpc_server.stop(0).wait()

    def test_awaiting_calls_hold_no_worker(self, port):
        # 1,000 sleepers share 10 workers (on grpcio each still keeps one of
        # its call threads, not a worker). The server runs in a process of
        # its own, as a server would.
        count, workers = 1000, 10
        server = ServeProcess([MODULE, "--port", str(port), "--workers", str(workers),
                               "--max-queued-calls", str(count)], SUPPORT)
        try:
            server.wait_started()
            names = ["aio-many-%d-%d" % (port, i) for i in range(10)]
            grpc_client.load([Server(n, "127.0.0.1", port) for n in names])
            stubs = [aio.connect(n) for n in names]

            async def many(seconds):
                for stub in stubs:  # connected before the clock starts
                    await aio.call_rpc_result(stub, MODULE, "add", [0])
                began = time.monotonic()
                results = await asyncio.gather(*[
                    aio.call_rpc_result(stubs[i % len(stubs)], MODULE, "nap", [seconds])
                    for i in range(count)])
                assert results == ["rested"] * count
                return time.monotonic() - began

            # Held workers would take count / workers seconds; the best of
            # three rounds keeps a busy machine's stalls out of the figure.
            took = [run(many(1.0)) for _ in range(3)]
            # The cost of 1,000 calls at once (grpcio's own is 1-3 s here, the
            # native engine's a few tenths, more on a busy machine): the
            # sleep must add no more than the bound to it.
            burst = min(run(many(0)) for _ in range(3))
        finally:
            assert server.stop() == 0, server.output
        # Under the sanitizers everything runs a few times slower, and on a
        # machine busy with other test runs the grpcio engine's call threads
        # start slowly (a second run beside it took 2.34 s against a burst of
        # 0.83 s; alone, 1.41-1.50 s against 0.6-0.7 s); held workers would
        # still take 100 s.
        assert min(took) <= burst + (10.0 if SANITIZED else 2.5), (took, burst)


class TestAwaitableCalls:
    def test_helpers_stubs_and_stand_ins(self, registered):
        _, stub, name = registered

        async def add(a, b=2):
            """Stands in for the remote add."""

        add.__module__, add.__qualname__ = MODULE, "add"
        add = grpc_service(name)(add)

        async def calls():
            response = await aio.call_rpc(stub, MODULE, "plain", [4])
            by_stub = await aio.call_rpc_result(aio.connect(name), MODULE, "plain", [5])
            return (GrpcHelper.call_rpc_result(stub, MODULE, "plain", [1]),
                    response.status, by_stub, await add(1, b=4), await add(7))

        assert run(calls()) == (2, 0, 10, 5, 9)
        assert asyncio.iscoroutinefunction(add) and add.__doc__ == "Stands in for the remote add."
        assert aio.connect("no such server") is None

        # A stand-in calls the awaitable helper of the sorvane.aio that
        # sys.modules holds at the time, not one it saw before.
        other = types.ModuleType("sorvane.aio")

        async def call_rpc_result(stub, clazz, method, **given):
            return ("other", clazz, method, given["kwargs"])

        other.call_rpc_result = call_rpc_result
        with pytest.MonkeyPatch.context() as patch:
            patch.setitem(sys.modules, "sorvane.aio", other)
            assert run(add(3)) == ("other", MODULE, "add", {"a": 3})
        assert run(add(3)) == 5

    # Through grpcio's channel, and through the registry's stub on the
    # engine's own (on the native engine: the wire path, the reply read on
    # the loop's thread).
    @pytest.mark.parametrize("through", ["grpcio channel", "registry"])
    def test_errors_arrive_as_the_blocking_call_raises_them(self, registered, through):
        _, stub, name = registered
        if through == "registry":
            stub = grpc_client.connect(name)

        async def failing():
            with pytest.raises(GrpcException) as target_error:
                await aio.call_rpc_result(stub, MODULE, "fail", ["boom"])
            with pytest.raises(grpc.RpcError) as late:
                await aio.call_rpc_result(stub, MODULE, "nap", [2], timeout=0.2)
            return target_error.value.message, late.value.code()

        assert run(failing()) == ("boom", grpc.StatusCode.DEADLINE_EXCEEDED)

    @pytest.mark.parametrize("through", ["grpcio channel", "registry"])
    def test_cancelling_the_task_cancels_the_call_on_the_server(self, registered, through):
        _, stub, name = registered
        if through == "registry":
            stub = grpc_client.connect(name)
        tag = "task-%s-%d" % (through, time.monotonic_ns())

        async def cancel_one():
            task = asyncio.ensure_future(
                aio.call_rpc_result(stub, MODULE, "wait_for_cancel", [tag]))
            await asyncio.sleep(0.3)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            # The loop goes on: the next call is answered.
            return await aio.call_rpc_result(stub, MODULE, "plain", [4])

        assert run(cancel_one()) == 8
        assert wait_until(lambda: ("cancelled", tag) in aio_targets.seen)

    def test_sync_and_async_callers_share_one_channel(self, registered):
        _, stub, name = registered
        async_stub = aio.connect(name)
        assert async_stub._handle is grpc_client.connect(name).handle  # one channel
        errors = []

        def blocking():
            try:
                for i in range(50):
                    assert GrpcHelper.call_rpc_result(stub, MODULE, "plain", [i]) == 2 * i
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=blocking) for _ in range(3)]
        for t in threads:
            t.start()

        async def awaiting():
            return await asyncio.gather(*[
                aio.call_rpc_result(async_stub, MODULE, "add", [i]) for i in range(100)])

        assert run(awaiting()) == [i + 2 for i in range(100)]
        for t in threads:
            t.join(30)
        assert not errors

    def test_a_lone_call_leaves_its_loop_as_it_was_and_on_time(self, registered, monkeypatch):
        """A call alone on its connection has its reply read on the loop's
        thread (native engine): waiting on the socket while the loop has
        nothing else to do, else watched by the loop's selector. Either way
        the loop ends up watching what it watched before, no descriptor or
        waiter is left behind, and the loop's own I/O and timers are not held
        up by a call in flight."""
        _, _, name = registered
        stub = grpc_client.connect(name)  # the engine's own channel
        loop = asyncio.new_event_loop()
        try:
            async def calls():
                quick = [await aio.call_rpc_result(stub, MODULE, "plain", [i]) for i in range(150)]
                # Past the wait on the socket: the selector brings these.
                slow = [await aio.call_rpc_result(stub, MODULE, "nap", [0.02]) for _ in range(5)]
                return quick + slow

            expected = [2 * i for i in range(150)] + ["rested"] * 5
            assert loop.run_until_complete(calls()) == expected
            watched = len(loop._selector.get_map())
            descriptors = len(os.listdir("/proc/self/fd"))
            gc.collect()
            waiters = sum(isinstance(o, asyncio.Future) for o in gc.get_objects())
            assert loop.run_until_complete(calls()) == expected
            gc.collect()
            assert len(loop._selector.get_map()) == watched
            # (Other tests' channels may close meanwhile; a lent handle left
            # open would be one more per call.)
            assert len(os.listdir("/proc/self/fd")) <= descriptors + 5
            assert sum(isinstance(o, asyncio.Future) for o in gc.get_objects()) <= waiters + 2

            # However long the loop would wait on the socket, its own I/O and
            # timers end the wait when they come.
            monkeypatch.setattr(aio, "_IDLE_WAIT", 5.0)
            reader, writer = socket.socketpair()
            marks = {}
            loop.add_reader(reader, lambda: marks.setdefault("read", time.monotonic()) and
                            reader.recv(1))

            async def one_slow_call(hold_up):
                began = time.monotonic()
                hold_up()
                assert await aio.call_rpc_result(stub, MODULE, "nap", [0.6]) == "rested"
                return began

            poke = threading.Timer(0.1, writer.send, [b"x"])
            began = loop.run_until_complete(one_slow_call(poke.start))
            assert marks["read"] - began < 0.45
            began = loop.run_until_complete(one_slow_call(lambda: loop.call_later(
                0.1, lambda: marks.setdefault("timer", time.monotonic()))))
            assert marks["timer"] - began < 0.45
            loop.remove_reader(reader)
            reader.close()
            writer.close()
        finally:
            loop.close()

    def test_a_busy_loop_holds_up_no_other_caller_of_its_channel(self, registered):
        """A loop that watches its call's socket and then stays away (a
        callback that blocks) keeps it for a moment only: other threads'
        calls on the same channel are answered meanwhile."""
        _, _, name = registered
        stub = grpc_client.connect(name)
        answered = []

        def blocking_calls():
            for i in range(5):
                began = time.monotonic()
                assert GrpcHelper.call_rpc_result(stub, MODULE, "plain", [i]) == 2 * i
                answered.append(time.monotonic() - began)

        async def main():
            await aio.call_rpc_result(stub, MODULE, "plain", [0])  # connected
            # The second task is ready when the call starts, so the loop
            # watches the socket in its selector; then it blocks.
            call = asyncio.ensure_future(aio.call_rpc_result(stub, MODULE, "nap", [0.2]))
            await asyncio.sleep(0)
            blocked = asyncio.get_running_loop().run_in_executor(None, blocking_calls)
            time.sleep(1.5)  # the loop stays away
            await blocked
            return await call

        assert run(main()) == "rested"
        assert len(answered) == 5 and max(answered) < (1.0 if SANITIZED else 0.5), answered

    def test_a_loop_closed_with_calls_in_flight(self, registered):
        _, stub, _ = registered
        loop = asyncio.new_event_loop()
        tasks = [loop.create_task(aio.call_rpc_result(stub, MODULE, "nap", [0.3]))
                 for _ in range(20)]
        loop.run_until_complete(asyncio.sleep(0.05))
        loop.close()  # the calls complete later, with nobody to wake
        del tasks
        time.sleep(0.6)
        # The process and the channel go on.
        assert GrpcHelper.call_rpc_result(stub, MODULE, "plain", [3]) == 6


class TestServeOnTheApplicationLoop:
    def test_targets_run_on_the_serving_loop_until_cancelled(self, port):
        server = GrpcServer("127.0.0.1", port)
        name = "aio-serve-%d" % port
        grpc_client.load([Server(name, "127.0.0.1", port)])

        async def main():
            serving_task = asyncio.ensure_future(aio.serve(server, grace=1))
            stub = aio.connect(name)
            for _ in range(100):  # until it listens
                try:
                    where = await aio.call_rpc_result(stub, MODULE, "where", timeout=1)
                    break
                except grpc.RpcError:
                    await asyncio.sleep(0.05)
            slow = asyncio.ensure_future(aio.call_rpc_result(stub, MODULE, "nap", [0.3]))
            await asyncio.sleep(0.1)
            serving_task.cancel()  # stops with grace: the call in flight is answered
            with pytest.raises(asyncio.CancelledError):
                await serving_task
            return where, await slow

        where, slow = run(main())
        assert where == threading.current_thread().name
        assert slow == "rested"
        assert "_sorvane_loop" not in vars(server.service)
