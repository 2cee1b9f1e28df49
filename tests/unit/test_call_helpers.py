"""GrpcHelper.call_rpc / call_rpc_result and GrpcException, with stand-in stubs."""
import collections.abc
import gc
import inspect
import json
import os
import re
import sys
import uuid

import grpc
import pytest

import marvetta
from sorvane import corvex
from sorvane.corvex import GrpcException, GrpcHelper

from client_support import StandInStub, envelope


class TestShape:
    def test_helper_is_a_plain_class_of_two_class_methods(self):
        assert GrpcHelper.__bases__ == (object,)
        assert GrpcHelper.__module__ == "sorvane.corvex"
        names = [n for n in vars(GrpcHelper) if not n.startswith("__")]
        assert names == ["call_rpc", "call_rpc_result"]
        for name in names:
            assert isinstance(vars(GrpcHelper)[name], classmethod)

    def test_signatures(self):
        assert str(inspect.signature(GrpcHelper.call_rpc)) == (
            "(rpc_client, clazz, method, args=None, kwargs=None, request_id=None, serialize=3, *,"
            " timeout=None, idempotent=False, wait_for_ready=None)")
        assert str(inspect.signature(GrpcHelper.call_rpc_result)) == (
            "(rpc_client, clazz, method, args=None, kwargs=None, request_id=None, *, timeout=None,"
            " serialize=3, idempotent=False, wait_for_ready=None)")

    def test_documentation(self):
        assert inspect.getdoc(GrpcHelper.call_rpc).splitlines() == [
            "common call rpc", "Args:", "    rpc_client:", "    clazz:", "    method:",
            "    args:", "    kwargs:", "    request_id:", "    serialize:", "", "Returns:"]
        assert GrpcHelper.call_rpc_result.__doc__ is None

    def test_argument_counts(self):
        stub = StandInStub()
        with pytest.raises(TypeError):
            GrpcHelper.call_rpc(stub, "m")
        with pytest.raises(TypeError):
            GrpcHelper.call_rpc(stub, "m", "f", None, None, None, 3, "surplus")
        with pytest.raises(TypeError):
            GrpcHelper.call_rpc_result(stub, "m", "f", None, None, None, 3)
        with pytest.raises(TypeError):
            GrpcHelper.call_rpc(stub, "m", "f", None, None, None, 3, 1)  # timeout is keyword-only
        assert stub.requests == []


