// The function-like type shared by the extension modules.
//
// A Function behaves like a Python function for every purpose the framework's
// users can observe: it is called with vectorcall (tp_call on 3.7), binds as a
// method through the descriptor protocol (so it works as a plain method and
// inside classmethod, staticmethod and property), carries __name__,
// __qualname__, __module__, __doc__, __annotations__ and a real __dict__ (so
// functools.wraps can copy onto it and __wrapped__ can be set), and answers
// inspect.signature through a read-only __text_signature__ built from its real
// parameters and defaults.
//
// Deliberately absent: __signature__ (inspect.unwrap would stop there) and
// __set__ (the type would stop being a method descriptor).
//
// The C++ body of a function is either "parsed" (arguments matched to named
// positional-or-keyword parameters, then keyword-only ones after a "*" entry,
// defaults filled, errors worded like CPython's) or "raw" (the vectorcall arguments as they came, for *args/**kwargs
// wrappers). A function keeps its defining module alive: module-level names are
// looked up in that module's namespace at every call, and the module state holds
// the module's interned strings.
#pragma once

#include "py.hpp"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

namespace sorvane::support {

constexpr int kMaxParams = 16;

struct FunctionObject;

// Borrows `argv`: one reference per declared parameter, in declaration order.
using ParsedImpl = Ref (*)(FunctionObject* self, PyObject* const* argv);
// Borrows everything: the vectorcall arguments exactly as the caller passed them.
using RawImpl = Ref (*)(FunctionObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// Static description of one native function. No Python objects here: names are
// UTF-8 texts, made into objects when a Function is created.
struct FunctionDef {
    const char* name;
    const char* qualname;             // nullptr: same as name
    const char* doc;                  // nullptr: no documentation text (None)
    // Parameter names; a "*" entry starts the keyword-only ones (each of which
    // needs a default); "*args"/"**kwargs" for raw bodies.
    const char* params[kMaxParams];
    ParsedImpl parsed;                // exactly one of parsed/raw is set
    RawImpl raw;
};

struct FunctionObject {
    PyObject_HEAD
    compat::VectorcallFunc vectorcall;  // the host's slot; unused on 3.7
    const FunctionDef* def;
    Py_ssize_t nparams;      // named parameters, keyword-only ones included
    Py_ssize_t npositional;  // those that can be given by position
    PyObject* module;       // the defining module
    PyObject* varnames;     // tuple of interned parameter names (parsed only)
    PyObject* defaults;     // tuple for the last positional parameters, or NULL
    PyObject* kwdefaults;   // dict for the keyword-only parameters, or NULL
    PyObject* closure;      // tuple, or NULL
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* doc;
    PyObject* annotations;  // created on first access
    PyObject* dict;
    PyObject* weakreflist;
};

namespace detail {

// One per extension module binary; readied by function_type().
inline PyTypeObject function_type_object = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Name used as the prefix of argument errors, as the host's own functions do.
inline PyObject* error_name(FunctionObject* f) noexcept {
    return compat::kArgumentErrorsUseQualname ? f->qualname : f->name;
}

// Appends "'a'", "'a' and 'b'" or "'a', 'b', and 'c'" like CPython's
// format_missing().
inline Ref join_missing(PyObject* const* names, Py_ssize_t n) {
    Ref out = str("");
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref piece;
        if (i == 0)
            piece = check(PyUnicode_FromFormat("%R", names[i]));
        else if (i == n - 1)
            piece = check(PyUnicode_FromFormat(n == 2 ? " and %R" : ", and %R", names[i]));
        else
            piece = check(PyUnicode_FromFormat(", %R", names[i]));
        out = check(PyUnicode_Concat(out.get(), piece.get()));
    }
    return out;
}

// Matches vectorcall arguments to the parameters of `f` and fills `slots`
// (borrowed references). Raises TypeError like the interpreter, in its order:
// keyword errors, then surplus positionals, then missing arguments.
inline void parse_arguments(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t n = f->nparams;
    const Py_ssize_t npos = f->npositional;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs && i < npos; ++i) slots[i] = args[i];
    Py_ssize_t kwonly_given = 0;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key))
                raise_format(PyExc_TypeError, "%U() keywords must be strings", error_name(f));
            Py_ssize_t j = 0;
            for (; j < n; ++j)
                if (PyTuple_GET_ITEM(f->varnames, j) == key) break;
            if (j == n) {
                for (j = 0; j < n; ++j) {
                    int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->varnames, j), key, Py_EQ);
                    if (eq < 0) throw PyErrAlreadySet{};
                    if (eq) break;
                }
            }
            if (j == n)
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             error_name(f), key);
            if (slots[j])
                raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             error_name(f), key);
            slots[j] = args[nargs + k];
            if (j >= npos) ++kwonly_given;
        }
    }
    const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t nrequired = npos - ndefaults;
    if (nargs > npos) {
        // CPython's too_many_positional().
        Ref given = kwonly_given
                        ? check(PyUnicode_FromFormat(
                              " positional argument%s (and %zd keyword-only argument%s)",
                              nargs != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                        : str("");
        const char* verb = nargs == 1 && !kwonly_given ? "was" : "were";
        if (ndefaults)
            raise_format(PyExc_TypeError,
                         "%U() takes from %zd to %zd positional arguments but %zd%U %s given",
                         error_name(f), nrequired, npos, nargs, given.get(), verb);
        raise_format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd%U %s given",
                     error_name(f), npos, npos == 1 ? "" : "s", nargs, given.get(), verb);
    }
    PyObject* missing[kMaxParams];
    Py_ssize_t nmissing = 0;
    for (Py_ssize_t i = 0; i < npos; ++i) {
        if (slots[i]) continue;
        if (i >= nrequired)
            slots[i] = PyTuple_GET_ITEM(f->defaults, i - nrequired);
        else
            missing[nmissing++] = PyTuple_GET_ITEM(f->varnames, i);
    }
    if (nmissing) {
        Ref names = join_missing(missing, nmissing);
        raise_format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                     error_name(f), nmissing, nmissing == 1 ? "" : "s", names.get());
    }
    for (Py_ssize_t i = npos; i < n; ++i) {
        if (slots[i]) continue;
        // Every keyword-only parameter has a default (make_function checks).
        slots[i] = PyDict_GetItemWithError(f->kwdefaults, PyTuple_GET_ITEM(f->varnames, i));
        if (!slots[i]) {
            if (!PyErr_Occurred())
                raise_format(PyExc_TypeError, "%U() missing 1 required keyword-only argument: %R",
                             error_name(f), PyTuple_GET_ITEM(f->varnames, i));
            throw PyErrAlreadySet{};
        }
    }
}

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = entry([&]() -> Ref {
        const Py_ssize_t nargs = vectorcall_nargs(nargsf);
        if (f->def->raw) return f->def->raw(f, args, nargs, kwnames);
        PyObject* slots[kMaxParams];
        parse_arguments(f, args, nargs, kwnames, slots);
        return f->def->parsed(f, slots);
    });
    Py_LeaveRecursiveCall();
    return result;
}

