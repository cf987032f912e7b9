// What the status listener costs the real transcode binary: CPU per audio minute with the listener
// on (and scraped every second) next to off, and private memory over a long paced run scraped
// every second.
//
//   status_bench cpu [runs, default 5] [seconds of audio, default 120]
//       an unpaced relay of music-like MP3 (128 kbit/s, 44100 Hz stereo, a title every 30 s) to a
//       discarding sink, listener off and on in turn (A B A B, one warm-up each); the kernel's
//       accounting of each finished child (wait4); the scraper asks every 20 ms, which is more
//       often per audio second than once a second at real time
//   status_bench memory [minutes, default 10]
//       the same station paced at real time, first 60 s with the listener off, then the given
//       minutes with it on; Private_Clean and Private_Dirty of /proc/PID/smaps_rollup every 10 s.
//       A second relay (listener off) runs beside it all the time, as on a machine with several
//       stations: a library page that no other process maps counts as private, so without it the
//       figure would swing with whatever else runs on the machine.
//
// The scraper asks for /metrics, /healthz and /status.json, each on a connection of its own, and
// reads every reply to its end.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "bench/discard_sink.h"
#include "tests/support/station_config.h"
#include "bench/measured_child.h"
#include "bench/music_mp3.h"
#include "bench/process_sample.h"
#include "tests/support/loopback.h"
#include "tests/support/paced_source.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kBitrateKbps = 128;
constexpr int kSampleRate = 44100;
constexpr double kBytesPerSecond = kBitrateKbps * 125.0;
// The unpaced relay runs some 30 times faster than real time: scraped this often, it gets more
// scrapes per audio second than a real-time station scraped every second.
constexpr std::chrono::milliseconds kUnpacedScrapeInterval{20};

std::string RelayConfig(const TempDir& dir, const std::string& sourceUrl, std::uint16_t sinkPort,
                        bool paced, std::uint16_t statusPort) {
    return StationConfig::LoopbackRelay(sourceUrl, sinkPort, "bench")
        .Set("ServerMountpoint", "/bench")
        .SetOutput("LAME", kBitrateKbps, kSampleRate)
        .Set("LameCBRFlag", 1)
        .Set("LameQuality", 1)
        .Set("OutputPacing", paced ? 1 : 0)
        .Set("LogLevel", 1)
        .Set("LogFile", dir.file("transcode.log"))
        .Set("StatusPort", statusPort)
        .Text();
}

