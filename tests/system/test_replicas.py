"""Several servers behind one registry entry: three replicas on 127.0.0.2,
127.0.0.3 and 127.0.0.4 (all loopback), each a ``serve`` child on the same
port, called through gRPC's balancing policies; replicas killed, drained and
started again under load; a dns:/// target on the command line; the
per-function header as a server receives it. (How calls spread under each
policy is test_balancing.py's.)
The servers and the client run on the suite's engine."""
import collections
import glob
import os
import signal
import socket
import threading
import time
from concurrent import futures

import grpc
import pytest

import marvetta
from sorvane import engine
from sorvane.corvex import GrpcHelper, Server

from conftest import free_port
from processes import ServeProcess, run_cli, write_targets

# Three server processes per test, started and killed while calls run: a
# long system run, made once per engine.
pytestmark = pytest.mark.system

HOSTS = ("127.0.0.2", "127.0.0.3", "127.0.0.4")


def common_port():
    """A port free on every replica's address."""
    for _ in range(100):
        with socket.socket() as s:
            s.bind((HOSTS[0], 0))
            port = s.getsockname()[1]
        try:
            for host in HOSTS[1:]:
                with socket.socket() as s:
                    s.bind((host, port))
            return port
        except OSError:
            continue
    pytest.skip("no port free on all of %s" % ", ".join(HOSTS))


class Replicas:
    """Three ``serve`` children of targets.py, one per address."""

    def __init__(self, folder):
        self.folder = folder
        self.port = common_port()
        self.procs = [None] * len(HOSTS)

    def start(self, *indexes):
        for i in indexes:
            self.procs[i] = ServeProcess(
                ["targets", "--host", HOSTS[i], "--port", str(self.port), "--workers", "8"],
                self.folder)
        for i in indexes:
            self.procs[i].wait_started()

    def stop(self, i, sig):
        return self.procs[i].stop(sig)

    def close(self):
        for proc in self.procs:
            if proc is not None:
                proc.close()

    def runs(self):
        """How many times each key ran, over every replica."""
        counts = collections.Counter()
        for path in glob.glob(os.path.join(str(self.folder), "*.runs")):
            with open(path) as f:
                counts.update(line.strip() for line in f)
        return counts

    def entry(self, **settings):
        return Server("replicas", list(HOSTS), self.port, **settings)


@pytest.fixture
def replicas(tmp_path):
    write_targets(tmp_path)
    group = Replicas(tmp_path)
    group.start(0, 1, 2)
    yield group
    group.close()


def pid_of(stub, **marks):
    return GrpcHelper.call_rpc_result(stub, "targets", "pid", timeout=10, **marks)


def until_spread(stub, count, seconds=10.0):
    """Calls until `count` replicas answered (round_robin connects to all of
    them, the first calls may find only some ready); the pids seen."""
    seen = set()
    deadline = time.monotonic() + seconds
    while len(seen) < count and time.monotonic() < deadline:
        seen.add(pid_of(stub, wait_for_ready=True))
    assert len(seen) == count, seen
    return seen


def under_load(stub, folder, action, seconds=2.5, threads=4, **marks):
    """Calls targets.mark from `threads` threads for `seconds` while
    `action` runs once (after 0.7 s); the keys of calls that succeeded and
    the codes of those that failed."""
    done, failed = [], []
    stop = threading.Event()

    def caller(n):
        i = 0
        while not stop.is_set():
            key = "%d-%d" % (n, i)
            i += 1
            try:
                GrpcHelper.call_rpc_result(stub, "targets", "mark", args=[str(folder), key, 0.02],
                                           timeout=15, **marks)
                done.append(key)
            except grpc.RpcError as error:
                failed.append((key, error.code()))

    with futures.ThreadPoolExecutor(threads) as pool:
        running = [pool.submit(caller, n) for n in range(threads)]
        time.sleep(0.7)
        action()
        time.sleep(seconds - 0.7)
        stop.set()
        for f in running:
            f.result()
    return done, failed


