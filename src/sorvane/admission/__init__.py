"""Request admission for servers on the grpcio engine: what a call may hold
before a worker runs it.

grpcio's synchronous server hands each call to its thread pool as soon as its
headers are in, and the pool's thread then waits for the request message: a
client that sends headers and never a message holds a worker for as long as
its connection lives, and calls that wait for a worker are bounded by
nothing. :func:`server` builds, for the grpcio engine, a :class:`grpc.Server`
that admits calls in three steps instead:

1. On grpcio's serving thread, before any thread is taken: a call refused
   from its headers (a :func:`refusal` handler, such as the token check's) is
   answered there without its message being read; a call past the bound on
   calls held (``maximum_concurrent_rpcs``) is answered RESOURCE_EXHAUSTED.
2. On a thread of its own that is not one of the ``max_workers`` workers, the
   call waits for its message, for at most ``sorvane.request_wait_ms``; the
   message is then counted against ``sorvane.max_queued_bytes`` (past it the
   call ends with RESOURCE_EXHAUSTED and the message is dropped).
3. It waits, first come first served, for one of ``max_workers`` workers,
   and runs. Methods named in ``sorvane.priority_methods`` (health ``Check``)
   have a worker of their own and bypass both bounds.

A call whose target is a coroutine waits for it on an event loop: it gives its
worker back and, up to :data:`MAX_AWAITING` such calls, leaves the calls held
too (:func:`step_aside`). grpcio's synchronous server answers a call only when
the thread it handed the call to returns, so that thread stays with the call;
the call threads are started as calls come (by a starter thread, not
grpcio's serving thread) and end after a minute idle.

This relies on two things grpcio does, not on any of its private names: the
method handler's behaviour is among the arguments of the thread pool's
``submit``, and a request-streaming handler kind is run without grpcio
reading its message first. Where either stops holding, calls are served as
grpcio serves them. The native engine does all of this in C++ from the same
server options; there :func:`server` only passes them on. Memory that large
requests took goes back to the system after a burst (:mod:`sorvane.memory`).

The package's modules: :mod:`~sorvane.admission.settings` (options, limits,
GrpcServer's settings), :mod:`~sorvane.admission.refusals`,
:mod:`~sorvane.admission.gate` (the state of one server's admission),
:mod:`~sorvane.admission.waiting` (workers and the timer),
:mod:`~sorvane.admission.threads` (the call threads),
:mod:`~sorvane.admission.handlers` (the handlers admission runs),
:mod:`~sorvane.admission.executor` (the pool grpcio is given) and
:mod:`~sorvane.admission.servers`; every name listed in ``__all__`` is
importable from here.
"""
from sorvane.admission import gate as _gate, threads as _threads
from sorvane.admission.gate import step_aside
from sorvane.admission.refusals import refusal
from sorvane.admission.servers import Server, server, server_for
from sorvane.admission.settings import BYTES_FULL, DEFAULT_MAX_QUEUED_BYTES, \
    DEFAULT_MAX_QUEUED_CALLS, DEFAULT_REQUEST_WAIT, MAX_AWAITING, MAX_QUEUED_BYTES, \
    PRIORITY_METHODS, QUEUE_FULL, REQUEST_LATE, REQUEST_WAIT_MS, Limits, check_setting

__all__ = ["server", "server_for", "check_setting", "refusal", "step_aside", "Limits", "Server",
           "MAX_QUEUED_BYTES", "REQUEST_WAIT_MS", "PRIORITY_METHODS", "QUEUE_FULL", "BYTES_FULL",
           "REQUEST_LATE", "DEFAULT_MAX_QUEUED_CALLS", "DEFAULT_MAX_QUEUED_BYTES",
           "DEFAULT_REQUEST_WAIT", "MAX_AWAITING"]

# Private names reached through the package (the tests of the gate and of the
# call threads).
_Gate, _Threads = _gate._Gate, _threads._Threads
