"""Transport security and token authentication for sorvane servers and clients.

TLS::

    from sorvane.corvex import GrpcServer, Server
    from sorvane.security import ClientTls, ServerTls

    server = GrpcServer("0.0.0.0", 6565,
                        tls=ServerTls.from_files("server.pem", "server.key"),
                        token=open("token.txt").read().strip())
    entry = Server("calc", "calc.example", 6565,
                   tls=ClientTls.from_files("ca.pem"), token="...")

:class:`ServerTls` holds the server's certificate chain and private key, and
optionally a client CA: with one, clients must present a certificate signed by
it (mutual TLS). :class:`ClientTls` holds the CA that signed the server's
certificate, optionally the client's own certificate and key, and optionally
the name to expect in the server's certificate when it differs from the host
dialled. Both check their PEM material when they are made (``from_files``
reads and checks the files), so a bad or missing file is an error before any
port is bound.

Token authentication: the server's token is a shared secret; a client sends
it as the metadata ``authorization: Bearer <token>`` on every call. The server
compares it in constant time from the call's headers, before the request
message is read (so a refused call holds no worker and none of its message
is kept), and ends a call with a missing or wrong token with
UNAUTHENTICATED. Tokens never appear in reprs, logs or error texts. A token
without TLS travels in clear: use both anywhere but loopback.
"""
import hmac
import os
import ssl
import tempfile
from typing import Any, Iterable, List, Mapping, Optional, Tuple, Union

import grpc

from sorvane.admission import refusal

Pem = Union[bytes, str]

#: The metadata key a client's token travels under.
AUTHORIZATION = "authorization"
#: The details of a call refused for its token (nothing about the token itself).
UNAUTHENTICATED_DETAILS = "sorvane: a valid token is required"

__all__ = ["ServerTls", "ClientTls", "check_token", "read_token_file", "AUTHORIZATION",
           "UNAUTHENTICATED_DETAILS"]


def _pem(value: Pem, what: str) -> bytes:
    if isinstance(value, str):
        value = value.encode("ascii")
    if not isinstance(value, bytes):
        raise TypeError("%s must be PEM text (bytes or str), not %s" % (what, type(value).__name__))
    if b"-----BEGIN " not in value:
        raise ValueError("%s is not PEM text (no -----BEGIN line)" % what)
    return value


def _read(path: str, what: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise ValueError("cannot read the %s file %r: %s" % (what, path, e.strerror or e)) from None


def _check_pair(chain: bytes, key: bytes, what: str) -> None:
    """Loads the pair into an SSL context: the chain parses, the key parses and
    belongs to the chain's first certificate."""
    folder = tempfile.mkdtemp(prefix="sorvane-tls-")
    try:
        chain_path = os.path.join(folder, "chain.pem")
        key_path = os.path.join(folder, "key.pem")
        with open(chain_path, "wb") as f:
            f.write(chain)
        fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(key)
        try:
            ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).load_cert_chain(chain_path, key_path)
        except ssl.SSLError as e:
            raise ValueError("%s: the certificate chain and private key do not load together "
                             "(%s)" % (what, e.reason or e)) from None
    finally:
        for name in ("chain.pem", "key.pem"):
            try:
                os.unlink(os.path.join(folder, name))
            except OSError:
                pass
        os.rmdir(folder)


def _check_ca(ca: bytes, what: str) -> None:
    try:
        ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).load_verify_locations(cadata=ca.decode("ascii"))
    except (ssl.SSLError, UnicodeDecodeError, ValueError) as e:
        raise ValueError("%s is not a usable CA certificate (%s)" % (what, e)) from None


