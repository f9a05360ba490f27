// The system calls through which the file store writes and checks files, in
// one table so that tests can make any of them fail (a full disk, an I/O
// error, a record that cannot be read) without a broken file system.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_FILEOPS_H
#define ORNUTIL_FOUNDATION_INTERNAL_FILEOPS_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace ornz {

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

}  // namespace ornz

#endif
