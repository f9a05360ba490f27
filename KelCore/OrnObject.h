// The typed attribute object: named, ordered value lists in one name/value
// tree, with typed access (strings, integers, booleans, byte buffers), nested
// objects, object and string arrays, attribute lists, wire forms and a trace.
//
//   scalar values, identity, scopes      KelCore/OrnObject.cpp
//   nested objects, arrays, attr lists   KelCore/OrnObjectCompound.cpp
//   wire forms, copying, trace           KelCore/OrnObjectEncoding.cpp
//
// Names, member signatures and the virtual slot order are fixed: after
// ZObject_7_0_0's slots come encode(name, scope, target), decode(name, scope,
// source), encode(kelobj_t&, ...), encode(orn_asn_buffer_t&, ...) const,
// traceDump, getName, setName, getDescription, setDescription.
//
// Every value is held as text. A null scope means the root of the tree; a
// non-null scope is the name of one top-level entry whose subtree the
// operation works on (one level, never a path). Writers create a missing
// subtree; readers, counters and deleters treat it as empty and create
// nothing. An index addresses one value of a name (0 first); reading past
// the last value gives the absent result, setting at or past the count
// appends. Writers ignore a null name and return the object for chaining.
//
// Exhausted memory raises ZOutOfMemoryException_7_0_0 (never std::bad_alloc).
// Every operation that raises leaves the object as it was, writers that
// store several values included (all of them or none), and a reader that
// raises leaves what it fills (a list, an attribute list, an object) as it
// was. An object is used by one thread at a time.
#ifndef ORNUTIL_KELCORE_ORNOBJECT_H
#define ORNUTIL_KELCORE_ORNOBJECT_H

#include "KelCore/attrlist.h"
#include "foundation/export.h"
#include "foundation/ornasn.h"
#include "foundation/svc.h"
#include "foundation/zarraylist.h"
#include "foundation/zobject.h"
#include "foundation/zstring.h"
#include "util/NameValueMap.h"

class ORNUTIL_API OrnObject : public ZObject_7_0_0 {
 public:
  // ------------------------------------------------------------ construction
  OrnObject();
  // An empty tree holding `name` as the value of "name".
  OrnObject(char const* name);  // NOLINT: implicit, as callers have used it
  // Deep copies of the other object's tree.
  OrnObject(OrnObject const& other);
  OrnObject& operator=(OrnObject const& other);
  ~OrnObject() override;

  // 0 for every object, so that all objects hash alike.
  unsigned long hash() const override;
  // 0 for every pair of objects (and so equals() is always true).
  int compare(ZObject_7_0_0 const& other) const override;
  // A new heap copy (deep) that the caller owns; null when the object itself
  // cannot be allocated.
  ZObject_7_0_0* clone() const override;

  // ------------------------------------------------------------ identity into another object
  // Appends "name" = `name` and "description" = this object's description
  // ("" when it has none) to `target` in `target`'s scope `scope`. Returns 0.
  virtual unsigned long encode(char const* name, char const* scope, OrnObject& target);
  // Does nothing and returns 0; derived classes read their identity here.
  virtual unsigned long decode(char const* name, char const* scope, OrnObject& source);

  // ------------------------------------------------------------ wire forms
  // Encodes the tree into the record: head0, head1, length and data are
  // cleared, then on success (status 0) length and data take the encoded
  // block (release it with orn_asn_buffer_free); tag is left alone. On
  // failure status is the codec's non-zero status and the record stays
  // cleared.
  virtual void encode(kelobj_t& object, unsigned long& status);
  // Encodes the whole tree, subtrees included, into a new block in `buffer`
  // that the caller releases with orn_asn_buffer_free. status is 0 or the
  // codec's status; on failure the buffer is unchanged.
  virtual void encode(orn_asn_buffer_t& buffer, unsigned long& status) const;

  // Writes the tree as one debug record through `handle` at the caller's
  // position, subcomponent and level, starting with `textPrefix`, with the
  // values of secret names masked, also inside nested objects, object arrays
  // and attribute lists, which are rendered as trees rather than as their
  // Base64 (NameValueMap::buildTraceBuf). Nothing is built when the
  // subcomponent's level is below `level`. A failure to emit is traced and
  // reported as the record "Bad textPrefix, <prefix>", never raised; a
  // failure while building the text passes to the caller.
  virtual void traceDump(dce_svc_handle_s_t* handle, char const* file, int line, int subcomponent,
                         int level, char const* textPrefix);

