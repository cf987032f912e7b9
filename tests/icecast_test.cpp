// Logins and title updates against a real Icecast2 server on loopback: the Icecast2 protocol
// with MP3 and Ogg output, and the Shoutcast protocol through a <shoutcast-mount>.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/icecast_server.h"

namespace {

using Texts = std::vector<std::string>;

constexpr int kListedWaitMs = 10000;
constexpr int kThreeSeconds = 3 * 44100;

class IcecastTest : public EngineSessionTest {
  protected:
    static void SetUpTestSuite() {
        if (IcecastServer::Available()) server_ = std::make_unique<IcecastServer>();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        SKIP_WITHOUT_ICECAST();
        EngineSessionTest::SetUp();
        ASSERT_TRUE(server_->started()) << server_->failure();
    }

    void ConnectWith(ServerKind kind, const std::string& mount, const std::string& password) {
        ConfigureDestination(kind, server_->port(), password);
        Engine().serverMountpoint.assign(mount);
    }

    // Waits for the status to show the title for the mount, streaming a little MP3 audio between
    // looks as a running source does (Icecast applies an MP3 title with the next data it reads).
    void ExpectTitle(const std::string& mount, const std::string& title, bool streamMp3) {
        std::string seen;
        for (int look = 0; look < 100; ++look) {
            if (FindMountTitle(server_->FetchStatusJson(), mount, seen) && seen == title) return;
            if (streamMp3) EncodeMp3Tone(4410);
            usleep(100000);
        }
        ADD_FAILURE() << "mount " << mount << " shows \"" << seen << "\", not \"" << title << "\"\n"
                      << server_->FetchStatusJson() << "\n"
                      << server_->logs();
    }

    static std::unique_ptr<IcecastServer> server_;
};

std::unique_ptr<IcecastServer> IcecastTest::server_;

TEST_F(IcecastTest, Icecast2LoginWithTheSourcePassword) {
    ConnectWith(ServerKind::kIcecast2, "/login.mp3", server_->sourcePassword());
    ASSERT_EQ(ConnectToServer(), 1);
    EXPECT_EQ(Statuses(), (Texts{"Connecting", "Socket connected", "Success", "Connected"}));
    EncodeMp3Tone(44100);
    EXPECT_TRUE(server_->WaitForMount("/login.mp3", kListedWaitMs));
    DisconnectFromServer();
}

TEST_F(IcecastTest, Icecast2LoginWithAWrongPasswordFails) {
    ConnectWith(ServerKind::kIcecast2, "/refused.mp3", "not-the-password");
    EXPECT_EQ(ConnectToServer(), 0);
    EXPECT_EQ(Statuses(), (Texts{"Connecting", "Socket connected", "Password Failed"}));
    EXPECT_EQ(Engine().streamSocket, -1);
    EXPECT_EQ(Engine().connected.load(), 0);
}

TEST_F(IcecastTest, Mp3TitleUpdatesReachTheMount) {
    const std::string mount = "/titles.mp3";
    ConnectWith(ServerKind::kIcecast2, mount, server_->sourcePassword());
    ASSERT_EQ(ConnectToServer(), 1);
    EncodeMp3Tone(kThreeSeconds);
    ASSERT_TRUE(server_->WaitForMount(mount, kListedWaitMs)) << server_->FetchStatusJson();

    // Reserved characters arrive as they were once the server decodes the query.
    const std::string first = "Artist - Song & More: 100% \"live\" (#1; a+b=c?)";
    EXPECT_EQ(SetCurrentTitle(first.c_str()), 1);
    ExpectTitle(mount, first, true);

    EncodeMp3Tone(44100);
    EXPECT_EQ(SetCurrentTitle("Second - Song"), 1);
    ExpectTitle(mount, "Second - Song", true);
    DisconnectFromServer();
}

TEST_F(IcecastTest, ShoutcastProtocolLogsInAboveAndUpdatesOnTheBasePort) {
    ConnectWith(ServerKind::kShoutcast, "/unused", server_->sourcePassword());
    ASSERT_EQ(ConnectToServer(), 1);
    EXPECT_EQ(Statuses(),
              (Texts{"Connecting", "Socket connected", "Password OK", "Success", "Connected"}));
    EXPECT_EQ(Engine().shoutcastAccepted, 1);  // Icecast answers "OK2"
    EncodeMp3Tone(kThreeSeconds);
    ASSERT_TRUE(server_->WaitForMount(IcecastServer::kShoutcastMount, kListedWaitMs))
        << server_->FetchStatusJson();

    EXPECT_EQ(SetCurrentTitle("Shout Artist - Shout Song"), 1);
    ExpectTitle(IcecastServer::kShoutcastMount, "Shout Artist - Shout Song", true);
    DisconnectFromServer();
}

TEST_F(IcecastTest, ShoutcastProtocolWithAWrongPasswordFails) {
    ConnectWith(ServerKind::kShoutcast, "/unused", "not-the-password");
    EXPECT_EQ(ConnectToServer(), 0);
    EXPECT_EQ(Statuses(), (Texts{"Connecting", "Socket connected", "Password Failed"}));
}

TEST_F(IcecastTest, OggTitleChangeStartsAStreamTheServerReads) {
    const std::string mount = "/chain.ogg";
    ConnectWith(ServerKind::kIcecast2, mount, server_->sourcePassword());
    ConfigureOggOutput("4");
    Engine().currentTitle.assign("First Artist - First Song");
    ASSERT_EQ(ConnectToServer(), 1);
    EncodeVorbisTone(kThreeSeconds);
    ExpectTitle(mount, "First Song", false);

    // What the encoding does for a title change: end the stream, start one with new comments.
    ASSERT_GT(EndOggStream(), 0);
    Engine().currentTitle.assign("Second Artist - Second Song");
    ASSERT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(kThreeSeconds, 660.0);
    ExpectTitle(mount, "Second Song", false);
    DisconnectFromServer();
}

}  // namespace
