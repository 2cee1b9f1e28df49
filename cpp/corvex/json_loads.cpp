// The loads side of the host JSON codec as corvex calls it (json.cpp has the
// dumps side and the reasons for both): json.loads(text) through the
// module-level `json`, or, while the `loads` guard holds, the _json scanner of
// json._default_decoder, and for plain texts PlainJson below.
#include "corvex.hpp"

#include <cstring>
#include <string>

namespace sorvane::corvex {
namespace {

// The length of JSON whitespace (" \t\n\r") at `at`.
Py_ssize_t skip_ws(PyObject* text, Py_ssize_t at) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    while (at < n) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, at);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
        ++at;
    }
    return at;
}

// UTF-8 JSON text made of objects, arrays, strings without escapes or control
// characters, numbers, true, false and null, nested at most 32 deep: decoded
// here to what the host's scanner makes of it, equal keys sharing one object
// as its memo makes them. Anything else (an escape, NaN, an error) gives none
// with no exception set, and the scanner decides. Kept for
// bench/bench_dispatch.py: the scanner's call and memo cost about a third of
// its dispatch target (<= 3 us over the direct call) on 3.13.
class PlainJson {
public:
    PlainJson(const State& st, const char* p, Py_ssize_t n) : st_(st), p_(p), end_(p + n) {}
    Ref document() {
        ws();
        Ref v = value(0);
        ws();
        if (p_ != end_) v = Ref();
        PyErr_Clear();  // only an allocation can have failed: the scanner retries
        return v;
    }

private:
    const State& st_;
    const char* p_;
    const char* end_;
    Ref memo_;

    void ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool at(char c) const { return p_ < end_ && *p_ == c; }
    bool skip(char c) { return at(c) && ++p_; }
    bool eat(char c) { return skip(c) && (ws(), true); }
    bool digits() {
        const char* from = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        return p_ != from;
    }
    Ref value(int depth) {
        if (p_ == end_ || depth > 32) return Ref();
        switch (*p_) {
            case '{': return container(depth, '}');
            case '[': return container(depth, ']');
            case '"': return text(false);
            case 't': return word("true", 4, Py_True);
            case 'f': return word("false", 5, Py_False);
            case 'n': return word("null", 4, Py_None);
            default: return number();
        }
    }
    Ref word(const char* w, size_t n, PyObject* v) {
        if (static_cast<size_t>(end_ - p_) < n || memcmp(p_, w, n) != 0) return Ref();
        return p_ += n, Ref::borrow(v);
    }
    // A string; as a member name, the envelope's and the call description's
    // own names are the module's interned ones, others go through the memo
    // (texts of 0 or 1 characters are the host's singletons already).
    Ref text(bool key) {
        const char* from = ++p_;
        bool ascii = true;
        for (p_ = plain_end(p_, end_, true); p_ < end_ && *p_ != '"';) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '\\' || c < 0x20) return Ref();
            ascii = false;  // a byte of a multi-byte character: the rest goes without
            p_ = plain_end(p_ + 1, end_, false);
        }
        if (p_ == end_) return Ref();
        const Py_ssize_t n = (p_++) - from;
        if (n < 2) return Ref::steal(PyUnicode_FromStringAndSize(from, n));  // singletons
        const auto size = static_cast<size_t>(n);
        if (key && ascii)
            for (N name : {N::clazz, N::method, N::args, N::kwargs, N::status, N::message,
                           N::excType, N::result})
                if (PyUnicode_GET_LENGTH(st_[name]) == n && !memcmp(PyUnicode_DATA(st_[name]), from, size))
                    return Ref::borrow(st_[name]);
        Ref out = Ref::steal(ascii ? PyUnicode_New(n, 127) : PyUnicode_DecodeUTF8(from, n, nullptr));
        if (out && ascii) memcpy(PyUnicode_DATA(out.get()), from, size);
        if (key && out) return shared(std::move(out));
        return out;
    }
    Ref shared(Ref k) {
        if (!memo_ && !(memo_ = Ref::steal(PyDict_New()))) return Ref();
        PyObject* one = PyDict_SetDefault(memo_.get(), k.get(), k.get());
        return one ? Ref::borrow(one) : Ref();
    }
    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, as int or float.
    Ref number() {
        const char* from = p_;
        skip('-');
        if (!skip('0') && !digits()) return Ref();
        const bool fraction = skip('.');
        if (fraction && !digits()) return Ref();
        const bool exponent = skip('e') || skip('E');
        if (exponent && ((skip('-') || skip('+')), !digits())) return Ref();
        if (!fraction && !exponent && p_ - from <= 18) {
            long long v = 0;
            for (const char* d = from + (*from == '-'); d < p_; ++d) v = v * 10 + (*d - '0');
            return Ref::steal(PyLong_FromLongLong(*from == '-' ? -v : v));
        }
        const std::string s(from, p_);
        if (!fraction && !exponent) return Ref::steal(PyLong_FromString(s.c_str(), nullptr, 10));
        const double d = PyOS_string_to_double(s.c_str(), nullptr, nullptr);
        return d == -1.0 && PyErr_Occurred() ? Ref() : Ref::steal(PyFloat_FromDouble(d));
    }
    // An object (close '}') or an array (close ']').
    Ref container(int depth, char close) {
        Ref out = Ref::steal(close == '}' ? PyDict_New() : PyList_New(0));
        eat(*p_);
        if (!out || eat(close)) return out;
        do {
            Ref key = close == '}' && at('"') ? text(true) : Ref();
            if (close == '}' && (!key || (ws(), !eat(':')))) return Ref();
            Ref v = value(depth + 1);
            if (!v || (key ? PyDict_SetItem(out.get(), key.get(), v.get())
                           : PyList_Append(out.get(), v.get())) < 0)
                return Ref();
            ws();
            if (eat(close)) return out;
        } while (eat(','));
        return Ref();
    }
};

}  // namespace

