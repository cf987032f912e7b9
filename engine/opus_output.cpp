// Opus output through libopus: one encoder per connection at 48 kHz (the intake's resampler has
// converted the audio already), 20 ms packets, framed by ogg_opus_writer. The audio waits in the
// record until it fills a packet, so at most one packet's worth is held. A title change ends the
// running link with the audio given so far and chains a new one, with its own serial number and
// OpusTags, after an encoder reset, so every link decodes on its own. The pages go out to
// SendEncoded (which keeps the archive too) or, at the end of a lost connection, to the archive
// alone.
#include <opus/opus.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "common/log.h"
#include "engine/encoder_state.h"
#include "engine/libzembril.h"

namespace {

// The bit rates libopus encodes at, in kbit/s.
constexpr int kLowestOpusKbps = 6;
constexpr int kHighestOpusKbps = 510;
// The most a 20 ms packet of one frame takes (RFC 6716, section 3.2.1).
constexpr int kLargestPacketBytes = 1275;

// ---- where the pages go ----

void RouteBytes(OpusPageRoute& route, const std::vector<unsigned char>& bytes) {
    if (route.sink == nullptr || bytes.empty()) return;
    if (route.total < 0) {
        ArchiveEncodedBytes(bytes.data(), bytes.size());
        return;
    }
    const ssize_t taken = route.sink(bytes.data(), bytes.size());
    route.total = taken < 0 ? -1 : route.total + taken;
}

// Each page goes out in one send, header and body together, so the server never holds a page
// header without its body.
void SendReadyPages(OpusOutput& out) {
    ogg_page page;
    while (out.link.NextPage(page)) {
        out.pageBytes.assign(page.header, page.header + page.header_len);
        out.pageBytes.insert(out.pageBytes.end(), page.body, page.body + page.body_len);
        RouteBytes(out.pages, out.pageBytes);
    }
}

// ---- the encoder ----

bool OpusBitrateUsable(const EngineState& engine) {
    const int kbps = engine.settings.bitrateNominal;
    if (kbps >= kLowestOpusKbps && kbps <= kHighestOpusKbps) return true;
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "BitrateNominal %d is no bit rate for the Opus encoder (%d to %d kbit/s)", kbps,
               kLowestOpusKbps, kHighestOpusKbps);
    return false;
}

// A new encoder with the station's settings; none (logged) when libopus refuses.
OpusEncoderHandle CreateOpusEncoder(const EngineState& engine) {
    int result = OPUS_OK;
    OpusEncoderHandle encoder(opus_encoder_create(static_cast<opus_int32>(kOpusOutputRate),
                                                  engine.settings.channels, OPUS_APPLICATION_AUDIO,
                                                  &result));
    if (!encoder) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot create the Opus encoder (%s)",
                   opus_strerror(result));
        return encoder;
    }
    result =
        opus_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(engine.settings.bitrateNominal * 1000));
    if (result == OPUS_OK) result = opus_encoder_ctl(encoder.get(), OPUS_SET_VBR(1));
    if (result == OPUS_OK) return encoder;
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "The Opus encoder refused its settings (%s)",
               opus_strerror(result));
    return nullptr;
}

// ---- the links ----

// The running link's header pages: OpusHead, then OpusTags with the comments kept for it.
void BeginLink(EngineState& engine) {
    OpusOutput& out = engine.encoder.opus;
    out.linkBegun = true;
    if (!out.link.Begin(NewStreamSerial(engine.encoder.oggSerialsUsed), out.channels,
                        out.preSkip)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot begin the Ogg stream of Opus output");
        return;
    }
    SendReadyPages(out);
    out.link.AddTags(opus_get_version_string(), out.linkComments);
    SendReadyPages(out);
}

float* PacketBeingFilled(OpusOutput& out) {
    return out.samples.data() + kOpusPacketFrames * out.channels;
}

