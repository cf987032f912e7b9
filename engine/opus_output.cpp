// Opus output through libopusenc: one encoder per connection, created at 48 kHz (the intake's
// resampler has converted the audio already, so libopusenc does not resample again). A title
// change chains a new stream, with its own serial number and OpusTags, into the running encoder:
// libopusenc ends the running stream with the audio given so far (its lookahead and end trim
// included) and begins the next one, so every link is complete on its own. The encoder's pages
// go out through its write callback, to SendEncoded (which keeps the archive too) or, at the end
// of a lost connection, to the archive alone.
#include <opus/opusenc.h>

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "engine/encoder_state.h"
#include "engine/libzembril.h"

namespace {

// libopusenc's defaults hold two seconds of audio before encoding it and let a page cover a
// second. A stream is listened to live, so both are kept short: a tenth of a second for the
// encoder's decisions, and pages of at most half a second (about as long as a Vorbis page).
constexpr int kDecisionDelayFrames = static_cast<int>(kOpusOutputRate / 10);
constexpr int kMuxingDelayFrames = static_cast<int>(kOpusOutputRate / 2);
// The bit rates libopus encodes at, in kbit/s.
constexpr int kLowestOpusKbps = 6;
constexpr int kHighestOpusKbps = 510;
// Channel mapping family 0: mono or stereo.
constexpr int kMonoOrStereoMapping = 0;

// The left channel of each frame, for mono output; kept between blocks.
std::vector<float> monoInput;

// libopusenc's write callback. It always reports success: a failed send ends the connection, and
// libopusenc must keep running so that the rest of the stream can still complete the archive.
// After a failed send the pages only go to the archive. No exception may leave a C callback.
int TakeOpusPage(void* userData, const unsigned char* bytes, opus_int32 length) noexcept {
    OpusPageRoute& route = *static_cast<OpusPageRoute*>(userData);
    if (route.sink == nullptr || length <= 0) return 0;
    try {
        const auto byteCount = static_cast<std::size_t>(length);
        if (route.total < 0) {
            ArchiveEncodedBytes(bytes, byteCount);
            return 0;
        }
        const ssize_t taken = route.sink(bytes, byteCount);
        route.total = taken < 0 ? -1 : route.total + taken;
    } catch (...) {
        route.total = -1;
    }
    return 0;
}

// The connection, not the encoder, decides when the stream's bytes end.
int KeepStreamOpen(void*) noexcept {
    return 0;
}

const OpusEncCallbacks kPageCallbacks{TakeOpusPage, KeepStreamOpen};

// The current title in OpusTags; empty when libopusenc has no memory for them (logged).
OpusCommentsHandle CurrentStreamComments(EngineState& engine) {
    OpusCommentsHandle comments(ope_comments_create());
    if (!comments) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot create the Opus stream's comments");
        return comments;
    }
    for (const std::string& comment : StreamComments(engine))
        ope_comments_add_string(comments.get(), comment.c_str());
    return comments;
}

bool OpusBitrateUsable(const EngineState& engine) {
    const int kbps = engine.settings.bitrateNominal;
    if (kbps >= kLowestOpusKbps && kbps <= kHighestOpusKbps) return true;
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "BitrateNominal %d is no bit rate for the Opus encoder (%d to %d kbit/s)", kbps,
               kLowestOpusKbps, kHighestOpusKbps);
    return false;
}

// The settings of a new encoder; false (logged) when libopusenc refuses one.
bool ApplyOpusSettings(EngineState& engine, OggOpusEnc* encoder) {
    const int bitrate = engine.settings.bitrateNominal * 1000;
    int result = ope_encoder_ctl(encoder, OPUS_SET_BITRATE(bitrate));
    if (result == OPE_OK)
        result = ope_encoder_ctl(encoder, OPE_SET_DECISION_DELAY(kDecisionDelayFrames));
    if (result == OPE_OK)
        result = ope_encoder_ctl(encoder, OPE_SET_MUXING_DELAY(kMuxingDelayFrames));
    // OpusTags are padded so that a file can be tagged in place; a stream is not.
    if (result == OPE_OK) result = ope_encoder_ctl(encoder, OPE_SET_COMMENT_PADDING(0));
    if (result == OPE_OK) {
        result = ope_encoder_ctl(encoder,
                                 OPE_SET_SERIALNO(NewStreamSerial(engine.encoder.oggSerialsUsed)));
    }
    if (result == OPE_OK) return true;
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "The Opus encoder refused its settings (%s)",
               ope_strerror(result));
    return false;
}

