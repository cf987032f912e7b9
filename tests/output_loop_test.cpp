// The bounded PCM queue between the source side and the output loop, and the loop itself: order,
// back-pressure and its release, abandoning; silence while no source plays, pacing of a source
// faster than real time, the one flush and disconnect at the end, and an end that does not wait
// for a reconnection under way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/libzembril.h"
#include "engine/pcm_queue.h"
#include "tests/support/audio_check.h"
#include "tests/support/engine_session.h"
#include "tests/support/loopback.h"
#include "tests/support/mock_server.h"
#include "tests/support/stream_feed.h"
#include "tests/support/wait_until.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<float> Ramp(int frameCount, int channels, float start) {
    std::vector<float> samples(static_cast<std::size_t>(frameCount * channels));
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = start + static_cast<float>(i);
    return samples;
}

// ---- the queue ----

TEST(PcmQueueTest, BlocksComeOutInOrderWithTheirFormat) {
    PcmQueue queue;
    const std::vector<float> first = Ramp(4, 2, 0.0f);
    const std::vector<float> second = Ramp(3, 1, 100.0f);
    const auto always = [] { return true; };
    EXPECT_EQ(queue.Push(first.data(), 4, 2, 44100, always), PcmQueue::PushResult::kQueued);
    EXPECT_EQ(queue.Push(second.data(), 3, 1, 48000, always), PcmQueue::PushResult::kQueued);
    queue.EndInput(false);

    PcmBlock block;
    ASSERT_EQ(queue.Take(block, Clock::now()), PcmQueue::TakeResult::kBlock);
    EXPECT_EQ(block.samples, first);
    EXPECT_EQ(block.channels, 2);
    EXPECT_EQ(block.sampleRate, 44100);
    queue.Recycle(block);
    ASSERT_EQ(queue.Take(block, Clock::now()), PcmQueue::TakeResult::kBlock);
    EXPECT_EQ(block.samples, second);
    EXPECT_EQ(block.frameCount, 3);
    EXPECT_EQ(block.sampleRate, 48000);
    // Ended and empty: no waiting for a block that cannot come.
    EXPECT_EQ(queue.Take(block, Clock::now() + 10s), PcmQueue::TakeResult::kEnded);
}

TEST(PcmQueueTest, FullQueueHoldsTheProducerUntilTheConsumerTakes) {
    PcmQueue queue;
    const std::vector<float> second = Ramp(44100, 2, 0.0f);  // a whole second: over the limit
    const auto always = [] { return true; };
    ASSERT_EQ(queue.Push(second.data(), 44100, 2, 44100, always), PcmQueue::PushResult::kQueued);

    std::atomic<bool> pushed{false};
    std::thread producer([&] {
        queue.Push(second.data(), 44100, 2, 44100, always);
        pushed = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(pushed.load()) << "a full queue must hold the producer back";
    PcmBlock block;
    ASSERT_EQ(queue.Take(block, Clock::now() + 1s), PcmQueue::TakeResult::kBlock);
    producer.join();
    EXPECT_TRUE(pushed.load());
    EXPECT_NEAR(queue.QueuedSeconds(), 1.0, 1e-6);
}

TEST(PcmQueueTest, WaitingProducerGivesUpWhenToldAndOnAbandon) {
    PcmQueue queue;
    const std::vector<float> second = Ramp(8000, 1, 0.0f);
    const auto always = [] { return true; };
    ASSERT_EQ(queue.Push(second.data(), 8000, 1, 8000, always), PcmQueue::PushResult::kQueued);
    EXPECT_EQ(queue.Push(second.data(), 8000, 1, 8000, [] { return false; }),
              PcmQueue::PushResult::kDropped);

    std::atomic<int> result{-1};
    std::thread producer(
        [&] { result = static_cast<int>(queue.Push(second.data(), 8000, 1, 8000, always)); });
    std::this_thread::sleep_for(150ms);
    queue.EndInput(true);
    producer.join();
    EXPECT_EQ(result.load(), static_cast<int>(PcmQueue::PushResult::kDropped));
    PcmBlock block;
    EXPECT_EQ(queue.Take(block, Clock::now()), PcmQueue::TakeResult::kEnded)
        << "an abandoned queue drops what it held";
}

// Blocks without a rate still count against the limit: a flood of them cannot grow the queue.
TEST(PcmQueueTest, BlocksWithoutARateStillFillTheQueue) {
    PcmQueue queue;
    const std::vector<float> samples = Ramp(44100, 1, 0.0f);
    const auto always = [] { return true; };
    ASSERT_EQ(queue.Push(samples.data(), 44100, 1, 0, always), PcmQueue::PushResult::kQueued);
    EXPECT_EQ(queue.Push(samples.data(), 44100, 1, 0, [] { return false; }),
              PcmQueue::PushResult::kDropped);
}

// ---- the loop ----

class OutputLoopTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        ASSERT_TRUE(server_.listening());
        server_.SetReply("HTTP/1.0 200 OK\r\n\r\n");
        ConfigureDestination(ServerKind::kIcecast2, server_.port());
        ConfigureMp3Output();
    }

    void TearDown() override {
        FinishOutputLoop(true);
        EngineSessionTest::TearDown();
    }

    double ReceivedSeconds() {
        const DecodedAudio audio = DecodeMp3(AfterLogin(server_.Received(0)));
        return audio.sampleRate > 0 ? static_cast<double>(audio.frameCount()) / audio.sampleRate
                                    : 0.0;
    }

    static long StatusCount(const std::string& text) {
        const StatusTexts statuses = Statuses();
        return std::count(statuses.begin(), statuses.end(), text);
    }

    MockServer server_;
};

