"""The listing of what a server's exposure guard lets calls reach:
:func:`describe`, read from the served modules without running their code,
and the handler of the listing's method."""

import importlib
import inspect
import json
import logging
import types
from typing import Any, Dict, List, Optional, Tuple

import grpc

LIST_METHOD = "/sorvane.Describe/List"

#: The details of a listing refused by a server without the exposure guard.
NO_GUARD = "sorvane: this server has no guard; nothing to list"

# The whole of the operations code logs under one name.
log = logging.getLogger("sorvane.ops")

# Building the listing runs no code of the served modules' objects: no
# __class__, __getattr__, property, __signature__, __wrapped__ lookup or
# repr() of a default. Objects are judged by their exact types and read
# through the built-in types' own descriptors (a function's code, defaults
# and dict, a method's function, a class's own dict along its MRO, a
# module's dict). Signatures come from code objects, and a default is shown
# as "..." (as stubs write it), never its value: a module constant used as a
# default would otherwise be handed to every client.

_FUNCTION = types.FunctionType
_METHOD = types.MethodType
_type_dict = type.__dict__["__dict__"].__get__  # a class's own dict, not a metaclass's __dict__
_module_dict = vars(types.ModuleType)["__dict__"].__get__
_function_code = _FUNCTION.__dict__["__code__"].__get__
_function_defaults = _FUNCTION.__dict__["__defaults__"].__get__
_function_kwdefaults = _FUNCTION.__dict__["__kwdefaults__"].__get__
_function_doc = _FUNCTION.__dict__["__doc__"].__get__
_function_dict = _FUNCTION.__dict__["__dict__"].__get__
_method_function = _METHOD.__dict__["__func__"].__get__
_static_function = staticmethod.__dict__["__func__"].__get__
_type_flags = type.__dict__["__flags__"].__get__
_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class made by a class statement
_TYPE_CALL = type.__dict__["__call__"]
_CO_VARARGS = 0x04
_CO_VARKEYWORDS = 0x08
_MAX_WRAPPED = 100  # __wrapped__ links followed, against cycles
_UNKNOWN = "(...)"  # the signature of a callable with no code object to read


def _first_line(doc: Any) -> str:
    if type(doc) is not str:
        return ""
    for line in inspect.cleandoc(doc).splitlines():
        if line.strip():
            return line.strip()
    return ""


def _is_class(value: Any) -> bool:
    return issubclass(type(value), type)


def _is_module(value: Any) -> bool:
    return issubclass(type(value), types.ModuleType)


def _mro(cls: type) -> Tuple[type, ...]:
    return type.__dict__["__mro__"].__get__(cls, type)  # not a metaclass's __mro__


def _lookup(cls: type, name: str) -> Tuple[Any, Optional[type]]:
    """`name` in the dicts of the classes along the MRO of `cls`, and the
    class holding it; (None, None) when none has it."""
    for klass in _mro(cls):
        own = _type_dict(klass)
        if name in own:
            return own[name], klass
    return None, None


def _class_names(cls: type) -> List[str]:
    """Public names in the dicts of the classes along the MRO of `cls`."""
    names = []  # type: List[str]
    for klass in _mro(cls):
        for name in _type_dict(klass):
            if type(name) is str and not name.startswith("_") and name not in names:
                names.append(name)
    return names


def _candidates(module: types.ModuleType) -> List[str]:
    """Paths into a module listed with "*" that the guard might accept: its
    public functions, and the public names of its classes and of the classes
    of its module-level objects. The guard decides which ones it does."""
    paths = []  # type: List[str]
    for name, value in list(_module_dict(module).items()):
        if type(name) is not str or name.startswith("_") or _is_module(value):
            continue
        if type(value) is _FUNCTION:
            paths.append(name)
            continue
        cls = value if _is_class(value) else type(value)
        paths.extend(name + "." + attr for attr in _class_names(cls))
    return paths


def _resolve(module: types.ModuleType, path: str) -> Any:
    """What the dispatcher calls for `path`, found as the guard finds it:
    module dicts and the dicts of the classes along an MRO. Only for paths
    the guard accepts, whose descriptors bind without running module code."""
    x = module  # type: Any
    for segment in path.split("."):
        if _is_module(x):
            x = _module_dict(x)[segment]
            continue
        is_class = _is_class(x)
        cls = x if is_class else type(x)
        value, holder = _lookup(cls, segment)
        if holder is None:
            raise LookupError(path)
        get, _ = _lookup(type(value), "__get__")
        x = value if get is None else get(value, None if is_class else x, cls)
    return x


def _unwrapped(function: types.FunctionType) -> types.FunctionType:
    """The function a decorator's wrapper stands for: its own dict's
    __wrapped__, followed while that is a Python function."""
    for _ in range(_MAX_WRAPPED):
        inner = dict.get(_function_dict(function), "__wrapped__")
        if type(inner) is not _FUNCTION or inner is function:
            break
        function = inner
    return function


