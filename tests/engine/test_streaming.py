"""Streamed results end to end, on the engine the suite runs on (and, in one
case, against a server on the other engine): order and completeness, a
failure mid-stream or at once, an empty stream, cancellation by the client
and by the deadline, a server stopping mid-stream, back-pressure on a slow
consumer, the guard and the token, the log record and metrics, stand-ins
and the asynchronous iterator."""
import asyncio
import gc
import os
import threading
import time

import grpc
import pytest

import h2frames as h
import marvetta
import stream_targets as targets
from locations import SUPPORT
from processes import ServeProcess
from server_support import collecting
from sorvane import aio, engine, streaming
from sorvane.corvex import GrpcException, GrpcHelper, GrpcServer, Server, grpc_client, \
    grpc_service
from sorvane.guard import guard

MODULE = "stream_targets"
WAIT = 10
NATIVE = engine.current() == "native"


@pytest.fixture(autouse=True)
def fresh():
    del targets.closed[:], targets.produced[:]
    targets.closed_event.clear()
    yield


@pytest.fixture
def served(port):
    """A started server on 127.0.0.1:port and the registry's stub for it."""
    server = GrpcServer("127.0.0.1", port)
    server.run_background()
    name = "stream-%d" % port
    grpc_client.load([Server(name, "127.0.0.1", port)])
    try:
        yield server, grpc_client.connect(name)
    finally:
        server.rpc_server.stop(0).wait()


def stream(stub, method, *args, **options):
    return streaming.call_stream(stub, MODULE, method, list(args), **options)


def wait_closed(tag, seconds=WAIT):
    end = time.monotonic() + seconds
    while tag not in targets.closed and time.monotonic() < end:
        targets.closed_event.wait(0.05)
    return tag in targets.closed


