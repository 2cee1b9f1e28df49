// rpc_log: the call-logging decorator.
//
// The wrapper calls the wrapped handler, timed by the module-level `time`, and
// then writes one DEBUG record on the module-level `rpc_logger`: the host's
// str() of {"type", "request_id", "function", ["status",] "process_time",
// "response"}, short form when the protobuf JSON rendering of the response is
// at most 4096 characters, long form (no "status", the text cut) otherwise.
//
// Two roads to the same text. The general one calls the host's objects as they
// are bound in the module namespace (inspect, json_format, json), for any
// function and any response. The native one serves the dispatcher's own handle
// returning an exact CommonResponse for an exact CommonRequest while inspect,
// json_format and json are still the objects bound at import (the `record`
// guard): it renders the record itself, with the host's repr and binascii for
// the pieces, and builds nothing at all when rpc_logger is a plain Logger that
// drops DEBUG records (nothing on that road can fail, so skipping the record
// is unobservable). json_format.MessageToJson and json.loads in Python cost
// more than the DEBUG target of bench/bench_dispatch.py allows (<= 8 us over
// the direct call with a discarding handler), hence this road. On the general
// road every step runs, so its failures surface whatever the logger's level.
//
// The wrapper catches nothing: what the handler raises leaves it unchanged.
#include "corvex.hpp"

#include <algorithm>
#include <string>

namespace sorvane::corvex {
namespace {

constexpr Py_ssize_t kCut = 4096;  // longest response text logged in full
// Bytes of a response whose base64 covers any record's text (a multiple of 3).
constexpr Py_ssize_t kShownBytes = kCut / 4 * 3;

// time.time()
Ref wall_clock(FunctionObject* self, const State& st) {
    Ref time = global(self, N::time);
    return call(attr(time.get(), st[N::time]).get());
}

// ---- the native record --------------------------------------------------------

// The fields of a CommonResponse as json_format.MessageToJson renders them
// with preserving_proto_field_name=True: fields at their default left out, the
// rest in field-number order, one per line indented by two, bytes as base64.
struct ResponseFields {
    long status;
    Py_ssize_t size;     // of the bytes field
    const char* base64;  // its base64 text, by the host's binascii: all of it, or of
    Py_ssize_t shown;    // its first kShownBytes bytes when the record shows only a start
    Py_ssize_t base64_size;  // of all of it

