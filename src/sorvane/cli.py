"""The command line: ``python -m sorvane serve``, ``call``, ``health`` and ``list``.

``serve`` hosts modules through :class:`sorvane.corvex.GrpcServer`, in one
process or in several processes sharing one port; ``call`` makes one remote
call through :class:`sorvane.corvex.GrpcHelper` and prints the result as JSON;
``health`` asks a server's health service (:mod:`sorvane.ops`) and ``list``
what its exposure guard lets calls reach.
Errors are one line on standard error and a meaningful exit status, never a
traceback. The framework itself is only imported once a command runs, so
``--help`` works even where the native modules cannot load.
"""

import argparse
import importlib
import importlib.util
import json
import logging
import os
import select
import shlex
import signal
import socket
import stat
import subprocess
import sys
import textwrap
import threading
import time
from typing import Any, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

__all__ = ["main", "EXIT_OK", "EXIT_ERROR", "EXIT_USAGE", "EXIT_FAILED", "EXIT_INTERRUPTED"]

#: The command did what was asked (``serve``: it stopped cleanly on request).
EXIT_OK = 0
#: ``call``: the remote target raised; ``serve``: the server could not start
#: or one of its processes died.
EXIT_ERROR = 1
#: The command line was wrong (argparse's own code for usage errors).
EXIT_USAGE = 2
#: ``call``: the call did not complete (unreachable server, deadline, an RPC
#: that the server failed, a reply that is not a result envelope).
EXIT_FAILED = 3
#: Interrupted by a second Ctrl-C, or Ctrl-C during ``call``.
EXIT_INTERRUPTED = 130

#: Seconds that calls in flight get to finish when a server is asked to stop.
STOP_GRACE = 5.0
#: Seconds after that before a server process exits even if a target still runs.
EXIT_DELAY = 2.0

# serve's admission defaults: GrpcServer's (sorvane.admission, which this
# module does not import before it serves: it imports grpc).
DEFAULT_MAX_QUEUED_CALLS = 100
DEFAULT_MAX_QUEUED_BYTES = 268435456
DEFAULT_REQUEST_WAIT = 30.0

LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s [%(process)d] %(message)s"
LOG_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")

log = logging.getLogger("sorvane.cli")

SERVE_DESCRIPTION = """\
Serve the functions and classes of MODULE... over gRPC until Ctrl-C or SIGTERM.

Each MODULE is imported at start, so a typo fails at once. {exposure} The
default host is 127.0.0.1 for that reason; --host 0.0.0.0 listens on every
interface.

The start line is logged at INFO; --log-level DEBUG adds one record per call
(logger "rpc_log"). On Linux, --processes K starts K server processes on the
same port (SO_REUSEPORT), the kernel spreading connections between them, so
that CPU-bound targets use every core.
"""

EXPOSURE_GUARDED = """\
Only the listed modules are exposed, through the exposure guard
(sorvane.guard): a call may reach the public functions defined in them and
the public functions, static methods and class methods of their classes (also
through module-level instances), and is refused with PERMISSION_DENIED for
anything else (names that begin with an underscore, objects a module imported
from elsewhere, methods inherited from classes of other modules, other
modules, making instances of classes). Every exposed callable runs with this
process's rights: listen only where the clients that can reach the port may
call all of them, and use TLS or a token beyond loopback."""

EXPOSURE_UNGUARDED = """\
Calls may name only the listed modules (any other module name fails the RPC),
but every attribute path inside a listed module is reachable, other modules it
imports included (mymodule.os.system): this is not a security boundary, and
this installation has no exposure guard (sorvane.guard) to restrict paths.
Listen only where every client that can reach the port is trusted."""

HEALTH_DESCRIPTION = """\
Ask the server at HOST:PORT whether it serves (gRPC's standard health check)
and print the answer: SERVING, NOT_SERVING, or the gRPC status of a failed
check (NOT_FOUND for an unknown --service, UNAVAILABLE for no server).

Exit status: 0 SERVING; 1 anything else the server answered (NOT_SERVING,
NOT_FOUND, UNAUTHENTICATED, ...); 2 usage error; 3 the server could not be
reached (UNAVAILABLE, or --timeout expired); 130 interrupted.
"""

LIST_DESCRIPTION = """\
List what the server at HOST:PORT lets calls reach, one callable a line:
MODULE:PATH(PARAMETERS), then the first line of its docstring. Parameters are
names and kinds; a default shows as =... without its value. Only a server
with the exposure guard (as serve runs) answers.

Exit status: 0 listed; 1 the server refused or failed the listing (a server
without the guard refuses with PERMISSION_DENIED); 2 usage error; 3 the server
could not be reached (UNAVAILABLE, or --timeout expired); 130 interrupted.
"""

