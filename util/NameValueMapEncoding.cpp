// NameValueMap's encodings: the wire buffer through the codec, the legacy
// kelobj_t record, and conversion to and from attribute lists.
#include "util/NameValueMap.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "foundation/internal/memoryrule.h"
#include "foundation/internal/ornasn_der.h"
#include "foundation/svc.h"
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

// The text of a stored value. The foundation's owning strings keep their
// text NUL-terminated at data(), which is what getChars() returns; any
// other class is asked through the virtual accessor.
inline const char* valueText(const ZObject_7_0_0* value, std::size_t& length) {
  if (!value) {
    length = 0;
    return "";
  }
  const std::type_info& type = typeid(*value);
  if (type == typeid(ZUTF8String_7_0_0) || type == typeid(ZLCString_7_0_0)) {
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

// encode() writes forwards, walking the stored entries in the order they
// sit in memory. (Written from the end, each header after the content it
// measures, the walk had to visit the entries from the last: a third
// slower, as the processor fetches ahead along rising addresses only.) A
// header now comes before its content, so a node's size must be known
// before it is written:
//  - most nodes are a name with a few short values and no subtree. Such a
//    node is written in one pass, its lengths taken to fit one byte, and
//    kept if its content did stay within 127 bytes; otherwise it is written
//    again as below;
//  - any other top-level node is sized first, the content sizes of every
//    node below it recorded in the order the writing then meets them, so
//    that a value is read once to size it and once to copy it however deep
//    it lies (and once more before that when a short write is given up).
struct NameValueMapWireWriter {
  // Raised inside the walk with the status encode() reports.
  struct Stop {
    int status;
  };

  // The content sizes of one node's values and children. Each is at most
  // kMaxEncoding (sizing stops past that), so 32 bits hold it.
  struct Sizes {
    std::uint32_t values;
    std::uint32_t children;
  };

  unsigned char* base = nullptr;   // the block
  unsigned char* w = nullptr;      // where the next byte goes
  unsigned char* limit = nullptr;  // one past the block
  std::size_t headerRoom = 0;      // bytes left at the block's start for the outermost header
  std::uint64_t content = 0;       // the outermost content's length, once finished

  // The sizes of the nodes of one top-level node, in writing order. Trees
  // of a few dozen nodes need no allocation for them.
  static constexpr std::size_t kLocalSizes = 32;
  Sizes localSizes[kLocalSizes];
  Sizes* sizes = localSizes;
  std::size_t sizeCount = 0;
  std::size_t sizeCapacity = kLocalSizes;
  std::size_t nextSize = 0;

  NameValueMapWireWriter() = default;
  NameValueMapWireWriter(NameValueMapWireWriter const&) = delete;
  NameValueMapWireWriter& operator=(NameValueMapWireWriter const&) = delete;
  ~NameValueMapWireWriter() {
    std::free(base);
    if (sizes != localSizes) std::free(sizes);
  }

  // A block of `size` bytes, the first `room` of them kept for the
  // outermost header.
  void start(std::size_t size, std::size_t room) {
    base = static_cast<unsigned char*>(std::malloc(size));
    if (!base) throw Stop{ORN_ASN_E_NOMEM};
    limit = base + size;
    headerRoom = room;
    w = base + room;
  }

  // Room for `n` more bytes at w.
  void room(std::uint64_t n) {
    if (static_cast<std::uint64_t>(limit - w) < n) grow(n);
  }

  // Nothing past the largest encoding and its header is ever made room for.
  [[gnu::noinline]] void grow(std::uint64_t n) {
    std::size_t used = static_cast<std::size_t>(w - base);
    if (n > kMaxEncoding + 8 - used) throw Stop{ORN_ASN_E_TOO_BIG};
    std::size_t size = static_cast<std::size_t>(limit - base);
    std::size_t grown = size * 2 > used + n + 64 ? size * 2 : static_cast<std::size_t>(used + n + 64);
    auto* block = static_cast<unsigned char*>(std::realloc(base, grown));
    if (!block) throw Stop{ORN_ASN_E_NOMEM};
    base = block;
    w = block + used;
    limit = block + grown;
  }

  void write(const ZHashKeyMap_7_0_0& map) {
    if (map.bare()) return;
    std::uint32_t count = 0;
    const ZHashKeyMap_7_0_0::Entry* entries = map.entries(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!writeShortNode(entries[i])) writeSized(entries[i]);
    }
  }

  [[gnu::noinline]] void writeSized(const ZHashKeyMap_7_0_0::Entry& e) {
    sizeCount = 0;
    nextSize = 0;
    room(size(e, 1));
    writeNode(e);
  }

  static const NameValueEntry& entryOf(const ZHashKeyMap_7_0_0::Entry& e) {
    return *static_cast<const NameValueEntry*>(e.value.load(std::memory_order_relaxed));
  }

  // The entries of a subtree that has nodes, else null. An empty level is
  // no node at all, however deep.
  static const ZHashKeyMap_7_0_0::Entry* nodesBelow(const NameValueEntry& entry, std::uint32_t& count) {
    count = 0;
    const ZHashKeyMap_7_0_0& subtree = entry.subtree().map_;
    return subtree.bare() ? nullptr : subtree.entries(count);
  }

  // Writes the node of `e` when it has no nodes below and its values are
  // the foundation's UTF-8 strings, all in at most 127 bytes of content;
  // returns false, keeping nothing of what it wrote, for any other node.
  [[gnu::always_inline]] bool writeShortNode(const ZHashKeyMap_7_0_0::Entry& e) {
    const NameValueEntry& entry = entryOf(e);
    std::uint32_t below = 0;
    nodesBelow(entry, below);
    if (below) return false;
    // Content of 127 bytes and its 2-byte header at most. Where the block
    // has less left, the node is sized and given exactly the room it needs:
    // the block is not grown for bytes it may never hold.
    if (limit - w < 2 + 127) return false;
    unsigned char* const node = w;
    // Where the values must end, to leave 2 bytes for the empty children.
    unsigned char* const stop = node + 2 + 127 - 2;
    std::size_t nameLength = textLength(e.chars, e.length);
    if (nameLength > 127 - 6) return false;
    unsigned char* r = ornz::der::putOctetsAt(node + 2, e.chars, nameLength);
    unsigned char* const valuesHeader = r;
    r += 2;
    ZArrayList_7_0_0 const& values = entry.values();
    ZObject_7_0_0* const* items = values.elements();
    for (int v = 0, n = values.count(); v < n; ++v) {
      const ZObject_7_0_0* value = items[v];
      if (!value || typeid(*value) != typeid(ZUTF8String_7_0_0)) return false;
      auto const* text = static_cast<const ZAbstractString_7_0_0*>(value);
      std::size_t length = textLength(text->data(), text->size());
      if (length + 2 > static_cast<std::size_t>(stop - r)) return false;
      r = ornz::der::putOctetsAt(r, text->data(), length);
    }
    valuesHeader[0] = kTagSequence;
    valuesHeader[1] = static_cast<unsigned char>(r - valuesHeader - 2);
    r[0] = kTagSequence;
    r[1] = 0;
    r += 2;
    node[0] = kTagSequence;
    node[1] = static_cast<unsigned char>(r - node - 2);
    w = r;
    return true;
  }

  // The node's content from the sizes of its parts.
  static std::uint64_t contentOf(std::size_t name, std::uint64_t values, std::uint64_t children) {
    return headerSize(name) + name + headerSize(values) + values + headerSize(children) + children;
  }

  // The bytes of the node of `e` at `depth` (the top level is 1), header
  // included, after recording the sizes of it and of every node below it.
  std::uint64_t size(const ZHashKeyMap_7_0_0::Entry& e, int depth) {
    const NameValueEntry& entry = entryOf(e);
    std::size_t slot = sizeCount;
    if (sizeCount == sizeCapacity) moreSizes();
    ++sizeCount;
    std::uint64_t values = 0;
    ZArrayList_7_0_0 const& list = entry.values();
    ZObject_7_0_0* const* items = list.elements();
    for (int v = 0, n = list.count(); v < n; ++v) {
      std::size_t length;
      valueText(items[v], length);
      values += headerSize(length) + length;
      if (values > kMaxEncoding) throw Stop{ORN_ASN_E_TOO_BIG};
    }
    std::uint64_t children = 0;
    std::uint32_t count = 0;
    const ZHashKeyMap_7_0_0::Entry* below = nodesBelow(entry, count);
    if (count && depth + 1 > ORN_ASN_MAX_DEPTH) throw Stop{ORN_ASN_E_DEPTH};
    for (std::uint32_t i = 0; i < count; ++i) {
      children += size(below[i], depth + 1);
      if (children > kMaxEncoding) throw Stop{ORN_ASN_E_TOO_BIG};
    }
    std::uint64_t content = contentOf(textLength(e.chars, e.length), values, children);
    if (content > kMaxEncoding) throw Stop{ORN_ASN_E_TOO_BIG};
    sizes[slot] = Sizes{static_cast<std::uint32_t>(values), static_cast<std::uint32_t>(children)};
    return headerSize(content) + content;
  }

  [[gnu::noinline]] void moreSizes() {
    std::size_t capacity = sizeCapacity * 2;
    auto* grown = static_cast<Sizes*>(std::malloc(capacity * sizeof(Sizes)));
    if (!grown) throw Stop{ORN_ASN_E_NOMEM};
    std::memcpy(grown, sizes, sizeCount * sizeof(Sizes));
    if (sizes != localSizes) std::free(sizes);
    sizes = grown;
    sizeCapacity = capacity;
  }

  // Writes the node of `e`, sized by size(), into the room made for it.
  // Names and the foundation's strings read the same every time; a value
  // of some other class is asked for its text again, and one whose text
  // changed in between stops the encoding rather than write past its room.
  void writeNode(const ZHashKeyMap_7_0_0::Entry& e) {
    const NameValueEntry& entry = entryOf(e);
    Sizes sized = sizes[nextSize++];
    std::size_t nameLength = textLength(e.chars, e.length);
    w = ornz::der::putHeaderAt(w, kTagSequence, contentOf(nameLength, sized.values, sized.children));
    w = ornz::der::putOctetsAt(w, e.chars, nameLength);
    w = ornz::der::putHeaderAt(w, kTagSequence, sized.values);
    unsigned char* const valuesEnd = w + sized.values;
    ZArrayList_7_0_0 const& list = entry.values();
    ZObject_7_0_0* const* items = list.elements();
    for (int v = 0, n = list.count(); v < n; ++v) {
      std::size_t length;
      const char* text = valueText(items[v], length);
      auto left = static_cast<std::size_t>(valuesEnd - w);
      if (length > left || headerSize(length) > left - length) throw Stop{ORN_ASN_E_PARAM};
      w = ornz::der::putOctetsAt(w, text, length);
    }
    if (w != valuesEnd) throw Stop{ORN_ASN_E_PARAM};
    w = ornz::der::putHeaderAt(w, kTagSequence, sized.children);
    std::uint32_t count = 0;
    const ZHashKeyMap_7_0_0::Entry* below = sized.children ? nodesBelow(entry, count) : nullptr;
    for (std::uint32_t i = 0; i < count; ++i) writeNode(below[i]);
  }

  // The whole encoding, its header put in front, at the start of the
  // block, which the caller then owns. The block is cut down only when
  // much of it would be left over: a second block to copy into, or a block
  // cut to a size of its own on every call, would have the allocator hand
  // back memory to the system and map fresh pages on every call.
  unsigned char* finish(std::uint32_t& length) {
    content = static_cast<std::uint64_t>(w - base) - headerRoom;
    std::size_t header = headerSize(content);
    if (header + content > kMaxEncoding) throw Stop{ORN_ASN_E_TOO_BIG};
    if (header != headerRoom) {
      // The room kept was guessed from the previous encoding.
      if (header > headerRoom) room(header - headerRoom);
      std::memmove(base + header, base + headerRoom, content);
    }
    ornz::der::putHeaderAt(base, kTagSequence, content);
    length = static_cast<std::uint32_t>(header + content);
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
// begin with), never larger than kMaxGuess at first: past that it grows as
// needed, so a guess taken from a map of another shape never asks for much
// memory the encoding does not need. An encoding of as many names as the
// last one is expected to be just as long: its block is that length and an
// eighth, up to kMaxExpected, and the room for its outermost header is that
// length's; a map of that many names but far shorter texts gets its block
// cut down to its length.
thread_local std::uint64_t bytesPerName = 64;
thread_local std::uint64_t lastNames = ~std::uint64_t{0};
thread_local std::uint64_t lastLength = 0;
thread_local std::uint64_t lastContent = 0;
constexpr std::uint64_t kMaxGuess = 4u << 20;
constexpr std::uint64_t kMaxExpected = 64u << 20;
}  // namespace

void NameValueMap::encode(orn_asn_buffer_t& buffer, unsigned long& status) const {
  NameValueMapWireWriter writer;
  int result = ORN_ASN_OK;
  try {
    auto names = static_cast<std::uint64_t>(map_.size());
    if (names == lastNames && lastLength <= kMaxExpected) {
      writer.start(static_cast<std::size_t>(lastLength + lastLength / 8 + 64),
                   headerSize(lastContent));
    } else {
      std::uint64_t guess = 64 + names * bytesPerName * 9 / 8;
      std::size_t size = static_cast<std::size_t>(guess < kMaxGuess ? guess : kMaxGuess);
      writer.start(size, headerSize(size));
    }
    writer.write(map_);
    std::uint32_t length = 0;
    unsigned char* block = writer.finish(length);
    if (names) bytesPerName = length / names + 1 < kMaxGuess ? length / names + 1 : kMaxGuess;
    lastNames = names;
    lastLength = length;
    lastContent = writer.content;
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
  ornz::allOrNothing(kModule, __LINE__, [&] {
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
  }, [&] { freeMap(node); });
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
// each value copied once, into the object the list keeps. After the check
// only memory can run out; what was added by then is taken back:
//  - into an empty map, by emptying it again;
//  - into a map that held names, from a log of what changed at the levels
//    that existed before (a name made there, or the number of values a name
//    there had). The log costs a few words per node at those levels, where
//    copying the map first cost the whole map on every decode, however small
//    its input.
struct NameValueMap::DecodeLog {
  struct Change {
    NameValueMap* level;
    NameValueEntry* entry;  // a name that was there, else null
    const char* name;       // a name made: its bytes in the input
    std::size_t length;
    int count;  // the values the name had
    int depth;  // of the level, the map decoded into being 0
  };
  std::vector<Change> changes;
  int depth = 0;

  // Takes back every change; needs no memory.
  void undo() noexcept {
    for (Change const& c : changes) {
      if (!c.entry) continue;
      ZArrayList_7_0_0& values = c.entry->values();
      while (values.count() > c.count) values.remove(values.count() - 1);
    }
    // Names made are dropped level by level, each level swept once, the
    // deepest levels first: dropping a name drops the levels below it,
    // which must be done with by then.
    std::sort(changes.begin(), changes.end(), [](Change const& a, Change const& b) {
      return a.depth != b.depth ? a.depth > b.depth : std::less<NameValueMap*>()(a.level, b.level);
    });
    for (std::size_t i = 0; i < changes.size(); ++i) {
      Change const& c = changes[i];
      if (!c.entry) c.level->map_.markForRemoval(c.name, c.length);
      if (i + 1 == changes.size() || changes[i + 1].level != c.level) c.level->map_.sweepMarked();
    }
  }
};

void NameValueMap::decode(orn_asn_buffer_t& buffer, unsigned long& status) {
  ornz::der::TopLevel top;
  int result = ornz::der::checkList(buffer, top);
  status = static_cast<unsigned long>(static_cast<long>(result));
  if (result != 0 || top.count == 0) return;
  const unsigned char* first = top.first;
  const unsigned char* end = top.end;
  if (map_.size() == 0) {
    ornz::allOrNothing(kModule, __LINE__, [&] { decodeChecked(first, end, nullptr); }, [&] { map_.removeAll(); });
    return;
  }
  DecodeLog log;
  ornz::allOrNothing(kModule, __LINE__, [&] { decodeChecked(first, end, &log); }, [&] { log.undo(); });
}

void NameValueMap::decodeChecked(unsigned char const* first, unsigned char const* end, DecodeLog* log) {
  ornz::der::Cursor level(ornz::der::Bytes{first, end});
  while (!level.atEnd()) {
    ornz::der::Node node;
    ornz::der::readNode(level, node);
    const char* name = node.name.chars();
    auto* entry = static_cast<NameValueEntry*>(map_.find(name, node.name.size()));
    // Below a name this node makes, nothing needs a log: dropping the name
    // drops it all. (A later node of the same name finds it made, and logs.)
    DecodeLog* below = log;
    if (!entry) {
      if (log) log->changes.push_back({this, nullptr, name, node.name.size(), 0, log->depth});
      entry = adoptEntry(name, node.name.size(), makeEntry());
      below = nullptr;
    } else if (log) {
      log->changes.push_back({this, entry, nullptr, 0, entry->values().count(), log->depth});
    }

    if (!node.values.atEnd()) {
      // The texts were checked with the rest: element() skips the NUL scan.
      ZArrayList_7_0_0& values = entry->values();
      ornz::der::Bytes text;
      if (values.count() == 0) {
        // One exact reservation for a name's first values: a list grown by
        // doubling would hold up to twice the slots it needs. Later values
        // of a name sent in many nodes grow it by doubling, as reserving
        // exactly for each node would copy the whole list each time.
        std::size_t count = 0;
        for (ornz::der::Cursor c = node.values; !c.atEnd(); ++count) c.element(ornz::der::kTagOctetString, text);
        // A list counts in int: values past that are memory it cannot have.
        if (count > static_cast<std::size_t>(INT_MAX)) ornz::throwOutOfMemory(kModule, __LINE__);
        values.reserve(static_cast<int>(count));
      }
      while (!node.values.atEnd()) {
        node.values.element(ornz::der::kTagOctetString, text);
        ZUTF8ConstString_7_0_0 view(text.chars(), text.size());
        values.add(&view);
      }
    }
    if (!node.children.atEnd()) {
      if (below) ++below->depth;
      entry->subtree().decodeChecked(node.children.position(), node.children.end(), below);
      if (below) --below->depth;
    }
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

namespace {

// Logical source lines of the flattening's raise (the trace; the exception
// is one on).
constexpr int kLineFlattenedNamesCollide = 596;

[[noreturn]] void raiseFlattenedNamesCollide() {
  if (orn_svc_debug_level(orn_ras_svc_handle, 3) > 8)
    orn_svc__debug_utf8_withfile(orn_ras_svc_handle, kModule, kLineFlattenedNamesCollide, 3, 9,
                                 "%s Exception thrown. \n", "ZInvalidParameterException");
  ZInvalidParameterException_7_0_0 exception;
  exception.throwException(kModule, kLineFlattenedNamesCollide + 1);
}

NameValueEntry const& entryAt(const ZHashKeyMap_7_0_0::Entry& stored) {
  return *static_cast<NameValueEntry const*>(stored.value.load(std::memory_order_relaxed));
}

bool holdsText(NameValueEntry const& entry) {
  ZArrayList_7_0_0 const& values = entry.values();
  for (int v = 0; v < values.size(); ++v)
    if (dynamic_cast<ZAbstractString_7_0_0 const*>(values.get(v))) return true;
  return false;
}

// Flattening joins a subtree's name and its names without a separator
// ("a" over "b" gives "ab", which callers rely on), and an attribute list
// holds names equal after ASCII upper-casing as one attribute. So two places
// in the tree can meet in one attribute ("ab" beside "a" over "b") and their
// values would be mixed without a trace. Each attribute name is kept with
// the places where its parts were joined: a name met again with other joins
// is such a collision. Names met again with the same joins differ at most in
// letter case at the same places, and merge as the list merges them anywhere.
class FlattenedNames {
 public:
  // Raises when two places of `map`, under `prefix`, meet in one attribute.
  void check(const NameValueMap& map, const char* prefix) {
    std::size_t length = prefix ? std::strlen(prefix) : 0;
    path_.assign(prefix ? prefix : "", length);
    joins_.clear();
    walk(map);
  }

 private:
  void walk(const NameValueMap& map) {
    std::uint32_t count = 0;
    const ZHashKeyMap_7_0_0::Entry* entries = map.entries(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::size_t const pathLength = path_.size();
      std::size_t const joinsLength = joins_.size();
      joins_.append(reinterpret_cast<const char*>(&pathLength), sizeof pathLength);
      path_.append(entries[i].chars, entries[i].length);
      NameValueEntry const& entry = entryAt(entries[i]);
      if (holdsText(entry)) note();
      walk(entry.subtree());
      path_.resize(pathLength);
      joins_.resize(joinsLength);
    }
  }

  void note() {
    std::string key = path_;
    for (char& c : key)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    auto placed = seen_.emplace(std::move(key), joins_);
    if (!placed.second && placed.first->second != joins_) raiseFlattenedNamesCollide();
  }

  std::string path_;   // the attribute name being formed
  std::string joins_;  // where its parts were joined (their offsets)
  std::unordered_map<std::string, std::string> seen_;
};

// Adds the tree's text values under their joined names.
void flatten(const NameValueMap& map, attrlist_s_t& list, ZUTF8String_7_0_0& name) {
  std::uint32_t count = 0;
  const ZHashKeyMap_7_0_0::Entry* entries = map.entries(count);
  std::size_t const prefixLength = name.getLength();
  for (std::uint32_t i = 0; i < count; ++i) {
    NameValueEntry const& entry = entryAt(entries[i]);
    name.assign(name.getChars(), prefixLength);
    name.append(entries[i].chars, entries[i].length);
    ZArrayList_7_0_0 const& values = entry.values();
    for (int v = 0; v < values.size(); ++v) {
      auto const* text = dynamic_cast<ZAbstractString_7_0_0 const*>(values.get(v));
      if (!text) continue;
      value_s_t value = {ATTR_VALUE_STRING, const_cast<char*>(text->getChars()), 0, nullptr};
      attrlist_add_entry(&list, const_cast<char*>(name.getChars()), &value);
    }
    flatten(entry.subtree(), list, name);
  }
  name.assign(name.getChars(), prefixLength);
}

}  // namespace

void NameValueMap::toAttrlist(attrlist_s_t& list) const { toAttrlistInternal(list, nullptr); }

void NameValueMap::toAttrlistInternal(attrlist_s_t& list, char const* prefix) const {
  // Checked whole before the first value goes in, so that a refused tree
  // adds nothing. The walks read the stored entries directly (see fillNode)
  // and add to `list` only, so the entries stay where they are.
  ornz::reportingMemory(kModule, __LINE__, [&] { FlattenedNames().check(*this, prefix); });
  ZUTF8String_7_0_0 name(prefix ? prefix : "");
  flatten(*this, list, name);
}