    // len(json()), without rendering it.
    Py_ssize_t json_length() const {
        if (status == 0 && size == 0) return 2;  // {}
        return 4 + (status ? 12 + static_cast<Py_ssize_t>(std::to_string(status).size()) : 0) +
               (size ? 16 + base64_size : 0) + (status && size ? 2 : 0);  // {\n, \n}; ,\n
    }
    std::string json() const {
        if (status == 0 && size == 0) return "{}";
        std::string out = "{\n";
        if (status != 0) out += "  \"status\": " + std::to_string(status);
        if (size != 0) {
            if (status != 0) out += ",\n";
            out += "  \"response\": \"";
            out.append(base64, static_cast<size_t>(shown));
            out += '"';
        }
        out += "\n}";
        return out;
    }
    // repr(json.loads(json())): the short form's "response" entry.
    std::string parsed_repr() const {
        std::string out = "{";
        if (status != 0) out += "'status': " + std::to_string(status);
        if (size != 0) {
            if (status != 0) out += ", ";
            out += "'response': '";
            out.append(base64, static_cast<size_t>(shown));
            out += '\'';
        }
        out += '}';
        return out;
    }
};

void append_repr(std::string& out, PyObject* o) {
    Ref r = check(PyObject_Repr(o));
    append_utf8(out, r.get());
}

// repr(module + "." + name), both exact str; the last one is kept.
void append_function_repr(std::string& out, State& st, PyObject* module, PyObject* name) {
    PyObject* kept = st.record_function.get();
    if (!kept || PyTuple_GET_ITEM(kept, 0) != module || PyTuple_GET_ITEM(kept, 1) != name) {
        Ref function = check(PyUnicode_Concat(module, st.dot.get()));
        function = check(PyUnicode_Concat(function.get(), name));
        Ref text = check(PyObject_Repr(function.get()));
        st.record_function = check(PyTuple_Pack(3, module, name, text.get()));
        kept = st.record_function.get();
    }
    append_utf8(out, PyTuple_GET_ITEM(kept, 2));
}

// repr("{:.6f}s".format(elapsed))
void append_process_time(std::string& out, const State& st, PyObject* elapsed) {
    if (PyFloat_CheckExact(elapsed)) {
        // Digits, sign and point only (or inf/nan): the repr is the text quoted.
        char* digits = PyOS_double_to_string(PyFloat_AS_DOUBLE(elapsed), 'f', 6, 0, nullptr);
        if (!digits) throw PyErrAlreadySet{};
        out += '\'';
        out += digits;
        out += "s'";
        PyMem_Free(digits);
        return;
    }
    Ref text = check(PyObject_Format(elapsed, st.spec_6f.get()));
    text = check(PyUnicode_Concat(text.get(), st.suffix_s.get()));
    append_repr(out, text.get());
}

// The record's text, rendered natively for the dispatcher's own handle, of
// the response's fields and the request's request_id.
Ref render_fields(State& st, FunctionObject* handle, long status, PyObject* body,
                  PyObject* request_id, PyObject* elapsed, Py_ssize_t size = -1) {
    // `size`: the whole response's length when `body` holds only its start.
    ResponseFields fields{status, size >= 0 ? size : PyObject_Size(body), "", 0, 0};
    if (fields.size < 0) throw PyErrAlreadySet{};
    Ref base64;
    if (fields.size) {
        // A record shows at most kCut characters of a long response's text:
        // the base64 of its first bytes is that text's start (whole groups
        // of three bytes), and the length of the whole is counted.
        Ref part = fields.size > kShownBytes ? check(PySequence_GetSlice(body, 0, kShownBytes))
                                             : Ref::borrow(body);
        PyObject* argv[] = {part.get(), Py_False};
        base64 = vectorcall(st.b2a_base64.get(), argv, 1, st.kw_newline.get());
        char* text;
        check(PyBytes_AsStringAndSize(base64.get(), &text, &fields.shown));
        fields.base64 = text;
        fields.base64_size = (fields.size + 2) / 3 * 4;
    }

    const bool long_form = fields.json_length() > kCut;
    std::string out;
    out.reserve(static_cast<size_t>(160 + (long_form ? kCut : fields.base64_size)));
    out += "{'type': 'rpc_log', 'request_id': ";
    append_repr(out, request_id);
    out += ", 'function': ";
    append_function_repr(out, st, handle->modname, handle->name);
    if (!long_form) out += ", 'status': " + std::to_string(fields.status);
    out += ", 'process_time': ";
    append_process_time(out, st, elapsed);
    out += ", 'response': ";
    if (long_form) {
        // repr of the first 4096 characters and "...": the text is ASCII with
        // double quotes and no single quote or backslash, so only the line
        // breaks need escaping.
        std::string json = fields.json();
        json.resize(kCut);
        out += '\'';
        for (char c : json) {
            if (c == '\n')
                out += "\\n";
            else
                out += c;
        }
        out += "...'";
    } else {
        out += fields.parsed_repr();
    }
    out += '}';
    return check(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict"));
}

// The same of a CommonResponse and a CommonRequest.
Ref render_record(State& st, FunctionObject* handle, PyObject* request,
                  PyObject* response, PyObject* elapsed) {
    Ref status = getattr(response, st[N::status]);
    Ref body = getattr(response, st[N::response]);
    const long code = PyLong_AsLong(status.get());
    if (code == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
    Ref request_id = getattr(request, st[N::request_id]);
    return render_fields(st, handle, code, body.get(), request_id.get(), elapsed);
}

// Whether the record of a call of `func` through the wrapper `self` can be
// rendered natively (see the file header), the types of its request and
// response apart.
bool native_record_handle(FunctionObject* self, const State& st, PyObject* func) {
    if (!is_function(func)) return false;
    auto* f = reinterpret_cast<FunctionObject*>(func);
    // Anything in its __dict__ (__wrapped__, __signature__, ...) may change
    // what inspect.signature reports; a new __name__ or __module__ must be a str.
    if (f->def != &CommonService_handle_def || f->module != self->module) return false;
    if ((f->dict && PyDict_GET_SIZE(f->dict) != 0) || !PyUnicode_CheckExact(f->name) ||
        !PyUnicode_CheckExact(f->modname))
        return false;
    return st.record.holds(globals_of(self));
}

// The request argument of a call of the dispatcher's own handle when its record
// can be rendered natively; nullptr otherwise.
PyObject* native_record_request(FunctionObject* self, const State& st, PyObject* func,
                                PyObject* response, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    if (!is_function(func) || reinterpret_cast<FunctionObject*>(func)->def != &CommonService_handle_def)
        return nullptr;
    if (Py_TYPE(response) != reinterpret_cast<PyTypeObject*>(st.response_class.get()))
        return nullptr;
    // The call succeeded, so the arguments fit (self, request, context).
    PyObject* request = nargs >= 2 ? args[1] : nullptr;
    if (!request && kwnames) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "request") == 0) {
                request = args[nargs + k];
                break;
            }
        }
    }
    if (!request || Py_TYPE(request) != reinterpret_cast<PyTypeObject*>(st.request_class.get()))
        return nullptr;
    return native_record_handle(self, st, func) ? request : nullptr;
}

