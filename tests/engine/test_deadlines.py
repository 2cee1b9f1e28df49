"""Timeouts of sorvane calls and deadlines that follow the work into the
calls a target makes, on the engine selected for the run."""
import time

import grpc
import pytest

import deadline_targets as targets
from client_support import StandInStub
from conftest import free_port
from sorvane import corvex, deadline
from sorvane.corvex import GrpcHelper, GrpcServer, Server, grpc_service

MODULE = "deadline_targets"


@pytest.fixture
def two_servers():
    """An outer and an inner server on 127.0.0.1, registered as
    "deadline-outer" and "deadline-inner"; both stopped afterwards."""
    servers = []
    entries = []
    for name in ("deadline-outer", "deadline-inner"):
        port = free_port()
        server = GrpcServer("127.0.0.1", port, max_workers=4)
        server.run_background()
        servers.append(server)
        entries.append(Server(name, "127.0.0.1", port))
    corvex.grpc_client.load(entries)
    targets.notes.clear()
    targets.wake.clear()
    yield
    targets.wake.set()  # the targets still sleeping return now
    for server in servers:
        server.rpc_server.stop(0).wait()
    for name in ("deadline-outer", "deadline-inner"):
        corvex.grpc_client.stubs.pop(name, None)
        entry = corvex.grpc_client.server_address.pop(name, None)
        if entry is not None:
            entry.channel.close()


def call(method, timeout=None, **kwargs):
    return GrpcHelper.call_rpc_result(corvex.grpc_client.connect("deadline-outer"), MODULE,
                                      method, kwargs=kwargs, timeout=timeout)


class TestTimeouts:
    def test_an_expired_call_raises_deadline_exceeded(self, two_servers):
        began = time.monotonic()
        with pytest.raises(grpc.RpcError) as caught:
            call("sleepy", timeout=0.3, seconds=3)
        assert caught.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
        assert time.monotonic() - began < 2

    def test_decorator_timeout(self, two_servers):
        def sleepy(seconds):
            pass

        sleepy.__module__ = MODULE
        sleepy.__qualname__ = "sleepy"
        stub = grpc_service("deadline-outer", timeout=0.3)(sleepy)
        with pytest.raises(grpc.RpcError) as caught:
            stub(3)
        assert caught.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
        assert grpc_service("deadline-outer", timeout=5)(sleepy)(0) == "slept"

    def test_server_default_and_call_timeout(self, port):
        targets.wake.clear()
        server = GrpcServer("127.0.0.1", port, max_workers=2)
        server.run_background()
        entry = Server("deadline-default", "127.0.0.1", port, timeout=0.3)
        try:
            assert entry.copy().timeout == 0.3
            corvex.grpc_client.load([entry])
            stub = corvex.grpc_client.connect("deadline-default")
            assert stub._sorvane_timeout == 0.3
            with pytest.raises(grpc.RpcError) as caught:
                GrpcHelper.call_rpc_result(stub, MODULE, "sleepy", kwargs={"seconds": 3})
            assert caught.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
            # A call's own timeout wins over the default.
            assert GrpcHelper.call_rpc_result(stub, MODULE, "sleepy", kwargs={"seconds": 0.5},
                                              timeout=5) == "slept"
        finally:
            targets.wake.set()
            corvex.grpc_client.stubs.pop("deadline-default", None)
            corvex.grpc_client.server_address.pop("deadline-default", None)
            entry.channel.close()
            server.rpc_server.stop(0).wait()

    @pytest.mark.parametrize("bad, error", [(0, ValueError), (-1, ValueError),
                                            (float("nan"), ValueError), ("1", TypeError)])
    def test_bad_server_default(self, bad, error):
        with pytest.raises(error):
            Server("x", "127.0.0.1", 1, timeout=bad)

    def test_no_timeout_passes_nothing_to_the_stub(self):
        stub = StandInStub(result=1)  # its handle takes no timeout
        assert GrpcHelper.call_rpc_result(stub, "m", "f") == 1


class TestPropagation:
    def test_nested_chain_ends_with_the_outer_deadline(self, two_servers):
        began = time.monotonic()
        with pytest.raises((grpc.RpcError, corvex.GrpcException)) as caught:
            call("relay", timeout=1.0, seconds=5)
        # The inner call carries the same deadline: its failure, relayed as the
        # outer call's result, may reach the client just before its own timer.
        if isinstance(caught.value, grpc.RpcError):
            assert caught.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
        else:
            assert "DEADLINE_EXCEEDED" in str(caught.value)
        # Without the deadline carried along, the chain would take 5 s; the
        # slack is for sanitized builds on a loaded machine.
        assert time.monotonic() - began < 2
        deadline_end = time.monotonic() + 2
        while not targets.notes and time.monotonic() < deadline_end:
            time.sleep(0.01)
        (what, code, seconds), = targets.notes
        assert (what, code) == ("inner failed", "DEADLINE_EXCEEDED")
        assert seconds < 2

    def test_threads_started_with_the_context_inherit_it(self, two_servers):
        with pytest.raises(grpc.RpcError):
            call("relay", timeout=0.8, seconds=5, in_thread=True)
        deadline_end = time.monotonic() + 2
        while not targets.notes and time.monotonic() < deadline_end:
            time.sleep(0.01)
        assert targets.notes[0][:2] == ("inner failed", "DEADLINE_EXCEEDED")
        assert targets.notes[0][2] < 2

    def test_time_left_as_the_target_sees_it(self, two_servers):
        left = call("left", timeout=5)
        assert 4 < left <= 5.1
        assert 4 < call("left_in_thread", timeout=5) <= 5.1
        assert call("left") is None  # no deadline given
        assert deadline.time_left() is None  # not serving here

    def test_a_call_with_no_time_left_is_not_sent(self):
        stub = StandInStub(result=1)
        token = deadline._deadline.set(time.monotonic() - 1)
        try:
            with pytest.raises(grpc.RpcError) as caught:
                GrpcHelper.call_rpc_result(stub, "m", "f", timeout=10)
        finally:
            deadline._deadline.reset(token)
        assert caught.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
        assert isinstance(caught.value, deadline.DeadlineExceeded)
        assert stub.requests == []

    def test_the_smaller_of_the_two_is_used(self):
        seen = []

        class Recording(StandInStub):
            def handle(self, request, timeout=None):
                seen.append(timeout)
                return super().handle(request)

        stub = Recording(result=1)
        token = deadline._deadline.set(time.monotonic() + 2)
        try:
            GrpcHelper.call_rpc(stub, "m", "f", timeout=10)
            GrpcHelper.call_rpc(stub, "m", "f", timeout=0.5)
            GrpcHelper.call_rpc(stub, "m", "f")
        finally:
            deadline._deadline.reset(token)
        assert 1.5 < seen[0] <= 2 and seen[1] == 0.5 and 1.5 < seen[2] <= 2
