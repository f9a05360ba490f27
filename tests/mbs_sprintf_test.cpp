// The quoting formatter: each directive's quoting, the failures, the growth of
// the block, and the search filter escapes held against OpenLDAP's and the
// RFCs' own examples.
#include "util/mbs_sprintf.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/mbwalk_reference.h"
#include "util/internal/mbs_growth.h"

#ifdef ORNUTIL_HAVE_LDAP
#include <ldap.h>
#endif

namespace {

std::optional<std::string> taken(char* block) {
  std::unique_ptr<char, decltype(&std::free)> owner(block, &std::free);
  if (!block) return std::nullopt;
  return std::string(block);
}

// Up to four arguments; arguments past those the format uses are ignored.
std::optional<std::string> format(const char* fmt, std::vector<const char*> args = {}) {
  args.resize(4, nullptr);
  return taken(kel_mbs_sprintf(fmt, args[0], args[1], args[2], args[3]));
}

struct FormatCase {
  const char* description;
  const char* format;
  std::vector<const char*> args;
  std::optional<std::string> expected;
};

const FormatCase kFormatCases[] = {
    {"no directives: exact copy", "(objectClass=*)", {}, "(objectClass=*)"},
    {"empty format", "", {}, ""},
    {"filter value", "(cn=%Q)", {"a*b"}, "(cn=a\\2ab)"},
    {"filter pattern", "(cn=%P)", {"a*b"}, "(cn=a*b)"},
    {"AD pattern", "%L", {"a*(b)"}, "a*\\28b\\29"},
    {"AD value", "%M", {"a*(b)"}, "a\\2a\\28b\\29"},
    {"AD pattern keeps a backslash", "%L", {"a\\b"}, "a\\b"},
    {"AD value keeps a backslash", "%M", {"a\\b"}, "a\\b"},
    {"filter pattern escapes a backslash", "%P", {"a\\b"}, "a\\5cb"},
    {"filter value escapes a backslash", "%Q", {"a\\b"}, "a\\5cb"},
    {"principal comma", "%D", {"Smith, John"}, "Smith\\, John"},
    {"principal number, equals, backslash", "%D", {"#=\\"}, "\\#\\=\\\\"},
    {"every principal character", "%D", {"\\,+\"<>;=#*()"}, "\\\\\\,\\+\\\"\\<\\>\\;\\=\\#*()"},
    {"number sign only", "%A", {"#1"}, "\\#1"},
    {"number sign only, commas kept", "%A", {"a,b#"}, "a,b\\#"},
    {"literal text copied as is", "%s", {"(*)\\\x80\xff"}, "(*)\\\x80\xff"},
    {"quoted argument with a lone continuation byte", "(cn=%Q)", {"a\x80" "b"}, std::nullopt},
    {"the same argument as literal text", "(cn=%s)", {"a\x80" "b"}, "(cn=a\x80" "b)"},
    {"cut-off character in a quoted argument", "%D", {"ab\xe2\x82"}, std::nullopt},
    {"multibyte characters pass quoting", "(cn=%Q)", {"J\xc3\xbcrgen*\xf0\x9f\x98\x80"},
     "(cn=J\xc3\xbcrgen\\2a\xf0\x9f\x98\x80)"},
    {"several directives", "(&(cn=%Q)(sn=%P)%s)", {"a(1)", "b*", "(x=y)"},
     "(&(cn=a\\281\\29)(sn=b*)(x=y))"},
    {"empty arguments", "[%s|%Q|%D]", {"", "", ""}, "[||]"},
    {"percent percent fails", "100%%", {}, std::nullopt},
    {"lone percent at the end fails", "abc%", {}, std::nullopt},
    {"numeric directive fails", "%d", {"1"}, std::nullopt},
    {"lower-case p fails", "%p", {"a"}, std::nullopt},
    {"upper-case S fails", "%S", {"a"}, std::nullopt},
    {"bad directive after a good one", "%s%x", {"a", "b"}, std::nullopt},
    {"null argument fails", "(cn=%Q)", {nullptr}, std::nullopt},
    {"null literal argument fails", "%s", {nullptr}, std::nullopt},
};

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, Formats) {
  const FormatCase& c = GetParam();
  EXPECT_EQ(format(c.format, c.args), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FormatTest, ::testing::ValuesIn(kFormatCases),
                         [](const ::testing::TestParamInfo<FormatCase>& info) {
                           std::string name;
                           for (const char* p = info.param.description; *p; ++p)
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

TEST(Format, NullFormatYieldsNull) { EXPECT_EQ(kel_mbs_sprintf(nullptr), nullptr); }

// 300 literal bytes outgrow the first block (127 bytes) twice.
TEST(Format, LongLiteralFormatIsCopiedWhole) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('!' + i % 90 + (i % 90 >= 4 ? 1 : 0));
  ASSERT_EQ(text.find('%'), std::string::npos);
  EXPECT_EQ(format(text.c_str()), text);
}

// Arguments and literal runs that cross the growth points in every order; the
// block is sized by the rules, so AddressSanitizer catches any overrun.
TEST(Format, GrowsAcrossArgumentsAndLiterals) {
  std::string specials(1000, '(');
  std::string plain(500, 'x');
  std::string literal(200, '-');
  std::string fmt = literal + "%Q" + literal + "%s" + literal + "%D" + literal;
  std::optional<std::string> out =
      format(fmt.c_str(), {specials.c_str(), plain.c_str(), std::string(300, ',').c_str()});
  ASSERT_TRUE(out);
  std::string quotedSpecials;
  for (int i = 0; i < 1000; ++i) quotedSpecials += "\\28";
  std::string quotedCommas;
  for (int i = 0; i < 300; ++i) quotedCommas += "\\,";
  EXPECT_EQ(*out, literal + quotedSpecials + literal + plain + literal + quotedCommas + literal);
}

// The 32-bit counts: sizes that do not fit make the call fail.
TEST(Format, GrowthRefusesSizesBeyondThirtyTwoBits) {
  using ornutil::mbs::grownCapacity;
  using ornutil::mbs::roomFor;
  EXPECT_EQ(roomFor(100, 3), 300);
  EXPECT_EQ(roomFor(INT32_MAX / 3, 3), INT32_MAX / 3 * 3);
  EXPECT_EQ(roomFor(INT32_MAX / 3 + 1, 3), -1);
  EXPECT_EQ(roomFor(INT32_MAX, 1), INT32_MAX);
  EXPECT_EQ(roomFor(static_cast<std::size_t>(INT32_MAX) + 1, 1), -1);
  EXPECT_EQ(roomFor(SIZE_MAX, 3), -1);
  EXPECT_EQ(grownCapacity(127, 0), 255);
  EXPECT_EQ(grownCapacity(10, 300), 438);
  EXPECT_EQ(grownCapacity(0, INT32_MAX - 128), INT32_MAX);
  EXPECT_EQ(grownCapacity(0, INT32_MAX - 127), -1);
  EXPECT_EQ(grownCapacity(INT32_MAX - 128, 1), -1);
  EXPECT_EQ(grownCapacity(5, -1), -1);
}

// Random formats and arguments against the plain walk.
TEST(Format, AgreesWithThePlainWalk) {
  static const char* const formatPieces[] = {"(", ")", "cn=", "*", "%s", "%P", "%Q", "%L", "%M",
                                             "%D", "%A", "%%", "%x", "\xc3\xa9", "\x80"};
  static const char* const argPieces[] = {"a", "(", ")", "*", "\\", ",", "#", "=", "\"",
                                          "\xc3\xa9", "\xe2\x82\xac", "\x80", "\xc3", "bcdefghijk"};
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> count(0, 8);
  std::uniform_int_distribution<int> fpick(0, sizeof formatPieces / sizeof *formatPieces - 1);
  std::uniform_int_distribution<int> apick(0, sizeof argPieces / sizeof *argPieces - 1);
  std::uniform_int_distribution<int> arglen(0, 30);
  for (int i = 0; i < 3000; ++i) {
    std::string fmt;
    int directives = 0;
    for (int n = count(rng); n > 0 && directives < 4; --n) {
      const char* piece = formatPieces[fpick(rng)];
      if (piece[0] == '%') ++directives;
      fmt += piece;
    }
    std::vector<std::string> args(4);
    for (std::string& arg : args) {
      for (int n = arglen(rng); n > 0; --n) arg += argPieces[apick(rng)];
    }
    SCOPED_TRACE(::testing::PrintToString(fmt) + " " + ::testing::PrintToString(args));
    ASSERT_EQ(format(fmt.c_str(), {args[0].c_str(), args[1].c_str(), args[2].c_str(),
                                   args[3].c_str()}),
              ornutil_test::reference::format(fmt, args));
  }
}

// ------------------------------------------------------------ RFC examples

// Hex digits of escapes compare without regard to case: the RFCs and OpenLDAP
// write them in upper case, the library in lower case, and RFC 4515 takes both.
std::string lowerEscapes(const std::string& text) {
  std::string out = text;
  for (std::size_t i = 0; i + 2 < out.size(); ++i) {
    if (out[i] == '\\' && std::isxdigit(static_cast<unsigned char>(out[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(out[i + 2]))) {
      out[i + 1] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[i + 1])));
      out[i + 2] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[i + 2])));
      i += 2;
    }
  }
  return out;
}