// No source plays: the destination gets encoded silence at the pace of the clock, and the end of
// the run flushes and disconnects once.
TEST_F(OutputLoopTest, SilenceKeepsTheDestinationFedAtRealTimePace) {
    Engine().settings.sourceReconnect = 1;
    ASSERT_EQ(ConnectToServer(), 1);
    StartOutputLoop();
    SetSourcePlaying(false);
    std::this_thread::sleep_for(2500ms);
    FinishOutputLoop(false);
    ASSERT_TRUE(server_.WaitForClosed(0, 10000));

    const double heard = ReceivedSeconds();
    EXPECT_GT(heard, 2.0) << "silence fills the time without a source";
    EXPECT_LT(heard, 3.6) << "but no faster than real time";
    const DecodedAudio audio = DecodeMp3(AfterLogin(server_.Received(0)));
    float loudest = 0.0f;
    for (float sample : audio.samples) loudest = std::max(loudest, std::fabs(sample));
    EXPECT_LT(loudest, 0.01f);
    const StatusTexts statuses = Statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Disconnected"), 1);
}

// Without SourceReconnect an idle loop sends nothing of its own.
TEST_F(OutputLoopTest, NoSilenceWithoutSourceReconnect) {
    ASSERT_EQ(ConnectToServer(), 1);
    StartOutputLoop();
    std::this_thread::sleep_for(1500ms);
    FinishOutputLoop(false);
    ASSERT_TRUE(server_.WaitForClosed(0, 10000));
    EXPECT_LT(ReceivedSeconds(), 0.1);
}

// A source far faster than real time is held back: with pacing the output runs at most about
// 2 s ahead of the clock (plus the queue), without it everything goes out at once.
TEST_F(OutputLoopTest, PacingHoldsAFastSourceToRealTime) {
    for (const int pacing : {1, 0}) {
        SCOPED_TRACE(pacing);
        Engine().settings.outputPacing = pacing;
        MockServer server;
        ASSERT_TRUE(server.listening());
        server.SetReply("HTTP/1.0 200 OK\r\n\r\n");
        ConfigureDestination(ServerKind::kIcecast2, server.port());
        ASSERT_EQ(ConnectToServer(), 1);
        StartOutputLoop();
        const std::vector<float> block(2 * 4410, 0.0f);
        const auto start = Clock::now();
        for (int i = 0; i < 60; ++i) ProcessSamples(block.data(), 4410, 2, 44100);  // 6 s
        const double fedIn = std::chrono::duration<double>(Clock::now() - start).count();
        FinishOutputLoop(false);
        ASSERT_TRUE(server.WaitForClosed(0, 10000));
        if (pacing == 1) {
            EXPECT_GT(fedIn, 2.5) << "6 s of audio may run at most ~3 s ahead";
        } else {
            EXPECT_LT(fedIn, 2.0);
        }
    }
}

