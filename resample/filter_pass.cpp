// The filtering pass: one block through the polyphase table for one channel or a stereo pair.
//
// Every output value is the sum over j = 0 .. taps-1 of row[j] * x_j in single precision, added in
// that order; x_0 is the newest input frame, x_1 the one before, and so on back through the block
// and into the pool. A single such sum is a chain of dependent additions, so the speed comes from
// running several of them at once: outputs are taken in batches of eight and their sums advance
// side by side, two stereo frames to a register where SSE2 is available. No sum is reordered, so
// the results are bit-identical to computing one output of one channel at a time.
#include <cstring>

#include "resample/resample_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace resample_internal {
namespace {

// The frames of one block for a group of adjacent channels: frame i, channel g of the group is at
// base[i * step + g]. A step of 0 repeats one frame (the drain's silence).
struct Block {
    const float* base;
    ptrdiff_t step;
    uint64_t frames;

    const float* frame(uint64_t index) const { return base + static_cast<ptrdiff_t>(index) * step; }
};

// Where the next output frame reads: r counts frames from the block's first unconsumed frame.
struct Cursor {
    uint64_t r;
    uint32_t phase;
};

// phase += infreq and one frame further per wrap past outfreq, split once into whole frames and a
// remainder so that a step wraps at most once.
struct Stepper {
    uint32_t whole;
    uint32_t fraction;
    uint32_t outfreq;

    explicit Stepper(const ResamplerState& state)
        : whole(state.infreq / state.outfreq),
          fraction(state.infreq % state.outfreq),
          outfreq(state.outfreq) {}

    void advance(Cursor& cursor) const {
        cursor.r += whole;
        cursor.phase += fraction;
        if (cursor.phase >= outfreq) {
            cursor.phase -= outfreq;
            ++cursor.r;
        }
    }
};

// Frames a pass over srclen frames writes, from the state as it is on entry.
uint64_t output_length(const ResamplerState& state, uint64_t srclen) {
    const uint64_t fill = static_cast<uint64_t>(state.poolfill);
    const uint64_t missing = fill < state.taps ? state.taps - fill : 0;
    return ((srclen - missing) * state.outfreq + state.infreq - 1 -
            static_cast<uint64_t>(state.phase)) /
           state.infreq;
}

constexpr int kBatch = 8;

// Consecutive output frames, each with its table row and the block index r of its newest input
// frame; output o goes to dest + o * dststep.
struct Batch {
    int count = 0;
    const float* rows[kBatch];
    uint64_t r[kBatch];
};

// Any batch, including frames whose window reaches back past the block start into the pools.
template <int kGroup>
void filter_general(const Batch& batch, uint32_t taps, const Block& block, const float* pool,
                    float* dest, ptrdiff_t dststep) {
    float acc[kBatch][kGroup] = {};
    for (uint32_t j = 0; j < taps; ++j) {
        for (int o = 0; o < batch.count; ++o) {
            const uint64_t r = batch.r[o];
            const float coefficient = batch.rows[o][j];
            for (int g = 0; g < kGroup; ++g) {
                const float x = j <= r ? block.frame(r - j)[g] : pool[g * taps + taps + r - j];
                acc[o][g] += coefficient * x;
            }
        }
    }
    for (int o = 0; o < batch.count; ++o)
        for (int g = 0; g < kGroup; ++g) dest[o * dststep + g] = acc[o][g];
}

// A full batch whose windows lie inside the block.
template <int kGroup>
void filter_inside(const Batch& batch, uint32_t taps, const Block& block, float* dest,
                   ptrdiff_t dststep) {
    const float* newest[kBatch];
    for (int o = 0; o < kBatch; ++o) newest[o] = block.frame(batch.r[o]);
    float acc[kBatch][kGroup] = {};
    for (uint32_t j = 0; j < taps; ++j) {
        const ptrdiff_t back = -static_cast<ptrdiff_t>(j) * block.step;
        for (int o = 0; o < kBatch; ++o) {
            const float coefficient = batch.rows[o][j];
            for (int g = 0; g < kGroup; ++g) acc[o][g] += coefficient * newest[o][back + g];
        }
    }
    for (int o = 0; o < kBatch; ++o)
        for (int g = 0; g < kGroup; ++g) dest[o * dststep + g] = acc[o][g];
}

#if defined(__SSE2__)
// Stereo with two output frames A, B per register: lanes (A left, A right, B left, B right), so
// one multiply and one add advance four sums. The coefficient lanes come from one shuffle of the
// two rows. The input lanes come from one unaligned load when B's newest frame directly follows
// A's in an interleaved stereo block ("adjacent" pairs), otherwise from two 64-bit loads, which
// cost an extra shuffle.
constexpr int kPairs = kBatch / 2;

// The batch's outputs listed pair by pair (A = 2p, B = 2p + 1), adjacent pairs first.
struct Pairs {
    const float* rows[kBatch];
    const float* newest[kBatch];
    int slot[kBatch];  // position in the batch, which fixes the destination
};

template <bool kAdjacent>
__m128 load_pair(const float* a, const float* b) {
    if constexpr (kAdjacent) {
        return _mm_loadu_ps(a);
    } else {
        const __m128 low = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(a));
        return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(b));
    }
}

