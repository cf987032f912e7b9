// Source outages relayed without a break: the real `transcode` binary with SourceReconnect=1
// relays a paced ICY MP3 station (a thread of this process, music-like audio at its byte rate)
// as MP3 to a real local Icecast2 server, with a listener on the relay's mount, while the
// benchmark stops the station and starts it again on the same port. See bench/README.md.
//
//   outage_bench [long]        outages of 15 s, 15 s and 120 s, each followed by 25 s of station
//   outage_bench flap [count]  `count` (default 200) cycles of 1 s down, 1 s up; the relay's
//                              private memory and descriptors sampled every 25 cycles
//   --binary PATH              another transcode binary
//
// Per outage (long): listener reconnections, the longest gap in the listener's bytes, audio
// received (decoded with libmpg123) against wall time, the FallbackTitle at the mount while the
// station is away, and the times from the station's return to its title at the mount and to the
// relay's "Source playing again after" log line. Exit status 0, 1 when the listener had to
// reconnect or the relay ended, 2 when it could not run, 77 when icecast2 is not installed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/latency_watch.h"
#include "bench/measured_child.h"
#include "bench/music_mp3.h"
#include "bench/process_sample.h"
#include "tests/support/arrival_listener.h"
#include "tests/support/audio_check.h"
#include "tests/support/icecast_server.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSampleRate = 44100;
constexpr int kSourceKbps = 128;
constexpr double kBytesPerSecond = kSourceKbps * 125.0;
constexpr int kMetaInterval = 8192;
constexpr double kStationAudioSeconds = 30;
constexpr int kStationLoops = 6;  // 180 s per connection, longer than any time up
constexpr int kRetrySecs = 5;
constexpr const char* kMount = "/outage.mp3";
constexpr const char* kFallbackTitle = "Outage Bench - Station Away";
constexpr const char* kPlayingAgain = "Source playing again after";
constexpr double kWarmUpSeconds = 20;
constexpr double kLongUpSeconds = 25;
constexpr double kAfterReturnWindow = 10;  // the outage's window ends this long after the return
constexpr int kFlapSampleEvery = 25;

double Since(double from) { return MonotonicSeconds() - from; }

