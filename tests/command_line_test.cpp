// The real `transcode` binary run as a child process: options, usage text, exit status, "-C",
// and which log file receives which lines before and after the configuration is applied.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/version.h"
#include "tests/support/child_process.h"
#include "tests/support/log_lines.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kUsage =
    "usage: transcode -c configfile [ -C -e errorlevel -l logfile -n ]\n"
    "where :\n"
    "\t-e = error logging level 1=ERROR, 2=INFO, 3=DEBUG\n"
    "\t-c = config file\n"
    "\t-C = create an example config file\n"
    "\t-l = log file\n"
    "\t-n = do not show console messages\n"
    "\n"
    "NOTE: to create a config file run : transcode -C -c myconfig.cfg\n";

// What loading a configuration that holds only defaults shows on the console.
const std::string kDefaultStatusLines =
    "Input Stream URL : (http://localhost/)\n"
    "Output Stream Type : (MP3)\n"
    "Output Server Type : (Shoutcast)\n"
    "Output Bitrate : (128kbps/44100Hz/Stereo)\n"
    "Output status : (Disconnected)\n";

ChildResult RunTranscode(const TempDir& directory, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TRANSCODE_BINARY);
    return RunProgram(arguments, directory.path());
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// The messages of a log file, without the time stamps and with "N" for the line numbers.
std::vector<std::string> LogMessages(const std::string& path) {
    return LogMessagesOf(ReadWholeFile(path));
}

TEST(CommandLine, WithoutArgumentsAsksForTheConfigFile) {
    TempDir directory;
    const ChildResult result = RunTranscode(directory, {});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "Config file required\n" + kUsage);
    EXPECT_EQ(result.err, "");
}

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* diagnostic;  // expected in getopt's message on standard error, "" for none
};

void PrintTo(const UsageCase& test, std::ostream* out) {
    *out << test.name;
}

class UsageExit : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageExit, PrintsTheUsageTextAndExitsWithStatusOne) {
    TempDir directory;
    const UsageCase& usage = GetParam();
    const ChildResult result = RunTranscode(directory, usage.arguments);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, kUsage);
    if (usage.diagnostic[0] == '\0') {
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_NE(result.err.find(usage.diagnostic), std::string::npos) << result.err;
    }
    // The configuration is never touched on these paths.
    EXPECT_FALSE(Exists(directory.file("x.cfg")));
}