class ServerTls:
    """A server's TLS material: PEM certificate chain and private key, and an
    optional client CA that makes client certificates required."""

    __slots__ = ("cert_chain", "private_key", "client_ca")

    def __init__(self, cert_chain: Pem, private_key: Pem, client_ca: Optional[Pem] = None) -> None:
        self.cert_chain = _pem(cert_chain, "the certificate chain")
        self.private_key = _pem(private_key, "the private key")
        self.client_ca = None if client_ca is None else _pem(client_ca, "the client CA")
        _check_pair(self.cert_chain, self.private_key, "server TLS")
        if self.client_ca is not None:
            _check_ca(self.client_ca, "the client CA")

    @classmethod
    def from_files(cls, cert_file: str, key_file: str,
                   client_ca_file: Optional[str] = None) -> "ServerTls":
        return cls(_read(cert_file, "certificate"), _read(key_file, "private key"),
                   None if client_ca_file is None else _read(client_ca_file, "client CA"))

    def credentials(self, transport: Any) -> Any:
        """Server credentials made by `transport` (grpc or sorvane.native)."""
        return transport.ssl_server_credentials(
            [(self.private_key, self.cert_chain)], root_certificates=self.client_ca,
            require_client_auth=self.client_ca is not None)

    def __repr__(self) -> str:
        return "ServerTls(cert_chain=<%d bytes>, private_key=<hidden>, client_ca=%s)" % (
            len(self.cert_chain),
            "None" if self.client_ca is None else "<%d bytes>" % len(self.client_ca))


class ClientTls:
    """A client's TLS material: the PEM CA that signed the server's
    certificate, optionally the client's own certificate chain and private key
    (for servers that require them), and optionally the name the server's
    certificate carries when it is not the host dialled."""

    __slots__ = ("root_ca", "cert_chain", "private_key", "server_name")

    def __init__(self, root_ca: Pem, cert_chain: Optional[Pem] = None,
                 private_key: Optional[Pem] = None, server_name: Optional[str] = None) -> None:
        self.root_ca = _pem(root_ca, "the root CA")
        if (cert_chain is None) != (private_key is None):
            raise ValueError("a client certificate needs its private key, and the other way round")
        self.cert_chain = None if cert_chain is None else _pem(cert_chain, "the certificate chain")
        self.private_key = None if private_key is None else _pem(private_key, "the private key")
        if server_name is not None and (not isinstance(server_name, str) or not server_name):
            raise ValueError("server_name must be a non-empty string")
        self.server_name = server_name
        _check_ca(self.root_ca, "the root CA")
        if self.cert_chain is not None and self.private_key is not None:
            _check_pair(self.cert_chain, self.private_key, "client TLS")

    @classmethod
    def from_files(cls, ca_file: str, cert_file: Optional[str] = None,
                   key_file: Optional[str] = None,
                   server_name: Optional[str] = None) -> "ClientTls":
        return cls(_read(ca_file, "CA"),
                   None if cert_file is None else _read(cert_file, "certificate"),
                   None if key_file is None else _read(key_file, "private key"), server_name)

    def credentials(self, transport: Any) -> Any:
        """Channel credentials made by `transport` (grpc or sorvane.native)."""
        return transport.ssl_channel_credentials(self.root_ca, self.private_key, self.cert_chain)

    def options(self) -> List[Tuple[str, Any]]:
        """Channel options this material needs (the expected server name)."""
        if self.server_name is None:
            return []
        return [("grpc.ssl_target_name_override", self.server_name)]

    def __repr__(self) -> str:
        return "ClientTls(root_ca=<%d bytes>, client certificate %s, server_name=%r)" % (
            len(self.root_ca), "given" if self.cert_chain else "none", self.server_name)


def check_token(token: Union[str, bytes], what: str = "token") -> str:
    """The token as text, or ValueError: a token is 1 to 4096 printable ASCII
    characters without spaces (it travels in an HTTP/2 header)."""
    if isinstance(token, bytes):
        try:
            token = token.decode("ascii")
        except UnicodeDecodeError:
            raise ValueError("the %s must be printable ASCII" % what) from None
    if not isinstance(token, str):
        raise TypeError("the %s must be str, not %s" % (what, type(token).__name__))
    if not 0 < len(token) <= 4096 or not all("!" <= c <= "~" for c in token):
        raise ValueError("the %s must be 1 to 4096 printable ASCII characters without spaces"
                         % what)
    return token


def read_token_file(path: str) -> str:
    """The token in a file (surrounding whitespace, such as a final newline, dropped)."""
    try:
        with open(path, "rb") as f:
            text = f.read().strip()
    except OSError as e:
        raise ValueError("cannot read the token file %r: %s" % (path, e.strerror or e)) from None
    return check_token(text, "token in %s" % path)


