// The reader/writer lock's state table, its sleepers and wake-ups, its
// cancellation rule, its readers' fast path and its fatal paths. Threads are
// driven step by step (ThreadActor); a thread is known to be asleep inside a
// request when the lock's own `waiters` says so, read under the lock's mutex.
// Readers that took the fast path are in `count` only once a revocation has
// folded them in, so every look at the record revokes first, as a write
// request would.
#include "util/kellock.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "foundation/svc.h"
#include "tests/support/thread_actor.h"
#include "util/internal/kellock_fault.h"

using ornutil_test::readyWithin;
using ornutil_test::ThreadActor;

namespace {

enum Op { kRead, kRiw, kWrite, kJustWrite, kUnlock };

const char* opName(Op op) {
  switch (op) {
    case kRead: return "read";
    case kRiw: return "riw";
    case kWrite: return "write";
    case kJustWrite: return "justwrite";
    case kUnlock: return "unlock";
  }
  return "?";
}

int tagged;  // its address is the holder tag of every request

int request(lock_s_t* lk, Op op, int wait, int tagNumber = 0) {
  switch (op) {
    case kRead: return lock__read(lk, &tagged, tagNumber, wait);
    case kRiw: return lock__riw(lk, &tagged, tagNumber, wait);
    case kWrite: return lock__write(lk, &tagged, tagNumber, wait);
    case kJustWrite: return lock__justwrite(lk, &tagged, tagNumber, wait);
    case kUnlock: return lock__unlock(lk);
  }
  return -1;
}

struct Snapshot {
  int state, count, waiters;
  pthread_t owner;
};

Snapshot snapshot(lock_s_t* lk) {
  pthread_mutex_lock(&lk->mutex);
  kellock_fault::revokeFastPath(lk);
  Snapshot s{lk->state, lk->count, lk->waiters, lk->owner};
  pthread_mutex_unlock(&lk->mutex);
  return s;
}

// Sends the next readers through the mutex.
void closeFastPath(lock_s_t* lk) {
  pthread_mutex_lock(&lk->mutex);
  kellock_fault::revokeFastPath(lk);
  pthread_mutex_unlock(&lk->mutex);
}

// Waits, with a bound, until exactly `n` threads sleep inside the lock.
bool waitForWaiters(lock_s_t* lk, int n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (snapshot(lk).waiters != n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// One step of a scenario: who does what. An `asleep` step is a waiting
// request expected to sleep; it is started and left running.
struct Step {
  int actor;
  Op op;
  int wait;
  int expect;  // result of a step that returns at once
  bool asleep = false;
};

struct Play {
  std::vector<std::future<int>> sleepers;
  int sleeping = 0;
};

// Runs the steps in order; every step that returns must return `expect`
// with errno 0.
void play(lock_s_t* lk, ThreadActor* actors, const std::vector<Step>& steps, Play& out) {
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "actor " << s.actor << " " << opName(s.op)
                                    << (s.wait ? " wait" : " nowait"));
    if (s.asleep) {
      out.sleepers.push_back(actors[s.actor].start([=] { return request(lk, s.op, s.wait); }));
      ASSERT_TRUE(waitForWaiters(lk, ++out.sleeping));
      continue;
    }
    int err = -1;
    int result = actors[s.actor].run([&] {
      errno = 12345;
      int r = request(lk, s.op, s.wait);
      err = errno;
      return r;
    });
    EXPECT_EQ(result, s.expect);
    EXPECT_EQ(err, 0);
  }
}

class KelLockTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lock__create(&lk_, &tagged, 7), 0); }
  void TearDown() override {
    actors_.clear();  // every step has ended before the lock goes
    lock__delete(lk_);
  }
  ThreadActor* actors() {
    if (actors_.empty()) actors_ = std::vector<ThreadActor>(4);
    return actors_.data();
  }

  lock_s_t* lk_ = nullptr;
  std::vector<ThreadActor> actors_;
};

TEST_F(KelLockTest, CreateStartsFreeWithTheCreationTags) {
  Snapshot s = snapshot(lk_);
  EXPECT_EQ(s.state, KELLOCK_STATE_FREE);
  EXPECT_EQ(s.count, 0);
  EXPECT_EQ(s.waiters, 0);
  EXPECT_EQ(lk_->create_tag, &tagged);
  EXPECT_EQ(lk_->create_tag_num, 7);
}

