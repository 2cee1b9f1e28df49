"""The transport engines: selection, and the native engine behaving as grpcio's.

Every behavioural test runs on each pairing of client and server engine that
applies (grpcio and native, both ways), against raw method handlers, so that
what the native engine does is compared with what grpcio does in the same run.
"""
import gc
import json
import logging
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
import weakref
from concurrent import futures

import grpc
import pytest

from conftest import free_port
from locations import REPO
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
        self.closed = []  # (request, context.is_active()) as each stream's generator ended
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

    def slow_callback(self, request, context):
        def late():
            time.sleep(1.0)
            self.callbacks.append(request)
        context.add_callback(late)
        return repr(isinstance(context, grpc.ServicerContext)).encode()

    # Streaming handlers (one request, a stream of responses).

    def count(self, request, context):
        for i in range(int(request)):
            yield b"%d" % i

    def big(self, request, context):
        # Far more than HTTP/2's flow-control windows: sends wait for the reader.
        for i in range(int(request)):
            yield bytes([i % 256]) * 65536

    def stream_fail(self, request, context):
        yield b"one"
        yield b"two"
        raise ValueError("broken mid-stream")

    def stream_abort(self, request, context):
        yield b"one"
        context.abort(grpc.StatusCode.NOT_FOUND, "gone")

    def stream_codes(self, request, context):
        yield b"one"
        context.set_trailing_metadata((("why", "partial"),))
        context.set_code(grpc.StatusCode.DATA_LOSS)
        context.set_details("lost the rest")

    def stream_look(self, request, context):
        metadata = dict(context.invocation_metadata())
        yield metadata.get("x-probe", "").encode()
        remaining = context.time_remaining()
        yield repr(remaining is not None and 0 < remaining <= WAIT + 0.1).encode()

    def not_an_iterator(self, request, context):
        return [b"a", b"b"]

    def watch(self, request, context):
        """What a health Watch does: answers at once, then waits (here for
        `release`, woken early when the call ends) before answering again."""
        ended = threading.Event()
        context.add_callback(lambda: (self.callbacks.append(request), ended.set()))
        self.contexts.append(context)
        with self.lock:
            self.running += 1
            self.most = max(self.most, self.running)
        try:
            yield b"serving"
            self.entered.release()
            while not self.release.is_set() and not ended.is_set():
                self.release.wait(0.01)
            yield b"changed"
            yield b"changed again"
        finally:
            with self.lock:
                self.running -= 1
            self.closed.append((request, context.is_active()))

    def stuck(self, request, context):
        """Blocks in Python before its first answer, ignoring the call's end."""
        context.add_callback(lambda: self.callbacks.append(request))
        self.entered.release()
        try:
            self.release.wait(WAIT)
            yield b"late"
            yield b"later"
        finally:
            self.closed.append((request, context.is_active()))

    def ticker(self, request, context):
        context.add_callback(lambda: self.callbacks.append(request))
        self.contexts.append(context)
        try:
            while True:
                yield b"tick"
                time.sleep(0.01)
        finally:
            self.closed.append((request, context.is_active()))

    def slow_goodbye(self, request, context):
        """A ticker whose end-of-call callback takes a while."""
        def goodbye():
            time.sleep(0.3)
            self.callbacks.append(request)
        context.add_callback(goodbye)
        try:
            while True:
                yield b"tick"
                time.sleep(0.01)
        finally:
            self.closed.append((request, context.is_active(), list(self.callbacks)))

    def later(self, request, context):
        """A reply to come (the native engine's pending reply): completed by a
        timer as the request says, or never."""
        future = futures.Future()
        how = request.decode()

        def complete():
            if how == "fail":
                future.set_exception(ValueError("failed later"))
            elif how == "cancel":
                future.cancel()
            else:
                future.set_result(b"later " + request)

        if how != "drop":
            threading.Timer(0.3, complete).start()
        return future

    def handlers(self):
        names = ("echo", "fail", "abort", "abort_status", "codes", "trailing", "look", "block",
                 "nap", "remaining", "slow_callback", "later")
        streams = ("count", "big", "stream_fail", "stream_abort", "stream_codes", "stream_look",
                   "not_an_iterator", "watch", "stuck", "ticker", "slow_goodbye")
        table = {n: grpc.unary_unary_rpc_method_handler(getattr(self, n)) for n in names}
        table.update({n: grpc.unary_stream_rpc_method_handler(getattr(self, n)) for n in streams})
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

    method.channel = channel
    yield probe, method, running
    probe.release.set()
    channel.close()
    running.stop(0).wait(WAIT)


