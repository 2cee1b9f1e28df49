"""The transport engines: selection, and the native engine behaving as grpcio's.

Every behavioural test runs on each pairing of client and server engine that
applies (grpcio and native, both ways), against raw method handlers, so that
what the native engine does is compared with what grpcio does in the same run.
"""
import os
import subprocess
import sys
import threading
import time
from concurrent import futures

import grpc
import pytest

from conftest import free_port
from sorvane import engine

NATIVE = engine.native_available()
needs_native = pytest.mark.skipif(not NATIVE, reason="the native engine was not built")
ENGINES = ["grpcio", "native"] if NATIVE else ["grpcio"]
SERVICE = "test.Probe"
WAIT = 10


def transport(name):
    return engine.transport(name)


class Probe:
    """Raw unary handlers (bytes in, bytes out) exercising the context."""

    def __init__(self):
        self.entered = threading.Semaphore(0)
        self.release = threading.Event()
        self.callbacks = []
        self.contexts = []
        self.running = 0
        self.most = 0
        self.lock = threading.Lock()

    def echo(self, request, context):
        return request

    def fail(self, request, context):
        raise ValueError("broken: " + request.decode())

    def abort(self, request, context):
        context.abort(grpc.StatusCode.NOT_FOUND, "no such thing")

    def abort_status(self, request, context):
        class Status(grpc.Status):
            code = grpc.StatusCode.FAILED_PRECONDITION
            details = "not now"
            trailing_metadata = (("why", "busy"),)
        context.abort_with_status(Status())

    def codes(self, request, context):
        context.set_code(grpc.StatusCode.ALREADY_EXISTS)
        context.set_details("it is there")
        context.set_trailing_metadata((("k", "v"), ("k-bin", b"\x00\x01")))
        return b""

    def trailing(self, request, context):
        context.set_trailing_metadata((("answer", "42"),))
        return b"ok"

    def look(self, request, context):
        metadata = dict(context.invocation_metadata())
        remaining = context.time_remaining()
        return repr((metadata.get("x-probe"), metadata.get("x-probe-bin"),
                     context.peer().startswith(("ipv4:127.0.0.1:", "ipv6:")),
                     context.is_active(), remaining is None or remaining > 0)).encode()

    def remaining(self, request, context):
        return repr(context.time_remaining()).encode()

    def block(self, request, context):
        context.add_callback(lambda: self.callbacks.append(request))
        self.contexts.append(context)
        with self.lock:
            self.running += 1
            self.most = max(self.most, self.running)
        self.entered.release()
        try:
            self.release.wait(WAIT)
        finally:
            with self.lock:
                self.running -= 1
        return b"released:" + request

    def nap(self, request, context):
        time.sleep(float(request))
        return b"slept"

    def handlers(self):
        names = ("echo", "fail", "abort", "abort_status", "codes", "trailing", "look", "block",
                 "nap", "remaining")
        table = {n: grpc.unary_unary_rpc_method_handler(getattr(self, n)) for n in names}
        return grpc.method_handlers_generic_handler(SERVICE, table)


class Running:
    def __init__(self, kind, probe, workers=4, options=None, maximum_concurrent_rpcs=None,
                 port=None):
        self.kind = kind
        self.port = port or free_port()
        self.server = transport(kind).server(
            futures.ThreadPoolExecutor(max_workers=workers), options=options,
            maximum_concurrent_rpcs=maximum_concurrent_rpcs)
        self.server.add_generic_rpc_handlers((probe.handlers(),))
        assert self.server.add_insecure_port("127.0.0.1:%d" % self.port) == self.port
        self.server.start()

    def stop(self, grace=0):
        return self.server.stop(grace)


@pytest.fixture(params=[(c, s) for c in ENGINES for s in ENGINES], ids=lambda p: "%s-to-%s" % p)
def pair(request):
    """(probe, callable factory) for a client engine talking to a server engine."""
    client_kind, server_kind = request.param
    probe = Probe()
    running = Running(server_kind, probe)
    channel = transport(client_kind).insecure_channel("127.0.0.1:%d" % running.port)

    def method(name):
        return channel.unary_unary("/%s/%s" % (SERVICE, name))

    yield probe, method, running
    probe.release.set()
    channel.close()
    running.stop(0).wait(WAIT)