def test_idempotent_calls_survive_a_killed_replica_which_gets_calls_again(replicas):
    entry = replicas.entry(balance="round_robin", wait_for_ready=True)
    with entry as stub:
        until_spread(stub, 3)
        done, failed = under_load(stub, replicas.folder,
                                  lambda: replicas.stop(0, signal.SIGKILL), idempotent=True)
        assert failed == [] and len(done) > 20
        runs = replicas.runs()
        assert all(runs[key] >= 1 for key in done)
        replicas.start(0)
        until_spread(stub, 3, seconds=15)  # the new process answers too


def test_unmarked_calls_never_run_twice(replicas):
    with replicas.entry(balance="round_robin", wait_for_ready=True) as stub:
        until_spread(stub, 3)
        done, failed = under_load(stub, replicas.folder,
                                  lambda: replicas.stop(1, signal.SIGKILL))
    runs = replicas.runs()
    assert max(runs.values()) == 1, [k for k, n in runs.items() if n > 1]
    assert all(runs[key] == 1 for key in done)
    assert {code for _, code in failed} <= {grpc.StatusCode.UNAVAILABLE}


def test_a_draining_replica_fails_no_call_and_the_rest_take_over(replicas):
    with replicas.entry(balance="round_robin") as stub:
        pids = until_spread(stub, 3)
        drained = []
        stopper = threading.Thread(target=lambda: drained.append(replicas.stop(2, signal.SIGTERM)))
        done, failed = under_load(stub, replicas.folder, stopper.start)
        stopper.join(30)
        assert drained == [0] and len(done) > 20
        # grpcio's server cancels a call that reaches it once its stop has
        # begun, before the client saw the GOAWAY: it never ran, and the
        # client may send it again. The native server takes it and runs it.
        runs = replicas.runs()
        if engine.current() == "grpcio":
            failed = [(key, code) for key, code in failed
                      if code != grpc.StatusCode.CANCELLED or runs[key]]
        assert failed == []
        assert "stopping" in replicas.procs[2].output
        after = {pid_of(stub) for _ in range(12)}
        assert len(after) == 2 and after < pids


def test_dns_targets_and_the_command_line(tmp_path):
    write_targets(tmp_path)
    port = free_port()
    server = ServeProcess(["targets", "--port", str(port)], tmp_path)
    try:
        server.wait_started()
        done = run_cli(["call", "dns:///localhost:%d" % port, "targets:add", "2", "3",
                        "--balance", "round_robin", "--wait-for-ready", "--idempotent",
                        "--timeout", "10"], tmp_path)
        assert (done.returncode, done.stdout) == (0, "5\n"), done.stderr
        done = run_cli(["health", "ipv4:127.0.0.1:%d" % port, "--balance", "round_robin"],
                       tmp_path)
        assert (done.returncode, done.stdout) == (0, "SERVING\n"), done.stderr
    finally:
        server.stop()


def test_each_call_names_its_target_in_its_metadata():
    seen = []

    def handle(request, context):
        seen.append([value for key, value in context.invocation_metadata()
                     if key == "sorvane-target"])
        return marvetta.CommonResponse(status=0, response=b'{"status": 0, "result": 1}')

    handler = grpc.method_handlers_generic_handler("common.CommonService", {
        "handle": grpc.unary_unary_rpc_method_handler(
            handle, request_deserializer=marvetta.CommonRequest.FromString,
            response_serializer=marvetta.CommonResponse.SerializeToString)})
    server = grpc.server(futures.ThreadPoolExecutor(2), handlers=[handler])
    port = server.add_insecure_port("127.0.0.1:0")
    server.start()
    try:
        with Server("header", "127.0.0.1", port, timeout=10) as stub:
            GrpcHelper.call_rpc_result(stub, "calc", "Greeter.hello")
            GrpcHelper.call_rpc_result(stub, "caf\u00e9", "f", idempotent=True)
    finally:
        server.stop(0).wait()
    assert seen == [["calc:Greeter.hello"], ["caf%C3%A9:f"]]
