// Being written: h2.hpp's definitions.
#include "h2.hpp"
