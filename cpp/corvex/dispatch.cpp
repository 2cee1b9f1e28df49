// CommonService: the dispatcher behind /common.CommonService/handle.
//
// handle() decodes the call description, maps "clazz" through the instance's
// clazz_handler, imports the module, folds attribute look-ups along "method",
// calls the target and answers with the result envelope. Only the call of the
// target is guarded; any other failure leaves handle, and gRPC ends the RPC
// with UNKNOWN, except that an exception gRPC could not report leaves an RPC
// as a RuntimeError (make_reportable).
//
// Module-level names (json, importlib, sys, traceback, marvetta) are looked up
// at every call. The shortcut past import_module is taken only while importlib
// and its import_module are the objects bound at import (the `importer` guard).
//
// While the target runs, the incoming call's deadline is visible to the
// sorvane calls it makes (sorvane.deadline); a service with a `_metrics`
// recorder in its own dict is told of every call and how it ended.
//
// A call whose CommonRequest.serialize is the CBOR code is decoded and
// answered in CBOR (cbor.cpp); its reply's trailing metadata names the codes
// this server knows, and a description that cannot be decoded ends it with
// INVALID_ARGUMENT (sorvane.codec._undecodable). Every other code is JSON.
//
// A target whose result is awaited ends its call in awaited.cpp, a streamed
// call runs these steps from stream.cpp; dispatch.hpp holds what they share
// (Outcome, MetricsScope, end_call).
//
// Contents: the file-local steps (cached_module .. call_guarded, DeadlineScope),
// then what awaited.cpp and stream.cpp use too (new_envelope .. dispatch,
// make_reportable), handle_request and define_CommonService.
#include "dispatch.hpp"

#include <cstring>

