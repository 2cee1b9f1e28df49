// Runs one call's handler with the GIL held (the host's Hooks::run): the
// method handler resolved (handler_resolution.cpp), the request deserialized
// or handed to corvex's wire path as its bytes, the handler called with its
// context, and its response or failure made into the reply as grpcio makes
// it. A streaming handler's messages go on in handler_stream.cpp, a reply
// that comes later in deferred_reply.cpp.
#include "binding.hpp"
#include "wire_api.hpp"

namespace sorvane::native::binding {
namespace {

// The trailing metadata the context was given, into the reply. Metadata
// that cannot be sent is left out, and said so in the server's log.
void trailing_from_context(ServerPython& py, ServicerContextObject* c, Reply& reply) {
    if (!c->trailing || c->trailing == Py_None) return;
    try {
        reply.trailing = metadata_from(c->trailing);
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "The handler's trailing metadata could not be sent");
    }
}

}  // namespace

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

void set_reply(Reply& reply, int code, const char* details) {
    reply.code = code;
    reply.details = details;
    reply.has_body = false;
}

// Fills the reply from the state the context left (code, details, trailing).
// Details that cannot be sent give way to `default_details`, said so in the
// server's log.
void reply_from_context(ServerPython& py, ServicerContextObject* c, Reply& reply,
                        int default_code, const std::string& default_details) {
    reply.code = c->code && c->code != Py_None ? status_number(c->code) : default_code;
    reply.details = default_details;
    if (c->details && c->details != Py_None) {
        try {
            reply.details = bytes_of(c->details, "details");
        } catch (const PyErrAlreadySet&) {
            log_exception(py, "The handler's details could not be sent");
        }
    }
    trailing_from_context(py, c, reply);
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
    trailing_from_context(py, c, reply);
}

// A response serialized with the handler's serializer (None: must be bytes).
Ref serialized_bytes(PyObject* serializer, Ref response) {
    Ref body = serializer == Py_None ? std::move(response)
                                     : ::sorvane::support::call(serializer, {response.get()});
    response.reset();  // a large message is held twice at most, not three times
    if (!PyBytes_Check(body.get()))
        raise_format(PyExc_TypeError, "a serialized response must be bytes, not %.100s",
                     Py_TYPE(body.get())->tp_name);
    return body;
}

std::string serialized(PyObject* serializer, Ref response) {
    Ref body = serialized_bytes(serializer, std::move(response));
    return std::string(PyBytes_AS_STRING(body.get()), PyBytes_GET_SIZE(body.get()));
}

// The handler's response serialized into the reply (a response from the
// wire path is its bytes already), with the status the context was left with.
void reply_with_response(ServerPython& py, ServicerContextObject* c, PyObject* serializer,
                         Ref response, Reply& reply, bool serialized_already) {
    try {
        // A large reply is lent to the engine, not copied.
        reply.body = lent_payload(serialized_already
                                      ? std::move(response)
                                      : serialized_bytes(serializer, std::move(response)));
        reply.has_body = true;
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception serializing message!");
        return set_reply(reply, kInternal, "Failed to serialize response!");
    }
    reply_from_context(py, c, reply, kOk, std::string());
    if (reply.code != kOk) reply.has_body = false;
}

// Runs one call's handler with the GIL held; never throws.
void run_handler(const std::shared_ptr<ServerPython>& pyp, InboundCall& call, Reply& reply) {
    ServerPython& py = *pyp;
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
    // Deserialize (on the wire path, only if the request goes the ordinary way,
    // which takes bytes: the wire path also takes the engine's own buffer).
    Ref raw;
    try {
        if (r.wire) {
            raw = received_message(call.take_payload());
        } else {
            std::string_view payload = call.payload();
            raw = check(PyBytes_FromStringAndSize(payload.data(), payload.size()));
            call.release_payload();  // a large request is not held twice while the handler runs
        }
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception deserializing message!");
        return set_reply(reply, kInternal, "Exception deserializing request!");
    }
    Ref request;
    auto deserialize = [&] {
        try {
            if (!PyBytes_Check(raw.get())) raw = check(PyBytes_FromObject(raw.get()));
            Ref deserializer = r.deserializer ? Ref::borrow(r.deserializer.get())
                                              : getattr(r.handler.get(), "request_deserializer");
            request = deserializer.get() == Py_None
                          ? std::move(raw)
                          : ::sorvane::support::call(deserializer.get(), {raw.get()});
            raw.reset();
            return true;
        } catch (const PyErrAlreadySet&) {
            log_exception(py, "Exception deserializing message!");
            set_reply(reply, kInternal, "Exception deserializing request!");
            return false;
        }
    };
    if (!r.wire && !deserialize()) return;
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
            if (c) detach_context(c);
        }
    } detach{c};
    bool wire_reply = false;
    if (r.wire) {
        PyObject* bytes = raw.release();  // the wire path takes it when it serves the call
        response = Ref::steal(r.wire->handle(r.behavior.get(), &bytes, context.get()));
        raw = Ref::steal(bytes);
        if (!response) return reply_from_failure(py, c, reply, false);
        if (response.get() == Py_NotImplemented) {
            response.reset();
            if (!deserialize()) return;
        } else {
            raw.reset();
            wire_reply = PyBytes_CheckExact(response.get()) || support::is_parts(response.get());
        }
    }
    if (!response) {
        try {
            response = ::sorvane::support::call(r.behavior.get(), {request.get(), context.get()});
        } catch (const PyErrAlreadySet&) {
            return reply_from_failure(py, c, reply, false);
        }
    }
    request.reset();  // not held while the response is serialized
    if (!r.streaming && py.pending_type &&
        PyObject_TypeCheck(response.get(), reinterpret_cast<PyTypeObject*>(py.pending_type.get())))
        return defer_reply(pyp, r, call, context.get(), response.get(), reply);
    // The context stays attached while the iterator runs: it is the handler's.
    if (r.streaming) {
        if (stream_responses(pyp, r.serializer.get(), c, response.get(), call, reply))
            detach.c = nullptr;  // parked: the resume detaches it
        return;
    }
    // Serialize.
    Ref serializer;
    try {
        serializer = r.serializer ? Ref::borrow(r.serializer.get())
                                  : getattr(r.handler.get(), "response_serializer");
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception serializing message!");
        return set_reply(reply, kInternal, "Failed to serialize response!");
    }
    reply_with_response(py, c, serializer.get(), std::move(response), reply, wire_reply);
}

}  // namespace sorvane::native::binding