class TestSelection:
    def run(self, code, **env):
        environ = dict(os.environ)
        environ.pop("SORVANE_ENGINE", None)
        environ.update(env)
        return subprocess.run([sys.executable, "-c", code], env=environ, capture_output=True,
                              text=True, timeout=60)

    def test_default_and_explicit_choices(self):
        code = "from sorvane import engine, corvex; print(engine.current(), corvex.transport.__name__)"
        default = self.run(code)
        assert default.returncode == 0, default.stderr
        expected = "native sorvane.native_grpc" if NATIVE else "grpcio grpc"
        assert default.stdout.split() == expected.split()
        chosen = self.run(code, SORVANE_ENGINE="grpcio")
        assert chosen.stdout.split() == ["grpcio", "grpc"]

    def test_unknown_engine_fails_at_import(self):
        result = self.run("import sorvane.corvex", SORVANE_ENGINE="turbo")
        assert result.returncode != 0
        assert "SORVANE_ENGINE=turbo" in result.stderr and "native, grpcio" in result.stderr

    def test_native_where_not_built_says_how_to_build(self, monkeypatch):
        monkeypatch.setattr(engine, "native_available", lambda: False)
        with pytest.raises(RuntimeError, match="libgrpc\\+\\+-dev"):
            engine.select("native")

    @needs_native
    def test_select_rebinds_what_corvex_uses(self):
        from sorvane import corvex
        before = engine.current()
        try:
            assert engine.select("grpcio") is grpc
            assert corvex.transport is grpc
            engine.select("native")
            assert corvex.transport.__name__ == "sorvane.native_grpc"
        finally:
            engine.select(before)


@needs_native
class TestNativeInterfaces:
    def test_server_and_channel_are_grpcio_interfaces(self):
        native = transport("native")
        server = native.server(futures.ThreadPoolExecutor(max_workers=2))
        channel = native.insecure_channel("127.0.0.1:%d" % free_port())
        try:
            assert isinstance(server, grpc.Server)
            assert isinstance(channel, grpc.Channel)
            assert isinstance(channel.unary_unary("/a/b"), grpc.UnaryUnaryMultiCallable)
        finally:
            channel.close()
            server.stop(None)

    def test_streaming_is_refused_clearly(self):
        native = transport("native")
        server = native.server(futures.ThreadPoolExecutor(max_workers=2))
        stream = grpc.unary_stream_rpc_method_handler(lambda r, c: iter(()))
        with pytest.raises(ValueError, match="unary-unary"):
            server.add_generic_rpc_handlers(
                (grpc.method_handlers_generic_handler("s.S", {"m": stream}),))
        channel = native.insecure_channel("127.0.0.1:1")
        with pytest.raises(NotImplementedError, match="SORVANE_ENGINE=grpcio"):
            channel.unary_stream("/s.S/m")
        channel.close()
        server.stop(None)

    def test_interceptors_are_refused(self):
        with pytest.raises(ValueError, match="interceptors"):
            transport("native").server(futures.ThreadPoolExecutor(1), interceptors=[object()])

    def test_closed_channel_refuses_calls(self):
        channel = transport("native").insecure_channel("127.0.0.1:%d" % free_port())
        channel.close()
        with pytest.raises(ValueError, match="closed channel"):
            channel.unary_unary("/a/b")(b"")

    def test_binding_a_taken_port_fails(self):
        probe = Probe()
        running = Running("native", probe)
        other = transport("native").server(futures.ThreadPoolExecutor(1))
        try:
            with pytest.raises(RuntimeError, match="Failed to bind"):
                other.add_insecure_port("999.0.0.1:%d" % running.port)
        finally:
            other.stop(None)
            running.stop(0).wait(WAIT)

    def test_port_zero_gives_the_bound_port(self):
        server = transport("native").server(futures.ThreadPoolExecutor(1))
        port = server.add_insecure_port("127.0.0.1:0")
        assert port > 0
        server.add_generic_rpc_handlers((Probe().handlers(),))
        server.start()
        with transport("native").insecure_channel("127.0.0.1:%d" % port) as channel:
            assert channel.unary_unary("/%s/echo" % SERVICE)(b"hi", timeout=WAIT) == b"hi"
        server.stop(None)


