"""The native engine's channel: targets, connectivity, limits, queueing,
GOAWAY, threads, odd servers, fork, keepalive and flow control.
"""
import gc
import os
import subprocess
import sys
import threading
import time
from concurrent import futures

import grpc
import pytest

from conftest import free_port
from probe_support import ENGINES, SERVICE, WAIT, Probe, needs_native, transport, wait_until


def grpcio_server(probe=None, options=None, workers=4, port=0):
    """A grpcio server of the Probe on 127.0.0.1; (server, port)."""
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=workers), options=options)
    server.add_generic_rpc_handlers(((probe or Probe()).handlers(),))
    bound = server.add_insecure_port("127.0.0.1:%d" % port)
    assert bound and (port == 0 or bound == port)
    server.start()
    return server, bound


@needs_native
class TestNativeChannel:
    """The native channel host against grpcio's server and hand-written ones."""

    def test_target_forms_reach_the_server(self):
        server, port = grpcio_server()
        targets = ["127.0.0.1:%d", "dns:///127.0.0.1:%d", "dns://ignored/127.0.0.1:%d",
                   "ipv4:127.0.0.1:%d", "localhost:%d",
                   # pick_first: a refused address first, then the live one
                   "ipv4:127.0.0.2:%d,127.0.0.1:%%d" % free_port()]
        try:
            for target in targets:
                with transport("native").insecure_channel(target % port) as channel:
                    echo = channel.unary_unary("/%s/echo" % SERVICE)
                    assert echo(target.encode(), timeout=WAIT) == target.encode(), target
        finally:
            server.stop(0).wait(WAIT)

    def test_bad_targets_and_metadata_are_refused(self):
        for target in ("unix:/tmp/x", "ipv4:example.com:1", "[::1", "host:port"):
            with pytest.raises(ValueError):
                transport("native").insecure_channel(target)
        with transport("native").insecure_channel("127.0.0.1:%d" % free_port()) as channel:
            echo = channel.unary_unary("/%s/echo" % SERVICE)
            for metadata in ((("Upper", "v"),), (("grpc-timeout", "1S"),), (("k", "line\n"),),
                             ((":path", "/x"),), (("", "v"),)):
                with pytest.raises(ValueError, match="metadata was invalid"):
                    echo(b"", timeout=WAIT, metadata=metadata)

    def test_connectivity_follows_gRPC_states(self):
        idle, connecting, ready, failure, shutdown = range(5)
        dead = transport("native").insecure_channel("127.0.0.1:%d" % free_port())
        assert dead._core.connectivity(False) == idle
        dead._core.connectivity(True)
        assert wait_until(lambda: dead._core.connectivity(False) == failure)
        dead.close()
        assert dead._core.connectivity(False) == shutdown
        server, port = grpcio_server()
        try:
            channel = transport("native").insecure_channel("127.0.0.1:%d" % port)
            assert channel._core.connectivity(True) in (idle, connecting)
            assert wait_until(lambda: channel._core.connectivity(False) == ready)
            seen = []
            channel.subscribe(seen.append)
            assert wait_until(lambda: seen == [grpc.ChannelConnectivity.READY])
            server.stop(0).wait(WAIT)
            # Lost after READY: IDLE, not a failure, until a call needs it.
            assert wait_until(lambda: channel._core.connectivity(False) == idle)
            channel.close()
        finally:
            server.stop(0).wait(WAIT)

    def test_calls_succeed_soon_after_the_server_returns(self):
        """Backoff grows while the server is down; a call still gets through
        within 3 s of the server accepting connections again."""
        port = free_port()
        server, _ = grpcio_server(port=port)
        channel = transport("native").insecure_channel("127.0.0.1:%d" % port)
        echo = channel.unary_unary("/%s/echo" % SERVICE)
        try:
            assert echo(b"up", timeout=WAIT) == b"up"
            server.stop(0).wait(WAIT)
            failures, until = 0, time.monotonic() + 3
            while time.monotonic() < until:  # several failed attempts: backoff > 1 s
                with pytest.raises(grpc.RpcError) as raised:
                    echo(b"down", timeout=WAIT)
                assert raised.value.code() is grpc.StatusCode.UNAVAILABLE
                assert "Connection refused" in raised.value.details()
                failures += 1
                time.sleep(0.05)
            assert failures > 10
            server, _ = grpcio_server(port=port)
            back = time.monotonic()
            while True:
                try:
                    assert echo(b"again", timeout=WAIT) == b"again"
                    break
                except grpc.RpcError as error:
                    assert error.code() is grpc.StatusCode.UNAVAILABLE
                    assert time.monotonic() - back < 3
                    time.sleep(0.05)
            # A call made a while after the comeback, with no call between, succeeds at once.
            server.stop(0).wait(WAIT)
            with pytest.raises(grpc.RpcError):
                echo(b"down", timeout=WAIT)
            server, _ = grpcio_server(port=port)
            time.sleep(1.2)
            assert echo(b"first", timeout=WAIT) == b"first"
        finally:
            channel.close()
            server.stop(0).wait(WAIT)

    def test_wait_for_ready_waits_out_its_deadline(self):
        with transport("native").insecure_channel("127.0.0.1:%d" % free_port()) as channel:
            echo = channel.unary_unary("/%s/echo" % SERVICE)
            started = time.monotonic()
            with pytest.raises(grpc.RpcError) as raised:
                echo(b"", timeout=0.5, wait_for_ready=True)
            assert raised.value.code() is grpc.StatusCode.DEADLINE_EXCEEDED
            assert 0.45 < time.monotonic() - started < 3

    def test_message_limits_both_ways(self):
        server, port = grpcio_server()
        options = [("grpc.max_send_message_length", 100),
                   ("grpc.max_receive_message_length", 150)]
        try:
            with transport("native").insecure_channel("127.0.0.1:%d" % port, options) as channel:
                echo = channel.unary_unary("/%s/echo" % SERVICE)
                assert echo(b"x" * 100, timeout=WAIT) == b"x" * 100
                with pytest.raises(grpc.RpcError) as raised:
                    echo(b"x" * 101, timeout=WAIT)
                assert raised.value.code() is grpc.StatusCode.RESOURCE_EXHAUSTED
                assert raised.value.details() == "Sent message larger than max (101 vs. 100)"
                count = channel.unary_stream("/%s/big" % SERVICE)(b"1", timeout=WAIT)
                with pytest.raises(grpc.RpcError) as raised:
                    next(count)
                assert raised.value.code() is grpc.StatusCode.RESOURCE_EXHAUSTED
                assert raised.value.details() == "Received message larger than max (65536 vs. 150)"
                assert echo(b"still fine", timeout=WAIT) == b"still fine"
        finally:
            server.stop(0).wait(WAIT)

    def test_calls_over_max_concurrent_streams_queue_and_cancel(self):
        """Streams beyond the server's limit wait inside the connection; one
        cancelled there never reaches the server, and the rest go on."""
        probe = Probe()
        server, port = grpcio_server(probe, options=[("grpc.max_concurrent_streams", 1)])
        try:
            with transport("native").insecure_channel("127.0.0.1:%d" % port) as channel:
                block = channel.unary_unary("/%s/block" % SERVICE)
                first = block.future(b"1", timeout=WAIT)
                assert probe.entered.acquire(timeout=WAIT)
                queued = block.future(b"2", timeout=WAIT)
                time.sleep(0.2)
                assert queued.cancel()
                assert queued.code() is grpc.StatusCode.CANCELLED
                probe.release.set()
                assert first.result(timeout=WAIT) == b"released:1"
                # The cancelled stream's HEADERS still went out (the server's
                # HPACK table stays in step): later calls on the connection work.
                echo = channel.unary_unary("/%s/echo" % SERVICE)
                assert [echo(b"%d" % i, timeout=WAIT) for i in range(3)] == [b"0", b"1", b"2"]
                assert b"2" not in probe.callbacks
        finally:
            probe.release.set()
            server.stop(0).wait(WAIT)

    def test_connections_replaced_by_goaway_lose_no_call(self):
        server, port = grpcio_server(options=[("grpc.max_connection_age_ms", 100),
                                              ("grpc.max_connection_age_grace_ms", 5000)])
        try:
            with transport("native").insecure_channel("127.0.0.1:%d" % port) as channel:
                echo = channel.unary_unary("/%s/echo" % SERVICE)
                until = time.monotonic() + 1.5
                calls = 0
                while time.monotonic() < until:
                    futures_ = [echo.future(b"%d" % i, timeout=WAIT) for i in range(8)]
                    assert [f.result(timeout=WAIT) for f in futures_] == [
                        b"%d" % i for i in range(8)]
                    calls += 8
                assert calls > 100
        finally:
            server.stop(0).wait(WAIT)

    @pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads counted on Linux")
    def test_channels_leave_no_thread_behind(self):
        server, port = grpcio_server(workers=1)  # a pool that cannot grow meanwhile
        try:
            def use_one():
                with transport("native").insecure_channel("127.0.0.1:%d" % port) as channel:
                    assert channel.unary_unary("/%s/echo" % SERVICE)(b"t", timeout=WAIT) == b"t"
            for _ in range(10):  # grpcio's own threads start on their first calls
                use_one()
            before = len(os.listdir("/proc/self/task"))
            for _ in range(30):
                use_one()
            gc.collect()
            # A thread an earlier test left (a callback thread, a server's
            # stop) may still come and go meanwhile; one per channel stays.
            assert wait_until(lambda: len(os.listdir("/proc/self/task")) <= before, timeout=5)
        finally:
            server.stop(0).wait(WAIT)


