// The JSON codec of corvex: json.dumps(obj, ensure_ascii=False) and
// json.loads(text) as the host computes them, with native fast paths. See
// jsoncodec.hpp for the contract.
//
// When the native paths run
// -------------------------
// Every call looks up `json` in corvex's namespace. The native path is taken
// only when that is the module bound at import (still a plain module) and the
// names the host's functions read at call time are still bound to the objects
// they had at import (init_json_state takes the snapshot and checks that it is
// the stock implementation backed by the _json accelerator):
//
//   json.dumps(o, ensure_ascii=False) reads json.dumps, json.JSONEncoder, the
//     JSONEncoder attributes __init__, encode, iterencode, item_separator and
//     key_separator, and json.encoder's c_make_encoder and encode_basestring.
//     JSONEncoder's own dict must also keep its number of entries, so that no
//     attribute (__new__, __getattribute__, a property) is added to it.
//   json.loads(text) reads json.loads, json._default_decoder (its type, its
//     scan_once, and no attribute added to its __dict__, e.g. a shadowing
//     decode), and JSONDecoder's decode and raw_decode (no entry added to the
//     class dict either). The scanner captured its hooks when it was made, so
//     only the dict behind its parse_constant is read again, at each constant.
//
// Not watched, because watching costs more than such patching is plausible:
// replacing __code__ or the defaults of the functions above (the keyword
// defaults of json.dumps and json.loads are checked once, at import), replacing
// an existing, unwatched class attribute (JSONEncoder.default never sees a
// natively encoded value), assigning a new __dict__ to json._default_decoder,
// and giving JSONEncoder or JSONDecoder another metaclass. Names read only when
// an object is made are not read per call either: json.decoder.scanstring and
// json.scanner.make_scanner (when a decoder is made), and json.encoder's
// INFINITY, _make_iterencode and py_* functions (only by the pure-Python
// encoder, which runs only when c_make_encoder, watched, is None). A class dict
// that gains an entry the host creates lazily (__annotations__ when
// introspected) only turns the native path off: always exact, at worst slower.
//
// What is native
// --------------
// Encoding: exact dict, list, tuple, str, int, float, True, False, None, dict
// keys of exact type str, int, float, bool or None, up to kMaxDepth levels.
// Anything else (subclasses, other types, str with lone surrogates, circular or
// deeper nesting, int too long for the host's digit limit) abandons the native
// attempt without an exception set and the host call produces the text or
// raises its exact error.
//
// Decoding: a str holding valid JSON nested at most kMaxDepth levels, with the
// objects the host's scanner makes (key strings shared within the document,
// duplicate keys last-wins, the constant objects of its parse_constant). On any
// syntax error or deeper nesting the host call raises or answers.
//
// The native paths use a fixed depth bound instead of the interpreter's
// recursion counter (on 3.7 and 3.8, a RecursionError caught here and retried on
// the host path would run it in the interpreter's overflow grace mode, where
// deeper input is fatal). So close to the recursion limit the host may raise
// RecursionError where the native path answers. The native paths never leave an
// exception set, so trying them and falling back is invisible.
#include "jsoncodec.hpp"

#include "corvex.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace sorvane::corvex {
namespace {

constexpr int kMaxDepth = 500;  // containers nested deeper go to the host
constexpr int kDecoderBinding = 1;  // st.loads.bindings[1] is json._default_decoder

// ---------------------------------------------------------------------------
// Guards

bool guard_holds(const JsonGuard& g) noexcept {
    if (!g.armed) return false;
    for (int i = 0; i < g.nsized; ++i)
        if (PyDict_GET_SIZE(g.sized[i].get()) != g.sizes[i]) return false;
    for (int i = 0; i < g.nbindings; ++i) {
        const JsonBinding& b = g.bindings[i];
        // Only a foreign key with a failing __eq__ can make this raise; the
        // host path meets the same key and raises for itself.
        PyObject* v = PyDict_GetItemWithError(b.ns.get(), b.name.get());
        if (v != b.value.get()) {
            if (!v) PyErr_Clear();
            return false;
        }
    }
    return true;
}

bool json_is_snapshot(const JsonState& st, PyObject* json) noexcept {
    return json == st.json.get() && Py_TYPE(json) == &PyModule_Type;
}

bool dumps_is_native(const JsonState& st, PyObject* json) noexcept {
    return json_is_snapshot(st, json) && guard_holds(st.dumps);
}

bool loads_is_native(const JsonState& st, PyObject* json) noexcept {
    if (!json_is_snapshot(st, json) || !guard_holds(st.loads)) return false;
    return Py_TYPE(st.loads.bindings[kDecoderBinding].value.get()) ==
           reinterpret_cast<PyTypeObject*>(st.decoder_type.get());
}

// ---------------------------------------------------------------------------
// Output buffer: bytes on the stack for typical texts, then the heap. Growth
// failures are reported as false, never as an exception.

class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (data_ != inline_) PyMem_Free(data_);
    }

    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return len_; }

    // Room for `extra` more bytes; then tail() may be written up to that.
    bool reserve(size_t extra) noexcept {
        return cap_ - len_ >= extra || grow(extra);
    }
    char* tail() noexcept { return data_ + len_; }
    void commit(char* end) noexcept { len_ = static_cast<size_t>(end - data_); }

    bool append(const char* s, size_t n) noexcept {
        if (!reserve(n)) return false;
        std::memcpy(data_ + len_, s, n);
        len_ += n;
        return true;
    }
    template <size_t N>
    bool append(const char (&literal)[N]) noexcept {
        return append(literal, N - 1);
    }
    bool append(char c) noexcept {
        if (!reserve(1)) return false;
        data_[len_++] = c;
        return true;
    }

