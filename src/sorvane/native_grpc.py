"""The native engine: grpcio's server and channel interfaces on sorvane's own HTTP/2 core.

:func:`server` returns a :class:`grpc.Server` and :func:`insecure_channel` a
:class:`grpc.Channel`, usable wherever grpcio's are (``brindlow``'s stub and
registration take them as they are). HTTP/2, connections and waiting run in
C++ threads (:mod:`sorvane._transport`); the GIL is held only to resolve the
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
"""
import atexit
import collections
import logging
import threading
import time
import weakref

import grpc

from sorvane import _transport, process_exit

__all__ = [
    "Server", "Channel", "server", "insecure_channel", "secure_channel",
    "ssl_channel_credentials", "ssl_server_credentials",
]

_LOGGER = logging.getLogger("grpc._server")
_CODES = {code.value[0]: code for code in grpc.StatusCode}
_CONNECTIVITY = {state.value[0]: state for state in grpc.ChannelConnectivity}
_DEFAULT_WORKERS = 10
_NO_REQUEST_STREAMING = (
    "the native engine serves and calls unary-unary and unary-stream methods only; "
    "choose the grpcio engine (SORVANE_ENGINE=grpcio) for request-streaming methods"
)

try:
    from grpc._utilities import DictionaryGenericHandler as _DICT_HANDLER
except ImportError:  # pragma: no cover - every grpcio sorvane supports has it
    _DICT_HANDLER = None


# Metadata items as grpcio gives them: (key, value) pairs with named fields.
_Metadatum = collections.namedtuple("_Metadatum", ("key", "value"))


def _metadata(pairs):
    return tuple(_Metadatum(key, value) for key, value in pairs)


def _encode(text):
    return text if isinstance(text, bytes) else text.encode("utf8")


def _number(code):
    return code.value[0] if isinstance(code, grpc.StatusCode) else int(code)


# ---- server ---------------------------------------------------------------


class _CallDetails(
        collections.namedtuple("_CallDetails", ("method", "invocation_metadata")),
        grpc.HandlerCallDetails):
    pass


class _ServerSupport:
    """What the C++ server asks of Python, on the rare paths."""

    metadatum = _Metadatum
    status_code = grpc.StatusCode

    @staticmethod
    def call_details(method, metadata):
        return _CallDetails(method, metadata)

    @staticmethod
    def log_error(text):
        _LOGGER.error(text)

    @staticmethod
    def log_exception(text, error):
        if error is None:
            _LOGGER.error(text)
        else:
            _LOGGER.error(text, exc_info=(type(error), error, error.__traceback__))

    @staticmethod
    def handler_failed(aborted, code, details, error, iterating=False):
        """(status number, details bytes) for a handler that raised `error`
        (`iterating`: the iterator of a streaming handler raised it), given
        what its context was told: `aborted`, `code`, `details`."""
        if aborted:
            code = _number(code) if code is not None else grpc.StatusCode.UNKNOWN.value[0]
            return code, details if details is not None else b"RPC Aborted"
        try:
            text = "Exception {}: {}".format(
                "iterating responses" if iterating else "calling application", error)
        except Exception:  # noqa: BLE001 - what grpcio does for an unprintable error
            text = "Calling application raised unprintable Exception!"
        _LOGGER.error(text, exc_info=(type(error), error, error.__traceback__))
        code = _number(code) if code is not None else grpc.StatusCode.UNKNOWN.value[0]
        return code, details if details is not None else _encode(text)


# The context a handler receives is the engine's own, in C++.
grpc.ServicerContext.register(_transport.ServicerContext)


def _run_callbacks(callbacks, call):
    """Runs a finished call's done callbacks, in order, on a callback thread:
    a slow one holds up no other call."""
    def run():
        for callback in callbacks:
            try:
                callback(call)
            except Exception:  # noqa: BLE001
                logging.getLogger("grpc._channel").exception("Exception in callback")
    if callbacks:
        _transport._call_soon(run)


_live_servers = weakref.WeakSet()
_live_channels = weakref.WeakSet()


def _check_servable(path, handler):
    if handler is not None and handler.request_streaming:
        raise ValueError("%s: %s" % (path, _NO_REQUEST_STREAMING))