TEST_F(KelLockTest, OwnerRequestsStoreTheHolderTagsReadsIgnoreThem) {
  int other = 0;
  ASSERT_EQ(lock__read(lk_, &other, 5, 1), 1);
  EXPECT_EQ(lk_->holder_tag, nullptr);
  ASSERT_EQ(lock__unlock(lk_), 0);
  ASSERT_EQ(lock__riw(lk_, &other, 11, 1), 1);
  EXPECT_EQ(lk_->holder_tag, &other);
  EXPECT_EQ(lk_->holder_tag_num, 11);
  ASSERT_EQ(lock__write(lk_, &tagged, 12, 1), 1);
  EXPECT_EQ(lk_->holder_tag, &tagged);
  EXPECT_EQ(lk_->holder_tag_num, 12);
  EXPECT_TRUE(pthread_equal(lk_->owner, pthread_self()));
  ASSERT_EQ(lock__unlock(lk_), 0);
}

// ---------------------------------------------------------------- state table
// Requests that return at once, by three threads (0, 1, 2); the state,
// count and owner afterwards.

struct TransitionCase {
  const char* description;
  std::vector<Step> steps;
  int state;
  int count;
  int owner;  // actor that must be the owner, or -1
};

void PrintTo(const TransitionCase& c, std::ostream* os) { *os << c.description; }

class KelLockTransitionTest : public KelLockTest,
                              public testing::WithParamInterface<TransitionCase> {};

TEST_P(KelLockTransitionTest, EndsInTheExpectedState) {
  const TransitionCase& c = GetParam();
  ThreadActor* a = actors();
  Play p;
  play(lk_, a, c.steps, p);
  Snapshot s = snapshot(lk_);
  EXPECT_EQ(s.state, c.state);
  EXPECT_EQ(s.count, c.count);
  EXPECT_EQ(s.waiters, 0);
  if (c.owner >= 0) {
    EXPECT_TRUE(pthread_equal(s.owner, a[c.owner].id()));
  }
}