// The packet being filled is encoded and added to the link (which begins first when it has not),
// and its audio moves back to make room for the next. The last packet ends the link at
// `endGranule`. A packet libopus fails on is lost (logged), but still counts, so that the link
// goes on to its end.
void EncodeHeldPacket(EngineState& engine, bool last, std::int64_t endGranule) {
    OpusOutput& out = engine.encoder.opus;
    float* pcm = PacketBeingFilled(out);
    unsigned char packet[kLargestPacketBytes];
    const int byteCount =
        opus_encode_float(out.encoder.get(), pcm, kOpusPacketFrames, packet, sizeof packet);
    ++out.packetsEncoded;
    out.heldFrames = 0;
    std::copy(pcm, pcm + kOpusPacketFrames * out.channels, out.samples.data());
    if (byteCount < 0) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "The Opus encoder failed on a packet (%s); its 20 ms are lost",
                   opus_strerror(byteCount));
        return;
    }
    if (!out.linkBegun) BeginLink(engine);
    const std::int64_t granule = last ? endGranule : out.packetsEncoded * kOpusPacketFrames;
    out.link.AddAudio(packet, static_cast<std::size_t>(byteCount), granule, last);
    SendReadyPages(out);
}

// Takes the block's frames (interleaved left/right; mono takes the left channel) into the packet
// being filled, encoding each packet as it fills.
void TakeFrames(EngineState& engine, const float* frames, int frameCount) {
    OpusOutput& out = engine.encoder.opus;
    while (frameCount > 0) {
        const int taken = std::min(kOpusPacketFrames - out.heldFrames, frameCount);
        float* to = PacketBeingFilled(out) + out.heldFrames * out.channels;
        for (int i = 0; i < taken; ++i) {
            to[i * out.channels] = frames[2 * i];
            if (out.channels == 2) to[i * out.channels + 1] = frames[2 * i + 1];
        }
        out.heldFrames += taken;
        frames += 2 * taken;
        frameCount -= taken;
        if (out.heldFrames == kOpusPacketFrames) EncodeHeldPacket(engine, false, 0);
    }
}

// What follows a link's last frame up to the end of its last packet, which the end trim drops.
// The encoder looks pre-skip frames ahead, so a cut to silence would sound in the frames kept:
// the audio goes on mirrored about its last frame (point symmetry keeps its level and slope) and
// fades out over the lookahead, then silence.
class LinkTail {
  public:
    explicit LinkTail(const OpusOutput& out)
        : channels_(out.channels), fadeFrames_(std::min(out.preSkip, kOpusPacketFrames - 1)) {
        // The packet being filled follows the previous one in `samples`, so the audio before the
        // last frame is at hand for the whole fade.
        const int lastFrame = kOpusPacketFrames + out.heldFrames - 1;
        const float* end = out.samples.data() + (lastFrame + 1) * channels_;
        std::copy(end - (fadeFrames_ + 1) * channels_, end, history_.begin());
    }
    // The sample `frame` frames after the last one given.
    float Sample(int frame, int channel) const {
        if (frame >= fadeFrames_) return 0.0f;
        const int step = frame + 1;
        const float last = history_[fadeFrames_ * channels_ + channel];
        const float mirrored = 2.0f * last - history_[(fadeFrames_ - step) * channels_ + channel];
        const double fade = 0.5 * (1.0 + std::cos(M_PI * step / (fadeFrames_ + 1)));
        return std::clamp(static_cast<float>(fade * mirrored), -1.0f, 1.0f);
    }

  private:
    int channels_;
    int fadeFrames_;
    std::array<float, kOpusPacketFrames * kLargestOpusChannelCount> history_{};
};

// The audio held, padded, and the packets that cover the encoder's lookahead after it; the last
// one ends the link at `endGranule`.
void EncodeLinkTail(EngineState& engine, std::int64_t endGranule) {
    OpusOutput& out = engine.encoder.opus;
    const std::int64_t packetsNeeded =
        std::max((endGranule + kOpusPacketFrames - 1) / kOpusPacketFrames, out.packetsEncoded + 1);
    const LinkTail tail(out);
    int padFrame = 0;
    while (out.packetsEncoded < packetsNeeded) {
        float* to = PacketBeingFilled(out);
        for (int i = out.heldFrames; i < kOpusPacketFrames; ++i, ++padFrame) {
            for (int c = 0; c < out.channels; ++c)
                to[i * out.channels + c] = tail.Sample(padFrame, c);
        }
        EncodeHeldPacket(engine, out.packetsEncoded + 1 == packetsNeeded, endGranule);
    }
}

