// The remote-call decorator grpc_service: factory -> decorator -> wrapper.
//
// The wrapper never runs the decorated function: it binds the call's arguments
// to the function's parameters by name, takes the stub from the module-level
// grpc_client and calls GrpcHelper.call_rpc_result (both looked up at every
// call) with every bound argument as a keyword.
//
// Binding is inspect.signature(func).bind(*args, **kwargs).arguments. For a
// plain Python function that is slow, so a native binder reads the parameters
// from the function's code object and reproduces inspect's _bind step by step
// (same mapping, same order, same TypeError texts, per host version). It runs
// only when inspect would itself build the signature from the code object (no
// __wrapped__, __signature__ and the like on the function) and while the
// inspect objects involved are still the ones bound at import; anything else,
// and any shape it does not cover, goes through inspect. Nothing is cached
// between calls.
#include "corvex.hpp"

#include <initializer_list>
#include <memory>

namespace sorvane::corvex {
namespace {

const char kGrpcServiceDoc[] =
    "\n    grpc service define\n    :param server: server name\n"
    "    :param serialize: serialize type, default 3 : json\n    :return:\n    ";

// The binder's rules are checked against the inspect of each host version up
// to this one; newer hosts bind through inspect.
#define SORVANE_NATIVE_BINDER (PY_VERSION_HEX < 0x030E0000)

// Every name the host refuses as a parameter name (a superset is harmless: such
// a function is simply bound by inspect).
const char* const kReservedWords[] = {
    "False", "None",   "True",     "and",    "as",     "assert", "async", "await", "break",
    "class", "continue", "def",    "del",    "elif",   "else",   "except", "finally", "for",
    "from",  "global", "if",       "import", "in",     "is",     "lambda", "nonlocal", "not",
    "or",    "pass",   "raise",    "return", "try",    "while",  "with",  "yield",
};

// ---- the native binder ------------------------------------------------------

enum class Kind {
    positional_only,
    positional_or_keyword,
    var_positional,
    keyword_only,
    var_keyword,
};

struct Param {
    PyObject* name;  // borrowed from the code object
    Kind kind;
    bool has_default;
};

constexpr int kMaxFastParams = 32;

struct Params {
    Param items[kMaxFastParams];
    int count = 0;
};

// Raises TypeError(message); `from_none` mirrors inspect's `raise ... from None`.
template <class... A>
[[noreturn]] void raise_bind_error(bool from_none, const char* format, A... args) {
    PyErr_Format(PyExc_TypeError, format, args...);
    if (from_none) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (value) PyException_SetCause(value, nullptr);  // __cause__ None, context suppressed
        PyErr_Restore(type, value, tb);
    }
    throw PyErrAlreadySet{};
}

bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

// True when inspect.signature(func) is certain to come from func's code object
// through the inspect objects bound at import.
bool binder_applies(const ClientState& st, FunctionObject* self, PyObject* func) {
    if (!PyFunction_Check(func) || !guards_hold(st.binder_guards, globals_of(self))) return false;
    auto* f = reinterpret_cast<PyFunctionObject*>(func);
    // inspect follows __wrapped__ and honours these before it reads the code.
    if (f->func_dict && PyDict_GET_SIZE(f->func_dict)) {
        for (Name n : {Name::dunder_wrapped, Name::dunder_signature, Name::dunder_text_signature,
                       Name::partialmethod_private, Name::dunder_partialmethod}) {
            if (PyDict_GetItemWithError(f->func_dict, st[n])) return false;
            if (PyErr_Occurred()) throw PyErrAlreadySet{};
        }
    }
    // inspect reads annotations through their own get(); only plain dicts here.
    if (f->func_annotations && !PyDict_CheckExact(f->func_annotations)) return false;
    return true;
}

// A name inspect.Parameter accepts unchanged.
bool plain_parameter_name(const ClientState& st, PyObject* name) {
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IsIdentifier(name)) return false;
    return check(PySet_Contains(st.keywords.get(), name)) == 0;
}

