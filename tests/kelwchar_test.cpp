// Character validation: the reject-list checks, the allow-list check with its
// trace records, the multibyte-aware character search and the byte-wise check
// with its invalid-parameter raise.
#include "util/kelwchar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "tests/support/mbwalk_reference.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "util/mbs_sprintf.h"
#include "util/patquote.h"

namespace {

using ornutil_test::LogCapture;
using ornutil_test::LogRecord;

// Test names from the rows' descriptions.
template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* p = info.param.description; *p; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

// ------------------------------------------------------------ reject lists

enum class Check { kValidchars2, kValidpchars2, kValidpchars, kValidpatchars };

struct RejectCase {
  const char* description;
  Check check;
  const char* text;
  const char* rejects;  // for the two functions that take a list
  int expected;
};
// Failure messages name a row by its description, not by its bytes.
void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.description; }

int run(const RejectCase& c) {
  switch (c.check) {
    case Check::kValidchars2: return kel_mbs_validchars2(c.text, c.rejects);
    case Check::kValidpchars2: return kel_mbs_validpchars2(c.text, c.rejects);
    case Check::kValidpchars: return kel_mbs_validpchars(c.text);
    case Check::kValidpatchars: return kel_mbs_validpatchars(c.text);
  }
  return -1;
}

const RejectCase kRejectCases[] = {
    {"plain name", Check::kValidpchars, "Jürgen Smith", "", 1},
    {"asterisk is not a name character", Check::kValidpchars, "sm*th", "", 0},
    {"asterisk is a pattern wildcard", Check::kValidpatchars, "sm*th", "", 1},
    {"question mark, name", Check::kValidpchars, "a?", "", 0},
    {"question mark, pattern", Check::kValidpatchars, "a?", "", 0},
    {"open paren, name", Check::kValidpchars, "(a", "", 0},
    {"open paren, pattern", Check::kValidpatchars, "(a", "", 0},
    {"close paren, name", Check::kValidpchars, "a)", "", 0},
    {"close paren, pattern", Check::kValidpatchars, "a)", "", 0},
    {"colon, name", Check::kValidpchars, "a:b", "", 0},
    {"colon, pattern", Check::kValidpatchars, "a:b", "", 0},
    {"backslash, name", Check::kValidpchars, "a\\b", "", 0},
    {"backslash, pattern", Check::kValidpatchars, "a\\b", "", 0},
    {"tab passes without control check", Check::kValidchars2, "a\tb", "", 1},
    {"tab fails the control check", Check::kValidpchars2, "a\tb", "", 0},
    {"0x01 is a control", Check::kValidpchars2, "\x01", "", 0},
    {"0x1F is a control", Check::kValidpchars2, "a\x1f", "", 0},
    {"DEL is not a control here", Check::kValidpchars2, "a\x7f", "", 1},
    {"DEL passes the plain check", Check::kValidchars2, "a\x7f", "", 1},
    {"a listed control fails without the control check", Check::kValidchars2, "a\tb", "\t", 0},
    {"empty text, plain", Check::kValidchars2, "", "abc", 1},
    {"empty text, controls", Check::kValidpchars2, "", "abc", 1},
    {"empty text, names", Check::kValidpchars, "", "", 1},
    {"empty text, patterns", Check::kValidpatchars, "", "", 1},
    {"cut-off two-byte character at the end", Check::kValidchars2, "ab\xc3", "", 0},
    {"cut-off four-byte character at the end", Check::kValidchars2, "ab\xf0\x9f\x98", "", 0},
    {"lone continuation byte in the middle", Check::kValidchars2, "a\x80" "b", "", 1},
    {"stray byte then rejected byte", Check::kValidchars2, "\xff" "a", "a", 0},
    {"overlong ( is two stray bytes, not a (", Check::kValidpchars, "\xc0\xa8", "", 1},
    {"multibyte reject character rejects nothing", Check::kValidchars2, "caf\xc3\xa9", "\xc3\xa9",
     1},
    {"reject after multibyte characters", Check::kValidchars2, "\xc3\xbc\xe2\x82\xac(x", "(", 0},
    {"null reject list rejects nothing", Check::kValidchars2, "a(b", nullptr, 1},
    {"reject at offset 40 of a long text", Check::kValidpchars,
     "abcdefghijklmnopqrstuvwxyzabcdefghijklmn(", "", 0},
    {"long clean text", Check::kValidpchars, "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstu", "",
     1},
    {"long text with a control at offset 17", Check::kValidpchars2, "abcdefghijklmnopq\nrstuvwxyz",
     "", 0},
};

class RejectListTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectListTest, AcceptsOrRejects) {
  const RejectCase& c = GetParam();
  EXPECT_EQ(run(c), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RejectListTest, ::testing::ValuesIn(kRejectCases),
                         caseName<RejectCase>);

TEST(RejectList, NullTextIsNotAcceptable) {
  EXPECT_EQ(kel_mbs_validchars_int(nullptr, "", 0), 0);
  EXPECT_EQ(kel_mbs_validpchars(nullptr), 0);
  EXPECT_EQ(kel_mbs_checkchars2(nullptr, "abc"), 0);
  EXPECT_EQ(kel_mb_strchr(nullptr, 'a'), nullptr);
}

// ------------------------------------------------------------ generated texts

// Texts made of pieces that exercise every branch of the walk, at lengths
// that put them on both sides of the 16-byte scan blocks.
std::vector<std::string> generatedTexts(unsigned seed, int count) {
  static const char* const pieces[] = {
      "a", "Z", "0", " ", "=", ",", "*", "(", ")", "\\", ":", "?", "#", ";", "\t", "\x01",
      "\x1f", "\x7f", "abcdefghijklmnop", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
      "\x80", "\xbf", "\xc0\xa8", "\xed\xa0\x80", "\xf5", "\xff", "\xc3", "\xe2\x82"};
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pick(0, sizeof pieces / sizeof pieces[0] - 1);
  std::uniform_int_distribution<int> size(0, 40);
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) {
    std::string text;
    for (int n = size(rng); n > 0; --n) text += pieces[pick(rng)];
    texts.push_back(text);
  }
  return texts;
}

// The scanning fast paths against the plain walk over zmblen_7_0_0.
TEST(RejectList, AgreesWithThePlainWalk) {
  const char* lists[] = {"", rejlist, patrejlist, "\t\xc3\xa9", "abcdefghijklmnopqrstu()"};
  for (const std::string& text : generatedTexts(1, 3000)) {
    for (const char* list : lists) {
      for (int controls = 0; controls < 2; ++controls) {
        SCOPED_TRACE(::testing::PrintToString(text) + " list " + ::testing::PrintToString(list));
        ASSERT_EQ(kel_mbs_validchars_int(text.c_str(), list, controls),
                  ornutil_test::reference::validchars(text.c_str(), list, controls));
      }
    }
  }
}

TEST(MbStrchr, AgreesWithThePlainWalk) {
  const int wanted[] = {'a', '(', '\\', ';', '\t', static_cast<signed char>('\x80'),
                        static_cast<signed char>('\xc3'), static_cast<signed char>('\xa9')};
  for (const std::string& text : generatedTexts(2, 3000)) {
    for (int c : wanted) {
      SCOPED_TRACE(::testing::PrintToString(text) + " c " + std::to_string(c));
      char* found = kel_mb_strchr(text.c_str(), c);
      long offset = found ? found - text.c_str() : -1;
      ASSERT_EQ(offset, ornutil_test::reference::mbStrchr(text.c_str(), c));
    }
  }
}

// ------------------------------------------------------------ kel_mb_strchr

struct StrchrCase {
  const char* description;
  const char* text;
  int c;
  long offset;  // -1 for null
};
// Failure messages name a row by its description, not by its bytes.
void PrintTo(const StrchrCase& c, std::ostream* os) { *os << c.description; }