class TestStreamedResults:
    def test_every_item_in_order(self, served):
        _, stub = served
        n = 100000 if NATIVE else 10000  # grpcio's server sends a few thousand a second
        got = list(stream(stub, "count", n))
        assert got == list(range(n))

    def test_failures_end_the_stream_as_a_failed_call_reports_them(self, served):
        _, stub = served
        got = []
        with pytest.raises(GrpcException) as raised:
            for item in stream(stub, "fail_after", 3):
                got.append(item)
        assert got == [{"i": 0}, {"i": 1}, {"i": 2}]
        assert raised.value.args == ("ValueError", "failed after 3")
        assert list(stream(stub, "empty")) == []
        with pytest.raises(GrpcException) as raised:
            list(stream(stub, "raises_at_once"))
        assert raised.value.args == ("KeyError", "'nothing to stream'")
        with pytest.raises(GrpcException) as raised:
            list(stream(stub, "not_an_iterator"))
        assert raised.value.args[0] == "TypeError" and "not list" in raised.value.args[1]

    def test_leaving_early_closes_the_generator_on_the_server(self, served):
        _, stub = served
        results = stream(stub, "endless", "closed")
        assert next(results) is None  # no deadline
        results.close()
        assert wait_closed("closed", 1.0 + (0 if NATIVE else 1.0))
        results = stream(stub, "endless", "dropped")
        next(results)
        del results
        gc.collect()
        assert wait_closed("dropped")

    def test_the_deadline_reaches_the_generator_and_ends_the_stream(self, served):
        _, stub = served
        results = stream(stub, "endless", "deadline", 0.05, timeout=0.6)
        left = next(results)
        assert left is not None and 0 < left < 0.65  # grpcio rounds the timeout up a little
        with pytest.raises(grpc.RpcError) as raised:
            for _ in results:
                pass
        assert raised.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
        assert wait_closed("deadline")

    def test_a_server_stopping_mid_stream_closes_the_generator(self, served):
        server, stub = served
        results = stream(stub, "endless", "stopped")
        next(results)
        server.rpc_server.stop(0).wait()
        with pytest.raises(grpc.RpcError):
            for _ in results:
                pass
        assert wait_closed("stopped")

    def test_a_slow_consumer_holds_the_generator_back_and_no_worker(self, port):
        # 400 items of 256 KiB on a server with one worker: a server that
        # buffered the stream would have made them all while the client
        # sleeps, and one that held the worker would answer no other call.
        # (What the windows hold varies: grpcio's grow with the delay it
        # measures, to about 80 items on a loaded machine.)
        server = GrpcServer("127.0.0.1", port, max_workers=1)
        server.run_background()
        try:
            name = "stream-one-worker-%d" % port
            grpc_client.load([Server(name, "127.0.0.1", port)])
            stub = grpc_client.connect(name)
            results = stream(stub, "big", "held", 400, 256 << 10)
            next(results)
            time.sleep(1.0)
            made = len(targets.produced)
            assert made < 150, made
            assert GrpcHelper.call_rpc_result(stub, MODULE, "echo", ["free"], timeout=5) == "free"
            assert sum(1 for _ in results) == 399
            assert wait_closed("held")
        finally:
            server.rpc_server.stop(0).wait()

    @pytest.mark.skipif(not NATIVE, reason="the bound on queued streamed bytes is the native server's")
    def test_streams_a_client_never_reads_are_bounded_together(self, port):
        # Eight streams of 16 KiB items to a client whose windows stay shut: each
        # alone may queue 512 KiB (32 items), but together they stop at
        # max_queued_bytes (1 MiB, 64 items) plus one item each, and no worker
        # waits for them meanwhile.
        server = GrpcServer("127.0.0.1", port, max_queued_bytes=1 << 20, max_workers=2)
        server.run_background()
        try:
            with h.Client(port, preface=False) as client:
                client.send(h.PREFACE + h.settings([(h.SETTINGS_INITIAL_WINDOW_SIZE, 0)]))
                for i in range(8):
                    body = ('{"clazz": "%s", "method": "big", "args": ["shut%d", 1000, 16384]}'
                            % (MODULE, i))
                    message = marvetta.CommonRequest(request=body.encode()).SerializeToString()
                    client.send(h.request(client.new_id(), streaming.STREAM_METHOD, message))
                end = time.monotonic() + 1.5
                while time.monotonic() < end:
                    client.pump(0.05)
                made = len(targets.produced)
                assert len({tag for tag, _ in targets.produced}) == 8
                assert made <= 64 + 8 + 8, made
                name = "stream-shut-%d" % port
                grpc_client.load([Server(name, "127.0.0.1", port)])
                assert GrpcHelper.call_rpc_result(grpc_client.connect(name), MODULE, "echo",
                                                  ["free"], timeout=5) == "free"
            assert wait_until(lambda: len([t for t in targets.closed if t.startswith("shut")]) == 8)
        finally:
            server.rpc_server.stop(0).wait()

    def test_guard_token_log_and_metrics(self, port):
        server = GrpcServer("127.0.0.1", port, token="s3cret-token-for-streams")
        guard(server, {MODULE: ["count"]})
        server.run_background()
        try:
            good = "stream-tok-%d" % port
            bad = "stream-notok-%d" % port
            grpc_client.load([Server(good, "127.0.0.1", port, token="s3cret-token-for-streams"),
                              Server(bad, "127.0.0.1", port)])
            with pytest.raises(grpc.RpcError) as raised:
                list(streaming.call_stream(grpc_client.connect(bad), MODULE, "count", [2]))
            assert raised.value.code() == grpc.StatusCode.UNAUTHENTICATED
            stub = grpc_client.connect(good)
            with pytest.raises(grpc.RpcError) as raised:
                list(streaming.call_stream(stub, MODULE, "hidden", [2]))
            assert raised.value.code() == grpc.StatusCode.PERMISSION_DENIED
            recorder = server.service._metrics = Recorder()
            with collecting("rpc_log") as records:
                assert list(streaming.call_stream(stub, MODULE, "count", [3],
                                                  request_id="rid-1")) == [0, 1, 2]
                assert wait_until(lambda: records)
            assert "'items': 3" in records[0] and "rid-1" in records[0], records
            assert recorder.records == [(MODULE, "count", "ok")]
        finally:
            server.rpc_server.stop(0).wait()

    def test_a_server_without_the_method_is_named_clearly(self, port):
        bare = grpc.server(__import__("concurrent.futures").futures.ThreadPoolExecutor(1))
        bare.add_insecure_port("127.0.0.1:%d" % port)
        bare.start()
        try:
            with grpc.insecure_channel("127.0.0.1:%d" % port) as channel:
                with pytest.raises(streaming.StreamUnsupported) as raised:
                    list(streaming.call_stream(channel, MODULE, "count", [1]))
            assert raised.value.code() == grpc.StatusCode.UNIMPLEMENTED
            assert streaming.STREAM_METHOD in str(raised.value)
        finally:
            bare.stop(0).wait()

    def test_a_message_that_does_not_read_ends_the_call(self, port):
        ended = threading.Event()

        def call(request, context):
            context.add_callback(ended.set)
            yield b"\x0a"  # not a CommonResponse: a field cut short
            while context.is_active():
                time.sleep(0.01)
                yield b""

        service, method = streaming.STREAM_METHOD.strip("/").split("/")
        bare = grpc.server(__import__("concurrent.futures").futures.ThreadPoolExecutor(2))
        bare.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
            service, {method: grpc.unary_stream_rpc_method_handler(call)}),))
        bare.add_insecure_port("127.0.0.1:%d" % port)
        bare.start()
        try:
            name = "garbled-%d" % port
            grpc_client.load([Server(name, "127.0.0.1", port)])
            results = stream(grpc_client.connect(name), "count", 1)
            with pytest.raises(Exception) as raised:
                next(results)
            assert not isinstance(raised.value, GrpcException)
            assert ended.wait(WAIT)  # cancelled, not left streaming
            with pytest.raises(StopIteration):
                next(results)
        finally:
            bare.stop(0).wait()


