// Encoding one converted block (LAME, Vorbis with Ogg framing, or Opus) and sending it, and the
// recovery after a lost connection: disconnect, then, when configured, reconnect after a delay
// for as long as it takes.
//
// Runs on the thread that owns the destination (the output loop's, see output_loop.cpp), one
// block at a time. A stop request from the front end ends a send that waits for the server; a
// stop or the end of the loop's input ends the reconnection delay and the attempts' waits.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/station_metrics.h"
#include "common/status.h"
#include "engine/encoder_state.h"
#include "engine/libzembril.h"
#include "engine/supervisor_notify.h"
#include "engine/server_io.h"

namespace {

// LAME's float input uses the 16-bit scale.
constexpr float kPcm16Scale = 32767.0f;
constexpr int kMp3BufferBytes = 147456;
// Attempts against a server that is down follow each other no faster than this, whatever the
// setting says: without a pause they would fill the log by the megabyte.
constexpr int kShortestReconnectSecs = 1;
// The shortest life of a chained Ogg stream begun for a title change.
constexpr int kShortestOggStreamSecs = 2;

// The encoding work areas: one block at a time uses them, so they are kept between blocks.
unsigned char mp3Buffer[kMp3BufferBytes];
std::vector<float> mp3Left;
std::vector<float> mp3Right;

// What became of a block. kStopped: a send was given up for a stop request while the server
// took nothing; the connection is left to the end of the run. kEncoderFailed: a new Ogg stream's
// encoder could not be set up (the reason is logged); the connection ends.
enum class BlockOutcome { kSent, kConnectionLost, kStopped, kEncoderFailed, kMp3BufferTooSmall };

BlockOutcome FromSendResult(ssize_t sent) {
    if (sent >= 0) return BlockOutcome::kSent;
    return Engine().destination.sendFailure.load() == ECANCELED ? BlockOutcome::kStopped
                                                                : BlockOutcome::kConnectionLost;
}

std::uint32_t SampleLevel(float value) {
    const float scaled = std::fabs(value) * kPcm16Scale;
    if (scaled != scaled) return 0;  // NaN
    if (scaled >= 2147483647.0f) return 2147483647u;
    return static_cast<std::uint32_t>(scaled);
}

// Mean level per channel on the 16-bit scale, divided by the samples of both channels, so a
// full-scale block reads 16383.
void ReportLevels(const EngineState& engine, const float* frames, int frameCount) {
    if (frameCount < 1 || engine.sinks.vu == nullptr) return;
    std::uint64_t left = 0;
    std::uint64_t right = 0;
    for (int i = 0; i < frameCount; ++i) {
        left += SampleLevel(frames[2 * i]);
        right += SampleLevel(frames[2 * i + 1]);
    }
    const std::uint64_t samples = 2 * static_cast<std::uint64_t>(frameCount);
    engine.sinks.vu(static_cast<unsigned>(left / samples), static_cast<unsigned>(right / samples));
}

// A title change asked for a new Ogg stream: the running one ends (its last page carries the
// end-of-stream mark) and the new one starts with the current title in its comments (InitEncoder
// does both; Opus output chains the new stream in its encoder). A stream that has carried no
// audio yet keeps running until it has: players stall or skip on empty links. A stream also
// carries at least kShortestOggStreamSecs of audio (at real-time pace, one new stream every 2 s
// at most): a station that changes its title in every metadata block would otherwise send header
// pages many times a second. The title that waits meanwhile is the latest, since the comments are
// built when the stream starts.
BlockOutcome ServeOggRestart(EngineState& engine) {
    if (engine.encoder.vorbisRestartPending == 0 || engine.encoder.oggStreamFrames == 0)
        return BlockOutcome::kSent;
    if (engine.encoder.oggStreamFrames <
        kShortestOggStreamSecs * OutputSampleRate(engine.settings)) {
        return BlockOutcome::kSent;
    }
    engine.encoder.vorbisRestartPending = 0;
    const int begun = InitEncoder();
    if (begun < 0) return FromSendResult(begun);  // the old stream's end or the new one's headers
    if (begun == 1) StationMetrics().NoteTitleDelivered();
    return begun == 0 ? BlockOutcome::kEncoderFailed : BlockOutcome::kSent;
}

void CopyIntoVorbisBuffer(EngineState& engine, const float* frames, int frameCount) {
    float** channels = vorbis_analysis_buffer(&engine.encoder.vorbisDsp, frameCount);
    const int channelCount = engine.encoder.vorbisInfo.channels;
    for (int i = 0; i < frameCount; ++i) channels[0][i] = frames[2 * i];
    if (channelCount == 2) {
        for (int i = 0; i < frameCount; ++i) channels[1][i] = frames[2 * i + 1];
        return;
    }
    // Mono output takes the left channel; further channels of a wider encoder stay silent.
    for (int c = 1; c < channelCount; ++c) std::fill(channels[c], channels[c] + frameCount, 0.0f);
}

BlockOutcome EncodeVorbis(EngineState& engine, const float* frames, int frameCount) {
    // A write of 0 frames would tell libvorbis that the stream ends; and a new stream begins
    // only with audio to put into it.
    if (frameCount < 1) return BlockOutcome::kSent;
    const BlockOutcome restart = ServeOggRestart(engine);
    if (restart != BlockOutcome::kSent) return restart;
    if (!engine.encoder.oggStreamOpen) return BlockOutcome::kSent;
    CopyIntoVorbisBuffer(engine, frames, frameCount);
    vorbis_analysis_wrote(&engine.encoder.vorbisDsp, frameCount);
    engine.encoder.oggStreamFrames += frameCount;
    return FromSendResult(SendVorbisPages());
}

BlockOutcome EncodeOpus(EngineState& engine, const float* frames, int frameCount) {
    if (frameCount < 1) return BlockOutcome::kSent;
    const BlockOutcome restart = ServeOggRestart(engine);
    if (restart != BlockOutcome::kSent) return restart;
    if (!engine.encoder.oggStreamOpen) return BlockOutcome::kSent;
    engine.encoder.oggStreamFrames += frameCount;
    return FromSendResult(EncodeOpusBlock(engine, frames, frameCount));
}

bool FillMp3Input(const float* frames, int frameCount) {
    const auto count = static_cast<std::size_t>(frameCount);
    try {
        if (mp3Left.size() < count) mp3Left.resize(count);
        if (mp3Right.size() < count) mp3Right.resize(count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        mp3Left[i] = frames[2 * i] * kPcm16Scale;
        mp3Right[i] = frames[2 * i + 1] * kPcm16Scale;
    }
    return true;
}

// LAME's documented worst case for the MP3 bytes of a block.
bool Mp3BufferTakes(int frameCount) {
    return 1.25 * frameCount + 7200 <= kMp3BufferBytes;
}

BlockOutcome EncodeMp3(EngineState& engine, const float* frames, int frameCount) {
    if (engine.encoder.lameEncoder == nullptr) return BlockOutcome::kSent;
    // After LAME has found the output buffer too small, its next call writes past its own
    // buffers; so LAME never gets a block that might not fit.
    if (!Mp3BufferTakes(frameCount)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "mp3 buffer is not big enough!");
        return BlockOutcome::kMp3BufferTooSmall;
    }
    if (!FillMp3Input(frames, frameCount)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Not enough memory to encode a block of %d frames; the block is dropped",
                   frameCount);
        return BlockOutcome::kSent;
    }
    const int bytes =
        lame_encode_buffer_float(engine.encoder.lameEncoder, mp3Left.data(), mp3Right.data(),
                                 frameCount, mp3Buffer, kMp3BufferBytes);
    if (bytes == -1) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "mp3 buffer is not big enough!");
        return BlockOutcome::kMp3BufferTooSmall;
    }
    if (bytes < 0) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "The MP3 encoder failed on a block (LAME error %d); the block is dropped",
                   bytes);
        return BlockOutcome::kSent;
    }
    return FromSendResult(SendEncoded(mp3Buffer, static_cast<std::size_t>(bytes)));
}

