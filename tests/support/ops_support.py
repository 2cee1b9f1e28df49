"""What the tests of sorvane.ops (health, listing, metrics) share: a module
to list, a guarded server to call, and the token and environment of the
command line."""
import contextlib
import uuid

import grpc

from conftest import free_port
from sorvane.corvex import GrpcServer
from sorvane.guard import guard

TOKEN = "ops-Token_7"
WAIT = 10

# A module to list: what the guard accepts beside what it must not show.
LISTED = '''\
"""A module whose listing is checked."""
import json
import logging
from os.path import join


def add(a, b=2):
    """Adds two numbers.

    The second defaults to two.
    """
    return a + b


def div(a, b):
    return a / b


async def fetch(key, delay=0.1):
    """Fetches later."""
    return key


def _helper():
    """Private: never listed."""


_SECRET = "not callable, not public"


class Log(logging.FileHandler):
    """Inherits everything from a foreign class; only its own method is reachable."""

    def rotate_now(self, when):
        """Rotates."""
        return when


class Greeter:
    """Says hello."""

    def __init__(self, name="x"):
        self.name = name

    @staticmethod
    def hello(name, punctuation="!"):
        """Greets someone."""
        return "hello, " + name + punctuation

    @classmethod
    def make(cls):
        return cls()

    def _whisper(self):
        return "psst"

    def __secret(self):
        return "never"


class Polite(Greeter):
    @staticmethod
    def bow():
        """Bows."""
        return "bows"


greeter = Greeter()
'''


def write_module(folder, text, prefix):
    """A module of a name never used before in this process."""
    name = "%s_%s" % (prefix, uuid.uuid4().hex[:10])
    (folder / (name + ".py")).write_text(text)
    return name


@contextlib.contextmanager
def running(modules=None, listing=None, **settings):
    """A started GrpcServer on 127.0.0.1 (guarded when modules or listing is
    given), a grpcio channel to it; stopped on exit."""
    port = free_port()
    server = GrpcServer("127.0.0.1", port, **settings)
    if listing is not None:
        guard(server, listing)
    elif modules is not None:
        guard(server, modules)
    server.run_background()
    channel = grpc.insecure_channel("127.0.0.1:%d" % port)
    try:
        yield server, channel, port
    finally:
        channel.close()
        server.rpc_server.stop(0).wait()


def cli_env(monkeypatch, token=None):
    if token is None:
        monkeypatch.delenv("SORVANE_TOKEN", raising=False)
    else:
        monkeypatch.setenv("SORVANE_TOKEN", token)
