"""End-to-end cost of a decorated remote call, beside the limit of gRPC itself.

Two servers run in their own processes on 127.0.0.1:
  - corvex: a GrpcServer dispatching to the function add(a, b) of this script;
  - bare:   a plain grpcio server whose handler returns one prebuilt
            CommonResponse (no dispatch, no JSON), the limit of what any client
            can get from gRPC on this machine.
The client (this process) calls the corvex server through a grpc_service stub
(add(1, b=2)) and the bare server through a raw grpcio callable with a prebuilt
CommonRequest, in alternating slices (so that both see the same machine), with
1 and with 8 threads. It prints, per case, the best slice's calls per second
with its p50 and p99 latency, the client process's CPU time per call (median
over the slices; less sensitive to other load on the machine than time), and the decorated call's share of the limit's
throughput: best against best, and the median over the rounds of neighbouring
slices. A third case, the raw client calling the GrpcServer, shows how much of
the difference is the server's. Last, the client-side cost of one decorated call when the
stub answers at once in-process (no network, no server).

    python bench/bench_client.py [--seconds S] [--rounds R] [--threads 1 8]

Needs the package installed (pip install .).
"""
import argparse
import json
import os
import statistics
import socket
import subprocess
import sys
import threading
import time
import timeit
from concurrent import futures

os.environ.setdefault("GRPC_VERBOSITY", "ERROR")  # no INFO lines from gRPC's core

import grpc

import brindlow
import marvetta
from sorvane import corvex
from sorvane.corvex import GrpcServer, Server, grpc_service

PATH = "/common.CommonService/handle"
MAX = 268435456
OPTIONS = [("grpc.max_send_message_length", MAX), ("grpc.max_receive_message_length", MAX)]
ENVELOPE = {"status": 0, "message": "", "excType": "", "result": 3}


def add(a, b=2):
    """The remote target (this script is __main__ in the server process too)."""
    return a + b


# ---- servers ----------------------------------------------------------------

def serve_corvex(port, workers):
    server = GrpcServer("127.0.0.1", port, max_workers=workers)
    server.run_background()
    return server.rpc_server


def serve_bare(port, workers):
    reply = marvetta.CommonResponse(
        status=0, response=json.dumps(ENVELOPE, ensure_ascii=False).encode())
    handler = grpc.unary_unary_rpc_method_handler(
        lambda request, context: reply,
        request_deserializer=marvetta.CommonRequest.FromString,
        response_serializer=marvetta.CommonResponse.SerializeToString)
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=workers), options=OPTIONS)
    server.add_generic_rpc_handlers(
        (grpc.method_handlers_generic_handler("common.CommonService", {"handle": handler}),))
    server.add_insecure_port("127.0.0.1:%d" % port)
    server.start()
    return server


def server_main(kind, port, workers):
    server = (serve_corvex if kind == "corvex" else serve_bare)(port, workers)
    print("ready", flush=True)
    sys.stdin.read()  # until the parent closes our stdin
    server.stop(0)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(kind, workers):
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--serve", kind, str(port), str(workers)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True)
    if proc.stdout.readline().strip() != "ready":
        proc.kill()
        raise RuntimeError("%s server did not start" % kind)
    return proc, port


# ---- load -------------------------------------------------------------------

def run_load(call, threads, seconds):
    """Calls `call` from `threads` threads for `seconds`; returns (calls/s,
    latencies, this process's CPU seconds per call)."""
    for _ in range(200):  # warm the channel up
        call()
    latencies = [[] for _ in range(threads)]
    start_line = threading.Barrier(threads + 1)
    deadline = [0.0]

    def worker(mine):
        start_line.wait()
        clock = time.perf_counter
        end = deadline[0]
        while True:
            t0 = clock()
            call()
            t1 = clock()
            mine.append(t1 - t0)
            if t1 >= end:
                break

    pool = [threading.Thread(target=worker, args=(latencies[i],)) for i in range(threads)]
    for t in pool:
        t.start()
    began = time.perf_counter()
    cpu_began = time.process_time()
    deadline[0] = began + seconds
    start_line.wait()
    for t in pool:
        t.join()
    elapsed = time.perf_counter() - began
    cpu = time.process_time() - cpu_began
    merged = sorted(x for per_thread in latencies for x in per_thread)
    return len(merged) / elapsed, merged, cpu / len(merged)


def percentile(sorted_values, p):
    return sorted_values[min(len(sorted_values) - 1, int(p / 100.0 * len(sorted_values)))]


