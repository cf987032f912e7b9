#include "decoders/mp3decoder.h"

#include <mpg123.h>

#include <mutex>

#include "common/log.h"
#include "engine/libzembril.h"

namespace {

Mp3DecoderState mp3DecoderState;

// Before libmpg123 1.27 a process had to initialise the library once before the first handle.
bool InitialiseLibrary() {
    static std::once_flag once;
    static int result = MPG123_ERR;
    std::call_once(once, [] { result = mpg123_init(); });
    return result == MPG123_OK;
}

// Float output at the stream's own rate and channel count, whatever they are; no console output;
// frames handed on whole (no gapless trimming: a relay joins and leaves streams anywhere) and the
// LAME/Xing frame decoded as the silent frame it is, as every other decoder does; ID3v2 tags and
// junk of any length skipped while the next frame is searched for.
bool Configure(mpg123_handle* handle) {
    if (mpg123_param(handle, MPG123_ADD_FLAGS,
                     MPG123_QUIET | MPG123_FORCE_FLOAT | MPG123_SKIP_ID3V2 |
                         MPG123_IGNORE_INFOFRAME,
                     0) != MPG123_OK ||
        mpg123_param(handle, MPG123_REMOVE_FLAGS, MPG123_GAPLESS | MPG123_AUTO_RESAMPLE, 0) !=
            MPG123_OK ||
        mpg123_param(handle, MPG123_RESYNC_LIMIT, -1, 0) != MPG123_OK ||
        mpg123_format_none(handle) != MPG123_OK) {
        return false;
    }
    const long* rates = nullptr;
    std::size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (std::size_t i = 0; i < rateCount; ++i) {
        if (mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32) !=
            MPG123_OK) {
            return false;
        }
    }
    return true;
}

void TakeFrameFacts(Mp3DecoderState& state) {
    mpg123_frameinfo2 info{};
    if (mpg123_info2(state.decoder.get(), &info) != MPG123_OK) return;
    state.frameSampleRate = static_cast<std::int32_t>(info.rate);
    state.frameBitrate = static_cast<std::int64_t>(info.bitrate) * 1000;
    state.frameChannels = info.mode == MPG123_M_MONO ? 1 : 2;
}

void TakeOutputFormat(Mp3DecoderState& state) {
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(state.decoder.get(), &rate, &channels, &encoding) != MPG123_OK) return;
    state.outputSampleRate = static_cast<int>(rate);
    state.outputChannels = channels;
}

// The bytes fed that libmpg123 has not used yet (its feed buffer's fill).
std::int64_t HeldBytes(const Mp3DecoderState& state) {
    long fill = 0;
    double fillAsDouble = 0;
    if (mpg123_getstate(state.decoder.get(), MPG123_BUFFERFILL, &fill, &fillAsDouble) !=
        MPG123_OK) {
        return state.mp3pos;
    }
    return fill;
}

// Drops what libmpg123 holds and starts over with the next bytes fed. The handle keeps its output
// format: libmpg123 announces a new one only when the next frame differs from it.
void Reopen(Mp3DecoderState& state) {
    state.mp3pos = 0;
    state.frame = {};
    if (!state.decoder.Open()) {
        state.outputSampleRate = 0;
        state.outputChannels = 0;
        LogMessage(LOG_ERROR, kLogMp3, __LINE__, "libmpg123 cannot open a stream for feeding");
    }
}

// Keeps one frame's samples for mp3_output_frame; false when there are none.
bool TakeFrame(Mp3DecoderState& state, const unsigned char* audio, std::size_t byteCount) {
    const int channels = state.outputChannels >= 2 ? 2 : 1;
    const std::size_t frameCount = byteCount / (sizeof(float) * static_cast<std::size_t>(channels));
    if (audio == nullptr || frameCount == 0 || state.outputSampleRate <= 0) return false;
    state.frame.samples = reinterpret_cast<const float*>(audio);
    state.frame.frameCount =
        static_cast<int>(frameCount <= kMp3MaxFrameSamples ? frameCount : kMp3MaxFrameSamples);
    state.frame.channelCount = channels;
    state.frame.sampleRate = state.outputSampleRate;
    return true;
}

}  // namespace

Mpg123Feed::~Mpg123Feed() {
    Close();
}

bool Mpg123Feed::Open() {
    if (handle_ == nullptr) {
        if (!InitialiseLibrary()) return false;
        handle_ = mpg123_new(nullptr, nullptr);
        if (handle_ == nullptr) return false;
        if (!Configure(handle_)) {
            Close();
            return false;
        }
    }
    if (mpg123_open_feed(handle_) != MPG123_OK) {
        Close();
        return false;
    }
    return true;
}

