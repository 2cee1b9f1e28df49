// Call helpers and the remote-failure exception: GrpcException and GrpcHelper.
//
// call_rpc writes one call description and sends it through whatever stub it
// is given; call_rpc_result also opens the result envelope. Module-level names
// (uuid, marvetta, GrpcException, json) are looked up at every call. Both
// take a keyword-only timeout in seconds (None: the stub's server default,
// else no limit), shortened to the time left of the call being served.
// Nothing here logs or retries (a call marked idempotent goes over a channel
// whose own retry policy may send it again), and every failure leaves as the
// host raised it, except that a CBOR call failed by a server without the codec raises
// sorvane.codec.CodecUnsupported (from the call's error). The description
// goes in the codec `serialize` selects (sorvane.codec: CBOR, else JSON; the
// default is the registry entry's codec), and a reply is read in the codec
// it came in.
#include "corvex.hpp"

#include <cstdint>
#include <cstring>

namespace sorvane::corvex {
namespace {

const char kCallRpcDoc[] =
    "\n        common call rpc\n        Args:\n            rpc_client:\n            clazz:\n"
    "            method:\n            args:\n            kwargs:\n            request_id:\n"
    "            serialize:\n\n        Returns:\n\n        ";

// ---- GrpcException ----------------------------------------------------------

// Sets exc_type, then message. The base initialiser is not called: the
// positional arguments are already in `args` (BaseException.__new__ keeps them).
Ref GrpcException_init(FunctionObject* self, PyObject* const* argv) {
    State& st = state_of(self);
    setattr(argv[0], st[N::exc_type], argv[1]);
    setattr(argv[0], st[N::message], argv[2]);
    return Ref::borrow(Py_None);
}
const FunctionDef GrpcException_init_def = {
    "__init__", "GrpcException.__init__", nullptr, {"self", "exc_type", "message"},
    GrpcException_init, nullptr};

// ---- GrpcHelper ---------------------------------------------------------------

// uuid.uuid4().hex through the module-level `uuid`; while the `request_id`
// guard holds, os.urandom(16) with uuid4's version and variant bits set, in
// hexadecimal by bytes.hex: the same text without building a UUID.
Ref new_request_id(FunctionObject* self, const State& st) {
    if (st.request_id.holds(globals_of(self))) {
        Ref raw = call(st.urandom.get(), {st.sixteen.get()});
        if (PyBytes_CheckExact(raw.get()) && PyBytes_GET_SIZE(raw.get()) == 16) {
            Ref bytes = check(PyBytes_FromStringAndSize(PyBytes_AS_STRING(raw.get()), 16));
            auto* b = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
            b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
            b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
            return call(getattr(bytes.get(), st[N::hex]).get());
        }
    }
    Ref uuid = global(self, N::uuid);
    Ref value = call(getattr(uuid.get(), st[N::uuid4]).get());
    return getattr(value.get(), st[N::hex]);
}

// dict(kwargs): a new dict whatever dict() accepts (mapping or key/value pairs).
Ref copy_kwargs(PyObject* kwargs) {
    if (PyDict_CheckExact(kwargs)) return check(PyDict_Copy(kwargs));
    return call(reinterpret_cast<PyObject*>(&PyDict_Type), {kwargs});
}

}  // namespace

Ref effective_timeout(const State& st, PyObject* timeout) {
    PyObject* at = nullptr;
    check(PyContextVar_Get(st.deadline.get(), nullptr, &at));
    Ref deadline = Ref::steal(at);
    if (!deadline) return Ref::borrow(timeout);
    Ref now = call(st.monotonic.get());
    Ref left = check(PyNumber_Subtract(deadline.get(), now.get()));
    if (PyFloat_AsDouble(left.get()) <= 0.0) {
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
        Ref module = import("sorvane.deadline");
        call(getattr(module.get(), "_expired").get());
        raise(PyExc_SystemError, "_expired returned");
    }
    if (timeout == Py_None || check(PyObject_RichCompareBool(left.get(), timeout, Py_LT)))
        return left;
    return Ref::borrow(timeout);
}

namespace {

// The request metadata of a call of clazz.method: (("sorvane-target",
// "clazz:method"),), for proxies that route or count per function; the value
// of text other than plain printable ASCII comes from
// sorvane.routing.target_value. An empty Ref when there is none to send.
Ref target_metadata(const State& st, PyObject* clazz, PyObject* method) {
    auto plain = [](PyObject* text) {
        if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return false;
        const auto* p = static_cast<const unsigned char*>(PyUnicode_DATA(text));
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i)
            if (p[i] <= 0x20 || p[i] >= 0x7f || p[i] == '%') return false;
        return true;
    };
    Ref value;
    if (plain(clazz) && plain(method) &&
        PyUnicode_GET_LENGTH(clazz) + PyUnicode_GET_LENGTH(method) < 1024) {
        Ref head = check(PyUnicode_Concat(clazz, st.colon.get()));
        value = check(PyUnicode_Concat(head.get(), method));
    } else {
        Ref routing = import("sorvane.routing");
        value = call(getattr(routing.get(), "target_value").get(), {clazz, method});
        if (value.get() == Py_None) return Ref();
    }
    Ref pair = check(PyTuple_Pack(2, st[N::target_header], value.get()));
    return check(PyTuple_Pack(1, pair.get()));
}

// Whether `handle` is a gRPC unary-unary callable (either engine's);
// grpc.UnaryUnaryMultiCallable is taken once.
bool takes_metadata(State& st, PyObject* handle) {
    if (!st.unary_callable) {
        Ref grpc = import("grpc");
        st.unary_callable = getattr(grpc.get(), "UnaryUnaryMultiCallable");
    }
    return check(PyObject_IsInstance(handle, st.unary_callable.get())) != 0;
}

// ---- the native engine's wire path -----------------------------------------------

// The native engine's wire path for calls, when the engine is loaded (a stub
// of its own can only be there if it is); looked for again until found.
const support::ChannelWireApi* channel_wire(State& st) {
    if (!st.channel_wire)
        st.channel_wire = support::loaded_wire_api<support::ChannelWireApi>(
            "sorvane._native", support::kChannelWireApiCapsule);
    return st.channel_wire;
}

// CommonRequest(request=body, serialize=code, request_id=rid) serialized, as
// SerializeToString writes it; none when the message class might refuse a
// value (it is then asked, with the same values, in its own words). A large
// body nothing else holds becomes the request in place (`body` is then
// empty): no second buffer while it is copied.
Ref wire_request(PyObject* rid, Ref& body_ref, PyObject* code) {
    PyObject* body = body_ref.get();
    if (!PyUnicode_CheckExact(rid) || !(PyBytes_CheckExact(body) || is_parts(body)) ||
        !PyLong_CheckExact(code))
        return Ref();
    int overflow = 0;
    const long long serialize = PyLong_AsLongLongAndOverflow(code, &overflow);
    if (overflow || serialize < 0 || serialize > 0xffffffffLL) return Ref();
    Py_ssize_t id_size;
    const char* id = PyUnicode_AsUTF8AndSize(rid, &id_size);
    if (!id) {
        PyErr_Clear();
        return Ref();
    }
    const auto n_id = static_cast<size_t>(id_size);
    const auto n_body = static_cast<size_t>(parts_size(body));
    if (PyTuple_Check(body)) {
        // In parts: the fields before the body go before its first part, the
        // one after it after its last.
        const Py_ssize_t n = PyTuple_GET_SIZE(body);
        PyObject* first = PyTuple_GET_ITEM(body, 0);
        PyObject* last = PyTuple_GET_ITEM(body, n - 1);
        const size_t tail = serialize ? 1 + varint_size(static_cast<std::uint64_t>(serialize)) : 0;
        const size_t head = (n_id ? 1 + varint_size(n_id) + n_id : 0) + 1 + varint_size(n_body);
        Ref lead = check(PyBytes_FromStringAndSize(
            nullptr, static_cast<Py_ssize_t>(head) + PyBytes_GET_SIZE(first) + (n == 1 ? tail : 0)));
        char* w = PyBytes_AS_STRING(lead.get());
        if (n_id) {
            *w++ = 1 << 3 | 2;
            w = put_varint(w, n_id);
            std::memcpy(w, id, n_id);
            w += n_id;
        }
        *w++ = 2 << 3 | 2;
        w = put_varint(w, n_body);
        std::memcpy(w, PyBytes_AS_STRING(first), static_cast<size_t>(PyBytes_GET_SIZE(first)));
        w += PyBytes_GET_SIZE(first);
        Ref end;
        if (n > 1) {
            end = check(PyBytes_FromStringAndSize(nullptr, PyBytes_GET_SIZE(last) + static_cast<Py_ssize_t>(tail)));
            std::memcpy(PyBytes_AS_STRING(end.get()), PyBytes_AS_STRING(last),
                        static_cast<size_t>(PyBytes_GET_SIZE(last)));
            w = PyBytes_AS_STRING(end.get()) + PyBytes_GET_SIZE(last);
        }
        if (serialize) {
            *w++ = 3 << 3 | 0;
            put_varint(w, static_cast<std::uint64_t>(serialize));
        }
        Ref out = check(PyTuple_New(n));
        PyTuple_SET_ITEM(out.get(), 0, lead.release());
        for (Py_ssize_t i = 1; i < n - 1; ++i)
            PyTuple_SET_ITEM(out.get(), i, Ref::borrow(PyTuple_GET_ITEM(body, i)).release());
        if (n > 1) PyTuple_SET_ITEM(out.get(), n - 1, end.release());
        return out;
    }
    const size_t total = (n_id ? 1 + varint_size(n_id) + n_id : 0) +
                         (n_body ? 1 + varint_size(n_body) + n_body : 0) +
                         (serialize ? 1 + varint_size(static_cast<std::uint64_t>(serialize)) : 0);
    const size_t head = (n_id ? 1 + varint_size(n_id) + n_id : 0) + (n_body ? 1 + varint_size(n_body) : 0);
    Ref out;
    if (n_body >= static_cast<size_t>(kBodyInPlace) && Py_REFCNT(body) == 1) {
        PyObject* grown = body_ref.release();
        if (compat::bytes_resize(&grown, static_cast<Py_ssize_t>(total)) < 0) throw PyErrAlreadySet{};
        out = Ref::steal(grown);
        std::memmove(PyBytes_AS_STRING(out.get()) + head, PyBytes_AS_STRING(out.get()), n_body);
        body = nullptr;
    } else {
        out = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    }
    char* w = PyBytes_AS_STRING(out.get());
    if (n_id) {
        *w++ = 1 << 3 | 2;
        w = put_varint(w, n_id);
        std::memcpy(w, id, n_id);
        w += n_id;
    }
    if (n_body) {
        *w++ = 2 << 3 | 2;
        w = put_varint(w, n_body);
        if (body) std::memcpy(w, PyBytes_AS_STRING(body), n_body);
        w += n_body;
    }
    if (serialize) {
        *w++ = 3 << 3 | 0;
        put_varint(w, static_cast<std::uint64_t>(serialize));
    }
    return out;
}

// The reply of a call made on the wire path: its bytes, and the stub's
// callable (which deserializes them when they are not read here). With
// `wake` set, the call is only started (for an event loop to await): `call`
// is then the engine's ClientCall, or `declined` says the call could not go
// that way and nothing was sent.
struct WireReply {
    Ref bytes;
    Ref handle;
    PyObject* wake = nullptr;
    PyObject* item = nullptr;
    Ref call;
    bool declined = false;
};

// Returns the CommonResponse as the stub returned it; borrows everything.
// The call's timeout: `timeout`, else the stub's server default; either
// shortened to the time left of the call being served. A call marked
// idempotent goes through the stub's entry's stub for such calls (its
// channel retries them), when the stub has one; wait_for_ready, when not
// given, is the stub's entry's. Every call names its target in the metadata.
// With `wire`, the call may go the wire path instead: it then returns none
// and leaves the reply's bytes in *wire.
Ref call_rpc_run(FunctionObject* self, PyObject* const* argv, WireReply* wire) {
    enum { cls, rpc_client, clazz, method, args, kwargs, request_id, serialize, timeout,
           idempotent, wait_for_ready };
    State& st = state_of(self);
    PyObject* client = argv[rpc_client];
    Ref retrying_client;
    if (argv[idempotent] != Py_False && check(PyObject_IsTrue(argv[idempotent]))) {
        Ref way = own_entry(client, st[N::stub_retrying]);
        if (way && way.get() != Py_None) {
            retrying_client = call(way.get());
            client = retrying_client.get();
        }
    }
    // Only the engine's own callable starts a call here (`wake`); anything
    // else goes the ordinary way, with nothing done twice (a handle that
    // cannot be read raises there). The handle found is the call's.
    Ref started_by;
    if (wire && wire->wake) {
        started_by = Ref::steal(PyObject_GetAttr(client, st[N::handle]));
        if (!started_by) PyErr_Clear();
        if (!started_by || !channel_wire(st) ||
            Py_TYPE(started_by.get()) != st.channel_wire->unary_type) {
            wire->declined = true;
            return Ref();
        }
    }
    Ref rid = argv[request_id] == Py_None ? new_request_id(self, st)
                                          : Ref::borrow(argv[request_id]);
    PyObject* args_value = argv[args] == Py_None ? st.empty_tuple.get() : argv[args];
    Ref code = effective_code(st, argv[serialize], client);
    const bool cbor = is_cbor(code.get());
    Ref marvetta = global(self, N::marvetta);
    Ref request_class = getattr(marvetta.get(), st[N::CommonRequest]);
    const bool on_wire = wire && request_class.get() == st.request_class.get() && channel_wire(st);
    if (wire && wire->wake && !on_wire) {
        wire->declined = true;
        return Ref();
    }
    Ref body;
    if (!cbor)  // the common case, written without the description's dicts
        body = json_dumps_description(self, argv[clazz], argv[method], args_value,
                                      argv[kwargs] == Py_None ? nullptr : argv[kwargs]);
    if (!body) {
        Ref kwargs_copy =
            argv[kwargs] == Py_None ? check(PyDict_New()) : copy_kwargs(argv[kwargs]);
        Ref description = check(PyDict_New());
        for (auto [key, value] : {std::pair{N::clazz, argv[clazz]}, {N::method, argv[method]},
                                  {N::args, args_value}, {N::kwargs, kwargs_copy.get()}})
            check(PyDict_SetItem(description.get(), st[key], value));
        // On the wire path a large bytes value is sent as it is, uncopied.
        body = !cbor ? json_dumps_utf8(self, description.get())
               : on_wire ? cbor_dumps_parts(description.get())
                         : cbor_dumps(description.get());
    }

    // The request as bytes for the wire path (the class as imported, values it
    // cannot refuse), else the message.
    Ref request;
    if (on_wire) request = wire_request(rid.get(), body, code.get());
    if (wire && wire->wake && !request) {
        wire->declined = true;  // values for the message class to judge: the ordinary way
        return Ref();
    }
    auto message = [&] {
        Ref whole = flatten(body.get());
        request = call_kw(request_class.get(), {}, st.kw_request.get(),
                          {whole.get(), code.get(), rid.get()});
        body.reset();  // the request holds its own copy: a large one is not kept twice
    };
    if (!request) message();
    Ref handle = started_by ? std::move(started_by) : getattr(client, st[N::handle]);
    if (body && Py_TYPE(handle.get()) != st.channel_wire->unary_type) message();
    body.reset();
    Ref limit = argv[timeout] != Py_None ? Ref::borrow(argv[timeout])
                                         : own_entry(client, st[N::stub_timeout]);
    limit = effective_timeout(st, limit ? limit.get() : Py_None);
    Ref ready = argv[wait_for_ready] != Py_None ? Ref::borrow(argv[wait_for_ready])
                                                : own_entry(client, st[N::stub_wait_for_ready]);
    // The target goes to stubs known to take metadata: ours (they carry
    // their channel) and any whose handle is a gRPC unary callable; a
    // stand-in stub written as handle(request) is called as it always was.
    Ref metadata;
    if (own_entry(client, st[N::stub_channel]) || takes_metadata(st, handle.get()))
        metadata = target_metadata(st, argv[clazz], argv[method]);

    // handle(request, metadata=..., timeout=..., wait_for_ready=...), each
    // keyword only when there is something to say.
    PyObject* stack[4] = {request.get()};
    PyObject* names[3];
    Py_ssize_t n = 0;
    for (auto [name, value] : {std::pair{N::metadata, metadata.get()}, {N::timeout, limit.get()},
                               {N::wait_for_ready, ready.get()}}) {
        if (!value || value == Py_None) continue;
        names[n] = st[name];
        stack[1 + n++] = value;
    }
    Ref kwnames_tuple;
    if (n) {
        kwnames_tuple = check(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(kwnames_tuple.get(), i, Ref::borrow(names[i]).release());
    }
    auto send = [&]() -> Ref {
        if (wire && wire->wake) {
            Ref call = Ref::steal(st.channel_wire->start_bytes(
                handle.get(), st.request_serialize.get(), st.response_from_string.get(),
                wire->wake, wire->item, stack, 1, kwnames_tuple.get()));
            if (!call) throw PyErrAlreadySet{};
            if (call.get() == Py_NotImplemented)
                wire->declined = true;
            else
                wire->call = std::move(call), wire->handle = std::move(handle);
            return Ref();
        }
        if (PyBytes_CheckExact(request.get()) || is_parts(request.get())) {
            Ref reply = Ref::steal(st.channel_wire->call_bytes(
                handle.get(), st.request_serialize.get(), st.response_from_string.get(), stack, 1,
                kwnames_tuple.get()));
            if (!reply) throw PyErrAlreadySet{};
            if (reply.get() != Py_NotImplemented) {
                wire->bytes = std::move(reply);
                wire->handle = std::move(handle);
                return Ref();
            }
            // Not the engine's own callable after all: the message, then,
            // read back from the same bytes.
            Ref from_string = getattr(request_class.get(), "FromString");
            Ref whole = flatten(request.get());
            request = call(from_string.get(), {whole.get()});
            stack[0] = request.get();
        }
        return vectorcall(handle.get(), stack, 1, kwnames_tuple.get());
    };
    if (!cbor) return send();
    try {
        return send();
    } catch (const PyErrAlreadySet&) {
        Ref error = take_raised();
        Ref codec = import("sorvane.codec");
        call(getattr(codec.get(), "_check_reply").get(), {error.get(), code.get()});
        raise_again(std::move(error));
        throw;
    }
}
Ref GrpcHelper_call_rpc(FunctionObject* self, PyObject* const* argv) {
    return call_rpc_run(self, argv, nullptr);
}

const FunctionDef GrpcHelper_call_rpc_def = {
    "call_rpc", "GrpcHelper.call_rpc", kCallRpcDoc,
    {"cls", "rpc_client", "clazz", "method", "args", "kwargs", "request_id", "serialize", "*",
     "timeout", "idempotent", "wait_for_ready"},
    GrpcHelper_call_rpc, nullptr};

// The FunctionObject of `helper`.call_rpc when that is GrpcHelper's own
// (bound to `helper` or a subclass that keeps it), else nullptr; `cls` is
// then the class it is bound to.
FunctionObject* own_call_rpc(const State& st, PyObject* helper, Ref& bound, PyObject** cls) {
    bound = getattr(helper, st[N::call_rpc]);
    if (!PyMethod_Check(bound.get()) || !is_function(PyMethod_GET_FUNCTION(bound.get())))
        return nullptr;
    auto* f = reinterpret_cast<FunctionObject*>(PyMethod_GET_FUNCTION(bound.get()));
    if (f->def != &GrpcHelper_call_rpc_def) return nullptr;
    *cls = PyMethod_GET_SELF(bound.get());
    return f;
}

bool equals(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// The envelope's "result" on status 0; otherwise raises GrpcException (status
// -1 in the response or the envelope) or Exception("unknown grpc exception").
Ref result_of_envelope(FunctionObject* self, const State& st, const Ref& status,
                       const Ref& envelope) {
    if (equals(mapping_get(st, envelope.get(), st[N::status]).get(), st.zero.get()))
        return mapping_get(st, envelope.get(), st[N::result]);
    if (equals(status.get(), st.minus_one.get()) ||
        equals(mapping_get(st, envelope.get(), st[N::status]).get(), st.minus_one.get())) {
        Ref exc_class = global(self, N::GrpcException);
        Ref exc_type = mapping_get(st, envelope.get(), st[N::excType]);
        Ref message = mapping_get(st, envelope.get(), st[N::message]);
        Ref exc = call(exc_class.get(), {exc_type.get(), message.get()});
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        throw PyErrAlreadySet{};
    }
    raise(PyExc_Exception, "unknown grpc exception");
}

// A body in CBOR starts with a map's head (major type 5); JSON's with '{'.
bool cbor_body(const char* data, Py_ssize_t size) {
    return size > 0 && (static_cast<unsigned char>(data[0]) >> 5) == 5;
}

Ref result_of(FunctionObject* self, const State& st, PyObject* response) {
    Ref status = getattr(response, st[N::status]);
    Ref body = getattr(response, st[N::response]);
    Ref envelope =
        PyBytes_Check(body.get()) && cbor_body(PyBytes_AS_STRING(body.get()), PyBytes_GET_SIZE(body.get()))
            ? cbor_loads(st, body.get())
            : json_loads_body(self, body.get());
    return result_of_envelope(self, st, status, envelope);
}

// The result of a serialized CommonResponse, read where it lies when it holds
// its two fields at most once each (the body decoded straight from the
// message's bytes), else through `deserialize` and the message's fields.
template <class Deserialize>
Ref result_of_bytes(FunctionObject* self, const State& st, PyObject* bytes,
                    Deserialize&& deserialize) {
    // Bytes, or the engine's read-only buffer of a large reply.
    Py_buffer view;
    if (PyObject_GetBuffer(bytes, &view, PyBUF_SIMPLE) < 0) throw PyErrAlreadySet{};
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const auto* p = static_cast<const unsigned char*>(view.buf);
    const unsigned char* end = p + view.len;
    std::uint64_t status = 0;
    const unsigned char* body = p;
    size_t body_size = 0;
    unsigned seen = 0;
    bool plain = true;
    while (plain && p < end) {
        std::uint64_t tag, value = 0;
        plain = get_varint(p, end, &tag);
        const std::uint64_t field = tag >> 3;
        if (!plain || field < 1 || field > 2 || (seen & (1u << field)) ||
            (tag & 7) != (field == 1 ? 0u : 2u) || !get_varint(p, end, &value)) {
            plain = false;
            break;
        }
        seen |= 1u << field;
        if (field == 1) {
            status = value;
        } else if (value > static_cast<std::uint64_t>(end - p)) {
            plain = false;
        } else {
            body = p;
            body_size = static_cast<size_t>(value);
            p += value;
        }
    }
    if (!plain) {
        Ref response = deserialize();
        return result_of(self, st, response.get());
    }
    // int32, as the message class reads it: the low 32 bits.
    Ref code = check(PyLong_FromLong(static_cast<std::int32_t>(static_cast<std::uint32_t>(status))));
    const char* data = reinterpret_cast<const char*>(body);
    const auto size = static_cast<Py_ssize_t>(body_size);
    Ref envelope = cbor_body(data, size) ? cbor_loads_view(st, bytes, data, size)
                                         : json_loads_view(self, data, size);
    return result_of_envelope(self, st, code, envelope);
}

// The result of a reply on the wire path.
Ref result_of_wire(FunctionObject* self, State& st, const WireReply& wire) {
    return result_of_bytes(self, st, wire.bytes.get(), [&] {
        Ref response = Ref::steal(st.channel_wire->deserialize(wire.handle.get(), wire.bytes.get()));
        if (!response) throw PyErrAlreadySet{};
        return response;
    });
}

Ref GrpcHelper_call_rpc_result(FunctionObject* self, PyObject* const* argv) {
    enum { cls, rpc_client, clazz, method, args, kwargs, request_id, timeout, serialize,
           idempotent, wait_for_ready };
    State& st = state_of(self);
    // Through cls, so a subclass's call_rpc is the one used.
    Ref call_rpc;
    // call_rpc(rpc_client, clazz=..., ...): the timeout, the codec and the
    // routing marks are passed on only when given, so a call_rpc of a
    // subclass written without them keeps working.
    PyObject* stack[11] = {nullptr, argv[rpc_client], argv[clazz], argv[method], argv[args],
                           argv[kwargs], argv[request_id]};
    Py_ssize_t n = 7;
    Ref names;
    if (argv[idempotent] != Py_False || argv[wait_for_ready] != Py_None) {
        names = kwnames({"clazz", "method", "args", "kwargs", "request_id", "serialize",
                         "timeout", "idempotent", "wait_for_ready"});
        for (PyObject* v : {argv[serialize], argv[timeout], argv[idempotent], argv[wait_for_ready]})
            stack[n++] = v;
    } else if (argv[serialize] != st.default_serialize.get()) {
        names = kwnames({"clazz", "method", "args", "kwargs", "request_id", "serialize", "timeout"});
        stack[n++] = argv[serialize];
        stack[n++] = argv[timeout];
    } else if (argv[timeout] == Py_None) {
        names = st.kw_call_rpc.copy();
    } else {
        names = st.kw_call_rpc_timeout.copy();
        stack[n++] = argv[timeout];
    }
    // GrpcHelper's own call_rpc, bound to cls, is entered directly: it may
    // then take the wire path and leave the reply's bytes to be read here.
    PyObject* bound_to = nullptr;
    if (FunctionObject* f = own_call_rpc(st, argv[cls], call_rpc, &bound_to)) {
        stack[0] = bound_to;
        PyObject* slots[support::kMaxParams];
        support::detail::parse_arguments(f, stack, 2, names.get(), slots);
        WireReply wire;
        Ref response = call_rpc_run(f, slots, &wire);
        if (wire.bytes) return result_of_wire(self, st, wire);
        return result_of(self, st, response.get());
    }
    Ref response = vectorcall(call_rpc.get(), stack + 1, 1, names.get());
    return result_of(self, st, response.get());
}

// _start_wire(helper, rpc_client, clazz, method, args, kwargs, request_id,
// serialize, timeout, idempotent, wait_for_ready, wake, item): the call
// helper.call_rpc would make, started on the wire path for an event loop to
// await (sorvane.aio): (the stub's callable, the engine's ClientCall, whose
// end hands `item` to `wake` as _sorvane_start does), or None when it cannot
// go that way (a call_rpc of a subclass, another engine, a message class
// that is not the one imported) and nothing was sent.
Ref start_wire_function(FunctionObject* self, PyObject* const* argv) {
    enum { helper, rpc_client, clazz, method, args, kwargs, request_id, serialize, timeout,
           idempotent, wait_for_ready, wake, item };
    const State& st = state_of(self);
    Ref bound;
    PyObject* cls = nullptr;
    FunctionObject* f = own_call_rpc(st, argv[helper], bound, &cls);
    if (!f) return Ref::borrow(Py_None);
    PyObject* slots[] = {cls, argv[rpc_client], argv[clazz], argv[method], argv[args],
                         argv[kwargs], argv[request_id], argv[serialize], argv[timeout],
                         argv[idempotent], argv[wait_for_ready]};
    WireReply wire;
    wire.wake = argv[wake];
    wire.item = argv[item];
    call_rpc_run(f, slots, &wire);
    if (wire.declined || !wire.call) return Ref::borrow(Py_None);
    return check(PyTuple_Pack(2, wire.handle.get(), wire.call.get()));
}
const FunctionDef start_wire_def = {
    "_start_wire", nullptr, nullptr,
    {"helper", "rpc_client", "clazz", "method", "args", "kwargs", "request_id", "serialize",
     "timeout", "idempotent", "wait_for_ready", "wake", "item"},
    start_wire_function, nullptr};

// _wire_result(handle, call): what call_rpc_result makes of the reply of a
// call _start_wire started, once it is done; its error raised otherwise.
Ref wire_result_function(FunctionObject* self, PyObject* const* argv) {
    State& st = state_of(self);
    if (!channel_wire(st)) raise(PyExc_RuntimeError, "the native engine is not loaded");
    WireReply wire;
    wire.handle = Ref::borrow(argv[0]);
    wire.bytes = Ref::steal(st.channel_wire->reply_bytes(argv[0], argv[1]));
    if (!wire.bytes) throw PyErrAlreadySet{};
    return result_of_wire(self, st, wire);
}
const FunctionDef wire_result_def = {"_wire_result", nullptr, nullptr, {"handle", "call"},
                                     wire_result_function, nullptr};

// _result_of(response): what call_rpc_result makes of a CommonResponse, or of
// its serialized bytes (a streamed call's messages, taken undecoded).
Ref result_of_function(FunctionObject* self, PyObject* const* argv) {
    const State& st = state_of(self);
    if (PyBytes_CheckExact(argv[0]))
        return result_of_bytes(self, st, argv[0],
                               [&] { return call(st.response_from_string.get(), {argv[0]}); });
    return result_of(self, st, argv[0]);
}
const FunctionDef result_of_def = {"_result_of", nullptr, nullptr, {"response"},
                                   result_of_function, nullptr};

const FunctionDef GrpcHelper_call_rpc_result_def = {
    "call_rpc_result", "GrpcHelper.call_rpc_result", nullptr,
    {"cls", "rpc_client", "clazz", "method", "args", "kwargs", "request_id", "*", "timeout",
     "serialize", "idempotent", "wait_for_ready"},
    GrpcHelper_call_rpc_result, nullptr};

}  // namespace

void define_GrpcException(PyObject* m) {
    Ref bases = check(PyTuple_Pack(1, PyExc_Exception));
    Ref cls = make_class(m, "GrpcException", bases.get(), nullptr,
                         method(m, GrpcException_init_def));
    bind(m, "GrpcException", cls.get());
}

void define_GrpcHelper(PyObject* m) {
    PyObject* code = state(m).default_serialize.get();  // 3, or the entry's codec
    Ref call_rpc_defaults = defaults({Py_None, Py_None, Py_None, code, Py_None, Py_False, Py_None});
    Ref call_rpc_result_defaults =
        defaults({Py_None, Py_None, Py_None, Py_None, code, Py_False, Py_None});
    Ref cls = make_class(m, "GrpcHelper", nullptr, nullptr,
                         class_method(m, GrpcHelper_call_rpc_def, call_rpc_defaults.get()),
                         class_method(m, GrpcHelper_call_rpc_result_def,
                                      call_rpc_result_defaults.get()));
    bind(m, "GrpcHelper", cls.get());
    bind(m, "_result_of", make_function(m, result_of_def).get());
    bind(m, "_start_wire", make_function(m, start_wire_def).get());
    bind(m, "_wire_result", make_function(m, wire_result_def).get());
}

}  // namespace sorvane::corvex
