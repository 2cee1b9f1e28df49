"""Coroutine targets for the asyncio tests (imported by name by the dispatcher)."""
import asyncio
import threading

from sorvane import deadline

# What the targets saw: ("cancelled", tag) when a call's task was cancelled.
seen = []


async def add(a, b=2):
    await asyncio.sleep(0)
    return a + b


async def fail(text):
    await asyncio.sleep(0)
    raise ValueError(text)


async def nap(seconds):
    await asyncio.sleep(seconds)
    return "rested"


async def time_left():
    await asyncio.sleep(0)
    return deadline.time_left()


async def where():
    """The thread the target runs on."""
    return threading.current_thread().name


async def wait_for_cancel(tag, seconds=30):
    try:
        await asyncio.sleep(seconds)
    except asyncio.CancelledError:
        seen.append(("cancelled", tag))
        raise
    return "not cancelled"


def plain(x):
    return x * 2


def awaitable_result(x):
    """A plain function whose result is to be awaited."""
    return add(x, 10)


async def relay(name):
    """The time left a call made from this target gets (from the registry's `name`)."""
    from sorvane import aio
    return await aio.call_rpc_result(aio.connect(name), "aio_targets", "time_left")
