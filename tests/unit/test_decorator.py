"""grpc_service: metadata, binding by parameter name, per-call look-ups, and
the wrapper's binding checked against inspect's own."""
import functools
import gc
import inspect
import json
import keyword
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import marvetta
from sorvane import corvex
from sorvane.corvex import GrpcClient, GrpcHelper, grpc_service

from client_support import StandInStub, envelope

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free

SERVER = "decorator-tests"


@pytest.fixture
def stub(monkeypatch):
    """A stand-in stub loaded under SERVER in a fresh shared registry."""
    registry = GrpcClient()
    monkeypatch.setattr(corvex, "grpc_client", registry)
    stub = StandInStub(envelope(result="remote"))
    registry.stubs[SERVER] = stub
    return stub


class Capture:
    """Stands in for GrpcHelper: keeps what the wrapper hands over."""
    calls = []

    @classmethod
    def call_rpc_result(cls, rpc_client, clazz=None, method=None, args=None, kwargs=None):
        cls.calls.append((rpc_client, clazz, method, args, kwargs))
        return "captured"


@pytest.fixture
def captured(monkeypatch):
    Capture.calls = []
    monkeypatch.setattr(corvex, "GrpcHelper", Capture)
    return Capture.calls


def sample(a, b=2):
    """Adds remotely."""
    raise AssertionError("the body of a decorated function never runs")


class TestShape:
    def test_factory(self):
        assert grpc_service.__name__ == grpc_service.__qualname__ == "grpc_service"
        assert grpc_service.__module__ == "sorvane.corvex"
        assert grpc_service.__doc__ == (
            "\n    grpc service define\n    :param server: server name\n"
            "    :param serialize: serialize type, default 3 : json\n    :return:\n    ")
        assert str(inspect.signature(grpc_service)) == (
            "(server, serialize=3, *, timeout=None, idempotent=False, wait_for_ready=None)")

    def test_decorator(self):
        decorator = grpc_service(SERVER)
        assert decorator.__name__ == "decorator"
        assert decorator.__qualname__ == "grpc_service.<locals>.decorator"
        assert decorator.__doc__ is None
        assert str(inspect.signature(decorator)) == "(func)"
        assert grpc_service(SERVER, serialize=7) is not decorator

    def test_argument_counts(self):
        with pytest.raises(TypeError):
            grpc_service()
        with pytest.raises(TypeError):
            grpc_service(SERVER, 3, "surplus")
        decorator = grpc_service(SERVER)
        with pytest.raises(TypeError):
            decorator()
        with pytest.raises(TypeError):
            decorator(sample, sample)

    def test_metadata_copied_like_functools_wraps(self):
        def target(x: int, *, y="d") -> list:
            """Documented."""

        target.extra = {"kept": True}
        wrapped = grpc_service(SERVER)(target)
        reference = functools.wraps(target)(lambda *a, **k: None)
        for name in ("__module__", "__name__", "__qualname__", "__doc__", "__annotations__"):
            assert getattr(wrapped, name) == getattr(reference, name)
        assert wrapped.__wrapped__ is target
        assert wrapped.extra is target.extra
        assert inspect.signature(wrapped) == inspect.signature(target)
        assert wrapped is not target

    def test_wrapper_own_names_show_when_func_has_none(self):
        wrapped = grpc_service(SERVER)(functools.partial(sample, 1))
        assert wrapped.__name__ == "wrapper"
        assert wrapped.__qualname__ == "grpc_service.<locals>.decorator.<locals>.wrapper"

    def test_decoration_contacts_nothing(self, monkeypatch):
        monkeypatch.delattr(corvex, "grpc_client")
        monkeypatch.delattr(corvex, "GrpcHelper")
        grpc_service("never-loaded")(sample)
        grpc_service(SERVER)(42)  # not even validated


