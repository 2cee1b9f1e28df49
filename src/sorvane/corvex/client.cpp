// Client connection registry: the Server entry, the GrpcClient registry and
// the shared instance grpc_client; also the client state and the small helpers
// the client sources share.
//
// Channels are opened through the module-level `transport` (the selected engine:
// grpcio's `grpc` module or the native one) and stubs built through
// the module-level `brindlow`, both looked up at each use. Every client
// channel accepts messages up to 256 MiB, the server runtime's default limit,
// so a reply the server may send is never lost on this side. Nothing here
// sends anything, and the registry never closes its channels.
#include "corvex.hpp"

namespace sorvane::corvex {

namespace {

const char* const kNameTexts[] = {
#define SORVANE_NAME_TEXT(id, text) text,
    SORVANE_CLIENT_NAMES(SORVANE_NAME_TEXT)
#undef SORVANE_NAME_TEXT
};
static_assert(sizeof(kNameTexts) / sizeof(kNameTexts[0]) == kNameCount, "one text per name");

const char kLoadDoc[] =
    "\n        load grpc server list\n        :param servers: Server\n        :return:\n        ";
const char kConnectDoc[] =
    "\n        get server stub\n        :param server:\n        :return:\n        ";

// [("grpc.max_send_message_length", N), ("grpc.max_receive_message_length", N)],
// a new list for every channel.
Ref channel_options() {
    return check(Py_BuildValue("[(sl)(sl)]", "grpc.max_send_message_length", kMaxMessageLength,
                               "grpc.max_receive_message_length", kMaxMessageLength));
}

// The channel of an entry: transport.insecure_channel(entry.addr, options=...),
// or, for an entry with TLS or a token, sorvane.security.open_channel(...).
// Returns a new reference.
Ref open_channel(FunctionObject* self, PyObject* entry_obj) {
    ClientState& st = client_state(self);
    Ref addr = getattr(entry_obj, st[Name::addr]);
    Ref transport = client_global(self, Name::transport);
    Ref options = channel_options();
    Ref tls = instance_setting(entry_obj, "tls");
    Ref token = instance_setting(entry_obj, "token");
    if (tls || token) {
        Ref security = import("sorvane.security");
        return call(getattr(security.get(), "open_channel").get(),
                    {transport.get(), addr.get(), options.get(), tls ? tls.get() : Py_None,
                     token ? token.get() : Py_None});
    }
    Ref factory = getattr(transport.get(), st[Name::insecure_channel]);
    return call_kw(factory.get(), {addr.get()}, st.kw_options.get(), {options.get()});
}

// brindlow.CommonServiceStub(channel). Returns a new reference.
Ref new_stub(FunctionObject* self, PyObject* channel) {
    ClientState& st = client_state(self);
    Ref brindlow = client_global(self, Name::brindlow);
    Ref stub_class = getattr(brindlow.get(), st[Name::CommonServiceStub]);
    return call(stub_class.get(), {channel});
}

// ---- Server -----------------------------------------------------------------

// addr is host + ":" + str(port), so a host that is not text fails like
// Python's concatenation; attributes are set in their documented order.
Ref Server_init(FunctionObject* self, PyObject* const* argv) {
    enum { self_, server, host, port, tls, token };
    ClientState& st = client_state(self);
    PyObject* entry_obj = argv[self_];
    setattr(entry_obj, st[Name::server], argv[server]);
    setattr(entry_obj, st[Name::host], argv[host]);
    setattr(entry_obj, st[Name::port], argv[port]);
    Ref colon = str(":");
    Ref host_colon = check(PyNumber_Add(argv[host], colon.get()));
    Ref port_text = check(PyObject_Str(argv[port]));
    Ref addr = check(PyNumber_Add(host_colon.get(), port_text.get()));
    setattr(entry_obj, st[Name::addr], addr.get());
    setattr(entry_obj, st[Name::channel_attr], Py_None);
    // TLS and a token, keyword-only: attributes only when given, so that an
    // entry without them is what it always was.
    if (argv[tls] != Py_None || argv[token] != Py_None) {
        Ref security = import("sorvane.security");
        if (argv[tls] != Py_None) {
            Ref tls_class = getattr(security.get(), "ClientTls");
            int ok = check(PyObject_IsInstance(argv[tls], tls_class.get()));
            if (!ok)
                raise_format(PyExc_TypeError, "tls must be a sorvane.security.ClientTls, not %.100s",
                             Py_TYPE(argv[tls])->tp_name);
            setattr(entry_obj, "tls", argv[tls]);
        }
        if (argv[token] != Py_None) {
            Ref checked = call(getattr(security.get(), "check_token").get(), {argv[token]});
            setattr(entry_obj, "token", checked.get());
        }
    }
    return Ref::borrow(Py_None);
}
const FunctionDef Server_init_def = {
    "__init__", "Server.__init__", nullptr, {"self", "server", "host", "port", "*", "tls", "token"},
    Server_init, nullptr};

// type(self)(self.server, self.host, self.port): a subclass stays a subclass.
Ref Server_copy(FunctionObject* self, PyObject* const* argv) {
    ClientState& st = client_state(self);
    PyObject* entry_obj = argv[0];
    Ref server = getattr(entry_obj, st[Name::server]);
    Ref host = getattr(entry_obj, st[Name::host]);
    Ref port = getattr(entry_obj, st[Name::port]);
    Ref tls = instance_setting(entry_obj, "tls");
    Ref token = instance_setting(entry_obj, "token");
    if (!tls && !token)
        return call(reinterpret_cast<PyObject*>(Py_TYPE(entry_obj)),
                    {server.get(), host.get(), port.get()});
    Ref names = kwnames({"tls", "token"});
    return call_kw(reinterpret_cast<PyObject*>(Py_TYPE(entry_obj)),
                   {server.get(), host.get(), port.get()}, names.get(),
                   {tls ? tls.get() : Py_None, token ? token.get() : Py_None});
}
const FunctionDef Server_copy_def = {
    "copy", "Server.copy", nullptr, {"self"}, Server_copy, nullptr};

// The entry's own channel, opened on first use (unguarded: two first reads at
// once may each open one, and the later store wins).
Ref Server_channel(FunctionObject* self, PyObject* const* argv) {
    ClientState& st = client_state(self);
    PyObject* entry_obj = argv[0];
    Ref current = getattr(entry_obj, st[Name::channel_attr]);
    if (current.get() == Py_None) {
        Ref channel = open_channel(self, entry_obj);
        setattr(entry_obj, st[Name::channel_attr], channel.get());
    }
    return getattr(entry_obj, st[Name::channel_attr]);
}
const FunctionDef Server_channel_def = {
    "channel", "Server.channel", nullptr, {"self"}, Server_channel, nullptr};

// A new stub on self.channel at every entry.
Ref Server_enter(FunctionObject* self, PyObject* const* argv) {
    Ref channel = getattr(argv[0], client_state(self)[Name::channel]);
    return new_stub(self, channel.get());
}
const FunctionDef Server_enter_def = {
    "__enter__", "Server.__enter__", nullptr, {"self"}, Server_enter, nullptr};

// Closes self.channel and returns None, so an exception from the block goes on.
Ref Server_exit(FunctionObject* self, PyObject* const* argv) {
    ClientState& st = client_state(self);
    Ref channel = getattr(argv[0], st[Name::channel]);
    call(getattr(channel.get(), st[Name::close]).get());
    return Ref::borrow(Py_None);
}
const FunctionDef Server_exit_def = {
    "__exit__", "Server.__exit__", nullptr, {"self", "exc_type", "exc_val", "exc_tb"}, Server_exit,
    nullptr};

// ---- GrpcClient -------------------------------------------------------------

Ref GrpcClient_init(FunctionObject* self, PyObject* const* argv) {
    ClientState& st = client_state(self);
    Ref stubs = check(PyDict_New());
    Ref server_address = check(PyDict_New());
    setattr(argv[0], st[Name::stubs], stubs.get());
    setattr(argv[0], st[Name::server_address], server_address.get());
    return Ref::borrow(Py_None);
}
const FunctionDef GrpcClient_init_def = {
    "__init__", "GrpcClient.__init__", nullptr, {"self"}, GrpcClient_init, nullptr};

// One new channel and stub per entry; `stubs` is updated before
// `server_address`, and entries done before a failure stay registered.
Ref GrpcClient_load(FunctionObject* self, PyObject* const* argv) {
    ClientState& st = client_state(self);
    PyObject* registry = argv[0];
    Ref it = check(PyObject_GetIter(argv[1]));
    while (Ref entry_obj = Ref::steal(PyIter_Next(it.get()))) {
        Ref channel = open_channel(self, entry_obj.get());
        Ref stub = new_stub(self, channel.get());
        Ref stubs = getattr(registry, st[Name::stubs]);
        Ref name = getattr(entry_obj.get(), st[Name::server]);
        check(PyObject_SetItem(stubs.get(), name.get(), stub.get()));
        Ref server_address = getattr(registry, st[Name::server_address]);
        name = getattr(entry_obj.get(), st[Name::server]);
        check(PyObject_SetItem(server_address.get(), name.get(), entry_obj.get()));
    }
    if (PyErr_Occurred()) throw PyErrAlreadySet{};
    return Ref::borrow(Py_None);
}
const FunctionDef GrpcClient_load_def = {
    "load", "GrpcClient.load", kLoadDoc, {"self", "servers"}, GrpcClient_load, nullptr};

// self.stubs.get(server): None for a name never loaded.
Ref GrpcClient_connect(FunctionObject* self, PyObject* const* argv) {
    ClientState& st = client_state(self);
    Ref stubs = getattr(argv[0], st[Name::stubs]);
    return mapping_get(st, stubs.get(), argv[1]);
}
const FunctionDef GrpcClient_connect_def = {
    "connect", "GrpcClient.connect", kConnectDoc, {"self", "server"}, GrpcClient_connect, nullptr};

// self.server_address.get(server).
Ref GrpcClient_get_server(FunctionObject* self, PyObject* const* argv) {
    ClientState& st = client_state(self);
    Ref server_address = getattr(argv[0], st[Name::server_address]);
    return mapping_get(st, server_address.get(), argv[1]);
}
const FunctionDef GrpcClient_get_server_def = {
    "get_server", "GrpcClient.get_server", nullptr, {"self", "server"}, GrpcClient_get_server,
    nullptr};

Ref GrpcClient_handle(FunctionObject*, PyObject* const*) { return Ref::borrow(Py_None); }
const FunctionDef GrpcClient_handle_def = {
    "handle", "GrpcClient.handle", nullptr, {"self"}, GrpcClient_handle, nullptr};

}  // namespace

// ---- shared helpers ---------------------------------------------------------

Ref instance_setting(PyObject* entry_obj, const char* name) {
    PyObject* value = nullptr;
    if (PyObject* dict = PyObject_GenericGetDict(entry_obj, nullptr)) {
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

ClientState& client_state(FunctionObject* f) {
    ClientState& st = state(f).client;
    if (!st.ready) raise(PyExc_RuntimeError, "sorvane.corvex has been torn down");
    return st;
}

Ref client_global(FunctionObject* f, Name n) {
    return lookup_global(globals_of(f), client_state(f)[n]);
}

Ref mapping_get(const ClientState& st, PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
        return Ref::borrow(Py_None);
    }
    Ref get = getattr(mapping, st[Name::get]);
    return call(get.get(), {key});
}

namespace {

// The function whose code a guard watches: `o` itself, or the function under a
// property, class method or static method. Returns a new reference or none.
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

PyObject* add_guard(GuardSet& set, PyObject* module_ns, PyObject* ns, const char* name) {
    if (set.count == GuardSet::kMax) return nullptr;
    Ref key = interned(name);
    PyObject* value = PyDict_GetItemWithError(ns ? ns : module_ns, key.get());
    if (!value) {
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
        return nullptr;
    }
    Guard& g = set.items[set.count++];
    g.ns = Ref::borrow(ns);
    g.name = std::move(key);
    g.expected = Ref::borrow(value);
    g.func = guarded_function(value);
    if (g.func) g.code = Ref::borrow(PyFunction_GET_CODE(g.func.get()));
    return value;
}

bool guards_hold(const GuardSet& set, PyObject* module_ns) {
    if (!set.enabled) return false;
    for (int i = 0; i < set.count; ++i) {
        const Guard& g = set.items[i];
        PyObject* now = PyDict_GetItemWithError(g.ns ? g.ns.get() : module_ns, g.name.get());
        if (now != g.expected.get()) {
            if (!now && PyErr_Occurred()) throw PyErrAlreadySet{};
            return false;
        }
        if (g.func && PyFunction_GET_CODE(g.func.get()) != g.code.get()) return false;
    }
    return true;
}

void init_client_state(PyObject* module, ClientState& st) {
    for (int i = 0; i < kNameCount; ++i) st.names[i] = interned(kNameTexts[i]);
    st.kw_call_rpc = kwnames({"clazz", "method", "args", "kwargs", "request_id"});
    st.kw_call_rpc_result = kwnames({"clazz", "method", "args", "kwargs"});
    st.kw_request = kwnames({"request", "serialize", "request_id"});
    st.kw_options = kwnames({"options"});
    st.empty_tuple = check(PyTuple_New(0));
    st.zero = check(PyLong_FromLong(0));
    st.minus_one = check(PyLong_FromLong(-1));
    st.sixteen = check(PyLong_FromLong(16));
    init_binder_guards(module, st);
    init_uuid_guards(module, st);
    st.ready = true;
}

// ---- module-level definitions -----------------------------------------------

void define_Server(PyObject* m) {
    Ref init_defaults = defaults({Py_None, Py_None});  // tls, token
    Ref cls = make_class(m, "Server", nullptr, nullptr,
                         method(m, Server_init_def, init_defaults.get()),
                         method(m, Server_copy_def), read_only_property(m, Server_channel_def),
                         method(m, Server_enter_def), method(m, Server_exit_def));
    bind(m, "Server", cls.get());
}

void define_GrpcClient(PyObject* m) {
    Ref cls = make_class(m, "GrpcClient", nullptr, nullptr, method(m, GrpcClient_init_def),
                         method(m, GrpcClient_load_def), method(m, GrpcClient_connect_def),
                         method(m, GrpcClient_get_server_def), method(m, GrpcClient_handle_def));
    bind(m, "GrpcClient", cls.get());
}

// The shared registry, made last: GrpcClient() as bound in the module now.
void define_grpc_client(PyObject* m) {
    Ref cls = lookup_global(PyModule_GetDict(m), interned("GrpcClient").get());
    Ref registry = call(cls.get());
    bind(m, "grpc_client", registry.get());
}

}  // namespace sorvane::corvex