template <int kAdjacentPairs, int kLane, int kPair = 0>
void accumulate(__m128* acc, const Pairs& pairs, const __m128* a_rows, const __m128* b_rows,
                ptrdiff_t back) {
    if constexpr (kPair < kPairs) {
        const __m128 coefficients = _mm_shuffle_ps(a_rows[kPair], b_rows[kPair], kLane * 0x55);
        const __m128 x = load_pair<(kPair < kAdjacentPairs)>(pairs.newest[2 * kPair] + back,
                                                             pairs.newest[2 * kPair + 1] + back);
        acc[kPair] = _mm_add_ps(acc[kPair], _mm_mul_ps(coefficients, x));
        accumulate<kAdjacentPairs, kLane, kPair + 1>(acc, pairs, a_rows, b_rows, back);
    }
}

template <int kAdjacentPairs>
void filter_stereo_pairs(const Pairs& pairs, uint32_t taps, ptrdiff_t step, float* dest,
                         ptrdiff_t dststep) {
    __m128 acc[kPairs];
    for (__m128& sum : acc) sum = _mm_setzero_ps();
    uint32_t j = 0;
    for (; j + 4 <= taps; j += 4) {
        __m128 a_rows[kPairs], b_rows[kPairs];
        for (int p = 0; p < kPairs; ++p) {
            a_rows[p] = _mm_loadu_ps(pairs.rows[2 * p] + j);
            b_rows[p] = _mm_loadu_ps(pairs.rows[2 * p + 1] + j);
        }
        const ptrdiff_t back = -static_cast<ptrdiff_t>(j) * step;
        accumulate<kAdjacentPairs, 0>(acc, pairs, a_rows, b_rows, back);
        accumulate<kAdjacentPairs, 1>(acc, pairs, a_rows, b_rows, back - step);
        accumulate<kAdjacentPairs, 2>(acc, pairs, a_rows, b_rows, back - 2 * step);
        accumulate<kAdjacentPairs, 3>(acc, pairs, a_rows, b_rows, back - 3 * step);
    }
    for (; j < taps; ++j) {
        __m128 a_rows[kPairs], b_rows[kPairs];
        for (int p = 0; p < kPairs; ++p) {
            a_rows[p] = _mm_set1_ps(pairs.rows[2 * p][j]);
            b_rows[p] = _mm_set1_ps(pairs.rows[2 * p + 1][j]);
        }
        const ptrdiff_t back = -static_cast<ptrdiff_t>(j) * step;
        accumulate<kAdjacentPairs, 0>(acc, pairs, a_rows, b_rows, back);
    }
    for (int p = 0; p < kPairs; ++p) {
        _mm_storel_pi(reinterpret_cast<__m64*>(dest + pairs.slot[2 * p] * dststep), acc[p]);
        _mm_storeh_pi(reinterpret_cast<__m64*>(dest + pairs.slot[2 * p + 1] * dststep), acc[p]);
    }
}

// Pairs outputs whose newest frames are one frame apart, which holds for consecutive outputs when
// downsampling slightly and for outputs two apart when doubling the rate; the rest follow in
// order. Returns the number of adjacent pairs. r never decreases within a batch.
int pair_outputs(const Batch& batch, bool interleavedStereo, int* slots) {
    bool taken[kBatch] = {};
    int listed = 0;
    for (int a = 0; a < kBatch && interleavedStereo; ++a) {
        if (taken[a]) continue;
        int b = a + 1;
        while (b < kBatch && (taken[b] || batch.r[b] == batch.r[a])) ++b;
        if (b == kBatch || batch.r[b] != batch.r[a] + 1) continue;
        taken[a] = taken[b] = true;
        slots[listed++] = a;
        slots[listed++] = b;
    }
    const int adjacentPairs = listed / 2;
    for (int o = 0; o < kBatch; ++o)
        if (!taken[o]) slots[listed++] = o;
    return adjacentPairs;
}

