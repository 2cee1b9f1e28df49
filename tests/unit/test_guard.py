"""The opt-in exposure guard (sorvane.guard), end to end over loopback.

A server guarded with a listing serves exactly what the listing exposes and
ends every other call with PERMISSION_DENIED, without importing the module the
call named; malformed requests and the outcomes of accepted calls are the
dispatcher's own. The client is told one text per refused path, made of what
it sent; the reason is logged on "sorvane.guard".
"""
import contextlib
import json
import logging
import sys
import textwrap
import types

import grpc
import pytest

import brindlow
import marvetta
from sorvane import corvex
from sorvane.guard import CallRefused, GuardedService, guard

MODULES = {
    "guarded_app/__init__.py": "",
    "guarded_app/api.py": '''
        import os
        from json import dumps
        from guarded_app import helpers
        from guarded_app.helpers import work as imported_work

        VERSION = "1.0"
        print_ = print
        registry = {"add": None}


        def add(a, b):
            return a + b


        def fail(message):
            raise ValueError(message)


        def _secret():
            return "secret"


        class Calc:
            factor = 2

            def __init__(self, start=0):
                self.start = start

            def mul(self, x):
                return self.start + x * self.factor

            @staticmethod
            def double(x):
                return 2 * x

            @classmethod
            def name(cls):
                return cls.__name__


        calc = Calc(10)
    ''',
    "guarded_app/helpers.py": '''
        def work():
            return "helper"
    ''',
    "guarded_app/secret_sub.py": '''
        def work():
            return "the guard let this through"
    ''',
    "guarded_app/admin.py": '''
        def reset():
            return "reset"


        def wipe():
            return "wiped"


        class Stats:
            @staticmethod
            def read():
                return {"calls": 1}
    ''',
    "guard_never_imported.py": '''
        def call_me():
            return "the guard let this through"
    ''',
}
NEVER_IMPORTED = ("guard_never_imported", "guarded_app.secret_sub")
LISTING = {"guarded_app.api": "*", "guarded_app.admin": ["reset", "Stats.read"]}


@pytest.fixture(scope="module")
def app_modules(tmp_path_factory):
    """The modules above, importable by name for the length of this file's tests."""
    root = tmp_path_factory.mktemp("guarded")
    for name, source in MODULES.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source))
    sys.path.insert(0, str(root))
    yield root
    sys.path.remove(str(root))
    for name in list(sys.modules):
        if name.startswith(("guarded_app", "guard_never_imported")):
            del sys.modules[name]


@contextlib.contextmanager
def serving(port, listing=LISTING, configure=None):
    """A started GrpcServer on 127.0.0.1:port (guarded by `listing` unless it is None)
    and a raw stub for it; stopped on exit."""
    server = corvex.GrpcServer("127.0.0.1", port)
    if configure is not None:
        configure(server)
    if listing is not None:
        guard(server, listing)
    server.run_background()
    channel = grpc.insecure_channel("127.0.0.1:%d" % port)
    try:
        yield server, brindlow.CommonServiceStub(channel)
    finally:
        channel.close()
        server.rpc_server.stop(0).wait()


@pytest.fixture
def guarded(app_modules, port):
    with serving(port) as (server, stub):
        yield stub


def raw_call(stub, description=None, raw=None):
    """Send a call description (or raw bytes); returns the response or the RpcError."""
    if raw is None:
        raw = json.dumps(description).encode("utf-8")
    try:
        return stub.handle(marvetta.CommonRequest(request=raw, serialize=3, request_id="t"))
    except grpc.RpcError as e:
        return e


PREFIX = "sorvane.guard: call refused: "


def told_path(clazz, method):
    """What a client is told of any refused path: only what it sent."""
    return PREFIX + "the module %s has no public %s" % (ascii(clazz), ascii(method))


def told_module(clazz):
    return PREFIX + "the module %s is not exposed" % ascii(clazz)


def assert_refused(outcome, told=None):
    assert isinstance(outcome, grpc.RpcError), outcome
    assert outcome.code() == grpc.StatusCode.PERMISSION_DENIED
    assert outcome.details().startswith(PREFIX), outcome.details()
    if told is not None:
        assert outcome.details() == told


@pytest.fixture
def reasons():
    """The messages the guard logs, in order."""
    log = logging.getLogger("sorvane.guard")
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    log.addHandler(handler)
    yield records
    log.removeHandler(handler)