class Server(grpc.Server):
    """A gRPC server on the native engine (see the module's documentation)."""

    def __init__(self, thread_pool=None, handlers=None, interceptors=None, options=None,
                 maximum_concurrent_rpcs=None, compression=None, xds=False):
        if interceptors:
            raise ValueError("the native engine does not run server interceptors; "
                             "choose the grpcio engine (SORVANE_ENGINE=grpcio) for them")
        if xds:
            raise ValueError("the native engine does not serve xDS")
        workers = getattr(thread_pool, "_max_workers", None) or _DEFAULT_WORKERS
        self._handlers = []
        self._registered = {}
        self._lock = threading.Lock()
        self._stage = "stopped"  # -> started -> stopping -> stopped
        self._termination = threading.Event()
        self._core = _transport.ServerCore(
            options=list(options or ()), max_workers=int(workers),
            maximum_concurrent_rpcs=-1 if maximum_concurrent_rpcs is None else int(maximum_concurrent_rpcs),
            handlers=self._handlers, registered=self._registered,
            dict_type=_DICT_HANDLER, support=_ServerSupport)
        self.max_workers = int(workers)
        if handlers:
            self.add_generic_rpc_handlers(handlers)
        _live_servers.add(self)

    def add_generic_rpc_handlers(self, generic_rpc_handlers):
        generic_rpc_handlers = tuple(generic_rpc_handlers)
        for handler in generic_rpc_handlers:
            if not callable(getattr(handler, "service", None)):
                raise AttributeError(
                    '"{}" must conform to grpc.GenericRpcHandler type but does '
                    'not have "service" method!'.format(handler))
            table = getattr(handler, "_method_handlers", None)
            if type(handler) is _DICT_HANDLER and isinstance(table, dict):
                for path, method_handler in table.items():
                    _check_servable(path, method_handler)
        self._handlers.extend(generic_rpc_handlers)
        self._core.forget_handlers()

    def add_registered_method_handlers(self, service_name, method_handlers):
        for name, method_handler in method_handlers.items():
            path = "/%s/%s" % (service_name, name)
            _check_servable(path, method_handler)
            self._registered[path] = method_handler
        self._core.forget_handlers()

    def set_header_gate(self, key, values, code, details):
        """Calls whose metadata `key` equals none of `values` (str or bytes,
        compared in constant time) end with `code` and `details` from their
        headers: their message is not read and no worker runs for them. An
        empty `key` removes the gate."""
        self._core.set_header_gate(key, list(values), _number(code), details)

    def _add_port(self, address, tls):
        port = self._core.add_port(address, tls)
        if port == 0:
            raise RuntimeError(
                "Failed to bind to address %s; set GRPC_VERBOSITY=debug environment "
                "variable to see detailed error message." % address)
        return port

    def add_insecure_port(self, address):
        return self._add_port(address, None)

    def add_secure_port(self, address, server_credentials):
        tls = getattr(server_credentials, "_sorvane_tls", None)
        if tls is None:
            raise TypeError("the native engine needs credentials made by "
                            "sorvane.native_grpc.ssl_server_credentials")
        return self._add_port(address, tls)

    def start(self):
        with self._lock:
            if self._stage != "stopped" or self._termination.is_set():
                raise ValueError("Cannot start already-started server!")
            self._core.start()
            self._stage = "started"

    def stop(self, grace):
        event = threading.Event()
        with self._lock:
            if self._stage == "stopped":
                event.set()
                self._termination.set()
                return event
            self._stage = "stopping"

        def shut_down():
            self._core.shutdown(None if grace is None else float(grace))
            with self._lock:
                self._stage = "stopped"
            self._termination.set()
            event.set()

        if grace is None:
            shut_down()
        else:
            threading.Thread(target=shut_down, name="sorvane-server-stop", daemon=True).start()
        return event

    def wait_for_termination(self, timeout=None):
        """Blocks until the server has stopped; True when `timeout` ran out first."""
        end = None if timeout is None else time.monotonic() + timeout
        while not self._termination.is_set():
            wait = 0.1 if end is None else min(0.1, end - time.monotonic())
            if wait <= 0:
                return True
            self._termination.wait(wait)
        return False


def server(thread_pool=None, handlers=None, interceptors=None, options=None,
           maximum_concurrent_rpcs=None, compression=None, xds=False):
    """grpc.server's signature; returns a native :class:`Server`."""
    return Server(thread_pool, handlers, interceptors, options, maximum_concurrent_rpcs,
                  compression, xds)


# ---- client -----------------------------------------------------------------