private:
    bool grow(size_t extra) noexcept {
        size_t cap = cap_ * 2;
        if (cap - len_ < extra) cap = len_ + extra;
        if (cap > static_cast<size_t>(PY_SSIZE_T_MAX)) return false;
        char* p = static_cast<char*>(data_ == inline_ ? PyMem_Malloc(cap) : PyMem_Realloc(data_, cap));
        if (!p) return false;
        if (data_ == inline_) std::memcpy(p, inline_, len_);
        data_ = p;
        cap_ = cap;
        return true;
    }

    char inline_[1024];
    char* data_ = inline_;
    size_t len_ = 0;
    size_t cap_ = sizeof inline_;
};

// ---------------------------------------------------------------------------
// Encoder

// How the ensure_ascii=False encoder writes each ASCII character: 0 literally,
// else the letter after the backslash ('u' for \u00XX).
struct EscapeTable {
    char code[128];
    constexpr EscapeTable() : code() {
        for (int c = 0; c < 0x20; ++c) code[c] = 'u';
        code['\b'] = 'b';
        code['\f'] = 'f';
        code['\n'] = 'n';
        code['\r'] = 'r';
        code['\t'] = 't';
        code['"'] = '"';
        code['\\'] = '\\';
    }
};
constexpr EscapeTable kEscape;

inline size_t escaped_size(char code) noexcept { return code == 'u' ? 6 : 2; }

inline char* put_escape(char* p, unsigned c, char code) noexcept {
    static const char hex[] = "0123456789abcdef";
    *p++ = '\\';
    *p++ = code;
    if (code == 'u') {
        *p++ = '0';
        *p++ = '0';
        *p++ = hex[(c >> 4) & 0xf];
        *p++ = hex[c & 0xf];
    }
    return p;
}

inline bool is_surrogate(Py_UCS4 c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }

class Encoder {
public:
    Buffer out;

    // Appends the JSON text of `o`. False (no exception set) when `o` is
    // outside the native domain; the buffer is then to be discarded.
    bool value(PyObject* o, int depth) {
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyUnicode_Type) return string(o);
        if (t == &PyLong_Type) return integer(o);
        if (t == &PyDict_Type) return dict(o, depth);
        if (t == &PyList_Type) return list(o, depth);
        if (t == &PyFloat_Type) return floating(PyFloat_AS_DOUBLE(o));
        if (o == Py_None) return out.append("null");
        if (o == Py_True) return out.append("true");
        if (o == Py_False) return out.append("false");
        if (t == &PyTuple_Type) return tuple(o, depth);
        return false;
    }

private:
    // A str as the host's encode_basestring writes it, in UTF-8.
    bool string(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(s) < 0) {
            PyErr_Clear();
            return false;
        }
