// Encoding and sending: tones fed through the sample intake reach a loopback Icecast2 mock server
// as MP3 or Ogg Vorbis that decodes to the configured rate and channels with the tone intact;
// title changes restart the Ogg stream; the archive holds exactly what was sent; LAME's failures
// and the level meter.
#include <gtest/gtest.h>
#include <lame/lame.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/audio_check.h"
#include "tests/support/engine_session.h"
#include "tests/support/mock_server.h"
#include "tests/support/stream_feed.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kWaitMs = 10000;
const char* const kHttpAccepted = "HTTP/1.0 200 OK\r\n\r\n";

enum class Output { kMp3, kOgg };

class EncodeSendTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        ASSERT_TRUE(server_.listening());
        server_.SetReply(kHttpAccepted);
        ConfigureDestination(ServerKind::kIcecast2, server_.port());
        Engine().settings.saveDirectory.assign(archiveDir_.path());
    }

    static void ConfigureOutput(Output output, int sampleRate, int channels) {
        if (output == Output::kOgg) ConfigureOggOutput("4");
        EngineState& engine = Engine();
        engine.settings.sampleRate = sampleRate;
        engine.settings.channels = channels;
    }

    // Ends a running Ogg stream (as the end of a transfer does), disconnects and returns the
    // audio bytes of the first connection.
    std::string FinishStream() {
        if (Engine().settings.isOggVorbis) {
            EXPECT_GT(EndOggStream(), 0);
        }
        DisconnectFromServer();
        EXPECT_TRUE(server_.WaitForClosed(0, kWaitMs));
        return AfterLogin(server_.Received(0));
    }

    std::vector<std::string> ArchivePaths() const {
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::directory_iterator(archiveDir_.path())) {
            paths.push_back(entry.path().string());
        }
        return paths;
    }

    MockServer server_;
    TempDir archiveDir_;
};

// ---- the tone arrives ----

struct ToneCase {
    const char* name;
    Output output;
    int sourceRate;
    std::vector<double> toneHz;  // per source channel
    int outputRate;
    int outputChannels;
};
void PrintTo(const ToneCase& c, std::ostream* out) {
    *out << c.name;
}

class EncodedToneTest : public EncodeSendTest, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(EncodedToneTest, DecodesAtTheOutputFormatWithTheToneAndMatchesTheArchive) {
    const ToneCase& c = GetParam();
    ConfigureOutput(c.output, c.outputRate, c.outputChannels);
    Engine().settings.saveArchives = 1;
    ASSERT_EQ(ConnectToServer(), 1);
    SineGenerator tone(c.sourceRate, c.toneHz);
    EXPECT_EQ(FeedTone(tone, c.sourceRate, 2.0), 1);
    const std::string stream = FinishStream();
    ASSERT_FALSE(stream.empty());

    DecodedAudio audio;
    if (c.output == Output::kMp3) {
        audio = DecodeMp3(stream);
    } else {
        const std::vector<OggLink> links = DecodeOgg(stream);
        ASSERT_EQ(links.size(), 1u);
        audio = links[0].audio;
    }
    EXPECT_EQ(audio.sampleRate, c.outputRate);
    ASSERT_EQ(audio.channelCount, c.outputChannels);
    const double seconds = static_cast<double>(audio.frameCount()) / c.outputRate;
    EXPECT_GT(seconds, 1.4);
    EXPECT_LT(seconds, 2.2);
    for (int channel = 0; channel < c.outputChannels; ++channel) {
        const double expected = c.toneHz[std::min<std::size_t>(channel, c.toneHz.size() - 1)];
        const std::vector<float> values = audio.Channel(channel);
        const auto skip = static_cast<std::size_t>(c.outputRate / 4);
        EXPECT_NEAR(EstimateToneHz(values, c.outputRate, skip), expected, expected * 0.005)
            << "channel " << channel;
        EXPECT_GT(RootMeanSquare(values, skip), 0.2) << "channel " << channel;
    }