const TransitionCase kTransitions[] = {
    {"free_read", {{0, kRead, 0, 1}}, 2, 1, -1},
    {"free_riw", {{0, kRiw, 0, 1}}, 3, 0, 0},
    {"free_justwrite", {{0, kJustWrite, 0, 1}}, 4, 0, 0},
    {"readers_share", {{0, kRead, 0, 1}, {1, kRead, 0, 1}}, 2, 2, -1},
    {"riw_granted_beside_readers", {{0, kRead, 1, 1}, {1, kRiw, 0, 1}}, 3, 1, 1},
    {"readers_admitted_beside_riw", {{0, kRiw, 1, 1}, {1, kRead, 0, 1}, {2, kRead, 0, 1}}, 3, 2, 0},
    {"second_riw_refused", {{0, kRiw, 1, 1}, {1, kRiw, 0, 0}}, 3, 0, 0},
    {"justwrite_refused_under_riw", {{0, kRiw, 1, 1}, {1, kJustWrite, 0, 0}}, 3, 0, 0},
    {"upgrade_without_readers", {{0, kRiw, 1, 1}, {0, kWrite, 0, 1}}, 4, 0, 0},
    {"upgrade_refused_keeps_riw", {{0, kRiw, 1, 1}, {1, kRead, 1, 1}, {0, kWrite, 0, 0}}, 3, 1, 0},
    {"justwrite_refused_keeps_readers", {{1, kRead, 1, 1}, {0, kJustWrite, 0, 0}}, 2, 1, -1},
    {"read_refused_under_write", {{0, kJustWrite, 1, 1}, {1, kRead, 0, 0}}, 4, 0, 0},
    {"riw_refused_under_write", {{0, kJustWrite, 1, 1}, {1, kRiw, 0, 0}}, 4, 0, 0},
    {"justwrite_refused_under_write", {{0, kJustWrite, 1, 1}, {1, kJustWrite, 0, 0}}, 4, 0, 0},
    {"read_refused_under_upgrade", {{0, kRiw, 1, 1}, {0, kWrite, 1, 1}, {1, kRead, 0, 0}}, 4, 0, 0},
    {"upgraded_hold_ends_in_one_release",
     {{0, kRiw, 1, 1}, {0, kWrite, 1, 1}, {0, kUnlock, 1, 0}}, 1, 0, -1},
    {"justwrite_release_frees", {{0, kJustWrite, 1, 1}, {0, kUnlock, 1, 0}}, 1, 0, -1},
    {"riw_release_leaves_readers", {{0, kRiw, 1, 1}, {1, kRead, 1, 1}, {0, kUnlock, 1, 0}}, 2, 1, -1},
    {"reader_release_under_riw", {{0, kRiw, 1, 1}, {1, kRead, 1, 1}, {1, kUnlock, 1, 0}}, 3, 0, 0},
    {"last_reader_frees", {{0, kRead, 1, 1}, {1, kRead, 1, 1}, {0, kUnlock, 1, 0},
                           {1, kUnlock, 1, 0}}, 1, 0, -1},
    {"upgrade_after_refusal_and_reader_gone",
     {{1, kRead, 1, 1}, {0, kRiw, 1, 1}, {0, kWrite, 0, 0}, {1, kUnlock, 1, 0}, {0, kWrite, 0, 1}},
     4, 0, 0},
    {"release_of_a_free_lock_changes_nothing", {{0, kUnlock, 1, 0}}, 1, 0, -1},
    {"release_after_refused_justwrite_by_a_reader",
     {{1, kRead, 1, 1}, {0, kJustWrite, 0, 0}, {1, kUnlock, 1, 0}}, 1, 0, -1},
    // Readers that came before an intent or write request, then left.
    {"early_reader_leaves_under_riw", {{0, kRead, 1, 1}, {1, kRiw, 1, 1}, {0, kUnlock, 1, 0}},
     3, 0, 1},
    {"early_readers_leave_before_upgrade",
     {{0, kRead, 1, 1}, {2, kRead, 0, 1}, {1, kRiw, 1, 1}, {0, kUnlock, 1, 0}, {2, kUnlock, 1, 0},
      {1, kWrite, 0, 1}},
     4, 0, 1},
    {"two_holds_of_one_reader", {{0, kRead, 1, 1}, {0, kRead, 0, 1}}, 2, 2, -1},
    {"two_holds_of_one_reader_released",
     {{0, kRead, 1, 1}, {0, kRead, 1, 1}, {0, kUnlock, 1, 0}, {0, kUnlock, 1, 0}}, 1, 0, -1},
    {"two_holds_of_one_reader_across_a_riw",
     {{0, kRead, 1, 1}, {1, kRiw, 1, 1}, {0, kRead, 1, 1}, {0, kUnlock, 1, 0}}, 3, 1, 1},
    // A shared hold is no thread's: another thread may release it.
    {"reader_hold_released_by_another_thread", {{0, kRead, 1, 1}, {1, kUnlock, 1, 0}}, 1, 0, -1},
    {"reader_hold_released_by_another_then_own_hold",
     {{0, kRead, 1, 1}, {1, kUnlock, 1, 0}, {0, kRead, 1, 1}}, 2, 1, -1},
};

INSTANTIATE_TEST_SUITE_P(Table, KelLockTransitionTest, testing::ValuesIn(kTransitions),
                         [](const testing::TestParamInfo<TransitionCase>& info) {
                           return std::string(info.param.description);
                         });

// A non-waiting request never waits for the lock's own mutex: the owner
// requests give up on it, and so does a read while readers go through it; a
// read on the fast path does not look at it and is granted.
TEST_F(KelLockTest, NonWaitingRequestsGiveUpOnABusyMutex) {
  struct Case {
    Op op;
    bool fastPathOpen;
    int result, err;
  };
  const Case cases[] = {
      {kRead, true, 1, 0},     {kRead, false, 0, EBUSY},      {kRiw, true, 0, EBUSY},
      {kRiw, false, 0, EBUSY}, {kJustWrite, true, 0, EBUSY}, {kWrite, false, 0, EBUSY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << opName(c.op) << (c.fastPathOpen ? " open" : " closed"));
    lock__delete(lk_);
    ASSERT_EQ(lock__create(&lk_, &tagged, 7), 0);
    if (!c.fastPathOpen) closeFastPath(lk_);
    pthread_mutex_lock(&lk_->mutex);
    errno = 12345;
    int result = request(lk_, c.op, 0);
    int err = errno;
    pthread_mutex_unlock(&lk_->mutex);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(err, c.err);
    Snapshot s = snapshot(lk_);
    EXPECT_EQ(s.state, c.result ? KELLOCK_STATE_SHARED : KELLOCK_STATE_FREE);
    EXPECT_EQ(s.count, c.result);
    if (c.result) {
      ASSERT_EQ(lock__unlock(lk_), 0);
    }
  }
}

