// A stop request while the engine waits for the destination: for a connect that gets no answer,
// for a login reply that never comes, and for a send to a server that takes nothing more. Each
// wait ends within a slice of the stop request instead of running to the 10-second time-out, and
// none of them is taken for a refused login or a lost connection: the status says "Stopped" and
// the log has an Info line, no Error.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "engine/libzembril.h"
#include "tests/support/audio_check.h"
#include "tests/support/engine_session.h"
#include "tests/support/loopback.h"
#include "tests/support/mock_server.h"
#include "tests/support/stream_feed.h"

namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 15000;
// Well below the 10-second socket time-out that the waits used to run into.
constexpr auto kPromptly = 2s;

class DestinationStopTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        Control().stopRequested = 0;
    }
    void TearDown() override {
        Control().stopRequested = 0;
        EngineSessionTest::TearDown();
    }

    static bool Reported(const std::string& text) {
        const std::vector<std::string> statuses = Statuses();
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }
    bool LoggedAnError() const { return LogText().find("Error(") != std::string::npos; }

    // Runs ConnectToServer on another thread, asks for the stop once `waiting` says the engine
    // is waiting, and returns its result; -1 when it did not end promptly after the stop.
    static int ConnectAndStop(const std::function<bool()>& waiting) {
        auto connecting = std::async(std::launch::async, [] { return ConnectToServer(); });
        EXPECT_TRUE(waiting());
        std::this_thread::sleep_for(200ms);
        Control().stopRequested = 1;
        if (connecting.wait_for(kPromptly) != std::future_status::ready) {
            connecting.wait();  // the socket time-out ends it
            return -1;
        }
        return connecting.get();
    }
};

TEST_F(DestinationStopTest, StopEndsALoginWaitingForAReply) {
    for (ServerKind kind : {ServerKind::kIcecast2, ServerKind::kIcecast, ServerKind::kShoutcast}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Control().stopRequested = 0;
        ClearStatuses();
        auto [base, next] = MockServer::NeighbourPair();
        ASSERT_TRUE(base && next);
        MockServer& login = kind == ServerKind::kShoutcast ? *next : *base;  // never replies
        ConfigureDestination(kind, base->port());

        EXPECT_EQ(ConnectAndStop([&] { return login.WaitForBytes(0, 6, kWaitMs); }), 0);

        EXPECT_EQ(Statuses().back(), "Stopped");
        EXPECT_EQ(Engine().destination.streamSocket, -1);
        EXPECT_TRUE(login.WaitForClosed(0, kWaitMs));
        EXPECT_NE(LogText().find("Info(libzembril:"), std::string::npos);
        EXPECT_NE(LogText().find("Stop requested while waiting for the login reply of 127.0.0.1:" +
                                 std::to_string(login.port()) + "\n"),
                  std::string::npos)
            << LogText();
    }
    EXPECT_FALSE(LoggedAnError()) << LogText();
}

// A listener whose accept queue is full drops further handshakes: the connect gets no answer.
TEST_F(DestinationStopTest, StopEndsAConnectWithoutAnswer) {
    const int listening = ListenOnLoopback(0, 0);
    ASSERT_GE(listening, 0);
    const uint16_t port = BoundPort(listening);
    const int queued = ConnectToLoopback(port);  // fills the queue
    ConfigureDestination(ServerKind::kIcecast2, port);

    EXPECT_EQ(ConnectAndStop([] { return true; }), 0);

    EXPECT_EQ(Statuses(), (StatusTexts{"Connecting", "Stopped"}));
    EXPECT_NE(LogText().find(
                  "Stop requested while connecting to 127.0.0.1:" + std::to_string(port) + "\n"),
              std::string::npos)
        << LogText();
    EXPECT_FALSE(LoggedAnError()) << LogText();
    close(queued);
    close(listening);
}

// The destination takes the login and then reads nothing: once the socket buffers are full every
// send waits. A stop request ends that wait; the connection is not taken for lost (the end of the
// run disconnects).
TEST_F(DestinationStopTest, StopEndsASendThatTheServerDoesNotTake) {
    MockServer server;
    server.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    server.SetStopReadingAfterReply(true);
    ConfigureDestination(ServerKind::kIcecast2, server.port());
    ASSERT_EQ(ConnectToServer(), 1);
    // Small buffers fill at once.
    const int stream = Engine().destination.streamSocket;
    const int sendBufferBytes = 8192;
    setsockopt(stream, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes);

    auto encoding = std::async(std::launch::async, [] {
        SineGenerator tone(44100, {440, 550});
        for (int block = 0; block < 200000; ++block) {
            const std::vector<float> samples = tone.Next(kDecoderBlockFrames);
            const int result = ProcessSamples(samples.data(), kDecoderBlockFrames, 2, 44100);
            if (result != 1) return result;
        }
        return 1;
    });
    // Full: the socket has no room left, so the encoding's next send waits (if it does not
    // already).
    bool full = false;
    for (int look = 0; look < 300 && !full; ++look) {
        std::this_thread::sleep_for(50ms);
        pollfd watched{stream, POLLOUT, 0};
        full = poll(&watched, 1, 0) == 0;
    }
    ASSERT_TRUE(full);
    std::this_thread::sleep_for(300ms);
    Control().stopRequested = 1;
    const bool endedPromptly = encoding.wait_for(kPromptly) == std::future_status::ready;
    EXPECT_TRUE(endedPromptly);
    EXPECT_EQ(encoding.get(), 0);

    EXPECT_FALSE(Reported("Was disconnected from server"));
    EXPECT_FALSE(Control().destinationLost.load());
    DisconnectFromServer();
}

}  // namespace
