// NameValueMap's trace text, with the values of secret names masked, also
// inside values that hold encoded trees (nested objects, object arrays,
// attribute lists stored as objects).
//
// Which values are trees. The tree keeps every value as text and records no
// type, so a value's kind is read from the value itself and from the
// attribute-list layout around it:
//
//   - A value that is Base64 exactly as the tree writes byte buffers
//     (standard alphabet, "=" padding, nothing else) of bytes the wire
//     decoder accepts is an encoded tree. It is rendered as a tree, with the
//     same rules at every level, in place of its text. Plain texts are left
//     alone: a tree's bytes start with a SEQUENCE tag, so its Base64 starts
//     with 'M' and has a length that is a multiple of 4, and only a text that
//     decodes to a whole valid encoding is taken for one.
//   - A value is expected to be a tree when its bytes have the outside of an
//     encoding (one SEQUENCE spanning them exactly) though the decoder
//     refuses its inside (nested too deep, a NUL in a text, ...), and when an
//     attribute-list layout gives it the code of an encoded object (3). Such
//     a value that does not decode is masked: its secrets, if any, cannot be
//     found by name, so it is never shown raw.
//   - An attribute-list layout under a prefix P (P + "attrlistnames" naming
//     the attributes) makes P + N the values of attribute N: they are masked
//     when N is a secret name, or when N is "value" and the list's own
//     "obfuscate" attribute is "true".
//
// Nested trees are entered only while they start at most ORN_ASN_MAX_DEPTH
// levels (subtrees and nested trees together) below the map being rendered,
// the bound the wire decoder puts on one encoding; deeper, a value that is
// or should be a tree is masked. So a hostile value of trees inside trees
// costs bounded recursion.
//
// One renderer serves two kinds of level: a map's (buildTraceBuf) and an
// encoded tree's, read in place from its bytes (nested trees, and
// traceEncoded, which renders a whole encoding without building the map).
// A level of an encoding is what decode() would make of it: nodes of one
// name merge into one entry at the place of the first, their values in
// order and their children into one subtree. The index of a level keeps a
// few 32-bit numbers per node, so an encoding renders in little more memory
// than its own bytes.
#include "util/NameValueMap.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "foundation/internal/hash.h"
#include "foundation/internal/ornasn_der.h"
#include "foundation/zexception.h"
#include "util/mime64_new.h"

ZHashMap_7_0_0* NameValueMap::namesNotToTrace = nullptr;
pthread_once_t NameValueMap::inst_once = PTHREAD_ONCE_INIT;

// The once-routine: pthread_once takes a C function.
extern "C" ORNUTIL_LOCAL void NameValueMap_c_initializeNamesNotToTrace() {
  NameValueMap::initializeNamesNotToTrace();
}

namespace {

const char kModule[] = "util/NameValueMap";
const char kMask[] = "******";
const char kValueBreak[] = "\n\t\t\t\t";
// A value's indent when the value before it ended its own line (a tree).
const char kValueIndent[] = "\t\t\t\t";
// Stands in a value's place, followed by the value's tree one level deeper.
const char kObjectMark[] = "(object)";
const char kListNamesSuffix[] = "attrlistnames";
const char kListTypeSuffix[] = "attrlistvaltype";

// Levels below the rendered map at which a nested tree may still start.
constexpr int kMaxNesting = ORN_ASN_MAX_DEPTH;

// A text of either kind of level; `p` is null for a value that is not a
// string (a map may hold other objects), which is left out.
struct Span {
  const char* p = nullptr;
  std::size_t n = 0;
};

bool isText(Span s, const char* text) { return s.p && s.n == std::strlen(text) && std::memcmp(s.p, text, s.n) == 0; }

std::string toString(Span s) { return std::string(s.p, s.n); }

// ---------------------------------------------------------------- a map's level

Span textOf(const ZObject_7_0_0* object) {
  auto const* s = dynamic_cast<ZAbstractString_7_0_0 const*>(object);
  return s ? Span{s->getChars(), s->getLength()} : Span{};
}

// Entries are reached by their name's C text, as the map's readers do.
class MapLevel {
 public:
  using Ref = const char*;

  class Values {
   public:
    Values(const ZArrayList_7_0_0* list) : list_(list) {}
    bool next(Span& text) {
      if (!list_ || i_ >= list_->size()) return false;
      text = textOf(list_->get(i_++));
      return true;
    }

