// The morlin functions for code that links this loader instead of libmorlin:
// the library is loaded at the first call of any of them.
#include "loader/bridge_forwarding.h"
#include "loader/morlin_functions.h"

KELVRA_BRIDGE_LOADER(MORLIN_FUNCTIONS, KELVRA_BRIDGE_SONAME)
