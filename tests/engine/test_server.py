"""GrpcServer: construction, the clazz handler, run_background with its options
and log line, the message-size limit, admission (what calls hold before a
worker runs them), run_blocking/run ended by a keyboard interrupt (in process
and by SIGINT in a subprocess) or, on another thread, by the server's stop, and
a process whose main thread returns while it serves."""
import inspect
import json
import os
import platform
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types

import grpc
import pytest

import brindlow
import h2frames as h
import targets_server
from locations import SUPPORT
from processes import Background
from server_support import collecting, envelope_bytes, request, serving
from sorvane import admission, corvex, engine, ops

try:  # the sanitized build preloads ASan, whose allocator replaces glibc's malloc
    with open("/proc/self/maps") as _maps:
        ASAN = "libasan" in _maps.read()
except OSError:
    ASAN = False

DOC = ("\n        grpc server\n        Args:\n            host: address\n"
       "            port: Port number\n            max_workers: Number of worker threads\n"
       "            max_message_length: Can be set according to specific needs, "
       "set to 256 M here\n        ")


def add_call(stub, a=1, b=2, timeout=30):
    reply = stub.handle(request({"clazz": "targets_server", "method": "add", "args": [a, b]}),
                        timeout=timeout)
    return json.loads(reply.response)["result"]


def unreachable(port):
    channel = grpc.insecure_channel("127.0.0.1:%d" % port)
    try:
        with pytest.raises(grpc.RpcError) as info:
            add_call(brindlow.CommonServiceStub(channel), timeout=2)
        return info.value.code() in (grpc.StatusCode.UNAVAILABLE,
                                     grpc.StatusCode.DEADLINE_EXCEEDED)
    finally:
        channel.close()


class TestConstruction:
    def test_defaults(self):
        server = corvex.GrpcServer()
        assert list(vars(server)) == ["address", "max_workers", "service", "rpc_server",
                                      "max_message_length"]
        assert server.address == "0.0.0.0:6565"
        assert server.max_workers == 10
        assert server.max_message_length == 268435456
        assert server.rpc_server is None
        assert type(server.service) is corvex.CommonService

    @pytest.mark.parametrize("args, kwargs", [
        (("127.0.0.1", 7000), {}), (("127.0.0.1", "7000"), {}),
        ((), {"host": "127.0.0.1", "port": 7000}), (("127.0.0.1",), {"port": "7000"}),
    ])
    def test_address(self, args, kwargs):
        assert corvex.GrpcServer(*args, **kwargs).address == "127.0.0.1:7000"

    def test_admission_settings(self):
        server = corvex.GrpcServer(max_queued_calls=0, max_queued_bytes=1 << 20,
                                   request_wait=2)
        assert (server.max_queued_calls, server.max_queued_bytes, server.request_wait) == (
            0, 1 << 20, 2.0)
        assert "max_queued_calls" not in vars(corvex.GrpcServer(max_queued_calls=None))
        for bad, error in [({"max_queued_calls": -1}, ValueError),
                           ({"max_queued_bytes": True}, TypeError),
                           ({"max_queued_calls": 2.0}, TypeError),
                           ({"request_wait": 0}, ValueError),
                           ({"request_wait": "5"}, TypeError)]:
            with pytest.raises(error):
                corvex.GrpcServer(**bad)
        with pytest.raises(TypeError, match="positional"):
            corvex.GrpcServer("h", 1, 2, 3, None, None, None, 5)

    def test_values_are_stored_unchanged(self):
        server = corvex.GrpcServer("h", 1, "many", None)
        assert (server.max_workers, server.max_message_length) == ("many", None)

    @pytest.mark.parametrize("host", [None, b"127.0.0.1", 5])
    def test_host_must_be_text(self, host):
        server = corvex.GrpcServer.__new__(corvex.GrpcServer)
        with pytest.raises(TypeError):
            server.__init__(host)
        assert vars(server) == {}

    def test_argument_errors(self):
        with pytest.raises(TypeError):
            corvex.GrpcServer("a", 1, 2, 3, 4)
        with pytest.raises(TypeError):
            corvex.GrpcServer(address="a")

    def test_class_shape(self):
        cls = corvex.GrpcServer
        assert cls.__bases__ == (object,) and type(cls) is type
        assert cls.__doc__ is None
        assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == [
            "__init__", "set_clazz_handler", "run", "run_background", "run_blocking"]
        assert cls.__init__.__doc__ == DOC
        assert str(inspect.signature(cls)) == (
            "(host='0.0.0.0', port=6565, max_workers=10, max_message_length=268435456, *, "
            "tls=None, token=None, metrics_port=None, max_queued_calls=None, "
            "max_queued_bytes=None, request_wait=None)")
        for name in ("run", "run_background", "run_blocking"):
            assert str(inspect.signature(getattr(cls, name))) == "(self)"
        assert str(inspect.signature(cls.set_clazz_handler)) == "(self, func)"

    def test_each_server_has_its_own_dispatcher(self):
        a, b = corvex.GrpcServer(), corvex.GrpcServer()
        assert a.service is not b.service
        a.set_clazz_handler(str.upper)
        assert a.service.clazz_handler is str.upper
        assert "clazz_handler" not in vars(b.service)

    def test_dispatcher_class_is_looked_up_per_call(self, monkeypatch):
        class Other:
            pass

        monkeypatch.setattr(corvex, "CommonService", Other)
        assert type(corvex.GrpcServer().service) is Other


