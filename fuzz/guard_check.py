"""The exposure guard under fuzzing.

Whether a call must be refused is decided here independently of sorvane.guard,
from the rules the guard documents. A call that must be refused has to be
refused by the guard's check before anything runs, and then end with
PERMISSION_DENIED; any other call must have exactly the dispatcher's outcome
(harness.check_dispatch). The module guard_bait is never exposed: finding it
imported is a failure.
"""
import json
import sys
import types

import grpc

import harness
import marvetta
from sorvane.guard import GuardedService

EXPOSED = {"exposed_mod": "*", "remote_targets": ["echo", "Klass.static", "raises"]}
KNOWN_MODULES = ("exposed_mod", "remote_targets", "guard_bait")
CLAZZ_VALUES = list(KNOWN_MODULES) + [
    "exposed_mod.string", "string", "exposed_mod.", ".exposed_mod", "", None, 1, 1.5, True,
    ["exposed_mod"], {"exposed_mod": "*"}]
PATHS = [
    "public", "_private", "Box", "Box.open", "Box.make", "Box.build", "Box.size", "box.open",
    "box.make", "VALUE", "ALIASES", "ALIASES.get", "string", "string.capwords", "capwords",
    "foreign_echo", "__class__", "public.__globals__", "public.__globals__.get", "Box.__init__",
    "Box.__subclasses__", "box.__class__", "Box.__class__.__subclasses__", "Box.mro", "", ".",
    "public.", ".public", "Box..open", "missing", "echo", "Klass.static", "raises", "identity",
    "Klass", "call_me", "__builtins__.clear", "__loader__.get_data", "__spec__.name", "__all__"]

def guard_clazz_handler(clazz):
    """Keeps fuzzed names among the modules above (and one that does not exist)."""
    if isinstance(clazz, str) and clazz not in KNOWN_MODULES:
        return harness.ABSENT_MODULE
    return clazz


_MISSING = object()


def must_refuse(description):
    """The guard's documented rules, written out plainly: static look-ups in
    module and class dicts only."""
    name = guard_clazz_handler(description.get("clazz"))
    if not isinstance(name, str) or name not in EXPOSED:
        return True
    method = description.get("method")
    if not isinstance(method, str):
        return True
    segments = method.split(".")
    if any(not s or s.startswith("_") for s in segments):
        return True
    if EXPOSED[name] != "*":
        return method not in EXPOSED[name]
    if len(segments) > 2:
        return True
    module = sys.modules[name] if name in sys.modules else __import__(name)
    first = vars(module).get(segments[0], _MISSING)
    if first is _MISSING or isinstance(first, types.ModuleType):
        return True
    if isinstance(first, types.FunctionType):
        return first.__module__ != name or len(segments) > 1
    cls = first if isinstance(first, type) else type(first)
    if vars(cls).get("__module__") != name or len(segments) == 1:
        return True  # a foreign object, or a class or instance called itself
    for holder in cls.__mro__:
        if segments[1] in vars(holder):
            value = vars(holder)[segments[1]]
            break
    else:
        return True
    if vars(holder).get("__module__") != name:
        return True
    function = value.__func__ if isinstance(value, (staticmethod, classmethod)) else value
    return not (isinstance(function, types.FunctionType) and function.__module__ == name)


class Aborted(Exception):
    pass


class Context:
    """The part of a gRPC servicer context the guard uses."""

    def __init__(self):
        self.code = self.details = None

    def abort(self, code, details):
        self.code, self.details = code, details
        raise Aborted(details)


def new_service():
    service = GuardedService(EXPOSED)
    service.clazz_handler = guard_clazz_handler
    return service


SERVICE = new_service()


def check_guarded(payload, service=SERVICE):
    try:
        description = json.loads(payload.decode("utf-8"))
    except Exception:
        description = None
    if isinstance(description, dict) and must_refuse(description):
        reason = service.refusal(description)
        assert reason is not None, "the guard accepts %s" % harness.shown(description)
        context = Context()
        request = marvetta.CommonRequest(request=payload, request_id="fuzz")
        try:
            service.handle(request, context)
        except Aborted:
            pass
        else:
            raise AssertionError("the guard did not abort %s" % harness.shown(description))
        assert context.code == grpc.StatusCode.PERMISSION_DENIED, context.code
        assert context.details.startswith("sorvane.guard: call refused: "), context.details
    else:
        harness.check_dispatch(payload, service, clazz_handler=guard_clazz_handler)
    assert "guard_bait" not in sys.modules, (
        "the guard let %s import guard_bait" % harness.shown(payload))
