// A streaming handler's responses: each item of its iterator sent as one
// message, the handler parked (its worker freed) while the client takes them
// slower than they come and resumed once the call's queue has room, and the
// status the context left sent at the end. GIL held throughout.
#include "binding.hpp"

namespace sorvane::native::binding {
namespace {

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

// Hands the iterator's items to the call, one message each, until the
// iterator ends or fails (true: `reply` has the status) or the call's send
// queue is full (false: the handler is parked, and Hooks::resume goes on
// once the queue has room or the call is over). The GIL is released while
// each message is queued. Borrows all; never throws.
bool pump(ServerPython& py, PyObject* serializer, ServicerContextObject* c, PyObject* responses,
          InboundCall& call, Reply& reply) {
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(responses));
        if (!item) {
            if (PyErr_Occurred()) reply_from_failure(py, c, reply, true);
            else reply_from_context(py, c, reply, kOk, std::string());
            return true;
        }
        std::string body;
        try {
            body = serialized(serializer, std::move(item));
        } catch (const PyErrAlreadySet&) {
            log_exception(py, "Exception serializing message!");
            close_iterator(py, responses);
            set_reply(reply, kInternal, "Failed to serialize response!");
            return true;
        }
        InboundCall::Offer offer;
        Py_BEGIN_ALLOW_THREADS
        offer = call.offer_message(std::move(body));
        Py_END_ALLOW_THREADS
        if (offer == InboundCall::Offer::over) {
            // The call is over (cancelled, deadline, server stopped): no
            // status reaches the client any more.
            close_iterator(py, responses);
            set_reply(reply, kCancelled, "");
            return true;
        }
        if (offer == InboundCall::Offer::full) return false;
    }
}

// A streaming handler parked until its call's queue has room (the call's
// `stream`): what pump() needs to go on, and a reference to the call.
struct StreamPump {
    std::shared_ptr<ServerPython> py;
    Ref serializer;
    Ref context;  // a ServicerContextObject, still attached to the call
    Ref responses;
};

}  // namespace

// Sends each item of a streaming handler's iterator as one message, in order,
// then fills the reply with the status the context left. A client that takes
// the messages slower than they come parks the handler: the reply is then
// deferred, the worker goes back to other calls, and Hooks::resume goes on
// later (true is returned: the context stays attached). Borrows `responses`;
// never throws.
bool stream_responses(const std::shared_ptr<ServerPython>& pyp, PyObject* serializer,
                      ServicerContextObject* c, PyObject* responses, InboundCall& call,
                      Reply& reply) {
    ServerPython& py = *pyp;
    reply.has_body = false;
    if (!serializer) {
        PyErr_SetString(PyExc_AttributeError, "the method handler has no response_serializer");
        log_exception(py, "Exception serializing message!");
        close_iterator(py, responses);
        set_reply(reply, kInternal, "Failed to serialize response!");
        return false;
    }
    if (!PyIter_Check(responses)) {
        // What grpcio's next() on it raises.
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator",
                     Py_TYPE(responses)->tp_name);
        reply_from_failure(py, c, reply, true);
        return false;
    }
    if (pump(py, serializer, c, responses, call, reply)) return false;
    // Parked. The resume cannot run before this thread lets go of the GIL.
    call.retain();  // the pump's
    call.stream = new StreamPump{pyp, Ref::borrow(serializer),
                                 Ref::borrow(reinterpret_cast<PyObject*>(c)), Ref::borrow(responses)};
    reply.deferred = true;
    return true;
}

// Hooks::resume for a parked streaming handler: goes on with its iterator,
// and answers the call once it ends (unless it parks again). GIL held.
void resume_stream(InboundCall& call) {
    auto* p = static_cast<StreamPump*>(call.stream);
    if (!p) return;
    auto* c = reinterpret_cast<ServicerContextObject*>(p->context.get());
    Reply reply;
    reply.has_body = false;
    if (!pump(*p->py, p->serializer.get(), c, p->responses.get(), call, reply)) return;
    call.stream = nullptr;
    detach_context(c);
    delete p;
    Py_BEGIN_ALLOW_THREADS
    call.finish(std::move(reply));
    call.release();  // the pump's
    Py_END_ALLOW_THREADS
}

}  // namespace sorvane::native::binding
