"""Targets for the codec tests (imported by name by the dispatcher)."""
import asyncio


# What `held` answers: the same large bytes object every time.
HELD = bytes(range(256)) * (6 << 10)  # 1.5 MiB


def echo(value):
    return value


def held(*values):
    """HELD, beside a large bytes value in a nested position; `values` are dropped."""
    return [HELD, {"again": (HELD,)}, len(values)]


async def echo_later(value):
    await asyncio.sleep(0)
    return value


def chunks(value, n):
    for i in range(n):
        yield (i, value)


def unencodable():
    return object()


def arange(n):
    import numpy
    return numpy.arange(n, dtype="<f8")