#endif
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const void* data = PyUnicode_DATA(s);
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(s)) return ascii(static_cast<const char*>(data), n);
            return text(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND:
            return text(static_cast<const Py_UCS2*>(data), n);
        default:
            return text(static_cast<const Py_UCS4*>(data), n);
        }
    }

    bool ascii(const char* s, Py_ssize_t n) {
        size_t size = static_cast<size_t>(n) + 2;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (char code = kEscape.code[static_cast<unsigned char>(s[i])]) size += escaped_size(code) - 1;
        if (!out.reserve(size)) return false;
        char* p = out.tail();
        *p++ = '"';
        if (size == static_cast<size_t>(n) + 2) {
            std::memcpy(p, s, static_cast<size_t>(n));
            p += n;
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) {
                const unsigned char c = static_cast<unsigned char>(s[i]);
                if (char code = kEscape.code[c])
                    p = put_escape(p, c, code);
                else
                    *p++ = static_cast<char>(c);
            }
        }
        *p++ = '"';
        out.commit(p);
        return true;
    }

    // Any kind: first the exact size (and the surrogate check), then the bytes.
    template <class Ch>
    bool text(const Ch* s, Py_ssize_t n) {
        size_t size = 2;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = s[i];
            if (c < 0x80) {
                const char code = kEscape.code[c];
                size += code ? escaped_size(code) : 1;
            } else if (c < 0x800) {
                size += 2;
            } else if (c < 0x10000) {
                if (is_surrogate(c)) return false;  // not encodable: the host raises
                size += 3;
            } else {
                size += 4;
            }
        }
        if (!out.reserve(size)) return false;
        char* p = out.tail();
        *p++ = '"';
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = s[i];
            if (c < 0x80) {
                if (char code = kEscape.code[c])
                    p = put_escape(p, c, code);
                else
                    *p++ = static_cast<char>(c);
            } else if (c < 0x800) {
                *p++ = static_cast<char>(0xC0 | (c >> 6));
                *p++ = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                *p++ = static_cast<char>(0xE0 | (c >> 12));
                *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *p++ = static_cast<char>(0x80 | (c & 0x3F));
            } else {
                *p++ = static_cast<char>(0xF0 | (c >> 18));
                *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *p++ = static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        *p++ = '"';
        out.commit(p);
        return true;
    }

    // int.__repr__: digits here when the value fits in 64 bits, else the host's
    // conversion (which enforces the interpreter's digit limit).
    bool integer(PyObject* o) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            char digits[24];
            char* end = digits + sizeof digits;
            char* p = end;
            unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                         : static_cast<unsigned long long>(v);
            do {
                *--p = static_cast<char>('0' + u % 10);
                u /= 10;
            } while (u);
            if (v < 0) *--p = '-';
            return out.append(p, static_cast<size_t>(end - p));
        }
        PyObject* r = PyLong_Type.tp_repr(o);
        if (!r) {
            PyErr_Clear();
            return false;
        }
        Ref repr = Ref::steal(r);
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(repr.get(), &n);
        if (!s) {
            PyErr_Clear();
            return false;
        }
        return out.append(s, static_cast<size_t>(n));
    }

    // float.__repr__, with the host's names for the non-finite values.
    bool floating(double d) {
        if (std::isnan(d)) return out.append("NaN");
        if (std::isinf(d)) return d > 0 ? out.append("Infinity") : out.append("-Infinity");
        char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!s) {
            PyErr_Clear();
            return false;
        }
        const bool ok = out.append(s, std::strlen(s));
        PyMem_Free(s);
        return ok;
    }

    // A dict key as the host converts it to a string, then quoted.
    bool key(PyObject* k) {
        PyTypeObject* t = Py_TYPE(k);
        if (t == &PyUnicode_Type) return string(k);
        if (t == &PyLong_Type) return out.append('"') && integer(k) && out.append('"');
        if (t == &PyFloat_Type)
            return out.append('"') && floating(PyFloat_AS_DOUBLE(k)) && out.append('"');
        if (k == Py_True) return out.append("\"true\"");
        if (k == Py_False) return out.append("\"false\"");
        if (k == Py_None) return out.append("\"null\"");
        return false;
    }

    // Container items are held while they are written: converting a very long
    // int may run Python code, which could otherwise drop them.
    bool dict(PyObject* d, int depth) {
        if (PyDict_GET_SIZE(d) == 0) return out.append("{}");
        if (depth >= kMaxDepth || !out.append('{')) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        while (PyDict_Next(d, &pos, &k, &v)) {
            Ref hold_key = Ref::borrow(k), hold_value = Ref::borrow(v);
            if (!first && !out.append(", ")) return false;
            first = false;
            if (!key(k) || !out.append(": ") || !value(v, depth + 1)) return false;
        }
        return out.append('}');
    }

    bool list(PyObject* l, int depth) {
        if (PyList_GET_SIZE(l) == 0) return out.append("[]");
        if (depth >= kMaxDepth || !out.append('[')) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(l, i));
            if ((i && !out.append(", ")) || !value(item.get(), depth + 1)) return false;
        }
        return out.append(']');
    }

    bool tuple(PyObject* t, int depth) {
        const Py_ssize_t n = PyTuple_GET_SIZE(t);
        if (n == 0) return out.append("[]");
        if (depth >= kMaxDepth || !out.append('[')) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if ((i && !out.append(", ")) || !value(PyTuple_GET_ITEM(t, i), depth + 1)) return false;
        return out.append(']');
    }
};

