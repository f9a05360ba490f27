// The name/value tree: names mapped to ordered lists of text values, each
// name with a subtree of the same kind.
//
//   NameValueEntry            one name's values and subtree
//   NameValueMap              the map: adding, setting, reading, removing
//     encodings               the wire buffer, the legacy kelobj_t record and
//                             attribute lists (NameValueMapEncoding.cpp)
//     trace                   an indented, masked text (NameValueMapTrace.cpp)
//
// Names and virtual slot order of both classes are fixed: after
// ZObject_7_0_0's slots, NameValueMap adds encode(kelobj_t&, ...) and then
// encode(orn_asn_buffer_t&, ...) const.
#ifndef ORNUTIL_UTIL_NAMEVALUEMAP_H
#define ORNUTIL_UTIL_NAMEVALUEMAP_H

#include <pthread.h>
#include <stdint.h>

#include "KelCore/attrlist.h"
#include "foundation/export.h"
#include "foundation/ornasn.h"
#include "foundation/zarraylist.h"
#include "foundation/zhashkeymap.h"
#include "foundation/zobject.h"
#include "foundation/zstring.h"

// The legacy object record: the encoded buffer with a header around it.
typedef struct kelobj_t {
  uint64_t head0;       // cleared by encode, otherwise unused here
  uint32_t head1;       // cleared by encode, otherwise unused here
  uint32_t tag;         // the caller's; never touched here
  uint32_t length;      // bytes at data
  unsigned char* data;  // the encoded bytes
} kelobj_t;

class NameValueEntry;

// Every operation lets the foundation's exceptions (ZOutOfMemoryException_7_0_0
// above all) pass; the temporaries of the operation are released on the way.
// A map is changed by one thread at a time; while no thread changes it, any
// number of threads may use its const operations at once (getNames makes
// the key objects it hands out on first use, safely so).
class ORNUTIL_API NameValueMap : public ZObject_7_0_0 {
 public:
  NameValueMap();
  NameValueMap(NameValueMap const& other);
  // An empty map, then addNameValue(node).
  explicit NameValueMap(namevalue_s_t const& node);
  // An empty map, then addNameValue of each entry in index order.
  explicit NameValueMap(attrlist_s_t const& list);
  // A deep copy; assigning a map to itself does nothing.
  NameValueMap& operator=(NameValueMap const& other);
  ~NameValueMap() override;

  // A new heap copy (the caller owns it), or null when it cannot be allocated.
  ZObject_7_0_0* clone() const override;

  // ------------------------------------------------------------ encodings
  // Encodes the map and moves the result into the record: head0, head1,
  // length and data are cleared, then on success (status 0) length and data
  // take the encoded buffer, which the caller releases with
  // orn_asn_buffer_free. tag is left alone.
  virtual void encode(kelobj_t& object, unsigned long& status);
  // Encodes the whole tree into `buffer` (a new block the caller releases
  // with orn_asn_buffer_free). `status` is 0 or the codec's status (see
  // foundation/ornasn.h): ORN_ASN_E_NOMEM when the block cannot be
  // allocated, ORN_ASN_E_DEPTH or ORN_ASN_E_TOO_BIG for a tree the wire form
  // cannot hold, ORN_ASN_E_PARAM when a value of a class other than the
  // foundation's strings gives another text each time it is asked; on
  // failure the buffer is unchanged. The block may be
  // somewhat larger than `buffer.length` (see docs/attributes.md).
  virtual void encode(orn_asn_buffer_t& buffer, unsigned long& status) const;
  // Adds the decoded names, values and subtrees to what the map holds.
  // `status` is 0 or the codec's status; on failure the map is unchanged.
  void decode(orn_asn_buffer_t& buffer, unsigned long& status);
  // decode() of the record's length and data (which stay the caller's).
  void decode(kelobj_t& object, unsigned long& status);

