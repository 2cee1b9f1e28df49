// Threads entering Python, the conversions every part of the binding uses,
// and the callback threads. See binding.hpp.
#include "binding.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace sorvane::native::binding {

// ---- threads entering Python ---------------------------------------------------

std::atomic<bool> g_alive{false};

bool python_usable() noexcept {
    return g_alive.load() && !compat::is_finalizing();
}

namespace {

std::mutex g_handlers_mu;
std::condition_variable g_handlers_cv;
int g_handlers = 0;
thread_local PyThreadState* t_host_state = nullptr;

}  // namespace

HandlerRunning::HandlerRunning() {
    std::lock_guard<std::mutex> lock(g_handlers_mu);
    ++g_handlers;
}

HandlerRunning::~HandlerRunning() {
    std::lock_guard<std::mutex> lock(g_handlers_mu);
    if (--g_handlers == 0) g_handlers_cv.notify_all();
}

bool wait_no_handlers(double seconds) {
    std::unique_lock<std::mutex> lock(g_handlers_mu);
    return g_handlers_cv.wait_for(lock, std::chrono::duration<double>(seconds),
                                  [] { return g_handlers == 0; });
}

HostGil::HostGil() {
    if (t_host_state) {
        PyEval_RestoreThread(t_host_state);
    } else {
        PyGILState_Ensure();  // never released: the state outlives the scope
        t_host_state = PyThreadState_Get();
    }
}

HostGil::~HostGil() { PyEval_SaveThread(); }

void release_host_thread_state() {
    if (!t_host_state) return;
    if (python_usable()) {
        PyEval_RestoreThread(t_host_state);
        PyGILState_Release(PyGILState_UNLOCKED);  // deletes the state, drops the GIL
    }
    t_host_state = nullptr;
}

// ---- callback threads ----------------------------------------------------------

namespace {

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

}  // namespace

void call_later(std::function<void()> task) { CallbackRunner::get().submit(std::move(task)); }

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

PyTypeObject new_type(const char* name, Py_ssize_t size, destructor dealloc,
                      PyMethodDef* methods, const char* doc, initproc init) {
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

// ---- received messages ------------------------------------------------------------

namespace {

// A message's bytes where the engine assembled them, read-only.
struct MessageObject {
    PyObject_HEAD
    std::string* bytes;
};

void Message_dealloc(MessageObject* self) {
    delete self->bytes;
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int Message_getbuffer(MessageObject* self, Py_buffer* view, int flags) {
    return PyBuffer_FillInfo(view, reinterpret_cast<PyObject*>(self), self->bytes->data(),
                             static_cast<Py_ssize_t>(self->bytes->size()), 1, flags);
}

Py_ssize_t Message_length(MessageObject* self) { return static_cast<Py_ssize_t>(self->bytes->size()); }

PyBufferProcs Message_buffer = {reinterpret_cast<getbufferproc>(Message_getbuffer), nullptr};
PySequenceMethods Message_sequence = {reinterpret_cast<lenfunc>(Message_length)};

}  // namespace

PyTypeObject* message_type() {
    static PyTypeObject type = [] {
        PyTypeObject t = new_type(
            "sorvane._native.Message", sizeof(MessageObject), reinterpret_cast<destructor>(Message_dealloc),
            nullptr, "The bytes of a received message, where the engine read them (a read-only buffer).");
        t.tp_as_buffer = &Message_buffer;
        t.tp_as_sequence = &Message_sequence;
        return t;
    }();
    return &type;
}

void decref_later(void* object) {
    call_later([object] {
        if (!python_usable()) return;  // the interpreter is going: leave it
        GilAcquire gil;
        Py_DECREF(static_cast<PyObject*>(object));
    });
}

Payload lent_payload(Ref message) {
    std::vector<Payload::Part> parts;
    size_t size = 0;
    auto add = [&](PyObject* bytes) {
        const auto n = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
        if (n) parts.push_back({PyBytes_AS_STRING(bytes), n});
        size += n;
    };
    if (PyTuple_Check(message.get())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(message.get()); ++i)
            add(PyTuple_GET_ITEM(message.get(), i));
    } else {
        add(message.get());
    }
    if (size < kMessageInPlace) {
        std::string own;
        own.reserve(size);
        for (const Payload::Part& p : parts) own.append(p.data, p.size);
        return Payload(std::move(own));
    }
    // Dropped by whichever thread frees the payload last (the engine's loop,
    // often), which must not wait for the GIL: a callback thread takes it.
    std::shared_ptr<const void> keep(message.release(), [](const void* o) {
        decref_later(const_cast<void*>(o));
    });
    return Payload(std::move(parts), std::move(keep));
}

Ref received_message(std::string&& bytes) {
    if (bytes.size() < kMessageInPlace)
        return check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    auto* obj = PyObject_New(MessageObject, message_type());
    if (!obj) throw PyErrAlreadySet{};
    obj->bytes = nullptr;
    Ref held = Ref::steal(reinterpret_cast<PyObject*>(obj));
    obj->bytes = new std::string(std::move(bytes));
    return held;
}

// ---- conversions -----------------------------------------------------------------

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
Ref metadata_to(const Metadata& md, PyObject* item_type) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(md.size())));
    Py_ssize_t i = 0;
    for (const auto& kv : md) {
        Ref key = check(PyUnicode_DecodeUTF8(kv.first.data(), kv.first.size(), "replace"));
        Ref value = is_binary_key(kv.first)
                        ? check(PyBytes_FromStringAndSize(kv.second.data(), kv.second.size()))
                        : check(PyUnicode_DecodeUTF8(kv.second.data(), kv.second.size(), "replace"));
        Ref item = item_type ? ::sorvane::support::call(item_type, {key.get(), value.get()})
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

void set_error(const Error& error) noexcept {
    PyErr_SetString(error.kind == Error::Kind::invalid ? PyExc_ValueError : PyExc_RuntimeError,
                    error.text.c_str());
}

void raise_error(const Error& error) {
    set_error(error);
    throw PyErrAlreadySet{};
}

Ref py_text(const std::string& s) { return check(PyUnicode_DecodeUTF8(s.data(), s.size(), "replace")); }

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

}  // namespace sorvane::native::binding
