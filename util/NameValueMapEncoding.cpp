// NameValueMap's encodings: the wire buffer through the codec, the legacy
// kelobj_t record, and conversion to and from attribute lists.
#include "util/NameValueMap.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "foundation/internal/ornasn_der.h"
#include "foundation/zexception.h"

namespace {

const char kModule[] = "util/NameValueMap";

void* allocate(std::size_t count, std::size_t size) {
  void* block = std::malloc(count * size);
  if (!block) ornz::throwOutOfMemory(kModule, __LINE__);
  return block;
}

}  // namespace

NameValueMap::NameValueMap(namevalue_s_t const& node) : NameValueMap() { addNameValue(node); }

NameValueMap::NameValueMap(attrlist_s_t const& list) : NameValueMap() {
  for (unsigned int i = 0; i < list.num_entries; ++i) addNameValue(list.entries[i]);
}

// ---------------------------------------------------------------- wire buffer
//
// encode() writes the wire form straight from the stored entries: no node
// tree, no listing, and as a rule one allocation (see NameValueMapWireWriter
// below).
//
// The bytes are those the node codec makes of encodeMap()'s nodes: a text
// is what getChars() gives, up to its first NUL, and a value that is not a
// string (or null) is the empty text.

namespace {

using ornz::der::headerSize;
using ornz::der::kMaxEncoding;
using ornz::der::kTagSequence;

// A text as the codec sees it: cut at the first NUL.
inline std::size_t textLength(const char* text, std::size_t length) {
  if (length >= 8 && length <= 16) {
    // Both overlapping words: a zero byte anywhere shows as a high bit.
    std::uint64_t head, tail;
    std::memcpy(&head, text, 8);
    std::memcpy(&tail, text + length - 8, 8);
    constexpr std::uint64_t kLow = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    if ((((head - kLow) & ~head) | ((tail - kLow) & ~tail)) & kHigh) return std::strlen(text);
    return length;
  }
  if (length && std::memchr(text, 0, length)) return std::strlen(text);
  return length;
}

// The virtual table of the foundation's owning UTF-8 string, the class of
// nearly every stored value: comparing an object's table pointer with it
// costs one load, where typeid costs three.
const void* const kUtf8Table = [] {
  ZUTF8String_7_0_0 sample;
  const void* table;
  std::memcpy(&table, static_cast<const void*>(&sample), sizeof table);
  return table;
}();

// The text of a stored value. The foundation's owning strings keep their
// text NUL-terminated at data(), which is what getChars() returns; any
// other class is asked through the virtual accessor.
inline const char* valueText(const ZObject_7_0_0* value, std::size_t& length) {
  if (!value) {
    length = 0;
    return "";
  }
  const void* table;
  std::memcpy(&table, static_cast<const void*>(value), sizeof table);
  const std::type_info* type = nullptr;
  if (table == kUtf8Table || *(type = &typeid(*value)) == typeid(ZLCString_7_0_0) ||
      *type == typeid(ZUTF8String_7_0_0)) {
    auto const* s = static_cast<const ZAbstractString_7_0_0*>(value);
    length = textLength(s->data(), s->size());
    return s->data();
  }
  auto const* s = dynamic_cast<const ZAbstractString_7_0_0*>(value);
  const char* text = s ? s->getChars() : nullptr;
  if (!text) {
    length = 0;
    return "";
  }
  length = std::strlen(text);
  return text;
}

}  // namespace

// encode()'s one walk: it writes backwards, last entry first and each
// header after the content it measures, into a block that grows at its
// front as needed; the bytes are then moved to the block's start. One walk
// instead of a measuring walk and a writing one (which sized the block
// exactly): reaching each stored value and looking at its text costs as
// much as writing it, and a block that is moved once is cheaper than a
// second walk.
struct NameValueMapWireWriter {
  // Raised inside the walk with the status encode() reports.
  struct Stop {
    int status;
  };

  unsigned char* base = nullptr;   // the block
  unsigned char* p = nullptr;      // the first byte written (writing runs down)
  unsigned char* end = nullptr;    // one past the last byte written
  unsigned char* limit = nullptr;  // one past the block

  ~NameValueMapWireWriter() { std::free(base); }