// The native text of `obj` in UTF-8, or false (no exception set).
bool encode_native(PyObject* obj, Encoder& enc) noexcept {
    try {
        if (enc.value(obj, 0)) return true;
    } catch (...) {  // nothing here throws; keep the boundary tight regardless
    }
    PyErr_Clear();
    return false;
}

// ---------------------------------------------------------------------------
// Decoder

// Key strings of one document, shared as the host's scanner shares them: every
// key equal to an earlier one is replaced by that earlier object.
class KeyMemo {
public:
    // False with an exception set on failure.
    bool share(Ref& key) {
        const Py_hash_t h = PyObject_Hash(key.get());  // cached; the dict insert reuses it
        if (h == -1) return false;
        if (dict_) {
            PyObject* first = PyDict_SetDefault(dict_.get(), key.get(), key.get());
            if (!first) return false;
            if (first != key.get()) key = Ref::borrow(first);
            return true;
        }
        for (int i = 0; i < n_; ++i) {
            if (hashes_[i] == h && same_text(keys_[i].get(), key.get())) {
                key = keys_[i].copy();
                return true;
            }
        }
        if (n_ < kLinear) {
            keys_[n_] = key.copy();
            hashes_[n_++] = h;
            return true;
        }
        PyObject* d = PyDict_New();
        if (!d) return false;
        dict_ = Ref::steal(d);
        for (int i = 0; i < n_; ++i)
            if (PyDict_SetItem(d, keys_[i].get(), keys_[i].get()) < 0) return false;
        return PyDict_SetItem(d, key.get(), key.get()) == 0;
    }

private:
    // Both are exact, ready, canonical str: equal texts have equal kinds.
    static bool same_text(PyObject* a, PyObject* b) noexcept {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        const int kind = PyUnicode_KIND(a);
        return n == PyUnicode_GET_LENGTH(b) && kind == static_cast<int>(PyUnicode_KIND(b)) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
    }

    static constexpr int kLinear = 8;
    Ref keys_[kLinear];
    Py_hash_t hashes_[kLinear] = {};
    int n_ = 0;
    Ref dict_;  // all keys, once there are more than kLinear distinct ones
};

