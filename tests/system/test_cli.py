"""The command line: ``python -m sorvane serve`` and ``python -m sorvane call``."""

import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time

import grpc
import pytest

import brindlow
from conftest import free_port, package_definitions
from processes import ServeProcess, process_exists, run_cli, wait_gone, write_targets
from sorvane import cli, engine
from sorvane.corvex import GrpcHelper

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="port sharing between processes is Linux's SO_REUSEPORT")


def assert_one_line_error(proc):
    """A failed command: one line on stderr, no traceback."""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert "Traceback" not in proc.stderr
    return lines[0]


# -- the command line alone -------------------------------------------------


@pytest.mark.parametrize("args, usage", [
    ([], "usage: python -m sorvane [-h]"),
    (["serve"], "usage: python -m sorvane serve"),
    (["call"], "usage: python -m sorvane call"),
    (["health"], "usage: python -m sorvane health"),
    (["list"], "usage: python -m sorvane list"),
])
def test_help_on_every_command(tmp_path, args, usage):
    proc = run_cli(args + ["--help"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(usage)
    assert proc.stderr == ""


def test_installed_console_script(tmp_path):
    script = os.path.join(os.path.dirname(sys.executable), "sorvane")
    proc = subprocess.run([script, "call", "--help"], cwd=str(tmp_path), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "HOST:PORT" in proc.stdout


# Modules whose loss a command line's help must survive: the framework and
# its native parts.
FRAMEWORK = ("grpc", "google.protobuf", "marvetta", "brindlow", "sorvane.corvex",
             "sorvane._native")

HELP_WITHOUT_FRAMEWORK = """\
import sys
for name in %r:
    sys.modules[name] = None  # importing it raises ImportError
from sorvane import cli, engine
for command in ([], ["serve"], ["call"], ["health"], ["list"]):
    try:
        cli.main(command + ["--help"])
    except SystemExit as e:
        print("exit", e.code)
"""


@pytest.mark.engine_free
def test_help_works_where_the_framework_cannot_load(tmp_path):
    """No module of the command line imports the framework before a command
    runs: --help of every command works with grpc and the native modules
    unimportable."""
    proc = subprocess.run([sys.executable, "-c", HELP_WITHOUT_FRAMEWORK % (FRAMEWORK,)],
                          cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert (proc.returncode, proc.stderr) == (0, "")
    for usage in ("python -m sorvane [-h]", "python -m sorvane serve", "python -m sorvane call",
                  "python -m sorvane health", "python -m sorvane list"):
        assert "usage: " + usage in proc.stdout
    assert proc.stdout.count("exit 0\n") == 5, proc.stdout


@pytest.mark.engine_free
def test_every_name_of_the_command_line_modules_is_the_packages():
    """What a module of sorvane.cli defines is sorvane.cli's own same object
    (a name defined in two modules is one object: one constant, one logger)."""
    definitions = package_definitions(cli)
    modules = {module.__name__ for module, _ in definitions}
    assert {"sorvane.cli." + name for name in ("client", "parser", "serve", "supervisor")} <= modules
    for module, name in definitions:
        assert getattr(cli, name) is getattr(module, name), (module.__name__, name)


def test_serve_help_tells_what_is_exposed(tmp_path):
    text = " ".join(run_cli(["serve", "--help"], tmp_path).stdout.split())
    assert "The default host is 127.0.0.1" in text
    if cli.have_guard():
        assert "Only the listed modules are exposed" in text
    else:
        assert "not a security boundary" in text


@pytest.mark.parametrize("args, message", [
    ([], "choose a command"),
    (["frobnicate"], "invalid choice"),
    (["serve"], "MODULE"),
    (["serve", "m", "--port", "0"], "port out of range"),
    (["serve", "m", "--port", "http"], "not a port number"),
    (["serve", "m", "--workers", "0"], "must be at least 1"),
    (["serve", "m", "--processes", "two"], "not an integer"),
    (["serve", "m", "--log-level", "LOUD"], "choose from DEBUG"),
    (["call", "127.0.0.1:6565"], "MODULE:PATH"),
    (["health", "127.0.0.1"], "expected HOST:PORT"),
    (["health", "127.0.0.1:6565", "--timeout", "0"], "positive number of seconds"),
    (["list"], "HOST:PORT"),
    (["list", "127.0.0.1:6565", "--tls-cert", "c.pem"], "go together"),
    (["serve", "m", "--metrics-port", "0"], "port out of range"),
    (["call", "127.0.0.1", "m:f"], "expected HOST:PORT"),
    (["call", "127.0.0.1:99999", "m:f"], "port out of range"),
    (["call", "127.0.0.1:6565", "m.f"], "expected MODULE:PATH"),
    (["call", "127.0.0.1:6565", "m:"], "expected MODULE:PATH"),
    (["call", "127.0.0.1:6565", ":f"], "expected MODULE:PATH"),
    (["call", "127.0.0.1:6565", "m:f", "--kwargs", "{a: 1}"], "--kwargs is not JSON"),
    (["call", "127.0.0.1:6565", "m:f", "--kwargs", "[1]"], "must be a JSON object"),
    (["call", "127.0.0.1:6565", "m:f", "--timeout", "0"], "positive number of seconds"),
    (["serve", "m", "--max-queued-calls", "-1"], "must be 0 or more"),
    (["serve", "m", "--max-queued-bytes", "lots"], "not an integer"),
    (["serve", "m", "--request-wait", "0"], "positive number of seconds"),
])
def test_usage_errors_are_one_line_with_status_2(tmp_path, args, message):
    proc = run_cli(args, tmp_path)
    assert proc.returncode == cli.EXIT_USAGE
    line = assert_one_line_error(proc)
    assert "error: " in line and message in line, line
    assert proc.stdout == ""


@pytest.mark.parametrize("text, value", [
    ("5", 5), ("-2.5", -2.5), ("true", True), ("null", None), ('"5"', "5"),
    ("[1, 2]", [1, 2]), ('{"a": [null]}', {"a": [None]}),
    ("hello", "hello"), ("", ""), ("5 apples", "5 apples"), ("{a: 1}", "{a: 1}"),
    ("héllo wörld", "héllo wörld"),
])
def test_each_argument_is_json_or_else_text(text, value):
    assert cli.parse_arg(text) == value


@pytest.mark.parametrize("text, parts", [
    ("127.0.0.1:6565", ("127.0.0.1", 6565)),
    ("localhost:1", ("localhost", 1)),
    ("[::1]:6565", ("[::1]", 6565)),
])
def test_address_splits_at_the_last_colon(text, parts):
    assert cli.parse_address(text) == parts


@pytest.mark.parametrize("text, parts", [
    ("m:f", ("m", "f")),
    ("pkg.mod:Class.method", ("pkg.mod", "Class.method")),
])
def test_target_splits_module_from_attribute_path(text, parts):
    assert cli.parse_target(text) == parts


def test_fallback_clazz_handler_admits_only_the_listed_modules():
    handler = cli.only_modules(["app.calc", "app.text"])
    assert handler("app.calc") == "app.calc"
    assert handler("app.text") == "app.text"
    for clazz in ("app", "app.calc.sub", "os", "", None, ["app.calc"], 3):
        with pytest.raises(LookupError):
            handler(clazz)


# -- serve and call against a real server -----------------------------------


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """One server for the call tests: (folder, address, its ServeProcess)."""
    folder = tmp_path_factory.mktemp("served")
    module = write_targets(folder)
    port = free_port()
    server = ServeProcess([module, "--port", str(port), "--log-level", "DEBUG"], folder)
    try:
        address = server.wait_started()[0]
        yield folder, address, server
    finally:
        assert server.stop() == 0, server.output


def call(served, *args):
    folder, address, _ = served
    return run_cli(["call", address] + list(args), folder)


@pytest.mark.parametrize("args, result", [
    (["targets:add", "2", "3"], 5),
    (["targets:add", "hello", " world"], "hello world"),
    (["targets:add", "[1]", "[2, 3]"], [1, 2, 3]),
    (["targets:add", "2", "--kwargs", '{"b": 40}'], 42),
    (["targets:echo", "5", "text", '"5"', "null", "--kwargs", '{"k": {"x": true}}'],
     [[5, "text", "5", None], {"k": {"x": True}}]),
    (["targets:Greeter.hello", "bob", "--kwargs", '{"punctuation": "?"}'], "hello, bob?"),
    (["targets:nothing"], None),
    (["targets:later", "7"], 7),
])
def test_call_prints_the_result_as_json(served, args, result):
    proc = call(served, *args)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert proc.stdout.endswith("\n") and proc.stdout.count("\n") == 1
    assert json.loads(proc.stdout) == result


def test_call_prints_a_streamed_result_one_item_a_line(served):
    proc = call(served, "targets:count", "3", "--stream")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ['{"i": 0}', '{"i": 1}', '{"i": 2}']
    proc = call(served, "targets:div", "1", "0", "--stream")  # raises before any item
    assert proc.returncode == cli.EXIT_ERROR and proc.stdout == ""
    assert assert_one_line_error(proc) == "remote ZeroDivisionError: division by zero"
    proc = call(served, "targets:count", "2")  # unary: JSON cannot carry a generator
    assert proc.returncode == cli.EXIT_FAILED


def test_call_prints_non_ascii_text_as_itself(served):
    proc = call(served, "targets:add", "größe ", "東京")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == '"größe 東京"\n'


def test_call_reports_a_remote_exception_with_status_1(served):
    proc = call(served, "targets:div", "1", "0")
    assert proc.returncode == cli.EXIT_ERROR
    assert proc.stdout == ""
    assert assert_one_line_error(proc) == "remote ZeroDivisionError: division by zero"


def test_call_reports_a_bad_argument_list_as_a_remote_type_error(served):
    proc = call(served, "targets:add", "1", "2", "3")
    assert proc.returncode == cli.EXIT_ERROR
    assert assert_one_line_error(proc).startswith("remote TypeError: ")


@pytest.mark.parametrize("target, named", [
    ("os:getcwd", "'os'"),              # a module that is not served
    ("targets:missing", "missing"),     # no such attribute
])
def test_call_that_the_server_refuses_fails_with_status_3(served, target, named):
    proc = call(served, target)
    assert proc.returncode == cli.EXIT_FAILED
    line = assert_one_line_error(proc)
    assert line.startswith("error: RPC failed: "), line
    assert named in line


def test_call_to_a_closed_port_fails_with_status_3(tmp_path):
    proc = run_cli(["call", "127.0.0.1:%d" % free_port(), "targets:add", "1", "2"], tmp_path)
    assert proc.returncode == cli.EXIT_FAILED
    assert assert_one_line_error(proc).startswith("error: RPC failed: UNAVAILABLE")


def test_call_gives_up_after_its_timeout(served):
    started = time.monotonic()
    proc = call(served, "targets:sleep", "6", "--timeout", "0.5")
    assert time.monotonic() - started < 5
    assert proc.returncode == cli.EXIT_FAILED
    assert assert_one_line_error(proc).startswith("error: RPC failed: DEADLINE_EXCEEDED")


def test_call_within_its_timeout_succeeds(served):
    proc = call(served, "targets:sleep", "0.1", "--timeout", "10")
    assert (proc.returncode, proc.stdout) == (0, "0.1\n"), proc.stderr


def test_serve_logs_its_start_line_and_one_debug_record_per_call(served):
    folder, address, server = served
    assert server.wait_for(r"INFO sorvane\.corvex \[\d+\] grpc server running, listen on "
                           + address)
    # Every part of the command line logs as sorvane.cli.
    assert server.wait_for(r"INFO sorvane\.cli \[\d+\] transport engine: %s; security: "
                           r"none \(loopback\)$" % engine.current())
    before = len(server.wait_for(r"DEBUG rpc_log .*'type': 'rpc_log'", count=0))
    for n in range(3):
        assert call(served, "targets:add", str(n), "1").returncode == 0
    records = server.wait_for(r"DEBUG rpc_log .*'request_id': '([0-9a-f]{32})'", count=before + 3)
    assert len({m.group(1) for m in records}) == len(records)


# -- stopping ---------------------------------------------------------------


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_serve_stops_cleanly_on_a_signal(tmp_path, port, sig):
    server = ServeProcess([write_targets(tmp_path), "--port", str(port)], tmp_path)
    address = server.wait_started()[0]
    assert run_cli(["call", address, "targets:add", "1", "2"], tmp_path).stdout == "3\n"
    assert server.stop(sig, timeout=15) == 0, server.output
    assert "Traceback" not in server.output
    assert server.output.rstrip().endswith("stopped")
    refused = run_cli(["call", address, "targets:add", "1", "2", "--timeout", "5"], tmp_path)
    assert refused.returncode == cli.EXIT_FAILED


def stop_at_once(server, sig, timeout=20.0):
    """Sends `sig` to a serve process and waits for its exit; fails, with its
    output, if the signal did not stop it."""
    try:
        return server.stop(sig, timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("still running %gs after %s:\n%s" % (timeout, sig.name, server.output))


# One handler takes both signals (test_serve_stops_cleanly_on_a_signal sends
# each): the races are run with one signal each.
@pytest.mark.parametrize("sig", [signal.SIGTERM], ids=["SIGTERM"])
def test_serve_stops_on_a_signal_that_comes_as_it_starts_serving(tmp_path, sig):
    """The signal lands while the main thread is still busy right after the
    start line (logging, most often): it stops the server all the same, the
    usual way, every time."""
    module = write_targets(tmp_path)
    # Lost one time in three (SIGTERM) to five (SIGINT) while the handler raised.
    for cycle in range(20):
        server = ServeProcess([module, "--port", str(free_port())], tmp_path)
        server.wait_started()
        status = stop_at_once(server, sig)
        assert status == 0, "cycle %d:\n%s" % (cycle, server.output)
        assert "Traceback" not in server.output and "error" not in server.output, server.output
        assert "%s: stopping, calls in flight get" % sig.name in server.output
        assert server.output.rstrip().endswith("stopped"), server.output


SLOW_START = """\
import os
import time

# Tells the test that the import has begun, then takes its time.
open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "importing"), "w").close()
time.sleep(1.0)


def add(a, b):
    return a + b
"""


@pytest.mark.parametrize("sig", [signal.SIGINT], ids=["SIGINT"])
def test_serve_stops_on_a_signal_that_comes_while_a_module_imports(tmp_path, sig):
    """Nothing takes the request to stop for a failed import: the import ends,
    the server never listens, and the status is 0."""
    (tmp_path / "slow_start.py").write_text(SLOW_START)
    server = ServeProcess(["slow_start", "--port", str(free_port())], tmp_path)
    marker = tmp_path / "importing"
    deadline = time.monotonic() + 30
    while not marker.exists() and time.monotonic() < deadline and server.proc.poll() is None:
        time.sleep(0.01)
    assert marker.exists(), server.output
    assert stop_at_once(server, sig) == 0, server.output
    assert "%s: stopped before serving" % sig.name in server.output
    assert "grpc server running" not in server.output
    assert "error" not in server.output, server.output


@pytest.mark.engine_free
@pytest.mark.skipif(not hasattr(signal, "pthread_sigmask"), reason="POSIX signal masks")
@pytest.mark.parametrize("receiver", ["main thread", "other thread"])
def test_stop_request_wakes_the_main_thread_whichever_thread_gets_the_signal(receiver):
    """In process: wait() returns once SIGTERM comes, also when the OS hands
    the signal to another thread (the main thread blocks it), and a second
    signal would get the default action."""
    handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM)}
    go = threading.Event()
    main = threading.get_ident()

    def send():
        if go.wait(30):
            if receiver == "main thread":
                signal.pthread_kill(main, signal.SIGTERM)
            else:
                os.kill(os.getpid(), signal.SIGTERM)

    # Started before the main thread blocks the signal, so it does not inherit the mask.
    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    stop = cli._StopRequest()
    stop.install()
    try:
        if receiver == "other thread":
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM])
        assert stop.wait(0.05) is False and stop.signal_name is None
        started = time.monotonic()
        go.set()
        assert stop.wait(20) is True
        assert time.monotonic() - started < 10
        assert stop.signal_name == "SIGTERM"
        assert signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    finally:
        go.set()
        sender.join(30)
        # Whatever is still pending is dropped, not acted on, when unblocked.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [signal.SIGTERM])
        stop.close()
        for sig, handler in handlers.items():
            signal.signal(sig, handler)


@pytest.mark.engine_free
def test_stop_request_puts_back_what_it_found_when_no_signal_came():
    def wakeup_fd():
        found = signal.set_wakeup_fd(-1)  # answers with the one it replaces
        signal.set_wakeup_fd(found)
        return found

    handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM)}
    fd = wakeup_fd()
    stop = cli._StopRequest()
    stop.install()
    try:
        assert signal.getsignal(signal.SIGTERM) == stop._note
        assert wakeup_fd() not in (fd, -1)
        assert stop.wait(0.05) is False
    finally:
        stop.close()
    assert {sig: signal.getsignal(sig) for sig in handlers} == handlers
    assert wakeup_fd() == fd


