// MP3 decoding through libmad, driven block by block from the source input on the main thread.
//
// handle_mp3_block appends each audio block with feed_stream and runs one decode pass,
// mp3_decode_buffer, which decodes every complete frame in the buffer and hands its samples to the
// engine (ProcessSamples) at once. The incomplete frame at the end stays for the next pass. At the
// end of the transfer mp3_decoder_flush decodes what is left and mp3_decoder_finish releases
// libmad's state. Nothing here is shared with another thread.
#pragma once

#include <mad.h>

#include <cstddef>
#include <cstdint>

// Where decoded frames go: ProcessSamples, unless a test put its own receiver in place.
using Mp3SampleConsumer = int (*)(const float* samples, int frameCount, int channelCount,
                                  int sampleRate);

// The longest block a caller may append at once.
inline constexpr std::size_t kMp3MaxBlockBytes = 1048576;
// The most a decode pass leaves for the next one: an incomplete frame plus the look at the next
// frame's header. The longest MPEG audio frame (free format, Layer III at 8 kHz) has 5761 bytes;
// a longer rest cannot be one frame, and only its last kMp3MaxTailBytes bytes are kept, so that
// the next block always fits.
inline constexpr std::size_t kMp3MaxTailBytes = 8192;
// A whole block after the longest tail, plus the padding of the final pass.
inline constexpr std::size_t kMp3InputBufferBytes =
    kMp3MaxBlockBytes + kMp3MaxTailBytes + MAD_BUFFER_GUARD;
// Samples per channel of the longest frame libmad synthesises (MPEG-1 Layer II and III).
inline constexpr std::size_t kMp3MaxFrameSamples = 1152;

struct Mp3DecoderState {
    unsigned char inputBuffer[kMp3InputBufferBytes];  // undecoded bytes, always from offset 0
    std::int64_t mp3pos = 0;                          // bytes held in inputBuffer
    mad_stream stream{};
    mad_frame frame{};
    mad_synth synth{};
    bool madReady = false;  // stream, frame and synth are initialised and not yet finished
    std::int32_t frameSampleRate = 0;             // of the last decoded frame; 0 until the first
    std::int64_t frameBitrate = 0;                // bit/s of the last decoded frame
    std::int32_t frameChannels = 0;               // of the last decoded frame; 0 until the first
    float frameSamples[kMp3MaxFrameSamples * 2];  // one frame, interleaved, handed on at once
    Mp3SampleConsumer sampleConsumer = nullptr;   // null: ProcessSamples
};

// The process-wide record.
Mp3DecoderState& Mp3Decoder();
// Back to the start-up state (libmad state finished, counters and frame facts 0). For tests.
void ResetMp3Decoder();

// Empties the buffer and (re)initialises libmad's state for a new stream. Null: nothing happens.
void mp3_decoder_init(Mp3DecoderState* state);
// Releases libmad's state (the frame facts stay). Null or not initialised: nothing happens.
void mp3_decoder_finish(Mp3DecoderState* state);
// Appends the bytes: 0 when appended, -1 when they do not fit (nothing is appended). Null: 0.
int feed_stream(Mp3DecoderState* state, const unsigned char* bytes, std::size_t byteCount);
// One pass over the buffer: every complete frame is decoded and handed on; the incomplete rest
// moves to the front of the buffer. Returns 1.
int mp3_decode_buffer(Mp3DecoderState* state);
// Converts the synthesised frame to interleaved floats and hands it on; returns what
// ProcessSamples (or the test's receiver) returns.
int mp3_output_frame(Mp3DecoderState* state);
// End of the stream: libmad decodes a frame only once it sees a few bytes after it, so the last
// frame needs padding before a final pass. Returns 1.
int mp3_decoder_flush(Mp3DecoderState* state);
