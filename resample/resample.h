// Polyphase sample-rate converter for interleaved 32-bit float audio.
//
// Design
//   1. Reduce the two rates to their smallest ratio out' : in'. The converter conceptually
//      upsamples by out' (zero stuffing), low-pass filters, and keeps every in'-th sample; only the
//      products that survive are ever computed.
//   2. The low-pass is one windowed sinc h[0 .. N-1], N = out' * taps, built once in res_init:
//      sinc with its cut-off at `cutoff` times the lower rate's Nyquist frequency, shaped by a
//      Kaiser window (beta 16, I0 summed as a series). When downsampling, cutoff shrinks by out'/in'
//      and taps grows by in'/out', so the filter keeps its length in input frames.
//   3. The table stores h by phase: row p holds h[p], h[p + out'], h[p + 2 out'], ... (taps values),
//      so one output frame is a plain dot product of one row with the newest `taps` input frames.
//   4. A pass walks the block: output, then advance the phase by in' and the read position by one
//      frame per wrap of out'. Each channel keeps its newest `taps` input frames in a pool, so
//      consecutive blocks join without a seam. The stream starts with taps/2 + 1 frames of silence.
//
// Trade-offs
//   - Exact rational ratio: no drift, no interpolation between coefficients, but the table costs
//     out' * taps floats (7056 for 48000 -> 44100, 45 for equal rates) and odd rate pairs can make
//     it large.
//   - Every output value is a single-precision sum in the fixed order j = 0, 1, 2, ... so results
//     are bit-reproducible across block sizes and builds; speed comes from computing several
//     independent outputs (and both stereo channels) side by side, never from reordering a sum.
//   - No normalisation of the filter: gain at DC is close to, not exactly, 1.
//   - A block too short to complete a partly filled pool is dropped (it produces nothing and the
//     next block is taken in its place). The intake feeds MP3/Vorbis-sized blocks, far longer.
//   - 45 taps with beta 16 is a cheap, gentle filter: a 1 kHz tone passes unchanged, content above
//     the new Nyquist frequency is strongly attenuated, but the transition band is wide (the
//     top few kHz of a 44.1 kHz stream are rolled off).
//
// Ownership and threads: every operation works on a caller-owned ResamplerState; the state owns
// `table` and `pool` between res_init and res_clear. No global state; one thread at a time per state.
// The engine's sample intake is the only caller (stereo, source rate -> configured output rate).
//
// Contract violations (bad arguments, pushing a torn-down state, broken internal invariants) print
// "resample: <function>: Assertion `<expression>' failed." and abort, in every build type.
#pragma once

#include <cstdint>

struct ResamplerState {
    uint32_t channels;  // interleaved channels per frame
    uint32_t infreq;    // input rate / gcd(rates)
    uint32_t outfreq;   // output rate / gcd(rates); also the number of rows of `table`
    uint32_t taps;      // coefficients per row; also the length of each channel's pool
    float* table;       // outfreq x taps filter coefficients, one row per phase
    float* pool;        // channels x taps input history; channel c owns [c * taps, c * taps + taps)
    int32_t poolfill;   // valid frames at the start of each pool; -1: must not be pushed
    int32_t phase;      // row of `table` for the next output frame, 0 <= phase < outfreq
};

struct ResamplerOption {
    int code;
    double value;
};

enum : int { RES_END = 0, RES_GAIN = 1, RES_CUTOFF = 2, RES_TAPS = 3, RES_BETA = 4 };

inline constexpr ResamplerOption kNoResamplerOptions[] = {{RES_END, 0.0}};

// Sets up a state that holds no storage. `options` is a list closed by RES_END (nullptr counts as
// empty); later entries override earlier ones. Defaults: gain 1.0, cutoff 0.80 (fraction of the
// lower rate's Nyquist frequency, 0.01 < cutoff <= 1), taps 45 (2 < taps < 1000), beta 16 (> 2).
// Returns 0, or -1 when the table or pool cannot be allocated (the state then holds nothing).
int res_init(ResamplerState* state, int channels, int outfreq, int infreq,
             const ResamplerOption* options);

// Largest input frame count whose pass never writes more than `maxoutput` frames.
uint64_t res_input_limit(const ResamplerState* state, uint64_t maxoutput);

// Filters `srclen` interleaved frames. `dest` needs room for res_input_limit's promise (maxoutput
// frames when srclen = res_input_limit(maxoutput)). Returns the frames written, 0 for none, and -1
// (marking the state unusable) when the state has no channels.
int res_push_interleaved(ResamplerState* state, float* dest, const float* source,
                         uint64_t srclen);

// The same with one array per channel for source and destination.
int res_push_planar(ResamplerState* state, float* const* dest, const float* const* source,
                    uint64_t srclen);

// Flushes the filter with taps/2 - 1 frames of silence and marks the state as finished (no more
// pushes; res_clear still required). `dest` needs room for
// res_drain_length(state) frames. Returns the frames written or -1 as for a push.
int res_drain_interleaved(ResamplerState* state, float* dest);
int res_drain_planar(ResamplerState* state, float* const* dest);
uint64_t res_drain_length(const ResamplerState* state);

// Releases the storage and zeroes every field. The state must hold storage.
void res_clear(ResamplerState* state);
