// Call helpers and the remote-failure exception: GrpcException and GrpcHelper.
//
// call_rpc writes one call description and sends it through whatever stub it
// is given; call_rpc_result also opens the result envelope. Module-level names
// (uuid, marvetta, GrpcException, json) are looked up at every call; the
// request identifier is made natively only while uuid.uuid4 and what it uses
// are the objects bound at import. Nothing here catches, logs or retries:
// every failure leaves as the host raised it.
#include "corvex.hpp"
#include "jsoncodec.hpp"

#include <cstring>

namespace sorvane::corvex {
namespace {

const char kCallRpcDoc[] =
    "\n        common call rpc\n        Args:\n            rpc_client:\n            clazz:\n"
    "            method:\n            args:\n            kwargs:\n            request_id:\n"
    "            serialize:\n\n        Returns:\n\n        ";

// ---- GrpcException ----------------------------------------------------------

// Sets exc_type, then message. The base initialiser is not called: the
// positional arguments are already in `args` (BaseException.__new__ keeps them).
Ref GrpcException_init(FunctionObject* self, PyObject* const* argv) {
    ClientState& st = client_state(self);
    setattr(argv[0], st[Name::exc_type], argv[1]);
    setattr(argv[0], st[Name::message], argv[2]);
    return Ref::borrow(Py_None);
}
const FunctionDef GrpcException_init_def = {
    "__init__", "GrpcException.__init__", nullptr, {"self", "exc_type", "message"},
    GrpcException_init, nullptr};

// ---- GrpcHelper ---------------------------------------------------------------

// The native identifier is checked against the uuid module of each host
// version up to this one; newer hosts call uuid.uuid4().
#define SORVANE_NATIVE_UUID (PY_VERSION_HEX < 0x030E0000)

// What uuid.uuid4().hex computes: 16 bytes of os.urandom with the version (4)
// and variant (RFC 4122) bits set, as 32 lowercase hexadecimal digits. An
// empty Ref when urandom gave something else (then the host path decides).
Ref native_uuid4_hex(const ClientState& st) {
    Ref raw = call(st.urandom.get(), {st.sixteen.get()});
    if (!PyBytes_CheckExact(raw.get()) || PyBytes_GET_SIZE(raw.get()) != 16) return Ref();
    unsigned char b[16];
    std::memcpy(b, PyBytes_AS_STRING(raw.get()), 16);
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    static const char digits[] = "0123456789abcdef";
    char text[32];
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = digits[b[i] >> 4];
        text[2 * i + 1] = digits[b[i] & 0x0f];
    }
    return check(PyUnicode_FromStringAndSize(text, 32));
}

// uuid.uuid4().hex, through the module-level `uuid`: natively while the uuid
// and os objects involved are the ones bound at import.
Ref new_request_id(FunctionObject* self, const ClientState& st) {
#if SORVANE_NATIVE_UUID
    if (guards_hold(st.uuid_guards, globals_of(self)))
        if (Ref hex = native_uuid4_hex(st)) return hex;
#endif
    Ref uuid = client_global(self, Name::uuid);
    Ref uuid4 = getattr(uuid.get(), st[Name::uuid4]);
    Ref value = call(uuid4.get());
    return getattr(value.get(), st[Name::hex]);
}

// dict(kwargs): a new dict whatever dict() accepts (mapping or key/value pairs).
Ref copy_kwargs(PyObject* kwargs) {
    if (PyDict_CheckExact(kwargs)) return check(PyDict_Copy(kwargs));
    return call(reinterpret_cast<PyObject*>(&PyDict_Type), {kwargs});
}

// Returns the CommonResponse as the stub returned it; borrows everything.
Ref GrpcHelper_call_rpc(FunctionObject* self, PyObject* const* argv) {
    enum { cls, rpc_client, clazz, method, args, kwargs, request_id, serialize };
    ClientState& st = client_state(self);
    Ref rid = argv[request_id] == Py_None ? new_request_id(self, st)
                                          : Ref::borrow(argv[request_id]);
    PyObject* args_value = argv[args] == Py_None ? st.empty_tuple.get() : argv[args];
    Ref kwargs_copy = argv[kwargs] == Py_None ? check(PyDict_New()) : copy_kwargs(argv[kwargs]);

    Ref description = check(PyDict_New());
    check(PyDict_SetItem(description.get(), st[Name::clazz], argv[clazz]));
    check(PyDict_SetItem(description.get(), st[Name::method], argv[method]));
    check(PyDict_SetItem(description.get(), st[Name::args], args_value));
    check(PyDict_SetItem(description.get(), st[Name::kwargs], kwargs_copy.get()));
    Ref body = json_dumps_utf8(self, description.get());

    Ref marvetta = client_global(self, Name::marvetta);
    Ref request_class = getattr(marvetta.get(), st[Name::CommonRequest]);
    Ref request = call_kw(request_class.get(), {}, st.kw_request.get(),
                          {body.get(), argv[serialize], rid.get()});
    Ref handle = getattr(argv[rpc_client], st[Name::handle]);
    return call(handle.get(), {request.get()});
}
const FunctionDef GrpcHelper_call_rpc_def = {
    "call_rpc", "GrpcHelper.call_rpc", kCallRpcDoc,
    {"cls", "rpc_client", "clazz", "method", "args", "kwargs", "request_id", "serialize"},
    GrpcHelper_call_rpc, nullptr};

// response.response decoded as strict UTF-8.
Ref decode_envelope_text(const ClientState& st, PyObject* response) {
    Ref raw = getattr(response, st[Name::response]);
    if (PyBytes_CheckExact(raw.get()))
        return check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()),
                                          nullptr));
    return call(getattr(raw.get(), st[Name::decode]).get(), {st[Name::utf_8]});
}

