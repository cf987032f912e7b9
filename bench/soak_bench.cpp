// Unattended running, compressed into an hour: the real `transcode` binary relays a paced ICY MP3
// station (a thread of this process, music-like audio at its byte rate, a new title every few
// seconds) in real time to a real local Icecast2 server, with AutomaticReconnect on, while the
// benchmark
// - restarts the server every few minutes (the relay loses its connection and logs in again),
// - drops the station every so often and brings it back a few seconds later. The relay ends when
//   its source ends, by design, so the benchmark starts it again as a supervisor would; the
//   station drops are kept rare (default every 20 minutes) so each process stays under
//   observation for as long as possible and lives through several server restarts,
// and samples the relay's resident and private memory, open descriptors and CPU time from /proc
// every few seconds. A listener of the mount (reconnecting after each outage) and the server's
// status page record the audio and the titles that arrive. See bench/README.md.
//
//   soak_bench [--seconds S] [--destination-every S] [--source-every S] [--title-every S]
//              [--sample-every S] [--reconnect-secs S] [--ogg] [--binary PATH]
// Exit status 0, 1 when a fault was seen (see ReportSoak), 2 when it could not run, 77 when
// icecast2 is not installed.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "bench/music_mp3.h"
#include "bench/soak_report.h"
#include "bench/soak_settings.h"
#include "tests/support/icecast_server.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSampleRate = 44100;
constexpr int kSourceKbps = 128;
constexpr double kBytesPerSecond = kSourceKbps * 125.0;
constexpr int kMetaInterval = 8192;
constexpr double kSourceDownSeconds = 3;
constexpr double kRelayEndLimitSeconds = 30;  // after its station is gone
constexpr double kTickSeconds = 0.1;

std::string TitleTag(int life, int index) {
    char tag[48];
    std::snprintf(tag, sizeof tag, "Source %d Song %03d", life, index);
    return tag;
}

class Soak {
  public:
    Soak(const SoakSettings& settings, IcecastServer& server)
        : settings_(settings), server_(server), mount_(settings.ogg ? "/soak.ogg" : "/soak.mp3") {
        const double segmentSeconds = std::min(settings.sourceEvery, settings.seconds) + 60;
        const std::string minute = MakeMusicLikeMp3(60, kSampleRate, kSourceKbps);
        for (double at = 0; at < segmentSeconds; at += 60) audio_ += minute;
        audioSeconds_ = segmentSeconds;
    }

    SoakRecord Run();

  private:
    double Now() const { return MonotonicSeconds() - record_.startedAt; }
    void Note(const std::string& what);
    void StartLife();
    void EndLife(bool sourceDropped);
    void RestartDestination();
    void Sample();
    void PrintProgress() const;

    const SoakSettings& settings_;
    IcecastServer& server_;
    const std::string mount_;
    std::string audio_;
    double audioSeconds_ = 0;
    TempDir directory_;
    SoakRecord record_;
    std::unique_ptr<PacedSource> station_;
    std::unique_ptr<ChildProcess> relay_;
};

void Soak::Note(const std::string& what) {
    record_.events.push_back({MonotonicSeconds(), what});
    std::printf("%8.1f s  %s\n", Now(), what.c_str());
    std::fflush(stdout);
}

void Soak::StartLife() {
    RelayLife life;
    life.number = static_cast<int>(record_.lives.size()) + 1;
    PacedSourceOptions options;
    options.bytesPerSecond = kBytesPerSecond;
    options.metaInterval = kMetaInterval;
    options.maxStreamMs = static_cast<int>(audioSeconds_ * 1000);
    for (int index = 0; index * settings_.titleEvery < audioSeconds_; ++index) {
        options.titles.push_back(
            {static_cast<std::size_t>(index * settings_.titleEvery * kBytesPerSecond),
             "Soak Artist - " + TitleTag(life.number, index)});
    }
    station_ = std::make_unique<PacedSource>(audio_, options);
    StationConfig::LoopbackRelay(station_->url(), server_.port(), server_.sourcePassword())
        .Set("ServerMountpoint", mount_)
        .SetOutput(settings_.ogg ? "OGG" : "LAME")
        .Set("LameCBRFlag", 1)
        .Set("AutomaticReconnect", 1)
        .Set("AutomaticReconnectSecs", settings_.reconnectSecs)
        .Set("LogLevel", 1)
        .Set("LogFile", directory_.file("transcode.log"))
        .Write(directory_.file("relay.cfg"));
    relay_ = std::make_unique<ChildProcess>(
        MeasuredStart({settings_.binary, "-n", "-c", directory_.file("relay.cfg")},
                      directory_.path(), directory_.file("relay.out")));
    life.pid = relay_->pid();
    life.startedAt = relay_->startSeconds();
    record_.lives.push_back(life);
    Note("relay " + std::to_string(life.number) + " started, pid " + std::to_string(life.pid));
}

// The station's schedule: a title's first metadata block follows the first block of audio that
// reaches the title's offset.
std::vector<SentTitle> TitlesSent(const RelayLife& life, double titleEvery, double until) {
    std::vector<SentTitle> sent;
    if (life.bodyStartedAt == 0) return sent;
    for (int index = 0;; ++index) {
        const double offset = index * titleEvery * kBytesPerSecond;
        const double blockEnd = std::max(1.0, std::ceil(offset / kMetaInterval)) * kMetaInterval;
        const double at = life.bodyStartedAt + blockEnd / kBytesPerSecond;
        if (at >= until) break;
        sent.push_back({at, TitleTag(life.number, index)});
    }
    return sent;
}

