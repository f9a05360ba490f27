#include "foundation/internal/filemeta.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "foundation/internal/fileops.h"
#include "foundation/internal/fileread.h"
#include "foundation/zexception.h"

namespace ornz {

namespace {

const char kModule[] = "foundation/filemeta";

[[noreturn]] void refuse(const std::string& target, const std::string& reason) {
  ZException_7_0_0 e(kCodeFileNotWritable, ("cannot replace " + target + ": " + reason).c_str());
  e.addInsert("replace").addInsert(target.c_str()).addInsert(reason.c_str());
  e.throwException(kModule, __LINE__);
}

[[noreturn]] void refuseNotRegular(const std::string& target, mode_t mode) {
  refuse(target, std::string("it is ") + fileTypeName(mode) + ", not a regular file");
}

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
    refuse(target, "it was replaced by something that is not a regular file");
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

}  // namespace ornz