CALL_DESCRIPTION = """\
Call MODULE:PATH on the server at HOST:PORT once and print the result as JSON.

MODULE is the dotted module name, PATH the dotted attribute path inside it
(a function, Class.staticmethod, object.method), as in entry points. Each ARG
is parsed as JSON when it is JSON (5, 2.5, true, null, "text", [1, 2], {"a": 1})
and taken as text otherwise (hello).

Exit status: 0 the result was printed; 1 the remote target raised (its type and
message are printed on stderr); 2 usage error; 3 the call did not complete
(server unreachable, --timeout expired, unknown module or attribute, a result
that is not JSON); 130 interrupted.
"""


class UsageError(Exception):
    """A wrong command line, reported as one line with exit status 2."""


class _Parser(argparse.ArgumentParser):
    """argparse, with usage errors as one line instead of usage plus error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, "%s: error: %s (see --help)\n" % (self.prog, message))


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1: %r" % text)
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more: %r" % text)
    return value


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a port number: %r" % text)
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError("port out of range 1-65535: %r" % text)
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: %r" % text)
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("must be a positive number of seconds: %r" % text)
    return value


def _log_level(text: str) -> str:
    level = text.upper()
    if level not in LOG_LEVELS:
        raise argparse.ArgumentTypeError("choose from %s" % ", ".join(LOG_LEVELS))
    return level


def _paragraphs(text: str) -> str:
    """Text refilled paragraph by paragraph, for a help description."""
    return "\n\n".join(textwrap.fill(" ".join(p.split()), 79) for p in text.split("\n\n"))


def build_parser() -> argparse.ArgumentParser:
    """The parser of ``python -m sorvane`` and its two commands."""
    from sorvane import __version__

    parser = _Parser(
        prog="python -m sorvane",
        description="Serve Python modules over gRPC; call a function on a sorvane server, "
                    "check its health or list what it exposes.",
    )
    parser.add_argument("--version", action="version", version="sorvane " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    # Python 3.7's add_subparsers has no required=; main() checks instead.

    formatter = argparse.RawDescriptionHelpFormatter
    serve = commands.add_parser(
        "serve", help="serve modules over gRPC",
        description=_paragraphs(SERVE_DESCRIPTION.format(
            exposure=EXPOSURE_GUARDED if have_guard() else EXPOSURE_UNGUARDED)),
        formatter_class=formatter)
    serve.add_argument("modules", nargs="+", metavar="MODULE",
                       help="dotted name of a module whose functions and classes clients may call")
    serve.add_argument("--host", default="127.0.0.1",
                       help="address to listen on (default: 127.0.0.1; 0.0.0.0 for every interface)")
    serve.add_argument("--port", type=_port, default=6565, help="TCP port (default: 6565)")
    serve.add_argument("--workers", type=_positive_int, default=10, metavar="N",
                       help="threads serving calls in each process (default: 10)")
    serve.add_argument("--max-message-length", type=_positive_int, default=268435456,
                       metavar="B", help="largest request and reply in bytes (default: 268435456)")
    serve.add_argument("--max-queued-calls", type=_count, default=DEFAULT_MAX_QUEUED_CALLS,
                       metavar="N", help="calls that may wait for a worker in each process; "
                                         "more get RESOURCE_EXHAUSTED (default: %d)"
                                         % DEFAULT_MAX_QUEUED_CALLS)
    serve.add_argument("--max-queued-bytes", type=_count, default=DEFAULT_MAX_QUEUED_BYTES,
                       metavar="B", help="bytes of requests that may wait for a worker in each "
                                         "process; more get RESOURCE_EXHAUSTED (default: %d)"
                                         % DEFAULT_MAX_QUEUED_BYTES)
    serve.add_argument("--request-wait", type=_seconds, default=DEFAULT_REQUEST_WAIT,
                       metavar="S", help="seconds a request has to arrive once its call has "
                                         "begun (default: %g)" % DEFAULT_REQUEST_WAIT)
    serve.add_argument("--processes", type=_positive_int, default=1, metavar="K",
                       help="server processes sharing the port, Linux only (default: 1)")
    serve.add_argument("--log-level", type=_log_level, default="INFO", metavar="L",
                       help="DEBUG, INFO, WARNING or ERROR (default: INFO); DEBUG logs every call")
    serve.add_argument("--metrics-port", type=_port, default=None, metavar="N",
                       help="serve Prometheus metrics on http://127.0.0.1:N/metrics "
                            "(needs pip install sorvane[metrics])")
    _engine_option(serve)
    secure = serve.add_argument_group(
        "security", "A server listening beyond loopback needs TLS or a token (or --insecure).")
    secure.add_argument("--tls-cert", metavar="FILE", default=None,
                        help="PEM certificate chain: serve over TLS (needs --tls-key)")
    secure.add_argument("--tls-key", metavar="FILE", default=None,
                        help="PEM private key of --tls-cert")
    secure.add_argument("--tls-client-ca", metavar="FILE", default=None,
                        help="PEM CA: clients must present a certificate it signed (mutual TLS)")
    secure.add_argument("--token-file", metavar="FILE", default=None,
                        help="require this shared token from every client "
                             "(default: $SORVANE_TOKEN when set)")
    secure.add_argument("--insecure", action="store_true",
                        help="allow listening beyond loopback without TLS or a token")
    # Set by a multi-process parent on its children, so that they stop when
    # the parent disappears without having stopped them.
    serve.add_argument("--parent-pid", type=int, default=None, help=argparse.SUPPRESS)

    call = commands.add_parser(
        "call", help="call a function on a server and print the result",
        description=CALL_DESCRIPTION, formatter_class=formatter)
    call.add_argument("address", metavar="HOST:PORT", help="the server, e.g. 127.0.0.1:6565")
    call.add_argument("target", metavar="MODULE:PATH", help="e.g. mypackage.mymodule:Class.method")
    call.add_argument("args", nargs="*", metavar="ARG", help="positional argument, JSON or text")
    call.add_argument("--kwargs", default=None, metavar="JSON",
                      help='keyword arguments as a JSON object, e.g. \'{"b": 2}\'')
    call.add_argument("--timeout", type=_seconds, default=None, metavar="S",
                      help="give up after S seconds (default: wait as long as the call takes)")
    _engine_option(call)
    _client_security_options(call)

    health = commands.add_parser(
        "health", help="check whether a server serves",
        description=HEALTH_DESCRIPTION, formatter_class=formatter)
    health.add_argument("address", metavar="HOST:PORT", help="the server, e.g. 127.0.0.1:6565")
    health.add_argument("--service", default="", metavar="NAME",
                        help='the service to ask about (default: "", the server as a whole)')
    health.add_argument("--timeout", type=_seconds, default=5.0, metavar="S",
                        help="give up after S seconds (default: 5)")
    _engine_option(health)
    _client_security_options(health)

    listing = commands.add_parser(
        "list", help="list what a server lets calls reach",
        description=LIST_DESCRIPTION, formatter_class=formatter)
    listing.add_argument("address", metavar="HOST:PORT", help="the server, e.g. 127.0.0.1:6565")
    listing.add_argument("--timeout", type=_seconds, default=30.0, metavar="S",
                         help="give up after S seconds (default: 30)")
    _engine_option(listing)
    _client_security_options(listing)
    return parser


def _client_security_options(command: argparse.ArgumentParser) -> None:
    secure = command.add_argument_group("security")
    secure.add_argument("--tls-ca", metavar="FILE", default=None,
                        help="PEM CA that signed the server's certificate: call over TLS")
    secure.add_argument("--tls-cert", metavar="FILE", default=None,
                        help="PEM client certificate, for servers that require one (needs --tls-key)")
    secure.add_argument("--tls-key", metavar="FILE", default=None,
                        help="PEM private key of --tls-cert")
    secure.add_argument("--tls-server-name", metavar="NAME", default=None,
                        help="the name in the server's certificate, when not HOST")
    secure.add_argument("--token-file", metavar="FILE", default=None,
                        help="send this token with the call (default: $SORVANE_TOKEN when set)")


def _engine_option(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--engine", choices=("native", "grpcio"), default=None,
        help="transport engine (default: $SORVANE_ENGINE, else native when it was built)")


def select_engine(name: Optional[str]) -> str:
    """Applies --engine (or the environment's choice); returns the engine's name."""
    from sorvane import engine

    if name is not None:
        engine.select(name)
    return engine.current()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    ns = parser.parse_args(argv)
    if ns.command is None:
        sys.stderr.write("%s: error: choose a command: serve, call, health or list (see --help)\n"
                         % parser.prog)
        return EXIT_USAGE
    command = ns.command  # type: str
    try:
        select_engine(ns.engine)
    except (RuntimeError, ValueError) as e:
        _fail("%s %s: error: %s" % (parser.prog, command, e))
        return EXIT_USAGE
    try:
        if command == "serve":
            return serve_command(ns)
        if command == "health":
            return health_command(ns)
        if command == "list":
            return list_command(ns)
        return call_command(ns)
    except UsageError as e:
        _fail("%s %s: error: %s (see --help)" % (parser.prog, command, e))
        return EXIT_USAGE


def _fail(line: str) -> None:
    sys.stderr.write(_one_line(line) + "\n")
    sys.stderr.flush()


def _warn(line: str) -> None:
    _fail("warning: " + line)


def _one_line(text: str) -> str:
    return " ".join(text.split())


# -- call -------------------------------------------------------------------


def parse_address(text: str) -> Tuple[str, int]:
    """Splits HOST:PORT at the last colon; [v6]:PORT keeps its brackets."""
    host, sep, port = text.rpartition(":")
    if not sep or not host:
        raise UsageError("expected HOST:PORT, got %r" % text)
    try:
        number = _port(port)
    except argparse.ArgumentTypeError as e:
        raise UsageError("%s in %r" % (e, text))
    return host, number


def parse_target(text: str) -> Tuple[str, str]:
    """Splits MODULE:PATH at its colon into the module and the attribute path."""
    module, sep, path = text.partition(":")
    if not sep or not module or not path or ":" in path:
        raise UsageError("expected MODULE:PATH such as mymodule:function, got %r" % text)
    return module, path


def parse_arg(text: str) -> Any:
    """A command-line argument as JSON when it parses as JSON, else as text."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def parse_kwargs(text: Optional[str]) -> Dict[str, Any]:
    if text is None:
        return {}
    try:
        value = json.loads(text)
    except ValueError as e:
        raise UsageError("--kwargs is not JSON: %s" % e)
    if not isinstance(value, dict):
        raise UsageError("--kwargs must be a JSON object, got %s" % type(value).__name__)
    return value


def read_token(ns: argparse.Namespace) -> Optional[str]:
    """--token-file's token, else $SORVANE_TOKEN's, else None; UsageError when bad."""
    from sorvane import security

    try:
        if ns.token_file is not None:
            return security.read_token_file(ns.token_file)
        if os.environ.get("SORVANE_TOKEN"):
            return security.check_token(os.environ["SORVANE_TOKEN"].strip(),
                                        "token in $SORVANE_TOKEN")
    except (TypeError, ValueError) as e:
        raise UsageError(str(e))
    return None


def is_loopback(host: str) -> bool:
    """Whether listening on `host` keeps the port on this machine."""
    import ipaddress

    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def server_security(ns: argparse.Namespace) -> Dict[str, Any]:
    """GrpcServer's tls= and token= from the command line; UsageError when the
    files are bad or when a non-loopback address would be served in clear."""
    from sorvane import security

    settings = {}  # type: Dict[str, Any]
    if (ns.tls_cert is None) != (ns.tls_key is None):
        raise UsageError("--tls-cert and --tls-key go together")
    if ns.tls_client_ca is not None and ns.tls_cert is None:
        raise UsageError("--tls-client-ca needs --tls-cert and --tls-key")
    if ns.tls_cert is not None:
        try:
            settings["tls"] = security.ServerTls.from_files(ns.tls_cert, ns.tls_key,
                                                            ns.tls_client_ca)
        except (TypeError, ValueError) as e:
            raise UsageError(str(e))
    token = read_token(ns)
    if token is not None:
        settings["token"] = token
    if not settings and not is_loopback(ns.host) and not ns.insecure:
        raise UsageError(
            "refusing to serve %s without TLS or a token: any client that reaches the port "
            "could run the exposed functions and read every call in clear. Give --tls-cert and "
            "--tls-key, or --token-file (or $SORVANE_TOKEN), or --insecure to serve anyway"
            % ns.host)
    return settings


def serve_warnings(host: str, settings: Dict[str, Any], token_file: Optional[str] = None,
                   tls_key: Optional[str] = None) -> List[str]:
    """What serve warns of before it listens on `host` with `settings`
    (server_security's): a token sent in clear text beyond loopback, and a
    token or key file that other users may read. One line each."""
    warnings = []
    if "token" in settings and "tls" not in settings and not is_loopback(host):
        warnings.append(
            "the token travels in clear text: serving %s without TLS, anyone who can see the "
            "traffic can read the token and call with it; give --tls-cert and --tls-key" % host)
    for what, path in (("token file", token_file), ("TLS key file", tls_key)):
        if path is None or os.name != "posix":  # elsewhere st_mode does not say who may read
            continue
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode)
        except OSError:
            continue
        if mode & 0o077:
            warnings.append("the %s %s is open to group or others (mode %04o): chmod 600 %s"
                            % (what, path, mode, shlex.quote(path)))
    return warnings