inline bool is_ws(Py_UCS4 c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(Py_UCS4 c) noexcept { return c >= '0' && c <= '9'; }
inline int hex_value(Py_UCS4 c) noexcept {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// Parses the text of one str whose characters are of type Ch. Every method
// returns an empty Ref on failure, possibly with an exception set (the caller
// clears it): a failure only means "ask the host".
template <class Ch>
class Parser {
public:
    Parser(const JsonState& st, PyObject* text, const Ch* s, Py_ssize_t n) noexcept
        : st_(st), text_(text), s_(s), n_(n) {}

    Ref document() {
        skip_ws();
        Ref v = value(0);
        if (!v) return {};
        skip_ws();
        if (i_ != n_) return {};
        return v;
    }

private:
    void skip_ws() noexcept {
        while (i_ < n_ && is_ws(s_[i_])) ++i_;
    }
    bool at(Ch c) const noexcept { return i_ < n_ && s_[i_] == c; }

    bool match(const char* word, size_t len) noexcept {
        if (static_cast<size_t>(n_ - i_) < len) return false;
        for (size_t k = 0; k < len; ++k)
            if (s_[i_ + static_cast<Py_ssize_t>(k)] != static_cast<unsigned char>(word[k])) return false;
        i_ += static_cast<Py_ssize_t>(len);
        return true;
    }

    Ref value(int depth) {
        if (i_ >= n_) return {};
        switch (s_[i_]) {
        case '"': return string();
        case '{': return object(depth + 1);
        case '[': return array(depth + 1);
        case 'n': return match("null", 4) ? Ref::borrow(Py_None) : Ref();
        case 't': return match("true", 4) ? Ref::borrow(Py_True) : Ref();
        case 'f': return match("false", 5) ? Ref::borrow(Py_False) : Ref();
        case 'N': return match("NaN", 3) ? constant(st_.name_nan.get()) : Ref();
        case 'I': return match("Infinity", 8) ? constant(st_.name_inf.get()) : Ref();
        case '-':
            if (i_ + 1 < n_ && s_[i_ + 1] == 'I')
                return match("-Infinity", 9) ? constant(st_.name_neg_inf.get()) : Ref();
            return number();
        default: return number();
        }
    }

    // What the scanner's parse_constant (a dict's __getitem__) answers; a
    // missing entry is left to the host, which raises its KeyError.
    Ref constant(PyObject* name) {
        return Ref::borrow(PyDict_GetItemWithError(st_.constants.get(), name));
    }

    Ref object(int depth) {
        if (depth > kMaxDepth) return {};
        ++i_;  // '{'
        Ref d = Ref::steal(PyDict_New());
        if (!d) return {};
        skip_ws();
        if (at('}')) {
            ++i_;
            return d;
        }
        for (;;) {
            if (!at('"')) return {};
            Ref key = string();
            if (!key || !memo_.share(key)) return {};
            skip_ws();
            if (!at(':')) return {};
            ++i_;
            skip_ws();
            Ref v = value(depth);
            if (!v || PyDict_SetItem(d.get(), key.get(), v.get()) < 0) return {};
            skip_ws();
            if (at('}')) {
                ++i_;
                return d;
            }
            if (!at(',')) return {};
            ++i_;
            skip_ws();
        }
    }

    Ref array(int depth) {
        if (depth > kMaxDepth) return {};
        ++i_;  // '['
        Ref l = Ref::steal(PyList_New(0));
        if (!l) return {};
        skip_ws();
        if (at(']')) {
            ++i_;
            return l;
        }
        for (;;) {
            Ref v = value(depth);
            if (!v || PyList_Append(l.get(), v.get()) < 0) return {};
            skip_ws();
            if (at(']')) {
                ++i_;
                return l;
            }
            if (!at(',')) return {};
            ++i_;
            skip_ws();
        }
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)? , the longest match; what
    // follows is checked by the caller.
    Ref number() {
        const Py_ssize_t start = i_;
        if (at('-')) ++i_;
        if (i_ < n_ && s_[i_] >= '1' && s_[i_] <= '9') {
            while (i_ < n_ && is_digit(s_[i_])) ++i_;
        } else if (at('0')) {
            ++i_;
        } else {
            return {};
        }
        bool is_float = false;
        if (i_ + 1 < n_ && s_[i_] == '.' && is_digit(s_[i_ + 1])) {
            is_float = true;
            i_ += 2;
            while (i_ < n_ && is_digit(s_[i_])) ++i_;
        }
        if (i_ + 1 < n_ && (s_[i_] == 'e' || s_[i_] == 'E')) {
            const Py_ssize_t e = i_++;
            if (s_[i_] == '-' || s_[i_] == '+') ++i_;
            const Py_ssize_t digits = i_;
            while (i_ < n_ && is_digit(s_[i_])) ++i_;
            if (i_ > digits)
                is_float = true;
            else
                i_ = e;  // not an exponent: the number ends before the 'e'
        }
        const size_t len = static_cast<size_t>(i_ - start);
        if (!is_float && len <= 18) {  // at most 18 digits: exact in 64 bits
            long long v = 0;
            const bool negative = s_[start] == '-';
            for (Py_ssize_t k = start + negative; k < i_; ++k) v = v * 10 + static_cast<int>(s_[k] - '0');
            return Ref::steal(PyLong_FromLongLong(negative ? -v : v));
        }
        // Same conversions as the host: int(text) and float(text).
        char small[64];
        std::vector<char> large;
        char* buf = small;
        if (len >= sizeof small) {
            large.resize(len + 1);
            buf = large.data();
        }
        for (size_t k = 0; k < len; ++k) buf[k] = static_cast<char>(s_[start + static_cast<Py_ssize_t>(k)]);
        buf[len] = '\0';
        if (!is_float) return Ref::steal(PyLong_FromString(buf, nullptr, 10));
        const double d = PyOS_string_to_double(buf, nullptr, nullptr);
        if (d == -1.0 && PyErr_Occurred()) return {};
        return Ref::steal(PyFloat_FromDouble(d));
    }

    // A string from its opening quote. Without escapes it is a slice of the
    // text; otherwise the code points are gathered in a scratch buffer.
    Ref string() {
        const Py_ssize_t begin = ++i_;
        for (;;) {
            if (i_ >= n_) return {};
            const Py_UCS4 c = s_[i_];
            if (c == '"') return Ref::steal(PyUnicode_Substring(text_, begin, i_++));
            if (c == '\\') break;
            if (c < 0x20) return {};
            ++i_;
        }
        scratch_.assign(s_ + begin, s_ + i_);
        for (;;) {
            if (i_ >= n_) return {};
            Py_UCS4 c = s_[i_++];
            if (c == '"') break;
            if (c < 0x20) return {};
            if (c == '\\') {
                if (i_ >= n_) return {};
                switch (s_[i_++]) {
                case '"': c = '"'; break;
                case '\\': c = '\\'; break;
                case '/': c = '/'; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case 'u':
                    if (!hex4(c)) return {};
                    // A high surrogate escape followed by a low one is one code
                    // point; any other \u escape after it stands on its own.
                    if (c >= 0xD800 && c <= 0xDBFF && i_ + 1 < n_ && s_[i_] == '\\' && s_[i_ + 1] == 'u') {
                        const Py_ssize_t second = i_;
                        i_ += 2;
                        Py_UCS4 low = 0;
                        if (!hex4(low)) return {};
                        if (low >= 0xDC00 && low <= 0xDFFF)
                            c = 0x10000 + (((c - 0xD800) << 10) | (low - 0xDC00));
                        else
                            i_ = second;
                    }
                    break;
                default: return {};
                }
            }
            scratch_.push_back(c);
        }
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, scratch_.data(),
                                                    static_cast<Py_ssize_t>(scratch_.size())));
    }

    bool hex4(Py_UCS4& out) noexcept {
        if (n_ - i_ < 4) return false;
        Py_UCS4 v = 0;
        for (int k = 0; k < 4; ++k) {
            const int h = hex_value(s_[i_++]);
            if (h < 0) return false;
            v = (v << 4) | static_cast<Py_UCS4>(h);
        }
        out = v;
        return true;
    }

    const JsonState& st_;
    PyObject* text_;
    const Ch* s_;
    Py_ssize_t n_;
    Py_ssize_t i_ = 0;
    std::vector<Py_UCS4> scratch_;
    KeyMemo memo_;
};

