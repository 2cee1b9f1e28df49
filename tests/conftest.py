import ast
import importlib
import os
import pkgutil
import socket
import sys

import pytest

# The tests are grouped by part: unit/ (in process, no transport engine),
# engine/ (the transport engines, the server and the client channels) and
# system/ (the whole system: command line, operations, end to end, long runs).
# What they share lives in support/: helpers, and the modules their servers
# expose, which the dispatcher imports by name (so support/ must be on sys.path
# in this process; child processes get their own folders on PYTHONPATH).
SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support")
if SUPPORT not in sys.path:
    sys.path.insert(0, SUPPORT)


def pytest_collection_modifyitems(config, items):
    # ./run-tests sets this for every engine after the first: tests that
    # involve no engine prove nothing more the second time.
    if os.environ.get("SORVANE_TESTS_ENGINE_FREE_DONE"):
        kept = [item for item in items if item.get_closest_marker("engine_free") is None]
        config.hook.pytest_deselected(items=[item for item in items if item not in kept])
        items[:] = kept


def package_definitions(package):
    """(module, name) of each public name that a module of `package` defines
    at its top (functions, classes, assignments), read from the sources."""
    found = []
    for info in pkgutil.iter_modules(package.__path__):
        module = importlib.import_module(package.__name__ + "." + info.name)
        with open(module.__file__, encoding="utf-8") as f:
            tree = ast.parse(f.read())
        for node in tree.body:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                names = [node.name]
            elif isinstance(node, ast.Assign):
                names = [t.id for t in node.targets if isinstance(t, ast.Name)]
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                names = [node.target.id]
            else:
                continue
            found.extend((module, name) for name in names if not name.startswith("_"))
    return found


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def port():
    return free_port()


@pytest.fixture
def module_dir(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    return tmp_path
