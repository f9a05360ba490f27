#include "util/mime64_new.h"

#include <cstdint>
#include <cstdlib>

#include "util/internal/base64_core.h"
#include "util/internal/base64_kernels.h"

static_assert(sizeof(unsigned long) == sizeof(std::size_t),
              "lengths are passed as unsigned long and used as size_t");

// The exported tables. Their values are fixed by the interface; the alphabet
// is the core's own spelling, and the reverse table is checked below against
// the decoder's rule, so that neither can drift from the code that runs.
const char new_alphabet[65] = ORNUTIL_BASE64_ALPHABET;

constexpr unsigned char new_reverse_alphabet[128] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 0x00-0x0f control
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 0x10-0x1f control
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  62, 255,  63, 255,  63,  // 0x20-0x2f '+' '-' '/'
     52,  53,  54,  55,  56,  57,  58,  59,  60,  61, 255, 255, 255, 255, 255, 255,  // 0x30-0x3f '0'-'9'
    255,   0,   1,   2,   3,   4,   5,   6,   7,   8,   9,  10,  11,  12,  13,  14,  // 0x40-0x4f 'A'-'O'
     15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25, 255, 255, 255, 255, 255,  // 0x50-0x5f 'P'-'Z'
    255,  26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40,  // 0x60-0x6f 'a'-'o'
     41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51, 255, 255, 255, 255, 255,  // 0x70-0x7f 'p'-'z'
};

namespace {
constexpr bool reverseTableIsTheDecodersRule() {
  for (unsigned c = 0; c < 128; ++c)
    if (new_reverse_alphabet[c] != ornutil::base64::valueOf(c)) return false;
  return true;
}
static_assert(reverseTableIsTheDecodersRule(), "new_reverse_alphabet differs from the decoder's rule");
}  // namespace

const unsigned char new_bitmasks[8] = {0x01, 0x03, 0x07, 0x0f, 0x1f, 0x3f, 0x7f, 0xff};

namespace b64 = ornutil::base64;

char* mime64_new_encode(unsigned char const* data, unsigned long length) {
  const std::size_t n = length;
  // ((n + 2) / 3) * 4 + 1, refused rather than wrapped to a short buffer.
  const std::size_t groups = n / 3 + (n % 3 != 0);
  if (groups > (SIZE_MAX - 1) / 4) return nullptr;
  if (data == nullptr && n != 0) return nullptr;
  char* text = static_cast<char*>(std::malloc(groups * 4 + 1));
  if (text == nullptr) return nullptr;
  b64::encodeText(data, n, text);
  return text;
}

void mime64_new_decode(char const* text, unsigned long length, char** out,
                       unsigned long* out_length) {
  if (out != nullptr) *out = nullptr;
  if (out_length != nullptr) *out_length = 0;
  if (out == nullptr || out_length == nullptr || text == nullptr || length == 0) return;

  const std::size_t n = length;
  // The output is never longer than the text.
  auto* buffer = static_cast<unsigned char*>(std::malloc(n));
  if (buffer == nullptr) return;
  *out_length = b64::decodeText(reinterpret_cast<const unsigned char*>(text), n, buffer);
  *out = reinterpret_cast<char*>(buffer);
}