// The parameters of func in inspect's order and kinds; false when the code
// object or the defaults have a shape the binder leaves to inspect.
bool read_parameters(const ClientState& st, PyObject* func, Params& out) {
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(func));
    const int argcount = code->co_argcount;
#if PY_VERSION_HEX >= 0x03080000
    const int posonly = code->co_posonlyargcount;
#else
    const int posonly = 0;
#endif
    const int kwonly = code->co_kwonlyargcount;
    const int varargs = (code->co_flags & CO_VARARGS) ? 1 : 0;
    const int varkw = (code->co_flags & CO_VARKEYWORDS) ? 1 : 0;
    const int total = argcount + kwonly + varargs + varkw;
    if (total > kMaxFastParams || posonly > argcount) return false;
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* names = code->co_localsplusnames;  // the arguments come first
#else
    PyObject* names = code->co_varnames;
#endif
    if (!PyTuple_Check(names) || PyTuple_GET_SIZE(names) < total) return false;

    PyObject* defaults = PyFunction_GET_DEFAULTS(func);
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndefaults > argcount) return false;
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(func);
    if (kwdefaults && !PyDict_CheckExact(kwdefaults)) return false;

    int n = 0;
    for (int i = 0; i < argcount; ++i)
        out.items[n++] = {PyTuple_GET_ITEM(names, i),
                          i < posonly ? Kind::positional_only : Kind::positional_or_keyword,
                          i >= argcount - ndefaults};
    if (varargs)
        out.items[n++] = {PyTuple_GET_ITEM(names, argcount + kwonly), Kind::var_positional, false};
    for (int i = argcount; i < argcount + kwonly; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        bool has_default = false;
        if (kwdefaults && PyUnicode_CheckExact(name)) {
            has_default = PyDict_GetItemWithError(kwdefaults, name) != nullptr;
            if (PyErr_Occurred()) throw PyErrAlreadySet{};
        }
        out.items[n++] = {name, Kind::keyword_only, has_default};
    }
    if (varkw)
        out.items[n++] = {PyTuple_GET_ITEM(names, argcount + kwonly + varargs), Kind::var_keyword,
                          false};
    out.count = n;

    for (int i = 0; i < n; ++i) {
        if (!plain_parameter_name(st, out.items[i].name)) return false;
        for (int j = 0; j < i; ++j)
            if (same_text(out.items[i].name, out.items[j].name)) return false;
    }
    return true;
}

// The keyword arguments of one call as the dict that bind(**kwargs) pops from:
// insertion order kept, popped entries marked dead.
class KeywordArgs {
public:
    KeywordArgs(PyObject* const* values, PyObject* kwnames)
        : values_(values), names_(kwnames), n_(kwnames ? PyTuple_GET_SIZE(kwnames) : 0) {
        if (n_ > kInline) heap_.reset(new bool[n_]);
        alive_ = n_ > kInline ? heap_.get() : inline_;
        for (Py_ssize_t i = 0; i < n_; ++i) alive_[i] = true;
        remaining_ = n_;
    }
    bool all_text() const {
        for (Py_ssize_t i = 0; i < n_; ++i)
            if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(names_, i))) return false;
        return true;
    }
    // `name in kwargs`: the index of the live entry, or -1.
    Py_ssize_t find(PyObject* name) const {
        for (Py_ssize_t i = 0; i < n_; ++i)
            if (alive_[i] && same_text(PyTuple_GET_ITEM(names_, i), name)) return i;
        return -1;
    }
    PyObject* pop(Py_ssize_t i) {
        alive_[i] = false;
        --remaining_;
        return values_[i];
    }
    bool empty() const { return remaining_ == 0; }
    PyObject* first_name() const {
        for (Py_ssize_t i = 0; i < n_; ++i)
            if (alive_[i]) return PyTuple_GET_ITEM(names_, i);
        return nullptr;
    }
    // The live entries as a new dict, in call order.
    Ref rest() const {
        Ref d = check(PyDict_New());
        for (Py_ssize_t i = 0; i < n_; ++i)
            if (alive_[i]) check(PyDict_SetItem(d.get(), PyTuple_GET_ITEM(names_, i), values_[i]));
        return d;
    }

