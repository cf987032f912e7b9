// The logger: line format, level threshold, the lazy open and reopen, the lines held until a path
// is named, the fallback to standard error, and whole lines from two threads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "tests/support/child_process.h"
#include "tests/support/log_lines.h"
#include "tests/support/temp_dir.h"

namespace {

class LoggingTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetLogger();
        SetLogPath(logPath().c_str());
    }
    void TearDown() override { ResetLogger(); }

    std::string logPath() const { return directory_.file("test.log"); }
    std::string log() const { return ReadWholeFile(logPath()); }
    std::string file(const std::string& name) const { return directory_.file(name); }

  private:
    TempDir directory_;
};

TEST_F(LoggingTest, StartsAtLevelTwoWithoutAPath) {
    ResetLogger();
    EXPECT_EQ(GetLogLevel(), 2);
    EXPECT_STREQ(GetLogPath(), "");
}

TEST_F(LoggingTest, WritesTimeLevelSourceLineAndMessage) {
    LogMessage(LOG_INFO, kLogFrontEnd, 123, "Main Status : (%s)", "Connected");
    const std::string logged = log();
    EXPECT_TRUE(HasLogTimestamp(logged)) << logged;
    EXPECT_EQ(logged.substr(std::min<std::size_t>(18, logged.size())),
              "Info(commandline:123): Main Status : (Connected)\n");
}

struct LevelCase {
    int threshold;
    int level;
    const char* written;  // the level name written, or "" when the message is dropped
};

void PrintTo(const LevelCase& test, std::ostream* out) {
    *out << "level " << test.level << " at threshold " << test.threshold;
}

class LevelThreshold : public LoggingTest, public testing::WithParamInterface<LevelCase> {};