class Recorder:
    def __init__(self):
        self.records = []

    def enter(self):
        pass

    def record(self, module, method, outcome, seconds):
        self.records.append((module, method, outcome))


def wait_until(predicate, seconds=5.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end and not predicate():
        time.sleep(0.01)
    return predicate()


class TestStreamingClients:
    def test_stand_ins_and_the_async_iterator(self, served):
        _, stub = served
        name = [n for n, s in grpc_client.stubs.items() if s is stub][0]

        def count(n, start=0):
            yield  # a generator function: a streamed call

        async def agen(n):
            yield

        for stand_in in (count, agen):
            stand_in.__module__, stand_in.__qualname__ = MODULE, stand_in.__name__
        count, agen = grpc_service(name)(count), grpc_service(name)(agen)
        assert list(count(3, start=5)) == [5, 6, 7]

        async def consume():
            got = [item async for item in agen(3)]
            got += [item async for item in aio.call_stream(aio.connect(name), MODULE, "count",
                                                           [2])]
            results = aio.call_stream(stub, MODULE, "endless", ["async"])
            async for _ in results:
                break  # leaving the loop early
            await results.aclose()
            # A task cancelled while it awaits the next item ends the call; on
            # the native engine the loop itself is woken for each item, with
            # no thread reading for it.
            waiting = aio.call_stream(stub, MODULE, "endless", ["cancelled", 1.0])
            await waiting.__anext__()
            task = asyncio.ensure_future(waiting.__anext__())
            await asyncio.sleep(0.2)
            assert not task.done()
            readers = [t for t in threading.enumerate() if t.name == "sorvane-stream"]
            assert not readers if NATIVE else readers
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            # A consumer that stops taking items holds the generator back (the
            # results are read a few ahead only), and one dropped unclosed ends
            # the call and its reading thread.
            paced = aio.call_stream(stub, MODULE, "big", ["paced", 200, 256 << 10])
            assert len(await paced.__anext__()) == 256 << 10
            await asyncio.sleep(1.0)
            made = sum(1 for tag, _ in targets.produced if tag == "paced")
            assert made < 60 + aio._AsyncResults.AHEAD, made
            del paced
            gc.collect()
            with pytest.raises(GrpcException):
                async for _ in aio.call_stream(stub, MODULE, "fail_after", [1]):
                    pass
            return got

        loop = asyncio.new_event_loop()
        try:
            assert loop.run_until_complete(consume()) == [0, 10, 20, 0, 1]
        finally:
            loop.close()
        assert wait_closed("async")
        assert wait_closed("cancelled")
        assert wait_closed("paced")
        end = time.monotonic() + WAIT
        while any(t.name == "sorvane-stream" for t in threading.enumerate()):
            assert time.monotonic() < end, "a stream's reading thread outlived its iterator"
            time.sleep(0.02)

    def test_against_a_server_on_the_other_engine(self, port):
        other = "grpcio" if NATIVE else "native"
        server = ServeProcess([MODULE, "--port", str(port)], SUPPORT,
                              env=dict(os.environ, SORVANE_ENGINE=other))
        try:
            server.wait_started()
            name = "stream-other-%d" % port
            grpc_client.load([Server(name, "127.0.0.1", port)])
            stub = grpc_client.connect(name)
            assert list(streaming.call_stream(stub, MODULE, "count", [5000])) == \
                list(range(5000))
            results = streaming.call_stream(stub, MODULE, "fail_after", [2])
            assert [next(results), next(results)] == [{"i": 0}, {"i": 1}]
            with pytest.raises(GrpcException):
                next(results)
        finally:
            assert server.stop() == 0, server.output
