// The message caches and kelmsg_init.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "foundation/msgcat.h"
#include "tests/support/alloc_hook.h"
#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"
#include "util/KelMsg.h"

namespace {

using Entry = I18NCache::Entry;

// Every entry as a reader of the members finds it: the slots from the first
// up to the first null text. Checks on the way that the first `count` are
// sorted and that the slots after those in use are zero.
std::vector<Entry> memberView(const I18NCache& cache) {
  std::vector<Entry> view;
  if (!cache.entries) {
    EXPECT_EQ(cache.count, 0);
    return view;
  }
  unsigned int at = 0;
  for (; at < cache.capacity && cache.entries[at].text; ++at) view.push_back(cache.entries[at]);
  EXPECT_GE(view.size(), static_cast<std::size_t>(cache.count));
  for (int i = 1; i < cache.count; ++i) EXPECT_LE(cache.entries[i - 1].key, cache.entries[i].key) << "slot " << i;
  for (; at < cache.capacity; ++at) EXPECT_EQ(cache.entries[at].key, 0u) << "unused slot " << at;
  return view;
}

// The same entries, whatever their order.
std::vector<std::pair<unsigned int, unsigned char*>> asSet(const std::vector<Entry>& entries) {
  std::vector<std::pair<unsigned int, unsigned char*>> set;
  for (const Entry& e : entries) set.emplace_back(e.key, e.text);
  std::sort(set.begin(), set.end());
  return set;
}

// A cache object on its own, without the process-wide caches. Texts given
// to insert are the test's (`text`); placeholders are the cache's.
class CacheTest : public ::testing::Test {
 protected:
  ~CacheTest() override {
    for (unsigned char* t : owned_) std::free(t);
  }
  unsigned char* text(const std::string& t) {
    owned_.push_back(reinterpret_cast<unsigned char*>(strdup(t.c_str())));
    return owned_.back();
  }
  std::string dump() {
    testing::internal::CaptureStdout();
    cache.dump_kel_i18n_cache();
    return testing::internal::GetCapturedStdout();
  }
  I18NCache cache;