void filter_inside_stereo(const Batch& batch, uint32_t taps, const Block& block, float* dest,
                          ptrdiff_t dststep) {
    Pairs pairs;
    const int adjacentPairs = pair_outputs(batch, block.step == 2, pairs.slot);
    for (int i = 0; i < kBatch; ++i) {
        pairs.rows[i] = batch.rows[pairs.slot[i]];
        pairs.newest[i] = block.frame(batch.r[pairs.slot[i]]);
    }
    switch (adjacentPairs) {
        case 0:
            return filter_stereo_pairs<0>(pairs, taps, block.step, dest, dststep);
        case 1:
            return filter_stereo_pairs<1>(pairs, taps, block.step, dest, dststep);
        case 2:
            return filter_stereo_pairs<2>(pairs, taps, block.step, dest, dststep);
        case 3:
            return filter_stereo_pairs<3>(pairs, taps, block.step, dest, dststep);
        default:
            return filter_stereo_pairs<4>(pairs, taps, block.step, dest, dststep);
    }
}
#endif

template <int kGroup>
void filter_inside_batch(const Batch& batch, uint32_t taps, const Block& block, float* dest,
                         ptrdiff_t dststep) {
#if defined(__SSE2__)
    if constexpr (kGroup == 2) return filter_inside_stereo(batch, taps, block, dest, dststep);
#endif
    filter_inside<kGroup>(batch, taps, block, dest, dststep);
}

template <int kGroup>
float* filter_block(const ResamplerState& state, const Block& block, const float* pool,
                    Cursor& cursor, float* dest, ptrdiff_t dststep) {
    const Stepper stepper(state);
    const uint32_t taps = state.taps;
    while (cursor.r < block.frames) {
        Batch batch;
        for (; batch.count < kBatch && cursor.r < block.frames; ++batch.count) {
            batch.rows[batch.count] = state.table + size_t{cursor.phase} * taps;
            batch.r[batch.count] = cursor.r;
            stepper.advance(cursor);
        }
        if (batch.count == kBatch && batch.r[0] + 1 >= taps)
            filter_inside_batch<kGroup>(batch, taps, block, dest, dststep);
        else
            filter_general<kGroup>(batch, taps, block, pool, dest, dststep);
        dest += batch.count * dststep;
    }
    return dest;
}

// The next pass needs the newest taps - over frames of the stream, oldest first; it starts by
// copying in again the over frames that the phase stepping has already passed.
void rebuild_pool(float* pool, uint32_t taps, const Block& block, int channel, uint64_t over) {
    const float* const poolend = pool + taps;
    float* newpool = pool;
    const uint64_t rest = block.frames;
    uint64_t first = 0;
    if (rest + over < taps) {
        const size_t keep = taps - rest - over;
        std::memmove(pool, pool + rest + over, keep * sizeof(float));
        newpool += keep;
    } else {
        first = rest + over - taps;
    }
    for (uint64_t i = first; i < rest; ++i) *newpool++ = block.frame(i)[channel];
    RES_CHECK_AS(push, newpool > pool);
    RES_CHECK_AS(push, newpool <= poolend);
}

}  // namespace

template <int kGroup>
int push(const ResamplerState* state, float* pool, int32_t* poolfill, int32_t* phase, float* dest,
         ptrdiff_t dststep, const float* source, ptrdiff_t srcstep, uint64_t srclen) {
    RES_CHECK(pool);
    RES_CHECK(dest);
    RES_CHECK(source);
    RES_CHECK(state->poolfill != -1);
    const uint32_t taps = state->taps;
    const uint64_t lencheck = output_length(*state, srclen);
    uint32_t fill = static_cast<uint32_t>(*poolfill);
    for (; fill < taps && srclen > 0; ++fill, source += srcstep, --srclen)
        for (int g = 0; g < kGroup; ++g) pool[g * taps + fill] = source[g];
    // Too short to complete the pool: the copied frames will be overwritten by the next block.
    if (srclen == 0) return 0;

    const Block block{source, srcstep, srclen};
    Cursor cursor{0, static_cast<uint32_t>(*phase)};
    float* const destbase = dest;
    dest = filter_block<kGroup>(*state, block, pool, cursor, dest, dststep);
    RES_CHECK(dest == destbase + lencheck * dststep);

    const uint64_t over = cursor.r - block.frames;
    for (int g = 0; g < kGroup; ++g) rebuild_pool(pool + g * taps, taps, block, g, over);
    *poolfill = static_cast<int32_t>(taps - over);
    *phase = static_cast<int32_t>(cursor.phase);
    return static_cast<int>(lencheck);
}

template int push<1>(const ResamplerState*, float*, int32_t*, int32_t*, float*, ptrdiff_t,
                     const float*, ptrdiff_t, uint64_t);
template int push<2>(const ResamplerState*, float*, int32_t*, int32_t*, float*, ptrdiff_t,
                     const float*, ptrdiff_t, uint64_t);

}  // namespace resample_internal
