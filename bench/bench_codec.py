"""The CBOR codec beside JSON: small calls, and bytes and NumPy arrays echoed over loopback.

Everything runs on the native engine (SORVANE_ENGINE=native in sorvane's
server and clients). A round measures, each in a fresh client process:
  small   GrpcHelper.call_rpc_result(stub, "__main__", "add", [1, 2],
          serialize=C) back to back for --seconds, once with C = codec.JSON and
          once with C = codec.CBOR: calls/s, and CBOR's over JSON's;
  echo    a payload sent and sent back, for each size of --sizes (MiB; default
          1 and 64), as `bytes` and as a float64 NumPy array of that many bytes,
          through:
    sorvane CBOR         call_rpc_result(stub, "__main__", "echo", [value],
                         serialize=codec.CBOR): bytes and arrays travel as they
                         are (the array comes back as a read-only view over the
                         reply's bytes);
    sorvane JSON+base64  the same call in JSON, base64 done by hand: the client
                         sends base64.b64encode(value) as a str (for the array,
                         of arr.tobytes()), the server's target decodes it
                         (np.frombuffer for the array), encodes it again and
                         returns the str, the client decodes it (np.frombuffer);
    Pyro5                a Pyro5 proxy's echo(value) under Pyro5's default
                         serializer (serpent, which sends bytes as base64 in a
                         dict): both ends turn that dict back into bytes with
                         serpent.tobytes; bytes only (an array would travel as
                         arr.tobytes(), which is the bytes row);
    grpcio floor         a bare grpcio generic unary handler that returns its
                         request, identity serializers (raw bytes in and out),
                         called through a grpc channel whose message limits
                         are raised to 256 MiB: the floor, a plain gRPC echo
                         with no codec at all. It moves bytes; the array rows
                         are set against the same floor (the same bytes).
          Each echo client makes its payload, echoes it once untimed (checking
          the whole reply), then echoes it for --echo-seconds and at least
          --min-calls times, checking each reply's type, length and three
          slices. MB/s is payload MB (10^6 bytes) per second of echoing: the
          bytes sent plus the bytes received, over 2, over the time; that is,
          one direction's throughput of a round trip. Against the floor: the
          ratio of MB/s in the same round.
  RSS     the peak RSS of each server above its idle size while a client echoes
          the largest size (warm-up included; idle: VmRSS before the client
          starts; peak: VmHWM after a reset through /proc/PID/clear_refs, and
          VmRSS sampled every 5 ms, as in bench_streaming.py), in MiB and as a
          multiple of the payload.

Each server (sorvane, Pyro5 if it imports in the children's interpreter, the
grpcio floor) runs in a process of its own on 127.0.0.1 and a free port for the
whole run. Within a round the small calls go first, then each size; each group
runs in an order rotating from round to round. Reported: medians over rounds;
ratios taken within each round, then medianed; the targets, PASS or FAIL:
CBOR's small calls within 10% of JSON's; at the largest size, CBOR ≥ 50% of the
floor's MB/s and ≥ 5× JSON+base64's (bytes and arrays each); sorvane's server
peak RSS during the largest CBOR echoes ≤ 3× the payload (the worst round).

    bench/setup-peers        # once: .venv-bench (the children's Python), with numpy
    python3 bench/bench_codec.py [--rounds 3] [--seconds 2] [--sizes 1 64]
                                 [--echo-seconds 1.5] [--min-calls 2] [--quick]

A default run takes about 4 to 6 minutes on two cores. Linux only (/proc).
"""
import argparse
import base64
import json
import os
import resource
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_peers as peers  # noqa: E402
from bench_streaming import PeakRss  # noqa: E402

MIB = 1 << 20
SORVANE, PYRO5, FLOOR = "sorvane-native", "pyro5", "grpcio-bare"
SMALL_WARMUP = 200
LIMIT = 256 * MIB
LIMITS = [("grpc.max_send_message_length", LIMIT), ("grpc.max_receive_message_length", LIMIT)]
FLOOR_SERVICE, FLOOR_METHOD = "bench.Echo", "echo"