class Pairing:
    """A client engine's channel to a server engine's running Probe."""

    def __init__(self, client_kind, server_kind, workers=4):
        self.client_kind, self.server_kind = client_kind, server_kind
        self.probe = Probe()
        self.running = Running(server_kind, self.probe, workers=workers)
        self.channel = transport(client_kind).insecure_channel("127.0.0.1:%d" % self.running.port)

    def unary(self, name):
        return self.channel.unary_unary("/%s/%s" % (SERVICE, name))

    def stream(self, name):
        return self.channel.unary_stream("/%s/%s" % (SERVICE, name))

    def close(self):
        self.probe.release.set()
        self.channel.close()
        self.running.stop(0).wait(WAIT)


@pytest.fixture(params=[(c, s) for c in ENGINES for s in ENGINES], ids=lambda p: "%s-to-%s" % p)
def pairing(request):
    """Like `pair`, for tests that stream (and may also call unary methods)."""
    pairing = Pairing(*request.param)
    yield pairing
    pairing.close()


def pair_channel(pair):
    return pair[1].channel


def wait_until(condition, timeout=WAIT):
    end = time.monotonic() + timeout
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


SOURCE_ROOT = REPO


@pytest.mark.system
@pytest.mark.skipif(shutil.which("cmake") is None
                    or not os.path.exists(os.path.join(SOURCE_ROOT, "CMakeLists.txt")),
                    reason="needs cmake and the source tree")
