// Properties: values by stanza and key, loaded from and stored to files, and
// the process-wide registry that shares one loaded object per file.
//
//   ZProperties_7_0_0                 the interface; its virtual slots are in a
//                                     fixed order (below) shared by every
//                                     properties class
//   ZAbstractPropertiesFactory_7_0_0  makes the objects the registry loads
//   ZPropertiesKVList_7_0_0           one stanza's key/value pairs
//   ZStzFileItem_7_0_0                one wanted item for getItems
//   getPropertiesFor                  the registry
#ifndef ORNUTIL_FOUNDATION_ZPROPERTIES_H
#define ORNUTIL_FOUNDATION_ZPROPERTIES_H

#include <string>
#include <utility>
#include <vector>

#include "foundation/export.h"
#include "foundation/zstzitem.h"
#include "foundation/zobject.h"
#include "foundation/zstring.h"

class ZArrayList_7_0_0;
class ZPropertiesKVList_7_0_0;
class ZProperties_7_0_0;

// The string class getValues fills a list with.
enum ZPropertyStringType { ZPropertyLCString = 0, ZPropertyUTF8String = 1 };

// Registry flag: a file that does not exist loads as an empty object instead
// of raising (postLoad is not called for it).
constexpr int ZPROPERTIES_MISSING_OK = 1;



// Makes the objects the registry holds. The virtual slot order is fixed:
// makePropertiesInstance, then the destructors; the ZObject_7_0_0 view is a
// second base.
class ORNUTIL_API ZPropertiesFactoryInterface_7_0_0 {
 public:
  // A new, empty, caller-owned properties object, or null when memory is
  // exhausted.
  virtual ZProperties_7_0_0* makePropertiesInstance() = 0;
  virtual ~ZPropertiesFactoryInterface_7_0_0();
};

class ORNUTIL_API ZAbstractPropertiesFactory_7_0_0 : public ZPropertiesFactoryInterface_7_0_0,
                                                     public ZObject_7_0_0 {
 public:
  ZAbstractPropertiesFactory_7_0_0();
  ~ZAbstractPropertiesFactory_7_0_0() override;
  using ZObject_7_0_0::operator new;
  using ZObject_7_0_0::operator delete;
};

// Values by stanza and key. Failures of outside input raise
// ZException_7_0_0 (a file that cannot be read: kind 12 or 13; invalid data:
// ZPropertiesInvalidDataException_7_0_0; a store that fails: kind 28).
// Allocation failures raise ZOutOfMemoryException_7_0_0. An object is used by
// one thread at a time; objects shared through the registry are read by many
// threads, so they must not be changed while shared unless the callers
// serialise.
class ORNUTIL_API ZProperties_7_0_0 : public ZObject_7_0_0 {
 public:
  ~ZProperties_7_0_0() override;

