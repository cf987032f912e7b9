// The real `transcode` binary started with configuration files an operator may have: what reaches
// standard error and the log, and whether the run got as far as connecting to the destination.
// The destination is a pair of mock servers on neighbouring ports (an Icecast2 login goes to the
// first, a Shoutcast one to the second), so every connection attempt is counted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/log_lines.h"
#include "tests/support/mock_server.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kRunTimeoutMs = 30000;

// Where the run got: refused before any connection, or logged in the Icecast2 or the Shoutcast way
// (the latter is what a server type that was not read correctly falls back to).
enum class Start { kRefused, kIcecast2Login, kShoutcastLogin };

enum class ConfigPath {
    kFile,       // "-c station.cfg"
    kDirectory,  // "station.cfg" is a directory: it exists but cannot be read
    kOverlong    // "-c" with 300 characters
};

struct StartCase {
    const char* name;
    // The file "station.cfg"; {port} stands for the destination's port. nullptr: no file at all.
    const char* content;
    Start start;
    // Each expected, in this order, as a whole line of standard error ("transcode: " left out).
    std::vector<std::string> errors;
    // The log each error line is expected in: the file's LogFile "station.log", which also receives
    // what was logged while the configuration was applied; nullptr when the configuration was never
    // applied, and standard error the only place.
    const char* log;
    ConfigPath path = ConfigPath::kFile;
};

void PrintTo(const StartCase& test, std::ostream* out) {
    *out << test.name;
}

// Everything a working Icecast2 relay needs; the source is a port nobody listens on, so a run
// that logs in ends right after.
const std::string kStation =
    "SourceURL=http://127.0.0.1:1/\nServer=127.0.0.1\nPort={port}\nServerPassword=hackme\n"
    "ServerType=Icecast2\nServerMountpoint=/live\nLogLevel=1\nLogFile=station.log\n";

std::string WithPort(std::string text, unsigned port) {
    for (std::size_t at; (at = text.find("{port}")) != std::string::npos;) {
        text.replace(at, 6, std::to_string(port));
    }
    return text;
}

std::string WithCrLf(const std::string& text) {
    std::string converted;
    for (const char c : text) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return converted;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

const std::string kTypoKey = Replaced(kStation, "ServerPassword=", "ServerPasword=");
const std::string kBlanksAroundEquals =
    Replaced(kStation, "ServerType=Icecast2", "ServerType = Icecast2");
const std::string kCrLf = WithCrLf(kStation);
const std::string kUnknownType = Replaced(kStation, "ServerType=Icecast2", "ServerType=Icecast3");

const StartCase kCases[] = {
    {"MissingFile",
     nullptr,
     Start::kRefused,
     {"Cannot open config file station.cfg: No such file or directory"},
     nullptr},
    {"UnreadableFile",
     nullptr,
     Start::kRefused,
     {"Cannot open config file station.cfg: Is a directory"},
     nullptr,
     ConfigPath::kDirectory},
    {"OverlongPath",
     kStation.c_str(),
     Start::kRefused,
     {"Config file path too long (300 characters, at most 254)"},
     nullptr,
     ConfigPath::kOverlong},
    {"TypoKey",
     kTypoKey.c_str(),
     Start::kIcecast2Login,
     {"Unknown key \"ServerPasword\" (did you mean \"ServerPassword\"?)"},
     "station.log"},
    {"BlanksAroundEquals",
     kBlanksAroundEquals.c_str(),
     Start::kShoutcastLogin,
     {"Unknown key \"ServerType \" (did you mean \"ServerType\"?)"},
     "station.log"},
    {"CrLfLineEndings", kCrLf.c_str(), Start::kIcecast2Login, {}, "station.log"},
    {"UnknownServerType",
     kUnknownType.c_str(),
     Start::kShoutcastLogin,
     {"ServerType \"Icecast3\" is none of Shoutcast, Icecast, Icecast2 (exact spelling)"},
     "station.log"},
};

class ConfigStart : public testing::TestWithParam<StartCase> {};

TEST_P(ConfigStart, ReportsOnStandardErrorAndInTheLog) {
    const StartCase& test = GetParam();
    auto [icecast, shoutcast] = MockServer::NeighbourPair();
    ASSERT_TRUE(icecast && shoutcast);
    icecast->SetReply("HTTP/1.0 200 OK\r\n\r\n");
    shoutcast->SetReply("OK2\r\n");
    TempDir directory;
    std::string configPath = "station.cfg";
    if (test.path == ConfigPath::kOverlong)
        configPath = std::string(300 - configPath.size(), 'd') + configPath;
    if (test.content != nullptr) {
        WriteWholeFile(directory.file("station.cfg"), WithPort(test.content, icecast->port()));
    }
    if (test.path == ConfigPath::kDirectory) {
        ASSERT_EQ(mkdir(directory.file("station.cfg").c_str(), 0755), 0);
    }

    const ChildResult run =
        RunProgram({TRANSCODE_BINARY, "-c", configPath}, directory.path(), kRunTimeoutMs);
    ASSERT_TRUE(run.exited) << run.err;
    EXPECT_EQ(run.exitStatus, 1);

    // A run that goes on reports more (the source that is not there); of its lines, those about
    // the configuration must be exactly the expected ones.
    std::vector<std::string> shown;
    for (const std::string& line : SplitLines(run.err)) {
        if (test.start == Start::kRefused || line.find("key") != std::string::npos ||
            line.find("ServerType") != std::string::npos ||
            line.find("config file") != std::string::npos) {
            shown.push_back(line);
        }
    }
    std::vector<std::string> expected;
    for (const std::string& error : test.errors) expected.push_back("transcode: " + error);
    EXPECT_EQ(shown, expected) << run.err;
    if (test.log != nullptr) {
        const std::string log = ReadWholeFile(directory.file(test.log));
        for (const std::string& error : test.errors) {
            EXPECT_NE(log.find("): " + error + "\n"), std::string::npos)
                << test.log << ":\n" << log;
        }
    }
    // Nothing but the configuration and the log it names: no log with a name of its own.
    std::vector<std::string> expectedFiles;
    if (test.content != nullptr) expectedFiles.push_back("station.cfg");
    if (test.log != nullptr) expectedFiles.push_back(test.log);
    EXPECT_EQ(FileNamesIn(directory.path()), expectedFiles);

    if (test.start == Start::kRefused) {
        // Not a status line: the configuration was never applied, and no "Done".
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(ReadWholeFile(directory.file("station.log")), "");
    }
    EXPECT_EQ(icecast->ConnectionCount(), test.start == Start::kIcecast2Login ? 1u : 0u);
    EXPECT_EQ(shoutcast->ConnectionCount(), test.start == Start::kShoutcastLogin ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigStart, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<StartCase>& info) {
                             return info.param.name;
                         });

}  // namespace
