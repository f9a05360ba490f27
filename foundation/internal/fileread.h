// Reading the files the library loads (stanza and properties files): only
// regular files, never blocking, bounded in size, and never a half-written
// file; and finding the real file behind a chain of symbolic links.
//
// Relies on: open(2) with O_NONBLOCK returning at once for a FIFO; fstat(2)
// of the opened descriptor telling what was really opened; the size and the
// change time of a file changing whenever it is written; and fcntl(2)
// F_SETLEASE F_RDLCK failing with EAGAIN while any process has the file open
// for writing.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_FILEREAD_H
#define ORNUTIL_FOUNDATION_INTERNAL_FILEREAD_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/internal/contentdigest.h"

namespace ornz {

// No configuration file comes near this; a larger one is refused before any
// of it is read, so a huge or sparse file cannot exhaust memory.
constexpr std::size_t kMaxFileSize = 64u << 20;

// Follows `path` through a chain of symbolic links (relative targets are
// taken from the link's own directory) to the name that is not a link: the
// name to lock, write beside and rename over. A name that does not exist is
// its own target; `dangling` (when given) is set when the chain ends in a
// name that does not exist. Raises ZException_7_0_0 (kind 13) for a chain
// of more than 40 links or a link that cannot be read.
std::string resolveSymlinks(const char* path, bool* dangling = nullptr);

// The whole content of the regular file `path` (symbolic links followed).
// Raises ZException_7_0_0 naming the file and the reason: kind 12 when it
// does not exist; kind 13 when it is not a regular file (a FIFO, device,
// socket or directory is never read, and nothing blocks), is larger than
// kMaxFileSize, cannot be read, or kept changing while it was read. A read
// that sees the file change (its size, times or identity differ before and
// after), or that finds another process holding the file open for writing
// (a writer rewriting it in place may be between two writes), is made again
// for up to half a second. A holder that has changed nothing for a whole
// half second is taken to be done, and what the file holds is returned; one
// still writing when a second has passed makes the read fail as "kept
// changing" (one quiet look between two writes is never taken as the file).
std::string readWholeFile(const char* path);

// Whether the regular file `path` holds exactly `bytes`, or the bytes whose
// digest is `digest`. The file is read as readWholeFile reads it (the same
// waits for writers, the same exceptions) but a piece at a time through a
// buffer of 1 MiB, so that the comparison costs no copy of the file.
bool fileHolds(const char* path, std::string_view bytes);
bool fileHolds(const char* path, const ContentDigest& digest);

// True when another open file description has the regular file `path` open
// for writing (a writer in the middle of rewriting it in place; a
// descriptor this process opened for writing counts too). False when nobody has,
// and when it cannot be told (no such file, a file system without leases,
// a file this process may not lease, or no signal the lease could safely
// use).
bool openForWritingElsewhere(const char* path);

// Waits up to half a second for other processes to close the file `path`
// after writing it; then raises ZException_7_0_0 (kind 28): renaming a new
// file over it would send the rest of a writer's bytes to a file that no
// longer has the name.
void waitForWriters(const char* path);

// Words for a file type in messages: "a directory", "a FIFO", ...
const char* fileTypeName(mode_t mode);

}  // namespace ornz

#endif
