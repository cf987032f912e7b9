// Configuration values that make no sense for a relay (ports outside 1..65535, negative or huge
// rates, channel counts of 0 or 100, bit rates of 0 or 100000, reconnection waits that are
// negative or nearly endless, names the login would carry elsewhere): each run either works,
// is refused at start, or ends in order, with a status and a log line that name the problem, and
// never crashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/config_store.h"
#include "common/log.h"
#include "common/status.h"
#include "engine/libzembril.h"
#include "tests/support/audio_check.h"
#include "tests/support/fresh_records.h"
#include "tests/support/mock_server.h"
#include "tests/support/stream_feed.h"

namespace {

using Lines = std::vector<std::string>;

std::mutex statusLock;  // the reconnection test reports from a second thread
std::vector<std::string> statuses;
void RecordStatus(const char* text) {
    std::lock_guard hold(statusLock);
    statuses.emplace_back(text);
}

enum class Outcome {
    kStreams,         // logs in and sends encoded audio
    kNoConnection,    // refused before a connection: "Unable to connect to socket"
    kEncoderRefused,  // logged in, the encoder refused: "Encoder init failed"
    kRefused          // the configuration is refused: the run does not start
};

struct ConfigCase {
    const char* name;
    Lines lines;  // added before the destination lines (the first line with a key wins)
    Outcome outcome;
    const char* logLine;  // expected in the log; nullptr for none
};

// {port} in a line stands for the mock server's port, {port+65536} for that plus 65536.
const ConfigCase kConfigCases[] = {
    {"PortAboveRange", {"Port={port+65536}"}, Outcome::kNoConnection, "not a port number"},
    {"PortNegative", {"Port=-1"}, Outcome::kNoConnection, "not a port number"},
    {"PortZero", {"Port=0"}, Outcome::kNoConnection, "not a port number"},
    {"PortNotANumber", {"Port=http"}, Outcome::kNoConnection, "not a port number"},
    {"ShoutcastSourcePortAboveRange",
     {"ServerType=Shoutcast", "Port=65535"},
     Outcome::kNoConnection,
     "not a port number"},
    {"ServerTypeMisspelt",
     {"ServerType=icecast2"},
     Outcome::kRefused,
     "ServerType \"icecast2\" is none of"},
    {"ServerTypeWithBlanksAroundTheKey",
     {"ServerType = Icecast2"},
     Outcome::kRefused,
     "Key \"ServerType \" on line 1 is ServerType with blanks around it"},
    // A carriage return would end a line of the login early, and start another.
    {"PasswordWithCarriageReturn",
     {"ServerPassword=hack\rme"},
     Outcome::kRefused,
     "Value of ServerPassword holds a control byte (0x0D at character 5)"},
    {"DescriptionWithLineBreak",
     {"ServerDescription=My station\rice-public: 1"},
     Outcome::kRefused,
     "Value of ServerDescription holds a control byte"},
    {"MountNamingAnotherMount",
     {"ServerMountpoint=/x.mp3&mount=/other.mp3"},
     Outcome::kRefused,
     "ServerMountpoint \"/x.mp3&mount=/other.mp3\" holds \"&\""},
    {"LineReadInPieces",
     {"ServerDescription=" + std::string(1004, 'A') + "ServerPassword=injected"},
     Outcome::kRefused,
     "Line 1 of "},
    // A Windows line ending is a line ending.
    {"ServerTypeWithCarriageReturn", {"ServerType=Icecast2\r"}, Outcome::kStreams, nullptr},
    {"LameSamplerateNegative",
     {"Samplerate=-44100"},
     Outcome::kEncoderRefused,
     "Samplerate -44100 is not an output rate"},
    {"LameSamplerateZero", {"Samplerate=0"}, Outcome::kEncoderRefused, "not an output rate"},
    {"LameSamplerateTooLow", {"Samplerate=10"}, Outcome::kEncoderRefused, "not an output rate"},
    {"LameSamplerateOverflowing",
     {"Samplerate=99999999999999999999"},
     Outcome::kEncoderRefused,
     "not an output rate"},
    {"LameSamplerateBeyond32Bits",
     {"Samplerate=4294967296"},
     Outcome::kEncoderRefused,
     "Samplerate 4294967296 is not an output rate"},
    {"LameSamplerateOdd", {"Samplerate=12345"}, Outcome::kStreams, nullptr},
    {"LameChannelsZero",
     {"NumberChannels=0"},
     Outcome::kEncoderRefused,
     "NumberChannels 0 is not an output channel count"},
    {"LameChannelsNegative",
     {"NumberChannels=-2"},
     Outcome::kEncoderRefused,
     "NumberChannels -2 is not"},
    // Anything above one channel is LAME's stereo.
    {"LameChannelsHundred", {"NumberChannels=100"}, Outcome::kStreams, nullptr},
    {"LameChannelsMono", {"NumberChannels=1"}, Outcome::kStreams, nullptr},
    {"LameBitrateZero", {"BitrateNominal=0"}, Outcome::kStreams, nullptr},
    {"LameBitrateHuge", {"BitrateNominal=100000"}, Outcome::kStreams, nullptr},
    {"LameBitrateNegative", {"BitrateNominal=-128"}, Outcome::kStreams, nullptr},
    {"LameVbrHugeBitrates",
     {"LameCBRFlag=0", "BitrateNominal=100000", "BitrateMin=100000", "BitrateMax=100000"},
     Outcome::kStreams,
     nullptr},
    // LAME's own assertion would end the process here.
    {"LameVbrRangeReversed",
     {"LameCBRFlag=0", "BitrateMin=320", "BitrateMax=8"},
     Outcome::kEncoderRefused,
     "BitrateMin 320 and BitrateMax 8 are no bit rate range"},
    {"LameVbrNegativeMaximum",
     {"LameCBRFlag=0", "BitrateMin=128", "BitrateMax=-5"},
     Outcome::kEncoderRefused,
     "no bit rate range"},
    {"LameQualityOutOfRange", {"LameQuality=-100"}, Outcome::kStreams, nullptr},
    {"LameFiltersOutOfRange",
     {"LameLowpassfreq=-1", "LameHighpassfreq=2000000000"},
     Outcome::kStreams,
     nullptr},
    {"OggSamplerateNegative",
     {"Encode=OGG", "Samplerate=-44100"},
     Outcome::kEncoderRefused,
     "not an output rate"},
    {"OggSamplerateOverflowing",
     {"Encode=OGG", "Samplerate=99999999999999999999"},
     Outcome::kEncoderRefused,
     "not an output rate"},
    {"OggChannelsZero",
     {"Encode=OGG", "NumberChannels=0"},
     Outcome::kEncoderRefused,
     "NumberChannels 0 is not"},
    // The channels beyond the first two stay silent.
    {"OggChannelsHundred", {"Encode=OGG", "NumberChannels=100"}, Outcome::kStreams, nullptr},
    {"OggChannelsBeyondOgg",
     {"Encode=OGG", "NumberChannels=256"},
     Outcome::kEncoderRefused,
     "NumberChannels 256 is not"},
    {"OggQualityHuge", {"Encode=OGG", "OggQuality=99"}, Outcome::kStreams, nullptr},
    {"OggQualityNotANumber", {"Encode=OGG", "OggQuality=high"}, Outcome::kStreams, nullptr},
    {"OggQualityNan", {"Encode=OGG", "OggQuality=nan"}, Outcome::kStreams, nullptr},
    {"OggQualityInfinite",
     {"Encode=OGG", "OggQuality=-inf"},
     Outcome::kEncoderRefused,
     "vorbis mode is not supported"},
    {"OggQualityHugeExponent", {"Encode=OGG", "OggQuality=1e308"}, Outcome::kStreams, nullptr},
    {"OggManagedBitrateZero",
     {"Encode=OGG", "OggBitrateQualityFlag=Bitrate", "BitrateNominal=0", "BitrateMin=0",
      "BitrateMax=0"},
     Outcome::kEncoderRefused,
     "illegal vorbis mode"},
    {"OggManagedBitrateHuge",
     {"Encode=OGG", "OggBitrateQualityFlag=Bitrate", "BitrateNominal=100000", "BitrateMin=100000",
      "BitrateMax=100000"},
     Outcome::kEncoderRefused,
     "vorbis mode"},
    {"OggManagedRangeReversed",
     {"Encode=OGG", "OggBitrateQualityFlag=Bitrate", "BitrateMin=320", "BitrateMax=8"},
     Outcome::kStreams,
     nullptr},
};

void PrintTo(const ConfigCase& c, std::ostream* out) {
    *out << c.name;
}

std::string WithPort(std::string line, uint16_t port) {
    for (const auto& [marker, value] :
         {std::pair<std::string, int>{"{port+65536}", port + 65536}, {"{port}", port}}) {
        const std::size_t at = line.find(marker);
        if (at != std::string::npos) line.replace(at, marker.size(), std::to_string(value));
    }
    return line;
}

class HostileConfigTest : public FreshRecordsTest {
  protected:
    void SetUp() override {
        FreshRecordsTest::SetUp();  // the log file also takes the lines before LogFile is applied
        {
            std::lock_guard hold(statusLock);
            statuses.clear();
        }
        server_ = std::make_unique<MockServer>();
        ASSERT_TRUE(server_->listening());
        server_->SetReply("HTTP/1.0 200 OK\r\n\r\n");
    }

