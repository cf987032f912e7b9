// Polyphase resampler: filter set-up, exact frame counts, block independence against a
// straightforward reading of the filter, tone frequency and attenuation, contract violations.
#include "resample/resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

// Owns one initialised state for the length of a test.
struct Resampler {
    Resampler(int channels, int outrate, int inrate,
              const ResamplerOption* options = kNoResamplerOptions) {
        EXPECT_EQ(res_init(&state, channels, outrate, inrate, options), 0);
    }
    ~Resampler() {
        if (state.table) res_clear(&state);
    }
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    ResamplerState state{};
};

struct Rates {
    int inrate;
    int outrate;
};

std::string RatesName(const Rates& rates) {
    return std::to_string(rates.inrate) + "_to_" + std::to_string(rates.outrate);
}

std::vector<float> Noise(size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> samples(count);
    for (float& value : samples) value = sample(generator);
    return samples;
}

std::vector<float> Tone(double frequency, int rate, size_t frames, int channels) {
    std::vector<float> samples(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            samples[i * channels + c] =
                static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequency * i / rate));
    return samples;
}

// Room for any pass over `frames` input frames (never empty, so that data() is never null).
size_t OutputRoom(const ResamplerState& state, size_t frames) {
    return (frames * state.outfreq + state.infreq - 1) / state.infreq + 1;
}

// Pushes `input` in blocks of the given sizes (cycling through them) and collects the output.
// Blocks that the resampler drops (too short to complete its pool) are left out of `kept`.
std::vector<float> PushInBlocks(ResamplerState& state, const std::vector<float>& input,
                                const std::vector<size_t>& sizes, std::vector<float>* kept) {
    const size_t channels = state.channels;
    const size_t frames = input.size() / channels;
    std::vector<float> output;
    for (size_t start = 0, block = 0; start < frames; ++block) {
        const size_t length = std::min(sizes[block % sizes.size()], frames - start);
        const bool dropped = length <= state.taps - static_cast<uint32_t>(state.poolfill);
        std::vector<float> dest(OutputRoom(state, length) * channels);
        const int written =
            res_push_interleaved(&state, dest.data(), input.data() + start * channels, length);
        if (dropped) {
            EXPECT_EQ(written, 0);
        } else if (kept) {
            kept->insert(kept->end(), input.begin() + start * channels,
                         input.begin() + (start + length) * channels);
        }
        output.insert(output.end(), dest.begin(), dest.begin() + written * channels);
        start += length;
    }
    return output;
}

// The filter read straight from its definition: the input follows taps/2 + 1 frames of silence;
// output frame k uses row (k * infreq) mod outfreq against the newest frame r_k and the taps - 1
// before it, summed j = 0, 1, 2, ... in single precision. `fresh` supplies the table.
std::vector<float> ReferenceOutput(const ResamplerState& fresh, const std::vector<float>& input) {
    const size_t channels = fresh.channels, taps = fresh.taps;
    const size_t silence = static_cast<size_t>(fresh.poolfill);
    const size_t frames = input.size() / channels;
    std::vector<float> output;
    for (uint64_t k = 0;; ++k) {
        const uint64_t phase = k * fresh.infreq % fresh.outfreq;
        const uint64_t newest = taps + k * fresh.infreq / fresh.outfreq;  // index in silence+input
        if (newest >= silence + frames) break;
        for (size_t c = 0; c < channels; ++c) {
            float sum = 0.0f;
            for (size_t j = 0; j < taps; ++j) {
                const uint64_t at = newest - j;
                const float x = at < silence ? 0.0f : input[(at - silence) * channels + c];
                sum += fresh.table[phase * taps + j] * x;
            }
            output.push_back(sum);
        }
    }
    return output;
}

double BesselI0(double z) {
    double sum = 1, term = 1;
    for (double n = 2; term > 1e-21 * sum; n += 2) {
        term *= (z / n) * (z / n);
        sum += term;
    }
    return sum;
}

