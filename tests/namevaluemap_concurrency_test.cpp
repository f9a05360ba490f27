// Readers of one name/value tree on several threads at once: listing the
// names makes their key objects on first use, and every reader must get the
// same ones.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "util/NameValueMap.h"

namespace {

TEST(NameValueMapConcurrency, ReadersListingNamesAtOnceGetTheSameKeys) {
  constexpr int kNames = 3000, kReaders = 4;
  NameValueMap source;
  for (int i = 0; i < kNames; ++i) source.addString(("name-" + std::to_string(i)).c_str(), "v");
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 1;
  source.encode(buffer, status);
  ASSERT_EQ(status, 0u);
  // A decoded tree has never listed its names: the readers race to make
  // every key.
  for (int round = 0; round < 5; ++round) {
    NameValueMap map;
    map.decode(buffer, status);
    ASSERT_EQ(status, 0u);
    const NameValueMap& shared = map;
    std::atomic<int> ready{0};
    std::vector<std::vector<const ZObject_7_0_0*>> seen(kReaders);
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
      readers.emplace_back([&, r] {
        ready.fetch_add(1);
        while (ready.load() < kReaders) {
        }
        ZArrayList_7_0_0 names(10, 0);
        shared.getNames(names);
        for (int i = 0; i < names.size(); ++i) seen[r].push_back(names.get(i));
        // Look-ups and encoding beside the listing.
        orn_asn_buffer_t mine{0, nullptr};
        unsigned long s = 1;
        shared.encode(mine, s);
        if (s == 0 && mine.length == buffer.length) seen[r].push_back(nullptr);
        orn_asn_buffer_free(&mine);
      });
    }
    for (std::thread& t : readers) t.join();
    for (int r = 0; r < kReaders; ++r) {
      ASSERT_EQ(seen[r].size(), static_cast<std::size_t>(kNames) + 1) << r;
      ASSERT_EQ(seen[r], seen[0]) << r;
    }
    for (int i = 0; i < kNames; ++i)
      ASSERT_STREQ(static_cast<const ZAbstractString_7_0_0*>(seen[0][i])->getChars(),
                   ("name-" + std::to_string(i)).c_str());
  }
  orn_asn_buffer_free(&buffer);
}

}  // namespace
