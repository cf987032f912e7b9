// The `transcode` program relaying an Ogg station end to end: a paced loopback source serving
// generated chained Ogg Vorbis or Opus (a new link with new comments for every song), a real
// Icecast2 server (or a mock one that goes away and comes back) as the destination.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/audio_check.h"
#include "tests/support/background_run.h"
#include "tests/support/child_process.h"
#include "tests/support/icecast_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/mock_server.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/opus_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/stream_listener.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRunTimeoutMs = 90000;
constexpr const char* kConfigFile = "transcode.conf";

struct Song {
    std::string artist;
    std::string title;
    int sampleRate;
    int channelCount;
    double toneHz;
    std::string FullTitle() const { return artist + " - " + title; }
};

// Three songs; the second at another rate and channel count, so the engine's intake must follow.
const std::vector<Song> kSongs = {
    {"Alpha Artist", "First Song", 44100, 2, 440.0},
    {"Beta Band", "Second Song", 22050, 1, 330.0},
    {"Gamma Group", "Third Song", 44100, 2, 550.0},
};

std::string ChainedStation(const std::vector<Song>& songs, double secondsPerSong) {
    std::vector<OggLinkSpec> links;
    for (const Song& song : songs) {
        OggLinkSpec link;
        link.sampleRate = song.sampleRate;
        link.channelCount = song.channelCount;
        link.frameCount = static_cast<int>(secondsPerSong * song.sampleRate);
        link.toneHz = song.toneHz;
        link.comments = {"ARTIST=" + song.artist, "TITLE=" + song.title, "ALBUM=Tests"};
        links.push_back(link);
    }
    return MakeOggVorbis(links);
}

PacedSourceOptions OggStationOptions(double bytesPerSecond) {
    PacedSourceOptions options;
    options.contentType = "application/ogg";
    options.metaInterval = 0;  // Ogg stations carry their titles in the stream
    options.bytesPerSecond = bytesPerSecond;
    options.chunkBytes = 1024;
    return options;
}

// The relay of the station to a destination at the loopback port, logging at the Debug level.
StationConfig RelayConfig(const TempDir& dir, const std::string& sourceUrl, uint16_t port,
                          const std::string& password, const std::string& mount,
                          const std::string& encode) {
    return StationConfig::LoopbackRelay(sourceUrl, port, password)
        .Set("ServerMountpoint", mount)
        .SetOutput(encode)
        .Set("ServerDescription", "Relay Test")
        .Set("ServerPublic", 0)
        .Set("OggQuality", 2)
        .Set("LameQuality", 5)
        .Set("LogLevel", 3)
        .Set("LogFile", dir.file("transcode.log"));
}

BackgroundTranscode StartTranscode(const TempDir& dir) {
    return BackgroundTranscode(TRANSCODE_BINARY, dir.path(), kConfigFile, kRunTimeoutMs);
}

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// "Artist - Title" of each run of links with the same comments, in order.
std::vector<std::string> HeardTitles(const std::vector<OggLink>& links) {
    std::vector<std::string> titles;
    for (const OggLink& link : links) {
        const std::string title = link.Comment("ARTIST") + " - " + link.Comment("TITLE");
        if (titles.empty() || titles.back() != title) titles.push_back(title);
    }
    return titles;
}

class OggRelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ICECAST();
        curl_global_init(CURL_GLOBAL_DEFAULT);
    }

    StationConfig IcecastRelay(const std::string& sourceUrl, const IcecastServer& server,
                               const std::string& mount, const std::string& encode) {
        return RelayConfig(dir_, sourceUrl, server.port(), server.sourcePassword(), mount, encode);
    }

    TempDir dir_;
};