   private:
    const ZArrayList_7_0_0* list_;
    int i_ = 0;
  };

  // The stored names, not getNames: a trace must not leave key strings
  // behind in the map it renders.
  explicit MapLevel(const NameValueMap& map) : map_(map), entries_(map.entries(count_)) {}

  std::size_t size() const { return count_; }
  Ref ref(std::size_t i) const { return entries_[i].chars; }
  Span name(std::size_t i) const { return Span{entries_[i].chars, entries_[i].length}; }
  bool subtreeHasNames(Ref r) const { return map_.getSubtreeCount(r) != 0; }
  std::size_t valueCount(Ref r) const { return map_.getValueCount(r); }
  Values values(Ref r) const { return Values(map_.getValues(r)); }
  MapLevel subtree(Ref r) const { return MapLevel(*map_.getSubtree(r)); }
  // The name's entry, found by its C text (which must outlive `r`).
  bool find(const std::string& name, Ref& r) const {
    r = name.c_str();
    return map_.getValues(r) != nullptr;
  }

 private:
  const NameValueMap& map_;
  std::uint32_t count_ = 0;
  const ZHashKeyMap_7_0_0::Entry* entries_;
};

// ---------------------------------------------------------------- an encoding's level

// The parts of one checked node.
struct Node {
  Span name;
  const unsigned char* values;
  const unsigned char* valuesEnd;
  const unsigned char* children;
  const unsigned char* childrenEnd;
};

Node parseNode(const unsigned char* at) {
  ornz::der::Reader r{at};
  r.enterChecked();
  const unsigned char *name, *nameEnd;
  r.skipChecked(name, nameEnd);
  Node node;
  node.name = Span{reinterpret_cast<const char*>(name), static_cast<std::size_t>(nameEnd - name)};
  node.valuesEnd = r.enterChecked();
  node.values = r.p;
  r.p = node.valuesEnd;
  node.childrenEnd = r.enterChecked();
  node.children = r.p;
  return node;
}

template <class T>
void pushOrThrow(std::vector<T>& v, T x) {
  try {
    v.push_back(x);
  } catch (const std::bad_alloc&) {
    ornz::throwOutOfMemory(kModule, __LINE__);
  }
}

// The merged names of one or more runs of checked nodes (a node list, or
// the children of every node of one name).
class WireLevel {
 public:
  using Ref = std::size_t;

  struct Run {
    const unsigned char* begin;
    const unsigned char* end;
  };

  class Values {
   public:
    Values(const WireLevel& level, std::uint32_t occurrence) : level_(level), occurrence_(occurrence) {}
    bool next(Span& text) {
      while (r_.p == end_) {
        if (occurrence_ == kNone) return false;
        Node node = parseNode(level_.at(occurrence_));
        r_.p = node.values;
        end_ = node.valuesEnd;
        occurrence_ = level_.next_[occurrence_];
      }
      const unsigned char *start, *stop;
      r_.skipChecked(start, stop);
      text = Span{reinterpret_cast<const char*>(start), static_cast<std::size_t>(stop - start)};
      return true;
    }

   private:
    const WireLevel& level_;
    std::uint32_t occurrence_;
    ornz::der::Reader r_{nullptr};
    const unsigned char* end_ = nullptr;
  };

  WireLevel(const unsigned char* base, const std::vector<Run>& runs) : base_(base) {
    std::size_t nodes = 0;
    for (const Run& run : runs)
      for (ornz::der::Reader r{run.begin}; r.p < run.end; ++nodes) {
        const unsigned char *a, *b;
        r.skipChecked(a, b);
      }
    try {
      offsets_.reserve(nodes);
      next_.reserve(nodes);
      std::size_t slots = 8;
      while (slots < nodes * 2) slots <<= 1;
      table_.assign(slots, kNone);
    } catch (const std::bad_alloc&) {
      ornz::throwOutOfMemory(kModule, __LINE__);
    }
    std::size_t mask = table_.size() - 1;
    for (const Run& run : runs) {
      for (ornz::der::Reader r{run.begin}; r.p < run.end;) {
        const unsigned char* node = r.p;
        const unsigned char *a, *b;
        r.skipChecked(a, b);
        auto occurrence = static_cast<std::uint32_t>(offsets_.size());
        offsets_.push_back(static_cast<std::uint32_t>(node - base_));
        next_.push_back(kNone);
        Span name = parseNode(node).name;
        std::size_t s = ornz::hashText(name.p, name.n) & mask;
        for (;; s = (s + 1) & mask) {
          std::uint32_t d = table_[s];
          if (d == kNone) {
            table_[s] = static_cast<std::uint32_t>(first_.size());
            pushOrThrow(first_, occurrence);
            pushOrThrow(last_, occurrence);
            break;
          }
          Span other = parseNode(at(first_[d])).name;
          if (other.n == name.n && std::memcmp(other.p, name.p, name.n) == 0) {
            next_[last_[d]] = occurrence;
            last_[d] = occurrence;
            break;
          }
        }
      }
    }
  }

