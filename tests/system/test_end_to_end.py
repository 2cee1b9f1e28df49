"""Decorated stubs and the call helpers against a real GrpcServer on 127.0.0.1,
and client channels finding their server again after an outage.

The targets live in support/e2e_targets.py; the client-side stubs below are compiled
into a namespace of the same module name, as a client program holding its own
copy of the stub module would be.
"""
import json
import socket
import threading
import time
import types

import grpc
import pytest

import brindlow
from sorvane import corvex
from sorvane.corvex import GrpcException, GrpcHelper, GrpcServer, Server, grpc_service

from conftest import free_port

CLIENT_STUBS = '''
from sorvane.corvex import grpc_service

@grpc_service(SERVER)
def add(a, b=2):
    raise AssertionError("runs on the server")

@grpc_service(SERVER)
def echo(*items, **options):
    pass

@grpc_service(SERVER)
def mixed(first, *items, flag=False, **options):
    pass

@grpc_service(SERVER)
def fail(message):
    pass

@grpc_service(SERVER)
def nothing():
    pass

@grpc_service(SERVER)
def greet(name):
    pass

@grpc_service(SERVER)
def blob(size):
    pass

@grpc_service(SERVER)
def who(self, x):
    pass

@grpc_service(SERVER)
def missing_here_and_there(x):
    pass

class K:
    @classmethod
    @grpc_service(SERVER)
    def f(cls, x):
        pass

    @staticmethod
    @grpc_service(SERVER)
    def twice(x):
        pass
'''

MIB = 1024 * 1024


class Recording:
    """Passes calls on to a real stub and keeps the requests."""

    def __init__(self, stub):
        self.stub = stub
        self.requests = []

    def handle(self, request):
        self.requests.append(request)
        return self.stub.handle(request)


@pytest.fixture(scope="module")
def remote():
    port = free_port()
    server = GrpcServer("127.0.0.1", port, max_workers=8)
    server.run_background()
    name = "e2e-%d" % port
    entry = Server(name, "127.0.0.1", port)
    corvex.grpc_client.load([entry])
    stubs = types.ModuleType("e2e_targets")
    stubs.SERVER = name
    exec(compile(CLIENT_STUBS, "<client stubs of e2e_targets>", "exec"), vars(stubs))
    stubs.entry = entry
    try:
        yield stubs
    finally:
        server.rpc_server.stop(0).wait()


@pytest.fixture
def recording(remote, monkeypatch):
    proxy = Recording(corvex.grpc_client.connect(remote.SERVER))
    monkeypatch.setitem(corvex.grpc_client.stubs, remote.SERVER, proxy)
    return proxy


def description(request):
    return json.loads(request.request.decode("utf-8"))


