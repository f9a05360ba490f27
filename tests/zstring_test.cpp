// The string classes: text equality and hashing across classes, ownership,
// upper-casing, appends.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/zstring.h"

namespace {

TEST(ZString, EqualTextsAreEqualAndHashEquallyInEveryClass) {
  const char text[] = "/opt/BrenmoorWarden/etc/orn.conf";
  ZLCString_7_0_0 lc(text);
  ZUTF8String_7_0_0 utf8(text);
  ZLCConstString_7_0_0 lcView(text);
  ZUTF8ConstString_7_0_0 utf8View(text);
  const ZAbstractString_7_0_0* all[] = {&lc, &utf8, &lcView, &utf8View};
  for (const auto* a : all) {
    for (const auto* b : all) {
      EXPECT_TRUE(a->equals(*b));
      EXPECT_EQ(a->compare(*b), 0);
      EXPECT_EQ(a->hash(), b->hash());
    }
  }
  ZUTF8String_7_0_0 other("/opt/BrenmoorWarden/etc/orn.confx");
  EXPECT_FALSE(lc.equals(other));
  EXPECT_LT(lc.compare(other), 0);
  EXPECT_NE(lc.hash(), other.hash());
}

TEST(ZString, ComparisonWithACTextIsExact) {
  const struct {
    const char* stored;
    const char* text;
    int sign;
  } rows[] = {
      {"true", "true", 0}, {"true", "TRUE", 1}, {"true", "truex", -1},
      {"", nullptr, 0},    {"a", nullptr, 1},   {"abc", "abd", -1},
  };
  for (const auto& row : rows) {
    ZUTF8String_7_0_0 s(row.stored);
    int c = s.compareTo(row.text);
    EXPECT_EQ((c > 0) - (c < 0), row.sign) << row.stored << " vs " << (row.text ? row.text : "null");
  }
}

TEST(ZString, EmbeddedNulBytesTakePartInEquality) {
  ZUTF8String_7_0_0 a("a\0b", 3), b("a\0c", 3);
  EXPECT_EQ(a.getLength(), 3u);
  EXPECT_FALSE(a.equals(b));
}

TEST(ZString, NullTextReadsAsEmpty) {
  ZLCString_7_0_0 s(nullptr);
  ZUTF8ConstString_7_0_0 v(nullptr);
  EXPECT_TRUE(s.isEmpty());
  EXPECT_STREQ(s.getChars(), "");
  EXPECT_STREQ(v.getChars(), "");
  EXPECT_TRUE(s.equals(v));
}

TEST(ZString, UpperChangesOnlyAsciiLetters) {
  ZUTF8String_7_0_0 s("abc-xyz_\xc3\xa9t\xc3\xa9-09");  // "abc-xyz_été-09"
  s.upper();
  EXPECT_STREQ(s.getChars(), "ABC-XYZ_\xc3\xa9T\xc3\xa9-09");
}

TEST(ZString, DecimalTextFromAnInteger) {
  EXPECT_STREQ(ZUTF8String_7_0_0(0).getChars(), "0");
  EXPECT_STREQ(ZUTF8String_7_0_0(-42).getChars(), "-42");
  EXPECT_STREQ(ZUTF8String_7_0_0(2147483647).getChars(), "2147483647");
}

TEST(ZString, AppendGrowsAndKeepsItsOwnText) {
  ZUTF8String_7_0_0 s("ab");
  std::string expected = "ab";
  for (int i = 0; i < 8; ++i) {
    s.append(s);  // appending itself, across reallocations
    expected += expected;
  }
  EXPECT_EQ(std::string(s.getChars(), s.getLength()), expected);
  EXPECT_EQ(s.getChars()[s.getLength()], '\0');
  s.append(s.getChars() + 1, 3);  // a piece of itself
  expected += expected.substr(1, 3);
  EXPECT_EQ(std::string(s.getChars()), expected);
  s.assign(s.getChars() + 2);  // a tail of itself
  EXPECT_EQ(std::string(s.getChars()), expected.substr(2));
  s.clear();
  EXPECT_TRUE(s.isEmpty());
  EXPECT_STREQ(s.getChars(), "");
}

TEST(ZString, CopiesAreIndependent) {
  ZUTF8String_7_0_0 a("a long enough text to live on the heap, not inline");
  ZUTF8String_7_0_0 b(a);
  b.append("!");
  a.upper();
  EXPECT_STREQ(b.getChars(), "a long enough text to live on the heap, not inline!");
  ZLCString_7_0_0 c;
  c = ZLCString_7_0_0("short");
  EXPECT_STREQ(c.getChars(), "short");
}

TEST(ZString, CloneOfAViewOwnsItsText) {
  char buffer[] = "view text";
  ZUTF8ConstString_7_0_0 view(buffer);
  std::unique_ptr<ZObject_7_0_0> copy(view.clone());
  ASSERT_NE(dynamic_cast<ZUTF8String_7_0_0*>(copy.get()), nullptr);
  buffer[0] = 'X';
  EXPECT_STREQ(static_cast<ZAbstractString_7_0_0*>(copy.get())->getChars(), "view text");
  std::unique_ptr<ZObject_7_0_0> lcCopy(ZLCConstString_7_0_0("x").clone());
  EXPECT_NE(dynamic_cast<ZLCString_7_0_0*>(lcCopy.get()), nullptr);
}

// A clone keeps a long text in its own block, right after the object; the
// clone must still grow, shrink, copy and be deleted like any string, and
// once it has grown out of that room it frees only what it allocated.
TEST(ZString, ClonesOfLongTextsBehaveAsAnyString) {
  for (std::size_t length : {0u, 1u, 23u, 24u, 25u, 100u, 5000u}) {
    SCOPED_TRACE(length);
    const std::string text(length, 't');
    ZUTF8ConstString_7_0_0 view(text.c_str(), text.size());
    std::unique_ptr<ZObject_7_0_0> made(view.clone());
    auto* copy = dynamic_cast<ZUTF8String_7_0_0*>(made.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(copy->getChars(), copy->getLength()), text);
    std::unique_ptr<ZObject_7_0_0> again(copy->clone());
    EXPECT_EQ(static_cast<ZUTF8String_7_0_0*>(again.get())->compareTo(text.c_str()), 0);

    copy->assign("short");  // fits the room it has
    EXPECT_STREQ(copy->getChars(), "short");
    copy->append(text.c_str());  // grows out of it
    copy->append(copy->getChars(), 5);  // its own text, moved on growth
    EXPECT_EQ(std::string(copy->getChars()), "short" + text + "short");
    *copy = ZUTF8String_7_0_0(text.c_str());
    EXPECT_EQ(std::string(copy->getChars()), text);
    copy->upper();
    EXPECT_EQ(std::string(copy->getChars()), std::string(length, 'T'));
  }
}

}  // namespace
