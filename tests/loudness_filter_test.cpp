// The K-weighted loudness of 100 ms slots, held against libebur128's reading of the same audio:
// music-like sound, the filter's low and high ends, mono, stereo and 5.1 (with its LFE and
// surround weights), at the rates stations use.
#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bench/music_like.h"
#include "engine/loudness_filter.h"

namespace {

enum class Signal { kMusicLike, kLowHum, kHighTone, kNoise };

struct FilterCase {
    const char* name;
    Signal signal;
    unsigned channels;
    unsigned long rate;
};

void PrintTo(const FilterCase& c, std::ostream* out) {
    *out << c.name;
}

// Each channel its own level, so that a wrong channel weight shows.
std::vector<float> Audio(const FilterCase& c, double seconds) {
    const auto frames = static_cast<std::size_t>(seconds * static_cast<double>(c.rate));
    std::vector<float> samples(frames * c.channels);
    MusicLikeGenerator music(static_cast<int>(c.rate));
    const std::vector<float> stereo = music.Next(static_cast<int>(frames));
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const double t = static_cast<double>(frame) / static_cast<double>(c.rate);
        for (unsigned channel = 0; channel < c.channels; ++channel) {
            const float gain = 1.0f / static_cast<float>(channel + 1);
            float value = 0.0f;
            switch (c.signal) {
                case Signal::kMusicLike: value = stereo[2 * frame + channel % 2]; break;
                case Signal::kLowHum:
                    value = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 30 * t));
                    break;
                case Signal::kHighTone:
                    value = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 9000 * t));
                    break;
                case Signal::kNoise: value = noise(random); break;
            }
            samples[frame * c.channels + channel] = gain * value;
        }
    }
    return samples;
}

struct Ebur128Owner {
    void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};

class LoudnessFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(LoudnessFilterTest, EverySlotReadsAsLibebur128ReadsIt) {
    const FilterCase& c = GetParam();
    const std::vector<float> samples = Audio(c, 2.0);
    std::unique_ptr<ebur128_state, Ebur128Owner> reference(
        ebur128_init(c.channels, c.rate, EBUR128_MODE_M));
    ASSERT_NE(reference, nullptr);
    LoudnessFilter filter;
    filter.Prepare(c.channels, c.rate);

    const std::size_t slotFrames = c.rate / 10;
    const std::size_t slots = samples.size() / c.channels / slotFrames;
    for (std::size_t slot = 0; slot < slots; ++slot) {
        const float* slotSamples = samples.data() + slot * slotFrames * c.channels;
        ASSERT_EQ(ebur128_add_frames_float(reference.get(), slotSamples, slotFrames),
                  EBUR128_SUCCESS);
        filter.Add(slotSamples, slotFrames);
        double expected = 0.0;
        ASSERT_EQ(ebur128_loudness_window(reference.get(), 100, &expected), EBUR128_SUCCESS);
        const double measured = -0.691 + 10.0 * std::log10(filter.TakeMeanSquare());
        ASSERT_NEAR(measured, expected, 0.01) << "slot " << slot;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, LoudnessFilterTest,
    ::testing::Values(FilterCase{"MusicLikeStereo44100", Signal::kMusicLike, 2, 44100},
                      FilterCase{"MusicLikeMono48000", Signal::kMusicLike, 1, 48000},
                      FilterCase{"LowHumStereo32000", Signal::kLowHum, 2, 32000},
                      FilterCase{"HighToneStereo22050", Signal::kHighTone, 2, 22050},
                      FilterCase{"NoiseSurround48000", Signal::kNoise, 6, 48000},
                      FilterCase{"NoiseEightChannels96000", Signal::kNoise, 8, 96000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoudnessFilterPeakTest, AddGivesTheHighestMagnitudeOnAnyChannel) {
    LoudnessFilter filter;
    filter.Prepare(2, 44100);
    const std::vector<float> frames = {0.1f, -0.2f, 0.05f, -0.75f, 0.5f, 0.0f};
    EXPECT_FLOAT_EQ(filter.Add(frames.data(), 3), 0.75f);
    EXPECT_GT(filter.TakeMeanSquare(), 0.0);
    EXPECT_EQ(filter.TakeMeanSquare(), 0.0);  // a new sum began
}

}  // namespace
