// Login replies against loopback mock servers: what each protocol accepts, what it refuses (with
// the server's words, masked, in an Error line and in a status that says why), a server that hangs
// up or never answers, a reply that arrives in pieces, and a login that cannot be sent.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/mock_server.h"

namespace {

constexpr int kWaitMs = 5000;

const char* const kHttpAccepted = "HTTP/1.0 200 OK\r\n\r\n";

using LoginReplyTest = EngineSessionTest;

struct ReplyCase {
    const char* reply;
    bool closeWithoutReply;
    int expectedResult;
    int expectedAccepted;
    const char* loggedReason = "";  // what a refusal's Error line quotes
    const char* status = "";        // a refusal's last status
};

void PrintTo(const ReplyCase& value, std::ostream* out) {
    *out << "reply \"" << value.reply << (value.closeWithoutReply ? "\" then close" : "\"");
}

class ShoutcastReplyTest : public EngineSessionTest,
                           public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ShoutcastReplyTest, ReplyDecidesTheLogin) {
    const ReplyCase& reply = GetParam();
    auto [base, next] = MockServer::NeighbourPair();
    ASSERT_TRUE(base && next);
    next->SetReply(reply.reply);
    next->SetCloseAfterReply(reply.closeWithoutReply);
    ConfigureDestination(ServerKind::kShoutcast, base->port());

    EXPECT_EQ(ConnectToServer(), reply.expectedResult);

    if (reply.expectedResult == 1) {
        EXPECT_EQ(Statuses(), kConnectedWithPassword);
        EXPECT_EQ(Engine().destination.shoutcastAccepted, reply.expectedAccepted);
    } else {
        EXPECT_EQ(Statuses(), LoginRefusedWith(reply.status));
        EXPECT_EQ(Engine().destination.streamSocket, -1);
        EXPECT_EQ(Engine().destination.connected.load(), 0);
        EXPECT_TRUE(next->WaitForClosed(0, kWaitMs));
        // Nothing after the password went out. A mock that hangs up at the first bytes may
        // have closed before the line end arrived, so the line end itself is optional.
        const std::string received = next->Received(0);
        EXPECT_TRUE(received == "hackme\r\n" || received == "hackme") << received;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ShoutcastReplyTest,
    ::testing::Values(ReplyCase{"OK2\r\nicy-caps:11\r\n\r\n", false, 1, 1},
                      ReplyCase{"OK\r\n", false, 1, 0},
                      ReplyCase{"invalid password\r\n", false, 0, 0, "", "Password Failed"},
                      ReplyCase{"Stream in use\r\n", false, 0, 0, "",
                                "Login refused: Stream in use"},
                      ReplyCase{"", true, 0, 0, "", "Login refused: connection closed"}));

TEST_F(LoginReplyTest, IcecastMp3LoginRefusedByAnErrorText) {
    MockServer server;
    server.SetReply("ERROR - Bad Password\r\n");
    ConfigureDestination(ServerKind::kIcecast, server.port());
    EXPECT_EQ(ConnectToServer(), 0);
    EXPECT_EQ(Statuses(), LoginRefusedWith("Password Failed"));
    EXPECT_EQ(Engine().destination.connected.load(), 0);
    EXPECT_NE(LogText().find("Error(libzembril:"), std::string::npos) << LogText();
    EXPECT_NE(LogText().find("Login refused by 127.0.0.1:" + std::to_string(server.port()) +
                             ": ERROR - Bad Password\n"),
              std::string::npos)
        << LogText();
}

TEST_F(LoginReplyTest, IcecastWithOggOutputRefusedByAnErrorText) {
    MockServer server;
    server.SetReply("ERROR - Mount Point Taken or Invalid\r\n");
    ConfigureDestination(ServerKind::kIcecast, server.port());
    ConfigureOggOutput("4");
    EXPECT_EQ(ConnectToServer(), 0);
    EXPECT_EQ(Statuses(), LoginRefusedWith("Login refused: ERROR - Mount Point Taken or Invalid"));
}

class Icecast2ReplyTest : public EngineSessionTest,
                          public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Icecast2ReplyTest, OnlyAnHttpSuccessStatusAcceptsTheSource) {
    const ReplyCase& reply = GetParam();
    MockServer server;
    server.SetReply(reply.reply);
    server.SetCloseAfterReply(reply.closeWithoutReply);
    ConfigureDestination(ServerKind::kIcecast2, server.port());

    EXPECT_EQ(ConnectToServer(), reply.expectedResult);

    EXPECT_EQ(Statuses(), reply.expectedResult == 1 ? kConnectedWithoutPassword
                                                    : LoginRefusedWith(reply.status));
    if (reply.expectedResult == 0) {
        EXPECT_EQ(Engine().destination.streamSocket, -1);
        EXPECT_TRUE(server.WaitForClosed(0, kWaitMs));
        // The server's own words, so that the operator can tell the refusals apart.
        EXPECT_NE(LogText().find("Login refused by 127.0.0.1:" + std::to_string(server.port()) +
                                 ": " + reply.loggedReason + "\n"),
                  std::string::npos)
            << LogText();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Icecast2ReplyTest,
    ::testing::Values(
        ReplyCase{"HTTP/1.0 200 OK\r\n\r\n", false, 1, 0},
        ReplyCase{"HTTP/1.1 204 No Content\r\n\r\n", false, 1, 0},
        ReplyCase{"HTTP/1.0 401 Authentication Required\r\n\r\n", false, 0, 0,
                  "HTTP/1.0 401 Authentication Required", "Password Failed"},
        ReplyCase{"HTTP/1.0 403 Mountpoint in use\r\n\r\n", false, 0, 0,
                  "HTTP/1.0 403 Mountpoint in use", "Login refused: Mountpoint in use"},
        // Icecast's way: the reason follows the headers, and the server hangs up.
        ReplyCase{"HTTP/1.0 403 Forbidden\r\nServer: Icecast 2.4.4\r\nConnection: Close\r\n"
                  "Content-Type: text/plain; charset=utf-8\r\n\r\nMountpoint in use",
                  true, 0, 0, "HTTP/1.0 403 Forbidden (Mountpoint in use)",
                  "Login refused: Mountpoint in use"},
        // A page of markup gives its text; one that says nothing leaves the reason phrase.
        ReplyCase{"HTTP/1.1 409 Conflict\r\nContent-Type: text/html\r\n\r\n<html><body>\n"
                  "<h1>Mount /live is busy</h1></body></html>\r\n",
                  true, 0, 0, "HTTP/1.1 409 Conflict (Mount /live is busy)",
                  "Login refused: Mount /live is busy"},
        ReplyCase{"HTTP/1.0 403 Forbidden\r\n\r\n<html>\n</html>", true, 0, 0,
                  "HTTP/1.0 403 Forbidden", "Login refused: Forbidden"},
        ReplyCase{"OK2\r\n", false, 0, 0, "OK2", "Login refused: OK2"},
        // Control bytes of a hostile server are masked in the log and the status.
        ReplyCase{"HTTP/1.0 403 \x1b[2J\x07Go away\r\n", false, 0, 0, "HTTP/1.0 403 ?[2J?Go away",
                  "Login refused: ?[2J?Go away"},
        ReplyCase{"", true, 0, 0, "the server closed the connection without a reply",
                  "Login refused: connection closed"}));

TEST_F(LoginReplyTest, AMountWithoutItsSlashIsNamedWhenTheServerHangsUp) {
    MockServer server;
    server.SetReply("");
    server.SetCloseAfterReply(true);
    ConfigureDestination(ServerKind::kIcecast2, server.port());
    Engine().settings.serverMountpoint.assign("live.mp3");
    EXPECT_EQ(ConnectToServer(), 0);
    EXPECT_EQ(Statuses(), LoginRefusedWith("Login refused: mount without \"/\""));
    EXPECT_NE(LogText().find("the server closed the connection without a reply (the mount "
                             "\"live.mp3\" does not begin with \"/\")"),
              std::string::npos)
        << LogText();
}

// A server that takes the login and never answers: after the socket time-out (10 seconds).
TEST_F(LoginReplyTest, AReplyThatNeverComesIsNoRefusedPassword) {
    MockServer server;  // no reply
    ConfigureDestination(ServerKind::kIcecast2, server.port());
    EXPECT_EQ(ConnectToServer(), 0);
    EXPECT_EQ(Statuses(), LoginRefusedWith("No login reply"));
    EXPECT_NE(LogText().find("Error(libzembril:"), std::string::npos) << LogText();
    EXPECT_NE(LogText().find("No login reply from 127.0.0.1:" + std::to_string(server.port()) +
                             ": no reply within 10 seconds\n"),
              std::string::npos)
        << LogText();
}

// A status line that arrives in pieces is read to its end before it is judged.
TEST_F(LoginReplyTest, LoginReplyArrivingInPiecesIsAccepted) {
    for (ServerKind kind : {ServerKind::kIcecast2, ServerKind::kIcecast, ServerKind::kShoutcast}) {
        ClearStatuses();
        auto [base, next] = MockServer::NeighbourPair();
        ASSERT_TRUE(base && next);
        MockServer& login = kind == ServerKind::kShoutcast ? *next : *base;
        login.SetReply(kind == ServerKind::kIcecast2 ? kHttpAccepted : "OK2\r\n");
        login.SetReplyPieces(1, 50);
        ConfigureDestination(kind, base->port());
        EXPECT_EQ(ConnectToServer(), 1) << "server kind " << static_cast<int>(kind);
        EXPECT_EQ(Statuses().back(), "Connected");
        DisconnectFromServer();
    }
}

// ---- a login that cannot be sent ----

// The connection's sending side is shut when the engine reports this status, so that the login's
// next send fails (EPIPE) at a known point.
const char* shutAtStatus = "";

void ShutSendingAtStatus(const char* text) {
    RecordServerStatus(text);
    if (std::string(text) == shutAtStatus) shutdown(Engine().destination.streamSocket, SHUT_WR);
}

struct UnsentCase {
    const char* name;
    ServerKind kind;
    bool oggOutput;
    const char* shutAt;
    const char* logged;  // the Error line's start
};

void PrintTo(const UnsentCase& value, std::ostream* out) {
    *out << value.name;
}

class UnsentLoginTest : public EngineSessionTest,
                        public ::testing::WithParamInterface<UnsentCase> {};

TEST_P(UnsentLoginTest, AFailedSendIsAFailedLogin) {
    const UnsentCase& c = GetParam();
    auto [base, next] = MockServer::NeighbourPair();
    ASSERT_TRUE(base && next);
    MockServer& login = c.kind == ServerKind::kShoutcast ? *next : *base;
    login.SetReply(c.kind == ServerKind::kIcecast2 ? kHttpAccepted : "OK2\r\n");
    ConfigureDestination(c.kind, base->port());
    if (c.oggOutput) ConfigureOggOutput("4");
    shutAtStatus = c.shutAt;
    SetServerStatusSink(ShutSendingAtStatus);

    EXPECT_EQ(ConnectToServer(), 0);

    const std::vector<std::string> statuses = Statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Login failed");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), std::string("Connected")), 0);
    EXPECT_EQ(Engine().destination.connected.load(), 0);
    EXPECT_EQ(Engine().destination.streamSocket, -1);
    EXPECT_NE(LogText().find(std::string(c.logged) + " 127.0.0.1:" + std::to_string(login.port()) +
                             ": Broken pipe\n"),
              std::string::npos)
        << LogText();
}

INSTANTIATE_TEST_SUITE_P(
    Sends, UnsentLoginTest,
    ::testing::Values(UnsentCase{"Icecast2LoginBlock", ServerKind::kIcecast2, false,
                                 "Socket connected", "Cannot send the login to"},
                      UnsentCase{"ShoutcastPassword", ServerKind::kShoutcast, false,
                                 "Socket connected", "Cannot send the login to"},
                      UnsentCase{"ShoutcastHeaderBlock", ServerKind::kShoutcast, false,
                                 "Password OK", "Cannot send the login to"},
                      UnsentCase{"OggHeaderPages", ServerKind::kIcecast, true, "Password OK",
                                 "Cannot send the Ogg header pages to"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
