// Opus output (Encode=OPUS): the encoder's set-up (channels, bit rate, always 48 kHz), the chained
// stream a title change begins, the exact length and alignment of every link decoded back, the
// login's content type, and what the configuration derives from Encode=OPUS. The stream is read
// back with libogg (tests/support/opus_links.h) and decoded with libopusfile.
#include <gtest/gtest.h>
#include <opusfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/status.h"
#include "engine/encoder_state.h"
#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/fresh_records.h"
#include "tests/support/log_lines.h"
#include "tests/support/mock_server.h"
#include "tests/support/ogg_reader.h"
#include "tests/support/opus_links.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSourceRate = 44100;
constexpr int kBlockFrames = kSourceRate / 10;
// What the resampler and the encoder's end trim may leave off or add, in seconds.
constexpr double kDurationTolerance = 0.05;

void ConfigureOpusOutput(int kbps, int channels, std::int64_t sampleRate) {
    EngineSettings& settings = Engine().settings;
    settings.encodeFormat.assign("OPUS");
    settings.isLame = 0;
    settings.isOggVorbis = 0;
    settings.isOpus = 1;
    settings.bitrateNominal = kbps;
    settings.channels = channels;
    settings.sampleRate = sampleRate;
}

// A tone under broadband noise at the source rate, stereo, in blocks of a tenth of a second
// through the engine's intake (which converts to the output rate), as the output loop does.
// Noise keeps a VBR encoder near its target rate.
class SourceAudio {
  public:
    void Play(double seconds) {
        const int blocks = static_cast<int>(std::lround(seconds * 10));
        std::vector<float> block(2 * kBlockFrames);
        std::uniform_real_distribution<float> noise(-0.2f, 0.2f);
        for (int b = 0; b < blocks; ++b) {
            for (int i = 0; i < kBlockFrames; ++i, ++frame_) {
                const auto tone =
                    static_cast<float>(0.3 * std::sin(2.0 * M_PI * 440.0 * frame_ / kSourceRate));
                block[2 * i] = tone + noise(random_);
                block[2 * i + 1] = tone + noise(random_);
            }
            ASSERT_EQ(ConvertAndEncode(block.data(), kBlockFrames, 2, kSourceRate), 1);
        }
    }
    double Seconds() const { return static_cast<double>(frame_) / kSourceRate; }

  private:
    std::int64_t frame_ = 0;
    std::minstd_rand random_{7};
};

class OpusOutputTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        ConfigureDestination(ServerKind::kIcecast2, 8000);
        ConfigureOpusOutput(96, 2, 44100);
        Engine().titles.current.assign("First Artist - First Song");
        // After the engine's reset, which forgets the stream connection.
        capture_ = std::make_unique<StreamCapture>();
    }
    void TearDown() override {
        capture_.reset();
        EngineSessionTest::TearDown();
    }
    // A connection that stands: the stream goes to the capture.
    void Connect() {
        ASSERT_EQ(InitEncoder(), 1) << LogText();
        Engine().destination.connected = 1;
    }
    // The end of the transfer: the last stream ends, the capture holds all that was sent.
    std::string EndAndTake() {
        EXPECT_GE(EndOggStream(), 0);
        stream_ += capture_->Take();
        return stream_;
    }

    std::unique_ptr<StreamCapture> capture_;
    std::string stream_;
};

// Every table's case has a name, which gtest shows and names the test after.
template <typename Case>
requires requires(const Case& value) {
    value.name;
}
void PrintTo(const Case& value, std::ostream* out) {
    *out << value.name;
}
constexpr auto kCaseName = [](const auto& info) { return std::string(info.param.name); };

struct SetupCase {
    const char* name;
    int channels;
    int kbps;
    std::int64_t sampleRate;  // the setting, which Opus output does not use
};

class OpusSetupTest : public OpusOutputTest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(OpusSetupTest, TheStreamHasTheChannelsAndBitRateAt48kHz) {
    const SetupCase& c = GetParam();
    ConfigureOpusOutput(c.kbps, c.channels, c.sampleRate);
    Connect();

