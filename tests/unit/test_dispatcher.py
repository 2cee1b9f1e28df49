"""CommonService: envelopes, call-description rules and the failure table,
through a real GrpcServer on 127.0.0.1 and in process, checked against a
plain-Python version of the same dispatcher."""
import contextlib
import gc
import inspect
import io
import json
import sys
import threading
import tracemalloc
import types

import grpc
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brindlow
import marvetta
import targets_server
from conftest import free_port
from server_support import (ReferenceService, envelope_bytes, outcome, request,
                            serving)
from sorvane import corvex

PLACEHOLDER = {"status": "", "msg": "", "data": ""}


@pytest.fixture(scope="module")
def stub():
    with serving(free_port(), max_workers=4) as (_, stub):
        yield stub


def call(stub, description=None, raw=None, **fields):
    return stub.handle(request(description, raw=raw, **fields), timeout=30)


def target(method, *args, **kwargs):
    description = {"clazz": "targets_server", "method": method}
    if args:
        description["args"] = list(args)
    if kwargs:
        description["kwargs"] = kwargs
    return description


def envelope(response):
    return json.loads(response.response.decode("utf-8"))


def assert_rpc_fails(stub, description=None, raw=None):
    """The call ends with UNKNOWN and no envelope; the server still answers."""
    with pytest.raises(grpc.RpcError) as info:
        call(stub, description, raw=raw)
    assert info.value.code() == grpc.StatusCode.UNKNOWN
    assert envelope(call(stub, target("add", 2, 3)))["result"] == 5
    return info.value


def assert_caught(stub, description, exc_type, message=None):
    """The target's failure is reported in the envelope with status -1."""
    response = call(stub, description)
    body = envelope(response)
    assert response.status == -1
    assert body["status"] == -1
    assert body["excType"] == exc_type
    assert body["result"] == PLACEHOLDER
    if message is not None:
        assert body["message"] == message
    return body


class TestClass:
    def test_shape(self):
        cls = corvex.CommonService
        assert cls.__bases__ == (brindlow.CommonServiceServicer,)
        assert type(cls) is type
        assert cls.__doc__ is None
        assert cls.__module__ == "sorvane.corvex"
        own = [k for k in vars(cls) if not k.startswith("__")]
        assert own == ["clazz_handler", "handle"]
        assert isinstance(vars(cls)["clazz_handler"], classmethod)

    def test_clazz_handler(self):
        assert corvex.CommonService.clazz_handler("a.b") == "a.b"
        assert corvex.CommonService.clazz_handler(clazz=None) is None
        assert corvex.CommonService().clazz_handler(7) == 7
        assert str(inspect.signature(vars(corvex.CommonService)["clazz_handler"].__func__)) == \
            "(cls, clazz)"
        with pytest.raises(TypeError):
            corvex.CommonService.clazz_handler()

    def test_handle_signature_and_names(self):
        handle = corvex.CommonService.handle
        assert str(inspect.signature(handle)) == "(self, request, context)"
        assert str(inspect.signature(corvex.CommonService().handle)) == "(request, context)"
        assert handle.__name__ == "handle"
        assert handle.__qualname__ == "CommonService.handle"
        assert handle.__module__ == "sorvane.corvex"
        assert handle.__wrapped__.__qualname__ == "CommonService.handle"

    def test_handle_arguments_by_keyword(self):
        service = corvex.CommonService()
        response = service.handle(request=request(target("add", 1, 2)), context=None)
        assert envelope(response)["result"] == 3
        with pytest.raises(TypeError):
            service.handle(request(target("add", 1, 2)))

    def test_services_are_independent(self):
        a, b = corvex.CommonService(), corvex.CommonService()
        a.clazz_handler = lambda clazz: "targets_server"
        assert envelope(a.handle(request({"method": "nothing"}), None))["status"] == 0
        with pytest.raises(AttributeError):  # import_module(None)
            b.handle(request({"method": "nothing"}), None)


