"""Instructions per call of the server path and of the client path, under callgrind.

A decorated remote call add(1, b=2) on one engine, server and client in their own
processes on 127.0.0.1. Each side is run under valgrind's callgrind twice, once
for a small and once for a large number of calls (the other side runs plainly);
the difference of the two totals over the difference of the two counts is that
side's cost of one call, start-up and shut-down cancelling out. Everything the
process executes counts: the engine's threads, the GIL hand-offs, Python.

    python3 bench/bench_instructions.py [--engine native] [--calls 300 1300] [--side server client]

Needs valgrind and the package installed (pip install .). Takes a few minutes.
"""
import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import time


def add(a, b=2):
    """The remote target (this script is __main__ in the server process too)."""
    return a + b


def serve(port):
    from sorvane.corvex import GrpcServer
    server = GrpcServer("127.0.0.1", port)
    server.run_background()
    print("ready", flush=True)
    sys.stdin.read()  # until the parent closes our stdin
    server.rpc_server.stop(0)


def call(port, count):
    from sorvane.corvex import Server, grpc_client, grpc_service
    grpc_client.load([Server("bench", "127.0.0.1", port)])
    remote_add = grpc_service("bench")(add)
    for _ in range(count):
        if remote_add(1, b=2) != 3:
            raise SystemExit("wrong result")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def command(valgrind, out, *args):
    me = [sys.executable, os.path.abspath(__file__)] + [str(a) for a in args]
    if not valgrind:
        return me
    return ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--quiet"] + me


def total(out):
    with open(out) as f:
        for line in f:
            m = re.match(r"(?:summary|totals):\s*(\d+)", line)
            if m:
                return int(m.group(1))
    raise RuntimeError("no total in " + out)


def measure(side, count, env, folder):
    """Instructions the `side` process executed for `count` calls."""
    out = os.path.join(folder, "%s-%d.out" % (side, count))
    port = free_port()
    server = subprocess.Popen(command(side == "server", out, "--serve", port),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              universal_newlines=True, env=env)
    try:
        if server.stdout.readline().strip() != "ready":
            raise RuntimeError("the server did not start")
        subprocess.run(command(side == "client", out, "--call", port, count), env=env,
                       check=True, timeout=1800)
    finally:
        server.stdin.close()
        server.wait(timeout=600)
    return total(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serve", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--call", type=int, nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--engine", default="native", choices=["native", "grpcio"])
    parser.add_argument("--calls", type=int, nargs=2, default=[300, 1300])
    parser.add_argument("--side", nargs="+", default=["server", "client"],
                        choices=["server", "client"])
    parser.add_argument("--keep", metavar="FOLDER",
                        help="leave callgrind's files there (for callgrind_annotate)")
    ns = parser.parse_args()
    if ns.serve:
        return serve(ns.serve)
    if ns.call:
        return call(*ns.call)
    env = dict(os.environ, SORVANE_ENGINE=ns.engine, GRPC_VERBOSITY="ERROR")
    small, large = ns.calls
    with tempfile.TemporaryDirectory() as scratch:
        folder = ns.keep or scratch
        for side in ns.side:
            began = time.time()
            low = measure(side, small, env, folder)
            high = measure(side, large, env, folder)
            print("%-6s %-7s %9.0f instructions per call  (%d..%d calls, %.0f s)"
                  % (ns.engine, side, (high - low) / (large - small), small, large,
                     time.time() - began), flush=True)


if __name__ == "__main__":
    main()
