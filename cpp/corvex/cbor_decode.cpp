// The CBOR reader: cbor_loads, which builds exactly the values cbor.hpp lists
// and refuses any other input with CodecError. Writing is in cbor_encode.cpp.
//
// Contents: half_to_double, Head, Reader (an item's head, then the item by
// major type and tag, typed arrays as NumPy arrays) and cbor_loads.
#include "cbor.hpp"

#include <datetime.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace sorvane::corvex {
namespace {

// The longest mantissa of tag 4 accepted, in bits: its digits are made by
// int-to-text conversion, whose cost grows with the square of the length.
constexpr Py_ssize_t kMaxMantissaBits = 8192;

double half_to_double(std::uint16_t h) noexcept {
    const int exp = (h >> 10) & 0x1f;
    const int mant = h & 0x3ff;
    double v;
    if (exp == 0) v = std::ldexp(mant, -24);
    else if (exp == 31) v = mant ? std::numeric_limits<double>::quiet_NaN() : HUGE_VAL;
    else v = std::ldexp(mant + 1024, exp - 25);
    return (h & 0x8000) ? -v : v;
}

struct Head {
    int major;
    int info;  // the initial byte's additional information
    std::uint64_t n;
};

class Reader {
public:
    // `data` lies in `source`, bytes or another read-only buffer (all of it,
    // or a field of a larger message): typed arrays are views over `source`.
    Reader(const State& st, PyObject* source, const char* data, Py_ssize_t size)
        : st_(st), source_(source),
          begin_(reinterpret_cast<const unsigned char*>(data)),
          p_(begin_), end_(begin_ + size) {}

    Ref document() {
        Ref v = item(0, false);
        if (p_ != end_) invalid("bytes follow the value");
        return v;
    }

private:
    [[noreturn]] void invalid(const char* what) const {
        raise_format(st_.codec_error.get(), "invalid CBOR at byte %zd: %s",
                     static_cast<Py_ssize_t>(p_ - begin_), what);
    }
    size_t left() const noexcept { return static_cast<size_t>(end_ - p_); }
    Head head();
    // A length or count the rest of the input can hold, `unit` bytes per unit at least.
    size_t length(std::uint64_t n, size_t unit) {
        if (n > left() / unit) invalid("a length or count larger than the input");
        return static_cast<size_t>(n);
    }
    const char* take(size_t len) {
        const char* at = reinterpret_cast<const char*>(p_);
        p_ += len;
        return at;
    }
    Ref item(int depth, bool key);
    Ref simple(const Head& h);
    Ref tagged(std::uint64_t tag, int depth, bool key);
    Ref array(const Head& h, int depth, bool hashable, bool as_tuple);
    // The next item, of major type 2 (bytes) or 3 (text), with what it is for.
    Ref expect(int major, int depth, const char* what);
    Ref integer_of(Ref v, const char* what) {
        if (!PyLong_CheckExact(v.get())) invalid(what);
        return v;
    }
    Ref ndarray(int depth);
    Ref typed_array(std::uint64_t tag, PyObject* shape);
    Ref from_iso(const char* module, const char* type, PyObject* text);

