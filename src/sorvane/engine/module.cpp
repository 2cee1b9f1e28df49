// sorvane._transport: the Python face of the native engine's platform layer.
//
// Five private types, wrapped by sorvane.native_grpc into grpcio's interfaces:
//   ServerCore   - a server host; runs the handlers registered in Python
//   ServicerContext - the context of one server-side call
//   ChannelCore  - a channel host; unary calls, blocking or with a completion,
//                  and calls with a stream of responses
//   UnaryUnary   - a channel's unary-unary callable
//   ClientCall   - a started unary call (for futures)
//   ClientStream - a started call with a stream of responses
// The GIL is held only to resolve the handler, deserialize, run it (and pull
// each streamed response from its iterator) and serialize (server) and to
// convert arguments and results (client); every wait runs without it. Threads of gRPC or of a server host enter Python only while
// the interpreter is alive (a flag cleared at exit, before finalization).
#include "transport.hpp"

#include "ref.hpp"
#include "py.hpp"

#include <structmember.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <system_error>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace sorvane::native;
using namespace sorvane::engine;

namespace {

std::atomic<bool> g_alive{false};

// Whether a thread that is not Python's may take the GIL now: the engine has
// not been told the interpreter is exiting, and finalization has not begun
// (a thread asking for the GIL then would be ended inside our frames).
bool python_usable() noexcept {
    if (!g_alive.load()) return false;
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing();
#else
    return !_Py_IsFinalizing();
#endif
}

// Handlers running in Python on server host threads, of every server, live
// or not: exit waits for them (_wait_handlers), as grpcio's thread pools are
// joined, since a thread still in Python when the interpreter finalizes is
// ended in mid-call.
std::mutex g_handlers_mu;
std::condition_variable g_handlers_cv;
int g_handlers = 0;

struct HandlerRunning {
    HandlerRunning() {
        std::lock_guard<std::mutex> lock(g_handlers_mu);
        ++g_handlers;
    }
    ~HandlerRunning() {
        std::lock_guard<std::mutex> lock(g_handlers_mu);
        if (--g_handlers == 0) g_handlers_cv.notify_all();
    }
};

// Holds the GIL for a scope on a thread of gRPC or of a server host.
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
thread_local PyThreadState* t_host_state = nullptr;

class HostGil {
public:
    HostGil() {
        if (t_host_state) {
            PyEval_RestoreThread(t_host_state);
        } else {
            PyGILState_Ensure();  // never released: the state outlives the scope
            t_host_state = PyThreadState_Get();
        }
    }
    ~HostGil() { PyEval_SaveThread(); }
    HostGil(const HostGil&) = delete;
    HostGil& operator=(const HostGil&) = delete;
};

void release_host_thread_state() {
    if (!t_host_state) return;
    if (python_usable()) {
        PyEval_RestoreThread(t_host_state);
        PyGILState_Release(PyGILState_UNLOCKED);  // deletes the state, drops the GIL
    }
    t_host_state = nullptr;
}

// Waiting without the GIL: Py_BEGIN/END_ALLOW_THREADS, always outside any C++
// try block and any noexcept frame. A daemon thread that takes the GIL back
// while the interpreter finalizes is ended by the host through stack
// unwinding, which a catch (...) or a noexcept frame would turn into abort().
// So the entry points below convert their arguments inside entry(), wait in
// plain code, and convert results inside entry() again.

// A static type of this module, described once: readied by PyInit.
PyTypeObject new_type(const char* name, Py_ssize_t size, destructor dealloc,
                      PyMethodDef* methods, const char* doc, initproc init = nullptr) {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_dealloc = dealloc;
    t.tp_methods = methods;
    t.tp_doc = doc;
    if (init) {
        t.tp_init = init;
        t.tp_new = PyType_GenericNew;
    }
    return t;
}

// ---- conversions ---------------------------------------------------------

// Text or bytes as UTF-8 / raw bytes; throws TypeError otherwise.
std::string bytes_of(PyObject* o, const char* what) {
    if (PyBytes_Check(o)) return std::string(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
    if (PyUnicode_Check(o)) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(o, &n);
        if (!p) throw PyErrAlreadySet{};
        return std::string(p, n);
    }
    raise_format(PyExc_TypeError, "%s must be str or bytes, not %.100s", what,
                 Py_TYPE(o)->tp_name);
}

bool is_binary_key(const std::string& key) {
    return key.size() >= 4 && key.compare(key.size() - 4, 4, "-bin") == 0;
}

// A sequence of (key, value) pairs, or None.
Metadata metadata_from(PyObject* seq) {
    Metadata out;
    if (!seq || seq == Py_None) return out;
    Ref items = check(PySequence_Fast(seq, "metadata must be a sequence of (key, value) pairs"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        Ref pair = check(PySequence_Fast(item, "metadata must be a sequence of (key, value) pairs"));
        if (PySequence_Fast_GET_SIZE(pair.get()) != 2)
            raise(PyExc_ValueError, "metadata must be a sequence of (key, value) pairs");
        PyObject* key = PySequence_Fast_GET_ITEM(pair.get(), 0);
        PyObject* value = PySequence_Fast_GET_ITEM(pair.get(), 1);
        out.emplace_back(bytes_of(key, "metadata key"), bytes_of(value, "metadata value"));
    }
    return out;
}

// A tuple of (key, value) pairs; values of "-bin" keys are bytes, others str.
// Each pair is a tuple, or item_type(key, value) when one is given.
Ref metadata_to(const Metadata& md, PyObject* item_type = nullptr) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(md.size())));
    Py_ssize_t i = 0;
    for (const auto& kv : md) {
        Ref key = check(PyUnicode_DecodeUTF8(kv.first.data(), kv.first.size(), "replace"));
        Ref value = is_binary_key(kv.first)
                        ? check(PyBytes_FromStringAndSize(kv.second.data(), kv.second.size()))
                        : check(PyUnicode_DecodeUTF8(kv.second.data(), kv.second.size(), "replace"));
        Ref item = item_type ? ::sorvane::native::call(item_type, {key.get(), value.get()})
                             : check(PyTuple_Pack(2, key.get(), value.get()));
        PyTuple_SET_ITEM(t.get(), i++, item.release());  // steals
    }
    return t;
}

