"""Targets that the dispatcher tests call by module name ("targets_server")."""
import threading
import time

calls = {"count": 0}
_lock = threading.Lock()
raised = {}

NOT_CALLABLE = 5
greeting = "hello"


def add(a, b):
    return a + b


def nothing():
    return None


def echo(*args, **kwargs):
    """Returns its arguments: positional ones as a list, keywords as a mapping."""
    return {"args": list(args), "kwargs": kwargs}


def as_tuple():
    return (1, "two", [3])


def non_ascii():
    return "h\u00e9llo \u4e16\u754c \U0001f600"


def lone_surrogate():
    return "bad \ud800 text"


def blob(size):
    """A result whose envelope is exactly `size` bytes long."""
    overhead = len('{"status": 0, "message": "", "excType": "", "result": ""}')
    return "x" * (size - overhead)


def fail(message="boom"):
    raise ValueError(message)


def fail_empty():
    raise KeyError


def fail_surrogate():
    raise ValueError("bad \udc80")


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text for you")


def fail_unprintable():
    raise BadStr()


def unencodable(kind):
    if kind == "object":
        return object()
    if kind == "bytes":
        return b"raw"
    if kind == "set":
        return {1, 2}
    if kind == "key":
        return {(1, 2): "tuple key"}
    loop = []
    loop.append(loop)
    return loop


class Custom(BaseException):
    pass


def escape(kind):
    """Raises an exception outside the Exception category and remembers it."""
    error = {
        "exit": SystemExit(3),
        "interrupt": KeyboardInterrupt(),
        "generator": GeneratorExit("closing"),
        "custom": Custom("custom base"),
        "exit_text": SystemExit("bye \udc80"),
    }[kind]
    raised[kind] = error
    raise error


def count():
    with _lock:
        calls["count"] += 1
        return calls["count"]


def slow_add(a, b, delay=0.05):
    time.sleep(delay)
    return a + b


class Shapes:
    label = "shapes"

    @classmethod
    def make(cls, n):
        return [cls.label] * n

    @staticmethod
    def twice(x):
        return 2 * x

    def plain(self, x):
        return ("plain", x)

    class Inner:
        @staticmethod
        def deep():
            return "deep"


shapes = Shapes()
