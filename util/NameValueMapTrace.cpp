// NameValueMap's trace text, with the values of secret names masked, also
// inside values that hold encoded trees (nested objects, object arrays,
// attribute lists stored as objects).
//
// Which values are trees. The tree keeps every value as text and records no
// type, so a value's kind is read from the value itself and from the
// attribute-list layout around it (KelCore/internal/attrlist_layout.h):
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
// Cost follows the input, whatever its shape (a daemon traces what peers
// send). The layouts of a level are worked out once, before its names are
// rendered: every list's attribute names are taken once each however often
// they repeat, a key P + N is found by continuing the hash of P with N
// (never by building P + N), every type-code list is read once, and the
// rendering then looks each name's facts up by its position. Nested trees are
// entered only while they start at most ORN_ASN_MAX_DEPTH levels (subtrees
// and nested trees together) below the map being rendered, the bound the wire
// decoder puts on one encoding; deeper, a value that is or should be a tree
// is masked. So a hostile value of trees inside trees costs bounded
// recursion.
//
// One renderer serves two kinds of level: a map's (buildTraceBuf) and an
// encoded tree's, read in place from its bytes (nested trees, and
// traceEncoded, which renders a whole encoding without building the map).
// A level of an encoding is what decode() would make of it: nodes of one
// name merge into one entry at the place of the first, their values in
// order and their children into one subtree. The index of a level keeps a
// few 32-bit words per node (seven, and two per hash slot, of which there
// are two to four a node), in one block shared by the levels on the
// current path: about 2 bytes per input byte for typical trees, under 7 for
// encodings of tiny nodes.
#include "util/NameValueMap.h"

#include <sys/random.h>
#include <time.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <typeinfo>
#include <vector>

#include "KelCore/internal/attrlist_layout.h"
#include "foundation/internal/hash.h"
#include "foundation/internal/memoryrule.h"
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

// Levels below the rendered map at which a nested tree may still start.
constexpr int kMaxNesting = ORN_ASN_MAX_DEPTH;

// A text of either kind of level; `p` is null for a value that is not a
// string (a map may hold other objects), which is left out.
struct Span {
  const char* p = nullptr;
  std::size_t n = 0;
};

template <std::size_t N>
bool isText(Span s, const char (&text)[N]) {
  return s.p && s.n == N - 1 && std::memcmp(s.p, text, N - 1) == 0;
}

// ---------------------------------------------------------------- the names not to trace

// The names whose values are never shown, compared exactly. A fixed table:
// telling a secret name needs no memory, so no trace can fail for it.
const Span kSecretNames[] = {
    {"resourcepassword", 16},
    {"pwd", 3},
    {"password", 8},
    {"server_pwd", 10},
};

bool isSecretName(Span name) {
  if (!name.p) return false;
  for (const Span& secret : kSecretNames)
    if (name.n == secret.n && std::memcmp(name.p, secret.p, name.n) == 0) return true;
  return false;
}

// ---------------------------------------------------------------- a keyed hash that continues

// A polynomial hash modulo the prime 2^61 - 1 at a base drawn once per
// process. It can be continued: the hash of P + N comes from the hash of P
// and the bytes of N alone, so a level's list keys are found without
// joining a long prefix to every attribute name. Two different texts of at
// most L bytes collide for at most L of the 2^61 bases (a polynomial of
// degree L has at most L roots), so with a secret base no one can aim at it.
constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;

std::uint64_t mulMod(std::uint64_t a, std::uint64_t b) {
  // a stays below 2^62 and b below 2^61, so two folds bring the product
  // under 2^61 + 4.
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  std::uint64_t folded = (static_cast<std::uint64_t>(r) & kPrime) + static_cast<std::uint64_t>(r >> 61);
  folded = (folded & kPrime) + (folded >> 61);
  return folded >= kPrime ? folded - kPrime : folded;
}

std::uint64_t drawBase() {
  std::uint64_t word = 0;
  if (getrandom(&word, sizeof word, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof word)) {
    // Early in boot the pool may not be ready: the clock and an address
    // still keep the base from being known in advance.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    word = ornz::mum(static_cast<std::uint64_t>(now.tv_nsec) ^ reinterpret_cast<std::uintptr_t>(&now),
                     0x9e3779b97f4a7c15ull ^ static_cast<std::uint64_t>(now.tv_sec));
  }
  // Away from 0 and 1, where every text of one length would collide.
  return 256 + word % (kPrime - 512);
}

