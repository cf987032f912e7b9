// Hostile destination servers: login replies of 64 KiB, replies with zero bytes in them, servers
// that hang up at the login or accept the source and then drop it. The login reads the reply's
// first line (at most 1024 bytes of it) and decides by its first bytes only; a dropped stream
// ends in "Was disconnected from server", after which blocks are dropped without a send and the
// source input is told to end the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/audio_check.h"
#include "tests/support/engine_session.h"
#include "tests/support/mock_server.h"
#include "tests/support/stream_feed.h"

namespace {

constexpr int kWaitMs = 15000;

std::string Big(std::string start, char fill) {
    start.resize(64 * 1024, fill);
    return start;
}

struct ReplyCase {
    const char* name;
    ServerKind kind;
    bool oggOutput;
    std::string reply;
    bool hangUpAfterReply;
    int connected;     // ConnectToServer's result
    int titleUpdates;  // shoutcastAccepted for a Shoutcast login
};

const ReplyCase kReplyCases[] = {
    {"Icecast2HugeReply", ServerKind::kIcecast2, false, Big("HTTP/1.0 200 OK\r\n", 'x'), false, 1,
     0},
    {"Icecast2ZeroBytes", ServerKind::kIcecast2, false, Big("", '\0'), false, 0, 0},
    {"Icecast2StatusThenZeroBytes", ServerKind::kIcecast2, false, Big("HTTP/1.0 200", '\0'), false,
     1, 0},
    {"Icecast2ZeroByteFirst", ServerKind::kIcecast2, false,
     std::string("\0HTTP/1.0 200 OK\r\n\r\n", 20), false, 0, 0},
    {"Icecast2CutStatus", ServerKind::kIcecast2, false, "HTTP/1.0 2", true, 0, 0},
    {"Icecast2HangsUp", ServerKind::kIcecast2, false, "", true, 0, 0},
    {"ShoutcastHugeReply", ServerKind::kShoutcast, false, Big("OK2", '\n'), false, 1, 1},
    {"ShoutcastZeroByteAfterOk", ServerKind::kShoutcast, false, Big(std::string("OK\0", 3), 'x'),
     false, 1, 0},
    {"ShoutcastZeroBytesFirst", ServerKind::kShoutcast, false, std::string("\0\0\0OK2\r\n", 8),
     false, 0, 0},
    {"IcecastOggHugeReply", ServerKind::kIcecast, true, Big("OK2", 'K'), false, 1, 1},
    {"IcecastOggHangsUp", ServerKind::kIcecast, true, "", true, 0, 0},
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
    *out << c.name;
}

class HostileDestinationTest : public EngineSessionTest {
  protected:
    // The server that takes the login: for Shoutcast the one a port above the base.
    MockServer& StartServer(ServerKind kind) {
        if (kind == ServerKind::kShoutcast) {
            auto pair = MockServer::NeighbourPair();
            base_ = std::move(pair.first);
            login_ = std::move(pair.second);
        } else {
            login_ = std::make_unique<MockServer>();
        }
        EXPECT_TRUE(login_ && login_->listening());
        ConfigureDestination(kind, base_ ? base_->port() : login_->port());
        return *login_;
    }
    static bool Reported(const std::string& text) {
        const std::vector<std::string> statuses = Statuses();
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }
    std::unique_ptr<MockServer> base_;
    std::unique_ptr<MockServer> login_;
};

class ReplyTest : public HostileDestinationTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, LoginDecidesByTheReplysStart) {
    const ReplyCase& c = GetParam();
    MockServer& server = StartServer(c.kind);
    if (c.oggOutput) ConfigureOggOutput("2");
    server.SetReply(c.reply);
    server.SetCloseAfterReply(c.hangUpAfterReply);
    ASSERT_EQ(ConnectToServer(), c.connected);
    if (c.connected == 0) {
        // None of these replies names the password; the status quotes them (masked) instead.
        EXPECT_FALSE(Reported("Password Failed"));
        const std::string last = Statuses().back();
        EXPECT_EQ(last.rfind("Login refused: ", 0), 0u) << last;
        EXPECT_EQ(last.find('\0'), std::string::npos);
        EXPECT_LE(last.size(), 300u);
        EXPECT_EQ(Engine().destination.streamSocket, -1);
        EXPECT_TRUE(server.WaitForClosed(0, kWaitMs));
        return;
    }
    EXPECT_TRUE(Reported("Connected"));
    if (c.kind != ServerKind::kIcecast2) {
        EXPECT_EQ(Engine().destination.shoutcastAccepted, c.titleUpdates);
    }
    SineGenerator tone(44100, {440, 550});
    EXPECT_EQ(FeedTone(tone, 44100, 0.5), 1);
    FlushEncoder();
    // Read before the disconnect: closing with the rest of the reply unread resets the
    // connection, and the server may then lose what it had not read yet.
    EXPECT_TRUE(server.WaitForBytes(0, 5000, kWaitMs));
    DisconnectFromServer();
    EXPECT_GT(AfterLogin(server.Received(0)).size(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyTest, ::testing::ValuesIn(kReplyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that takes the source and then drops it: the next sends fail, the engine disconnects
// once with the status, and later blocks are dropped without a send and without a crash. (The
// server drops it once the login is complete: a server that hangs up right after its reply fails
// the sends of the Ogg header pages, and so the login, see login_reply_test.cpp.)
class DroppedStreamTest : public HostileDestinationTest,
                          public ::testing::WithParamInterface<bool> {};

TEST_P(DroppedStreamTest, ServerDropsTheSourceAfterAcceptingIt) {
    MockServer& server = StartServer(ServerKind::kIcecast2);
    if (GetParam()) ConfigureOggOutput("2");
    server.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    ASSERT_EQ(ConnectToServer(), 1);
    server.CloseAll();
    ASSERT_TRUE(server.WaitForClosed(0, kWaitMs));
    SineGenerator tone(44100, {440, 550});
    bool dropped = false;
    for (int block = 0; block < 2000 && !dropped; ++block) {
        const std::vector<float> samples = tone.Next(kDecoderBlockFrames);
        dropped = ProcessSamples(samples.data(), kDecoderBlockFrames, 2, 44100) == 0;
    }
    ASSERT_TRUE(dropped);
    EXPECT_TRUE(Reported("Was disconnected from server"));
    EXPECT_NE(LogText().find("Error(libzembril:"), std::string::npos) << LogText();
    EXPECT_NE(LogText().find(
                  "Was disconnected from server 127.0.0.1:" + std::to_string(server.port()) + ": "),
              std::string::npos)
        << LogText();
    EXPECT_TRUE(Control().destinationLost.load());  // the input ends the run
    EXPECT_EQ(Engine().destination.connected.load(), 0);
    EXPECT_EQ(Engine().destination.streamSocket, -1);
    const std::uint64_t bytesBefore = BytesReported();
    EXPECT_EQ(FeedTone(tone, 44100, 0.2), 1);
    EXPECT_EQ(FlushEncoder(), 0);
    EXPECT_EQ(BytesReported(), bytesBefore);
}

INSTANTIATE_TEST_SUITE_P(Outputs, DroppedStreamTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Ogg" : "Mp3"); });

}  // namespace
