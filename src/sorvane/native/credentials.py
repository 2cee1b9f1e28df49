"""TLS credentials for native servers and channels: grpcio's credential
types, carrying the PEM material the engine's TLS setup reads."""
from typing import Iterable, Optional, Tuple

import grpc

__all__ = ["ssl_channel_credentials", "ssl_server_credentials"]

# (root certificates, private key, certificate chain, require client auth)
_Tls = Tuple[Optional[bytes], Optional[bytes], Optional[bytes], bool]


class _ChannelCredentials(grpc.ChannelCredentials):
    def __init__(self, tls: _Tls) -> None:
        self._sorvane_tls = tls


class _ServerCredentials(grpc.ServerCredentials):
    def __init__(self, tls: _Tls) -> None:
        self._sorvane_tls = tls


def ssl_channel_credentials(root_certificates: Optional[bytes] = None,
                            private_key: Optional[bytes] = None,
                            certificate_chain: Optional[bytes] = None) -> _ChannelCredentials:
    """grpc.ssl_channel_credentials for native channels (PEM bytes)."""
    return _ChannelCredentials((root_certificates, private_key, certificate_chain, False))


def ssl_server_credentials(private_key_certificate_chain_pairs: Iterable[Tuple[bytes, bytes]],
                           root_certificates: Optional[bytes] = None,
                           require_client_auth: bool = False) -> _ServerCredentials:
    """grpc.ssl_server_credentials for native servers: one (key, chain) pair."""
    pairs = list(private_key_certificate_chain_pairs)
    if len(pairs) != 1:
        raise ValueError("the native engine takes exactly one (private key, certificate chain) pair")
    key, chain = pairs[0]
    if require_client_auth and root_certificates is None:
        raise ValueError("require_client_auth needs root_certificates")
    return _ServerCredentials((root_certificates, key, chain, bool(require_client_auth)))
