"""The same remote add(a, b) over loopback, sorvane beside other Python RPC systems.

Systems (--systems picks some):
  sorvane-grpcio  GrpcServer.run_background() and a grpc_service stub, both
                  processes with SORVANE_ENGINE=grpcio;
  sorvane-native  the same with SORVANE_ENGINE=native; "unavailable" when the
                  engine does not load, or the server is grpcio's (ignored);
  grpcio-bare     a plain grpcio handler that parses the CommonRequest's JSON
                  call description and answers a CommonResponse envelope; the
                  client, a raw grpcio callable sending json.dumps of it;
  pyro5           Pyro5 with default settings;
  rpyc            an rpyc.Service on a ThreadedServer; the client looks
                  conn.root.add up once, so that a call is one round trip;
  zerorpc         zerorpc.Server and zerorpc.Client;
  grpc-cpp        floor: gRPC's C++ sync echo server and client (64-byte
                  messages), built here with `pkg-config grpc++`, protoc and
                  grpc_cpp_plugin (Debian: libgrpc++-dev protobuf-compiler-grpc);
                  "unavailable" with the reason when they are missing;
  tcp-floor       floor: a 64-byte ping-pong on raw TCP in C++, built here with
                  g++; no RPC system can beat it.

The floors' C++ sources live in bench/floors/ and are built once into a cache
folder under the temporary directory (rebuilt when a source changes).

Each server runs in a process of its own on 127.0.0.1 and a free port for the
whole run. Each measurement is a fresh client process (engines are process-wide)
whose T threads call add(1, 2) back to back for --seconds after a warm-up,
checking every result. sorvane and grpcio-bare threads share the process's one
gRPC channel (as the registry does); Pyro5 proxies and rpyc connections are not
shared across threads, so each thread has its own; zerorpc is gevent-based, so
each thread makes its own zerorpc.Client on that thread's own gevent hub (no
monkey patching): T OS threads for every system.

A round measures every system once per thread count, in an order rotating from
round to round. Reported: medians over rounds of calls per second, of the server
process's CPU per call (utime + stime from /proc/PID/stat around the measured
window; clock-tick resolution) and of the client process's (getrusage); ratios
of calls per second taken per round, then medianed; the targets for
sorvane-native, PASS or FAIL.

    bench/setup-peers          # once: .venv-bench, where the children run (--python)
    python3 bench/bench_peers.py [--rounds 5] [--seconds 2] [--threads 1 8] [--quick]
    python3 bench/bench_peers.py --quick --systems sorvane-grpcio pyro5
    python3 bench/bench_peers.py --h2load     # h2load against the native and grpcio servers

Linux only (/proc).
"""
import argparse
import hashlib
import json
import os
import re
import resource
import select
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

SYSTEMS = ["sorvane-native", "sorvane-grpcio", "grpcio-bare", "pyro5", "rpyc", "zerorpc",
           "grpc-cpp", "tcp-floor"]
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORKERS = 10  # GrpcServer's default; the bare grpcio server gets the same
WARMUP = 100  # calls per client thread before the clock starts
PATH = "/common.CommonService/handle"
NATIVE, GRPCIO = "sorvane-native", "sorvane-grpcio"
PEERS = ["grpcio-bare", "pyro5", "rpyc", "zerorpc"]
FLOORS = ["grpc-cpp", "tcp-floor"]
FLOOR_SOURCES = os.path.join(ROOT, "bench", "floors")
FLOOR_BINARIES = {}  # floor -> built program, filled in by main()


def add(a, b):
    """The remote target: this script is __main__ in every server process."""
    return a + b


class Calc:
    """add as a method, for the peers that serve objects."""

    def add(self, a, b):
        return add(a, b)


# ---- servers (child processes) ------------------------------------------------

def forever(server):
    """Blocks for good, holding `server`: a gRPC server that is collected stops."""
    threading.Event().wait()


def serve_sorvane(port):
    from sorvane.corvex import GrpcServer
    server = GrpcServer("127.0.0.1", port)
    server.run_background()
    kind = type(server.rpc_server)
    if os.environ.get("SORVANE_ENGINE") == "native" and kind.__module__.split(".")[0] == "grpc":
        raise RuntimeError("SORVANE_ENGINE=native was ignored: the server is grpcio's %s.%s"
                           % (kind.__module__, kind.__name__))
    return lambda: forever(server)


