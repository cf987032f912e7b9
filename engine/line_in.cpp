// Placeholder.
#include "engine/libzembril.h"
int OpenLineInDevice() { return 0; }