class _EndedCall(grpc.Call):
    """What a finished call reports about itself."""

    def __init__(self, code, details, initial, trailing):
        self._code = code
        self._details = details
        self._initial = _metadata(initial)
        self._trailing = _metadata(trailing)

    def code(self):
        return self._code

    def details(self):
        return self._details

    def initial_metadata(self):
        return self._initial

    def trailing_metadata(self):
        return self._trailing

    def is_active(self):
        return False

    def time_remaining(self):
        return None

    def cancel(self):
        return False

    def add_callback(self, callback):
        return False


class _OkCall(_EndedCall):
    """The call object with_call returns beside a response."""

    def __init__(self, initial, trailing):
        super().__init__(grpc.StatusCode.OK, "", initial, trailing)


class _InactiveRpcError(grpc.RpcError, _EndedCall, grpc.Future):
    """A finished call that did not end with OK: raised, and also a Call."""

    def __init__(self, code, details, initial, trailing, debug):
        _EndedCall.__init__(self, _CODES.get(code, grpc.StatusCode.UNKNOWN), details, initial,
                            trailing)
        self._debug = debug

    def debug_error_string(self):
        return self._debug

    def cancelled(self):
        return self._code is grpc.StatusCode.CANCELLED

    def running(self):
        return False

    def done(self):
        return True

    def result(self, timeout=None):
        raise self

    def exception(self, timeout=None):
        return self

    def traceback(self, timeout=None):
        return self.__traceback__

    def add_done_callback(self, fn):
        fn(self)

    def __str__(self):
        return ("<{} of RPC that terminated with:\n\tstatus = {}\n\tdetails = \"{}\"\n"
                "\tdebug_error_string = \"{}\"\n>").format(
                    type(self).__name__, self._code, self._details, self._debug)

    __repr__ = __str__


def _internal(details):
    return _InactiveRpcError(grpc.StatusCode.INTERNAL.value[0], details, (), (), "")


class _Future(grpc.RpcError, grpc.Future, grpc.Call):
    """A call started by future(): completes on a gRPC thread."""

    def __init__(self, deserialize):
        super().__init__()
        self._deserialize = deserialize
        self._condition = threading.Condition()
        self._outcome = None  # (code, details, response, initial, trailing, debug)
        self._error = None
        self._cancelled = False
        self._callbacks = []
        self._call = None

    def _start(self, core, method, payload, timeout, metadata, wait_for_ready):
        self._deadline = None if timeout is None else time.monotonic() + timeout
        # Held until the call is stored: it may complete before start returns.
        with self._condition:
            self._call = core.start(method, payload, timeout, metadata, wait_for_ready,
                                    self._done)

    def _done(self):
        with self._condition:
            call = self._call
        code, details, body, initial, trailing, debug = call.result()
        response = None
        if code == 0:
            try:
                response = body if self._deserialize is None else self._deserialize(body)
            except Exception:  # noqa: BLE001 - reported as grpcio does
                code, details = grpc.StatusCode.INTERNAL.value[0], "Exception deserializing response!"
        with self._condition:
            if self._cancelled:
                code, details = grpc.StatusCode.CANCELLED.value[0], "Locally cancelled by application!"
            self._outcome = (code, details, response, initial, trailing, debug)
            if code != 0:
                self._error = _InactiveRpcError(code, details, initial, trailing, debug)
            callbacks, self._callbacks = self._callbacks, None
            self._condition.notify_all()
        _run_callbacks(callbacks, self)

    def _wait(self, timeout):
        end = None if timeout is None else time.monotonic() + timeout
        with self._condition:
            while self._outcome is None:
                wait = 0.1 if end is None else min(0.1, end - time.monotonic())
                if wait <= 0:
                    raise grpc.FutureTimeoutError()
                self._condition.wait(wait)
            return self._outcome

    def cancel(self):
        with self._condition:
            if self._outcome is not None:
                return False
            self._cancelled = True
        self._call.cancel()
        return True

    def cancelled(self):
        with self._condition:
            return self._cancelled

    def running(self):
        with self._condition:
            return self._outcome is None

    def done(self):
        with self._condition:
            return self._outcome is not None

    def result(self, timeout=None):
        outcome = self._wait(timeout)
        if self._cancelled:
            raise grpc.FutureCancelledError()
        if outcome[0] != 0:
            raise self._error
        return outcome[2]

    def exception(self, timeout=None):
        self._wait(timeout)
        if self._cancelled:
            raise grpc.FutureCancelledError()
        return self._error

    def traceback(self, timeout=None):
        self._wait(timeout)
        return None if self._error is None else self._error.__traceback__

    def add_done_callback(self, fn):
        with self._condition:
            if self._outcome is None:
                self._callbacks.append(fn)
                return
        fn(self)

    def code(self):
        return _CODES.get(self._wait(None)[0], grpc.StatusCode.UNKNOWN)

    def details(self):
        return self._wait(None)[1]

    def initial_metadata(self):
        return _metadata(self._wait(None)[3])

    def trailing_metadata(self):
        return _metadata(self._wait(None)[4])

    def debug_error_string(self):
        return self._wait(None)[5]

    def is_active(self):
        return not self.done()

    def time_remaining(self):
        if self._deadline is None:
            return None
        return max(self._deadline - time.monotonic(), 0)

    def add_callback(self, callback):
        with self._condition:
            if self._outcome is None:
                self._callbacks.append(lambda unused_future: callback())
                return True
        return False

    def __str__(self):
        with self._condition:
            if self._outcome is None:
                return "<_MultiThreadedRendezvous object of in-flight RPC>"
        return str(self._error) if self._error is not None else (
            "<_MultiThreadedRendezvous of RPC that terminated with:\n\tstatus = {}\n"
            "\tdetails = \"{}\"\n>".format(grpc.StatusCode.OK, self._outcome[1]))

    __repr__ = __str__