def assert_logged(reasons, words):
    """One WARNING was logged since the last check, holding every one of `words`."""
    assert [r.levelno for r in reasons] == [logging.WARNING], [r.getMessage() for r in reasons]
    message = reasons.pop().getMessage()
    assert message.startswith(PREFIX), message
    for word in words:
        assert word in message, message


def assert_nothing_imported():
    for name in NEVER_IMPORTED:
        assert name not in sys.modules, name


class TestListing:
    def test_forms(self, app_modules):
        assert GuardedService(["guarded_app.api"]).exposed == {"guarded_app.api": None}
        assert GuardedService({"a": "*", "b": None, "c": ["x", "y.z"]}).exposed == {
            "a": None, "b": None, "c": frozenset(["x", "y.z"])}
        assert GuardedService([]).exposed == {}

    @pytest.mark.parametrize("listing,error", [
        ("guarded_app.api", TypeError),
        ({"guarded_app.api": "add"}, TypeError),
        (["builtins"], ValueError),
        ([""], ValueError),
        (["guarded_app..api"], ValueError),
        ([5], ValueError),
        ({"m": ["_secret"]}, ValueError),
        ({"m": ["Calc.__init__"]}, ValueError),
        ({"m": ["a..b"]}, ValueError),
        ({"m": [""]}, ValueError),
        ({"m": [3]}, ValueError),
    ])
    def test_mistakes_fail_at_once(self, listing, error):
        with pytest.raises(error):
            GuardedService(listing)

    def test_it_is_a_dispatcher(self):
        service = GuardedService([])
        assert isinstance(service, corvex.CommonService)
        assert isinstance(service, brindlow.CommonServiceServicer)


