"""The demo of examples/ runs to its end against its own server on 127.0.0.1."""
import os
import subprocess
import sys

import pytest

from locations import REPO

# A long run of the whole system: CI runs it once, on the default python3.
pytestmark = pytest.mark.system

DEMO = os.path.join(REPO, "examples", "demo.py")


def test_demo_runs():
    done = subprocess.run([sys.executable, DEMO], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, encoding="utf-8", timeout=120)
    out = done.stdout
    assert done.returncode == 0, out
    assert "grpc server running, listen on 127.0.0.1:" in out
    assert "'name': 'Kaffeemühle', 'quantity': 3, 'total': 118.5}" in out
    assert "(class method)  -> 5" in out
    assert "-> ['C-300']" in out
    assert "GrpcException: exc_type='ValueError', message='unknown article Z-999'" in out
    assert "ValueError: unknown article Z-999" in out  # the server's traceback, relayed
    assert "server stopped (exit code 0)" in out
    from sorvane import engine
    expected = engine.current()
    assert ("these calls were served by the %s engine and made through the %s engine"
            % (expected, expected)) in out