double SecondsOf(ArrivalListener::Clock::time_point at) {
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

std::string StationTitle(int life) { return "Outage Artist - Station Life " + std::to_string(life); }

// The station: stopped by destroying it, started again on the same port with a new title.
class Station {
  public:
    Station() : audio_(MakeMusicLikeMp3(kStationAudioSeconds, kSampleRate, kSourceKbps)) {}

    bool Start() {
        ++life_;
        PacedSourceOptions options;
        options.bytesPerSecond = kBytesPerSecond;
        options.metaInterval = kMetaInterval;
        options.titles = {{0, StationTitle(life_)}};
        options.loopCount = kStationLoops;
        options.maxStreamMs = static_cast<int>(kStationAudioSeconds * kStationLoops * 1000);
        options.port = port_;
        source_ = std::make_unique<PacedSource>(audio_, options);
        if (!source_->listening()) return false;
        port_ = source_->port();
        return true;
    }
    void Stop() { source_.reset(); }
    int life() const { return life_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/stream"; }
    bool empty() const { return audio_.empty(); }

  private:
    std::string audio_;
    std::unique_ptr<PacedSource> source_;
    uint16_t port_ = 0;
    int life_ = 0;
};

// Lines of the relay's log file as they appear, each stamped when this thread first read it.
class LogTail {
  public:
    struct Line {
        double atSeconds = 0;
        std::string text;
    };
    LogTail(std::string path, int maxMs) : path_(std::move(path)), maxMs_(maxMs) {
        thread_ = std::thread([this] { Run(); });
    }
    ~LogTail() { Stop(); }
    void Stop() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    std::vector<Line> Lines() const {
        std::lock_guard hold(mutex_);
        return lines_;
    }
    // The first line containing `text` read at or after `from`; 0 when none.
    double FirstAfter(const std::string& text, double from) const {
        std::lock_guard hold(mutex_);
        for (const Line& line : lines_) {
            if (line.atSeconds >= from && line.text.find(text) != std::string::npos)
                return line.atSeconds;
        }
        return 0;
    }
    // Lines containing `text` read in [from, to).
    int Count(const std::string& text, double from = 0, double to = 1e300) const {
        std::lock_guard hold(mutex_);
        int count = 0;
        for (const Line& line : lines_) {
            count += line.atSeconds >= from && line.atSeconds < to &&
                     line.text.find(text) != std::string::npos;
        }
        return count;
    }

  private:
    void Run() {
        const double end = MonotonicSeconds() + maxMs_ / 1000.0;
        std::size_t offset = 0;
        std::string pending;
        while (!stopping_.load() && MonotonicSeconds() < end) {
            std::ifstream file(path_, std::ios::binary);
            if (file) {
                file.seekg(static_cast<std::streamoff>(offset));
                std::string chunk((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
                offset += chunk.size();
                pending += chunk;
                const double now = MonotonicSeconds();
                std::size_t newline;
                while ((newline = pending.find('\n')) != std::string::npos) {
                    std::lock_guard hold(mutex_);
                    lines_.push_back({now, pending.substr(0, newline)});
                    pending.erase(0, newline + 1);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::string path_;
    int maxMs_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    std::thread thread_;
};

// A listener of the mount that connects again when the server drops it (each new connection is
// a reconnection, which a relay that bridges its source's outages never causes).
class MountListener {
  public:
    struct Piece {
        double atSeconds = 0;
        std::size_t connection = 0;
        std::size_t offset = 0;  // in that connection's body
        std::size_t byteCount = 0;
    };
    MountListener(const IcecastServer& server, int maxMs) : server_(server), maxMs_(maxMs) {
        thread_ = std::thread([this] { Run(); });
    }
    ~MountListener() { Stop(); }
    void Stop() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
        std::lock_guard hold(mutex_);
        for (auto& connection : connections_) connection->Stop();
    }
    int connectionCount() const {
        std::lock_guard hold(mutex_);
        return static_cast<int>(connections_.size());
    }
    // After Stop: every piece of every connection in time order, and the connections' start times.
    std::vector<Piece> Pieces() const {
        std::lock_guard hold(mutex_);
        std::vector<Piece> pieces;
        for (std::size_t index = 0; index < connections_.size(); ++index) {
            std::size_t offset = 0;
            for (const auto& arrival : connections_[index]->Arrivals()) {
                pieces.push_back({SecondsOf(arrival.at), index, offset, arrival.byteCount});
                offset += arrival.byteCount;
            }
        }
        std::sort(pieces.begin(), pieces.end(),
                  [](const Piece& a, const Piece& b) { return a.atSeconds < b.atSeconds; });
        return pieces;
    }
    std::vector<double> ConnectedAt() const {
        std::lock_guard hold(mutex_);
        return connectedAt_;
    }
    std::string Body(std::size_t connection) const {
        std::lock_guard hold(mutex_);
        return connections_[connection]->Body();
    }

  private:
    void Run() {
        const double end = MonotonicSeconds() + maxMs_ / 1000.0;
        std::string title;
        while (!stopping_.load() && MonotonicSeconds() < end) {
            if (!FindMountTitle(server_.FetchStatusJson(), kMount, title)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            ArrivalListener* current = nullptr;
            {
                std::lock_guard hold(mutex_);
                connectedAt_.push_back(MonotonicSeconds());
                connections_.push_back(std::make_unique<ArrivalListener>(
                    server_.port(), kMount,
                    static_cast<int>((end - MonotonicSeconds()) * 1000)));
                current = connections_.back().get();
            }
            while (!stopping_.load() && MonotonicSeconds() < end && !current->DroppedByServer())
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    const IcecastServer& server_;
    int maxMs_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<ArrivalListener>> connections_;
    std::vector<double> connectedAt_;
    std::thread thread_;
};

// What the listener got between two instants.
struct Window {
    int reconnections = 0;
    double longestGap = 0;
    double longestGapAt = 0;  // seconds after the window's start
    double audioSeconds = 0;
    double wallSeconds = 0;
};

Window Measure(const MountListener& listener, const std::vector<MountListener::Piece>& pieces,
               double from, double to) {
    Window window;
    window.wallSeconds = to - from;
    const std::vector<double> connectedAt = listener.ConnectedAt();
    for (std::size_t index = 1; index < connectedAt.size(); ++index)
        window.reconnections += connectedAt[index] >= from && connectedAt[index] < to;
    double previous = from;
    // Each connection's bytes that arrived in the window, as [first, last) offsets.
    std::vector<std::pair<std::size_t, std::size_t>> spans(connectedAt.size(),
                                                           {SIZE_MAX, 0});
    for (const MountListener::Piece& piece : pieces) {
        if (piece.atSeconds < from) continue;
        if (piece.atSeconds >= to) break;
        if (piece.atSeconds - previous > window.longestGap) {
            window.longestGap = piece.atSeconds - previous;
            window.longestGapAt = previous - from;
        }
        previous = piece.atSeconds;
        auto& span = spans[piece.connection];
        span.first = std::min(span.first, piece.offset);
        span.second = std::max(span.second, piece.offset + piece.byteCount);
    }
    if (to - previous > window.longestGap) {
        window.longestGap = to - previous;
        window.longestGapAt = previous - from;
    }
    for (std::size_t index = 0; index < spans.size(); ++index) {
        if (spans[index].first >= spans[index].second) continue;
        const std::string bytes = listener.Body(index).substr(
            spans[index].first, spans[index].second - spans[index].first);
        constexpr std::size_t kSlice = 1 << 20;
        for (std::size_t at = 0; at < bytes.size(); at += kSlice) {
            const DecodedAudio audio = DecodeMp3(bytes.substr(at, kSlice));
            if (audio.sampleRate > 0)
                window.audioSeconds += static_cast<double>(audio.frameCount()) / audio.sampleRate;
        }
    }
    return window;
}

// The first time at or after `from` (and before `to`, when given) that the mount showed `title`;
// 0 when it did not.
double TitleShownAt(const std::vector<SeenTitle>& titles, const std::string& title, double from,
                    double to = 1e300) {
    for (std::size_t index = 0; index < titles.size(); ++index) {
        const double until = index + 1 < titles.size() ? titles[index + 1].atSeconds : 1e300;
        if (titles[index].title != title || until < from || titles[index].atSeconds >= to)
            continue;
        return std::max(titles[index].atSeconds, from);
    }
    return 0;
}

std::string Delay(double at, double from) {
    if (at <= 0) return "never";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", at - from);
    return text;
}

struct Rig {
    IcecastServer& server;
    std::string binary;
    TempDir directory;
    Station station;
    std::unique_ptr<ChildProcess> relay;
    double startedAt = MonotonicSeconds();

    explicit Rig(IcecastServer& s, std::string b) : server(s), binary(std::move(b)) {}

    double Now() const { return Since(startedAt); }
    void Note(const std::string& what) const {
        std::printf("%8.1f s  %s\n", Now(), what.c_str());
        std::fflush(stdout);
    }
    std::string logPath() const { return directory.file("transcode.log"); }

    bool StartRelay() {
        StationConfig::LoopbackRelay(station.url(), server.port(), server.sourcePassword())
            .Set("ServerMountpoint", kMount)
            .SetOutput("LAME")
            .Set("LameCBRFlag", 1)
            .Set("SourceReconnect", 1)
            .Set("SourceRetrySecs", kRetrySecs)
            .Set("FallbackTitle", kFallbackTitle)
            .Set("OutputPacing", 1)
            .Set("AutomaticReconnect", 1)
            .Set("AutomaticReconnectSecs", 1)
            .Set("LogLevel", 2)
            .Set("LogFile", logPath())
            .Write(directory.file("relay.cfg"));
        relay = std::make_unique<ChildProcess>(
            MeasuredStart({binary, "-n", "-c", directory.file("relay.cfg")}, directory.path(),
                          directory.file("relay.out")));
        Note("relay started, pid " + std::to_string(relay->pid()));
        if (!server.WaitForTitle(kMount, StationTitle(station.life()), 30000)) {
            std::fprintf(stderr, "the mount did not show the station's title within 30 s\n%s\n",
                         server.logs().c_str());
            return false;
        }
        Note("mount up with the station's title");
        return true;
    }

    // Sleeps, but gives up when the relay ends.
    bool Hold(double seconds) {
        const double end = MonotonicSeconds() + seconds;
        while (MonotonicSeconds() < end) {
            if (!relay->Running()) {
                Note("the relay ended");
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
};

struct Outage {
    double plannedSeconds = 0;
    double stoppedAt = 0;
    double returnedAt = 0;
};

int RunLong(Rig& run) {
    const std::vector<double> lengths = {15, 15, 120};
    double total = kWarmUpSeconds + 60;
    for (double length : lengths) total += length + kLongUpSeconds;
    const int maxMs = static_cast<int>(total * 1000);
    if (!run.station.Start()) return 2;
    LogTail log(run.logPath(), maxMs);
    MountWatch titles(run.server, kMount, 50, maxMs);
    MountListener listener(run.server, maxMs);
    if (!run.StartRelay()) return 2;
    bool ended = !run.Hold(kWarmUpSeconds);
    const double listenFrom = MonotonicSeconds();
    std::vector<Outage> outages;
    for (double length : lengths) {
        if (ended) break;
        Outage outage;
        outage.plannedSeconds = length;
        run.station.Stop();
        outage.stoppedAt = MonotonicSeconds();
        run.Note("station stopped for " + std::to_string(static_cast<int>(length)) + " s");
        ended = !run.Hold(length);
        if (!run.station.Start()) return 2;
        outage.returnedAt = MonotonicSeconds();
        run.Note("station back (life " + std::to_string(run.station.life()) + ")");
        outages.push_back(outage);
        ended = ended || !run.Hold(kLongUpSeconds);
    }
    const double listenTo = MonotonicSeconds();
    const ProcessSample lastSample = SampleProcess(run.relay->pid());
    const ChildResult usage = run.relay->Stop(5000);
    listener.Stop();
    titles.Stop();
    log.Stop();
    const std::vector<SeenTitle> seen = titles.Titles();
    const std::vector<MountListener::Piece> pieces = listener.Pieces();

    std::printf("\nper outage (window: from the stop to %.0f s after the return)\n",
                kAfterReturnWindow);
    std::printf("%-8s %-8s %-8s %-9s %-9s %-11s %-12s %-13s %-12s %-12s\n", "outage", "down s",
                "reconn.", "gap s", "audio s", "wall s", "audio/wall", "fallback", "title back",
                "log line");
    int reconnections = 0;
    for (std::size_t index = 0; index < outages.size(); ++index) {
        const Outage& outage = outages[index];
        const double windowEnd = outage.returnedAt + kAfterReturnWindow;
        const Window window = Measure(listener, pieces, outage.stoppedAt, windowEnd);
        reconnections += window.reconnections;
        const double fallbackAt =
            TitleShownAt(seen, kFallbackTitle, outage.stoppedAt, outage.returnedAt);
        const double titleBackAt =
            TitleShownAt(seen, StationTitle(static_cast<int>(index) + 2), outage.returnedAt);
        const double logLineAt = log.FirstAfter(kPlayingAgain, outage.returnedAt);
        char fallback[40];
        if (fallbackAt > 0) {
            std::snprintf(fallback, sizeof fallback, "yes +%.2f s", fallbackAt - outage.stoppedAt);
        } else {
            std::snprintf(fallback, sizeof fallback, "no");
        }
        std::printf("%-8zu %-8.1f %-8d %-9.2f %-9.2f %-11.2f %-12.4f %-13s %-12s %-12s\n",
                    index + 1, outage.returnedAt - outage.stoppedAt, window.reconnections,
                    window.longestGap, window.audioSeconds, window.wallSeconds,
                    window.audioSeconds / window.wallSeconds, fallback,
                    Delay(titleBackAt, outage.returnedAt).c_str(),
                    Delay(logLineAt, outage.returnedAt).c_str());
    }
    const Window whole = Measure(listener, pieces, listenFrom, listenTo);
    std::printf(
        "\nwhole run after the warm-up (%.1f s): %d listener connection(s), %d reconnection(s), "
        "longest gap %.2f s, audio %.2f s for %.2f s of wall time (%.4f)\n",
        whole.wallSeconds, listener.connectionCount(), whole.reconnections, whole.longestGap,
        whole.audioSeconds, whole.wallSeconds, whole.audioSeconds / whole.wallSeconds);
    std::printf("\"%s\" lines: %d; relay CPU %.2f s; private memory at the end %.0f KiB, "
                "%d descriptors\n",
                kPlayingAgain, log.Count(kPlayingAgain), usage.cpuSeconds(),
                lastSample.privateKiB, lastSample.descriptors);
    std::printf("titles at the mount:\n");
    for (const SeenTitle& title : seen)
        std::printf("  %8.2f s  %s\n", title.atSeconds - run.startedAt, title.title.c_str());
    return ended || reconnections > 0 || listener.connectionCount() != 1 ? 1 : 0;
}

int RunFlap(Rig& run, int count) {
    const double total = kWarmUpSeconds + count * 2.0 + 60;
    const int maxMs = static_cast<int>(total * 1000);
    if (!run.station.Start()) return 2;
    LogTail log(run.logPath(), maxMs);
    MountListener listener(run.server, maxMs);
    if (!run.StartRelay()) return 2;
    bool ended = !run.Hold(kWarmUpSeconds);
    struct Taken {
        int cycle = 0;
        ProcessSample sample;
    };
    std::vector<Taken> samples;
    samples.push_back({0, SampleProcess(run.relay->pid())});
    const double listenFrom = MonotonicSeconds();
    for (int cycle = 1; cycle <= count && !ended; ++cycle) {
        run.station.Stop();
        ended = !run.Hold(1);
        if (!run.station.Start()) return 2;
        ended = ended || !run.Hold(1);
        if (cycle % kFlapSampleEvery == 0 || cycle == count) {
            samples.push_back({cycle, SampleProcess(run.relay->pid())});
            const ProcessSample& last = samples.back().sample;
            run.Note("cycle " + std::to_string(cycle) + ": private " +
                     std::to_string(static_cast<int>(last.privateKiB)) + " KiB, " +
                     std::to_string(last.descriptors) + " descriptors, listener connections " +
                     std::to_string(listener.connectionCount()));
        }
    }
    // Let the last return settle before the end.
    ended = ended || !run.Hold(5);
    const double listenTo = MonotonicSeconds();
    samples.push_back({count, SampleProcess(run.relay->pid())});
    const ChildResult usage = run.relay->Stop(5000);
    listener.Stop();
    log.Stop();
    const std::vector<MountListener::Piece> pieces = listener.Pieces();

    std::printf("\n%-8s %-14s %-12s %-8s\n", "cycle", "private KiB", "descriptors", "CPU s");
    double maxPrivate = 0;
    int maxDescriptors = 0;
    for (const Taken& taken : samples) {
        std::printf("%-8d %-14.0f %-12d %-8.2f\n", taken.cycle, taken.sample.privateKiB,
                    taken.sample.descriptors, taken.sample.cpuSeconds);
        maxPrivate = std::max(maxPrivate, taken.sample.privateKiB);
        maxDescriptors = std::max(maxDescriptors, taken.sample.descriptors);
    }
    const ProcessSample& first = samples.front().sample;
    const ProcessSample& last = samples.back().sample;
    // Flat: the second half of the run adds no more than 256 KiB, the whole run no more than
    // 1 MiB, and the descriptors end where they began (one source socket more or less).
    const ProcessSample& middle = samples[samples.size() / 2].sample;
    const bool memoryFlat = last.privateKiB - middle.privateKiB <= 256 &&
                            maxPrivate - first.privateKiB <= 1024;
    const bool descriptorsFlat = std::abs(last.descriptors - first.descriptors) <= 1 &&
                                 maxDescriptors - first.descriptors <= 1;
    // Between samples: what the listener got and how often the relay caught the station.
    std::printf("\n%-10s %-9s %-9s %-9s %-12s %-8s\n", "cycles", "returns", "audio s", "wall s",
                "audio/wall", "gap s");
    for (std::size_t index = 1; index < samples.size(); ++index) {
        const double from = samples[index - 1].sample.atSeconds;
        const double to = samples[index].sample.atSeconds;
        if (to <= from) continue;
        const Window block = Measure(listener, pieces, from, to);
        char cycles[24];
        if (samples[index].cycle == samples[index - 1].cycle) {
            std::snprintf(cycles, sizeof cycles, "last 5 s");
        } else {
            std::snprintf(cycles, sizeof cycles, "%d-%d", samples[index - 1].cycle + 1,
                          samples[index].cycle);
        }
        std::printf("%-10s %-9d %-9.2f %-9.2f %-12.4f %-8.2f\n", cycles,
                    log.Count(kPlayingAgain, from, to), block.audioSeconds, block.wallSeconds,
                    block.audioSeconds / block.wallSeconds, block.longestGap);
    }
    const Window whole = Measure(listener, pieces, listenFrom, listenTo);
    std::printf(
        "\nprivate memory: first %.0f KiB, last %.0f KiB, max %.0f KiB: %s\n"
        "descriptors: first %d, last %d, max %d: %s\n"
        "listener: %d connection(s), %d reconnection(s), longest gap %.2f s (%.1f s into the "
        "cycles), audio %.2f s for %.2f s of wall time (%.4f)\n"
        "\"%s\" lines: %d for %d cycles; relay CPU %.2f s\n",
        first.privateKiB, last.privateKiB, maxPrivate, memoryFlat ? "flat" : "NOT flat",
        first.descriptors, last.descriptors, maxDescriptors,
        descriptorsFlat ? "flat" : "NOT flat", listener.connectionCount(), whole.reconnections,
        whole.longestGap, whole.longestGapAt, whole.audioSeconds, whole.wallSeconds,
        whole.audioSeconds / whole.wallSeconds, kPlayingAgain, log.Count(kPlayingAgain), count,
        usage.cpuSeconds());
    return ended || listener.connectionCount() != 1 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string phase = "long";
    int count = 200;
    std::string binary = TRANSCODE_BINARY;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--binary" && index + 1 < arguments.size()) {
            binary = arguments[++index];
        } else if (argument == "long" || argument == "flap") {
            phase = argument;
        } else if (phase == "flap" && std::atoi(argument.c_str()) > 0) {
            count = std::atoi(argument.c_str());
        } else {
            std::fprintf(stderr, "usage: outage_bench [long | flap [count]] [--binary PATH]\n");
            return 2;
        }
    }
    if (!IcecastServer::Available()) {
        std::printf("%s is missing (Debian package icecast2): no outage to relay\n",
                    kIcecastBinary);
        return 77;
    }
    if (access(binary.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "cannot run %s\n", binary.c_str());
        return 2;
    }
    IcecastServer server;
    if (!server.started()) {
        std::fprintf(stderr, "%s\n", server.failure().c_str());
        return 2;
    }
    Rig run(server, binary);
    if (run.station.empty()) {
        std::fprintf(stderr, "LAME could not make the station's audio\n");
        return 2;
    }
    std::printf(
        "outages of %s relayed by %s: MP3 128 kbit/s station paced in real time, MP3 output, "
        "SourceReconnect=1, SourceRetrySecs=%d, OutputPacing=1; Icecast2 on 127.0.0.1:%u\n",
        phase == "long" ? "15 s, 15 s and 120 s"
                        : (std::to_string(count) + " x (1 s down, 1 s up)").c_str(),
        binary.c_str(), kRetrySecs, server.port());
    std::fflush(stdout);
    return phase == "long" ? RunLong(run) : RunFlap(run, count);
}
