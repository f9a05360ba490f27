// The one reader and the one writer of the wire form's DER bytes
// (foundation/ornasn.asn1). Every walker of encoded bytes goes through them:
// the node codec (foundation/ornasn.cpp), the name/value tree's encoder and
// decoder (util/NameValueMapEncoding.cpp) and its trace of encoded trees
// (util/NameValueMapTrace.cpp). The strictness rules and the bounds (on a
// length, on the whole encoding, on nesting) are written here once.
//
//   reading   readHeader    one header, strictly (or any definite length)
//             Cursor        the elements of one level: element, octets,
//                           enter (one level down, nesting bounded), leave
//             readNode      one NameValueNode: name, values, children
//             checkList     a whole encoding, checked before anything is built
//   writing   headerSize, putHeaderAt, putOctetsAt (forwards, room checked
//             by the caller)
//
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
// The encoding's length has to fit the 32-bit counts that callers keep
// (kelobj_t::length, the codec's node counts): the encoder refuses anything
// longer, and so does the decoder.
constexpr std::uint64_t kMaxEncoding = 0xffffffffu;
// Constructed elements one encoding may nest: the outer list, then for each
// of the ORN_ASN_MAX_DEPTH levels of nodes the node and its children. The
// bound keeps every recursive walker's stack small whatever the input
// (Go's encoding/asn1 bounds nesting for the same reason).
constexpr int kMaxNesting = 1 + 2 * ORN_ASN_MAX_DEPTH;

// ================================================================ reading

// A run of bytes: [begin, end).
struct Bytes {
  const unsigned char* begin = nullptr;
  const unsigned char* end = nullptr;

  std::size_t size() const { return static_cast<std::size_t>(end - begin); }
  bool empty() const { return begin == end; }
  const char* chars() const { return reinterpret_cast<const char*>(begin); }
};

// The length forms a header may take. kDer is the decoder's rule; kAnyDefinite
// lets a caller recognise the outside of an encoding whose lengths are not
// in their shortest form (to mask it rather than show it as text).
enum class Form { kDer, kAnyDefinite };

// Reads the header of an element of type `tag` at `p`, which must end by
// `end`. Returns ORN_ASN_OK with `content` set to the element's content,
// or a status of foundation/ornasn.h (`content` then unchanged):
// ORN_ASN_E_TRUNCATED, ORN_ASN_E_TAG, ORN_ASN_E_LENGTH (indefinite, reserved
// or more than 8 length bytes; with kDer also a leading zero length byte or
// the long form for a length below 128).
inline int readHeader(const unsigned char* p, const unsigned char* end, unsigned char tag, Bytes& content,
                      Form form = Form::kDer) {
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
    if (form == Form::kDer && p[0] == 0) return ORN_ASN_E_LENGTH;  // not the shortest form
    length = 0;
    for (unsigned int i = 0; i < count; ++i) length = (length << 8) | *p++;
    if (form == Form::kDer && length < 0x80) return ORN_ASN_E_LENGTH;  // the short form was required
  }
  if (length > static_cast<std::uint64_t>(end - p)) return ORN_ASN_E_TRUNCATED;
  content = Bytes{p, p + length};
  return ORN_ASN_OK;
}

// Whether `bytes` are exactly one element of type `tag`, whatever its
// content.
inline bool spansOneElement(Bytes bytes, unsigned char tag, Form form) {
  Bytes content;
  return readHeader(bytes.begin, bytes.end, tag, content, form) == ORN_ASN_OK && content.end == bytes.end;
}

// Whether the bytes hold a NUL. Most names and values are short: a loop
// costs less than the call to memchr.
inline bool holdsNul(Bytes bytes) {
  if (bytes.size() > 16) return std::memchr(bytes.begin, 0, bytes.size()) != nullptr;
  for (const unsigned char* p = bytes.begin; p < bytes.end; ++p)
    if (*p == 0) return true;
  return false;
}

// Walks the elements of one level: a whole buffer, or the content of a
// constructed element it entered. Every read is checked against the
// level's end, so no read leaves it whatever the lengths say. On failure a
// read returns the status and the cursor stays where it was.
class Cursor {
 public:
  Cursor() = default;
  // The elements of `bytes`, at nesting 0 (outside every element).
  explicit Cursor(Bytes bytes) : p_(bytes.begin), end_(bytes.end) {}

  // Whether every element of the level has been read.
  bool atEnd() const { return p_ >= end_; }
  // The next element's first byte, and the level's end.
  const unsigned char* position() const { return p_; }
  const unsigned char* end() const { return end_; }
  // Constructed elements around this level.
  int nesting() const { return nesting_; }

  // The next element, which must be of type `tag`: its content, the cursor
  // moved past it.
  int element(unsigned char tag, Bytes& content) {
    if (int s = readHeader(p_, end_, tag, content)) return s;
    p_ = content.end;
    return ORN_ASN_OK;
  }

  // The next OCTET STRING, whose content must hold no NUL byte (names and
  // values are handed on as C texts): ORN_ASN_E_CONTENT otherwise.
  int octets(Bytes& text) {
    Bytes content;
    if (int s = readHeader(p_, end_, kTagOctetString, content)) return s;
    if (holdsNul(content)) return ORN_ASN_E_CONTENT;
    text = content;
    p_ = content.end;
    return ORN_ASN_OK;
  }

