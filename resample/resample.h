// Polyphase sample-rate converter for interleaved 32-bit float audio (module "resample").
//
// How it works
//   1. Reduce the two rates to their smallest ratio out' : in' (48000 -> 44100 is 147 : 160). In
//      effect the input is upsampled by out' with zeros in between, low-pass filtered, and every
//      in'-th sample kept; only the products that survive are ever computed.
//   2. The low-pass is one Kaiser-windowed sinc h[0 .. N-1], N = out' * taps, computed once in
//      res_init (double precision, stored as floats). Its cut-off is `cutoff` times the Nyquist
//      frequency of the lower rate: when downsampling, cutoff shrinks by out'/in' and taps grows
//      by in'/out', so the filter keeps its length measured in input frames.
//   3. The table stores h by phase: row p holds h[p], h[p + out'], h[p + 2 out'], ..., so one
//      output frame is the dot product of one row with the newest `taps` input frames.
//   4. A pass walks the block: compute an output, advance the phase by in', and move one input
//      frame further for every wrap past out'. Each channel keeps its newest `taps` input frames
//      in a pool, so consecutive blocks join without a seam. The stream starts after taps/2 + 1
//      frames of silence, which delays the output by about half a filter length.
//
// Measured with the defaults (45 taps, cutoff 0.80, beta 16): flat within 0.3 dB up to 0.7 of the
// lower rate's Nyquist frequency, -6 dB at 0.8, -90 dB or lower at the Nyquist frequency itself
// and at the float noise floor (about -140 dB) above it. Stereo 48000 -> 44100 runs at about 2000
// seconds of audio per CPU second on a current x86-64 core (bench/resample_bench).
//
// Trade-offs
//   - Exact rational ratio: no drift and no interpolation between coefficients, but the table
//     costs out' * taps floats (7056 for 48000 -> 44100, 45 for equal rates); unusual rate pairs
//     make it large.
//   - Every output is a single-precision sum in the fixed order j = 0, 1, 2, ..., so results are
//     reproducible bit for bit whatever the block sizes. Speed comes from computing several
//     outputs and both stereo channels side by side (filter_pass.cpp), never from reordering a
//     sum; that rules out the usual horizontal SIMD dot product.
//   - The short, gentle filter gives up the top fifth of the band below the new Nyquist frequency
//     in exchange for low cost and short ringing. There is no normalisation: the gain at DC is
//     close to, not exactly, 1.
//   - A block too short to complete a partly filled pool is dropped (it produces nothing and the
//     next block takes its place). The engine feeds decoder-sized blocks, far longer than a pool.
//
// Ownership and threads: every operation works on a caller-owned ResamplerState; the state owns
// `table` and `pool` from res_init to res_clear. No global state; one thread at a time per state.
// The engine's sample intake is the only caller (stereo, source rate -> configured output rate).
//
// Contract violations (bad arguments, a push on a finished state, a broken internal invariant)
// print "resample: <function>: Assertion `<expression>' failed." and abort, in every build type.
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

// The largest filter table res_init builds. Every pair of common rates needs far less (48000 ->
// 44100: 28 KiB; 44056 -> 44100: 1.9 MiB); only rates no real stream has come near it.
inline constexpr uint64_t kMaxFilterTableBytes = 4 * 1024 * 1024;

// Sets up a state that holds no storage; channels and both rates must be positive (note: output
// rate first). `options` is a list closed by RES_END (nullptr counts as empty); later entries
// override earlier ones. Defaults: gain 1.0, cutoff 0.80 (fraction of the lower rate's Nyquist
// frequency, 0.01 < cutoff <= 1), taps 45 (2 < taps < 1000), beta 16 (> 2). Returns 0, or -1 when
// the table would pass kMaxFilterTableBytes or the table or pool cannot be allocated (the state
// then holds nothing and must not be used).
int res_init(ResamplerState* state, int channels, int outfreq, int infreq,
             const ResamplerOption* options);

// maxoutput x infreq / outfreq: a pass over that many input frames never writes more than
// `maxoutput` frames, whatever the phase. The intake sizes its input blocks with it.
uint64_t res_input_limit(const ResamplerState* state, uint64_t maxoutput);

// Filters `srclen` interleaved frames into `dest`, which needs room for ceil(srclen x outfreq /
// infreq) frames (maxoutput frames when srclen = res_input_limit(maxoutput)). Returns the frames
// written, 0 for none, and -1 (marking the state unusable) when the state has no channels.
int res_push_interleaved(ResamplerState* state, float* dest, const float* source, uint64_t srclen);

// The same with one array per channel for source and destination.
int res_push_planar(ResamplerState* state, float* const* dest, const float* const* source,
                    uint64_t srclen);

// Flushes the filter with taps/2 - 1 frames of silence and marks the state as finished (no more
// pushes; res_clear is still required). `dest` needs room for res_drain_length(state) frames.
// Returns the frames written, or -1 as for a push.
int res_drain_interleaved(ResamplerState* state, float* dest);
int res_drain_planar(ResamplerState* state, float* const* dest);
uint64_t res_drain_length(const ResamplerState* state);

// Releases the storage and zeroes every field. The state must hold storage.
void res_clear(ResamplerState* state);
