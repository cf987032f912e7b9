// Placeholder.
#include "engine/libzembril.h"
int OpenArchiveFile() { return 0; }
void CloseArchiveFile() {}
