// The file store: how the library reads, locks and replaces the
// configuration files it loads, as one sequence of named steps. The
// configuration file classes go through this header; nothing else in the
// library opens a lock file or a temporary file.
//
// A store, in order (each step's contract is in the header named):
//   storeTarget          the real file behind the name's symbolic links; a
//                        link to nothing, or anything but a regular file,
//                        refused before anything is made beside it
//   lockBeside           "<real file>.lock", opened by openLockFile, the
//                        opener every lock file of the library goes through
//                        (lockfile.h)
//   waitForWriters       no rename over a process rewriting the file in
//                        place (fileread.h)
//   readIfPresent,       what the file holds now, under the lock, to merge
//   whenPresent          with (fileread.h)
//   writeFileAtomically  leftovers of stores that died, the temporary file,
//                        its content, the old file's metadata (filemeta.h),
//                        flush, rename, directory flush (atomicfile.h)
// A load: resolveSymlinks and readWholeFile (fileread.h), no lock; a load
// that must store a migration takes the lock first (lockBeside with a
// bound on the wait) and reads again.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_FILESTORE_H
#define ORNUTIL_FOUNDATION_INTERNAL_FILESTORE_H

#include <functional>
#include <string>

#include "foundation/internal/atomicfile.h"
#include "foundation/internal/fileread.h"
#include "foundation/internal/lockfile.h"

namespace ornz {

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
