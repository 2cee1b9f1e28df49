"""Health (sorvane.ops): the Check and Watch messages, the servers' health
service and the ``health`` command, on the engine the run uses
(SORVANE_ENGINE); and sorvane.ops's names being its modules' own.

Servers run in this process on 127.0.0.1; the command-line tests run
``python -m sorvane health`` against them. Clients are grpcio's channels, so a
Watch reaches the server even where the native engine's own channel would
refuse to stream.
"""
import concurrent.futures
import os
import threading
import time
import uuid

import grpc
import pytest
from hypothesis import given, settings, strategies as st

import brindlow
from conftest import free_port, package_definitions
from ops_support import TOKEN, WAIT, cli_env, running
from processes import run_cli, write_targets
from sorvane import cli, engine, ops
from sorvane.corvex import GrpcHelper


def wire(status):
    return ops.encode_health_response(status)


def check(channel, service="", metadata=None):
    reply = channel.unary_unary(ops.CHECK_METHOD)(ops.encode_health_request(service),
                                                  timeout=WAIT, metadata=metadata)
    return ops.decode_health_response(reply)


def watch(channel, service=""):
    return channel.unary_stream(ops.WATCH_METHOD)(ops.encode_health_request(service),
                                                  timeout=30)


_streaming = {}


def engine_streams():
    """Whether the current engine's server answers a streaming method: tried
    once, with a server of its own."""
    name = engine.current()
    if name not in _streaming:
        def numbers(request, context):
            yield b"1"
            yield b"2"

        class Streams(grpc.GenericRpcHandler):
            def service(self, details):
                return grpc.unary_stream_rpc_method_handler(numbers)

        port = free_port()
        server = engine.transport().server(concurrent.futures.ThreadPoolExecutor(2))
        try:
            server.add_generic_rpc_handlers((Streams(),))
            server.add_insecure_port("127.0.0.1:%d" % port)
            server.start()
            with grpc.insecure_channel("127.0.0.1:%d" % port) as channel:
                got = list(channel.unary_stream("/probe/numbers")(b"", timeout=WAIT))
            _streaming[name] = got == [b"1", b"2"]
        except (grpc.RpcError, ValueError, NotImplementedError):
            _streaming[name] = False
        finally:
            server.stop(0).wait()
    return _streaming[name]


@pytest.fixture
def streaming(request):
    """Marks a Watch test as an expected failure where the engine cannot stream."""
    if not engine_streams():
        request.applymarker(pytest.mark.xfail(
            reason="the %s engine does not stream responses yet" % engine.current(),
            strict=False))


# ---- the package ------------------------------------------------------------------


@pytest.mark.engine_free
def test_every_name_of_the_ops_modules_is_the_packages():
    """What a module of sorvane.ops defines is sorvane.ops's own same object,
    so that the server, the command line and admission, which import from
    the package, use what the modules use."""
    definitions = package_definitions(ops)
    assert {module.__name__ for module, _ in definitions} == {"sorvane.ops.health",
                                                              "sorvane.ops.listing"}
    for module, name in definitions:
        assert getattr(ops, name) is getattr(module, name), (module.__name__, name)


# ---- health messages ----------------------------------------------------------


class TestHealthWire:
    @given(st.text())
    def test_request_round_trip(self, service):
        assert ops.decode_health_request(ops.encode_health_request(service)) == service

    def test_request_bytes_match_protobuf(self):
        # Field 1, length-delimited: tag 0x0a, length, UTF-8 bytes.
        assert ops.encode_health_request("") == b""
        assert ops.encode_health_request("ab") == b"\x0a\x02ab"
        assert ops.encode_health_request("é" * 100) == b"\x0a\xc8\x01" + "é".encode() * 100

    @pytest.mark.parametrize("status", [0, 1, 2, 3, 7, -1, 2 ** 31 - 1, -2 ** 31])
    def test_response_round_trip(self, status):
        assert ops.decode_health_response(ops.encode_health_response(status)) == status

    def test_unknown_fields_are_skipped_and_the_last_value_wins(self):
        data = (b"\x10\x96\x01"              # field 2, varint
                + b"\x19" + b"\x00" * 8       # field 3, 64-bit
                + b"\x25" + b"\x00" * 4       # field 4, 32-bit
                + b"\x2a\x03xyz"              # field 5, bytes
                + b"\x0a\x01a\x0a\x01b")     # field 1 twice
        assert ops.decode_health_request(data) == "b"
        assert ops.decode_health_response(b"\x08\x01\x12\x00\x08\x02") == ops.NOT_SERVING

    @pytest.mark.parametrize("data, reason", [
        (b"\x0a", "truncated varint"),
        (b"\x0a\x05abc", "runs past the end"),
        (b"\x0a\x02\xff\xfe", "not UTF-8"),
        (b"\x08\x01", "not a string"),
        (b"\x0b", "wire type 3"),
        (b"\x0f", "wire type 7"),
        (b"\x02\x00", "field number 0"),
        (b"\x19\x00\x00", "truncated fixed-size"),
        (b"\x10" + b"\xff" * 10 + b"\x01", "varint"),
        (b"\x0a" + b"\x80" * 11, "varint"),
    ])
    def test_malformed_requests_are_refused(self, data, reason):
        with pytest.raises(ops.MalformedMessage, match=reason):
            ops.decode_health_request(data)

    def test_malformed_responses_are_refused(self):
        with pytest.raises(ops.MalformedMessage, match="not a varint"):
            ops.decode_health_response(b"\x0a\x00")
        with pytest.raises(ops.MalformedMessage, match="range"):
            ops.decode_health_response(b"\x08\x80\x80\x80\x80\x10")  # 2**32

    @settings(max_examples=300)
    @given(st.binary(max_size=40))
    def test_any_bytes_decode_or_are_refused(self, data):
        for decode in (ops.decode_health_request, ops.decode_health_response):
            try:
                decode(data)
            except ops.MalformedMessage:
                pass


