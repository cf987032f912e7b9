// Music-like test audio for the benchmarks: two drifting tones and some noise, different on the
// two channels, interleaved stereo.
//
// A pure sine flatters LAME (at LameQuality 1 it encodes a steady tone about four times faster
// than music), so the benchmarks that quote encoder costs feed this instead. The sequence is
// fixed: the same rate gives the same samples on every run.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

class MusicLikeGenerator {
  public:
    explicit MusicLikeGenerator(int sampleRate) : sampleRate_(sampleRate) {}

    // The next frameCount frames, interleaved left/right.
    std::vector<float> Next(int frameCount) {
        std::vector<float> samples(2 * static_cast<std::size_t>(frameCount));
        for (std::size_t i = 0; i < static_cast<std::size_t>(frameCount); ++i, ++nextFrame_) {
            const double t = static_cast<double>(nextFrame_) / sampleRate_;
            noise_ = noise_ * 1664525u + 1013904223u;
            const double hiss = (static_cast<double>(noise_ >> 8) / (1 << 24) - 0.5) * 0.1;
            const double tone = 0.3 * std::sin(2 * std::numbers::pi * (220 + 40 * std::sin(t)) * t);
            samples[2 * i] =
                static_cast<float>(tone + 0.2 * std::sin(2 * std::numbers::pi * 1250 * t) + hiss);
            samples[2 * i + 1] =
                static_cast<float>(tone + 0.2 * std::sin(2 * std::numbers::pi * 3300 * t) - hiss);
        }
        return samples;
    }

  private:
    int sampleRate_;
    std::uint64_t nextFrame_ = 0;
    std::uint32_t noise_ = 12345;
};
