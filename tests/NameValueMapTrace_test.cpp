// The trace text of a tree, line by line: indents, value blocks, subtrees,
// masked secrets and the per-level obfuscation flag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "util/NameValueMap.h"

namespace {

using Lines = std::vector<std::string>;

// Splits at "\n"; the text must end with one.
Lines render(const NameValueMap& map, int depth = 0, const char* start = "") {
  ZUTF8String_7_0_0 out(start);
  map.buildTraceBuf(out, depth);
  std::string text = out.getChars();
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  Lines lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
    lines.push_back(text.substr(from, at - from));
  return lines;
}

TEST(NameValueMapTrace, WorkedExample) {
  NameValueMap map;
  map.addString("a", "x");
  NameValueMap* s = map.addSubtree("s");
  s->addString("b", "y");
  s->addString("b", "z");
  EXPECT_EQ(render(map), (Lines{"\tnumber of entries = 2", "\tnum values = 1\ta = x", "\ts is a subtree",
                                "\t\tnumber of entries = 1", "\t\tnum values = 2\tb = ", "\t\t\t\ty",
                                "\t\t\t\tz"}));
}

TEST(NameValueMapTrace, AppendsAndIndentsByDepth) {
  NameValueMap empty;
  EXPECT_EQ(render(empty, 0, "prefix:"), (Lines{"prefix:\tnumber of entries = 0"}));
  NameValueMap map;
  map.addString("n", "v");
  map.addSubtree("s")->addString("c", "w");
  EXPECT_EQ(render(map, 1), (Lines{"\t\tnumber of entries = 2", "\t\tnum values = 1\tn = v", "\ts is a subtree",
                                   "\t\t\tnumber of entries = 1", "\t\t\tnum values = 1\tc = w"}));
  EXPECT_EQ(render(empty, -1), (Lines{"number of entries = 0"}));
}

TEST(NameValueMapTrace, EdgesOfOneName) {
  NameValueMap map;
  map.addSubtree("nothing");                  // no values, empty subtree
  map.addString("hidden", "v");               // values of a name with a subtree are not shown
  map.addSubtree("hidden")->addString("c", "1");
  map.addString("resourceuserid", "-signon@%null");
  map.addString("other", "-signon@%null");
  EXPECT_EQ(render(map), (Lines{"\tnumber of entries = 4", "\tnum values = 0\tnothing = ", "\thidden is a subtree",
                                "\t\tnumber of entries = 1", "\t\tnum values = 1\tc = 1",
                                "\tnum values = 1\tresourceuserid = -signon@null",
                                "\tnum values = 1\tother = -signon@%null"}));
}

TEST(NameValueMapTrace, SecretNamesAreMaskedExactly) {
  NameValueMap map;
  map.addString("password", "s1");
  map.addString("password", "s2");
  for (const char* name : {"pwd", "resourcepassword", "server_pwd"}) map.addString(name, "s3");
  map.addString("PASSWORD", "shown");
  EXPECT_EQ(render(map), (Lines{"\tnumber of entries = 5", "\tnum values = 2\tpassword = ", "\t\t\t\t******",
                                "\t\t\t\t******", "\tnum values = 1\tpwd = ******",
                                "\tnum values = 1\tresourcepassword = ******",
                                "\tnum values = 1\tserver_pwd = ******", "\tnum values = 1\tPASSWORD = shown"}));
}

struct ObfuscateCase {
  const char* description;
  const char* flag;  // value of "obfuscate", or null for none
  bool flagHasSubtree;
  bool masked;
};

class NameValueMapObfuscate : public ::testing::TestWithParam<ObfuscateCase> {};

TEST_P(NameValueMapObfuscate, MasksValueOnlyWhenTheFlagIsTrue) {
  NameValueMap map;
  if (GetParam().flag) map.addString("obfuscate", GetParam().flag);
  if (GetParam().flagHasSubtree) map.addSubtree("obfuscate")->addString("x", "1");
  map.addString("value", "secret");
  ZUTF8String_7_0_0 out;
  map.buildTraceBuf(out, 0);
  std::string text = out.getChars();
  EXPECT_EQ(text.find("value = secret") == std::string::npos, GetParam().masked) << text;
  EXPECT_EQ(text.find("value = ******") != std::string::npos, GetParam().masked) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameValueMapObfuscate,
    ::testing::Values(ObfuscateCase{"true", "true", false, true}, ObfuscateCase{"false", "false", false, false},
                      ObfuscateCase{"absent", nullptr, false, false},
                      ObfuscateCase{"upper_case_true", "TRUE", false, false},
                      ObfuscateCase{"flag_with_subtree", "true", true, false}),
    [](const ::testing::TestParamInfo<ObfuscateCase>& info) { return info.param.description; });

TEST(NameValueMapTrace, ObfuscationBelongsToOneLevel) {
  NameValueMap map;
  map.addString("obfuscate", "true");
  map.addString("value", "top");
  NameValueMap* plain = map.addSubtree("plain");
  plain->addString("value", "shown");
  NameValueMap* own = map.addSubtree("own");
  own->addString("obfuscate", "true");
  own->addString("value", "inner");
  EXPECT_EQ(render(map), (Lines{"\tnumber of entries = 4", "\tnum values = 1\tobfuscate = true",
                                "\tnum values = 1\tvalue = ******", "\tplain is a subtree",
                                "\t\tnumber of entries = 1", "\t\tnum values = 1\tvalue = shown", "\town is a subtree",
                                "\t\tnumber of entries = 2", "\t\tnum values = 1\tobfuscate = true",
                                "\t\tnum values = 1\tvalue = ******"}));
}

// The set of secret names is built once per process, on the first trace.
ORNUTIL_CHILD_TEST(NameValueMapTraceOnce, SetIsBuiltOnFirstTrace) {
  EXPECT_EQ(NameValueMap::namesNotToTrace, nullptr);
  NameValueMap map;
  ZUTF8String_7_0_0 out;
  map.buildTraceBuf(out, 0);
  ZHashMap_7_0_0* set = NameValueMap::namesNotToTrace;
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->size(), 4);
  map.buildTraceBuf(out, 0);
  EXPECT_EQ(NameValueMap::namesNotToTrace, set);
}

TEST(NameValueMapTraceOnce, InAFreshProcess) {
  std::string output;
  EXPECT_EQ(ornutil_test::runTestInChild("NameValueMapTraceOnce.SetIsBuiltOnFirstTrace", {}, &output), 0) << output;
}

}  // namespace
