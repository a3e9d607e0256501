// Device register space: the two records behind the register pages.
#include "common/custom.h"

// Set when the register space is initialised; null before, so that code
// running without it can tell.
deviceCFG*        g_dev_cfg    = nullptr;
deviceRegMemAddr* g_regMemAddr = nullptr;
