// A mutex object and the scoped holder the library takes it with.
#ifndef ORNUTIL_FOUNDATION_ZLOCK_H
#define ORNUTIL_FOUNDATION_ZLOCK_H

#include <pthread.h>

#include "foundation/export.h"
#include "foundation/zobject.h"

// A non-recursive mutex. A failure of the underlying pthread call (which a
// correct program never sees) raises ZException_7_0_0 with kind code 16.
class ORNUTIL_API ZLock_7_0_0 : public ZObject_7_0_0 {
 public:
  ZLock_7_0_0();
  ~ZLock_7_0_0() override;
  ZLock_7_0_0(const ZLock_7_0_0&) = delete;
  ZLock_7_0_0& operator=(const ZLock_7_0_0&) = delete;

  virtual void lock();
  virtual void unlock();
  // True when the lock was free and is now held.
  virtual bool tryLock();

 private:
  pthread_mutex_t mutex_;
};

// Holds a ZLock_7_0_0 from construction to destruction.
class ORNUTIL_API ZResourceLock_7_0_0 {
 public:
  explicit ZResourceLock_7_0_0(ZLock_7_0_0& lock) : lock_(lock) { lock_.lock(); }
  ~ZResourceLock_7_0_0() { lock_.unlock(); }
  ZResourceLock_7_0_0(const ZResourceLock_7_0_0&) = delete;
  ZResourceLock_7_0_0& operator=(const ZResourceLock_7_0_0&) = delete;

 private:
  ZLock_7_0_0& lock_;
};

#endif