class TestServing:
    def test_public_callables_defined_in_a_listed_module(self, guarded):
        call = corvex.GrpcHelper.call_rpc_result
        assert call(guarded, "guarded_app.api", "add", [2, 3]) == 5
        assert call(guarded, "guarded_app.api", "add", kwargs={"a": "x", "b": "y"}) == "xy"
        assert call(guarded, "guarded_app.api", "Calc.double", [4]) == 8
        assert call(guarded, "guarded_app.api", "Calc.name") == "Calc"
        assert call(guarded, "guarded_app.api", "calc.mul", [3]) == 16

    def test_paths_listed_for_a_module(self, guarded):
        call = corvex.GrpcHelper.call_rpc_result
        assert call(guarded, "guarded_app.admin", "reset") == "reset"
        assert call(guarded, "guarded_app.admin", "Stats.read") == {"calls": 1}
        assert_refused(raw_call(guarded, {"clazz": "guarded_app.admin", "method": "wipe"}),
                       told_path("guarded_app.admin", "wipe"))
        assert_refused(raw_call(guarded, {"clazz": "guarded_app.admin", "method": "Stats"}),
                       told_path("guarded_app.admin", "Stats"))

    def test_failures_of_accepted_calls_are_the_dispatchers(self, guarded):
        with pytest.raises(corvex.GrpcException) as info:
            corvex.GrpcHelper.call_rpc_result(guarded, "guarded_app.api", "fail", ["no"])
        assert (info.value.exc_type, info.value.message) == ("ValueError", "no")
        with pytest.raises(corvex.GrpcException) as info:
            corvex.GrpcHelper.call_rpc_result(guarded, "guarded_app.api", "add", [1])
        assert info.value.exc_type == "TypeError"

    @pytest.mark.parametrize("method", [
        "__class__", "__dict__", "__loader__.get_data", "__builtins__", "add.__globals__",
        "add.__globals__.get", "add.__code__", "Calc.__init__", "Calc.__subclasses__",
        "calc.__class__", "calc.__class__.__subclasses__", "calc.__init__", "Calc.__dict__",
        "_secret", "add._x",
    ])
    def test_private_names_are_refused(self, guarded, reasons, method):
        assert_refused(raw_call(guarded, {"clazz": "guarded_app.api", "method": method}),
                       told_path("guarded_app.api", method))
        assert_logged(reasons, ["private name"])

    @pytest.mark.parametrize("method,reason", [
        ("os.system", "another module"),
        ("os.getcwd", "another module"),
        ("helpers.work", "another module"),
        ("dumps", "not defined in"),
        ("imported_work", "not defined in"),
        ("print_", "not defined in"),
        ("registry.get", "not defined in"),
        ("Calc.mro", "has no public"),
        ("VERSION.upper", "not defined in"),
        ("VERSION", "not defined in"),
        ("Calc.factor", "not defined in"),
        ("missing", "has no public"),
        ("calc.missing", "has no public"),
        ("", "empty name"),
        (".", "empty name"),
        ("add.", "empty name"),
        (".add", "empty name"),
        ("Calc..double", "empty name"),
    ])
    def test_escapes_are_refused(self, guarded, reasons, method, reason):
        description = {"clazz": "guarded_app.api", "method": method, "args": ["ls"]}
        assert_refused(raw_call(guarded, description), told_path("guarded_app.api", method))
        assert_logged(reasons, [reason])

    def test_the_client_cannot_tell_the_reasons_apart(self, guarded, reasons):
        """An imported library, a constant, a class, a private name and a
        missing name are told alike; only the log tells them apart."""
        methods = ["os", "os.system", "VERSION", "Calc", "Calc.factor", "_secret", "missing",
                   "registry.get", "dumps"]
        told, logged = set(), set()
        for method in methods:
            outcome = raw_call(guarded, {"clazz": "guarded_app.api", "method": method})
            assert_refused(outcome)
            told.add(outcome.details().replace(ascii(method), "<sent>"))
            assert len(reasons) == 1
            logged.add(reasons.pop().getMessage().replace(ascii(method), "<sent>"))
        assert told == {told_path("guarded_app.api", "x").replace("'x'", "<sent>")}
        assert len(logged) >= 5  # another module, not defined, a class, private, missing

    @pytest.mark.parametrize("description", [
        {"clazz": "guard_never_imported", "method": "call_me"},
        {"clazz": "guarded_app.secret_sub", "method": "work"},
        {"clazz": "guarded_app", "method": "api.add"},
        {"clazz": "guarded_app.helpers", "method": "work"},
        {"clazz": "guarded_app.api.os", "method": "getcwd"},
        {"clazz": "os", "method": "getcwd"},
        {"clazz": "builtins", "method": "print"},
        {"clazz": "", "method": "add"},
        {"clazz": " guarded_app.api", "method": "add"},
        {"method": "add"},
        {"clazz": None, "method": "add"},
        {"clazz": 5, "method": "add"},
        {"clazz": ["guarded_app.api"], "method": "add"},
        {"clazz": {"guarded_app.api": 1}, "method": "add"},
        {"clazz": True, "method": "add"},
        {"clazz": "guard_never_imported"},
    ])
    def test_modules_not_listed_are_refused_and_never_imported(self, guarded, description):
        assert_refused(raw_call(guarded, description), told_module(description.get("clazz")))
        assert_nothing_imported()

    @pytest.mark.parametrize("method", [None, 5, ["add"], {"add": 1}, True])
    def test_a_method_that_is_not_text_is_refused(self, guarded, reasons, method):
        assert_refused(raw_call(guarded, {"clazz": "guarded_app.api", "method": method}),
                       told_path("guarded_app.api", method))
        assert_logged(reasons, ["not a string"])
        assert_refused(raw_call(guarded, {"clazz": "guarded_app.admin", "method": method}),
                       told_path("guarded_app.admin", method))

    @pytest.mark.parametrize("raw", [b"\xff\xfe", b"", b"not json", b"[1, 2]", b'"text"', b"null",
                                     b"[" * 5000])
    def test_malformed_requests_fail_as_without_the_guard(self, app_modules, port, raw):
        with serving(port, listing=None) as (server, stub):
            plain = raw_call(stub, raw=raw)
        with serving(port) as (server, stub):
            guarded = raw_call(stub, raw=raw)
        assert isinstance(plain, grpc.RpcError) and isinstance(guarded, grpc.RpcError)
        assert guarded.code() == plain.code() == grpc.StatusCode.UNKNOWN

    @pytest.mark.parametrize("raw,expected", [
        (b'{"clazz": "guarded_app.api", "method": "__class__", "method": "add", '
         b'"args": [1, 2]}', 3),
        (b'{"clazz": "guarded_app.api", "method": "add", "method": "__class__"}', "refused"),
        (b'{"clazz": "guard_never_imported", "clazz": "guarded_app.api", "method": "add", '
         b'"args": [1, 2]}', 3),
        (b'{"clazz": "guarded_app.api", "clazz": "guard_never_imported", "method": "call_me"}',
         "refused"),
        (b'{"clazz": "guarded_app.api", "method": "\\u005f\\u005fclass\\u005f\\u005f"}', "refused"),
        (b'{"clazz": "guarded_app\\u002eapi", "method": "a\\u0064d", "args": [1, 2]}', 3),
        (b'{"clazz": "guarded_app.api", "method": "add", "args": [1e400, -1e400]}', "NaN"),
    ])
    def test_what_runs_is_what_was_checked(self, guarded, raw, expected):
        """Repeated members, escapes, non-finite numbers: the dispatcher sees what the guard saw."""
        outcome = raw_call(guarded, raw=raw)
        if expected == "refused":
            assert_refused(outcome)
        elif expected == "NaN":  # inf + -inf, written by the encoder as NaN
            assert outcome.status == 0 and outcome.response.endswith(b'"result": NaN}')
        else:
            assert outcome.status == 0 and json.loads(outcome.response)["result"] == expected
        assert_nothing_imported()

    def test_the_server_keeps_serving_after_refusals(self, guarded):
        for _ in range(20):
            assert_refused(raw_call(guarded, {"clazz": "os", "method": "system", "args": ["true"]}))
        assert corvex.GrpcHelper.call_rpc_result(guarded, "guarded_app.api", "add", [1, 1]) == 2


