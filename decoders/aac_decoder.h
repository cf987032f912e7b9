// AAC decoding (AAC-LC, HE-AAC with SBR, HE-AAC v2 with parametric stereo) through libfaad2, driven
// block by block from the source input on the main thread, like the MP3 decoder.
//
// handle_aac_block hands each audio block to aac_decode_block, which cuts the ADTS frames out of
// the bytes itself: a frame goes to libfaad2 once the header of the frame after it confirms where
// it ends (see CheckFrontFrame for junk after a frame), so that junk, a truncated frame or a lost
// sync costs only the damaged frame (a Debug line says what was skipped) and decoding resumes at
// the next ADTS header. At most kAacBufferBytes are held. A new sample rate, profile or channel layout in the ADTS
// headers opens libfaad2 afresh. SBR is decoded at its full rate (never downsampled) and parametric
// stereo gives two channels; each frame reaches the engine with its own rate and channel count.
// aac_decoder_flush decodes the last frame at the end of the transfer, aac_decoder_finish releases
// libfaad2. Nothing here is shared with another thread.
#pragma once

#include <neaacdec.h>

#include <cstddef>
#include <cstdint>

// Where decoded frames go: ProcessSamples, unless a test put its own receiver in place.
using AacSampleConsumer = int (*)(const float* samples, int frameCount, int channelCount,
                                  int sampleRate);

// ADTS counts a frame's length, header included, in 13 bits.
inline constexpr std::size_t kAacMaxFrameBytes = 8191;
// An ADTS header without its CRC.
inline constexpr std::size_t kAdtsHeaderBytes = 7;
// A frame, a frame that begins inside it and the header after that (which tell a frame cut short
// from a whole one), and room for a block's bytes beside them.
inline constexpr std::size_t kAacBufferBytes = 3 * (kAacMaxFrameBytes + 1);
// Samples per channel of the longest frame libfaad2 puts out (1024 doubled by SBR).
inline constexpr int kAacMaxFrameSamples = 2048;

// The fields of an ADTS header that fix how libfaad2 is set up.
struct AdtsLayout {
    int profile = -1;  // object type - 1: 0 Main, 1 LC, 3 LTP
    int rateIndex = -1;
    int channelConfig = -1;
    bool operator==(const AdtsLayout&) const = default;
};

struct AdtsHeader {
    AdtsLayout layout;
    std::size_t frameBytes = 0;  // header included
};

// The ADTS header at the start of the bytes, when they begin with one that libfaad2 can decode (a
// sync word, layer 0, a known sample rate, 1 to 7 channels, a length that holds the header).
bool ReadAdtsHeader(const unsigned char* bytes, std::size_t byteCount, AdtsHeader& header);

// Owns one libfaad2 decoder (NeAACDecOpen / NeAACDecClose). Move-only.
class FaadHandle {
  public:
    FaadHandle() = default;
    explicit FaadHandle(NeAACDecHandle handle) : handle_(handle) {}
    FaadHandle(FaadHandle&& other) noexcept : handle_(other.release()) {}
    FaadHandle& operator=(FaadHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FaadHandle(const FaadHandle&) = delete;
    FaadHandle& operator=(const FaadHandle&) = delete;
    ~FaadHandle() { reset(); }

    NeAACDecHandle get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(NeAACDecHandle handle = nullptr) {
        if (handle_ != nullptr) NeAACDecClose(handle_);
        handle_ = handle;
    }

  private:
    NeAACDecHandle release() {
        NeAACDecHandle handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    NeAACDecHandle handle_ = nullptr;
};

struct AacDecoderState {
    unsigned char inputBuffer[kAacBufferBytes];  // undecoded bytes, always from offset 0
    std::size_t heldBytes = 0;
    FaadHandle faad;                 // open for `layout`; empty before the first frame
    AdtsLayout layout;               // of the frames libfaad2 was set up for
    bool ready = false;              // initialised for a stream and not yet finished
    std::uint64_t skippedBytes = 0;  // junk skipped since the last frame, for its Debug line
    bool inStep = false;             // the last decoded frame ended where the buffer begins
    std::int32_t frameSampleRate = 0;  // of the last decoded frame; 0 until the first
    std::int32_t frameChannels = 0;    // of the last decoded frame; 0 until the first
    bool frameSbr = false;             // the last decoded frame carried SBR
    bool framePs = false;              // the last decoded frame carried parametric stereo
    float monoSamples[kAacMaxFrameSamples];  // one channel of a mono stream's frame
    AacSampleConsumer sampleConsumer = nullptr;  // null: ProcessSamples
};

// The process-wide record.
AacDecoderState& AacDecoder();
// Back to the start-up state (libfaad2 closed, frame facts 0, the engine as receiver). For tests.
void ResetAacDecoder();

// Empties the buffer and readies the decoder for a new stream. Null: nothing happens.
void aac_decoder_init(AacDecoderState* state);
// Releases libfaad2 (the frame facts stay). Null or not initialised: nothing happens.
void aac_decoder_finish(AacDecoderState* state);
// Takes the bytes (any number) and decodes every frame whose end is confirmed. Returns 1.
int aac_decode_block(AacDecoderState* state, const unsigned char* bytes, std::size_t byteCount);
// End of the stream: the last frame has no header after it and is decoded when whole. Returns 1.
int aac_decoder_flush(AacDecoderState* state);
