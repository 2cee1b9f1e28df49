// Being written: wire.hpp's definitions.
#include "wire.hpp"
