// Declarations shared by the sources of sorvane.corvex.
//
// The module is split by concern: rpc_log.cpp (call-logging decorator),
// dispatch.cpp (CommonService; awaited.cpp and stream.cpp end its awaited and
// streamed calls), server.cpp (GrpcServer), client.cpp (Server, GrpcClient,
// grpc_client), helper.cpp (GrpcHelper, GrpcException), decorator.cpp
// (grpc_service), json.cpp (the host JSON codec as the framework calls it;
// json_loads.cpp its loads side), cbor.cpp (the binary codec; cbor_encode.cpp
// and cbor_decode.cpp write and read it), exposure.cpp (the guard's check);
// state.cpp fills the module state and holds the helpers the sources share,
// and module.cpp imports what the module uses and defines the names in their
// documented order.
#pragma once

#include "classes.hpp"
#include "module.hpp"
#include "wire_api.hpp"

#include <cstdint>
#include <string>

namespace sorvane::corvex {

using namespace sorvane::support;

// Both message-size limits by default, in bytes (256 MiB): the server
// runtime's max_message_length and every client channel's.
constexpr long kMaxMessageLength = 268435456;
// The longest pause between connection attempts of a client channel.
constexpr long kMaxReconnectBackoffMs = 1000;
// The serialization code of the binary codec (CBOR) in CommonRequest.serialize;
// every other code means JSON.
constexpr long kCborCode = 8949;  // the number of the RFC that defines CBOR

// Every interned name of the module: X(identifier, text).
#define SORVANE_NAMES(X)                                                                    \
    X(time, "time") X(inspect, "inspect") X(signature, "signature") X(json, "json")          \
    X(json_format, "json_format") X(MessageToJson, "MessageToJson") X(loads, "loads") X(dumps, "dumps")        \
    X(rpc_logger, "rpc_logger") X(debug, "debug") X(isEnabledFor, "isEnabledFor")            \
    X(underscore_log, "_log") X(logger_cache, "_cache") X(disabled, "disabled")               \
    X(request_id, "request_id") X(status, "status")                \
    X(response, "response") X(request, "request") X(decode, "decode") X(clazz, "clazz")     \
    X(method, "method") X(args, "args") X(kwargs, "kwargs") X(message, "message")            \
    X(excType, "excType") X(result, "result") X(msg, "msg") X(data, "data") X(get, "get")    \
    X(split, "split") X(clazz_handler, "clazz_handler") X(importlib, "importlib")            \
    X(import_module, "import_module") X(marvetta, "marvetta")                                \
    X(CommonResponse, "CommonResponse") X(CommonRequest, "CommonRequest") X(sys, "sys")      \
    X(exc_info, "exc_info") X(traceback, "traceback") X(print_exception, "print_exception")  \
    X(dunder_name, "__name__") X(dunder_module, "__module__") X(dunder_spec, "__spec__")     \
    X(initializing, "_initializing") X(functools, "functools") X(wraps, "wraps")             \
    X(arguments, "arguments") X(bind, "bind") X(type, "type") X(function, "function")       \
    X(process_time, "process_time") X(futures, "futures")                                    \
    X(ThreadPoolExecutor, "ThreadPoolExecutor") X(max_workers, "max_workers")                \
    X(transport, "transport") X(server, "server") X(max_message_length, "max_message_length") \
    X(rpc_server, "rpc_server") X(brindlow, "brindlow")                                      \
    X(add_servicer, "add_CommonServiceServicer_to_server") X(service, "service")             \
    X(address, "address") X(add_insecure_port, "add_insecure_port") X(start, "start")       \
    X(logger, "logger") X(info, "info") X(run_background, "run_background") X(run_blocking, "run_blocking") X(stop, "stop")      \
    X(sleep, "sleep") X(CommonService, "CommonService") X(rpc_log, "rpc_log")                \
    X(CommonServiceServicer, "CommonServiceServicer") X(modules, "modules")                  \
    X(channel, "channel") X(host, "host") X(port, "port") X(addr, "addr")                    \
    X(channel_attr, "_channel") X(insecure_channel, "insecure_channel")                      \
    X(options, "options") X(CommonServiceStub, "CommonServiceStub") X(close, "close")        \
    X(stubs, "stubs") X(server_address, "server_address") X(uuid, "uuid") X(uuid4, "uuid4")  \
    X(hex, "hex") X(serialize, "serialize") X(handle, "handle") X(call_rpc, "call_rpc")      \
    X(utf_8, "utf-8") X(GrpcException, "GrpcException") X(exc_type, "exc_type")             \
    X(grpc_client, "grpc_client") X(connect, "connect") X(GrpcHelper, "GrpcHelper")          \
    X(call_rpc_result, "call_rpc_result") X(parameters, "parameters") X(cls, "cls")          \
    X(dunder_qualname, "__qualname__") X(dunder_wrapped, "__wrapped__")                      \
    X(dunder_signature, "__signature__") X(dunder_text_signature, "__text_signature__")     \
    X(partialmethod_private, "_partialmethod") X(dunder_partialmethod, "__partialmethod__") \
    X(timeout, "timeout") X(stub_timeout, "_sorvane_timeout") X(stub_serialize, "_sorvane_serialize") X(metadata, "metadata") X(exposure, "_exposure")   \
    X(metrics, "_metrics") X(enter, "enter") X(record, "record") X(ok, "ok")               \
    X(raised, "raised") X(refused, "refused") X(failed, "failed")                            \
    X(time_remaining, "time_remaining") X(wait_for_ready, "wait_for_ready")                \
    X(stub_wait_for_ready, "_sorvane_wait_for_ready") X(stub_retrying, "_sorvane_retrying")  \
    X(target_header, "sorvane-target") X(stub_channel, "_sorvane_channel")                 \
    X(sorvane_aio, "sorvane.aio") X(serve_private, "_serve")

enum class Name {
#define SORVANE_NAME_ENUM(id, text) id,
    SORVANE_NAMES(SORVANE_NAME_ENUM)
#undef SORVANE_NAME_ENUM
    count_
};
using N = Name;
constexpr int kNameCount = static_cast<int>(Name::count_);

// One snapshot of a fast path's guard: `ns[name] is expected` must still hold
// (`ns` none: corvex's own namespace), and when `expected` is a function (or
// a property, class or static method over one) its __code__ must still be
// `code`. An entry without a name instead requires the dict `ns` to keep
// `size` entries (so that nothing is added to a class or instance dict).
struct Snapshot {
#define SORVANE_SNAPSHOT_REFS(X) X(ns) X(name) X(expected) X(func) X(code)
#define SORVANE_FIELD(f) Ref f;
    SORVANE_SNAPSHOT_REFS(SORVANE_FIELD)
#undef SORVANE_FIELD
    Py_ssize_t size = 0;
    mutable std::uint64_t stamp = 0;  // the namespace's change stamp when last verified
    bool always = false;  // an instance's dict: looked up at every check
};

// The one guard mechanism of every fast path: the snapshots of everything the
// host's own code would read at call time. A fast path runs only while its
// guard is armed (every snapshot was taken, and the feature test of the path
// passed) and holds; otherwise the host's objects are called as bound.
struct Guard {
    static constexpr int kMax = 16;
    Snapshot items[kMax];
    int count = 0;
    bool armed = false;
    bool failed = false;  // a snapshot could not be taken: never arm

