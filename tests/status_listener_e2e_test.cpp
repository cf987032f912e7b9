// The status listener of the real program during a relay to a real Icecast2 server: /metrics read
// by the Prometheus client's own parser, /status.json showing the source's title, and /healthz
// turning 503 while the destination is away and 200 again once it is back.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/background_run.h"
#include "tests/support/child_process.h"
#include "tests/support/icecast_server.h"
#include "tests/support/loopback.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kMount = "/watched";
constexpr const char* kPython = "/usr/bin/python3";
const std::vector<std::string> kTitles = {"Watched One", "Watched Two", "Watched Three"};

struct Reply {
    long status = 0;  // 0: no answer
    std::string body;
};

std::size_t AppendBody(char* bytes, std::size_t size, std::size_t count, void* body) {
    static_cast<std::string*>(body)->append(bytes, size * count);
    return size * count;
}

Reply Get(std::uint16_t port, const std::string& path) {
    Reply reply;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return reply;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 3000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    }
    curl_easy_cleanup(curl);
    return reply;
}

// Asks until the reply is the wanted one; the last reply otherwise.
template <typename Wanted>
Reply WaitForReply(std::uint16_t port, const std::string& path, int timeoutMs, Wanted wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Reply reply;
    do {
        reply = Get(port, path);
        if (wanted(reply)) return reply;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    return reply;
}

class StatusListenerRelay : public testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ICECAST();
        curl_global_init(CURL_GLOBAL_DEFAULT);
        ASSERT_TRUE(server_.started()) << server_.failure();
        const Mp3Format format{44100, 2, 10.0, 440.0};
        PacedSourceOptions options;
        options.metaInterval = 4000;
        options.bytesPerSecond = Mp3BytesPerSecond(format);
        options.titles = TitlesEvery(3.0, options.bytesPerSecond, kTitles);
        options.loopCount = 6;
        station_ = std::make_unique<PacedSource>(MakeMp3Tone(format), options);
        ASSERT_TRUE(station_->listening());
        statusPort_ = FreeLoopbackPort();
        StationConfig::LoopbackRelay(station_->url(), server_.port(), server_.sourcePassword())
            .Set("ServerMountpoint", kMount)
            .Set("AutomaticReconnect", 1)
            .Set("AutomaticReconnectSecs", 1)
            .Set("SourceReconnect", 1)
            .Set("LogLevel", 2)
            .Set("LogFile", "relay.log")
            .Set("StatusPort", statusPort_)
            .Write(dir_.file("relay.cfg"));
        run_ = std::make_unique<BackgroundTranscode>(TRANSCODE_BINARY, dir_.path(),
                                                     dir_.file("relay.cfg"), 90000);
        ASSERT_GT(run_->Pid(), 0);
    }

    void TearDown() override {
        if (run_ != nullptr && run_->Pid() > 0) kill(run_->Pid(), SIGTERM);
        if (run_ != nullptr) run_->Finish();
    }

    std::string Log() { return ReadWholeFile(dir_.file("relay.log")); }

    IcecastServer server_;
    TempDir dir_;
    std::unique_ptr<PacedSource> station_;
    std::unique_ptr<BackgroundTranscode> run_;
    std::uint16_t statusPort_ = 0;
};

bool IsHealthy(const Reply& reply) {
    return reply.status == 200 && reply.body == "ok\n";
}

TEST_F(StatusListenerRelay, MetricsParseAndStatusShowsTheSourceTitle) {
    const Reply health = WaitForReply(statusPort_, "/healthz", 20000, IsHealthy);
    ASSERT_TRUE(IsHealthy(health)) << health.status << " " << health.body << Log();
    std::string lastTitle;
    ASSERT_TRUE(server_.WaitForTitle(kMount, kTitles[1], 15000, &lastTitle)) << lastTitle;

    const Reply status = WaitForReply(statusPort_, "/status.json", 10000, [](const Reply& r) {
        return r.body.find("\"text\":\"" + kTitles[1] + "\"") != std::string::npos;
    });
    EXPECT_NE(status.body.find("\"text\":\"" + kTitles[1] + "\""), std::string::npos)
        << status.body;
    EXPECT_NE(status.body.find("\"address\":\"127.0.0.1:" + std::to_string(server_.port()) +
                               kMount + "\""),
              std::string::npos)
        << status.body;
    EXPECT_NE(status.body.find("\"state\":\"relaying\""), std::string::npos) << status.body;

    const Reply metrics = Get(statusPort_, "/metrics");
    ASSERT_EQ(metrics.status, 200);
    WriteWholeFile(dir_.file("metrics.txt"), metrics.body);
    const ChildResult check = RunProgram(
        {kPython, std::string(TRANSCODE_SOURCE_DIR) + "/tests/tools/metrics_check.py",
         dir_.file("metrics.txt")},
        dir_.path());
    EXPECT_EQ(check.exitStatus, 0) << check.out << check.err << metrics.body;
    // The JSON reads as JSON.
    WriteWholeFile(dir_.file("status.json"), status.body);
    const ChildResult json = RunProgram(
        {kPython, "-c", "import json,sys; json.load(open(sys.argv[1]))", dir_.file("status.json")},
        dir_.path());
    EXPECT_EQ(json.exitStatus, 0) << json.err << status.body;
}

TEST_F(StatusListenerRelay, HealthTurnsUnavailableDuringADestinationOutageAndBackAfter) {
    const Reply before = WaitForReply(statusPort_, "/healthz", 20000, IsHealthy);
    ASSERT_TRUE(IsHealthy(before)) << before.status << " " << before.body << Log();

    // A destination that holds its connections but reads nothing: the relay stops sending,
    // counts the connection lost and reconnects.
    server_.Pause();
    const Reply during = WaitForReply(statusPort_, "/healthz", 30000, [](const Reply& r) {
        return r.status == 503;
    });
    server_.Resume();
    EXPECT_EQ(during.status, 503) << during.body;
    EXPECT_EQ(during.body.find('\n'), during.body.size() - 1) << "not one line: " << during.body;

    const Reply after = WaitForReply(statusPort_, "/healthz", 40000, IsHealthy);
    EXPECT_TRUE(IsHealthy(after)) << after.status << " " << after.body << Log();
}

}  // namespace