def bearer(token: str) -> Tuple[Tuple[str, str], ...]:
    """The metadata that carries `token`."""
    return ((AUTHORIZATION, "Bearer " + token),)


# ---- server side -----------------------------------------------------------


# Ends a refused call without reading its request; a server that admits calls
# (sorvane.admission) answers it from the call's headers, holding no worker.
_REFUSED = refusal(grpc.StatusCode.UNAUTHENTICATED, UNAUTHENTICATED_DETAILS)

# What a token-checked server passes on to the server it stands for: binding
# ports and running. Any other way in (a registration path of grpc.Server
# not listed here, a private attribute) would bypass the check.
_PASSED_ON = frozenset(("add_insecure_port", "add_secure_port", "start", "stop",
                        "wait_for_termination", "max_workers"))


class _TokenGate(grpc.GenericRpcHandler):
    """Lets a call through to `inner` only with the right token."""

    __slots__ = ("_inner", "_expected")
    # The header the native engine checks itself, before asking service(),
    # when `_inner` is one of grpcio's dictionary handlers.
    _sorvane_header = AUTHORIZATION

    def __init__(self, inner: Any, expected: bytes) -> None:
        self._inner = inner
        self._expected = expected

    def service(self, handler_call_details: Any) -> Any:
        given = b""
        for key, value in handler_call_details.invocation_metadata or ():
            if key == AUTHORIZATION:
                given = value.encode("utf-8", "replace") if isinstance(value, str) else value
                break
        # compare_digest takes time independent of where the two differ.
        if not hmac.compare_digest(given, self._expected):
            return _REFUSED
        return self._inner.service(handler_call_details)

    def __repr__(self) -> str:
        return "<token gate for %r>" % (self._inner,)


class TokenCheckedServer:
    """Stands in for a gRPC server while handlers are registered on it: every
    handler, registered either way grpc.Server offers, is put behind a token
    check. A server that can check a header before reading a call's message
    (the native engine's ``set_header_gate``) is told to check the token so
    too, for every method it serves; the check in Python stays as a second
    one."""

    def __init__(self, server: Any, token: str) -> None:
        self._server = server
        self._expected = ("Bearer " + check_token(token)).encode("ascii")
        set_header_gate = getattr(server, "set_header_gate", None)
        if set_header_gate is not None:
            set_header_gate(AUTHORIZATION, (self._expected,), grpc.StatusCode.UNAUTHENTICATED,
                            UNAUTHENTICATED_DETAILS)

    def add_generic_rpc_handlers(self, generic_rpc_handlers: Iterable[Any]) -> None:
        self._server.add_generic_rpc_handlers(
            tuple(_TokenGate(h, self._expected) for h in generic_rpc_handlers))

    def add_registered_method_handlers(self, service_name: str,
                                       method_handlers: Mapping[str, Any]) -> None:
        """Registers the handlers of `service_name` behind the token check
        (as a generic handler: a registered method skips generic handlers)."""
        self.add_generic_rpc_handlers(
            (grpc.method_handlers_generic_handler(service_name, dict(method_handlers)),))

    def __getattr__(self, name: str) -> Any:
        if name not in _PASSED_ON:
            raise AttributeError("a token-checked server has no %r: handlers are registered "
                                 "on it with add_generic_rpc_handlers or "
                                 "add_registered_method_handlers" % (name,))
        return getattr(self._server, name)

    def __repr__(self) -> str:
        return "<token-checked %r>" % (self._server,)


# ---- client side -----------------------------------------------------------


