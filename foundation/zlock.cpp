#include "foundation/zlock.h"

#include <cerrno>

#include "foundation/zexception.h"

namespace {

[[noreturn]] void fail(const char* call, int err, int line) {
  ZException_7_0_0 e(16, call);
  e.addInsert(err);
  e.throwException("foundation/zlock", line);
}

}  // namespace

ZLock_7_0_0::ZLock_7_0_0() {
  int err = pthread_mutex_init(&mutex_, nullptr);
  if (err) fail("pthread_mutex_init", err, __LINE__);
}

ZLock_7_0_0::~ZLock_7_0_0() { pthread_mutex_destroy(&mutex_); }

void ZLock_7_0_0::lock() {
  int err = pthread_mutex_lock(&mutex_);
  if (err) fail("pthread_mutex_lock", err, __LINE__);
}

void ZLock_7_0_0::unlock() {
  int err = pthread_mutex_unlock(&mutex_);
  if (err) fail("pthread_mutex_unlock", err, __LINE__);
}

bool ZLock_7_0_0::tryLock() {
  int err = pthread_mutex_trylock(&mutex_);
  if (err == 0) return true;
  if (err == EBUSY) return false;
  fail("pthread_mutex_trylock", err, __LINE__);
}