class TestCallDescription:
    def test_exact_bytes(self):
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "pkg.mod", "K.f", args=[1, "é", None],
                            kwargs={"x": 1.5, "y": [True, {"k": "v"}]}, request_id="rid")
        (request,) = stub.requests
        assert request.request == (
            '{"clazz": "pkg.mod", "method": "K.f", "args": [1, "é", null], '
            '"kwargs": {"x": 1.5, "y": [true, {"k": "v"}]}}').encode("utf-8")
        assert request.serialize == 3
        assert request.request_id == "rid"

    def test_bytes_equal_the_host_encoder(self):
        stub = StandInStub()
        args = ("ünï", 2 ** 70, -0.0, float("inf"), [None])
        kwargs = {"z": "中文", "a": {"nested": [1, 2]}}
        GrpcHelper.call_rpc(stub, "m", "f", args, kwargs, "r")
        expected = json.dumps({"clazz": "m", "method": "f", "args": args, "kwargs": kwargs},
                              ensure_ascii=False).encode("utf-8")
        assert stub.requests[0].request == expected

    def test_missing_args_and_kwargs_are_empty(self):
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "m", "f")
        assert stub.requests[0].request == (
            b'{"clazz": "m", "method": "f", "args": [], "kwargs": {}}')

    def test_keyword_pairs_arrive_as_an_object(self):
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "m", "f", kwargs=[("b", 1), ("a", 2)])
        assert stub.kwargs_items() == [("b", 1), ("a", 2)]

    def test_kwargs_mapping_is_copied_with_dict(self):
        class Pairs(collections.abc.Mapping):
            def __init__(self):
                self.asked = []

            def __getitem__(self, key):
                self.asked.append(key)
                return key.upper()

            def __iter__(self):
                return iter(["b", "a"])

            def __len__(self):
                return 2

        stub = StandInStub()
        kwargs = Pairs()
        GrpcHelper.call_rpc(stub, "m", "f", kwargs=kwargs)
        assert kwargs.asked == ["b", "a"]
        assert stub.kwargs_items() == [("b", "B"), ("a", "A")]

    def test_non_ascii_is_literal_multibyte_utf8(self):
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "m", "f", ["€"])
        raw = stub.requests[0].request
        assert "€".encode("utf-8") in raw
        assert b"\\u" not in raw

    def test_all_parameters_by_position_and_serialize_passed_through(self):
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "m", "f", [1], {"k": 2}, "id-1", 7)
        request = stub.requests[0]
        assert (request.request_id, request.serialize) == ("id-1", 7)
        assert stub.description() == {"clazz": "m", "method": "f", "args": [1], "kwargs": {"k": 2}}

    def test_response_returned_as_is_even_for_a_failure(self):
        stub = StandInStub(envelope(-1, "boom", "ValueError"), status=-1)
        assert GrpcHelper.call_rpc(stub, "m", "f") is stub.reply

    def test_stub_handle_looked_up_per_call_and_its_error_propagates(self):
        class Broken:
            def handle(self, request):
                raise LookupError("transport")

        with pytest.raises(LookupError, match="transport"):
            GrpcHelper.call_rpc(Broken(), "m", "f")


    def test_default_timeout_is_the_stubs_own_setting(self):
        class TimedStub(StandInStub):
            def handle(self, request, timeout=None):
                self.timeouts.append(timeout)
                return super().handle(request)

        class ClassWide(TimedStub):
            _sorvane_timeout = 7.0  # on the class: not this stub's setting

        stub = ClassWide()
        stub.timeouts = []
        GrpcHelper.call_rpc(stub, "m", "f")
        stub._sorvane_timeout = 2.5
        GrpcHelper.call_rpc(stub, "m", "f")
        GrpcHelper.call_rpc(stub, "m", "f", timeout=1.5)  # the call's own wins
        assert stub.timeouts == [None, 2.5, 1.5]

    def test_stub_without_an_instance_dict(self):
        class Slotted:
            __slots__ = ("requests", "reply")

            def handle(self, request):
                self.requests.append(request)
                return self.reply

        stub = Slotted()
        stub.requests = []
        stub.reply = StandInStub(result=[1]).reply
        assert GrpcHelper.call_rpc_result(stub, "m", "f") == [1]
        assert len(stub.requests) == 1
        assert not hasattr(stub, "__dict__")


class KeywordStub(StandInStub):
    """A stub like the registry's: it carries its channel and its handle
    takes gRPC's per-call keywords, which it keeps."""

    _sorvane_channel = None

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self._sorvane_channel = object()
        self.keywords = []

    def handle(self, request, **keywords):
        self.keywords.append(keywords)
        return super().handle(request)