std::uint64_t hashBase() {
  static const std::uint64_t base = drawBase();
  return base;
}

// The hash after `h` continued with the text.
std::uint64_t continueHash(std::uint64_t h, const char* text, std::size_t length) {
  const std::uint64_t base = hashBase();
  for (std::size_t i = 0; i < length; ++i)
    h = mulMod(h, base) + static_cast<unsigned char>(text[i]) + 1;  // + 1: a NUL byte still counts
  return h >= kPrime ? h - kPrime : h;
}

// ---------------------------------------------------------------- a map's level

Span textOf(const ZObject_7_0_0* object) {
  if (!object) return Span{};
  // The tree's own writers store ZUTF8String_7_0_0: a type check before the
  // cast to the base, which costs a walk of the class tree per value.
  auto const* s = typeid(*object) == typeid(ZUTF8String_7_0_0)
                      ? static_cast<ZUTF8String_7_0_0 const*>(object)
                      : dynamic_cast<ZAbstractString_7_0_0 const*>(object);
  return s ? Span{s->getChars(), s->getLength()} : Span{};
}

// The stored names and their entries, in key order: a trace must not leave
// key strings behind in the map it renders (getNames would).
class MapLevel {
 public:
  class Values {
   public:
    explicit Values(const ZArrayList_7_0_0& list) : list_(list) {}
    bool next(Span& text) {
      if (i_ >= list_.size()) return false;
      text = textOf(list_.get(i_++));
      return true;
    }

   private:
    const ZArrayList_7_0_0& list_;
    int i_ = 0;
  };

  explicit MapLevel(const NameValueMap& map) : entries_(map.entries(count_)) {}

  std::size_t size() const { return count_; }
  Span name(std::size_t i) const { return Span{entries_[i].chars, entries_[i].length}; }
  bool subtreeHasNames(std::size_t i) const {
    std::uint32_t names = 0;
    entry(i).subtree().entries(names);
    return names != 0;
  }
  std::size_t valueCount(std::size_t i) const { return static_cast<std::size_t>(entry(i).values().size()); }
  Values values(std::size_t i) const { return Values(entry(i).values()); }
  MapLevel subtree(std::size_t i) const { return MapLevel(entry(i).subtree()); }

 private:
  const NameValueEntry& entry(std::size_t i) const {
    return *static_cast<NameValueEntry const*>(entries_[i].value.load(std::memory_order_relaxed));
  }

  std::uint32_t count_ = 0;
  const ZHashKeyMap_7_0_0::Entry* entries_;
};

// ---------------------------------------------------------------- an encoding's level

// Scratch words shared by the levels of one rendering. A level takes its
// arrays from the end and gives them back when it is done; levels live
// strictly inside one another (a subtree's or a nested tree's level is made
// and rendered while its parent waits), so the levels on the current path
// share one block that grows to the largest path, where a level of its own
// vectors cost several allocations (a tree 64 levels deep of one node each
// paid them at every level).
class LevelArena {
 public:
  // The index of `words` new words. std::bad_alloc when they cannot be had.
  std::size_t take(std::size_t words) {
    std::size_t at = words_.size();
    words_.resize(at + words);
    return at;
  }
  void giveBack(std::size_t at) { words_.resize(at); }
  std::uint32_t& operator[](std::size_t i) { return words_[i]; }
  std::uint32_t operator[](std::size_t i) const { return words_[i]; }

 private:
  std::vector<std::uint32_t> words_;
};

// The merged names of one or more runs of checked nodes (the top-level
// nodes of an encoding, or the children of every node of one name), read
// through the wire reader. Each node is parsed once when the level is made
// and once when its values are rendered; what the renderer asks of a name
// (its text, whether it has children, how many values) is kept. All offsets
// fit 32 bits: the decoder refuses an encoding of 4 GiB or more.
class WireLevel {
 public:
  using Bytes = ornz::der::Bytes;
  using Cursor = ornz::der::Cursor;