class TestSetClazzHandler:
    @pytest.mark.parametrize("func", [None, "text", 5, 2.5, ["a"]])
    def test_not_callable_is_ignored(self, func):
        server = corvex.GrpcServer()
        assert server.set_clazz_handler(func) is None
        assert "clazz_handler" not in vars(server.service)

    @pytest.mark.parametrize("func", [len, str, lambda c: c, print, corvex.CommonService])
    def test_callable_is_installed(self, func):
        server = corvex.GrpcServer()
        assert server.set_clazz_handler(func=func) is None
        assert vars(server.service)["clazz_handler"] is func

    def test_installs_on_the_current_service(self):
        server = corvex.GrpcServer()
        replacement = corvex.CommonService()
        server.service = replacement
        server.set_clazz_handler(len)
        assert replacement.clazz_handler is len

    def test_none_keeps_the_previous_handler(self):
        server = corvex.GrpcServer()
        server.set_clazz_handler(len)
        server.set_clazz_handler(None)
        assert server.service.clazz_handler is len


class TestRunBackground:
    def test_starts_serves_and_logs(self, port):
        with collecting("sorvane.corvex", 20) as lines:
            server = corvex.GrpcServer("127.0.0.1", port)
            try:
                assert server.run_background() is None
                assert lines == ["grpc server running, listen on 127.0.0.1:%d" % port]
                assert server.rpc_server is not None
                channel = grpc.insecure_channel("127.0.0.1:%d" % port)
                assert add_call(brindlow.CommonServiceStub(channel), 5, 6) == 11
                channel.close()
            finally:
                server.rpc_server.stop(0).wait()

    def test_builds_from_current_attributes(self, port, monkeypatch):
        built = {}
        real_futures, real_transport = corvex.futures, corvex.transport

        def pool(**kwargs):
            built["pool"] = kwargs
            return real_futures.ThreadPoolExecutor(**kwargs)

        def server_factory(executor, **kwargs):
            built["server"] = (type(executor).__name__, kwargs)
            return real_transport.server(executor, **kwargs)

        monkeypatch.setattr(corvex, "futures", types.SimpleNamespace(ThreadPoolExecutor=pool))
        monkeypatch.setattr(corvex, "transport", types.SimpleNamespace(server=server_factory))
        server = corvex.GrpcServer("127.0.0.1", port, max_queued_bytes=1 << 20)
        server.max_workers = 3
        server.max_message_length = 4321
        server.max_queued_calls = 7
        server.run_background()
        try:
            assert built["pool"] == {"max_workers": 3}
            assert built["server"] == ("ThreadPoolExecutor", {"options": [
                ("grpc.max_send_message_length", 4321),
                ("grpc.max_receive_message_length", 4321),
                ("sorvane.max_queued_bytes", 1 << 20),
                ("sorvane.request_wait_ms", 30000),
                ("sorvane.priority_methods", "/grpc.health.v1.Health/Check")],
                "maximum_concurrent_rpcs": 3 + 7})
        finally:
            server.rpc_server.stop(0).wait()

    def test_twice_leaves_the_first_running(self, port):
        from conftest import free_port
        second_port = free_port()
        server = corvex.GrpcServer("127.0.0.1", port)
        server.run_background()
        first = server.rpc_server
        try:
            server.address = "127.0.0.1:%d" % second_port
            server.run_background()
            assert server.rpc_server is not first
            for p in (port, second_port):
                channel = grpc.insecure_channel("127.0.0.1:%d" % p)
                assert add_call(brindlow.CommonServiceStub(channel)) == 3
                channel.close()
        finally:
            first.stop(0).wait()
            server.rpc_server.stop(0).wait()

    def test_failure_keeps_the_unstarted_server(self, port, monkeypatch):
        def refuse(servicer, server):
            raise RuntimeError("registration refused")

        monkeypatch.setattr(corvex, "brindlow", types.SimpleNamespace(
            add_CommonServiceServicer_to_server=refuse))
        server = corvex.GrpcServer("127.0.0.1", port)
        with pytest.raises(RuntimeError, match="registration refused"):
            server.run_background()
        assert server.rpc_server is not None
        server.rpc_server.stop(0)

    def test_message_size_limit(self, port):
        targets_server.calls["count"] = 0
        with serving(port, max_message_length=1024) as (_, stub):
            small = request({"clazz": "targets_server", "method": "count"})
            assert json.loads(stub.handle(small, timeout=30).response)["result"] == 1
            big = request({"clazz": "targets_server", "method": "count", "pad": "x" * 1100})
            assert big.ByteSize() > 1024
            with pytest.raises(grpc.RpcError) as info:
                stub.handle(big, timeout=30)
            assert info.value.code() == grpc.StatusCode.RESOURCE_EXHAUSTED
            assert targets_server.calls["count"] == 1  # never reached the dispatcher
            reply_too_big = request({"clazz": "targets_server", "method": "blob",
                                     "args": [1100]})
            with pytest.raises(grpc.RpcError) as info:
                stub.handle(reply_too_big, timeout=30)
            assert info.value.code() == grpc.StatusCode.RESOURCE_EXHAUSTED
            assert json.loads(stub.handle(small, timeout=30).response)["result"] == 2


