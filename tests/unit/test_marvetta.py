"""The message module: descriptors, registration and wire format."""
import ast
import os
import subprocess
import sys
import textwrap

import pytest

import marvetta
from google.protobuf import descriptor_pb2, descriptor_pool, json_format, symbol_database
from locations import REPO

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free

SCHEMA_DIR = os.path.join(REPO, "schema")

# Byte ranges of the three definitions inside the serialized file.
OFFSETS = {
    "CommonRequest": (24, 95),
    "CommonResponse": (97, 147),
    "CommonService": (149, 223),
}


def _protoc_generated_source(tmp_path):
    grpc_tools = pytest.importorskip("grpc_tools.protoc")
    rc = grpc_tools.main(["protoc", "-I" + SCHEMA_DIR, "--python_out=" + str(tmp_path),
                          os.path.join(SCHEMA_DIR, "common.proto")])
    assert rc == 0
    return (tmp_path / "common_pb2.py").read_text(encoding="utf-8")


def _embedded_descriptor(source):
    """The serialized file descriptor protoc embeds in its generated module."""
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Call):
            name = getattr(node.func, "attr", getattr(node.func, "id", ""))
            if name == "AddSerializedFile":
                return ast.literal_eval(node.args[0])
            for kw in node.keywords:
                if kw.arg == "serialized_pb":
                    return ast.literal_eval(kw.value)
    raise AssertionError("no serialized descriptor in protoc output")


def _top_level_ranges(data):
    """(field number, start, end) of each length-delimited top-level field."""
    out, i = [], 0
    while i < len(data):
        key, shift = 0, 0
        while True:
            b = data[i]
            i += 1
            key |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                break
        assert key & 7 == 2, "FileDescriptorProto holds only length-delimited fields here"
        length, shift = 0, 0
        while True:
            b = data[i]
            i += 1
            length |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                break
        out.append((key >> 3, i, i + length))
        i += length
    return out


class TestDescriptor:
    def test_serialized_file_is_what_protoc_generates(self, tmp_path):
        generated = _embedded_descriptor(_protoc_generated_source(tmp_path))
        assert len(generated) == 243
        assert marvetta.DESCRIPTOR.serialized_pb == generated

    def test_definition_offsets(self, tmp_path):
        data = marvetta.DESCRIPTOR.serialized_pb
        ranges = _top_level_ranges(data)
        # name, package, two messages, service, options, syntax: in that order
        assert [r[0] for r in ranges] == [1, 2, 4, 4, 6, 8, 12]
        found = {}
        for number, start, end in ranges:
            if number == 4:
                found[descriptor_pb2.DescriptorProto.FromString(data[start:end]).name] = (start, end)
            elif number == 6:
                found[descriptor_pb2.ServiceDescriptorProto.FromString(data[start:end]).name] = (start, end)
        assert found == OFFSETS
        # protoc records the same offsets in the code it generates
        source = _protoc_generated_source(tmp_path)
        for name, (start, end) in OFFSETS.items():
            assert "_%s']._serialized_start=%d" % (name.upper(), start) in source
            assert "_%s']._serialized_end=%d" % (name.upper(), end) in source
        # and descriptors that carry them (pure-Python protobuf) agree
        for name, desc in (("CommonRequest", marvetta._COMMONREQUEST),
                           ("CommonResponse", marvetta._COMMONRESPONSE),
                           ("CommonService", marvetta._COMMONSERVICE)):
            if getattr(desc, "_serialized_start", None) is not None:
                assert (desc._serialized_start, desc._serialized_end) == OFFSETS[name]

    def test_schema_contents(self):
        proto = descriptor_pb2.FileDescriptorProto.FromString(marvetta.DESCRIPTOR.serialized_pb)
        assert (proto.name, proto.package, proto.syntax) == ("common.proto", "common", "proto3")
        assert proto.options.go_package == "./common"
        fields = {m.name: [(f.name, f.number, f.type, f.label) for f in m.field]
                  for m in proto.message_type}
        assert fields == {
            "CommonRequest": [("request_id", 1, 9, 1), ("request", 2, 12, 1), ("serialize", 3, 13, 1)],
            "CommonResponse": [("status", 1, 5, 1), ("response", 2, 12, 1)],
        }
        (service,) = proto.service
        (method,) = service.method
        assert (method.name, method.input_type, method.output_type) == (
            "handle", ".common.CommonRequest", ".common.CommonResponse")
        assert method.HasField("options") and method.options.ByteSize() == 0
        assert not method.client_streaming and not method.server_streaming

    def test_names_by_name(self):
        d = marvetta.DESCRIPTOR
        assert sorted(d.message_types_by_name) == ["CommonRequest", "CommonResponse"]
        assert list(d.services_by_name) == ["CommonService"]
        service = d.services_by_name["CommonService"]
        assert service.full_name == "common.CommonService"
        assert [m.name for m in service.methods] == ["handle"]
        method = service.methods_by_name["handle"]
        assert method.full_name == "common.CommonService.handle"
        assert method.input_type is marvetta._COMMONREQUEST
        assert method.output_type is marvetta._COMMONRESPONSE

    def test_field_descriptors(self):
        req = marvetta._COMMONREQUEST
        assert req.full_name == "common.CommonRequest"
        assert [(f.name, f.full_name, f.index, f.number, f.type) for f in req.fields] == [
            ("request_id", "common.CommonRequest.request_id", 0, 1, 9),
            ("request", "common.CommonRequest.request", 1, 2, 12),
            ("serialize", "common.CommonRequest.serialize", 2, 3, 13),
        ]
        resp = marvetta._COMMONRESPONSE
        assert [(f.name, f.index, f.number, f.type, f.default_value) for f in resp.fields] == [
            ("status", 0, 1, 5, 0), ("response", 1, 2, 12, b"")]


