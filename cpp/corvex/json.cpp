// The host JSON codec as corvex calls it.
//
// json.dumps(obj, ensure_ascii=False) and json.loads(text) through the
// module-level `json`, looked up at every call. While that is the module bound
// at import and everything the two host functions read at call time is still
// what it was then (the `dumps` and `loads` guards), the C code they would end
// in is called directly: the _json encoder that JSONEncoder.iterencode makes
// (made once here, with the same arguments) and the _json scanner of
// json._default_decoder (or, for plain texts, PlainJson in json_loads.cpp).
// The text is then the host's by construction; only the Python layers around
// the C code are skipped, which the dispatch benchmark (bench/bench_dispatch.py,
// <= 3 us over the direct call) needs. The snapshots list what is watched.
//
// This file is the dumps side and init_json; json_loads.cpp is the loads side.
#include "corvex.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace sorvane::corvex {

Ref lookup_json(FunctionObject* caller, const State& st) {
    return lookup_global(globals_of(caller), st[N::json]);
}

// The first byte from `p` on that a JSON string cannot hold as it is ('"',
// '\\', a control character) or, with `stop_high`, that is not ASCII; `end`
// when there is none. Eight bytes at a time while none is among them: each
// word test is exact (it flags a word only when one of its bytes matches), so
// the byte loop after it ends within that word.
const char* plain_end(const char* p, const char* end, bool stop_high) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, tops = 0x8080808080808080ULL;
    while (end - p >= 8) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        const std::uint64_t quote = x ^ (ones * '"'), backslash = x ^ (ones * '\\');
        std::uint64_t hit = ((x - ones * 0x20) & ~x) | ((quote - ones) & ~quote) |
                            ((backslash - ones) & ~backslash);
        if (stop_high) hit |= x;
        if (hit & tops) break;
        p += 8;
    }
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == '"' || c == '\\' || (stop_high && c >= 0x80)) return p;
    }
    return end;
}