// Channel options: a sequence of (key, int | str | bytes) pairs, or None.
std::vector<ChannelArg> channel_args_from(PyObject* seq) {
    std::vector<ChannelArg> out;
    if (!seq || seq == Py_None) return out;
    Ref items = check(PySequence_Fast(seq, "options must be a sequence of (key, value) pairs"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref pair = check(PySequence_Fast(PySequence_Fast_GET_ITEM(items.get(), i),
                                         "options must be a sequence of (key, value) pairs"));
        if (PySequence_Fast_GET_SIZE(pair.get()) != 2)
            raise(PyExc_ValueError, "options must be a sequence of (key, value) pairs");
        ChannelArg a;
        a.key = bytes_of(PySequence_Fast_GET_ITEM(pair.get(), 0), "option name");
        PyObject* v = PySequence_Fast_GET_ITEM(pair.get(), 1);
        if (PyLong_Check(v)) {
            a.is_int = true;
            a.int_value = PyLong_AsLongLong(v);
            if (a.int_value == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
        } else if (PyUnicode_Check(v) || PyBytes_Check(v)) {
            a.is_int = false;
            a.str_value = bytes_of(v, "option value");
        } else {
            // grpcio passes other objects as pointers; nothing here uses them.
            raise_format(PyExc_TypeError, "option %s: expected int or str, got %.100s",
                         a.key.c_str(), Py_TYPE(v)->tp_name);
        }
        out.push_back(std::move(a));
    }
    return out;
}

// (root_certs, private_key, cert_chain, require_client_cert) or None.
bool tls_from(PyObject* o, TlsConfig& tls) {
    if (!o || o == Py_None) return false;
    PyObject *root, *key, *chain;
    int require = 0;
    if (!PyArg_ParseTuple(o, "OOOp", &root, &key, &chain, &require)) throw PyErrAlreadySet{};
    tls.enabled = true;
    if (root != Py_None) tls.root_certs = bytes_of(root, "root certificates");
    if (key != Py_None) tls.private_key = bytes_of(key, "private key");
    if (chain != Py_None) tls.cert_chain = bytes_of(chain, "certificate chain");
    tls.require_client_cert = require != 0;
    return true;
}

double timeout_from(PyObject* o) {
    if (!o || o == Py_None) return -1;
    double t = PyFloat_AsDouble(o);
    if (t == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
    if (std::isnan(t)) raise(PyExc_ValueError, "timeout must not be NaN");
    return t < 0 ? 0 : t;
}

int wait_for_ready_from(PyObject* o) {
    if (!o || o == Py_None) return -1;
    return check(PyObject_IsTrue(o));
}

// A StatusCode member (its value is (int, str)), or an int.
int status_number(PyObject* code) {
    Ref number;
    if (PyLong_Check(code)) {
        number = Ref::borrow(code);
    } else {
        Ref value = Ref::steal(PyObject_GetAttrString(code, "value"));
        if (value && PyTuple_Check(value.get()) && PyTuple_GET_SIZE(value.get()) >= 1)
            number = Ref::borrow(PyTuple_GET_ITEM(value.get(), 0));
    }
    long n = number ? PyLong_AsLong(number.get()) : -1;
    // Anything that is not one of gRPC's codes (0 to 16) ends the call as UNKNOWN.
    if (PyErr_Occurred()) PyErr_Clear();
    return n >= 0 && n <= 16 ? static_cast<int>(n) : kUnknown;
}

// ---- callbacks ------------------------------------------------------------------

// Runs user callbacks (a server call's add_callback, a future's done
// callbacks) on threads of their own, so that a slow one holds up neither a
// server's workers nor the loops every channel shares. Up to kThreads run at
// once; a thread idle for a while ends. Never freed: its threads may outlive
// any static destructor.
class CallbackRunner {
public:
    static CallbackRunner& get() {
        static CallbackRunner* runner = new CallbackRunner();
        return *runner;
    }

    void submit(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            tasks_.push_back(std::move(task));
            if (idle_ >= tasks_.size()) {
                cv_.notify_one();
                return;
            }
            if (threads_ >= kThreads) return;  // a busy thread takes it next
            ++threads_;
        }
        try {
            std::thread([this] { work(); }).detach();
        } catch (const std::system_error&) {
            std::function<void()> now;
            {
                std::lock_guard<std::mutex> lock(mu_);
                --threads_;
                if (threads_ > 0) return;  // another thread takes it
                now = std::move(tasks_.front());
                tasks_.pop_front();
            }
            now();  // no thread at all: here, rather than never
        }
    }

private:
    static constexpr size_t kThreads = 4;

    void work() {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            if (tasks_.empty()) {
                ++idle_;
                bool woken = cv_.wait_for(lock, std::chrono::seconds(2), [this] { return !tasks_.empty(); });
                --idle_;
                if (!woken) break;
            }
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        }
        --threads_;
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    size_t threads_ = 0;
    size_t idle_ = 0;
};

// Calls each item of `callbacks` (a list) with no arguments, logging what
// they raise through support.log_exception; on a callback thread. Steals both.
void run_callbacks(PyObject* callbacks, PyObject* support) {
    if (!python_usable()) return;  // the interpreter is going: leave them to it
    HandlerRunning running;
    GilAcquire gil;
    Ref list = Ref::steal(callbacks);
    Ref owner = Ref::steal(support);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref r = Ref::steal(PyObject_CallObject(PyList_GET_ITEM(list.get(), i), nullptr));
        if (!r) {
            Ref e = take_raised();
            Ref f = Ref::steal(PyObject_GetAttrString(support, "log_exception"));
            if (f) Ref::steal(PyObject_CallFunction(f.get(), "sO", "Exception calling callback!",
                                                    e ? e.get() : Py_None));
            PyErr_Clear();
        }
    }
}

// _call_soon(fn): calls fn() on a callback thread; what it raises is
// reported as unraisable.
PyObject* transport_call_soon(PyObject*, PyObject* fn) {
    if (!PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "_call_soon() takes a callable");
        return nullptr;
    }
    Py_INCREF(fn);
    CallbackRunner::get().submit([fn] {
        if (!python_usable()) return;  // leaked with the interpreter
        HandlerRunning running;
        GilAcquire gil;
        PyObject* r = PyObject_CallObject(fn, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(fn);
        Py_DECREF(fn);
    });
    Py_RETURN_NONE;
}

// ---- ServicerContext ----------------------------------------------------------

// The context a handler receives, registered as a grpc.ServicerContext by
// sorvane.native_grpc. Its state is the call's while the handler runs; what
// the handler sets (code, details, trailing metadata) is read back in C++.
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

PyTypeObject* servicer_context_type();

int ServicerContext_traverse(ServicerContextObject* self, visitproc visit, void* arg) {
    Py_VISIT(self->support);
    Py_VISIT(self->code);
    Py_VISIT(self->details);
    Py_VISIT(self->trailing);
    Py_VISIT(self->callbacks);
    Py_VISIT(self->metadata);
    Py_VISIT(self->peer);
    return 0;
}

int ServicerContext_clear(ServicerContextObject* self) {
    Py_CLEAR(self->support);
    Py_CLEAR(self->code);
    Py_CLEAR(self->details);
    Py_CLEAR(self->trailing);
    Py_CLEAR(self->callbacks);
    Py_CLEAR(self->metadata);
    Py_CLEAR(self->peer);
    return 0;
}

void ServicerContext_dealloc(ServicerContextObject* self) {
    PyObject_GC_UnTrack(self);
    ServicerContext_clear(self);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

// Returns a new context for `call`; borrows support.
Ref new_servicer_context(InboundCall* call, PyObject* support) {
    auto* self = PyObject_GC_New(ServicerContextObject, servicer_context_type());
    if (!self) throw PyErrAlreadySet{};
    self->call = call;
    Py_INCREF(support);
    self->support = support;
    self->code = nullptr;
    self->details = nullptr;
    self->trailing = nullptr;
    self->callbacks = nullptr;
    self->metadata = nullptr;
    self->peer = nullptr;
    self->aborted = 0;
    self->remaining = 0;
    self->has_deadline = 0;
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// Replaces a slot's reference with a new one to `value` (None clears it).
void store(PyObject*& slot, PyObject* value) {
    PyObject* old = slot;
    Py_XINCREF(value);
    slot = value;
    Py_XDECREF(old);
}

// Text as grpcio keeps it: str encoded to UTF-8, bytes as they are.
Ref encoded(PyObject* text) {
    if (PyUnicode_Check(text)) return check(PyUnicode_AsUTF8String(text));
    return Ref::borrow(text);
}

PyObject* ServicerContext_peer(ServicerContextObject* self, PyObject*) {
    return entry([&]() -> Ref {
        if (!self->peer) {
            std::string p = self->call ? self->call->peer() : std::string();
            self->peer = check(PyUnicode_DecodeUTF8(p.data(), p.size(), "replace")).release();
        }
        return Ref::borrow(self->peer);
    });
}

// The request's metadata as grpcio gives it: (key, value) items with named fields.
PyObject* ServicerContext_invocation_metadata(ServicerContextObject* self, PyObject*) {
    return entry([&]() -> Ref {
        if (!self->metadata) {
            if (!self->call) return check(PyTuple_New(0));
            Ref item_type = getattr(self->support, "metadatum");
            self->metadata = metadata_to(self->call->metadata(), item_type.get()).release();
        }
        return Ref::borrow(self->metadata);
    });
}

// Seconds left before the client's deadline, never negative. Without a
// deadline, what grpcio answers: the seconds from now to the end of time as
// gRPC counts it (2**63 - 1 seconds after the epoch).
PyObject* ServicerContext_time_remaining(ServicerContextObject* self, PyObject*) {
    bool has = self->has_deadline != 0;
    double left = self->remaining;
    if (self->call) left = self->call->time_remaining(&has);
    if (!has) {
        double now = std::chrono::duration<double>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
        return PyFloat_FromDouble(9223372036854775807.0 - now);
    }
    return PyFloat_FromDouble(left > 0 ? left : 0.0);
}

PyObject* ServicerContext_is_active(ServicerContextObject* self, PyObject*) {
    return PyBool_FromLong(self->call && !self->call->finished() && !self->call->cancelled());
}

PyObject* ServicerContext_cancel(ServicerContextObject* self, PyObject*) {
    if (self->call) {
        // Held across the wait: the handler may return meanwhile.
        InboundCall* call = self->call;
        call->retain();
        Py_BEGIN_ALLOW_THREADS
        call->cancel();
        call->release();
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

// Registers a callback run when the call ends; False once it has ended.
PyObject* ServicerContext_add_callback(ServicerContextObject* self, PyObject* callback) {
    return entry([&]() -> Ref {
        if (!self->call || self->call->finished()) return Ref::borrow(Py_False);
        if (!self->callbacks) self->callbacks = check(PyList_New(0)).release();
        check(PyList_Append(self->callbacks, callback));
        if (!self->call->user) {
            Py_INCREF(self);  // released by the closed hook
            self->call->user = self;
            self->call->want_closed_hook();
        }
        return Ref::borrow(Py_True);
    });
}

PyObject* ServicerContext_none(ServicerContextObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* ServicerContext_none_o(ServicerContextObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* ServicerContext_auth_context(ServicerContextObject*, PyObject*) { return PyDict_New(); }

PyObject* ServicerContext_send_initial_metadata(ServicerContextObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError,
                    "the native engine sends initial metadata with the response; "
                    "use set_trailing_metadata");
    return nullptr;
}

PyObject* ServicerContext_set_trailing_metadata(ServicerContextObject* self, PyObject* md) {
    store(self->trailing, md);
    Py_RETURN_NONE;
}

PyObject* ServicerContext_trailing_metadata(ServicerContextObject* self, PyObject*) {
    return new_ref(self->trailing ? self->trailing : Py_None);
}

PyObject* ServicerContext_set_code(ServicerContextObject* self, PyObject* code) {
    store(self->code, code);
    Py_RETURN_NONE;
}

PyObject* ServicerContext_code(ServicerContextObject* self, PyObject*) {
    return new_ref(self->code ? self->code : Py_None);
}

PyObject* ServicerContext_set_details(ServicerContextObject* self, PyObject* details) {
    return entry([&]() -> Ref {
        store(self->details, encoded(details).get());
        return Ref::borrow(Py_None);
    });
}

PyObject* ServicerContext_details(ServicerContextObject* self, PyObject*) {
    return new_ref(self->details ? self->details : Py_None);
}

// Ends the handler with `code` and `details`, as grpcio does: by raising a
// bare Exception, which the server turns into that status.
PyObject* ServicerContext_abort(ServicerContextObject* self, PyObject* const* args, Py_ssize_t n) {
    return entry([&]() -> Ref {
        if (n != 2) raise(PyExc_TypeError, "abort() takes exactly 2 arguments (code, details)");
        PyObject* code = args[0];
        Ref details = Ref::borrow(args[1]);
        Ref ok = getattr(getattr(self->support, "status_code").get(), "OK");
        if (code == ok.get()) {
            ::sorvane::native::call(getattr(self->support, "log_error").get(),
                                    {str("abort() called with StatusCode.OK; returning UNKNOWN").get()});
            Ref unknown = getattr(getattr(self->support, "status_code").get(), "UNKNOWN");
            store(self->code, unknown.get());
            details = str("");
        } else {
            store(self->code, code);
        }
        store(self->details, encoded(details.get()).get());
        self->aborted = 1;
        PyErr_SetNone(PyExc_Exception);
        throw PyErrAlreadySet{};
    });
}

PyObject* ServicerContext_abort_with_status(ServicerContextObject* self, PyObject* status) {
    return entry([&]() -> Ref {
        Ref trailing = getattr(status, "trailing_metadata");
        Ref code = getattr(status, "code");
        Ref details = getattr(status, "details");
        store(self->trailing, trailing.get());
        PyObject* args[] = {code.get(), details.get()};
        return check(ServicerContext_abort(self, args, 2));
    });
}

PyMethodDef ServicerContext_methods[] = {
    {"peer", reinterpret_cast<PyCFunction>(ServicerContext_peer), METH_NOARGS, nullptr},
    {"invocation_metadata", reinterpret_cast<PyCFunction>(ServicerContext_invocation_metadata),
     METH_NOARGS, nullptr},
    {"time_remaining", reinterpret_cast<PyCFunction>(ServicerContext_time_remaining), METH_NOARGS,
     nullptr},
    {"is_active", reinterpret_cast<PyCFunction>(ServicerContext_is_active), METH_NOARGS, nullptr},
    {"cancel", reinterpret_cast<PyCFunction>(ServicerContext_cancel), METH_NOARGS, nullptr},
    {"add_callback", reinterpret_cast<PyCFunction>(ServicerContext_add_callback), METH_O, nullptr},
    {"peer_identities", reinterpret_cast<PyCFunction>(ServicerContext_none), METH_NOARGS, nullptr},
    {"peer_identity_key", reinterpret_cast<PyCFunction>(ServicerContext_none), METH_NOARGS,
     nullptr},
    {"auth_context", reinterpret_cast<PyCFunction>(ServicerContext_auth_context), METH_NOARGS,
     nullptr},
    {"send_initial_metadata", reinterpret_cast<PyCFunction>(ServicerContext_send_initial_metadata),
     METH_O, nullptr},
    {"set_trailing_metadata", reinterpret_cast<PyCFunction>(ServicerContext_set_trailing_metadata),
     METH_O, nullptr},
    {"trailing_metadata", reinterpret_cast<PyCFunction>(ServicerContext_trailing_metadata),
     METH_NOARGS, nullptr},
    {"abort", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ServicerContext_abort)),
     METH_FASTCALL, nullptr},
    {"abort_with_status", reinterpret_cast<PyCFunction>(ServicerContext_abort_with_status), METH_O,
     nullptr},
    {"set_code", reinterpret_cast<PyCFunction>(ServicerContext_set_code), METH_O, nullptr},
    {"code", reinterpret_cast<PyCFunction>(ServicerContext_code), METH_NOARGS, nullptr},
    {"set_details", reinterpret_cast<PyCFunction>(ServicerContext_set_details), METH_O, nullptr},
    {"details", reinterpret_cast<PyCFunction>(ServicerContext_details), METH_NOARGS, nullptr},
    {"set_compression", reinterpret_cast<PyCFunction>(ServicerContext_none_o), METH_O, nullptr},
    {"disable_next_message_compression", reinterpret_cast<PyCFunction>(ServicerContext_none),
     METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject* servicer_context_type() {
    static PyTypeObject type = [] {
        PyTypeObject t = new_type(
            "sorvane._transport.ServicerContext", sizeof(ServicerContextObject),
            reinterpret_cast<destructor>(ServicerContext_dealloc), ServicerContext_methods,
            "The context of one server-side call, as grpc.ServicerContext describes it.");
        t.tp_flags |= Py_TPFLAGS_HAVE_GC;
        t.tp_traverse = reinterpret_cast<traverseproc>(ServicerContext_traverse);
        t.tp_clear = reinterpret_cast<inquiry>(ServicerContext_clear);
        return t;
    }();
    return &type;
}

// ---- ServerCore -------------------------------------------------------------

// The Python objects a server's handlers need; touched only with the GIL.
struct ServerPython;

// What one method path resolves to, read off its method handler once.
struct Resolved {
    Ref handler;       // the method handler; None when nothing serves the path
    Ref behavior;      // unary_unary or unary_stream
    Ref deserializer;  // request_deserializer (None: the bytes as they are)
    Ref serializer;    // response_serializer
    bool streaming = false;
    bool request_streaming = false;
    // A token gate in front of the handler: the call must carry gate_key with
    // the value gate_value, or the gate itself is asked (and refuses).
    std::string gate_key;
    std::string gate_value;
};

struct ServerPython {
    Ref handlers;       // list of generic handlers (shared with the wrapper)
    Ref registered;     // dict: full method path -> method handler
    Ref dict_type;      // grpc's dictionary generic handler type, or None
    Ref support;        // metadatum, call_details(), handler_failed(), log_exception()
    // Method paths whose answer cannot change while the handlers stay as they
    // are: found among the registered handlers or in a dictionary handler
    // (behind token gates only) before any other generic handler was asked.
    std::unordered_map<std::string, std::shared_ptr<const Resolved>> cache;
};

Ref py_text(const std::string& s) { return check(PyUnicode_DecodeUTF8(s.data(), s.size(), "replace")); }

void log_exception(ServerPython& py, const char* text) {
    // With the handler's exception set: support.log_exception(text).
    Ref e = take_raised();
    Ref msg = str(text);
    Ref f = Ref::steal(PyObject_GetAttrString(py.support.get(), "log_exception"));
    if (f) {
        Ref r = Ref::steal(PyObject_CallFunctionObjArgs(f.get(), msg.get(), e ? e.get() : Py_None, nullptr));
    }
    PyErr_Clear();
}

bool flag(PyObject* o, const char* name) {
    Ref v = Ref::steal(PyObject_GetAttrString(o, name));
    if (!v) {
        PyErr_Clear();
        return false;
    }
    return PyObject_IsTrue(v.get()) == 1;
}

// Whether the call's metadata has `key` with exactly `value`, in time that
// does not depend on where a wrong value differs.
bool carries(InboundCall& call, const std::string& key, const std::string& value) {
    for (const auto& kv : call.metadata()) {
        if (kv.first != key) continue;
        if (kv.second.size() != value.size()) return false;
        unsigned char diff = 0;
        for (size_t i = 0; i < value.size(); ++i)
            diff |= static_cast<unsigned char>(kv.second[i] ^ value[i]);
        return diff == 0;
    }
    return false;
}

// Reads a method handler's parts (None: nothing serves the path).
std::shared_ptr<Resolved> resolved_from(Ref handler) {
    auto r = std::make_shared<Resolved>();
    r->handler = std::move(handler);
    if (r->handler.get() == Py_None) return r;
    r->request_streaming = flag(r->handler.get(), "request_streaming");
    r->streaming = flag(r->handler.get(), "response_streaming");
    r->behavior = Ref::steal(PyObject_GetAttrString(
        r->handler.get(), r->streaming ? "unary_stream" : "unary_unary"));
    if (!r->behavior) PyErr_Clear();
    // Missing ones stay empty: the call then fails where it uses them.
    r->deserializer = Ref::steal(PyObject_GetAttrString(r->handler.get(), "request_deserializer"));
    r->serializer = Ref::steal(PyObject_GetAttrString(r->handler.get(), "response_serializer"));
    PyErr_Clear();
    return r;
}

// The handler of `method` in grpcio's dictionary handler `h`, or nullptr
// when `h` is not one (its table gives what its service() would return).
PyObject* from_table(ServerPython& py, PyObject* h, PyObject* method, bool* is_table) {
    *is_table = false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(h)) != py.dict_type.get()) return nullptr;
    Ref table = getattr(h, "_method_handlers");
    if (!PyDict_Check(table.get())) return nullptr;
    *is_table = true;
    PyObject* v = PyDict_GetItemWithError(table.get(), method);
    if (!v && PyErr_Occurred()) throw PyErrAlreadySet{};
    return v ? v : Py_None;
}

// What serves one call: the cached answer for its path when there is one,
// else the registered handlers, then each generic handler in turn.
std::shared_ptr<const Resolved> resolve(ServerPython& py, InboundCall& call) {
    auto hit = py.cache.find(call.method());
    if (hit != py.cache.end()) {
        const Resolved& r = *hit->second;
        if (r.gate_key.empty() || carries(call, r.gate_key, r.gate_value)) return hit->second;
    }
    Ref method = py_text(call.method());
    if (PyDict_Size(py.registered.get()) > 0) {
        PyObject* h = PyDict_GetItemWithError(py.registered.get(), method.get());
        if (h) {
            std::shared_ptr<Resolved> r = resolved_from(Ref::borrow(h));
            py.cache[call.method()] = r;
            return r;
        }
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
    }
    Ref handlers = Ref::borrow(py.handlers.get());
    Ref details;
    bool cacheable = true;
    std::string gate_key, gate_value;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i) {
        Ref h = Ref::borrow(PyList_GET_ITEM(handlers.get(), i));
        Ref found;
        bool is_table;
        if (PyObject* v = from_table(py, h.get(), method.get(), &is_table)) {
            found = Ref::borrow(v);
        } else if (cacheable && gate_key.empty()) {
            // A token gate (sorvane.security) over a dictionary handler: the
            // gate's own check, made here on the call's headers.
            Ref key = Ref::steal(PyObject_GetAttrString(h.get(), "_sorvane_header"));
            if (!key) PyErr_Clear();
            if (key && PyUnicode_Check(key.get())) {
                Ref inner = getattr(h.get(), "_inner");
                Ref expected = getattr(h.get(), "_expected");
                std::string k = bytes_of(key.get(), "a header"), e = bytes_of(expected.get(), "a value");
                PyObject* v = carries(call, k, e) ? from_table(py, inner.get(), method.get(), &is_table)
                                                  : nullptr;
                if (v) {
                    found = Ref::borrow(v);
                    gate_key = std::move(k);
                    gate_value = std::move(e);
                }
            }
        }
        if (!found) {
            cacheable = false;
            if (!details) {
                Ref md = metadata_to(call.metadata(), getattr(py.support.get(), "metadatum").get());
                details = ::sorvane::native::call(
                    getattr(py.support.get(), "call_details").get(), {method.get(), md.get()});
            }
            found = ::sorvane::native::call(getattr(h.get(), "service").get(), {details.get()});
        }
        if (found.get() != Py_None) {
            std::shared_ptr<Resolved> r = resolved_from(std::move(found));
            if (cacheable) {
                r->gate_key = std::move(gate_key);
                r->gate_value = std::move(gate_value);
                py.cache[call.method()] = r;
            }
            return r;
        }
        // A gate whose handler does not serve the path: the next handlers
        // are asked without it.
        gate_key.clear();
        gate_value.clear();
    }
    return resolved_from(Ref::borrow(Py_None));
}

void set_reply(Reply& reply, int code, const char* details) {
    reply.code = code;
    reply.details = details;
    reply.has_body = false;
}

// Fills the reply from the state the context left (code, details, trailing).
void reply_from_context(ServicerContextObject* c, Reply& reply, int default_code,
                        const std::string& default_details) {
    reply.code = c->code && c->code != Py_None ? status_number(c->code) : default_code;
    if (c->details && c->details != Py_None) {
        try {
            reply.details = bytes_of(c->details, "details");
        } catch (const PyErrAlreadySet&) {
            PyErr_Clear();
            reply.details = default_details;
        }
    } else {
        reply.details = default_details;
    }
    if (c->trailing && c->trailing != Py_None) {
        try {
            reply.trailing = metadata_from(c->trailing);
        } catch (const PyErrAlreadySet&) {
            PyErr_Clear();
        }
    }
}

// Fills the reply for a handler (or, `iterating`, its response iterator) that
// raised, as grpcio does: the code and details an abort or the context set,
// else UNKNOWN with the error's text. With the handler's exception set, which
// it clears.
void reply_from_failure(ServerPython& py, ServicerContextObject* c, Reply& reply, bool iterating) {
    Ref e = take_raised();
    Ref outcome = Ref::steal(PyObject_CallMethod(
        py.support.get(), "handler_failed", "OOOOO", c->aborted ? Py_True : Py_False,
        c->code ? c->code : Py_None, c->details ? c->details : Py_None, e ? e.get() : Py_None,
        iterating ? Py_True : Py_False));
    int code = kUnknown;
    std::string details = iterating ? "Exception iterating responses" : "Exception calling application";
    if (outcome && PyTuple_Check(outcome.get()) && PyTuple_GET_SIZE(outcome.get()) == 2) {
        code = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(outcome.get(), 0)));
        PyObject* d = PyTuple_GET_ITEM(outcome.get(), 1);
        if (PyBytes_Check(d)) details.assign(PyBytes_AS_STRING(d), PyBytes_GET_SIZE(d));
    }
    PyErr_Clear();
    reply.code = code;
    reply.details = std::move(details);
    reply.has_body = false;
    if (c->trailing && c->trailing != Py_None) {
        try {
            reply.trailing = metadata_from(c->trailing);
        } catch (const PyErrAlreadySet&) {
            PyErr_Clear();
        }
    }
}

// A response serialized with the handler's serializer (None: must be bytes).
std::string serialized(PyObject* serializer, Ref response) {
    Ref body = serializer == Py_None ? std::move(response)
                                     : ::sorvane::native::call(serializer, {response.get()});
    if (!PyBytes_Check(body.get()))
        raise_format(PyExc_TypeError, "a serialized response must be bytes, not %.100s",
                     Py_TYPE(body.get())->tp_name);
    return std::string(PyBytes_AS_STRING(body.get()), PyBytes_GET_SIZE(body.get()));
}

// Ends a response iterator the call no longer needs: a generator's close()
// runs its finally blocks (and context managers) now rather than at collection.
void close_iterator(ServerPython& py, PyObject* responses) {
    Ref close = Ref::steal(PyObject_GetAttrString(responses, "close"));
    if (!close) {
        PyErr_Clear();
        return;
    }
    Ref r = Ref::steal(PyObject_CallObject(close.get(), nullptr));
    if (!r) log_exception(py, "Exception closing the response iterator");
}

// Sends each item of a streaming handler's iterator as one message, in order,
// then fills the reply with the status the context left. The GIL is released
// while each message is sent. Borrows `responses`; never throws.
void stream_responses(ServerPython& py, PyObject* serializer, ServicerContextObject* c,
                      PyObject* responses, InboundCall& call, Reply& reply) {
    reply.has_body = false;
    if (!serializer) {
        PyErr_SetString(PyExc_AttributeError, "the method handler has no response_serializer");
        log_exception(py, "Exception serializing message!");
        close_iterator(py, responses);
        return set_reply(reply, kInternal, "Failed to serialize response!");
    }
    if (!PyIter_Check(responses)) {
        // What grpcio's next() on it raises.
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator",
                     Py_TYPE(responses)->tp_name);
        return reply_from_failure(py, c, reply, true);
    }
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(responses));
        if (!item) {
            if (PyErr_Occurred()) return reply_from_failure(py, c, reply, true);
            return reply_from_context(c, reply, kOk, std::string());
        }
        std::string body;
        try {
            body = serialized(serializer, std::move(item));
        } catch (const PyErrAlreadySet&) {
            log_exception(py, "Exception serializing message!");
            close_iterator(py, responses);
            return set_reply(reply, kInternal, "Failed to serialize response!");
        }
        bool sent;
        Py_BEGIN_ALLOW_THREADS
        sent = call.send_message(std::move(body));
        Py_END_ALLOW_THREADS
        if (!sent) {
            // The call is over (cancelled, deadline, server stopped): no
            // status reaches the client any more.
            close_iterator(py, responses);
            return set_reply(reply, kCancelled, "");
        }
    }
}

