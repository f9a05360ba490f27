// The foundation exception classes and the record the message service reads.
//
// An exception carries a kind code (1 to 54), an English text, the source
// position where it was raised and the inserts of its catalogue message, in
// the order and of the types that the code's message takes (see
// foundation/messages.def). report() hands all of that to the process-wide
// message service, which turns it into one log record.
//
// Kind codes used by the foundation:
//   1  out of memory                                  (no inserts)
//   2  system call failed: call, object, errno        (%s%s%d)
//   11 invalid parameter                              (no inserts)
//   12 file not found: file, reason                   (%s%s)
//   13 file unreadable: file, reason                  (%s%s)
//   14 operation not supported                        (no inserts)
//   28 file cannot be written: operation, file, reason (%s%s%s)
//   39 lock directory unusable: lock, dir, op, reason (%s%s%s%s)
//   44 invalid data: file, line, what                 (%s%d%s)
//   47 lock cannot be taken: lock, reason             (%s%s)
#ifndef ORNUTIL_FOUNDATION_ZEXCEPTION_H
#define ORNUTIL_FOUNDATION_ZEXCEPTION_H

#include <exception>
#include <string>
#include <vector>

#include "foundation/export.h"

// Exceptions own heap text: when it cannot be copied (constructing, adding
// an insert, copying, throwing), ZOutOfMemoryException_7_0_0 is raised in
// place of the exception asked for, never std::bad_alloc.
namespace ornz {
enum ExceptionCode {
  kCodeOutOfMemory = 1,
  kCodeSystemCall = 2,
  kCodeInvalidParameter = 11,
  kCodeFileNotFound = 12,
  kCodeFileUnreadable = 13,
  kCodeNotSupported = 14,
  kCodeFileNotWritable = 28,
  kCodeLockDirectory = 39,
  kCodeInvalidData = 44,
  kCodeLockFailed = 47,
};
}  // namespace ornz

// The record handed to ZMessageService_7_0_0::outputException with the
// inserts as a va_list.
class ORNUTIL_API ZZException_7_0_0 {
 public:
  virtual ~ZZException_7_0_0();
  // Source file and line where the exception was raised ("" and 0 before).
  virtual const char* getFile() const;
  virtual int getLine() const;

  int code;
  const char* text;  // lives with the record

 protected:
  ZZException_7_0_0(int code, const char* text);
  ZZException_7_0_0(const ZZException_7_0_0&) = default;
  ZZException_7_0_0& operator=(const ZZException_7_0_0&) = default;

  std::string file_;
  int line_ = 0;
};

class ORNUTIL_API ZException_7_0_0 : public ZZException_7_0_0, public std::exception {
 public:
  // `code` chooses the catalogue message; `text` is the English summary.
  ZException_7_0_0(int code, const char* text);
  ZException_7_0_0(const ZException_7_0_0& other);
  ZException_7_0_0& operator=(const ZException_7_0_0& other);
  ~ZException_7_0_0() override;

  // Inserts for the code's message, in order. Returns *this for chaining.
  ZException_7_0_0& addInsert(const char* text);
  ZException_7_0_0& addInsert(int number);

  // Reports the exception through the process-wide message service: one
  // call of outputException(record, inserts). Never throws.
  virtual void report() const;
  // Records the source position and throws a copy of this exception, of
  // its own dynamic class.
  [[noreturn]] virtual void throwException(const char* file, int line);

  const char* what() const noexcept override;

  struct Insert {
    bool isNumber;
    int number;
    std::string text;
  };
  const std::vector<Insert>& inserts() const { return inserts_; }

 protected:
  void setPosition(const char* file, int line);

 private:
  std::string textStorage_;
  std::vector<Insert> inserts_;
};

class ORNUTIL_API ZOutOfMemoryException_7_0_0 : public ZException_7_0_0 {
 public:
  ZOutOfMemoryException_7_0_0();
  ~ZOutOfMemoryException_7_0_0() override;
  [[noreturn]] void throwException(const char* file, int line) override;
};

class ORNUTIL_API ZInvalidParameterException_7_0_0 : public ZException_7_0_0 {
 public:
  ZInvalidParameterException_7_0_0();
  // With a text saying which parameter and why.
  explicit ZInvalidParameterException_7_0_0(const char* text);
  ~ZInvalidParameterException_7_0_0() override;
  [[noreturn]] void throwException(const char* file, int line) override;
};

// Invalid data in a file: the file, the 1-based line and what is wrong.
class ORNUTIL_API ZPropertiesInvalidDataException_7_0_0 : public ZException_7_0_0 {
 public:
  ZPropertiesInvalidDataException_7_0_0(const char* file, int line, const char* what);
  ~ZPropertiesInvalidDataException_7_0_0() override;
  [[noreturn]] void throwException(const char* file, int line) override;

  const char* dataFile() const { return dataFile_.c_str(); }
  int dataLine() const { return dataLine_; }

 private:
  std::string dataFile_;
  int dataLine_;
};

namespace ornz {
// The exception for a failed system call on a file: kind 12 when the file
// does not exist, 13 for other read failures, 28 for write failures
// (`writing` true); the reason is strerror(err).
ORNUTIL_API ZException_7_0_0 fileException(const char* file, int err, bool writing,
                                           const char* operation);
// Throws ZOutOfMemoryException_7_0_0 from the given position.
[[noreturn]] ORNUTIL_API void throwOutOfMemory(const char* file, int line);
}  // namespace ornz

#endif