    const State& st_;
    PyObject* source_;
    const unsigned char* begin_;
    const unsigned char* p_;
    const unsigned char* end_;
    Ref view_;  // memoryview(source_), made for the first typed array
};

Head Reader::head() {
    if (p_ == end_) invalid("the input ends inside a value");
    const unsigned char ib = *p_++;
    Head h{ib >> 5, ib & 31, 0};
    if (h.info < 24) {
        h.n = static_cast<std::uint64_t>(h.info);
        return h;
    }
    if (h.info > 27) {
        --p_;
        invalid(h.info == 31 ? "indefinite-length items are not accepted" : "a reserved head");
    }
    const size_t bytes = size_t{1} << (h.info - 24);
    if (left() < bytes) invalid("the input ends inside a head");
    for (size_t i = 0; i < bytes; ++i) h.n = (h.n << 8) | *p_++;
    return h;
}

Ref Reader::item(int depth, bool key) {
    if (depth > kMaxDepth) invalid("the value is nested too deeply");
    const Head h = head();
    switch (h.major) {
    case 0:
        return check(PyLong_FromUnsignedLongLong(h.n));
    case 1: {
        if (h.n <= static_cast<std::uint64_t>(std::numeric_limits<long long>::max()))
            return check(PyLong_FromLongLong(-1 - static_cast<long long>(h.n)));
        Ref magnitude = check(PyLong_FromUnsignedLongLong(h.n));
        Ref minus_one = check(PyLong_FromLong(-1));
        return check(PyNumber_Subtract(minus_one.get(), magnitude.get()));
    }
    case 2: {
        const size_t len = length(h.n, 1);
        return check(PyBytes_FromStringAndSize(take(len), static_cast<Py_ssize_t>(len)));
    }
    case 3: {
        const size_t len = length(h.n, 1);
        const char* at = reinterpret_cast<const char*>(p_);
        Ref t = Ref::steal(PyUnicode_DecodeUTF8(at, static_cast<Py_ssize_t>(len), "strict"));
        if (!t) {
            PyErr_Clear();
            invalid("a text that is not UTF-8");
        }
        p_ += len;
        return t;
    }
    case 4:
        return array(h, depth, key, key);
    case 5: {
        const size_t count = length(h.n, 2);
        Ref d = check(PyDict_New());
        for (size_t i = 0; i < count; ++i) {
            Ref k = item(depth + 1, true);
            Ref v = item(depth + 1, false);
            if (PyDict_SetItem(d.get(), k.get(), v.get()) < 0) {
                PyErr_Clear();
                invalid("a map key that cannot be a dict key");
            }
        }
        return d;
    }
    case 6:
        return tagged(h.n, depth, key);
    default:
        return simple(h);
    }
}

// Major type 7: false, true, null, undefined (None) and the three float widths.
Ref Reader::simple(const Head& h) {
    switch (h.info) {
    case 20: return Ref::borrow(Py_False);
    case 21: return Ref::borrow(Py_True);
    case 22:
    case 23: return Ref::borrow(Py_None);
    case 25: return check(PyFloat_FromDouble(half_to_double(static_cast<std::uint16_t>(h.n))));
    case 26: {
        const std::uint32_t bits = static_cast<std::uint32_t>(h.n);
        float f;
        std::memcpy(&f, &bits, 4);
        return check(PyFloat_FromDouble(static_cast<double>(f)));
    }
    case 27: {
        double d;
        std::memcpy(&d, &h.n, 8);
        return check(PyFloat_FromDouble(d));
    }
    default:
        invalid("a simple value that is not accepted");
    }
}

// An array's items as a list, or a tuple (`as_tuple`); items of a value that
// must be hashable (a map key, a set's item) are made hashable too.
Ref Reader::array(const Head& h, int depth, bool hashable, bool as_tuple) {
    const size_t count = length(h.n, 1);
    const Py_ssize_t n = static_cast<Py_ssize_t>(count);
    Ref seq = check(as_tuple ? PyTuple_New(n) : PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref v = item(depth + 1, hashable);
        if (as_tuple) PyTuple_SET_ITEM(seq.get(), i, v.release());  // steals
        else PyList_SET_ITEM(seq.get(), i, v.release());
    }
    return seq;
}

Ref Reader::expect(int major, int depth, const char* what) {
    if (p_ == end_ || (*p_ >> 5) != major) invalid(what);
    return item(depth + 1, false);
}

// type.fromisoformat(text) of module.type; a 'Z' offset is read as +00:00
// (fromisoformat knows it only from 3.11).
Ref Reader::from_iso(const char* module, const char* type, PyObject* text) {
    Ref shown = Ref::borrow(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n > 0 && (PyUnicode_READ_CHAR(text, n - 1) == 'Z' || PyUnicode_READ_CHAR(text, n - 1) == 'z')) {
        Ref head = check(PyUnicode_Substring(text, 0, n - 1));
        shown = check(PyUnicode_FromFormat("%U+00:00", head.get()));
    }
    Ref m = import(module);
    Ref t = getattr(m.get(), type);
    Ref v = Ref::steal(PyObject_CallMethod(t.get(), "fromisoformat", "O", shown.get()));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw PyErrAlreadySet{};
        PyErr_Clear();
        invalid("a date or time that is not ISO 8601");
    }
    return v;
}