// Runs one call's handler with the GIL held; never throws.
void run_handler(ServerPython& py, InboundCall& call, Reply& reply) {
    std::shared_ptr<const Resolved> found;
    try {
        found = resolve(py, call);
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception servicing handler");
        return set_reply(reply, kUnknown, "Error in service handler!");
    }
    const Resolved& r = *found;
    if (r.handler.get() == Py_None) return set_reply(reply, kUnimplemented, "Method not found!");
    if (r.request_streaming)
        return set_reply(reply, kUnimplemented,
                         "the native engine does not serve request-streaming methods");
    if (!r.behavior || r.behavior.get() == Py_None)
        return set_reply(reply, kUnimplemented, "Method not found!");
    // Deserialize.
    std::string_view payload = call.payload();
    Ref request;
    try {
        Ref raw = check(PyBytes_FromStringAndSize(payload.data(), payload.size()));
        Ref deserializer = r.deserializer ? Ref::borrow(r.deserializer.get())
                                          : getattr(r.handler.get(), "request_deserializer");
        request = deserializer.get() == Py_None ? std::move(raw)
                                                : ::sorvane::native::call(deserializer.get(), {raw.get()});
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception deserializing message!");
        return set_reply(reply, kInternal, "Exception deserializing request!");
    }
    // Behave.
    Ref context;
    Ref response;
    try {
        context = new_servicer_context(&call, py.support.get());
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception creating the servicer context");
        return set_reply(reply, kInternal, "the server could not create the call's context");
    }
    auto* c = reinterpret_cast<ServicerContextObject*>(context.get());
    struct Detach {  // the context must not reach the call once the handler is done
        ServicerContextObject* c;
        ~Detach() {
            if (c->call) {
                bool has = false;
                c->remaining = c->call->time_remaining(&has);
                c->has_deadline = has;
            }
            c->call = nullptr;
        }
    } detach{c};
    try {
        response = ::sorvane::native::call(r.behavior.get(), {request.get(), context.get()});
    } catch (const PyErrAlreadySet&) {
        return reply_from_failure(py, c, reply, false);
    }
    // The context stays attached while the iterator runs: it is the handler's.
    if (r.streaming) return stream_responses(py, r.serializer.get(), c, response.get(), call, reply);
    // Serialize.
    try {
        Ref serializer = r.serializer ? Ref::borrow(r.serializer.get())
                                      : getattr(r.handler.get(), "response_serializer");
        reply.body = serialized(serializer.get(), std::move(response));
        reply.has_body = true;
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception serializing message!");
        return set_reply(reply, kInternal, "Failed to serialize response!");
    }
    reply_from_context(c, reply, kOk, std::string());
    if (reply.code != kOk) reply.has_body = false;
}

