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

Each input goes through the native code and through the plain-Python twin
(twin.py); any difference, SystemError, crash or hang is reported by libFuzzer
with the input that caused it. fuzz/run runs every target for a set time.
"""
import logging
import os
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# The framework and its dependencies load first, uninstrumented: the native code
# cannot be instrumented by this toolchain (gcc has no libFuzzer coverage), and
# instrumenting gRPC and protobuf only slows every input down. Coverage comes
# from the harness, the twin and the targets, whose branches follow what the
# native code was given and what it did.
import grpc  # noqa: E402,F401
import marvetta  # noqa: E402,F401
from sorvane import corvex, guard as _guard  # noqa: E402,F401

with atheris.instrument_imports(include=["harness", "twin", "values", "guard_check",
                                         "remote_targets", "exposed_mod"]):
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


TARGETS = {"dispatch": dispatch, "envelope": envelope, "call_rpc": call_rpc,
           "decorated": decorated, "guard": guard}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit("usage: %s {%s} [libFuzzer options]" % (sys.argv[0], ",".join(TARGETS)))
    target = TARGETS[sys.argv.pop(1)]
    atheris.Setup(sys.argv, target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
