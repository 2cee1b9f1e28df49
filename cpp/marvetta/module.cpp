// marvetta: the protobuf messages of common.proto.
//
// Builds the file, message and service descriptors of the schema, registers
// them with protobuf's default symbol database and defines the message classes
// CommonRequest and CommonResponse. It holds no logic of its own: every
// behaviour of the messages is the protobuf library's. Where the library lets
// descriptors be constructed directly (its pure-Python implementation) they are
// built field by field; where it forbids that (the upb and C++ backends) the
// same names are bound to the descriptors the default pool builds from the
// serialized file below.
#include "module.hpp"

#include <vector>

namespace {

using namespace sorvane::support;

const char kModuleDoc[] = "Generated protocol buffer code.";

// FileDescriptorProto of common.proto, as protoc serializes it (243 bytes).
const unsigned char kSerializedFile[] = {
    0x0a, 0x0c, 0x63, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x2e, 0x70, 0x72, 0x6f, 0x74, 0x6f, 0x12, 0x06,
    0x63, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x22, 0x47, 0x0a, 0x0d, 0x43, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e,
    0x52, 0x65, 0x71, 0x75, 0x65, 0x73, 0x74, 0x12, 0x12, 0x0a, 0x0a, 0x72, 0x65, 0x71, 0x75, 0x65,
    0x73, 0x74, 0x5f, 0x69, 0x64, 0x18, 0x01, 0x20, 0x01, 0x28, 0x09, 0x12, 0x0f, 0x0a, 0x07, 0x72,
    0x65, 0x71, 0x75, 0x65, 0x73, 0x74, 0x18, 0x02, 0x20, 0x01, 0x28, 0x0c, 0x12, 0x11, 0x0a, 0x09,
    0x73, 0x65, 0x72, 0x69, 0x61, 0x6c, 0x69, 0x7a, 0x65, 0x18, 0x03, 0x20, 0x01, 0x28, 0x0d, 0x22,
    0x32, 0x0a, 0x0e, 0x43, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x52, 0x65, 0x73, 0x70, 0x6f, 0x6e, 0x73,
    0x65, 0x12, 0x0e, 0x0a, 0x06, 0x73, 0x74, 0x61, 0x74, 0x75, 0x73, 0x18, 0x01, 0x20, 0x01, 0x28,
    0x05, 0x12, 0x10, 0x0a, 0x08, 0x72, 0x65, 0x73, 0x70, 0x6f, 0x6e, 0x73, 0x65, 0x18, 0x02, 0x20,
    0x01, 0x28, 0x0c, 0x32, 0x4a, 0x0a, 0x0d, 0x43, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x53, 0x65, 0x72,
    0x76, 0x69, 0x63, 0x65, 0x12, 0x39, 0x0a, 0x06, 0x68, 0x61, 0x6e, 0x64, 0x6c, 0x65, 0x12, 0x15,
    0x2e, 0x63, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x2e, 0x43, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x52, 0x65,
    0x71, 0x75, 0x65, 0x73, 0x74, 0x1a, 0x16, 0x2e, 0x63, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x2e, 0x43,
    0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x52, 0x65, 0x73, 0x70, 0x6f, 0x6e, 0x73, 0x65, 0x22, 0x00, 0x42,
    0x0a, 0x5a, 0x08, 0x2e, 0x2f, 0x63, 0x6f, 0x6d, 0x6d, 0x6f, 0x6e, 0x62, 0x06, 0x70, 0x72, 0x6f,
    0x74, 0x6f, 0x33,
};
const char kFileOptions[] = "Z\x08./common";  // go_package = "./common"

struct State {
    bool constructed = false;
    int traverse(visitproc, void*) noexcept { return 0; }
    void clear() noexcept {}
};

struct FieldInfo {
    const char* name;
    int index, number, type, cpp_type;
    enum { kText, kBytes, kZero } default_kind;
};

const FieldInfo kRequestFields[] = {
    {"request_id", 0, 1, 9, 9, FieldInfo::kText},   // string
    {"request", 1, 2, 12, 9, FieldInfo::kBytes},    // bytes
    {"serialize", 2, 3, 13, 3, FieldInfo::kZero},   // uint32
};
const FieldInfo kResponseFields[] = {
    {"status", 0, 1, 5, 1, FieldInfo::kZero},       // int32
    {"response", 1, 2, 12, 9, FieldInfo::kBytes},   // bytes
};

// Keyword call `callable(**kw)` with the keywords in the order given.
Ref call_keywords(PyObject* callable, const std::vector<std::pair<const char*, PyObject*>>& kw) {
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
    std::vector<PyObject*> values;
    for (size_t i = 0; i < kw.size(); ++i) {
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), interned(kw[i].first).release());  // steals
        values.push_back(kw[i].second);
    }
    return vectorcall(callable, values.data(), 0, names.get());
}