// Whether a reader now goes past the mutex: a non-waiting read by another
// thread while this one holds the mutex is granted only then.
bool readerBypassesTheMutex(lock_s_t* lk, ThreadActor& other) {
  pthread_mutex_lock(&lk->mutex);
  int got = other.run([&] { return lock__read(lk, nullptr, 0, 0); });
  pthread_mutex_unlock(&lk->mutex);
  if (got) other.run([&] { return lock__unlock(lk); });
  return got == 1;
}

// Every intent or write request closes the fast path, whether granted or
// refused and whatever readers are inside. The end of the hold opens it
// again when readers were using it; a lock written with no reads in between
// keeps it shut, and a run of reads through the mutex opens it again.
TEST_F(KelLockTest, WriteRequestsCloseTheFastPathAndReadsReopenIt) {
  ThreadActor* a = actors();
  const int kEnough = 100;  // reads through the mutex that must reopen it
  for (Op op : {kRiw, kJustWrite}) {
    for (int wait : {1, 0}) {
      SCOPED_TRACE(testing::Message() << opName(op) << (wait ? " wait" : " nowait"));
      lock__delete(lk_);
      ASSERT_EQ(lock__create(&lk_, &tagged, 7), 0);
      ASSERT_TRUE(readerBypassesTheMutex(lk_, a[1]));  // a fast read, used and released
      // A fast reader inside, except where it would hold the writer off.
      bool withReader = !(op == kJustWrite && wait);
      if (withReader) {
        ASSERT_EQ(a[2].run([&] { return lock__read(lk_, nullptr, 0, 1); }), 1);
      }
      int got = a[0].run([&] { return request(lk_, op, wait); });
      EXPECT_EQ(got, withReader && op == kJustWrite ? 0 : 1);
      EXPECT_FALSE(readerBypassesTheMutex(lk_, a[1]));
      if (got) {
        ASSERT_EQ(a[0].run([&] { return lock__unlock(lk_); }), 0);
      }
      // Readers had used the path: the hold's end reopens it; a refused
      // request has no end, and reads reopen it below.
      EXPECT_EQ(readerBypassesTheMutex(lk_, a[1]), got == 1);
      if (withReader) {
        ASSERT_EQ(a[2].run([&] { return lock__unlock(lk_); }), 0);
      }
      // Writes with no read in between: the first may still find the reads
      // above, the second finds none and leaves the path shut.
      for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(a[0].run([&] { return lock__justwrite(lk_, nullptr, 0, 1); }), 1);
        ASSERT_EQ(a[0].run([&] { return lock__unlock(lk_); }), 0);
        if (i > 0) {
          EXPECT_FALSE(readerBypassesTheMutex(lk_, a[1])) << "write " << i;
        }
      }
      Snapshot s = snapshot(lk_);
      EXPECT_EQ(s.state, KELLOCK_STATE_FREE);
      EXPECT_EQ(s.count, 0);
      int reads = 0;
      bool reopened = false;
      while (!reopened && reads++ < kEnough) {
        ASSERT_EQ(a[1].run([&] { return lock__read(lk_, nullptr, 0, 1); }), 1);
        ASSERT_EQ(a[1].run([&] { return lock__unlock(lk_); }), 0);
        reopened = readerBypassesTheMutex(lk_, a[1]);
      }
      EXPECT_TRUE(reopened);
    }
  }
}

// ---------------------------------------------------------------- sleepers

