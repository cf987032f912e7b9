// MP3 stations relayed end to end: the real `transcode` binary reads a paced local station with
// ICY titles and sends to a real Icecast2 server on loopback; a listener on the mount gets audio
// at the configured rate and channels, and every title of the station reaches the server as
// written; with Ogg output, quick title changes give a chain that Ogg tools accept.
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/text_encoding.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"
#include "tests/support/icecast_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/stream_listener.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using Texts = std::vector<std::string>;

constexpr int kRunTimeoutMs = 40000;
constexpr const char* kOgginfo = "/usr/bin/ogginfo";

const Texts kTitles = {"Artist One - Song A", "Artist Two - Song B", "Artist Three - Song C",
                       "Artist Four - Song D"};

// A station of `seconds` of tone whose title changes every `secondsEach`.
PacedSourceOptions StationOptions(const Mp3Format& format, const std::string& statusLine,
                                  double secondsEach = 1.5) {
    PacedSourceOptions options;
    options.statusLine = statusLine;
    options.metaInterval = 4000;
    options.bytesPerSecond = Mp3BytesPerSecond(format);
    options.titles = TitlesEvery(secondsEach, options.bytesPerSecond, kTitles);
    return options;
}

class Mp3RelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ICECAST();
        curl_global_init(CURL_GLOBAL_DEFAULT);
        server_ = std::make_unique<IcecastServer>();
        ASSERT_TRUE(server_->started()) << server_->failure();
    }

    StationConfig BaseSettings(const std::string& sourceUrl, const std::string& mount) const {
        return StationConfig::LoopbackRelay(sourceUrl, server_->port(), server_->sourcePassword())
            .Set("ServerMountpoint", mount)
            .Set("ServerDescription", "Relay Test")
            .SetOutput("LAME")
            .Set("LameQuality", 7)
            .Set("OggQuality", 2)
            .Set("LogLevel", 2)
            .Set("LogFile", dir_.file("transcode.log"));
    }

    ChildResult RunTranscode(const StationConfig& settings) {
        return RunProgram({TRANSCODE_BINARY, "-c", settings.Write(dir_.file("relay.cfg"))},
                          dir_.path(), kRunTimeoutMs);
    }

    std::string MountUrl(const std::string& mount) const {
        return "http://127.0.0.1:" + std::to_string(server_->port()) + mount;
    }

    TempDir dir_;
    std::unique_ptr<IcecastServer> server_;
};

struct RelayOutcome {
    ChildResult run;
    std::string received;
    Texts statusTitles;
};

// Runs transcode while a listener (from the moment the mount exists) and a title watcher follow
// the mount.
RelayOutcome Relay(const std::function<ChildResult()>& run, uint16_t port, const std::string& mount,
                   const IcecastServer& server) {
    RelayOutcome outcome;
    TitleWatcher watcher(port, mount, kRunTimeoutMs);
    std::unique_ptr<StreamListener> listener;
    std::thread listen([&] {
        if (server.WaitForMount(mount, 15000)) {
            listener = std::make_unique<StreamListener>(
                "http://127.0.0.1:" + std::to_string(port) + mount, kRunTimeoutMs);
        }
    });
    outcome.run = run();
    listen.join();
    outcome.statusTitles = watcher.Stop();
    if (listener) outcome.received = listener->Finish();
    return outcome;
}

std::string Expectations(const ChildResult& run) {
    return "stdout:\n" + run.out + "\nstderr:\n" + run.err;
}