    const std::vector<std::string> archives = ArchivePaths();
    ASSERT_EQ(archives.size(), 1u);
    EXPECT_TRUE(ReadWholeFile(archives[0]) == stream) << "the archive differs from the stream";
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncodedToneTest,
    ::testing::Values(
        ToneCase{"Mp3Stereo44100", Output::kMp3, 44100, {500, 750}, 44100, 2},
        ToneCase{"Mp3Mono22050ToStereo44100", Output::kMp3, 22050, {500}, 44100, 2},
        ToneCase{"Mp3Stereo48000ToMono44100", Output::kMp3, 48000, {600, 600}, 44100, 1},
        ToneCase{"Mp3Stereo44100To22050", Output::kMp3, 44100, {500, 750}, 22050, 2},
        ToneCase{"OggStereo44100", Output::kOgg, 44100, {500, 750}, 44100, 2},
        ToneCase{"OggMono48000ToStereo44100", Output::kOgg, 48000, {500}, 44100, 2},
        ToneCase{"OggStereo22050ToMono48000", Output::kOgg, 22050, {700, 700}, 48000, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Ogg streams ----

TEST_F(EncodeSendTest, TitleChangeEndsTheOggStreamAndStartsOneWithTheNewComments) {
    ConfigureOutput(Output::kOgg, 44100, 2);
    SetCurrentTitle("Artist One - Song One");
    ASSERT_EQ(ConnectToServer(), 1);
    SineGenerator tone(44100, {500, 500});
    FeedTone(tone, 44100, 2.5);
    EXPECT_EQ(SetCurrentTitle("Artist Two - Song Two"), 1);
    FeedTone(tone, 44100, 1.0);
    const std::string stream = FinishStream();

    const std::vector<OggPageInfo> pages = ParseOggPages(stream);
    auto end = std::find_if(pages.begin(), pages.end(), [](const auto& p) { return p.endsStream; });
    ASSERT_NE(end, pages.end());
    ASSERT_NE(end + 1, pages.end());
    EXPECT_GT(end->granule, 0) << "the first stream carried audio";
    EXPECT_TRUE((end + 1)->beginsStream);
    EXPECT_NE((end + 1)->serial, end->serial);

    const std::vector<OggLink> links = DecodeOgg(stream);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].Comment("TITLE"), "Song One");
    EXPECT_EQ(links[0].Comment("ARTIST"), "Artist One");
    EXPECT_EQ(links[1].Comment("TITLE"), "Song Two");
    EXPECT_EQ(links[1].Comment("ARTIST"), "Artist Two");
    EXPECT_GT(links[1].audio.frameCount(), 44100u / 2);
    EXPECT_NEAR(EstimateToneHz(links[1].audio.Channel(0), 44100, 4410), 500.0, 2.5);
}

// The encoder of a title's new stream cannot be set up: the connection ends with the reason,
// instead of the relay going on with every later block dropped.
TEST_F(EncodeSendTest, TitleChangeWhoseEncoderCannotBeSetUpEndsTheConnection) {
    ConfigureOutput(Output::kOgg, 44100, 2);
    ASSERT_EQ(ConnectToServer(), 1);
    SineGenerator tone(44100, {500, 500});
    FeedTone(tone, 44100, 2.5);
    EngineState& engine = Engine();
    // A bit-rate range the library refuses ("illegal vorbis mode").
    engine.settings.oggBitrateManaged = 1;
    engine.settings.bitrateNominal = engine.settings.bitrateMin = engine.settings.bitrateMax = 0;
    EXPECT_EQ(SetCurrentTitle("Artist Two - Song Two"), 1);
    FeedTone(tone, 44100, 0.5);

    const StatusTexts statuses = Statuses();
    const auto failed = std::find(statuses.begin(), statuses.end(), "Encoder init failed");
    ASSERT_NE(failed, statuses.end());
    EXPECT_NE(std::find(failed, statuses.end(), "Was disconnected from server"), statuses.end());
    EXPECT_TRUE(Control().destinationLost.load());  // the source input ends the run
    EXPECT_EQ(Engine().destination.connected.load(), 0);
    EXPECT_NE(LogText().find("Sorry, but this is an illegal vorbis mode..."), std::string::npos);
    EXPECT_NE(
        LogText().find("Was disconnected from server 127.0.0.1:" + std::to_string(server_.port()) +
                       ": the encoder of a new Ogg stream could not be set up\n"),
        std::string::npos)
        << LogText();
    // The first stream went out whole, its end included.
    ASSERT_TRUE(server_.WaitForClosed(0, kWaitMs));
    const std::vector<OggLink> links = DecodeOgg(AfterLogin(server_.Received(0)));
    ASSERT_EQ(links.size(), 1u);
    EXPECT_GT(links[0].audio.frameCount(), 2u * 44100);
    const std::vector<OggPageInfo> pages = ParseOggPages(AfterLogin(server_.Received(0)));
    ASSERT_FALSE(pages.empty());
    EXPECT_TRUE(pages.back().endsStream);
}

// A server hands a new stream (and its title) to its listeners with the stream's first audio
// page, so that page follows the header pages as soon as the encoder has a packet (a tenth of a
// second of audio here), not when libogg's page is full (about half a second).
TEST_F(EncodeSendTest, FirstAudioPageOfANewStreamGoesOutWithItsFirstPacket) {
    ConfigureOutput(Output::kOgg, 44100, 2);
    ASSERT_EQ(ConnectToServer(), 1);
    SineGenerator tone(44100, {500, 500});
    for (int block = 0; block < 4; ++block) {
        const std::vector<float> frames = tone.Next(1152);
        ASSERT_EQ(ProcessSamples(frames.data(), 1152, 2, 44100), 1);
    }
    const auto audioPageArrived = [this] {
        for (const OggPageInfo& page : ParseOggPages(AfterLogin(server_.Received(0)))) {
            if (page.granule > 0) return true;
        }
        return false;
    };
    for (int waited = 0; waited < kWaitMs && !audioPageArrived(); waited += 10) {
        server_.WaitForBytes(0, server_.Received(0).size() + 1, 10);
    }
    EXPECT_TRUE(audioPageArrived());
}

TEST_F(EncodeSendTest, EmptyOggBlockDoesNotEndTheStream) {
    ConfigureOutput(Output::kOgg, 44100, 2);
    ASSERT_EQ(ConnectToServer(), 1);
    SineGenerator tone(44100, {500, 500});
    FeedTone(tone, 44100, 1.0);
    EXPECT_EQ(ProcessSamples(nullptr, 0, 2, 44100), 1);
    FeedTone(tone, 44100, 1.0);
    const std::string stream = FinishStream();

    const std::vector<OggPageInfo> pages = ParseOggPages(stream);
    ASSERT_FALSE(pages.empty());
    for (std::size_t i = 0; i + 1 < pages.size(); ++i) EXPECT_FALSE(pages[i].endsStream) << i;
    const std::vector<OggLink> links = DecodeOgg(stream);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_GT(links[0].audio.frameCount(), 44100u * 3 / 2);
}

// ---- title changes on Ogg output: chains that players and Ogg tools take ----

// Checks the chain as a listener's player reads it: every stream has a serial of its own, each
// begins after the previous one has ended, and every stream but the login's carries audio.
void ExpectWellFormedChain(const std::string& stream) {
    std::vector<long> serials;
    for (const OggPageInfo& page : ParseOggPages(stream)) {
        if (!page.beginsStream) continue;
        EXPECT_EQ(std::count(serials.begin(), serials.end(), page.serial), 0)
            << "serial " << page.serial << " comes again as stream " << serials.size();
        serials.push_back(page.serial);
    }
    const std::vector<OggLink> links = DecodeOgg(stream);
    ASSERT_EQ(links.size(), serials.size());
    ASSERT_GE(links.size(), 2u) << stream.size() << " bytes";
    for (std::size_t i = 1; i < links.size(); ++i) {
        EXPECT_GT(links[i].audio.frameCount(), 0u) << "stream " << i << " carries no audio";
    }
}

std::vector<std::string> TitlesOf(const std::vector<OggLink>& links) {
    std::vector<std::string> titles;
    for (const OggLink& link : links) titles.push_back(link.Comment("TITLE"));
    return titles;
}

// Titles in bursts, several between two blocks: each stream carries at least two seconds of
// audio before the next begins (one new stream every 2 s at real-time pace), the waiting title is
// always the latest, and the last title of all is the last stream's.
TEST_F(EncodeSendTest, TitleBurstsStartAStreamAtMostEveryTwoSecondsOfAudio) {
    ConfigureOutput(Output::kOgg, 44100, 2);
    ASSERT_EQ(ConnectToServer(), 1);
    SetCurrentTitle("Song 0");
    SineGenerator tone(44100, {500, 500});
    for (int song = 1; song <= 24; ++song) {
        FeedTone(tone, 44100, song % 3 == 0 ? 0.0 : 0.25);
        SetCurrentTitle(("Song " + std::to_string(song)).c_str());
    }
    FeedTone(tone, 44100, 2.5);
    const std::string stream = FinishStream();

    ExpectWellFormedChain(stream);
    const std::vector<OggLink> links = DecodeOgg(stream);
    // 6.5 s of audio with a title waiting all the time: a stream every 2 s, the last title's
    // beginning at 6 s.
    ASSERT_GE(links.size(), 2u);
    EXPECT_LE(links.size(), 4u);
    for (std::size_t i = 0; i + 1 < links.size(); ++i) {
        EXPECT_GE(links[i].audio.frameCount(), 2u * 44100 - 4096) << "stream " << i;
    }
    EXPECT_EQ(TitlesOf(links).back(), "Song 24");
}

TEST_F(EncodeSendTest, TitlesFromAnotherThreadGiveAWellFormedChain) {
    ConfigureOutput(Output::kOgg, 44100, 2);
    ASSERT_EQ(ConnectToServer(), 1);
    BackgroundFeeder feeder(48000, {500, 500}, 400);
    feeder.Start();
    for (int song = 0; song < 30 && !feeder.finished(); ++song) {
        SetCurrentTitle(("Song " + std::to_string(song)).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(song % 2 == 0 ? 2 : 40));
    }
    feeder.Stop();
    ExpectWellFormedChain(FinishStream());
}

// Phase of a tone in windows of whole periods, measured against the frame position in the whole
// output: constant along an unbroken tone.
std::vector<double> TonePhases(const std::vector<float>& samples, int rate, double toneHz,
                               std::size_t windowFrames) {
    std::vector<double> phases;
    const double step = 2.0 * M_PI * toneHz / rate;
    for (std::size_t start = 0; start + windowFrames <= samples.size(); start += windowFrames) {
        double inPhase = 0.0;
        double quadrature = 0.0;
        for (std::size_t n = start; n < start + windowFrames; ++n) {
            inPhase += samples[n] * std::sin(step * static_cast<double>(n));
            quadrature += samples[n] * std::cos(step * static_cast<double>(n));
        }
        phases.push_back(std::atan2(quadrature, inPhase));
    }
    return phases;
}

double PhaseDistance(double a, double b) {
    return std::fabs(std::remainder(a - b, 2.0 * M_PI));
}

// A 48000 Hz tone to 44100 Hz Ogg with a title change every two seconds: the resampler carries
// on through every restart, so the joined links hold the tone unbroken and every frame of it.
TEST_F(EncodeSendTest, TitleChangesNeitherBreakNorShortenAResampledTone) {
    ConfigureOutput(Output::kOgg, 44100, 2);
    SetCurrentTitle("Song 0");
    ASSERT_EQ(ConnectToServer(), 1);
    constexpr int kChanges = 5;
    constexpr int kBlocksPerSong = 84;  // about two seconds
    SineGenerator tone(48000, {1000, 1000});
    for (int song = 0; song <= kChanges; ++song) {
        if (song > 0) SetCurrentTitle(("Song " + std::to_string(song)).c_str());
        for (int block = 0; block < kBlocksPerSong; ++block) {
            const std::vector<float> frames = tone.Next(kDecoderBlockFrames);
            ASSERT_EQ(ProcessSamples(frames.data(), kDecoderBlockFrames, 2, 48000), 1);
        }
    }
    const std::vector<OggLink> links = DecodeOgg(FinishStream());
    ASSERT_EQ(links.size(), static_cast<std::size_t>(kChanges + 1));

    std::vector<float> left;
    for (const OggLink& link : links) {
        const std::vector<float> values = link.audio.Channel(0);
        left.insert(left.end(), values.begin(), values.end());
    }
    // Short of the ideal length only by the resampler's filter delay (under one filter length,
    // 48 frames) and a frame or two per change.
    const double ideal = (kChanges + 1) * kBlocksPerSong * kDecoderBlockFrames * 44100.0 / 48000;
    EXPECT_LE(static_cast<double>(left.size()), ideal);
    EXPECT_GE(static_cast<double>(left.size()), ideal - 48 - 2 * kChanges);

    // Windows of 10 ms (ten periods); the first and the last are left to the encoder's start
    // and end.
    const std::vector<double> phases = TonePhases(left, 44100, 1000.0, 441);
    ASSERT_GT(phases.size(), 100u);
    for (std::size_t window = 2; window + 1 < phases.size(); ++window) {
        ASSERT_LT(PhaseDistance(phases[window], phases[1]), 0.05)
            << "phase jump in window " << window << " of " << phases.size();
    }
}

TEST_F(EncodeSendTest, OggChannelsBeyondTheLeftStaySilentForWiderOutput) {
    ConfigureOutput(Output::kOgg, 44100, 3);
    ASSERT_EQ(ConnectToServer(), 1);
    // The encoder's input buffer holds old values, as reused memory would.
    float** buffer = vorbis_analysis_buffer(&Engine().encoder.vorbisDsp, 4096);
    for (int c = 0; c < 3; ++c) std::fill(buffer[c], buffer[c] + 4096, 0.9f);
    SineGenerator tone(44100, {500, 800});
    FeedTone(tone, 44100, 1.5);
    const std::vector<OggLink> links = DecodeOgg(FinishStream());
    ASSERT_EQ(links.size(), 1u);
    const DecodedAudio& audio = links[0].audio;
    ASSERT_EQ(audio.channelCount, 3);
    EXPECT_NEAR(EstimateToneHz(audio.Channel(0), 44100, 11025), 500.0, 2.5);
    EXPECT_LT(RootMeanSquare(audio.Channel(1)), 1e-3);
    EXPECT_LT(RootMeanSquare(audio.Channel(2)), 1e-3);
}

// ---- LAME failures ----

struct LameFailureCase {
    const char* name;
    bool encoderReady;  // false: a LAME handle whose parameters were never initialised
    int bitrate;
    int blockFrames;
    int expectedResult;
    const char* expectedLog;
};
void PrintTo(const LameFailureCase& c, std::ostream* out) {
    *out << c.name;
}

class LameFailureTest : public EncodeSendTest,
                        public ::testing::WithParamInterface<LameFailureCase> {};

TEST_P(LameFailureTest, DropsTheBlockAndKeepsTheConnection) {
    const LameFailureCase& c = GetParam();
    EngineState& engine = Engine();
    engine.settings.bitrateNominal = c.bitrate;
    if (c.encoderReady) {
        ASSERT_EQ(InitEncoder(), 1);
    } else {
        engine.encoder.lameEncoder = lame_init();
    }
    engine.destination.connected = 1;  // no connection: the block must never get as far as a send
    const std::vector<float> block = SineGenerator(44100, {500, 500}).Next(c.blockFrames);
    EXPECT_EQ(ProcessSamples(block.data(), c.blockFrames, 2, 44100), c.expectedResult);
    EXPECT_EQ(engine.destination.connected.load(), 1);
    EXPECT_EQ(BytesReported(), 0u);
    EXPECT_NE(LogText().find(c.expectedLog), std::string::npos) << LogText();
}

INSTANTIATE_TEST_SUITE_P(
    Table, LameFailureTest,
    ::testing::Values(
        // Ten seconds at 320 kbit/s are about 400 KB, far beyond the 144 KiB output buffer.
        LameFailureCase{"OutputBeyondTheBuffer", true, 320, 441000, -1,
                        "mp3 buffer is not big enough!"},
        LameFailureCase{"OtherEncoderError", false, 128, 1152, 1,
                        "The MP3 encoder failed on a block (LAME error -3)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- level meter ----

struct Levels {
    unsigned left = 0;
    unsigned right = 0;
    int calls = 0;
};
Levels levels;
void RecordLevels(unsigned left, unsigned right) {
    levels = Levels{left, right, levels.calls + 1};
}

struct LevelCase {
    const char* name;
    float left;
    float right;
    unsigned expectedLeft;
    unsigned expectedRight;
};
void PrintTo(const LevelCase& c, std::ostream* out) {
    *out << c.name;
}

class LevelMeterTest : public EncodeSendTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LevelMeterTest, AveragesOverTheSamplesOfBothChannels) {
    const LevelCase& c = GetParam();
    levels = Levels{};
    SetVuSink(RecordLevels);
    EngineState& engine = Engine();
    engine.settings.isLame = 0;
    engine.destination.connected = 1;
    std::vector<float> block;
    for (int i = 0; i < 1152; ++i) block.insert(block.end(), {c.left, c.right});
    ProcessSamples(block.data(), 1152, 2, 44100);
    EXPECT_EQ(levels.calls, 1);
    EXPECT_EQ(levels.left, c.expectedLeft);
    EXPECT_EQ(levels.right, c.expectedRight);
}

INSTANTIATE_TEST_SUITE_P(Table, LevelMeterTest,
                         ::testing::Values(LevelCase{"Half", 0.5f, 0.5f, 8191, 8191},
                                           LevelCase{"Silence", 0.0f, 0.0f, 0, 0},
                                           LevelCase{"FullLeftOnly", -1.0f, 0.0f, 16383, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