@pytest.fixture(scope="class")
def odd():
    """A hand-written HTTP/2 server whose answer the method name picks."""
    pytest.importorskip("hpack")
    h2 = pytest.importorskip("h2frames")

    def ok(sid, body=b"ok", trailers=(("grpc-status", "0"),), extra=()):
        return (h2.headers_frames(sid, [(":status", "200"),
                                        ("content-type", "application/grpc")] + list(extra))
                + h2.data_frames(sid, h2.grpc_message(body))
                + h2.headers_frames(sid, list(trailers), end_stream=True))

    def begin(sid, *extra):
        return h2.headers_frames(sid, [(":status", "200"),
                                       ("content-type", "application/grpc")] + list(extra))

    answers = {
        "ok": lambda sid: ok(sid),
        "http503": lambda sid: h2.headers_frames(sid, [(":status", "503")], end_stream=True),
        "compressed": lambda sid: begin(sid) + h2.data_frames(
            sid, h2.grpc_message(b"z", compressed=True)),
        "gzip": lambda sid: begin(sid, ("grpc-encoding", "gzip")) + h2.data_frames(
            sid, h2.grpc_message(b"z", compressed=True)),
        "bigmeta": lambda sid: ok(sid, extra=[("x-big", "v" * 20000)]),
        "goaway": lambda sid: h2.goaway(0),
    }

    def respond(sid, headers, body):
        return answers[headers[":path"].rsplit("/", 1)[1]](sid)

    server = h2.RawServer(respond)
    yield server
    server.stop()