class PythonHooks final : public ServerHost::Hooks {
public:
    explicit PythonHooks(std::shared_ptr<ServerPython> py) : py_(std::move(py)) {}
    ~PythonHooks() override {
        // The last host thread may end here, without the GIL: taking it on
        // such a thread while the interpreter finalizes would end the thread
        // inside this destructor. The references go to the main thread instead.
        if (PyGILState_Check()) {
            py_.reset();
            return;
        }
        auto* later = new std::shared_ptr<ServerPython>(std::move(py_));
        if (!g_alive.load() || Py_AddPendingCall(&PythonHooks::release_later, later) != 0) {
            // The interpreter is going away: leave the objects to it.
        }
    }

    static int release_later(void* p) {
        delete static_cast<std::shared_ptr<ServerPython>*>(p);
        return 0;
    }

    void run(InboundCall& call, Reply& reply) override {
        if (!python_usable()) {
            reply.code = kUnavailable;
            reply.details = "the server is shutting down";
            return;
        }
        HandlerRunning running;
        HostGil gil;
        run_handler(*py_, call, reply);
    }

    // Hands the context's callbacks to a callback thread; the call hears
    // closed_hook_done() once they ran.
    void closed(InboundCall& call) override {
        if (!python_usable()) return call.closed_hook_done();
        PyObject* callbacks = nullptr;
        PyObject* support = nullptr;
        {
            HandlerRunning running;
            HostGil gil;
            auto* c = static_cast<ServicerContextObject*>(call.user);
            call.user = nullptr;
            if (c) {
                Ref owner = Ref::steal(reinterpret_cast<PyObject*>(c));  // add_callback's reference
                std::swap(callbacks, c->callbacks);
                if (callbacks) {
                    support = py_->support.get();
                    Py_INCREF(support);
                }
            }
        }
        if (!callbacks) return call.closed_hook_done();
        InboundCall* held = &call;
        held->retain();
        CallbackRunner::get().submit([held, callbacks, support] {
            run_callbacks(callbacks, support);
            held->closed_hook_done();
            held->release();
        });
    }

