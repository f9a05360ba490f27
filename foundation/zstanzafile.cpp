#include "foundation/zstanzafile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "foundation/internal/atomicfile.h"
#include "foundation/internal/stanzadoc.h"
#include "foundation/zarraylist.h"
#include "foundation/zexception.h"

using ornz::StanzaDocument;

namespace {

std::string_view view(const char* text) { return text ? std::string_view(text) : std::string_view(); }

[[noreturn]] void badParameter(const char* what, int line) {
  ZInvalidParameterException_7_0_0 e(what);
  e.throwException("foundation/zstanzafile", line);
}

bool hasLineEnd(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }
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

}  // namespace

// Holds the file's lock for the object from the outermost load or store to
// its end: a store made by postLoad inside a load must not wait for the lock
// its own load holds.
class StanzaFileLock {
 public:
  StanzaFileLock(ZStanzaFileProperties_7_0_0& owner, const char* fileName, bool wanted = true)
      : owner_(owner), active_(wanted) {
    if (!active_) return;
    if (owner_.lockDepth_++ > 0) return;
    std::string lockName = std::string(fileName) + ".lock";
    int fd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;  // a directory we may not write: go on unserialised
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    int rc;
    do {
      rc = ::fcntl(fd, F_OFD_SETLKW, &fl);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ::close(fd);
      return;
    }
    owner_.lockFd_ = fd;
  }
  ~StanzaFileLock() {
    if (!active_) return;
    if (--owner_.lockDepth_ > 0) return;
    if (owner_.lockFd_ >= 0) ::close(owner_.lockFd_);  // closing releases the lock
    owner_.lockFd_ = -1;
  }
  StanzaFileLock(const StanzaFileLock&) = delete;
  StanzaFileLock& operator=(const StanzaFileLock&) = delete;

 private:
  ZStanzaFileProperties_7_0_0& owner_;
  bool active_;
};

// ---------------------------------------------------------------- construction

ZStanzaFileProperties_7_0_0::ZStanzaFileProperties_7_0_0(int strict)
    : doc_(new StanzaDocument), strict_(strict != 0) {}

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
    copy->doc_->parse(doc_->serialize(), "(copy)", false);
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
  std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key));
  if (line < 0) {
    out.assign(defaultValue ? defaultValue : "");
    return 0;
  }
  std::string_view v = doc_->value(line);
  out.assign(v.data(), v.size());
  return 1;
}

void ZStanzaFileProperties_7_0_0::getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values,
                                            ZPropertyStringType type) const {
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
}

int ZStanzaFileProperties_7_0_0::numValues(const char* stanza) const {
  std::int32_t s = doc_->findStanza(view(stanza));
  int keys = 0;
  for (std::int32_t line : doc_->entryLines(s))
    if (doc_->firstValueLine(s, doc_->key(line)) == line) ++keys;
  return keys;
}

int ZStanzaFileProperties_7_0_0::numValues(const char* stanza, const char* key) const {
  int n = 0;
  for (std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key)); line >= 0;
       line = doc_->nextValueLine(line))
    ++n;
  return n;
}

int ZStanzaFileProperties_7_0_0::count() const { return doc_->stanzaCount(); }

int ZStanzaFileProperties_7_0_0::count(const char* stanza) const {
  return static_cast<int>(doc_->entryLines(doc_->findStanza(view(stanza))).size());
}

void ZStanzaFileProperties_7_0_0::getStanza(const char* stanza, ZPropertiesKVList_7_0_0& list) const {
  for (std::int32_t line : doc_->entryLines(doc_->findStanza(view(stanza)))) {
    std::string_view k = doc_->key(line), v = doc_->value(line);
    list.add(k.data(), k.size(), v.data(), v.size());
  }
}

void ZStanzaFileProperties_7_0_0::keyNames(const char* stanza, ZArrayList_7_0_0& names) const {
  std::int32_t s = doc_->findStanza(view(stanza));
  for (std::int32_t line : doc_->entryLines(s)) {
    std::string_view k = doc_->key(line);
    if (doc_->firstValueLine(s, k) != line) continue;  // a further value of a key already listed
    ZLCString_7_0_0 name(k.data(), k.size());
    names.add(&name);
  }
}

void ZStanzaFileProperties_7_0_0::stanzaNames(ZArrayList_7_0_0& names) const {
  for (std::int32_t s : doc_->stanzas()) {
    std::string_view name = doc_->stanzaName(s);
    ZLCString_7_0_0 text(name.data(), name.size());
    names.add(&text);
  }
}

