#include "foundation/zrwlock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "foundation/internal/filestore.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/internal/syserror.h"
#include "foundation/zexception.h"

namespace {

const char kModule[] = "foundation/zrwlock";
const char kInProcessName[] = "(in-process)";

// An error number's text in a buffer of its own: composing a failure's
// message must not allocate before the message itself is made.
struct ErrorText {
  explicit ErrorText(int err) { ornz::errorText(err, text, sizeof text); }
  char text[256];
};

// The exceptions below are composed under the memory rule, so that
// exhausted memory while reporting a failure is reported as such.
[[noreturn]] void raiseSystemCall(const char* call, const char* object, int err, int line) {
  ornz::reportingMemory(kModule, line, [&] {
    ZException_7_0_0 e(ornz::kCodeSystemCall,
                       (std::string(call) + " failed on lock " + object + ": " + ErrorText(err).text).c_str());
    e.addInsert(call).addInsert(object).addInsert(err);
    e.throwException(kModule, line);
  });
  __builtin_unreachable();
}

[[noreturn]] void raiseLockFailed(const char* lock, const char* reason, int line) {
  ornz::reportingMemory(kModule, line, [&] {
    ZException_7_0_0 e(ornz::kCodeLockFailed, (std::string("the lock ") + lock + " cannot be taken: " + reason).c_str());
    e.addInsert(lock).addInsert(reason);
    e.throwException(kModule, line);
  });
  __builtin_unreachable();
}

[[noreturn]] void raiseDirectory(const char* lock, const char* directory, const std::string& op, const char* reason,
                                 int line) {
  ornz::reportingMemory(kModule, line, [&] {
    ZException_7_0_0 e(ornz::kCodeLockDirectory, (std::string("the lock ") + lock + " cannot use the directory " +
                                                  directory + " (" + op + "): " + reason)
                                                     .c_str());
    e.addInsert(lock).addInsert(directory).addInsert(op.c_str()).addInsert(reason);
    e.throwException(kModule, line);
  });
  __builtin_unreachable();
}

// Errors a pthread lock call reports for a hold that cannot be had (the
// calling thread already holds it, or too many readers), as opposed to a
// broken lock object.
bool isRefusal(int err) { return err == EDEADLK || err == EAGAIN; }

}  // namespace

ZAbstractReadWriteLock_7_0_0::~ZAbstractReadWriteLock_7_0_0() = default;

// ---------------------------------------------------------------- in-process

ZReadWriteLock_7_0_0::ZReadWriteLock_7_0_0() {
  pthread_rwlockattr_t attr;
  int err = pthread_rwlockattr_init(&attr);
  if (err) raiseSystemCall("pthread_rwlockattr_init", kInProcessName, err, __LINE__);
  // glibc prefers readers by default, which lets a steady stream of readers
  // starve a writer for ever.
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  err = pthread_rwlock_init(&rwlock_, &attr);
  pthread_rwlockattr_destroy(&attr);
  if (err) raiseSystemCall("pthread_rwlock_init", kInProcessName, err, __LINE__);
}

ZReadWriteLock_7_0_0::~ZReadWriteLock_7_0_0() { pthread_rwlock_destroy(&rwlock_); }

void ZReadWriteLock_7_0_0::readLock() {
  int err = pthread_rwlock_rdlock(&rwlock_);
  if (err == 0) return;
  if (isRefusal(err)) raiseLockFailed(kInProcessName, ErrorText(err).text, __LINE__);
  raiseSystemCall("pthread_rwlock_rdlock", kInProcessName, err, __LINE__);
}

void ZReadWriteLock_7_0_0::writeLock() {
  int err = pthread_rwlock_wrlock(&rwlock_);
  if (err == 0) return;
  if (isRefusal(err)) raiseLockFailed(kInProcessName, ErrorText(err).text, __LINE__);
  raiseSystemCall("pthread_rwlock_wrlock", kInProcessName, err, __LINE__);
}

void ZReadWriteLock_7_0_0::unlock() {
  int err = pthread_rwlock_unlock(&rwlock_);
  if (err) raiseSystemCall("pthread_rwlock_unlock", kInProcessName, err, __LINE__);
}

bool ZReadWriteLock_7_0_0::tryReadLock() {
  int err = pthread_rwlock_tryrdlock(&rwlock_);
  if (err == 0) return true;
  if (err == EBUSY || isRefusal(err)) return false;
  raiseSystemCall("pthread_rwlock_tryrdlock", kInProcessName, err, __LINE__);
}

bool ZReadWriteLock_7_0_0::tryWriteLock() {
  int err = pthread_rwlock_trywrlock(&rwlock_);
  if (err == 0) return true;
  if (err == EBUSY || isRefusal(err)) return false;
  raiseSystemCall("pthread_rwlock_trywrlock", kInProcessName, err, __LINE__);
}

// ---------------------------------------------------------------- lock file

