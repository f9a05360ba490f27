// Exhausted memory in the functions that hand C callers new blocks: each
// fails the way its contract says (null, or a shorter result that is still
// well formed), logs where it must, and leaks nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/svc.h"
#include "foundation/zarraylist.h"
#include "foundation/zproperties.h"
#include "foundation/zstring.h"
#include "tests/support/alloc_hook.h"
#include "tests/support/temp_dir.h"
#include "util/cfgfile.h"
#include "util/encode.h"
#include "util/mbs_sprintf.h"
#include "util/patquote.h"

using ornutil_test::alloc_hook::calls;
using ornutil_test::alloc_hook::failAt;
using ornutil_test::alloc_hook::liveBlocks;

namespace {

class CAllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ORNUTIL_ALLOC_HOOK) GTEST_SKIP() << "the allocation hook is not built under ThreadSanitizer";
    // Records of the out-of-memory message go to a scratch file during these
    // tests (the process keeps the first one it opens); one record first, so
    // the log's own one-time set-up is not counted.
    static const ornutil_test::TempDir records;
    setenv("ORN_SVC_LOG", records.file("records.log").c_str(), 1);
    unsigned long status = 0;
    orn_svc_init(0, &status);
    orn_svc_printf_withfile(bas_svc_handle, "test", 1, "", 0, 16, 0x10652065u);
  }
  // Runs `op` with only the `n`th allocation failing; true when it reached
  // that allocation.
  template <typename Op>
  bool failing(long n, Op op) {
    calls = 0;
    failAt = n;
    op();
    bool reached = calls >= n;
    failAt = 0;
    return reached;
  }
};

TEST_F(CAllocationFailure, QuotingAndFormattingGiveNullAndLeakNothing) {
  const std::string longText(300, 'x');  // the formatter must grow its block
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    long live = liveBlocks;
    char* quoted = nullptr;
    char* formatted = nullptr;
    bool reached = failing(n, [&] {
      quoted = kel_mbs_nopatquote("a*(b)");
      formatted = kel_mbs_sprintf("(cn=%Q)%s", "a*b", longText.c_str());
    });
    if (!reached) {
      ASSERT_STREQ(quoted, "a\\2a\\28b\\29");
      ASSERT_NE(formatted, nullptr);
      std::free(quoted);
      std::free(formatted);
      break;
    }
    // Exactly one of the two met the failing allocation and gave null.
    EXPECT_TRUE(quoted == nullptr || formatted == nullptr);
    std::free(quoted);
    std::free(formatted);
    EXPECT_EQ(liveBlocks, live);
    ASSERT_LT(n, 100);
  }
}

TEST_F(CAllocationFailure, ArrayListCopyEndsEarlyButStaysTerminated) {
  ZArrayList_7_0_0 list(4, 1);
  for (const char* t : {"one", "two", "three"}) {
    ZUTF8String_7_0_0 s(t);
    list.add(&s);
  }
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    long live = liveBlocks;
    char** out = reinterpret_cast<char**>(0x1);
    int result = -1;
    bool reached = failing(n, [&] { result = makearraylist(list, out); });
    EXPECT_EQ(result, 0);
    if (!reached) {
      ASSERT_NE(out, nullptr);
      EXPECT_STREQ(out[2], "three");
      EXPECT_EQ(out[3], nullptr);
      for (char** p = out; *p; ++p) std::free(*p);
      std::free(out);
      break;
    }
    if (n == 1) {
      EXPECT_EQ(out, nullptr);  // the array itself
    } else {
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(out[n - 2], nullptr);  // the array ends where the copy failed
      for (char** p = out; *p; ++p) std::free(*p);
      std::free(out);
    }
    EXPECT_EQ(liveBlocks, live);
    ASSERT_LT(n, 20);
  }
}

