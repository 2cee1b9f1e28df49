"""Hostile input never gets past what the framework allows.

Property tests (hypothesis) over the same differential checks the atheris
targets run (fuzz/harness.py): every input goes through the native code and
through a plain-Python twin of the documented behaviour (fuzz/twin.py), and the
outcomes must agree: the same envelope bytes, the same result, or an exception
of the same type; never SystemError, a crash or a hang.

SORVANE_FUZZ_EXAMPLES sets the examples per property (default 150); a long
run is, for instance, SORVANE_FUZZ_EXAMPLES=20000 pytest tests/unit/test_fuzz_properties.py.
"""
import faulthandler
import json
import math
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from locations import REPO

sys.path.insert(0, os.path.join(REPO, "fuzz"))  # the checks shared with the atheris targets

import guard_check  # noqa: E402
import harness  # noqa: E402
import twin  # noqa: E402
from values import EDGE_FLOATS, EDGE_INTS, EDGE_STATUS, EDGE_TEXT  # noqa: E402

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free

EXAMPLES = int(os.environ.get("SORVANE_FUZZ_EXAMPLES", "150"))
HANG_SECONDS = 120 + EXAMPLES // 10

fuzz_settings = settings(max_examples=EXAMPLES, deadline=None, print_blob=True,
                         suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                                HealthCheck.filter_too_much])


@pytest.fixture(autouse=True)
def hang_watchdog():
    """A property that stops making progress ends the run with every thread's stack."""
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# -- strategies ---------------------------------------------------------------------------

lone_surrogates = st.integers(0xD800, 0xDFFF).map(chr)
texts = st.text(max_size=12) | st.sampled_from(EDGE_TEXT) | st.lists(
    lone_surrogates | st.characters(), min_size=1, max_size=3).map("".join)
# Integers past the host's limit for their text form (4300 digits on 3.11) come
# from a mapped strategy: hypothesis cannot show them in a strategy's repr.
long_ints = st.tuples(st.sampled_from([4299, 4300, 5000]), st.sampled_from([1, -1])).map(
    lambda pair: pair[1] * 10 ** pair[0])
numbers = (st.integers() | st.sampled_from([i for i in EDGE_INTS if abs(i) < 10 ** 100]) | long_ints
           | st.floats()
           | st.sampled_from(EDGE_FLOATS) | st.booleans())
json_values = st.recursive(
    st.none() | numbers | texts,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(texts, inner, max_size=4),
    max_leaves=12)
unencodable = st.sampled_from([b"bytes", {1, 2}, object(), {(1, 2): 3}, complex(1, 2), [b"x"],
                               {"k": {3}}, float])
any_values = json_values | unencodable
odd_keys = st.sampled_from([1, 2.5, None, True, math.nan, (1, 2), -0.0, 10 ** 30]) | long_ints

descriptions = st.fixed_dictionaries({}, optional={
    "clazz": st.sampled_from(harness.CLAZZ_VALUES) | json_values,
    "method": st.sampled_from(harness.PATHS) | texts | json_values,
    "args": st.lists(json_values, max_size=4) | json_values,
    "kwargs": st.dictionaries(st.sampled_from(["value", "a", "b", "c", "message", "digits", "kind",
                                               "depth", "x", "more"]) | texts,
                              json_values, max_size=4) | json_values,
    "extra": json_values,
})


@st.composite
def encoded(draw, values):
    """JSON text of a drawn value as some client might send it, sometimes damaged."""
    value = draw(values)
    try:
        text = json.dumps(value, ensure_ascii=draw(st.booleans()))
    except (ValueError, RecursionError):
        return draw(st.binary(max_size=64))
    data = text.encode("utf-8", "surrogatepass")
    damage = draw(st.integers(0, 9))
    if damage == 0 and data:
        data = data[:draw(st.integers(0, len(data) - 1))]
    elif damage == 1:
        at = draw(st.integers(0, len(data)))
        data = data[:at] + draw(st.binary(min_size=1, max_size=2)) + data[at:]
    return data


@pytest.fixture(scope="module")
def service():
    return harness.new_service()


# -- the dispatcher -----------------------------------------------------------------------

