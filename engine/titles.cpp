// Placeholder.
#include "engine/libzembril.h"
int SetCurrentTitle(const char*) { return 0; }
void SendMetadataUpdate() {}
void SplitArtistTitle(FixedText<1024>&, FixedText<1024>&, FixedText<1024>&) {}
