// The foundation's reader/writer locks behind one interface: an in-process
// lock, a lock shared between processes through a lock file, and a stub that
// never blocks. MrProcessLockFactory chooses among them.
//
// Relies on Linux open-file-description locks (F_OFD_SETLK, F_OFD_SETLKW):
// they belong to the open file description, not to the process, so two
// descriptions in one process exclude each other, and closing an unrelated
// descriptor of the same file releases nothing.
#ifndef ORNUTIL_FOUNDATION_ZRWLOCK_H
#define ORNUTIL_FOUNDATION_ZRWLOCK_H

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "foundation/export.h"
#include "foundation/zobject.h"

// The interface the three lock classes share. Slot order is fixed, after
// ZObject_7_0_0's: readLock, writeLock, unlock, tryReadLock, tryWriteLock.
//
// Holds are per thread: the thread that took a hold releases it with
// unlock(), and must not ask for a second hold on the same lock (the locks
// are not recursive; a second hold may deadlock). Failures raise
// ZException_7_0_0: kind 47 when the lock cannot be taken, kind 2 when a
// system call fails otherwise; a failed request leaves no hold.
class ORNUTIL_API ZAbstractReadWriteLock_7_0_0 : public ZObject_7_0_0 {
 public:
  ~ZAbstractReadWriteLock_7_0_0() override;
  ZAbstractReadWriteLock_7_0_0(const ZAbstractReadWriteLock_7_0_0&) = delete;
  ZAbstractReadWriteLock_7_0_0& operator=(const ZAbstractReadWriteLock_7_0_0&) = delete;

  // Shared hold; waits while anyone writes.
  virtual void readLock() = 0;
  // Exclusive hold; waits while anyone reads or writes.
  virtual void writeLock() = 0;
  // Releases the calling thread's hold, whichever it is.
  virtual void unlock() = 0;
  // As readLock/writeLock but never waits for another holder: true when the
  // hold was taken, false when it is not available now.
  virtual bool tryReadLock() = 0;
  virtual bool tryWriteLock() = 0;

 protected:
  ZAbstractReadWriteLock_7_0_0() = default;
};

// A lock for the threads of one process. Writers are preferred: once a
// writer waits, new readers wait behind it, so readers cannot starve it.
class ORNUTIL_API ZReadWriteLock_7_0_0 : public ZAbstractReadWriteLock_7_0_0 {
 public:
  // Raises kind 2 when the lock cannot be initialised.
  ZReadWriteLock_7_0_0();
  ~ZReadWriteLock_7_0_0() override;

  void readLock() override;
  void writeLock() override;
  void unlock() override;
  bool tryReadLock() override;
  bool tryWriteLock() override;

 private:
  pthread_rwlock_t rwlock_;
};

// A lock shared by every process (and every lock object) that names the same
// lock in the same directory: the lock file "<name>.lock" in `directory`,
// created empty (mode 0660 less the umask) when missing and never written or
// removed. Threads sharing one object also exclude one another.
//
// A lock object belongs to the process that made it: a child made by fork
// shares its open file description and so its holds; the child makes its own
// object instead. The descriptor is closed on exec.
class ORNUTIL_API ZUnixProcessReadWriteFileLock_7_0_0 : public ZAbstractReadWriteLock_7_0_0 {
 public:
  // Opens (creating when missing) the lock file; takes no hold. The lock
  // file is opened as the configuration files' lock files are
  // (foundation/internal/filestore.h): a symbolic link, FIFO, device, socket
  // or file with other names (hard links) under its name is refused without
  // being followed or opened for I/O. Raises kind 39 (lock, directory,
  // operation, reason) for such a name, and when the directory is missing,
  // is not a directory or cannot be written; kind 47 when `name` is empty,
  // "." or "..", or contains '/', so that nothing is ever made outside
  // `directory`.
  ZUnixProcessReadWriteFileLock_7_0_0(const char* name, const char* directory);
  // Closes the lock file, which ends any hold still taken through it.
  ~ZUnixProcessReadWriteFileLock_7_0_0() override;

  void readLock() override;
  void writeLock() override;
  void unlock() override;
  bool tryReadLock() override;
  bool tryWriteLock() override;

  const char* getName() const { return name_.c_str(); }
  // The lock file's path: directory, '/', name, ".lock".
  const char* getPath() const { return path_.c_str(); }

 private:
  std::string name_;
  std::string path_;
  int fd_ = -1;
  // Threads of this object: readers share, a writer is alone.
  ZReadWriteLock_7_0_0 threads_;
  // The object's readers share one read lock on the file: the first takes
  // it, the last releases it. `acquiring_` is set while a reader waits for
  // the file outside `readersMutex_`.
  std::mutex readersMutex_;
  std::condition_variable readersCond_;
  int fileReaders_ = 0;
  bool acquiring_ = false;
  bool writing_ = false;
};

// A lock that takes nothing: every request is granted at once, tries return
// true, and the name is only kept.
class ORNUTIL_API ZStubProcessReadWriteFileLock_7_0_0 : public ZAbstractReadWriteLock_7_0_0 {
 public:
  explicit ZStubProcessReadWriteFileLock_7_0_0(const char* name);
  ~ZStubProcessReadWriteFileLock_7_0_0() override;

  void readLock() override;
  void writeLock() override;
  void unlock() override;
  bool tryReadLock() override;
  bool tryWriteLock() override;

  const char* getName() const { return name_.c_str(); }

 private:
  std::string name_;
};

#endif