class TestEnvelopes:
    def test_success_bytes(self, stub):
        response = call(stub, target("add", 20, 22))
        assert response.status == 0
        assert response.response == b'{"status": 0, "message": "", "excType": "", "result": 42}'

    def test_caught_failure_bytes(self, stub, capfd):
        response = call(stub, target("fail", "it broke"))
        assert response.status == -1
        assert response.response == (
            b'{"status": -1, "message": "it broke", "excType": "ValueError", '
            b'"result": {"status": "", "msg": "", "data": ""}}')
        err = capfd.readouterr().err
        assert "Traceback (most recent call last)" in err
        assert err.rstrip().endswith("ValueError: it broke")

    def test_failure_without_message(self, stub):
        body = assert_caught(stub, target("fail_empty"), "KeyError", "")
        assert list(body) == ["status", "message", "excType", "result"]

    def test_non_ascii_unescaped(self, stub):
        response = call(stub, target("non_ascii"))
        text = '{"status": 0, "message": "", "excType": "", "result": "h\u00e9llo \u4e16\u754c \U0001f600"}'
        assert response.response == text.encode("utf-8")

    def test_non_ascii_arguments_round_trip(self, stub):
        response = call(stub, target("echo", "\u00fc", k="\u4e16"))
        assert envelope(response)["result"] == {"args": ["\u00fc"], "kwargs": {"k": "\u4e16"}}

    def test_tuple_as_array(self, stub):
        response = call(stub, target("as_tuple"))
        assert response.response == \
            b'{"status": 0, "message": "", "excType": "", "result": [1, "two", [3]]}'

    def test_none_result(self, stub):
        response = call(stub, target("nothing"))
        assert response.response == b'{"status": 0, "message": "", "excType": "", "result": null}'

    @pytest.mark.parametrize("serialize", [0, 3, 99])
    def test_serialize_and_request_id_ignored(self, stub, serialize):
        description = dict(target("add", 1, 1), extra={"ignored": True})
        response = call(stub, description, serialize=serialize, request_id="\u00e9-%d" % serialize)
        assert response.response == envelope_bytes(result=2)


class TestDescription:
    @pytest.mark.parametrize("args", ["missing", None, False, 0, 0.0, "", []])
    def test_false_args_mean_none(self, stub, args):
        description = target("echo")
        if args != "missing":
            description["args"] = args
        assert envelope(call(stub, description))["result"] == {"args": [], "kwargs": {}}

    @pytest.mark.parametrize("kwargs", ["missing", None, False, 0, "", {}, []])
    def test_false_kwargs_mean_none(self, stub, kwargs):
        description = target("echo", 1)
        if kwargs != "missing":
            description["kwargs"] = kwargs
        assert envelope(call(stub, description))["result"] == {"args": [1], "kwargs": {}}

    def test_string_args_are_characters(self, stub):
        description = dict(target("echo"), args="ab")
        assert envelope(call(stub, description))["result"]["args"] == ["a", "b"]

    def test_object_args_are_member_names(self, stub):
        description = dict(target("echo"), args={"x": 1, "y": 2})
        assert envelope(call(stub, description))["result"]["args"] == ["x", "y"]

    def test_pairs_as_kwargs(self, stub):
        description = dict(target("add"), kwargs=[["a", 4], ["b", 5]])
        assert envelope(call(stub, description))["result"] == 9

    @pytest.mark.parametrize("args", [7, 1.5, True])
    def test_uniterable_args_are_caught(self, stub, args):
        assert_caught(stub, dict(target("echo"), args=args), "TypeError")

    @pytest.mark.parametrize("kwargs, exc_type", [
        (7, "TypeError"), (True, "TypeError"), ("ab", "ValueError"), ([[1, 2]], "TypeError"),
        ([["a"]], "ValueError"), ([1], "TypeError"),
    ])
    def test_bad_kwargs_are_caught(self, stub, kwargs, exc_type):
        assert_caught(stub, dict(target("echo"), kwargs=kwargs), exc_type)

    @pytest.mark.parametrize("method, args, result", [
        ("Shapes.make", [2], ["shapes", "shapes"]),
        ("Shapes.twice", [4], 8),
        ("shapes.plain", [1], ["plain", 1]),
        ("Shapes.Inner.deep", [], "deep"),
    ])
    def test_method_paths(self, stub, method, args, result):
        assert envelope(call(stub, target(method, *args)))["result"] == result

    def test_plain_method_on_class_needs_instance(self, stub):
        assert_caught(stub, target("Shapes.plain", 1), "TypeError")

    def test_dotted_module_name(self, stub):
        description = {"clazz": "os.path", "method": "join", "args": ["a", "b"]}
        assert envelope(call(stub, description))["result"] == "a/b"

    def test_rebinding_a_module_attribute_takes_effect(self, stub, monkeypatch):
        assert envelope(call(stub, target("add", 1, 2)))["result"] == 3
        monkeypatch.setattr(targets_server, "add", lambda a, b: a * b)
        assert envelope(call(stub, target("add", 4, 5)))["result"] == 20