class TestBuild:
    """The build's engine decision, read off a configure of the source tree."""

    # What Debian's gRPC CMake package does when the code generator of
    # another package is missing: its targets file raises a fatal error.
    BROKEN = ('message(FATAL_ERROR "The imported target \\"gRPC::grpc_cpp_plugin\\" references '
              'the file \\"/nonexistent/grpc_cpp_plugin\\" but this file does not exist.")\n')

    def configure(self, tmp_path, pkg_config_libdir=None):
        prefix = tmp_path / "prefix"
        for name in ("gRPC", "grpc"):
            package = prefix / "lib" / "cmake" / name
            package.mkdir(parents=True)
            (package / (name + "Config.cmake")).write_text(self.BROKEN)
        env = dict(os.environ)
        if pkg_config_libdir is not None:
            env["PKG_CONFIG_LIBDIR"] = str(pkg_config_libdir)
            env["PKG_CONFIG_PATH"] = ""
        done = subprocess.run(
            ["cmake", "-S", SOURCE_ROOT, "-B", str(tmp_path / "build"),
             "-DPython_EXECUTABLE=" + sys.executable, "-DCMAKE_PREFIX_PATH=" + str(prefix)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
            env=env, timeout=300)
        return done.returncode, done.stdout

    def test_a_broken_grpc_package_alone_builds_the_grpcio_engine(self, tmp_path):
        empty = tmp_path / "no-pkg-config"
        empty.mkdir()
        code, out = self.configure(tmp_path, pkg_config_libdir=empty)
        assert code == 0, out
        assert "grpcio engine only" in out and "native engine on" not in out

    @needs_native
    def test_the_native_engine_is_found_beside_a_broken_grpc_package(self, tmp_path):
        code, out = self.configure(tmp_path)
        assert code == 0, out
        assert "native engine on" in out


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
        expected = "native sorvane.native" if NATIVE else "grpcio grpc"
        assert default.stdout.split() == expected.split()
        chosen = self.run(code, SORVANE_ENGINE="grpcio")
        assert chosen.stdout.split() == ["grpcio", "grpc"]

    def test_unknown_engine_fails_at_import(self):
        result = self.run("import sorvane.corvex", SORVANE_ENGINE="turbo")
        assert result.returncode != 0
        assert "SORVANE_ENGINE=turbo" in result.stderr and "native, grpcio" in result.stderr

    def test_native_where_not_built_says_how_to_build(self, monkeypatch):
        monkeypatch.setattr(engine, "native_available", lambda: False)
        with pytest.raises(RuntimeError, match="apt-get install "):
            engine.select("native")

    @needs_native
    def test_select_rebinds_what_corvex_uses(self):
        from sorvane import corvex
        before = engine.current()
        try:
            assert engine.select("grpcio") is grpc
            assert corvex.transport is grpc
            engine.select("native")
            assert corvex.transport.__name__ == "sorvane.native"
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

    def test_request_streaming_is_refused_clearly(self):
        native = transport("native")
        server = native.server(futures.ThreadPoolExecutor(max_workers=2))
        for handler in (grpc.stream_unary_rpc_method_handler(lambda r, c: b""),
                        grpc.stream_stream_rpc_method_handler(lambda r, c: iter(()))):
            with pytest.raises(ValueError, match="request-streaming"):
                server.add_generic_rpc_handlers(
                    (grpc.method_handlers_generic_handler("s.S", {"m": handler}),))
            with pytest.raises(ValueError, match="request-streaming"):
                server.add_registered_method_handlers("s.S", {"m": handler})
        server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
            "s.S", {"m": grpc.unary_stream_rpc_method_handler(lambda r, c: iter(()))}),))
        channel = native.insecure_channel("127.0.0.1:1")
        assert isinstance(channel.unary_stream("/s.S/m"), grpc.UnaryStreamMultiCallable)
        for kind in (channel.stream_unary, channel.stream_stream):
            with pytest.raises(NotImplementedError, match="SORVANE_ENGINE=grpcio"):
                kind("/s.S/m")
        channel.close()
        server.stop(None)

    def test_request_streaming_from_a_generic_handler_is_unimplemented(self):
        class Generic(grpc.GenericRpcHandler):
            def service(self, details):
                return grpc.stream_unary_rpc_method_handler(lambda r, c: b"")

        server = transport("native").server(futures.ThreadPoolExecutor(max_workers=2))
        server.add_generic_rpc_handlers((Generic(),))
        port = server.add_insecure_port("127.0.0.1:0")
        server.start()
        try:
            with grpc.insecure_channel("127.0.0.1:%d" % port) as channel:
                with pytest.raises(grpc.RpcError) as raised:
                    channel.unary_unary("/s.S/m")(b"", timeout=WAIT)
                assert raised.value.code() is grpc.StatusCode.UNIMPLEMENTED
                assert "request-streaming" in raised.value.details()
        finally:
            server.stop(None)

    def test_interceptors_are_refused(self):
        with pytest.raises(ValueError, match="interceptors"):
            transport("native").server(futures.ThreadPoolExecutor(1), interceptors=[object()])

    def test_closed_channel_refuses_calls(self):
        channel = transport("native").insecure_channel("127.0.0.1:%d" % free_port())
        channel.close()
        with pytest.raises(ValueError, match="closed channel"):
            channel.unary_unary("/a/b")(b"")
        with pytest.raises(ValueError, match="closed channel"):
            channel.unary_stream("/a/b")(b"")

    def test_closing_a_channel_cancels_its_streams(self):
        pairing = Pairing("native", "native")
        try:
            call = pairing.stream("stuck")(b"c", timeout=WAIT)
            assert pairing.probe.entered.acquire(timeout=WAIT)
            pairing.channel.close()
            with pytest.raises(grpc.RpcError) as raised:
                next(call)
            assert raised.value.code() is grpc.StatusCode.CANCELLED
        finally:
            pairing.close()

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

    def test_what_a_handler_sets_that_cannot_be_sent_is_logged(self, caplog):
        """Details or trailing metadata that cannot go on the wire are left
        out of the reply, and the server's log says so."""
        def handler(request, context):
            context.set_trailing_metadata((("fine", "yes"), ("bad", 5)) if request == b"md"
                                          else (("fine", "yes"),))
            if request == b"details":
                context.set_code(grpc.StatusCode.NOT_FOUND)
                context.set_details(12)
            return b"done"

        server = transport("native").server(futures.ThreadPoolExecutor(2))
        port = server.add_insecure_port("127.0.0.1:0")
        server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
            SERVICE, {"h": grpc.unary_unary_rpc_method_handler(handler)}),))
        server.start()
        try:
            with transport("native").insecure_channel("127.0.0.1:%d" % port) as channel:
                method = channel.unary_unary("/%s/h" % SERVICE)
                with caplog.at_level(logging.ERROR, logger="grpc._server"):
                    response, call = method.with_call(b"md", timeout=WAIT)
                    assert response == b"done" and call.trailing_metadata() == ()
                    with pytest.raises(grpc.RpcError) as raised:
                        method(b"details", timeout=WAIT)
        finally:
            server.stop(None)
        assert raised.value.code() is grpc.StatusCode.NOT_FOUND
        assert raised.value.details() == ""
        messages = [r.getMessage() for r in caplog.records if r.name == "grpc._server"]
        assert "The handler's trailing metadata could not be sent" in messages
        assert "The handler's details could not be sent" in messages

    def test_a_token_gate_is_asked_on_every_call(self):
        """The native server remembers what a path behind a token gate
        resolves to, and still checks every call's token."""
        from sorvane.security import _TokenGate
        server = transport("native").server(futures.ThreadPoolExecutor(2))
        port = server.add_insecure_port("127.0.0.1:0")
        server.add_generic_rpc_handlers((_TokenGate(Probe().handlers(), b"Bearer right"),))
        server.start()
        try:
            with transport("native").insecure_channel("127.0.0.1:%d" % port) as channel:
                echo = channel.unary_unary("/%s/echo" % SERVICE)
                for token, allowed in [("right", True), ("wrong", False), (None, False),
                                       ("right", True), ("righ", False), ("rightt", False)]:
                    metadata = None if token is None else (("authorization", "Bearer " + token),)
                    if allowed:
                        assert echo(b"in", timeout=WAIT, metadata=metadata) == b"in"
                        continue
                    with pytest.raises(grpc.RpcError) as raised:
                        echo(b"in", timeout=WAIT, metadata=metadata)
                    assert raised.value.code() is grpc.StatusCode.UNAUTHENTICATED, token
        finally:
            server.stop(None)

    def test_port_zero_gives_the_bound_port(self):
        server = transport("native").server(futures.ThreadPoolExecutor(1))
        port = server.add_insecure_port("127.0.0.1:0")
        assert port > 0
        server.add_generic_rpc_handlers((Probe().handlers(),))
        server.start()
        with transport("native").insecure_channel("127.0.0.1:%d" % port) as channel:
            assert channel.unary_unary("/%s/echo" % SERVICE)(b"hi", timeout=WAIT) == b"hi"
        server.stop(None)

    def test_objects_report_the_package_they_are_reached_by(self):
        """Servers, channels, credentials and every kind of call a channel
        hands back report sorvane.native as their module, and are found
        there by name, whichever of its modules holds their code."""
        native = transport("native")
        server = native.server(futures.ThreadPoolExecutor(1))
        channel = native.insecure_channel("127.0.0.1:%d" % free_port())
        try:
            with pytest.raises(grpc.RpcError) as raised:
                channel.unary_unary("/a/b")(b"", timeout=WAIT)
            future = channel.unary_unary("/a/b").future(b"", timeout=WAIT)
            stream = channel.unary_stream("/a/b")(b"", timeout=WAIT)
            assert future.exception(timeout=WAIT) is not None
            made = [server, channel, channel.unary_stream("/a/b"), raised.value, future, stream,
                    native.ssl_channel_credentials(),
                    native.ssl_server_credentials([(b"key", b"chain")])]
            makers = [native.server, native.insecure_channel, native.secure_channel,
                      native.ssl_channel_credentials, native.ssl_server_credentials]
            for named in [type(obj) for obj in made] + makers:
                assert named.__module__ == "sorvane.native", named
                assert getattr(native, named.__qualname__) is named, named
            assert "<_InactiveRpcError of RPC that terminated with" in str(raised.value)
            stream.cancel()
        finally:
            channel.close()
            server.stop(None)

    def test_live_servers_and_channels_are_what_exit_stops_and_held_weakly(self):
        native = transport("native")
        exit_module = sys.modules["sorvane.native.exit"]
        server = native.server(futures.ThreadPoolExecutor(1))
        channel = native.insecure_channel("127.0.0.1:%d" % free_port())
        assert server in exit_module._live_servers and channel in exit_module._live_channels
        refs = [weakref.ref(server), weakref.ref(channel)]
        channel.close()
        server.stop(None)
        del server, channel
        gc.collect()
        assert [ref() for ref in refs] == [None, None]
        assert refs[0] not in exit_module._live_servers

    def test_the_exit_hook_is_registered_once_after_what_it_relies_on(self):
        """Importing the package registers one exit hook, the package's own,
        once process_exit and the thread pools' exit hook it orders itself
        after have been imported and every server and channel module exists."""
        code = (
            "import atexit, sys\n"
            "seen = []\n"
            "register = atexit.register\n"
            "def recording(fn, *args, **kwargs):\n"
            "    loaded = [m for m in ('sorvane.process_exit', 'concurrent.futures.thread',\n"
            "              'sorvane.native.server', 'sorvane.native.channel')\n"
            "              if m in sys.modules]\n"
            "    seen.append((fn, loaded))\n"
            "    return register(fn, *args, **kwargs)\n"
            "atexit.register = recording\n"
            "import sorvane.native\n"
            "print(repr([(fn.__module__, fn.__qualname__, loaded) for fn, loaded in seen\n"
            "            if str(getattr(fn, '__module__', '')).startswith('sorvane')]))\n")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr
        relied_on = ["sorvane.process_exit", "concurrent.futures.thread",
                     "sorvane.native.server", "sorvane.native.channel"]
        assert done.stdout.strip() == repr(
            [("sorvane.native", "_stop_everything", relied_on)])