TEST_F(OggRelayTest, OggToMp3SendsEachSongTitleToTheServer) {
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    // Songs long enough that the last title stands at the mount for a while before the run ends,
    // even when a slow (sanitized) decoder makes the output catch up at the end in one burst.
    const std::string station = ChainedStation(kSongs, 4.0);
    ASSERT_FALSE(station.empty());
    PacedSource source(station, OggStationOptions(station.size() / 6.0));
    ASSERT_TRUE(source.listening());
    IcecastRelay(source.url(), server, "/live", "LAME").Write(dir_.file(kConfigFile));

    TitleWatcher watcher(server.port(), "/live", kRunTimeoutMs);
    BackgroundTranscode run = StartTranscode(dir_);
    const ChildResult& result = run.Finish();
    const std::vector<std::string> titles = watcher.Stop();

    EXPECT_TRUE(EndedWithDone(result)) << result.out << result.err;
    std::vector<std::string> expected;
    for (const Song& song : kSongs) expected.push_back(song.FullTitle());
    EXPECT_TRUE(IsSubsequence(expected, titles)) << ::testing::PrintToString(titles);
    for (const Song& song : kSongs) {
        EXPECT_NE(result.out.find("Metadata : (" + song.FullTitle() + ")"), std::string::npos);
    }
    EXPECT_NE(result.out.find("(22050Hz/Mono Vorbis)"), std::string::npos) << result.out;
}

TEST_F(OggRelayTest, OggToOggListenerSeesEverySongAsANewLink) {
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    const std::string station = ChainedStation(kSongs, 4.0);
    ASSERT_FALSE(station.empty());
    PacedSource source(station, OggStationOptions(station.size() / 9.0));
    ASSERT_TRUE(source.listening());
    IcecastRelay(source.url(), server, "/live.ogg", "OGG").Write(dir_.file(kConfigFile));

    BackgroundTranscode run = StartTranscode(dir_);
    std::string lastTitle;
    ASSERT_TRUE(server.WaitForTitle("/live.ogg", kSongs[0].title, 30000, &lastTitle))
        << lastTitle << "\n"
        << server.FetchStatusJson() << "\n"
        << run.Finish().out;
    StreamListener listener("http://127.0.0.1:" + std::to_string(server.port()) + "/live.ogg",
                            kRunTimeoutMs);
    const std::string heard = listener.Finish();
    const ChildResult& result = run.Finish();
    EXPECT_TRUE(EndedWithDone(result)) << result.out << result.err;

    const std::vector<OggLink> links = DecodeOgg(heard);
    ASSERT_FALSE(links.empty()) << heard.size() << " bytes heard";
    const std::vector<std::string> heardTitles = HeardTitles(links);
    std::vector<std::string> expected;
    for (const Song& song : kSongs) expected.push_back(song.FullTitle());
    EXPECT_TRUE(IsSubsequence(expected, heardTitles)) << ::testing::PrintToString(heardTitles);

    // The second song's link: announced with its own source format, resampled to the output rate.
    bool secondSongHeard = false;
    for (const OggLink& link : links) {
        if (link.Comment("TITLE") != kSongs[1].title || link.audio.frameCount() < 22050) continue;
        secondSongHeard = true;
        EXPECT_EQ(link.Comment("TRANSCODEDFROM"), "22050Hz/Mono Vorbis");
        EXPECT_EQ(link.audio.sampleRate, 44100);
        EXPECT_EQ(link.audio.channelCount, 2);
        EXPECT_NEAR(EstimateToneHz(link.audio.Channel(0), 44100, 4096), kSongs[1].toneHz, 3.0);
    }
    EXPECT_TRUE(secondSongHeard);
}

