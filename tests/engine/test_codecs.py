"""The binary codec through real servers, on the engine the suite runs on:
every listed type there and back, JSON and CBOR callers side by side, a JSON
caller that sees nothing new, hostile encodings refused while the server
keeps serving, the guard, token and size limits unchanged, a server that
does not know the codec named clearly, and the ways a caller picks the codec
(the call, the registry entry, grpc_service, aio and streamed calls)."""
import asyncio
import sys
import threading
import time

import grpc
import numpy as np
import pytest

import brindlow
import marvetta
from sorvane import aio, codec, streaming
from sorvane.corvex import GrpcException, GrpcHelper, GrpcServer, Server, grpc_client, \
    grpc_service
from sorvane.guard import guard

from codec_values import SAMPLES, same

MODULE = "codec_targets"


def call(stub, method, *args, **options):
    return GrpcHelper.call_rpc_result(stub, MODULE, method, list(args), **options)


@pytest.fixture
def served(port):
    """A started server; registry stubs in CBOR (by the entry) and in JSON, and a raw stub."""
    server = GrpcServer("127.0.0.1", port)
    server.run_background()
    names = "cbor-%d" % port, "json-%d" % port
    grpc_client.load([Server(names[0], "127.0.0.1", port, serialize=codec.CBOR),
                      Server(names[1], "127.0.0.1", port)])
    channel = grpc.insecure_channel("127.0.0.1:%d" % port)
    try:
        yield grpc_client.connect(names[0]), grpc_client.connect(names[1]), \
            brindlow.CommonServiceStub(channel)
    finally:
        channel.close()
        server.rpc_server.stop(0).wait()


def raw(stub, body, serialize=codec.CBOR):
    return stub.handle.with_call(marvetta.CommonRequest(request=body, serialize=serialize,
                                                        request_id="rid-raw"), timeout=10)


class TestRoundTrips:
    def test_every_listed_type_there_and_back(self, served):
        cbor, _, _ = served
        assert same(call(cbor, "echo", SAMPLES), SAMPLES)
        arrays = [np.arange(12, dtype=">i4").reshape(3, 4), np.float16([1.5, -2]),
                  np.zeros((2, 0)), np.arange(6.0)[::2]]
        back = call(cbor, "echo", arrays)
        assert all(same(b, np.ascontiguousarray(a)) for a, b in zip(arrays, back))

    def test_a_large_array_comes_back_as_a_read_only_view(self, served):
        cbor, _, _ = served
        a = np.random.default_rng(1).random(1 << 21)  # 16 MiB
        back = call(cbor, "echo", a)
        assert back.dtype == a.dtype and np.array_equal(back, a)
        assert not back.flags.writeable

    def test_large_bytes_values_come_back_whole_and_are_let_go(self, served):
        # On the native engine they go out uncopied (in parts of the message)
        # and the engine holds them only until they are sent.
        import codec_targets
        cbor, _, raw_stub = served
        sent = bytes(range(255, -1, -1)) * (5 << 12)  # 5 MiB
        want = [codec_targets.HELD, {"again": (codec_targets.HELD,)}, 1]
        held = sys.getrefcount(sent), sys.getrefcount(codec_targets.HELD)
        for _ in range(3):
            assert call(cbor, "echo", [sent, "between", sent]) == [sent, "between", sent]
            assert call(cbor, "held", sent) == want
        # A grpcio client reads such a reply as any other.
        reply, _ = raw(raw_stub, codec.dumps({"clazz": MODULE, "method": "held",
                                               "args": [b"x"], "kwargs": {}}))
        assert codec.loads(reply.response) == {"status": 0, "message": "", "excType": "",
                                               "result": want}
        deadline = time.monotonic() + 10
        while (sys.getrefcount(sent), sys.getrefcount(codec_targets.HELD)) != held and \
                time.monotonic() < deadline:
            time.sleep(0.02)
        assert (sys.getrefcount(sent), sys.getrefcount(codec_targets.HELD)) == held

    def test_json_and_cbor_callers_side_by_side(self, served):
        cbor, json_stub, _ = served
        failures = []

        def caller(stub, value, want):
            try:
                for _ in range(40):
                    got = call(stub, "echo", value)
                    assert same(got, want), (got, want)
            except Exception as error:  # noqa: BLE001 - reported below
                failures.append(error)

        threads = [threading.Thread(target=caller, args=args) for args in [
            (cbor, (1, b"\x00", {2}), (1, b"\x00", {2})),
            (json_stub, (1, "x", [2]), [1, "x", [2]]),
        ] * 3]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert not failures, failures


