#include "foundation/zstanzafile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "foundation/internal/filestore.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/internal/stanzadoc.h"
#include "foundation/internal/stanzajournal.h"
#include "foundation/zarraylist.h"
#include "foundation/zexception.h"

using ornz::StanzaDocument;
using ornz::StanzaJournal;

namespace {

const char kModule[] = "foundation/zstanzafile";

std::string_view view(const char* text) { return text ? std::string_view(text) : std::string_view(); }

[[noreturn]] void badParameter(const char* what, int line) {
  ZInvalidParameterException_7_0_0 e(what);
  e.throwException(kModule, line);
}

// Two scans for one byte each (memchr): find_first_of would look each byte
// up in the set with a call of its own.
bool hasLineEnd(std::string_view s) {
  return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}
bool hasOuterBlank(std::string_view s) {
  return !s.empty() && (s.front() == ' ' || s.front() == '\t' || s.back() == ' ' || s.back() == '\t');
}

// What the file format can hold without changing it on the next load.
void checkStanza(std::string_view s) {
  if (s.empty() || hasLineEnd(s) || hasOuterBlank(s) || s.find(']') != std::string_view::npos)
    badParameter("a stanza name must be non-empty, on one line, without ] or outer blanks", __LINE__);
}

void checkKey(std::string_view k) {
  if (k.empty() || hasLineEnd(k) || hasOuterBlank(k) || k.find('=') != std::string_view::npos ||
      k.front() == '#' || k.front() == '[')
    badParameter("a key must be non-empty, on one line, without = or outer blanks, not start with # or [",
                 __LINE__);
}

void checkValue(std::string_view v) {
  if (hasLineEnd(v) || hasOuterBlank(v))
    badParameter("a value must be on one line, without outer blanks", __LINE__);
}

// Appends to a caller's list all or nothing: what was appended before a
// failure is taken out again.
template <typename Body>
void appendingWhole(ZArrayList_7_0_0& list, Body body) {
  int before = list.size();
  ornz::allOrNothing(kModule, __LINE__, body, [&] {
    while (list.size() > before) list.remove(list.size() - 1);
  });
}

// Makes a change of the document and records it, both or neither: the
// record's allocations are made first, the document's change is whole or
// not made, and committing the record allocates nothing.
template <typename Change>
void changeAndRecord(StanzaJournal* journal, StanzaJournal::Op op, const char* stanza, const char* key,
                     const char* text, unsigned int ordinal, Change change) {
  StanzaJournal::Pending pending;
  if (journal) journal->prepare(pending, op, view(stanza), view(key), view(text), ordinal);
  change();
  if (journal) journal->commit(pending);
}

// Passes the bytes on to the file and to a digest.
class DigestingSink : public ornz::ByteSink {
 public:
  DigestingSink(ornz::ByteSink& file, ornz::DigestBuilder& digest) : file_(file), digest_(digest) {}
  void put(const char* data, std::size_t size) override {
    digest_.put(data, size);
    file_.put(data, size);
  }

 private:
  ornz::ByteSink& file_;
  ornz::DigestBuilder& digest_;
};

}  // namespace

