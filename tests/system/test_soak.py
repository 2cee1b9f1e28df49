"""Memory stays flat under load, and every object crossing the native boundary
keeps its reference count.

The soak drives 200,000 in-process dispatches and real calls over loopback
(200,000 on the native engine, whose client and server are both ours; 20,000 on
grpcio's and under the sanitizers), a third each of successes, caught failures (envelope status -1) and
RPC failures (the dispatcher raises: the RPC ends with UNKNOWN), and compares
three figures before and after the measured part:

* sys.getallocatedblocks(): the blocks the interpreter's allocator holds. Every
  leaked object is at least one block, so a leak of one object in a hundred
  calls is 1,800 blocks over the in-process run; the tolerance is 500 blocks
  (caches the host fills lazily, free lists), and 2,000 over loopback, where
  gRPC's threads and completion queues hold a varying number of objects in
  flight.
* the number of objects the garbage collector tracks: containers only, a
  tolerance of 200 (gRPC's in-flight call state again).
* the resident set size: it also sees allocations outside the interpreter (the
  native modules' own, gRPC core's); 4 MiB after the warm-up, where the
  smallest leak that matters, 32 bytes a call, makes 5.5 MiB over 180,000
  dispatches; 8 MiB over the real calls (all but the first tenth), whose transport buffers and
  arenas grow in steps of about a megabyte. Under AddressSanitizer the
  allocator's quarantine makes RSS meaningless, so it is not compared there.

The interpreter is a release build (no sys.gettotalrefcount); reference counts
are checked object by object with sys.getrefcount instead, on the native
function, dispatcher, helper and decorator paths; where a debug build is used,
the interpreter's total is compared too.
"""
import contextlib
import gc
import io
import json
import logging
import resource
import sys
import threading

import grpc
import pytest

import brindlow
import marvetta
from sorvane import corvex

# A long run of the whole system: CI runs it once, on the default python3.
pytestmark = pytest.mark.system

HERE = __name__  # the dispatcher imports this module by name for the targets below
SHARED_RESULT = {"shared": [1, 2, 3]}
with open("/proc/self/maps") as _maps:
    SANITIZED = "libasan" in _maps.read()


def add(a, b):
    return a + b


def fail(message):
    raise ValueError(message)


def shared():
    return SHARED_RESULT


def kwargs_echo(**kwargs):
    return kwargs


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


class Snapshot:
    """The figures compared before and after a run."""

    def __init__(self):
        gc.collect()
        gc.collect()
        self.blocks = sys.getallocatedblocks()
        self.objects = len(gc.get_objects())
        self.rss = rss_bytes()
        self.total_refs = getattr(sys, "gettotalrefcount", lambda: 0)()

    def growth(self, before):
        return {"blocks": self.blocks - before.blocks, "objects": self.objects - before.objects,
                "rss": self.rss - before.rss, "total_refs": self.total_refs - before.total_refs}


def assert_flat(before, after, blocks, objects, rss_mib):
    growth = after.growth(before)
    print("growth: %(blocks)d blocks, %(objects)d objects, %(rss)d bytes RSS" % growth)
    assert growth["blocks"] < blocks, growth
    assert growth["objects"] < objects, growth
    if not SANITIZED:
        assert growth["rss"] < rss_mib * 1024 * 1024, growth


class Discard(io.TextIOBase):
    def write(self, text):
        return len(text)


@contextlib.contextmanager
def quiet_and_logging():
    """Tracebacks of caught failures and gRPC's reports of failed RPCs are discarded;
    the dispatcher's log records are built and handled (by a handler that drops them)."""
    rpc_log = logging.getLogger("rpc_log")
    grpc_log = logging.getLogger("grpc._server")
    null = logging.NullHandler()
    saved = rpc_log.level, rpc_log.propagate, grpc_log.propagate
    rpc_log.setLevel(logging.DEBUG)
    for log in (rpc_log, grpc_log):  # not to the root, where pytest keeps every record
        log.addHandler(null)
        log.propagate = False
    try:
        with contextlib.redirect_stderr(Discard()):
            yield
    finally:
        rpc_log.setLevel(saved[0])
        rpc_log.propagate, grpc_log.propagate = saved[1:]
        for log in (rpc_log, grpc_log):
            log.removeHandler(null)


def description(method, *args, **kwargs):
    body = {"clazz": HERE, "method": method, "args": list(args), "kwargs": kwargs}
    return json.dumps(body).encode()


# One request per kind of outcome: success, caught failure, failure of the RPC.
MIX = [
    (description("add", 2, 3), "ok"),
    (description("kwargs_echo", a=1, b=[1, "x", None]), "ok"),
    (description("fail", "expected"), "caught"),
    (description("add", 1), "caught"),
    (b'{"clazz": "' + HERE.encode() + b'", "method": "missing"}', "raises"),
    (b"not json", "raises"),
    (b'{"clazz": "no_such_module_for_soak", "method": "f"}', "raises"),
]


