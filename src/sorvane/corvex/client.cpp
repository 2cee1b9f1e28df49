// Placeholder: filled in by the issue that builds it.
#include "corvex.hpp"

namespace sorvane::corvex {

void define_Server(PyObject*) {}
void define_GrpcClient(PyObject*) {}
void define_grpc_client(PyObject*) {}
void init_client_state(PyObject*, ClientState&) {}

}  // namespace sorvane::corvex
