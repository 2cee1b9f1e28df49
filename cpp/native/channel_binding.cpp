// ChannelHost: a channel host, with unary calls (blocking or with a
// completion, ClientCall) and calls with a stream of responses (ClientStream).
#include "binding.hpp"

namespace sorvane::native::binding {
namespace {

Ref result_tuple(CallResult& r) {
    Ref code = check(PyLong_FromLong(r.code));
    Ref details = py_text(r.details);
    Ref body = r.has_body ? check(PyBytes_FromStringAndSize(r.body.data(), r.body.size()))
                          : Ref::borrow(Py_None);
    Ref initial = metadata_to(r.initial);
    Ref trailing = metadata_to(r.trailing);
    Ref debug = py_text(r.debug_error);
    return check(PyTuple_Pack(6, code.get(), details.get(), body.get(), initial.get(),
                              trailing.get(), debug.get()));
}

struct ClientCallObject {
    PyObject_HEAD
    std::shared_ptr<PendingCall>* call;
    PyObject* item;  // a woken call's item, held by its wake-up (not here)
    bool lent;       // _lend() gave a handle not yet given back
};

// Gives a lent handle back; a call that ended there will not hand its item to
// the wake-up, so the wake-up's reference to it is dropped here. True then.
bool give_back(ClientCallObject* self, bool read = false) {
    if (!self->lent) return false;
    self->lent = false;
    std::shared_ptr<PendingCall> call = *self->call;
    bool claimed;
    Py_BEGIN_ALLOW_THREADS
    claimed = call->give_back(read);
    Py_END_ALLOW_THREADS
    if (claimed && self->item) Py_CLEAR(self->item);
    return claimed;
}

void ClientCall_dealloc(ClientCallObject* self) {
    give_back(self);
    delete self->call;
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

// _lend(): True when the connection's socket is lent to the loop that
// started a woken call, for its reply (the loop then waits on it with
// _wait_lent, or watches _lent_handle(), and calls _give_back() once);
// False when the wake-up brings it.
PyObject* ClientCall_lend(ClientCallObject* self, PyObject*) {
    if (self->lent || !self->item) Py_RETURN_FALSE;
    self->lent = (*self->call)->lend();
    return PyBool_FromLong(self->lent);
}

// _lent_handle(): a socket number for the loop to watch while the socket is
// lent, or -1 (the loan ended).
PyObject* ClientCall_lent_handle(ClientCallObject* self, PyObject*) {
    if (!self->lent) return PyLong_FromLong(-1);
    std::shared_ptr<PendingCall> call = *self->call;
    long long handle;
    Py_BEGIN_ALLOW_THREADS
    handle = call->lent_handle();
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(handle);
}

// _wait_lent(fd, seconds): waits up to `seconds` on the lent socket, reading
// what comes, until the descriptor `fd` (the waiting loop's own) is readable;
// True when the call ended here: its wake-up will not bring it.
PyObject* ClientCall_wait_lent(ClientCallObject* self, PyObject* const* args, Py_ssize_t nargs) {
    long long other = -1;
    double seconds = 0;
    if (entry_status([&] {
            if (nargs != 2) raise(PyExc_TypeError, "_wait_lent() takes a descriptor and seconds");
            other = PyLong_AsLongLong(args[0]);
            if (other == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
            seconds = PyFloat_AsDouble(args[1]);
            if (seconds == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
            if (other < 0) raise(PyExc_ValueError, "a descriptor is needed");
        }) < 0)
        return nullptr;
    if (!self->lent || !self->item) Py_RETURN_FALSE;
    std::shared_ptr<PendingCall> call = *self->call;
    bool claimed;
    Py_BEGIN_ALLOW_THREADS
    claimed = call->wait_lent(other, seconds);
    Py_END_ALLOW_THREADS
    if (claimed && self->item) Py_CLEAR(self->item);
    return PyBool_FromLong(claimed);
}

// _give_back(read=False): ends the loan (reading what came, with `read`);
// True when the call ended as its reply was read here: its wake-up will not
// bring it.
PyObject* ClientCall_give_back(ClientCallObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "_give_back() takes at most one argument");
        return nullptr;
    }
    int read = nargs ? PyObject_IsTrue(args[0]) : 0;
    if (read < 0) return nullptr;
    return PyBool_FromLong(give_back(self, read != 0));
}

PyObject* ClientCall_wait(ClientCallObject* self, PyObject* arg) {
    double timeout = 0;
    if (entry_status([&] { timeout = timeout_from(arg); }) < 0) return nullptr;
    std::shared_ptr<PendingCall> call = *self->call;
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = call->wait(timeout);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(done);
}

PyObject* ClientCall_done(ClientCallObject* self, PyObject*) {
    return PyBool_FromLong((*self->call)->done());
}

PyObject* ClientCall_cancel(ClientCallObject* self, PyObject*) {
    std::shared_ptr<PendingCall> call = *self->call;
    Py_BEGIN_ALLOW_THREADS
    call->cancel();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* ClientCall_result(ClientCallObject* self, PyObject*) {
    return entry([&]() -> Ref {
        if (!(*self->call)->done()) raise(PyExc_RuntimeError, "the call is not done");
        return result_tuple((*self->call)->result());
    });
}

PyMethodDef ClientCall_methods[] = {
    {"wait", reinterpret_cast<PyCFunction>(ClientCall_wait), METH_O, nullptr},
    {"done", reinterpret_cast<PyCFunction>(ClientCall_done), METH_NOARGS, nullptr},
    {"cancel", reinterpret_cast<PyCFunction>(ClientCall_cancel), METH_NOARGS, nullptr},
    {"result", reinterpret_cast<PyCFunction>(ClientCall_result), METH_NOARGS, nullptr},
    {"_lend", reinterpret_cast<PyCFunction>(ClientCall_lend), METH_NOARGS, nullptr},
    {"_lent_handle", reinterpret_cast<PyCFunction>(ClientCall_lent_handle), METH_NOARGS, nullptr},
    {"_wait_lent", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ClientCall_wait_lent)),
     METH_FASTCALL, nullptr},
    {"_give_back", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ClientCall_give_back)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr}};


struct ClientStreamObject {
    PyObject_HEAD
    std::shared_ptr<ResponseStream>* stream;
};

// A stream nobody can read any more is cancelled, as grpcio's is.
void ClientStream_dealloc(ClientStreamObject* self) {
    if (self->stream) {
        std::shared_ptr<ResponseStream> stream = std::move(*self->stream);
        delete self->stream;
        Py_BEGIN_ALLOW_THREADS
        stream->cancel();
        stream.reset();
        Py_END_ALLOW_THREADS
    }
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

// The next message as bytes, or None once the stream has ended (the status is
// then known). Waits without the GIL, in slices so that a signal (Ctrl-C) can
// end the wait: the call is then cancelled and the error raised.
PyObject* ClientStream_read(ClientStreamObject* self, PyObject*) {
    std::shared_ptr<ResponseStream> stream = *self->stream;
    std::string message;
    int got;
    Py_BEGIN_ALLOW_THREADS
    got = stream->read(0.25, &message);
    Py_END_ALLOW_THREADS
    while (got < 0) {
        if (PyErr_CheckSignals() < 0) {
            Py_BEGIN_ALLOW_THREADS
            stream->cancel();
            Py_END_ALLOW_THREADS
            return nullptr;
        }
        Py_BEGIN_ALLOW_THREADS
        got = stream->read(0.25, &message);
        Py_END_ALLOW_THREADS
    }
    if (got == 0) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(message.data(), message.size());
}

std::shared_ptr<Wakeup> wakeup_of(PyObject* waker);

// poll(waker, item): the next message as bytes if one is here, None once the
// stream has ended, else False: `item` then goes to `waker` (a Waker) when a
// message arrives or the stream ends, and the reader polls again. Never waits.
PyObject* ClientStream_poll(ClientStreamObject* self, PyObject* const* args, Py_ssize_t n) {
    return entry([&]() -> Ref {
        if (n != 2) raise(PyExc_TypeError, "poll() takes a Waker and an item");
        std::shared_ptr<Wakeup> wakeup = wakeup_of(args[0]);
        std::shared_ptr<ResponseStream> stream = *self->stream;
        std::string message;
        int got = stream->read(0, &message);
        if (got == 1)
            return check(PyBytes_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (got == 0) return Ref::borrow(Py_None);
        PyObject* item = args[1];
        Py_INCREF(item);  // the wake-up's until drained
        stream->notify([wakeup = std::move(wakeup), item] { wakeup->push(item); });
        return Ref::borrow(Py_False);
    });
}

// Waits up to `timeout` seconds (None: forever) for the status; True once known.
PyObject* ClientStream_wait(ClientStreamObject* self, PyObject* arg) {
    double timeout = 0;
    if (entry_status([&] { timeout = timeout_from(arg); }) < 0) return nullptr;
    std::shared_ptr<ResponseStream> stream = *self->stream;
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = stream->wait(timeout);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(done);
}

// Waits up to `timeout` seconds for the initial metadata; it (a tuple of
// pairs), or None when the time ran out.
PyObject* ClientStream_initial_metadata(ClientStreamObject* self, PyObject* arg) {
    double timeout = 0;
    if (entry_status([&] { timeout = timeout_from(arg); }) < 0) return nullptr;
    std::shared_ptr<ResponseStream> stream = *self->stream;
    bool arrived;
    Py_BEGIN_ALLOW_THREADS
    arrived = stream->wait_initial(timeout);
    Py_END_ALLOW_THREADS
    if (!arrived) Py_RETURN_NONE;
    return entry([&]() -> Ref { return metadata_to(stream->result().initial); });
}

PyObject* ClientStream_done(ClientStreamObject* self, PyObject*) {
    return PyBool_FromLong((*self->stream)->done());
}

PyObject* ClientStream_cancel(ClientStreamObject* self, PyObject*) {
    std::shared_ptr<ResponseStream> stream = *self->stream;
    Py_BEGIN_ALLOW_THREADS
    stream->cancel();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// (code, details, None, initial, trailing, debug) once the status is known.
PyObject* ClientStream_result(ClientStreamObject* self, PyObject*) {
    return entry([&]() -> Ref {
        if (!(*self->stream)->done()) raise(PyExc_RuntimeError, "the call is not done");
        return result_tuple((*self->stream)->result());
    });
}

PyMethodDef ClientStream_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(ClientStream_read), METH_NOARGS, nullptr},
    {"poll", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ClientStream_poll)),
     METH_FASTCALL, nullptr},
    {"wait", reinterpret_cast<PyCFunction>(ClientStream_wait), METH_O, nullptr},
    {"initial_metadata", reinterpret_cast<PyCFunction>(ClientStream_initial_metadata), METH_O,
     nullptr},
    {"done", reinterpret_cast<PyCFunction>(ClientStream_done), METH_NOARGS, nullptr},
    {"cancel", reinterpret_cast<PyCFunction>(ClientStream_cancel), METH_NOARGS, nullptr},
    {"result", reinterpret_cast<PyCFunction>(ClientStream_result), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};


int ChannelHost_init(ChannelHostObject* self, PyObject* args, PyObject* kwargs) {
    std::string target;
    std::vector<ChannelArg> args_c;
    TlsConfig tls;
    bool secure = false;
    if (entry_status([&] {
            static const char* kwlist[] = {"target", "options", "tls", nullptr};
            const char* text;
            PyObject* options = Py_None;
            PyObject* tls_obj = Py_None;
            if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|OO", const_cast<char**>(kwlist),
                                             &text, &options, &tls_obj))
                throw PyErrAlreadySet{};
            if (self->host) raise(PyExc_RuntimeError, "ChannelHost is already initialized");
            target = text;
            args_c = channel_args_from(options);
            secure = tls_from(tls_obj, tls);
        }) < 0)
        return -1;
    Error error;
    std::shared_ptr<ChannelHost> host;
    Py_BEGIN_ALLOW_THREADS
    host = ChannelHost::create(target, args_c, secure ? &tls : nullptr, &error);
    Py_END_ALLOW_THREADS
    if (!host) {
        set_error(error);
        return -1;
    }
    self->host = new std::shared_ptr<ChannelHost>(std::move(host));
    return 0;
}

