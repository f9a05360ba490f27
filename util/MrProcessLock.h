// The process-wide factory of named read/write locks: stub, in-process, or
// shared between processes through a lock file, as the process chooses once.
//
// MrProcessLockFactory's names, members and virtual slot order (the
// destructor's complete-object then deleting form) are fixed.
//
// Exhausted memory is reported as ZOutOfMemoryException_7_0_0 with the
// source position, never as std::bad_alloc; a member that fails for memory
// leaves the factory as it was and nothing allocated.
#ifndef ORNUTIL_UTIL_MRPROCESSLOCK_H
#define ORNUTIL_UTIL_MRPROCESSLOCK_H

#include <pthread.h>

#include "foundation/export.h"
#include "foundation/zlock.h"
#include "foundation/zrwlock.h"
#include "foundation/zstring.h"

class ORNUTIL_API MrProcessLockFactory {
 public:
  enum mrproclocktype {
    mrproclock_stub = 0,    // ZStubProcessReadWriteFileLock_7_0_0(name)
    mrproclock_thread = 1,  // ZReadWriteLock_7_0_0(); also any unknown value
    mrproclock_file = 2     // ZUnixProcessReadWriteFileLock_7_0_0(name, directory)
  };

  // Directory ".", type mrproclock_stub.
  MrProcessLockFactory();
  virtual ~MrProcessLockFactory();
  MrProcessLockFactory(const MrProcessLockFactory&) = delete;
  MrProcessLockFactory& operator=(const MrProcessLockFactory&) = delete;

  // The process-wide factory, made on first use and never freed. Raises
  // ZOutOfMemoryException_7_0_0 when it cannot be allocated (a later call
  // tries again).
  static MrProcessLockFactory* getLockFactory();
  // Makes the process-wide factory (the once-routine's work). Raises
  // ZOutOfMemoryException_7_0_0 when the allocation fails.
  static void new_factory();

  // The kind of lock newLock(name) makes. Set once, before locks are handed
  // out: neither takes a lock.
  mrproclocktype getFactoryType() const;
  void setFactoryType(mrproclocktype type);
  // The directory of file locks: the factory's own string, not a copy.
  const ZUTF8String_7_0_0& getLockDirectory() const;
  // Raises ZOutOfMemoryException_7_0_0 when the copy cannot be made; the
  // old directory stays.
  void setLockDirectory(const char* directory);

  // A new lock of the given kind, which the caller deletes. Raises
  // ZOutOfMemoryException_7_0_0 when it cannot be allocated, and passes on
  // what the lock's constructor raises (for a file lock, an unusable
  // directory or name: see ZUnixProcessReadWriteFileLock_7_0_0); nothing is
  // left allocated then.
  static ZAbstractReadWriteLock_7_0_0* newLock(const char* name, mrproclocktype type,
                                               const char* directory);
  // As above with the process-wide factory's directory.
  static ZAbstractReadWriteLock_7_0_0* newLock(const char* name, mrproclocktype type);
  // As above with the process-wide factory's type and directory.
  static ZAbstractReadWriteLock_7_0_0* newLock(const char* name);

  // "qyb": the prefix of the policy server's lock names. Not read here.
  static const char* policyserverPrefix;

  static MrProcessLockFactory* theLockFactory_;
  static pthread_once_t mrplf_once_;

 private:
  ZUTF8String_7_0_0 lockDirectory_;
  mrproclocktype factoryType_;
  ZLock_7_0_0 lock_;
};

#endif
