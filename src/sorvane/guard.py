"""Opt-in exposure guard for a sorvane server.

By default a server imports whatever module a call names and calls whatever
attribute path it gives. A server application that wants to limit this lists
what it exposes, and installs the guard on its ``GrpcServer`` before starting
it::

    from sorvane.corvex import GrpcServer
    from sorvane.guard import guard

    server = GrpcServer("0.0.0.0", 6565)
    guard(server, {
        "app.calc": "*",                        # every public callable defined in app.calc
        "app.admin": ["reset", "Stats.read"],   # only these two paths of app.admin
    })
    server.run()

A call is accepted only when

* the module name (the call's "clazz" after the server's clazz handler) is a
  string equal to one of the listed names: no parents, no submodules;
* its "method" is a string of non-empty, dot-separated names, none of which
  begins with an underscore (so ``__class__``, ``__globals__``, ``__init__``,
  ``__subclasses__`` and private helpers are out of reach);
* for a module listed with paths, the method is one of those paths exactly
  (a listed path may name a class: calling it makes an instance);
* for a module listed with "*", the method reaches a function defined in the
  module, or, through a class defined in the module or a module-level
  instance of one, a function, static method or class method defined in the
  module and found in the dict of a class of the module's own along the MRO.
  Calling a class (making an instance) needs its path listed explicitly.
  Modules the exposed module imported, objects of other modules, methods a
  class inherits from a class of another module, builtins, names that do not
  exist and attributes that cannot be called are refused.

The check is part of the dispatcher's own resolution of the call: the
description is parsed once, the clazz handler called once, and the path walked
once, each object checked as it is reached. The walk reads module dicts and
the dicts of the classes along an MRO only: no property, ``__getattr__`` or
module-level ``__getattr__`` runs for a call, accepted or refused, so nothing
can hand the dispatcher another object than the one checked.

A refused call ends the RPC with status PERMISSION_DENIED; a module that is
not listed is never imported. The client is told as little as will do, in
words made only of what it sent: "the module M is not exposed" for a module
not listed, and "the module M has no public P" for every refused path of a
listed one, whether P is missing, private, imported from elsewhere, a
constant or a class. Why the call was refused goes to the server's log (one
WARNING on the logger "sorvane.guard"), never to the client: telling the
reasons apart would let a client learn by probing which modules and constants
an exposed module holds. A call description that is not UTF-8, not JSON
or not a JSON object fails exactly as it fails without the guard (the RPC ends
with UNKNOWN), and everything about an accepted call (its arguments, its
result, the target's own exceptions) is the dispatcher's.

The guard is a subclass of the dispatcher ``CommonService`` that carries the
listing; the dispatcher's ``handle`` does the checking. The server's clazz
handler (``set_clazz_handler``, before or after ``guard``) keeps working, and
what it returns is what is checked.
"""
import logging
from typing import Any, Dict, FrozenSet, Iterable, Mapping, Optional, Union

import grpc

from sorvane.corvex import CommonService, GrpcServer, _exposure_check  # type: ignore[attr-defined]

__all__ = ["GuardedService", "CallRefused", "guard", "EVERYTHING_PUBLIC"]

#: Listing value for a module whose every public callable defined in it is exposed.
EVERYTHING_PUBLIC = "*"

#: What a server application lists: {module name: "*", None or paths}, or module names.
Listing = Union[Mapping[str, Union[str, None, Iterable[str]]], Iterable[str]]
Exposed = Dict[str, Optional[FrozenSet[str]]]

logger = logging.getLogger("sorvane.guard")

_NEVER_EXPOSED = frozenset(["builtins", "__builtin__"])
_MAX_SHOWN = 120  # characters of a client-supplied value quoted in a message
_PREFIX = "sorvane.guard: call refused: "


class CallRefused(PermissionError):
    """Raised by the guard for a refused call when the RPC context cannot abort.

    Its message is what a client would be told; ``reason`` is why the call
    was refused, as logged.
    """

    def __init__(self, message: str, reason: str = "") -> None:
        super().__init__(message)
        self.reason = reason


