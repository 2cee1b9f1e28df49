// Declarations shared by the sources of sorvane.corvex.
//
// The module is split by concern: rpc_log.cpp (call-logging decorator),
// dispatch.cpp (CommonService), server.cpp (GrpcServer), client.cpp (Server,
// GrpcClient, grpc_client), helper.cpp (GrpcHelper, GrpcException) and
// decorator.cpp (grpc_service); module.cpp imports what the module uses and
// defines the names in their documented order. Each concern keeps the Python
// objects it needs (interned names, snapshots of host functions for guarded
// fast paths) in its own part of the module state.
#pragma once

#include "classes.hpp"
#include "module.hpp"

#include "client_state.hpp"
#include "json_state.hpp"
#include "server_state.hpp"

namespace sorvane::corvex {

using namespace sorvane::native;

struct State {
    bool constructed = false;
    JsonState json;
    ServerState server;
    ClientState client;
    int traverse(visitproc visit, void* arg) noexcept {
        if (int rc = json.traverse(visit, arg)) return rc;
        if (int rc = server.traverse(visit, arg)) return rc;
        return client.traverse(visit, arg);
    }
    void clear() noexcept {
        json.clear();
        server.clear();
        client.clear();
    }
};

inline State& state(FunctionObject* f) noexcept { return state_of<State>(f); }
inline State& state(PyObject* module) noexcept { return module_state<State>(module); }

// Fill each concern's state once the module's imports are bound (module.cpp).
void init_json_state(PyObject* module, JsonState& st);
void init_server_state(PyObject* module, ServerState& st);
void init_client_state(PyObject* module, ClientState& st);

// Both message-size limits by default, in bytes (256 MiB): the server
// runtime's max_message_length and every client channel's.
constexpr long kMaxMessageLength = 268435456;

// d[key] or nullptr (borrowed); throws only on a failing comparison.
inline PyObject* dict_get(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw PyErrAlreadySet{};
    return v;
}

// An optional setting stored in an instance's own __dict__ only when it was
// given (`tls`, `token`): a new reference, or none when absent or None.
Ref instance_setting(PyObject* instance, const char* name);  // client.cpp

// The exposure check of a guarded dispatcher (exposure.cpp). exposure_of
// gives the service's `_exposure` table (borrowed) or nullptr; the two
// refusals give the reason a call is refused (new reference) or none, and
// path_refusal sets `invoke` to the callable on acceptance; refuse hands the
// reason to the service's _refused, which raises.
PyObject* exposure_of(PyObject* service);
Ref module_refusal(PyObject* exposure, PyObject* name);
Ref path_refusal(PyObject* exposure, PyObject* name, PyObject* module, PyObject* method,
                 Ref& invoke);
[[noreturn]] void refuse(PyObject* service, PyObject* context, PyObject* request,
                         PyObject* reason);
void define_exposure_check(PyObject* module);

// Each binds its name(s) in the module namespace; called in this order.
void define_rpc_log(PyObject* module);          // rpc_log.cpp
void define_Server(PyObject* module);           // client.cpp
void define_CommonService(PyObject* module);    // dispatch.cpp
void define_GrpcClient(PyObject* module);       // client.cpp
void define_GrpcServer(PyObject* module);       // server.cpp
void define_GrpcException(PyObject* module);    // helper.cpp
void define_grpc_service(PyObject* module);     // decorator.cpp
void define_GrpcHelper(PyObject* module);       // helper.cpp
void define_grpc_client(PyObject* module);      // client.cpp: the shared registry

}  // namespace sorvane::corvex