  // Fills `node` for `name` from this map, recursively; the texts point into
  // the map. Throws ZOutOfMemoryException_7_0_0 when an array or node cannot
  // be allocated, leaving `node` with no values and no subtrees.
  void encodeMap(namevalue_s_t* node, char const* name) const;
  // Releases the node's arrays and child nodes (not the node itself) and
  // leaves its counts 0 and its arrays null.
  void freeMap(namevalue_s_t* node) const;
  // Adds the node's values under its name, then its children to the name's
  // subtree. A node without values and children still makes the name's
  // entry, so an empty name survives a round trip.
  void addNameValue(namevalue_s_t const& node);
  // Adds the attribute's values as texts under its name: strings as they
  // are, buffers and encoded objects as Base64, 4-byte integers in decimal;
  // other types, and integers without 4 bytes of data, are skipped.
  void addNameValue(attr_s_t const& attribute);
  // Adds every value of the tree to `list` as a string value, under its
  // name prefixed by the names of the subtrees above it (no separator).
  // Throws what attrlist_add_entry throws.
  void toAttrlist(attrlist_s_t& list) const;
  void toAttrlistInternal(attrlist_s_t& list, char const* prefix) const;

  // ------------------------------------------------------------ adding and setting
  // Appends a copy of `value` to the name's values, creating the entry.
  void addValue(char const* name, ZObject_7_0_0 const* value);
  void addString(char const* name, char const* value);
  // Adds the Base64 text of the `length` bytes at `data`. Throws
  // ZOutOfMemoryException_7_0_0 when the text cannot be made (also for null
  // data with a non-zero length, which has no text).
  void addString(char const* name, char const* data, unsigned int length);
  // Adds "true" for a non-zero flag, "false" for 0.
  void addString(char const* name, int flag);
  // Adds the decimal text of the number.
  void addString(char const* name, unsigned long number);
  // Replaces the value at `index` with a copy of `value`, or appends the
  // copy when the index is not below the count; creates the entry.
  void setValue(char const* name, unsigned int index, ZObject_7_0_0 const* value);
  void setString(char const* name, char const* value, unsigned int index);
  void setString(char const* name, unsigned int index, char const* value);
  void setString(char const* name, char const* data, unsigned int length, unsigned int index);
  void setString(char const* name, int flag, unsigned int index);
  void setString(char const* name, unsigned long number, unsigned int index);
  // The name's subtree (owned by the map, valid while the entry exists),
  // creating the entry.
  NameValueMap* addSubtree(char const* name);

  // ------------------------------------------------------------ reading
  // 1 when the name has values or a non-empty subtree, else 0.
  int exist(char const* name) const;
  // The name's value list, or null when the name has no entry.
  ZArrayList_7_0_0* getValues(char const* name) const;
  // The value at the index, or null (no entry, or index past the end).
  ZObject_7_0_0 const* getValue(char const* name, unsigned int index) const;
  // The same, as a string (null when absent or not a string).
  ZUTF8String_7_0_0 const* getString(char const* name, unsigned int index) const;
  unsigned int getValueCount(char const* name) const;
  // Values of all names of this map, subtrees not counted.
  unsigned int getValueCount() const;
  // The name's subtree, or null when the name has no entry.
  NameValueMap* getSubtree(char const* name) const;
  // Names in the name's subtree; 0 when the name has no entry.
  unsigned int getSubtreeCount(char const* name) const;
  // The stored names with their entries, in key order, and their number
  // (null when there are none), for walkers inside the library: they
  // allocate nothing, where getNames makes key strings that stay. Valid
  // until the map changes.
  ORNUTIL_LOCAL const ZHashKeyMap_7_0_0::Entry* entries(std::uint32_t& count) const;
  // Appends the map's key strings, in key order; `names` must not own them.
  // They are made on the first call and stay valid while their names are in
  // the map. Throws ZOutOfMemoryException_7_0_0 when they cannot be made or
  // appended, with `names` as it was.
  void getNames(ZArrayList_7_0_0& names) const;

  // ------------------------------------------------------------ removing
  // Removes the value at the index; the entry stays. No entry: nothing.
  void removeValue(char const* name, unsigned int index);
  void removeString(char const* name, unsigned int index);
  void removeAll();

  // ------------------------------------------------------------ trace
  // Appends an indented rendering of the map and its subtrees to `out`,
  // masking the values of the names in namesNotToTrace (and of "value" when
  // this level's "obfuscate" is "true"). A value holding an encoded tree (a
  // nested object, an attribute list stored as one) is rendered as that
  // tree, under the same rules, and masked when it should be one but does
  // not decode (rules in NameValueMapTrace.cpp). `depth` is 0 for the top
  // map. Throws ZOutOfMemoryException_7_0_0 when memory runs out; `out` may
  // then hold part of the rendering.
  void buildTraceBuf(ZUTF8String_7_0_0& out, int depth) const;

