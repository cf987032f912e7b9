#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/config_store.h"
#include "common/log.h"
#include "common/run_control.h"
#include "common/status.h"
#include "decoders/aac_decoder.h"
#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "input/input_state.h"

void ResetProcessRecords() {
    ResetInputState();
    ResetMp3Decoder();
    ResetAacDecoder();
    ResetVorbisDecoderState();
    ResetEngineState();
    ClearFrontEndSlots();
    ResetRunControl();
    ResetConfigTable();
    ResetLogger();
    SetLogPath("/dev/null");
    SetLogLevel(LOG_DEBUG);
    Mp3Decoder().sampleConsumer = CheckMp3Samples;
    AacDecoder().sampleConsumer = CheckAacSamples;
    VorbisDecoder().sampleConsumer = CheckVorbisSamples;
}

namespace {
// Taken before libFuzzer starts: scripts/fuzz has it close standard error (the log's Error lines
// would flood it), and a failed check must still be told.
const int failureReportFd = dup(STDERR_FILENO);
}  // namespace

void FuzzFailure(const char* what) {
    dprintf(failureReportFd >= 0 ? failureReportFd : STDERR_FILENO, "fuzz check failed: %s\n",
            what);
    std::abort();
}

namespace {

void CheckBlockShape(int frameCount, int channelCount, int sampleRate) {
    FuzzCheck(frameCount > 0, "a decoded block holds frames");
    FuzzCheck(channelCount == 1 || channelCount == 2, "a decoded block has one or two channels");
    FuzzCheck(sampleRate > 0, "a decoded block has a sample rate");
}

}  // namespace

int CheckMp3Samples(const float* samples, int frameCount, int channelCount, int sampleRate) {
    CheckBlockShape(frameCount, channelCount, sampleRate);
    FuzzCheck(static_cast<std::size_t>(frameCount) <= kMp3MaxFrameSamples,
              "an MP3 block is at most one frame");
    for (int i = 0; i < frameCount * channelCount; ++i) {
        FuzzCheck(std::isfinite(samples[i]), "MP3 samples are finite");
    }
    return 1;
}

int CheckAacSamples(const float* samples, int frameCount, int channelCount, int sampleRate) {
    CheckBlockShape(frameCount, channelCount, sampleRate);
    FuzzCheck(frameCount <= kAacMaxFrameSamples, "an AAC block is at most one frame");
    for (int i = 0; i < frameCount * channelCount; ++i) {
        FuzzCheck(std::isfinite(samples[i]), "AAC samples are finite");
    }
    return 1;
}

int CheckVorbisSamples(const float* samples, int frameCount, int channelCount, int sampleRate) {
    CheckBlockShape(frameCount, channelCount, sampleRate);
    for (int i = 0; i < frameCount * channelCount; ++i) {
        FuzzCheck(samples[i] >= -1.0f && samples[i] <= 1.0f, "Vorbis samples lie within ±1.0");
    }
    return 1;
}

std::size_t ChunkCutter::Next(std::size_t remaining) {
    // xorshift32: the same cuts for the same seed on every run.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    const std::size_t size = (state_ & 7) == 0 ? 1 + (state_ >> 8) % 16384 : 1 + (state_ >> 8) % 64;
    return size < remaining ? size : remaining;
}

std::uint8_t InputBytes::Byte() {
    if (rest_.empty()) return 0;
    const auto byte = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return byte;
}

std::uint16_t InputBytes::Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | Byte() << 8);
}

void DecodeOggThroughRingSource(std::string_view stream) {
    InputState& input = Input();
    input.inputIsVorbis = true;
    input.ringBuffer.create(stream.size() + 1);
    input.ringBuffer.write(stream.data(), stream.size());
    input.oggSource.Rearm();
    input.oggSource.Finish();
    vorbis_decoder_thread(&input.oggSource);
}
