// Whole-file reads and atomic, durable replacement of files.
//
// Relies on POSIX rename(2) replacing the target atomically within one file
// system, and on fsync(2) of the file and then of its directory making the
// new name and content durable.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_ATOMICFILE_H
#define ORNUTIL_FOUNDATION_INTERNAL_ATOMICFILE_H

#include <sys/types.h>

#include <string>

namespace ornz {

// The system calls the store goes through; tests replace them to inject
// failures.
struct FileOps {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*close)(int fd);
};
FileOps& fileOps();
void resetFileOps();

// The whole content of the file. Raises ZException_7_0_0 (kind 12 when it
// does not exist, 13 otherwise) with the file name and the system's reason.
std::string readWholeFile(const char* path);

// Replaces `path` with `data`: a temporary file in the same directory is
// written, flushed to disk, given the target's permissions (0644 for a new
// file) and owner, renamed over the target, and the directory is flushed.
// On failure the target is untouched, the temporary file is removed, and
// ZException_7_0_0 (kind 28) is raised naming the step, the file and the
// system's reason.
void writeFileAtomically(const char* path, const std::string& data);

}  // namespace ornz

#endif
