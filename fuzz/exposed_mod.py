"""A module the fuzzed exposure guard exposes with "*".

It holds what a real module holds: its own public functions, classes and
instances, private helpers, a module it imported and objects of other modules.
All of it is harmless to call.
"""
import string
from string import capwords

from remote_targets import echo as foreign_echo


def public(x=None):
    return ["public", x]


def _private(x=None):
    return ["private", x]


class Box:
    size = 3

    def open(self, x=None):
        return ["open", x]

    @staticmethod
    def make(x=None):
        return ["make", x]

    @classmethod
    def build(cls, x=None):
        return ["build", x]


box = Box()
VALUE = "not callable"
ALIASES = {"public": public}

__all__ = ["string", "capwords", "foreign_echo", "public", "Box", "box", "VALUE", "ALIASES"]
