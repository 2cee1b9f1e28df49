"""Differential checks shared by the atheris targets and the hypothesis tests.

Each `check_*` function runs one input through sorvane.corvex and through the
plain-Python twin (twin.py) and raises AssertionError when the outcomes differ.
An outcome is a returned value (compared exactly, NaN equal to NaN and 1 never
equal to True or 1.0) or a raised exception (compared by type). Anything that
escapes a check other than AssertionError is itself a finding: a native path
raised where plain Python did not, or raised SystemError.

In-process fuzzing must not let the dispatcher reach anything that changes the
process: descriptions are sent through a clazz handler that maps every module
name except `remote_targets` to a module that does not exist, and descriptions
whose method goes through a name with a leading underscore are not dispatched
(`screened` says so; such paths are covered by the dispatcher's and the
guard's own tests).
"""
import contextlib
import io
import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import marvetta  # noqa: E402
from sorvane import corvex  # noqa: E402

import remote_targets  # noqa: E402
import twin  # noqa: E402

TARGET_MODULE = "remote_targets"
ABSENT_MODULE = "sorvane_fuzz_no_such_module"
STUB_NAME = "sorvane-fuzz"

#: Method paths worth trying, besides arbitrary text.
PATHS = [
    "echo", "identity", "fixed", "nothing", "pair", "raises", "raises_bare",
    "raises_unprintable", "escapes", "unencodable", "circular", "lone_surrogate", "huge_int",
    "special_floats", "deep", "Klass", "Klass.method", "Klass.klassmethod", "Klass.static",
    "Klass.constant", "instance.method", "instance.klassmethod", "NOT_CALLABLE", "missing",
    "", ".", "echo.", ".echo", "Klass..static", "echo.real", "instance.method.x",
]
#: "clazz" values worth trying: the target module, absent ones, and non-strings.
CLAZZ_VALUES = [TARGET_MODULE, "no.such.module", "", ".", "remote_targets.", None, 3, True, [], {}]


def fuzz_clazz_handler(clazz):
    """Keeps fuzzed descriptions away from every module but the harmless targets."""
    if isinstance(clazz, str) and clazz != TARGET_MODULE:
        return ABSENT_MODULE
    return clazz


def shown(value, limit=300):
    """repr() for messages, safe for huge integers and deep nesting, cut to `limit`."""
    try:
        text = repr(value)
    except (ValueError, RecursionError) as e:
        text = "<%s: %s>" % (type(value).__name__, type(e).__name__)
    return text if len(text) <= limit else text[:limit] + "..."


class Outcome:
    """What a call did: returned `value`, or raised `error` (an exception instance)."""

    def __init__(self, value=None, error=None):
        self.value = value
        self.error = error

    @classmethod
    def of(cls, func, args=(), kwargs=None):
        """The outcome of func(*args, **kwargs)."""
        try:
            return cls(value=func(*args, **(kwargs or {})))
        except (Exception, remote_targets.Escape) as e:
            if isinstance(e, SystemError):
                raise AssertionError("SystemError from a native path: %s" % shown(e))
            return cls(error=e)

    def __repr__(self):
        if self.error is not None:
            return "raised %s" % shown(self.error)
        return "returned %s" % shown(self.value)


def same(a, b):
    """Deep equality of decoded JSON values: types must match, NaN equals NaN, -0.0 is not 0.0.

    Iterative, so that values nested as deep as the decoder allows compare too.
    """
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if not (a == b and math.copysign(1, a) == math.copysign(1, b) or (a != a and b != b)):
                return False
        elif isinstance(a, (list, tuple)):
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif isinstance(a, dict):
            if list(a) != list(b):
                return False
            pending.extend((a[k], b[k]) for k in a)
        elif a != b:
            return False
    return True


def same_failure(native, model, what):
    """Both raised, with exceptions of one type."""
    difference = "%s: native %r, plain Python %r" % (what, native, model)
    assert native.error is not None and model.error is not None, difference
    assert type(native.error) is type(model.error), difference


