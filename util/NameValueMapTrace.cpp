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
#include "util/NameValueMap.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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

void appendIndent(ZUTF8String_7_0_0& out, int depth) {
  for (int i = 0; i <= depth; ++i) out.append("\t", 1);
}

bool isText(const ZAbstractString_7_0_0& s, const char* text) {
  return s.getLength() == std::strlen(text) && std::memcmp(s.getChars(), text, s.getLength()) == 0;
}

ZAbstractString_7_0_0 const* textAt(ZArrayList_7_0_0 const& values, int index) {
  return dynamic_cast<ZAbstractString_7_0_0 const*>(values.get(index));
}

std::string toString(ZAbstractString_7_0_0 const& s) { return std::string(s.getChars(), s.getLength()); }

struct MallocBlock {
  char* block = nullptr;
  ~MallocBlock() { std::free(block); }
};

// The bytes of a text that is Base64 exactly as the tree writes it (what
// mime64_new_encode makes of them). The decoder skips what it does not know,
// so the text is checked by encoding the bytes again.
bool storedBase64(ZAbstractString_7_0_0 const& text, std::string& bytes) {
  std::size_t length = text.getLength();
  if (length == 0 || length % 4 != 0) return false;
  MallocBlock decoded;
  unsigned long count = 0;
  mime64_new_decode(text.getChars(), length, &decoded.block, &count);
  // Without memory a value that may hold a tree cannot be told from one that
  // does not: stop rather than show it.
  if (!decoded.block) ornz::throwOutOfMemory(kModule, __LINE__);
  MallocBlock again;
  again.block = mime64_new_encode(reinterpret_cast<unsigned char const*>(decoded.block), count);
  if (!again.block) ornz::throwOutOfMemory(kModule, __LINE__);
  if (std::strlen(again.block) != length || std::memcmp(again.block, text.getChars(), length) != 0) return false;
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

// What a value holds; for kTree, `tree` has received the decoded tree.
ValueKind classify(ZAbstractString_7_0_0 const& text, bool treeExpected, NameValueMap& tree) {
  // Every encoding starts with the SEQUENCE tag 0x30, which Base64 writes as
  // 'M': most plain values go no further.
  if (!treeExpected && (text.getLength() < 4 || text.getChars()[0] != 'M')) return ValueKind::kPlain;
  std::string bytes;
  if (!storedBase64(text, bytes)) return treeExpected ? ValueKind::kUnreadable : ValueKind::kPlain;
  orn_asn_buffer_t buffer{bytes.size(), reinterpret_cast<unsigned char*>(&bytes[0])};
  unsigned long status = 0;
  tree.decode(buffer, status);
  if (status == 0) return ValueKind::kTree;
  return treeExpected || hasTreeOutside(bytes) ? ValueKind::kUnreadable : ValueKind::kPlain;
}

// What the attribute-list layouts of one level say about its names.
struct ListLayouts {
  // Value keys (prefix + attribute name) whose values are masked.
  std::unordered_set<std::string> masked;
  // Value keys with, per value, whether it should be an encoded tree.
  std::unordered_map<std::string, std::vector<bool>> trees;

  bool treeExpected(std::string const& key, int index) const {
    auto found = trees.find(key);
    return found != trees.end() && index < static_cast<int>(found->second.size()) &&
           found->second[static_cast<std::size_t>(index)];
  }
};

bool firstValueIsTrue(NameValueMap const& level, char const* name) {
  if (level.getSubtreeCount(name) != 0) return false;
  ZArrayList_7_0_0 const* values = level.getValues(name);
  if (!values || values->size() == 0) return false;
  auto const* first = textAt(*values, 0);
  return first && first->compareTo("true") == 0;
}

// Which values of `key` should be encoded trees, from its type codes. When
// every value has its code (as OrnObject writes lists) the pairing is by
// position; otherwise it is uncertain, and every value of an attribute with
// an object code is taken for a tree.
std::vector<bool> treePositions(NameValueMap const& level, std::string const& key) {
  std::vector<bool> positions;
  ZArrayList_7_0_0 const* values = level.getValues(key.c_str());
  ZArrayList_7_0_0 const* codes = level.getValues((key + kListTypeSuffix).c_str());
  if (!values || !codes) return positions;
  bool anyObject = false;
  for (int j = 0; j < codes->size(); ++j) {
    auto const* code = textAt(*codes, j);
    bool object = code && std::strtoul(code->getChars(), nullptr, 10) == ATTR_VALUE_POBJ;
    positions.push_back(object);
    anyObject = anyObject || object;
  }
  if (!anyObject) return {};
  if (codes->size() != values->size()) positions.assign(static_cast<std::size_t>(values->size()), true);
  return positions;
}

ListLayouts listLayouts(NameValueMap const& level, ZArrayList_7_0_0 const& names, ZHashMap_7_0_0 const& secrets) {
  ListLayouts layouts;
  std::size_t const suffixLength = std::strlen(kListNamesSuffix);
  for (int i = 0; i < names.size(); ++i) {
    auto const* key = static_cast<ZAbstractString_7_0_0 const*>(names.get(i));
    std::size_t length = key->getLength();
    if (length < suffixLength ||
        std::memcmp(key->getChars() + length - suffixLength, kListNamesSuffix, suffixLength) != 0)
      continue;
    std::string const prefix(key->getChars(), length - suffixLength);
    ZArrayList_7_0_0 const* attributes = level.getValues(key->getChars());
    if (!attributes) continue;
    // The list's own "obfuscate" flag masks its "value", as at a level.
    bool obfuscate = false;
    for (int j = 0; j < attributes->size(); ++j) {
      auto const* attribute = textAt(*attributes, j);
      if (attribute && isText(*attribute, "obfuscate"))
        obfuscate = firstValueIsTrue(level, (prefix + "obfuscate").c_str());
    }
    for (int j = 0; j < attributes->size(); ++j) {
      auto const* attribute = textAt(*attributes, j);
      if (!attribute) continue;
      std::string const valueKey = prefix + toString(*attribute);
      if (secrets.contains(*attribute) || (obfuscate && isText(*attribute, "value")))
        layouts.masked.insert(valueKey);
      std::vector<bool> positions = treePositions(level, valueKey);
      if (!positions.empty()) layouts.trees[valueKey] = std::move(positions);
    }
  }
  return layouts;
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
  buildTraceLevel(out, depth, 0);
}

void NameValueMap::buildTraceLevel(ZUTF8String_7_0_0& out, int depth, int nesting) const {
  ZArrayList_7_0_0 names(10, 0);
  ZArrayList_7_0_0 entries(10, 0);
  map_.listKeys(names);
  map_.listObjects(entries);
  int count = names.size();

  appendIndent(out, depth);
  out.append("number of entries = ");
  out.append(ZUTF8String_7_0_0(count));
  out.append("\n");
  if (count == 0) return;

  // "obfuscate" = "true" masks this level's "value" (not deeper levels').
  bool obfuscate = false;
  for (int i = 0; i < count; ++i) {
    auto const* name = static_cast<ZAbstractString_7_0_0 const*>(names.get(i));
    auto const* entry = static_cast<NameValueEntry const*>(entries.get(i));
    if (entry->subtree().map_.size() == 0 && isText(*name, "obfuscate")) {
      auto const* first = dynamic_cast<ZAbstractString_7_0_0 const*>(entry->values().get(0));
      obfuscate = first && first->compareTo("true") == 0;
    }
  }
  ListLayouts const layouts = listLayouts(*this, names, *namesNotToTrace);

  for (int i = 0; i < count; ++i) {
    auto const* name = static_cast<ZAbstractString_7_0_0 const*>(names.get(i));
    auto const* entry = static_cast<NameValueEntry const*>(entries.get(i));
    if (entry->subtree().map_.size() > 0) {
      out.append("\t", 1);
      out.append(*name);
      out.append(" is a subtree\n");
      entry->subtree().buildTraceLevel(out, depth + 1, nesting + 1);
      continue;
    }
    ZArrayList_7_0_0 const& values = entry->values();
    int valueCount = values.size();
    appendIndent(out, depth);
    out.append("num values = ");
    out.append(ZUTF8String_7_0_0(valueCount));
    out.append("\t", 1);
    out.append(*name);
    out.append(" = ");
    std::string const key = toString(*name);
    bool masked = namesNotToTrace->contains(*name) || (obfuscate && isText(*name, "value")) ||
                  layouts.masked.count(key) != 0;
    bool signon = isText(*name, "resourceuserid");
    if (valueCount > 1) out.append(kValueBreak);
    // A tree ends its own line; the next value then needs only its indent.
    bool lineEnded = false;
    for (int v = 0; v < valueCount; ++v) {
      if (v > 0) out.append(lineEnded ? kValueIndent : kValueBreak);
      lineEnded = false;
      if (masked) {
        out.append(kMask);
        continue;
      }
      auto const* text = textAt(values, v);
      if (!text) continue;
      NameValueMap tree;
      ValueKind kind = classify(*text, layouts.treeExpected(key, v), tree);
      if (kind == ValueKind::kUnreadable || (kind == ValueKind::kTree && nesting >= kMaxNesting)) {
        out.append(kMask);
      } else if (kind == ValueKind::kTree) {
        out.append(kObjectMark);
        out.append("\n", 1);
        tree.buildTraceLevel(out, depth + 1, nesting + 1);
        lineEnded = true;
      } else if (signon && isText(*text, "-signon@%null")) {
        out.append("-signon@null");
      } else {
        out.append(*text);
      }
    }
    if (!lineEnded) out.append("\n", 1);
  }
}
