// The configuration item loader and the copies of foundation lists into C
// records.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/zarraylist.h"
#include "foundation/zproperties.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "util/cfgfile.h"

using ornutil_test::LogCapture;
using ornutil_test::TempDir;

namespace {

// C callers rely on these layouts.
static_assert(offsetof(ZStzFileItem_7_0_0, stanza) == 8 && offsetof(ZStzFileItem_7_0_0, key) == 16 &&
                  offsetof(ZStzFileItem_7_0_0, reserved1) == 24 &&
                  offsetof(ZStzFileItem_7_0_0, destination) == 32 &&
                  offsetof(ZStzFileItem_7_0_0, reserved2) == 40 && sizeof(ZStzFileItem_7_0_0) == 48,
              "ZStzFileItem_7_0_0 layout");
static_assert(offsetof(kvlist_s_t, count) == 8 && offsetof(kvlist_s_t, items) == 16 &&
                  offsetof(kvlist_s_t, next) == 24,
              "kvlist_s_t layout");
static_assert(offsetof(kv_s_t, value) == 8 && offsetof(kv_s_t, keylen) == 16 && offsetof(kv_s_t, valuelen) == 20 &&
                  sizeof(kv_s_t) == 24,
              "kv_s_t layout");

ZStzFileItem_7_0_0 item(const char* stanza, const char* key, ZLCString_7_0_0* destination) {
  return ZStzFileItem_7_0_0{ZSTZ_ITEM_LCSTRING, stanza, key, 0, destination, nullptr};
}

// ---------------------------------------------------------------- config_item_load

TEST(ConfigItemLoad, FillsTheItemsAndMigratesTheFile) {
  TempDir dir;
  std::string path = dir.file("opt/BrenmoorWarden/etc/orn.conf");
  ASSERT_TRUE(ornutil_test::writeFile(path, "[ssl]\nssl-enable-fips = yes\n[rte]\ndata-path = /srv/orn\n"));
  ZLCString_7_0_0 compliance("sentinel"), dataPath("sentinel"), absent("sentinel");
  ZStzFileItem_7_0_0 items[] = {item("ssl", "ssl-compliance", &compliance), item("rte", "data-path", &dataPath),
                                item("rte", "nothing", &absent)};
  LogCapture log;
  EXPECT_EQ(config_item_load(path.c_str(), items, 3, 0), 0u);
  EXPECT_STREQ(compliance.getChars(), "fips");  // written by the migration
  EXPECT_STREQ(dataPath.getChars(), "/srv/orn");
  EXPECT_STREQ(absent.getChars(), "");
  EXPECT_TRUE(log.records().empty());
  EXPECT_NE(ornutil_test::readFile(path).find("version = 1792"), std::string::npos);
}

TEST(ConfigItemLoad, CountZeroLoadsAndMigratesButFillsNothing) {
  TempDir dir;
  std::string path = dir.file("etc/zero.conf");
  ASSERT_TRUE(ornutil_test::writeFile(path, "[a]\nk = v\n"));
  ZLCString_7_0_0 untouched("sentinel");
  ZStzFileItem_7_0_0 items[] = {item("a", "k", &untouched)};
  EXPECT_EQ(config_item_load(path.c_str(), items, 0, 0), 0u);
  EXPECT_STREQ(untouched.getChars(), "sentinel");
  EXPECT_NE(ornutil_test::readFile(path).find("[meta-info]"), std::string::npos);
}

TEST(ConfigItemLoad, AMissingFileWithTheMissingOkFlagReadsAsEmpty) {
  TempDir dir;
  std::string path = dir.file("etc/absent.conf");
  ZLCString_7_0_0 v("sentinel");
  ZStzFileItem_7_0_0 items[] = {item("a", "k", &v)};
  EXPECT_EQ(config_item_load(path.c_str(), items, 1, ZPROPERTIES_MISSING_OK), 0u);
  EXPECT_STREQ(v.getChars(), "");
  EXPECT_EQ(ornutil_test::readFile(path), "") << "nothing is written for a missing file";
}

struct FailureRow {
  const char* description;
  const char* text;  // null: no file
  bool badItem;
  unsigned int status;
  unsigned int message;
};

TEST(ConfigItemLoad, FoundationFailuresBecomeStatusCodes) {
  const FailureRow rows[] = {
      {"invalid data", "[a]\nk = v\nnot an entry\n", false, 0x1354a0ca, 0x1354a0c3},
      {"missing file", nullptr, false, 0x1354a0c8, 0x1354a09a},
      {"unsupported item after a good one", "[a]\nk = v\n", true, 0x1354a0c8, 0x1354a09a},
  };
  for (const FailureRow& r : rows) {
    SCOPED_TRACE(r.description);
    TempDir dir;
    std::string path = dir.file("etc/fail.conf");
    if (r.text) {
      ASSERT_TRUE(ornutil_test::writeFile(path, r.text));
    }
    ZLCString_7_0_0 first("sentinel"), second("sentinel");
    ZStzFileItem_7_0_0 items[] = {item("a", "k", &first), item("a", "k", &second)};
    if (r.badItem) items[1].kind = 7;
    LogCapture log;
    unsigned int status = 0;
    EXPECT_NO_THROW(status = config_item_load(path.c_str(), items, 2, 0));
    EXPECT_EQ(status, r.status);
    auto records = log.withId(r.message);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].handle, "kel.core");
    EXPECT_EQ(records[0].severity, "ERROR");
    EXPECT_EQ(records[0].file, "util/cfgfile");
    EXPECT_NE(records[0].text.find(path), std::string::npos) << records[0].text;
    if (r.message == 0x1354a09a) {
      EXPECT_NE(records[0].text.find("(reason 1)"), std::string::npos) << records[0].text;
    }
    // The exception reported itself too.
    EXPECT_GE(log.records().size(), 2u);
    // Items filled before the failure stay filled.
    EXPECT_STREQ(first.getChars(), r.badItem ? "v" : "sentinel");
    EXPECT_STREQ(second.getChars(), "sentinel");
  }
}

