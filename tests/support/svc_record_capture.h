// Captures the serviceability records a test provokes: points ORN_SVC_LOG at
// a private file and reads the records back, one per line.
#ifndef ORNUTIL_TESTS_SUPPORT_SVC_RECORD_CAPTURE_H
#define ORNUTIL_TESTS_SUPPORT_SVC_RECORD_CAPTURE_H

#include <string>
#include <vector>

namespace ornutil_test {

struct SvcRecord {
  std::string severity;  // "ERROR", "DEBUG1", ...
  std::string handle;    // "kel.core", "orn.ras", ...
  int subcomponent = -1;
  std::string msgid;     // "0x1354a1c8", or "-" for a trace
  std::string file;
  int line = 0;
  std::string text;      // with the record's escapes (\\, \n, \r, \xHH) undone
};

// While it lives, the process's records go to a temporary file of its own;
// afterwards they go back to standard error. One at a time per process.
class SvcRecordCapture {
 public:
  SvcRecordCapture();
  ~SvcRecordCapture();
  SvcRecordCapture(const SvcRecordCapture&) = delete;
  SvcRecordCapture& operator=(const SvcRecordCapture&) = delete;

  // Forgets the records captured so far.
  void clear();
  // The records captured since construction or the last clear().
  std::vector<SvcRecord> records() const;

 private:
  std::string path_;
};

}  // namespace ornutil_test

#endif
