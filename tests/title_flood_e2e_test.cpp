// Title updates of the real binary under strain: a station that changes its title with every
// metadata block, and an admin interface that never takes the connection. The audio keeps
// flowing to the stream connection, the admin interface sees a few requests a second, and the
// last title reaches the server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/background_run.h"
#include "tests/support/icecast_server.h"
#include "tests/support/loopback.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/stream_listener.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kRunTimeoutMs = 40000;
constexpr double kStationSeconds = 6.0;
constexpr int kMetaInterval = 800;  // twenty blocks a second at 128 kbit/s
constexpr double kLastTitleHeldSeconds = 1.5;

std::string SongTitle(std::size_t block) {
    return "Artist " + std::to_string(block) + " - Song " + std::to_string(block);
}

// A new title in every metadata block, until the last one, which is held for the end of the run.
PacedSourceOptions FloodingStation(const Mp3Format& format, std::string& lastTitle) {
    PacedSourceOptions options;
    options.metaInterval = kMetaInterval;
    options.chunkBytes = kMetaInterval;
    options.bytesPerSecond = Mp3BytesPerSecond(format);
    const auto changingBytes = static_cast<std::size_t>((kStationSeconds - kLastTitleHeldSeconds) *
                                                        Mp3BytesPerSecond(format));
    for (std::size_t block = 0; block * kMetaInterval < changingBytes; ++block) {
        options.titles.push_back({block * kMetaInterval, SongTitle(block)});
    }
    lastTitle = options.titles.back().title;
    return options;
}

class TitleFloodTest : public ::testing::Test {
  protected:
    // Writes the relay's configuration and returns its path.
    std::string WriteConfig(const std::string& sourceUrl, uint16_t port, const std::string& type,
                            const std::string& password) const {
        return StationConfig::LoopbackRelay(sourceUrl, port, password)
            .Set("ServerType", type)
            .Set("ServerMountpoint", "/flood")
            .SetOutput("LAME")
            .Set("LameQuality", 7)
            .Set("LogLevel", 2)
            .Set("LogFile", dir_.file("transcode.log"))
            .Write(dir_.file("relay.cfg"));
    }

    std::string Log() const { return ReadWholeFile(dir_.file("transcode.log")); }

    TempDir dir_;
};

std::string SongOf(const std::string& request) {
    const std::size_t start = request.find("&song=");
    const std::size_t end = request.find(" HTTP/1.0\r\n");
    if (start == std::string::npos || end == std::string::npos) return "<no song parameter>";
    return request.substr(start + 6, end - start - 6);
}

std::string PercentEncodedBlanks(std::string text) {
    std::string encoded;
    for (const char byte : text) encoded += byte == ' ' ? std::string("%20") : std::string(1, byte);
    return encoded;
}

