#include "foundation/internal/filestore.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/internal/syserror.h"
#include "foundation/zexception.h"

namespace ornz {

namespace {

const char kModule[] = "foundation/filestore";

[[noreturn]] void fail(const char* step, const std::string& path, int err) {
  fileException(path.c_str(), err, true, step).throwException(kModule, __LINE__);
}

[[noreturn]] void refuse(const char* step, const std::string& path, const std::string& reason) {
  ZException_7_0_0 e(kCodeFileNotWritable, ("cannot " + std::string(step) + " " + path + ": " + reason).c_str());
  e.addInsert(step).addInsert(path.c_str()).addInsert(reason.c_str());
  e.throwException(kModule, __LINE__);
}

[[noreturn]] void refuseNotRegular(const std::string& target, mode_t mode) {
  refuse("replace", target, std::string("it is ") + fileTypeName(mode) + ", not a regular file");
}

}  // namespace

// ---------------------------------------------------------------- system calls

namespace {

// open is variadic; the table holds a plain function.
int sysOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

int sysFstat(int fd, struct stat* st) { return ::fstat(fd, st); }

FileOps defaults() { return FileOps{sysOpen, ::write, ::fsync, ::rename, ::close, sysFstat}; }

}  // namespace

FileOps& fileOps() {
  static FileOps current = defaults();
  return current;
}

void resetFileOps() { fileOps() = defaults(); }

// ---------------------------------------------------------------- lock files

namespace {

bool usable(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

// Why the file `st` describes cannot serve as a lock file; empty when it can.
std::string unusable(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
  if (!S_ISREG(st.st_mode)) return std::string("it is ") + fileTypeName(st.st_mode) + ", not a regular file";
  if (st.st_nlink != 1) return "it has other names (hard links)";
  return std::string();
}

[[noreturn]] void refuseLock(const std::string& lock, const std::string& reason, int line) {
  ZException_7_0_0 e(kCodeLockFailed, ("cannot use the lock file " + lock + ": " + reason).c_str());
  e.addInsert(lock.c_str()).addInsert(reason.c_str());
  e.throwException(kModule, line);
}

// The permissions of a new lock file: never wider than the file it guards.
mode_t lockMode(const std::string& target) {
  struct stat file;
  if (::stat(target.c_str(), &file) == 0 && S_ISREG(file.st_mode)) return file.st_mode & 0666;
  return 0666;  // the umask applies, as it will to the target
}

long long nowMs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Takes the lock, trying again until `waitMs` has passed: 0 when taken,
// ETIMEDOUT when another holder kept it, else the errno of a file system
// that cannot lock. A blocking wait cannot be given a time limit without a
// signal, which a library must not take from its caller; polling from 5 ms
// up to 100 ms between tries costs little beside the time waited.
int takeLock(int fd, int waitMs) {
  if (waitMs < 0) return setFileLock(fd, F_WRLCK, true);
  const long long deadline = nowMs() + waitMs;
  long pauseMs = 5;
  for (;;) {
    int err = setFileLock(fd, F_WRLCK, false);
    if (err != EAGAIN && err != EACCES) return err;
    long long left = deadline - nowMs();
    if (left <= 0) return ETIMEDOUT;
    long sleepMs = static_cast<long>(std::min<long long>(pauseMs, left));
    struct timespec pause = {sleepMs / 1000, (sleepMs % 1000) * 1000000};
    ::nanosleep(&pause, nullptr);
    pauseMs = std::min(pauseMs * 2, 100L);
  }
}

}  // namespace

int setFileLock(int fd, short type, bool wait) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // the whole file, however long it ever becomes
  fl.l_pid = 0;  // required for open-file-description locks
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

LockFileOpening openLockFile(const std::string& path, mode_t createMode) {
  LockFileOpening result;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    result.refusal = unusable(st);
    if (!result.refusal.empty()) return result;
  } else if (errno != ENOENT) {
    result.err = errno;
    return result;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, createMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ELOOP) result.refusal = "it is a symbolic link";  // planted after the look
    else result.err = errno;
    return result;
  }
  // The record is judged only when fstat filled it.
  int err = fileOps().fstat(fd, &st) == 0 ? 0 : errno;
  if (err == 0 && usable(st)) {
    result.fd = fd;
    return result;
  }
  ::close(fd);
  result.refusal = err ? "it cannot be examined: " + errorText(err) : unusable(st);
  return result;
}

