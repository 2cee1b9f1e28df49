// Module state of the server side of corvex (dispatcher, rpc_log, GrpcServer).
#pragma once

#include "ref.hpp"

namespace sorvane::corvex {

using native::Ref;

struct ServerState {
    int traverse(visitproc, void*) noexcept { return 0; }
    void clear() noexcept {}
};

}  // namespace sorvane::corvex
