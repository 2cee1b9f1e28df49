"""Values for the codec tests: one of every type the binary codec carries,
and the comparison that tells types apart."""
import datetime as dt
import decimal
import math
import uuid

import numpy as np

UTC = dt.timezone.utc


def same(a, b):
    """Equal with the same types all the way down; NaN equals NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, decimal.Decimal):
        return str(a) == str(b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
    if isinstance(a, (dt.datetime, dt.time)):
        return a == b and a.utcoffset() == b.utcoffset()
    return a == b


SAMPLES = [
    None, True, False, 0, 23, 24, -1, -24, -25, 2 ** 63, -2 ** 63 - 1, 2 ** 64 - 1, -2 ** 64,
    2 ** 64, -2 ** 64 - 1, 7 ** 200, -(7 ** 200), 1.5, -0.0, float("inf"), float("-inf"),
    float("nan"), "", "héllo ✓", b"", b"\x00\xff" * 3, bytearray(b"mutable"), (), (1, ("two",)),
    [1, [2, (3,)]], {"a": 1, 2: "b", (1, 2): [3], frozenset({4}): None}, {1, "x", (2, 3)},
    frozenset({b"k"}), set(),
    dt.datetime(2026, 12, 9, 8, 1, 2, 345678),
    dt.datetime(2026, 12, 9, 8, 1, 2, tzinfo=UTC),
    dt.datetime(1999, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=-5, minutes=-30))),
    dt.date(2024, 2, 29), dt.time(23, 59, 59, 999999), dt.time(1, 2, tzinfo=UTC),
    dt.timedelta(days=-3, seconds=5, microseconds=7), dt.timedelta(days=999999999),
    decimal.Decimal("273.15"), decimal.Decimal("-1E+30"), decimal.Decimal("1e-1000"),
    decimal.Decimal("-0"), decimal.Decimal("-0.00"), decimal.Decimal("NaN"),
    decimal.Decimal("-Infinity"), decimal.Decimal("3." + "1" * 2000),
    uuid.UUID("12345678-1234-5678-1234-567812345678"),
]
