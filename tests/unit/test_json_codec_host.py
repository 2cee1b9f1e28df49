"""The JSON codec of sorvane.corvex and the host's json module: which path
runs (a profiling hook tells: the native codec runs none of the json
package's Python code), the json module patched and restored, and references
and memory over repeated calls.

The framework's wire texts must be exactly json.dumps(obj, ensure_ascii=False)
encoded as UTF-8, and its incoming texts must decode exactly as json.loads(text),
compared with the host's json module value for value and error for error
(the paths under test and the values are in support/json_codec_support.py).
"""
import contextlib
import decimal
import gc
import json
import sys
import tracemalloc

import pytest

from json_codec_support import (DictSub, FloatSub, IntSub, ListSub, Point, Response, StrSub, Stub,
                                check_decoding, check_encoding, decode, description, encode,
                                envelope, expected_encoding, host_json_calls, identical, outcome)
from sorvane import corvex

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free


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
