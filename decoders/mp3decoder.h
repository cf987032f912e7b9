// MP3 decoding through libmpg123 in feed mode, driven block by block from the source input on the
// main thread.
//
// handle_mp3_block hands each audio block to libmpg123 with feed_stream and runs one decode pass,
// mp3_decode_buffer, which decodes every frame libmpg123 can complete from what it holds and hands
// its samples to the engine (ProcessSamples) at once. libmpg123 keeps the incomplete frame at the
// end for the next pass. At the end of the transfer mp3_decoder_flush decodes what is left and
// drops the rest, and mp3_decoder_finish releases libmpg123's handle. Nothing here is shared with
// another thread.
//
// Frames libmpg123 cannot use (damaged, cut off, a false sync word in junk) are skipped; after a
// skip it takes a frame only once the next frame's header confirms it. Rate and channel changes
// reach the engine with the first frame in the new format.
#pragma once

#include <cstddef>
#include <cstdint>

struct mpg123_handle_struct;

// Where decoded frames go: ProcessSamples, unless a test put its own receiver in place.
using Mp3SampleConsumer = int (*)(const float* samples, int frameCount, int channelCount,
                                  int sampleRate);

// The longest block a caller may append at once.
inline constexpr std::size_t kMp3MaxBlockBytes = 1048576;
// The most a decode pass leaves for the next one: an incomplete frame plus the look at the next
// frame's header. The longest MPEG audio frame (free format, Layer III at 8 kHz) has 5761 bytes;
// when more is left undecoded, it cannot be one frame, and the decoder starts over with the next
// block, so that junk never piles up.
inline constexpr std::size_t kMp3MaxTailBytes = 8192;
// The most the decoder holds undecoded: a whole block after the longest tail.
inline constexpr std::size_t kMp3MaxHeldBytes = kMp3MaxBlockBytes + kMp3MaxTailBytes;
// Samples per channel of the longest frame (MPEG-1 Layer II and III).
inline constexpr std::size_t kMp3MaxFrameSamples = 1152;

// Owns one libmpg123 handle opened for feeding, set up for 32-bit float output at every rate.
class Mpg123Feed {
  public:
    Mpg123Feed() = default;
    ~Mpg123Feed();
    Mpg123Feed(const Mpg123Feed&) = delete;
    Mpg123Feed& operator=(const Mpg123Feed&) = delete;

    // A fresh stream: a new handle when there is none, otherwise the old one reopened (what it
    // held is dropped). false when libmpg123 refuses; the owner is then empty.
    bool Open();
    void Close();
    mpg123_handle_struct* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    mpg123_handle_struct* handle_ = nullptr;
};

// The frame last decoded, in libmpg123's own buffer: valid until the next decode call.
struct Mp3DecodedFrame {
    const float* samples = nullptr;  // interleaved
    int frameCount = 0;
    int channelCount = 0;
    int sampleRate = 0;
};

struct Mp3DecoderState {
    Mpg123Feed decoder;
    std::int64_t mp3pos = 0;      // bytes fed to libmpg123 and not yet used by it
    int outputSampleRate = 0;     // the output format libmpg123 announced last
    int outputChannels = 0;
    std::int32_t frameSampleRate = 0;  // of the last decoded frame; 0 until the first
    std::int64_t frameBitrate = 0;     // bit/s of the last decoded frame
    std::int32_t frameChannels = 0;    // of the last decoded frame; 0 until the first
    Mp3DecodedFrame frame;
    Mp3SampleConsumer sampleConsumer = nullptr;  // null: ProcessSamples
};

// The process-wide record.
Mp3DecoderState& Mp3Decoder();
// Back to the start-up state (handle released, counters and frame facts 0). For tests.
void ResetMp3Decoder();

// Drops what the decoder holds and opens a fresh stream. Null: nothing happens.
void mp3_decoder_init(Mp3DecoderState* state);
// Releases libmpg123's handle (the frame facts stay). Null or not open: nothing happens.
void mp3_decoder_finish(Mp3DecoderState* state);
// Hands the bytes to libmpg123: 0 when taken, -1 when they would make the decoder hold more than
// kMp3MaxHeldBytes, or libmpg123 refuses them (nothing is taken). Null or not open: 0.
int feed_stream(Mp3DecoderState* state, const unsigned char* bytes, std::size_t byteCount);
// One pass: every frame libmpg123 can complete is decoded and handed on; the incomplete rest stays
// with libmpg123 (or, past kMp3MaxTailBytes, is dropped). Returns 1.
int mp3_decode_buffer(Mp3DecoderState* state);
// Hands the frame last decoded on; returns what ProcessSamples (or the test's receiver) returns.
int mp3_output_frame(Mp3DecoderState* state);
// End of the stream: a last pass, then what is left (at most a cut-off frame) is dropped.
// Returns 1.
int mp3_decoder_flush(Mp3DecoderState* state);
