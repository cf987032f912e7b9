// Cost of relaying an MP3 station, next to the cost of its two codecs alone.
//
// The relay runs in this process through the real input: StartTranscoding fetches 10 minutes of
// generated 128 kbit/s MP3 (44100 Hz stereo, ICY titles every 30 s) over loopback HTTP from an
// unpaced local station thread, decodes it with libmad, encodes it with LAME under the default
// configuration (CBR 128 kbit/s, LameQuality 1) and sends it with an Icecast2 login to a local
// sink thread that reads and discards. Everything of the relay runs on the main thread, so its
// cost is that thread's CPU time; the process CPU time (with the station and sink threads) is
// shown too.
//
// Then the same MP3 is decoded alone (libmad through the decoder of the program, no output), and
// decoded again with every frame encoded by LAME with the same settings, the encoding timed apart.
// Peak memory is getrusage's ru_maxrss, before and after the relay (the generated MP3 and the
// station's copy of it are part of the first figure).
#include <lame/lame.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "decoders/mp3decoder.h"
#include "engine/libzembril.h"
#include "input/ziravorov.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
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

// Accepts every connection on a loopback port, answers its login like Icecast2 and reads until
// it is closed, discarding.
class DiscardSink {
  public:
    DiscardSink() {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listen_, 8);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~DiscardSink() {
        stopping_.store(true);
        thread_.join();
        for (const pollfd& entry : fds_) close(entry.fd);
    }
    uint16_t port() const { return port_; }
    std::uint64_t bytes() const { return bytes_.load(); }

  private:
    void Run() {
        fds_.push_back({listen_, POLLIN, 0});
        char buffer[65536];
        while (!stopping_.load()) {
            if (poll(fds_.data(), fds_.size(), 100) <= 0) continue;
            for (std::size_t i = 0; i < fds_.size(); ++i) {
                if ((fds_[i].revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)) == 0) continue;
                if (i == 0) {
                    const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (client >= 0) fds_.push_back({client, POLLIN, 0});
                    continue;
                }
                const ssize_t got = recv(fds_[i].fd, buffer, sizeof buffer, 0);
                if (got > 0) {
                    if (fds_[i].events == POLLIN) {
                        static constexpr char kAccepted[] = "HTTP/1.0 200 OK\r\n\r\n";
                        send(fds_[i].fd, kAccepted, sizeof kAccepted - 1, MSG_NOSIGNAL);
                        fds_[i].events = POLLIN | POLLRDHUP;  // marks the connection as answered
                    }
                    bytes_.fetch_add(static_cast<std::uint64_t>(got));
                } else {
                    close(fds_[i].fd);
                    fds_.erase(fds_.begin() + static_cast<long>(i));
                    --i;
                }
            }
        }
    }

    int listen_ = -1;
    uint16_t port_ = 0;
    std::vector<pollfd> fds_;  // sink thread only
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> bytes_{0};
    std::thread thread_;
};

void LoadBenchConfig(const TempDir& dir, const std::string& sourceUrl, uint16_t sinkPort) {
    const std::string text = "SourceURL=" + sourceUrl +
                             "\nServer=127.0.0.1\nPort=" + std::to_string(sinkPort) +
                             "\nServerType=Icecast2\nServerMountpoint=/bench\nLogLevel=1\n"
                             "LogFile=" +
                             dir.file("bench.log") + "\n";
    WriteWholeFile(dir.file("bench.cfg"), text);
    SetConfigPath(dir.file("bench.cfg").c_str());
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
    lame_set_brate(lame, engine.bitrateNominal);
    lame_set_quality(lame, engine.lameQuality);
    lame_set_num_channels(lame, 2);
    lame_set_mode(lame, engine.channels == 1 ? MONO : STEREO);
    lame_set_in_samplerate(lame, static_cast<int>(engine.sampleRate));
    lame_set_out_samplerate(lame, static_cast<int>(engine.sampleRate));
    lame_init_params(lame);
    return lame;
}

void PrintRate(const char* what, double cpuSeconds) {
    std::printf("  %-34s %8.2f CPU s  %8.1f audio s per CPU s\n", what, cpuSeconds,
                kAudioSeconds / cpuSeconds);
}

}  // namespace

int main() {
    TempDir dir;
    const double generateStart = WallSeconds();
    const Mp3Spec spec{44100, 2, kAudioSeconds, 440.0, 0.5f, 128};
    const std::string mp3 = MakeMp3Tone(spec);
    std::printf("generated %.0f s of MP3 (%zu bytes) in %.1f s\n", kAudioSeconds, mp3.size(),
                WallSeconds() - generateStart);

    PacedSourceOptions options;
    options.metaInterval = kMetaInterval;
    options.bytesPerSecond = 0;  // as fast as the relay takes it
    options.maxStreamMs = 600000;
    for (int second = 0; second < kAudioSeconds; second += 30) {
        options.titles.push_back({static_cast<std::size_t>(second * 16000),
                                  "Bench Artist - Song at " + std::to_string(second) + " s"});
    }
    PacedSource station(mp3, options);
    DiscardSink sink;
    LoadBenchConfig(dir, station.url(), sink.port());
    const double peakBefore = PeakMiB();

    const double wallStart = WallSeconds();
    const double threadStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double processStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    StartTranscoding();
    const double relayThread = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadStart;
    const double relayProcess = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart;
    const double relayWall = WallSeconds() - wallStart;
    const double peakAfter = PeakMiB();

    std::printf(
        "relay: HTTP station thread -> StartTranscoding (libcurl, ring buffer, libmad, "
        "LAME CBR %d kbit/s q%d) -> TCP sink thread\n",
        Engine().bitrateNominal, Engine().lameQuality);
    std::printf("  station streams completed %d, sink received %llu bytes, wall %.2f s\n",
                station.CompletedStreams(), static_cast<unsigned long long>(sink.bytes()),
                relayWall);
    PrintRate("relay, main thread", relayThread);
    PrintRate("relay, whole process", relayProcess);

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
    PrintRate("decode alone (libmad)", decodeOnly);
    PrintRate("encode alone (LAME)", encodeOnly);
    PrintRate("decode + encode", decodeOnly + encodeOnly);
    std::printf("relay main thread beyond decode + encode: %+.1f %%\n",
                100.0 * (relayThread / (decodeOnly + encodeOnly) - 1.0));
    std::printf("peak memory (ru_maxrss): %.1f MiB before the relay, %.1f MiB after it\n",
                peakBefore, peakAfter);
    return 0;
}