class TestCalls:
    def test_body_never_runs_and_result_returned(self, stub):
        assert grpc_service(SERVER)(sample)(1) == "remote"

    def test_positional_and_keyword_calls_send_the_same_description(self, stub):
        f = grpc_service(SERVER)(sample)
        f(1, 5)
        f(a=1, b=5)
        f(1, b=5)
        first = stub.requests[0].request
        assert [r.request for r in stub.requests] == [first] * 3
        assert first == (
            b'{"clazz": "test_decorator", "method": "sample", "args": [], '
            b'"kwargs": {"a": 1, "b": 5}}')

    def test_defaults_are_not_sent(self, stub):
        grpc_service(SERVER)(sample)(1)
        assert stub.description()["kwargs"] == {"a": 1}

    def test_module_and_qualname_read_from_func(self, stub):
        def inner(x):
            pass

        f = grpc_service(SERVER)(inner)
        f.__module__ = "changed.on.wrapper"
        f(1)
        assert stub.description()["clazz"] == "test_decorator"
        assert stub.description()["method"] == (
            "TestCalls.test_module_and_qualname_read_from_func.<locals>.inner")
        inner.__module__, inner.__qualname__ = "pkg.mod", "K.g"
        f(1)
        assert (stub.description()["clazz"], stub.description()["method"]) == ("pkg.mod", "K.g")

    def test_class_method(self, stub):
        class K:
            @classmethod
            @grpc_service(SERVER)
            def f(cls, x):
                pass

        assert K.f(3) == "remote"
        assert stub.description()["method"].endswith("K.f")
        assert stub.kwargs_items() == [("x", 3)]

    def test_cls_parameter_not_supplied_is_a_key_error(self, stub):
        def f(x, cls=None):
            pass

        with pytest.raises(KeyError) as info:
            grpc_service(SERVER)(f)(1)
        assert info.value.args == ("cls",)
        grpc_service(SERVER)(f)(1, 2)
        assert stub.kwargs_items() == [("x", 1)]
        assert len(stub.requests) == 1

    def test_self_is_sent_like_any_parameter(self, stub):
        class Thing:
            @grpc_service(SERVER)
            def method(self, x):
                pass

        with pytest.raises(TypeError):
            Thing().method(1)
        assert stub.requests == []
        Thing.method("me", 1)
        assert stub.kwargs_items() == [("self", "me"), ("x", 1)]

    def test_variadics(self, stub):
        @grpc_service(SERVER)
        def f(first, *items, flag=False, **options):
            pass

        f(0, 1, 2, k=1, flag=True)
        assert stub.kwargs_items() == [
            ("first", 0), ("items", [1, 2]), ("flag", True), ("options", [("k", 1)])]
        f(first=0)
        assert stub.kwargs_items() == [("first", 0)]

    def test_serialize_is_three_whatever_the_factory_got(self, stub):
        grpc_service(SERVER, 7)(sample)(1)
        grpc_service(SERVER)(sample)(1)
        grpc_service(SERVER, serialize="json")(sample)(1)
        assert [r.serialize for r in stub.requests] == [3, 3, 3]
        assert stub.requests[0].request == stub.requests[1].request

    def test_fresh_request_id_per_call(self, stub):
        f = grpc_service(SERVER)(sample)
        f(1)
        f(1)
        assert stub.requests[0].request_id != stub.requests[1].request_id

    def test_remote_failure(self, monkeypatch):
        registry = GrpcClient()
        registry.stubs[SERVER] = StandInStub(envelope(-1, "bad", "ValueError"), status=-1)
        monkeypatch.setattr(corvex, "grpc_client", registry)
        with pytest.raises(corvex.GrpcException) as info:
            grpc_service(SERVER)(sample)(1)
        assert (info.value.exc_type, info.value.message) == ("ValueError", "bad")

    def test_unknown_server_then_loaded(self, monkeypatch):
        registry = GrpcClient()
        monkeypatch.setattr(corvex, "grpc_client", registry)
        f = grpc_service("later")(sample)
        with pytest.raises(AttributeError):
            f(1)
        stub = StandInStub(envelope(result=9))
        registry.stubs["later"] = stub
        assert f(1) == 9
        assert len(stub.requests) == 1

    def test_registry_and_helper_looked_up_at_every_call(self, stub, monkeypatch):
        f = grpc_service(SERVER)(sample)
        assert f(1) == "remote"
        other = GrpcClient()
        other_stub = StandInStub(envelope(result="other"))
        other.stubs[SERVER] = other_stub
        monkeypatch.setattr(corvex, "grpc_client", other)
        assert f(1) == "other"
        Capture.calls = []
        monkeypatch.setattr(corvex, "GrpcHelper", Capture)
        assert f(1, b=4) == "captured"
        assert Capture.calls == [(other_stub, "test_decorator", "sample", (), {"a": 1, "b": 4})]
        monkeypatch.setattr(corvex, "GrpcHelper", GrpcHelper)
        assert f(1) == "other"

    def test_handover_to_the_helper(self, stub, captured):
        grpc_service(SERVER)(sample)(b=2, a=1)
        ((rpc_client, clazz, method, args, kwargs),) = captured
        assert rpc_client is stub
        assert (clazz, method, args) == ("test_decorator", "sample", ())
        assert type(kwargs) is dict and list(kwargs.items()) == [("a", 1), ("b", 2)]

    def test_unencodable_argument_sends_nothing(self, stub):
        f = grpc_service(SERVER)(sample)
        for value in ({1}, b"x", object()):
            with pytest.raises(TypeError):
                f(value)
        assert stub.requests == []