namespace sorvane::corvex {
namespace {

// The module `name` straight from sys.modules when import_module would return
// it without further work: a non-empty, non-relative str naming a module that
// has finished initialising. Empty otherwise, with no exception set; the caller
// then asks import_module, which also waits for a module that another thread
// is still initialising. importlib.import_module's Python layers cost about a
// third of the dispatch target of bench/bench_dispatch.py (<= 3 us over the
// direct call), hence this shortcut.
Ref cached_module(const State& st, PyObject* name) {
    Ref module;
    if (PyUnicode_CheckExact(name) && PyUnicode_GetLength(name) > 0 &&
        PyUnicode_ReadChar(name, 0) != '.') {
        PyObject* modules = PyDict_GetItemWithError(st.sys_dict.get(), st[N::modules]);
        PyObject* found = modules && PyDict_CheckExact(modules)  // sys.modules[name]
                              ? PyDict_GetItemWithError(modules, name)
                              : nullptr;
        if (found && PyModule_CheckExact(found)) module = Ref::borrow(found);
    }
    // The module's __spec__, read from its namespace rather than through
    // getattr, so that a module-level __getattr__ never runs twice when we fall back.
    PyObject* info =
        module ? PyDict_GetItemWithError(PyModule_GetDict(module.get()), st[N::dunder_spec]) : nullptr;
    bool ready = info == Py_None;
    if (info && !ready) {
        Ref holder = Ref::borrow(info);
        Ref initializing = Ref::steal(PyObject_GetAttr(info, st[N::initializing]));
        ready = initializing ? PyObject_IsTrue(initializing.get()) == 0
                             : PyErr_ExceptionMatches(PyExc_AttributeError);
    }
    PyErr_Clear();
    return ready ? std::move(module) : Ref();
}

// self.clazz_handler(clazz). Skipped when it is sure to be the class's own
// default, which returns its argument: `service` is exactly a CommonService
// with ordinary attribute lookup, the class still holds the class method it
// was created with, and the instance has no clazz_handler of its own.
Ref map_clazz(const State& st, PyObject* service, PyObject* clazz) {
    auto* cls = reinterpret_cast<PyTypeObject*>(st.service_class.get());
    if (Py_TYPE(service) == cls && cls->tp_getattro == PyObject_GenericGetAttr &&
        dict_get(compat::type_dict(cls).get(), st[N::clazz_handler]) ==
            st.default_clazz_handler.get()) {
        Ref own = check(PyObject_GenericGetDict(service, nullptr));
        if (!dict_get(own.get(), st[N::clazz_handler])) return Ref::borrow(clazz);
    }
    Ref handler = getattr(service, st[N::clazz_handler]);
    return call(handler.get(), {clazz});
}

// Step 12: marvetta.CommonResponse(response=body, status=status). On the
// wire path the serialized response instead, while that class is still the
// one imported (the engine's serializer is its SerializeToString) and the
// fields are what the message can hold.
Ref respond(FunctionObject* self, const State& st, Request& request, Ref body,
            PyObject* status) {
    if (request.wire() && (PyBytes_CheckExact(body.get()) || is_parts(body.get())) &&
        PyLong_CheckExact(status)) {
        Ref marvetta = global(self, N::marvetta);
        Ref response_class = attr(marvetta.get(), st[N::CommonResponse]);
        const long code = PyLong_AsLong(status);
        if (PyErr_Occurred()) {
            PyErr_Clear();  // out of range: the message class says so, below
        } else if (response_class.get() == st.response_class.get() && code >= -2147483647L - 1 &&
                   code <= 2147483647L) {
            request.reply_status = code;
            request.reply_size = parts_size(body.get());
            request.reply = wire_response(code, std::move(body), &request.reply_at);
            return request.reply.copy();
        }
    }
    body = flatten(body.get());
    return new_response(self, st, body.get(), status);
}

// Steps 1 and 2 in CBOR: the description decoded from the request's bytes;
// undecodable input ends the call (INVALID_ARGUMENT) through `context`.
Ref cbor_description(const State& st, Request& request, PyObject* context) {
    if (context != Py_None)
        call(getattr(context, "set_trailing_metadata").get(), {st.codecs_metadata.get()});
    try {
        const char* data;
        Py_ssize_t size;
        PyObject* holder;
        if (request.body_view(&data, &size, &holder)) return cbor_loads_view(st, holder, data, size);
        Ref body = request.body(st);
        return cbor_loads(st, body.get());
    } catch (const PyErrAlreadySet&) {
        if (!PyErr_ExceptionMatches(st.codec_error.get())) throw;
    }
    Ref error = take_raised();
    Ref codec = import("sorvane.codec");
    call(getattr(codec.get(), "_undecodable").get(), {context, request.object(st), error.get()});
    raise(PyExc_SystemError, "_undecodable returned instead of raising");
}

// importlib.import_module(name)
Ref import_target(FunctionObject* self, const State& st, PyObject* name) {
    Ref importlib = global(self, N::importlib);
    Ref import_module = attr(importlib.get(), st[N::import_module]);
    if (st.importer.holds(globals_of(self)))
        if (Ref module = cached_module(st, name)) return module;
    return call(import_module.get(), {name});
}

// getattr(x, y), worded as the builtin words a name that is not a str.
Ref attribute(PyObject* x, PyObject* y) {
    if (PyUnicode_Check(y)) return attr(x, y);
    Ref builtins = import("builtins");
    return call(getattr(builtins.get(), "getattr").get(), {x, y});
}

// functools.reduce(lambda x, y: getattr(x, y), [module] + method.split("."))
Ref resolve(const State& st, PyObject* module, PyObject* method) {
    Ref segments = PyUnicode_CheckExact(method)
                       ? check(PyUnicode_Split(method, st.dot.get(), -1))
                       : call(getattr(method, st[N::split]).get(), {st.dot.get()});
    Ref x = Ref::borrow(module);
    if (PyList_CheckExact(segments.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(segments.get()); ++i) {
            Ref y = Ref::borrow(PyList_GET_ITEM(segments.get(), i));
            x = attribute(x.get(), y.get());
        }
        return x;
    }
    Ref head = check(PyList_New(1));
    PyList_SET_ITEM(head.get(), 0, x.release());  // steals
    Ref path = check(PyNumber_Add(head.get(), segments.get()));
    Ref it = check(PyObject_GetIter(path.get()));
    Ref acc = Ref::steal(PyIter_Next(it.get()));
    if (!acc) {
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
        raise(PyExc_TypeError, "reduce() of empty sequence with no initial value");
    }
    while (Ref y = Ref::steal(PyIter_Next(it.get()))) acc = attribute(acc.get(), y.get());
    if (PyErr_Occurred()) throw PyErrAlreadySet{};
    return acc;
}

// invoke(*tuple(args), **dict(kwargs)); keyword names that are not str are
// refused by the callee, in its own words. A mapping of str names goes to the
// callee as a vector of values with a tuple of names (the callee copies what it
// keeps, so the copy dict() would make is not observable).
Ref call_spread(PyObject* invoke, PyObject* args, PyObject* kwargs) {
    constexpr Py_ssize_t kStack = 16;
    Ref positional = check(PySequence_Tuple(args));
    const Py_ssize_t nargs = PyTuple_GET_SIZE(positional.get());
    PyObject* const* items = &PyTuple_GET_ITEM(positional.get(), 0);
    if (PyDict_CheckExact(kwargs)) {
        const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
        if (nkw == 0) return vectorcall(invoke, items, static_cast<size_t>(nargs), nullptr);
        if (nargs + nkw <= kStack) {
            PyObject* stack[kStack];
            Ref values[kStack];
            Ref names = check(PyTuple_New(nkw));
            Py_ssize_t pos = 0, i = 0;
            PyObject *key, *value;
            bool all_str = true;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!PyUnicode_CheckExact(key) || i == nkw) {
                    all_str = false;
                    break;
                }
                PyTuple_SET_ITEM(names.get(), i, Ref::borrow(key).release());  // steals
                values[i] = Ref::borrow(value);
                ++i;
            }
            if (all_str && i == nkw) {
                for (Py_ssize_t k = 0; k < nargs; ++k) stack[k] = items[k];
                for (Py_ssize_t k = 0; k < nkw; ++k) stack[nargs + k] = values[k].get();
                return vectorcall(invoke, stack, static_cast<size_t>(nargs), names.get());
            }
        }
    }
    Ref keywords = PyDict_CheckExact(kwargs)
                       ? check(PyDict_Copy(kwargs))
                       : call(reinterpret_cast<PyObject*>(&PyDict_Type), {kwargs});
    return check(PyObject_Call(invoke, positional.get(), keywords.get()));
}

