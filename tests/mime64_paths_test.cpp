// The codec's code paths (scalar, AVX2, AVX-512) side by side: each one this
// processor runs is forced in turn through ornutil::base64::set_path and must
// give the same bytes as the others and as the one-character-at-a-time rules,
// on the same inputs. The inputs aim at the places where the vector code
// changes its mind: block and chunk edges, line breaks, runs of characters to
// skip, "=" and "-" anywhere, and lengths around every block size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "util/internal/base64_avx512.h"
#include "util/internal/base64_core.h"
#include "util/mime64_new.h"

namespace {

namespace b64 = ornutil::base64;
using b64::Path;

const Path kVectorAndScalar[] = {Path::scalar, Path::avx2, Path::avx512};

const char* pathName(Path path) {
  switch (path) {
    case Path::scalar: return "scalar";
    case Path::avx2: return "AVX2";
    case Path::avx512: return "AVX-512";
    case Path::automatic: return "automatic";
  }
  return "?";
}

// "=" stops, characters outside the alphabet are skipped, "-" is 63.
std::string referenceDecode(const std::string& text) {
  std::string out;
  unsigned bits = 0, count = 0;
  for (unsigned char c : text) {
    if (c == '=') break;
    unsigned v = c < 128 ? new_reverse_alphabet[c] : 255;
    if (v == 255) continue;
    bits = (bits << 6 | v) & 0xffffff;
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

// Input copied to exactly its length, so that AddressSanitizer sees any read
// past it; the output buffer is the decoder's own malloc of `length` bytes.
std::string decode(const std::string& text) {
  std::vector<char> exact(text.begin(), text.end());
  char* out = nullptr;
  unsigned long length = 0;
  mime64_new_decode(exact.data(), exact.size(), &out, &length);
  std::string result = out ? std::string(out, length) : "(null)";
  std::free(out);
  return text.empty() ? "" : result;
}

std::string encode(const std::string& bytes) {
  std::vector<unsigned char> exact(bytes.begin(), bytes.end());
  char* text = mime64_new_encode(exact.data(), exact.size());
  std::string result = text ? text : "(null)";
  std::free(text);
  return result;
}

std::string wrap(const std::string& text, std::size_t width, const char* eol) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += width) out += text.substr(i, width) + eol;
  return out;
}

struct Input {
  std::string description;
  std::string text;
};

// Characters that are only skipped, and ones that are not what they seem:
// 0xbd has the low 7 bits of "=", NUL ends nothing.
const char kSkipped[] = {' ', '\n', '\r', '\t', '*', '.', '~', '\0', '\x80', '\xbd', '\xff', '\x7f'};

std::string withSkips(std::mt19937& rng, std::string text, std::size_t inserts, std::size_t maxRun) {
  for (std::size_t k = 0; k < inserts; ++k) {
    std::size_t run = 1 + rng() % maxRun;
    std::string junk;
    for (std::size_t r = 0; r < run; ++r) junk.push_back(kSkipped[rng() % sizeof kSkipped]);
    text.insert(rng() % (text.size() + 1), junk);
  }
  return text;
}

std::vector<Input> makeInputs() {
  std::vector<Input> inputs;
  std::mt19937 rng(20240611);
  auto add = [&](std::string description, std::string text) {
    inputs.push_back({std::move(description), std::move(text)});
  };
  // Every length from 0 to 300: clean, wrapped, with skips, with "-", with
  // "=" somewhere.
  for (std::size_t n = 0; n <= 300; ++n) {
    std::string text = encode(randomBytes(rng, n));
    std::string tag = " n=" + std::to_string(n);
    add("clean" + tag, text);
    add("76 LF" + tag, wrap(text, 76, "\n"));
    add("76 CRLF" + tag, wrap(text, 76, "\r\n"));
    add("skips" + tag, withSkips(rng, text, rng() % 8, rng() % 3 == 0 ? 70 : 3));
    std::string dashed = text;
    for (auto& c : dashed)
      if (c == '/' || rng() % 50 == 0) c = '-';
    add("dashes" + tag, dashed);
    std::string padded = text;
    padded.insert(rng() % (padded.size() + 1), rng() % 2 ? "=" : "==");
    add("= inside" + tag, padded);
  }
  // Odd line widths and line ends, over a few block sizes.
  for (std::size_t n : {47u, 48u, 49u, 95u, 96u, 97u, 200u, 1000u}) {
    std::string text = encode(randomBytes(rng, n));
    for (std::size_t width : {1u, 3u, 4u, 63u, 64u, 65u, 127u, 150u})
      for (const char* eol : {"\n", "\r\n", " ", "\n\n\n"})
        add("width " + std::to_string(width) + " n=" + std::to_string(n), wrap(text, width, eol));
  }
  // Large texts, across many blocks and several chunks of blocks.
  for (std::size_t n : {3000u, 3072u, 12288u, 40000u, 100000u}) {
    std::string bytes = randomBytes(rng, n), text = encode(bytes);
    std::string tag = " n=" + std::to_string(n);
    add("large clean" + tag, text);
    add("large 76 LF" + tag, wrap(text, 76, "\n"));
    add("large 76 CRLF" + tag, wrap(text, 76, "\r\n"));
    add("large 64 CRLF" + tag, wrap(text, 64, "\r\n"));
    add("large sparse skips" + tag, withSkips(rng, text, text.size() / 3000 + 1, 2));
    add("large dense skips" + tag, withSkips(rng, text, text.size() / 8, 3));
    add("large long runs" + tag, withSkips(rng, text, text.size() / 400 + 1, 300));
    // Wrapped text, then clean text: the skipping code hands back to the
    // plain loop part way.
    add("wrapped then clean" + tag, wrap(text.substr(0, text.size() / 2), 76, "\n") +
                                        text.substr(text.size() / 2));
    // "=" at and around block and chunk edges of wrapped text.
    std::string wrapped = wrap(text, 76, "\r\n");
    for (std::size_t at : {std::size_t(64), std::size_t(4095), std::size_t(4096), std::size_t(4097),
                           std::size_t(64 * 65 + 1), wrapped.size() - 70, wrapped.size() - 1}) {
      if (at >= wrapped.size()) continue;
      std::string stopped = wrapped;
      stopped.insert(at, "=");
      add("large = at " + std::to_string(at) + tag, stopped);
      std::string aliased = wrapped;
      aliased.insert(at, "\xbd");
      add("large 0xbd at " + std::to_string(at) + tag, aliased);
    }
    std::string dashed = wrap(text, 76, "\n");
    for (auto& c : dashed)
      if (c == '/') c = '-';
    add("large dashes" + tag, dashed);
  }
  return inputs;
}

const std::vector<Input>& inputs() {
  static const std::vector<Input> all = makeInputs();
  return all;
}

class Mime64AllPaths : public ::testing::Test {
 protected:
  void TearDown() override { b64::set_path(Path::automatic); }

