"""Streaming responses on the transport engines, every client engine to every
server engine, and the native engine's own stream handling.
"""
import gc
import os
import signal
import sys
import threading
import time
from concurrent import futures

import grpc
import pytest

from conftest import free_port
from probe_support import ENGINES, SERVICE, WAIT, Pairing, needs_native, transport, wait_until


@pytest.fixture(params=[(c, s) for c in ENGINES for s in ENGINES], ids=lambda p: "%s-to-%s" % p)
def pairing(request):
    """Like test_engine_calls.py's `pair`, for tests that stream (and may also
    call unary methods)."""
    pairing = Pairing(*request.param)
    yield pairing
    pairing.close()


class TestStreams:
    """Unary-request, streaming-response calls, every client engine to every
    server engine."""

    def test_many_messages_arrive_in_order(self, pairing):
        call = pairing.stream("count")(b"3000", timeout=WAIT)
        assert isinstance(call, grpc.Call) and isinstance(call, grpc.Future)
        assert list(call) == [b"%d" % i for i in range(3000)]
        assert call.code() is grpc.StatusCode.OK and call.details() == ""
        assert not call.is_active() and call.done()
        with pytest.raises(StopIteration):
            next(call)
        assert list(pairing.stream("count")(b"0", timeout=WAIT)) == []

    def test_large_messages_wait_for_a_slow_reader(self, pairing):
        call = pairing.stream("big")(b"60", timeout=WAIT)
        received = []
        for message in call:
            received.append(message)
            if len(received) % 20 == 0:
                time.sleep(0.1)  # the sender runs into flow control meanwhile
        assert [(len(m), m[:1]) for m in received] == [(65536, bytes([i])) for i in range(60)]
        assert call.code() is grpc.StatusCode.OK

    def test_metadata_and_deadline_reach_the_handler(self, pairing):
        call = pairing.stream("stream_look")(b"", timeout=WAIT, metadata=(("x-probe", "yes"),))
        assert list(call) == [b"yes", b"True"]
        assert isinstance(call.initial_metadata(), tuple)
        assert isinstance(call.trailing_metadata(), tuple)

    def test_handler_exception_mid_stream_ends_with_unknown(self, pairing):
        call = pairing.stream("stream_fail")(b"", timeout=WAIT)
        received = []
        with pytest.raises(grpc.RpcError) as raised:
            for message in call:
                received.append(message)
        assert received == [b"one", b"two"]
        assert raised.value.code() is grpc.StatusCode.UNKNOWN
        assert raised.value.details() == "Exception iterating responses: broken mid-stream"
        assert call.code() is grpc.StatusCode.UNKNOWN

    def test_abort_and_set_code_after_messages(self, pairing):
        call = pairing.stream("stream_abort")(b"", timeout=WAIT)
        assert next(call) == b"one"
        with pytest.raises(grpc.RpcError) as raised:
            next(call)
        assert (raised.value.code(), raised.value.details()) == (grpc.StatusCode.NOT_FOUND, "gone")
        call = pairing.stream("stream_codes")(b"", timeout=WAIT)
        assert next(call) == b"one"
        with pytest.raises(grpc.RpcError) as raised:
            next(call)
        assert (raised.value.code(), raised.value.details()) == (
            grpc.StatusCode.DATA_LOSS, "lost the rest")
        assert ("why", "partial") in [tuple(m) for m in raised.value.trailing_metadata()]

    def test_a_handler_returning_a_non_iterator(self, pairing):
        with pytest.raises(grpc.RpcError) as raised:
            list(pairing.stream("not_an_iterator")(b"", timeout=WAIT))
        assert raised.value.code() is grpc.StatusCode.UNKNOWN
        assert raised.value.details() == (
            "Exception iterating responses: 'list' object is not an iterator")

    def test_blocked_stream_while_unary_calls_are_served(self, pairing):
        probe = pairing.probe
        call = pairing.stream("watch")(b"w", timeout=WAIT)
        assert next(call) == b"serving"
        assert probe.entered.acquire(timeout=WAIT)
        started = time.monotonic()
        for i in range(20):
            assert pairing.unary("echo")(b"%d" % i, timeout=WAIT) == b"%d" % i
        assert time.monotonic() - started < WAIT / 2
        assert call.is_active()
        probe.release.set()
        assert list(call) == [b"changed", b"changed again"]
        assert call.code() is grpc.StatusCode.OK
        assert wait_until(lambda: probe.closed == [(b"w", True)])

    def test_cancel_mid_stream_frees_the_worker(self, pairing):
        probe = pairing.probe
        call = pairing.stream("ticker")(b"t", timeout=WAIT)
        assert [next(call) for _ in range(3)] == [b"tick"] * 3
        ended = threading.Event()
        call.add_done_callback(lambda unused: ended.set())
        assert call.cancel()
        assert not call.cancel()  # once only
        assert call.cancelled() and not call.is_active()
        with pytest.raises(grpc.RpcError) as raised:
            next(call)
        assert raised.value.code() is grpc.StatusCode.CANCELLED
        assert call.code() is grpc.StatusCode.CANCELLED
        assert call.details() == "Locally cancelled by application!"
        assert ended.wait(WAIT)
        # The server: the callback ran, the generator was closed, the context
        # is no longer active.
        assert wait_until(lambda: probe.callbacks == [b"t"] and probe.closed == [(b"t", False)])
        assert not probe.contexts[0].is_active()

    def test_deadline_mid_stream(self, pairing):
        probe = pairing.probe
        call = pairing.stream("ticker")(b"d", timeout=0.5)
        received = 0
        started = time.monotonic()
        with pytest.raises(grpc.RpcError) as raised:
            for _ in call:
                received += 1
        assert raised.value.code() is grpc.StatusCode.DEADLINE_EXCEEDED
        assert received > 0 and time.monotonic() - started < WAIT / 2
        assert wait_until(lambda: probe.callbacks == [b"d"] and probe.closed == [(b"d", False)])

    @pytest.mark.parametrize("how", ["deadline", "cancel"])
    def test_native_server_closes_the_iterator_after_the_callbacks(self, pairing, how):
        """A send that fails because the call is over must not close the
        iterator before the call's end is in: by then the context is inactive
        and its callbacks have run, however slow they are."""
        if pairing.server_kind != "native":
            pytest.skip("grpcio's server runs the callbacks beside the handler")
        probe = pairing.probe
        call = pairing.stream("slow_goodbye")(b"g", timeout=0.5 if how == "deadline" else WAIT)
        with pytest.raises(grpc.RpcError):
            for received, _ in enumerate(call):
                if how == "cancel" and received == 3:
                    call.cancel()
        assert wait_until(lambda: probe.closed)
        assert probe.closed == [(b"g", False, [b"g"])]

    def test_dropping_the_iterator_cancels_the_call(self, pairing):
        probe = pairing.probe
        call = pairing.stream("ticker")(b"x", timeout=WAIT)
        assert next(call) == b"tick"
        del call
        assert wait_until(lambda: probe.closed == [(b"x", False)])


