// The Opus output's record: the libopus encoder, the Ogg framing of the running link, the audio
// held until it fills a packet, and where the pages go. The encoding itself is opus_output.cpp's
// (declared in encoder_state.h).
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/ogg_opus_writer.h"

// libopus's encoder (opus/opus.h), declared here so that the engine's record need not include
// the library's header.
struct OpusEncoder;

struct OpusEncoderRelease {
    void operator()(OpusEncoder* encoder) const noexcept;
};
using OpusEncoderHandle = std::unique_ptr<OpusEncoder, OpusEncoderRelease>;

// Where each page goes: SendEncoded, or the archive alone. `total` adds up the bytes taken since
// it was last set to 0, or is -1 after a failed send, after which the rest of the pages go to the
// archive alone (each further send could wait out the send time-out).
using OpusPageSink = ssize_t (*)(const unsigned char* bytes, std::size_t byteCount);
struct OpusPageRoute {
    OpusPageSink sink = nullptr;  // none: pages are dropped
    ssize_t total = 0;
};

// Every packet holds 20 ms at 48 kHz.
constexpr int kOpusPacketFrames = 960;
constexpr int kLargestOpusChannelCount = 2;

struct OpusOutput {
    OpusEncoderHandle encoder;
    int channels = 0;
    int preSkip = 0;  // the encoder's lookahead, which a decoder drops at the start of a link
    OggOpusLinkWriter link;
    // The link's header pages have gone out; a chained link's wait for its first packet.
    bool linkBegun = false;
    std::vector<std::string> linkComments;  // for the OpusTags of a link not begun yet
    std::int64_t packetsEncoded = 0;        // of the running link
    // The packet being filled (frames heldFrames and on), after the previous packet's audio,
    // which the end of a link mirrors into its padding: two packets of samples, interleaved.
    std::array<float, 2 * kOpusPacketFrames * kLargestOpusChannelCount> samples{};
    int heldFrames = 0;
    OpusPageRoute pages;
    std::vector<unsigned char> pageBytes;  // the page being sent, header and body together
};
