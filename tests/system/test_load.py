"""Faults and load: many clients, malformed calls, cancelled and abandoned calls,
a server stopped or interrupted with calls in flight.

Every scenario ends by checking that the server (or a new one in the same
process) still answers normally, and is bounded in time: calls carry deadlines
and waits have timeouts, so a fault shows as a failure, not a hung run.
"""
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time

import grpc
import pytest

import brindlow
import marvetta
from sorvane import corvex

# A long run of the whole system: CI runs it once, on the default python3.
pytestmark = pytest.mark.system

HERE = __name__  # the dispatcher imports this module by name for the targets below
WAIT = 20  # seconds: the longest any single wait in these tests may take

# Blocking targets and what the tests watch them with.
gate = threading.Event()
entered = threading.Semaphore(0)
running = {"now": 0, "peak": 0}
_running_lock = threading.Lock()


def add(a, b):
    return a + b


def fail(message):
    raise ValueError(message)


def block(tag=None):
    """Waits for the gate, counting the calls inside at once."""
    with _running_lock:
        running["now"] += 1
        running["peak"] = max(running["peak"], running["now"])
    entered.release()
    try:
        gate.wait(WAIT)
        return tag
    finally:
        with _running_lock:
            running["now"] -= 1


@pytest.fixture(autouse=True)
def fresh_gate():
    gate.clear()
    while entered.acquire(blocking=False):
        pass
    running.update(now=0, peak=0)
    yield
    gate.set()  # nothing stays blocked after a test


class Served:
    """A GrpcServer on 127.0.0.1 and raw stubs on separate channels."""

    def __init__(self, port, max_workers=10, channels=1):
        self.server = corvex.GrpcServer("127.0.0.1", port, max_workers)
        self.server.run_background()
        self.target = "127.0.0.1:%d" % port
        self.channels = [grpc.insecure_channel(self.target) for _ in range(channels)]
        self.stubs = [brindlow.CommonServiceStub(c) for c in self.channels]

    def close(self):
        for channel in self.channels:
            channel.close()
        self.server.rpc_server.stop(0).wait(WAIT)


@pytest.fixture
def served(port):
    made = []

    def make(**options):
        made.append(Served(port, **options))
        return made[-1]

    yield make
    for s in made:
        s.close()


def request(method, *args, **kwargs):
    data = json.dumps({"clazz": HERE, "method": method, "args": list(args), "kwargs": kwargs})
    return marvetta.CommonRequest(request=data.encode(), request_id="load", serialize=3)


def answer(response):
    envelope = json.loads(response.response)
    return response.status, envelope["result"] if response.status == 0 else envelope["excType"]


def assert_answers_normally(stub):
    assert answer(stub.handle(request("add", 20, 22), timeout=WAIT)) == (0, 42)


def wait_entered(count):
    for _ in range(count):
        assert entered.acquire(timeout=WAIT), "a blocking call never reached its target"


# Malformed calls and the outcome each must have: ("rpc", code) for an RPC that
# fails with that status, ("envelope", excType) for a caught failure.
MALFORMED = [
    (b"\xff\xfe", ("rpc", grpc.StatusCode.UNKNOWN)),
    (b"{not json", ("rpc", grpc.StatusCode.UNKNOWN)),
    (b"[1, 2]", ("rpc", grpc.StatusCode.UNKNOWN)),
    (b'{"clazz": "no_such_module_for_load", "method": "f"}', ("rpc", grpc.StatusCode.UNKNOWN)),
    (b'{"clazz": "' + HERE.encode() + b'"}', ("rpc", grpc.StatusCode.UNKNOWN)),
    (b'{"clazz": "' + HERE.encode() + b'", "method": "add..x"}', ("rpc", grpc.StatusCode.UNKNOWN)),
    (request("fail", "bad").request, ("envelope", "ValueError")),
    (request("add", 1).request, ("envelope", "TypeError")),
    (request("add", 1, "x").request, ("envelope", "TypeError")),
    (b'{"clazz": "' + HERE.encode() + b'", "method": "add", "args": 7}', ("envelope", "TypeError")),
]


