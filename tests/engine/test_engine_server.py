"""The servers of the transport engines: stopping, grace, worker and call
limits, restarts; and the native server's connection policies on the wire.
"""
import threading
import time
from concurrent import futures

import grpc
import pytest

from conftest import free_port
from probe_support import (ENGINES, NATIVE, SERVICE, WAIT, Probe, Running, needs_native, transport,
                           wait_until)


@pytest.mark.parametrize("kind", ENGINES)
class TestServerLifecycle:
    def test_stop_with_grace_lets_calls_finish_then_refuses(self, kind):
        probe = Probe()
        running = Running(kind, probe)
        with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
            call = channel.unary_unary("/%s/block" % SERVICE).future(b"g", timeout=WAIT)
            assert probe.entered.acquire(timeout=WAIT)
            stopped = running.stop(WAIT)
            assert not stopped.is_set()
            probe.release.set()
            assert call.result(timeout=WAIT) == b"released:g"
            assert stopped.wait(WAIT)
            with pytest.raises(grpc.RpcError) as raised:
                channel.unary_unary("/%s/echo" % SERVICE)(b"", timeout=WAIT)
            assert raised.value.code() is grpc.StatusCode.UNAVAILABLE

    def test_grace_over_cancels_calls_in_flight(self, kind):
        probe = Probe()
        running = Running(kind, probe)
        with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
            call = channel.unary_unary("/%s/block" % SERVICE).future(b"g", timeout=WAIT)
            assert probe.entered.acquire(timeout=WAIT)
            started = time.monotonic()
            assert running.stop(0.2).wait(WAIT)
            assert time.monotonic() - started < WAIT / 2
            with pytest.raises(grpc.RpcError) as raised:
                call.result(timeout=WAIT)
            assert raised.value.code() in (grpc.StatusCode.CANCELLED, grpc.StatusCode.UNAVAILABLE)
            assert running.server.wait_for_termination(timeout=WAIT) is False
        probe.release.set()

    def test_a_second_stop_with_less_grace_cuts_the_first_short(self, kind):
        probe = Probe()
        running = Running(kind, probe)
        with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
            call = channel.unary_unary("/%s/block" % SERVICE).future(b"g", timeout=WAIT)
            assert probe.entered.acquire(timeout=WAIT)
            first = running.stop(WAIT)
            time.sleep(0.1)
            assert not first.is_set()
            started = time.monotonic()
            assert running.stop(0.1).wait(WAIT)
            assert first.wait(WAIT)
            assert time.monotonic() - started < WAIT / 2
            with pytest.raises(grpc.RpcError) as raised:
                call.result(timeout=WAIT)
            assert raised.value.code() in (grpc.StatusCode.CANCELLED, grpc.StatusCode.UNAVAILABLE)
        probe.release.set()

    def test_grace_over_cancels_a_stream_blocked_in_python(self, kind):
        probe = Probe()
        running = Running(kind, probe)
        with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
            call = channel.unary_stream("/%s/stuck" % SERVICE)(b"g", timeout=WAIT)
            assert probe.entered.acquire(timeout=WAIT)
            started = time.monotonic()
            assert running.stop(0.2).wait(WAIT)
            assert time.monotonic() - started < WAIT / 2
            with pytest.raises(grpc.RpcError) as raised:
                next(call)
            assert raised.value.code() in (grpc.StatusCode.CANCELLED, grpc.StatusCode.UNAVAILABLE)
            assert wait_until(lambda: probe.callbacks == [b"g"])
        # The handler wakes after the server is gone: its first send fails.
        probe.release.set()
        assert wait_until(lambda: probe.closed == [(b"g", False)])
        if kind == "native":
            assert running.server._core.wait_idle(WAIT)

    def test_stop_with_grace_lets_a_stream_finish(self, kind):
        probe = Probe()
        running = Running(kind, probe)
        with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
            call = channel.unary_stream("/%s/watch" % SERVICE)(b"s", timeout=WAIT)
            assert next(call) == b"serving"
            assert probe.entered.acquire(timeout=WAIT)
            stopped = running.stop(WAIT)
            assert not stopped.is_set()
            probe.release.set()
            assert list(call) == [b"changed", b"changed again"]
            assert stopped.wait(WAIT)

    def test_wait_for_termination_times_out_while_serving(self, kind):
        running = Running(kind, Probe())
        try:
            assert running.server.wait_for_termination(timeout=0.05) is True
        finally:
            running.stop(None)
        assert running.server.wait_for_termination(timeout=WAIT) is False

    def test_max_workers_bounds_handlers_at_once(self, kind):
        probe = Probe()
        running = Running(kind, probe, workers=2)
        with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
            block = channel.unary_unary("/%s/block" % SERVICE)
            calls = [block.future(b"%d" % i, timeout=WAIT) for i in range(4)]
            assert probe.entered.acquire(timeout=WAIT) and probe.entered.acquire(timeout=WAIT)
            time.sleep(0.3)
            assert probe.most == 2
            probe.release.set()
            assert sorted(c.result(timeout=WAIT) for c in calls) == [
                b"released:%d" % i for i in range(4)]
        running.stop(0).wait(WAIT)

    def test_maximum_concurrent_rpcs(self, kind):
        probe = Probe()
        running = Running(kind, probe, maximum_concurrent_rpcs=1)
        with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
            first = channel.unary_unary("/%s/block" % SERVICE).future(b"1", timeout=WAIT)
            assert probe.entered.acquire(timeout=WAIT)
            with pytest.raises(grpc.RpcError) as raised:
                channel.unary_unary("/%s/echo" % SERVICE)(b"", timeout=WAIT)
            assert raised.value.code() is grpc.StatusCode.RESOURCE_EXHAUSTED
            probe.release.set()
            assert first.result(timeout=WAIT) == b"released:1"
        running.stop(0).wait(WAIT)

    def test_receive_limit_refuses_large_requests(self, kind):
        running = Running(kind, Probe(), options=[("grpc.max_receive_message_length", 1024)])
        with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
            echo = channel.unary_unary("/%s/echo" % SERVICE)
            assert echo(b"x" * 1000, timeout=WAIT) == b"x" * 1000
            with pytest.raises(grpc.RpcError) as raised:
                echo(b"x" * 2000, timeout=WAIT)
            assert raised.value.code() is grpc.StatusCode.RESOURCE_EXHAUSTED
        running.stop(0).wait(WAIT)


