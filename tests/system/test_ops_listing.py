"""The listing of exposed callables (sorvane.ops): what the server lists and
the ``list`` command, on the engine the run uses (SORVANE_ENGINE).

Servers run in this process on 127.0.0.1; the command-line tests run
``python -m sorvane list`` against them, with grpcio's channels as clients.
"""
import concurrent.futures
import json
import sys

import grpc
import pytest

import brindlow
from conftest import free_port
from ops_support import LISTED, TOKEN, WAIT, cli_env, running, write_module
from processes import run_cli
from sorvane import cli, ops
from sorvane.corvex import GrpcException, GrpcHelper


# A module to list whose objects must not run or show anything.
HOSTILE = '''\
import functools

SECRET = "s3cr3t-Pa55word"
touched = []


class Loud:
    def __repr__(self):
        touched.append("repr")
        return "<loud>"


class Refusing:
    def __repr__(self):
        touched.append("repr that raises")
        raise RuntimeError("no repr")


{connect}
    """Connects."""


def fallback(value=Refusing()):
    return value


class Lazy:
    """Forwards unknown names."""

    def __getattr__(self, name):
        touched.append("__getattr__ " + name)
        raise AttributeError(name)

    @property
    def __signature__(self):
        touched.append("__signature__")
        raise ValueError("no signature")

    def __call__(self, query, limit=Loud()):
        return query

    def fetch(self, key, default=SECRET):
        """Fetches."""
        return key


lazy = Lazy()


class Meta(type):
    @property
    def __signature__(cls):
        touched.append("class __signature__")
        raise ValueError("no signature")

    def __getattr__(cls, name):
        touched.append("class __getattr__ " + name)
        raise AttributeError(name)


class Built(metaclass=Meta):
    """Made by a metaclass."""

    def __init__(self, size, *, secret=SECRET):
        self.size = size

    @staticmethod
    def make(kind, *args, **kwargs):
        return kind


def wrapped(a, b=SECRET):
    """Wrapped."""


@functools.wraps(wrapped)
def wrapper(*args, **kwargs):
    return wrapped(*args, **kwargs)
'''
CONNECT = ("def connect(host, port=6565, /, password=SECRET, *hosts, timeout=Loud(), retry, "
           "**options):")
CONNECT_37 = ("def connect(host, port=6565, password=SECRET, *hosts, timeout=Loud(), retry, "
              "**options):")


def listing(channel, metadata=None):
    return json.loads(channel.unary_unary(ops.LIST_METHOD)(b"", timeout=WAIT,
                                                           metadata=metadata))


# ---- the listing ------------------------------------------------------------------


