"""The load-balancer recipe of deploy/: nginx in front of two sorvane servers,
and its routing of one module's calls to servers of their own.

Everything runs on 127.0.0.1: ``python -m sorvane serve`` processes, and
nginx from the system packages, as the current user, with its pid file, logs
and temporary files in a folder of the test's own.
"""

import contextlib
import importlib.util
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import grpc
import pytest

import brindlow
from conftest import free_port
from locations import REPO
from processes import ServeProcess, child_env, run_cli, write_targets
from sorvane import engine
from sorvane.corvex import GrpcClient, GrpcException, GrpcHelper, Server

ENGINES = engine.available()

DEPLOY = os.path.join(REPO, "deploy")
RENDERER = os.path.join(DEPLOY, "nginx_conf.py")


def load_renderer():
    # deploy/ is a folder of recipes, not a package: load the script by path.
    loader_spec = importlib.util.spec_from_file_location("nginx_conf", RENDERER)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


nginx_conf = load_renderer()

pytestmark = [pytest.mark.system, pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="the recipe uses nginx from Debian's packages")]


def find_nginx():
    return shutil.which("nginx") or next(
        (p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx") if os.access(p, os.X_OK)), None)


@pytest.fixture(scope="module")
def nginx_binary():
    """The nginx program; installed from Debian's packages when missing and possible."""
    path = find_nginx()
    if path is None and os.geteuid() == 0 and shutil.which("apt-get"):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], env=env, timeout=600,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["apt-get", "install", "-y", "-qq", "nginx"], env=env, timeout=600,
                       stdout=subprocess.DEVNULL)
        path = find_nginx()
    if path is None:
        message = "nginx is not installed (apt-get install nginx)"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    return path