  // --- the fixed virtual slots, in order
  virtual bool exists(const char* stanza, const char* key) const = 0;
  virtual bool exists(const char* stanza) const = 0;
  // No file needs obfuscation: always 0.
  virtual int isObfuscated(const char* stanza, const char* key) const;
  virtual int isObfuscated(const char* stanza) const;
  // The key's first value into `out`; when absent, `defaultValue` (empty when
  // null). Returns 1 when the key was present. `flags` is reserved (0).
  virtual int getValue(const char* stanza, const char* key, ZAbstractMutableString_7_0_0& out,
                       int flags, const char* defaultValue) const = 0;
  // The first value as a decimal number; `defaultValue` when absent, not a
  // number, or out of the 32-bit range (a negative number, down to INT_MIN,
  // converts as in C). `flags` is reserved (0).
  virtual unsigned int getIntegerValue(const char* stanza, const char* key, int flags,
                                       unsigned int defaultValue) const;
  virtual long long getLongLongValue(const char* stanza, const char* key, int flags,
                                     long long defaultValue) const;
  // yes/true/on/1 give 1, no/false/off/0 give 0 (any letter case);
  // `defaultValue` when absent or anything else.
  virtual int getBooleanValue(const char* stanza, const char* key, int flags, int defaultValue) const;
  // Appends every value of the key, in file order, as new strings of `type`
  // (the list should own its elements).
  virtual void getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values,
                         ZPropertyStringType type) const = 0;
  // The same; `count` receives the number of values appended.
  virtual void getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values, int& count,
                         ZPropertyStringType type) const;
  // Number of keys of a stanza; number of values of a key; number of
  // stanzas; number of entries (values) of a stanza.
  virtual int numValues(const char* stanza) const = 0;
  virtual int numValues(const char* stanza, const char* key) const = 0;
  virtual int count() const = 0;
  virtual int count(const char* stanza) const = 0;
  // Reads the file (replacing what the object held), then calls
  // postLoad(fileName). On failure the object is left as it was.
  virtual void load(const char* fileName) = 0;
  // Reads the file again (the same as load).
  virtual void reload(const char* fileName);
  // Writes the object to the file, atomically and durably.
  virtual void store(const char* fileName) = 0;
  // Prints the stored text to standard output.
  virtual void list() const = 0;
  // Replaces all values of the key with one; stanza and key are created as
  // needed. `flags` is reserved (0). A stanza, key or value holding a line
  // end (or a key holding "=") raises ZInvalidParameterException_7_0_0.
  virtual void setValue(const char* stanza, const char* key, const char* value, int flags) = 0;
  virtual void setValue(const char* stanza, const char* key, const char* value);
  virtual void setValue(const char* stanza, const char* key, const ZLCString_7_0_0& value, int flags);
  virtual void setValue(const char* stanza, const char* key, const ZUTF8String_7_0_0& value, int flags);
  virtual void setValue(const char* stanza, const char* key, const ZLCConstString_7_0_0& value, int flags);
  virtual void setValue(const char* stanza, const char* key, const ZUTF8ConstString_7_0_0& value,
                        int flags);
  virtual void setIntegerValue(const char* stanza, const char* key, unsigned int value);
  virtual void setLongLongValue(const char* stanza, const char* key, long long value);
  // Writes "yes" or "no".
  virtual void setBooleanValue(const char* stanza, const char* key, int value);
  // Removes every value of the key (and the comment above it).
  virtual void deleteKey(const char* stanza, const char* key) = 0;
  virtual void addFileComment(const char* comment) = 0;
  // Attaches comment lines above the key (after any comment already there).
  virtual void addEntryComment(const char* stanza, const char* key, const char* comment) = 0;
  // Replaces the comment above the key.
  virtual void setEntryComment(const char* stanza, const char* key, const char* comment) = 0;
  // The comment above the key ("" when none), lines joined with "\n".
  virtual void getEntryComment(const char* stanza, const char* key,
                               ZAbstractMutableString_7_0_0& comment) const = 0;
  // Called by load after the file was read; does nothing here.
  virtual void postLoad(const char* fileName);
  // Makes `comment` a valid comment: every line starts with "#".
  virtual void checkComment(ZLCString_7_0_0& comment);
  // Reserved: attributes and access control are not used by this library.
  virtual void setAttributes(unsigned long attributes, void* data);
  virtual int checkAccess(const char* stanza, const char* key, int mode) const;
  virtual void addValue(const char* stanza, const char* key, const char* value, int flags);
  virtual void addValue(const char* stanza, const char* key, const ZLCString_7_0_0& value, int flags);
  virtual void addValue(const char* stanza, const char* key, const ZUTF8String_7_0_0& value, int flags);
  virtual void addValue(const char* stanza, const char* key, const ZLCConstString_7_0_0& value,
                        int flags);
  virtual void addValue(const char* stanza, const char* key, const ZUTF8ConstString_7_0_0& value,
                        int flags);
  virtual void addValues(const char* stanza, const char* key, const ZArrayList_7_0_0& values, int flags);
  // Fills `list` with the stanza's key/value pairs in file order.
  virtual void getStanza(const char* stanza, ZPropertiesKVList_7_0_0& list) const;

  // --- further operations
  // Appends the key names of the stanza (new owning strings), in file order.
  virtual void keyNames(const char* stanza, ZArrayList_7_0_0& names) const;
  virtual void addStanza(const char* stanza);
  virtual void deleteStanza(const char* stanza);
  virtual void addStanzaComment(const char* stanza, const char* comment);
  // Stores each item's value into its destination (see ZStzFileItem_7_0_0);
  // another kind raises ZInvalidParameterException_7_0_0. Items before a
  // failing one stay filled.
  virtual void getItems(ZStzFileItem_7_0_0* items, int count) const;

  // The registry: the one object for `fileName`, made with the factory and
  // loaded (load calls postLoad) on first use; later calls return the same
  // object. Threads racing for the first use get one object, loaded once. A
  // file that fails to load raises and is not kept (a later call tries
  // again). `flags`: ZPROPERTIES_MISSING_OK. The registry owns the objects.
  static ZProperties_7_0_0* getPropertiesFor(const char* fileName,
                                             ZAbstractPropertiesFactory_7_0_0& factory, int flags);

 protected:
  ZProperties_7_0_0();
};

// One stanza's key/value pairs, in file order (a multi-valued key gives one
// pair per value).
class ORNUTIL_API ZPropertiesKVList_7_0_0 : public ZObject_7_0_0 {
 public:
  ZPropertiesKVList_7_0_0();
  ~ZPropertiesKVList_7_0_0() override;
  int getItemCount() const;
  // Null for an index out of range.
  const char* getItemKey(int index) const;
  const char* getItemValue(int index) const;
  void clear();
  void add(const char* key, std::size_t keyLength, const char* value, std::size_t valueLength);

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

#endif