    void thread_exit() override { release_host_thread_state(); }

private:
    std::shared_ptr<ServerPython> py_;
};

struct ServerCoreObject {
    PyObject_HEAD
    std::shared_ptr<ServerHost>* host;
    std::shared_ptr<ServerPython>* py;
};

int ServerCore_init(ServerCoreObject* self, PyObject* args, PyObject* kwargs) {
    return entry_status([&] {
        static const char* kwlist[] = {"options",  "max_workers", "maximum_concurrent_rpcs",
                                       "handlers", "registered",  "dict_type", "support", nullptr};
        PyObject *options, *handlers, *registered, *dict_type, *support;
        int max_workers, max_concurrent;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiiO!O!OO", const_cast<char**>(kwlist),
                                         &options, &max_workers, &max_concurrent, &PyList_Type,
                                         &handlers, &PyDict_Type, &registered, &dict_type,
                                         &support))
            throw PyErrAlreadySet{};
        if (self->host) raise(PyExc_RuntimeError, "ServerCore is already initialized");
        if (max_workers < 1) raise(PyExc_ValueError, "max_workers must be at least 1");
        auto args_c = channel_args_from(options);
        auto py = std::make_shared<ServerPython>();
        py->handlers = Ref::borrow(handlers);
        py->registered = Ref::borrow(registered);
        py->dict_type = Ref::borrow(dict_type);
        py->support = Ref::borrow(support);
        std::string error;
        auto host = ServerHost::create(args_c, max_workers, max_concurrent,
                                       std::make_unique<PythonHooks>(py), &error);
        if (!host) raise(PyExc_RuntimeError, error.c_str());
        self->py = new std::shared_ptr<ServerPython>(std::move(py));
        self->host = new std::shared_ptr<ServerHost>(std::move(host));
    });
}

ServerHost& host_of(ServerCoreObject* self) {
    if (!self->host) raise(PyExc_RuntimeError, "ServerCore is not initialized");
    return **self->host;
}

