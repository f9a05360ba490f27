#include "foundation/internal/lockfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "foundation/internal/fileread.h"
#include "foundation/zexception.h"

namespace ornz {

namespace {

const char kModule[] = "foundation/lockfile";

[[noreturn]] void refuse(const std::string& lock, const std::string& reason, int line) {
  ZException_7_0_0 e(kCodeLockFailed, ("cannot use the lock file " + lock + ": " + reason).c_str());
  e.addInsert(lock.c_str()).addInsert(reason.c_str());
  e.throwException(kModule, line);
}

std::string notRegular(mode_t mode) { return std::string("it is ") + fileTypeName(mode) + ", not a regular file"; }

}  // namespace

int lockBeside(const std::string& target) {
  std::string lock = target + ".lock";
  // Only what the look finds is ever opened: a device planted at the name
  // must not be opened at all, a link must not lead anywhere.
  struct stat st;
  if (::lstat(lock.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) refuse(lock, "it is a symbolic link", __LINE__);
    if (!S_ISREG(st.st_mode)) refuse(lock, notRegular(st.st_mode), __LINE__);
    if (st.st_nlink != 1) refuse(lock, "it has other names (hard links)", __LINE__);
  }
  mode_t mode = 0644;
  struct stat file;
  if (::stat(target.c_str(), &file) == 0 && S_ISREG(file.st_mode)) mode = file.st_mode & 0666;

  int fd;
  do {
    fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ELOOP) refuse(lock, "it is a symbolic link", __LINE__);
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    bool regular = S_ISREG(st.st_mode);
    mode_t kind = st.st_mode;
    ::close(fd);
    refuse(lock, regular ? std::string("it has other names (hard links)") : notRegular(kind), __LINE__);
  }
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLKW, &fl);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace ornz
