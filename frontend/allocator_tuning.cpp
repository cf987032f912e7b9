#include "frontend/allocator_tuning.h"

#include <malloc.h>

namespace {

constexpr int kArenas = 1;
constexpr int kKeptAtTopBytes = 32 * 1024;
constexpr int kTopPaddingBytes = 0;

}  // namespace

void TuneAllocatorForLongRuns() {
    // A refused setting leaves glibc's default, which works, only larger.
    mallopt(M_ARENA_MAX, kArenas);
    mallopt(M_TRIM_THRESHOLD, kKeptAtTopBytes);
    mallopt(M_TOP_PAD, kTopPaddingBytes);
}