  // The value 0 of "name" / "description" at the root ("" when absent).
  virtual ZUTF8String_7_0_0 const& getName() const;
  virtual void setName(ZUTF8String_7_0_0& name);
  virtual ZUTF8String_7_0_0 const& getDescription() const;
  virtual void setDescription(ZUTF8String_7_0_0& text);

  // Adds the decoded names, values and subtrees to the tree (what it held
  // stays). status is 0 or the codec's status; on failure nothing is added.
  // The caller's bytes are never released.
  void decode(orn_asn_buffer_t& buffer, unsigned long& status);
  void decode(kelobj_t& object, unsigned long& status);
  void decode(unsigned int length, unsigned char const* data, unsigned long& status);
  // Prepares a record for encode(kelobj_t&, ...): tag set, length and data
  // cleared, head0 and head1 left as they are.
  static void init_kelobj(kelobj_t& object, unsigned int tag);

  // ------------------------------------------------------------ copying between objects
  // Replaces `target`'s whole tree with a deep copy of this object's subtree
  // `scope` when that subtree holds at least one name; a null, missing or
  // empty scope leaves `target` unchanged.
  void getAllScope(OrnObject& target, char const* scope);
  // Appends every value of the level (the root for a null scope, else the
  // scope's subtree) at `target`'s root, name by name; subtrees are not
  // copied. A missing scope copies nothing.
  void getNameValues(OrnObject& target, char const* scope);

  // ------------------------------------------------------------ scalar writers
  // Replace the value at `index`, or append when the index is not below the
  // count. Integers are stored in decimal, booleans as "true"/"false",
  // buffers as Base64 (null data with a non-zero length cannot be encoded
  // and raises ZOutOfMemoryException_7_0_0).
  OrnObject& setStringValue(char const* name, char const* value, unsigned int index, char const* scope);
  OrnObject& setIntegerValue(char const* name, unsigned int value, unsigned int index, char const* scope);
  OrnObject& setBooleanValue(char const* name, unsigned int value, unsigned int index, char const* scope);
  OrnObject& setBufferValue(char const* name, char const* data, unsigned int length, unsigned int index,
                            char const* scope);
  // Append.
  OrnObject& addStringValue(char const* name, char const* value, char const* scope);
  OrnObject& addIntegerValue(char const* name, unsigned int value, char const* scope);
  OrnObject& addBooleanValue(char const* name, unsigned int value, char const* scope);
  OrnObject& addBufferValue(char const* name, char const* data, unsigned int length, char const* scope);

  // ------------------------------------------------------------ scalar readers
  // The stored text, or a shared empty string (which callers must not
  // change) when the name is null, the scope or name is absent or the index
  // is past the last value. Valid until the value is replaced or removed or
  // the object is destroyed.
  ZUTF8String_7_0_0 const& getStringValue(char const* name, unsigned int index, char const* scope) const;
  // The text read as strtoul does in base 10; 0 when absent or not numeric.
  unsigned long integerValue(char const* name, unsigned int index, char const* scope);
  // 1 when the text is exactly "true", else 0.
  unsigned int booleanValue(char const* name, unsigned int index, char const* scope);
  // Decodes the Base64 text into a new malloc'd block (the caller frees it
  // with free) and its length; an absent or empty value gives null and 0.
  // Raises ZOutOfMemoryException_7_0_0 (data null, length 0) when the block
  // cannot be allocated.
  void bufferValue(char const* name, char*& data, unsigned long& length, unsigned int index,
                   char const* scope);

  // ------------------------------------------------------------ removing and counting
  // Removes the value at the index, closing the gap. Null name, missing
  // scope or name: nothing.
  void deleteValue(char const* name, unsigned int index, char const* scope);
  void deleteName(char const* name, unsigned int index, char const* scope);
  // Removes every value of the name; its subtree stays.
  void deleteName(char const* name, char const* scope);
  // 1 when the name has a value or a non-empty subtree, else 0 (also for a
  // missing scope). A null name raises ZInvalidParameterException_7_0_0.
  int exist(char const* name, char const* scope) const;
  // The number of values of the name; 0 for a null name or missing scope.
  unsigned int length(char const* name, char const* scope) const;
  // The number of values of all root names (subtrees not counted).
  unsigned int length() const;

