// The front end in-process: console sinks, their registration with the engine, repeated option
// parsing, and the signal handlers (in forked children, since they end the process).
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/config_store.h"
#include "common/log.h"
#include "common/status.h"
#include "engine/libzembril.h"
#include "frontend/commandline.h"
#include "tests/support/child_process.h"
#include "tests/support/fresh_records.h"
#include "tests/support/log_lines.h"

namespace {

class FrontEndTest : public FreshRecordsTest {
  protected:
    void SetUp() override {
        FreshRecordsTest::SetUp();
        consoleOutput = 1;
    }
    void TearDown() override {
        FreshRecordsTest::TearDown();
        consoleOutput = 1;
    }

    // A configuration that keeps every log line of the loaded settings inside the test directory.
    std::string WriteConfig(const std::string& name) const {
        const std::string path = file(name);
        WriteWholeFile(path, "LogFile=" + logPath() + "\nLogLevel=2\n");
        return path;
    }

    // ParseCommandLine with argv[0] prepended.
    int Parse(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "transcode");
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        return ParseCommandLine(static_cast<int>(arguments.size()), argv.data());
    }
};

struct LabelledSlot {
    StatusSink FrontEndSlots::*slot;
    const char* label;
};

const LabelledSlot kLabelledSlots[] = {
    {&FrontEndSlots::mainStatus, "Main Status"},
    {&FrontEndSlots::inputStatus, "Input Status"},
    {&FrontEndSlots::inputServerType, "Input Server Type"},
    {&FrontEndSlots::inputStreamType, "Input Stream Type"},
    {&FrontEndSlots::inputStreamUrl, "Input Stream URL"},
    {&FrontEndSlots::inputStreamName, "Input Stream Name"},
    {&FrontEndSlots::metadata, "Metadata"},
    {&FrontEndSlots::inputBitrate, "Input Bitrate"},
    {&FrontEndSlots::outputStatus, "Output status"},
    {&FrontEndSlots::outputServerType, "Output Server Type"},
    {&FrontEndSlots::outputStreamType, "Output Stream Type"},
    {&FrontEndSlots::outputBitrate, "Output Bitrate"},
};

TEST_F(FrontEndTest, EverySinkPrintsItsLabelledLineAndLogsIt) {
    SetUpStatusSinks();
    for (const LabelledSlot& entry : kLabelledSlots) {
        SCOPED_TRACE(entry.label);
        StatusSink sink = FrontEnd().*entry.slot;
        ASSERT_NE(sink, nullptr);
        DescriptorCapture out(1);
        sink("Connected");
        EXPECT_EQ(out.Finish(), std::string(entry.label) + " : (Connected)\n");
        const std::vector<std::string> logged = LogMessagesOf(log());
        ASSERT_FALSE(logged.empty());
        EXPECT_EQ(logged.back(),
                  "Info(commandline:N): " + std::string(entry.label) + " : (Connected)");
    }
}

TEST_F(FrontEndTest, AnEmptyTextGivesEmptyParentheses) {
    SetUpStatusSinks();
    DescriptorCapture out(1);
    FrontEnd().mainStatus("");
    EXPECT_EQ(out.Finish(), "Main Status : ()\n");
}

TEST_F(FrontEndTest, QuietModeStillLogs) {
    SetUpStatusSinks();
    consoleOutput = 0;
    DescriptorCapture out(1);
    FrontEnd().inputStatus("Connected");
    EXPECT_EQ(out.Finish(), "");
    EXPECT_NE(log().find("Info(commandline:"), std::string::npos);
    EXPECT_NE(log().find("): Input Status : (Connected)\n"), std::string::npos);
}

TEST_F(FrontEndTest, AtLevelOneTheSinksOnlyPrint) {
    SetUpStatusSinks();
    SetLogLevel(LOG_ERROR);
    DescriptorCapture out(1);
    FrontEnd().outputStatus("Connected");
    EXPECT_EQ(out.Finish(), "Output status : (Connected)\n");
    EXPECT_FALSE(access(logPath().c_str(), F_OK) == 0);
}

TEST_F(FrontEndTest, ByteCountSinksShowNothing) {
    SetUpStatusSinks();
    ASSERT_NE(FrontEnd().inputBytes, nullptr);
    ASSERT_NE(FrontEnd().outputBytes, nullptr);
    DescriptorCapture out(1);
    FrontEnd().inputBytes(4096);
    FrontEnd().outputBytes(417);
    EXPECT_EQ(out.Finish(), "");
    EXPECT_EQ(log(), "");
}

TEST_F(FrontEndTest, RegistersItsSinksInTheEngineSlots) {
    SetUpStatusSinks();
    const FrontEndSlots& slots = FrontEnd();
    const EngineState& engine = Engine();
    EXPECT_EQ(slots.outputDestination, nullptr);
    EXPECT_EQ(engine.sinks.serverStatus, slots.outputStatus);
    EXPECT_EQ(engine.sinks.error, slots.mainStatus);
    EXPECT_EQ(engine.sinks.bytesSent, slots.outputBytes);
    EXPECT_EQ(engine.sinks.bitrateDescription, slots.outputBitrate);
    EXPECT_EQ(engine.sinks.streamType, slots.outputStreamType);
    EXPECT_EQ(engine.sinks.serverType, slots.outputServerType);
    EXPECT_EQ(engine.sinks.sourceUrl, slots.inputStreamUrl);
    EXPECT_EQ(engine.sinks.destinationUrl, nullptr);
    EXPECT_EQ(engine.sinks.streamDescription, nullptr);
    EXPECT_EQ(engine.sinks.vu, nullptr);
}

