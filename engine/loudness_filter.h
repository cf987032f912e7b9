// The K-weighting of BS.1770 (a high shelf, then a high pass: two biquads per channel) and the
// weighted energy of what passed through it, with the sample peak on the way.
//
// libebur128 does the same filtering, but its smallest measuring window keeps 400 ms of the
// filtered audio as doubles (282 KiB at 44100 Hz stereo) for a figure the relay needs only per
// 100 ms slot; here the energy is summed as the samples pass, so the filter's state is all that
// is kept. The tests hold its readings against libebur128's.
#pragma once

#include <array>
#include <cstddef>

class LoudnessFilter {
  public:
    static constexpr unsigned kMaxChannels = 8;

    // Coefficients for this rate, state cleared. Rates from 1000 Hz up; channels 1..kMaxChannels.
    void Prepare(unsigned channels, unsigned long rate);
    // Filters interleaved frames into the running energy; returns their sample peak (linear).
    double Add(const float* samples, std::size_t frameCount);
    // The weighted mean square of the frames added since the last call (channels summed with
    // BS.1770's weights: 1 for the first three, none for the fourth (LFE), 1.41 for the fifth and
    // sixth), and a new sum begins.
    double TakeMeanSquare();

  private:
    struct Biquad {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    };
    struct ChannelState {
        double shelf1 = 0, shelf2 = 0, pass1 = 0, pass2 = 0;  // transposed direct form II
    };

    double FilterOne(ChannelState& state, double sample) const;
    void FlushTinyStates();

    Biquad shelf_;
    Biquad pass_;
    unsigned channels_ = 0;
    std::array<ChannelState, kMaxChannels> states_{};
    std::array<double, kMaxChannels> weights_{};
    double energy_ = 0.0;
    std::size_t frames_ = 0;
};
