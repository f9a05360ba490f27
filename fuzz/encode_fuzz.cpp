// Fuzzes the scrambled-string codec with any text: decoding never reads past
// the text and never grows it, encoding a text without the marker gives a
// marked text that decodes back (byte 254 aside), and a marked text is
// passed through unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/encode.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "encode_fuzz: %s\n", what);
  std::abort();
}

bool marked(const char* text) { return std::strncmp(text, "~^+", 3) == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The decoder reports broken texts on standard output; libFuzzer talks on
  // standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) fail("cannot silence stdout");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A block of exactly the text and its NUL, so that a read past it is seen.
  char* text = static_cast<char*>(std::malloc(size + 1));
  if (text == nullptr) return 0;
  std::memcpy(text, data, size);
  text[size] = '\0';
  const std::size_t length = std::strlen(text);

  char* plain = util_decode(text);
  if (plain == nullptr) fail("decode gave null");
  if (std::strlen(plain) > length) fail("decode grew the text");
  if (!marked(text) && std::strcmp(plain, text) != 0) fail("unmarked text not copied");
  std::free(plain);

  char* scrambled = util_encode(text);
  if (scrambled == nullptr) fail("encode gave null");
  if (!marked(scrambled)) fail("encoded text lacks the marker");
  if (marked(text)) {
    if (std::strcmp(scrambled, text) != 0) fail("marked text not copied");
  } else if (std::memchr(text, 254, length) == nullptr) {
    char* back = util_decode(scrambled);
    if (back == nullptr || std::strcmp(back, text) != 0) fail("round trip changed the text");
    std::free(back);
  }
  std::free(scrambled);
  std::free(text);
  return 0;
}
