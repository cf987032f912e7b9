// CPU time and peak memory of the relay next to FFmpeg doing the same relay with the same encoder
// settings, case by case.
//
// Both programs fetch the same generated station over loopback HTTP: music-like MP3 at
// 128 kbit/s, stereo, with ICY titles every 30 s, served as fast as the client reads by a station
// thread of this process (both ask for the ICY metadata, so both receive the same bytes). Both
// encode with the same library and send to a sink thread of this process that answers the
// Icecast2 login and discards. The cases:
//   mp3-q1      44100 Hz source; LAME CBR 128 kbit/s, quality 1, plain stereo, 44100 Hz
//               ffmpeg ... -c:a libmp3lame -b:a 128k -compression_level 1 -joint_stereo 0
//   ogg-q4      44100 Hz source; Vorbis quality 4 (transcode: Encode=OGG, OggQuality=4)
//               ffmpeg ... -c:a libvorbis -q:a 4 -f ogg
//   mp3-48to44  48000 Hz source resampled to 44100 Hz; LAME CBR 128 kbit/s, quality 3, plain
//               stereo (ffmpeg: -compression_level 3 -ar 44100, its own resampler)
// (-compression_level is what FFmpeg's wrapper passes to lame_set_quality.) FFmpeg decodes with
// its own MP3 decoder, transcode with libmpg123. Per case the programs run in turn, one warm-up
// each, then A B A B ...; the figures are the kernel's accounting of each finished child (wait4):
// user + system CPU seconds per minute of audio, and peak resident memory. The children are
// forked by a small launcher process, so their peak is not inflated by this process's generated
// audio (see ChildLauncher).
//
//   ffmpeg_compare_bench [runs, default 5] [seconds of audio, default 300] [case ...]
//   (no case named: all three). FFMPEG=/path/to/ffmpeg overrides /usr/bin/ffmpeg.
#include <lame/lame.h>
#include <unistd.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "bench/discard_sink.h"
#include "bench/measured_child.h"
#include "bench/music_mp3.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSourceKbps = 128;
constexpr int kOutputRate = 44100;
constexpr const char* kPassword = "benchpass";

struct CompareCase {
    const char* name;
    int sourceRate;
    // transcode's settings beyond the loopback relay's
    std::vector<std::pair<std::string, std::string>> ours;
    // FFmpeg's codec settings, then its container and the mount both send to
    std::vector<std::string> ffmpegCodec;
    const char* format;
    const char* contentType;
    const char* mount;
    int outputKbps;  // CBR: the sink must get exactly the audio's length; 0: VBR, roughly
};

const CompareCase kCases[] = {
    {"mp3-q1",
     44100,
     {{"Encode", "LAME"}, {"BitrateNominal", "128"}, {"LameCBRFlag", "1"}, {"LameQuality", "1"}},
     {"-c:a", "libmp3lame", "-b:a", "128k", "-compression_level", "1", "-joint_stereo", "0"},
     "mp3",
     "audio/mpeg",
     "/bench",
     128},
    {"ogg-q4",
     44100,
     {{"Encode", "OGG"}, {"OggBitrateQualityFlag", "Quality"}, {"OggQuality", "4"}},
     {"-c:a", "libvorbis", "-q:a", "4"},
     "ogg",
     "application/ogg",
     "/bench.ogg",
     0},
    {"mp3-48to44",
     48000,
     {{"Encode", "LAME"}, {"BitrateNominal", "128"}, {"LameCBRFlag", "1"}, {"LameQuality", "3"}},
     {"-c:a", "libmp3lame", "-b:a", "128k", "-compression_level", "3", "-joint_stereo", "0"},
     "mp3",
     "audio/mpeg",
     "/bench",
     128},
};

struct Contender {
    std::string name;
    std::vector<std::string> command;
    std::vector<double> cpuPerMinute;
    std::vector<double> userPerMinute;
    std::vector<double> systemPerMinute;
    std::vector<double> peakMiB;
};