    // Loads the case's lines ahead of an Icecast2 destination on the mock server: the first line
    // with a key wins, so the case's lines override the destination's. LoadConfig's result.
    int Load(const Lines& lines) {
        std::string content;
        for (const std::string& line : lines) content += WithPort(line, server_->port()) + "\n";
        content += "Server=127.0.0.1\nPort=" + std::to_string(server_->port()) +
                   "\nServerType=Icecast2\nServerMountpoint=/live\nServerPassword=hackme\n"
                   "LogLevel=2\nLogFile=" +
                   logPath() + "\n";
        WriteWholeFile(file("station.cfg"), content);
        SetConfigPath(file("station.cfg").c_str());
        const int loaded = LoadConfig(kConfigNormal);
        SetServerStatusSink(RecordStatus);
        return loaded;
    }

    static bool Reported(const std::string& text) {
        std::lock_guard hold(statusLock);
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }

    std::unique_ptr<MockServer> server_;
};

class ConfigValueTest : public HostileConfigTest,
                        public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigValueTest, RunWorksOrEndsWithAClearReason) {
    const ConfigCase& c = GetParam();
    const int loaded = Load(c.lines);
    if (c.outcome == Outcome::kRefused) {
        EXPECT_EQ(loaded, 0);
        EXPECT_NE(log().find(c.logLine), std::string::npos) << log();
        EXPECT_NE(log().find("refused: the run does not start"), std::string::npos) << log();
        return;
    }
    ASSERT_EQ(loaded, 1) << log();
    const int connected = ConnectToServer();
    switch (c.outcome) {
        case Outcome::kStreams: {
            ASSERT_EQ(connected, 1) << log();
            SineGenerator tone(44100, {440, 660});
            EXPECT_EQ(FeedTone(tone, 44100, 1.0), 1);
            EXPECT_GE(FlushEncoder(), 0);
            DisconnectFromServer();
            ASSERT_TRUE(server_->WaitForClosed(0, 15000));
            EXPECT_GT(AfterLogin(server_->Received(0)).size(), 1000u);
            break;
        }
        case Outcome::kNoConnection:
            EXPECT_EQ(connected, 0);
            EXPECT_TRUE(Reported("Unable to connect to socket"));
            EXPECT_EQ(server_->ConnectionCount(), 0u);
            break;
        case Outcome::kEncoderRefused:
            EXPECT_EQ(connected, 0);
            EXPECT_TRUE(Reported("Encoder init failed"));
            break;
        case Outcome::kRefused:  // checked above
            break;
    }
    EXPECT_EQ(Engine().destination.connected.load(), 0);
    if (c.logLine != nullptr) {
        EXPECT_NE(log().find(c.logLine), std::string::npos) << log();
    }
    // Samples after a failed start go nowhere, and do not crash on the way.
    SineGenerator tone(44100, {440, 660});
    EXPECT_EQ(FeedTone(tone, 44100, 0.1), 1);
}

