#include "util/kellock.h"

// Relies on POSIX: pthread_cond_wait atomically releases the mutex and puts
// the caller in the condition's wait set, so a waiter counted in `waiters`
// under the mutex is woken by any broadcast made after that mutex is next
// released, even though the broadcast itself is made without the mutex.

#include <cerrno>
#include <cstdlib>

#include "foundation/svc.h"
#include "util/internal/kellock_fault.h"

namespace {

const char kModule[] = "util/kellock";

// Message ids of the fatal failures.
const unsigned int kMsgMutexInit = 0x1354a1c6u;
const unsigned int kMsgMutexLock = 0x1354a1c8u;
const unsigned int kMsgMutexUnlock = 0x1354a1c9u;
const unsigned int kMsgCondInit = 0x1354a1cau;
const unsigned int kMsgCondWait = 0x1354a1ccu;
const unsigned int kMsgCondBroadcast = 0x1354a1cdu;
const unsigned int kMsgCancelState = 0x1354a1cfu;
const unsigned int kMsgNoMemory = 0x10652065u;

// ---------------------------------------------------------------- faults
// Kept to one load and a never-taken branch per primitive call: the lock's
// fast paths are a handful of nanoseconds.

struct Fault {
  int err;   // 0: none pending
  int skip;  // successful calls to let through first
};
Fault g_faults[kellock_fault::kPointCount];
int g_faultsArmed;

__attribute__((noinline)) int takeFault(kellock_fault::Point point) {
  Fault& f = g_faults[point];
  if (f.err == 0) return 0;
  if (f.skip > 0) {
    --f.skip;
    return 0;
  }
  int err = f.err;
  f.err = 0;
  g_faultsArmed = 0;
  for (const Fault& g : g_faults) g_faultsArmed |= g.err != 0;
  return err;
}

inline int fault(kellock_fault::Point point) {
  if (__builtin_expect(g_faultsArmed == 0, 1)) return 0;
  return takeFault(point);
}

// ---------------------------------------------------------------- failures

[[noreturn]] __attribute__((noinline, cold)) void fatal(int line, unsigned int msgid, int err) {
  orn_svc_printf_cs_withfile(kelcore_svc_handle, orn_svc_utf8_cs, kModule, line, "%d", 2,
                             ORN_SVC_ATTR_ERROR, msgid, err);
  abort();
}

// ---------------------------------------------------------------- primitives
// Each wrapper makes the call (unless a fault is injected) and stops the
// process on an error; `line` is the caller's, so the record points at the
// request that failed.

inline void mutexLock(lock_s_t* lk, int line) {
  int rc = fault(kellock_fault::kMutexLock);
  if (rc == 0) rc = pthread_mutex_lock(&lk->mutex);
  if (__builtin_expect(rc != 0, 0)) fatal(line, kMsgMutexLock, rc);
}

// 0 when the mutex is now held, EBUSY when another thread holds it.
inline int mutexTrylock(lock_s_t* lk, int line) {
  int rc = fault(kellock_fault::kMutexTrylock);
  if (rc == 0) rc = pthread_mutex_trylock(&lk->mutex);
  if (__builtin_expect(rc != 0 && rc != EBUSY, 0)) fatal(line, kMsgMutexLock, rc);
  return rc;
}

inline void mutexUnlock(lock_s_t* lk, int line) {
  int rc = fault(kellock_fault::kMutexUnlock);
  if (rc == 0) rc = pthread_mutex_unlock(&lk->mutex);
  if (__builtin_expect(rc != 0, 0)) fatal(line, kMsgMutexUnlock, rc);
}

inline void setCancelState(int state, int* old, int line) {
  int rc = fault(kellock_fault::kSetCancelState);
  if (rc == 0) rc = pthread_setcancelstate(state, old);
  if (rc != 0) fatal(line, kMsgCancelState, rc);
}

// One sleep on the condition, with the mutex held on entry and on return.
// Cancellation is off while asleep: a request cancelled inside
// pthread_cond_wait would unwind with the mutex held and `waiters` counted,
// leaving the lock unusable for everybody.
__attribute__((noinline)) void sleepOnce(lock_s_t* lk, int line) {
  int old;
  setCancelState(PTHREAD_CANCEL_DISABLE, &old, line);
  ++lk->waiters;
  int rc = fault(kellock_fault::kCondWait);
  if (rc == 0) rc = pthread_cond_wait(&lk->cond, &lk->mutex);
  if (rc != 0) fatal(line, kMsgCondWait, rc);
  --lk->waiters;
  if (old != PTHREAD_CANCEL_DISABLE) {
    int ignored;
    setCancelState(old, &ignored, line);
  }
}

// Step one of every request: true when the mutex is held, false when a
// non-waiting request found it busy.
inline bool enter(lock_s_t* lk, int wait, int line) {
  if (wait) {
    mutexLock(lk, line);
    return true;
  }
  return mutexTrylock(lk, line) == 0;
}

// The last step of every request: the mutex is released and errno reports
// that last primitive (0: any error has already stopped the process).
inline int leave(lock_s_t* lk, int granted, int line) {
  mutexUnlock(lk, line);
  errno = 0;
  return granted;
}

inline int refuseBusy() {
  errno = EBUSY;
  return 0;
}

inline void takeOwnership(lock_s_t* lk, void* tag, int tagNumber) {
  lk->holder_tag = tag;
  lk->holder_tag_num = tagNumber;
  lk->owner = pthread_self();
}

// Second phase of an exclusive request, with state already EXCLUSIVE so that
// no new reader gets in: waits for the readers inside to leave. Refused
// (no wait), the state goes back to `refusedState`.
inline int drainReaders(lock_s_t* lk, int wait, int refusedState, int line) {
  while (lk->count > 0) {
    if (!wait) {
      lk->state = refusedState;
      return 0;
    }
    sleepOnce(lk, line);
  }
  return 1;
}

}  // namespace

