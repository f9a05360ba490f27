// The name/value tree: typed texts, setting past the end, entries that
// outlive their values, subtrees, counts and deep copies.
#include "util/NameValueMap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> valuesOf(const NameValueMap& map, const char* name) {
  std::vector<std::string> out;
  for (unsigned int i = 0; i < map.getValueCount(name); ++i) {
    const ZUTF8String_7_0_0* s = map.getString(name, i);
    out.push_back(s ? s->getChars() : "(null)");
  }
  return out;
}

std::vector<std::string> namesOf(const NameValueMap& map) {
  ZArrayList_7_0_0 names(10, 0);
  map.getNames(names);
  std::vector<std::string> out;
  for (int i = 0; i < names.size(); ++i) out.push_back(static_cast<ZAbstractString_7_0_0*>(names.get(i))->getChars());
  return out;
}

using Strings = std::vector<std::string>;

TEST(NameValueMap, TypedTextsAreAdded) {
  NameValueMap map;
  map.addString("flag", 0);
  map.addString("flag", 7);
  map.addString("number", 4294967296ul);  // 2^32: more than 32 bits
  map.addString("number", 0ul);
  map.addString("buffer", "abc", 3u);
  map.addString("buffer", "", 0u);
  map.addString("text", "plain");
  EXPECT_EQ(valuesOf(map, "flag"), (Strings{"false", "true"}));
  EXPECT_EQ(valuesOf(map, "number"), (Strings{"4294967296", "0"}));
  EXPECT_EQ(valuesOf(map, "buffer"), (Strings{"YWJj", ""}));
  EXPECT_EQ(valuesOf(map, "text"), (Strings{"plain"}));
  // Names come back in the order they were first added.
  EXPECT_EQ(namesOf(map), (Strings{"flag", "number", "buffer", "text"}));
}

struct SetCase {
  const char* description;
  Strings before;
  unsigned int index;
  Strings after;
};

class NameValueMapSet : public ::testing::TestWithParam<SetCase> {};