    // The header pages go out with the login, before any audio.
    stream_ = capture_->Take();
    const std::vector<OpusLink> headers = OpusLinksOf(stream_);
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_TRUE(headers[0].begun);
    EXPECT_TRUE(headers[0].headValid);
    EXPECT_EQ(headers[0].Comment("TITLE"), "First Song");
    EXPECT_EQ(headers[0].Comment("ARTIST"), "First Artist");
    EXPECT_EQ(headers[0].audioPackets, 0u);

    SourceAudio audio;
    audio.Play(6.0);
    const std::vector<OpusLink> links = OpusLinksOf(EndAndTake());
    ASSERT_EQ(links.size(), 1u);
    const OpusLink& link = links[0];
    EXPECT_TRUE(link.ended);
    EXPECT_EQ(link.channels, c.channels);
    EXPECT_EQ(link.inputRate, 48000u);
    EXPECT_NEAR(link.Seconds(), audio.Seconds(), kDurationTolerance);
    const double kbps = link.audioBytes * 8.0 / link.Seconds() / 1000.0;
    EXPECT_NEAR(kbps, c.kbps, 0.2 * c.kbps);
    EXPECT_EQ(OccurrencesOf(LogText(), "Error"), 0u) << LogText();
}

INSTANTIATE_TEST_SUITE_P(Table, OpusSetupTest,
                         ::testing::Values(SetupCase{"MonoAt32", 1, 32, 44100},
                                           SetupCase{"StereoAt64", 2, 64, 48000},
                                           SetupCase{"StereoAt160", 2, 160, 22050}),
                         kCaseName);

struct RefusedCase {
    const char* name;
    int channels;
    int kbps;
    const char* error;
};

class OpusRefusalTest : public OpusOutputTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(OpusRefusalTest, TheEncoderIsNotSetUp) {
    ConfigureOpusOutput(GetParam().kbps, GetParam().channels, 48000);
    EXPECT_EQ(InitEncoder(), 0);
    EXPECT_EQ(Engine().encoder.oggStreamOpen, 0);
    EXPECT_TRUE(capture_->Take().empty());
    EXPECT_NE(LogText().find(GetParam().error), std::string::npos) << LogText();
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpusRefusalTest,
    ::testing::Values(
        RefusedCase{"ThreeChannels", 3, 96,
                    "NumberChannels 3 is not an output channel count (1 to 2)"},
        RefusedCase{"BitRateBelowOpus", 2, 5,
                    "BitrateNominal 5 is no bit rate for the Opus encoder (6 to 510 kbit/s)"},
        RefusedCase{"BitRateAboveOpus", 2, 511,
                    "BitrateNominal 511 is no bit rate for the Opus encoder (6 to 510 kbit/s)"}),
    kCaseName);

// Titles in a burst: the running stream first carries two seconds of audio, and the stream that
// follows carries the latest title. Every link is complete: its own serial, its OpusTags, its
// audio, its end.
TEST_F(OpusOutputTest, TitleChangesChainStreamsThatEachCarryTheirAudio) {
    Connect();
    SourceAudio audio;
    audio.Play(2.5);
    SetCurrentTitle("Second Artist - Second Song");
    audio.Play(1.0);
    SetCurrentTitle("Skipped Artist - Skipped Song");
    audio.Play(0.5);
    SetCurrentTitle("Third Artist - Third Song");
    audio.Play(3.0);
    const std::vector<OpusLink> links = OpusLinksOf(EndAndTake());

    std::vector<std::string> titles;
    std::set<int> serials;
    double seconds = 0.0;
    for (const OpusLink& link : links) {
        titles.push_back(link.Comment("ARTIST") + " - " + link.Comment("TITLE"));
        serials.insert(link.serial);
        seconds += link.Seconds();
        EXPECT_TRUE(link.begun && link.ended && link.headValid) << titles.back();
        EXPECT_GE(link.Seconds(), 2.0 - kDurationTolerance) << titles.back();
    }
    EXPECT_EQ(titles,
              (std::vector<std::string>{"First Artist - First Song", "Second Artist - Second Song",
                                        "Third Artist - Third Song"}));
    EXPECT_EQ(serials.size(), links.size());
    // Chaining neither drops nor repeats audio.
    EXPECT_NEAR(seconds, audio.Seconds(), kDurationTolerance);
}