_wall_clock = time.time


class FakeTime:
    """time.sleep that raises `error` on its `after`-th call."""

    def __init__(self, after=3, error=KeyboardInterrupt):
        self.slept = []
        self.after = after
        self.error = error

    def time(self):
        return _wall_clock()

    def sleep(self, seconds):
        self.slept.append(seconds)
        if len(self.slept) == self.after:
            raise self.error()


class TestRunBlocking:
    @pytest.mark.parametrize("entry", ["run_blocking", "run"])
    def test_keyboard_interrupt_stops_and_returns(self, port, monkeypatch, entry):
        fake = FakeTime()
        monkeypatch.setattr(corvex, "time", fake)
        server = corvex.GrpcServer("127.0.0.1", port)
        with collecting("sorvane.corvex", 1) as lines:
            assert getattr(server, entry)() is None
        assert fake.slept == [86400] * 3
        assert lines == ["grpc server running, listen on 127.0.0.1:%d" % port]
        assert sys.exc_info() == (None, None, None)
        assert unreachable(port)

    def test_other_exceptions_propagate_and_keep_serving(self, port, monkeypatch):
        monkeypatch.setattr(corvex, "time", FakeTime(after=2, error=OSError))
        server = corvex.GrpcServer("127.0.0.1", port)
        try:
            with pytest.raises(OSError):
                server.run_blocking()
            channel = grpc.insecure_channel("127.0.0.1:%d" % port)
            assert add_call(brindlow.CommonServiceStub(channel)) == 3
            channel.close()
        finally:
            server.rpc_server.stop(0).wait()

    def test_interrupt_during_start_propagates(self, monkeypatch):
        class Failing(corvex.GrpcServer):
            def run_background(self):
                raise KeyboardInterrupt

        monkeypatch.setattr(corvex, "time", FakeTime())
        with pytest.raises(KeyboardInterrupt):
            Failing().run_blocking()
        assert corvex.time.slept == []

    def test_run_uses_the_instance_method(self):
        class Custom(corvex.GrpcServer):
            def run_blocking(self):
                self.called = True
                return "ignored"

        server = Custom()
        assert server.run() is None
        assert server.called

    def test_stop_failure_is_chained_to_the_interrupt(self, monkeypatch):
        class NoStop(corvex.GrpcServer):
            def run_background(self):
                self.rpc_server = types.SimpleNamespace(stop=self.stop)

            def stop(self, grace):
                assert isinstance(sys.exc_info()[1], KeyboardInterrupt)
                raise ValueError(grace)

        monkeypatch.setattr(corvex, "time", FakeTime(after=1))
        with pytest.raises(ValueError) as info:
            NoStop().run_blocking()
        assert info.value.args == (0,)
        assert isinstance(info.value.__context__, KeyboardInterrupt)

    def test_on_another_thread_returns_once_the_server_stops(self, port):
        server = corvex.GrpcServer("127.0.0.1", port)
        returned = []
        thread = threading.Thread(target=lambda: returned.append(server.run_blocking()),
                                  daemon=True)
        thread.start()
        channel = grpc.insecure_channel("127.0.0.1:%d" % port)
        try:
            stub = brindlow.CommonServiceStub(channel)
            reply = stub.handle(request({"clazz": "targets_server", "method": "add",
                                         "args": [1, 2]}), timeout=30, wait_for_ready=True)
            assert json.loads(reply.response)["result"] == 3
        finally:
            channel.close()
        assert thread.is_alive()
        server.rpc_server.stop(0)
        thread.join(10)
        assert not thread.is_alive() and returned == [None]
        assert unreachable(port)

    @pytest.mark.skipif(sys.platform == "win32", reason="SIGINT delivery is POSIX here")
    def test_sigint_in_a_subprocess(self, port):
        # The child announces each sleep of the loop, so that the interrupt is
        # sent once the loop runs (an interrupt during run_background would
        # rightly propagate).
        script = textwrap.dedent("""
            import faulthandler, logging, signal, sys, time, types
            faulthandler.register(signal.SIGUSR1, all_threads=True)  # the test's view of a hang
            logging.basicConfig(stream=sys.stdout, level=logging.INFO, format="%(message)s")
            from sorvane import corvex

            def sleep(seconds):
                print("sleeping", seconds, flush=True)
                # In short steps: an interrupt landing between the print and
                # a long sleep's start would only be seen when it ends.
                end = time.monotonic() + seconds
                while time.monotonic() < end:
                    time.sleep(0.05)

            corvex.time = types.SimpleNamespace(time=time.time, sleep=sleep)
            result = corvex.GrpcServer("127.0.0.1", {port}).run_blocking()
            print("returned", repr(result), flush=True)
        """).format(port=port)
        env = dict(os.environ, PYTHONPATH=SUPPORT + os.pathsep + os.environ.get(
            "PYTHONPATH", ""))
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=env, text=True)
        try:
            assert child.stdout.readline() == "grpc server running, listen on 127.0.0.1:%d\n" % port
            assert child.stdout.readline() == "sleeping 86400\n"
            channel = grpc.insecure_channel("127.0.0.1:%d" % port)
            assert add_call(brindlow.CommonServiceStub(channel), 2, 2) == 4
            channel.close()
            child.send_signal(signal.SIGINT)
            try:
                out, err = child.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                child.send_signal(signal.SIGUSR1)  # every thread's stack to stderr
                time.sleep(1)
                child.kill()
                out, err = child.communicate()
                raise AssertionError("no exit 30 s after SIGINT; the child's threads:\n" + err)
        finally:
            if child.poll() is None:
                child.kill()
                child.communicate()
        assert child.returncode == 0, err
        assert out == "returned None\n"
        assert "Traceback" not in err
        assert unreachable(port)


