// A lost connection to the destination: the status texts and the dropped blocks without
// automatic reconnection; with it, the wait (never shorter than a second), the attempts while the
// server is away, the second login, the second set of Ogg header pages, a second archive file,
// the title told again to an MP3 server, and a stop request that ends the wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "engine/libzembril.h"
#include "tests/support/audio_check.h"
#include "tests/support/engine_session.h"
#include "tests/support/mock_server.h"
#include "tests/support/stream_feed.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kWaitMs = 15000;
const char* const kHttpAccepted = "HTTP/1.0 200 OK\r\n\r\n";

// Archive names from a clock that moves one second per archive, so that they sort in order.
int archivesNamed = 0;
std::tm SteppingClock() {
    std::tm time{};
    time.tm_year = 125;
    time.tm_mon = 11;
    time.tm_mday = 16;
    time.tm_wday = 2;
    time.tm_hour = 9;
    time.tm_sec = archivesNamed++;
    return time;
}

class ReconnectTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        Control().stopRequested = 0;
        archivesNamed = 0;
        SetArchiveClock(SteppingClock);
        server_ = std::make_unique<MockServer>();
        ASSERT_TRUE(server_->listening());
        server_->SetReply(kHttpAccepted);
        ConfigureDestination(ServerKind::kIcecast2, server_->port());
        Engine().settings.saveDirectory.assign(archiveDir_.path());
    }
    void TearDown() override {
        SetArchiveClock(nullptr);
        Control().stopRequested = 0;
        EngineSessionTest::TearDown();
    }

    // Waits until the status text has been reported `count` times.
    static bool WaitForStatus(const std::string& text, int count = 1) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (std::chrono::steady_clock::now() < end) {
            const std::vector<std::string> statuses = Statuses();
            if (std::count(statuses.begin(), statuses.end(), text) >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The statuses reported from the first `text` on.
    static std::vector<std::string> StatusesFrom(const std::string& text) {
        const std::vector<std::string> statuses = Statuses();
        return {std::find(statuses.begin(), statuses.end(), text), statuses.end()};
    }

    // Feeds blocks until one returns `result`; false when none did within the bound.
    static bool FeedUntilResult(int result, SineGenerator& tone, int maxBlocks = 2000) {
        for (int i = 0; i < maxBlocks; ++i) {
            const std::vector<float> block = tone.Next(kDecoderBlockFrames);
            if (ProcessSamples(block.data(), kDecoderBlockFrames, 2, 44100) == result) return true;
        }
        return false;
    }

    std::vector<std::string> ArchivesInOrder() const {
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::directory_iterator(archiveDir_.path())) {
            paths.push_back(entry.path().string());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    std::unique_ptr<MockServer> server_;
    TempDir archiveDir_;
};

TEST_F(ReconnectTest, WithoutAutomaticReconnectAllLaterBlocksAreDropped) {
    Engine().settings.autoReconnect = 0;
    ASSERT_EQ(ConnectToServer(), 1);
    SineGenerator tone(44100, {500, 500});
    FeedTone(tone, 44100, 0.5);
    server_->CloseAll();
    ASSERT_TRUE(server_->WaitForClosed(0, kWaitMs));

    ASSERT_TRUE(FeedUntilResult(0, tone));
    EXPECT_EQ(StatusesFrom("Disconnecting"),
              (std::vector<std::string>{"Disconnecting", "Disconnected",
                                        "Was disconnected from server"}));
    EXPECT_EQ(Engine().destination.connected.load(), 0);

    const std::uint64_t bytesBefore = BytesReported();
    for (int i = 0; i < 20; ++i) {
        const std::vector<float> block = tone.Next(kDecoderBlockFrames);
        EXPECT_EQ(ProcessSamples(block.data(), kDecoderBlockFrames, 2, 44100), 1);
    }
    EXPECT_EQ(BytesReported(), bytesBefore);
    EXPECT_EQ(server_->ConnectionCount(), 1u);
}

TEST_F(ReconnectTest, OggStreamResumesOnANewConnectionOnceTheServerIsBack) {
    EngineState& engine = Engine();
    ConfigureOggOutput("4");
    engine.settings.autoReconnect = 1;
    engine.settings.reconnectSecs = 1;
    engine.settings.saveArchives = 1;
    ASSERT_EQ(ConnectToServer(), 1);
    ASSERT_TRUE(server_->WaitForBytes(0, 1, kWaitMs));
    const std::string firstReceived = server_->Received(0);
    const std::string firstLogin = firstReceived.substr(0, firstReceived.find("\n\n") + 2);

    // The encoding runs on its own thread, as with an Ogg Vorbis source.
    BackgroundFeeder feeder(44100, {500, 500});
    feeder.Start();
    ASSERT_TRUE(server_->WaitForBytes(0, firstLogin.size() + 20000, kWaitMs));
    const uint16_t port = server_->port();
    server_->Stop();  // hangs up and stays away
    ASSERT_TRUE(WaitForStatus("Unable to connect to socket"));

    MockServer back(port);
    ASSERT_TRUE(back.listening());
    back.SetReply(kHttpAccepted);
    ASSERT_TRUE(WaitForStatus("Connected", 2));
    ASSERT_TRUE(back.WaitForBytes(0, firstLogin.size() + 30000, kWaitMs));
    feeder.Stop();
    EXPECT_EQ(feeder.lastResult(), 1);
    EndOggStream();
    DisconnectFromServer();
    ASSERT_TRUE(back.WaitForClosed(0, kWaitMs));

    const std::vector<std::string> afterLoss = StatusesFrom("Disconnecting");
    ASSERT_GE(afterLoss.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(afterLoss.begin(), afterLoss.begin() + 5),
              (std::vector<std::string>{"Disconnecting", "Disconnected",
                                        "Disconnected from output server, reconnecting in 1 secs",
                                        "Connecting", "Unable to connect to socket"}));
    EXPECT_EQ(std::vector<std::string>(afterLoss.end() - 6, afterLoss.end() - 2),
              (std::vector<std::string>{"Connecting", "Socket connected", "Success", "Connected"}));

    // A second login, then one stream, begun by the login and carrying the audio: no empty link.
    const std::string secondConnection = back.Received(0);
    EXPECT_EQ(secondConnection.substr(0, firstLogin.size()), firstLogin);
    const std::string secondStream = AfterLogin(secondConnection);
    const std::vector<OggPageInfo> pages = ParseOggPages(secondStream);
    const auto begins = std::count_if(pages.begin(), pages.end(),
                                      [](const OggPageInfo& page) { return page.beginsStream; });
    EXPECT_EQ(begins, 1);
    const std::vector<OggLink> links = DecodeOgg(secondStream);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_GT(links[0].audio.frameCount(), 0u);
    EXPECT_NEAR(EstimateToneHz(links[0].audio.Channel(0), 44100, 4410), 500.0, 2.5);

    // One archive per connection; the first was completed when the connection was lost.
    const std::vector<std::string> archives = ArchivesInOrder();
    ASSERT_EQ(archives.size(), 2u);
    const std::string firstArchive = ReadWholeFile(archives[0]);
    const std::string firstStream = AfterLogin(server_->Received(0));
    // The archive also holds the block whose send failed.
    EXPECT_EQ(firstArchive.substr(0, firstStream.size()), firstStream);
    const std::vector<OggLink> firstLinks = DecodeOgg(firstArchive);
    ASSERT_EQ(firstLinks.size(), 1u);
    EXPECT_GT(firstLinks[0].audio.frameCount(), 0u);
    EXPECT_TRUE(ReadWholeFile(archives[1]) == secondStream);
}

TEST_F(ReconnectTest, Mp3ServerIsToldTheCurrentTitleAgainAfterReconnecting) {
    EngineState& engine = Engine();
    engine.settings.autoReconnect = 1;
    engine.settings.reconnectSecs = 0;
    SetCurrentTitle("Artist - Song");  // recorded before the connection, so not yet sent
    ASSERT_EQ(ConnectToServer(), 1);
    SineGenerator tone(44100, {500, 500});
    FeedTone(tone, 44100, 0.5);
    server_->CloseAll();
    ASSERT_TRUE(server_->WaitForClosed(0, kWaitMs));

    // The reconnection happens inside the block whose send failed, after the shortest wait.
    for (int i = 0; i < 2000 && server_->ConnectionCount() < 3; ++i) FeedUntilResult(1, tone, 1);
    ASSERT_TRUE(server_->WaitForConnections(3, kWaitMs));
    EXPECT_FALSE(StatusesFrom("Disconnected from output server, reconnecting in 1 secs").empty());
    ASSERT_TRUE(server_->WaitForClosed(2, kWaitMs));
    EXPECT_NE(
        server_->Received(2).find(
            "GET /admin/metadata?pass=hackme&mode=updinfo&mount=/live&song=Artist%20-%20Song "),
        std::string::npos)
        << server_->Received(2);

    FeedTone(tone, 44100, 1.0);
    DisconnectFromServer();
    ASSERT_TRUE(server_->WaitForClosed(1, kWaitMs));
    const DecodedAudio audio = DecodeMp3(AfterLogin(server_->Received(1)));
    EXPECT_EQ(audio.sampleRate, 44100);
    EXPECT_NEAR(EstimateToneHz(audio.Channel(0), 44100, 4410), 500.0, 2.5);
}

// A setting of 0 or less would retry without a pause, thousands of times a second while the
// server is down; the attempts are a second apart instead.
class ShortestWaitTest : public ReconnectTest, public ::testing::WithParamInterface<int> {};

TEST_P(ShortestWaitTest, AttemptsAgainstAServerThatIsDownAreASecondApart) {
    EngineState& engine = Engine();
    engine.settings.autoReconnect = 1;
    engine.settings.reconnectSecs = GetParam();
    ASSERT_EQ(ConnectToServer(), 1);
    server_->Stop();

    auto encoding = std::async(std::launch::async, [] {
        SineGenerator tone(44100, {500, 500});
        return FeedUntilResult(0, tone);
    });
    ASSERT_TRUE(WaitForStatus("Disconnected from output server, reconnecting in 1 secs"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    Control().stopRequested = 1;
    ASSERT_EQ(encoding.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(encoding.get());
    const std::vector<std::string> attempts = StatusesFrom(
        "Disconnected from output server, "
        "reconnecting in 1 secs");
    const auto failures =
        std::count(attempts.begin(), attempts.end(), std::string("Unable to connect to socket"));
    EXPECT_GE(failures, 1);
    EXPECT_LE(failures, 3);
}

INSTANTIATE_TEST_SUITE_P(Settings, ShortestWaitTest, ::testing::Values(0, -5));

TEST_F(ReconnectTest, StopRequestEndsTheWaitWithoutFurtherAttempts) {
    EngineState& engine = Engine();
    engine.settings.autoReconnect = 1;
    engine.settings.reconnectSecs = 30;
    ASSERT_EQ(ConnectToServer(), 1);
    server_->Stop();

    auto encoding = std::async(std::launch::async, [] {
        SineGenerator tone(44100, {500, 500});
        return FeedUntilResult(0, tone);
    });
    ASSERT_TRUE(WaitForStatus("Disconnected from output server, reconnecting in 30 secs"));
    Control().stopRequested = 1;
    const bool endedPromptly =
        encoding.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!endedPromptly)
        engine.destination.reconnectWaiting = false;  // lets a stuck wait end after its sleep
    EXPECT_TRUE(endedPromptly);
    EXPECT_TRUE(encoding.get());
    const std::vector<std::string> afterWait =
        StatusesFrom("Disconnected from output server, reconnecting in 30 secs");
    EXPECT_EQ(afterWait.size(), 1u) << "no connection attempt after the stop request";
    EXPECT_EQ(engine.destination.connected.load(), 0);
}

}  // namespace
