// Private memory of the real `transcode` binary by source format and output format: MP3, AAC-LC,
// HE-AAC v2, Ogg Vorbis and Ogg Opus stations, and an Ogg chain that changes from Vorbis to Opus
// and back every few seconds (each link opens a new decoder), each relayed as MP3, Ogg Vorbis and
// Ogg Opus. Each station is a paced loopback source (real time), relayed to a loopback sink that
// takes every byte, beside a second relay of the same station and output;
// /proc/PID/smaps_rollup (Private_Clean + Private_Dirty) is read every second of the window, from
// a few seconds after the first relayed bytes.
//
//   format_memory_bench [seconds [source [output]]]
//
// seconds: the window per case (default 30); source and output: only the cases whose name
// contains the text (e.g. "AAC", "Opus").
//
// Exit status 0, 2 when a relay could not run.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/music_mp3.h"
#include "bench/process_sample.h"
#include "tests/support/aac_fixture.h"
#include "tests/support/adts_writer.h"
#include "tests/support/background_run.h"
#include "tests/support/mock_server.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/opus_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr double kSettleSeconds = 3;
constexpr double kLinkSeconds = 5;

struct Station {
    const char* name;
    const char* contentType;
    std::string bytes;
    double seconds;
};

struct Output {
    const char* name;
    const char* encode;
    int kbps;
    const char* mountpoint;
};

constexpr Output kOutputs[] = {
    {"MP3", "LAME", 128, "/memory.mp3"},
    {"Ogg Vorbis", "OGG", 128, "/memory.ogg"},
    {"Ogg Opus", "OPUS", 96, "/memory.opus"},
};

OggLinkSpec VorbisLink(double seconds, const std::string& title) {
    OggLinkSpec link;
    link.frameCount = static_cast<int>(seconds * link.sampleRate);
    link.noiseLevel = 0.05f;
    link.quality = 0.4f;
    link.comments = {"ARTIST=Bench", "TITLE=" + title};
    return link;
}

OpusLinkSpec OpusLink(double seconds, const std::string& title) {
    OpusLinkSpec link;
    link.frameCount = static_cast<int>(seconds * link.sampleRate);
    link.bitrate = 96000;
    link.comments = {"ARTIST=Bench", "TITLE=" + title};
    return link;
}

// Links of kLinkSeconds, Vorbis and Opus taking turns, for the given seconds.
std::string Chain(double seconds) {
    std::string chain;
    int serialNumber = 1;
    for (int link = 0; link * kLinkSeconds < seconds; ++link) {
        const std::string title = "Link " + std::to_string(link);
        chain += link % 2 == 0 ? MakeOggVorbis({VorbisLink(kLinkSeconds, title)}, serialNumber++)
                               : MakeOggOpus({OpusLink(kLinkSeconds, title)}, serialNumber++);
    }
    return chain;
}

std::string AacLc(double seconds) {
    AacFormat format;
    format.seconds = seconds;
    format.bitrateKbps = 128;
    return MakeAacTone(format);
}

std::string HeAacV2(double seconds) {
    AdtsSynthFormat format;
    format.seconds = seconds;
    return MakeSynthAdts(format);
}

std::vector<Station> Stations(double seconds) {
    return {
        {"MP3", "audio/mpeg", MakeMusicLikeMp3(seconds, 44100, 128), seconds},
        {"AAC-LC", "audio/aac", AacLc(seconds), seconds},
        {"HE-AAC v2", "audio/aacp", HeAacV2(seconds), seconds},
        {"Ogg Vorbis", "audio/ogg", MakeOggVorbis({VorbisLink(seconds, "Vorbis")}), seconds},
        {"Ogg Opus", "audio/ogg", MakeOggOpus({OpusLink(seconds, "Opus")}), seconds},
        {"Vorbis/Opus chain", "audio/ogg", Chain(seconds), seconds},
    };
}

struct Figures {
    bool ran = false;
    double medianKiB = 0;
    double maxKiB = 0;
};