 private:
  std::vector<unsigned char*> owned_;
};

TEST_F(CacheTest, OutOfOrderIdsAreFoundAndListedInUnsignedOrder) {
  const unsigned int ids[] = {0x35e51002, 0x80000001, 7, 0xffffffff, 0x1234};
  for (unsigned int id : ids) cache.insert(id, text(std::to_string(id)));
  for (unsigned int id : ids) {
    ASSERT_NE(cache.match(id), nullptr) << id;
    EXPECT_STREQ(reinterpret_cast<char*>(cache.match(id)), std::to_string(id).c_str());
  }
  EXPECT_EQ(cache.match(8), nullptr);
  EXPECT_EQ(dump(),
            "Cache is 1024 entries, 5 used.\n"
            "Key 7, text <7>\n"
            "Key 4660, text <4660>\n"
            "Key 904204290, text <904204290>\n"
            "Key -2147483647, text <2147483649>\n"
            "Key -1, text <4294967295>\n");
}

TEST_F(CacheTest, EmptyCacheDumpsOnlyItsHeader) {
  EXPECT_EQ(dump(), "Cache is 0 entries, 0 used.\n");
  EXPECT_EQ(cache.match(1), nullptr);
}

TEST_F(CacheTest, TheFirstBlockHolds1024EntriesThenItDoubles) {
  for (unsigned int id = 0; id < 1024; ++id) cache.insert(id, text("t"));
  EXPECT_EQ(cache.capacity, 1024u);
  cache.insert(5000, text("t"));
  EXPECT_EQ(cache.capacity, 2048u);
  for (unsigned int id = 1025; id < 2049; ++id) cache.insert(5000 + id, text("t"));
  EXPECT_EQ(cache.capacity, 4096u);
  EXPECT_EQ(cache.count, 2049);
}

// Insertion orders, each checked against a model: match gives the newest
// text of every key at every checkpoint, the members hold every entry, and
// after the dump (which merges) the first `count` are exactly the entries in
// key order, equal keys in the order they came.
struct Order {
  const char* description;
  std::function<unsigned int(unsigned int i, std::mt19937& rng)> key;  // of the i-th insert
};

void PrintTo(const Order& order, std::ostream* os) { *os << order.description; }

class InsertOrder : public ::testing::TestWithParam<Order> {};

TEST_P(InsertOrder, EveryEntryIsFoundAndListedInOrder) {
  constexpr unsigned int kInserts = 6000;
  I18NCache cache;
  // Distinct texts without allocating: each entry's own byte of a zeroed
  // pool (so each prints as an empty string).
  static unsigned char pool[kInserts];
  std::mt19937 rng(20261211);
  std::vector<std::pair<unsigned int, unsigned char*>> inserted;  // in order
  std::map<unsigned int, unsigned char*> newest;
  auto checkpoint = [&] {
    for (const auto& [key, t] : newest) ASSERT_EQ(cache.match(key), t) << "key " << key;
    EXPECT_EQ(asSet(memberView(cache)), asSet([&] {
                std::vector<Entry> all;
                for (const auto& [key, t] : inserted) all.push_back({key, t});
                return all;
              }()));
  };
  for (unsigned int i = 0; i < kInserts; ++i) {
    unsigned int key = GetParam().key(i, rng);
    cache.insert(key, pool + i);
    inserted.emplace_back(key, pool + i);
    newest[key] = pool + i;
    if (i % 500 == 0) { ASSERT_NO_FATAL_FAILURE(checkpoint()) << "after insert " << i; }
  }
  ASSERT_NO_FATAL_FAILURE(checkpoint());
  EXPECT_EQ(cache.match(0xfffffff1), nullptr);  // never inserted by any order

  testing::internal::CaptureStdout();
  cache.dump_kel_i18n_cache();
  std::string dumped = testing::internal::GetCapturedStdout();
  EXPECT_EQ(static_cast<std::size_t>(std::count(dumped.begin(), dumped.end(), '\n')), kInserts + 1);
  ASSERT_EQ(cache.count, static_cast<int>(kInserts));
  std::stable_sort(inserted.begin(), inserted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (unsigned int i = 0; i < kInserts; ++i) {
    ASSERT_EQ(cache.entries[i].key, inserted[i].first) << "slot " << i;
    ASSERT_EQ(cache.entries[i].text, inserted[i].second) << "slot " << i;
  }
  for (const auto& [key, t] : newest) ASSERT_EQ(cache.match(key), t);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, InsertOrder,
    ::testing::Values(
        Order{"ascending", [](unsigned int i, std::mt19937&) { return 100 + i; }},
        Order{"descending", [](unsigned int i, std::mt19937&) { return 1000000 - i; }},
        Order{"random", [](unsigned int, std::mt19937& rng) { return static_cast<unsigned int>(rng() & 0xfffffff0u); }},
        // Equal keys, in both the appending and the waiting path.
        Order{"random with keys again", [](unsigned int, std::mt19937& rng) { return static_cast<unsigned int>(rng() % 700); }},
        Order{"ascending, every key twice", [](unsigned int i, std::mt19937&) { return i / 2; }},
        Order{"one key only", [](unsigned int, std::mt19937&) { return 42u; }},
        Order{"descending runs of 100", [](unsigned int i, std::mt19937&) { return (i / 100) * 1000 + (99 - i % 100); }},
        Order{"two interleaved ascending runs",
              [](unsigned int i, std::mt19937&) { return i % 2 ? 0x80000000u + i : i; }},
        // The top bit set and clear: the order is unsigned.
        Order{"alternating halves of the key space",
              [](unsigned int i, std::mt19937&) { return i % 2 ? 0xffffffffu - i : 0x7fffffffu - i; }}),
    [](const ::testing::TestParamInfo<Order>& info) {
      std::string name = info.param.description;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST_F(CacheTest, PlaceholdersAreTheFormatExactlyAsLongAsTheirText) {
  // The default format is written without snprintf: it must agree with it.
  for (unsigned int key : {0u, 0x1234u, 0x7fffffffu, 0x80000000u, 0xdeadbeefu, 0xffffffffu}) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "Unknown message number (0x%8.8lx).", static_cast<unsigned long>(key));
    unsigned char* p = cache.msgNotFound(key);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(p), expected);
    EXPECT_EQ(cache.msgNotFound(key), p);
  }
  EXPECT_STREQ(reinterpret_cast<char*>(cache.match(0x1234)), "Unknown message number (0x00001234).");
  EXPECT_EQ(cache.count, 6);
}

TEST_F(CacheTest, ALongerPlaceholderFormatIsCutNotOverflowed) {
  std::string saved = i18nfailure;
  std::string longFormat(300, 'x');
  longFormat.replace(0, 6, "%lx...");
  std::snprintf(i18nfailure, sizeof i18nfailure, "%s", longFormat.c_str());
  unsigned char* cut = cache.msgNotFound(0xabc);
  std::snprintf(i18nfailure, sizeof i18nfailure, "%s", "id %lu");
  unsigned char* shorter = cache.msgNotFound(4660);
  std::snprintf(i18nfailure, sizeof i18nfailure, "%s", saved.c_str());
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(cut)), 255u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(cut), 6), "abc...");
  EXPECT_STREQ(reinterpret_cast<char*>(shorter), "id 4660");
  // Cut one after the other from the same chunk: neither overran the other.
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(cut)), 255u);
}