class _WithToken(grpc.UnaryUnaryMultiCallable):
    """A unary callable that adds the token's metadata to every call."""

    __slots__ = ("_inner", "_metadata")

    def __init__(self, inner: Any, token: str) -> None:
        self._inner = inner
        self._metadata = bearer(token)

    def _with(self, metadata: Any) -> Any:
        if not metadata:
            return self._metadata
        return tuple(metadata) + self._metadata

    def __call__(self, request: Any, timeout: Optional[float] = None, metadata: Any = None,
                 credentials: Any = None, wait_for_ready: Optional[bool] = None,
                 compression: Any = None) -> Any:
        return self._inner(request, timeout=timeout, metadata=self._with(metadata),
                           credentials=credentials, wait_for_ready=wait_for_ready,
                           compression=compression)

    def with_call(self, request: Any, timeout: Optional[float] = None, metadata: Any = None,
                  credentials: Any = None, wait_for_ready: Optional[bool] = None,
                  compression: Any = None) -> Any:
        return self._inner.with_call(request, timeout=timeout, metadata=self._with(metadata),
                                     credentials=credentials, wait_for_ready=wait_for_ready,
                                     compression=compression)

    def future(self, request: Any, timeout: Optional[float] = None, metadata: Any = None,
               credentials: Any = None, wait_for_ready: Optional[bool] = None,
               compression: Any = None) -> Any:
        return self._inner.future(request, timeout=timeout, metadata=self._with(metadata),
                                  credentials=credentials, wait_for_ready=wait_for_ready,
                                  compression=compression)

    def __repr__(self) -> str:
        return "<%r with a token>" % (self._inner,)


class _StreamWithToken(grpc.UnaryStreamMultiCallable):
    """A unary-stream callable that adds the token's metadata to every call."""

    __slots__ = ("_inner", "_metadata")

    def __init__(self, inner: Any, token: str) -> None:
        self._inner = inner
        self._metadata = bearer(token)

    def __call__(self, request: Any, timeout: Optional[float] = None, metadata: Any = None,
                 credentials: Any = None, wait_for_ready: Optional[bool] = None,
                 compression: Any = None) -> Any:
        metadata = self._metadata if not metadata else tuple(metadata) + self._metadata
        return self._inner(request, timeout=timeout, metadata=metadata,
                           credentials=credentials, wait_for_ready=wait_for_ready,
                           compression=compression)

    def __repr__(self) -> str:
        return "<%r with a token>" % (self._inner,)


class TokenChannel(grpc.Channel):
    """A channel whose unary and unary-stream callables send a token with every call."""

    def __init__(self, channel: Any, token: str) -> None:
        self._channel = channel
        self._token = check_token(token)

    def unary_unary(self, method: str, request_serializer: Any = None,
                    response_deserializer: Any = None, _registered_method: bool = False) -> Any:
        inner = self._channel.unary_unary(method, request_serializer=request_serializer,
                                          response_deserializer=response_deserializer)
        return _WithToken(inner, self._token)

    def unary_stream(self, method: str, request_serializer: Any = None,
                     response_deserializer: Any = None, _registered_method: bool = False) -> Any:
        inner = self._channel.unary_stream(method, request_serializer=request_serializer,
                                           response_deserializer=response_deserializer)
        return _StreamWithToken(inner, self._token)

    def stream_unary(self, *args: Any, **kwargs: Any) -> Any:
        raise NotImplementedError("a token channel sends no request streams")

    def stream_stream(self, *args: Any, **kwargs: Any) -> Any:
        raise NotImplementedError("a token channel sends no request streams")

    def subscribe(self, callback: Any, try_to_connect: bool = False) -> None:
        self._channel.subscribe(callback, try_to_connect)

    def unsubscribe(self, callback: Any) -> None:
        self._channel.unsubscribe(callback)

    def close(self) -> None:
        self._channel.close()

    def __enter__(self) -> "TokenChannel":
        return self

    def __exit__(self, *exc_info: Any) -> bool:
        self.close()
        return False

    def __repr__(self) -> str:
        return "<%r with a token>" % (self._channel,)


def open_channel(transport: Any, target: str, options: List[Tuple[str, Any]],
                 tls: Optional[ClientTls], token: Optional[str]) -> Any:
    """A channel to `target` on `transport`, with TLS and a token when given."""
    if tls is not None:
        if not isinstance(tls, ClientTls):
            raise TypeError("tls must be a sorvane.security.ClientTls, not %s"
                            % type(tls).__name__)
        channel = transport.secure_channel(target, tls.credentials(transport),
                                           options=list(options) + tls.options())
    else:
        channel = transport.insecure_channel(target, options=options)
    if token is not None:
        channel = TokenChannel(channel, token)
    return channel
