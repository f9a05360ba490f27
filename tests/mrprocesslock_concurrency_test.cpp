// Threads racing for the process-wide lock factory, and threads sharing one
// lock-file object.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/lock_test_dir.h"
#include "util/MrProcessLock.h"

namespace {

// In a fresh process, so that the first getLockFactory is among the racers.
TEST(MrProcessLockFactoryRaceTest, ManyFirstCallersGetOneFactory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const int kThreads = 10;
        std::atomic<int> ready{0};
        std::vector<MrProcessLockFactory*> seen(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
          threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            seen[i] = MrProcessLockFactory::getLockFactory();
          });
        }
        for (auto& t : threads) t.join();
        bool same = seen[0] != nullptr;
        for (auto* f : seen) same = same && f == seen[0];
        std::_Exit(same ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// Threads sharing one lock-file object: readers overlap, a writer is alone,
// and the file's read lock is taken and dropped as readers come and go.
TEST(ZFileLockThreadsTest, ThreadsOfOneObjectExcludeOneAnother) {
  ornutil_test::LockTestDir dir;
  std::unique_ptr<ZAbstractReadWriteLock_7_0_0> lock(MrProcessLockFactory::newLock(
      "shared", MrProcessLockFactory::mrproclock_file, dir.path().c_str()));
  std::atomic<int> readers{0}, writers{0}, violations{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 150; ++i) {
        bool write = (i + t) % 5 == 0;
        bool tryOnly = (i + t) % 3 == 0;
        if (write) {
          if (tryOnly ? !lock->tryWriteLock() : (lock->writeLock(), false)) continue;
          if (writers.fetch_add(1) != 0 || readers.load() != 0) violations.fetch_add(1);
          writers.fetch_sub(1);
        } else {
          if (tryOnly ? !lock->tryReadLock() : (lock->readLock(), false)) continue;
          readers.fetch_add(1);
          if (writers.load() != 0) violations.fetch_add(1);
          readers.fetch_sub(1);
        }
        lock->unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(violations.load(), 0);
  // Nothing is left held on the file.
  std::unique_ptr<ZAbstractReadWriteLock_7_0_0> other(MrProcessLockFactory::newLock(
      "shared", MrProcessLockFactory::mrproclock_file, dir.path().c_str()));
  EXPECT_TRUE(other->tryWriteLock());
  other->unlock();
}

}  // namespace