# The echo methods: (name, server kind, child kind for the environment, payloads)
METHODS = [("cbor", "sorvane CBOR", SORVANE, ("bytes", "array")),
           ("json-b64", "sorvane JSON+base64", SORVANE, ("bytes", "array")),
           ("pyro5", "Pyro5 (serpent)", PYRO5, ("bytes",)),
           ("floor", "grpcio raw bytes (floor)", FLOOR, ("bytes",))]
LABEL = {m[0]: m[1] for m in METHODS}
KIND = {m[0]: m[2] for m in METHODS}
KIND.update({"json": SORVANE, "cbor-small": SORVANE})


# ---- the targets: this script is __main__ in sorvane's server ------------------

def add(a, b):
    return a + b


def echo(value):
    return value


def echo_b64(text):
    return base64.b64encode(base64.b64decode(text)).decode("ascii")


def echo_b64_array(text):
    import numpy as np
    array = np.frombuffer(base64.b64decode(text), dtype="<f8")
    return base64.b64encode(array.tobytes()).decode("ascii")


class Echo:  # for Pyro5
    def echo(self, data):
        import serpent
        return serpent.tobytes(data)


# ---- servers (child processes) ---------------------------------------------------

def serve_floor(port):
    from concurrent import futures
    import grpc
    handler = grpc.unary_unary_rpc_method_handler(lambda request, context: request)
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=peers.WORKERS), options=LIMITS)
    server.add_generic_rpc_handlers(
        (grpc.method_handlers_generic_handler(FLOOR_SERVICE, {FLOOR_METHOD: handler}),))
    server.add_insecure_port("127.0.0.1:%d" % port)
    server.start()
    return lambda: peers.forever(server)


def serve_pyro5(port):
    import Pyro5.api
    daemon = Pyro5.api.Daemon(host="127.0.0.1", port=port)
    daemon.register(Pyro5.api.expose(Echo), "bench")
    return daemon.requestLoop


def server_main(kind, port):
    loop = {SORVANE: peers.serve_sorvane, PYRO5: serve_pyro5, FLOOR: serve_floor}[kind](port)
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    print(json.dumps({"pid": os.getpid()}), flush=True)
    loop()


# ---- clients (child processes) ---------------------------------------------------

def sorvane_stub(port):
    from sorvane import corvex
    if os.environ.get("SORVANE_ENGINE") == "native" and corvex.transport.__name__ != "sorvane.native":
        raise RuntimeError("SORVANE_ENGINE=native was ignored: the client runs on %s"
                           % corvex.transport.__name__)
    corvex.grpc_client.load([corvex.Server("bench", "127.0.0.1", port)])
    return corvex.grpc_client.connect("bench")


def echo_call(method, payload, port):
    """A function that echoes a value through `method` and returns what came back."""
    if method in ("cbor", "json-b64"):
        from sorvane import codec
        from sorvane.corvex import GrpcHelper
        stub, call = sorvane_stub(port), GrpcHelper.call_rpc_result
        if method == "cbor":
            return lambda value: call(stub, "__main__", "echo", [value], serialize=codec.CBOR)
        if payload == "bytes":
            return lambda value: base64.b64decode(call(
                stub, "__main__", "echo_b64", [base64.b64encode(value).decode("ascii")],
                serialize=codec.JSON))
        import numpy as np
        return lambda array: np.frombuffer(base64.b64decode(call(
            stub, "__main__", "echo_b64_array", [base64.b64encode(array.tobytes()).decode("ascii")],
            serialize=codec.JSON)), dtype=array.dtype)
    if method == "pyro5":
        import Pyro5.api
        import serpent
        proxy = Pyro5.api.Proxy("PYRO:bench@127.0.0.1:%d" % port)
        return lambda value: serpent.tobytes(proxy.echo(value))
    if method == "floor":
        import grpc
        channel = grpc.insecure_channel("127.0.0.1:%d" % port, options=LIMITS)
        return channel.unary_unary("/%s/%s" % (FLOOR_SERVICE, FLOOR_METHOD))
    raise ValueError(method)


