"""Targets that fuzzed call descriptions name: one of each shape the dispatcher meets.

Every function is harmless whatever it is given: it echoes, raises, or returns
something JSON cannot write. Nothing here touches files, the network or the
process.
"""


class Escape(BaseException):
    """Outside the ordinary error category: the dispatcher must let it through."""


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text for this exception")


def echo(*args, **kwargs):
    return [list(args), kwargs]


def identity(value):
    return value


def fixed(a, b=2, *rest, c=3, **more):
    return {"a": a, "b": b, "rest": rest, "c": c, "more": more}


def nothing():
    return None


def pair():
    return (1, "two")


def raises(message="boom"):
    raise ValueError(message)


def raises_bare():
    raise KeyError


def raises_unprintable():
    raise Unprintable()


def escapes():
    raise Escape("leaves the dispatcher")


def unencodable(kind=0):
    values = [object(), b"bytes", {1, 2}, {(1, 2): "tuple key"}]
    return values[int(kind) % len(values)]


def circular():
    loop = []
    loop.append(loop)
    return loop


def lone_surrogate():
    return "\ud800"


def huge_int(digits=5000):
    return 10 ** min(int(digits), 20000)


def special_floats():
    return [float("nan"), float("inf"), -float("inf"), -0.0, 1e308, 5e-324]


def deep(depth=100):
    value = []
    for _ in range(min(int(depth), 100000)):
        value = [value]
    return value


class Klass:
    constant = 5

    def method(self, x=None):
        return ["method", x]

    @classmethod
    def klassmethod(cls, x=None):
        return ["classmethod", cls.__name__, x]

    @staticmethod
    def static(x=None):
        return ["static", x]


instance = Klass()
NOT_CALLABLE = "a string"