  class Values {
   public:
    Values(const WireLevel& level, std::uint32_t occurrence) : level_(level), occurrence_(occurrence) {}
    bool next(Span& text) {
      while (cursor_.atEnd()) {
        if (occurrence_ == kNone) return false;
        cursor_ = level_.node(occurrence_).values;
        occurrence_ = level_.next(occurrence_);
      }
      // Checked already (no NUL inside): read as any element, which spares
      // the search for a NUL in every value.
      Bytes value;
      cursor_.element(ornz::der::kTagOctetString, value);
      text = Span{value.chars(), value.size()};
      return true;
    }

   private:
    const WireLevel& level_;
    std::uint32_t occurrence_;
    Cursor cursor_;
  };

  // The top-level nodes `top` of the encoding that starts at `base` and
  // ends at `end`.
  WireLevel(LevelArena& arena, const unsigned char* base, const unsigned char* end, Bytes top)
      : arena_(arena), base_(base), end_(end) {
    build([&](auto&& visit) { visit(top); });
  }

  // The children of every node of the parent's name `i`.
  WireLevel(const WireLevel& parent, std::size_t i) : arena_(parent.arena_), base_(parent.base_), end_(parent.end_) {
    build([&](auto&& visit) {
      for (std::uint32_t o = parent.first(i); o != kNone; o = parent.next(o)) {
        Cursor children = parent.node(o).children;
        if (!children.atEnd()) visit(Bytes{children.position(), children.end()});
      }
    });
  }

  WireLevel(const WireLevel&) = delete;
  WireLevel& operator=(const WireLevel&) = delete;
  ~WireLevel() { arena_.giveBack(start_); }

  std::size_t size() const { return names_; }
  Span name(std::size_t i) const {
    return Span{reinterpret_cast<const char*>(base_) + word(kNameAt, i), word(kNameLength, i)};
  }
  bool subtreeHasNames(std::size_t i) const { return (word(kValueCount, i) & kHasChildren) != 0; }
  std::size_t valueCount(std::size_t i) const { return word(kValueCount, i) & ~kHasChildren; }
  Values values(std::size_t i) const { return Values(*this, first(i)); }
  WireLevel subtree(std::size_t i) const { return WireLevel(*this, i); }

 private:
  static constexpr std::uint32_t kNone = 0xffffffffu;
  // The arrays of a level in its arena block: per node, then per name (at
  // most one per node), then the hash slots.
  enum Array { kOffset, kNext, kFirst, kLast, kNameAt, kNameLength, kValueCount, kArrays };
  // In a name's value count: some node of the name has children. Counts stay
  // below it: a value takes at least 2 of the encoding's fewer than 2^32
  // bytes.
  static constexpr std::uint32_t kHasChildren = 0x80000000u;

  std::uint32_t word(Array array, std::size_t i) const { return arena_[start_ + array * nodes_ + i]; }
  std::uint32_t& word(Array array, std::size_t i) { return arena_[start_ + array * nodes_ + i]; }
  std::uint32_t first(std::size_t i) const { return word(kFirst, i); }
  std::uint32_t next(std::uint32_t occurrence) const { return word(kNext, occurrence); }
  // A hash slot: a name number and 32 bits of the name's hash beside it, so
  // that a probe compares a name's text only when those agree (and a new
  // name, the usual case, is placed without reading any other).
  std::uint32_t& slot(std::size_t s) { return arena_[start_ + kArrays * nodes_ + 2 * s]; }
  std::uint32_t& slotHash(std::size_t s) { return arena_[start_ + kArrays * nodes_ + 2 * s + 1]; }

  // The checked node that starts at `occurrence`'s offset.
  ornz::der::Node node(std::uint32_t occurrence) const {
    Cursor at(Bytes{base_ + word(kOffset, occurrence), end_});
    ornz::der::Node node;
    ornz::der::readNode(at, node);
    return node;
  }

