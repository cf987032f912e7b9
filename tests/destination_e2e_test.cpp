// The `transcode` program when its destination goes wrong, end to end: a real Icecast2 server
// that drops the source in the middle of a long station (the run ends as on a stop request, with
// its archive), mock servers that never answer the login or stop reading the stream (a SIGTERM
// still ends the run at once), and a refused or unreachable server under "-n" (the reason is in
// the log and on standard error).
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/audio_check.h"
#include "tests/support/background_run.h"
#include "tests/support/child_process.h"
#include "tests/support/icecast_server.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using namespace std::chrono_literals;
constexpr int kRunTimeoutMs = 90000;
constexpr const char* kConfigFile = "transcode.conf";
// A station of a few seconds, sent over and over: minutes in all.
constexpr int kStationLoops = 40;

StationConfig DestinationSettings(const std::string& sourceUrl, uint16_t port,
                                  const std::string& password, const std::string& encode) {
    return StationConfig::LoopbackRelay(sourceUrl, port, password)
        .SetOutput(encode)
        .Set("OggQuality", 2)
        .Set("LameQuality", 7)
        .Set("AutomaticReconnect", 0);
}

// ---- a destination that drops the source: the run ends ----

struct LostCase {
    const char* name;
    bool oggSource;  // the output is Ogg Vorbis too, MP3 otherwise
};

void PrintTo(const LostCase& c, std::ostream* out) {
    *out << c.name;
}

class LostDestinationTest : public ::testing::TestWithParam<LostCase> {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ICECAST();
        curl_global_init(CURL_GLOBAL_DEFAULT);
    }

    static std::unique_ptr<PacedSource> Station(bool ogg) {
        PacedSourceOptions options;
        options.loopCount = kStationLoops;
        if (ogg) {
            OggLinkSpec song;
            song.frameCount = 5 * 44100;
            song.comments = {"ARTIST=Long", "TITLE=Station"};
            const std::string audio = MakeOggVorbis({song});
            options.contentType = "application/ogg";
            options.metaInterval = 0;
            options.bytesPerSecond = audio.size() / 5.0;
            options.chunkBytes = 1024;
            return std::make_unique<PacedSource>(audio, options);
        }
        const Mp3Format format{44100, 2, 5.0, 440.0};
        options.metaInterval = 4000;
        options.bytesPerSecond = Mp3BytesPerSecond(format);
        options.titles = {{0, "Long - Station"}};
        return std::make_unique<PacedSource>(MakeMp3Tone(format), options);
    }

    TempDir dir_;
};

// With AutomaticReconnect 0 nothing would reach a listener any more: after "Was disconnected
// from server" the run ends within seconds, as a stop request ends it, instead of reading the
// station for as long as it plays.
TEST_P(LostDestinationTest, RunEndsWithDoneAndACompleteArchive) {
    const bool ogg = GetParam().oggSource;
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    std::unique_ptr<PacedSource> station = Station(ogg);
    ASSERT_TRUE(station->listening());
    const std::string archives = dir_.file("archives");
    std::filesystem::create_directory(archives);
    StationConfig settings = DestinationSettings(station->url(), server.port(),
                                                 server.sourcePassword(), ogg ? "OGG" : "LAME");
    settings.Set("SaveDirectory", archives);
    settings.Set("SaveDirectoryFlag", "1");
    settings.Set("LogFile", dir_.file("transcode.log"));
    settings.Write(dir_.file(kConfigFile));

    BackgroundTranscode run(TRANSCODE_BINARY, dir_.path(), kConfigFile, kRunTimeoutMs);
    ASSERT_TRUE(server.WaitForMount("/live", 30000)) << run.Finish().out;
    std::this_thread::sleep_for(3s);  // a few seconds of the station relayed
    server.HttpGet("/admin/killsource?mount=/live", /*asAdmin=*/true);
    const auto dropped = std::chrono::steady_clock::now();
    const ChildResult& result = run.Finish();
    const auto took = std::chrono::steady_clock::now() - dropped;

    EXPECT_TRUE(EndedWithDone(result)) << Shown(result);
    EXPECT_LT(took, 10s) << "the run went on after the destination was lost";
    EXPECT_EQ(station->CompletedStreams(), 0);
    EXPECT_NE(result.out.find("(Was disconnected from server)"), std::string::npos)
        << Shown(result);
    EXPECT_NE(result.err.find("transcode: Was disconnected from server 127.0.0.1:"),
              std::string::npos)
        << Shown(result);

    // One archive, closed whole: every Ogg page complete, or MP3 frames that decode.
    const std::vector<std::string> files = FilesIn(archives);
    ASSERT_EQ(files.size(), 1u);
    const std::string archive = ReadWholeFile(files[0]);
    std::size_t frames = 0;
    if (ogg) {
        const std::vector<OggPageInfo> pages = ParseOggPages(archive);
        ASSERT_FALSE(pages.empty());
        EXPECT_EQ(pages.back().offset + pages.back().byteCount, archive.size());
        for (const OggLink& link : DecodeOgg(archive)) frames += link.audio.frameCount();
    } else {
        frames = DecodeMp3(archive).frameCount();
    }
    EXPECT_GT(frames, 44100u) << archive.size() << " bytes archived";
}