int ReconnectDelaySecs(const EngineState& engine) {
    return std::max(engine.settings.reconnectSecs, kShortestReconnectSecs);
}

// The delay before a reconnection attempt; false when it was called off (a stop request, the end
// of the transfer).
bool WaitBeforeReconnect(int seconds) {
    return WaitBeforeReconnecting(std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
}

// An MP3 server keeps the title of its source across a reconnection only if it is told again.
// (Ogg output carries it in the comments of the new stream.)
void AnnounceTitleAgain(EngineState& engine) {
    if (engine.settings.isOggVorbis || engine.settings.isOpus) return;
    bool hasTitle;
    {
        std::lock_guard lock(engine.titles.lock);
        hasTitle = !engine.titles.current.empty();
    }
    if (hasTitle) PostMetadataUpdate();
}

// 1 once connected again (or when the wait was called off by a new connection), 0 when the front
// end asked to stop or the transfer ended.
int ReconnectUntilConnected(EngineState& engine) {
    NotifyRunState("Reconnecting to the destination");
    for (;;) {
        engine.destination.reconnectWaiting = true;
        if (!WaitBeforeReconnect(ReconnectDelaySecs(engine))) {
            engine.destination.reconnectWaiting = false;
            return 0;
        }
        if (!engine.destination.reconnectWaiting) return 1;
        if (ConnectToServer() == 1) {
            // The connection began a fresh encoder (for Ogg output a new stream whose header
            // pages carry the current title); the audio continues in it.
            engine.destination.reconnectWaiting = false;
            NotifyRunState("Relaying");
            RestartOutputClock();
            AnnounceTitleAgain(engine);
            return 1;
        }
    }
}

// The connection is over (`reason` says why): what the encoder holds completes the archive, the
// connection is closed, and the destination is reconnected when so configured. Without
// automatic reconnection a lost destination ends the run: the source input sees destinationLost
// and ends the transfer as on a stop request.
int EndConnection(EngineState& engine, const std::string& reason) {
    const std::string server = StreamAddress();
    FlushEncoderIntoArchive();
    DisconnectFromServer();
    StationMetrics().NoteDestinationState(engine.settings.autoReconnect
                                              ? DestinationState::kReconnecting
                                              : DestinationState::kLost);
    if (!engine.settings.autoReconnect) {
        Report(engine.sinks.serverStatus, "Was disconnected from server");
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Was disconnected from server %s: %s",
                   server.c_str(), reason.c_str());
        Control().destinationLost = true;
        return 0;
    }
    char text[1024];
    std::snprintf(text, sizeof text, "Disconnected from output server, reconnecting in %d secs",
                  ReconnectDelaySecs(engine));
    Report(engine.sinks.serverStatus, text);
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "Disconnected from output server %s (%s), reconnecting in %d secs", server.c_str(),
               reason.c_str(), ReconnectDelaySecs(engine));
    return ReconnectUntilConnected(engine);
}