TEST_P(LevelThreshold, DecidesWhatIsWritten) {
    SetLogLevel(GetParam().threshold);
    LogMessage(GetParam().level, kLogEngine, 7, "message");
    const std::string expected = GetParam().written;
    if (expected.empty()) {
        EXPECT_NE(access(logPath().c_str(), F_OK), 0) << "opened although nothing was written";
    } else {
        EXPECT_NE(log().find(" " + expected + "(libzembril:7): message\n"), std::string::npos)
            << log();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LevelThreshold,
    testing::Values(LevelCase{1, LOG_ERROR, "Error"}, LevelCase{1, LOG_INFO, ""},
                    LevelCase{1, LOG_DEBUG, ""}, LevelCase{2, LOG_INFO, "Info"},
                    LevelCase{2, LOG_DEBUG, ""}, LevelCase{3, LOG_DEBUG, "Debug"},
                    LevelCase{0, LOG_ERROR, ""}, LevelCase{-1, LOG_ERROR, ""},
                    LevelCase{2, 0, "Unknown"}, LevelCase{3, 4, ""}, LevelCase{9, 4, "Unknown"}));

TEST_F(LoggingTest, AFinalNewlineInTheFormatIsNotDoubled) {
    LogMessage(LOG_ERROR, kLogEngine, 1, "same %d\n", 1);
    LogMessage(LOG_ERROR, kLogEngine, 1, "same %d", 1);
    std::istringstream lines(log());
    std::vector<std::string> messages;
    for (std::string line; std::getline(lines, line);) messages.push_back(line.substr(18));
    EXPECT_EQ(messages, (std::vector<std::string>{"Error(libzembril:1): same 1",
                                                  "Error(libzembril:1): same 1"}));
    EXPECT_EQ(log().find("\n\n"), std::string::npos);
}

TEST_F(LoggingTest, ClosingWithoutAPathReopensTheSameFile) {
    LogMessage(LOG_ERROR, kLogEngine, 1, "first");
    // Moved away while open: only a reopen by name puts the next line into a new file.
    ASSERT_EQ(std::rename(logPath().c_str(), file("moved.log").c_str()), 0);
    SetLogPath(nullptr);
    EXPECT_EQ(std::string(GetLogPath()), logPath());
    LogMessage(LOG_ERROR, kLogEngine, 2, "second");
    EXPECT_EQ(log().find("first"), std::string::npos);
    EXPECT_NE(log().find("second"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(file("moved.log")).find("second"), std::string::npos);
}

// logrotate's way: the file is moved away, then the reopen request (SIGHUP) arrives.
TEST_F(LoggingTest, AReopenRequestSendsTheNextLineToANewFileAtThePath) {
    LogMessage(LOG_ERROR, kLogEngine, 1, "before the move");
    ASSERT_EQ(std::rename(logPath().c_str(), file("rotated.log").c_str()), 0);
    LogMessage(LOG_ERROR, kLogEngine, 2, "moved, not yet signalled");
    RequestLogReopen();
    SetLogLevel(1);
    LogMessage(LOG_INFO, kLogEngine, 3, "below the level");  // leaves the request pending
    LogMessage(LOG_ERROR, kLogEngine, 4, "after the request");
    LogMessage(LOG_ERROR, kLogEngine, 5, "and after that");

    const std::vector<std::string> rotated = LogMessagesOf(ReadWholeFile(file("rotated.log")));
    EXPECT_EQ(rotated, (std::vector<std::string>{"Error(libzembril:N): before the move",
                                                 "Error(libzembril:N): moved, not yet signalled"}));
    EXPECT_EQ(LogMessagesOf(log()),
              (std::vector<std::string>{"Error(libzembril:N): after the request",
                                        "Error(libzembril:N): and after that"}));
}

TEST_F(LoggingTest, AppendsToAnExistingFile) {
    WriteWholeFile(logPath(), "earlier line\n");
    LogMessage(LOG_ERROR, kLogEngine, 1, "appended");
    EXPECT_EQ(log().rfind("earlier line\n", 0), 0u);
    EXPECT_NE(log().find("appended"), std::string::npos);
}

TEST_F(LoggingTest, ANewPathTakesTheNextLine) {
    LogMessage(LOG_ERROR, kLogEngine, 1, "old");
    SetLogPath(file("new.log").c_str());
    LogMessage(LOG_ERROR, kLogEngine, 1, "new");
    EXPECT_EQ(log().find("new"), std::string::npos);
    EXPECT_NE(ReadWholeFile(file("new.log")).find("new"), std::string::npos);
}

TEST_F(LoggingTest, WithoutAFileTheReasonIsSaidOnceAndLinesGoToStandardError) {
    const std::string directoryLater = file("later");
    const std::string path = directoryLater + "/test.log";
    SetLogPath(path.c_str());
    DescriptorCapture err(2);
    LogMessage(LOG_ERROR, kLogInput, 42, "no file for %s\n", "this");
    LogMessage(LOG_INFO, kLogInput, 43, "nor this");
    ASSERT_EQ(mkdir(directoryLater.c_str(), 0700), 0);
    LogMessage(LOG_ERROR, kLogInput, 44, "but for this");
    // Each line once: an Error that found no file is not repeated as an Error.
    EXPECT_EQ(err.Finish(),
              "transcode: Cannot open logfile: " + path + ": No such file or directory\n"
              "transcode: no file for this\n"
              "transcode: nor this\n"
              "transcode: but for this\n");
    EXPECT_EQ(LogMessagesOf(ReadWholeFile(path)),
              std::vector<std::string>{"Error(ziravorov:N): but for this"});
}

TEST_F(LoggingTest, TheOpenFailureIsSaidAgainForANewPathOrAfterTheFileWasOpen) {
    const std::string folder = file("sub");
    const std::string path = folder + "/test.log";
    const std::string notFound =
        "transcode: Cannot open logfile: " + path + ": No such file or directory\n";
    DescriptorCapture err(2);
    SetLogPath(path.c_str());
    LogMessage(LOG_INFO, kLogEngine, 1, "first");
    LogMessage(LOG_INFO, kLogEngine, 2, "second");
    SetLogPath(path.c_str());  // named again, as the configuration does after "-l"
    LogMessage(LOG_INFO, kLogEngine, 3, "third");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    LogMessage(LOG_INFO, kLogEngine, 4, "opened");
    // The folder goes away while the file is open; the reopen then finds no folder.
    ASSERT_EQ(std::rename(folder.c_str(), file("moved").c_str()), 0);
    RequestLogReopen();
    LogMessage(LOG_INFO, kLogEngine, 5, "reopened");
    EXPECT_EQ(err.Finish(), notFound + "transcode: first\ntranscode: second\n" + notFound +
                                "transcode: third\n" + notFound + "transcode: reopened\n");
    EXPECT_EQ(LogMessagesOf(ReadWholeFile(file("moved/test.log"))),
              std::vector<std::string>{"Info(libzembril:N): opened"});
}

TEST_F(LoggingTest, LinesBeforeAnyPathAreHeldForTheFirstPathNamed) {
    ResetLogger();
    DescriptorCapture err(2);
    LogMessage(LOG_INFO, kLogFrontEnd, 1, "Input Stream URL : (http://localhost/)");
    LogMessage(LOG_ERROR, kLogEngine, 2, "a value the configuration refuses");
    LogMessage(LOG_DEBUG, kLogEngine, 3, "below the level");
    // Only the Error is shown at once; no file is created meanwhile.
    EXPECT_EQ(err.Finish(), "transcode: a value the configuration refuses\n");
    EXPECT_NE(access(logPath().c_str(), F_OK), 0);

    SetLogPath(logPath().c_str());
    LogMessage(LOG_INFO, kLogEngine, 4, "after the path");
    EXPECT_EQ(LogMessagesOf(log()),
              (std::vector<std::string>{
                  "Info(commandline:N): Input Stream URL : (http://localhost/)",
                  "Error(libzembril:N): a value the configuration refuses",
                  "Info(libzembril:N): after the path"}));
    // Held once: a later path receives none of them.
    SetLogPath(file("second.log").c_str());
    LogMessage(LOG_ERROR, kLogEngine, 5, "in the second");
    EXPECT_EQ(LogMessagesOf(ReadWholeFile(file("second.log"))),
              std::vector<std::string>{"Error(libzembril:N): in the second"});
}

TEST_F(LoggingTest, HeldLinesPassTheLevelInForceWhenThePathIsNamed) {
    ResetLogger();
    LogMessage(LOG_INFO, kLogFrontEnd, 1, "status");
    LogMessage(LOG_ERROR, kLogEngine, 2, "refused");
    SetLogLevel(LOG_ERROR);  // the configuration's LogLevel comes before its LogFile
    testing::internal::CaptureStderr();
    SetLogPath(logPath().c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // the Error was shown already
    EXPECT_EQ(LogMessagesOf(log()), std::vector<std::string>{"Error(libzembril:N): refused"});
}

TEST_F(LoggingTest, HeldLinesAreBounded) {
    ResetLogger();
    testing::internal::CaptureStderr();
    for (int index = 0; index < 1005; ++index) LogMessage(LOG_INFO, kLogEngine, 1, "line %d", index);
    SetLogPath(logPath().c_str());
    const std::string said = testing::internal::GetCapturedStderr();
    const std::vector<std::string> messages = LogMessagesOf(log());
    ASSERT_EQ(messages.size(), 1001u);
    EXPECT_EQ(messages[999], "Info(libzembril:N): line 999");
    EXPECT_EQ(messages[1000],
              "Error(log:N): 5 log lines of the start were not kept (more than 1000)");
    EXPECT_EQ(said, "transcode: 5 log lines of the start were not kept (more than 1000)\n");
}

TEST_F(LoggingTest, HeldLinesGoToStandardErrorWhenTheProcessEndsWithoutAPath) {
    const ChildResult result = RunInChild([] {
        ResetLogger();
        LogMessage(LOG_ERROR, kLogEngine, 1, "the configuration cannot be read");
        LogMessage(LOG_INFO, kLogEngine, 2, "an early status");
        std::exit(1);
    });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.err,
              "transcode: the configuration cannot be read\ntranscode: an early status\n");
    EXPECT_EQ(result.out, "");
}

// Checks that every line of `text` is one whole line of LogFromTwoThreads: a timestamped log line,
// or the message alone after "transcode: " as standard error shows it.
void ExpectWholeLines(const std::string& text, bool timestamped, int expected) {
    const std::vector<std::string> lines = SplitLines(text);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(expected));
    const std::string stderrPrefix = "transcode: ";
    for (const std::string& line : lines) {
        std::string body;
        if (timestamped) {
            ASSERT_TRUE(HasLogTimestamp(line)) << line;
            const std::string message = line.substr(18);
            const std::size_t close = message.find("): ");
            ASSERT_NE(close, std::string::npos) << line;
            const std::string source = message.substr(0, close + 1);
            ASSERT_TRUE(MatchesNumbered(source, "Error(ziravorov:", ")") ||
                        MatchesNumbered(source, "Info(oggvdecoder:", ")"))
                << line;
            body = message.substr(close + 3);
        } else {
            ASSERT_EQ(line.substr(0, stderrPrefix.size()), stderrPrefix) << line;
            body = line.substr(stderrPrefix.size());
        }
        ASSERT_TRUE(MatchesNumbered(body, "main line ", " with some length to it") ||
                    MatchesNumbered(body, "decoder line ", " with some length to it"))
            << line;
    }
}

void LogFromTwoThreads(int linesPerThread) {
    std::thread decoder([&] {
        for (int index = 0; index < linesPerThread; ++index) {
            LogMessage(LOG_INFO, kLogVorbis, __LINE__, "decoder line %d with some length to it",
                       index);
        }
    });
    for (int index = 0; index < linesPerThread; ++index) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__, "main line %d with some length to it\n", index);
    }
    decoder.join();
}

TEST_F(LoggingTest, TwoThreadsWriteWholeLines) {
    LogFromTwoThreads(3000);
    ExpectWholeLines(log(), true, 6000);
}

TEST_F(LoggingTest, TwoThreadsWriteWholeLinesToStandardErrorToo) {
    const std::string missing = file("missing-dir/test.log");
    SetLogPath(missing.c_str());
    DescriptorCapture err(2);
    LogFromTwoThreads(3000);
    const std::string said = err.Finish();
    const std::string reason =
        "transcode: Cannot open logfile: " + missing + ": No such file or directory\n";
    ASSERT_EQ(said.substr(0, reason.size()), reason);
    ExpectWholeLines(said.substr(reason.size()), false, 6000);
}

}  // namespace

TEST_F(LoggingTest, ErrorLinesAlsoReachStandardErrorWholeAndOnce) {
    testing::internal::CaptureStderr();
    LogMessage(LOG_ERROR, kLogEngine, 1, "refused by %s\n", "host");
    LogMessage(LOG_INFO, kLogEngine, 2, "not an error");
    SetLogLevel(0);
    LogMessage(LOG_ERROR, kLogEngine, 3, "below the level");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "transcode: refused by host\n");
}
