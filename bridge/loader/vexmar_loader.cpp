// The vexmar functions for code that links this loader instead of libvexmar:
// the library is loaded at the first call of any of them.
#include "loader/bridge_forwarding.h"
#include "loader/vexmar_functions.h"

KELVRA_BRIDGE_LOADER(VEXMAR_FUNCTIONS, KELVRA_BRIDGE_SONAME)