@pytest.mark.parametrize("kind", ENGINES)
def test_wait_for_ready_across_a_restart(kind):
    """A cached channel fails fast while its server is down, unless the call
    waits for ready; then it goes through once the server is back."""
    port = free_port()
    probe = Probe()
    channel = transport(kind).insecure_channel("127.0.0.1:%d" % port)
    echo = channel.unary_unary("/%s/echo" % SERVICE)
    try:
        first = Running("native" if NATIVE else "grpcio", probe, port=port)
        assert echo(b"1", timeout=WAIT) == b"1"
        first.stop(0).wait(WAIT)
        with pytest.raises(grpc.RpcError) as raised:
            echo(b"2", timeout=WAIT)
        assert raised.value.code() is grpc.StatusCode.UNAVAILABLE
        waiting = echo.future(b"3", timeout=WAIT, wait_for_ready=True)
        time.sleep(0.3)
        assert not waiting.done()
        second = Running("grpcio", probe, port=port)
        assert waiting.result(timeout=WAIT) == b"3"
        second.stop(0).wait(WAIT)
    finally:
        channel.close()


@needs_native
class TestNativeServerWire:
    """The native server's connection policies, seen on the wire with frames
    written by hand: how it sends clients away, whom it refuses, and when."""

    @pytest.fixture
    def h2(self):
        return pytest.importorskip("h2frames")

    def path(self, name):
        return "/%s/%s" % (SERVICE, name)

    def test_stop_announces_goaway_then_names_the_last_stream(self, h2):
        probe = Probe()
        running = Running("native", probe)
        try:
            with h2.Client(running.port) as client:
                first = client.call(self.path("block"), b"g")
                assert probe.entered.acquire(timeout=WAIT)
                stopped = running.stop(WAIT)
                # The notice (no stream named) and a PING, left unanswered for now.
                seen = {}
                while len(seen) < 2:
                    f = client.reader.read_frame(WAIT)
                    assert f is not None, seen
                    if f.kind in (h2.GOAWAY, h2.PING):
                        seen[f.kind] = f.payload
                assert seen[h2.GOAWAY][:8] == b"\x7f\xff\xff\xff\x00\x00\x00\x00"
                # A stream begun before the client heard of the stop: taken,
                # then refused as retryable, since the server is stopping.
                late = client.call(self.path("echo"), b"late")
                assert client.finish(late).reset == h2.REFUSED_STREAM
                client.send(h2.ping(seen[h2.PING], ack=True))
                assert client.wait(lambda: client.goaway is not None)
                assert client.goaway == (late, h2.NO_ERROR)
                assert not stopped.is_set()
                probe.release.set()
                answer = client.finish(first)
                assert (answer.grpc_status, answer.messages) == (0, [b"released:g"])
                assert client.wait_closed(WAIT)
                assert stopped.wait(WAIT)
        finally:
            probe.release.set()
            running.stop(None)

    def test_pings_without_replies_past_the_strikes_end_the_connection(self, h2):
        options = [("grpc.http2.min_ping_interval_without_data_ms", 60000),
                   ("grpc.http2.max_ping_strikes", 2)]
        running = Running("native", Probe(), options=options)
        try:
            with h2.Client(running.port) as client:
                for i in range(3):  # a ping after each reply is no strike
                    answer = client.finish(client.call(self.path("echo"), b"%d" % i))
                    assert answer.grpc_status == 0
                    client.send(h2.ping(b"after-%02d" % i))
                assert client.finish(client.call(self.path("echo"), b"ok")).grpc_status == 0
                assert client.goaway is None
                for i in range(4):
                    client.send(h2.ping(b"burst-%02d" % i))
                assert client.wait_closed(WAIT)
                assert client.goaway is not None
                assert client.goaway[1] == h2.ENHANCE_YOUR_CALM
        finally:
            running.stop(None)

    def test_a_unary_request_needs_exactly_one_message(self, h2):
        running = Running("native", Probe())
        try:
            with h2.Client(running.port) as client:
                none = client.new_id()
                client.send(h2.headers_frames(none, h2.request_headers(self.path("echo")),
                                              end_stream=True))
                two = client.new_id()
                client.send(h2.headers_frames(two, h2.request_headers(self.path("echo")))
                            + h2.data_frames(two, h2.grpc_message(b"a") + h2.grpc_message(b"b"),
                                             end_stream=True))
                torn = client.new_id()
                client.send(h2.headers_frames(torn, h2.request_headers(self.path("echo")))
                            + h2.data_frames(torn, h2.grpc_message(b"abc")[:-1], end_stream=True))
                for stream_id, code in ((none, 12), (two, 12), (torn, 13)):
                    answer = client.finish(stream_id)
                    assert (answer.grpc_status, answer.messages) == (code, []), answer.headers
                    assert len(answer.headers) == 1  # Trailers-Only
                answer = client.finish(client.call(self.path("echo"), b"one"))
                assert (answer.grpc_status, answer.messages) == (0, [b"one"])
        finally:
            running.stop(None)

    def test_a_passed_deadline_ends_the_call_as_deadline_exceeded(self, h2):
        probe = Probe()
        running = Running("native", probe)
        try:
            with h2.Client(running.port) as client:
                started = time.monotonic()
                answer = client.finish(client.call(self.path("block"), b"d", timeout="200m"))
                assert answer.grpc_status == 4 and answer.reset is None
                assert 0.15 < time.monotonic() - started < WAIT / 2
                # The handler still runs: it sees its call cancelled, and the
                # call's callbacks have run.
                assert wait_until(lambda: probe.callbacks == [b"d"])
                assert not probe.contexts[0].is_active()
        finally:
            probe.release.set()
            running.stop(None)

    def test_a_stream_waits_for_a_slow_reader(self, h2):
        """Messages wait for the client's window: a reader that never widens
        it holds the handler once the send queue (512 KiB) is full, not
        server memory."""
        produced, ended = [], threading.Event()

        def endless(request, context):
            try:
                for i in range(1000):
                    produced.append(i)
                    yield b"z" * 65536
            finally:
                ended.set()

        server = transport("native").server(futures.ThreadPoolExecutor(max_workers=2))
        server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
            SERVICE, {"endless": grpc.unary_stream_rpc_method_handler(endless)}),))
        port = server.add_insecure_port("127.0.0.1:0")
        server.start()
        try:
            with h2.Client(port, preface=False) as client:
                client.send(h2.PREFACE + h2.settings())  # 64 KiB windows, never widened
                stream_id = client.new_id()
                client.send(h2.request(stream_id, self.path("endless")))
                assert wait_until(lambda: produced)
                time.sleep(0.3)
                # One message in the window, the queue's worth, one waiting.
                bound = 1 + (512 << 10) // 65536 + 1
                assert len(produced) <= bound
                client.send(h2.rst_stream(stream_id))
                assert ended.wait(WAIT)
                assert len(produced) <= bound
        finally:
            server.stop(None)

    def test_an_old_connection_is_drained_then_cut_after_its_grace(self, h2):
        probe = Probe()
        options = [("grpc.max_connection_age_ms", 300), ("grpc.max_connection_age_grace_ms", 300)]
        running = Running("native", probe, options=options)
        try:
            with h2.Client(running.port) as client:
                stream_id = client.call(self.path("block"), b"old")
                assert probe.entered.acquire(timeout=WAIT)
                started = time.monotonic()
                assert client.finish(stream_id).reset == h2.CANCEL
                assert 0.2 < time.monotonic() - started < WAIT / 2
                assert client.goaway == (stream_id, h2.NO_ERROR)
                assert client.wait_closed(WAIT)
            assert wait_until(lambda: probe.callbacks == [b"old"])
            with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
                assert channel.unary_unary(self.path("echo"))(b"new", timeout=WAIT) == b"new"
        finally:
            probe.release.set()
            running.stop(None)

    def test_an_idle_connection_is_sent_away(self, h2):
        running = Running("native", Probe(), options=[("grpc.max_connection_idle_ms", 200)])
        try:
            with h2.Client(running.port) as client:
                first = client.call(self.path("echo"), b"x")
                assert client.finish(first).grpc_status == 0
                assert client.wait_closed(WAIT)
                assert client.goaway == (first, h2.NO_ERROR)
            with grpc.insecure_channel("127.0.0.1:%d" % running.port) as channel:
                assert channel.unary_unary(self.path("echo"))(b"y", timeout=WAIT) == b"y"
        finally:
            running.stop(None)