  // A block of `size` bytes, the encoding to end `landing` bytes into it:
  // an encoding of exactly that length then starts at the block's start and
  // is not moved at all.
  void start(std::size_t size, std::size_t landing) {
    base = static_cast<unsigned char*>(std::malloc(size));
    if (!base) throw Stop{ORN_ASN_E_NOMEM};
    limit = base + size;
    p = end = base + landing;
  }

  std::size_t written() const { return static_cast<std::size_t>(end - p); }

  // Room for `n` more bytes before p: what is written moves up into the
  // block's spare end if that is enough, else to the end of a larger block.
  // Nothing past the largest encoding is ever made room for.
  void room(std::size_t n) {
    std::size_t front = static_cast<std::size_t>(p - base);
    if (front >= n) return;
    std::size_t have = written();
    if (have > kMaxEncoding) throw Stop{ORN_ASN_E_TOO_BIG};
    std::size_t spare = static_cast<std::size_t>(limit - end);
    if (front + spare >= n) {
      std::memmove(p + spare, p, have);
      p += spare;
      end = limit;
      return;
    }
    std::size_t size = static_cast<std::size_t>(limit - base);
    std::size_t grown = size * 2 > have + n + 64 ? size * 2 : have + n + 64;
    auto* block = static_cast<unsigned char*>(std::malloc(grown));
    if (!block) throw Stop{ORN_ASN_E_NOMEM};
    if (have) std::memcpy(block + grown - have, p, have);
    std::free(base);
    base = block;
    limit = end = block + grown;
    p = end - have;
  }

  // A header before content that ends `mark` bytes from the end. Room is
  // asked for exactly, here and in the walk: an encoding as long as
  // expected must fit its block to the byte.
  void header(unsigned char tag, std::size_t mark) {
    std::size_t content = written() - mark;
    room(headerSize(content));
    p = ornz::der::putHeaderBefore(p, tag, content);
  }

  // Room for `n` more bytes before `q`, the walk's write position; returns
  // the position in the (maybe new) block.
  [[gnu::noinline]] unsigned char* grow(unsigned char* q, std::size_t n) {
    p = q;
    room(n);
    return p;
  }

  void write(const ZHashKeyMap_7_0_0& map) { p = writeLevel(map, 1, p); }

  // The nodes of `map` at `depth` (top level 1), written before `q`; returns
  // the new first byte. An empty level is no node at all, however deep.
  //
  // The write position and the block's bounds are local variables here,
  // handed back to the members only around a call that may move the block.
  // Kept in members, every byte written (a char store, which may alias
  // anything) made the compiler store and load the position again, and the
  // walk waited on that round trip for every header and text.
  unsigned char* writeLevel(const ZHashKeyMap_7_0_0& map, int depth, unsigned char* q) {
    if (map.bare()) return q;
    std::uint32_t count = 0;
    const ZHashKeyMap_7_0_0::Entry* entries = map.entries(count);
    if (!count) return q;
    if (depth > ORN_ASN_MAX_DEPTH) throw Stop{ORN_ASN_E_DEPTH};
    unsigned char* lo = base;
    unsigned char* hi = end;
    auto need = [&](std::size_t n) {
      if (static_cast<std::size_t>(q - lo) < n) {
        q = grow(q, n);
        lo = base;
        hi = end;
      }
    };
    auto written = [&] { return static_cast<std::size_t>(hi - q); };
    auto header = [&](unsigned char tag, std::size_t mark) {
      std::size_t content = written() - mark;
      need(headerSize(content));
      q = ornz::der::putHeaderBefore(q, tag, content);
    };
    auto octets = [&](const char* text, std::size_t length) {
      need(length + headerSize(length));
      q = ornz::der::putOctetsBefore(q, text, length);
    };
    for (std::uint32_t i = count; i-- > 0;) {
      const ZHashKeyMap_7_0_0::Entry& e = entries[i];
      auto const* entry = static_cast<const NameValueEntry*>(e.value.load(std::memory_order_relaxed));
      std::size_t node = written();
      const ZHashKeyMap_7_0_0& subtree = entry->subtree().map_;
      if (!subtree.bare()) {
        q = writeLevel(subtree, depth + 1, q);
        lo = base;
        hi = end;
      }
      header(kTagSequence, node);
      std::size_t children = written();
      ZArrayList_7_0_0 const& values = entry->values();
      ZObject_7_0_0* const* items = values.elements();
      for (int v = values.count(); v-- > 0;) {
        std::size_t length;
        const char* text = valueText(items[v], length);
        octets(text, length);
      }
      header(kTagSequence, children);
      octets(e.chars, textLength(e.chars, e.length));
      header(kTagSequence, node);
    }
    return q;
  }

