#include "util/mime64_new.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <ostream>
#include <string>
#include <vector>

#include "util/internal/base64_core.h"

// The allocation-failure cases ask malloc for more than any machine has;
// AddressSanitizer must answer null as the C library does, not abort.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

using ornutil::base64::Path;

// Input blocks are copied to exactly their length, so that AddressSanitizer
// sees any read past them.
std::string encode(const std::string& bytes) {
  std::vector<unsigned char> exact(bytes.begin(), bytes.end());
  char* text = mime64_new_encode(exact.data(), exact.size());
  if (text == nullptr) ADD_FAILURE() << "encoder returned null";
  std::string result = text ? text : "";
  std::free(text);
  return result;
}

// The decoded bytes, or nullopt when the decoder stored a null buffer.
std::optional<std::string> decode(const std::string& text) {
  std::vector<char> exact(text.begin(), text.end());
  char* out = reinterpret_cast<char*>(1);
  unsigned long length = 12345;
  mime64_new_decode(exact.data(), exact.size(), &out, &length);
  if (out == nullptr) {
    EXPECT_EQ(length, 0u);
    return std::nullopt;
  }
  std::string result(out, length);
  std::free(out);
  return result;
}

// Straight from the decoding rules, one character at a time, for comparison
// with the block kernels.
std::string referenceDecode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0, count = 0;
  for (char ch : text) {
    if (ch == '=') break;
    int v = ch == '-' ? 63 : ch == '\0' ? -1 : static_cast<int>(alphabet.find(ch));
    if (v < 0) continue;
    bits = (bits << 6 | unsigned(v)) & 0xffffff;
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  return out;
}

std::string randomBytes(std::mt19937& rng, std::size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xff);
  return s;
}

// Every path the codec has, each forced through the test hook
// ornutil::base64::set_path; automatic is whichever this processor runs best.
const Path kPaths[] = {Path::scalar, Path::avx2, Path::avx512, Path::automatic};

const char* pathName(Path path) {
  switch (path) {
    case Path::scalar: return "Scalar";
    case Path::avx2: return "Avx2";
    case Path::avx512: return "Avx512";
    case Path::automatic: return "Automatic";
  }
  return "?";
}

}  // namespace

namespace ornutil {
namespace base64 {
// Failure messages name the path, not its number.
void PrintTo(Path path, std::ostream* os) { *os << pathName(path); }
}  // namespace base64
}  // namespace ornutil

namespace {

// Runs each test once per path; a path this processor cannot run is skipped
// (and says so), never silently replaced by another.
class Mime64 : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (!ornutil::base64::set_path(GetParam()))
      GTEST_SKIP() << "this processor does not run the " << pathName(GetParam()) << " path";
  }
  void TearDown() override { ornutil::base64::set_path(Path::automatic); }
};

INSTANTIATE_TEST_SUITE_P(Paths, Mime64, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<Path>& info) {
                           return std::string(pathName(info.param));
                         });

TEST(Mime64Tables, MatchTheAlphabet) {
  static_assert(sizeof new_alphabet == 65, "64 characters and a NUL");
  static_assert(sizeof new_reverse_alphabet == 128, "one entry per ASCII code");
  static_assert(sizeof new_bitmasks == 8, "masks of 1 to 8 bits");
  EXPECT_STREQ(new_alphabet, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  for (int c = 0; c < 128; ++c) {
    const char* at = c != 0 ? std::strchr(new_alphabet, c) : nullptr;
    int expected = c == '-' ? 63 : at ? static_cast<int>(at - new_alphabet) : 255;
    EXPECT_EQ(new_reverse_alphabet[c], expected) << "code " << c;
  }
  for (int bits = 1; bits <= 8; ++bits) EXPECT_EQ(new_bitmasks[bits - 1], (1u << bits) - 1);
}

// RFC 4648 section 10.
TEST_P(Mime64, KnownAnswersFromRfc4648) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, text] : vectors) {
    SCOPED_TRACE(plain);
    EXPECT_EQ(encode(plain), text);
    if (*plain != '\0') {
      EXPECT_EQ(decode(text), plain);
    }
  }
}

TEST_P(Mime64, EncodesLikeTheRfc) {
  EXPECT_EQ(encode("abc"), "YWJj");
  EXPECT_EQ(encode("a"), "YQ==");
  EXPECT_EQ(encode("ab"), "YWI=");
  EXPECT_EQ(encode(std::string("\xff\xff\xfe", 3)), "///+");
  EXPECT_EQ(encode(std::string("\0\0\0", 3)), "AAAA");
}

