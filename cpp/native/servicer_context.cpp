// ServicerContext: the context a handler receives, as grpc.ServicerContext
// describes it (sorvane.native registers it as one). Its state is the
// call's while the handler runs; what the handler sets (code, details,
// trailing metadata, callbacks) is read back by handler_run.cpp.
#include "binding.hpp"

#include <chrono>

namespace sorvane::native::binding {
namespace {


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
            ::sorvane::support::call(getattr(self->support, "log_error").get(),
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

}  // namespace

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

// The context no longer reaches its call: what it answers from now on is
// what it was when the handler ended.
void detach_context(ServicerContextObject* c) {
    if (c->call) {
        bool has = false;
        c->remaining = c->call->time_remaining(&has);
        c->has_deadline = has;
    }
    c->call = nullptr;
}

// A handler given this context may return a reply to come (an instance of
// the server's pending_type) instead of waiting for it.
PyObject* ServicerContext_defers(PyObject*, void*) { Py_RETURN_TRUE; }

PyGetSetDef ServicerContext_getset[] = {
    {const_cast<char*>("_sorvane_defers"), ServicerContext_defers, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject* servicer_context_type() {
    static PyTypeObject type = [] {
        PyTypeObject t = new_type(
            "sorvane._native.ServicerContext", sizeof(ServicerContextObject),
            reinterpret_cast<destructor>(ServicerContext_dealloc), ServicerContext_methods,
            "The context of one server-side call, as grpc.ServicerContext describes it.");
        t.tp_flags |= Py_TPFLAGS_HAVE_GC;
        t.tp_traverse = reinterpret_cast<traverseproc>(ServicerContext_traverse);
        t.tp_clear = reinterpret_cast<inquiry>(ServicerContext_clear);
        t.tp_getset = ServicerContext_getset;
        return t;
    }();
    return &type;
}

}  // namespace sorvane::native::binding
