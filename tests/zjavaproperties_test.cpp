// Java-style properties files: separators, comments, continuations and
// escapes (as java.util.Properties reads them), and the required key.
#include <gtest/gtest.h>

#include <string>

#include "foundation/zjavaproperties.h"
#include "foundation/zstring.h"
#include "tests/support/temp_dir.h"

using ornutil_test::TempDir;

namespace {

struct JavaCase {
  const char* description;
  std::string text;
  const char* key;
  const char* value;  // null: absent
};

TEST(ZJavaProperties, ReadsLinesAsJavaDoes) {
  const JavaCase cases[] = {
      {"= separator", "a=1\n", "a", "1"},
      {": separator with blanks", "b : 2\n", "b", "2"},
      {"blank separator", "c 3\n", "c", "3"},
      {"blanks around; trailing ones kept", "  d\t=\t4  \n", "d", "4  "},
      {"only the first separator counts", "e = x=y:z\n", "e", "x=y:z"},
      {"key without value", "f\n", "f", ""},
      {"# comment", "# g = 1\n", "# g", nullptr},
      {"! comment", "! h = 1\nh2 = 2\n", "h2", "2"},
      {"continuation drops the next line's leading blanks", "i = one \\\n     two\n", "i", "one two"},
      {"continuation over several lines", "j = a\\\n b\\\n\tc\n", "j", "abc"},
      {"an escaped backslash does not continue", "k = x\\\\\nl = 7\n", "k", "x\\"},
      {"the line after an escaped backslash", "k = x\\\\\nl = 7\n", "l", "7"},
      {"escapes", "m = a\\tb\\nc\\u0041\\u00e9\\=\\:\\\\\n", "m", "a\tb\ncA\xc3\xa9=:\\"},
      {"an unknown escape is the character", "n = \\q\\ \n", "n", "q "},
      {"escaped separator in a key", "o\\=p\\:q\\ r = 5\n", "o=p:q r", "5"},
      {"CRLF line ends", "p = 1\r\nq = 2\r\n", "q", "2"},
      {"continuation with CRLF", "r = a\\\r\n  b\r\n", "r", "ab"},
      {"last line without a line end", "s = end", "s", "end"},
      {"continuation at the end of the text", "t = end\\", "t", "end"},
      {"a later key replaces an earlier one", "u = 1\nu = 2\n", "u", "2"},
      {"a comment line ending in a backslash does not continue", "# note \\\nv = 6\n", "v", "6"},
      {"a ! comment line ending in a backslash does not continue", "! note \\\nw = 8\n", "w", "8"},
  };
  for (const JavaCase& c : cases) {
    SCOPED_TRACE(c.description);
    ZJavaProperties_7_0_0 p;
    p.parse(c.text);
    ZUTF8String_7_0_0 v("sentinel");
    int present = p.getValue(c.key, v);
    EXPECT_EQ(present, c.value ? 1 : 0);
    EXPECT_EQ(p.exists(c.key), c.value != nullptr);
    EXPECT_EQ(std::string(v.getChars(), v.getLength()), c.value ? c.value : "");
  }
}

TEST(ZJavaProperties, LoadAndTheRequiredKey) {
  TempDir dir;
  std::string path = dir.file("family.properties");
  ASSERT_TRUE(ornutil_test::writeFile(path, "# family\ncommon.dir=/opt/family\nother=1\n"));
  ZJavaProperties_7_0_0 p;
  EXPECT_EQ(p.load(path.c_str(), "common.dir"), 1);
  EXPECT_EQ(p.size(), 2);
  EXPECT_EQ(p.load(path.c_str(), nullptr), 1);
  EXPECT_EQ(p.load(path.c_str(), "absent.key"), 0);
  EXPECT_EQ(p.size(), 0) << "without the required key the object is empty";

  EXPECT_EQ(p.load(dir.file("absent.properties").c_str(), nullptr), 0);
  EXPECT_EQ(p.size(), 0) << "a failed load leaves the object empty";
  EXPECT_EQ(p.load(dir.path().c_str(), nullptr), 0);
  EXPECT_EQ(p.load(nullptr, nullptr), 0);
  ZUTF8String_7_0_0 v("x");
  EXPECT_EQ(p.getValue(nullptr, v), 0);
  EXPECT_STREQ(v.getChars(), "");
}

}  // namespace
