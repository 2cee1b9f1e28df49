// brindlow: the gRPC binding of the service common.CommonService.
//
// Offers the client stub, the servicer base with its "unimplemented" answer,
// the registration function and the one-shot CommonService.handle, and nothing
// else. The message classes are looked up on marvetta at each use, never
// captured at load, and gRPC is reached through the module-level name `grpc`,
// so rebinding either from Python takes effect at the next call.
#include "classes.hpp"
#include "module.hpp"

namespace {

using namespace sorvane::support;

const char kModuleDoc[] = "Client and server classes corresponding to protobuf-defined services.";
const char kClassDoc[] = "Missing associated documentation comment in .proto file.";
const char kStubInitDoc[] =
    "Constructor.\n\n        Args:\n            channel: A grpc.Channel.\n        ";
const char kServicerHandleDoc[] = "\xe5\x9f\xba\xe7\xa1\x80" "Demo\n        ";  // "基础Demo"
const char kMethodPath[] = "/common.CommonService/handle";
const char kNotImplemented[] = "Method not implemented!";
const char kMarvettaAlias[] = "_marvetta";

struct State {
    bool constructed = false;
    int traverse(visitproc, void*) noexcept { return 0; }
    void clear() noexcept {}
};

// Returns a new reference to a module-level name of brindlow.
Ref global(FunctionObject* self, const char* name) {
    return lookup_global(globals_of(self), str(name).get());
}

// An attribute of one of marvetta's message classes, looked up now.
Ref message_attr(FunctionObject* self, const char* cls, const char* attr) {
    Ref mod = global(self, kMarvettaAlias);
    return getattr(getattr(mod.get(), cls).get(), attr);
}

// ---- CommonServiceStub ------------------------------------------------------

Ref CommonServiceStub_init(FunctionObject* self, PyObject* const* argv) {
    PyObject* stub = argv[0];
    PyObject* channel = argv[1];
    Ref unary_unary = getattr(channel, "unary_unary");
    Ref serializer = message_attr(self, "CommonRequest", "SerializeToString");
    Ref deserializer = message_attr(self, "CommonResponse", "FromString");
    Ref path = str(kMethodPath);
    Ref names = kwnames({"request_serializer", "response_deserializer"});
    Ref handle = call_kw(unary_unary.get(), {path.get()}, names.get(),
                         {serializer.get(), deserializer.get()});
    setattr(stub, "handle", handle.get());
    return Ref::borrow(Py_None);
}
const FunctionDef CommonServiceStub_init_def = {
    "__init__", "CommonServiceStub.__init__", kStubInitDoc, {"self", "channel"},
    CommonServiceStub_init, nullptr};

// ---- CommonServiceServicer --------------------------------------------------

Ref CommonServiceServicer_handle(FunctionObject* self, PyObject* const* argv) {
    PyObject* context = argv[2];
    Ref grpc = global(self, "grpc");
    Ref code = getattr(getattr(grpc.get(), "StatusCode").get(), "UNIMPLEMENTED");
    call(getattr(context, "set_code").get(), {code.get()});
    call(getattr(context, "set_details").get(), {str(kNotImplemented).get()});
    raise(PyExc_NotImplementedError, kNotImplemented);
}
const FunctionDef CommonServiceServicer_handle_def = {
    "handle", "CommonServiceServicer.handle", kServicerHandleDoc, {"self", "request", "context"},
    CommonServiceServicer_handle, nullptr};

// ---- add_CommonServiceServicer_to_server ------------------------------------

Ref add_CommonServiceServicer_to_server(FunctionObject* self, PyObject* const* argv) {
    PyObject* servicer = argv[0];
    PyObject* server = argv[1];
    Ref behaviour = getattr(servicer, "handle");  // read once, now
    Ref grpc = global(self, "grpc");
    Ref deserializer = message_attr(self, "CommonRequest", "FromString");
    Ref serializer = message_attr(self, "CommonResponse", "SerializeToString");
    Ref names = kwnames({"request_deserializer", "response_serializer"});
    Ref handler = call_kw(getattr(grpc.get(), "unary_unary_rpc_method_handler").get(),
                          {behaviour.get()}, names.get(), {deserializer.get(), serializer.get()});
    Ref handlers = check(PyDict_New());
    check(PyDict_SetItemString(handlers.get(), "handle", handler.get()));
    Ref service = str("common.CommonService");
    Ref generic = call(getattr(grpc.get(), "method_handlers_generic_handler").get(),
                       {service.get(), handlers.get()});
    Ref generic_tuple = check(PyTuple_Pack(1, generic.get()));
    call(getattr(server, "add_generic_rpc_handlers").get(), {generic_tuple.get()});
    return Ref::borrow(Py_None);
}
const FunctionDef add_CommonServiceServicer_to_server_def = {
    "add_CommonServiceServicer_to_server", nullptr, nullptr, {"servicer", "server"},
    add_CommonServiceServicer_to_server, nullptr};

// ---- CommonService ----------------------------------------------------------

// grpc.experimental is a submodule that `import grpc` does not load; import it
// on first need so the one-shot call works in any process.
Ref grpc_experimental(FunctionObject* self) {
    Ref grpc = global(self, "grpc");
    PyObject* experimental = PyObject_GetAttrString(grpc.get(), "experimental");
    if (experimental) return Ref::steal(experimental);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrAlreadySet{};
    PyErr_Clear();
    import("grpc.experimental");
    return getattr(grpc.get(), "experimental");
}

Ref CommonService_handle(FunctionObject* self, PyObject* const* argv) {
    enum { request, target, options, channel_credentials, call_credentials, insecure,
           compression, wait_for_ready, timeout, metadata };
    Ref unary_unary = getattr(grpc_experimental(self).get(), "unary_unary");
    Ref path = str(kMethodPath);
    Ref serializer = message_attr(self, "CommonRequest", "SerializeToString");
    Ref deserializer = message_attr(self, "CommonResponse", "FromString");
    // insecure before call_credentials: the order gRPC's function declares.
    return call(unary_unary.get(),
                {argv[request], argv[target], path.get(), serializer.get(), deserializer.get(),
                 argv[options], argv[channel_credentials], argv[insecure], argv[call_credentials],
                 argv[compression], argv[wait_for_ready], argv[timeout], argv[metadata]});
}
const FunctionDef CommonService_handle_def = {
    "handle", "CommonService.handle", nullptr,
    {"request", "target", "options", "channel_credentials", "call_credentials", "insecure",
     "compression", "wait_for_ready", "timeout", "metadata"},
    CommonService_handle, nullptr};

// ---- module -----------------------------------------------------------------

void exec_brindlow(PyObject* m) {
    Ref grpc = import("grpc");
    bind(m, "grpc", grpc.get());
    Ref marvetta = import("marvetta");
    bind(m, kMarvettaAlias, marvetta.get());

    Ref stub = make_class(m, "CommonServiceStub", nullptr, kClassDoc,
                          method(m, CommonServiceStub_init_def));
    bind(m, "CommonServiceStub", stub.get());

    Ref servicer = make_class(m, "CommonServiceServicer", nullptr, kClassDoc,
                              method(m, CommonServiceServicer_handle_def));
    bind(m, "CommonServiceServicer", servicer.get());

    Ref add = make_function(m, add_CommonServiceServicer_to_server_def);
    bind(m, "add_CommonServiceServicer_to_server", add.get());

    Ref empty = check(PyTuple_New(0));
    Ref handle_defaults = defaults({empty.get(), Py_None, Py_None, Py_False, Py_None, Py_None,
                                    Py_None, Py_None});
    Ref service = make_class(m, "CommonService", nullptr, kClassDoc,
                             static_method(m, CommonService_handle_def, handle_defaults.get()));
    bind(m, "CommonService", service.get());
}

PyModuleDef brindlow_def = {
    PyModuleDef_HEAD_INIT, "brindlow", kModuleDoc, sizeof(State), nullptr, nullptr,
    module_state_traverse<State>, module_state_clear<State>, module_state_free<State>,
};

}  // namespace

SORVANE_MODINIT(brindlow) {
    return init_module<State>(&brindlow_def, exec_brindlow);
}
