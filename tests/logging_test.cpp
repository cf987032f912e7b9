// The logger: line format, level threshold, the lazy open and reopen, the fallback to standard
// output, and whole lines from two threads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

TEST_F(LoggingTest, StartsAtLevelTwoWithTheDefaultPath) {
    ResetLogger();
    EXPECT_EQ(GetLogLevel(), 2);
    EXPECT_STREQ(GetLogPath(), "transcoder.log");
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

TEST_F(LoggingTest, WithoutAFileLinesGoToStandardOutputAndTheOpenIsRetried) {
    const std::string directoryLater = file("later");
    SetLogPath((directoryLater + "/test.log").c_str());
    DescriptorCapture out(1);
    LogMessage(LOG_ERROR, kLogInput, 42, "no file for %s\n", "this");
    LogMessage(LOG_INFO, kLogInput, 43, "nor this");
    ASSERT_EQ(mkdir(directoryLater.c_str(), 0700), 0);
    LogMessage(LOG_ERROR, kLogInput, 44, "but for this");
    EXPECT_EQ(out.Finish(),
              "Cannot open logfile: Error(ziravorov:42): no file for this\n"
              "Cannot open logfile: Info(ziravorov:43): nor this\n");
    EXPECT_NE(ReadWholeFile(directoryLater + "/test.log").find("Error(ziravorov:44): but for this"),
              std::string::npos);
}

// Checks that every line of `text` is one whole line of LogFromTwoThreads, after `prefix`.
void ExpectWholeLines(const std::string& text, bool timestamped, const std::string& prefix,
                      int expected) {
    const std::vector<std::string> lines = SplitLines(text);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(expected));
    for (const std::string& line : lines) {
        if (timestamped) {
            ASSERT_TRUE(HasLogTimestamp(line)) << line;
        }
        const std::string message = line.substr(timestamped ? 18 : 0);
        ASSERT_EQ(message.substr(0, prefix.size()), prefix) << line;
        const std::string rest = message.substr(prefix.size());
        const std::size_t close = rest.find("): ");
        ASSERT_NE(close, std::string::npos) << line;
        const std::string source = rest.substr(0, close + 1);
        ASSERT_TRUE(MatchesNumbered(source, "Error(ziravorov:", ")") ||
                    MatchesNumbered(source, "Info(oggvdecoder:", ")"))
            << line;
        const std::string body = rest.substr(close + 3);
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
    ExpectWholeLines(log(), true, "", 6000);
}

TEST_F(LoggingTest, TwoThreadsWriteWholeLinesToStandardOutputToo) {
    SetLogPath(file("missing-dir/test.log").c_str());
    DescriptorCapture out(1);
    // A console sink printing on a third thread for as long as the two threads log.
    std::atomic<bool> logging{true};
    int printedByThread = 0;
    std::thread printer([&] {
        while (logging.load()) {
            std::printf("Main Status : (printed %d)\n", printedByThread++);
        }
    });
    LogFromTwoThreads(3000);
    logging.store(false);
    printer.join();
    std::string logged;
    std::istringstream lines(out.Finish());
    int printed = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Main Status : (printed ", 0) == 0) {
            ++printed;
        } else {
            logged += line + "\n";
        }
    }
    EXPECT_EQ(printed, printedByThread);
    ExpectWholeLines(logged, false, "Cannot open logfile: ", 6000);
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
