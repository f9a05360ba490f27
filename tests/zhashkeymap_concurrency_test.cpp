// A map in concurrent-readers mode: readers race a writer that adds keys,
// grows the table and replaces values.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/internal/hash.h"
#include "foundation/zhashkeymap.h"
#include "foundation/zstring.h"

namespace {

class SharedMap : public ZHashKeyMap_7_0_0 {
 public:
  SharedMap() : ZHashKeyMap_7_0_0(4, 1) { enableConcurrentReaders(); }
};

std::string key(int i) { return "/opt/BrenmoorWarden/etc/k" + std::to_string(i); }

TEST(ZHashKeyMapConcurrency, ReadersSeeCompleteEntriesWhileAWriterGrowsAndReplaces) {
  SharedMap map;
  constexpr int kSeeded = 16, kAdded = 2000, kReaders = 3;
  for (int i = 0; i < kSeeded; ++i) {
    ZUTF8String_7_0_0 v(("v" + std::to_string(i)).c_str());
    map.putEntry(ZLCConstString_7_0_0(key(i).c_str()), &v);
  }
  std::atomic<bool> done{false};
  std::atomic<long> hits{0};
  std::atomic<int> started{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      long local = 0;
      bool counted = false;
      while (!done.load(std::memory_order_acquire)) {
        for (int i = r; i < kSeeded; i += kReaders) {
          std::string k = key(i);
          auto* v = static_cast<ZAbstractString_7_0_0*>(map.getEntry(ZLCConstString_7_0_0(k.c_str())));
          // A value handed out stays readable even after it was replaced.
          ASSERT_NE(v, nullptr);
          ASSERT_EQ(v->getChars()[0], 'v');
          ++local;
        }
        EXPECT_GE(map.size(), kSeeded);
        if (!counted) {
          counted = true;
          started.fetch_add(1);
        }
      }
      hits += local;
    });
  }
  // The writer starts once every reader is inside its loop, so they overlap
  // even on a loaded machine.
  while (started.load() < kReaders) std::this_thread::yield();
  for (int i = kSeeded; i < kSeeded + kAdded; ++i) {
    if (i % 64 == 0) std::this_thread::yield();
    ZUTF8String_7_0_0 v(("v" + std::to_string(i)).c_str());
    map.putEntry(ZLCConstString_7_0_0(key(i).c_str()), &v);
    ZUTF8String_7_0_0 replaced(("v-replaced-" + std::to_string(i)).c_str());
    map.putEntry(ZLCConstString_7_0_0(key(i % kSeeded).c_str()), &replaced);
  }
  done.store(true, std::memory_order_release);
  for (auto& t : readers) t.join();
  EXPECT_GT(hits.load(), 0);
  EXPECT_EQ(map.size(), kSeeded + kAdded);
  for (int i = 0; i < kSeeded + kAdded; ++i)
    EXPECT_TRUE(map.contains(ZLCConstString_7_0_0(key(i).c_str()))) << i;
}

TEST(ZHashKeyMapConcurrency, ReadersFindEveryNameWhileTheTablePlacesItsNamesAnew) {
  SharedMap map;
  constexpr int kSeeded = 16, kReaders = 2;
  for (int i = 0; i < kSeeded; ++i) {
    ZUTF8String_7_0_0 v(("v" + std::to_string(i)).c_str());
    map.putEntry(ZLCConstString_7_0_0(key(i).c_str()), &v);
  }
  // Names that all share one home slot under the table's salt (kept as it
  // grows), so that the writer's inserts make the table take a new salt
  // and place every name anew while the readers look names up.
  const std::uint64_t salt = map.probeStats().salt;
  const ornz::HashKey& hashKey = ornz::processHashKey();
  std::vector<std::string> aimed;
  for (int i = 0; aimed.size() < 600; ++i) {
    std::string name = "aimed-" + std::to_string(i);
    if ((ornz::hashText(hashKey, name.data(), name.size(), salt) & 0x7ff) == 0x2a) aimed.push_back(name);
  }
  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      started.fetch_add(1);
      while (!done.load(std::memory_order_acquire)) {
        for (int i = 0; i < kSeeded; ++i) {
          auto* v = static_cast<ZAbstractString_7_0_0*>(map.getEntry(ZLCConstString_7_0_0(key(i).c_str())));
          ASSERT_NE(v, nullptr);
          ASSERT_EQ(v->getChars()[0], 'v');
        }
      }
    });
  }
  while (started.load() < kReaders) std::this_thread::yield();
  for (std::size_t i = 0; i < aimed.size(); ++i) {
    if (i % 32 == 0) std::this_thread::yield();
    ZUTF8String_7_0_0 v(aimed[i].c_str());
    map.putEntry(ZUTF8ConstString_7_0_0(aimed[i].c_str()), &v);
  }
  done.store(true, std::memory_order_release);
  for (auto& t : readers) t.join();
  EXPECT_NE(map.probeStats().salt, salt);
  EXPECT_LE(map.probeStats().longest, map.probeStats().bound);
  for (const std::string& name : aimed) EXPECT_NE(map.find(name.data(), name.size()), nullptr) << name;
}

TEST(ZHashKeyMapConcurrency, WritersOnSeveralThreadsLoseNothing) {
  SharedMap map;
  constexpr int kWriters = 4, kEach = 300;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kEach; ++i) {
        std::string k = key(w * kEach + i);
        ZUTF8String_7_0_0 v(k.c_str());
        map.putEntry(ZLCConstString_7_0_0(k.c_str()), &v);
        EXPECT_NE(map.getEntry(ZLCConstString_7_0_0(k.c_str())), nullptr);
      }
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(map.size(), kWriters * kEach);
}

}  // namespace
