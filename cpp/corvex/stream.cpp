// Streamed calls: _stream_open runs handle's steps up to the target's call
// (dispatch.cpp) and hands back the iterator the target returned;
// _stream_item and _stream_failure make the response of each item and of a
// failure, in the stream's codec; the `done` of each stream tells the metrics.
#include "dispatch.hpp"

namespace sorvane::corvex {
namespace {

// done(outcome): a streamed call has ended ("ok", "raised" or "failed"): the
// metrics hear of it, once. Closure: (metrics list or None, module, method).
Ref stream_done(FunctionObject* self, PyObject* const* argv) {
    const State& st = state_of(self);
    MetricsScope metrics(st, closure_item(self, 0), 0);
    Outcome out;
    if (closure_item(self, 1) != Py_None) out.module = Ref::borrow(closure_item(self, 1));
    if (closure_item(self, 2) != Py_None) out.method = Ref::borrow(closure_item(self, 2));
    for (N kind : {N::ok, N::raised, N::failed})
        if (PyUnicode_Check(argv[0]) && PyUnicode_Compare(argv[0], st[kind]) == 0) out.kind = kind;
    if (PyErr_Occurred()) throw PyErrAlreadySet{};
    metrics.done(out);
    return Ref::borrow(Py_None);
}
const FunctionDef stream_done_def = {
    "done", "_stream_open.<locals>.done", nullptr, {"outcome"}, stream_done, nullptr};

// _stream_open(service, request, context): handle's steps 1 to 10 for a
// streamed call. (response, None, None) when the call ends at once (the
// target raised or returned no iterator: the response carries the failure,
// and the metrics have heard of it), else (None, iterator, done) with `done`
// as above. Each item then goes out through _stream_item, a failure of the
// iterator through _stream_failure.
Ref stream_open(FunctionObject* self, PyObject* const* argv) {
    const State& st = state_of(self);
    PyObject* service = argv[0];
    PyObject* context = argv[2];
    Outcome out;
    MetricsScope metrics(st, service);
    Ref streamed;
    Request request(argv[1]);
    Ref response = end_call(metrics, out, context != Py_None, [&] {
        return dispatch(self, service, request, context, metrics, out, &streamed);
    });
    if (!streamed) return check(PyTuple_Pack(3, response.get(), Py_None, Py_None));
    Ref closure = check(PyTuple_Pack(3, metrics.held(), out.module ? out.module.get() : Py_None,
                                     out.method ? out.method.get() : Py_None));
    Ref done = make_function(self->module, stream_done_def, nullptr, closure.get());
    return check(PyTuple_Pack(3, Py_None, streamed.get(), done.get()));
}

// _stream_item(item, serialize=3): the serialized CommonResponse carrying one
// item of a stream, in the envelope of a call that returned it, in the
// stream's codec (its bytes: no message object per item).
Ref stream_item(FunctionObject* self, PyObject* const* argv) {
    const State& st = state_of(self);
    Ref envelope = new_envelope(st);
    check(PyDict_SetItem(envelope.get(), st[N::result], argv[0]));
    Ref body = encode_envelope(self, envelope.get(), argv[0], is_cbor(argv[1]));
    envelope.reset();
    Py_ssize_t at;
    return wire_response(0, std::move(body), &at);
}

// _stream_failure(error, serialize=3): the serialized CommonResponse ending a
// stream whose iterator raised `error`, as a call whose target raised it (its
// traceback printed); anything not an Exception is raised again.
Ref stream_failure(FunctionObject* self, PyObject* const* argv) {
    const State& st = state_of(self);
    PyObject* e = argv[0];
    if (!PyExceptionInstance_Check(e))
        raise(PyExc_TypeError, "_stream_failure() needs the exception the iterator raised");
    Ref envelope = new_envelope(st);
    PyErr_Restore(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(e))).release(),
                  Ref::borrow(e).release(), PyException_GetTraceback(e));  // steals all three
    record_failure(self, st, envelope.get());
    Ref body = encode_envelope(self, envelope.get(), nullptr, is_cbor(argv[1]));
    PyObject* status = check_borrowed(PyDict_GetItemWithError(envelope.get(), st[N::status]));
    const long code = PyLong_AsLong(status);
    if (code == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
    Py_ssize_t at;
    return wire_response(code, std::move(body), &at);
}

const FunctionDef stream_open_def = {"_stream_open", nullptr, nullptr,
                                     {"service", "request", "context"}, stream_open, nullptr};
const FunctionDef stream_item_def = {"_stream_item", nullptr, nullptr, {"item", "serialize"},
                                     stream_item, nullptr};
const FunctionDef stream_failure_def = {"_stream_failure", nullptr, nullptr, {"error", "serialize"},
                                        stream_failure, nullptr};

}  // namespace

void define_stream_functions(PyObject* m) {
    State& st = state(m);
    bind(m, "_stream_open", make_function(m, stream_open_def).get());
    Ref json_default = defaults({st.json_code.get()});
    bind(m, "_stream_item", make_function(m, stream_item_def, json_default.get()).get());
    bind(m, "_stream_failure", make_function(m, stream_failure_def, json_default.get()).get());
}

}  // namespace sorvane::corvex
