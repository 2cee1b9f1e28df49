// Placeholder: filled in by the issue that builds it.
#include "corvex.hpp"

namespace sorvane::corvex {

void define_GrpcServer(PyObject*) {}
void init_server_state(PyObject*, ServerState&) {}

}  // namespace sorvane::corvex