// The readers inside came either after the read-intent hold (through the
// mutex) or before it (on the fast path, folded by the read-intent request).
TEST_F(KelLockTest, UpgradeHoldsOffNewReadersUntilTheEarlierOnesLeave) {
  for (bool readersFirst : {false, true}) {
    SCOPED_TRACE(readersFirst ? "readers before the read-intent hold" : "readers after it");
    ThreadActor* a = actors();
    if (!readersFirst) {
      ASSERT_EQ(a[0].run([&] { return lock__riw(lk_, nullptr, 0, 1); }), 1);
    }
    ASSERT_EQ(a[1].run([&] { return lock__read(lk_, nullptr, 0, 1); }), 1);
    ASSERT_EQ(a[2].run([&] { return lock__read(lk_, nullptr, 0, 1); }), 1);
    if (readersFirst) {
      ASSERT_EQ(a[0].run([&] { return lock__riw(lk_, nullptr, 0, 1); }), 1);
    }

    std::future<int> upgrade = a[0].start([&] { return lock__write(lk_, nullptr, 0, 1); });
    ASSERT_TRUE(waitForWaiters(lk_, 1));
    EXPECT_EQ(snapshot(lk_).state, KELLOCK_STATE_EXCLUSIVE);
    std::future<int> lateReader = a[3].start([&] { return lock__read(lk_, nullptr, 0, 1); });
    ASSERT_TRUE(waitForWaiters(lk_, 2));

    ASSERT_EQ(a[1].run([&] { return lock__unlock(lk_); }), 0);
    Snapshot s = snapshot(lk_);
    EXPECT_EQ(s.count, 1);
    EXPECT_EQ(s.waiters, 2);  // the upgrade still waits for the second reader

    ASSERT_EQ(a[2].run([&] { return lock__unlock(lk_); }), 0);
    ASSERT_TRUE(readyWithin(upgrade));
    EXPECT_EQ(upgrade.get(), 1);
    ASSERT_TRUE(waitForWaiters(lk_, 1));  // the late reader went back to sleep
    s = snapshot(lk_);
    EXPECT_EQ(s.state, KELLOCK_STATE_EXCLUSIVE);
    EXPECT_EQ(s.count, 0);

    ASSERT_EQ(a[0].run([&] { return lock__unlock(lk_); }), 0);
    ASSERT_TRUE(readyWithin(lateReader));
    EXPECT_EQ(lateReader.get(), 1);
    s = snapshot(lk_);
    EXPECT_EQ(s.state, KELLOCK_STATE_SHARED);
    EXPECT_EQ(s.count, 1);
    ASSERT_EQ(a[3].run([&] { return lock__unlock(lk_); }), 0);
    EXPECT_EQ(snapshot(lk_).state, KELLOCK_STATE_FREE);
  }
}

TEST_F(KelLockTest, DirectWriteWaitsForReadersAndHoldsOffNewOnes) {
  ThreadActor* a = actors();
  ASSERT_EQ(a[1].run([&] { return lock__read(lk_, nullptr, 0, 1); }), 1);
  std::future<int> writer = a[0].start([&] { return lock__justwrite(lk_, nullptr, 0, 1); });
  ASSERT_TRUE(waitForWaiters(lk_, 1));
  EXPECT_EQ(snapshot(lk_).state, KELLOCK_STATE_EXCLUSIVE);
  std::future<int> reader = a[2].start([&] { return lock__read(lk_, nullptr, 0, 1); });
  ASSERT_TRUE(waitForWaiters(lk_, 2));

  ASSERT_EQ(a[1].run([&] { return lock__unlock(lk_); }), 0);
  ASSERT_TRUE(readyWithin(writer));
  EXPECT_EQ(writer.get(), 1);
  ASSERT_TRUE(waitForWaiters(lk_, 1));
  EXPECT_TRUE(pthread_equal(snapshot(lk_).owner, a[0].id()));

  ASSERT_EQ(a[0].run([&] { return lock__unlock(lk_); }), 0);
  ASSERT_TRUE(readyWithin(reader));
  EXPECT_EQ(reader.get(), 1);
}