INSTANTIATE_TEST_SUITE_P(Sources, LostDestinationTest,
                         ::testing::Values(LostCase{"Mp3", false}, LostCase{"OggVorbis", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a stop while the destination keeps the run waiting ----

// Bytes the kernel holds unsent on the connection from a local port to 127.0.0.1:port (the
// Send-Q of netstat); -1 when there is no such connection.
long UnsentBytes(uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column titles
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    long found = -1;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        // The client's side: the server's port is the remote one.
        if (remote != wanted || state != "01") continue;
        found = std::stol(queues.substr(0, queues.find(':')), nullptr, 16);
    }
    return found;
}

class StopWhileWaitingTest : public ::testing::Test {
  protected:
    void SetUp() override { curl_global_init(CURL_GLOBAL_DEFAULT); }

    // Sends SIGTERM to the run and returns how long it took to end.
    static std::chrono::steady_clock::duration Terminate(BackgroundTranscode& run,
                                                         const ChildResult** result) {
        const pid_t pid = run.Pid();
        EXPECT_GT(pid, 0);
        const auto signalled = std::chrono::steady_clock::now();
        if (pid > 0) kill(pid, SIGTERM);
        *result = &run.Finish();
        return std::chrono::steady_clock::now() - signalled;
    }

    TempDir dir_;
};

TEST_F(StopWhileWaitingTest, LoginWaitingForAReplyThatNeverComes) {
    MockServer destination;  // takes the login and says nothing
    ASSERT_TRUE(destination.listening());
    StationConfig settings =
        DestinationSettings("http://127.0.0.1:1/never", destination.port(), "hackme", "LAME");
    settings.Set("LogFile", dir_.file("transcode.log"));
    settings.Write(dir_.file(kConfigFile));

    BackgroundTranscode run(TRANSCODE_BINARY, dir_.path(), kConfigFile, kRunTimeoutMs);
    ASSERT_TRUE(destination.WaitForBytes(0, 20, 15000));
    std::this_thread::sleep_for(500ms);
    const ChildResult* result = nullptr;
    const auto took = Terminate(run, &result);

    EXPECT_TRUE(result->exited) << Shown(*result);
    EXPECT_EQ(result->exitStatus, 0);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(result->out.find("Password Failed"), std::string::npos) << Shown(*result);
    // A stop is no failure: not a single Error line.
    EXPECT_EQ(result->err, "") << Shown(*result);
}

TEST_F(StopWhileWaitingTest, SendBlockedByADestinationThatDoesNotRead) {
    // An unpaced station of five minutes: the relay produces far faster than real time, more
    // than the socket buffers (some megabytes) take, so they fill within moments once the
    // destination stops reading.
    const Mp3Format format{44100, 2, 30.0, 440.0};
    PacedSourceOptions options;
    options.bytesPerSecond = 0;
    options.loopCount = 10;
    options.metaInterval = 8192;
    PacedSource station(MakeMp3Tone(format), options);
    ASSERT_TRUE(station.listening());
    MockServer destination;
    destination.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    destination.SetStopReadingAfterReply(true);
    StationConfig settings =
        DestinationSettings(station.url(), destination.port(), "hackme", "LAME");
    settings.Set("BitrateNominal", "320");
    settings.Set("OutputPacing", "0");
    settings.Set("LogFile", dir_.file("transcode.log"));
    settings.Write(dir_.file(kConfigFile));

    BackgroundTranscode run(TRANSCODE_BINARY, dir_.path(), kConfigFile, kRunTimeoutMs);
    ASSERT_TRUE(destination.WaitForConnections(1, 15000));
    // Blocked: bytes wait unsent and their count stands still for a second although the relay
    // would add more every few milliseconds.
    long unsent = -1;
    int stillLooks = 0;
    const bool blocked = WaitUntil(
        [&] {
            const long now = UnsentBytes(destination.port());
            stillLooks = now > 0 && now == unsent ? stillLooks + 1 : 0;
            unsent = now;
            return stillLooks == 10;
        },
        15s, 100ms);
    ASSERT_TRUE(blocked) << "the sends never blocked; " << unsent << " bytes unsent\n"
                         << Shown(run.Finish());
    const ChildResult* result = nullptr;
    const auto took = Terminate(run, &result);

    EXPECT_TRUE(result->exited) << Shown(*result);
    EXPECT_EQ(result->exitStatus, 0);
    EXPECT_LT(took, 2s);
    EXPECT_NE(result->out.find("Main Status : (Done)"), std::string::npos) << Shown(*result);
}

// ---- "-n" without a LogLevel key: the failures still leave their reason ----

class QuietFailureTest : public ::testing::Test {
  protected:
    ChildResult RunQuietly(const StationConfig& settings) {
        settings.Write(dir_.file(kConfigFile));
        return RunProgram({TRANSCODE_BINARY, "-n", "-c", dir_.file(kConfigFile)}, dir_.path(),
                          30000);
    }
    std::string Log() const { return ReadWholeFile(dir_.file("transcode.log")); }

    TempDir dir_;
};

TEST_F(QuietFailureTest, WrongPasswordOfARealIcecast2) {
    SKIP_WITHOUT_ICECAST();
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    StationConfig settings =
        DestinationSettings("http://127.0.0.1:1/never", server.port(), "wrong", "LAME");
    settings.Set("LogFile", dir_.file("transcode.log"));

    const ChildResult result = RunQuietly(settings);

    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    const std::string refusal = "Login refused by 127.0.0.1:" + std::to_string(server.port()) +
                                ": HTTP/1.0 401 Authentication Required (You need to "
                                "authenticate)";
    EXPECT_NE(result.err.find("transcode: " + refusal + "\n"), std::string::npos) << Shown(result);
    EXPECT_NE(Log().find("Error(libzembril:"), std::string::npos) << Log();
    EXPECT_NE(Log().find(refusal), std::string::npos) << Log();
    EXPECT_NE(Log().find("Failed Connecting To Output Stream"), std::string::npos) << Log();
}

TEST_F(QuietFailureTest, UnreachableServer) {
    uint16_t port = 0;
    {
        MockServer closed;  // its port is free again at once
        port = closed.port();
    }
    StationConfig settings =
        DestinationSettings("http://127.0.0.1:1/never", port, "hackme", "LAME");
    settings.Set("LogFile", dir_.file("transcode.log"));

    const ChildResult result = RunQuietly(settings);

    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    const std::string failure =
        "Unable to connect to socket 127.0.0.1:" + std::to_string(port) + ": Connection refused";
    EXPECT_NE(result.err.find("transcode: " + failure + "\n"), std::string::npos) << Shown(result);
    EXPECT_NE(Log().find(failure), std::string::npos) << Log();
}

}  // namespace
