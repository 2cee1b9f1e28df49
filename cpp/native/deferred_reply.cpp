// DeferredReply: a call whose handler returned a reply to come (a pending
// future) is answered when that completes, from the thread that completes
// it, while the worker that ran the handler goes back to other calls.
#include "binding.hpp"

namespace sorvane::native::binding {
namespace {

// What a handler returns when its reply comes later (an instance of
// support.pending_type: the dispatcher's concurrent.futures.Future for a
// coroutine target) is given one of these as its done-callback; the worker
// goes back to other calls meanwhile. Called with the completed future, it
// answers the call as the handler would have: the result serialized, or the
// exception reported, with the code, details and trailing metadata the
// context was left with.
struct DeferredReplyObject {
    PyObject_HEAD
    InboundCall* call;                   // retained until answered; NULL afterwards
    std::shared_ptr<ServerPython>* py;
    PyObject* serializer;                // None: the response is bytes
    PyObject* context;                   // the call's ServicerContext
};

// The reply of a completed pending reply; never throws.
void reply_from_pending(ServerPython& py, PyObject* future, PyObject* serializer,
                        ServicerContextObject* c, Reply& reply) {
    Ref cancelled = Ref::steal(PyObject_CallMethod(future, "cancelled", nullptr));
    int is_cancelled = cancelled ? PyObject_IsTrue(cancelled.get()) : -1;
    if (is_cancelled < 0) {
        log_exception(py, "Exception reading the handler's pending reply");
        return set_reply(reply, kUnknown, "Exception calling application");
    }
    if (is_cancelled) return set_reply(reply, kCancelled, "Cancelled");
    Ref response = Ref::steal(PyObject_CallMethod(future, "result", nullptr));
    if (!response) return reply_from_failure(py, c, reply, false);
    reply_with_response(py, c, serializer, std::move(response), reply);
}

// Hands `reply` to the call, which this object then no longer holds, nor
// anything else of the call's.
void answer_deferred(DeferredReplyObject* self, Reply&& reply) {
    InboundCall* call = self->call;
    self->call = nullptr;
    Py_BEGIN_ALLOW_THREADS
    call->finish(std::move(reply));
    call->release();
    Py_END_ALLOW_THREADS
    Py_CLEAR(self->serializer);
    Py_CLEAR(self->context);
}

PyObject* DeferredReply_call(DeferredReplyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* future;
    if ((kwargs && PyDict_GET_SIZE(kwargs)) || !PyArg_ParseTuple(args, "O", &future)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "takes exactly one argument");
        return nullptr;
    }
    if (!self->call) Py_RETURN_NONE;  // answered already
    Reply reply;
    reply_from_pending(**self->py, future, self->serializer,
                       reinterpret_cast<ServicerContextObject*>(self->context), reply);
    answer_deferred(self, std::move(reply));
    Py_RETURN_NONE;
}

void DeferredReply_dealloc(DeferredReplyObject* self) {
    if (self->call) {  // dropped uncompleted: the client must not wait for it
        Reply reply;
        set_reply(reply, kUnknown, "the server dropped the call's reply");
        answer_deferred(self, std::move(reply));
    }
    delete self->py;
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

}  // namespace

// The handler returned `pending`: the call is answered when it completes.
void defer_reply(const std::shared_ptr<ServerPython>& py, const Resolved& r, InboundCall& call,
                 PyObject* context, PyObject* pending, Reply& reply) {
    Ref serializer;
    Ref done;
    try {
        serializer = r.serializer ? Ref::borrow(r.serializer.get())
                                  : getattr(r.handler.get(), "response_serializer");
        done = Ref::steal(PyType_GenericAlloc(deferred_reply_type(), 0));
        if (!done) throw PyErrAlreadySet{};
    } catch (const PyErrAlreadySet&) {
        log_exception(*py, "Exception deferring the handler's reply");
        return set_reply(reply, kUnknown, "Exception calling application");
    }
    auto* d = reinterpret_cast<DeferredReplyObject*>(done.get());
    d->py = new std::shared_ptr<ServerPython>(py);
    d->serializer = serializer.release();
    d->context = new_ref(context);
    call.retain();
    d->call = &call;
    // Deferred before the callback is added: a pending reply already complete
    // calls it at once, and finish() then waits for the handler to return.
    reply.deferred = true;
    Ref added = Ref::steal(PyObject_CallMethod(pending, "add_done_callback", "O", done.get()));
    if (added) return;
    log_exception(*py, "Exception deferring the handler's reply");
    if (d->call) {  // not called: answer here instead
        d->call = nullptr;
        call.release();
        reply.deferred = false;
        set_reply(reply, kUnknown, "Exception calling application");
    }
}

PyTypeObject* deferred_reply_type() {
    static PyTypeObject type = [] {
        PyTypeObject t = new_type("sorvane._native.DeferredReply", sizeof(DeferredReplyObject),
                                  reinterpret_cast<destructor>(DeferredReply_dealloc), nullptr,
                                  "Answers a call when the handler's pending reply completes.");
        t.tp_call = reinterpret_cast<ternaryfunc>(DeferredReply_call);
        return t;
    }();
    return &type;
}

}  // namespace sorvane::native::binding
