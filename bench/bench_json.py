"""Micro-benchmark: corvex's direct calls of json's C encoder and scanner
against the host's json functions.

The codec has no public entry of its own, so it is timed through the paths
that use it:
  - GrpcHelper.call_rpc encodes a call description
    {"clazz": "m", "method": "f", "args": [], "kwargs": {"a": 1, "b": 2}};
  - GrpcHelper.call_rpc_result does that and decodes a result envelope
    {"status": 0, "message": "", "excType": "", "result": 3};
  - CommonService().handle decodes a call description and encodes that
    envelope (operator.add(1, 2)).
Each path is timed twice: as is (the C code called directly), and with a harmless marker
attribute added to json.JSONEncoder and to json._default_decoder, which makes
the codec's guards send every call through the host's json module (rebinding
corvex.json instead would also switch off other guarded shortcuts, such as
rpc_log's). The difference is what skipping json's Python layers saves per call.

    python bench/bench_json.py [--number N]
"""
import argparse
import contextlib
import json
import os
import sys
import timeit

import marvetta
from sorvane import corvex

ENVELOPE = {"status": 0, "message": "", "excType": "", "result": 3}
DESCRIPTION = {"clazz": "m", "method": "f", "args": [], "kwargs": {"a": 1, "b": 2}}
ENVELOPE_BYTES = json.dumps(ENVELOPE, ensure_ascii=False).encode()


class Stub:
    def __init__(self, response=None):
        self.response = response

    def handle(self, request):
        return self.response


class Response:
    status = 0
    response = ENVELOPE_BYTES


def best(fn, number, repeat=7):
    """Best time per call over `repeat` runs of `number` calls, in microseconds."""
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e6


@contextlib.contextmanager
def host_codec():
    """Every codec call takes the host path while this is active."""
    json.JSONEncoder._bench_marker = None
    json._default_decoder._bench_marker = None
    try:
        yield
    finally:
        del json.JSONEncoder._bench_marker
        del json._default_decoder._bench_marker


def json_package_calls(fn):
    """How many Python functions of the json package one fn() runs."""
    calls = []
    package = os.path.dirname(json.__file__)

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(package):
            calls.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        fn()
    finally:
        sys.setprofile(None)
    return len(calls)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=50000)
    n = parser.parse_args().number

    stub, result_stub = Stub(), Stub(Response())
    call_rpc = corvex.GrpcHelper.call_rpc
    call_rpc_result = corvex.GrpcHelper.call_rpc_result
    envelope_text = ENVELOPE_BYTES.decode()

    host = {
        "dumps(envelope)": best(lambda: json.dumps(ENVELOPE, ensure_ascii=False).encode(), n),
        "dumps(description)": best(lambda: json.dumps(DESCRIPTION, ensure_ascii=False).encode(), n),
        "loads(envelope)": best(lambda: json.loads(envelope_text), n),
    }

    def encode_description():
        call_rpc(stub, "m", "f", [], {"a": 1, "b": 2}, request_id="r")

    def round_trip():  # encodes a description, decodes an envelope
        call_rpc_result(result_stub, "m", "f", [], {"a": 1, "b": 2}, request_id="r")

    service = corvex.CommonService()
    request = marvetta.CommonRequest(
        request=json.dumps({"clazz": "operator", "method": "add", "args": [1, 2], "kwargs": {}}).encode(),
        request_id="r", serialize=3)
    assert service.handle(request, None).response == ENVELOPE_BYTES

    def dispatch():  # decodes a description, encodes an envelope
        service.handle(request, None)

    paths = {}
    for label, fn in (("call_rpc", encode_description), ("call_rpc_result", round_trip),
                      ("CommonService().handle", dispatch)):
        assert json_package_calls(fn) == 0, label
        native = best(fn, n)
        with host_codec():
            assert json_package_calls(fn) > 0, label
            forced = best(fn, n)
        paths[label] = (native, forced)

    print("host json module (per call):")
    for label, t in host.items():
        print("  %-28s %6.3f us" % (label, t))
    print("framework paths (per call):      direct    host-forced   saved")
    for label, (native, forced) in paths.items():
        print("  %-28s %6.3f us   %6.3f us   %6.3f us" % (label, native, forced, forced - native))


if __name__ == "__main__":
    main()
