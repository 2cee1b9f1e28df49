// ServerHost: a server host whose handlers are Python's. The hooks the host
// calls on its threads (a call's handler, its closed hook, a parked stream's
// resume) and the ServerHost type itself (ports, start, shutdown, the header
// gate). What a hook runs is in handler_run.cpp and the files it names.
#include "binding.hpp"

#include <thread>

namespace sorvane::native::binding {
namespace {

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
        run_handler(py_, call, reply);
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
        call_later([held, callbacks, support] {
            run_callbacks(callbacks, support);
            held->closed_hook_done();
            held->release();
        });
    }

    void resume(InboundCall& call) override {
        if (!python_usable()) {
            // The interpreter is going: the handler's objects are left to it.
            if (!call.stream) return;
            call.stream = nullptr;
            Reply reply;
            set_reply(reply, kUnavailable, "the server is shutting down");
            call.finish(std::move(reply));
            call.release();
            return;
        }
        HandlerRunning running;
        HostGil gil;
        resume_stream(call);
    }

    void thread_exit() override { release_host_thread_state(); }

private:
    std::shared_ptr<ServerPython> py_;
};

struct ServerHostObject {
    PyObject_HEAD
    std::shared_ptr<ServerHost>* host;
    std::shared_ptr<ServerPython>* py;
};

int ServerHost_init(ServerHostObject* self, PyObject* args, PyObject* kwargs) {
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
        if (self->host) raise(PyExc_RuntimeError, "ServerHost is already initialized");
        if (max_workers < 1) raise(PyExc_ValueError, "max_workers must be at least 1");
        auto args_c = channel_args_from(options);
        auto py = std::make_shared<ServerPython>();
        py->handlers = Ref::borrow(handlers);
        py->registered = Ref::borrow(registered);
        py->dict_type = Ref::borrow(dict_type);
        py->support = Ref::borrow(support);
        py->pending_type = Ref::steal(PyObject_GetAttrString(support, "pending_type"));
        if (!py->pending_type) PyErr_Clear();
        if (py->pending_type && !PyType_Check(py->pending_type.get())) py->pending_type.reset();
        Error error;
        auto host = ServerHost::create(args_c, max_workers, max_concurrent,
                                       std::make_unique<PythonHooks>(py), &error);
        if (!host) raise_error(error);
        self->py = new std::shared_ptr<ServerPython>(std::move(py));
        self->host = new std::shared_ptr<ServerHost>(std::move(host));
    });
}

ServerHost& host_of(ServerHostObject* self) {
    if (!self->host) raise(PyExc_RuntimeError, "ServerHost is not initialized");
    return **self->host;
}

void ServerHost_dealloc(ServerHostObject* self) {
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

PyObject* ServerHost_add_port(ServerHostObject* self, PyObject* args) {
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
    Error error;
    Py_BEGIN_ALLOW_THREADS
    port = host->add_port(address, secure ? &tls : nullptr, &error);
    Py_END_ALLOW_THREADS
    if (port == 0) {
        error.text = "Failed to bind to address " + address + ": " + error.text;
        set_error(error);
        return nullptr;
    }
    return PyLong_FromLong(port);
}

PyObject* ServerHost_start(ServerHostObject* self, PyObject*) {
    return entry([&]() -> Ref {
        ServerHost& host = host_of(self);
        Error error;
        if (!host.start(&error)) raise_error(error);
        return Ref::borrow(Py_None);
    });
}

PyObject* ServerHost_shutdown(ServerHostObject* self, PyObject* arg) {
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
PyObject* ServerHost_wait_idle(ServerHostObject* self, PyObject* arg) {
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
PyObject* ServerHost_set_header_gate(ServerHostObject* self, PyObject* args) {
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
PyObject* ServerHost_forget_handlers(ServerHostObject* self, PyObject*) {
    if (self->py) (*self->py)->cache.clear();
    Py_RETURN_NONE;
}

PyMethodDef ServerHost_methods[] = {
    {"add_port", reinterpret_cast<PyCFunction>(ServerHost_add_port), METH_VARARGS, nullptr},
    {"start", reinterpret_cast<PyCFunction>(ServerHost_start), METH_NOARGS, nullptr},
    {"shutdown", reinterpret_cast<PyCFunction>(ServerHost_shutdown), METH_O, nullptr},
    {"wait_idle", reinterpret_cast<PyCFunction>(ServerHost_wait_idle), METH_O, nullptr},
    {"set_header_gate", reinterpret_cast<PyCFunction>(ServerHost_set_header_gate), METH_VARARGS,
     nullptr},
    {"forget_handlers", reinterpret_cast<PyCFunction>(ServerHost_forget_handlers), METH_NOARGS,
     nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject* server_host_type() {
    static PyTypeObject type = new_type(
        "sorvane._native.ServerHost", sizeof(ServerHostObject),
        reinterpret_cast<destructor>(ServerHost_dealloc), ServerHost_methods,
        "A native gRPC server host.", reinterpret_cast<initproc>(ServerHost_init));
    return &type;
}

}  // namespace sorvane::native::binding