TEST_F(Mp3RelayTest, Mp3ToMp3CarriesAudioAndEveryTitle) {
    const Mp3Format format{44100, 2, 6.5, 440.0};
    PacedSource station(MakeMp3Tone(format), StationOptions(format, "HTTP/1.0 200 OK"));
    ASSERT_TRUE(station.listening());
    const StationConfig settings = BaseSettings(station.url(), "/live");
    const RelayOutcome outcome =
        Relay([&] { return RunTranscode(settings); }, server_->port(), "/live", *server_);

    EXPECT_TRUE(outcome.run.exited);
    EXPECT_EQ(outcome.run.exitStatus, 1);
    EXPECT_NE(outcome.run.out.find("Main Status : (Transcoding......)"), std::string::npos)
        << Expectations(outcome.run);
    EXPECT_NE(outcome.run.out.find("Input Server Type : (Icecast/Icecast2)"), std::string::npos);
    EXPECT_NE(outcome.run.out.find("Input Bitrate : (44100Hz/Stereo MP3)"), std::string::npos);
    EXPECT_NE(outcome.run.out.find("Main Status : (Done)"), std::string::npos);
    ASSERT_FALSE(station.Requests().empty());
    EXPECT_NE(station.Requests()[0].find("Icy-MetaData:1\r\n"), std::string::npos);
    EXPECT_NE(station.Requests()[0].find("User-Agent: Winamp/2.x\r\n"), std::string::npos);

    EXPECT_EQ(outcome.statusTitles, kTitles);
    const DecodedAudio audio = DecodeMp3(outcome.received);
    EXPECT_EQ(audio.sampleRate, 44100);
    EXPECT_EQ(audio.channelCount, 2);
    EXPECT_GT(audio.frameCount(), 5u * 44100u) << outcome.received.size() << " bytes received";
}

// Titles 3 s apart: longer than the shortest chained stream (2 s), so each gets its own.
TEST_F(Mp3RelayTest, Mp3ToOggVorbisChainsAStreamPerTitle) {
    const Mp3Format format{44100, 2, 12.5, 440.0};
    PacedSource station(MakeMp3Tone(format), StationOptions(format, "HTTP/1.0 200 OK", 3.0));
    StationConfig settings = BaseSettings(station.url(), "/live.ogg");
    settings.Set("Encode", "OGG");
    const RelayOutcome outcome =
        Relay([&] { return RunTranscode(settings); }, server_->port(), "/live.ogg", *server_);

    EXPECT_EQ(outcome.run.exitStatus, 1);
    EXPECT_NE(outcome.run.out.find("Main Status : (Done)"), std::string::npos)
        << Expectations(outcome.run);
    const std::vector<OggLink> links = DecodeOgg(outcome.received);
    ASSERT_FALSE(links.empty()) << outcome.received.size() << " bytes received";
    Texts titles;
    std::size_t frames = 0;
    for (const OggLink& link : links) {
        EXPECT_EQ(link.audio.sampleRate, 44100);
        EXPECT_EQ(link.audio.channelCount, 2);
        frames += link.audio.frameCount();
        const std::string full = link.Comment("ARTIST") + " - " + link.Comment("TITLE");
        if (titles.empty() || titles.back() != full) titles.push_back(full);
    }
    // Every title, in order; a stream made before the first title arrived may come first.
    if (!titles.empty() && titles.front() == " - ") titles.erase(titles.begin());
    if (!titles.empty() && titles.front() == "Relay Test - ") titles.erase(titles.begin());
    EXPECT_EQ(titles, kTitles);
    EXPECT_GT(frames, 5u * 44100u);
}

