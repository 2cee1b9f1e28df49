// sorvane.corvex: module initialisation.
//
// Imports, in order, the host facilities the framework uses, then marvetta and
// brindlow by their top-level names, then gRPC and protobuf's JSON mapping and
// the selected transport engine (sorvane.engine), all bound as module-level
// names (looked up again at every call); binds the two loggers; then defines
// the framework's names in their documented order. Nothing else happens at
// import: no logging configuration, no server, no channel.
#include "corvex.hpp"

namespace sorvane::corvex {
namespace {

const char kModuleDoc[] =
    "RPC framework over one generic gRPC method: dispatcher, server runtime, client "
    "registry, call helpers, the remote-call decorator and the call-logging decorator.";

void exec_corvex(PyObject* m) {
    const struct { const char* bound; const char* module; } host_modules[] = {
        {"functools", "functools"}, {"importlib", "importlib"}, {"inspect", "inspect"},
        {"json", "json"},           {"logging", "logging"},     {"sys", "sys"},
        {"time", "time"},           {"traceback", "traceback"}, {"uuid", "uuid"},
        {"futures", "concurrent.futures"},
    };
    for (const auto& h : host_modules) bind(m, h.bound, import(h.module).get());
    bind(m, "marvetta", import("marvetta").get());
    bind(m, "brindlow", import("brindlow").get());
    bind(m, "grpc", import("grpc").get());
    bind(m, "json_format", import("google.protobuf.json_format").get());
    // The transport engine of this process: grpcio's `grpc` module itself, or
    // the native engine's module offering the same server() and
    // insecure_channel(). Servers and channels are made through it.
    Ref engine = import("sorvane.engine");
    bind(m, "transport", call(getattr(engine.get(), "transport").get()).get());

    Ref logging = getattr(m, "logging");
    Ref get_logger = getattr(logging.get(), "getLogger");
    bind(m, "logger", call(get_logger.get(), {str("sorvane.corvex").get()}).get());
    bind(m, "rpc_logger", call(get_logger.get(), {str("rpc_log").get()}).get());

    init_state(m, state(m));

    define_rpc_log(m);
    define_Server(m);
    define_CommonService(m);
    define_GrpcClient(m);
    define_GrpcServer(m);
    define_GrpcException(m);
    define_grpc_service(m);
    define_GrpcHelper(m);
    define_grpc_client(m);
    define_exposure_check(m);
    define_cbor(m);
    define_wire_api(m);
}

PyModuleDef corvex_def = {
    PyModuleDef_HEAD_INIT, "sorvane.corvex", kModuleDoc, sizeof(State), nullptr, nullptr,
    module_state_traverse<State>, module_state_clear<State>, module_state_free<State>,
};

}  // namespace
}  // namespace sorvane::corvex

SORVANE_MODINIT(corvex) {
    using namespace sorvane::corvex;
    return init_module<State>(&corvex_def, exec_corvex);
}