// The instance dict of `logger` when it is a plain Logger whose debug and
// isEnabledFor are still Logger's own, as imported: neither the class nor the
// instance overrides them and attribute lookup is the ordinary one. None
// otherwise.
Ref plain_logger(PyObject* globals, const State& st, PyObject* logger) {
    if (Py_TYPE(logger) != reinterpret_cast<PyTypeObject*>(st.logger_class.get()) ||
        !st.logger.holds(globals))
        return Ref();
    Ref own = check(PyObject_GenericGetDict(logger, nullptr));
    if (dict_get(own.get(), st[N::debug]) || dict_get(own.get(), st[N::isEnabledFor]) ||
        dict_get(own.get(), st[N::underscore_log]))
        return Ref();
    return own;
}

// Whether isEnabledFor(DEBUG) of a plain Logger with the instance dict `own`
// is sure to answer False without running it: its cache says so, and
// `disabled`, which some versions test first, is a plain bool (so testing it
// runs nothing either; both answers are then False).
bool debug_known_off(const State& st, PyObject* own) {
    PyObject* cache = dict_get(own, st[N::logger_cache]);
    PyObject* disabled = dict_get(own, st[N::disabled]);
    if (!cache || !PyDict_CheckExact(cache) || (disabled != Py_False && disabled != Py_True))
        return false;
    return dict_get(cache, st.debug_level.get()) == Py_False;
}

// Writes the native record `render()` makes, unless `logger` is a plain Logger
// that drops DEBUG records: its debug() tests isEnabledFor(DEBUG) first and
// does nothing else when that is false.
template <class Render>
void log_native(State& st, FunctionObject* handle, PyObject* logger, Render&& render) {
    if (Ref own = plain_logger(globals_of(handle), st, logger)) {
        if (debug_known_off(st, own.get())) return;
        PyObject* argv[] = {logger, st.debug_level.get()};
        Ref enabled = vectorcall(st.logger_is_enabled_for.get(), argv, 2, nullptr);
        if (!check(PyObject_IsTrue(enabled.get()))) return;
        Ref text = render();
        if constexpr (compat::kLoggingSkipsOwnFrames) {
            // Logger.debug(msg) is `if self.isEnabledFor(DEBUG): self._log(DEBUG,
            // msg, ())`; the test is done, so go on with _log. The caller lookup
            // skips logging's own frames, so the record names the same caller
            // with or without debug's frame on the stack.
            PyObject* log_argv[] = {logger, st.debug_level.get(), text.get(), st.empty_tuple.get()};
            vectorcall(st.logger_log.get(), log_argv, 4, nullptr);
        } else {
            // logger.debug is Logger.debug bound to it: call the function itself
            // (the caller lookup counts the frames of debug and _log).
            argv[1] = text.get();
            vectorcall(st.logger_debug.get(), argv, 2, nullptr);
        }
        return;
    }
    Ref debug = getattr(logger, st[N::debug]);
    Ref text = render();
    call(debug.get(), {text.get()});
}

// ---- the general record -------------------------------------------------------

