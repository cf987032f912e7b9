// LAME set-up: every setting reaches the encoder, the VBR modes by their exact names, LAME's own
// messages stay quiet; and output formats that have no encoder here.
#include <gtest/gtest.h>
#include <lame/lame.h>

#include <ostream>
#include <string>

#include "engine/libzembril.h"
#include "tests/support/engine_session.h"

namespace {

struct FormatCase {
    const char* encode;
    int isAac;
};

void PrintTo(const FormatCase& value, std::ostream* out) {
    *out << "Encode " << value.encode;
}

class NoEncoderTest : public EngineSessionTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(NoEncoderTest, OutputFormatWithoutEncoderFails) {
    ConfigureDestination(ServerKind::kIcecast2, 8000);
    EngineState& engine = Engine();
    engine.encodeFormat.assign(GetParam().encode);
    engine.isLame = engine.isOggVorbis = 0;
    engine.isAac = GetParam().isAac;
    EXPECT_EQ(InitEncoder(), 0);
    EXPECT_NE(LogText().find(std::string("No encoder for the output format \"") +
                             GetParam().encode + "\""),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Formats, NoEncoderTest,
                         ::testing::Values(FormatCase{"AAC", 1}, FormatCase{"WMA", 0},
                                           FormatCase{"ogg", 0}));

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
    engine.lameCbrFlag = GetParam().cbrFlag;
    engine.lameVbrMode.assign(GetParam().mode);
    engine.bitrateNominal = 112;
    engine.bitrateMin = 96;
    engine.bitrateMax = 192;
    engine.lameLowpassFreq = 15000;
    engine.lameHighpassFreq = 80;

    ASSERT_EQ(InitEncoder(), 1);

    lame_global_flags* lame = engine.lameEncoder;
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
        Engine().channels = channels;
        ASSERT_EQ(InitEncoder(), 1);
        EXPECT_EQ(lame_get_num_channels(Engine().lameEncoder), 2);
        EXPECT_EQ(lame_get_mode(Engine().lameEncoder), channels == 1 ? MONO : STEREO);
        EXPECT_EQ(lame_get_in_samplerate(Engine().lameEncoder), 44100);
        EXPECT_EQ(lame_get_out_samplerate(Engine().lameEncoder), 44100);
    }
}

TEST_F(LameSetUpTest, LameMessagesAreNotPrinted) {
    ConfigureDestination(ServerKind::kIcecast2, 8000);
    Engine().lameHighpassFreq = 50;  // LAME warns that it disables a filter this low
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
    ASSERT_EQ(res_init(&engine.resampler, 2, 44100, 48000, kNoResamplerOptions), 0);
    engine.resamplerReady = 1;
    ASSERT_EQ(InitEncoder(), 1);
    EXPECT_EQ(engine.resamplerReady, 1);
}

}  // namespace
