#include "bench/load_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "bench/measured_child.h"
#include "bench/music_mp3.h"
#include "bench/process_sample.h"
#include "tests/support/audio_check.h"
#include "tests/support/icecast_server.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/status_json.h"
#include "tests/support/stream_listener.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSampleRate = 44100;
constexpr double kBytesPerSecond = 16000;  // 128 kbit/s
constexpr int kMetaInterval = 8192;
constexpr double kSampleEvery = 5;
constexpr double kWarmUpSeconds = 10;
constexpr double kEndLimitSeconds = 30;  // a relay still running this long after its station
constexpr double kRealTimeSlackSeconds = 3;

// Polls the status page twice a second and keeps, per mount, whether it is listed and every
// title it has shown.
class StatusWatch {
  public:
    StatusWatch(const IcecastServer& server, std::vector<std::string> mounts)
        : server_(server),
          mounts_(std::move(mounts)),
          listed_(mounts_.size()),
          titles_(mounts_.size()) {
        thread_ = std::thread([this] { Run(); });
    }
    ~StatusWatch() { Stop(); }
    void Stop() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    bool Listed(std::size_t station) const {
        std::lock_guard hold(mutex_);
        return listed_[station];
    }
    std::set<std::string> Titles(std::size_t station) const {
        std::lock_guard hold(mutex_);
        return titles_[station];
    }

