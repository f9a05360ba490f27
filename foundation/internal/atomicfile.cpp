#include "foundation/internal/atomicfile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/internal/filemeta.h"
#include "foundation/internal/fileread.h"
#include "foundation/zexception.h"

namespace ornz {

namespace {

const char kModule[] = "foundation/atomicfile";

[[noreturn]] void fail(const char* step, const std::string& path, int err) {
  fileException(path.c_str(), err, true, step).throwException(kModule, __LINE__);
}

[[noreturn]] void refuse(const char* step, const std::string& path, const std::string& reason) {
  ZException_7_0_0 e(kCodeFileNotWritable, ("cannot " + std::string(step) + " " + path + ": " + reason).c_str());
  e.addInsert(step).addInsert(path.c_str()).addInsert(reason.c_str());
  e.throwException(kModule, __LINE__);
}

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Temporary files of stores that died before their rename. Called under the
// target's lock, but a store that could not make or lock the lock file (a
// lock file it may not open, a file system without locks) runs without it:
// a temporary file still open for writing belongs to such a live store and
// is left alone. One that closed its file and has not yet renamed it may
// still lose it; its rename then fails and its target stays intact.
void removeLeftovers(const std::string& dir, const std::string& base) {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  // Owns dfd from here on; closed however the list below is left (it can
  // run out of memory).
  std::unique_ptr<DIR, int (*)(DIR*)> d(::fdopendir(dfd), ::closedir);
  if (!d) {
    ::close(dfd);
    return;
  }
  std::vector<std::string> stale;
  while (struct dirent* e = ::readdir(d.get())) {
    if (isTemporaryName(e->d_name, base)) stale.emplace_back(e->d_name);
  }
  for (const std::string& name : stale) {
    struct stat st;
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        !openForWritingElsewhere((dir + "/" + name).c_str()))
      ::unlinkat(dfd, name.c_str(), 0);
  }
}

// Writes what it is given to the temporary file through a buffer, so that a
// text made of many short lines costs few system calls; a piece as large as
// the buffer goes straight through.
class FileSink : public ByteSink {
 public:
  explicit FileSink(FileOps& o) : o_(o) {}
  void writeTo(int fd) { fd_ = fd; }

  void put(const char* data, std::size_t size) override {
    written_ += size;
    if (err_) return;
    if (used_ + size <= sizeof buffer_) {
      std::memcpy(buffer_ + used_, data, size);
      used_ += size;
      return;
    }
    flush();
    if (size < sizeof buffer_) {
      std::memcpy(buffer_, data, size);
      used_ = size;
    } else {
      writeAll(data, size);
    }
  }

  // The first write error (errno), 0 when none.
  int finish() {
    flush();
    return err_;
  }
  std::uint64_t written() const { return written_; }

 private:
  void flush() {
    if (used_ && !err_) writeAll(buffer_, used_);
    used_ = 0;
  }
  void writeAll(const char* p, std::size_t left) {
    while (left > 0 && !err_) {
      ssize_t n = o_.write(fd_, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        err_ = errno;
      } else if (n == 0) {
        err_ = EIO;
      } else {
        p += n;
        left -= static_cast<std::size_t>(n);
      }
    }
  }

  FileOps& o_;
  int fd_ = -1;
  int err_ = 0;
  std::uint64_t written_ = 0;
  std::size_t used_ = 0;
  char buffer_[64 * 1024];
};

// The new file under a name of its own beside the target (same file system,
// so the rename is atomic). Until it takes the target's name it is removed
// however the store ends: this is the store's one way of cleaning up.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& target, const std::string& dir, const std::string& base, mode_t mode)
      : o_(fileOps()), target_(target) {
    unsigned long seed = static_cast<unsigned long>(getpid()) * 2654435761ul ^
                         static_cast<unsigned long>(time(nullptr)) ^ reinterpret_cast<unsigned long>(this);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      char suffix[24];
      seed = seed * 6364136223846793005ul + 1442695040888963407ul;
      std::snprintf(suffix, sizeof suffix, ".tmp%08lx", (seed >> 24) & 0xfffffffful);
      path_ = dir + "/." + base + suffix;
      do {
        fd_ = o_.open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      } while (fd_ < 0 && errno == EINTR);
      if (fd_ < 0 && errno != EEXIST) fail("create a temporary file for", target_, errno);
    }
    if (fd_ < 0) fail("create a temporary file for", target_, EEXIST);
  }
  ~TemporaryFile() {
    if (fd_ >= 0) o_.close(fd_);
    if (!renamed_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }

  // Puts exactly `size` bytes, as `produce` makes them, into the file.
  void write(FileSink& sink, std::uint64_t size, const std::function<void(ByteSink&)>& produce) {
    sink.writeTo(fd_);
    produce(sink);
    if (int err = sink.finish()) fail("write", target_, err);
    if (sink.written() != size) fail("write", target_, EIO);  // the text was not what it was said to be
  }

  // Makes the content durable before the file may take the target's name.
  void flushAndClose() {
    int rc;
    do {
      rc = o_.fsync(fd_);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) fail("flush", target_, errno);
    // Linux releases the descriptor even when close reports an error.
    int fd = fd_;
    fd_ = -1;
    if (o_.close(fd) != 0 && errno != EINTR) fail("close", target_, errno);
  }

  // The one step that changes what the target's name holds.
  void renameOverTarget() {
    int rc;
    do {
      rc = o_.rename(path_.c_str(), target_.c_str());
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) fail("rename", target_, errno);
    renamed_ = true;
  }

 private:
  FileOps& o_;
  const std::string& target_;
  std::string path_;
  int fd_ = -1;
  bool renamed_ = false;
};

// The new name is durable once the directory is flushed. The content is
// already in place and the store has succeeded, so no error is reported
// from here: a file system that cannot flush directories (EINVAL), or one
// that fails to, gives no more guarantee than it can.
void flushDirectory(const std::string& dir) noexcept {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace


void checkReplaceable(const std::string& target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    refuse("replace", target, std::string("it is ") + fileTypeName(st.st_mode) + ", not a regular file");
}

bool isTemporaryName(const std::string& name, const std::string& base) {
  const std::size_t prefix = base.size() + 5;  // "." base ".tmp"
  if (name.size() != prefix + 8 || name[0] != '.' || name.compare(1, base.size(), base) != 0 ||
      name.compare(base.size() + 1, 4, ".tmp") != 0)
    return false;
  for (std::size_t i = prefix; i < name.size(); ++i) {
    char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void writeFileAtomically(const std::string& target, std::uint64_t size,
                         const std::function<void(ByteSink&)>& produce, bool leftovers) {
  if (size > kMaxFileSize)
    refuse("store", target, "the text is larger than the " + std::to_string(kMaxFileSize >> 20) + " MiB a file may hold");
  const std::string dir = directoryOf(target);
  const std::string base = baseOf(target);
  // Made before anything on disk: running out of memory for it leaves
  // nothing to clean up.
  std::unique_ptr<FileSink> sink(new FileSink(fileOps()));

  ReplacedFile old(target);
  if (leftovers) removeLeftovers(dir, base);
  TemporaryFile temp(target, dir, base, old.createMode());
  temp.write(*sink, size, produce);
  if (int err = old.carryTo(temp.fd())) fail("carry the owner, mode, ACL and extended attributes over to", target, err);
  temp.flushAndClose();
  temp.renameOverTarget();
  flushDirectory(dir);
}

}  // namespace ornz