def serve_grpcio_bare(port):
    from concurrent import futures
    import grpc
    import marvetta

    def handle(request, context):
        description = json.loads(request.request)
        result = add(*description["args"], **description["kwargs"])
        envelope = {"status": 0, "message": "", "excType": "", "result": result}
        return marvetta.CommonResponse(status=0, response=json.dumps(envelope).encode())

    handler = grpc.unary_unary_rpc_method_handler(
        handle, request_deserializer=marvetta.CommonRequest.FromString,
        response_serializer=marvetta.CommonResponse.SerializeToString)
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=WORKERS))
    server.add_generic_rpc_handlers(
        (grpc.method_handlers_generic_handler("common.CommonService", {"handle": handler}),))
    server.add_insecure_port("127.0.0.1:%d" % port)
    server.start()
    return lambda: forever(server)


def serve_pyro5(port):
    import Pyro5.api
    daemon = Pyro5.api.Daemon(host="127.0.0.1", port=port)
    daemon.register(Pyro5.api.expose(Calc), "bench")
    return daemon.requestLoop


def serve_rpyc(port):
    import rpyc
    from rpyc.utils.server import ThreadedServer
    service = type("CalcService", (rpyc.Service,), {"exposed_add": Calc.add})
    return ThreadedServer(service, hostname="127.0.0.1", port=port).start


def serve_zerorpc(port):
    import zerorpc
    server = zerorpc.Server(Calc())
    server.bind("tcp://127.0.0.1:%d" % port)
    return server.run


def server_main(kind, port):
    serve = {"sorvane-native": serve_sorvane, "sorvane-grpcio": serve_sorvane,
             "grpcio-bare": serve_grpcio_bare, "pyro5": serve_pyro5, "rpyc": serve_rpyc,
             "zerorpc": serve_zerorpc}[kind]
    loop = serve(port)
    # The parent closes our stdin to stop us, whatever loop the server runs.
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    print(json.dumps({"pid": os.getpid()}), flush=True)
    loop()


# ---- clients (child processes) ------------------------------------------------

def client_factory(kind, port):
    """Returns connect(): called once in each thread, it returns a remote add(a, b)."""
    if kind.startswith("sorvane"):
        from sorvane.corvex import Server, grpc_client, grpc_service
        grpc_client.load([Server("bench", "127.0.0.1", port)])
        remote_add = grpc_service("bench")(add)
        return lambda: remote_add
    if kind == "grpcio-bare":
        import uuid
        import grpc
        import marvetta
        channel = grpc.insecure_channel("127.0.0.1:%d" % port)
        handle = channel.unary_unary(PATH, request_serializer=marvetta.CommonRequest.SerializeToString,
                                     response_deserializer=marvetta.CommonResponse.FromString)

        def call(a, b):
            description = {"clazz": "__main__", "method": "add", "args": [],
                           "kwargs": {"a": a, "b": b}}
            reply = handle(marvetta.CommonRequest(
                request_id=uuid.uuid4().hex, serialize=3, request=json.dumps(description).encode()))
            return json.loads(reply.response)["result"]
        return lambda: call
    if kind == "pyro5":
        import Pyro5.api
        return lambda: Pyro5.api.Proxy("PYRO:bench@127.0.0.1:%d" % port).add
    if kind == "rpyc":
        import rpyc
        # One lookup per connection (the netref keeps it alive); a call is one round trip.
        return lambda: rpyc.connect("127.0.0.1", port).root.add
    if kind == "zerorpc":
        import zerorpc

        def connect():
            client = zerorpc.Client()
            client.connect("tcp://127.0.0.1:%d" % port)
            return client.add
        return connect
    raise ValueError(kind)


def one_line(error):
    return "%s: %s" % (type(error).__name__, " ".join(str(error).split())[:300])


