// Placeholder.
#include "engine/libzembril.h"
int DoEncoding() { return 1; }
ssize_t SendVorbisPages() { return 0; }