def client_side_cost(number):
    """Microseconds per decorated call with a stub that answers at once."""
    reply = marvetta.CommonResponse(status=0, response=json.dumps(ENVELOPE).encode())

    class AtOnce:
        def handle(self, request):
            return reply

    corvex.grpc_client.stubs["bench-in-process"] = AtOnce()
    stub = grpc_service("bench-in-process")(add)
    raw = AtOnce()
    request = marvetta.CommonRequest(request=b"{}", serialize=3, request_id="r")
    best = lambda fn: min(timeit.repeat(fn, number=number, repeat=5)) / number * 1e6  # noqa: E731
    return best(lambda: stub(1, b=2)), best(lambda: raw.handle(request))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 8])
    parser.add_argument("--workers", type=int, default=10)
    parser.add_argument("--number", type=int, default=50000)
    parser.add_argument("--serve", nargs=3, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.serve:
        server_main(opts.serve[0], int(opts.serve[1]), int(opts.serve[2]))
        return

    corvex_proc, corvex_port = start_server("corvex", opts.workers)
    bare_proc, bare_port = start_server("bare", opts.workers)
    channel = None
    try:
        corvex.grpc_client.load([Server("bench", "127.0.0.1", corvex_port)])
        decorated = grpc_service("bench")(add)
        assert decorated(1, b=2) == 3

        channel = grpc.insecure_channel("127.0.0.1:%d" % bare_port, options=OPTIONS)
        raw = channel.unary_unary(PATH, request_serializer=marvetta.CommonRequest.SerializeToString,
                                  response_deserializer=marvetta.CommonResponse.FromString)
        request = marvetta.CommonRequest(
            request=b'{"clazz": "__main__", "method": "add", "args": [], '
                    b'"kwargs": {"a": 1, "b": 2}}',
            serialize=3, request_id="0123456789abcdef0123456789abcdef")
        raw_call = lambda: raw(request)  # noqa: E731
        decorated_call = lambda: decorated(1, b=2)  # noqa: E731
        # The same raw client against the GrpcServer: separates the server's
        # share of the difference from the client's.
        corvex_stub = corvex.grpc_client.connect("bench")
        raw_to_corvex_call = lambda: corvex_stub.handle(request)  # noqa: E731

        print("python %s, grpcio %s, %d CPUs; %d rounds of %.1f s per case"
              % (sys.version.split()[0], grpc.__version__, os.cpu_count(), opts.rounds,
                 opts.seconds))
        print("%-8s %-22s %10s %9s %9s %14s" % ("threads", "client", "calls/s", "p50 us", "p99 us",
                                                "client CPU us"))
        cases = (("raw grpcio (limit)", raw_call), ("decorated grpc_service", decorated_call),
                 ("raw grpcio->GrpcServer", raw_to_corvex_call))
        for threads in opts.threads:
            best, ratios, cpu = {}, [], {name: [] for name, _ in cases}
            for round_number in range(opts.rounds):
                rates = {}
                order = cases if round_number % 2 == 0 else cases[::-1]  # drift hits both
                for name, call in order:
                    rate, lat, cpu_per_call = run_load(call, threads, opts.seconds)
                    rates[name] = rate
                    cpu[name].append(cpu_per_call)
                    if name not in best or rate > best[name][0]:
                        best[name] = (rate, percentile(lat, 50) * 1e6, percentile(lat, 99) * 1e6)
                ratios.append(rates[cases[1][0]] / rates[cases[0][0]])
            for name, _ in cases:
                rate, p50, p99 = best[name]
                print("%-8d %-22s %10.0f %9.1f %9.1f %14.1f" % (
                    threads, name, rate, p50, p99, 1e6 * statistics.median(cpu[name])))
            share = best[cases[1][0]][0] / best[cases[0][0]][0]
            print("%-8d decorated / limit: %.1f%% best against best, %.1f%% median of rounds"
                  % (threads, 100 * share, 100 * statistics.median(ratios)))
            print("%-8d raw client to the GrpcServer / limit: %.1f%%"
                  % (threads, 100 * best[cases[2][0]][0] / best[cases[0][0]][0]))
    finally:
        if channel is not None:
            channel.close()
        for proc in (corvex_proc, bare_proc):
            proc.stdin.close()
            proc.wait(10)

    per_call, stub_alone = client_side_cost(opts.number)
    print("client side, in-process stub answering at once: %.2f us per decorated call "
          "(the stub's own handle: %.2f us)" % (per_call, stub_alone))


if __name__ == "__main__":
    main()