// Bytes of one complete reply; 0 when there was none.
std::size_t Fetch(std::uint16_t port, const char* path) {
    const int descriptor = ConnectToLoopback(port);
    if (descriptor < 0) return 0;
    timeval timeout{2, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request =
        std::string("GET ") + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
    send(descriptor, request.data(), request.size(), MSG_NOSIGNAL);
    std::size_t received = 0;
    char buffer[8192];
    for (ssize_t got; (got = recv(descriptor, buffer, sizeof buffer, 0)) > 0;) {
        received += static_cast<std::size_t>(got);
    }
    close(descriptor);
    return received;
}

// Scrapes the three pages once per interval until destroyed.
class Scraper {
  public:
    Scraper(std::uint16_t port, std::chrono::milliseconds interval)
        : port_(port), interval_(interval), thread_([this] { Run(); }) {}
    ~Scraper() {
        stopping_ = true;
        thread_.join();
    }
    int answered() const { return answered_.load(); }

  private:
    void Run() {
        auto next = std::chrono::steady_clock::now();
        while (!stopping_.load()) {
            if (Fetch(port_, "/metrics") > 0) ++answered_;
            Fetch(port_, "/healthz");
            Fetch(port_, "/status.json");
            next += interval_;
            while (!stopping_.load() && std::chrono::steady_clock::now() < next) {
                std::this_thread::sleep_for(std::min(interval_, std::chrono::milliseconds(20)));
            }
        }
    }

    std::uint16_t port_;
    std::chrono::milliseconds interval_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

PacedSourceOptions Station(double seconds, bool paced, int loops) {
    PacedSourceOptions options;
    options.bytesPerSecond = paced ? kBytesPerSecond : 0;
    options.chunkBytes = paced ? 4096 : 16384;
    options.loopCount = loops;
    options.maxStreamMs = static_cast<int>((seconds * loops + 60) * 1000);
    for (int second = 0; second < seconds; second += 30) {
        options.titles.push_back({static_cast<std::size_t>(second * kBytesPerSecond),
                                  "Bench Artist - Song at " + std::to_string(second) + " s"});
    }
    return options;
}

void PrintRow(const char* what, const std::vector<double>& values, const char* unit) {
    if (values.empty()) return;
    const Spread spread = SpreadOf(values);
    std::printf("  %-44s %8.3f %8.3f %8.3f  %s\n", what, spread.min, spread.median, spread.max,
                unit);
}

int RunCpu(int runs, double audioSeconds) {
    ChildLauncher launcher;
    TempDir dir;
    const std::string mp3 = MakeMusicLikeMp3(audioSeconds, kSampleRate, kBitrateKbps);
    PacedSource station(mp3, Station(audioSeconds, false, 1));
    DiscardSink sink;
    std::vector<double> off;
    std::vector<double> on;
    std::vector<double> ratios;
    std::printf("cpu: %.0f s of music-like MP3 per run, unpaced; one warm-up each, then %d pairs\n",
                audioSeconds, runs);
    for (int run = 0; run <= runs; ++run) {
        double pair[2] = {0, 0};
        for (const bool listening : {false, true}) {
            const std::uint16_t statusPort = listening ? FreeLoopbackPort() : 0;
            WriteWholeFile(dir.file("bench.cfg"),
                           RelayConfig(dir, station.url(), sink.port(), false, statusPort));
            std::unique_ptr<Scraper> scraper;
            if (listening) scraper = std::make_unique<Scraper>(statusPort, kUnpacedScrapeInterval);
            const ChildResult usage =
                launcher.Run({TRANSCODE_BINARY, "-n", "-c", dir.file("bench.cfg")}, dir.path(),
                             dir.file("relay.out"), static_cast<int>(audioSeconds * 1000));
            const int scrapes = scraper ? scraper->answered() : 0;
            scraper.reset();
            sink.WaitUntilAllClosed(5000);
            const double perMinute = usage.cpuSeconds() / (audioSeconds / 60.0);
            std::printf("  %s listener %-3s cpu %6.3f s  wall %6.2f s  peak %5.1f MiB  "
                        "%d scrapes (%.1f per audio second)\n",
                        run == 0 ? "warm-up" : "       ", listening ? "on" : "off",
                        usage.cpuSeconds(), usage.wallSeconds, usage.peakMiB, scrapes,
                        scrapes / audioSeconds);
            std::fflush(stdout);
            pair[listening ? 1 : 0] = perMinute;
        }
        if (run == 0) continue;
        off.push_back(pair[0]);
        on.push_back(pair[1]);
        ratios.push_back(pair[1] / pair[0]);
    }
    std::printf("\n  %-44s %8s %8s %8s\n", "", "min", "median", "max");
    PrintRow("CPU per audio minute, listener off", off, "s");
    PrintRow("CPU per audio minute, listener on (scraped)", on, "s");
    PrintRow("on / off, pair by pair", ratios, "");
    return 0;
}

// Private_Clean and Private_Dirty of the process in KiB; negative when unreadable.
std::pair<double, double> PrivateCleanAndDirty(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    double clean = -1;
    double dirty = -1;
    for (std::string line; std::getline(rollup, line);) {
        const double kib = std::atof(line.c_str() + line.find(':') + 1);
        if (line.rfind("Private_Clean:", 0) == 0) clean = kib;
        if (line.rfind("Private_Dirty:", 0) == 0) dirty = kib;
    }
    return {clean, dirty};
}

// Samples the relay every 10 s for the given time; prints each sample, returns private KiB.
std::vector<double> SamplePrivateMemory(pid_t pid, double seconds, const char* what) {
    std::vector<double> privateKiB;
    const double start = MonotonicSeconds();
    for (double next = start + 10; next <= start + seconds; next += 10) {
        while (MonotonicSeconds() < next) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const ProcessSample sample = SampleProcess(pid);
        const auto [clean, dirty] = PrivateCleanAndDirty(pid);
        if (!sample.valid || clean < 0) break;
        privateKiB.push_back(clean + dirty);
        std::printf("  %-14s t=%5.0f s  private %6.0f KiB (clean %5.0f, dirty %5.0f)  resident "
                    "%6.0f KiB  fds %d  cpu %.2f s\n",
                    what, next - start, clean + dirty, clean, dirty, sample.residentKiB,
                    sample.descriptors, sample.cpuSeconds);
        std::fflush(stdout);
    }
    return privateKiB;
}

void PrintMemory(const char* what, const std::vector<double>& privateKiB) {
    if (privateKiB.size() < 3) return;
    // The first 30 s page in what a run needs; the figures are those after them.
    const std::vector<double> settled(privateKiB.begin() + 2, privateKiB.end());
    std::vector<double> minutes;
    for (std::size_t index = 0; index < settled.size(); ++index) minutes.push_back(index / 6.0);
    const auto [least, most] = std::minmax_element(settled.begin(), settled.end());
    std::printf("  %-14s private KiB first %.0f / last %.0f, least %.0f, most %.0f, "
                "slope %+.1f KiB per minute\n",
                what, settled.front(), settled.back(), *least, *most,
                LeastSquaresSlope(minutes, settled));
}

int RunMemory(double minutes) {
    TempDir dir;
    const double loopSeconds = 60;
    const std::string mp3 = MakeMusicLikeMp3(loopSeconds, kSampleRate, kBitrateKbps);
    DiscardSink sink;
    std::printf("memory: music-like MP3 paced at real time; 60 s listener off, then %.0f min on, "
                "scraped every second\n",
                minutes);
    const struct {
        const char* what;
        double seconds;
        bool listening;
    } phases[] = {{"listener off", 60, false}, {"listener on", minutes * 60, true}};
    PacedSource companionStation(mp3, Station(loopSeconds, true, 100));
    WriteWholeFile(dir.file("companion.cfg"),
                   RelayConfig(dir, companionStation.url(), sink.port(), true, 0));
    ChildProcess companion(MeasuredStart({TRANSCODE_BINARY, "-n", "-c", dir.file("companion.cfg")},
                                         dir.path(), dir.file("companion.out")));
    std::vector<double> results[2];
    for (std::size_t index = 0; index < 2; ++index) {
        const auto& phase = phases[index];
        const int loops = static_cast<int>(phase.seconds / loopSeconds) + 2;
        PacedSource station(mp3, Station(loopSeconds, true, loops));
        const std::uint16_t statusPort = phase.listening ? FreeLoopbackPort() : 0;
        WriteWholeFile(dir.file("bench.cfg"),
                       RelayConfig(dir, station.url(), sink.port(), true, statusPort));
        ChildProcess relay(MeasuredStart({TRANSCODE_BINARY, "-n", "-c", dir.file("bench.cfg")},
                                         dir.path(), dir.file("relay.out")));
        std::unique_ptr<Scraper> scraper;
        if (phase.listening) {
            scraper = std::make_unique<Scraper>(statusPort, std::chrono::milliseconds(1000));
        }
        results[index] = SamplePrivateMemory(relay.pid(), phase.seconds, phase.what);
        const int scrapes = scraper ? scraper->answered() : 0;
        scraper.reset();
        relay.Stop(10000);
        if (phase.listening) std::printf("  %d scrapes answered\n", scrapes);
    }
    companion.Stop(10000);
    std::printf("\n");
    for (std::size_t index = 0; index < 2; ++index) PrintMemory(phases[index].what, results[index]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "cpu") {
        const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
        const double seconds = argc > 3 ? std::max(10.0, std::atof(argv[3])) : 120.0;
        return RunCpu(runs, seconds);
    }
    if (mode == "memory") {
        const double minutes = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 10.0;
        return RunMemory(minutes);
    }
    std::fprintf(stderr, "usage: status_bench cpu [runs] [seconds] | memory [minutes]\n");
    return 2;
}