// exc_type, exc_value, exc_tb = triple
void unpack3(PyObject* triple, Ref (&out)[3]) {
    if (PyTuple_CheckExact(triple) && PyTuple_GET_SIZE(triple) == 3) {
        for (Py_ssize_t i = 0; i < 3; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(triple, i));
        return;
    }
    if (!Py_TYPE(triple)->tp_iter && !PySequence_Check(triple))
        raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(triple)->tp_name);
    Ref it = check(PyObject_GetIter(triple));
    for (int i = 0; i < 3; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) throw PyErrAlreadySet{};
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(it.get())))
        raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    if (PyErr_Occurred()) throw PyErrAlreadySet{};
}

// Step 10 and its handler:
//     try:
//         response["result"] = invoke(*args, **kwargs)
//     except Exception as e:
//         exc_type, exc_value, exc_tb = sys.exc_info()
//         traceback.print_exception(exc_type, exc_value, exc_tb)
//         response["status"] = -1
//         response["message"] = str(e)
//         response["excType"] = exc_type.__name__
// Returns the result when the call succeeded, none when the target raised.
Ref call_guarded(FunctionObject* self, const State& st, PyObject* envelope,
                 PyObject* invoke, PyObject* args, PyObject* kwargs) {
    try {
        Ref result = call_spread(invoke, args, kwargs);
        check(PyDict_SetItem(envelope, st[N::result], result.get()));
        return result;
    } catch (...) {
        translate_current_exception();
    }
    record_failure(self, st, envelope);
    return Ref();
}

// Whether the target's result is to be awaited: a coroutine, or anything
// with __await__ (an asyncio future, a task).
bool awaitable(PyObject* result) {
    if (PyCoro_CheckExact(result)) return true;
    PyAsyncMethods* as_async = Py_TYPE(result)->tp_as_async;
    return as_async && as_async->am_await;
}

// Whether a streamed call's target result is one to stream: an iterator, or
// an asynchronous one (an async generator's).
bool streams(PyObject* result) {
    if (PyIter_Check(result)) return true;
    PyAsyncMethods* as_async = Py_TYPE(result)->tp_as_async;
    return as_async && as_async->am_anext;
}

