// The title sender: title requests leave the engine's thread at once, a flood of titles costs the
// admin interface a few requests a second with the last title always last, and an admin port
// that never takes the connection holds neither the audio nor the end of the run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/loopback.h"
#include "tests/support/mock_server.h"
#include "tests/support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWaitMs = 5000;

void ConnectedToIcecast2(uint16_t port) {
    ConfigureDestination(ServerKind::kIcecast2, port, "hackme");
    Engine().destination.connected = 1;
}

std::string SongOf(const std::string& request) {
    const size_t start = request.find("&song=");
    const size_t end = request.find(" HTTP/1.0\r\n");
    if (start == std::string::npos || end == std::string::npos) return "<no song parameter>";
    return request.substr(start + 6, end - start - 6);
}

// Waits until the server's latest connection is closed and carries the song; its request then.
bool WaitForLastSong(MockServer& server, const std::string& song) {
    return WaitUntil(
        [&] {
            const size_t count = server.ConnectionCount();
            return count > 0 && server.WaitForClosed(count - 1, 50) &&
                   SongOf(server.Received(count - 1)) == song;
        },
        milliseconds(kWaitMs), milliseconds(20));
}

TEST_F(EngineSessionTest, AFloodOfTitlesCostsAFewRequestsASecondAndTheLastArrives) {
    MockServer server;
    ConnectedToIcecast2(server.port());
    // Four hundred titles, one every 5 ms or more: two seconds or longer.
    constexpr int kTitles = 400;
    const auto start = Clock::now();
    for (int title = 1; title <= kTitles; ++title) {
        EXPECT_EQ(SetCurrentTitle(("Song " + std::to_string(title)).c_str()), 1);
        std::this_thread::sleep_for(milliseconds(5));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    EXPECT_TRUE(WaitForLastSong(server, "Song%20" + std::to_string(kTitles)));
    const size_t requests = server.ConnectionCount();
    // One request every quarter of a second at most, and the last one.
    EXPECT_LE(requests, static_cast<size_t>(seconds * 4) + 2) << seconds << " s of titles";
    // Every request was sent whole, and its bytes were reported from the sender's thread.
    uint64_t bytes = 0;
    for (size_t connection = 0; connection < requests; ++connection) {
        ASSERT_TRUE(server.WaitForClosed(connection, kWaitMs));
        const std::string request = server.Received(connection);
        EXPECT_EQ(request.rfind("GET /admin/metadata?pass=hackme&mode=updinfo", 0), 0u);
        EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
        bytes += request.size();
    }
    EXPECT_EQ(BytesReported(), bytes);
}

TEST_F(EngineSessionTest, TheLastTitleGoesOutAtTheDisconnect) {
    MockServer server;
    ConnectedToIcecast2(server.port());
    SetCurrentTitle("First");
    SetCurrentTitle("Second");
    SetCurrentTitle("Last");
    DisconnectFromServer();
    EXPECT_TRUE(WaitForLastSong(server, "Last"));
    // "First" went at once; "Second" was replaced while it waited.
    EXPECT_LE(server.ConnectionCount(), 2u);
}

// A listener whose accept queue is full: the handshake of a further connection is dropped, so a
// connect to it waits as a connect to a hung admin interface does.
class FullListener {
  public:
    FullListener() : listening_(ListenOnLoopback(0, 0)) {
        for (int attempt = 0; attempt < 8 && listening_ >= 0; ++attempt) {
            const int queued = socket(AF_INET, SOCK_STREAM, 0);
            fcntl(queued, F_SETFL, O_NONBLOCK);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port());
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(queued, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            pollfd watched{queued, POLLOUT, 0};
            queued_.push_back(queued);
            if (poll(&watched, 1, 300) == 0) {
                full_ = true;
                break;
            }
        }
    }
    ~FullListener() {
        for (const int descriptor : queued_) close(descriptor);
        if (listening_ >= 0) close(listening_);
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    bool full() const { return full_; }
    uint16_t port() const { return BoundPort(listening_); }

  private:
    int listening_;
    bool full_ = false;
    std::vector<int> queued_;
};

enum class RunEnd { kDisconnect, kStopRequest, kReset };

struct HungAdminCase {
    const char* name;
    RunEnd end;
    milliseconds longestEnd;  // well below the socket's 10-second time-out
    const char* logged;       // the line that tells of the request given up
    bool isError;             // a stop is no failure; an admin port that never answers is
};

void PrintTo(const HungAdminCase& value, std::ostream* out) {
    *out << value.name;
}

class HungAdminTest : public EngineSessionTest,
                      public ::testing::WithParamInterface<HungAdminCase> {
  protected:
    void TearDown() override {
        Control().stopRequested = 0;
        EngineSessionTest::TearDown();
    }
};

TEST_P(HungAdminTest, HoldsNeitherTheTitlesNorTheEndOfTheRun) {
    FullListener admin;
    ASSERT_TRUE(admin.full());
    ConnectedToIcecast2(admin.port());

    // Today's engine thread would wait here for the socket's time-out.
    const auto posted = Clock::now();
    EXPECT_EQ(SetCurrentTitle("Artist - Song"), 1);
    EXPECT_EQ(SetCurrentTitle("Artist - Next Song"), 1);
    EXPECT_LT(Clock::now() - posted, milliseconds(500));
    std::this_thread::sleep_for(milliseconds(300));

    const auto ending = Clock::now();
    switch (GetParam().end) {
        case RunEnd::kDisconnect:
            DisconnectFromServer();
            break;
        case RunEnd::kStopRequest:
            Control().stopRequested = 1;
            DisconnectFromServer();
            break;
        case RunEnd::kReset:
            ResetEngineState();
            break;
    }
    EXPECT_LT(Clock::now() - ending, GetParam().longestEnd);
    const std::string address = "127.0.0.1:" + std::to_string(admin.port());
    const std::string logged = GetParam().logged;
    EXPECT_NE(LogText().find(logged.substr(0, logged.find('@')) + address +
                             logged.substr(logged.find('@') + 1) + "\n"),
              std::string::npos)
        << LogText();
    // One line for the one request on its way; the one that waited is not begun.
    const std::string log = LogText();
    std::size_t errors = 0;
    for (std::size_t at = log.find("Error("); at != std::string::npos;
         at = log.find("Error(", at + 1)) {
        ++errors;
    }
    EXPECT_EQ(errors, GetParam().isError ? 1u : 0u) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Ends, HungAdminTest,
    ::testing::Values(
        HungAdminCase{"Disconnect", RunEnd::kDisconnect, milliseconds(2500),
                      "Cannot connect to server @: no answer within a second of the disconnect",
                      true},
        HungAdminCase{"StopRequest", RunEnd::kStopRequest, milliseconds(1000),
                      "Title update to @ given up: stop requested", false},
        HungAdminCase{"EngineReset", RunEnd::kReset, milliseconds(2500),
                      "Cannot connect to server @: no answer within a second of the disconnect",
                      true}),
    [](const auto& info) { return std::string(info.param.name); });

// After a Shoutcast-style login, Icecast's Shoutcast port refuses /admin.cgi (401); with a mount
// configured the titles then go to its mount interface, the refused one again and every later one
// at once. A classic server's answer, or a refusal without a mount to turn to, changes nothing.
struct AdminAnswerCase {
    const char* name;
    const char* adminCgiAnswer;
    const char* mount;
    std::vector<std::string> expectedPaths;  // of the requests, in order, for titles One and Two
};

void PrintTo(const AdminAnswerCase& c, std::ostream* out) {
    *out << c.name;
}

class ShoutcastAdminTest : public EngineSessionTest,
                           public ::testing::WithParamInterface<AdminAnswerCase> {};

std::string PathOf(const std::string& request) {
    const size_t start = request.find(' ');
    const size_t end = request.find('?');
    if (start == std::string::npos || end == std::string::npos) return request;
    return request.substr(start + 1, end - start - 1);
}

TEST_P(ShoutcastAdminTest, RefusedAdminCgiTurnsToTheMountInterface) {
    const AdminAnswerCase& c = GetParam();
    MockServer server;
    server.SetReplyChooser([&c](const std::string& firstBytes) {
        return firstBytes.rfind("GET /admin.cgi", 0) == 0 ? std::string(c.adminCgiAnswer)
                                                          : std::string("HTTP/1.0 200 OK\r\n\r\n");
    });
    server.SetCloseAfterReply(true);
    ConfigureDestination(ServerKind::kShoutcast, server.port(), "hackme");
    Engine().settings.serverMountpoint.assign(c.mount);
    Engine().destination.shoutcastAccepted = 1;
    Engine().destination.connected = 1;

    ASSERT_EQ(SetCurrentTitle("One"), 1);
    ASSERT_TRUE(WaitForLastSong(server, "One"));
    ASSERT_EQ(SetCurrentTitle("Two"), 1);
    ASSERT_TRUE(WaitForLastSong(server, "Two"));

    std::vector<std::string> paths;
    for (size_t connection = 0; connection < server.ConnectionCount(); ++connection) {
        paths.push_back(PathOf(server.Received(connection)));
    }
    EXPECT_EQ(paths, c.expectedPaths);
    const std::string last = server.Received(server.ConnectionCount() - 1);
    if (paths.back() == "/admin/metadata") {
        EXPECT_NE(last.find("&mount=/stream&song=Two HTTP/1.0\r\nAuthorization: Basic "
                            "c291cmNlOmhhY2ttZQ==\r\n"),
                  std::string::npos)
            << last;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ShoutcastAdminTest,
    ::testing::Values(
        AdminAnswerCase{"IcecastShoutcastPort", "HTTP/1.0 401 Authentication Required\r\n\r\n",
                        "/stream", {"/admin.cgi", "/admin/metadata", "/admin/metadata"}},
        AdminAnswerCase{"ClassicServer", "HTTP/1.0 200 OK\r\n\r\n<html></html>", "/stream",
                        {"/admin.cgi", "/admin.cgi"}},
        AdminAnswerCase{"RefusedWithoutMount", "HTTP/1.0 401 Unauthorized\r\n\r\n", "",
                        {"/admin.cgi", "/admin.cgi"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
