#include "foundation/svc.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "foundation/internal/environment.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/internal/syserror.h"
#include "foundation/msgcat.h"

namespace {

dce_svc_handle_s_t handles[] = {
    {"orn.ras", 0, {0}}, {"orn.z", 0, {0}}, {"orn.c", 0, {0}}, {"bas", 0, {0}}, {"kel.core", 0, {0}},
};

// ---------------------------------------------------------------- destination

struct Sink {
  std::mutex mutex;
  int fd = STDERR_FILENO;
  bool opened = false;  // ORN_SVC_LOG has been looked at
  std::string progname;
};

Sink& sink() {
  static Sink* instance = new Sink;  // never destroyed: records may come at exit
  return *instance;
}

// Caller holds the sink's mutex. Returns 0 or the errno of a failed open.
//
// ORN_SVC_LOG reads as unset in a set-user-ID (or otherwise secure-execution)
// process, whose caller must not choose a file for it to append to: records
// then go to standard error (see foundation/internal/environment.h).
//
// ORN_SVC_LOG may name something other than a file. O_NONBLOCK keeps the
// open itself from waiting: a FIFO without a reader fails at once with ENXIO
// (and records go to standard error, as for any file that cannot be opened)
// instead of blocking the process; O_NOCTTY keeps a terminal from becoming
// the controlling one. Once open, writes block again, so that a pipe with a
// reader is written to as standard error would be.
int openDestination(Sink& s) {
  if (s.fd != STDERR_FILENO) close(s.fd);
  s.fd = STDERR_FILENO;
  s.opened = true;
  std::string path = ornz::readEnvironment(ornz::Variable::svcLog);
  if (path.empty()) return 0;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return errno;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    int err = errno;
    close(fd);
    return err;
  }
  s.fd = fd;
  return 0;
}

void writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failed log write
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

const char* severityOf(unsigned int attributes) {
  switch (attributes & 0x70u) {
    case 0x10: return "FATAL";
    case 0x20: return "ERROR";
    case 0x30: return "WARNING";
    default: return "NOTICE";
  }
}

void appendEscaped(std::string& out, const std::string& text) {
  std::size_t end = text.size();
  if (end > 0 && text[end - 1] == '\n') --end;  // a record is a line already
  for (std::size_t i = 0; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += '\t'; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
}

void emit(dce_svc_handle_s_t* handle, unsigned int subcomponent, const char* severity,
          const char* msgid, const char* file, int line, const std::string& text) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  char stamp[64];
  std::size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(stamp + n, sizeof stamp - n, ".%06ldZ", now.tv_nsec / 1000);

  Sink& s = sink();
  std::lock_guard<std::mutex> hold(s.mutex);
  if (!s.opened) openDestination(s);
  const char* prog = s.progname.empty() ? program_invocation_short_name : s.progname.c_str();
  std::string record;
  record.reserve(96 + text.size());
  char head[96];
  std::snprintf(head, sizeof head, "[%ld] %s ", static_cast<long>(getpid()), severity);
  record += stamp;
  record += ' ';
  record += prog;
  record += head;
  record += handle && handle->name ? handle->name : "?";
  record += ':';
  record += std::to_string(subcomponent);
  record += ' ';
  record += msgid;
  record += ' ';
  record += file ? file : "?";
  record += ':';
  record += std::to_string(line);
  record += ' ';
  appendEscaped(record, text);
  record += '\n';
  writeAll(s.fd, record.data(), record.size());
}

// ---------------------------------------------------------------- inserts

struct Insert {
  bool isNumber = false;
  long number = 0;
  std::string text;
};

// Reads the variadic arguments that `argtypes` announces. Only the
// conversions listed are read; anything else ends the list, since reading an
// argument of an unknown type would be undefined.
std::vector<Insert> collectInserts(const char* argtypes, va_list ap) {
  std::vector<Insert> inserts;
  for (const char* p = argtypes ? argtypes : ""; *p;) {
    if (*p++ != '%') continue;
    bool isLong = false;
    while (*p == 'l') {
      isLong = true;
      ++p;
    }
    Insert insert;
    switch (*p) {
      case 's': {
        const char* s = va_arg(ap, const char*);
        insert.text = s ? s : "(null)";
        break;
      }
      case 'd': case 'i': case 'c':
        insert.isNumber = true;
        insert.number = isLong ? va_arg(ap, long) : va_arg(ap, int);
        break;
      case 'u': case 'x': case 'X': case 'o':
        insert.isNumber = true;
        insert.number = isLong ? static_cast<long>(va_arg(ap, unsigned long))
                               : static_cast<long>(va_arg(ap, unsigned int));
        break;
      default:
        return inserts;
    }
    ++p;
    inserts.push_back(std::move(insert));
  }
  return inserts;
}

