#include "foundation/zarraylist.h"

#include <cstdlib>
#include <cstring>

#include "foundation/zexception.h"

namespace {
constexpr int kMaxCapacity = 1 << 28;
}

ZArrayList_7_0_0::ZArrayList_7_0_0(int capacity, int owns) : owns_(owns != 0) {
  // The capacity is a hint: storage is taken on the first add, so empty
  // lists (every name/value entry has one) cost nothing.
  capacity_ = capacity > 0 && capacity < kMaxCapacity ? capacity : 0;
}

ZArrayList_7_0_0::ZArrayList_7_0_0(const ZArrayList_7_0_0& other)
    : ZObject_7_0_0(other), capacity_(other.count_), owns_(other.owns_) {
  if (other.count_ == 0) return;
  items_ = static_cast<ZObject_7_0_0**>(std::malloc(sizeof(ZObject_7_0_0*) * other.count_));
  if (!items_) ornz::throwOutOfMemory("foundation/zarraylist", __LINE__);
  try {
    for (; count_ < other.count_; ++count_) items_[count_] = copyOf(other.items_[count_]);
  } catch (...) {
    release();
    throw;
  }
}

ZArrayList_7_0_0& ZArrayList_7_0_0::operator=(const ZArrayList_7_0_0& other) {
  if (this != &other) {
    ZArrayList_7_0_0 copy(other);  // builds fully before anything is dropped
    release();
    items_ = copy.items_;
    count_ = copy.count_;
    capacity_ = copy.capacity_;
    owns_ = copy.owns_;
    copy.items_ = nullptr;
    copy.count_ = 0;
  }
  return *this;
}

ZArrayList_7_0_0::~ZArrayList_7_0_0() { release(); }

void ZArrayList_7_0_0::release() {
  if (owns_)
    for (int i = 0; i < count_; ++i) delete items_[i];
  if (capacity_ < 0) {
    capacity_ = 0;  // the storage was lent: it stays with its owner
  } else {
    std::free(items_);
  }
  items_ = nullptr;
  count_ = 0;
}

void ZArrayList_7_0_0::useStorage(ZObject_7_0_0** slots, int capacity) noexcept {
  items_ = slots;
  capacity_ = -capacity;
}

// Moves the elements to a block of `capacity` slots of the list's own:
// grown in place when the list has one, copied out of lent storage
// otherwise.
void ZArrayList_7_0_0::resize(int capacity) {
  std::size_t bytes = sizeof(ZObject_7_0_0*) * static_cast<std::size_t>(capacity);
  void* grown;
  if (capacity_ < 0) {
    grown = std::malloc(bytes);
    if (grown && count_) std::memcpy(grown, items_, sizeof(ZObject_7_0_0*) * static_cast<std::size_t>(count_));
  } else {
    grown = std::realloc(items_, bytes);
  }
  if (!grown) ornz::throwOutOfMemory("foundation/zarraylist", __LINE__);
  items_ = static_cast<ZObject_7_0_0**>(grown);
  capacity_ = capacity;
}

ZObject_7_0_0* ZArrayList_7_0_0::clone() const { return new ZArrayList_7_0_0(*this); }

ZObject_7_0_0* ZArrayList_7_0_0::copyOf(const ZObject_7_0_0* element) const {
  if (!owns_ || !element) return const_cast<ZObject_7_0_0*>(element);
  ZObject_7_0_0* copy = element->clone();
  if (!copy) ornz::throwOutOfMemory("foundation/zarraylist", __LINE__);
  return copy;
}

void ZArrayList_7_0_0::grow() {
  int room = capacity_ < 0 ? -capacity_ : capacity_;
  if (items_ && count_ < room) return;
  int capacity = !items_ && room > 0 ? room : (room < 4 ? 4 : room * 2);
  if (count_ >= kMaxCapacity) ornz::throwOutOfMemory("foundation/zarraylist", __LINE__);
  if (capacity <= count_) capacity = count_ + 1;
  resize(capacity);
}

void ZArrayList_7_0_0::reserve(int capacity) {
  if (capacity <= count_ || (items_ && capacity <= (capacity_ < 0 ? -capacity_ : capacity_))) return;
  if (capacity >= kMaxCapacity) ornz::throwOutOfMemory("foundation/zarraylist", __LINE__);
  resize(capacity);
}

void ZArrayList_7_0_0::add(const ZObject_7_0_0* element) {
  ZObject_7_0_0* stored = copyOf(element);
  try {
    grow();
  } catch (...) {
    if (owns_) delete stored;
    throw;
  }
  items_[count_++] = stored;
}

ZObject_7_0_0* ZArrayList_7_0_0::get(int index) const {
  return index >= 0 && index < count_ ? items_[index] : nullptr;
}

void ZArrayList_7_0_0::set(int index, const ZObject_7_0_0* element) {
  if (index < 0 || index >= count_) {
    ZInvalidParameterException_7_0_0 e("list index out of range");
    e.throwException("foundation/zarraylist", __LINE__);
  }
  ZObject_7_0_0* stored = copyOf(element);
  if (owns_) delete items_[index];
  items_[index] = stored;
}

void ZArrayList_7_0_0::remove(int index) {
  if (index < 0 || index >= count_) return;
  if (owns_) delete items_[index];
  std::memmove(items_ + index, items_ + index + 1,
               sizeof(ZObject_7_0_0*) * static_cast<std::size_t>(count_ - index - 1));
  --count_;
}

void ZArrayList_7_0_0::removeAll() {
  if (owns_)
    for (int i = 0; i < count_; ++i) delete items_[i];
  count_ = 0;
}

int ZArrayList_7_0_0::size() const { return count_; }
