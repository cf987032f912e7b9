// Shared by the resampler's source files only: the contract checks, the filter design and the pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "resample/resample.h"

namespace resample_internal {

// Prints "resample: <function>: Assertion `<expression>' failed." and aborts.
[[noreturn, gnu::cold]] void check_failed(const char* expression, const char* function);

// filt_sinc writes the sinc h[0 .. N-1], N = step x width, into `table` in phase order (row
// k mod step, column k div step); win_kaiser then applies the Kaiser window in place.
void filt_sinc(float* table, size_t N, uint32_t step, uint32_t width, double cutoff, double gain);
void win_kaiser(float* table, size_t N, uint32_t width, double beta);

// One pass for kGroup (1 or 2) adjacent interleaved channels whose pools follow each other.
// poolfill and phase are the caller's copies, updated in place. Returns the frames written.
template <int kGroup>
int push(const ResamplerState* state, float* pool, int32_t* poolfill, int32_t* phase, float* dest,
         ptrdiff_t dststep, const float* source, ptrdiff_t srcstep, uint64_t srclen);

extern template int push<1>(const ResamplerState*, float*, int32_t*, int32_t*, float*, ptrdiff_t,
                            const float*, ptrdiff_t, uint64_t);
extern template int push<2>(const ResamplerState*, float*, int32_t*, int32_t*, float*, ptrdiff_t,
                            const float*, ptrdiff_t, uint64_t);

}  // namespace resample_internal

// Active in every build type: a broken contract must never pass unnoticed.
#define RES_CHECK(expr) \
    ((expr) ? static_cast<void>(0) : resample_internal::check_failed(#expr, __func__))
// For helpers that check on behalf of an operation and report under that operation's name.
#define RES_CHECK_AS(function, expr) \
    ((expr) ? static_cast<void>(0) : resample_internal::check_failed(#expr, #function))
