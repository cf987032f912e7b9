// CMySocket::ConnectTo against listeners on 127.0.0.1: connecting, refusals and unresolvable names
// with their reasons, the time-outs, a connect given up for a stop request, and sends on a
// connection the peer has closed.
#include "common/socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/descriptor.h"
#include "tests/support/loopback.h"
#include "tests/support/wait_until.h"

namespace {

// A listening socket on 127.0.0.1 and a free port, closed at the end of the test.
class Listener {
  public:
    Listener() : descriptor_(ListenOnLoopback(0, 4)), port_(BoundPort(descriptor_)) {}
    ~Listener() { Close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::uint16_t port() const { return port_; }
    int Accept() { return accept(descriptor_, nullptr, nullptr); }
    void Close() {
        if (descriptor_ >= 0) close(descriptor_);
        descriptor_ = -1;
    }

  private:
    int descriptor_ = -1;
    std::uint16_t port_ = 0;
};

// A port on which nothing listens any more.
std::uint16_t ClosedPort() {
    Listener listener;
    return listener.port();
}

TEST(CMySocket, ConnectsToADottedAddressAndToLocalhost) {
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    CMySocket connection;
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        DescriptorCapture err(2);
        const Descriptor connected(connection.ConnectTo(host, listener.port()));
        EXPECT_GE(connected.get(), 0);
        const Descriptor accepted(listener.Accept());
        EXPECT_GE(accepted.get(), 0);
        EXPECT_EQ(err.Finish(), "");
    }
}

TEST(CMySocket, SetsTenSecondSendAndReceiveTimeouts) {
    Listener listener;
    CMySocket connection;
    const Descriptor connected(connection.ConnectTo("127.0.0.1", listener.port()));
    ASSERT_GE(connected.get(), 0);
    for (const int option : {SO_SNDTIMEO, SO_RCVTIMEO}) {
        timeval timeout{};
        socklen_t length = sizeof timeout;
        ASSERT_EQ(getsockopt(connected.get(), SOL_SOCKET, option, &timeout, &length), 0);
        EXPECT_EQ(timeout.tv_sec, 10);
        EXPECT_EQ(timeout.tv_usec, 0);
    }
}

TEST(CMySocket, RefusedConnectionGivesMinusOneSilentlyWithTheReason) {
    const std::uint16_t port = ClosedPort();
    ASSERT_NE(port, 0);
    CMySocket connection;
    DescriptorCapture err(2);
    DescriptorCapture out(1);
    std::string failure;
    EXPECT_EQ(connection.ConnectTo("127.0.0.1", port, nullptr, &failure), -1);
    EXPECT_EQ(out.Finish(), "");
    EXPECT_EQ(err.Finish(), "");
    EXPECT_EQ(failure, "Connection refused");
}

TEST(CMySocket, AnUnresolvableHostIsNamedInTheReason) {
    // The empty label makes the resolver give up before it asks any name server.
    const char* const kHost = "nohost..invalid";
    CMySocket connection;
    DescriptorCapture err(2);
    std::string failure;
    EXPECT_EQ(connection.ConnectTo(kHost, 8000, nullptr, &failure), -1);
    // The caller's log line says it (and the logger puts it on standard error, whole).
    EXPECT_EQ(err.Finish(), "");
    EXPECT_EQ(failure.rfind(std::string("cannot find host ") + kHost + " (", 0), 0u) << failure;
}

std::atomic<bool> giveUpNow{false};
bool GiveUpNow() {
    return giveUpNow.load();
}

// A listener whose accept queue is full drops further handshakes, so a connect to it waits: the
// give-up check (a stop request) ends that wait long before the 10-second time-out.
TEST(CMySocket, AConnectThatWaitsEndsWhenTheCheckGivesUp) {
    const int full = ListenOnLoopback(0, 0);
    ASSERT_GE(full, 0);
    const Descriptor listening(full);
    const std::uint16_t port = BoundPort(full);
    std::vector<int> queued;
    CMySocket connection;
    giveUpNow = false;
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        giveUpNow = true;
    });
    // The first connections fill the queue; the one that waits is given up.
    const auto start = std::chrono::steady_clock::now();
    std::string failure;
    for (int attempt = 0; attempt < 8 && failure.empty(); ++attempt) {
        const int descriptor = connection.ConnectTo("127.0.0.1", port, GiveUpNow, &failure);
        if (descriptor >= 0) queued.push_back(descriptor);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    for (const int descriptor : queued) close(descriptor);
    EXPECT_EQ(failure, "stop requested");
    EXPECT_LT(took, std::chrono::seconds(kSocketTimeoutSeconds));
}

// In a child, so that a SIGPIPE that was not ignored ends the child and not the test program.
TEST(CMySocket, SendingToAClosedPeerFailsInsteadOfEndingTheProcess) {
    const ChildResult result = RunInChild([] {
        std::signal(SIGPIPE, SIG_DFL);
        Listener listener;
        CMySocket connection;
        const Descriptor connected(connection.ConnectTo("127.0.0.1", listener.port()));
        if (connected.get() < 0) _exit(3);
        close(listener.Accept());
        listener.Close();
        const char block[4096] = {};
        // The first sends may still be accepted by the kernel; the reset follows shortly after.
        const bool failed =
            WaitUntil([&] { return send(connected.get(), block, sizeof block, 0) < 0; }, 1000);
        if (!failed) _exit(4);
        std::printf("send failed: %s\n", errno == EPIPE ? "EPIPE" : "other");
        std::fflush(stdout);
        _exit(0);
    });
    ASSERT_TRUE(result.exited) << "ended by signal " << result.signalNumber;
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.out.find("send failed"), std::string::npos);
}

}  // namespace