// A lost connection: what the encoder still holds completes the archive (down to the
// end-of-stream page) and nothing more is sent; the next connection begins a new encoder whose
// stream has a serial of its own.
TEST_F(OpusOutputTest, ALostConnectionsStreamEndsInTheArchive) {
    const TempDir archives;
    Engine().settings.saveArchives = 1;
    Engine().settings.saveDirectory.assign(archives.path());
    WantArchive();
    Connect();
    SourceAudio audio;
    audio.Play(1.0);
    const std::string sent = capture_->Take();
    FlushEncoderIntoArchive();
    EXPECT_TRUE(capture_->Take().empty());
    CloseArchiveFile();
    const std::vector<std::string> files = FilesIn(archives.path());
    ASSERT_EQ(files.size(), 1u);
    const std::string archived = ReadWholeFile(files[0]);
    EXPECT_EQ(archived.substr(0, sent.size()), sent);
    const std::vector<OpusLink> first = OpusLinksOf(archived);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(first[0].begun && first[0].ended);
    EXPECT_NEAR(first[0].Seconds(), audio.Seconds(), kDurationTolerance);

    Engine().settings.saveArchives = 0;
    Engine().encoder.oggStreamOpen = 0;  // as ConnectToServer leaves it
    ASSERT_EQ(InitEncoder(), 1);
    audio.Play(1.0);
    const std::vector<OpusLink> second = OpusLinksOf(EndAndTake());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].begun && second[0].ended);
    EXPECT_NE(second[0].serial, first[0].serial);
    EXPECT_NEAR(second[0].Seconds(), 1.0, kDurationTolerance);
}

// ---- every link decoded back ----

// Two tones, one per channel (mono output takes the left one), given to the encoder at 48 kHz as
// they are, in blocks that do not line up with its 20 ms packets.
constexpr int kOpusRate = 48000;
constexpr int kUnalignedBlockFrames = 441;

float ToneSample(std::int64_t frame, int channel) {
    const double hz = channel == 0 ? 440.0 : 660.0;
    return static_cast<float>(0.5 * std::sin(2.0 * M_PI * hz * frame / kOpusRate));
}

void GiveTones(std::int64_t firstFrame, int frameCount) {
    std::vector<float> block(2 * kUnalignedBlockFrames);
    for (int done = 0; done < frameCount;) {
        const int frames = std::min(kUnalignedBlockFrames, frameCount - done);
        for (int i = 0; i < frames; ++i) {
            block[2 * i] = ToneSample(firstFrame + done + i, 0);
            block[2 * i + 1] = ToneSample(firstFrame + done + i, 1);
        }
        ASSERT_GE(EncodeOpusBlock(Engine(), block.data(), frames), 0);
        done += frames;
    }
}

// Each link of a chained Ogg Opus stream as libopusfile decodes it: interleaved samples.
struct DecodedLink {
    int channels = 0;
    std::vector<float> samples;
    std::size_t Frames() const { return channels > 0 ? samples.size() / channels : 0; }
};

std::vector<DecodedLink> DecodeLinks(const std::string& bytes) {
    int error = 0;
    const std::unique_ptr<OggOpusFile, decltype(&op_free)> file(
        op_open_memory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &error),
        op_free);
    if (!file) return {};
    std::vector<DecodedLink> links(static_cast<std::size_t>(op_link_count(file.get())));
    // Room for the longest Opus packet (120 ms), stereo.
    std::vector<float> buffer(2 * 5760);
    for (;;) {
        int link = -1;
        const int frames =
            op_read_float(file.get(), buffer.data(), static_cast<int>(buffer.size()), &link);
        if (frames <= 0 || link < 0 || link >= static_cast<int>(links.size())) break;
        DecodedLink& decoded = links[static_cast<std::size_t>(link)];
        decoded.channels = op_head(file.get(), link)->channel_count;
        decoded.samples.insert(decoded.samples.end(), buffer.begin(),
                               buffer.begin() + frames * decoded.channels);
    }
    return links;
}