TEST_F(OggRelayTest, StopSignalInTheMiddleEndsCleanlyWithACompleteArchive) {
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    const std::string station = ChainedStation(kSongs, 20.0);
    PacedSource source(station, OggStationOptions(station.size() / 60.0));
    ASSERT_TRUE(source.listening());
    const std::string archives = dir_.file("archives");
    std::filesystem::create_directory(archives);
    IcecastRelay(source.url(), server, "/live.ogg", "OGG")
        .Set("SaveDirectory", archives)
        .Set("SaveDirectoryFlag", 1)
        .Write(dir_.file(kConfigFile));

    BackgroundTranscode run = StartTranscode(dir_);
    ASSERT_TRUE(server.WaitForTitle("/live.ogg", kSongs[0].title, 30000));
    std::this_thread::sleep_for(2s);  // in the middle of the first song
    const pid_t pid = run.Pid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    const ChildResult& result = run.Finish();

    EXPECT_TRUE(StoppedWithDone(result)) << result.out << result.err;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(source.CompletedStreams(), 0);  // the run really ended early

    const std::vector<std::string> files = FilesIn(archives);
    ASSERT_EQ(files.size(), 1u);
    const std::string archive = ReadWholeFile(files[0]);
    const std::vector<OggPageInfo> pages = ParseOggPages(archive);
    ASSERT_FALSE(pages.empty());
    EXPECT_TRUE(pages.back().endsStream);
    EXPECT_EQ(pages.back().offset + pages.back().byteCount, archive.size());
    const std::vector<OggLink> links = DecodeOgg(archive);
    ASSERT_FALSE(links.empty());
    std::size_t frames = 0;
    for (const OggLink& link : links) frames += link.audio.frameCount();
    EXPECT_GT(frames, 44100u);  // over a second of the song made it out before the stop
}

// ---- Ogg Opus stations ----

enum class SongCodec { kVorbis, kOpus };

struct CodecSong {
    Song song;
    SongCodec codec;
    const char* sourceFormat;  // as the relay describes the song's link
};

// Each song its own link; the links of both codecs chained in order.
std::string MixedStation(const std::vector<CodecSong>& songs, double secondsPerSong) {
    std::string station;
    int serialNumber = 100;
    for (const CodecSong& entry : songs) {
        const Song& song = entry.song;
        const std::vector<std::string> comments = {"ARTIST=" + song.artist, "TITLE=" + song.title};
        const int frames = static_cast<int>(secondsPerSong * song.sampleRate);
        const std::string link =
            entry.codec == SongCodec::kOpus
                ? MakeOggOpus(
                      {{song.sampleRate, song.channelCount, frames, song.toneHz, 0.5f, comments}},
                      serialNumber++)
                : MakeOggVorbis(
                      {{song.sampleRate, song.channelCount, frames, song.toneHz, 0.5f, comments}},
                      serialNumber++);
        if (link.empty()) return {};
        station += link;
    }
    return station;
}

struct OpusStationCase {
    const char* name;
    std::vector<CodecSong> songs;
    const char* contentType;
    const char* encode;
    const char* mount;
};

void PrintTo(const OpusStationCase& c, std::ostream* out) {
    *out << c.name;
}

const std::vector<CodecSong> kOpusSongs = {
    {{"Opus Artist", "Opus One", 48000, 2, 440.0}, SongCodec::kOpus, "48000Hz/Stereo Opus"},
    {{"Opus Artist", "Opus Two", 48000, 1, 330.0}, SongCodec::kOpus, "48000Hz/Mono Opus"},
    {{"Opus Artist", "Opus Three", 48000, 2, 550.0}, SongCodec::kOpus, "48000Hz/Stereo Opus"},
};
const std::vector<CodecSong> kVorbisOpusVorbisSongs = {
    {{"Alpha Artist", "Vorbis Before", 44100, 2, 440.0},
     SongCodec::kVorbis,
     "44100Hz/Stereo Vorbis"},
    {{"Beta Band", "Opus Between", 48000, 1, 660.0}, SongCodec::kOpus, "48000Hz/Mono Opus"},
    {{"Gamma Group", "Vorbis After", 22050, 1, 550.0}, SongCodec::kVorbis, "22050Hz/Mono Vorbis"},
};

class OggOpusRelayTest : public OggRelayTest,
                         public ::testing::WithParamInterface<OpusStationCase> {};