def start_slow_call(address, seconds, folder):
    """A `call` of targets:sleep_marked in a child, returned once the target runs."""
    marker = folder / "started"
    slow = subprocess.Popen(
        [sys.executable, "-m", "sorvane", "call", address, "targets:sleep_marked",
         str(marker), str(seconds)],
        cwd=str(folder), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True)
    deadline = time.monotonic() + 30
    while not marker.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert marker.exists(), "the call never started"
    return slow


def test_serve_lets_a_call_in_flight_finish_when_stopped(tmp_path, port):
    server = ServeProcess([write_targets(tmp_path), "--port", str(port)], tmp_path)
    try:
        address = server.wait_started()[0]
        slow = start_slow_call(address, 1.5, tmp_path)
        server.proc.send_signal(signal.SIGTERM)
        out, err = slow.communicate(timeout=30)
        assert (slow.returncode, out) == (0, "1.5\n"), err
        assert server.proc.wait(30) == 0
    finally:
        server.close()


def test_serve_admission_options_reach_the_server(tmp_path, port):
    """--workers 1 --max-queued-calls 0: a call past the running one is refused."""
    server = ServeProcess([write_targets(tmp_path), "--port", str(port), "--workers", "1",
                           "--max-queued-calls", "0", "--max-queued-bytes", "4096",
                           "--request-wait", "2.5"], tmp_path)
    try:
        address = server.wait_started()[0]
        slow = start_slow_call(address, 3, tmp_path)
        refused = run_cli(["call", address, "targets:add", "1", "2", "--timeout", "10"], tmp_path)
        assert refused.returncode == cli.EXIT_FAILED and "RESOURCE_EXHAUSTED" in refused.stderr
        out, err = slow.communicate(timeout=30)
        assert (slow.returncode, out) == (0, "3\n"), err
    finally:
        assert server.stop(timeout=30) == 0, server.output


