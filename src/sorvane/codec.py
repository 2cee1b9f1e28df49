"""The codecs of a call: how its description and its result travel.

A call names its codec in ``CommonRequest.serialize`` and the server answers
in the same one:

- ``JSON`` (3, the default, and every code other than ``CBOR``): JSON text,
  as sorvane has always sent it.
- ``CBOR`` (8949, after its RFC): CBOR, which carries what JSON cannot: bytes,
  tuples, sets, dates and times, decimals, UUIDs, integers of any size, NaN
  and infinities, and NumPy arrays (as RFC 8746 typed arrays; received as
  read-only arrays over the message's bytes). Registered tags are used where
  one exists, sorvane's own (52992-52998) where none does; decoding builds
  those values and nothing else.

A client picks the codec per call (``serialize=codec.CBOR`` on the call
helpers and on ``grpc_service``) or per registry entry
(``Server(..., serialize=codec.CBOR)``), which calls that leave `serialize`
at its default then use. A server that knows CBOR says so in every CBOR
reply's trailing metadata (``sorvane-codecs``); a CBOR call that a server
without it fails raises :class:`CodecUnsupported`.
"""

import logging
from typing import Any

import grpc

JSON = 3
CBOR = 8949

#: The trailing-metadata key that names the codes a server decodes.
CODECS_KEY = "sorvane-codecs"

logger = logging.getLogger("sorvane.codec")


class _Default(int):
    """The default serialization code: 3 (JSON), unless the registry entry
    of the stub the call goes through names another."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "3"

    def __reduce__(self) -> Any:
        return (_default, ())


def _default() -> "_Default":
    return DEFAULT


DEFAULT = _Default(JSON)


class CodecUnsupported(grpc.RpcError):
    """A call asked for a codec its server does not know (a server older than
    the codec, or another implementation of the wire contract)."""

    def __init__(self, code: int, error: grpc.RpcError) -> None:
        super().__init__("the server does not know serialization code %d (only JSON)" % code)
        self.serialize = code
        self.error = error

    def code(self) -> grpc.StatusCode:
        return self.error.code()

    def details(self) -> str:
        return str(self)


def dumps(value: Any) -> bytes:
    """The CBOR encoding of `value` (TypeError for a value it cannot carry)."""
    from sorvane import corvex
    return corvex._cbor_dumps(value)


def loads(data: bytes) -> Any:
    """The value of a CBOR encoding (``corvex.CodecError``, a ValueError, for
    input the codec does not accept)."""
    from sorvane import corvex
    return corvex._cbor_loads(data)


def _check_reply(error: BaseException, code: int) -> None:
    """Raises CodecUnsupported when `error` ended a CBOR call at a server
    that does not know the codec: its handler failed (UNKNOWN) and the reply
    does not name the codes it knows."""
    if not isinstance(error, grpc.RpcError):
        return
    try:
        if error.code() != grpc.StatusCode.UNKNOWN:
            return
        trailing = error.trailing_metadata() or ()
    except Exception:  # noqa: BLE001 - not a call's error after all
        return
    if any(item[0] == CODECS_KEY for item in trailing):
        return
    raise CodecUnsupported(int(code), error) from error


def _undecodable(context: Any, request: Any, error: BaseException) -> None:
    """Ends a call whose description cannot be decoded, with INVALID_ARGUMENT
    (raises `error` again without an RPC context)."""
    logger.warning("sorvane: a request that cannot be decoded: %s (request %r)", error,
                   str(getattr(request, "request_id", ""))[:64])
    abort = getattr(context, "abort", None)
    if abort is not None:
        abort(grpc.StatusCode.INVALID_ARGUMENT, "sorvane: the request cannot be decoded: %s" % error)
    raise error
