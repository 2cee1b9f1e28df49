// ServerHost: a server host whose handlers are Python's. Resolves a call's
// method handler (once per path where the answer cannot change), runs it
// with the GIL on a host thread, and hands the reply back to the host.
#include "binding.hpp"
#include "wire_api.hpp"

#include <thread>
#include <unordered_map>

namespace sorvane::native::binding {
namespace {

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
    // corvex's own dispatcher: served from the request's bytes (wire_api.hpp).
    const support::WireApi* wire = nullptr;
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
    Ref pending_type;   // support.pending_type: a handler's reply to come (or empty)
    // Method paths whose answer cannot change while the handlers stay as they
    // are: found among the registered handlers or in a dictionary handler
    // (behind token gates only) before any other generic handler was asked.
    std::unordered_map<std::string, std::shared_ptr<const Resolved>> cache;
    const support::WireApi* wire = nullptr;  // corvex's, once it was found
};

// corvex's wire path, when corvex is loaded (a handler of its own can only
// be there if it is); looked for again until found.
const support::WireApi* wire_api(ServerPython& py) {
    if (!py.wire)
        py.wire = support::loaded_wire_api<support::WireApi>("sorvane.corvex",
                                                              support::kWireApiCapsule);
    return py.wire;
}

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
std::shared_ptr<Resolved> resolved_from(ServerPython& py, Ref handler) {
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
    if (!r->streaming && !r->request_streaming && r->behavior && r->deserializer && r->serializer)
        if (const support::WireApi* api = wire_api(py)) {
            const int takes = api->accepts(r->behavior.get(), r->deserializer.get(), r->serializer.get());
            if (takes == 1) r->wire = api;
            PyErr_Clear();  // -1: the ordinary way
        }
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
            std::shared_ptr<Resolved> r = resolved_from(py, Ref::borrow(h));
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
                details = ::sorvane::support::call(
                    getattr(py.support.get(), "call_details").get(), {method.get(), md.get()});
            }
            found = ::sorvane::support::call(getattr(h.get(), "service").get(), {details.get()});
        }
        if (found.get() != Py_None) {
            std::shared_ptr<Resolved> r = resolved_from(py, std::move(found));
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
    return resolved_from(py, Ref::borrow(Py_None));
}

void set_reply(Reply& reply, int code, const char* details) {
    reply.code = code;
    reply.details = details;
    reply.has_body = false;
}

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
std::string serialized(PyObject* serializer, Ref response) {
    Ref body = serializer == Py_None ? std::move(response)
                                     : ::sorvane::support::call(serializer, {response.get()});
    response.reset();  // a large message is held twice at most, not three times
    if (!PyBytes_Check(body.get()))
        raise_format(PyExc_TypeError, "a serialized response must be bytes, not %.100s",
                     Py_TYPE(body.get())->tp_name);
    return std::string(PyBytes_AS_STRING(body.get()), PyBytes_GET_SIZE(body.get()));
}

// The handler's response serialized into the reply (a response from the
// wire path is its bytes already), with the status the context was left with.
void reply_with_response(ServerPython& py, ServicerContextObject* c, PyObject* serializer,
                         Ref response, Reply& reply, bool serialized_already = false) {
    try {
        if (serialized_already)
            reply.body.assign(PyBytes_AS_STRING(response.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(response.get())));
        else
            reply.body = serialized(serializer, std::move(response));
        reply.has_body = true;
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception serializing message!");
        return set_reply(reply, kInternal, "Failed to serialize response!");
    }
    reply_from_context(py, c, reply, kOk, std::string());
    if (reply.code != kOk) reply.has_body = false;
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

// ---- replies that come later ------------------------------------------------------

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
    // Deserialize (on the wire path, only if the request goes the ordinary way).
    std::string_view payload = call.payload();
    Ref raw;
    try {
        raw = check(PyBytes_FromStringAndSize(payload.data(), payload.size()));
    } catch (const PyErrAlreadySet&) {
        log_exception(py, "Exception deserializing message!");
        return set_reply(reply, kInternal, "Exception deserializing request!");
    }
    call.release_payload();  // a large request is not held twice while the handler runs
    Ref request;
    auto deserialize = [&] {
        try {
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
            wire_reply = PyBytes_CheckExact(response.get());
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

PyTypeObject* server_host_type() {
    static PyTypeObject type = new_type(
        "sorvane._native.ServerHost", sizeof(ServerHostObject),
        reinterpret_cast<destructor>(ServerHost_dealloc), ServerHost_methods,
        "A native gRPC server host.", reinterpret_cast<initproc>(ServerHost_init));
    return &type;
}

}  // namespace sorvane::native::binding
