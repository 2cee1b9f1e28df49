// The Python binding of the native engine (the extension sorvane._native):
// what its source files share. Below it is the platform layer, behind
// transport.hpp (no Python there); above it, sorvane.native.
//
//   binding.cpp             threads entering Python, conversions, callback threads
//   servicer_context.cpp    ServicerContext: the context of one server-side call
//   server_binding.cpp      ServerHost: a server host running Python handlers
//   handler_resolution.cpp  which method handler serves a call
//   handler_run.cpp         running a call's handler, and its reply
//   handler_stream.cpp      a streaming handler's messages, parked and resumed
//   deferred_reply.cpp      DeferredReply: answering a call whose reply comes later
//   channel_binding.cpp     ChannelHost, ClientCall, ClientStream: a channel host
//   unary_unary.cpp         UnaryUnary: a channel's unary-unary callable
//   module.cpp              the module and its functions
//
// Waiting without the GIL: Py_BEGIN/END_ALLOW_THREADS, always outside any C++
// try block and any noexcept frame. A daemon thread that takes the GIL back
// while the interpreter finalizes is ended by the host through stack
// unwinding, which a catch (...) or a noexcept frame would turn into abort().
// So the entry points convert their arguments inside entry(), wait in plain
// code, and convert results inside entry() again.
#pragma once

#include "transport.hpp"

#include "py.hpp"
#include "ref.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sorvane::support {
struct WireApi;  // wire_api.hpp
}

