"""Server entries, the GrpcClient registry and the shared grpc_client.

Calls that need an answering server are in system/test_end_to_end.py; here channels
are real but nothing is sent, or a recording stand-in replaces `grpc`.
"""
import inspect
import json

import grpc
import pytest

import brindlow
import marvetta
from sorvane import corvex
from sorvane.corvex import GrpcClient, Server

MAX = 268435456


class RecordingGrpc:
    """Stands in for the module-level `transport` (the engine's channel
    factory): records channel openings and opens them on the real one."""

    def __init__(self, real):
        self.real = real
        self.opened = []

    def insecure_channel(self, *args, **kwargs):
        self.opened.append((args, kwargs))
        return self.real.insecure_channel(*args, **kwargs)


@pytest.fixture
def recording_grpc(monkeypatch):
    fake = RecordingGrpc(corvex.transport)
    monkeypatch.setattr(corvex, "transport", fake)
    return fake


def request():
    return marvetta.CommonRequest(request=b"{}", serialize=3, request_id="r")


class TestServer:
    def test_attributes_in_order(self):
        entry = Server("inventory", "127.0.0.1", 6565)
        assert list(vars(entry).items()) == [
            ("server", "inventory"), ("host", "127.0.0.1"), ("port", 6565),
            ("addr", "127.0.0.1:6565"), ("_channel", None)]

    def test_shape(self):
        assert Server.__bases__ == (object,)
        assert Server.__module__ == "sorvane.corvex"
        assert [n for n in vars(Server) if not n.startswith("__") or n in (
            "__init__", "__enter__", "__exit__")] == [
            "__init__", "copy", "channel", "__enter__", "__exit__", "idempotent_stub"]
        assert isinstance(vars(Server)["channel"], property)
        assert str(inspect.signature(Server)) == (
            "(server, host, port, *, tls=None, token=None, timeout=None, serialize=None,"
            " balance=None, wait_for_ready=None, retry_policy=None)")
        assert str(inspect.signature(Server.__exit__)) == "(self, exc_type, exc_val, exc_tb)"

    def test_port_as_integer_or_text_gives_same_addr(self):
        assert Server("a", "h", 6565).addr == Server("a", "h", "6565").addr == "h:6565"
        assert Server(server="a", host="h", port=1).addr == "h:1"

    @pytest.mark.parametrize("host", [None, 1, b"h"])
    def test_host_must_be_text(self, host):
        with pytest.raises(TypeError):
            Server("a", host, 6565)

    def test_host_subclass_concatenation_is_python_concatenation(self):
        class Host(str):
            def __add__(self, other):
                return "joined:" + str.__add__(self, other)

        assert Server("a", Host("h"), 1).addr == "joined:h:1"

    def test_argument_count(self):
        with pytest.raises(TypeError):
            Server("a", "h")
        with pytest.raises(TypeError):
            Server("a", "h", 1, 2)

    def test_channel_opened_once_with_the_size_limits(self, recording_grpc):
        entry = Server("a", "127.0.0.1", 1)
        first = entry.channel
        assert entry.channel is first is entry._channel
        assert len(recording_grpc.opened) == 1
        args, kwargs = recording_grpc.opened[0]
        assert args == ("127.0.0.1:1",)
        assert ("grpc.max_receive_message_length", MAX) in kwargs["options"]
        assert ("grpc.max_send_message_length", MAX) in kwargs["options"]
        first.close()

    def test_channel_is_read_only(self):
        entry = Server("a", "127.0.0.1", 1)
        with pytest.raises(AttributeError):
            entry.channel = None
        assert entry._channel is None

    def test_copy_keeps_the_subclass_and_starts_without_channel(self, port):
        class Named(Server):
            pass

        entry = Named("a", "127.0.0.1", port)
        channel = entry.channel
        twin = entry.copy()
        assert type(twin) is Named
        assert (twin.server, twin.host, twin.port) == ("a", "127.0.0.1", port)
        assert twin.addr == entry.addr == "127.0.0.1:%d" % port
        assert twin._channel is None
        assert entry._channel is channel
        with pytest.raises(grpc.RpcError):  # still open: nothing listens, so UNAVAILABLE
            brindlow.CommonServiceStub(channel).handle(request(), timeout=0.2)
        channel.close()

    def test_copy_passes_three_positional_arguments(self):
        seen = []

        class Tracing(Server):
            def __init__(self, *args, **kwargs):
                seen.append((args, kwargs))
                super().__init__(*args, **kwargs)

        Tracing("a", "h", 1).copy()
        assert seen[-1] == (("a", "h", 1), {})

    def test_context_manager_yields_new_stubs_and_closes(self):
        entry = Server("a", "127.0.0.1", 1)
        with entry as stub:
            assert isinstance(stub, brindlow.CommonServiceStub)
            channel = entry._channel
            assert channel is not None
        assert entry._channel is channel
        with pytest.raises(ValueError):  # grpc refuses calls on a closed channel
            stub.handle(request())
        with entry as again:
            assert again is not stub
        with pytest.raises(ValueError):
            again.handle(request())

    def test_exception_in_block_propagates_after_closing(self):
        entry = Server("a", "127.0.0.1", 1)
        with pytest.raises(KeyError):
            with entry as stub:
                raise KeyError("inside")
        with pytest.raises(ValueError):
            stub.handle(request())

    def test_exit_returns_none(self):
        entry = Server("a", "127.0.0.1", 1)
        entry.__enter__()
        assert entry.__exit__(None, None, None) is None
        with pytest.raises(TypeError):
            entry.__exit__(None, None)

    def test_enter_builds_the_stub_through_module_level_brindlow(self, monkeypatch):
        built = []

        class Brindlow:
            @staticmethod
            def CommonServiceStub(channel):
                built.append(channel)
                return "stub"

        monkeypatch.setattr(corvex, "brindlow", Brindlow)
        entry = Server("a", "127.0.0.1", 1)
        assert entry.__enter__() == "stub"
        assert built == [entry._channel]
        entry._channel.close()


