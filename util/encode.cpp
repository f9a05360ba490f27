#include "util/encode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/internal/scramble_size.h"

namespace {

constexpr char kSymbols[] = "~^+=?|;";
constexpr std::size_t kMarkerLength = 3;

// Length of the run of symbol k that follows a stored byte.
constexpr unsigned runLength(unsigned k) { return k * (7 - k) + 1; }

static_assert(runLength(0) == 1 && runLength(1) == 7 && runLength(2) == 11 &&
                  runLength(3) == 13 && runLength(4) == 13 && runLength(5) == 11 &&
                  runLength(6) == 7,
              "run lengths of the scheme");

bool startsWithMarker(const char* text, std::size_t length) {
  return length >= kMarkerLength && std::memcmp(text, kSymbols, kMarkerLength) == 0;
}

}  // namespace

const char* const symb = kSymbols;

char* util_encode(char const* text) {
  if (text == nullptr) return nullptr;
  const std::size_t n = std::strlen(text);
  if (startsWithMarker(text, n)) return strdup(text);

  const auto* in = reinterpret_cast<const unsigned char*>(text);
  std::size_t runs = 0, size = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (__builtin_add_overflow(runs, std::size_t(runLength(in[i] % 7)), &runs)) return strdup(text);
  if (!ornutil::scramble::scrambledSize(n, runs, &size)) return strdup(text);
  char* out = static_cast<char*>(std::malloc(size));
  if (out == nullptr) return strdup(text);

  char* p = out;
  std::memcpy(p, kSymbols, kMarkerLength);
  p += kMarkerLength;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned c = in[i], k = c % 7;
    *p++ = static_cast<char>((c + k) & 0xff);
    std::memset(p, kSymbols[k], runLength(k));
    p += runLength(k);
  }
  *p = '\0';
  return out;
}

char* util_decode(char const* text) {
  if (text == nullptr) return nullptr;
  const std::size_t n = std::strlen(text);
  if (!startsWithMarker(text, n)) return strdup(text);
  char* out = static_cast<char*>(std::malloc(n + 1));
  if (out == nullptr) return strdup(text);

  const auto* in = reinterpret_cast<const unsigned char*>(text);
  std::size_t o = 0;
  // Only the first symbol of a run is looked at; p may jump past the end of a
  // truncated run, which ends the text. in[p + 1] is at worst the NUL.
  for (std::size_t p = kMarkerLength; p < n;) {
    const char* symbol = in[p + 1] != '\0' ? std::strchr(kSymbols, in[p + 1]) : nullptr;
    if (symbol == nullptr) {
      // Positions as long: the same digits as int for any text below 2 GiB,
      // and still right above.
      std::printf("can't decode char at %ld, len=%ld\n", static_cast<long>(p + 1),
                  static_cast<long>(n));
      std::free(out);
      return strdup(text);
    }
    unsigned k = static_cast<unsigned>(symbol - kSymbols);
    out[o++] = static_cast<char>((in[p] - k) & 0xff);
    p += runLength(k) + 1;
  }
  out[o] = '\0';
  return out;
}