class TestFailureTable:
    """Each row: what ends as status -1 and what fails the RPC with UNKNOWN."""

    @pytest.mark.parametrize("raw", [b"\xff\xfe", b'{"clazz": "\xc3"}', b"", b"{", b"nan-ish",
                                     b'{"clazz": "targets_server",}'])
    def test_undecodable_or_not_json(self, stub, raw):
        assert_rpc_fails(stub, raw=raw)

    @pytest.mark.parametrize("description", [[1, 2], "text", 3, 2.5, True, None])
    def test_description_not_an_object(self, stub, description):
        error = assert_rpc_fails(stub, description)
        assert "has no attribute 'get'" in error.details()

    @pytest.mark.parametrize("description", [
        {"method": "add"}, {"clazz": None, "method": "add"}, {"clazz": 5, "method": "add"},
        {"clazz": ["targets_server"], "method": "add"}, {"clazz": "", "method": "add"},
        {"clazz": "no_such_module_here", "method": "add"}, {"clazz": ".relative", "method": "x"},
        {"clazz": "targets_broken", "method": "x"},
    ])
    def test_module_cannot_be_imported(self, stub, description):
        assert_rpc_fails(stub, description)

    @pytest.mark.parametrize("method", ["missing", None, 5, ["add"], "", "no_such", "add.",
                                        ".add", "Shapes..make", "Shapes.nope"])
    def test_method_cannot_be_resolved(self, stub, method):
        description = {"clazz": "targets_server", "args": [1, 2]}
        if method != "missing":
            description["method"] = method
        assert_rpc_fails(stub, description)

    def test_not_callable_is_caught(self, stub):
        assert_caught(stub, target("NOT_CALLABLE"), "TypeError")

    def test_arguments_that_do_not_fit_are_caught(self, stub):
        assert_caught(stub, target("add", 1), "TypeError")
        assert_caught(stub, target("add", 1, 2, c=3), "TypeError")

    def test_target_exception_is_caught(self, stub):
        assert_caught(stub, target("fail", "bad thing"), "ValueError", "bad thing")

    @pytest.mark.parametrize("kind", ["object", "bytes", "set", "key", "loop"])
    def test_unencodable_result_fails_after_running(self, stub, kind, monkeypatch):
        ran = []
        original = targets_server.unencodable
        monkeypatch.setattr(targets_server, "unencodable",
                            lambda k: ran.append(k) or original(k))
        assert_rpc_fails(stub, target("unencodable", kind))
        assert ran == [kind]

    def test_lone_surrogates_fail(self, stub):
        assert_rpc_fails(stub, target("lone_surrogate"))
        assert_rpc_fails(stub, target("fail_surrogate"))
        # Escaped in the request: decoded fine, then unencodable on the way out.
        assert_rpc_fails(stub, raw=b'{"clazz": "targets_server", "method": "echo", '
                                   b'"args": ["\\ud800"]}')
        # As a module name it is simply not found.
        assert_rpc_fails(stub, raw=b'{"clazz": "\\udc00", "method": "x"}')

    @pytest.mark.parametrize("raw", [
        b'{"clazz": "targets_server", "method": "\\ud800"}',
        b'{"clazz": "targets_server", "method": "Shapes.\\udfff"}',
    ])
    def test_failure_text_with_lone_surrogate(self, stub, raw):
        # gRPC cannot encode such a text as details: the call must still end.
        error = assert_rpc_fails(stub, raw=raw)
        assert "call failed with AttributeError: " in error.details()
        assert "\\ud" in error.details() or "\\udfff" in error.details()

    def test_handler_failure_leaves_handle(self, stub):
        error = assert_rpc_fails(stub, target("fail_unprintable"))
        assert "no text for you" in error.details()

    def test_deep_nesting(self, stub):
        depth = 200000
        raw = b'{"clazz": "targets_server", "method": "echo", "args": ' + b"[" * depth + \
            b"]" * depth + b"}"
        error = assert_rpc_fails(stub, raw=raw)
        assert "RecursionError" in error.details() or "recursion" in error.details()