bool equals(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// The envelope's "result" on status 0; otherwise raises GrpcException (status
// -1 in the response or the envelope) or Exception("unknown grpc exception").
Ref GrpcHelper_call_rpc_result(FunctionObject* self, PyObject* const* argv) {
    enum { cls, rpc_client, clazz, method, args, kwargs, request_id };
    ClientState& st = client_state(self);
    // Through cls, so a subclass's call_rpc is the one used.
    Ref call_rpc = getattr(argv[cls], st[Name::call_rpc]);
    Ref response = call_kw(call_rpc.get(), {argv[rpc_client]}, st.kw_call_rpc.get(),
                           {argv[clazz], argv[method], argv[args], argv[kwargs], argv[request_id]});
    Ref status = getattr(response.get(), st[Name::status]);
    Ref text = decode_envelope_text(st, response.get());
    Ref envelope = json_loads_text(self, text.get());

    if (equals(mapping_get(st, envelope.get(), st[Name::status]).get(), st.zero.get()))
        return mapping_get(st, envelope.get(), st[Name::result]);
    if (equals(status.get(), st.minus_one.get()) ||
        equals(mapping_get(st, envelope.get(), st[Name::status]).get(), st.minus_one.get())) {
        Ref exc_class = client_global(self, Name::GrpcException);
        Ref exc_type = mapping_get(st, envelope.get(), st[Name::excType]);
        Ref message = mapping_get(st, envelope.get(), st[Name::message]);
        Ref exc = call(exc_class.get(), {exc_type.get(), message.get()});
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        throw PyErrAlreadySet{};
    }
    raise(PyExc_Exception, "unknown grpc exception");
}
const FunctionDef GrpcHelper_call_rpc_result_def = {
    "call_rpc_result", "GrpcHelper.call_rpc_result", nullptr,
    {"cls", "rpc_client", "clazz", "method", "args", "kwargs", "request_id"},
    GrpcHelper_call_rpc_result, nullptr};

}  // namespace

void init_uuid_guards(PyObject* module, ClientState& st) {
#if SORVANE_NATIVE_UUID
    GuardSet& set = st.uuid_guards;
    PyObject* module_ns = PyModule_GetDict(module);
    PyObject* uuid = add_guard(set, module_ns, nullptr, "uuid");
    if (!uuid || !PyModule_Check(uuid)) return;
    PyObject* ns = PyModule_GetDict(uuid);
    // uuid4() is UUID(bytes=os.urandom(16), version=4); .hex formats UUID.int.
    if (!add_guard(set, module_ns, ns, "uuid4")) return;
    PyObject* cls = add_guard(set, module_ns, ns, "UUID");
    if (!cls || !PyType_Check(cls)) return;
    PyObject* cls_ns = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    if (!add_guard(set, module_ns, cls_ns, "__init__") || !add_guard(set, module_ns, cls_ns, "hex"))
        return;
    PyObject* os = add_guard(set, module_ns, ns, "os");
    if (!os || !PyModule_Check(os)) return;
    PyObject* urandom = add_guard(set, module_ns, PyModule_GetDict(os), "urandom");
    if (!urandom) return;
    st.urandom = Ref::borrow(urandom);
    set.enabled = true;
#else
    (void)module, (void)st;
#endif
}

void define_GrpcException(PyObject* m) {
    Ref bases = check(PyTuple_Pack(1, PyExc_Exception));
    Ref cls = make_class(m, "GrpcException", bases.get(), nullptr,
                         method(m, GrpcException_init_def));
    bind(m, "GrpcException", cls.get());
}

void define_GrpcHelper(PyObject* m) {
    Ref three = check(PyLong_FromLong(3));
    Ref call_rpc_defaults = defaults({Py_None, Py_None, Py_None, three.get()});
    Ref call_rpc_result_defaults = defaults({Py_None, Py_None, Py_None});
    Ref cls = make_class(m, "GrpcHelper", nullptr, nullptr,
                         class_method(m, GrpcHelper_call_rpc_def, call_rpc_defaults.get()),
                         class_method(m, GrpcHelper_call_rpc_result_def,
                                      call_rpc_result_defaults.get()));
    bind(m, "GrpcHelper", cls.get());
}

}  // namespace sorvane::corvex