namespace sorvane::native::binding {

using namespace ::sorvane::support;

// ---- threads entering Python ---------------------------------------------------

// Cleared when the interpreter exits (module function _finalize).
extern std::atomic<bool> g_alive;

// Whether a thread that is not Python's may take the GIL now: the engine has
// not been told the interpreter is exiting, and finalization has not begun
// (a thread asking for the GIL then would be ended inside our frames).
bool python_usable() noexcept;

// Counts, for a scope, a thread of ours running Python code. Exit waits for
// none to run (wait_no_handlers), as grpcio's thread pools are joined: a
// thread still in Python when the interpreter finalizes is ended in mid-call.
struct HandlerRunning {
    HandlerRunning();
    ~HandlerRunning();
    HandlerRunning(const HandlerRunning&) = delete;
    HandlerRunning& operator=(const HandlerRunning&) = delete;
};

// True once no thread of ours runs Python code (false when `seconds` passed
// first). Call without the GIL.
bool wait_no_handlers(double seconds);

// Holds the GIL for a scope on a thread that is not Python's.
class GilAcquire {
public:
    GilAcquire() : state_(PyGILState_Ensure()) {}
    ~GilAcquire() { PyGILState_Release(state_); }
    GilAcquire(const GilAcquire&) = delete;
    GilAcquire& operator=(const GilAcquire&) = delete;

private:
    PyGILState_STATE state_;
};

// Holds the GIL for a scope on a server host thread. The thread keeps one
// Python thread state for its whole life (made on first use, freed by
// release_host_thread_state when the thread ends): creating and deleting one
// per call would cost more than the rest of the call's Python work.
class HostGil {
public:
    HostGil();
    ~HostGil();
    HostGil(const HostGil&) = delete;
    HostGil& operator=(const HostGil&) = delete;
};

void release_host_thread_state();

// Runs `task` on a callback thread: user callbacks (a server call's
// add_callback, a future's done callbacks) run there, so that a slow one
// holds up neither a server's workers nor the loops every channel shares.
void call_later(std::function<void()> task);

// ---- conversions -----------------------------------------------------------------

// A static type of this module, described once: readied by PyInit.
PyTypeObject new_type(const char* name, Py_ssize_t size, destructor dealloc,
                      PyMethodDef* methods, const char* doc, initproc init = nullptr);

std::string bytes_of(PyObject* o, const char* what);
// A received message for corvex's wire path: bytes when small, else a
// sorvane._native.Message holding the engine's own buffer (a read-only buffer
// object; no copy of a large message). `bytes` is moved from either way.
constexpr size_t kMessageInPlace = 64 * 1024;
Ref received_message(std::string&& bytes);
// A message to send made of `message`, exact bytes or the message in parts
// (support::is_parts): copied when small, else lent to the engine, which
// keeps the reference until it has sent it.
Payload lent_payload(Ref message);
// Drops a reference to a Python object later, on a callback thread (with the
// GIL): for threads that must not wait for it.
void decref_later(void* object);
PyTypeObject* message_type();
bool is_binary_key(const std::string& key);
Metadata metadata_from(PyObject* seq);
Ref metadata_to(const Metadata& md, PyObject* item_type = nullptr);
std::vector<ChannelArg> channel_args_from(PyObject* seq);
bool tls_from(PyObject* o, TlsConfig& tls);
double timeout_from(PyObject* o);
int wait_for_ready_from(PyObject* o);
int status_number(PyObject* code);

// The one mapping of the engine's errors to Python's: ValueError for the
// caller's input, RuntimeError for the system's. set_error leaves it set
// (for plain code, which then returns NULL); raise_error throws it.
void set_error(const Error& error) noexcept;
[[noreturn]] void raise_error(const Error& error);
Ref py_text(const std::string& s);
PyObject* new_ref(PyObject* o);
void store(PyObject*& slot, PyObject* value);

// ---- the types ---------------------------------------------------------------------

struct ServicerContextObject {
    PyObject_HEAD
    InboundCall* call;   // valid while the handler runs; NULL afterwards
    PyObject* support;   // the server's support object (metadata type, logging)
    PyObject* code;      // StatusCode or None
    PyObject* details;   // bytes or None
    PyObject* trailing;  // metadata or None
    PyObject* callbacks; // list or None
    PyObject* metadata;  // cached invocation metadata
    PyObject* peer;      // cached peer text
    char aborted;
    double remaining;    // time left when the handler ended
    int has_deadline;
};

// Returns a new context for `call`; borrows support.
Ref new_servicer_context(InboundCall* call, PyObject* support);

// Calls each item of `callbacks` (a list) with no arguments, logging what
// they raise through support.log_exception; on a callback thread. Steals both.
void run_callbacks(PyObject* callbacks, PyObject* support);

// Cuts the context off its call once the handler is done (servicer_context.cpp).
void detach_context(ServicerContextObject* c);

struct ChannelHostObject {
    PyObject_HEAD
    std::shared_ptr<ChannelHost>* host;
};

std::shared_ptr<ChannelHost> channel_of(ChannelHostObject* self);

struct CallArgs {
    std::string method;
    Payload body;
    double timeout;
    Metadata metadata;
    int wait_for_ready;
};

// Starts a blocking unary call and waits for it without the GIL, in slices
// so that a signal (Ctrl-C) can end the wait: the call is then cancelled and
// the handler's exception raised. nullptr with an exception set on failure.
// Plain code, not noexcept (see above).
std::shared_ptr<PendingCall> wait_unary(ChannelHost& channel, CallArgs& a);

// Starts a unary call whose on_done (a callable, or None) is called with no
// arguments on a completion thread once it is done; returns its ClientCall.
Ref start_call(ChannelHostObject* self, CallArgs& a, PyObject* on_done);
// Starts a unary call whose end hands `item` to `waker` (a Waker) from the
// thread that ends it; returns its ClientCall.
Ref start_woken(ChannelHostObject* self, CallArgs& a, PyObject* waker, PyObject* item);
// The call of a ClientCall; TypeError for anything else.
std::shared_ptr<PendingCall> pending_of(PyObject* client_call);

PyTypeObject* servicer_context_type();
PyTypeObject* server_host_type();
PyTypeObject* deferred_reply_type();
PyTypeObject* channel_host_type();
PyTypeObject* client_call_type();
PyTypeObject* client_stream_type();
PyTypeObject* unary_unary_type();
// The capsule sorvane._native._wire_api (wire_api.hpp in cpp/support).
PyObject* channel_wire_api();
PyTypeObject* waker_type();

// ---- a server's handlers -------------------------------------------------------------

// What one method path resolves to, read off its method handler once.
struct Resolved {
    Ref handler;       // the method handler; None when nothing serves the path
    Ref behavior;      // unary_unary or unary_stream
    Ref deserializer;  // request_deserializer (None: the bytes as they are)
    Ref serializer;    // response_serializer
    bool streaming = false;
    bool request_streaming = false;
    // corvex's own dispatcher: served from the request's bytes (wire_api.hpp).
    const support::WireApi* wire = nullptr;
    // A token gate in front of the handler: the call must carry gate_key with
    // the value gate_value, or the gate itself is asked (and refuses).
    std::string gate_key;
    std::string gate_value;
};

// The Python objects a server's handlers need; touched only with the GIL.
struct ServerPython {
    Ref handlers;       // list of generic handlers (shared with the wrapper)
    Ref registered;     // dict: full method path -> method handler
    Ref dict_type;      // grpc's dictionary generic handler type, or None
    Ref support;        // metadatum, call_details(), handler_failed(), log_exception()
    Ref pending_type;   // support.pending_type: a handler's reply to come (or empty)
    // Method paths whose answer cannot change while the handlers stay as they
    // are: found among the registered handlers or in a dictionary handler
    // (behind token gates only) before any other generic handler was asked.
    std::unordered_map<std::string, std::shared_ptr<const Resolved>> cache;
    const support::WireApi* wire = nullptr;  // corvex's, once it was found
};

// What serves one call (handler_resolution.cpp).
std::shared_ptr<const Resolved> resolve(ServerPython& py, InboundCall& call);

// Running a handler and making its reply (handler_run.cpp); never throw.
void log_exception(ServerPython& py, const char* text);
void set_reply(Reply& reply, int code, const char* details);
void reply_from_context(ServerPython& py, ServicerContextObject* c, Reply& reply,
                        int default_code, const std::string& default_details);
void reply_from_failure(ServerPython& py, ServicerContextObject* c, Reply& reply, bool iterating);
void reply_with_response(ServerPython& py, ServicerContextObject* c, PyObject* serializer,
                         Ref response, Reply& reply, bool serialized_already = false);
void run_handler(const std::shared_ptr<ServerPython>& pyp, InboundCall& call, Reply& reply);
// Throws (PyErrAlreadySet) when the serializer fails or gives no bytes.
std::string serialized(PyObject* serializer, Ref response);

// A streaming handler's messages (handler_stream.cpp).
bool stream_responses(const std::shared_ptr<ServerPython>& pyp, PyObject* serializer,
                      ServicerContextObject* c, PyObject* responses, InboundCall& call,
                      Reply& reply);
void resume_stream(InboundCall& call);

// The handler returned a reply to come (deferred_reply.cpp).
void defer_reply(const std::shared_ptr<ServerPython>& py, const Resolved& r, InboundCall& call,
                 PyObject* context, PyObject* pending, Reply& reply);

}  // namespace sorvane::native::binding
