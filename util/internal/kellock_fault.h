// Test-only fault injection for util/kellock: makes the next call of a chosen
// thread primitive (or of malloc) fail with a given error number, so that the
// fatal paths can be driven without corrupting a real mutex. Not exported.
#ifndef ORNUTIL_UTIL_INTERNAL_KELLOCK_FAULT_H
#define ORNUTIL_UTIL_INTERNAL_KELLOCK_FAULT_H

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
// Not thread-safe: arm faults before other threads use a lock.
void inject(Point point, int err, int skip = 0);
// Drops every pending fault.
void clear();

}  // namespace kellock_fault

#endif
