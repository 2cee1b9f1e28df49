"""Where the suite and the source tree are, for tests that read their files.

The tests live one folder below tests/ (unit/, engine/, system/), the helpers
and the modules the test servers expose in tests/support/ (this folder), which
conftest.py puts on sys.path.
"""

import os

SUPPORT: str = os.path.dirname(os.path.abspath(__file__))
TESTS: str = os.path.dirname(SUPPORT)
REPO: str = os.path.dirname(TESTS)
