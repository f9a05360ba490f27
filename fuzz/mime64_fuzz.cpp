// Fuzzes the Base64 decoder with any bytes: on every path this processor
// runs (scalar, AVX2, AVX-512, each forced through the test hook) its output
// must match the character-by-character rules, so all paths give identical
// results, and must come back unchanged through the encoder and the decoder.
// The input itself must survive an encode/decode round trip too, with the
// same text from every path. Inputs are also repeated to cross the vector
// code's blocks and chunks.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/internal/base64_core.h"
#include "util/mime64_new.h"

namespace {

using ornutil::base64::Path;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "mime64_fuzz: %s\n", what);
  std::abort();
}

// One character at a time: "=" stops, characters outside the alphabet are
// skipped, "-" is 63, every 6-bit value goes into the bit stream.
std::string referenceDecode(const unsigned char* text, std::size_t size) {
  std::string out;
  unsigned bits = 0, count = 0;
  for (std::size_t i = 0; i < size; ++i) {
    unsigned char c = text[i];
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

const Path kPaths[] = {Path::scalar, Path::avx2, Path::avx512};

std::string decode(const char* text, std::size_t size, Path path) {
  if (!ornutil::base64::set_path(path)) fail("path refused after it was accepted");
  char* out = nullptr;
  unsigned long length = 0;
  mime64_new_decode(text, size, &out, &length);
  if (size == 0) {
    if (out != nullptr || length != 0) fail("empty input gave a buffer");
    return {};
  }
  if (out == nullptr) fail("decoder gave no buffer");
  if (length > size) fail("decoded more bytes than characters");
  std::string bytes(out, length);
  std::free(out);
  return bytes;
}

std::string encode(const unsigned char* data, std::size_t size, Path path) {
  if (!ornutil::base64::set_path(path)) fail("path refused after it was accepted");
  char* text = mime64_new_encode(data, size);
  if (text == nullptr) fail("encoder gave null");
  std::string s(text);
  std::free(text);
  if (s.size() != (size + 2) / 3 * 4) fail("encoded length");
  return s;
}

void check(const unsigned char* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string expected = referenceDecode(data, size);
  std::string encoded;
  bool first = true;
  for (Path path : kPaths) {
    if (!ornutil::base64::set_path(path)) continue;  // not on this processor
    std::string bytes = decode(text, size, path);
    if (bytes != expected) fail("decoder differs from the character rules");

    // Round trip on its own output.
    std::string again = encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), path);
    if (!bytes.empty() && decode(again.data(), again.size(), path) != bytes)
      fail("decode(encode(decoded)) changed the bytes");

    // And on the input taken as bytes, with the same text on every path.
    std::string whole = encode(data, size, path);
    if (first) encoded = whole;
    else if (whole != encoded) fail("encoders differ between paths");
    first = false;
    if (size != 0 && decode(whole.data(), whole.size(), path) != std::string(text, size))
      fail("decode(encode(input)) changed the bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check(data, size);
  // Short inputs again, repeated past a few 64-character blocks and a chunk
  // of them, so that their line breaks and junk meet the blocks' edges at
  // every offset.
  if (size != 0 && size <= 512) {
    std::string repeated;
    while (repeated.size() < 5000) repeated.append(reinterpret_cast<const char*>(data), size);
    const std::vector<unsigned char> exact(repeated.begin(), repeated.end());  // reads past it show
    check(exact.data(), exact.size());
  }
  ornutil::base64::set_path(Path::automatic);
  return 0;
}
