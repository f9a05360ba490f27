// Lock files: the one opener every lock file of the library goes through
// (the configuration files' "<file>.lock" and the process lock factory's
// "<name>.lock"), and the lock that serialises read-modify-write cycles on
// one configuration file across processes.
//
// Relies on: lstat(2) telling what a name is without opening it; open(2) with
// O_NOFOLLOW refusing a symbolic link, O_NONBLOCK returning at once for a
// FIFO and O_NOCTTY never making a terminal the controlling one; fstat(2)
// of the opened descriptor telling what was really opened; fcntl(2)
// F_OFD_SETLKW blocking until the exclusive lock is acquired, and the lock
// being released when the last descriptor of the open file description is
// closed (also when the process dies). Lock files are never removed:
// removing one while another process waits on it would let two processes
// hold "the" lock at once.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_LOCKFILE_H
#define ORNUTIL_FOUNDATION_INTERNAL_LOCKFILE_H

#include <sys/types.h>

#include <string>

namespace ornz {

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

}  // namespace ornz

#endif