    // Snapshots ns[name] now (`ns` null: corvex's namespace `module_ns`) and
    // returns it, borrowed; nullptr (and the guard will not arm) when unbound.
    PyObject* watch(PyObject* module_ns, PyObject* ns, const char* name);
    // The dict `d` must keep its number of entries.
    void watch_size(PyObject* d);
    // The last `n` snapshots are of an instance's own dict, whose changes do
    // not all show in its stamp: they are looked up at every check.
    void always_check(int n) noexcept {
        for (int i = count - n; i < count; ++i)
            if (i >= 0) items[i].always = true;
    }
    // Arms the guard when every snapshot was taken and `feature_ok`.
    void arm(bool feature_ok) noexcept { armed = feature_ok && !failed; }
    bool holds(PyObject* module_ns) const;

    int traverse(visitproc visit, void* arg) noexcept {
        for (int i = 0; i < count; ++i) {
#define SORVANE_VISIT(f) Py_VISIT(items[i].f.get());
            SORVANE_SNAPSHOT_REFS(SORVANE_VISIT)
#undef SORVANE_VISIT
        }
        return 0;
    }
    void clear() noexcept {
        for (int i = 0; i < count; ++i) items[i] = Snapshot{};
        count = 0;
        armed = false;
    }
};

// The module state: every field is listed once, here, and the list drives the
// declarations, traverse and clear.
#define SORVANE_STATE_REFS(X)                                                               \
    /* texts and numbers */                                                                 \
    X(empty) X(dot) X(spec_6f) X(suffix_s) X(ellipsis) X(rpc_log_text) X(colon) X(running)  \
    X(send_limit) X(receive_limit) X(minus_one) X(zero) X(sixteen) X(debug_level) X(one_day) \
    X(head_4096) X(empty_tuple) X(dotted)                                                   \
    /* keyword-name tuples of host calls */                                                 \
    X(kw_preserving) X(kw_response_status) X(kw_max_workers) X(kw_options)                  \
    X(kw_ensure_ascii) X(kw_call_rpc) X(kw_call_rpc_result) X(kw_request) X(kw_timeout)     \
    X(kw_call_rpc_timeout) X(kw_call_rpc_result_timeout) X(kw_stand_in) X(kw_newline)                                                                       \
    /* templates copied per call, never seen by a caller */                                 \
    X(placeholder) X(envelope)                                                               \
    /* objects of the host and of this module, taken at import */                           \
    X(sys_dict) X(request_class) X(response_class) X(service_class) X(default_clazz_handler) \
    X(request_serialize) X(response_from_string)                                             \
    X(logger_class) X(logger_is_enabled_for) X(logger_log) X(logger_debug)                   \
    X(encoder) X(markers) X(scan_once) X(decoder) X(decoder_type) X(ok_prefix) X(record_function) X(urandom) X(deadline) X(b2a_base64) X(monotonic) \
    X(codec_error) X(default_serialize) X(codecs_metadata) X(json_code)                     \
    /* taken on first use */                                                                 \
    X(unary_callable) X(aio_module)
#define SORVANE_STATE_GUARDS(X) \
    X(dumps) X(loads) X(record) X(logger) X(importer) X(signature) X(request_id)

struct State {
    bool constructed = false;
    // The native engine's wire path for calls (helper.cpp), once found.
    const support::ChannelWireApi* channel_wire = nullptr;
    bool ready = false;         // filled by init_state, emptied by clear()
    bool encoder_busy = false;  // the shared encoder is running (GIL held)
    Ref names[kNameCount];
#define SORVANE_FIELD(f) Ref f;
    SORVANE_STATE_REFS(SORVANE_FIELD)
#undef SORVANE_FIELD
#define SORVANE_FIELD(g) Guard g;
    SORVANE_STATE_GUARDS(SORVANE_FIELD)
#undef SORVANE_FIELD

