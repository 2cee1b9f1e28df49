"""Throughput of ``python -m sorvane serve --processes K`` under a CPU-bound load.

Starts the server on 127.0.0.1 with K = 1, then K = 2 (or the --processes
given), and drives it with the same load each time: --clients threads, each
with its own connection (so that the kernel can hand connections to different
server processes), each calling a pure-Python loop of --work iterations back
to back for --seconds. Prints calls per second, how the calls spread over the
server processes, and the speed-up over the first K.

    python bench/bench_processes.py                  # K = 1 and K = 2
    python bench/bench_processes.py --processes 1 2 4 --seconds 10

Linux only (processes share the port through SO_REUSEPORT). Needs the
package installed (pip install .).
"""

import argparse
import collections
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

import grpc

import brindlow
from sorvane.corvex import GrpcHelper

TARGET = '''\
import os


def work(n):
    """Burns CPU in pure Python; returns the pid of the process that did it."""
    total = 0
    for i in range(n):
        total += i * i
    return os.getpid()
'''


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """``python -m sorvane serve benchtarget --processes K`` on a free port."""

    def __init__(self, folder, processes, workers):
        self.port = free_port()
        env = dict(os.environ, PYTHONPATH=folder, PYTHONUNBUFFERED="1")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "sorvane", "serve", "benchtarget", "--port", str(self.port),
             "--processes", str(processes), "--workers", str(workers)],
            cwd=folder, env=env, stderr=subprocess.PIPE, universal_newlines=True)
        started = 0
        deadline = time.monotonic() + 60
        while started < processes:
            line = self.proc.stderr.readline()
            if not line or time.monotonic() > deadline:
                self.stop()
                raise SystemExit("server did not start")
            if re.search(r"grpc server running", line):
                started += 1
        # Keep draining its output so that it never blocks on a full pipe.
        threading.Thread(target=self.proc.stderr.read, daemon=True).start()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(60)


def drive(port, clients, work, seconds):
    """Calls work(`work`) from `clients` threads for `seconds`; returns the pids seen."""
    pids = collections.Counter()
    lock = threading.Lock()
    channels = [grpc.insecure_channel("127.0.0.1:%d" % port,
                                      options=[("grpc.use_local_subchannel_pool", 1)])
                for _ in range(clients)]
    stubs = [brindlow.CommonServiceStub(c) for c in channels]
    for stub in stubs:  # connect every channel before the clock starts
        GrpcHelper.call_rpc_result(stub, "benchtarget", "work", args=[1])
    start = threading.Event()
    deadline = []

    def client(stub):
        seen = collections.Counter()
        start.wait()
        while time.monotonic() < deadline[0]:
            seen[GrpcHelper.call_rpc_result(stub, "benchtarget", "work", args=[work])] += 1
        with lock:
            pids.update(seen)

    threads = [threading.Thread(target=client, args=(s,)) for s in stubs]
    for t in threads:
        t.start()
    began = time.monotonic()
    deadline.append(began + seconds)
    start.set()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - began
    for c in channels:
        c.close()
    return pids, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--processes", type=int, nargs="+", default=[1, 2], metavar="K")
    parser.add_argument("--clients", type=int, default=16, help="client connections (16)")
    parser.add_argument("--work", type=int, default=200000,
                        help="loop iterations per call (200000, some 10-20 ms)")
    parser.add_argument("--seconds", type=float, default=5.0, help="measured time per K (5)")
    parser.add_argument("--workers", type=int, default=10, help="threads per server process")
    ns = parser.parse_args()
    if not sys.platform.startswith("linux"):
        raise SystemExit("--processes above 1 needs Linux")

    print("python %s, %d CPUs, %d clients, work %d per call, %.0f s per run"
          % (sys.version.split()[0], os.cpu_count() or 0, ns.clients, ns.work, ns.seconds))
    print("%-9s %7s %9s  %s" % ("processes", "calls", "calls/s", "calls per server process"))
    first = None
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "benchtarget.py"), "w") as f:
            f.write(TARGET)
        for k in ns.processes:
            server = Server(folder, k, ns.workers)
            try:
                drive(server.port, ns.clients, ns.work, 1.0)  # warm up
                pids, elapsed = drive(server.port, ns.clients, ns.work, ns.seconds)
            finally:
                server.stop()
            calls = sum(pids.values())
            rate = calls / elapsed
            first = first or rate
            spread = " ".join(str(n) for _, n in pids.most_common())
            print("%-9d %7d %9.1f  %s   (x%.2f)" % (k, calls, rate, spread, rate / first))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