// Read-intent and direct write requests wait for an intent or exclusive
// hold to end, and one of them is served when it does.
TEST_F(KelLockTest, OwnerRequestsQueueBehindTheHolder) {
  for (Op holder : {kRiw, kJustWrite}) {
    for (Op waiter : {kRiw, kJustWrite}) {
      SCOPED_TRACE(testing::Message() << opName(waiter) << " behind " << opName(holder));
      ThreadActor* a = actors();
      ASSERT_EQ(a[0].run([&] { return request(lk_, holder, 1); }), 1);
      std::future<int> next = a[1].start([&] { return request(lk_, waiter, 1); });
      ASSERT_TRUE(waitForWaiters(lk_, 1));
      ASSERT_EQ(a[0].run([&] { return lock__unlock(lk_); }), 0);
      ASSERT_TRUE(readyWithin(next));
      EXPECT_EQ(next.get(), 1);
      Snapshot s = snapshot(lk_);
      EXPECT_EQ(s.state, waiter == kRiw ? KELLOCK_STATE_INTENT : KELLOCK_STATE_EXCLUSIVE);
      EXPECT_TRUE(pthread_equal(s.owner, a[1].id()));
      ASSERT_EQ(a[1].run([&] { return lock__unlock(lk_); }), 0);
      EXPECT_EQ(snapshot(lk_).state, KELLOCK_STATE_FREE);
    }
  }
}

TEST_F(KelLockTest, ReadersAsleepBehindAWriterAreAllGranted) {
  ThreadActor* a = actors();
  ASSERT_EQ(a[0].run([&] { return lock__justwrite(lk_, nullptr, 0, 1); }), 1);
  std::vector<std::future<int>> readers;
  for (int i = 1; i <= 3; ++i) {
    readers.push_back(a[i].start([&] { return lock__read(lk_, nullptr, 0, 1); }));
    ASSERT_TRUE(waitForWaiters(lk_, i));
  }
  ASSERT_EQ(a[0].run([&] { return lock__unlock(lk_); }), 0);
  for (auto& r : readers) {
    ASSERT_TRUE(readyWithin(r));
    EXPECT_EQ(r.get(), 1);
  }
  Snapshot s = snapshot(lk_);
  EXPECT_EQ(s.state, KELLOCK_STATE_SHARED);
  EXPECT_EQ(s.count, 3);
  EXPECT_EQ(s.waiters, 0);
}

// ---------------------------------------------------------------- cancellation

struct CancelProbe {
  lock_s_t* lk;
  int initialState;        // cancellation state the thread sets before asking
  int result = -1;         // lock__read's result, once it returned
  int stateOnReturn = -1;  // the thread's cancellation state then
};

void* sleepThenTestCancel(void* arg) {
  auto* probe = static_cast<CancelProbe*>(arg);
  int ignored;
  pthread_setcancelstate(probe->initialState, &ignored);
  probe->result = lock__read(probe->lk, nullptr, 0, 1);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &probe->stateOnReturn);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &ignored);
  pthread_testcancel();  // the pending cancel acts here, not in the lock
  return nullptr;
}

TEST_F(KelLockTest, CancelledSleeperWakesOnlyWhenGrantedAndGetsItsStateBack) {
  for (int initial : {PTHREAD_CANCEL_ENABLE, PTHREAD_CANCEL_DISABLE}) {
    SCOPED_TRACE(initial == PTHREAD_CANCEL_ENABLE ? "enabled" : "disabled");
    ASSERT_EQ(lock__justwrite(lk_, nullptr, 0, 1), 1);
    CancelProbe probe{lk_, initial};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, sleepThenTestCancel, &probe), 0);
    ASSERT_TRUE(waitForWaiters(lk_, 1));
    ASSERT_EQ(pthread_cancel(thread), 0);
    // Still asleep: a cancelled wait would have left `waiters` counted and
    // never returned a result, and the lock's mutex held.
    EXPECT_EQ(snapshot(lk_).waiters, 1);
    ASSERT_EQ(lock__unlock(lk_), 0);
    void* exitValue = nullptr;
    ASSERT_EQ(pthread_join(thread, &exitValue), 0);
    EXPECT_EQ(exitValue, PTHREAD_CANCELED);
    EXPECT_EQ(probe.result, 1);
    EXPECT_EQ(probe.stateOnReturn, initial);
    Snapshot s = snapshot(lk_);
    EXPECT_EQ(s.count, 1);  // the hold was granted and is still held
    EXPECT_EQ(s.waiters, 0);
    ASSERT_EQ(lock__unlock(lk_), 0);
  }
}

TEST(KelLockDelete, NullIsIgnored) { lock__delete(nullptr); }