def describe_security(ns: argparse.Namespace, settings: Dict[str, Any]) -> str:
    """What protects a server, for its start log (never the token itself)."""
    parts = []
    if "tls" in settings:
        parts.append("TLS with client certificates" if ns.tls_client_ca else "TLS")
    if "token" in settings:
        parts.append("token")
    if parts:
        return " and ".join(parts)
    return "none (loopback)" if is_loopback(ns.host) else "none (--insecure)"


def client_security(ns: argparse.Namespace) -> Dict[str, Any]:
    """Server(...)'s tls= and token= from the command line."""
    from sorvane import security

    settings = {}  # type: Dict[str, Any]
    if (ns.tls_cert is None) != (ns.tls_key is None):
        raise UsageError("--tls-cert and --tls-key go together")
    if ns.tls_ca is None and (ns.tls_cert is not None or ns.tls_server_name is not None):
        raise UsageError("--tls-cert, --tls-key and --tls-server-name need --tls-ca")
    if ns.tls_ca is not None:
        try:
            settings["tls"] = security.ClientTls.from_files(ns.tls_ca, ns.tls_cert, ns.tls_key,
                                                            ns.tls_server_name)
        except (TypeError, ValueError) as e:
            raise UsageError(str(e))
    token = read_token(ns)
    if token is not None:
        settings["token"] = token
    return settings


