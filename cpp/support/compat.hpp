// Every difference between the CPython versions the extensions run on
// (3.7 to current), and every private CPython name they rely on, each with its
// reason beside it. The rest of the code calls the names below and has no
// PY_VERSION_HEX of its own.
//
// Rules for this file: a public API wherever one exists and is not slower on a
// hot path; a private name only where none does, with the versions it covers;
// a version predicate (kSomething) where the difference is in what the host
// does rather than in what it offers, so both ways compile everywhere and the
// caller picks one with `if constexpr`.
//
// Contents:
//   calls      vectorcall, its argument-count flag, a type's vectorcall slot
//   errors     the exception being raised, the exception being handled
//   types      a type's own dict
//   dicts      a change stamp for namespaces a fast path watches
//   text       str readiness (legacy strings before 3.12), resizing bytes
//   runtime    finalization, thread set-up
//   behaviour  version predicates for what the host does differently
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace sorvane::support::compat {

// ---- calls --------------------------------------------------------------------

// The vectorcall signature; 3.7 has no such protocol, but the same shape is what
// its fast call takes, so objects carry the slot on every version.
using VectorcallFunc = PyObject* (*)(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames);

// The flag a caller may set in nargsf to let the callee use args[-1].
#if PY_VERSION_HEX >= 0x03080000
constexpr size_t kVectorcallArgumentsOffset = PY_VECTORCALL_ARGUMENTS_OFFSET;
#else
constexpr size_t kVectorcallArgumentsOffset = 0;
#endif

// Calls `callable` with positional arguments followed by the values of the
// keywords named in `kwnames` (a tuple of str, or NULL). Returns a new
// reference, or NULL with an exception set. A hot path: every call the
// modules make goes through it, so it must never build a tuple and a dict.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif PY_VERSION_HEX >= 0x03080000
    // 3.8: the protocol was provisional and its entry point private.
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    // 3.7: the private fast call is the only call without a tuple and a dict;
    // it takes a non-const stack but does not write to it.
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args),
                                      static_cast<Py_ssize_t>(nargsf & ~kVectorcallArgumentsOffset),
                                      kwnames);
#endif
}

// Makes instances of `t` callable through the VectorcallFunc stored at
// `offset` in each of them; on 3.7, which has no vectorcall slot, through
// `call_without` (a tp_call that unpacks its tuple and dict) instead. Also
// marks `t` as binding like a Python function where the host knows the flag,
// so the method-call shortcut applies, unless `binds` is false (a callable
// that stays itself when read from an instance). Call before PyType_Ready.
inline void type_set_vectorcall(PyTypeObject* t, Py_ssize_t offset, ternaryfunc call_without,
                                bool binds = true) noexcept {
#if PY_VERSION_HEX >= 0x03080000
    (void)call_without;
    t->tp_vectorcall_offset = offset;
    t->tp_call = PyVectorcall_Call;
    if (binds) t->tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
#if PY_VERSION_HEX >= 0x03090000
    t->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#else
    // 3.8 spelled the flag with a leading underscore (provisional protocol).
    t->tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
#else
    (void)offset;
    (void)binds;
    t->tp_call = call_without;
#endif
}

// ---- errors -------------------------------------------------------------------

// Takes the exception being raised (one must be set): returns the instance,
// normalized, with its traceback attached (a new reference); no exception is
// set afterwards. 3.12 keeps only the instance; before, the interpreter held a
// (type, value, traceback) triple that may not be normalized yet.
inline PyObject* take_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Raises the exception instance `e` (not NULL) as it is, traceback, cause and
// context untouched. Steals `e`.
inline void restore_raised(PyObject* e) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(e);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(e));
    Py_INCREF(type);
    PyObject* tb = PyException_GetTraceback(e);
    PyErr_Restore(type, e, tb);  // steals all three
#endif
}

// The exception being handled (what sys.exc_info() reports), owned. From 3.12
// the interpreter keeps one instance; before, a triple, kept whole here so
// that putting it back restores exactly the triple that was there.
class HandledState {
public:
    HandledState() noexcept = default;
    HandledState(HandledState&& o) noexcept { swap(o); }
    HandledState& operator=(HandledState&& o) noexcept {
        swap(o);
        return *this;
    }
    HandledState(const HandledState&) = delete;
    HandledState& operator=(const HandledState&) = delete;
    ~HandledState() { clear(); }

    // A copy of the exception being handled now.
    static HandledState current() noexcept {
        HandledState s;
#if PY_VERSION_HEX >= 0x030C0000
        s.value_ = PyErr_GetHandledException();
#else
        PyErr_GetExcInfo(&s.type_, &s.value_, &s.tb_);
#endif
        return s;
    }

    // Makes this the exception being handled; leaves this state empty.
    void make_current() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetHandledException(value_);
        Py_CLEAR(value_);
#else
        PyErr_SetExcInfo(type_, value_, tb_);  // steals
        type_ = value_ = tb_ = nullptr;
#endif
    }