# A server process whose main thread returns once the file `go` exists, its
# server started by run_background on the main thread or by run_blocking on a
# daemon or an ordinary thread; an optional exit grace in seconds.
EXITING_SERVER = '''
import logging, os, sys, threading, time
logging.basicConfig(stream=sys.stderr, level=logging.INFO, format="%(message)s")
from sorvane.corvex import GrpcServer

port, how, go = int(sys.argv[1]), sys.argv[2], sys.argv[3]
if len(sys.argv) > 4:
    from sorvane import process_exit
    process_exit.EXIT_GRACE = float(sys.argv[4])
server = GrpcServer("127.0.0.1", port, 4)
if how == "main":
    server.run_background()
else:
    threading.Thread(target=server.run_blocking, daemon=how == "daemon").start()
deadline = time.monotonic() + 60
while not os.path.exists(go) and time.monotonic() < deadline:
    time.sleep(0.01)
print("main returns", file=sys.stderr, flush=True)
'''
# Its target: files PATH.start and PATH.end mark the start and the end of a call.
EXIT_TARGETS = '''
import time

def work(path, seconds):
    open(path + ".start", "w").close()
    time.sleep(seconds)
    open(path + ".end", "w").close()
    return seconds
'''


class TestMainThreadReturns:
    """A process whose main thread returns while its GrpcServer serves, on
    either engine: the calls in flight are answered (within the exit grace,
    cancelled after it), calls arriving later are refused with UNAVAILABLE
    before they run, and the process ends once its handlers have returned."""

    WAIT = 20

    def start(self, tmp_path, port, how, *grace):
        (tmp_path / "exiting_server.py").write_text(EXITING_SERVER)
        (tmp_path / "exit_targets.py").write_text(EXIT_TARGETS)
        go = tmp_path / "go"
        child = Background([sys.executable, str(tmp_path / "exiting_server.py"), str(port), how,
                            str(go)] + [str(g) for g in grace], tmp_path)
        child.wait_for("grpc server running")
        return child, go

    def work(self, stub, path, seconds, timeout):
        description = {"clazz": "exit_targets", "method": "work", "args": [str(path), seconds]}
        return stub.handle.future(request(description), timeout=timeout)

    @staticmethod
    def ran(path):
        return os.path.exists(str(path) + ".start")

    @staticmethod
    def wait_for_files(paths, suffix):
        deadline = time.monotonic() + 30
        while not all(os.path.exists(str(p) + suffix) for p in paths):
            assert time.monotonic() < deadline, "the calls never started"
            time.sleep(0.01)

    @pytest.mark.parametrize("how", ["main", "daemon", "thread"])
    def test_calls_in_flight_are_answered_and_later_ones_refused(self, tmp_path, port, how):
        child, go = self.start(tmp_path, port, how)
        channel = engine.transport().insecure_channel("127.0.0.1:%d" % port)
        try:
            stub = brindlow.CommonServiceStub(channel)
            flight = [tmp_path / ("flight%d" % i) for i in range(3)]
            answers = [self.work(stub, path, 1.0, self.WAIT) for path in flight]
            self.wait_for_files(flight, ".start")
            go.touch()
            child.wait_for("main returns")
            # Calls keep coming while the process exits; the first ones may
            # still be taken, the rest must be refused.
            late = []
            while child.proc.poll() is None and len(late) < 400:
                path = tmp_path / ("late%d" % len(late))
                late.append((path, self.work(stub, path, 0.1, 8)))
                time.sleep(0.02)
            assert [a.result(self.WAIT).response for a in answers] == [
                envelope_bytes(1.0)] * 3
            answered = time.monotonic()
            assert child.proc.wait(self.WAIT) == 0, child.output
            assert time.monotonic() - answered < 10
            # grpc core refuses a call that reaches it in the instant its stop
            # begins with CANCELLED instead; that one has not run either.
            refusals = {grpc.StatusCode.UNAVAILABLE}
            if engine.current() == "grpcio":
                refusals.add(grpc.StatusCode.CANCELLED)
            refused = 0
            for path, answer in late:
                try:
                    assert answer.result(self.WAIT).response == envelope_bytes(0.1)
                    assert self.ran(path)
                except grpc.RpcError as error:
                    assert error.code() in refusals, error
                    assert not self.ran(path), "a refused call ran"
                    refused += 1
            assert refused > 0
            assert "Traceback" not in child.output, child.output
        finally:
            channel.close()
            child.close()

    def test_calls_longer_than_the_grace_are_cancelled_then_waited_for(self, tmp_path, port):
        child, go = self.start(tmp_path, port, "main", 0.5)
        channel = engine.transport().insecure_channel("127.0.0.1:%d" % port)
        try:
            stub = brindlow.CommonServiceStub(channel)
            short, long = tmp_path / "short", tmp_path / "long"
            answers = [self.work(stub, short, 0.2, self.WAIT), self.work(stub, long, 3.0, self.WAIT)]
            self.wait_for_files([short, long], ".start")
            go.touch()
            assert answers[0].result(self.WAIT).response == envelope_bytes(0.2)
            with pytest.raises(grpc.RpcError) as info:
                answers[1].result(self.WAIT)
            assert info.value.code() in (grpc.StatusCode.CANCELLED, grpc.StatusCode.UNAVAILABLE)
            assert not os.path.exists(str(long) + ".end")  # ended by the grace, not the handler
            # The process waits for the handler still running, then ends.
            assert child.proc.wait(self.WAIT) == 0, child.output
            assert os.path.exists(str(long) + ".end")
            assert time.time() - os.path.getmtime(str(long) + ".end") < 10
            assert "Traceback" not in child.output, child.output
        finally:
            channel.close()
            child.close()