  // The paths this processor runs; the others are named in the log.
  static std::vector<Path> runnable() {
    std::vector<Path> paths;
    for (Path path : kVectorAndScalar) {
      if (b64::set_path(path))
        paths.push_back(path);
      else
        std::printf("note: this processor does not run the %s path\n", pathName(path));
    }
    b64::set_path(Path::automatic);
    return paths;
  }
};

TEST_F(Mime64AllPaths, DecodersAgreeOnTheSameInputs) {
  const std::vector<Path> paths = runnable();
  for (const Input& input : inputs()) {
    const std::string expected = referenceDecode(input.text);
    for (Path path : paths) {
      ASSERT_TRUE(b64::set_path(path));
      ASSERT_EQ(decode(input.text), expected)
          << pathName(path) << " path, " << input.description << ", " << input.text.size()
          << " characters";
    }
  }
}

TEST_F(Mime64AllPaths, EncodersAgreeOnTheSameInputs) {
  const std::vector<Path> paths = runnable();
  std::mt19937 rng(9);
  std::vector<std::string> buffers;
  for (std::size_t n = 0; n <= 300; ++n) buffers.push_back(randomBytes(rng, n));
  for (std::size_t n : {4096u, 65536u + 1, 100000u + 2}) buffers.push_back(randomBytes(rng, n));
  for (const std::string& bytes : buffers) {
    ASSERT_TRUE(b64::set_path(Path::scalar));
    const std::string expected = encode(bytes);
    for (Path path : paths) {
      ASSERT_TRUE(b64::set_path(path));
      ASSERT_EQ(encode(bytes), expected) << pathName(path) << " path, " << bytes.size() << " bytes";
    }
  }
}

// The tool's streaming decoder on every path: a text cut into pieces of any
// size, groups split anywhere, each piece decoded into a buffer of exactly
// the size the decoder asks for (piece + 3), must give the one-shot result.
TEST_F(Mime64AllPaths, StreamDecoderCutAnywhereMatchesTheRules) {
  const std::vector<Path> paths = runnable();
  std::mt19937 rng(12);
  for (const Input& input : inputs()) {
    if (input.text.size() % 7 != 0 && input.text.size() < 1000) continue;  // a sample is enough
    const std::string expected = referenceDecode(input.text);
    for (Path path : paths) {
      b64::StreamDecoder decoder(path);
      std::string got;
      std::size_t at = 0;
      while (at < input.text.size() && !decoder.stopped()) {
        std::size_t piece = std::min<std::size_t>(input.text.size() - at,
                                                  rng() % 4 == 0 ? 1 + rng() % 5000 : 1 + rng() % 200);
        std::vector<unsigned char> chars(input.text.begin() + at, input.text.begin() + at + piece);
        std::vector<unsigned char> bytes(piece + 3);
        std::size_t n = decoder.feed(chars.data(), piece, bytes.data());
        ASSERT_LE(n, piece + 3);
        got.append(reinterpret_cast<const char*>(bytes.data()), n);
        at += piece;
      }
      std::vector<unsigned char> last(3);
      std::size_t n = decoder.finish(last.data());
      got.append(reinterpret_cast<const char*>(last.data()), n);
      ASSERT_EQ(got, expected) << pathName(path) << " path, " << input.description;
      ASSERT_EQ(decoder.stopped(), input.text.find('=') != std::string::npos) << input.description;
    }
  }
}

// The tool asks for "vector or not"; the vector choice must be the best path
// this processor runs, and both must encode like the codec.
TEST_F(Mime64AllPaths, StreamEncoderVectorChoiceIsTheBestPath) {
  EXPECT_EQ(b64::pathFor(false), Path::scalar);
  EXPECT_EQ(b64::pathFor(true), b64::bestPath());
  ASSERT_TRUE(b64::set_path(Path::automatic));
  EXPECT_EQ(b64::active_path(), b64::bestPath());

  std::mt19937 rng(4);
  const std::string bytes = randomBytes(rng, 10000);
  const std::string expected = encode(bytes);
  for (bool vector : {false, true}) {
    std::vector<char> text(bytes.size() / 3 * 4 + 4);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t done = b64::encodeGroups(data, bytes.size(), text.data(), vector);
    std::size_t length = done / 3 * 4;
    length += b64::encodeLast(data + done, bytes.size() - done, text.data() + length);
    EXPECT_EQ(std::string(text.data(), length), expected) << "vector " << vector;
  }
}

#if ORNUTIL_BASE64_HAVE_AVX512
// The AVX-512 path is chosen only when the processor reports every
// instruction set its kernels are compiled for and the operating system saves
// the registers: a virtual machine that masks one feature (BMI2, whose pdep
// the skipping decoder uses, or any other) must get another path, not an
// illegal instruction.
TEST(Mime64PathChoice, Avx512NeedsEveryFeatureItsKernelsUse) {
  b64::CpuFeatures all;
  all.leaf1Ecx = bit_OSXSAVE;
  all.hasLeaf7 = true;
  all.leaf7Ebx = bit_AVX2 | bit_AVX512F | bit_AVX512BW | bit_BMI | bit_BMI2;
  all.leaf7Ecx = bit_AVX512VBMI | bit_AVX512VBMI2;
  all.xcr0 = 0xe7;
  ASSERT_TRUE(b64::runsAvx512(all));
  const struct {
    const char* missing;
    unsigned b64::CpuFeatures::*field;
    unsigned bit;
  } rows[] = {
      {"BMI2", &b64::CpuFeatures::leaf7Ebx, bit_BMI2},
      {"BMI", &b64::CpuFeatures::leaf7Ebx, bit_BMI},
      {"AVX2", &b64::CpuFeatures::leaf7Ebx, bit_AVX2},
      {"AVX-512 F", &b64::CpuFeatures::leaf7Ebx, bit_AVX512F},
      {"AVX-512 BW", &b64::CpuFeatures::leaf7Ebx, bit_AVX512BW},
      {"AVX-512 VBMI", &b64::CpuFeatures::leaf7Ecx, bit_AVX512VBMI},
      {"AVX-512 VBMI2", &b64::CpuFeatures::leaf7Ecx, bit_AVX512VBMI2},
      {"OSXSAVE (no XCR0 to read)", &b64::CpuFeatures::leaf1Ecx, bit_OSXSAVE},
      {"opmask state saved", &b64::CpuFeatures::xcr0, 1u << 5},
      {"upper halves of zmm0-15 saved", &b64::CpuFeatures::xcr0, 1u << 6},
      {"zmm16-31 saved", &b64::CpuFeatures::xcr0, 1u << 7},
      {"AVX state saved", &b64::CpuFeatures::xcr0, 1u << 2},
  };
  for (const auto& row : rows) {
    b64::CpuFeatures f = all;
    f.*row.field &= ~row.bit;
    EXPECT_FALSE(b64::runsAvx512(f)) << "chosen without " << row.missing;
  }
  b64::CpuFeatures noLeaf7 = all;
  noLeaf7.hasLeaf7 = false;
  EXPECT_FALSE(b64::runsAvx512(noLeaf7)) << "chosen without CPUID leaf 7";
  // This processor: the choice agrees with what it reports.
  EXPECT_EQ(b64::cpuHasAvx512(), b64::runsAvx512(b64::readCpuFeatures()));
  EXPECT_EQ(b64::set_path(Path::avx512), b64::cpuHasAvx512());
  b64::set_path(Path::automatic);
}
#endif

}  // namespace
