// The fault matrix, stop requests: SIGTERM to the real `transcode` program in each phase of a
// run (connecting to the destination, waiting for its login reply, streaming, waiting to
// reconnect) ends it within about two seconds with exit status 1, "Done" where the source had
// been opened, whole archives and no descriptor left open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_run.h"
#include "tests/support/loopback.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/stream_feed.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRunTimeoutMs = 60000;
constexpr int kWaitMs = 15000;

enum class Phase { kConnecting, kLogin, kStreaming, kReconnectWait };

struct StopCase {
    const char* name;
    Phase phase;
    bool reachesDone;  // the source was opened before the stop
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

const StopCase kStopCases[] = {
    {"Connecting", Phase::kConnecting, false},
    {"Login", Phase::kLogin, false},
    {"Streaming", Phase::kStreaming, true},
    {"ReconnectWait", Phase::kReconnectWait, true},
};

class StopPhaseTest : public ::testing::TestWithParam<StopCase> {
  protected:
    void TearDown() override {
        if (queued_ >= 0) close(queued_);
        if (unanswered_ >= 0) close(unanswered_);
    }

    // A listener whose accept queue is full: a connect to it gets no answer.
    uint16_t UnansweredPort() {
        unanswered_ = ListenOnLoopback(0, 0);
        const uint16_t port = BoundPort(unanswered_);
        queued_ = ConnectToLoopback(port);
        return port;
    }

    TempDir dir_;
    int unanswered_ = -1;
    int queued_ = -1;
};

TEST_P(StopPhaseTest, SigtermEndsTheRunPromptly) {
    const StopCase& c = GetParam();
    const Mp3Format format{44100, 2, 30.0, 440.0};
    PacedSourceOptions options;
    options.bytesPerSecond = Mp3BytesPerSecond(format);
    options.loopCount = 10;
    options.titles = {{0, "Stop - Phase"}};
    PacedSource station(MakeMp3Tone(format), options);
    ASSERT_TRUE(station.listening());
    MockServer destination;
    if (c.phase != Phase::kLogin) destination.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    const uint16_t port = c.phase == Phase::kConnecting ? UnansweredPort() : destination.port();
    StationConfig settings = FaultRunSettings(dir_, station.url(), port);
    if (c.phase == Phase::kReconnectWait) {
        settings.Set("AutomaticReconnect", "1");
        settings.Set("AutomaticReconnectSecs", "30");
    }
    FaultRun run(dir_, settings, kRunTimeoutMs);

    switch (c.phase) {
        case Phase::kConnecting:
            ASSERT_TRUE(run.WaitForLog("Output status : (Connecting)", kWaitMs)) << run.Shown();
            break;
        case Phase::kLogin:
            ASSERT_TRUE(destination.WaitForBytes(0, 20, kWaitMs)) << run.Shown();
            break;
        case Phase::kStreaming:
            ASSERT_TRUE(destination.WaitForBytes(0, 20000, kWaitMs)) << run.Shown();
            break;
        case Phase::kReconnectWait:
            ASSERT_TRUE(destination.WaitForBytes(0, 20000, kWaitMs)) << run.Shown();
            destination.Stop();
            ASSERT_TRUE(run.WaitForLog("reconnecting in 30 secs", kWaitMs)) << run.Shown();
            break;
    }
    std::this_thread::sleep_for(500ms);  // well inside the phase
    EXPECT_LT(run.Terminate(), 2s);

    const ChildResult& result = run.Finish();
    EXPECT_TRUE(result.exited) << run.Shown();
    EXPECT_EQ(result.exitStatus, 0);  // an operator's stop is not a failure
    EXPECT_EQ(result.out.find("Main Status : (Done)") != std::string::npos, c.reachesDone)
        << run.Shown();
    EXPECT_EQ(result.out.find("Password Failed"), std::string::npos) << run.Shown();
    EXPECT_EQ(run.LeftOpen(), std::vector<std::string>{});
    const std::vector<std::string> archives = ArchiveFiles(dir_);
    ASSERT_EQ(archives.size(), c.reachesDone ? 1u : 0u);
    if (c.reachesDone) {
        ASSERT_TRUE(destination.WaitForClosed(0, kWaitMs));
        ExpectWholeMp3Archive(archives[0], AfterLogin(destination.Received(0)));
    }
}

INSTANTIATE_TEST_SUITE_P(Phases, StopPhaseTest, ::testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