class TestCalls:
    def test_echo_and_with_call(self, pair):
        _, method, _ = pair
        assert method("echo")(b"hello", timeout=WAIT) == b"hello"
        response, call = method("trailing").with_call(b"", timeout=WAIT)
        assert response == b"ok"
        assert call.code() is grpc.StatusCode.OK
        assert ("answer", "42") in [tuple(m) for m in call.trailing_metadata()]

    def test_arguments_bind_as_grpcio_binds_them(self, pair):
        _, method, _ = pair
        echo = method("echo")
        assert echo(request=b"a", timeout=WAIT) == b"a"
        assert echo(b"b", WAIT, (("k", "v"),)) == b"b"  # timeout and metadata by position
        assert echo.with_call(b"c", WAIT)[0] == b"c"
        assert echo.future(b"d", metadata=None, timeout=WAIT).result() == b"d"
        for wrong in (lambda: echo(), lambda: echo(b"x", timeout=WAIT, bogus=1),
                      lambda: echo(b"x", WAIT, timeout=WAIT), lambda: echo(b"x", *[None] * 6),
                      lambda: echo.with_call(timeout=WAIT), lambda: echo.future(b"x", nope=1)):
            with pytest.raises(TypeError):
                wrong()

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

    def test_slow_callbacks_hold_up_no_other_call(self, pair):
        """Callbacks that take their time, at the end of server calls (more of
        them than the server has workers) on a native server, and when a
        future is done on a native client, delay no other call (grpcio runs
        callbacks where its calls complete)."""
        probe, method, running = pair
        native_client = type(method("echo")).__module__.startswith("sorvane")
        if running.kind == "grpcio" and not native_client:
            pytest.skip("grpcio runs callbacks where its calls complete")
        if running.kind == "native":
            for i in range(6):
                assert method("slow_callback")(b"%d" % i, timeout=WAIT) == b"True"
        if native_client:
            napping = method("nap").future(b"0.2", timeout=WAIT)
            napping.add_done_callback(lambda unused: time.sleep(1.0))
            assert napping.result(timeout=WAIT) == b"slept"
        started = time.monotonic()
        assert method("echo")(b"x", timeout=WAIT) == b"x"
        assert method("echo").future(b"y", timeout=WAIT).result(timeout=WAIT) == b"y"
        assert time.monotonic() - started < 0.5
        if running.kind == "native":  # several at once, each ran
            assert wait_until(lambda: len(probe.callbacks) == 6, timeout=3)

    def test_serializer_failures_end_as_internal(self, pair):
        """A request that cannot be serialized, or a response that cannot be
        deserialized, ends the call with INTERNAL, as grpcio's callables do,
        whichever way the call is made."""
        _, _, running = pair
        channel = pair_channel(pair)

        def broken(data):
            raise ValueError("no")

        path = "/%s/echo" % SERVICE
        unserializable = channel.unary_unary(path, request_serializer=broken)
        undeserializable = channel.unary_unary(path, response_deserializer=broken)
        for callable_, details in [(unserializable, "Exception serializing request!"),
                                   (undeserializable, "Exception deserializing response!")]:
            for how in ("call", "with_call", "future"):
                with pytest.raises(grpc.RpcError) as raised:
                    if how == "future":
                        callable_.future(b"x", timeout=WAIT).result(timeout=WAIT)
                    else:
                        getattr(callable_, "__call__" if how == "call" else how)(b"x", timeout=WAIT)
                assert raised.value.code() is grpc.StatusCode.INTERNAL, (details, how)
                assert raised.value.details() == details, how
        response, call = channel.unary_unary(path, response_deserializer=bytes.upper).with_call(
            b"ok", timeout=WAIT, metadata=(("x-probe", "1"),))
        assert response == b"OK" and call.code() is grpc.StatusCode.OK
        assert isinstance(channel.unary_unary(path), grpc.UnaryUnaryMultiCallable)

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
def served_by(service, deserializer=None):
    """A native server of corvex's dispatcher `service`, registered as brindlow
    registers it, or with a deserializer of its own; (server, port)."""
    import brindlow
    import marvetta
    server = transport("native").server(futures.ThreadPoolExecutor(max_workers=4))
    if deserializer is None:
        brindlow.add_CommonServiceServicer_to_server(service, server)
    else:
        handler = grpc.unary_unary_rpc_method_handler(
            service.handle, request_deserializer=deserializer,
            response_serializer=marvetta.CommonResponse.SerializeToString)
        server.add_generic_rpc_handlers(
            (grpc.method_handlers_generic_handler("common.CommonService", {"handle": handler}),))
    port = server.add_insecure_port("127.0.0.1:0")
    server.start()
    return server, port