// Holds the lock of one real file for the object while it lives. The object
// keeps its outermost lock, so that a store made inside a load's postLoad, or
// between lockFile and unlockFile, does not wait for the lock the object
// already holds; a lock of another file is held by the guard alone.
class StanzaFileLock {
 public:
  StanzaFileLock(ZStanzaFileProperties_7_0_0& owner, const std::string& target, int waitMs = ornz::kWaitForever)
      : owner_(owner) {
    if (owner_.lockDepth_ > 0 && owner_.lockTarget_ == target) {
      ++owner_.lockDepth_;
      nested_ = true;
      return;
    }
    // The owner's copy of the name is made before the lock is taken, so
    // that once it is taken nothing can fail: a lock recorded under an
    // empty name would make the next store open a second lock on the same
    // file and wait for itself for ever.
    std::string name = owner_.lockDepth_ == 0 ? target : std::string();
    fd_ = ornz::lockBeside(target, waitMs);
    if (owner_.lockDepth_ == 0) {
      owner_.lockDepth_ = 1;
      owner_.lockFd_ = fd_;
      owner_.lockTarget_.swap(name);
      nested_ = true;
      fd_ = -1;
    }
  }
  ~StanzaFileLock() {
    if (!nested_) {
      if (fd_ >= 0) ::close(fd_);
      return;
    }
    if (--owner_.lockDepth_ > 0) return;
    if (owner_.lockFd_ >= 0) ::close(owner_.lockFd_);  // closing releases the lock
    owner_.lockFd_ = -1;
    owner_.lockTarget_.clear();
  }
  // Whether the lock is really held (a lock file that cannot be created
  // leaves the store unserialised).
  bool held() const { return nested_ ? owner_.lockFd_ >= 0 : fd_ >= 0; }
  StanzaFileLock(const StanzaFileLock&) = delete;
  StanzaFileLock& operator=(const StanzaFileLock&) = delete;

 private:
  ZStanzaFileProperties_7_0_0& owner_;
  bool nested_ = false;  // counted in the owner's depth
  int fd_ = -1;          // a lock of its own
};

// One store of an object, in named steps. Everything that can fail (the
// merge with what another process stored, the document the object goes on
// from, its fresh journal, the copy of the file's name) runs before the
// rename; after it the object only takes what was prepared, by swaps that
// cannot fail, so that a store either fails with the file and the object
// unchanged or succeeds with the object holding what the file holds.
class StanzaStore {
 public:
  StanzaStore(ZStanzaFileProperties_7_0_0& file, const char* fileName) : f_(file), fileName_(fileName) {}

  void run() {
    target_ = ornz::storeTarget(fileName_);
    StanzaFileLock lock(f_, target_);
    // Never rename over a file another process is rewriting in place.
    ornz::waitForWriters(target_.c_str());
    sameFile_ = f_.journal_ && f_.origin_ == target_;
    if (sameFile_ && !mergeWithFile()) return;
    // A copy stored elsewhere leaves the object standing for its own file.
    const bool adopts = sameFile_ || !f_.journal_;
    if (adopts) prepareAdoption();
    write(lock.held());
    if (adopts) adopt();
  }

 private:
  // Under the lock, what the file holds now is final until this store ends:
  // compared with what the object last read or stored, a piece at a time (a
  // copy of a large file would double what a store needs). When another
  // process changed it, this object's changes are made again on its text.
  // False when there is nothing to write: with no changes of its own the
  // object takes the file's text instead of overwriting it with a stale copy.
  bool mergeWithFile() {
    bool holds = false;
    bool present = ornz::whenPresent([&] { holds = f_.doc_->fileHoldsBase(target_.c_str()); });
    if (present == f_.originPresent_ && (!present || holds)) return true;
    std::string now = ornz::readIfPresent(target_, present);
    if (f_.journal_->empty()) {
      if (present) {
        std::unique_ptr<StanzaDocument> theirs(new StanzaDocument);
        theirs->parse(std::move(now), fileName_, f_.strict_);
        f_.doc_.swap(theirs);
        f_.originPresent_ = true;
      }
      return false;
    }
    if (present) {
      merged_.reset(new StanzaDocument);
      merged_->parse(std::move(now), fileName_, f_.strict_);
      f_.journal_->replay(*merged_);
    }
    // Gone since it was read: this object's whole content makes it anew.
    return true;
  }

  const StanzaDocument& output() const { return rebuilt_ ? *rebuilt_ : merged_ ? *merged_ : *f_.doc_; }

  // What the object holds once the file is replaced: it goes on from its
  // own lines, knowing the file by the digest of what was written, unless
  // its changes have left much behind: then from its text parsed anew, as it
  // would be loaded, which is also what is written.
  void prepareAdoption() {
    const StanzaDocument& out = output();
    if (out.wasteful()) {
      rebuilt_.reset(new StanzaDocument);
      try {
        rebuilt_->parse(out.serialize(), fileName_, false);
      } catch (ZException_7_0_0&) {
        rebuilt_.reset();  // cannot happen with text of our own making; go on from the lines
      }
    }
    journal_.reset(new StanzaJournal);
    origin_ = target_;
  }

