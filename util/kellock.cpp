#include "util/kellock.h"

// Relies on POSIX: pthread_cond_wait atomically releases the mutex and puts
// the caller in the condition's wait set, so a waiter counted in `waiters`
// under the mutex is woken by any broadcast made after that mutex is next
// released, even though the broadcast itself is made without the mutex.
//
// Readers' fast path (after BRAVO, Dice and Kogan, USENIX ATC 2019). While
// the lock is free or shared and nothing else is going on, a reader does not
// take the mutex: it publishes itself in its own slot of a table that
// follows the record (a pair of cache lines per slot, one slot per thread),
// then checks that the fast path is still open. A release empties the slot. So
// readers on different cores write different lines and never meet.
//
// Anybody who needs `count` to be exact first revokes the fast path under
// the mutex: it closes it and folds every hold still published in a slot
// into `count`, marking the slot so that its holder releases through the
// mutex. From then on the lock is exactly the mutex-and-condition lock it
// always was. A waiting direct write first lets the readers inside leave on
// their own for a moment, so that neither it nor they need the mutex or a
// sleep for a short read. The fast path opens again when the hold that
// closed it ends, if readers were using it, or once a run of readers has
// been served through the mutex with no other request in between; waiting
// requests that find it closed for a short write spin briefly for it to
// come back. Every spin is bounded and only waiting requests spin.
//
// The close and the publish are a store followed by a load on each side
// (Dekker): the revoker stores `fastOpen` then loads the slots, the reader
// stores its slot then loads `fastOpen`, all sequentially consistent, so at
// least one of them sees the other. A reader that saw the path open is seen
// and folded by the revoker; a reader that saw it closed takes its slot back,
// unless the revoker folded it first, in which case it holds a counted hold.

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <type_traits>

#include <unistd.h>

#include "foundation/internal/memoryrule.h"
#include "foundation/svc.h"
#include "util/internal/kellock_fault.h"
#include "util/internal/spinwait.h"

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

// ---------------------------------------------------------------- faults
// Only the paths through the mutex look at the faults, and there one relaxed
// load and a never-taken branch per primitive call is all they cost. The
// table itself is touched only once a fault is armed.

struct Fault {
  int err;   // 0: none pending
  int skip;  // successful calls to let through first
};
std::mutex g_faultMutex;
Fault g_faults[kellock_fault::kPointCount];  // guarded by g_faultMutex
std::atomic<bool> g_faultsArmed{false};

// With g_faultMutex held.
void rearm() {
  bool armed = false;
  for (const Fault& g : g_faults) armed |= g.err != 0;
  g_faultsArmed.store(armed, std::memory_order_relaxed);
}

__attribute__((noinline)) int takeFault(kellock_fault::Point point) {
  std::lock_guard<std::mutex> guard(g_faultMutex);
  Fault& f = g_faults[point];
  if (f.err == 0) return 0;
  if (f.skip > 0) {
    --f.skip;
    return 0;
  }
  int err = f.err;
  f.err = 0;
  rearm();
  return err;
}

inline int fault(kellock_fault::Point point) {
  if (__builtin_expect(!g_faultsArmed.load(std::memory_order_relaxed), 1)) return 0;
  return takeFault(point);
}

// ---------------------------------------------------------------- failures

[[noreturn]] __attribute__((noinline, cold)) void fatal(int line, unsigned int msgid, int err) {
  orn_svc_printf_cs_withfile(kelcore_svc_handle, orn_svc_utf8_cs, kModule, line, "%d", 2,
                             ORN_SVC_ATTR_ERROR, msgid, err);
  abort();
}

// ---------------------------------------------------------------- the record
// What lock__create allocates: the caller's lock_s_t first, so that the
// caller's pointer is the record's, then the fast path's own fields, then
// the reader slots.