# ---- admission ------------------------------------------------------------------

HERE = __name__  # the dispatcher imports this module by name for the targets below
WAIT = 10
gate = threading.Event()
entered = threading.Semaphore(0)


def block():
    entered.release()
    gate.wait(WAIT)
    return "released"


def size(text):
    return len(text)


def call(stub, method, *args, timeout=WAIT):
    reply = stub.handle(request({"clazz": HERE, "method": method, "args": list(args)}),
                        timeout=timeout)
    return json.loads(reply.response)["result"]


def health(port, timeout):
    channel = grpc.insecure_channel("127.0.0.1:%d" % port)
    try:
        check = channel.unary_unary(ops.CHECK_METHOD)
        return ops.decode_health_response(check(ops.encode_health_request(""), timeout=timeout))
    finally:
        channel.close()


def refused_code(future):
    with pytest.raises(grpc.RpcError) as info:
        future.result(timeout=WAIT)
    return info.value.code()


class TestAdmission:
    """What calls hold before a worker runs them, on the engine of the run:
    no worker while their message has not arrived, and a bounded wait for it;
    bounded numbers and bytes of calls waiting for a worker; health Check
    answering past busy workers."""

    @pytest.fixture(autouse=True)
    def fresh_gate(self):
        gate.clear()
        while entered.acquire(blocking=False):
            pass
        yield
        gate.set()

    def occupy(self, stub, workers):
        """`workers` calls of block(), running; their futures."""
        running = [stub.handle.future(request({"clazz": HERE, "method": "block"}),
                                      timeout=WAIT) for _ in range(workers)]
        for _ in range(workers):
            assert entered.acquire(timeout=WAIT)
        return running

    @staticmethod
    def headers_only(raw, count):
        """Opens `count` calls that send their headers and never a message."""
        ids = [raw.new_id() for _ in range(count)]
        for stream_id in ids:
            raw.send(h.headers_frames(stream_id, h.request_headers("/common.CommonService/handle")))
        return ids

    def test_calls_without_their_message_hold_no_worker(self, port):
        with serving(port, max_workers=2) as (_, stub), h.Client(port) as raw:
            self.headers_only(raw, 12)
            raw.wait(lambda: False, 0.3)  # the server has them all
            start = time.monotonic()
            assert call(stub, "size", "abc", timeout=5) == 3
            assert health(port, timeout=5) == ops.SERVING
            assert time.monotonic() - start < 2

    def test_the_wait_for_a_message_is_bounded(self, port):
        with serving(port, max_workers=1, request_wait=0.5) as (_, stub), \
                h.Client(port) as raw:
            ids = self.headers_only(raw, 3)
            start = time.monotonic()
            assert raw.wait(lambda: all(raw.stream(i).ended for i in ids), WAIT)
            assert 0.4 < time.monotonic() - start < 5
            assert all(raw.stream(i).grpc_status not in (None, 0) or raw.stream(i).reset
                       for i in ids)
            assert call(stub, "size", "ab") == 2  # and it still serves

    def test_health_check_answers_while_every_worker_is_busy(self, port):
        with serving(port, max_workers=2) as (_, stub):
            running = self.occupy(stub, 2)
            waiting = stub.handle.future(request({"clazz": HERE, "method": "size",
                                                  "args": ["x"]}), timeout=WAIT)
            start = time.monotonic()
            assert health(port, timeout=5) == ops.SERVING
            assert time.monotonic() - start < 2
            gate.set()
            assert [json.loads(f.result().response)["result"] for f in running + [waiting]] == [
                "released", "released", 1]

    def test_calls_waiting_for_a_worker_are_bounded_in_number(self, port):
        with serving(port, max_workers=1, max_queued_calls=2) as (_, stub):
            running = self.occupy(stub, 1)
            queued = [stub.handle.future(request({"clazz": HERE, "method": "size",
                                                  "args": ["q"]}), timeout=WAIT)
                      for _ in range(2)]
            time.sleep(0.5)  # both are in
            start = time.monotonic()
            third = stub.handle.future(request({"clazz": HERE, "method": "size", "args": ["x"]}),
                                       timeout=WAIT)
            assert refused_code(third) is grpc.StatusCode.RESOURCE_EXHAUSTED
            assert time.monotonic() - start < 2
            gate.set()
            assert [json.loads(f.result().response)["result"] for f in running + queued] == [
                "released", 1, 1]
            assert call(stub, "size", "after") == 5

    def test_calls_that_give_up_waiting_keep_no_worker(self, port):
        with serving(port, max_workers=1) as (_, stub):
            running = self.occupy(stub, 1)
            late = [stub.handle.future(request({"clazz": HERE, "method": "size", "args": ["l"]}),
                                       timeout=0.5) for _ in range(3)]
            assert [refused_code(f) for f in late] == [grpc.StatusCode.DEADLINE_EXCEEDED] * 3
            gate.set()
            assert json.loads(running[0].result().response)["result"] == "released"
            gate.clear()
            self.occupy(stub, 1)  # the one worker is free again, and only one runs
            queued = stub.handle.future(request({"clazz": HERE, "method": "size",
                                                 "args": ["q"]}), timeout=WAIT)
            time.sleep(0.3)
            assert not queued.done()
            gate.set()
            assert json.loads(queued.result().response)["result"] == 1

    @pytest.mark.engine_free
    @pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="glibc's malloc")
    @pytest.mark.skipif(ASAN, reason="the sanitizer's allocator takes no mallopt")
    def test_memory_is_given_back_only_where_malloc_is_not_tuned(self):
        code = "from sorvane import memory; print(memory.set_up(), memory.set_up())"
        env = {k: v for k, v in os.environ.items()
               if k not in ("MALLOC_ARENA_MAX", "GLIBC_TUNABLES")}
        for extra, expected in (({}, "True True"), ({"MALLOC_ARENA_MAX": "4"}, "False False"),
                                ({"GLIBC_TUNABLES": "glibc.malloc.arena_max=4"}, "False False")):
            out = subprocess.run([sys.executable, "-c", code], env=dict(env, **extra),
                                 stdout=subprocess.PIPE, universal_newlines=True, timeout=60)
            assert out.stdout.strip() == expected, extra

    def test_request_bytes_waiting_for_a_worker_are_bounded(self, port):
        text = "b" * (600 << 10)
        with serving(port, max_workers=1, max_queued_bytes=1 << 20) as (_, stub):
            running = self.occupy(stub, 1)
            first = stub.handle.future(request({"clazz": HERE, "method": "size", "args": [text]}),
                                       timeout=WAIT)
            time.sleep(0.5)  # its message has arrived and waits
            second = stub.handle.future(request({"clazz": HERE, "method": "size",
                                                 "args": [text]}), timeout=WAIT)
            assert refused_code(second) is grpc.StatusCode.RESOURCE_EXHAUSTED
            gate.set()
            assert json.loads(first.result().response)["result"] == len(text)
            running[0].result()
            assert call(stub, "size", text) == len(text)  # nothing is held any more

    @pytest.mark.engine_free
    def test_awaiting_calls_leave_the_held_ones_up_to_a_bound(self, monkeypatch):
        monkeypatch.setattr(admission, "MAX_AWAITING", 1)
        gate_ = admission._Gate(admission.Limits(workers=1, max_calls=1))
        first = gate_.admit(False)
        assert gate_.admit(False) is None  # one call held at most
        gate_.step_aside(first)  # awaiting: its place is free
        second = gate_.admit(False)
        assert second is not None
        gate_.step_aside(second)  # past the bound: it stays held
        assert gate_.admit(False) is None
        gate_.step_aside(second)  # twice is once
        gate_.finished(first)
        gate_.finished(second)
        assert (gate_.calls, gate_.awaiting) == (0, 0)

    @pytest.mark.engine_free
    def test_the_timer_runs_each_callback_at_its_time_earliest_first(self):
        # A later time wakes nothing; an earlier one than all that wait
        # shortens the timer's wait.
        timer = admission.waiting._Timer()
        ran, began = [], time.monotonic()

        def note(name):
            return lambda: ran.append((name, time.monotonic() - began))

        timer.after(30.0, note("far"))
        timer.after(0.6, note("late"))
        cancelled = timer.after(0.3, note("cancelled"))
        timer.after(0.2, note("soon"))
        assert timer.cancel(cancelled)
        deadline = time.monotonic() + WAIT
        while len(ran) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        time.sleep(0.1)
        assert [name for name, _ in ran] == ["soon", "late"]
        assert 0.2 <= ran[0][1] < 0.5 and 0.6 <= ran[1][1] < 1.5, ran

    @pytest.mark.engine_free
    def test_call_threads_start_per_call_and_end_when_idle(self):
        threads = admission._Threads(keep=1, idle=0.2)
        release = threading.Event()
        started = threading.Semaphore(0)

        def job(value):
            started.release()
            assert release.wait(WAIT)
            if value == 3:
                raise ValueError(value)
            return value * 2

        jobs = [threads.submit(job, (i,), {}) for i in range(5)]
        for _ in jobs:  # each has a thread at once: none waits for another
            assert started.acquire(timeout=WAIT)
        release.set()
        assert [f.result(WAIT) for f in jobs if f is not jobs[3]] == [0, 2, 4, 8]
        assert isinstance(jobs[3].exception(WAIT), ValueError)
        deadline = time.monotonic() + WAIT
        while threads._count > 1 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert threads._count == 1  # the ones beyond `keep` ended once idle
        assert threads.submit(lambda: "again", (), {}).result(WAIT) == "again"
        threads.close(wait=True)
        assert threads._count == 0
        with pytest.raises(RuntimeError):
            threads.submit(job, (0,), {})

    @pytest.mark.engine_free
    def test_call_threads_refused_by_the_system_are_retried_and_closing_runs_queued_jobs(
            self, monkeypatch):
        # Threads are started off the submitting thread; a start the system
        # refuses is tried again, and the job waits for it, not lost.
        threads = admission._Threads(keep=0, idle=0.2)
        real_start, refusals = threading.Thread.start, []

        def start(thread):
            if thread.name == "sorvane-call" and len(refusals) < 2:
                refusals.append(thread)
                raise RuntimeError("can't start new thread")
            real_start(thread)

        def no_starter(thread):
            raise RuntimeError("can't start new thread")

        # No thread to start the others: the job is refused, as it was
        # refused when the submitting thread started threads itself.
        monkeypatch.setattr(threading.Thread, "start", no_starter)
        with pytest.raises(RuntimeError):
            threads.submit(lambda: "never", (), {})
        assert (threads._count, threads._starting, len(threads._jobs)) == (0, 0, 0)
        monkeypatch.setattr(threading.Thread, "start", start)
        assert threads.submit(lambda: "late", (), {}).result(WAIT) == "late"
        assert len(refusals) == 2
        monkeypatch.undo()
        # Closing with jobs still waiting for their threads runs them first.
        release = threading.Event()
        jobs = [threads.submit(lambda i=i: release.wait(WAIT) and i, (), {}) for i in range(20)]
        closer = threading.Thread(target=threads.close, kwargs={"wait": True})
        closer.start()
        release.set()
        closer.join(WAIT)
        assert not closer.is_alive()
        assert [f.result(0) for f in jobs] == list(range(20))
        assert threads._count == 0 and not threads._threads