@pytest.mark.skipif(not NATIVE, reason="the native engine's own path")
class TestNativeServesTheDispatcherFromBytes:
    """corvex's dispatcher, registered as brindlow registers it, is served from
    the request's bytes (no message objects in between). Whatever a caller
    sends, the reply must be byte for byte the one the message objects give,
    which a handler with a deserializer of its own still goes through."""

    def test_every_reply_is_the_one_the_message_objects_give(self, monkeypatch):
        import marvetta
        from sorvane import codec
        from sorvane.guard import GuardedService
        taken = []
        from_string = marvetta.CommonRequest.FromString

        def deserialize(data):
            taken.append(data)
            return from_string(data)

        listing = {"targets_server": ["add", "fail", "echo"]}
        wire, wire_port = served_by(GuardedService(listing))
        objects, objects_port = served_by(GuardedService(listing), deserialize)
        channels = [grpc.insecure_channel("127.0.0.1:%d" % p) for p in (wire_port, objects_port)]
        try:
            def ask(channel, payload):
                method = channel.unary_unary("/common.CommonService/handle")
                try:
                    body, call = method.with_call(payload, timeout=WAIT)
                    return ("ok", body, tuple(call.trailing_metadata() or ()))
                except grpc.RpcError as error:
                    return (error.code(), error.details(), tuple(error.trailing_metadata() or ()))

            def description(**fields):
                return json.dumps(dict({"clazz": "targets_server", "method": "add",
                                        "args": [2, 3], "kwargs": {}}, **fields)).encode()

            def made(body, request_id="rid", serialize=3):
                return marvetta.CommonRequest(request_id=request_id, request=body,
                                              serialize=serialize).SerializeToString()

            ask(channels[0], made(description()))  # the path is resolved: its parts are read
            parsed = []
            real = marvetta.CommonRequest.FromString
            monkeypatch.setattr(marvetta.CommonRequest, "FromString",
                                staticmethod(lambda data: parsed.append(data) or real(data)))
            # What asks for the request object gets one equal to the engine's.
            given = []
            refused, undecodable = GuardedService._refused, codec._undecodable
            monkeypatch.setattr(GuardedService, "_refused", lambda self, context, request, *more: (
                given.append((self, request)), refused(self, context, request, *more)))
            monkeypatch.setattr(codec, "_undecodable", lambda context, request, error: (
                given.append((None, request)), undecodable(context, request, error)))
            ok = made(description(), request_id="é-1")
            assert ask(channels[0], ok)[:2] == ("ok", marvetta.CommonResponse(
                response=b'{"status": 0, "message": "", "excType": "", "result": 5}')
                .SerializeToString())
            assert parsed == []  # the message class never read it
            payloads = [
                ok,
                made(description(method="fail", args=["no luck"])),
                made(description(clazz="os", method="getcwd", args=[])),  # refused by the guard
                made(codec.dumps({"clazz": "targets_server", "method": "echo",
                                  "args": [b"\x00"], "kwargs": {}}), serialize=codec.CBOR),
                made(b"\x9f\xff", serialize=codec.CBOR),  # undecodable
                made(b"not json"),
                b"",  # every field at its default
                ok + b"\x20\x07",  # a field CommonRequest does not have
                ok + b"\x0a\x01r" + b"\x18\xb5\x45",  # a second request_id and serialize
                b"\x0a\x02\xff\xfe" + ok,  # a request_id that is not UTF-8
                b"\x12\x05{}",  # cut short
                b"\x1a\x01x",  # serialize with another wire type
                made(b"x" * 100000),
                made(codec.dumps({"clazz": "targets_server", "method": "echo",  # a large body
                                  "args": [bytes(range(256)) * 400], "kwargs": {}}),
                     serialize=codec.CBOR),
            ]
            for payload in payloads:
                taken.clear()
                assert ask(channels[0], payload) == ask(channels[1], payload), payload[:40]
                assert taken == [payload]  # the other server went the objects' way
            assert parsed == []
            # The guard's refusal and the undecodable CBOR request, on each server.
            assert [request for _, request in given] == [
                real(payloads[2]), real(payloads[2]), real(payloads[4]), real(payloads[4])]
            # Damaged requests: bytes changed, cut, doubled or inserted.
            rng = random.Random(20261209)
            for _ in range(150):
                damaged = bytearray(rng.choice(payloads[:4]))
                for _ in range(rng.randint(1, 3)):
                    at = rng.randrange(len(damaged) + 1)
                    how = rng.randrange(4)
                    if how == 0 and at < len(damaged):
                        damaged[at] = rng.randrange(256)
                    elif how == 1:
                        del damaged[at:]
                    elif how == 2:
                        damaged[at:at] = damaged[at:at + rng.randint(1, 8)]
                    else:
                        damaged[at:at] = bytes([rng.randrange(256)])
                damaged = bytes(damaged)
                assert ask(channels[0], damaged) == ask(channels[1], damaged), damaged
        finally:
            for channel in channels:
                channel.close()
            for server in (wire, objects):
                server.stop(0).wait(WAIT)