def client_main(kind, port, threads, seconds):
    """Prints "ready" once every thread is warm, waits for a line on stdin, calls
    for `seconds` and prints one JSON line: calls, elapsed and CPU seconds."""
    connect = client_factory(kind, port)
    counts = [0] * threads
    ready, go, deadline, errors = threading.Barrier(threads + 1), threading.Event(), [0.0], []

    def worker(i):
        try:
            call = connect()
            for _ in range(WARMUP):
                if call(1, 2) != 3:
                    raise AssertionError("add(1, 2) did not return 3")
            ready.wait()
            go.wait()
            n, clock, end = 0, time.perf_counter, deadline[0]
            while clock() < end:
                if call(1, 2) != 3:
                    raise AssertionError("add(1, 2) did not return 3")
                n += 1
            counts[i] = n
        except threading.BrokenBarrierError:
            pass  # another thread failed; main reports it
        except Exception as e:
            errors.append(e)
            ready.abort()

    pool = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(threads)]
    for t in pool:
        t.start()
    try:
        ready.wait()
    except threading.BrokenBarrierError:
        raise SystemExit("%s client: %s" % (kind, one_line(errors[0])))
    print("ready", flush=True)
    sys.stdin.readline()
    cpu0, began = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    deadline[0] = began + seconds
    go.set()
    for t in pool:
        t.join()
    elapsed, cpu1 = time.perf_counter() - began, resource.getrusage(resource.RUSAGE_SELF)
    cpu = cpu1.ru_utime + cpu1.ru_stime - cpu0.ru_utime - cpu0.ru_stime
    if errors:
        raise SystemExit("%s client: %s" % (kind, one_line(errors[0])))
    from importlib import metadata
    distribution = {"grpcio-bare": "grpcio", "pyro5": "Pyro5"}.get(kind, kind.split("-")[0])
    print(json.dumps({"calls": sum(counts), "elapsed": elapsed, "cpu": cpu,
                      "version": metadata.version(distribution),
                      "python": sys.version.split()[0]}), flush=True)
    os._exit(0)  # no waiting on the peers' connection teardown


# ---- the parent ---------------------------------------------------------------

def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def child_env(kind):
    env = dict(os.environ, GRPC_VERBOSITY="ERROR", PYTHONUNBUFFERED="1")
    env.pop("SORVANE_ENGINE", None)
    if kind.startswith("sorvane-"):
        env["SORVANE_ENGINE"] = kind.split("-", 1)[1]
    return env


