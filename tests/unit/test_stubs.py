"""The type stubs of marvetta, brindlow and sorvane.corvex, seen by mypy,
and the type hints of the package's Python modules.

stubtest compares every stub with the installed extension modules (names,
parameters, defaults, kinds of members); the two mypy --strict runs check that
a type checker finds the stubs through the installed package and that they
accept ordinary client and server code and reject misuse. The installed native
engine's interfaces are checked under --strict as well.
"""

import os
import re
import subprocess
import sys

import pytest

from locations import SUPPORT

pytest.importorskip("mypy", reason="mypy is in the test extra: pip install .[test]")

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free


# grpc's own stubs (types-grpcio) exist for newer interpreters only; without
# them grpc's types are Any, and the rest of the check still stands.
MYPY_INI = """\
[mypy]
strict = True
show_error_codes = True
warn_unused_configs = True

[mypy-grpc,grpc.*]
ignore_missing_imports = True
"""

GOOD_USAGE = '''\
import logging
from typing import Any, Dict, List, Optional

import grpc

import brindlow
import marvetta
from sorvane.corvex import (
    CommonService, GrpcClient, GrpcException, GrpcHelper, GrpcServer, Server,
    grpc_client, grpc_service, logger, rpc_log, rpc_logger,
)



@grpc_service("calc")
def add(a: int, b: int = 2) -> int:
    raise NotImplementedError  # runs on the server


class Timed:
    def __init__(self, stub: brindlow.CommonServiceStub) -> None:
        self.stub = stub

    def handle(self, request: marvetta.CommonRequest) -> marvetta.CommonResponse:
        return self.stub.handle(request, timeout=2.5)


def mapper(clazz: Any) -> str:
    return "calc"


def serve() -> Optional[grpc.Server]:
    server = GrpcServer("127.0.0.1", 6565, max_workers=4, max_message_length=1 << 20)
    server.set_clazz_handler(mapper)
    server.run_background()
    service: CommonService = server.service
    name: str = service.clazz_handler("calc")
    address: str = server.address
    return server.rpc_server


def call() -> List[Any]:
    logging.getLogger("rpc_log").setLevel(logging.DEBUG)
    rpc_logger.debug("x")
    logger.info("y")
    entry = Server("calc", "127.0.0.1", 6565)
    grpc_client.load([entry, entry.copy()])
    stub = grpc_client.connect("calc")
    assert stub is not None
    response = GrpcHelper.call_rpc(stub, "calc", "add", args=[1, 2], request_id="r1")
    status: int = response.status
    envelope: bytes = response.response
    results = [GrpcHelper.call_rpc_result(Timed(stub), "calc", "add", kwargs={"a": 1})]
    total: int = add(1, b=5)
    with Server("calc", "127.0.0.1", 6565) as raw:
        reply = raw.handle(marvetta.CommonRequest(request=b"{}", serialize=3), timeout=1.0)
        results.append(reply.status)
    one_shot = brindlow.CommonService.handle(marvetta.CommonRequest(), "127.0.0.1:6565",
                                             insecure=True, timeout=1.0)
    try:
        GrpcHelper.call_rpc_result(stub, "calc", "div", args=[1, 0])
    except GrpcException as e:
        kind: Optional[str] = e.exc_type
        results.append((kind, e.message))
    registry = GrpcClient()
    found: Optional[Server] = registry.get_server("calc")
    channel: grpc.Channel = entry.channel
    return results + [total, status, envelope, one_shot, found, channel]


@rpc_log
def handle(self: object, request: marvetta.CommonRequest, context: object) -> marvetta.CommonResponse:
    return marvetta.CommonResponse(status=0, response=b"{}")
'''

# Each line that mypy must flag ends in "# E: <error code>"; reveal_type lines
# end in "# R: <regular expression the revealed type must match>", builtins
# named without their module (mypy versions differ there).
BAD_USAGE = '''\
import marvetta
from sorvane.corvex import (
    GrpcException, GrpcHelper, GrpcServer, Server, grpc_client, grpc_service,
)


@grpc_service("calc")
def add(a: int, b: int = 2) -> int:
    raise NotImplementedError


GrpcServer(host=6565)  # E: arg-type
GrpcServer("127.0.0.1", 6565, workers=4)  # E: call-arg
marvetta.CommonRequest(request="text")  # E: arg-type
marvetta.CommonResponse(status=0, result=b"")  # E: call-arg
GrpcHelper.call_rpc_result(None, "calc", "add")  # E: arg-type
grpc_client.connect("calc").handle  # E: union-attr
Server("calc", "127.0.0.1")  # E: call-arg
add("1")  # E: arg-type
reveal_type(GrpcHelper.call_rpc(grpc_client.stubs["calc"], "calc", "add"))  # R: marvetta\\.CommonResponse
reveal_type(add)  # R: def \\(a: int, b: int =\\) -> int
reveal_type(Server("calc", "h", 1).__enter__())  # R: brindlow\\.CommonServiceStub
reveal_type(GrpcException("ValueError", "bad").exc_type)  # R: Union\\[str, None\\]|str \\| None
'''