def wait_listening(port, proc, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise AssertionError("exited with status %s" % proc.returncode)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.settimeout(0.5)
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise AssertionError("nothing listens on 127.0.0.1:%d" % port)


class Nginx:
    """nginx in the foreground, configured from the recipe's template."""

    def __init__(self, binary, prefix, servers, routes=()):
        self.prefix = str(prefix)
        self.port = free_port()
        self.address = "127.0.0.1:%d" % self.port
        conf = os.path.join(self.prefix, "nginx.conf")
        # Workers run as the current user (nginx started by root would
        # otherwise hand them to "nobody").
        user = pwd.getpwuid(os.geteuid()).pw_name if os.geteuid() == 0 else None
        with open(conf, "w") as f:
            f.write(nginx_conf.render(self.address, servers, self.prefix, user=user,
                                      routes=routes))
        self.error_log = os.path.join(self.prefix, "error.log")
        self.access_log = os.path.join(self.prefix, "access.log")
        self.proc = subprocess.Popen(
            [binary, "-p", self.prefix, "-e", self.error_log, "-c", conf, "-g", "daemon off;"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_listening(self.port, self.proc)
        except AssertionError as e:
            self.stop()
            raise AssertionError("nginx did not start: %s\n%s" % (e, self.log()))

    def access_log_with(self, *lines, timeout=10.0):
        """The access log once it holds every one of `lines`: nginx writes a
        request's line after its response has gone, so a client can read the
        log before the line of its last call is there."""
        deadline = time.monotonic() + timeout
        while True:
            log = ""
            with contextlib.suppress(OSError), open(self.access_log) as f:
                log = f.read()
            if all(line in log for line in lines) or time.monotonic() > deadline:
                return log
            time.sleep(0.05)

    def log(self):
        with contextlib.suppress(OSError), open(self.error_log) as f:
            return f.read()
        return ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


# The modules of the routing tests, beside targets: a package reports with a
# submodule reports.daily, and reportsx, whose name merely begins with reports.
ROUTED_MODULES = {"reports/__init__.py": "reports", "reports/daily.py": "reports.daily",
                  "reportsx.py": "reportsx"}
ROUTED_TARGETS = '''\
import os


def pid():
    return os.getpid()
'''


def write_routed_targets(folder):
    os.mkdir(os.path.join(str(folder), "reports"))
    for path in ROUTED_MODULES:
        with open(os.path.join(str(folder), path), "w") as f:
            f.write(ROUTED_TARGETS)
    return list(ROUTED_MODULES.values())


@contextlib.contextmanager
def balanced(nginx_binary, folder, count=2, server_engine=None, routed=0):
    """`count` sorvane servers behind nginx: yields (nginx, [ServeProcess]).
    The servers run on `server_engine` (default: whatever the environment picks).
    With `routed`, that many more servers come last, and nginx sends the calls
    of reports to them (--route reports=...); every server then serves the
    modules of ROUTED_MODULES too."""
    modules = [write_targets(folder)] + (write_routed_targets(folder) if routed else [])
    servers = []
    nginx = None
    env = child_env(folder)
    if server_engine:
        env["SORVANE_ENGINE"] = server_engine
    try:
        for _ in range(count + routed):
            servers.append(ServeProcess(modules + ["--port", str(free_port())], folder, env))
        addresses = [s.wait_started()[0] for s in servers]
        prefix = os.path.join(str(folder), "nginx")
        os.mkdir(prefix)
        nginx = Nginx(nginx_binary, prefix, addresses[:count],
                      [("reports", a) for a in addresses[count:]])
        yield nginx, servers
    finally:
        if nginx is not None:
            assert nginx.stop() == 0, nginx.log()
        for server in servers:
            server.stop()


@pytest.fixture(scope="module")
def balancer(nginx_binary, tmp_path_factory):
    with balanced(nginx_binary, tmp_path_factory.mktemp("balanced")) as pair:
        yield pair


@pytest.fixture
def stub(balancer):
    """A stub on one channel to nginx, from a registry of its own."""
    nginx, _ = balancer
    registry = GrpcClient()
    registry.load([Server("lb", "127.0.0.1", nginx.port)])
    return registry.connect("lb")


def test_calls_from_one_client_reach_every_server_with_correct_results(balancer, stub):
    _, servers = balancer
    pids = [GrpcHelper.call_rpc_result(stub, "targets", "pid") for _ in range(20)]
    assert set(pids) == {s.proc.pid for s in servers}
    # Round robin: neither server gets all but a few.
    assert min(pids.count(s.proc.pid) for s in servers) >= 5
    for i in range(50):
        assert GrpcHelper.call_rpc_result(stub, "targets", "add", args=[i, i]) == 2 * i
    assert GrpcHelper.call_rpc_result(stub, "targets", "Greeter.hello",
                                      args=["東京"]) == "hello, 東京!"


def test_access_log_names_each_server(balancer, stub):
    nginx, servers = balancer
    for _ in range(4):
        GrpcHelper.call_rpc_result(stub, "targets", "nothing")
    expected = ["upstream=%s grpc-status=0" % server.wait_started()[0] for server in servers]
    log = nginx.access_log_with(*expected)
    for line in expected:
        assert line in log


def test_remote_exceptions_pass_through_unchanged(stub):
    with pytest.raises(GrpcException) as caught:
        GrpcHelper.call_rpc_result(stub, "targets", "div", args=[1, 0])
    assert (caught.value.exc_type, caught.value.message) == ("ZeroDivisionError",
                                                             "division by zero")


def test_calls_larger_than_nginx_default_body_limit_pass(stub):
    text = "x" * (3 * 1024 * 1024 // 2)  # 1.5 MiB each way; nginx's default limit is 1 MiB
    assert GrpcHelper.call_rpc_result(stub, "targets", "add", args=[text, "!"]) == text + "!"


def test_command_line_call_through_nginx(balancer, tmp_path):
    nginx, _ = balancer
    proc = run_cli(["call", nginx.address, "targets:add", "40", "2"], tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "42\n", "")


def test_a_stopped_server_is_skipped(nginx_binary, tmp_path):
    with balanced(nginx_binary, tmp_path) as (nginx, servers):
        registry = GrpcClient()
        registry.load([Server("lb", "127.0.0.1", nginx.port)])
        stub = registry.connect("lb")
        assert len({GrpcHelper.call_rpc_result(stub, "targets", "pid") for _ in range(6)}) == 2
        gone, alive = servers
        assert gone.stop() == 0
        for i in range(10):
            assert GrpcHelper.call_rpc_result(stub, "targets", "add", args=[i, 1]) == i + 1
        assert GrpcHelper.call_rpc_result(stub, "targets", "pid") == alive.proc.pid


def test_rendered_configuration_is_accepted_by_nginx(nginx_binary, tmp_path):
    conf = tmp_path / "nginx.conf"
    rendered = subprocess.run(
        [sys.executable, RENDERER, "--listen", "127.0.0.1:8080", "--server", "127.0.0.1:6565",
         "--server", "[::1]:6566", "--route", "reports=127.0.0.1:6570",
         "--route", "reports.daily=[::1]:6571", "--route", "r\u00e9sum\u00e9=127.0.0.1:6572",
         "--prefix", str(tmp_path), "-o", str(conf)], timeout=60)
    assert rendered.returncode == 0
    text = conf.read_text(encoding="utf-8")
    assert "server [::1]:6566;" in text
    # The deeper module first (nginx takes the first regex that matches);
    # a name outside ASCII as the client percent-encodes it.
    regexes = re.findall(r'^ +"(~[^"]*)" sorvane_route\d;$', text, re.MULTILINE)
    assert regexes == [r"~^reports\.daily[.:]", "~^reports[.:]", "~^r%C3%A9sum%C3%A9[.:]"]
    proc = subprocess.run([nginx_binary, "-t", "-p", str(tmp_path), "-e",
                           str(tmp_path / "error.log"), "-c", str(conf)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stdout
    assert "syntax is ok" in proc.stdout


@pytest.mark.parametrize("listen, servers", [
    ("127.0.0.1", ["127.0.0.1:6565"]),
    ("127.0.0.1:8080", []),
    ("127.0.0.1:8080", ["127.0.0.1:6565; include /etc/passwd"]),
    ("127.0.0.1:8080", ["127.0.0.1:70000"]),
    ("127.0.0.1:8080 default_server", ["127.0.0.1:6565"]),
])
def test_renderer_refuses_what_nginx_would_misread(listen, servers, tmp_path):
    with pytest.raises(ValueError):
        nginx_conf.render(listen, servers, str(tmp_path))


@pytest.mark.parametrize("route", [
    "reports", "reports=", "=127.0.0.1:6570", "1reports=127.0.0.1:6570",
    "reports..daily=127.0.0.1:6570", "reports.=127.0.0.1:6570", "rep-orts=127.0.0.1:6570",
    "reports:=127.0.0.1:6570", "reports=127.0.0.1", "reports=127.0.0.1:70000",
    "reports=127.0.0.1:6570; include /etc/passwd", "~^.*=127.0.0.1:6570",
])
def test_renderer_refuses_a_bad_route(route, tmp_path, capsys):
    with pytest.raises(SystemExit) as exited:
        nginx_conf.main(["--listen", "127.0.0.1:8080", "--server", "127.0.0.1:6565",
                         "--prefix", str(tmp_path), "--route", route])
    assert exited.value.code == 2
    assert "argument --route: expected" in capsys.readouterr().err
    module, _, address = route.partition("=")
    with pytest.raises(ValueError):
        nginx_conf.render("127.0.0.1:8080", ["127.0.0.1:6565"], str(tmp_path),
                          routes=[(module, address)])


def test_health_check_through_nginx(balancer, tmp_path):
    nginx, servers = balancer
    proc = run_cli(["health", nginx.address], tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "SERVING\n", "")
    for server in servers:
        proc = run_cli(["health", server.wait_started()[0]], tmp_path)
        assert (proc.returncode, proc.stdout) == (0, "SERVING\n"), proc.stderr


@pytest.fixture(scope="module", params=ENGINES)
def balanced_engine(request, nginx_binary, tmp_path_factory):
    """(engine name, nginx, servers): servers of one engine behind nginx."""
    folder = tmp_path_factory.mktemp("balanced-" + request.param)
    with balanced(nginx_binary, folder, server_engine=request.param) as (nginx, servers):
        yield request.param, nginx, servers


@pytest.mark.parametrize("client_engine", ENGINES)
def test_every_engine_pairing_through_nginx(balanced_engine, client_engine):
    """A client engine's channel through nginx's grpc_pass to servers of a
    server engine: results, exceptions, large messages, deadlines."""
    _, nginx, servers = balanced_engine
    with engine.transport(client_engine).insecure_channel(nginx.address) as channel:
        stub = brindlow.CommonServiceStub(channel)
        pids = {GrpcHelper.call_rpc_result(stub, "targets", "pid", timeout=30) for _ in range(6)}
        assert pids == {s.proc.pid for s in servers}
        for i in range(20):
            assert GrpcHelper.call_rpc_result(stub, "targets", "add", args=[i, 1]) == i + 1
        text = "\u00e9" * (1 << 20)  # 2 MiB of UTF-8 each way, over nginx's default body limit
        assert GrpcHelper.call_rpc_result(stub, "targets", "add", args=[text, "!"]) == text + "!"
        with pytest.raises(GrpcException) as caught:
            GrpcHelper.call_rpc_result(stub, "targets", "div", args=[1, 0])
        assert caught.value.exc_type == "ZeroDivisionError"
        started = time.monotonic()
        with pytest.raises(grpc.RpcError) as raised:
            GrpcHelper.call_rpc_result(stub, "targets", "sleep", args=[5], timeout=0.5)
        assert raised.value.code() is grpc.StatusCode.DEADLINE_EXCEEDED
        assert time.monotonic() - started < 4
        raw = channel.unary_unary("/common.CommonService/nothing")
        with pytest.raises(grpc.RpcError) as raised:
            raw(b"", timeout=30)
        assert raised.value.code() is grpc.StatusCode.UNIMPLEMENTED


@pytest.fixture(scope="module")
def routed(nginx_binary, tmp_path_factory):
    """(nginx, default servers, servers of reports): one server for every
    call but those of reports, two for those."""
    folder = tmp_path_factory.mktemp("routed")
    with balanced(nginx_binary, folder, count=1, routed=2) as (nginx, servers):
        yield nginx, servers[:1], servers[1:]


def pids_of(stub, module, calls=8):
    return {GrpcHelper.call_rpc_result(stub, module, "pid", timeout=30) for _ in range(calls)}


@pytest.mark.parametrize("client_engine", ENGINES)
def test_calls_of_a_routed_module_reach_only_its_servers(routed, client_engine):
    nginx, default, reports = routed
    default_pids = {s.proc.pid for s in default}
    reports_pids = {s.proc.pid for s in reports}
    with engine.transport(client_engine).insecure_channel(nginx.address) as channel:
        stub = brindlow.CommonServiceStub(channel)
        # Round robin within the routed group: both of its servers.
        assert pids_of(stub, "reports") == reports_pids
        assert pids_of(stub, "reports.daily") == reports_pids
        assert pids_of(stub, "reportsx") == default_pids
        assert pids_of(stub, "targets") == default_pids
        assert GrpcHelper.call_rpc_result(stub, "targets", "Greeter.hello",
                                          args=["\u6771\u4eac"]) == "hello, \u6771\u4eac!"
    expected = ["target=reports.daily:pid upstream=%s " % server.wait_started()[0]
                for server in reports]
    expected.append("target=targets:Greeter.hello upstream=%s " % default[0].wait_started()[0])
    log = nginx.access_log_with(*expected)
    for line in expected:
        assert line in log


class SentWith:
    """A stand-in stub whose calls carry `metadata` instead of the client's
    own sorvane-target header."""

    def __init__(self, stub, metadata):
        self.stub = stub
        self.metadata = metadata

    def handle(self, request, **options):
        return self.stub.handle(request, metadata=self.metadata, **options)


def test_nginx_routes_by_the_header_alone(routed):
    """The header is no security boundary: nginx follows it, and the server
    runs what the call describes wherever the call lands."""
    nginx, default, reports = routed
    with grpc.insecure_channel(nginx.address) as channel:
        stub = brindlow.CommonServiceStub(channel)
        assert pids_of(SentWith(stub, ()), "reports") == {s.proc.pid for s in default}
        forged = SentWith(stub, (("sorvane-target", "reports:pid"),))
        assert pids_of(forged, "targets") == {s.proc.pid for s in reports}
        assert GrpcHelper.call_rpc_result(forged, "targets", "add", args=[2, 3]) == 5