// The native value of `text` (an exact str), or an empty Ref (no exception set).
Ref decode_native(const JsonState& st, PyObject* text) noexcept {
    Ref result;
    try {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(text) < 0) {
            PyErr_Clear();
            return {};
        }
#endif
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const void* data = PyUnicode_DATA(text);
        switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            result = Parser<Py_UCS1>(st, text, static_cast<const Py_UCS1*>(data), n).document();
            break;
        case PyUnicode_2BYTE_KIND:
            result = Parser<Py_UCS2>(st, text, static_cast<const Py_UCS2*>(data), n).document();
            break;
        default:
            result = Parser<Py_UCS4>(st, text, static_cast<const Py_UCS4*>(data), n).document();
            break;
        }
    } catch (...) {  // std::bad_alloc from the scratch buffers
        result.reset();
    }
    if (!result) PyErr_Clear();
    return result;
}

// ---------------------------------------------------------------------------
// Snapshot at import

// `ns[name]` (borrowed), or NULL without an exception.
PyObject* entry_of(PyObject* ns, const char* name) { return PyDict_GetItemString(ns, name); }

bool is_python_function_in(PyObject* f, PyObject* globals) {
    return f && PyFunction_Check(f) && PyFunction_GET_GLOBALS(f) == globals;
}

PyObject* own_dict_of(PyObject* type) {
    if (!type || !PyType_Check(type)) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE) || Py_TYPE(type) != &PyType_Type) return nullptr;
    return t->tp_dict;
}

void watch(JsonGuard& g, PyObject* ns, const char* name) {
    JsonBinding& b = g.bindings[g.nbindings++];
    b.ns = Ref::borrow(ns);
    b.name = interned(name);
    b.value = Ref::borrow(check_borrowed(PyDict_GetItemString(ns, name)));
}

void watch_size(JsonGuard& g, PyObject* dict) {
    g.sized[g.nsized] = Ref::borrow(dict);
    g.sizes[g.nsized++] = PyDict_GET_SIZE(dict);
}

// True when every keyword default of `f` equals the one in `expected`.
bool kwdefaults_are(PyObject* f, PyObject* expected) {
    PyObject* kw = PyFunction_GET_KW_DEFAULTS(f);
    if (!kw || !PyDict_Check(kw)) return false;
    Py_ssize_t pos = 0;
    PyObject *name, *want;
    while (PyDict_Next(expected, &pos, &name, &want)) {
        PyObject* have = PyDict_GetItemWithError(kw, name);
        if (!have) return false;
        if (PyObject_RichCompareBool(have, want, Py_EQ) != 1 || Py_TYPE(have) != Py_TYPE(want))
            return false;
    }
    return true;
}

