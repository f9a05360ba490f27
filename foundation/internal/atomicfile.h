// Atomic, durable replacement of files, keeping what the old file carried.
//
// Relies on POSIX rename(2) replacing the target atomically within one file
// system, and on fsync(2) of the file and then of its directory making the
// new name and content durable. What a crash leaves, step by step:
//   - before the rename: the old file, untouched, and possibly a temporary
//     file ".<name>.tmp<8 hex digits>" beside it, which the next store made
//     under the lock removes once no process has it open for writing;
//   - after the rename: the new file, complete (it was flushed before it
//     took the name); before the directory flush, a power cut may still show
//     the old one, never a mixture.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_ATOMICFILE_H
#define ORNUTIL_FOUNDATION_INTERNAL_ATOMICFILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "foundation/internal/fileops.h"

namespace ornz {

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

}  // namespace ornz

#endif