// A mock Icecast2 server takes the stream and the title requests on one port.
TEST_F(TitleFloodTest, AStationChangingItsTitleEveryBlockCostsAFewRequestsASecond) {
    const Mp3Format format{44100, 2, kStationSeconds, 440.0};
    std::string lastTitle;
    PacedSource station(MakeMp3Tone(format), FloodingStation(format, lastTitle));
    ASSERT_TRUE(station.listening());
    MockServer server;
    server.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    const auto start = Clock::now();
    {
        BackgroundTranscode run(TRANSCODE_BINARY, dir_.path(),
                                WriteConfig(station.url(), server.port(), "Icecast2", "hackme"),
                                kRunTimeoutMs);
        EXPECT_EQ(run.Finish().exitStatus, 1) << run.Finish().out;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<std::string> songs;
    for (std::size_t connection = 0; connection < server.ConnectionCount(); ++connection) {
        ASSERT_TRUE(server.WaitForClosed(connection, 5000));
        const std::string received = server.Received(connection);
        if (received.rfind("GET /admin/metadata?", 0) == 0) songs.push_back(SongOf(received));
    }
    ASSERT_FALSE(songs.empty()) << Log();
    EXPECT_EQ(songs.back(), PercentEncodedBlanks(lastTitle));
    // The station changed its title about a hundred times.
    EXPECT_LE(songs.size(), static_cast<std::size_t>(seconds * 4) + 2)
        << seconds << " s: " << songs.size() << " requests";
}

// The real Icecast2 shows the station's last title after the flood.
TEST_F(TitleFloodTest, TheLastTitleOfAFloodReachesIcecast2) {
    SKIP_WITHOUT_ICECAST();
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    const Mp3Format format{44100, 2, kStationSeconds, 440.0};
    std::string lastTitle;
    PacedSource station(MakeMp3Tone(format), FloodingStation(format, lastTitle));
    ASSERT_TRUE(station.listening());
    BackgroundTranscode run(
        TRANSCODE_BINARY, dir_.path(),
        WriteConfig(station.url(), server.port(), "Icecast2", server.sourcePassword()),
        kRunTimeoutMs);
    std::string shown;
    EXPECT_TRUE(server.WaitForTitle("/flood", lastTitle, 15000, &shown))
        << "last title shown: " << shown << "\n"
        << Log();
    EXPECT_EQ(run.Finish().exitStatus, 1);
}

// Shoutcast takes its title requests on the port below the stream's: there, a listener that never
// accepts (its queue full) hangs every request, while the stream port takes the audio.
TEST_F(TitleFloodTest, AnAdminPortThatNeverAnswersLeavesTheAudioFlowing) {
    int admin = -1;
    std::unique_ptr<MockServer> stream;
    for (int attempt = 0; attempt < 20 && !stream; ++attempt) {
        admin = ListenOnLoopback(0, 0);
        ASSERT_GE(admin, 0);
        stream = std::make_unique<MockServer>(static_cast<uint16_t>(BoundPort(admin) + 1));
        if (!stream->listening()) {
            stream.reset();
            close(admin);
        }
    }
    ASSERT_TRUE(stream);
    const uint16_t adminPort = BoundPort(admin);
    // One connection fills the queue of a listener with backlog 0.
    const int queued = ConnectToLoopback(adminPort);
    stream->SetReply("OK2\r\n");

    const Mp3Format format{44100, 2, kStationSeconds, 440.0};
    std::string lastTitle;
    PacedSource station(MakeMp3Tone(format), FloodingStation(format, lastTitle));
    ASSERT_TRUE(station.listening());
    const auto start = Clock::now();
    BackgroundTranscode run(TRANSCODE_BINARY, dir_.path(),
                            WriteConfig(station.url(), adminPort, "Shoutcast", "hackme"),
                            kRunTimeoutMs);
    // The longest time the stream connection went without new bytes, from its first audio on.
    ASSERT_TRUE(stream->WaitForBytes(0, 4096, 15000)) << Log();
    std::size_t seen = stream->Received(0).size();
    auto lastGrowth = Clock::now();
    Clock::duration longestGap{};
    while (Clock::now() - start <
           std::chrono::seconds(static_cast<int>(kStationSeconds)) - milliseconds(500)) {
        std::this_thread::sleep_for(milliseconds(20));
        const std::size_t now = stream->Received(0).size();
        if (now != seen) {
            longestGap = std::max(longestGap, Clock::now() - lastGrowth);
            lastGrowth = Clock::now();
            seen = now;
        }
    }
    longestGap = std::max(longestGap, Clock::now() - lastGrowth);
    const ChildResult& result = run.Finish();
    const double runSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(queued);
    close(admin);

    EXPECT_LT(longestGap, milliseconds(1500))
        << std::chrono::duration<double>(longestGap).count() << " s without audio";
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.out.find("Main Status : (Done)"), std::string::npos) << result.out;
    // The end of the run gives the hung request about a second, not the socket's ten.
    EXPECT_LT(runSeconds, kStationSeconds + 5.0);
    EXPECT_NE(Log().find("Cannot connect to server 127.0.0.1:" + std::to_string(adminPort)),
              std::string::npos)
        << Log();
}

}  // namespace
