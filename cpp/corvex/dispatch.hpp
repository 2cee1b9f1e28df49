// What the dispatcher's sources share: dispatch.cpp (CommonService and the
// steps of handle), awaited.cpp (targets whose result is awaited) and
// stream.cpp (streamed calls). Only those three include it.
#pragma once

#include "corvex.hpp"

namespace sorvane::corvex {

// What one call came to, for the service's metrics: the module and method of
// the target once it was resolved (empty before), and the outcome.
struct Outcome {
    Ref module;
    Ref method;
    N kind = N::failed;
    bool pending = false;  // ends later, in finish_awaited
};

// Reports one call to the service's `_metrics` recorder: enter() before it,
// record(module, method, outcome, seconds) after. A failing recorder is
// reported as unraisable and never changes the call's own result; a call whose
// enter() failed is not recorded either, so the gauge of calls stays right.
// The recorder and the start time sit in a two-item list that done() empties:
// a call whose target is awaited hands the list to its finish, and whichever
// of the two ends the call records it, once.
class MetricsScope {
public:
    MetricsScope(const State& st, PyObject* service) : st_(st) {
        Ref recorder = own_entry(service, st[N::metrics]);
        if (!recorder || recorder.get() == Py_None) return;
        if (Ref r = Ref::steal(PyObject_CallMethodObjArgs(recorder.get(), st[N::enter], nullptr)); !r) {
            PyErr_WriteUnraisable(recorder.get());
            return;
        }
        Ref start = Ref::steal(PyObject_CallObject(st.monotonic.get(), nullptr));
        if (!start) {
            PyErr_WriteUnraisable(recorder.get());
            return;
        }
        held_ = Ref::steal(PyList_New(2));
        if (!held_) {
            PyErr_WriteUnraisable(recorder.get());
            return;
        }
        PyList_SET_ITEM(held_.get(), 0, recorder.release());  // steals
        PyList_SET_ITEM(held_.get(), 1, start.release());
    }
    // The scope of a call's end elsewhere, over the list of another scope.
    MetricsScope(const State& st, PyObject* held, int) : st_(st) {
        if (PyList_CheckExact(held) && PyList_GET_SIZE(held) == 2) held_ = Ref::borrow(held);
    }
    // The list to hand over (None when nothing is recorded).
    PyObject* held() const { return held_ ? held_.get() : Py_None; }
    void done(Outcome& out) {
        if (!held_ || PyList_GET_ITEM(held_.get(), 0) == Py_None) return;
        Ref recorder = Ref::borrow(PyList_GET_ITEM(held_.get(), 0));
        Ref start = Ref::borrow(PyList_GET_ITEM(held_.get(), 1));
        for (Py_ssize_t i = 0; i < 2; ++i) {
            PyObject* old = PyList_GET_ITEM(held_.get(), i);
            PyList_SET_ITEM(held_.get(), i, Ref::borrow(Py_None).release());
            Py_DECREF(old);
        }
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* module = out.module ? out.module.get() : st_.empty.get();
        PyObject* method = out.method ? out.method.get() : st_.empty.get();
        Ref now = Ref::steal(PyObject_CallObject(st_.monotonic.get(), nullptr));
        Ref seconds = now ? Ref::steal(PyNumber_Subtract(now.get(), start.get())) : Ref();
        Ref r = seconds ? Ref::steal(PyObject_CallMethodObjArgs(recorder.get(), st_[N::record],
                                                                module, method, st_[out.kind],
                                                                seconds.get(), nullptr))
                        : Ref();
        if (!r) PyErr_WriteUnraisable(recorder.get());
        PyErr_Restore(type, value, tb);
    }

private:
    const State& st_;
    Ref held_;
};

// ---- dispatch.cpp -------------------------------------------------------------

// A new result envelope, {"status": 0, "message": "", "excType": "", "result":
// {...}}, copied from the module's templates.
Ref new_envelope(const State& st);
// marvetta.CommonResponse(response=body, status=status); borrows both.
Ref new_response(FunctionObject* self, const State& st, PyObject* body, PyObject* status);
// The body of a reply: the envelope in the codec of the request.
Ref encode_envelope(FunctionObject* self, PyObject* envelope, PyObject* result, bool cbor);
// The handler of step 10, with the target's exception set: an Exception goes
// into the envelope; anything else is thrown on.
void record_failure(FunctionObject* self, const State& st, PyObject* envelope);
// The steps of handle(self, request, context) up to the response; with
// `streamed`, those of a streamed call.
Ref dispatch(FunctionObject* self, PyObject* service, Request& request, PyObject* context,
             MetricsScope& metrics, Outcome& out, Ref* streamed = nullptr);
// Called while an exception leaves handle during an RPC: replaces one gRPC
// could not report by a RuntimeError.
void make_reportable();

// ---- awaited.cpp and stream.cpp -----------------------------------------------

// Hands an awaitable result to sorvane.aio, which ends the call; borrows all.
Ref await_target(FunctionObject* self, PyObject* service, PyObject* context, PyObject* envelope,
                 PyObject* target_result, PyObject* deadline_at, MetricsScope& metrics,
                 Outcome& out, bool cbor);
// Binds _stream_open, _stream_item and _stream_failure (from define_CommonService).
void define_stream_functions(PyObject* module);

// Ends a call as handle ends every call: `body` makes its response; the
// metrics hear how it went (a call still pending is told later, by its
// finish), and what leaves it is made reportable when the call has a context.
template <class F>
Ref end_call(MetricsScope& metrics, Outcome& out, bool has_context, F&& body) {
    try {
        try {
            Ref response = body();
            if (!out.pending) metrics.done(out);
            return response;
        } catch (...) {
            translate_current_exception();
        }
        metrics.done(out);
    } catch (...) {
        translate_current_exception();
    }
    if (has_context) make_reportable();
    throw PyErrAlreadySet{};
}

}  // namespace sorvane::corvex
