// How the C library's allocator is set up for a process that relays one station for months.
#pragma once

// To be called first in main, before any other thread exists. glibc's defaults suit short
// programs with many threads: each thread that allocates gets an arena of its own, and each arena
// keeps up to 128 KiB of freed memory at its top for later. A relay has three threads that, once
// running, allocate almost nothing (the buffers are recycled), so the arenas' idle reserves were
// a tenth of a station's private memory. One arena, and freed memory given back to the system
// beyond 32 KiB, cost nothing measurable and keep a station small.
void TuneAllocatorForLongRuns();
