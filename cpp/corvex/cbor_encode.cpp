// The CBOR writer: cbor_dumps, the values cbor.hpp lists as CBOR items and
// tags, written into one bytes object grown in place. Reading is in
// cbor_decode.cpp.
//
// Contents: Writer (the output), Buffer, Encoder (a value's items, by kind)
// and cbor_dumps.
#include "cbor.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace sorvane::corvex {
namespace {

bool little_endian_host() noexcept {
    const std::uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// The output: one bytes object grown in place and cut to size at the end,
// so a large payload is copied once.
class Writer {
public:
    // With `parts`, a large bytes object is not copied: it becomes a part of
    // the output of its own, between what was written before it and after.
    explicit Writer(std::vector<Ref>* parts = nullptr) : parts_(parts) {}
    Ref finish() {
        reserve(0);
        PyObject* p = buf_.release();
        const Py_ssize_t size = size_;
        size_ = cap_ = 0;  // a part ends here: what follows starts anew
        if (compat::bytes_resize(&p, size) < 0) throw PyErrAlreadySet{};
        return Ref::steal(p);
    }
    // Takes `bytes` (exact bytes) as a part when in parts mode and large.
    bool lend(PyObject* bytes) {
        if (!parts_ || !PyBytes_CheckExact(bytes) || PyBytes_GET_SIZE(bytes) < kLendFrom) return false;
        parts_->push_back(finish());
        parts_->push_back(Ref::borrow(bytes));
        return true;
    }
    void head(int major, std::uint64_t n) {
        unsigned char b[9];
        const unsigned char m = static_cast<unsigned char>(major << 5);
        size_t len;
        if (n < 24) {
            b[0] = static_cast<unsigned char>(m | n);
            len = 1;
        } else {
            const int bytes = n <= 0xff ? 1 : n <= 0xffff ? 2 : n <= 0xffffffffu ? 4 : 8;
            b[0] = static_cast<unsigned char>(m | (bytes == 1 ? 24 : bytes == 2 ? 25 : bytes == 4 ? 26 : 27));
            for (int i = 0; i < bytes; ++i)
                b[1 + i] = static_cast<unsigned char>(n >> (8 * (bytes - 1 - i)));
            len = 1 + static_cast<size_t>(bytes);
        }
        raw(b, len);
    }
    void raw(const void* p, size_t n) {
        if (n > static_cast<size_t>(PY_SSIZE_T_MAX - size_)) raise(PyExc_OverflowError, "the encoded value is too large");
        reserve(static_cast<Py_ssize_t>(n));
        std::memcpy(PyBytes_AS_STRING(buf_.get()) + size_, p, n);
        size_ += static_cast<Py_ssize_t>(n);
    }
    void byte(unsigned char b) { raw(&b, 1); }
    void double_value(double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, 8);
        unsigned char b[9] = {0xfb};
        for (int i = 0; i < 8; ++i) b[1 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        raw(b, 9);
    }

private:
    void reserve(Py_ssize_t more) {
        if (buf_ && size_ + more <= cap_) return;
        Py_ssize_t want = cap_ < 64 ? 64 : cap_;
        while (want < size_ + more) want = want > PY_SSIZE_T_MAX / 2 ? size_ + more : want * 2;
        if (!buf_) {
            buf_ = check(PyBytes_FromStringAndSize(nullptr, want));
        } else {
            PyObject* p = buf_.release();
            if (compat::bytes_resize(&p, want) < 0) throw PyErrAlreadySet{};
            buf_ = Ref::steal(p);
        }
        cap_ = want;
    }
    std::vector<Ref>* parts_;
    Ref buf_;
    Py_ssize_t size_ = 0;
    Py_ssize_t cap_ = 0;
};

// A buffer view released on every way out.
struct Buffer {
    Py_buffer view{};
    bool held = false;
    bool get(PyObject* o, int flags) {
        held = PyObject_GetBuffer(o, &view, flags) == 0;
        return held;
    }
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
};

class Encoder {
public:
    explicit Encoder(std::vector<Ref>* parts = nullptr) : out(parts) {}
    void value(PyObject* o, int depth);
    Writer out;

private:
    void integer(PyObject* o);
    void text(PyObject* o);
    void sequence(PyObject* seq, int depth);  // a list or tuple's items, as an array
    void mapping(PyObject* d, int depth);
    void isotext(std::uint64_t tag, PyObject* o);
    void decimal(PyObject* o);
    bool numpy_value(PyObject* o, int depth);
    void numpy_array(PyObject* numpy, PyObject* o);
};

void Encoder::integer(PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
    if (!overflow) {
        if (v >= 0) out.head(0, static_cast<std::uint64_t>(v));
        else out.head(1, static_cast<std::uint64_t>(-(v + 1)));
        return;
    }
    // -1 - n for a negative n, then as unsigned or as a big number.
    Ref magnitude = Ref::borrow(o);
    if (overflow < 0) {
        Ref minus_one = check(PyLong_FromLong(-1));
        magnitude = check(PyNumber_Subtract(minus_one.get(), o));
    }
    const unsigned long long u = PyLong_AsUnsignedLongLong(magnitude.get());
    if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        out.head(overflow < 0 ? 1 : 0, u);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyErrAlreadySet{};
    PyErr_Clear();
    Ref bits = check(PyObject_CallMethod(magnitude.get(), "bit_length", nullptr));
    const Py_ssize_t nbits = PyLong_AsSsize_t(bits.get());
    if (nbits < 0) throw PyErrAlreadySet{};
    Ref bytes = check(PyObject_CallMethod(magnitude.get(), "to_bytes", "ns", (nbits + 7) / 8, "big"));
    out.head(6, overflow < 0 ? kTagNegative : kTagPositive);
    out.head(2, static_cast<std::uint64_t>(PyBytes_GET_SIZE(bytes.get())));
    out.raw(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

void Encoder::text(PyObject* o) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) throw PyErrAlreadySet{};
    out.head(3, static_cast<std::uint64_t>(size));
    out.raw(utf8, static_cast<size_t>(size));
}

void Encoder::sequence(PyObject* seq, int depth) {
    // Items are read by index with a reference held, so a list changed by
    // code an item runs cannot pull one away; its length is read once.
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out.head(4, static_cast<std::uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i >= PySequence_Fast_GET_SIZE(seq)) raise(PyExc_RuntimeError, "list changed size during encoding");
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq, i));
        value(item.get(), depth + 1);
    }
}

