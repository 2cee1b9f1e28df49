"""Targets for the streaming tests (imported by name by the dispatcher)."""
import asyncio
import threading

from sorvane import deadline

# Tags of the generators whose finally ran, and a wake-up for each.
closed = []
closed_event = threading.Event()
produced = []  # items the "big" generator made


def count(n, start=0):
    for i in range(start, start + n):
        yield i


def fail_after(k):
    for i in range(k):
        yield {"i": i}
    raise ValueError("failed after %d" % k)


def empty():
    return iter(())


def not_an_iterator():
    return [1, 2, 3]


def raises_at_once():
    raise KeyError("nothing to stream")


def endless(tag, pause=0.01):
    """Yields the time left and sleeps, until closed."""
    try:
        while True:
            yield deadline.time_left()
            threading.Event().wait(pause)
    finally:
        closed.append(tag)
        closed_event.set()


def big(tag, count, size):
    """`count` items of `size` characters; notes each one made."""
    try:
        for i in range(count):
            produced.append((tag, i))
            yield "x" * size
    finally:
        closed.append(tag)
        closed_event.set()


async def agen(n):
    for i in range(n):
        await asyncio.sleep(0)
        yield i * 10


def hidden(n):
    return count(n)


def echo(value):
    return value