// While the target runs, the deadline of the call being served (a
// time.monotonic() value) is the value of sorvane.deadline's context
// variable, so the sorvane calls the target makes get the time left.
class DeadlineScope {
public:
    DeadlineScope(const State& st, PyObject* context) : var_(st.deadline.get()) {
        if (context == Py_None) return;
        Ref method = Ref::steal(PyObject_GetAttr(context, st[N::time_remaining]));
        Ref left = method ? Ref::steal(PyObject_CallObject(method.get(), nullptr)) : Ref();
        const double seconds = left && left.get() != Py_None ? PyFloat_AsDouble(left.get()) : -1.0;
        PyErr_Clear();  // a context that cannot tell gives no deadline
        // No deadline: grpcio's context then answers a huge number.
        if (!(seconds >= 0.0 && seconds < 1e8)) return;
        Ref now = call(st.monotonic.get());
        at_ = check(PyFloat_FromDouble(PyFloat_AsDouble(now.get()) + seconds));
        token_ = check(PyContextVar_Set(var_, at_.get()));
    }
    // The deadline set (a time.monotonic() value), or None.
    Ref at() const { return at_ ? at_.copy() : Ref::borrow(Py_None); }
    ~DeadlineScope() {
        if (!token_) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (PyContextVar_Reset(var_, token_.get()) < 0) PyErr_WriteUnraisable(var_);
        PyErr_Restore(type, value, tb);
    }

private:
    PyObject* var_;
    Ref at_;
    Ref token_;
};

// The simple name of an exception's type, as type(e).__name__ gives it for the
// built-in ones.
const char* type_name(PyObject* e) noexcept {
    const char* name = Py_TYPE(e)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

// Whether gRPC can send `text` as status details (it encodes them as UTF-8).
bool sendable(PyObject* text) {
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(text));
    if (utf8) return true;
    PyErr_Clear();
    return false;
}

Ref CommonService_handle(FunctionObject* self, PyObject* const* argv) {
    Request request(argv[1]);
    return handle_request(self, argv[0], request, argv[2]);
}

Ref CommonService_clazz_handler(FunctionObject*, PyObject* const* argv) {
    return Ref::borrow(argv[1]);  // argv[0] is cls
}
const FunctionDef CommonService_clazz_handler_def = {
    "clazz_handler", "CommonService.clazz_handler", nullptr, {"cls", "clazz"},
    CommonService_clazz_handler, nullptr};

}  // namespace

// ---- shared with awaited.cpp and stream.cpp -----------------------------------

// {"status": 0, "message": "", "excType": "", "result": {"status": "", "msg": "", "data": ""}},
// both mappings new, copied from templates that no caller ever sees.
Ref new_envelope(const State& st) {
    Ref placeholder = check(PyDict_Copy(st.placeholder.get()));
    Ref envelope = check(PyDict_Copy(st.envelope.get()));
    check(PyDict_SetItem(envelope.get(), st[N::result], placeholder.get()));
    return envelope;
}

// marvetta.CommonResponse(response=body, status=status). The message class as
// imported gets the same two fields set in the same order on a new message,
// which skips building a keyword mapping for it.
Ref new_response(FunctionObject* self, const State& st, PyObject* body, PyObject* status) {
    Ref marvetta = global(self, N::marvetta);
    Ref response_class = attr(marvetta.get(), st[N::CommonResponse]);
    if (response_class.get() != st.response_class.get())
        return call_kw(response_class.get(), {}, st.kw_response_status.get(), {body, status});
    Ref response = call(response_class.get());
    setattr(response.get(), st[N::response], body);
    setattr(response.get(), st[N::status], status);
    return response;
}

// The body of a reply: the envelope in the codec of the request.
Ref encode_envelope(FunctionObject* self, PyObject* envelope, PyObject* result, bool cbor) {
    return cbor ? cbor_dumps(envelope) : json_dumps_envelope(self, envelope, result);
}

// The handler of step 10, with the target's exception set: an Exception goes
// into the envelope (and its traceback to stderr); anything else is thrown on.
void record_failure(FunctionObject* self, const State& st, PyObject* envelope) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrAlreadySet{};
    HandledException handled;
    Ref sys = global(self, N::sys);
    Ref triple = call(attr(sys.get(), st[N::exc_info]).get());
    Ref exc[3];
    unpack3(triple.get(), exc);
    Ref traceback = global(self, N::traceback);
    call(attr(traceback.get(), st[N::print_exception]).get(),
         {exc[0].get(), exc[1].get(), exc[2].get()});
    check(PyDict_SetItem(envelope, st[N::status], st.minus_one.get()));
    Ref message = check(PyObject_Str(handled.value()));
    check(PyDict_SetItem(envelope, st[N::message], message.get()));
    Ref type_name = getattr(exc[0].get(), st[N::dunder_name]);
    check(PyDict_SetItem(envelope, st[N::excType], type_name.get()));
}

