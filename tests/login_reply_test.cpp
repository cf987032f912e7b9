// Login replies against loopback mock servers: what each protocol accepts, what it refuses (with
// the server's words, masked, in an Error line), a server that hangs up, and a reply that arrives
// in pieces.
#include <gtest/gtest.h>

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
        EXPECT_EQ(Engine().shoutcastAccepted, reply.expectedAccepted);
    } else {
        EXPECT_EQ(Statuses(), kLoginRefused);
        EXPECT_EQ(Engine().streamSocket, -1);
        EXPECT_EQ(Engine().connected.load(), 0);
        EXPECT_TRUE(next->WaitForClosed(0, kWaitMs));
        // Nothing after the password went out. A mock that hangs up at the first bytes may
        // have closed before the line end arrived, so the line end itself is optional.
        const std::string received = next->Received(0);
        EXPECT_TRUE(received == "hackme\r\n" || received == "hackme") << received;
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, ShoutcastReplyTest,
                         ::testing::Values(ReplyCase{"OK2\r\nicy-caps:11\r\n\r\n", false, 1, 1},
                                           ReplyCase{"OK\r\n", false, 1, 0},
                                           ReplyCase{"invalid password\r\n", false, 0, 0},
                                           ReplyCase{"", true, 0, 0}));

TEST_F(LoginReplyTest, IcecastMp3LoginRefusedByAnErrorText) {
    MockServer server;
    server.SetReply("ERROR - Bad Password\r\n");
    ConfigureDestination(ServerKind::kIcecast, server.port());
    EXPECT_EQ(ConnectToServer(), 0);
    EXPECT_EQ(Statuses(), kLoginRefused);
    EXPECT_EQ(Engine().connected.load(), 0);
    EXPECT_NE(LogText().find("Error(libzembril:"), std::string::npos) << LogText();
    EXPECT_NE(LogText().find("Login refused by 127.0.0.1:" + std::to_string(server.port()) +
                             ": ERROR - Bad Password\n"),
              std::string::npos)
        << LogText();
}

TEST_F(LoginReplyTest, IcecastWithOggOutputRefusedByAnErrorText) {
    MockServer server;
    server.SetReply("ERROR - Bad Password\r\n");
    ConfigureDestination(ServerKind::kIcecast, server.port());
    ConfigureOggOutput("4");
    EXPECT_EQ(ConnectToServer(), 0);
    EXPECT_EQ(Statuses(), kLoginRefused);
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

    EXPECT_EQ(Statuses(), reply.expectedResult == 1 ? kConnectedWithoutPassword : kLoginRefused);
    if (reply.expectedResult == 0) {
        EXPECT_EQ(Engine().streamSocket, -1);
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
                  "HTTP/1.0 401 Authentication Required"},
        ReplyCase{"HTTP/1.0 403 Mountpoint in use\r\n\r\n", false, 0, 0,
                  "HTTP/1.0 403 Mountpoint in use"},
        ReplyCase{"OK2\r\n", false, 0, 0, "OK2"},
        // Control bytes of a hostile server are masked in the log.
        ReplyCase{"HTTP/1.0 403 \x1b[2J\x07Go away\r\n", false, 0, 0, "HTTP/1.0 403 ?[2J?Go away"},
        ReplyCase{"", true, 0, 0, "the server closed the connection without a reply"}));

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

}  // namespace
