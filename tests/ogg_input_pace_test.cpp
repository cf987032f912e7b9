// An Ogg Vorbis source faster than the relay: while the destination is connected, a chunk that
// finds the input buffer full waits for the decoder thread to make room, and nothing is lost. A
// stop request, or a decoder thread that has given up on the stream, still ends the transfer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "common/status.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/input_session.h"
#include "tests/support/ogg_fixture.h"

namespace {

using namespace std::chrono_literals;

std::atomic<bool> consumerHeld{false};
std::atomic<std::uint64_t> framesTaken{0};

// Takes the decoded audio slowly, or not at all while held, as a busy relay would.
int SlowConsumer(const float*, int frameCount, int, int) {
    while (consumerHeld.load()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(200us);
    framesTaken += static_cast<std::uint64_t>(frameCount);
    return 1;
}

class OggInputPaceTest : public InputSessionTest {
  protected:
    void SetUp() override {
        InputSessionTest::SetUp();
        consumerHeld = false;
        framesTaken = 0;
        VorbisDecoder().sampleConsumer = SlowConsumer;
        Engine().destination.connected.store(1);
        ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: application/ogg"}));
    }
    void TearDown() override {
        consumerHeld = false;
        InputSessionTest::TearDown();
    }

    // Feeds the bytes on a thread of its own; the result is the bytes accepted.
    static std::future<std::size_t> FeedInBackground(const std::string& bytes) {
        return std::async(std::launch::async, [&bytes] { return FeedBody(bytes, 16384); });
    }
};

// Noise makes about 1 MB for twenty seconds: six times the input buffer.
std::string LargeStation() {
    OggLinkSpec link{44100, 2, 20 * 44100, 440.0, 0.3f, {"TITLE=Large"}, 0.3f, 1.0f};
    return MakeOggVorbis({link});
}

TEST_F(OggInputPaceTest, SourceFasterThanTheRelayLosesNothing) {
    const std::string station = LargeStation();
    ASSERT_GT(station.size(), 4 * 20 * 8192u);
    std::future<std::size_t> fed = FeedInBackground(station);
    ASSERT_EQ(fed.wait_for(120s), std::future_status::ready);
    EXPECT_EQ(fed.get(), station.size());
    EXPECT_EQ(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
    FinishTransfer(Input(), false);
    EXPECT_EQ(framesTaken.load(), 20u * 44100);
}

TEST_F(OggInputPaceTest, StopRequestEndsTheWait) {
    consumerHeld = true;
    const std::string station = LargeStation();
    std::future<std::size_t> fed = FeedInBackground(station);
    EXPECT_EQ(fed.wait_for(500ms), std::future_status::timeout);  // waiting for room
    Control().stopRequested.store(1);
    ASSERT_EQ(fed.wait_for(10s), std::future_status::ready);
    EXPECT_LT(fed.get(), station.size());
    consumerHeld = false;
    FinishTransfer(Input(), true);
}

// The destination goes away while the chunk waits: the outage rule takes over and drops it.
TEST_F(OggInputPaceTest, LostDestinationEndsTheWait) {
    consumerHeld = true;
    const std::string station = LargeStation();
    std::future<std::size_t> fed = FeedInBackground(station);
    EXPECT_EQ(fed.wait_for(500ms), std::future_status::timeout);
    Engine().destination.connected.store(0);
    ASSERT_EQ(fed.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(fed.get(), station.size());
    EXPECT_NE(LogText().find("Output server not connected and the input buffer is full"),
              std::string::npos);
    consumerHeld = false;
    FinishTransfer(Input(), true);
}

// A source that is no Ogg stream: the decoder says why as soon as it gives up, and the transfer
// ends at the next chunk instead of filling the input buffer first.
TEST_F(OggInputPaceTest, SourceThatCannotBeOpenedEndsTheTransferAtOnce) {
    const std::string notOgg(1000000, 'x');
    std::future<std::size_t> fed = FeedInBackground(notOgg);
    ASSERT_EQ(fed.wait_for(10s), std::future_status::ready);
    EXPECT_LT(fed.get(), notOgg.size());
    const std::string log = LogText();
    EXPECT_NE(log.find("Error(oggvdecoder:"), std::string::npos) << log;
    EXPECT_NE(log.find("The Ogg source cannot be opened: it does not begin with an Ogg "
                       "page (its first bytes are \"xxxx\")"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("circular buffer is full"), std::string::npos) << log;
    FinishTransfer(Input(), false);
}

}  // namespace