def screened(data):
    """True when a description must not be dispatched in-process (see the module text)."""
    try:
        description = json.loads(data.decode("utf-8"))
    except Exception:
        return False
    if not isinstance(description, dict):
        return False
    method = description.get("method")
    return isinstance(method, str) and any(s.startswith("_") for s in method.split("."))


# -- dispatcher ---------------------------------------------------------------------------

def new_service():
    service = corvex.CommonService()
    service.clazz_handler = fuzz_clazz_handler
    return service


def check_dispatch(data, service, request_id="fuzz", clazz_handler=fuzz_clazz_handler):
    """`service.handle` on a request holding `data`, against the plain-Python dispatcher
    (`clazz_handler` must map names as the service's own does)."""
    if screened(data):
        return None
    request = marvetta.CommonRequest(request=data, serialize=3, request_id=request_id)
    native_err, model_err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stderr(native_err):
        native = Outcome.of(service.handle, (request, None))
    with contextlib.redirect_stderr(model_err):
        model = Outcome.of(twin.dispatch, (data, clazz_handler))
    if model.error is not None:
        same_failure(native, model, "dispatch of %s" % shown(data))
        return native
    assert native.error is None, "dispatch of %s: native %r, plain Python %r" % (
        shown(data), native, model)
    response = native.value
    assert type(response) is marvetta.CommonResponse, shown(response)
    expected_bytes, expected_status, spread = model.value
    if response.response != expected_bytes:
        # The message of a failure made while spreading "args"/"kwargs" is the
        # host's wording of its own operation; compare everything else.
        assert spread, (shown(data), shown(response.response), shown(expected_bytes))
        got, want = json.loads(response.response), json.loads(expected_bytes)
        got["message"] = want["message"] = None
        assert same(got, want), (shown(data), shown(response.response), shown(expected_bytes))
    assert response.status == expected_status, (shown(data), response.status, expected_status)
    if expected_status == -1:
        exc_type = json.loads(expected_bytes)["excType"]
        assert exc_type in native_err.getvalue(), "no traceback on stderr for %s" % shown(data)
    else:
        assert native_err.getvalue() == "", native_err.getvalue()
    return native


# -- client helpers -----------------------------------------------------------------------

class RecordingStub:
    """Stands in for a CommonServiceStub: records requests, answers with `reply`."""

    def __init__(self, reply):
        self.reply = reply
        self.requests = []

    def handle(self, request):
        self.requests.append(request)
        return self.reply


def response(status, response_bytes):
    return marvetta.CommonResponse(status=status, response=response_bytes)


def check_call_rpc(clazz, method, args=None, kwargs=None, request_id=None, serialize=3):
    """GrpcHelper.call_rpc against the documented request it must send."""
    reply = response(0, b"{}")
    stub = RecordingStub(reply)
    native = Outcome.of(corvex.GrpcHelper.call_rpc,
                        (stub, clazz, method, args, kwargs, request_id, serialize))

    def model_request():
        data = twin.description(clazz, method, args, kwargs)
        rid = twin.new_request_id() if request_id is None else request_id
        return marvetta.CommonRequest(request=data, serialize=serialize, request_id=rid)

    model = Outcome.of(model_request)
    what = "call_rpc(%s)" % ", ".join(
        shown(v, 80) for v in (clazz, method, args, kwargs, request_id, serialize))
    if model.error is not None:
        same_failure(native, model, what)
        assert stub.requests == [], what + ": sent although it failed"
        return
    assert native.error is None, "%s: native %r, plain Python %r" % (what, native, model)
    assert native.value is reply, what
    assert len(stub.requests) == 1, what
    sent, expected = stub.requests[0], model.value
    assert type(sent) is marvetta.CommonRequest, what
    assert sent.request == expected.request, (what, shown(sent.request), shown(expected.request))
    assert sent.serialize == expected.serialize, what
    if request_id is None:
        rid = sent.request_id
        assert len(rid) == 32 and set(rid) <= set("0123456789abcdef"), (what, rid)
    else:
        assert sent.request_id == expected.request_id, what