@needs_native
class TestNativeChannelOddServers:
    """How the channel reads what a hand-written server answers (the status
    and metadata tables every client engine must follow are in test_http2)."""

    def call(self, odd, name, options=None, **kwargs):
        with transport("native").insecure_channel(odd.address, options) as channel:
            return channel.unary_unary("/%s/%s" % (SERVICE, name)).with_call(
                b"req", timeout=WAIT, **kwargs)

    def failure(self, odd, name):
        with pytest.raises(grpc.RpcError) as raised:
            self.call(odd, name)
        return raised.value

    def test_request_headers_in_order(self, odd):
        del odd.requests[:]
        response, _ = self.call(odd, "ok", metadata=(("x-a", "1"), ("x-b-bin", b"\x00\xff")))
        assert response == b"ok"
        self.call(odd, "ok", [("grpc.default_authority", "svc.example")])
        (first, body), (second, _) = odd.requests
        assert list(first)[:4] == [":method", ":scheme", ":path", ":authority"]
        assert first[":method"] == "POST" and first[":scheme"] == "http"
        assert first[":path"] == "/%s/ok" % SERVICE
        assert first[":authority"] == odd.address
        assert second[":authority"] == "svc.example"
        assert first["te"] == "trailers" and first["content-type"] == "application/grpc"
        assert first["grpc-accept-encoding"] == "identity"
        assert first["user-agent"].startswith("grpc-python-sorvane/")
        assert first["grpc-timeout"][-1] in "HMSmun" and 0 < int(first["grpc-timeout"][:-1])
        assert first["x-a"] == "1" and first["x-b-bin"] == "AP8"  # base64 without padding
        assert body == b"\x00\x00\x00\x00\x03req"

    @pytest.mark.parametrize("name,code,details", [
        ("http503", grpc.StatusCode.UNAVAILABLE, "Received http2 header with status: 503"),
        ("compressed", grpc.StatusCode.INTERNAL, None),
        ("gzip", grpc.StatusCode.UNIMPLEMENTED, None),
        ("bigmeta", grpc.StatusCode.RESOURCE_EXHAUSTED, "metadata size exceeds limit"),
        ("goaway", grpc.StatusCode.UNAVAILABLE, None),
    ])
    def test_odd_replies_end_with_gRPC_codes(self, odd, name, code, details):
        error = self.failure(odd, name)
        assert error.code() is code, error
        if details is not None:
            assert details in error.details()


