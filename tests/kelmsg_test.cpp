// The message caches and kelmsg_init.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/msgcat.h"
#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"
#include "util/KelMsg.h"

namespace {

unsigned char* text(const char* t) { return reinterpret_cast<unsigned char*>(strdup(t)); }

// A cache object on its own, without the process-wide caches.
class CacheTest : public ::testing::Test {
 protected:
  ~CacheTest() override {
    for (int i = 0; i < cache.count; ++i) std::free(cache.entries[i].text);
  }
  I18NCache cache;
};

TEST_F(CacheTest, OutOfOrderIdsAreFoundAndListedInUnsignedOrder) {
  const unsigned int ids[] = {0x35e51002, 0x80000001, 7, 0xffffffff, 0x1234};
  for (unsigned int id : ids) cache.insert(id, text(std::to_string(id).c_str()));
  for (unsigned int id : ids) {
    ASSERT_NE(cache.match(id), nullptr) << id;
    EXPECT_STREQ(reinterpret_cast<char*>(cache.match(id)), std::to_string(id).c_str());
  }
  EXPECT_EQ(cache.match(8), nullptr);
  testing::internal::CaptureStdout();
  cache.dump_kel_i18n_cache();
  std::string dump = testing::internal::GetCapturedStdout();
  EXPECT_EQ(dump,
            "Cache is 1024 entries, 5 used.\n"
            "Key 7, text <7>\n"
            "Key 4660, text <4660>\n"
            "Key 904204290, text <904204290>\n"
            "Key -2147483647, text <2147483649>\n"
            "Key -1, text <4294967295>\n");
}

TEST_F(CacheTest, EmptyCacheDumpsOnlyItsHeader) {
  testing::internal::CaptureStdout();
  cache.dump_kel_i18n_cache();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cache is 0 entries, 0 used.\n");
  EXPECT_EQ(cache.match(1), nullptr);
}

TEST_F(CacheTest, GrowsByStepsOf1024KeepingEveryText) {
  for (unsigned int id = 2000; id > 975; --id) cache.insert(id, text(std::to_string(id).c_str()));
  EXPECT_EQ(cache.count, 1025);
  EXPECT_EQ(cache.capacity, 2048u);
  for (unsigned int id = 976; id <= 2000; ++id)
    ASSERT_STREQ(reinterpret_cast<char*>(cache.match(id)), std::to_string(id).c_str());
}

TEST_F(CacheTest, PlaceholderIsFormattedOnceAndCached) {
  unsigned char* p = cache.msgNotFound(0x1234);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(p), "Unknown message number (0x00001234).");
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(p)), 36u);
  EXPECT_EQ(cache.msgNotFound(0x1234), p);
  EXPECT_EQ(cache.count, 1);
}

TEST_F(CacheTest, ALongerPlaceholderFormatIsCutNotOverflowed) {
  std::string saved = i18nfailure;
  std::string longFormat(300, 'x');
  longFormat.replace(0, 6, "%lx...");
  std::snprintf(i18nfailure, sizeof i18nfailure, "%s", longFormat.c_str());
  unsigned char* p = cache.msgNotFound(0xabc);
  std::snprintf(i18nfailure, sizeof i18nfailure, "%s", saved.c_str());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(p)), 255u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p), 6), "abc...");
}

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
  EXPECT_EQ(lcpcache->count, 2);
  EXPECT_EQ(utf8cache->count, 2);
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
  for (const char* test : {"KelMsgChild.CachesAndPlaceholders", "KelMsgChild.FirstRequestCreatesBothCaches"}) {
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