// A slot has an aligned pair of 64-byte lines to itself: with one line each,
// two readers on the next slots still slowed each other down here (AMD EPYC:
// 7.5 against 9.8 ns per hold and release for two threads reading at once),
// the adjacent-line prefetchers of both AMD and Intel cores fetching lines
// in pairs.
constexpr std::size_t kSlotSize = 128;

// One reader's slot. `holder` 0: free. A thread's token: that thread holds
// a shared hold through the fast path. The token with bit 0 set: that hold
// has been folded into `count` and is released through the mutex. Only the
// thread whose token is in a slot changes it, except for a revoker's fold.
// `releases` counts the fast holds released from the slot (not those
// folded), written by the releasing thread to a line it owns already; a
// revoker compares the sum with the last one to learn whether readers used
// the path meanwhile.
struct alignas(kSlotSize) ReaderSlot {
  std::atomic<std::uintptr_t> holder;
  std::atomic<unsigned> releases;
};

// Values of LockRecord::fastOpen.
enum PathState : int {
  kPathClosed = 0,  // readers go through the mutex
  kPathOpen = 1,    // readers take their slots
  // Closed by a waiting direct write that means to open it again when it
  // is over: a waiting request spins briefly for that instead of taking the
  // mutex and sleeping behind the write.
  kPathBackAfterWrite = 2,
};

struct LockRecord {
  lock_s_t pub;
  void* block;  // what malloc returned, for free
  // Under the mutex: what the reopening rules go by.
  unsigned slowReadsToReopen;           // reads through the mutex still to serve
  unsigned releasesSeen;                // the slots' release counts summed by the last revocation
  bool readersUsedPath;                 // it found readers inside, or releases since the one before
  ornspin::Clock::time_point lastRevoke;  // when the last revocation began
  ornspin::Clock::duration sinceRevoke;   // the time from the one before to it
  ornspin::Clock::duration revokeCost;    // what it took
  // Read by every reader, written only under the mutex: kept off the
  // mutex's line, which the slow paths keep writing.
  alignas(kSlotSize) std::atomic<int> fastOpen;
  unsigned slotMask;  // slot count - 1, a power of two minus one
  // Set by a reader that spun while a write kept the path closed.
  std::atomic<bool> spunForPath;

  ReaderSlot* slots() { return reinterpret_cast<ReaderSlot*>(this + 1); }
};

static_assert(std::is_standard_layout<LockRecord>::value && offsetof(LockRecord, pub) == 0,
              "a lock_s_t* must be the LockRecord's address");
static_assert(sizeof(LockRecord) % kSlotSize == 0, "the slots must start on a pair of their own");

inline LockRecord* record(lock_s_t* lk) { return reinterpret_cast<LockRecord*>(lk); }

// Slots per lock: two per processor, so that the threads a machine runs at
// once rarely share one, at least 16 (a thread pool on a small machine), at
// most 256 (32 KiB per lock; a revocation reads every slot). Threads beyond
// that share slots: whoever finds its slot taken goes through the mutex.
unsigned slotCount() {
  static const unsigned count = [] {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    unsigned n = 16;
    while (n < 256 && long(n) < 2 * cpus) n *= 2;
    return n;
  }();
  return count;
}

// Reads through the mutex, with no write request in between, that reopen the
// fast path after a revocation. A revocation costs a read of every slot and
// sends the folded readers through the mutex; waiting for a few plain reads
// first keeps a write-heavy lock from paying that again and again, and costs
// a read-mostly one only these few slow reads per write.
const unsigned kSlowReadsToReopen = 8;

// ---------------------------------------------------------------- reader ids
// Each thread gets a small index when it first reads, the lowest one free, so
// that the threads alive at one time have distinct slots as long as there are
// no more of them than slots. The index goes back when the thread ends.