def check_call_rpc_result(status, response_bytes):
    """GrpcHelper.call_rpc_result against the documented reading of an envelope."""
    stub = RecordingStub(response(status, response_bytes))
    native = Outcome.of(corvex.GrpcHelper.call_rpc_result, (stub, TARGET_MODULE, "echo"))
    model = Outcome.of(twin.open_envelope, (status, response_bytes, corvex.GrpcException))
    what = "envelope %s with status %d" % (shown(response_bytes), status)
    assert len(stub.requests) == 1, what
    if model.error is not None:
        same_failure(native, model, what)
        if isinstance(model.error, corvex.GrpcException):
            assert same(native.error.exc_type, model.error.exc_type), what
            assert same(native.error.message, model.error.message), what
            assert len(native.error.args) == 2, what
        elif type(model.error) is Exception:
            assert native.error.args == ("unknown grpc exception",), what
        return
    assert native.error is None, "%s: native %r, plain Python %r" % (what, native, model)
    assert same(native.value, model.value), (what, shown(native.value), shown(model.value))


# -- the remote-call decorator ------------------------------------------------------------

SUCCESS = response(0, b'{"status": 0, "message": "", "excType": "", "result": 7}')


def check_decorated(func, args, kwargs):
    """A grpc_service wrapper of `func` called with args/kwargs, against inspect's binding."""
    stub = RecordingStub(SUCCESS)
    corvex.grpc_client.stubs[STUB_NAME] = stub
    try:
        wrapper = corvex.grpc_service(STUB_NAME)(func)
        native = Outcome.of(wrapper, args, kwargs)
    finally:
        corvex.grpc_client.stubs.pop(STUB_NAME, None)

    def model_request():
        keywords = twin.bound_keywords(func, args, kwargs)
        return twin.description(func.__module__, func.__qualname__, (), keywords)

    model = Outcome.of(model_request)
    what = "%s(*%s, **%s)" % (func.__qualname__, shown(args, 120), shown(kwargs, 120))
    if model.error is not None:
        same_failure(native, model, what)
        assert stub.requests == [], what + ": sent although it failed"
        return
    assert native.error is None, "%s: native %r, plain Python %r" % (what, native, model)
    assert native.value == 7, what
    assert len(stub.requests) == 1, what
    sent = stub.requests[0]
    assert sent.request == model.value, (what, shown(sent.request), shown(model.value))
    assert sent.serialize == 3, what


# Signatures the decorator meets; the body never runs.
def check_cbor(data):
    """The CBOR decoder on arbitrary bytes: a value or CodecError, nothing else;
    a value decoded goes out and in again unchanged (NaN stays NaN)."""
    from sorvane import codec
    try:
        value = codec.loads(data)
    except corvex.CodecError:
        return
    again = codec.loads(codec.dumps(value))
    assert cbor_same(again, value), (shown(data), shown(value), shown(again))


def cbor_same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(cbor_same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):  # in order: decoding keeps it
        return len(a) == len(b) and all(cbor_same(k, j) and cbor_same(v, w)
                                        for (k, v), (j, w) in zip(a.items(), b.items()))
    if isinstance(a, (set, frozenset)):  # NaN is never equal to itself
        return sorted(map(repr, a)) == sorted(map(repr, b))
    if type(a).__module__ == "numpy":
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if hasattr(a, "is_nan") and a.is_nan():  # a Decimal NaN
        return str(a) == str(b)
    return a == b or a != a


def positional(a, b=2):
    raise AssertionError("the body of a decorated function ran")


def variadic(*items, **options):
    raise AssertionError("the body of a decorated function ran")


def keyword_only(a, *, b, c=3):
    raise AssertionError("the body of a decorated function ran")


def with_cls(cls, x, y=None):
    raise AssertionError("the body of a decorated function ran")


def with_self(self, x=1, **rest):
    raise AssertionError("the body of a decorated function ran")


def with_cls_default(cls=None, **rest):
    raise AssertionError("the body of a decorated function ran")


class Holder:
    def method(self, value, *more):
        raise AssertionError("the body of a decorated function ran")


DECORATED = [positional, variadic, keyword_only, with_cls, with_self, with_cls_default,
             Holder.method]
