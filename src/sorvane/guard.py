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
* for a module listed with paths, the method is one of those paths exactly;
* for a module listed with "*", every object along the path and the callable it
  ends on were defined in that module (their ``__module__`` is the module's
  name): modules the exposed module imported, objects of other modules and
  builtins are refused, as are names that do not exist and attributes that
  cannot be called.

A refused call ends the RPC with status PERMISSION_DENIED and a message saying
what was refused; the module it named is never imported. A call description
that is not UTF-8, not JSON or not a JSON object fails exactly as it fails
without the guard (the RPC ends with UNKNOWN), and everything about an accepted
call (its arguments, its result, the target's own exceptions) is the
dispatcher's.

The guard is a subclass of the dispatcher ``CommonService`` with the same
``handle(request, context)``: it reads and checks the call description, then
hands the dispatcher that same description, re-encoded canonically, so that
what runs is what was checked. The server's clazz handler
(``set_clazz_handler``, before or after ``guard``) keeps working; it is called
twice per call, and what it returns the second time, when the dispatcher asks,
is checked again, so even a handler that answers differently cannot make the
dispatcher import an unlisted module.
"""
import importlib
import json
import logging
import types
from typing import Any, Callable, Dict, FrozenSet, Iterable, Mapping, Optional, Union

import grpc
import marvetta

from sorvane.corvex import CommonService, GrpcServer

__all__ = ["GuardedService", "CallRefused", "guard", "EVERYTHING_PUBLIC"]

#: Listing value for a module whose every public callable defined in it is exposed.
EVERYTHING_PUBLIC = "*"

#: What a server application lists: {module name: "*", None or paths}, or module names.
Listing = Union[Mapping[str, Union[str, None, Iterable[str]]], Iterable[str]]
Exposed = Dict[str, Optional[FrozenSet[str]]]

logger = logging.getLogger("sorvane.guard")

_default_clazz_handler = CommonService.clazz_handler  # returns its argument unchanged
_NEVER_EXPOSED = frozenset(["builtins", "__builtin__"])
_MAX_SHOWN = 120  # characters of a client-supplied value quoted in a message


class CallRefused(PermissionError):
    """Raised by the guard for a refused call when the RPC context cannot abort."""


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
        self._exposed = _normalise(modules)
        self._mapper = _default_clazz_handler  # type: Callable[[Any], Any]

    # The dispatcher reads `clazz_handler` from the instance at every call, and
    # `set_clazz_handler` stores it there. A data descriptor sees both: the
    # application's handler is kept aside, and the dispatcher gets it wrapped in
    # a check of the module name it returns.
    @property  # type: ignore[override]
    def clazz_handler(self) -> Callable[[Any], str]:
        mapper = self._mapper

        def checked_clazz_handler(clazz: Any) -> str:
            name = mapper(clazz)
            if not isinstance(name, str) or name not in self._exposed:
                raise CallRefused("sorvane.guard: the module %s is not exposed" % _shown(name))
            return name

        return checked_clazz_handler

    @clazz_handler.setter
    def clazz_handler(self, func: Callable[[Any], Any]) -> None:
        self._mapper = func

    @clazz_handler.deleter
    def clazz_handler(self) -> None:
        self._mapper = _default_clazz_handler

    @property
    def exposed(self) -> Exposed:
        """The listing in force: {module name: frozenset of paths, or None}."""
        return dict(self._exposed)

    def refusal(self, description: Mapping[str, Any]) -> Optional[str]:
        """Why the guard refuses a parsed call description, or None when it accepts it.

        Calls the clazz handler once. Imports only a module listed with "*" (to
        see where the objects on the path were defined), and only after its name
        has been accepted.
        """
        name = self._mapper(description.get("clazz"))
        if not isinstance(name, str) or name not in self._exposed:
            return "the module %s is not exposed" % _shown(name)
        method = description.get("method")
        if not isinstance(method, str):
            return "the method is not a string"
        reason = _check_path_syntax(method)
        if reason:
            return reason
        listed = self._exposed[name]
        if listed is not None:
            if method in listed:
                return None
            return "%s of the module %s is not exposed" % (_shown(method), _shown(name))
        obj = importlib.import_module(name)  # type: Any
        for segment in method.split("."):
            try:
                obj = getattr(obj, segment)
            except AttributeError:
                return "the module %s has no public %s" % (_shown(name), _shown(method))
            if isinstance(obj, types.ModuleType):
                return "%s of the module %s is another module" % (_shown(method), _shown(name))
            if getattr(obj, "__module__", None) != name:
                return "%s is not defined in the module %s" % (_shown(method), _shown(name))
        if not callable(obj):
            return "%s of the module %s cannot be called" % (_shown(method), _shown(name))
        return None

    def handle(self, request: marvetta.CommonRequest, context: Any) -> marvetta.CommonResponse:
        # Read as the dispatcher reads it: bytes that are not UTF-8 or text that
        # is not JSON fail here with the exception the dispatcher would raise.
        description = json.loads(request.request.decode("utf-8"))
        if isinstance(description, dict):
            reason = self.refusal(description)
            if reason is not None:
                message = "sorvane.guard: call refused: " + reason
                logger.warning("%s (request %s)", message, _shown(request.request_id))
                abort = getattr(context, "abort", None)
                if abort is not None:
                    abort(grpc.StatusCode.PERMISSION_DENIED, message)
                raise CallRefused(message)
        # The dispatcher gets the very description that was checked, written
        # canonically (one member per name, ASCII escapes), so that no difference
        # between two JSON readers can make it see another one.
        checked = marvetta.CommonRequest(request=json.dumps(description).encode("ascii"),
                                         serialize=request.serialize, request_id=request.request_id)
        return CommonService.handle(self, checked, context)


def guard(server: GrpcServer, modules: Listing) -> GuardedService:
    """Install a GuardedService exposing `modules` as the dispatcher of `server`.

    Call it before ``server.run_background()`` (or ``run``/``run_blocking``): a
    server already started keeps serving through the dispatcher it registered.
    A clazz handler set on the server before is carried over. Returns the
    installed service.
    """
    service = GuardedService(modules)
    previous = getattr(server, "service", None)
    if isinstance(previous, GuardedService):
        service.clazz_handler = previous._mapper
    elif previous is not None and "clazz_handler" in vars(previous):
        service.clazz_handler = vars(previous)["clazz_handler"]
    server.service = service
    return service