def make_payload(payload, size):
    if payload == "bytes":
        return os.urandom(size)
    import numpy as np
    return np.random.default_rng(size).random(size // 8)


def check(sent, got, whole=False):
    """The reply must be the payload: entirely (`whole`), else its type,
    length and three slices of 4 KiB."""
    if type(got) is not type(sent) or len(got) != len(sent):
        raise AssertionError("the echo returned %s of length %s for %s of length %d" % (
            type(got).__name__, getattr(got, "__len__", lambda: "?")(), type(sent).__name__,
            len(sent)))
    if type(sent) is bytes:
        same = sent == got if whole else all(
            sent[i:i + 4096] == got[i:i + 4096] for i in (0, len(sent) // 2, len(sent) - 4096))
    else:
        import numpy as np
        same = got.dtype == sent.dtype and got.shape == sent.shape and (
            np.array_equal(sent, got) if whole else all(
                np.array_equal(sent[i:i + 512], got[i:i + 512])
                for i in (0, len(sent) // 2, len(sent) - 512)))
    if not same:
        raise AssertionError("the echo returned other contents than were sent")


def client_main(method, port, payload, size, seconds, min_calls):
    """Warms up, prints "ready", waits for a line, calls for `seconds` (and at
    least `min_calls` times), prints one JSON line, then waits for stdin to close."""
    if payload == "small":
        from sorvane import codec
        from sorvane.corvex import GrpcHelper
        stub, code = sorvane_stub(port), codec.CBOR if method == "cbor" else codec.JSON

        def once():
            if GrpcHelper.call_rpc_result(stub, "__main__", "add", [1, 2], serialize=code) != 3:
                raise AssertionError("add(1, 2) did not return 3")
        for _ in range(SMALL_WARMUP):
            once()
    else:
        call, value = echo_call(method, payload, port), make_payload(payload, size)
        check(value, call(value), whole=True)

        def once():
            check(value, call(value))
    print("ready", flush=True)
    sys.stdin.readline()
    clock, n = time.perf_counter, 0
    cpu0, began = resource.getrusage(resource.RUSAGE_SELF), clock()
    end = began + seconds
    while n < min_calls or clock() < end:
        once()
        n += 1
    elapsed, cpu1 = clock() - began, resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"calls": n, "elapsed": elapsed, "python": sys.version.split()[0],
                      "cpu": cpu1.ru_utime + cpu1.ru_stime - cpu0.ru_utime - cpu0.ru_stime}),
          flush=True)
    sys.stdin.readline()
    os._exit(0)


# ---- the parent --------------------------------------------------------------------

# This script, run by the server and client children.
SCRIPT = os.path.abspath(__file__)


def measure(python, servers, method, payload, size, seconds, min_calls, track_rss):
    """One client process, one measured window: a dict of results."""
    _, port, pid = servers[KIND[method]]
    rss = PeakRss([pid]) if track_rss else None  # before the client: its warm-up counts
    client = peers.Child(python, KIND[method], [
        "--client", method, "--port", str(port), "--payload", payload, "--size", str(size),
        "--seconds", str(seconds), "--min-calls", str(min_calls)], SCRIPT)
    try:
        result = client.timed(pid, seconds + 900, ready_timeout=600)
        if rss is not None:
            result["server_rss"] = rss.finish()[0]  # (MiB above idle, idle MiB)
    finally:
        if rss is not None:
            rss.done.set()
        client.stop()
    result["rate"] = result["calls"] / result["elapsed"]
    result["mbps"] = result["rate"] * size / 1e6
    return result


def rotated(jobs, r):
    return jobs[r % len(jobs):] + jobs[:r % len(jobs)] if jobs else []


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=2.0, help="small calls' window")
    parser.add_argument("--sizes", type=int, nargs="+", default=[1, 64], help="echo sizes, MiB")
    parser.add_argument("--echo-seconds", type=float, default=1.5, help="echo window per size")
    parser.add_argument("--min-calls", type=int, default=2, help="fewest timed echoes")
    parser.add_argument("--quick", action="store_true",
                        help="1 round, 0.5 s windows, 1 timed echo at least")
    parser.add_argument("--strict", action="store_true", help="exit status 1 if a target fails")
    peers.child_options(parser)
    parser.add_argument("--payload", help=argparse.SUPPRESS)
    parser.add_argument("--size", type=int, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.serve:
        return server_main(opts.serve, opts.port)
    if opts.client:
        return client_main(opts.client, opts.port, opts.payload, opts.size, opts.seconds,
                           opts.min_calls)
    if opts.quick:
        opts.rounds, opts.seconds, opts.echo_seconds, opts.min_calls = 1, 0.5, 0.5, 1
    sizes = sorted(set(opts.sizes))
    if sizes[0] < 1:
        parser.error("sizes are whole MiB, at least 1")
    python = peers.children_python(opts)
    servers, skipped, results = {}, {}, {}
    began = time.monotonic()
    try:
        for kind in (SORVANE, PYRO5, FLOOR):
            try:
                servers[kind] = peers.start_server(python, kind, SCRIPT)
            except RuntimeError as e:
                if kind != PYRO5:
                    raise
                skipped[kind] = str(e)
        echoes = [(m, p) for m, _, kind, payloads in METHODS if kind in servers for p in payloads]
        print("python %s, %d CPUs; %d rounds; small calls for %.1f s; echoes of %s MiB for "
              "%.1f s and %d calls at least" % (
                  python, os.cpu_count() or 0, opts.rounds, opts.seconds,
                  " and ".join(map(str, sizes)), opts.echo_seconds, opts.min_calls))
        for kind, (_, port, pid) in servers.items():
            print("  %-12s server pid %d on 127.0.0.1:%d" % (kind, pid, port))
        sys.stdout.flush()
        for r in range(opts.rounds):
            for method in rotated(["json", "cbor"], r):
                results.setdefault(("small", method, 0), []).append(measure(
                    python, servers, method, "small", 0, opts.seconds, 1, False))
            for size in sizes:
                for method, payload in rotated(echoes, r):
                    results.setdefault((payload, method, size), []).append(measure(
                        python, servers, method, payload, size * MIB, opts.echo_seconds,
                        opts.min_calls, size == sizes[-1]))
            print("round %d/%d done (%.0f s)" % (r + 1, opts.rounds, time.monotonic() - began),
                  file=sys.stderr, flush=True)
    finally:
        for child, _, _ in servers.values():
            child.stop()
    failed = report(results, sizes, skipped)
    print("\ntotal %.0f s" % (time.monotonic() - began))
    return 1 if failed and opts.strict else 0


# ---- the report ---------------------------------------------------------------------

def median(values):
    values = list(values)
    return statistics.median(values) if values else None


def ratio(results, a, b, key="rate"):
    """Median over rounds of a's `key` over b's in the same round."""
    return median(x[key] / y[key] for x, y in zip(results.get(a, []), results.get(b, [])))


def fmt(value, form="{:,.0f}"):
    return "n/a" if value is None else form.format(value)


def row(*cells):
    print("| " + " | ".join(cells) + " |")


def report(results, sizes, skipped):
    """Prints the tables; returns True if a target failed."""
    largest = sizes[-1]
    print()
    row("small call add(1, 2)", "calls/s", "server CPU µs/call", "client CPU µs/call")
    row("---", "---:", "---:", "---:")
    for method, label in (("json", "sorvane JSON"), ("cbor", "sorvane CBOR")):
        runs = results.get(("small", method, 0), [])
        row(label, fmt(median(r["rate"] for r in runs)),
            fmt(median(1e6 * r["server_cpu"] / r["calls"] for r in runs)),
            fmt(median(1e6 * r["cpu"] / r["calls"] for r in runs)))
    small = ratio(results, ("small", "cbor", 0), ("small", "json", 0))
    print("\nCBOR / JSON calls/s (median of per-round ratios): %s" % fmt(small, "{:.2f}×"))

    print()
    row("payload", "MiB", "system", "MB/s", "× floor", "calls", "server CPU ms/call",
        "client CPU ms/call", "server RSS peak above idle: MiB (× payload; worst round)")
    row("---", "---:", "---", "---:", "---:", "---:", "---:", "---:", "---:")
    for payload in ("bytes", "array"):
        for size in sizes:
            for method, label, kind, payloads in METHODS:
                runs = results.get((payload, method, size), [])
                if payload not in payloads:
                    continue
                if not runs:
                    row(payload, str(size), label, "skipped" if kind in skipped else "n/a",
                        *[""] * 5)
                    continue
                floor = ratio(results, (payload, method, size), ("bytes", "floor", size), "mbps")
                rss = "-"
                if size == largest and runs:
                    above = [r["server_rss"][0] for r in runs]
                    rss = "%s (%s×; %s×)" % (fmt(median(above), "{:.0f}"),
                                             fmt(median(above) / size, "{:.2f}"),
                                             fmt(max(above) / size, "{:.2f}"))
                row(payload if payload == "bytes" else "float64 array", str(size), label,
                    fmt(median(r["mbps"] for r in runs), "{:,.1f}"),
                    "-" if method == "floor" else fmt(floor, "{:.2f}×"),
                    fmt(median(r["calls"] for r in runs)),
                    fmt(median(1e3 * r["server_cpu"] / r["calls"] for r in runs), "{:.1f}"),
                    fmt(median(1e3 * r["cpu"] / r["calls"] for r in runs), "{:.1f}"), rss)
    for kind, reason in skipped.items():
        print("\n%s skipped: %s" % (kind, reason))

    print()
    row("MB/s ratio (median of per-round ratios)", *["%d MiB" % s for s in sizes])
    row("---", *["---:"] * len(sizes))
    for payload in ("bytes", "array"):
        for a, b in (("cbor", "json-b64"), ("cbor", "floor"), ("json-b64", "floor"),
                     ("cbor", "pyro5"), ("pyro5", "floor")):
            if payload == "array" and "pyro5" in (a, b):
                continue
            b_payload = "bytes" if b == "floor" else payload
            values = [ratio(results, (payload, a, s), (b_payload, b, s), "mbps") for s in sizes]
            if any(v is not None for v in values):
                row("%s: %s / %s" % (payload, LABEL[a], LABEL[b]),
                    *[fmt(v, "{:.2f}×") for v in values])

    print()
    row("target", "measured", "verdict")
    row("---", "---:", "---")
    checks = [("small calls: CBOR within 10% of JSON (CBOR / JSON ≥ 0.90×)", small, 0.90, "×")]
    for payload in ("bytes", "array"):
        checks.append(("%d MiB %s: CBOR ≥ 50%% of the floor's MB/s" % (largest, payload),
                       ratio(results, (payload, "cbor", largest), ("bytes", "floor", largest),
                             "mbps"), 0.50, "×"))
        checks.append(("%d MiB %s: CBOR ≥ 5× JSON+base64" % (largest, payload),
                       ratio(results, (payload, "cbor", largest), (payload, "json-b64", largest),
                             "mbps"), 5.0, "×"))
    for payload in ("bytes", "array"):
        above = [r["server_rss"][0] / largest for r in results.get((payload, "cbor", largest), [])]
        checks.append(("sorvane server peak RSS above idle, %d MiB CBOR %s echo ≤ 3× payload "
                       "(worst round)" % (largest, payload), max(above) if above else None,
                       3.0, "≤"))
    failed = False
    for name, value, bound, kind in checks:
        if value is None:
            verdict = "FAIL (not measured)"
        elif kind == "≤":
            verdict = "PASS" if value <= bound else "FAIL"
        else:
            verdict = "PASS" if value >= bound else "FAIL"
        failed |= verdict != "PASS"
        row(name, fmt(value, "{:.2f}×"), verdict)
    if largest < 64:
        print("\nnote: the targets are set for 64 MiB; this run's largest size is %d MiB"
              % largest)
    return failed


if __name__ == "__main__":
    sys.exit(main())
