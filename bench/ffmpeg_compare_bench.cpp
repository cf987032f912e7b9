// CPU time and peak memory of the relay next to FFmpeg doing the same relay with the same LAME
// settings.
//
// Both programs fetch the same generated station over loopback HTTP: music-like MP3 at
// 128 kbit/s, 44100 Hz stereo, with ICY titles every 30 s, served as fast as the client reads by
// a station thread of this process (both ask for the ICY metadata, so both receive the same
// bytes). Both encode with LAME, CBR 128 kbit/s, quality 1, plain stereo, 44100 Hz, and send to
// a sink thread of this process that answers the Icecast2 login and discards:
//   transcode -n -c bench.cfg        (ServerType=Icecast2, LameCBRFlag=1, LameQuality=1)
//   ffmpeg -nostdin -i <station> -c:a libmp3lame -b:a 128k -compression_level 1
//          -joint_stereo 0 -f mp3 icecast://...   (compression_level is lame_set_quality)
// FFmpeg decodes with its own MP3 decoder, transcode with libmad. The programs run in turn, one
// warm-up each, then A B A B ...; the figures are the kernel's accounting of each finished child
// (wait4): user + system CPU seconds per minute of audio, and peak resident memory. The children
// are forked by a small launcher process, so their peak is not inflated by this process's
// generated audio (see ChildLauncher).
//
//   ffmpeg_compare_bench [runs, default 5] [seconds of audio, default 300]
//   FFMPEG=/path/to/ffmpeg overrides /usr/bin/ffmpeg.
#include <lame/lame.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/discard_sink.h"
#include "bench/measured_child.h"
#include "bench/music_mp3.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kBitrateKbps = 128;
constexpr int kSampleRate = 44100;
constexpr const char* kMount = "/bench";
constexpr const char* kPassword = "benchpass";

struct Contender {
    std::string name;
    std::vector<std::string> command;
    std::vector<double> cpuPerMinute;
    std::vector<double> userPerMinute;
    std::vector<double> systemPerMinute;
    std::vector<double> peakMiB;
};

StationConfig TranscodeConfig(const TempDir& dir, const std::string& sourceUrl, uint16_t sinkPort) {
    return StationConfig::LoopbackRelay(sourceUrl, sinkPort, kPassword)
        .Set("ServerMountpoint", kMount)
        .Set("Encode", "LAME")
        .Set("BitrateNominal", kBitrateKbps)
        .Set("Samplerate", kSampleRate)
        .Set("NumberChannels", 2)
        .Set("LameCBRFlag", 1)
        .Set("LameQuality", 1)
        .Set("OutputPacing", 0)
        .Set("LogLevel", 1)
        .Set("LogFile", dir.file("transcode.log"));
}

std::vector<std::string> FfmpegCommand(const std::string& ffmpeg, const std::string& sourceUrl,
                                       uint16_t sinkPort) {
    std::vector<std::string> command = {ffmpeg,  "-nostdin", "-hide_banner", "-loglevel",
                                        "error", "-i",       sourceUrl};
    // The relay's LAME settings: CBR at the bitrate, quality 1, plain stereo, the same rate.
    const std::string settings[] = {"-c:a",
                                    "libmp3lame",
                                    "-b:a",
                                    std::to_string(kBitrateKbps) + "k",
                                    "-compression_level",
                                    "1",
                                    "-joint_stereo",
                                    "0",
                                    "-ar",
                                    std::to_string(kSampleRate),
                                    "-ac",
                                    "2"};
    command.insert(command.end(), std::begin(settings), std::end(settings));
    const std::string sink = "icecast://source:" + std::string(kPassword) +
                             "@127.0.0.1:" + std::to_string(sinkPort) + kMount;
    const std::string output[] = {"-f", "mp3", "-content_type", "audio/mpeg", sink};
    command.insert(command.end(), std::begin(output), std::end(output));
    return command;
}