// Steps 4 to 10 as written:
//     func_name = "{}.{}".format(func.__module__, func.__name__)
//     sig = inspect.signature(func)
//     bind = sig.bind(*args, **kwargs).arguments
//     request = bind.get("request")
//     json_data = json_format.MessageToJson(response, preserving_proto_field_name=True)
//     log_dict = {...}  # long or short form
//     rpc_logger.debug("{}".format(log_dict))
void log_general(FunctionObject* self, const State& st, PyObject* func,
                 PyObject* response, PyObject* elapsed, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
    Ref module_name = getattr(func, st[N::dunder_module]);
    Ref name = getattr(func, st[N::dunder_name]);
    Ref func_name =
        check(PyObject_CallMethod(st.dotted.get(), "format", "OO", module_name.get(), name.get()));

    Ref inspect = global(self, N::inspect);
    Ref sig = call(attr(inspect.get(), st[N::signature]).get(), {func});
    Ref bound = vectorcall(getattr(sig.get(), st[N::bind]).get(), args,
                           static_cast<size_t>(nargs), kwnames);
    Ref arguments = getattr(bound.get(), st[N::arguments]);
    Ref request = call(getattr(arguments.get(), st[N::get]).get(), {st[N::request]});

    Ref json_format = global(self, N::json_format);
    Ref json_data = call_kw(attr(json_format.get(), st[N::MessageToJson]).get(), {response},
                            st.kw_preserving.get(), {Py_True});
    Py_ssize_t length = PyObject_Size(json_data.get());
    if (length < 0) throw PyErrAlreadySet{};

    Ref record = check(PyDict_New());
    auto put = [&](N key, const Ref& value) {
        check(PyDict_SetItem(record.get(), st[key], value.get()));
    };
    put(N::type, st.rpc_log_text);
    put(N::request_id, getattr(request.get(), st[N::request_id]));
    put(N::function, func_name);
    if (length <= kCut) put(N::status, getattr(response, st[N::status]));
    Ref process_time = check(PyObject_Format(elapsed, st.spec_6f.get()));
    put(N::process_time, check(PyUnicode_Concat(process_time.get(), st.suffix_s.get())));
    if (length > kCut) {
        Ref head = check(PyObject_GetItem(json_data.get(), st.head_4096.get()));
        put(N::response, check(PyNumber_Add(head.get(), st.ellipsis.get())));
    } else {
        Ref json = global(self, N::json);
        put(N::response, call(attr(json.get(), st[N::loads]).get(), {json_data.get()}));
    }

    Ref logger = global(self, N::rpc_logger);
    Ref debug = getattr(logger.get(), st[N::debug]);
    Ref text = check(PyObject_Format(record.get(), st.empty.get()));
    call(debug.get(), {text.get()});
}

// ---- rpc_log and its wrapper --------------------------------------------------

// The record of one call that returned `response`.
void write_record(FunctionObject* self, State& st, PyObject* func, PyObject* response,
                  PyObject* process_time, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    if (PyObject* request =
            native_record_request(self, st, func, response, args, nargs, kwnames)) {
        Ref logger = global(self, N::rpc_logger);
        auto* handle = reinterpret_cast<FunctionObject*>(func);
        log_native(st, handle, logger.get(), [&] {
            return render_record(st, handle, request, response, process_time);
        });
    } else {
        log_general(self, st, func, response, process_time, args, nargs, kwnames);
    }
}

// Whether `response` is a reply to come: the dispatcher's
// concurrent.futures.Future for a target that is awaited.
bool pending(const State& st, PyObject* response) {
    if (Py_TYPE(response) == reinterpret_cast<PyTypeObject*>(st.response_class.get())) return false;
    Ref futures = import("concurrent.futures");
    Ref future_class = getattr(futures.get(), "Future");
    return check(PyObject_IsInstance(response, future_class.get())) != 0;
}

// The done-callback of a reply to come: its record once it completed with a
// response (none when it failed or was cancelled, as for a handler that
// raised). Closure: (func, start time, arguments, keyword names or None).
Ref rpc_log_done(FunctionObject* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* future = argv[0];
    Ref cancelled = call(getattr(future, "cancelled").get());
    if (check(PyObject_IsTrue(cancelled.get()))) return Ref::borrow(Py_None);
    Ref failure = call(getattr(future, "exception").get());
    if (failure.get() != Py_None) return Ref::borrow(Py_None);
    Ref response = call(getattr(future, "result").get());
    Ref process_time =
        check(PyNumber_Subtract(wall_clock(self, st).get(), closure_item(self, 1)));
    PyObject* all = closure_item(self, 2);
    PyObject* kwnames = closure_item(self, 3) == Py_None ? nullptr : closure_item(self, 3);
    Py_ssize_t nargs = PyTuple_GET_SIZE(all) - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    write_record(self, st, closure_item(self, 0), response.get(), process_time.get(),
                 &PyTuple_GET_ITEM(all, 0), nargs, kwnames);
    return Ref::borrow(Py_None);
}
const FunctionDef rpc_log_done_def = {
    "logged", "rpc_log.<locals>.wrapper.<locals>.logged", nullptr, {"future"}, rpc_log_done,
    nullptr};

