import os
import socket

import pytest


def pytest_collection_modifyitems(config, items):
    # ./run-tests sets this for every engine after the first: tests that
    # involve no engine prove nothing more the second time.
    if os.environ.get("SORVANE_TESTS_ENGINE_FREE_DONE"):
        kept = [item for item in items if item.get_closest_marker("engine_free") is None]
        config.hook.pytest_deselected(items=[item for item in items if item not in kept])
        items[:] = kept


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def port():
    return free_port()
