// Many threads on one reader/writer lock, with the lock's promises checked by
// counters that each holder keeps: readers inside at once, never a writer
// beside a reader or another writer, never two read-intent holders, a write
// request (direct or by upgrade) waiting for exactly the readers already
// inside, whatever the readers arriving after it, and every waiting request
// granted in the end. Readers come both through the fast path and through
// the mutex; a look at `count` revokes the fast path first, as a write
// request would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "util/internal/kellock_fault.h"
#include "util/kellock.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Exact {
  int state, count, waiters;
};

// The record as the holds stand: the fast path revoked, its readers counted.
Exact exact(lock_s_t* lk) {
  pthread_mutex_lock(&lk->mutex);
  kellock_fault::revokeFastPath(lk);
  Exact e{lk->state, lk->count, lk->waiters};
  pthread_mutex_unlock(&lk->mutex);
  return e;
}

// Every hold over and nobody asleep: the lock ends free; then it goes.
void expectFreeAndDelete(lock_s_t* lk) {
  Exact e = exact(lk);
  EXPECT_EQ(e.state, KELLOCK_STATE_FREE);
  EXPECT_EQ(e.count, 0);
  EXPECT_EQ(e.waiters, 0);
  lock__delete(lk);
}

// Polls `done` for up to `bound`; false when it never held.
template <typename Pred>
bool within(Pred done, Clock::duration bound = std::chrono::seconds(30)) {
  auto deadline = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

struct Holders {
  std::atomic<int> readers{0};
  std::atomic<int> intents{0};
  std::atomic<int> writers{0};
  std::atomic<long> violations{0};
  std::atomic<long> refusedWaits{0};  // waiting requests that returned 0
  std::atomic<long> granted{0};
};

// A small deterministic generator per thread, so that a failure replays.
struct Rng {
  unsigned long long s;
  unsigned next(unsigned bound) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>((s >> 33) % bound);
  }
};

void violateIf(Holders& h, bool bad) {
  if (bad) h.violations.fetch_add(1);
}

void work(Rng& rng) {
  if (rng.next(8) == 0) std::this_thread::yield();
}

void asReader(Holders& h, Rng& rng) {
  h.readers.fetch_add(1);
  violateIf(h, h.writers.load() != 0);
  work(rng);
  violateIf(h, h.writers.load() != 0);
  h.readers.fetch_sub(1);
}

void asWriter(Holders& h, Rng& rng) {
  violateIf(h, h.writers.fetch_add(1) != 0);
  violateIf(h, h.readers.load() != 0 || h.intents.load() != 0);
  work(rng);
  violateIf(h, h.readers.load() != 0 || h.intents.load() != 0 || h.writers.load() != 1);
  h.writers.fetch_sub(1);
}

// The read-intent holder; upgrades when `upgrade` says so.
void asIntent(lock_s_t* lk, Holders& h, Rng& rng) {
  violateIf(h, h.intents.fetch_add(1) != 0);
  violateIf(h, h.writers.load() != 0);
  work(rng);
  unsigned how = rng.next(3);
  if (how == 0) {  // stays a reader-with-intent
    h.intents.fetch_sub(1);
    return;
  }
  int wait = how == 1;
  int got = lock__write(lk, nullptr, 0, wait);
  if (wait && !got) h.refusedWaits.fetch_add(1);
  if (!got) {
    // Refused: still the read-intent holder, still alone as such.
    violateIf(h, h.intents.load() != 1 || h.writers.load() != 0);
    h.intents.fetch_sub(1);
    return;
  }
  h.intents.fetch_sub(1);
  asWriter(h, rng);
}

// `readPercent` of the requests are reads; the rest are split evenly
// between read-intent and direct write requests.
void runThread(lock_s_t* lk, Holders& h, unsigned seed, int operations, unsigned readPercent) {
  Rng rng{seed * 2654435761ULL + 1};
  unsigned riwBelow = readPercent + (100 - readPercent) / 2;
  for (int i = 0; i < operations; ++i) {
    unsigned pick = rng.next(100);
    int wait = pick % 4 != 0;  // a quarter of all requests do not wait
    int got;
    if (pick < readPercent) {
      got = lock__read(lk, nullptr, 0, wait);
      if (got) asReader(h, rng);
    } else if (pick < riwBelow) {
      got = lock__riw(lk, nullptr, 0, wait);
      if (got) asIntent(lk, h, rng);
    } else {
      got = lock__justwrite(lk, nullptr, 0, wait);
      if (got) asWriter(h, rng);
    }
    if (wait && !got) h.refusedWaits.fetch_add(1);
    if (got) {
      h.granted.fetch_add(1);
      lock__unlock(lk);
    }
  }
}

struct StressCase {
  int threads;
  unsigned readPercent;
};

class KelLockStressTest : public testing::TestWithParam<StressCase> {};

