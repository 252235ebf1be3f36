// The library's version query: the one export that belongs to no family.
#include "kelvra.h"

extern "C" KELVRA_API uint32_t Kelvra_GetVersion(void) { return KELVRA_VERSION; }