// The connection's first stream: a new encoder whose header pages go out at once.
int StartOpusEncoder(EngineState& engine, OggOpusComments* comments) {
    ReleaseOpusEncoder(engine);
    if (!OpusBitrateUsable(engine)) return 0;
    int error = OPE_OK;
    OpusEncoderHandle encoder(
        ope_encoder_create_callbacks(&kPageCallbacks, &engine.encoder.opusPages, comments,
                                     static_cast<opus_int32>(kOpusOutputRate),
                                     engine.settings.channels, kMonoOrStereoMapping, &error));
    if (!encoder) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot create the Opus encoder (%s)",
                   ope_strerror(error));
        return 0;
    }
    if (!ApplyOpusSettings(engine, encoder.get())) return 0;
    engine.encoder.opusEncoder = std::move(encoder);
    engine.encoder.opusPages = OpusPageRoute{SendEncoded, 0};
    ope_encoder_flush_header(engine.encoder.opusEncoder.get());
    return engine.encoder.opusPages.total < 0 ? -1 : 1;
}

// A title change: the running stream ends and a new one with these comments follows in the same
// encoder. Its header pages wait for its first audio (libopusenc writes a stream's pages in
// order), so no link goes out without audio.
int ChainOpusStream(EngineState& engine, OggOpusComments* comments) {
    OggOpusEnc* encoder = engine.encoder.opusEncoder.get();
    engine.encoder.opusPages = OpusPageRoute{SendEncoded, 0};
    int result = ope_encoder_chain_current(encoder, comments);
    if (result == OPE_OK) {
        result = ope_encoder_ctl(encoder,
                                 OPE_SET_SERIALNO(NewStreamSerial(engine.encoder.oggSerialsUsed)));
    }
    if (result != OPE_OK) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot begin a new Opus stream (%s)",
                   ope_strerror(result));
        return 0;
    }
    return engine.encoder.opusPages.total < 0 ? -1 : 1;
}

bool FillMonoInput(const float* frames, int frameCount) {
    const auto count = static_cast<std::size_t>(frameCount);
    try {
        if (monoInput.size() < count) monoInput.resize(count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) monoInput[i] = frames[2 * i];
    return true;
}

}  // namespace

void OpusEncoderRelease::operator()(OggOpusEnc* encoder) const noexcept {
    ope_encoder_destroy(encoder);
}

void OpusCommentsRelease::operator()(OggOpusComments* comments) const noexcept {
    ope_comments_destroy(comments);
}

int SetUpOpus(EngineState& engine) {
    // These comments carry the current title, so a title change asked for so far is served by
    // this stream. (One that arrives after this point asks again.)
    engine.encoder.vorbisRestartPending = 0;
    const OpusCommentsHandle comments = CurrentStreamComments(engine);
    if (!comments) return 0;
    const bool chained = engine.encoder.oggStreamOpen && engine.encoder.opusEncoder;
    const int result = chained ? ChainOpusStream(engine, comments.get())
                               : StartOpusEncoder(engine, comments.get());
    if (result == 0) return 0;
    // Like a Vorbis stream, the stream counts as begun even when a send failed, so that its end
    // can still complete the archive.
    engine.encoder.oggStreamOpen = 1;
    engine.encoder.oggStreamFrames = 0;
    return result;
}

ssize_t EncodeOpusBlock(EngineState& engine, const float* frames, int frameCount) {
    if (!engine.encoder.opusEncoder || frameCount < 1) return 0;
    const float* input = frames;
    if (engine.settings.channels == 1) {
        if (!FillMonoInput(frames, frameCount)) {
            LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                       "Not enough memory to encode a block of %d frames; the block is dropped",
                       frameCount);
            return 0;
        }
        input = monoInput.data();
    }
    engine.encoder.opusPages = OpusPageRoute{SendEncoded, 0};
    const int result = ope_encoder_write_float(engine.encoder.opusEncoder.get(), input, frameCount);
    if (result != OPE_OK) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "The Opus encoder failed on a block (%s); the block is dropped",
                   ope_strerror(result));
    }
    return engine.encoder.opusPages.total;
}

ssize_t EndOpusStream(EngineState& engine, OpusPageSink sink) {
    if (!engine.encoder.oggStreamOpen || !engine.encoder.opusEncoder) return 0;
    engine.encoder.oggStreamOpen = 0;
    engine.encoder.opusPages = OpusPageRoute{sink, 0};
    ope_encoder_drain(engine.encoder.opusEncoder.get());
    const ssize_t total = engine.encoder.opusPages.total;
    ReleaseOpusEncoder(engine);
    return total;
}

void ReleaseOpusEncoder(EngineState& engine) {
    // Whatever the library would still write on the way out is dropped.
    engine.encoder.opusPages = OpusPageRoute{};
    engine.encoder.opusEncoder.reset();
}

ssize_t ArchiveEncodedBytes(const unsigned char* bytes, std::size_t byteCount) {
    const EngineState& engine = Engine();
    if (engine.settings.saveArchives && !engine.settings.saveAsWav)
        AppendToArchive(bytes, byteCount);
    return static_cast<ssize_t>(byteCount);
}