// The output of coreutils' base64 for random buffers of every length from 0
// to 300, computed once for both paths.
const std::map<std::size_t, std::pair<std::string, std::string>>& coreutilsVectors() {
  static const auto vectors = [] {
    std::map<std::size_t, std::pair<std::string, std::string>> v;
    std::mt19937 rng(20240610);
    char path[] = "/tmp/mime64_test_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return v;
    close(fd);
    for (std::size_t n = 0; n <= 300; ++n) {
      std::string bytes = randomBytes(rng, n);
      FILE* f = std::fopen(path, "wb");
      if (f == nullptr) break;
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
      std::string command = std::string("base64 -w0 < ") + path;
      FILE* pipe = popen(command.c_str(), "r");
      if (pipe == nullptr) break;
      std::string text;
      char buffer[512];
      std::size_t got;
      while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
      if (pclose(pipe) != 0) break;
      v[n] = {bytes, text};
    }
    unlink(path);
    return v;
  }();
  return vectors;
}

TEST_P(Mime64, EncoderMatchesCoreutilsForEveryLengthTo300) {
  const auto& vectors = coreutilsVectors();
  ASSERT_EQ(vectors.size(), 301u) << "could not run base64 -w0";
  for (const auto& [n, pair] : vectors) {
    SCOPED_TRACE(n);
    EXPECT_EQ(encode(pair.first), pair.second);
    if (n != 0) {
      EXPECT_EQ(decode(pair.second), pair.first);
    }
  }
}

struct DecodeCase {
  const char* description;
  std::string text;
  std::optional<std::string> bytes;  // nullopt: a null buffer
};

const DecodeCase kDecodeCases[] = {
    {"clean group", "YWJj", "abc"},
    {"space inside", "YW Jj", "abc"},
    {"line break inside", "YW\nJj", "abc"},
    {"CRLF line ends", "YWJj\r\nYWJj\r\n", "abcabc"},
    {"one byte padded", "YQ==", "a"},
    {"one byte unpadded", "YQ", "a"},
    {"two bytes padded", "YWI=", "ab"},
    {"two bytes unpadded", "YWI", "ab"},
    {"stops at the first =", "YQ==YWJj", "a"},
    {"= ends a group of two", "YW=Jj", "a"},
    {"= first", "=YWJj", ""},
    {"only padding", "====", ""},
    {"lone trailing value", "YWJjZ", "abc"},
    {"lone value", "Y", ""},
    {"dash decodes like slash", "-w==", "\xff"},
    {"slash", "/w==", "\xff"},
    {"high-bit bytes skipped", "\xc3YW\xff\x80Jj\xfe", "abc"},
    {"NUL inside the length skipped", std::string("YW\0Jj", 5), "abc"},
    {"characters outside the alphabet", "Y*W.J!j", "abc"},
    {"only white space", " \t\r\n", ""},
};

TEST_P(Mime64, DecoderEdgeCases) {
  for (const auto& c : kDecodeCases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(decode(c.text), c.bytes);
    EXPECT_EQ(decode(c.text).value_or("(null)"), referenceDecode(c.text));
  }
}

TEST_P(Mime64, DecoderReadsOnlyLengthCharacters) {
  const char text[] = "YWJjZGVm";
  char* out = nullptr;
  unsigned long length = 99;
  mime64_new_decode(text, 4, &out, &length);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out, length), "abc");
  std::free(out);
}

TEST_P(Mime64, DecoderGivesNullForNoInput) {
  char* out = reinterpret_cast<char*>(1);
  unsigned long length = 99;
  mime64_new_decode("YWJj", 0, &out, &length);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, 0u);

  out = reinterpret_cast<char*>(1);
  length = 99;
  mime64_new_decode(nullptr, 4, &out, &length);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, 0u);
}

TEST_P(Mime64, DecoderToleratesMissingOutputs) {
  char* out = reinterpret_cast<char*>(1);
  mime64_new_decode("YWJj", 4, &out, nullptr);
  EXPECT_EQ(out, nullptr);
  unsigned long length = 99;
  mime64_new_decode("YWJj", 4, nullptr, &length);
  EXPECT_EQ(length, 0u);
}

TEST_P(Mime64, RoundTripsAllByteValues) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (std::size_t start = 0; start < 3; ++start) {
    std::string bytes = all.substr(start);
    EXPECT_EQ(decode(encode(bytes)), bytes);
  }
}

TEST_P(Mime64, RoundTripsRandomBuffers) {
  std::mt19937 rng(7);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 1; n <= 200; ++n) lengths.push_back(n);
  for (std::size_t n : {1000u, 4095u, 4096u, 4097u, 65536u + 7}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    SCOPED_TRACE(n);
    std::string bytes = randomBytes(rng, n);
    std::string text = encode(bytes);
    ASSERT_EQ(text.size(), (n + 2) / 3 * 4);
    ASSERT_EQ(decode(text), bytes);
  }
}

