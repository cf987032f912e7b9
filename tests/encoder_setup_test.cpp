// Encoder set-up: the Ogg header pages and their comments (read back with libogg, libvorbis and
// libvorbisfile), chained streams on one connection, the Vorbis modes and their failures, and
// the LAME settings.
#include <gtest/gtest.h>
#include <lame/lame.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vorbis/vorbisenc.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/engine_session.h"

namespace {

// The stream connection is one end of a socket pair; the test reads what was sent at the other.
class StreamCapture {
public:
    StreamCapture() {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends_) != 0) ends_[0] = ends_[1] = -1;
        const int size = 4 * 1024 * 1024;
        setsockopt(ends_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        Engine().streamSocket = ends_[0];
    }
    ~StreamCapture() {
        if (Engine().streamSocket == ends_[0]) Engine().streamSocket = -1;
        if (!closedByEngine_) close(ends_[0]);
        close(ends_[1]);
    }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // DisconnectFromServer closed the sending end.
    void ClosedByEngine() { closedByEngine_ = true; }

    // Everything sent so far and not read yet.
    std::string Take() {
        std::string bytes;
        char buffer[65536];
        ssize_t count;
        while ((count = recv(ends_[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            bytes.append(buffer, static_cast<size_t>(count));
        }
        return bytes;
    }

private:
    int ends_[2] = {-1, -1};
    bool closedByEngine_ = false;
};

struct PageInfo {
    int serial;
    bool beginsStream;
    bool endsStream;
};

std::vector<PageInfo> PagesOf(const std::string& bytes) {
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
    std::memcpy(buffer, bytes.data(), bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    std::vector<PageInfo> pages;
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        pages.push_back({ogg_page_serialno(&page), ogg_page_bos(&page) != 0,
                         ogg_page_eos(&page) != 0});
    }
    ogg_sync_clear(&sync);
    return pages;
}

// Reads a whole (possibly chained) stream from memory with libvorbisfile.
struct MemorySource {
    const std::string* bytes;
    size_t position = 0;
};

size_t ReadMemory(void* target, size_t size, size_t count, void* source) {
    auto* memory = static_cast<MemorySource*>(source);
    const size_t wanted = size * count;
    const size_t left = memory->bytes->size() - memory->position;
    const size_t taken = wanted < left ? wanted : left;
    std::memcpy(target, memory->bytes->data() + memory->position, taken);
    memory->position += taken;
    return size == 0 ? 0 : taken / size;
}

int SeekMemory(void* source, ogg_int64_t offset, int whence) {
    auto* memory = static_cast<MemorySource*>(source);
    const auto size = static_cast<ogg_int64_t>(memory->bytes->size());
    ogg_int64_t position = whence == SEEK_SET   ? offset
                           : whence == SEEK_CUR ? static_cast<ogg_int64_t>(memory->position) + offset
                                                : size + offset;
    if (position < 0 || position > size) return -1;
    memory->position = static_cast<size_t>(position);
    return 0;
}

long TellMemory(void* source) { return static_cast<long>(static_cast<MemorySource*>(source)->position); }

struct Link {
    std::vector<std::string> comments;
    ogg_int64_t frameCount;
    int serial;
    long upperBitrate;  // as the identification header declares them
    long lowerBitrate;
};

// The links of the stream, or none when libvorbisfile does not take it as a Vorbis stream.
std::vector<Link> LinksOf(const std::string& bytes) {
    MemorySource source{&bytes};
    OggVorbis_File file;
    const ov_callbacks callbacks = {ReadMemory, SeekMemory, nullptr, TellMemory};
    if (ov_open_callbacks(&source, &file, nullptr, 0, callbacks) != 0) return {};
    std::vector<Link> links;
    for (int link = 0; link < ov_streams(&file); ++link) {
        const vorbis_comment* comments = ov_comment(&file, link);
        const vorbis_info* info = ov_info(&file, link);
        Link found{{}, ov_pcm_total(&file, link), static_cast<int>(ov_serialnumber(&file, link)),
                   info->bitrate_upper, info->bitrate_lower};
        for (int index = 0; index < comments->comments; ++index) {
            found.comments.emplace_back(comments->user_comments[index],
                                        static_cast<size_t>(comments->comment_lengths[index]));
        }
        links.push_back(found);
    }
    ov_clear(&file);
    return links;
}

using Comments = std::vector<std::string>;

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

class CommentTest : public OggSetUpTest, public ::testing::WithParamInterface<CommentCase> {};

TEST_P(CommentTest, HeaderPagesCarryTheTitleComments) {
    StreamCapture capture;
    Engine().currentTitle.assign(GetParam().currentTitle);
    Engine().sourceDescription.assign(GetParam().sourceDescription);

    ASSERT_EQ(InitEncoder(), 1);

    const std::string bytes = capture.Take();
    const std::vector<PageInfo> pages = PagesOf(bytes);
    ASSERT_FALSE(pages.empty());
    EXPECT_TRUE(pages.front().beginsStream);
    const std::vector<Link> links = LinksOf(bytes);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].comments, GetParam().expected);
    EXPECT_EQ(links[0].serial, Engine().oggStream.serialno);
    EXPECT_EQ(Engine().headersPending, 1);
    EXPECT_EQ(Engine().oggStreamOpen, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Titles, CommentTest,
    ::testing::Values(
        CommentCase{"Artist - Song", "44100Hz/Stereo MP3",
                    {"TITLE=Song", "ARTIST=Artist", "ENCODEDBY=zembril ",
                     "TRANSCODEDFROM=44100Hz/Stereo MP3"}},
        CommentCase{"Song", "", {"TITLE=Song", "ARTIST=", "ENCODEDBY=zembril "}},
        CommentCase{"", "", {"TITLE=", "ARTIST=", "ENCODEDBY=zembril "}},
        CommentCase{"AC-DC - Song", "", {"TITLE=DC - Song", "ARTIST=AC", "ENCODEDBY=zembril "}},
        // Nothing on either side of the dash: the title goes out whole.
        CommentCase{"-", "", {"TITLE=-", "ARTIST=", "ENCODEDBY=zembril "}},
        CommentCase{"Bj\xC3\xB6rk - J\xC3\xB3ga", "48000Hz/Mono Vorbis",
                    {"TITLE=J\xC3\xB3ga", "ARTIST=Bj\xC3\xB6rk", "ENCODEDBY=zembril ",
                     "TRANSCODEDFROM=48000Hz/Mono Vorbis"}}));

TEST_F(OggSetUpTest, LockedTitleNamesTheStream) {
    StreamCapture capture;
    Engine().currentTitle.assign("Artist - Song");
    Engine().lockMetadataFlag = 1;
    Engine().lockedMetadata.assign("My Station");
    ASSERT_EQ(InitEncoder(), 1);
    const std::vector<Link> links = LinksOf(capture.Take());
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].comments, (Comments{"TITLE=My Station", "ARTIST=", "ENCODEDBY=zembril "}));
}