void Soak::EndLife(bool sourceDropped) {
    RelayLife& life = record_.lives.back();
    if (sourceDropped && !relay_->Running()) sourceDropped = false;  // it ended by itself first
    if (sourceDropped) {
        life.sourceDroppedAt = MonotonicSeconds();
        station_.reset();  // closes its connection
        Note("station " + std::to_string(life.number) + " dropped");
        while (relay_->Running() &&
               MonotonicSeconds() < life.sourceDroppedAt + kRelayEndLimitSeconds) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        life.hung = relay_->Running();
    } else {
        life.endedBeforeDrop = true;
    }
    life.usage = relay_->Stop(5000);
    life.endedAt = MonotonicSeconds();
    const double until = life.sourceDroppedAt > 0 ? life.sourceDroppedAt : life.endedAt;
    life.titles = TitlesSent(life, settings_.titleEvery, until);
    station_.reset();
    relay_.reset();
    Note("relay " + std::to_string(life.number) +
         (life.hung              ? " hung, killed"
          : life.endedBeforeDrop ? " ended while its station still sent"
                                 : " ended"));
}

void Soak::RestartDestination() {
    Note("destination restarting");
    if (!server_.Restart()) {
        std::fprintf(stderr, "icecast2 did not come back:\n%s\n", server_.failure().c_str());
        std::exit(2);
    }
    Note("destination back");
}

void Soak::Sample() {
    RelayLife& life = record_.lives.back();
    const ProcessSample sample = SampleProcess(life.pid);
    if (!sample.valid) return;
    std::string title;
    life.samples.push_back(sample);
    const bool streaming = FindMountTitle(server_.FetchStatusJson(), mount_, title);
    life.streaming.push_back(streaming);
    if (streaming) {
        life.lastStreamingDescriptors = DescriptorTargets(life.pid);
        if (life.firstStreamingDescriptors.empty())
            life.firstStreamingDescriptors = life.lastStreamingDescriptors;
    }
}

void Soak::PrintProgress() const {
    const RelayLife& life = record_.lives.back();
    if (life.samples.empty()) return;
    const ProcessSample& last = life.samples.back();
    std::printf(
        "%8.1f s  relay %d: resident %.0f KiB, private %.0f KiB, %d descriptors, "
        "%.2f CPU s\n",
        Now(), life.number, last.residentKiB, last.privateKiB, last.descriptors, last.cpuSeconds);
    std::fflush(stdout);
}

SoakRecord Soak::Run() {
    record_.startedAt = MonotonicSeconds();
    record_.warmUpSeconds = std::min(60.0, settings_.sourceEvery / 4);
    const int watchMs = static_cast<int>((settings_.seconds + 120) * 1000);
    MountWatch titles(server_, mount_, 250, watchMs);
    SoakListener listener(server_, mount_, settings_.ogg, watchMs);
    StartLife();
    double nextDestination = settings_.destinationEvery;
    double nextSource = settings_.sourceEvery;
    double nextSample = 0;
    double nextProgress = 60;
    while (Now() < settings_.seconds) {
        RelayLife& life = record_.lives.back();
        if (life.bodyStartedAt == 0 && station_ && !station_->Requests().empty())
            life.bodyStartedAt = MonotonicSeconds();
        if (!relay_->Running()) {
            EndLife(false);  // a supervisor starts it again, after a pause
            std::this_thread::sleep_for(std::chrono::seconds(1));
            StartLife();
        } else if (Now() >= nextSource) {
            EndLife(true);
            std::this_thread::sleep_for(std::chrono::duration<double>(kSourceDownSeconds));
            StartLife();
            nextSource += settings_.sourceEvery;
        } else if (Now() >= nextDestination) {
            RestartDestination();
            nextDestination += settings_.destinationEvery;
        } else if (Now() >= nextSample) {
            Sample();
            nextSample += settings_.sampleEvery;
        } else if (Now() >= nextProgress) {
            PrintProgress();
            nextProgress += 60;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(kTickSeconds));
    }
    EndLife(true);
    record_.endedAt = MonotonicSeconds();
    titles.Stop();
    record_.shownTitles = titles.Titles();
    record_.connections = listener.DecodeAll();
    return record_;
}

}  // namespace

int main(int argc, char** argv) {
    SoakSettings settings;
    settings.binary = TRANSCODE_BINARY;
    if (!ParseSoakSettings(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: soak_bench [--seconds S] [--destination-every S] [--source-every S] "
                     "[--title-every S] [--sample-every S] [--reconnect-secs S] [--ogg] "
                     "[--binary PATH]\n");
        return 2;
    }
    if (!IcecastServer::Available()) {
        std::printf("%s is missing (Debian package icecast2): nothing to soak\n", kIcecastBinary);
        return 77;
    }
    if (access(settings.binary.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "cannot run %s\n", settings.binary.c_str());
        return 2;
    }
    IcecastServer server;
    if (!server.started()) {
        std::fprintf(stderr, "%s\n", server.failure().c_str());
        return 2;
    }
    std::printf(
        "soak of %s, %s output: %.0f s; the destination restarts every %.0f s, the "
        "station drops every %.0f s for %.0f s, a new title every %.0f s, "
        "AutomaticReconnectSecs %d, samples every %.1f s; Icecast2 on 127.0.0.1:%u\n",
        settings.binary.c_str(), settings.ogg ? "Ogg Vorbis" : "MP3", settings.seconds,
        settings.destinationEvery, settings.sourceEvery, kSourceDownSeconds, settings.titleEvery,
        settings.reconnectSecs, settings.sampleEvery, server.port());
    std::fflush(stdout);
    Soak soak(settings, server);
    return ReportSoak(soak.Run());
}
