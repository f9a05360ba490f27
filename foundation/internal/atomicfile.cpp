#include "foundation/internal/atomicfile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/internal/fileread.h"
#include "foundation/zexception.h"

namespace ornz {

namespace {

const char kModule[] = "foundation/atomicfile";

int sysOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

FileOps defaults() { return FileOps{sysOpen, ::write, ::fsync, ::rename, ::close}; }

FileOps& ops() {
  static FileOps current = defaults();
  return current;
}

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

// Temporary files of stores that died before their rename. Only called under
// the target's lock: every live store of this target holds it too, so none
// of the names found belongs to a store still running.
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
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      ::unlinkat(dfd, name.c_str(), 0);
  }
}

bool mayLeaveBehind(const char* name, int err) {
  if (err == ENOTSUP || err == EOPNOTSUPP) return true;  // the file system cannot hold it
  // A label or trusted attribute this process may not set: the new file
  // keeps what the system gives it.
  bool privileged = std::strncmp(name, "security.", 9) == 0 || std::strncmp(name, "trusted.", 8) == 0;
  return privileged && (err == EPERM || err == EACCES);
}

// Copies every extended attribute (POSIX ACLs are the system.posix_acl_*
// ones) from `from` to `to`. Returns 0 or the errno of the first failure
// that must fail the store.
int copyAttributes(int from, int to) {
  std::vector<char> names;
  ssize_t size;
  for (;;) {
    size = ::flistxattr(from, nullptr, 0);
    if (size < 0) return errno == ENOTSUP || errno == EOPNOTSUPP ? 0 : errno;
    if (size == 0) return 0;
    names.resize(static_cast<std::size_t>(size));
    size = ::flistxattr(from, names.data(), names.size());
    if (size >= 0) break;
    if (errno != ERANGE) return errno;  // ERANGE: the list grew meanwhile
  }
  std::vector<char> value;
  for (const char* name = names.data(); name < names.data() + size; name += std::strlen(name) + 1) {
    ssize_t length;
    for (;;) {
      length = ::fgetxattr(from, name, nullptr, 0);
      if (length < 0) break;
      value.resize(static_cast<std::size_t>(length) + 1);
      length = ::fgetxattr(from, name, value.data(), value.size());
      if (length >= 0 || errno != ERANGE) break;
    }
    if (length < 0) {
      if (errno == ENODATA) continue;  // removed meanwhile
      if (mayLeaveBehind(name, errno)) continue;
      return errno;
    }
    if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(length), 0) != 0 &&
        !mayLeaveBehind(name, errno))
      return errno;
  }
  return 0;
}

}  // namespace

FileOps& fileOps() { return ops(); }

void resetFileOps() { ops() = defaults(); }

void checkReplaceable(const std::string& target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) refuseNotRegular(target, st.st_mode);
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

namespace {

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

}  // namespace

void writeFileAtomically(const std::string& target, std::uint64_t size,
                         const std::function<void(ByteSink&)>& produce, bool leftovers) {
  FileOps& o = ops();
  const std::string dir = directoryOf(target);
  const std::string base = baseOf(target);
  // Made first: running out of memory for it leaves nothing to clean up.
  std::unique_ptr<FileSink> sink(new FileSink(o));

  if (size > kMaxFileSize)
    refuse("store", target, "the text is larger than the " + std::to_string(kMaxFileSize >> 20) + " MiB a file may hold");

  // The old file: what it is, and a descriptor to copy its attributes from.
  // Only a regular file is ever replaced.
  struct stat st;
  bool exists = ::lstat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) fail("examine", target, errno);
  int old = -1;
  if (exists) {
    if (!S_ISREG(st.st_mode)) refuseNotRegular(target, st.st_mode);
    old = ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (old >= 0 && (::fstat(old, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(old);
      refuse("replace", target, "it was replaced by something that is not a regular file");
    }
    // Unreadable to this process: owner and mode still come from lstat; the
    // attributes cannot be seen, so none can be lost by not copying them.
  }
  struct CloseOld {
    int fd;
    ~CloseOld() {
      if (fd >= 0) ::close(fd);
    }
  } closeOld{old};

  if (leftovers) removeLeftovers(dir, base);

  // A name of our own next to the target: same file system, so rename is atomic.
  std::string temp;
  int fd = -1;
  unsigned long seed = static_cast<unsigned long>(getpid()) * 2654435761ul ^
                       static_cast<unsigned long>(time(nullptr)) ^ reinterpret_cast<unsigned long>(&temp);
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    char suffix[24];
    seed = seed * 6364136223846793005ul + 1442695040888963407ul;
    std::snprintf(suffix, sizeof suffix, ".tmp%08lx", (seed >> 24) & 0xfffffffful);
    temp = dir + "/." + base + suffix;
    do {
      fd = o.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno != EEXIST) fail("create a temporary file for", target, errno);
  }
  if (fd < 0) fail("create a temporary file for", target, EEXIST);

  auto abandon = [&](const char* step, int err) {
    o.close(fd);
    ::unlink(temp.c_str());
    fail(step, target, err);
  };

  {
    sink->writeTo(fd);
    try {
      produce(*sink);
    } catch (...) {
      o.close(fd);
      ::unlink(temp.c_str());
      throw;
    }
    if (int err = sink->finish()) abandon("write", err);
    if (sink->written() != size) abandon("write", EIO);  // the text was not what it was said to be
  }
  // Owner first (a change of owner clears set-id bits), then the mode, then
  // the attributes: setting an access ACL rewrites the group bits from its
  // mask, which a later chmod would undo.
  if (exists && (st.st_uid != geteuid() || st.st_gid != getegid())) {
    // Keep the owner when we may (root rewriting a file of another user);
    // failing that the file is ours, which is no reason to refuse the store.
    int ignored = ::fchown(fd, st.st_uid, st.st_gid);
    (void)ignored;
  }
  if (::fchmod(fd, exists ? (st.st_mode & 07777) : 0644) != 0) abandon("set the permissions of", errno);
  if (old >= 0) {
    int err = copyAttributes(old, fd);
    if (err != 0) abandon("copy the ACL and extended attributes of", err);
  }
  int rc;
  do {
    rc = o.fsync(fd);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) abandon("flush", errno);
  if (o.close(fd) != 0 && errno != EINTR) {
    int err = errno;
    ::unlink(temp.c_str());
    fail("close", target, err);
  }
  do {
    rc = o.rename(temp.c_str(), target.c_str());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    fail("rename", target, err);
  }
  // The new name is durable once the directory is flushed. The content is
  // already in place; a file system that cannot flush directories (EINVAL)
  // gives no more guarantee than it can.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace ornz
