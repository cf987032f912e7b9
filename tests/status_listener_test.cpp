// The status listener in-process: the health verdicts and the JSON text the pages are built from,
// and a listener that hostile or careless clients cannot stall, fill up or keep from stopping,
// while the station's counters are fed as the audio threads feed them.
#include "frontend/status_listener.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "engine/libzembril.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using Snapshot = StationMetricsRecord::Snapshot;

struct HealthCase {
    const char* name;
    DestinationState destination;
    bool everConnected;
    bool sourceUp;
    double secondsSinceAudio;  // negative: no audio yet
    bool ok;
    const char* text;
};

class HealthVerdict : public testing::TestWithParam<HealthCase> {};

TEST_P(HealthVerdict, FollowsTheDestinationAndTheAgeOfTheLastAudio) {
    const HealthCase& c = GetParam();
    Snapshot shot;
    shot.destination = c.destination;
    shot.destinationEverConnected = c.everConnected;
    shot.sourceUp = c.sourceUp;
    shot.secondsSinceAudio = c.secondsSinceAudio;
    const Health health = HealthOf(shot);
    EXPECT_EQ(health.ok, c.ok);
    EXPECT_EQ(health.text, c.text);
}

constexpr auto kUp = DestinationState::kConnected;

INSTANTIATE_TEST_SUITE_P(
    States, HealthVerdict,
    testing::Values(
        HealthCase{"Relaying", kUp, true, true, 0.2, true, "ok"},
        // Silence bridging a source outage still reaches the listeners.
        HealthCase{"RelayingSilence", kUp, true, false, 0.2, true, "ok"},
        HealthCase{"AudioJustUnderTheLimit", kUp, true, true, 4.9, true, "ok"},
        HealthCase{"AudioTooOld", kUp, true, true, 5.0, false, "no audio sent for 5 s"},
        HealthCase{"NoAudioYet", kUp, true, true, -1.0, false, "no audio sent yet"},
        HealthCase{"SourceNotThereYet", kUp, true, false, -1.0, false, "waiting for source"},
        HealthCase{"SourceGoneAndNoSilence", kUp, true, false, 30.0, false, "waiting for source"},
        HealthCase{"Starting", DestinationState::kNotConnected, false, false, -1.0, false,
                   "connecting to destination"},
        HealthCase{"Reconnecting", DestinationState::kReconnecting, true, true, 0.1, false,
                   "destination reconnecting"},
        HealthCase{"LostForGood", DestinationState::kLost, true, true, 0.1, false,
                   "destination lost"},
        HealthCase{"Ended", DestinationState::kNotConnected, true, true, 0.1, false,
                   "destination disconnected"}),
    [](const testing::TestParamInfo<HealthCase>& info) { return info.param.name; });

TEST(JsonQuoted, EveryTitleGivesOneValidString) {
    const struct {
        std::string text;
        std::string quoted;
    } cases[] = {
        {"Plain", "\"Plain\""},
        {"Say \"hi\" \\ bye", "\"Say \\\"hi\\\" \\\\ bye\""},
        {"Line\nbreak\ttab\x7f", "\"Line\\u000Abreak\\u0009tab\\u007F\""},
        {"Caf\xc3\xa9", "\"Caf\xc3\xa9\""},  // UTF-8 stays
        {"Caf\xe9", "\"Caf\xc3\xa9\""},      // Latin-1 becomes UTF-8
        {"", "\"\""},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonQuoted(c.text), c.quoted) << c.text;
}

// ---- the listener under load ----

