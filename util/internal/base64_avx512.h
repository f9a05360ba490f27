// AVX-512 kernels of the Base64 core (util/internal/base64_core): a
// 64-character block per step, translated through one 128-entry byte table
// (VBMI), with the characters to skip compacted out (VBMI2), and the run-time
// check that the processor and the operating system can run them.
// Built for a generic target: only these functions are compiled for AVX-512,
// and they are called only after the check. Not installed.
#ifndef ORNUTIL_UTIL_INTERNAL_BASE64_AVX512_H
#define ORNUTIL_UTIL_INTERNAL_BASE64_AVX512_H

#include <cstddef>
#include <cstdint>

#include "util/internal/base64_kernels.h"

#if ORNUTIL_BASE64_HAVE_AVX2
#define ORNUTIL_BASE64_HAVE_AVX512 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define ORNUTIL_BASE64_HAVE_AVX512 0
#endif

namespace ornutil {
namespace base64 {

// What the choice of the AVX-512 path reads from the processor: CPUID leaf 1
// ECX, leaf 7 (subleaf 0) EBX and ECX when the processor has that leaf, and
// XCR0 (the register state the operating system saves) when it can be read.
struct CpuFeatures {
  unsigned leaf1Ecx = 0;
  bool hasLeaf7 = false;
  unsigned leaf7Ebx = 0;
  unsigned leaf7Ecx = 0;
  unsigned xcr0 = 0;
};

#if ORNUTIL_BASE64_HAVE_AVX512
// True when the features say the AVX-512 kernels can run: every instruction
// set they are compiled for (AVX-512 F, BW, VBMI for the byte tables, VBMI2
// for vpcompressb, BMI and BMI2 for tzcnt and pdep; see ORNUTIL_AVX512
// below), AVX2, which their callers use for the tail of a buffer, and an
// operating system that saves the opmask and all 512 bits of the 32 vector
// registers on a context switch. A virtual machine may mask any one of these
// while reporting the others; a kernel run without it faults with an illegal
// instruction or sees its registers clobbered.
constexpr bool runsAvx512(const CpuFeatures& f) {
  if (!(f.leaf1Ecx & bit_OSXSAVE) || !f.hasLeaf7) return false;  // no XCR0, no leaf 7
  const unsigned ebx = bit_AVX2 | bit_AVX512F | bit_AVX512BW | bit_BMI | bit_BMI2;
  const unsigned ecx = bit_AVX512VBMI | bit_AVX512VBMI2;
  // XCR0: SSE (1), AVX (2), opmask (5), upper halves of zmm0-15 (6),
  // zmm16-31 (7).
  const unsigned xcr0 = 0xe6;
  return (f.leaf7Ebx & ebx) == ebx && (f.leaf7Ecx & ecx) == ecx && (f.xcr0 & xcr0) == xcr0;
}

// The features of this processor.
inline CpuFeatures readCpuFeatures() {
  CpuFeatures f;
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  f.leaf1Ecx = c;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    f.hasLeaf7 = true;
    f.leaf7Ebx = b;
    f.leaf7Ecx = c;
  }
  if (f.leaf1Ecx & bit_OSXSAVE) {  // else xgetbv would fault
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    f.xcr0 = lo;
  }
  return f;
}
#endif

#if ORNUTIL_BASE64_HAVE_AVX512

#define ORNUTIL_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2")))

// ---------------------------------------------------------------- tables
//
// Index vectors for vpermb, built from the alphabet and the group layout at
// compile time rather than typed out.

struct Avx512Tables {
  // Encoding: the 64 characters in value order (vpermb looks up the low 6
  // bits of each index, so the two spare bits left by vpmultishiftqb do not
  // matter).
  alignas(64) unsigned char alphabet[64];
  // Encoding: the 3 bytes b0 b1 b2 of group g become the 32-bit word
  // b1 b0 b2 b1 (in memory order), so that each 6-bit field lies inside it.
  alignas(64) unsigned char spread[64];
  // Decoding: value of each 7-bit code, with '-' as 63 like '/'; 0x80 for a
  // character outside the alphabet, 0xc0 for '=' (outside it too, and
  // marked). Bytes of 128 and above index the same table by their low 7
  // bits and are caught by their own high bit.
  alignas(64) unsigned char values[128];
  // Decoding: the 3 bytes of each 24-bit group word, high byte first; 48
  // bytes from 16 words. The last 16 lanes are scratch.
  alignas(64) unsigned char pack[64];
};

constexpr Avx512Tables makeAvx512Tables() {
  Avx512Tables t{};
  for (unsigned k = 0; k < 64; ++k) t.alphabet[k] = static_cast<unsigned char>(kAlphabet[k]);
  for (unsigned g = 0; g < 16; ++g) {
    t.spread[4 * g] = static_cast<unsigned char>(3 * g + 1);
    t.spread[4 * g + 1] = static_cast<unsigned char>(3 * g);
    t.spread[4 * g + 2] = static_cast<unsigned char>(3 * g + 2);
    t.spread[4 * g + 3] = static_cast<unsigned char>(3 * g + 1);
  }
  for (unsigned c = 0; c < 128; ++c) {
    unsigned v = valueOf(c);
    t.values[c] = static_cast<unsigned char>(c == '=' ? 0xc0 : v == kInvalid ? 0x80 : v);
  }
  for (unsigned k = 0; k < 48; ++k) t.pack[k] = static_cast<unsigned char>(4 * (k / 3) + 2 - k % 3);
  return t;
}
inline constexpr Avx512Tables kAvx512 = makeAvx512Tables();

// vpermb and vpmultishiftqb. GCC 12's plain intrinsics merge into an
// undefined vector and warn about it (-Wmaybe-uninitialized) wherever they
// are inlined; the masked forms with every lane selected compile to the same
// instruction without that.
inline __m512i permuteBytes(__m512i index, __m512i table) ORNUTIL_AVX512;
inline __m512i permuteBytes(__m512i index, __m512i table) {
  return _mm512_mask_permutexvar_epi8(table, ~__mmask64(0), index, table);
}
inline __m512i multishift(__m512i control, __m512i x) ORNUTIL_AVX512;
inline __m512i multishift(__m512i control, __m512i x) {
  return _mm512_mask_multishift_epi64_epi8(x, ~__mmask64(0), control, x);
}

// ---------------------------------------------------------------- encoding

// 48 bytes (the low 48 lanes of x) in, 64 characters out. vpmultishiftqb
// takes each 6-bit field straight from its bit offset inside the spread
// words: 10, 4, 22 and 16 in the first word of each quadword, 32 more in the
// second.
inline __m512i encodeBlockAvx512(__m512i x, __m512i spread, __m512i alphabet) ORNUTIL_AVX512;
inline __m512i encodeBlockAvx512(__m512i x, __m512i spread, __m512i alphabet) {
  __m512i words = permuteBytes(spread, x);
  __m512i fields = multishift(_mm512_set1_epi64(0x3036242a1016040a), words);
  return permuteBytes(fields, alphabet);
}

// Same contract as the other encode kernels.
inline std::size_t encodeAvx512(const unsigned char* in, std::size_t n, char* out) ORNUTIL_AVX512;
inline std::size_t encodeAvx512(const unsigned char* in, std::size_t n, char* out) {
  const __m512i spread = _mm512_load_si512(kAvx512.spread);
  const __m512i alphabet = _mm512_load_si512(kAvx512.alphabet);
  std::size_t i = 0;
  // Full 64-byte loads of which 48 are used, while they stay inside the input.
  for (; i + 112 <= n; i += 96, out += 128) {
    __m512i a = _mm512_loadu_si512(in + i);
    __m512i b = _mm512_loadu_si512(in + i + 48);
    _mm512_storeu_si512(out, encodeBlockAvx512(a, spread, alphabet));
    _mm512_storeu_si512(out + 64, encodeBlockAvx512(b, spread, alphabet));
  }
  for (; i + 64 <= n; i += 48, out += 64)
    _mm512_storeu_si512(out, encodeBlockAvx512(_mm512_loadu_si512(in + i), spread, alphabet));
  // One more block read exactly: a masked load touches only its 48 bytes.
  if (i + 48 <= n) {
    __m512i a = _mm512_maskz_loadu_epi8(0xffffffffffffULL, in + i);
    _mm512_storeu_si512(out, encodeBlockAvx512(a, spread, alphabet));
    i += 48;
  }
  return i;
}

// ---------------------------------------------------------------- decoding

// Values of the 64 characters of s; a lane is bad (its bit set in *bad) when
// the character is not one of the 64 or '-' ('=' included). The table is
// indexed by the low 7 bits, so a byte of 128 or above is caught by its own
// high bit.
inline __m512i valuesAvx512(__m512i s, __m512i low, __m512i high, std::uint64_t* bad)
    ORNUTIL_AVX512;
inline __m512i valuesAvx512(__m512i s, __m512i low, __m512i high, std::uint64_t* bad) {
  __m512i v = _mm512_permutex2var_epi8(low, s, high);
  *bad = _mm512_movepi8_mask(_mm512_or_si512(v, s));
  return v;
}

// The 48 bytes of 64 values, in the low 48 lanes.
inline __m512i packAvx512(__m512i v, __m512i pack) ORNUTIL_AVX512;
inline __m512i packAvx512(__m512i v, __m512i pack) {
  // (a << 6) | b and (c << 6) | d, then (ab << 12) | cd per 32-bit word.
  __m512i words = _mm512_madd_epi16(_mm512_maddubs_epi16(v, _mm512_set1_epi32(0x01400140)),
                                    _mm512_set1_epi32(0x00011000));
  return permuteBytes(pack, words);
}

// Blocks with characters to skip. Closing each block up around them by
// reloading the characters after them puts every block's data on the path to
// the next block's address, and the blocks then wait for each other. Here the
// input is read at a fixed stride instead: each block's alphabet values are
// compacted (vpcompressb) and appended to `held`, and the whole 64-value
// blocks gathered there are decoded a chunk at a time, after the chunk's
// stores have settled.
//
// Stops in front of a block holding '=', when fewer than 64 characters are
// left, and after a chunk with few skips (the plain loop is faster on clean
// text). Same contract as the other decode kernels: the values still held at
// the end are given back by returning the position of the first of them.
inline constexpr std::size_t kChunkBlocks = 64;

inline std::size_t decodeSkippingAvx512(const unsigned char* in, std::size_t n,
                                        unsigned char* out, std::size_t* written) ORNUTIL_AVX512;
inline std::size_t decodeSkippingAvx512(const unsigned char* in, std::size_t n,
                                        unsigned char* out, std::size_t* written) {
  // `held`: under 64 values carried over, a chunk's values, and room for the
  // last block's 64-lane store past them. It is placed half a page away from
  // the input modulo 4 KiB: the processor matches a load against older
  // stores by the low 12 address bits first, and with `held` and the input
  // moving almost in step (a line break per block), a near match would hold
  // every block's load behind the last block's store for a whole chunk.
  alignas(64) unsigned char area[64 * (kChunkBlocks + 2) + 4096];
  unsigned char* const held =
      area + ((reinterpret_cast<std::uintptr_t>(in) + 2048 - reinterpret_cast<std::uintptr_t>(area)) &
              (4096 - 64));
  const __m512i low = _mm512_load_si512(kAvx512.values);
  const __m512i high = _mm512_load_si512(kAvx512.values + 64);
  const __m512i pack = _mm512_load_si512(kAvx512.pack);
  const __m512i padding = _mm512_set1_epi8('=');
  const __m512i highBit = _mm512_set1_epi8(char(0x80));
  // Characters of the alphabet: neither the table nor the character itself
  // has the high bit.
  auto kept = [&](const unsigned char* at, __m512i* values) ORNUTIL_AVX512 {
    const __m512i s = _mm512_loadu_si512(at);
    *values = _mm512_permutex2var_epi8(low, s, high);
    return std::uint64_t(_mm512_testn_epi8_mask(_mm512_or_si512(*values, s), highBit));
  };
  std::size_t p = 0, t = 0, o = 0;
  for (;;) {
    const std::size_t chunkStart = p, heldBefore = t;
    std::size_t blocks = (n - p) / 64;
    bool stop = blocks <= kChunkBlocks;  // the input's last chunk
    if (!stop) blocks = kChunkBlocks;
    // '=' is looked for once per chunk, in the OR of the table's values: its
    // entry alone has bit 6 (besides bytes of 128 and above with its low 7
    // bits, which only send the chunk the slow way too). The rare chunk
    // holding one is cut short below.
    __m512i seen = _mm512_setzero_si512();
#pragma GCC unroll 2
    for (std::size_t b = 0; b < blocks; ++b, p += 64) {
      __m512i v;
      const std::uint64_t keep = kept(in + p, &v);
      seen = _mm512_or_si512(seen, v);
      _mm512_storeu_si512(held + t, _mm512_maskz_compress_epi8(keep, v));
      t += unsigned(__builtin_popcountll(keep));
    }
    if (__builtin_expect(_mm512_test_epi8_mask(seen, _mm512_set1_epi8(0x40)) != 0, 0)) {
      // Keep the blocks before the first one holding '=', if there is one.
      const std::size_t end = p;
      p = chunkStart;
      t = heldBefore;
      for (; p < end; p += 64) {
        if (_mm512_cmpeq_epi8_mask(_mm512_loadu_si512(in + p), padding) != 0) {
          stop = true;
          break;
        }
        __m512i v;
        t += unsigned(__builtin_popcountll(kept(in + p, &v)));
      }
    }
    const std::size_t skips = (p - chunkStart) - (t - heldBefore);
    const std::size_t whole = t / 64;
#pragma GCC unroll 2
    for (std::size_t k = 0; k < whole; ++k, o += 48)
      _mm512_storeu_si512(out + o, packAvx512(_mm512_load_si512(held + 64 * k), pack));
    if (whole != 0) _mm512_store_si512(held, _mm512_load_si512(held + 64 * whole));
    t -= 64 * whole;
    if (stop || skips * 16 < kChunkBlocks) break;
  }
  // Find the first of the t values held, back over the blocks they came
  // from (all of them whole 64-character blocks of alphabet characters and
  // characters to skip).
  std::size_t q = p, left = t;
  while (left != 0) {
    q -= 64;
    __m512i v;
    const std::uint64_t keep = kept(in + q, &v);
    const unsigned count = unsigned(__builtin_popcountll(keep));
    if (left <= count) {
      // The (count - left)-th alphabet character of this block.
      q += unsigned(__builtin_ctzll(_pdep_u64(std::uint64_t(1) << (count - left), keep)));
      left = 0;
    } else {
      left -= count;
    }
  }
  *written += o;
  return q;
}

// Same contract as the other decode kernels. Clean blocks are decoded where
// they stand; from a block with characters to skip on, decodeSkippingAvx512
// takes over. '=' is left to the caller.
inline std::size_t decodeAvx512(const unsigned char* in, std::size_t n, unsigned char* out,
                                std::size_t* written) ORNUTIL_AVX512;
inline std::size_t decodeAvx512(const unsigned char* in, std::size_t n, unsigned char* out,
                                std::size_t* written) {
  const __m512i low = _mm512_load_si512(kAvx512.values);
  const __m512i high = _mm512_load_si512(kAvx512.values + 64);
  const __m512i pack = _mm512_load_si512(kAvx512.pack);
  std::size_t i = 0, o = 0;
  while (i + 64 <= n) {
    std::uint64_t bad;
    const __m512i v = valuesAvx512(_mm512_loadu_si512(in + i), low, high, &bad);
    // Stored before the check: in a block with exceptions, the bytes of the
    // groups before the first one are right, the rest is scratch.
    _mm512_storeu_si512(out + o, packAvx512(v, pack));
    if (__builtin_expect(bad == 0, 1)) {
      i += 64;
      o += 48;
      continue;
    }
    const std::size_t used = decodeSkippingAvx512(in + i, n - i, out + o, &o);
    if (used == 0) {
      // Nothing taken ('=' in this block, or too little input after it):
      // keep the groups before the block's first exception.
      const std::size_t groups = unsigned(__builtin_ctzll(bad)) / 4;
      *written += o + 3 * groups;
      return i + 4 * groups;
    }
    i += used;
  }
  *written += o;
  return i;
}

#undef ORNUTIL_AVX512

#endif  // ORNUTIL_BASE64_HAVE_AVX512

}  // namespace base64
}  // namespace ornutil

#endif
