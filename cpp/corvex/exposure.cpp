// The exposure check of a guarded dispatcher (sorvane.guard): part of the
// dispatcher's own resolution of a call, so that what is checked is what runs.
//
// A guarded service carries `_exposure` in its instance dict: {module name:
// None (every public callable defined in the module) or a frozenset of exact
// dotted paths}. The module name the clazz handler returned must be listed
// before anything is imported; then the method path is walked once, each
// object checked as it is reached and looked up statically: module dicts and
// the dicts of the classes along an MRO, never a property, a __getattr__ or a
// module-level __getattr__. A module listed with None lets a call reach
//   - a function defined in the module;
//   - through a class defined in the module, or a module-level instance of
//     one, a function, static method or class method defined in the module
//     and found in the dict of a class of the module's own along the MRO;
// a class itself may be called (an instance made) only when its path is
// listed. The dispatcher hands a refused call to the service's
// _refused(context, request, reason, told), which logs the reason and ends
// the RPC with PERMISSION_DENIED and the told text; GuardedService.refusal()
// asks the same questions through _exposure_check.
//
// The reasons are for the server's log only. A client is told one text for
// every refused path of a module, naming only what it sent: the reasons
// differ by what the module holds (another module, a constant, an imported
// name), so telling them would let a client map the module by probing.
#include "corvex.hpp"