def test_each_process_gets_the_admission_options():
    ns = cli.build_parser().parse_args(["serve", "m", "--max-queued-calls", "3",
                                        "--max-queued-bytes", "4096", "--request-wait", "1.5"])
    command = cli._child_command(ns)
    for option, value in (("--max-queued-calls", "3"), ("--max-queued-bytes", "4096"),
                          ("--request-wait", "1.5")):
        assert command[command.index(option) + 1] == value
    defaults = cli.build_parser().parse_args(["serve", "m"])
    from sorvane import admission
    assert (defaults.max_queued_calls, defaults.max_queued_bytes, defaults.request_wait) == (
        admission.DEFAULT_MAX_QUEUED_CALLS, admission.DEFAULT_MAX_QUEUED_BYTES,
        admission.DEFAULT_REQUEST_WAIT)


def test_serve_exits_even_when_a_target_never_returns(tmp_path, port):
    server = ServeProcess([write_targets(tmp_path), "--port", str(port)], tmp_path)
    try:
        address = server.wait_started()[0]
        stuck = start_slow_call(address, 600, tmp_path)
        stopped = time.monotonic()
        server.proc.send_signal(signal.SIGTERM)
        assert server.proc.wait(60) == 0
        took = time.monotonic() - stopped
        assert cli.STOP_GRACE <= took < cli.STOP_GRACE + cli.EXIT_DELAY + 10
        _, err = stuck.communicate(timeout=30)
        assert stuck.returncode == cli.EXIT_FAILED, err
    finally:
        server.close()