  std::size_t size() const { return first_.size(); }
  Ref ref(std::size_t i) const { return i; }
  Span name(std::size_t i) const { return parseNode(at(first_[i])).name; }
  bool subtreeHasNames(std::size_t i) const {
    for (std::uint32_t o = first_[i]; o != kNone; o = next_[o]) {
      Node node = parseNode(at(o));
      if (node.children < node.childrenEnd) return true;
    }
    return false;
  }
  std::size_t valueCount(std::size_t i) const {
    std::size_t count = 0;
    for (std::uint32_t o = first_[i]; o != kNone; o = next_[o]) {
      Node node = parseNode(at(o));
      for (ornz::der::Reader r{node.values}; r.p < node.valuesEnd; ++count) {
        const unsigned char *a, *b;
        r.skipChecked(a, b);
      }
    }
    return count;
  }
  Values values(std::size_t i) const { return Values(*this, first_[i]); }
  WireLevel subtree(std::size_t i) const {
    std::vector<Run> runs;
    for (std::uint32_t o = first_[i]; o != kNone; o = next_[o]) {
      Node node = parseNode(at(o));
      if (node.children < node.childrenEnd) pushOrThrow(runs, Run{node.children, node.childrenEnd});
    }
    return WireLevel(base_, runs);
  }
  bool find(const std::string& name, Ref& r) const {
    std::size_t mask = table_.size() - 1;
    for (std::size_t s = ornz::hashText(name.data(), name.size()) & mask;; s = (s + 1) & mask) {
      std::uint32_t d = table_[s];
      if (d == kNone) return false;
      Span other = parseNode(at(first_[d])).name;
      if (other.n == name.size() && std::memcmp(other.p, name.data(), other.n) == 0) {
        r = d;
        return true;
      }
    }
  }

 private:
  static constexpr std::uint32_t kNone = 0xffffffffu;
  const unsigned char* at(std::uint32_t occurrence) const { return base_ + offsets_[occurrence]; }

  const unsigned char* base_;
  std::vector<std::uint32_t> offsets_;  // per node: where it starts
  std::vector<std::uint32_t> next_;     // per node: the next node of its name
  std::vector<std::uint32_t> first_;    // per name, in order: its first node
  std::vector<std::uint32_t> last_;     // per name: its last node so far
  std::vector<std::uint32_t> table_;    // hash slots: name numbers
};

// The level of a whole checked encoding.
WireLevel topLevel(const unsigned char* data, const unsigned char* first, const unsigned char* end) {
  std::vector<WireLevel::Run> runs;
  pushOrThrow(runs, WireLevel::Run{first, end});
  return WireLevel(data, runs);
}

// ---------------------------------------------------------------- outputs

class StringOut {
 public:
  explicit StringOut(ZUTF8String_7_0_0& out) : out_(out) {}
  void append(const char* text, std::size_t length) { out_.append(text, length); }

 private:
  ZUTF8String_7_0_0& out_;
};

// Hands the text on in pieces of up to 64 KiB.
class StreamOut {
 public:
  StreamOut(void (*write)(void*, char const*, std::size_t), void* context) : write_(write), context_(context) {}
  ~StreamOut() = default;
  void append(const char* text, std::size_t length) {
    while (length) {
      std::size_t room = sizeof buffer_ - used_;
      std::size_t n = length < room ? length : room;
      std::memcpy(buffer_ + used_, text, n);
      used_ += n;
      text += n;
      length -= n;
      if (used_ == sizeof buffer_) flush();
    }
  }
  void flush() {
    if (used_) write_(context_, buffer_, used_);
    used_ = 0;
  }

