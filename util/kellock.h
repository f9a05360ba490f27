/* An in-process reader/writer lock with a read-intent hold that can be
 * upgraded to the exclusive hold, callable from C.
 *
 * Holds: any number of shared (read) holds; at most one read-intent hold,
 * which admits new readers but no other read-intent or write request; at
 * most one exclusive (write) hold, taken directly (lock__justwrite) or by
 * upgrading the caller's read-intent hold (lock__write). An exclusive request
 * that has been admitted holds off new readers while it waits for the
 * readers already inside to leave.
 *
 * The lock is not recursive and keeps no queue: all sleepers are woken
 * together and whichever gets the mutex first is served. A thread holding the
 * read-intent or exclusive hold must not take shared holds on the same lock,
 * nor ask for the read-intent or a direct write hold again.
 *
 * Failures of the thread primitives are never returned: they are logged on
 * kelcore_svc_handle (subcomponent 2) with the error number, and the process
 * aborts.
 */
#ifndef ORNUTIL_UTIL_KELLOCK_H
#define ORNUTIL_UTIL_KELLOCK_H

#include <pthread.h>

#include "foundation/export.h"

/* Values of lock_s_t.state. */
#define KELLOCK_STATE_FREE 1      /* no hold */
#define KELLOCK_STATE_SHARED 2    /* count readers, nobody else */
#define KELLOCK_STATE_INTENT 3    /* one read-intent holder (owner) and count readers */
#define KELLOCK_STATE_EXCLUSIVE 4 /* the owner writes, or waits for count readers to leave */

/* The head of the lock's record, which lock__create allocates with room for
 * the readers' fast path behind it: callers only hold a pointer and never
 * look inside. Every field is guarded by `mutex`. The readers' fast path
 * is open while the lock is free or shared; the first read-intent or write
 * request closes it, and it opens again at the end of that hold when readers
 * were using it, or after a run of reads through the mutex with no such
 * request in between. Shared holds taken on it are not in
 * `count` (and `state` may read FREE while they are held) until a request
 * that depends on them (read-intent, write, or a release that finds no
 * counted hold) closes the path and counts them in. */
typedef struct lock_s_t {
  pthread_mutex_t mutex;
  pthread_cond_t cond;   /* the one condition every waiting request sleeps on */
  int count;             /* shared holds now granted */
  int state;             /* KELLOCK_STATE_* */
  pthread_t owner;       /* intent or exclusive holder; meaningful in states 3 and 4 */
  void* create_tag;      /* stored by lock__create, never read */
  int create_tag_num;
  void* holder_tag;      /* stored by the request that last set owner, never read */
  int holder_tag_num;
  int waiters;           /* threads now asleep on cond */
} lock_s_t;

ORNUTIL_BEGIN_DECL

/* Allocates a free lock (malloc) with the creation tags stored and puts it in
 * *out, which must not be null. Returns 0. Out of memory or a failure to
 * initialise the mutex or condition is logged and aborts. */
ORNUTIL_API int lock__create(lock_s_t** out, void* tag, int tagNumber);

/* Destroys and frees the lock. Nobody may hold it, wait on it or still be
 * inside lock__unlock on it. A null lock is ignored. */
ORNUTIL_API void lock__delete(lock_s_t* lock);

/* The four requests below return 1 when the hold was granted, 0 when it was
 * not, which happens only with wait == 0: either the hold is not available
 * now, or the lock's internal mutex was busy (errno EBUSY); such a request
 * never spins nor sleeps. With wait != 0 they sleep until granted, after
 * spinning for at most a few microseconds where a short write is about to
 * end; the sleep is not a cancellation point, and the caller's cancellation
 * state is as it was on return. On return errno holds the result of the
 * last thread primitive called: 0, or EBUSY as said. A refused request
 * leaves the lock as it was. */

/* Shared hold; waits while an exclusive hold or request is in force. The tag
 * arguments are ignored. On the fast path (see lock_s_t) it writes only the
 * calling thread's own slot and never touches the mutex, so a non-waiting
 * read is then granted even while another thread holds the mutex. */
ORNUTIL_API int lock__read(lock_s_t* lock, void* tag, int tagNumber, int wait);

/* Read-intent hold; waits while a read-intent or exclusive hold or request is
 * in force. Readers are still admitted beside it. Stores the holder tags. */
ORNUTIL_API int lock__riw(lock_s_t* lock, void* tag, int tagNumber, int wait);

/* Upgrades the caller's read-intent hold to the exclusive hold: from this
 * call on no new reader is admitted, and the request waits for the readers
 * inside to leave. Only the read-intent holder may call it. Refused (wait ==
 * 0 and readers inside), the caller keeps its read-intent hold. */
ORNUTIL_API int lock__write(lock_s_t* lock, void* tag, int tagNumber, int wait);

/* Exclusive hold directly: waits while a read-intent or exclusive hold or
 * request is in force, then holds off new readers and waits for the readers
 * inside to leave. Refused (wait == 0), the readers keep their holds. */
ORNUTIL_API int lock__justwrite(lock_s_t* lock, void* tag, int tagNumber, int wait);

/* Releases one hold of the calling thread: the read-intent or exclusive hold
 * when the caller is its owner (an upgraded hold ends with this one call),
 * else one shared hold (its own fast one first; a shared hold may also be
 * released by a thread other than the one that took it). Releasing a lock
 * that is free does nothing. Returns 0; errno is 0 on return. */
ORNUTIL_API int lock__unlock(lock_s_t* lock);

/* Does nothing. */
ORNUTIL_API void lock__spy(void);

ORNUTIL_END_DECL

#endif
