// The sample intake: channel conversion, rate conversion (every frame of every block, whatever
// the block sizes), rate changes, and the blocks it refuses. The engine is marked connected
// without a server and without an encoder, so DoEncoding only passes the blocks by; a tap
// records what the intake hands to it.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "resample/resample.h"
#include "tests/support/audio_check.h"
#include "tests/support/engine_session.h"

namespace {

struct Tapped {
    std::vector<float> frames;  // interleaved left/right, all blocks in order
    int calls = 0;
    std::vector<int> blockFrames;
};
Tapped tapped;

void RecordBlock(const float* frames, int frameCount) {
    ++tapped.calls;
    tapped.blockFrames.push_back(frameCount);
    tapped.frames.insert(tapped.frames.end(), frames, frames + 2 * frameCount);
}

class SampleIntakeTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        tapped = Tapped{};
        SetEncodeBlockTap(RecordBlock);
        EngineState& engine = Engine();
        engine.settings.sampleRate = 44100;
        engine.settings.channels = 2;
        engine.destination.connected = 1;  // no server, no encoder: DoEncoding sends nothing
    }
    void TearDown() override {
        SetEncodeBlockTap(nullptr);
        EngineSessionTest::TearDown();
    }

    static int Feed(const std::vector<float>& block, int channels, int rate) {
        const int frames = static_cast<int>(block.size()) / channels;
        return ProcessSamples(block.data(), frames, channels, rate);
    }
};

// ---- channel conversion ----

struct ChannelCase {
    const char* name;
    int sourceChannels;
    int outputChannels;
    std::vector<float> block;
    std::vector<float> expected;  // left/right frames
};
void PrintTo(const ChannelCase& c, std::ostream* out) {
    *out << c.name;
}

class ChannelConversionTest : public SampleIntakeTest,
                              public ::testing::WithParamInterface<ChannelCase> {};

