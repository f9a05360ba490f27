// The one Base64 core: whole-text and streaming encode and decode over the
// scalar, AVX2 and AVX-512 kernels, and the choice of the kernels this
// processor runs. The codec (util/mime64_new), the typed object and the tool
// all call it; the tool links the same compiled object as the library.
// Not installed.
#ifndef ORNUTIL_UTIL_INTERNAL_BASE64_CORE_H
#define ORNUTIL_UTIL_INTERNAL_BASE64_CORE_H

#include <cstddef>
#include <cstdint>

namespace ornutil {
namespace base64 {

// ---------------------------------------------------------------- path choice

enum class Path {
  automatic,  // the best code this processor runs: AVX-512, else AVX2, else scalar
  scalar,     // the portable code only
  avx2,       // AVX2 blocks, scalar for what they leave
  avx512,     // AVX-512 (VBMI, VBMI2) blocks, then AVX2 and scalar for the tail
};

// The test hook that forces a path. Chooses the code the codec runs from now
// on, in every thread; tests, the fuzzer and benchmarks use it to run every
// path this machine has on the same inputs. The output never depends on it.
// Returns false, and changes nothing, when this processor cannot run `path`.
bool set_path(Path path);

// The path the codec runs now: scalar, avx2 or avx512, never automatic.
Path active_path();

// Whether this processor (and its operating system) runs the AVX2 code, and
// the AVX-512 code (every feature its kernels need: base64_avx512.h).
bool cpuHasAvx2();
bool cpuHasAvx512();

// The fastest code this processor runs (never Path::automatic).
Path bestPath();

// The code a caller's "vector or not" choice stands for: the fastest this
// processor runs, or the scalar code.
Path pathFor(bool vector);

// ---------------------------------------------------------------- whole texts

// The characters of the Base64 text of `n` bytes: ((n + 2) / 3) * 4.
constexpr std::size_t encodedLength(std::size_t n) { return (n / 3 + (n % 3 != 0)) * 4; }

// Writes the Base64 text of in[0, n) to `out`, padded with "=" and followed
// by a NUL (encodedLength(n) + 1 bytes), with the active path; returns the
// characters written before the NUL. `in` may be null when `n` is 0.
std::size_t encodeText(const unsigned char* in, std::size_t n, char* out);

// Decodes the lenient text in[0, n) ("=" ends it, characters outside the
// alphabet are skipped, "-" counts as "/") into `out`, which must have room
// for n bytes (the output is never longer), with the active path; returns
// the bytes written.
std::size_t decodeText(const unsigned char* in, std::size_t n, unsigned char* out);

// ---------------------------------------------------------------- streams

// Encodes the whole 3-byte groups of in[0, n) into out (4 characters each)
// with the code of `path` (one this processor runs); returns the bytes
// consumed (n rounded down to a multiple of 3).
std::size_t encodeGroups(const unsigned char* in, std::size_t n, char* out, Path path);
// `vector`: pathFor(vector).
std::size_t encodeGroups(const unsigned char* in, std::size_t n, char* out, bool vector);

// Encodes the 1 or 2 bytes left after the last whole group, padded with
// "="; returns the characters written (4, or 0 when `n` is 0).
std::size_t encodeLast(const unsigned char* in, std::size_t n, char* out);

// The lenient decoder as a state machine over a stream of blocks, so that a
// group may be split anywhere: "=" ends the stream wherever it stands,
// characters outside the alphabet are skipped, "-" counts as "/".
class StreamDecoder {
 public:
  // `path`: one this processor runs, never Path::automatic.
  explicit StreamDecoder(Path path) : path_(path) {}
  // `vector`: pathFor(vector).
  explicit StreamDecoder(bool vector) : path_(pathFor(vector)) {}

  // Decodes the next `n` characters. `out` must have room for n + 3 bytes
  // (the kernels store whole words past the bytes they keep; the group
  // carried from the last block adds at most 3). Returns the bytes written.
  std::size_t feed(const unsigned char* in, std::size_t n, unsigned char* out);

  // The bytes of a last group of 2 or 3 values (1 or 2; its low bits are
  // padding); a lone value gives none. Returns the bytes written to `out`.
  std::size_t finish(unsigned char* out);

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
