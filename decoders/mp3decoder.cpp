#include "decoders/mp3decoder.h"

#include <cstring>

#include "common/log.h"
#include "engine/libzembril.h"

namespace {

// 1 MiB of buffer plus libmad's state: kept out of the stack and made once.
Mp3DecoderState mp3DecoderState;

constexpr double kMadSampleScale = 1.0 / MAD_F_ONE;  // libmad's 28 fraction bits

int ChannelsOfMode(enum mad_mode mode, int unchanged) {
    switch (mode) {
        case MAD_MODE_SINGLE_CHANNEL:
            return 1;
        case MAD_MODE_DUAL_CHANNEL:
        case MAD_MODE_JOINT_STEREO:
        case MAD_MODE_STEREO:
            return 2;
    }
    return unchanged;
}

void TakeFrameFacts(Mp3DecoderState& state) {
    const mad_header& header = state.frame.header;
    state.frameSampleRate = static_cast<std::int32_t>(header.samplerate);
    state.frameBitrate = static_cast<std::int64_t>(header.bitrate);
    state.frameChannels = ChannelsOfMode(header.mode, state.frameChannels);
}

// Moves the bytes libmad has not consumed (from next_frame on) to the front of the buffer; at most
// the last kMp3MaxTailBytes of them.
void KeepUndecodedTail(Mp3DecoderState& state) {
    const unsigned char* tail = state.stream.next_frame;
    if (tail == nullptr) return;
    std::int64_t tailBytes = state.mp3pos - (tail - state.inputBuffer);
    constexpr auto kMaxTail = static_cast<std::int64_t>(kMp3MaxTailBytes);
    if (tailBytes > kMaxTail) {
        tail += tailBytes - kMaxTail;
        tailBytes = kMaxTail;
    }
    if (tailBytes > 0 && tail != state.inputBuffer) {
        std::memmove(state.inputBuffer, tail, static_cast<std::size_t>(tailBytes));
    }
    state.mp3pos = tailBytes > 0 ? tailBytes : 0;
}

}  // namespace

Mp3DecoderState& Mp3Decoder() {
    return mp3DecoderState;
}

void ResetMp3Decoder() {
    Mp3DecoderState& state = mp3DecoderState;
    mp3_decoder_finish(&state);
    state.mp3pos = 0;
    state.frameSampleRate = 0;
    state.frameBitrate = 0;
    state.frameChannels = 0;
    state.sampleConsumer = nullptr;
}

void mp3_decoder_init(Mp3DecoderState* state) {
    if (state == nullptr) return;
    mp3_decoder_finish(state);
    state->mp3pos = 0;
    mad_stream_init(&state->stream);
    mad_frame_init(&state->frame);
    mad_synth_init(&state->synth);
    state->madReady = true;
}

void mp3_decoder_finish(Mp3DecoderState* state) {
    if (state == nullptr || !state->madReady) return;
    mad_synth_finish(&state->synth);
    mad_frame_finish(&state->frame);
    mad_stream_finish(&state->stream);
    state->madReady = false;
}

int feed_stream(Mp3DecoderState* state, const unsigned char* bytes, std::size_t byteCount) {
    if (state == nullptr) return 0;
    LogMessage(LOG_DEBUG, kLogMp3, __LINE__, "feed_stream: size=%d, mp3pos=%d",
               static_cast<int>(byteCount), static_cast<int>(state->mp3pos));
    const std::size_t held = static_cast<std::size_t>(state->mp3pos);
    if (byteCount > kMp3InputBufferBytes - held) return -1;
    if (byteCount > 0) std::memcpy(state->inputBuffer + held, bytes, byteCount);
    state->mp3pos += static_cast<std::int64_t>(byteCount);
    return 0;
}

int mp3_decode_buffer(Mp3DecoderState* state) {
    if (state == nullptr || !state->madReady) return 1;
    mad_stream_buffer(&state->stream, state->inputBuffer,
                      static_cast<unsigned long>(state->mp3pos));
    for (;;) {
        if (mad_frame_decode(&state->frame, &state->stream) == 0) {
            mad_synth_frame(&state->synth, &state->frame);
            TakeFrameFacts(*state);
            mp3_output_frame(state);
            continue;
        }
        // Lost sync and damaged frames are skipped; a short buffer or anything else ends the pass.
        if (state->stream.error == MAD_ERROR_BUFLEN) break;
        if (!MAD_RECOVERABLE(state->stream.error)) break;
    }
    KeepUndecodedTail(*state);
    LogMessage(LOG_DEBUG, kLogMp3, __LINE__, "---------");
    return 1;
}

int mp3_output_frame(Mp3DecoderState* state) {
    const mad_pcm& pcm = state->synth.pcm;
    const int channelCount = pcm.channels >= 2 ? 2 : 1;
    const int frameCount =
        static_cast<int>(pcm.length <= kMp3MaxFrameSamples ? pcm.length : kMp3MaxFrameSamples);

    LogMessage(LOG_DEBUG, kLogMp3, __LINE__, "Read %d/%d/%d - Sending %d/%d/%d",
               static_cast<int>(state->frameBitrate / 1000), state->frameSampleRate,
               state->frameChannels, GetBitrateNominal(), static_cast<int>(GetSampleRate()),
               GetChannels());

    // Values slightly beyond ±1.0 pass through: the encoders take care of them.
    float* out = state->frameSamples;
    for (int i = 0; i < frameCount; ++i) {
        *out++ = static_cast<float>(pcm.samples[0][i] * kMadSampleScale);
        if (channelCount == 2) *out++ = static_cast<float>(pcm.samples[1][i] * kMadSampleScale);
    }
    NoteDecodedAudio(frameCount, static_cast<int>(pcm.samplerate));
    const Mp3SampleConsumer consumer =
        state->sampleConsumer != nullptr ? state->sampleConsumer : ProcessSamples;
    return consumer(state->frameSamples, frameCount, channelCount,
                    static_cast<int>(pcm.samplerate));
}

int mp3_decoder_flush(Mp3DecoderState* state) {
    if (state == nullptr || !state->madReady || state->mp3pos == 0) return 1;
    const unsigned char padding[MAD_BUFFER_GUARD] = {};
    if (feed_stream(state, padding, sizeof padding) == 0) mp3_decode_buffer(state);
    state->mp3pos = 0;
    return 1;
}
