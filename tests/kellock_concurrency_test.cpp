// Many threads mixing every kind of request on one reader/writer lock, with
// the lock's promises checked by counters that each holder keeps: never a
// writer beside a reader or another writer, never two read-intent holders,
// an upgrade granted only once the readers inside have left, and every
// waiting request granted in the end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "util/kellock.h"

namespace {

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

void runThread(lock_s_t* lk, Holders& h, unsigned seed, int operations) {
  Rng rng{seed * 2654435761ULL + 1};
  for (int i = 0; i < operations; ++i) {
    unsigned pick = rng.next(100);
    int wait = pick % 4 != 0;  // a quarter of all requests do not wait
    int got;
    if (pick < 50) {
      got = lock__read(lk, nullptr, 0, wait);
      if (got) asReader(h, rng);
    } else if (pick < 75) {
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

class KelLockStressTest : public testing::TestWithParam<int> {};

TEST_P(KelLockStressTest, HoldsNeverConflictAndEveryWaitEnds) {
  const int threads = GetParam();
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
      runThread(lk, h, static_cast<unsigned>(t + 1), operations);
      std::lock_guard<std::mutex> guard(doneMutex);
      if (--running == 0) doneCond.notify_all();
    });
  }
  {
    // A request that is never granted shows as threads that never finish.
    std::unique_lock<std::mutex> guard(doneMutex);
    if (!doneCond.wait_for(guard, std::chrono::seconds(240), [&] { return running == 0; })) {
      pthread_mutex_lock(&lk->mutex);
      std::fprintf(stderr, "stuck: %d threads running, state %d count %d waiters %d\n", running,
                   lk->state, lk->count, lk->waiters);
      std::abort();
    }
  }
  for (auto& t : pool) t.join();

  EXPECT_EQ(h.violations.load(), 0);
  EXPECT_EQ(h.refusedWaits.load(), 0);
  EXPECT_GT(h.granted.load(), 0);
  pthread_mutex_lock(&lk->mutex);
  EXPECT_EQ(lk->state, KELLOCK_STATE_FREE);
  EXPECT_EQ(lk->count, 0);
  EXPECT_EQ(lk->waiters, 0);
  pthread_mutex_unlock(&lk->mutex);
  lock__delete(lk);
}

INSTANTIATE_TEST_SUITE_P(Threads, KelLockStressTest, testing::Values(2, 4, 8, 16),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param) + "_threads";
                         });

}  // namespace