 private:
  void (*write_)(void*, char const*, std::size_t);
  void* context_;
  std::size_t used_ = 0;
  char buffer_[1 << 16];
};

template <class Out>
void appendText(Out& out, const char* text) {
  out.append(text, std::strlen(text));
}

template <class Out>
void appendIndent(Out& out, int depth) {
  for (int i = 0; i <= depth; ++i) out.append("\t", 1);
}

template <class Out>
void appendNumber(Out& out, std::size_t number) {
  char digits[24];
  int n = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(number));
  out.append(digits, static_cast<std::size_t>(n));
}

// ---------------------------------------------------------------- what a value holds

struct MallocBlock {
  char* block = nullptr;
  ~MallocBlock() { std::free(block); }
};

// The bytes of a text that is Base64 exactly as the tree writes it (what
// mime64_new_encode makes of them). The decoder skips what it does not know,
// so the text is checked by encoding the bytes again.
bool storedBase64(Span text, std::string& bytes) {
  std::size_t length = text.n;
  if (length == 0 || length % 4 != 0) return false;
  MallocBlock decoded;
  unsigned long count = 0;
  mime64_new_decode(text.p, length, &decoded.block, &count);
  // Without memory a value that may hold a tree cannot be told from one that
  // does not: stop rather than show it.
  if (!decoded.block) ornz::throwOutOfMemory(kModule, __LINE__);
  MallocBlock again;
  again.block = mime64_new_encode(reinterpret_cast<unsigned char const*>(decoded.block), count);
  if (!again.block) ornz::throwOutOfMemory(kModule, __LINE__);
  if (std::strlen(again.block) != length || std::memcmp(again.block, text.p, length) != 0) return false;
  bytes.assign(decoded.block, count);
  return true;
}

// Whether the bytes are one SEQUENCE whose length spans them exactly: the
// outside of an encoded tree, whatever its inside.
bool hasTreeOutside(std::string const& bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0x30) return false;
  std::size_t header = 2;
  uint64_t length = static_cast<unsigned char>(bytes[1]);
  if (length & 0x80) {
    std::size_t count = length & 0x7f;
    if (count == 0 || count > 8 || bytes.size() < header + count) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | static_cast<unsigned char>(bytes[header + i]);
    header += count;
  }
  return length == bytes.size() - header;
}

enum class ValueKind {
  kPlain,       // shown as its text
  kTree,        // an encoded tree, rendered as one
  kUnreadable,  // should be a tree but does not decode: masked
};

// What a value holds; for kTree, `bytes` holds the encoding and `first` and
// `end` bound its top-level nodes.
ValueKind classify(Span text, bool treeExpected, std::string& bytes, const unsigned char*& first,
                   const unsigned char*& end) {
  // Every encoding starts with the SEQUENCE tag 0x30, which Base64 writes as
  // 'M': most plain values go no further.
  if (!treeExpected && (text.n < 4 || text.p[0] != 'M')) return ValueKind::kPlain;
  if (!storedBase64(text, bytes)) return treeExpected ? ValueKind::kUnreadable : ValueKind::kPlain;
  orn_asn_buffer_t buffer{bytes.size(), reinterpret_cast<unsigned char*>(&bytes[0])};
  ornz::der::NoCount none;
  std::uint64_t top = 0;
  if (ornz::der::checkList(buffer, none, first, end, top) == 0) return ValueKind::kTree;
  return treeExpected || hasTreeOutside(bytes) ? ValueKind::kUnreadable : ValueKind::kPlain;
}

// ---------------------------------------------------------------- attribute-list layouts

// What the attribute-list layouts of one level say about its names.
struct ListLayouts {
  // Value keys (prefix + attribute name) whose values are masked.
  std::unordered_set<std::string> masked;
  // Value keys with, per value, whether it should be an encoded tree.
  std::unordered_map<std::string, std::vector<bool>> trees;

  bool treeExpected(std::string const& key, std::size_t index) const {
    auto found = trees.find(key);
    return found != trees.end() && index < found->second.size() && found->second[index];
  }
};

