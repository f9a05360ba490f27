#include "tools/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/internal/syserror.h"
#include "foundation/internal/utf8.h"

namespace cli {

namespace {

bool stdoutWasClosed = false;

std::string reason(const std::string& file, int err) {
  return (file.empty() || file == "-" ? std::string("standard input") : quoted(file)) + ": " + ornz::errorText(err);
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    unsigned char c = p[i];
    int length = ornz::utf8CharLength(p + i, n - i);
    // U+0080 to U+009F are the C1 controls, which some terminals obey.
    bool c1 = length == 2 && c == 0xC2 && p[i + 1] < 0xA0;
    if (length > 1 && !c1) {
      out.append(text, i, static_cast<std::size_t>(length));
      i += static_cast<std::size_t>(length);
      continue;
    }
    if (length == 1 && c >= 0x20 && c != 0x7f && c != '\\') {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    std::size_t bytes = c1 ? 2 : 1;
    for (std::size_t b = 0; b < bytes; ++b, ++i) {
      unsigned char e = p[i];
      switch (e) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case 0x1b: out += "\\e"; break;
        default: {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", e);
          out += hex;
        }
      }
    }
  }
  return out;
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

int fail(int code, const std::string& what) {
  std::string line = "ornutil: " + printable(what) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return code;
}

int usage(const Command& command, const std::string& what) {
  return fail(kUsage, std::string(command.name) + ": " + what + " (see 'ornutil " + command.name + " --help')");
}

bool wantsHelp(const Command& command, const Args& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(command.help, stdout);
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------- input

bool Input::open(const std::string& file, std::string& error) {
  name_ = file;
  if (file.empty() || file == "-") {
    fd_ = STDIN_FILENO;
  } else {
    do {
      fd_ = ::open(file.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
      error = reason(file, errno);
      return false;
    }
    owned_ = true;
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0) {  // the record is only read once fstat filled it
    error = reason(file, errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = reason(file, EISDIR);
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at >= 0 && at < st.st_size) sizeHint_ = static_cast<std::size_t>(st.st_size - at);
  }
  return true;
}

Input::~Input() {
  if (owned_) ::close(fd_);
}

ssize_t Input::read(char* buffer, std::size_t size, std::string& error) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    error = reason(name_, errno);
    return -1;
  }
}

bool readInput(const std::string& file, std::string& data, std::string& error) {
  Input in;
  if (!in.open(file, error)) return false;
  data.clear();
  // A regular file is read into a buffer of its size (one byte more finds
  // the end), so a large input is held once rather than in a buffer grown by
  // doubling and then copied to fit. A file that grows meanwhile, and a
  // pipe, grow the buffer as they come.
  constexpr std::size_t kBlock = 1 << 20;
  const std::size_t hint = in.sizeHint();
  data.resize(hint ? hint + 1 : 0);
  std::size_t used = 0;
  for (;;) {
    if (used == data.size()) data.resize(used + kBlock);
    ssize_t n = in.read(&data[used], data.size() - used, error);
    if (n < 0) return false;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  data.resize(used);
  if (used > hint) data.shrink_to_fit();
  return true;
}

// ---------------------------------------------------------------- output

void writeOut(const char* data, std::size_t size) { std::fwrite(data, 1, size, stdout); }

void writeOut(const std::string& data) { writeOut(data.data(), data.size()); }

void guardStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Standard output gets a device every write to fails on; the others one
    // that reads nothing and swallows what is written.
    int opened = -1;
    if (fd == STDOUT_FILENO) opened = ::open("/dev/full", O_WRONLY | O_NOCTTY);
    if (opened < 0) opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY | O_NOCTTY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
    if (fd == STDOUT_FILENO) stdoutWasClosed = true;
  }
}

bool finishOutput(std::string& error) {
  bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
  int err = errno;
  if (std::fclose(stdout) != 0 && !failed) {
    failed = true;
    err = errno;
  }
  if (!failed) return true;
  error = ornz::errorText(stdoutWasClosed ? EBADF : err);
  return false;
}

}  // namespace cli