// The twelve steps of handle(self, request, context). A guarded service (one
// with an `_exposure` table) checks the module name before step 6 and resolves
// step 8 through the exposure check; its refusals end the RPC through
// `context`, which the dispatcher uses for nothing else.
// With `streamed`, the call is a streamed one: a target that returns an
// iterator leaves it in *streamed (the call is then `pending`, nothing is
// encoded); any other result is a TypeError in the envelope.
Ref dispatch(FunctionObject* self, PyObject* service, Request& request, PyObject* context,
             MetricsScope& metrics, Outcome& out, Ref* streamed) {
    const State& st = state_of(self);
    const bool cbor = request.cbor(st);
    Ref grpc_request;
    if (cbor) {
        grpc_request = cbor_description(st, request, context);
    } else {
        const char* data;                                                 // 1
        Py_ssize_t size;
        PyObject* holder;
        if (request.body_view(&data, &size, &holder)) {
            grpc_request = json_loads_view(self, data, size);             // 2
        } else {
            Ref body = request.body(st);
            grpc_request = json_loads_body(self, body.get());
        }
    }
    Ref envelope = new_envelope(st);                                      // 3
    Ref clazz = mapping_get(st, grpc_request.get(), st[N::clazz], true);  // 4
    Ref target = map_clazz(st, service, clazz.get());                     // 5
    Ref exposure = own_entry(service, st[N::exposure]);
    if (exposure && !PyDict_Check(exposure.get())) exposure.reset();
    if (exposure)
        if (Ref reason = module_refusal(exposure.get(), target.get())) {
            out.kind = N::refused;
            refuse(service, context, request.object(st), reason.get(),
                   module_told(clazz.get()).get());
        }
    Ref module = import_target(self, st, target.get());                   // 6
    Ref method = mapping_get(st, grpc_request.get(), st[N::method], true);  // 7
    Ref invoke;                                                           // 8
    if (!exposure) {
        invoke = resolve(st, module.get(), method.get());
    } else if (Ref reason = path_refusal(exposure.get(), target.get(), module.get(), method.get(),
                                         invoke)) {
        out.kind = N::refused;
        refuse(service, context, request.object(st), reason.get(),
               path_told(clazz.get(), method.get()).get());
    }
    if (PyUnicode_CheckExact(target.get()) && PyUnicode_CheckExact(method.get())) {
        out.module = target.copy();  // labels only from names that are text
        out.method = method.copy();
    }
    Ref args = mapping_get(st, grpc_request.get(), st[N::args], true);    // 9
    if (!check(PyObject_IsTrue(args.get()))) args = st.empty_tuple.copy();
    Ref kwargs = mapping_get(st, grpc_request.get(), st[N::kwargs], true);
    if (!check(PyObject_IsTrue(kwargs.get()))) kwargs = check(PyDict_New());
    Ref result;
    Ref deadline_at;
    {
        DeadlineScope deadline(st, context);
        result = call_guarded(self, st, envelope.get(), invoke.get(), args.get(), kwargs.get());  // 10
        deadline_at = deadline.at();
    }
    if (streamed) {
        if (result && streams(result.get())) {
            *streamed = std::move(result);
            out.pending = true;  // its end records it
            return Ref::borrow(Py_None);
        }
        if (result) {
            PyErr_Format(PyExc_TypeError,
                         "a streamed call needs an iterator from its target, not %.100s",
                         Py_TYPE(result.get())->tp_name);
            result.reset();
            Ref placeholder = check(PyDict_Copy(st.placeholder.get()));
            check(PyDict_SetItem(envelope.get(), st[N::result], placeholder.get()));
            record_failure(self, st, envelope.get());
        }
    } else if (result && awaitable(result.get())) {
        return await_target(self, service, context, envelope.get(), result.get(),
                            deadline_at.get(), metrics, out, cbor);
    }
    // 11 (on the wire path, a large bytes value is sent as it is, uncopied)
    Ref body = cbor && request.wire() ? cbor_dumps_parts(envelope.get())
                                      : encode_envelope(self, envelope.get(), result.get(), cbor);
    PyObject* status = check_borrowed(PyDict_GetItemWithError(envelope.get(), st[N::status]));
    out.kind = status == st.zero.get() ? N::ok : N::raised;
    return respond(self, st, request, std::move(body), status);           // 12
}

