// An array list of foundation objects.
#ifndef ORNUTIL_FOUNDATION_ZARRAYLIST_H
#define ORNUTIL_FOUNDATION_ZARRAYLIST_H

#include "foundation/export.h"
#include "foundation/zobject.h"

// An owning list (owns != 0) stores a clone() of every element it is given
// and deletes what it drops; a non-owning list stores the caller's pointers
// and never deletes them. Copies of an owning list are deep. Indexes are
// 0-based; an index outside the list reads as absent (get returns null).
// Allocation failures raise ZOutOfMemoryException_7_0_0 and leave the list
// as it was.
class ORNUTIL_API ZArrayList_7_0_0 : public ZObject_7_0_0 {
 public:
  explicit ZArrayList_7_0_0(int capacity = 10, int owns = 0);
  ZArrayList_7_0_0(const ZArrayList_7_0_0& other);
  ZArrayList_7_0_0& operator=(const ZArrayList_7_0_0& other);
  ~ZArrayList_7_0_0() override;

  ZObject_7_0_0* clone() const override;

  // Appends the element (a clone of it when owning; null is stored as null).
  virtual void add(const ZObject_7_0_0* element);
  // The element at the index, or null when the index is out of range.
  virtual ZObject_7_0_0* get(int index) const;
  // Replaces the element at the index. An index out of range raises
  // ZInvalidParameterException_7_0_0.
  virtual void set(int index, const ZObject_7_0_0* element);
  // Removes the element at the index, closing the gap; out of range: nothing.
  virtual void remove(int index);
  virtual void removeAll();
  virtual int size() const;
  bool isEmpty() const { return count_ == 0; }
  bool owns() const { return owns_; }
  // The stored elements and their number, for walkers inside the library
  // that read a plain ZArrayList_7_0_0 (not a derived list) without a
  // virtual call per element. Valid until the list changes.
  ZObject_7_0_0* const* elements() const { return items_; }
  int count() const { return count_; }
  // Makes room for `capacity` elements in all, so that adding up to that
  // many allocates nothing but the elements. Throws
  // ZOutOfMemoryException_7_0_0 and leaves the list as it was.
  ORNUTIL_LOCAL void reserve(int capacity);
  // Lends the empty list, which has no storage of its own yet, `capacity`
  // slots that outlive it (inside the block of the object holding it): the
  // list uses them until it needs more, then moves to storage of its own,
  // and never frees them.
  ORNUTIL_LOCAL void useStorage(ZObject_7_0_0** slots, int capacity) noexcept;

 private:
  ORNUTIL_LOCAL ZObject_7_0_0* copyOf(const ZObject_7_0_0* element) const;
  ORNUTIL_LOCAL void grow();
  ORNUTIL_LOCAL void resize(int capacity);
  ORNUTIL_LOCAL void release();

  ZObject_7_0_0** items_ = nullptr;
  int count_ = 0;
  int capacity_ = 0;  // slots at items_; negated when they are lent
  bool owns_;
};

#endif
