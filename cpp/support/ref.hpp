// Owned Python references and the one error boundary between C++ and CPython.
//
// Every new reference lives in a Ref; a raw PyObject* is always borrowed.
// A Python exception travels through C++ code as PyErrAlreadySet (thrown only
// while the exception is set) and is handed back to the interpreter by entry().
// Nothing here knows about any particular module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace sorvane::support {

class Ref {  // owns one strong reference, or none
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref copy() const noexcept { return borrow(p_); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

struct PyErrAlreadySet {};  // thrown only while a Python exception is set

// Takes ownership of a new reference; throws when it is NULL (exception set).
inline Ref check(PyObject* p) {
    if (!p) throw PyErrAlreadySet{};
    return Ref::steal(p);
}
// Throws when a C-API status result reports failure (exception set).
inline int check(int rc) {
    if (rc < 0) throw PyErrAlreadySet{};
    return rc;
}
// Returns a borrowed result that must not be NULL (exception set when it is).
inline PyObject* check_borrowed(PyObject* p) {
    if (!p) throw PyErrAlreadySet{};
    return p;
}

// Sets a Python exception and throws; for raising errors from C++ code.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrAlreadySet{};
}
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw PyErrAlreadySet{};
}

// Turns a C++ exception that escaped a body into a Python exception.
inline void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrAlreadySet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// The boundary for everything CPython calls that returns an object.
template <class F>
PyObject* entry(F&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        translate_current_exception();
    }
    return nullptr;
}

// The boundary for entry points that return a status (0 or -1).
template <class F>
int entry_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        translate_current_exception();
    }
    return -1;
}

}  // namespace sorvane::support