// What the wrapper does once `func` returned `response`.
Ref logged(FunctionObject* self, State& st, PyObject* func, Ref start_time, Ref response,
           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (pending(st, response.get())) {
        // Logged when it completes; the reply itself goes back as it is.
        const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        Ref all = check(PyTuple_New(total));
        for (Py_ssize_t i = 0; i < total; ++i)
            PyTuple_SET_ITEM(all.get(), i, Ref::borrow(args[i]).release());  // steals
        Ref closure = check(PyTuple_Pack(4, func, start_time.get(), all.get(),
                                         kwnames ? kwnames : Py_None));
        Ref logged = make_function(self->module, rpc_log_done_def, nullptr, closure.get());
        call(getattr(response.get(), "add_done_callback").get(), {logged.get()});
        return response;
    }
    Ref process_time = check(PyNumber_Subtract(wall_clock(self, st).get(), start_time.get()));
    write_record(self, st, func, response.get(), process_time.get(), args, nargs, kwnames);
    return response;
}

Ref rpc_log_wrapper(FunctionObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    State& st = state_of(self);
    Ref func = Ref::borrow(closure_item(self, 0));
    Ref start_time = wall_clock(self, st);
    // The dispatcher's own handle is entered directly (no argument repacking on 3.7).
    Ref response = is_function(func.get())
                       ? check(support::detail::function_vectorcall(
                             func.get(), args, static_cast<size_t>(nargs), kwnames))
                       : vectorcall(func.get(), args, static_cast<size_t>(nargs), kwnames);
    return logged(self, st, func.get(), std::move(start_time), std::move(response), args, nargs,
                  kwnames);
}
const FunctionDef rpc_log_wrapper_def = {
    "wrapper", "rpc_log.<locals>.wrapper", nullptr, {"*args", "**kwargs"}, nullptr,
    rpc_log_wrapper};

// def rpc_log(func):
//     @functools.wraps(func)
//     def wrapper(*args, **kwargs): ...
//     return wrapper
Ref rpc_log(FunctionObject* self, PyObject* const* argv) {
    PyObject* func = argv[0];
    const State& st = state_of(self);
    Ref functools = global(self, N::functools);
    Ref decorator = call(attr(functools.get(), st[N::wraps]).get(), {func});
    Ref closure = check(PyTuple_Pack(1, func));
    Ref wrapper = make_function(self->module, rpc_log_wrapper_def, nullptr, closure.get());
    return call(decorator.get(), {wrapper.get()});
}
const FunctionDef rpc_log_def = {"rpc_log", nullptr, nullptr, {"func"}, rpc_log, nullptr};

}  // namespace

bool is_rpc_log_wrapper(PyObject* o) noexcept {
    return is_function(o) && reinterpret_cast<FunctionObject*>(o)->def == &rpc_log_wrapper_def;
}

// The wrapper around the dispatcher's own handle (the caller checked both), the
// request on the wire path: its record is rendered from the reply's fields.
// A reply that is not the serialized response after all (a target that was
// awaited, a response class rebound) is logged the wrapper's own way, as is
// any record that cannot be rendered natively, of the objects the call would
// have had.
Ref rpc_log_wire(FunctionObject* self, PyObject* service, Request& request, PyObject* context) {
    State& st = state_of(self);
    PyObject* func = closure_item(self, 0);
    Ref start_time = wall_clock(self, st);
    Ref response =
        handle_request(reinterpret_cast<FunctionObject*>(func), service, request, context);
    if (!request.reply) {
        PyObject* args[] = {service, request.object(st), context};
        return logged(self, st, func, std::move(start_time), std::move(response), args, 3, nullptr);
    }
    Ref process_time = check(PyNumber_Subtract(wall_clock(self, st).get(), start_time.get()));
    if (native_record_handle(self, st, func)) {
        Ref logger = global(self, N::rpc_logger);
        auto* handle = reinterpret_cast<FunctionObject*>(func);
        log_native(st, handle, logger.get(), [&] {
            // The response's bytes, seen where they lie in the reply (of a
            // reply in parts, the start the record shows).
            PyObject* reply = request.reply.get();
            Ref body = PyBytes_Check(reply)
                           ? check(PyMemoryView_FromMemory(PyBytes_AS_STRING(reply) + request.reply_at,
                                                           request.reply_size, PyBUF_READ))
                           : gather(reply, request.reply_at, std::min(request.reply_size, kShownBytes));
            return render_fields(st, handle, request.reply_status, body.get(),
                                 request.request_id(), process_time.get(), request.reply_size);
        });
    } else {
        Ref from_string = getattr(st.response_class.get(), "FromString");
        Ref whole = flatten(response.get());
        Ref made = call(from_string.get(), {whole.get()});
        PyObject* args[] = {service, request.object(st), context};
        log_general(self, st, func, made.get(), process_time.get(), args, 3, nullptr);
    }
    return response;
}

void define_rpc_log(PyObject* m) { bind(m, "rpc_log", make_function(m, rpc_log_def).get()); }

}  // namespace sorvane::corvex
