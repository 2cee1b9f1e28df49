"""Coverage-guided fuzz targets (atheris) for sorvane.corvex.

    python fuzz/targets.py TARGET [libFuzzer options] [CORPUS_DIR ...]

TARGET is one of:

  dispatch   arbitrary bytes, and call descriptions built from them, as
             CommonRequest.request into CommonService().handle in-process
  envelope   arbitrary bytes and result envelopes, with any CommonResponse
             status, as the reply that GrpcHelper.call_rpc_result opens
  call_rpc   arbitrary targets, arguments, keyword sets, request identifiers
             and serialization codes for GrpcHelper.call_rpc
  decorated  arbitrary arguments and keyword sets for grpc_service wrappers
             of functions of every parameter shape
  guard      call descriptions into the exposure guard (sorvane.guard)
  cbor       arbitrary bytes into the CBOR decoder, and what it decodes
             out and in again
  h2_frames  sequences of HTTP/2 frames (any type, flags, stream, header
             block, padding or length) on fresh connections to one native
             server on 127.0.0.1, which must keep answering normal calls

Each input goes through the native code and through the plain-Python twin
(twin.py); any difference, SystemError, crash or hang is reported by libFuzzer
with the input that caused it. fuzz/run runs every target for a set time.
"""
import logging
import os
import select
import socket
import sys
import time

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests", "support"))  # h2frames

# The framework and its dependencies load first, uninstrumented: the native code
# cannot be instrumented by this toolchain (gcc has no libFuzzer coverage), and
# instrumenting gRPC and protobuf only slows every input down. Coverage comes
# from the harness, the twin and the targets, whose branches follow what the
# native code was given and what it did.
import grpc  # noqa: E402,F401
import marvetta  # noqa: E402,F401
from sorvane import corvex, guard as _guard  # noqa: E402,F401

with atheris.instrument_imports(include=["harness", "twin", "values", "guard_check",
                                         "remote_targets", "exposed_mod", "h2frames"]):
    import h2frames as h2  # a test helper: the frames it writes are the h2_frames input
    import harness
    import guard_check
    import remote_targets  # noqa: F401
    import twin  # noqa: F401
    from values import EDGE_STATUS, Values

SERVICE = harness.new_service()
# Every refused call logs a warning; a fuzzing run makes millions of them.
logging.getLogger("sorvane.guard").addHandler(logging.NullHandler())
logging.getLogger("sorvane.guard").propagate = False


def dispatch(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 3) == 0:
        payload = fdp.ConsumeBytes(fdp.remaining_bytes())
    else:
        values = Values(fdp)
        payload = values.encoded(values.description())
    harness.check_dispatch(payload, SERVICE)


def envelope(data):
    fdp = atheris.FuzzedDataProvider(data)
    values = Values(fdp)
    roll = fdp.ConsumeIntInRange(0, 7)
    if roll == 0:
        status = fdp.ConsumeIntInRange(-2 ** 31, 2 ** 31 - 1)
    else:
        status = values.pick([0, -1, 1, 2])
    if roll == 1:
        payload = fdp.ConsumeBytes(fdp.remaining_bytes())
    else:
        env = {}
        for member in ("status", "message", "excType", "result"):
            kind = fdp.ConsumeIntInRange(0, 5)
            if kind == 0:
                continue
            if member == "status" and kind < 4:
                env[member] = values.pick(EDGE_STATUS)
            elif member in ("message", "excType") and kind < 4:
                env[member] = values.text()
            else:
                env[member] = values.json()
        payload = values.encoded(env if roll != 2 else values.json())
    harness.check_call_rpc_result(status, payload)