class TestListing:
    def test_lists_exactly_what_the_guard_accepts(self, module_dir):
        name = write_module(module_dir, LISTED, "ops_listed")
        with running([name]) as (server, channel, _):
            entries = listing(channel)
        names = [e["name"] for e in entries]
        assert names == sorted(names)
        expected = {
            "add": ("(a, b=...)", "Adds two numbers."),
            "div": ("(a, b)", ""),
            "fetch": ("(key, delay=...)", "Fetches later."),
            "Greeter.hello": ("(name, punctuation=...)", "Greets someone."),
            "Greeter.make": ("()", ""),
            "Log.rotate_now": ("(self, when)", "Rotates."),
            "Polite.bow": ("()", "Bows."),
            "Polite.hello": ("(name, punctuation=...)", "Greets someone."),
            "Polite.make": ("()", ""),
            "greeter.hello": ("(name, punctuation=...)", "Greets someone."),
            "greeter.make": ("()", ""),
        }
        assert {e["name"]: (e["signature"], e["doc"]) for e in entries} == {
            name + ":" + path: value for path, value in expected.items()}

    def test_every_listed_callable_passes_the_guard_and_nothing_else_does(self, module_dir):
        name = write_module(module_dir, LISTED, "ops_listed")
        with running([name]) as (server, channel, _):
            entries = listing(channel)
            stub = brindlow.CommonServiceStub(channel)
            for entry in entries:
                path = entry["name"].split(":", 1)[1]
                try:
                    GrpcHelper.call_rpc_result(stub, name, path)
                except GrpcException:
                    pass  # reached the target; wrong arguments are fine
                except grpc.RpcError as e:  # a result JSON cannot carry, say
                    assert e.code() != grpc.StatusCode.PERMISSION_DENIED, entry
            for path in ("join", "json.dumps", "Log.emit", "Log.close", "_helper",
                         "Greeter._whisper", "Greeter", "Polite.__init__", "logging.getLogger"):
                with pytest.raises(grpc.RpcError) as error:
                    GrpcHelper.call_rpc_result(stub, name, path)
                assert error.value.code() == grpc.StatusCode.PERMISSION_DENIED, path

    def test_listed_paths_and_classes(self, module_dir):
        name = write_module(module_dir, LISTED, "ops_listed")
        other = write_module(module_dir, "raise SystemExit('never imported')\n", "ops_other")
        # Listed explicitly, a path may name a class; one that does not exist
        # or cannot be called is still refused, so not listed.
        exposed = {name: ["Greeter", "Greeter.hello", "missing", "json"]}
        with running(listing=exposed) as (server, channel, _):
            entries = listing(channel)
        assert entries == [
            {"name": name + ":Greeter", "signature": "(name=...)", "doc": "Says hello."},
            {"name": name + ":Greeter.hello", "signature": "(name, punctuation=...)",
             "doc": "Greets someone."},
        ]
        assert other not in sys.modules

    def test_a_module_that_does_not_import_is_left_out(self, module_dir):
        good = write_module(module_dir, LISTED, "ops_listed")
        bad = write_module(module_dir, "raise ImportError('broken')\n", "ops_broken")
        with running([good, bad]) as (server, channel, _):
            names = [e["name"] for e in listing(channel)]
        assert names and all(n.startswith(good + ":") for n in names)

    def test_listing_runs_no_code_of_module_objects(self, module_dir):
        name = write_module(module_dir, '''\
touched = []


class Proxy:
    """Stands for something loaded on first use."""

    @property
    def __class__(self):
        touched.append("__class__")
        return Proxy

    def __getattr__(self, name):
        touched.append(name)
        raise AttributeError(name)

    @property
    def value(self):
        touched.append("value")
        return 1

    def load(self):
        return 2


lazy = Proxy()
''', "ops_lazy")
        with running([name]) as (server, channel, _):
            names = [e["name"] for e in listing(channel)]
        assert names == [name + ":Proxy.load", name + ":lazy.load"]
        assert sys.modules[name].touched == []

    def test_without_a_guard_the_listing_is_refused(self):
        with running() as (server, channel, _):
            with pytest.raises(grpc.RpcError) as error:
                listing(channel)
        assert error.value.code() == grpc.StatusCode.PERMISSION_DENIED
        assert error.value.details() == ops.NO_GUARD

    def test_a_request_with_content_is_invalid(self, module_dir):
        name = write_module(module_dir, LISTED, "ops_listed")
        with running([name]) as (server, channel, _):
            with pytest.raises(grpc.RpcError) as error:
                channel.unary_unary(ops.LIST_METHOD)(b"\x0a\x01x", timeout=WAIT)
        assert error.value.code() == grpc.StatusCode.INVALID_ARGUMENT

    def test_nothing_of_a_module_runs_or_leaks_into_its_listing(self, module_dir):
        """Defaults whose repr records or raises, a secret used as a default,
        objects with __getattr__ and a __signature__ property, a metaclass
        with both, a decorator's wrapper: names and kinds are listed, nothing
        runs and no default's value is shown."""
        name = write_module(module_dir, HOSTILE.format(
            connect=CONNECT if sys.version_info >= (3, 8) else CONNECT_37), "ops_hostile")
        paths = ["connect", "fallback", "lazy", "lazy.fetch", "Built", "Built.make", "wrapper"]
        with running(listing={name: paths}) as (server, channel, _):
            reply = channel.unary_unary(ops.LIST_METHOD)(b"", timeout=WAIT)
        module = sys.modules[name]
        assert module.touched == []
        text = reply.decode("utf-8")
        assert module.SECRET not in text and "loud" not in text and "6565" not in text
        connect = "(host, port=..., /, password=..., *hosts, timeout=..., retry, **options)"
        if sys.version_info < (3, 8):
            connect = connect.replace(" /,", "")
        assert {e["name"]: (e["signature"], e["doc"]) for e in json.loads(text)} == {
            name + ":connect": (connect, "Connects."),
            name + ":fallback": ("(value=...)", ""),
            name + ":lazy": ("(query, limit=...)", "Forwards unknown names."),
            name + ":lazy.fetch": ("(key, default=...)", "Fetches."),
            name + ":Built": ("(size, *, secret=...)", "Made by a metaclass."),
            name + ":Built.make": ("(kind, *args, **kwargs)", ""),
            name + ":wrapper": ("(a, b=...)", "Wrapped."),
        }
        # Listed with "*", through the candidates' class dicts: the same.
        everything = ops.describe({name: None})
        assert module.touched == []
        assert module.SECRET not in json.dumps(everything)
        assert {e["name"].split(":")[1] for e in everything} >= {
            "connect", "fallback", "lazy.fetch", "Lazy.fetch", "Built.make", "wrapper"}

    @pytest.mark.parametrize("source,signature", [
        ("def f(): pass", "()"),
        ("def f(a, b=1, *args, c, d=2, **kw): pass", "(a, b=..., *args, c, d=..., **kw)"),
        ("def f(a, *, b, c=None): pass", "(a, *, b, c=...)"),
        ("def f(*args): pass", "(*args)"),
        ("def f(**kw): pass", "(**kw)"),
        ("f = lambda x, y=1: x", "(x, y=...)"),
        ("class C:\n def m(self, a, b=1): pass\nf = C().m", "(a, b=...)"),
        ("class C:\n def m(self, a): pass\nf = C.m", "(self, a)"),
        ("class C:\n @classmethod\n def m(cls, a): pass\nf = C.m", "(a)"),
        ("class C:\n @staticmethod\n def m(a): pass\nf = C().m", "(a)"),
        ("class C:\n def __init__(self, a, b=2): pass\nf = C", "(a, b=...)"),
        ("class C:\n def __new__(cls, a): pass\nf = C", "(a)"),
        ("class B:\n def __init__(self, x): pass\nclass C(B): pass\nf = C", "(x)"),
        ("class C: pass\nf = C", "()"),
        ("class C(dict): pass\nf = C", "(...)"),
        ("class M(type):\n def __call__(cls, q): pass\nclass C(metaclass=M): pass\nf = C",
         "(...)"),
        ("class C:\n def __call__(self, a, *rest): pass\nf = C()", "(a, *rest)"),
        ("class C:\n __call__ = len\nf = C()", "(...)"),
        ("f = len", "(...)"),
        ("f = dict.get", "(...)"),
        ("from sorvane.corvex import _exposure_check as f", "(...)"),
        ("def g(x, y=0): pass\ndef f(*a, **k): pass\nf.__wrapped__ = g", "(x, y=...)"),
        ("def f(*a, **k): pass\nf.__wrapped__ = len", "(*a, **k)"),
        ("def f(*a): pass\nf.__wrapped__ = f", "(*a)"),
    ] + ([
        ("def f(a, b=1, /, c=2, *, d): pass", "(a, b=..., /, c=..., *, d)"),
        ("class C:\n def m(self, /, a): pass\nf = C().m", "(a)"),
        ("class C:\n def m(self, a, /, b): pass\nf = C().m", "(a, /, b)"),
    ] if sys.version_info >= (3, 8) else []))
    def test_signatures_give_names_and_kinds(self, source, signature):
        namespace = {}
        exec(source, namespace)
        assert ops._signature(namespace["f"]) == signature

    def test_a_signature_runs_no_code_of_the_callable(self):
        touched = []

        class Odd:
            @property
            def __signature__(self):
                touched.append("__signature__")
                raise ValueError("no signature")

            def __getattr__(self, name):
                touched.append(name)
                raise AttributeError(name)

            def __call__(self, a, b=object()):
                """Called."""

        assert (ops._signature(Odd()), ops._doc(Odd())) == ("(a, b=...)", "")
        assert (ops._signature(Odd().__call__), ops._doc(Odd().__call__)) == (
            "(a, b=...)", "Called.")
        assert touched == []