TEST_F(OggSetUpTest, SecondSetUpEndsTheFirstStreamAndTakesANewSerial) {
    StreamCapture capture;
    Engine().currentTitle.assign("First - One");
    ASSERT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(44100);
    Engine().currentTitle.assign("Second - Two");
    // Within the same second, so the time-seeded serial would repeat.
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

TEST_F(OggSetUpTest, EndOggStreamSendsTheTailOnce) {
    StreamCapture capture;
    EXPECT_EQ(EndOggStream(), 0);  // nothing running yet
    ASSERT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(30000);

    EXPECT_GT(EndOggStream(), 0);
    EXPECT_EQ(Engine().oggStreamOpen, 0);
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
    EXPECT_EQ(Engine().oggStreamOpen, 0);
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

class QualityTest : public OggSetUpTest, public ::testing::WithParamInterface<QualityCase> {};

TEST_P(QualityTest, SettingIsATenthOfTheLibraryScale) {
    StreamCapture capture;
    ConfigureOggOutput(GetParam().setting);
    ASSERT_EQ(InitEncoder(), 1);
    EXPECT_EQ(Engine().vorbisInfo.bitrate_nominal, NominalForQuality(GetParam().libraryQuality));
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
    Engine().bitrateMin = 0;
    Engine().bitrateMax = 0;
    const std::string unlimited = EncodedStream();
    Engine().bitrateMin = 96;
    Engine().bitrateMax = 160;
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

class ManagedTest : public OggSetUpTest, public ::testing::WithParamInterface<ManagedCase> {};

TEST_P(ManagedTest, RatesGoToTheLibraryInBitsPerSecond) {
    StreamCapture capture;
    ConfigureOggOutput("4", /*managed=*/true);
    Engine().bitrateNominal = GetParam().nominal;
    Engine().bitrateMin = GetParam().minimum;
    Engine().bitrateMax = GetParam().maximum;
    ASSERT_EQ(InitEncoder(), 1);
    EXPECT_EQ(Engine().vorbisInfo.bitrate_nominal, GetParam().nominal * 1000L);
    EXPECT_EQ(Engine().vorbisInfo.bitrate_lower, GetParam().expectedLower);
    EXPECT_EQ(Engine().vorbisInfo.bitrate_upper, GetParam().expectedUpper);
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

class VorbisErrorTest : public OggSetUpTest,
                        public ::testing::WithParamInterface<VorbisErrorCase> {};

TEST_P(VorbisErrorTest, RefusedModeIsLoggedAndNothingSent) {
    StreamCapture capture;
    ConfigureOggOutput("4", /*managed=*/true);
    Engine().bitrateNominal = GetParam().nominal;
    Engine().bitrateMin = Engine().bitrateMax = 0;
    Engine().sampleRate = GetParam().sampleRate;

    EXPECT_EQ(InitEncoder(), 0);

    EXPECT_NE(LogText().find(GetParam().logged), std::string::npos) << LogText();
    EXPECT_EQ(capture.Take(), "");
    EXPECT_EQ(Engine().vorbisInfo.codec_setup, nullptr);
    EXPECT_EQ(Engine().oggStreamOpen, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, VorbisErrorTest,
    ::testing::Values(VorbisErrorCase{0, 44100, "Sorry, but this is an illegal vorbis mode..."},
                      VorbisErrorCase{128, 200000,
                                      "Sorry, but this vorbis mode is not supported currently..."}));

TEST_F(OggSetUpTest, ZeroChannelsIsRefused) {
    StreamCapture capture;
    Engine().channels = 0;
    EXPECT_EQ(InitEncoder(), 0);
    EXPECT_EQ(capture.Take(), "");
    EXPECT_NE(LogText().find("Error"), std::string::npos);
}

struct FormatCase {
    const char* encode;
    int isAac;
};

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

TEST_F(LameSetUpTest, SetUpDropsTheResampler) {
    ConfigureDestination(ServerKind::kIcecast2, 8000);
    EngineState& engine = Engine();
    ASSERT_EQ(res_init(&engine.resampler, 2, 44100, 48000, kNoResamplerOptions), 0);
    engine.resamplerReady = 1;
    ASSERT_EQ(InitEncoder(), 1);
    EXPECT_EQ(engine.resamplerReady, 0);
}

}  // namespace
