"""The service binding: stub, servicer base, registration, one-shot call."""
import inspect
import os
import subprocess
import sys
import textwrap
from concurrent import futures

import grpc
import pytest

import brindlow
import marvetta

CLASS_DOC = "Missing associated documentation comment in .proto file."
PATH = "/common.CommonService/handle"


class FakeChannel:
    def __init__(self):
        self.calls = []

    def unary_unary(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return ("callable", args, kwargs)


class FakeServer:
    def __init__(self):
        self.handlers = []

    def add_generic_rpc_handlers(self, handlers):
        self.handlers.append(handlers)


class Recorder:
    def __init__(self):
        self.code = self.details = None

    def set_code(self, code):
        self.code = code

    def set_details(self, details):
        self.details = details


@pytest.fixture
def grpc_server(port):
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=4))
    server.add_insecure_port("127.0.0.1:%d" % port)
    yield server, "127.0.0.1:%d" % port
    server.stop(0)


class EchoServicer(brindlow.CommonServiceServicer):
    def handle(self, request, context):
        return marvetta.CommonResponse(status=7, response=request.request + b"!")


class TestModuleShape:
    def test_names_and_docs(self):
        assert brindlow.__doc__ == "Client and server classes corresponding to protobuf-defined services."
        names = [n for n in vars(brindlow) if not n.startswith("__")]
        assert names[0] == "grpc" and brindlow.grpc is grpc
        assert getattr(brindlow, names[1]) is marvetta
        assert names[2:] == ["CommonServiceStub", "CommonServiceServicer",
                             "add_CommonServiceServicer_to_server", "CommonService"]

    @pytest.mark.parametrize("cls,member", [
        (brindlow.CommonServiceStub, "__init__"),
        (brindlow.CommonServiceServicer, "handle"),
        (brindlow.CommonService, "handle"),
    ])
    def test_ordinary_classes(self, cls, member):
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert cls.__module__ == "brindlow" and cls.__qualname__ == cls.__name__
        assert cls.__doc__ == CLASS_DOC
        own = [n for n in vars(cls) if n not in ("__module__", "__qualname__", "__doc__",
                                                  "__dict__", "__weakref__")]
        assert own == [member]

    def test_documentation_texts(self):
        assert brindlow.CommonServiceStub.__init__.__doc__ == (
            "Constructor.\n\n        Args:\n            channel: A grpc.Channel.\n        ")
        assert brindlow.CommonServiceServicer.handle.__doc__ == "基础Demo\n        "
        assert brindlow.add_CommonServiceServicer_to_server.__doc__ is None
        assert brindlow.CommonService.handle.__doc__ is None

    def test_signatures(self):
        sig = inspect.signature
        assert str(sig(brindlow.CommonServiceStub)) == "(channel)"
        assert str(sig(brindlow.CommonServiceServicer.handle)) == "(self, request, context)"
        assert str(sig(brindlow.add_CommonServiceServicer_to_server)) == "(servicer, server)"
        assert str(sig(brindlow.CommonService.handle)) == (
            "(request, target, options=(), channel_credentials=None, call_credentials=None, "
            "insecure=False, compression=None, wait_for_ready=None, timeout=None, metadata=None)")
        assert isinstance(inspect.getattr_static(brindlow.CommonService, "handle"), staticmethod)


class TestStub:
    def test_builds_one_callable_for_the_method_path(self):
        channel = FakeChannel()
        stub = brindlow.CommonServiceStub(channel)
        (args, kwargs), = channel.calls
        assert args == (PATH,)
        assert list(kwargs) == ["request_serializer", "response_deserializer"]
        assert kwargs["request_serializer"] == marvetta.CommonRequest.SerializeToString
        assert kwargs["response_deserializer"] == marvetta.CommonResponse.FromString
        assert vars(stub) == {"handle": ("callable", args, kwargs)}

    def test_channel_by_keyword_and_argument_errors(self):
        assert brindlow.CommonServiceStub(channel=FakeChannel()).handle[0] == "callable"
        with pytest.raises(TypeError):
            brindlow.CommonServiceStub()
        with pytest.raises(TypeError):
            brindlow.CommonServiceStub(FakeChannel(), FakeChannel())
        with pytest.raises(AttributeError):
            brindlow.CommonServiceStub(object())

    def test_message_classes_are_looked_up_at_each_use(self, monkeypatch):
        class Stand:
            SerializeToString = "ser"
            FromString = "de"
        monkeypatch.setattr(marvetta, "CommonRequest", Stand)
        monkeypatch.setattr(marvetta, "CommonResponse", Stand)
        channel = FakeChannel()
        brindlow.CommonServiceStub(channel)
        assert channel.calls[0][1] == {"request_serializer": "ser", "response_deserializer": "de"}

    def test_real_call_reaches_the_method_path(self, grpc_server):
        server, address = grpc_server
        seen = []

        class Recording(grpc.GenericRpcHandler):
            def service(self, details):
                seen.append(details.method)
                return grpc.unary_unary_rpc_method_handler(
                    lambda req, ctx: marvetta.CommonResponse(status=1),
                    request_deserializer=marvetta.CommonRequest.FromString,
                    response_serializer=marvetta.CommonResponse.SerializeToString)

        server.add_generic_rpc_handlers((Recording(),))
        server.start()
        with grpc.insecure_channel(address) as channel:
            reply = brindlow.CommonServiceStub(channel).handle(marvetta.CommonRequest(request=b"x"))
        assert seen == [PATH]
        assert reply.status == 1