@pytest.mark.parametrize("kind", ENGINES)
def test_stream_to_an_unreachable_server(kind):
    with transport(kind).insecure_channel("127.0.0.1:%d" % free_port()) as channel:
        call = channel.unary_stream("/%s/count" % SERVICE)(b"3", timeout=WAIT)
        with pytest.raises(grpc.RpcError) as raised:
            next(call)
        assert raised.value.code() is grpc.StatusCode.UNAVAILABLE
        assert not call.is_active()


@pytest.mark.parametrize("client_kind,server_kind", [(c, s) for c in ENGINES for s in ENGINES])
def test_standard_health_watch(client_kind, server_kind):
    """grpcio's own health servicer: Watch streams a status, blocks until it
    changes, and ends when the client cancels."""
    health = pytest.importorskip("grpc_health.v1.health")
    from grpc_health.v1 import health_pb2, health_pb2_grpc

    server = transport(server_kind).server(futures.ThreadPoolExecutor(max_workers=2))
    servicer = health.HealthServicer()
    health_pb2_grpc.add_HealthServicer_to_server(servicer, server)
    port = server.add_insecure_port("127.0.0.1:0")
    server.start()
    servicer.set("svc", health_pb2.HealthCheckResponse.SERVING)
    channel = transport(client_kind).insecure_channel("127.0.0.1:%d" % port)
    try:
        stub = health_pb2_grpc.HealthStub(channel)
        watch = stub.Watch(health_pb2.HealthCheckRequest(service="svc"), timeout=WAIT)
        assert next(watch).status == health_pb2.HealthCheckResponse.SERVING
        changer = threading.Timer(
            0.2, servicer.set, ("svc", health_pb2.HealthCheckResponse.NOT_SERVING))
        changer.start()
        assert next(watch).status == health_pb2.HealthCheckResponse.NOT_SERVING
        assert watch.cancel()
        with pytest.raises(grpc.RpcError) as raised:
            next(watch)
        assert raised.value.code() is grpc.StatusCode.CANCELLED
        # Both workers are free again: two more watches are served at once.
        more = [stub.Watch(health_pb2.HealthCheckRequest(service="svc"), timeout=WAIT)
                for _ in range(2)]
        assert [next(w).status for w in more] == [health_pb2.HealthCheckResponse.NOT_SERVING] * 2
        for w in more:
            w.cancel()
    finally:
        channel.close()
        server.stop(0).wait(WAIT)


