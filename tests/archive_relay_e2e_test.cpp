// Archives of a real relay: the `transcode` binary relays a paced local MP3 station to a mock
// Icecast2 destination with archiving on, and the archive lands where SaveDirectory says (the
// working directory when it is empty, a directory made for it when it is missing), or, when it
// cannot be created, the relay goes on and says so once; so it does when the disk fills up (a
// file-size limit), and the archive then ends with a whole frame.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/log_lines.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kRunTimeoutMs = 60000;

struct ArchiveCase {
    const char* name;
    const char* saveDirectory;  // relative to the run's working directory, a temporary folder
    const char* archiveFolder;  // where the archive is expected; nullptr: nowhere
    double seconds;             // of the relay
};

void PrintTo(const ArchiveCase& test, std::ostream* out) {
    *out << test.name;
}

std::vector<std::string> Mp3FilesIn(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* listing = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".mp3") names.push_back(name);
        }
        closedir(listing);
    }
    return names;
}

std::size_t LinesWith(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (const std::string& line : SplitLines(text)) count += line.find(part) != std::string::npos;
    return count;
}

Mp3Format ToneOf(double seconds) {
    Mp3Format format;
    format.seconds = seconds;
    return format;
}

PacedSourceOptions PacedAsBroadcast(const Mp3Format& format) {
    PacedSourceOptions options;
    options.metaInterval = 0;
    options.bytesPerSecond = Mp3BytesPerSecond(format);
    return options;
}

// A paced MP3 station, a mock Icecast2 destination that takes its relay, and in a temporary
// folder the configuration station.cfg of a run that relays the one to the other, archiving into
// SaveDirectory and logging Errors to station.log.
struct ArchivingRelay {
    ArchivingRelay(double seconds, const std::string& saveDirectory)
        : format(ToneOf(seconds)), station(MakeMp3Tone(format), PacedAsBroadcast(format)) {
        destination.SetReply("HTTP/1.0 200 OK\r\n\r\n");
        StationConfig::LoopbackRelay(station.url(), destination.port())
            .Set("ServerDescription", "Relay")
            .Set("SaveDirectoryFlag", 1)
            .Set("SaveDirectory", saveDirectory)
            .Set("LogLevel", 1)
            .Set("LogFile", "station.log")
            .Write(directory.file("station.cfg"));
    }
    bool ready() const { return station.listening() && destination.listening(); }

    const Mp3Format format;
    PacedSource station;
    MockServer destination;
    TempDir directory;
};

class ArchiveRelay : public testing::TestWithParam<ArchiveCase> {};

