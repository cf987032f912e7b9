// Helpers shared by the files that build, end and release the encoders (encoder_setup.cpp,
// ogg_stream_end.cpp) and by the disconnect (connection.cpp).
#pragma once

#include <ogg/ogg.h>
#include <sys/types.h>

#include "engine/libzembril.h"

// lame_close, and the handle set to none. Nothing happens when there is no encoder.
void CloseLameEncoder(EngineState& engine);
// Clears the Ogg stream and the Vorbis block, analysis and info state and leaves them all zero,
// so it may run any number of times. A running Ogg stream is dropped without its end: this is
// for a connection that is gone or a stream that has already been ended.
void ClearVorbisEncoder(EngineState& engine);
// Sends one Ogg page (header part, then body part) through SendEncoded. Bytes sent, or negative
// when either part failed.
ssize_t SendOggPage(const ogg_page& page);