  // `runs(visit)` calls visit with each run of nodes, twice: to count them,
  // then to file them.
  template <class Runs>
  void build(Runs runs) {
    runs([&](Bytes run) {
      for (Cursor c(run); !c.atEnd(); ++nodes_) {
        Bytes skipped;
        c.element(ornz::der::kTagSequence, skipped);
      }
    });
    slots_ = 8;
    while (slots_ < nodes_ * 2) slots_ <<= 1;
    start_ = arena_.take(kArrays * nodes_ + 2 * slots_);
    for (std::size_t s = 0; s < slots_; ++s) slot(s) = kNone;
    // Nodes are read a few ahead of their filing, and the slot each will
    // probe first is fetched meanwhile: a level of many short names spends
    // most of its time waiting for its slots (a table of half a million
    // names is far larger than the caches), and several fetches under way at
    // once hide most of that wait. Filing stays in node order.
    Pending ahead[kAhead];
    std::size_t head = 0, waiting = 0;
    std::uint32_t occurrence = 0;
    runs([&](Bytes run) {
      for (Cursor c(run); !c.atEnd(); ++occurrence) {
        const unsigned char* at = c.position();
        Bytes skipped;
        c.element(ornz::der::kTagSequence, skipped);
        Pending next = read(occurrence, at);
        __builtin_prefetch(&slot(next.hash & (slots_ - 1)));
        if (waiting == kAhead) {
          file(ahead[head]);
          ahead[head] = next;
          head = (head + 1) % kAhead;
        } else {
          ahead[(head + waiting++) % kAhead] = next;
        }
      }
    });
    for (std::size_t i = 0; i < waiting; ++i) file(ahead[(head + i) % kAhead]);
  }

  // A node read and not yet filed under its name.
  struct Pending {
    std::uint64_t hash;
    const unsigned char* name;
    std::uint32_t nameLength;
    std::uint32_t occurrence;
    std::uint32_t values;
    bool children;
  };
  static constexpr std::size_t kAhead = 8;

  Pending read(std::uint32_t occurrence, const unsigned char* at) {
    word(kOffset, occurrence) = static_cast<std::uint32_t>(at - base_);
    word(kNext, occurrence) = kNone;
    ornz::der::Node node = this->node(occurrence);
    std::uint32_t values = 0;
    for (Cursor c = node.values; !c.atEnd(); ++values) {
      Bytes skipped;
      c.element(ornz::der::kTagOctetString, skipped);
    }
    return Pending{ornz::hashText(node.name.chars(), node.name.size()), node.name.begin,
                   static_cast<std::uint32_t>(node.name.size()), occurrence, values, !node.children.atEnd()};
  }

  // Files the node under its name: a new name, or the next node of one seen.
  void file(const Pending& node) {
    std::size_t mask = slots_ - 1;
    auto const tag = static_cast<std::uint32_t>(node.hash >> 32);
    for (std::size_t s = node.hash & mask;; s = (s + 1) & mask) {
      std::uint32_t d = slot(s);
      if (d == kNone) {
        d = static_cast<std::uint32_t>(names_++);
        slot(s) = d;
        slotHash(s) = tag;
        word(kFirst, d) = node.occurrence;
        word(kNameAt, d) = static_cast<std::uint32_t>(node.name - base_);
        word(kNameLength, d) = node.nameLength;
        word(kValueCount, d) = 0;
      } else {
        if (slotHash(s) != tag) continue;
        Span other = name(d);
        if (other.n != node.nameLength || std::memcmp(other.p, node.name, other.n) != 0) continue;
        word(kNext, word(kLast, d)) = node.occurrence;
      }
      word(kLast, d) = node.occurrence;
      word(kValueCount, d) += node.values;
      if (node.children) word(kValueCount, d) |= kHasChildren;
      return;
    }
  }

  LevelArena& arena_;
  const unsigned char* base_;
  const unsigned char* end_;
  std::size_t start_ = 0;  // this level's block in the arena
  std::size_t nodes_ = 0;
  std::size_t slots_ = 0;
  std::size_t names_ = 0;
};

// ---------------------------------------------------------------- outputs

// Gathers the many short pieces of a rendering (a tab, a number, a one-byte
// value) and appends them to the caller's text a block at a time: one
// virtual call and one room check per block rather than per piece.
class StringOut {
 public:
  explicit StringOut(ZUTF8String_7_0_0& out) : out_(out) {}
  void append(const char* text, std::size_t length) {
    if (length > sizeof buffer_ - used_) {
      flush();
      if (length > sizeof buffer_) {
        out_.append(text, length);
        return;
      }
    }
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
  }
  void flush() {
    if (used_) out_.append(buffer_, used_);
    used_ = 0;
  }

 private:
  ZUTF8String_7_0_0& out_;
  std::size_t used_ = 0;
  char buffer_[2048];
};