class TestSeveralServers:
    """Entries that name several servers, their policies, and the channel of
    idempotent calls."""

    def test_a_list_of_hosts_is_an_address_list_target(self):
        assert Server("a", ["127.0.0.2", "127.0.0.3"], 7).addr == "ipv4:127.0.0.2:7,127.0.0.3:7"
        assert Server("a", ("::1", "[fe80::1]"), 7).addr == "ipv6:[::1]:7,[fe80::1]:7"
        assert Server("a", "dns:///calc.local", 7).addr == "dns:///calc.local:7"
        entry = Server("a", ["127.0.0.2"], 7)
        assert entry.host == ["127.0.0.2"] and entry.copy().addr == entry.addr

    @pytest.mark.parametrize("hosts, error", [
        ([], ValueError), (["calc.local"], ValueError), (["127.0.0.1", "::1"], ValueError),
        ([b"127.0.0.1"], TypeError), (["127.0.0.1:7"], ValueError)])
    def test_bad_host_lists(self, hosts, error):
        with pytest.raises(error):
            Server("a", hosts, 7)

    def test_a_host_list_needs_a_numeric_port(self):
        with pytest.raises(ValueError):
            Server("a", ["127.0.0.1"], "7")

    @pytest.mark.parametrize("settings, error", [
        ({"balance": "random"}, ValueError), ({"balance": 1}, ValueError),
        ({"wait_for_ready": 1}, TypeError),
        ({"retry_policy": {"maxAttempts": 1}}, ValueError),
        ({"retry_policy": {"maxattempts": 3}}, ValueError),
        ({"retry_policy": {"retryableStatusCodes": ["OK"]}}, ValueError),
        ({"retry_policy": {"retryableStatusCodes": "UNAVAILABLE"}}, ValueError),
        ({"retry_policy": {"initialBackoff": "-1s"}}, ValueError),
        ({"retry_policy": {"maxBackoff": None}}, TypeError),
        ({"retry_policy": [("maxAttempts", 3)]}, TypeError)])
    def test_bad_policies_are_refused_at_once(self, settings, error):
        with pytest.raises(error):
            Server("a", "127.0.0.1", 7, **settings)

    def test_policies_are_kept_checked_and_copied(self):
        entry = Server("a", "127.0.0.1", 7, balance="round_robin", wait_for_ready=False,
                       retry_policy={"maxAttempts": 9, "initialBackoff": 0.25,
                                     "retryableStatusCodes": [grpc.StatusCode.UNAVAILABLE,
                                                              "ABORTED"]})
        assert entry.balance == "round_robin" and entry.wait_for_ready is False
        assert entry.retry_policy == {
            "maxAttempts": 5, "initialBackoff": "0.25s", "maxBackoff": "1s",
            "backoffMultiplier": 2, "retryableStatusCodes": ["UNAVAILABLE", "ABORTED"]}
        copy = entry.copy()
        assert (copy.balance, copy.wait_for_ready, copy.retry_policy) == (
            entry.balance, entry.wait_for_ready, entry.retry_policy)
        assert not hasattr(Server("a", "127.0.0.1", 7), "balance")

    def test_balance_goes_in_the_service_config(self, recording_grpc):
        entry = Server("a", ["127.0.0.2", "127.0.0.3"], 7, balance="round_robin")
        entry.channel.close()
        (args, kwargs), = recording_grpc.opened
        assert args == ("ipv4:127.0.0.2:7,127.0.0.3:7",)
        options = dict(kwargs["options"])
        assert options["grpc.max_receive_message_length"] == MAX
        config = json.loads(options["grpc.service_config"])
        assert config == {"loadBalancingConfig": [{"round_robin": {}}]}
        assert "grpc.enable_retries" not in options

    def test_idempotent_calls_get_a_channel_that_retries(self, recording_grpc):
        entry = Server("a", "127.0.0.1", 7, timeout=3, wait_for_ready=True)
        with entry as stub:
            assert stub._sorvane_wait_for_ready is True
            retrying = stub._sorvane_retrying()
            assert stub._sorvane_retrying() is retrying is entry.idempotent_stub()
            assert retrying._sorvane_timeout == 3 and retrying._sorvane_wait_for_ready is True
            assert not hasattr(retrying, "_sorvane_retrying")
            assert len(recording_grpc.opened) == 2
            options = dict(recording_grpc.opened[1][1]["options"])
            assert options["grpc.enable_retries"] == 1
            (method,) = json.loads(options["grpc.service_config"])["methodConfig"]
            assert method["retryPolicy"]["retryableStatusCodes"] == ["UNAVAILABLE"]
            assert {"service": "common.CommonService"} in method["name"]
        with pytest.raises(ValueError):  # closed with the entry's own channel
            retrying.handle(request())
        assert entry._sorvane_retry_stub is None
        with entry as stub:
            assert stub._sorvane_retrying() is not retrying  # a new one after the close