// ---- the end of the input while the destination is being reconnected ----

// Where the loop waits when the input ends: before the next attempt, in the attempt's connect
// (a listener whose queue is full never answers it), or for the reply to its login (a server that
// never gives one).
enum class PendingWait { kReconnectDelay, kConnect, kLoginReply };

struct PendingWaitCase {
    const char* name;
    PendingWait wait;
    const char* loggedStep;  // the Info line's step; nullptr: none (no attempt runs)
};

void PrintTo(const PendingWaitCase& c, std::ostream* out) {
    *out << c.name;
}

class EndOfInputTest : public OutputLoopTest,
                       public ::testing::WithParamInterface<PendingWaitCase> {};

TEST_P(EndOfInputTest, EndsAPendingWaitForANewConnectionAtOnce) {
    const PendingWaitCase& c = GetParam();
    EngineState& engine = Engine();
    engine.settings.sourceReconnect = 1;  // silence keeps the connection sending
    engine.settings.autoReconnect = 1;
    engine.settings.reconnectSecs = c.wait == PendingWait::kReconnectDelay ? 30 : 1;
    ASSERT_EQ(ConnectToServer(), 1);
    StartOutputLoop();
    SetSourcePlaying(false);
    ASSERT_TRUE(server_.WaitForBytes(0, 2000, 10000));

    // The destination goes away; the loop notices at its next send.
    const uint16_t port = server_.port();
    int fullListener = -1;
    int queued = -1;
    if (c.wait == PendingWait::kLoginReply) {
        server_.SetReply("");
        server_.ResetAll();
        ASSERT_TRUE(server_.WaitForConnections(2, 15000));
        ASSERT_TRUE(server_.WaitForBytes(1, 6, 15000));  // the login is out, no reply comes
    } else {
        server_.Stop();
        if (c.wait == PendingWait::kConnect) {
            fullListener = ListenOnLoopback(port, 0);
            ASSERT_GE(fullListener, 0);
            queued = ConnectToLoopback(port);
        }
        const char* reached = c.wait == PendingWait::kConnect
                                  ? "Connecting"
                                  : "Disconnected from output server, reconnecting in 30 secs";
        ASSERT_TRUE(WaitUntil(
            [&] { return StatusCount(reached) >= (c.wait == PendingWait::kConnect ? 2 : 1); },
            15s));
    }
    std::this_thread::sleep_for(300ms);  // well into the wait

    const auto ending = Clock::now();
    FinishOutputLoop(false);
    EXPECT_LT(Clock::now() - ending, 2s) << "the join waited for the destination";

    EXPECT_EQ(StatusCount("Connected"), 1) << "no connection after the end";
    if (c.loggedStep != nullptr) {
        EXPECT_EQ(Statuses().back(), "Stopped");
        EXPECT_NE(LogText().find(std::string("Info(libzembril:")), std::string::npos);
        EXPECT_NE(LogText().find(std::string("The transfer ended while ") + c.loggedStep +
                                 " 127.0.0.1:" + std::to_string(port) + "\n"),
                  std::string::npos)
            << LogText();
    }
    if (queued >= 0) close(queued);
    if (fullListener >= 0) close(fullListener);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, EndOfInputTest,
    ::testing::Values(PendingWaitCase{"ReconnectDelay", PendingWait::kReconnectDelay, nullptr},
                      PendingWaitCase{"Connect", PendingWait::kConnect, "connecting to"},
                      PendingWaitCase{"LoginReply", PendingWait::kLoginReply,
                                      "waiting for the login reply of"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
