// The native engine's wire path: the dispatcher served from a call's bytes.
//
// For a method handler that is corvex's own dispatcher as brindlow adds it
// (the engine asks `accepts` once per method path), the engine hands `handle`
// the request's bytes instead of a CommonRequest, and gets the response's
// bytes back instead of a CommonResponse: two message objects, their parsing
// and serializing, and two copies of the payload fewer per call. Nothing else
// changes: handle runs as it always does (rpc_log's record included), and
// whatever wants a request object (the guard's refusals, an undecodable CBOR
// request, a target that is awaited, a record rendered the host's way) gets
// one made of the same fields, equal to the one the engine would have made. A request
// this reader does not take whole (a field CommonRequest does not have, a
// request_id that is not UTF-8, anything malformed) goes the ordinary way,
// where the message class has its say.
#include "corvex.hpp"

#include "wire_api.hpp"

#include <cstdint>
#include <cstring>

namespace sorvane::corvex {

PyObject* Request::object(const State& st) {
    if (!object_) {
        Ref code = check(PyLong_FromUnsignedLong(serialize_));
        Ref body = this->body(st);
        object_ = call_kw(st.request_class.get(), {}, st.kw_request.get(),
                          {body.get(), code.get(), request_id_.get()});
    }
    return object_.get();
}

bool Request::cbor(const State& st) {
    if (wire()) return serialize_ == static_cast<unsigned long>(kCborCode);
    // A request object without the field is JSON's.
    Ref code = Ref::steal(PyObject_GetAttr(object_.get(), st[N::serialize]));
    if (!code) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrAlreadySet{};
        PyErr_Clear();
        return false;
    }
    return is_cbor(code.get());
}

Ref Request::body(const State& st) {
    if (!wire()) return getattr(object_.get(), st[N::request]);
    return check(PyBytes_FromStringAndSize(data_, size_));
}

bool Request::body_view(const char** data, Py_ssize_t* size, PyObject** holder) const noexcept {
    if (!wire()) return false;
    *data = data_;
    *size = size_;
    *holder = held_.obj;
    return true;
}

size_t varint_size(std::uint64_t v) noexcept {
    size_t n = 1;
    for (; v >= 0x80; v >>= 7) ++n;
    return n;
}

char* put_varint(char* w, std::uint64_t v) noexcept {
    for (; v >= 0x80; v >>= 7) *w++ = static_cast<char>((v & 0x7f) | 0x80);
    *w++ = static_cast<char>(v);
    return w;
}

bool get_varint(const unsigned char*& p, const unsigned char* end, std::uint64_t* v) noexcept {
    std::uint64_t x = 0;
    for (int shift = 0; shift < 64 && p < end; shift += 7) {
        const unsigned char b = *p++;
        x |= static_cast<std::uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) {
            *v = x;
            return true;
        }
    }
    return false;
}


namespace {

// The fields of a serialized CommonRequest: request_id (1, string), request
// (2, bytes), serialize (3, uint32), each at most once. False for anything
// else (a field given twice included: the class checks every copy of a
// string, though only the last one counts).
struct RequestFields {
    const unsigned char* id = nullptr;
    size_t id_size = 0;
    const unsigned char* body = nullptr;
    size_t body_size = 0;
    std::uint32_t serialize = 0;