namespace {

// The chunks of encoder(obj, 0) from the shared encoder, or none (no
// exception set) when it is in use: its markers dict serves one call at a
// time, and a call can only overlap another when the host's code released
// the GIL inside it.
Ref chunks_of(State& st, PyObject* obj) {
    if (st.encoder_busy) return Ref();
    st.encoder_busy = true;
    struct Release {
        State& st;
        ~Release() {
            st.encoder_busy = false;
            // A failed encoding leaves its containers' marks behind.
            if (st.markers && PyDict_GET_SIZE(st.markers.get())) PyDict_Clear(st.markers.get());
        }
    } release{st};
    Ref zero = st.zero.copy();
    Ref chunks = call(st.encoder.get(), {obj, zero.get()});
    return check(PySequence_Fast(chunks.get(), "the encoder gave no sequence"));
}

// How deep append_plain goes before it leaves a value to the host (which
// also tells a circular value from a deep one).
constexpr int kPlainDepth = 32;

// The escape of a byte a JSON string cannot hold as it is, as the encoder
// writes it with ensure_ascii=False, into `out` (6 bytes at most); its length.
size_t escape(unsigned char u, char* out) noexcept {
    static const char hex[] = "0123456789abcdef";
    out[0] = '\\';
    switch (u) {
    case '"': out[1] = '"'; return 2;
    case '\\': out[1] = '\\'; return 2;
    case '\b': out[1] = 'b'; return 2;
    case '\f': out[1] = 'f'; return 2;
    case '\n': out[1] = 'n'; return 2;
    case '\r': out[1] = 'r'; return 2;
    case '\t': out[1] = 't'; return 2;
    default:
        std::memcpy(out + 1, "u00", 3);
        out[4] = hex[u >> 4];
        out[5] = hex[u & 15];
        return 6;
    }
}

// A str as the encoder writes it with ensure_ascii=False: quoted, with '"',
// '\\' and the control characters escaped. False for a str that is not
// UTF-8 (a lone surrogate).
bool append_plain_str(std::string& out, PyObject* o) {
    Py_ssize_t size;
    const char* p = PyUnicode_AsUTF8AndSize(o, &size);
    if (!p) {
        PyErr_Clear();
        return false;
    }
    out += '"';
    const char* run = p;
    const char* end = p + size;
    char e[6];
    for (const char* c = plain_end(p, end, false); c < end; c = plain_end(c + 1, end, false)) {
        out.append(run, static_cast<size_t>(c - run));
        run = c + 1;
        out.append(e, escape(static_cast<unsigned char>(*c), e));
    }
    out.append(run, static_cast<size_t>(end - run));
    out += '"';
    return true;
}

// The envelope of a call whose result is the str `text`, written straight
// into a bytes object of its exact size (a long text is copied once, not
// twice); none for a str that is not UTF-8.
Ref text_envelope(const State& st, PyObject* text) {
    Py_ssize_t prefix_size, size;
    const char* prefix = PyUnicode_AsUTF8AndSize(st.ok_prefix.get(), &prefix_size);
    if (!prefix) throw PyErrAlreadySet{};
    const char* p = PyUnicode_AsUTF8AndSize(text, &size);
    if (!p) {
        PyErr_Clear();
        return Ref();
    }
    const char* end = p + size;
    const char* first = plain_end(p, end, false);
    size_t extra = 0;
    char e[6];
    for (const char* c = first; c < end; c = plain_end(c + 1, end, false))
        extra += escape(static_cast<unsigned char>(*c), e) - 1;
    Ref out = check(PyBytes_FromStringAndSize(
        nullptr, prefix_size + size + static_cast<Py_ssize_t>(extra) + 3));
    char* w = PyBytes_AS_STRING(out.get());
    std::memcpy(w, prefix, static_cast<size_t>(prefix_size));
    w += prefix_size;
    *w++ = '"';
    const char* run = p;
    for (const char* c = first; c < end; c = plain_end(c + 1, end, false)) {
        std::memcpy(w, run, static_cast<size_t>(c - run));
        w += c - run;
        w += escape(static_cast<unsigned char>(*c), w);
        run = c + 1;
    }
    std::memcpy(w, run, static_cast<size_t>(end - run));
    w += end - run;
    *w++ = '"';
    *w = '}';
    return out;
}

// Appends the UTF-8 text json.dumps(o, ensure_ascii=False) gives, for plain
// values only: dicts with str keys, lists, tuples, str, int, finite float,
// bool and None, each of its exact type, at most kPlainDepth deep. False
// (nothing set) for anything else; the host's encoder then does the whole
// value. The text is the host's: the numbers are the types' own repr, as
// the encoder writes them, and the rest is fixed punctuation.
bool append_plain(std::string& out, PyObject* o, int depth) {
    if (o == Py_None) {
        out += "null";
        return true;
    }
    if (o == Py_True || o == Py_False) {
        out += o == Py_True ? "true" : "false";
        return true;
    }
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) return append_plain_str(out, o);
    if (t == &PyLong_Type) {
        int overflow;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {  // the digits int's repr gives, without the str
            char digits[24];
            const char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
            out.append(digits, static_cast<size_t>(end - digits));
            return true;
        }
    }
    if (t == &PyLong_Type || t == &PyFloat_Type) {
        if (t == &PyFloat_Type && !std::isfinite(PyFloat_AS_DOUBLE(o))) return false;
        Ref text = Ref::steal(t->tp_repr(o));
        Py_ssize_t size;
        const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
        if (!p) {
            PyErr_Clear();  // an int past the host's digit limit: its own error
            return false;
        }
        out.append(p, static_cast<size_t>(size));
        return true;
    }
    if (depth >= kPlainDepth) return false;
    if (t == &PyList_Type || t == &PyTuple_Type) {
        out += '[';
        // A list's items are read by index each time: nothing here runs
        // Python code, so it cannot change meanwhile.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out += ", ";
            if (!append_plain(out, PySequence_Fast_GET_ITEM(o, i), depth + 1)) return false;
        }
        out += ']';
        return true;
    }
    if (t == &PyDict_Type) {
        out += '{';
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool first = true;
        while (PyDict_Next(o, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (!first) out += ", ";
            first = false;
            if (!append_plain_str(out, key)) return false;
            out += ": ";
            if (!append_plain(out, value, depth + 1)) return false;
        }
        out += '}';
        return true;
    }
    return false;
}