class TestClazzHandler:
    def alias(self, clazz):
        return {"calc": "guarded_app.api", "never": "guard_never_imported"}.get(clazz, clazz)

    @pytest.mark.parametrize("when", ["before", "after"])
    def test_the_servers_handler_maps_names_and_is_checked(self, app_modules, port, when):
        def configure(server):
            server.set_clazz_handler(self.alias)

        if when == "before":
            context = serving(port, configure=configure)
        else:
            context = serving(port)
        with context as (server, stub):
            if when == "after":
                configure(server)
            assert corvex.GrpcHelper.call_rpc_result(stub, "calc", "add", [1, 2]) == 3
            # The client hears the names it sent, never what they map to.
            assert_refused(raw_call(stub, {"clazz": "never", "method": "call_me"}),
                           told_module("never"))
            assert_refused(raw_call(stub, {"clazz": "calc", "method": "os.system"}),
                           told_path("calc", "os.system"))
        assert_nothing_imported()

    def test_the_handler_runs_once_and_its_answer_is_what_is_imported(self, app_modules, port):
        """One call of the clazz handler per call: a handler that would answer
        differently the second time gets no second time."""
        answers = []

        def fickle(clazz):
            answers.append(clazz)
            return "guarded_app.api" if len(answers) == 1 else "guard_never_imported"

        with serving(port, configure=lambda server: server.set_clazz_handler(fickle)) as (_, stub):
            outcome = raw_call(stub, {"clazz": "x", "method": "add", "args": [1, 2]})
        assert outcome.status == 0 and json.loads(outcome.response)["result"] == 3
        assert answers == ["x"]
        assert_nothing_imported()

    def test_a_raising_handler_fails_as_without_the_guard(self, app_modules, port):
        def broken(clazz):
            raise LookupError(clazz)

        with serving(port, configure=lambda server: server.set_clazz_handler(broken)) as (_, stub):
            outcome = raw_call(stub, {"clazz": "x", "method": "add"})
        assert isinstance(outcome, grpc.RpcError) and outcome.code() == grpc.StatusCode.UNKNOWN

    def test_guarding_twice_keeps_the_handler(self, app_modules):
        server = corvex.GrpcServer("127.0.0.1", 0)
        server.set_clazz_handler(self.alias)
        first = guard(server, LISTING)
        second = guard(server, ["guarded_app.admin"])
        assert server.service is second and first is not second
        assert second.refusal({"clazz": "calc", "method": "add"}) is not None
        assert second.refusal({"clazz": "guarded_app.admin", "method": "wipe"}) is None
        del second.clazz_handler
        assert second.refusal({"clazz": "calc", "method": "add"}) == (
            "the module 'calc' is not exposed")