@needs_native
def test_mixed_load_from_64_threads():
    """64 client threads, each mixing good calls, failures and deadlines, over
    one native channel to a native server with 8 workers: every call gets its
    own right outcome."""
    probe = Probe()
    running = Running("native", probe, workers=8)
    channel = transport("native").insecure_channel("127.0.0.1:%d" % running.port)
    errors = []
    counts = {"ok": 0, "failed": 0, "deadline": 0}
    lock = threading.Lock()

    def client(n):
        try:
            for i in range(40):
                kind = (n + i) % 3
                if kind == 0:
                    payload = b"%d-%d" % (n, i)
                    assert channel.unary_unary("/%s/echo" % SERVICE)(payload, timeout=WAIT) == payload
                    outcome = "ok"
                elif kind == 1:
                    with pytest.raises(grpc.RpcError) as raised:
                        channel.unary_unary("/%s/fail" % SERVICE)(b"%d" % n, timeout=WAIT)
                    assert raised.value.details() == "Exception calling application: broken: %d" % n
                    outcome = "failed"
                else:
                    with pytest.raises(grpc.RpcError) as raised:
                        channel.unary_unary("/%s/nap" % SERVICE)(b"0.5", timeout=0.01)
                    assert raised.value.code() is grpc.StatusCode.DEADLINE_EXCEEDED
                    outcome = "deadline"
                with lock:
                    counts[outcome] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=client, args=(n,)) for n in range(64)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    channel.close()
    running.stop(0).wait(WAIT)
    assert not errors, errors[:3]
    assert sum(counts.values()) == 64 * 40 and min(counts.values()) > 0