void ChannelHost_dealloc(ChannelHostObject* self) {
    if (self->host) {
        std::shared_ptr<ChannelHost> host = std::move(*self->host);
        delete self->host;
        Py_BEGIN_ALLOW_THREADS
        host->close();
        host.reset();
        Py_END_ALLOW_THREADS
    }
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}


// (method, request_bytes, timeout, metadata, wait_for_ready[, on_done])
CallArgs call_args(PyObject* const* argv) {
    CallArgs a;
    a.method = bytes_of(argv[0], "method");
    if (!PyBytes_Check(argv[1]))
        raise_format(PyExc_TypeError, "a serialized request must be bytes, not %.100s",
                     Py_TYPE(argv[1])->tp_name);
    a.body = lent_payload(Ref::borrow(argv[1]));
    a.timeout = timeout_from(argv[2]);
    a.metadata = metadata_from(argv[3]);
    a.wait_for_ready = wait_for_ready_from(argv[4]);
    return a;
}


// Blocking unary call; waits without the GIL (see wait_unary).
PyObject* ChannelHost_unary(ChannelHostObject* self, PyObject* args) {
    CallArgs a;
    std::shared_ptr<ChannelHost> channel;
    if (entry_status([&] {
            if (PyTuple_GET_SIZE(args) != 5) raise(PyExc_TypeError, "unary() takes 5 arguments");
            a = call_args(&PyTuple_GET_ITEM(args, 0));
            channel = channel_of(self);
        }) < 0)
        return nullptr;
    std::shared_ptr<PendingCall> call = wait_unary(*channel, a);
    if (!call) return nullptr;
    return entry([&]() -> Ref { return result_tuple(call->result()); });
}