class TestModule:
    def test_docstring_and_name_order(self):
        assert marvetta.__doc__ == "Generated protocol buffer code."
        names = [n for n in vars(marvetta) if not n.startswith("__")]
        assert names == ["_descriptor", "_message", "_reflection", "_symbol_database", "_sym_db",
                         "DESCRIPTOR", "_COMMONREQUEST", "_COMMONRESPONSE", "CommonRequest",
                         "CommonResponse", "_COMMONSERVICE"]

    def test_registered_once_in_default_pool(self):
        pool = descriptor_pool.Default()
        assert pool.FindMessageTypeByName("common.CommonRequest") is marvetta._COMMONREQUEST
        assert pool.FindServiceByName("common.CommonService") is marvetta._COMMONSERVICE
        assert symbol_database.Default().GetSymbol("common.CommonResponse") is marvetta.CommonResponse
        import importlib
        assert importlib.import_module("marvetta") is marvetta

    def test_message_classes(self):
        for cls in (marvetta.CommonRequest, marvetta.CommonResponse):
            assert cls.__module__ == "marvetta"
            assert type(cls).__name__ == "GeneratedProtocolMessageType" or "MessageMeta" in type(cls).__name__
        assert marvetta.CommonRequest.DESCRIPTOR is marvetta._COMMONREQUEST
        assert marvetta.CommonResponse.DESCRIPTOR is marvetta._COMMONRESPONSE


class TestWireFormat:
    def test_default_request_is_empty(self):
        r = marvetta.CommonRequest()
        assert (r.request_id, r.request, r.serialize) == ("", b"", 0)
        assert r.SerializeToString() == b""

    def test_negative_status_is_ten_byte_varint(self):
        data = marvetta.CommonResponse(status=-1).SerializeToString()
        assert data == b"\x08" + b"\xff" * 9 + b"\x01"
        assert marvetta.CommonResponse.FromString(data).status == -1

    def test_round_trip_by_keyword(self):
        req = marvetta.CommonRequest(request=b'{"a": 1}', serialize=3, request_id="abc")
        again = marvetta.CommonRequest.FromString(req.SerializeToString())
        assert (again.request, again.serialize, again.request_id) == (b'{"a": 1}', 3, "abc")

    def test_json_mapping_uses_field_names(self):
        text = json_format.MessageToJson(marvetta.CommonResponse(status=-1, response=b"hi"),
                                         preserving_proto_field_name=True)
        assert text == '{\n  "status": -1,\n  "response": "aGk="\n}'

    @pytest.mark.parametrize("kwargs,error", [
        ({"request_id": 1}, TypeError),
        ({"serialize": -1}, ValueError),
        ({"serialize": 2 ** 32}, ValueError),
        ({"status": 2 ** 31}, ValueError),
    ])
    def test_library_validates_fields(self, kwargs, error):
        cls = marvetta.CommonResponse if "status" in kwargs else marvetta.CommonRequest
        with pytest.raises(error):
            cls(**kwargs)


def test_pure_python_protobuf_builds_descriptors_directly():
    code = textwrap.dedent("""
        import marvetta
        from google.protobuf.internal import api_implementation
        assert api_implementation.Type() == "python", api_implementation.Type()
        d = marvetta._COMMONREQUEST
        assert (d._serialized_start, d._serialized_end) == (24, 95)
        assert (marvetta._COMMONSERVICE._serialized_start, marvetta._COMMONSERVICE._serialized_end) == (149, 223)
        assert marvetta.DESCRIPTOR._options is None
        assert sorted(marvetta.DESCRIPTOR.message_types_by_name) == ["CommonRequest", "CommonResponse"]
        r = marvetta.CommonRequest(request=b"x", serialize=3, request_id="id")
        assert marvetta.CommonRequest.FromString(r.SerializeToString()) == r
        assert marvetta.CommonResponse(status=-1).SerializeToString() == b"\\x08" + b"\\xff" * 9 + b"\\x01"
        print("ok")
    """)
    env = dict(os.environ, PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION="python")
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    assert out.returncode == 0, out.stderr.decode()
    assert out.stdout.strip() == b"ok"
