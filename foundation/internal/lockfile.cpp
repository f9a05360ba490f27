#include "foundation/internal/lockfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "foundation/internal/fileops.h"
#include "foundation/internal/fileread.h"
#include "foundation/internal/syserror.h"
#include "foundation/zexception.h"

namespace ornz {

namespace {

const char kModule[] = "foundation/lockfile";

bool usable(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

// Why the file `st` describes cannot serve as a lock file; empty when it can.
std::string unusable(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
  if (!S_ISREG(st.st_mode)) return std::string("it is ") + fileTypeName(st.st_mode) + ", not a regular file";
  if (st.st_nlink != 1) return "it has other names (hard links)";
  return std::string();
}

[[noreturn]] void refuse(const std::string& lock, const std::string& reason, int line) {
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

int setLock(int fd, bool wait) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  int rc;
  do {
    rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
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
  if (waitMs < 0) return setLock(fd, true);
  const long long deadline = nowMs() + waitMs;
  long pauseMs = 5;
  for (;;) {
    int err = setLock(fd, false);
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
  if (!opened.refusal.empty()) refuse(lock, opened.refusal, __LINE__);
  if (opened.fd < 0) return -1;
  int err = takeLock(opened.fd, waitMs);
  if (err == 0) return opened.fd;
  ::close(opened.fd);
  if (err == ETIMEDOUT)
    refuse(lock, "another process has held it for longer than " + std::to_string(waitMs) + " ms", __LINE__);
  return -1;
}

}  // namespace ornz