class TestRouting:
    """What a call tells the channel beyond the request: its target for
    proxies, whether it may be repeated, whether it waits for a server."""

    @pytest.mark.parametrize("clazz, method, value", [
        ("calc", "Greeter.hello", "calc:Greeter.hello"),
        ("caf\u00e9", "f", "caf%C3%A9:f"),
        ("m", "a b%", "m:a%20b%25"),
        ("m", "x" * 2000, None),
        ("m", 7, None)])
    def test_the_target_header(self, clazz, method, value):
        stub = KeywordStub()
        GrpcHelper.call_rpc(stub, clazz, method)
        expected = {} if value is None else {"metadata": (("sorvane-target", value),)}
        assert stub.keywords == [expected]

    def test_the_header_goes_to_grpc_callables_and_not_to_plain_stand_ins(self):
        plain = StandInStub()
        GrpcHelper.call_rpc(plain, "m", "f")  # handle(request) only: called as ever
        seen = []

        class Callable(grpc.UnaryUnaryMultiCallable):
            def __call__(self, request, **keywords):
                seen.append(keywords)
                return plain.reply

            with_call = future = None

        class Stub:
            handle = Callable()

        GrpcHelper.call_rpc(Stub(), "m", "f", timeout=2)
        assert seen == [{"metadata": (("sorvane-target", "m:f"),), "timeout": 2}]

    def test_idempotent_calls_take_the_stubs_retrying_twin(self):
        stub, twin = KeywordStub(result=1), KeywordStub(result=2)
        stub._sorvane_retrying = lambda: twin
        assert GrpcHelper.call_rpc_result(stub, "m", "f") == 1
        assert GrpcHelper.call_rpc_result(stub, "m", "f", idempotent=True) == 2
        assert GrpcHelper.call_rpc_result(twin, "m", "f", idempotent=True) == 2
        plain = StandInStub(result=3)  # no twin: the stub itself
        assert GrpcHelper.call_rpc_result(plain, "m", "f", idempotent=True) == 3
        assert [len(s.requests) for s in (stub, twin, plain)] == [1, 2, 1]

    def test_wait_for_ready_is_the_calls_else_the_stubs(self):
        stub = KeywordStub()
        GrpcHelper.call_rpc(stub, "m", "f", wait_for_ready=False)
        stub._sorvane_wait_for_ready = True
        GrpcHelper.call_rpc(stub, "m", "f")
        GrpcHelper.call_rpc_result(stub, "m", "f", wait_for_ready=False)
        assert [k.get("wait_for_ready") for k in stub.keywords] == [False, True, False]

    def test_marks_reach_a_subclass_call_rpc_only_when_given(self):
        seen = []

        class Old(GrpcHelper):
            @classmethod
            def call_rpc(cls, rpc_client, clazz, method, args=None, kwargs=None,
                         request_id=None, serialize=3, *, timeout=None, **marks):
                seen.append(marks)
                return GrpcHelper.call_rpc(rpc_client, clazz, method, **marks)

        stub = KeywordStub(result=5)
        assert Old.call_rpc_result(stub, "m", "f") == 5
        assert Old.call_rpc_result(stub, "m", "f", idempotent=True) == 5
        assert seen == [{}, {"idempotent": True, "wait_for_ready": None}]

    def test_the_decorator_passes_the_marks(self, monkeypatch):
        stub, twin = KeywordStub(result=1), KeywordStub(result=2)
        stub._sorvane_retrying = lambda: twin
        monkeypatch.setitem(corvex.grpc_client.stubs, "routing-test", stub)

        def f():
            ...
        f.__module__ = "m"
        marked = corvex.grpc_service("routing-test", idempotent=True, wait_for_ready=True)(f)
        plain = corvex.grpc_service("routing-test")(f)
        assert (marked(), plain()) == (2, 1)
        assert twin.keywords[0]["wait_for_ready"] is True
        assert "wait_for_ready" not in stub.keywords[0]
        with pytest.raises(TypeError):
            corvex.grpc_service("routing-test", wait_for_ready="yes")


class TestRequestId:
    def test_generated_identifier(self):
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "m", "f")
        GrpcHelper.call_rpc(stub, "m", "f", request_id=None)
        first, second = (r.request_id for r in stub.requests)
        for rid in (first, second):
            assert re.fullmatch("[0-9a-f]{32}", rid)
            assert uuid.UUID(hex=rid).version == 4
        assert first != second

    def test_given_identifier_kept_even_when_empty(self):
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "m", "f", request_id="")
        GrpcHelper.call_rpc(stub, "m", "f", request_id="mine")
        assert [r.request_id for r in stub.requests] == ["", "mine"]

    def test_generation_uses_the_module_level_uuid_at_call_time(self, monkeypatch):
        class FakeUuid:
            hex = "f" * 32

        class FakeModule:
            @staticmethod
            def uuid4():
                return FakeUuid()

        monkeypatch.setattr(corvex, "uuid", FakeModule)
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "m", "f")
        assert stub.requests[0].request_id == "f" * 32


    def test_replaced_uuid_objects_take_effect_at_once(self, monkeypatch):
        stub = StandInStub()
        fixed = bytes(range(16))
        monkeypatch.setattr(os, "urandom", lambda n: fixed[:n])
        GrpcHelper.call_rpc(stub, "m", "f")
        assert stub.requests[-1].request_id == uuid.UUID(bytes=fixed, version=4).hex
        monkeypatch.setattr(uuid, "uuid4", lambda: uuid.UUID(int=7))
        GrpcHelper.call_rpc(stub, "m", "f")
        assert stub.requests[-1].request_id == "%032x" % 7
        monkeypatch.undo()
        monkeypatch.setattr(uuid.UUID, "hex", property(lambda self: "h" * 32))
        GrpcHelper.call_rpc(stub, "m", "f")
        assert stub.requests[-1].request_id == "h" * 32

    def test_replaced_uuid4_code_takes_effect_at_once(self):
        def fixed():
            return type("Fixed", (), {"hex": "c" * 32})()

        stub = StandInStub()
        original = uuid.uuid4.__code__
        uuid.uuid4.__code__ = fixed.__code__
        try:
            GrpcHelper.call_rpc(stub, "m", "f")
        finally:
            uuid.uuid4.__code__ = original
        GrpcHelper.call_rpc(stub, "m", "f")
        assert stub.requests[0].request_id == "c" * 32
        assert stub.requests[1].request_id != "c" * 32