class TestDecoratedStubs:
    def test_module_level_function(self, remote, recording):
        assert remote.add(1) == 21  # the server's default b=20, not the stub's
        assert remote.add(1, 5) == remote.add(a=1, b=5) == remote.add(1, b=5) == 6
        first, *rest = recording.requests
        assert description(first) == {
            "clazz": "e2e_targets", "method": "add", "args": [], "kwargs": {"a": 1}}
        assert len({r.request for r in rest}) == 1
        assert description(rest[0])["kwargs"] == {"a": 1, "b": 5}

    def test_class_method_and_static_method(self, remote, recording):
        assert remote.K.f(3) == ["K", 3]
        assert description(recording.requests[-1])["method"] == "K.f"
        assert description(recording.requests[-1])["kwargs"] == {"x": 3}
        assert remote.K.twice(x=4) == 8

    def test_variadics(self, remote):
        assert remote.echo(1, "two", k=1, z=None) == {
            "items": [1, "two"], "options": {"k": 1, "z": None}}
        assert remote.echo() == {"items": [], "options": None}  # nothing sent for either
        assert remote.mixed(0, 1, 2, flag=True, o="x") == [0, [1, 2], True, {"o": "x"}]

    def test_self_parameter_is_sent_by_name(self, remote):
        assert remote.who("me", 1) == ["me", 1]

    def test_remote_exception(self, remote):
        with pytest.raises(GrpcException) as info:
            remote.fail("boom ü")
        assert (info.value.exc_type, info.value.message) == ("ValueError", "boom ü")
        assert info.value.args == ("ValueError", "boom ü")

    def test_remote_binding_failure_is_a_remote_exception(self, remote):
        with pytest.raises(GrpcException) as info:
            GrpcHelper.call_rpc_result(corvex.grpc_client.connect(remote.SERVER),
                                       "e2e_targets", "add", kwargs={"c": 1})
        assert info.value.exc_type == "TypeError"

    def test_missing_target_fails_the_rpc(self, remote):
        with pytest.raises(grpc.RpcError) as info:
            remote.missing_here_and_there(1)
        assert info.value.code() == grpc.StatusCode.UNKNOWN

    def test_none_result(self, remote):
        assert remote.nothing() is None

    def test_non_ascii_round_trip(self, remote, recording):
        assert remote.greet("wörld 中文") == "héllo, wörld 中文 ✓"
        assert "wörld 中文".encode("utf-8") in recording.requests[-1].request

    def test_many_threads_share_one_stub(self, remote, recording):
        results, errors = {}, []

        def work(t):
            try:
                for i in range(25):
                    results[(t, i)] = remote.add(t, b=i)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert errors == []
        assert results == {(t, i): t + i for t in range(8) for i in range(25)}
        assert len({r.request_id for r in recording.requests}) == 200


class TestLargeReplies:
    """Replies above gRPC's default 4 MiB receive limit arrive on both kinds of
    client channel, as the server sends up to 256 MiB by default."""

    SIZE = 6 * MIB

    def test_through_the_registry(self, remote):
        assert remote.blob(self.SIZE) == "x" * self.SIZE

    def test_through_a_server_entry(self, remote):
        with remote.entry.copy() as stub:
            assert GrpcHelper.call_rpc_result(stub, "e2e_targets", "blob", [self.SIZE]) == (
                "x" * self.SIZE)

    def test_a_channel_without_options_loses_it(self, remote):
        channel = grpc.insecure_channel(remote.entry.addr)
        try:
            with pytest.raises(grpc.RpcError) as info:
                GrpcHelper.call_rpc_result(brindlow.CommonServiceStub(channel), "e2e_targets",
                                           "blob", [self.SIZE])
            assert info.value.code() == grpc.StatusCode.RESOURCE_EXHAUSTED
        finally:
            channel.close()


class TestHelpersAndEntries:
    def test_call_rpc_result_with_positional_args(self, remote):
        stub = corvex.grpc_client.connect(remote.SERVER)
        assert GrpcHelper.call_rpc_result(stub, "e2e_targets", "add", [1, 2]) == 3
        assert GrpcHelper.call_rpc_result(stub, "e2e_targets", "K.twice", kwargs=[("x", 5)]) == 10

    def test_call_rpc_returns_the_failure_response(self, remote):
        stub = corvex.grpc_client.connect(remote.SERVER)
        response = GrpcHelper.call_rpc(stub, "e2e_targets", "fail", ["m"], request_id="r")
        assert response.status == -1
        assert json.loads(response.response.decode("utf-8"))["excType"] == "ValueError"

    def test_unknown_module_fails_the_rpc(self, remote):
        stub = corvex.grpc_client.connect(remote.SERVER)
        with pytest.raises(grpc.RpcError):
            GrpcHelper.call_rpc_result(stub, "no_such_module_here", "f")

    def test_entry_context_manager(self, remote):
        entry = remote.entry.copy()
        with entry as stub:
            assert GrpcHelper.call_rpc_result(stub, "e2e_targets", "add", [2]) == 22
        with pytest.raises(ValueError):  # the entry's channel is closed now
            GrpcHelper.call_rpc_result(stub, "e2e_targets", "add", [2])
        with entry as again:
            with pytest.raises(ValueError):
                GrpcHelper.call_rpc_result(again, "e2e_targets", "add", [2])
        with entry.copy() as fresh:
            assert GrpcHelper.call_rpc_result(fresh, "e2e_targets", "add", [2]) == 22

    def test_registry_channel_differs_from_entry_channel(self, remote):
        assert remote.entry._channel is None
        assert corvex.grpc_client.get_server(remote.SERVER) is remote.entry