  // The whole encoding, moved to the start of the work block, which the
  // caller then owns. The block is cut down only when much of it would be
  // left over: a second block to copy into, or a block cut to a size of its
  // own on every call, would have the allocator hand back memory to the
  // system and map fresh pages on every call.
  unsigned char* finish(std::uint32_t& length) {
    header(kTagSequence, 0);
    if (written() > kMaxEncoding) throw Stop{ORN_ASN_E_TOO_BIG};
    length = static_cast<std::uint32_t>(written());
    if (p != base) std::memmove(base, p, length);
    unsigned char* block = base;
    if (static_cast<std::size_t>(limit - base) - length > length / 4 + 4096) {
      if (auto* cut = static_cast<unsigned char*>(std::realloc(base, length))) block = cut;
    }
    base = nullptr;
    return block;
  }
};

namespace {
// What the last encoding this thread made looked like: a program encodes
// maps of much the same shape again and again, so the block is most often
// right the first time. Bytes per top-level name size the block (64 to
// begin with); an encoding of as many names as the last one is expected to
// be just as long, and placed to land at the block's start. A first block
// sized from bytes per name is never larger than kMaxGuess: past that it
// grows as needed, so a guess taken from a map of another shape never asks
// for much memory the encoding does not need. A block for as many names as
// the last encoding (its length and an eighth) may be as large as
// kMaxLanding: the same shape again is the common case, and a block short
// of it made every large encoding grow its block and then move all its
// bytes, five times slower at 6 MB; a map of that many names but far
// shorter texts gets its block cut down to its length.
thread_local std::uint64_t bytesPerName = 64;
thread_local std::uint64_t lastNames = ~std::uint64_t{0};
thread_local std::uint64_t lastLength = 0;
constexpr std::uint64_t kMaxGuess = 4u << 20;
constexpr std::uint64_t kMaxLanding = 64u << 20;
}  // namespace

void NameValueMap::encode(orn_asn_buffer_t& buffer, unsigned long& status) const {
  NameValueMapWireWriter writer;
  int result = ORN_ASN_OK;
  try {
    auto names = static_cast<std::uint64_t>(map_.size());
    if (names == lastNames && lastLength <= kMaxLanding) {
      writer.start(static_cast<std::size_t>(lastLength + lastLength / 8 + 64), static_cast<std::size_t>(lastLength));
    } else {
      std::uint64_t guess = 64 + names * bytesPerName * 9 / 8;
      std::size_t size = static_cast<std::size_t>(guess < kMaxGuess ? guess : kMaxGuess);
      writer.start(size, size);
    }
    writer.write(map_);
    std::uint32_t length = 0;
    unsigned char* block = writer.finish(length);
    if (names) bytesPerName = length / names + 1 < kMaxGuess ? length / names + 1 : kMaxGuess;
    lastNames = names;
    lastLength = length;
    buffer.length = length;
    buffer.data = block;
  } catch (NameValueMapWireWriter::Stop const& stop) {
    result = stop.status;
  }
  status = static_cast<unsigned long>(static_cast<long>(result));
}

void NameValueMap::encodeMap(namevalue_s_t* node, char const* name) const {
  node->name = name;
  node->num_values = 0;
  node->values = nullptr;
  node->num_subtrees = 0;
  node->subtrees = nullptr;
  if (NameValueEntry const* entry = findEntry(name)) fillNode(node, name, *entry);
}