def test_serve_exits_with_status_1_when_a_module_cannot_be_imported(tmp_path, port):
    proc = run_cli(["serve", "no_such_module_here", "--port", str(port)], tmp_path)
    assert proc.returncode == cli.EXIT_ERROR
    line = proc.stderr.splitlines()[-1]
    assert "cannot import module 'no_such_module_here'" in line
    assert "Traceback" not in proc.stderr


@pytest.mark.skipif(not cli.have_guard(), reason="needs the exposure guard")
def test_serve_exits_with_status_1_when_the_guard_refuses_a_module(tmp_path, port):
    proc = run_cli(["serve", "builtins", "--port", str(port)], tmp_path)
    assert proc.returncode == cli.EXIT_ERROR
    assert assert_one_line_error(proc).startswith("error: cannot expose builtins: ")


@linux_only
def test_serve_exits_with_status_1_when_the_port_is_taken(tmp_path, port):
    # A listener without SO_REUSEPORT: gRPC cannot share its port.
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
        taken.bind(("127.0.0.1", port))
        taken.listen(1)
        proc = run_cli(["serve", write_targets(tmp_path), "--port", str(port)], tmp_path)
    assert proc.returncode == cli.EXIT_ERROR, proc.stderr
    assert "cannot serve on 127.0.0.1:%d" % port in proc.stderr
    assert "Traceback" not in proc.stderr


