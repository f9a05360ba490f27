// Replaces malloc, calloc, realloc and free in the test executable that
// includes this header (exactly one source of it may): forwarders to glibc's
// __libc_* functions, through which glibc's own strdup and libstdc++'s
// operator new also go. Arming `failAt` makes the Nth allocation call after
// it fail; `liveBlocks` counts blocks not yet freed. A sanitizer's allocator
// cannot be replaced this way: under the sanitizers ORNUTIL_ALLOC_HOOK is 0,
// nothing is replaced, and tests using the hook skip.
#ifndef ORNUTIL_TESTS_SUPPORT_ALLOC_HOOK_H
#define ORNUTIL_TESTS_SUPPORT_ALLOC_HOOK_H

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORNUTIL_ALLOC_HOOK 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORNUTIL_ALLOC_HOOK 0
#endif
#endif
#ifndef ORNUTIL_ALLOC_HOOK
#define ORNUTIL_ALLOC_HOOK 1
#endif

namespace ornutil_test {
namespace alloc_hook {
// Single-threaded tests: plain counters (declared in every build so tests
// compile; they only move when the hook is built).
long failAt = 0;      // 0: disarmed; otherwise the call number that fails
long calls = 0;       // allocation calls since arming
long liveBlocks = 0;  // blocks allocated and not yet freed

inline bool shouldFail() { return failAt && ++calls == failAt; }
}  // namespace alloc_hook
}  // namespace ornutil_test

#if ORNUTIL_ALLOC_HOOK
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

extern "C" void* malloc(std::size_t size) {
  if (ornutil_test::alloc_hook::shouldFail()) return nullptr;
  void* p = __libc_malloc(size);
  if (p) ++ornutil_test::alloc_hook::liveBlocks;
  return p;
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
  if (ornutil_test::alloc_hook::shouldFail()) return nullptr;
  void* p = __libc_calloc(count, size);
  if (p) ++ornutil_test::alloc_hook::liveBlocks;
  return p;
}

extern "C" void* realloc(void* block, std::size_t size) {
  if (ornutil_test::alloc_hook::shouldFail()) return nullptr;
  void* p = __libc_realloc(block, size);
  if (!block && p) ++ornutil_test::alloc_hook::liveBlocks;
  if (block && !size) --ornutil_test::alloc_hook::liveBlocks;  // glibc frees the block
  return p;
}

extern "C" void free(void* block) {
  if (block) --ornutil_test::alloc_hook::liveBlocks;
  __libc_free(block);
}
#endif

#endif