namespace sorvane::corvex {

namespace {

// ascii(value), cut to 120 characters, as the guard quotes client input.
Ref shown(PyObject* value) {
    Ref text = check(PyObject_ASCII(value));
    if (PyUnicode_GET_LENGTH(text.get()) <= 120) return text;
    Ref head = check(PyUnicode_Substring(text.get(), 0, 120));
    return check(PyUnicode_FromFormat("%U...", head.get()));
}

template <class... A>
Ref because(const char* format, A... args) {
    return check(PyUnicode_FromFormat(format, args...));
}

bool same_text(PyObject* a, PyObject* b) {
    if (!a || !b || !PyUnicode_Check(a) || !PyUnicode_Check(b)) return false;
    return PyUnicode_Compare(a, b) == 0;
}

// Whether `cls` is a class the module `module_name` defined: a class made by
// a class statement (a heap type) whose own dict names the module.
bool own_class(PyTypeObject* cls, PyObject* module_name) {
    if (!(cls->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
    Ref dict = compat::type_dict(cls);
    if (!dict) return false;
    Ref key = interned("__module__");
    PyObject* m = PyDict_GetItemWithError(dict.get(), key.get());
    if (!m && PyErr_Occurred()) throw PyErrAlreadySet{};
    return same_text(m, module_name);
}

// The Python function behind a function, static method or class method found
// in a dict (borrowed), or nullptr for anything else.
PyObject* underlying_function(PyObject* value) {
    PyObject* f = value;
    if (PyObject_TypeCheck(value, &PyStaticMethod_Type) ||
        PyObject_TypeCheck(value, &PyClassMethod_Type)) {
        Ref inner = getattr(value, "__func__");
        f = inner.get();  // kept alive by the descriptor that holds it
    }
    return PyFunction_Check(f) ? f : nullptr;
}

bool defined_in(PyObject* function, PyObject* module_name) {
    return same_text(PyFunction_GET_MODULE(function), module_name);
}

// What getattr would give for `value` found in a class dict: bound to
// `instance` (or nullptr: reached through the class `owner`).
Ref bind_found(PyObject* value, PyObject* instance, PyTypeObject* owner) {
    descrgetfunc get = Py_TYPE(value)->tp_descr_get;
    if (!get) return Ref::borrow(value);
    return check(get(value, instance, reinterpret_cast<PyObject*>(owner)));
}

// Descriptors whose binding runs no code of the module's: functions, static
// and class methods, and the method descriptors of built-in types.
bool plain_descriptor(PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    if (!t->tp_descr_get) return true;
    if (t->tp_descr_set) return false;  // property, slot, data descriptor: not evaluated
    return PyFunction_Check(value) || PyObject_TypeCheck(value, &PyStaticMethod_Type) ||
           PyObject_TypeCheck(value, &PyClassMethod_Type) || t == &PyMethodDescr_Type ||
           t == &PyClassMethodDescr_Type || support::is_function(value);
}

// Looks `name` up along the MRO of `cls`, in each class's own dict. Returns the
// value (borrowed) and the class that holds it, or nullptr.
PyObject* mro_lookup(PyTypeObject* cls, PyObject* name, PyTypeObject** holder) {
    PyObject* mro = cls->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = compat::type_dict(base);
        if (!dict) continue;
        PyObject* v = PyDict_GetItemWithError(dict.get(), name);
        if (v) {
            // The MRO's classes, and with them their dicts, outlive the call.
            *holder = base;
            return v;
        }
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
    }
    return nullptr;
}

}  // namespace

[[noreturn]] void refuse(PyObject* service, PyObject* context, PyObject* request,
                         PyObject* reason, PyObject* told) {
    Ref refused = getattr(service, "_refused");
    call(refused.get(), {context, request, reason, told});
    raise(PyExc_SystemError, "the guard's _refused returned instead of raising");
}

Ref module_told(PyObject* clazz) {
    return because("the module %U is not exposed", shown(clazz).get());
}

Ref path_told(PyObject* clazz, PyObject* method) {
    return because("the module %U has no public %U", shown(clazz).get(), shown(method).get());
}

Ref module_refusal(PyObject* exposure, PyObject* name) {
    if (PyUnicode_Check(name)) {
        if (PyDict_GetItemWithError(exposure, name)) return Ref();
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
    }
    return because("the module %U is not exposed", shown(name).get());
}

Ref path_refusal(PyObject* exposure, PyObject* name, PyObject* module, PyObject* method,
                 Ref& invoke) {
    if (!PyUnicode_Check(method)) return because("the method is not a string");
    Ref dot = str(".");
    Ref segments = check(PyUnicode_Split(method, dot.get(), -1));
    const Py_ssize_t n = PyList_GET_SIZE(segments.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* segment = PyList_GET_ITEM(segments.get(), i);
        if (PyUnicode_GET_LENGTH(segment) == 0) return because("the method has an empty name");
        if (PyUnicode_READ_CHAR(segment, 0) == '_')
            return because("the method goes through the private name %U", shown(segment).get());
    }
    PyObject* listed = PyDict_GetItemWithError(exposure, name);
    if (!listed) {
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
        return because("the module %U is not exposed", shown(name).get());
    }
    Ref keep_listed = Ref::borrow(listed);
    const bool everything = listed == Py_None;
    // A reason naming the method, then the module.
    auto said = [&](const char* format) {
        return because(format, shown(method).get(), shown(name).get());
    };
    auto not_exposed = [&] { return said("%U of the module %U is not exposed"); };
    auto not_defined = [&] { return said("%U is not defined in the module %U"); };
    auto missing = [&] {
        return because("the module %U has no public %U", shown(name).get(), shown(method).get());
    };
    if (!everything) {
        if (!check(PySequence_Contains(listed, method))) return not_exposed();
    } else if (n > 2) {
        return not_exposed();
    }

    // The walk: `x` is what the path reached so far.
    Ref x = Ref::borrow(module);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* segment = PyList_GET_ITEM(segments.get(), i);
        const bool last = i == n - 1;
        if (PyModule_Check(x.get())) {
            // A module's own dict: no module-level __getattr__.
            PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(x.get()), segment);
            if (!v) {
                if (PyErr_Occurred()) throw PyErrAlreadySet{};
                return missing();
            }
            x = Ref::borrow(v);
        } else {
            // A class, or an instance: the dicts along the class's MRO, never
            // the instance's own dict, its __getattr__ or a metaclass's.
            const bool is_class = PyType_Check(x.get());
            PyTypeObject* cls =
                is_class ? reinterpret_cast<PyTypeObject*>(x.get()) : Py_TYPE(x.get());
            PyTypeObject* holder = nullptr;
            PyObject* v = mro_lookup(cls, segment, &holder);
            if (!v) return missing();
            Ref keep = Ref::borrow(v);
            if (!plain_descriptor(v))
                return said("%U of the module %U is an attribute the guard does not evaluate");
            if (everything) {
                PyObject* f = underlying_function(v);
                if (!own_class(holder, name) || !f || !defined_in(f, name)) return not_defined();
            }
            x = bind_found(v, is_class ? nullptr : x.get(), cls);
        }
        if (!everything || i > 0) continue;
        // The first name of a path into a module listed with "*".
        PyObject* v = x.get();
        if (PyModule_Check(v)) return said("%U of the module %U is another module");
        if (PyFunction_Check(v)) {
            if (!defined_in(v, name)) return not_defined();
            if (!last) return not_exposed();
            continue;
        }
        PyTypeObject* cls = PyType_Check(v) ? reinterpret_cast<PyTypeObject*>(v) : Py_TYPE(v);
        if (!own_class(cls, name)) return not_defined();
        if (last && PyType_Check(v))
            return said("%U of the module %U is a class: making an instance needs its path listed");
        if (last) return said("%U of the module %U cannot be called");
    }
    if (!PyCallable_Check(x.get())) return said("%U of the module %U cannot be called");
    invoke = std::move(x);
    return Ref();
}

namespace {

// _exposure_check(exposure, name, method): the reason the guard refuses a call
// of `method` in the module `name`, or None; imports the module only once its
// name is accepted. What GuardedService.refusal() asks.
Ref exposure_check(FunctionObject*, PyObject* const* argv) {
    PyObject* exposure = argv[0];
    PyObject* name = argv[1];
    PyObject* method = argv[2];
    if (!PyDict_Check(exposure)) raise(PyExc_TypeError, "exposure must be a dict");
    if (Ref reason = module_refusal(exposure, name)) return reason;
    Ref importlib = import("importlib");
    Ref module = call(getattr(importlib.get(), "import_module").get(), {name});
    Ref invoke;
    if (Ref reason = path_refusal(exposure, name, module.get(), method, invoke)) return reason;
    return Ref::borrow(Py_None);
}
const FunctionDef exposure_check_def = {
    "_exposure_check", "_exposure_check",
    "The reason the exposure guard refuses a call of `method` in the module `name`, or None.",
    {"exposure", "name", "method"}, exposure_check, nullptr};

}  // namespace

void define_exposure_check(PyObject* m) {
    bind(m, "_exposure_check", make_function(m, exposure_check_def).get());
}

}  // namespace sorvane::corvex
