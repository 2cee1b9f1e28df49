"""TLS and token settings from the command line, for servers and clients,
and what serve warns of before it listens. The checks of the files
themselves are :mod:`sorvane.security`'s; a bad setting is a UsageError."""

import argparse
import os
import shlex
import stat
from typing import Any, Dict, List, Optional

from sorvane.cli.status import UsageError


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