class TestWire:
    def test_a_json_caller_sees_nothing_new(self, served):
        _, _, stub = served
        body = b'{"clazz": "codec_targets", "method": "echo", "args": [[1, 2]], "kwargs": {}}'
        for code in (3, 0, 99):
            response, call_ = raw(stub, body, serialize=code)
            assert response.response == \
                b'{"status": 0, "message": "", "excType": "", "result": [1, 2]}'
            assert codec.CODECS_KEY not in dict(call_.trailing_metadata() or ())

    def test_a_cbor_reply_is_cbor_and_names_the_codes(self, served):
        _, _, stub = served
        body = codec.dumps({"clazz": MODULE, "method": "echo", "args": [b"\x01"], "kwargs": {}})
        response, call_ = raw(stub, body)
        assert codec.loads(response.response) == \
            {"status": 0, "message": "", "excType": "", "result": b"\x01"}
        assert dict(call_.trailing_metadata())[codec.CODECS_KEY] == "3,%d" % codec.CBOR

    @pytest.mark.parametrize("body,why", [
        (b"\x81" * 100000 + b"\x00", "nested too deeply"),
        (b"\x9b\x00\x00\x00\x01\x00\x00\x00\x00", "larger than the input"),
        (b"\xa1\x61\x61\xd8\x23\x60", "tag that is not accepted"),
        (codec.dumps({"clazz": MODULE, "method": "echo", "args": []})[:-3], "larger than"),
        (b"\x9f\xff", "indefinite-length"),
        (b"", "ends inside"),
    ], ids=["deep", "count", "tag", "truncated", "indefinite", "empty"])
    def test_hostile_encodings_are_refused_and_the_server_keeps_serving(self, served, body, why):
        cbor, _, stub = served
        with pytest.raises(grpc.RpcError) as raised:
            raw(stub, body)
        assert raised.value.code() == grpc.StatusCode.INVALID_ARGUMENT
        assert raised.value.details().startswith("sorvane: the request cannot be decoded")
        assert why in raised.value.details()
        assert call(cbor, "echo", b"still here") == b"still here"

    def test_guard_token_and_size_limits_apply_unchanged(self, port):
        server = GrpcServer("127.0.0.1", port, token="codec-token-0123456789",
                            max_message_length=4096)
        guard(server, {MODULE: ["echo"]})
        server.run_background()
        try:
            good, bad = "codec-tok-%d" % port, "codec-notok-%d" % port
            grpc_client.load([
                Server(good, "127.0.0.1", port, token="codec-token-0123456789",
                       serialize=codec.CBOR),
                Server(bad, "127.0.0.1", port, serialize=codec.CBOR)])
            stub = grpc_client.connect(good)
            assert call(stub, "echo", (b"ok",)) == (b"ok",)
            for stub_, method, args, code in [
                (grpc_client.connect(bad), "echo", [1], grpc.StatusCode.UNAUTHENTICATED),
                (stub, "unencodable", [], grpc.StatusCode.PERMISSION_DENIED),
                (stub, "echo", [b"x" * 5000], grpc.StatusCode.RESOURCE_EXHAUSTED),
            ]:
                with pytest.raises(grpc.RpcError) as raised:
                    call(stub_, method, *args)
                assert raised.value.code() == code
                assert not isinstance(raised.value, codec.CodecUnsupported)
        finally:
            server.rpc_server.stop(0).wait()

    def test_a_result_cbor_cannot_carry_fails_the_call_not_the_codec(self, served):
        cbor, _, _ = served
        with pytest.raises(grpc.RpcError) as raised:
            call(cbor, "unencodable")
        assert raised.value.code() == grpc.StatusCode.UNKNOWN
        assert not isinstance(raised.value, codec.CodecUnsupported)
        assert "not CBOR serializable" in raised.value.details()


