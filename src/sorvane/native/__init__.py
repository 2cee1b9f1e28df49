"""The native engine: grpcio's server and channel interfaces on sorvane's own HTTP/2 core.

:func:`server` returns a :class:`grpc.Server` and :func:`insecure_channel` a
:class:`grpc.Channel`, usable wherever grpcio's are (``brindlow``'s stub and
registration take them as they are). HTTP/2, connections and waiting run in
C++ threads (:mod:`sorvane._native`); the GIL is held only to resolve the
handler, deserialize the request, run the handler and serialize the response,
and on the client to serialize, deserialize and raise.

Unary-unary and unary-stream methods, served and called. A unary-stream
handler returns an iterator (or is a generator); each item is sent as one
message, in order, and its handler thread counts toward ``max_workers`` until
the iterator is done, however long it blocks between items. When the call ends
early (the client cancels, the deadline passes, the server stops), the context
turns inactive, its callbacks run, and at the next item the iterator is closed.
A channel's ``unary_stream`` returns an iterator of the responses that is also
the call (``cancel``, ``code``, ``details``, ``is_active`` ...) and raises
itself, an :class:`grpc.RpcError`, when the call ends with another status than
OK. Request-streaming method handlers are refused when they are registered (or
answered UNIMPLEMENTED when a generic handler returns one), and a channel's
request-streaming multi-callables raise NotImplementedError. Server
interceptors and per-call credentials are not supported either; use the grpcio
engine (``SORVANE_ENGINE=grpcio``) for those.

Behaviour follows grpcio's: a handler that raises ends the call with UNKNOWN
and the details "Exception calling application: <error>" ("Exception
iterating responses: <error>" when a streaming handler's iterator raises;
logged on the logger "grpc._server"); ``abort``, ``set_code``, ``set_details`` and trailing
metadata work as there; ``stop(grace)`` returns an event at once (``stop(None)``
waits), refuses new calls, lets calls in flight finish within the grace period
and then cancels them; ``max_workers`` of the thread pool given to
:func:`server` bounds how many handlers run at once (the pool's threads
themselves are not used).

The package, one job per module: :mod:`~sorvane.native.server` (the
server and what the C++ server asks of Python), :mod:`~sorvane.native.channel`
(the channel, its multi-callables and what the C++ unary callable asks),
:mod:`~sorvane.native.calls` (the call objects a channel hands back:
finished calls, errors, futures, response streams),
:mod:`~sorvane.native.credentials` (TLS), :mod:`~sorvane.native.exit`
(what runs at interpreter exit) and :mod:`~sorvane.native.common` (what
both sides share).
"""
# The public names, and the private ones the package's objects are known by
# (call and support classes, the live servers and channels, the exit hook).
from sorvane.native.common import _LOGGER, _Metadatum  # noqa: F401
from sorvane.native.server import (  # noqa: F401
    Server, _CallDetails, _live_servers, _ServerSupport, server,
)
from sorvane.native.calls import (
    _EndedCall, _Future, _InactiveRpcError, _OkCall, _ResponseStream,
)
from sorvane.native.channel import (  # noqa: F401
    Channel, _ChannelSupport, _live_channels, _UnaryStreamMultiCallable, insecure_channel,
    secure_channel,
)
from sorvane.native.credentials import (
    _ChannelCredentials, _ServerCredentials, ssl_channel_credentials, ssl_server_credentials,
)
# Last: its exit hook is registered once everything it stops exists.
from sorvane.native.exit import _stop_everything

__all__ = [
    "Server", "Channel", "server", "insecure_channel", "secure_channel",
    "ssl_channel_credentials", "ssl_server_credentials",
]

# What this package defines reports the package as its module, the name its
# objects are reached by (in reprs, tracebacks, pickles and checks such as
# ``type(server).__module__``), not the submodule that holds the code.
for _defined in (Server, server, _CallDetails, _ServerSupport, _Metadatum, _EndedCall, _OkCall,
                 _InactiveRpcError, _Future, _ResponseStream, Channel, _ChannelSupport,
                 _UnaryStreamMultiCallable, insecure_channel, secure_channel,
                 _ChannelCredentials, _ServerCredentials, ssl_channel_credentials,
                 ssl_server_credentials, _stop_everything):
    _defined.__module__ = __name__
del _defined