// ---------------------------------------------------------------- wake rules
// A release broadcasts only when somebody asleep may proceed. The broadcast
// is made to fail: a release that broadcasts stops the process with the
// broadcast's message, one that does not lets it exit normally.

struct WakeCase {
  const char* description;
  std::vector<Step> setup;
  int releaser;
  bool wakes;
};

void PrintTo(const WakeCase& c, std::ostream* os) { *os << c.description; }

class KelLockWakeDeathTest : public testing::TestWithParam<WakeCase> {};

[[noreturn]] void releaseWithFailingBroadcast(const WakeCase& c) {
  unsetenv("ORN_SVC_LOG");
  unsigned long status;
  orn_svc_init(0, &status);
  lock_s_t* lk;
  lock__create(&lk, nullptr, 0);
  // Never destroyed: sleepers may remain when the process ends.
  auto* a = new ThreadActor[4];
  Play p;
  play(lk, a, c.setup, p);
  kellock_fault::inject(kellock_fault::kCondBroadcast, EINVAL);
  a[c.releaser].run([&] { return lock__unlock(lk); });
  std::_Exit(testing::Test::HasFailure() ? 2 : 0);
}

TEST_P(KelLockWakeDeathTest, BroadcastsOnlyWhenASleeperMayProceed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const WakeCase& c = GetParam();
  if (c.wakes) {
    EXPECT_DEATH(releaseWithFailingBroadcast(c), "0x1354a1cd util/kellock:[0-9]+ .*22");
  } else {
    EXPECT_EXIT(releaseWithFailingBroadcast(c), testing::ExitedWithCode(0), "");
  }
}