// Called while an exception leaves handle during an RPC (a context is given).
// gRPC's worker answers the call (UNKNOWN, "Exception calling application: " +
// str(e)) only for an Exception whose text it can encode; for anything else
// (SystemExit, KeyboardInterrupt, a direct BaseException subclass, a text
// with a lone surrogate) it never answers, and the caller would wait forever.
// Such an exception is replaced by a RuntimeError, "call ended by <type>[:
// <text>]" outside the Exception category, "call failed with <type>: <text>"
// otherwise, the text backslash-escaped. It is raised from the original, as
//     raise RuntimeError(...) from e
// would, unless the original's text cannot be encoded: then it carries only
// the original's traceback, since printing the original (which gRPC does when
// it logs the failure) may itself fail on such a text.
void make_reportable() {
    const bool ordinary = PyErr_ExceptionMatches(PyExc_Exception);
    Ref e = take_raised();
    Ref text = Ref::steal(PyObject_Str(e.get()));
    if (!text) PyErr_Clear();  // gRPC reports an unprintable exception itself
    const bool encodable = !text || sendable(text.get());
    if (ordinary && encodable) return raise_again(std::move(e));
    Ref escaped;
    if (text && PyUnicode_GetLength(text.get()) > 0)
        escaped = check(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
    Ref message =
        ordinary ? check(PyUnicode_FromFormat("call failed with %s: %s", type_name(e.get()),
                                              PyBytes_AS_STRING(escaped.get())))
        : escaped ? check(PyUnicode_FromFormat("call ended by %s: %s", type_name(e.get()),
                                               PyBytes_AS_STRING(escaped.get())))
                  : check(PyUnicode_FromFormat("call ended by %s", type_name(e.get())));
    Ref error = call(PyExc_RuntimeError, {message.get()});
    if (encodable) {
        PyException_SetContext(error.get(), Ref::borrow(e.get()).release());  // steals
        PyException_SetCause(error.get(), e.release());                       // steals
    } else if (Ref tb = Ref::steal(PyException_GetTraceback(e.get()))) {
        check(PyException_SetTraceback(error.get(), tb.get()));
    }
    raise_again(std::move(error));
}

Ref handle_request(FunctionObject* handle, PyObject* service, Request& request,
                   PyObject* context) {
    Outcome out;
    MetricsScope metrics(state_of(handle), service);
    return end_call(metrics, out, context != Py_None, [&] {
        return dispatch(handle, service, request, context, metrics, out);
    });
}

const FunctionDef CommonService_handle_def = {
    "handle", "CommonService.handle", nullptr, {"self", "request", "context"},
    CommonService_handle, nullptr};

// class CommonService(brindlow.CommonServiceServicer):
//     clazz_handler = classmethod(...)
//     handle = rpc_log(handle)
void define_CommonService(PyObject* m) {
    State& st = state(m);
    PyObject* globals = PyModule_GetDict(m);
    Ref brindlow = lookup_global(globals, st[N::brindlow]);
    Ref base = getattr(brindlow.get(), st[N::CommonServiceServicer]);
    Ref bases = check(PyTuple_Pack(1, base.get()));
    Member clazz_handler = class_method(m, CommonService_clazz_handler_def);
    Ref plain_handle = make_function(m, CommonService_handle_def);
    Ref rpc_log = lookup_global(globals, st[N::rpc_log]);
    Member handle{"handle", call(rpc_log.get(), {plain_handle.get()})};
    Ref cls = make_class(m, "CommonService", bases.get(), nullptr, std::move(clazz_handler),
                         std::move(handle));
    bind(m, "CommonService", cls.get());
    // Kept to recognise the default clazz handler (see map_clazz).
    Ref cls_ns = type_dict(cls.get());
    st.default_clazz_handler =
        Ref::borrow(check_borrowed(PyDict_GetItemWithError(cls_ns.get(), st[N::clazz_handler])));
    st.service_class = std::move(cls);
    define_stream_functions(m);
}

}  // namespace sorvane::corvex
