// UnaryUnary: a channel's unary-unary callable, as grpc.UnaryUnaryMultiCallable
// describes it (sorvane.native registers it as one).
#include "binding.hpp"
#include "wire_api.hpp"

namespace sorvane::native::binding {
namespace {

// A channel's unary-unary callable, as grpc.UnaryUnaryMultiCallable
// describes it: serializes, calls and deserializes in C++, and asks Python
// (the channel's support object) only to build what a caller reads of a call
// (errors, with_call's call, futures). Metadata is converted only then.
struct UnaryUnaryObject {
    PyObject_HEAD
    compat::VectorcallFunc vectorcall;  // __call__ (where the host has vectorcall)
    PyObject* core;          // the ChannelHost
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

// UnaryUnary(core, method, request_serializer, response_deserializer, support)
int UnaryUnary_init(UnaryUnaryObject* self, PyObject* args, PyObject* kwargs) {
    return entry_status([&] {
        static const char* kwlist[] = {"core", "method", "request_serializer",
                                       "response_deserializer", "support", nullptr};
        PyObject *core, *method, *serializer, *deserializer, *support;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OOOO", const_cast<char**>(kwlist),
                                         channel_host_type(), &core, &method, &serializer,
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
    Ref error = ::sorvane::support::call(getattr(support, maker).get(), args);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PyErrAlreadySet{};
}

// The arguments of __call__, with_call and future, as grpcio names them
// (borrowed).
struct Given {
    PyObject* request = nullptr;
    PyObject* timeout = Py_None;
    PyObject* metadata = Py_None;
    PyObject* credentials = Py_None;
    PyObject* wait_for_ready = Py_None;
    PyObject* compression = Py_None;
};

// Binds grpcio's parameters (request, timeout=None, metadata=None,
// credentials=None, wait_for_ready=None, compression=None) to `nargs`
// positional arguments and the keyword arguments `keywords` hands to its
// callback as (name, value), raising TypeError as a Python function would.
template <typename Keywords>
Given bind_given(const char* function, PyObject* const* args, size_t nargs, Keywords keywords) {
    static const char* const names[] = {"request", "timeout", "metadata", "credentials",
                                        "wait_for_ready", "compression"};
    constexpr size_t count = sizeof names / sizeof names[0];
    if (nargs > count)
        raise_format(PyExc_TypeError, "%s() takes from 2 to %zu positional arguments but %zu were given",
                     function, count + 1, nargs + 1);
    PyObject* bound[count] = {};
    for (size_t i = 0; i < nargs; ++i) bound[i] = args[i];
    keywords([&](PyObject* name, PyObject* value) {
        size_t i = 0;
        while (i < count && !(PyUnicode_Check(name) &&
                              PyUnicode_CompareWithASCIIString(name, names[i]) == 0))
            ++i;
        if (i == count)
            raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         function, name);
        if (bound[i])
            raise_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         names[i]);
        bound[i] = value;
    });
    if (!bound[0])
        raise_format(PyExc_TypeError,
                     "%s() missing 1 required positional argument: 'request'", function);
    Given g;
    g.request = bound[0];
    for (auto [slot, i] : {std::pair{&g.timeout, 1}, {&g.metadata, 2}, {&g.credentials, 3},
                           {&g.wait_for_ready, 4}, {&g.compression, 5}})
        if (bound[i]) *slot = bound[i];
    return g;
}

// From a vector call's arguments.
Given parse_given(const char* function, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    return bind_given(function, args, nargs, [&](auto&& bind) {
        const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < n; ++k)
            bind(PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<size_t>(k)]);
    });
}

// From a tuple and a dict (or none).
Given parse_given(const char* function, PyObject* args, PyObject* kwargs) {
    return bind_given(function, &PyTuple_GET_ITEM(args, 0),
                      static_cast<size_t>(PyTuple_GET_SIZE(args)), [&](auto&& bind) {
                          Py_ssize_t pos = 0;
                          PyObject *name, *value;
                          while (kwargs && PyDict_Next(kwargs, &pos, &name, &value))
                              bind(name, value);
                      });
}

// A call's arguments checked, and its request serialized (unless it is
// already). Throws with the error grpcio would raise.
CallArgs unary_args(UnaryUnaryObject* self, const Given& g, bool serialized = false) {
    PyObject* request = g.request;
    if (!self->path) raise(PyExc_RuntimeError, "UnaryUnary is not initialized");
    if (g.credentials != Py_None)
        raise(PyExc_ValueError,
              "the native engine does not take per-call credentials; send them as metadata");
    Ref payload = Ref::borrow(request);
    if (self->serializer != Py_None && !serialized) {
        payload = Ref::steal(PyObject_CallFunctionObjArgs(self->serializer, request, nullptr));
        if (!payload) {
            Ref e = take_raised();
            raise_made(self->support, "request_not_serialized", {e ? e.get() : Py_None});
        }
    }
    CallArgs a;
    a.method = *self->path;
    if (!PyBytes_Check(payload.get()) && !(serialized && support::is_parts(payload.get())))
        raise_format(PyExc_TypeError, "a serialized request must be bytes, not %.100s",
                     Py_TYPE(payload.get())->tp_name);
    a.body = lent_payload(std::move(payload));
    a.timeout = timeout_from(g.timeout);
    a.metadata = metadata_from(g.metadata);
    a.wait_for_ready = wait_for_ready_from(g.wait_for_ready);
    return a;
}

// The reply's bytes of a finished call, or the error it ends with. `once`:
// the result is read only this time, so its body is freed as soon as it is
// copied.
void raise_unless_ok(UnaryUnaryObject* self, const CallResult& r) {
    if (r.code != kOk) {
        Ref code = check(PyLong_FromLong(r.code));
        raise_made(self->support, "rpc_error",
                   {code.get(), py_text(r.details).get(), metadata_to(r.initial).get(),
                    metadata_to(r.trailing).get(), py_text(r.debug_error).get()});
    }
}

Ref reply_bytes(UnaryUnaryObject* self, CallResult& r, bool once) {
    raise_unless_ok(self, r);
    Ref body = check(PyBytes_FromStringAndSize(r.body.data(), r.body.size()));
    if (once) std::string().swap(r.body);
    return body;
}

// The response the deserializer makes of a reply's bytes.
Ref deserialized(UnaryUnaryObject* self, Ref body) {
    Ref response = self->deserializer == Py_None
                       ? std::move(body)
                       : Ref::steal(PyObject_CallFunctionObjArgs(self->deserializer, body.get(), nullptr));
    if (!response) {
        Ref e = take_raised();
        raise_made(self->support, "response_not_deserialized", {e ? e.get() : Py_None});
    }
    return response;
}

// The response of a finished call, or the error it ends with.
Ref unary_outcome(UnaryUnaryObject* self, CallResult& r, bool with_call, bool once = false) {
    Ref response = deserialized(self, reply_bytes(self, r, once));
    if (!with_call) return response;
    Ref call = ::sorvane::support::call(getattr(self->support, "ok_call").get(),
                                       {metadata_to(r.initial).get(), metadata_to(r.trailing).get()});
    return check(PyTuple_Pack(2, response.get(), call.get()));
}

template <typename... Arguments>
PyObject* unary_blocking(UnaryUnaryObject* self, bool with_call, Arguments... arguments) {
    CallArgs a;
    std::shared_ptr<ChannelHost> channel;
    if (entry_status([&] {
            a = unary_args(self, parse_given(with_call ? "with_call" : "__call__", arguments...));
            channel = channel_of(reinterpret_cast<ChannelHostObject*>(self->core));
        }) < 0)
        return nullptr;
    std::shared_ptr<PendingCall> call = wait_unary(*channel, a);
    if (!call) return nullptr;
    return entry([&]() -> Ref { return unary_outcome(self, call->result(), with_call, true); });
}

PyObject* UnaryUnary_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
    return unary_blocking(reinterpret_cast<UnaryUnaryObject*>(self), false, args,
                          nargsf & ~compat::kVectorcallArgumentsOffset, kwnames);
}

