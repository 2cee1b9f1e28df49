// Being written: loop.hpp's definitions.
#include "loop.hpp"