class _ResponseStream(grpc.RpcError, grpc.Call, grpc.Future):
    """What a unary-stream call returns: an iterator of the responses that is
    also the call, and the error iteration raises when the call does not end
    with OK."""

    def __init__(self, deserialize, timeout):
        super().__init__()
        self._deserialize = deserialize
        self._deadline = None if timeout is None else time.monotonic() + timeout
        self._condition = threading.Condition()
        self._stream = None
        self._local = None  # (code, details) decided here: cancelled, bad response
        self._callbacks = []

    def _start(self, core, method, payload, timeout, metadata, wait_for_ready):
        # The hook holds the call weakly: a stream nobody holds is dropped,
        # and dropping it cancels the call.
        this = weakref.ref(self)

        def on_done():
            call = this()
            if call is not None:
                call._done()

        # Held until the stream is stored: the call may end before it returns.
        with self._condition:
            self._stream = core.stream(method, payload, timeout, metadata, wait_for_ready,
                                       on_done)

    def _done(self):
        with self._condition:
            callbacks, self._callbacks = self._callbacks, None
        _run_callbacks(callbacks, self)

    def _end_here(self, code, details):
        """Ends the call on this side with `code`; False when it had ended."""
        with self._condition:
            if self._local is not None or self._stream.done():
                return False
            self._local = (code.value[0], details)
        self._stream.cancel()
        return True

    def _outcome(self, timeout=None):
        """(code, details, initial, trailing, debug), waiting for the status."""
        end = None if timeout is None else time.monotonic() + timeout
        while not self._stream.wait(0.25 if end is None else min(0.25, max(end - time.monotonic(), 0))):
            if end is not None and time.monotonic() >= end:
                raise grpc.FutureTimeoutError()
        code, details, _, initial, trailing, debug = self._stream.result()
        if self._local is not None:
            code, details = self._local
        return code, details, initial, trailing, debug

    def __iter__(self):
        return self

    def __next__(self):
        if self._local is not None:
            raise self
        message = self._stream.read()
        if message is None:
            if self._outcome()[0] == 0:
                raise StopIteration()
            raise self
        if self._deserialize is None:
            return message
        try:
            return self._deserialize(message)
        except Exception:  # noqa: BLE001 - grpcio ends the call with INTERNAL
            logging.getLogger("grpc._common").exception("Exception deserializing message!")
            self._end_here(grpc.StatusCode.INTERNAL, "Exception deserializing response!")
            raise self from None

    next = __next__

    def cancel(self):
        return self._end_here(grpc.StatusCode.CANCELLED, "Locally cancelled by application!")

    def cancelled(self):
        return self._local is not None and self._local[0] == grpc.StatusCode.CANCELLED.value[0]

    def running(self):
        return not self._stream.done()

    def done(self):
        return self._stream.done()

    def is_active(self):
        return self._local is None and not self._stream.done()

    def time_remaining(self):
        if self._deadline is None:
            return None
        return max(self._deadline - time.monotonic(), 0)

    def result(self, timeout=None):
        outcome = self._outcome(timeout)
        if self.cancelled():
            raise grpc.FutureCancelledError()
        if outcome[0] != 0:
            raise self
        return None

    def exception(self, timeout=None):
        outcome = self._outcome(timeout)
        if self.cancelled():
            raise grpc.FutureCancelledError()
        return None if outcome[0] == 0 else self

    def traceback(self, timeout=None):
        outcome = self._outcome(timeout)
        return None if outcome[0] == 0 else self.__traceback__

    def add_done_callback(self, fn):
        with self._condition:
            if self._callbacks is not None:
                self._callbacks.append(fn)
                return
        fn(self)

    def add_callback(self, callback):
        with self._condition:
            if self._callbacks is not None:
                self._callbacks.append(lambda unused_call: callback())
                return True
        return False

    def code(self):
        return _CODES.get(self._outcome()[0], grpc.StatusCode.UNKNOWN)

    def details(self):
        return self._outcome()[1]

    def initial_metadata(self):
        while True:
            initial = self._stream.initial_metadata(0.25)
            if initial is not None:
                return _metadata(initial)

    def trailing_metadata(self):
        return _metadata(self._outcome()[3])

    def debug_error_string(self):
        return self._outcome()[4]

    def __str__(self):
        if not self._stream.done() and self._local is None:
            return "<_MultiThreadedRendezvous object of in-flight RPC>"
        code, details, _, _, debug = self._outcome()
        return ("<_MultiThreadedRendezvous of RPC that terminated with:\n\tstatus = {}\n"
                "\tdetails = \"{}\"\n\tdebug_error_string = \"{}\"\n>").format(
                    _CODES.get(code, grpc.StatusCode.UNKNOWN), details, debug)

    __repr__ = __str__