int EncodeAndSend(EngineState& engine) {
    const float* frames = engine.encoder.encodeSamples;
    const int frameCount =
        engine.encoder.encodeSamples != nullptr ? engine.encoder.encodeFrames : 0;
    ReportLevels(engine, frames, frameCount);

    BlockOutcome outcome = BlockOutcome::kSent;
    if (engine.settings.isOggVorbis) outcome = EncodeVorbis(engine, frames, frameCount);
    if (engine.settings.isOpus) outcome = EncodeOpus(engine, frames, frameCount);
    if (engine.settings.isLame && outcome != BlockOutcome::kConnectionLost) {
        outcome = EncodeMp3(engine, frames, frameCount);
    }
    switch (outcome) {
        case BlockOutcome::kMp3BufferTooSmall:
            return -1;
        case BlockOutcome::kStopped:
            return 0;
        case BlockOutcome::kConnectionLost:
            StationMetrics().NoteDestinationLoss(engine.destination.sendFailure.load() == ETIMEDOUT
                                                     ? DestinationLoss::kTimedOut
                                                     : DestinationLoss::kSendFailed);
            return EndConnection(engine, SendFailureText(engine.destination.sendFailure.load()));
        case BlockOutcome::kEncoderFailed:
            Report(engine.sinks.serverStatus, "Encoder init failed");
            StationMetrics().NoteDestinationLoss(DestinationLoss::kEncoderFailed);
            return EndConnection(engine, "the encoder of a new Ogg stream could not be set up");
        case BlockOutcome::kSent:
            break;
    }
    return 1;
}

}  // namespace

int DoEncoding() {
    EngineState& engine = Engine();
    return engine.destination.connected ? EncodeAndSend(engine) : 1;
}

ssize_t FlushOggPages() {
    EngineState& engine = Engine();
    if (!engine.settings.isOggVorbis || !engine.encoder.oggStreamOpen ||
        engine.destination.connected.load() == 0)
        return 0;
    ssize_t total = 0;
    ogg_page page;
    while (total >= 0 && ogg_stream_flush(&engine.encoder.oggStream, &page) != 0) {
        const ssize_t sent = SendOggPage(page);
        total = sent < 0 ? sent : total + sent;
    }
    if (total > 0) engine.encoder.headersPending = 0;
    return total;
}

ssize_t SendVorbisPages() {
    EngineState& engine = Engine();
    ssize_t lastPageSent = 0;
    bool pageSent = false;
    ForEachReadyOggPage(engine, [&lastPageSent, &pageSent](const ogg_page& page) {
        const ssize_t sent = SendOggPage(page);
        // Any failed page means the connection is gone; the caller tears it down, so the rest
        // of the encoder's output need not be taken.
        lastPageSent = sent;
        pageSent = true;
        return sent >= 0 && !ogg_page_eos(&page);
    });
    if (lastPageSent < 0) return lastPageSent;
    // The header pages of a new stream are out, but libogg releases an audio page only when it
    // is full, about half a second of audio later. Servers hand a new stream (and so its title)
    // to their listeners together with its first audio page, so that page goes out at once.
    ogg_page page;
    if (engine.encoder.headersPending && !pageSent &&
        ogg_stream_flush(&engine.encoder.oggStream, &page) != 0) {
        lastPageSent = SendOggPage(page);
        pageSent = true;
    }
    if (pageSent) engine.encoder.headersPending = 0;
    return lastPageSent;
}
