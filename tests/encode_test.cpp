#include "util/encode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "util/internal/scramble_size.h"

namespace {

// Runs one codec function and returns its result, checking that it is a
// fresh block.
std::string call(char* (*codec)(const char*), const std::string& text) {
  char* result = codec(text.c_str());
  EXPECT_NE(result, nullptr);
  EXPECT_NE(result, text.c_str());
  std::string s = result ? result : "(null)";
  std::free(result);
  return s;
}

std::string encode(const std::string& text) { return call(util_encode, text); }
std::string decode(const std::string& text) { return call(util_decode, text); }

// The decoder's result and what it printed on standard output.
std::pair<std::string, std::string> decodeCapturingOutput(const std::string& text) {
  ::testing::internal::CaptureStdout();
  std::string result = decode(text);
  return {result, ::testing::internal::GetCapturedStdout()};
}

std::string run(char symbol, std::size_t count) { return std::string(count, symbol); }

TEST(Scramble, SymbolTable) { EXPECT_STREQ(symb, "~^+=?|;"); }

struct Case {
  const char* description;
  std::string plain;
  std::string scrambled;
};

const Case kByteRule[] = {
    {"empty text gives the marker", "", "~^+"},
    {"multiple of 7: unchanged, one symbol 0", "F", "~^+F~"},
    {"shift 1: seven symbol 1", "\x08", "~^+\x09" + run('^', 7)},
    {"shift 2: eleven symbol 2", "\x09", "~^+\x0b" + run('+', 11)},
    {"shift 3: thirteen symbol 3", "\x0a", "~^+\x0d" + run('=', 13)},
    {"shift 4: thirteen symbol 4", "\x0b", "~^+\x0f" + run('?', 13)},
    {"shift 5: eleven symbol 5", "\x0c", "~^+\x11" + run('|', 11)},
    {"shift 6: seven symbol 6", "a", "~^+g" + run(';', 7)},
    {"bytes in order", "ab", "~^+g" + run(';', 7) + "b~"},
    {"251 has shift 6 and wraps to 1", "\xfb", "~^+\x01" + run(';', 7)},
    {"255 has shift 3 and wraps to 2", "\xff", "~^+\x02" + run('=', 13)},
    {"a partial marker is plain text", "~^", "~^+~~a" + run('=', 13)},
};

TEST(Scramble, EncodesAndDecodesByTheByteRule) {
  for (const auto& c : kByteRule) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(encode(c.plain), c.scrambled);
    EXPECT_EQ(decode(c.scrambled), c.plain);
  }
}

// Both directions pass through texts that are already in the form they make.
const Case kPassThrough[] = {
    {"marker alone", "~^+", "~^+"},
    {"marker and more", "~^+abc", "~^+abc"},
};

TEST(Scramble, EncodingAMarkedTextCopiesIt) {
  for (const auto& c : kPassThrough) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(encode(c.plain), c.scrambled);
  }
}

TEST(Scramble, DecodingAnUnmarkedTextCopiesIt) {
  for (const char* text : {"", "a", "~^", "^~+abc", "plain text"}) {
    SCOPED_TRACE(text);
    auto [result, printed] = decodeCapturingOutput(text);
    EXPECT_EQ(result, text);
    EXPECT_EQ(printed, "");
  }
}

TEST(Scramble, DecodingTheMarkerAloneGivesTheEmptyText) { EXPECT_EQ(decode("~^+"), ""); }

// Only the first symbol of a run is looked at; the rest is skipped by the
// length that symbol implies.
TEST(Scramble, DecoderSkipsRunsByLength) {
  EXPECT_EQ(decode("~^+g;xxxxxxb~"), "ab");
  // A run cut short ends the text without complaint.
  EXPECT_EQ(decode("~^+\x09^^"), "\x08");
  EXPECT_EQ(decode("~^+g;;;;;;;\x01;"), "a\xfb");
}

struct BrokenCase {
  const char* description;
  std::string text;
  std::string printed;
};

const BrokenCase kBroken[] = {
    {"stored byte at the end", "~^+A", "can't decode char at 4, len=4\n"},
    {"second stored byte at the end", "~^+A~B", "can't decode char at 6, len=6\n"},
    {"letter where a symbol belongs", "~^+Ax~", "can't decode char at 4, len=6\n"},
    {"after a full run", "~^+g;;;;;;;bX", "can't decode char at 12, len=13\n"},
};

TEST(Scramble, DecoderReportsABrokenRuleAndCopiesTheText) {
  for (const auto& c : kBroken) {
    SCOPED_TRACE(c.description);
    auto [result, printed] = decodeCapturingOutput(c.text);
    EXPECT_EQ(result, c.text);
    EXPECT_EQ(printed, c.printed);
  }
}

TEST(Scramble, NullTextGivesNull) {
  EXPECT_EQ(util_encode(nullptr), nullptr);
  EXPECT_EQ(util_decode(nullptr), nullptr);
}

TEST(Scramble, RoundTripsEveryByteButTheOneStoredAsNul) {
  std::string all;
  for (int c = 1; c < 256; ++c)
    if (c != 254) all.push_back(static_cast<char>(c));
  EXPECT_EQ(decode(encode(all)), all);
  // 254 is stored as 0 and ends the scrambled text.
  EXPECT_EQ(decode(encode("ab\xfe" "cd")), "ab");
}

TEST(Scramble, RoundTripsRandomTexts) {
  std::mt19937 rng(42);
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 64, '\0');
    for (auto& c : text) {
      do c = static_cast<char>(rng() % 256);
      while (c == '\0' || c == '\xfe');
    }
    if (text.compare(0, 3, "~^+") == 0) continue;  // passed through unchanged
    ASSERT_EQ(decode(encode(text)), text) << ::testing::PrintToString(text);
  }
}

// No text in memory is that long; the arithmetic is checked on its own.
TEST(ScrambleSize, RefusesSizesThatDoNotFit) {
  using ornutil::scramble::scrambledSize;
  std::size_t size = 7;
  EXPECT_TRUE(scrambledSize(2, 8, &size));
  EXPECT_EQ(size, 14u);
  EXPECT_TRUE(scrambledSize(SIZE_MAX - 20, 16, &size));
  EXPECT_EQ(size, SIZE_MAX);
  size = 7;
  EXPECT_FALSE(scrambledSize(SIZE_MAX - 20, 17, &size));
  EXPECT_FALSE(scrambledSize(SIZE_MAX / 2, SIZE_MAX / 2, &size));
  EXPECT_FALSE(scrambledSize(SIZE_MAX, 0, &size));
  EXPECT_EQ(size, 7u);
}

}  // namespace