template <class Level>
bool firstValueIsTrue(const Level& level, const std::string& name) {
  typename Level::Ref r;
  if (!level.find(name, r) || level.subtreeHasNames(r)) return false;
  auto values = level.values(r);
  Span first;
  return values.next(first) && isText(first, "true");
}

// Which values of `key` should be encoded trees, from its type codes. When
// every value has its code (as OrnObject writes lists) the pairing is by
// position; otherwise it is uncertain, and every value of an attribute with
// an object code is taken for a tree.
template <class Level>
std::vector<bool> treePositions(const Level& level, std::string const& key) {
  std::vector<bool> positions;
  std::string const codesKey = key + kListTypeSuffix;
  typename Level::Ref values, codes;
  if (!level.find(key, values) || !level.find(codesKey, codes)) return positions;
  bool anyObject = false;
  auto cursor = level.values(codes);
  for (Span code; cursor.next(code);) {
    bool object = code.p && std::strtoul(toString(code).c_str(), nullptr, 10) == ATTR_VALUE_POBJ;
    positions.push_back(object);
    anyObject = anyObject || object;
  }
  if (!anyObject) return {};
  std::size_t valueCount = level.valueCount(values);
  if (positions.size() != valueCount) positions.assign(valueCount, true);
  return positions;
}

template <class Level>
ListLayouts listLayouts(const Level& level, ZHashMap_7_0_0 const& secrets) {
  ListLayouts layouts;
  std::size_t const suffixLength = std::strlen(kListNamesSuffix);
  for (std::size_t i = 0; i < level.size(); ++i) {
    Span key = level.name(i);
    if (key.n < suffixLength || std::memcmp(key.p + key.n - suffixLength, kListNamesSuffix, suffixLength) != 0)
      continue;
    std::string const prefix(key.p, key.n - suffixLength);
    // The list's own "obfuscate" flag masks its "value", as at a level.
    bool obfuscate = false;
    auto attributes = level.values(level.ref(i));
    for (Span attribute; attributes.next(attribute);)
      if (isText(attribute, "obfuscate")) obfuscate = firstValueIsTrue(level, prefix + "obfuscate");
    auto again = level.values(level.ref(i));
    for (Span attribute; again.next(attribute);) {
      if (!attribute.p) continue;
      std::string const valueKey = prefix + toString(attribute);
      if (secrets.contains(ZUTF8ConstString_7_0_0(attribute.p, attribute.n)) ||
          (obfuscate && isText(attribute, "value")))
        layouts.masked.insert(valueKey);
      std::vector<bool> positions = treePositions(level, valueKey);
      if (!positions.empty()) layouts.trees[valueKey] = std::move(positions);
    }
  }
  return layouts;
}

// ---------------------------------------------------------------- the renderer

template <class Out>
void renderEncoded(Out& out, const unsigned char* data, const unsigned char* first, const unsigned char* end,
                   int depth, int nesting);

