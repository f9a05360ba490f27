// What a replaced file hands on to the new file that takes its name: owner,
// group, mode, POSIX ACLs and other extended attributes, the way `cp -p` and
// `install` carry them, never giving anyone access the old file did not.
//
// Relies on: fchown(2) clearing the set-user-ID and set-group-ID bits and
// failing for a process that may not give the file away; fchmod(2) of a file
// with an access ACL setting the ACL's mask, which bounds every named entry;
// the ACLs being the extended attributes system.posix_acl_access and
// system.posix_acl_default.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_FILEMETA_H
#define ORNUTIL_FOUNDATION_INTERNAL_FILEMETA_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace ornz {

// The permission bits a new file gets when its owner (`ownerKept` false) or
// group (`groupKept` false) could not be those of the file `oldMode` belonged
// to: the new owner's bits are the old owner's; the new group gets no more
// than everyone had (the group bits less what others lacked); others get no
// more than the old owner and the old group had, since those now count as
// others; set-user-ID and set-group-ID are cleared. With both kept, `oldMode`
// unchanged (its 07777 bits).
mode_t narrowedMode(mode_t oldMode, bool ownerKept, bool groupKept);

// The regular file a store replaces, examined before anything is written.
class ReplacedFile {
 public:
  // Looks at `target` (the real file; it need not exist). Raises
  // ZException_7_0_0 (kind 28) when something that is not a regular file is
  // at the name, or was swapped in while it was looked at.
  explicit ReplacedFile(const std::string& target);
  ~ReplacedFile();
  ReplacedFile(const ReplacedFile&) = delete;
  ReplacedFile& operator=(const ReplacedFile&) = delete;

  bool exists() const { return exists_; }
  // The mode to create the new file with: private (0600) while it is written
  // when it replaces a file, whose mode carryTo gives it; 0666 for a new
  // file, which the umask (or the directory's default ACL) narrows as open(2)
  // would narrow any new file's.
  mode_t createMode() const { return exists_ ? 0600 : 0666; }

  // Gives the new file `fd` (made by this process) the old file's owner and
  // group where this process may, then its mode (narrowed, see narrowedMode,
  // where owner or group could not be kept), then its ACLs and extended
  // attributes. Attributes the file system cannot hold and security.* or
  // trusted.* ones this process may not set are left behind. Returns 0, or
  // the errno of the first failure that must fail the store (the new file
  // then carries part of the metadata; it is the caller's to remove). A new
  // file (no old one) is left as it was made.
  int carryTo(int fd) const;

 private:
  std::string path_;
  bool exists_ = false;
  struct stat st_ {};
  int fd_ = -1;  // read-only, to read the attributes from; -1 when unreadable
};

}  // namespace ornz

#endif