  // Written straight from the document's lines, and digested on the way.
  void write(bool locked) {
    const StanzaDocument& out = output();
    ornz::writeFileAtomically(
        target_, out.serializedSize(),
        [&](ornz::ByteSink& file) {
          DigestingSink both(file, digest_);
          out.serializeTo(both);
        },
        locked);
  }

  void adopt() noexcept {
    if (rebuilt_) {
      f_.doc_.swap(rebuilt_);
    } else {
      if (merged_) f_.doc_.swap(merged_);
      f_.doc_->rebase(digest_.digest());
    }
    f_.origin_.swap(origin_);
    f_.originPresent_ = true;
    f_.journal_.swap(journal_);
  }

  ZStanzaFileProperties_7_0_0& f_;
  const char* fileName_;
  std::string target_;
  bool sameFile_ = false;
  std::unique_ptr<StanzaDocument> merged_;   // the file's newer text with this object's changes made again
  std::unique_ptr<StanzaDocument> rebuilt_;  // parsed anew from what is written
  std::unique_ptr<StanzaJournal> journal_;   // the object's journal after the store: empty
  std::string origin_;                       // the object's origin after the store
  ornz::DigestBuilder digest_;
};

// ---------------------------------------------------------------- construction

ZStanzaFileProperties_7_0_0::ZStanzaFileProperties_7_0_0(int strict) : strict_(strict != 0) {
  ornz::reportingMemory(kModule, __LINE__, [&] { doc_.reset(new StanzaDocument); });
}

ZStanzaFileProperties_7_0_0::ZStanzaFileProperties_7_0_0(const char* fileName, int strict)
    : ZStanzaFileProperties_7_0_0(strict) {
  load(fileName);
}

ZStanzaFileProperties_7_0_0::~ZStanzaFileProperties_7_0_0() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

ZObject_7_0_0* ZStanzaFileProperties_7_0_0::clone() const {
  auto* copy = new ZStanzaFileProperties_7_0_0(strict_ ? 1 : 0);
  if (!copy) return nullptr;
  try {
    ornz::reportingMemory(kModule, __LINE__, [&] { copy->doc_->parse(doc_->serialize(), "(copy)", false); });
  } catch (...) {
    delete copy;
    throw;
  }
  return copy;
}

// ---------------------------------------------------------------- reading

bool ZStanzaFileProperties_7_0_0::exists(const char* stanza, const char* key) const {
  return doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key)) >= 0;
}

bool ZStanzaFileProperties_7_0_0::exists(const char* stanza) const {
  return doc_->findStanza(view(stanza)) >= 0;
}

int ZStanzaFileProperties_7_0_0::getValue(const char* stanza, const char* key,
                                          ZAbstractMutableString_7_0_0& out, int,
                                          const char* defaultValue) const {
  std::string_view v;
  if (!doc_->firstValue(view(stanza), view(key), v)) {
    out.assign(defaultValue ? defaultValue : "");
    return 0;
  }
  out.assign(v.data(), v.size());
  return 1;
}

void ZStanzaFileProperties_7_0_0::getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values,
                                            ZPropertyStringType type) const {
  appendingWhole(values, [&] {
  for (std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key)); line >= 0;
       line = doc_->nextValueLine(line)) {
    std::string_view v = doc_->value(line);
    if (type == ZPropertyUTF8String) {
      ZUTF8String_7_0_0 s(v.data(), v.size());
      values.add(&s);
    } else {
      ZLCString_7_0_0 s(v.data(), v.size());
      values.add(&s);
    }
  }
  });
}

int ZStanzaFileProperties_7_0_0::numValues(const char* stanza) const {
  return ornz::reportingMemory(kModule, __LINE__, [&] {
    std::int32_t s = doc_->findStanza(view(stanza));
    int keys = 0;
    for (std::int32_t line : doc_->entryLines(s))
      if (doc_->firstValueLine(s, doc_->key(line)) == line) ++keys;
    return keys;
  });
}

