"""Health, the listing of exposed callables, and metrics (sorvane.ops), on
the engine the run uses (SORVANE_ENGINE).

Servers run in this process on 127.0.0.1; the command-line tests run
``python -m sorvane health|list`` against them. Clients are grpcio's
channels, so a Watch reaches the server even where the native engine's own
channel would refuse to stream.
"""
import concurrent.futures
import contextlib
import importlib.util
import json
import os
import socket
import sys
import threading
import time
import urllib.error
import urllib.request
import uuid

import grpc
import pytest
from hypothesis import given, settings, strategies as st

import brindlow
from conftest import free_port, package_definitions
from processes import ServeProcess, run_cli, write_targets
from server_support import request as common_request
from sorvane import cli, engine, ops
from sorvane.corvex import GrpcException, GrpcHelper, GrpcServer
from sorvane.guard import guard

TOKEN = "ops-Token_7"
WAIT = 10

# A module to list: what the guard accepts beside what it must not show.
LISTED = '''\
"""A module whose listing is checked."""
import json
import logging
from os.path import join


def add(a, b=2):
    """Adds two numbers.

    The second defaults to two.
    """
    return a + b


def div(a, b):
    return a / b


async def fetch(key, delay=0.1):
    """Fetches later."""
    return key


def _helper():
    """Private: never listed."""


_SECRET = "not callable, not public"


class Log(logging.FileHandler):
    """Inherits everything from a foreign class; only its own method is reachable."""

    def rotate_now(self, when):
        """Rotates."""
        return when


class Greeter:
    """Says hello."""

    def __init__(self, name="x"):
        self.name = name

    @staticmethod
    def hello(name, punctuation="!"):
        """Greets someone."""
        return "hello, " + name + punctuation

    @classmethod
    def make(cls):
        return cls()

    def _whisper(self):
        return "psst"

    def __secret(self):
        return "never"


class Polite(Greeter):
    @staticmethod
    def bow():
        """Bows."""
        return "bows"


greeter = Greeter()
'''


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


def wire(status):
    return ops.encode_health_response(status)