// The tp_call of a host without vectorcall (3.7): unpacks the tuple and dict
// onto a stack.
inline PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
    return entry([&]() -> Ref {
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        if (nkw == 0)
            return check(function_vectorcall(callable, &PyTuple_GET_ITEM(args, 0),
                                             static_cast<size_t>(nargs), nullptr));
        Ref names = check(PyTuple_New(nkw));
        std::unique_ptr<PyObject*[]> stack(new PyObject*[nargs + nkw]);
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(names.get(), i, key);  // steals
            stack[nargs + i] = value;
            ++i;
        }
        return check(function_vectorcall(callable, stack.get(), static_cast<size_t>(nargs),
                                         names.get()));
    });
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->closure);
    Py_VISIT(f->doc);
    Py_VISIT(f->modname);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

inline int function_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->modname);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

inline void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
}

inline PyObject* function_repr(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

inline PyObject* get_name(PyObject* self, void*) noexcept {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->name;
    Py_INCREF(v);
    return v;
}
inline int set_name(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(reinterpret_cast<FunctionObject*>(self)->name, value);
    return 0;
}
inline PyObject* get_qualname(PyObject* self, void*) noexcept {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->qualname;
    Py_INCREF(v);
    return v;
}
inline int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(reinterpret_cast<FunctionObject*>(self)->qualname, value);
    return 0;
}
// __module__ and __doc__ accept any object, and deleting them stores None, as
// for Python functions.
inline PyObject* get_modname(PyObject* self, void*) noexcept {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->modname;
    Py_INCREF(v);
    return v;
}
inline int set_modname(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) value = Py_None;
    Py_INCREF(value);
    Py_SETREF(reinterpret_cast<FunctionObject*>(self)->modname, value);
    return 0;
}
inline PyObject* get_doc(PyObject* self, void*) noexcept {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->doc;
    Py_INCREF(v);
    return v;
}
inline int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) value = Py_None;
    Py_INCREF(value);
    Py_SETREF(reinterpret_cast<FunctionObject*>(self)->doc, value);
    return 0;
}
inline PyObject* get_annotations(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    Py_INCREF(f->annotations);
    return f->annotations;
}
inline int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->annotations, value);
    return 0;
}
inline PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->defaults;
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}
inline PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->kwdefaults;
    if (!v) Py_RETURN_NONE;
    return PyDict_Copy(v);
}

