#include "tests/support/mp3_fixture.h"

#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "tests/support/audio_check.h"

namespace {

struct LameCloser {
    void operator()(lame_global_flags* flags) const { lame_close(flags); }
};
using LameHandle = std::unique_ptr<lame_global_flags, LameCloser>;

constexpr int kFramesPerCall = 1152;

bool Configure(lame_global_flags* flags, const Mp3Format& format) {
    lame_set_in_samplerate(flags, format.sampleRate);
    lame_set_out_samplerate(flags, format.sampleRate);
    lame_set_num_channels(flags, format.channelCount);
    lame_set_mode(flags, format.channelCount == 1 ? MONO : JOINT_STEREO);
    lame_set_brate(flags, format.bitrateKbps);
    lame_set_VBR(flags, vbr_off);
    lame_set_bWriteVbrTag(flags, 0);
    lame_set_quality(flags, 7);  // fast; the tone does not need more
    return lame_init_params(flags) >= 0;
}

void AppendEncoded(std::string& out, const std::vector<unsigned char>& buffer, int byteCount) {
    if (byteCount > 0) out.append(reinterpret_cast<const char*>(buffer.data()), byteCount);
}

}  // namespace

std::string MakeMp3Tone(const Mp3Format& format) {
    LameHandle flags(lame_init());
    if (!flags || !Configure(flags.get(), format)) return {};

    const long totalFrames = std::lround(format.seconds * format.sampleRate);
    SineGenerator tone(format.sampleRate, {format.toneHz}, format.amplitude);
    std::vector<unsigned char> buffer(kFramesPerCall * 5 / 4 + 7200);
    std::string out;
    for (long first = 0; first < totalFrames; first += kFramesPerCall) {
        const int count = static_cast<int>(std::min<long>(kFramesPerCall, totalFrames - first));
        const std::vector<float> samples = tone.Next(count);  // the same tone on both channels
        AppendEncoded(
            out, buffer,
            lame_encode_buffer_ieee_float(flags.get(), samples.data(), samples.data(), count,
                                          buffer.data(), static_cast<int>(buffer.size())));
    }
    AppendEncoded(out, buffer,
                  lame_encode_flush(flags.get(), buffer.data(), static_cast<int>(buffer.size())));
    return out;
}

std::vector<Mp3Frame> Mp3Frames(const std::string& bytes) {
    static constexpr int kBitrates[2][16] = {
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},  // MPEG-1 L III
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};     // MPEG-2/2.5
    static constexpr int kRates[4][3] = {
        {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    std::vector<Mp3Frame> frames;
    std::size_t at = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    while (at + 4 <= bytes.size()) {
        const bool sync = data[at] == 0xff && (data[at + 1] & 0xe0) == 0xe0;
        const int version = (data[at + 1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
        const int bitrateIndex = data[at + 2] >> 4;
        const int rateIndex = (data[at + 2] >> 2) & 3;
        if (!sync || version == 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
            ++at;
            continue;
        }
        const bool mpeg1 = version == 3;
        const int kbps = kBitrates[mpeg1 ? 0 : 1][bitrateIndex];
        const int rate = kRates[version][rateIndex];
        const int padding = (data[at + 2] >> 1) & 1;
        const std::size_t length = (mpeg1 ? 144000 : 72000) * kbps / rate + padding;
        frames.push_back({at, length});
        at += length;
    }
    return frames;
}

std::vector<std::size_t> Mp3FrameOffsets(const std::string& bytes) {
    std::vector<std::size_t> offsets;
    for (const Mp3Frame& frame : Mp3Frames(bytes)) offsets.push_back(frame.offset);
    return offsets;
}
