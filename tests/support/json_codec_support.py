"""What the tests of the JSON codec of sorvane.corvex share: the paths under
test (GrpcHelper.call_rpc encoding a call description, call_rpc_result
decoding a result envelope), their comparison with the host's json module,
and the values (hypothesis strategies and subclasses) they are given.
"""
import decimal
import json
import os
import sys
from collections import OrderedDict, namedtuple

from hypothesis import strategies as st

from sorvane import corvex

# ---------------------------------------------------------------------------
# The paths under test


class Stub:
    """Stands in for a gRPC stub: records each request, answers `response`."""

    def __init__(self, response=None):
        self.response = response
        self.request = None

    def handle(self, request):
        self.request = request
        return self.response


class Response:
    def __init__(self, payload, status=0):
        self.status = status
        self.response = payload


def description(value):
    return {"clazz": value, "method": "f", "args": [value], "kwargs": {"k": value}}


def encode(value):
    """The bytes call_rpc sends for a description holding `value` in each place."""
    stub = Stub()
    corvex.GrpcHelper.call_rpc(stub, value, "f", [value], {"k": value}, request_id="r")
    return stub.request.request


def expected_encoding(value):
    return json.dumps(description(value), ensure_ascii=False).encode("utf-8")


def decode(text):
    """What call_rpc_result makes of an envelope whose text is `text`."""
    stub = Stub(Response(text.encode("utf-8")))
    return corvex.GrpcHelper.call_rpc_result(stub, "m", "f")


def envelope(value_text, before="", after=""):
    return before + '{"status": 0, "result": ' + value_text + "}" + after


def outcome(fn, *args):
    """("ok", result) or ("raised", type, args, position) of fn(*args)."""
    try:
        return ("ok", fn(*args))
    except RecursionError:
        return ("raised", RecursionError)  # its message names the innermost frame
    except Exception as e:  # the comparison is the point
        return ("raised", type(e), e.args, getattr(e, "pos", None))


def identical(a, b):
    """Same types, same values (floats by repr: NaN, -0.0), same key order."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if repr(a) != repr(b):
                return False
        elif isinstance(a, dict):
            if list(a) != list(b):
                return False
            pending.extend((a[k], b[k]) for k in a)
        elif isinstance(a, (list, tuple)):
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif a != b:
            return False
    return True


JSON_PACKAGE = os.path.dirname(json.__file__)


def host_json_calls(fn, *args):
    """Names of the json package's Python functions that run during fn(*args).

    The native codec runs none of them; the host path runs json.dumps or
    json.loads. Exceptions from fn are swallowed (outcome compares those)."""
    called = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(JSON_PACKAGE):
            called.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        outcome(fn, *args)
    finally:
        sys.setprofile(None)
    return called


# Deeper than the host's json accepts under any recursion limit it sets by
# default (3.12+ count C levels apart from sys.getrecursionlimit()).
FAR_TOO_DEEP = 100000


def check_encoding(value):
    got = outcome(encode, value)
    want = outcome(expected_encoding, value)
    assert got == want


def check_decoding(text):
    got = outcome(decode, text)
    want = outcome(lambda t: json.loads(t)["result"], text)
    if got[0] == "ok" and want[0] == "ok":
        assert identical(got[1], want[1]), (got[1], want[1])
    else:
        assert got == want


# ---------------------------------------------------------------------------
# Values

surrogates = st.integers(0xD800, 0xDFFF).map(chr)
any_text = st.text() | st.lists(st.characters() | surrogates).map("".join)
control_heavy = st.text(st.sampled_from('\x00\x01\x08\x09\x0a\x0c\x0d\x1f\x7f "\\/\u2028é€😀'))
huge_ints = st.integers(-(10**60), 10**60) | st.sampled_from([2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64])
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([0.0, -0.0, 1e16, 1e-7, 5e-324])
scalars = st.none() | st.booleans() | st.integers() | huge_ints | floats | st.text() | control_heavy
keys = st.text() | control_heavy | st.integers() | floats | st.booleans() | st.none()


class StrSub(str):
    def __str__(self):
        return "not this"


class IntSub(int):
    def __repr__(self):
        return "not this"


class FloatSub(float):
    def __repr__(self):
        return "not this"


class DictSub(dict):
    def items(self):  # the host encoder asks the mapping for its items
        return [("replaced", True)]


class ListSub(list):
    pass


Point = namedtuple("Point", "x y")


def containers(children):
    return (
        st.lists(children, max_size=5)
        | st.lists(children, max_size=5).map(tuple)
        | st.dictionaries(keys, children, max_size=5)
    )


json_values = st.recursive(scalars, containers, max_leaves=30)

# Values json.dumps handles by other means, or refuses.
odd_scalars = (
    any_text.map(StrSub)
    | st.integers().map(IntSub)
    | floats.map(FloatSub)
    | st.sampled_from([object(), {1, 2}, b"bytes", 1j, decimal.Decimal("1.5"), float])
)


def odd_containers(children):
    return (
        containers(children)
        | st.dictionaries(keys, children, max_size=3).map(DictSub)
        | st.dictionaries(keys, children, max_size=3).map(OrderedDict)
        | st.lists(children, max_size=3).map(ListSub)
        | st.tuples(children, children).map(lambda t: Point(*t))
        | st.dictionaries(st.sampled_from([(1, 2), StrSub("k"), IntSub(3), b"k"]), children, max_size=2)
    )


odd_values = st.recursive(scalars | any_text | odd_scalars, odd_containers, max_leaves=20)
