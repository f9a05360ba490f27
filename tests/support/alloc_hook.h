// The test suite's one allocation hook. Include it in exactly one source of a
// test executable: it defines that executable's malloc, calloc, realloc,
// free and every variant of the global operator new and delete, so that
// every allocation of the code under test passes through one countdown.
// Arming `failAt` makes the Nth allocation call after it fail (null from the
// malloc family, std::bad_alloc from a throwing operator new); `calls`
// counts the calls since arming; `liveBlocks` counts blocks not yet freed.
//
// Why definitions in the executable work: symbols of the executable come
// first in the dynamic lookup order, so the library (linked statically into
// the tests), libstdc++ and glibc's own helpers that allocate (strdup,
// getline, realpath, open_memstream...) all call these functions.
//
// Plain build: the definitions forward to glibc's __libc_* entry points.
//
// AddressSanitizer build (GCC's libasan.so): the definitions forward to the
// sanitizer's own malloc interceptors, so every block still comes from its
// allocator and is checked as usual. The sanitizer replaces operator new
// and strdup/strndup with versions that bypass malloc; the definitions here
// take precedence over those, route them through the same countdown and
// release them with free, which keeps new/delete pairs consistent for the
// sanitizer. Some sanitizer interceptors still allocate on their own (for
// instance realpath), so the live count cannot be kept here: it is kept by
// the sanitizer's allocator hooks (__sanitizer_install_malloc_and_free_hooks),
// which see every block of its allocator. Those hooks can only count, never
// fail, which is why failing goes through the definitions below.
//
// ThreadSanitizer: its allocator cannot be wrapped this way;
// ORNUTIL_ALLOC_HOOK is 0 there, nothing is replaced, and tests using the
// hook skip (none of them is a concurrency test, so none is built there).
#ifndef ORNUTIL_TESTS_SUPPORT_ALLOC_HOOK_H
#define ORNUTIL_TESTS_SUPPORT_ALLOC_HOOK_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define ORNUTIL_ALLOC_HOOK 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORNUTIL_ALLOC_HOOK 0
#endif
#endif
#ifndef ORNUTIL_ALLOC_HOOK
#define ORNUTIL_ALLOC_HOOK 1
#endif

#if defined(__SANITIZE_ADDRESS__)
#define ORNUTIL_ALLOC_HOOK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORNUTIL_ALLOC_HOOK_ASAN 1
#endif
#endif
#ifndef ORNUTIL_ALLOC_HOOK_ASAN
#define ORNUTIL_ALLOC_HOOK_ASAN 0
#endif

namespace ornutil_test {
namespace alloc_hook {
// Single-threaded tests: plain counters (declared in every build so tests
// compile; they only move when the hook is built).
long failAt = 0;      // 0: disarmed; otherwise the call number that fails
long calls = 0;       // allocation calls since arming
long liveBlocks = 0;  // blocks allocated and not yet freed

inline bool shouldFail() { return failAt && ++calls == failAt; }

// Arms the countdown: the `n`th allocation from now fails.
inline void arm(long n) {
  calls = 0;
  failAt = n;
}
// Disarms it; true when the failing allocation was reached.
inline bool disarm() {
  bool reached = failAt && calls >= failAt;
  failAt = 0;
  return reached;
}
}  // namespace alloc_hook
}  // namespace ornutil_test