// A tag and what it tags count as one level, as the writer counts them, so
// that whatever was decoded can be sent on; only a tag over a tag goes deeper.
Ref Reader::tagged(std::uint64_t tag, int depth, bool key) {
    switch (tag) {
    case kTagDatetime:
    case kTagNaiveDatetime: {
        Ref t = expect(3, depth, "a datetime tag over something not text");
        Ref v = from_iso("datetime", "datetime", t.get());
        Ref offset = check(PyObject_CallMethod(v.get(), "utcoffset", nullptr));
        if ((offset.get() == Py_None) != (tag == kTagNaiveDatetime))
            invalid(tag == kTagDatetime ? "a datetime without its offset" : "a naive datetime with an offset");
        return v;
    }
    case kTagDate: {
        Ref t = expect(3, depth, "a date tag over something not text");
        return from_iso("datetime", "date", t.get());
    }
    case kTagTime: {
        Ref t = expect(3, depth, "a time tag over something not text");
        return from_iso("datetime", "time", t.get());
    }
    case kTagPositive:
    case kTagNegative: {
        Ref b = expect(2, depth, "a big number over something not bytes");
        Ref v = check(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "from_bytes",
                                          "Os", b.get(), "big"));
        if (tag == kTagPositive) return v;
        Ref minus_one = check(PyLong_FromLong(-1));
        return check(PyNumber_Subtract(minus_one.get(), v.get()));
    }
    case kTagDecimal: {
        if (p_ == end_ || *p_ != 0x82) invalid("a decimal fraction that is not [exponent, mantissa]");
        ++p_;
        Ref exponent = integer_of(item(depth + 2, false), "a decimal fraction's exponent is not an integer");
        Ref mantissa = integer_of(item(depth + 2, false), "a decimal fraction's mantissa is not an integer");
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(exponent.get(), &overflow);
        Ref bits = check(PyObject_CallMethod(mantissa.get(), "bit_length", nullptr));
        if (overflow || PyLong_AsSsize_t(bits.get()) > kMaxMantissaBits)
            invalid("a decimal fraction too large");
        Ref text = check(PyUnicode_FromFormat("%SE%S", mantissa.get(), exponent.get()));
        Ref decimal = import("decimal");
        return call(getattr(decimal.get(), "Decimal").get(), {text.get()});
    }
    case kTagDecimalText: {
        Ref t = expect(3, depth, "a decimal tag over something not text");
        Ref decimal = import("decimal");
        Ref v = Ref::steal(PyObject_CallFunctionObjArgs(getattr(decimal.get(), "Decimal").get(), t.get(), nullptr));
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PyErrAlreadySet{};
            PyErr_Clear();
            invalid("a decimal text that is not a number");
        }
        return v;
    }
    case kTagUuid: {
        Ref b = expect(2, depth, "a UUID tag over something not bytes");
        if (PyBytes_GET_SIZE(b.get()) != 16) invalid("a UUID that is not 16 bytes");
        Ref uuid = import("uuid");
        Ref names = kwnames({"bytes"});
        return call_kw(getattr(uuid.get(), "UUID").get(), {}, names.get(), {b.get()});
    }
    case kTagSet:
    case kTagFrozenset: {
        if (p_ == end_ || (*p_ >> 5) != 4) invalid("a set tag over something not an array");
        Ref items = array(head(), depth, true, true);
        return check(tag == kTagFrozenset || key ? PyFrozenSet_New(items.get()) : PySet_New(items.get()));
    }
    case kTagTuple: {
        if (p_ == end_ || (*p_ >> 5) != 4) invalid("a tuple tag over something not an array");
        return array(head(), depth, key, true);
    }
    case kTagBytearray: {
        Ref b = expect(2, depth, "a bytearray tag over something not bytes");
        return check(PyByteArray_FromObject(b.get()));
    }
    case kTagTimedelta: {
        if (p_ == end_ || *p_ != 0x83) invalid("a timedelta that is not [days, seconds, microseconds]");
        ++p_;
        long parts[3];
        for (long& part : parts) {
            Ref v = integer_of(item(depth + 2, false), "a timedelta part that is not an integer");
            part = PyLong_AsLong(v.get());
            if ((part == -1 && PyErr_Occurred()) || part < -999999999L || part > 999999999L) {
                PyErr_Clear();
                invalid("a timedelta part out of range");
            }
        }
        Ref v = Ref::steal(PyDelta_FromDSU(static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                                           static_cast<int>(parts[2])));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyErrAlreadySet{};
            PyErr_Clear();
            invalid("a timedelta out of range");
        }
        return v;
    }
    case kTagNdarray:
        return ndarray(depth);
    case kTagSelfDescribed:
        return item(depth + 1, key);
    default:
        if (tag >= 64 && tag <= 87) return typed_array(tag, nullptr);
        invalid("a tag that is not accepted");
    }
}

