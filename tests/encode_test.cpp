#include "util/encode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "util/internal/scramble_kernel.h"
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
}

// 254 would be stored as 0 and end the scrambled text: rather than hand back
// a shortened secret, or the plain text, the encoder refuses it.
TEST(Scramble, EncoderRefusesTheByteItCannotStore) {
  for (const char* text : {"\xfe", "ab\xfe" "cd", "abcd\xfe"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    EXPECT_EQ(util_encode(text), nullptr);
  }
  // A marked text is copied whatever it holds (253 is stored as 254).
  const std::string marked = "~^+\xfe^^^^^^^";
  EXPECT_EQ(encode(marked), marked);
  EXPECT_EQ(decode(marked), "\xfd");
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

// ---------------------------------------------------------------- the kernels
// The tool streams through the same kernels: cut anywhere, they must give
// exactly what the whole-text functions give.

namespace sc = ornutil::scramble;

constexpr char kFill = '\x5a';  // marks bytes a kernel must not have written

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Every byte value but NUL and 254, once each, in a mixed order (forms of
// every length next to one another).
std::string sample() {
  std::string values;
  for (int c = 1; c < 256; ++c)
    if (c != 254) values.push_back(static_cast<char>(c));
  std::string s;
  for (std::size_t i = 0; i < values.size(); ++i) s.push_back(values[(i * 37) % values.size()]);
  return s;
}

TEST(ScrambleKernel, EncoderWritesExactlyTheFormsWhereverTheTextIsCut) {
  const std::string text = sample();
  ASSERT_EQ(text.find('\xfe'), std::string::npos);
  const std::string whole = encode(text).substr(sc::kMarkerLength);
  std::vector<char> out(text.size() * sc::kMaxFormLength + 32);
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    SCOPED_TRACE(cut);
    std::fill(out.begin(), out.end(), kFill);
    char* middle = sc::encodeBytes(bytes(text), cut, out.data());
    // Nothing past the first piece's forms was touched, whatever its length.
    ASSERT_TRUE(std::all_of(middle, out.data() + out.size(), [](char c) { return c == kFill; }));
    char* end = sc::encodeBytes(bytes(text) + cut, text.size() - cut, middle);
    ASSERT_EQ(std::string(out.data(), end), whole);
    ASSERT_TRUE(std::all_of(end, out.data() + out.size(), [](char c) { return c == kFill; }));
  }
  std::size_t runs = 0;
  ASSERT_TRUE(sc::runsTotal(bytes(text), text.size(), &runs));
  EXPECT_EQ(text.size() + runs, whole.size());
}

// What util_decode makes of a text: its result and what it printed.
struct Reference {
  std::string result, printed;
};

// Feeds `text` to a decoder in the pieces between `cuts`, checking that no
// call writes past what it reports, and renders the outcome the way
// util_decode would.
Reference decodeInPieces(const std::string& text, const std::vector<std::size_t>& cuts) {
  sc::Decoder decoder;
  std::vector<char> out(text.size() + 8, kFill);
  std::size_t o = 0, from = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(text.size());
  for (std::size_t to : ends) {
    o += decoder.feed(bytes(text) + from, to - from, out.data() + o);
    EXPECT_TRUE(std::all_of(out.begin() + o, out.end(), [](char c) { return c == kFill; }));
    from = to;
  }
  o += decoder.finish(out.data() + o);
  EXPECT_LE(o, text.size());
  if (!decoder.broken()) return {std::string(out.data(), o), ""};
  return {text, "can't decode char at " + std::to_string(decoder.errorPosition()) +
                    ", len=" + std::to_string(text.size()) + "\n"};
}

TEST(ScrambleKernel, DecoderAgreesWithTheWholeTextDecoderWhereverTheTextIsCut) {
  const std::string good = encode("a\x08\x09\x0a\x0b\x0c\xfb\xff");
  const struct {
    const char* description;
    std::string text;
  } samples[] = {
      {"empty", ""},
      {"part of the marker", "~^"},
      {"plain text starting like the marker", "~^x and more"},
      {"plain text", "plain text"},
      {"marker alone", "~^+"},
      {"every shift", good},
      {"run cut short", good.substr(0, good.size() - 3)},
      {"stored byte at the end", good + "A"},
      {"letter where a symbol belongs", good.substr(0, 4) + "x" + good.substr(5)},
      {"broken after a full run", "~^+g;;;;;;;bX"},
      {"junk inside runs is skipped", "~^+g;xxxxxxb~"},
  };
  for (const auto& s : samples) {
    SCOPED_TRACE(s.description);
    Reference reference;
    ::testing::internal::CaptureStdout();
    reference.result = decode(s.text);
    reference.printed = ::testing::internal::GetCapturedStdout();
    const std::size_t n = s.text.size();
    for (std::size_t i = 0; i <= n; ++i) {
      for (std::size_t j = i; j <= n; ++j) {
        Reference got = decodeInPieces(s.text, {i, j});
        ASSERT_EQ(got.result, reference.result) << "cut at " << i << " and " << j;
        ASSERT_EQ(got.printed, reference.printed) << "cut at " << i << " and " << j;
      }
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < n; ++i) everyByte.push_back(i);
    Reference got = decodeInPieces(s.text, everyByte);
    EXPECT_EQ(got.result, reference.result);
    EXPECT_EQ(got.printed, reference.printed);
  }
}

// Cut into pieces the kernels keep every byte value: only the NUL-terminated
// texts of the library lose NUL, and 254, which is stored as NUL.
TEST(ScrambleKernel, RoundTripsEveryByteValueInRandomPieces) {
  std::mt19937 rng(7);
  std::string text;
  for (int round = 0; round < 40; ++round)
    for (int c = 0; c < 256; ++c) text.push_back(static_cast<char>(round % 2 ? c : 255 - c));
  std::shuffle(text.begin() + 512, text.end(), rng);
  text.insert(0, "x");  // not the marker

  std::string scrambled(sc::kSymbols, sc::kMarkerLength);
  scrambled.resize(sc::kMarkerLength + text.size() * sc::kMaxFormLength);
  char* end = scrambled.data() + sc::kMarkerLength;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t n = std::min<std::size_t>(rng() % 40, text.size() - at);
    end = sc::encodeBytes(bytes(text) + at, n, end);
    at += n;
  }
  scrambled.resize(static_cast<std::size_t>(end - scrambled.data()));

  sc::Decoder decoder;
  std::string plain(scrambled.size() + 2, kFill);
  std::size_t o = 0;
  for (std::size_t at = 0; at < scrambled.size();) {
    std::size_t n = std::min<std::size_t>(rng() % 300, scrambled.size() - at);
    o += decoder.feed(bytes(scrambled) + at, n, plain.data() + o);
    at += n;
  }
  o += decoder.finish(plain.data() + o);
  ASSERT_FALSE(decoder.broken()) << decoder.errorPosition();
  EXPECT_TRUE(decoder.scrambled());
  plain.resize(o);
  EXPECT_TRUE(plain == text);
}

}  // namespace