TEST_F(Mp3RelayTest, Mono48kSourceBecomesStereo44kWithTheToneKept) {
    const Mp3Format format{48000, 1, 6.5, 1000.0, 0.5f, 64};
    PacedSourceOptions options = StationOptions(format, "ICY 200 OK");  // Shoutcast-style answer
    PacedSource station(MakeMp3Tone(format), options);
    const StationConfig settings = BaseSettings(station.url(), "/resampled");
    const RelayOutcome outcome =
        Relay([&] { return RunTranscode(settings); }, server_->port(), "/resampled", *server_);

    EXPECT_EQ(outcome.run.exitStatus, 1);
    // "ICY 200 OK" comes through the header collection of the body.
    EXPECT_NE(outcome.run.out.find("Input Server Type : (Shoutcast)"), std::string::npos)
        << Expectations(outcome.run);
    EXPECT_NE(outcome.run.out.find("Input Bitrate : (48000Hz/Mono MP3)"), std::string::npos);
    const DecodedAudio audio = DecodeMp3(outcome.received);
    ASSERT_EQ(audio.sampleRate, 44100);
    ASSERT_EQ(audio.channelCount, 2);
    ASSERT_GT(audio.frameCount(), 3u * 44100u);
    for (int channel = 0; channel < 2; ++channel) {
        std::vector<float> samples = audio.Channel(channel);
        samples.resize(samples.size() - 4410);  // leave out the encoders' padding at the end
        EXPECT_NEAR(EstimateToneHz(samples, 44100, 4410), 1000.0, 2.0) << "channel " << channel;
    }
    EXPECT_EQ(outcome.statusTitles, kTitles);
}

// ---- titles as listeners get them ----

struct StationTitle {
    std::string sent;      // in the station's metadata
    std::string expected;  // as the server shows it, or as a Vorbis comment
};

const std::vector<StationTitle> kCharsetTitles = {
    {"Mot\xC3\xB6rhead \xE2\x80\x93 Ace of Spades", "Mot\xC3\xB6rhead \xE2\x80\x93 Ace of Spades"},
    {"\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE \xE2\x80\x93 "
     "\xD0\x9A\xD1\x83\xD0\xBA\xD1\x83\xD1\x88\xD0\xBA"
     "\xD0\xB0",
     "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE \xE2\x80\x93 "
     "\xD0\x9A\xD1\x83\xD0\xBA\xD1\x83\xD1\x88\xD0\xBA"
     "\xD0\xB0"},
    {"\xE5\x9D\x82\xE6\x9C\xAC\xE4\xB9\x9D \xE2\x80\x93 \xE4\xB8\x8A\xE3\x82\x92\xE5\x90\x91\xE3"
     "\x81\x84\xE3\x81\xA6",
     "\xE5\x9D\x82\xE6\x9C\xAC\xE4\xB9\x9D \xE2\x80\x93 \xE4\xB8\x8A\xE3\x82\x92\xE5\x90\x91\xE3"
     "\x81\x84\xE3\x81\xA6"},
    // Latin-1 bytes, as older stations send them.
    {"Mot\xF6rhead", "Mot\xC3\xB6rhead"},
    // Control bytes are left out, a run of them as one blank.
    {"Line\r\nBreak\x1B[0m\x07", "Line Break [0m "},
};

// The WARNING and ERROR lines of an ogginfo report. ogginfo (vorbis-tools 1.4.2) reports a
// "sequence number gap" at the first page of the 19th stream of any chain, the stream's page 0,
// against a page number it never set (the same happens to a chain of oggenc files joined with
// cat); the first page of a stream is page 0, so a gap at page 0 is no gap and is not counted.
Texts OgginfoComplaints(const std::string& report) {
    Texts complaints;
    std::size_t start = 0;
    while (start < report.size()) {
        std::size_t end = report.find('\n', start);
        if (end == std::string::npos) end = report.size();
        const std::string line = report.substr(start, end - start);
        start = end + 1;
        if (line.find("WARNING") == std::string::npos && line.find("ERROR") == std::string::npos) {
            continue;
        }
        if (line.find("sequence number gap") != std::string::npos &&
            line.find("Got page 0 when expecting") != std::string::npos) {
            continue;
        }
        complaints.push_back(line);
    }
    return complaints;
}