class TestClazzHandler:
    def test_replacement_while_serving(self, port):
        seen = []
        with serving(port) as (server, stub):
            assert envelope(call(stub, target("add", 1, 2)))["result"] == 3

            def handler(clazz):
                seen.append(clazz)
                return {"alias": "targets_server"}.get(clazz, clazz)

            server.set_clazz_handler(handler)
            description = {"clazz": "alias", "method": "add", "args": [2, 3]}
            assert envelope(call(stub, description))["result"] == 5
            assert envelope(call(stub, {"clazz": "targets_server", "method": "nothing"}))[
                "status"] == 0
            with pytest.raises(grpc.RpcError):
                call(stub, {"method": "nothing"})  # handler gets None, import fails
            assert seen == ["alias", "targets_server", None]
            server.set_clazz_handler(corvex.CommonService.clazz_handler)
            assert envelope(call(stub, target("add", 4, 4)))["result"] == 8
            assert seen == ["alias", "targets_server", None]

    def test_raising_handler_fails_the_rpc(self, port):
        def handler(clazz):
            raise LookupError("no mapping")

        with serving(port) as (server, stub):
            server.set_clazz_handler(handler)
            with pytest.raises(grpc.RpcError) as info:
                call(stub, target("add", 1, 2))
            assert info.value.code() == grpc.StatusCode.UNKNOWN
            assert "no mapping" in info.value.details()


