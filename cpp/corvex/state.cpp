// The module state of corvex and the helpers its sources share.
//
// init_state interns the names, makes the constants and takes the snapshots of
// every fast path's guard; each fast path also runs a feature test here, so a
// host whose objects differ from what the path relies on only loses the path.
// `_fast_paths()` reports which guards armed, so the suite notices a host on
// which one is off.
#include "corvex.hpp"

namespace sorvane::corvex {

// ---- Guard --------------------------------------------------------------------

namespace {

bool is_dunder(PyObject* name) noexcept {
    if (!compat::unicode_is_ready(name)) return true;  // let getattr deal with it
    return PyUnicode_GET_LENGTH(name) >= 2 && PyUnicode_READ_CHAR(name, 0) == '_' &&
           PyUnicode_READ_CHAR(name, 1) == '_';
}

// The function whose code a snapshot watches: `o` itself, or the function
// under a property, class method or static method. A new reference or none.
Ref guarded_function(PyObject* o) {
    if (PyFunction_Check(o)) return Ref::borrow(o);
    const char* attribute = nullptr;
    if (PyObject_TypeCheck(o, &PyProperty_Type))
        attribute = "fget";
    else if (PyObject_TypeCheck(o, &PyClassMethod_Type) ||
             PyObject_TypeCheck(o, &PyStaticMethod_Type))
        attribute = "__func__";
    if (!attribute) return Ref();
    Ref f = getattr(o, attribute);
    return PyFunction_Check(f.get()) ? std::move(f) : Ref();
}

}  // namespace

PyObject* Guard::watch(PyObject* module_ns, PyObject* ns, const char* name) {
    PyObject* value = nullptr;
    if (ns && PyDict_Check(ns) && count < kMax) {
        Ref key = interned(name);
        value = dict_get(ns, key.get());
        if (value) {
            Snapshot& s = items[count++];
            s.ns = ns == module_ns ? Ref() : Ref::borrow(ns);
            s.name = std::move(key);
            s.expected = Ref::borrow(value);
            s.func = guarded_function(value);
            if (s.func) s.code = Ref::borrow(PyFunction_GET_CODE(s.func.get()));
            compat::dict_watch(ns);
        }
    }
    if (!value) failed = true;
    return value;
}

void Guard::watch_size(PyObject* d) {
    if (!d || !PyDict_Check(d) || count == kMax) {
        failed = true;
        return;
    }
    Snapshot& s = items[count++];
    s.ns = Ref::borrow(d);
    s.size = PyDict_GET_SIZE(d);
    compat::dict_watch(d);
}

bool Guard::holds(PyObject* module_ns) const {
    if (!armed) return false;
    bool unchanged = true;
    for (int i = 0; i < count && unchanged; ++i) {
        const Snapshot& s = items[i];
        if (s.func && PyFunction_GET_CODE(s.func.get()) != s.code.get()) return false;
        if (s.always) {
            if (s.name ? dict_get(s.ns.get(), s.name.get()) != s.expected.get()
                       : PyDict_GET_SIZE(s.ns.get()) != s.size)
                return false;
            continue;
        }
        unchanged = compat::dict_stamp(s.ns ? s.ns.get() : module_ns) == s.stamp;
    }
    if (unchanged) return true;
    // Something may have changed: look every snapshot up again.
    for (int i = 0; i < count; ++i) {
        const Snapshot& s = items[i];
        PyObject* ns = s.ns ? s.ns.get() : module_ns;
        if (!s.name) {
            if (PyDict_GET_SIZE(ns) != s.size) return false;
            continue;
        }
        if (dict_get(ns, s.name.get()) != s.expected.get()) return false;
        if (s.func && PyFunction_GET_CODE(s.func.get()) != s.code.get()) return false;
    }
    for (int i = 0; i < count; ++i)
        items[i].stamp = compat::dict_stamp(items[i].ns ? items[i].ns.get() : module_ns);
    return true;
}

// ---- shared helpers -----------------------------------------------------------

State& state_of(FunctionObject* f) {
    State& st = support::state_of<State>(f);
    if (!st.ready) raise(PyExc_RuntimeError, "sorvane.corvex has been finalized");
    return st;
}

Ref global(FunctionObject* f, Name n) { return lookup_global(globals_of(f), state_of(f)[n]); }

Ref aio_module(State& st) {
    PyObject* held = st.aio_module.get();
    if (held) {
        if (PyObject* now = PyImport_GetModule(st[N::sorvane_aio])) {
            Ref current = Ref::steal(now);
            if (now == held) return current;
        } else if (PyErr_Occurred()) {
            throw PyErrAlreadySet{};
        }
    }
    Ref module = import("sorvane.aio");
    st.aio_module = module.copy();
    return module;
}

Ref own_entry(PyObject* obj, PyObject* name) {
    // A type whose instances have a dict says so with a non-zero offset (-1
    // for the managed dicts of 3.11 on); only then can the host's getter not
    // fail, and it makes an empty dict when the instance has none yet.
    if (Py_TYPE(obj)->tp_dictoffset == 0) return Ref();
    Ref dict = check(PyObject_GenericGetDict(obj, nullptr));
    return Ref::borrow(dict_get(dict.get(), name));
}

PyObject* dict_get(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw PyErrAlreadySet{};
    return v;
}

Ref mapping_get(const State& st, PyObject* mapping, PyObject* key, bool with_default) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = dict_get(mapping, key);
        return Ref::borrow(v ? v : Py_None);
    }
    Ref get = getattr(mapping, st[N::get]);
    return with_default ? call(get.get(), {key, Py_None}) : call(get.get(), {key});
}