// ---------------------------------------------------------------- test hook

namespace kellock_fault {

void inject(Point point, int err, int skip) {
  g_faults[point].err = err;
  g_faults[point].skip = skip;
  g_faultsArmed = 0;
  for (const Fault& g : g_faults) g_faultsArmed |= g.err != 0;
}

void clear() {
  for (Fault& g : g_faults) g = Fault{0, 0};
  g_faultsArmed = 0;
}

}  // namespace kellock_fault

// ---------------------------------------------------------------- interface

int lock__create(lock_s_t** out, void* tag, int tagNumber) {
  lock_s_t* lk = fault(kellock_fault::kMalloc)
                     ? nullptr
                     : static_cast<lock_s_t*>(malloc(sizeof(lock_s_t)));
  if (lk == nullptr) {
    orn_svc_printf_withfile(bas_svc_handle, kModule, __LINE__, "", 0, ORN_SVC_ATTR_FATAL,
                            kMsgNoMemory);
    abort();
  }
  int rc = fault(kellock_fault::kMutexInit);
  if (rc == 0) rc = pthread_mutex_init(&lk->mutex, nullptr);
  if (rc != 0) fatal(__LINE__, kMsgMutexInit, rc);
  rc = fault(kellock_fault::kCondInit);
  if (rc == 0) rc = pthread_cond_init(&lk->cond, nullptr);
  if (rc != 0) fatal(__LINE__, kMsgCondInit, rc);
  lk->count = 0;
  lk->create_tag = tag;
  lk->create_tag_num = tagNumber;
  lk->holder_tag = nullptr;
  lk->holder_tag_num = 0;
  lk->owner = pthread_t();
  lk->waiters = 0;
  *out = lk;
  lk->state = KELLOCK_STATE_FREE;
  return 0;
}

void lock__delete(lock_s_t* lk) {
  if (lk == nullptr) return;
  pthread_cond_destroy(&lk->cond);
  pthread_mutex_destroy(&lk->mutex);
  free(lk);
}

