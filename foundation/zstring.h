// The foundation string classes.
//
// Every string is a view (pointer and length) kept in ZAbstractString_7_0_0,
// so hashing and comparing by text cost no virtual call and work across all
// classes: a ZLCConstString_7_0_0 finds a key stored as a ZUTF8String_7_0_0.
//
//   ZAbstractString_7_0_0          text view, isEmpty, exact equals, hash
//   ZAbstractMutableString_7_0_0   owns its NUL-terminated text: append, clear
//     ZLCString_7_0_0              text in the local code page
//     ZUTF8String_7_0_0            UTF-8 text; from an int; upper() in place
//   ZLCConstString_7_0_0           non-owning view of a caller's text
//   ZUTF8ConstString_7_0_0         non-owning view of a caller's UTF-8 text
//
// The local code page is taken to be ASCII-compatible (UTF-8 or a C locale):
// converting between the LC and UTF-8 classes copies bytes unchanged.
// A null text is accepted everywhere and reads as the empty text.
// Allocation failures raise ZOutOfMemoryException_7_0_0 and leave the string
// as it was.
#ifndef ORNUTIL_FOUNDATION_ZSTRING_H
#define ORNUTIL_FOUNDATION_ZSTRING_H

#include <cstddef>

#include "foundation/export.h"
#include "foundation/zobject.h"

class ORNUTIL_API ZAbstractString_7_0_0 : public ZObject_7_0_0 {
 public:
  ~ZAbstractString_7_0_0() override;

  // The text hash: equal texts hash equally in every string class.
  unsigned long hash() const override;
  // Byte order of the texts when `other` is a string; address order otherwise.
  int compare(const ZObject_7_0_0& other) const override;
  // Exact, byte-for-byte text equality with another string.
  bool equals(const ZObject_7_0_0& other) const override;

  // The NUL-terminated text (non-owning views return the caller's pointer).
  virtual const char* getChars() const;
  virtual std::size_t getLength() const;
  // Byte comparison with a C text: negative, 0 when equal, positive. Exact:
  // letter case matters. A null text compares as the empty text.
  virtual int compareTo(const char* text) const;

  bool isEmpty() const { return length_ == 0; }
  // Inline accessors used on hot paths.
  const char* data() const { return chars_; }
  std::size_t size() const { return length_; }

 protected:
  ZAbstractString_7_0_0(const char* chars, std::size_t length) : chars_(chars), length_(length) {}
  ZAbstractString_7_0_0(const ZAbstractString_7_0_0&) = default;
  ZAbstractString_7_0_0& operator=(const ZAbstractString_7_0_0&) = default;

  const char* chars_;
  std::size_t length_;
};

class ORNUTIL_API ZAbstractMutableString_7_0_0 : public ZAbstractString_7_0_0 {
 public:
  ~ZAbstractMutableString_7_0_0() override;

  virtual void append(const char* text);
  virtual void append(const char* text, std::size_t length);
  virtual void append(const ZAbstractString_7_0_0& text);
  virtual void clear();
  // Replaces the text.
  virtual void assign(const char* text);
  virtual void assign(const char* text, std::size_t length);

 protected:
  ZAbstractMutableString_7_0_0();
  ZAbstractMutableString_7_0_0(const char* text, std::size_t length);
  ZAbstractMutableString_7_0_0(const ZAbstractMutableString_7_0_0& other);
  ZAbstractMutableString_7_0_0& operator=(const ZAbstractMutableString_7_0_0& other);

  // Makes room for `needed` bytes of text plus the NUL; keeps the text.
  void reserve(std::size_t needed);
  char* buffer() { return buffer_; }
  void setLength(std::size_t length);
  // Takes `length` bytes of text, copied to `tail` (room for them and the
  // NUL, in the same block as this string and freed with it): a copy made
  // with one allocation. The string never frees `tail`.
  ORNUTIL_LOCAL void useTail(char* tail, const char* text, std::size_t length) noexcept;
  // Texts that fit inline need no tail.
  static constexpr std::size_t kInline = 24;

 private:
  // Whether the buffer is a tail: then the inline room, unused, holds the
  // buffer's address (and only then: leaving it clears that).
  ORNUTIL_LOCAL bool inTail() const noexcept;
  ORNUTIL_LOCAL void leaveTail() noexcept;

  char* buffer_;
  std::size_t capacity_;  // bytes of text the buffer holds, NUL excluded
  char inline_[kInline];
};

class ORNUTIL_API ZLCString_7_0_0 : public ZAbstractMutableString_7_0_0 {
 public:
  ZLCString_7_0_0();
  ZLCString_7_0_0(const char* text);  // NOLINT: implicit from text, like std::string
  ZLCString_7_0_0(const char* text, std::size_t length);
  explicit ZLCString_7_0_0(const ZAbstractString_7_0_0& text);
  ZLCString_7_0_0(const ZLCString_7_0_0& other);
  ZLCString_7_0_0& operator=(const ZLCString_7_0_0& other);
  ZLCString_7_0_0& operator=(const char* text);
  ~ZLCString_7_0_0() override;

  ZObject_7_0_0* clone() const override;
};

class ORNUTIL_API ZUTF8String_7_0_0 : public ZAbstractMutableString_7_0_0 {
 public:
  ZUTF8String_7_0_0();
  ZUTF8String_7_0_0(const char* text);  // NOLINT
  ZUTF8String_7_0_0(const char* text, std::size_t length);
  // The decimal text of the number.
  explicit ZUTF8String_7_0_0(int number);
  explicit ZUTF8String_7_0_0(const ZAbstractString_7_0_0& text);
  ZUTF8String_7_0_0(const ZUTF8String_7_0_0& other);
  ZUTF8String_7_0_0& operator=(const ZUTF8String_7_0_0& other);
  ZUTF8String_7_0_0& operator=(const char* text);
  ~ZUTF8String_7_0_0() override;

  ZObject_7_0_0* clone() const override;
  // Upper-cases the text in place: ASCII a to z only, so the length and
  // every multibyte character stay as they are.
  virtual void upper();

  // Inside the library: a new heap copy of the `length` bytes at `text`,
  // made with one allocation however long the text (what clone() makes),
  // or null when it cannot be allocated.
  ORNUTIL_LOCAL static ZUTF8String_7_0_0* copyOf(const char* text, std::size_t length);
};

// Views: they never copy or free the text, which must outlive them.
class ORNUTIL_API ZLCConstString_7_0_0 : public ZAbstractString_7_0_0 {
 public:
  ZLCConstString_7_0_0(const char* text);  // NOLINT
  ZLCConstString_7_0_0(const char* text, std::size_t length);
  ~ZLCConstString_7_0_0() override;
  // The copy owns its text: a ZLCString_7_0_0.
  ZObject_7_0_0* clone() const override;
};

class ORNUTIL_API ZUTF8ConstString_7_0_0 : public ZAbstractString_7_0_0 {
 public:
  ZUTF8ConstString_7_0_0(const char* text);  // NOLINT
  ZUTF8ConstString_7_0_0(const char* text, std::size_t length);
  ~ZUTF8ConstString_7_0_0() override;
  // The copy owns its text: a ZUTF8String_7_0_0.
  ZObject_7_0_0* clone() const override;
};

#endif