// Hands the text on in pieces of up to 64 KiB.
class StreamOut {
 public:
  StreamOut(void (*write)(void*, char const*, std::size_t), void* context) : write_(write), context_(context) {}
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

// One rendering: where its text goes, and the scratch of its levels.
template <class Sink>
class Rendering {
 public:
  explicit Rendering(Sink& sink) : sink_(sink) {}
  void append(const char* text, std::size_t length) { sink_.append(text, length); }
  LevelArena& arena() { return arena_; }

 private:
  Sink& sink_;
  LevelArena arena_;
};

template <class Out, std::size_t N>
void appendText(Out& out, const char (&text)[N]) {
  out.append(text, N - 1);
}

struct Tabs {
  char text[128];
  constexpr Tabs() : text{} {
    for (char& c : text) c = '\t';
  }
};
constexpr Tabs kTabs{};

template <class Out>
void appendIndent(Out& out, int depth) {
  // Deep levels are the ones whose lines are mostly indent: one piece each.
  constexpr long kRun = sizeof kTabs.text;
  for (long left = static_cast<long>(depth) + 1; left > 0; left -= kRun)
    out.append(kTabs.text, static_cast<std::size_t>(left < kRun ? left : kRun));
}

template <class Out>
void appendNumber(Out& out, std::size_t number) {
  // As the text of a ZUTF8String_7_0_0 made from an int. to_chars, not
  // snprintf: a line of a short name costs little more than its number.
  char digits[24];
  std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, static_cast<int>(number));
  out.append(digits, static_cast<std::size_t>(end.ptr - digits));
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
// outside of an encoded tree, whatever its inside (lengths in any definite
// form, so that one the decoder refuses as not the shortest is masked too).
bool hasTreeOutside(std::string const& bytes) {
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  return ornz::der::spansOneElement(ornz::der::Bytes{begin, begin + bytes.size()}, ornz::der::kTagSequence,
                                    ornz::der::Form::kAnyDefinite);
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

// Whether a type code's text is the code of an encoded object, read as
// strtoul reads a decimal number (leading blanks, a sign, leading zeros).
bool isObjectCode(Span code) {
  if (!code.p) return false;
  std::size_t i = 0;
  while (i < code.n && (code.p[i] == ' ' || (code.p[i] >= '\t' && code.p[i] <= '\r'))) ++i;
  if (i < code.n && code.p[i] == '+') ++i;
  while (i < code.n && code.p[i] == '0') ++i;
  return i < code.n && code.p[i] == '0' + ATTR_VALUE_POBJ && (i + 1 == code.n || code.p[i + 1] < '0' || code.p[i + 1] > '9');
}

template <class Level>
bool firstValueIsTrue(const Level& level, std::size_t i) {
  if (level.subtreeHasNames(i)) return false;
  auto values = level.values(i);
  Span first;
  return values.next(first) && isText(first, "true");
}

// What the attribute-list layouts of one level say about its names, worked
// out once per level and then read by each name's position. A level without
// a names key (most) costs one suffix test per name and no memory.
template <class Level>
class LevelLayouts {
 public:
  explicit LevelLayouts(const Level& level) : level_(level) {
    std::size_t count = level.size();
    bool anyList = false;
    for (std::size_t i = 0; i < count && !anyList; ++i) {
      Span name = level.name(i);
      anyList = attrlist_layout::isNamesKey(name.p, name.n);
    }
    if (!anyList) return;
    index();
    facts_.assign(count, Facts{});
    for (std::size_t i = 0; i < count; ++i) {
      Span name = level.name(i);
      if (attrlist_layout::isNamesKey(name.p, name.n)) addList(i, name.n - attrlist_layout::kNamesSuffixLength);
    }
  }

  bool masked(std::size_t i) const { return !facts_.empty() && facts_[i].masked; }

  bool treeExpected(std::size_t i, std::size_t v) const {
    if (facts_.empty()) return false;
    const Facts& facts = facts_[i];
    if (facts.trees == Trees::kAll) return true;
    return facts.trees == Trees::kByPosition && v < facts.codes && treeAt_[facts.firstBit + v];
  }

 private:
  enum class Trees : unsigned char { kNone, kAll, kByPosition };
  // 16 bytes a name. A level's counts fit 32 bits (the decoder's bound).
  struct Facts {
    std::uint32_t list = 0xffffffffu;  // the last list that named it
    std::uint32_t firstBit = 0;        // by position: its codes' bits in treeAt_
    std::uint32_t codes = 0;
    bool masked = false;
    bool typed = false;  // its type codes have been read
    Trees trees = Trees::kNone;
  };
  static constexpr std::uint32_t kNone = 0xffffffffu;

  // Every name's keyed hash and a table of them, so that a key can be found
  // from the hash of its prefix continued with the rest.
  void index() {
    std::size_t count = level_.size();
    hashes_.resize(count);
    std::size_t slots = 8;
    while (slots < count * 2) slots <<= 1;
    table_.assign(slots, kNone);
    for (std::size_t i = 0; i < count; ++i) {
      Span name = level_.name(i);
      hashes_[i] = continueHash(0, name.p, name.n);
      std::size_t s = hashes_[i] & (slots - 1);
      while (table_[s] != kNone) s = (s + 1) & (slots - 1);
      table_[s] = static_cast<std::uint32_t>(i);
    }
  }

  // The name of `length` bytes whose hash is `hash` and which ends in the
  // `tailLength` bytes at `tail` (the part after a list's prefix, compared
  // exactly; the prefix, which may be long, is matched by the hash). kNone
  // when there is none.
  std::uint32_t find(std::uint64_t hash, std::size_t length, const char* tail, std::size_t tailLength,
                     const char* tail2 = nullptr, std::size_t tail2Length = 0) const {
    std::size_t mask = table_.size() - 1;
    for (std::size_t s = hash & mask; table_[s] != kNone; s = (s + 1) & mask) {
      std::uint32_t i = table_[s];
      if (hashes_[i] != hash) continue;
      Span name = level_.name(i);
      if (name.n != length) continue;
      const char* end = name.p + name.n;
      if (std::memcmp(end - tail2Length - tailLength, tail, tailLength) != 0) continue;
      if (tail2Length && std::memcmp(end - tail2Length, tail2, tail2Length) != 0) continue;
      return i;
    }
    return kNone;
  }

  // The list whose names key is name `i`, under the prefix of its first
  // `prefixLength` bytes. Each entry of the list costs the hash of its own
  // text; an attribute named again (or a name another list already made
  // known) finds its facts already set.
  void addList(std::size_t i, std::size_t prefixLength) {
    Span key = level_.name(i);
    std::uint64_t const prefixHash = continueHash(0, key.p, prefixLength);
    auto const list = static_cast<std::uint32_t>(i);

    // The list's own "obfuscate" flag masks its "value", as at a level: known
    // once the whole list is read.
    bool namesObfuscate = false;
    std::uint32_t valueEntry = kNone;
    auto attributes = level_.values(i);
    for (Span attribute; attributes.next(attribute);) {
      if (!attribute.p) continue;
      namesObfuscate = namesObfuscate || isText(attribute, "obfuscate");
      std::uint64_t const valueHash = continueHash(prefixHash, attribute.p, attribute.n);
      std::uint32_t const values = find(valueHash, prefixLength + attribute.n, attribute.p, attribute.n);
      if (values == kNone) continue;
      Facts& facts = facts_[values];
      if (facts.list == list) continue;
      facts.list = list;
      if (isSecretName(attribute)) facts.masked = true;
      if (isText(attribute, "value")) valueEntry = values;
      if (facts.typed) continue;
      facts.typed = true;
      std::uint32_t const codes =
          find(continueHash(valueHash, attrlist_layout::kTypesSuffix, attrlist_layout::kTypesSuffixLength),
               prefixLength + attribute.n + attrlist_layout::kTypesSuffixLength, attribute.p, attribute.n,
               attrlist_layout::kTypesSuffix, attrlist_layout::kTypesSuffixLength);
      if (codes != kNone) readCodes(values, codes);
    }
    if (namesObfuscate && valueEntry != kNone) {
      static const char kObfuscate[] = "obfuscate";
      std::size_t const length = sizeof kObfuscate - 1;
      std::uint32_t flag = find(continueHash(prefixHash, kObfuscate, length), prefixLength + length, kObfuscate, length);
      if (flag != kNone && firstValueIsTrue(level_, flag)) facts_[valueEntry].masked = true;
    }
  }

  // Which values of name `values` should be encoded trees, from the codes of
  // name `codes`. When every value has its code (as OrnObject writes lists)
  // the pairing is by position; otherwise it is uncertain, and every value
  // of an attribute with an object code is taken for a tree.
  void readCodes(std::uint32_t values, std::uint32_t codes) {
    std::size_t const firstBit = treeAt_.size();
    bool anyObject = false;
    auto cursor = level_.values(codes);
    for (Span code; cursor.next(code);) {
      bool object = isObjectCode(code);
      treeAt_.push_back(object);
      anyObject = anyObject || object;
    }
    std::size_t const codeCount = treeAt_.size() - firstBit;
    Facts& facts = facts_[values];
    if (!anyObject) {
      treeAt_.resize(firstBit);
    } else if (codeCount != level_.valueCount(values)) {
      treeAt_.resize(firstBit);
      facts.trees = Trees::kAll;
    } else {
      facts.trees = Trees::kByPosition;
      facts.firstBit = static_cast<std::uint32_t>(firstBit);
      facts.codes = static_cast<std::uint32_t>(codeCount);
    }
  }

  const Level& level_;
  std::vector<Facts> facts_;          // per name; empty when the level has no list
  std::vector<bool> treeAt_;          // per type code read: an encoded object's
  std::vector<std::uint64_t> hashes_;  // per name: its keyed hash
  std::vector<std::uint32_t> table_;  // hash slots: name positions
};

// ---------------------------------------------------------------- the renderer

template <class Out>
void renderEncoded(Out& out, const unsigned char* data, const unsigned char* first, const unsigned char* end,
                   int depth, int nesting);

template <class Out>
void renderHeader(Out& out, int depth, std::size_t count) {
  appendIndent(out, depth);
  appendText(out, "number of entries = ");
  appendNumber(out, count);
  appendText(out, "\n");
}

// "obfuscate" = "true" masks this level's "value" (not deeper levels').
template <class Level>
bool levelObfuscates(const Level& level) {
  bool obfuscate = false;
  for (std::size_t i = 0; i < level.size(); ++i)
    if (isText(level.name(i), "obfuscate") && !level.subtreeHasNames(i)) obfuscate = firstValueIsTrue(level, i);
  return obfuscate;
}

// One value of a name; returns whether it ended its own line (a tree).
template <class Out>
bool renderValue(Out& out, Span text, bool signon, bool treeExpected, int depth, int nesting) {
  if (!text.p) return false;
  std::string bytes;
  const unsigned char* treeFirst = nullptr;
  const unsigned char* treeEnd = nullptr;
  ValueKind kind = classify(text, treeExpected, bytes, treeFirst, treeEnd);
  if (kind == ValueKind::kUnreadable || (kind == ValueKind::kTree && nesting >= kMaxNesting)) {
    appendText(out, kMask);
  } else if (kind == ValueKind::kTree) {
    appendText(out, kObjectMark);
    appendText(out, "\n");
    renderEncoded(out, reinterpret_cast<const unsigned char*>(bytes.data()), treeFirst, treeEnd, depth + 1,
                  nesting + 1);
    return true;
  } else if (signon && isText(text, "-signon@%null")) {
    appendText(out, "-signon@null");
  } else {
    out.append(text.p, text.n);
  }
  return false;
}

// The line (or block) of a name without subtree names.
template <class Level, class Out>
void renderValues(const Level& level, std::size_t i, bool masked, const LevelLayouts<Level>& layouts, Out& out,
                  int depth, int nesting) {
  Span name = level.name(i);
  std::size_t valueCount = level.valueCount(i);
  appendIndent(out, depth);
  appendText(out, "num values = ");
  appendNumber(out, valueCount);
  appendText(out, "\t");
  out.append(name.p, name.n);
  appendText(out, " = ");
  bool const signon = isText(name, "resourceuserid");
  if (valueCount > 1) appendText(out, kValueBreak);
  // A tree ends its own line; the next value then needs only its indent.
  bool lineEnded = false;
  auto values = level.values(i);
  std::size_t v = 0;
  for (Span text; values.next(text); ++v) {
    if (v > 0) {
      if (lineEnded) {
        appendText(out, kValueIndent);
      } else {
        appendText(out, kValueBreak);
      }
    }
    if (masked) {
      appendText(out, kMask);
      lineEnded = false;
    } else {
      lineEnded = renderValue(out, text, signon, layouts.treeExpected(i, v), depth, nesting);
    }
  }
  if (!lineEnded) appendText(out, "\n");
}

template <class Level, class Out>
void renderLevel(const Level& level, Out& out, int depth, int nesting) {
  std::size_t const count = level.size();
  renderHeader(out, depth, count);
  if (count == 0) return;
  bool const obfuscate = levelObfuscates(level);
  LevelLayouts<Level> const layouts(level);
  for (std::size_t i = 0; i < count; ++i) {
    Span name = level.name(i);
    if (level.subtreeHasNames(i)) {
      appendText(out, "\t");
      out.append(name.p, name.n);
      appendText(out, " is a subtree\n");
      renderLevel(level.subtree(i), out, depth + 1, nesting + 1);
      continue;
    }
    bool const masked = isSecretName(name) || (obfuscate && isText(name, "value")) || layouts.masked(i);
    renderValues(level, i, masked, layouts, out, depth, nesting);
  }
}

template <class Out>
void renderEncoded(Out& out, const unsigned char* data, const unsigned char* first, const unsigned char* end,
                   int depth, int nesting) {
  // The top-level nodes run from `first` to the encoding's end.
  renderLevel(WireLevel(out.arena(), data, end, ornz::der::Bytes{first, end}), out, depth, nesting);
}

// The exported set's elements, made in place and never destroyed, so that
// the set stays whole even while the process exits.
alignas(ZUTF8ConstString_7_0_0) unsigned char secretElements[4][sizeof(ZUTF8ConstString_7_0_0)];

// The exported set is made as the library loads, so that its one allocation
// (the set's slots) is over before any caller runs; the once-routine of the
// first trace then finds it made. Tracing itself never reads it.
struct MadeAtLoad {
  MadeAtLoad() { NameValueMap::initializeNamesNotToTrace(); }
} const madeAtLoad;

}  // namespace

void NameValueMap::initializeNamesNotToTrace() {
  // Never undone: the set lives as long as the process. Its elements are
  // static and the set does not own them, so it allocates only its slots;
  // should even that fail, the set stays unmade and a later call tries again
  // (traces do not depend on it: they test names against kSecretNames).
  static_assert(sizeof kSecretNames / sizeof kSecretNames[0] == sizeof secretElements / sizeof secretElements[0],
                "one element per secret name");
  if (namesNotToTrace) return;
  try {
    ZHashMap_7_0_0* names = new ZHashMap_7_0_0(10, 0);
    if (!names) return;
    for (std::size_t i = 0; i < sizeof secretElements / sizeof secretElements[0]; ++i)
      names->add(::new (secretElements[i]) ZUTF8ConstString_7_0_0(kSecretNames[i].p, kSecretNames[i].n));
    namesNotToTrace = names;
  } catch (const ZOutOfMemoryException_7_0_0&) {
    // Left unmade: this runs at load and as a once-routine, where there is
    // no caller to report to.
  }
}

void NameValueMap::buildTraceBuf(ZUTF8String_7_0_0& out, int depth) const {
  pthread_once(&inst_once, NameValueMap_c_initializeNamesNotToTrace);
  StringOut text(out);
  ornz::reportingMemory(kModule, __LINE__, [&] {
    Rendering<StringOut> rendering(text);
    renderLevel(MapLevel(*this), rendering, depth, 0);
    text.flush();
  });
}

void NameValueMap::traceEncoded(orn_asn_buffer_t const& buffer, int depth,
                                void (*write)(void* context, char const* text, std::size_t length), void* context,
                                unsigned long& status) {
  ornz::der::TopLevel top;
  int result = ornz::der::checkList(buffer, top);
  status = static_cast<unsigned long>(static_cast<long>(result));
  if (result != 0) return;
  pthread_once(&inst_once, NameValueMap_c_initializeNamesNotToTrace);
  // The renderer's buffer is too large for the stack of a caller's thread.
  std::unique_ptr<StreamOut> out(new (std::nothrow) StreamOut(write, context));
  if (!out) ornz::throwOutOfMemory(kModule, __LINE__);
  ornz::reportingMemory(kModule, __LINE__, [&] {
    Rendering<StreamOut> rendering(*out);
    renderEncoded(rendering, buffer.data, top.first, top.end, depth, 0);
  });
  out->flush();
}
