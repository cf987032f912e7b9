// Many stations on one machine: N paced ICY MP3 stations (default 16), each relayed in real time
// by its own `transcode` process into one local Icecast2 server, MP3 and Ogg Vorbis output
// alternating, a listener on every mount; then the same relays done by FFmpeg with the same
// encoder settings. Per station: CPU (the kernel's accounting of the finished process), private
// and resident memory (/proc, median of samples every 5 s), whether it kept real time (it ended
// within 3 s of its station's last byte, and a listener of its mount received all but 3 s of
// the audio) and whether every title arrived (the server's status page). With --find-max, also
// the largest N at which every station keeps real time, by doubling and then halving the step.
// See bench/README.md.
//
//   load_bench [--stations N] [--seconds S] [--title-every S] [--find-max] [--no-ffmpeg]
//              [--binary PATH] [--ffmpeg PATH]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/load_run.h"
#include "bench/measured_child.h"
#include "tests/support/icecast_server.h"

namespace {

constexpr int kMaxStations = 256;

struct Options {
    LoadSettings load;
    bool findMax = false;
    bool ffmpeg = true;
};

bool Parse(int argc, char** argv, Options& options) {
    options.load.transcode = TRANSCODE_BINARY;
    const char* ffmpeg = std::getenv("FFMPEG");
    options.load.ffmpeg = ffmpeg != nullptr ? ffmpeg : "/usr/bin/ffmpeg";
    for (int at = 1; at < argc; ++at) {
        const std::string name = argv[at];
        if (name == "--find-max")
            options.findMax = true;
        else if (name == "--no-ffmpeg")
            options.ffmpeg = false;
        else if (at + 1 >= argc)
            return false;
        else if (name == "--stations")
            options.load.stations = std::atoi(argv[++at]);
        else if (name == "--seconds")
            options.load.seconds = std::atof(argv[++at]);
        else if (name == "--title-every")
            options.load.titleEvery = std::atof(argv[++at]);
        else if (name == "--binary")
            options.load.transcode = argv[++at];
        else if (name == "--ffmpeg")
            options.load.ffmpeg = argv[++at];
        else
            return false;
    }
    return options.load.stations >= 1 && options.load.stations <= kMaxStations &&
           options.load.seconds >= 20 && options.load.titleEvery >= 2;
}

const char* Name(Relayer relayer) {
    return relayer == Relayer::kTranscode ? "transcode" : "ffmpeg";
}

void PrintRow(const char* what, const std::vector<double>& values) {
    if (values.empty()) return;
    const Spread spread = SpreadOf(values);
    std::printf("  %-28s %9.3f %9.3f %9.3f\n", what, spread.min, spread.median, spread.max);
}

void PrintOutput(const LoadResult& load, bool ogg) {
    std::vector<double> cpu, percent, privateMiB, resident, lag, listener;
    for (const StationResult& station : load.stations) {
        if (station.ogg != ogg) continue;
        cpu.push_back(station.cpuPerAudioMinute);
        percent.push_back(station.cpuPerAudioMinute / 60 * 100);
        privateMiB.push_back(station.privateMiB);
        resident.push_back(station.residentMiB);
        if (station.endLagSeconds >= 0) lag.push_back(station.endLagSeconds);
        listener.push_back(station.listenerSeconds);
    }
    if (cpu.empty()) return;
    std::printf(" %s output, %zu stations          %9s %9s %9s\n", ogg ? "Ogg Vorbis" : "MP3",
                cpu.size(), "min", "median", "max");
    PrintRow("CPU s per audio minute", cpu);
    PrintRow("CPU % of one core", percent);
    PrintRow("private MiB", privateMiB);
    PrintRow("resident MiB", resident);
    PrintRow("end after the station, s", lag);
    PrintRow("audio at the listener, s", listener);
}

void PrintLoad(Relayer relayer, const LoadResult& load) {
    if (!load.ran) {
        std::printf("%s: the run could not start\n\n", Name(relayer));
        return;
    }
    std::printf("%s, %zu stations, %.0f s of audio each: %s\n", Name(relayer), load.stations.size(),
                load.audioSeconds, load.AllRealTime() ? "all kept real time" : "NOT all real time");
    PrintOutput(load, false);
    PrintOutput(load, true);
    int sent = 0;
    int shown = 0;
    for (std::size_t i = 0; i < load.stations.size(); ++i) {
        const StationResult& station = load.stations[i];
        sent += station.titlesSent;
        shown += station.titlesShown;
        if (!station.endedWell)
            std::printf("  station %zu: the relay did not end by itself after its station\n", i);
        if (station.endLagSeconds < 0)
            std::printf("  station %zu: the station could not send its whole stream\n", i);
        if (relayer == Relayer::kTranscode && station.titlesShown < station.titlesSent)
            std::printf("  station %zu: %d of %d titles shown\n", i, station.titlesShown,
                        station.titlesSent);
    }
    std::printf("  titles: %d of %d shown by the server%s\n", shown, sent,
                relayer == Relayer::kFfmpeg ? " (FFmpeg does not pass ICY titles on)" : "");
    std::printf("  all relays together: %.1f CPU s in %.1f s (%.2f cores)\n\n", load.cpuSeconds,
                load.wallSeconds, load.cpuSeconds / load.wallSeconds);
    std::fflush(stdout);
}

bool RealTimeAt(const Options& options, Relayer relayer, int stations, const std::string& audio) {
    const LoadResult load = RunLoad(options.load, relayer, stations, audio);
    std::printf("  %s with %d stations: %s\n", Name(relayer), stations,
                load.AllRealTime() ? "real time" : "NOT real time");
    std::fflush(stdout);
    return load.AllRealTime();
}

// Doubles N while every station keeps real time, halves it while not, then narrows the step
// down to a tenth of the answer.
void FindMax(const Options& options, Relayer relayer, bool startOk, const std::string& audio) {
    int good = startOk ? options.load.stations : 0;
    int bad = startOk ? 0 : options.load.stations;
    while (bad == 0 && good < kMaxStations) {
        const int next = std::min(kMaxStations, good * 2);
        (RealTimeAt(options, relayer, next, audio) ? good : bad) = next;
    }
    while (good == 0 && bad > 1) {
        const int next = bad / 2;
        (RealTimeAt(options, relayer, next, audio) ? good : bad) = next;
    }
    while (bad > 0 && bad - good > std::max(1, good / 10)) {
        const int next = (good + bad) / 2;
        (RealTimeAt(options, relayer, next, audio) ? good : bad) = next;
    }
    std::printf("%s: the largest N at which every station kept real time: %d%s\n\n", Name(relayer),
                good, bad == 0 ? " (the most tried)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: load_bench [--stations N] [--seconds S] [--title-every S] "
                     "[--find-max] [--no-ffmpeg] [--binary PATH] [--ffmpeg PATH]\n");
        return 2;
    }
    if (!IcecastServer::Available()) {
        std::fprintf(stderr, "%s is missing (Debian package icecast2)\n", kIcecastBinary);
        return 2;
    }
    if (options.ffmpeg && access(options.load.ffmpeg.c_str(), X_OK) != 0) {
        std::printf("%s is missing: FFmpeg left out (scripts/bench installs it)\n\n",
                    options.load.ffmpeg.c_str());
        options.ffmpeg = false;
    }
    const std::string audio = LoadStationAudio(options.load);
    std::vector<Relayer> relayers = {Relayer::kTranscode};
    if (options.ffmpeg) relayers.push_back(Relayer::kFfmpeg);
    for (const Relayer relayer : relayers) {
        const LoadResult load = RunLoad(options.load, relayer, options.load.stations, audio);
        PrintLoad(relayer, load);
        if (options.findMax) FindMax(options, relayer, load.AllRealTime(), audio);
    }
    return 0;
}
