#include "foundation/zobject.h"

#include <cstdint>
#include <cstdlib>
#include <functional>

ZObject_7_0_0::~ZObject_7_0_0() = default;

unsigned long ZObject_7_0_0::hash() const {
  return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(this));
}

int ZObject_7_0_0::compare(const ZObject_7_0_0& other) const {
  // std::less gives a total order over unrelated pointers, unlike operator<.
  if (this == &other) return 0;
  return std::less<const ZObject_7_0_0*>()(this, &other) ? -1 : 1;
}

ZObject_7_0_0* ZObject_7_0_0::clone() const { return nullptr; }

bool ZObject_7_0_0::equals(const ZObject_7_0_0& other) const { return compare(other) == 0; }

// malloc rather than the global operator new: objects and the C-heap blocks
// the library hands out then fail together under one allocator, which is what
// the allocation-failure tests drive.
void* ZObject_7_0_0::operator new(std::size_t size) noexcept { return std::malloc(size ? size : 1); }
void ZObject_7_0_0::operator delete(void* block) noexcept { std::free(block); }
void* ZObject_7_0_0::operator new[](std::size_t size) noexcept { return std::malloc(size ? size : 1); }
void ZObject_7_0_0::operator delete[](void* block) noexcept { std::free(block); }
