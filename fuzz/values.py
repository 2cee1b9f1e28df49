"""Values built from fuzzer bytes (an atheris FuzzedDataProvider).

JSON values with the awkward cases weighted in: big and huge integers, NaN and
infinities, negative zero, lone surrogates, deep nesting, duplicate-looking
keys; and, for the client side, values JSON cannot write.
"""
import json
import math

import harness

EDGE_INTS = [0, 1, -1, 2 ** 31 - 1, -2 ** 31, 2 ** 32, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 4299,
             10 ** 4300, -10 ** 5000]
EDGE_FLOATS = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e308, 5e-324, 0.1, -1.5e-7]
EDGE_TEXT = ["", "a", "status", "result", "excType", "message", "clazz", "method", "args", "kwargs",
             "cls", "self", "\u00e9t\u00e9", "\u4e2d\u6587", "\U0001f600", "\ud800", "\udfff",
             "\x00", '"', "\\", "\n", "a.b", "_x", "1"]
_NESTED = {}  # (depth, objects or arrays) -> value; nobody changes them, so they are shared
EDGE_STATUS = [0, -1, 0.0, -1.0, False, True, 1, None, "0", "-1", [], {}, math.nan]


class Values:
    def __init__(self, fdp):
        self.fdp = fdp
        self.deep_left = 1  # one deeply nested value per input at most: they are slow to build

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def int(self):
        kind = self.fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            return self.pick(EDGE_INTS)
        if kind == 1:
            return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 40))
        return self.fdp.ConsumeIntInRange(-1000, 1000)

    def float(self):
        if self.fdp.ConsumeBool():
            return self.pick(EDGE_FLOATS)
        return self.fdp.ConsumeFloat()

    def text(self, surrogates=True):
        kind = self.fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            return self.pick(EDGE_TEXT)
        size = self.fdp.ConsumeIntInRange(0, 24)
        if kind == 1 and surrogates:
            return self.fdp.ConsumeUnicode(size)
        return self.fdp.ConsumeUnicodeNoSurrogates(size)

    def json(self, depth=0):
        kind = self.fdp.ConsumeIntInRange(0, 9 if depth < 6 else 5)
        if kind == 0:
            return None
        if kind == 1:
            return self.fdp.ConsumeBool()
        if kind == 2:
            return self.int()
        if kind == 3:
            return self.float()
        if kind in (4, 5):
            return self.text()
        if kind in (6, 7):
            return [self.json(depth + 1) for _ in range(self.fdp.ConsumeIntInRange(0, 4))]
        if kind == 8:
            size = self.fdp.ConsumeIntInRange(0, 4)
            return {self.text(): self.json(depth + 1) for _ in range(size)}
        return self.nested()

    def nested(self):
        if not self.deep_left:
            return [[[]]]
        self.deep_left -= 1
        # Around the host's recursion limit, and far past it (a native recursion
        # without a limit would overflow the C stack there).
        key = (self.pick([10, 998, 1001, 3000, 100000]), self.fdp.ConsumeBool())
        if key not in _NESTED:
            value = []
            for _ in range(key[0]):
                value = {"k": value} if key[1] else [value]
            _NESTED[key] = value
        return _NESTED[key]

    def anything(self):
        """A JSON value, or (one time in eight) something the JSON encoder refuses."""
        if self.fdp.ConsumeIntInRange(0, 7):
            return self.json()
        return self.pick([b"bytes", {1, 2}, object(), {(1, 2): 3}, complex(1, 2), [b"x"],
                          {"k": {3}}])

    def keywords(self, names=(), json_only=False):
        """A mapping with arbitrary keys: `names`, any text, and (unless `json_only`)
        non-string keys and values JSON cannot write."""
        out = {}
        for _ in range(self.fdp.ConsumeIntInRange(0, 5)):
            kind = self.fdp.ConsumeIntInRange(0, 5 if json_only else 7)
            if kind < 3 and names:
                key = self.pick(list(names))
            elif kind < 6:
                key = self.text()
            else:
                key = self.pick([1, 2.5, None, True, math.nan, (1, 2), -0.0])
            out[key] = self.json() if json_only else self.anything()
        return out

    def description(self):
        """A call description as a dict, mostly well formed."""
        out = {}
        for member in ("clazz", "method", "args", "kwargs"):
            roll = self.fdp.ConsumeIntInRange(0, 9)
            if roll == 0:
                continue
            if roll == 1:
                out[member] = self.json()
            elif member == "clazz":
                out[member] = self.pick(harness.CLAZZ_VALUES)
            elif member == "method":
                out[member] = self.pick(harness.PATHS) if roll > 3 else self.text()
            elif member == "args":
                out[member] = [self.json() for _ in range(self.fdp.ConsumeIntInRange(0, 4))]
            else:
                out[member] = self.keywords(("value", "a", "b", "c", "x", "message", "kind",
                                             "digits", "depth", "rest", "more"), json_only=True)
        if self.fdp.ConsumeIntInRange(0, 7) == 0:
            out[self.text()] = self.json()
        return out

    def encoded(self, value):
        """`value` as JSON bytes the way some client might write them, sometimes damaged."""
        try:
            text = json.dumps(value, ensure_ascii=self.fdp.ConsumeBool())
        except (ValueError, RecursionError):  # digits over the host's limit, nesting too deep
            return self.fdp.ConsumeBytes(64)
        data = text.encode("utf-8", "surrogatepass")  # lone surrogates become invalid UTF-8
        damage = self.fdp.ConsumeIntInRange(0, 15)
        if damage == 0 and data:
            data = data[:self.fdp.ConsumeIntInRange(0, len(data) - 1)]
        elif damage == 1:
            at = self.fdp.ConsumeIntInRange(0, len(data))
            data = data[:at] + self.fdp.ConsumeBytes(2) + data[at:]
        return data