struct ReaderId {
  std::uintptr_t token;  // 0 until the first read; then this object's address
  unsigned index;
  // The thread's errno, which the fast paths set: __errno_location returns
  // the same address for the life of the thread, and calling it through the
  // PLT twice per hold costs as much as the rest of a fast hold's work.
  int* errnoAt;
};
// Initial-exec: the fast path reads it with one load relative to the thread
// pointer, not a call to __tls_get_addr.
thread_local ReaderId t_reader __attribute__((tls_model("initial-exec")));

constexpr unsigned kIndexWords = 16;  // 1024 indexes that are given back
std::atomic<std::uint64_t> g_indexUsed[kIndexWords];
std::atomic<unsigned> g_indexBeyond{0};  // for threads beyond those

void giveIndexBack(void* value) {
  unsigned index = unsigned(reinterpret_cast<std::uintptr_t>(value) - 1);
  if (index < kIndexWords * 64) {
    g_indexUsed[index / 64].fetch_and(~(std::uint64_t(1) << (index % 64)),
                                      std::memory_order_release);
  }
}

unsigned takeIndex() {
  for (unsigned w = 0; w < kIndexWords; ++w) {
    std::uint64_t used = g_indexUsed[w].load(std::memory_order_relaxed);
    while (~used != 0) {
      unsigned bit = unsigned(__builtin_ctzll(~used));
      if (g_indexUsed[w].compare_exchange_weak(used, used | (std::uint64_t(1) << bit),
                                               std::memory_order_acquire)) {
        return w * 64 + bit;
      }
    }
  }
  return kIndexWords * 64 + g_indexBeyond.fetch_add(1, std::memory_order_relaxed);
}

// The key whose destructor gives a thread's index back at its end; its
// value, index + 1, lives in the thread descriptor, so setting it allocates
// nothing for the first 32 keys of a process. Without a key the index is
// simply never given back. Made when the library is loaded and deleted when
// it is unloaded, so that no thread ending after a dlclose calls into code
// that is gone.
struct IndexKey {
  pthread_key_t key;
  bool ok;
  IndexKey() { ok = pthread_key_create(&key, giveIndexBack) == 0; }
  ~IndexKey() {
    if (ok) pthread_key_delete(key);
    ok = false;
  }
};
IndexKey g_indexKey;