def _serialized(serialize, request, credentials):
    if credentials is not None:
        raise ValueError("the native engine does not take per-call credentials; "
                         "send them as metadata")
    if serialize is None:
        return request
    try:
        return serialize(request)
    except Exception as error:  # noqa: BLE001 - grpcio reports it as the call's status
        raise _ChannelSupport.request_not_serialized(error) from None


class _ChannelSupport:
    """What the C++ unary callable asks of Python: the objects a caller reads."""

    @staticmethod
    def rpc_error(code, details, initial, trailing, debug):
        return _InactiveRpcError(code, details, initial, trailing, debug)

    @staticmethod
    def ok_call(initial, trailing):
        return _OkCall(initial, trailing)

    @staticmethod
    def request_not_serialized(error):
        logging.getLogger("grpc._common").error(
            "Exception serializing message!", exc_info=(type(error), error, error.__traceback__))
        error = _internal("Exception serializing request!")
        error.__suppress_context__ = True
        return error

    @staticmethod
    def response_not_deserialized(error):
        logging.getLogger("grpc._common").error(
            "Exception deserializing message!", exc_info=(type(error), error, error.__traceback__))
        error = _internal("Exception deserializing response!")
        error.__suppress_context__ = True
        return error

    @staticmethod
    def future(core, method, payload, timeout, metadata, wait_for_ready, deserialize):
        future = _Future(deserialize)
        future._start(core, method, payload, timeout, metadata, wait_for_ready)
        return future


# A channel's unary-unary callable is the engine's own, in C++.
grpc.UnaryUnaryMultiCallable.register(_transport.UnaryUnary)


class _UnaryStreamMultiCallable(grpc.UnaryStreamMultiCallable):
    __slots__ = ("_core", "_method", "_serialize", "_deserialize")

    def __init__(self, core, method, serialize, deserialize):
        self._core = core
        self._method = method
        self._serialize = serialize
        self._deserialize = deserialize

    def __call__(self, request, timeout=None, metadata=None, credentials=None,
                 wait_for_ready=None, compression=None):
        payload = _serialized(self._serialize, request, credentials)
        call = _ResponseStream(self._deserialize, timeout)
        call._start(self._core, self._method, payload, timeout, metadata, wait_for_ready)
        return call