int ZStanzaFileProperties_7_0_0::numValues(const char* stanza, const char* key) const {
  int n = 0;
  for (std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key)); line >= 0;
       line = doc_->nextValueLine(line))
    ++n;
  return n;
}

int ZStanzaFileProperties_7_0_0::count() const {
  return ornz::reportingMemory(kModule, __LINE__, [&] { return doc_->stanzaCount(); });  // it lists the stanzas to count them
}

int ZStanzaFileProperties_7_0_0::count(const char* stanza) const {
  return ornz::reportingMemory(kModule, __LINE__, [&] {
    return static_cast<int>(doc_->entryLines(doc_->findStanza(view(stanza))).size());
  });
}

void ZStanzaFileProperties_7_0_0::getStanza(const char* stanza, ZPropertiesKVList_7_0_0& list) const {
  ornz::reportingMemory(kModule, __LINE__, [&] {
    for (std::int32_t line : doc_->entryLines(doc_->findStanza(view(stanza)))) {
      std::string_view k = doc_->key(line), v = doc_->value(line);
      list.add(k.data(), k.size(), v.data(), v.size());
    }
  });
}

void ZStanzaFileProperties_7_0_0::keyNames(const char* stanza, ZArrayList_7_0_0& names) const {
  appendingWhole(names, [&] {
    std::int32_t s = doc_->findStanza(view(stanza));
    for (std::int32_t line : doc_->entryLines(s)) {
      std::string_view k = doc_->key(line);
      if (doc_->firstValueLine(s, k) != line) continue;  // a further value of a key already listed
      ZLCString_7_0_0 name(k.data(), k.size());
      names.add(&name);
    }
  });
}

void ZStanzaFileProperties_7_0_0::stanzaNames(ZArrayList_7_0_0& names) const {
  appendingWhole(names, [&] {
    for (std::int32_t s : doc_->stanzas()) {
      std::string_view name = doc_->stanzaName(s);
      ZLCString_7_0_0 text(name.data(), name.size());
      names.add(&text);
    }
  });
}

void ZStanzaFileProperties_7_0_0::getEntryComment(const char* stanza, const char* key,
                                                  ZAbstractMutableString_7_0_0& comment) const {
  std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key));
  std::string text = ornz::reportingMemory(kModule, __LINE__, [&] { return line >= 0 ? doc_->commentAbove(line) : std::string(); });
  comment.assign(text.data(), text.size());
}

std::string ZStanzaFileProperties_7_0_0::text() const {
  return ornz::reportingMemory(kModule, __LINE__, [&] { return doc_->serialize(); });
}

void ZStanzaFileProperties_7_0_0::list() const {
  std::string t = ornz::reportingMemory(kModule, __LINE__, [&] { return doc_->serialize(); });
  std::fwrite(t.data(), 1, t.size(), stdout);
}

// ---------------------------------------------------------------- files

void ZStanzaFileProperties_7_0_0::forgetChanges() {
  if (journal_) journal_->clear();
  else journal_.reset(new StanzaJournal);
}

void ZStanzaFileProperties_7_0_0::unrecorded(void (*body)(void* context), void* context) {
  // Without a journal, changes are not recorded; it is put back however the
  // body ends.
  struct PutBack {
    std::unique_ptr<StanzaJournal>& slot;
    std::unique_ptr<StanzaJournal> held;
    ~PutBack() { slot.swap(held); }
  } putBack{journal_, std::move(journal_)};
  body(context);
}

void ZStanzaFileProperties_7_0_0::reserveKeys(const char* stanza, std::size_t keys) {
  ornz::reportingMemory(kModule, __LINE__, [&] { doc_->reserveKeys(doc_->findStanza(view(stanza)), keys); });
}

void ZStanzaFileProperties_7_0_0::parseText(const std::string& text, const char* name) {
  ornz::reportingMemory(kModule, __LINE__, [&] {
    std::unique_ptr<StanzaDocument> fresh(new StanzaDocument);
    fresh->parse(text, name, strict_);
    doc_.swap(fresh);
    journal_.reset();
    origin_.clear();
  });
}

