// The remote-call decorator grpc_service: factory -> decorator -> wrapper.
//
// The wrapper never runs the decorated function: it binds the call's arguments
// to the function's parameters by name, takes the stub from the module-level
// grpc_client and calls GrpcHelper.call_rpc_result (both looked up at every
// call) with every bound argument as a keyword.
//
// Binding is inspect.signature(func).bind(*args, **kwargs).arguments, with
// the Signature of a plain function kept between calls (see signature_of).
// `timeout`, keyword-only, bounds every call the wrapper makes.
#include "corvex.hpp"

namespace sorvane::corvex {
namespace {

const char kGrpcServiceDoc[] =
    "\n    grpc service define\n    :param server: server name\n"
    "    :param serialize: serialize type, default 3 : json\n    :return:\n    ";

// Whether inspect.signature(func) may come from the cache: a plain function
// on which inspect would read nothing but its code and defaults (no
// __wrapped__, __signature__ and the like), with the inspect objects involved
// as bound at import.
bool cacheable(const State& st, FunctionObject* self, PyObject* func) {
    if (!PyFunction_Check(func) || !st.signature.holds(globals_of(self))) return false;
    auto* f = reinterpret_cast<PyFunctionObject*>(func);
    if (f->func_dict && PyDict_GET_SIZE(f->func_dict)) {
        for (N n : {N::dunder_wrapped, N::dunder_signature, N::dunder_text_signature,
                    N::partialmethod_private, N::dunder_partialmethod})
            if (dict_get(f->func_dict, st[n])) return false;
    }
    return true;
}

// What binding needs of a function's Signature, kept per function in
// `cache` (a one-item list) while the function keeps the code and defaults
// it was made from: (code, defaults, kwdefaults, signature, has_cls, names,
// required). `names` and `required` (the parameter names, and whether each
// lacks a default) are given only when every parameter is positional-or-
// keyword; they serve the shortcut of bind_arguments.
struct Binding {
    PyObject* signature;
    bool has_cls;
    PyObject* names;     // tuple of str, or None
    PyObject* required;  // tuple of bool, or None
};

// The Signature is made once per function: binding through a new Signature
// per call costs more than the decorated-call target of bench/bench_client.py
// allows (<= 6 us over an in-process stub).
Binding binding_of(FunctionObject* self, const State& st, PyObject* func, PyObject* cache,
                   Ref& holder) {
    const bool use_cache = cacheable(st, self, func);
    PyObject* key[3] = {};
    if (use_cache) {
        key[0] = PyFunction_GET_CODE(func);
        key[1] = PyFunction_GET_DEFAULTS(func) ? PyFunction_GET_DEFAULTS(func) : Py_None;
        key[2] = PyFunction_GET_KW_DEFAULTS(func) ? PyFunction_GET_KW_DEFAULTS(func) : Py_None;
        PyObject* entry = PyList_GET_ITEM(cache, 0);
        if (PyTuple_Check(entry) && PyTuple_GET_ITEM(entry, 0) == key[0] &&
            PyTuple_GET_ITEM(entry, 1) == key[1] && PyTuple_GET_ITEM(entry, 2) == key[2]) {
            holder = Ref::borrow(entry);
            return {PyTuple_GET_ITEM(entry, 3), PyTuple_GET_ITEM(entry, 4) == Py_True,
                    PyTuple_GET_ITEM(entry, 5), PyTuple_GET_ITEM(entry, 6)};
        }
    }
    Ref inspect = global(self, N::inspect);
    Ref sig = call(getattr(inspect.get(), st[N::signature]).get(), {func});
    Ref parameters = getattr(sig.get(), st[N::parameters]);
    Ref cls_param = mapping_get(st, parameters.get(), st[N::cls]);
    const bool has_cls = check(PyObject_IsTrue(cls_param.get())) != 0;
    Ref names = Ref::borrow(Py_None), required = Ref::borrow(Py_None);
    if (use_cache) {
        // Parameter kinds and defaults, read through inspect's own objects.
        Ref parameter_class = getattr(inspect.get(), "Parameter");
        Ref plain_kind = getattr(parameter_class.get(), "POSITIONAL_OR_KEYWORD");
        Ref empty = getattr(parameter_class.get(), "empty");
        Ref values = call(getattr(parameters.get(), "values").get());
        Ref list = check(PySequence_List(values.get()));
        const Py_ssize_t n = PyList_GET_SIZE(list.get());
        Ref name_tuple = check(PyTuple_New(n)), required_tuple = check(PyTuple_New(n));
        bool plain = true;
        for (Py_ssize_t i = 0; i < n && plain; ++i) {
            PyObject* p = PyList_GET_ITEM(list.get(), i);
            Ref kind = getattr(p, "kind");
            Ref name = getattr(p, "name");
            Ref fallback = getattr(p, "default");
            plain = kind.get() == plain_kind.get() && PyUnicode_CheckExact(name.get());
            PyTuple_SET_ITEM(name_tuple.get(), i, name.release());  // steals
            PyTuple_SET_ITEM(required_tuple.get(), i,
                             Ref::borrow(fallback.get() == empty.get() ? Py_True : Py_False).release());
        }
        if (plain) {
            names = std::move(name_tuple);
            required = std::move(required_tuple);
        }
        holder = check(PyTuple_Pack(7, key[0], key[1], key[2], sig.get(),
                                    has_cls ? Py_True : Py_False, names.get(), required.get()));
        check(PyList_SetItem(cache, 0, holder.copy().release()));  // steals
        return {PyTuple_GET_ITEM(holder.get(), 3), has_cls, PyTuple_GET_ITEM(holder.get(), 5),
                PyTuple_GET_ITEM(holder.get(), 6)};
    }
    holder = check(PyTuple_Pack(1, sig.get()));
    return {sig.get(), has_cls, Py_None, Py_None};
}

// The arguments of a call that binds without error to parameters that are all
// positional-or-keyword, in parameter order, as Signature.bind gives them:
// positional arguments first, then each remaining parameter's keyword
// argument. None (no exception) for any call that would not bind, which the
// caller then leaves to Signature.bind and its errors.
Ref bind_plain(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t n = PyTuple_GET_SIZE(b.names);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > n) return Ref();
    Ref arguments = check(PyDict_New());
    for (Py_ssize_t i = 0; i < nargs; ++i)
        check(PyDict_SetItem(arguments.get(), PyTuple_GET_ITEM(b.names, i), args[i]));
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(b.names, i);
        Py_ssize_t k = 0;
        while (k < nkw && PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, k), name) != 0) ++k;
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
        if (k < nkw) {
            check(PyDict_SetItem(arguments.get(), name, args[nargs + k]));
            ++used;
        } else if (PyTuple_GET_ITEM(b.required, i) == Py_True) {
            return Ref();  // missing: inspect's error
        }
    }
    if (used != nkw) return Ref();  // unknown or repeated names: inspect's error
    return arguments;
}

