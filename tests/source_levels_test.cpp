// Source levels through the decoders' door (ProcessSamples): the loudness and peak of signals
// whose values are known, and the dead-air watch over stretches of music, quiet music, hiss,
// silence, the relay's own silence fill and the start of a new transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "bench/music_like.h"
#include "common/log.h"
#include "engine/libzembril.h"
#include "engine/source_levels.h"
#include "tests/support/engine_session.h"
#include "tests/support/log_lines.h"

namespace {

// Interleaved blocks of 1152 frames, as the MP3 decoder hands them over.
constexpr int kBlockFrames = 1152;

void FeedSource(const std::vector<float>& samples, int channels, int rate) {
    const int frames = static_cast<int>(samples.size()) / channels;
    for (int start = 0; start < frames; start += kBlockFrames) {
        const int count = std::min(kBlockFrames, frames - start);
        ProcessSamples(samples.data() + static_cast<std::size_t>(start) * channels, count,
                       channels, rate);
    }
}

// A sine of this peak on every channel.
std::vector<float> Sine(double hz, double peakDbfs, int channels, int rate, double seconds) {
    const double amplitude = std::pow(10.0, peakDbfs / 20.0);
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<float> samples(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value =
            static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate));
        for (int c = 0; c < channels; ++c) samples[i * channels + c] = value;
    }
    return samples;
}

class SourceLevelsTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        Engine().destination.connected = 0;  // the blocks are metered at the door, then dropped
    }
};

// ---- loudness and peak of known signals ----

struct LoudnessCase {
    const char* name;
    double hz;
    double peakDbfs;
    int channels;
    int rate;
    // BS.1770: -0.691 + 10 log10(sum of the channels' mean squares) + the K-weighting gain, which
    // at 1 kHz is +0.691 dB, so a 1 kHz sine on both channels reads its own peak level (EBU Tech
    // 3341, case 1: -23 dBFS reads -23 LUFS); on one channel 3 LU less.
    double expectedLufs;
};

void PrintTo(const LoudnessCase& c, std::ostream* out) {
    *out << c.name;
}

class LoudnessTest : public SourceLevelsTest, public ::testing::WithParamInterface<LoudnessCase> {};