// json.dumps(o, ensure_ascii=False) of the stock json package over _json.
bool snapshot_dumps(JsonState& st, PyObject* json_ns) {
    JsonGuard& g = st.dumps;
    PyObject* dumps = entry_of(json_ns, "dumps");
    if (!is_python_function_in(dumps, json_ns)) return false;
    Ref expected = check(Py_BuildValue("{sOsOsOsOsOsOsOsOsO}", "skipkeys", Py_False, "ensure_ascii",
                                       Py_True, "check_circular", Py_True, "allow_nan", Py_True,
                                       "cls", Py_None, "indent", Py_None, "separators", Py_None,
                                       "default", Py_None, "sort_keys", Py_False));
    if (!kwdefaults_are(dumps, expected.get())) return false;

    PyObject* cls_dict = own_dict_of(entry_of(json_ns, "JSONEncoder"));
    if (!cls_dict) return false;
    PyObject* encode = entry_of(cls_dict, "encode");
    if (!encode || !PyFunction_Check(encode)) return false;
    PyObject* encoder_ns = PyFunction_GET_GLOBALS(encode);
    if (!is_python_function_in(entry_of(cls_dict, "__init__"), encoder_ns) ||
        !is_python_function_in(entry_of(cls_dict, "iterencode"), encoder_ns))
        return false;
    PyObject* item_sep = entry_of(cls_dict, "item_separator");
    PyObject* key_sep = entry_of(cls_dict, "key_separator");
    if (!item_sep || !PyUnicode_Check(item_sep) || PyUnicode_CompareWithASCIIString(item_sep, ", ") ||
        !key_sep || !PyUnicode_Check(key_sep) || PyUnicode_CompareWithASCIIString(key_sep, ": "))
        return false;
    PyObject* make_encoder = entry_of(encoder_ns, "c_make_encoder");
    if (!make_encoder || make_encoder == Py_None) return false;  // pure-Python encoder: not covered
    PyObject* basestring = entry_of(encoder_ns, "encode_basestring");
    if (!basestring || (basestring != entry_of(encoder_ns, "c_encode_basestring") &&
                        basestring != entry_of(encoder_ns, "py_encode_basestring")))
        return false;

    watch(g, json_ns, "dumps");
    watch(g, json_ns, "JSONEncoder");
    watch(g, encoder_ns, "c_make_encoder");
    watch(g, encoder_ns, "encode_basestring");
    watch(g, cls_dict, "__init__");
    watch(g, cls_dict, "encode");
    watch(g, cls_dict, "iterencode");
    watch(g, cls_dict, "item_separator");
    watch(g, cls_dict, "key_separator");
    watch_size(g, cls_dict);
    return true;
}

// json.loads(text) of the stock json package over _json's scanner.
bool snapshot_loads(JsonState& st, PyObject* json_ns) {
    JsonGuard& g = st.loads;
    PyObject* loads = entry_of(json_ns, "loads");
    if (!is_python_function_in(loads, json_ns)) return false;
    PyObject* kw = PyFunction_GET_KW_DEFAULTS(loads);
    if (!kw || !PyDict_Check(kw)) return false;
    {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(kw, &pos, &name, &value))
            if (value != Py_None) return false;
    }

    PyObject* decoder = entry_of(json_ns, "_default_decoder");
    if (!decoder) return false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(decoder));
    PyObject* cls_dict = own_dict_of(type);
    if (!cls_dict || type != entry_of(json_ns, "JSONDecoder")) return false;
    PyObject* decode = entry_of(cls_dict, "decode");
    if (!decode || !PyFunction_Check(decode) ||
        !is_python_function_in(entry_of(cls_dict, "raw_decode"), PyFunction_GET_GLOBALS(decode)))
        return false;
    Ref inst_dict = check(PyObject_GenericGetDict(decoder, nullptr));
    if (!PyDict_CheckExact(inst_dict.get())) return false;

    // The scanner must be _json's, made with the stock hooks.
    PyObject* scan_once = entry_of(inst_dict.get(), "scan_once");
    Ref scanner_module = import("json.scanner");
    Ref c_scanner = getattr(scanner_module.get(), "c_make_scanner");
    if (!scan_once || reinterpret_cast<PyObject*>(Py_TYPE(scan_once)) != c_scanner.get()) return false;
    const struct { const char* name; PyObject* value; } hooks[] = {
        {"strict", Py_True},
        {"object_hook", Py_None},
        {"object_pairs_hook", Py_None},
        {"parse_float", reinterpret_cast<PyObject*>(&PyFloat_Type)},
        {"parse_int", reinterpret_cast<PyObject*>(&PyLong_Type)},
    };
    for (const auto& h : hooks)
        if (getattr(scan_once, h.name).get() != h.value) return false;
    Ref parse_constant = getattr(scan_once, "parse_constant");
    if (!PyCFunction_Check(parse_constant.get())) return false;
    PyObject* constants = PyCFunction_GET_SELF(parse_constant.get());
    if (!constants || !PyDict_CheckExact(constants)) return false;
    Ref getitem = getattr(constants, "__getitem__");
    if (PyObject_RichCompareBool(parse_constant.get(), getitem.get(), Py_EQ) != 1) return false;

    watch(g, json_ns, "loads");
    watch(g, json_ns, "_default_decoder");  // kDecoderBinding
    watch(g, cls_dict, "decode");
    watch(g, cls_dict, "raw_decode");
    watch(g, inst_dict.get(), "scan_once");
    watch_size(g, cls_dict);
    watch_size(g, inst_dict.get());
    st.decoder_type = Ref::borrow(type);
    st.constants = Ref::borrow(constants);
    return true;
}

