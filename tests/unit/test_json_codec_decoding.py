"""The JSON codec of sorvane.corvex, decoding: the result envelope
GrpcHelper.call_rpc_result decodes, plain texts, and CommonService().handle
decoding call descriptions and encoding result envelopes.

The framework's wire texts must be exactly json.dumps(obj, ensure_ascii=False)
encoded as UTF-8, and its incoming texts must decode exactly as json.loads(text),
compared with the host's json module value for value and error for error
(the paths under test and the values are in support/json_codec_support.py).
"""
import json
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import marvetta
from json_codec_support import (FAR_TOO_DEEP, check_decoding, decode, envelope, host_json_calls,
                                huge_ints, identical, json_values, odd_values, outcome)
from sorvane import corvex

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free


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
