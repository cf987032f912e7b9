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
    std::uint64_t edge;    // right edge of the peer's window
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
    {"PeerThatReadsNothingIsGoneAfterTheTimeOut",
     {{0, 1000, 5000, true},
      {5, 2000, 5000, true},
      {9.9, 3000, 5000, true},
      {10, 3100, 5000, false}}},
    // A paused peer's kernel widens the window it offers as data arrives: a quarter of it here.
    {"PeerWhoseWindowOnlyCreepsIsGone",
     {{0, 1000, 5000, true},
      {5, 9000, 7000, true},
      {9.9, 17000, 9000, true},
      {10, 17100, 9025, false}}},
    // The last send is never acknowledged yet when the look follows it.
    {"ReadingPeerOneSendBehindKeepsUp",
     {{0, 4000, 5000, true},
      {4, 8000, 9000, true},
      {8, 12000, 13000, true},
      {12, 16000, 17000, true},
      {16, 20000, 21000, true}}},
    {"PeerThatReadsThreeQuartersKeepsUpUntilItStops",
     {{0, 0, 5000, true},
      {9, 8000, 11000, true},
      {18, 16000, 17000, true},
      {27, 24000, 23000, true},
      {36.9, 32000, 23000, true},
      {37, 32000, 23000, false}}},
    // Half of it is what a paused peer's window may creep by in its first seconds.
    {"PeerThatReadsHalfIsGone",
     {{0, 0, 5000, true}, {5, 8000, 9000, true}, {10, 16000, 13000, false}}},
    // The clock starts with the first bytes handed after the peer was last seen keeping up.
    {"IdleSenderDoesNotCountAgainstThePeer",
     {{0, 1000, 5000, true},
      {60, 1000, 5000, true},
      {61, 2000, 5000, true},
      {69.9, 3000, 5000, true},
      {70, 3100, 5000, false}}},
    {"NewConnectionForgetsTheWaitOfTheOldOne",
     {{0, 1000, 5000, true},
      {9, 2000, 5000, true},
      {9.5, 100, 200, true, true},
      {19.4, 200, 200, true},
      {19.5, 300, 200, false}}},
};

class SendProgressTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(SendProgressTest, TimesOutOnlyWhileThePeerReadsTooLittle) {
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
        EXPECT_EQ(progress.PeerKeepsUp(look.edge, at), look.keepsUp);
    }
}

INSTANTIATE_TEST_SUITE_P(Looks, SendProgressTest, ::testing::ValuesIn(kProgressCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a destination on loopback that stops reading after the login ----

// The server's receive buffer: a small one closes its window soon after its last read; the
// system's default one takes longer to fill than the time-out (as a stopped Icecast2 does).
class StalledDestinationTest : public EngineSessionTest,
                               public ::testing::WithParamInterface<int> {};

// The sends stay far below what our send buffer holds, so it never fills and no send waits: only
// the peer's window can show that the destination takes nothing.
TEST_P(StalledDestinationTest, SendFailsWithinFifteenSecondsOfTheLastRead) {
    MockServer destination;
    if (GetParam() > 0) destination.SetReceiveBufferBytes(GetParam());
    destination.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    destination.SetStopReadingAfterReply(true);
    ConfigureDestination(ServerKind::kIcecast2, destination.port());
    ASSERT_EQ(ConnectToServer(), 1);
    // The server read the login before it replied.
    const Clock::time_point lastRead = Clock::now();
    const int stream = Engine().destination.streamSocket;
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
    EXPECT_EQ(Engine().destination.sendFailure.load(), ETIMEDOUT);
    EXPECT_GE(*failedAfter, 9500ms);
    EXPECT_LE(*failedAfter, 15s);
    EXPECT_LT(failingSendTook, 1s);  // no wait for room: the acknowledgements told
    DisconnectFromServer();
}

INSTANTIATE_TEST_SUITE_P(ReceiveBuffers, StalledDestinationTest, ::testing::Values(4096, 0),
                         [](const auto& info) {
                             return info.param > 0 ? std::string("Small") : std::string("Default");
                         });

}  // namespace
