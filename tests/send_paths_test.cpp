// The two send paths: every byte goes out (through interruptions), a closed or stalled peer gives
// a negative result without a signal, and the byte counts reach bytesSentSink.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/mock_server.h"

namespace {

constexpr int kWaitMs = 5000;

class SendPathTest : public EngineSessionTest {
  protected:
    // The stream connection to the mock server, without a login.
    bool ConnectStream() {
        Engine().destination.streamSocket =
            Engine().destination.streamConnection.ConnectTo("127.0.0.1", server_.port());
        return Engine().destination.streamSocket >= 0;
    }

    MockServer server_;
};

TEST_F(SendPathTest, SendRequestSendsTheTextAndCountsIt) {
    ASSERT_TRUE(ConnectStream());
    const std::string text = "GET /admin.cgi?pass=x&mode=updinfo&song=y HTTP/1.0\r\n\r\n";
    EXPECT_EQ(SendRequest(Engine().destination.streamSocket, text.c_str()),
              static_cast<ssize_t>(text.size()));
    EXPECT_EQ(BytesReported(), text.size());
    ASSERT_TRUE(server_.WaitForBytes(0, text.size(), kWaitMs));
    EXPECT_EQ(server_.Received(0), text);
}

TEST_F(SendPathTest, NothingToSendIsNoSendAndNoCount) {
    ASSERT_TRUE(ConnectStream());
    const unsigned char nothing[1] = {0};
    EXPECT_EQ(SendEncoded(nothing, 0), 0);
    EXPECT_EQ(BytesReported(), 0u);
}

TEST_F(SendPathTest, SendEncodedDeliversEveryByteAndCountsIt) {
    ASSERT_TRUE(ConnectStream());

    // Far more than one send moves at once, so every byte needs the retry loop.
    std::vector<unsigned char> audio(8 * 1024 * 1024);
    for (size_t index = 0; index < audio.size(); ++index) audio[index] = index * 7 % 251;
    EXPECT_EQ(SendEncoded(audio.data(), audio.size()), static_cast<ssize_t>(audio.size()));

    EXPECT_EQ(BytesReported(), audio.size());
    ASSERT_TRUE(server_.WaitForBytes(0, audio.size(), 20000));
    EXPECT_TRUE(server_.Received(0) == std::string(audio.begin(), audio.end()));
}

void IgnoreSignal(int) {}

TEST_F(SendPathTest, SendEncodedCarriesOnAfterInterruptions) {
    ASSERT_TRUE(ConnectStream());

    // A signal handled without SA_RESTART ends a blocking send early with a short count (or
    // EINTR); the send must go on with the rest.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = IgnoreSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous);
    std::atomic<bool> sending{true};
    const pthread_t sender = pthread_self();
    std::thread interrupter([&] {
        while (sending) {
            pthread_kill(sender, SIGUSR1);
            usleep(100);
        }
    });
    const std::vector<unsigned char> audio(32 * 1024 * 1024, 0xA5);
    const ssize_t sent = SendEncoded(audio.data(), audio.size());
    sending = false;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(sent, static_cast<ssize_t>(audio.size()));
    EXPECT_TRUE(server_.WaitForBytes(0, audio.size(), 20000));
}

TEST_F(SendPathTest, SendToAServerThatHungUpIsNegativeAndNoSignal) {
    ASSERT_TRUE(ConnectStream());
    ASSERT_TRUE(server_.WaitForConnections(1, kWaitMs));
    server_.CloseAll();
    ASSERT_TRUE(server_.WaitForClosed(0, kWaitMs));

    // With the default action a broken pipe would end this test program.
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
    const std::vector<unsigned char> block(4096, 0x55);
    ssize_t result = 0;
    for (int attempt = 0; attempt < 100 && result >= 0; ++attempt) {
        result = SendEncoded(block.data(), block.size());
        if (result >= 0) usleep(10000);
    }
    std::signal(SIGPIPE, previous);
    EXPECT_LT(result, 0);
    EXPECT_LT(SendRequest(Engine().destination.streamSocket, "more"), 0);
}

TEST_F(SendPathTest, SendThatTimesOutIsNegative) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    timeval timeout{0, 200000};
    setsockopt(pair[0], SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    Engine().destination.streamSocket = pair[0];

    // Nobody reads the other end: the buffers fill and the send time-out ends the send.
    const std::vector<unsigned char> audio(16 * 1024 * 1024, 0);
    EXPECT_LT(SendEncoded(audio.data(), audio.size()), 0);

    Engine().destination.streamSocket = -1;
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