class TestManyClients:
    def test_64_clients_against_10_workers(self, served):
        """Half good calls, half malformed ones, from 64 threads for a bounded time."""
        s = served(max_workers=10, channels=8)
        stop_at = time.monotonic() + 8
        counts = {"good": 0, "rpc": 0, "envelope": 0}
        problems = []
        lock = threading.Lock()

        def client(seed):
            rng = random.Random(seed)
            stub = s.stubs[seed % len(s.stubs)]
            local = {"good": 0, "rpc": 0, "envelope": 0}
            try:
                while time.monotonic() < stop_at:
                    if rng.random() < 0.5:
                        a, b = rng.randint(-10 ** 9, 10 ** 9), rng.randint(-10 ** 9, 10 ** 9)
                        got = answer(stub.handle(request("add", a, b), timeout=WAIT))
                        if got != (0, a + b):
                            problems.append(("good", a, b, got))
                        local["good"] += 1
                        continue
                    data, (kind, expected) = rng.choice(MALFORMED)
                    try:
                        response = stub.handle(marvetta.CommonRequest(request=data), timeout=WAIT)
                    except grpc.RpcError as e:
                        got = ("rpc", e.code())
                    else:
                        got = ("envelope", answer(response)[1]) if response.status == -1 else (
                            "ok", response.response)
                    if got != (kind, expected):
                        problems.append((data, got))
                    local[kind] += 1
            except BaseException as e:  # reported by the test thread
                problems.append(("exception", repr(e)))
            with lock:
                for key in counts:
                    counts[key] += local[key]

        threads = [threading.Thread(target=client, args=(i,)) for i in range(64)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(WAIT + 10)
        assert not any(t.is_alive() for t in threads), "a client is stuck"
        print("64 clients: %(good)d good calls, %(rpc)d failed RPCs, %(envelope)d caught failures"
              % counts)
        assert problems == []
        assert counts["good"] > 640 and counts["rpc"] > 64 and counts["envelope"] > 64
        assert_answers_normally(s.stubs[0])


class TestAbandonedCalls:
    def test_client_cancels_mid_call(self, served):
        s = served(max_workers=2)
        future = s.stubs[0].handle.future(request("block", "cancelled"), timeout=WAIT)
        wait_entered(1)
        assert future.cancel()
        with pytest.raises(grpc.FutureCancelledError):
            future.result()
        assert_answers_normally(s.stubs[0])  # the other worker serves meanwhile
        gate.set()
        assert_answers_normally(s.stubs[0])

    def test_deadline_passes_mid_call(self, served):
        s = served(max_workers=2)
        with pytest.raises(grpc.RpcError) as info:
            s.stubs[0].handle(request("block", "late"), timeout=0.5)
        assert info.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
        wait_entered(1)
        gate.set()
        assert_answers_normally(s.stubs[0])

    def test_client_disconnects_mid_call(self, served):
        s = served(max_workers=2, channels=2)
        future = s.stubs[1].handle.future(request("block", "dropped"))
        wait_entered(1)
        s.channels[1].close()
        with pytest.raises(grpc.RpcError) as info:
            future.result(timeout=WAIT)
        assert info.value.code() == grpc.StatusCode.CANCELLED
        gate.set()
        assert_answers_normally(s.stubs[0])


class TestServerSide:
    def test_a_blocked_target_leaves_the_other_workers_serving(self, served):
        s = served(max_workers=3, channels=2)
        first = s.stubs[0].handle.future(request("block", 1), timeout=WAIT)
        wait_entered(1)
        for _ in range(5):  # one worker is held; the others serve
            assert_answers_normally(s.stubs[1])
        more = [s.stubs[1].handle.future(request("block", i), timeout=WAIT) for i in (2, 3, 4)]
        wait_entered(2)  # up to max_workers run at once ...
        assert not entered.acquire(timeout=0.5)  # ... and no more
        assert running["now"] == 3
        gate.set()
        answers = [answer(f.result(timeout=WAIT)) for f in [first] + more]
        assert answers == [(0, i) for i in (1, 2, 3, 4)]
        assert running["peak"] == 3
        assert_answers_normally(s.stubs[0])

    def test_stop_with_calls_in_flight(self, served, port):
        s = served(max_workers=4, channels=1)
        futures = [s.stubs[0].handle.future(request("block", i), timeout=WAIT) for i in range(6)]
        wait_entered(4)
        s.server.rpc_server.stop(0).wait(WAIT)
        for f in futures:
            with pytest.raises(grpc.RpcError) as info:
                f.result(timeout=WAIT)
            assert info.value.code() in (grpc.StatusCode.CANCELLED, grpc.StatusCode.UNAVAILABLE)
        gate.set()  # the targets still running finish into a stopped server
        deadline = time.monotonic() + WAIT
        while running["now"] and time.monotonic() < deadline:
            time.sleep(0.05)
        assert running["now"] == 0
        again = Served(port)  # the same address serves again, in the same process
        try:
            assert_answers_normally(again.stubs[0])
        finally:
            again.close()


# The child's server and the module it serves (a separate one: importing the
# script itself by name would run it a second time).
SERVER_SCRIPT = '''
import sys
from sorvane.corvex import GrpcServer

server = GrpcServer("127.0.0.1", int(sys.argv[1]), 4)
result = server.run_blocking()
print("run_blocking returned", result, flush=True)
'''
SERVED_MODULE = '''
import time

def slow(path, seconds):
    open(path, "a").close()
    time.sleep(seconds)
    return seconds

def quick():
    return "quick"
'''


class TestInterrupt:
    def test_run_blocking_interrupted_with_calls_in_flight(self, tmp_path, port):
        (tmp_path / "interrupted_server.py").write_text(SERVER_SCRIPT)
        (tmp_path / "interrupted_targets.py").write_text(SERVED_MODULE)
        path = [str(tmp_path), os.environ.get("PYTHONPATH")]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, path)))
        script = str(tmp_path / "interrupted_server.py")
        child = subprocess.Popen([sys.executable, script, str(port)], env=env, cwd=str(tmp_path),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        channel = grpc.insecure_channel("127.0.0.1:%d" % port)
        try:
            grpc.channel_ready_future(channel).result(timeout=WAIT)
            stub = brindlow.CommonServiceStub(channel)
            call = {"clazz": "interrupted_targets", "method": "quick"}
            response = stub.handle(marvetta.CommonRequest(request=json.dumps(call).encode()),
                                   timeout=WAIT)
            assert answer(response) == (0, "quick")
            marks = [str(tmp_path / ("mark%d" % i)) for i in range(3)]
            futures = [stub.handle.future(marvetta.CommonRequest(request=json.dumps(
                {"clazz": "interrupted_targets", "method": "slow", "args": [m, 2]}).encode()),
                timeout=WAIT) for m in marks]
            deadline = time.monotonic() + WAIT
            while not all(os.path.exists(m) for m in marks) and time.monotonic() < deadline:
                time.sleep(0.05)
            assert all(os.path.exists(m) for m in marks), "the slow calls never started"
            child.send_signal(signal.SIGINT)
            for f in futures:
                with pytest.raises(grpc.RpcError) as info:
                    f.result(timeout=WAIT)
                assert info.value.code() in (grpc.StatusCode.CANCELLED, grpc.StatusCode.UNAVAILABLE)
            out, err = child.communicate(timeout=WAIT)
        finally:
            channel.close()
            if child.poll() is None:
                child.kill()
                child.communicate()
        assert child.returncode == 0, err.decode(errors="replace")
        assert out.decode().strip() == "run_blocking returned None"
        assert b"Traceback" not in err, err.decode(errors="replace")


BULK_MODULE = '''
import time

def size(text):
    return len(text)

def hold(seconds):
    time.sleep(seconds)
    return seconds
'''


class TestLargeRequests:
    def test_a_burst_waiting_for_workers_is_bounded_and_memory_returns(self, tmp_path, port):
        """16 requests of 6 MiB behind two busy workers: past 32 MiB waiting
        they are refused, and once the burst is over the server's resident
        memory is back near where it started."""
        from processes import ServeProcess, rss
        (tmp_path / "bulk.py").write_text(BULK_MODULE)
        server = ServeProcess(["bulk", "--port", str(port), "--workers", "2",
                               "--max-queued-bytes", str(32 << 20)], tmp_path)
        channel = None
        try:
            address = server.wait_started()[0]
            channel = grpc.insecure_channel(address, options=[
                ("grpc.max_send_message_length", -1)])
            stub = brindlow.CommonServiceStub(channel)
            call = {"clazz": "bulk", "method": "size", "args": ["warm"]}
            assert answer(stub.handle(marvetta.CommonRequest(request=json.dumps(call).encode()),
                                      timeout=WAIT)) == (0, 4)
            base = rss(server.proc.pid)
            busy = [stub.handle.future(marvetta.CommonRequest(request=json.dumps(
                {"clazz": "bulk", "method": "hold", "args": [2]}).encode()), timeout=WAIT)
                for _ in range(2)]
            time.sleep(0.3)
            big = marvetta.CommonRequest(request=json.dumps(
                {"clazz": "bulk", "method": "size", "args": ["x" * (6 << 20)]}).encode())
            burst = [stub.handle.future(big, timeout=WAIT) for _ in range(16)]
            outcomes = []
            for f in burst:
                try:
                    outcomes.append(answer(f.result()))
                except grpc.RpcError as e:
                    outcomes.append(e.code())
            assert [answer(f.result()) for f in busy] == [(0, 2), (0, 2)]
            assert (0, 6 << 20) in outcomes, outcomes
            assert grpc.StatusCode.RESOURCE_EXHAUSTED in outcomes, outcomes
            assert set(outcomes) <= {(0, 6 << 20), grpc.StatusCode.RESOURCE_EXHAUSTED}
            deadline = time.monotonic() + WAIT
            while rss(server.proc.pid) - base > 48 << 20 and time.monotonic() < deadline:
                time.sleep(0.1)
            assert rss(server.proc.pid) - base <= 48 << 20, (base, rss(server.proc.pid))
        finally:
            if channel is not None:
                channel.close()
            assert server.stop(timeout=30) == 0, server.output