TEST_P(KelLockStressTest, HoldsNeverConflictAndEveryWaitEnds) {
  const int threads = GetParam().threads;
  const int operations = 4000 / threads;
  lock_s_t* lk;
  ASSERT_EQ(lock__create(&lk, nullptr, 0), 0);
  Holders h;

  std::mutex doneMutex;
  std::condition_variable doneCond;
  int running = threads;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      runThread(lk, h, static_cast<unsigned>(t + 1), operations, GetParam().readPercent);
      std::lock_guard<std::mutex> guard(doneMutex);
      if (--running == 0) doneCond.notify_all();
    });
  }
  {
    // A request that is never granted shows as threads that never finish.
    std::unique_lock<std::mutex> guard(doneMutex);
    if (!doneCond.wait_for(guard, std::chrono::seconds(240), [&] { return running == 0; })) {
      Exact e = exact(lk);
      std::fprintf(stderr, "stuck: %d threads running, state %d count %d waiters %d\n", running,
                   e.state, e.count, e.waiters);
      std::abort();
    }
  }
  for (auto& t : pool) t.join();

  EXPECT_EQ(h.violations.load(), 0);
  EXPECT_EQ(h.refusedWaits.load(), 0);
  EXPECT_GT(h.granted.load(), 0);
  expectFreeAndDelete(lk);
}

INSTANTIATE_TEST_SUITE_P(Threads, KelLockStressTest,
                         testing::Values(StressCase{2, 50}, StressCase{4, 50}, StressCase{8, 50},
                                         StressCase{16, 50}, StressCase{2, 98},
                                         StressCase{8, 98}, StressCase{64, 98}),
                         [](const testing::TestParamInfo<StressCase>& info) {
                           return std::to_string(info.param.threads) + "_threads_" +
                                  std::to_string(info.param.readPercent) + "_percent_reads";
                         });

// ---------------------------------------------------------------- overlap
// `n` readers take their holds and keep them until all `n` are inside at
// once. An exclusive lock would let in one: the others would wait forever.

class KelLockOverlapTest : public testing::TestWithParam<int> {};

TEST_P(KelLockOverlapTest, ReadersAreInsideAtOnce) {
  const int n = GetParam();
  lock_s_t* lk;
  ASSERT_EQ(lock__create(&lk, nullptr, 0), 0);
  std::atomic<int> inside{0}, granted{0};
  std::atomic<bool> leave{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < n; ++i) {
    readers.emplace_back([&] {
      if (lock__read(lk, nullptr, 0, 1) != 1) return;
      granted.fetch_add(1);
      inside.fetch_add(1);
      while (!leave.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
      inside.fetch_sub(1);
      lock__unlock(lk);
    });
  }
  bool allInside = within([&] { return inside.load() == n; });
  EXPECT_TRUE(allInside) << inside.load() << " of " << n << " readers inside";
  if (allInside && n <= 8) {
    // Up to the slot count (16 or more) readers of distinct threads all
    // went past the lock's shared record: nothing there counts them.
    pthread_mutex_lock(&lk->mutex);
    EXPECT_EQ(lk->count, 0);
    EXPECT_EQ(lk->state, KELLOCK_STATE_FREE);
    pthread_mutex_unlock(&lk->mutex);
  }
  Exact e = exact(lk);
  EXPECT_EQ(e.count, n);  // folded in, every one of them
  EXPECT_EQ(e.state, n > 0 ? KELLOCK_STATE_SHARED : KELLOCK_STATE_FREE);
  leave.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(granted.load(), n);
  expectFreeAndDelete(lk);
}

INSTANTIATE_TEST_SUITE_P(Readers, KelLockOverlapTest, testing::Values(2, 8, 64),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param) + "_readers";
                         });

// ---------------------------------------------------------------- second phase
// Readers inside (taken on the fast path), then a waiting write request: a
// direct one, or an upgrade of a read-intent hold taken beside them. The
// request is granted only once every one of those readers has left, and
// readers who ask after it wait until it is over, without holding it up.

enum class Writer { kDirect, kUpgrade };

class KelLockSecondPhaseTest : public testing::TestWithParam<Writer> {};