// ''.join(chunks) as text, or its UTF-8 bytes between `prefix` and "}".
Ref encode_with_shared(State& st, PyObject* obj) {
    Ref chunks = chunks_of(st, obj);
    return chunks ? check(PyUnicode_Join(st.empty.get(), chunks.get())) : Ref();
}

Ref encode_utf8_with_shared(State& st, PyObject* obj, PyObject* prefix) {
    Ref chunks = chunks_of(st, obj);
    if (!chunks) return Ref();
    std::string out;
    append_utf8(out, prefix);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(chunks.get());
    PyObject** items = PySequence_Fast_ITEMS(chunks.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t size;
        const char* p = PyUnicode_Check(items[i]) ? PyUnicode_AsUTF8AndSize(items[i], &size) : nullptr;
        if (!p) {
            // Not UTF-8 (a lone surrogate): the whole text's own error, from
            // the caller's path over the whole envelope.
            PyErr_Clear();
            return Ref();
        }
        out.append(p, static_cast<size_t>(size));
    }
    out += '}';
    return check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

// ---- snapshots ------------------------------------------------------------------

// json.dumps(o, ensure_ascii=False) of the stock package over _json: takes the
// snapshots and makes the shared encoder, then checks it against the host.
bool snapshot_dumps(PyObject* ns, State& st, PyObject* json_ns) {
    Guard& g = st.dumps;
    PyObject* cls = g.watch(ns, json_ns, "JSONEncoder");
    Ref cls_ns = type_dict(cls);
    PyObject* dumps = g.watch(ns, json_ns, "dumps");
    PyObject* encode = g.watch(ns, cls_ns.get(), "encode");
    for (const char* name : {"__init__", "iterencode", "default", "item_separator", "key_separator"})
        g.watch(ns, cls_ns.get(), name);
    g.watch_size(cls_ns.get());
    if (g.failed || !PyFunction_Check(encode) || !PyFunction_Check(dumps)) return false;
    PyObject* encoder_ns = PyFunction_GET_GLOBALS(encode);
    PyObject* make_encoder = g.watch(ns, encoder_ns, "c_make_encoder");
    PyObject* basestring = g.watch(ns, encoder_ns, "encode_basestring");
    if (g.failed || make_encoder == Py_None) return false;  // the pure-Python encoder

    // As iterencode(o, _one_shot=True) makes it for JSONEncoder(ensure_ascii=False).
    Ref instance = call_kw(cls, {}, st.kw_ensure_ascii.get(), {Py_False});
    Ref default_fn = getattr(instance.get(), "default");
    Ref key_sep = getattr(instance.get(), "key_separator");
    Ref item_sep = getattr(instance.get(), "item_separator");
    st.markers = check(PyDict_New());
    st.encoder = call(make_encoder, {st.markers.get(), default_fn.get(), basestring, Py_None,
                                     key_sep.get(), item_sep.get(), Py_False, Py_False, Py_True});
    // Feature test: the same text as the host for a value of every kind.
    Ref probe = check(Py_BuildValue("{s:[i,d,s,O,O,O],s:{s:d},s:s}", "a\n\"", 1, 2.5, "\xc3\xa9\\",
                                    Py_None, Py_True, Py_False, "b", "1", -0.0, "c", "\xf0\x9f\x98\x80"));
    Ref mine = encode_with_shared(st, probe.get());
    Ref host = call_kw(dumps, {probe.get()}, st.kw_ensure_ascii.get(), {Py_False});
    if (PyUnicode_Compare(mine.get(), host.get()) != 0 || PyErr_Occurred()) return false;
    // The text of a successful call's envelope up to its result: the host's
    // text of the envelope with None as result, without "null}".
    Ref envelope = check(PyDict_Copy(st.envelope.get()));
    Ref text = call_kw(dumps, {envelope.get()}, st.kw_ensure_ascii.get(), {Py_False});
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    Ref tail = check(PyUnicode_Substring(text.get(), n - 5, n));
    if (PyUnicode_CompareWithASCIIString(tail.get(), "null}") != 0) return false;
    st.ok_prefix = check(PyUnicode_Substring(text.get(), 0, n - 5));
    Ref value = check(Py_BuildValue("[i,s]", 7, "x"));
    check(PyDict_SetItem(envelope.get(), st[N::result], value.get()));
    host = call_kw(dumps, {envelope.get()}, st.kw_ensure_ascii.get(), {Py_False});
    Ref mine_bytes = encode_utf8_with_shared(st, value.get(), st.ok_prefix.get());
    Ref host_bytes = check(PyUnicode_AsUTF8String(host.get()));
    return PyObject_RichCompareBool(mine_bytes.get(), host_bytes.get(), Py_EQ) == 1;
}

}  // namespace