// The station's metadata names an advert's picture before the title, as some stations do.
PacedSourceOptions TitledStation(const Mp3Format& format, const std::vector<std::string>& titles,
                                 const std::vector<double>& startSeconds) {
    PacedSourceOptions options;
    options.metaInterval = 1600;  // a tenth of a second at 128 kbit/s
    options.bytesPerSecond = Mp3BytesPerSecond(format);
    options.fieldsBeforeTitle = "StreamUrl='http://ads.example/x.jpg';";
    for (std::size_t i = 0; i < titles.size(); ++i) {
        options.titles.push_back(
            {static_cast<std::size_t>(startSeconds[i] * Mp3BytesPerSecond(format)), titles[i]});
    }
    return options;
}

TEST_F(Mp3RelayTest, TitlesInAnyCharsetReachTheServerAsWritten) {
    std::vector<std::string> sent;
    std::vector<double> starts;
    Texts expected;
    for (const StationTitle& title : kCharsetTitles) {
        starts.push_back(1.5 * static_cast<double>(sent.size()));
        sent.push_back(title.sent);
        expected.push_back(title.expected);
    }
    const Mp3Format format{44100, 2, 1.5 * static_cast<double>(sent.size()) + 1.0, 440.0};
    PacedSource station(MakeMp3Tone(format), TitledStation(format, sent, starts));
    ASSERT_TRUE(station.listening());
    const StationConfig settings = BaseSettings(station.url(), "/titles");
    const RelayOutcome outcome =
        Relay([&] { return RunTranscode(settings); }, server_->port(), "/titles", *server_);

    EXPECT_NE(outcome.run.out.find("Main Status : (Done)"), std::string::npos)
        << Expectations(outcome.run);
    EXPECT_EQ(outcome.statusTitles, expected);
}

// Ogg output: titles come in bursts (three within a second) between titles that last 3 s, some in
// UTF-8, some in Windows-1252. A stream carries at least 2 s, so a burst leaves only its latest
// title; the lasting titles each get a stream; every stream carries audio; the archive of the run
// is a chain that Ogg tools read without a complaint.
TEST_F(Mp3RelayTest, QuickTitleChangesGiveAChainOgginfoAccepts) {
    std::vector<std::string> sent;
    std::vector<double> starts;
    Texts expected;
    double start = 0.0;
    Texts lasting;
    for (int song = 0; song < 12; ++song) {
        std::string title = "Artist " + std::to_string(song) + " - Song " + std::to_string(song);
        std::string comment = title;
        if (song == 5) {
            title = comment = "Mot\xC3\xB6rhead - Ace of Spades \xE2\x80\x93 Live";
        } else if (song == 9) {
            title = "Mot\xF6rhead - Overkill \x96 Live";
            comment = "Mot\xC3\xB6rhead - Overkill \xE2\x80\x93 Live";
        }
        sent.push_back(title);
        expected.push_back(comment);
        starts.push_back(start);
        const bool lasts = song == 5 || song == 9 || song % 4 == 3;
        if (lasts) lasting.push_back(comment);
        start += lasts ? 3.0 : 0.3;
    }
    const Mp3Format format{44100, 2, start + 1.0, 440.0};
    PacedSource station(MakeMp3Tone(format), TitledStation(format, sent, starts));
    ASSERT_TRUE(station.listening());
    const std::string archives = dir_.file("archives");
    std::filesystem::create_directory(archives);
    StationConfig settings = BaseSettings(station.url(), "/quick.ogg");
    settings.Set("Encode", "OGG");
    settings.Set("SaveDirectory", archives);
    settings.Set("SaveDirectoryFlag", "1");
    const ChildResult run = RunTranscode(settings);
    EXPECT_NE(run.out.find("Main Status : (Done)"), std::string::npos) << Expectations(run);

    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(archives)) {
        files.push_back(entry.path().string());
    }
    ASSERT_EQ(files.size(), 1u);
    const std::string archive = ReadWholeFile(files[0]);

    std::vector<long> serials;
    for (const OggPageInfo& page : ParseOggPages(archive)) {
        if (!page.beginsStream) continue;
        EXPECT_EQ(std::count(serials.begin(), serials.end(), page.serial), 0)
            << "serial " << page.serial << " again as stream " << serials.size();
        serials.push_back(page.serial);
    }
    const std::vector<OggLink> links = DecodeOgg(archive);
    ASSERT_EQ(links.size(), serials.size());
    Texts titles;
    for (std::size_t i = 0; i < links.size(); ++i) {
        EXPECT_GT(links[i].audio.frameCount(), 0u) << "stream " << i;
        for (const std::string& comment : links[i].comments) {
            EXPECT_TRUE(IsValidUtf8(comment)) << "stream " << i << ": " << comment;
        }
        const std::string full = links[i].Comment("ARTIST") + " - " + links[i].Comment("TITLE");
        if (full != " - " && full != "Relay Test - ") titles.push_back(full);
    }
    EXPECT_TRUE(IsSubsequence(titles, expected)) << ::testing::PrintToString(titles);
    EXPECT_TRUE(IsSubsequence(lasting, titles)) << ::testing::PrintToString(titles);

    if (access(kOgginfo, X_OK) != 0) GTEST_SKIP() << kOgginfo << " is not installed (vorbis-tools)";
    const ChildResult check = RunProgram({kOgginfo, files[0]}, dir_.path(), kRunTimeoutMs);
    EXPECT_EQ(OgginfoComplaints(check.out + check.err), Texts{}) << check.out;
}

