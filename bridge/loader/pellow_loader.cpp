// The pellow functions for code that links this loader instead of libpellow:
// the library is loaded at the first call of any of them.
#include "loader/bridge_forwarding.h"
#include "loader/pellow_functions.h"

KELVRA_BRIDGE_LOADER(PELLOW_FUNCTIONS, KELVRA_BRIDGE_SONAME)
