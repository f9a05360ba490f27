// The typed object's scalar values, scopes, indexes, identity and counting.
#include "KelCore/OrnObject.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/zexception.h"
#include "tests/support/invalid_parameter_raise.h"

namespace {

std::string text(ZUTF8String_7_0_0 const& s) { return std::string(s.getChars(), s.getLength()); }

// ---------------------------------------------------------------- identity

TEST(OrnObjectIdentity, NameFromConstructorAndSetters) {
  OrnObject named("abc");
  EXPECT_EQ(text(named.getName()), "abc");
  EXPECT_EQ(text(named.getStringValue("name", 0, nullptr)), "abc");
  EXPECT_EQ(named.length("name", nullptr), 1u);

  OrnObject unnamed;
  EXPECT_EQ(text(unnamed.getName()), "");
  EXPECT_EQ(text(unnamed.getDescription()), "");
  EXPECT_EQ(unnamed.exist("name", nullptr), 0);

  ZUTF8String_7_0_0 name("first"), other("second"), description("what it is");
  unnamed.setName(name);
  unnamed.setName(other);  // replaces value 0, never appends
  unnamed.setDescription(description);
  EXPECT_EQ(text(unnamed.getName()), "second");
  EXPECT_EQ(unnamed.length("name", nullptr), 1u);
  EXPECT_EQ(text(unnamed.getDescription()), "what it is");
}

TEST(OrnObjectIdentity, CopiesAreDeepAndSelfAssignmentKeepsTheTree) {
  OrnObject original("a");
  original.addStringValue("k", "v", "s");
  OrnObject copy(original);
  OrnObject assigned;
  assigned.addStringValue("gone", "x", nullptr);
  assigned = original;
  copy.setStringValue("k", "changed", 0, "s");
  assigned.addStringValue("k", "more", "s");
  EXPECT_EQ(text(original.getStringValue("k", 0, "s")), "v");
  EXPECT_EQ(original.length("k", "s"), 1u);
  EXPECT_EQ(assigned.exist("gone", nullptr), 0);

  OrnObject& self = original;
  original = self;
  EXPECT_EQ(text(original.getStringValue("k", 0, "s")), "v");
}

// ---------------------------------------------------------------- scalar conversions

struct IntegerCase {
  const char* description;
  const char* stored;     // text written with setStringValue, or null for none
  unsigned long expected;
};

class IntegerReading : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerReading, ConvertsTheStoredTextAsStrtoulDoes) {
  const IntegerCase& c = GetParam();
  OrnObject object;
  if (c.stored) object.setStringValue("n", c.stored, 0, nullptr);
  EXPECT_EQ(object.integerValue("n", 0, nullptr), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntegerReading,
    ::testing::Values(IntegerCase{"digits", "42", 42}, IntegerCase{"largest unsigned int", "4294967295", 4294967295ul},
                      IntegerCase{"above 32 bits", "4294967296", 4294967296ul},
                      IntegerCase{"trailing letters", "12abc", 12}, IntegerCase{"no digits", "abc", 0},
                      IntegerCase{"leading blanks", "  7", 7}, IntegerCase{"empty", "", 0},
                      IntegerCase{"absent", nullptr, 0}, IntegerCase{"boolean text", "true", 0}),
    [](const ::testing::TestParamInfo<IntegerCase>& info) {
      std::string name = info.param.description;
      for (char& ch : name)
        if (ch == ' ') ch = '_';
      return name;
    });

TEST(OrnObjectScalars, IntegersAreStoredInDecimal) {
  OrnObject object;
  object.setIntegerValue("n", 4294967295u, 0, nullptr);
  object.addIntegerValue("n", 0, nullptr);
  object.addIntegerValue("n", 10, nullptr);
  EXPECT_EQ(text(object.getStringValue("n", 0, nullptr)), "4294967295");
  EXPECT_EQ(object.integerValue("n", 0, nullptr), 4294967295ul);
  EXPECT_EQ(text(object.getStringValue("n", 1, nullptr)), "0");
  EXPECT_EQ(text(object.getStringValue("n", 2, nullptr)), "10");
}

struct BooleanCase {
  const char* description;
  const char* stored;
  unsigned int expected;
};

class BooleanReading : public ::testing::TestWithParam<BooleanCase> {};

TEST_P(BooleanReading, OnlyTheExactTextTrueIsTrue) {
  const BooleanCase& c = GetParam();
  OrnObject object;
  if (c.stored) object.addStringValue("b", c.stored, nullptr);
  EXPECT_EQ(object.booleanValue("b", 0, nullptr), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, BooleanReading,
                         ::testing::Values(BooleanCase{"true", "true", 1}, BooleanCase{"false", "false", 0},
                                           BooleanCase{"upper", "TRUE", 0}, BooleanCase{"one", "1", 0},
                                           BooleanCase{"longer", "truex", 0}, BooleanCase{"absent", nullptr, 0}),
                         [](const ::testing::TestParamInfo<BooleanCase>& info) {
                           return std::string(info.param.description);
                         });

TEST(OrnObjectScalars, BooleansAreStoredAsWordsAndSetReplaces) {
  OrnObject object;
  object.setBooleanValue("b", 7, 0, nullptr);
  EXPECT_EQ(text(object.getStringValue("b", 0, nullptr)), "true");
  object.setBooleanValue("b", 0, 0, nullptr);
  EXPECT_EQ(text(object.getStringValue("b", 0, nullptr)), "false");
  EXPECT_EQ(object.length("b", nullptr), 1u);
  object.addBooleanValue("b", 0xffffffffu, nullptr);
  EXPECT_EQ(object.booleanValue("b", 1, nullptr), 1u);
}

TEST(OrnObjectScalars, BuffersRoundTripThroughBase64) {
  OrnObject object;
  object.setBufferValue("buf", "abc", 3, 0, nullptr);
  EXPECT_EQ(text(object.getStringValue("buf", 0, nullptr)), "YWJj");

  unsigned char all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  object.addBufferValue("buf", reinterpret_cast<const char*>(all), sizeof all, nullptr);

  char* data = nullptr;
  unsigned long length = 99;
  object.bufferValue("buf", data, length, 0, nullptr);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(std::memcmp(data, "abc", 3), 0);
  std::free(data);

  object.bufferValue("buf", data, length, 1, nullptr);
  ASSERT_EQ(length, 256u);
  EXPECT_EQ(std::memcmp(data, all, 256), 0);
  std::free(data);

  data = reinterpret_cast<char*>(&length);  // must be overwritten
  object.bufferValue("absent", data, length, 0, nullptr);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0u);
}

TEST(OrnObjectScalars, AValueWrittenAsOneTypeReadsAsAnother) {
  OrnObject object;
  object.addIntegerValue("n", 256, nullptr);
  EXPECT_EQ(text(object.getStringValue("n", 0, nullptr)), "256");
  object.addStringValue("s", "17", nullptr);
  EXPECT_EQ(object.integerValue("s", 0, nullptr), 17u);
}

// ---------------------------------------------------------------- indexes

TEST(OrnObjectIndexes, SettingPastTheEndAppends) {
  OrnObject object;
  object.setStringValue("k", "first", 5, nullptr);
  EXPECT_EQ(object.length("k", nullptr), 1u);
  EXPECT_EQ(text(object.getStringValue("k", 0, nullptr)), "first");
  object.setStringValue("k", "second", 1, nullptr);
  object.setStringValue("k", "replaced", 0, nullptr);
  EXPECT_EQ(text(object.getStringValue("k", 0, nullptr)), "replaced");
  EXPECT_EQ(text(object.getStringValue("k", 1, nullptr)), "second");
  EXPECT_EQ(text(object.getStringValue("k", 2, nullptr)), "");
  EXPECT_EQ(text(object.getStringValue("k", 0xffffffffu, nullptr)), "");
}

TEST(OrnObjectIndexes, DeletingAValueClosesTheGap) {
  OrnObject object;
  object.addStringValue("k", "a", nullptr).addStringValue("k", "b", nullptr).addStringValue("k", "c", nullptr);
  object.deleteValue("k", 1, nullptr);
  EXPECT_EQ(object.length("k", nullptr), 2u);
  EXPECT_EQ(text(object.getStringValue("k", 0, nullptr)), "a");
  EXPECT_EQ(text(object.getStringValue("k", 1, nullptr)), "c");
  object.deleteName("k", 0, nullptr);  // the indexed form removes one value
  EXPECT_EQ(text(object.getStringValue("k", 0, nullptr)), "c");
  object.deleteValue("k", 7, nullptr);
  EXPECT_EQ(object.length("k", nullptr), 1u);
}

TEST(OrnObjectIndexes, DeleteNameRemovesAllValuesButKeepsTheSubtree) {
  OrnObject object;
  object.addStringValue("k", "a", nullptr).addStringValue("k", "b", nullptr);
  object.deleteName("k", nullptr);
  EXPECT_EQ(object.length("k", nullptr), 0u);
  EXPECT_EQ(object.exist("k", nullptr), 0);

  // "k" as a scope holds a name, so "k" still exists at the root.
  object.addStringValue("k", "a", nullptr).addStringValue("inner", "x", "k");
  object.deleteName("k", nullptr);
  EXPECT_EQ(object.length("k", nullptr), 0u);
  EXPECT_EQ(object.exist("k", nullptr), 1);
  EXPECT_EQ(text(object.getStringValue("inner", 0, "k")), "x");
}

// ---------------------------------------------------------------- scopes

TEST(OrnObjectScopes, AScopedWriteMakesTheSubtreeAndStaysInIt) {
  OrnObject object;
  object.addStringValue("k", "root", nullptr);
  object.addStringValue("k", "one", "s").addStringValue("k", "two", "s");
  EXPECT_EQ(object.exist("s", nullptr), 1);
  EXPECT_EQ(object.length("k", "s"), 2u);
  EXPECT_EQ(object.length("k", nullptr), 1u);
  EXPECT_EQ(object.length(), 1u);  // root values only
  EXPECT_EQ(text(object.getStringValue("k", 1, "s")), "two");
  EXPECT_EQ(object.exist("k", "s"), 1);
}

TEST(OrnObjectScopes, AScopeIsOneNameNotAPath) {
  OrnObject object;
  object.addStringValue("k", "v", "a");
  EXPECT_EQ(object.length("k", "a/b"), 0u);
  object.addStringValue("k", "w", "a/b");
  EXPECT_EQ(object.exist("a/b", nullptr), 1);
  EXPECT_EQ(object.length("k", "a"), 1u);
}

TEST(OrnObjectScopes, ReadersAndDeletersNeverCreateTheScope) {
  OrnObject object;
  object.getStringValue("k", 0, "missing");
  object.integerValue("k", 0, "missing");
  object.booleanValue("k", 0, "missing");
  char* data = nullptr;
  unsigned long length = 0;
  object.bufferValue("k", data, length, 0, "missing");
  object.deleteValue("k", 0, "missing");
  object.deleteName("k", 0, "missing");
  object.deleteName("k", "missing");
  EXPECT_EQ(object.length("k", "missing"), 0u);
  EXPECT_EQ(object.exist("k", "missing"), 0);

  // Had any of them made "missing", the encoding would carry it.
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 1;
  object.encode(buffer, status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(buffer.length, 2u);  // the empty list
  orn_asn_buffer_free(&buffer);
}

// ---------------------------------------------------------------- null arguments

TEST(OrnObjectNullArguments, WritersIgnoreANullNameAndReadersGiveTheAbsentResult) {
  OrnObject object;
  object.setStringValue(nullptr, "v", 0, nullptr)
      .setIntegerValue(nullptr, 1, 0, "s")
      .setBooleanValue(nullptr, 1, 0, nullptr)
      .setBufferValue(nullptr, "x", 1, 0, nullptr)
      .addStringValue(nullptr, "v", "s")
      .addIntegerValue(nullptr, 1, nullptr)
      .addBooleanValue(nullptr, 1, nullptr)
      .addBufferValue(nullptr, "x", 1, nullptr);
  EXPECT_EQ(object.length(), 0u);
  EXPECT_EQ(object.exist("s", nullptr), 0);  // not even the scope was made
  EXPECT_EQ(text(object.getStringValue(nullptr, 0, nullptr)), "");
  EXPECT_EQ(object.length(nullptr, nullptr), 0u);
  object.deleteName(nullptr, nullptr);
  object.deleteValue(nullptr, 0, nullptr);
}

TEST(OrnObjectNullArguments, TheSharedEmptyStringIsOneObject) {
  OrnObject a, b;
  EXPECT_EQ(&a.getStringValue("x", 0, nullptr), &b.getStringValue(nullptr, 3, "s"));
  EXPECT_TRUE(a.getStringValue("x", 0, nullptr).isEmpty());
}

TEST(OrnObjectNullArguments, ExistWithANullNameRaisesFromItsKnownLine) {
  OrnObject object;
  ornutil_test::RaiseSeen seen = ornutil_test::captureInvalidParameterRaise([&] { object.exist(nullptr, nullptr); });
  ASSERT_TRUE(seen.raised);
  EXPECT_EQ(seen.file, "KelCore/OrnObject");
  EXPECT_EQ(seen.line, 1008);
  ASSERT_EQ(seen.traces.size(), 1u);
  EXPECT_EQ(seen.traces[0].severity, "DEBUG9");
  EXPECT_EQ(seen.traces[0].handle, "orn.ras");
  EXPECT_EQ(seen.traces[0].subcomponent, 3u);
  EXPECT_EQ(seen.traces[0].file, "KelCore/OrnObject");
  EXPECT_EQ(seen.traces[0].line, 1007);
  EXPECT_EQ(seen.traces[0].text, "ZInvalidParameterException Exception thrown. ");
}

TEST(OrnObjectNullArguments, ExistRaisesWithoutTraceBelowLevelNine) {
  OrnObject object;
  ornutil_test::LogCapture capture;
  orn_svc_set_debug_level(orn_ras_svc_handle, 3, 8);
  EXPECT_THROW(object.exist(nullptr, "s"), ZInvalidParameterException_7_0_0);
  orn_svc_set_debug_level(orn_ras_svc_handle, 3, 0);
  EXPECT_TRUE(capture.records().empty());
}

}  // namespace