// ---- stop requests ----

bool WaitForAnyTitle(const IcecastServer& server, const std::string& mount, int timeoutMs) {
    std::string title;
    return WaitUntil(
        [&] { return FindMountTitle(server.FetchStatusJson(), mount, title) && !title.empty(); },
        std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(100));
}

struct StopCase {
    const char* name;
    int signalNumber;
    double bytesPerSecond;  // of the station; a trickle stalls it
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

class StopTest : public Mp3RelayTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, SignalEndsTheRunCleanly) {
    const StopCase& c = GetParam();
    const Mp3Format format{44100, 2, 20.0};
    PacedSourceOptions options = StationOptions(format, "HTTP/1.0 200 OK");
    options.bytesPerSecond = c.bytesPerSecond;
    options.burstBytes = 48000;  // enough for the header and the first blocks
    PacedSource station(MakeMp3Tone(format), options);
    StationConfig settings = BaseSettings(station.url(), "/stopped");
    // Standard output is a file here, as under a supervisor.
    const std::string outPath = dir_.file("stdout.txt");
    ChildStart start({TRANSCODE_BINARY, "-c", settings.Write(dir_.file("relay.cfg"))}, dir_.path());
    start.outputFile = outPath;
    ChildProcess run(start);
    ASSERT_GT(run.pid(), 0);
    // Running: the station's first titles have reached the server.
    ASSERT_TRUE(WaitForAnyTitle(*server_, "/stopped", 15000))
        << ReadWholeFile(dir_.file("transcode.log"));
    // Each status line is in the file as soon as it is printed, not at exit.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return run.OutputSoFar().find("Main Status : (Transcoding......)\n") !=
                   std::string::npos;
        },
        5000))
        << run.OutputSoFar();

    const auto signalled = std::chrono::steady_clock::now();
    run.Signal(c.signalNumber);
    const ChildResult& result = run.WaitFromNow(5000);
    const auto took = std::chrono::steady_clock::now() - signalled;
    const std::string out = ReadWholeFile(outPath);
    EXPECT_TRUE(result.exited && result.exitStatus == 0) << out;
    EXPECT_NE(out.find("Main Status : (Done)"), std::string::npos) << out;
    EXPECT_LT(took, std::chrono::seconds(4)) << "the stop was not noticed";
}

const StopCase kStopCases[] = {
    {"InterruptWhileStreaming", SIGINT, 16000},
    {"TerminateWhileStreaming", SIGTERM, 16000},
    {"TerminateWhileTheSourceStalls", SIGTERM, 1},
};

INSTANTIATE_TEST_SUITE_P(Signals, StopTest, ::testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
