"""The JSON codec of sorvane.corvex, observed through the framework's own paths.

The framework's wire texts must be exactly json.dumps(obj, ensure_ascii=False)
encoded as UTF-8, and its incoming texts must decode exactly as json.loads(text).
GrpcHelper.call_rpc encodes the call description (any object may stand in for
"clazz"), GrpcHelper.call_rpc_result decodes the result envelope, and
CommonService().handle does the reverse, so both directions are compared with
the host's json module, value for value and error for error, including after
the json module has been patched. A profiling hook tells which path ran: the
native codec runs none of the json package's Python code.
"""
import contextlib
import decimal
import gc
import json
import os
import sys
import tracemalloc
from collections import OrderedDict, namedtuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import marvetta
from sorvane import corvex

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free


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


# ---------------------------------------------------------------------------
# Encoding


class TestEncoding:
    @given(json_values)
    @settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
    def test_plain_values_match_the_host(self, value):
        check_encoding(value)
        assert host_json_calls(encode, value) == []  # the native encoder was the one compared

    @given(odd_values)
    @settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
    def test_other_values_match_the_host_or_its_error(self, value):
        check_encoding(value)

    @pytest.mark.parametrize(
        "value, text",
        [
            ({"status": 0, "message": "", "excType": "", "result": 3},
             '{"status": 0, "message": "", "excType": "", "result": 3}'),
            ([], "[]"),
            ({}, "{}"),
            ((), "[]"),
            ([[], {}, ()], "[[], {}, []]"),
            ("\x00\x1f\x7f\b\f\n\r\t\"\\/", '"\\u0000\\u001f\x7f\\b\\f\\n\\r\\t\\"\\\\/"'),
            ("é€😀\u2028", '"é€😀\u2028"'),
            ([float("nan"), float("inf"), -float("inf"), -0.0, 1e16, 0.1],
             "[NaN, Infinity, -Infinity, -0.0, 1e+16, 0.1]"),
            ([2**63, -(2**63), 10**30], "[9223372036854775808, -9223372036854775808, %d]" % 10**30),
            ({1: "a", 2.5: "b", None: "c", True: "d", False: "e", float("nan"): "f", -float("inf"): "g"},
             '{"1": "d", "2.5": "b", "null": "c", "false": "e", "NaN": "f", "-Infinity": "g"}'),
            ([True, False, None], "[true, false, null]"),
        ],
    )
    def test_known_texts(self, value, text):
        sent = encode(value)
        assert sent == ('{"clazz": %s, "method": "f", "args": [%s], "kwargs": {"k": %s}}'
                        % (text, text, text)).encode("utf-8")
        assert sent == expected_encoding(value)

    def test_insertion_order_survives_deletions(self):
        d = {"z": 1, "a": 2, "m": 3}
        del d["z"]
        d["z"] = 4
        assert encode(d) == expected_encoding(d)
        assert b'{"a": 2, "m": 3, "z": 4}' in encode(d)

    @pytest.mark.parametrize("value", ["\ud800", ["ok", "a\udfffb"], {"\udc80": 1}, "😀\ud83d"])
    def test_lone_surrogates_fail_like_the_host_encode(self, value):
        with pytest.raises(UnicodeEncodeError) as info:
            encode(value)
        with pytest.raises(UnicodeEncodeError) as host:
            expected_encoding(value)
        assert info.value.args == host.value.args

    @pytest.mark.parametrize(
        "value", [object(), {1, 2}, b"x", {(1, 2): 3}, {"a": [1, {"b": set()}]}, {b"k": 1}]
    )
    def test_unserializable_values_raise_the_host_error(self, value):
        got = outcome(encode, value)
        assert got[0] == "raised" and got[1] is TypeError
        assert got == outcome(expected_encoding, value)

    def test_circular_references_raise_the_host_error(self):
        a = [1]
        a.append(a)
        d = {}
        d["self"] = [d]
        for value in (a, d, {"x": (1, [a])}):
            got = outcome(encode, value)
            assert got == ("raised", ValueError, ("Circular reference detected",), None)
            assert got == outcome(expected_encoding, value)

    @pytest.mark.parametrize("depth", [499, 500, 501, 700])
    def test_deep_nesting_within_the_recursion_limit(self, depth):
        value = 1
        for i in range(depth):
            value = [value] if i % 2 else {"k": value}
        assert encode(value) == expected_encoding(value)

    def test_nesting_beyond_any_recursion_limit_raises_recursion_error(self):
        value = []
        for _ in range(FAR_TOO_DEEP):
            value = [value]
        assert outcome(encode, value) == ("raised", RecursionError)
        assert outcome(expected_encoding, value) == ("raised", RecursionError)

    def test_subclass_overrides_are_honoured_like_the_host(self):
        value = [DictSub(a=1), IntSub(7), FloatSub(2.5), StrSub("s"), ListSub([1]), Point(1, 2)]
        assert encode(value) == expected_encoding(value)
        assert b'[{"replaced": true}, 7, 2.5, "s", [1], [1, 2]]' in encode(value)

    @pytest.mark.skipif(not hasattr(sys, "set_int_max_str_digits"), reason="no int digit limit")
    def test_int_digit_limit_is_the_hosts(self):
        value = [1, 10**5000]
        got = outcome(encode, value)
        assert got[0] == "raised" and got[1] is ValueError
        assert got == outcome(expected_encoding, value)
        old = sys.get_int_max_str_digits()
        sys.set_int_max_str_digits(0)
        try:
            assert encode(value) == expected_encoding(value)
        finally:
            sys.set_int_max_str_digits(old)