// From RFC 4515 section 4, the examples whose values the filter directives
// can produce (the binary and the UTF-8-escaped ones are left out: the
// library keeps UTF-8 characters as they are).
TEST(Format, Rfc4515Examples) {
  struct {
    const char* format;
    std::vector<const char*> args;
    const char* rfc;
  } examples[] = {
      {"(cn=%Q)", {"Babs Jensen"}, "(cn=Babs Jensen)"},
      {"(!(cn=%Q))", {"Tim Howes"}, "(!(cn=Tim Howes))"},
      {"(&(objectClass=%Q)(|(sn=%Q)(cn=%P)))", {"Person", "Jensen", "Babs J*"},
       "(&(objectClass=Person)(|(sn=Jensen)(cn=Babs J*)))"},
      {"(o=%P)", {"univ*of*mich*"}, "(o=univ*of*mich*)"},
      {"(seeAlso=%Q)", {""}, "(seeAlso=)"},
      {"(cn:caseExactMatch:=%Q)", {"Fred Flintstone"}, "(cn:caseExactMatch:=Fred Flintstone)"},
      {"(o=%Q)", {"Parens R Us (for all your parenthetical needs)"},
       "(o=Parens R Us \\28for all your parenthetical needs\\29)"},
      {"(cn=*%Q*)", {"*"}, "(cn=*\\2A*)"},
      {"(filename=%Q)", {"C:\\MyFile"}, "(filename=C:\\5cMyFile)"},
  };
  for (const auto& e : examples) {
    SCOPED_TRACE(e.rfc);
    std::optional<std::string> out = format(e.format, e.args);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, lowerEscapes(e.rfc));
  }
}