def call_command(ns: argparse.Namespace) -> int:
    host, port = parse_address(ns.address)
    module, path = parse_target(ns.target)
    args = [parse_arg(a) for a in ns.args]
    kwargs = parse_kwargs(ns.kwargs)
    settings = client_security(ns)

    import grpc
    from sorvane.corvex import GrpcException, GrpcHelper, Server

    entry = Server("cli", host, port, **settings)
    try:
        with entry as stub:
            result = GrpcHelper.call_rpc_result(stub, module, path, args=args, kwargs=kwargs,
                                                timeout=ns.timeout)
    except KeyboardInterrupt:
        _fail("interrupted")
        return EXIT_INTERRUPTED
    except GrpcException as e:
        _fail("remote %s: %s" % (e.exc_type, e.message))
        return EXIT_ERROR
    except grpc.RpcError as e:
        _fail("error: RPC failed: %s" % describe_rpc_error(e))
        return EXIT_FAILED
    except Exception as e:
        # A reply that is not a result envelope (undecodable, or a status
        # that is neither 0 nor -1): the call happened but has no result.
        _fail("error: bad reply from %s: %s: %s" % (ns.address, type(e).__name__, e))
        return EXIT_FAILED
    try:
        text = json.dumps(result, ensure_ascii=False)
    except (TypeError, ValueError) as e:  # cannot happen for a decoded JSON value
        _fail("error: result is not JSON: %s" % e)
        return EXIT_FAILED
    sys.stdout.write(text + "\n")
    sys.stdout.flush()
    return EXIT_OK


