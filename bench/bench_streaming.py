"""Streamed results (/sorvane.Stream/Call) beside unary calls and Pyro5's iterator streaming.

For each engine (sorvane-native, sorvane-grpcio: SORVANE_ENGINE of server and
client), a round measures, each in a fresh client process:
  small  streaming.call_stream(stub, "__main__", "small", [N]), a generator of
         the ints 0..N-1 (--small), checked in order: items/s;
  big    call_stream of "big", [M]: M strings of 1 MiB (--big), each checked:
         MB/s (10^6 bytes of payload); the peak RSS above idle of client and
         server during it (idle: VmRSS right before; peak: VmHWM after a reset
         through /proc/PID/clear_refs, and VmRSS sampled every 5 ms);
  unary  GrpcHelper.call_rpc_result(stub, "__main__", "item", [i]) back to back
         for --seconds: calls/s; "x unary" is small items/s over it;
and Pyro5's ITER_STREAMING (a remote generator iterated by the client) for the
small stream, if Pyro5 imports in the children's interpreter. Servers, rounds
and CPU figures work as in bench_peers.py: each server in its own process on
127.0.0.1 for the whole run, an order rotating from round to round, medians
over rounds (ratios per round). A stream still running after --cap seconds is
left early (which cancels it); its rates come from what it received.

    python3 bench/bench_streaming.py [--rounds 3] [--small 1000000] [--big 1000]
                                     [--engines native grpcio] [--cap 15]

Linux only (/proc).
"""
import argparse
import json
import os
import resource
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_peers as peers  # noqa: E402

MIB = 1 << 20
WARMUP = 100
PYRO5 = "pyro5"


# ---- the targets: this script is __main__ in the server processes ---------------

def small(n):
    yield from range(n)


def big(m):
    block = "x" * (MIB - 8)
    for i in range(m):
        yield block + "%08d" % i


def item(i):
    return i


class Items:  # small as a method, for Pyro5
    def small(self, n):
        yield from range(n)


def server_main(kind, port):
    if kind == PYRO5:
        import Pyro5.api
        daemon = Pyro5.api.Daemon(host="127.0.0.1", port=port)
        daemon.register(Pyro5.api.expose(Items), "bench")
        loop = daemon.requestLoop
    else:
        loop = peers.serve_sorvane(port)
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    print(json.dumps({"pid": os.getpid()}), flush=True)
    loop()


# ---- the client (child process) ---------------------------------------------------

def checked_big(i, value):
    if len(value) != MIB or not value.endswith("%08d" % i):
        raise AssertionError("item %d of the 1 MiB stream is wrong" % i)


def client_main(kind, port, what, count, seconds, cap):
    """Warms up, prints "ready", waits for a line, measures, prints one JSON line,
    then waits for stdin to close (so that the parent can read its peak RSS)."""
    if kind == PYRO5:
        import Pyro5.api
        proxy = Pyro5.api.Proxy("PYRO:bench@127.0.0.1:%d" % port)
        stream = lambda target, n: proxy.small(n)  # noqa: E731
    else:
        from sorvane import streaming
        from sorvane.corvex import GrpcHelper, Server, grpc_client
        grpc_client.load([Server("bench", "127.0.0.1", port)])
        stub = grpc_client.connect("bench")
        stream = lambda target, n: streaming.call_stream(stub, "__main__", target, [n])  # noqa
        unary = lambda i: GrpcHelper.call_rpc_result(stub, "__main__", "item", [i])  # noqa
        for i in range(WARMUP):
            if unary(i) != i:
                raise AssertionError("item(%d) did not return %d" % (i, i))
        for i, value in enumerate(stream("big", 2)):
            checked_big(i, value)
    if list(stream("small", WARMUP)) != list(range(WARMUP)):
        raise AssertionError("the warm-up stream was wrong")
    print("ready", flush=True)
    sys.stdin.readline()
    clock, n, capped = time.perf_counter, 0, False
    cpu0, began = resource.getrusage(resource.RUSAGE_SELF), clock()
    if what == "unary":
        end = began + seconds
        while clock() < end:
            if unary(n) != n:
                raise AssertionError("item(%d) did not return %d" % (n, n))
            n += 1
    else:
        end, items = began + cap, stream(what, count)
        for value in items:
            if what == "small" and value != n:
                raise AssertionError("item %d of the stream was %r" % (n, value))
            if what == "big":
                checked_big(n, value)
            n += 1
            if (what == "big" or not n & 1023) and n < count and clock() > end:
                capped = True
                break
    elapsed, cpu1 = clock() - began, resource.getrusage(resource.RUSAGE_SELF)
    if capped:
        items.close()  # cancels the rest of the stream
    elif what != "unary" and n != count:
        raise AssertionError("the stream ended after %d of %d items" % (n, count))
    print(json.dumps({"items": n, "elapsed": elapsed, "capped": capped,
                      "cpu": cpu1.ru_utime + cpu1.ru_stime - cpu0.ru_utime - cpu0.ru_stime}),
          flush=True)
    sys.stdin.readline()
    os._exit(0)