int lock__read(lock_s_t* lk, void* /*tag*/, int /*tagNumber*/, int wait) {
  if (!enter(lk, wait, __LINE__)) return refuseBusy();
  int granted = 1;
  while (lk->state == KELLOCK_STATE_EXCLUSIVE) {
    if (!wait) {
      granted = 0;
      break;
    }
    sleepOnce(lk, __LINE__);
  }
  if (granted) {
    ++lk->count;
    if (lk->state == KELLOCK_STATE_FREE) lk->state = KELLOCK_STATE_SHARED;
  }
  return leave(lk, granted, __LINE__);
}

int lock__riw(lock_s_t* lk, void* tag, int tagNumber, int wait) {
  if (!enter(lk, wait, __LINE__)) return refuseBusy();
  int granted = 1;
  while (lk->state == KELLOCK_STATE_INTENT || lk->state == KELLOCK_STATE_EXCLUSIVE) {
    if (!wait) {
      granted = 0;
      break;
    }
    sleepOnce(lk, __LINE__);
  }
  if (granted) {
    takeOwnership(lk, tag, tagNumber);
    lk->state = KELLOCK_STATE_INTENT;
  }
  return leave(lk, granted, __LINE__);
}

int lock__write(lock_s_t* lk, void* tag, int tagNumber, int wait) {
  if (!enter(lk, wait, __LINE__)) return refuseBusy();
  // The caller's read-intent hold already keeps out every other intent or
  // exclusive request, so the state needs no test before it is raised.
  lk->state = KELLOCK_STATE_EXCLUSIVE;
  int granted = drainReaders(lk, wait, KELLOCK_STATE_INTENT, __LINE__);
  if (granted) {
    lk->state = KELLOCK_STATE_EXCLUSIVE;
    takeOwnership(lk, tag, tagNumber);
  }
  return leave(lk, granted, __LINE__);
}

int lock__justwrite(lock_s_t* lk, void* tag, int tagNumber, int wait) {
  if (!enter(lk, wait, __LINE__)) return refuseBusy();
  int granted = 1;
  while (lk->state == KELLOCK_STATE_INTENT || lk->state == KELLOCK_STATE_EXCLUSIVE) {
    if (!wait) {
      granted = 0;
      break;
    }
    sleepOnce(lk, __LINE__);
  }
  if (granted) {
    takeOwnership(lk, tag, tagNumber);
    lk->state = KELLOCK_STATE_EXCLUSIVE;
    granted = drainReaders(lk, wait, KELLOCK_STATE_SHARED, __LINE__);
  }
  return leave(lk, granted, __LINE__);
}

int lock__unlock(lock_s_t* lk) {
  mutexLock(lk, __LINE__);
  int state = lk->state;
  if (state == KELLOCK_STATE_SHARED) {
    if (--lk->count == 0) lk->state = KELLOCK_STATE_FREE;
  } else if (state == KELLOCK_STATE_INTENT || state == KELLOCK_STATE_EXCLUSIVE) {
    if (pthread_equal(pthread_self(), lk->owner)) {
      lk->state = KELLOCK_STATE_SHARED;
    } else {
      --lk->count;
    }
    if (lk->count == 0 && lk->state == KELLOCK_STATE_SHARED) lk->state = KELLOCK_STATE_FREE;
  }
  // Wake only when a sleeper can proceed: under a read-intent hold nobody
  // asleep can (readers are never asleep then), and an exclusive request in
  // its second phase only once the last reader is out.
  bool wake = false;
  if (lk->waiters > 0) {
    if (lk->state == KELLOCK_STATE_EXCLUSIVE) {
      wake = lk->count == 0;
    } else {
      wake = lk->state != KELLOCK_STATE_INTENT;
    }
  }
  mutexUnlock(lk, __LINE__);
  // After the unlock, so the woken threads do not run straight into a
  // mutex that is still held.
  if (wake) {
    int rc = fault(kellock_fault::kCondBroadcast);
    if (rc == 0) rc = pthread_cond_broadcast(&lk->cond);
    if (rc != 0) fatal(__LINE__, kMsgCondBroadcast, rc);
  }
  errno = 0;
  return 0;
}

void lock__spy(void) {}