    bool read(const unsigned char* p, const unsigned char* end) noexcept {
        unsigned seen = 0;
        while (p < end) {
            std::uint64_t tag, value;
            if (!get_varint(p, end, &tag)) return false;
            const std::uint64_t field = tag >> 3;
            if (field < 1 || field > 3 || (seen & (1u << field))) return false;
            seen |= 1u << field;
            if (field == 3) {
                if ((tag & 7) != 0 || !get_varint(p, end, &value)) return false;
                serialize = static_cast<std::uint32_t>(value);  // as the class truncates it
                continue;
            }
            if ((tag & 7) != 2) return false;
            if (!get_varint(p, end, &value) || value > static_cast<std::uint64_t>(end - p))
                return false;
            (field == 1 ? id : body) = p;
            (field == 1 ? id_size : body_size) = static_cast<size_t>(value);
            p += value;
        }
        return true;
    }
};


// The method handler's parts are corvex's dispatcher as brindlow adds it.
int wire_accepts(PyObject* behavior, PyObject* deserializer, PyObject* serializer) noexcept {
    try {
        if (!PyMethod_Check(behavior)) return 0;
        PyObject* wrapper = PyMethod_GET_FUNCTION(behavior);
        if (!is_rpc_log_wrapper(wrapper)) return 0;
        auto* w = reinterpret_cast<FunctionObject*>(wrapper);
        PyObject* handle = closure_item(w, 0);
        if (!is_function(handle) ||
            reinterpret_cast<FunctionObject*>(handle)->def != &CommonService_handle_def ||
            reinterpret_cast<FunctionObject*>(handle)->module != w->module)
            return 0;
        const State& st = state_of(w);
        Ref from_string = getattr(st.request_class.get(), "FromString");
        Ref serialize = getattr(st.response_class.get(), "SerializeToString");
        return check(PyObject_RichCompareBool(deserializer, from_string.get(), Py_EQ)) &&
               check(PyObject_RichCompareBool(serializer, serialize.get(), Py_EQ));
    } catch (...) {
        translate_current_exception();
    }
    return -1;
}

// The payload is bytes, or for a large request the engine's read-only buffer
// (sorvane._native.Message). Its fields are read where they lie, the buffer
// held while the call runs (and by what is read off it, CBOR arrays).
PyObject* wire_handle(PyObject* behavior, PyObject** payload, PyObject* context) noexcept {
    return entry([&]() -> Ref {
        if (!PyMethod_Check(behavior) || !*payload)
            raise(PyExc_TypeError, "the wire path needs an accepted handler and a payload");
        auto* wrapper = reinterpret_cast<FunctionObject*>(PyMethod_GET_FUNCTION(behavior));
        Py_buffer view;
        if (PyObject_GetBuffer(*payload, &view, PyBUF_SIMPLE) < 0) throw PyErrAlreadySet{};
        struct Held {  // released here unless the request takes it over
            Py_buffer* view;
            ~Held() {
                if (view) PyBuffer_Release(view);
            }
        } held{&view};
        const auto* p = static_cast<const unsigned char*>(view.buf);
        RequestFields f;
        if (!f.read(p, p + view.len)) return Ref::borrow(Py_NotImplemented);
        Ref id = Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(f.id),
                                                 static_cast<Py_ssize_t>(f.id_size), "strict"));
        if (!id) {
            PyErr_Clear();  // the message class refuses it in its own words
            return Ref::borrow(Py_NotImplemented);
        }
        held.view = nullptr;
        Request request(std::move(id), &view, reinterpret_cast<const char*>(f.body),
                        static_cast<Py_ssize_t>(f.body_size), f.serialize);
        Py_DECREF(*payload);  // taken: the request's view holds it now
        *payload = nullptr;
        return rpc_log_wire(wrapper, PyMethod_GET_SELF(behavior), request, context);
    });
}

const support::WireApi kWireApi = {support::kWireApiVersion, wire_accepts, wire_handle};

}  // namespace

Ref wire_response(long status, Ref body, Py_ssize_t* at) {
    const auto code = static_cast<std::uint64_t>(static_cast<std::int64_t>(status));
    const auto size = static_cast<size_t>(parts_size(body.get()));
    const size_t head = (status ? 1 + varint_size(code) : 0) + (size ? 1 + varint_size(size) : 0);
    if (PyTuple_Check(body.get())) {
        // In parts: the fields' heads go before the first one.
        *at = static_cast<Py_ssize_t>(head);
        PyObject* first = PyTuple_GET_ITEM(body.get(), 0);
        Ref lead = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(head) + PyBytes_GET_SIZE(first)));
        char* w = PyBytes_AS_STRING(lead.get());
        if (status) {
            *w++ = 1 << 3 | 0;
            w = put_varint(w, code);
        }
        *w++ = 2 << 3 | 2;
        w = put_varint(w, size);
        std::memcpy(w, PyBytes_AS_STRING(first), static_cast<size_t>(PyBytes_GET_SIZE(first)));
        const Py_ssize_t n = PyTuple_GET_SIZE(body.get());
        Ref out = check(PyTuple_New(n));
        PyTuple_SET_ITEM(out.get(), 0, lead.release());
        for (Py_ssize_t i = 1; i < n; ++i)
            PyTuple_SET_ITEM(out.get(), i, Ref::borrow(PyTuple_GET_ITEM(body.get(), i)).release());
        return out;
    }
    const auto total = static_cast<Py_ssize_t>(head + size);
    Ref out;
    if (size && Py_REFCNT(body.get()) == 1) {
        // Grown in place and moved up behind the fields' heads: no second buffer.
        PyObject* grown = body.release();
        if (compat::bytes_resize(&grown, total) < 0) throw PyErrAlreadySet{};
        out = Ref::steal(grown);
        std::memmove(PyBytes_AS_STRING(out.get()) + head, PyBytes_AS_STRING(out.get()), size);
    } else {
        out = check(PyBytes_FromStringAndSize(nullptr, total));
        if (size) std::memcpy(PyBytes_AS_STRING(out.get()) + head, PyBytes_AS_STRING(body.get()), size);
    }
    char* w = PyBytes_AS_STRING(out.get());
    if (status) {
        *w++ = 1 << 3 | 0;
        w = put_varint(w, code);
    }
    if (size) {
        *w++ = 2 << 3 | 2;
        put_varint(w, size);
    }
    *at = static_cast<Py_ssize_t>(head);
    return out;
}

void define_wire_api(PyObject* m) {
    Ref capsule = check(PyCapsule_New(const_cast<support::WireApi*>(&kWireApi),
                                      support::kWireApiCapsule, nullptr));
    bind(m, "_wire_api", capsule.get());
}

}  // namespace sorvane::corvex
