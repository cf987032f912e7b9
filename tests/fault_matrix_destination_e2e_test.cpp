// The fault matrix, destination side, against the real `transcode` program: a destination that
// takes the login and then reads nothing, and one that resets the connection in the middle of the
// stream. Each run ends as stated within its bound, without a crash, with whole archives that
// begin with what the destination read, and without a descriptor left open.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_run.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/stream_feed.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRunTimeoutMs = 60000;
constexpr const char* kAccepted = "HTTP/1.0 200 OK\r\n\r\n";

// A station of thirty seconds sent `loops` times; unpaced (bytesPerSecond 0), the relay produces
// far faster than real time and fills the socket buffers within moments.
std::unique_ptr<PacedSource> Station(double bytesPerSecond, int loops) {
    const Mp3Format format{44100, 2, 30.0, 440.0};
    PacedSourceOptions options;
    options.bytesPerSecond = bytesPerSecond < 0 ? Mp3BytesPerSecond(format) : bytesPerSecond;
    options.loopCount = loops;
    options.titles = {{0, "Fault - Matrix"}};
    return std::make_unique<PacedSource>(MakeMp3Tone(format), options);
}

void ExpectWholeArchives(const TempDir& dir, const MockServer& destination) {
    const std::vector<std::string> archives = ArchiveFiles(dir);
    const std::vector<std::size_t> streams = StreamConnections(destination);
    ASSERT_EQ(archives.size(), streams.size());
    for (std::size_t i = 0; i < archives.size(); ++i) {
        ExpectWholeMp3Archive(archives[i], AfterLogin(destination.Received(streams[i])));
    }
}

// The run was stopped after a destination that took nothing was given up and logged in again:
// it said why and ended cleanly, with no descriptor left open and whole archives.
void ExpectLostForSilenceThenReconnected(FaultRun& run, const MockServer& destination,
                                         const TempDir& dir) {
    const ChildResult& result = run.Finish();
    EXPECT_TRUE(StoppedWithDone(result)) << run.Shown();
    EXPECT_NE(result.out.find("reconnecting in 1 secs"), std::string::npos) << run.Shown();
    EXPECT_NE(result.err.find("transcode: Disconnected from output server 127.0.0.1:" +
                              std::to_string(destination.port()) +
                              " (the server took nothing for 10 seconds), reconnecting in 1 secs"),
              std::string::npos)
        << run.Shown();
    EXPECT_EQ(run.LeftOpen(), std::vector<std::string>{});
    ExpectWholeArchives(dir, destination);
}

class DestinationFaultTest : public ::testing::Test {
  protected:
    TempDir dir_;
};

// Once the socket buffers are full every send waits; after the 10-second socket time-out without a
// byte taken the connection counts as lost, and with AutomaticReconnect 1 the relay logs in again.
// Nothing waits beyond that time-out, and a stop ends the second wait at once.
TEST_F(DestinationFaultTest, DestinationThatNeverReadsIsLostAndReconnected) {
    // Faster than real time and long: while the destination is away the relay drops the source's
    // audio as it comes, and the source must outlast the outage.
    std::unique_ptr<PacedSource> station = Station(40000, 10);
    ASSERT_TRUE(station->listening());
    MockServer destination;
    destination.SetReply(kAccepted);
    destination.SetStopReadingAfterReply(true);
    StationConfig settings = FaultRunSettings(dir_, station->url(), destination.port());
    settings.Set("BitrateNominal", "320");
    settings.Set("AutomaticReconnect", "1");
    settings.Set("AutomaticReconnectSecs", "1");
    settings.Set("OutputPacing", "0");  // the unpaced station fills the socket buffers at once
    FaultRun run(dir_, settings, kRunTimeoutMs);

    ASSERT_TRUE(WaitForStreamConnections(destination, 1, 15000)) << run.Shown();
    const auto connected = std::chrono::steady_clock::now();
    // The buffers fill within a few seconds, the time-out is 10 s, the wait 1 s.
    ASSERT_TRUE(WaitForStreamConnections(destination, 2, 25000)) << run.Shown();
    EXPECT_LT(std::chrono::steady_clock::now() - connected, 20s);
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(run.Terminate(), 2s);

    ExpectLostForSilenceThenReconnected(run, destination, dir_);
}

// At the relay's own pace the socket buffers would take minutes to fill (the kernel lets ours grow
// to megabytes); the destination's acknowledgements show within seconds that it takes nothing. Its
// small receive buffer closes its window soon after it stops reading, as a full one would.
TEST_F(DestinationFaultTest, PacedRelayNoticesADestinationThatStopsReadingWithinSeconds) {
    std::unique_ptr<PacedSource> station = Station(-1, 10);
    ASSERT_TRUE(station->listening());
    MockServer destination;
    destination.SetReceiveBufferBytes(4096);
    destination.SetReply(kAccepted);
    destination.SetStopReadingAfterReply(true);
    StationConfig settings = FaultRunSettings(dir_, station->url(), destination.port());
    settings.Set("AutomaticReconnect", "1");
    settings.Set("AutomaticReconnectSecs", "1");
    FaultRun run(dir_, settings, kRunTimeoutMs);

    ASSERT_TRUE(WaitForStreamConnections(destination, 1, 15000)) << run.Shown();
    const auto connected = std::chrono::steady_clock::now();
    // 10 s without an acknowledgement, then the 1-second wait before the new login.
    ASSERT_TRUE(WaitForStreamConnections(destination, 2, 25000)) << run.Shown();
    EXPECT_GE(std::chrono::steady_clock::now() - connected, 10s);
    EXPECT_LT(std::chrono::steady_clock::now() - connected, 16s);
    EXPECT_LT(run.Terminate(), 2s);

    ExpectLostForSilenceThenReconnected(run, destination, dir_);
}

// A reset in the middle of the stream: with AutomaticReconnect 0 the run ends within seconds, as
// a stop request ends it, although the station would play for minutes.
TEST_F(DestinationFaultTest, DestinationResetMidSendEndsTheRun) {
    std::unique_ptr<PacedSource> station = Station(-1, 10);
    ASSERT_TRUE(station->listening());
    MockServer destination;
    destination.SetReply(kAccepted);
    FaultRun run(dir_, FaultRunSettings(dir_, station->url(), destination.port()), kRunTimeoutMs);

    ASSERT_TRUE(destination.WaitForBytes(0, 40000, 15000)) << run.Shown();
    const std::string read = destination.Received(0);
    destination.ResetAll();
    const auto reset = std::chrono::steady_clock::now();
    const ChildResult& result = run.Finish();
    EXPECT_LT(std::chrono::steady_clock::now() - reset, 5s);

    EXPECT_TRUE(EndedWithDone(result)) << run.Shown();
    EXPECT_EQ(station->CompletedStreams(), 0);
    EXPECT_NE(result.out.find("(Was disconnected from server)"), std::string::npos)
        << run.Shown();
    EXPECT_NE(result.err.find("transcode: Was disconnected from server 127.0.0.1:" +
                              std::to_string(destination.port()) + ": "),
              std::string::npos)
        << run.Shown();
    EXPECT_EQ(run.LeftOpen(), std::vector<std::string>{});
    const std::vector<std::string> archives = ArchiveFiles(dir_);
    ASSERT_EQ(archives.size(), 1u);
    ExpectWholeMp3Archive(archives[0], AfterLogin(read));
}

}  // namespace
