// Logins and title updates against a real Icecast2 server on loopback: the Icecast2 protocol
// with MP3 and Ogg output, the server's reasons for refusing a login, and the Shoutcast protocol
// through a <shoutcast-mount>.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/text_encoding.h"
#include "engine/libzembril.h"
#include "tests/support/engine_session.h"
#include "tests/support/icecast_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/loopback.h"

namespace {

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
        Engine().settings.serverMountpoint.assign(mount);
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
    EXPECT_EQ(Statuses(), kConnectedWithoutPassword);
    EncodeMp3Tone(44100);
    EXPECT_TRUE(server_->WaitForMount("/login.mp3", kListedWaitMs));
    DisconnectFromServer();
}

// Another source on the mount, logged in by hand; -1 when the server did not take it.
int TakeMount(const IcecastServer& server, const std::string& mount) {
    const int descriptor = ConnectToLoopback(server.port());
    if (descriptor < 0) return -1;
    const std::string login = "SOURCE " + mount + " ICE/1.0\ncontent-type: audio/mpeg\n" +
                              "Authorization: Basic " +
                              Base64Encode("source:" + server.sourcePassword()) + "\n\n";
    char reply[256] = {};
    timeval timeout{5, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (send(descriptor, login.data(), login.size(), MSG_NOSIGNAL) < 0 ||
        recv(descriptor, reply, sizeof reply - 1, 0) <= 0 ||
        std::string(reply).find(" 200 ") == std::string::npos) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

// The Error line of a refused login, without its time stamp and source line.
std::string RefusalLine(const std::string& log) {
    for (const std::string& line : SplitLines(log)) {
        const std::string message = LogMessageOf(line);
        if (message.find("Login refused by ") != std::string::npos) return message;
    }
    return "";
}

struct RefusalCase {
    const char* name;
    const char* mount;
    bool wrongPassword;
    bool mountInUse;
    const char* told;    // what the Error line says after the server's address
    const char* status;  // the last status, which says why
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.name;
}

class IcecastRefusalTest : public IcecastTest, public ::testing::WithParamInterface<RefusalCase> {};

// Each with a status of its own, the server's words where it gives some; the Error line quotes
// the server.
TEST_P(IcecastRefusalTest, RefusedLoginIsLoggedWithTheServersStatusLine) {
    const RefusalCase& c = GetParam();
    int otherSource = -1;
    if (c.mountInUse) {
        otherSource = TakeMount(*server_, c.mount);
        ASSERT_GE(otherSource, 0) << server_->logs();
    }
    ConnectWith(ServerKind::kIcecast2, c.mount,
                c.wrongPassword ? "not-the-password" : server_->sourcePassword());

    EXPECT_EQ(ConnectToServer(), 0);

    EXPECT_EQ(Statuses(), LoginRefusedWith(c.status));
    EXPECT_EQ(Engine().destination.streamSocket, -1);
    EXPECT_EQ(Engine().destination.connected.load(), 0);
    const std::string line = RefusalLine(LogText());
    EXPECT_EQ(line, "Error(libzembril:N): Login refused by 127.0.0.1:" +
                        std::to_string(server_->port()) + ": " + c.told)
        << LogText();
    if (otherSource >= 0) close(otherSource);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, IcecastRefusalTest,
    ::testing::Values(RefusalCase{"WrongPassword", "/refused.mp3", true, false,
                                  "HTTP/1.0 401 Authentication Required (You need to "
                                  "authenticate)",
                                  "Password Failed"},
                      RefusalCase{"MountInUse", "/busy.mp3", false, true,
                                  "HTTP/1.0 403 Forbidden (Mountpoint in use)",
                                  "Login refused: Mountpoint in use"},
                      RefusalCase{"MountWithoutSlash", "noslash.mp3", false, false,
                                  "the server closed the connection without a reply (the mount "
                                  "\"noslash.mp3\" does not begin with \"/\")",
                                  "Login refused: mount without \"/\""}),
    [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(Statuses(), kConnectedWithPassword);
    EXPECT_EQ(Engine().destination.shoutcastAccepted.load(), 1);  // Icecast answers "OK2"
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
    // Icecast hangs up on a wrong Shoutcast password without saying why.
    EXPECT_EQ(Statuses(), LoginRefusedWith("Login refused: connection closed"));
}

TEST_F(IcecastTest, OggTitleChangeStartsAStreamTheServerReads) {
    const std::string mount = "/chain.ogg";
    ConnectWith(ServerKind::kIcecast2, mount, server_->sourcePassword());
    ConfigureOggOutput("4");
    Engine().titles.current.assign("First Artist - First Song");
    ASSERT_EQ(ConnectToServer(), 1);
    EncodeVorbisTone(kThreeSeconds);
    ExpectTitle(mount, "First Song", false);

    // What the encoding does for a title change: end the stream, start one with new comments.
    ASSERT_GT(EndOggStream(), 0);
    Engine().titles.current.assign("Second Artist - Second Song");
    ASSERT_EQ(InitEncoder(), 1);
    EncodeVorbisTone(kThreeSeconds, 660.0);
    ExpectTitle(mount, "Second Song", false);
    DisconnectFromServer();
}

}  // namespace
