#include "util/encode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/internal/scramble_kernel.h"
#include "util/internal/scramble_size.h"

namespace sc = ornutil::scramble;

const char* const symb = sc::kSymbols;

char* util_encode(char const* text) {
  if (text == nullptr) return nullptr;
  const std::size_t n = std::strlen(text);
  if (sc::startsWithMarker(text, n)) return strdup(text);
  // A copy of the plain text would be taken for its scrambled form: every
  // failure below is null.
  if (std::memchr(text, sc::kUnstorable, n) != nullptr) return nullptr;

  const auto* in = reinterpret_cast<const unsigned char*>(text);
  std::size_t runs = 0, size = 0;
  if (!sc::runsTotal(in, n, &runs) || !sc::scrambledSize(n, runs, &size)) return nullptr;
  char* out = static_cast<char*>(std::malloc(size));
  if (out == nullptr) return nullptr;

  std::memcpy(out, sc::kSymbols, sc::kMarkerLength);
  char* end = sc::encodeBytes(in, n, out + sc::kMarkerLength);
  *end = '\0';
  return out;
}

char* util_decode(char const* text) {
  if (text == nullptr) return nullptr;
  const std::size_t n = std::strlen(text);
  if (!sc::startsWithMarker(text, n)) return strdup(text);
  char* out = static_cast<char*>(std::malloc(n + 1));
  if (out == nullptr) return nullptr;

  sc::Decoder decoder;
  std::size_t o = decoder.feed(reinterpret_cast<const unsigned char*>(text), n, out);
  o += decoder.finish(out + o);
  if (decoder.broken()) {
    // Positions as long: the same digits as int for any text below 2 GiB,
    // and still right above.
    std::printf("can't decode char at %ld, len=%ld\n", static_cast<long>(decoder.errorPosition()),
                static_cast<long>(n));
    std::free(out);
    return strdup(text);
  }
  out[o] = '\0';
  return out;
}
