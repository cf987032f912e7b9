// Output engine throughput: synthetic stereo audio pushed through ProcessSamples (channel
// conversion, resampling, encoding, sending) into a local socket that a thread drains, next to
// the same encoder library (and, for 48000 Hz input, the same resampler) called directly on the
// same samples. Figures are audio seconds per CPU second of the encoding thread (its send calls
// included); the ratio shows what the engine adds around the encoder.
//
//   engine_bench [seconds of audio per case, default 600]
#include <lame/lame.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vorbis/vorbisenc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "bench/music_like.h"
#include "engine/libzembril.h"
#include "resample/resample.h"

namespace {

constexpr int kBlockFrames = 1152;  // an MP3 decoder's block
constexpr int kOutputRate = 44100;
constexpr int kMp3BufferBytes = 147456;

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Music-like load (bench/music_like.h), 20 seconds, played in a loop.
std::vector<float> MakeSource(int rate) {
    return MusicLikeGenerator(rate).Next(rate * 20);
}

// Calls `block(frames, frameCount)` for consecutive blocks covering `seconds` of audio.
void ForEachBlock(const std::vector<float>& source, int rate, double seconds,
                  const std::function<void(const float*, int)>& block) {
    const std::size_t sourceFrames = source.size() / 2;
    const auto total = static_cast<std::uint64_t>(seconds * rate);
    std::size_t position = 0;
    for (std::uint64_t done = 0; done < total; done += kBlockFrames) {
        if (position + kBlockFrames > sourceFrames) position = 0;
        block(source.data() + 2 * position, kBlockFrames);
        position += kBlockFrames;
    }
}

// The engine's destination: one end of a socket pair, the other end drained by a thread.
class DrainedSink {
  public:
    DrainedSink() {
        socketpair(AF_UNIX, SOCK_STREAM, 0, ends_);
        drain_ = std::thread([this] {
            char buffer[65536];
            while (read(ends_[1], buffer, sizeof buffer) > 0) {
            }
        });
    }
    ~DrainedSink() {
        if (drain_.joinable()) drain_.join();
        close(ends_[1]);
    }
    DrainedSink(const DrainedSink&) = delete;
    DrainedSink& operator=(const DrainedSink&) = delete;

    int engineEnd() const { return ends_[0]; }  // closed by DisconnectFromServer

  private:
    int ends_[2] = {-1, -1};
    std::thread drain_;
};

struct Case {
    const char* name;
    bool ogg;
    int lameQuality;  // -1: LAME's own default
    int sourceRate;
};

int LameDefaultQuality() {
    lame_global_flags* lame = lame_init();
    lame_set_brate(lame, 128);
    lame_init_params(lame);
    const int quality = lame_get_quality(lame);
    lame_close(lame);
    return quality;
}

// ---- through the engine ----

double EngineSeconds(const Case& c, const std::vector<float>& source, double seconds) {
    ResetEngineState();
    EngineState& engine = Engine();
    engine.settings.sampleRate = kOutputRate;
    engine.settings.channels = 2;
    engine.settings.bitrateNominal = 128;
    engine.settings.lameCbrFlag = 1;
    engine.settings.lameQuality = c.lameQuality;
    engine.settings.isLame = c.ogg ? 0 : 1;
    engine.settings.isOggVorbis = c.ogg ? 1 : 0;
    engine.settings.oggQuality.assign("4");
    DrainedSink sink;
    engine.destination.streamSocket = sink.engineEnd();
    if (InitEncoder() != 1) std::exit(2);
    engine.destination.connected = 1;

    const double start = ThreadCpuSeconds();
    ForEachBlock(source, c.sourceRate, seconds, [&](const float* frames, int count) {
        ProcessSamples(frames, count, 2, c.sourceRate);
    });
    const double used = ThreadCpuSeconds() - start;
    DisconnectFromServer();
    return used;
}

// ---- the libraries called directly ----

class DirectLame {
  public:
    explicit DirectLame(int quality) : lame_(lame_init()), output_(kMp3BufferBytes) {
        lame_set_brate(lame_, 128);
        lame_set_quality(lame_, quality);
        lame_set_num_channels(lame_, 2);
        lame_set_mode(lame_, STEREO);
        lame_set_in_samplerate(lame_, kOutputRate);
        lame_set_out_samplerate(lame_, kOutputRate);
        lame_init_params(lame_);
    }
    ~DirectLame() { lame_close(lame_); }
    DirectLame(const DirectLame&) = delete;
    DirectLame& operator=(const DirectLame&) = delete;
    void Encode(const float* frames, int count) {
        lame_encode_buffer_interleaved_ieee_float(lame_, frames, count, output_.data(),
                                                  kMp3BufferBytes);
    }