TEST_F(CAllocationFailure, KeyValueCopySkipsPairsThatCannotBeCopied) {
  ZPropertiesKVList_7_0_0 pairs;
  pairs.add("a", 1, "1", 1);
  pairs.add("bb", 2, "22", 2);
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    kvlist_s_t out = {reinterpret_cast<void*>(0x5), 99, nullptr, nullptr};
    bool reached = failing(n, [&] { makekvlist(pairs, out); });
    EXPECT_EQ(out.reserved, reinterpret_cast<void*>(0x5));
    if (n == 1 && reached) {
      EXPECT_EQ(out.items, nullptr);
      EXPECT_EQ(out.count, 0u);
      continue;
    }
    ASSERT_NE(out.items, nullptr);
    EXPECT_EQ(out.next, out.items + out.count);
    for (unsigned int i = 0; i < out.count; ++i) {
      EXPECT_EQ(out.items[i].keylen, std::strlen(out.items[i].key));
      EXPECT_EQ(out.items[i].valuelen, std::strlen(out.items[i].value));
      std::free(out.items[i].key);
      std::free(out.items[i].value);
    }
    std::free(out.items);
    if (!reached) {
      EXPECT_EQ(out.count, 2u);
      break;
    }
    EXPECT_EQ(out.count, 1u);  // the pair whose copy failed is skipped
    ASSERT_LT(n, 20);
  }
}

// Every allocation of a configuration load failing in turn: the C loader
// reports a status and never lets an exception reach its C caller.
TEST_F(CAllocationFailure, ConfigItemLoadReportsExhaustedMemoryAsAStatus) {
  ornutil_test::TempDir dir;
  std::string text = "[meta-info]\nversion = 1792\n[s]\n";
  for (int i = 0; i < 50; ++i) text += "k" + std::to_string(i) + " = value " + std::to_string(i) + "\n";
  bool reachedEnd = false;
  long n = 1;
  for (; n < 5000 && !reachedEnd; ++n) {
    SCOPED_TRACE(n);
    // A name per attempt: the registry keeps a file once it has loaded it.
    std::string file = dir.file("f" + std::to_string(n) + ".conf");
    ASSERT_TRUE(ornutil_test::writeFile(file, text));
    ZLCString_7_0_0 value;
    ZStzFileItem_7_0_0 item = {ZSTZ_ITEM_LCSTRING, "s", "k7", 0, &value, nullptr};
    unsigned int status = 1;
    reachedEnd = !failing(n, [&] { status = config_item_load(file.c_str(), &item, 1, 0); });
    EXPECT_TRUE(status == 0 || status == 0x1354a0c8u) << std::hex << status;
    if (status == 0) {
      EXPECT_STREQ(value.getChars(), "value 7");
    }
  }
  EXPECT_TRUE(reachedEnd);
  // A sanity check that the sweep reached the loader at all: a document of
  // pooled records needs a dozen or so blocks for this file.
  EXPECT_GT(n, 10) << "a load makes more allocations than that";
}

// The scrambled-string codec never hands back its input for want of memory: a
// plain text returned by util_encode would be stored as if it were
// scrambled, a scrambled one returned by util_decode taken for the secret.
TEST_F(CAllocationFailure, ScrambleCodecGivesNullNeverItsInput) {
  char* scrambled = util_encode("secret");
  ASSERT_NE(scrambled, nullptr);
  const std::string secret = scrambled;
  std::free(scrambled);
  const struct {
    const char* description;
    char* (*codec)(const char*);
    std::string text, result;
  } cases[] = {
      {"scrambling a plain text", util_encode, "secret", secret},
      {"scrambling a marked text copies it", util_encode, "~^+abc", "~^+abc"},
      {"unscrambling a scrambled text", util_decode, secret, "secret"},
      {"unscrambling a plain text copies it", util_decode, "plain", "plain"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    for (long n = 1;; ++n) {
      SCOPED_TRACE(n);
      long live = liveBlocks;
      char* result = nullptr;
      bool reached = failing(n, [&] { result = c.codec(c.text.c_str()); });
      if (reached) {
        EXPECT_EQ(result, nullptr) << "gave " << result;
      } else {
        EXPECT_STREQ(result, c.result.c_str());
      }
      std::free(result);
      EXPECT_EQ(liveBlocks, live);
      if (!reached) break;
      ASSERT_LT(n, 10);
    }
  }
}

}  // namespace