# -- health and list --------------------------------------------------------

#: gRPC codes that mean the server was not reached (in time).
UNREACHED = ("UNAVAILABLE", "DEADLINE_EXCEEDED")


def _ask(ns: argparse.Namespace, method: str, request: bytes) -> bytes:
    """One unary call of `method` with raw bytes, on the chosen engine, with
    the command line's TLS and token; raises grpc.RpcError."""
    from sorvane import engine, security

    host, port = parse_address(ns.address)
    settings = client_security(ns)
    options = [("grpc.max_receive_message_length", 268435456)]
    channel = security.open_channel(engine.transport(), "%s:%d" % (host, port), options,
                                    settings.get("tls"), settings.get("token"))
    try:
        return channel.unary_unary(method)(request, timeout=ns.timeout)
    finally:
        channel.close()


def _code_name(error: Any) -> str:
    code = getattr(error, "code", None)
    value = code() if callable(code) else None
    return getattr(value, "name", None) or "UNKNOWN"


def _printable(text: str) -> str:
    """`text` with control characters escaped, for a terminal."""
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def health_command(ns: argparse.Namespace) -> int:
    import grpc
    from sorvane import ops

    try:
        reply = _ask(ns, ops.CHECK_METHOD, ops.encode_health_request(ns.service))
    except KeyboardInterrupt:
        _fail("interrupted")
        return EXIT_INTERRUPTED
    except grpc.RpcError as e:
        name = _code_name(e)
        sys.stdout.write(name + "\n")
        sys.stdout.flush()
        _fail("error: health check failed: %s" % _printable(describe_rpc_error(e)))
        return EXIT_FAILED if name in UNREACHED else EXIT_ERROR
    try:
        status = ops.decode_health_response(reply)
    except ops.MalformedMessage as e:
        _fail("error: bad reply from %s: %s" % (ns.address, e))
        return EXIT_ERROR
    sys.stdout.write(ops.STATUS_NAMES.get(status, "UNKNOWN(%d)" % status) + "\n")
    sys.stdout.flush()
    return EXIT_OK if status == ops.SERVING else EXIT_ERROR


