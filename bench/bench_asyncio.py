"""Calls from one asyncio thread: sorvane's awaitable calls beside grpc.aio.

One client process runs one event loop on one thread with K calls in flight
(K coroutines calling add(1, 2) back to back, --inflight picks the K), for:
  sorvane-native  aio.call_rpc_result through the registry's stub, against a
                  GrpcServer, both with SORVANE_ENGINE=native;
  sorvane-grpcio  the same with SORVANE_ENGINE=grpcio;
  grpc-aio-bare   a grpc.aio server whose async handler parses the
                  CommonRequest's JSON call description and answers a
                  CommonResponse envelope, called through a grpc.aio channel
                  sending json.dumps of it (the same work, no sorvane);
and, for the targets, sorvane-native's blocking calls from 1 and 8 threads
(bench_peers.py's client). Servers, rounds, CPU figures and ratios work as in
bench_peers.py: each server in its own process on 127.0.0.1 for the whole
run, a fresh client process per measurement, systems in rotating order,
medians over rounds (ratios per round, then medianed).

    python3 bench/bench_asyncio.py [--rounds 5] [--seconds 2] [--inflight 1 8 64]

Linux only (/proc).
"""
import argparse
import asyncio
import json
import os
import resource
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_peers as peers  # noqa: E402

SYSTEMS = ["sorvane-native", "sorvane-grpcio", "grpc-aio-bare"]
BLOCKING = "sorvane-native blocking"
WARMUP = 200


def add(a, b):
    """The remote target: this script is __main__ in the server processes."""
    return a + b


# ---- servers ------------------------------------------------------------------

def serve_grpc_aio_bare(port):
    import grpc
    import marvetta

    async def handle(request, context):
        description = json.loads(request.request)
        result = add(*description["args"], **description["kwargs"])
        envelope = {"status": 0, "message": "", "excType": "", "result": result}
        return marvetta.CommonResponse(status=0, response=json.dumps(envelope).encode())

    async def main():
        server = grpc.aio.server()
        handler = grpc.unary_unary_rpc_method_handler(
            handle, request_deserializer=marvetta.CommonRequest.FromString,
            response_serializer=marvetta.CommonResponse.SerializeToString)
        server.add_generic_rpc_handlers(
            (grpc.method_handlers_generic_handler("common.CommonService", {"handle": handler}),))
        server.add_insecure_port("127.0.0.1:%d" % port)
        await server.start()
        await server.wait_for_termination()

    return lambda: asyncio.run(main())


def server_main(kind, port):
    import threading
    loop = serve_grpc_aio_bare(port) if kind == "grpc-aio-bare" else peers.serve_sorvane(port)
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    print(json.dumps({"pid": os.getpid()}), flush=True)
    loop()


# ---- clients ------------------------------------------------------------------

def call_factory(kind, port):
    """An async add(a, b) for `kind`, made on the running loop."""
    if kind.startswith("sorvane"):
        from sorvane.corvex import Server, grpc_client, grpc_service
        grpc_client.load([Server("bench", "127.0.0.1", port)])

        async def remote_add(a, b):
            ...

        remote_add.__module__ = "__main__"
        remote_add.__qualname__ = "add"
        return grpc_service("bench")(remote_add)
    import uuid
    import grpc
    import marvetta
    channel = grpc.aio.insecure_channel("127.0.0.1:%d" % port)
    handle = channel.unary_unary(peers.PATH,
                                 request_serializer=marvetta.CommonRequest.SerializeToString,
                                 response_deserializer=marvetta.CommonResponse.FromString)

    async def call(a, b):
        description = {"clazz": "__main__", "method": "add", "args": [],
                       "kwargs": {"a": a, "b": b}}
        reply = await handle(marvetta.CommonRequest(
            request_id=uuid.uuid4().hex, serialize=3, request=json.dumps(description).encode()))
        return json.loads(reply.response)["result"]
    return call