TEST_F(CacheTest, PlaceholdersStayWhereTheyAreThroughGrowthsAndMerges) {
  unsigned char* first = cache.msgNotFound(0x1234);
  std::mt19937 rng(5);
  std::map<unsigned int, unsigned char*> made;
  for (int i = 0; i < 30000; ++i) {
    unsigned int key = static_cast<unsigned int>(rng());
    unsigned char* p = cache.msgNotFound(key);
    ASSERT_NE(p, nullptr);
    auto [at, isNew] = made.emplace(key, p);
    if (!isNew) { ASSERT_EQ(at->second, p) << "a second request made a second placeholder"; }
  }
  EXPECT_STREQ(reinterpret_cast<char*>(first), "Unknown message number (0x00001234).");
  EXPECT_EQ(cache.match(0x1234), first);
  for (const auto& [key, p] : made) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "Unknown message number (0x%8.8lx).", static_cast<unsigned long>(key));
    ASSERT_STREQ(reinterpret_cast<char*>(p), expected);
    ASSERT_EQ(cache.match(key), p);
  }
}

// Allocation failures, one at each allocation an insert or a placeholder
// makes in each state of the cache: the entries are then those of before,
// or those of before and the new one, never anything else.
#if ORNUTIL_ALLOC_HOOK
struct FailureCase {
  const char* description;
  std::function<void(I18NCache&)> prepare;
  unsigned int key;
  bool placeholder;  // msgNotFound(key) instead of insert(key, ...)
};