// The station's every song reaches the mount with its title, the relay describes each link by
// its own codec, and a listener's stream decodes: MP3 at the output rate, or Ogg Vorbis links
// that carry the songs' titles and tones.
TEST_P(OggOpusRelayTest, EverySongPlaysWithItsTitle) {
    const OpusStationCase& c = GetParam();
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    const std::string station = MixedStation(c.songs, 4.0);
    ASSERT_FALSE(station.empty());
    PacedSourceOptions options = OggStationOptions(station.size() / 9.0);
    options.contentType = c.contentType;
    PacedSource source(station, options);
    ASSERT_TRUE(source.listening());
    IcecastRelay(source.url(), server, c.mount, c.encode).Write(dir_.file(kConfigFile));

    TitleWatcher watcher(server.port(), c.mount, kRunTimeoutMs);
    BackgroundTranscode run = StartTranscode(dir_);
    ASSERT_TRUE(server.WaitForMount(c.mount, 30000)) << run.Finish().out;
    StreamListener listener("http://127.0.0.1:" + std::to_string(server.port()) + c.mount,
                            kRunTimeoutMs);
    const ChildResult& result = run.Finish();
    const std::vector<std::string> titles = watcher.Stop();
    const std::string heard = listener.Finish();

    EXPECT_TRUE(EndedWithDone(result)) << result.out << result.err;
    EXPECT_EQ(result.out.find("circular buffer is full"), std::string::npos) << result.out;
    const bool oggOutput = std::string(c.encode) == "OGG";
    std::vector<std::string> expected;
    std::vector<std::string> expectedAtMount;  // an Ogg mount shows the TITLE comment alone
    for (const CodecSong& entry : c.songs) {
        expected.push_back(entry.song.FullTitle());
        expectedAtMount.push_back(oggOutput ? entry.song.title : entry.song.FullTitle());
        EXPECT_NE(result.out.find("Metadata : (" + entry.song.FullTitle() + ")"),
                  std::string::npos);
        EXPECT_NE(result.out.find(std::string("(") + entry.sourceFormat + ")"), std::string::npos)
            << result.out;
    }
    EXPECT_TRUE(IsSubsequence(expectedAtMount, titles)) << ::testing::PrintToString(titles);

    if (!oggOutput) {
        const DecodedAudio audio = DecodeMp3(heard);
        EXPECT_EQ(audio.sampleRate, 44100);
        EXPECT_GT(audio.frameCount(), 4u * 44100) << heard.size() << " bytes heard";
        return;
    }
    // Each Opus song's link after the first: announced with its source format, resampled to the
    // output rate, the song's tone.
    const std::vector<OggLink> links = DecodeOgg(heard);
    ASSERT_FALSE(links.empty()) << heard.size() << " bytes heard";
    const std::vector<std::string> heardTitles = HeardTitles(links);
    const std::vector<std::string> laterSongs(expected.begin() + 1, expected.end());
    EXPECT_TRUE(IsSubsequence(laterSongs, heardTitles)) << ::testing::PrintToString(heardTitles);
    bool opusSongHeard = false;
    for (const CodecSong& entry : c.songs) {
        if (entry.codec != SongCodec::kOpus || &entry == &c.songs.front()) continue;
        for (const OggLink& link : links) {
            if (link.Comment("TITLE") != entry.song.title || link.audio.frameCount() < 44100) {
                continue;
            }
            opusSongHeard = true;
            EXPECT_EQ(link.Comment("TRANSCODEDFROM"), entry.sourceFormat);
            EXPECT_EQ(link.audio.sampleRate, 44100);
            // The second half: the link may open with the last moments of the song before.
            EXPECT_NEAR(EstimateToneHz(link.audio.Channel(0), 44100, link.audio.frameCount() / 2),
                        entry.song.toneHz, 3.0);
        }
    }
    std::string seen;
    for (const OggLink& link : links) {
        seen += link.Comment("TITLE") + "/" + link.Comment("TRANSCODEDFROM") + "/" +
                std::to_string(link.audio.frameCount()) + "\n";
    }
    EXPECT_TRUE(opusSongHeard) << seen;
}

INSTANTIATE_TEST_SUITE_P(
    Stations, OggOpusRelayTest,
    ::testing::Values(OpusStationCase{"OpusToMp3", kOpusSongs, "audio/ogg", "LAME", "/live"},
                      OpusStationCase{"OpusToOgg", kOpusSongs, "audio/ogg", "OGG", "/live.ogg"},
                      OpusStationCase{"VorbisOpusVorbisToMp3", kVorbisOpusVorbisSongs,
                                      "application/ogg", "LAME", "/live"},
                      OpusStationCase{"VorbisOpusVorbisToOgg", kVorbisOpusVorbisSongs,
                                      "application/ogg", "OGG", "/live.ogg"}),
    [](const auto& info) { return std::string(info.param.name); });