void ZStanzaFileProperties_7_0_0::readFile(const char* fileName) {
  if (!fileName) badParameter("null file name", __LINE__);
  ornz::reportingMemory(kModule, __LINE__, [&] {
    std::string target = ornz::resolveSymlinks(fileName);
    // Read again (a migration reads under the lock what it first read
    // without): a file that still holds what the object holds is not parsed
    // a second time, which would hold two documents of it at once.
    if (journal_ && journal_->empty() && originPresent_ && origin_ == target && doc_->fileHoldsBase(fileName)) return;
    std::unique_ptr<StanzaDocument> fresh(new StanzaDocument);
    fresh->parse(ornz::readWholeFile(fileName), fileName, strict_);
    std::unique_ptr<StanzaJournal> journal(new StanzaJournal);
    doc_.swap(fresh);
    journal_.swap(journal);
    origin_.swap(target);
    originPresent_ = true;
  });
}

void ZStanzaFileProperties_7_0_0::standForMissingFile(const char* fileName) {
  ornz::reportingMemory(kModule, __LINE__, [&] {
    origin_ = ornz::resolveSymlinks(fileName);
    originPresent_ = false;
    forgetChanges();
  });
}

void ZStanzaFileProperties_7_0_0::load(const char* fileName) {
  readFile(fileName);
  postLoad(fileName);
}

void ZStanzaFileProperties_7_0_0::store(const char* fileName) {
  if (!fileName) badParameter("null file name", __LINE__);
  ornz::reportingMemory(kModule, __LINE__, [&] { StanzaStore(*this, fileName).run(); });
}

void ZStanzaFileProperties_7_0_0::lockFile(const char* fileName) { lockFileWithin(fileName, ornz::kWaitForever); }

void ZStanzaFileProperties_7_0_0::lockFileWithin(const char* fileName, int waitMs) {
  if (!fileName) badParameter("null file name", __LINE__);
  std::string target = ornz::reportingMemory(kModule, __LINE__, [&] { return ornz::resolveSymlinks(fileName); });
  if (lockDepth_ > 0 && lockTarget_ != target) badParameter("the object already holds the lock of another file", __LINE__);
  ornz::reportingMemory(kModule, __LINE__, [&] { StanzaFileLock lock(*this, target, waitMs); ++lockDepth_; });
}

void ZStanzaFileProperties_7_0_0::unlockFile() {
  if (lockDepth_ == 0 || --lockDepth_ > 0) return;
  if (lockFd_ >= 0) ::close(lockFd_);
  lockFd_ = -1;
  lockTarget_.clear();
}

bool ZStanzaFileProperties_7_0_0::wasReadFrom(const char* fileName) const {
  return journal_ && originPresent_ && fileName &&
         ornz::reportingMemory(kModule, __LINE__, [&] { return ornz::resolveSymlinks(fileName) == origin_; });
}

bool ZStanzaFileProperties_7_0_0::holdsLockOf(const char* fileName) const {
  return lockDepth_ > 0 && fileName &&
         ornz::reportingMemory(kModule, __LINE__, [&] { return ornz::resolveSymlinks(fileName) == lockTarget_; });
}

// ---------------------------------------------------------------- changing

void ZStanzaFileProperties_7_0_0::setValue(const char* stanza, const char* key, const char* value, int) {
  checkStanza(view(stanza));
  checkKey(view(key));
  checkValue(view(value));
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kSetValue, stanza, key, value, 0, [&] { doc_->setValue(view(stanza), view(key), view(value)); });
  });
}

void ZStanzaFileProperties_7_0_0::addValue(const char* stanza, const char* key, const char* value, int) {
  checkStanza(view(stanza));
  checkKey(view(key));
  checkValue(view(value));
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kAddValue, stanza, key, value, 0, [&] { doc_->addValue(view(stanza), view(key), view(value)); });
  });
}