void ServerCore_dealloc(ServerCoreObject* self) {
    if (self->host) {
        std::shared_ptr<ServerHost> host = std::move(*self->host);
        delete self->host;
        self->host = nullptr;
        if (host->started()) {
            // A running server that nobody references any more stops, as
            // grpcio's does; without waiting here.
            std::thread([host] { host->shutdown(0); }).detach();
        } else {
            Py_BEGIN_ALLOW_THREADS
            host.reset();
            Py_END_ALLOW_THREADS
        }
    }
    delete self->py;
    self->py = nullptr;
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* ServerCore_add_port(ServerCoreObject* self, PyObject* args) {
    std::string address;
    TlsConfig tls;
    bool secure = false;
    std::shared_ptr<ServerHost> host;
    if (entry_status([&] {
            const char* text;
            PyObject* tls_obj = Py_None;
            if (!PyArg_ParseTuple(args, "s|O", &text, &tls_obj)) throw PyErrAlreadySet{};
            address = text;
            secure = tls_from(tls_obj, tls);
            host_of(self);
            host = *self->host;
        }) < 0)
        return nullptr;
    int port;
    Py_BEGIN_ALLOW_THREADS
    port = host->add_port(address, secure ? &tls : nullptr);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(port);
}

PyObject* ServerCore_start(ServerCoreObject* self, PyObject*) {
    return entry([&]() -> Ref {
        ServerHost& host = host_of(self);
        std::string error;
        if (!host.start(&error)) raise(PyExc_RuntimeError, error.c_str());
        return Ref::borrow(Py_None);
    });
}

PyObject* ServerCore_shutdown(ServerCoreObject* self, PyObject* arg) {
    double grace = -1;
    std::shared_ptr<ServerHost> host;
    if (entry_status([&] {
            if (arg != Py_None) {
                grace = PyFloat_AsDouble(arg);
                if (grace == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
            }
            host_of(self);
            host = *self->host;
        }) < 0)
        return nullptr;
    Py_BEGIN_ALLOW_THREADS
    host->shutdown(grace);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// Waits (without the GIL) until no handler runs; True when none does.
PyObject* ServerCore_wait_idle(ServerCoreObject* self, PyObject* arg) {
    double timeout = 0;
    std::shared_ptr<ServerHost> host;
    if (entry_status([&] {
            timeout = timeout_from(arg);
            host_of(self);
            host = *self->host;
        }) < 0)
        return nullptr;
    bool idle;
    Py_BEGIN_ALLOW_THREADS
    idle = host->wait_idle(timeout);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(idle);
}

// set_header_gate(key, values, code, details): calls without `key` equal to
// one of `values` (str or bytes) end with `code` and `details` before their
// body is read; an empty key removes the gate.
PyObject* ServerCore_set_header_gate(ServerCoreObject* self, PyObject* args) {
    return entry([&]() -> Ref {
        const char *key, *details;
        PyObject* values;
        int code;
        if (!PyArg_ParseTuple(args, "sOis", &key, &values, &code, &details))
            throw PyErrAlreadySet{};
        HeaderGate gate;
        gate.key = key;
        gate.code = code;
        gate.details = details;
        Ref items = check(PySequence_Fast(values, "values must be a sequence"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i)
            gate.values.push_back(bytes_of(PySequence_Fast_GET_ITEM(items.get(), i), "a value"));
        host_of(self).set_header_gate(std::move(gate));
        return Ref::borrow(Py_None);
    });
}

// Forgets what method paths resolved to: called whenever handlers are added.
PyObject* ServerCore_forget_handlers(ServerCoreObject* self, PyObject*) {
    if (self->py) (*self->py)->cache.clear();
    Py_RETURN_NONE;
}

PyMethodDef ServerCore_methods[] = {
    {"add_port", reinterpret_cast<PyCFunction>(ServerCore_add_port), METH_VARARGS, nullptr},
    {"start", reinterpret_cast<PyCFunction>(ServerCore_start), METH_NOARGS, nullptr},
    {"shutdown", reinterpret_cast<PyCFunction>(ServerCore_shutdown), METH_O, nullptr},
    {"wait_idle", reinterpret_cast<PyCFunction>(ServerCore_wait_idle), METH_O, nullptr},
    {"set_header_gate", reinterpret_cast<PyCFunction>(ServerCore_set_header_gate), METH_VARARGS,
     nullptr},
    {"forget_handlers", reinterpret_cast<PyCFunction>(ServerCore_forget_handlers), METH_NOARGS,
     nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject* server_core_type() {
    static PyTypeObject type = new_type(
        "sorvane._transport.ServerCore", sizeof(ServerCoreObject),
        reinterpret_cast<destructor>(ServerCore_dealloc), ServerCore_methods,
        "A native gRPC server host.", reinterpret_cast<initproc>(ServerCore_init));
    return &type;
}

// ---- ChannelCore and ClientCall ----------------------------------------------

Ref result_tuple(CallResult& r) {
    Ref code = check(PyLong_FromLong(r.code));
    Ref details = py_text(r.details);
    Ref body = r.has_body ? check(PyBytes_FromStringAndSize(r.body.data(), r.body.size()))
                          : Ref::borrow(Py_None);
    Ref initial = metadata_to(r.initial);
    Ref trailing = metadata_to(r.trailing);
    Ref debug = py_text(r.debug_error);
    return check(PyTuple_Pack(6, code.get(), details.get(), body.get(), initial.get(),
                              trailing.get(), debug.get()));
}

struct ClientCallObject {
    PyObject_HEAD
    std::shared_ptr<PendingCall>* call;
};

void ClientCall_dealloc(ClientCallObject* self) {
    delete self->call;
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* ClientCall_wait(ClientCallObject* self, PyObject* arg) {
    double timeout = 0;
    if (entry_status([&] { timeout = timeout_from(arg); }) < 0) return nullptr;
    std::shared_ptr<PendingCall> call = *self->call;
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = call->wait(timeout);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(done);
}

PyObject* ClientCall_done(ClientCallObject* self, PyObject*) {
    return PyBool_FromLong((*self->call)->done());
}

PyObject* ClientCall_cancel(ClientCallObject* self, PyObject*) {
    std::shared_ptr<PendingCall> call = *self->call;
    Py_BEGIN_ALLOW_THREADS
    call->cancel();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* ClientCall_result(ClientCallObject* self, PyObject*) {
    return entry([&]() -> Ref {
        if (!(*self->call)->done()) raise(PyExc_RuntimeError, "the call is not done");
        return result_tuple((*self->call)->result());
    });
}

PyMethodDef ClientCall_methods[] = {
    {"wait", reinterpret_cast<PyCFunction>(ClientCall_wait), METH_O, nullptr},
    {"done", reinterpret_cast<PyCFunction>(ClientCall_done), METH_NOARGS, nullptr},
    {"cancel", reinterpret_cast<PyCFunction>(ClientCall_cancel), METH_NOARGS, nullptr},
    {"result", reinterpret_cast<PyCFunction>(ClientCall_result), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject* client_call_type() {
    static PyTypeObject type = new_type(
        "sorvane._transport.ClientCall", sizeof(ClientCallObject),
        reinterpret_cast<destructor>(ClientCall_dealloc), ClientCall_methods,
        "A started native unary call.");
    return &type;
}

struct ClientStreamObject {
    PyObject_HEAD
    std::shared_ptr<ResponseStream>* stream;
};

// A stream nobody can read any more is cancelled, as grpcio's is.
void ClientStream_dealloc(ClientStreamObject* self) {
    if (self->stream) {
        std::shared_ptr<ResponseStream> stream = std::move(*self->stream);
        delete self->stream;
        Py_BEGIN_ALLOW_THREADS
        stream->cancel();
        stream.reset();
        Py_END_ALLOW_THREADS
    }
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

// The next message as bytes, or None once the stream has ended (the status is
// then known). Waits without the GIL, in slices so that a signal (Ctrl-C) can
// end the wait: the call is then cancelled and the error raised.
PyObject* ClientStream_read(ClientStreamObject* self, PyObject*) {
    std::shared_ptr<ResponseStream> stream = *self->stream;
    std::string message;
    int got;
    Py_BEGIN_ALLOW_THREADS
    got = stream->read(0.25, &message);
    Py_END_ALLOW_THREADS
    while (got < 0) {
        if (PyErr_CheckSignals() < 0) {
            Py_BEGIN_ALLOW_THREADS
            stream->cancel();
            Py_END_ALLOW_THREADS
            return nullptr;
        }
        Py_BEGIN_ALLOW_THREADS
        got = stream->read(0.25, &message);
        Py_END_ALLOW_THREADS
    }
    if (got == 0) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(message.data(), message.size());
}

// Waits up to `timeout` seconds (None: forever) for the status; True once known.
PyObject* ClientStream_wait(ClientStreamObject* self, PyObject* arg) {
    double timeout = 0;
    if (entry_status([&] { timeout = timeout_from(arg); }) < 0) return nullptr;
    std::shared_ptr<ResponseStream> stream = *self->stream;
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = stream->wait(timeout);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(done);
}

// Waits up to `timeout` seconds for the initial metadata; it (a tuple of
// pairs), or None when the time ran out.
PyObject* ClientStream_initial_metadata(ClientStreamObject* self, PyObject* arg) {
    double timeout = 0;
    if (entry_status([&] { timeout = timeout_from(arg); }) < 0) return nullptr;
    std::shared_ptr<ResponseStream> stream = *self->stream;
    bool arrived;
    Py_BEGIN_ALLOW_THREADS
    arrived = stream->wait_initial(timeout);
    Py_END_ALLOW_THREADS
    if (!arrived) Py_RETURN_NONE;
    return entry([&]() -> Ref { return metadata_to(stream->result().initial); });
}

PyObject* ClientStream_done(ClientStreamObject* self, PyObject*) {
    return PyBool_FromLong((*self->stream)->done());
}

PyObject* ClientStream_cancel(ClientStreamObject* self, PyObject*) {
    std::shared_ptr<ResponseStream> stream = *self->stream;
    Py_BEGIN_ALLOW_THREADS
    stream->cancel();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// (code, details, None, initial, trailing, debug) once the status is known.
PyObject* ClientStream_result(ClientStreamObject* self, PyObject*) {
    return entry([&]() -> Ref {
        if (!(*self->stream)->done()) raise(PyExc_RuntimeError, "the call is not done");
        return result_tuple((*self->stream)->result());
    });
}

PyMethodDef ClientStream_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(ClientStream_read), METH_NOARGS, nullptr},
    {"wait", reinterpret_cast<PyCFunction>(ClientStream_wait), METH_O, nullptr},
    {"initial_metadata", reinterpret_cast<PyCFunction>(ClientStream_initial_metadata), METH_O,
     nullptr},
    {"done", reinterpret_cast<PyCFunction>(ClientStream_done), METH_NOARGS, nullptr},
    {"cancel", reinterpret_cast<PyCFunction>(ClientStream_cancel), METH_NOARGS, nullptr},
    {"result", reinterpret_cast<PyCFunction>(ClientStream_result), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject* client_stream_type() {
    static PyTypeObject type = new_type(
        "sorvane._transport.ClientStream", sizeof(ClientStreamObject),
        reinterpret_cast<destructor>(ClientStream_dealloc), ClientStream_methods,
        "A started native call with a stream of responses.");
    return &type;
}

struct ChannelCoreObject {
    PyObject_HEAD
    std::shared_ptr<ChannelHost>* host;
};

int ChannelCore_init(ChannelCoreObject* self, PyObject* args, PyObject* kwargs) {
    std::string target;
    std::vector<ChannelArg> args_c;
    TlsConfig tls;
    bool secure = false;
    if (entry_status([&] {
            static const char* kwlist[] = {"target", "options", "tls", nullptr};
            const char* text;
            PyObject* options = Py_None;
            PyObject* tls_obj = Py_None;
            if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|OO", const_cast<char**>(kwlist),
                                             &text, &options, &tls_obj))
                throw PyErrAlreadySet{};
            if (self->host) raise(PyExc_RuntimeError, "ChannelCore is already initialized");
            target = text;
            args_c = channel_args_from(options);
            secure = tls_from(tls_obj, tls);
        }) < 0)
        return -1;
    std::string error;
    std::shared_ptr<ChannelHost> host;
    Py_BEGIN_ALLOW_THREADS
    host = ChannelHost::create(target, args_c, secure ? &tls : nullptr, &error);
    Py_END_ALLOW_THREADS
    if (!host) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return -1;
    }
    self->host = new std::shared_ptr<ChannelHost>(std::move(host));
    return 0;
}

void ChannelCore_dealloc(ChannelCoreObject* self) {
    if (self->host) {
        std::shared_ptr<ChannelHost> host = std::move(*self->host);
        delete self->host;
        Py_BEGIN_ALLOW_THREADS
        host->close();
        host.reset();
        Py_END_ALLOW_THREADS
    }
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

std::shared_ptr<ChannelHost> channel_of(ChannelCoreObject* self) {
    if (!self->host) raise(PyExc_RuntimeError, "ChannelCore is not initialized");
    return *self->host;
}

struct CallArgs {
    std::string method;
    std::string body;
    double timeout;
    Metadata metadata;
    int wait_for_ready;
};

// (method, request_bytes, timeout, metadata, wait_for_ready[, on_done])
CallArgs call_args(PyObject* const* argv) {
    CallArgs a;
    a.method = bytes_of(argv[0], "method");
    if (!PyBytes_Check(argv[1]))
        raise_format(PyExc_TypeError, "a serialized request must be bytes, not %.100s",
                     Py_TYPE(argv[1])->tp_name);
    a.body.assign(PyBytes_AS_STRING(argv[1]), PyBytes_GET_SIZE(argv[1]));
    a.timeout = timeout_from(argv[2]);
    a.metadata = metadata_from(argv[3]);
    a.wait_for_ready = wait_for_ready_from(argv[4]);
    return a;
}

// Starts a blocking unary call and waits for it without the GIL, in slices
// so that a signal (Ctrl-C) can end the wait: the call is then cancelled and
// the handler's exception raised. nullptr with an exception set on failure.
// Plain code, not noexcept: see "Waiting without the GIL" above.
std::shared_ptr<PendingCall> wait_unary(ChannelHost& channel, CallArgs& a) {
    std::string error;
    std::shared_ptr<PendingCall> call;
    Py_BEGIN_ALLOW_THREADS
    call = channel.start(a.method, std::move(a.body), a.timeout, a.metadata, a.wait_for_ready, {},
                         &error);
    if (call) call->wait(0.25);
    Py_END_ALLOW_THREADS
    if (!call) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    while (!call->done()) {
        if (PyErr_CheckSignals() < 0) {
            Py_BEGIN_ALLOW_THREADS
            call->cancel();
            call->wait(-1);
            Py_END_ALLOW_THREADS
            return nullptr;
        }
        Py_BEGIN_ALLOW_THREADS
        call->wait(0.25);
        Py_END_ALLOW_THREADS
    }
    return call;
}

// Blocking unary call; waits without the GIL (see wait_unary).
PyObject* ChannelCore_unary(ChannelCoreObject* self, PyObject* args) {
    CallArgs a;
    std::shared_ptr<ChannelHost> channel;
    if (entry_status([&] {
            if (PyTuple_GET_SIZE(args) != 5) raise(PyExc_TypeError, "unary() takes 5 arguments");
            a = call_args(&PyTuple_GET_ITEM(args, 0));
            channel = channel_of(self);
        }) < 0)
        return nullptr;
    std::shared_ptr<PendingCall> call = wait_unary(*channel, a);
    if (!call) return nullptr;
    return entry([&]() -> Ref { return result_tuple(call->result()); });
}

// ---- UnaryUnary -----------------------------------------------------------------

// A channel's unary-unary callable, as grpc.UnaryUnaryMultiCallable
// describes it: serializes, calls and deserializes in C++, and asks Python
// (the channel's support object) only to build what a caller reads of a call
// (errors, with_call's call, futures). Metadata is converted only then.
struct UnaryUnaryObject {
    PyObject_HEAD
    PyObject* core;          // the ChannelCore
    PyObject* method;        // the method path (str or bytes)
    PyObject* serializer;    // or None
    PyObject* deserializer;  // or None
    PyObject* support;       // rpc_error, ok_call, request_not_serialized, ...
    std::string* path;       // the method path's bytes
};

int UnaryUnary_traverse(UnaryUnaryObject* self, visitproc visit, void* arg) {
    Py_VISIT(self->core);
    Py_VISIT(self->method);
    Py_VISIT(self->serializer);
    Py_VISIT(self->deserializer);
    Py_VISIT(self->support);
    return 0;
}

int UnaryUnary_clear(UnaryUnaryObject* self) {
    Py_CLEAR(self->core);
    Py_CLEAR(self->method);
    Py_CLEAR(self->serializer);
    Py_CLEAR(self->deserializer);
    Py_CLEAR(self->support);
    return 0;
}

void UnaryUnary_dealloc(UnaryUnaryObject* self) {
    PyObject_GC_UnTrack(self);
    UnaryUnary_clear(self);
    delete self->path;
    self->path = nullptr;
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyTypeObject* channel_core_type();

// UnaryUnary(core, method, request_serializer, response_deserializer, support)
int UnaryUnary_init(UnaryUnaryObject* self, PyObject* args, PyObject* kwargs) {
    return entry_status([&] {
        static const char* kwlist[] = {"core", "method", "request_serializer",
                                       "response_deserializer", "support", nullptr};
        PyObject *core, *method, *serializer, *deserializer, *support;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OOOO", const_cast<char**>(kwlist),
                                         channel_core_type(), &core, &method, &serializer,
                                         &deserializer, &support))
            throw PyErrAlreadySet{};
        if (self->path) raise(PyExc_RuntimeError, "UnaryUnary is already initialized");
        auto path = std::make_unique<std::string>(bytes_of(method, "method"));
        for (auto [slot, value] : {std::pair{&self->core, core}, {&self->method, method},
                                   {&self->serializer, serializer},
                                   {&self->deserializer, deserializer}, {&self->support, support}})
            store(*slot, value);
        self->path = path.release();
    });
}

// Raises what support.<maker>(*args) returns (an exception instance).
[[noreturn]] void raise_made(PyObject* support, const char* maker,
                             std::initializer_list<PyObject*> args) {
    Ref error = ::sorvane::native::call(getattr(support, maker).get(), args);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PyErrAlreadySet{};
}

// The arguments of __call__, with_call and future, parsed as grpcio names
// them; the request serialized. Throws with the error grpcio would raise.
CallArgs unary_args(UnaryUnaryObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"request", "timeout", "metadata", "credentials",
                                   "wait_for_ready", "compression", nullptr};
    PyObject *request, *timeout = Py_None, *metadata = Py_None, *credentials = Py_None,
                       *wait_for_ready = Py_None, *compression = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO", const_cast<char**>(kwlist), &request,
                                     &timeout, &metadata, &credentials, &wait_for_ready,
                                     &compression))
        throw PyErrAlreadySet{};
    if (!self->path) raise(PyExc_RuntimeError, "UnaryUnary is not initialized");
    if (credentials != Py_None)
        raise(PyExc_ValueError,
              "the native engine does not take per-call credentials; send them as metadata");
    Ref payload = Ref::borrow(request);
    if (self->serializer != Py_None) {
        payload = Ref::steal(PyObject_CallFunctionObjArgs(self->serializer, request, nullptr));
        if (!payload) {
            Ref e = take_raised();
            raise_made(self->support, "request_not_serialized", {e ? e.get() : Py_None});
        }
    }
    CallArgs a;
    a.method = *self->path;
    if (!PyBytes_Check(payload.get()))
        raise_format(PyExc_TypeError, "a serialized request must be bytes, not %.100s",
                     Py_TYPE(payload.get())->tp_name);
    a.body.assign(PyBytes_AS_STRING(payload.get()), PyBytes_GET_SIZE(payload.get()));
    a.timeout = timeout_from(timeout);
    a.metadata = metadata_from(metadata);
    a.wait_for_ready = wait_for_ready_from(wait_for_ready);
    return a;
}

// The response of a finished call, or the error it ends with.
Ref unary_outcome(UnaryUnaryObject* self, CallResult& r, bool with_call) {
    if (r.code != kOk) {
        Ref code = check(PyLong_FromLong(r.code));
        raise_made(self->support, "rpc_error",
                   {code.get(), py_text(r.details).get(), metadata_to(r.initial).get(),
                    metadata_to(r.trailing).get(), py_text(r.debug_error).get()});
    }
    Ref body = check(PyBytes_FromStringAndSize(r.body.data(), r.body.size()));
    Ref response = self->deserializer == Py_None
                       ? std::move(body)
                       : Ref::steal(PyObject_CallFunctionObjArgs(self->deserializer, body.get(), nullptr));
    if (!response) {
        Ref e = take_raised();
        raise_made(self->support, "response_not_deserialized", {e ? e.get() : Py_None});
    }
    if (!with_call) return response;
    Ref call = ::sorvane::native::call(getattr(self->support, "ok_call").get(),
                                       {metadata_to(r.initial).get(), metadata_to(r.trailing).get()});
    return check(PyTuple_Pack(2, response.get(), call.get()));
}

PyObject* unary_blocking(UnaryUnaryObject* self, PyObject* args, PyObject* kwargs, bool with_call) {
    CallArgs a;
    std::shared_ptr<ChannelHost> channel;
    if (entry_status([&] {
            a = unary_args(self, args, kwargs);
            channel = channel_of(reinterpret_cast<ChannelCoreObject*>(self->core));
        }) < 0)
        return nullptr;
    std::shared_ptr<PendingCall> call = wait_unary(*channel, a);
    if (!call) return nullptr;
    return entry([&]() -> Ref { return unary_outcome(self, call->result(), with_call); });
}

PyObject* UnaryUnary_call(UnaryUnaryObject* self, PyObject* args, PyObject* kwargs) {
    return unary_blocking(self, args, kwargs, false);
}

PyObject* UnaryUnary_with_call(UnaryUnaryObject* self, PyObject* args, PyObject* kwargs) {
    return unary_blocking(self, args, kwargs, true);
}

// future(): the request serialized here, the future made by the support
// object (support.future(core, method, payload, timeout, metadata,
// wait_for_ready, deserializer)).
PyObject* UnaryUnary_future(UnaryUnaryObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> Ref {
        static const char* kwlist[] = {"request", "timeout", "metadata", "credentials",
                                       "wait_for_ready", "compression", nullptr};
        PyObject *request, *timeout = Py_None, *metadata = Py_None, *credentials = Py_None,
                           *wait_for_ready = Py_None, *compression = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO", const_cast<char**>(kwlist),
                                         &request, &timeout, &metadata, &credentials,
                                         &wait_for_ready, &compression))
            throw PyErrAlreadySet{};
        Ref one = check(PyTuple_Pack(4, request, timeout, metadata, credentials));
        CallArgs a = unary_args(self, one.get(), nullptr);  // checks and serializes
        Ref payload = check(PyBytes_FromStringAndSize(a.body.data(), a.body.size()));
        return ::sorvane::native::call(
            getattr(self->support, "future").get(),
            {self->core, self->method, payload.get(), timeout, metadata, wait_for_ready,
             self->deserializer});
    });
}

PyMethodDef UnaryUnary_methods[] = {
    {"with_call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(UnaryUnary_with_call)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"future", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(UnaryUnary_future)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject* unary_unary_type() {
    static PyTypeObject type = [] {
        PyTypeObject t = new_type(
            "sorvane._transport.UnaryUnary", sizeof(UnaryUnaryObject),
            reinterpret_cast<destructor>(UnaryUnary_dealloc), UnaryUnary_methods,
            "A channel's unary-unary callable, as grpc.UnaryUnaryMultiCallable describes it.",
            reinterpret_cast<initproc>(UnaryUnary_init));
        t.tp_flags |= Py_TPFLAGS_HAVE_GC;
        t.tp_traverse = reinterpret_cast<traverseproc>(UnaryUnary_traverse);
        t.tp_clear = reinterpret_cast<inquiry>(UnaryUnary_clear);
        t.tp_call = reinterpret_cast<ternaryfunc>(UnaryUnary_call);
        return t;
    }();
    return &type;
}

// A completion hook calling `on_done` (or nothing, for None) with no
// arguments on a gRPC thread, once. The hook owns a reference to it, released
// there with the GIL. Borrows on_done.
std::function<void()> python_hook(PyObject* on_done) {
    if (on_done == Py_None) return {};
    auto owned = std::make_shared<PyObject*>(on_done);
    Py_INCREF(on_done);
    return [owned] {
        if (!python_usable()) return;  // the interpreter is going: leak it
        GilAcquire gil;
        PyObject* f = *owned;
        *owned = nullptr;
        if (!f) return;
        PyObject* r = PyObject_CallObject(f, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(f);
        Py_DECREF(f);
    };
}

// Starts a unary call; on_done (or None) is called with no arguments on a
// gRPC thread once it is done. Returns a ClientCall.
PyObject* ChannelCore_start(ChannelCoreObject* self, PyObject* args) {
    CallArgs a;
    std::shared_ptr<ChannelHost> channel;
    std::function<void()> hook;
    if (entry_status([&] {
            if (PyTuple_GET_SIZE(args) != 6) raise(PyExc_TypeError, "start() takes 6 arguments");
            a = call_args(&PyTuple_GET_ITEM(args, 0));
            channel = channel_of(self);
            hook = python_hook(PyTuple_GET_ITEM(args, 5));
        }) < 0)
        return nullptr;
    std::string error;
    std::shared_ptr<PendingCall> call;
    Py_BEGIN_ALLOW_THREADS
    call = channel->start(a.method, std::move(a.body), a.timeout, a.metadata, a.wait_for_ready,
                          std::move(hook), &error);
    Py_END_ALLOW_THREADS
    if (!call) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    auto* obj = PyObject_New(ClientCallObject, client_call_type());
    if (!obj) return nullptr;
    obj->call = new std::shared_ptr<PendingCall>(std::move(call));
    return reinterpret_cast<PyObject*>(obj);
}

// Starts a call with a stream of responses, with start()'s arguments; on_done
// is called once its status is known. Returns a ClientStream.
PyObject* ChannelCore_stream(ChannelCoreObject* self, PyObject* args) {
    CallArgs a;
    std::shared_ptr<ChannelHost> channel;
    std::function<void()> hook;
    if (entry_status([&] {
            if (PyTuple_GET_SIZE(args) != 6) raise(PyExc_TypeError, "stream() takes 6 arguments");
            a = call_args(&PyTuple_GET_ITEM(args, 0));
            channel = channel_of(self);
            hook = python_hook(PyTuple_GET_ITEM(args, 5));
        }) < 0)
        return nullptr;
    auto* obj = PyObject_New(ClientStreamObject, client_stream_type());
    if (!obj) return nullptr;
    obj->stream = nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(obj));
    std::string error;
    std::shared_ptr<ResponseStream> stream;
    Py_BEGIN_ALLOW_THREADS
    stream = channel->stream(a.method, std::move(a.body), a.timeout, a.metadata, a.wait_for_ready,
                             std::move(hook), &error);
    Py_END_ALLOW_THREADS
    if (!stream) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    obj->stream = new std::shared_ptr<ResponseStream>(std::move(stream));
    return owner.release();
}

PyObject* ChannelCore_connectivity(ChannelCoreObject* self, PyObject* arg) {
    bool try_to_connect = false;
    std::shared_ptr<ChannelHost> channel;
    if (entry_status([&] {
            try_to_connect = check(PyObject_IsTrue(arg)) != 0;
            channel = channel_of(self);
        }) < 0)
        return nullptr;
    int state;
    Py_BEGIN_ALLOW_THREADS
    state = channel->connectivity(try_to_connect);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(state);
}

PyObject* ChannelCore_close(ChannelCoreObject* self, PyObject*) {
    std::shared_ptr<ChannelHost> channel;
    if (entry_status([&] { channel = channel_of(self); }) < 0) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    channel->close();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef ChannelCore_methods[] = {
    {"unary", reinterpret_cast<PyCFunction>(ChannelCore_unary), METH_VARARGS, nullptr},
    {"start", reinterpret_cast<PyCFunction>(ChannelCore_start), METH_VARARGS, nullptr},
    {"stream", reinterpret_cast<PyCFunction>(ChannelCore_stream), METH_VARARGS, nullptr},
    {"connectivity", reinterpret_cast<PyCFunction>(ChannelCore_connectivity), METH_O, nullptr},
    {"close", reinterpret_cast<PyCFunction>(ChannelCore_close), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject* channel_core_type() {
    static PyTypeObject type = new_type(
        "sorvane._transport.ChannelCore", sizeof(ChannelCoreObject),
        reinterpret_cast<destructor>(ChannelCore_dealloc), ChannelCore_methods,
        "A native gRPC channel host.", reinterpret_cast<initproc>(ChannelCore_init));
    return &type;
}

// ---- module -------------------------------------------------------------------

// Called at interpreter exit (atexit), after the engine stopped its servers:
// from now on no thread of gRPC or of a server host enters Python.
PyObject* transport_finalize(PyObject*, PyObject*) {
    g_alive.store(false);
    Py_RETURN_NONE;
}

// _wait_handlers(seconds) -> True once no server host thread runs Python code
// (False when `seconds` passed first). Waits without the GIL.
PyObject* transport_wait_handlers(PyObject*, PyObject* arg) {
    const double seconds = PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    bool idle;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lock(g_handlers_mu);
    idle = g_handlers_cv.wait_for(lock, std::chrono::duration<double>(seconds),
                                  [] { return g_handlers == 0; });
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(idle);
}

PyMethodDef module_methods[] = {
    {"_wait_handlers", transport_wait_handlers, METH_O,
     "Waits up to the given seconds for no handler to run; True when none runs."},
    {"_finalize", transport_finalize, METH_NOARGS,
     "Stops native threads from entering Python (called at exit)."},
    {"_call_soon", transport_call_soon, METH_O,
     "Calls the callable with no arguments on a callback thread."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sorvane._transport",
                          "The native engine's transport core (private; see sorvane.native_grpc).",
                          -1, module_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

#if defined(_WIN32)
extern "C" __declspec(dllexport) PyObject* PyInit__transport(void)
#else
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__transport(void)
#endif
{
    return entry([]() -> Ref {
#if PY_VERSION_HEX < 0x03090000
        PyEval_InitThreads();
#endif
        for (PyTypeObject* t : {servicer_context_type(), server_core_type(), client_call_type(),
                                client_stream_type(), channel_core_type(), unary_unary_type()})
            check(PyType_Ready(t));
        Ref m = check(PyModule_Create(&module_def));
        for (auto [name, t] : {std::pair<const char*, PyTypeObject*>{"ServicerContext", servicer_context_type()},
                               {"ServerCore", server_core_type()},
                               {"ClientCall", client_call_type()},
                               {"ClientStream", client_stream_type()},
                               {"ChannelCore", channel_core_type()},
                               {"UnaryUnary", unary_unary_type()}}) {
            Py_INCREF(t);
            check(PyModule_AddObject(m.get(), name, reinterpret_cast<PyObject*>(t)));
        }
        g_alive.store(true);
        return m;
    });
}
