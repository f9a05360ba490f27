// Fuzzes the Base64 decoder with any bytes: its output must match the
// character-by-character rules on both the AVX2 and the scalar path, and must
// come back unchanged through the encoder and the decoder. The input itself
// must survive an encode/decode round trip too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/internal/base64_kernels.h"
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

std::string decode(const char* text, std::size_t size, Path path) {
  ornutil::base64::set_path(path);
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
  ornutil::base64::set_path(path);
  char* text = mime64_new_encode(data, size);
  if (text == nullptr) fail("encoder gave null");
  std::string s(text);
  std::free(text);
  if (s.size() != (size + 2) / 3 * 4) fail("encoded length");
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::string expected = referenceDecode(data, size);
  for (Path path : {Path::automatic, Path::scalar}) {
    std::string bytes = decode(text, size, path);
    if (bytes != expected) fail("decoder differs from the character rules");

    // Round trip on its own output.
    std::string again = encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), path);
    if (!bytes.empty() && decode(again.data(), again.size(), path) != bytes)
      fail("decode(encode(decoded)) changed the bytes");

    // And on the input taken as bytes.
    std::string whole = encode(data, size, path);
    if (size != 0 && decode(whole.data(), whole.size(), path) != std::string(text, size))
      fail("decode(encode(input)) changed the bytes");
  }
  ornutil::base64::set_path(Path::automatic);
  return 0;
}
