// The filter is designed from BS.1770's analogue prototypes for any rate (at 48 kHz it gives the
// coefficients the recommendation lists), the way libebur128 designs it.
#include "engine/loudness_filter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// The prototypes' corner frequencies, gain and quality factors.
constexpr double kShelfHz = 1681.974450955533;
constexpr double kShelfGainDb = 3.999843853973347;
constexpr double kShelfQ = 0.7071752369554196;
constexpr double kShelfBandExponent = 0.4996667741545416;
constexpr double kPassHz = 38.13547087602444;
constexpr double kPassQ = 0.5003270373238773;
constexpr double kSurroundWeight = 1.41;
// Once the audio stops, the filter's state decays towards zero through subnormal numbers, which
// cost the processor dearly; below this it is zero for any purpose.
constexpr double kTinyState = 1e-30;

double ChannelWeight(unsigned channel) {
    switch (channel) {
        case 0:
        case 1:
        case 2: return 1.0;
        case 4:
        case 5: return kSurroundWeight;
        default: return 0.0;  // the LFE, and channels BS.1770 gives no place
    }
}

}  // namespace

void LoudnessFilter::Prepare(unsigned channels, unsigned long rate) {
    channels_ = std::min(channels, kMaxChannels);
    const double shelfK = std::tan(std::numbers::pi * kShelfHz / static_cast<double>(rate));
    const double highGain = std::pow(10.0, kShelfGainDb / 20.0);
    const double bandGain = std::pow(highGain, kShelfBandExponent);
    const double shelfNorm = 1.0 + shelfK / kShelfQ + shelfK * shelfK;
    shelf_.b0 = (highGain + bandGain * shelfK / kShelfQ + shelfK * shelfK) / shelfNorm;
    shelf_.b1 = 2.0 * (shelfK * shelfK - highGain) / shelfNorm;
    shelf_.b2 = (highGain - bandGain * shelfK / kShelfQ + shelfK * shelfK) / shelfNorm;
    shelf_.a1 = 2.0 * (shelfK * shelfK - 1.0) / shelfNorm;
    shelf_.a2 = (1.0 - shelfK / kShelfQ + shelfK * shelfK) / shelfNorm;

    const double passK = std::tan(std::numbers::pi * kPassHz / static_cast<double>(rate));
    const double passNorm = 1.0 + passK / kPassQ + passK * passK;
    pass_.b0 = 1.0;
    pass_.b1 = -2.0;
    pass_.b2 = 1.0;
    pass_.a1 = 2.0 * (passK * passK - 1.0) / passNorm;
    pass_.a2 = (1.0 - passK / kPassQ + passK * passK) / passNorm;

    states_.fill(ChannelState{});
    for (unsigned channel = 0; channel < kMaxChannels; ++channel) {
        weights_[channel] = ChannelWeight(channel);
    }
    energy_ = 0.0;
    frames_ = 0;
}

double LoudnessFilter::FilterOne(ChannelState& state, double sample) const {
    const double shelved = shelf_.b0 * sample + state.shelf1;
    state.shelf1 = shelf_.b1 * sample - shelf_.a1 * shelved + state.shelf2;
    state.shelf2 = shelf_.b2 * sample - shelf_.a2 * shelved;
    const double passed = pass_.b0 * shelved + state.pass1;
    state.pass1 = pass_.b1 * shelved - pass_.a1 * passed + state.pass2;
    state.pass2 = pass_.b2 * shelved - pass_.a2 * passed;
    return passed;
}

double LoudnessFilter::Add(const float* samples, std::size_t frameCount) {
    float peak = 0.0f;
    for (unsigned channel = 0; channel < channels_; ++channel) {
        ChannelState& state = states_[channel];
        const double weight = weights_[channel];
        double channelEnergy = 0.0;
        const float* sample = samples + channel;
        for (std::size_t frame = 0; frame < frameCount; ++frame, sample += channels_) {
            peak = std::max(peak, std::fabs(*sample));
            const double filtered = FilterOne(state, *sample);
            channelEnergy += filtered * filtered;
        }
        energy_ += weight * channelEnergy;
    }
    frames_ += frameCount;
    FlushTinyStates();
    return peak;
}

double LoudnessFilter::TakeMeanSquare() {
    const double meanSquare = frames_ > 0 ? energy_ / static_cast<double>(frames_) : 0.0;
    energy_ = 0.0;
    frames_ = 0;
    return meanSquare;
}

void LoudnessFilter::FlushTinyStates() {
    for (ChannelState& state : states_) {
        for (double* value : {&state.shelf1, &state.shelf2, &state.pass1, &state.pass2}) {
            if (std::fabs(*value) < kTinyState) *value = 0.0;
        }
    }
}
