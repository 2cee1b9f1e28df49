// Targets whose result is awaitable (a coroutine function's): sorvane.aio
// awaits the result on an event loop, and the call ends there, in
// finish_awaited, with steps 10 to 12 of handle (dispatch.cpp) and the metrics.
#include "dispatch.hpp"

namespace sorvane::corvex {
namespace {

// finish(ok, value), the end of a call whose target's result was awaited:
// steps 10 (the result, or the exception it raised), 11 and 12 as for any
// other call, and the metrics; what it raises leaves the call as handle's
// would. Closure: (envelope, metrics list or None, module, method, whether
// the call has a context, whether it is in CBOR).
Ref finish_awaited(FunctionObject* self, PyObject* const* argv) {
    const State& st = state_of(self);
    PyObject* envelope = closure_item(self, 0);
    MetricsScope metrics(st, closure_item(self, 1), 0);
    Outcome out;
    if (closure_item(self, 2) != Py_None) out.module = Ref::borrow(closure_item(self, 2));
    if (closure_item(self, 3) != Py_None) out.method = Ref::borrow(closure_item(self, 3));
    return end_call(metrics, out, closure_item(self, 4) == Py_True, [&]() -> Ref {
        Ref result;
        if (argv[0] == Py_True) {
            result = Ref::borrow(argv[1]);
            check(PyDict_SetItem(envelope, st[N::result], result.get()));
        } else {
            PyObject* e = argv[1];
            if (!PyExceptionInstance_Check(e))
                raise(PyExc_TypeError, "finish() needs the exception the target raised");
            PyErr_Restore(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(e))).release(),
                          Ref::borrow(e).release(),
                          PyException_GetTraceback(e));  // steals all three
            record_failure(self, st, envelope);
        }
        Ref body = encode_envelope(self, envelope, result.get(), closure_item(self, 5) == Py_True);
        PyObject* status = check_borrowed(PyDict_GetItemWithError(envelope, st[N::status]));
        out.kind = status == st.zero.get() ? N::ok : N::raised;
        return new_response(self, st, body.get(), status);
    });
}
const FunctionDef finish_awaited_def = {
    "finish", "CommonService.handle.<locals>.finish", nullptr, {"ok", "value"}, finish_awaited,
    nullptr};

}  // namespace

// A target whose result is awaitable (a coroutine function's): sorvane.aio
// awaits it on an event loop, where finish_awaited ends the call. Returns what
// sorvane.aio._serve does: the CommonResponse once the calling thread waited
// for it, or, for an engine whose context takes a reply to come, a
// concurrent.futures.Future of it (the call is then `pending`).
Ref await_target(FunctionObject* self, PyObject* service, PyObject* context, PyObject* envelope,
                 PyObject* target_result, PyObject* deadline_at, MetricsScope& metrics,
                 Outcome& out, bool cbor) {
    // The envelope's result is the placeholder again until the target ends.
    State& st = state_of(self);
    Ref placeholder = check(PyDict_Copy(st.placeholder.get()));
    check(PyDict_SetItem(envelope, st[N::result], placeholder.get()));
    Ref closure = check(PyTuple_Pack(6, envelope, metrics.held(),
                                     out.module ? out.module.get() : Py_None,
                                     out.method ? out.method.get() : Py_None,
                                     context != Py_None ? Py_True : Py_False,
                                     cbor ? Py_True : Py_False));
    Ref finish = make_function(self->module, finish_awaited_def, nullptr, closure.get());
    Ref aio = aio_module(st);
    Ref reply = call(attr(aio.get(), st[N::serve_private]).get(),
                     {target_result, finish.get(), context, service, deadline_at});
    out.pending = true;  // finish records it
    return reply;
}

}  // namespace sorvane::corvex