# ---- health on a server ---------------------------------------------------------


class TestHealth:
    def test_known_services_serve_and_others_are_not_found(self):
        with running() as (server, channel, _):
            assert check(channel) == ops.SERVING
            assert check(channel, "common.CommonService") == ops.SERVING
            with pytest.raises(grpc.RpcError) as error:
                check(channel, "nope\x00" + "x" * 500)
            assert error.value.code() == grpc.StatusCode.NOT_FOUND
            assert len(error.value.details()) < 200  # a long name is not echoed whole

    def test_malformed_request_is_invalid_argument_and_the_server_goes_on(self):
        with running() as (server, channel, _):
            for data in (b"\x0a\x05ab", b"\x0a\x02\xff\xfe", b"\x0b"):
                for method in (ops.CHECK_METHOD, ops.WATCH_METHOD):
                    if method == ops.WATCH_METHOD and not engine_streams():
                        continue
                    call = (channel.unary_unary if method == ops.CHECK_METHOD
                            else channel.unary_stream)(method)
                    with pytest.raises(grpc.RpcError) as error:
                        result = call(data, timeout=WAIT)
                        list(result) if method == ops.WATCH_METHOD else result
                    assert error.value.code() == grpc.StatusCode.INVALID_ARGUMENT
            assert check(channel) == ops.SERVING

    def test_stop_turns_not_serving_at_its_start_while_a_call_finishes(self, module_dir):
        targets = write_targets(module_dir, "ops_targets_%s" % uuid.uuid4().hex[:8])
        marker = str(module_dir / "started")
        with running() as (server, channel, _):
            stub = brindlow.CommonServiceStub(channel)
            with concurrent.futures.ThreadPoolExecutor(1) as pool:
                slow = pool.submit(GrpcHelper.call_rpc_result, stub, targets, "sleep_marked",
                                   args=[marker, 1.5])
                deadline = time.monotonic() + WAIT
                while not os.path.exists(marker):
                    assert time.monotonic() < deadline, "the slow call never started"
                    time.sleep(0.01)
                assert server.ops.health.status("") == ops.SERVING
                # When health turns, the server still takes new calls: it
                # turns before the server's own stop begins.
                health = server.ops.health
                seen_while_turning = []

                def stopping():
                    del health.stopping  # once
                    seen_while_turning.append(check(channel))
                    health.stopping()

                health.stopping = stopping
                stopped = server.rpc_server.stop(5)
                assert seen_while_turning == [ops.SERVING]
                # The wrapper keeps what stop returns: an event.
                assert isinstance(stopped, threading.Event)
                assert server.ops.health.status("") == ops.NOT_SERVING
                assert server.ops.health.status("common.CommonService") == ops.NOT_SERVING
                assert not slow.done()
                assert slow.result(WAIT) == 1.5
                assert stopped.wait(WAIT)

    def test_watch_sees_serving_then_not_serving_while_a_call_finishes(
            self, module_dir, streaming):
        targets = write_targets(module_dir, "ops_targets_%s" % uuid.uuid4().hex[:8])
        marker = str(module_dir / "started")
        with running() as (server, channel, _):
            stub = brindlow.CommonServiceStub(channel)
            stream = watch(channel)
            assert next(stream) == wire(ops.SERVING)
            with concurrent.futures.ThreadPoolExecutor(1) as pool:
                slow = pool.submit(GrpcHelper.call_rpc_result, stub, targets, "sleep_marked",
                                   args=[marker, 1.5])
                deadline = time.monotonic() + WAIT
                while not os.path.exists(marker):
                    assert time.monotonic() < deadline, "the slow call never started"
                    time.sleep(0.01)
                stopped = server.rpc_server.stop(5)
                assert next(stream) == wire(ops.NOT_SERVING)
                assert not slow.done()
                assert list(stream) == []  # then the watch ends, with OK
                assert stream.code() == grpc.StatusCode.OK
                assert slow.result(WAIT) == 1.5
                assert stopped.wait(WAIT)

    def test_watch_of_an_unknown_service_keeps_watching_until_stop(self, streaming):
        with running() as (server, channel, _):
            stream = watch(channel, "other.Service")
            assert next(stream) == wire(ops.SERVICE_UNKNOWN)
            time.sleep(0.3)
            assert stream.is_active()
            server.rpc_server.stop(5)
            assert list(stream) == []
            assert stream.code() == grpc.StatusCode.OK

    def test_watches_do_not_hold_the_stop(self, streaming):
        with running() as (server, channel, _):
            streams = [watch(channel) for _ in range(2)]
            for stream in streams:
                assert next(stream) == wire(ops.SERVING)
            started = time.monotonic()
            assert server.rpc_server.stop(20).wait(WAIT)
            assert time.monotonic() - started < 5
            for stream in streams:
                assert list(stream) == [wire(ops.NOT_SERVING)]

    def test_watches_are_limited_to_half_the_workers_and_free_their_slot(self, streaming):
        with running(max_workers=4) as (server, channel, _):
            first, second = watch(channel), watch(channel)
            assert next(first) == next(second) == wire(ops.SERVING)
            with pytest.raises(grpc.RpcError) as error:
                next(watch(channel))
            assert error.value.code() == grpc.StatusCode.RESOURCE_EXHAUSTED
            assert check(channel) == ops.SERVING  # calls still have their workers
            first.cancel()
            deadline = time.monotonic() + WAIT
            while True:
                try:
                    assert next(watch(channel)) == wire(ops.SERVING)
                    break
                except grpc.RpcError as e:
                    assert e.code() == grpc.StatusCode.RESOURCE_EXHAUSTED
                    assert time.monotonic() < deadline, "a cancelled watch kept its slot"
                    time.sleep(0.1)

    def test_a_single_worker_is_kept_for_calls(self, streaming):
        with running(max_workers=1) as (server, channel, _):
            with pytest.raises(grpc.RpcError) as error:
                next(watch(channel))
            assert error.value.code() == grpc.StatusCode.RESOURCE_EXHAUSTED
            assert check(channel) == ops.SERVING

    def test_health_needs_the_token_when_the_server_has_one(self):
        with running(token=TOKEN) as (server, channel, _):
            with pytest.raises(grpc.RpcError) as error:
                check(channel)
            assert error.value.code() == grpc.StatusCode.UNAUTHENTICATED
            assert check(channel, metadata=[("authorization", "Bearer " + TOKEN)]) == ops.SERVING