TEST_P(KelLockSecondPhaseTest, WaitsForExactlyTheReadersInside) {
  const int kInside = 6, kLate = 3;
  lock_s_t* lk;
  ASSERT_EQ(lock__create(&lk, nullptr, 0), 0);
  std::atomic<int> readersInside{0}, lateGranted{0};
  std::atomic<bool> writerGranted{false}, writerSawReaders{false};
  std::atomic<bool> leaveFlags[kInside];
  for (auto& f : leaveFlags) f.store(false);
  std::atomic<bool> writerLeave{false};

  std::vector<std::thread> inside;
  for (int i = 0; i < kInside; ++i) {
    inside.emplace_back([&, i] {
      ASSERT_EQ(lock__read(lk, nullptr, 0, 1), 1);
      readersInside.fetch_add(1);
      while (!leaveFlags[i].load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
      readersInside.fetch_sub(1);
      lock__unlock(lk);
    });
  }
  ASSERT_TRUE(within([&] { return readersInside.load() == kInside; }));

  std::thread writer([&] {
    if (GetParam() == Writer::kUpgrade) {
      ASSERT_EQ(lock__riw(lk, nullptr, 0, 1), 1);
      ASSERT_EQ(lock__write(lk, nullptr, 0, 1), 1);
    } else {
      ASSERT_EQ(lock__justwrite(lk, nullptr, 0, 1), 1);
    }
    writerSawReaders.store(readersInside.load() != 0);
    writerGranted.store(true);
    while (!writerLeave.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    lock__unlock(lk);
  });
  // Admitted: the request has raised the state and sleeps in its second phase.
  ASSERT_TRUE(within([&] {
    Exact e = exact(lk);
    return e.state == KELLOCK_STATE_EXCLUSIVE && e.waiters == 1;
  }));
  EXPECT_EQ(exact(lk).count, kInside);

  std::vector<std::thread> late;
  for (int i = 0; i < kLate; ++i) {
    late.emplace_back([&] {
      ASSERT_EQ(lock__read(lk, nullptr, 0, 1), 1);
      lateGranted.fetch_add(1);
      lock__unlock(lk);
    });
  }
  ASSERT_TRUE(within([&] { return exact(lk).waiters == 1 + kLate; }));

  for (int i = 0; i < kInside; ++i) {
    // Until the last of them has left, nobody is granted anything.
    EXPECT_FALSE(writerGranted.load());
    EXPECT_EQ(lateGranted.load(), 0);
    Exact e = exact(lk);
    EXPECT_EQ(e.count, kInside - i);
    EXPECT_EQ(e.waiters, 1 + kLate);
    leaveFlags[i].store(true);
    inside[i].join();
  }
  ASSERT_TRUE(within([&] { return writerGranted.load(); }));
  EXPECT_FALSE(writerSawReaders.load());
  // The late readers wait for the writer to be done, asleep.
  ASSERT_TRUE(within([&] { return exact(lk).waiters == kLate; }));
  EXPECT_EQ(lateGranted.load(), 0);
  writerLeave.store(true);
  writer.join();
  for (auto& t : late) t.join();
  EXPECT_EQ(lateGranted.load(), kLate);
  expectFreeAndDelete(lk);
}

INSTANTIATE_TEST_SUITE_P(Writers, KelLockSecondPhaseTest,
                         testing::Values(Writer::kDirect, Writer::kUpgrade),
                         [](const testing::TestParamInfo<Writer>& info) {
                           return info.param == Writer::kDirect ? "direct" : "upgrade";
                         });

// ---------------------------------------------------------------- flood
// Readers keep coming, their holds overlapping, while a writer asks. Once
// the request is admitted each reader thread may still be granted the one
// hold it was already inside (it counts it when it looks), never another
// until the writer is done. A lock that let readers pass a waiting writer
// would grant many, or never serve the writer at all.

class KelLockFloodTest : public testing::TestWithParam<int> {};

TEST_P(KelLockFloodTest, AWaitingWriterOutwaitsOnlyTheReadersInside) {
  const int readers = GetParam();
  lock_s_t* lk;
  ASSERT_EQ(lock__create(&lk, nullptr, 0), 0);
  std::atomic<bool> stop{false}, writerAdmitted{false}, writerDone{false}, writerInside{false};
  std::atomic<bool> writerGranted{false}, writerLeave{false};
  std::atomic<int> inside{0}, started{0};
  std::atomic<long> violations{0};
  std::vector<std::atomic<int>> lateGrants(readers);
  for (auto& g : lateGrants) g.store(0);

  std::vector<std::thread> pool;
  for (int t = 0; t < readers; ++t) {
    pool.emplace_back([&, t] {
      started.fetch_add(1);
      while (!stop.load()) {
        lock__read(lk, nullptr, 0, 1);
        inside.fetch_add(1);
        if (writerInside.load()) violations.fetch_add(1);
        if (writerAdmitted.load() && !writerDone.load()) lateGrants[t].fetch_add(1);
        for (int k = 0; k < 3; ++k) std::this_thread::yield();
        inside.fetch_sub(1);
        lock__unlock(lk);
      }
    });
  }
  ASSERT_TRUE(within([&] { return started.load() == readers; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));

  std::thread writer([&] {
    lock__justwrite(lk, nullptr, 0, 1);
    writerInside.store(true);
    if (inside.load() != 0) violations.fetch_add(1);
    writerGranted.store(true);
    while (!writerLeave.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    writerDone.store(true);
    writerInside.store(false);
    lock__unlock(lk);
  });
  ASSERT_TRUE(within([&] { return exact(lk).state == KELLOCK_STATE_EXCLUSIVE; }));
  writerAdmitted.store(true);
  bool served = within([&] { return writerGranted.load(); });
  EXPECT_TRUE(served) << "a waiting writer starved behind a flood of readers";
  writerLeave.store(true);
  writer.join();
  stop.store(true);
  for (auto& t : pool) t.join();

  EXPECT_EQ(violations.load(), 0);
  for (int t = 0; t < readers; ++t) {
    EXPECT_LE(lateGrants[t].load(), 1) << "reader " << t;
  }
  expectFreeAndDelete(lk);
}

INSTANTIATE_TEST_SUITE_P(Readers, KelLockFloodTest, testing::Values(4, 16),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param) + "_readers";
                         });

}  // namespace
