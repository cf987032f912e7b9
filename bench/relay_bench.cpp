// Cost of relaying an MP3 station, next to the cost of its two codecs alone.
//
// The relay runs in a process of its own, forked at the start while this one is still small and
// has no threads, through the real input: StartTranscoding fetches 10 minutes of generated
// 128 kbit/s MP3 (44100 Hz stereo, ICY titles every 30 s) over loopback HTTP from an unpaced
// station thread in this process, decodes it with libmpg123, encodes it with LAME under the default
// configuration (CBR 128 kbit/s, LameQuality 1) and sends it with an Icecast2 login to a sink
// thread in this process that reads and discards. The relay process does nothing else, so its
// CPU time and its peak memory (getrusage ru_maxrss) are the relay's own.
//
// Then the same MP3 is decoded alone in this process (libmpg123 through the program's decoder, no
// output), and decoded again with every frame encoded by LAME with the same settings, the
// encoding timed apart.
//
// The station's audio is music-like (bench/music_like.h): like music, it keeps LAME's
// psychoacoustic work busy. A second case relays a pure sine, which LAME encodes about five
// times faster, to show how much the content moves the figures.
#include <lame/lame.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/discard_sink.h"
#include "bench/music_mp3.h"
#include "decoders/mp3decoder.h"
#include "engine/libzembril.h"
#include "input/ziravorov.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr double kAudioSeconds = 600.0;
constexpr int kMetaInterval = 8192;

double CpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

double WallSeconds() {
    return CpuSeconds(CLOCK_MONOTONIC);
}

double PeakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

void LoadBenchConfig(const TempDir& dir, const std::string& sourceUrl, uint16_t sinkPort,
                     int silenceSecs = 0) {
    const std::string path = StationConfig::LoopbackRelay(sourceUrl, sinkPort)
                                 .Set("ServerMountpoint", "/bench")
                                 .Set("OutputPacing", 0)
                                 .Set("LogLevel", 1)
                                 .Set("LogFile", dir.file("bench.log"))
                                 .Set("SilenceSecs", silenceSecs)
                                 .Write(dir.file("bench.cfg"));
    SetConfigPath(path.c_str());
    LoadConfig(kConfigNormal);
}

// ---- the codecs alone ----

struct CodecTimes {
    double decodeCpu = 0;
    double encodeCpu = 0;
    std::uint64_t frames = 0;
};
CodecTimes codecTimes;
lame_global_flags* benchLame = nullptr;
std::vector<unsigned char> encoded(1 << 20);

int CountOnly(const float*, int frameCount, int, int) {
    codecTimes.frames += static_cast<std::uint64_t>(frameCount);
    return 1;
}

int EncodeFrame(const float* samples, int frameCount, int channelCount, int) {
    const double start = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    if (channelCount == 2) {
        lame_encode_buffer_interleaved_ieee_float(benchLame, samples, frameCount, encoded.data(),
                                                  static_cast<int>(encoded.size()));
    }
    codecTimes.encodeCpu += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
    return 1;
}

double DecodeAll(const std::string& mp3, Mp3SampleConsumer consumer) {
    Mp3DecoderState& decoder = Mp3Decoder();
    decoder.sampleConsumer = consumer;
    mp3_decoder_init(&decoder);
    const double start = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const auto* bytes = reinterpret_cast<const unsigned char*>(mp3.data());
    for (std::size_t at = 0; at < mp3.size(); at += kMetaInterval) {
        feed_stream(&decoder, bytes + at, std::min<std::size_t>(kMetaInterval, mp3.size() - at));
        mp3_decode_buffer(&decoder);
    }
    mp3_decoder_flush(&decoder);
    const double spent = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
    mp3_decoder_finish(&decoder);
    decoder.sampleConsumer = nullptr;
    return spent;
}

