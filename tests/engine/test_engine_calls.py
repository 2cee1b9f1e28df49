"""Unary calls on the transport engines: outcomes, errors, metadata and
deadlines, every client engine to every server engine (grpcio and native,
both ways), against raw method handlers, so that what the native engine does
is compared with what grpcio does in the same run; and the native engine's
own unary paths (the dispatcher served from bytes, replies to come).
"""
import asyncio
import enum
import json
import random
import sys
import threading
import time
from concurrent import futures

import grpc
import pytest

from sorvane import aio

from probe_support import (ENGINES, NATIVE, SERVICE, WAIT, Pairing, Probe, Running, needs_native,
                           transport, wait_until)


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


def pair_channel(pair):
    return pair[1].channel


class TestCalls:
    def test_echo_and_with_call(self, pair):
        _, method, _ = pair
        assert method("echo")(b"hello", timeout=WAIT) == b"hello"
        response, call = method("trailing").with_call(b"", timeout=WAIT)
        assert response == b"ok"
        assert call.code() is grpc.StatusCode.OK
        assert ("answer", "42") in [tuple(m) for m in call.trailing_metadata()]

    def test_large_messages_are_let_go_once_sent(self, pair):
        # A large request or reply is lent to the native engine, not copied:
        # each is given back once sent.
        probe, method, _ = pair
        request = b"q" * 300000
        def references():
            return sys.getrefcount(request), sys.getrefcount(probe.large_reply)

        def failure(name, timeout):
            # The code only: grpcio's error keeps the frames that held the request.
            try:
                method(name)(request, timeout=timeout)
            except grpc.RpcError as error:
                return error.code()

        held = references()
        for _ in range(3):
            assert method("echo")(request, timeout=WAIT) == request
            assert method("large")(b"", timeout=WAIT) == probe.large_reply
            assert failure("no_such", WAIT) == grpc.StatusCode.UNIMPLEMENTED  # refused unread
        assert failure("block", 0.2) == grpc.StatusCode.DEADLINE_EXCEEDED  # past its deadline
        assert wait_until(lambda: references() == held), (references(), held)

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
            # Large requests (the engine hands them over in its own buffer).
            big = made(description(method="echo", args=["x" * 70000]), request_id="big")
            payloads += [
                big,
                big + b"\x20\x07",
                b"\x0a\x02\xff\xfe" + big,
                made(description(clazz="os", method="getcwd", args=["p" * 70000])),  # refused
                made(b"\x9f" + b"\x00" * 70000, serialize=codec.CBOR),  # undecodable: no end
                # bytes values of 1 MiB and more (the reply goes out in parts, uncopied)
                made(codec.dumps({"clazz": "targets_server", "method": "echo", "kwargs": {},
                                  "args": [b"\x01" * (1 << 20), "t", b"\x02" * (1 << 20)]}),
                     serialize=codec.CBOR),
            ]
            for payload in payloads:
                taken.clear()
                assert ask(channels[0], payload) == ask(channels[1], payload), payload[:40]
                assert taken == [payload]  # the other server went the objects' way
            assert parsed == []
            # The guard's refusal and the undecodable CBOR request, on each server.
            assert [request for _, request in given] == [
                real(payloads[i]) for i in (2, 2, 4, 4, 17, 17, 18, 18)]
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

        class Three(enum.IntEnum):
            JSON = 3

        def outcome(fn):
            try:
                return ("ok", fn())
            except grpc.RpcError as error:  # grpcio's future and blocking call differ in class
                return ("rpc error", error.code(), error.details())
            except Exception as error:  # noqa: BLE001 - compared below
                return ("raised", type(error), str(error))

        ok = marvetta.CommonResponse(
            response=b'{"status": 0, "message": "", "excType": "", "result": [1, "\\u00e9"]}')
        failed = marvetta.CommonResponse(status=-1, response=json.dumps(
            {"status": -1, "message": "no luck", "excType": "ValueError", "result": None}).encode())
        binary = marvetta.CommonResponse(response=codec.dumps(
            {"status": 0, "message": "", "excType": "", "result": [b"\x00\xff", (1, 2.5)]}))
        big_ok = marvetta.CommonResponse(response=json.dumps(
            {"status": 0, "message": "", "excType": "", "result": "y" * 70000}).encode())
        big_binary = marvetta.CommonResponse(response=codec.dumps(
            {"status": 0, "message": "", "excType": "", "result": [b"\x01" * 70000, {3}]}))
        try:
            for reply in [ok.SerializeToString(), failed.SerializeToString(),
                          binary.SerializeToString(),
                          b"\x08\x80\x80\x80\x80\x10" + ok.SerializeToString(),  # status past 32 bits
                          ok.SerializeToString() + b"\x18\x01",  # a field it does not have
                          ok.SerializeToString() * 2,  # the body twice: the last counts
                          b"\x12\x09{}",  # cut short
                          b"",
                          # Large replies (the engine hands them over in its own buffer).
                          big_ok.SerializeToString(),
                          big_ok.SerializeToString() + b"\x18\x01",
                          big_binary.SerializeToString()]:
                replies[:] = [reply]
                # A streamed call's messages reach _result_of as their bytes.
                assert outcome(lambda: corvex._result_of(reply)) == outcome(
                    lambda: corvex._result_of(marvetta.CommonResponse.FromString(reply))), reply
                for request_id, args, serialize in [("r-\u00e9", [1, {"b": 2}], None),
                                                    ("", [], codec.CBOR),
                                                    # a code the message class judges
                                                    ("enum", [2], Three.JSON),
                                                    # large requests, made in place
                                                    ("big", ["z" * 70000], None),
                                                    ("big", [b"\x00" * 70000], codec.CBOR),
                                                    # sent in parts, uncopied
                                                    ("parts", [b"\x01" * (1 << 20), "t",
                                                               b"\x02" * (1 << 20)], codec.CBOR)]:
                    options = {} if serialize is None else {"serialize": serialize}
                    received.clear()
                    by_bytes = outcome(lambda: helper.call_rpc_result(
                        stub, "m", "f", args, request_id=request_id, timeout=WAIT, **options))
                    by_objects = outcome(lambda: corvex._result_of(helper.call_rpc(
                        stub, "m", "f", args, request_id=request_id, timeout=WAIT, **options)))
                    # The awaitable form takes the same path, started on a loop.
                    awaited = outcome(lambda: asyncio.run(aio.call_rpc_result(
                        stub, "m", "f", args, request_id=request_id, timeout=WAIT, **options)))
                    assert by_bytes == by_objects == awaited, reply
                    assert len(received) == 3 and received[0] == received[1] == received[2]

            # A subclass's own call_rpc is the one the awaitable form goes through.
            class Counting(corvex.GrpcHelper):
                seen = []

                @classmethod
                def call_rpc(cls, rpc_client, clazz, method, *rest, **options):
                    cls.seen.append(method)
                    return corvex.GrpcHelper.call_rpc.__func__(cls, rpc_client, clazz, method,
                                                               *rest, **options)

            replies[:] = [ok.SerializeToString()]
            assert asyncio.run(aio.call_rpc_result(stub, "m", "g", [], _cls=Counting)) == [1, "\u00e9"]
            assert Counting.seen == ["g"]
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