// dict(inspect.signature(func).bind(*args, **kwargs).arguments), with "cls"
// removed when the signature has such a parameter.
Ref bind_arguments(const State& st, FunctionObject* self, PyObject* func, PyObject* cache,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref holder;
    Binding b = binding_of(self, st, func, cache, holder);
    Ref arguments = b.names != Py_None ? bind_plain(b, args, nargs, kwnames) : Ref();
    if (!arguments) {
        Ref bind = getattr(b.signature, st[N::bind]);
        Ref bound = vectorcall(bind.get(), args, static_cast<size_t>(nargs), kwnames);
        arguments = call(reinterpret_cast<PyObject*>(&PyDict_Type),
                         {getattr(bound.get(), st[N::arguments]).get()});
    }
    if (b.has_cls) check(PyDict_DelItem(arguments.get(), st[N::cls]));
    return arguments;
}

// ---- grpc_service -----------------------------------------------------------

// Closure: (server, func, signature cache, timeout, what func is: True for
// a coroutine function, "generator" or "asyncgen" for a generator function
// or an asynchronous one (a streamed call), False otherwise, serialization
// code as given, idempotent, wait_for_ready). A code other than the default
// goes to the helper as `serialize`; idempotent and wait_for_ready go only
// when set.
Ref grpc_service_wrapper(FunctionObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    State& st = state_of(self);
    PyObject* server = closure_item(self, 0);
    PyObject* func = closure_item(self, 1);
    PyObject* timeout = closure_item(self, 3);
    // The code the calls send: the default (the registry entry's), or CBOR,
    // or for any other code what the decorator always sent, JSON's 3.
    PyObject* given = closure_item(self, 5);
    const bool coded = given != st.default_serialize.get();
    PyObject* serialize = !coded || is_cbor(given) ? given : st.json_code.get();
    PyObject* idempotent = closure_item(self, 6);
    PyObject* ready = closure_item(self, 7);
    const bool routed = idempotent != Py_False || ready != Py_None;
    Ref kwargs = bind_arguments(st, self, func, closure_item(self, 2), args, nargs, kwnames);

    Ref registry = global(self, N::grpc_client);
    Ref rpc_client = call(getattr(registry.get(), st[N::connect]).get(), {server});
    Ref helper = global(self, N::GrpcHelper);
    Ref clazz = getattr(func, st[N::dunder_module]);
    Ref method = getattr(func, st[N::dunder_qualname]);
    if (closure_item(self, 4) == Py_True) {
        // A stand-in written `async def`: the awaitable form of the call,
        // sorvane.aio.call_rpc_result, through the same GrpcHelper.
        Ref aio = aio_module(st);
        PyObject* stack[] = {rpc_client.get(), clazz.get(), method.get(), kwargs.get(), timeout,
                             helper.get(),     serialize,   idempotent,   ready};
        return vectorcall(attr(aio.get(), st[N::call_rpc_result]).get(), stack, 1,
                          st.kw_stand_in.get());
    }
    if (PyUnicode_Check(closure_item(self, 4))) {
        // A stand-in written as a generator: the streamed call's iterator
        // (sorvane.streaming.call_stream, or its asynchronous twin
        // sorvane.aio.call_stream), through the same GrpcHelper.
        const bool sync = PyUnicode_CompareWithASCIIString(closure_item(self, 4), "generator") == 0;
        Ref module = import(sync ? "sorvane.streaming" : "sorvane.aio");
        PyObject* stack[] = {rpc_client.get(), clazz.get(), method.get(), kwargs.get(), timeout,
                             helper.get(),     serialize,   idempotent,   ready};
        return vectorcall(getattr(module.get(), "call_stream").get(), stack, 1,
                          st.kw_stand_in.get());
    }
    Ref call_rpc_result = getattr(helper.get(), st[N::call_rpc_result]);
    if (routed) {
        Ref names = ::sorvane::support::kwnames({"clazz", "method", "args", "kwargs", "timeout",
                                                 "serialize", "idempotent", "wait_for_ready"});
        return call_kw(call_rpc_result.get(), {rpc_client.get()}, names.get(),
                       {clazz.get(), method.get(), st.empty_tuple.get(), kwargs.get(), timeout,
                        serialize, idempotent, ready});
    }
    if (coded) {
        Ref names = ::sorvane::support::kwnames({"clazz", "method", "args", "kwargs", "timeout", "serialize"});
        return call_kw(call_rpc_result.get(), {rpc_client.get()}, names.get(),
                       {clazz.get(), method.get(), st.empty_tuple.get(), kwargs.get(), timeout,
                        serialize});
    }
    if (timeout == Py_None)
        return call_kw(call_rpc_result.get(), {rpc_client.get()}, st.kw_call_rpc_result.get(),
                       {clazz.get(), method.get(), st.empty_tuple.get(), kwargs.get()});
    return call_kw(call_rpc_result.get(), {rpc_client.get()}, st.kw_call_rpc_result_timeout.get(),
                   {clazz.get(), method.get(), st.empty_tuple.get(), kwargs.get(), timeout});
}
const FunctionDef grpc_service_wrapper_def = {
    "wrapper", "grpc_service.<locals>.decorator.<locals>.wrapper", nullptr, {"*args", "**kwargs"},
    nullptr, grpc_service_wrapper};