def _listing(reply: bytes) -> List[Tuple[str, str, str]]:
    """(name, signature, doc) of each entry of a listing; ValueError when the
    reply is not one."""
    entries = json.loads(reply.decode("utf-8"))
    if not isinstance(entries, list):
        raise ValueError("not a JSON list")
    rows = []
    for entry in entries:
        if not isinstance(entry, dict):
            raise ValueError("an entry is not a JSON object")
        fields = tuple(entry.get(key, "") for key in ("name", "signature", "doc"))
        if not all(isinstance(field, str) for field in fields):
            raise ValueError("an entry's name, signature or doc is not text")
        rows.append(fields)
    return rows  # type: ignore[return-value]


def list_command(ns: argparse.Namespace) -> int:
    import grpc
    from sorvane import ops

    try:
        reply = _ask(ns, ops.LIST_METHOD, b"")
    except KeyboardInterrupt:
        _fail("interrupted")
        return EXIT_INTERRUPTED
    except grpc.RpcError as e:
        name = _code_name(e)
        if name == "PERMISSION_DENIED":
            details = e.details() if callable(getattr(e, "details", None)) else ""
            _fail(_printable(details or name))
        else:
            _fail("error: listing failed: %s" % _printable(describe_rpc_error(e)))
        return EXIT_FAILED if name in UNREACHED else EXIT_ERROR
    try:
        rows = _listing(reply)
    except ValueError as e:  # UnicodeDecodeError and json's errors included
        _fail("error: bad reply from %s: %s" % (ns.address, e))
        return EXIT_ERROR
    lines = []
    for name, signature, doc in rows:
        line = _printable(name + signature)
        if doc:
            line += "  " + _printable(doc)
        lines.append(line + "\n")
    sys.stdout.write("".join(lines))
    sys.stdout.flush()
    return EXIT_OK


def describe_rpc_error(error: Any) -> str:
    """``CODE: details`` of a gRPC call error, or its text if it has no code."""
    code = getattr(error, "code", None)
    details = getattr(error, "details", None)
    if callable(code) and callable(details):
        name = getattr(code(), "name", str(code()))
        return "%s: %s" % (name, details() or "")
    return str(error)


# -- serve ------------------------------------------------------------------


class _StopRequest:
    """SIGINT and SIGTERM as a request to stop, which the main thread waits for.

    The handler only notes the signal and wakes the main thread; the stopping
    is done by the main thread once wait() returns. An exception raised from
    the handler would land in whatever the main thread runs at that moment,
    which may take it for its own: logging reports it as a logging error and
    carries on, an ``except Exception`` around an import or the server's start
    calls it a failure, and threading's internals are left half done.

    One request is enough: a second signal gets the default action
    (KeyboardInterrupt for SIGINT, termination for SIGTERM), so that a stop
    that hangs can still be cut short.
    """

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self) -> None:
        #: The name of the signal that asked to stop, once one has.
        self.signal_name = None  # type: Optional[str]
        self._reader, self._writer = socket.socketpair()
        for end in (self._reader, self._writer):
            end.setblocking(False)
        self._old_wakeup_fd = -1
        self._old_handlers = []  # type: List[Any]

    def install(self) -> None:
        """Installs the handlers; main thread only."""
        # The interpreter's own low-level handler writes to the wakeup socket
        # in whatever thread the signal arrives; that wakes a main thread
        # blocked in select() where the signal does not interrupt the call
        # (another thread took it, or Windows).
        self._old_wakeup_fd = signal.set_wakeup_fd(self._writer.fileno())
        self._old_handlers = [signal.getsignal(sig) for sig in self.SIGNALS]
        for sig in self.SIGNALS:
            signal.signal(sig, self._note)

    def _note(self, signum: int, frame: Any) -> None:
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        if self.signal_name is None:
            self.signal_name = signal.Signals(signum).name
        # Also wakes a select() that the signal interrupted: it restarts
        # after the handler and must not block again.
        try:
            self._writer.send(b"\0")
        except OSError:  # full: the main thread has wake-ups enough to read
            pass

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until a signal asks to stop, or `timeout` seconds at most;
        returns whether one has."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.signal_name is None:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            select.select([self._reader], [], [], left)
            try:
                while self._reader.recv(512):
                    pass
            except OSError:  # nothing more to read
                pass
        return True

    def close(self) -> None:
        """Puts back the wakeup fd found by install(), and the handlers where
        this one's are still installed."""
        for sig, handler in zip(self.SIGNALS, self._old_handlers):
            if signal.getsignal(sig) == self._note:
                signal.signal(sig, handler if handler is not None else signal.SIG_DFL)
        # Before the socket closes: the descriptor's number could be reused.
        signal.set_wakeup_fd(self._old_wakeup_fd)
        self._reader.close()
        self._writer.close()