// The name of the i-th named parameter (the "*" entry skipped).
inline const char* param_name(const FunctionDef* def, Py_ssize_t i) noexcept {
    Py_ssize_t k = 0;
    for (int j = 0; j < kMaxParams && def->params[j]; ++j) {
        if (std::strcmp(def->params[j], "*") == 0) continue;
        if (k++ == i) return def->params[j];
    }
    return "";
}

// The parameter list with "*" before the keyword-only ones; `repr_default`
// appends "=<repr>" where a parameter has a default.
inline std::string parameter_list(FunctionObject* f, bool with_defaults) {
    const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    std::string text;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        if (i) text += ", ";
        if (i == f->npositional) text += "*, ";
        const char* name = param_name(f->def, i);
        text += name;
        if (!with_defaults) continue;
        PyObject* value = nullptr;
        if (i >= f->npositional) {
            value = f->kwdefaults ? PyDict_GetItemString(f->kwdefaults, name) : nullptr;
        } else {
            Py_ssize_t d = i - (f->npositional - ndefaults);
            if (d >= 0) value = PyTuple_GET_ITEM(f->defaults, d);
        }
        if (value) {
            Ref r = check(PyObject_Repr(value));
            const char* utf8 = PyUnicode_AsUTF8(r.get());
            if (!utf8) throw PyErrAlreadySet{};
            text += "=";
            text += utf8;
        }
    }
    return text;
}