// Closure: (server, timeout, serialize, idempotent, wait_for_ready).
// Returns functools.wraps(func)(wrapper).
Ref grpc_service_decorator(FunctionObject* self, PyObject* const* argv) {
    const State& st = state_of(self);
    PyObject* func = argv[0];
    Ref functools = global(self, N::functools);
    Ref wraps = call(getattr(functools.get(), st[N::wraps]).get(), {func});
    Ref cache = check(PyList_New(1));
    PyList_SET_ITEM(cache.get(), 0, Ref::borrow(Py_None).release());  // steals
    Ref inspect = global(self, N::inspect);
    Ref is_coroutine = call(getattr(inspect.get(), "iscoroutinefunction").get(), {func});
    const bool coroutine = check(PyObject_IsTrue(is_coroutine.get())) != 0;
    Ref kind = Ref::borrow(coroutine ? Py_True : Py_False);
    for (const char* test : {"isgeneratorfunction", "isasyncgenfunction"}) {
        if (coroutine) break;
        Ref is = call(getattr(inspect.get(), test).get(), {func});
        if (check(PyObject_IsTrue(is.get())))
            kind = str(test[2] == 'g' ? "generator" : "asyncgen");
    }
    Ref closure = check(PyTuple_Pack(8, closure_item(self, 0), func, cache.get(),
                                     closure_item(self, 1), kind.get(), closure_item(self, 2),
                                     closure_item(self, 3), closure_item(self, 4)));
    Ref wrapper = make_function(self->module, grpc_service_wrapper_def, nullptr, closure.get());
    if (coroutine) {
        // A coroutine function itself (inspect.iscoroutinefunction says so),
        // awaiting the wrapper's call.
        Ref aio = import("sorvane.aio");
        return call(getattr(aio.get(), "_coroutine_function").get(), {wrapper.get(), func});
    }
    return call(wraps.get(), {wrapper.get()});
}
const FunctionDef grpc_service_decorator_def = {
    "decorator", "grpc_service.<locals>.decorator", nullptr, {"func"}, grpc_service_decorator,
    nullptr};