class TestBindingFailures:
    def test_binding_error_before_any_look_up(self, monkeypatch):
        monkeypatch.delattr(corvex, "grpc_client")
        f = grpc_service(SERVER)(sample)
        with pytest.raises(TypeError, match="missing a required argument: 'a'"):
            f()
        with pytest.raises(TypeError, match="too many positional arguments"):
            f(1, 2, 3)
        with pytest.raises(TypeError, match="got an unexpected keyword argument 'z'"):
            f(1, z=3)
        with pytest.raises(TypeError, match="multiple values for argument 'a'"):
            f(1, a=1)

    def test_not_callable_fails_at_call(self, stub):
        f = grpc_service(SERVER)(42)
        with pytest.raises(TypeError):
            f()
        assert stub.requests == []


# ---- binding ------------------------------------------------------------------

def inspect_outcome(func, args, kwargs):
    """What inspect's own binding gives, with "cls" removed as the wrapper does."""
    try:
        sig = inspect.signature(func)
        bound = sig.bind(*args, **kwargs).arguments
        if sig.parameters.get("cls"):
            del bound["cls"]
        return ("ok", [(k, type(v), v) for k, v in bound.items()])
    except Exception as e:
        return (type(e), str(e))


def wrapper_outcome(func, args, kwargs):
    Capture.calls = []
    try:
        grpc_service(SERVER)(func)(*args, **kwargs)
        kw = Capture.calls[-1][4]
        return ("ok", [(k, type(v), v) for k, v in kw.items()])
    except Exception as e:
        return (type(e), str(e))


def signature_builds(call):
    """How many times inspect built a Signature from a function during call()."""
    count = [0]

    def profile(frame, event, arg):
        if (event == "call" and frame.f_globals.get("__name__") == "inspect"
                and frame.f_code.co_name == "_signature_from_function"):
            count[0] += 1

    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return count[0]


def build(source):
    namespace = {}
    exec(textwrap.dedent(source), namespace)
    return namespace["f"]


NAMES = ["a", "b", "c", "d", "cls", "self", "x", "items", "opts"]
HAS_POSONLY = sys.version_info >= (3, 8)


@st.composite
def signatures(draw):
    names = draw(st.permutations(NAMES))
    counts = [draw(st.integers(0, 2)) if HAS_POSONLY else 0, draw(st.integers(0, 3)),
              draw(st.integers(0, 2))]
    posonly = names[:counts[0]]
    normal = names[counts[0]:counts[0] + counts[1]]
    kwonly = names[counts[0] + counts[1]:sum(counts)]
    rest = names[sum(counts):]
    positional = posonly + normal
    ndefaults = draw(st.integers(0, len(positional)))
    parts = []
    for i, name in enumerate(positional):
        parts.append(name + ("=%d" % (100 + i) if i >= len(positional) - ndefaults else ""))
        if posonly and i == len(posonly) - 1:
            parts.append("/")
    varargs = draw(st.booleans())
    if varargs:
        parts.append("*" + rest[0])
    elif kwonly:
        parts.append("*")
    for name in kwonly:
        parts.append(name + ("=%d" % 200 if draw(st.booleans()) else ""))
    if draw(st.booleans()):
        parts.append("**" + rest[1])
    return "def f(%s):\n    pass\n" % ", ".join(parts)


