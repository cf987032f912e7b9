// How often an idle Ogg Vorbis station wakes the machine: the real `transcode` binary relays a
// paced Ogg Vorbis source (a thread of this process, real time) as MP3 to a local destination
// that takes every byte, and the benchmark reads the voluntary context switches of each of the
// relay's threads (/proc/PID/task/TID/status) over a measured window. Every wake-up from a wait
// (a condition, a sleep, a poll) is one voluntary switch, so the figure counts the waits that
// return, whether for data or for a time-out.
//
//   idle_wakeups_bench [--binary PATH] [--seconds N] [--icecast]
//
// --binary runs another build (the one to compare with); --seconds sets the window (default 10);
// --icecast relays to a real local Icecast2 server instead of the loopback sink. Exit status 0,
// 2 when the relay could not run, 77 when --icecast is given and icecast2 is not installed.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/background_run.h"
#include "tests/support/icecast_server.h"
#include "tests/support/mock_server.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStationSeconds = 60;  // audio per connection; longer than any window
constexpr double kSettleSeconds = 3;    // after the first relayed bytes, before the window

struct Arguments {
    std::string binary = TRANSCODE_BINARY;
    double seconds = 10;
    bool icecast = false;
};

bool Parse(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--binary") == 0 && hasValue) {
            arguments.binary = argv[++i];
        } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
            arguments.seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--icecast") == 0) {
            arguments.icecast = true;
        } else {
            return false;
        }
    }
    return arguments.seconds > 0;
}

// A station's worth of Ogg Vorbis: a tone, stereo, 44.1 kHz, about 8 KB a second.
std::string OggStation() {
    OggLinkSpec link;
    link.frameCount = static_cast<int>(kStationSeconds * link.sampleRate);
    link.comments = {"ARTIST=Bench", "TITLE=Idle Station"};
    return MakeOggVorbis({link});
}

std::string FieldOf(const std::string& statusText, const std::string& field) {
    const std::size_t at = statusText.find(field + ":");
    if (at == std::string::npos) return {};
    const std::size_t start = statusText.find_first_not_of(" \t", at + field.size() + 1);
    return statusText.substr(start, statusText.find('\n', start) - start);
}

// Voluntary context switches of every thread of the process, by "TID name".
std::map<std::string, long> SwitchesByThread(pid_t pid) {
    std::map<std::string, long> switches;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code failed;
    for (const auto& task : std::filesystem::directory_iterator(tasks, failed)) {
        std::ifstream statusFile(task.path() / "status");
        const std::string text((std::istreambuf_iterator<char>(statusFile)),
                               std::istreambuf_iterator<char>());
        const std::string count = FieldOf(text, "voluntary_ctxt_switches");
        if (count.empty()) continue;
        switches[task.path().filename().string() + " " + FieldOf(text, "Name")] =
            std::atol(count.c_str());
    }
    return switches;
}

StationConfig Config(const TempDir& dir, const std::string& sourceUrl, uint16_t port,
                     const std::string& password, const std::string& mount) {
    return StationConfig::LoopbackRelay(sourceUrl, port, password)
        .Set("ServerMountpoint", mount)
        .SetOutput("LAME")
        .Set("LameQuality", 7)
        .Set("AutomaticReconnect", 0)
        .Set("LogLevel", 2)
        .Set("LogFile", dir.file("transcode.log"));
}

bool WaitForRelayedBytes(MockServer* sink, const IcecastServer* server, const TempDir& dir) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        if (sink != nullptr && sink->ConnectionCount() > 0 && sink->WaitForBytes(0, 20000, 100)) {
            return true;
        }
        if (server != nullptr &&
            ReadWholeFile(dir.file("transcode.log")).find("Transcoding") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!Parse(argc, argv, arguments)) {
        std::fprintf(stderr, "usage: %s [--binary PATH] [--seconds N] [--icecast]\n", argv[0]);
        return 2;
    }
    if (arguments.icecast && !IcecastServer::Available()) return 77;

    const std::string station = OggStation();
    PacedSourceOptions options;
    options.contentType = "application/ogg";
    options.metaInterval = 0;
    options.bytesPerSecond = static_cast<double>(station.size()) / kStationSeconds;
    options.chunkBytes = 4096;
    options.maxStreamMs = static_cast<int>((kStationSeconds + 30) * 1000);
    PacedSource source(station, options);

    std::unique_ptr<MockServer> sink;
    std::unique_ptr<IcecastServer> server;
    uint16_t port = 0;
    std::string password = "hackme";
    if (arguments.icecast) {
        server = std::make_unique<IcecastServer>();
        if (!server->started()) {
            std::fprintf(stderr, "icecast2 did not start: %s\n", server->failure().c_str());
            return 2;
        }
        port = server->port();
        password = server->sourcePassword();
    } else {
        sink = std::make_unique<MockServer>();
        sink->SetReply("HTTP/1.0 200 OK\r\n\r\n");
        port = sink->port();
    }

    TempDir dir;
    Config(dir, source.url(), port, password, "/idle.mp3").Write(dir.file("idle.cfg"));
    const int runMs = static_cast<int>((kSettleSeconds + arguments.seconds + 40) * 1000);
    BackgroundTranscode run(arguments.binary, dir.path(), "idle.cfg", runMs);
    const pid_t pid = run.Pid();
    if (pid <= 0 || !WaitForRelayedBytes(sink.get(), server.get(), dir)) {
        std::fprintf(stderr, "the relay did not start:\n%s\n", run.Finish().out.c_str());
        return 2;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettleSeconds));

    const auto before = SwitchesByThread(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(arguments.seconds));
    const auto after = SwitchesByThread(pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    kill(pid, SIGTERM);
    run.Finish();

    std::printf("binary: %s\nwindow: %.1f s, Ogg Vorbis source at %.0f bytes/s, destination: %s\n",
                arguments.binary.c_str(), seconds, options.bytesPerSecond,
                arguments.icecast ? "Icecast2" : "loopback sink");
    std::printf("%-28s %12s\n", "thread", "wake-ups/s");
    double total = 0;
    for (const auto& [thread, count] : after) {
        const auto earlier = before.find(thread);
        const long start_count = earlier == before.end() ? 0 : earlier->second;
        const double perSecond = static_cast<double>(count - start_count) / seconds;
        total += perSecond;
        std::printf("%-28s %12.1f\n", thread.c_str(), perSecond);
    }
    std::printf("%-28s %12.1f\n", "process", total);
    return 0;
}
