// Log rotation under a running relay, as logrotate does it: the log file is renamed away, then the
// real `transcode` binary gets SIGHUP. Its next lines must go to a new file at the configured
// path, the renamed file must receive nothing more, and the relay must go on to the station's end.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/background_run.h"
#include "tests/support/icecast_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

const std::vector<std::string> kTitles = {"Rotation One",  "Rotation Two",  "Rotation Three",
                                          "Rotation Four", "Rotation Five", "Rotation Six"};
constexpr const char* kMount = "/rotated";

// 9 s of tone whose title changes every 1.5 s.
PacedSourceOptions StationOptions(const Mp3Format& format) {
    PacedSourceOptions options;
    options.metaInterval = 4000;
    options.bytesPerSecond = Mp3BytesPerSecond(format);
    options.titles = TitlesEvery(1.5, options.bytesPerSecond, kTitles);
    return options;
}

bool WaitForContent(const std::string& path, int timeoutMs) {
    return WaitUntil([&] { return !ReadWholeFile(path).empty(); }, timeoutMs);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(LogRotation, AfterSighupTheNextLinesGoToANewFileAndTheRelayGoesOn) {
    SKIP_WITHOUT_ICECAST();
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    const Mp3Format format{44100, 2, 9.0, 440.0};
    PacedSource station(MakeMp3Tone(format), StationOptions(format));
    ASSERT_TRUE(station.listening());

    TempDir dir;
    // A relative LogFile, as a station under the service unit has it: it lands in the working
    // directory.
    const std::string logPath = dir.file("station.log");
    const std::string rotatedPath = dir.file("station.log.1");
    StationConfig::LoopbackRelay(station.url(), server.port(), server.sourcePassword())
        .Set("ServerMountpoint", kMount)
        .Set("LogLevel", 2)
        .Set("LogFile", "station.log")
        .Write(dir.file("relay.cfg"));
    BackgroundTranscode run(TRANSCODE_BINARY, dir.path(), dir.file("relay.cfg"), 40000);
    const pid_t pid = run.Pid();
    ASSERT_GT(pid, 0);

    std::string lastTitle;
    ASSERT_TRUE(server.WaitForTitle(kMount, kTitles[1], 15000, &lastTitle))
        << "last title: " << lastTitle << "\n"
        << ReadWholeFile(logPath);
    ASSERT_EQ(std::rename(logPath.c_str(), rotatedPath.c_str()), 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);

    ASSERT_TRUE(WaitForContent(logPath, 10000)) << "no new log file after SIGHUP";
    // The first line of the new file has been written, so the old one is closed by now.
    const std::string rotatedAtReopen = ReadWholeFile(rotatedPath);
    EXPECT_TRUE(server.WaitForTitle(kMount, kTitles.back(), 15000, &lastTitle))
        << "the relay did not go on; last title: " << lastTitle;

    const ChildResult& result = run.Finish();
    EXPECT_TRUE(result.exited) << "ended by signal " << result.signalNumber;
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(ReadWholeFile(rotatedPath), rotatedAtReopen) << "written after the reopen";
    EXPECT_TRUE(Contains(rotatedAtReopen, "Main Status : (Transcoding......)")) << rotatedAtReopen;
    const std::string newLog = ReadWholeFile(logPath);
    EXPECT_TRUE(Contains(newLog, "Metadata : (" + kTitles.back() + ")")) << newLog;
    EXPECT_TRUE(Contains(newLog, "Main Status : (Done)")) << newLog;
}

}  // namespace
