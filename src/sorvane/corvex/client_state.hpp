// Module state of the client side of corvex (registry, helpers, grpc_service).
#pragma once

#include "ref.hpp"

namespace sorvane::corvex {

using native::Ref;

struct ClientState {
    int traverse(visitproc, void*) noexcept { return 0; }
    void clear() noexcept {}
};

}  // namespace sorvane::corvex
