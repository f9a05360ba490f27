#include "tests/support/log_capture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

#include "foundation/svc.h"

namespace ornutil_test {

namespace {

std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == '\\') out += '\\';
    else if (c == 'x' && i + 2 < s.size()) {
      out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += '\\';
      out += c;
    }
  }
  return out;
}

// Next space-separated field starting at `pos`; advances past the space.
bool field(const std::string& line, std::size_t& pos, std::string& out) {
  std::size_t space = line.find(' ', pos);
  if (space == std::string::npos) return false;
  out = line.substr(pos, space - pos);
  pos = space + 1;
  return true;
}

}  // namespace

bool parseRecord(const std::string& line, LogRecord& out) {
  std::size_t pos = 0;
  std::string stamp, prog, handle, position;
  if (!field(line, pos, stamp) || !field(line, pos, prog) || !field(line, pos, out.severity) ||
      !field(line, pos, handle) || !field(line, pos, out.msgid) || !field(line, pos, position))
    return false;
  std::size_t bracket = prog.rfind('[');
  if (bracket == std::string::npos || prog.back() != ']') return false;
  out.program = prog.substr(0, bracket);
  out.pid = std::strtol(prog.c_str() + bracket + 1, nullptr, 10);
  std::size_t colon = handle.rfind(':');
  if (colon == std::string::npos) return false;
  out.handle = handle.substr(0, colon);
  out.subcomponent = static_cast<unsigned>(std::strtoul(handle.c_str() + colon + 1, nullptr, 10));
  colon = position.rfind(':');
  if (colon == std::string::npos) return false;
  out.file = position.substr(0, colon);
  out.line = std::atoi(position.c_str() + colon + 1);
  out.text = unescape(line.substr(pos));
  return true;
}

LogCapture::LogCapture() {
  char name[] = "/tmp/ornutil-log-XXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  path_ = name;
  setenv("ORN_SVC_LOG", path_.c_str(), 1);
  unsigned long status = 0;
  orn_svc_init(0, &status);
}

LogCapture::~LogCapture() {
  unsetenv("ORN_SVC_LOG");
  unsigned long status = 0;
  orn_svc_init(0, &status);
  std::remove(path_.c_str());
}

void LogCapture::clear() { std::ofstream(path_, std::ios::trunc); }

std::vector<LogRecord> LogCapture::records() const {
  std::vector<LogRecord> out;
  std::ifstream in(path_);
  std::string line;
  while (std::getline(in, line)) {
    LogRecord r;
    if (parseRecord(line, r)) out.push_back(r);
  }
  return out;
}

std::vector<LogRecord> LogCapture::withId(unsigned int id) const {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", id);
  std::vector<LogRecord> out;
  for (const LogRecord& r : records())
    if (r.msgid == text) out.push_back(r);
  return out;
}

}  // namespace ornutil_test
