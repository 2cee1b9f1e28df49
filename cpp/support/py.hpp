// Thin, throwing wrappers over the CPython calls the modules use most:
// text, attributes, calls by position and keyword, module-namespace look-ups.
// All results are owned Refs; all arguments are borrowed.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <utility>

namespace sorvane::support {

constexpr size_t kVectorcallOffset = compat::kVectorcallArgumentsOffset;

inline Py_ssize_t vectorcall_nargs(size_t nargsf) noexcept {
    return static_cast<Py_ssize_t>(nargsf & ~kVectorcallOffset);
}

// Calls `callable` with a vector of positional arguments followed by the values
// of the keywords named in `kwnames` (a tuple of str, or NULL). Returns NULL with
// an exception set on failure (no throw): the raw building block.
inline PyObject* vectorcall_raw(PyObject* callable, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) noexcept {
    return compat::vectorcall(callable, args, nargsf, kwnames);
}

inline Ref vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) {
    return check(vectorcall_raw(callable, args, nargsf, kwnames));
}

// Calls `callable` with the given positional arguments.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    return vectorcall(callable, args.begin(), args.size(), nullptr);
}

inline Ref str(const char* utf8) { return check(PyUnicode_FromString(utf8)); }
inline Ref interned(const char* utf8) { return check(PyUnicode_InternFromString(utf8)); }

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline void setattr(PyObject* o, const char* name, PyObject* v) {
    check(PyObject_SetAttrString(o, name, v));
}

// A tuple of keyword names for vectorcall, built from UTF-8 texts.
inline Ref kwnames(std::initializer_list<const char*> names) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, interned(n).release());  // steals
    return t;
}

// Calls `callable(*args, **dict(zip(kwnames, kwvalues)))` with `kwnames` a tuple
// of str; keeps the keyword order given.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* names,
                   std::initializer_list<PyObject*> kwvalues) {
    PyObject* stack[24];
    if (args.size() + kwvalues.size() > 24) throw std::length_error("call_kw: too many arguments");
    size_t n = 0;
    for (PyObject* a : args) stack[n++] = a;
    size_t nargs = n;
    for (PyObject* v : kwvalues) stack[n++] = v;
    return vectorcall(callable, stack, nargs, names);
}

// Looks `name` up in a module namespace at call time; raises NameError like the
// interpreter when it is not bound. Returns a new reference.
inline Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrAlreadySet{};
}

// Imports a module by its absolute dotted name, through the import system's
// C entry: a module already imported comes from sys.modules without a call
// of the Python-level __import__ (and one another thread is still running is
// waited for, as by any import).
inline Ref import(const char* name) {
    Ref key = check(PyUnicode_FromString(name));
    Ref top = check(PyImport_ImportModuleLevelObject(key.get(), nullptr, nullptr, nullptr, 0));
    if (!std::strchr(name, '.')) return top;
    // The package came back; the module itself is in sys.modules now.
    if (PyObject* module = PyImport_GetModule(key.get())) return Ref::steal(module);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "No module named '%s'", name);
    throw PyErrAlreadySet{};
}

// Binds `value` under `name` in a module namespace (steals nothing).
inline void bind(PyObject* module, const char* name, PyObject* value) {
    check(PyDict_SetItemString(PyModule_GetDict(module), name, value));
}

// Takes the exception being raised (one must be set): the instance,
// normalized, with its traceback attached. No exception is set afterwards.
inline Ref take_raised() noexcept { return Ref::steal(compat::take_raised()); }

// Raises the exception instance `e` as it is (traceback, cause and context
// untouched), as take_raised() found it.
inline void raise_again(Ref e) noexcept {
    if (!e) {
        PyErr_SetString(PyExc_SystemError, "no exception to raise again");
        return;
    }
    compat::restore_raised(e.release());  // steals
}

// The body of an `except` clause, for C++ code that catches a Python exception
// on purpose: takes the exception being raised (one must be set), makes it the
// exception being handled (what sys.exc_info() returns, and the __context__ of
// whatever is raised meanwhile) and, when the scope ends, makes the previously
// handled exception current again, as leaving an except clause does. A new
// exception raised inside the scope stays set.
class HandledException {
public:
    HandledException() noexcept
        : saved_(compat::HandledState::current()), value_(Ref::steal(compat::handle_raised())) {}
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    ~HandledException() { saved_.make_current(); }
    // The exception instance being handled (borrowed).
    PyObject* value() const noexcept { return value_.get(); }

private:
    compat::HandledState saved_;  // initialized first: saved before it is replaced
    Ref value_;
};

}  // namespace sorvane::support