// Builds a message descriptor directly (pure-Python protobuf only).
Ref build_message_descriptor(PyObject* descriptor_mod, PyObject* file, PyObject* create_key,
                             const char* name, const char* full_name, const FieldInfo* fields,
                             size_t nfields, long start, long end) {
    Ref field_cls = getattr(descriptor_mod, "FieldDescriptor");
    Ref field_list = check(PyList_New(0));
    for (size_t i = 0; i < nfields; ++i) {
        const FieldInfo& f = fields[i];
        std::string full = std::string(full_name) + "." + f.name;
        Ref fname = str(f.name), ffull = str(full.c_str());
        Ref index = check(PyLong_FromLong(f.index)), number = check(PyLong_FromLong(f.number));
        Ref type = check(PyLong_FromLong(f.type)), cpp = check(PyLong_FromLong(f.cpp_type));
        Ref label = check(PyLong_FromLong(1));
        Ref dflt = f.default_kind == FieldInfo::kText    ? str("")
                   : f.default_kind == FieldInfo::kBytes ? check(PyBytes_FromStringAndSize("", 0))
                                                         : check(PyLong_FromLong(0));
        Ref fd = call_keywords(field_cls.get(), {
            {"name", fname.get()}, {"full_name", ffull.get()}, {"index", index.get()},
            {"number", number.get()}, {"type", type.get()}, {"cpp_type", cpp.get()},
            {"label", label.get()}, {"has_default_value", Py_False}, {"default_value", dflt.get()},
            {"message_type", Py_None}, {"enum_type", Py_None}, {"containing_type", Py_None},
            {"is_extension", Py_False}, {"extension_scope", Py_None},
            {"serialized_options", Py_None}, {"file", file}, {"create_key", create_key}});
        check(PyList_Append(field_list.get(), fd.get()));
    }
    Ref desc_cls = getattr(descriptor_mod, "Descriptor");
    Ref n = str(name), fn = str(full_name), syntax = str("proto3");
    Ref s = check(PyLong_FromLong(start)), e = check(PyLong_FromLong(end));
    Ref empty1 = check(PyList_New(0)), empty2 = check(PyList_New(0)), empty3 = check(PyList_New(0)),
        empty4 = check(PyList_New(0)), empty5 = check(PyList_New(0));
    return call_keywords(desc_cls.get(), {
        {"name", n.get()}, {"full_name", fn.get()}, {"filename", Py_None}, {"file", file},
        {"containing_type", Py_None}, {"create_key", create_key}, {"fields", field_list.get()},
        {"extensions", empty1.get()}, {"nested_types", empty2.get()}, {"enum_types", empty3.get()},
        {"serialized_options", Py_None}, {"is_extendable", Py_False}, {"syntax", syntax.get()},
        {"extension_ranges", empty4.get()}, {"oneofs", empty5.get()},
        {"serialized_start", s.get()}, {"serialized_end", e.get()}});
}

Ref build_service_descriptor(PyObject* descriptor_mod, PyObject* file, PyObject* create_key,
                             PyObject* input, PyObject* output) {
    Ref method_cls = getattr(descriptor_mod, "MethodDescriptor");
    Ref zero = check(PyLong_FromLong(0));
    Ref mname = str("handle"), mfull = str("common.CommonService.handle");
    Ref method = call_keywords(method_cls.get(), {
        {"name", mname.get()}, {"full_name", mfull.get()}, {"index", zero.get()},
        {"containing_service", Py_None}, {"input_type", input}, {"output_type", output},
        {"serialized_options", Py_None}, {"create_key", create_key}});
    Ref methods = check(PyList_New(0));
    check(PyList_Append(methods.get(), method.get()));
    Ref service_cls = getattr(descriptor_mod, "ServiceDescriptor");
    Ref sname = str("CommonService"), sfull = str("common.CommonService");
    Ref s = check(PyLong_FromLong(149)), e = check(PyLong_FromLong(223));
    return call_keywords(service_cls.get(), {
        {"name", sname.get()}, {"full_name", sfull.get()}, {"file", file}, {"index", zero.get()},
        {"serialized_options", Py_None}, {"create_key", create_key},
        {"serialized_start", s.get()}, {"serialized_end", e.get()}, {"methods", methods.get()}});
}

// Makes one message class with the library's generated-message metaclass.
Ref make_message_class(PyObject* reflection, PyObject* message_mod, const char* name,
                       PyObject* descriptor) {
    Ref meta = getattr(reflection, "GeneratedProtocolMessageType");
    Ref base = getattr(message_mod, "Message");
    Ref bases = check(PyTuple_Pack(1, base.get()));
    Ref ns = check(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "DESCRIPTOR", descriptor));
    check(PyDict_SetItemString(ns.get(), "__module__", str("marvetta").get()));
    Ref n = str(name);
    return call(meta.get(), {n.get(), bases.get(), ns.get()});
}