class TestCallRpcResult:
    @pytest.mark.parametrize("status", [0, 0.0, False])
    def test_status_zero_returns_result(self, status):
        stub = StandInStub(envelope(status, result={"r": [1, "é"]}))
        assert GrpcHelper.call_rpc_result(stub, "m", "f") == {"r": [1, "é"]}

    def test_status_zero_without_result_gives_none(self):
        stub = StandInStub(b'{"status": 0}')
        assert GrpcHelper.call_rpc_result(stub, "m", "f") is None

    def test_envelope_zero_wins_over_response_minus_one(self):
        stub = StandInStub(envelope(0, result=5), status=-1)
        assert GrpcHelper.call_rpc_result(stub, "m", "f") == 5

    def test_response_minus_one_raises_grpc_exception(self):
        stub = StandInStub(envelope(-1, "bad value", "ValueError"), status=-1)
        with pytest.raises(GrpcException) as info:
            GrpcHelper.call_rpc_result(stub, "m", "f")
        assert (info.value.exc_type, info.value.message) == ("ValueError", "bad value")
        assert info.value.args == ("ValueError", "bad value")

    def test_envelope_minus_one_with_response_zero_raises_grpc_exception(self):
        stub = StandInStub(envelope(-1, "m", "KeyError"), status=0)
        with pytest.raises(GrpcException) as info:
            GrpcHelper.call_rpc_result(stub, "m", "f")
        assert info.value.args == ("KeyError", "m")

    def test_response_minus_one_without_members_gives_nones(self):
        stub = StandInStub(b'{"status": 7}', status=-1)
        with pytest.raises(GrpcException) as info:
            GrpcHelper.call_rpc_result(stub, "m", "f")
        assert (info.value.exc_type, info.value.message) == (None, None)

    @pytest.mark.parametrize("body", [b'{"status": 1}', b'{}', b'{"status": "0"}'])
    def test_other_status_is_unknown(self, body):
        stub = StandInStub(body, status=0)
        with pytest.raises(Exception) as info:
            GrpcHelper.call_rpc_result(stub, "m", "f")
        assert type(info.value) is Exception
        assert info.value.args == ("unknown grpc exception",)

    def test_reaches_call_rpc_through_cls(self):
        seen = []

        class Helper(GrpcHelper):
            @classmethod
            def call_rpc(cls, *args, **kwargs):
                seen.append((cls, args, kwargs))
                return marvetta.CommonResponse(status=0, response=envelope(result="sub"))

        assert Helper.call_rpc_result("stub", "m", "f", [1], {"k": 2}, "rid") == "sub"
        assert seen == [(Helper, ("stub",), {"clazz": "m", "method": "f", "args": [1],
                                             "kwargs": {"k": 2}, "request_id": "rid"})]
        assert list(seen[0][2]) == ["clazz", "method", "args", "kwargs", "request_id"]

    def test_serialize_is_always_three(self):
        stub = StandInStub(envelope(result=1))
        GrpcHelper.call_rpc_result(stub, "m", "f")
        assert stub.requests[0].serialize == 3

    def test_grpc_exception_looked_up_at_call_time(self, monkeypatch):
        class Replacement(Exception):
            pass

        monkeypatch.setattr(corvex, "GrpcException", Replacement)
        stub = StandInStub(envelope(-1, "m", "E"), status=-1)
        with pytest.raises(Replacement) as info:
            GrpcHelper.call_rpc_result(stub, "m", "f")
        assert info.value.args == ("E", "m")