private:
    void swap(HandledState& o) noexcept {
        std::swap(value_, o.value_);
#if PY_VERSION_HEX < 0x030C0000
        std::swap(type_, o.type_);
        std::swap(tb_, o.tb_);
#endif
    }
    void clear() noexcept {
        Py_CLEAR(value_);
#if PY_VERSION_HEX < 0x030C0000
        Py_CLEAR(type_);
        Py_CLEAR(tb_);
#endif
    }

    PyObject* value_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
};

// Makes the exception being raised (one must be set) the exception being
// handled, as entering an except clause does, and clears the raised one.
// Returns the instance, normalized and with its traceback (a new reference).
inline PyObject* handle_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* value = PyErr_GetRaisedException();
    PyErr_SetHandledException(value);
    return value;
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XINCREF(value);
    PyErr_SetExcInfo(type, value, tb);  // steals
    return value;
#endif
}

// ---- types --------------------------------------------------------------------

// A class's own namespace (a new reference; none for a type not readied).
// From 3.12 built-in types keep theirs outside the type object, where only
// PyType_GetDict finds it; before, tp_dict is the public field holding it.
inline Ref type_dict(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(t));
#else
    return Ref::borrow(t->tp_dict);
#endif
}

// ---- dicts --------------------------------------------------------------------

// A change stamp of a namespace a fast path watches: after dict_watch(d), the
// value dict_stamp(d) returns differs from any earlier one whenever d may have
// changed in between (it may also differ when d did not change). Up to 3.11
// that is the dict's own version tag, a CPython-private field with no public
// reader; from 3.12 the tag is no longer for extensions and a dict watcher
// counts the changes of every watched dict of this binary instead.
#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
inline std::uint64_t dict_changes = 1;  // no Python object: safe in a static
inline int dict_watcher = -1;

inline int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++dict_changes;
    return 0;
}
}  // namespace detail

inline std::uint64_t dict_stamp(PyObject*) noexcept { return detail::dict_changes; }

// Starts watching `d` (a dict); throws PyErrAlreadySet when the host refuses.
inline void dict_watch(PyObject* d) {
    if (detail::dict_watcher < 0) {
        const int id = PyDict_AddWatcher(detail::count_dict_change);
        if (id < 0) throw PyErrAlreadySet{};
        detail::dict_watcher = id;
    }
    if (PyDict_Watch(detail::dict_watcher, d) < 0) throw PyErrAlreadySet{};
}
#else
inline std::uint64_t dict_stamp(PyObject* d) noexcept {
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
}

inline void dict_watch(PyObject*) {}
#endif

// ---- text ---------------------------------------------------------------------

// Whether a str has its canonical representation; before 3.12 a legacy string
// made by the old Py_UNICODE API may not, until unicode_ready() is called.
inline bool unicode_is_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)s;
    return true;
#else
    return PyUnicode_IS_READY(s);
#endif
}

// Gives a str its canonical representation: 0, or -1 with an exception set.
inline int unicode_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)s;
    return 0;
#else
    return PyUnicode_READY(s);
#endif
}

// Resizes a bytes object nobody else holds yet, in place where the allocator
// can (*b is replaced; on failure it is released and NULL, with an exception
// set). The documented way to build a bytes object of a size not known in
// advance, spelled with a leading underscore in every version served (no
// public replacement exists in them).
inline int bytes_resize(PyObject** b, Py_ssize_t size) noexcept { return _PyBytes_Resize(b, size); }

// ---- runtime ------------------------------------------------------------------

// Whether the interpreter has begun finalizing. Asked by threads that do not
// hold the GIL (and must not take it then), so sys.is_finalizing(), which
// needs the GIL, cannot answer: the C function is public from 3.13 and
// private, with the same meaning, from 3.7 to 3.12.
inline bool is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Readies the GIL for threads the extension starts. 3.7 and 3.8 create it in
// Py_Initialize already, but document the call for extensions that start
// threads; from 3.9 it does nothing and is deprecated, so it is skipped.
inline void init_threads() noexcept {
#if PY_VERSION_HEX < 0x03090000
    PyEval_InitThreads();
#endif
}

// ---- behaviour ----------------------------------------------------------------

// CPython's own argument errors ("f() missing 1 required positional argument")
// name the function by its __qualname__ from 3.10, by its __name__ before.
constexpr bool kArgumentErrorsUseQualname = PY_VERSION_HEX >= 0x030A0000;

// logging's caller lookup (findCaller) skips logging's own frames from 3.11;
// before, it counts a fixed number of them, so a record is attributed right
// only when it comes through Logger.debug and then Logger._log.
constexpr bool kLoggingSkipsOwnFrames = PY_VERSION_HEX >= 0x030B0000;

}  // namespace sorvane::support::compat