// Writes the whole text, or as much as the peer takes before it closes or 5 s pass.
void SendAll(int descriptor, const std::string& text) {
    timeval timeout{5, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t now = send(descriptor, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (now <= 0) return;
        sent += static_cast<std::size_t>(now);
    }
}

// Reads until the peer closes; "" plus false when it has not closed within the time.
bool ReadUntilClosed(int descriptor, int timeoutSeconds, std::string* received = nullptr) {
    timeval timeout{1, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        const ssize_t got = recv(descriptor, buffer, sizeof buffer, 0);
        if (got == 0) return true;
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
        if (got > 0 && received != nullptr) received->append(buffer, static_cast<std::size_t>(got));
    }
    return false;
}

// One GET answered completely: its whole reply text; "" when none came within 5 s.
std::string Fetch(std::uint16_t port, const std::string& path) {
    const int descriptor = ConnectToLoopback(port);
    if (descriptor < 0) return "";
    SendAll(descriptor, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::string reply;
    ReadUntilClosed(descriptor, 5, &reply);
    close(descriptor);
    return reply;
}

// Asks until a reply comes (a listener whose slots are all taken answers none); bounded.
std::string FetchWithin(std::uint16_t port, const std::string& path, int timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string reply;
    while (reply.empty() && std::chrono::steady_clock::now() < deadline) {
        reply = Fetch(port, path);
        if (reply.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return reply;
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.rfind(start, 0) == 0;
}

class ListenerUnderLoad : public testing::Test {
  protected:
    void SetUp() override {
        StationMetrics().Reset();
        SetLogPath(dir_.file("listener.log").c_str());
        SetLogLevel(LOG_ERROR);
        listener_ = StatusListener::OnFreePort("127.0.0.1", Facts());
        ASSERT_TRUE(listener_->Serving()) << ReadWholeFile(dir_.file("listener.log"));
        port_ = static_cast<std::uint16_t>(listener_->Port());
        // The audio threads' side: counters fed all the time, as a relay feeds them.
        feeder_ = std::thread([this] {
            while (!stopFeeding_.load()) {
                StationMetrics().NoteAudioSent(417);
                StationMetrics().NoteTitleArrived("Feeding");
                StationMetrics().NoteTitleDelivered();
                feeds_.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        // The pages are asked for as of a relay that has sent audio: on a busy machine the
        // feeding thread may not have run yet.
        ASSERT_TRUE(WaitUntil([this] { return feeds_.load() > 0; }, 5000));
    }

    void TearDown() override {
        stopFeeding_ = true;
        if (feeder_.joinable()) feeder_.join();
        listener_.reset();
        SetLogPath(nullptr);
        StationMetrics().Reset();
    }

    static StationFacts Facts() {
        StationFacts facts;
        facts.sourceUrl = "http://***@radio.example.org/live";
        facts.destination = "127.0.0.1:8000/live";
        facts.version = "9.9.9";
        return facts;
    }

    // The feeding thread goes on: it has fed more than `before` within 5 s.
    bool FeedingGoesOn() {
        const long before = feeds_.load();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            if (feeds_.load() > before + 10) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempDir dir_;
    std::unique_ptr<StatusListener> listener_;
    std::uint16_t port_ = 0;
    std::thread feeder_;
    std::atomic<bool> stopFeeding_{false};
    std::atomic<long> feeds_{0};
};

TEST_F(ListenerUnderLoad, ServesThePagesAndRefusesTheRest) {
    const struct {
        std::string request;
        std::string replyStart;
        std::string bodyPart;
    } cases[] = {
        {"GET /metrics", "HTTP/1.1 200", "transcode_build_info{version=\"9.9.9\"} 1\n"},
        {"GET /healthz", "HTTP/1.1 200", "\r\n\r\nok\n"},
        {"GET /status.json", "HTTP/1.1 200", "\"url\":\"http://***@radio.example.org/live\""},
        {"HEAD /healthz", "HTTP/1.1 200", ""},
        {"GET /", "HTTP/1.1 404", ""},
        {"POST /metrics", "HTTP/1.1 405", ""},
    };
    StationMetrics().NoteDestinationState(DestinationState::kConnected);
    for (const auto& c : cases) {
        const int descriptor = ConnectToLoopback(port_);
        ASSERT_GE(descriptor, 0);
        SendAll(descriptor, c.request + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                                        "Content-Length: 0\r\n\r\n");
        std::string reply;
        EXPECT_TRUE(ReadUntilClosed(descriptor, 5, &reply)) << c.request;
        close(descriptor);
        EXPECT_TRUE(StartsWith(reply, c.replyStart)) << c.request << "\n" << reply;
        EXPECT_NE(reply.find(c.bodyPart), std::string::npos) << c.request << "\n" << reply;
    }
}

// A client that asks again and again and never reads its replies: the listener answers into the
// socket's buffer and closes the connection (or drops it at its time-out); everyone else is served
// meanwhile, and the audio threads never wait.
TEST_F(ListenerUnderLoad, AClientThatNeverReadsStallsNoOne) {
    const int stuck = ConnectToLoopback(port_);
    ASSERT_GE(stuck, 0);
    // Some hundred replies of a few kilobytes each: more than the socket buffers hold.
    std::string pipelined;
    for (int index = 0; index < 300; ++index) pipelined += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    SendAll(stuck, pipelined);

    EXPECT_TRUE(StartsWith(Fetch(port_, "/status.json"), "HTTP/1.1 200"));
    EXPECT_TRUE(FeedingGoesOn());
    // The listener drops it after its time-out.
    EXPECT_TRUE(ReadUntilClosed(stuck, 4 * StatusListener::kIdleSeconds + 5));
    close(stuck);
}

// A megabyte of junk is refused at the per-connection memory limit and the connection closed.
TEST_F(ListenerUnderLoad, AMegabyteOfJunkIsRefusedAndClosed) {
    const int junk = ConnectToLoopback(port_);
    ASSERT_GE(junk, 0);
    std::thread sender([junk] { SendAll(junk, "GET /" + std::string(1 << 20, 'A')); });
    std::string reply;
    EXPECT_TRUE(ReadUntilClosed(junk, 15, &reply));
    sender.join();
    close(junk);
    EXPECT_FALSE(StartsWith(reply, "HTTP/1.1 200")) << reply.substr(0, 200);
    EXPECT_TRUE(FeedingGoesOn());
    EXPECT_TRUE(StartsWith(Fetch(port_, "/healthz"), "HTTP/1.1 "));
}

// More idle connections than the listener holds: the ones beyond are turned away, the held ones
// time out, and then it serves again.
TEST_F(ListenerUnderLoad, IdleConnectionsBeyondTheLimitAreTurnedAwayAndTheRestTimeOut) {
    std::vector<int> idle;
    for (unsigned index = 0; index < StatusListener::kMostConnections + 4; ++index) {
        const int descriptor = ConnectToLoopback(port_);
        if (descriptor >= 0) idle.push_back(descriptor);
    }
    EXPECT_TRUE(FeedingGoesOn());
    for (const int descriptor : idle) {
        EXPECT_TRUE(ReadUntilClosed(descriptor, 4 * StatusListener::kIdleSeconds + 5));
        close(descriptor);
    }
    EXPECT_TRUE(StartsWith(FetchWithin(port_, "/healthz", 10), "HTTP/1.1 "));
}

// The run's end ends the listener at once, whatever its clients do.
TEST_F(ListenerUnderLoad, StopsWhileClientsHoldConnections) {
    const int stuck = ConnectToLoopback(port_);
    ASSERT_GE(stuck, 0);
    SendAll(stuck, "GET /metrics HTTP/1.1\r\nHost: x\r\n");  // never finished
    auto stopped = std::async(std::launch::async, [this] { listener_.reset(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    stopped.wait();
    close(stuck);
}

// ---- a listener that cannot start ----

struct StartCase {
    const char* name;
    std::string address;
    bool busyPort;  // the port is taken already
    int port;       // when not busy
    std::string error;
};

class ListenerStart : public testing::TestWithParam<StartCase> {};

TEST_P(ListenerStart, IsAnErrorLineAndNoListener) {
    const StartCase& c = GetParam();
    TempDir dir;
    SetLogPath(dir.file("start.log").c_str());
    SetLogLevel(LOG_ERROR);
    const int busy = ListenOnLoopback(0);
    ASSERT_GE(busy, 0);
    const int port = c.busyPort ? BoundPort(busy) : c.port;
    {
        const StatusListener listener(c.address, port, StationFacts{});
        EXPECT_FALSE(listener.Serving());
        EXPECT_EQ(listener.Port(), 0);
    }
    close(busy);
    SetLogPath(nullptr);
    const std::string log = ReadWholeFile(dir.file("start.log"));
    EXPECT_NE(log.find(c.error), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ListenerStart,
    testing::Values(StartCase{"PortInUse", "127.0.0.1", true, 0, "Address already in use"},
                    StartCase{"NoAddress", "localhost", false, 9100,
                              "StatusAddress \"localhost\" is no IPv4 address"},
                    StartCase{"PortTooLarge", "127.0.0.1", false, 70000,
                              "StatusPort=70000 is no port number"},
                    StartCase{"NegativePort", "127.0.0.1", false, -1,
                              "StatusPort=-1 is no port number"}),
    [](const testing::TestParamInfo<StartCase>& info) { return info.param.name; });

struct FormatCase {
    const char* name;
    const char* encode;
    const char* format;
    const char* settings;
    int sampleRate;
};

class OutputFacts : public testing::TestWithParam<FormatCase> {
  protected:
    void TearDown() override { ResetEngineState(); }
};

// The output format and settings /status.json names, from the configuration; Opus output runs at
// 48000 Hz whatever Samplerate says.
TEST_P(OutputFacts, NameTheFormatItsSettingsAndTheRateSent) {
    const FormatCase& c = GetParam();
    ResetEngineState();
    EngineSettings& settings = Engine().settings;
    settings.encodeFormat.assign(c.encode);
    settings.isLame = std::string(c.encode) == "LAME";
    settings.isOggVorbis = std::string(c.encode) == "OGG";
    settings.isOpus = std::string(c.encode) == "OPUS";
    settings.lameCbrFlag = 1;
    settings.oggQuality.assign("3");
    settings.bitrateNominal = 96;
    settings.sampleRate = 44100;
    settings.channels = 2;
    const StationFacts facts = StationFactsOfConfiguration();
    EXPECT_EQ(facts.format, c.format);
    EXPECT_EQ(facts.settings, c.settings);
    EXPECT_EQ(facts.sampleRate, c.sampleRate);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, OutputFacts,
    testing::Values(FormatCase{"Mp3", "LAME", "MP3", "CBR 96 kbit/s", 44100},
                    FormatCase{"OggVorbis", "OGG", "Ogg Vorbis", "quality 3", 44100},
                    FormatCase{"OggOpus", "OPUS", "Ogg Opus", "VBR 96 kbit/s", 48000}),
    [](const testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

}  // namespace