def call_rpc(data):
    fdp = atheris.FuzzedDataProvider(data)
    values = Values(fdp)
    clazz = values.text() if fdp.ConsumeIntInRange(0, 3) else values.anything()
    method = values.text() if fdp.ConsumeIntInRange(0, 3) else values.anything()
    kind = fdp.ConsumeIntInRange(0, 4)
    args = [None, [values.anything() for _ in range(fdp.ConsumeIntInRange(0, 4))],
            tuple(values.anything() for _ in range(fdp.ConsumeIntInRange(0, 4))),
            values.anything(), values.anything()][kind]
    kind = fdp.ConsumeIntInRange(0, 4)
    kwargs = [None, values.keywords(), values.keywords(),
              [[values.text(), values.anything()] for _ in range(fdp.ConsumeIntInRange(0, 3))],
              values.anything()][kind]
    if fdp.ConsumeBool():
        request_id = values.pick([None, None, "", "rid", 5, b"rid"])
    else:
        request_id = values.text()
    serialize = values.pick([3, 3, 0, -1, 2 ** 32 - 1, 2 ** 32, "3", 3.0, None, True]) \
        if fdp.ConsumeIntInRange(0, 3) else values.int()
    harness.check_call_rpc(clazz, method, args, kwargs, request_id, serialize)


def decorated(data):
    fdp = atheris.FuzzedDataProvider(data)
    values = Values(fdp)
    func = values.pick(harness.DECORATED)
    args = [values.anything() for _ in range(fdp.ConsumeIntInRange(0, 4))]
    names = ("a", "b", "c", "items", "options", "cls", "x", "y", "self", "rest", "value", "more")
    kwargs = {k: v for k, v in values.keywords(names).items() if isinstance(k, str)}
    harness.check_decorated(func, args, kwargs)


def guard(data):
    fdp = atheris.FuzzedDataProvider(data)
    values = Values(fdp)
    if fdp.ConsumeIntInRange(0, 7) == 0:
        payload = fdp.ConsumeBytes(fdp.remaining_bytes())
    else:
        description = values.description()
        if fdp.ConsumeBool():
            description["clazz"] = values.pick(guard_check.CLAZZ_VALUES)
            if fdp.ConsumeBool():
                description["method"] = values.pick(guard_check.PATHS)
            else:
                description["method"] = values.text()
        payload = values.encoded(description)
    guard_check.check_guarded(payload)


class H2Target:
    """One server for the whole run, started on first use: native when built."""

    CHECK_EVERY = 200
    PATH = "/fuzz.Echo/echo"

    def __init__(self):
        from concurrent import futures
        from sorvane import engine
        kind = "native" if engine.native_available() else "grpcio"
        self.server = engine.transport(kind).server(futures.ThreadPoolExecutor(max_workers=4))
        self.server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
            "fuzz.Echo", {"echo": grpc.unary_unary_rpc_method_handler(lambda r, c: r),
                          "stream": grpc.unary_stream_rpc_method_handler(
                              lambda r, c: iter((r, r)))}),))
        self.port = self.server.add_insecure_port("127.0.0.1:0")
        self.server.start()
        self.channel = grpc.insecure_channel("127.0.0.1:%d" % self.port)
        self.inputs = 0

    def check_alive(self):
        echo = self.channel.unary_unary(self.PATH)
        assert echo(b"alive", timeout=10) == b"alive", "the server stopped answering"


_H2 = []
FRAME_TYPES = list(range(10)) + [0xA, 0xFF]
PATHS = [H2Target.PATH, "/fuzz.Echo/stream", "/fuzz.Echo/none", "/x/y", "", "/", "*"]
NAMES = [":method", ":scheme", ":path", ":authority", ":status", "content-type", "te",
         "grpc-timeout", "grpc-encoding", "grpc-accept-encoding", "x-k", "x-k-bin",
         "connection", "host", "content-length", "user-agent", "X-Upper", ""]


@atheris.instrument_func
def h2_header_block(fdp, values):
    roll = fdp.ConsumeIntInRange(0, 5)
    if roll == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300))  # any HPACK bytes
    headers = h2.request_headers(values.pick(PATHS), timeout=values.pick(
        [None, None, "1S", "10m", "99999999H", "0n", "1", "S", "-1S", "123456789S"]))
    if roll == 1:
        headers = [values.pick(headers) for _ in range(fdp.ConsumeIntInRange(0, 8))]
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        name = values.pick(NAMES) if fdp.ConsumeBool() else fdp.ConsumeBytes(8)
        value = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
        if fdp.ConsumeIntInRange(0, 20) == 0:
            value *= 700  # header lists over the limit
        headers.insert(fdp.ConsumeIntInRange(0, len(headers)), (name, value))
    return h2.header_block(headers)