__attribute__((noinline, cold)) void assignReaderId(ReaderId& me) {
  me.index = takeIndex();
  if (g_indexKey.ok) {
    pthread_setspecific(g_indexKey.key, reinterpret_cast<void*>(std::uintptr_t(me.index) + 1));
  }
  me.errnoAt = &errno;
  me.token = reinterpret_cast<std::uintptr_t>(&me);
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

// ---------------------------------------------------------------- fast path

inline bool published(std::uintptr_t holder) { return holder != 0 && (holder & 1) == 0; }

// How long a waiting direct write, with the mutex held and the path closed,
// spins for the fast readers inside to leave on their own before it folds
// them in (and sleeps until they release through the mutex). A read hold on
// policy data lasts tens of nanoseconds, so the readers are normally gone
// well within it, where a fold cost the writer a sleep and a wake-up (2 to
// 5 us here). A preempted reader does not leave within it: the writer then
// has lost this much and sleeps as before. What it buys (AMD EPYC, quiet,
// three runs each): 2 threads with 1% writes at 14.2 to 15.2 times
// pthread_rwlock_t's throughput, against 9.6 to 11.6 without it.
const ornspin::Clock::duration kDrainSpin = std::chrono::microseconds(1);

// How long a waiting request that finds the path closed for a write spins
// for it to come back before it takes the mutex (and, the write still held,
// sleeps): a short write hold and its release take well under this. A
// request that spins in vain has lost only this. What it buys (as above):
// 16 threads on 2 cores with 1% writes at 1.19 to 1.38 times
// pthread_rwlock_t's throughput, against 0.79 to 0.92 without it; 2 threads
// at 14.2 to 15.2 times, against 1.1 to 8.9.
const ornspin::Clock::duration kPathSpin = std::chrono::microseconds(2);

// The end of an intent or exclusive hold opens the path again only when the
// revocation that closed it took at most half the time since the one
// before, so that revocations never take most of the time however often
// writes come. BRAVO's own rule allows a tenth (its N = 9), but a closed
// path here sends readers to a contended mutex, which costs them far more
// than the revocation saved: on AMD EPYC with 16 threads and 1% writes the
// lock gave 0.81 to 1.14 times pthread_rwlock_t's throughput with a tenth,
// 1.08 to 1.40 times with a half (same runs, quiet machine; the two-thread
// figures met their goal either way).
const int kRevokeTimeShare = 2;

// With the mutex held and the fast path open: closes it and folds the holds
// still published into `count`, after which `count` and `state` are exact
// until the path is opened again. `drain` (a waiting direct write, which
// will wait for those readers anyway) first gives them kDrainSpin to leave
// on their own, and marks the path as coming back after the write unless
// the writer must sleep; any other request revokes without waiting, so a
// non-waiting one never spins. Also notes, for the reopening rules, the
// time since the last revocation, what this one took, and whether readers
// used the path.
__attribute__((noinline)) void revoke(LockRecord* r, bool drain) {
  lock_s_t* lk = &r->pub;
  const ornspin::Clock::time_point start = ornspin::Clock::now();
  r->fastOpen.store(drain ? kPathBackAfterWrite : kPathClosed, std::memory_order_seq_cst);
  r->spunForPath.store(false, std::memory_order_relaxed);
  r->slowReadsToReopen = kSlowReadsToReopen;
  ReaderSlot* slots = r->slots();
  const unsigned n = r->slotMask + 1;
  const ornspin::Clock::time_point deadline = start + kDrainSpin;  // they leave in parallel
  int folded = 0;
  bool sawReader = false;
  unsigned releases = 0;
  for (unsigned i = 0; i < n; ++i) {
    std::atomic<std::uintptr_t>& slot = slots[i].holder;
    std::uintptr_t holder = slot.load(std::memory_order_seq_cst);
    releases += slots[i].releases.load(std::memory_order_relaxed);
    if (!published(holder)) continue;
    sawReader = true;
    if (drain) {
      ornspin::spinUntil([&] { return !published(slot.load(std::memory_order_seq_cst)); },
                         deadline);
      holder = slot.load(std::memory_order_seq_cst);
    }
    // A failed exchange reloads `holder`: its reader has left (0), or a new
    // reader, who will find the path closed, has just published.
    while (published(holder)) {
      if (slot.compare_exchange_weak(holder, holder | 1, std::memory_order_seq_cst)) {
        ++folded;
        break;
      }
    }
  }
  lk->count += folded;
  if (lk->count > 0 && lk->state == KELLOCK_STATE_FREE) lk->state = KELLOCK_STATE_SHARED;
  // The writer will sleep until the readers still inside are out: too long
  // for anybody to spin for.
  if (drain && lk->count > 0) r->fastOpen.store(kPathClosed, std::memory_order_relaxed);
  r->readersUsedPath = sawReader || releases != r->releasesSeen;
  r->releasesSeen = releases;
  r->sinceRevoke = start - r->lastRevoke;
  r->lastRevoke = start;
  r->revokeCost = ornspin::Clock::now() - start;
}

inline void revokeIfOpen(LockRecord* r, bool drain = false) {
  if (r->fastOpen.load(std::memory_order_relaxed) == kPathOpen) revoke(r, drain);
}

// With the mutex held and the lock free or shared.
inline void reopen(LockRecord* r) { r->fastOpen.store(kPathOpen, std::memory_order_release); }

inline bool revocationsRareEnough(const LockRecord* r) {
  return r->sinceRevoke >= kRevokeTimeShare * r->revokeCost;
}

// With the mutex held, by an intent or exclusive request: the fast path
// closes, until enough reads in a row pass through the mutex again or the
// hold ends (see reopenAfterOwner).
inline void closeFastPath(LockRecord* r, bool drain = false) {
  revokeIfOpen(r, drain);
  r->slowReadsToReopen = kSlowReadsToReopen;
}

// With the mutex held, by a waiting direct write once granted: when the
// ratio rule will not let the path come back at the end of the write, the
// waiting requests are told not to spin for it.
inline void settleBackAfterWrite(LockRecord* r) {
  if (r->fastOpen.load(std::memory_order_relaxed) == kPathBackAfterWrite &&
      !revocationsRareEnough(r)) {
    r->fastOpen.store(kPathClosed, std::memory_order_relaxed);
  }
}

// With the mutex held, by the release that ends an intent or exclusive
// hold: opens the path again when readers use it (the revocation found
// them inside or found releases since the one before, or a reader spun for
// the path during the hold: a lock written and never read keeps it shut
// and pays no revocations), the ratio rule allows it and the lock is free
// or shared. Otherwise it stays closed until reads through the mutex
// reopen it. Threads may still be asleep: this release wakes them all, and
// what each waits for is then true, not to be made true by a fast release.
inline void reopenAfterOwner(LockRecord* r) {
  const lock_s_t* lk = &r->pub;
  int path = r->fastOpen.load(std::memory_order_relaxed);
  if (path == kPathOpen) return;  // an upgrade without the read-intent hold
  bool used = r->readersUsedPath || r->spunForPath.load(std::memory_order_relaxed);
  if (used && revocationsRareEnough(r) &&
      (lk->state == KELLOCK_STATE_FREE || lk->state == KELLOCK_STATE_SHARED)) {
    reopen(r);
  } else if (path != kPathClosed) {
    r->fastOpen.store(kPathClosed, std::memory_order_relaxed);
  }
}

// With the mutex held: sleeps until no intent or exclusive holder is left.
// False, at once, when there is one and the caller may not wait.
bool awaitNoOwner(lock_s_t* lk, int wait, int line) {
  while (lk->state == KELLOCK_STATE_INTENT || lk->state == KELLOCK_STATE_EXCLUSIVE) {
    if (!wait) return false;
    sleepOnce(lk, line);
  }
  return true;
}

// With the mutex held, after a shared hold has been granted through it.
// Threads may still be asleep: in this state only those that the release
// ending the last intent or exclusive hold has woken (or is waking), for
// whom a fast release has nothing to change.
inline void maybeReopen(LockRecord* r) {
  lock_s_t* lk = &r->pub;
  if (lk->state != KELLOCK_STATE_SHARED) return;
  if (r->slowReadsToReopen > 0 && --r->slowReadsToReopen > 0) return;
  if (r->fastOpen.load(std::memory_order_relaxed) != kPathOpen) reopen(r);
}

// A shared hold without the mutex; false when the caller must go through
// the mutex (path closed, or its slot taken, by another thread or by its own
// earlier hold).
inline bool fastRead(LockRecord* r) {
  if (r->fastOpen.load(std::memory_order_acquire) != kPathOpen) return false;
  ReaderId& me = t_reader;
  if (__builtin_expect(me.token == 0, 0)) assignReaderId(me);
  ReaderSlot& slot = r->slots()[me.index & r->slotMask];
  std::uintptr_t expected = 0;
  if (!slot.holder.compare_exchange_strong(expected, me.token, std::memory_order_seq_cst,
                                           std::memory_order_relaxed)) {
    return false;
  }
  if (r->fastOpen.load(std::memory_order_seq_cst) == kPathOpen) return true;
  expected = me.token;
  // Fails only when a revoker has folded the hold: it is then counted.
  return !slot.holder.compare_exchange_strong(expected, 0, std::memory_order_seq_cst,
                                              std::memory_order_acquire);
}

// By a waiting request, before it takes the mutex: when a direct write has
// closed the path for the time of its hold, spins (kPathSpin at most) for
// it to come back. True when the path is open. Making the request later in
// this way changes nothing it may be granted. A reader that spins tells the
// write's release that readers want the path.
__attribute__((noinline)) bool awaitPathBack(LockRecord* r, bool reader) {
  if (r->fastOpen.load(std::memory_order_relaxed) != kPathBackAfterWrite) return false;
  if (reader && !r->spunForPath.load(std::memory_order_relaxed)) {
    r->spunForPath.store(true, std::memory_order_relaxed);
  }
  ornspin::spinUntil(
      [&] { return r->fastOpen.load(std::memory_order_relaxed) != kPathBackAfterWrite; },
      ornspin::Clock::now() + kPathSpin);
  return r->fastOpen.load(std::memory_order_relaxed) == kPathOpen;
}

// Releases the caller's fast hold; false when it has none, or when it has
// been folded, in which case the slot is emptied and the hold, counted in
// `count`, is still to be released through the mutex.
inline bool fastUnlock(LockRecord* r) {
  const ReaderId& me = t_reader;
  if (me.token == 0) return false;
  ReaderSlot& slot = r->slots()[me.index & r->slotMask];
  if ((slot.holder.load(std::memory_order_relaxed) & ~std::uintptr_t(1)) != me.token) return false;
  // Only a revoker can change the slot meanwhile, and only to the token | 1.
  if (slot.holder.exchange(0, std::memory_order_release) != me.token) return false;
  // A plain increment: only a thread sharing the slot could race it, and a
  // lost count still leaves the sum changed.
  slot.releases.store(slot.releases.load(std::memory_order_relaxed) + 1,
                      std::memory_order_relaxed);
  return true;
}

}  // namespace

