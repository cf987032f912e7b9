// The bounded PCM queue between the source side and the output loop, and the loop itself: order,
// back-pressure and its release, abandoning; silence while no source plays, pacing of a source
// faster than real time, and the one flush and disconnect at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "engine/libzembril.h"
#include "engine/pcm_queue.h"
#include "tests/support/audio_check.h"
#include "tests/support/engine_session.h"
#include "tests/support/mock_server.h"
#include "tests/support/stream_feed.h"

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
    const std::vector<float> second = Ramp(44100, 2, 0.0f);  // a whole second: the limit
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
    std::thread producer([&] {
        result = static_cast<int>(queue.Push(second.data(), 8000, 1, 8000, always));
    });
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

    MockServer server_;
};

// No source plays: the destination gets encoded silence at the pace of the clock, and the end of
// the run flushes and disconnects once.
TEST_F(OutputLoopTest, SilenceKeepsTheDestinationFedAtRealTimePace) {
    Engine().sourceReconnect = 1;
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
        Engine().outputPacing = pacing;
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

}  // namespace