class TestCallHelpersOnEveryEngine:
    """GrpcHelper.call_rpc_result on the native engine sends the request's
    bytes and reads the reply's bytes itself (no message objects); on either
    engine it must send what call_rpc sends and make of every reply what
    call_rpc's response gives."""

    def test_requests_and_replies_match_the_message_objects(self, port):
        import marvetta
        from sorvane import codec, corvex
        replies, received = [], []

        def handle(request, context):
            received.append(request)
            return replies[0]

        server = grpc.server(futures.ThreadPoolExecutor(max_workers=2))
        server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
            "common.CommonService",
            {"handle": grpc.unary_unary_rpc_method_handler(handle)}),))
        server.add_insecure_port("127.0.0.1:%d" % port)
        server.start()
        name = "helpers-%d" % port
        corvex.grpc_client.load([corvex.Server(name, "127.0.0.1", port)])
        stub = corvex.grpc_client.connect(name)
        helper = corvex.GrpcHelper

        def outcome(fn):
            try:
                return ("ok", fn())
            except Exception as error:  # noqa: BLE001 - compared below
                return ("raised", type(error), str(error))

        ok = marvetta.CommonResponse(
            response=b'{"status": 0, "message": "", "excType": "", "result": [1, "\\u00e9"]}')
        failed = marvetta.CommonResponse(status=-1, response=json.dumps(
            {"status": -1, "message": "no luck", "excType": "ValueError", "result": None}).encode())
        binary = marvetta.CommonResponse(response=codec.dumps(
            {"status": 0, "message": "", "excType": "", "result": [b"\x00\xff", (1, 2.5)]}))
        try:
            for reply in [ok.SerializeToString(), failed.SerializeToString(),
                          binary.SerializeToString(),
                          b"\x08\x80\x80\x80\x80\x10" + ok.SerializeToString(),  # status past 32 bits
                          ok.SerializeToString() + b"\x18\x01",  # a field it does not have
                          ok.SerializeToString() * 2,  # the body twice: the last counts
                          b"\x12\x09{}",  # cut short
                          b""]:
                replies[:] = [reply]
                # A streamed call's messages reach _result_of as their bytes.
                assert outcome(lambda: corvex._result_of(reply)) == outcome(
                    lambda: corvex._result_of(marvetta.CommonResponse.FromString(reply))), reply
                for request_id, args, serialize in [("r-\u00e9", [1, {"b": 2}], None),
                                                    ("", [], codec.CBOR)]:
                    options = {} if serialize is None else {"serialize": serialize}
                    received.clear()
                    by_bytes = outcome(lambda: helper.call_rpc_result(
                        stub, "m", "f", args, request_id=request_id, timeout=WAIT, **options))
                    by_objects = outcome(lambda: corvex._result_of(helper.call_rpc(
                        stub, "m", "f", args, request_id=request_id, timeout=WAIT, **options)))
                    assert by_bytes == by_objects, reply
                    assert len(received) == 2 and received[0] == received[1]
        finally:
            server.stop(0).wait(WAIT)