// Tag 40's content: [shape, typed array].
Ref Reader::ndarray(int depth) {
    if (p_ == end_ || *p_ != 0x82) invalid("an array tag that is not [shape, typed array]");
    ++p_;
    const Head shape_head = head();
    if (shape_head.major != 4) invalid("an array's shape that is not an array");
    const size_t ndim = length(shape_head.n, 1);
    if (ndim > 32) invalid("an array of more than 32 dimensions");
    Ref shape = check(PyTuple_New(static_cast<Py_ssize_t>(ndim)));
    for (size_t i = 0; i < ndim; ++i) {
        const Head d = head();
        if (d.major != 0) invalid("an array's dimension that is not an unsigned integer");
        PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(d.n)).release());
    }
    (void)depth;
    const Head t = head();
    if (t.major != 6 || t.n < 64 || t.n > 87) invalid("an array tag over something not a typed array");
    return typed_array(t.n, shape.get());
}

// A typed array (RFC 8746) as a read-only NumPy array over the input's bytes,
// reshaped to `shape` (none: one dimension).
Ref Reader::typed_array(std::uint64_t tag, PyObject* shape) {
    const bool is_float = (tag >> 4) & 1, is_signed = (tag >> 3) & 1, little = (tag >> 2) & 1;
    const int ll = static_cast<int>(tag & 3);
    if ((is_float && ll == 3) || (is_float && is_signed) || (!is_float && is_signed && ll == 0 && little))
        invalid("a typed array of a kind that is not accepted");
    const size_t itemsize = is_float ? size_t{2} << ll : size_t{1} << ll;
    const Head h = head();
    if (h.major != 2) invalid("a typed array over something not bytes");
    const size_t len = length(h.n, 1);
    if (len % itemsize) invalid("a typed array whose length is not a multiple of its items");
    if (shape) {
        size_t count = 1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
            const unsigned long long d = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(shape, i));
            if (d && count > std::numeric_limits<size_t>::max() / d) invalid("an array shape too large");
            count *= static_cast<size_t>(d);
        }
        if (count != len / itemsize) invalid("an array shape that does not match its data");
    }
    char dtype[8];
    std::snprintf(dtype, sizeof dtype, "%c%c%zu", itemsize == 1 ? '|' : little ? '<' : '>',
                  is_float ? 'f' : is_signed ? 'i' : 'u', itemsize);
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyErrAlreadySet{};
        PyErr_Clear();
        raise(st_.codec_error.get(), "a typed array needs NumPy, which is not installed here");
    }
    const char* at = take(len);
    try {
        Ref array;
        if (len == 0) {
            array = check(PyObject_CallMethod(numpy.get(), "empty", "ns", Py_ssize_t{0}, dtype));
        } else {
            // The source is bytes or another read-only buffer holding the input.
            if (!view_) view_ = check(PyMemoryView_FromObject(source_));
            const Py_buffer* whole = PyMemoryView_GET_BUFFER(view_.get());
            const Py_ssize_t offset = at - static_cast<const char*>(whole->buf);
            if (offset < 0 || offset > whole->len - static_cast<Py_ssize_t>(len))
                raise(PyExc_SystemError, "a CBOR input outside the buffer that holds it");
            Ref slice = check(PySequence_GetSlice(view_.get(), offset,
                                                  offset + static_cast<Py_ssize_t>(len)));
            array = check(PyObject_CallMethod(numpy.get(), "frombuffer", "Os", slice.get(), dtype));
        }
        if (!shape) return array;
        Ref reshape = getattr(array.get(), "reshape");
        return call(reshape.get(), {shape});
    } catch (const PyErrAlreadySet&) {
        // A shape NumPy refuses (too large in all, say): the input's fault.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
    }
    invalid("an array NumPy cannot make");
}

}  // namespace

Ref cbor_loads(const State& st, PyObject* data) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw PyErrAlreadySet{};
    }
    Ref source = PyBytes_CheckExact(data) ? Ref::borrow(data) : check(PyBytes_FromObject(data));
    return cbor_loads_view(st, source.get(), PyBytes_AS_STRING(source.get()),
                           PyBytes_GET_SIZE(source.get()));
}

Ref cbor_loads_view(const State& st, PyObject* owner, const char* data, Py_ssize_t size) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw PyErrAlreadySet{};
    }
    return Reader(st, owner, data, size).document();
}

}  // namespace sorvane::corvex
