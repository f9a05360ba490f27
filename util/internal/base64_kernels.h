// Block kernels behind the Base64 codec (util/mime64_new): a portable scalar
// path and an AVX2 path, with the switch that chooses between them.
// Not installed; only the codec, its tests, benchmark and fuzzer use it.
#ifndef ORNUTIL_UTIL_INTERNAL_BASE64_KERNELS_H
#define ORNUTIL_UTIL_INTERNAL_BASE64_KERNELS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define ORNUTIL_BASE64_HAVE_AVX2 1
#include <immintrin.h>
#else
#define ORNUTIL_BASE64_HAVE_AVX2 0
#endif

namespace ornutil {
namespace base64 {

// ---------------------------------------------------------------- path choice

enum class Path {
  automatic,  // AVX2 where the processor has it, else scalar
  scalar,     // the portable code only
};

// Chooses the code the codec runs from now on, in every thread. Benchmarks and
// tests use it to measure and compare both paths; the output never depends
// on it. Defined in util/mime64_new.cpp.
void set_path(Path path);

// True when the codec currently runs the AVX2 code.
bool avx2_active();

// ---------------------------------------------------------------- tables

inline constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a character, or kInvalid for anything that is not one of the 64
// characters or '-'. Bytes of 128 and above are never part of the alphabet.
inline constexpr unsigned kInvalid = 255;
constexpr unsigned valueOf(unsigned c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/' || c == '-') return 63;
  return kInvalid;
}

// Two output characters per look-up: entry x holds the characters of the
// 6-bit values x >> 6 and x & 63, in output order. 8 KiB, built at compile
// time from the alphabet.
struct PairTable {
  char pair[4096][2];
};
constexpr PairTable makePairTable() {
  PairTable t{};
  for (unsigned x = 0; x < 4096; ++x) {
    t.pair[x][0] = kAlphabet[x >> 6];
    t.pair[x][1] = kAlphabet[x & 63];
  }
  return t;
}
inline constexpr PairTable kPairs = makePairTable();

// Decoding four characters at a time: table j gives the value of a character
// already shifted into its place in the 24-bit group (18, 12, 6 or 0 bits),
// so that a group is the OR of four look-ups. A character outside the
// alphabet sets kBadGroup instead, which survives the OR and sends the group
// to the character-by-character loop.
inline constexpr std::uint32_t kBadGroup = 0x80000000u;
struct GroupTables {
  std::uint32_t shifted[4][256];
};
constexpr GroupTables makeGroupTables() {
  GroupTables t{};
  for (unsigned j = 0; j < 4; ++j)
    for (unsigned c = 0; c < 256; ++c) {
      unsigned v = valueOf(c);
      t.shifted[j][c] = v == kInvalid ? kBadGroup : std::uint32_t(v) << (18 - 6 * j);
    }
  return t;
}
inline constexpr GroupTables kGroups = makeGroupTables();

// ---------------------------------------------------------------- byte order

inline std::uint64_t loadBigEndian64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

inline void storeBigEndian64(unsigned char* p, std::uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  std::memcpy(p, &v, sizeof v);
}

inline void storeBigEndian32(unsigned char* p, std::uint32_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  std::memcpy(p, &v, sizeof v);
}

// ---------------------------------------------------------------- encoding
//
// An encode kernel encodes whole 3-byte groups from the start of in[0, n) and
// returns how many bytes it consumed (a multiple of 3); it has written exactly
// 4/3 of that many characters to out and nothing beyond them. It may leave
// groups for the caller's plain loop.

inline void encodeGroup(const unsigned char* in, char* out) {
  unsigned x = unsigned(in[0]) << 16 | unsigned(in[1]) << 8 | in[2];
  std::memcpy(out, kPairs.pair[x >> 12], 2);
  std::memcpy(out + 2, kPairs.pair[x & 0xfff], 2);
}

inline std::size_t encodeScalar(const unsigned char* in, std::size_t n, char* out) {
  std::size_t i = 0;
  // Six bytes (48 bits, four pairs) per step, read as one 8-byte load.
  for (; i + 8 <= n; i += 6, out += 8) {
    std::uint64_t x = loadBigEndian64(in + i);
    std::memcpy(out, kPairs.pair[x >> 52], 2);
    std::memcpy(out + 2, kPairs.pair[(x >> 40) & 0xfff], 2);
    std::memcpy(out + 4, kPairs.pair[(x >> 28) & 0xfff], 2);
    std::memcpy(out + 6, kPairs.pair[(x >> 16) & 0xfff], 2);
  }
  for (; i + 3 <= n; i += 3, out += 4) encodeGroup(in + i, out);
  return i;
}

// ---------------------------------------------------------------- decoding
//
// A decode kernel decodes whole groups of four alphabet characters from the
// start of in[0, n) and stops before the first group that holds anything else
// ('=', white space, a byte of 128 or above...) or when too few characters
// remain. It returns the characters consumed (a multiple of 4) and adds the
// bytes written to *written (3 per group). `out` must have room for n bytes:
// the kernels store whole words, and the bytes past the last group are
// scratch that later groups overwrite.

inline std::size_t decodeScalar(const unsigned char* in, std::size_t n, unsigned char* out,
                                std::size_t* written) {
  const auto& t = kGroups.shifted;
  std::size_t i = 0, o = 0;
  // Two groups per step, written with one 8-byte store (6 bytes used).
  for (; i + 8 <= n; i += 8, o += 6) {
    std::uint32_t a = t[0][in[i]] | t[1][in[i + 1]] | t[2][in[i + 2]] | t[3][in[i + 3]];
    std::uint32_t b = t[0][in[i + 4]] | t[1][in[i + 5]] | t[2][in[i + 6]] | t[3][in[i + 7]];
    if ((a | b) & kBadGroup) break;
    storeBigEndian64(out + o, std::uint64_t(a) << 40 | std::uint64_t(b) << 16);
  }
  for (; i + 4 <= n; i += 4, o += 3) {
    std::uint32_t a = t[0][in[i]] | t[1][in[i + 1]] | t[2][in[i + 2]] | t[3][in[i + 3]];
    if (a & kBadGroup) break;
    storeBigEndian32(out + o, a << 8);
  }
  *written += o;
  return i;
}

#if ORNUTIL_BASE64_HAVE_AVX2

#define ORNUTIL_AVX2 __attribute__((target("avx2")))

// 24 bytes in, 32 characters out (Mula and Lemire, "Faster Base64 encoding
// and decoding using AVX2 instructions", 2018).
inline std::size_t encodeAvx2(const unsigned char* in, std::size_t n, char* out) ORNUTIL_AVX2;
inline std::size_t encodeAvx2(const unsigned char* in, std::size_t n, char* out) {
  // Per 128-bit lane, the four 3-byte groups b0 b1 b2 become the 32-bit words
  // b1 b0 b2 b1, so that each 6-bit field sits inside one 16-bit half.
  const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                          1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m256i maskAC = _mm256_set1_epi32(0x0fc0fc00);
  const __m256i shiftAC = _mm256_set1_epi32(0x04000040);  // a >> 10, c >> 6
  const __m256i maskBD = _mm256_set1_epi32(0x003f03f0);
  const __m256i shiftBD = _mm256_set1_epi32(0x01000010);  // b << 4, d << 8
  // Offset from a 6-bit value to its character, by range: the range number is
  // 13 for 0-25 ('A'), 0 for 26-51 ('a'), 1-10 for 52-61 ('0'), 11 for 62
  // ('+') and 12 for 63 ('/').
  const __m256i offsets = _mm256_setr_epi8(
      'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
      '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,  //
      'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
      '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  const __m256i v51 = _mm256_set1_epi8(51);
  const __m256i v26 = _mm256_set1_epi8(26);
  const __m256i v13 = _mm256_set1_epi8(13);

  std::size_t i = 0;
  for (; i + 28 <= n; i += 24, out += 32) {
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 12));
    __m256i x = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    x = _mm256_shuffle_epi8(x, spread);
    __m256i ac = _mm256_mulhi_epu16(_mm256_and_si256(x, maskAC), shiftAC);
    __m256i bd = _mm256_mullo_epi16(_mm256_and_si256(x, maskBD), shiftBD);
    __m256i values = _mm256_or_si256(ac, bd);
    __m256i range = _mm256_subs_epu8(values, v51);
    range = _mm256_or_si256(range, _mm256_and_si256(_mm256_cmpgt_epi8(v26, values), v13));
    __m256i chars = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
  }
  return i;
}

// 32 characters in, 24 bytes out, with the validity check of the same paper:
// a character is in the alphabet when the classes of its low and high nibble
// share no bit. '-' is left to the caller's loop like any other exception.
inline std::size_t decodeAvx2(const unsigned char* in, std::size_t n, unsigned char* out,
                              std::size_t* written) ORNUTIL_AVX2;
inline std::size_t decodeAvx2(const unsigned char* in, std::size_t n, unsigned char* out,
                              std::size_t* written) {
  // Bit 0x10: high nibble 0-1 or 8-f (never valid). Bits 0x01, 0x02, 0x04 and
  // 0x08 name the low nibbles that are invalid under high nibble 2, 3, 4/6
  // and 5/7 respectively.
  const __m256i lowClass = _mm256_setr_epi8(
      0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a,
      0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a);
  const __m256i highClass = _mm256_setr_epi8(
      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // Character to value by high nibble ('+' 62 under 2, digits under 3,
  // letters under 4-7); '/' is moved to slot 1 by subtracting one.
  const __m256i toValue = _mm256_setr_epi8(
      0, '?' - '/', '>' - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0,  //
      0, '?' - '/', '>' - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i slash = _mm256_set1_epi8('/');
  const __m256i joinPairs = _mm256_set1_epi32(0x01400140);  // (a << 6) | b, (c << 6) | d
  const __m256i joinWords = _mm256_set1_epi32(0x00011000);  // (ab << 12) | cd
  const __m256i bigEndian = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                             2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i packLanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);

  std::size_t i = 0, o = 0;
  for (; i + 32 <= n; i += 32, o += 24) {
    __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    __m256i high = _mm256_and_si256(_mm256_srli_epi16(s, 4), nibble);
    __m256i low = _mm256_and_si256(s, nibble);
    __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(lowClass, low),
                                   _mm256_shuffle_epi8(highClass, high));
    unsigned invalid =
        ~unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
    __m256i slot = _mm256_add_epi8(high, _mm256_cmpeq_epi8(s, slash));
    __m256i values = _mm256_add_epi8(s, _mm256_shuffle_epi8(toValue, slot));
    __m256i words = _mm256_madd_epi16(_mm256_maddubs_epi16(values, joinPairs), joinWords);
    __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, bigEndian), packLanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), bytes);
    if (invalid != 0) {
      // Keep the groups before the first exception; the stored bytes after
      // them are scratch.
      std::size_t groups = std::size_t(__builtin_ctz(invalid)) / 4;
      i += 4 * groups;
      o += 3 * groups;
      break;
    }
  }
  *written += o;
  return i;
}

#undef ORNUTIL_AVX2

#endif  // ORNUTIL_BASE64_HAVE_AVX2

}  // namespace base64
}  // namespace ornutil

#endif