void Mpg123Feed::Close() {
    if (handle_ == nullptr) return;
    mpg123_delete(handle_);
    handle_ = nullptr;
}

Mp3DecoderState& Mp3Decoder() {
    return mp3DecoderState;
}

void ResetMp3Decoder() {
    Mp3DecoderState& state = mp3DecoderState;
    mp3_decoder_finish(&state);
    state.frameSampleRate = 0;
    state.frameBitrate = 0;
    state.frameChannels = 0;
    state.sampleConsumer = nullptr;
}

void mp3_decoder_init(Mp3DecoderState* state) {
    if (state == nullptr) return;
    Reopen(*state);
}

void mp3_decoder_finish(Mp3DecoderState* state) {
    if (state == nullptr) return;
    state->decoder.Close();
    state->mp3pos = 0;
    state->outputSampleRate = 0;
    state->outputChannels = 0;
    state->frame = {};
}

int feed_stream(Mp3DecoderState* state, const unsigned char* bytes, std::size_t byteCount) {
    if (state == nullptr || !state->decoder) return 0;
    LogMessage(LOG_DEBUG, kLogMp3, __LINE__, "feed_stream: size=%d, mp3pos=%d",
               static_cast<int>(byteCount), static_cast<int>(state->mp3pos));
    const auto held = static_cast<std::size_t>(state->mp3pos);
    if (byteCount > kMp3MaxHeldBytes - held) return -1;
    if (byteCount == 0) return 0;
    if (mpg123_feed(state->decoder.get(), bytes, byteCount) != MPG123_OK) return -1;
    state->mp3pos += static_cast<std::int64_t>(byteCount);
    return 0;
}

int mp3_decode_buffer(Mp3DecoderState* state) {
    if (state == nullptr || !state->decoder) return 1;
    for (;;) {
        off_t frameNumber = 0;
        unsigned char* audio = nullptr;
        std::size_t byteCount = 0;
        const int result =
            mpg123_decode_frame(state->decoder.get(), &frameNumber, &audio, &byteCount);
        if (result == MPG123_NEW_FORMAT) {
            TakeOutputFormat(*state);
            continue;
        }
        if (result == MPG123_OK) {
            if (TakeFrame(*state, audio, byteCount)) {
                TakeFrameFacts(*state);
                mp3_output_frame(state);
            }
            continue;
        }
        if (result == MPG123_NEED_MORE || result == MPG123_DONE) break;
        // Anything else leaves libmpg123's reader in a state not worth trusting: start over.
        LogMessage(LOG_DEBUG, kLogMp3, __LINE__, "MP3 decoding starts over: %s",
                   mpg123_strerror(state->decoder.get()));
        Reopen(*state);
        break;
    }
    state->mp3pos = HeldBytes(*state);
    if (state->mp3pos > static_cast<std::int64_t>(kMp3MaxTailBytes)) {
        LogMessage(LOG_DEBUG, kLogMp3, __LINE__,
                   "%d bytes without a frame in them are dropped: MP3 decoding starts over",
                   static_cast<int>(state->mp3pos));
        Reopen(*state);
    }
    LogMessage(LOG_DEBUG, kLogMp3, __LINE__, "---------");
    return 1;
}

int mp3_output_frame(Mp3DecoderState* state) {
    const Mp3DecodedFrame& frame = state->frame;
    if (frame.samples == nullptr) return 1;
    LogMessage(LOG_DEBUG, kLogMp3, __LINE__, "Read %d/%d/%d - Sending %d/%d/%d",
               static_cast<int>(state->frameBitrate / 1000), state->frameSampleRate,
               state->frameChannels, GetBitrateNominal(), static_cast<int>(GetSampleRate()),
               GetChannels());
    // Values slightly beyond ±1.0 pass through: the encoders take care of them.
    NoteDecodedAudio(frame.frameCount, frame.sampleRate);
    const Mp3SampleConsumer consumer =
        state->sampleConsumer != nullptr ? state->sampleConsumer : ProcessSamples;
    return consumer(frame.samples, frame.frameCount, frame.channelCount, frame.sampleRate);
}

int mp3_decoder_flush(Mp3DecoderState* state) {
    if (state == nullptr || !state->decoder || state->mp3pos == 0) return 1;
    mp3_decode_buffer(state);
    if (state->mp3pos > 0) Reopen(*state);
    return 1;
}