const StrchrCase kStrchrCases[] = {
    {"semicolon after two multibyte characters", "\xc3\xa9\xe2\x82\xac;x", ';', 5},
    {"NUL is never found", "abc", 0, -1},
    {"empty text", "", 'a', -1},
    {"byte inside a multibyte character is not compared",
     "\xc3\xa9", static_cast<signed char>('\xa9'), -1},
    {"lead byte of a multibyte character is not compared",
     "\xc3\xa9", static_cast<signed char>('\xc3'), -1},
    {"stray byte is compared as a signed char", "a\x80" "b", static_cast<signed char>('\x80'), 1},
    {"an unsigned value never matches a signed char", "a\x80" "b", 0x80, -1},
    {"found before a character cut off at the end", "a;\xc3", ';', 1},
    {"not found past a cut-off character", "ab\xe2\x82", ';', -1},
    {"first of several", "a;b;c", ';', 1},
    {"at offset 33 of a long text", "abcdefghijklmnopqrstuvwxyzabcdefg;", ';', 33},
};

class MbStrchrTest : public ::testing::TestWithParam<StrchrCase> {};

TEST_P(MbStrchrTest, FindsTheCharacter) {
  const StrchrCase& c = GetParam();
  char* found = kel_mb_strchr(c.text, c.c);
  EXPECT_EQ(found ? found - c.text : -1, c.offset);
}

INSTANTIATE_TEST_SUITE_P(Cases, MbStrchrTest, ::testing::ValuesIn(kStrchrCases),
                         caseName<StrchrCase>);

// ------------------------------------------------------------ traces

// Records of the checks go to a private file; the level is set per test.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture_.clear();
    orn_svc_set_debug_level(kelcore_svc_handle, 0, 1);
    orn_svc_set_debug_level(orn_ras_svc_handle, 3, 0);
  }
  void TearDown() override {
    orn_svc_set_debug_level(kelcore_svc_handle, 0, 0);
    orn_svc_set_debug_level(orn_ras_svc_handle, 3, 0);
  }
  LogCapture capture_;
};

struct CheckCase {
  const char* description;
  const char* text;
  const char* allowed;
  int expected;
  std::vector<std::pair<int, std::string>> traces;  // line, text
};
// Failure messages name a row by its description, not by its bytes.
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.description; }

const CheckCase kCheckCases[] = {
    {"all allowed", "abcab", "abc", 1, {}},
    {"empty text", "", "abc", 1, {}},
    {"single byte not allowed", "abd", "abc", 0, {{470, "invalid single byte character: d"}}},
    {"the rest of the text is the argument", "axbc", "abc", 0,
     {{470, "invalid single byte character: xbc"}}},
    {"cut-off character", "ab\xc3", "ab", 0, {{448, "premature end of string"}}},
    {"lone continuation byte is traced but allowed", "a\x80" "b", "ab", 1,
     {{457, "invalid multibyte hibit-set: \x80" "b"}}},
    {"each stray byte is traced", "\x80\x80", "", 1,
     {{457, "invalid multibyte hibit-set: \x80\x80"}, {457, "invalid multibyte hibit-set: \x80"}}},
    {"stray byte then a byte not allowed", "\xff" "z", "a", 0,
     {{457, "invalid multibyte hibit-set: \xff" "z"}, {470, "invalid single byte character: z"}}},
    {"multibyte characters need no allowing", "a\xc3\xa9\xf0\x9f\x98\x80" "b", "ab", 1, {}},
    {"null allow list allows no single byte", "a", nullptr, 0,
     {{470, "invalid single byte character: a"}}},
    {"a rest of 64 bytes is shown whole",
     "\x80" "123456789012345678901234567890123456789012345678901234567890123", "0123456789", 1,
     {{457, "invalid multibyte hibit-set: \x80" "123456789012345678901234567890123456789012345678901234567890123"}}},
    {"a longer rest is cut to 64 bytes",
     "x1234567890123456789012345678901234567890123456789012345678901234", "", 0,
     {{470, "invalid single byte character: x123456789012345678901234567890123456789012345678901234567890123..."}}},
};

