// Captures serviceability records in a temporary file for a test to inspect.
#ifndef ORNUTIL_TESTS_SUPPORT_LOG_CAPTURE_H
#define ORNUTIL_TESTS_SUPPORT_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace ornutil_test {

struct LogRecord {
  std::string program;
  long pid = 0;
  std::string severity;   // FATAL, ERROR, WARNING, NOTICE, DEBUGn
  std::string handle;     // orn.ras, kel.core, ...
  unsigned subcomponent = 0;
  std::string msgid;      // "0x1354a1c8" or "-"
  std::string file;
  int line = 0;
  std::string text;       // unescaped
};

// Splits one record line into its fields; false when the line is malformed.
bool parseRecord(const std::string& line, LogRecord& out);

// While alive, ORN_SVC_LOG names a fresh temporary file and the destination
// is reopened on it; the destructor restores standard error.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::string& path() const { return path_; }
  // Forgets the records captured so far.
  void clear();
  std::vector<LogRecord> records() const;
  // Records whose msgid is the given id ("0x..." formatted).
  std::vector<LogRecord> withId(unsigned int id) const;

 private:
  std::string path_;
};

}  // namespace ornutil_test

#endif