// From RFC 4514 section 4, the examples that %D produces: its list is the
// set of characters that section 2.4 escapes with a backslash.
TEST(Format, Rfc4514Examples) {
  struct {
    const char* format;
    std::vector<const char*> args;
    const char* rfc;
  } examples[] = {
      {"UID=%D,DC=%D,DC=%D", {"jsmith", "example", "net"}, "UID=jsmith,DC=example,DC=net"},
      {"OU=%D+CN=%D,DC=%D,DC=%D", {"Sales", "J.  Smith", "example", "net"},
       "OU=Sales+CN=J.  Smith,DC=example,DC=net"},
      {"CN=%D,DC=%D,DC=%D", {"James \"Jim\" Smith, III", "example", "net"},
       "CN=James \\\"Jim\\\" Smith\\, III,DC=example,DC=net"},
  };
  for (const auto& e : examples) {
    SCOPED_TRACE(e.rfc);
    EXPECT_EQ(format(e.format, e.args), std::string(e.rfc));
  }
}

#ifdef ORNUTIL_HAVE_LDAP
std::string ldapEscaped(const std::string& text) {
  berval in;
  in.bv_len = text.size();
  in.bv_val = const_cast<char*>(text.data());
  berval out{0, nullptr};
  EXPECT_EQ(ldap_bv2escaped_filter_value(&in, &out), 0);
  std::string escaped(out.bv_val ? out.bv_val : "", out.bv_len);
  ldap_memfree(out.bv_val);
  return escaped;
}

// For printable ASCII, %Q escapes exactly what OpenLDAP escapes in a filter
// value: every single character and pair, and random texts.
TEST(Format, FilterValueMatchesOpenLdap) {
  std::vector<std::string> texts = {""};
  for (char a = 0x20; a < 0x7f; ++a) {
    texts.push_back(std::string(1, a));
    for (char b = 0x20; b < 0x7f; ++b) texts.push_back(std::string{a, b});
  }
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> printable(0x20, 0x7e);
  std::uniform_int_distribution<int> length(3, 60);
  for (int i = 0; i < 2000; ++i) {
    std::string text;
    for (int n = length(rng); n > 0; --n) text += static_cast<char>(printable(rng));
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    std::optional<std::string> out = format("%Q", {text.c_str()});
    ASSERT_TRUE(out) << text;
    ASSERT_EQ(*out, lowerEscapes(ldapEscaped(text))) << text;
  }
}
#endif

}  // namespace