// ---------------------------------------------------------------- test hooks

namespace kellock_fault {

void inject(Point point, int err, int skip) {
  std::lock_guard<std::mutex> guard(g_faultMutex);
  g_faults[point] = Fault{err, skip};
  rearm();
}

void clear() {
  std::lock_guard<std::mutex> guard(g_faultMutex);
  for (Fault& g : g_faults) g = Fault{0, 0};
  rearm();
}

void revokeFastPath(lock_s_t* lk) { revokeIfOpen(record(lk)); }

}  // namespace kellock_fault

// ---------------------------------------------------------------- interface

int lock__create(lock_s_t** out, void* tag, int tagNumber) {
  unsigned slots = slotCount();
  std::size_t size = sizeof(LockRecord) + slots * sizeof(ReaderSlot);
  // malloc aligns to 16 only: the spare bytes let the record start on a pair.
  void* block = fault(kellock_fault::kMalloc) ? nullptr : malloc(size + kSlotSize - 1);
  if (block == nullptr) ornz::abortOutOfMemory(kModule, __LINE__);
  void* at = reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(block) + kSlotSize - 1) &
                                     ~std::uintptr_t(kSlotSize - 1));
  LockRecord* r = new (at) LockRecord;
  for (unsigned i = 0; i < slots; ++i) new (&r->slots()[i]) ReaderSlot{{0}, {0}};
  r->block = block;
  r->slotMask = slots - 1;
  r->slowReadsToReopen = 0;
  r->releasesSeen = 0;
  r->readersUsedPath = false;
  r->lastRevoke = ornspin::Clock::time_point{};  // as if long ago
  r->sinceRevoke = r->revokeCost = ornspin::Clock::duration::zero();
  r->spunForPath.store(false, std::memory_order_relaxed);
  r->fastOpen.store(kPathOpen, std::memory_order_relaxed);
  lock_s_t* lk = &r->pub;
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
  free(record(lk)->block);
}