def dispatch_mix(service, rounds):
    requests = [(marvetta.CommonRequest(request=data, request_id="soak"), kind)
                for data, kind in MIX]
    counts = {"ok": 0, "caught": 0, "raises": 0}
    for i in range(rounds):
        request, kind = requests[i % len(requests)]
        try:
            response = service.handle(request, None)
        except Exception:
            assert kind == "raises"
        else:
            assert response.status == (0 if kind == "ok" else -1)
        counts[kind] += 1
    return counts


class TestSoak:
    def test_in_process_dispatches(self):
        service = corvex.CommonService()
        with quiet_and_logging():
            dispatch_mix(service, 20000)  # warm-up: caches, free lists, the import system's state
            before = Snapshot()
            counts = dispatch_mix(service, 180000)
            after = Snapshot()
        assert sum(counts.values()) == 180000 and min(counts.values()) > 50000
        print("in-process RSS before/after: %.1f / %.1f MiB"
              % (before.rss / 2 ** 20, after.rss / 2 ** 20))
        assert_flat(before, after, blocks=500, objects=200, rss_mib=4)

    def test_calls_over_loopback(self, port):
        from sorvane import engine
        total = 200000 if engine.current() == "native" and not SANITIZED else 20000
        server = corvex.GrpcServer("127.0.0.1", port, 4)
        server.run_background()
        # Client and server on the process's engine.
        channel = corvex.transport.insecure_channel("127.0.0.1:%d" % port)
        stub = brindlow.CommonServiceStub(channel)
        errors = []

        def client(rounds):
            try:
                for i in range(rounds):
                    kind = i % 3
                    if kind == 0:
                        assert corvex.GrpcHelper.call_rpc_result(stub, HERE, "add", [i, 1]) == i + 1
                    elif kind == 1:
                        with pytest.raises(corvex.GrpcException):
                            corvex.GrpcHelper.call_rpc_result(stub, HERE, "fail", ["x"])
                    else:
                        with pytest.raises(grpc.RpcError) as info:
                            corvex.GrpcHelper.call_rpc_result(stub, HERE, "missing")
                        assert info.value.code() == grpc.StatusCode.UNKNOWN
            except BaseException as e:  # reported by the test thread
                errors.append(e)

        def run(total):
            threads = [threading.Thread(target=client, args=(total // 4,)) for _ in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert not errors, errors[:3]

        try:
            with quiet_and_logging():
                run(total // 10)
                before = Snapshot()
                run(total - total // 10)
                after = Snapshot()
        finally:
            channel.close()
            server.rpc_server.stop(0).wait()
        print("loopback RSS before/after: %.1f / %.1f MiB"
              % (before.rss / 2 ** 20, after.rss / 2 ** 20))
        assert_flat(before, after, blocks=2000, objects=200, rss_mib=8)


# -- reference counts across the native boundary --------------------------------------------

class Context:
    """A servicer context stand-in; the dispatcher must not keep it."""


class Stub:
    def __init__(self, reply):
        self.reply = reply

    def handle(self, request):
        return self.reply


def fresh(text):
    """A new, non-interned copy of `text`."""
    return "".join(list(text))


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def assert_counts_kept(call, objects, times=2000):
    """Runs `call` `times` times; no object in `objects` gains or loses a reference."""
    call()  # first-call caches
    gc.collect()
    total = getattr(sys, "gettotalrefcount", None)
    before, total_before = refcounts(objects), total() if total else 0
    for _ in range(times):
        call()
    gc.collect()
    assert refcounts(objects) == before
    if total:
        assert abs(total() - total_before) < times // 10


def outcome(func, *args, **kwargs):
    try:
        return func(*args, **kwargs)
    except Exception as e:
        e.__traceback__ = None
        return type(e)


class TestReferenceCounts:
    @pytest.mark.parametrize("data", [
        description("shared"),
        description("kwargs_echo", a=1),
        description("fail", "x"),
        description("missing"),
        b"\xff",
        b"[1]",
        description("add", 1, 2),
    ])
    def test_dispatcher(self, data):
        service = corvex.CommonService()
        request = marvetta.CommonRequest(request=data, request_id=fresh("rid"))
        context = Context()
        with quiet_and_logging():
            assert_counts_kept(lambda: outcome(service.handle, request, context),
                               [service, request, context, SHARED_RESULT, data])

    def test_dispatcher_with_a_clazz_handler(self):
        service = corvex.CommonService()
        name = fresh(HERE)
        handler = lambda clazz: name  # noqa: E731
        service.clazz_handler = handler
        request = marvetta.CommonRequest(request=b'{"clazz": "x", "method": "shared"}')
        with quiet_and_logging():
            assert_counts_kept(lambda: service.handle(request, None),
                               [service, request, handler, name, SHARED_RESULT])

    @pytest.mark.parametrize("args,kwargs", [
        ([1, "two", None], {"k": [1]}),
        ((1, 2), [("k", 1)]),
        ([b"not json"], None),
        (None, {"k": {1, 2}}),
        (None, "not a mapping"),
    ])
    def test_call_rpc(self, args, kwargs):
        reply = marvetta.CommonResponse(status=0, response=b"{}")
        stub = Stub(reply)
        clazz, method, rid = fresh("module"), fresh("f"), fresh("request-id")
        objects = [stub, reply, clazz, method, rid, args, kwargs]
        assert_counts_kept(lambda: outcome(corvex.GrpcHelper.call_rpc, stub, clazz, method, args,
                                           kwargs, rid, 3), objects)

    @pytest.mark.parametrize("status,body", [
        (0, b'{"status": 0, "result": [1, {"a": "b"}]}'),
        (-1, b'{"status": -1, "excType": "ValueError", "message": "m"}'),
        (0, b'{"status": 5}'),
        (0, b"[]"),
        (0, b"\xff"),
    ])
    def test_call_rpc_result(self, status, body):
        reply = marvetta.CommonResponse(status=status, response=body)
        stub = Stub(reply)
        assert_counts_kept(lambda: outcome(corvex.GrpcHelper.call_rpc_result, stub, "m", "f"),
                           [stub, reply])

    def test_decorator(self):
        reply = marvetta.CommonResponse(status=0, response=b'{"status": 0, "result": 1}')
        failing = marvetta.CommonResponse(status=-1, response=b'{"status": -1, "excType": "E"}')
        stub = Stub(reply)

        def target(a, b=2, *rest, **more):
            pass

        def klass(cls, x, y=None):
            pass

        def klass_default(cls=None, **more):
            pass

        wrapped = corvex.grpc_service("soak")(target)
        wrapped_cls = corvex.grpc_service("soak")(klass)
        wrapped_default = corvex.grpc_service("soak")(klass_default)
        value, name = [1, "x"], fresh("kw")
        saved = corvex.grpc_client.stubs.get("soak")
        corvex.grpc_client.stubs["soak"] = stub
        try:
            def calls():
                assert wrapped(value, 3, 4, **{name: value}) == 1
                assert wrapped_cls(value, value) == 1
                assert outcome(wrapped) is TypeError  # binding error
                assert outcome(wrapped, {1, 2}) is TypeError  # not JSON
                assert outcome(wrapped_default, a=value) is KeyError  # "cls" not supplied
                stub.reply = failing
                assert outcome(wrapped, 1) is corvex.GrpcException
                stub.reply = reply

            assert_counts_kept(calls, [stub, reply, failing, target, klass, wrapped, wrapped_cls,
                                       wrapped_default, value, name], times=500)
        finally:
            corvex.grpc_client.stubs.pop("soak")
            if saved is not None:
                corvex.grpc_client.stubs["soak"] = saved

    def test_rpc_log_wrapper(self):
        response = marvetta.CommonResponse(status=-1, response=b"x")

        def handle(self, request, context):
            return response

        wrapped = corvex.rpc_log(handle)
        owner, context = Context(), Context()
        request = marvetta.CommonRequest(request_id=fresh("r"))
        with quiet_and_logging():
            assert_counts_kept(lambda: wrapped(owner, request, context),
                               [handle, wrapped, owner, request, context, response])
            assert_counts_kept(lambda: wrapped(owner, request=request, context=context),
                               [handle, wrapped, owner, request, context, response])

    def test_native_function_calls_and_binding(self):
        """The function type itself: calls with positional and keyword arguments,
        argument errors, binding as a method, metadata reads."""
        server = corvex.GrpcServer("127.0.0.1", 0)
        func = fresh("x")
        handler = lambda clazz: clazz  # noqa: E731

        def calls():
            server.set_clazz_handler(handler)
            server.set_clazz_handler(func=func)
            assert outcome(server.set_clazz_handler) is TypeError
            assert outcome(server.set_clazz_handler, 1, 2) is TypeError
            assert outcome(server.set_clazz_handler, handler, bogus=1) is TypeError
            corvex.GrpcServer.set_clazz_handler.__get__(server, corvex.GrpcServer)(handler)
            corvex.GrpcHelper.call_rpc.__doc__, corvex.GrpcHelper.call_rpc.__name__

        assert_counts_kept(calls, [server, func, handler, server.service])