@pytest.mark.skipif(os.name != "posix", reason="POSIX file modes")
def test_serve_warns_before_listening_of_a_token_file_others_may_read(tmp_path):
    """On loopback a token without TLS is no warning; a token file open to
    other users is, one line naming it before the server listens."""
    token = tmp_path / "token"
    token.write_text("serve-Token_9\n")
    os.chmod(str(token), 0o600)
    args = [write_targets(tmp_path), "--token-file", str(token)]

    def call(address):
        # Also lets the server settle into serving before it is stopped.
        done = run_cli(["call", address, "targets:add", "1", "2", "--token-file", str(token)],
                       tmp_path)
        assert (done.returncode, done.stdout) == (0, "3\n"), done.stderr

    server = ServeProcess(args + ["--port", str(free_port())], tmp_path)
    try:
        call(server.wait_started()[0])
        assert "warning" not in server.output
    finally:
        assert server.stop() == 0, server.output
    os.chmod(str(token), 0o644)
    server = ServeProcess(args + ["--port", str(free_port())], tmp_path)
    try:
        call(server.wait_started()[0])
        warnings = [line for line in server.lines if "warning" in line]
        assert warnings == ["warning: the token file %s is open to group or others (mode 0644): "
                            "chmod 600 %s" % (token, shlex.quote(str(token)))]
        assert server.output.index("warning: ") < server.output.index("grpc server running")
        assert "serve-Token_9" not in server.output
    finally:
        assert server.stop() == 0, server.output