@atheris.instrument_func
def h2_frame(fdp, values, stream_ids):
    """One frame (or a HEADERS + CONTINUATION run) chosen from the input."""
    sid = values.pick(stream_ids) if fdp.ConsumeIntInRange(0, 5) else fdp.ConsumeIntInRange(
        0, 2 ** 31 - 1)
    padding = fdp.ConsumeIntInRange(0, 255) if fdp.ConsumeIntInRange(0, 4) == 0 else None
    kind = fdp.ConsumeIntInRange(0, 10)
    if kind <= 2:
        return h2.headers_frames(sid, h2_header_block(fdp, values), end_stream=fdp.ConsumeBool(),
                                 split=fdp.ConsumeIntInRange(1, 16384), padding=padding,
                                 end_headers=fdp.ConsumeIntInRange(0, 7) != 0)
    if kind <= 4:
        body = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
        length = None if fdp.ConsumeIntInRange(0, 3) else fdp.ConsumeIntInRange(0, 2 ** 32 - 1)
        message = h2.grpc_message(body, compressed=fdp.ConsumeIntInRange(0, 7) == 0,
                                  length=length)
        return h2.data_frames(sid, message * fdp.ConsumeIntInRange(1, 3),
                              end_stream=fdp.ConsumeBool(), split=fdp.ConsumeIntInRange(1, 64),
                              padding=padding)
    if kind == 5:
        return h2.rst_stream(sid, fdp.ConsumeIntInRange(0, 15))
    if kind == 6:
        return h2.settings([(fdp.ConsumeIntInRange(0, 9), fdp.ConsumeIntInRange(0, 2 ** 32 - 1))
                            for _ in range(fdp.ConsumeIntInRange(0, 4))], ack=fdp.ConsumeBool())
    if kind == 7:
        return h2.window_update(sid if fdp.ConsumeBool() else 0,
                                fdp.ConsumeIntInRange(0, 2 ** 32 - 1))
    if kind == 8:
        return (h2.ping(fdp.ConsumeBytes(8).ljust(8, b"\0"), ack=fdp.ConsumeBool())
                if fdp.ConsumeBool() else h2.goaway(sid, fdp.ConsumeIntInRange(0, 15)))
    # Anything at all, its length field possibly lying.
    payload = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    length = None if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 2 ** 24 - 1)
    return h2.frame(values.pick(FRAME_TYPES), fdp.ConsumeIntInRange(0, 255), sid, payload,
                    length=length)


def h2_frames(data):
    if not _H2:
        _H2.append(H2Target())
    target = _H2[0]
    fdp = atheris.FuzzedDataProvider(data)
    values = Values(fdp)
    stream_ids = [1, 3, 5, 7, 2, 0, 2 ** 31 - 1]
    start = h2.PREFACE if fdp.ConsumeIntInRange(0, 15) else fdp.ConsumeBytes(24)
    if fdp.ConsumeIntInRange(0, 3):
        start += h2.settings([(h2.SETTINGS_INITIAL_WINDOW_SIZE, 1 << 20)])
    frames = [start] + [h2_frame(fdp, values, stream_ids)
                        for _ in range(fdp.ConsumeIntInRange(0, 12))]
    with socket.create_connection(("127.0.0.1", target.port), timeout=5) as sock:
        try:
            sock.sendall(b"".join(frames))
        except OSError:
            pass  # closed by the server before it read everything: allowed
        sock.setblocking(False)
        end = time.monotonic() + 0.02
        while time.monotonic() < end:
            if not select.select([sock], [], [], max(0.0, end - time.monotonic()))[0]:
                break
            try:
                if not sock.recv(65536):
                    break
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                break
    target.inputs += 1
    if target.inputs % H2Target.CHECK_EVERY == 0:
        target.check_alive()


def cbor(data):
    harness.check_cbor(data)


TARGETS = {"dispatch": dispatch, "envelope": envelope, "call_rpc": call_rpc,
           "decorated": decorated, "guard": guard, "cbor": cbor, "h2_frames": h2_frames}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit("usage: %s {%s} [libFuzzer options]" % (sys.argv[0], ",".join(TARGETS)))
    target = TARGETS[sys.argv.pop(1)]
    atheris.Setup(sys.argv, target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