int lockBeside(const std::string& target, int waitMs) {
  const std::string lock = target + ".lock";
  LockFileOpening opened = openLockFile(lock, lockMode(target));
  if (!opened.refusal.empty()) refuseLock(lock, opened.refusal, __LINE__);
  if (opened.fd < 0) return -1;
  int err = takeLock(opened.fd, waitMs);
  if (err == 0) return opened.fd;
  ::close(opened.fd);
  if (err == ETIMEDOUT)
    refuseLock(lock, "another process has held it for longer than " + std::to_string(waitMs) + " ms", __LINE__);
  return -1;
}

// ---------------------------------------------------------------- metadata

namespace {

bool mayLeaveBehind(const char* name, int err) {
  if (err == ENOTSUP || err == EOPNOTSUPP) return true;  // the file system cannot hold it
  // A label or trusted attribute this process may not set: the new file
  // keeps what the system gives it.
  bool privileged = std::strncmp(name, "security.", 9) == 0 || std::strncmp(name, "trusted.", 8) == 0;
  return privileged && (err == EPERM || err == EACCES);
}

// Where the attributes are read from: the old file's descriptor, or, when
// this process may not open it for reading, its name (the ACLs can still be
// read that way; the name is the real file, held under the store's lock).
struct AttributeSource {
  int fd;
  const char* path;
  ssize_t list(char* names, size_t size) const {
    return fd >= 0 ? ::flistxattr(fd, names, size) : ::llistxattr(path, names, size);
  }
  ssize_t get(const char* name, void* value, size_t size) const {
    return fd >= 0 ? ::fgetxattr(fd, name, value, size) : ::lgetxattr(path, name, value, size);
  }
};

// The names of the attributes, each ending in a NUL; false (errno set) on
// failure. A file system without attributes has none.
bool listNames(const AttributeSource& from, std::vector<char>& names) {
  for (;;) {
    ssize_t size = from.list(nullptr, 0);
    if (size < 0) {
      names.clear();
      return errno == ENOTSUP || errno == EOPNOTSUPP;
    }
    names.resize(static_cast<std::size_t>(size));
    if (size == 0) return true;
    size = from.list(names.data(), names.size());
    if (size >= 0) {
      names.resize(static_cast<std::size_t>(size));
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: the list grew meanwhile
  }
}

// Copies every extended attribute (POSIX ACLs are the system.posix_acl_*
// ones) to `to`. Returns 0 or the errno of the first failure that must fail
// the store.
int copyAttributes(const AttributeSource& from, int to) {
  std::vector<char> names;
  if (!listNames(from, names)) return errno;
  std::vector<char> value;
  for (const char* name = names.data(); name < names.data() + names.size(); name += std::strlen(name) + 1) {
    ssize_t length;
    for (;;) {
      length = from.get(name, nullptr, 0);
      if (length < 0) break;
      value.resize(static_cast<std::size_t>(length) + 1);
      length = from.get(name, value.data(), value.size());
      if (length >= 0 || errno != ERANGE) break;
    }
    if (length < 0) {
      if (errno == ENODATA) continue;  // removed meanwhile
      if (mayLeaveBehind(name, errno)) continue;
      return errno;
    }
    if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(length), 0) != 0 && !mayLeaveBehind(name, errno))
      return errno;
  }
  return 0;
}

}  // namespace

mode_t narrowedMode(mode_t oldMode, bool ownerKept, bool groupKept) {
  if (ownerKept && groupKept) return oldMode & 07777;
  const mode_t user = (oldMode >> 6) & 7, group = (oldMode >> 3) & 7, other = oldMode & 7;
  mode_t newGroup = groupKept ? group : group & other;
  mode_t newOther = other;
  if (!groupKept) newOther &= group;
  if (!ownerKept) newOther &= user;
  return (oldMode & S_ISVTX) | (user << 6) | (newGroup << 3) | newOther;
}

ReplacedFile::ReplacedFile(const std::string& target) : path_(target) {
  if (::lstat(target.c_str(), &st_) != 0) {
    if (errno != ENOENT) fileException(target.c_str(), errno, true, "examine").throwException(kModule, __LINE__);
    return;
  }
  if (!S_ISREG(st_.st_mode)) refuseNotRegular(target, st_.st_mode);
  exists_ = true;
  fd_ = ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) return;  // unreadable to this process: owner and mode still come from lstat
  // What was opened is what is carried over (another program may have
  // renamed a new file over the name since the look), if it is a regular
  // file; its record is used only when fstat filled it.
  struct stat opened;
  if (fileOps().fstat(fd_, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    refuse("replace", target, "it was replaced by something that is not a regular file");
  }
  st_ = opened;
}

ReplacedFile::~ReplacedFile() {
  if (fd_ >= 0) ::close(fd_);
}