// Walks the stored entries directly, so each level costs one listing rather
// than a look-up per name and value.
void NameValueMap::fillNode(namevalue_s_t* node, char const* name, NameValueEntry const& entry) const {
  node->name = name;
  node->num_values = 0;
  node->values = nullptr;
  node->num_subtrees = 0;
  node->subtrees = nullptr;
  try {
    ZArrayList_7_0_0 const& values = entry.values();
    if (values.size() > 0) {
      node->values = static_cast<char const**>(allocate(static_cast<std::size_t>(values.size()), sizeof(char*)));
      node->num_values = static_cast<unsigned int>(values.size());
      for (int i = 0; i < values.size(); ++i) {
        auto* text = dynamic_cast<ZAbstractString_7_0_0 const*>(values.get(i));
        node->values[i] = text ? text->getChars() : nullptr;
      }
    }
    // The stored entries directly: listing the names would make a key
    // object for each, kept for the life of the name.
    NameValueMap const& subtree = entry.subtree();
    std::uint32_t count = 0;
    const ZHashKeyMap_7_0_0::Entry* entries = subtree.entries(count);
    if (count > 0) {
      node->subtrees = static_cast<namevalue_s_t**>(allocate(count, sizeof(namevalue_s_t*)));
      for (std::uint32_t i = 0; i < count; ++i) {
        auto* child = static_cast<namevalue_s_t*>(allocate(1, sizeof(namevalue_s_t)));
        std::memset(child, 0, sizeof *child);
        node->subtrees[i] = child;
        node->num_subtrees = i + 1;
        subtree.fillNode(child, entries[i].chars,
                         *static_cast<NameValueEntry*>(entries[i].value.load(std::memory_order_relaxed)));
      }
    }
  } catch (...) {
    freeMap(node);
    throw;
  }
}

void NameValueMap::freeMap(namevalue_s_t* node) const {
  if (node->subtrees) {
    for (unsigned int i = 0; i < node->num_subtrees; ++i) {
      freeMap(node->subtrees[i]);
      std::free(node->subtrees[i]);
      node->subtrees[i] = nullptr;
    }
    node->num_subtrees = 0;
    std::free(node->subtrees);
    node->subtrees = nullptr;
  }
  if (node->values) {
    node->num_values = 0;
    std::free(node->values);
    node->values = nullptr;
  }
}

// decode() checks the whole input first, allocating nothing, then adds the
// nodes straight from the bytes: no node tree, one look-up per node, and
// each value copied once, into the object the list keeps.
void NameValueMap::decode(orn_asn_buffer_t& buffer, unsigned long& status) {
  ornz::der::NoCount none;
  const unsigned char* first = nullptr;
  const unsigned char* end = nullptr;
  std::uint64_t top = 0;
  int result = ornz::der::checkList(buffer, none, first, end, top);
  status = static_cast<unsigned long>(static_cast<long>(result));
  if (result != 0 || top == 0) return;
  if (map_.size() == 0) {
    // Nothing to keep: undoing a failure is emptying the map again.
    try {
      decodeChecked(first, end);
    } catch (...) {
      map_.removeAll();
      throw;
    }
    return;
  }
  // Adding to names the map holds cannot be undone piece by piece: the
  // result is made in a copy, which replaces the map only when complete.
  NameValueMap merged(*this);
  merged.decodeChecked(first, end);
  map_.swapContents(merged.map_);
}

void NameValueMap::decodeChecked(unsigned char const* first, unsigned char const* end) {
  ornz::der::Reader r{first};
  while (r.p < end) {
    const unsigned char* nodeEnd = r.enterChecked();
    (void)nodeEnd;
    const unsigned char* name;
    const unsigned char* nameEnd;
    r.skipChecked(name, nameEnd);
    const char* text = reinterpret_cast<const char*>(name);
    std::size_t length = static_cast<std::size_t>(nameEnd - name);
    auto* entry = static_cast<NameValueEntry*>(map_.find(text, length));
    if (!entry) entry = adoptEntry(text, length, makeEntry());

    const unsigned char* valuesEnd = r.enterChecked();
    if (r.p < valuesEnd) {
      ZArrayList_7_0_0& values = entry->values();
      int count = 0;
      for (ornz::der::Reader c{r.p}; c.p < valuesEnd; ++count) {
        const unsigned char *a, *b;
        c.skipChecked(a, b);
      }
      values.reserve(values.count() + count);
      while (r.p < valuesEnd) {
        const unsigned char* value;
        const unsigned char* valueEnd;
        r.skipChecked(value, valueEnd);
        ZUTF8ConstString_7_0_0 view(reinterpret_cast<const char*>(value), static_cast<std::size_t>(valueEnd - value));
        values.add(&view);
      }
    }
    const unsigned char* childrenEnd = r.enterChecked();
    if (r.p < childrenEnd) entry->subtree().decodeChecked(r.p, childrenEnd);
    r.p = childrenEnd;
  }
}

