// NameValueMap's encodings: the wire buffer through the codec, the legacy
// kelobj_t record, and conversion to and from attribute lists.
#include "util/NameValueMap.h"

#include <cstdlib>
#include <cstring>

#include "foundation/zexception.h"

namespace {

const char kModule[] = "util/NameValueMap";

void* allocate(std::size_t count, std::size_t size) {
  void* block = std::malloc(count * size);
  if (!block) ornz::throwOutOfMemory(kModule, __LINE__);
  return block;
}

// Frees the top-level nodes (and, through freeMap, everything under them)
// however encode() leaves.
struct NodeList {
  const NameValueMap& map;
  namevalueList_s_t list{0, nullptr};
  unsigned int built = 0;
  ~NodeList() {
    for (unsigned int i = 0; i < built; ++i) {
      map.freeMap(list.entries[i]);
      std::free(list.entries[i]);
    }
    std::free(list.entries);
  }
};

struct DecodedList {
  namevalueList_s_t list{0, nullptr};
  ~DecodedList() { ornAsnFreeObj(list); }
};

}  // namespace

NameValueMap::NameValueMap(namevalue_s_t const& node) : NameValueMap() { addNameValue(node); }

NameValueMap::NameValueMap(attrlist_s_t const& list) : NameValueMap() {
  for (unsigned int i = 0; i < list.num_entries; ++i) addNameValue(list.entries[i]);
}

// ---------------------------------------------------------------- wire buffer

void NameValueMap::encode(orn_asn_buffer_t& buffer, unsigned long& status) const {
  ZArrayList_7_0_0 keys(10, 0);
  ZArrayList_7_0_0 entries(10, 0);
  NodeList nodes{*this};
  try {
    map_.listKeys(keys);
    map_.listObjects(entries);
    nodes.list.num_entries = static_cast<unsigned int>(keys.size());
    if (nodes.list.num_entries) {
      nodes.list.entries = static_cast<namevalue_s_t**>(allocate(nodes.list.num_entries, sizeof(namevalue_s_t*)));
      for (unsigned int i = 0; i < nodes.list.num_entries; ++i) {
        auto* node = static_cast<namevalue_s_t*>(allocate(1, sizeof(namevalue_s_t)));
        nodes.list.entries[i] = node;
        std::memset(node, 0, sizeof *node);
        ++nodes.built;
        fillNode(node, static_cast<ZAbstractString_7_0_0*>(keys.get(static_cast<int>(i)))->getChars(),
                 *static_cast<NameValueEntry*>(entries.get(static_cast<int>(i))));
      }
    }
  } catch (const ZOutOfMemoryException_7_0_0&) {
    status = ORN_ASN_E_NOMEM;
    return;
  }
  status = static_cast<unsigned long>(static_cast<long>(ornAsnEncodeObj(buffer, nodes.list)));
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
    NameValueMap const& subtree = entry.subtree();
    int count = subtree.map_.size();
    if (count > 0) {
      ZArrayList_7_0_0 keys(10, 0);
      ZArrayList_7_0_0 children(10, 0);
      subtree.map_.listKeys(keys);
      subtree.map_.listObjects(children);
      node->subtrees = static_cast<namevalue_s_t**>(allocate(static_cast<std::size_t>(count), sizeof(namevalue_s_t*)));
      for (int i = 0; i < count; ++i) {
        auto* child = static_cast<namevalue_s_t*>(allocate(1, sizeof(namevalue_s_t)));
        std::memset(child, 0, sizeof *child);
        node->subtrees[i] = child;
        node->num_subtrees = static_cast<unsigned int>(i + 1);
        subtree.fillNode(child, static_cast<ZAbstractString_7_0_0*>(keys.get(i))->getChars(),
                         *static_cast<NameValueEntry*>(children.get(i)));
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

void NameValueMap::decode(orn_asn_buffer_t& buffer, unsigned long& status) {
  DecodedList decoded;
  int result = ornAsnDecodeObj(buffer, decoded.list);
  status = static_cast<unsigned long>(static_cast<long>(result));
  if (result != 0) return;
  for (unsigned int i = 0; i < decoded.list.num_entries; ++i) addNameValue(*decoded.list.entries[i]);
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
  ZArrayList_7_0_0 keys(10, 0);
  ZArrayList_7_0_0 entries(10, 0);
  map_.listKeys(keys);
  map_.listObjects(entries);
  ZUTF8String_7_0_0 name;
  for (int i = 0; i < keys.size(); ++i) {
    auto const* key = static_cast<ZAbstractString_7_0_0 const*>(keys.get(i));
    auto const* entry = static_cast<NameValueEntry const*>(entries.get(i));
    name.assign(prefix);
    name.append(*key);
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
