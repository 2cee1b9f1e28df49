"""Targets for the codec tests (imported by name by the dispatcher)."""
import asyncio


def echo(value):
    return value


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
