#include "util/mime64_new.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "util/internal/base64_kernels.h"
#include "util/internal/base64_stream.h"

static_assert(sizeof(unsigned long) == sizeof(std::size_t),
              "lengths are passed as unsigned long and used as size_t");

const char new_alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const unsigned char new_reverse_alphabet[128] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 0x00-0x0f control
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 0x10-0x1f control
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  62, 255,  63, 255,  63,  // 0x20-0x2f '+' '-' '/'
     52,  53,  54,  55,  56,  57,  58,  59,  60,  61, 255, 255, 255, 255, 255, 255,  // 0x30-0x3f '0'-'9'
    255,   0,   1,   2,   3,   4,   5,   6,   7,   8,   9,  10,  11,  12,  13,  14,  // 0x40-0x4f 'A'-'O'
     15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25, 255, 255, 255, 255, 255,  // 0x50-0x5f 'P'-'Z'
    255,  26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40,  // 0x60-0x6f 'a'-'o'
     41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51, 255, 255, 255, 255, 255,  // 0x70-0x7f 'p'-'z'
};

const unsigned char new_bitmasks[8] = {0x01, 0x03, 0x07, 0x0f, 0x1f, 0x3f, 0x7f, 0xff};

namespace ornutil {
namespace base64 {

namespace {

// Path::automatic, or the path a test forced. Read on every call, written
// only by tests and benchmarks: relaxed is enough because every path gives
// the same bytes.
std::atomic<Path> forced{Path::automatic};

bool runs(Path path) {
  switch (path) {
    case Path::automatic:
    case Path::scalar:
      return true;
    case Path::avx2:
      return cpuHasAvx2();
    case Path::avx512:
      return cpuHasAvx512();
  }
  return false;
}

}  // namespace

bool set_path(Path path) {
  if (!runs(path)) return false;
  forced.store(path, std::memory_order_relaxed);
  return true;
}

Path active_path() {
  Path path = forced.load(std::memory_order_relaxed);
  return path == Path::automatic ? bestPath() : path;
}

}  // namespace base64
}  // namespace ornutil

namespace b64 = ornutil::base64;

char* mime64_new_encode(unsigned char const* data, unsigned long length) {
  const std::size_t n = length;
  // ((n + 2) / 3) * 4 + 1, refused rather than wrapped to a short buffer.
  const std::size_t groups = n / 3 + (n % 3 != 0);
  if (groups > (SIZE_MAX - 1) / 4) return nullptr;
  if (data == nullptr && n != 0) return nullptr;
  char* text = static_cast<char*>(std::malloc(groups * 4 + 1));
  if (text == nullptr) return nullptr;

  std::size_t i = b64::encodeGroups(data, n, text, b64::active_path());
  char* out = text + i / 3 * 4;
  out += b64::encodeLast(data + i, n - i, out);
  *out = '\0';
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

  // One block of a stream: with no group carried in, the output stays
  // within n bytes (o <= 3i/4), which is all the kernels need.
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  b64::StreamDecoder decoder(b64::active_path());
  std::size_t o = decoder.feed(in, n, buffer);
  o += decoder.finish(buffer + o);
  *out = reinterpret_cast<char*>(buffer);
  *out_length = o;
}
