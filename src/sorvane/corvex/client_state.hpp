// Module state of the client side of corvex (registry, helpers, grpc_service).
//
// Interned names and keyword tuples for the hot paths, and two guard sets:
// snapshots of the host objects behind `inspect.signature(f).bind(...)` (for
// the native argument binder of grpc_service) and behind `uuid.uuid4().hex`
// (for the native request identifier of call_rpc). A native path runs only
// while every object of its set is still bound where it was at import, with
// the same code, so a program that replaces any of them gets the host's own
// behaviour at once. No other Python object is kept.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace sorvane::native {
struct FunctionObject;
}

namespace sorvane::corvex {

using native::Ref;

// Interned texts used by the client sources: X(identifier, text).
#define SORVANE_CLIENT_NAMES(X)                                                             \
    X(server, "server") X(channel, "channel") X(host, "host") X(port, "port")              \
    X(addr, "addr") X(channel_attr, "_channel") X(transport, "transport")                            \
    X(insecure_channel, "insecure_channel") X(options, "options") X(brindlow, "brindlow")  \
    X(CommonServiceStub, "CommonServiceStub") X(close, "close") X(stubs, "stubs")          \
    X(server_address, "server_address") X(get, "get") X(uuid, "uuid") X(uuid4, "uuid4")   \
    X(hex, "hex") X(clazz, "clazz") X(method, "method") X(args, "args")                    \
    X(kwargs, "kwargs") X(request_id, "request_id") X(request, "request")                  \
    X(serialize, "serialize") X(marvetta, "marvetta") X(CommonRequest, "CommonRequest")    \
    X(handle, "handle") X(call_rpc, "call_rpc") X(status, "status")                        \
    X(response, "response") X(result, "result") X(excType, "excType")                      \
    X(message, "message") X(decode, "decode") X(utf_8, "utf-8")                            \
    X(GrpcException, "GrpcException") X(exc_type, "exc_type") X(grpc_client, "grpc_client") \
    X(connect, "connect") X(GrpcHelper, "GrpcHelper") X(call_rpc_result, "call_rpc_result") \
    X(inspect, "inspect") X(signature, "signature") X(bind, "bind")                        \
    X(arguments, "arguments") X(parameters, "parameters") X(cls, "cls")                    \
    X(functools, "functools") X(wraps, "wraps") X(dunder_module, "__module__")             \
    X(dunder_qualname, "__qualname__") X(dunder_wrapped, "__wrapped__")                    \
    X(dunder_signature, "__signature__") X(dunder_text_signature, "__text_signature__")    \
    X(partialmethod_private, "_partialmethod") X(dunder_partialmethod, "__partialmethod__")

enum class Name {
#define SORVANE_NAME_ENUM(id, text) id,
    SORVANE_CLIENT_NAMES(SORVANE_NAME_ENUM)
#undef SORVANE_NAME_ENUM
    count_
};

constexpr int kNameCount = static_cast<int>(Name::count_);

// One snapshot: `name` in a namespace must still be `expected`, and when that
// is a function (or a property, class method or static method over one, whose
// function cannot be swapped), that function's __code__ must still be `code`.
struct Guard {
    Ref ns;  // a module's or class's dict; none: the namespace of corvex itself
    Ref name;
    Ref expected;
    Ref func;
    Ref code;
};

struct GuardSet {
    static constexpr int kMax = 24;
    Guard items[kMax];
    int count = 0;
    bool enabled = false;  // every snapshot was taken

    int traverse(visitproc visit, void* arg) noexcept {
        for (int i = 0; i < count; ++i) {
            Py_VISIT(items[i].ns.get());
            Py_VISIT(items[i].name.get());
            Py_VISIT(items[i].expected.get());
            Py_VISIT(items[i].func.get());
            Py_VISIT(items[i].code.get());
        }
        return 0;
    }
    void clear() noexcept {
        enabled = false;
        for (int i = 0; i < count; ++i) items[i] = Guard{};
        count = 0;
    }
};

struct ClientState {
    bool ready = false;  // filled by init_client_state, emptied by clear()
    Ref names[kNameCount];
    Ref kw_call_rpc;         // ("clazz", "method", "args", "kwargs", "request_id")
    Ref kw_call_rpc_result;  // ("clazz", "method", "args", "kwargs")
    Ref kw_request;          // ("request", "serialize", "request_id")
    Ref kw_options;          // ("options",)
    Ref empty_tuple;
    Ref zero;
    Ref minus_one;
    Ref sixteen;
    Ref urandom;   // os.urandom as uuid.uuid4 reaches it at import (see uuid_guards)
    Ref keywords;  // frozenset of the host's reserved words (names inspect refuses)

    GuardSet binder_guards;  // inspect.signature(f).bind(...), decorator.cpp
    GuardSet uuid_guards;    // uuid.uuid4().hex, helper.cpp

    PyObject* operator[](Name n) const noexcept { return names[static_cast<int>(n)].get(); }

    int traverse(visitproc visit, void* arg) noexcept {
        for (Ref& r : names) Py_VISIT(r.get());
        for (Ref* r : {&kw_call_rpc, &kw_call_rpc_result, &kw_request, &kw_options, &empty_tuple,
                       &zero, &minus_one, &sixteen, &urandom, &keywords})
            Py_VISIT(r->get());
        if (int rc = binder_guards.traverse(visit, arg)) return rc;
        return uuid_guards.traverse(visit, arg);
    }
    void clear() noexcept {
        ready = false;
        for (Ref& r : names) r.reset();
        for (Ref* r : {&kw_call_rpc, &kw_call_rpc_result, &kw_request, &kw_options, &empty_tuple,
                       &zero, &minus_one, &sixteen, &urandom, &keywords})
            r->reset();
        binder_guards.clear();
        uuid_guards.clear();
    }
};

// Shared by client.cpp, helper.cpp and decorator.cpp (defined in client.cpp).
// The client state of the module that defined `f`; raises RuntimeError once the
// module has been torn down.
ClientState& client_state(native::FunctionObject* f);
// A module-level name of corvex, looked up now; NameError when unbound.
Ref client_global(native::FunctionObject* f, Name n);
// mapping.get(key): a look-up for exact dicts, the mapping's own `get`
// otherwise (AttributeError for a value that has none).
Ref mapping_get(const ClientState& st, PyObject* mapping, PyObject* key);

// Snapshots `name` as bound in `ns` now (`ns` null: corvex's own namespace,
// `module_ns`). Returns the object, borrowed, or nullptr when it is unbound or
// the set is full (the set then stays disabled).
PyObject* add_guard(GuardSet& set, PyObject* module_ns, PyObject* ns, const char* name);
// True while every snapshot of an enabled set holds; `module_ns` is corvex's
// namespace now.
bool guards_hold(const GuardSet& set, PyObject* module_ns);

// Take the snapshots of each guard set (decorator.cpp, helper.cpp).
void init_binder_guards(PyObject* module, ClientState& st);
void init_uuid_guards(PyObject* module, ClientState& st);

}  // namespace sorvane::corvex