class TestEscapingExceptions:
    """Exceptions outside the Exception category: UNKNOWN on the wire at once,
    the original for callers without a context."""

    @pytest.mark.parametrize("kind, name", [("exit", "SystemExit"),
                                            ("interrupt", "KeyboardInterrupt"),
                                            ("generator", "GeneratorExit"),
                                            ("custom", "Custom")])
    def test_rpc_ends_with_unknown_and_worker_keeps_serving(self, port, kind, name):
        with serving(port, max_workers=1) as (_, stub):
            for _ in range(3):  # the one worker must survive every round
                with pytest.raises(grpc.RpcError) as info:
                    call(stub, target("escape", kind))
                assert info.value.code() == grpc.StatusCode.UNKNOWN
                assert "call ended by " + name in info.value.details()
                assert envelope(call(stub, target("add", 1, 1)))["result"] == 2

    def test_text_that_cannot_be_sent(self, port):
        with serving(port, max_workers=1) as (_, stub):
            with pytest.raises(grpc.RpcError) as info:
                call(stub, target("escape", "exit_text"))
            assert info.value.code() == grpc.StatusCode.UNKNOWN
            assert "call ended by SystemExit: bye \\udc80" in info.value.details()
            assert envelope(call(stub, target("add", 1, 1)))["result"] == 2

    def test_on_a_worker_thread_of_a_large_pool(self, port):
        with serving(port, max_workers=8) as (_, stub):
            errors = []

            def worker():
                try:
                    call(stub, target("escape", "interrupt"))
                except grpc.RpcError as e:
                    errors.append(e.code())

            threads = [threading.Thread(target=worker) for _ in range(16)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            assert errors == [grpc.StatusCode.UNKNOWN] * 16
            assert envelope(call(stub, target("add", 2, 2)))["result"] == 4

    def test_import_raising_system_exit(self, port):
        with serving(port, max_workers=1) as (_, stub):
            for _ in range(2):
                with pytest.raises(grpc.RpcError) as info:
                    call(stub, {"clazz": "targets_exit", "method": "x"})
                assert info.value.code() == grpc.StatusCode.UNKNOWN
            assert envelope(call(stub, target("add", 1, 1)))["result"] == 2

    def test_handler_raising_keyboard_interrupt(self, port):
        def handler(clazz):
            raise KeyboardInterrupt

        with serving(port, max_workers=1) as (server, stub):
            server.set_clazz_handler(handler)
            with pytest.raises(grpc.RpcError) as info:
                call(stub, target("add", 1, 1))
            assert info.value.code() == grpc.StatusCode.UNKNOWN
            server.set_clazz_handler(corvex.CommonService.clazz_handler)
            assert envelope(call(stub, target("add", 1, 1)))["result"] == 2

    @pytest.mark.parametrize("kind, exc_type", [("exit", SystemExit),
                                                ("interrupt", KeyboardInterrupt),
                                                ("generator", GeneratorExit),
                                                ("custom", targets_server.Custom)])
    def test_in_process_without_context_sees_the_original(self, kind, exc_type):
        service = corvex.CommonService()
        with pytest.raises(exc_type) as info:
            service.handle(request(target("escape", kind)), None)
        assert info.value is targets_server.raised[kind]

    def test_in_process_with_context_sees_the_cause(self):
        service = corvex.CommonService()
        with pytest.raises(RuntimeError) as info:
            service.handle(request(target("escape", "exit")), object())
        original = targets_server.raised["exit"]
        assert str(info.value) == "call ended by SystemExit: 3"
        assert info.value.__cause__ is original
        assert info.value.__context__ is original

    def test_unsendable_text_in_process(self):
        req = request(raw=b'{"clazz": "targets_server", "method": "\\ud800"}')
        with pytest.raises(AttributeError):
            corvex.CommonService().handle(req, None)
        with pytest.raises(RuntimeError) as info:
            corvex.CommonService().handle(req, object())
        # Not chained: printing the original may fail on its text.
        assert info.value.__cause__ is None and info.value.__context__ is None
        assert str(info.value).startswith("call failed with AttributeError: ")
        assert str(info.value).endswith("'\\ud800'")
        str(info.value).encode("utf-8")  # what gRPC needs

    def test_ordinary_failures_are_not_converted(self):
        service = corvex.CommonService()
        with pytest.raises(ModuleNotFoundError):
            service.handle(request({"clazz": "no_such_module_here", "method": "x"}), object())


class TestInProcess:
    def test_exception_context_is_restored(self):
        service = corvex.CommonService()
        stderr = io.StringIO()
        try:
            raise LookupError("outer")
        except LookupError as outer:
            with contextlib.redirect_stderr(stderr):
                response = service.handle(request(target("fail", "inner")), None)
            assert sys.exc_info()[1] is outer
        assert response.status == -1
        assert sys.exc_info() == (None, None, None)
        # The caught failure was chained to the exception being handled.
        assert "LookupError: outer" in stderr.getvalue()
        assert stderr.getvalue().rstrip().endswith("ValueError: inner")

    def test_handled_exception_comes_back_whole(self):
        # What sys.exc_info() reported before the call is what it reports after,
        # item for item, even where the traceback it holds is no longer the
        # instance's own (hosts that keep a triple must put the triple back).
        service = corvex.CommonService()
        try:
            raise LookupError("outer")
        except LookupError as outer:
            outer.__traceback__ = None
            before = sys.exc_info()
            with contextlib.redirect_stderr(io.StringIO()):
                response = service.handle(request(target("fail", "inner")), None)
            after = sys.exc_info()
        assert response.status == -1
        assert len(after) == len(before) == 3
        assert all(a is b for a, b in zip(after, before)), (after, before)

    def test_metrics_and_exposure_come_from_the_instance_only(self):
        seen = []

        class Tally:
            def enter(self):
                seen.append("enter")

            def record(self, module, method, outcome, seconds):
                seen.append((module, method, outcome))

        class Refused(Exception):
            pass

        class Shared(corvex.CommonService):  # class attributes are not the service's own
            _metrics = Tally()
            _exposure = {}  # would refuse every module

            def _refused(self, context, request, reason, told):
                raise Refused(told)

        add = request(target("add", 1, 2))
        service = Shared()
        assert envelope(service.handle(add, None))["result"] == targets_server.add(1, 2)
        assert seen == []

        service._metrics = Tally()
        assert envelope(service.handle(add, None))["result"] == targets_server.add(1, 2)
        assert seen == ["enter", ("targets_server", "add", "ok")]

        service._exposure = {}
        with pytest.raises(Refused, match="targets_server"):
            service.handle(add, None)
        assert seen[-2:] == ["enter", ("", "", "refused")]

    def test_handler_uses_module_level_sys_and_traceback(self, monkeypatch):
        seen = []

        def print_exception(exc_type, exc_value, exc_tb):
            seen.append((exc_type, exc_value, exc_tb, sys.exc_info()[1]))

        monkeypatch.setattr(corvex, "traceback", types.SimpleNamespace(
            print_exception=print_exception))
        response = corvex.CommonService().handle(request(target("fail", "x")), None)
        assert response.status == -1
        (exc_type, exc_value, exc_tb, current), = seen
        assert exc_type is ValueError and isinstance(exc_value, ValueError)
        assert current is exc_value
        assert exc_tb is exc_value.__traceback__ and exc_tb is not None

        monkeypatch.setattr(corvex, "sys", types.SimpleNamespace(
            exc_info=lambda: (KeyError, KeyError("swapped"), None)))
        body = envelope(corvex.CommonService().handle(request(target("fail", "x")), None))
        assert body["excType"] == "KeyError"  # from exc_info's type
        assert body["message"] == "x"        # from the caught exception itself

    def test_failure_in_the_handler_leaves_handle_chained(self, monkeypatch):
        def broken(*args):
            raise OSError("stderr is gone")

        monkeypatch.setattr(corvex, "traceback", types.SimpleNamespace(print_exception=broken))
        with pytest.raises(OSError) as info:
            corvex.CommonService().handle(request(target("fail", "x")), None)
        assert isinstance(info.value.__context__, ValueError)
        assert sys.exc_info() == (None, None, None)

    def test_module_level_names_are_looked_up_per_call(self, monkeypatch):
        service = corvex.CommonService()
        imported = []
        real = corvex.importlib

        monkeypatch.setattr(corvex, "importlib", types.SimpleNamespace(
            import_module=lambda name: imported.append(name) or real.import_module(name)))
        assert envelope(service.handle(request(target("add", 1, 2)), None))["result"] == 3
        assert imported == ["targets_server"]
        monkeypatch.undo()

        class Response:
            def __init__(self, response, status):
                self.response, self.status = response, status

            def SerializeToString(self):
                return b""

        monkeypatch.setattr(corvex, "marvetta", types.SimpleNamespace(CommonResponse=Response))
        monkeypatch.setattr(corvex, "rpc_logger", types.SimpleNamespace(debug=lambda text: None))
        monkeypatch.setattr(corvex, "json_format", types.SimpleNamespace(
            MessageToJson=lambda message, preserving_proto_field_name: "{}"))
        response = service.handle(request(target("add", 2, 2)), None)
        assert isinstance(response, Response)
        assert response.response == envelope_bytes(result=4)

    def test_clazz_handler_replaced_on_the_class_or_a_subclass(self, monkeypatch):
        description = {"method": "add", "args": [1, 2]}  # no "clazz"
        monkeypatch.setattr(corvex.CommonService, "clazz_handler",
                            classmethod(lambda cls, clazz: "targets_server"))
        assert envelope(corvex.CommonService().handle(request(description), None))[
            "result"] == 3
        monkeypatch.undo()

        class Mapped(corvex.CommonService):
            @staticmethod
            def clazz_handler(clazz):
                return "targets_server"

        class Plain(corvex.CommonService):
            pass

        assert envelope(Mapped().handle(request(description), None))["result"] == 3
        with pytest.raises(AttributeError):  # import_module(None), as with the base
            Plain().handle(request(description), None)

    def test_response_class_is_looked_up_per_call(self, monkeypatch):
        made = []
        real = marvetta.CommonResponse

        def factory(*args, **fields):
            made.append((args, list(fields)))
            return real(**fields)

        monkeypatch.setattr(marvetta, "CommonResponse", factory)
        response = corvex.CommonService().handle(request(target("fail", "x")), None)
        assert made == [((), ["response", "status"])]
        assert response.status == -1
        assert response.response == envelope_bytes(status=-1, message="x", exc_type="ValueError")

    def test_import_module_patched_on_importlib_is_honoured(self, monkeypatch):
        imported = []
        real = corvex.importlib.import_module
        monkeypatch.setattr(corvex.importlib, "import_module",
                            lambda name: imported.append(name) or real(name))
        corvex.CommonService().handle(request(target("add", 1, 2)), None)
        assert imported == ["targets_server"]

    def test_request_object_need_not_be_a_message(self):
        fake = types.SimpleNamespace(request=json.dumps(target("add", 3, 4)).encode(),
                                     request_id="r")
        assert envelope(corvex.CommonService().handle(fake, None))["result"] == 7
        with pytest.raises(AttributeError):
            corvex.CommonService().handle(types.SimpleNamespace(request="not bytes"), None)


# ---- parity with the plain-Python dispatcher ---------------------------------

PARITY_CASES = [
    target("add", 1, 2), target("add", a=1, b=2), target("fail", "m"), target("fail_empty"),
    target("echo", 1, "\u00e9", [1, {"k": None}], k=2.5), target("as_tuple"),
    target("non_ascii"), target("nothing"), target("NOT_CALLABLE"), target("Shapes.make", 2),
    target("shapes.plain", 0), target("Shapes.plain", 0), target("unencodable", "set"),
    target("lone_surrogate"), target("fail_unprintable"), dict(target("echo"), args="xy"),
    dict(target("echo"), args={"p": 1}), dict(target("echo"), args=5),
    dict(target("echo"), kwargs=[["a", 1]]), dict(target("echo"), kwargs=[[1, 2]]),
    dict(target("echo"), kwargs="ab"), dict(target("echo"), kwargs=3),
    {"clazz": "targets_server"}, {"method": "add"}, {"clazz": "targets_server", "method": ""},
    {"clazz": "targets_server", "method": "a..b"}, {"clazz": 5, "method": "x"},
    {"clazz": "targets_broken", "method": "x"}, [1], "s", None, 0,
    {"clazz": "targets_server", "method": ["add"]}, {"clazz": "targets_server", "method": 1},
]


def both(description=None, raw=None):
    req = request(description, raw=raw)
    with contextlib.redirect_stderr(io.StringIO()) as native_err:
        native = outcome(lambda: corvex.CommonService().handle(req, None))
    with contextlib.redirect_stderr(io.StringIO()) as reference_err:
        reference = outcome(lambda: ReferenceService().handle(req, None))
    return native, reference, native_err.getvalue(), reference_err.getvalue()


@pytest.mark.parametrize("description", PARITY_CASES)
def test_parity_with_reference(description):
    native, reference, native_err, reference_err = both(description)
    assert native == reference
    # Same final line of the printed traceback (frames differ: one is Python).
    assert native_err.strip().splitlines()[-1:] == reference_err.strip().splitlines()[-1:]


@pytest.mark.parametrize("raw", [b"\xff", b"", b"[" * 100000, b'{"clazz": "\\ud800"}', b"1e999"])
def test_parity_on_malformed_bytes(raw):
    native, reference, _, _ = both(raw=raw)
    assert native[:2] == reference[:2]


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-5, 5) | st.floats(allow_nan=False) |
    st.text(max_size=4),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner,
                                                                 max_size=3),
    max_leaves=8)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(clazz=st.sampled_from(["targets_server", "os.path", "nope_mod", None, 1, ""]),
       method=st.sampled_from(["echo", "add", "fail", "Shapes.twice", "greeting.upper",
                               "join", "", None, 3, "echo.", "NOT_CALLABLE"]),
       args=json_values | st.lists(json_values, max_size=3),
       kwargs=json_values | st.lists(st.lists(json_values, min_size=2, max_size=2),
                                     max_size=2),
       drop=st.sets(st.sampled_from(["clazz", "method", "args", "kwargs"])))
