// Pattern quoting: which characters each function escapes, how, and which
// texts it refuses.
#include "util/patquote.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "tests/support/mbwalk_reference.h"

namespace {

using Quoted = std::unique_ptr<char, decltype(&std::free)>;

std::optional<std::string> quoted(char* block) {
  Quoted owner(block, &std::free);
  if (!block) return std::nullopt;
  return std::string(block);
}

struct QuoteCase {
  const char* description;
  std::string text;
  std::optional<std::string> pattern;  // kel_mbs_patquote
  std::optional<std::string> value;    // kel_mbs_nopatquote
};

const QuoteCase kQuoteCases[] = {
    {"parentheses", "a(b)", "a\\28b\\29", "a\\28b\\29"},
    {"asterisk is a wildcard only in patterns", "a*b", "a*b", "a\\2ab"},
    {"backslash", "\\", "\\5c", "\\5c"},
    {"only quoted characters fill the block", "()\\*", "\\28\\29\\5c*", "\\28\\29\\5c\\2a"},
    {"empty text", "", "", ""},
    {"controls and other specials pass", "\t\x01\x7f,=#:?", "\t\x01\x7f,=#:?", "\t\x01\x7f,=#:?"},
    {"multibyte characters kept byte for byte", "J\xc3\xbcrgen \xe2\x82\xac\xf0\x9f\x98\x80(",
     "J\xc3\xbcrgen \xe2\x82\xac\xf0\x9f\x98\x80\\28",
     "J\xc3\xbcrgen \xe2\x82\xac\xf0\x9f\x98\x80\\28"},
    {"lone continuation byte", "a\x80" "b", std::nullopt, std::nullopt},
    {"two-byte character cut off at the end", "ab\xc3", std::nullopt, std::nullopt},
    {"three-byte character cut off at the end", "ab\xe2\x82", std::nullopt, std::nullopt},
    {"overlong form of (", "\xc0\xa8", std::nullopt, std::nullopt},
    {"surrogate", "\xed\xa0\x80", std::nullopt, std::nullopt},
    {"above U+10FFFF", "\xf4\x90\x80\x80", std::nullopt, std::nullopt},
    {"invalid byte after a long clean run", "abcdefghijklmnopqrstuvwxyz0123456789\xff",
     std::nullopt, std::nullopt},
    {"specials on both sides of the 16-byte blocks", "abcdefghijklmno(p)qrstuvwxyzabcd*e\\",
     "abcdefghijklmno\\28p\\29qrstuvwxyzabcd*e\\5c",
     "abcdefghijklmno\\28p\\29qrstuvwxyzabcd\\2ae\\5c"},
};

class PatQuoteTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(PatQuoteTest, Quotes) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(quoted(kel_mbs_patquote(c.text.c_str())), c.pattern);
  EXPECT_EQ(quoted(kel_mbs_nopatquote(c.text.c_str())), c.value);
}

INSTANTIATE_TEST_SUITE_P(Cases, PatQuoteTest, ::testing::ValuesIn(kQuoteCases),
                         [](const ::testing::TestParamInfo<QuoteCase>& info) {
                           std::string name;
                           for (const char* p = info.param.description; *p; ++p)
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

TEST(PatQuote, NullTextYieldsNull) {
  EXPECT_EQ(kel_mbs_patquote(nullptr), nullptr);
  EXPECT_EQ(kel_mbs_nopatquote(nullptr), nullptr);
}

// A long text of nothing but quoted characters takes exactly three bytes per
// character: the whole block, which AddressSanitizer watches for overruns.
TEST(PatQuote, WorstCaseFillsTheBlock) {
  std::string text(1000, '(');
  for (std::size_t i = 0; i < text.size(); i += 3) text[i] = '*';
  std::optional<std::string> value = quoted(kel_mbs_nopatquote(text.c_str()));
  ASSERT_TRUE(value);
  EXPECT_EQ(value->size(), 3 * text.size());
}

// Every byte value, and random UTF-8 texts: the quoting agrees with the plain
// walk, and removing the escapes gives the text back.
TEST(PatQuote, AgreesWithThePlainWalkAndRoundTrips) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> length(0, 70);
  std::uniform_int_distribution<int> kind(0, 9);
  std::uniform_int_distribution<int> ascii(0x01, 0x7f);
  std::uniform_int_distribution<int> anyByte(0x01, 0xff);
  std::vector<std::string> texts;
  for (int b = 1; b < 256; ++b) texts.push_back(std::string(1, static_cast<char>(b)) + "x");
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    for (int n = length(rng); n > 0; --n) {
      int k = kind(rng);
      if (k < 6) text += static_cast<char>(ascii(rng));
      else if (k == 6) text += "\xc3\xa9";
      else if (k == 7) text += "\xe2\x82\xac";
      else if (k == 8) text += "\xf0\x9f\x98\x80";
      else if (i % 4 == 0) text += static_cast<char>(anyByte(rng));  // sometimes invalid
    }
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(::testing::PrintToString(text));
    std::optional<std::string> pattern = quoted(kel_mbs_patquote(text.c_str()));
    std::optional<std::string> value = quoted(kel_mbs_nopatquote(text.c_str()));
    ASSERT_EQ(pattern, ornutil_test::reference::quote(text, patquotelist, true));
    ASSERT_EQ(value, ornutil_test::reference::quote(text, nopatquotelist, true));
    if (value) {
      EXPECT_EQ(ornutil_test::reference::unescape(*value, true), text);
      EXPECT_EQ(ornutil_test::reference::unescape(*pattern, true), text);
    }
  }
}

}  // namespace
