#include "foundation/internal/fileread.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/zexception.h"

namespace ornz {

long msBetween(const struct timespec& from, const struct timespec& to);

namespace {

const char kModule[] = "foundation/fileread";

// The limit of symbolic links in one chain, as the kernel's path walk
// (MAXSYMLINKS).
constexpr int kMaxLinks = 40;
// How long a read waits for a file to stop changing, or for another
// process to close it after writing it in place.
constexpr long kWaitMs = 500;

[[noreturn]] void unreadable(const char* path, const std::string& reason, int line) {
  std::string name = path ? path : "";
  ZException_7_0_0 e(kCodeFileUnreadable, (name + ": " + reason).c_str());
  e.addInsert(path).addInsert(reason.c_str());
  e.throwException(kModule, line);
}

[[noreturn]] void failed(const char* path, int err, const char* operation, int line) {
  fileException(path, err, false, operation).throwException(kModule, line);
}

int openNoBlock(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// What tells that a file was written: a writer in place changes the size or
// the change time, a writer by rename changes the identity.
bool unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         sameTime(a.st_mtim, b.st_mtim) && sameTime(a.st_ctim, b.st_ctim);
}

std::string tooLarge(off_t size) {
  return "too large for a configuration file (" + std::to_string(static_cast<long long>(size)) +
         " bytes; the limit is " + std::to_string(kMaxFileSize >> 20) + " MiB)";
}

enum class Attempt {
  kDone,     // read whole, nobody writing
  kWriter,   // read without a change, but another process has it open for writing
  kChanged,  // changed while it was read (or replaced between the look and the open)
};

// Whether another process has the file behind `fd` (open for reading only)
// open for writing: a read lease cannot then be had. The lease is given back
// at once. Unknown (false) where leases cannot tell.
bool writerOn(int fd);

// A writer in the middle of rewriting a file in place changed it moments
// ago; a file that has not changed for longer than a read waits cannot be
// told from a finished one anyway. Asking for a lease costs as much as the
// rest of a small read, so only recently changed files are asked about.
bool changedLately(const struct stat& st) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  long long ageMs = (static_cast<long long>(now.tv_sec) - st.st_ctim.tv_sec) * 1000 +
                    (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000;
  return ageMs < 2 * kWaitMs;  // a time in the future counts as recent
}

// Where one read of a file puts its bytes. begin(want) starts an attempt at
// a file of `want` bytes (an attempt may be made again); space() is where
// the next bytes go (empty once the sink wants no more); filled(n) takes the
// `n` bytes just read into it; total() counts the bytes of the attempt.

// The whole file in a string, read into it in place.
struct StringSink {
  std::string& data;
  std::size_t got = 0;

  // One byte of room past the size, to see the file grow while it is read.
  void begin(std::size_t want) {
    data.assign(want + 1, '\0');
    got = 0;
  }
  char* space(std::size_t& n) {
    n = data.size() - got;
    return &data[got];
  }
  void filled(std::size_t n) { got += n; }
  std::size_t total() const { return got; }
  void end() { data.resize(got); }
};

// A piece at a time through a fixed buffer, each piece handed to `take`,
// never more than one byte past the size the file had when opened.
template <typename Take>
struct PieceSink {
  explicit PieceSink(Take t) : take(t) {}

  Take take;
  std::string buffer;
  std::size_t want = 0, got = 0;

