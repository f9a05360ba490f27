// The typed object's compound values: nested objects, object and string
// arrays, and attribute lists in the nested and the flat layout.
#include "KelCore/OrnObject.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "KelCore/internal/attrlist_layout.h"
#include "KelCore/internal/ornobject_raise.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/zexception.h"
#include "util/internal/namevalue_undo.h"

using ornobject_internal::raiseInvalidParameter;

namespace {

// Logical source lines of the raises (the trace; the exception is one on).
constexpr int kLineAddObjectNullName = 236;
constexpr int kLineAddObjectEncodeFailed = 255;
constexpr int kLineSetObjectNullName = 279;
constexpr int kLineSetObjectEncodeFailed = 298;
constexpr int kLineObjectListElement = 304;
constexpr int kLineSetObjectArrayNullName = 311;
constexpr int kLineAddAttrListNullName = 331;
constexpr int kLineSetAttrListNullName = 348;
constexpr int kLineStringListElement = 370;
constexpr int kLineObjectDecodeFailed = 691;
// An attribute name the flat layout cannot hold apart from its own keys.
constexpr int kLineAttrListReservedName = 340;
// A stored list whose names make its keys contradict each other.
constexpr int kLineAttrListContradicts = 708;

// Encoded buffers released on every path.
struct EncodedBuffers {
  std::vector<orn_asn_buffer_t> buffers;
  ~EncodedBuffers() {
    for (auto& buffer : buffers) orn_asn_buffer_free(&buffer);
  }
};

// Encodes `value` through its virtual encode, so a derived class's own form
// is what gets stored. An encoder that ran out of memory is an exhausted
// heap, not a bad object: it raises ZOutOfMemoryException_7_0_0. Any other
// failure, or a block too long for the 32-bit length it is stored with,
// raises from `failLine`. Nothing is left allocated either way.
orn_asn_buffer_t encodeNested(OrnObject const& value, int failLine) {
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 0;
  value.encode(buffer, status);
  if (status == ORN_ASN_E_NOMEM) {
    orn_asn_buffer_free(&buffer);
    ornz::throwOutOfMemory(ornobject_internal::kModule, __LINE__);
  }
  if (status != 0 || buffer.length > UINT_MAX) {
    orn_asn_buffer_free(&buffer);
    raiseInvalidParameter(failLine);
  }
  return buffer;
}

// The list's elements as objects; a null element or one of another class
// cannot be encoded and raises before anything is stored.
std::vector<OrnObject const*> objectsOf(ZArrayList_7_0_0 const& list) {
  std::vector<OrnObject const*> objects;
  objects.reserve(static_cast<std::size_t>(list.size()));
  for (int i = 0; i < list.size(); ++i) {
    auto const* object = dynamic_cast<OrnObject const*>(list.get(i));
    if (!object) raiseInvalidParameter(kLineObjectListElement);
    objects.push_back(object);
  }
  return objects;
}

std::vector<char const*> textsOf(ZArrayList_7_0_0 const& list) {
  std::vector<char const*> texts;
  texts.reserve(static_cast<std::size_t>(list.size()));
  for (int i = 0; i < list.size(); ++i) {
    auto const* text = dynamic_cast<ZAbstractString_7_0_0 const*>(list.get(i));
    if (!text) raiseInvalidParameter(kLineStringListElement);
    texts.push_back(text->getChars());
  }
  return texts;
}

// Every object of the list encoded, all before any is stored.
void encodeAll(ZArrayList_7_0_0 const& list, EncodedBuffers& out) {
  std::vector<OrnObject const*> objects = objectsOf(list);
  out.buffers.reserve(objects.size());
  for (OrnObject const* object : objects) out.buffers.push_back(encodeNested(*object, kLineAddObjectEncodeFailed));
}

char const* bytesOf(orn_asn_buffer_t const& buffer) { return reinterpret_cast<char const*>(buffer.data); }

uint32_t readBigEndian32(unsigned char const* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

void writeBigEndian32(uint32_t number, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(number >> 24);
  bytes[1] = static_cast<unsigned char>(number >> 16);
  bytes[2] = static_cast<unsigned char>(number >> 8);
  bytes[3] = static_cast<unsigned char>(number);
}

bool isReadableCode(unsigned long code) { return code >= ATTR_VALUE_BUFFER && code <= ATTR_VALUE_UINT32; }

// The keys of one list under a prefix.
struct AttrListKeys {
  explicit AttrListKeys(char const* prefix) : prefix(prefix ? prefix : "") {}
  std::string names() const { return prefix + attrlist_layout::kNamesSuffix; }
  std::string values(char const* attribute) const { return prefix + (attribute ? attribute : ""); }
  static std::string types(std::string const& valueKey) { return valueKey + attrlist_layout::kTypesSuffix; }
  std::string prefix;
};

struct FreeBlock {
  char* block;
  ~FreeBlock() { std::free(block); }
};

// Adds to `list` all or nothing: `fill` adds to a copy of it (a new list
// when it is empty, the usual case), which takes its place once complete.
template <typename Fill>
void addAllOrNothing(attrlist_s_t& list, Fill fill) {
  attrlist_s_t* work = list.num_entries ? attrlist_dup(&list)
                                        : static_cast<attrlist_s_t*>(std::calloc(1, sizeof(attrlist_s_t)));
  if (!work) ornz::throwOutOfMemory(ornobject_internal::kModule, __LINE__);
  ornz::allOrNothing(
      ornobject_internal::kModule, __LINE__, [&] { fill(*work); }, [&] { attrlist_delete(&work); });
  std::swap(list, *work);
  attrlist_delete(&work);
}

// The work lists below are standard containers; an exhausted heap there is
// reported as the library reports it everywhere.
template <typename Body>
auto reportingMemory(int line, Body&& body) -> decltype(body()) {
  return ornz::reportingMemory(ornobject_internal::kModule, line, std::forward<Body>(body));
}

}  // namespace

// ---------------------------------------------------------------- nested objects

// A nested object's encoding, released however the writer leaves.
struct OneEncoding {
  orn_asn_buffer_t buffer{0, nullptr};
  ~OneEncoding() { orn_asn_buffer_free(&buffer); }
};

// The nested-object writers report an exhausted heap from their own line,
// whichever part below ran out (the tree's out-of-memory exception carries
// the tree's position); the tree's scoped writes leave the object unchanged.
template <typename Body>
OrnObject& fromHere(int line, Body&& body) {
  try {
    return reportingMemory(line, std::forward<Body>(body));
  } catch (const ZOutOfMemoryException_7_0_0&) {
    ornz::throwOutOfMemory(ornobject_internal::kModule, line);
  }
}

OrnObject& OrnObject::addObjectValue(char const* name, OrnObject const& value, char const* scope) {
  if (!name) raiseInvalidParameter(kLineAddObjectNullName);
  OneEncoding encoded;
  encoded.buffer = encodeNested(value, kLineAddObjectEncodeFailed);
  return fromHere(__LINE__, [&]() -> OrnObject& {
    return addBufferValue(name, bytesOf(encoded.buffer), static_cast<unsigned int>(encoded.buffer.length), scope);
  });
}

OrnObject& OrnObject::setObjectValue(char const* name, OrnObject const& value, unsigned int index,
                                     char const* scope) {
  if (!name) raiseInvalidParameter(kLineSetObjectNullName);
  OneEncoding encoded;
  encoded.buffer = encodeNested(value, kLineSetObjectEncodeFailed);
  return fromHere(__LINE__, [&]() -> OrnObject& {
    return setBufferValue(name, bytesOf(encoded.buffer), static_cast<unsigned int>(encoded.buffer.length), index,
                          scope);
  });
}

void OrnObject::objectValue(char const* name, OrnObject& out, unsigned int index, char const* scope) {
  char* data = nullptr;
  unsigned long length = 0;
  bufferValue(name, data, length, index, scope);
  // Released on every path, also when the text decodes to no bytes (which
  // still gives a block).
  FreeBlock block{data};
  if (!data || length == 0) return;
  orn_asn_buffer_t buffer{static_cast<uint32_t>(length), reinterpret_cast<unsigned char*>(data)};
  unsigned long status = 0;
  out.decode(buffer, status);
  if (status != 0) raiseInvalidParameter(kLineObjectDecodeFailed);
}

// ---------------------------------------------------------------- object and string arrays

OrnObject& OrnObject::addObjectArrayValue(char const* name, ZArrayList_7_0_0 const& list, char const* scope) {
  return reportingMemory(__LINE__, [&]() -> OrnObject& {
    if (list.size() == 0) return *this;
    if (!name) raiseInvalidParameter(kLineAddObjectNullName);
    EncodedBuffers encoded;
    encodeAll(list, encoded);
    NameValueMap::AddsUndo undo(nameValues_, scope);
    undo.watch(name);
    NameValueMap& level = undo.level();
    for (auto const& buffer : encoded.buffers)
      level.addString(name, bytesOf(buffer), static_cast<unsigned int>(buffer.length));
    undo.commit();
    return *this;
  });
}

// Removes the first `count` values of the name, the ones a set replaces. A
// removal needs no memory, so a set that has added the new values can no
// longer fail.
void OrnObject::dropFirstValues(char const* name, unsigned int count, char const* scope) noexcept {
  NameValueMap* level = scope ? nameValues_.getSubtree(scope) : &nameValues_;
  if (!level) return;
  for (; count > 0; --count) level->removeValue(name, count - 1);
}

OrnObject& OrnObject::setObjectArrayValue(char const* name, ZArrayList_7_0_0 const& list, char const* scope) {
  return reportingMemory(__LINE__, [&]() -> OrnObject& {
    if (!name) raiseInvalidParameter(kLineSetObjectArrayNullName);
    // The new values go after the old, all or none, and the old go last.
    unsigned int const old = length(name, scope);
    addObjectArrayValue(name, list, scope);
    dropFirstValues(name, old, scope);
    return *this;
  });
}

void OrnObject::stringArrayValue(char const* name, ZArrayList_7_0_0& out, char const* scope) const {
  int const before = out.size();
  ornz::allOrNothing(
      ornobject_internal::kModule, __LINE__,
      [&] {
        unsigned int count = length(name, scope);
        for (unsigned int i = 0; i < count; ++i) out.add(&getStringValue(name, i, scope));
      },
      [&] {
        while (out.size() > before) out.remove(out.size() - 1);
      });
}

OrnObject& OrnObject::addStringArrayValue(char const* name, ZArrayList_7_0_0 const& list, char const* scope) {
  return reportingMemory(__LINE__, [&]() -> OrnObject& {
    if (!name || list.size() == 0) return *this;
    std::vector<char const*> texts = textsOf(list);
    NameValueMap::AddsUndo undo(nameValues_, scope);
    undo.watch(name);
    NameValueMap& level = undo.level();
    for (char const* text : texts) level.addString(name, text);
    undo.commit();
    return *this;
  });
}

OrnObject& OrnObject::setStringArrayValue(char const* name, ZArrayList_7_0_0 const& list, char const* scope) {
  return reportingMemory(__LINE__, [&]() -> OrnObject& {
    if (!name) return *this;
    // The new values go after the old ones, all or none, and the old go
    // last: a non-owning list may point at the very values being replaced
    // (as stringArrayValue fills one), and those stay until every new value
    // is in.
    unsigned int const old = length(name, scope);
    if (list.size() == 0) {
      levelFor(scope);  // the scope exists afterwards even so
    } else {
      addStringArrayValue(name, list, scope);
    }
    dropFirstValues(name, old, scope);
    return *this;
  });
}

// ---------------------------------------------------------------- attribute lists, nested form

OrnObject& OrnObject::addAttrListValue(char const* name, attrlist_s_t const& list, char const* scope) {
  if (!name) raiseInvalidParameter(kLineAddAttrListNullName);
  OrnObject nested;
  nested.addAttrListValue_internal("", const_cast<attrlist_s_t&>(list), scope);
  return addObjectValue(name, nested, scope);
}

OrnObject& OrnObject::setAttrListValue(char const* name, attrlist_s_t const& list, unsigned int index,
                                       char const* scope) {
  if (!name) raiseInvalidParameter(kLineSetAttrListNullName);
  OrnObject nested;
  nested.addAttrListValue_internal("", const_cast<attrlist_s_t&>(list), scope);
  return setObjectValue(name, nested, index, scope);
}

void OrnObject::attrListValue(char const* name, attrlist_s_t& list, unsigned int index, char const* scope) {
  reportingMemory(__LINE__, [&] {
    OrnObject nested;
    objectValue(name, nested, index, scope);
    nested.attrListValue_internal("", list, scope);
  });
}

// ---------------------------------------------------------------- attribute lists, flat form

OrnObject& OrnObject::addAttrListValue_internal(char const* prefix, attrlist_s_t& list, char const* scope) {
  return reportingMemory(__LINE__, [&]() -> OrnObject& {
    AttrListKeys keys(prefix);
    std::string const namesKey = keys.names();
    if (list.num_entries == 0 || !list.entries) return *this;
    // Refused before anything is stored: such a name's values would land on
    // this list's names or on another attribute's types.
    for (unsigned int i = 0; i < list.num_entries; ++i)
      if (attrlist_layout::isReservedName(list.entries[i].name)) raiseInvalidParameter(kLineAttrListReservedName);
    // Every key this writes, watched before the first add, so that a failure
    // half-way takes all the adds back.
    NameValueMap::AddsUndo undo(nameValues_, scope);
    undo.reserve(1 + 2 * std::size_t{list.num_entries});
    undo.watch(namesKey.c_str());
    for (unsigned int i = 0; i < list.num_entries; ++i) {
      std::string const valueKey = keys.values(list.entries[i].name);
      undo.watch(valueKey.c_str());
      undo.watch(AttrListKeys::types(valueKey).c_str());
    }
    for (unsigned int i = 0; i < list.num_entries; ++i) {
      attr_s_t const& attribute = list.entries[i];
      addStringValue(namesKey.c_str(), attribute.name, scope);
      std::string const valueKey = keys.values(attribute.name);
      std::string const typeKey = AttrListKeys::types(valueKey);
      for (unsigned int j = 0; j < attribute.num_values && attribute.values; ++j) {
        value_s_t const& value = attribute.values[j];
        switch (value.type) {
          case ATTR_VALUE_STRING:
            addIntegerValue(typeKey.c_str(), value.type, scope);
            addStringValue(valueKey.c_str(), value.str, scope);
            break;
          case ATTR_VALUE_BUFFER:
          case ATTR_VALUE_POBJ:
            // Bytes that are not there (a length without data) are no bytes,
            // as the attribute list itself holds them.
            addIntegerValue(typeKey.c_str(), value.type, scope);
            addBufferValue(valueKey.c_str(), value.data ? reinterpret_cast<char const*>(value.data) : "",
                           value.data ? value.length : 0, scope);
            break;
          case ATTR_VALUE_UINT32:
            // An integer without its 4 bytes has no number to store; recording
            // its code alone would shift every later value's position.
            if (!value.data || value.length < 4) break;
            addIntegerValue(typeKey.c_str(), value.type, scope);
            addIntegerValue(valueKey.c_str(), readBigEndian32(value.data), scope);
            break;
          default:
            // The code is recorded with an empty value in its place, so that
            // each code keeps the position of its value for every reader.
            addIntegerValue(typeKey.c_str(), value.type, scope);
            addStringValue(valueKey.c_str(), "", scope);
            break;
        }
      }
    }
    undo.commit();
    return *this;
  });
}

void OrnObject::attrListValue_internal(char const* prefix, attrlist_s_t& caller, char const* scope) {
  addAllOrNothing(caller, [&](attrlist_s_t& list) {
    AttrListKeys keys(prefix);
    std::string const namesKey = keys.names();
    unsigned int const count = length(namesKey.c_str(), scope);
    // A name stored twice (two lists merged under one prefix) shares one value
    // key: reading it once gives each stored value once.
    std::unordered_set<std::string> seen;
    for (unsigned int i = 0; i < count; ++i) {
      ZUTF8String_7_0_0 const& stored = getStringValue(namesKey.c_str(), i, scope);
      std::string name(stored.getChars(), stored.getLength());
      // Its values would be read from a layout key: the keys of this list
      // (or of another under the same scope) are mixed up, and reading on
      // would hand one list's names or codes out as another's values.
      if (attrlist_layout::isReservedName(name.data(), name.size())) raiseInvalidParameter(kLineAttrListContradicts);
      if (!seen.insert(name).second) continue;
      std::string const valueKey = keys.values(name.c_str());
      std::string const typeKey = AttrListKeys::types(valueKey);
      unsigned int const codes = length(typeKey.c_str(), scope);
      unsigned int const values = length(valueKey.c_str(), scope);
      unsigned int readable = 0;
      for (unsigned int j = 0; j < codes; ++j)
        if (isReadableCode(integerValue(typeKey.c_str(), j, scope))) ++readable;

      // How codes and values pair up. One value per code (this writer) pairs
      // by position. One value per readable code only (writers that recorded
      // other codes without a value) pairs readable codes with values in
      // order. Anything else pairs by position up to the first other code,
      // where the pairing becomes uncertain and reading stops; codes past the
      // last value are left out.
      bool const byPosition = values == codes;
      bool const readableOnly = !byPosition && values == readable;
      unsigned int next = 0;
      for (unsigned int j = 0; j < codes; ++j) {
        unsigned long const code = integerValue(typeKey.c_str(), j, scope);
        if (!isReadableCode(code)) {
          if (!byPosition && !readableOnly) break;
          continue;
        }
        unsigned int const at = readableOnly ? next++ : j;
        // A code without a stored value has nothing to read.
        if (at >= values) continue;
        value_s_t value{static_cast<unsigned int>(code), nullptr, 0, nullptr};
        if (code == ATTR_VALUE_STRING) {
          value.str = const_cast<char*>(getStringValue(valueKey.c_str(), at, scope).getChars());
          attrlist_add_entry(&list, &name[0], &value);
        } else if (code == ATTR_VALUE_UINT32) {
          unsigned char bytes[4];
          writeBigEndian32(static_cast<uint32_t>(integerValue(valueKey.c_str(), at, scope)), bytes);
          value.length = 4;
          value.data = bytes;
          attrlist_add_entry(&list, &name[0], &value);
        } else {
          char* data = nullptr;
          unsigned long size = 0;
          bufferValue(valueKey.c_str(), data, size, at, scope);
          FreeBlock block{data};
          // No bytes is no value an attribute list can hold (it would refuse
          // it as out of memory): such a value is left out.
          if (!data || size == 0 || size > UINT_MAX) continue;
          value.length = static_cast<unsigned int>(size);
          value.data = reinterpret_cast<unsigned char*>(data);
          attrlist_add_entry(&list, &name[0], &value);
        }
      }
    }
  });
}

OrnObject& OrnObject::v417_addAttrListValue_deprecated(char const* name, attrlist_s_t& list, char const* scope) {
  return addAttrListValue_internal(name, list, scope);
}

void OrnObject::v417_attrListValue_deprecated(char const* name, attrlist_s_t& list, char const* scope) {
  attrListValue_internal(name, list, scope);
}