// Ends the running link: the last page carries the end-of-stream mark and the granule position
// of the last frame given, so that a decoder gives back exactly what the link was given. A link
// not begun that was given nothing is not made at all.
void EndLink(EngineState& engine) {
    OpusOutput& out = engine.encoder.opus;
    const std::int64_t framesGiven =
        out.packetsEncoded * kOpusPacketFrames + static_cast<std::int64_t>(out.heldFrames);
    if (framesGiven > 0 || out.linkBegun) EncodeLinkTail(engine, out.preSkip + framesGiven);
    out.linkBegun = false;
    out.packetsEncoded = 0;
    out.heldFrames = 0;
    out.link.Clear();
}

// The connection's first link: a new encoder whose header pages go out at once.
int StartOpusEncoder(EngineState& engine) {
    ReleaseOpusEncoder(engine);
    if (!OpusBitrateUsable(engine)) return 0;
    OpusEncoderHandle encoder = CreateOpusEncoder(engine);
    if (!encoder) return 0;
    OpusOutput& out = engine.encoder.opus;
    out.preSkip = 0;
    opus_encoder_ctl(encoder.get(), OPUS_GET_LOOKAHEAD(&out.preSkip));
    out.encoder = std::move(encoder);
    out.channels = engine.settings.channels;
    out.linkComments = StreamComments(engine);
    out.pages = OpusPageRoute{SendEncoded, 0};
    BeginLink(engine);
    return out.pages.total < 0 ? -1 : 1;
}

// A title change: the running link ends, and the next one, with the current title, begins with
// its first packet, so that no link goes out without audio.
int ChainOpusLink(EngineState& engine) {
    OpusOutput& out = engine.encoder.opus;
    out.pages = OpusPageRoute{SendEncoded, 0};
    EndLink(engine);
    opus_encoder_ctl(out.encoder.get(), OPUS_RESET_STATE);
    out.linkComments = StreamComments(engine);
    return out.pages.total < 0 ? -1 : 1;
}

}  // namespace

void OpusEncoderRelease::operator()(OpusEncoder* encoder) const noexcept {
    opus_encoder_destroy(encoder);
}

int SetUpOpus(EngineState& engine) {
    // The new link carries the current title, so a title change asked for so far is served by
    // it. (One that arrives after this point asks again.)
    engine.encoder.vorbisRestartPending = 0;
    const bool chained = engine.encoder.oggStreamOpen && engine.encoder.opus.encoder;
    const int result = chained ? ChainOpusLink(engine) : StartOpusEncoder(engine);
    if (result == 0) return 0;
    // Like a Vorbis stream, the stream counts as begun even when a send failed, so that its end
    // can still complete the archive.
    engine.encoder.oggStreamOpen = 1;
    engine.encoder.oggStreamFrames = 0;
    return result;
}

ssize_t EncodeOpusBlock(EngineState& engine, const float* frames, int frameCount) {
    OpusOutput& out = engine.encoder.opus;
    if (!out.encoder || frameCount < 1) return 0;
    out.pages = OpusPageRoute{SendEncoded, 0};
    TakeFrames(engine, frames, frameCount);
    return out.pages.total;
}

ssize_t EndOpusStream(EngineState& engine, OpusPageSink sink) {
    OpusOutput& out = engine.encoder.opus;
    if (!engine.encoder.oggStreamOpen || !out.encoder) return 0;
    engine.encoder.oggStreamOpen = 0;
    out.pages = OpusPageRoute{sink, 0};
    EndLink(engine);
    const ssize_t total = out.pages.total;
    ReleaseOpusEncoder(engine);
    return total;
}

void ReleaseOpusEncoder(EngineState& engine) {
    OpusOutput& out = engine.encoder.opus;
    out.pages = OpusPageRoute{};
    out.encoder.reset();
    out.link.Clear();
    out.linkBegun = false;
    out.linkComments.clear();
    out.packetsEncoded = 0;
    out.heldFrames = 0;
    out.samples.fill(0.0f);
}

ssize_t ArchiveEncodedBytes(const unsigned char* bytes, std::size_t byteCount) {
    const EngineState& engine = Engine();
    if (engine.settings.saveArchives && !engine.settings.saveAsWav)
        AppendToArchive(bytes, byteCount);
    return static_cast<ssize_t>(byteCount);
}