// Puts the inserts into a message text. Each directive takes the next insert
// (or the one its N$ names); the inserts' own text is copied, never scanned.
std::string render(const char* text, const std::vector<Insert>& inserts) {
  std::string out;
  std::size_t next = 0;
  for (const char* p = text; *p;) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      p += 2;
      continue;
    }
    const char* start = p++;
    std::size_t position = 0;
    const char* q = p;
    while (*q >= '0' && *q <= '9') position = position * 10 + static_cast<std::size_t>(*q++ - '0');
    if (*q == '$' && position > 0) {
      p = q + 1;
    } else {
      position = 0;
    }
    std::string directive = "%";
    while (*p && std::strchr("-+ #0", *p)) directive += *p++;
    while (*p >= '0' && *p <= '9') directive += *p++;
    if (*p == '.') {
      directive += *p++;
      while (*p >= '0' && *p <= '9') directive += *p++;
    }
    while (*p && std::strchr("hlLqjzt", *p)) ++p;
    char conversion = *p;
    if (!conversion || !std::strchr("sdiuxXoc", conversion)) {
      out.append(start, static_cast<std::size_t>(p - start));  // not a directive we know
      continue;
    }
    ++p;
    std::size_t index = position ? position - 1 : next++;
    if (index >= inserts.size()) {
      out.append(start, static_cast<std::size_t>(p - start));  // no insert for it
      continue;
    }
    const Insert& insert = inserts[index];
    if (!insert.isNumber || conversion == 's' || conversion == 'c') {
      out += insert.isNumber ? std::to_string(insert.number) : insert.text;
      continue;
    }
    directive += 'l';
    directive += conversion;
    char number[64];
    std::snprintf(number, sizeof number, directive.c_str(), insert.number);
    out += number;
  }
  return out;
}

void logMessage(dce_svc_handle_s_t* handle, const char* file, int line, const char* argtypes,
                unsigned int subcomponent, unsigned int attributes, unsigned int msgid,
                va_list ap) {
  try {
    std::vector<Insert> inserts = collectInserts(argtypes, ap);
    std::unique_ptr<char, decltype(&std::free)> text(orn_msg_get_msg(msgid, nullptr), &std::free);
    std::string rendered;
    if (text) {
      rendered = render(text.get(), inserts);
    } else {
      rendered = "(no text for this message)";
      for (const Insert& i : inserts) rendered += " [" + (i.isNumber ? std::to_string(i.number) : i.text) + "]";
    }
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", msgid);
    emit(handle, subcomponent, severityOf(attributes), id, file, line, rendered);
  } catch (...) {
    // Logging must never throw into C callers; a record lost to exhausted
    // memory cannot be reported anywhere else.
  }
}

void trace(dce_svc_handle_s_t* handle, const char* file, int line, unsigned int subcomponent,
           unsigned int level, const char* format, va_list ap) {
  if (orn_svc_debug_level(handle, subcomponent) < level) return;
  try {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, format ? format : "", copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(&text[0], text.size() + 1, format, ap);
    char severity[16];
    std::snprintf(severity, sizeof severity, "DEBUG%u", level);
    emit(handle, subcomponent, severity, "-", file, line, text);
  } catch (...) {
  }
}

// ---------------------------------------------------------------- debug levels

bool nameMatches(const char* pattern, std::size_t length, const char* name) {
  return (length == 1 && pattern[0] == '*') ||
         (std::strlen(name) == length && std::strncmp(pattern, name, length) == 0);
}

void applyDebugSetting(dce_svc_handle_s_t* handle, const char* setting) {
  // NAME:SUB.LEVEL[,NAME:SUB.LEVEL...]; malformed entries are skipped.
  for (const char* p = setting; p && *p;) {
    const char* end = std::strchr(p, ',');
    if (!end) end = p + std::strlen(p);
    std::string entry(p, static_cast<std::size_t>(end - p));
    p = *end ? end + 1 : end;
    std::size_t colon = entry.rfind(':');
    std::size_t dot = entry.rfind('.');
    if (colon == std::string::npos || dot == std::string::npos || dot < colon) continue;
    if (!nameMatches(entry.data(), colon, handle->name)) continue;
    std::string sub = entry.substr(colon + 1, dot - colon - 1);
    std::string level = entry.substr(dot + 1);
    if (level.size() != 1 || level[0] < '0' || level[0] > '9') continue;
    unsigned char value = static_cast<unsigned char>(level[0] - '0');
    if (sub == "*") {
      for (auto& l : handle->levels) __atomic_store_n(&l, value, __ATOMIC_RELAXED);
    } else {
      char* rest = nullptr;
      long index = std::strtol(sub.c_str(), &rest, 10);
      if (sub.empty() || *rest || index < 0 || index >= ORN_SVC_SUBCOMPONENTS) continue;
      __atomic_store_n(&handle->levels[index], value, __ATOMIC_RELAXED);
    }
  }
}

std::mutex& fillMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

dce_svc_handle_s_t* orn_ras_svc_handle = &handles[0];
dce_svc_handle_s_t* ornz_svc_handle = &handles[1];
dce_svc_handle_s_t* ornc_svc_handle = &handles[2];
dce_svc_handle_s_t* bas_svc_handle = &handles[3];
dce_svc_handle_s_t* kelcore_svc_handle = &handles[4];

const unsigned int orn_svc_lcp_cs = 0;
const unsigned int orn_svc_utf8_cs = 1;