@pytest.fixture
def module_dir(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    return tmp_path


def write_module(folder, text, prefix):
    """A module of a name never used before in this process."""
    name = "%s_%s" % (prefix, uuid.uuid4().hex[:10])
    (folder / (name + ".py")).write_text(text)
    return name


@contextlib.contextmanager
def running(modules=None, listing=None, **settings):
    """A started GrpcServer on 127.0.0.1 (guarded when modules or listing is
    given), a grpcio channel to it; stopped on exit."""
    port = free_port()
    server = GrpcServer("127.0.0.1", port, **settings)
    if listing is not None:
        guard(server, listing)
    elif modules is not None:
        guard(server, modules)
    server.run_background()
    channel = grpc.insecure_channel("127.0.0.1:%d" % port)
    try:
        yield server, channel, port
    finally:
        channel.close()
        server.rpc_server.stop(0).wait()


def check(channel, service="", metadata=None):
    reply = channel.unary_unary(ops.CHECK_METHOD)(ops.encode_health_request(service),
                                                  timeout=WAIT, metadata=metadata)
    return ops.decode_health_response(reply)


def watch(channel, service=""):
    return channel.unary_stream(ops.WATCH_METHOD)(ops.encode_health_request(service),
                                                  timeout=30)


def listing(channel, metadata=None):
    return json.loads(channel.unary_unary(ops.LIST_METHOD)(b"", timeout=WAIT,
                                                           metadata=metadata))


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


def cli_env(monkeypatch, token=None):
    if token is None:
        monkeypatch.delenv("SORVANE_TOKEN", raising=False)
    else:
        monkeypatch.setenv("SORVANE_TOKEN", token)


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


# ---- metrics ----------------------------------------------------------------------


needs_prometheus = pytest.mark.skipif(importlib.util.find_spec("prometheus_client") is None,
                                      reason="metrics need prometheus_client")


def scrape(url):
    from prometheus_client.parser import text_string_to_metric_families

    with urllib.request.urlopen(url, timeout=WAIT) as reply:
        assert reply.status == 200
        text = reply.read().decode("utf-8")
    samples = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return samples


def labels(**items):
    return tuple(sorted(items.items()))


def wait_closed(url):
    deadline = time.monotonic() + WAIT
    while True:
        try:
            urllib.request.urlopen(url, timeout=2).close()
        except (urllib.error.URLError, ConnectionError):
            return
        assert time.monotonic() < deadline, "the metrics endpoint stayed open"
        time.sleep(0.05)


class TestRecorder:
    def test_counts_calls_by_target_and_outcome(self):
        recorder = ops.Recorder(buckets=(0.1, 1.0))
        for _ in range(3):
            recorder.enter()
        assert recorder.snapshot()[0] == 3
        recorder.record("calc", "add", "ok", 0.05)
        recorder.record("calc", "add", "ok", 0.1)     # on a bound: that bucket
        recorder.record("calc", "add", "raised", 2.0)  # above every bound
        in_flight, calls, durations = recorder.snapshot()
        assert in_flight == 0
        assert calls == {("calc", "add", "ok"): 2, ("calc", "add", "raised"): 1}
        counts, total = durations[("calc", "add")][:-1], durations[("calc", "add")][-1]
        assert counts == [2, 0, 1]
        assert total == pytest.approx(2.15)

    def test_snapshot_is_a_copy(self):
        recorder = ops.Recorder()
        recorder.enter()
        recorder.record("m", "f", "ok", 0.0)
        _, calls, durations = recorder.snapshot()
        recorder.enter()
        recorder.record("m", "f", "ok", 0.0)
        assert calls[("m", "f", "ok")] == 1 and sum(durations[("m", "f")][:-1]) == 1

    def test_series_beyond_the_limit_are_pooled(self):
        recorder = ops.Recorder(max_series=2)
        for method in ("a", "b", "c", "d"):
            recorder.enter()
            recorder.record("m", method, "ok", 0.0)
        _, calls, durations = recorder.snapshot()
        assert calls == {("m", "a", "ok"): 1, ("m", "b", "ok"): 1,
                         ("(other)", "(other)", "ok"): 2}
        assert len(durations) == 3

    def test_threads_lose_no_counts(self):
        recorder = ops.Recorder()

        def work():
            for _ in range(2000):
                recorder.enter()
                recorder.record("m", "f", "ok", 0.001)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        in_flight, calls, durations = recorder.snapshot()
        assert (in_flight, calls[("m", "f", "ok")]) == (0, 8000)
        assert sum(durations[("m", "f")][:-1]) == 8000


def metered_add(a, b):
    """Target of the in-process dispatch below."""
    return a + b


class ListRecorder:
    """Keeps what the dispatcher reports; `fail` names a method that raises."""

    def __init__(self, fail=None):
        self.fail, self.entered, self.records = fail, 0, []

    def enter(self):
        if self.fail == "enter":
            raise RuntimeError("enter broke")
        self.entered += 1

    def record(self, module, method, outcome, seconds):
        if self.fail == "record":
            raise RuntimeError("record broke")
        self.records.append((module, method, outcome))
        assert seconds >= 0


def dispatch_with(recorder, method, args):
    import marvetta
    from sorvane.corvex import CommonService

    service = CommonService()
    service._metrics = recorder
    description = json.dumps({"clazz": __name__, "method": method, "args": args, "kwargs": {}})
    request = marvetta.CommonRequest(request=description.encode(), request_id="r", serialize=3)
    return json.loads(service.handle(request, None).response)


class TestDispatcherRecorder:
    def test_outcomes_reach_the_recorder(self):
        recorder = ListRecorder()
        assert dispatch_with(recorder, "metered_add", [1, 2])["result"] == 3
        assert dispatch_with(recorder, "metered_add", [1])["status"] == -1
        with pytest.raises(AttributeError):
            dispatch_with(recorder, "no_such_target", [])
        assert recorder.entered == 3
        assert recorder.records == [(__name__, "metered_add", "ok"), (__name__, "metered_add", "raised"),
                                    ("", "", "failed")]

    @pytest.mark.skipif(sys.version_info < (3, 8), reason="sys.unraisablehook is 3.8+")
    @pytest.mark.parametrize("fail", ["enter", "record"])
    def test_a_failing_recorder_changes_nothing_and_is_reported(self, fail, monkeypatch):
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(str(u.exc_value)))
        recorder = ListRecorder(fail=fail)
        assert dispatch_with(recorder, "metered_add", [2, 3])["result"] == 5
        assert seen == ["%s broke" % fail]
        # A call whose enter() failed is not recorded: the in-flight gauge stays right.
        assert recorder.records == []