int ReplacedFile::carryTo(int fd) const {
  if (!exists_) return 0;
  // Owner first (a change of owner clears the set-ID bits), then the mode,
  // then the attributes: setting an access ACL rewrites the group bits from
  // its mask, which a later chmod would undo.
  struct stat made;
  if (fileOps().fstat(fd, &made) != 0) return errno;
  if (made.st_uid != st_.st_uid || made.st_gid != st_.st_gid) {
    // Keep the owner when this process may (root rewriting a file of another
    // user); failing that, the group alone (a member of it may). What could
    // not be kept narrows the mode below; it is no reason to refuse the store.
    if (::fchown(fd, st_.st_uid, st_.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), st_.st_gid) != 0) {
      // Neither: the new file keeps the owner and group it was made with.
    }
    if (fileOps().fstat(fd, &made) != 0) return errno;
  }
  const bool kept = made.st_uid == st_.st_uid && made.st_gid == st_.st_gid;
  const mode_t mode = narrowedMode(st_.st_mode, made.st_uid == st_.st_uid, made.st_gid == st_.st_gid);
  if (::fchmod(fd, mode) != 0) return errno;
  if (int err = copyAttributes(AttributeSource{fd_, path_.c_str()}, fd)) return err;
  // An access ACL copied from the old file sets the group bits again; the
  // mode is set once more so that its mask bounds every entry of the ACL to
  // what the narrowing left.
  if (!kept && ::fchmod(fd, mode) != 0) return errno;
  return 0;
}

// ---------------------------------------------------------------- atomic write

namespace {

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Temporary files of stores that died before their rename. Called under the
// target's lock, but a store that could not make or lock the lock file (a
// lock file it may not open, a file system without locks) runs without it:
// a temporary file still open for writing belongs to such a live store and
// is left alone. One that closed its file and has not yet renamed it may
// still lose it; its rename then fails and its target stays intact.
void removeLeftovers(const std::string& dir, const std::string& base) {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  // Owns dfd from here on; closed however the list below is left (it can
  // run out of memory).
  std::unique_ptr<DIR, int (*)(DIR*)> d(::fdopendir(dfd), ::closedir);
  if (!d) {
    ::close(dfd);
    return;
  }
  std::vector<std::string> stale;
  while (struct dirent* e = ::readdir(d.get())) {
    if (isTemporaryName(e->d_name, base)) stale.emplace_back(e->d_name);
  }
  for (const std::string& name : stale) {
    struct stat st;
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        !openForWritingElsewhere((dir + "/" + name).c_str()))
      ::unlinkat(dfd, name.c_str(), 0);
  }
}

// Writes what it is given to the temporary file through a buffer, so that a
// text made of many short lines costs few system calls; a piece as large as
// the buffer goes straight through.
class FileSink : public ByteSink {
 public:
  explicit FileSink(FileOps& o) : o_(o) {}
  void writeTo(int fd) { fd_ = fd; }

  void put(const char* data, std::size_t size) override {
    written_ += size;
    if (err_) return;
    if (used_ + size <= sizeof buffer_) {
      std::memcpy(buffer_ + used_, data, size);
      used_ += size;
      return;
    }
    flush();
    if (size < sizeof buffer_) {
      std::memcpy(buffer_, data, size);
      used_ = size;
    } else {
      writeAll(data, size);
    }
  }

  // The first write error (errno), 0 when none.
  int finish() {
    flush();
    return err_;
  }
  std::uint64_t written() const { return written_; }

 private:
  void flush() {
    if (used_ && !err_) writeAll(buffer_, used_);
    used_ = 0;
  }
  void writeAll(const char* p, std::size_t left) {
    while (left > 0 && !err_) {
      ssize_t n = o_.write(fd_, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        err_ = errno;
      } else if (n == 0) {
        err_ = EIO;
      } else {
        p += n;
        left -= static_cast<std::size_t>(n);
      }
    }
  }

  FileOps& o_;
  int fd_ = -1;
  int err_ = 0;
  std::uint64_t written_ = 0;
  std::size_t used_ = 0;
  char buffer_[64 * 1024];
};