class TestServicer:
    def test_default_answer_is_unimplemented(self, grpc_server):
        server, address = grpc_server
        brindlow.add_CommonServiceServicer_to_server(brindlow.CommonServiceServicer(), server)
        server.start()
        with grpc.insecure_channel(address) as channel:
            with pytest.raises(grpc.RpcError) as info:
                brindlow.CommonServiceStub(channel).handle(marvetta.CommonRequest())
        assert info.value.code() == grpc.StatusCode.UNIMPLEMENTED
        assert info.value.details() == "Method not implemented!"

    def test_handle_sets_code_then_raises(self):
        ctx = Recorder()
        with pytest.raises(NotImplementedError, match="^Method not implemented!$"):
            brindlow.CommonServiceServicer().handle(None, ctx)
        assert (ctx.code, ctx.details) == (grpc.StatusCode.UNIMPLEMENTED, "Method not implemented!")
        with pytest.raises(NotImplementedError):
            brindlow.CommonServiceServicer().handle(request=None, context=Recorder())


class TestRegistration:
    def test_registers_one_generic_handler(self):
        server = FakeServer()
        servicer = EchoServicer()
        assert brindlow.add_CommonServiceServicer_to_server(servicer, server) is None
        (handlers,), = [server.handlers]
        assert isinstance(handlers, tuple) and len(handlers) == 1

        class Details:
            method = PATH
            invocation_metadata = ()
        handler = handlers[0].service(Details())
        assert handler.request_deserializer == marvetta.CommonRequest.FromString
        assert handler.response_serializer == marvetta.CommonResponse.SerializeToString
        assert handler.unary_unary == servicer.handle
        other = Details()
        other.method = "/common.CommonService/other"
        assert handlers[0].service(other) is None

    def test_missing_handle_fails_before_registering(self):
        server = FakeServer()
        with pytest.raises(AttributeError):
            brindlow.add_CommonServiceServicer_to_server(object(), server)
        assert server.handlers == []

    def test_handle_is_read_once(self, grpc_server):
        server, address = grpc_server
        servicer = EchoServicer()
        brindlow.add_CommonServiceServicer_to_server(servicer, server=server)
        servicer.handle = lambda request, context: marvetta.CommonResponse(status=99)
        server.start()
        with grpc.insecure_channel(address) as channel:
            reply = brindlow.CommonServiceStub(channel).handle(marvetta.CommonRequest(request=b"a"))
        assert (reply.status, reply.response) == (7, b"a!")


class TestOneShotCall:
    @pytest.fixture
    def recorded(self, monkeypatch):
        import grpc.experimental
        calls = []
        monkeypatch.setattr(grpc.experimental, "unary_unary", lambda *a, **k: calls.append((a, k)) or "reply")
        return calls

    def test_defaults(self, recorded):
        assert brindlow.CommonService.handle("req", "host:1") == "reply"
        (args, kwargs), = recorded
        assert kwargs == {}
        assert args == ("req", "host:1", PATH, marvetta.CommonRequest.SerializeToString,
                        marvetta.CommonResponse.FromString, (), None, False, None, None, None,
                        None, None)

    def test_insecure_goes_before_call_credentials(self, recorded):
        brindlow.CommonService.handle("req", "t", call_credentials="CC", insecure=True,
                                      channel_credentials="CH", metadata=(("k", "v"),))
        args = recorded[0][0]
        assert args[5:] == ((), "CH", True, "CC", None, None, None, (("k", "v"),))

    def test_all_positional(self, recorded):
        brindlow.CommonService.handle(*range(10))
        assert recorded[0][0] == (0, 1, PATH, marvetta.CommonRequest.SerializeToString,
                                  marvetta.CommonResponse.FromString, 2, 3, 5, 4, 6, 7, 8, 9)

    @pytest.mark.parametrize("args,kwargs", [
        ((), {}), (("r",), {}), (tuple(range(11)), {}), (("r", "t"), {"bogus": 1}),
        (("r", "t"), {"request": 1}),
    ])
    def test_argument_errors(self, recorded, args, kwargs):
        with pytest.raises(TypeError):
            brindlow.CommonService.handle(*args, **kwargs)
        assert recorded == []

    def test_works_in_a_fresh_process(self, grpc_server):
        server, address = grpc_server
        brindlow.add_CommonServiceServicer_to_server(EchoServicer(), server)
        server.start()
        code = textwrap.dedent("""
            import sys, warnings
            import brindlow, marvetta
            assert "grpc.experimental" not in sys.modules
            warnings.simplefilter("ignore")  # the one-shot API announces itself as experimental
            reply = brindlow.CommonService.handle(marvetta.CommonRequest(request=b"hi"), sys.argv[1],
                                                  insecure=True, timeout=20)
            print(reply.status, reply.response.decode())
        """)
        out = subprocess.run([sys.executable, "-c", code, address], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=60)
        assert out.returncode == 0, out.stderr.decode()
        assert out.stdout.split() == [b"7", b"hi!"]
