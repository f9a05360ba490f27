#include "foundation/internal/fileops.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace ornz {

namespace {

// open is variadic; the table holds a plain function.
int sysOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

int sysFstat(int fd, struct stat* st) { return ::fstat(fd, st); }

FileOps defaults() { return FileOps{sysOpen, ::write, ::fsync, ::rename, ::close, sysFstat}; }

}  // namespace

FileOps& fileOps() {
  static FileOps current = defaults();
  return current;
}

void resetFileOps() { fileOps() = defaults(); }

}  // namespace ornz
