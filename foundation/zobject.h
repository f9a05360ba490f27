// Root class of the foundation class library.
//
// ZObject_7_0_0's virtual slot order is fixed: destructors, hash, compare,
// clone, equals. Derived classes append their own slots after these.
#ifndef ORNUTIL_FOUNDATION_ZOBJECT_H
#define ORNUTIL_FOUNDATION_ZOBJECT_H

#include <cstddef>

#include "foundation/export.h"

class ORNUTIL_API ZObject_7_0_0 {
 public:
  ZObject_7_0_0() = default;
  ZObject_7_0_0(const ZObject_7_0_0&) = default;
  ZObject_7_0_0& operator=(const ZObject_7_0_0&) = default;
  virtual ~ZObject_7_0_0();

  // Identity hash (the address) unless a class hashes its contents.
  virtual unsigned long hash() const;
  // Negative, zero or positive; the base orders by address.
  virtual int compare(const ZObject_7_0_0& other) const;
  // A caller-owned copy made with this class's operator new, or null when
  // the copy cannot be allocated. The base class has no copy and returns
  // null: classes that go into owning containers override it.
  virtual ZObject_7_0_0* clone() const;
  // True when compare() says the two are equal.
  virtual bool equals(const ZObject_7_0_0& other) const;

  // Every derived object is allocated here. Returns null when memory is
  // exhausted (the new-expression then yields null without constructing);
  // callers test the result and raise ZOutOfMemoryException_7_0_0.
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block) noexcept;
  static void* operator new[](std::size_t size) noexcept;
  static void operator delete[](void* block) noexcept;
  // Placement form, for objects built in storage that the caller provides.
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}
};

#endif
