// The one way the tests and benchmarks run another process (tests/support/child_process): what
// reaches the child (arguments, environment, working folder, descriptors), what comes back (exit
// status, signal, both output streams), and the bounds (a child that overstays is killed, one
// left running by its owner is killed and reaped).
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

constexpr const char* kShell = "/bin/sh";

struct ProgramCase {
    const char* name;
    std::string script;  // for /bin/sh -c; "{dir}" stands for the working folder
    std::vector<std::string> environment;
    bool exited;
    int exitStatus;
    int signalNumber;
    std::string out;  // "{dir}" as above
    std::string err;
};

std::string WithDirectory(std::string text, const std::string& directory) {
    const std::size_t at = text.find("{dir}");
    if (at != std::string::npos) text.replace(at, 5, directory);
    return text;
}

class ProgramRunTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramRunTest, GivesTheChildItsStartAndReportsItsEnd) {
    const ProgramCase& c = GetParam();
    TempDir directory;
    ChildStart start({kShell, "-c", WithDirectory(c.script, directory.path())}, directory.path());
    start.environment = c.environment;
    ChildProcess child(start);
    const ChildResult& result = child.Wait(10000);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exited, c.exited) << Shown(result);
    if (c.exited) {
        EXPECT_EQ(result.exitStatus, c.exitStatus);
    }
    EXPECT_EQ(result.signalNumber, c.signalNumber);
    EXPECT_EQ(result.out, WithDirectory(c.out, directory.path()));
    EXPECT_EQ(result.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramRunTest,
    ::testing::Values(
        ProgramCase{"ExitStatusAndBothStreams",
                    "echo out; echo err >&2; exit 3",
                    {},
                    true,
                    3,
                    0,
                    "out\n",
                    "err\n"},
        ProgramCase{"EnvironmentEntryReplacesTheInheritedOne",
                    "printf '%s %s' \"$HOME\" \"$TRANSCODE_CHILD_TEST\"",
                    {"HOME=/elsewhere", "TRANSCODE_CHILD_TEST=added"},
                    true,
                    0,
                    0,
                    "/elsewhere added",
                    ""},
        ProgramCase{"WorkingFolder", "pwd -P", {}, true, 0, 0, "{dir}\n", ""},
        ProgramCase{"StandardInputIsEmpty", "cat; echo end", {}, true, 0, 0, "end\n", ""},
        ProgramCase{"EndedBySignal", "kill -TERM $$", {}, false, -1, SIGTERM, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChildProcess, MissingProgramEndsWith127) {
    const ChildResult result = RunProgram({"/nonexistent/transcode"}, ".", 10000);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 127);
}

TEST(ChildProcess, OverstayingChildIsKilledAtItsTimeLimit) {
    ChildProcess child(ChildStart({"/bin/sleep", "30"}));
    const ChildResult& result = child.Wait(300);
    EXPECT_TRUE(result.timedOut);
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.signalNumber, SIGKILL);
    EXPECT_LT(result.wallSeconds, 10.0);
}

// The output file is readable while the child runs; a stop is SIGTERM, which the child may end
// in order.
TEST(ChildProcess, StopSendsTerminateToARunningChild) {
    TempDir directory;
    ChildStart start({kShell, "-c",
                      "trap 'echo stopping; exit 7' TERM; echo ready; "
                      "while :; do sleep 0.05; done"});
    start.outputFile = directory.file("output.txt");
    ChildProcess child(start);
    ASSERT_TRUE(WaitUntil([&] { return child.OutputSoFar() == "ready\n"; }, 10000))
        << child.OutputSoFar();
    EXPECT_TRUE(child.Running());
    const ChildResult& result = child.Stop(10000);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 7);
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(ReadWholeFile(directory.file("output.txt")), "ready\nstopping\n");
}

TEST(ChildProcess, ChildLeftRunningIsKilledAndReaped) {
    pid_t pid = -1;
    {
        ChildProcess child(ChildStart({"/bin/sleep", "30"}));
        pid = child.pid();
        ASSERT_GT(pid, 0);
    }
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

// A descriptor of this process without close-on-exec reaches the program unless it asks for
// none.
TEST(ChildProcess, OtherDescriptorsAreClosedOnRequest) {
    const int open = ::open("/dev/null", O_RDONLY);
    ASSERT_GT(open, 2);
    const std::string script = "test -e /proc/$$/fd/" + std::to_string(open) + " && echo open";
    for (const bool closeOthers : {false, true}) {
        ChildStart start({kShell, "-c", script});
        start.closeOtherDescriptors = closeOthers;
        ChildProcess child(start);
        EXPECT_EQ(child.Wait(10000).out, closeOthers ? "" : "open\n") << closeOthers;
    }
    close(open);
}

TEST(ChildProcess, ForkedFunctionEndsWithItsExitAndOutput) {
    const ChildResult result = RunInChild([] {
        std::printf("from the child\n");
        std::fflush(stdout);
        _exit(5);
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 5);
    EXPECT_EQ(result.out, "from the child\n");
}

}  // namespace
