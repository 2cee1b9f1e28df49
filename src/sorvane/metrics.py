"""Call metrics of a sorvane server, for Prometheus.

The dispatcher feeds a :class:`Recorder` (``service._metrics``): ``enter()``
as a call begins, ``record(module, method, outcome, seconds)`` as it ends.
The recorder keeps plain counters under one lock, so a call pays about a
microsecond for them; :class:`MetricsServer` reads them only when Prometheus
scrapes, through a collector on a registry of its own, as

``sorvane_calls_total{module, method, outcome}``
    calls finished, by target and outcome ("ok", "raised", "refused", "failed");
``sorvane_call_duration_seconds{module, method}``
    a histogram of the time each call took;
``sorvane_calls_in_flight``
    calls running now.

prometheus_client is imported only when an endpoint is started; without it
:func:`start_metrics` fails with a message naming ``pip install
sorvane[metrics]``.
"""
import bisect
import importlib
import threading
from typing import Any, Dict, Iterator, List, Tuple

__all__ = ["Recorder", "MetricsServer", "start_metrics", "OUTCOMES", "DURATION_BUCKETS"]

#: The outcomes a call is recorded with.
OUTCOMES = ("ok", "raised", "refused", "failed")

#: Upper bounds (seconds) of the call duration histogram's buckets.
DURATION_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                    1.0, 2.5, 5.0, 10.0, 30.0, 60.0)



class Recorder:
    """Counts calls, cheaply, for the metrics endpoint to read at scrape time.

    The dispatcher calls :meth:`enter` as a call begins and :meth:`record` as it
    ends. Counts live in plain dicts under one lock; :meth:`snapshot` copies
    them. At most `max_series` (module, method) pairs are kept apart; calls to
    further ones are counted under module and method "(other)".
    """

    def __init__(self, buckets: Tuple[float, ...] = DURATION_BUCKETS,
                 max_series: int = 1000) -> None:
        self.buckets = tuple(sorted(float(b) for b in buckets))
        self.max_series = max_series
        self._lock = threading.Lock()
        self._in_flight = 0
        self._calls = {}  # type: Dict[Tuple[str, str, str], int]
        # (module, method) -> [count per bucket..., count above the last, sum of seconds]
        self._durations = {}  # type: Dict[Tuple[str, str], List[float]]

    def enter(self) -> None:
        """A call begins."""
        with self._lock:
            self._in_flight += 1

    def record(self, module: str, method: str, outcome: str, seconds: float) -> None:
        """A call ended with `outcome` ("ok", "raised", "refused" or "failed")
        after `seconds`; module and method are empty when it never resolved."""
        index = bisect.bisect_left(self.buckets, seconds)
        with self._lock:
            self._in_flight -= 1
            series = self._durations.get((module, method))
            if series is None:
                if len(self._durations) >= self.max_series:
                    module = method = "(other)"
                    series = self._durations.get((module, method))
                if series is None:
                    series = self._durations[(module, method)] = \
                        [0] * (len(self.buckets) + 1) + [0.0]  # type: ignore[assignment]
            series[index] += 1
            series[-1] += seconds
            key = (module, method, outcome)
            self._calls[key] = self._calls.get(key, 0) + 1

    def snapshot(self) -> Tuple[int, Dict[Tuple[str, str, str], int],
                                Dict[Tuple[str, str], List[float]]]:
        """(calls in flight, {(module, method, outcome): calls},
        {(module, method): [calls per bucket..., calls above, seconds in all]})."""
        with self._lock:
            return (self._in_flight, dict(self._calls),
                    {key: list(series) for key, series in self._durations.items()})


def _import_prometheus() -> Any:
    try:
        return importlib.import_module("prometheus_client")
    except ImportError:
        raise RuntimeError("metrics need the prometheus_client package: "
                           "pip install sorvane[metrics]") from None


def _collector(recorder: Recorder) -> Any:
    """A prometheus_client collector reading `recorder` at each scrape."""
    core = importlib.import_module("prometheus_client.core")
    utils = importlib.import_module("prometheus_client.utils")
    bounds = [utils.floatToGoString(b) for b in recorder.buckets] + ["+Inf"]

    class CallCollector:
        def collect(self) -> Iterator[Any]:
            in_flight, calls, durations = recorder.snapshot()
            counter = core.CounterMetricFamily(
                "sorvane_calls", "Calls the dispatcher finished, by target and outcome.",
                labels=["module", "method", "outcome"])
            for (module, method, outcome), count in sorted(calls.items()):
                counter.add_metric([module, method, outcome], count)
            histogram = core.HistogramMetricFamily(
                "sorvane_call_duration_seconds", "Time the dispatcher spent on each call.",
                labels=["module", "method"])
            for (module, method), series in sorted(durations.items()):
                total, cumulative = 0, []
                for bound, count in zip(bounds, series[:-1]):
                    total += int(count)
                    cumulative.append((bound, total))
                histogram.add_metric([module, method], cumulative, sum_value=series[-1])
            gauge = core.GaugeMetricFamily("sorvane_calls_in_flight",
                                           "Calls the dispatcher is running now.",
                                           value=in_flight)
            return iter([counter, histogram, gauge])

    return CallCollector()


class MetricsServer:
    """prometheus_client's HTTP server, on a registry of its own, serving one
    recorder's metrics at http://127.0.0.1:PORT/metrics until :meth:`stop`."""

    def __init__(self, recorder: Recorder, port: int, host: str = "127.0.0.1") -> None:
        prometheus = _import_prometheus()
        self.recorder = recorder
        self.registry = prometheus.CollectorRegistry()
        self.registry.register(_collector(recorder))
        started = prometheus.start_http_server(port, addr=host, registry=self.registry)
        if not isinstance(started, tuple):
            raise RuntimeError("this prometheus_client is too old to stop its server; "
                               "pip install sorvane[metrics] upgrades it")
        self._httpd, self._thread = started
        self.host = host
        self.port = int(self._httpd.server_address[1])
        self._stop_lock = threading.Lock()
        self._stopped = False

    @property
    def url(self) -> str:
        return "http://%s:%d/metrics" % (self.host, self.port)

    def stop(self) -> None:
        """Closes the endpoint (once; later calls do nothing)."""
        with self._stop_lock:
            if self._stopped:
                return
            self._stopped = True
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5.0)


def start_metrics(recorder: Recorder, port: int) -> MetricsServer:
    """Serves `recorder`'s metrics on 127.0.0.1:`port` (0: a free port)."""
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError("metrics_port must be a port number 0-65535, not %r" % (port,))
    return MetricsServer(recorder, port)