int lock__read(lock_s_t* lk, void* /*tag*/, int /*tagNumber*/, int wait) {
  LockRecord* r = record(lk);
  if (fastRead(r) || (wait && awaitPathBack(r, true) && fastRead(r))) {
    *t_reader.errnoAt = 0;
    return 1;
  }
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
    maybeReopen(r);
  }
  return leave(lk, granted, __LINE__);
}

int lock__riw(lock_s_t* lk, void* tag, int tagNumber, int wait) {
  LockRecord* r = record(lk);
  if (wait) awaitPathBack(r, false);
  if (!enter(lk, wait, __LINE__)) return refuseBusy();
  // The path is closed while there is an owner, and may have been opened
  // again by the release this request slept for: closed here, in the same
  // hold of the mutex that raises the state. Readers stay admitted, but
  // through the mutex.
  int granted = awaitNoOwner(lk, wait, __LINE__);
  closeFastPath(r);
  if (granted) {
    takeOwnership(lk, tag, tagNumber);
    lk->state = KELLOCK_STATE_INTENT;
  }
  return leave(lk, granted, __LINE__);
}

int lock__write(lock_s_t* lk, void* tag, int tagNumber, int wait) {
  if (!enter(lk, wait, __LINE__)) return refuseBusy();
  LockRecord* r = record(lk);
  // The caller's read-intent hold closed the fast path and keeps out every
  // other intent or exclusive request, so the state needs no test before it
  // is raised. (Without that hold, a misuse, the path may be open.)
  closeFastPath(r);
  lk->state = KELLOCK_STATE_EXCLUSIVE;
  int granted = drainReaders(lk, wait, KELLOCK_STATE_INTENT, __LINE__);
  if (granted) {
    lk->state = KELLOCK_STATE_EXCLUSIVE;
    takeOwnership(lk, tag, tagNumber);
  }
  return leave(lk, granted, __LINE__);
}