Ref attr(PyObject* o, PyObject* name) {
    if (Py_TYPE(o) == &PyModule_Type && PyUnicode_Check(name) && !is_dunder(name))
        if (PyObject* found = dict_get(PyModule_GetDict(o), name)) return Ref::borrow(found);
    return getattr(o, name);
}

Ref effective_code(const State& st, PyObject* code, PyObject* stub) {
    if (code != st.default_serialize.get()) return Ref::borrow(code);
    if (Ref own = own_entry(stub, st[N::stub_serialize])) return own;
    return st.json_code.copy();
}

Ref instance_setting(PyObject* instance, const char* name) {
    PyObject* value = nullptr;
    if (PyObject* dict = PyObject_GenericGetDict(instance, nullptr)) {
        value = PyDict_GetItemString(dict, name);
        Py_XINCREF(value);
        Py_DECREF(dict);
    } else {
        PyErr_Clear();
    }
    Ref owned = Ref::steal(value);
    if (owned.get() == Py_None) return Ref();
    return owned;
}

void set_security(PyObject* obj, PyObject* tls, PyObject* token, const char* tls_class) {
    if (tls == Py_None && token == Py_None) return;
    Ref security = import("sorvane.security");
    if (tls != Py_None) {
        Ref cls = getattr(security.get(), tls_class);
        if (!check(PyObject_IsInstance(tls, cls.get())))
            raise_format(PyExc_TypeError, "tls must be a sorvane.security.%s, not %.100s", tls_class,
                         Py_TYPE(tls)->tp_name);
        setattr(obj, "tls", tls);
    }
    if (token != Py_None)
        setattr(obj, "token", call(getattr(security.get(), "check_token").get(), {token}).get());
}

// ---- init ---------------------------------------------------------------------

PyObject* module_dict(PyObject* o) { return o && PyModule_Check(o) ? PyModule_GetDict(o) : nullptr; }
Ref type_dict(PyObject* o) {
    return o && PyType_Check(o) ? compat::type_dict(reinterpret_cast<PyTypeObject*>(o)) : Ref();
}

void append_utf8(std::string& out, PyObject* text) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(text, &n);
    if (!p) throw PyErrAlreadySet{};
    out.append(p, static_cast<size_t>(n));
}

namespace {

const char* const kNameTexts[] = {
#define SORVANE_NAME_TEXT(id, text) text,
    SORVANE_NAMES(SORVANE_NAME_TEXT)
#undef SORVANE_NAME_TEXT
};

// The rpc_log record is rendered natively only while the three host
// functions it would call are the ones bound at import (rpc_log.cpp).
void init_record_guard(PyObject* ns, State& st) {
    Guard& g = st.record;
    g.watch(ns, module_dict(g.watch(ns, ns, "inspect")), "signature");
    g.watch(ns, module_dict(g.watch(ns, ns, "json_format")), "MessageToJson");
    g.watch(ns, module_dict(g.watch(ns, ns, "json")), "loads");
    g.arm(true);
}

// Logger.debug / isEnabledFor / _log as the logging class holds them.
void init_logger_guard(PyObject* ns, State& st) {
    Guard& g = st.logger;
    Ref logging = import("logging");
    Ref cls = getattr(logging.get(), "Logger");
    Ref cls_ns = type_dict(cls.get());
    st.logger_debug = Ref::borrow(g.watch(ns, cls_ns.get(), "debug"));
    st.logger_is_enabled_for = Ref::borrow(g.watch(ns, cls_ns.get(), "isEnabledFor"));
    st.logger_log = Ref::borrow(g.watch(ns, cls_ns.get(), "_log"));
    // Nothing may come between an instance and its own _cache and disabled
    // (rpc_log.cpp reads them): no class along the way gains a member.
    PyObject* mro = reinterpret_cast<PyTypeObject*>(cls.get())->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref base_ns = type_dict(PyTuple_GET_ITEM(mro, i));
        if (dict_get(base_ns.get(), st[N::logger_cache]) || dict_get(base_ns.get(), st[N::disabled]))
            return;  // not armed
        g.watch_size(base_ns.get());
    }
    st.logger_class = std::move(cls);
    g.arm(reinterpret_cast<PyTypeObject*>(st.logger_class.get())->tp_getattro ==
          PyObject_GenericGetAttr);
}