void ZStanzaFileProperties_7_0_0::deleteKey(const char* stanza, const char* key) {
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kDeleteKey, stanza, key, nullptr, 0, [&] { doc_->deleteKey(doc_->findStanza(view(stanza)), view(key)); });
  });
}

void ZStanzaFileProperties_7_0_0::addStanza(const char* stanza) {
  checkStanza(view(stanza));
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kAddStanza, stanza, nullptr, nullptr, 0, [&] { doc_->ensureStanza(view(stanza)); });
  });
}

void ZStanzaFileProperties_7_0_0::deleteStanza(const char* stanza) {
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kDeleteStanza, stanza, nullptr, nullptr, 0, [&] { doc_->deleteStanza(doc_->findStanza(view(stanza))); });
  });
}

void ZStanzaFileProperties_7_0_0::addFileComment(const char* comment) {
  if (!comment) return;
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kAddFileComment, nullptr, nullptr, comment, 0, [&] { doc_->addFileComment(comment); });
  });
}

void ZStanzaFileProperties_7_0_0::addStanzaComment(const char* stanza, const char* comment) {
  std::int32_t s = doc_->findStanza(view(stanza));
  if (s < 0 || !comment) return;
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kAddStanzaComment, stanza, nullptr, comment, 0, [&] { doc_->addCommentAbove(doc_->headerLine(s), comment); });
  });
}

void ZStanzaFileProperties_7_0_0::addEntryComment(const char* stanza, const char* key, const char* comment) {
  std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key));
  if (line < 0 || !comment) return;
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kAddEntryComment, stanza, key, comment, 0, [&] { doc_->addCommentAbove(line, comment); });
  });
}

void ZStanzaFileProperties_7_0_0::setEntryComment(const char* stanza, const char* key, const char* comment) {
  std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key));
  if (line < 0) return;
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(journal_.get(), StanzaJournal::kSetEntryComment, stanza, key, comment, 0, [&] { doc_->setCommentAbove(line, view(comment)); });
  });
}

// ---------------------------------------------------------------- ZStanzaValueIterator_7_0_0

ZStanzaValueIterator_7_0_0::ZStanzaValueIterator_7_0_0(ZStanzaFileProperties_7_0_0& file, const char* stanza,
                                                       const char* key, int, int)
    : file_(file), next_(-1) {
  ornz::reportingMemory(kModule, __LINE__, [&] {
    stanza_.assign(view(stanza));
    key_.assign(view(key));
  });
  next_ = file.doc_->firstValueLine(file.doc_->findStanza(stanza_), key_);
}

ZStanzaValueIterator_7_0_0::~ZStanzaValueIterator_7_0_0() = default;

bool ZStanzaValueIterator_7_0_0::hasMore() const { return next_ >= 0; }

bool ZStanzaValueIterator_7_0_0::nextValue(const char*& value) {
  if (next_ < 0) return false;
  // The copy first: exhausted memory leaves the iterator where it was.
  std::string_view v = file_.doc_->value(next_);
  ornz::reportingMemory(kModule, __LINE__, [&] { value_.assign(v.data(), v.size()); });
  current_ = next_;
  next_ = file_.doc_->nextValueLine(current_);
  value = value_.c_str();
  return true;
}

void ZStanzaValueIterator_7_0_0::removeValue() {
  if (current_ < 0) return;
  // Which of the equal values this is, so that a store replaying the
  // removal on newer content removes the same one.
  unsigned int ordinal = 0;
  const StanzaDocument& doc = *file_.doc_;
  for (std::int32_t line = doc.firstValueLine(doc.findStanza(stanza_), key_); line >= 0 && line != current_;
       line = doc.nextValueLine(line))
    if (doc.value(line) == value_) ++ordinal;
  ornz::reportingMemory(kModule, __LINE__, [&] {
    changeAndRecord(file_.journal_.get(), StanzaJournal::kRemoveValue, stanza_.c_str(), key_.c_str(), value_.c_str(), ordinal, [&] { file_.doc_->removeValueLine(current_); });
  });
  current_ = -1;
}