def client_main(kind, port, inflight, seconds):
    async def main():
        call = call_factory(kind, port)
        for _ in range(WARMUP):
            if await call(1, 2) != 3:
                raise AssertionError("add(1, 2) did not return 3")
        print("ready", flush=True)
        loop = asyncio.get_event_loop()
        await loop.run_in_executor(None, sys.stdin.readline)
        counts = [0] * inflight
        end = time.perf_counter() + seconds

        async def worker(i):
            n = 0
            while time.perf_counter() < end:
                if await call(1, 2) != 3:
                    raise AssertionError("add(1, 2) did not return 3")
                n += 1
            counts[i] = n

        cpu0, began = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
        await asyncio.gather(*[worker(i) for i in range(inflight)])
        elapsed, cpu1 = time.perf_counter() - began, resource.getrusage(resource.RUSAGE_SELF)
        cpu = cpu1.ru_utime + cpu1.ru_stime - cpu0.ru_utime - cpu0.ru_stime
        print(json.dumps({"calls": sum(counts), "elapsed": elapsed, "cpu": cpu}), flush=True)

    asyncio.run(main())
    os._exit(0)


# ---- the parent -----------------------------------------------------------------

# This script, run by the server and client children.
SCRIPT = os.path.abspath(__file__)


def start_server(python, kind):
    return peers.start_server(python, kind, SCRIPT)


def measure(python, kind, port, pid, inflight, seconds):
    client = peers.Child(python, kind, ["--client", kind, "--port", str(port), "--inflight",
                                        str(inflight), "--seconds", str(seconds)], SCRIPT)
    try:
        result = client.timed(pid, seconds + 120)
    finally:
        client.stop()
    result["rate"] = result["calls"] / result["elapsed"]
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    peers.child_options(parser)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--inflight", type=int, nargs="+", default=[1, 8, 64])
    ns = parser.parse_args()
    if ns.serve:
        return server_main(ns.serve, ns.port)
    if ns.client:
        return client_main(ns.client, ns.port, ns.inflight[0], ns.seconds)
    python = peers.children_python(ns)
    servers = {}
    try:
        for kind in SYSTEMS:
            servers[kind] = start_server(python, kind)
        print("%d rounds of %.1f s; python %s" % (ns.rounds, ns.seconds, python), flush=True)
        results = {}  # (system, K) -> [result per round]
        for r in range(ns.rounds):
            order = SYSTEMS[r % len(SYSTEMS):] + SYSTEMS[:r % len(SYSTEMS)]
            for kind in order:
                child, port, pid = servers[kind]
                for k in ns.inflight:
                    results.setdefault((kind, k), []).append(
                        measure(python, kind, port, pid, k, ns.seconds))
            _, port, pid = servers["sorvane-native"]
            for threads in (1, 8):
                results.setdefault((BLOCKING, threads), []).append(
                    peers.measure(python, "sorvane-native", port, pid, threads, ns.seconds))
            print("round %d/%d done" % (r + 1, ns.rounds), flush=True)
    finally:
        for child, _, _ in servers.values():
            child.stop()
    report(results, ns.inflight)


def median(values):
    return statistics.median(values) if values else float("nan")


def report(results, inflight):
    def per_call(res, key):
        return median([x[key] / x["calls"] * 1e6 for x in res])

    print("\n| system | in flight | calls/s | server CPU us/call | client CPU us/call |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for (kind, k), res in sorted(results.items(), key=lambda kv: (kv[0][0], kv[0][1])):
        label = "%s (%d thread%s)" % (kind, k, "" if k == 1 else "s") if kind == BLOCKING else kind
        print("| %s | %s | %.0f | %.0f | %.0f |" % (
            label, "-" if kind == BLOCKING else k, median([x["rate"] for x in res]),
            per_call(res, "server_cpu"), per_call(res, "cpu")))

    def ratio(a, b):
        pairs = zip(results.get(a, []), results.get(b, []))
        return median([x["rate"] / y["rate"] for x, y in pairs])

    print("\n| target | measured | verdict |")
    print("| --- | ---: | --- |")
    top = max(inflight)
    checks = [
        ("sorvane-native, %d in flight >= 3x grpc-aio-bare" % top,
         ratio(("sorvane-native", top), ("grpc-aio-bare", top)), 3.0),
        ("sorvane-native, %d in flight >= 1.2x its blocking 8 threads" % top,
         ratio(("sorvane-native", top), (BLOCKING, 8)), 1.2),
        ("sorvane-native, 1 in flight within 10% of its blocking call",
         ratio(("sorvane-native", 1), (BLOCKING, 1)), 0.9),
    ]
    for name, value, bound in checks:
        print("| %s | %.2fx | %s |" % (name, value, "PASS" if value >= bound else "FAIL"))


if __name__ == "__main__":
    main()