// A completion hook calling `on_done` (or nothing, for None) with no
// arguments on a gRPC thread, once. The hook owns a reference to it, released
// there with the GIL. Borrows on_done.
std::function<void()> python_hook(PyObject* on_done) {
    if (on_done == Py_None) return {};
    auto owned = std::make_shared<PyObject*>(on_done);
    Py_INCREF(on_done);
    return [owned] {
        if (!python_usable()) return;  // the interpreter is going: leak it
        GilAcquire gil;
        PyObject* f = *owned;
        *owned = nullptr;
        if (!f) return;
        PyObject* r = PyObject_CallObject(f, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(f);
        Py_DECREF(f);
    };
}

// Starts a unary call; on_done (or None) is called with no arguments on a
// gRPC thread once it is done. Returns a ClientCall.
PyObject* ChannelHost_start(ChannelHostObject* self, PyObject* args) {
    return entry([&]() -> Ref {
        if (PyTuple_GET_SIZE(args) != 6) raise(PyExc_TypeError, "start() takes 6 arguments");
        CallArgs a = call_args(&PyTuple_GET_ITEM(args, 0));
        return start_call(self, a, PyTuple_GET_ITEM(args, 5));
    });
}

// Starts a call with a stream of responses, with start()'s arguments; on_done
// is called once its status is known. Returns a ClientStream.
PyObject* ChannelHost_stream(ChannelHostObject* self, PyObject* args) {
    CallArgs a;
    std::shared_ptr<ChannelHost> channel;
    std::function<void()> hook;
    if (entry_status([&] {
            if (PyTuple_GET_SIZE(args) != 6) raise(PyExc_TypeError, "stream() takes 6 arguments");
            a = call_args(&PyTuple_GET_ITEM(args, 0));
            channel = channel_of(self);
            hook = python_hook(PyTuple_GET_ITEM(args, 5));
        }) < 0)
        return nullptr;
    auto* obj = PyObject_New(ClientStreamObject, client_stream_type());
    if (!obj) return nullptr;
    obj->stream = nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(obj));
    Error error;
    std::shared_ptr<ResponseStream> stream;
    Py_BEGIN_ALLOW_THREADS
    stream = channel->stream(a.method, std::move(a.body), a.timeout, a.metadata, a.wait_for_ready,
                             std::move(hook), &error);
    Py_END_ALLOW_THREADS
    if (!stream) {
        set_error(error);
        return nullptr;
    }
    obj->stream = new std::shared_ptr<ResponseStream>(std::move(stream));
    return owner.release();
}