def _configure_logging(level: str) -> None:
    logging.basicConfig(level=getattr(logging, level), format=LOG_FORMAT, stream=sys.stderr)


def only_modules(modules: Sequence[str]) -> Callable[[Any], str]:
    """A clazz handler that lets calls name the given modules and no other."""
    allowed = frozenset(modules)

    def clazz_handler(clazz: Any) -> str:
        if isinstance(clazz, str) and clazz in allowed:
            return clazz
        raise LookupError("module %r is not served here" % (clazz,))

    return clazz_handler


def have_guard() -> bool:
    """Whether this installation has the exposure guard, ``sorvane.guard``."""
    return importlib.util.find_spec("sorvane.guard") is not None


def expose(server: Any, modules: Sequence[str]) -> None:
    """Lets calls reach the listed modules only, through the guard if there is one."""
    if have_guard():
        from sorvane.guard import guard

        guard(server, list(modules))
    else:
        server.set_clazz_handler(only_modules(modules))


def serve_command(ns: argparse.Namespace) -> int:
    # TLS files, the token and the address are checked before anything listens.
    settings = server_security(ns)
    if ns.metrics_port is not None:
        if ns.processes > 1:
            raise UsageError("--metrics-port serves one process's metrics: use it with "
                             "--processes 1")
        if importlib.util.find_spec("prometheus_client") is None:
            raise UsageError("--metrics-port needs the prometheus_client package: "
                             "pip install sorvane[metrics]")
        settings["metrics_port"] = ns.metrics_port
    if ns.parent_pid is None:  # a multi-process parent has warned for its children
        for warning in serve_warnings(ns.host, settings, ns.token_file, ns.tls_key):
            _warn(warning)
    _configure_logging(ns.log_level)
    if ns.processes > 1:
        return _serve_processes(ns)
    return _serve_one(ns, settings)


def _serve_one(ns: argparse.Namespace, settings: Dict[str, Any]) -> int:
    stop = _StopRequest()
    stop.install()
    server = None  # type: Any
    try:
        for name in ns.modules:
            try:
                importlib.import_module(name)
            except Exception as e:
                _fail("error: cannot import module %r: %s: %s" % (name, type(e).__name__, e))
                return EXIT_ERROR
        from sorvane.corvex import GrpcServer

        server = GrpcServer(ns.host, ns.port, ns.workers, ns.max_message_length,
                            max_queued_calls=ns.max_queued_calls,
                            max_queued_bytes=ns.max_queued_bytes,
                            request_wait=ns.request_wait, **settings)
        try:
            expose(server, ns.modules)
        except (TypeError, ValueError) as e:
            _fail("error: cannot expose %s: %s" % (" ".join(ns.modules), e))
            return EXIT_ERROR
        if stop.signal_name is not None:
            log.info("%s: stopped before serving", stop.signal_name)
            return EXIT_OK
        try:
            server.run_background()
        except Exception as e:
            _fail("error: cannot serve on %s: %s: %s" % (server.address, type(e).__name__, e))
            return EXIT_ERROR
        from sorvane import engine

        log.info("transport engine: %s; security: %s", engine.current(),
                 describe_security(ns, settings))
        metrics = getattr(getattr(server, "ops", None), "metrics", None)
        if metrics is not None:
            log.info("metrics on %s", metrics.url)
        if ns.parent_pid is not None:
            _watch_parent(ns.parent_pid)
        stop.wait()
        log.info("%s: stopping, calls in flight get %gs", stop.signal_name, STOP_GRACE)
        server.rpc_server.stop(STOP_GRACE).wait()
        log.info("stopped")
        status = EXIT_OK
    except KeyboardInterrupt:
        # A second Ctrl-C: calls in flight get no more time.
        if server is None or server.rpc_server is None:
            return EXIT_INTERRUPTED
        server.rpc_server.stop(0)
        status = EXIT_INTERRUPTED
    finally:
        stop.close()
    _exit_soon(status)
    return status


