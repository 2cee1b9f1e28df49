// Module state of the server side of corvex (rpc_log, CommonService, GrpcServer).
//
// Interned names, keyword tuples and constants for the hot paths, and the
// snapshots that guard the native shortcuts: the objects bound at import (the
// host modules and the functions of theirs that rpc_log's record needs,
// importlib.import_module, the message classes, the logging Logger class and
// two of its methods, CommonService and its default clazz handler). A shortcut
// runs only while every guard still holds; anything else takes the path that
// calls the host's objects exactly as bound. Nothing here is rebound after the
// module's initialisation.
#pragma once

#include "ref.hpp"

namespace sorvane::native {
struct FunctionObject;
struct FunctionDef;
}  // namespace sorvane::native

namespace sorvane::corvex {

using native::Ref;

// Interned texts used by the server sources: X(identifier, text).
#define SORVANE_SERVER_NAMES(X)                                                             \
    X(time, "time") X(inspect, "inspect") X(signature, "signature")                         \
    X(json_format, "json_format") X(MessageToJson, "MessageToJson") X(json, "json")         \
    X(loads, "loads") X(rpc_logger, "rpc_logger") X(debug, "debug")                         \
    X(isEnabledFor, "isEnabledFor") X(underscore_log, "_log") X(request_id, "request_id") X(status, "status")         \
    X(response, "response") X(request, "request") X(decode, "decode") X(clazz, "clazz")    \
    X(method, "method") X(args, "args") X(kwargs, "kwargs") X(message, "message")           \
    X(excType, "excType") X(result, "result") X(msg, "msg") X(data, "data") X(get, "get")   \
    X(split, "split") X(clazz_handler, "clazz_handler") X(importlib, "importlib")           \
    X(import_module, "import_module") X(marvetta, "marvetta")                               \
    X(CommonResponse, "CommonResponse") X(sys, "sys") X(exc_info, "exc_info")               \
    X(traceback, "traceback") X(print_exception, "print_exception")                         \
    X(dunder_name, "__name__") X(dunder_module, "__module__") X(dunder_spec, "__spec__")    \
    X(initializing, "_initializing") X(functools, "functools") X(wraps, "wraps")            \
    X(arguments, "arguments") X(bind, "bind") X(type, "type") X(function, "function")      \
    X(process_time, "process_time") X(futures, "futures")                                   \
    X(ThreadPoolExecutor, "ThreadPoolExecutor") X(max_workers, "max_workers")               \
    X(transport, "transport") X(server, "server") X(max_message_length, "max_message_length")         \
    X(rpc_server, "rpc_server") X(brindlow, "brindlow")                                     \
    X(add_servicer, "add_CommonServiceServicer_to_server") X(service, "service")            \
    X(address, "address") X(add_insecure_port, "add_insecure_port") X(start, "start")      \
    X(logger, "logger") X(info, "info") X(run_background, "run_background")                 \
    X(run_blocking, "run_blocking") X(stop, "stop") X(sleep, "sleep")                       \
    X(CommonService, "CommonService") X(rpc_log, "rpc_log")                                 \
    X(CommonServiceServicer, "CommonServiceServicer") X(modules, "modules")

enum class ServerName {
#define SORVANE_SERVER_NAME_ENUM(id, text) id,
    SORVANE_SERVER_NAMES(SORVANE_SERVER_NAME_ENUM)
#undef SORVANE_SERVER_NAME_ENUM
    count_
};

constexpr int kServerNameCount = static_cast<int>(ServerName::count_);

struct ServerState {
    bool ready = false;  // filled by init_server_state, emptied by clear()
    Ref names[kServerNameCount];

    // Texts and numbers.
    Ref empty;          // ""
    Ref dot;            // "."
    Ref utf_8;          // "utf-8"
    Ref spec_6f;        // ".6f"
    Ref suffix_s;       // "s"
    Ref ellipsis;       // "..."
    Ref rpc_log_text;   // "rpc_log"
    Ref colon;          // ":"
    Ref running;        // "grpc server running, listen on "
    Ref send_limit;     // "grpc.max_send_message_length"
    Ref receive_limit;  // "grpc.max_receive_message_length"
    Ref minus_one, zero, debug_level, one_day;
    Ref head_4096;      // slice(None, 4096)
    Ref kw_preserving;  // ("preserving_proto_field_name",)
    Ref kw_response_status;  // ("response", "status")
    Ref kw_max_workers;      // ("max_workers",)
    Ref kw_options;          // ("options",)
    Ref empty_tuple;
    Ref placeholder;  // {"status": "", "msg": "", "data": ""}, copied per call
    Ref envelope;     // {"status": 0, "message": "", "excType": "", "result": None}, copied
    Ref sys_dict;     // the namespace of the sys module (sys.modules lives there)

    // Snapshots taken at import (see the file header).
    Ref json, json_loads;
    Ref json_format, message_to_json;
    Ref inspect, inspect_signature;
    Ref importlib, import_module;
    Ref logger_class, logger_debug, logger_is_enabled_for, logger_log;
    Ref request_class, response_class;
    Ref service_class, default_clazz_handler;  // CommonService and its class method

    PyObject* operator[](ServerName n) const noexcept {
        return names[static_cast<int>(n)].get();
    }

    template <class F>
    void each(F&& f) noexcept {
        for (Ref& r : names) f(r);
        for (Ref* r : {&empty, &dot, &utf_8, &spec_6f, &suffix_s, &ellipsis, &rpc_log_text,
                       &colon, &running, &send_limit, &receive_limit, &minus_one, &zero,
                       &debug_level, &one_day, &head_4096, &kw_preserving, &kw_response_status,
                       &kw_max_workers, &kw_options, &empty_tuple, &placeholder, &envelope,
                       &sys_dict, &json, &json_loads,
                       &json_format, &message_to_json, &inspect, &inspect_signature, &importlib,
                       &import_module, &logger_class, &logger_debug, &logger_is_enabled_for, &logger_log,
                       &request_class, &response_class, &service_class,
                       &default_clazz_handler})
            f(*r);
    }
    int traverse(visitproc visit, void* arg) noexcept {
        int rc = 0;
        each([&](Ref& r) {
            if (!rc && r) rc = visit(r.get(), arg);
        });
        return rc;
    }
    void clear() noexcept {
        ready = false;
        each([](Ref& r) { r.reset(); });
    }
};

// The body of CommonService.handle before rpc_log wraps it; rpc_log.cpp knows
// the dispatcher's own function by this FunctionDef.
extern const native::FunctionDef CommonService_handle_def;

// The server state of the module that defined `f`; raises RuntimeError once
// the module has been cleared (interpreter shutdown).
ServerState& server_state(native::FunctionObject* f);

// The module-level name `n` of corvex, looked up now (NameError when unbound).
Ref server_global(native::FunctionObject* f, const ServerState& st, ServerName n);

// getattr(o, name). An exact module answers a name that is not a dunder from
// its namespace directly: for such a name the module type has no descriptor,
// so that is what attribute lookup finds first. A miss, any other object or a
// dunder name goes through getattr (module __getattr__ included).
Ref attr(PyObject* o, PyObject* name);

}  // namespace sorvane::corvex
