// GrpcServer: hosts one CommonService over a gRPC server.
//
// run_background builds the thread pool and the gRPC server from the instance's
// attributes as they are when it runs, registers the dispatcher, binds the
// address, starts and logs one INFO line; run_blocking parks the calling
// thread in the host's time.sleep (so the GIL is released and a keyboard
// interrupt arrives) until that interrupt stops the server; on any other
// thread, where no interrupt arrives, until the server has stopped. Every
// host object (futures, transport, brindlow, logger, time, CommonService) is
// looked up in the module namespace when it is used. A started server is
// handed to sorvane.process_exit, which stops it gracefully when the main
// thread returns; nothing else here stops a server except the interrupt path
// of run_blocking, and no executor is shut down.
#include "corvex.hpp"

namespace sorvane::corvex {

namespace {

const char kInitDoc[] =
    "\n        grpc server\n        Args:\n            host: address\n"
    "            port: Port number\n            max_workers: Number of worker threads\n"
    "            max_message_length: Can be set according to specific needs, set to 256 M here\n"
    "        ";

Ref none() { return Ref::borrow(Py_None); }

// self.<name>(), looked up on the instance.
Ref call_method(PyObject* self, PyObject* name) { return call(getattr(self, name).get()); }

Ref GrpcServer_init(FunctionObject* f, PyObject* const* argv) {
    const State& st = state_of(f);
    enum {
        self_, host, port, max_workers, max_message_length, tls, token, metrics_port,
        max_queued_calls, max_queued_bytes, request_wait
    };
    PyObject* self = argv[self_];
    // host + ":" + str(port): a host that is not text fails before anything is set.
    Ref address = check(PyNumber_Add(argv[host], st.colon.get()));
    Ref port_text = check(PyObject_Str(argv[port]));
    address = check(PyNumber_Add(address.get(), port_text.get()));
    setattr(self, st[N::address], address.get());
    setattr(self, st[N::max_workers], argv[max_workers]);
    Ref service = call(global(f, N::CommonService).get());
    setattr(self, st[N::service], service.get());
    setattr(self, st[N::rpc_server], Py_None);
    setattr(self, st[N::max_message_length], argv[max_message_length]);
    set_security(self, argv[tls], argv[token], "ServerTls");
    // The metrics port, keyword-only, an attribute only when given (as tls and
    // token are); sorvane.ops checks it when the server starts.
    if (argv[metrics_port] != Py_None) setattr(self, "metrics_port", argv[metrics_port]);
    // The admission settings likewise, checked now (sorvane.admission holds
    // their rules and defaults).
    const std::pair<int, const char*> admission_settings[] = {
        {max_queued_calls, "max_queued_calls"},
        {max_queued_bytes, "max_queued_bytes"},
        {request_wait, "request_wait"}};
    Ref admission;
    for (const auto& setting : admission_settings) {
        if (argv[setting.first] == Py_None) continue;
        if (!admission) admission = import("sorvane.admission");
        Ref name = str(setting.second);
        Ref value = call(getattr(admission.get(), "check_setting").get(),
                         {name.get(), argv[setting.first]});
        setattr(self, setting.second, value.get());
    }
    return none();
}
const FunctionDef GrpcServer_init_def = {
    "__init__", "GrpcServer.__init__", kInitDoc,
    {"self", "host", "port", "max_workers", "max_message_length", "*", "tls", "token",
     "metrics_port", "max_queued_calls", "max_queued_bytes", "request_wait"},
    GrpcServer_init, nullptr};

Ref GrpcServer_set_clazz_handler(FunctionObject* f, PyObject* const* argv) {
    const State& st = state_of(f);
    PyObject* self = argv[0];
    PyObject* func = argv[1];
    if (!PyCallable_Check(func)) return none();
    Ref service = getattr(self, st[N::service]);
    setattr(service.get(), st[N::clazz_handler], func);
    return none();
}
const FunctionDef GrpcServer_set_clazz_handler_def = {
    "set_clazz_handler", "GrpcServer.set_clazz_handler", nullptr, {"self", "func"},
    GrpcServer_set_clazz_handler, nullptr};

Ref GrpcServer_run(FunctionObject* f, PyObject* const* argv) {
    call_method(argv[0], state_of(f)[N::run_blocking]);
    return none();
}
const FunctionDef GrpcServer_run_def = {
    "run", "GrpcServer.run", nullptr, {"self"}, GrpcServer_run, nullptr};

Ref GrpcServer_run_background(FunctionObject* f, PyObject* const* argv) {
    const State& st = state_of(f);
    PyObject* self = argv[0];
    // executor = futures.ThreadPoolExecutor(max_workers=self.max_workers)
    Ref futures = global(f, N::futures);
    Ref pool_class = attr(futures.get(), st[N::ThreadPoolExecutor]);
    Ref max_workers = getattr(self, st[N::max_workers]);
    Ref executor = call_kw(pool_class.get(), {}, st.kw_max_workers.get(), {max_workers.get()});
    // self.rpc_server = sorvane.admission.server_for(self, transport, executor,
    //     [(send, n), (receive, n)]): transport.server(executor, options=...) with
    // the admission settings added (an admitting server on grpcio).
    Ref transport = global(f, N::transport);
    Ref send = getattr(self, st[N::max_message_length]);
    Ref receive = getattr(self, st[N::max_message_length]);
    Ref options = check(Py_BuildValue("[(OO)(OO)]", st.send_limit.get(), send.get(),
                                      st.receive_limit.get(), receive.get()));
    Ref server_for = getattr(import("sorvane.admission").get(), "server_for");
    Ref rpc_server =
        call(server_for.get(), {self, transport.get(), executor.get(), options.get()});
    setattr(self, st[N::rpc_server], rpc_server.get());
    // brindlow.add_CommonServiceServicer_to_server(self.service, self.rpc_server);
    // with a token, the handler is registered behind the token check.
    Ref brindlow = global(f, N::brindlow);
    Ref add = attr(brindlow.get(), st[N::add_servicer]);
    Ref service = getattr(self, st[N::service]);
    Ref registered_on = getattr(self, st[N::rpc_server]);
    Ref tls = instance_setting(self, "tls");
    Ref token = instance_setting(self, "token");
    Ref security = (tls || token) ? import("sorvane.security") : Ref();
    if (token)
        registered_on = call(getattr(security.get(), "TokenCheckedServer").get(),
                             {registered_on.get(), token.get()});
    call(add.get(), {service.get(), registered_on.get()});
    // sorvane.ops.attach(self, self.rpc_server, registered_on): health, the
    // listing and metrics, behind the same token check as the dispatcher.
    Ref ops = import("sorvane.ops");
    call(getattr(ops.get(), "attach").get(),
         {self, getattr(self, st[N::rpc_server]).get(), registered_on.get()});
    // self.rpc_server.add_insecure_port(self.address), or add_secure_port
    // with the credentials of the TLS material.
    if (tls) {
        Ref credentials = call(getattr(tls.get(), "credentials").get(), {transport.get()});
        Ref add_port = getattr(getattr(self, st[N::rpc_server]).get(), "add_secure_port");
        call(add_port.get(), {getattr(self, st[N::address]).get(), credentials.get()});
    } else {
        Ref add_port = getattr(getattr(self, st[N::rpc_server]).get(), st[N::add_insecure_port]);
        call(add_port.get(), {getattr(self, st[N::address]).get()});
    }
    // self.rpc_server.start(); sorvane.process_exit.stop_at_exit(self.rpc_server)
    Ref started = getattr(self, st[N::rpc_server]);
    call_method(started.get(), st[N::start]);
    call(getattr(import("sorvane.process_exit").get(), "stop_at_exit").get(), {started.get()});
    // logger.info("grpc server running, listen on " + self.address)
    Ref logger = global(f, N::logger);
    Ref info = getattr(logger.get(), st[N::info]);
    Ref line = check(PyNumber_Add(st.running.get(), getattr(self, st[N::address]).get()));
    call(info.get(), {line.get()});
    return none();
}
const FunctionDef GrpcServer_run_background_def = {
    "run_background", "GrpcServer.run_background", nullptr, {"self"},
    GrpcServer_run_background, nullptr};

// Whether the calling thread is the main one (where signal handlers run).
bool on_main_thread() {
    Ref threading = import("threading");
    Ref main = call(getattr(threading.get(), "main_thread").get());
    Ref current = call(getattr(threading.get(), "current_thread").get());
    return main.get() == current.get();
}

// self.run_background()
// if threading.current_thread() is not threading.main_thread():
//     sorvane.process_exit.wait_stopped(self.rpc_server)
//     return
// try:
//     while True:
//         time.sleep(86400)
// except KeyboardInterrupt:
//     self.rpc_server.stop(0)
Ref GrpcServer_run_blocking(FunctionObject* f, PyObject* const* argv) {
    const State& st = state_of(f);
    PyObject* self = argv[0];
    call_method(self, st[N::run_background]);
    if (!on_main_thread()) {
        // No interrupt reaches this thread: it waits for the server to stop
        // (by rpc_server.stop, or gracefully when the main thread returns) so
        // that the process can end.
        Ref server = getattr(self, st[N::rpc_server]);
        call(getattr(import("sorvane.process_exit").get(), "wait_stopped").get(), {server.get()});
        return none();
    }
    try {
        for (;;) {
            // Where the interpreter would run pending signal handlers on each
            // pass through the loop.
            check(PyErr_CheckSignals());
            Ref time = global(f, N::time);
            call(attr(time.get(), st[N::sleep]).get(), {st.one_day.get()});
        }
    } catch (...) {
        translate_current_exception();
    }
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw PyErrAlreadySet{};
    HandledException interrupt;
    Ref stop = getattr(getattr(self, st[N::rpc_server]).get(), st[N::stop]);
    call(stop.get(), {st.zero.get()});
    return none();
}
const FunctionDef GrpcServer_run_blocking_def = {
    "run_blocking", "GrpcServer.run_blocking", nullptr, {"self"}, GrpcServer_run_blocking,
    nullptr};

}  // namespace

void define_GrpcServer(PyObject* m) {
    Ref host = str("0.0.0.0");
    Ref port = check(PyLong_FromLong(6565));
    Ref max_workers = check(PyLong_FromLong(10));
    Ref max_message_length = check(PyLong_FromLong(kMaxMessageLength));
    Ref init_defaults = defaults(
        {host.get(), port.get(), max_workers.get(), max_message_length.get(), Py_None, Py_None,
         Py_None, Py_None, Py_None, Py_None});
    Ref cls = make_class(m, "GrpcServer", nullptr, nullptr,
                         method(m, GrpcServer_init_def, init_defaults.get()),
                         method(m, GrpcServer_set_clazz_handler_def),
                         method(m, GrpcServer_run_def),
                         method(m, GrpcServer_run_background_def),
                         method(m, GrpcServer_run_blocking_def));
    bind(m, "GrpcServer", cls.get());
}

}  // namespace sorvane::corvex