void NameValueMap::addNameValue(namevalue_s_t const& node) {
  // Without values and children the loops below would make no entry, and a
  // name that was sent would vanish.
  if (node.num_values == 0 && node.num_subtrees == 0) {
    entryFor(node.name);
    return;
  }
  for (unsigned int i = 0; i < node.num_values; ++i) addString(node.name, node.values[i]);
  for (unsigned int i = 0; i < node.num_subtrees; ++i) addSubtree(node.name)->addNameValue(*node.subtrees[i]);
}

// ---------------------------------------------------------------- kelobj_t

void NameValueMap::encode(kelobj_t& object, unsigned long& status) {
  orn_asn_buffer_t buffer = {0, nullptr};
  encode(buffer, status);
  object.head0 = 0;
  object.head1 = 0;
  object.length = 0;
  object.data = nullptr;
  if (status == 0) {
    // The codec refuses encodings of 4 GiB or more, so nothing is cut off.
    object.length = static_cast<uint32_t>(buffer.length);
    object.data = buffer.data;
  }
}

void NameValueMap::decode(kelobj_t& object, unsigned long& status) {
  orn_asn_buffer_t buffer = {object.length, object.data};
  decode(buffer, status);
}

// ---------------------------------------------------------------- attribute lists

void NameValueMap::addNameValue(attr_s_t const& attribute) {
  for (unsigned int i = 0; i < attribute.num_values; ++i) {
    value_s_t const& value = attribute.values[i];
    switch (value.type) {
      case ATTR_VALUE_STRING:
        if (value.str) addString(attribute.name, value.str);
        break;
      case ATTR_VALUE_BUFFER:
      case ATTR_VALUE_POBJ:
        addString(attribute.name, value.data ? reinterpret_cast<char const*>(value.data) : "",
                  value.data ? value.length : 0);
        break;
      case ATTR_VALUE_UINT32:
        if (value.data && value.length >= 4) {
          unsigned long number = (static_cast<unsigned long>(value.data[0]) << 24) |
                                 (static_cast<unsigned long>(value.data[1]) << 16) |
                                 (static_cast<unsigned long>(value.data[2]) << 8) | value.data[3];
          addString(attribute.name, number);
        }
        break;
      default:
        break;
    }
  }
}

void NameValueMap::toAttrlist(attrlist_s_t& list) const { toAttrlistInternal(list, nullptr); }

void NameValueMap::toAttrlistInternal(attrlist_s_t& list, char const* prefix) const {
  // The stored entries directly (see fillNode). The walk adds to `list`
  // only, so the entries stay where they are.
  std::uint32_t count = 0;
  const ZHashKeyMap_7_0_0::Entry* entries = this->entries(count);
  ZUTF8String_7_0_0 name;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto const* entry = static_cast<NameValueEntry const*>(entries[i].value.load(std::memory_order_relaxed));
    name.assign(prefix);
    name.append(ZUTF8ConstString_7_0_0(entries[i].chars, entries[i].length));
    ZArrayList_7_0_0 const& values = entry->values();
    for (int v = 0; v < values.size(); ++v) {
      auto const* text = dynamic_cast<ZAbstractString_7_0_0 const*>(values.get(v));
      if (!text) continue;
      value_s_t value = {ATTR_VALUE_STRING, const_cast<char*>(text->getChars()), 0, nullptr};
      attrlist_add_entry(&list, const_cast<char*>(name.getChars()), &value);
    }
    if (entry->subtree().map_.size() > 0) entry->subtree().toAttrlistInternal(list, name.getChars());
  }
}