class TestCalls:
    def test_echo_and_with_call(self, pair):
        _, method, _ = pair
        assert method("echo")(b"hello", timeout=WAIT) == b"hello"
        response, call = method("trailing").with_call(b"", timeout=WAIT)
        assert response == b"ok"
        assert call.code() is grpc.StatusCode.OK
        assert ("answer", "42") in [tuple(m) for m in call.trailing_metadata()]

    def test_handler_exception_ends_with_unknown(self, pair):
        _, method, _ = pair
        with pytest.raises(grpc.RpcError) as raised:
            method("fail")(b"x", timeout=WAIT)
        error = raised.value
        assert isinstance(error, grpc.Call)
        assert error.code() is grpc.StatusCode.UNKNOWN
        assert error.details() == "Exception calling application: broken: x"

    def test_abort_and_abort_with_status(self, pair):
        _, method, _ = pair
        with pytest.raises(grpc.RpcError) as raised:
            method("abort")(b"", timeout=WAIT)
        assert (raised.value.code(), raised.value.details()) == (
            grpc.StatusCode.NOT_FOUND, "no such thing")
        with pytest.raises(grpc.RpcError) as raised:
            method("abort_status")(b"", timeout=WAIT)
        assert (raised.value.code(), raised.value.details()) == (
            grpc.StatusCode.FAILED_PRECONDITION, "not now")
        assert ("why", "busy") in [tuple(m) for m in raised.value.trailing_metadata()]

    def test_set_code_details_and_binary_trailing_metadata(self, pair):
        _, method, _ = pair
        with pytest.raises(grpc.RpcError) as raised:
            method("codes")(b"", timeout=WAIT)
        assert raised.value.code() is grpc.StatusCode.ALREADY_EXISTS
        assert raised.value.details() == "it is there"
        trailing = [tuple(m) for m in raised.value.trailing_metadata()]
        assert ("k", "v") in trailing and ("k-bin", b"\x00\x01") in trailing

    def test_context_sees_metadata_peer_and_deadline(self, pair):
        _, method, _ = pair
        seen = method("look")(b"", timeout=WAIT,
                              metadata=(("x-probe", "yes"), ("x-probe-bin", b"\xff")))
        assert seen == repr(("yes", b"\xff", True, True, True)).encode()

    def test_time_remaining_with_and_without_deadline(self, pair):
        _, method, _ = pair
        # gRPC rounds the timeout it sends up to its wire format's precision.
        assert 0 < float(method("remaining")(b"", timeout=5)) <= 5.1
        # grpcio's answer without a deadline: the seconds until gRPC's end of time.
        assert float(method("remaining")(b"")) > 9e18

    def test_metadata_items_have_named_fields(self, pair):
        _, method, _ = pair
        _, call = method("trailing").with_call(b"", timeout=WAIT)
        item = [m for m in call.trailing_metadata() if m[0] == "answer"][0]
        assert (item.key, item.value) == ("answer", "42")

    def test_unknown_method_is_unimplemented(self, pair):
        _, method, _ = pair
        with pytest.raises(grpc.RpcError) as raised:
            method("nothing")(b"", timeout=WAIT)
        assert raised.value.code() is grpc.StatusCode.UNIMPLEMENTED

    def test_deadline_exceeded(self, pair):
        _, method, _ = pair
        started = time.monotonic()
        with pytest.raises(grpc.RpcError) as raised:
            method("nap")(b"2", timeout=0.3)
        assert raised.value.code() is grpc.StatusCode.DEADLINE_EXCEEDED
        assert time.monotonic() - started < 1.5

    def test_future_result_callbacks_and_cancel(self, pair):
        probe, method, _ = pair
        future = method("echo").future(b"later", timeout=WAIT)
        done = threading.Event()
        future.add_done_callback(lambda f: done.set())
        assert future.result(timeout=WAIT) == b"later"
        assert done.wait(WAIT) and future.done() and not future.cancelled()
        blocked = method("block").future(b"c", timeout=WAIT)
        assert probe.entered.acquire(timeout=WAIT)
        assert blocked.cancel()
        assert blocked.cancelled()
        with pytest.raises(grpc.FutureCancelledError):
            blocked.result(timeout=WAIT)
        # The server's context sees the cancellation and runs the callback.
        deadline = time.monotonic() + WAIT
        while probe.contexts[0].is_active() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert not probe.contexts[0].is_active()
        while not probe.callbacks and time.monotonic() < deadline:
            time.sleep(0.01)
        assert probe.callbacks == [b"c"]

    def test_future_failure_is_an_rpc_error(self, pair):
        _, method, _ = pair
        future = method("fail").future(b"f", timeout=WAIT)
        error = future.exception(timeout=WAIT)
        assert isinstance(error, grpc.RpcError) and error.code() is grpc.StatusCode.UNKNOWN
        with pytest.raises(grpc.RpcError):
            future.result()

    def test_blocked_handler_while_others_are_served(self, pair):
        probe, method, _ = pair
        blocked = method("block").future(b"b", timeout=WAIT)
        assert probe.entered.acquire(timeout=WAIT)
        started = time.monotonic()
        for i in range(20):
            assert method("echo")(b"%d" % i, timeout=WAIT) == b"%d" % i
        assert time.monotonic() - started < WAIT / 2
        probe.release.set()
        assert blocked.result(timeout=WAIT) == b"released:b"


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