// How far the decoded audio is from what was given, relative to its level: a link shifted by a
// wrong pre-skip or cut at the wrong place is far off.
double RelativeError(const DecodedLink& link, std::int64_t firstFrame) {
    double difference = 0.0;
    double level = 0.0;
    for (std::size_t frame = 0; frame < link.Frames(); ++frame) {
        for (int channel = 0; channel < link.channels; ++channel) {
            const double given = ToneSample(firstFrame + static_cast<std::int64_t>(frame), channel);
            const double error = link.samples[frame * link.channels + channel] - given;
            difference += error * error;
            level += given * given;
        }
    }
    return level > 0.0 ? std::sqrt(difference / level) : 1.0;
}

struct LengthCase {
    const char* name;
    int channels;
    int kbps;
    std::vector<int> linkFrames;  // the frames each link is given; a title change between links
    double largestError;          // of the decoded audio against the given (RelativeError)
};

class OpusLinkLengthTest : public OpusOutputTest,
                           public ::testing::WithParamInterface<LengthCase> {};

TEST_P(OpusLinkLengthTest, EveryLinkDecodesToExactlyTheAudioItWasGiven) {
    const LengthCase& c = GetParam();
    ConfigureOpusOutput(c.kbps, c.channels, kOpusRate);
    Connect();
    std::int64_t given = 0;
    for (std::size_t link = 0; link < c.linkFrames.size(); ++link) {
        if (link > 0) {
            SetCurrentTitle(("Artist - Song " + std::to_string(link)).c_str());
            ASSERT_EQ(SetUpOpus(Engine()), 1) << LogText();
        }
        GiveTones(given, c.linkFrames[link]);
        given += c.linkFrames[link];
    }
    const std::string stream = EndAndTake();

    const std::vector<DecodedLink> links = DecodeLinks(stream);
    ASSERT_EQ(links.size(), c.linkFrames.size());
    std::int64_t firstFrame = 0;
    for (std::size_t link = 0; link < links.size(); ++link) {
        SCOPED_TRACE("link " + std::to_string(link));
        EXPECT_EQ(links[link].channels, c.channels);
        EXPECT_EQ(links[link].Frames(), static_cast<std::size_t>(c.linkFrames[link]));
        EXPECT_LT(RelativeError(links[link], firstFrame), c.largestError);
        firstFrame += c.linkFrames[link];
    }
    // A page covers at most half a second, even when libogg would wait for more bytes.
    std::map<int, std::int64_t> lastGranule;
    for (const PageInfo& page : PagesOf(stream)) {
        if (page.granule < 0) continue;
        EXPECT_LE(page.granule - lastGranule[page.serial], kOpusRate / 2);
        lastGranule[page.serial] = page.granule;
    }
    EXPECT_EQ(OccurrencesOf(LogText(), "Error"), 0u) << LogText();
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpusLinkLengthTest,
    ::testing::Values(LengthCase{"StereoOnePacketExactly", 2, 96, {960}, 0.2},
                      LengthCase{"StereoOddLength", 2, 96, {48000 + 123}, 0.2},
                      LengthCase{"MonoShorterThanAPacket", 1, 64, {500}, 0.2},
                      LengthCase{"MonoOddLength", 1, 64, {12345}, 0.2},
                      LengthCase{"TitleChangeBetweenTwoPackets", 2, 96, {1920, 2887}, 0.2},
                      LengthCase{"TitleChangeInsideAPacket", 2, 96, {1000, 2345, 961}, 0.2},
                      LengthCase{"LowestBitRate", 1, 6, {3 * kOpusRate + 17}, 0.5}),
    kCaseName);

struct LoginCase {
    const char* name;
    ServerKind kind;
    bool onPortAbove;  // the login goes to the configured port + 1
    const char* reply;
    std::vector<std::string> lines;  // lines the login holds
};