TEST_P(ChannelConversionTest, GivesTheSpecifiedLeftRightFrames) {
    const ChannelCase& c = GetParam();
    Engine().settings.channels = c.outputChannels;
    EXPECT_EQ(Feed(c.block, c.sourceChannels, 44100), 1);
    ASSERT_EQ(tapped.calls, 1);
    EXPECT_EQ(tapped.frames, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChannelConversionTest,
    ::testing::Values(
        ChannelCase{"StereoToStereoUnchanged",
                    2,
                    2,
                    {0.5f, -0.25f, 0.1f, 0.2f},
                    {0.5f, -0.25f, 0.1f, 0.2f}},
        ChannelCase{
            "StereoToMonoMixes", 2, 1, {0.5f, -0.25f, 1.0f, 0.0f}, {0.125f, 0.125f, 0.5f, 0.5f}},
        ChannelCase{"MonoToStereoDuplicates",
                    1,
                    2,
                    {0.3f, -0.7f, 0.9f},
                    {0.3f, 0.3f, -0.7f, -0.7f, 0.9f, 0.9f}},
        ChannelCase{"MonoToMonoDuplicates", 1, 1, {0.3f, -0.7f}, {0.3f, 0.3f, -0.7f, -0.7f}},
        // A mono block is never read past its end, whatever the configured count.
        ChannelCase{"MonoToUnusualCountDuplicates", 1, 6, {0.3f}, {0.3f, 0.3f}},
        ChannelCase{"ThreeChannelsGiveTheirFirstTwo", 3, 2, {1, 2, 3, 4, 5, 6}, {1, 2, 4, 5}},
        ChannelCase{"SixChannelsToMonoGiveTheirFirstTwo",
                    6,
                    1,
                    {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                    {1, 2, 7, 8}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- gates ----

TEST_F(SampleIntakeTest, LeavesNoTraceWhileNotConnected) {
    Engine().destination.connected = 0;
    EXPECT_EQ(Feed(SineGenerator(48000, {440, 440}).Next(1152), 2, 48000), 1);
    EXPECT_EQ(tapped.calls, 0);
    EXPECT_EQ(Engine().encoder.lastInputRate, 0);
    EXPECT_EQ(Engine().encoder.resamplerReady, 0);
}

TEST_F(SampleIntakeTest, EmptyBlockReachesTheEncoderOnlyAtTheOutputRate) {
    EXPECT_EQ(ProcessSamples(nullptr, 0, 2, 44100), 1);
    EXPECT_EQ(tapped.blockFrames, std::vector<int>{0});
    EXPECT_EQ(ProcessSamples(nullptr, 0, 2, 48000), 1);
    EXPECT_EQ(tapped.calls, 1);
}

struct BadRateCase {
    const char* name;
    std::int64_t outputRate;
    int sourceRate;
};
void PrintTo(const BadRateCase& c, std::ostream* out) {
    *out << c.name;
}

class UnusableRateTest : public SampleIntakeTest,
                         public ::testing::WithParamInterface<BadRateCase> {};

TEST_P(UnusableRateTest, DropsTheBlockAsAFailedResamplerAndGoesOn) {
    Engine().settings.sampleRate = GetParam().outputRate;
    const std::vector<float> block(2 * 1152, 0.25f);
    EXPECT_EQ(ProcessSamples(block.data(), 1152, 2, GetParam().sourceRate), 1);
    EXPECT_EQ(tapped.calls, 0);
    EXPECT_NE(LogText().find("Error initializing resampler"), std::string::npos) << LogText();
    EXPECT_EQ(Engine().destination.connected.load(), 1);

    // Further blocks of the same rate are dropped without a line each.
    const auto refusals = [this] {
        const std::string log = LogText();
        std::size_t count = 0;
        for (std::size_t at = log.find("Error initializing resampler"); at != std::string::npos;
             at = log.find("Error initializing resampler", at + 1)) {
            ++count;
        }
        return count;
    };
    const std::size_t linesAfterFirst = refusals();
    for (int repeat = 0; repeat < 5; ++repeat) {
        ProcessSamples(block.data(), 1152, 2, GetParam().sourceRate);
    }
    EXPECT_EQ(refusals(), linesAfterFirst);

    // A usable block after it is converted as usual.
    Engine().settings.sampleRate = 44100;
    EXPECT_EQ(ProcessSamples(block.data(), 1152, 2, 44100), 1);
    EXPECT_EQ(tapped.calls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnusableRateTest,
    ::testing::Values(BadRateCase{"ZeroSourceRate", 44100, 0},
                      BadRateCase{"NegativeSourceRate", 44100, -8000},
                      // Its filter table would need far more than 32-bit sizes.
                      BadRateCase{"HugeSourceRate", 44100, 2000000000},
                      BadRateCase{"OutputRateBeyond32Bits", 3000000000LL, 44100}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- rate conversion ----

// The frames one resampler gives for the whole stream pushed at once.
std::vector<float> ResampleWhole(const std::vector<float>& stereo, int outRate, int inRate) {
    ResamplerState state{};
    EXPECT_EQ(res_init(&state, 2, outRate, inRate, kNoResamplerOptions), 0);
    const std::uint64_t frames = stereo.size() / 2;
    std::vector<float> out(2 * (frames * state.outfreq / state.infreq + 2));
    const int written = res_push_interleaved(&state, out.data(), stereo.data(), frames);
    res_clear(&state);
    out.resize(2 * static_cast<std::size_t>(written > 0 ? written : 0));
    return out;
}

struct BlockingCase {
    const char* name;
    int sourceRate;
    int outputRate;
    std::vector<int> blockSizes;  // repeated until the stream is used up
};
void PrintTo(const BlockingCase& c, std::ostream* out) {
    *out << c.name;
}

class BlockSizeIndependenceTest : public SampleIntakeTest,
                                  public ::testing::WithParamInterface<BlockingCase> {};

TEST_P(BlockSizeIndependenceTest, GivesTheFramesOfOneWholePush) {
    const BlockingCase& c = GetParam();
    Engine().settings.sampleRate = c.outputRate;
    constexpr int kStreamFrames = 30000;
    const std::vector<float> stream = SineGenerator(c.sourceRate, {997, 1499}).Next(kStreamFrames);

    int position = 0;
    for (std::size_t i = 0; position < kStreamFrames; ++i) {
        // The last block is long, so that nothing is left waiting for more frames.
        int size = c.blockSizes[i % c.blockSizes.size()];
        if (kStreamFrames - position < 2000 || size > kStreamFrames - position) {
            size = kStreamFrames - position;
        }
        ProcessSamples(stream.data() + 2 * position, size, 2, c.sourceRate);
        position += size;
    }
    const std::vector<float> whole = ResampleWhole(stream, c.outputRate, c.sourceRate);
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(tapped.frames.size(), whole.size());
    EXPECT_TRUE(tapped.frames == whole) << "the converted frames differ from one whole push";
}

INSTANTIATE_TEST_SUITE_P(
    Table, BlockSizeIndependenceTest,
    ::testing::Values(
        // Every block of 1152 frames would lose its last frame if only the input limit of
        // n = 1058 output frames entered the resampler.
        BlockingCase{"From48000InMp3Blocks", 48000, 44100, {1152}},
        BlockingCase{"From48000InSingleFrames", 48000, 44100, {1}},
        BlockingCase{"From48000InMixedSizes", 48000, 44100, {1, 2, 3, 7, 1151, 64, 4096, 5}},
        BlockingCase{"From22050InSingleFrames", 22050, 44100, {1}},
        BlockingCase{"From22050InMixedSizes", 22050, 44100, {13, 1, 1152, 22, 23, 900}},
        BlockingCase{"From44100To48000InMixedSizes", 44100, 48000, {5, 1024, 1, 333}},
        BlockingCase{"From44100To22050InMixedSizes", 44100, 22050, {1, 89, 90, 91, 2048}},
        BlockingCase{"From32000InVorbisBlocks", 32000, 44100, {1024, 128, 1024, 256}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SampleIntakeTest, FeedsMonoSourcesThroughTheResamplerAsDuplicatedFrames) {
    const std::vector<float> mono = SineGenerator(22050, {440}).Next(5000);
    std::vector<float> stereo;
    for (const float value : mono) stereo.insert(stereo.end(), {value, value});
    for (int position = 0; position < 5000; position += 1000) {
        ProcessSamples(mono.data() + position, 1000, 1, 22050);
    }
    EXPECT_EQ(tapped.frames, ResampleWhole(stereo, 44100, 22050));
}

TEST_F(SampleIntakeTest, NewSourceRateStartsAFreshResampler) {
    SineGenerator first(48000, {440, 440});
    for (int i = 0; i < 5; ++i) Feed(first.Next(1152), 2, 48000);
    Feed(SineGenerator(44100, {440, 440}).Next(1152), 2, 44100);  // at the output rate
    EXPECT_EQ(Engine().encoder.resamplerReady, 0);

    const std::vector<float> again = SineGenerator(48000, {660, 660}).Next(4 * 1152);
    tapped = Tapped{};
    for (int i = 0; i < 4; ++i) ProcessSamples(again.data() + 2 * 1152 * i, 1152, 2, 48000);
    EXPECT_EQ(Engine().encoder.lastInputRate, 48000);
    EXPECT_EQ(tapped.frames, ResampleWhole(again, 44100, 48000));
}

TEST_F(SampleIntakeTest, ResampledToneKeepsItsFrequency) {
    SineGenerator tone(22050, {1000, 1000});
    for (int i = 0; i < 40; ++i) Feed(tone.Next(1152), 2, 22050);
    std::vector<float> left;
    for (std::size_t i = 0; i < tapped.frames.size(); i += 2) left.push_back(tapped.frames[i]);
    EXPECT_NEAR(left.size(), 40 * 1152 * 2, 64);
    EXPECT_NEAR(EstimateToneHz(left, 44100, 1000), 1000.0, 1.0);
}

}  // namespace