@st.composite
def calls(draw):
    args = tuple(range(draw(st.integers(0, 6))))
    keys = draw(st.lists(st.sampled_from(NAMES + ["z", "w"]), unique=True, max_size=5))
    return args, {k: -i - 1 for i, k in enumerate(keys)}


class TestBinding:
    @settings(max_examples=1500, deadline=None, suppress_health_check=list(HealthCheck))
    @given(signatures(), st.lists(calls(), min_size=1, max_size=4))
    def test_same_as_inspect(self, source, call_list):
        f = build(source)
        Capture.calls = []
        saved = corvex.GrpcHelper
        corvex.GrpcHelper = Capture
        try:
            for args, kwargs in call_list:
                assert wrapper_outcome(f, args, kwargs) == inspect_outcome(f, args, kwargs), source
        finally:
            corvex.GrpcHelper = saved

    def test_a_plain_functions_signature_is_made_once(self, captured):
        f = build("def f(a, b=2, *args, c, d=4, **kw): pass")
        wrapped = grpc_service(SERVER)(f)

        def made():
            """How often inspect built a Signature during one call."""
            return signature_builds(lambda: wrapped(1, 2, 3, c=1, z=2))

        assert made() == 1
        assert made() == 0
        f.__defaults__ = (5,)
        assert made() == 1  # new defaults: made again
        f.__kwdefaults__ = {"c": 0, "d": 4}
        assert made() == 1
        f.__code__ = build("def f(a, b=2, *args, c, d=4, **kw): return 1").__code__
        assert made() == 1
        assert made() == 0
        f.__wrapped__ = build("def f(*a, **k): pass")
        assert made() == 1 and made() == 1  # inspect follows __wrapped__: never kept

    def test_closure_and_local_variables_do_not_confuse_parameters(self, captured):
        def outer():
            def f(a, b, *rest, **kw):
                c = a
                return lambda: (a, rest, c)
            return f

        f = outer()
        assert wrapper_outcome(f, (1, 2, 3), {"k": 4}) == inspect_outcome(f, (1, 2, 3), {"k": 4})

    @pytest.mark.parametrize("attribute", ["__wrapped__", "__signature__", "__text_signature__"])
    def test_attributes_inspect_honours_send_it_through_inspect(self, captured, attribute):
        def other(p, q=1):
            pass

        def f(a):
            pass

        value = {"__wrapped__": other, "__signature__": inspect.signature(other),
                 "__text_signature__": "(p, q=1)"}[attribute]
        setattr(f, attribute, value)
        # Whether inspect honours __text_signature__ on a Python function
        # depends on the host version; the wrapper must agree either way.
        assert wrapper_outcome(f, (5,), {}) == inspect_outcome(f, (5,), {})
        if attribute != "__text_signature__":
            assert wrapper_outcome(f, (5,), {}) == ("ok", [("p", int, 5)])

    def test_replaced_code_and_defaults_take_effect_at_once(self, captured):
        def f(a, b):
            pass

        def g(x, y=1, *, z=3):
            pass

        wrapped = grpc_service(SERVER)(f)
        assert wrapper_outcome(f, (1,), {}) == (TypeError, "missing a required argument: 'b'")
        f.__defaults__ = (9,)
        assert wrapper_outcome(f, (1,), {}) == ("ok", [("a", int, 1)])
        f.__code__ = g.__code__
        f.__defaults__, f.__kwdefaults__ = (1,), None
        assert wrapper_outcome(f, (1,), {}) == (TypeError, "missing a required argument: 'z'")
        assert wrapper_outcome(f, (1, 2), {}) == inspect_outcome(f, (1, 2), {})
        assert wrapper_outcome(f, (1, 2), {}) == (
            TypeError, "missing a required%s argument: 'z'" % (
                " keyword-only" if sys.version_info >= (3, 12) else ""))
        f.__kwdefaults__ = {"z": 0}
        assert wrapper_outcome(f, (1, 2), {}) == ("ok", [("x", int, 1), ("y", int, 2)])
        del wrapped

    def test_replacing_inspect_takes_effect_at_once(self, captured, monkeypatch):
        def f(a):
            pass

        wrapped = grpc_service(SERVER)(f)
        seen = []
        real = inspect.signature

        def spy(func):
            seen.append(func)
            return real(func)

        monkeypatch.setattr(inspect, "signature", spy)
        wrapped(1)
        assert seen == [f]
        monkeypatch.undo()
        monkeypatch.setattr(corvex, "GrpcHelper", Capture)

        class FakeSignature:
            parameters = {}

            def bind(self, *args, **kwargs):
                class Bound:
                    arguments = {"from": "fake"}
                return Bound()

        class FakeInspect:
            @staticmethod
            def signature(func):
                return FakeSignature()

        monkeypatch.setattr(corvex, "inspect", FakeInspect)
        Capture.calls = []
        wrapped(1)
        assert Capture.calls[-1][4] == {"from": "fake"}

    def test_method_of_inspect_classes_replaced(self, captured, monkeypatch):
        def f(a):
            pass

        wrapped = grpc_service(SERVER)(f)
        seen = []
        real = inspect.Signature.bind

        def bind(self, *args, **kwargs):
            seen.append(args)
            return real(self, *args, **kwargs)

        monkeypatch.setattr(inspect.Signature, "bind", bind)
        wrapped(7)
        assert seen == [(7,)]

    def test_replaced_code_of_inspect_takes_effect_at_once(self, captured):
        def partial_bind(self, *args, **kwargs):
            return self._bind(args, kwargs, partial=True)

        def f(a, b):
            pass

        wrapped = grpc_service(SERVER)(f)
        original = inspect.Signature.bind.__code__
        inspect.Signature.bind.__code__ = partial_bind.__code__
        try:
            wrapped(1)
        finally:
            inspect.Signature.bind.__code__ = original
        assert Capture.calls[-1][4] == {"a": 1}
        with pytest.raises(TypeError):
            wrapped(1)

    def test_keyword_names_that_are_not_plain_text(self, captured):
        class Name(str):
            pass

        def f(**kw):
            pass

        wrapped = grpc_service(SERVER)(f)
        wrapped(**{Name("k"): 1})
        assert Capture.calls[-1][4] == {"kw": {"k": 1}}

    def test_errors_are_suppressed_context_like_inspect(self, captured):
        def f(a):
            pass

        with pytest.raises(TypeError) as info:
            grpc_service(SERVER)(f)()
        assert info.value.__cause__ is None and info.value.__suppress_context__

    def test_error_names_are_reprs(self, captured):
        f = build("def f(é, *, ü): pass")
        assert wrapper_outcome(f, (), {}) == inspect_outcome(f, (), {})
        assert wrapper_outcome(f, (1,), {"ß": 2}) == inspect_outcome(f, (1,), {"ß": 2})

    def test_many_parameters_and_keywords(self, captured):
        names = ["p%d" % i for i in range(40)]
        f = build("def f(%s, **rest): pass" % ", ".join(names))
        kwargs = {n: i for i, n in enumerate(names)}
        kwargs.update({"k%d" % i: i for i in range(40)})
        assert wrapper_outcome(f, (), kwargs) == inspect_outcome(f, (), kwargs)
        g = build("def f(a, **rest): pass")
        assert wrapper_outcome(g, (1,), kwargs) == inspect_outcome(g, (1,), kwargs)


def test_leak_loop(stub):
    @grpc_service(SERVER)
    def f(a, b=2, *items, flag=False, **options):
        pass

    class K:
        @classmethod
        @grpc_service(SERVER)
        def g(cls, x):
            pass

    # __wrapped__ sends this one through inspect's binding
    wrapped_other = grpc_service(SERVER)(functools.wraps(sample)(lambda *args: None))
    a, item, option = ["a"], {"k": "v"}, "é"

    def run(n):
        for _ in range(n):
            stub.requests.clear()
            f(a, 1, item, flag=True, extra=option)
            f(a=a)
            K.g(option)
            wrapped_other(a)
            for bad in ((), (1, 2), ):
                try:
                    K.g(*bad)
                except TypeError:
                    pass
            try:
                f(a, z={1})
            except TypeError:
                pass

    inputs = (a, item, option, stub)
    run(200)
    gc.collect()
    refs = [sys.getrefcount(o) for o in inputs]
    objects = len(gc.get_objects())
    run(2000)
    gc.collect()
    assert [sys.getrefcount(o) for o in inputs] == refs
    assert len(gc.get_objects()) - objects < 50
