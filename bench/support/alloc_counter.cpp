#include "bench/support/alloc_counter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

// glibc lets a program replace malloc and reach the real allocator through
// these names; operator new in libstdc++ calls malloc (its aligned form
// aligned_alloc), so it is counted too.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

std::atomic<unsigned long> allocations{0};

// Peak following: the bytes held now and the most held, relative to the
// start. Relaxed: the measured operations run on one thread, and a thread
// that starts or stops following orders itself by its own calls.
std::atomic<bool> tracking{false};
std::atomic<long long> held{0};
std::atomic<long long> peak{0};

void gained(void* block) {
  if (!block || !tracking.load(std::memory_order_relaxed)) return;
  long long now = held.fetch_add(static_cast<long long>(malloc_usable_size(block)), std::memory_order_relaxed) +
                  static_cast<long long>(malloc_usable_size(block));
  long long top = peak.load(std::memory_order_relaxed);
  while (now > top && !peak.compare_exchange_weak(top, now, std::memory_order_relaxed)) {
  }
}

void lost(void* block) {
  if (block && tracking.load(std::memory_order_relaxed))
    held.fetch_sub(static_cast<long long>(malloc_usable_size(block)), std::memory_order_relaxed);
}

void* counted(void* block) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  gained(block);
  return block;
}

}  // namespace

extern "C" void* malloc(std::size_t size) { return counted(__libc_malloc(size)); }

extern "C" void* calloc(std::size_t count, std::size_t size) { return counted(__libc_calloc(count, size)); }

extern "C" void* realloc(void* block, std::size_t size) {
  if (!tracking.load(std::memory_order_relaxed)) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
  }
  const long long before = block ? static_cast<long long>(malloc_usable_size(block)) : 0;
  void* moved = __libc_realloc(block, size);
  if (moved) {
    held.fetch_sub(before, std::memory_order_relaxed);
    counted(moved);
  } else if (size == 0) {
    held.fetch_sub(before, std::memory_order_relaxed);  // freed
  }
  return moved;
}

extern "C" void* memalign(std::size_t alignment, std::size_t size) {
  return counted(__libc_memalign(alignment, size));
}

extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return counted(__libc_memalign(alignment, size));
}

extern "C" int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* block = __libc_memalign(alignment, size);
  if (!block) return ENOMEM;
  *out = counted(block);
  return 0;
}

extern "C" void free(void* block) {
  lost(block);
  __libc_free(block);
}

unsigned long ornutil_bench::allocationCount() { return allocations.load(std::memory_order_relaxed); }

void ornutil_bench::startPeakTracking() {
  held.store(0, std::memory_order_relaxed);
  peak.store(0, std::memory_order_relaxed);
  tracking.store(true, std::memory_order_relaxed);
}

std::size_t ornutil_bench::stopPeakTracking() {
  tracking.store(false, std::memory_order_relaxed);
  long long top = peak.load(std::memory_order_relaxed);
  return top > 0 ? static_cast<std::size_t>(top) : 0;
}
