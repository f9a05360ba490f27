// The DER pieces of the wire form (foundation/ornasn.asn1) shared by the
// node codec (foundation/ornasn.cpp), the name/value tree's own encoder and
// decoder (util/NameValueMapEncoding.cpp) and its trace of encoded trees.
// Header-only and internal: never installed.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_ORNASN_DER_H
#define ORNUTIL_FOUNDATION_INTERNAL_ORNASN_DER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/ornasn.h"

namespace ornz {
namespace der {

constexpr unsigned char kTagOctetString = 0x04;
constexpr unsigned char kTagSequence = 0x30;
// The encoding's length has to fit the 32-bit counts that callers keep.
constexpr std::uint64_t kMaxEncoding = 0xffffffffu;

inline std::uint64_t headerSize(std::uint64_t content) {
  std::uint64_t size = 2;
  if (content >= 0x80)
    for (std::uint64_t v = content; v; v >>= 8) ++size;
  return size;
}

// Writes a header just before `p` (writing runs backwards) and returns the
// header's first byte.
inline unsigned char* putHeaderBefore(unsigned char* p, unsigned char tag, std::uint64_t content) {
  if (content < 0x80) {
    *--p = static_cast<unsigned char>(content);
  } else {
    unsigned char count = 0;
    for (std::uint64_t v = content; v; v >>= 8, ++count) *--p = static_cast<unsigned char>(v);
    *--p = static_cast<unsigned char>(0x80 | count);
  }
  *--p = tag;
  return p;
}

// Copies a text that the caller has room for. Most names and values are
// short: overlapping moves rather than a call.
inline void copyText(unsigned char* to, const char* text, std::size_t length) {
  if (length >= 8) {
    if (length > 16) {
      std::memcpy(to, text, length);
      return;
    }
    std::uint64_t head, tail;
    std::memcpy(&head, text, 8);
    std::memcpy(&tail, text + length - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + length - 8, &tail, 8);
  } else if (length >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, text, 4);
    std::memcpy(&tail, text + length - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + length - 4, &tail, 4);
  } else if (length) {
    // 1 to 3 bytes: first, middle and last cover them all.
    to[0] = static_cast<unsigned char>(text[0]);
    to[length / 2] = static_cast<unsigned char>(text[length / 2]);
    to[length - 1] = static_cast<unsigned char>(text[length - 1]);
  }
}

// Writes a header at `p` (writing runs forwards) and returns the byte after
// it.
inline unsigned char* putHeaderAt(unsigned char* p, unsigned char tag, std::uint64_t content) {
  *p++ = tag;
  if (content < 0x80) {
    *p++ = static_cast<unsigned char>(content);
    return p;
  }
  unsigned int count = 0;
  for (std::uint64_t v = content; v; v >>= 8) ++count;
  *p++ = static_cast<unsigned char>(0x80 | count);
  while (count-- > 0) *p++ = static_cast<unsigned char>(content >> (8 * count));
  return p;
}

// Writes an OCTET STRING of the text at `p` (room checked by the caller) and
// returns the byte after it.
inline unsigned char* putOctetsAt(unsigned char* p, const char* text, std::size_t length) {
  if (length < 0x80) {
    p[0] = kTagOctetString;
    p[1] = static_cast<unsigned char>(length);
    p += 2;
  } else {
    p = putHeaderAt(p, kTagOctetString, length);
  }
  copyText(p, text, length);
  return p + length;
}

// Writes an OCTET STRING of the text just before `p` (room checked by the
// caller) and returns its first byte.
inline unsigned char* putOctetsBefore(unsigned char* p, const char* text, std::size_t length) {
  p -= length;
  copyText(p, text, length);
  if (length < 0x80) {
    p -= 2;
    p[0] = kTagOctetString;
    p[1] = static_cast<unsigned char>(length);
    return p;
  }
  return putHeaderBefore(p, kTagOctetString, length);
}

// A strict reader over checked bounds.
struct Reader {
  const unsigned char* p;

  // Reads the header of an element of type `tag` that must end by `end`;
  // on success `contentEnd` is the end of its content and `p` its start.
  int header(unsigned char tag, const unsigned char* end, const unsigned char*& contentEnd) {
    if (p >= end) return ORN_ASN_E_TRUNCATED;
    if (*p != tag) return ORN_ASN_E_TAG;
    if (end - p < 2) return ORN_ASN_E_TRUNCATED;
    ++p;
    unsigned char first = *p++;
    std::uint64_t length = first;
    if (first & 0x80) {
      unsigned int count = first & 0x7f;
      if (count == 0 || count > 8) return ORN_ASN_E_LENGTH;  // indefinite, reserved, too long
      if (static_cast<std::uint64_t>(end - p) < count) return ORN_ASN_E_TRUNCATED;
      if (p[0] == 0) return ORN_ASN_E_LENGTH;  // leading zero byte: not the shortest form
      length = 0;
      for (unsigned int i = 0; i < count; ++i) length = (length << 8) | *p++;
      if (length < 0x80) return ORN_ASN_E_LENGTH;  // the short form was required
    }
    if (length > static_cast<std::uint64_t>(end - p)) return ORN_ASN_E_TRUNCATED;
    contentEnd = p + length;
    return ORN_ASN_OK;
  }

