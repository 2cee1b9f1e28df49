// Being written: tls.hpp's definitions.
#include "tls.hpp"
