#include "bench/music_mp3.h"

#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "bench/music_like.h"

namespace {

struct LameCloser {
    void operator()(lame_global_flags* flags) const { lame_close(flags); }
};
using LameHandle = std::unique_ptr<lame_global_flags, LameCloser>;

constexpr int kFramesPerCall = 1152;

bool Configure(lame_global_flags* flags, int sampleRate, int bitrateKbps) {
    lame_set_in_samplerate(flags, sampleRate);
    lame_set_out_samplerate(flags, sampleRate);
    lame_set_num_channels(flags, 2);
    lame_set_mode(flags, JOINT_STEREO);
    lame_set_brate(flags, bitrateKbps);
    lame_set_VBR(flags, vbr_off);
    lame_set_bWriteVbrTag(flags, 0);
    lame_set_quality(flags, 7);  // fast: only the decoded content matters to the benchmarks
    return lame_init_params(flags) >= 0;
}

void AppendEncoded(std::string& out, const std::vector<unsigned char>& buffer, int byteCount) {
    if (byteCount > 0) out.append(reinterpret_cast<const char*>(buffer.data()), byteCount);
}

}  // namespace

std::string MakeMusicLikeMp3(double seconds, int sampleRate, int bitrateKbps) {
    LameHandle flags(lame_init());
    if (!flags || !Configure(flags.get(), sampleRate, bitrateKbps)) return {};
    const long totalFrames = std::lround(seconds * sampleRate);
    MusicLikeGenerator music(sampleRate);
    std::vector<unsigned char> buffer(kFramesPerCall * 5 / 4 + 7200);
    std::string out;
    for (long first = 0; first < totalFrames; first += kFramesPerCall) {
        const int count = static_cast<int>(std::min<long>(kFramesPerCall, totalFrames - first));
        const std::vector<float> samples = music.Next(count);
        AppendEncoded(out, buffer,
                      lame_encode_buffer_interleaved_ieee_float(flags.get(), samples.data(), count,
                                                                buffer.data(),
                                                                static_cast<int>(buffer.size())));
    }
    AppendEncoded(out, buffer,
                  lame_encode_flush(flags.get(), buffer.data(), static_cast<int>(buffer.size())));
    return out;
}