// A station faster than real time: served unpaced (the whole file at once), or with a burst on
// connect far beyond the input buffer. The relay reads it at the pace it can take it, and a
// listener that is there from the start hears every second of every song.
struct FastSourceCase {
    const char* name;
    double bytesPerSecond;  // 0: unpaced
    std::size_t burstBytes;
};

void PrintTo(const FastSourceCase& c, std::ostream* out) {
    *out << c.name;
}

class FastOggSourceTest : public OggRelayTest,
                          public ::testing::WithParamInterface<FastSourceCase> {};

bool WaitForListener(const IcecastServer& server, int timeoutMs) {
    return WaitUntil(
        [&] { return server.FetchStatusJson().find("\"listeners\":1") != std::string::npos; },
        std::chrono::milliseconds(timeoutMs), 50ms);
}

TEST_P(FastOggSourceTest, ListenerHearsEverySecond) {
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    constexpr int kSongFrames = 4 * 44100;
    std::vector<OggLinkSpec> links;
    for (const char* title : {"Fast One", "Fast Two", "Fast Three"}) {
        // Noise makes many bytes per second: the burst is over seven seconds of audio.
        links.push_back({44100,
                         2,
                         kSongFrames,
                         440.0,
                         0.3f,
                         {"ARTIST=Burst", std::string("TITLE=") + title},
                         0.3f,
                         1.0f});
    }
    const std::string station = MakeOggVorbis(links);
    ASSERT_GT(station.size(), 400000u + 160000u);
    PacedSourceOptions options = OggStationOptions(0);
    options.bytesPerSecond = GetParam().bytesPerSecond > 0 ? station.size() / 12.0 : 0;
    options.burstBytes = GetParam().burstBytes;
    options.chunkBytes = 16384;
    options.holdAnswer = true;
    PacedSource source(station, options);
    ASSERT_TRUE(source.listening());
    IcecastRelay(source.url(), server, "/fast.ogg", "OGG").Write(dir_.file(kConfigFile));

    BackgroundTranscode run = StartTranscode(dir_);
    ASSERT_TRUE(server.WaitForMount("/fast.ogg", 30000)) << run.Finish().out;
    StreamListener listener("http://127.0.0.1:" + std::to_string(server.port()) + "/fast.ogg",
                            kRunTimeoutMs);
    EXPECT_TRUE(WaitForListener(server, 4000));
    source.Release();
    const ChildResult& result = run.Finish();
    const std::string heard = listener.Finish();

    EXPECT_TRUE(EndedWithDone(result)) << result.out << result.err;
    EXPECT_EQ(result.out.find("circular buffer is full"), std::string::npos);
    EXPECT_EQ(source.CompletedStreams(), 1);
    std::size_t frames = 0;
    std::vector<std::string> heardTitles;
    for (const OggLink& link : DecodeOgg(heard)) {
        frames += link.audio.frameCount();
        const std::string title = link.Comment("TITLE");
        if (heardTitles.empty() || heardTitles.back() != title) heardTitles.push_back(title);
    }
    // Everything, give or take the encoder's edges at each of the three song changes.
    EXPECT_GE(frames, 3u * kSongFrames - 44100 / 4) << heard.size() << " bytes heard";
    EXPECT_TRUE(IsSubsequence({"Fast One", "Fast Two", "Fast Three"}, heardTitles))
        << ::testing::PrintToString(heardTitles);
}

INSTANTIATE_TEST_SUITE_P(Paces, FastOggSourceTest,
                         ::testing::Values(FastSourceCase{"Unpaced", 0, 0},
                                           FastSourceCase{"BurstOnConnect", 1, 400000}),
                         [](const auto& info) { return std::string(info.param.name); });

