// The binary codec as the module shows it: _cbor_dumps, _cbor_loads,
// CodecError and CBOR (the serialization code), and is_cbor. The format is
// described in cbor.hpp, written by cbor_encode.cpp, read by cbor_decode.cpp.
#include "corvex.hpp"

namespace sorvane::corvex {
namespace {

Ref cbor_dumps_function(FunctionObject*, PyObject* const* argv) { return cbor_dumps(argv[0]); }
Ref cbor_loads_function(FunctionObject* self, PyObject* const* argv) {
    return cbor_loads(state_of(self), argv[0]);
}
const FunctionDef cbor_dumps_def = {"_cbor_dumps", nullptr, "The CBOR encoding of a value.",
                                    {"value"}, cbor_dumps_function, nullptr};
const FunctionDef cbor_loads_def = {"_cbor_loads", nullptr, "The value a CBOR encoding stands for.",
                                    {"data"}, cbor_loads_function, nullptr};

}  // namespace

bool is_cbor(PyObject* code) {
    if (!PyLong_Check(code)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(code, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
    return !overflow && v == kCborCode;
}

void define_cbor(PyObject* m) {
    State& st = state(m);
    st.codec_error = check(PyErr_NewExceptionWithDoc(
        "sorvane.corvex.CodecError",
        "Input that is not an encoding the codec accepts (a ValueError).", PyExc_ValueError, nullptr));
    bind(m, "CodecError", st.codec_error.get());
    bind(m, "_cbor_dumps", make_function(m, cbor_dumps_def).get());
    bind(m, "_cbor_loads", make_function(m, cbor_loads_def).get());
    Ref code = check(PyLong_FromLong(kCborCode));
    bind(m, "CBOR", code.get());
}

}  // namespace sorvane::corvex
