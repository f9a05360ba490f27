// Counts heap allocations (malloc, calloc, realloc, the aligned allocators,
// and operator new through them) made by this benchmark process, so a
// benchmark can report how many a measured operation makes, and, while asked
// to, the peak of the bytes held, so it can report an operation's peak memory.
#ifndef ORNUTIL_BENCH_SUPPORT_ALLOC_COUNTER_H
#define ORNUTIL_BENCH_SUPPORT_ALLOC_COUNTER_H

#include <cstddef>

namespace ornutil_bench {

// Allocations made so far by all threads.
unsigned long allocationCount();

// Starts following the bytes held on the heap (usable sizes of the blocks,
// as malloc_usable_size reports them), from zero. Off by default: following
// costs a look-up per free, which the timed benchmarks must not pay.
void startPeakTracking();
// Stops following and returns the highest rise of the bytes held since
// startPeakTracking (blocks freed meanwhile that were allocated before it
// count as negative, so a measured operation should not free what it did
// not allocate; 0 when the bytes held never rose).
std::size_t stopPeakTracking();

}  // namespace ornutil_bench

#endif
