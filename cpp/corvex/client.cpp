// Client connection registry: the Server entry, the GrpcClient registry and
// the shared instance grpc_client; also the client state and the small helpers
// the client sources share.
//
// Channels are opened through the module-level `transport` (the selected engine:
// grpcio's `grpc` module or the native one) and stubs built through
// the module-level `brindlow`, both looked up at each use. Every client
// channel accepts messages up to 256 MiB, the server runtime's default limit,
// so a reply the server may send is never lost on this side, and retries a
// lost connection at least once a second however long its server was away.
// Nothing here sends anything, and the registry never closes its channels.
#include "corvex.hpp"

namespace sorvane::corvex {

namespace {

const char kLoadDoc[] =
    "\n        load grpc server list\n        :param servers: Server\n        :return:\n        ";
const char kConnectDoc[] =
    "\n        get server stub\n        :param server:\n        :return:\n        ";

// [("grpc.max_send_message_length", N), ("grpc.max_receive_message_length", N),
//  ("grpc.max_reconnect_backoff_ms", kMaxReconnectBackoffMs)], a new list for every channel.
// gRPC's backoff between connection attempts grows to two minutes, and a
// fail-fast call in between fails without an attempt of its own (on grpcio),
// so a server back after a long outage would go unused for that long; capped,
// it is found within about a second.
Ref channel_options() {
    return check(Py_BuildValue("[(sl)(sl)(sl)]", "grpc.max_send_message_length", kMaxMessageLength,
                               "grpc.max_receive_message_length", kMaxMessageLength,
                               "grpc.max_reconnect_backoff_ms", kMaxReconnectBackoffMs));
}

// The channel of an entry: transport.insecure_channel(entry.addr, options=...),
// or, for an entry with TLS or a token, sorvane.security.open_channel(...).
// An entry's balancing policy, and for the channel of idempotent calls
// (`retrying`) its retry policy, go in as gRPC's service config
// (sorvane.routing.channel_options). Returns a new reference.
Ref open_channel(FunctionObject* self, PyObject* entry_obj, bool retrying = false) {
    State& st = state_of(self);
    Ref addr = getattr(entry_obj, st[N::addr]);
    Ref transport = global(self, N::transport);
    Ref options = channel_options();
    Ref balance = instance_setting(entry_obj, "balance");
    if (balance || retrying) {
        Ref routing = import("sorvane.routing");
        Ref policy;
        if (retrying) {
            policy = instance_setting(entry_obj, "retry_policy");
            if (!policy) policy = call(getattr(routing.get(), "retry_policy").get());
        }
        Ref extra = call(getattr(routing.get(), "channel_options").get(),
                         {balance ? balance.get() : Py_None, policy ? policy.get() : Py_None});
        Ref joined = check(PySequence_InPlaceConcat(options.get(), extra.get()));
        options = std::move(joined);
    }
    Ref tls = instance_setting(entry_obj, "tls");
    Ref token = instance_setting(entry_obj, "token");
    if (tls || token) {
        Ref security = import("sorvane.security");
        return call(getattr(security.get(), "open_channel").get(),
                    {transport.get(), addr.get(), options.get(), tls ? tls.get() : Py_None,
                     token ? token.get() : Py_None});
    }
    Ref factory = getattr(transport.get(), st[N::insecure_channel]);
    return call_kw(factory.get(), {addr.get()}, st.kw_options.get(), {options.get()});
}

// brindlow.CommonServiceStub(channel); the channel and an entry's default
// timeout, codec and wait_for_ready go with its stubs (as `_sorvane_channel`,
// `_sorvane_timeout`, `_sorvane_serialize`, `_sorvane_wait_for_ready`), and
// so does the way to the entry's stub for idempotent calls
// (`_sorvane_retrying`, entry.idempotent_stub) unless this is that stub.
// Returns a new reference.
Ref new_stub(FunctionObject* self, PyObject* channel, PyObject* entry_obj, bool retrying = false) {
    State& st = state_of(self);
    Ref brindlow = global(self, N::brindlow);
    Ref stub_class = getattr(brindlow.get(), st[N::CommonServiceStub]);
    Ref stub = call(stub_class.get(), {channel});
    // Streamed calls go over the same channel (sorvane.streaming); a stub
    // class that takes no attributes just has none.
    const bool takes_attributes = PyObject_SetAttrString(stub.get(), "_sorvane_channel", channel) == 0;
    if (!takes_attributes) PyErr_Clear();
    if (Ref timeout = instance_setting(entry_obj, "timeout")) setattr(stub.get(), "_sorvane_timeout", timeout.get());
    if (Ref code = instance_setting(entry_obj, "serialize")) setattr(stub.get(), st[N::stub_serialize], code.get());
    if (Ref ready = instance_setting(entry_obj, "wait_for_ready"))
        setattr(stub.get(), st[N::stub_wait_for_ready], ready.get());
    if (takes_attributes && !retrying) {
        Ref way = getattr(entry_obj, "idempotent_stub");
        setattr(stub.get(), st[N::stub_retrying], way.get());
    }
    return stub;
}

// A timeout in seconds: a positive real number.
void check_timeout(PyObject* timeout) {
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise_format(PyExc_TypeError, "timeout must be a number of seconds or None, not %.100s",
                     Py_TYPE(timeout)->tp_name);
    }
    if (!(seconds > 0.0)) raise(PyExc_ValueError, "timeout must be a positive number of seconds");
}

// A serialization code: an int that fits CommonRequest.serialize (uint32).
void check_serialize(PyObject* code) {
    if (!PyLong_Check(code) || PyBool_Check(code))
        raise_format(PyExc_TypeError, "serialize must be an int code (sorvane.codec), not %.100s",
                     Py_TYPE(code)->tp_name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(code, &overflow);
    if (overflow || v < 0 || v > 0xffffffffLL) raise(PyExc_ValueError, "serialize must be a code from 0 to 4294967295");
}

const char* const kSettings[] = {"tls", "token", "timeout", "serialize", "balance",
                                 "wait_for_ready", "retry_policy"};

// ---- Server -----------------------------------------------------------------

// addr is host + ":" + str(port), so a host that is not text fails like
// Python's concatenation (a host "dns:///NAME" makes gRPC's DNS target);
// a list or tuple of IP addresses makes an ipv4:/ipv6: target of them all
// (sorvane.routing.address_list). Attributes are set in their documented order.
Ref Server_init(FunctionObject* self, PyObject* const* argv) {
    enum { self_, server, host, port, tls, token, timeout, serialize, balance, wait_for_ready,
           retry_policy };
    State& st = state_of(self);
    PyObject* entry_obj = argv[self_];
    setattr(entry_obj, st[N::server], argv[server]);
    setattr(entry_obj, st[N::host], argv[host]);
    setattr(entry_obj, st[N::port], argv[port]);
    Ref addr;
    if (PyList_Check(argv[host]) || PyTuple_Check(argv[host])) {
        Ref routing = import("sorvane.routing");
        addr = call(getattr(routing.get(), "address_list").get(), {argv[host], argv[port]});
    } else {
        Ref colon = str(":");
        Ref host_colon = check(PyNumber_Add(argv[host], colon.get()));
        Ref port_text = check(PyObject_Str(argv[port]));
        addr = check(PyNumber_Add(host_colon.get(), port_text.get()));
    }
    setattr(entry_obj, st[N::addr], addr.get());
    setattr(entry_obj, st[N::channel_attr], Py_None);
    // A default timeout, TLS and a token, keyword-only: attributes only when
    // given, so that an entry without them is what it always was.
    if (argv[timeout] != Py_None) {
        check_timeout(argv[timeout]);
        setattr(entry_obj, "timeout", argv[timeout]);
    }
    set_security(entry_obj, argv[tls], argv[token], "ClientTls");
    // The codec of calls through the entry's stubs that leave theirs unsaid.
    if (argv[serialize] != Py_None) {
        check_serialize(argv[serialize]);
        setattr(entry_obj, "serialize", argv[serialize]);
    }
    // Several servers: the balancing policy, whether calls wait for a
    // server to be ready rather than fail while none is, and the retry
    // policy of calls marked idempotent.
    if (argv[balance] != Py_None || argv[retry_policy] != Py_None) {
        Ref routing = import("sorvane.routing");
        if (argv[balance] != Py_None)
            setattr(entry_obj, "balance",
                    call(getattr(routing.get(), "check_balance").get(), {argv[balance]}).get());
        if (argv[retry_policy] != Py_None)
            setattr(entry_obj, "retry_policy",
                    call(getattr(routing.get(), "retry_policy").get(), {argv[retry_policy]}).get());
    }
    if (argv[wait_for_ready] != Py_None) {
        if (!PyBool_Check(argv[wait_for_ready]))
            raise_format(PyExc_TypeError, "wait_for_ready must be True, False or None, not %.100s",
                         Py_TYPE(argv[wait_for_ready])->tp_name);
        setattr(entry_obj, "wait_for_ready", argv[wait_for_ready]);
    }
    return Ref::borrow(Py_None);
}
const FunctionDef Server_init_def = {
    "__init__", "Server.__init__", nullptr,
    {"self", "server", "host", "port", "*", "tls", "token", "timeout", "serialize", "balance",
     "wait_for_ready", "retry_policy"},
    Server_init, nullptr};

// type(self)(self.server, self.host, self.port): a subclass stays a subclass.
Ref Server_copy(FunctionObject* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* entry_obj = argv[0];
    Ref server = getattr(entry_obj, st[N::server]);
    Ref host = getattr(entry_obj, st[N::host]);
    Ref port = getattr(entry_obj, st[N::port]);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(entry_obj));
    Ref kwargs = check(PyDict_New());
    for (const char* name : kSettings)
        if (Ref value = instance_setting(entry_obj, name))
            check(PyDict_SetItemString(kwargs.get(), name, value.get()));
    Ref args = check(PyTuple_Pack(3, server.get(), host.get(), port.get()));
    return check(PyObject_Call(type, args.get(), PyDict_GET_SIZE(kwargs.get()) ? kwargs.get() : nullptr));
}
const FunctionDef Server_copy_def = {
    "copy", "Server.copy", nullptr, {"self"}, Server_copy, nullptr};

// The entry's own channel, opened on first use (unguarded: two first reads at
// once may each open one, and the later store wins).
Ref Server_channel(FunctionObject* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* entry_obj = argv[0];
    Ref current = getattr(entry_obj, st[N::channel_attr]);
    if (current.get() == Py_None) {
        Ref channel = open_channel(self, entry_obj);
        setattr(entry_obj, st[N::channel_attr], channel.get());
    }
    return getattr(entry_obj, st[N::channel_attr]);
}
const FunctionDef Server_channel_def = {
    "channel", "Server.channel", nullptr, {"self"}, Server_channel, nullptr};

// A new stub on self.channel at every entry.
Ref Server_enter(FunctionObject* self, PyObject* const* argv) {
    Ref channel = getattr(argv[0], state_of(self)[N::channel]);
    return new_stub(self, channel.get(), argv[0]);
}
const FunctionDef Server_enter_def = {
    "__enter__", "Server.__enter__", nullptr, {"self"}, Server_enter, nullptr};

// The stub of the entry's calls marked idempotent: on a channel of its own
// whose service config retries them (the entry's retry_policy, else
// sorvane.routing.DEFAULT_RETRY_POLICY), opened on first use and kept.
Ref Server_idempotent_stub(FunctionObject* self, PyObject* const* argv) {
    PyObject* entry_obj = argv[0];
    if (Ref stub = instance_setting(entry_obj, "_sorvane_retry_stub")) return stub;
    Ref channel = open_channel(self, entry_obj, true);
    setattr(entry_obj, "_sorvane_retry_channel", channel.get());
    Ref stub = new_stub(self, channel.get(), entry_obj, true);
    setattr(entry_obj, "_sorvane_retry_stub", stub.get());
    return stub;
}
const FunctionDef Server_idempotent_stub_def = {
    "idempotent_stub", "Server.idempotent_stub", nullptr, {"self"}, Server_idempotent_stub,
    nullptr};

// Closes self.channel (and the channel of idempotent calls, when one was
// opened) and returns None, so an exception from the block goes on.
Ref Server_exit(FunctionObject* self, PyObject* const* argv) {
    State& st = state_of(self);
    Ref channel = getattr(argv[0], st[N::channel]);
    if (Ref retry = instance_setting(argv[0], "_sorvane_retry_channel")) {
        check(PyObject_SetAttrString(argv[0], "_sorvane_retry_channel", Py_None));
        check(PyObject_SetAttrString(argv[0], "_sorvane_retry_stub", Py_None));
        call(getattr(retry.get(), st[N::close]).get());
    }
    call(getattr(channel.get(), st[N::close]).get());
    return Ref::borrow(Py_None);
}
const FunctionDef Server_exit_def = {
    "__exit__", "Server.__exit__", nullptr, {"self", "exc_type", "exc_val", "exc_tb"}, Server_exit,
    nullptr};

// ---- GrpcClient -------------------------------------------------------------

Ref GrpcClient_init(FunctionObject* self, PyObject* const* argv) {
    State& st = state_of(self);
    Ref stubs = check(PyDict_New());
    Ref server_address = check(PyDict_New());
    setattr(argv[0], st[N::stubs], stubs.get());
    setattr(argv[0], st[N::server_address], server_address.get());
    return Ref::borrow(Py_None);
}
const FunctionDef GrpcClient_init_def = {
    "__init__", "GrpcClient.__init__", nullptr, {"self"}, GrpcClient_init, nullptr};

// One new channel and stub per entry; `stubs` is updated before
// `server_address`, and entries done before a failure stay registered.
Ref GrpcClient_load(FunctionObject* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* registry = argv[0];
    Ref it = check(PyObject_GetIter(argv[1]));
    while (Ref entry_obj = Ref::steal(PyIter_Next(it.get()))) {
        Ref channel = open_channel(self, entry_obj.get());
        Ref stub = new_stub(self, channel.get(), entry_obj.get());
        Ref stubs = getattr(registry, st[N::stubs]);
        Ref name = getattr(entry_obj.get(), st[N::server]);
        check(PyObject_SetItem(stubs.get(), name.get(), stub.get()));
        Ref server_address = getattr(registry, st[N::server_address]);
        name = getattr(entry_obj.get(), st[N::server]);
        check(PyObject_SetItem(server_address.get(), name.get(), entry_obj.get()));
    }
    if (PyErr_Occurred()) throw PyErrAlreadySet{};
    return Ref::borrow(Py_None);
}
const FunctionDef GrpcClient_load_def = {
    "load", "GrpcClient.load", kLoadDoc, {"self", "servers"}, GrpcClient_load, nullptr};

// self.<table>.get(server): None for a name never loaded.
Ref registry_get(FunctionObject* self, PyObject* const* argv, N table) {
    State& st = state_of(self);
    Ref mapping = getattr(argv[0], st[table]);
    return mapping_get(st, mapping.get(), argv[1]);
}

Ref GrpcClient_connect(FunctionObject* self, PyObject* const* argv) {
    return registry_get(self, argv, N::stubs);
}
const FunctionDef GrpcClient_connect_def = {
    "connect", "GrpcClient.connect", kConnectDoc, {"self", "server"}, GrpcClient_connect, nullptr};

Ref GrpcClient_get_server(FunctionObject* self, PyObject* const* argv) {
    return registry_get(self, argv, N::server_address);
}
const FunctionDef GrpcClient_get_server_def = {
    "get_server", "GrpcClient.get_server", nullptr, {"self", "server"}, GrpcClient_get_server,
    nullptr};

Ref GrpcClient_handle(FunctionObject*, PyObject* const*) { return Ref::borrow(Py_None); }
const FunctionDef GrpcClient_handle_def = {
    "handle", "GrpcClient.handle", nullptr, {"self"}, GrpcClient_handle, nullptr};

}  // namespace

// ---- module-level definitions -----------------------------------------------

void define_Server(PyObject* m) {
    // tls, token, timeout, serialize, balance, wait_for_ready, retry_policy
    Ref init_defaults = defaults({Py_None, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None});
    Ref cls = make_class(m, "Server", nullptr, nullptr,
                         method(m, Server_init_def, init_defaults.get()),
                         method(m, Server_copy_def), read_only_property(m, Server_channel_def),
                         method(m, Server_enter_def), method(m, Server_exit_def),
                         method(m, Server_idempotent_stub_def));
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
