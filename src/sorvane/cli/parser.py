"""The command line's parser: the commands, their options and help texts,
and the argument types that check option values. Parsing only: nothing here
imports the framework, so ``--help`` works where the native modules cannot
load."""

import argparse
import textwrap
from typing import NoReturn

from sorvane.cli.serve import have_guard
from sorvane.cli.status import EXIT_USAGE

# serve's admission defaults: GrpcServer's (sorvane.admission, which this
# module does not import before it serves: it imports grpc).
DEFAULT_MAX_QUEUED_CALLS = 100
DEFAULT_MAX_QUEUED_BYTES = 268435456
DEFAULT_REQUEST_WAIT = 30.0

LOG_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")

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
and taken as text otherwise (hello). With --stream the call is a streamed one
(a target returning a generator or another iterator): each item is printed as
JSON on a line of its own as it arrives.

Exit status: 0 the result was printed; 1 the remote target raised (its type and
message are printed on stderr); 2 usage error; 3 the call did not complete
(server unreachable, --timeout expired, unknown module or attribute, a result
that is not JSON); 130 interrupted.
"""


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
    call.add_argument("address", metavar="HOST:PORT", help=ADDRESS_HELP)
    call.add_argument("target", metavar="MODULE:PATH", help="e.g. mypackage.mymodule:Class.method")
    call.add_argument("args", nargs="*", metavar="ARG", help="positional argument, JSON or text")
    call.add_argument("--kwargs", default=None, metavar="JSON",
                      help='keyword arguments as a JSON object, e.g. \'{"b": 2}\'')
    call.add_argument("--timeout", type=_seconds, default=None, metavar="S",
                      help="give up after S seconds (default: wait as long as the call takes)")
    call.add_argument("--stream", action="store_true",
                      help="stream the target's items (a generator's), one JSON line each")
    call.add_argument("--idempotent", action="store_true",
                      help="the call is safe to repeat: retry it on UNAVAILABLE, on another "
                           "server when there are several")
    _routing_options(call)
    _engine_option(call)
    _client_security_options(call)

    health = commands.add_parser(
        "health", help="check whether a server serves",
        description=HEALTH_DESCRIPTION, formatter_class=formatter)
    health.add_argument("address", metavar="HOST:PORT", help=ADDRESS_HELP)
    health.add_argument("--service", default="", metavar="NAME",
                        help='the service to ask about (default: "", the server as a whole)')
    health.add_argument("--timeout", type=_seconds, default=5.0, metavar="S",
                        help="give up after S seconds (default: 5)")
    _routing_options(health)
    _engine_option(health)
    _client_security_options(health)

    listing = commands.add_parser(
        "list", help="list what a server lets calls reach",
        description=LIST_DESCRIPTION, formatter_class=formatter)
    listing.add_argument("address", metavar="HOST:PORT", help=ADDRESS_HELP)
    listing.add_argument("--timeout", type=_seconds, default=30.0, metavar="S",
                         help="give up after S seconds (default: 30)")
    _routing_options(listing)
    _engine_option(listing)
    _client_security_options(listing)
    return parser


ADDRESS_HELP = ("the server, e.g. 127.0.0.1:6565; or several, as a gRPC target: "
                "dns:///NAME:PORT, ipv4:A:PORT,B:PORT")


def _routing_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--balance", choices=("pick_first", "round_robin"), default=None,
                         help="how calls pick among several servers (default: pick_first)")
    command.add_argument("--wait-for-ready", action="store_true",
                         help="wait for a server to accept the call instead of failing at once "
                              "while none is reachable (within --timeout)")


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