// __call__ where the host has no vectorcall.
PyObject* UnaryUnary_call(UnaryUnaryObject* self, PyObject* args, PyObject* kwargs) {
    return unary_blocking(self, false, args, kwargs);
}

PyObject* UnaryUnary_with_call(UnaryUnaryObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return unary_blocking(self, true, args, static_cast<size_t>(nargs), kwnames);
}

// future(): the request serialized here, the future made by the support
// object (support.future(core, method, payload, timeout, metadata,
// wait_for_ready, deserializer)).
PyObject* UnaryUnary_future(UnaryUnaryObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return entry([&]() -> Ref {
        Given g = parse_given("future", args, static_cast<size_t>(nargs), kwnames);
        CallArgs a = unary_args(self, g);
        Ref payload = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(a.body.size())));
        a.body.copy(0, PyBytes_AS_STRING(payload.get()), a.body.size());
        return ::sorvane::support::call(
            getattr(self->support, "future").get(),
            {self->core, self->method, payload.get(), g.timeout, g.metadata, g.wait_for_ready,
             self->deserializer});
    });
}

// _sorvane_start(wake, item, request, timeout=None, metadata=None, ...): the
// call started, as a ClientCall; once it is done, the thread that ends it
// hands `item` to `wake` when that is a Waker (no completion thread, no GIL
// taken there), else wake() is called on a completion thread (item unused).
// _sorvane_outcome(call) then gives its response or raises its error. What
// awaitable calls use: no future object, no waiting thread.
PyObject* UnaryUnary_start(UnaryUnaryObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return entry([&]() -> Ref {
        if (nargs < 2) raise(PyExc_TypeError, "_sorvane_start() needs what to wake and an item");
        CallArgs a = unary_args(
            self, parse_given("_sorvane_start", args + 2, static_cast<size_t>(nargs - 2), kwnames));
        auto* core = reinterpret_cast<ChannelHostObject*>(self->core);
        PyObject* wake = args[0];
        if (Py_TYPE(wake) == waker_type()) return start_woken(core, a, wake, args[1]);
        return start_call(core, a, wake);
    });
}