// h[k] of the default filter (gain 1, beta 16) with N = outfreq * taps coefficients.
float Coefficient(size_t k, size_t n, double step, double cutoff) {
    const double x = static_cast<double>(k) - static_cast<double>(n / 2);
    if (n % 2 == 0 && k == 0) return 0.0f;
    const double xpi = x * std::numbers::pi;
    const float sinc = x == 0 ? cutoff : std::sin(cutoff / step * xpi) / xpi * step;
    const double half = static_cast<double>((n - 1) / 2 + 1);
    return sinc * (BesselI0(std::sqrt(1 - x * x / (half * half)) * 16.0) / BesselI0(16.0));
}

// ---------------------------------------------------------------------------------------------
// Set-up

TEST(ResampleInit, ReducesRatesAndScalesTapsWhenDownsampling) {
    struct Case {
        Rates rates;
        uint32_t infreq, outfreq, taps;
        int32_t poolfill;
    };
    const Case cases[] = {
        {{44100, 44100}, 1, 1, 45, 23},     {{22050, 44100}, 1, 2, 45, 23},
        {{48000, 44100}, 160, 147, 48, 25}, {{44100, 22050}, 2, 1, 90, 46},
        {{48000, 8000}, 6, 1, 270, 136},    {{192000, 8000}, 24, 1, 1080, 541},
        {{32000, 44100}, 320, 441, 45, 23},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(RatesName(c.rates));
        Resampler resampler(2, c.rates.outrate, c.rates.inrate);
        const ResamplerState& s = resampler.state;
        EXPECT_EQ(s.channels, 2u);
        EXPECT_EQ(s.infreq, c.infreq);
        EXPECT_EQ(s.outfreq, c.outfreq);
        EXPECT_EQ(s.taps, c.taps);
        EXPECT_EQ(s.poolfill, c.poolfill);
        EXPECT_EQ(s.phase, 0);
        EXPECT_TRUE(std::all_of(s.pool, s.pool + 2 * s.taps, [](float v) { return v == 0.0f; }));
    }
}

