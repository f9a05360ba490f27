// Block kernels behind the Base64 core (util/internal/base64_core): a
// portable scalar path and an AVX2 path (AVX-512 in base64_avx512.h), and the
// tables they share, all built at compile time from the one alphabet.
// Not installed; only the core compiles the kernels.
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

// ---------------------------------------------------------------- tables

// The alphabet of RFC 4648, Table 1, in value order: its one spelling,
// behind the exported new_alphabet (util/mime64_new) and every table here.
#define ORNUTIL_BASE64_ALPHABET "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
inline constexpr char kAlphabet[] = ORNUTIL_BASE64_ALPHABET;

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

inline std::uint64_t pairAt(unsigned x) {
  std::uint16_t v;
  std::memcpy(&v, kPairs.pair[x], 2);
  return v;
}

// Eight characters of four pairs (a first), in memory order, stored at once.
inline void storePairs(char* out, std::uint64_t a, std::uint64_t b, std::uint64_t c,
                       std::uint64_t d) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  std::uint64_t v = a << 48 | b << 32 | c << 16 | d;
#else
  std::uint64_t v = a | b << 16 | c << 32 | d << 48;
#endif
  std::memcpy(out, &v, sizeof v);
}

inline std::size_t encodeScalar(const unsigned char* in, std::size_t n, char* out) {
  std::size_t i = 0;
  // Six bytes (48 bits, four pairs) per half step, each read as one 8-byte
  // load and written as one 8-byte store.
  for (; i + 14 <= n; i += 12, out += 16) {
    std::uint64_t x = loadBigEndian64(in + i);
    std::uint64_t y = loadBigEndian64(in + i + 6);
    storePairs(out, pairAt(unsigned(x >> 52)), pairAt((x >> 40) & 0xfff),
               pairAt((x >> 28) & 0xfff), pairAt((x >> 16) & 0xfff));
    storePairs(out + 8, pairAt(unsigned(y >> 52)), pairAt((y >> 40) & 0xfff),
               pairAt((y >> 28) & 0xfff), pairAt((y >> 16) & 0xfff));
  }
  for (; i + 3 <= n; i += 3, out += 4) encodeGroup(in + i, out);
  return i;
}

// ---------------------------------------------------------------- decoding
//
// A decode kernel is entered at a group boundary with in[0, n) ahead. It
// decodes groups of four alphabet characters ('-' included, but for the AVX2
// kernel; the vector kernels also step over characters that are only skipped)
// and stops, again at a group boundary, in front of a group it leaves to the
// caller's character-by-character loop, or when too few characters remain.
// It returns the characters consumed and adds the bytes written (3 per group)
// to *written. `out` must have room for n bytes: the kernels store whole
// words, and the bytes past the last group are scratch that later groups
// overwrite. (Output never outruns input: o <= 3i/4.)

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
inline __m256i encodeBlockAvx2(__m256i x, __m256i spread) ORNUTIL_AVX2;
inline __m256i encodeBlockAvx2(__m256i x, __m256i spread) {
  // `spread` turns each 3-byte group b0 b1 b2 of a lane into the 32-bit word
  // b1 b0 b2 b1, so that each 6-bit field sits inside one 16-bit half.
  x = _mm256_shuffle_epi8(x, spread);
  __m256i ac = _mm256_mulhi_epu16(_mm256_and_si256(x, _mm256_set1_epi32(0x0fc0fc00)),
                                  _mm256_set1_epi32(0x04000040));  // a >> 10, c >> 6
  __m256i bd = _mm256_mullo_epi16(_mm256_and_si256(x, _mm256_set1_epi32(0x003f03f0)),
                                  _mm256_set1_epi32(0x01000010));  // b << 4, d << 8
  __m256i values = _mm256_or_si256(ac, bd);
  // Offset from a 6-bit value to its character, by range: the range number is
  // 0 for 0-25 ('A'), 1 for 26-51 ('a'), 2-11 for 52-61 ('0'), 12 for 62
  // ('+') and 13 for 63 ('/').
  const __m256i offsets = _mm256_setr_epi8(
      'A', 'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
      '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 0, 0,  //
      'A', 'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
      '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 0, 0);
  __m256i range = _mm256_sub_epi8(_mm256_subs_epu8(values, _mm256_set1_epi8(51)),
                                  _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
  return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
}

inline std::size_t encodeAvx2(const unsigned char* in, std::size_t n, char* out)
    ORNUTIL_AVX2;
inline std::size_t encodeAvx2(const unsigned char* in, std::size_t n, char* out) {
  if (n < 28) return 0;
  // The first block reads its lanes from in and in + 12; later ones read all
  // 32 bytes from 4 before the block, so that lane 0 finds its 12 bytes at
  // offset 4 and lane 1 at offset 0.
  const __m256i spreadFirst = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                               1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m256i spread = _mm256_setr_epi8(5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14,  //
                                          1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
  __m256i first = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), encodeBlockAvx2(first, spreadFirst));
  std::size_t i = 24;
  out += 32;
  for (; i + 52 <= n; i += 48, out += 64) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i - 4));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), encodeBlockAvx2(a, spread));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), encodeBlockAvx2(b, spread));
  }
  for (; i + 28 <= n; i += 24, out += 32) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i - 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), encodeBlockAvx2(a, spread));
  }
  return i;
}

