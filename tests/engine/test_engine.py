"""The transport engines: the build's engine decision, selection, and the
native engine's objects implementing grpcio's interfaces.

The behavioural comparison of the engines (every pairing of client and server
engine) is in test_engine_calls.py, test_engine_streams.py,
test_engine_server.py and test_engine_channel.py.
"""
import gc
import logging
import os
import shutil
import subprocess
import sys
import weakref
from concurrent import futures

import grpc
import pytest

from conftest import free_port
from locations import REPO
from probe_support import NATIVE, SERVICE, WAIT, Pairing, Probe, Running, needs_native, transport
from sorvane import engine


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