#if ORNUTIL_ALLOC_HOOK
#if ORNUTIL_ALLOC_HOOK_ASAN
extern "C" {
void* __interceptor_malloc(std::size_t);
void* __interceptor_calloc(std::size_t, std::size_t);
void* __interceptor_realloc(void*, std::size_t);
void __interceptor_free(void*);
void __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                               void (*)(const volatile void*));
}
namespace ornutil_test {
namespace alloc_hook {
inline void* realMalloc(std::size_t n) { return __interceptor_malloc(n); }
inline void* realCalloc(std::size_t c, std::size_t n) { return __interceptor_calloc(c, n); }
inline void* realRealloc(void* p, std::size_t n) { return __interceptor_realloc(p, n); }
inline void realFree(void* p) { __interceptor_free(p); }
// The live count comes from the sanitizer's allocator (see above).
inline void counted(void*) {}
inline void uncounted(void*) {}
inline void reallocCounted(void*, void*, std::size_t) {}
inline void onAsanMalloc(const volatile void*, std::size_t) { ++liveBlocks; }
inline void onAsanFree(const volatile void*) { --liveBlocks; }
// glibc itself leaks a block when an allocation fails inside dlopen (which
// the C library runs for its own modules); that leak is not the library's.
// Exported (test executables are built with hidden visibility): the sanitizer
// runtime, a shared library, looks it up dynamically.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() { return "leak:_dl_map_object_deps\n"; }
struct AsanHooks {
  AsanHooks() { __sanitizer_install_malloc_and_free_hooks(onAsanMalloc, onAsanFree); }
};
AsanHooks installAsanHooks;
}  // namespace alloc_hook
}  // namespace ornutil_test
#else
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}
namespace ornutil_test {
namespace alloc_hook {
inline void* realMalloc(std::size_t n) { return __libc_malloc(n); }
inline void* realCalloc(std::size_t c, std::size_t n) { return __libc_calloc(c, n); }
inline void* realRealloc(void* p, std::size_t n) { return __libc_realloc(p, n); }
inline void realFree(void* p) { __libc_free(p); }
inline void counted(void* p) {
  if (p) ++liveBlocks;
}
inline void uncounted(void* p) {
  if (p) --liveBlocks;
}
inline void reallocCounted(void* old, void* p, std::size_t size) {
  if (!old && p) ++liveBlocks;
  if (old && !size) --liveBlocks;  // glibc frees the block
}
}  // namespace alloc_hook
}  // namespace ornutil_test
#endif

extern "C" void* malloc(std::size_t size) noexcept {
  using namespace ornutil_test::alloc_hook;
  if (shouldFail()) return nullptr;
  void* p = realMalloc(size);
  counted(p);
  return p;
}

extern "C" void* calloc(std::size_t count, std::size_t size) noexcept {
  using namespace ornutil_test::alloc_hook;
  if (shouldFail()) return nullptr;
  void* p = realCalloc(count, size);
  counted(p);
  return p;
}

extern "C" void* realloc(void* block, std::size_t size) noexcept {
  using namespace ornutil_test::alloc_hook;
  if (shouldFail()) return nullptr;
  void* p = realRealloc(block, size);
  reallocCounted(block, p, size);
  return p;
}

extern "C" void free(void* block) noexcept {
  using namespace ornutil_test::alloc_hook;
  uncounted(block);
  realFree(block);
}

#if ORNUTIL_ALLOC_HOOK_ASAN
// The sanitizer's interceptors allocate these without calling malloc.
extern "C" char* strdup(const char* s) noexcept {
  std::size_t n = std::strlen(s) + 1;
  char* p = static_cast<char*>(malloc(n));
  if (p) std::memcpy(p, s, n);
  return p;
}
extern "C" char* strndup(const char* s, std::size_t max) noexcept {
  std::size_t n = strnlen(s, max);
  char* p = static_cast<char*>(malloc(n + 1));
  if (p) {
    std::memcpy(p, s, n);
    p[n] = '\0';
  }
  return p;
}
#endif

// The global operators go through malloc and free so that one countdown sees
// them; the aligned ones take their block from posix_memalign, which the
// same free releases.
namespace ornutil_test {
namespace alloc_hook {
inline void* newBlock(std::size_t size) noexcept { return malloc(size ? size : 1); }
inline void* newAlignedBlock(std::size_t size, std::align_val_t align) noexcept {
  if (shouldFail()) return nullptr;
  void* p = nullptr;
  std::size_t a = static_cast<std::size_t>(align);
  if (a < sizeof(void*)) a = sizeof(void*);
  if (posix_memalign(&p, a, size ? size : 1) != 0) return nullptr;
#if !ORNUTIL_ALLOC_HOOK_ASAN
  counted(p);
#endif
  return p;
}
}  // namespace alloc_hook
}  // namespace ornutil_test

void* operator new(std::size_t size) {
  void* p = ornutil_test::alloc_hook::newBlock(size);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  void* p = ornutil_test::alloc_hook::newBlock(size);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return ornutil_test::alloc_hook::newBlock(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return ornutil_test::alloc_hook::newBlock(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  void* p = ornutil_test::alloc_hook::newAlignedBlock(size, align);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size, std::align_val_t align) {
  void* p = ornutil_test::alloc_hook::newAlignedBlock(size, align);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return ornutil_test::alloc_hook::newAlignedBlock(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return ornutil_test::alloc_hook::newAlignedBlock(size, align);
}
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { free(p); }
#endif

#endif
