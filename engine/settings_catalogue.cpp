// Placeholder.
#include "engine/libzembril.h"
void ApplyConfig() {}
void StoreConfigValues() {}