@needs_prometheus
class TestMetricsEndpoint:
    def test_scrape_shows_counters_histogram_and_gauge(self):
        recorder = ops.Recorder(buckets=(0.01, 0.1))
        metrics = ops.start_metrics(recorder, 0)
        try:
            assert metrics.host == "127.0.0.1"
            assert metrics.url == "http://127.0.0.1:%d/metrics" % metrics.port
            recorder.enter()
            recorder.enter()
            recorder.record("calc", "add", "ok", 0.005)
            recorder.record("", "", "refused", 0.0001)
            samples = scrape(metrics.url)
        finally:
            metrics.stop()
        assert samples[("sorvane_calls_total",
                        labels(module="calc", method="add", outcome="ok"))] == 1
        assert samples[("sorvane_calls_total",
                        labels(module="", method="", outcome="refused"))] == 1
        bucket = "sorvane_call_duration_seconds_bucket"
        assert samples[(bucket, labels(module="calc", method="add", le="0.01"))] == 1
        assert samples[(bucket, labels(module="calc", method="add", le="0.1"))] == 1
        assert samples[(bucket, labels(module="calc", method="add", le="+Inf"))] == 1
        assert samples[("sorvane_call_duration_seconds_count",
                        labels(module="calc", method="add"))] == 1
        assert samples[("sorvane_call_duration_seconds_sum",
                        labels(module="calc", method="add"))] == pytest.approx(0.005)
        assert samples[("sorvane_calls_in_flight", ())] == 0
        # Its own registry: nothing of the process-wide default one.
        assert not any(name.startswith(("process_", "python_")) for name, _ in samples)
        wait_closed(metrics.url)
        metrics.stop()  # a second stop does nothing

    def test_bad_ports_are_refused(self):
        for port in (-1, 65536, "9000", True, 1.5):
            with pytest.raises(ValueError):
                ops.start_metrics(ops.Recorder(), port)

    def test_missing_prometheus_client_names_the_extra(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "prometheus_client", None)
        with pytest.raises(RuntimeError, match=r"pip install sorvane\[metrics\]"):
            ops.start_metrics(ops.Recorder(), 0)

    def test_grpc_server_with_metrics_port(self):
        port = free_port()
        with running(metrics_port=port) as (server, channel, _):
            assert server.metrics_port == port
            assert server.service._metrics is server.ops.recorder
            url = "http://127.0.0.1:%d/metrics" % port
            assert server.ops.metrics.url == url
            assert scrape(url)[("sorvane_calls_in_flight", ())] == 0
            server.rpc_server.stop(0).wait()
            wait_closed(url)

    def test_grpc_server_without_metrics_port(self):
        with running() as (server, channel, _):
            assert "metrics_port" not in vars(server)
            assert server.ops.metrics is None and server.ops.recorder is None
            assert "_metrics" not in vars(server.service)

    def test_a_busy_metrics_port_fails_the_start(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen(1)
            server = GrpcServer("127.0.0.1", free_port(), metrics_port=busy.getsockname()[1])
            with pytest.raises(OSError):
                server.run_background()

    def test_serve_command_with_metrics_port(self, tmp_path):
        targets = write_targets(tmp_path)
        port, metrics_port = free_port(), free_port()
        server = ServeProcess([targets, "--port", str(port), "--metrics-port",
                               str(metrics_port)], tmp_path)
        try:
            server.wait_started()
            server.wait_for(r"metrics on http://127\.0\.0\.1:%d/metrics" % metrics_port)
            samples = scrape("http://127.0.0.1:%d/metrics" % metrics_port)
            assert samples[("sorvane_calls_in_flight", ())] == 0
            assert server.stop() == 0
        finally:
            server.close()

    def test_serve_refuses_metrics_with_several_processes(self, tmp_path):
        proc = run_cli(["serve", "m", "--metrics-port", "9", "--processes", "2"], tmp_path)
        assert proc.returncode == 2 and "--processes 1" in proc.stderr

    def test_dispatcher_feeds_metrics_per_outcome(self, module_dir):
        name = write_module(module_dir, LISTED, "ops_metered")
        metrics_port = free_port()
        with running([name], metrics_port=metrics_port) as (server, channel, _):
            stub = brindlow.CommonServiceStub(channel)
            assert GrpcHelper.call_rpc_result(stub, name, "add", args=[1, 2]) == 3
            assert GrpcHelper.call_rpc_result(stub, name, "add", args=[2]) == 4
            with pytest.raises(GrpcException):
                GrpcHelper.call_rpc_result(stub, name, "div", args=[1, 0])
            with pytest.raises(grpc.RpcError):
                GrpcHelper.call_rpc_result(stub, name, "_helper")
            with pytest.raises(grpc.RpcError):
                stub.handle(common_request(raw=b"not json"), timeout=WAIT)
            samples = scrape("http://127.0.0.1:%d/metrics" % metrics_port)
        calls = {key[1]: value for key, value in samples.items()
                 if key[0] == "sorvane_calls_total"}
        assert calls == {
            labels(module=name, method="add", outcome="ok"): 2,
            labels(module=name, method="div", outcome="raised"): 1,
            labels(module="", method="", outcome="refused"): 1,
            labels(module="", method="", outcome="failed"): 1,
        }
        assert samples[("sorvane_call_duration_seconds_count",
                        labels(module=name, method="add"))] == 2
        assert samples[("sorvane_calls_in_flight", ())] == 0