FORKED_CHILD = r"""
import os, sys, warnings
warnings.simplefilter("ignore")
from sorvane import engine
native = engine.transport("native")
target, method = sys.argv[1], sys.argv[2]
with native.insecure_channel(target) as channel:
    assert channel.unary_unary(method)(b"parent", timeout=10) == b"parent"
    pid = os.fork()
    if pid == 0:
        # The parent's loop thread is not in the child: a new channel makes its own.
        try:
            with native.insecure_channel(target) as mine:
                ok = mine.unary_unary(method)(b"child", timeout=10) == b"child"
        except BaseException:
            ok = False
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    assert os.WEXITSTATUS(status) == 0, status
    assert channel.unary_unary(method)(b"again", timeout=10) == b"again"
print("forked fine")
"""


@needs_native
@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_a_forked_child_makes_channels_of_its_own():
    server, port = grpcio_server()
    try:
        done = subprocess.run(
            [sys.executable, "-c", FORKED_CHILD, "127.0.0.1:%d" % port, "/%s/echo" % SERVICE],
            capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and "forked fine" in done.stdout, done.stderr
    finally:
        server.stop(0).wait(WAIT)


@needs_native
def test_keepalive_ends_calls_on_a_silent_connection():
    """A server that stops answering (PINGs included) is given up on after
    keepalive_timeout, long before the call's own deadline."""
    h2 = pytest.importorskip("h2frames")
    import socket
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    held = []

    def silent():
        conn, _ = listener.accept()
        held.append(conn)
        conn.sendall(h2.settings())  # the handshake completes; then nothing more
        try:
            while conn.recv(65536):
                pass
        except OSError:
            pass

    thread = threading.Thread(target=silent, daemon=True)
    thread.start()
    options = [("grpc.keepalive_time_ms", 100), ("grpc.keepalive_timeout_ms", 200)]
    target = "127.0.0.1:%d" % listener.getsockname()[1]
    try:
        with transport("native").insecure_channel(target, options) as channel:
            started = time.monotonic()
            with pytest.raises(grpc.RpcError) as raised:
                channel.unary_unary("/%s/echo" % SERVICE)(b"", timeout=WAIT)
            assert raised.value.code() is grpc.StatusCode.UNAVAILABLE
            assert time.monotonic() - started < 2
    finally:
        for conn in held:
            conn.close()
        listener.close()
        thread.join(WAIT)


@needs_native
@pytest.mark.parametrize("server_kind", ENGINES)
def test_a_slow_reader_holds_the_server_back(server_kind):
    """The stream's window follows the native reader: while it does not read,
    the server can get only about a window's worth of messages ahead."""
    produced = []

    def flood(request, context):
        for i in range(200):
            produced.append(i)
            yield b"m" * 65536

    server = transport(server_kind).server(futures.ThreadPoolExecutor(max_workers=2))
    server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
        SERVICE, {"flood": grpc.unary_stream_rpc_method_handler(flood)}),))
    port = server.add_insecure_port("127.0.0.1:0")
    server.start()
    try:
        with transport("native").insecure_channel("127.0.0.1:%d" % port) as channel:
            call = channel.unary_stream("/%s/flood" % SERVICE)(b"", timeout=WAIT)
            assert next(call) == b"m" * 65536
            time.sleep(0.5)
            ahead = len(produced)
            assert ahead < 80, ahead  # 200 messages (12.5 MiB) without flow control
            assert sum(1 for _ in call) == 199
            assert len(produced) == 200
    finally:
        server.stop(0).wait(WAIT)