  // ------------------------------------------------------------ nested objects
  // Appends / sets the Base64 text of `value`'s wire encoding, made through
  // its virtual encode(orn_asn_buffer_t&, ...) so that a derived class's own
  // form is stored. A null name or a failed encoding raises
  // ZInvalidParameterException_7_0_0 and stores nothing.
  OrnObject& addObjectValue(char const* name, OrnObject const& value, char const* scope);
  OrnObject& setObjectValue(char const* name, OrnObject const& value, unsigned int index, char const* scope);
  // Decodes the nested object at the index and adds its entries to `out`
  // (what `out` held stays). An absent or empty value leaves `out`
  // unchanged; bytes that do not decode raise ZInvalidParameterException_7_0_0
  // with `out` unchanged.
  void objectValue(char const* name, OrnObject& out, unsigned int index, char const* scope);

  // ------------------------------------------------------------ object and string arrays
  // Appends each element (an OrnObject, or a class derived from it) as a
  // nested object. A null name (with a non-empty list), or an element that
  // is null or not an OrnObject, raises ZInvalidParameterException_7_0_0
  // before anything is stored.
  OrnObject& addObjectArrayValue(char const* name, ZArrayList_7_0_0 const& list, char const* scope);
  // Replaces every value of the name by the list's objects; raises as above,
  // also for a null name, and then leaves the name's values as they were.
  OrnObject& setObjectArrayValue(char const* name, ZArrayList_7_0_0 const& list, char const* scope);
  // Appends the name's values to `out`, after what it holds. An owning list
  // keeps copies; a non-owning one holds pointers into this object, valid as
  // getStringValue's result is.
  void stringArrayValue(char const* name, ZArrayList_7_0_0& out, char const* scope) const;
  // Appends the text of each element (a foundation string). An element that
  // is null or not a string raises ZInvalidParameterException_7_0_0 before
  // anything is stored.
  OrnObject& addStringArrayValue(char const* name, ZArrayList_7_0_0 const& list, char const* scope);
  // Replaces every value of the name by the list's texts; a null name does
  // nothing. With a scope, its subtree exists afterwards, even for an empty
  // list. Raises as addStringArrayValue, leaving the name unchanged.
  OrnObject& setStringArrayValue(char const* name, ZArrayList_7_0_0 const& list, char const* scope);

  // ------------------------------------------------------------ attribute lists
  // Nested form: the list is written into a new object (under `scope` there)
  // which is appended / set as a nested object under `name` (in `scope`
  // here). A null name raises ZInvalidParameterException_7_0_0.
  OrnObject& addAttrListValue(char const* name, attrlist_s_t const& list, char const* scope);
  OrnObject& setAttrListValue(char const* name, attrlist_s_t const& list, unsigned int index,
                              char const* scope);
  // Reads the nested object at the index and adds its attributes (under
  // `scope` there) to `list`. Raises as objectValue; exceptions of
  // attrlist_add_entry pass through.
  void attrListValue(char const* name, attrlist_s_t& list, unsigned int index, char const* scope);

  // Flat form, directly in this object: the keys <prefix>"attrlistnames"
  // (the attribute names), <prefix><attribute> (the values) and
  // <prefix><attribute>"attrlistvaltype" (one type code per value). Writing
  // adds to what the keys hold, so lists written under one prefix merge.
  // The list is not changed.
  OrnObject& addAttrListValue_internal(char const* prefix, attrlist_s_t& list, char const* scope);
  // Adds the attributes stored under `prefix` to `list` (each stored name
  // once, with all its values); see docs/objects.md for the values that
  // cannot be read back.
  void attrListValue_internal(char const* prefix, attrlist_s_t& list, char const* scope);
  // Deprecated: the flat form with the value's name as the prefix.
  OrnObject& v417_addAttrListValue_deprecated(char const* name, attrlist_s_t& list, char const* scope);
  void v417_attrListValue_deprecated(char const* name, attrlist_s_t& list, char const* scope);

 private:
  // The level a scope names: the root for null, else the scope's subtree;
  // null when that subtree is missing (findLevel) or made on demand
  // (levelFor).
  ORNUTIL_LOCAL NameValueMap const* findLevel(char const* scope) const;
  ORNUTIL_LOCAL NameValueMap* levelFor(char const* scope);
  // Adds or sets one text under the name in the scope's tree, making the
  // scope only together with the value.
  ORNUTIL_LOCAL void addText(char const* name, char const* text, char const* scope);
  ORNUTIL_LOCAL void setText(char const* name, char const* text, unsigned int index, char const* scope);
  // Removes the first `count` values of the name in the scope.
  ORNUTIL_LOCAL void dropFirstValues(char const* name, unsigned int count, char const* scope) noexcept;

  NameValueMap nameValues_;
};

#endif
