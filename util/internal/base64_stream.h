// Base64 over a stream of blocks: the encoder's whole groups and its padded
// last group, and a decoder that keeps its state between blocks, so that a
// group may be split anywhere. The codec (util/mime64_new) runs one block;
// the tool streams files of any size through the same code in fixed memory.
// Header-only (the tool cannot reach the library's hidden symbols). Not
// installed.
#ifndef ORNUTIL_UTIL_INTERNAL_BASE64_STREAM_H
#define ORNUTIL_UTIL_INTERNAL_BASE64_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "util/internal/base64_avx512.h"
#include "util/internal/base64_kernels.h"

namespace ornutil {
namespace base64 {

// Whether this processor (and its operating system) runs the AVX2 code.
// (cpuHasAvx512() in base64_avx512.h for the AVX-512 code.)
inline bool cpuHasAvx2() {
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

// The fastest code this processor runs (never Path::automatic).
inline Path bestPath() {
  if (cpuHasAvx512()) return Path::avx512;
  if (cpuHasAvx2()) return Path::avx2;
  return Path::scalar;
}

// The code a caller's "vector or not" choice stands for: the fastest this
// processor runs, or the scalar code.
inline Path pathFor(bool vector) { return vector ? bestPath() : Path::scalar; }

// Encodes the whole 3-byte groups of in[0, n) into out (4 characters each)
// with the code of `path` (one this processor runs); returns the bytes
// consumed (n rounded down to a multiple of 3).
inline std::size_t encodeGroups(const unsigned char* in, std::size_t n, char* out, Path path) {
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

// `vector`: the fastest code this processor runs (true only when cpuHasAvx2()
// says so), else the scalar code.
inline std::size_t encodeGroups(const unsigned char* in, std::size_t n, char* out, bool vector) {
  return encodeGroups(in, n, out, pathFor(vector));
}

// Encodes the 1 or 2 bytes left after the last whole group, padded with
// "="; returns the characters written (4, or 0 when `n` is 0).
inline std::size_t encodeLast(const unsigned char* in, std::size_t n, char* out) {
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

// The lenient decoder as a state machine: "=" ends the stream wherever it
// stands, characters outside the alphabet are skipped, "-" counts as "/".
class StreamDecoder {
 public:
  // `path`: one this processor runs, never Path::automatic.
  explicit StreamDecoder(Path path) : path_(path) {}
  // `vector`: the fastest code this processor runs (true only when
  // cpuHasAvx2() says so), else the scalar code.
  explicit StreamDecoder(bool vector) : path_(pathFor(vector)) {}

  // Decodes the next `n` characters. `out` must have room for n + 3 bytes
  // (the kernels store whole words past the bytes they keep; the group
  // carried from the last block adds at most 3). Returns the bytes written.
  std::size_t feed(const unsigned char* in, std::size_t n, unsigned char* out) {
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
        if (path_ == Path::avx2 || path_ == Path::avx512)
          i += decodeAvx2(in + i, n - i, out + o, &o);
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

  // The bytes of a last group of 2 or 3 values (1 or 2; its low bits are
  // padding); a lone value gives none. Returns the bytes written to `out`.
  std::size_t finish(unsigned char* out) {
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

  // True once "=" was met: the rest of the input is not read.
  bool stopped() const { return stopped_; }

 private:
  Path path_;
  bool stopped_ = false;
  std::uint32_t group_ = 0;  // values of a group being collected, 6 bits each
  unsigned held_ = 0;        // how many
};

}  // namespace base64
}  // namespace ornutil

#endif