void exec_marvetta(PyObject* m) {
    Ref descriptor_mod = import("google.protobuf.descriptor");
    bind(m, "_descriptor", descriptor_mod.get());
    Ref message_mod = import("google.protobuf.message");
    bind(m, "_message", message_mod.get());
    Ref reflection = import("google.protobuf.reflection");
    bind(m, "_reflection", reflection.get());
    Ref symdb_mod = import("google.protobuf.symbol_database");
    bind(m, "_symbol_database", symdb_mod.get());

    Ref sym_db = call(getattr(symdb_mod.get(), "Default").get());
    bind(m, "_sym_db", sym_db.get());

    Ref create_key = getattr(descriptor_mod.get(), "_internal_create_key");
    Ref file_cls = getattr(descriptor_mod.get(), "FileDescriptor");
    Ref fname = str("common.proto"), package = str("common"), syntax = str("proto3");
    Ref options = check(PyBytes_FromStringAndSize(kFileOptions, sizeof(kFileOptions) - 1));
    Ref serialized = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(kSerializedFile),
                                                     sizeof(kSerializedFile)));
    // With the C-backed descriptors this returns the pool's descriptor built
    // from the serialized file.
    Ref file = call_keywords(file_cls.get(), {
        {"name", fname.get()}, {"package", package.get()}, {"syntax", syntax.get()},
        {"serialized_options", options.get()}, {"create_key", create_key.get()},
        {"serialized_pb", serialized.get()}});
    bind(m, "DESCRIPTOR", file.get());

    const bool direct =
        !check(PyObject_IsTrue(getattr(descriptor_mod.get(), "_USE_C_DESCRIPTORS").get()));
    Ref request_desc, response_desc;
    if (direct) {
        request_desc = build_message_descriptor(descriptor_mod.get(), file.get(), create_key.get(),
                                                "CommonRequest", "common.CommonRequest",
                                                kRequestFields, 3, 24, 95);
        response_desc = build_message_descriptor(descriptor_mod.get(), file.get(), create_key.get(),
                                                 "CommonResponse", "common.CommonResponse",
                                                 kResponseFields, 2, 97, 147);
    } else {
        Ref by_name = getattr(file.get(), "message_types_by_name");
        request_desc = check(PyObject_GetItem(by_name.get(), str("CommonRequest").get()));
        response_desc = check(PyObject_GetItem(by_name.get(), str("CommonResponse").get()));
    }
    bind(m, "_COMMONREQUEST", request_desc.get());
    bind(m, "_COMMONRESPONSE", response_desc.get());

    if (direct) {  // the pool-built file already lists its messages (read-only map)
        Ref by_name = getattr(file.get(), "message_types_by_name");
        check(PyObject_SetItem(by_name.get(), str("CommonRequest").get(), request_desc.get()));
        check(PyObject_SetItem(by_name.get(), str("CommonResponse").get(), response_desc.get()));
    }
    call(getattr(sym_db.get(), "RegisterFileDescriptor").get(), {file.get()});

    Ref register_message = getattr(sym_db.get(), "RegisterMessage");
    Ref request_cls = make_message_class(reflection.get(), message_mod.get(), "CommonRequest",
                                         request_desc.get());
    bind(m, "CommonRequest", request_cls.get());
    call(register_message.get(), {request_cls.get()});
    Ref response_cls = make_message_class(reflection.get(), message_mod.get(), "CommonResponse",
                                          response_desc.get());
    bind(m, "CommonResponse", response_cls.get());
    call(register_message.get(), {response_cls.get()});

    if (direct) setattr(file.get(), "_options", Py_None);

    Ref service_desc;
    if (direct) {
        service_desc = build_service_descriptor(descriptor_mod.get(), file.get(), create_key.get(),
                                                request_desc.get(), response_desc.get());
    } else {
        Ref by_name = getattr(file.get(), "services_by_name");
        service_desc = check(PyObject_GetItem(by_name.get(), str("CommonService").get()));
    }
    bind(m, "_COMMONSERVICE", service_desc.get());
    call(getattr(sym_db.get(), "RegisterServiceDescriptor").get(), {service_desc.get()});
    if (direct) {
        Ref by_name = getattr(file.get(), "services_by_name");
        check(PyObject_SetItem(by_name.get(), str("CommonService").get(), service_desc.get()));
    }
}

PyModuleDef marvetta_def = {
    PyModuleDef_HEAD_INIT, "marvetta", kModuleDoc, sizeof(State), nullptr, nullptr,
    module_state_traverse<State>, module_state_clear<State>, module_state_free<State>,
};

}  // namespace

SORVANE_MODINIT(marvetta) {
    return init_module<State>(&marvetta_def, exec_marvetta);
}
