"""Metrics (sorvane.ops): the recorder, the dispatcher feeding it and the
Prometheus endpoint, on the engine the run uses (SORVANE_ENGINE).

Servers run in this process on 127.0.0.1.
"""
import importlib.util
import json
import socket
import sys
import threading
import time
import urllib.error
import urllib.request

import grpc
import pytest

import brindlow
from conftest import free_port
from ops_support import LISTED, WAIT, running, write_module
from processes import ServeProcess, run_cli, write_targets
from server_support import request as common_request
from sorvane import ops
from sorvane.corvex import GrpcException, GrpcHelper, GrpcServer


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