  private:
    void Run() {
        while (!stopping_.load()) {
            const std::string status = server_.FetchStatusJson();
            {
                std::lock_guard hold(mutex_);
                for (std::size_t i = 0; i < mounts_.size(); ++i) {
                    std::string title;
                    listed_[i] = FindMountTitle(status, mounts_[i], title);
                    if (listed_[i] && !title.empty()) titles_[i].insert(title);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }

    const IcecastServer& server_;
    const std::vector<std::string> mounts_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;  // guards listed_ and titles_
    std::vector<bool> listed_;
    std::vector<std::set<std::string>> titles_;
    std::thread thread_;
};

struct Station {
    int number = 0;
    bool ogg = false;
    std::string mount;
    std::unique_ptr<PacedSource> source;
    std::unique_ptr<ChildProcess> relay;
    std::unique_ptr<StreamListener> listener;
    double sentAllAt = 0;  // the station's last byte
    double endedAt = 0;
    std::vector<ProcessSample> samples;
    StationResult result;
};

std::string TitleTag(int station, int index) {
    char tag[40];
    std::snprintf(tag, sizeof tag, "Station %d Song %02d", station, index);
    return tag;
}

std::vector<std::string> TranscodeCommand(const LoadSettings& settings, const TempDir& dir,
                                          const IcecastServer& server, const Station& station) {
    StationConfig config =
        StationConfig::LoopbackRelay(station.source->url(), server.port(), server.sourcePassword())
            .Set("ServerMountpoint", station.mount);
    if (station.ogg) {
        config.Set("Encode", "OGG").Set("OggQuality", 4);
    } else {
        config.Set("Encode", "LAME").Set("LameCBRFlag", 1);
    }
    config.Set("BitrateNominal", 128)
        .Set("LameQuality", 1)
        .Set("Samplerate", 44100)
        .Set("NumberChannels", 2)
        .Set("LogLevel", 1)
        .Set("LogFile", dir.file("relay" + std::to_string(station.number) + ".log"));
    const std::string name = "relay" + std::to_string(station.number) + ".cfg";
    return {settings.transcode, "-n", "-c", config.Write(dir.file(name))};
}

// The same encodings: LAME CBR 128 kbit/s, quality 1, plain stereo; Vorbis quality 4.
std::vector<std::string> FfmpegCommand(const LoadSettings& settings, const IcecastServer& server,
                                       const Station& station) {
    std::vector<std::string> command = {settings.ffmpeg, "-nostdin", "-loglevel",
                                        "error",         "-i",       station.source->url()};
    const std::vector<std::string> encoding =
        station.ogg ? std::vector<std::string>{"-c:a", "libvorbis",     "-q:a",           "4", "-f",
                                               "ogg",  "-content_type", "application/ogg"}
                    : std::vector<std::string>{"-c:a",
                                               "libmp3lame",
                                               "-b:a",
                                               "128k",
                                               "-compression_level",
                                               "1",
                                               "-joint_stereo",
                                               "0",
                                               "-f",
                                               "mp3",
                                               "-content_type",
                                               "audio/mpeg"};
    command.insert(command.end(), encoding.begin(), encoding.end());
    for (const char* option : {"-ar", "44100", "-ac", "2"}) command.push_back(option);
    command.push_back("icecast://source:" + server.sourcePassword() +
                      "@127.0.0.1:" + std::to_string(server.port()) + station.mount);
    return command;
}

double AudioSeconds(const std::string& bytes, bool ogg) {
    if (!ogg) {
        const DecodedAudio audio = DecodeMp3(bytes);
        return audio.sampleRate > 0 ? double(audio.frameCount()) / audio.sampleRate : 0;
    }
    double seconds = 0;
    for (const OggLink& link : DecodeOgg(bytes)) {
        if (link.audio.sampleRate > 0)
            seconds += double(link.audio.frameCount()) / link.audio.sampleRate;
    }
    return seconds;
}

double MedianAfterWarmUp(const Station& station, double ProcessSample::*field) {
    std::vector<double> values;
    for (const ProcessSample& sample : station.samples) {
        if (sample.atSeconds - station.relay->startSeconds() >= kWarmUpSeconds)
            values.push_back(sample.*field / 1024);
    }
    return values.empty() ? 0 : SpreadOf(values).median;
}

void Finish(Station& station, const LoadSettings& settings, const StatusWatch& watch,
            double audioSeconds) {
    StationResult& result = station.result;
    const ChildResult usage = station.relay->Stop(5000);
    result.ogg = station.ogg;
    result.endedWell =
        station.endedAt > 0 && usage.exited && (usage.exitStatus == 0 || usage.exitStatus == 1);
    if (station.endedAt > 0 && station.sentAllAt > 0)
        result.endLagSeconds = station.endedAt - station.sentAllAt;
    result.cpuPerAudioMinute = usage.cpuSeconds() / (audioSeconds / 60);
    result.privateMiB = MedianAfterWarmUp(station, &ProcessSample::privateKiB);
    result.residentMiB = MedianAfterWarmUp(station, &ProcessSample::residentKiB);
    if (station.listener)
        result.listenerSeconds = AudioSeconds(station.listener->Finish(), station.ogg);
    const std::set<std::string> shown = watch.Titles(static_cast<std::size_t>(station.number));
    // Titles current for a whole title interval; the last one is cut by the end of the audio.
    for (int index = 0; (index + 1) * settings.titleEvery <= audioSeconds; ++index) {
        ++result.titlesSent;
        const std::string tag = TitleTag(station.number, index);
        if (std::any_of(shown.begin(), shown.end(), [&](const std::string& title) {
                return title.find(tag) != std::string::npos;
            }))
            ++result.titlesShown;
    }
}

}  // namespace

bool LoadResult::AllRealTime() const {
    if (!ran) return false;
    return std::all_of(stations.begin(), stations.end(), [&](const StationResult& station) {
        // A lag of -1: the station never got its whole stream out (its sends timed out).
        return station.endedWell && station.endLagSeconds >= 0 &&
               station.endLagSeconds <= kRealTimeSlackSeconds &&
               station.listenerSeconds >= audioSeconds - kRealTimeSlackSeconds;
    });
}

std::string LoadStationAudio(const LoadSettings& settings) {
    return MakeMusicLikeMp3(settings.seconds, kSampleRate, 128);
}

LoadResult RunLoad(const LoadSettings& settings, Relayer relayer, int stationCount,
                   const std::string& audio) {
    LoadResult load;
    load.audioSeconds = static_cast<double>(audio.size()) / kBytesPerSecond;
    IcecastServer server({/*clients=*/2 * stationCount + 20, /*sources=*/stationCount + 4});
    if (!server.started()) {
        std::fprintf(stderr, "%s\n", server.failure().c_str());
        return load;
    }
    TempDir dir;
    std::vector<Station> stations(static_cast<std::size_t>(stationCount));
    std::vector<std::string> mounts;
    for (int i = 0; i < stationCount; ++i) {
        Station& station = stations[i];
        station.number = i;
        station.ogg = i % 2 == 1;
        station.mount = "/load" + std::to_string(i) + (station.ogg ? ".ogg" : ".mp3");
        mounts.push_back(station.mount);
        PacedSourceOptions options;
        options.bytesPerSecond = kBytesPerSecond;
        options.metaInterval = kMetaInterval;
        options.maxStreamMs = static_cast<int>((load.audioSeconds + 60) * 1000);
        for (int index = 0; index * settings.titleEvery < load.audioSeconds; ++index) {
            options.titles.push_back(
                {static_cast<std::size_t>(index * settings.titleEvery * kBytesPerSecond),
                 "Load Artist - " + TitleTag(i, index)});
        }
        station.source = std::make_unique<PacedSource>(audio, options);
        if (!station.source->listening()) return load;
    }
    StatusWatch watch(server, mounts);
    const double start = MonotonicSeconds();
    for (Station& station : stations) {
        const std::vector<std::string> command =
            relayer == Relayer::kTranscode ? TranscodeCommand(settings, dir, server, station)
                                           : FfmpegCommand(settings, server, station);
        station.relay = std::make_unique<ChildProcess>(MeasuredStart(
            command, dir.path(), dir.file("relay" + std::to_string(station.number) + ".out")));
    }
    const double deadline = start + load.audioSeconds + kEndLimitSeconds + 10;
    double nextSample = start;
    for (;;) {
        const double now = MonotonicSeconds();
        bool anyRunning = false;
        for (Station& station : stations) {
            if (station.sentAllAt == 0 && station.source->CompletedStreams() > 0)
                station.sentAllAt = now;
            if (station.endedAt == 0 && !station.relay->Running()) station.endedAt = now;
            anyRunning = anyRunning || station.endedAt == 0;
            if (!station.listener && watch.Listed(static_cast<std::size_t>(station.number))) {
                station.listener = std::make_unique<StreamListener>(
                    "http://127.0.0.1:" + std::to_string(server.port()) + station.mount,
                    static_cast<int>((deadline - now) * 1000));
            }
            if (now >= nextSample && station.endedAt == 0) {
                const ProcessSample sample = SampleProcess(station.relay->pid());
                if (sample.valid) station.samples.push_back(sample);
            }
        }
        if (now >= nextSample) nextSample += kSampleEvery;
        if (!anyRunning || now >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    load.wallSeconds = MonotonicSeconds() - start;
    watch.Stop();
    for (Station& station : stations) {
        Finish(station, settings, watch, load.audioSeconds);
        load.cpuSeconds += station.result.cpuPerAudioMinute * load.audioSeconds / 60;
        load.stations.push_back(station.result);
    }
    load.ran = true;
    return load;
}
