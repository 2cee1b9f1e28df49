// Placeholder: filled in by the issue that builds it.
#include "corvex.hpp"

namespace sorvane::corvex {

void define_GrpcException(PyObject*) {}
void define_GrpcHelper(PyObject*) {}

}  // namespace sorvane::corvex
