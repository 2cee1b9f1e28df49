"""The JSON codec of sorvane.corvex, encoding: the call description
GrpcHelper.call_rpc sends (any object may stand in for "clazz").

The framework's wire texts must be exactly json.dumps(obj, ensure_ascii=False)
encoded as UTF-8, and its incoming texts must decode exactly as json.loads(text),
compared with the host's json module value for value and error for error
(the paths under test and the values are in support/json_codec_support.py).
"""
import sys

import pytest
from hypothesis import HealthCheck, given, settings

from json_codec_support import (FAR_TOO_DEEP, DictSub, FloatSub, IntSub, ListSub, Point, StrSub,
                                check_encoding, encode, expected_encoding, host_json_calls,
                                json_values, odd_values, outcome)

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free


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