// The new file under a name of its own beside the target (same file system,
// so the rename is atomic). Until it takes the target's name it is removed
// however the store ends: this is the store's one way of cleaning up.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& target, const std::string& dir, const std::string& base, mode_t mode)
      : o_(fileOps()), target_(target) {
    unsigned long seed = static_cast<unsigned long>(getpid()) * 2654435761ul ^
                         static_cast<unsigned long>(time(nullptr)) ^ reinterpret_cast<unsigned long>(this);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      char suffix[24];
      seed = seed * 6364136223846793005ul + 1442695040888963407ul;
      std::snprintf(suffix, sizeof suffix, ".tmp%08lx", (seed >> 24) & 0xfffffffful);
      path_ = dir + "/." + base + suffix;
      do {
        fd_ = o_.open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      } while (fd_ < 0 && errno == EINTR);
      if (fd_ < 0 && errno != EEXIST) fail("create a temporary file for", target_, errno);
    }
    if (fd_ < 0) fail("create a temporary file for", target_, EEXIST);
  }
  ~TemporaryFile() {
    if (fd_ >= 0) o_.close(fd_);
    if (!renamed_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }

  // Puts exactly `size` bytes, as `produce` makes them, into the file.
  void write(FileSink& sink, std::uint64_t size, const std::function<void(ByteSink&)>& produce) {
    sink.writeTo(fd_);
    produce(sink);
    if (int err = sink.finish()) fail("write", target_, err);
    if (sink.written() != size) fail("write", target_, EIO);  // the text was not what it was said to be
  }

  // Makes the content durable before the file may take the target's name.
  void flushAndClose() {
    int rc;
    do {
      rc = o_.fsync(fd_);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) fail("flush", target_, errno);
    // Linux releases the descriptor even when close reports an error.
    int fd = fd_;
    fd_ = -1;
    if (o_.close(fd) != 0 && errno != EINTR) fail("close", target_, errno);
  }

  // The one step that changes what the target's name holds.
  void renameOverTarget() {
    int rc;
    do {
      rc = o_.rename(path_.c_str(), target_.c_str());
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) fail("rename", target_, errno);
    renamed_ = true;
  }

 private:
  FileOps& o_;
  const std::string& target_;
  std::string path_;
  int fd_ = -1;
  bool renamed_ = false;
};

// The new name is durable once the directory is flushed. The content is
// already in place and the store has succeeded, so no error is reported
// from here: a file system that cannot flush directories (EINVAL), or one
// that fails to, gives no more guarantee than it can.
void flushDirectory(const std::string& dir) noexcept {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace

void checkReplaceable(const std::string& target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    refuseNotRegular(target, st.st_mode);
}

bool isTemporaryName(const std::string& name, const std::string& base) {
  const std::size_t prefix = base.size() + 5;  // "." base ".tmp"
  if (name.size() != prefix + 8 || name[0] != '.' || name.compare(1, base.size(), base) != 0 ||
      name.compare(base.size() + 1, 4, ".tmp") != 0)
    return false;
  for (std::size_t i = prefix; i < name.size(); ++i) {
    char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void writeFileAtomically(const std::string& target, std::uint64_t size,
                         const std::function<void(ByteSink&)>& produce, bool leftovers) {
  if (size > kMaxFileSize)
    refuse("store", target, "the text is larger than the " + std::to_string(kMaxFileSize >> 20) + " MiB a file may hold");
  const std::string dir = directoryOf(target);
  const std::string base = baseOf(target);
  // Made before anything on disk: running out of memory for it leaves
  // nothing to clean up.
  std::unique_ptr<FileSink> sink(new FileSink(fileOps()));

  ReplacedFile old(target);
  if (leftovers) removeLeftovers(dir, base);
  TemporaryFile temp(target, dir, base, old.createMode());
  temp.write(*sink, size, produce);
  if (int err = old.carryTo(temp.fd())) fail("carry the owner, mode, ACL and extended attributes over to", target, err);
  temp.flushAndClose();
  temp.renameOverTarget();
  flushDirectory(dir);
}

// ---------------------------------------------------------------- the store

namespace {

[[noreturn]] void danglingLink(const char* fileName, const std::string& target) {
  std::string reason = "it is a symbolic link to " + target + ", which does not exist";
  ZException_7_0_0 e(kCodeFileNotWritable, ("cannot store " + std::string(fileName) + ": " + reason).c_str());
  e.addInsert("store").addInsert(fileName).addInsert(reason.c_str());
  e.throwException(kModule, __LINE__);
}

}  // namespace

std::string storeTarget(const char* fileName) {
  bool dangling = false;
  std::string target = resolveSymlinks(fileName, &dangling);
  if (dangling) danglingLink(fileName, target);
  checkReplaceable(target);  // no lock file beside a device or FIFO either
  return target;
}

bool whenPresent(const std::function<void()>& read) {
  try {
    read();
    return true;
  } catch (ZException_7_0_0& e) {
    if (e.code != kCodeFileNotFound) throw;
    return false;
  }
}

std::string readIfPresent(const std::string& path, bool& present) {
  std::string text;
  present = whenPresent([&] { text = readWholeFile(path.c_str()); });
  return text;
}

}  // namespace ornz
