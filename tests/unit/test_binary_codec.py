"""The binary codec (sorvane.codec, CBOR) on its own: every value type it
promises round-trips with its type, its output is standard CBOR that other
readers agree with, NumPy arrays come back as views over the input, and
hostile or broken input is refused with CodecError and nothing else."""
import datetime as dt
import decimal
import sys
import uuid

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from sorvane import codec
from sorvane.corvex import CodecError

from codec_values import SAMPLES, same

pytestmark = pytest.mark.engine_free

UTC = dt.timezone.utc


def round_trip(value):
    return codec.loads(codec.dumps(value))


class TestRoundTrips:
    @pytest.mark.parametrize("value", SAMPLES, ids=lambda v: type(v).__name__)
    def test_every_listed_type_keeps_value_and_type(self, value):
        assert same(round_trip(value), value)

    @pytest.mark.parametrize("dtype", ["u1", "i1", "<u2", ">i2", "<u4", ">i4", "<u8", ">i8",
                                       "<f2", ">f4", "<f8", ">f8"])
    @pytest.mark.parametrize("shape", [(0,), (5,), (2, 3), (2, 0, 4), ()])
    def test_numpy_arrays_of_numeric_dtypes_and_any_shape(self, dtype, shape):
        a = (np.arange(int(np.prod(shape))) % 100).astype(dtype).reshape(shape)
        back = round_trip(a)
        assert same(back, a)
        assert back.dtype.byteorder == a.dtype.byteorder or a.dtype.itemsize == 1

    def test_arrays_that_are_not_c_ordered_are_sent_in_row_major_order(self):
        a = np.arange(24.0).reshape(4, 6)
        for view in (a.T, a[::2, 1::3], np.asfortranarray(a)):
            assert same(round_trip(view), np.ascontiguousarray(view))

    def test_received_array_is_a_read_only_view_over_the_input(self):
        a = np.arange(1 << 17, dtype="f8").reshape(256, 512)  # 1 MiB
        data = codec.dumps({"x": [a]})
        back = codec.loads(data)["x"][0]
        assert not back.flags.writeable
        base = back
        while not isinstance(base, memoryview):
            base = base.base
        assert base.obj is data
        assert np.array_equal(back, a)

    def test_numpy_scalars_travel_as_the_python_values_they_stand_for(self):
        assert same(round_trip([np.int64(5), np.float32(1.5), np.bool_(True)]), [5, 1.5, True])

    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(st.recursive(
        st.none() | st.booleans() | st.integers() | st.floats() | st.text() | st.binary()
        | st.decimals() | st.uuids() | st.dates() | st.times() | st.timedeltas()
        | st.datetimes() | st.datetimes(timezones=st.just(UTC)),
        lambda inner: st.lists(inner, max_size=4) | st.lists(inner, max_size=4).map(tuple)
        | st.dictionaries(st.text() | st.integers(), inner, max_size=4)
        | st.frozensets(st.integers() | st.text(), max_size=4)
        | st.sets(st.integers() | st.binary(), max_size=4),
        max_leaves=20))
    def test_property_any_mix_round_trips(self, value):
        assert same(round_trip(value), value)


