"""Three replicas behind one registry entry: round_robin beside pick_first,
and calls while replicas are killed.

For each engine (client and servers alike), a client process starts three
``serve`` processes on 127.0.0.2, 127.0.0.3 and 127.0.0.4 (one port, all
loopback) and measures, from --threads threads calling ``add``:
  spread  calls/s under round_robin and pick_first, the order alternating
          from round to round (medians over --rounds of --seconds), and the
          share of calls each replica took (fewest / most);
  kill    --kill-seconds of calls under round_robin with wait_for_ready while
          one replica is killed (SIGKILL) every second, the one killed the
          second before started again: calls marked idempotent, then calls
          without the mark; failed calls and the longest call of each.

    python3 bench/bench_replicas.py [--engines native grpcio] [--rounds 3]
                                    [--seconds 2] [--threads 8] [--kill-seconds 10]

Linux only (several loopback addresses).
"""
import argparse
import collections
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOSTS = ("127.0.0.2", "127.0.0.3", "127.0.0.4")
TARGETS = '''\
import os


def add(a, b):
    return a + b


def pid():
    return os.getpid()
'''


def common_port():
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
    raise SystemExit("no port free on all of " + ", ".join(HOSTS))


class Replica:
    def __init__(self, folder, host, port, engine):
        self.args = [sys.executable, "-m", "sorvane", "serve", "replica_targets", "--host", host,
                     "--port", str(port), "--engine", engine, "--log-level", "WARNING"]
        self.folder = folder
        self.host, self.port = host, port
        self.proc = None

    def start(self):
        env = dict(os.environ, PYTHONPATH=self.folder)
        self.proc = subprocess.Popen(self.args, cwd=self.folder, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_listening(self, seconds=30.0):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                socket.create_connection((self.host, self.port), 0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise SystemExit("replica on %s:%d did not start" % (self.host, self.port))

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()


def load(call, threads, seconds, during=None):
    """Runs call() from `threads` threads for `seconds`; the results, the
    failures and the longest call, in seconds."""
    results, failures, longest = [], [], [0.0]
    stop = threading.Event()
    lock = threading.Lock()

    def run():
        mine, bad, worst = [], 0, 0.0
        while not stop.is_set():
            t0 = time.perf_counter()
            try:
                mine.append(call())
            except Exception:  # noqa: BLE001 - counted, not raised
                bad += 1
            worst = max(worst, time.perf_counter() - t0)
        with lock:
            results.extend(mine)
            failures.append(bad)
            longest[0] = max(longest[0], worst)

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for w in workers:
        w.start()
    if during:
        during(seconds)
    else:
        time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join()
    return results, sum(failures), longest[0]


def client(opts):
    """One engine's measurements, printed as JSON on the last line."""
    from sorvane.corvex import GrpcHelper, Server

    folder = tempfile.mkdtemp(prefix="sorvane-replicas-")
    with open(os.path.join(folder, "replica_targets.py"), "w") as f:
        f.write(TARGETS)
    port = common_port()
    replicas = [Replica(folder, host, port, opts.client) for host in HOSTS]
    try:
        for r in replicas:
            r.start()
        for r in replicas:
            r.wait_listening()

        spread = collections.defaultdict(list)
        for n in range(opts.rounds):
            order = ("round_robin", "pick_first") if n % 2 == 0 else ("pick_first",
                                                                       "round_robin")
            for policy in order:
                with Server("r", list(HOSTS), port, balance=policy, wait_for_ready=True) as stub:
                    for _ in range(200):  # connected, and warm
                        GrpcHelper.call_rpc_result(stub, "replica_targets", "pid")
                    pids, failed, _ = load(
                        lambda: GrpcHelper.call_rpc_result(stub, "replica_targets", "pid"),
                        opts.threads, opts.seconds)
                counts = collections.Counter(pids)
                shares = [counts.get(p, 0) / max(1, len(pids)) for p in
                          sorted(counts, key=counts.get)] + [0.0] * (3 - len(counts))
                spread[policy].append({"rate": len(pids) / opts.seconds, "failed": failed,
                                       "least": min(shares), "most": max(shares)})

        kill = {}
        for marked in (True, False):
            def killer(seconds):
                end = time.monotonic() + seconds
                i = 0
                while time.monotonic() < end:
                    time.sleep(1.0)
                    back = replicas[(i - 1) % 3]
                    if back.proc.poll() is not None:  # killed a second ago: started again
                        back.start()
                    replicas[i % 3].kill()
                    i += 1
                for r in replicas:
                    if r.proc.poll() is not None:
                        r.start()
                for r in replicas:
                    r.wait_listening()

            with Server("r", list(HOSTS), port, balance="round_robin",
                        wait_for_ready=True) as stub:
                for _ in range(200):
                    GrpcHelper.call_rpc_result(stub, "replica_targets", "pid")
                done, failed, longest = load(
                    lambda: GrpcHelper.call_rpc_result(stub, "replica_targets", "add", [1, 2],
                                                       timeout=30, idempotent=marked),
                    opts.threads, opts.kill_seconds, during=killer)
            kill["idempotent" if marked else "unmarked"] = {
                "calls": len(done), "failed": failed, "longest": longest}
    finally:
        for r in replicas:
            r.kill()
        shutil.rmtree(folder, ignore_errors=True)
    print(json.dumps({"spread": spread, "kill": kill}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--engines", nargs="+", default=["native", "grpcio"])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--kill-seconds", type=float, default=10.0)
    parser.add_argument("--client", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.client:
        return client(opts)

    print("three replicas, %d client threads, %d rounds of %g s; kill: one replica a second "
          "for %g s" % (opts.threads, opts.rounds, opts.seconds, opts.kill_seconds))
    print("%-8s %-12s %10s %8s %8s" % ("engine", "policy", "calls/s", "least", "most"))
    kills = []
    for engine in opts.engines:
        args = [sys.executable, os.path.abspath(__file__), "--client", engine,
                "--rounds", str(opts.rounds), "--seconds", str(opts.seconds),
                "--threads", str(opts.threads), "--kill-seconds", str(opts.kill_seconds)]
        env = dict(os.environ, SORVANE_ENGINE=engine)
        out = subprocess.run(args, env=env, stdout=subprocess.PIPE, check=True,
                             encoding="utf-8").stdout
        result = json.loads(out.strip().splitlines()[-1])
        rates = {}
        for policy in ("round_robin", "pick_first"):
            rounds = result["spread"][policy]
            rates[policy] = statistics.median(r["rate"] for r in rounds)
            print("%-8s %-12s %10.0f %7.0f%% %7.0f%%" % (
                engine, policy, rates[policy],
                100 * statistics.median(r["least"] for r in rounds),
                100 * statistics.median(r["most"] for r in rounds)))
        print("%-8s round_robin / pick_first: %.2fx" % (
            engine, rates["round_robin"] / rates["pick_first"]))
        kills.append((engine, result["kill"]))
    print()
    print("%-8s %-11s %8s %8s %12s" % ("engine", "calls", "made", "failed", "longest (s)"))
    for engine, kill in kills:
        for kind in ("idempotent", "unmarked"):
            k = kill[kind]
            print("%-8s %-11s %8d %8d %12.2f" % (engine, kind, k["calls"], k["failed"],
                                                  k["longest"]))


if __name__ == "__main__":
    main()