const WakeCase kWakes[] = {
    {"nobody_asleep", {{0, kRead, 1, 1}}, 0, false},
    {"reader_leaves_intent_hold_with_riw_asleep",
     {{0, kRiw, 1, 1}, {1, kRead, 1, 1}, {2, kRiw, 1, 1, true}}, 1, false},
    {"reader_leaves_but_upgrade_still_waits",
     {{0, kRiw, 1, 1}, {1, kRead, 1, 1}, {2, kRead, 1, 1}, {0, kWrite, 1, 1, true}}, 1, false},
    {"last_reader_leaves_a_waiting_upgrade",
     {{0, kRiw, 1, 1}, {1, kRead, 1, 1}, {0, kWrite, 1, 1, true}}, 1, true},
    {"intent_holder_leaves_with_riw_asleep", {{0, kRiw, 1, 1}, {1, kRiw, 1, 1, true}}, 0, true},
    {"writer_leaves_with_readers_asleep",
     {{0, kJustWrite, 1, 1}, {1, kRead, 1, 1, true}, {2, kRead, 1, 1, true}}, 0, true},
    {"intent_holder_leaves_readers_with_justwrite_asleep",
     {{0, kRiw, 1, 1}, {1, kRead, 1, 1}, {2, kJustWrite, 1, 1, true}}, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Table, KelLockWakeDeathTest, testing::ValuesIn(kWakes),
                         [](const testing::TestParamInfo<WakeCase>& info) {
                           return std::string(info.param.description);
                         });

// ---------------------------------------------------------------- fatal paths
// Each failing primitive is logged with its message id, the module's
// source position and the error number, then the process aborts.

struct FatalCase {
  const char* description;
  kellock_fault::Point point;
  int err;
  int skip;
  void (*scenario)();
  const char* record;  // expected in the log record
};

void createOnly() {
  lock_s_t* lk;
  lock__create(&lk, nullptr, 0);
}

// A read that goes through the mutex, the fast path being closed.
void readWaiting() {
  lock_s_t* lk;
  lock__create(&lk, nullptr, 0);
  closeFastPath(lk);
  lock__read(lk, nullptr, 0, 1);
}

void riwNotWaiting() {
  lock_s_t* lk;
  lock__create(&lk, nullptr, 0);
  lock__riw(lk, nullptr, 0, 0);
}

void justwriteThenUnlock() {
  lock_s_t* lk;
  lock__create(&lk, nullptr, 0);
  lock__justwrite(lk, nullptr, 0, 1);
  lock__unlock(lk);
}

// The caller's own exclusive hold makes its read request sleep.
void readBehindOwnWrite() {
  lock_s_t* lk;
  lock__create(&lk, nullptr, 0);
  lock__justwrite(lk, nullptr, 0, 1);
  lock__read(lk, nullptr, 0, 1);
}

// A second thread sleeps, is woken, and fails on the way out of its sleep.
void sleepAndWake() {
  lock_s_t* lk;
  lock__create(&lk, nullptr, 0);
  lock__justwrite(lk, nullptr, 0, 1);
  std::thread sleeper([lk] { lock__read(lk, nullptr, 0, 1); });
  sleeper.detach();
  if (!waitForWaiters(lk, 1)) std::_Exit(2);
  lock__unlock(lk);
  std::this_thread::sleep_for(std::chrono::seconds(30));  // the sleeper aborts first
  std::_Exit(2);
}

const FatalCase kFatals[] = {
    {"allocation", kellock_fault::kMalloc, ENOMEM, 0, createOnly,
     "FATAL bas:0 0x10652065 util/kellock:[0-9]+ Out of memory"},
    {"mutex_init", kellock_fault::kMutexInit, EAGAIN, 0, createOnly,
     "ERROR kel.core:2 0x1354a1c6 util/kellock:[0-9]+ .*error 11"},
    {"cond_init", kellock_fault::kCondInit, ENOMEM, 0, createOnly,
     "ERROR kel.core:2 0x1354a1ca util/kellock:[0-9]+ .*error 12"},
    {"mutex_lock", kellock_fault::kMutexLock, EINVAL, 0, readWaiting,
     "ERROR kel.core:2 0x1354a1c8 util/kellock:[0-9]+ .*error 22"},
    {"mutex_lock_in_unlock", kellock_fault::kMutexLock, EDEADLK, 1, justwriteThenUnlock,
     "ERROR kel.core:2 0x1354a1c8 util/kellock:[0-9]+ .*error 35"},
    {"mutex_trylock", kellock_fault::kMutexTrylock, EINVAL, 0, riwNotWaiting,
     "ERROR kel.core:2 0x1354a1c8 util/kellock:[0-9]+ .*error 22"},
    {"mutex_unlock", kellock_fault::kMutexUnlock, EPERM, 0, readWaiting,
     "ERROR kel.core:2 0x1354a1c9 util/kellock:[0-9]+ .*error 1"},
    {"mutex_unlock_in_unlock", kellock_fault::kMutexUnlock, EPERM, 1, justwriteThenUnlock,
     "ERROR kel.core:2 0x1354a1c9 util/kellock:[0-9]+ .*error 1"},
    {"cond_wait", kellock_fault::kCondWait, EINVAL, 0, readBehindOwnWrite,
     "ERROR kel.core:2 0x1354a1cc util/kellock:[0-9]+ .*error 22"},
    {"cancel_state_disable", kellock_fault::kSetCancelState, EINVAL, 0, readBehindOwnWrite,
     "ERROR kel.core:2 0x1354a1cf util/kellock:[0-9]+ .*error 22"},
    {"cancel_state_restore", kellock_fault::kSetCancelState, EINVAL, 1, sleepAndWake,
     "ERROR kel.core:2 0x1354a1cf util/kellock:[0-9]+ .*error 22"},
    {"cond_broadcast", kellock_fault::kCondBroadcast, EINVAL, 0, sleepAndWake,
     "ERROR kel.core:2 0x1354a1cd util/kellock:[0-9]+ .*error 22"},
};

void PrintTo(const FatalCase& c, std::ostream* os) { *os << c.description; }

class KelLockFatalDeathTest : public testing::TestWithParam<FatalCase> {};

TEST_P(KelLockFatalDeathTest, LogsTheMessageThenAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const FatalCase& c = GetParam();
  EXPECT_EXIT(
      {
        unsetenv("ORN_SVC_LOG");
        unsigned long status;
        orn_svc_init(0, &status);
        kellock_fault::inject(c.point, c.err, c.skip);
        c.scenario();
        std::_Exit(2);  // not reached when the failure is fatal
      },
      testing::KilledBySignal(SIGABRT), c.record);
}

INSTANTIATE_TEST_SUITE_P(Table, KelLockFatalDeathTest, testing::ValuesIn(kFatals),
                         [](const testing::TestParamInfo<FatalCase>& info) {
                           return std::string(info.param.description);
                         });

}  // namespace
