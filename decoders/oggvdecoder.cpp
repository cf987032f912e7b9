// Placeholder.
#include "decoders/oggvdecoder.h"
int StartVorbisDecoder(OggByteSource*) { return 0; }
void JoinVorbisDecoder() {}
