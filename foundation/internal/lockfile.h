// The lock file that serialises read-modify-write cycles on one file across
// processes: "<file>.lock" beside the real file, holding an exclusive
// open-file-description lock.
//
// Relies on: fcntl(2) F_OFD_SETLKW blocking until the exclusive lock is
// acquired, and the lock being released when the last descriptor of the
// open file description is closed (also when the process dies). Lock files
// are never removed: removing one while another process waits on it would
// let two processes hold "the" lock at once.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_LOCKFILE_H
#define ORNUTIL_FOUNDATION_INTERNAL_LOCKFILE_H

#include <string>

namespace ornz {

// Opens (creating it when needed) "<target>.lock" and waits for its
// exclusive lock. `target` is the real file (symbolic links already
// resolved); a new lock file gets no wider permissions than the target's own
// (0644 when there is no target yet; the umask applies). Returns the
// descriptor (close-on-exec), whose closing releases the lock; -1 when the
// lock file cannot be made or locked (a directory this process may not
// write, a file system without locks): the caller then goes on without the
// lock. Raises ZException_7_0_0 (kind 47) when the lock file is a symbolic
// link (never followed), is not a regular file (never opened when it is a
// device or FIFO), or has other names (hard links).
int lockBeside(const std::string& target);

}  // namespace ornz

#endif