INSTANTIATE_TEST_SUITE_P(
    Options, UsageExit,
    testing::Values(
        UsageCase{"Help", {"-h"}, ""}, UsageCase{"D", {"-d"}, ""},
        UsageCase{"HelpWithConfig", {"-C", "-c", "x.cfg", "-h"}, ""},
        UsageCase{"DBeforeConfig", {"-d", "-C", "-c", "x.cfg"}, ""},
        UsageCase{"UnknownOption", {"-C", "-c", "x.cfg", "-x"}, "invalid option"},
        UsageCase{"MissingConfigArgument", {"-c"}, "requires an argument"},
        UsageCase{"MissingLevelArgument", {"-C", "-c", "x.cfg", "-e"}, "requires an argument"}),
    [](const testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

TEST(CommandLine, OptionsEndAtTheFirstOtherArgument) {
    TempDir directory;
    // "-C -c new.cfg" after a stray word are not options, so there is no configuration file.
    const ChildResult result = RunTranscode(directory, {"stray", "-C", "-c", "new.cfg"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "Config file required\n" + kUsage);
    EXPECT_FALSE(Exists(directory.file("new.cfg")));
}

TEST(CommandLine, CreatesTheDefaultConfigurationFile) {
    TempDir directory;
    const ChildResult result = RunTranscode(directory, {"-C", "-c", "new.cfg"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, kDefaultStatusLines + "config file created\n");
    // A missing file is what create mode is for: no complaint.
    EXPECT_EQ(result.err, "");
    const std::string golden =
        ReadWholeFile(std::string(TRANSCODE_SOURCE_DIR) + "/tests/data/default_config.cfg");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(ReadWholeFile(directory.file("new.cfg")), golden);

    // The Info lines logged before the configuration named its log were held for it; its
    // LogLevel 1 keeps none of them, so no log file is created at all.
    EXPECT_EQ(FileNamesIn(directory.path()), std::vector<std::string>{"new.cfg"});
}

// Without "-l", what is logged while the configuration is applied lands in the log it names, the
// Error lines about its values included, and no other file is written.
TEST(CommandLine, EarlyLinesLandInTheConfiguredLogOnly) {
    TempDir directory;
    StationConfig()
        .Set("LogLevel", 2)
        .Set("LogFile", "station.log")
        .Set("ServerPasword", "typo")
        .Write(directory.file("station.cfg"));
    const ChildResult result = RunTranscode(directory, {"-n", "-C", "-c", "station.cfg"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(FileNamesIn(directory.path()),
              (std::vector<std::string>{"station.cfg", "station.log"}));
    const std::vector<std::string> logged = LogMessages(directory.file("station.log"));
    ASSERT_GE(logged.size(), 3u);
    EXPECT_NE(std::find(logged.begin(), logged.end(),
                        "Info(commandline:N): Input Stream URL : (http://localhost/)"),
              logged.end());
    // Every Error shown on standard error is in the log too.
    const std::vector<std::string> errors = SplitLines(result.err);
    EXPECT_FALSE(errors.empty());
    const std::string logText = ReadWholeFile(directory.file("station.log"));
    for (const std::string& error : errors) {
        ASSERT_EQ(error.rfind("transcode: ", 0), 0u) << error;
        EXPECT_NE(logText.find("): " + error.substr(11) + "\n"), std::string::npos) << logText;
    }
}

// A log that cannot be opened is said once, with its path and the reason; its lines are not lost.
TEST(CommandLine, ALogThatCannotBeOpenedIsNamedOnceWithTheReason) {
    TempDir directory;
    StationConfig()
        .Set("LogLevel", 2)
        .Set("LogFile", "missing/station.log")
        .Write(directory.file("station.cfg"));
    const ChildResult result = RunTranscode(directory, {"-n", "-C", "-c", "station.cfg"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    const std::vector<std::string> said = SplitLines(result.err);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said[0],
              "transcode: Cannot open logfile: missing/station.log: No such file or directory");
    EXPECT_EQ(std::count_if(said.begin(), said.end(),
                            [](const std::string& line) {
                                return line.find("Cannot open logfile") != std::string::npos;
                            }),
              1);
    EXPECT_NE(std::find(said.begin(), said.end(), "transcode: Output status : (Disconnected)"),
              said.end());
}

TEST(CommandLine, CreateModeRewritesAnExistingFileWithItsValues) {
    TempDir directory;
    WriteWholeFile(directory.file("old.cfg"),
                   "# my notes\nExtra=kept\nServer=my host\nBitrateNominal=0096kbps\n"
                   "Encode=OGG\n");
    const ChildResult result = RunTranscode(directory, {"-C", "-c", "old.cfg", "-n"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "config file created\n");
    const std::string written = ReadWholeFile(directory.file("old.cfg"));
    EXPECT_EQ(written.substr(0, 21), "#\n#\n#\nExtra=kept\n\n#\n#");
    EXPECT_NE(written.find("\nServer=myhost\n"), std::string::npos);
    EXPECT_NE(written.find("\nBitrateNominal=96\n"), std::string::npos);
    EXPECT_NE(written.find("\nEncode=OGG\n"), std::string::npos);
    EXPECT_EQ(written.find("my notes"), std::string::npos);
}

// Root writes through file permissions, so the read-only directory is also made immutable when
// permissions are not enough; without that capability the case is skipped.
class ReadOnlyDirectory {
  public:
    explicit ReadOnlyDirectory(const std::string& path) : path_(path) {
        mkdir(path.c_str(), 0755);
        chmod(path.c_str(), 0555);
        if (!Writable()) return;
        SetImmutable(true);
        immutable_ = !Writable();
    }
    ~ReadOnlyDirectory() {
        if (immutable_) SetImmutable(false);
        chmod(path_.c_str(), 0755);
    }
    ReadOnlyDirectory(const ReadOnlyDirectory&) = delete;
    ReadOnlyDirectory& operator=(const ReadOnlyDirectory&) = delete;

    // What a write into it fails with.
    const char* Reason() const {
        return immutable_ ? "Operation not permitted" : "Permission denied";
    }

    bool Writable() const {
        const std::string probe = path_ + "/probe";
        const int descriptor = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (descriptor < 0) return false;
        close(descriptor);
        unlink(probe.c_str());
        return true;
    }

  private:
    void SetImmutable(bool on) const {
        const int descriptor = open(path_.c_str(), O_RDONLY | O_DIRECTORY);
        if (descriptor < 0) return;
        int flags = 0;
        if (ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ioctl(descriptor, FS_IOC_SETFLAGS, &flags);
        }
        close(descriptor);
    }

    std::string path_;
    bool immutable_ = false;
};

struct UnwritableCase {
    const char* name;
    const char* configPath;  // in the test directory, which also holds "plain" (a file) and "ro/"
    const char* reason;      // nullptr: the read-only directory's
};

void PrintTo(const UnwritableCase& test, std::ostream* out) {
    *out << test.name;
}

class UnwritableConfig : public testing::TestWithParam<UnwritableCase> {};

TEST_P(UnwritableConfig, IsAnErrorAndNotReportedAsCreated) {
    TempDir directory;
    const UnwritableCase& test = GetParam();
    WriteWholeFile(directory.file("plain"), "a regular file\n");
    ReadOnlyDirectory readOnly(directory.file("ro"));
    if (readOnly.Writable()) GTEST_SKIP() << "cannot make a directory read-only here";

    const ChildResult result =
        RunTranscode(directory, {"-C", "-c", test.configPath, "-l", "run.log"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, kDefaultStatusLines);
    const std::string error = std::string("Cannot write config file ") + test.configPath + ": " +
                              (test.reason != nullptr ? test.reason : readOnly.Reason());
    EXPECT_EQ(result.err, "transcode: " + error + "\n");
    // The failure is logged after the configuration moved the log.
    EXPECT_EQ(LogMessages(directory.file("zembrilv2.log")),
              std::vector<std::string>{"Error(libzembril:N): " + error});
    EXPECT_FALSE(Exists(directory.file(test.configPath)));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnwritableConfig,
    testing::Values(UnwritableCase{"MissingDirectory", "missing-dir/new.cfg",
                                   "No such file or directory"},
                    UnwritableCase{"ReadOnlyDirectory", "ro/new.cfg", nullptr},
                    UnwritableCase{"UnderARegularFile", "plain/new.cfg", "Not a directory"}),
    [](const testing::TestParamInfo<UnwritableCase>& info) { return info.param.name; });

TEST(CommandLine, AnOverlongConfigPathIsRefusedInCreateModeToo) {
    TempDir directory;
    StationConfig().Set("Server", "mine").Write(directory.file("transcoder.cfg"));
    const std::string path = std::string(300 - 4, 'x') + ".cfg";
    const ChildResult result = RunTranscode(directory, {"-C", "-c", path});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "transcode: Config file path too long (300 characters, at most 254)\n");
    // No configuration named a log, so standard error was the only place; no other file is
    // written in the configuration's place.
    EXPECT_EQ(FileNamesIn(directory.path()), std::vector<std::string>{"transcoder.cfg"});
    EXPECT_EQ(ReadWholeFile(directory.file("transcoder.cfg")), "Server=mine\n");
}

TEST(CommandLine, QuietModePrintsNothingButStillLogs) {
    TempDir directory;
    StationConfig()
        .Set("LogLevel", 2)
        .Set("LogFile", "quiet.log")
        .Write(directory.file("quiet.cfg"));
    const ChildResult result = RunTranscode(directory, {"-n", "-C", "-c", "quiet.cfg"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "config file created\n");
    const std::vector<std::string> messages = LogMessages(directory.file("quiet.log"));
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0], "Info(commandline:N): Input Stream URL : (http://localhost/)");
    EXPECT_EQ(messages[2], "Info(commandline:N): Output Server Type : (Shoutcast)");
    EXPECT_EQ(FileNamesIn(directory.path()),
              (std::vector<std::string>{"quiet.cfg", "quiet.log"}));
}

TEST(CommandLine, ConfiguredLogSettingsTakeOverFromTheOptions) {
    TempDir directory;
    StationConfig().Set("LogLevel", 3).Set("LogFile", "late.log").Write(directory.file("loud.cfg"));
    // "-e 0" logs nothing at all until the configuration says level 3 and "late.log", which holds
    // from the first status line on.
    const ChildResult result =
        RunTranscode(directory, {"-e", "0", "-l", "early.log", "-C", "-c", "loud.cfg"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(Exists(directory.file("early.log")));
    EXPECT_EQ(LogMessages(directory.file("late.log")),
              (std::vector<std::string>{
                  "Info(commandline:N): Input Stream URL : (http://localhost/)",
                  "Info(commandline:N): Output Stream Type : (MP3)",
                  "Info(commandline:N): Output Server Type : (Shoutcast)",
                  "Info(commandline:N): Output Bitrate : (128kbps/44100Hz/Stereo)",
                  "Info(commandline:N): Output status : (Disconnected)",
              }));
    EXPECT_NE(ReadWholeFile(directory.file("loud.cfg")).find("\nLogLevel=3\n"), std::string::npos);
}

TEST(CommandLine, VersionOptionNamesTheProgramAndItsLibraries) {
    TempDir directory;
    // "-V" wins over everything else on the line; the configuration is neither read nor written.
    const ChildResult result = RunTranscode(directory, {"-V", "-C", "-c", "x.cfg"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1),
              std::string("transcode ") + kTranscodeVersion + "\n");
    for (const char* library : {"\nlibcurl: ", "\nLAME: ", "\nlibvorbis: ", "\nlibmpg123: "}) {
        const std::size_t at = result.out.find(library);
        ASSERT_NE(at, std::string::npos) << library << " missing from:\n" << result.out;
        // Each library line carries a version: some digit before the line ends.
        const std::string line = result.out.substr(at + 1, result.out.find('\n', at + 1) - at - 1);
        EXPECT_NE(line.find_first_of("0123456789"), std::string::npos) << line;
    }
    EXPECT_TRUE(FileNamesIn(directory.path()).empty());
}

TEST(CommandLine, LastOccurrenceOfAnOptionWins) {
    TempDir directory;
    // Neither file exists: the Error about the second goes to the second log.
    const ChildResult result = RunTranscode(
        directory, {"-c", "first.cfg", "-l", "first.log", "-c", "second.cfg", "-l", "second.log"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(LogMessages(directory.file("second.log")),
              std::vector<std::string>{"Error(libzembril:N): Cannot open config file second.cfg: "
                                       "No such file or directory"});
    EXPECT_FALSE(Exists(directory.file("first.log")));
}

}  // namespace