void init_json(PyObject* m, State& st) {
    PyObject* ns = PyModule_GetDict(m);
    for (Guard* g : {&st.dumps, &st.loads}) {
        bool ok = false;
        try {
            PyObject* json_ns = module_dict(g->watch(ns, ns, "json"));
            ok = json_ns && (g == &st.dumps ? snapshot_dumps(ns, st, json_ns)
                                            : snapshot_loads(ns, st, json_ns));
        } catch (const PyErrAlreadySet&) {
        }
        PyErr_Clear();
        if (ok)
            g->arm(true);
        else
            g->clear();
    }
}

Ref json_dumps_text(FunctionObject* caller, PyObject* obj) {
    State& st = state_of(caller);
    if (st.dumps.holds(globals_of(caller)))
        if (Ref text = encode_with_shared(st, obj)) return text;
    Ref json = lookup_json(caller, st);
    Ref dumps = attr(json.get(), st[N::dumps]);
    return call_kw(dumps.get(), {obj}, st.kw_ensure_ascii.get(), {Py_False});
}

Ref json_dumps_utf8(FunctionObject* caller, PyObject* obj) {
    State& st = state_of(caller);
    if (st.dumps.holds(globals_of(caller))) {
        std::string out;
        out.reserve(256);
        if (append_plain(out, obj, 0))
            return check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    }
    Ref text = json_dumps_text(caller, obj);
    return check(PyUnicode_AsUTF8String(text.get()));
}

Ref json_dumps_description(FunctionObject* caller, PyObject* clazz, PyObject* method,
                           PyObject* args, PyObject* kwargs) {
    State& st = state_of(caller);
    if (!st.dumps.holds(globals_of(caller)) || (kwargs && !PyDict_CheckExact(kwargs))) return Ref();
    // json.dumps({"clazz": clazz, "method": method, "args": args, "kwargs": kwargs}).
    std::string out;
    out.reserve(128);
    out += "{\"clazz\": ";
    if (!append_plain(out, clazz, 1)) return Ref();
    out += ", \"method\": ";
    if (!append_plain(out, method, 1)) return Ref();
    out += ", \"args\": ";
    if (!append_plain(out, args, 1)) return Ref();
    out += ", \"kwargs\": ";
    if (!kwargs)
        out += "{}";
    else if (!append_plain(out, kwargs, 1))
        return Ref();
    out += '}';
    return check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

Ref json_dumps_envelope(FunctionObject* caller, PyObject* envelope, PyObject* result) {
    State& st = state_of(caller);
    if (result && st.dumps.holds(globals_of(caller))) {
        if (PyUnicode_CheckExact(result))
            if (Ref body = text_envelope(st, result)) return body;
        std::string out;
        append_utf8(out, st.ok_prefix.get());
        if (append_plain(out, result, 0)) {
            out += '}';
            return check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
        }
        if (Ref body = encode_utf8_with_shared(st, result, st.ok_prefix.get())) return body;
    }
    return json_dumps_utf8(caller, envelope);
}

}  // namespace sorvane::corvex
