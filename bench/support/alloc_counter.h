// Counts heap allocations (malloc, calloc, realloc, and operator new through
// them) made by this benchmark process, so a benchmark can report how many
// a measured operation makes.
#ifndef ORNUTIL_BENCH_SUPPORT_ALLOC_COUNTER_H
#define ORNUTIL_BENCH_SUPPORT_ALLOC_COUNTER_H

namespace ornutil_bench {

// Allocations made so far by all threads.
unsigned long allocationCount();

}  // namespace ornutil_bench

#endif