  void begin(std::size_t size) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::size_t need = size < kPiece ? size + 1 : kPiece;
    if (buffer.size() < need) buffer.resize(need);
    want = size;
    got = 0;
    take.begin();
  }
  char* space(std::size_t& n) {
    n = got > want ? 0 : std::min(buffer.size(), want + 1 - got);
    return &buffer[0];
  }
  void filled(std::size_t n) {
    take.piece(buffer.data(), n);
    got += n;
  }
  std::size_t total() const { return got; }
  void end() {}
};

// One read of the whole file into `sink`; `seen` is what the file looked
// like after it (valid when the result is kWriter or kDone).
template <typename Sink>
Attempt readOnce(const char* path, Sink& sink, struct stat& seen) {
  // A look before opening: a device is never opened (opening some has
  // effects of its own) and a FIFO is never waited on.
  struct stat before;
  if (::stat(path, &before) != 0) failed(path, errno, "open", __LINE__);
  if (!S_ISREG(before.st_mode)) unreadable(path, std::string("not a regular file (") + fileTypeName(before.st_mode) + ")", __LINE__);
  if (static_cast<unsigned long long>(before.st_size) > kMaxFileSize) unreadable(path, tooLarge(before.st_size), __LINE__);

  int fd = openNoBlock(path);
  if (fd < 0) {
    if (errno == EWOULDBLOCK) return Attempt::kChanged;  // another process holds a lease: it is writing
    failed(path, errno, "open", __LINE__);
  }
  struct stat opened;
  if (::fstat(fd, &opened) != 0) {
    int err = errno;
    ::close(fd);
    failed(path, err, "read", __LINE__);
  }
  if (!S_ISREG(opened.st_mode) || static_cast<unsigned long long>(opened.st_size) > kMaxFileSize) {
    ::close(fd);
    return Attempt::kChanged;  // replaced after the look: look again
  }

  std::size_t want = static_cast<std::size_t>(opened.st_size);
  try {
    sink.begin(want);
  } catch (...) {
    ::close(fd);
    throw;
  }
  for (;;) {
    std::size_t room = 0;
    char* at = sink.space(room);
    if (room == 0) break;
    ssize_t n = ::read(fd, at, room);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      failed(path, err, "read", __LINE__);
    }
    if (n == 0) break;
    sink.filled(static_cast<std::size_t>(n));
  }
  sink.end();
  struct stat after;
  int rc = ::fstat(fd, &after);
  bool writer = rc == 0 && changedLately(after) && writerOn(fd);
  ::close(fd);
  if (rc != 0 || !unchanged(opened, after) || sink.total() != want) return Attempt::kChanged;
  seen = after;
  return writer ? Attempt::kWriter : Attempt::kDone;
}

// Reads the file into `sink` until one read sees it settled (see
// readWholeFile).
template <typename Sink>
void readSettled(const char* path, Sink& sink) {
  struct timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  // A writer that keeps the file open is waited for until it has changed
  // nothing for a whole wait: only then is what is there taken as the file.
  // One quiet look is not enough, since a writer pausing between two pieces
  // leaves a consistent but half-written file.
  struct stat quietLook {};
  struct timespec quietSince {};
  bool quiet = false;
  for (long pauseMs = 1;; pauseMs = pauseMs < 32 ? pauseMs * 2 : 50) {
    struct stat seen;
    Attempt a = readOnce(path, sink, seen);
    if (a == Attempt::kDone) return;
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (a == Attempt::kWriter) {
      if (!quiet || !unchanged(quietLook, seen)) {
        quiet = true;
        quietLook = seen;
        quietSince = now;
      } else if (msBetween(quietSince, now) >= kWaitMs) {
        // An idle holder, or a writer paused for longer than the wait,
        // cannot be told from one that has finished.
        return;
      }
    } else {
      quiet = false;
    }
    if (msBetween(start, now) >= (quiet ? 2 * kWaitMs : kWaitMs))
      unreadable(path, "it kept changing while it was read", __LINE__);
    struct timespec pause = {0, pauseMs * 1000000L};
    ::nanosleep(&pause, nullptr);
  }
}

// A signal whose default action is to be ignored and that this process does
// not handle: a lease broken while it is held must not end or disturb the
// process (the lease's own signal, SIGIO, would end it).
int quietSignal() {
  for (int sig : {SIGURG, SIGWINCH}) {
    struct sigaction current;
    if (::sigaction(sig, nullptr, &current) != 0) continue;
    if (!(current.sa_flags & SA_SIGINFO) && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN))
      return sig;
  }
  return 0;
}

}  // namespace