class TestGrpcException:
    def test_shape(self):
        assert GrpcException.__bases__ == (Exception,)
        assert GrpcException.__module__ == "sorvane.corvex"
        assert [n for n in vars(GrpcException) if not n.startswith("__")] == []
        assert str(inspect.signature(GrpcException)) == "(exc_type, message)"

    def test_attributes_and_args(self):
        e = GrpcException("ValueError", "boom")
        assert list(vars(e).items()) == [("exc_type", "ValueError"), ("message", "boom")]
        assert e.args == ("ValueError", "boom")
        assert str(e) == "('ValueError', 'boom')"

    def test_by_keyword_has_no_args(self):
        e = GrpcException(exc_type="T", message="m")
        assert (e.exc_type, e.message, e.args) == ("T", "m", ())

    def test_base_initialiser_not_called(self):
        e = GrpcException("a", "b")
        e.args = ("changed",)
        e.__init__("x", "y")  # Exception.__init__ would store ("x", "y")
        assert e.args == ("changed",)
        assert (e.exc_type, e.message) == ("x", "y")

    def test_argument_count(self):
        with pytest.raises(TypeError):
            GrpcException("only one")
        with pytest.raises(TypeError):
            GrpcException("a", "b", "c")


class TestBadInput:
    @pytest.mark.parametrize("value", [{1, 2}, b"bytes", object()])
    def test_unencodable_arguments_fail_before_sending(self, value):
        stub = StandInStub()
        with pytest.raises(TypeError):
            GrpcHelper.call_rpc(stub, "m", "f", [value])
        with pytest.raises(TypeError):
            GrpcHelper.call_rpc_result(stub, "m", "f", kwargs={"v": value})
        assert stub.requests == []

    @pytest.mark.parametrize("request_id", [123, 1.5, ["x"]])
    def test_request_id_must_be_text(self, request_id):
        stub = StandInStub()
        with pytest.raises(TypeError):
            GrpcHelper.call_rpc(stub, "m", "f", request_id=request_id)
        assert stub.requests == []

    @pytest.mark.parametrize("serialize", [-1, 2 ** 32])
    def test_serialize_outside_uint32(self, serialize):
        stub = StandInStub()
        with pytest.raises(ValueError):
            GrpcHelper.call_rpc(stub, "m", "f", serialize=serialize)
        assert stub.requests == []

    def test_serialize_bounds_accepted(self):
        stub = StandInStub()
        GrpcHelper.call_rpc(stub, "m", "f", serialize=0)
        GrpcHelper.call_rpc(stub, "m", "f", serialize=2 ** 32 - 1)
        assert [r.serialize for r in stub.requests] == [0, 2 ** 32 - 1]

    def test_serialize_of_wrong_type(self):
        with pytest.raises(TypeError):
            GrpcHelper.call_rpc(StandInStub(), "m", "f", serialize="3")

    def test_no_stub(self):
        with pytest.raises(AttributeError):
            GrpcHelper.call_rpc(None, "m", "f")
        with pytest.raises(AttributeError):
            GrpcHelper.call_rpc_result(None, "m", "f")

    def test_envelope_not_utf8(self):
        with pytest.raises(UnicodeDecodeError):
            GrpcHelper.call_rpc_result(StandInStub(b"\xff\xfe"), "m", "f")

    @pytest.mark.parametrize("body", [b"", b"{not json", b"[1,"])
    def test_envelope_not_json(self, body):
        with pytest.raises(json.JSONDecodeError):
            GrpcHelper.call_rpc_result(StandInStub(body), "m", "f")

    @pytest.mark.parametrize("body", [b"[0]", b"0", b'"status"', b"null"])
    def test_envelope_not_an_object(self, body):
        with pytest.raises(AttributeError):
            GrpcHelper.call_rpc_result(StandInStub(body), "m", "f")


def test_leak_loop():
    stub = StandInStub(envelope(result={"a": [1, 2, "é"]}))
    args, kwargs, clazz, method, rid = [1, "x"], {"k": [None]}, "mod", "K.f", "rid"
    failing = StandInStub(envelope(-1, "m", "E"), status=-1)

    def run(n):
        for _ in range(n):
            stub.requests.clear()
            failing.requests.clear()
            GrpcHelper.call_rpc_result(stub, clazz, method, args, kwargs, rid)
            GrpcHelper.call_rpc_result(stub, clazz, method)
            try:
                GrpcHelper.call_rpc_result(failing, clazz, method, args, kwargs)
            except GrpcException:
                pass
            try:
                GrpcHelper.call_rpc(stub, clazz, method, [{1}])
            except TypeError:
                pass

    inputs = (stub, args, kwargs, clazz, method, rid)
    run(200)
    gc.collect()
    refs = [sys.getrefcount(o) for o in inputs]
    objects = len(gc.get_objects())
    run(2000)
    gc.collect()
    assert [sys.getrefcount(o) for o in inputs] == refs
    assert len(gc.get_objects()) - objects < 50