int lock__justwrite(lock_s_t* lk, void* tag, int tagNumber, int wait) {
  LockRecord* r = record(lk);
  if (wait) awaitPathBack(r, false);
  if (!enter(lk, wait, __LINE__)) return refuseBusy();
  // As in lock__riw, the path is closed once there is no owner. Waiting, the
  // request lets the fast readers inside leave on their own first: they are
  // what its second phase would wait for.
  int granted = awaitNoOwner(lk, wait, __LINE__);
  closeFastPath(r, wait != 0);
  if (granted) {
    takeOwnership(lk, tag, tagNumber);
    lk->state = KELLOCK_STATE_EXCLUSIVE;
    granted = drainReaders(lk, wait, KELLOCK_STATE_SHARED, __LINE__);
  }
  if (granted) settleBackAfterWrite(r);
  return leave(lk, granted, __LINE__);
}

int lock__unlock(lock_s_t* lk) {
  LockRecord* r = record(lk);
  if (fastUnlock(r)) {
    // No sleeper waits for this: the path is open only while the lock is
    // free or shared, where every request asleep has been woken already
    // and waits for nothing a reader holds.
    *t_reader.errnoAt = 0;
    return 0;
  }
  mutexLock(lk, __LINE__);
  // A counted hold can be released by count - 1 whoever took it. With none
  // counted, the hold released is a fast one, maybe of another thread (a
  // shared hold may be released by any thread): fold them to find it.
  if (lk->state == KELLOCK_STATE_FREE) revokeIfOpen(r);
  int state = lk->state;
  if (state == KELLOCK_STATE_SHARED) {
    if (--lk->count == 0) lk->state = KELLOCK_STATE_FREE;
  } else if (state == KELLOCK_STATE_INTENT || state == KELLOCK_STATE_EXCLUSIVE) {
    bool byOwner = pthread_equal(pthread_self(), lk->owner);
    if (byOwner) {
      lk->state = KELLOCK_STATE_SHARED;
    } else {
      --lk->count;
    }
    if (lk->count == 0 && lk->state == KELLOCK_STATE_SHARED) lk->state = KELLOCK_STATE_FREE;
    if (byOwner) reopenAfterOwner(r);
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