ZUnixProcessReadWriteFileLock_7_0_0::ZUnixProcessReadWriteFileLock_7_0_0(const char* name,
                                                                         const char* directory) {
  // The names are std::string members: exhausted memory is reported as the
  // foundation reports it.
  ornz::reportingMemory(kModule, __LINE__, [&] {
    const char* lockName = name ? name : "(null)";
    if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
      raiseLockFailed(lockName, "its name must be a file name, without '/'", __LINE__);
    }
    name_ = name;
    if (directory == nullptr || *directory == '\0') {
      raiseDirectory(lockName, "\"\"", "open", "no directory was given", __LINE__);
    }
    std::string fileName = name_ + ".lock";
    path_ = std::string(directory) + "/" + fileName;

    // The configuration files' lock files are opened the same way: a link,
    // FIFO, device, socket or hard link planted under the name is refused
    // without being followed or opened.
    ornz::LockFileOpening opened = ornz::openLockFile(path_, 0660);
    if (!opened.refusal.empty()) raiseDirectory(lockName, directory, "open " + fileName, opened.refusal.c_str(), __LINE__);
    if (opened.fd < 0) {
      // Name the directory's own fault when it has one: "No such file or
      // directory" about the lock file would send the reader the wrong way.
      struct stat st;
      if (::stat(directory, &st) != 0) raiseDirectory(lockName, directory, "stat", ErrorText(errno).text, __LINE__);
      if (!S_ISDIR(st.st_mode)) raiseDirectory(lockName, directory, "stat", ErrorText(ENOTDIR).text, __LINE__);
      raiseDirectory(lockName, directory, "open " + fileName, ErrorText(opened.err).text, __LINE__);
    }
    fd_ = opened.fd;
  });
}

ZUnixProcessReadWriteFileLock_7_0_0::~ZUnixProcessReadWriteFileLock_7_0_0() {
  if (fd_ >= 0) ::close(fd_);
}

void ZUnixProcessReadWriteFileLock_7_0_0::readLock() {
  threads_.readLock();
  std::unique_lock<std::mutex> guard(readersMutex_);
  readersCond_.wait(guard, [this] { return !acquiring_; });
  if (fileReaders_ == 0) {
    // Wait for the file without the mutex, so that this object's other
    // threads can still try (and fail) without blocking.
    acquiring_ = true;
    guard.unlock();
    int err = ornz::setFileLock(fd_, F_RDLCK, true);
    guard.lock();
    acquiring_ = false;
    readersCond_.notify_all();
    if (err) {
      guard.unlock();
      threads_.unlock();
      raiseLockFailed(name_.c_str(), ErrorText(err).text, __LINE__);
    }
  }
  ++fileReaders_;
}

void ZUnixProcessReadWriteFileLock_7_0_0::writeLock() {
  threads_.writeLock();
  int err = ornz::setFileLock(fd_, F_WRLCK, true);
  if (err) {
    threads_.unlock();
    raiseLockFailed(name_.c_str(), ErrorText(err).text, __LINE__);
  }
  writing_ = true;
}

void ZUnixProcessReadWriteFileLock_7_0_0::unlock() {
  // writing_ is only ever set by the one writer, and the in-process lock
  // orders that against every reader of this object.
  if (writing_) {
    writing_ = false;
    ornz::setFileLock(fd_, F_UNLCK, false);
  } else {
    std::lock_guard<std::mutex> guard(readersMutex_);
    if (fileReaders_ > 0 && --fileReaders_ == 0) ornz::setFileLock(fd_, F_UNLCK, false);
  }
  threads_.unlock();
}

bool ZUnixProcessReadWriteFileLock_7_0_0::tryReadLock() {
  if (!threads_.tryReadLock()) return false;
  std::unique_lock<std::mutex> guard(readersMutex_);
  int err = 0;
  if (acquiring_) {
    err = EAGAIN;  // another thread of ours is waiting for the file
  } else if (fileReaders_ == 0) {
    err = ornz::setFileLock(fd_, F_RDLCK, false);
  }
  if (err == 0) {
    ++fileReaders_;
    return true;
  }
  guard.unlock();
  threads_.unlock();
  if (err == EAGAIN || err == EACCES) return false;
  raiseLockFailed(name_.c_str(), ErrorText(err).text, __LINE__);
}

bool ZUnixProcessReadWriteFileLock_7_0_0::tryWriteLock() {
  if (!threads_.tryWriteLock()) return false;
  int err = ornz::setFileLock(fd_, F_WRLCK, false);
  if (err == 0) {
    writing_ = true;
    return true;
  }
  threads_.unlock();
  if (err == EAGAIN || err == EACCES) return false;
  raiseLockFailed(name_.c_str(), ErrorText(err).text, __LINE__);
}

// ---------------------------------------------------------------- stub

ZStubProcessReadWriteFileLock_7_0_0::ZStubProcessReadWriteFileLock_7_0_0(const char* name) {
  ornz::reportingMemory(kModule, __LINE__, [&] { name_ = name ? name : ""; });
}
ZStubProcessReadWriteFileLock_7_0_0::~ZStubProcessReadWriteFileLock_7_0_0() = default;
void ZStubProcessReadWriteFileLock_7_0_0::readLock() {}
void ZStubProcessReadWriteFileLock_7_0_0::writeLock() {}
void ZStubProcessReadWriteFileLock_7_0_0::unlock() {}
bool ZStubProcessReadWriteFileLock_7_0_0::tryReadLock() { return true; }
bool ZStubProcessReadWriteFileLock_7_0_0::tryWriteLock() { return true; }
