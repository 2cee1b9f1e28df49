// The host JSON codec as the framework uses it, with native fast paths.
//
// Both functions behave exactly like the Python expressions in their comments,
// evaluated with the module-level name `json` of corvex as it is bound at the
// time of the call: same text, same objects, same exceptions. The native paths
// are taken only when no caller can observe a difference (`json` and its
// functions are the ones bound at import, and the value is made of exact
// built-in types); everything else goes through the host's json module.
#pragma once

#include "function.hpp"

namespace sorvane::corvex {

using native::FunctionObject;
using native::Ref;

// json.dumps(obj, ensure_ascii=False).encode("utf-8")   -> bytes
Ref json_dumps_utf8(FunctionObject* caller, PyObject* obj);

// json.dumps(obj, ensure_ascii=False)                   -> str
Ref json_dumps_text(FunctionObject* caller, PyObject* obj);

// json.loads(text), `text` a str                        -> object
Ref json_loads_text(FunctionObject* caller, PyObject* text);

}  // namespace sorvane::corvex