// Texts as mail and PEM files carry them: a line break every 76 characters.
TEST_P(Mime64, DecodesWrappedText) {
  std::mt19937 rng(11);
  for (const char* eol : {"\n", "\r\n"}) {
    for (std::size_t n : {57u, 100u, 3000u, 10000u}) {
      std::string bytes = randomBytes(rng, n), text = encode(bytes), wrapped;
      for (std::size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + eol;
      EXPECT_EQ(decode(wrapped), bytes) << "n=" << n;
    }
  }
}

// Characters outside the alphabet dropped at every position of the blocks
// the kernels take, against the one-character-at-a-time rules.
TEST_P(Mime64, SkipsAndStopsLikeTheReferenceAnywhere) {
  const char junk[] = {' ', '\n', '\r', '\t', '*', '\0', '\x80', '\xff', '-', '=', '.', '~'};
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    std::string text = encode(randomBytes(rng, rng() % 240));
    if (round % 3 == 0) {
      // Replace '/' with '-' here and there.
      for (auto& c : text)
        if (c == '/' && rng() % 2) c = '-';
    }
    // Up to 9 insertions, some of them runs, so that one block can hold
    // more exceptions than the vector code closes up.
    std::size_t inserts = rng() % 10;
    for (std::size_t k = 0; k < inserts; ++k) {
      char j = junk[rng() % sizeof junk];
      if (j == '=' && rng() % 4) j = ' ';  // keep most texts going to the end
      std::size_t count = rng() % 4 == 0 ? 1 + rng() % 6 : 1;
      text.insert(rng() % (text.size() + 1), count, j);
    }
    if (text.empty()) continue;
    SCOPED_TRACE(::testing::PrintToString(text));
    ASSERT_EQ(decode(text), referenceDecode(text));
  }
}

// Every length from 1 to 300 of clean text, so that the kernels' word stores
// meet the end of the buffer at every offset (AddressSanitizer watches).
TEST_P(Mime64, KernelStoresStayInsideTheBuffer) {
  std::mt19937 rng(5);
  std::string text = encode(randomBytes(rng, 240));
  text += "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
  for (std::size_t n = 1; n <= text.size(); ++n) {
    std::string prefix = text.substr(0, n);
    ASSERT_EQ(decode(prefix), referenceDecode(prefix)) << "n=" << n;
  }
}

// Lengths whose ((n + 2) / 3) * 4 + 1 does not fit: a wrapped computation
// would allocate a few bytes and then read n.
TEST(Mime64Limits, EncoderRefusesSizesThatDoNotFit) {
  const unsigned char byte = 'x';
  for (unsigned long n : {ULONG_MAX, ULONG_MAX - 1, ULONG_MAX / 4 * 3 + 3, 3 * (1UL << 62)}) {
    EXPECT_EQ(mime64_new_encode(&byte, n), nullptr) << n;
  }
}

TEST(Mime64Limits, EncoderReportsAllocationFailureAsNull) {
  // Fits in a size_t, but no heap has it; nothing is read.
  const unsigned char byte = 'x';
  EXPECT_EQ(mime64_new_encode(&byte, (ULONG_MAX - 1) / 4 * 3), nullptr);
}

TEST(Mime64Limits, EncoderRefusesNullDataWithLength) {
  EXPECT_EQ(mime64_new_encode(nullptr, 3), nullptr);
  char* text = mime64_new_encode(nullptr, 0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  std::free(text);
}

TEST(Mime64Limits, DecoderReportsAllocationFailureAsNullAndZero) {
  char* out = reinterpret_cast<char*>(1);
  unsigned long length = 99;
  mime64_new_decode("YWJj", ULONG_MAX, &out, &length);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, 0u);
}

TEST(Mime64Paths, TheHookForcesEachPathThisProcessorRuns) {
  for (Path path : kPaths) {
    SCOPED_TRACE(pathName(path));
    if (!ornutil::base64::set_path(path)) {
      // Refused: the path in force stays what it was.
      EXPECT_NE(path, Path::scalar);
      EXPECT_NE(path, Path::automatic);
      continue;
    }
    Path active = ornutil::base64::active_path();
    EXPECT_NE(active, Path::automatic);
    if (path != Path::automatic) {
      EXPECT_EQ(active, path);
    }
  }
  ornutil::base64::set_path(Path::automatic);
}

}  // namespace
