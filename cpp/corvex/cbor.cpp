// The binary codec: CBOR (RFC 8949), for values JSON cannot carry.
//
// cbor_dumps writes None, the booleans, integers, floats, str, bytes, lists
// and dicts as CBOR's own items, and the other values it knows under tags:
//   registered   0 aware datetime (RFC 3339 text)     1004 date (RFC 8943 text)
//                2/3 integers beyond 64 bits          4 Decimal [exponent, mantissa]
//                37 UUID (16 bytes)                  258 set (array)
//                40 NumPy array [shape, typed array]  64..87 typed arrays (RFC 8746)
//   sorvane's    kTagTuple .. kTagDecimalText (below), where no registered tag fits.
// cbor_loads builds exactly those values and nothing else: any other tag or
// simple value, an indefinite-length item, nesting deeper than kMaxDepth, a
// length or count the input cannot hold and trailing bytes are refused with
// CodecError (a ValueError). A typed array comes back as a read-only NumPy
// array over the input's own bytes; NumPy is imported only for one.
//
// Contents: the writer (Writer, encode_*), the reader (Reader), the module's
// functions (_cbor_dumps, _cbor_loads) and define_cbor.
#include "corvex.hpp"

#include <datetime.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace sorvane::corvex {
namespace {

// sorvane's own tags (first-come range of the tag registry), each over the
// item in brackets.
constexpr std::uint64_t kTagTuple = 52992;          // tuple [array]
constexpr std::uint64_t kTagFrozenset = 52993;      // frozenset [array]
constexpr std::uint64_t kTagBytearray = 52994;      // bytearray [byte string]
constexpr std::uint64_t kTagNaiveDatetime = 52995;  // datetime without offset [ISO 8601 text]
constexpr std::uint64_t kTagTime = 52996;           // time of day [ISO 8601 text]
constexpr std::uint64_t kTagTimedelta = 52997;      // timedelta [[days, seconds, microseconds]]
constexpr std::uint64_t kTagDecimalText = 52998;    // Decimal tag 4 cannot hold [text]

constexpr std::uint64_t kTagDatetime = 0, kTagPositive = 2, kTagNegative = 3, kTagDecimal = 4,
                        kTagUuid = 37, kTagNdarray = 40, kTagSet = 258, kTagDate = 1004,
                        kTagSelfDescribed = 55799;

// How deep values may nest, either way (a circular value ends here too).
constexpr int kMaxDepth = 256;
// The longest mantissa of tag 4 accepted, in bits: its digits are made by
// int-to-text conversion, whose cost grows with the square of the length.
constexpr Py_ssize_t kMaxMantissaBits = 8192;

bool little_endian_host() noexcept {
    const std::uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// ---- writing ----------------------------------------------------------------

// The output: one bytes object grown in place and cut to size at the end,
// so a large payload is copied once.
class Writer {
public:
    Ref finish() {
        reserve(0);
        PyObject* p = buf_.release();
        if (compat::bytes_resize(&p, size_) < 0) throw PyErrAlreadySet{};
        return Ref::steal(p);
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

// ---- reading ------------------------------------------------------------------

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
    Reader(const State& st, PyObject* source)
        : st_(st), source_(source),
          begin_(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(source))),
          p_(begin_), end_(begin_ + PyBytes_GET_SIZE(source)) {}

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
    const Py_ssize_t offset = reinterpret_cast<const unsigned char*>(take(len)) - begin_;
    try {
        Ref array;
        if (len == 0) {
            array = check(PyObject_CallMethod(numpy.get(), "empty", "ns", Py_ssize_t{0}, dtype));
        } else {
            if (!view_) view_ = check(PyMemoryView_FromObject(source_));
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

// ---- the module's functions ----------------------------------------------------

Ref cbor_dumps_function(FunctionObject*, PyObject* const* argv) { return cbor_dumps(argv[0]); }
Ref cbor_loads_function(FunctionObject* self, PyObject* const* argv) {
    return cbor_loads(state_of(self), argv[0]);
}
const FunctionDef cbor_dumps_def = {"_cbor_dumps", nullptr, "The CBOR encoding of a value.",
                                    {"value"}, cbor_dumps_function, nullptr};
const FunctionDef cbor_loads_def = {"_cbor_loads", nullptr, "The value a CBOR encoding stands for.",
                                    {"data"}, cbor_loads_function, nullptr};

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

Ref cbor_loads(const State& st, PyObject* data) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw PyErrAlreadySet{};
    }
    Ref source = PyBytes_CheckExact(data) ? Ref::borrow(data) : check(PyBytes_FromObject(data));
    return Reader(st, source.get()).document();
}

bool is_cbor(PyObject* code) {
    if (!PyLong_Check(code)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(code, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
    return !overflow && v == kCborCode;
}

void define_cbor(PyObject* m) {
    State& st = state(m);
    st.codec_error = check(PyErr_NewExceptionWithDoc(
        "sorvane.corvex.CodecError",
        "Input that is not an encoding the codec accepts (a ValueError).", PyExc_ValueError, nullptr));
    bind(m, "CodecError", st.codec_error.get());
    bind(m, "_cbor_dumps", make_function(m, cbor_dumps_def).get());
    bind(m, "_cbor_loads", make_function(m, cbor_loads_def).get());
    Ref code = check(PyLong_FromLong(kCborCode));
    bind(m, "CBOR", code.get());
}

}  // namespace sorvane::corvex
