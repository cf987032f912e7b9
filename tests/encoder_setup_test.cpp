// Vorbis encoder set-up: the Ogg header pages and their comments (read back with libogg and
// libvorbisfile), chained streams on one connection, the Vorbis modes and their failures.
#include <gtest/gtest.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "common/version.h"
#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/ogg_reader.h"

namespace {

using Comments = std::vector<std::string>;

// This program and its version, as the -V output names them.
const std::string kEncodedBy = std::string("ENCODEDBY=transcode ") + kTranscodeVersion;

class OggSetUpTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        ConfigureDestination(ServerKind::kIcecast2, 8000);
        ConfigureOggOutput("4");
    }
};

struct CommentCase {
    const char* currentTitle;
    const char* sourceDescription;
    Comments expected;
};

void PrintTo(const CommentCase& value, std::ostream* out) {
    *out << "title \"" << value.currentTitle << "\" from \"" << value.sourceDescription << "\"";
}

class CommentTest : public OggSetUpTest, public ::testing::WithParamInterface<CommentCase> {};

TEST_P(CommentTest, HeaderPagesCarryTheTitleComments) {
    StreamCapture capture;
    Engine().titles.current.assign(GetParam().currentTitle);
    Engine().titles.sourceDescription.assign(GetParam().sourceDescription);

    ASSERT_EQ(InitEncoder(), 1);

    const std::string bytes = capture.Take();
    const std::vector<PageInfo> pages = PagesOf(bytes);
    ASSERT_FALSE(pages.empty());
    EXPECT_TRUE(pages.front().beginsStream);
    const std::vector<Link> links = LinksOf(bytes);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].comments, GetParam().expected);
    EXPECT_EQ(links[0].serial, Engine().encoder.oggStream.serialno);
    EXPECT_EQ(Engine().encoder.headersPending, 1);
    EXPECT_EQ(Engine().encoder.oggStreamOpen, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Titles, CommentTest,
    ::testing::Values(
        CommentCase{
            "Artist - Song",
            "44100Hz/Stereo MP3",
            {"TITLE=Song", "ARTIST=Artist", kEncodedBy, "TRANSCODEDFROM=44100Hz/Stereo MP3"}},
        CommentCase{"Song", "", {"TITLE=Song", "ARTIST=", kEncodedBy}},
        CommentCase{"", "", {"TITLE=", "ARTIST=", kEncodedBy}},
        CommentCase{"AC-DC - Song", "", {"TITLE=DC - Song", "ARTIST=AC", kEncodedBy}},
        // Nothing on either side of the dash: the title goes out whole.
        CommentCase{"-", "", {"TITLE=-", "ARTIST=", kEncodedBy}},
        CommentCase{"Bj\xC3\xB6rk - J\xC3\xB3ga",
                    "48000Hz/Mono Vorbis",
                    {"TITLE=J\xC3\xB3ga", "ARTIST=Bj\xC3\xB6rk", kEncodedBy,
                     "TRANSCODEDFROM=48000Hz/Mono Vorbis"}},
        // Comments are UTF-8: a title that is not is read as Windows-1252.
        CommentCase{
            "Mot\xF6rhead - Ace of Spades \x96 Live",
            "",
            {"TITLE=Ace of Spades \xE2\x80\x93 Live", "ARTIST=Mot\xC3\xB6rhead", kEncodedBy}},
        CommentCase{"\x93-\x94", "", {"TITLE=\xE2\x80\x9D", "ARTIST=\xE2\x80\x9C", kEncodedBy}}));

TEST_F(OggSetUpTest, LockedTitleNamesTheStream) {
    StreamCapture capture;
    Engine().titles.current.assign("Artist - Song");
    Engine().settings.lockMetadataFlag = 1;
    Engine().settings.lockedMetadata.assign("My Station");
    ASSERT_EQ(InitEncoder(), 1);
    const std::vector<Link> links = LinksOf(capture.Take());
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].comments, (Comments{"TITLE=My Station", "ARTIST=", kEncodedBy}));
}

TEST_F(OggSetUpTest, SecondSetUpEndsTheFirstStreamAndTakesANewSerial) {
    StreamCapture capture;
    Engine().titles.current.assign("First - One");
    ASSERT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(44100);
    Engine().titles.current.assign("Second - Two");
    ASSERT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(22050);
    ASSERT_GT(EndOggStream(), 0);

    const std::string bytes = capture.Take();
    const std::vector<PageInfo> pages = PagesOf(bytes);
    ASSERT_GE(pages.size(), 4u);
    const int first = pages.front().serial;
    size_t index = 0;
    while (index < pages.size() && pages[index].serial == first) ++index;
    ASSERT_LT(index, pages.size());
    EXPECT_TRUE(pages[index - 1].endsStream) << "the first stream ends before the second begins";
    EXPECT_TRUE(pages[index].beginsStream);
    EXPECT_NE(pages[index].serial, first);
    for (; index < pages.size(); ++index) EXPECT_NE(pages[index].serial, first);

    const std::vector<Link> links = LinksOf(bytes);
    ASSERT_EQ(links.size(), 2u);
    // Every frame of both streams arrived: nothing was left in the first encoder.
    EXPECT_EQ(links[0].frameCount, 44100);
    EXPECT_EQ(links[1].frameCount, 22050);
    EXPECT_EQ(links[0].comments[0], "TITLE=One");
    EXPECT_EQ(links[1].comments[0], "TITLE=Two");
}