def test_decorated_after_loading_under_a_new_name(remote):
    port = free_port()
    server = GrpcServer("127.0.0.1", port)
    server.run_background()
    try:
        name = "late-%d" % port

        def add(a, b=2):
            pass

        add.__module__, add.__qualname__ = "e2e_targets", "add"
        stub = grpc_service(name)(add)
        with pytest.raises(AttributeError):
            stub(1)
        corvex.grpc_client.load([Server(name, "127.0.0.1", port)])
        assert stub(1, 1) == 2
    finally:
        server.rpc_server.stop(0).wait()


class Outage:
    """The port of a server that is away: each connection is taken and dropped
    at once, and the time it came noted (the client sees a failed attempt)."""

    def __init__(self, port):
        self.attempts = []
        self._sock = socket.socket()
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", port))
        self._sock.listen(16)
        self._sock.settimeout(0.05)
        self._over = threading.Event()
        self._thread = threading.Thread(target=self._take, daemon=True)
        self._thread.start()

    def _take(self):
        while not self._over.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            self.attempts.append(time.monotonic())
            conn.close()

    def end(self):
        self._over.set()
        self._thread.join(10)
        self._sock.close()


class TestReconnect:
    """A channel of the registry, and an entry's own, called (fail-fast, every
    100 ms) while their server is away, keep trying to connect at least every
    2 s however long the outage, and so succeed within 3 s of the server
    accepting connections again on the same port."""

    OUTAGE = 7.0  # seconds: past the first steps of gRPC's growing backoff

    def test_calls_succeed_soon_after_the_server_returns(self):
        ports = [free_port(), free_port()]
        servers = [GrpcServer("127.0.0.1", p) for p in ports]
        for server in servers:
            server.run_background()
        name = "reconnect-%d" % ports[0]
        corvex.grpc_client.load([Server(name, "127.0.0.1", ports[0])])
        entry = Server("own", "127.0.0.1", ports[1])
        outages = []
        try:
            with entry.copy() as own:
                stubs = [corvex.grpc_client.connect(name), own]
                for stub in stubs:
                    assert GrpcHelper.call_rpc_result(stub, "e2e_targets", "add", [1, 2]) == 3
                for server in servers:
                    server.rpc_server.stop(0).wait()
                outages = [Outage(p) for p in ports]
                failures = [0, 0]
                until = time.monotonic() + self.OUTAGE
                while time.monotonic() < until:
                    for i, stub in enumerate(stubs):
                        with pytest.raises(grpc.RpcError) as info:
                            GrpcHelper.call_rpc_result(stub, "e2e_targets", "add", [1],
                                                       timeout=5)
                        assert info.value.code() == grpc.StatusCode.UNAVAILABLE
                        failures[i] += 1
                    time.sleep(0.1)
                for outage in outages:
                    outage.end()
                servers = [GrpcServer("127.0.0.1", p) for p in ports]
                for server in servers:
                    server.run_background()
                back = time.monotonic()
                for outage in outages:
                    gaps = [b - a for a, b in zip(outage.attempts, outage.attempts[1:])]
                    assert len(outage.attempts) >= 4 and max(gaps) < 2.0, gaps
                    assert back - outage.attempts[-1] < 2.0, gaps
                assert min(failures) > 30
                for stub in stubs:
                    while True:
                        try:
                            assert GrpcHelper.call_rpc_result(
                                stub, "e2e_targets", "add", [2, 2], timeout=5) == 4
                            break
                        except grpc.RpcError as error:
                            assert error.code() == grpc.StatusCode.UNAVAILABLE
                            assert time.monotonic() - back < 3.0, "no success within 3 s"
                            time.sleep(0.1)
        finally:
            for outage in outages:
                outage.end()
            for server in servers:
                server.rpc_server.stop(0).wait()
