"""What the engine tests share: a Probe of raw method handlers (bytes in, bytes
out) exercising the server's context, a Running server of it on either engine,
a Pairing of a client engine's channel with a server engine's Probe, and the
engines this installation has.
"""
import threading
import time
from concurrent import futures

import grpc
import pytest

from conftest import free_port
from sorvane import engine

NATIVE = engine.native_available()
needs_native = pytest.mark.skipif(not NATIVE, reason="the native engine was not built")
ENGINES = ["grpcio", "native"] if NATIVE else ["grpcio"]
SERVICE = "test.Probe"
WAIT = 10


def transport(name):
    return engine.transport(name)


class Probe:
    """Raw unary handlers (bytes in, bytes out) exercising the context."""

    def __init__(self):
        self.entered = threading.Semaphore(0)
        self.release = threading.Event()
        self.callbacks = []
        self.contexts = []
        self.closed = []  # (request, context.is_active()) as each stream's generator ended
        self.running = 0
        self.most = 0
        self.lock = threading.Lock()
        self.large_reply = b"L" * 300000  # what `large` answers, the same object each time

    def echo(self, request, context):
        return request

    def large(self, request, context):
        return self.large_reply

    def fail(self, request, context):
        raise ValueError("broken: " + request.decode())

    def abort(self, request, context):
        context.abort(grpc.StatusCode.NOT_FOUND, "no such thing")

    def abort_status(self, request, context):
        class Status(grpc.Status):
            code = grpc.StatusCode.FAILED_PRECONDITION
            details = "not now"
            trailing_metadata = (("why", "busy"),)
        context.abort_with_status(Status())

    def codes(self, request, context):
        context.set_code(grpc.StatusCode.ALREADY_EXISTS)
        context.set_details("it is there")
        context.set_trailing_metadata((("k", "v"), ("k-bin", b"\x00\x01")))
        return b""

    def trailing(self, request, context):
        context.set_trailing_metadata((("answer", "42"),))
        return b"ok"

    def look(self, request, context):
        metadata = dict(context.invocation_metadata())
        remaining = context.time_remaining()
        return repr((metadata.get("x-probe"), metadata.get("x-probe-bin"),
                     context.peer().startswith(("ipv4:127.0.0.1:", "ipv6:")),
                     context.is_active(), remaining is None or remaining > 0)).encode()

    def remaining(self, request, context):
        return repr(context.time_remaining()).encode()

    def block(self, request, context):
        context.add_callback(lambda: self.callbacks.append(request))
        self.contexts.append(context)
        with self.lock:
            self.running += 1
            self.most = max(self.most, self.running)
        self.entered.release()
        try:
            self.release.wait(WAIT)
        finally:
            with self.lock:
                self.running -= 1
        return b"released:" + request

    def nap(self, request, context):
        time.sleep(float(request))
        return b"slept"

    def slow_callback(self, request, context):
        def late():
            time.sleep(1.0)
            self.callbacks.append(request)
        context.add_callback(late)
        return repr(isinstance(context, grpc.ServicerContext)).encode()

    # Streaming handlers (one request, a stream of responses).

    def count(self, request, context):
        for i in range(int(request)):
            yield b"%d" % i

    def big(self, request, context):
        # Far more than HTTP/2's flow-control windows: sends wait for the reader.
        for i in range(int(request)):
            yield bytes([i % 256]) * 65536

    def stream_fail(self, request, context):
        yield b"one"
        yield b"two"
        raise ValueError("broken mid-stream")

    def stream_abort(self, request, context):
        yield b"one"
        context.abort(grpc.StatusCode.NOT_FOUND, "gone")

    def stream_codes(self, request, context):
        yield b"one"
        context.set_trailing_metadata((("why", "partial"),))
        context.set_code(grpc.StatusCode.DATA_LOSS)
        context.set_details("lost the rest")

    def stream_look(self, request, context):
        metadata = dict(context.invocation_metadata())
        yield metadata.get("x-probe", "").encode()
        remaining = context.time_remaining()
        yield repr(remaining is not None and 0 < remaining <= WAIT + 0.1).encode()

    def not_an_iterator(self, request, context):
        return [b"a", b"b"]

    def watch(self, request, context):
        """What a health Watch does: answers at once, then waits (here for
        `release`, woken early when the call ends) before answering again."""
        ended = threading.Event()
        context.add_callback(lambda: (self.callbacks.append(request), ended.set()))
        self.contexts.append(context)
        with self.lock:
            self.running += 1
            self.most = max(self.most, self.running)
        try:
            yield b"serving"
            self.entered.release()
            while not self.release.is_set() and not ended.is_set():
                self.release.wait(0.01)
            yield b"changed"
            yield b"changed again"
        finally:
            with self.lock:
                self.running -= 1
            self.closed.append((request, context.is_active()))

    def stuck(self, request, context):
        """Blocks in Python before its first answer, ignoring the call's end."""
        context.add_callback(lambda: self.callbacks.append(request))
        self.entered.release()
        try:
            self.release.wait(WAIT)
            yield b"late"
            yield b"later"
        finally:
            self.closed.append((request, context.is_active()))

    def ticker(self, request, context):
        context.add_callback(lambda: self.callbacks.append(request))
        self.contexts.append(context)
        try:
            while True:
                yield b"tick"
                time.sleep(0.01)
        finally:
            self.closed.append((request, context.is_active()))

    def slow_goodbye(self, request, context):
        """A ticker whose end-of-call callback takes a while."""
        def goodbye():
            time.sleep(0.3)
            self.callbacks.append(request)
        context.add_callback(goodbye)
        try:
            while True:
                yield b"tick"
                time.sleep(0.01)
        finally:
            self.closed.append((request, context.is_active(), list(self.callbacks)))

    def later(self, request, context):
        """A reply to come (the native engine's pending reply): completed by a
        timer as the request says, or never."""
        future = futures.Future()
        how = request.decode()

        def complete():
            if how == "fail":
                future.set_exception(ValueError("failed later"))
            elif how == "cancel":
                future.cancel()
            else:
                future.set_result(b"later " + request)

        if how != "drop":
            threading.Timer(0.3, complete).start()
        return future

    def handlers(self):
        names = ("echo", "fail", "abort", "abort_status", "codes", "trailing", "look", "block",
                 "nap", "remaining", "slow_callback", "later", "large")
        streams = ("count", "big", "stream_fail", "stream_abort", "stream_codes", "stream_look",
                   "not_an_iterator", "watch", "stuck", "ticker", "slow_goodbye")
        table = {n: grpc.unary_unary_rpc_method_handler(getattr(self, n)) for n in names}
        table.update({n: grpc.unary_stream_rpc_method_handler(getattr(self, n)) for n in streams})
        return grpc.method_handlers_generic_handler(SERVICE, table)