# ---- the parent -------------------------------------------------------------------

# This script, run by the server and client children.
SCRIPT = os.path.abspath(__file__)


def start_server(python, kind):
    return peers.start_server(python, kind, SCRIPT)


def status(pid, field):
    """A size field of /proc/PID/status, in bytes."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no %s in /proc/%d/status" % (field, pid))


class PeakRss:
    """The peak RSS of processes above their size when made (VmRSS)."""

    def __init__(self, pids):
        self.pids, self.idle = pids, {pid: status(pid, "VmRSS") for pid in pids}
        self.peak, self.hwm = dict(self.idle), {}
        for pid in pids:
            try:
                with open("/proc/%d/clear_refs" % pid, "w") as f:
                    f.write("5")  # VmHWM := VmRSS
                self.hwm[pid] = True
            except OSError:
                pass
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)
        self.thread.start()

    def sample(self):
        while not self.done.wait(0.005):
            for pid in self.pids:
                self.peak[pid] = max(self.peak[pid], status(pid, "VmRSS"))

    def finish(self):
        """[(MiB above idle, idle MiB)] in the order of the pids."""
        self.done.set()
        self.thread.join()
        for pid in self.hwm:
            self.peak[pid] = max(self.peak[pid], status(pid, "VmHWM"))
        return [((self.peak[p] - self.idle[p]) / MIB, self.idle[p] / MIB) for p in self.pids]


def measure(python, kind, server, what, opts):
    _, port, pid = server
    count = {"small": opts.small, "big": opts.big}.get(what, 0)
    client = peers.Child(python, kind, ["--client", kind, "--port", str(port), "--what", what,
                                        "--count", str(count), "--seconds", str(opts.seconds),
                                        "--cap", str(opts.cap)], SCRIPT)
    try:
        tracked = []  # the peak RSS of both, from the moment the client is ready
        track = (lambda: tracked.append(PeakRss([client.proc.pid, pid]))) if what == "big" else None
        result = client.timed(pid, opts.cap + opts.seconds + 120, on_ready=track)
        if tracked:
            result["client_rss"], result["server_rss"] = tracked[0].finish()
    finally:
        client.stop()
    if not result["items"]:
        raise RuntimeError("%s %s: nothing received" % (kind, what))
    result["rate"] = result["items"] / result["elapsed"]
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--small", type=int, default=1000000, help="items of the small stream")
    parser.add_argument("--big", type=int, default=1000, help="items of the 1 MiB stream")
    parser.add_argument("--engines", nargs="+", choices=["native", "grpcio"],
                        default=["native", "grpcio"])
    parser.add_argument("--seconds", type=float, default=2.0, help="unary calls' window")
    parser.add_argument("--cap", type=float, default=15.0, help="longest stream, in seconds")
    peers.child_options(parser)
    parser.add_argument("--what", help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.serve:
        return server_main(opts.serve, opts.port)
    if opts.client:
        return client_main(opts.client, opts.port, opts.what, opts.count, opts.seconds, opts.cap)
    python = peers.children_python(opts)
    kinds = ["sorvane-" + e for e in opts.engines] + [PYRO5]
    servers, skipped, results = {}, {}, {}
    began = time.monotonic()
    try:
        for kind in kinds:
            try:
                servers[kind] = start_server(python, kind)
            except RuntimeError as e:
                skipped[kind] = str(e)
        running = [k for k in kinds if k in servers]
        print("python %s, %d CPUs; %d rounds; %d small items, %d items of 1 MiB, streams "
              "capped at %.0f s" % (python, os.cpu_count() or 0, opts.rounds, opts.small,
                                    opts.big, opts.cap), flush=True)
        for r in range(opts.rounds):
            for kind in running[r % len(running):] + running[:r % len(running)]:
                for what in ["small"] if kind == PYRO5 else ["small", "big", "unary"]:
                    results.setdefault((kind, what), []).append(
                        measure(python, kind, servers[kind], what, opts))
            print("round %d/%d done (%.0f s)" % (r + 1, opts.rounds, time.monotonic() - began),
                  file=sys.stderr, flush=True)
    finally:
        for child, _, _ in servers.values():
            child.stop()
    report(kinds, results, skipped, opts)
    print("\ntotal %.0f s" % (time.monotonic() - began))


def median(values):
    values = list(values)
    return statistics.median(values) if values else None


def ratio(results, a, b):
    return median(x["rate"] / y["rate"] for x, y in zip(results.get(a, []), results.get(b, [])))


def fmt(value, form="{:,.0f}"):
    return "n/a" if value is None else form.format(value)


def report(kinds, results, skipped, opts):
    def m(kind, what, key):
        return median(r[key] for r in results.get((kind, what), []))

    print("\n| engine | small items/s | unary calls/s | × unary | 1 MiB MB/s "
          "| client RSS peak MiB | server RSS peak MiB | small: server / client CPU µs/item "
          "| 1 MiB: server / client CPU ms/item |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    notes = []
    for kind in [k for k in kinds if k != PYRO5]:
        if kind in skipped:
            print("| %s | unavailable: %s | | | | | | | |" % (kind, skipped[kind]))
            continue
        big = results[kind, "big"]
        rss = lambda key: "%s (idle %s)" % (  # noqa: E731
            fmt(median(r[key][0] for r in big), "{:.1f}"), fmt(median(r[key][1] for r in big)))
        cpu = lambda what, unit: " / ".join(fmt(median(  # noqa: E731
            unit * r[key] / r["items"] for r in results[kind, what]), "{:.1f}")
            for key in ("server_cpu", "cpu"))
        print("| %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            kind, fmt(m(kind, "small", "rate")), fmt(m(kind, "unary", "rate")),
            fmt(ratio(results, (kind, "small"), (kind, "unary")), "{:.1f}×"),
            fmt(m(kind, "big", "rate") and m(kind, "big", "rate") * MIB / 1e6, "{:,.1f}"),
            rss("client_rss"), rss("server_rss"), cpu("small", 1e6), cpu("big", 1e3)))
        notes += capped_notes(kind, results, opts)
    if PYRO5 in skipped:
        print("\nPyro5 ITER_STREAMING: skipped (%s)" % skipped[PYRO5])
    else:
        print("\nPyro5 ITER_STREAMING, small items: %s items/s; sorvane-native ÷ Pyro5: %s"
              % (fmt(m(PYRO5, "small", "rate")),
                 fmt(ratio(results, ("sorvane-native", "small"), (PYRO5, "small")), "{:.1f}×")))
        notes += capped_notes(PYRO5, results, opts)
    for note in notes:
        print(note)


def capped_notes(kind, results, opts):
    notes = []
    for what, count in (("small", opts.small), ("big", opts.big)):
        runs = results.get((kind, what), [])
        if any(r["capped"] for r in runs):
            notes.append("note: %s's %s stream was capped at %.0f s in %d of %d rounds: %s of "
                         "%s items received (median); rates from what was received"
                         % (kind, what, opts.cap, sum(r["capped"] for r in runs), len(runs),
                            fmt(median(r["items"] for r in runs)), fmt(count)))
    return notes


if __name__ == "__main__":
    sys.exit(main())