// `serialize`: CBOR's code makes every call CBOR, the default leaves the
// codec to the registry entry (else JSON), any other code sends JSON's 3 as
// the decorator always did; `timeout` (seconds, None: the server's default, else no limit)
// bounds every call; `idempotent` marks every call safe to repeat (the
// registry entry's retry policy applies) and `wait_for_ready` (None: the
// entry's) makes calls wait for a server rather than fail while none is ready.
Ref grpc_service(FunctionObject* self, PyObject* const* argv) {
    PyObject* idempotent = check(PyObject_IsTrue(argv[3])) ? Py_True : Py_False;
    if (argv[4] != Py_None && !PyBool_Check(argv[4]))
        raise_format(PyExc_TypeError, "wait_for_ready must be True, False or None, not %.100s",
                     Py_TYPE(argv[4])->tp_name);
    Ref closure = check(PyTuple_Pack(5, argv[0], argv[2], argv[1], idempotent, argv[4]));
    return make_function(self->module, grpc_service_decorator_def, nullptr, closure.get());
}
const FunctionDef grpc_service_def = {
    "grpc_service", nullptr, kGrpcServiceDoc,
    {"server", "serialize", "*", "timeout", "idempotent", "wait_for_ready"},
    grpc_service, nullptr};

}  // namespace

void define_grpc_service(PyObject* m) {
    Ref grpc_service_defaults =
        defaults({state(m).default_serialize.get(), Py_None, Py_False, Py_None});
    Ref f = make_function(m, grpc_service_def, grpc_service_defaults.get());
    bind(m, "grpc_service", f.get());
}

}  // namespace sorvane::corvex