// The centre coefficient (offset 0) is cutoff x gain; it sits at row (N/2) mod outfreq, column
// (N/2) div outfreq, which also checks where downsampling moves the cut-off.
TEST(ResampleInit, CentreCoefficientIsCutoffTimesGain) {
    const ResamplerOption halfCutoffDoubleGain[] = {
        {RES_CUTOFF, 0.9}, {RES_GAIN, 2.0}, {RES_CUTOFF, 0.5}, {RES_END, 0}};
    const ResamplerOption longFilter[] = {{RES_TAPS, 101.0}, {RES_END, 0}};
    struct Case {
        Rates rates;
        const ResamplerOption* options;
        float centre;
    };
    const Case cases[] = {
        {{44100, 44100}, kNoResamplerOptions, 0.8f},
        {{44100, 44100}, halfCutoffDoubleGain, 1.0f},
        {{44100, 44100}, longFilter, 0.8f},
        {{48000, 44100}, kNoResamplerOptions, static_cast<float>(0.8 * 147 / 160)},
        {{44100, 22050}, kNoResamplerOptions, 0.4f},
        {{22050, 44100}, kNoResamplerOptions, 0.8f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(RatesName(c.rates));
        Resampler resampler(1, c.rates.outrate, c.rates.inrate, c.options);
        const ResamplerState& s = resampler.state;
        const size_t centre = size_t{s.outfreq} * s.taps / 2;
        EXPECT_EQ(s.table[centre % s.outfreq * s.taps + centre / s.outfreq], c.centre);
    }
    Resampler longer(1, 44100, 44100, longFilter);
    EXPECT_EQ(longer.state.taps, 101u);
}

// Rates no stream has would need tables of gigabytes (11930467 -> 44100 Hz: 2.1 GB) or hundreds of
// megabytes; an unusual rate that real hardware has still gets its filter.
TEST(ResampleInit, OversizedFilterTableIsRefusedWithoutStorage) {
    const Rates refused[] = {{11930467, 44100}, {1000003, 44100}, {44101, 44100}, {8000, 1000003}};
    for (const Rates& rates : refused) {
        SCOPED_TRACE(RatesName(rates));
        ResamplerState state{};
        EXPECT_EQ(res_init(&state, 2, rates.outrate, rates.inrate, kNoResamplerOptions), -1);
        EXPECT_EQ(state.table, nullptr);
        EXPECT_EQ(state.pool, nullptr);
    }
    Resampler ntsc(2, 44100, 44056);  // 11025 rows of 45 taps: just under 2 MiB
    EXPECT_EQ(ntsc.state.outfreq, 11025u);
}

TEST(ResampleInit, FilterTooLongToDescribeFailsWithoutStorage) {
    ResamplerState state{};
    EXPECT_EQ(res_init(&state, 2, 1, 200000000, kNoResamplerOptions), -1);
    EXPECT_EQ(state.table, nullptr);
    EXPECT_EQ(state.pool, nullptr);
    EXPECT_EQ(state.taps, 0u);
}

// ---------------------------------------------------------------------------------------------
// Coefficients seen through the output

TEST(ResampleImpulse, EqualRatesGiveTheFilterCentredOnFrameZero) {
    Resampler resampler(1, 44100, 44100);
    std::vector<float> input(100, 0.0f);
    input[0] = 1.0f;
    std::vector<float> output(100);
    ASSERT_EQ(res_push_interleaved(&resampler.state, output.data(), input.data(), 100), 78);
    EXPECT_EQ(output[0], 0.8f);
    for (size_t k = 22; k < 45; ++k) EXPECT_FLOAT_EQ(output[k - 22], Coefficient(k, 45, 1, 0.8));
    for (size_t i = 23; i < 78; ++i) EXPECT_EQ(output[i], 0.0f);
}

// Upsampling by two interleaves the two phases, so an impulse plays back h[0], h[1], ... in
// coefficient order: the table layout made visible.
TEST(ResampleImpulse, UpsamplingPlaysTheWholeFilterInOrder) {
    Resampler resampler(1, 44100, 22050);
    std::vector<float> input(100, 0.0f);
    input[30] = 1.0f;
    std::vector<float> output(200);
    ASSERT_EQ(res_push_interleaved(&resampler.state, output.data(), input.data(), 100), 156);
    const size_t first = 2 * 30 - 44;
    EXPECT_EQ(output[first], 0.0f);  // h[0] of the even-length filter
    EXPECT_EQ(output[first + 45], 0.8f);
    for (size_t k = 1; k < 90; ++k) {
        EXPECT_FLOAT_EQ(output[first + k], Coefficient(k, 90, 2, 0.8)) << k;
        if (k < 45) {
            EXPECT_EQ(output[first + k], output[first + 90 - k]) << k;
        }
    }
    for (size_t i = 0; i < first; ++i) EXPECT_EQ(output[i], 0.0f);
}

// ---------------------------------------------------------------------------------------------
// Frame counts

TEST(ResampleCounts, FirstPassesFor48000To44100InBlocksOf1151) {
    Resampler resampler(2, 44100, 48000);
    ResamplerState& s = resampler.state;
    ASSERT_EQ(res_input_limit(&s, 1058), 1151u);
    const std::vector<float> input = Noise(1151 * 2, 1);
    std::vector<float> dest(1058 * 2);
    const int expected[] = {1037, 1057, 1058};
    for (int count : expected)
        EXPECT_EQ(res_push_interleaved(&s, dest.data(), input.data(), 1151), count);
    for (int pass = 0; pass < 300; ++pass)
        EXPECT_LE(res_push_interleaved(&s, dest.data(), input.data(), 1151), 1058);
}

// Whatever the phase and pool, a pass over res_input_limit(n) frames fits in n frames. The
// destination is exactly n frames long so that the sanitizer build catches any overrun.
TEST(ResampleCounts, InputLimitNeverOverflowsTheOutput) {
    const Rates cases[] = {{48000, 44100}, {44100, 48000}, {44100, 22050}, {22050, 44100},
                           {48000, 8000},  {32000, 44100}, {44100, 44100}, {11025, 48000}};
    std::mt19937 generator(7);
    std::uniform_int_distribution<uint64_t> room(1, 3000);
    for (const Rates& rates : cases) {
        SCOPED_TRACE(RatesName(rates));
        Resampler resampler(2, rates.outrate, rates.inrate);
        const std::vector<float> input = Noise(20000 * 2, 2);  // covers 3000 frames at 6:1
        for (int pass = 0; pass < 200; ++pass) {
            const uint64_t n = room(generator);
            const uint64_t frames = res_input_limit(&resampler.state, n);
            std::vector<float> dest(n * 2);
            EXPECT_LE(res_push_interleaved(&resampler.state, dest.data(), input.data(), frames),
                      static_cast<int>(n));
        }
    }
}

TEST(ResampleCounts, ShortFirstBlockIsDroppedAndEmptyBlockChangesNothing) {
    Resampler resampler(1, 44100, 44100);  // 22 frames missing from the pool
    ResamplerState& s = resampler.state;
    std::vector<float> dest(64);
    const std::vector<float> input = Noise(64, 3);
    EXPECT_EQ(res_push_interleaved(&s, dest.data(), input.data(), 0), 0);
    EXPECT_EQ(res_push_interleaved(&s, dest.data(), input.data(), 22), 0);
    EXPECT_EQ(s.poolfill, 23);
    EXPECT_EQ(s.phase, 0);
    EXPECT_EQ(res_push_interleaved(&s, dest.data(), input.data(), 23), 1);
    EXPECT_EQ(s.poolfill, 45);
}

// ---------------------------------------------------------------------------------------------
// Block independence and the fused stereo loop

struct BlockCase {
    Rates rates;
    int channels;
    std::vector<size_t> sizes;
};

void PrintTo(const BlockCase& c, std::ostream* out) {
    *out << RatesName(c.rates) << ", " << c.channels << " channels, " << c.sizes.size()
         << " block sizes";
}

class ResampleBlocks : public testing::TestWithParam<BlockCase> {};

// Any split of the stream gives, bit for bit, the output of the plain definition over the frames
// that were not dropped; planar input gives the same bits as interleaved.
TEST_P(ResampleBlocks, MatchTheDefinitionBitForBit) {
    const BlockCase& param = GetParam();
    const int channels = param.channels;
    const std::vector<float> input = Noise(6000 * channels, 4);
    Resampler blocks(channels, param.rates.outrate, param.rates.inrate);
    Resampler reference(channels, param.rates.outrate, param.rates.inrate);
    std::vector<float> kept;
    const std::vector<float> output = PushInBlocks(blocks.state, input, param.sizes, &kept);
    const std::vector<float> expected = ReferenceOutput(reference.state, kept);
    ASSERT_EQ(output.size(), expected.size());
    EXPECT_EQ(output, expected);

    Resampler planar(channels, param.rates.outrate, param.rates.inrate);
    const size_t frames = kept.size() / channels;
    std::vector<std::vector<float>> in(channels, std::vector<float>(frames));
    std::vector<std::vector<float>> out(channels,
                                        std::vector<float>(OutputRoom(planar.state, frames)));
    std::vector<const float*> sources;
    std::vector<float*> dests;
    for (int c = 0; c < channels; ++c) {
        for (size_t i = 0; i < frames; ++i) in[c][i] = kept[i * channels + c];
        sources.push_back(in[c].data());
        dests.push_back(out[c].data());
    }
    const int written = res_push_planar(&planar.state, dests.data(), sources.data(), frames);
    ASSERT_EQ(static_cast<size_t>(written) * channels, expected.size());
    for (int i = 0; i < written; ++i)
        for (int c = 0; c < channels; ++c) ASSERT_EQ(out[c][i], expected[i * channels + c]);
}

const std::vector<size_t> kWhole = {100000};
const std::vector<size_t> kMixed = {5, 1151, 1, 0, 2, 3, 700, 47, 48, 49, 4096, 13};
const std::vector<size_t> kTiny = {1, 2, 3, 1, 0, 7, 160, 2};
const std::vector<size_t> kIntake = {1152};

INSTANTIATE_TEST_SUITE_P(
    Splits, ResampleBlocks,
    testing::Values(BlockCase{{48000, 44100}, 2, kWhole}, BlockCase{{48000, 44100}, 2, kMixed},
                    BlockCase{{48000, 44100}, 2, kTiny}, BlockCase{{44100, 22050}, 2, kMixed},
                    BlockCase{{22050, 44100}, 2, kTiny}, BlockCase{{44100, 44100}, 2, kMixed},
                    BlockCase{{48000, 8000}, 2, kTiny}, BlockCase{{32000, 44100}, 2, kIntake},
                    BlockCase{{48000, 44100}, 1, kMixed}, BlockCase{{44100, 48000}, 3, kMixed}),
    [](const testing::TestParamInfo<BlockCase>& info) {
        return RatesName(info.param.rates) + "_" + std::to_string(info.param.channels) + "ch_" +
               std::to_string(info.index);
    });

// ---------------------------------------------------------------------------------------------
// Tones

std::vector<float> ResampleTone(Rates rates, double frequency) {
    Resampler resampler(2, rates.outrate, rates.inrate);
    const std::vector<float> input = Tone(frequency, rates.inrate, rates.inrate, 2);
    return PushInBlocks(resampler.state, input, {res_input_limit(&resampler.state, 1152)}, nullptr);
}

// Frequency from the first and last rising zero crossing (linearly interpolated) of channel 0,
// after the start-up transient.
double MeasuredFrequency(const std::vector<float>& stereo, int rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = 200; i + 1 < stereo.size() / 2; ++i) {
        const float a = stereo[2 * i], b = stereo[2 * i + 2];
        if (a < 0 && b >= 0) {
            const double at = i + a / (a - b);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    return (crossings - 1) * rate / (last - first);
}

double Rms(const std::vector<float>& stereo, size_t skipFrames) {
    double sum = 0;
    for (size_t i = skipFrames * 2; i < stereo.size(); ++i) sum += double{stereo[i]} * stereo[i];
    return std::sqrt(sum / (stereo.size() - skipFrames * 2));
}

TEST(ResampleTone, OneKilohertzKeepsItsFrequencyAndLevel) {
    const Rates cases[] = {{48000, 44100}, {44100, 22050}, {22050, 44100}};
    for (const Rates& rates : cases) {
        SCOPED_TRACE(RatesName(rates));
        const std::vector<float> output = ResampleTone(rates, 1000.0);
        EXPECT_NEAR(MeasuredFrequency(output, rates.outrate), 1000.0, 0.05);
        EXPECT_NEAR(Rms(output, 200), 0.5 / std::sqrt(2.0), 0.01);
    }
}

TEST(ResampleTone, ToneAboveTheNewNyquistFrequencyIsAttenuated) {
    struct Case {
        Rates rates;
        double frequency;
    };
    const Case cases[] = {
        {{48000, 44100}, 23000.0}, {{44100, 22050}, 15000.0}, {{48000, 8000}, 6000.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(RatesName(c.rates));
        const std::vector<float> output = ResampleTone(c.rates, c.frequency);
        EXPECT_LT(Rms(output, 200), 0.5 / std::sqrt(2.0) * 1e-5);  // at least 100 dB down
    }
}

// ---------------------------------------------------------------------------------------------
// Drain and contract violations

// A drain is a push of taps/2 - 1 silent frames: interleaved and planar agree with the definition
// over the stream followed by that silence, and no push is accepted afterwards.
TEST(ResampleDrainDeathTest, FlushesHalfAFilterOfSilenceThenRefusesPushes) {
    Resampler interleaved(2, 44100, 44100), planar(2, 44100, 44100), reference(2, 44100, 44100);
    std::vector<float> input = Noise(200 * 2, 5);
    std::vector<float> dest(200 * 2);
    ASSERT_EQ(res_push_interleaved(&interleaved.state, dest.data(), input.data(), 200), 178);
    std::vector<float> left(200), right(200), leftOut(200), rightOut(200);
    for (size_t i = 0; i < 200; ++i) left[i] = input[2 * i], right[i] = input[2 * i + 1];
    const float* sources[] = {left.data(), right.data()};
    float* dests[] = {leftOut.data(), rightOut.data()};
    ASSERT_EQ(res_push_planar(&planar.state, dests, sources, 200), 178);

    ASSERT_EQ(res_drain_length(&interleaved.state), 21u);
    EXPECT_EQ(res_drain_interleaved(&interleaved.state, dest.data()), 21);
    EXPECT_EQ(res_drain_planar(&planar.state, dests), 21);
    input.resize(221 * 2, 0.0f);
    const std::vector<float> expected = ReferenceOutput(reference.state, input);
    ASSERT_EQ(expected.size(), 199u * 2);
    for (size_t i = 0; i < 21; ++i) {
        EXPECT_EQ(dest[2 * i], expected[2 * (178 + i)]) << i;
        EXPECT_EQ(dest[2 * i + 1], expected[2 * (178 + i) + 1]) << i;
        EXPECT_EQ(leftOut[i], expected[2 * (178 + i)]) << i;
        EXPECT_EQ(rightOut[i], expected[2 * (178 + i) + 1]) << i;
    }
    EXPECT_EQ(interleaved.state.poolfill, -1);
    EXPECT_DEATH(res_push_interleaved(&interleaved.state, dest.data(), input.data(), 200),
                 "resample: res_push_interleaved: Assertion `state->poolfill >= 0' failed\\.");
}

TEST(ResampleDeathTest, ViolatedPreconditionsNameExpressionAndFunction) {
    const ResamplerOption badCode[] = {{7, 1.0}, {RES_END, 0}};
    const ResamplerOption fewTaps[] = {{RES_TAPS, 2.0}, {RES_END, 0}};
    const ResamplerOption wideCutoff[] = {{RES_CUTOFF, 1.5}, {RES_END, 0}};
    const ResamplerOption flatBeta[] = {{RES_BETA, 2.0}, {RES_END, 0}};
    struct Case {
        int channels;
        const ResamplerOption* options;
        const char* message;
    };
    const Case cases[] = {
        {0, kNoResamplerOptions, "res_init: Assertion `channels > 0' failed"},
        {2, badCode, "res_init: Assertion `\"arglist\" == \"valid\"' failed"},
        {2, fewTaps, "res_init: Assertion `taps > 2 && taps < 1000' failed"},
        {2, wideCutoff, "res_init: Assertion `cutoff > 0.01 && cutoff <= 1.0' failed"},
        {2, flatBeta, "res_init: Assertion `beta > 2.0' failed"},
    };
    for (const Case& c : cases) {
        ResamplerState state{};
        EXPECT_DEATH(res_init(&state, c.channels, 44100, 48000, c.options),
                     std::string("resample: ") + c.message);
    }
    ResamplerState never{};
    EXPECT_DEATH(res_clear(&never), "resample: res_clear: Assertion `state->table' failed");
    ResamplerState cleared{};
    ASSERT_EQ(res_init(&cleared, 2, 44100, 48000, kNoResamplerOptions), 0);
    res_clear(&cleared);
    EXPECT_DEATH(res_clear(&cleared), "resample: res_clear: Assertion `state->table' failed");
}

// The per-channel pass checks its own pointers.
TEST(ResampleDeathTest, PlanarPushWithoutChannelDestination) {
    Resampler resampler(2, 44100, 48000);
    std::vector<float> left(100), right(100), leftOut(100);
    const float* sources[] = {left.data(), right.data()};
    float* dests[] = {leftOut.data(), nullptr};
    EXPECT_DEATH(res_push_planar(&resampler.state, dests, sources, 100),
                 "resample: push: Assertion `dest' failed");
}

// A zero state has no channels: the first push refuses and marks it, the next one stops.
TEST(ResampleDeathTest, PushOnStateWithoutChannels) {
    ResamplerState state{};
    float frame[2] = {0, 0};
    EXPECT_EQ(res_push_interleaved(&state, frame, frame, 1), -1);
    EXPECT_EQ(state.poolfill, -1);
    EXPECT_DEATH(res_push_interleaved(&state, frame, frame, 1),
                 "resample: res_push_interleaved: Assertion `state->poolfill >= 0' failed");
}

}  // namespace