class TestInProcess:
    def test_without_an_rpc_context_a_refusal_raises(self, app_modules):
        service = GuardedService(LISTING)
        request = marvetta.CommonRequest(request=b'{"clazz": "os", "method": "getcwd"}')
        with pytest.raises(CallRefused) as info:
            service.handle(request, None)
        assert isinstance(info.value, PermissionError)
        assert str(info.value) == told_module("os")
        assert info.value.reason == "the module 'os' is not exposed"
        request = marvetta.CommonRequest(request=b'{"clazz": "guarded_app.api", "method": "os"}')
        with pytest.raises(CallRefused) as info:
            service.handle(request, None)
        assert str(info.value) == told_path("guarded_app.api", "os")
        assert info.value.reason == "'os' of the module 'guarded_app.api' is another module"

    def test_accepted_calls_reach_the_dispatcher(self, app_modules):
        service = GuardedService(LISTING)
        request = marvetta.CommonRequest(
            request=b'{"clazz": "guarded_app.api", "method": "add", "args": [1, 2]}')
        response = service.handle(request, None)
        assert response.status == 0
        assert json.loads(response.response)["result"] == 3

    def test_the_dispatcher_gets_the_request_identifier_and_code(self, app_modules):
        service = GuardedService(LISTING)
        log = logging.getLogger("rpc_log")
        records = []
        handler = logging.Handler()
        handler.emit = records.append
        saved = log.level, log.propagate
        log.addHandler(handler)
        log.setLevel(logging.DEBUG)
        log.propagate = False
        try:
            service.handle(marvetta.CommonRequest(
                request=b'{"clazz": "guarded_app.api", "method": "add", "args": [1, 2]}',
                request_id="rid-\u00e9-77", serialize=9), None)
        finally:
            log.removeHandler(handler)
            log.setLevel(saved[0])
            log.propagate = saved[1]
        assert len(records) == 1 and "'request_id': 'rid-\u00e9-77'" in records[0].getMessage()

    def test_a_different_json_reader_in_the_dispatcher_sees_what_was_checked(self, app_modules,
                                                                             monkeypatch):
        """The check reads what the dispatcher parsed: with a JSON reader that
        keeps the first of repeated members (Python's keeps the last), the
        guarded dispatcher refuses the member it would have run."""
        def first_wins(pairs):
            kept = {}
            for name, value in pairs:
                kept.setdefault(name, value)
            return kept

        reader = types.SimpleNamespace(
            loads=lambda text: json.loads(text, object_pairs_hook=first_wins), dumps=json.dumps)
        monkeypatch.setattr(corvex, "json", reader)
        service = GuardedService(LISTING)
        sneaky = (b'{"clazz": "guarded_app.api", "method": "_secret", "method": "add", '
                  b'"args": [1, 2]}')
        with pytest.raises(CallRefused) as info:
            service.handle(marvetta.CommonRequest(request=sneaky), None)
        assert "private name '_secret'" in info.value.reason
        plain = corvex.CommonService().handle(marvetta.CommonRequest(request=sneaky), None)
        assert json.loads(plain.response)["message"].startswith("_secret()")  # it really differs

    def test_long_values_are_cut_in_messages(self, app_modules):
        service = GuardedService(LISTING)
        reason = service.refusal({"clazz": "x" * 10000, "method": "add"})
        assert len(reason) < 200 and reason.endswith("... is not exposed")
        with pytest.raises(CallRefused) as info:
            service.handle(marvetta.CommonRequest(request=json.dumps(
                {"clazz": "guarded_app.api", "method": "y" * 10000}).encode()), None)
        assert len(str(info.value)) < 250 and str(info.value).endswith("...")


# -- the walk: each object checked as it is reached, nothing evaluated ----------

BYPASS_MODULE = '''
import logging
import os
import subprocess
import threading

SIDE_EFFECTS = []


class Log(logging.FileHandler):
    """A class of the module's own over a foreign one: Log("/path", "w") would
    truncate a file, and its inherited methods are logging's."""


class Runner(subprocess.Popen):
    pass


class Worker(threading.Thread):
    pass


class Proxy:
    """Forwards every attribute to what it wraps."""

    def __init__(self, target):
        self._target = target

    def __getattr__(self, name):
        SIDE_EFFECTS.append(("proxy", name))
        return getattr(self._target, name)


client = Proxy(os)


class Thing:
    @property
    def boom(self):
        SIDE_EFFECTS.append(("property", "boom"))
        return os.getcwd

    run = staticmethod(subprocess.call)
    getcwd = os.getcwd
    listdir = staticmethod(os.listdir)

    def own(self):
        return "own"

    @staticmethod
    def twice(x):
        return 2 * x


thing = Thing()


class Base:
    @classmethod
    def kind(cls):
        return cls.__name__

    def hello(self):
        return "hello from " + type(self).__name__


class Child(Base):
    pass


child = Child()


class Pair(list):
    def __init__(self, a, b):
        super().__init__([a, b])


def __getattr__(name):
    SIDE_EFFECTS.append(("module", name))
    return os.system
'''