class Child:
    """A script (this one unless named) in another process; its stderr goes
    to a temporary file."""

    def __init__(self, python, kind, args, script=None):
        self.kind = kind
        self.stderr = tempfile.TemporaryFile()
        if kind in FLOORS:  # a floor program: same protocol, its own command line
            command = [FLOOR_BINARIES[kind]] + [a for a in args if not a.startswith("--")]
        else:
            command = [python, script or os.path.abspath(__file__)] + args
        self.proc = subprocess.Popen(
            command, env=child_env(kind), cwd=ROOT,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr,
            universal_newlines=True)

    def readline(self, timeout):
        """The child's next line; else RuntimeError with its last line of stderr."""
        # Children print one line and then wait for us, so nothing waits in a buffer.
        readable = select.select([self.proc.stdout], [], [], timeout)[0]
        line = self.proc.stdout.readline() if readable else ""
        if line:
            return line.strip()
        self.proc.kill()
        self.proc.wait()
        self.stderr.seek(0)
        words = self.stderr.read().decode("utf-8", "replace").strip().splitlines()
        raise RuntimeError(words[-1] if words else "no answer within %.0f s" % timeout)

    def timed(self, pid, timeout, ready_timeout=120, on_ready=None):
        """A client child's measured window: waits for its "ready", runs
        `on_ready`, lets it go and returns its JSON result, with the CPU
        seconds the server `pid` used meanwhile as "server_cpu"."""
        if self.readline(ready_timeout) != "ready":
            raise RuntimeError("unexpected output from the %s client" % self.kind)
        if on_ready is not None:
            on_ready()
        cpu0 = server_cpu(pid)
        self.proc.stdin.write("go\n")
        self.proc.stdin.flush()
        result = json.loads(self.readline(timeout))
        result["server_cpu"] = server_cpu(pid) - cpu0
        return result

    def stop(self):
        """Closes the child's stdin (its signal to exit), killing it after 5 s."""
        try:
            self.proc.stdin.close()
            self.proc.wait(5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.stderr.close()


def server_cpu(pid):
    """utime + stime of a process (all its threads), in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_server(python, kind, script=None):
    """A server of `kind` run by `script` (this one unless named) on a free
    port, taking connections: (its Child, the port, its pid)."""
    port = free_port()
    args = ["serve", str(port)] if kind in FLOORS else ["--serve", kind, "--port", str(port)]
    child = Child(python, kind, args, script)
    try:
        pid = json.loads(child.readline(60))["pid"]
        deadline = time.monotonic() + 10
        while True:  # the listener must take connections before any client runs
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or child.proc.poll() is not None:
                    raise RuntimeError("no listener on 127.0.0.1:%d" % port)
                time.sleep(0.05)
    except BaseException:
        child.stop()
        raise
    return child, port, pid


def child_options(parser):
    """The options every benchmark shares: --python (the children's
    interpreter), and the hidden ones a child is started with."""
    parser.add_argument("--python", help="interpreter for the children "
                        "(default: .venv-bench/bin/python if it exists, else this one)")
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    parser.add_argument("--client", help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)


def children_python(opts):
    """The children's interpreter: --python, else .venv-bench's, else this one."""
    venv = os.path.join(ROOT, ".venv-bench", "bin", "python")
    return opts.python or (venv if os.path.exists(venv) else sys.executable)


def measure(python, kind, port, pid, threads, seconds):
    """One client process, one measured window; returns a dict of results."""
    if kind in FLOORS:
        args = ["call", str(port), str(threads), str(seconds)]
    else:
        args = ["--client", kind, "--port", str(port), "--threads", str(threads),
                "--seconds", str(seconds)]
    client = Child(python, kind, args)
    try:
        result = client.timed(pid, seconds + 120)
    finally:
        client.stop()
    if not result["calls"]:
        raise RuntimeError("%s: no call completed in %.1f s" % (kind, seconds))
    result["rate"] = result["calls"] / result["elapsed"]
    return result


def build_floor(kind):
    """The floor's program, built with the C++ toolchain (cached by source
    digest); RuntimeError saying what is missing otherwise."""
    name = {"tcp-floor": "tcp_floor", "grpc-cpp": "grpc_floor"}[kind]
    sources = [os.path.join(FLOOR_SOURCES, f) for f in
               ("floor_common.hpp", name + ".cc") + (("echo.proto",) if kind == "grpc-cpp" else ())]
    digest = hashlib.sha256()
    for path in sources:
        with open(path, "rb") as f:
            digest.update(f.read())
    folder = os.path.join(tempfile.gettempdir(), "sorvane-bench-floors-" + digest.hexdigest()[:16])
    binary = os.path.join(folder, name)
    if os.path.exists(binary):
        return binary
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        raise RuntimeError("no C++ compiler (apt-get install g++)")
    os.makedirs(folder, exist_ok=True)
    command = [compiler, "-O2", "-std=c++17", "-I", FLOOR_SOURCES, "-I", folder,
               os.path.join(FLOOR_SOURCES, name + ".cc")]
    if kind == "grpc-cpp":
        plugin, protoc = shutil.which("grpc_cpp_plugin"), shutil.which("protoc")
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "grpc++", "protobuf"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               universal_newlines=True) if shutil.which("pkg-config") else None
        if not (plugin and protoc and flags and flags.returncode == 0):
            raise RuntimeError("gRPC C++ is not installed (apt-get install pkg-config "
                               "libgrpc++-dev protobuf-compiler-grpc); a floor, not a dependency")
        subprocess.run([protoc, "-I", FLOOR_SOURCES, "--cpp_out=" + folder, "--grpc_out=" + folder,
                        "--plugin=protoc-gen-grpc=" + plugin,
                        os.path.join(FLOOR_SOURCES, "echo.proto")], check=True)
        command += [os.path.join(folder, "echo.pb.cc"), os.path.join(folder, "echo.grpc.pb.cc")]
        command += flags.stdout.split()
    command += ["-pthread", "-o", binary + ".tmp"]
    print("building the %s floor ..." % kind, file=sys.stderr, flush=True)
    built = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True)
    if built.returncode != 0:
        raise RuntimeError("building %s failed: %s" % (name, built.stdout.strip()[-300:]))
    os.replace(binary + ".tmp", binary)
    return binary


def fmt(value, form="%.0f"):
    return "n/a" if value is None else form % value


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=2.0, help="measured time per slice")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 8])
    parser.add_argument("--systems", nargs="+", choices=SYSTEMS, default=SYSTEMS)
    parser.add_argument("--quick", action="store_true", help="2 rounds of 0.5 s")
    parser.add_argument("--python", help="interpreter for the children "
                        "(default: .venv-bench/bin/python if it exists, else this one)")
    parser.add_argument("--strict", action="store_true", help="exit status 1 if a target fails")
    parser.add_argument("--h2load", action="store_true",
                        help="instead: h2load (Debian nghttp2-client) against a native and a "
                        "grpcio sorvane server, calling add(1, 2)")
    parser.add_argument("--h2load-requests", type=int, default=50000)
    parser.add_argument("--h2load-clients", type=int, default=8)
    parser.add_argument("--h2load-streams", type=int, default=16,
                        help="concurrent streams per h2load connection")
    parser.add_argument("--request-bytes", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--check-request", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--serve", choices=SYSTEMS, help=argparse.SUPPRESS)
    parser.add_argument("--client", choices=SYSTEMS, help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.serve:
        return server_main(opts.serve, opts.port)
    if opts.client:
        return client_main(opts.client, opts.port, opts.threads[0], opts.seconds)
    if opts.request_bytes:
        return print_request_bytes()
    if opts.check_request:
        return check_request(opts.port)
    if opts.quick:
        opts.rounds, opts.seconds = 2, 0.5
    python = children_python(opts)
    if opts.h2load:
        return h2load_main(python, opts)
    systems = [s for s in SYSTEMS if s in opts.systems]
    servers, unavailable, probes = {}, {}, {}
    results = {(s, t): [] for s in systems for t in opts.threads}  # one dict per round
    try:
        for kind in systems:
            try:
                if kind in FLOORS:
                    FLOOR_BINARIES[kind] = build_floor(kind)
                servers[kind] = start_server(python, kind)
                probes[kind] = measure(python, kind, *servers[kind][1:], 1, 0.1)
            except RuntimeError as e:
                unavailable[kind] = str(e)
                if kind in servers:
                    servers.pop(kind)[0].stop()
        running = [s for s in systems if s in servers]
        print("python %s (%s), %d CPUs; %d rounds of %.1f s per system and thread count"
              % (next(iter(probes.values()), {}).get("python", "?"), python,
                 os.cpu_count() or 0, opts.rounds, opts.seconds))
        for s in running:
            print("  %-15s %-8s server pid %d on 127.0.0.1:%d"
                  % (s, probes[s]["version"], servers[s][2], servers[s][1]))
        for r in range(opts.rounds):
            order = running[r % len(running):] + running[:r % len(running)] if running else []
            for threads in opts.threads:
                for kind in order:
                    _, port, pid = servers[kind]
                    results[kind, threads].append(measure(python, kind, port, pid, threads,
                                                          opts.seconds))
            print("round %d/%d done" % (r + 1, opts.rounds), file=sys.stderr, flush=True)
    finally:
        for child, _, _ in servers.values():
            child.stop()
    failed = report(systems, opts.threads, results, unavailable)
    return 1 if failed and opts.strict else 0


def median_of(rounds, key):
    return statistics.median(key(r) for r in rounds) if rounds else None


def ratio(results, a, b, threads):
    """Median over rounds of a's calls/s over b's in the same round."""
    values = [x["rate"] / y["rate"] for x, y in zip(results.get((a, threads), []),
                                                    results.get((b, threads), []))]
    return statistics.median(values) if values else None


def row(*cells):
    print("| " + " | ".join(cells) + " |")


def report(systems, thread_counts, results, unavailable):
    """Prints the tables; returns True if a target failed."""
    per_call = lambda field: lambda r: 1e6 * r[field] / r["calls"]  # noqa: E731
    heads = ["%d thread%s" % (t, "s" * (t > 1)) for t in thread_counts]
    tcols = " / ".join(map(str, thread_counts))
    print()
    row("system", *["calls/s " + h for h in heads], "server CPU µs/call (%s thr)" % tcols,
        "client CPU µs/call (%s thr)" % tcols)
    row("---", *["---:"] * (len(thread_counts) + 2))
    server_cpu_of = {}
    for s in systems:
        if s in unavailable:
            row(s, *["unavailable"] * (len(thread_counts) + 2))
            continue
        runs = [results[s, t] for t in thread_counts]
        server_cpu_of[s] = [median_of(r, per_call("server_cpu")) for r in runs]
        row(s, *[fmt(median_of(r, lambda x: x["rate"])) for r in runs],
            " / ".join(map(fmt, server_cpu_of[s])),
            " / ".join(fmt(median_of(r, per_call("cpu"))) for r in runs))
    for s, reason in unavailable.items():
        print("\n%s unavailable: %s" % (s, reason))

    pairs = [(NATIVE, GRPCIO)] + [(s, p) for s in (NATIVE, GRPCIO) for p in PEERS + FLOORS]
    print()
    row("calls/s ratio (median of per-round ratios)", *heads)
    row("---", *["---:"] * len(thread_counts))
    for a, b in [(a, b) for a, b in pairs if a in systems and b in systems]:
        row("%s / %s" % (a, b), *[fmt(ratio(results, a, b, t), "%.2f×") for t in thread_counts])

    print()
    row("target", "measured", "verdict")
    row("---", "---:", "---")
    failed = False
    for other, threads, needed in [(GRPCIO, 1, 2.5), (GRPCIO, 8, 2.5), ("pyro5", 1, 1.0),
                                   ("pyro5", 8, 1.5)]:
        value = ratio(results, NATIVE, other, threads)
        missing = [s for s in (NATIVE, other) if s not in systems or s in unavailable]
        missing += ["%d threads" % threads] * (threads not in thread_counts)
        verdict = "PASS" if value is not None and value >= needed else "FAIL"
        if value is None:
            verdict += " (not measured: %s)" % ", ".join(missing or ["no rounds"])
        failed |= verdict != "PASS"
        row("%s ≥ %.1f× %s, %d thread%s" % (NATIVE, needed, other, threads, "s" * (threads > 1)),
            fmt(value, "%.2f×"), verdict)
    cpu = [v for v in server_cpu_of.get(NATIVE, []) if v is not None]
    verdict = "PASS" if cpu and max(cpu) <= 120 else "FAIL"
    verdict += "" if cpu else " (not measured: %s)" % NATIVE
    row("%s server CPU ≤ 120 µs/call, every thread count" % NATIVE,
        fmt(max(cpu) if cpu else None, "%.0f µs"), verdict)
    return failed or verdict != "PASS"


# ---- h2load -------------------------------------------------------------------

def request_body():
    """The serialized CommonRequest for add(1, 2)."""
    import marvetta
    description = {"clazz": "__main__", "method": "add", "args": [1, 2], "kwargs": {}}
    return marvetta.CommonRequest(request_id="h2load", serialize=3,
                                  request=json.dumps(description).encode()).SerializeToString()


def print_request_bytes():
    """Prints, in hex, one gRPC message: the CommonRequest for add(1, 2)."""
    body = request_body()
    print((struct.pack(">BI", 0, len(body)) + body).hex())


def check_request(port):
    """Sends h2load's request once through grpcio: the server must answer 3, since
    h2load itself counts HTTP statuses and never reads grpc-status."""
    import grpc
    import marvetta
    with grpc.insecure_channel("127.0.0.1:%d" % port) as channel:
        reply = marvetta.CommonResponse.FromString(channel.unary_unary(PATH)(request_body(),
                                                                             timeout=30))
    envelope = json.loads(reply.response)
    if envelope.get("result") != 3:
        raise SystemExit("the server did not answer add(1, 2) with 3: %r" % (envelope,))


def h2load_main(python, opts):
    """h2load's figures for a native and a grpcio sorvane server, one after the other."""
    h2load = shutil.which("h2load")
    if h2load is None:
        print("h2load is not installed (Debian: apt-get install nghttp2-client)", file=sys.stderr)
        return 1
    body = subprocess.run([python, os.path.abspath(__file__), "--request-bytes"], check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
    with tempfile.NamedTemporaryFile(suffix=".grpc") as data:
        data.write(bytes.fromhex(body))
        data.flush()
        print()
        row("server", "requests/s", "succeeded", "2xx", "server CPU µs/request")
        row("---", "---:", "---:", "---:", "---:")
        for kind in (NATIVE, GRPCIO):
            try:
                child, port, pid = start_server(python, kind)
            except RuntimeError as e:
                row(kind, "unavailable: %s" % e, "", "", "")
                continue
            try:
                checked = subprocess.run([python, os.path.abspath(__file__), "--check-request",
                                          "--port", str(port)], env=child_env(kind), timeout=60)
                if checked.returncode != 0:
                    row(kind, "no right answer to add(1, 2); not measured", "", "", "")
                    continue
                cpu0 = server_cpu(pid)
                out = subprocess.run(
                    [h2load, "-n", str(opts.h2load_requests), "-c", str(opts.h2load_clients),
                     "-m", str(opts.h2load_streams), "-d", data.name,
                     "-H", "content-type: application/grpc", "-H", "te: trailers",
                     "http://127.0.0.1:%d%s" % (port, PATH)],
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                    timeout=600).stdout
                cpu = server_cpu(pid) - cpu0
            finally:
                child.stop()
            rate = re.search(r"finished in [^,]+, ([\d.]+) req/s", out)
            done = re.search(r"requests: .*?(\d+) succeeded", out)
            codes = re.search(r"status codes: (\d+) 2xx", out)
            if not (rate and done and codes):
                row(kind, "h2load failed: " + " ".join(out.split())[-200:], "", "", "")
                continue
            row(kind, "%.0f" % float(rate.group(1)), done.group(1), codes.group(1),
                "%.1f" % (1e6 * cpu / max(1, int(done.group(1)))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