def _exit_soon(status: int) -> None:
    """Ends the process if a target still runs EXIT_DELAY seconds from now.

    gRPC has cancelled its call by then, but the thread running it would keep
    the interpreter from exiting for as long as the target takes.
    """

    def force_exit() -> None:
        log.warning("a call still runs %gs after the stop; exiting without it", EXIT_DELAY)
        for handler in logging.getLogger().handlers:
            handler.flush()
        os._exit(status)

    timer = threading.Timer(EXIT_DELAY, force_exit)
    timer.daemon = True
    timer.start()


def _watch_parent(parent_pid: int) -> None:
    """Stops this child when its multi-process parent is gone."""

    def watch() -> None:
        while os.getppid() == parent_pid:
            time.sleep(1.0)
        os.kill(os.getpid(), signal.SIGTERM)

    threading.Thread(target=watch, name="sorvane-parent-watch", daemon=True).start()


def _child_command(ns: argparse.Namespace) -> List[str]:
    command = [sys.executable, "-m", "sorvane", "serve"]
    command += list(ns.modules)
    command += ["--host", ns.host, "--port", str(ns.port), "--workers", str(ns.workers),
                "--max-message-length", str(ns.max_message_length),
                "--max-queued-calls", str(ns.max_queued_calls),
                "--max-queued-bytes", str(ns.max_queued_bytes),
                "--request-wait", repr(ns.request_wait), "--processes", "1",
                "--log-level", ns.log_level, "--parent-pid", str(os.getpid())]
    if ns.engine is not None:
        command += ["--engine", ns.engine]
    for option, value in (("--tls-cert", ns.tls_cert), ("--tls-key", ns.tls_key),
                          ("--tls-client-ca", ns.tls_client_ca),
                          ("--token-file", ns.token_file)):
        if value is not None:
            command += [option, value]
    if ns.insecure:
        command.append("--insecure")
    return command


def _serve_processes(ns: argparse.Namespace) -> int:
    """K children on one port; stops them all when asked or when one dies."""
    if os.name != "posix" or sys.platform == "darwin":
        raise UsageError("--processes above 1 needs Linux port sharing (SO_REUSEPORT)")
    stop = _StopRequest()
    stop.install()
    children = []  # type: List[subprocess.Popen[bytes]]
    status = EXIT_OK
    try:
        for _ in range(ns.processes):
            if stop.signal_name is not None:
                break
            # A session of their own keeps a terminal's Ctrl-C away from the
            # children: the parent alone decides how they stop.
            children.append(subprocess.Popen(_child_command(ns), start_new_session=True))
        if children:
            log.info("started %d server processes on %s:%d: %s", len(children), ns.host,
                     ns.port, " ".join(str(c.pid) for c in children))
        while not stop.wait(0.2):
            exited = [child for child in children if child.poll() is not None]
            if exited:
                _fail("error: server process %d exited with status %d; stopping the others"
                      % (exited[0].pid, exited[0].returncode))
                status = EXIT_ERROR
                break
    except KeyboardInterrupt:  # a second Ctrl-C: the children are stopped all the same
        status = EXIT_INTERRUPTED
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        stop.close()
        asked = _stop_children(children)
    for child in children:
        # A child still starting when asked to stop dies of the SIGTERM
        # before it has its handler: that is the stop that was asked for.
        stopped = child.returncode == 0 or (child in asked
                                            and child.returncode == -signal.SIGTERM)
        if not stopped and status == EXIT_OK:
            status = EXIT_ERROR
    return status


def _stop_children(children: "List[subprocess.Popen[bytes]]") -> "List[subprocess.Popen[bytes]]":
    """Sends SIGTERM to the children still running and waits for them all,
    killing those that outstay STOP_GRACE by 5s; returns those sent SIGTERM."""
    asked = [child for child in children if child.poll() is None]
    for child in asked:
        child.send_signal(signal.SIGTERM)
    deadline = time.monotonic() + STOP_GRACE + 5.0
    for child in children:
        try:
            child.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
    return asked
