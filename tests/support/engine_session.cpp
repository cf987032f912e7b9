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
        float** input = vorbis_analysis_buffer(&engine.encoder.vorbisDsp, frames);
        for (int frame = 0; frame < frames; ++frame) {
            for (int channel = 0; channel < engine.settings.channels; ++channel) {
                input[channel][frame] = ToneSample(done + frame, toneHz);
            }
        }
        vorbis_analysis_wrote(&engine.encoder.vorbisDsp, frames);
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
            lame_encode_buffer_float(engine.encoder.lameEncoder, samples.data(), samples.data(),
                                     frames, encoded.data(), static_cast<int>(encoded.size()));
        if (bytes > 0) SendEncoded(encoded.data(), static_cast<size_t>(bytes));
    }
}

void ConfigureDestination(ServerKind kind, uint16_t port, const std::string& password) {
    EngineState& engine = Engine();
    engine.settings.serverHost.assign("127.0.0.1");
    engine.settings.serverPort.assign(std::to_string(port));
    engine.settings.serverPassword.assign(password);
    engine.settings.serverMountpoint.assign("/live");
    engine.settings.serverDescription.assign("Test Radio");
    engine.settings.serverGenre.assign("Jazz");
    engine.settings.serverStreamUrl.assign("http://example.org/");
    engine.settings.serverPublic = 1;
    engine.settings.isShoutcast = kind == ServerKind::kShoutcast;
    engine.settings.isIcecast = kind == ServerKind::kIcecast;
    engine.settings.isIcecast2 = kind == ServerKind::kIcecast2;
    engine.settings.serverType.assign(kind == ServerKind::kShoutcast ? "Shoutcast"
                                      : kind == ServerKind::kIcecast ? "Icecast"
                                                                     : "Icecast2");
    ConfigureMp3Output();
}

void ConfigureMp3Output() {
    EngineState& engine = Engine();
    engine.settings.encodeFormat.assign("LAME");
    engine.settings.isLame = 1;
    engine.settings.isOggVorbis = 0;
    engine.settings.sampleRate = 44100;
    engine.settings.channels = 2;
    engine.settings.bitrateNominal = 128;
    engine.settings.bitrateMin = 128;
    engine.settings.bitrateMax = 128;
    engine.settings.lameCbrFlag = 1;
    engine.settings.lameQuality = 5;
}

void ConfigureOggOutput(const char* quality, bool managed) {
    EngineState& engine = Engine();
    engine.settings.encodeFormat.assign("OGG");
    engine.settings.isLame = 0;
    engine.settings.isOggVorbis = 1;
    engine.settings.oggQuality.assign(quality);
    engine.settings.oggBitrateManaged = managed;
    engine.settings.oggBitrateQualityText.assign(managed ? "Bitrate" : "Quality");
}

void EngineSessionTest::SetUp() {
    ResetEngineState();
    ResetRunControl();
    ResetLogger();
    SetLogLevel(LOG_DEBUG);
    SetLogPath(logDir_.file("engine.log").c_str());
    ClearStatuses();
    SetServerStatusSink(RecordServerStatus);
    SetBytesSentSink(RecordBytes);
}

void EngineSessionTest::TearDown() {
    ResetEngineState();
    ResetRunControl();
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