class TestGrpcClient:
    def test_empty_tables(self):
        client = GrpcClient()
        assert list(vars(client).items()) == [("stubs", {}), ("server_address", {})]
        with pytest.raises(TypeError):
            GrpcClient(1)

    def test_documentation(self):
        assert inspect.getdoc(GrpcClient.load).splitlines() == [
            "load grpc server list", ":param servers: Server", ":return:"]
        assert inspect.getdoc(GrpcClient.connect).splitlines() == [
            "get server stub", ":param server:", ":return:"]
        assert GrpcClient.get_server.__doc__ is None
        assert [n for n in vars(GrpcClient) if not n.startswith("__")] == [
            "load", "connect", "get_server", "handle"]

    def test_load_registers_stub_and_entry(self, recording_grpc):
        client = GrpcClient()
        entry = Server("inventory", "127.0.0.1", 1)
        assert client.load([entry]) is None
        assert list(client.stubs) == ["inventory"]
        assert isinstance(client.stubs["inventory"], brindlow.CommonServiceStub)
        assert client.server_address == {"inventory": entry}
        assert client.server_address["inventory"] is entry
        assert entry._channel is None
        (args, kwargs), = recording_grpc.opened
        assert args == ("127.0.0.1:1",)
        assert ("grpc.max_receive_message_length", MAX) in kwargs["options"]

    def test_same_name_twice_keeps_the_second(self):
        client = GrpcClient()
        first, second = Server("s", "127.0.0.1", 1), Server("s", "127.0.0.1", 2)
        client.load((first, second))
        assert client.server_address == {"s": second}
        stub = client.stubs["s"]
        client.load(iter([first]))
        assert client.server_address["s"] is first
        assert client.stubs["s"] is not stub

    def test_load_empty_changes_nothing(self):
        client = GrpcClient()
        client.load([Server("s", "127.0.0.1", 1)])
        before = (dict(client.stubs), dict(client.server_address))
        client.load([])
        assert (client.stubs, client.server_address) == before

    def test_connect_and_get_server(self):
        client = GrpcClient()
        entry = Server("s", "127.0.0.1", 1)
        client.load([entry])
        assert client.connect("s") is client.stubs["s"]
        assert client.get_server("s") is entry
        assert client.connect("unknown") is None
        assert client.get_server("unknown") is None
        assert client.handle() is None

    def test_any_hashable_name(self):
        client = GrpcClient()
        client.load([Server(("east", 1), "127.0.0.1", 1)])
        assert client.connect(("east", 1)) is not None
        with pytest.raises(TypeError):
            client.connect(["unhashable"])

    def test_bad_input(self):
        client = GrpcClient()
        good = Server("good", "127.0.0.1", 1)

        class NoAddr:
            server = "bad"

        with pytest.raises(AttributeError):
            client.load([good, NoAddr()])
        assert list(client.stubs) == list(client.server_address) == ["good"]
        with pytest.raises(TypeError):
            client.load(5)
        with pytest.raises(TypeError):
            client.load()

    def test_tables_read_through_the_instance(self):
        client = GrpcClient()
        client.stubs = {"s": "replaced"}
        assert client.connect("s") == "replaced"


def test_shared_registry():
    assert type(corvex.grpc_client) is GrpcClient