PyObject* UnaryUnary_outcome(UnaryUnaryObject* self, PyObject* call) {
    return entry([&]() -> Ref {
        std::shared_ptr<PendingCall> pending = pending_of(call);
        if (!pending->done()) raise(PyExc_RuntimeError, "the call is not done");
        return unary_outcome(self, pending->result(), false);
    });
}

// ---- corvex's wire path (wire_api.hpp) ------------------------------------------

bool same(PyObject* a, PyObject* b) {
    return a == b || check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// Whether `callable` is the engine's unary callable with exactly these
// serializer and deserializer: what the wire path may call in their place.
bool takes_bytes(PyObject* callable, PyObject* serializer, PyObject* deserializer) {
    auto* self = reinterpret_cast<UnaryUnaryObject*>(callable);
    return Py_TYPE(callable) == unary_unary_type() && self->path &&
           same(self->serializer, serializer) && same(self->deserializer, deserializer);
}

PyObject* wire_call_bytes(PyObject* callable, PyObject* serializer, PyObject* deserializer,
                          PyObject* const* args, size_t nargs, PyObject* kwnames) noexcept {
    CallArgs a;
    std::shared_ptr<ChannelHost> channel;
    auto* self = reinterpret_cast<UnaryUnaryObject*>(callable);
    bool ours = false;
    if (entry_status([&] {
            ours = takes_bytes(callable, serializer, deserializer);
            if (!ours) return;
            Given g = parse_given("__call__", args, nargs, kwnames);
            if (!PyBytes_CheckExact(g.request) && !support::is_parts(g.request))
                raise(PyExc_TypeError, "the wire path sends bytes");
            a = unary_args(self, g, true);
            channel = channel_of(reinterpret_cast<ChannelHostObject*>(self->core));
        }) < 0)
        return nullptr;
    if (!ours) return Ref::borrow(Py_NotImplemented).release();
    std::shared_ptr<PendingCall> call = wait_unary(*channel, a);
    if (!call) return nullptr;
    return entry([&]() -> Ref {
        CallResult& r = call->result();
        raise_unless_ok(self, r);
        return received_message(std::move(r.body));  // read once, by corvex
    });
}

PyObject* wire_start_bytes(PyObject* callable, PyObject* serializer, PyObject* deserializer,
                           PyObject* wake, PyObject* item, PyObject* const* args, size_t nargs,
                           PyObject* kwnames) noexcept {
    auto* self = reinterpret_cast<UnaryUnaryObject*>(callable);
    return entry([&]() -> Ref {
        if (!takes_bytes(callable, serializer, deserializer)) return Ref::borrow(Py_NotImplemented);
        Given g = parse_given("_sorvane_start", args, nargs, kwnames);
        if (!PyBytes_CheckExact(g.request) && !support::is_parts(g.request))
            raise(PyExc_TypeError, "the wire path sends bytes");
        CallArgs a = unary_args(self, g, true);
        auto* core = reinterpret_cast<ChannelHostObject*>(self->core);
        if (Py_TYPE(wake) == waker_type()) return start_woken(core, a, wake, item);
        return start_call(core, a, wake);
    });
}

PyObject* wire_reply_bytes(PyObject* callable, PyObject* call) noexcept {
    return entry([&]() -> Ref {
        if (Py_TYPE(callable) != unary_unary_type()) raise(PyExc_TypeError, "not a UnaryUnary");
        std::shared_ptr<PendingCall> pending = pending_of(call);
        if (!pending->done()) raise(PyExc_RuntimeError, "the call is not done");
        CallResult& r = pending->result();
        raise_unless_ok(reinterpret_cast<UnaryUnaryObject*>(callable), r);
        return received_message(std::move(r.body));  // read once, by corvex
    });
}

PyObject* wire_deserialize(PyObject* callable, PyObject* reply) noexcept {
    return entry([&]() -> Ref {
        if (Py_TYPE(callable) != unary_unary_type()) raise(PyExc_TypeError, "not a UnaryUnary");
        // The deserializer is given bytes, as on every other path.
        Ref bytes = PyBytes_Check(reply) ? Ref::borrow(reply) : check(PyBytes_FromObject(reply));
        return deserialized(reinterpret_cast<UnaryUnaryObject*>(callable), std::move(bytes));
    });
}


PyObject* UnaryUnary_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* self = PyType_GenericNew(type, args, kwargs);
    if (self) reinterpret_cast<UnaryUnaryObject*>(self)->vectorcall = UnaryUnary_vectorcall;
    return self;
}