// json.loads(text) of the stock package over _json's scanner.
bool snapshot_loads(PyObject* ns, State& st, PyObject* json_ns) {
    Guard& g = st.loads;
    PyObject* loads = g.watch(ns, json_ns, "loads");
    PyObject* decoder = g.watch(ns, json_ns, "_default_decoder");
    if (g.failed || !PyFunction_Check(loads)) return false;
    Ref cls_ns = type_dict(reinterpret_cast<PyObject*>(Py_TYPE(decoder)));
    g.watch(ns, cls_ns.get(), "decode");
    g.watch(ns, cls_ns.get(), "raw_decode");
    g.watch_size(cls_ns.get());
    Ref inst_dict = check(PyObject_GenericGetDict(decoder, nullptr));
    PyObject* scan_once = g.watch(ns, inst_dict.get(), "scan_once");
    g.watch_size(inst_dict.get());
    g.always_check(2);
    if (g.failed) return false;
    // The keyword defaults of loads must all be None (no hook of its own).
    if (PyObject* kw = PyFunction_GET_KW_DEFAULTS(loads)) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(kw, &pos, &name, &value))
            if (value != Py_None) return false;
    }
    // Feature test: the scanner is _json's and answers as the host does.
    Ref scanner_module = import("json.scanner");
    Ref c_scanner = getattr(scanner_module.get(), "c_make_scanner");
    if (reinterpret_cast<PyObject*>(Py_TYPE(scan_once)) != c_scanner.get()) return false;
    // With the settings PlainJson assumes.
    if (getattr(scan_once, "strict").get() != Py_True ||
        getattr(scan_once, "object_hook").get() != Py_None ||
        getattr(scan_once, "object_pairs_hook").get() != Py_None ||
        getattr(scan_once, "parse_float").get() != reinterpret_cast<PyObject*>(&PyFloat_Type) ||
        getattr(scan_once, "parse_int").get() != reinterpret_cast<PyObject*>(&PyLong_Type))
        return false;
    st.scan_once = Ref::borrow(scan_once);
    st.decoder = Ref::borrow(decoder);
    st.decoder_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(decoder)));
    Ref text = str("{\"a\": [1, 2.5, \"\\u00e9\", null, true, NaN], \"b\": {}}");
    Ref zero = st.zero.copy();
    Ref pair = call(scan_once, {text.get(), zero.get()});
    Ref host = call(loads, {text.get()});
    auto same = [&](PyObject* mine) {
        Ref repr_mine = check(PyObject_Repr(mine));
        Ref repr_host = check(PyObject_Repr(host.get()));
        return PyUnicode_Compare(repr_mine.get(), repr_host.get()) == 0 && !PyErr_Occurred();
    };
    if (!same(PyTuple_GetItem(pair.get(), 0))) return false;
    const char plain[] = "{\"a\": [1, -2.5e3, 0.1, 1E+2, \"x y\", null, true, false, {}, []],"
                         "\"b\":{\"c\":-0},\"d\": -123456789012345678901234567890}";
    host = call(loads, {str(plain).get()});
    Ref mine = PlainJson(st, plain, static_cast<Py_ssize_t>(sizeof plain - 1)).document();
    return mine && same(mine.get());
}