TEST_P(ArchiveRelay, KeepsTheStreamWhereSaveDirectorySays) {
    const ArchiveCase& test = GetParam();
    ArchivingRelay relay(test.seconds, test.saveDirectory);
    ASSERT_TRUE(relay.ready());
    const Mp3Format& format = relay.format;
    MockServer& destination = relay.destination;
    const TempDir& directory = relay.directory;
    WriteWholeFile(directory.file("plain"), "a regular file\n");
    const ChildResult run =
        RunProgram({TRANSCODE_BINARY, "-c", "station.cfg", "-n"}, directory.path(), kRunTimeoutMs);
    ASSERT_TRUE(run.exited) << run.err;
    EXPECT_EQ(run.exitStatus, 1);
    ASSERT_EQ(destination.ConnectionCount(), 1u);
    const std::string sent = destination.Received(0);
    // Most of the station reached the destination, archive or not.
    const double stationBytes = test.seconds * Mp3BytesPerSecond(format);
    EXPECT_GT(static_cast<double>(sent.size()), 0.8 * stationBytes);

    const std::string log = ReadWholeFile(directory.file("station.log"));
    if (test.archiveFolder != nullptr) {
        const std::string folder = directory.file(test.archiveFolder);
        const std::vector<std::string> archives = Mp3FilesIn(folder);
        ASSERT_EQ(archives.size(), 1u) << log;
        // The archive is the stream exactly as sent after the login.
        const std::string archive = ReadWholeFile(folder + "/" + archives[0]);
        EXPECT_GT(static_cast<double>(archive.size()), 0.8 * stationBytes);
        ASSERT_LE(archive.size(), sent.size());
        EXPECT_EQ(sent.substr(sent.size() - archive.size()), archive);
        EXPECT_EQ(LinesWith(log, "Cannot open"), 0u) << log;
    } else {
        // One line for the connection, however many sends failed to reach the archive.
        const std::string error = "Cannot open " + std::string(test.saveDirectory) + "/Relay_";
        EXPECT_EQ(LinesWith(log, error), 1u) << log;
        EXPECT_EQ(LinesWith(run.err, "transcode: " + error), 1u) << run.err;
    }
    EXPECT_TRUE(Mp3FilesIn(directory.path() + "/plain").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Directories, ArchiveRelay,
    testing::Values(ArchiveCase{"Empty", "", ".", 2.0},
                    ArchiveCase{"Missing", "archive/station", "archive/station", 2.0},
                    ArchiveCase{"NotCreatable", "plain/archive", nullptr, 10.0}),
    [](const testing::TestParamInfo<ArchiveCase>& info) { return info.param.name; });

// The run cannot write more than a few seconds of the station to any file: the archive's writes
// fail part of the way through, as on a full disk.
TEST(ArchiveRelayOnAFullDisk, GoesOnAndKeepsWholeFrames) {
    constexpr rlim_t kFileSizeLimit = 40000;
    ArchivingRelay relay(6.0, "archive");
    ASSERT_TRUE(relay.ready());
    const Mp3Format& format = relay.format;
    MockServer& destination = relay.destination;
    const TempDir& directory = relay.directory;

    // The child leaves SIGXFSZ at its default: the program itself must keep the first write past
    // the limit from ending it.
    const rlimit limit{kFileSizeLimit, kFileSizeLimit};
    ChildStart start({TRANSCODE_BINARY, "-c", "station.cfg", "-n"}, directory.path());
    start.beforeExec = [&] {
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    };
    ChildProcess child(start);
    const ChildResult& run = child.Wait(kRunTimeoutMs);
    ASSERT_TRUE(run.exited) << "signal " << run.signalNumber << "\n" << run.err;
    EXPECT_EQ(run.exitStatus, 1);

    // The whole station reached the destination, well past the point where the archive stopped.
    ASSERT_EQ(destination.ConnectionCount(), 1u);
    const std::string sent = destination.Received(0);
    EXPECT_GT(static_cast<double>(sent.size()), 0.8 * format.seconds * Mp3BytesPerSecond(format));
    const std::vector<std::string> archives = Mp3FilesIn(directory.file("archive"));
    ASSERT_EQ(archives.size(), 1u);
    const std::string path = "archive/" + archives[0];
    const std::string archive = ReadWholeFile(directory.file(path));
    EXPECT_LE(archive.size(), kFileSizeLimit);
    ASSERT_GT(archive.size(), kFileSizeLimit / 2);
    // The stream as sent after the login, up to a frame's end.
    const std::size_t loginBytes = sent.find("\xff\xfb");
    ASSERT_NE(loginBytes, std::string::npos);
    EXPECT_EQ(archive, sent.substr(loginBytes, archive.size()));
    const std::vector<std::size_t> frames = Mp3FrameOffsets(sent.substr(loginBytes));
    EXPECT_NE(std::find(frames.begin(), frames.end(), archive.size()), frames.end())
        << archive.size() << " bytes end in the middle of a frame";

    // One Error, naming the file and the reason, in the log and on standard error.
    const std::string error = "Cannot write the archive " + path + ": File too large";
    EXPECT_EQ(LinesWith(run.err, "transcode: " + error), 1u) << run.err;
    EXPECT_EQ(LinesWith(ReadWholeFile(directory.file("station.log")), error), 1u);
}

}  // namespace
