#include "foundation/internal/atomicfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "foundation/zexception.h"

namespace ornz {

namespace {

int sysOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

FileOps defaults() { return FileOps{sysOpen, ::write, ::fsync, ::rename, ::close}; }

FileOps& ops() {
  static FileOps current = defaults();
  return current;
}

[[noreturn]] void fail(const char* step, const char* path, int err) {
  fileException(path, err, true, step).throwException("foundation/zstanzafile", __LINE__);
}

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

FileOps& fileOps() { return ops(); }

void resetFileOps() { ops() = defaults(); }

std::string readWholeFile(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) fileException(path, errno, false, "open").throwException("foundation/zstanzafile", __LINE__);
  struct stat st;
  std::string data;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    fileException(path, EISDIR, false, "read").throwException("foundation/zstanzafile", __LINE__);
  }
  if (st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      fileException(path, err, false, "read").throwException("foundation/zstanzafile", __LINE__);
    }
    if (n == 0) break;
    data.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

void writeFileAtomically(const char* path, const std::string& data) {
  FileOps& o = ops();
  std::string target = path;
  std::string dir = directoryOf(target);
  std::string base = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);

  struct stat st;
  bool exists = ::stat(path, &st) == 0;
  mode_t mode = exists ? (st.st_mode & 07777) : 0644;

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
      fd = o.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno != EEXIST) fail("create a temporary file for", path, errno);
  }
  if (fd < 0) fail("create a temporary file for", path, EEXIST);

  auto abandon = [&](const char* step, int err) {
    o.close(fd);
    ::unlink(temp.c_str());
    fail(step, path, err);
  };

  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = o.write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      abandon("write", errno);
    }
    if (n == 0) abandon("write", EIO);
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fchmod(fd, mode) != 0) abandon("set the permissions of", errno);
  // Keep the owner when we may (root rewriting a file of another user);
  // failing that the file is ours, which is no reason to refuse the store.
  if (exists && (st.st_uid != geteuid() || st.st_gid != getegid())) {
    int ignored = ::fchown(fd, st.st_uid, st.st_gid);
    (void)ignored;
  }
  int rc;
  do {
    rc = o.fsync(fd);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) abandon("flush", errno);
  if (o.close(fd) != 0 && errno != EINTR) {
    int err = errno;
    ::unlink(temp.c_str());
    fail("close", path, err);
  }
  do {
    rc = o.rename(temp.c_str(), path);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    fail("rename", path, err);
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