TEST_F(OggSetUpTest, SetUpsWithoutAudioStillChainCleanly) {
    StreamCapture capture;
    ASSERT_EQ(InitEncoder(), 1);
    ASSERT_EQ(InitEncoder(), 1);
    ASSERT_EQ(InitEncoder(), 1);
    const std::vector<PageInfo> pages = PagesOf(capture.Take());
    int streams = 0;
    for (size_t index = 0; index < pages.size(); ++index) {
        if (pages[index].beginsStream) {
            ++streams;
            if (index > 0) {
                EXPECT_TRUE(pages[index - 1].endsStream);
                EXPECT_NE(pages[index - 1].serial, pages[index].serial);
            }
        }
    }
    EXPECT_EQ(streams, 3);
}

// Streams begun in quick succession (title changes within a second) all differ in serial: a
// later stream with an earlier one's serial would read as that ended stream going on.
TEST_F(OggSetUpTest, NoSerialComesTwiceOnOneConnection) {
    StreamCapture capture;
    std::vector<int> serials;
    for (int stream = 0; stream < 50; ++stream) {
        ASSERT_EQ(InitEncoder(), 1);
        serials.push_back(Engine().encoder.oggStream.serialno);
        capture.Take();
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(std::adjacent_find(serials.begin(), serials.end()), serials.end());
}

TEST_F(OggSetUpTest, EndOggStreamSendsTheTailOnce) {
    StreamCapture capture;
    EXPECT_EQ(EndOggStream(), 0);  // nothing running yet
    ASSERT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(30000);

    EXPECT_GT(EndOggStream(), 0);
    EXPECT_EQ(Engine().encoder.oggStreamOpen, 0);
    EXPECT_EQ(EndOggStream(), 0);

    const std::string bytes = capture.Take();
    const std::vector<PageInfo> pages = PagesOf(bytes);
    ASSERT_FALSE(pages.empty());
    EXPECT_TRUE(pages.back().endsStream);
    const std::vector<Link> links = LinksOf(bytes);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].frameCount, 30000);
}

TEST_F(OggSetUpTest, NewConnectionStartsAFreshStreamWithoutTheOldTail) {
    auto firstConnection = std::make_unique<StreamCapture>();
    ASSERT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(10000);
    firstConnection->Take();
    DisconnectFromServer();
    firstConnection->ClosedByEngine();
    EXPECT_EQ(Engine().encoder.oggStreamOpen, 0);
    firstConnection.reset();

    StreamCapture secondConnection;
    ASSERT_EQ(InitEncoder(), 1);
    const std::vector<PageInfo> pages = PagesOf(secondConnection.Take());
    ASSERT_FALSE(pages.empty());
    EXPECT_TRUE(pages.front().beginsStream);
    for (const PageInfo& page : pages) {
        EXPECT_EQ(page.serial, pages.front().serial);
        EXPECT_FALSE(page.endsStream);
    }
}

// Nominal bit rate libvorbisenc derives from a quality on its own scale.
long NominalForQuality(float quality) {
    vorbis_info info;
    vorbis_info_init(&info);
    vorbis_encode_setup_vbr(&info, 2, 44100, quality);
    vorbis_encode_setup_init(&info);
    const long nominal = info.bitrate_nominal;
    vorbis_info_clear(&info);
    return nominal;
}

struct QualityCase {
    const char* setting;
    float libraryQuality;
};

void PrintTo(const QualityCase& value, std::ostream* out) {
    *out << "OggQuality " << value.setting;
}

class QualityTest : public OggSetUpTest, public ::testing::WithParamInterface<QualityCase> {};

TEST_P(QualityTest, SettingIsATenthOfTheLibraryScale) {
    StreamCapture capture;
    ConfigureOggOutput(GetParam().setting);
    ASSERT_EQ(InitEncoder(), 1);
    EXPECT_EQ(Engine().encoder.vorbisInfo.bitrate_nominal,
              NominalForQuality(GetParam().libraryQuality));
}

INSTANTIATE_TEST_SUITE_P(Settings, QualityTest,
                         ::testing::Values(QualityCase{"4", 0.4f}, QualityCase{"-1", -0.1f},
                                           QualityCase{"10", 1.0f}, QualityCase{"2.5", 0.25f},
                                           QualityCase{"0", 0.0f}));