// 32 characters in, 24 bytes out, with the validity check of the same paper:
// a character is in the alphabet when the classes of its low and high nibble
// share no bit. Returns one bit per lane holding anything else ('-' and '='
// included).
inline unsigned invalidLanesAvx2(__m256i s) ORNUTIL_AVX2;
inline unsigned invalidLanesAvx2(__m256i s) {
  // Bit 0x10: high nibble 0-1 or 8-f (never valid). Bits 0x01, 0x02, 0x04 and
  // 0x08 name the low nibbles that are invalid under high nibble 2, 3, 4/6
  // and 5/7 respectively.
  const __m256i lowClass = _mm256_setr_epi8(
      0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a,
      0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a);
  const __m256i highClass = _mm256_setr_epi8(
      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  __m256i high = _mm256_and_si256(_mm256_srli_epi16(s, 4), nibble);
  __m256i low = _mm256_and_si256(s, nibble);
  __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(lowClass, low),
                                 _mm256_shuffle_epi8(highClass, high));
  return ~unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
}

// The 24 bytes of 32 alphabet characters, in the low 24 bytes of the result.
inline __m256i decodeBlockAvx2(__m256i s) ORNUTIL_AVX2;
inline __m256i decodeBlockAvx2(__m256i s) {
  // Character to value by high nibble ('+' 62 under 2, digits under 3,
  // letters under 4-7); '/' is moved to slot 1 by subtracting one.
  const __m256i toValue = _mm256_setr_epi8(
      0, '?' - '/', '>' - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0,  //
      0, '?' - '/', '>' - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i bigEndian = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                             2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  __m256i high = _mm256_and_si256(_mm256_srli_epi16(s, 4), _mm256_set1_epi8(0x0f));
  __m256i slot = _mm256_add_epi8(high, _mm256_cmpeq_epi8(s, _mm256_set1_epi8('/')));
  __m256i values = _mm256_add_epi8(s, _mm256_shuffle_epi8(toValue, slot));
  // (a << 6) | b and (c << 6) | d, then (ab << 12) | cd per 32-bit word.
  __m256i words = _mm256_madd_epi16(_mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140)),
                                    _mm256_set1_epi32(0x00011000));
  return _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, bigEndian),
                                     _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
}

// 32 bytes read from kLanesFrom + 32 - j select the lanes j to 31.
alignas(64) inline constexpr unsigned char kLanesFrom[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
};

// Characters to skip inside one block before leaving it to the caller's loop:
// enough for line breaks ("\r\n") and a little more.
inline constexpr std::size_t kMaxSkipsPerBlock = 4;

// A block whose exceptions are characters that are only skipped (white space,
// a line break, a byte of 128 or above...) is closed up around each of them by
// reloading the lanes after it one character further on, so that wrapped
// text stays on this path. '-', '=' and blocks needing more skips are left to
// the caller's loop.
inline std::size_t decodeAvx2(const unsigned char* in, std::size_t n, unsigned char* out,
                              std::size_t* written) ORNUTIL_AVX2;
inline std::size_t decodeAvx2(const unsigned char* in, std::size_t n, unsigned char* out,
                              std::size_t* written) {
  std::size_t i = 0, o = 0;
  while (i + 32 <= n) {
    __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    unsigned invalid = invalidLanesAvx2(s);
    // Stored before the check: in a block with exceptions, the bytes of the
    // groups before the first one are right, the rest is scratch.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), decodeBlockAvx2(s));
    if (__builtin_expect(invalid == 0, 1)) {
      i += 32;
      o += 24;
      continue;
    }
    const unsigned first = unsigned(__builtin_ctz(invalid));
    std::size_t skipped = 0;
    do {
      // Lanes from j on come from in + i + skipped.
      unsigned j = unsigned(__builtin_ctz(invalid));
      unsigned char c = in[i + skipped + j];
      if (c == '=' || c == '-' || skipped == kMaxSkipsPerBlock || i + skipped + 33 > n) {
        // Keep the groups before the block's first exception.
        std::size_t groups = first / 4;
        *written += o + 3 * groups;
        return i + 4 * groups;
      }
      ++skipped;
      __m256i later = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + skipped));
      __m256i fromJ = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLanesFrom + 32 - j));
      s = _mm256_blendv_epi8(s, later, fromJ);
      invalid = invalidLanesAvx2(s);
    } while (invalid != 0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), decodeBlockAvx2(s));
    i += 32 + skipped;
    o += 24;
  }
  *written += o;
  return i;
}

#undef ORNUTIL_AVX2

#endif  // ORNUTIL_BASE64_HAVE_AVX2

}  // namespace base64
}  // namespace ornutil

#endif