# ---- the health command ---------------------------------------------------------


class TestHealthCommand:
    def test_exit_codes(self, tmp_path):
        with running() as (server, channel, port):
            address = "127.0.0.1:%d" % port
            proc = run_cli(["health", address], tmp_path)
            assert (proc.returncode, proc.stdout) == (0, "SERVING\n"), proc.stderr
            proc = run_cli(["health", address, "--service", "common.CommonService"], tmp_path)
            assert (proc.returncode, proc.stdout) == (0, "SERVING\n"), proc.stderr
            proc = run_cli(["health", address, "--service", "no.Such"], tmp_path)
            assert (proc.returncode, proc.stdout) == (1, "NOT_FOUND\n")
            assert "NOT_FOUND" in proc.stderr and "Traceback" not in proc.stderr
            # Health reports a stop that has begun: what a balancer must see.
            server.ops.health.stopping()
            proc = run_cli(["health", address], tmp_path)
            assert (proc.returncode, proc.stdout) == (1, "NOT_SERVING\n"), proc.stderr
        proc = run_cli(["health", "127.0.0.1:%d" % free_port(), "--timeout", "3"], tmp_path)
        assert (proc.returncode, proc.stdout) == (3, "UNAVAILABLE\n"), proc.stderr
        assert len(proc.stderr.splitlines()) == 1

    def test_token_from_the_environment(self, monkeypatch, capsys):
        with running(token=TOKEN) as (server, channel, port):
            address = "127.0.0.1:%d" % port
            cli_env(monkeypatch)
            assert cli.main(["health", address]) == 1
            out, err = capsys.readouterr()
            assert out == "UNAUTHENTICATED\n" and TOKEN not in err
            cli_env(monkeypatch, TOKEN)
            assert cli.main(["health", address]) == 0
            assert capsys.readouterr().out == "SERVING\n"

    def test_over_tls(self, tmp_path, capsys):
        pytest.importorskip("cryptography")
        from pki import Pki
        from sorvane.security import ServerTls

        pki = Pki(tmp_path)
        tls = ServerTls.from_files(pki.path("server.pem"), pki.path("server.key"))
        with running(tls=tls) as (server, channel, port):
            address = "127.0.0.1:%d" % port
            assert cli.main(["health", address, "--tls-ca", pki.path("ca.pem"),
                             "--tls-server-name", "localhost"]) == 0
            assert capsys.readouterr().out == "SERVING\n"
            # A plaintext check of a TLS server never gets an answer.
            assert cli.main(["health", address, "--timeout", "2"]) == 3

    def test_a_server_without_health_is_not_serving(self, capsys):
        port = free_port()
        bare = grpc.server(concurrent.futures.ThreadPoolExecutor(1))
        bare.add_insecure_port("127.0.0.1:%d" % port)
        bare.start()
        try:
            assert cli.main(["health", "127.0.0.1:%d" % port]) == 1
            assert capsys.readouterr().out == "UNIMPLEMENTED\n"
        finally:
            bare.stop(0).wait()