// "(a, b=1, *, c=None)" from the parameter names and the repr of each default;
// what inspect.signature parses for a callable that is not a Python function.
inline PyObject* get_text_signature(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return entry([&]() -> Ref {
        std::string text = "(" + parameter_list(f, true) + ")";
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// A code object with the function's name and parameters and an empty body, for
// introspection that reads __code__ directly (3.7's inspect does so through
// bound methods). It carries no defaults, so inspect.signature still reads
// __text_signature__.
inline PyObject* get_code(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return entry([&]() -> Ref {
        std::string source = "def ";
        source += f->def->name;
        source += "(" + parameter_list(f, false) + "): pass\n";
        Ref module_code = check(Py_CompileString(source.c_str(), "<native>", Py_file_input));
        Ref consts = getattr(module_code.get(), "co_consts");
        const Py_ssize_t n = PySequence_Size(consts.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item = check(PySequence_GetItem(consts.get(), i));
            if (PyCode_Check(item.get())) return item;
        }
        raise(PyExc_SystemError, "no code object compiled");
    });
}

// Pickles by reference, like a Python function: module and qualified name.
inline PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return get_qualname(self, nullptr);
}

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef function_getsets[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_modname, set_modname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace detail

// Readies the function type of this binary; call from each module's init.
inline PyTypeObject* function_type() {
    PyTypeObject* t = &detail::function_type_object;
    if (t->tp_flags & Py_TPFLAGS_READY) return t;
    t->tp_name = "sorvane.native.function";
    t->tp_basicsize = sizeof(FunctionObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t->tp_dealloc = detail::function_dealloc;
    t->tp_repr = detail::function_repr;
    t->tp_traverse = detail::function_traverse;
    t->tp_clear = detail::function_clear;
    t->tp_descr_get = detail::function_descr_get;
    t->tp_getset = detail::function_getsets;
    t->tp_methods = detail::function_methods;
    t->tp_dictoffset = offsetof(FunctionObject, dict);
    t->tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t->tp_doc = "A native function that behaves like a Python function.";
    // Binds like a Python function, so the method-call shortcut is exact.
    compat::type_set_vectorcall(t, offsetof(FunctionObject, vectorcall), detail::function_call);
    check(PyType_Ready(t));
    return t;
}

// Creates a function described by `def`, defined in `module` (whose __name__
// becomes __module__). `defaults` (a tuple for the last parameters, keyword-only
// ones included) and `closure` (a tuple) are borrowed and may be NULL.
// `qualname` overrides the definition's when given.
inline Ref make_function(PyObject* module, const FunctionDef& def, PyObject* defaults = nullptr,
                         PyObject* closure = nullptr, const char* qualname = nullptr) {
    PyTypeObject* type = function_type();
    Py_ssize_t nparams = 0;
    Py_ssize_t npositional = -1;
    for (int j = 0; j < kMaxParams && def.params[j]; ++j) {
        if (def.parsed && std::strcmp(def.params[j], "*") == 0)
            npositional = nparams;
        else
            ++nparams;
    }
    if (npositional < 0) npositional = nparams;
    const Py_ssize_t nkwonly = nparams - npositional;
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndefaults < nkwonly) raise(PyExc_SystemError, "a keyword-only parameter has no default");
    Ref varnames;
    if (def.parsed) {
        varnames = check(PyTuple_New(nparams));
        for (Py_ssize_t i = 0; i < nparams; ++i)
            PyTuple_SET_ITEM(varnames.get(), i, interned(detail::param_name(&def, i)).release());  // steals
    }
    Ref positional_defaults;
    Ref kwdefaults;
    if (ndefaults > nkwonly)
        positional_defaults = check(PyTuple_GetSlice(defaults, 0, ndefaults - nkwonly));
    if (nkwonly) {
        kwdefaults = check(PyDict_New());
        for (Py_ssize_t i = 0; i < nkwonly; ++i)
            check(PyDict_SetItem(kwdefaults.get(), PyTuple_GET_ITEM(varnames.get(), npositional + i),
                                 PyTuple_GET_ITEM(defaults, ndefaults - nkwonly + i)));
    }
    Ref name = interned(def.name);
    Ref qual = str(qualname ? qualname : def.qualname ? def.qualname : def.name);
    Ref doc = def.doc ? str(def.doc) : Ref::borrow(Py_None);
    Ref modname = check(PyObject_GetAttrString(module, "__name__"));

    auto* f = PyObject_GC_New(FunctionObject, type);
    if (!f) throw PyErrAlreadySet{};
    f->vectorcall = detail::function_vectorcall;
    f->def = &def;
    f->nparams = nparams;
    f->npositional = npositional;
    f->module = Ref::borrow(module).release();
    f->varnames = varnames.release();
    f->defaults = positional_defaults.release();
    f->kwdefaults = kwdefaults.release();
    f->closure = Ref::borrow(closure).release();
    f->name = name.release();
    f->qualname = qual.release();
    f->modname = modname.release();
    f->doc = doc.release();
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

inline bool is_function(PyObject* o) noexcept {
    return Py_TYPE(o) == &detail::function_type_object;
}

// The i-th closure cell of a decorator wrapper (borrowed).
inline PyObject* closure_item(FunctionObject* f, Py_ssize_t i) noexcept {
    return PyTuple_GET_ITEM(f->closure, i);
}

// The namespace of the defining module (borrowed).
inline PyObject* globals_of(FunctionObject* f) noexcept { return PyModule_GetDict(f->module); }

// The state of the defining module, as the module's own State type.
template <class State>
State& state_of(FunctionObject* f) noexcept {
    return *static_cast<State*>(PyModule_GetState(f->module));
}

}  // namespace sorvane::support
