// Threads racing for the process-wide lock factory, and threads sharing one
// lock object of the factory's in-process and lock-file kinds: readers are
// inside together (shown: each waits until all are in), and a writer is
// alone for the whole of a hold that takes time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

using Clock = std::chrono::steady_clock;

struct KindCase {
  const char* name;
  MrProcessLockFactory::mrproclocktype type;
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class SharedLockObjectTest : public testing::TestWithParam<KindCase> {
 protected:
  ZAbstractReadWriteLock_7_0_0* make() {
    return MrProcessLockFactory::newLock("shared", GetParam().type, dir_.path().c_str());
  }
  ornutil_test::LockTestDir dir_;
};

// Each reader keeps its hold until all of them are inside: a lock that let
// in one reader at a time would leave the others waiting until the bound.
TEST_P(SharedLockObjectTest, ReadersAreInsideTogether) {
  const int kReaders = 6;
  std::unique_ptr<ZAbstractReadWriteLock_7_0_0> lock(make());
  std::atomic<int> inside{0};
  std::atomic<bool> allSeen{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kReaders; ++t) {
    threads.emplace_back([&, t] {
      if (t % 2 == 0) {
        lock->readLock();
      } else if (!lock->tryReadLock()) {
        lock->readLock();  // a try may meet the object's own bookkeeping busy
      }
      inside.fetch_add(1);
      auto deadline = Clock::now() + std::chrono::seconds(20);
      while (inside.load() < kReaders && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      if (inside.load() == kReaders) allSeen.store(true);
      lock->unlock();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(allSeen.load()) << "readers never all inside at once";
}

// Holds that take time, so that an intruder is caught in the act: a writer
// checks at the start and the end of its hold that nobody else is inside,
// a reader that no writer is.
TEST_P(SharedLockObjectTest, WritersAreAloneThroughTheirHolds) {
  std::unique_ptr<ZAbstractReadWriteLock_7_0_0> lock(make());
  std::atomic<int> readers{0}, writers{0}, violations{0}, writes{0};
  auto pause = [] { std::this_thread::sleep_for(std::chrono::microseconds(100)); };
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        bool write = (i + t) % 4 == 0;
        bool tryOnly = (i + t) % 3 == 0;
        if (write) {
          if (tryOnly ? !lock->tryWriteLock() : (lock->writeLock(), false)) continue;
          if (writers.fetch_add(1) != 0 || readers.load() != 0) violations.fetch_add(1);
          pause();
          if (writers.load() != 1 || readers.load() != 0) violations.fetch_add(1);
          writers.fetch_sub(1);
          writes.fetch_add(1);
        } else {
          if (tryOnly ? !lock->tryReadLock() : (lock->readLock(), false)) continue;
          readers.fetch_add(1);
          if (writers.load() != 0) violations.fetch_add(1);
          pause();
          if (writers.load() != 0) violations.fetch_add(1);
          readers.fetch_sub(1);
        }
        lock->unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_GT(writes.load(), 0);
  // Nothing is left held.
  std::unique_ptr<ZAbstractReadWriteLock_7_0_0> other(GetParam().type ==
                                                              MrProcessLockFactory::mrproclock_file
                                                          ? make()
                                                          : nullptr);
  EXPECT_TRUE(lock->tryWriteLock());
  lock->unlock();
  if (other) {
    EXPECT_TRUE(other->tryWriteLock());
    other->unlock();
  }
}

const KindCase kKinds[] = {
    {"in_process", MrProcessLockFactory::mrproclock_thread},
    {"lock_file", MrProcessLockFactory::mrproclock_file},
};

INSTANTIATE_TEST_SUITE_P(Kinds, SharedLockObjectTest, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<KindCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