def _shown(value: object) -> str:
    """An ASCII rendering of a client-supplied value, cut to a readable length."""
    text = ascii(value)
    return text if len(text) <= _MAX_SHOWN else text[:_MAX_SHOWN] + "..."


def _check_path_syntax(path: str) -> Optional[str]:
    """The reason `path` is not a usable public attribute path, or None."""
    for segment in path.split("."):
        if not segment:
            return "the method has an empty name"
        if segment.startswith("_"):
            return "the method goes through the private name %s" % _shown(segment)
    return None


def _normalise(modules: Listing) -> Exposed:
    """The listing as {module name: frozenset of paths, or None for every public callable}."""
    if isinstance(modules, str):
        raise TypeError("modules must be a mapping or an iterable of module names, not a string")
    if isinstance(modules, Mapping):
        items = modules.items()  # type: Iterable[Any]
    else:
        items = ((name, EVERYTHING_PUBLIC) for name in modules)
    table = {}  # type: Exposed
    for name, paths in items:
        if not isinstance(name, str) or not name or any(not part for part in name.split(".")):
            raise ValueError("not a module name: %r" % (name,))
        if name in _NEVER_EXPOSED:
            raise ValueError("the module %r cannot be exposed" % name)
        if paths is None or paths == EVERYTHING_PUBLIC:
            table[name] = None
            continue
        if isinstance(paths, str):
            raise TypeError("the paths of %r must be %r or a list of paths, not a string"
                            % (name, EVERYTHING_PUBLIC))
        listed = frozenset(paths)
        for path in listed:
            reason = _check_path_syntax(path) if isinstance(path, str) else "not a string"
            if reason:
                raise ValueError("cannot expose %r of %r: %s" % (path, name, reason))
        table[name] = listed
    return table


class GuardedService(CommonService):
    """The dispatcher, accepting only calls to what the server application listed.

    ``modules`` maps each exposed module name to ``"*"`` (or None: every public
    callable defined in that module) or to a list of dotted paths within it; a
    plain list of module names exposes each of them with ``"*"``.
    """

    def __init__(self, modules: Listing) -> None:
        super().__init__()
        # Read by the dispatcher at every call: {module name: None or paths}.
        self._exposure = _normalise(modules)

    @property
    def exposed(self) -> Exposed:
        """The listing in force: {module name: frozenset of paths, or None}."""
        return dict(self._exposure)

    def refusal(self, description: Mapping[str, Any]) -> Optional[str]:
        """Why the guard refuses a parsed call description, or None when it accepts it.

        Asks what the dispatcher asks, with the same code: calls the clazz
        handler once, and imports a module only once its name is accepted.
        The reason is the one the server logs, not what a client is told.
        """
        name = self.clazz_handler(description.get("clazz"))
        return _exposure_check(self._exposure, name, description.get("method"))

    def _refused(self, context: Any, request: Any, reason: str, told: str) -> None:
        """Called by the dispatcher for a refused call: logs `reason` and ends
        the RPC with PERMISSION_DENIED and `told`, the text a client may see
        (raises CallRefused without an RPC context)."""
        logger.warning("%s%s (request %s)", _PREFIX, reason,
                       _shown(getattr(request, "request_id", None)))
        message = _PREFIX + told
        abort = getattr(context, "abort", None)
        if abort is not None:
            abort(grpc.StatusCode.PERMISSION_DENIED, message)
        raise CallRefused(message, reason)


def guard(server: GrpcServer, modules: Listing) -> GuardedService:
    """Install a GuardedService exposing `modules` as the dispatcher of `server`.

    Call it before ``server.run_background()`` (or ``run``/``run_blocking``): a
    server already started keeps serving through the dispatcher it registered.
    A clazz handler set on the server before is carried over. Returns the
    installed service.
    """
    service = GuardedService(modules)
    previous = getattr(server, "service", None)
    if previous is not None and "clazz_handler" in vars(previous):
        service.clazz_handler = vars(previous)["clazz_handler"]
    server.service = service
    return service
