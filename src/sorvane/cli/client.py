"""The client commands: ``call`` (one remote call, its result printed as
JSON), ``health`` (the server's health service) and ``list`` (what the
server's exposure guard lets calls reach), with the parsing of their
arguments."""

import argparse
import json
import sys
from typing import Any, Dict, List, Optional, Tuple

from sorvane.cli.parser import _port
from sorvane.cli.security import client_security
from sorvane.cli.status import (EXIT_ERROR, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, UsageError,
                                _fail)


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


def routing_settings(ns: argparse.Namespace) -> Dict[str, Any]:
    """The Server entry settings of --balance and --wait-for-ready."""
    settings = {}  # type: Dict[str, Any]
    if getattr(ns, "balance", None):
        settings["balance"] = ns.balance
    if getattr(ns, "wait_for_ready", False):
        settings["wait_for_ready"] = True
    return settings


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


def call_command(ns: argparse.Namespace) -> int:
    host, port = parse_address(ns.address)
    module, path = parse_target(ns.target)
    args = [parse_arg(a) for a in ns.args]
    kwargs = parse_kwargs(ns.kwargs)
    settings = client_security(ns)

    import grpc
    from sorvane.corvex import GrpcException, GrpcHelper, Server

    settings.update(routing_settings(ns))
    entry = Server("cli", host, port, **settings)
    try:
        with entry as stub:
            if getattr(ns, "stream", False):
                return _print_stream(stub, module, path, args, kwargs, ns.timeout,
                                     getattr(ns, "idempotent", False))
            result = GrpcHelper.call_rpc_result(stub, module, path, args=args, kwargs=kwargs,
                                                timeout=ns.timeout,
                                                idempotent=getattr(ns, "idempotent", False))
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


def _print_stream(stub: Any, module: str, path: str, args: List[Any], kwargs: Dict[str, Any],
                  timeout: Optional[float], idempotent: bool = False) -> int:
    """Prints each item of a streamed call as a JSON line, as it arrives."""
    from sorvane import streaming

    results = streaming.call_stream(stub, module, path, args, kwargs, timeout=timeout,
                                    idempotent=idempotent)
    try:
        for item in results:
            sys.stdout.write(json.dumps(item, ensure_ascii=False) + "\n")
            sys.stdout.flush()
    finally:
        results.close()
    return EXIT_OK


# -- health and list --------------------------------------------------------

#: gRPC codes that mean the server was not reached (in time).
UNREACHED = ("UNAVAILABLE", "DEADLINE_EXCEEDED")


def _ask(ns: argparse.Namespace, method: str, request: bytes) -> bytes:
    """One unary call of `method` with raw bytes, on the chosen engine, with
    the command line's TLS and token; raises grpc.RpcError."""
    from sorvane import engine, routing, security

    host, port = parse_address(ns.address)
    settings = client_security(ns)
    routed = routing_settings(ns)
    options = [("grpc.max_receive_message_length", 268435456)]
    options += routing.channel_options(routed.get("balance"), None)
    channel = security.open_channel(engine.transport(), "%s:%d" % (host, port), options,
                                    settings.get("tls"), settings.get("token"))
    try:
        return channel.unary_unary(method)(request, timeout=ns.timeout,
                                           wait_for_ready=routed.get("wait_for_ready"))
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