TEST_P(NameValueMapSet, ReplacesBelowTheCountAndAppendsOtherwise) {
  NameValueMap map;
  for (const std::string& v : GetParam().before) map.addString("n", v.c_str());
  map.setString("n", "new", GetParam().index);
  EXPECT_EQ(valuesOf(map, "n"), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Cases, NameValueMapSet,
                         ::testing::Values(SetCase{"replace_second", {"a", "b"}, 1, {"a", "new"}},
                                           SetCase{"past_the_end", {"a", "b"}, 5, {"a", "b", "new"}},
                                           SetCase{"at_the_count", {"a", "b"}, 2, {"a", "b", "new"}},
                                           SetCase{"no_values", {}, 0, {"new"}},
                                           SetCase{"huge_index", {"a"}, 0xffffffffu, {"a", "new"}}),
                         [](const ::testing::TestParamInfo<SetCase>& info) { return info.param.description; });

TEST(NameValueMap, TypedSetters) {
  NameValueMap map;
  map.addString("b", "true");
  map.setString("b", 0, 0u);
  EXPECT_EQ(valuesOf(map, "b"), (Strings{"false"}));
  map.setString("c", 0, 0u);
  EXPECT_EQ(valuesOf(map, "c"), (Strings{"false"}));
  map.setString("n", 12ul, 0u);
  map.setString("n", 0u, "first");  // the argument order of the other form
  map.setString("x", "ab", 2u, 9u);
  EXPECT_EQ(valuesOf(map, "n"), (Strings{"first"}));
  EXPECT_EQ(valuesOf(map, "x"), (Strings{"YWI="}));
}

TEST(NameValueMap, EntryOutlivesItsValues) {
  NameValueMap map;
  map.addString("n", "only");
  map.removeValue("n", 5);  // past the end: nothing
  EXPECT_EQ(map.getValueCount("n"), 1u);
  map.removeString("n", 0);
  EXPECT_EQ(map.exist("n"), 0);
  EXPECT_EQ(map.getValueCount("n"), 0u);
  EXPECT_NE(map.getValues("n"), nullptr);
  EXPECT_EQ(namesOf(map), (Strings{"n"}));
  map.removeValue("absent", 0);
  EXPECT_EQ(map.getValue("absent", 0), nullptr);
  EXPECT_EQ(map.getValues("absent"), nullptr);
  EXPECT_EQ(map.getValue("n", 0), nullptr);
  map.removeAll();
  EXPECT_TRUE(namesOf(map).empty());
}

TEST(NameValueMap, SubtreesAndExistence) {
  NameValueMap map;
  NameValueMap* sub = map.addSubtree("s");
  EXPECT_EQ(map.addSubtree("s"), sub);
  EXPECT_EQ(map.getSubtree("s"), sub);
  EXPECT_EQ(map.exist("s"), 0);  // an empty subtree and no values
  sub->addString("inner", "1");
  sub->addString("inner", "2");
  EXPECT_EQ(map.exist("s"), 1);
  EXPECT_EQ(map.getSubtreeCount("s"), 1u);
  EXPECT_EQ(map.getValueCount(), 0u);  // subtree values do not count
  map.addString("top", "t");
  EXPECT_EQ(map.getValueCount(), 1u);
  EXPECT_EQ(map.getSubtree("absent"), nullptr);
  EXPECT_EQ(map.getSubtreeCount("absent"), 0u);
  EXPECT_EQ(map.exist("absent"), 0);
  // Names are matched exactly, letter case included.
  EXPECT_EQ(map.exist("TOP"), 0);
}

TEST(NameValueMap, CopiesAreDeep) {
  NameValueMap map;
  map.addString("a", "1");
  map.addSubtree("s")->addString("b", "2");
  NameValueMap copy(map);
  ZObject_7_0_0* cloned = map.clone();
  ASSERT_NE(cloned, nullptr);
  NameValueMap assigned;
  assigned.addString("old", "x");
  assigned = map;
  NameValueMap& self = assigned;
  assigned = self;  // self-assignment keeps the content
  map.addString("a", "changed");
  map.getSubtree("s")->setString("b", "changed", 0u);
  for (const NameValueMap* m : std::vector<const NameValueMap*>{&copy, static_cast<NameValueMap*>(cloned), &assigned}) {
    EXPECT_EQ(valuesOf(*m, "a"), (Strings{"1"}));
    EXPECT_EQ(valuesOf(*m->getSubtree("s"), "b"), (Strings{"2"}));
    EXPECT_EQ(namesOf(*m), (Strings{"a", "s"}));
  }
  delete cloned;
}

// A name's first values sit in room made together with its entry; more
// values move the list to storage of its own, and copies, assignment and
// removal work the same on either side of that move.
TEST(NameValueMap, ManyValuesOfOneNameKeepTheirOrder) {
  for (int count : {1, 4, 5, 9, 40}) {
    SCOPED_TRACE(count);
    NameValueMap map;
    Strings expected;
    for (int i = 0; i < count; ++i) {
      std::string text = "value " + std::to_string(i);
      map.addString("n", text.c_str());
      expected.push_back(text);
    }
    EXPECT_EQ(valuesOf(map, "n"), expected);
    NameValueMap copy(map);
    NameValueMap assigned;
    assigned.addString("n", "replaced");
    assigned = map;
    map.removeValue("n", 0);
    expected.erase(expected.begin());
    EXPECT_EQ(valuesOf(map, "n"), expected);
    map.getValues("n")->removeAll();
    map.addString("n", "again");
    EXPECT_EQ(valuesOf(map, "n"), Strings{"again"});
    expected.insert(expected.begin(), "value 0");
    EXPECT_EQ(valuesOf(copy, "n"), expected);
    EXPECT_EQ(valuesOf(assigned, "n"), expected);
    *map.getValues("n") = *copy.getValues("n");  // list assignment over lent room
    EXPECT_EQ(valuesOf(map, "n"), expected);
  }
}

}  // namespace
