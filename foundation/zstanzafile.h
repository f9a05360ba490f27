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
// Files (through the file store, foundation/internal/filestore.h): a load
// reads only a regular file (symbolic links followed; a FIFO,
// device, socket or directory is refused without blocking; at most 64 MiB;
// a file that changes while it is read is read again) and creates nothing on
// disk. A store replaces the real file behind any symbolic links atomically
// and durably, keeping its owner, mode, ACLs and extended attributes (a mode
// narrowed, never widened, where owner or group cannot be kept), while
// holding an open-file-description lock on "<real file>.lock" (never a
// link, never removed; skipped when it cannot be created). A store made to
// the file the object was read from first reads that file again under the
// lock, so that what other processes stored in the meantime is kept (see
// store).
//
// Exhausted memory raises ZOutOfMemoryException_7_0_0. A change (setValue,
// addValue, deleteKey, the comment and stanza operations) that fails for
// memory leaves the object as it was: no half-made stanza, key or comment.
#ifndef ORNUTIL_FOUNDATION_ZSTANZAFILE_H
#define ORNUTIL_FOUNDATION_ZSTANZAFILE_H

#include <memory>
#include <string>

#include "foundation/export.h"
#include "foundation/zproperties.h"

namespace ornz {
class StanzaDocument;
class StanzaJournal;
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
  // Reads the file into the object (replacing what it held, and forgetting
  // its changes), then calls postLoad(fileName). On failure the object is
  // left as it was; the exceptions are those of ZProperties_7_0_0, with
  // kind 13 also for a file that is not a regular file, is larger than
  // 64 MiB or kept changing while it was read.
  void load(const char* fileName) override;
  // Writes the object to the file (through symbolic links, to the real
  // file; a link to nothing is refused), atomically and durably, holding the
  // file's lock. When the object was read from that same file and the file
  // has changed since (another process stored it), the store reads it again
  // under the lock and makes this object's changes again on top of it:
  // changes of others are kept, and where both changed one key this store
  // wins. An object with no changes of its own then writes nothing. After a
  // store to the file it was read from (or to any file, for an object not
  // read from one) the object holds exactly what the file holds, and its
  // changes are forgotten; iterators over it are no longer valid. On failure
  // the file and the object are unchanged. Changing the object in this way
  // counts as a change for objects shared between threads.
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
  // (postLoad is not called). `name` names the source in errors. The object
  // then stands for no file: a store writes exactly this text.
  void parseText(const std::string& text, const char* name);

  // For the library's own migration of old files (hidden, not exported):
  // the document itself, to walk a stanza's keys without a string object
  // per name; and body(context) run with its changes left out of those a
  // store makes again on top of newer content, for changes made under the
  // file's lock and stored before it goes, which no other writer can come
  // between (a journal of every key a migration moves would cost more than
  // the file). Changes recorded before stay recorded.
  ORNUTIL_LOCAL const ornz::StanzaDocument& document() const { return *doc_; }
  ORNUTIL_LOCAL void unrecorded(void (*body)(void* context), void* context);
  // Room for `keys` more keys in `stanza`, when it exists and has keys, so
  // that adding them one at a time does not grow its index step by step.
  // Changes nothing else; raises ZOutOfMemoryException_7_0_0 when memory
  // runs out, leaving the index as it was.
  ORNUTIL_LOCAL void reserveKeys(const char* stanza, std::size_t keys);

  // Holds the lock of the file (of the real file behind its symbolic links)
  // until the matching unlockFile or the object's destruction, so that a
  // read-modify-write cycle (lockFile, load, change, store) runs with no
  // other writer in between; loads and stores of that file made meanwhile
  // do not take it again. Calls nest. Waits while another process holds it.
  // Raises ZException_7_0_0 (kind 47) for an unusable lock file (see
  // store), and ZInvalidParameterException_7_0_0 while the object holds
  // the lock of another file; a lock file that cannot be created is no
  // error (the cycle then runs unserialised).
  void lockFile(const char* fileName);
  void unlockFile();

 protected:
  // Reads the file into the object as load does, without calling postLoad.
  void readFile(const char* fileName);
  // True while this object holds the lock of that file (lockFile, or a
  // store in progress).
  bool holdsLockOf(const char* fileName) const;
  // lockFile, waiting at most `waitMs` milliseconds for another holder
  // (negative: without limit); then raises ZException_7_0_0 (kind 47).
  ORNUTIL_LOCAL void lockFileWithin(const char* fileName, int waitMs);
  // True when the object was read from that file (load or readFile, or a
  // store there since) and stands for it.
  ORNUTIL_LOCAL bool wasReadFrom(const char* fileName) const;

 private:
  friend class ZStanzaValueIterator_7_0_0;
  friend class ZProperties_7_0_0;  // the registry: standForMissingFile
  friend class StanzaFileLock;
  friend class StanzaStore;
  // Makes the (empty) object stand for a file that does not exist yet, so
  // that a store merges with one created meanwhile.
  ORNUTIL_LOCAL void standForMissingFile(const char* fileName);
  ORNUTIL_LOCAL void forgetChanges();

  std::unique_ptr<ornz::StanzaDocument> doc_;
  // Changes made since the object read its file; null when it stands for no
  // file.
  std::unique_ptr<ornz::StanzaJournal> journal_;
  std::string origin_;  // the real file it was read from
  bool originPresent_ = false;
  bool strict_;
  int lockDepth_ = 0;
  int lockFd_ = -1;
  std::string lockTarget_;
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
  std::string stanza_, key_;
  int next_;
  int current_ = -1;
  std::string value_;
};

#endif
