#include "foundation/zexception.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <new>

#include "foundation/internal/memoryrule.h"
#include "foundation/internal/syserror.h"
#include "foundation/msgcat.h"
#include "foundation/zmessageservice.h"

namespace {

// The catalogue message of a kind code (0 for codes without one): ids run
// from 0x35e51002 for code 1, skipping code 23.
unsigned int messageIdOf(int code) {
  if (code >= 1 && code <= 22) return 0x35e51001u + static_cast<unsigned int>(code);
  if (code >= 24 && code <= 54) return 0x35e51001u + static_cast<unsigned int>(code) - 1u;
  return 0;
}

void forward(const ZMessageService_7_0_0* service, const ZZException_7_0_0* record, ...) {
  va_list ap;
  va_start(ap, record);
  service->outputException(record, ap);
  va_end(ap);
}

// Calls forward() with the inserts as C arguments of the types the code's
// argument-types string names (at most four). A missing insert is passed as
// "" or 0, so the service never reads past what was given.
template <typename... Args>
void dispatch(const ZMessageService_7_0_0* service, const ZZException_7_0_0* record,
              const char* types, const std::vector<std::string>& texts,
              const std::vector<ZException_7_0_0::Insert>& inserts, std::size_t i, Args... args) {
  if constexpr (sizeof...(Args) < 4) {
    while (*types && *types != '%') ++types;
    if (*types == '%' && types[1] == 's') {
      const char* text = i < texts.size() ? texts[i].c_str() : "";
      dispatch(service, record, types + 2, texts, inserts, i + 1, args..., text);
      return;
    }
    if (*types == '%' && types[1] == 'd') {
      int number = 0;
      if (i < inserts.size())
        number = inserts[i].isNumber ? inserts[i].number : std::atoi(inserts[i].text.c_str());
      dispatch(service, record, types + 2, texts, inserts, i + 1, args..., number);
      return;
    }
  }
  forward(service, record, args...);
}

const char kModule[] = "foundation/zexception";

// A copy of a caller's text; exhausted memory is raised by the rule below.
std::string copyOf(const char* text, int line) {
  return ornz::reportingMemory(kModule, line, [&] { return std::string(text ? text : ""); });
}

}  // namespace

// Every exception here owns heap text. When that text cannot be copied the
// caller gets ZOutOfMemoryException_7_0_0 instead of the exception it asked
// for, never std::bad_alloc: the out-of-memory exception itself needs no
// heap (its text fits the string's own buffer, it has no inserts, and its
// position is dropped when even that cannot be copied).

// ---------------------------------------------------------------- ZZException_7_0_0

ZZException_7_0_0::ZZException_7_0_0(int c, const char* t) : code(c), text(t) {}
ZZException_7_0_0::~ZZException_7_0_0() = default;
const char* ZZException_7_0_0::getFile() const { return file_.c_str(); }
int ZZException_7_0_0::getLine() const { return line_; }

// ---------------------------------------------------------------- ZException_7_0_0

ZException_7_0_0::ZException_7_0_0(int c, const char* t)
    : ZZException_7_0_0(c, nullptr), textStorage_(copyOf(t, __LINE__)) {
  text = textStorage_.c_str();
}

ZException_7_0_0::ZException_7_0_0(const ZException_7_0_0& other) try
    : ZZException_7_0_0(other), std::exception(other),
      textStorage_(other.textStorage_), inserts_(other.inserts_) {
  text = textStorage_.c_str();
} catch (const std::bad_alloc&) {
  // Copying an out-of-memory exception failed (its position): one without a
  // position is made in place, with no copy and no heap.
  if (other.code == ornz::kCodeOutOfMemory) throw ZOutOfMemoryException_7_0_0();
  ornz::throwOutOfMemory(kModule, __LINE__);
}

ZException_7_0_0& ZException_7_0_0::operator=(const ZException_7_0_0& other) {
  if (this != &other) {
    // Copies first, so that a failed copy leaves this exception whole.
    std::string file, textCopy;
    std::vector<Insert> inserts;
    ornz::reportingMemory(kModule, __LINE__, [&] {
      file = other.file_;
      textCopy = other.textStorage_;
      inserts = other.inserts_;
    });
    code = other.code;
    line_ = other.line_;
    file_.swap(file);
    textStorage_.swap(textCopy);
    inserts_.swap(inserts);
    text = textStorage_.c_str();
  }
  return *this;
}

ZException_7_0_0::~ZException_7_0_0() = default;

ZException_7_0_0& ZException_7_0_0::addInsert(const char* t) {
  ornz::reportingMemory(kModule, __LINE__, [&] { inserts_.push_back(Insert{false, 0, t ? t : ""}); });
  return *this;
}