template <class Level, class Out>
void renderLevel(const Level& level, Out& out, int depth, int nesting) {
  ZHashMap_7_0_0 const& secrets = *NameValueMap::namesNotToTrace;
  std::size_t count = level.size();

  appendIndent(out, depth);
  appendText(out, "number of entries = ");
  appendNumber(out, count);
  out.append("\n", 1);
  if (count == 0) return;

  // "obfuscate" = "true" masks this level's "value" (not deeper levels').
  bool obfuscate = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (!level.subtreeHasNames(level.ref(i)) && isText(level.name(i), "obfuscate")) {
      auto values = level.values(level.ref(i));
      Span first;
      obfuscate = values.next(first) && isText(first, "true");
    }
  }
  ListLayouts const layouts = listLayouts(level, secrets);

  for (std::size_t i = 0; i < count; ++i) {
    Span name = level.name(i);
    typename Level::Ref ref = level.ref(i);
    if (level.subtreeHasNames(ref)) {
      out.append("\t", 1);
      out.append(name.p, name.n);
      appendText(out, " is a subtree\n");
      renderLevel(level.subtree(ref), out, depth + 1, nesting + 1);
      continue;
    }
    std::size_t valueCount = level.valueCount(ref);
    appendIndent(out, depth);
    appendText(out, "num values = ");
    appendNumber(out, valueCount);
    out.append("\t", 1);
    out.append(name.p, name.n);
    appendText(out, " = ");
    std::string const key = toString(name);
    bool masked = secrets.contains(ZUTF8ConstString_7_0_0(name.p, name.n)) ||
                  (obfuscate && isText(name, "value")) || layouts.masked.count(key) != 0;
    bool signon = isText(name, "resourceuserid");
    if (valueCount > 1) appendText(out, kValueBreak);
    // A tree ends its own line; the next value then needs only its indent.
    bool lineEnded = false;
    auto values = level.values(ref);
    std::size_t v = 0;
    for (Span text; values.next(text); ++v) {
      if (v > 0) appendText(out, lineEnded ? kValueIndent : kValueBreak);
      lineEnded = false;
      if (masked) {
        appendText(out, kMask);
        continue;
      }
      if (!text.p) continue;
      std::string bytes;
      const unsigned char* treeFirst = nullptr;
      const unsigned char* treeEnd = nullptr;
      ValueKind kind = classify(text, layouts.treeExpected(key, v), bytes, treeFirst, treeEnd);
      if (kind == ValueKind::kUnreadable || (kind == ValueKind::kTree && nesting >= kMaxNesting)) {
        appendText(out, kMask);
      } else if (kind == ValueKind::kTree) {
        appendText(out, kObjectMark);
        out.append("\n", 1);
        renderEncoded(out, reinterpret_cast<const unsigned char*>(bytes.data()), treeFirst, treeEnd, depth + 1,
                      nesting + 1);
        lineEnded = true;
      } else if (signon && isText(text, "-signon@%null")) {
        appendText(out, "-signon@null");
      } else {
        out.append(text.p, text.n);
      }
    }
    if (!lineEnded) out.append("\n", 1);
  }
}

template <class Out>
void renderEncoded(Out& out, const unsigned char* data, const unsigned char* first, const unsigned char* end,
                   int depth, int nesting) {
  renderLevel(topLevel(data, first, end), out, depth, nesting);
}

}  // namespace

void NameValueMap::initializeNamesNotToTrace() {
  // Runs once and is never undone: the set and its elements live as long as
  // the process. A failure here leaves the set unbuilt; tracing then stops
  // with the exception rather than show a secret.
  ZHashMap_7_0_0* names = new ZHashMap_7_0_0(10, 0);
  if (!names) return;
  for (const char* name : {"resourcepassword", "pwd", "password", "server_pwd"}) {
    auto* element = new ZUTF8ConstString_7_0_0(name);
    if (!element) return;
    names->add(element);
  }
  namesNotToTrace = names;
}

void NameValueMap::buildTraceBuf(ZUTF8String_7_0_0& out, int depth) const {
  pthread_once(&inst_once, NameValueMap_c_initializeNamesNotToTrace);
  if (!namesNotToTrace) ornz::throwOutOfMemory(kModule, __LINE__);
  StringOut text(out);
  try {
    renderLevel(MapLevel(*this), text, depth, 0);
  } catch (const std::bad_alloc&) {
    ornz::throwOutOfMemory(kModule, __LINE__);
  }
}

void NameValueMap::traceEncoded(orn_asn_buffer_t const& buffer, int depth,
                                void (*write)(void* context, char const* text, std::size_t length), void* context,
                                unsigned long& status) {
  ornz::der::NoCount none;
  const unsigned char* first = nullptr;
  const unsigned char* end = nullptr;
  std::uint64_t top = 0;
  int result = ornz::der::checkList(buffer, none, first, end, top);
  status = static_cast<unsigned long>(static_cast<long>(result));
  if (result != 0) return;
  pthread_once(&inst_once, NameValueMap_c_initializeNamesNotToTrace);
  if (!namesNotToTrace) ornz::throwOutOfMemory(kModule, __LINE__);
  // The renderer's buffer is too large for the stack of a caller's thread.
  std::unique_ptr<StreamOut> out(new (std::nothrow) StreamOut(write, context));
  if (!out) ornz::throwOutOfMemory(kModule, __LINE__);
  try {
    renderEncoded(*out, buffer.data, first, end, depth, 0);
  } catch (const std::bad_alloc&) {
    ornz::throwOutOfMemory(kModule, __LINE__);
  }
  out->flush();
}