lame_global_flags* LameLikeTheEngine() {
    const EngineState& engine = Engine();
    lame_global_flags* lame = lame_init();
    lame_set_brate(lame, engine.settings.bitrateNominal);
    lame_set_quality(lame, engine.settings.lameQuality);
    lame_set_num_channels(lame, 2);
    lame_set_mode(lame, engine.settings.channels == 1 ? MONO : STEREO);
    lame_set_in_samplerate(lame, static_cast<int>(engine.settings.sampleRate));
    lame_set_out_samplerate(lame, static_cast<int>(engine.settings.sampleRate));
    lame_init_params(lame);
    return lame;
}

// ---- the relay process ----

struct RelayFigures {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double peakMiB = 0;
};

class RelayProcess {
  public:
    // Forks the relay process; it waits for the configuration path.
    RelayProcess() {
        if (pipe(request_) != 0 || pipe(reply_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) RunChild();
    }

    // Starts the relay with the configuration and waits for its figures.
    bool Run(const std::string& configPath, RelayFigures& figures) {
        if (pid_ <= 0) return false;
        const std::string line = configPath + "\n";
        if (write(request_[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return false;
        }
        const bool complete = read(reply_[0], &figures, sizeof figures) == sizeof figures;
        waitpid(pid_, nullptr, 0);
        return complete;
    }

  private:
    [[noreturn]] void RunChild() {
        std::string path;
        char byte = 0;
        while (read(request_[0], &byte, 1) == 1 && byte != '\n') path += byte;
        SetConfigPath(path.c_str());
        LoadConfig(kConfigNormal);
        RelayFigures figures;
        const double wallStart = WallSeconds();
        const double cpuStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        StartTranscoding();
        figures.cpuSeconds = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
        figures.wallSeconds = WallSeconds() - wallStart;
        figures.peakMiB = PeakMiB();
        const ssize_t written = write(reply_[1], &figures, sizeof figures);
        _exit(written == sizeof figures ? 0 : 1);
    }

    int request_[2] = {-1, -1};
    int reply_[2] = {-1, -1};
    pid_t pid_ = -1;
};

void PrintRate(const char* what, double cpuSeconds) {
    std::printf("  %-34s %8.2f CPU s  %8.1f audio s per CPU s  %6.3f CPU s per audio min\n", what,
                cpuSeconds, kAudioSeconds / cpuSeconds, cpuSeconds / (kAudioSeconds / 60.0));
}

PacedSourceOptions BenchStation() {
    PacedSourceOptions options;
    options.metaInterval = kMetaInterval;
    options.bytesPerSecond = 0;  // as fast as the relay takes it
    options.maxStreamMs = 600000;
    for (int second = 0; second < kAudioSeconds; second += 30) {
        options.titles.push_back({static_cast<std::size_t>(second * 16000),
                                  "Bench Artist - Song at " + std::to_string(second) + " s"});
    }
    return options;
}

// Relays the MP3 through the forked relay process, then times its codecs alone. False when the
// relay process did not report.
bool RunCase(const char* name, const std::string& mp3, RelayProcess& relay) {
    TempDir dir;
    PacedSource station(mp3, BenchStation());
    DiscardSink sink;
    LoadBenchConfig(dir, station.url(), sink.port());

    RelayFigures figures;
    if (!relay.Run(dir.file("bench.cfg"), figures)) {
        std::fprintf(stderr, "the relay process did not report\n");
        return false;
    }
    std::printf("%s: %.0f s, %zu bytes of MP3\n", name, kAudioSeconds, mp3.size());
    std::printf(
        "relay process: StartTranscoding (libcurl from the station thread, ring buffer, libmpg123, "
        "LAME CBR %d kbit/s q%d, send to the sink thread)\n",
        Engine().settings.bitrateNominal, Engine().settings.lameQuality);
    std::printf("  station streams completed %d, sink received %llu bytes, wall %.2f s\n",
                station.CompletedStreams(), static_cast<unsigned long long>(sink.bytes()),
                figures.wallSeconds);
    PrintRate("relay", figures.cpuSeconds);
    // A fork of this benchmark, whose libraries were loaded before the fork: lower than the real
    // binary's peak, which ffmpeg_compare_bench measures.
    std::printf("  peak memory of the forked relay process (ru_maxrss): %.1f MiB\n",
                figures.peakMiB);

    codecTimes = {};
    const double decodeOnly = DecodeAll(mp3, CountOnly);
    const std::uint64_t decodedFrames = codecTimes.frames;
    benchLame = LameLikeTheEngine();
    codecTimes = {};
    DecodeAll(mp3, EncodeFrame);  // only the encoding part of this pass is counted
    lame_close(benchLame);
    const double encodeOnly = codecTimes.encodeCpu;
    std::printf("codecs alone on the same MP3 (%llu frames decoded):\n",
                static_cast<unsigned long long>(decodedFrames));
    PrintRate("decode alone (libmpg123)", decodeOnly);
    PrintRate("encode alone (LAME)", encodeOnly);
    PrintRate("decode + encode", decodeOnly + encodeOnly);
    std::printf("relay beyond decode + encode: %+.1f %%\n\n",
                100.0 * (figures.cpuSeconds / (decodeOnly + encodeOnly) - 1.0));
    std::fflush(stdout);
    return true;
}

// The relay's CPU per audio minute with this SilenceSecs (0: no metering); negative when the relay
// process did not report.
double RelayCpuPerMinute(const std::string& mp3, RelayProcess& relay, int silenceSecs) {
    TempDir dir;
    PacedSource station(mp3, BenchStation());
    DiscardSink sink;
    LoadBenchConfig(dir, station.url(), sink.port(), silenceSecs);
    RelayFigures figures;
    if (!relay.Run(dir.file("bench.cfg"), figures)) return -1.0;
    // A relay that did not pass the whole station on is no figure.
    if (sink.bytes() < mp3.size() * 99 / 100) {
        std::printf("  a relay passed on only %llu of %zu bytes\n",
                    static_cast<unsigned long long>(sink.bytes()), mp3.size());
        return -1.0;
    }
    return figures.cpuSeconds / (kAudioSeconds / 60.0);
}

// Source metering (SilenceSecs, so the dead-air watch meters every block) off and on in turn,
// pair by pair, on the music-like source.
constexpr int kMeteringPairs = 2;

bool RunMeteringPairs(const std::string& mp3, std::vector<RelayProcess>& relays) {
    std::printf("source metering off / on (SilenceSecs=10), music-like, CPU s per audio minute:\n");
    for (int pair = 0; pair < kMeteringPairs; ++pair) {
        const double off = RelayCpuPerMinute(mp3, relays[2 * pair], 0);
        const double on = RelayCpuPerMinute(mp3, relays[2 * pair + 1], 10);
        if (off <= 0 || on <= 0) return false;
        std::printf("  pair %d: off %.3f  on %.3f  on/off %.3f\n", pair + 1, off, on, on / off);
        std::fflush(stdout);
    }
    return true;
}

}  // namespace

int main() {
    // First: forked while this process is small and single-threaded.
    RelayProcess musicRelay;
    RelayProcess toneRelay;
    std::vector<RelayProcess> meteringRelays(2 * kMeteringPairs);
    double generateStart = WallSeconds();
    const std::string music = MakeMusicLikeMp3(kAudioSeconds, 44100, 128);
    std::printf("generated %.0f s of music-like MP3 in %.1f s\n", kAudioSeconds,
                WallSeconds() - generateStart);
    generateStart = WallSeconds();
    const std::string tone = MakeMp3Tone(Mp3Format{44100, 2, kAudioSeconds, 440.0, 0.5f, 128});
    std::printf("generated %.0f s of 440 Hz sine MP3 in %.1f s\n\n", kAudioSeconds,
                WallSeconds() - generateStart);
    std::fflush(stdout);
    if (!RunCase("music-like source (two drifting tones and noise)", music, musicRelay)) return 1;
    if (!RunCase("pure tone source (440 Hz sine; LAME encodes it far faster)", tone, toneRelay)) {
        return 1;
    }
    return RunMeteringPairs(music, meteringRelays) ? 0 : 1;
}