std::string FirstLineOf(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "?";
    char line[256] = "?";
    if (std::fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
    pclose(pipe);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// One run of one program; false when it failed or the sink did not get the whole stream.
bool RunOnce(ChildLauncher& launcher, Contender& contender, const TempDir& dir, DiscardSink& sink,
             double audioSeconds, bool counted) {
    const std::uint64_t bytesBefore = sink.bytes();
    const ChildResult usage =
        launcher.Run(contender.command, dir.path(), dir.file(contender.name + ".out"),
                     static_cast<int>(audioSeconds * 1000));
    sink.WaitUntilAllClosed(5000);
    const double sentSeconds = (sink.bytes() - bytesBefore) / (kBitrateKbps * 125.0);
    const bool whole = sentSeconds > audioSeconds * 0.98 && sentSeconds < audioSeconds * 1.02;
    std::printf(
        "  %-9s %s cpu %6.2f s (user %6.2f, sys %5.2f)  wall %6.2f s  peak %6.1f MiB  "
        "sent %.1f s of audio%s\n",
        contender.name.c_str(), counted ? "     " : "warm-up", usage.cpuSeconds(),
        usage.userSeconds, usage.systemSeconds, usage.wallSeconds, usage.peakMiB, sentSeconds,
        usage.timedOut ? "  TIMED OUT" : "");
    std::fflush(stdout);
    if (usage.timedOut || !whole) return false;
    if (counted) {
        const double minutes = audioSeconds / 60.0;
        contender.cpuPerMinute.push_back(usage.cpuSeconds() / minutes);
        contender.userPerMinute.push_back(usage.userSeconds / minutes);
        contender.systemPerMinute.push_back(usage.systemSeconds / minutes);
        contender.peakMiB.push_back(usage.peakMiB);
    }
    return true;
}

void PrintRow(const char* what, const std::vector<double>& values, const char* unit) {
    const Spread spread = SpreadOf(values);
    std::printf("  %-38s %8.3f %8.3f %8.3f  %s\n", what, spread.min, spread.median, spread.max,
                unit);
}

void PrintSummary(const Contender& ours, const Contender& ffmpeg) {
    std::printf("\n%-40s %8s %8s %8s\n", "", "min", "median", "max");
    for (const Contender* c : {&ours, &ffmpeg}) {
        std::printf("%s\n", c->name.c_str());
        PrintRow("CPU (user + sys) per audio minute", c->cpuPerMinute, "s");
        PrintRow("  user per audio minute", c->userPerMinute, "s");
        PrintRow("  sys per audio minute", c->systemPerMinute, "s");
        PrintRow("peak memory (ru_maxrss)", c->peakMiB, "MiB");
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ours.cpuPerMinute.size() && i < ffmpeg.cpuPerMinute.size(); ++i) {
        ratios.push_back(ours.cpuPerMinute[i] / ffmpeg.cpuPerMinute[i]);
    }
    if (!ratios.empty()) PrintRow("CPU transcode / ffmpeg, pair by pair", ratios, "");
}

}  // namespace

int main(int argc, char** argv) {
    ChildLauncher launcher;  // first, while this process is small
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const double audioSeconds = argc > 2 ? std::max(10.0, std::atof(argv[2])) : 300.0;
    const char* ffmpegOverride = std::getenv("FFMPEG");
    const std::string ffmpeg = ffmpegOverride != nullptr ? ffmpegOverride : "/usr/bin/ffmpeg";
    if (access(ffmpeg.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "%s is missing: install Debian's ffmpeg (scripts/bench-ffmpeg does)\n",
                     ffmpeg.c_str());
        return 2;
    }
    TempDir dir;
    const double generateStart = MonotonicSeconds();
    const std::string mp3 = MakeMusicLikeMp3(audioSeconds, kSampleRate, kBitrateKbps);
    std::printf(
        "station: %.0f s of music-like MP3, %d kbit/s %d Hz stereo (%zu bytes, made in "
        "%.1f s), ICY interval 8192, served unpaced on 127.0.0.1\n",
        audioSeconds, kBitrateKbps, kSampleRate, mp3.size(), MonotonicSeconds() - generateStart);
    std::printf("%s; LAME %s\n", FirstLineOf(ffmpeg + " -version").c_str(), get_lame_version());

    PacedSourceOptions options;
    options.bytesPerSecond = 0;
    options.maxStreamMs = static_cast<int>(audioSeconds * 1000);
    options.chunkBytes = 16384;
    for (int second = 0; second < audioSeconds; second += 30) {
        options.titles.push_back({static_cast<std::size_t>(second) * kBitrateKbps * 125,
                                  "Bench Artist - Song at " + std::to_string(second) + " s"});
    }
    PacedSource station(mp3, options);
    DiscardSink sink;
    TranscodeConfig(dir, station.url(), sink.port()).Write(dir.file("bench.cfg"));

    Contender ours{"transcode", {TRANSCODE_BINARY, "-n", "-c", dir.file("bench.cfg")}, {}, {}, {},
                   {}};
    Contender other{"ffmpeg", FfmpegCommand(ffmpeg, station.url(), sink.port()), {}, {}, {}, {}};
    std::printf("runs: one warm-up each, then %d of each in turn\n", runs);
    bool allComplete = true;
    for (int run = 0; run <= runs; ++run) {
        allComplete &= RunOnce(launcher, ours, dir, sink, audioSeconds, run > 0);
        allComplete &= RunOnce(launcher, other, dir, sink, audioSeconds, run > 0);
    }
    if (ours.cpuPerMinute.empty() || other.cpuPerMinute.empty()) {
        std::fprintf(stderr, "no complete run; output of the programs:\n%s\n%s\n",
                     ReadWholeFile(dir.file("transcode.out")).c_str(),
                     ReadWholeFile(dir.file("ffmpeg.out")).c_str());
        return 1;
    }
    PrintSummary(ours, other);
    if (!allComplete) std::printf("(some runs did not deliver the whole stream: left out)\n");
    return 0;
}