    PyObject* operator[](Name n) const noexcept { return names[static_cast<int>(n)].get(); }

    int traverse(visitproc visit, void* arg) noexcept {
        for (Ref& r : names) Py_VISIT(r.get());
#define SORVANE_VISIT(f) Py_VISIT(f.get());
        SORVANE_STATE_REFS(SORVANE_VISIT)
#undef SORVANE_VISIT
#define SORVANE_VISIT(g) \
    if (int rc = g.traverse(visit, arg)) return rc;
        SORVANE_STATE_GUARDS(SORVANE_VISIT)
#undef SORVANE_VISIT
        return 0;
    }
    void clear() noexcept {
        ready = false;
        channel_wire = nullptr;
        for (Ref& r : names) r.reset();
#define SORVANE_CLEAR(f) f.reset();
        SORVANE_STATE_REFS(SORVANE_CLEAR)
#undef SORVANE_CLEAR
#define SORVANE_CLEAR(g) g.clear();
        SORVANE_STATE_GUARDS(SORVANE_CLEAR)
#undef SORVANE_CLEAR
    }
};

// ---- shared helpers (state.cpp) ---------------------------------------------

// Fills the state once the module's imports are bound (module.cpp).
void init_state(PyObject* module, State& st);

// The state of the module that defined `f`; RuntimeError once the module has
// been cleared (interpreter shutdown).
State& state_of(FunctionObject* f);
inline State& state(PyObject* module) noexcept { return module_state<State>(module); }

// The module-level name `n` of corvex, looked up now (NameError when unbound).
Ref global(FunctionObject* f, Name n);

// sorvane.aio, as `import sorvane.aio` gives it: the module imported once is
// kept, and taken again while sys.modules still holds that same object (a
// module that was run to its end stays so); anything else is imported anew.
Ref aio_module(State& st);

// obj.__dict__[name] (a new reference) or none: an entry of the instance's own
// dict, never a class attribute.
Ref own_entry(PyObject* obj, PyObject* name);

// d[key] or nullptr (borrowed); throws only on a failing comparison.
PyObject* dict_get(PyObject* d, PyObject* key);

// mapping.get(key) (`with_default`: mapping.get(key, None)): a look-up for an
// exact dict, the object's own `get` otherwise (AttributeError without one).
Ref mapping_get(const State& st, PyObject* mapping, PyObject* key, bool with_default = false);

// getattr(o, name). An exact module answers a name that is not a dunder from
// its namespace directly: for such a name the module type has no descriptor,
// so that is what attribute lookup finds first. Anything else goes through
// getattr (module __getattr__ included).
Ref attr(PyObject* o, PyObject* name);


// The namespace of a module (borrowed), or nullptr for anything else.
PyObject* module_dict(PyObject* o);
// The own namespace of a type (a new reference), or none for anything else.
Ref type_dict(PyObject* o);
// Appends the UTF-8 of the str `text`.
void append_utf8(std::string& out, PyObject* text);

// The keyword-only `tls` and `token` of a Server entry or a GrpcServer, set as
// attributes only when given (so that one without them is what it always
// was): `tls` must be a sorvane.security.<tls_class>, `token` passes
// sorvane.security.check_token.
void set_security(PyObject* obj, PyObject* tls, PyObject* token, const char* tls_class);

// An optional setting stored in an instance's own __dict__ only when it was
// given (`tls`, `token`): a new reference, or none when absent or None.
Ref instance_setting(PyObject* instance, const char* name);

// The host JSON codec (json.cpp, json_loads.cpp), through the module-level
// `json` as bound at the time of the call: json.dumps(obj, ensure_ascii=False)
// as text or as its UTF-8 bytes, and json.loads(text).
Ref json_dumps_text(FunctionObject* caller, PyObject* obj);
Ref json_dumps_utf8(FunctionObject* caller, PyObject* obj);
Ref json_loads_text(FunctionObject* caller, PyObject* text);
// json.loads(body.decode("utf-8")) for a message's bytes field, read straight
// from the bytes where the fast path allows.
Ref json_loads_body(FunctionObject* caller, PyObject* body);
// json_loads_body of `size` bytes at `data` (a field of a larger message).
Ref json_loads_view(FunctionObject* caller, const char* data, Py_ssize_t size);
// The UTF-8 text of a result envelope; `result` is given when the envelope is
// that of a successful call (status 0, empty message and excType), whose text
// is then made around the result's alone (bench/bench_dispatch.py).
Ref json_dumps_envelope(FunctionObject* caller, PyObject* envelope, PyObject* result);
// The UTF-8 text of the call description {"clazz", "method", "args", "kwargs"}
// (kwargs nullptr: an empty dict), written directly when every part is plain
// and json.dumps is the host's; none (nothing set) otherwise.
Ref json_dumps_description(FunctionObject* caller, PyObject* clazz, PyObject* method,
                           PyObject* args, PyObject* kwargs);
void init_json(PyObject* module, State& st);
// Shared by json.cpp and json_loads.cpp: the module-level `json` as bound now
// (NameError when unbound); the first byte from `p` on that a JSON string
// cannot hold as it is (json.cpp); the `loads` guard's snapshots and feature
// test, false when it must stay disarmed (json_loads.cpp).
Ref lookup_json(FunctionObject* caller, const State& st);
const char* plain_end(const char* p, const char* end, bool stop_high) noexcept;
bool snapshot_loads(PyObject* ns, State& st, PyObject* json_ns);

// The binary codec (cbor_encode.cpp, cbor_decode.cpp, cbor.cpp):
// cbor_dumps(value) -> bytes, cbor_loads(data) -> value (CodecError, a
// ValueError, for input it does not accept); is_cbor(code): whether a
// serialization code selects it.
Ref cbor_dumps(PyObject* value);
// cbor_dumps for the native engine's wire path: bytes, or for a value holding
// a bytes object of kLendFrom bytes or more, the encoding in parts (a tuple
// of bytes objects, each such value one of them, uncopied), which the engine
// sends one after the other. is_parts: whether `o` is such a tuple;
// parts_size: the length of the whole (of bytes or parts); gather: `n` bytes
// of parts from `from` on (fewer at their end); flatten: bytes or parts as
// one bytes object.
constexpr Py_ssize_t kLendFrom = 1024 * 1024;
Ref cbor_dumps_parts(PyObject* value);
using support::is_parts;
Py_ssize_t parts_size(PyObject* o) noexcept;
Ref gather(PyObject* o, Py_ssize_t from, Py_ssize_t n);
Ref flatten(PyObject* o);
Ref cbor_loads(const State& st, PyObject* data);
// cbor_loads of `size` bytes at `data`, which lie in `owner`, bytes or another
// read-only buffer (a field of a larger message, read where it lies).
Ref cbor_loads_view(const State& st, PyObject* owner, const char* data, Py_ssize_t size);
bool is_cbor(PyObject* code);
// The serialization code a call sends: `code` as given, or for the default
// (sorvane.codec.DEFAULT) the stub's own `_sorvane_serialize`, else 3.
Ref effective_code(const State& st, PyObject* code, PyObject* stub);
void define_cbor(PyObject* module);

// The timeout a sorvane call made now gets: the smaller of `timeout` (None:
// no limit) and the time left of the sorvane call being served on this
// context, if any (helper.cpp). Raises DEADLINE_EXCEEDED when none is left.
Ref effective_timeout(const State& st, PyObject* timeout);

// The exposure check of a guarded dispatcher (exposure.cpp): the two
// refusals give the reason a call is refused (new reference) or none, and
// path_refusal sets `invoke` to the callable on acceptance; the two told
// texts are what the client hears instead, made of the clazz and method it
// sent (new references); refuse hands reason and text to the service's
// _refused, which raises.
Ref module_refusal(PyObject* exposure, PyObject* name);
Ref path_refusal(PyObject* exposure, PyObject* name, PyObject* module, PyObject* method,
                 Ref& invoke);
Ref module_told(PyObject* clazz);
Ref path_told(PyObject* clazz, PyObject* method);
[[noreturn]] void refuse(PyObject* service, PyObject* context, PyObject* request,
                         PyObject* reason, PyObject* told);
void define_exposure_check(PyObject* module);

// The body of CommonService.handle before rpc_log wraps it; rpc_log.cpp knows
// the dispatcher's own function by this FunctionDef.
extern const FunctionDef CommonService_handle_def;

// ---- the native engine's wire path (wire.cpp) ----------------------------------

// The request a call of handle serves: the CommonRequest object itself, or, on
// the wire path, the fields read off its bytes. The object is then made of
// those fields (the message the engine would have made of the bytes: they
// held these fields and nothing else) only when something asks for it. On
// the wire path a reply comes back as the serialized CommonResponse, its two
// fields kept for the call's record.
class Request {
public:
    explicit Request(PyObject* object) : object_(Ref::borrow(object)) {}
    // On the wire path, the body read where it lies: `size` bytes at `data`,
    // within the buffer `held` exports (taken over, released with the request).
    Request(Ref request_id, Py_buffer* held, const char* data, Py_ssize_t size, unsigned long serialize)
        : wire_(true), request_id_(std::move(request_id)), held_(*held), holding_(true),
          data_(data), size_(size), serialize_(serialize) {}
    ~Request() {
        if (holding_) PyBuffer_Release(&held_);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    bool wire() const noexcept { return wire_; }
    PyObject* object(const State& st);  // borrowed
    bool cbor(const State& st);         // its serialize is CBOR's code
    Ref body(const State& st);          // request.request
    // The body's bytes where they lie, and what holds them (wire path only:
    // false on the other).
    bool body_view(const char** data, Py_ssize_t* size, PyObject** holder) const noexcept;
    PyObject* request_id() const noexcept { return request_id_.get(); }  // wire path only

    // The wire path's reply, once handle made it (see respond in dispatch.cpp):
    // the serialized response, and where in it the response's bytes lie.
    long reply_status = 0;
    Ref reply;
    Py_ssize_t reply_at = 0;
    Py_ssize_t reply_size = 0;

private:
    Ref object_;
    bool wire_ = false;
    Ref request_id_;
    Py_buffer held_{};    // the buffer that holds the body at data_
    bool holding_ = false;
    const char* data_ = nullptr;
    Py_ssize_t size_ = 0;
    unsigned long serialize_ = 0;
};

// A message body from this size on is moved in place within its bytes
// object rather than copied into another (when nothing else holds it).
constexpr Py_ssize_t kBodyInPlace = 64 * 1024;

// Protocol buffers' base-128 varints: the bytes one takes, writing one (the
// end of it returned), reading one (false when the input ends inside it or it
// runs past 64 bits).
size_t varint_size(std::uint64_t v) noexcept;
char* put_varint(char* w, std::uint64_t v) noexcept;
bool get_varint(const unsigned char*& p, const unsigned char* end, std::uint64_t* v) noexcept;

// A CommonResponse serialized as CommonResponse.SerializeToString writes it
// (its fields in number order, those at their default left out); `body` is
// moved into place when nothing else holds it, so that a large one is not
// copied. *at is where the body lies in the result.
Ref wire_response(long status, Ref body, Py_ssize_t* at);

// handle(service, request, context) as CommonService.handle runs it, for a
// request of either kind (dispatch.cpp); on the wire path the reply of a call
// answered at once is the serialized CommonResponse.
Ref handle_request(FunctionObject* handle, PyObject* service, Request& request,
                   PyObject* context);
// rpc_log's wrapper of `wrapper` (the dispatcher's own handle as rpc_log
// wraps it) around handle_request, for a request on the wire path (rpc_log.cpp).
Ref rpc_log_wire(FunctionObject* wrapper, PyObject* service, Request& request,
                 PyObject* context);
// Whether `o` is a wrapper rpc_log made (rpc_log.cpp).
bool is_rpc_log_wrapper(PyObject* o) noexcept;
void define_wire_api(PyObject* module);  // wire.cpp: the capsule

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