PyMethodDef UnaryUnary_methods[] = {
    {"_sorvane_start",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(UnaryUnary_start)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_sorvane_outcome", reinterpret_cast<PyCFunction>(UnaryUnary_outcome), METH_O, nullptr},
    {"with_call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(UnaryUnary_with_call)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"future", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(UnaryUnary_future)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* channel_wire_api() {
    static const support::ChannelWireApi api = {support::kWireApiVersion, unary_unary_type(),
                                                wire_call_bytes,  wire_deserialize,
                                                wire_start_bytes, wire_reply_bytes};
    return PyCapsule_New(const_cast<support::ChannelWireApi*>(&api),
                         support::kChannelWireApiCapsule, nullptr);
}

PyTypeObject* unary_unary_type() {
    static PyTypeObject type = [] {
        PyTypeObject t = new_type(
            "sorvane._native.UnaryUnary", sizeof(UnaryUnaryObject),
            reinterpret_cast<destructor>(UnaryUnary_dealloc), UnaryUnary_methods,
            "A channel's unary-unary callable, as grpc.UnaryUnaryMultiCallable describes it.",
            reinterpret_cast<initproc>(UnaryUnary_init));
        t.tp_flags |= Py_TPFLAGS_HAVE_GC;
        t.tp_new = UnaryUnary_new;
        t.tp_traverse = reinterpret_cast<traverseproc>(UnaryUnary_traverse);
        t.tp_clear = reinterpret_cast<inquiry>(UnaryUnary_clear);
        compat::type_set_vectorcall(&t, offsetof(UnaryUnaryObject, vectorcall),
                                    reinterpret_cast<ternaryfunc>(UnaryUnary_call), false);
        return t;
    }();
    return &type;
}

}  // namespace sorvane::native::binding
