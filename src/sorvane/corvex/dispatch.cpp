// Placeholder: filled in by the issue that builds it.
#include "corvex.hpp"

namespace sorvane::corvex {

void define_CommonService(PyObject*) {}

}  // namespace sorvane::corvex