class TestListCommand:
    def test_prints_one_line_per_callable(self, module_dir, tmp_path):
        name = write_module(module_dir, LISTED, "ops_listed")
        with running([name]) as (server, channel, port):
            proc = run_cli(["list", "127.0.0.1:%d" % port], module_dir)
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.splitlines()
        assert lines[0] == name + ":Greeter.hello(name, punctuation=...)  Greets someone."
        assert name + ":div(a, b)" in lines  # no docstring: no trailing spaces
        assert name + ":add(a, b=...)  Adds two numbers." in lines
        assert name + ":fetch(key, delay=...)  Fetches later." in lines  # a coroutine function
        assert len(lines) == 11

    def test_refused_without_a_guard(self, capsys):
        with running() as (server, channel, port):
            assert cli.main(["list", "127.0.0.1:%d" % port]) == 1
        out, err = capsys.readouterr()
        assert out == "" and err == ops.NO_GUARD + "\n"

    def test_with_and_without_the_token(self, module_dir, monkeypatch, capsys):
        name = write_module(module_dir, LISTED, "ops_listed")
        with running([name], token=TOKEN) as (server, channel, port):
            address = "127.0.0.1:%d" % port
            cli_env(monkeypatch)
            assert cli.main(["list", address]) == 1
            out, err = capsys.readouterr()
            assert out == "" and "UNAUTHENTICATED" in err and TOKEN not in err
            token_file = module_dir / "token"
            token_file.write_text(TOKEN + "\n")
            assert cli.main(["list", address, "--token-file", str(token_file)]) == 0
            assert len(capsys.readouterr().out.splitlines()) == 11

    def test_unreachable(self, capsys):
        assert cli.main(["list", "127.0.0.1:%d" % free_port(), "--timeout", "3"]) == 3
        assert "UNAVAILABLE" in capsys.readouterr().err

    def test_a_hostile_reply_is_escaped_or_refused(self, capsys):
        replies = [json.dumps([{"name": "m:f\x1b[2J", "signature": "()", "doc": "a\rb"}]),
                   "not json", json.dumps({"a": 1}), json.dumps([{"name": 5}])]
        answers = iter(replies)

        class Fake(grpc.GenericRpcHandler):
            def service(self, details):
                return grpc.unary_unary_rpc_method_handler(
                    lambda request, context: next(answers).encode())

        port = free_port()
        fake = grpc.server(concurrent.futures.ThreadPoolExecutor(1), handlers=(Fake(),))
        fake.add_insecure_port("127.0.0.1:%d" % port)
        fake.start()
        try:
            address = "127.0.0.1:%d" % port
            assert cli.main(["list", address]) == 0
            assert capsys.readouterr().out == "m:f\\x1b[2J()  a\\rb\n"
            for _ in replies[1:]:
                assert cli.main(["list", address]) == 1
                out, err = capsys.readouterr()
                assert out == "" and err.startswith("error: bad reply")
        finally:
            fake.stop(0).wait()