// importlib.import_module as imported: the dispatcher may then take an
// initialised module straight from sys.modules (dispatch.cpp).
void init_importer_guard(PyObject* ns, State& st) {
    Guard& g = st.importer;
    g.watch(ns, module_dict(g.watch(ns, ns, "importlib")), "import_module");
    g.arm(true);
}

// inspect.signature(f) for a plain function, and Signature.bind, as the
// names they go through are bound at import: a Signature made once per
// function may then be reused while the function keeps its code and
// defaults, and a call that binds to plain parameters bound directly
// (decorator.cpp).
void init_signature_guard(PyObject* ns, State& st) {
    Guard& g = st.signature;
    PyObject* inspect_ns = module_dict(g.watch(ns, ns, "inspect"));
    for (const char* name : {"signature", "unwrap", "_signature_from_callable",
                             "_signature_from_function", "Parameter"})
        g.watch(ns, inspect_ns, name);
    Ref signature_ns = type_dict(g.watch(ns, inspect_ns, "Signature"));
    for (const char* name : {"from_callable", "__init__", "bind", "_bind", "_bound_arguments_cls"})
        g.watch(ns, signature_ns.get(), name);
    g.arm(true);
}

// uuid.uuid4().hex is 16 bytes of os.urandom with the version and variant
// bits set, in hexadecimal (helper.cpp). The feature test reads uuid4's code:
// it must still draw its bytes from os.urandom.
void init_request_id_guard(PyObject* ns, State& st) {
    Guard& g = st.request_id;
    PyObject* uuid_ns = module_dict(g.watch(ns, ns, "uuid"));
    PyObject* uuid4 = g.watch(ns, uuid_ns, "uuid4");
    Ref cls_ns = type_dict(g.watch(ns, uuid_ns, "UUID"));
    g.watch(ns, cls_ns.get(), "__init__");
    g.watch(ns, cls_ns.get(), "hex");
    st.urandom = Ref::borrow(g.watch(ns, module_dict(g.watch(ns, uuid_ns, "os")), "urandom"));
    bool draws_urandom = false;
    if (uuid4 && PyFunction_Check(uuid4)) {
        Ref names = Ref::steal(PyObject_GetAttrString(PyFunction_GET_CODE(uuid4), "co_names"));
        Ref name = interned("urandom");
        draws_urandom = names && PyTuple_Check(names.get()) &&
                        PySequence_Contains(names.get(), name.get()) == 1;
        PyErr_Clear();
    }
    g.arm(draws_urandom);
}

// Guards whose snapshot fails on an unusual host stay disarmed: the host
// path then serves, exactly and slower.
template <class F>
void arm_quietly(Guard& g, F&& take) {
    try {
        take();
    } catch (const PyErrAlreadySet&) {
        PyErr_Clear();
        g.clear();
    }
}