class TestNativeReplyToCome:
    """A unary handler on the native engine may return a concurrent.futures.Future:
    the call is answered when it completes, and its worker is free meanwhile."""

    def test_answers_when_complete_without_holding_the_worker(self):
        pairing = Pairing("native", "native", workers=1)
        try:
            began = time.monotonic()
            calls = [pairing.unary("later").future(b"%d" % i, timeout=WAIT) for i in range(8)]
            assert [c.result(timeout=WAIT) for c in calls] == [b"later %d" % i for i in range(8)]
            assert time.monotonic() - began < 1.5  # one worker held would take 2.4 s
            assert pairing.unary("echo")(b"still serving", timeout=WAIT) == b"still serving"
        finally:
            pairing.close()

    @pytest.mark.parametrize("how, code, details", [
        (b"fail", grpc.StatusCode.UNKNOWN, "Exception calling application: failed later"),
        (b"cancel", grpc.StatusCode.CANCELLED, "Cancelled"),
        (b"drop", grpc.StatusCode.UNKNOWN, "the server dropped the call's reply"),
    ])
    def test_failures_reach_the_client(self, how, code, details):
        pairing = Pairing("native", "native", workers=1)
        try:
            with pytest.raises(grpc.RpcError) as raised:
                pairing.unary("later")(how, timeout=WAIT)
            assert (raised.value.code(), raised.value.details()) == (code, details)
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
