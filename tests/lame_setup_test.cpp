// LAME set-up: every setting reaches the encoder, the VBR modes by their exact names, the header
// flags every frame, LAME's own messages stay quiet; and output formats that have no encoder here.
#include <gtest/gtest.h>
#include <lame/lame.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/mp3_fixture.h"

namespace {

class NoEncoderTest : public EngineSessionTest,
                      public ::testing::WithParamInterface<const char*> {};

TEST_P(NoEncoderTest, OutputFormatWithoutEncoderFails) {
    ConfigureDestination(ServerKind::kIcecast2, 8000);
    EngineState& engine = Engine();
    engine.settings.encodeFormat.assign(GetParam());
    engine.settings.isLame = engine.settings.isOggVorbis = 0;
    EXPECT_EQ(InitEncoder(), 0);
    EXPECT_NE(
        LogText().find(std::string("No encoder for the output format \"") + GetParam() + "\""),
        std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Formats, NoEncoderTest, ::testing::Values("AAC", "WMA", "ogg"));

struct VbrCase {
    int cbrFlag;
    const char* mode;
    vbr_mode expected;
};

void PrintTo(const VbrCase& value, std::ostream* out) {
    *out << "LameCBRFlag " << value.cbrFlag << ", LameVBRMode " << value.mode;
}

class LameVbrTest : public EngineSessionTest, public ::testing::WithParamInterface<VbrCase> {};

TEST_P(LameVbrTest, ModeByExactTextRatesWheneverVariable) {
    ConfigureDestination(ServerKind::kIcecast2, 8000);
    EngineState& engine = Engine();
    engine.settings.lameCbrFlag = GetParam().cbrFlag;
    engine.settings.lameVbrMode.assign(GetParam().mode);
    engine.settings.bitrateNominal = 112;
    engine.settings.bitrateMin = 96;
    engine.settings.bitrateMax = 192;
    engine.settings.lameLowpassFreq = 15000;
    engine.settings.lameHighpassFreq = 80;

    ASSERT_EQ(InitEncoder(), 1);

    lame_global_flags* lame = engine.encoder.lameEncoder;
    ASSERT_NE(lame, nullptr);
    EXPECT_EQ(lame_get_VBR(lame), GetParam().expected);
    const bool variable = GetParam().cbrFlag == 0;
    EXPECT_EQ(lame_get_VBR_min_bitrate_kbps(lame) == 96, variable);
    EXPECT_EQ(lame_get_VBR_max_bitrate_kbps(lame) == 192, variable);
    if (variable) {
        EXPECT_EQ(lame_get_VBR_mean_bitrate_kbps(lame), 112);
    }
    EXPECT_EQ(lame_get_lowpassfreq(lame), 15000);
    EXPECT_EQ(lame_get_highpassfreq(lame), 80);
    EXPECT_EQ(lame_get_brate(lame), 112);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LameVbrTest,
    ::testing::Values(VbrCase{0, "vbr_rh", vbr_rh}, VbrCase{0, "vbr_mtrh", vbr_mtrh},
                      VbrCase{0, "vbr_abr", vbr_abr}, VbrCase{0, "VBR_ABR", vbr_off},
                      VbrCase{0, "vbr_mt", vbr_off}, VbrCase{1, "vbr_abr", vbr_off}));

using LameSetUpTest = EngineSessionTest;

TEST_F(LameSetUpTest, ChannelSettingOnlyChoosesTheMode) {
    for (int channels : {1, 2}) {
        ConfigureDestination(ServerKind::kIcecast2, 8000);
        Engine().settings.channels = channels;
        ASSERT_EQ(InitEncoder(), 1);
        EXPECT_EQ(lame_get_num_channels(Engine().encoder.lameEncoder), 2);
        EXPECT_EQ(lame_get_mode(Engine().encoder.lameEncoder), channels == 1 ? MONO : STEREO);
        EXPECT_EQ(lame_get_in_samplerate(Engine().encoder.lameEncoder), 44100);
        EXPECT_EQ(lame_get_out_samplerate(Engine().encoder.lameEncoder), 44100);
    }
}

// LameCopywrite and LameOriginal set the copyright and original bits of every frame header.
TEST_F(LameSetUpTest, CopyrightAndOriginalFlagsReachEveryFrame) {
    constexpr unsigned char kCopyrightBit = 0x08;  // in the header's fourth byte
    constexpr unsigned char kOriginalBit = 0x04;
    for (const int copyright : {0, 1}) {
        for (const int original : {0, 1}) {
            SCOPED_TRACE("copyright " + std::to_string(copyright) + ", original " +
                         std::to_string(original));
            ConfigureDestination(ServerKind::kIcecast2, 8000);
            EngineState& engine = Engine();
            engine.settings.lameCopywrite = copyright;
            engine.settings.lameOriginal = original;
            ASSERT_EQ(InitEncoder(), 1);
            std::vector<float> tone(44100);
            for (std::size_t i = 0; i < tone.size(); ++i) {
                tone[i] = 8000.0f * static_cast<float>(std::sin(0.0626 * static_cast<double>(i)));
            }
            std::vector<unsigned char> encoded(147456);
            int bytes =
                lame_encode_buffer_float(engine.encoder.lameEncoder, tone.data(), tone.data(),
                                         44100, encoded.data(), static_cast<int>(encoded.size()));
            ASSERT_GT(bytes, 0);
            bytes += lame_encode_flush(engine.encoder.lameEncoder, encoded.data() + bytes,
                                       static_cast<int>(encoded.size()) - bytes);
            const std::string stream(reinterpret_cast<const char*>(encoded.data()),
                                     static_cast<std::size_t>(bytes));
            const std::vector<Mp3Frame> frames = Mp3Frames(stream);
            ASSERT_GT(frames.size(), 30u);
            for (const Mp3Frame& frame : frames) {
                const auto flags = static_cast<unsigned char>(stream[frame.offset + 3]);
                ASSERT_EQ((flags & kCopyrightBit) != 0, copyright == 1) << "at " << frame.offset;
                ASSERT_EQ((flags & kOriginalBit) != 0, original == 1) << "at " << frame.offset;
            }
        }
    }
}

TEST_F(LameSetUpTest, LameMessagesAreNotPrinted) {
    ConfigureDestination(ServerKind::kIcecast2, 8000);
    Engine().settings.lameHighpassFreq = 50;  // LAME warns that it disables a filter this low
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(InitEncoder(), 1);
    const std::string printed =
        testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, "");
}

// A new encoder continues the same audio: the resampler keeps its history.
TEST_F(LameSetUpTest, SetUpKeepsTheResampler) {
    ConfigureDestination(ServerKind::kIcecast2, 8000);
    EngineState& engine = Engine();
    ASSERT_EQ(res_init(&engine.encoder.resampler, 2, 44100, 48000, kNoResamplerOptions), 0);
    engine.encoder.resamplerReady = 1;
    ASSERT_EQ(InitEncoder(), 1);
    EXPECT_EQ(engine.encoder.resamplerReady, 1);
}

}  // namespace
