// sorvane._transport: the Python face of the native engine's platform layer.
//
// Six private types (their files are listed in binding.hpp), wrapped by
// sorvane.native_grpc into grpcio's interfaces:
//   ServerCore      - a server host; runs the handlers registered in Python
//   ServicerContext - the context of one server-side call
//   ChannelCore     - a channel host; unary calls, blocking or with a
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

using namespace sorvane::engine::binding;

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

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sorvane._transport",
                          "The native engine's transport core (private; see sorvane.native_grpc).",
                          -1, module_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

#if defined(_WIN32)
extern "C" __declspec(dllexport) PyObject* PyInit__transport(void)
#else
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__transport(void)
#endif
{
    return entry([]() -> Ref {
#if PY_VERSION_HEX < 0x03090000
        PyEval_InitThreads();
#endif
        for (PyTypeObject* t : {servicer_context_type(), server_core_type(), client_call_type(),
                                client_stream_type(), channel_core_type(), unary_unary_type()})
            check(PyType_Ready(t));
        Ref m = check(PyModule_Create(&module_def));
        for (auto [name, t] : {std::pair<const char*, PyTypeObject*>{"ServicerContext", servicer_context_type()},
                               {"ServerCore", server_core_type()},
                               {"ClientCall", client_call_type()},
                               {"ClientStream", client_stream_type()},
                               {"ChannelCore", channel_core_type()},
                               {"UnaryUnary", unary_unary_type()}}) {
            Py_INCREF(t);
            check(PyModule_AddObject(m.get(), name, reinterpret_cast<PyObject*>(t)));
        }
        g_alive.store(true);
        return m;
    });
}
