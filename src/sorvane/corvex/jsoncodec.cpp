// The JSON codec of corvex. For now every call goes through the host's json
// module; see jsoncodec.hpp for the contract.
#include "jsoncodec.hpp"

#include "corvex.hpp"

namespace sorvane::corvex {

void init_json_state(PyObject*, JsonState&) {}

Ref json_dumps_text(FunctionObject* caller, PyObject* obj) {
    Ref json = lookup_global(globals_of(caller), interned("json").get());
    Ref dumps = getattr(json.get(), "dumps");
    Ref names = kwnames({"ensure_ascii"});
    return call_kw(dumps.get(), {obj}, names.get(), {Py_False});
}

Ref json_dumps_utf8(FunctionObject* caller, PyObject* obj) {
    Ref text = json_dumps_text(caller, obj);
    return check(PyUnicode_AsUTF8String(text.get()));
}

Ref json_loads_text(FunctionObject* caller, PyObject* text) {
    Ref json = lookup_global(globals_of(caller), interned("json").get());
    return call(getattr(json.get(), "loads").get(), {text});
}

}  // namespace sorvane::corvex
