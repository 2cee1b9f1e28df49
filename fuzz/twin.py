"""The framework's documented behaviour, written in plain Python.

Each function here does what the native code of sorvane.corvex is documented
to do, using only the host's json, inspect, importlib, functools and traceback.
The fuzz targets and the property tests run the same input through both and
require the same outcome: the same bytes, the same result, or an exception of
the same type.
"""
import functools
import importlib
import inspect
import json
import sys
import traceback
import uuid


def dispatch(request_bytes, clazz_handler):
    """CommonService.handle without the logging wrapper.

    Returns (envelope bytes, status, spread), `spread` true when the call failed
    while "args" and "kwargs" were being made into arguments: the envelope's
    message is then the host's wording of that operation, which may differ.
    """
    request_str = request_bytes.decode("utf-8")
    grpc_request = json.loads(request_str)
    response = {"status": 0, "message": "", "excType": "",
                "result": {"status": "", "msg": "", "data": ""}}
    clazz = grpc_request.get("clazz", None)
    _clazz = clazz_handler(clazz)
    module = importlib.import_module(_clazz)
    method = grpc_request.get("method", None)
    invoke = functools.reduce(lambda x, y: getattr(x, y), [module] + method.split("."))
    args = grpc_request.get("args", None) or []
    kwargs = grpc_request.get("kwargs", None) or {}
    spread = True
    try:
        positional = tuple(args)
        keywords = dict(kwargs)
        if not all(isinstance(name, str) for name in keywords):
            raise TypeError("keywords must be strings")
        spread = False
        response["result"] = invoke(*positional, **keywords)
    except Exception as e:
        exc_type, exc_value, exc_tb = sys.exc_info()
        traceback.print_exception(exc_type, exc_value, exc_tb)
        response["status"] = -1
        response["message"] = str(e)
        response["excType"] = exc_type.__name__
    spread = spread and response["status"] == -1
    return json.dumps(response, ensure_ascii=False).encode("utf-8"), response["status"], spread


def description(clazz, method, args=None, kwargs=None):
    """The bytes GrpcHelper.call_rpc puts into CommonRequest.request."""
    if args is None:
        args = ()
    if kwargs is None:
        kwargs = {}
    text = json.dumps({"clazz": clazz, "method": method, "args": args, "kwargs": dict(kwargs)},
                      ensure_ascii=False)
    return text.encode("utf-8")


def new_request_id():
    return uuid.uuid4().hex


def open_envelope(status, response_bytes, exception_type):
    """What GrpcHelper.call_rpc_result makes of a CommonResponse: returns or raises.
    A body that starts with a CBOR map's head is read as CBOR, any other as JSON."""
    if response_bytes[:1] and response_bytes[0] >> 5 == 5:
        from sorvane import codec
        envelope = codec.loads(response_bytes)
    else:
        envelope = json.loads(response_bytes.decode("utf-8"))
    if envelope.get("status") == 0:
        return envelope.get("result")
    if status == -1 or envelope.get("status") == -1:
        raise exception_type(envelope.get("excType"), envelope.get("message"))
    raise Exception("unknown grpc exception")


def bound_keywords(func, args, kwargs):
    """The keyword mapping a grpc_service wrapper sends for func(*args, **kwargs)."""
    sig = inspect.signature(func)
    bind = sig.bind(*args, **kwargs).arguments
    if sig.parameters.get("cls"):
        bind.pop("cls")
    return dict(bind.items())
