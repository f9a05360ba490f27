#include "util/internal/base64_core.h"

#include <atomic>
#include <cstring>

#include "util/internal/base64_avx512.h"
#include "util/internal/base64_kernels.h"

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

// ---------------------------------------------------------------- path choice

bool cpuHasAvx2() {
#if ORNUTIL_BASE64_HAVE_AVX2
  // libgcc also checks that the operating system saves the AVX registers.
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

bool cpuHasAvx512() {
#if ORNUTIL_BASE64_HAVE_AVX512
  static const bool has = runsAvx512(readCpuFeatures());
  return has;
#else
  return false;
#endif
}

Path bestPath() {
  if (cpuHasAvx512()) return Path::avx512;
  if (cpuHasAvx2()) return Path::avx2;
  return Path::scalar;
}

Path pathFor(bool vector) { return vector ? bestPath() : Path::scalar; }

bool set_path(Path path) {
  if (!runs(path)) return false;
  forced.store(path, std::memory_order_relaxed);
  return true;
}

Path active_path() {
  Path path = forced.load(std::memory_order_relaxed);
  return path == Path::automatic ? bestPath() : path;
}

// ---------------------------------------------------------------- encoding

std::size_t encodeGroups(const unsigned char* in, std::size_t n, char* out, Path path) {
  std::size_t i = 0;
#if ORNUTIL_BASE64_HAVE_AVX512
  if (path == Path::avx512) {
    i = encodeAvx512(in, n, out);
    out += i / 3 * 4;
  }
#endif
#if ORNUTIL_BASE64_HAVE_AVX2
  // The wider kernel's tail (under 48 bytes) still fills a few AVX2 blocks.
  if (path == Path::avx2 || path == Path::avx512) {
    std::size_t done = encodeAvx2(in + i, n - i, out);
    i += done;
    out += done / 3 * 4;
  }
#endif
  (void)path;
  return i + encodeScalar(in + i, n - i, out);
}

std::size_t encodeGroups(const unsigned char* in, std::size_t n, char* out, bool vector) {
  return encodeGroups(in, n, out, pathFor(vector));
}

std::size_t encodeLast(const unsigned char* in, std::size_t n, char* out) {
  if (n == 1) {
    std::memcpy(out, kPairs.pair[unsigned(in[0]) << 4], 2);
    out[2] = '=';
    out[3] = '=';
    return 4;
  }
  if (n == 2) {
    unsigned x = unsigned(in[0]) << 10 | unsigned(in[1]) << 2;  // 18 bits
    std::memcpy(out, kPairs.pair[x >> 6], 2);
    out[2] = kAlphabet[x & 63];
    out[3] = '=';
    return 4;
  }
  return 0;
}

std::size_t encodeText(const unsigned char* in, std::size_t n, char* out) {
  if (n == 0) {
    *out = '\0';
    return 0;
  }
  std::size_t done = encodeGroups(in, n, out, active_path());
  std::size_t length = done / 3 * 4;
  length += encodeLast(in + done, n - done, out + length);
  out[length] = '\0';
  return length;
}

// ---------------------------------------------------------------- decoding

std::size_t StreamDecoder::feed(const unsigned char* in, std::size_t n, unsigned char* out) {
  std::size_t i = 0, o = 0;
  // The kernels take whole groups of clean characters, entered at a group
  // boundary; anything else goes through the loop below, which keeps going
  // until it is back at a boundary in front of a character of the alphabet.
  while (i < n && !stopped_) {
    if (held_ == 0) {
#if ORNUTIL_BASE64_HAVE_AVX512
      if (path_ == Path::avx512) i += decodeAvx512(in + i, n - i, out + o, &o);
#endif
#if ORNUTIL_BASE64_HAVE_AVX2
      // Also after the AVX-512 kernel: its tail (under 64 characters) may
      // still hold a 32-character block.
      if (path_ == Path::avx2 || path_ == Path::avx512) i += decodeAvx2(in + i, n - i, out + o, &o);
#endif
      i += decodeScalar(in + i, n - i, out + o, &o);
    }
    while (i < n) {
      unsigned char c = in[i++];
      if (c == '=') {
        stopped_ = true;
        break;
      }
      unsigned v = valueOf(c);
      if (v != kInvalid) {
        group_ = group_ << 6 | v;
        if (++held_ == 4) {
          out[o] = static_cast<unsigned char>(group_ >> 16);
          out[o + 1] = static_cast<unsigned char>(group_ >> 8);
          out[o + 2] = static_cast<unsigned char>(group_);
          o += 3;
          group_ = 0;
          held_ = 0;
        }
      }
      if (held_ == 0 && i < n && valueOf(in[i]) != kInvalid) break;
    }
  }
  return o;
}

std::size_t StreamDecoder::finish(unsigned char* out) {
  std::size_t o = 0;
  if (held_ == 2) {
    out[o++] = static_cast<unsigned char>(group_ >> 4);
  } else if (held_ == 3) {
    out[o++] = static_cast<unsigned char>(group_ >> 10);
    out[o++] = static_cast<unsigned char>(group_ >> 2);
  }
  group_ = 0;
  held_ = 0;
  return o;
}

std::size_t decodeText(const unsigned char* in, std::size_t n, unsigned char* out) {
  // One block of a stream: with no group carried in, the output stays
  // within n bytes (o <= 3i/4), which is all the kernels need.
  StreamDecoder decoder(active_path());
  std::size_t o = decoder.feed(in, n, out);
  return o + decoder.finish(out + o);
}

}  // namespace base64
}  // namespace ornutil
