// The UTF-8 character functions: lengths, cut-off and invalid characters.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/zmbchar.h"

namespace {

TEST(Zmblen, LengthsOfCharacters) {
  const struct {
    const char* description;
    const char* bytes;
    std::size_t remaining;
    int expected;
  } rows[] = {
      {"ASCII", "a", 1, 1},
      {"control", "\x01", 1, 1},
      {"two bytes (e acute)", "\xc3\xa9", 2, 2},
      {"three bytes (euro)", "\xe2\x82\xac", 3, 3},
      {"four bytes (U+1F600)", "\xf0\x9f\x98\x80", 4, 4},
      {"highest code point U+10FFFF", "\xf4\x8f\xbf\xbf", 4, 4},
      {"remaining looks no further", "\xc3\xa9", 1, 0},
      {"cut three-byte character", "\xe2\x82", 2, 0},
      {"nothing remaining", "a", 0, 0},
      {"lone continuation byte", "\x80", 1, -1},
      {"overlong slash-free paren C0 A8", "\xc0\xa8", 2, -1},
      {"overlong two-byte C1 BF", "\xc1\xbf", 2, -1},
      {"overlong three-byte E0 80 A8", "\xe0\x80\xa8", 3, -1},
      {"overlong four-byte F0 80 80 A8", "\xf0\x80\x80\xa8", 4, -1},
      {"surrogate ED A0 80", "\xed\xa0\x80", 3, -1},
      {"above U+10FFFF", "\xf4\x90\x80\x80", 4, -1},
      {"F5 never starts a character", "\xf5\x80\x80\x80", 4, -1},
      {"bad second byte", "\xc3\x28", 2, -1},
      {"bad third byte", "\xe2\x82\x28", 3, -1},
      {"NUL inside a character", "\xc3\x00", 2, -1},
  };
  zcharset_handle_t h = zgetUTF8Handle_7_0_0();
  ASSERT_NE(h, nullptr);
  for (const auto& row : rows)
    EXPECT_EQ(zmblen_7_0_0(h, row.bytes, row.remaining), row.expected) << row.description;
}

TEST(Zstrchr, FindsSingleByteCharactersOnly) {
  zcharset_handle_t h = zgetUTF8Handle_7_0_0();
  const char list[] = "*?()\xc3\xa9:\\";
  EXPECT_EQ(zstrchr_7_0_0(h, list, '('), list + 2);
  EXPECT_EQ(zstrchr_7_0_0(h, list, '\\'), list + 7);
  EXPECT_EQ(zstrchr_7_0_0(h, list, 'a'), nullptr);
  EXPECT_EQ(zstrchr_7_0_0(h, list, 0), nullptr);
  // Bytes of a multibyte character of the list never match.
  EXPECT_EQ(zstrchr_7_0_0(h, list, static_cast<signed char>('\xc3')), nullptr);
  EXPECT_EQ(zstrchr_7_0_0(h, list, static_cast<signed char>('\xa9')), nullptr);
  EXPECT_EQ(zstrchr_7_0_0(h, "", '*'), nullptr);
}

}  // namespace