ZException_7_0_0& ZException_7_0_0::addInsert(int number) {
  ornz::reportingMemory(kModule, __LINE__, [&] { inserts_.push_back(Insert{true, number, std::string()}); });
  return *this;
}

void ZException_7_0_0::report() const {
  try {
    const ZMessageService_7_0_0* service = ZMessageService_7_0_0::getMessageService();
    const char* types = orn_msg_get_argtypes(messageIdOf(code));
    std::vector<std::string> texts;
    texts.reserve(inserts_.size());
    for (const Insert& i : inserts_) texts.push_back(i.isNumber ? std::to_string(i.number) : i.text);
    dispatch(service, this, types ? types : "", texts, inserts_, 0);
  } catch (...) {
    // Reporting is the last resort: nothing is left to tell of its failure.
  }
}

void ZException_7_0_0::setPosition(const char* file, int line) {
  line_ = line;
  try {
    file_ = file ? file : "";
  } catch (const std::bad_alloc&) {
    file_.clear();  // the line is all that can be kept
  }
}

// The thrown object is a copy of this one; when the copy cannot be made the
// copy constructor raises out of memory in its place.
void ZException_7_0_0::throwException(const char* file, int line) {
  setPosition(file, line);
  throw *this;
}

const char* ZException_7_0_0::what() const noexcept { return text; }

// ---------------------------------------------------------------- derived classes

ZOutOfMemoryException_7_0_0::ZOutOfMemoryException_7_0_0()
    : ZException_7_0_0(ornz::kCodeOutOfMemory, "Out of memory") {}
ZOutOfMemoryException_7_0_0::~ZOutOfMemoryException_7_0_0() = default;
void ZOutOfMemoryException_7_0_0::throwException(const char* file, int line) {
  setPosition(file, line);
  throw *this;
}

ZInvalidParameterException_7_0_0::ZInvalidParameterException_7_0_0()
    : ZException_7_0_0(ornz::kCodeInvalidParameter, "Invalid parameter") {}
ZInvalidParameterException_7_0_0::ZInvalidParameterException_7_0_0(const char* t)
    : ZException_7_0_0(ornz::kCodeInvalidParameter, t) {}
ZInvalidParameterException_7_0_0::~ZInvalidParameterException_7_0_0() = default;
void ZInvalidParameterException_7_0_0::throwException(const char* file, int line) {
  setPosition(file, line);
  throw *this;
}

ZPropertiesInvalidDataException_7_0_0::ZPropertiesInvalidDataException_7_0_0(const char* file,
                                                                             int line,
                                                                             const char* what)
    : ZException_7_0_0(ornz::kCodeInvalidData,
                       ornz::reportingMemory(kModule, __LINE__, [&] {
                         return std::string(file ? file : "") + ":" + std::to_string(line) + ": " +
                                (what ? what : "invalid data");
                       }).c_str()),
      dataFile_(copyOf(file, __LINE__)),
      dataLine_(line) {
  addInsert(file).addInsert(line).addInsert(what ? what : "invalid data");
}
ZPropertiesInvalidDataException_7_0_0::~ZPropertiesInvalidDataException_7_0_0() = default;
void ZPropertiesInvalidDataException_7_0_0::throwException(const char* file, int line) {
  setPosition(file, line);
  // The copy of the data file's name is this class's own: a failed copy
  // throws std::bad_alloc out of the throw-expression.
  ornz::reportingMemory(kModule, __LINE__, [&] { throw *this; });
  __builtin_unreachable();  // the body always throws
}

// ---------------------------------------------------------------- helpers

namespace {

ZException_7_0_0 fileExceptionOf(const char* file, int err, bool writing, const char* operation) {
  const std::string reason = ornz::errorText(err);
  std::string name = file ? file : "";
  if (writing) {
    ZException_7_0_0 e(ornz::kCodeFileNotWritable,
                       ("cannot " + std::string(operation ? operation : "write") + " " + name +
                        ": " + reason).c_str());
    e.addInsert(operation ? operation : "write").addInsert(file).addInsert(reason.c_str());
    return e;
  }
  int code = err == ENOENT ? ornz::kCodeFileNotFound : ornz::kCodeFileUnreadable;
  ZException_7_0_0 e(code, (name + ": " + reason).c_str());
  e.addInsert(file).addInsert(reason.c_str());
  return e;
}

}  // namespace

ZException_7_0_0 ornz::fileException(const char* file, int err, bool writing,
                                     const char* operation) {
  return reportingMemory(kModule, __LINE__, [&] { return fileExceptionOf(file, err, writing, operation); });
}

void ornz::throwOutOfMemory(const char* file, int line) {
  ZOutOfMemoryException_7_0_0 e;
  e.throwException(file, line);
}
