// Placeholder.
#include "engine/libzembril.h"
int InitEncoder() { return 1; }