  // Enters the next element, which must be a constructed one of type
  // `tag`: `inside` then walks its content one nesting level deeper, and
  // this cursor has moved past it. ORN_ASN_E_DEPTH when `inside` would be
  // deeper than kMaxNesting (checked before the header is read).
  int enter(unsigned char tag, Cursor& inside) {
    if (nesting_ + 1 > kMaxNesting) return ORN_ASN_E_DEPTH;
    Bytes content;
    if (int s = readHeader(p_, end_, tag, content)) return s;
    p_ = content.end;
    inside.p_ = content.begin;
    inside.end_ = content.end;
    inside.nesting_ = nesting_ + 1;
    return ORN_ASN_OK;
  }

  // ORN_ASN_OK when every element of the level has been read, else
  // ORN_ASN_E_TRAILING: call when a level of fixed fields is done.
  int leave() const { return atEnd() ? ORN_ASN_OK : ORN_ASN_E_TRAILING; }

 private:
  const unsigned char* p_ = nullptr;
  const unsigned char* end_ = nullptr;
  int nesting_ = 0;
};

// One NameValueNode: its name and cursors over its values (OCTET STRINGs:
// read them with octets()) and its children (nodes: read them with
// readNode()).
struct Node {
  Bytes name;
  Cursor values;
  Cursor children;
};

// Reads the next node of `level` (a list's top-level nodes, or a node's
// children) and moves past it: its header, its name (no NUL), the headers
// of its values and children, and that nothing follows them inside it. A
// node deeper than ORN_ASN_MAX_DEPTH levels is ORN_ASN_E_DEPTH. The values
// and children themselves are left to the caller's walk.
inline int readNode(Cursor& level, Node& node) {
  Cursor fields;
  if (int s = level.enter(kTagSequence, fields)) return s;
  if (int s = fields.octets(node.name)) return s;
  if (int s = fields.enter(kTagSequence, node.values)) return s;
  if (int s = fields.enter(kTagSequence, node.children)) return s;
  return fields.leave();
}

// Checks one node and everything below it: every value and child, 32-bit
// counts. `counter.onText(length)` sees every text's length and
// `counter.onNode(values, children)` each node's counts, so that a caller
// can size what it will build. Recursion is bounded by kMaxNesting.
template <class Counter>
int checkNode(Cursor& level, Counter& counter) {
  Node node;
  if (int s = readNode(level, node)) return s;
  counter.onText(node.name.size());
  std::uint64_t values = 0;
  for (Bytes text; !node.values.atEnd();) {
    if (int s = node.values.octets(text)) return s;
    counter.onText(text.size());
    if (++values > 0xffffffffu) return ORN_ASN_E_COUNT;
  }
  std::uint64_t children = 0;
  while (!node.children.atEnd()) {
    if (int s = checkNode(node.children, counter)) return s;
    if (++children > 0xffffffffu) return ORN_ASN_E_COUNT;
  }
  counter.onNode(values, children);
  return ORN_ASN_OK;
}

// Checks a whole encoding as the decoder requires: no more than
// kMaxEncoding bytes (what the encoder would refuse to make), one outer
// SEQUENCE spanning the buffer, every node valid. On success `top` walks
// the top-level nodes and `count` is their number; neither is set on
// failure. Allocates nothing.
template <class Counter>
int checkList(const orn_asn_buffer_t& buffer, Counter& counter, Cursor& top, std::uint64_t& count) {
  if (buffer.length && !buffer.data) return ORN_ASN_E_PARAM;
  if (buffer.length > kMaxEncoding) return ORN_ASN_E_TOO_BIG;
  if (!buffer.data) return ORN_ASN_E_TRUNCATED;
  Cursor whole(Bytes{buffer.data, buffer.data + buffer.length});
  Cursor list;
  if (int s = whole.enter(kTagSequence, list)) return s;
  if (int s = whole.leave()) return s;
  Cursor nodes = list;
  std::uint64_t n = 0;
  while (!nodes.atEnd()) {
    if (int s = checkNode(nodes, counter)) return s;
    if (++n > 0xffffffffu) return ORN_ASN_E_COUNT;
  }
  top = list;
  count = n;
  return ORN_ASN_OK;
}

// A counter that counts nothing, for a check alone.
struct NoCount {
  void onText(std::size_t) {}
  void onNode(std::uint64_t, std::uint64_t) {}
};

// The same check for callers that keep raw pointers: on success `first`
// and `end` bound the top-level nodes.
template <class Counter>
int checkList(const orn_asn_buffer_t& buffer, Counter& counter, const unsigned char*& first,
              const unsigned char*& end, std::uint64_t& count) {
  Cursor top;
  if (int s = checkList(buffer, counter, top, count)) return s;
  first = top.position();
  end = top.end();
  return ORN_ASN_OK;
}

// The top-level nodes of a checked encoding: `count` of them, from `first`
// to `end`.
struct TopLevel {
  const unsigned char* first = nullptr;
  const unsigned char* end = nullptr;
  std::uint64_t count = 0;
};

// The check alone, for callers that walk the nodes afterwards.
inline int checkList(const orn_asn_buffer_t& buffer, TopLevel& top) {
  NoCount none;
  return checkList(buffer, none, top.first, top.end, top.count);
}

// ================================================================ writing

// The bytes of a header for `content` bytes of content.
inline std::uint64_t headerSize(std::uint64_t content) {
  std::uint64_t size = 2;
  if (content >= 0x80)
    for (std::uint64_t v = content; v; v >>= 8) ++size;
  return size;
}

// Copies a text that the caller has room for. Most names and values are
// short: two overlapping loads and stores rather than a call to memcpy.
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

// Writes a header at `p` (room for headerSize(content) bytes checked by the
// caller) and returns the byte after it.
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

// Writes an OCTET STRING of the text at `p` (room checked by the caller)
// and returns the byte after it.
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

}  // namespace der
}  // namespace ornz

#endif
