// Allocation failures: every allocation of the attribute-list functions, the
// decoder and the tree's encoder is made to fail in turn; each must report
// as its contract says, leave its target as it was and leak nothing.
//
// How: tests/support/alloc_hook.h replaces the allocator in this executable;
// an armed countdown fails the Nth call, and a live-block count checks that
// every block made during an operation is freed again. The hook is built in
// the plain and the AddressSanitizer builds (there it forwards to the
// sanitizer's allocator, whose hooks keep the live count); only under
// ThreadSanitizer is it left out, and these tests skip.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "KelCore/attrlist.h"
#include "foundation/ornasn.h"
#include "foundation/zexception.h"
#include "util/NameValueMap.h"

#include "tests/support/alloc_hook.h"

using ornutil_test::alloc_hook::calls;
using ornutil_test::alloc_hook::failAt;
using ornutil_test::alloc_hook::liveBlocks;

namespace {

value_s_t stringValue(const char* text) { return value_s_t{ATTR_VALUE_STRING, const_cast<char*>(text), 0, nullptr}; }

// A printable picture of a list, to compare before and after (unused when
// the hook is not built).
[[maybe_unused]] std::string picture(const attrlist_s_t& l) {
  std::string out;
  for (unsigned int i = 0; i < l.num_entries; ++i) {
    out += std::string(l.entries[i].name) + ":";
    for (unsigned int v = 0; v < l.entries[i].num_values; ++v) {
      const value_s_t& val = l.entries[i].values[v];
      out += std::to_string(val.type) + "/" + (val.str ? val.str : "-") + "/" +
             std::string(reinterpret_cast<const char*>(val.data), val.data ? val.length : 0) + ",";
    }
    out += ";";
  }
  return out;
}

class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ORNUTIL_ALLOC_HOOK) GTEST_SKIP() << "the allocation hook is not built under sanitizers";
    const unsigned char obj[] = {0x30, 0x00};
    const unsigned char bytes[] = {1, 2, 3};
    add("beta", stringValue("b1"));
    add("alpha", stringValue("a1"));
    add("alpha", value_s_t{ATTR_VALUE_POBJ, nullptr, 2, const_cast<unsigned char*>(obj)});
    add("gamma", value_s_t{ATTR_VALUE_BUFFER, const_cast<char*>("s"), 3, const_cast<unsigned char*>(bytes)});
  }
  void TearDown() override {
    for (unsigned int i = 0; i < list_.num_entries; ++i) attr_free(&list_.entries[i]);
    std::free(list_.entries);
  }
  void add(const char* name, value_s_t v) { attrlist_add_entry(&list_, const_cast<char*>(name), &v); }

#if ORNUTIL_ALLOC_HOOK
  // Runs `op` with the 1st, 2nd, ... allocation failing until it runs
  // without reaching the armed call. `failed(threw)` checks one failing run;
  // every run must free what it made. Returns the number of failing runs.
  int failEachAllocation(const std::function<bool()>& op, const std::function<void(bool)>& failed) {
    for (long n = 1;; ++n) {
      SCOPED_TRACE("failing allocation " + std::to_string(n));
      std::string before = picture(list_);
      long live = liveBlocks;
      calls = 0;
      failAt = n;
      bool threw = false;
      bool succeeded = false;
      try {
        succeeded = op();
      } catch (const ZOutOfMemoryException_7_0_0& e) {
        threw = true;
      }
      bool reached = calls >= n;
      failAt = 0;
      if (!reached) {
        EXPECT_TRUE(succeeded);
        return static_cast<int>(n - 1);
      }
      failed(threw);
      EXPECT_EQ(liveBlocks, live) << "blocks leaked or lost";
      EXPECT_EQ(picture(list_), before);
      if (n > 1000) {
        ADD_FAILURE() << "no end to the allocations";
        return -1;
      }
    }
  }
#endif

  attrlist_s_t list_{0, nullptr};
};

#if ORNUTIL_ALLOC_HOOK
// Each operation's successful run is undone so the next run starts from the
// same list.
TEST_F(AllocationFailure, AddEntryOfANewName) {
  const unsigned char bytes[] = {4, 5};
  value_s_t v{ATTR_VALUE_BUFFER, const_cast<char*>("text"), 2, const_cast<unsigned char*>(bytes)};
  int runs = failEachAllocation(
      [&] {
        attrlist_add_entry(&list_, const_cast<char*>("delta"), &v);
        return true;
      },
      [](bool threw) { EXPECT_TRUE(threw); });
  EXPECT_GE(runs, 4);  // entry array, name, string, data, value array
  EXPECT_EQ(list_.num_entries, 4u);
}

TEST_F(AllocationFailure, AddEntryOfAnEncodedObjectToAnExistingName) {
  const unsigned char obj[] = {0x30, 0x00};
  value_s_t v{ATTR_VALUE_POBJ, nullptr, 2, const_cast<unsigned char*>(obj)};
  int runs = failEachAllocation(
      [&] {
        attrlist_add_entry(&list_, const_cast<char*>("ALPHA"), &v);
        return true;
      },
      [](bool threw) { EXPECT_TRUE(threw); });
  EXPECT_GE(runs, 2);  // object copy, value array
  EXPECT_EQ(list_.entries[0].num_values, 3u);
}

TEST_F(AllocationFailure, DeleteValue) {
  int runs = failEachAllocation(
      [&] {
        attrlist_del_value(&list_.entries[0], 0);
        return true;
      },
      [](bool threw) { EXPECT_TRUE(threw); });
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(list_.entries[0].num_values, 1u);
}

TEST_F(AllocationFailure, DupReturnsNull) {
  attrlist_s_t* copy = nullptr;
  int runs = failEachAllocation(
      [&] {
        copy = attrlist_dup(&list_);
        return copy != nullptr;
      },
      [&](bool threw) {
        EXPECT_FALSE(threw);
        EXPECT_EQ(copy, nullptr);
      });
  EXPECT_GE(runs, 10);
  EXPECT_EQ(picture(*copy), picture(list_));
  attrlist_delete(&copy);
}

TEST_F(AllocationFailure, DecoderAllocatesNothingOnFailure) {
  NameValueMap map;
  map.addString("n", "v");
  map.addSubtree("n")->addString("child", "w");
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 1;
  map.encode(buffer, status);
  ASSERT_EQ(status, 0u);
  namevalueList_s_t decoded{0, nullptr};
  int runs = failEachAllocation(
      [&] {
        int s = ornAsnDecodeObj(buffer, decoded);
        return s == ORN_ASN_OK;
      },
      [&](bool threw) {
        EXPECT_FALSE(threw);
        EXPECT_EQ(decoded.entries, nullptr);
      });
  EXPECT_EQ(runs, 1);  // one block for the whole tree
  ornAsnFreeObj(decoded);
  orn_asn_buffer_free(&buffer);
}

TEST_F(AllocationFailure, TreeEncodeReportsNoMemory) {
  NameValueMap map;
  map.addString("a", "1");
  map.addString("a", "2");
  map.addSubtree("a")->addString("b", "3");
  map.addString("c", "4");
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 0;
  int runs = failEachAllocation(
      [&] {
        map.encode(buffer, status);
        return status == 0;
      },
      [&](bool threw) {
        EXPECT_FALSE(threw);
        EXPECT_EQ(status, static_cast<unsigned long>(ORN_ASN_E_NOMEM));
        EXPECT_EQ(buffer.data, nullptr);
      });
  EXPECT_EQ(runs, 1);  // the encoding is written into one block of its exact size
  orn_asn_buffer_free(&buffer);
}
#endif

}  // namespace