void Encoder::mapping(PyObject* d, int depth) {
    // The items as a list first: encoding a key or value may run code that
    // changes the dict.
    Ref items = check(PyDict_Items(d));
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    out.head(5, static_cast<std::uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        value(PyTuple_GET_ITEM(pair, 0), depth + 1);
        value(PyTuple_GET_ITEM(pair, 1), depth + 1);
    }
}

// tag + o.isoformat()
void Encoder::isotext(std::uint64_t tag, PyObject* o) {
    Ref iso = check(PyObject_CallMethod(o, "isoformat", nullptr));
    if (!PyUnicode_Check(iso.get())) raise(PyExc_TypeError, "isoformat() did not return a str");
    out.head(6, tag);
    text(iso.get());
}

// Tag 4 [exponent, mantissa] for a finite Decimal of moderate length, sorvane's
// text tag for the rest (NaN, infinities, negative zero, very long digits).
void Encoder::decimal(PyObject* o) {
    Ref parts = check(PyObject_CallMethod(o, "as_tuple", nullptr));
    Ref sign = check(PySequence_GetItem(parts.get(), 0));
    Ref digits = check(PySequence_GetItem(parts.get(), 1));
    Ref exponent = check(PySequence_GetItem(parts.get(), 2));
    const Py_ssize_t count = PyObject_Length(digits.get());
    if (count < 0) throw PyErrAlreadySet{};
    const bool negative = PyObject_IsTrue(sign.get()) == 1;
    std::string text_digits;
    bool zero = true;
    if (PyLong_Check(exponent.get()) && count <= 1000) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref d = check(PySequence_GetItem(digits.get(), i));
            const long v = PyLong_AsLong(d.get());
            if (v < 0 || v > 9) {
                if (PyErr_Occurred()) throw PyErrAlreadySet{};
                raise(PyExc_ValueError, "a Decimal digit out of range");
            }
            zero = zero && v == 0;
            text_digits += static_cast<char>('0' + v);
        }
    }
    if (text_digits.empty() || (zero && negative)) {
        out.head(6, kTagDecimalText);
        Ref shown = check(PyObject_Str(o));
        text(shown.get());
        return;
    }
    if (negative) text_digits.insert(0, 1, '-');
    Ref mantissa = check(PyLong_FromString(text_digits.c_str(), nullptr, 10));
    out.head(6, kTagDecimal);
    out.head(4, 2);
    integer(exponent.get());
    integer(mantissa.get());
}