def run_mypy(tmp_path, source):
    (tmp_path / "mypy.ini").write_text(MYPY_INI)
    (tmp_path / "usage.py").write_text(source)
    # From an empty folder, so that only the installed package is found.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--no-incremental",
         "usage.py"],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=600)
    return proc.returncode, proc.stdout


# Python 3.7's inspect.iscoroutinefunction reads __code__ through any bound
# method, and the methods of the native classes are bound native functions
# without one; from 3.8 on it looks at plain functions only.
STUBTEST_37 = """\
import inspect
import sys

from mypy.stubtest import main

_iscoroutinefunction = inspect.iscoroutinefunction


def iscoroutinefunction(obj):
    try:
        return _iscoroutinefunction(obj)
    except AttributeError:
        return False


inspect.iscoroutinefunction = iscoroutinefunction
sys.exit(main())
"""


def test_stubtest_matches_the_installed_modules(tmp_path):
    (tmp_path / "mypy.ini").write_text(MYPY_INI)
    if sys.version_info < (3, 8):
        stubtest = ["-c", STUBTEST_37]
    else:
        stubtest = ["-m", "mypy.stubtest"]
    proc = subprocess.run(
        [sys.executable] + stubtest + ["marvetta", "brindlow", "sorvane.corvex",
         "--allowlist", os.path.join(SUPPORT, "stubtest_allowlist.txt"),
         "--ignore-unused-allowlist", "--mypy-config-file", "mypy.ini"],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=600)
    assert proc.returncode == 0, proc.stdout


def test_strict_client_and_server_code_type_checks(tmp_path):
    code, out = run_mypy(tmp_path, GOOD_USAGE)
    assert code == 0, out


def test_misuse_is_reported_where_it_happens(tmp_path):
    code, out = run_mypy(tmp_path, BAD_USAGE)
    assert code == 1, out
    lines = BAD_USAGE.splitlines()
    expected_errors = {}
    expected_reveals = {}
    for number, line in enumerate(lines, 1):
        if "# E: " in line:
            expected_errors[number] = line.split("# E: ")[1].strip()
        if "# R: " in line:
            expected_reveals[number] = line.split("# R: ")[1].strip()

    errors = {}
    reveals = {}
    for match in re.finditer(r"^usage\.py:(\d+): (error|note): (.*?)(?:  \[([\w-]+)\])?$", out, re.M):
        number, kind, message, code_name = int(match.group(1)), match.group(2), match.group(3), match.group(4)
        if kind == "note" and message.startswith("Revealed type is "):
            reveals[number] = message[len("Revealed type is "):].strip('"').replace("builtins.", "")
        elif kind == "error":
            errors.setdefault(number, set()).add(code_name)

    assert {n: {c} for n, c in expected_errors.items()} == errors, out
    assert set(expected_reveals) == set(reveals), out
    for number, pattern in expected_reveals.items():
        assert re.fullmatch(pattern, reveals[number]), (number, reveals[number], out)


def test_native_engine_interfaces_type_check_strictly(tmp_path):
    """Every function of sorvane.native has type hints, and they agree
    with each other (and with grpcio's stubs where those are installed: the
    ignores that only those need are not reported unused without them)."""
    import sorvane
    package = os.path.join(os.path.dirname(sorvane.__file__), "native")
    modules = sorted(name for name in os.listdir(package) if name.endswith(".py"))
    (tmp_path / "mypy.ini").write_text(MYPY_INI)
    import grpc
    # Without grpcio's stubs (none for 3.7) its classes are Any: subclassing
    # them and returning what they return is all that is left to check.
    loose = [] if os.path.isdir(os.path.join(os.path.dirname(os.path.dirname(grpc.__file__)),
                                             "grpc-stubs")) else [
        "--allow-subclassing-any", "--no-warn-return-any"]
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--no-incremental",
         "--follow-imports=silent", "--no-warn-unused-ignores"] + loose + ["-p", "sorvane.native"],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=600)
    assert proc.returncode == 0, proc.stdout
    # Every module of the installed package was checked, not a stand-in.
    assert "no issues found in %d source files" % len(modules) in proc.stdout, (
        modules, proc.stdout)


def test_stub_files_and_marker_are_installed():
    import brindlow
    import marvetta
    import sorvane.corvex

    package = os.path.dirname(sorvane.corvex.__file__)
    assert os.path.isfile(os.path.join(package, "py.typed"))
    assert os.path.isfile(os.path.join(package, "corvex.pyi"))
    site = os.path.dirname(marvetta.__file__)
    for module in (marvetta, brindlow):
        stub = os.path.join(site, module.__name__ + "-stubs", "__init__.pyi")
        assert os.path.isfile(stub), stub