// Two seconds of the same audio, from a fresh set-up.
std::string EncodedStream() {
    StreamCapture capture;
    EXPECT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(88200);
    EndOggStream();
    return capture.Take();
}

TEST_F(OggSetUpTest, QualityModeIgnoresTheHardBitRateLimits) {
    Engine().settings.bitrateMin = 0;
    Engine().settings.bitrateMax = 0;
    const std::string unlimited = EncodedStream();
    Engine().settings.bitrateMin = 96;
    Engine().settings.bitrateMax = 160;
    const std::string limited = EncodedStream();

    const std::vector<Link> unlimitedLinks = LinksOf(unlimited);
    const std::vector<Link> limitedLinks = LinksOf(limited);
    ASSERT_EQ(unlimitedLinks.size(), 1u);
    ASSERT_EQ(limitedLinks.size(), 1u);
    // The limits are kbit/s; handed to the library's rate management they would read as bit/s
    // and the stream would declare (and, with a bit reservoir, enforce) a 160 bit/s ceiling.
    EXPECT_EQ(limitedLinks[0].upperBitrate, unlimitedLinks[0].upperBitrate);
    EXPECT_EQ(limitedLinks[0].lowerBitrate, unlimitedLinks[0].lowerBitrate);
    EXPECT_EQ(limited.size(), unlimited.size());
    EXPECT_GT(unlimited.size(), 8000u);  // quality 4 is around 100 kbit/s for this sound
}

struct ManagedCase {
    int nominal, minimum, maximum;
    long expectedLower, expectedUpper;
};

void PrintTo(const ManagedCase& value, std::ostream* out) {
    *out << value.minimum << "/" << value.nominal << "/" << value.maximum << " kbit/s";
}

class ManagedTest : public OggSetUpTest, public ::testing::WithParamInterface<ManagedCase> {};

TEST_P(ManagedTest, RatesGoToTheLibraryInBitsPerSecond) {
    StreamCapture capture;
    ConfigureOggOutput("4", /*managed=*/true);
    Engine().settings.bitrateNominal = GetParam().nominal;
    Engine().settings.bitrateMin = GetParam().minimum;
    Engine().settings.bitrateMax = GetParam().maximum;
    ASSERT_EQ(InitEncoder(), 1);
    EXPECT_EQ(Engine().encoder.vorbisInfo.bitrate_nominal, GetParam().nominal * 1000L);
    EXPECT_EQ(Engine().encoder.vorbisInfo.bitrate_lower, GetParam().expectedLower);
    EXPECT_EQ(Engine().encoder.vorbisInfo.bitrate_upper, GetParam().expectedUpper);
    EXPECT_EQ(LinksOf(capture.Take()).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rates, ManagedTest,
                         ::testing::Values(ManagedCase{128, 0, 0, -1000, -1000},
                                           ManagedCase{128, 96, 160, 96000, 160000},
                                           ManagedCase{64, 0, 96, -1000, 96000}));

struct VorbisErrorCase {
    int nominal;
    long sampleRate;
    const char* logged;
};

void PrintTo(const VorbisErrorCase& value, std::ostream* out) {
    *out << value.nominal << " kbit/s at " << value.sampleRate << " Hz";
}

class VorbisErrorTest : public OggSetUpTest,
                        public ::testing::WithParamInterface<VorbisErrorCase> {};

TEST_P(VorbisErrorTest, RefusedModeIsLoggedAndNothingSent) {
    StreamCapture capture;
    ConfigureOggOutput("4", /*managed=*/true);
    Engine().settings.bitrateNominal = GetParam().nominal;
    Engine().settings.bitrateMin = Engine().settings.bitrateMax = 0;
    Engine().settings.sampleRate = GetParam().sampleRate;

    EXPECT_EQ(InitEncoder(), 0);

    EXPECT_NE(LogText().find(GetParam().logged), std::string::npos) << LogText();
    EXPECT_EQ(capture.Take(), "");
    EXPECT_EQ(Engine().encoder.vorbisInfo.codec_setup, nullptr);
    EXPECT_EQ(Engine().encoder.oggStreamOpen, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, VorbisErrorTest,
    ::testing::Values(
        VorbisErrorCase{0, 44100, "Sorry, but this is an illegal vorbis mode..."},
        VorbisErrorCase{128, 200000, "Sorry, but this vorbis mode is not supported currently..."}));

TEST_F(OggSetUpTest, ZeroChannelsIsRefused) {
    StreamCapture capture;
    Engine().settings.channels = 0;
    EXPECT_EQ(InitEncoder(), 0);
    EXPECT_EQ(capture.Take(), "");
    EXPECT_NE(LogText().find("Error"), std::string::npos);
}

}  // namespace
