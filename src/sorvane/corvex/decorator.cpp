// Placeholder: filled in by the issue that builds it.
#include "corvex.hpp"

namespace sorvane::corvex {

void define_grpc_service(PyObject*) {}

}  // namespace sorvane::corvex