def test_parity_property(clazz, method, args, kwargs, drop):
    description = {"clazz": clazz, "method": method, "args": args, "kwargs": kwargs}
    for key in drop:
        del description[key]
    native, reference, _, _ = both(description)
    assert native == reference


# ---- load and leaks -----------------------------------------------------------

def test_many_concurrent_calls(port):
    results = {}
    with serving(port, max_workers=10) as (_, stub):
        def worker(i):
            for j in range(10):
                response = call(stub, target("slow_add", i, j, delay=0.002))
                results[(i, j)] = envelope(response)["result"]

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(30)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
    assert results == {(i, j): i + j for i in range(30) for j in range(10)}


class _Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def _growth(fn, rounds, watched):
    """Traced-memory and object growth over `rounds` calls, after a warm-up,
    as the smaller of two consecutive windows (a leak grows in every window,
    a cache that the host fills once does not), and the reference counts of
    `watched` before and after."""
    for _ in range(300):
        fn()
    gc.collect()
    objects = len(gc.get_objects())
    refs = [sys.getrefcount(o) for o in watched]
    windows = []
    tracemalloc.start()
    try:
        for _ in range(2):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(rounds):
                fn()
            gc.collect()
            windows.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in watched]
    return min(windows), len(gc.get_objects()) - objects, refs, after