class OpusLoginTest : public EngineSessionTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(OpusLoginTest, TheLoginNamesOggAndTheHeaderPagesFollow) {
    auto [base, next] = MockServer::NeighbourPair();
    ASSERT_TRUE(base && next);
    MockServer& server = GetParam().onPortAbove ? *next : *base;
    server.SetReply(GetParam().reply);
    ConfigureDestination(GetParam().kind, base->port());
    ConfigureOpusOutput(96, 2, 44100);
    ASSERT_EQ(ConnectToServer(), 1) << LogText();
    ASSERT_TRUE(server.WaitForBytes(0, 1, 5000));
    std::string received;
    const std::size_t blockEnd = [&] {
        for (int attempt = 0; attempt < 50; ++attempt) {
            received = server.Received(0);
            const std::size_t at = received.find("OggS");
            if (at != std::string::npos) return at;
            server.WaitForBytes(0, received.size() + 1, 100);
        }
        return std::string::npos;
    }();
    ASSERT_NE(blockEnd, std::string::npos) << received;
    const std::string login = received.substr(0, blockEnd);
    for (const std::string& line : GetParam().lines) {
        EXPECT_NE(login.find(line), std::string::npos) << line << " in\n" << login;
    }
    const std::vector<OpusLink> links = OpusLinksOf(received.substr(blockEnd));
    ASSERT_EQ(links.size(), 1u);
    EXPECT_TRUE(links[0].headValid);
    DisconnectFromServer();
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpusLoginTest,
    ::testing::Values(
        LoginCase{"Icecast2",
                  ServerKind::kIcecast2,
                  false,
                  "HTTP/1.0 200 OK\r\n\r\n",
                  {"\ncontent-type: audio/ogg\n",
                   "\nice-audio-info: ice-samplerate=48000;ice-bitrate=96;ice-channels=2\n",
                   "\nice-bitrate: 96\n"}},
        LoginCase{"Icecast",
                  ServerKind::kIcecast,
                  false,
                  "OK\r\n",
                  {"\r\ncontent-type: audio/ogg\r\n", "\r\nx-audiocast-bitrate: 96\r\n"}},
        LoginCase{"Shoutcast",
                  ServerKind::kShoutcast,
                  true,
                  "OK2\r\nicy-caps:11\r\n\r\n",
                  {"\r\ncontent-type:audio/ogg\r\n", "\r\nicy-br:96\r\n"}}),
    kCaseName);

// ---- the configuration ----

std::vector<std::string> reports;
void RecordReport(const char* text) {
    reports.emplace_back(text);
}

struct ConfigCase {
    const char* name;
    const char* sampleRate;
    bool ignoredLine;  // the log says that Samplerate is not used
};

class OpusConfigTest : public FreshRecordsTest, public ::testing::WithParamInterface<ConfigCase> {
  protected:
    void TearDown() override {
        FreshRecordsTest::TearDown();
        reports.clear();
    }
};

TEST_P(OpusConfigTest, EncodeOpusIsTakenAndSamplerateIsLeftAsWritten) {
    reports.clear();
    SetStreamTypeSink(RecordReport);
    SetBitrateDescriptionSink(RecordReport);
    StationConfig()
        .SetOutput("OPUS", 64, std::stoi(GetParam().sampleRate), 1)
        .Set("LogLevel", 2)
        .Set("LogFile", logPath())
        .Write(file("test.cfg"));
    SetConfigPath(file("test.cfg").c_str());
    ASSERT_EQ(LoadConfig(kConfigCreate), 1) << log();

    const EngineSettings& settings = Engine().settings;
    EXPECT_EQ(settings.isOpus, 1);
    EXPECT_EQ(settings.isOggVorbis, 0);
    EXPECT_EQ(settings.isLame, 0);
    EXPECT_EQ(OutputSampleRate(settings), 48000);
    EXPECT_EQ(reports, (std::vector<std::string>{"OggOpus", "64kbps/48000Hz/Mono"}));
    const std::string ignored = std::string("Samplerate=") + GetParam().sampleRate +
                                " is ignored for Opus output; it is encoded at 48000 Hz";
    EXPECT_EQ(OccurrencesOf(log(), ignored), GetParam().ignoredLine ? 1u : 0u) << log();
    // The file is written back as it was.
    EXPECT_NE(ReadWholeFile(file("test.cfg"))
                  .find(std::string("\nSamplerate=") + GetParam().sampleRate + "\n"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, OpusConfigTest,
                         ::testing::Values(ConfigCase{"OtherRate", "44100", true},
                                           ConfigCase{"OpusRate", "48000", false}),
                         kCaseName);

}  // namespace