class CheckCharsTest : public TraceTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckCharsTest, ResultAndTraces) {
  const CheckCase& c = GetParam();
  EXPECT_EQ(kel_mbs_checkchars2(c.text, c.allowed), c.expected);
  std::vector<LogRecord> records = capture_.records();
  ASSERT_EQ(records.size(), c.traces.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].severity, "DEBUG1");
    EXPECT_EQ(records[i].handle, "kel.core");
    EXPECT_EQ(records[i].subcomponent, 0u);
    EXPECT_EQ(records[i].msgid, "-");
    EXPECT_EQ(records[i].file, "util/kelwchar");
    EXPECT_EQ(records[i].line, c.traces[i].first);
    EXPECT_EQ(records[i].text, c.traces[i].second);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckCharsTest, ::testing::ValuesIn(kCheckCases),
                         caseName<CheckCase>);

// The trace of one call is bounded whatever its input: the first 16 stray
// bytes get a record each, of a bounded size, and the rest one record that
// counts them, after whatever else the call traced.
TEST_F(TraceTest, CheckCharsTraceIsBoundedPerCall) {
  const struct {
    std::size_t strays;
    std::string tail;  // after the stray bytes
    int expected;
    std::vector<std::pair<int, std::string>> last;  // the closing records
  } cases[] = {
      {16, "", 1, {{457, "invalid multibyte hibit-set: \x80"}}},
      {17, "", 1, {{457, "invalid multibyte hibit-set: 1 more not traced"}}},
      {4096, "", 1, {{457, "invalid multibyte hibit-set: 4080 more not traced"}}},
      {32768, "", 1, {{457, "invalid multibyte hibit-set: 32752 more not traced"}}},
      {40, "z", 0,
       {{470, "invalid single byte character: z"}, {457, "invalid multibyte hibit-set: 24 more not traced"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.strays);
    capture_.clear();
    std::string text = std::string(c.strays, '\x80') + c.tail;
    EXPECT_EQ(kel_mbs_checkchars2(text.c_str(), ""), c.expected);
    std::vector<LogRecord> records = capture_.records();
    ASSERT_EQ(records.size(), std::min<std::size_t>(c.strays, 16) + c.last.size() - (c.strays <= 16 ? 1 : 0));
    for (const LogRecord& r : records) ASSERT_LE(r.text.size(), 100u) << "an unbounded excerpt";
    for (std::size_t i = 0; i < c.last.size(); ++i) {
      const LogRecord& r = records[records.size() - c.last.size() + i];
      EXPECT_EQ(r.line, c.last[i].first);
      EXPECT_EQ(r.text, c.last[i].second);
    }
  }
}

TEST_F(TraceTest, CheckCharsIsSilentAtLevelZero) {
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 0);
  EXPECT_EQ(kel_mbs_checkchars2("abd\x80", "abc"), 0);
  EXPECT_EQ(kel_mbs_checkchars2("a\xc3", "a"), 0);
  EXPECT_TRUE(capture_.records().empty());
}

// ------------------------------------------------------------ utf8_validchars

struct ByteCase {
  const char* description;
  const char* text;
  const char* rejects;
  int expected;
};
// Failure messages name a row by its description, not by its bytes.
void PrintTo(const ByteCase& c, std::ostream* os) { *os << c.description; }

const ByteCase kByteCases[] = {
    {"null text", nullptr, "a", 0},
    {"empty text", "", nullptr, 0},
    {"multibyte text, no reject byte in it", "J\xc3\xbcrgen \xe2\x82\xac", "()*", 1},
    {"newline", "a\nb", nullptr, 0},
    {"0x01", "\x01", "", 0},
    {"0x1F", "a\x1f", "", 0},
    {"DEL is not examined", "a\x7f", "", 1},
    {"null reject list", "a(b", nullptr, 1},
    {"empty reject list", "a(b", "", 1},
    {"reject byte present", "a(b", "*(", 0},
    {"reject byte absent", "ab", "*(", 1},
    {"earlier match ends the check before a high byte", "a", "a\xc3\xa9", 0},
};

class Utf8ValidcharsTest : public ::testing::TestWithParam<ByteCase> {};

TEST_P(Utf8ValidcharsTest, ChecksBytes) {
  const ByteCase& c = GetParam();
  EXPECT_EQ(utf8_validchars(c.text, c.rejects), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Utf8ValidcharsTest, ::testing::ValuesIn(kByteCases),
                         caseName<ByteCase>);

TEST_F(TraceTest, Utf8ValidcharsRaisesOnAHighRejectByte) {
  orn_svc_set_debug_level(orn_ras_svc_handle, 3, 9);
  try {
    utf8_validchars("abc", "x\xc3\xa9");
    FAIL() << "no exception";
  } catch (const ZInvalidParameterException_7_0_0& e) {
    EXPECT_STREQ(e.getFile(), "util/kelwchar");
    EXPECT_EQ(e.getLine(), 608);
  }
  std::vector<LogRecord> records = capture_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, "DEBUG9");
  EXPECT_EQ(records[0].handle, "orn.ras");
  EXPECT_EQ(records[0].subcomponent, 3u);
  EXPECT_EQ(records[0].file, "util/kelwchar");
  EXPECT_EQ(records[0].line, 607);
  EXPECT_EQ(records[0].text, "ZInvalidParameterException Exception thrown. ");
}

TEST_F(TraceTest, Utf8ValidcharsRaisesWithoutTraceBelowLevelNine) {
  orn_svc_set_debug_level(orn_ras_svc_handle, 3, 8);
  EXPECT_THROW(utf8_validchars("abc", "\x80"), ZInvalidParameterException_7_0_0);
  EXPECT_TRUE(capture_.records().empty());
}

// ------------------------------------------------------------ exported data

TEST(ExportedData, ListsHoldExactlyTheirBytes) {
  struct List {
    const char* name;
    const char* data;
    std::size_t size;
    const char* bytes;
  } lists[] = {
      {"rejlist", rejlist, sizeof rejlist, "*?():\\"},
      {"patrejlist", patrejlist, sizeof patrejlist, "?():\\"},
      {"patquotelist", patquotelist, sizeof patquotelist, "()\\"},
      {"nopatquotelist", nopatquotelist, sizeof nopatquotelist, "*()\\"},
      {"hexdigit", hexdigit, sizeof hexdigit, "0123456789abcdef"},
      {"adsearchlist", adsearchlist, sizeof adsearchlist, "()"},
      {"nopatadsearchlist", nopatadsearchlist, sizeof nopatadsearchlist, "*()"},
      {"principallist", principallist, sizeof principallist, "\\,+\"<>;=#"},
      {"speciallist", speciallist, sizeof speciallist, "#"},
  };
  for (const List& l : lists) {
    SCOPED_TRACE(l.name);
    EXPECT_EQ(l.size, std::strlen(l.bytes) + 1);
    EXPECT_EQ(std::memcmp(l.data, l.bytes, l.size), 0);
  }
}

// The shared library exports exactly the names listed for these modules, with
// the C++ name of utf8_validchars and without the private quoting worker.
TEST(ExportedData, SharedLibraryExportsTheListedNames) {
  std::string command = std::string("nm -D --defined-only ") + ORNUTIL_BINARY_DIR +
                        "/libornutil.so 2>/dev/null";
  FILE* nm = popen(command.c_str(), "r");
  ASSERT_NE(nm, nullptr);
  std::set<std::string> exported;
  char line[4096];
  while (std::fgets(line, sizeof line, nm)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) exported.insert(name);
  }
  pclose(nm);
  if (exported.empty()) GTEST_SKIP() << "nm or the shared library is not available";
  for (const char* module : {"kelwchar", "patquote", "mbs_sprintf"}) {
    std::istringstream listed(ornutil_test::readFile(std::string(ORNUTIL_SOURCE_DIR) +
                                                     "/symbols/" + module + ".txt"));
    int count = 0;
    for (std::string name; std::getline(listed, name);) {
      if (name.empty()) continue;
      ++count;
      EXPECT_TRUE(exported.count(name)) << module << ": " << name;
    }
    EXPECT_GT(count, 0) << module;
  }
  for (const std::string& name : exported) {
    EXPECT_EQ(name.find("patquote2"), std::string::npos) << name;
  }
}

}  // namespace