// PlainJson reads UTF-8, which the bytes are when they decode at all: bytes
// it does not take whole (invalid UTF-8 included) go the host's way,
// decoding first, so that its errors are the host's.
Ref json_loads_view(FunctionObject* caller, const char* data, Py_ssize_t size) {
    State& st = state_of(caller);
    if (st.loads.holds(globals_of(caller)) &&
        reinterpret_cast<PyObject*>(Py_TYPE(st.decoder.get())) == st.decoder_type.get())
        if (Ref value = PlainJson(st, data, size).document()) return value;
    Ref text = check(PyUnicode_DecodeUTF8(data, size, "strict"));
    return json_loads_text(caller, text.get());
}

Ref json_loads_body(FunctionObject* caller, PyObject* body) {
    if (PyBytes_CheckExact(body))
        return json_loads_view(caller, PyBytes_AS_STRING(body), PyBytes_GET_SIZE(body));
    const State& st = state_of(caller);
    Ref text = call(getattr(body, st[N::decode]).get(), {st[N::utf_8]});
    return json_loads_text(caller, text.get());
}

Ref json_loads_text(FunctionObject* caller, PyObject* text) {
    State& st = state_of(caller);
    if (PyUnicode_CheckExact(text) && st.loads.holds(globals_of(caller)) &&
        reinterpret_cast<PyObject*>(Py_TYPE(st.decoder.get())) == st.decoder_type.get()) {
        if (compat::unicode_ready(text) < 0) throw PyErrAlreadySet{};
        // raw_decode(text, idx=WHITESPACE.match(text, 0).end()), then only
        // whitespace may follow. A StopIteration (no value) and trailing data
        // are left to the host, which raises its JSONDecodeError; any other
        // error of the scanner is the host's own, raised as it would be.
        Py_ssize_t size;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size))
            if (Ref value = PlainJson(st, utf8, size).document()) return value;
        PyErr_Clear();  // a lone surrogate: the scanner's business
        const Py_ssize_t at = skip_ws(text, 0);
        Ref start = at ? check(PyLong_FromSsize_t(at)) : st.zero.copy();
        PyObject* argv[] = {text, start.get()};
        Ref pair = Ref::steal(vectorcall_raw(st.scan_once.get(), argv, 2, nullptr));
        if (!pair) {
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw PyErrAlreadySet{};
            PyErr_Clear();
        } else if (PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2) {
            Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(pair.get(), 1));
            if (end == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
            if (skip_ws(text, end) == PyUnicode_GET_LENGTH(text))
                return Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        }
    }
    Ref json = lookup_json(caller, st);
    Ref loads = attr(json.get(), st[N::loads]);
    return call(loads.get(), {text});
}

}  // namespace sorvane::corvex
