// Module state of corvex's JSON codec (jsoncodec.cpp).
#pragma once

#include "ref.hpp"

namespace sorvane::corvex {

using native::Ref;

struct JsonState {
    int traverse(visitproc, void*) noexcept { return 0; }
    void clear() noexcept {}
};

}  // namespace sorvane::corvex