TEST(CacheAllocation, AFailedAllocationLeavesTheEntriesAsTheyWere) {
  static unsigned char pool[4096];
  static unsigned char newText[] = "new";
  auto ascending = [](unsigned int n) {
    return [n](I18NCache& c) {
      for (unsigned int i = 0; i < n; ++i) c.insert(10 * i + 10, pool + i);
    };
  };
  const FailureCase cases[] = {
      {"the first entry", [](I18NCache&) {}, 7, false},
      {"an entry that goes last, the block full", ascending(1024), 1000000, false},
      {"the first entry out of order (its index)", ascending(10), 5, false},
      {"out of order, the block full", ascending(1024), 5, false},
      {"out of order, the waiting entries full (a merge)",
       [](I18NCache& c) {
         // One appended, then 64 waiting: the next one out of order merges.
         for (unsigned int i = 0; i < 65; ++i) c.insert(100000 - i, pool + i);
       },
       3, false},
      // Look-ups in a cache this large go through a sample of the keys,
      // which this entry starts; without it they search the whole array.
      {"the entry that makes the cache large", ascending(2047), 1000000, false},
      {"a merge into a large cache", [ascending](I18NCache& c) {
         ascending(3000)(c);
         for (unsigned int i = 0; i < 375; ++i) c.insert(5 + 10 * i, pool + 3000 + i);  // an eighth of 3000 wait
       },
       7, false},
      {"the first placeholder", [](I18NCache&) {}, 0x1234, true},
      {"a placeholder with its chunk used up",
       [](I18NCache& c) {
         // Two chunks of 221 placeholders of 37 bytes each (8 KiB less the
         // chunk's link): the next one needs a third.
         for (unsigned int i = 0; i < 442; ++i) c.msgNotFound(0x70000000u + i);
       },
       0x1234, true},
  };
  for (const FailureCase& fc : cases) {
    for (long failAt = 1; failAt <= 4; ++failAt) {
      SCOPED_TRACE(std::string(fc.description) + ", allocation " + std::to_string(failAt) + " fails");
      I18NCache cache;
      fc.prepare(cache);
      const auto before = asSet(memberView(cache));
      ornutil_test::alloc_hook::arm(failAt);
      unsigned char* got = nullptr;
      if (fc.placeholder) got = cache.msgNotFound(fc.key);
      else cache.insert(fc.key, newText);
      const bool failed = ornutil_test::alloc_hook::disarm();
      const auto after = asSet(memberView(cache));
      for (const auto& [key, t] : before) ASSERT_NE(cache.match(key), nullptr) << "key " << key;
      unsigned char* found = cache.match(fc.key);
      if (!failed) {
        ASSERT_NE(found, nullptr);
        if (fc.placeholder) { EXPECT_EQ(found, got); }
      }
      if (fc.placeholder && got) {
        // Returned even when it could not be cached.
        EXPECT_STREQ(reinterpret_cast<char*>(got), "Unknown message number (0x00001234).");
      }
      if (!found) {
        EXPECT_EQ(after, before) << "a failed insert changed the entries";
      } else {
        auto expected = before;
        expected.emplace_back(fc.key, found);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(after, expected);
      }
      if (!failed) break;  // every allocation of this case has failed once
    }
  }
}
#endif

// The process-wide caches: a fresh process per case.
ORNUTIL_CHILD_TEST(KelMsgChild, CachesAndPlaceholders) {
  unsetenv("NLSPATH");
  // A known id: the same cached pointer every time.
  unsigned char* first = kel_i18n_msg(0x10652065);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(first), "Out of memory.");
  EXPECT_EQ(kel_i18n_msg(0x10652065), first);
  EXPECT_NE(kel_i18n_msg_utf8(0x10652065), first);  // the other cache
  // An unknown id through kel_i18n_msgC: its placeholder lands in the local
  // code page cache, shared with kel_i18n_msg, but not in the UTF-8 one.
  unsigned char* placeholder = kel_i18n_msgC(0x1234);
  EXPECT_STREQ(reinterpret_cast<char*>(placeholder), "Unknown message number (0x00001234).");
  EXPECT_EQ(kel_i18n_msg(0x1234), placeholder);
  unsigned char* utf8 = kel_i18n_msg_utf8(0x1234);
  EXPECT_NE(utf8, placeholder);
  EXPECT_STREQ(reinterpret_cast<char*>(utf8), reinterpret_cast<char*>(placeholder));
  // A default text: owned by the library, the same pointer on every call.
  unsigned char* builtIn = kel_i18n_msgC(0x15e3a0b2);
  EXPECT_STREQ(reinterpret_cast<char*>(builtIn), "No compliance mode is configured; the mode none is used.");
  EXPECT_EQ(kel_i18n_msgC(0x15e3a0b2), builtIn);
  ASSERT_NE(lcpcache, nullptr);
  ASSERT_NE(utf8cache, nullptr);
  // 0x1234 came after a greater id: it may still wait after the sorted ones.
  EXPECT_EQ(memberView(*lcpcache).size(), 2u);
  EXPECT_EQ(memberView(*utf8cache).size(), 2u);
}