class TestDispatcher:
    @fuzz_settings
    @given(data=st.binary(max_size=200))
    def test_arbitrary_bytes(self, service, data):
        harness.check_dispatch(data, service)

    @fuzz_settings
    @given(data=encoded(descriptions))
    def test_call_descriptions(self, service, data):
        harness.check_dispatch(data, service)

    @fuzz_settings
    @given(data=encoded(json_values))
    def test_any_json_value(self, service, data):
        harness.check_dispatch(data, service)

    @pytest.mark.parametrize("depth", [998, 1001, 3000, 100000])
    @pytest.mark.parametrize("where", ["request", "args", "result"])
    def test_deep_nesting(self, service, depth, where):
        """Nesting past the host's recursion limit fails as plain Python fails, without a crash."""
        nest = "[" * depth + "]" * depth
        if where == "request":
            data = nest
        elif where == "args":
            data = '{"clazz": "remote_targets", "method": "identity", "args": [%s]}' % nest
        else:
            data = '{"clazz": "remote_targets", "method": "deep", "args": [%d]}' % depth
        assert harness.check_dispatch(data.encode(), service) is not None

    @pytest.mark.parametrize("method", ["huge_int", "special_floats", "lone_surrogate", "circular",
                                        "unencodable", "raises_unprintable", "escapes"])
    def test_results_plain_python_cannot_always_write(self, service, method):
        data = ('{"clazz": "remote_targets", "method": "%s"}' % method).encode()
        assert harness.check_dispatch(data, service) is not None

    @pytest.mark.parametrize("digits", [4299, 4300, 4301, 20000])
    def test_long_integers_in_requests(self, service, digits):
        data = ('{"clazz": "remote_targets", "method": "identity", "args": [%s]}'
                % ("7" * digits)).encode()
        assert harness.check_dispatch(data, service) is not None


# -- the client helpers -------------------------------------------------------------------

envelopes = st.fixed_dictionaries({}, optional={
    "status": st.sampled_from(EDGE_STATUS) | json_values,
    "message": texts | json_values,
    "excType": texts | json_values,
    "result": json_values,
    "other": json_values,
})
statuses = st.sampled_from([0, -1, 1, 2]) | st.integers(-2 ** 31, 2 ** 31 - 1)


class TestCallRpcResult:
    @fuzz_settings
    @given(status=statuses, data=encoded(envelopes))
    def test_envelopes(self, status, data):
        harness.check_call_rpc_result(status, data)

    @fuzz_settings
    @given(status=statuses, data=st.binary(max_size=100) | encoded(json_values))
    def test_arbitrary_replies(self, status, data):
        harness.check_call_rpc_result(status, data)


keyword_sets = st.dictionaries(texts | odd_keys, any_values, max_size=5)


class TestCallRpc:
    @fuzz_settings
    @given(clazz=texts | any_values, method=texts | any_values,
           args=st.none() | st.lists(any_values, max_size=4) | st.tuples(any_values) | any_values,
           kwargs=st.none() | keyword_sets | st.lists(st.tuples(texts, any_values), max_size=3)
           | any_values,
           request_id=st.none() | texts | st.sampled_from([5, b"rid", 1.5]),
           serialize=st.sampled_from([3, 0, -1, 2 ** 32 - 1, 2 ** 32, "3", 3.0, None, True])
           | st.integers())
    def test_arbitrary_calls(self, clazz, method, args, kwargs, request_id, serialize):
        harness.check_call_rpc(clazz, method, args, kwargs, request_id, serialize)

    @fuzz_settings
    @given(kwargs=keyword_sets)
    def test_arbitrary_keyword_sets(self, kwargs):
        harness.check_call_rpc("remote_targets", "echo", None, kwargs, "rid", 3)


# -- the remote-call decorator ------------------------------------------------------------

parameter_names = st.sampled_from(["a", "b", "c", "items", "options", "cls", "x", "y", "self",
                                   "rest", "value", "more"])


class TestDecorated:
    @fuzz_settings
    @given(func=st.sampled_from(harness.DECORATED), args=st.lists(any_values, max_size=4),
           kwargs=st.dictionaries(parameter_names | texts, any_values, max_size=5))
    def test_arbitrary_arguments(self, func, args, kwargs):
        harness.check_decorated(func, args, kwargs)


# -- the exposure guard -------------------------------------------------------------------

guarded_descriptions = st.fixed_dictionaries({}, optional={
    "clazz": st.sampled_from(guard_check.CLAZZ_VALUES) | json_values,
    "method": st.sampled_from(guard_check.PATHS) | texts | json_values,
    "args": st.lists(json_values, max_size=3),
    "kwargs": st.dictionaries(st.sampled_from(["x", "value"]), json_values, max_size=2),
})


class TestGuard:
    @fuzz_settings
    @given(data=encoded(guarded_descriptions) | st.binary(max_size=60))
    def test_refused_or_dispatched_unchanged(self, data):
        guard_check.check_guarded(data)


def test_the_twin_is_the_reference():
    """The checks compare against twin.py: make sure it is the plain-Python behaviour
    they claim, on one input of each outcome."""
    ok = b'{"clazz": "remote_targets", "method": "echo", "args": [1], "kwargs": {"k": "v"}}'
    assert twin.dispatch(ok, harness.fuzz_clazz_handler) == (
        b'{"status": 0, "message": "", "excType": "", "result": [[1], {"k": "v"}]}', 0, False)
    bad = b'{"clazz": "remote_targets", "method": "echo", "kwargs": 5}'
    assert twin.dispatch(bad, harness.fuzz_clazz_handler)[1:] == (-1, True)
    with pytest.raises(ModuleNotFoundError):
        twin.dispatch(b'{"clazz": "os", "method": "getcwd"}', harness.fuzz_clazz_handler)