# ---------------------------------------------------------------------------
# Decoding

hex_escape = st.integers(0, 0xFFFF).map(lambda c: "\\u%04x" % c)
surrogate_escape = st.integers(0xD800, 0xDFFF).map(lambda c: "\\u%04X" % c)
string_piece = (
    st.text(min_size=1)
    | st.sampled_from(['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u", "\\x", "\\", "\x1f", "\x7f"])
    | hex_escape
    | surrogate_escape
)
json_strings = st.lists(string_piece, max_size=8).map(lambda p: '"' + "".join(p).replace('"', "") + '"')
number_texts = st.from_regex(r"\A-?(0|[1-9][0-9]{0,40})(\.[0-9]{1,20})?([eE][-+]?[0-9]{1,4})?\Z")
whitespace = st.text(" \t\n\r", max_size=3)


@st.composite
def formatted(draw, values=json_values):
    """A value as json.dumps writes it, with varied layout and escaping."""
    value = draw(values)
    ensure_ascii = draw(st.booleans())
    indent = draw(st.sampled_from([None, 0, 2, "\t"]))
    separators = draw(st.sampled_from([None, (",", ":"), (" , ", " : "), (",\r\n", ":\t")]))
    return json.dumps(value, ensure_ascii=ensure_ascii, indent=indent, separators=separators)


@st.composite
def damaged(draw):
    """Valid text with a few characters removed, replaced or inserted."""
    text = draw(formatted())
    for _ in range(draw(st.integers(1, 3))):
        i = draw(st.integers(0, len(text)))
        edit = draw(st.sampled_from(["delete", "insert", "replace"]))
        junk = draw(st.sampled_from(list(',:[]{}"\\ -+.eE0159tfnNI\x00\x1f\ufeff')))
        if edit == "delete":
            text = text[:i] + text[i + 1:]
        elif edit == "insert":
            text = text[:i] + junk + text[i:]
        else:
            text = text[:i] + junk + text[i + 1:]
    return text


class TestDecoding:
    @given(formatted())
    @settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
    def test_dumped_values_decode_like_the_host(self, text):
        check_decoding(envelope(text))
        assert host_json_calls(decode, envelope(text)) == []  # the native decoder was the one compared

    @given(damaged())
    @settings(max_examples=500, suppress_health_check=[HealthCheck.too_slow])
    def test_damaged_texts_fail_or_decode_like_the_host(self, text):
        check_decoding(envelope(text))

    @given(json_strings, whitespace, whitespace)
    @settings(max_examples=400)
    def test_string_escapes_decode_like_the_host(self, text, before, after):
        check_decoding(envelope(text, before, after))
        check_decoding(envelope("{" + text + ": 1}"))

    @given(number_texts | st.sampled_from(["-", "01", "1.", ".5", "1e", "1e+", "1.e5", "-0", "-01", "1E-0", "2.5e"]))
    def test_numbers_decode_like_the_host(self, text):
        check_decoding(envelope(text))
        check_decoding(envelope("[" + text + "]"))

    @pytest.mark.parametrize(
        "text",
        [
            '"\\ud83d\\ude00"',  # a pair
            '"\\ud800\\udc00 \\udbff\\udfff \\uDBFF\\uDFFF"',  # the extreme pairs
            '"\\ud7ff\\udc00 \\ue000\\udfff \\udc00\\udc00"',  # no pairs
            '"\\ud83d"',  # lone high
            '"\\ude00\\ud83d"',  # low then high
            '"\\ud83d\\u0041"',  # high then an ordinary escape
            '"\\ud83d\\ud83d\\ude00"',  # high, then a pair
            '"\\ud83d\\uZZZZ"',
            '"\\ud83d\\u00"',
            '"\\ud83d\\"',
            '"\\u00e9\\u20AC"',
            '"a\x7fb"',
            '"a\x1fb"',
            '"tab\there"',
            '"é€😀 mixed \\n kinds"',
            '"\\u0000"',
            '"unterminated',
            '"\\q"',
            '"\\',
        ],
    )
    def test_string_cases(self, text):
        check_decoding(envelope(text))

    @pytest.mark.parametrize(
        "text",
        [
            "NaN", "Infinity", "-Infinity", "nan", "-NaN", "+1", "-Inf", "Infinityx", "[NaN, -Infinity]",
            "true", "false", "null", "tru", "nul", "True", "None", "[true false]", "[1,]", "[,1]", "[]", "[ ]",
            "{}", "{ }", '{"a":1,}', '{,"a":1}', '{"a" 1}', '{"a":}', "{1: 2}", "{'a': 1}", '{"a":1 "b":2}',
            '{"a": 1, "a": 2, "b": 3, "a": 4}', "[1 2]", "[", "]", "{", "}", "",
            "123456789012345678", "1234567890123456789", "-9223372036854775809", "9" * 100, "1e400", "-1e400",
            "1.7976931348623157e308", "4.9e-324", "2.5E-3", "0.1", "1e-400",
        ],
    )
    def test_value_cases(self, text):
        check_decoding(envelope(text))

    @pytest.mark.parametrize(
        "text",
        [
            ' \t\n\r{"status": 0, "result": 1} \r\n\t ',
            '{"status": 0, "result": 1}\f',
            '\ufeff{"status": 0, "result": 1}',
            '{"status": 0, "result": 1}\x00',
            '{"status": 0, "result": 1} x',
            '{"status": 0, "result": 1}{}',
            '\u00a0{"status": 0, "result": 1}',
        ],
    )
    def test_whole_document_layout(self, text):
        check_decoding(text)

    def test_equal_keys_share_one_object_and_constants_are_the_hosts(self):
        items = ", ".join('{"key%d": %d, "same": [NaN, Infinity, -Infinity]}' % (i % 11, i) for i in range(30))
        text = envelope("[" + items + "]")
        got = decode(text)
        want = json.loads(text)["result"]
        assert identical(got, want)

        def distinct_key_objects(objects):
            return len({id(k) for d in objects for k in d})

        assert distinct_key_objects(got) == distinct_key_objects(want) == 12
        assert got[0]["same"][0] is want[0]["same"][0]  # the host's constant objects
        assert got[3]["same"][2] is json.loads("-Infinity")

    def test_duplicate_keys_keep_the_first_position_and_last_value(self):
        got = decode(envelope('{"a": 1, "b": 2, "a": 3}'))
        assert list(got.items()) == [("a", 3), ("b", 2)]

    @pytest.mark.parametrize("depth", [499, 500, 501, 700])
    def test_deep_nesting_within_the_recursion_limit(self, depth):
        check_decoding(envelope("[" * depth + "]" * depth))
        check_decoding(envelope('{"k": ' * depth + "1" + "}" * depth))

    def test_nesting_beyond_any_recursion_limit_raises_recursion_error(self):
        text = envelope("[" * FAR_TOO_DEEP + "]" * FAR_TOO_DEEP)
        assert outcome(decode, text) == ("raised", RecursionError)
        assert outcome(json.loads, text) == ("raised", RecursionError)

    @pytest.mark.skipif(not hasattr(sys, "set_int_max_str_digits"), reason="no int digit limit")
    def test_int_digit_limit_is_the_hosts(self):
        text = envelope("[1, " + "7" * 5000 + "]")
        got = outcome(decode, text)
        assert got[0] == "raised" and got[1] is ValueError
        assert got == outcome(json.loads, text)

    @given(st.text(st.sampled_from('{}[]",:0 -.eE\\u1tfnNaI\x00'), max_size=12))
    @settings(max_examples=500)
    def test_short_garbage(self, text):
        check_decoding(envelope(text))


# Texts without escapes, NaN or control characters, in any script: the common
# wire text, decoded without the scanner's call.
plain_strings = st.text(st.characters(blacklist_categories=("Cs",)).filter(lambda c: c >= " " and c not in '"\\'))
plain_scalars = st.none() | st.booleans() | st.integers() | huge_ints | st.floats(allow_nan=False, allow_infinity=False) | plain_strings
plain_values = st.recursive(
    plain_scalars,
    lambda children: st.lists(children, max_size=5) | st.dictionaries(plain_strings | st.sampled_from(
        ["clazz", "method", "args", "kwargs", "status", "message", "excType", "result", "é", "ab"]), children, max_size=5),
    max_leaves=30,
)


def key_objects(value):
    """id() of every key object in the decoded tree, kept alive by it."""
    found, pending = [], [value]
    while pending:
        v = pending.pop()
        if isinstance(v, dict):
            found.extend(id(k) for k in v)
            pending.extend(v.values())
        elif isinstance(v, list):
            pending.extend(v)
    return found


class TestPlainTexts:
    @given(plain_values, st.sampled_from([None, (",", ":"), (" , ", " : "), (",\r\n", ":\t")]), st.booleans())
    @settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
    def test_decode_like_the_host_with_keys_shared_alike(self, value, separators, ensure_ascii):
        text = envelope(json.dumps(value, separators=separators, ensure_ascii=ensure_ascii))
        check_decoding(text)
        got, want = decode(text), json.loads(text)["result"]
        assert len(set(key_objects(got))) == len(set(key_objects(want)))

    def test_equal_keys_in_one_text_are_one_object(self):
        text = envelope('[{"name": 1, "é€": 2, "kwargs": 3}, {"name": 4, "é€": 5, "kwargs": 6}]')
        first, second = decode(text)
        assert [a is b for a, b in zip(first, second)] == [True, True, True]
        assert list(first) == ["name", "é€", "kwargs"] and list(second.values()) == [4, 5, 6]

    @pytest.mark.parametrize("depth", [31, 32, 33, 34])
    def test_nesting_around_the_plain_limit(self, depth):
        check_decoding(envelope("[" * depth + "1" + "]" * depth))
        check_decoding(envelope('{"k": ' * depth + '"v"' + "}" * depth))

    @pytest.mark.parametrize(
        "number",
        ["999999999999999999", "-99999999999999999", "-999999999999999999", "1000000000000000000",
         "9223372036854775807", "-9223372036854775808", "18446744073709551616", "0", "-0", "-0.0",
         "1e400", "-1e400", "2.5E-3", "1e+2", "123456789012345678.5", "5e-324"],
    )
    def test_numbers_at_the_edges(self, number):
        check_decoding(envelope(number))
        check_decoding(envelope("[" + number + ", " + number + "]"))

    @pytest.mark.parametrize(
        "text",
        ['"a\x7fb"', '"tab\there"', '"\u00e9"', '"é€😀"', '"\u2028 \u2029"', '"no end', '[1 2]', '{"a" 1}',
         '{"a": 1 "b": 2}', "[true false]", "nul", "tru", "-", "--1", "+1", "1.5.5", '{"a":}', "{1: 2}",
         "[] ", " \t\r\n[]\n", '"\ufeff"', "[1,\u00a02]"],
    )
    def test_near_misses(self, text):
        check_decoding(envelope(text))
        check_decoding(text + envelope("1"))

    def test_non_ascii_descriptions_reach_the_target(self):
        del RECEIVED[:]
        handle('{"clazz": "%s", "method": "receive", "args": [{"名前": "é€😀", "n": [1, 2.5]}]}' % __name__)
        assert RECEIVED == [{"名前": "é€😀", "n": [1, 2.5]}]


# ---------------------------------------------------------------------------
# Through the dispatcher: it decodes the call description and encodes the
# result envelope. The targets below live in this module.

RESULTS = {}
RECEIVED = []


def stored(key):
    """Target: answers a value kept by the test (any object, not only JSON's)."""
    return RESULTS[key]


def receive(value):
    """Target: keeps what the dispatcher decoded."""
    RECEIVED.append(value)
    return None


def handle(text):
    request = marvetta.CommonRequest(request=text.encode("utf-8"), request_id="r", serialize=3)
    return corvex.CommonService().handle(request, None).response


class TestDispatcher:
    @given(odd_values | json_values)
    @settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
    def test_envelopes_match_the_host(self, value):
        RESULTS["value"] = value
        description = json.dumps({"clazz": __name__, "method": "stored", "args": ["value"]})
        body = {"status": 0, "message": "", "excType": "", "result": value}
        assert outcome(handle, description) == outcome(
            lambda: json.dumps(body, ensure_ascii=False).encode("utf-8"))

    @given(formatted())
    @settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
    def test_descriptions_decode_like_the_host(self, text):
        description = '{"clazz": "%s", "method": "receive", "args": [%s]}' % (__name__, text)
        del RECEIVED[:]
        handle(description)
        assert len(RECEIVED) == 1
        assert identical(RECEIVED[0], json.loads(description)["args"][0])

    @given(damaged())
    @settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
    def test_broken_descriptions_fail_like_the_host(self, text):
        description = '{"clazz": "%s", "method": "receive", "args": [%s]}' % (__name__, text)
        want = outcome(json.loads, description)
        if want[0] == "raised":
            assert outcome(handle, description) == want


# ---------------------------------------------------------------------------
# Which path runs: exact built-in values never reach the json package's Python
# code; everything the native codec leaves alone does, and gets the host's answer.


class TestPathChoice:
    def test_plain_values_and_valid_texts_stay_native(self):
        value = {"k": [1, 2.5, "é😀", None, True, (1,), {1: {}}], 2**70: float("nan")}
        assert host_json_calls(encode, value) == []
        assert host_json_calls(decode, envelope('[1, -2.5e3, "\\ud83d\\ude00", {"a": {}}, [], NaN]')) == []

    @pytest.mark.parametrize(
        "value",
        [StrSub("s"), [IntSub(1)], {"k": FloatSub(1.0)}, DictSub(), ListSub(), Point(1, 2), {StrSub("k"): 1},
         "\ud800", {1j: 1}, object()],
    )
    def test_other_values_stay_in_the_hosts_c_encoder(self, value):
        # Subclasses, lone surrogates and values the encoder refuses are the
        # host's C encoder's own business: same text, same error, no detour.
        assert not {"dumps", "encode", "iterencode"} & set(host_json_calls(encode, value))
        check_encoding(value)

    @pytest.mark.parametrize("text", [envelope('"\\x"'), envelope("[" * 600 + "]" * 600)])
    def test_invalid_or_deep_texts_are_answered_by_the_scanner(self, text):
        assert not {"loads", "decode", "raw_decode"} & set(host_json_calls(decode, text))
        check_decoding(text)

    @pytest.mark.parametrize("text", [" ", "", envelope("1") + " x", "  [1] ]", "[1,]"])
    def test_no_value_or_extra_data_go_to_the_host(self, text):
        # "[1,]": the scanner of 3.13 raises its own error, older ones stop.
        if text != "[1,]":
            assert host_json_calls(decode, text)[:1] == ["loads"]
        check_decoding(text)


# ---------------------------------------------------------------------------
# The host's json module, patched: every change shows at the next call, and the
# original behaviour comes back once the patch is undone.

VALUE = {"s": "é\n", "l": [1, 2.5, None], "t": (True,)}
ENVELOPE = envelope('{"a": [1, 2.5, NaN], "b": "x\\u00e9"}')


def assert_stock():
    """Unpatched behaviour, on the native path again."""
    assert encode(VALUE) == expected_encoding(VALUE)
    assert identical(decode(ENVELOPE), json.loads(ENVELOPE)["result"])
    assert host_json_calls(encode, VALUE) == []
    assert host_json_calls(decode, ENVELOPE) == []


@contextlib.contextmanager
def instance_attribute(obj, name, value):
    """obj.name = value for the block, then deleted again (monkeypatch would
    restore the class attribute it read through the instance)."""
    setattr(obj, name, value)
    try:
        yield
    finally:
        delattr(obj, name)


class FakeJson:
    @staticmethod
    def dumps(obj, **kw):
        return "fake dumps %s" % sorted(kw.items())

    @staticmethod
    def loads(text):
        return {"status": 0, "result": "fake loads"}


class TestPatchedJson:
    def test_rebinding_corvex_json(self, monkeypatch):
        assert_stock()
        monkeypatch.setattr(corvex, "json", FakeJson)
        assert encode(VALUE) == b"fake dumps [('ensure_ascii', False)]"
        assert decode(ENVELOPE) == "fake loads"
        monkeypatch.undo()
        assert_stock()

    def test_unbinding_corvex_json_raises_name_error(self, monkeypatch):
        monkeypatch.delattr(corvex, "json")
        with pytest.raises(NameError, match="'json'"):
            encode(VALUE)
        with pytest.raises(NameError, match="'json'"):
            decode(ENVELOPE)
        monkeypatch.undo()
        assert_stock()

    def test_rebinding_json_dumps_and_loads(self, monkeypatch):
        calls = []
        real_dumps, real_loads = json.dumps, json.loads

        def dumps(obj, **kw):
            calls.append(kw)
            return real_dumps(obj, **kw).upper()

        def loads(text):
            calls.append(text)
            return real_loads(text.replace("x", "y"))

        monkeypatch.setattr(json, "dumps", dumps)
        monkeypatch.setattr(json, "loads", loads)
        assert encode(VALUE) == real_dumps(description(VALUE), ensure_ascii=False).upper().encode()
        assert decode(ENVELOPE)["b"] == "yé"
        # call_rpc_result encodes its own call description first
        assert calls == [{"ensure_ascii": False}, {"ensure_ascii": False}, ENVELOPE]
        monkeypatch.undo()
        assert_stock()

    @pytest.mark.parametrize(
        "target, name, replacement, encoded",
        [
            (json.JSONEncoder, "item_separator", "|", b'{"clazz": {"s": "\xc3\xa9\\n"|'),
            (json.JSONEncoder, "key_separator", "=", b'{"clazz"={"s"='),
            (json.JSONEncoder, "encode", lambda self, o: "encode()", b"encode()"),
            (json.JSONEncoder, "iterencode", lambda self, o, _one_shot=False: ["iter", "encode"], b"iterencode"),
            (json.encoder, "encode_basestring", lambda s: '"S"', b'{"S": {"S": "S"'),
            (json.encoder, "c_make_encoder",
             lambda *a: (lambda o, level: ["c_make_encoder"]), b"c_make_encoder"),
        ],
    )
    def test_patching_the_encoder(self, monkeypatch, target, name, replacement, encoded):
        monkeypatch.setattr(target, name, replacement)
        got = encode(VALUE)
        assert got == expected_encoding(VALUE)
        assert got.startswith(encoded)
        monkeypatch.undo()
        assert_stock()

    def test_patching_json_jsonencoder_and_encoder_init(self, monkeypatch):
        class Sorted(json.JSONEncoder):
            def __init__(self, **kw):
                kw["sort_keys"] = True
                super().__init__(**kw)

        monkeypatch.setattr(json, "JSONEncoder", Sorted)
        assert encode(VALUE) == expected_encoding(VALUE) == json.dumps(description(VALUE), sort_keys=True, ensure_ascii=False).encode()
        monkeypatch.undo()
        original_init = json.JSONEncoder.__init__

        def init(self, **kw):
            kw["indent"] = 1
            original_init(self, **kw)

        monkeypatch.setattr(json.JSONEncoder, "__init__", init)
        assert encode(VALUE) == expected_encoding(VALUE)
        assert b"\n" in encode(VALUE)
        monkeypatch.undo()
        assert_stock()

    def test_adding_an_attribute_to_jsonencoder(self, monkeypatch):
        def getattribute(self, name):
            if name == "item_separator":
                return " ; "
            return object.__getattribute__(self, name)

        monkeypatch.setattr(json.JSONEncoder, "__getattribute__", getattribute, raising=False)
        assert encode(VALUE) == expected_encoding(VALUE)
        assert b" ; " in encode(VALUE)
        monkeypatch.undo()
        assert_stock()

    def test_replacing_the_default_decoder(self, monkeypatch):
        monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(parse_float=decimal.Decimal))
        assert decode(ENVELOPE)["a"][1] == decimal.Decimal("2.5")
        monkeypatch.undo()
        assert_stock()

    def test_patching_the_default_decoder_instance(self, monkeypatch):
        decoder = json._default_decoder
        monkeypatch.setattr(decoder, "scan_once", json.scanner.make_scanner(json.JSONDecoder(parse_float=str)))
        assert decode(ENVELOPE)["a"][1] == "2.5"
        monkeypatch.undo()
        with instance_attribute(decoder, "decode", lambda text: {"status": 0, "result": "shadowed"}):
            assert decode(ENVELOPE) == "shadowed"
        with instance_attribute(decoder, "raw_decode", lambda text, idx=0: ({"status": 0, "result": "raw"}, len(text))):
            assert decode(ENVELOPE) == "raw"

        class Other(json.JSONDecoder):
            def decode(self, s):
                return {"status": 0, "result": "other class"}

        monkeypatch.setattr(decoder, "__class__", Other)
        assert decode(ENVELOPE) == "other class"
        monkeypatch.undo()
        assert_stock()

    def test_patching_jsondecoder_methods(self, monkeypatch):
        original = json.JSONDecoder.raw_decode

        def raw_decode(self, s, idx=0):
            obj, end = original(self, s, idx)
            obj["result"] = "patched raw_decode"
            return obj, end

        monkeypatch.setattr(json.JSONDecoder, "raw_decode", raw_decode)
        assert decode(ENVELOPE) == "patched raw_decode"
        monkeypatch.undo()
        monkeypatch.setattr(json.JSONDecoder, "decode", lambda self, s, _w=None: {"status": 0, "result": "decode"})
        assert decode(ENVELOPE) == "decode"
        monkeypatch.undo()
        assert_stock()

    def test_the_constants_are_read_at_each_call(self, monkeypatch):
        constants = json.decoder._CONSTANTS
        monkeypatch.setitem(constants, "NaN", "not a number")
        assert decode(ENVELOPE)["a"][2] == "not a number"
        monkeypatch.delitem(constants, "NaN")
        got = outcome(decode, ENVELOPE)
        assert got == outcome(json.loads, ENVELOPE) and got[1] is KeyError
        monkeypatch.undo()
        assert_stock()


# ---------------------------------------------------------------------------
# Resources


def test_repeated_calls_keep_references_and_memory_flat():
    big = 10**40
    key = "shared-key-é"
    value = {key: [1.5, big, "text\n", (None, True)], 7: {"n": -3}}
    valid = envelope('[{"k": [1, 2.5, "é\\u00e9", null]}, {"k": NaN}, 12345678901234567890123]')
    broken = envelope('[{"k": [1, 2.5, "é", null]}, {"k": NaN},]')
    cyclic = [1]
    cyclic.append(cyclic)
    stub = Stub(Response(valid.encode()))
    broken_stub = Stub(Response(broken.encode()))
    fallback_value = ["x", StrSub("y"), {"\ud800": 1}]

    def one_round():
        corvex.GrpcHelper.call_rpc(stub, value, "f", (), {}, request_id="r")
        corvex.GrpcHelper.call_rpc_result(stub, "m", "f")
        for bad, exc in ((cyclic, ValueError), (fallback_value, UnicodeEncodeError)):
            with pytest.raises(exc):
                corvex.GrpcHelper.call_rpc(stub, bad, "f", (), {}, request_id="r")
        with pytest.raises(json.JSONDecodeError):
            corvex.GrpcHelper.call_rpc_result(broken_stub, "m", "f")

    watched = [value, value[key], value[7], big, key, cyclic, fallback_value, json.loads("NaN")]
    for _ in range(50):
        one_round()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    objects = len(gc.get_objects())
    tracemalloc.start()
    try:
        for _ in range(200):
            one_round()
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(3000):
            one_round()
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert len(gc.get_objects()) - objects < 100  # a leaked container per round: 3000+
    assert end - start < 64 * 1024, end - start