class Running:
    def __init__(self, kind, probe, workers=4, options=None, maximum_concurrent_rpcs=None,
                 port=None):
        self.kind = kind
        self.port = port or free_port()
        self.server = transport(kind).server(
            futures.ThreadPoolExecutor(max_workers=workers), options=options,
            maximum_concurrent_rpcs=maximum_concurrent_rpcs)
        self.server.add_generic_rpc_handlers((probe.handlers(),))
        assert self.server.add_insecure_port("127.0.0.1:%d" % self.port) == self.port
        self.server.start()

    def stop(self, grace=0):
        return self.server.stop(grace)


class Pairing:
    """A client engine's channel to a server engine's running Probe."""

    def __init__(self, client_kind, server_kind, workers=4):
        self.client_kind, self.server_kind = client_kind, server_kind
        self.probe = Probe()
        self.running = Running(server_kind, self.probe, workers=workers)
        self.channel = transport(client_kind).insecure_channel("127.0.0.1:%d" % self.running.port)

    def unary(self, name):
        return self.channel.unary_unary("/%s/%s" % (SERVICE, name))

    def stream(self, name):
        return self.channel.unary_stream("/%s/%s" % (SERVICE, name))

    def close(self):
        self.probe.release.set()
        self.channel.close()
        self.running.stop(0).wait(WAIT)


def wait_until(condition, timeout=WAIT):
    end = time.monotonic() + timeout
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()