# -- several processes on one port ------------------------------------------


def pids_reached(address, connections):
    """getpid() of the server process behind each of `connections` new connections."""
    pids = []
    for _ in range(connections):
        # A local subchannel pool gives each channel its own connection.
        channel = grpc.insecure_channel(address, options=[("grpc.use_local_subchannel_pool", 1)])
        try:
            stub = brindlow.CommonServiceStub(channel)
            pids.append(GrpcHelper.call_rpc_result(stub, "targets", "pid"))
        finally:
            channel.close()
    return pids


def child_pids(parent_pid):
    """The pids of a parent's children, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == parent_pid:
                found.append(int(entry))
    return sorted(found)


@linux_only
def test_processes_share_one_port_and_stop_together(tmp_path, port):
    server = ServeProcess([write_targets(tmp_path), "--port", str(port), "--processes", "2"],
                          tmp_path)
    try:
        address = server.wait_started(processes=2)[0]
        # The parent's line comes from the supervisor, the children's from serve.
        parent = server.wait_for(r"INFO sorvane\.cli \[(\d+)\] started 2 server processes")
        assert int(parent[0].group(1)) == server.proc.pid
        assert len(server.wait_for(r"INFO sorvane\.cli \[\d+\] transport engine: ", 2)) == 2
        children = child_pids(server.proc.pid)
        assert len(children) == 2
        reached = pids_reached(address, 40)
        assert set(reached) == set(children)
        assert server.stop(signal.SIGTERM, timeout=30) == 0, server.output
        assert all(wait_gone(pid) for pid in children)
    finally:
        server.close()


@linux_only
@pytest.mark.parametrize("moment", ["parent started", "children started"])
def test_processes_stop_on_a_signal_that_comes_as_they_start(tmp_path, moment):
    """SIGTERM the moment the parent has started its children (they are still
    starting) or the moment both serve (both still busy after their start
    line): every process stops, the parent with status 0."""
    module = write_targets(tmp_path)
    for cycle in range(4):
        server = ServeProcess([module, "--port", str(free_port()), "--processes", "2"], tmp_path)
        started = server.wait_for(r"started 2 server processes on \S+: (\d+) (\d+)")[0]
        if moment == "children started":
            server.wait_started(processes=2)
        status = stop_at_once(server, signal.SIGTERM, timeout=30)
        assert status == 0, "cycle %d:\n%s" % (cycle, server.output)
        assert "Traceback" not in server.output and "error" not in server.output, server.output
        children = [int(pid) for pid in started.groups()]
        assert all(wait_gone(pid) for pid in children), server.output


@linux_only
def test_processes_all_stop_when_one_dies(tmp_path, port):
    server = ServeProcess([write_targets(tmp_path), "--port", str(port), "--processes", "2"],
                          tmp_path)
    try:
        server.wait_started(processes=2)
        first, second = child_pids(server.proc.pid)
        os.kill(first, signal.SIGKILL)
        assert server.proc.wait(30) == cli.EXIT_ERROR
        assert "server process %d exited" % first in server.output
        assert wait_gone(second)
    finally:
        server.close()


@linux_only
def test_processes_stop_when_their_parent_is_killed(tmp_path, port):
    server = ServeProcess([write_targets(tmp_path), "--port", str(port), "--processes", "2"],
                          tmp_path)
    try:
        server.wait_started(processes=2)
        children = child_pids(server.proc.pid)
        server.proc.kill()
        server.proc.wait()
        assert all(wait_gone(pid) for pid in children), [p for p in children if process_exists(p)]
    finally:
        server.close()


# -- engines --------------------------------------------------------------------


@pytest.mark.parametrize("serve_engine", ["grpcio", "native"])
def test_engine_option_chooses_for_serve_and_call(tmp_path, port, serve_engine):
    from sorvane import engine
    if serve_engine not in engine.available():
        pytest.skip("the native engine was not built")
    server = ServeProcess([write_targets(tmp_path), "--port", str(port), "--engine", serve_engine],
                          tmp_path)
    try:
        address = server.wait_started()[0]
        server.wait_for("transport engine: %s" % serve_engine)
        for call_engine in engine.available():
            done = run_cli(["call", address, "targets:add", "1", "2", "--engine", call_engine],
                           tmp_path)
            assert (done.returncode, done.stdout) == (0, "3\n"), done.stderr
    finally:
        assert server.stop(signal.SIGTERM, timeout=30) == 0, server.output


def test_engine_option_refuses_an_engine_not_built(tmp_path):
    # A child whose engine module reports the native engine as missing.
    (tmp_path / "sitecustomize.py").write_text(
        "from sorvane import engine\nengine.native_available = lambda: False\n")
    done = run_cli(["call", "127.0.0.1:1", "targets:add", "--engine", "native"], tmp_path)
    assert done.returncode == cli.EXIT_USAGE
    assert "apt-get install " in done.stderr and "SORVANE_ENGINE=grpcio" in done.stderr
