// What the destination has taken of the stream: a destination that holds the connection open but
// stops reading is noticed by the time-out on its acknowledgements, long before the socket buffers
// are full; a slow one, or a sender that pauses, is not taken for gone.
#include "engine/send_progress.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/mock_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// ---- the rule, on a clock of its own ----

struct Look {
    double seconds;        // since the first look
    std::uint64_t handed;  // bytes handed to the kernel so far
    std::uint64_t queued;  // of them still unacknowledged
    bool keepsUp;
    bool restartBefore = false;  // a new connection begins before this look
};

struct ProgressCase {
    const char* name;
    std::vector<Look> looks;
};

void PrintTo(const ProgressCase& c, std::ostream* out) {
    *out << c.name;
}

const ProgressCase kProgressCases[] = {
    {"PeerThatTakesNothingIsGoneAfterTheTimeOut",
     {{0, 1000, 500, true},
      {5, 2000, 1500, true},
      {9.9, 3000, 2500, true},
      {10, 3100, 2600, false}}},
    {"SlowPeerThatTakesALittleKeepsUp",
     {{0, 1000, 500, true},
      {9, 2000, 1499, true},
      {18, 3000, 2498, true},
      {27, 4000, 3497, true},
      {36.9, 5000, 4497, true},
      {37, 5000, 4497, false}}},
    // The clock starts with the first bytes that wait, not with the last look.
    {"IdleSenderDoesNotCountAgainstThePeer",
     {{0, 1000, 0, true},
      {60, 2000, 1000, true},
      {69.9, 2100, 1100, true},
      {70, 2200, 1200, false}}},
    {"BytesAcknowledgedDuringAPauseCountAsProgress",
     {{0, 1000, 500, true}, {30, 2000, 500, true}, {39.9, 3000, 1500, true}}},
    // Login bytes that are still queued at the first look of the audio.
    {"MoreQueuedThanHandedIsNoProgress",
     {{0, 100, 300, true}, {9.9, 200, 400, true}, {10, 300, 500, false}}},
    {"NewConnectionForgetsTheWaitOfTheOldOne",
     {{0, 1000, 500, true},
      {9, 2000, 1500, true},
      {9.5, 100, 100, true, true},
      {19.4, 200, 200, true},
      {19.5, 300, 300, false}}},
};

class SendProgressTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(SendProgressTest, TimesOutOnlyWhileBytesWaitWithoutProgress) {
    SendProgress progress;
    const Clock::time_point start = Clock::now();
    std::uint64_t handed = 0;
    for (const Look& look : GetParam().looks) {
        SCOPED_TRACE(look.seconds);
        if (look.restartBefore) {
            progress.Restart();
            handed = 0;
        }
        progress.Handed(look.handed - handed);
        handed = look.handed;
        const auto at = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(look.seconds));
        EXPECT_EQ(progress.PeerKeepsUp(look.queued, at), look.keepsUp);
    }
}

INSTANTIATE_TEST_SUITE_P(Looks, SendProgressTest, ::testing::ValuesIn(kProgressCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a destination on loopback that stops reading after the login ----

class StalledDestinationTest : public EngineSessionTest {};

// The sends stay far below what our send buffer holds, so it never fills and no send waits: only
// the acknowledgements can show that the destination takes nothing. The server's small receive
// buffer closes its window soon after its last read.
TEST_F(StalledDestinationTest, SendFailsWithinFifteenSecondsOfTheLastRead) {
    MockServer destination;
    destination.SetReceiveBufferBytes(4096);
    destination.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    destination.SetStopReadingAfterReply(true);
    ConfigureDestination(ServerKind::kIcecast2, destination.port());
    ASSERT_EQ(ConnectToServer(), 1);
    // The server read the login before it replied.
    const Clock::time_point lastRead = Clock::now();
    const int stream = Engine().streamSocket;
    const int sendBufferBytes = 1 << 20;
    setsockopt(stream, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes);

    const std::vector<unsigned char> piece(2048, 0x5A);  // 20 kB/s
    std::optional<Clock::duration> failedAfter;
    Clock::duration failingSendTook{};
    Clock::time_point tick = lastRead;
    while (!failedAfter && Clock::now() - lastRead < 20s) {
        tick += 100ms;
        std::this_thread::sleep_until(tick);
        pollfd room{stream, POLLOUT, 0};
        ASSERT_EQ(poll(&room, 1, 0), 1) << "our send buffer filled up";
        const Clock::time_point before = Clock::now();
        if (SendEncoded(piece.data(), piece.size()) < 0) {
            failingSendTook = Clock::now() - before;
            failedAfter = Clock::now() - lastRead;
        }
    }
    ASSERT_TRUE(failedAfter.has_value()) << "the sends went on for 20 s";
    EXPECT_EQ(Engine().sendFailure.load(), ETIMEDOUT);
    EXPECT_GE(*failedAfter, 9500ms);
    EXPECT_LE(*failedAfter, 15s);
    EXPECT_LT(failingSendTook, 1s);  // no wait for room: the acknowledgements told
    DisconnectFromServer();
}

}  // namespace