INSTANTIATE_TEST_SUITE_P(Values, ConfigValueTest, ::testing::ValuesIn(kConfigCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A reconnection wait is sliced: a stop request ends it however long it was configured, and a
// negative wait is no wait (not a sleep of a negative or wrapped length).
struct ReconnectWaitCase {
    const char* name;
    const char* seconds;
    const char* status;
};

const ReconnectWaitCase kReconnectWaitCases[] = {
    {"Huge", "2147483647", "Disconnected from output server, reconnecting in 2147483647 secs"},
    // A wait of no length (or less) is the shortest wait of a second.
    {"Overflowing", "99999999999999999999",
     "Disconnected from output server, reconnecting in 1 secs"},
    {"Negative", "-30", "Disconnected from output server, reconnecting in 1 secs"},
};

class ReconnectWaitTest : public HostileConfigTest,
                          public ::testing::WithParamInterface<ReconnectWaitCase> {};

TEST_P(ReconnectWaitTest, StopRequestEndsTheWait) {
    const ReconnectWaitCase& c = GetParam();
    ASSERT_EQ(Load({"AutomaticReconnect=1", std::string("AutomaticReconnectSecs=") + c.seconds}),
              1);
    ASSERT_EQ(ConnectToServer(), 1);
    server_->Stop();  // every reconnection attempt is refused from now on

    auto encoding = std::async(std::launch::async, [] {
        SineGenerator tone(44100, {500, 500});
        for (int block = 0; block < 4000; ++block) {
            const std::vector<float> samples = tone.Next(kDecoderBlockFrames);
            if (ProcessSamples(samples.data(), kDecoderBlockFrames, 2, 44100) == 0) return true;
        }
        return false;
    });
    // The wait (or the attempts of a wait of no length) go on until the stop request.
    for (int i = 0; i < 1500 && !Reported(c.status); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Control().stopRequested = 1;
    const bool ended = encoding.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!ended) Control().transferEnding = true;  // lets a stuck wait end before the test does
    ASSERT_TRUE(ended);
    EXPECT_TRUE(encoding.get());
    EXPECT_TRUE(Reported(c.status));
    EXPECT_EQ(Engine().destination.connected.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Waits, ReconnectWaitTest, ::testing::ValuesIn(kReconnectWaitCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
