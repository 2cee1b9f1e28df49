"""What the server and the client side of the native engine share: status
codes by number, metadata items as grpcio gives them, the message that turns
request-streaming methods away, and the server's logger."""
import collections
import logging
from typing import Any, Dict, Iterable, Tuple, Union

import grpc

# Handler failures and exit waits are logged where grpcio's server logs them.
_LOGGER = logging.getLogger("grpc._server")
_CODES = {code.value[0]: code for code in grpc.StatusCode}  # type: Dict[int, grpc.StatusCode]
_NO_REQUEST_STREAMING = (
    "the native engine serves and calls unary-unary and unary-stream methods only; "
    "choose the grpcio engine (SORVANE_ENGINE=grpcio) for request-streaming methods"
)

#: A metadata value: str, or bytes for keys ending in "-bin".
MetadataValue = Union[str, bytes]
#: Metadata as the engine hands it over: (key, value) pairs.
MetadataPairs = Iterable[Tuple[str, MetadataValue]]
#: Metadata as a call reports it: a tuple of :class:`_Metadatum`.
Metadata = Tuple[Any, ...]

# Metadata items as grpcio gives them: (key, value) pairs with named fields.
_Metadatum = collections.namedtuple("_Metadatum", ("key", "value"))


def _metadata(pairs: MetadataPairs) -> Metadata:
    return tuple(_Metadatum(key, value) for key, value in pairs)


def _number(code: Union[grpc.StatusCode, int]) -> int:
    return code.value[0] if isinstance(code, grpc.StatusCode) else int(code)