void orn_svc_printf_withfile(dce_svc_handle_s_t* handle, const char* file, int line,
                             const char* argtypes, unsigned int subcomponent,
                             unsigned int attributes, unsigned int msgid, ...) {
  va_list ap;
  va_start(ap, msgid);
  logMessage(handle, file, line, argtypes, subcomponent, attributes, msgid, ap);
  va_end(ap);
}

void orn_svc_printf_cs_withfile(dce_svc_handle_s_t* handle, unsigned int /*codeset*/,
                                const char* file, int line, const char* argtypes,
                                unsigned int subcomponent, unsigned int attributes,
                                unsigned int msgid, ...) {
  va_list ap;
  va_start(ap, msgid);
  logMessage(handle, file, line, argtypes, subcomponent, attributes, msgid, ap);
  va_end(ap);
}

void orn_svc_vprintf_withfile(dce_svc_handle_s_t* handle, const char* file, int line,
                              const char* argtypes, unsigned int subcomponent,
                              unsigned int attributes, unsigned int msgid, va_list inserts) {
  va_list ap;
  va_copy(ap, inserts);
  logMessage(handle, file, line, argtypes, subcomponent, attributes, msgid, ap);
  va_end(ap);
}

void orn_svc__debug_withfile(dce_svc_handle_s_t* handle, const char* file, int line,
                             unsigned int subcomponent, unsigned int level, const char* format,
                             ...) {
  va_list ap;
  va_start(ap, format);
  trace(handle, file, line, subcomponent, level, format, ap);
  va_end(ap);
}

void orn_svc__debug_utf8_withfile(dce_svc_handle_s_t* handle, const char* file, int line,
                                  unsigned int subcomponent, unsigned int level,
                                  const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  trace(handle, file, line, subcomponent, level, format, ap);
  va_end(ap);
}

unsigned int orn_svc__debug_fillin2(dce_svc_handle_s_t* handle, unsigned int subcomponent) {
  if (!handle) return 0;
  if (!__atomic_load_n(&handle->filled, __ATOMIC_ACQUIRE)) {
    std::lock_guard<std::mutex> hold(fillMutex());
    if (!__atomic_load_n(&handle->filled, __ATOMIC_RELAXED)) {
      // No levels without memory; the next call reads them again.
      bool filled = ornz::orWhenOutOfMemory(
          [&] {
            std::string setting = ornz::readEnvironment(ornz::Variable::svcDebug);
            applyDebugSetting(handle, setting.c_str());
            return true;
          },
          [] { return false; });
      if (!filled) return 0;
      __atomic_store_n(&handle->filled, 1, __ATOMIC_RELEASE);
    }
  }
  if (subcomponent >= ORN_SVC_SUBCOMPONENTS) return 0;
  return __atomic_load_n(&handle->levels[subcomponent], __ATOMIC_RELAXED);
}

unsigned int orn_svc_debug_level(dce_svc_handle_s_t* handle, unsigned int subcomponent) {
  if (!handle) return 0;
  if (!__atomic_load_n(&handle->filled, __ATOMIC_ACQUIRE))
    return orn_svc__debug_fillin2(handle, subcomponent);
  if (subcomponent >= ORN_SVC_SUBCOMPONENTS) return 0;
  return __atomic_load_n(&handle->levels[subcomponent], __ATOMIC_RELAXED);
}

void orn_svc_set_debug_level(dce_svc_handle_s_t* handle, int subcomponent, unsigned int level) {
  if (!handle) return;
  orn_svc__debug_fillin2(handle, 0);
  unsigned char value = static_cast<unsigned char>(level > 9 ? 9 : level);
  if (subcomponent < 0) {
    for (auto& l : handle->levels) __atomic_store_n(&l, value, __ATOMIC_RELAXED);
  } else if (subcomponent < ORN_SVC_SUBCOMPONENTS) {
    __atomic_store_n(&handle->levels[subcomponent], value, __ATOMIC_RELAXED);
  }
}

void orn_svc_set_progname(const char* progname, unsigned long* status) {
  unsigned long result = 0;
  if (!progname || !*progname) {
    result = 0x10652080u;
  } else {
    try {
      Sink& s = sink();
      std::lock_guard<std::mutex> hold(s.mutex);
      s.progname = progname;
    } catch (...) {
      result = 0x10652065u;
    }
  }
  if (status) *status = result;
}

void orn_svc_init(int /*flags*/, unsigned long* status) {
  Sink& s = sink();
  int err;
  {
    std::lock_guard<std::mutex> hold(s.mutex);
    // Records go to standard error meanwhile.
    err = ornz::orWhenOutOfMemory([&] { return openDestination(s); }, [] { return ENOMEM; });
  }
  if (err) {
    char reason[256];
    ornz::orWhenOutOfMemory(
        [&] {
          std::string path = ornz::readEnvironment(ornz::Variable::svcLog);
          orn_svc_printf_withfile(bas_svc_handle, "foundation/svc", __LINE__, "%s%s", 0, ORN_SVC_ATTR_ERROR,
                                  0x10652081u, path.c_str(), ornz::errorText(err, reason, sizeof reason));
        },
        [] {});
  }
  if (status) *status = err ? 0x10652081u : 0;
}