class Channel(grpc.Channel):
    """A gRPC channel on the native engine (see the module's documentation)."""

    def __init__(self, target, options=None, compression=None, _tls=None):
        self._core = _transport.ChannelCore(target, list(options or ()), _tls)
        self._lock = threading.Lock()
        self._subscribers = []
        self._watcher = None
        self._try_to_connect = False
        self._closed = False
        _live_channels.add(self)

    def unary_unary(self, method, request_serializer=None, response_deserializer=None,
                    _registered_method=False):
        return _transport.UnaryUnary(self._core, method, request_serializer,
                                     response_deserializer, _ChannelSupport)

    def unary_stream(self, method, request_serializer=None, response_deserializer=None,
                     _registered_method=False):
        return _UnaryStreamMultiCallable(self._core, method, request_serializer,
                                         response_deserializer)

    def stream_unary(self, method, request_serializer=None, response_deserializer=None,
                     _registered_method=False):
        raise NotImplementedError(_NO_REQUEST_STREAMING)

    def stream_stream(self, method, request_serializer=None, response_deserializer=None,
                      _registered_method=False):
        raise NotImplementedError(_NO_REQUEST_STREAMING)

    def subscribe(self, callback, try_to_connect=False):
        with self._lock:
            if self._closed:
                return
            self._subscribers.append(callback)
            self._try_to_connect = self._try_to_connect or bool(try_to_connect)
            if self._watcher is None:
                self._watcher = threading.Thread(target=self._watch, name="sorvane-channel-watch",
                                                 daemon=True)
                self._watcher.start()

    def unsubscribe(self, callback):
        with self._lock:
            if callback in self._subscribers:
                self._subscribers.remove(callback)

    def _watch(self):
        # Connectivity is polled: changes reach subscribers within 50 ms.
        last = {}
        while True:
            with self._lock:
                if self._closed or not self._subscribers:
                    self._watcher = None
                    return
                subscribers = list(self._subscribers)
                try_to_connect = self._try_to_connect
            state = _CONNECTIVITY[self._core.connectivity(try_to_connect)]
            for callback in subscribers:
                if last.get(id(callback)) is not state:
                    last[id(callback)] = state
                    try:
                        callback(state)
                    except Exception:  # noqa: BLE001
                        logging.getLogger("grpc._channel").exception(
                            "Exception in channel connectivity callback")
            time.sleep(0.05)

    def close(self):
        with self._lock:
            self._closed = True
            self._subscribers = []
        self._core.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_val, exc_tb):
        self.close()
        return False


def insecure_channel(target, options=None, compression=None):
    """grpc.insecure_channel's signature; returns a native :class:`Channel`."""
    return Channel(target, options, compression)


class _ChannelCredentials(grpc.ChannelCredentials):
    def __init__(self, tls):
        self._sorvane_tls = tls


class _ServerCredentials(grpc.ServerCredentials):
    def __init__(self, tls):
        self._sorvane_tls = tls


def ssl_channel_credentials(root_certificates=None, private_key=None, certificate_chain=None):
    """grpc.ssl_channel_credentials for native channels (PEM bytes)."""
    return _ChannelCredentials((root_certificates, private_key, certificate_chain, False))


def ssl_server_credentials(private_key_certificate_chain_pairs, root_certificates=None,
                           require_client_auth=False):
    """grpc.ssl_server_credentials for native servers: one (key, chain) pair."""
    pairs = list(private_key_certificate_chain_pairs)
    if len(pairs) != 1:
        raise ValueError("the native engine takes exactly one (private key, certificate chain) pair")
    key, chain = pairs[0]
    if require_client_auth and root_certificates is None:
        raise ValueError("require_client_auth needs root_certificates")
    return _ServerCredentials((root_certificates, key, chain, bool(require_client_auth)))


def secure_channel(target, credentials, options=None, compression=None):
    """grpc.secure_channel's signature, with credentials from
    :func:`ssl_channel_credentials`."""
    tls = getattr(credentials, "_sorvane_tls", None)
    if tls is None:
        raise TypeError("the native engine needs credentials made by "
                        "sorvane.native_grpc.ssl_channel_credentials")
    return Channel(target, options, compression, _tls=tls)


@atexit.register
def _stop_everything():
    # Before the interpreter finalizes: stop native servers as a graceful stop
    # does (new calls refused with UNAVAILABLE before they run, calls in flight
    # answered if their handlers return within the exit grace, then
    # cancelled), wait for the handlers still running, as grpcio's thread pool
    # is waited for, close the channels, and keep the engine's threads out of
    # Python for good. A handler must not be inside Python once finalization
    # begins: the interpreter would end its thread in mid-call. (Servers of a
    # GrpcServer were stopped so already, when the main thread returned.)
    servers = list(_live_servers)
    process_exit.stop_servers(servers)
    for srv in servers:
        waited = 0
        while not srv._core.wait_idle(1.0):
            waited += 1
            if waited == 5:
                _LOGGER.warning("exit waits for handlers of a stopped server to return")
    # Handlers of servers already stopped and collected may still run too.
    waited = 0
    while not _transport._wait_handlers(1.0):
        waited += 1
        if waited == 5:
            _LOGGER.warning("exit waits for handlers of a stopped server to return")
    for channel in list(_live_channels):
        try:
            channel.close()
        except Exception:  # noqa: BLE001
            pass
    _transport._finalize()