// A NumPy array or scalar; false for anything else (numpy never imported here).
bool Encoder::numpy_value(PyObject* o, int depth) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* numpy = PyDict_GetItemString(modules, "numpy");  // borrowed, no error set
    if (!numpy || numpy == Py_None) return false;
    Ref holder = Ref::borrow(numpy);
    Ref ndarray = check(PyObject_GetAttrString(numpy, "ndarray"));
    if (check(PyObject_IsInstance(o, ndarray.get()))) {
        numpy_array(numpy, o);
        return true;
    }
    Ref generic = check(PyObject_GetAttrString(numpy, "generic"));
    if (!check(PyObject_IsInstance(o, generic.get()))) return false;
    // A scalar: as the Python value it stands for (item()); one with none
    // (a long double, say) is refused below.
    Ref item = check(PyObject_CallMethod(o, "item", nullptr));
    if (check(PyObject_IsInstance(item.get(), generic.get())) ||
        check(PyObject_IsInstance(item.get(), ndarray.get())))
        raise_format(PyExc_TypeError, "Object of type %.100s is not CBOR serializable",
                     Py_TYPE(o)->tp_name);
    value(item.get(), depth + 1);
    return true;
}

// Tag 40 [shape, typed array]: the array's bytes in row-major order, copied
// once from the array (or from a C-ordered copy of one that is not).
void Encoder::numpy_array(PyObject* numpy, PyObject* o) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    Ref contiguous;
    Buffer buf;
    if (!buf.get(o, flags)) {
        PyErr_Clear();
        contiguous = check(PyObject_CallMethod(numpy, "ascontiguousarray", "O", o));
        if (!buf.get(contiguous.get(), flags)) throw PyErrAlreadySet{};
    }
    const Py_buffer& v = buf.view;
    const char* f = v.format ? v.format : "B";
    bool little = little_endian_host();
    if (*f == '<') little = true;
    else if (*f == '>' || *f == '!') little = false;
    if (*f == '<' || *f == '>' || *f == '!' || *f == '=' || *f == '@') ++f;
    int kind = -1;  // 0 unsigned, 1 signed, 2 float
    if (f[0] && !f[1]) {
        if (std::strchr("BHILQN", f[0])) kind = 0;
        else if (std::strchr("bhilqn", f[0])) kind = 1;
        else if (std::strchr("efd", f[0])) kind = 2;
    }
    int ll = -1;
    const Py_ssize_t size = v.itemsize;
    if (kind == 2) ll = size == 2 ? 0 : size == 4 ? 1 : size == 8 ? 2 : -1;
    else if (kind >= 0) ll = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : size == 8 ? 3 : -1;
    if (ll < 0) {
        Ref dtype = check(PyObject_GetAttrString(o, "dtype"));
        raise_format(PyExc_TypeError, "NumPy arrays of dtype %R are not CBOR serializable",
                     dtype.get());
    }
    std::uint64_t tag = 64 + (static_cast<std::uint64_t>(kind == 2) << 4) +
                        (static_cast<std::uint64_t>(kind == 1) << 3) + static_cast<std::uint64_t>(ll);
    if (!(kind != 2 && ll == 0) && little) tag += 4;  // one-byte items have no byte order
    out.head(6, kTagNdarray);
    out.head(4, 2);
    out.head(4, static_cast<std::uint64_t>(v.ndim));
    for (int i = 0; i < v.ndim; ++i) out.head(0, static_cast<std::uint64_t>(v.shape[i]));
    out.head(6, tag);
    out.head(2, static_cast<std::uint64_t>(v.len));
    out.raw(v.buf, static_cast<size_t>(v.len));
}

