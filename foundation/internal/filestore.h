// The file store: how the library reads, locks and replaces the
// configuration files it loads, in one module of small named steps. The
// configuration file classes go through it; nothing else in the library
// opens a lock file or a temporary file. Reading (a load, and the store's
// look at what the file holds now) is fileread.h's, which loads of other
// kinds of file share.
//
// A store, in order:
//   storeTarget          the real file behind the name's symbolic links; a
//                        link to nothing, or anything but a regular file,
//                        refused before anything is made beside it
//   lockBeside           "<real file>.lock", opened by openLockFile, the
//                        opener every lock file of the library goes through
//                        (the process lock factory's too)
//   waitForWriters       no rename over a process rewriting the file in
//                        place (fileread.h)
//   readIfPresent,       what the file holds now, under the lock, to merge
//   whenPresent          with (fileread.h)
//   writeFileAtomically  leftovers of stores that died, the temporary file,
//                        its content, the old file's metadata
//                        (ReplacedFile), flush, rename, directory flush
// A load: resolveSymlinks and readWholeFile (fileread.h), no lock; a load
// that must store a migration takes the lock first (lockBeside with a bound
// on the wait) and reads again.
//
// Relies on: lstat(2) telling what a name is without opening it; open(2)
// with O_NOFOLLOW refusing a symbolic link, O_NONBLOCK returning at once for
// a FIFO and O_NOCTTY never making a terminal the controlling one; fstat(2)
// of an opened descriptor telling what was really opened; fcntl(2)
// F_OFD_SETLKW blocking until the exclusive lock is acquired, and the lock
// being released when the last descriptor of the open file description is
// closed (also when the process dies); fchown(2) clearing the set-ID bits
// and failing for a process that may not give a file away; fchmod(2) of a
// file with an access ACL setting the ACL's mask, which bounds every named
// entry; the ACLs being the extended attributes system.posix_acl_*; POSIX
// rename(2) replacing the target atomically within one file system; and
// fsync(2) of the file and then of its directory making the new name and
// content durable.
//
// What a crash leaves, step by step:
//   - before the rename: the old file, untouched, and possibly a temporary
//     file ".<name>.tmp<8 hex digits>" beside it, which the next store made
//     under the lock removes once no process has it open for writing;
//   - after the rename: the new file, complete (it was flushed before it
//     took the name); before the directory flush, a power cut may still show
//     the old one, never a mixture.
// Lock files are never removed: removing one while another process waits on
// it would let two processes hold "the" lock at once.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_FILESTORE_H
#define ORNUTIL_FOUNDATION_INTERNAL_FILESTORE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "foundation/internal/fileread.h"

namespace ornz {

// ---------------------------------------------------------------- system calls

// The system calls through which the store writes and checks files, in one
// table so that tests can make any of them fail (a full disk, an I/O error,
// a record that cannot be read) without a broken file system.
struct FileOps {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*close)(int fd);
  int (*fstat)(int fd, struct stat* st);
};

// The table in use (the system's own calls until a test replaces them).
// Not synchronised: tests change it while no store runs.
FileOps& fileOps();
// Puts the system's own calls back.
void resetFileOps();

// ---------------------------------------------------------------- lock files

// What openLockFile found at a name.
struct LockFileOpening {
  int fd = -1;          // the lock file, open read-write and close-on-exec; -1 when not opened
  int err = 0;          // fd -1, refusal empty: the errno of the look or the open that failed
  std::string refusal;  // fd -1: why what is at the name is no lock file ("it is a FIFO, not a
                        // regular file"); nothing was opened for I/O
};

// Opens the lock file `path`, creating it with `createMode` (less the umask)
// when nothing is at the name. Only a regular file with no other name is
// used: what lstat finds is judged before anything is opened, so that a
// planted symbolic link, FIFO, device, socket or hard link is refused without
// being followed or opened for I/O, and the opened descriptor is checked
// again with fstat (a name swapped in between is refused too). Never throws
// but std::bad_alloc (for the refusal's text).
LockFileOpening openLockFile(const std::string& path, mode_t createMode);

