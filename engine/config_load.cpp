// Placeholder.
#include "engine/libzembril.h"
void SetConfigPath(const char*) {}
int LoadConfig(int) { return 1; }
int WriteConfigFile() { return 0; }