// _fast_paths() -> {name: on}: which fast paths this host keeps and whose
// guard holds now.
Ref fast_paths(FunctionObject* self, PyObject* const*) {
    State& st = state_of(self);
    Ref out = check(PyDict_New());
#define SORVANE_REPORT(g) \
    check(PyDict_SetItemString(out.get(), #g, st.g.holds(globals_of(self)) ? Py_True : Py_False));
    SORVANE_STATE_GUARDS(SORVANE_REPORT)
#undef SORVANE_REPORT
    return out;
}
const FunctionDef fast_paths_def = {"_fast_paths", nullptr, nullptr, {}, fast_paths, nullptr};

}  // namespace

void init_state(PyObject* m, State& st) {
    for (int i = 0; i < kNameCount; ++i) st.names[i] = interned(kNameTexts[i]);
    st.empty = str("");
    st.dot = interned(".");
    st.dotted = str("{}.{}");
    st.spec_6f = str(".6f");
    st.suffix_s = str("s");
    st.ellipsis = str("...");
    st.rpc_log_text = str("rpc_log");
    st.colon = str(":");
    st.running = str("grpc server running, listen on ");
    st.send_limit = str("grpc.max_send_message_length");
    st.receive_limit = str("grpc.max_receive_message_length");
    st.minus_one = check(PyLong_FromLong(-1));
    st.zero = check(PyLong_FromLong(0));
    st.sixteen = check(PyLong_FromLong(16));
    st.debug_level = check(PyLong_FromLong(10));  // logging.DEBUG
    st.one_day = check(PyLong_FromLong(86400));
    Ref cut = check(PyLong_FromLong(4096));
    st.head_4096 = check(PySlice_New(nullptr, cut.get(), nullptr));
    st.empty_tuple = check(PyTuple_New(0));
    st.kw_preserving = kwnames({"preserving_proto_field_name"});
    st.kw_response_status = kwnames({"response", "status"});
    st.kw_max_workers = kwnames({"max_workers"});
    st.kw_options = kwnames({"options"});
    st.kw_ensure_ascii = kwnames({"ensure_ascii"});
    st.kw_call_rpc = kwnames({"clazz", "method", "args", "kwargs", "request_id"});
    st.kw_call_rpc_result = kwnames({"clazz", "method", "args", "kwargs"});
    st.kw_request = kwnames({"request", "serialize", "request_id"});
    st.kw_timeout = kwnames({"timeout"});
    st.kw_call_rpc_result_timeout = kwnames({"clazz", "method", "args", "kwargs", "timeout"});
    // The keywords an async or generator stand-in passes on (decorator.cpp).
    st.kw_stand_in = kwnames({"clazz", "method", "kwargs", "timeout", "_cls", "serialize",
                              "idempotent", "wait_for_ready"});
    st.kw_call_rpc_timeout = kwnames({"clazz", "method", "args", "kwargs", "request_id", "timeout"});
    st.placeholder = check(PyDict_New());
    for (N key : {N::status, N::msg, N::data})
        check(PyDict_SetItem(st.placeholder.get(), st[key], st.empty.get()));
    st.envelope = check(PyDict_New());
    for (auto [key, value] : {std::pair{N::status, st.zero.get()}, {N::message, st.empty.get()},
                              {N::excType, st.empty.get()}, {N::result, Py_None}})
        check(PyDict_SetItem(st.envelope.get(), st[key], value));

    PyObject* ns = PyModule_GetDict(m);
    Ref sys = lookup_global(ns, st[N::sys]);
    st.sys_dict = Ref::borrow(check_borrowed(PyModule_GetDict(sys.get())));
    Ref marvetta = lookup_global(ns, st[N::marvetta]);
    st.request_class = getattr(marvetta.get(), st[N::CommonRequest]);
    st.response_class = getattr(marvetta.get(), st[N::CommonResponse]);
    // What corvex's stubs are made with (the wire path of helper.cpp).
    st.request_serialize = getattr(st.request_class.get(), "SerializeToString");
    st.response_from_string = getattr(st.response_class.get(), "FromString");
    Ref codec = import("sorvane.codec");
    st.default_serialize = getattr(codec.get(), "DEFAULT");
    st.json_code = check(PyLong_FromLong(3));
    st.codecs_metadata = check(Py_BuildValue("((ss))", "sorvane-codecs", "3,8949"));
    Ref binascii = import("binascii");
    st.b2a_base64 = getattr(binascii.get(), "b2a_base64");
    st.kw_newline = kwnames({"newline"});
    Ref time = import("time");
    st.monotonic = getattr(time.get(), "monotonic");
    Ref deadline = import("sorvane.deadline");
    st.deadline = getattr(deadline.get(), "_deadline");

    arm_quietly(st.record, [&] { init_record_guard(ns, st); });
    arm_quietly(st.logger, [&] { init_logger_guard(ns, st); });
    arm_quietly(st.importer, [&] { init_importer_guard(ns, st); });
    arm_quietly(st.signature, [&] { init_signature_guard(ns, st); });
    arm_quietly(st.request_id, [&] { init_request_id_guard(ns, st); });
    init_json(m, st);
    bind(m, "_fast_paths", make_function(m, fast_paths_def).get());
    st.ready = true;
}

}  // namespace sorvane::corvex
