"""Helpers of the server-side tests: a served GrpcServer, request building, a
log-record collector, and plain-Python reference versions of rpc_log and of
CommonService.handle that look module-level names up in sorvane.corvex, so
that rebinding one there affects both sides alike."""
import contextlib
import functools
import json
import logging

import brindlow
import grpc
import marvetta

from sorvane import corvex


def request(description=None, raw=None, request_id="rid-1", serialize=3):
    """A CommonRequest holding `description` as UTF-8 JSON, or the bytes `raw`."""
    if raw is None:
        raw = json.dumps(description, ensure_ascii=False).encode("utf-8")
    return marvetta.CommonRequest(request_id=request_id, request=raw, serialize=serialize)


def envelope_bytes(result=None, status=0, message="", exc_type=""):
    """The envelope the dispatcher should write, from the host encoder."""
    if status == -1 and result is None:
        result = {"status": "", "msg": "", "data": ""}
    body = {"status": status, "message": message, "excType": exc_type, "result": result}
    return json.dumps(body, ensure_ascii=False).encode("utf-8")


@contextlib.contextmanager
def serving(port, **options):
    """A started GrpcServer on 127.0.0.1:port and a raw stub for it; stopped on exit."""
    server = corvex.GrpcServer("127.0.0.1", port, **options)
    server.run_background()
    channel = grpc.insecure_channel("127.0.0.1:%d" % port)
    try:
        yield server, brindlow.CommonServiceStub(channel)
    finally:
        channel.close()
        server.rpc_server.stop(0).wait()


class Collect(logging.Handler):
    """Keeps the message text of every record it receives."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


@contextlib.contextmanager
def collecting(name="rpc_log", level=logging.DEBUG):
    """Collects the messages of logger `name` at `level`, restoring it afterwards."""
    log = logging.getLogger(name)
    handler = Collect()
    old_level = log.level
    log.addHandler(handler)
    log.setLevel(level)
    try:
        yield handler.messages
    finally:
        log.removeHandler(handler)
        log.setLevel(old_level)


class FakeClock:
    """A stand-in for the time module: successive readings step by `step`."""

    def __init__(self, start=1000.0, step=0.25):
        self.now = start
        self.step = step

    def time(self):
        value = self.now
        self.now += self.step
        return value


# ---- reference implementations ----------------------------------------------

def reference_rpc_log(func):
    ns = corvex

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        start_time = ns.time.time()
        response = func(*args, **kwargs)
        process_time = ns.time.time() - start_time
        func_name = "{}.{}".format(func.__module__, func.__name__)
        sig = ns.inspect.signature(func)
        bind = sig.bind(*args, **kwargs).arguments
        request = bind.get("request")
        json_data = ns.json_format.MessageToJson(response, preserving_proto_field_name=True)
        if len(json_data) > 4096:
            log_dict = {
                "type": "rpc_log",
                "request_id": request.request_id,
                "function": func_name,
                "process_time": "{:.6f}s".format(process_time),
                "response": json_data[:4096] + "...",
            }
        else:
            log_dict = {
                "type": "rpc_log",
                "request_id": request.request_id,
                "function": func_name,
                "status": response.status,
                "process_time": "{:.6f}s".format(process_time),
                "response": ns.json.loads(json_data),
            }
        ns.rpc_logger.debug("{}".format(log_dict))
        return response

    return wrapper


def reference_handle(self, request, context):
    ns = corvex
    request_str = request.request.decode("utf-8")
    grpc_request = ns.json.loads(request_str)
    response = {"status": 0, "message": "", "excType": "",
                "result": {"status": "", "msg": "", "data": ""}}
    clazz = grpc_request.get("clazz", None)
    _clazz = self.clazz_handler(clazz)
    module = ns.importlib.import_module(_clazz)
    method = grpc_request.get("method", None)
    invoke = ns.functools.reduce(lambda x, y: getattr(x, y), [module] + method.split("."))
    args = grpc_request.get("args", None) or []
    kwargs = grpc_request.get("kwargs", None) or {}
    try:
        response["result"] = invoke(*tuple(args), **dict(kwargs))
    except Exception as e:
        exc_type, exc_value, exc_tb = ns.sys.exc_info()
        ns.traceback.print_exception(exc_type, exc_value, exc_tb)
        response["status"] = -1
        response["message"] = str(e)
        response["excType"] = exc_type.__name__
    return ns.marvetta.CommonResponse(
        response=ns.json.dumps(response, ensure_ascii=False).encode("utf-8"),
        status=response["status"])


reference_handle.__module__ = "sorvane.corvex"
reference_handle.__name__ = "handle"
reference_handle.__qualname__ = "CommonService.handle"


class ReferenceService(brindlow.CommonServiceServicer):
    @classmethod
    def clazz_handler(cls, clazz):
        return clazz

    handle = reference_rpc_log(reference_handle)


def outcome(call):
    """("ok", serialized response) or ("raised", type, message) of `call()`."""
    try:
        response = call()
    except BaseException as e:  # noqa: B902 - the tests compare every kind
        try:
            text = str(e)
        except Exception:  # noqa: BLE001
            text = "<unprintable>"
        return ("raised", type(e), text)
    return ("ok", response.SerializeToString())