TEST_P(LoudnessTest, ShortTermLoudnessAndPeakReadTheSignalsKnownValues) {
    const LoudnessCase& c = GetParam();
    KeepSourceLevels();
    FeedSource(Sine(c.hz, c.peakDbfs, c.channels, c.rate, 4.0), c.channels, c.rate);
    const SourceLevelReading reading = CurrentSourceLevels();
    EXPECT_NEAR(reading.shortTermLufs, c.expectedLufs, 0.2);
    EXPECT_NEAR(reading.peakDbfs, c.peakDbfs, 0.1);
    EXPECT_FALSE(reading.silent);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, LoudnessTest,
    ::testing::Values(LoudnessCase{"Stereo1kHzAtMinus20", 1000, -20, 2, 48000, -20.0},
                      LoudnessCase{"Stereo1kHzAtMinus23At44100", 1000, -23, 2, 44100, -23.0},
                      LoudnessCase{"Mono1kHzAtMinus20", 1000, -20, 1, 44100, -23.0},
                      LoudnessCase{"Stereo1kHzAtMinus40At32000", 1000, -40, 2, 32000, -40.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SourceLevelsTest, NothingIsMeteredWhileNoOneAsksForIt) {
    FeedSource(Sine(1000, -20, 2, 44100, 2.0), 2, 44100);
    EXPECT_TRUE(std::isinf(CurrentSourceLevels().shortTermLufs));
    EXPECT_TRUE(std::isinf(CurrentSourceLevels().peakDbfs));
}

TEST_F(SourceLevelsTest, LevelLinesComeEveryLevelLogSecsOfAudio) {
    SetLogLevel(LOG_INFO);
    Engine().settings.levelLogSecs = 2;
    FeedSource(Sine(1000, -20, 2, 44100, 5.0), 2, 44100);
    const std::string log = LogText();
    const std::size_t first = log.find("Source level: short-term loudness -");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("Source level:", first + 1), std::string::npos) << log;
    EXPECT_NE(log.find(" LUFS, peak -20.0 dBFS"), std::string::npos) << log;
}

// ---- the dead-air watch ----

enum class Stretch { kMusic, kQuietMusic, kHiss, kSilence, kRelaySilenceFill, kNewTransfer };

struct Step {
    Stretch what;
    double seconds;
};

struct SilenceCase {
    const char* name;
    std::vector<Step> steps;
    bool deadAir;
    bool silent;
    std::size_t deadAirLines;
    bool soundBackLine;
};

void PrintTo(const SilenceCase& c, std::ostream* out) {
    *out << c.name;
}

constexpr int kRate = 44100;

std::vector<float> MusicScaled(MusicLikeGenerator& music, double seconds, float scale) {
    std::vector<float> samples = music.Next(static_cast<int>(seconds * kRate));
    for (float& sample : samples) sample *= scale;
    return samples;
}

// Hiss at about -60 dBFS: no dead air is digital zero alone.
std::vector<float> Hiss(double seconds) {
    std::vector<float> samples(2 * static_cast<std::size_t>(seconds * kRate));
    std::uint32_t state = 7;
    for (float& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = (static_cast<float>(state >> 8) / (1 << 24) - 0.5f) * 0.002f;
    }
    return samples;
}

void Play(const Step& step, MusicLikeGenerator& music) {
    const auto frames = static_cast<int>(step.seconds * kRate);
    switch (step.what) {
        case Stretch::kMusic:
            FeedSource(MusicScaled(music, step.seconds, 1.0f), 2, kRate);
            break;
        case Stretch::kQuietMusic:  // peaks about -40 dBFS
            FeedSource(MusicScaled(music, step.seconds, 0.02f), 2, kRate);
            break;
        case Stretch::kHiss:
            FeedSource(Hiss(step.seconds), 2, kRate);
            break;
        case Stretch::kSilence:
            FeedSource(std::vector<float>(2 * static_cast<std::size_t>(frames), 0.0f), 2, kRate);
            break;
        case Stretch::kRelaySilenceFill: {
            // The output loop's own fill enters behind the door, as the loop sends it.
            const std::vector<float> fill(2 * static_cast<std::size_t>(frames), 0.0f);
            ConvertAndEncode(fill.data(), frames, 2, kRate);
            break;
        }
        case Stretch::kNewTransfer:
            RestartSilenceWatch();
            break;
    }
}

class SilenceWatchTest : public SourceLevelsTest,
                         public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(SilenceWatchTest, DeadAirIsToldOncePerStretchAndEndsWithSound) {
    const SilenceCase& c = GetParam();
    SetLogLevel(LOG_INFO);
    Engine().settings.silenceSecs = 2;
    Engine().settings.silenceThreshold = -50;
    // Connected without a server or an encoder: the blocks pass the intake and go nowhere.
    Engine().settings.sampleRate = kRate;
    Engine().settings.channels = 2;
    Engine().destination.connected = 1;
    MusicLikeGenerator music(kRate);
    for (const Step& step : c.steps) Play(step, music);

    const std::string log = LogText();
    EXPECT_EQ(SourceDeadAir(), c.deadAir);
    EXPECT_EQ(CurrentSourceLevels().silent, c.silent);
    EXPECT_EQ(OccurrencesOf(log, "Dead air: the source has stayed below -50 dBFS for 2 s"),
              c.deadAirLines)
        << log;
    EXPECT_EQ(log.find("Sound from the source again after ") != std::string::npos,
              c.soundBackLine)
        << log;
}

using S = Stretch;
INSTANTIATE_TEST_SUITE_P(
    Stretches, SilenceWatchTest,
    ::testing::Values(
        SilenceCase{"SilentStretch", {{S::kMusic, 1}, {S::kSilence, 3}}, true, true, 1, false},
        SilenceCase{"ShorterThanSilenceSecs", {{S::kMusic, 1}, {S::kSilence, 1.5}, {S::kMusic, 1}},
                    false, false, 0, false},
        SilenceCase{"QuietMusic", {{S::kQuietMusic, 6}}, false, false, 0, false},
        SilenceCase{"HissBelowTheThreshold", {{S::kMusic, 1}, {S::kHiss, 3}}, true, true, 1,
                    false},
        SilenceCase{"LongSilenceIsOneStretch", {{S::kSilence, 8}}, true, true, 1, false},
        SilenceCase{"SoundReturns", {{S::kSilence, 3}, {S::kMusic, 0.5}}, false, false, 1, true},
        SilenceCase{"TwoStretches",
                    {{S::kSilence, 3}, {S::kMusic, 0.5}, {S::kSilence, 3}},
                    true, true, 2, true},
        SilenceCase{"TheRelaysOwnFillIsNoDeadAir",
                    {{S::kMusic, 1}, {S::kRelaySilenceFill, 4}}, false, false, 0, false},
        // A new transfer must show its own silence before it is dead air; the stretch (and its
        // one line) goes on.
        SilenceCase{"NewTransferStartsAfresh",
                    {{S::kSilence, 3}, {S::kNewTransfer, 0}, {S::kSilence, 1}}, false, true, 1,
                    false},
        SilenceCase{"NewTransferSilentAsLong",
                    {{S::kSilence, 3}, {S::kNewTransfer, 0}, {S::kSilence, 2.5}}, true, true, 1,
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SourceLevelsTest, BlocksTheMeterCannotTakeLeaveTheReadingAlone) {
    KeepSourceLevels();
    FeedSource(Sine(1000, -20, 2, 44100, 4.0), 2, 44100);
    const SourceLevelReading before = CurrentSourceLevels();
    const std::vector<float> block(2 * kBlockFrames, 1.0f);
    for (const int rate : {0, -44100, 1, 2000000}) {
        ProcessSamples(block.data(), kBlockFrames, 2, rate);
    }
    ProcessSamples(block.data(), kBlockFrames, 0, 44100);
    ProcessSamples(nullptr, kBlockFrames, 2, 44100);
    ProcessSamples(block.data(), -5, 2, 44100);
    EXPECT_EQ(CurrentSourceLevels().peakDbfs, before.peakDbfs);
    EXPECT_EQ(CurrentSourceLevels().shortTermLufs, before.shortTermLufs);
}

}  // namespace
