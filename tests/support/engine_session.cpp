#include "tests/support/engine_session.h"

#include <lame/lame.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "common/log.h"
#include "common/status.h"

namespace {

std::mutex recordLock;
std::vector<std::string> recordedStatuses;
std::uint64_t recordedBytes = 0;

void RecordBytes(std::uint64_t byteCount) {
    std::lock_guard lock(recordLock);
    recordedBytes += byteCount;
}

constexpr int kToneBlockFrames = 1152;

float ToneSample(int frame, double toneHz) {
    const double phase = 2.0 * M_PI * toneHz * frame / 44100.0;
    const float hiss = 0.05f * static_cast<float>(frame * 7919 % 200 - 100) / 100.0f;
    return 0.4f * static_cast<float>(std::sin(phase)) + hiss;
}

}  // namespace

void RecordServerStatus(const char* text) {
    std::lock_guard lock(recordLock);
    recordedStatuses.emplace_back(text);
}

void EncodeVorbisTone(int frameCount, double toneHz) {
    EngineState& engine = Engine();
    for (int done = 0; done < frameCount; done += kToneBlockFrames) {
        const int frames = std::min(kToneBlockFrames, frameCount - done);
        float** input = vorbis_analysis_buffer(&engine.vorbisDsp, frames);
        for (int frame = 0; frame < frames; ++frame) {
            for (int channel = 0; channel < engine.channels; ++channel) {
                input[channel][frame] = ToneSample(done + frame, toneHz);
            }
        }
        vorbis_analysis_wrote(&engine.vorbisDsp, frames);
        SendVorbisPages();
    }
}

void EncodeMp3Tone(int frameCount, double toneHz) {
    EngineState& engine = Engine();
    std::vector<float> samples(kToneBlockFrames);
    std::vector<unsigned char> encoded(147456);
    for (int done = 0; done < frameCount; done += kToneBlockFrames) {
        const int frames = std::min(kToneBlockFrames, frameCount - done);
        // LAME's float input uses the 16-bit scale.
        for (int frame = 0; frame < frames; ++frame) {
            samples[frame] = 32767.0f * ToneSample(done + frame, toneHz);
        }
        const int bytes =
            lame_encode_buffer_float(engine.lameEncoder, samples.data(), samples.data(), frames,
                                     encoded.data(), static_cast<int>(encoded.size()));
        if (bytes > 0) SendEncoded(encoded.data(), static_cast<size_t>(bytes));
    }
}

void ConfigureDestination(ServerKind kind, uint16_t port, const std::string& password) {
    EngineState& engine = Engine();
    engine.serverHost.assign("127.0.0.1");
    engine.serverPort.assign(std::to_string(port));
    engine.serverPassword.assign(password);
    engine.serverMountpoint.assign("/live");
    engine.serverDescription.assign("Test Radio");
    engine.serverGenre.assign("Jazz");
    engine.serverStreamUrl.assign("http://example.org/");
    engine.serverPublic = 1;
    engine.isShoutcast = kind == ServerKind::kShoutcast;
    engine.isIcecast = kind == ServerKind::kIcecast;
    engine.isIcecast2 = kind == ServerKind::kIcecast2;
    engine.serverType.assign(kind == ServerKind::kShoutcast ? "Shoutcast"
                             : kind == ServerKind::kIcecast ? "Icecast"
                                                            : "Icecast2");
    ConfigureMp3Output();
}

void ConfigureMp3Output() {
    EngineState& engine = Engine();
    engine.encodeFormat.assign("LAME");
    engine.isLame = 1;
    engine.isOggVorbis = 0;
    engine.isAac = 0;
    engine.sampleRate = 44100;
    engine.channels = 2;
    engine.bitrateNominal = 128;
    engine.bitrateMin = 128;
    engine.bitrateMax = 128;
    engine.lameCbrFlag = 1;
    engine.lameQuality = 5;
}

void ConfigureOggOutput(const char* quality, bool managed) {
    EngineState& engine = Engine();
    engine.encodeFormat.assign("OGG");
    engine.isLame = 0;
    engine.isOggVorbis = 1;
    engine.isAac = 0;
    engine.oggQuality.assign(quality);
    engine.oggBitrateManaged = managed;
    engine.oggBitrateQualityText.assign(managed ? "Bitrate" : "Quality");
}

void EngineSessionTest::SetUp() {
    ResetEngineState();
    ResetLogger();
    SetLogLevel(LOG_DEBUG);
    SetLogPath(logDir_.file("engine.log").c_str());
    ClearStatuses();
    SetServerStatusSink(RecordServerStatus);
    SetBytesSentSink(RecordBytes);
}

void EngineSessionTest::TearDown() {
    ResetEngineState();
    ResetLogger();
}

std::vector<std::string> EngineSessionTest::Statuses() {
    std::lock_guard lock(recordLock);
    return recordedStatuses;
}

void EngineSessionTest::ClearStatuses() {
    std::lock_guard lock(recordLock);
    recordedStatuses.clear();
    recordedBytes = 0;
}

std::uint64_t EngineSessionTest::BytesReported() {
    std::lock_guard lock(recordLock);
    return recordedBytes;
}