@pytest.mark.parametrize("description, leaves", [
    (target("add", a=1, b=2), None),
    (target("echo", 1, [2], k={"x": "\u00e9"}), None),
    (target("fail", "m"), None),
    (target("unencodable", "set"), TypeError),
    ({"clazz": "targets_server", "method": "no_such"}, AttributeError),
    ({"clazz": "no_such_module_here", "method": "x"}, ModuleNotFoundError),
    (target("escape", "exit"), SystemExit),
    (target("lone_surrogate"), UnicodeEncodeError),
])
def test_no_leaks(description, leaves):
    service = corvex.CommonService()
    req = request(description)
    invoke_target = getattr(targets_server, description["method"], targets_server.add)

    def once():
        # Plain try/except: pytest.raises keeps caches of its own per traceback.
        try:
            service.handle(req, None)
        except leaves or ():
            return
        assert leaves is None

    rounds = 5000
    with contextlib.redirect_stderr(_Discard()):
        grown, objects, refs, after = _growth(
            once, rounds, [req, service, invoke_target, targets_server])
    # Any object leaked per call costs at least 28 bytes.
    assert grown < rounds * 10, grown
    assert objects < 100, objects
    assert refs == after


class TestFastPaths:
    """The shortcuts past the host's Python layers are switched by what they
    rely on; a host on which one is off fails here, not silently slower."""

    def test_every_fast_path_is_on_for_this_host(self):
        assert corvex._fast_paths() == dict.fromkeys(
            ["dumps", "loads", "record", "logger", "importer", "signature", "request_id"], True)

    def test_a_rebound_name_turns_its_paths_off_until_restored(self, monkeypatch):
        import json as host_json
        import uuid
        monkeypatch.setattr(corvex, "json", host_json)  # the same object: still on
        assert corvex._fast_paths()["dumps"]
        monkeypatch.setattr(host_json.JSONEncoder, "item_separator", ",")
        monkeypatch.setattr(uuid, "uuid4", lambda: uuid.UUID(int=0))
        paths = corvex._fast_paths()
        assert not paths["dumps"] and not paths["request_id"]
        assert paths["loads"] and paths["signature"]
        monkeypatch.undo()
        assert all(corvex._fast_paths().values())


