#include "tests/support/svc_record_capture.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "foundation/svc.h"
#include "tests/support/test_env.h"

namespace ornutil_test {
namespace {

std::string unescapeRecordText(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'n') {
      out += '\n';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

// <stamp> <prog>[<pid>] <SEVERITY> <handle>:<sub> <msgid> <file>:<line> <text>
bool parseRecord(const std::string& line, SvcRecord* record) {
  std::size_t pos = 0;
  std::string fields[6];
  for (std::string& field : fields) {
    std::size_t space = line.find(' ', pos);
    if (space == std::string::npos) return false;
    field = line.substr(pos, space - pos);
    pos = space + 1;
  }
  record->severity = fields[2];
  std::size_t colon = fields[3].rfind(':');
  if (colon == std::string::npos) return false;
  record->handle = fields[3].substr(0, colon);
  record->subcomponent = std::stoi(fields[3].substr(colon + 1));
  record->msgid = fields[4];
  colon = fields[5].rfind(':');
  if (colon == std::string::npos) return false;
  record->file = fields[5].substr(0, colon);
  record->line = std::stoi(fields[5].substr(colon + 1));
  record->text = unescapeRecordText(line.substr(pos));
  return true;
}

}  // namespace

SvcRecordCapture::SvcRecordCapture() {
  char path[] = "/tmp/ornutil-svc-XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  path_ = path;
  setenv("ORN_SVC_LOG", path_.c_str(), 1);
  unsigned long status = 0;
  orn_svc_init(0, &status);
}

SvcRecordCapture::~SvcRecordCapture() {
  unsetenv("ORN_SVC_LOG");
  unsigned long status = 0;
  orn_svc_init(0, &status);
  std::remove(path_.c_str());
}

void SvcRecordCapture::clear() {
  // The log is opened for appending, so writes after truncation start at 0.
  if (truncate(path_.c_str(), 0) != 0) std::perror("truncate");
}

std::vector<SvcRecord> SvcRecordCapture::records() const {
  std::vector<SvcRecord> records;
  std::istringstream in(readFile(path_));
  for (std::string line; std::getline(in, line);) {
    SvcRecord record;
    if (parseRecord(line, &record)) records.push_back(record);
  }
  return records;
}

}  // namespace ornutil_test