@pytest.fixture
def bypass_module(app_modules):
    path = app_modules / "guard_bypass.py"
    path.write_text(BYPASS_MODULE)
    sys.modules.pop("guard_bypass", None)
    import guard_bypass
    del guard_bypass.SIDE_EFFECTS[:]
    yield guard_bypass
    sys.modules.pop("guard_bypass", None)


class TestWalk:
    @pytest.mark.parametrize("method,reason", [
        ("Log", "making an instance needs its path listed"),
        ("Runner", "making an instance needs its path listed"),
        ("Worker", "making an instance needs its path listed"),
        ("Log.emit", "not defined in"),
        ("Log.close", "not defined in"),
        ("Worker.start", "not defined in"),
        ("client.system", "has no public"),
        ("client.getcwd", "has no public"),
        ("thing.boom", "does not evaluate"),
        ("Thing.boom", "does not evaluate"),
        ("thing.run", "not defined in"),
        ("Thing.getcwd", "not defined in"),
        ("thing.listdir", "not defined in"),
        ("system", "has no public"),
        ("anything", "has no public"),
        ("Base.kind.__func__", "private name"),
        ("Thing.twice.x", "not exposed"),
        ("Pair", "making an instance needs its path listed"),
        ("Pair.append", "not defined in"),
        ("thing", "cannot be called"),
    ])
    def test_bypasses_are_refused_with_no_side_effect(self, bypass_module, method, reason):
        service = GuardedService({"guard_bypass": "*"})
        request = marvetta.CommonRequest(request=json.dumps(
            {"clazz": "guard_bypass", "method": method, "args": ["/tmp/x", "w"]}).encode())
        with pytest.raises(CallRefused) as info:
            service.handle(request, None)
        assert str(info.value) == told_path("guard_bypass", method)
        assert reason in info.value.reason
        assert bypass_module.SIDE_EFFECTS == []
        assert service.refusal({"clazz": "guard_bypass", "method": method}) is not None
        assert bypass_module.SIDE_EFFECTS == []

    @pytest.mark.parametrize("method,args,result", [
        ("Thing.twice", [4], 8),
        ("thing.twice", [5], 10),
        ("thing.own", [], "own"),
        ("Base.kind", [], "Base"),
        ("Child.kind", [], "Child"),
        ("child.hello", [], "hello from Child"),
        ("child.kind", [], "Child"),
    ])
    def test_methods_of_the_modules_own_classes_are_served(self, bypass_module, method, args,
                                                           result):
        service = GuardedService({"guard_bypass": "*"})
        response = service.handle(marvetta.CommonRequest(request=json.dumps(
            {"clazz": "guard_bypass", "method": method, "args": args}).encode()), None)
        assert json.loads(response.response)["result"] == result
        assert bypass_module.SIDE_EFFECTS == []

    def test_a_listed_class_may_be_called(self, bypass_module):
        service = GuardedService({"guard_bypass": ["Pair", "Child.kind"]})
        response = service.handle(marvetta.CommonRequest(request=json.dumps(
            {"clazz": "guard_bypass", "method": "Pair", "args": [1, 2]}).encode()), None)
        assert json.loads(response.response)["result"] == [1, 2]
        with pytest.raises(CallRefused) as info:
            service.handle(marvetta.CommonRequest(request=json.dumps(
                {"clazz": "guard_bypass", "method": "Log", "args": ["/tmp/x", "w"]}).encode()),
                None)
        assert "not exposed" in info.value.reason

    def test_a_listed_path_is_walked_without_evaluating_either(self, bypass_module):
        service = GuardedService({"guard_bypass": ["thing.boom", "client.system", "system"]})
        for method in ("thing.boom", "client.system", "system"):
            with pytest.raises(CallRefused):
                service.handle(marvetta.CommonRequest(request=json.dumps(
                    {"clazz": "guard_bypass", "method": method, "args": ["true"]}).encode()),
                    None)
        assert bypass_module.SIDE_EFFECTS == []

    def test_the_handler_is_called_once_per_call(self, bypass_module):
        service = GuardedService({"guard_bypass": "*"})
        seen = []
        service.clazz_handler = lambda clazz: seen.append(clazz) or clazz
        service.handle(marvetta.CommonRequest(request=json.dumps(
            {"clazz": "guard_bypass", "method": "Thing.twice", "args": [1]}).encode()), None)
        with pytest.raises(CallRefused):
            service.handle(marvetta.CommonRequest(request=json.dumps(
                {"clazz": "guard_bypass", "method": "Log", "args": []}).encode()), None)
        assert seen == ["guard_bypass", "guard_bypass"]