class _ImportRecord:
    """Stands in for a module's __spec__; `state` says what `_initializing` does."""

    def __init__(self, state):
        self.state = state

    @property
    def _initializing(self):
        if self.state == "missing":
            raise AttributeError("_initializing")
        if self.state == "broken":
            raise RuntimeError("the import record broke")
        return self.state == "busy"


class TestModulesAlreadyImported:
    """A module found in sys.modules is used as importlib.import_module would
    give it, whatever its __spec__ says: the dispatcher's shortcut and the
    host's import agree, result for result and error for error."""

    @pytest.mark.parametrize("state", ["none", "no entry", "missing", "done", "busy", "broken"])
    def test_dispatch_agrees_with_import_module(self, state, monkeypatch):
        import importlib

        name = "sorvane_test_imported_%s" % state.replace(" ", "_")
        module = types.ModuleType(name)
        module.answer = lambda: state
        if state == "none":
            module.__spec__ = None
        elif state == "no entry":
            del module.__dict__["__spec__"]
        else:
            module.__spec__ = _ImportRecord(state)
        monkeypatch.setitem(sys.modules, name, module)

        def imported():
            try:
                return ("ok", importlib.import_module(name))
            except Exception as e:  # noqa: BLE001 - compared below
                return ("raised", type(e), str(e))

        expected = imported()
        got = outcome(lambda: corvex.CommonService().handle(
            request({"clazz": name, "method": "answer", "args": [], "kwargs": {}}), None))
        if expected[0] == "ok":
            assert expected[1] is module
            assert got == ("ok", corvex.marvetta.CommonResponse(
                response=envelope_bytes(result=state)).SerializeToString())
        else:
            assert got == expected
