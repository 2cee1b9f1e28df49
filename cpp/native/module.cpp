// sorvane._native: the Python face of the native engine's platform layer.
//
// Six private types (their files are listed in binding.hpp), wrapped by
// sorvane.native into grpcio's interfaces:
//   ServerHost      - a server host; runs the handlers registered in Python
//   ServicerContext - the context of one server-side call
//   ChannelHost     - a channel host; unary calls, blocking or with a
//                     completion, and calls with a stream of responses
//   UnaryUnary      - a channel's unary-unary callable
//   ClientCall      - a started unary call (for futures)
//   ClientStream    - a started call with a stream of responses
// The GIL is held only to resolve the handler, deserialize, run it (and pull
// each streamed response from its iterator) and serialize (server) and to
// convert arguments and results (client); every wait runs without it.
// Threads of the engine enter Python only while the interpreter is alive (a
// flag cleared at exit, before finalization). This file: the module itself.
#include "binding.hpp"

using namespace sorvane::native::binding;

namespace {

// _call_soon(fn): calls fn() on a callback thread; what it raises is
// reported as unraisable.
PyObject* transport_call_soon(PyObject*, PyObject* fn) {
    if (!PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "_call_soon() takes a callable");
        return nullptr;
    }
    Py_INCREF(fn);
    call_later([fn] {
        if (!python_usable()) return;  // leaked with the interpreter
        HandlerRunning running;
        GilAcquire gil;
        PyObject* r = PyObject_CallObject(fn, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(fn);
        Py_DECREF(fn);
    });
    Py_RETURN_NONE;
}

// Called at interpreter exit (atexit), after the engine stopped its servers:
// from now on no thread of gRPC or of a server host enters Python.
PyObject* transport_finalize(PyObject*, PyObject*) {
    g_alive.store(false);
    Py_RETURN_NONE;
}

// _wait_handlers(seconds) -> True once no server host thread runs Python code
// (False when `seconds` passed first). Waits without the GIL.
PyObject* transport_wait_handlers(PyObject*, PyObject* arg) {
    const double seconds = PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    bool idle;
    Py_BEGIN_ALLOW_THREADS
    idle = wait_no_handlers(seconds);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(idle);
}

PyMethodDef module_methods[] = {
    {"_wait_handlers", transport_wait_handlers, METH_O,
     "Waits up to the given seconds for no handler to run; True when none runs."},
    {"_finalize", transport_finalize, METH_NOARGS,
     "Stops native threads from entering Python (called at exit)."},
    {"_call_soon", transport_call_soon, METH_O,
     "Calls the callable with no arguments on a callback thread."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sorvane._native",
                          "The native engine's transport core (private; see sorvane.native).",
                          -1, module_methods, nullptr, nullptr, nullptr, nullptr};

// The completion threads take the GIL once for each batch of hooks, with a
// Python thread state each keeps for good (they live as long as the process):
// making and freeing one per batch costs more than the hooks.
void* completion_batch_begin() {
    if (!python_usable()) return nullptr;
    return new HostGil();
}

void completion_batch_end(void* token) { delete static_cast<HostGil*>(token); }

}  // namespace

#if defined(_WIN32)
extern "C" __declspec(dllexport) PyObject* PyInit__native(void)
#else
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void)
#endif
{
    return entry([]() -> Ref {
        compat::init_threads();
        for (PyTypeObject* t : {servicer_context_type(), server_host_type(), deferred_reply_type(),
                                client_call_type(), client_stream_type(), channel_host_type(),
                                unary_unary_type(), waker_type(), message_type()})
            check(PyType_Ready(t));
        Ref m = check(PyModule_Create(&module_def));
        for (auto [name, t] : {std::pair<const char*, PyTypeObject*>{"ServicerContext", servicer_context_type()},
                               {"ServerHost", server_host_type()},
                               {"ClientCall", client_call_type()},
                               {"ClientStream", client_stream_type()},
                               {"ChannelHost", channel_host_type()},
                               {"UnaryUnary", unary_unary_type()},
                               {"Waker", waker_type()},
                               {"Message", message_type()}}) {
            Py_INCREF(t);
            check(PyModule_AddObject(m.get(), name, reinterpret_cast<PyObject*>(t)));
        }
        Ref wire = check(channel_wire_api());
        check(PyModule_AddObject(m.get(), "_wire_api", wire.get()));
        wire.release();  // the module holds it now
        sorvane::native::set_completion_batch({completion_batch_begin, completion_batch_end});
        g_alive.store(true);
        return m;
    });
}