class TestServerWithoutTheCodec:
    """A server that reads every description as JSON, as sorvane did before
    the codec (and as another implementation of the contract may)."""

    @pytest.fixture
    def older(self, port):
        import json
        from concurrent import futures

        def handle(request, context):
            description = json.loads(request.request.decode("utf-8"))
            body = {"status": 0, "message": "", "excType": "", "result": description["args"]}
            return marvetta.CommonResponse(response=json.dumps(body).encode(), status=0)

        server = grpc.server(futures.ThreadPoolExecutor(2))
        brindlow.add_CommonServiceServicer_to_server(type("Old", (), {"handle": staticmethod(handle)})(),
                                                    server)
        server.add_insecure_port("127.0.0.1:%d" % port)
        server.start()
        name = "older-%d" % port
        grpc_client.load([Server(name, "127.0.0.1", port)])
        try:
            yield grpc_client.connect(name)
        finally:
            server.stop(0).wait()

    def test_a_cbor_call_says_the_server_lacks_the_codec(self, older):
        assert call(older, "echo", 1) == [1]
        with pytest.raises(codec.CodecUnsupported) as raised:
            call(older, "echo", 1, serialize=codec.CBOR)
        assert isinstance(raised.value, grpc.RpcError)
        assert raised.value.code() == grpc.StatusCode.UNKNOWN
        assert str(codec.CBOR) in str(raised.value)
        with pytest.raises(codec.CodecUnsupported):
            asyncio.run(aio.call_rpc_result(older, MODULE, "echo", [1], serialize=codec.CBOR))


class TestChoosingTheCodec:
    def test_the_entry_default_and_an_explicit_code(self, served):
        cbor, json_stub, _ = served
        assert call(cbor, "echo", (b"\x00",)) == (b"\x00",)
        assert call(json_stub, "echo", (b"\x00",), serialize=codec.CBOR) == (b"\x00",)
        for stub in (cbor, json_stub):  # JSON asked for explicitly
            with pytest.raises(TypeError, match="bytes"):
                call(stub, "echo", b"\x00", serialize=codec.JSON)
        assert call(cbor, "echo", (1,), serialize=codec.JSON) == [1]
        for bad in ("cbor", -1, 2 ** 32, True):
            with pytest.raises((TypeError, ValueError)):
                Server("x", "127.0.0.1", 1, serialize=bad)

    def test_stand_ins_async_and_streamed_calls(self, served):
        cbor, json_stub, _ = served
        json_name = next(k for k, v in grpc_client.stubs.items() if v is json_stub)
        cbor_name = next(k for k, v in grpc_client.stubs.items() if v is cbor)

        def echo(value):
            """stand-in"""

        def chunks(value, n):
            yield

        async def echo_later(value):
            """stand-in"""

        for f in (echo, chunks, echo_later):
            f.__module__, f.__qualname__ = MODULE, f.__name__
        assert grpc_service(cbor_name)(echo)(b"e") == b"e"
        assert grpc_service(json_name, codec.CBOR)(echo)({1}) == {1}
        assert grpc_service(cbor_name, 7)(echo)((1,)) == [1]  # any other code: JSON
        assert list(grpc_service(json_name, codec.CBOR)(chunks)(b"c", 2)) == \
            [(0, b"c"), (1, b"c")]
        assert asyncio.run(grpc_service(cbor_name)(echo_later)(b"a")) == b"a"
        assert list(streaming.call_stream(cbor, MODULE, "chunks", [b"s", 3])) == \
            [(0, b"s"), (1, b"s"), (2, b"s")]

        async def streamed():
            return [item async for item in aio.call_stream(cbor, MODULE, "chunks", [b"t", 2])]

        assert asyncio.run(streamed()) == [(0, b"t"), (1, b"t")]
        with pytest.raises(GrpcException) as raised:
            call(cbor, "echo_later")
        assert raised.value.exc_type == "TypeError"