private:
    static constexpr Py_ssize_t kInline = 32;
    PyObject* const* values_;
    PyObject* names_;
    Py_ssize_t n_;
    Py_ssize_t remaining_ = 0;
    bool inline_[kInline];
    std::unique_ptr<bool[]> heap_;
    bool* alive_;
};

// inspect.Signature._bind(args, kwargs) for the parameters `ps`, without
// partial binding. Returns the new `arguments` dict; raises inspect's errors.
Ref bind_arguments(const Params& ps, PyObject* const* args, Py_ssize_t nargs, KeywordArgs& kwargs) {
    Ref arguments = check(PyDict_New());
    int pi = 0;              // next parameter
    Py_ssize_t ai = 0;       // next positional argument
    bool keyword_from_last = false;  // inspect's parameters_ex: the one just taken
#if PY_VERSION_HEX >= 0x030D0000
    const Param* positional_only_in_kwargs[kMaxFastParams];
    int npositional_only_in_kwargs = 0;
#endif
    for (;;) {
        if (ai == nargs) {
            // No more positional arguments.
            if (pi == ps.count) break;
            const Param& p = ps.items[pi++];
            if (p.kind == Kind::var_positional) break;
            if (kwargs.find(p.name) >= 0) {
                if (p.kind == Kind::positional_only) {
#if PY_VERSION_HEX >= 0x030D0000
                    positional_only_in_kwargs[npositional_only_in_kwargs++] = &p;
                    continue;
#else
                    raise_bind_error(true,
                                     "%R parameter is positional only, but was passed as a keyword",
                                     p.name);
#endif
                }
                keyword_from_last = true;
                break;
            }
            if (p.kind == Kind::var_keyword || p.has_default) {
                keyword_from_last = true;
                break;
            }
#if PY_VERSION_HEX >= 0x030C0000
            raise_bind_error(true, "missing a required%s argument: %R",
                             p.kind == Kind::keyword_only ? " keyword-only" : "", p.name);
#else
            raise_bind_error(true, "missing a required argument: %R", p.name);
#endif
        }
        // A positional argument to place.
        if (pi == ps.count) raise_bind_error(true, "too many positional arguments");
        const Param& p = ps.items[pi++];
        if (p.kind == Kind::var_keyword || p.kind == Kind::keyword_only)
            raise_bind_error(true, "too many positional arguments");
        if (p.kind == Kind::var_positional) {
            Ref rest = check(PyTuple_New(nargs - ai));
            for (Py_ssize_t i = ai; i < nargs; ++i)
                PyTuple_SET_ITEM(rest.get(), i - ai, Ref::borrow(args[i]).release());  // steals
            check(PyDict_SetItem(arguments.get(), p.name, rest.get()));
            ai = nargs;
            break;
        }
#if PY_VERSION_HEX >= 0x03080000
        if (p.kind != Kind::positional_only && kwargs.find(p.name) >= 0)
#else
        if (kwargs.find(p.name) >= 0)
#endif
            raise_bind_error(true, "multiple values for argument %R", p.name);
        check(PyDict_SetItem(arguments.get(), p.name, args[ai++]));
    }

    // The remaining parameters take keyword arguments.
    const Param* kwargs_param = nullptr;
    const Param* end = ps.items + ps.count;
    for (const Param* p = ps.items + (keyword_from_last ? pi - 1 : pi); p < end; ++p) {
        if (p->kind == Kind::var_keyword) {
            kwargs_param = p;
            continue;
        }
        if (p->kind == Kind::var_positional) continue;
        Py_ssize_t k = kwargs.find(p->name);
        if (k < 0) {
            if (!p->has_default) raise_bind_error(true, "missing a required argument: %R", p->name);
            continue;
        }
#if PY_VERSION_HEX < 0x030D0000
        if (p->kind == Kind::positional_only)
            raise_bind_error(false, "%R parameter is positional only, but was passed as a keyword",
                             p->name);
#endif
        check(PyDict_SetItem(arguments.get(), p->name, kwargs.pop(k)));
    }

    if (!kwargs.empty()) {
        if (kwargs_param) {
            Ref rest = kwargs.rest();
            check(PyDict_SetItem(arguments.get(), kwargs_param->name, rest.get()));
        }
#if PY_VERSION_HEX >= 0x030D0000
        else if (npositional_only_in_kwargs) {
            Ref joined = str("");
            Ref separator = str(", ");
            for (int i = 0; i < npositional_only_in_kwargs; ++i) {
                if (i) joined = check(PyUnicode_Concat(joined.get(), separator.get()));
                joined = check(PyUnicode_Concat(joined.get(), positional_only_in_kwargs[i]->name));
            }
            raise_bind_error(false,
                             "got some positional-only arguments passed as keyword arguments: %R",
                             joined.get());
        }
#endif
        else {
            raise_bind_error(false, "got an unexpected keyword argument %R", kwargs.first_name());
        }
    }
    return arguments;
}