// Many distinct unknown ids in no order (a peer's choice): each gets its
// placeholder, the same one when asked again, from each cache its own.
ORNUTIL_CHILD_TEST(KelMsgChild, DistinctUnknownIdsInAnyOrder) {
  unsetenv("NLSPATH");
  std::mt19937 rng(11);
  std::map<unsigned int, std::pair<unsigned char*, unsigned char*>> given;
  for (int i = 0; i < 40000; ++i) {
    unsigned int id = 0x70000000u | (static_cast<unsigned int>(rng()) & 0x0fffffffu);
    unsigned char* lcp = kel_i18n_msg(id);
    unsigned char* utf8 = kel_i18n_msg_utf8(id);
    ASSERT_NE(lcp, nullptr);
    ASSERT_NE(utf8, nullptr);
    ASSERT_NE(lcp, utf8);
    auto [at, isNew] = given.emplace(id, std::make_pair(lcp, utf8));
    if (!isNew) { ASSERT_EQ(at->second, std::make_pair(lcp, utf8)); }
    if (i % 7 == 0) { ASSERT_EQ(kel_i18n_msgC(id), lcp); }
  }
  for (const auto& [id, texts] : given) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "Unknown message number (0x%8.8lx).", static_cast<unsigned long>(id));
    ASSERT_STREQ(reinterpret_cast<char*>(texts.first), expected);
    ASSERT_STREQ(reinterpret_cast<char*>(texts.second), expected);
    ASSERT_EQ(kel_i18n_msg(id), texts.first);
    ASSERT_EQ(kel_i18n_msg_utf8(id), texts.second);
  }
  EXPECT_EQ(memberView(*lcpcache).size(), given.size());
  EXPECT_EQ(memberView(*utf8cache).size(), given.size());
}

ORNUTIL_CHILD_TEST(KelMsgChild, FirstRequestCreatesBothCaches) {
  EXPECT_EQ(lcpcache, nullptr);
  kel_i18n_msg_utf8(1);
  EXPECT_NE(lcpcache, nullptr);
  EXPECT_NE(utf8cache, nullptr);
}

// kelmsg_init runs the library's start-up, which reads /etc and /opt: these
// run in a sandbox.
void enterEmptySandbox() {
  std::string why;
  ASSERT_TRUE(ornutil_test::enterSandbox({}, &why)) << why;
}

ORNUTIL_CHILD_TEST(KelMsgChild, InitFailsOnAnEmptyName) {
  ASSERT_NO_FATAL_FAILURE(enterEmptySandbox());
  testing::internal::CaptureStderr();
  EXPECT_EQ(kelmsg_init(""), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Cannot initialize DCE servicibility messages(status 0x10652080)\n");
  // Nothing was set up, so a later call with a good name tries again.
  EXPECT_EQ(kelmsg_init("prog"), 1);
}

ORNUTIL_CHILD_TEST(KelMsgChild, InitFailsWhenTheLogCannotBeOpenedAndIsNotRetried) {
  ASSERT_NO_FATAL_FAILURE(enterEmptySandbox());
  setenv("ORN_SVC_LOG", "/nonexistent-dir/x.log", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(kelmsg_init("prog"), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Cannot initialize ORN default messages(status 0x10652081)\n"), std::string::npos) << err;
  EXPECT_EQ(kelmsg_init("prog"), 1);  // the flag was set before the failing step
}

TEST(KelMsg, CachesInFreshProcesses) {
  ornutil_test::TempDir dir;
  for (const char* test : {"KelMsgChild.CachesAndPlaceholders", "KelMsgChild.DistinctUnknownIdsInAnyOrder",
                           "KelMsgChild.FirstRequestCreatesBothCaches"}) {
    std::string output;
    EXPECT_EQ(ornutil_test::runTestInChild(test, {{"ORN_SVC_LOG", dir.file("records.log")}}, &output), 0) << test << "\n" << output;
  }
}

TEST(KelMsg, InitFailurePathsInFreshProcesses) {
  std::string why;
  if (!ornutil_test::sandboxSupported(&why)) GTEST_SKIP() << "kelmsg_init tests need root and mount namespaces (" << why << ")";
  ornutil_test::TempDir dir;
  for (const char* test : {"KelMsgChild.InitFailsOnAnEmptyName",
                           "KelMsgChild.InitFailsWhenTheLogCannotBeOpenedAndIsNotRetried"}) {
    std::string output;
    EXPECT_EQ(ornutil_test::runSandboxedTest(test, {{"ORN_SVC_LOG", dir.file("records.log")}}, &output), 0) << test << "\n" << output;
  }
}

}  // namespace