void Encoder::value(PyObject* o, int depth) {
    if (depth > kMaxDepth)
        raise_format(PyExc_ValueError, "the value is nested deeper than %d levels (or circular)",
                     kMaxDepth);
    if (o == Py_None) return out.byte(0xf6);
    if (o == Py_True) return out.byte(0xf5);
    if (o == Py_False) return out.byte(0xf4);
    if (PyLong_Check(o)) return integer(o);
    if (PyFloat_Check(o)) return out.double_value(PyFloat_AS_DOUBLE(o));
    if (PyUnicode_Check(o)) return text(o);
    if (PyBytes_Check(o)) {
        out.head(2, static_cast<std::uint64_t>(PyBytes_GET_SIZE(o)));
        if (out.lend(o)) return;
        return out.raw(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    }
    if (PyByteArray_Check(o)) {
        Ref copy = check(PyBytes_FromObject(o));  // a stable snapshot of its bytes
        out.head(6, kTagBytearray);
        out.head(2, static_cast<std::uint64_t>(PyBytes_GET_SIZE(copy.get())));
        return out.raw(PyBytes_AS_STRING(copy.get()), static_cast<size_t>(PyBytes_GET_SIZE(copy.get())));
    }
    if (PyList_Check(o)) return sequence(o, depth);
    if (PyTuple_Check(o)) {
        out.head(6, kTagTuple);
        return sequence(o, depth);
    }
    if (PyDict_Check(o)) return mapping(o, depth);
    if (PyAnySet_Check(o)) {
        out.head(6, PyFrozenSet_Check(o) ? kTagFrozenset : kTagSet);
        Ref items = check(PySequence_Tuple(o));
        return sequence(items.get(), depth);
    }
    if (PyDateTime_Check(o)) {
        Ref offset = check(PyObject_CallMethod(o, "utcoffset", nullptr));
        return isotext(offset.get() == Py_None ? kTagNaiveDatetime : kTagDatetime, o);
    }
    if (PyDate_Check(o)) return isotext(kTagDate, o);
    if (PyTime_Check(o)) return isotext(kTagTime, o);
    if (PyDelta_Check(o)) {
        out.head(6, kTagTimedelta);
        out.head(4, 3);
        Ref parts[] = {check(PyLong_FromLong(PyDateTime_DELTA_GET_DAYS(o))),
                       check(PyLong_FromLong(PyDateTime_DELTA_GET_SECONDS(o))),
                       check(PyLong_FromLong(PyDateTime_DELTA_GET_MICROSECONDS(o)))};
        for (Ref& p : parts) integer(p.get());
        return;
    }
    Ref decimal_module = import("decimal");
    Ref decimal_type = getattr(decimal_module.get(), "Decimal");
    if (check(PyObject_IsInstance(o, decimal_type.get()))) return decimal(o);
    Ref uuid_module = import("uuid");
    Ref uuid_type = getattr(uuid_module.get(), "UUID");
    if (check(PyObject_IsInstance(o, uuid_type.get()))) {
        Ref bytes = getattr(o, "bytes");
        if (!PyBytes_Check(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != 16)
            raise(PyExc_ValueError, "a UUID whose bytes are not 16");
        out.head(6, kTagUuid);
        out.head(2, 16);
        return out.raw(PyBytes_AS_STRING(bytes.get()), 16);
    }
    if (numpy_value(o, depth)) return;
    raise_format(PyExc_TypeError, "Object of type %.100s is not CBOR serializable",
                 Py_TYPE(o)->tp_name);
}

}  // namespace

Ref cbor_dumps(PyObject* value) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw PyErrAlreadySet{};
    }
    Encoder e;
    e.value(value, 0);
    return e.out.finish();
}

Ref cbor_dumps_parts(PyObject* value) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw PyErrAlreadySet{};
    }
    std::vector<Ref> parts;
    Encoder e(&parts);
    e.value(value, 0);
    Ref last = e.out.finish();
    if (parts.empty()) return last;
    parts.push_back(std::move(last));
    Ref out = check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    for (size_t i = 0; i < parts.size(); ++i)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), parts[i].release());
    return out;
}

Py_ssize_t parts_size(PyObject* o) noexcept {
    if (PyBytes_Check(o)) return PyBytes_GET_SIZE(o);
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) n += PyBytes_GET_SIZE(PyTuple_GET_ITEM(o, i));
    return n;
}

Ref gather(PyObject* o, Py_ssize_t from, Py_ssize_t n) {
    n = std::max<Py_ssize_t>(0, std::min(n, parts_size(o) - from));
    Ref out = check(PyBytes_FromStringAndSize(nullptr, n));
    char* w = PyBytes_AS_STRING(out.get());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o) && n > 0; ++i) {
        PyObject* part = PyTuple_GET_ITEM(o, i);
        const Py_ssize_t size = PyBytes_GET_SIZE(part);
        if (from >= size) {
            from -= size;
            continue;
        }
        const Py_ssize_t take = std::min(n, size - from);
        std::memcpy(w, PyBytes_AS_STRING(part) + from, static_cast<size_t>(take));
        w += take;
        n -= take;
        from = 0;
    }
    return out;
}

Ref flatten(PyObject* o) {
    if (!PyTuple_Check(o)) return Ref::borrow(o);
    return gather(o, 0, parts_size(o));
}

}  // namespace sorvane::corvex