@needs_native
def test_streams_leave_nothing_behind():
    """Whole streams and streams cancelled midway, native to native: no Python
    object (contexts, generators, calls) nor memory block is left per call."""
    pairing = Pairing("native", "native")
    probe = pairing.probe
    count, ticker = pairing.stream("count"), pairing.stream("ticker")
    request = b"5"

    def calls(n):
        for _ in range(n):
            assert list(count(request, timeout=WAIT)) == [b"0", b"1", b"2", b"3", b"4"]
            call = ticker(b"l", timeout=WAIT)
            assert next(call) == b"tick"
            call.cancel()
            del call
        assert wait_until(lambda: len(probe.closed) == n)
        assert pairing.running.server._core.wait_idle(WAIT)
        del probe.closed[:], probe.callbacks[:], probe.contexts[:]
        gc.collect()

    try:
        # Caches and free lists settle unevenly (a few hundred blocks, more
        # under load) but once: a leak shows in both of two windows, of at
        # least one block per call (1000 per window).
        calls(200)
        growth = []
        for _ in range(2):
            objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
            refs = sys.getrefcount(request)
            calls(500)
            assert sys.getrefcount(request) == refs
            growth.append((len(gc.get_objects()) - objects, sys.getallocatedblocks() - blocks))
        assert min(g[0] for g in growth) < 100, growth
        assert min(g[1] for g in growth) < 400, growth
    finally:
        pairing.close()


@needs_native
class TestNativeStreams:
    def test_streams_on_every_worker_do_not_stall_the_server(self):
        """Every worker sends a stream that outruns flow control (each send
        waits for a completion someone must poll) while unary calls queue."""
        pairing = Pairing("native", "native", workers=2)
        try:
            results = {}

            def read(n):
                results[n] = sum(len(m) for m in pairing.stream("big")(b"40", timeout=WAIT))

            readers = [threading.Thread(target=read, args=(n,)) for n in range(2)]
            for t in readers:
                t.start()
            echoes = [pairing.unary("echo").future(b"%d" % i, timeout=WAIT) for i in range(10)]
            assert [f.result(timeout=WAIT) for f in echoes] == [b"%d" % i for i in range(10)]
            for t in readers:
                t.join(WAIT)
            assert results == {0: 40 * 65536, 1: 40 * 65536}
        finally:
            pairing.close()

    def test_blocked_streams_count_toward_max_workers(self):
        pairing = Pairing("native", "native", workers=2)
        probe = pairing.probe
        try:
            calls = [pairing.stream("watch")(b"%d" % i, timeout=WAIT) for i in range(3)]
            assert probe.entered.acquire(timeout=WAIT) and probe.entered.acquire(timeout=WAIT)
            time.sleep(0.3)
            assert probe.most == 2
            probe.release.set()
            assert all(list(c) == [b"serving", b"changed", b"changed again"] for c in calls)
        finally:
            pairing.close()

    def test_interrupting_a_read_cancels_the_call(self):
        """A signal while the main thread waits for the next message raises
        there (the wait is sliced) and cancels the call."""
        pairing = Pairing("native", "native")
        probe = pairing.probe
        try:
            call = pairing.stream("stuck")(b"s", timeout=WAIT)
            assert probe.entered.acquire(timeout=WAIT)
            timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGUSR1))

            class Interrupted(Exception):
                pass

            def raise_interrupted(signum, frame):
                raise Interrupted()

            previous = signal.signal(signal.SIGUSR1, raise_interrupted)
            try:
                timer.start()
                with pytest.raises(Interrupted):
                    next(call)
            finally:
                signal.signal(signal.SIGUSR1, previous)
            assert call.code() is grpc.StatusCode.CANCELLED
            assert wait_until(lambda: probe.callbacks == [b"s"])
        finally:
            pairing.close()
