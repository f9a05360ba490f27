// Test-only hooks of util/kellock: makes the next call of a chosen thread
// primitive (or of malloc) fail with a given error number, so that the fatal
// paths can be driven without corrupting a real mutex; and makes a lock's
// counters exact for a test that reads them. Not exported.
#ifndef ORNUTIL_UTIL_INTERNAL_KELLOCK_FAULT_H
#define ORNUTIL_UTIL_INTERNAL_KELLOCK_FAULT_H

#include "util/kellock.h"

namespace kellock_fault {

enum Point {
  kMalloc,           // lock__create's allocation (err ignored: it yields null)
  kMutexInit,
  kCondInit,
  kMutexLock,
  kMutexTrylock,
  kMutexUnlock,
  kCondWait,         // fails instead of sleeping
  kCondBroadcast,
  kSetCancelState,   // both the disabling and the restoring call
  kPointCount
};

// The call of `point` after `skip` more successful ones returns `err`
// instead of being made. One pending fault per point; injecting replaces it.
// Safe to call while other threads use locks; a fault armed that way hits
// whichever thread makes the call first.
void inject(Point point, int err, int skip = 0);
// Drops every pending fault.
void clear();

// With `lk->mutex` held by the caller: turns the readers' fast path off and
// counts every shared hold taken through it in `count` (and `state`), as a
// write request does, so that the record reads exactly as the holds stand.
// The fast path comes back once readers have been served through the mutex
// again.
void revokeFastPath(lock_s_t* lk);

}  // namespace kellock_fault

#endif