def _parameters(function: types.FunctionType, bound: bool) -> str:
    """The parameter list of a Python function from its code object: names
    and kinds, and "=..." where a default exists. `bound`: the first
    positional parameter is taken by the binding (self or cls)."""
    function = _unwrapped(function)
    code = _function_code(function)
    names = code.co_varnames
    positional = code.co_argcount
    positional_only = getattr(code, "co_posonlyargcount", 0)  # 3.8+
    keyword_only = code.co_kwonlyargcount
    defaults = _function_defaults(function)
    first_default = positional - (0 if defaults is None else tuple.__len__(defaults))
    kwdefaults = _function_kwdefaults(function)
    parts = []  # type: List[str]
    for i in range(1 if bound and positional else 0, positional):
        parts.append(names[i] + ("=..." if i >= first_default else ""))
        if i == positional_only - 1:
            parts.append("/")
    rest = positional + keyword_only
    if code.co_flags & _CO_VARARGS:
        parts.append("*" + names[rest])
        rest += 1
    elif keyword_only:
        parts.append("*")
    for name in names[positional:positional + keyword_only]:
        has_default = kwdefaults is not None and dict.__contains__(kwdefaults, name)
        parts.append(name + ("=..." if has_default else ""))
    if code.co_flags & _CO_VARKEYWORDS:
        parts.append("**" + names[rest])
    return "(" + ", ".join(parts) + ")"


def _construction(cls: type) -> str:
    """What calling the class `cls` takes: the parameters of the first
    __init__ or __new__ along its MRO."""
    if _lookup(type(cls), "__call__")[0] is not _TYPE_CALL:
        return _UNKNOWN  # a metaclass's __call__ decides
    for klass in _mro(cls):
        if klass is object:
            return "()"
        own = _type_dict(klass)
        if "__init__" in own:
            init = own["__init__"]
            return _parameters(init, True) if type(init) is _FUNCTION else _UNKNOWN
        if "__new__" in own:
            new = own["__new__"]
            if type(new) is staticmethod:
                new = _static_function(new)
            return _parameters(new, True) if type(new) is _FUNCTION else _UNKNOWN
    return _UNKNOWN


def _signature(target: Any) -> str:
    """The parameter list a call of `target` takes, "(...)" where there is no
    Python code to read it from (builtins, native functions)."""
    kind = type(target)
    if kind is _FUNCTION:
        return _parameters(target, False)
    if kind is _METHOD:
        function = _method_function(target)
        return _parameters(function, True) if type(function) is _FUNCTION else _UNKNOWN
    if _is_class(target):
        return _construction(target)
    call, _ = _lookup(kind, "__call__")  # an instance of a class with __call__
    return _parameters(call, True) if type(call) is _FUNCTION else _UNKNOWN


def _doc(target: Any) -> str:
    """The first line of `target`'s docstring, read as its signature is."""
    kind = type(target)
    if kind is _METHOD:
        target = _method_function(target)
        kind = type(target)
    if kind is _FUNCTION:
        return _first_line(_function_doc(target))
    if _is_class(target):
        return _first_line(_type_dict(target).get("__doc__"))
    if not _type_flags(kind) & _HEAP_TYPE:
        # A built-in callable: its __doc__ is the type's C getter.
        return _first_line(getattr(target, "__doc__", None))
    return _first_line(_lookup(kind, "__doc__")[0])


def describe(exposure: Dict[str, Any]) -> List[Dict[str, str]]:
    """What a guard with the listing `exposure` ({module: None or paths}, the
    guard's ``_exposure``) lets calls reach, sorted by name: [{"name":
    "module:path", "signature": "(a, b=..., *, c)", "doc": first docstring
    line}]. The signature names the parameters and their kinds and marks a
    default without its value; building the listing runs no code of the
    module's objects.

    Only the listed modules are imported, and only what the guard's own check
    accepts is described, so nothing appears that a call could not reach.
    """
    from sorvane.corvex import _exposure_check  # type: ignore[attr-defined]

    entries = []  # type: List[Dict[str, str]]
    for name in sorted(exposure):
        try:
            module = importlib.import_module(name)
        except Exception as e:  # a call to it fails the same way
            log.warning("listing: cannot import %s: %s: %s", name, type(e).__name__, e)
            continue
        listed = exposure[name]
        paths = sorted(set(_candidates(module) if listed is None else listed))
        for path in paths:
            if _exposure_check(exposure, name, path) is not None:
                continue
            try:
                target = _resolve(module, path)
            except Exception:  # accepted, yet not found statically: leave it out
                continue
            entries.append({"name": name + ":" + path, "signature": _signature(target),
                            "doc": _doc(target)})
    entries.sort(key=lambda entry: entry["name"])
    return entries


def _list_handler(service: Any) -> Any:
    def list_exposed(request: bytes, context: Any) -> bytes:
        if request:
            context.abort(grpc.StatusCode.INVALID_ARGUMENT,
                          "sorvane: the listing takes an empty request")
        exposure = getattr(service, "__dict__", {}).get("_exposure")
        if not isinstance(exposure, dict):
            context.abort(grpc.StatusCode.PERMISSION_DENIED, NO_GUARD)
        try:
            entries = describe(exposure)  # type: ignore[arg-type]
        except Exception:
            log.exception("listing failed")
            context.abort(grpc.StatusCode.INTERNAL, "sorvane: the listing failed")
        return json.dumps(entries, ensure_ascii=False).encode("utf-8")

    return list_exposed