// The bound arguments with "cls" removed, as a new dict; an empty Ref (no
// exception) when the call must go through inspect.
Ref native_bind(const ClientState& st, FunctionObject* self, PyObject* func, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames) {
#if SORVANE_NATIVE_BINDER
    if (!binder_applies(st, self, func)) return Ref();
    KeywordArgs kwargs(args + nargs, kwnames);
    if (!kwargs.all_text()) return Ref();
    Params ps;
    if (!read_parameters(st, func, ps)) return Ref();
    Ref arguments = bind_arguments(ps, args, nargs, kwargs);
    for (int i = 0; i < ps.count; ++i) {
        if (same_text(ps.items[i].name, st[Name::cls])) {
            check(PyDict_DelItem(arguments.get(), st[Name::cls]));
            break;
        }
    }
    return arguments;
#else
    (void)st, (void)self, (void)func, (void)args, (void)nargs, (void)kwnames;
    return Ref();
#endif
}

// inspect.signature(func).bind(*args, **kwargs).arguments, with "cls" removed
// when the signature has such a parameter. Returns that mapping itself.
Ref inspect_bind(const ClientState& st, FunctionObject* self, PyObject* func, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
    Ref inspect = client_global(self, Name::inspect);
    Ref sig = call(getattr(inspect.get(), st[Name::signature]).get(), {func});
    Ref positional = check(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(positional.get(), i, Ref::borrow(args[i]).release());  // steals
    Ref keywords;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        keywords = check(PyDict_New());
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            check(PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
    }
    Ref bind_method = getattr(sig.get(), st[Name::bind]);
    Ref bound = check(PyObject_Call(bind_method.get(), positional.get(), keywords.get()));
    Ref arguments = getattr(bound.get(), st[Name::arguments]);
    Ref parameters = getattr(sig.get(), st[Name::parameters]);
    Ref cls_param = mapping_get(st, parameters.get(), st[Name::cls]);
    if (check(PyObject_IsTrue(cls_param.get())))
        check(PyObject_DelItem(arguments.get(), st[Name::cls]));
    return arguments;
}

// obj.<name>(arg), without a bound-method object where the host allows.
Ref call_method(PyObject* obj, PyObject* name, PyObject* arg) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* stack[2] = {obj, arg};
    return check(
        PyObject_VectorcallMethod(name, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
#else
    Ref method = getattr(obj, name);
    return call(method.get(), {arg});
#endif
}

// ---- grpc_service -----------------------------------------------------------

// Closure: (server, func).
Ref grpc_service_wrapper(FunctionObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    const ClientState& st = client_state(self);
    PyObject* server = closure_item(self, 0);
    PyObject* func = closure_item(self, 1);

    Ref kwargs = native_bind(st, self, func, args, nargs, kwnames);
    Ref bound = kwargs ? Ref() : inspect_bind(st, self, func, args, nargs, kwnames);

    Ref registry = client_global(self, Name::grpc_client);
    Ref rpc_client = call_method(registry.get(), st[Name::connect], server);
    Ref helper = client_global(self, Name::GrpcHelper);
    Ref call_rpc_result = getattr(helper.get(), st[Name::call_rpc_result]);
    Ref clazz = getattr(func, st[Name::dunder_module]);
    Ref method = getattr(func, st[Name::dunder_qualname]);
    if (!kwargs) kwargs = call(reinterpret_cast<PyObject*>(&PyDict_Type), {bound.get()});
    return call_kw(call_rpc_result.get(), {rpc_client.get()}, st.kw_call_rpc_result.get(),
                   {clazz.get(), method.get(), st.empty_tuple.get(), kwargs.get()});
}
const FunctionDef grpc_service_wrapper_def = {
    "wrapper", "grpc_service.<locals>.decorator.<locals>.wrapper", nullptr, {"*args", "**kwargs"},
    nullptr, grpc_service_wrapper};

// Closure: (server,). Returns functools.wraps(func)(wrapper).
Ref grpc_service_decorator(FunctionObject* self, PyObject* const* argv) {
    const ClientState& st = client_state(self);
    PyObject* func = argv[0];
    Ref functools = client_global(self, Name::functools);
    Ref wraps = call(getattr(functools.get(), st[Name::wraps]).get(), {func});
    Ref closure = check(PyTuple_Pack(2, closure_item(self, 0), func));
    Ref wrapper = make_function(self->module, grpc_service_wrapper_def, nullptr, closure.get());
    return call(wraps.get(), {wrapper.get()});
}
const FunctionDef grpc_service_decorator_def = {
    "decorator", "grpc_service.<locals>.decorator", nullptr, {"func"}, grpc_service_decorator,
    nullptr};

// `serialize` is accepted and not kept: calls always use code 3.
Ref grpc_service(FunctionObject* self, PyObject* const* argv) {
    Ref closure = check(PyTuple_Pack(1, argv[0]));
    return make_function(self->module, grpc_service_decorator_def, nullptr, closure.get());
}
const FunctionDef grpc_service_def = {
    "grpc_service", nullptr, kGrpcServiceDoc, {"server", "serialize"}, grpc_service, nullptr};

}  // namespace

void init_binder_guards(PyObject* module, ClientState& st) {
    Ref words = check(PyList_New(0));
    for (const char* w : kReservedWords) check(PyList_Append(words.get(), str(w).get()));
    st.keywords = check(PyFrozenSet_New(words.get()));
#if SORVANE_NATIVE_BINDER
    GuardSet& set = st.binder_guards;
    PyObject* module_ns = PyModule_GetDict(module);
    PyObject* inspect = add_guard(set, module_ns, nullptr, "inspect");
    if (!inspect || !PyModule_Check(inspect)) return;
    PyObject* ns = PyModule_GetDict(inspect);
    bool ok = true;
    for (const char* name : {"signature", "unwrap", "isfunction", "_signature_from_callable",
                             "_signature_from_function"})
        ok = add_guard(set, module_ns, ns, name) && ok;
#if PY_VERSION_HEX >= 0x030A0000
    ok = add_guard(set, module_ns, ns, "get_annotations") && ok;
#endif
    // The classes, and the members of theirs that binding reaches.
    const struct { const char* cls; std::initializer_list<const char*> members; } classes[] = {
        {"Signature", {"from_callable", "bind", "_bind", "_parameter_cls", "_bound_arguments_cls"}},
        {"Parameter", {"__init__"}},
        {"BoundArguments", {"__init__"}},
    };
    for (const auto& c : classes) {
        PyObject* cls = add_guard(set, module_ns, ns, c.cls);
        if (!cls || !PyType_Check(cls)) {
            ok = false;
            continue;
        }
        PyObject* cls_ns = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
        for (const char* member : c.members) ok = add_guard(set, module_ns, cls_ns, member) && ok;
    }
    set.enabled = ok;
#else
    (void)module;
#endif
}

void define_grpc_service(PyObject* m) {
    Ref three = check(PyLong_FromLong(3));
    Ref grpc_service_defaults = defaults({three.get()});
    Ref f = make_function(m, grpc_service_def, grpc_service_defaults.get());
    bind(m, "grpc_service", f.get());
}

}  // namespace sorvane::corvex
