// Stanza files: properties kept in "[stanza]" / "key = value" text files,
// read and written with every byte the administrator wrote kept in place.
//
//   ZStanzaFileProperties_7_0_0  the properties of one stanza file
//   ZStanzaValueIterator_7_0_0   walks (and removes) the values of one key
//
// The format: "[stanza]" header lines; "key = value" entries (blanks around
// "=" optional; the value is the rest of the line, trimmed); a key repeated
// within a stanza is one key with several values, in file order; lines whose
// first non-blank character is "#" are comments, which belong to the header
// or entry right below them; blank lines. Stanza names and keys match
// exactly, letter case included. Loading and storing an unchanged file
// writes the same bytes; a changed value rewrites its own line only; new keys
// go at the end of their stanza, new stanzas at the end of the file.
//
// Storing, and loading by classes whose postLoad may store (they call
// serialiseLoads()), hold an open-file-description lock on "<file>.lock"
// (created beside the file, never replaced or removed; skipped when it
// cannot be created), so that read-migrate-store cycles of several processes
// on one file run one after the other. Plain loads only read.
#ifndef ORNUTIL_FOUNDATION_ZSTANZAFILE_H
#define ORNUTIL_FOUNDATION_ZSTANZAFILE_H

#include <memory>
#include <string>

#include "foundation/export.h"
#include "foundation/zproperties.h"

namespace ornz {
class StanzaDocument;
}

class ORNUTIL_API ZStanzaFileProperties_7_0_0 : public ZProperties_7_0_0 {
 public:
  // `strict` 1: a line of no known kind, an entry before the first stanza or
  // an unclosed "[" raises ZPropertiesInvalidDataException_7_0_0 naming the
  // file and line. 0: such lines are kept as opaque text.
  explicit ZStanzaFileProperties_7_0_0(int strict = 1);
  // Constructs and loads `fileName` (see load).
  ZStanzaFileProperties_7_0_0(const char* fileName, int strict);
  ~ZStanzaFileProperties_7_0_0() override;
  ZStanzaFileProperties_7_0_0(const ZStanzaFileProperties_7_0_0&) = delete;
  ZStanzaFileProperties_7_0_0& operator=(const ZStanzaFileProperties_7_0_0&) = delete;

  // A copy holding the same text (not loaded from any file).
  ZObject_7_0_0* clone() const override;

  bool exists(const char* stanza, const char* key) const override;
  bool exists(const char* stanza) const override;
  int getValue(const char* stanza, const char* key, ZAbstractMutableString_7_0_0& out, int flags,
               const char* defaultValue) const override;
  using ZProperties_7_0_0::getValues;
  void getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values,
                 ZPropertyStringType type) const override;
  int numValues(const char* stanza) const override;
  int numValues(const char* stanza, const char* key) const override;
  int count() const override;
  int count(const char* stanza) const override;
  void load(const char* fileName) override;
  void store(const char* fileName) override;
  void list() const override;
  using ZProperties_7_0_0::setValue;
  void setValue(const char* stanza, const char* key, const char* value, int flags) override;
  void deleteKey(const char* stanza, const char* key) override;
  void addFileComment(const char* comment) override;
  void addEntryComment(const char* stanza, const char* key, const char* comment) override;
  void setEntryComment(const char* stanza, const char* key, const char* comment) override;
  void getEntryComment(const char* stanza, const char* key,
                       ZAbstractMutableString_7_0_0& comment) const override;
  using ZProperties_7_0_0::addValue;
  void addValue(const char* stanza, const char* key, const char* value, int flags) override;
  void getStanza(const char* stanza, ZPropertiesKVList_7_0_0& list) const override;
  void keyNames(const char* stanza, ZArrayList_7_0_0& names) const override;
  // Appends the stanza names (new owning strings), in file order.
  void stanzaNames(ZArrayList_7_0_0& names) const;
  void addStanza(const char* stanza) override;
  void deleteStanza(const char* stanza) override;
  void addStanzaComment(const char* stanza, const char* comment) override;

  // The file's text as store would write it.
  std::string text() const;
  // Replaces the content with `text`, as load does with a file's bytes
  // (postLoad is not called). `name` names the source in errors.
  void parseText(const std::string& text, const char* name);

 protected:
  // Makes load hold the file's lock through postLoad (for a postLoad that
  // stores).
  void serialiseLoads() { serialiseLoads_ = true; }

 private:
  friend class ZStanzaValueIterator_7_0_0;
  friend class StanzaFileLock;
  std::unique_ptr<ornz::StanzaDocument> doc_;
  bool strict_;
  bool serialiseLoads_ = false;
  int lockDepth_ = 0;
  int lockFd_ = -1;
};

// Walks the values of one key of a stanza file, in file order.
class ORNUTIL_API ZStanzaValueIterator_7_0_0 {
 public:
  // `stringType` and `valueType` are reserved (0). The file must outlive
  // the iterator and not change but through it.
  ZStanzaValueIterator_7_0_0(ZStanzaFileProperties_7_0_0& file, const char* stanza, const char* key,
                             int stringType, int valueType);
  ~ZStanzaValueIterator_7_0_0();
  ZStanzaValueIterator_7_0_0(const ZStanzaValueIterator_7_0_0&) = delete;
  ZStanzaValueIterator_7_0_0& operator=(const ZStanzaValueIterator_7_0_0&) = delete;

  bool hasMore() const;
  // The next value, valid until the next call; false when none is left.
  bool nextValue(const char*& value);
  // Removes the value nextValue returned last; nothing when there is none.
  void removeValue();

 private:
  ZStanzaFileProperties_7_0_0& file_;
  int next_;
  int current_ = -1;
  std::string value_;
};

#endif