void ZStanzaFileProperties_7_0_0::getEntryComment(const char* stanza, const char* key,
                                                  ZAbstractMutableString_7_0_0& comment) const {
  std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key));
  std::string text = line >= 0 ? doc_->commentAbove(line) : std::string();
  comment.assign(text.data(), text.size());
}

std::string ZStanzaFileProperties_7_0_0::text() const { return doc_->serialize(); }

void ZStanzaFileProperties_7_0_0::list() const {
  std::string t = doc_->serialize();
  std::fwrite(t.data(), 1, t.size(), stdout);
}

// ---------------------------------------------------------------- files

void ZStanzaFileProperties_7_0_0::parseText(const std::string& text, const char* name) {
  std::unique_ptr<StanzaDocument> fresh(new StanzaDocument);
  fresh->parse(text, name, strict_);
  doc_.swap(fresh);
}

void ZStanzaFileProperties_7_0_0::load(const char* fileName) {
  if (!fileName) badParameter("null file name", __LINE__);
  StanzaFileLock lock(*this, fileName, serialiseLoads_);
  std::unique_ptr<StanzaDocument> fresh(new StanzaDocument);
  fresh->parse(ornz::readWholeFile(fileName), fileName, strict_);
  doc_.swap(fresh);
  postLoad(fileName);
}

void ZStanzaFileProperties_7_0_0::store(const char* fileName) {
  if (!fileName) badParameter("null file name", __LINE__);
  StanzaFileLock lock(*this, fileName);
  ornz::writeFileAtomically(fileName, doc_->serialize());
}

// ---------------------------------------------------------------- changing

void ZStanzaFileProperties_7_0_0::setValue(const char* stanza, const char* key, const char* value, int) {
  checkStanza(view(stanza));
  checkKey(view(key));
  checkValue(view(value));
  doc_->setValue(view(stanza), view(key), view(value));
}

void ZStanzaFileProperties_7_0_0::addValue(const char* stanza, const char* key, const char* value, int) {
  checkStanza(view(stanza));
  checkKey(view(key));
  checkValue(view(value));
  doc_->addValue(view(stanza), view(key), view(value));
}

void ZStanzaFileProperties_7_0_0::deleteKey(const char* stanza, const char* key) {
  doc_->deleteKey(doc_->findStanza(view(stanza)), view(key));
}

void ZStanzaFileProperties_7_0_0::addStanza(const char* stanza) {
  checkStanza(view(stanza));
  doc_->ensureStanza(view(stanza));
}

void ZStanzaFileProperties_7_0_0::deleteStanza(const char* stanza) {
  doc_->deleteStanza(doc_->findStanza(view(stanza)));
}

void ZStanzaFileProperties_7_0_0::addFileComment(const char* comment) {
  if (comment) doc_->addFileComment(comment);
}

void ZStanzaFileProperties_7_0_0::addStanzaComment(const char* stanza, const char* comment) {
  std::int32_t s = doc_->findStanza(view(stanza));
  if (s >= 0 && comment) doc_->addCommentAbove(doc_->headerLine(s), comment);
}

void ZStanzaFileProperties_7_0_0::addEntryComment(const char* stanza, const char* key, const char* comment) {
  std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key));
  if (line >= 0 && comment) doc_->addCommentAbove(line, comment);
}

void ZStanzaFileProperties_7_0_0::setEntryComment(const char* stanza, const char* key, const char* comment) {
  std::int32_t line = doc_->firstValueLine(doc_->findStanza(view(stanza)), view(key));
  if (line >= 0) doc_->setCommentAbove(line, view(comment));
}

// ---------------------------------------------------------------- ZStanzaValueIterator_7_0_0

ZStanzaValueIterator_7_0_0::ZStanzaValueIterator_7_0_0(ZStanzaFileProperties_7_0_0& file, const char* stanza,
                                                       const char* key, int, int)
    : file_(file), next_(file.doc_->firstValueLine(file.doc_->findStanza(view(stanza)), view(key))) {}

ZStanzaValueIterator_7_0_0::~ZStanzaValueIterator_7_0_0() = default;

bool ZStanzaValueIterator_7_0_0::hasMore() const { return next_ >= 0; }

bool ZStanzaValueIterator_7_0_0::nextValue(const char*& value) {
  if (next_ < 0) return false;
  current_ = next_;
  next_ = file_.doc_->nextValueLine(current_);
  std::string_view v = file_.doc_->value(current_);
  value_.assign(v.data(), v.size());
  value = value_.c_str();
  return true;
}

void ZStanzaValueIterator_7_0_0::removeValue() {
  if (current_ < 0) return;
  file_.doc_->removeValueLine(current_);
  current_ = -1;
}
