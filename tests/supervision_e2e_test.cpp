// The `transcode` program under a supervisor: the notifications systemd receives on its
// NOTIFY_SOCKET (here a datagram socket of the test) from a relay whose destination reads and
// from one whose destination stops reading, and dead air on the source handing over to the
// backup station.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fault_run.h"
#include "tests/support/log_lines.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRunTimeoutMs = 90000;
constexpr int kWaitMs = 20000;
constexpr const char* kTitle = "Notify Artist - Notify Song";
// WATCHDOG_USEC of the runs: the relay pings at half of it.
constexpr auto kWatchdogInterval = 1s;

// The socket systemd would listen on: it takes every datagram with the time it came.
class NotifyListener {
  public:
    struct Message {
        std::string text;
        Clock::time_point at;
    };

    explicit NotifyListener(const std::string& path) {
        descriptor_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = descriptor_ >= 0 &&
                 bind(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (bound_) thread_ = std::thread([this] { Run(); });
    }

    ~NotifyListener() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (descriptor_ >= 0) close(descriptor_);
    }

    bool bound() const { return bound_; }

    std::vector<Message> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

    // The time the first message with this text came; waits for it.
    bool WaitFor(const std::string& text, int timeoutMs) const {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            for (const Message& message : Messages()) {
                if (message.text == text) return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::vector<Clock::time_point> TimesOf(const std::string& text) const {
        std::vector<Clock::time_point> times;
        for (const Message& message : Messages()) {
            if (message.text == text) times.push_back(message.at);
        }
        return times;
    }

    std::string Shown() const {
        std::string shown;
        for (const Message& message : Messages()) shown += "[" + message.text + "] ";
        return shown;
    }

  private:
    void Run() {
        char buffer[4096];
        while (!stopping_) {
            pollfd wait{descriptor_, POLLIN, 0};
            if (poll(&wait, 1, 100) <= 0) continue;
            const ssize_t length = recv(descriptor_, buffer, sizeof buffer, 0);
            if (length <= 0) continue;
            std::lock_guard lock(mutex_);
            messages_.push_back({std::string(buffer, static_cast<std::size_t>(length)), Clock::now()});
        }
    }

    int descriptor_ = -1;
    bool bound_ = false;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;  // guards messages_
    std::vector<Message> messages_;
    std::thread thread_;
};

const Mp3Format kToneFormat{44100, 2, 10.0, 440.0};

PacedSourceOptions Station(const std::string& title) {
    PacedSourceOptions options;
    options.metaInterval = 4096;
    options.titles = {{0, title}};
    options.bytesPerSecond = Mp3BytesPerSecond(kToneFormat);
    options.loopCount = 9;
    options.maxStreamMs = kRunTimeoutMs;
    return options;
}

class SupervisedRunTest : public ::testing::Test {
  protected:
    SupervisedRunTest() { destination_.SetReply("HTTP/1.0 200 OK\r\n\r\n"); }

    void TearDown() override {
        if (run_ && !runEnded_) run_->Terminate();
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
    }

    // A run whose supervisor listens on a socket of this test, with a watchdog.
    FaultRun& StartSupervised(const StationConfig& settings) {
        setenv("NOTIFY_SOCKET", notifyPath_.c_str(), 1);
        const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(kWatchdogInterval);
        setenv("WATCHDOG_USEC", std::to_string(usec.count()).c_str(), 1);
        unsetenv("WATCHDOG_PID");
        run_ = std::make_unique<FaultRun>(dir_, settings, kRunTimeoutMs);
        return *run_;
    }

    std::string Log() const { return ReadWholeFile(dir_.file("transcode.log")); }

    bool WaitForLog(const std::string& text, int timeoutMs) const {
        return run_->WaitForLog(text, timeoutMs);
    }

    TempDir dir_;
    std::string notifyPath_ = dir_.file("notify");
    MockServer destination_;
    std::unique_ptr<FaultRun> run_;
    bool runEnded_ = false;
};

// ---- sd_notify: ready, status, watchdog, stopping ----

struct WatchdogCase {
    const char* name;
    bool destinationReads;
};

void PrintTo(const WatchdogCase& c, std::ostream* out) {
    *out << c.name;
}

class WatchdogTest : public SupervisedRunTest,
                     public ::testing::WithParamInterface<WatchdogCase> {};

// The longest time between two pings from `from` on, or up to now after the last.
Clock::duration LongestPingGap(const std::vector<Clock::time_point>& pings, Clock::time_point from,
                               Clock::time_point now) {
    Clock::duration longest{};
    Clock::time_point previous = from;
    for (const Clock::time_point ping : pings) {
        if (ping < from) continue;
        longest = std::max(longest, ping - previous);
        previous = ping;
    }
    return std::max(longest, now - previous);
}

TEST_P(WatchdogTest, ThePingsGoOutWhileAudioReachesTheDestinationAndOnlyThen) {
    const bool reads = GetParam().destinationReads;
    NotifyListener supervisor(notifyPath_);
    ASSERT_TRUE(supervisor.bound());
    PacedSource station(MakeMp3Tone(kToneFormat), Station(kTitle));
    ASSERT_TRUE(station.listening());
    if (!reads) {
        destination_.SetStopReadingAfterReply(true);
        destination_.SetReceiveBufferBytes(4096);
    }
    StationConfig settings = FaultRunSettings(dir_, station.url(), destination_.port());
    // Without reading, the lost destination is waited for, long: the process lives on.
    settings.Set("AutomaticReconnect", "1");
    settings.Set("AutomaticReconnectSecs", "60");
    FaultRun& run = StartSupervised(settings);

    ASSERT_TRUE(supervisor.WaitFor("READY=1", kWaitMs)) << supervisor.Shown() << run.Shown();
    ASSERT_TRUE(supervisor.WaitFor(std::string("STATUS=Relaying: ") + kTitle, kWaitMs))
        << supervisor.Shown();
    const Clock::time_point ready = supervisor.TimesOf("READY=1").front();

    if (reads) {
        // Five intervals of audio: never an interval without a ping.
        std::this_thread::sleep_until(ready + 5 * kWatchdogInterval);
        const auto pings = supervisor.TimesOf("WATCHDOG=1");
        EXPECT_LT(LongestPingGap(pings, ready, Clock::now()), kWatchdogInterval)
            << supervisor.Shown();
        runEnded_ = true;
        run.Terminate();
        EXPECT_TRUE(StoppedWithDone(run.Finish())) << run.Shown();
        EXPECT_TRUE(supervisor.WaitFor("STOPPING=1", kWaitMs)) << supervisor.Shown();
        return;
    }
    // Once the buffers are full (or the destination is given up) the pings stop, while the
    // process runs on, waiting to reconnect.
    const auto end = Clock::now() + 30s;
    bool quiet = false;
    while (!quiet && Clock::now() < end) {
        std::this_thread::sleep_for(100ms);
        const auto pings = supervisor.TimesOf("WATCHDOG=1");
        const Clock::time_point last = pings.empty() ? ready : pings.back();
        quiet = Clock::now() - last > 3 * kWatchdogInterval;
    }
    EXPECT_TRUE(quiet) << supervisor.Shown();
    EXPECT_EQ(kill(run.Pid(), 0), 0) << "the relay ended instead of hanging on";
}

INSTANTIATE_TEST_SUITE_P(Destinations, WatchdogTest,
                         ::testing::Values(WatchdogCase{"Reading", true},
                                           WatchdogCase{"StoppedReading", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Started without NOTIFY_SOCKET, the relay relays as ever and sends nothing anywhere.
TEST_F(SupervisedRunTest, WithoutANotifySocketNothingIsSent) {
    NotifyListener supervisor(notifyPath_);
    ASSERT_TRUE(supervisor.bound());
    PacedSource station(MakeMp3Tone(kToneFormat), Station(kTitle));
    ASSERT_TRUE(station.listening());
    unsetenv("NOTIFY_SOCKET");
    setenv("WATCHDOG_USEC", "1000000", 1);
    run_ = std::make_unique<FaultRun>(
        dir_, FaultRunSettings(dir_, station.url(), destination_.port()), kRunTimeoutMs);
    ASSERT_TRUE(destination_.WaitForBytes(0, 40000, kWaitMs)) << run_->Shown();
    runEnded_ = true;
    run_->Terminate();
    EXPECT_TRUE(StoppedWithDone(run_->Finish())) << run_->Shown();
    EXPECT_EQ(supervisor.Shown(), "");
}

// ---- dead air ----

// The primary station plays digital silence; with SourceReconnect the dead air counts as a failed
// source and the backup, quiet music (a tone at about -34 dBFS), takes over without being taken
// for dead air itself.
TEST_F(SupervisedRunTest, DeadAirOnThePrimaryHandsOverToTheBackup) {
    Mp3Format silent = kToneFormat;
    silent.amplitude = 0.0f;
    PacedSource primary(MakeMp3Tone(silent), Station("Primary - Silence"));
    Mp3Format quiet = kToneFormat;
    quiet.amplitude = 0.02f;
    PacedSource backup(MakeMp3Tone(quiet), Station("Backup - Quiet"));
    ASSERT_TRUE(primary.listening());
    ASSERT_TRUE(backup.listening());
    StationConfig settings = FaultRunSettings(dir_, primary.url(), destination_.port());
    settings.Set("SourceReconnect", "1");
    settings.Set("SourceBackupURL", backup.url());
    settings.Set("SourceRetrySecs", "2");
    settings.Set("SilenceSecs", "2");
    settings.Set("LevelLogSecs", "1");
    run_ = std::make_unique<FaultRun>(dir_, settings, kRunTimeoutMs);

    ASSERT_TRUE(WaitForLog("Dead air: the source has stayed below -50 dBFS for 2 s", kWaitMs))
        << Log();
    ASSERT_TRUE(WaitForLog("Sound from the source again after ", kWaitMs)) << Log();
    EXPECT_FALSE(backup.Requests().empty());
    // Quiet music plays on: four more seconds of it (a level line each) without another
    // dead-air line.
    const std::string levelLine = "Source level: short-term loudness -";
    const std::size_t linesBefore = OccurrencesOf(Log(), levelLine);
    for (int waited = 0; OccurrencesOf(Log(), levelLine) < linesBefore + 4 && waited < kWaitMs;
         waited += 50) {
        std::this_thread::sleep_for(50ms);
    }
    const std::string log = Log();
    ASSERT_GE(OccurrencesOf(log, levelLine), linesBefore + 4) << log;
    EXPECT_EQ(OccurrencesOf(log, "Dead air:"), 1u) << log;
    EXPECT_EQ(primary.Requests().size(), 1u) << "the silent primary was taken back";
    runEnded_ = true;
    run_->Terminate();
    EXPECT_TRUE(StoppedWithDone(run_->Finish())) << run_->Shown();
}

}  // namespace