// Arms one guard; an unexpected json package only leaves it disarmed.
template <class Snapshot>
void arm(JsonGuard& g, Snapshot&& snapshot) {
    bool ok = false;
    try {
        ok = snapshot();
    } catch (const PyErrAlreadySet&) {
        PyErr_Clear();
    }
    if (ok && !PyErr_Occurred()) {
        g.armed = true;
    } else {
        PyErr_Clear();
        g.clear();
    }
}

// The host path: json.dumps(obj, ensure_ascii=False) with `json` as looked up.
Ref host_dumps(const JsonState& st, PyObject* json, PyObject* obj) {
    Ref dumps = st.name_dumps ? getattr(json, st.name_dumps.get()) : getattr(json, "dumps");
    Ref names = st.kw_ensure_ascii ? st.kw_ensure_ascii.copy() : kwnames({"ensure_ascii"});
    return call_kw(dumps.get(), {obj}, names.get(), {Py_False});
}

Ref lookup_json(const JsonState& st, FunctionObject* caller) {
    Ref name = st.name_json ? st.name_json.copy() : interned("json");
    return lookup_global(globals_of(caller), name.get());
}

}  // namespace

void init_json_state(PyObject* module, JsonState& st) {
    st.name_json = interned("json");
    st.name_dumps = interned("dumps");
    st.name_loads = interned("loads");
    st.kw_ensure_ascii = kwnames({"ensure_ascii"});
    st.name_nan = interned("NaN");
    st.name_inf = interned("Infinity");
    st.name_neg_inf = interned("-Infinity");
    st.json = lookup_global(PyModule_GetDict(module), st.name_json.get());
    if (Py_TYPE(st.json.get()) != &PyModule_Type) return;  // both paths stay disarmed
    PyObject* json_ns = PyModule_GetDict(st.json.get());
    arm(st.dumps, [&] { return snapshot_dumps(st, json_ns); });
    arm(st.loads, [&] { return snapshot_loads(st, json_ns); });
}

Ref json_dumps_text(FunctionObject* caller, PyObject* obj) {
    const JsonState& st = state(caller).json;
    Ref json = lookup_json(st, caller);
    if (dumps_is_native(st, json.get())) {
        Encoder enc;
        if (encode_native(obj, enc)) {
            if (PyObject* text = PyUnicode_DecodeUTF8(enc.out.data(), static_cast<Py_ssize_t>(enc.out.size()), nullptr))
                return Ref::steal(text);
            PyErr_Clear();
        }
    }
    return host_dumps(st, json.get(), obj);
}

Ref json_dumps_utf8(FunctionObject* caller, PyObject* obj) {
    const JsonState& st = state(caller).json;
    Ref json = lookup_json(st, caller);
    if (dumps_is_native(st, json.get())) {
        Encoder enc;
        if (encode_native(obj, enc)) {
            if (PyObject* bytes = PyBytes_FromStringAndSize(enc.out.data(), static_cast<Py_ssize_t>(enc.out.size())))
                return Ref::steal(bytes);
            PyErr_Clear();
        }
    }
    Ref text = host_dumps(st, json.get(), obj);
    return check(PyUnicode_AsUTF8String(text.get()));
}

Ref json_loads_text(FunctionObject* caller, PyObject* text) {
    const JsonState& st = state(caller).json;
    Ref json = lookup_json(st, caller);
    if (PyUnicode_CheckExact(text) && loads_is_native(st, json.get())) {
        if (Ref value = decode_native(st, text)) return value;
    }
    Ref loads = st.name_loads ? getattr(json.get(), st.name_loads.get()) : getattr(json.get(), "loads");
    return call(loads.get(), {text});
}

}  // namespace sorvane::corvex
