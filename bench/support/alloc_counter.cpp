#include "bench/support/alloc_counter.h"

#include <atomic>
#include <cstddef>

// glibc lets a program replace malloc and reach the real allocator through
// these names; operator new in libstdc++ calls malloc, so it is counted too.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace {
std::atomic<unsigned long> allocations{0};
}

extern "C" void* malloc(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}

extern "C" void free(void* block) { __libc_free(block); }

unsigned long ornutil_bench::allocationCount() {
  return allocations.load(std::memory_order_relaxed);
}