// Sets an open-file-description lock on the whole of the open file `fd`
// (F_RDLCK, F_WRLCK or F_UNLCK), waiting for it with `wait`, else failing
// at once (EAGAIN) while another description holds a conflicting one.
// Returns 0 or the errno; a signal while waiting is not a failure.
int setFileLock(int fd, short type, bool wait);

// No wait limit for lockBeside: wait as long as another holder keeps it.
constexpr int kWaitForever = -1;

// Opens (creating it when needed) "<target>.lock" through openLockFile and
// takes its exclusive lock, waiting for it at most `waitMs` milliseconds
// (kWaitForever: without limit). `target` is the real file (symbolic links
// already resolved); a new lock file gets no wider permissions than the
// target's own (0666 less the umask when there is no target yet, as the
// target will get). Returns the descriptor, whose closing releases the lock;
// -1 when the lock file cannot be made or locked (a directory this process
// may not write, a file system without locks): the caller then goes on
// without the lock. Raises ZException_7_0_0 (kind 47) naming the lock file
// when openLockFile refuses what is at its name, or when another holder kept
// the lock longer than `waitMs`; nothing stays open then.
int lockBeside(const std::string& target, int waitMs = kWaitForever);

// ---------------------------------------------------------------- metadata

// What a replaced file hands on to the new file that takes its name: owner,
// group, mode, POSIX ACLs and other extended attributes, the way `cp -p`
// and `install` carry them, never giving anyone access the old file did not.

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

// ---------------------------------------------------------------- atomic write

// Takes the bytes of a file being written, in order.
class ByteSink {
 public:
  virtual void put(const char* data, std::size_t size) = 0;

 protected:
  ~ByteSink() = default;
};

// Replaces the regular file `target` (the real file: symbolic links already
// resolved; it need not exist yet) with the `size` bytes that `produce` puts
// into the sink it is given, a piece at a time, so that a large file is
// written without a copy of it in memory. The steps, in order: the old file
// is examined (ReplacedFile); with `removeLeftovers`, temporary files of
// earlier stores that died are removed; a temporary file is made in the same
// directory, written, given the old file's metadata (ReplacedFile::carryTo:
// owner, group and mode kept or narrowed, never widened; ACLs and extended
// attributes; a new file gets 0666 less the umask), flushed, and renamed over
// the target; then the directory is flushed, which can no longer fail the
// store. On failure the target is untouched, the temporary file is removed,
// and ZException_7_0_0 (kind 28) is raised naming the step, the file and the
// reason; a text that does not come to `size` bytes is such a failure, and
// an exception from `produce` passes on the same way. A target that exists
// but is not a regular file (a device, FIFO, socket or directory) is refused
// before anything is written, as is a text larger than kMaxFileSize (a file
// that could not be loaded again). Extended attributes a file system does
// not support, and security.* or trusted.* attributes this process may not
// set, are left behind; any other failure to read or carry them fails the
// store (an old file this process may not read has its attributes read by
// name; one whose user.* attributes it may not read cannot be replaced).
void writeFileAtomically(const std::string& target, std::uint64_t size,
                         const std::function<void(ByteSink&)>& produce, bool removeLeftovers);

// Raises what writeFileAtomically raises for a target that exists but is not
// a regular file, so that a caller can refuse before taking locks or making
// files beside it.
void checkReplaceable(const std::string& target);

// True for the names writeFileAtomically gives its temporary files beside
// `base` (a file name without directory): "." base ".tmp" and 8 lower-case
// hexadecimal digits.
bool isTemporaryName(const std::string& name, const std::string& base);

// ---------------------------------------------------------------- the store

// The real file a store to `fileName` replaces (symbolic links followed).
// Raises ZException_7_0_0 (kind 28) for a link that leads nowhere (a store
// never creates a file at a link's target) and for a name that holds
// something other than a regular file; kind 13 for a chain of links that
// cannot be followed.
std::string storeTarget(const char* fileName);

// Runs `read`, which reads the file at one name: true when it ran, false
// when the file does not exist (`read` raised kind 12). Other exceptions
// pass.
bool whenPresent(const std::function<void()>& read);

// What the file `path` holds now (readWholeFile), and whether it exists:
// `present` false and nothing returned when it does not.
std::string readIfPresent(const std::string& path, bool& present);

}  // namespace ornz

#endif