TEST_F(FrontEndTest, SetUpClearsTheFlagOfTheRecord) {
    FrontEnd().createConfigOnly = 1;
    SetUpStatusSinks();
    EXPECT_EQ(FrontEnd().createConfigOnly, 0);
}

// The source records a title in the engine itself; the sink only shows it, and never feeds it
// back into the engine.
TEST_F(FrontEndTest, MetadataSinkShowsTheTitleWithoutRecordingIt) {
    SetUpStatusSinks();
    consoleOutput = 0;
    SetCurrentTitle("Recorded - Title");
    FrontEnd().metadata("Shown - Title");
    EXPECT_NE(log().find("Metadata : (Shown - Title)"), std::string::npos) << log();
    std::lock_guard<std::mutex> hold(Engine().titles.lock);
    EXPECT_EQ(Engine().titles.current.view(), "Recorded - Title");
}

TEST_F(FrontEndTest, LinesStayWholeWhenTwoThreadsReport) {
    SetUpStatusSinks();
    constexpr int kLinesPerThread = 2000;
    DescriptorCapture out(1);
    auto report = [](StatusSink sink, const char* prefix) {
        for (int index = 0; index < kLinesPerThread; ++index) {
            sink(
                (std::string(prefix) + std::to_string(index) + " of a longer status text").c_str());
        }
    };
    std::thread decoder(report, FrontEnd().metadata, "title ");
    report(FrontEnd().mainStatus, "status ");
    decoder.join();
    const std::string printed = out.Finish();

    auto isReported = [](const std::string& text) {
        return MatchesNumbered(text, "Metadata : (title ", " of a longer status text)") ||
               MatchesNumbered(text, "Main Status : (status ", " of a longer status text)");
    };
    const std::vector<std::string> printedLines = SplitLines(printed);
    EXPECT_EQ(printedLines.size(), 2u * kLinesPerThread);
    for (const std::string& line : printedLines) ASSERT_TRUE(isReported(line)) << line;

    const std::vector<std::string> loggedLines = LogMessagesOf(log());
    EXPECT_EQ(loggedLines.size(), 2u * kLinesPerThread);
    const std::string kPrefix = "Info(commandline:N): ";
    for (const std::string& line : loggedLines) {
        ASSERT_EQ(line.substr(0, kPrefix.size()), kPrefix) << line;
        ASSERT_TRUE(isReported(line.substr(kPrefix.size()))) << line;
    }
}

TEST_F(FrontEndTest, ParsingCanBeRepeatedAndTheLastOptionWins) {
    const std::string first = WriteConfig("first.cfg");
    const std::string second = WriteConfig("second.cfg");
    const std::string earlyLog = directory().file("early.log");
    EXPECT_EQ(Parse({"-ne3", "-l", earlyLog, "-c", first}), 1);
    EXPECT_EQ(consoleOutput, 0);
    EXPECT_EQ(Engine().settings.configPath.view(), first);

    consoleOutput = 1;
    DescriptorCapture out(1);
    EXPECT_EQ(Parse({"-c", first, "-l", earlyLog, "-c", second, "extra", "-C"}), 1);
    EXPECT_NE(out.Finish().find("Output status : (Disconnected)\n"), std::string::npos);
    EXPECT_EQ(Engine().settings.configPath.view(), second);
    EXPECT_EQ(FrontEnd().createConfigOnly, 0);  // "-C" came after the first non-option
    // The configuration's LogLevel (2 here) replaced the "-e 3" of the first call.
    EXPECT_EQ(GetLogLevel(), 2);
    EXPECT_EQ(std::string(GetLogPath()), logPath());
}

// Set in the forked children: a file that an atexit handler would create.
std::string exitMarkerPath;

void CreateExitMarker() {
    if (std::FILE* marker = std::fopen(exitMarkerPath.c_str(), "w")) std::fclose(marker);
}

class StopSignal : public FrontEndTest, public testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsTheProcessAtOnceWithStatusOne) {
    const std::string config = WriteConfig("run.cfg");
    exitMarkerPath = directory().file("exit-handlers-ran");
    const ChildResult result = RunInChild([&] {
        std::atexit(&CreateExitMarker);
        Parse({"-n", "-l", logPath(), "-c", config});
        std::raise(GetParam());
        std::puts("still running");
        std::exit(0);
    });
    ASSERT_TRUE(result.exited) << "signal " << result.signalNumber;
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    // _exit: no clean-up, so no atexit handler.
    EXPECT_NE(access(exitMarkerPath.c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, testing::Values(30, SIGUSR1),
                         [](const testing::TestParamInfo<int>& info) {
                             return info.param == SIGUSR1 ? std::string("SIGUSR1")
                                                          : "Signal" + std::to_string(info.param);
                         });

TEST_F(FrontEndTest, FirstInterruptRequestsAStopTheSecondEndsTheProcess) {
    const std::string config = WriteConfig("run.cfg");
    const ChildResult result = RunInChild([&] {
        Parse({"-n", "-l", logPath(), "-c", config});
        std::raise(SIGINT);
        std::printf("stop requested %d\n", StopRequested() ? 1 : 0);
        std::fflush(stdout);
        std::raise(SIGTERM);
        std::puts("still running");
    });
    ASSERT_TRUE(result.exited) << "signal " << result.signalNumber;
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "stop requested 1\n");
}

}  // namespace
