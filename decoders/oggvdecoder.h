// Ogg Vorbis decoding on a thread of its own.
//
// The source input starts the decoder thread at the end of the response header and hands it an
// OggByteSource over its ring buffer. The thread opens the stream with libvorbisfile, takes the
// title from each logical stream's comments and passes the decoded audio to the engine
// (ProcessSamples). It ends when the source reports that no more bytes will come; the input joins
// it before the engine disconnects.
#pragma once

#include <cstddef>

// Where the decoder thread takes its bytes from.
struct OggByteSource {
    virtual ~OggByteSource() = default;
    // Copies byteCount bytes into dest, waiting until that many are buffered. Returns fewer
    // (possibly 0) only once the input has ended and no more bytes will arrive.
    virtual std::size_t Read(void* dest, std::size_t byteCount) = 0;
};

// Starts vorbis_decoder_thread on the given source (which must outlive the thread). 1 on success.
int StartVorbisDecoder(OggByteSource* source);
// Waits until the decoder thread has ended; returns at once when none runs.
void JoinVorbisDecoder();