// A destination that hangs up while a noisy (many bytes per second) station plays at about 1.5
// times the pace of its audio, for about twenty seconds. The engine reconnects every
// reconnectSecs seconds.
class OggRelayOutageTest : public ::testing::Test {
  protected:
    static constexpr const char* kDropText =
        "Output server not connected and the input buffer is full";

    void StartRunAndLoseTheServer(int reconnectSecs) {
        OggLinkSpec one{44100, 2,   44100 * 3, 440.0, 0.3f, {"ARTIST=Noise", "TITLE=One"},
                        0.3f,  1.0f};
        OggLinkSpec two = one;
        two.comments = {"ARTIST=Noise", "TITLE=Two"};
        const std::string station = MakeOggVorbis({one, two});
        ASSERT_FALSE(station.empty());
        PacedSourceOptions options = OggStationOptions(station.size() / 4.0);
        // Long enough to go on well after the destination's return, on a slow (sanitized) build too.
        options.loopCount = 5;
        options.chunkBytes = 4096;
        source_ = std::make_unique<PacedSource>(station, options);
        ASSERT_TRUE(source_->listening());

        auto first = std::make_unique<MockServer>();
        ASSERT_TRUE(first->listening());
        first->SetReply("HTTP/1.0 200 OK\r\n\r\n");
        port_ = first->port();
        RelayConfig(dir_, source_->url(), port_, "hackme", "/live", "LAME")
            .Set("AutomaticReconnect", 1)
            .Set("AutomaticReconnectSecs", reconnectSecs)
            .Write(dir_.file(kConfigFile));

        run_ = std::make_unique<BackgroundTranscode>(TRANSCODE_BINARY, dir_.path(), kConfigFile,
                                                     kRunTimeoutMs);
        ASSERT_TRUE(first->WaitForConnections(1, 30000));
        ASSERT_TRUE(first->WaitForBytes(0, 20000, 30000)) << run_->Finish().out;
        first->Stop();
    }

    std::string LogText() const { return ReadWholeFile(dir_.file("transcode.log")); }

    TempDir dir_;
    std::unique_ptr<PacedSource> source_;
    uint16_t port_ = 0;
    std::unique_ptr<BackgroundTranscode> run_;
};

// The destination comes back a few seconds later: the source's audio is dropped meanwhile
// (nothing waits for a destination that is away), the transfer goes on, and the engine logs in
// again and relays the rest.
TEST_F(OggRelayOutageTest, DestinationThatComesBackIsReconnected) {
    StartRunAndLoseTheServer(1);
    ASSERT_TRUE(run_);
    std::this_thread::sleep_for(500ms);

    MockServer second(port_);
    ASSERT_TRUE(second.listening());
    second.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    const ChildResult& result = run_->Finish();
    EXPECT_TRUE(EndedWithDone(result)) << result.out << result.err;

    std::size_t logins = 0;
    std::size_t bytesAfterLogin = 0;
    for (std::size_t i = 0; i < second.ConnectionCount(); ++i) {
        const std::string received = second.Received(i);
        if (received.rfind("SOURCE /live ICE/1.0\n", 0) != 0) continue;
        ++logins;
        bytesAfterLogin += received.size();
    }
    EXPECT_EQ(logins, 1u);
    EXPECT_GT(bytesAfterLogin, 20000u);
    EXPECT_EQ(CountOf(LogText(), kDropText), 0u) << "the decoder drops, the input never fills";
    EXPECT_NE(result.out.find("Disconnected from output server, reconnecting in 1 secs"),
              std::string::npos);
}

// The destination stays away and the next attempt is ten minutes off: the end of the source ends
// the reconnection wait, and the run ends as usual instead of waiting for the server.
TEST_F(OggRelayOutageTest, SourceEndingDuringTheReconnectionWaitEndsTheRun) {
    StartRunAndLoseTheServer(600);
    ASSERT_TRUE(run_);
    const ChildResult& result = run_->Finish();
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(EndedWithDone(result)) << result.out << result.err;
    EXPECT_EQ(source_->CompletedStreams(), 1);
    EXPECT_NE(result.out.find("Disconnected from output server, reconnecting in 600 secs"),
              std::string::npos);
}

}  // namespace
