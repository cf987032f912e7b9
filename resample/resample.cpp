// Polyphase resampler: set-up, the public pushes and drains, teardown. The filter design is in
// filter_table.cpp, the filtering pass in filter_pass.cpp; resample.h describes the design.
#include "resample/resample.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "resample/resample_internal.h"

void resample_internal::check_failed(const char* expression, const char* function) {
    std::fprintf(stderr, "resample: %s: Assertion `%s' failed.\n", function, expression);
    std::fflush(stderr);
    std::abort();
}

using resample_internal::check_failed;
using resample_internal::filt_sinc;
using resample_internal::push;
using resample_internal::win_kaiser;

namespace {

struct FilterParams {
    double gain = 1.0;
    double cutoff = 0.80;
    int32_t taps = 45;
    double beta = 16.0;
};

int32_t option_as_taps(double value) {
    // Out-of-range values become 0 so that the range check below reports them.
    if (!(value >= std::numeric_limits<int32_t>::min() &&
          value <= std::numeric_limits<int32_t>::max()))
        return 0;
    return static_cast<int32_t>(value);
}

void apply_options(FilterParams& params, const ResamplerOption* options) {
    for (const ResamplerOption* option = options; option && option->code != RES_END; ++option) {
        switch (option->code) {
            case RES_GAIN:
                params.gain = option->value;
                break;
            case RES_CUTOFF: {
                const double cutoff = params.cutoff = option->value;
                RES_CHECK_AS(res_init, cutoff > 0.01 && cutoff <= 1.0);
                break;
            }
            case RES_TAPS: {
                const int32_t taps = params.taps = option_as_taps(option->value);
                RES_CHECK_AS(res_init, taps > 2 && taps < 1000);
                break;
            }
            case RES_BETA: {
                const double beta = params.beta = option->value;
                RES_CHECK_AS(res_init, beta > 2.0);
                break;
            }
            default:
                check_failed("\"arglist\" == \"valid\"", "res_init");
        }
    }
}

uint32_t greatest_common_divisor(uint32_t a, uint32_t b) {
    while (b != 0) {
        const uint32_t rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}

// Every output must be able to reach at least one new input frame per step.
void check_taps_cover_ratio(uint64_t taps, uint64_t infreq, uint64_t outfreq) {
    RES_CHECK_AS(res_init, taps >= (infreq + outfreq - 1) / outfreq);
}

// A push on a state without channels leaves it unusable for further pushes.
int mark_unusable(ResamplerState* state) {
    state->poolfill = -1;
    state->phase = -1;
    return -1;
}

float* channel_pool(const ResamplerState* state, uint32_t channel) {
    return state->pool + size_t{channel} * state->taps;
}

// Runs pass(c, group, &poolfill, &phase) for each group of channels c .. c + group - 1 (pairs when
// `inPairs`, an odd last channel alone), each time on fresh copies of the state's poolfill and
// phase. All groups see the same phase arithmetic, so the last group's copies and frame count
// stand for every channel.
template <typename Pass>
int push_channels(ResamplerState* state, bool inPairs, Pass pass) {
    int32_t poolfill = 0, phase = 0;
    int written = 0;
    for (uint32_t c = 0; c < state->channels;) {
        const uint32_t group = inPairs && state->channels - c >= 2 ? 2 : 1;
        poolfill = state->poolfill;
        phase = state->phase;
        written = pass(c, group, &poolfill, &phase);
        c += group;
    }
    state->poolfill = poolfill;
    state->phase = phase;
    return written;
}

// Drains push taps/2 - 1 frames of silence (one zero read with stride 0) through every channel.
const float kSilence = 0.0f;

uint64_t drain_frames(const ResamplerState* state) {
    return state->taps / 2 - 1;
}

}  // namespace

int res_init(ResamplerState* state, int channels, int outfreq, int infreq,
             const ResamplerOption* options) {
    RES_CHECK(state);
    RES_CHECK(channels > 0);
    RES_CHECK(outfreq > 0);
    RES_CHECK(infreq > 0);
    FilterParams params;
    apply_options(params, options);

    const uint32_t divisor = greatest_common_divisor(outfreq, infreq);
    const uint32_t out = static_cast<uint32_t>(outfreq) / divisor;
    const uint32_t in = static_cast<uint32_t>(infreq) / divisor;
    double cutoff = params.cutoff;
    uint64_t taps = static_cast<uint64_t>(params.taps);
    if (out < in) {  // downsampling: same length in input frames, cut-off below the new Nyquist
        cutoff = cutoff * out / in;
        taps = taps * in / out;
    }
    check_taps_cover_ratio(taps, in, out);
    // poolfill and the column count are 32-bit; a longer filter cannot be described.
    if (taps > uint64_t{INT32_MAX}) return -1;
    // Unusual rate pairs need huge tables (11930467 -> 44100 Hz: 2.1 GB, minutes to compute).
    if (uint64_t{out} * taps > kMaxFilterTableBytes / sizeof(float)) return -1;

    const size_t n = size_t{out} * static_cast<size_t>(taps);
    float* table = static_cast<float*>(std::calloc(n, sizeof(float)));
    if (!table) return -1;
    float* pool = static_cast<float*>(std::calloc(size_t(channels) * taps, sizeof(float)));
    if (!pool) {
        std::free(table);
        return -1;
    }
    state->channels = static_cast<uint32_t>(channels);
    state->infreq = in;
    state->outfreq = out;
    state->taps = static_cast<uint32_t>(taps);
    state->table = table;
    state->pool = pool;
    state->poolfill = static_cast<int32_t>(taps / 2 + 1);  // the stream starts after silence
    state->phase = 0;
    filt_sinc(table, n, out, state->taps, cutoff, params.gain);
    win_kaiser(table, n, state->taps, params.beta);
    return 0;
}

uint64_t res_input_limit(const ResamplerState* state, uint64_t maxoutput) {
    RES_CHECK(state);
    return maxoutput * state->infreq / state->outfreq;
}

void res_clear(ResamplerState* state) {
    RES_CHECK(state);
    RES_CHECK(state->table);
    RES_CHECK(state->pool);
    std::free(state->table);
    std::free(state->pool);
    *state = ResamplerState{};
}

int res_push_interleaved(ResamplerState* state, float* dest, const float* source, uint64_t srclen) {
    RES_CHECK(state);
    RES_CHECK(dest);
    RES_CHECK(source);
    RES_CHECK(state->poolfill >= 0);
    if (state->channels == 0) return mark_unusable(state);
    const ptrdiff_t step = state->channels;
    return push_channels(state, true,
                         [&](uint32_t c, uint32_t group, int32_t* poolfill, int32_t* phase) {
                             float* const pool = channel_pool(state, c);
                             return group == 2 ? push<2>(state, pool, poolfill, phase, dest + c,
                                                         step, source + c, step, srclen)
                                               : push<1>(state, pool, poolfill, phase, dest + c,
                                                         step, source + c, step, srclen);
                         });
}

int res_push_planar(ResamplerState* state, float* const* dest, const float* const* source,
                    uint64_t srclen) {
    RES_CHECK(state);
    RES_CHECK(dest);
    RES_CHECK(source);
    RES_CHECK(state->poolfill >= 0);
    if (state->channels == 0) return mark_unusable(state);
    return push_channels(state, false,
                         [&](uint32_t c, uint32_t, int32_t* poolfill, int32_t* phase) {
                             return push<1>(state, channel_pool(state, c), poolfill, phase, dest[c],
                                            1, source[c], 1, srclen);
                         });
}

uint64_t res_drain_length(const ResamplerState* state) {
    RES_CHECK(state);
    return (drain_frames(state) * state->outfreq + state->infreq - 1) / state->infreq;
}

int res_drain_interleaved(ResamplerState* state, float* dest) {
    RES_CHECK(state);
    RES_CHECK(dest);
    RES_CHECK(state->poolfill >= 0);
    if (state->channels == 0) return mark_unusable(state);
    const ptrdiff_t step = state->channels;
    const int written =
        push_channels(state, false, [&](uint32_t c, uint32_t, int32_t* poolfill, int32_t* phase) {
            return push<1>(state, channel_pool(state, c), poolfill, phase, dest + c, step,
                           &kSilence, 0, drain_frames(state));
        });
    state->poolfill = -1;
    return written;
}

int res_drain_planar(ResamplerState* state, float* const* dest) {
    RES_CHECK(state);
    RES_CHECK(dest);
    RES_CHECK(state->poolfill >= 0);
    if (state->channels == 0) return mark_unusable(state);
    const int written =
        push_channels(state, false, [&](uint32_t c, uint32_t, int32_t* poolfill, int32_t* phase) {
            return push<1>(state, channel_pool(state, c), poolfill, phase, dest[c], 1, &kSilence, 0,
                           drain_frames(state));
        });
    state->poolfill = -1;
    return written;
}