// One relay of the station to a sink of its own.
class Relay {
  public:
    Relay(const Station& station, const Output& output)
        : source_(station.bytes, Options(station)) {
        sink_.SetReply("HTTP/1.0 200 OK\r\n\r\n");
        StationConfig::LoopbackRelay(source_.url(), sink_.port(), "hackme")
            .Set("ServerMountpoint", output.mountpoint)
            .SetOutput(output.encode, output.kbps)
            .Set("AutomaticReconnect", 0)
            .Set("LogLevel", 2)
            .Set("LogFile", dir_.file("transcode.log"))
            .Write(dir_.file("memory.cfg"));
        const int runMs = static_cast<int>((station.seconds + 40) * 1000);
        run_ = std::make_unique<BackgroundTranscode>(TRANSCODE_BINARY, dir_.path(), "memory.cfg",
                                                     runMs);
    }
    ~Relay() { Stop(); }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    pid_t Pid() { return run_->Pid(); }
    bool Relaying() {
        return Pid() > 0 && sink_.WaitForConnections(1, 20000) &&
               sink_.WaitForBytes(0, 20000, 20000);
    }
    std::string Stop() {
        if (stopped_) return {};
        stopped_ = true;
        if (Pid() > 0) kill(Pid(), SIGTERM);
        return run_->Finish().out;
    }

  private:
    static PacedSourceOptions Options(const Station& station) {
        PacedSourceOptions options;
        options.contentType = station.contentType;
        options.metaInterval = 0;
        options.bytesPerSecond = static_cast<double>(station.bytes.size()) / station.seconds;
        options.chunkBytes = 4096;
        options.maxStreamMs = static_cast<int>((station.seconds + 30) * 1000);
        return options;
    }

    PacedSource source_;
    MockServer sink_;
    TempDir dir_;
    std::unique_ptr<BackgroundTranscode> run_;
    bool stopped_ = false;
};

// A second relay of the same station runs beside the measured one, as on a machine with several
// stations: a library page no other process maps would count as private.
Figures Measure(const Station& station, const Output& output, double windowSeconds) {
    Relay measured(station, output);
    Relay companion(station, output);
    Figures figures;
    if (!measured.Relaying() || !companion.Relaying()) {
        std::fprintf(stderr, "%s to %s: the relay did not start:\n%s\n", station.name,
                     output.name, measured.Stop().c_str());
        return figures;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettleSeconds));
    std::vector<double> privateKiB;
    for (int second = 0; second < static_cast<int>(windowSeconds); ++second) {
        const ProcessSample sample = SampleProcess(measured.Pid());
        if (sample.valid) privateKiB.push_back(sample.privateKiB);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (privateKiB.empty()) return figures;
    std::sort(privateKiB.begin(), privateKiB.end());
    figures.ran = true;
    figures.medianKiB = privateKiB[privateKiB.size() / 2];
    figures.maxKiB = privateKiB.back();
    return figures;
}

bool Chosen(const char* name, const char* filter) {
    return filter == nullptr || std::string(name).find(filter) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    const double windowSeconds = argc > 1 ? std::atof(argv[1]) : 30;
    const char* sourceFilter = argc > 2 ? argv[2] : nullptr;
    const char* outputFilter = argc > 3 ? argv[3] : nullptr;
    if (windowSeconds < 1) {
        std::fprintf(stderr, "usage: %s [seconds [source [output]]]\n", argv[0]);
        return 2;
    }
    const double stationSeconds = windowSeconds + kSettleSeconds + 20;
    std::printf("window: %.0f s per case, relayed to a loopback sink beside a second relay\n",
                windowSeconds);
    std::printf("%-20s %-12s %16s %14s\n", "source", "output", "private median", "private max");
    int status = 0;
    for (const Station& station : Stations(stationSeconds)) {
        if (!Chosen(station.name, sourceFilter)) continue;
        if (station.bytes.empty()) {
            std::fprintf(stderr, "%s: the station's stream could not be made\n", station.name);
            status = 2;
            continue;
        }
        for (const Output& output : kOutputs) {
            if (!Chosen(output.name, outputFilter)) continue;
            const Figures figures = Measure(station, output, windowSeconds);
            if (!figures.ran) {
                status = 2;
                continue;
            }
            std::printf("%-20s %-12s %12.0f KiB %10.0f KiB\n", station.name, output.name,
                        figures.medianKiB, figures.maxKiB);
            std::fflush(stdout);
        }
    }
    return status;
}