StationConfig TranscodeConfig(const CompareCase& c, const TempDir& dir,
                              const std::string& sourceUrl, uint16_t sinkPort) {
    StationConfig config = StationConfig::LoopbackRelay(sourceUrl, sinkPort, kPassword);
    config.Set("ServerMountpoint", c.mount)
        .Set("Samplerate", kOutputRate)
        .Set("NumberChannels", 2)
        .Set("OutputPacing", 0)
        .Set("LogLevel", 1)
        .Set("LogFile", dir.file("transcode.log"));
    for (const auto& [key, value] : c.ours) config.Set(key, value);
    return config;
}

std::vector<std::string> FfmpegCommand(const CompareCase& c, const std::string& ffmpeg,
                                       const std::string& sourceUrl, uint16_t sinkPort) {
    std::vector<std::string> command = {ffmpeg,  "-nostdin", "-hide_banner", "-loglevel",
                                        "error", "-i",       sourceUrl};
    command.insert(command.end(), c.ffmpegCodec.begin(), c.ffmpegCodec.end());
    const std::string sink = "icecast://source:" + std::string(kPassword) +
                             "@127.0.0.1:" + std::to_string(sinkPort) + c.mount;
    const std::string output[] = {"-ar",          std::to_string(kOutputRate),
                                  "-ac",          "2",
                                  "-f",           c.format,
                                  "-content_type", c.contentType,
                                  sink};
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

// CBR output must be the audio's length to 2 %; VBR output only plausible (32 to 320 kbit/s).
bool WholeStream(const CompareCase& c, std::uint64_t sentBytes, double audioSeconds) {
    const double kbps = sentBytes / audioSeconds / 125.0;
    if (c.outputKbps == 0) return kbps > 32 && kbps < 320;
    return kbps > c.outputKbps * 0.98 && kbps < c.outputKbps * 1.02;
}

// One run of one program; false when it failed or the sink did not get the whole stream.
bool RunOnce(const CompareCase& c, ChildLauncher& launcher, Contender& contender,
             const TempDir& dir, DiscardSink& sink, double audioSeconds, bool counted) {
    const std::uint64_t bytesBefore = sink.bytes();
    const ChildResult usage =
        launcher.Run(contender.command, dir.path(), dir.file(contender.name + ".out"),
                     static_cast<int>(audioSeconds * 1000));
    sink.WaitUntilAllClosed(5000);
    const std::uint64_t sentBytes = sink.bytes() - bytesBefore;
    const bool whole = WholeStream(c, sentBytes, audioSeconds);
    std::printf(
        "  %-9s %s cpu %6.2f s (user %6.2f, sys %5.2f)  wall %6.2f s  peak %6.1f MiB  "
        "sent %.1f kbit/s%s%s\n",
        contender.name.c_str(), counted ? "     " : "warm-up", usage.cpuSeconds(),
        usage.userSeconds, usage.systemSeconds, usage.wallSeconds, usage.peakMiB,
        sentBytes / audioSeconds / 125.0, usage.timedOut ? "  TIMED OUT" : "",
        whole ? "" : "  INCOMPLETE");
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

void PrintSummary(const CompareCase& c, const Contender& ours, const Contender& ffmpeg) {
    std::printf("\n%-40s %8s %8s %8s\n", c.name, "min", "median", "max");
    for (const Contender* contender : {&ours, &ffmpeg}) {
        std::printf("%s\n", contender->name.c_str());
        PrintRow("CPU (user + sys) per audio minute", contender->cpuPerMinute, "s");
        PrintRow("  user per audio minute", contender->userPerMinute, "s");
        PrintRow("  sys per audio minute", contender->systemPerMinute, "s");
        PrintRow("peak memory (ru_maxrss)", contender->peakMiB, "MiB");
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ours.cpuPerMinute.size() && i < ffmpeg.cpuPerMinute.size(); ++i) {
        ratios.push_back(ours.cpuPerMinute[i] / ffmpeg.cpuPerMinute[i]);
    }
    if (!ratios.empty()) PrintRow("CPU transcode / ffmpeg, pair by pair", ratios, "");
    std::printf("\n");
}

// One case: its station, a warm-up each, then the runs in turn. false when no run was complete.
bool RunCase(const CompareCase& c, ChildLauncher& launcher, const std::string& ffmpeg,
             DiscardSink& sink, int runs, double audioSeconds) {
    TempDir dir;
    const double generateStart = MonotonicSeconds();
    const std::string mp3 = MakeMusicLikeMp3(audioSeconds, c.sourceRate, kSourceKbps);
    std::printf(
        "== %s: station %.0f s of music-like MP3, %d kbit/s %d Hz stereo (%zu bytes, made in "
        "%.1f s), ICY interval 8192, served unpaced on 127.0.0.1\n",
        c.name, audioSeconds, kSourceKbps, c.sourceRate, mp3.size(),
        MonotonicSeconds() - generateStart);
    PacedSourceOptions options;
    options.bytesPerSecond = 0;
    options.maxStreamMs = static_cast<int>(audioSeconds * 1000);
    options.chunkBytes = 16384;
    for (int second = 0; second < audioSeconds; second += 30) {
        options.titles.push_back({static_cast<std::size_t>(second) * kSourceKbps * 125,
                                  "Bench Artist - Song at " + std::to_string(second) + " s"});
    }
    PacedSource station(mp3, options);
    TranscodeConfig(c, dir, station.url(), sink.port()).Write(dir.file("bench.cfg"));

    Contender ours{"transcode", {TRANSCODE_BINARY, "-n", "-c", dir.file("bench.cfg")}, {}, {}, {},
                   {}};
    Contender other{"ffmpeg", FfmpegCommand(c, ffmpeg, station.url(), sink.port()), {}, {}, {},
                    {}};
    bool allComplete = true;
    for (int run = 0; run <= runs; ++run) {
        allComplete &= RunOnce(c, launcher, ours, dir, sink, audioSeconds, run > 0);
        allComplete &= RunOnce(c, launcher, other, dir, sink, audioSeconds, run > 0);
    }
    if (ours.cpuPerMinute.empty() || other.cpuPerMinute.empty()) {
        std::fprintf(stderr, "%s: no complete run; output of the programs:\n%s\n%s\n", c.name,
                     ReadWholeFile(dir.file("transcode.out")).c_str(),
                     ReadWholeFile(dir.file("ffmpeg.out")).c_str());
        return false;
    }
    PrintSummary(c, ours, other);
    if (!allComplete) std::printf("(some runs did not deliver the whole stream: left out)\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ChildLauncher launcher;  // first, while this process is small
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const double audioSeconds = argc > 2 ? std::max(10.0, std::atof(argv[2])) : 300.0;
    std::vector<std::string> chosen(argv + std::min(argc, 3), argv + argc);
    const char* ffmpegOverride = std::getenv("FFMPEG");
    const std::string ffmpeg = ffmpegOverride != nullptr ? ffmpegOverride : "/usr/bin/ffmpeg";
    if (access(ffmpeg.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "%s is missing: install Debian's ffmpeg (scripts/bench-ffmpeg does)\n",
                     ffmpeg.c_str());
        return 2;
    }
    std::printf("%s; LAME %s; %s\n", FirstLineOf(ffmpeg + " -version").c_str(),
                get_lame_version(), vorbis_version_string());
    std::printf("runs: per case one warm-up each, then %d of each in turn\n", runs);
    DiscardSink sink;
    int status = 0;
    for (const CompareCase& c : kCases) {
        if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), c.name) == chosen.end()) {
            continue;
        }
        if (!RunCase(c, launcher, ffmpeg, sink, runs, audioSeconds)) status = 1;
    }
    return status;
}