  int text(const unsigned char* end, const unsigned char*& start, std::size_t& length) {
    const unsigned char* contentEnd;
    if (int s = header(kTagOctetString, end, contentEnd)) return s;
    start = p;
    length = static_cast<std::size_t>(contentEnd - p);
    if (length && std::memchr(p, 0, length)) return ORN_ASN_E_CONTENT;
    p = contentEnd;
    return ORN_ASN_OK;
  }

  // For input already checked: the content of the next element, whatever
  // its tag, and `p` moved past it.
  void skipChecked(const unsigned char*& start, const unsigned char*& contentEnd) {
    ++p;
    unsigned char first = *p++;
    std::uint64_t length = first;
    if (first & 0x80) {
      unsigned int count = first & 0x7f;
      length = 0;
      for (unsigned int i = 0; i < count; ++i) length = (length << 8) | *p++;
    }
    start = p;
    contentEnd = p + length;
    p = contentEnd;
  }

  // For input already checked: enters the next element (p at its content)
  // and returns its end.
  const unsigned char* enterChecked() {
    const unsigned char* start;
    const unsigned char* contentEnd;
    skipChecked(start, contentEnd);
    p = start;
    return contentEnd;
  }
};

// Checks one node (and its children) at `depth`, as the decoder requires
// (ORN_ASN_MAX_DEPTH levels, no NUL in a text, counts that fit 32 bits,
// nothing left over). `onText` is called with the length of every text and
// `onNode` with each node's number of values and children, so that a caller
// can size what it will build.
template <class Counter>
int checkNode(Reader& r, const unsigned char* end, int depth, Counter& counter) {
  if (depth > ORN_ASN_MAX_DEPTH) return ORN_ASN_E_DEPTH;
  const unsigned char* nodeEnd;
  if (int s = r.header(kTagSequence, end, nodeEnd)) return s;
  const unsigned char* text;
  std::size_t length;
  if (int s = r.text(nodeEnd, text, length)) return s;
  counter.onText(length);

  const unsigned char* valuesEnd;
  if (int s = r.header(kTagSequence, nodeEnd, valuesEnd)) return s;
  std::uint64_t values = 0;
  while (r.p < valuesEnd) {
    if (int s = r.text(valuesEnd, text, length)) return s;
    counter.onText(length);
    if (++values > 0xffffffffu) return ORN_ASN_E_COUNT;
  }

  const unsigned char* childrenEnd;
  if (int s = r.header(kTagSequence, nodeEnd, childrenEnd)) return s;
  std::uint64_t children = 0;
  while (r.p < childrenEnd) {
    if (int s = checkNode(r, childrenEnd, depth + 1, counter)) return s;
    if (++children > 0xffffffffu) return ORN_ASN_E_COUNT;
  }
  counter.onNode(values, children);
  return r.p == nodeEnd ? ORN_ASN_OK : ORN_ASN_E_TRAILING;
}

// Checks a whole encoding; on success `first` and `end` bound its
// top-level nodes and `top` is their number.
template <class Counter>
int checkList(const orn_asn_buffer_t& buffer, Counter& counter, const unsigned char*& first,
              const unsigned char*& end, std::uint64_t& top) {
  if (buffer.length && !buffer.data) return ORN_ASN_E_PARAM;
  if (buffer.length > SIZE_MAX) return ORN_ASN_E_TOO_BIG;
  const unsigned char* begin = buffer.data;
  if (!begin) return ORN_ASN_E_TRUNCATED;
  const unsigned char* bufferEnd = begin + buffer.length;
  Reader r{begin};
  if (int s = r.header(kTagSequence, bufferEnd, end)) return s;
  if (end != bufferEnd) return ORN_ASN_E_TRAILING;
  first = r.p;
  top = 0;
  while (r.p < end) {
    if (int s = checkNode(r, end, 1, counter)) return s;
    if (++top > 0xffffffffu) return ORN_ASN_E_COUNT;
  }
  return ORN_ASN_OK;
}

// A counter that counts nothing, for a check alone.
struct NoCount {
  void onText(std::size_t) {}
  void onNode(std::uint64_t, std::uint64_t) {}
};

}  // namespace der
}  // namespace ornz

#endif