class TestInterchange:
    """Output other CBOR readers take (RFC 8949's own examples), and input in
    the registered forms other writers use."""

    @pytest.mark.parametrize("value,hex_", [
        (0, "00"), (1000000, "1a000f4240"), (18446744073709551615, "1bffffffffffffffff"),
        (18446744073709551616, "c249010000000000000000"), (-1000, "3903e7"),
        (-18446744073709551617, "c349010000000000000000"), (1.1, "fb3ff199999999999a"),
        ("IETF", "6449455446"), (b"\x01\x02\x03\x04", "4401020304"), ([1, [2, 3]], "8201820203"),
        ({"a": 1, "b": [2, 3]}, "a26161016162820203"), (None, "f6"), (False, "f4"),
        (decimal.Decimal("273.15"), "c48221196ab3"),
        (uuid.UUID(int=1), "d82550" + "00" * 15 + "01"),
        (dt.date(2020, 1, 2), "d903ec6a323032302d30312d3032"),
        ({1}, "d9010281" + "01"),
    ])
    def test_standard_encodings(self, value, hex_):
        assert codec.dumps(value).hex() == hex_
        assert same(codec.loads(bytes.fromhex(hex_)), value)

    @pytest.mark.parametrize("hex_,value", [
        ("f93c00", 1.0), ("f97c00", float("inf")), ("f90001", 5.960464477539063e-08),
        ("fa47c35000", 100000.0), ("f7", None),
        ("c074323031332d30332d32315432303a30343a30305a",
         dt.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
        ("d9d9f7820102", [1, 2]),  # the self-described CBOR prefix
        ("d844" + "43" + "010203", np.array([1, 2, 3], "u1")),  # uint8 clamped, one dimension
    ])
    def test_forms_other_writers_use(self, hex_, value):
        assert same(codec.loads(bytes.fromhex(hex_)), value)

    def test_float64_array_layout_is_rfc_8746(self):
        a = np.array([[1.0, 2.0]], "<f8")
        assert codec.dumps(a).hex() == "d828" "82" "820102" "d856" "50" + a.tobytes().hex()


class TestRefusals:
    @pytest.mark.parametrize("hex_,why", [
        ("", "ends inside a value"),
        ("9f01ff", "indefinite-length"),
        ("5f4101ff", "indefinite-length"),
        ("1c", "reserved head"),
        ("19ff", "ends inside a head"),
        ("9bffffffffffffffff", "larger than the input"),
        ("5a7fffffff00", "larger than the input"),
        ("bb0000000100000000", "larger than the input"),
        ("0000", "bytes follow the value"),
        ("62fffe", "not UTF-8"),
        ("f820", "simple value"),
        ("c11a514b67b0", "tag that is not accepted"),  # epoch datetime: not on the list
        ("d82301", "tag that is not accepted"),  # tag 35 (a regular expression)
        ("d9cf0001", "not an array"),
        ("c06474657874", "ISO 8601"),
        ("d9cf0363323032", "ISO 8601"),
        ("c24100" + "", None),  # a valid big number, for contrast
        ("d8255001", "larger than the input"),
        ("d825420102", "not 16 bytes"),
        ("c482000a", None),
        ("c48201f6", "mantissa is not an integer"),
        ("a1a00001", "cannot be a dict key"),
        ("d9cf05830001", "ends inside"),
        ("d9cf05831a7fffffff0000", "out of range"),
        ("d828820241" "01", "shape that is not an array"),
        ("d82882810a" "d8564808" + "00" * 8, "does not match"),
        ("d8564700" + "00" * 6, "not a multiple"),
        ("d853" "50" + "00" * 16, "not accepted"),  # float128
        ("d828" "82" "98" "21" + "01" * 33 + "d848" "41" "00", "more than 32 dimensions"),
        ("d828" "82" "83" "00" "1b" "4000000000000000" "1b" "4000000000000000" "d848" "40",
         "NumPy cannot make"),  # no items, but 2**124 places
    ])
    def test_hostile_or_broken_input_is_refused_with_a_reason(self, hex_, why):
        data = bytes.fromhex(hex_)
        if why is None:
            codec.loads(data)
            return
        with pytest.raises(CodecError, match=why):
            codec.loads(data)

    def test_nesting_is_limited_both_ways(self):
        with pytest.raises(CodecError, match="nested too deeply"):
            codec.loads(b"\x81" * 300 + b"\x00")
        with pytest.raises(CodecError, match="nested too deeply"):
            codec.loads(b"\xd9\xd9\xf7" * 300 + b"\x80")
        assert codec.loads(b"\x81" * 200 + b"\x00") is not None
        deep = ()
        for _ in range(250):  # a tagged level counts once: what decodes can be sent on
            deep = (deep,)
        assert codec.loads(codec.dumps(deep)) == deep
        loop = []
        loop.append(loop)
        with pytest.raises(ValueError, match="circular"):
            codec.dumps(loop)

    def test_every_truncation_of_a_valid_encoding_is_refused(self):
        data = codec.dumps({"t": (1, 2.5, "x" * 30), "d": dt.datetime(2020, 1, 1, tzinfo=UTC),
                            "n": np.arange(4, dtype="<i4"), "big": 10 ** 30})
        for cut in range(len(data)):
            with pytest.raises(CodecError):
                codec.loads(data[:cut])

    @settings(max_examples=400, deadline=None)
    @given(st.binary(max_size=64))
    def test_property_arbitrary_bytes_decode_or_raise_codec_error(self, data):
        try:
            codec.loads(data)
        except CodecError:
            pass

    def test_values_it_cannot_carry_are_type_errors(self):
        for value in (object(), {1: object()}, np.array([1 + 2j]), np.array(["s"]),
                      np.array([True]), 1j):
            with pytest.raises(TypeError, match="not CBOR serializable"):
                codec.dumps(value)
        with pytest.raises(UnicodeEncodeError):
            codec.dumps("\ud800")

    def test_without_numpy_a_typed_array_is_a_clear_error(self, monkeypatch):
        data = codec.dumps(np.arange(3))
        monkeypatch.setitem(sys.modules, "numpy", None)
        with pytest.raises(CodecError, match="needs NumPy"):
            codec.loads(data)
        assert codec.loads(codec.dumps([b"still", (1,)])) == [b"still", (1,)]
