// Compiled for a 32-bit target: every offset of the host records must be the
// one the host product relies on.
#include "mailapi.h"

static_assert(sizeof(void*) == 4, "this check is compiled for a 32-bit target");