TEST(ConfigItemLoad, AFileThatFailedToLoadIsTriedAgain) {
  TempDir dir;
  std::string path = dir.file("etc/later.conf");
  ZLCString_7_0_0 v;
  ZStzFileItem_7_0_0 items[] = {item("a", "k", &v)};
  {
    LogCapture quiet;
    EXPECT_EQ(config_item_load(path.c_str(), items, 1, 0), 0x1354a0c8u);
  }
  ASSERT_TRUE(ornutil_test::writeFile(path, "[meta-info]\nversion = 1792\n[a]\nk = now\n"));
  EXPECT_EQ(config_item_load(path.c_str(), items, 1, 0), 0u);
  EXPECT_STREQ(v.getChars(), "now");
}

// The debug traces of both catch rows (debug levels are read once per
// process).
ORNUTIL_CHILD_TEST(ConfigItemLoad, CatchTracesInChild) {
  TempDir dir;
  std::string bad = dir.file("etc/bad.conf"), missing = dir.file("etc/missing.conf");
  ASSERT_TRUE(ornutil_test::writeFile(bad, "junk\n"));
  LogCapture log;
  EXPECT_EQ(config_item_load(bad.c_str(), nullptr, 0, 0), 0x1354a0cau);
  EXPECT_EQ(config_item_load(missing.c_str(), nullptr, 0, 0), 0x1354a0c8u);
  std::vector<std::string> traces;
  for (const auto& r : log.records())
    if (r.handle == "orn.ras" && r.subcomponent == 3 && r.severity == "DEBUG9") traces.push_back(r.text);
  EXPECT_EQ(traces, (std::vector<std::string>{"ZPropertiesInvalidDataException Exception caught. ",
                                              "ZException Exception caught. "}));
}

TEST(ConfigItemLoad, CatchTraces) {
  if (ornutil_test::inChild()) GTEST_SKIP();
  std::string output;
  EXPECT_EQ(ornutil_test::runTestInChild("ConfigItemLoad.CatchTracesInChild", {{"ORN_SVC_DEBUG", "orn.ras:3.9"}},
                                         &output),
            0)
      << output;
}

// ---------------------------------------------------------------- makearraylist

void freeArray(char** a) {
  for (char** p = a; p && *p; ++p) std::free(*p);
  std::free(a);
}

TEST(MakeArrayList, EmptyListGivesOnlyTheTerminator) {
  ZArrayList_7_0_0 list(10, 1);
  char** out = reinterpret_cast<char**>(0x1);
  EXPECT_EQ(makearraylist(list, out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out[0], nullptr);
  freeArray(out);
}

TEST(MakeArrayList, CopiesEveryStringInOrder) {
  ZArrayList_7_0_0 list(2, 1);  // grows while filled
  ZLCString_7_0_0 a("alpha");
  ZUTF8String_7_0_0 b("");
  ZLCString_7_0_0 c("gr\xc3\xbc\xc3\x9f");
  list.add(&a);
  list.add(&b);
  list.add(&c);
  char** out = nullptr;
  EXPECT_EQ(makearraylist(list, out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out[0], "alpha");
  EXPECT_STREQ(out[1], "");
  EXPECT_STREQ(out[2], "gr\xc3\xbc\xc3\x9f");
  EXPECT_EQ(out[3], nullptr);
  EXPECT_NE(out[0], a.getChars()) << "a copy, not the list's text";
  freeArray(out);
}

// ---------------------------------------------------------------- makekvlist

TEST(MakeKvList, EmptyListLeavesNextAndTheFirstFieldAlone) {
  ZPropertiesKVList_7_0_0 list;
  kv_s_t spare;
  kvlist_s_t out;
  out.reserved = &spare;
  out.count = 99;
  out.items = &spare;
  out.next = &spare;
  EXPECT_EQ(makekvlist(list, out), 0);
  EXPECT_EQ(out.items, nullptr);
  EXPECT_EQ(out.count, 0u);
  EXPECT_EQ(out.next, &spare);
  EXPECT_EQ(out.reserved, &spare);
}

TEST(MakeKvList, CopiesPairsWithTheirLengths) {
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText("[s]\nk = one\nlonger-key =\nk = three \xc3\xa9\n", "x");
  ZPropertiesKVList_7_0_0 list;
  p.getStanza("s", list);
  kvlist_s_t out;
  out.reserved = &out;
  EXPECT_EQ(makekvlist(list, out), 0);
  ASSERT_EQ(out.count, 3u);
  ASSERT_NE(out.items, nullptr);
  EXPECT_EQ(out.next, out.items + 3);
  EXPECT_EQ(out.reserved, &out);
  const char* keys[] = {"k", "longer-key", "k"};
  const char* values[] = {"one", "", "three \xc3\xa9"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(out.items[i].key, keys[i]);
    EXPECT_STREQ(out.items[i].value, values[i]);
    EXPECT_EQ(out.items[i].keylen, std::strlen(keys[i]));
    EXPECT_EQ(out.items[i].valuelen, std::strlen(values[i]));
    EXPECT_NE(out.items[i].key, list.getItemKey(i));
    std::free(out.items[i].key);
    std::free(out.items[i].value);
  }
  std::free(out.items);
}

}  // namespace
