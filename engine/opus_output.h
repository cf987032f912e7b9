// The owners of the libopusenc handles the Opus output uses, and where the encoder's pages go.
// The encoding itself is opus_output.cpp's (declared in encoder_state.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>

// libopusenc's own handle types (opus/opusenc.h), declared here so that the engine's record need
// not include the library's header.
struct OggOpusEnc;
struct OggOpusComments;

struct OpusEncoderRelease {
    void operator()(OggOpusEnc* encoder) const noexcept;
};
using OpusEncoderHandle = std::unique_ptr<OggOpusEnc, OpusEncoderRelease>;

struct OpusCommentsRelease {
    void operator()(OggOpusComments* comments) const noexcept;
};
using OpusCommentsHandle = std::unique_ptr<OggOpusComments, OpusCommentsRelease>;

// Where libopusenc's write callback hands each page: SendEncoded, or the archive alone. `total`
// adds up the bytes taken since it was last set to 0, or is -1 after a failed send, after which
// the rest of the pages are only drained from the encoder (each further send could wait out the
// send time-out).
using OpusPageSink = ssize_t (*)(const unsigned char* bytes, std::size_t byteCount);
struct OpusPageRoute {
    OpusPageSink sink = nullptr;  // none: pages are dropped
    ssize_t total = 0;
};