  private:
    lame_global_flags* lame_;
    std::vector<unsigned char> output_;
};

class DirectVorbis {
  public:
    DirectVorbis() {
        vorbis_info_init(&info_);
        vorbis_encode_init_vbr(&info_, 2, kOutputRate, 0.4f);
        vorbis_analysis_init(&dsp_, &info_);
        vorbis_block_init(&dsp_, &block_);
        ogg_stream_init(&stream_, 1);
    }
    ~DirectVorbis() {
        ogg_stream_clear(&stream_);
        vorbis_block_clear(&block_);
        vorbis_dsp_clear(&dsp_);
        vorbis_info_clear(&info_);
    }
    DirectVorbis(const DirectVorbis&) = delete;
    DirectVorbis& operator=(const DirectVorbis&) = delete;
    void Encode(const float* frames, int count) {
        float** channels = vorbis_analysis_buffer(&dsp_, count);
        for (int i = 0; i < count; ++i) {
            channels[0][i] = frames[2 * i];
            channels[1][i] = frames[2 * i + 1];
        }
        vorbis_analysis_wrote(&dsp_, count);
        ogg_packet packet;
        ogg_page page;
        while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
            vorbis_analysis(&block_, nullptr);
            vorbis_bitrate_addblock(&block_);
            while (vorbis_bitrate_flushpacket(&dsp_, &packet) == 1) {
                ogg_stream_packetin(&stream_, &packet);
                while (ogg_stream_pageout(&stream_, &page) != 0) {
                }
            }
        }
    }

  private:
    vorbis_info info_{};
    vorbis_dsp_state dsp_{};
    vorbis_block block_{};
    ogg_stream_state stream_{};
};

double DirectSeconds(const Case& c, const std::vector<float>& source, double seconds) {
    std::optional<DirectLame> lame;
    std::optional<DirectVorbis> vorbis;
    if (c.ogg) {
        vorbis.emplace();
    } else {
        lame.emplace(c.lameQuality);
    }
    const auto encode = [&](const float* frames, int count) {
        if (lame) lame->Encode(frames, count);
        if (vorbis) vorbis->Encode(frames, count);
    };
    ResamplerState resampler{};
    const bool resample = c.sourceRate != kOutputRate;
    if (resample) res_init(&resampler, 2, kOutputRate, c.sourceRate, kNoResamplerOptions);
    std::vector<float> converted(2 * (kBlockFrames * kOutputRate / c.sourceRate + 2));

    const double start = ThreadCpuSeconds();
    ForEachBlock(source, c.sourceRate, seconds, [&](const float* frames, int count) {
        if (!resample) return encode(frames, count);
        const int out = res_push_interleaved(&resampler, converted.data(), frames,
                                             static_cast<std::uint64_t>(count));
        if (out > 0) encode(converted.data(), out);
    });
    const double used = ThreadCpuSeconds() - start;
    if (resample) res_clear(&resampler);
    return used;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
    const int defaultQuality = LameDefaultQuality();
    const Case cases[] = {
        {"MP3 128 kbit/s, LameQuality 1, 44100 Hz in", false, 1, 44100},
        {"MP3 128 kbit/s, LAME default quality, 44100 Hz in", false, defaultQuality, 44100},
        {"Ogg Vorbis quality 4, 44100 Hz in", true, 0, 44100},
        {"MP3 128 kbit/s, LameQuality 1, 48000 Hz in", false, 1, 48000},
        {"Ogg Vorbis quality 4, 48000 Hz in", true, 0, 48000},
    };
    std::printf("%.0f s of stereo audio per case, blocks of %d frames, output %d Hz stereo\n",
                seconds, kBlockFrames, kOutputRate);
    std::printf("(LAME's default quality is %d)\n\n", defaultQuality);
    std::printf("%-52s %12s %12s %9s\n", "case", "engine x RT", "direct x RT", "overhead");
    for (const Case& c : cases) {
        const std::vector<float> source = MakeSource(c.sourceRate);
        const double direct = DirectSeconds(c, source, seconds);
        const double engine = EngineSeconds(c, source, seconds);
        std::printf("%-52s %12.1f %12.1f %8.1f%%\n", c.name, seconds / engine, seconds / direct,
                    (engine / direct - 1.0) * 100.0);
        std::fflush(stdout);
    }
    return 0;
}
