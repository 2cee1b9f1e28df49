// Ordinary Python classes made from native functions.
//
// A class is made by calling type(name, bases, namespace) at module
// initialisation, exactly as a class statement would, so its metaclass is the
// bases' (type for object), it has a __dict__, __weakref__ and __module__ like
// any class, and subclasses in Python behave as usual. __module__ and
// __qualname__ are set explicitly: type() would otherwise take __module__ from
// whatever Python frame happens to be importing.
#pragma once

#include "function.hpp"

#include <utility>

namespace sorvane::support {

struct Member {
    const char* name;
    Ref value;
};

// Returns a new class `name` defined in `module`; `bases` is a tuple or NULL
// (object), borrowed. `doc` nullptr means no documentation text. Members are
// stored in the order given.
template <class... Members>
Ref make_class(PyObject* module, const char* name, PyObject* bases, const char* doc,
               Members&&... members) {
    Ref ns = check(PyDict_New());
    Ref modname = check(PyObject_GetAttrString(module, "__name__"));
    check(PyDict_SetItemString(ns.get(), "__module__", modname.get()));
    check(PyDict_SetItemString(ns.get(), "__qualname__", str(name).get()));
    if (doc) check(PyDict_SetItemString(ns.get(), "__doc__", str(doc).get()));
    (check(PyDict_SetItemString(ns.get(), members.name, members.value.get())), ...);
    Ref bases_tuple = bases ? Ref::borrow(bases) : check(PyTuple_New(0));
    Ref class_name = str(name);
    return call(reinterpret_cast<PyObject*>(&PyType_Type),
                {class_name.get(), bases_tuple.get(), ns.get()});
}

// A plain method: the function itself, bound by the descriptor protocol.
inline Member method(PyObject* module, const FunctionDef& def, PyObject* defaults = nullptr) {
    return {def.name, make_function(module, def, defaults)};
}

inline Member class_method(PyObject* module, const FunctionDef& def,
                           PyObject* defaults = nullptr) {
    Ref f = make_function(module, def, defaults);
    return {def.name, check(PyClassMethod_New(f.get()))};
}

inline Member static_method(PyObject* module, const FunctionDef& def,
                            PyObject* defaults = nullptr) {
    Ref f = make_function(module, def, defaults);
    return {def.name, check(PyStaticMethod_New(f.get()))};
}

// A read-only property whose getter is the native function of `def`.
inline Member read_only_property(PyObject* module, const FunctionDef& def) {
    Ref f = make_function(module, def);
    return {def.name, call(reinterpret_cast<PyObject*>(&PyProperty_Type), {f.get()})};
}

// A tuple of defaults, from new references.
inline Ref defaults(std::initializer_list<PyObject*> values) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    Py_ssize_t i = 0;
    for (PyObject* v : values) {
        Py_INCREF(v);
        PyTuple_SET_ITEM(t.get(), i++, v);  // steals the reference just taken
    }
    return t;
}

}  // namespace sorvane::support
