// Attribute lists: order by upper-cased name, one entry per name in any
// case, exact array sizes, the value types and their copies, failures that
// leave the list as it was, deep copies and release.
#include "KelCore/attrlist.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/zexception.h"
#include "util/NameValueMap.h"

namespace {

value_s_t stringValue(const char* text) { return value_s_t{ATTR_VALUE_STRING, const_cast<char*>(text), 0, nullptr}; }

value_s_t bytesValue(unsigned int type, const unsigned char* bytes, unsigned int length) {
  return value_s_t{type, nullptr, length, const_cast<unsigned char*>(bytes)};
}

// A list on the stack, released at the end of the test.
struct List {
  attrlist_s_t list{0, nullptr};
  ~List() {
    for (unsigned int i = 0; i < list.num_entries; ++i) attr_free(&list.entries[i]);
    std::free(list.entries);
  }
  void add(const char* name, const char* text) {
    value_s_t v = stringValue(text);
    attrlist_add_entry(&list, const_cast<char*>(name), &v);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (unsigned int i = 0; i < list.num_entries; ++i) out.push_back(list.entries[i].name);
    return out;
  }
};

struct OrderCase {
  const char* description;
  std::vector<const char*> added;
  std::vector<std::string> expected;
};

class AttrlistOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(AttrlistOrder, EntriesFollowUpperCasedByteOrder) {
  List l;
  for (const char* name : GetParam().added) l.add(name, "v");
  EXPECT_EQ(l.names(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AttrlistOrder,
    ::testing::Values(
        OrderCase{"descending", {"c", "b", "a"}, {"a", "b", "c"}},
        // Lower case letters sort with their upper-case forms, not after 'Z'.
        OrderCase{"lower_with_upper", {"Zeta", "beta", "Alpha", "Beta2"}, {"Alpha", "beta", "Beta2", "Zeta"}},
        // '_' (0x5f) lies between 'Z' and 'a': after upper-casing it sorts after letters.
        OrderCase{"underscore_after_letters", {"a_b", "aZ", "ab"}, {"ab", "aZ", "a_b"}},
        OrderCase{"prefix_first", {"abc", "ab", "a"}, {"a", "ab", "abc"}},
        OrderCase{"same_name_other_case", {"Name", "NAME", "name"}, {"Name"}},
        // Bytes above 0x7f compare unsigned and are not case-mapped.
        OrderCase{"high_bytes_last", {"\xc3\xa9t\xc3\xa9", "zz", "\xc3\x89T\xc3\x89"},
                  {"zz", "\xc3\x89T\xc3\x89", "\xc3\xa9t\xc3\xa9"}}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return info.param.description; });

TEST(Attrlist, SameNameInOtherCaseJoinsTheFirstSpelling) {
  List l;
  l.add("Mail", "one");
  l.add("MAIL", "two");
  ASSERT_EQ(l.list.num_entries, 1u);
  const attr_s_t& a = l.list.entries[0];
  EXPECT_STREQ(a.name, "Mail");
  ASSERT_EQ(a.num_values, 2u);
  EXPECT_STREQ(a.values[0].str, "one");
  EXPECT_STREQ(a.values[1].str, "two");
  for (const char* probe : {"mail", "MAIL", "mAiL"}) EXPECT_EQ(attrlist_find_entry(&l.list, probe), 0u) << probe;
  EXPECT_EQ(attrlist_find_entry(&l.list, "mai"), 1u);
  EXPECT_EQ(attrlist_find_entry(&l.list, "mails"), 1u);
}

TEST(Attrlist, FindOnEmptyListReturnsZero) {
  attrlist_s_t empty{0, nullptr};
  EXPECT_EQ(attrlist_find_entry(&empty, "x"), 0u);
}

TEST(Attrlist, ValuesAreCopiedByType) {
  List l;
  const unsigned char bytes[] = {0, 1, 2, 0xff};
  const unsigned char number[] = {0, 0, 1, 0};
  value_s_t values[] = {stringValue("text"), bytesValue(ATTR_VALUE_BUFFER, bytes, 4),
                        bytesValue(ATTR_VALUE_UINT32, number, 4), bytesValue(7, bytes, 2),
                        bytesValue(ATTR_VALUE_POBJ, bytes, 3)};
  for (value_s_t& v : values) attrlist_add_entry(&l.list, const_cast<char*>("a"), &v);
  const attr_s_t& a = l.list.entries[0];
  ASSERT_EQ(a.num_values, 5u);
  for (unsigned int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const value_s_t& got = a.values[i];
    EXPECT_EQ(got.type, values[i].type);
    EXPECT_EQ(got.length, values[i].length);
    if (values[i].str) {
      EXPECT_STREQ(got.str, values[i].str);
      EXPECT_NE(got.str, values[i].str);
    } else {
      EXPECT_EQ(got.str, nullptr);
    }
    if (values[i].length) {
      ASSERT_NE(got.data, nullptr);
      EXPECT_NE(got.data, values[i].data);
      EXPECT_EQ(std::memcmp(got.data, values[i].data, values[i].length), 0);
    } else {
      EXPECT_EQ(got.data, nullptr);
    }
  }
}

struct RefusedCase {
  const char* description;
  value_s_t value;
};

class AttrlistRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(AttrlistRefused, ValueWithoutStringOrDataThrowsAndChangesNothing) {
  List l;
  l.add("a", "kept");
  value_s_t v = GetParam().value;
  // On an existing entry: the attribute keeps its one value.
  EXPECT_THROW(attrlist_add_entry(&l.list, const_cast<char*>("A"), &v), ZOutOfMemoryException_7_0_0);
  ASSERT_EQ(l.list.num_entries, 1u);
  EXPECT_EQ(l.list.entries[0].num_values, 1u);
  // As the first value of a new entry: no entry is made.
  EXPECT_THROW(attrlist_add_entry(&l.list, const_cast<char*>("b"), &v), ZOutOfMemoryException_7_0_0);
  EXPECT_EQ(l.list.num_entries, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AttrlistRefused,
    ::testing::Values(RefusedCase{"string_without_text", {ATTR_VALUE_STRING, nullptr, 0, nullptr}},
                      RefusedCase{"empty_buffer", {ATTR_VALUE_BUFFER, nullptr, 0, nullptr}},
                      RefusedCase{"length_without_data", {ATTR_VALUE_BUFFER, nullptr, 5, nullptr}},
                      RefusedCase{"empty_object", {ATTR_VALUE_POBJ, nullptr, 0, nullptr}}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.description; });

TEST(Attrlist, OutOfMemoryCarriesTheModuleAndLine) {
  attr_s_t a{nullptr, 0, nullptr};
  value_s_t v{ATTR_VALUE_STRING, nullptr, 0, nullptr};
  try {
    attrlist_add_value(&a, &v);
    FAIL() << "no exception";
  } catch (const ZOutOfMemoryException_7_0_0& e) {
    EXPECT_STREQ(e.getFile(), "KelCore/attrlist");
    EXPECT_GT(e.getLine(), 0);
  }
  EXPECT_EQ(a.num_values, 0u);
  EXPECT_EQ(a.values, nullptr);
}

TEST(Attrlist, DeleteValueKeepsOrderAndExactSize) {
  List l;
  for (const char* t : {"v0", "v1", "v2"}) l.add("a", t);
  attr_s_t& a = l.list.entries[0];
  attrlist_del_value(&a, 3);  // past the end: nothing
  ASSERT_EQ(a.num_values, 3u);
  attrlist_del_value(&a, 1);
  ASSERT_EQ(a.num_values, 2u);
  EXPECT_STREQ(a.values[0].str, "v0");
  EXPECT_STREQ(a.values[1].str, "v2");
  attrlist_del_value(&a, 0);
  attrlist_del_value(&a, 0);
  EXPECT_EQ(a.num_values, 0u);
  EXPECT_EQ(a.values, nullptr);
  EXPECT_EQ(l.list.num_entries, 1u);  // the entry stays
}

TEST(Attrlist, EncodedObjectsAreCopiedAndReleasedAsBuffers) {
  List l;
  const unsigned char der[] = {0x30, 0x00};
  value_s_t v = bytesValue(ATTR_VALUE_POBJ, der, 2);
  attrlist_add_entry(&l.list, const_cast<char*>("obj"), &v);
  value_s_t target{ATTR_VALUE_POBJ, nullptr, 2, nullptr};
  attrlist_copy_value_pobj(&l.list.entries[0].values[0], &target);
  ASSERT_NE(target.data, nullptr);
  EXPECT_EQ(std::memcmp(target.data, der, 2), 0);
  EXPECT_EQ(target.length, 2u);
  attr_free_value_pobj(target);
  attrlist_del_value(&l.list.entries[0], 0);  // leak-checked under ASan
}

TEST(Attrlist, DupIsDeepAndDeleteClearsThePointer) {
  List l;
  const unsigned char bytes[] = {9, 8, 7};
  l.add("b", "x");
  l.add("a", "y");
  value_s_t buffer = bytesValue(ATTR_VALUE_BUFFER, bytes, 3);
  attrlist_add_entry(&l.list, const_cast<char*>("a"), &buffer);
  attr_s_t& b = l.list.entries[1];
  attrlist_del_value(&b, 0);  // an entry without values

  attrlist_s_t* copy = attrlist_dup(&l.list);
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(copy->num_entries, 2u);
  EXPECT_NE(copy->entries, l.list.entries);
  EXPECT_STREQ(copy->entries[0].name, "a");
  ASSERT_EQ(copy->entries[0].num_values, 2u);
  EXPECT_STREQ(copy->entries[0].values[0].str, "y");
  EXPECT_NE(copy->entries[0].values[0].str, l.list.entries[0].values[0].str);
  EXPECT_EQ(std::memcmp(copy->entries[0].values[1].data, bytes, 3), 0);
  EXPECT_EQ(copy->entries[1].num_values, 0u);
  EXPECT_EQ(copy->entries[1].values, nullptr);
  attrlist_delete(&copy);
  EXPECT_EQ(copy, nullptr);

  attrlist_s_t empty{0, nullptr};
  attrlist_s_t* emptyCopy = attrlist_dup(&empty);
  ASSERT_NE(emptyCopy, nullptr);
  EXPECT_EQ(emptyCopy->num_entries, 0u);
  EXPECT_EQ(emptyCopy->entries, nullptr);
  attrlist_delete(&emptyCopy);
  EXPECT_EQ(attrlist_dup(nullptr), nullptr);
}

TEST(Attrlist, LocStrdup) {
  EXPECT_EQ(loc_strdup(nullptr), nullptr);
  char* copy = loc_strdup("abc");
  EXPECT_STREQ(copy, "abc");
  std::free(copy);
}

// ---------------------------------------------------------------- a tree flattened into a list

// A subtree's name and its names are joined without a separator. Places in
// the tree whose joined names meet in one attribute would mix their values:
// such a tree is refused before anything is added. Rows: each "a/b=v" puts
// the value v under b in a's subtree.
struct FlattenCase {
  const char* description;
  std::vector<std::pair<std::vector<const char*>, const char*>> values;
  const char* expected;  // names and values, or "refused"
};

class AttrlistFromTree : public ::testing::TestWithParam<FlattenCase> {};

void PrintTo(const FlattenCase& c, std::ostream* os) { *os << c.description; }

TEST_P(AttrlistFromTree, JoinedNamesThatMeetAreRefused) {
  const FlattenCase& c = GetParam();
  NameValueMap map;
  for (const auto& row : c.values) {
    NameValueMap* level = &map;
    for (std::size_t i = 0; i + 1 < row.first.size(); ++i) level = level->addSubtree(row.first[i]);
    level->addString(row.first.back(), row.second);
  }
  List out;
  out.add("held", "0");
  std::string got;
  try {
    map.toAttrlist(out.list);
    for (unsigned int i = 0; i < out.list.num_entries; ++i) {
      got += out.list.entries[i].name;
      for (unsigned int j = 0; j < out.list.entries[i].num_values; ++j)
        got += std::string(j ? "," : "=") + out.list.entries[i].values[j].str;
      got += " ";
    }
  } catch (const ZInvalidParameterException_7_0_0& e) {
    got = "refused";
    EXPECT_EQ(std::string(e.getFile()), "util/NameValueMap");
    EXPECT_EQ(out.names(), (std::vector<std::string>{"held"}));
    EXPECT_EQ(out.list.entries[0].num_values, 1u);
  }
  EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, AttrlistFromTree,
    ::testing::Values(
        FlattenCase{"SubtreeNamesAreJoined", {{{"a"}, "1"}, {{"a", "b"}, "2"}}, "a=1 ab=2 held=0 "},
        FlattenCase{"ANameBesideTheJoinedOne", {{{"ab"}, "1"}, {{"a", "b"}, "2"}}, "refused"},
        FlattenCase{"JoinedAtOtherPlaces", {{{"x", "yz"}, "1"}, {{"xy", "z"}, "2"}}, "refused"},
        FlattenCase{"MeetingOnlyAfterUpperCasing", {{{"aB"}, "1"}, {{"a", "b"}, "2"}}, "refused"},
        FlattenCase{"LetterCaseAloneMergesAsTheListDoes", {{{"s", "a"}, "1"}, {{"S", "A"}, "2"}}, "held=0 sa=1,2 "},
        FlattenCase{"APlaceWithoutValuesMeetsNothing", {{{"a", "b", "c"}, "1"}, {{"ab", "x"}, "2"}}, "abc=1 abx=2 held=0 "}),
    [](const ::testing::TestParamInfo<FlattenCase>& info) { return std::string(info.param.description); });

}  // namespace