  // Renders the trace of an encoded tree exactly as buildTraceBuf(out,
  // depth) renders the map that decode() makes of `buffer`, without building
  // that map or holding the text whole: the text is handed to `write`, with
  // `context`, in pieces as it is made. `status` is 0, or the codec's status
  // when the bytes do not decode, and then nothing is written. Throws
  // ZOutOfMemoryException_7_0_0 when memory runs out; part of the text may
  // have been written by then. The bytes stay the caller's.
  static void traceEncoded(orn_asn_buffer_t const& buffer, int depth,
                           void (*write)(void* context, char const* text, std::size_t length), void* context,
                           unsigned long& status);

  // Names whose values are never traced: "resourcepassword", "pwd",
  // "password", "server_pwd". Made when the library loads, and kept for the
  // life of the process; traces test names without it.
  static ZHashMap_7_0_0* namesNotToTrace;
  // Makes namesNotToTrace unless it is made; run at load and through
  // inst_once. Leaves it null when its slots cannot be allocated.
  static void initializeNamesNotToTrace();

 private:
  friend struct NameValueMapWireWriter;
  friend class OrnObject;
  // Takes back the adds of a writer that could not make them all
  // (util/internal/namevalue_undo.h).
  class AddsUndo;

  // addValue and setValue in the subtree of the entry `scope` (this map
  // when null). A scope's entry is made only together with the value, so a
  // failure leaves the map as it was.
  ORNUTIL_LOCAL void addValueIn(char const* scope, char const* name, ZObject_7_0_0 const* value);
  ORNUTIL_LOCAL void setValueIn(char const* scope, char const* name, unsigned int index, ZObject_7_0_0 const* value);

  ORNUTIL_LOCAL static pthread_once_t inst_once;

  ORNUTIL_LOCAL NameValueEntry* findEntry(char const* name) const;
  ORNUTIL_LOCAL NameValueEntry* entryFor(char const* name);
  // A new entry, not yet stored, with room for its first values. Throws
  // ZOutOfMemoryException_7_0_0.
  ORNUTIL_LOCAL static NameValueEntry* makeEntry();
  // Stores `entry` (from makeEntry) under the `length` bytes at `name`,
  // which must be absent, and returns it. Throws ZOutOfMemoryException_7_0_0,
  // with `entry` released and the map unchanged.
  ORNUTIL_LOCAL NameValueEntry* adoptEntry(char const* name, std::size_t length, NameValueEntry* entry);
  // What a decode changed at the levels that held names before it
  // (NameValueMapEncoding.cpp).
  struct DecodeLog;
  // decode() once the bytes are known to be valid. With a log, every change
  // to this level and to the levels below it that existed before is noted
  // there first, so that it can be taken back.
  ORNUTIL_LOCAL void decodeChecked(unsigned char const* first, unsigned char const* end, DecodeLog* log);
  ORNUTIL_LOCAL void fillNode(namevalue_s_t* node, char const* name, NameValueEntry const& entry) const;

  ZHashKeyMap_7_0_0 map_;
};

// One name's values (owning list, text values) and its subtree.
class ORNUTIL_API NameValueEntry : public ZObject_7_0_0 {
 public:
  NameValueEntry();
  NameValueEntry(NameValueEntry const& other);
  NameValueEntry& operator=(NameValueEntry const& other) = delete;
  ~NameValueEntry() override;

  // A new heap copy of the list and the subtree, or null when the entry
  // itself cannot be allocated.
  ZObject_7_0_0* clone() const override;

  ZArrayList_7_0_0& values() { return values_; }
  ZArrayList_7_0_0 const& values() const { return values_; }
  NameValueMap& subtree() { return subtree_; }
  NameValueMap const& subtree() const { return subtree_; }

 private:
  // Declared in this order so that the subtree is destroyed first.
  ZArrayList_7_0_0 values_;
  NameValueMap subtree_;
};

#endif