const char* fileTypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a directory";
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    case S_IFLNK: return "a symbolic link";
    default: return "a special file";
  }
}

std::string resolveSymlinks(const char* path, bool* dangling) {
  std::string current = path ? path : "";
  if (dangling) *dangling = false;
  for (int links = 0;; ++links) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0) {
      if (dangling) *dangling = links > 0 && errno == ENOENT;
      return current;
    }
    if (!S_ISLNK(st.st_mode)) return current;
    if (links == kMaxLinks) failed(path, ELOOP, "resolve", __LINE__);
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    ssize_t n;
    for (;;) {
      n = ::readlink(current.c_str(), &target[0], target.size());
      if (n < 0) failed(path, errno, "resolve", __LINE__);
      if (static_cast<std::size_t>(n) < target.size()) break;
      target.resize(target.size() * 2);  // the link grew since lstat
    }
    target.resize(static_cast<std::size_t>(n));
    if (!target.empty() && target[0] == '/') {
      current = target;
    } else {
      std::size_t slash = current.rfind('/');
      current = slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
    }
  }
}

long msBetween(const struct timespec& from, const struct timespec& to) {
  return (to.tv_sec - from.tv_sec) * 1000 + (to.tv_nsec - from.tv_nsec) / 1000000;
}

std::string readWholeFile(const char* path) {
  std::string data;
  StringSink sink{data};
  readSettled(path, sink);
  return data;
}

namespace {

// Compares the pieces with a text, as far as they reach.
struct SameBytes {
  std::string_view expected;
  std::size_t at = 0;
  bool same = true;

  void begin() {
    at = 0;
    same = true;
  }
  void piece(const char* p, std::size_t n) {
    if (same && (n > expected.size() - std::min(at, expected.size()) ||
                 std::memcmp(expected.data() + at, p, n) != 0))
      same = false;
    at += n;
  }
};

// Digests the pieces.
struct Digesting {
  DigestBuilder builder;

  void begin() { builder = DigestBuilder(); }
  void piece(const char* p, std::size_t n) { builder.put(p, n); }
};

}  // namespace

bool fileHolds(const char* path, std::string_view bytes) {
  PieceSink<SameBytes> sink(SameBytes{bytes});
  readSettled(path, sink);
  return sink.take.same && sink.total() == bytes.size();
}

bool fileHolds(const char* path, const ContentDigest& digest) {
  PieceSink<Digesting> sink(Digesting{});
  readSettled(path, sink);
  return sink.take.builder.digest() == digest;
}

namespace {

bool writerOn(int fd) {
  int sig = quietSignal();
  if (sig == 0 || ::fcntl(fd, F_SETSIG, sig) != 0) return false;
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  return errno == EAGAIN;
}

}  // namespace

bool openForWritingElsewhere(const char* path) {
  int fd = openNoBlock(path);
  if (fd < 0) return errno == EWOULDBLOCK;  // a writer's lease is in the way
  struct stat st;
  bool writers = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && writerOn(fd);
  ::close(fd);
  return writers;
}

void waitForWriters(const char* path) {
  for (long waitedMs = 0, pauseMs = 1; openForWritingElsewhere(path); waitedMs += pauseMs, pauseMs = pauseMs < 32 ? pauseMs * 2 : 50) {
    if (waitedMs >= kWaitMs) {
      ZException_7_0_0 e(kCodeFileNotWritable,
                         ("cannot replace " + std::string(path) + ": another process has it open for writing").c_str());
      e.addInsert("replace").addInsert(path).addInsert("another process has it open for writing");
      e.throwException(kModule, __LINE__);
    }
    struct timespec pause = {0, pauseMs * 1000000L};
    ::nanosleep(&pause, nullptr);
  }
}

}  // namespace ornz