PyObject* ChannelHost_connectivity(ChannelHostObject* self, PyObject* arg) {
    bool try_to_connect = false;
    std::shared_ptr<ChannelHost> channel;
    if (entry_status([&] {
            try_to_connect = check(PyObject_IsTrue(arg)) != 0;
            channel = channel_of(self);
        }) < 0)
        return nullptr;
    int state;
    Py_BEGIN_ALLOW_THREADS
    state = channel->connectivity(try_to_connect);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(state);
}

PyObject* ChannelHost_close(ChannelHostObject* self, PyObject*) {
    std::shared_ptr<ChannelHost> channel;
    if (entry_status([&] { channel = channel_of(self); }) < 0) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    channel->close();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef ChannelHost_methods[] = {
    {"unary", reinterpret_cast<PyCFunction>(ChannelHost_unary), METH_VARARGS, nullptr},
    {"start", reinterpret_cast<PyCFunction>(ChannelHost_start), METH_VARARGS, nullptr},
    {"stream", reinterpret_cast<PyCFunction>(ChannelHost_stream), METH_VARARGS, nullptr},
    {"connectivity", reinterpret_cast<PyCFunction>(ChannelHost_connectivity), METH_O, nullptr},
    {"close", reinterpret_cast<PyCFunction>(ChannelHost_close), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

std::shared_ptr<ChannelHost> channel_of(ChannelHostObject* self) {
    if (!self->host) raise(PyExc_RuntimeError, "ChannelHost is not initialized");
    return *self->host;
}

// ---- Waker -------------------------------------------------------------------------

namespace {

// Waker(socket): wakes an asyncio loop for calls started with it. `socket` is
// one end of a connected pair (kept here, so its number stays its own); the
// loop reads the other end, and then takes the ended calls' items with
// drain(). Items are Python objects, owned while they wait.
struct WakerObject {
    PyObject_HEAD
    std::shared_ptr<Wakeup>* wakeup;
    PyObject* socket;
};

int Waker_init(WakerObject* self, PyObject* args, PyObject*) {
    return entry_status([&] {
        PyObject* socket;
        if (!PyArg_ParseTuple(args, "O", &socket)) throw PyErrAlreadySet{};
        if (self->wakeup) raise(PyExc_RuntimeError, "Waker is already initialized");
        Ref fileno = ::sorvane::support::call(getattr(socket, "fileno").get(), {});
        long long fd = PyLong_AsLongLong(fileno.get());
        if (fd == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
        if (fd < 0) raise(PyExc_ValueError, "the socket is closed");
        self->wakeup = new std::shared_ptr<Wakeup>(Wakeup::create(fd, decref_later));
        store(self->socket, socket);
    });
}

void waker_close(WakerObject* self) {
    if (!self->wakeup) return;
    (*self->wakeup)->close();
    for (void* item : (*self->wakeup)->drain()) Py_DECREF(static_cast<PyObject*>(item));
}

void Waker_dealloc(WakerObject* self) {
    waker_close(self);
    delete self->wakeup;
    self->wakeup = nullptr;
    Py_CLEAR(self->socket);  // after close(): nothing writes to it any more
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* Waker_drain(WakerObject* self, PyObject*) {
    return entry([&]() -> Ref {
        if (!self->wakeup) raise(PyExc_RuntimeError, "Waker is not initialized");
        std::vector<void*> items = (*self->wakeup)->drain();
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
        for (size_t i = 0; i < items.size(); ++i)  // the list takes each item's reference
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), static_cast<PyObject*>(items[i]));
        return list;
    });
}

std::shared_ptr<Wakeup> wakeup_of(PyObject* waker) {
    if (Py_TYPE(waker) != waker_type() || !reinterpret_cast<WakerObject*>(waker)->wakeup)
        raise(PyExc_TypeError, "a Waker is needed");
    return *reinterpret_cast<WakerObject*>(waker)->wakeup;
}

PyObject* Waker_close(WakerObject* self, PyObject*) {
    waker_close(self);
    Py_RETURN_NONE;
}

PyMethodDef Waker_methods[] = {
    {"drain", reinterpret_cast<PyCFunction>(Waker_drain), METH_NOARGS, nullptr},
    {"close", reinterpret_cast<PyCFunction>(Waker_close), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject* waker_type() {
    static PyTypeObject type = new_type(
        "sorvane._native.Waker", sizeof(WakerObject), reinterpret_cast<destructor>(Waker_dealloc),
        Waker_methods, "Wakes an asyncio loop for the calls that ended.",
        reinterpret_cast<initproc>(Waker_init));
    return &type;
}

namespace {

// A ClientCall for a started call.
Ref client_call(std::shared_ptr<PendingCall> call, PyObject* item = nullptr) {
    auto* obj = PyObject_New(ClientCallObject, client_call_type());
    if (!obj) throw PyErrAlreadySet{};
    obj->call = new std::shared_ptr<PendingCall>(std::move(call));
    obj->item = item;
    obj->lent = false;
    return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

}  // namespace

Ref start_woken(ChannelHostObject* self, CallArgs& a, PyObject* waker, PyObject* item) {
    std::shared_ptr<Wakeup> wakeup = wakeup_of(waker);
    std::shared_ptr<ChannelHost> channel = channel_of(self);
    Error error;
    Py_INCREF(item);  // the wake-up's until drained
    std::shared_ptr<PendingCall> call = channel->start_woken(
        a.method, std::move(a.body), a.timeout, a.metadata, a.wait_for_ready,
        std::move(wakeup), item, &error);
    if (!call) {
        Py_DECREF(item);
        raise_error(error);
    }
    return client_call(std::move(call), item);
}

Ref start_call(ChannelHostObject* self, CallArgs& a, PyObject* on_done) {
    std::shared_ptr<ChannelHost> channel = channel_of(self);
    std::function<void()> hook = python_hook(on_done);
    // Starting waits for nothing (the call is queued, or written out on this
    // thread when its connection is idle), so the GIL stays: giving it up
    // here would let the completion threads take it, and a caller starting
    // many calls in a row would wait for it again at each one.
    Error error;
    std::shared_ptr<PendingCall> call =
        channel->start(a.method, std::move(a.body), a.timeout, a.metadata, a.wait_for_ready,
                       std::move(hook), &error);
    if (!call) raise_error(error);
    return client_call(std::move(call));
}

std::shared_ptr<PendingCall> pending_of(PyObject* client_call) {
    if (Py_TYPE(client_call) != client_call_type())
        raise_format(PyExc_TypeError, "a ClientCall is needed, not %.100s",
                     Py_TYPE(client_call)->tp_name);
    return *reinterpret_cast<ClientCallObject*>(client_call)->call;
}

std::shared_ptr<PendingCall> wait_unary(ChannelHost& channel, CallArgs& a) {
    Error error;
    std::shared_ptr<PendingCall> call;
    Py_BEGIN_ALLOW_THREADS
    call = channel.start(a.method, std::move(a.body), a.timeout, a.metadata, a.wait_for_ready, {},
                         &error);
    if (call) call->wait(0.25);
    Py_END_ALLOW_THREADS
    if (!call) {
        set_error(error);
        return nullptr;
    }
    while (!call->done()) {
        if (PyErr_CheckSignals() < 0) {
            Py_BEGIN_ALLOW_THREADS
            call->cancel();
            call->wait(-1);
            Py_END_ALLOW_THREADS
            return nullptr;
        }
        Py_BEGIN_ALLOW_THREADS
        call->wait(0.25);
        Py_END_ALLOW_THREADS
    }
    return call;
}

PyTypeObject* client_call_type() {
    static PyTypeObject type = new_type(
        "sorvane._native.ClientCall", sizeof(ClientCallObject),
        reinterpret_cast<destructor>(ClientCall_dealloc), ClientCall_methods,
        "A started native unary call.");
    return &type;
}

PyTypeObject* client_stream_type() {
    static PyTypeObject type = new_type(
        "sorvane._native.ClientStream", sizeof(ClientStreamObject),
        reinterpret_cast<destructor>(ClientStream_dealloc), ClientStream_methods,
        "A started native call with a stream of responses.");
    return &type;
}

PyTypeObject* channel_host_type() {
    static PyTypeObject type = new_type(
        "sorvane._native.ChannelHost", sizeof(ChannelHostObject),
        reinterpret_cast<destructor>(ChannelHost_dealloc), ChannelHost_methods,
        "A native gRPC channel host.", reinterpret_cast<initproc>(ChannelHost_init));
    return &type;
}

}  // namespace sorvane::native::binding
