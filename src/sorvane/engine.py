"""Which transport engine this process uses.

sorvane runs its servers and channels on one of two engines, chosen once per
process:

``native``
    gRPC's wire protocol on libnghttp2 and OpenSSL, driven from C++ threads
    (:mod:`sorvane.native`); the GIL is held only around the Python work
    of a call. Built when nghttp2 and OpenSSL 3 were found at build time
    (Debian/Ubuntu: ``libnghttp2-dev``, ``libssl-dev`` and ``pkg-config``).
``grpcio``
    grpcio's Python server and channels (the :mod:`grpc` module itself).

The environment variable ``SORVANE_ENGINE`` (``native`` or ``grpcio``)
chooses; unset, the native engine is used when it was built and grpcio
otherwise. :func:`select` changes the choice from Python (the command line's
``--engine`` does this). Both engines implement grpcio's ``grpc.Server`` and
``grpc.Channel`` interfaces and behave alike for everything sorvane does.
"""
import importlib
import os
import sys
from types import ModuleType
from typing import Optional, Tuple

ENGINES = ("native", "grpcio")

NOT_BUILT = (
    "the native engine was not built into this installation of sorvane: nghttp2 "
    "and OpenSSL 3 were not found when it was compiled. Install them (Debian/Ubuntu: "
    "apt-get install libnghttp2-dev libssl-dev pkg-config) and rebuild sorvane (pip install --force-reinstall "
    "--no-cache-dir --no-binary sorvane sorvane, or pip install . from a checkout), "
    "or choose the grpcio engine with SORVANE_ENGINE=grpcio"
)

_selected = None  # type: Optional[str]


def native_available() -> bool:
    """True when the native engine was built into this installation."""
    try:
        importlib.import_module("sorvane._native")
    except ImportError:
        return False
    return True


def available() -> Tuple[str, ...]:
    """The engines this installation can use, the preferred one first."""
    return ENGINES if native_available() else ("grpcio",)


def _check(name: str) -> str:
    if name not in ENGINES:
        raise ValueError("unknown sorvane engine %r: choose one of %s" % (name, ", ".join(ENGINES)))
    if name == "native" and not native_available():
        raise RuntimeError(NOT_BUILT)
    return name


def _from_environment() -> str:
    name = os.environ.get("SORVANE_ENGINE", "").strip().lower()
    if not name:
        return "native" if native_available() else "grpcio"
    try:
        return _check(name)
    except (ValueError, RuntimeError) as e:
        raise RuntimeError("SORVANE_ENGINE=%s: %s" % (name, e)) from None


def current() -> str:
    """The name of the engine this process uses ("native" or "grpcio")."""
    global _selected
    if _selected is None:
        _selected = _from_environment()
    return _selected


def transport(name: Optional[str] = None) -> ModuleType:
    """The module that makes servers and channels for an engine (default: the
    current one): :mod:`grpc` for grpcio, :mod:`sorvane.native` for native.
    Both offer ``server(...)``, ``insecure_channel(...)`` and
    ``secure_channel(...)`` with grpcio's signatures."""
    name = current() if name is None else _check(name)
    if name == "native":
        return importlib.import_module("sorvane.native")
    return importlib.import_module("grpc")


def select(name: str) -> ModuleType:
    """Makes `name` the engine of this process. Servers and channels made
    afterwards use it; those already made keep theirs."""
    global _selected
    module = transport(_check(name))
    _selected = name
    corvex = sys.modules.get("sorvane.corvex")
    if corvex is not None:
        corvex.transport = module
    return module
