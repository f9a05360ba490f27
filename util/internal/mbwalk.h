// The UTF-8 walk shared by character validation, pattern quoting and the
// quoting formatter: a scan for the next byte that needs a look, and the
// quoting copy built on it. Characters are measured by ornz::utf8CharLength,
// the decoder behind zmblen_7_0_0, so every walk agrees with the foundation.
#ifndef ORNUTIL_UTIL_INTERNAL_MBWALK_H
#define ORNUTIL_UTIL_INTERNAL_MBWALK_H

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/internal/utf8.h"

namespace ornutil {
namespace mbwalk {

// Length of the character at `p` with `remaining` bytes left before the
// terminating NUL: the value zmblen_7_0_0 gives (1, 2 to 4, 0 when cut off,
// -1 for a byte that starts no character).
inline int charLength(const char* p, std::size_t remaining) {
  return ornz::utf8CharLength(reinterpret_cast<const unsigned char*>(p), remaining);
}

// The bytes that end a run of bytes the walk can pass without a look: every
// byte of 0x80 and above (the start of a multibyte character, or a stray
// byte), the single-byte characters of a list, and optionally the controls
// 0x01 to 0x1F.
//
// A list is a multibyte string, and a single-byte character matches it the
// way zstrchr_7_0_0 matches: only as a character of the list. Since every
// byte of a multibyte UTF-8 character is 0x80 or above, that is exactly the
// set of the list's bytes below 0x80, which is what is kept here; multibyte
// characters of a list can never match a single-byte character and are
// dropped.
class StopSet {
 public:
  StopSet(const char* list, bool controls) : controls_(controls) {
    std::memset(table_, 0, sizeof table_);
    for (int b = 0x80; b < 0x100; ++b) table_[b] = 1;
    if (controls) {
      for (int b = 0x01; b < 0x20; ++b) table_[b] = 1;
    }
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(list ? list : ""); *p;
         ++p) {
      if (*p < 0x80 && !table_[*p]) {
        table_[*p] = 1;
#if defined(__SSE2__)
        if (count_ < kVectorChars) wanted_[count_] = _mm_set1_epi8(static_cast<char>(*p));
#endif
        ++count_;
      }
    }
  }

  // Whether `b` ends a clean run.
  bool stops(unsigned char b) const { return table_[b] != 0; }

  // The first byte in [p, end) that ends a clean run, or end. When `out` is
  // not null the bytes before it are copied there as well and *out is moved
  // past them; the copy may write up to 15 bytes beyond the run, so `out`
  // must have room for end - p bytes.
  const char* find(const char* p, const char* end, char** out = nullptr) const {
#if defined(__SSE2__)
    if (count_ <= kVectorChars) {
      const __m128i controlLimit = _mm_set1_epi8(0x20);
      char* o = out ? *out : nullptr;
      while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (o) _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
        // The sign bit marks bytes of 0x80 and above; a signed compare with
        // 0x20 marks those and the controls at once (NUL cannot occur
        // before `end`).
        __m128i hit = controls_ ? _mm_cmplt_epi8(v, controlLimit) : v;
        for (int i = 0; i < count_; ++i) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, wanted_[i]));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask) {
          unsigned skip = static_cast<unsigned>(__builtin_ctz(mask));
          if (o) *out = o + skip;
          return p + skip;
        }
        p += 16;
        if (o) o += 16;
      }
      if (o) *out = o;
    }
#endif
    const char* start = p;
    while (p < end && !table_[static_cast<unsigned char>(*p)]) ++p;
    if (out) {
      std::memcpy(*out, start, static_cast<std::size_t>(p - start));
      *out += p - start;
    }
    return p;
  }

 private:
  // Lists longer than this are scanned through the table only.
  static constexpr int kVectorChars = 12;

#if defined(__SSE2__)
  __m128i wanted_[kVectorChars];  // each listed character in every lane
#endif
  unsigned char table_[256];
  int count_ = 0;
  bool controls_;
};

// The two escapes of a quoted byte.
enum class Escape {
  kHex,        // backslash and two lower-case hex digits: ( becomes \28
  kBackslash,  // backslash and the byte itself: , becomes \,
};

// Copies the text [p, end) to `out`, writing each single-byte character that
// `quote` lists in the escape `form` (digits from `digits`, 16 characters)
// and every other character unchanged. Returns the position after the last
// byte written, or null when the text is not valid UTF-8 (a byte that starts
// no character, or a character cut off by `end`); the bytes written before
// the failure are then of no use. `out` must have room for 3 * (end - p)
// bytes, the most any escape can produce.
inline char* quote(const char* p, const char* end, const StopSet& quote, Escape form,
                   const char* digits, char* out) {
  auto escape = [&](unsigned char b) {
    out[0] = '\\';
    if (form == Escape::kHex) {
      out[1] = digits[(b >> 4) & 0x0F];
      out[2] = digits[b & 0x0F];
      out += 3;
    } else {
      out[1] = static_cast<char>(b);
      out += 2;
    }
  };
  while (p < end) {
    p = quote.find(p, end, &out);
    if (p == end) break;
    unsigned char b = static_cast<unsigned char>(*p);
    if (b < 0x80) {
      escape(b);
      ++p;
      continue;
    }
    // Multibyte characters come mixed with short ASCII runs in most
    // languages; going back to the block scan after each character costs
    // more than it saves, so bytes are taken one at a time here until a
    // clean ASCII run long enough for the scan to pay shows up.
    for (int clean = 0; p < end && clean < 16;) {
      b = static_cast<unsigned char>(*p);
      if (b < 0x80) {
        if (quote.stops(b)) {
          escape(b);
        } else {
          *out++ = static_cast<char>(b);
        }
        ++p;
        ++clean;
        continue;
      }
      int n = charLength(p, static_cast<std::size_t>(end - p));
      if (n <= 0) return nullptr;
      // With four bytes left in the text there is room for four in `out`
      // too, so a fixed-size copy can stand in for a loop of n.
      if (end - p >= 4) {
        std::memcpy(out, p, 4);
      } else {
        for (int i = 0; i < n; ++i) out[i] = p[i];
      }
      out += n;
      p += n;
      clean = 0;
    }
  }
  return out;
}

}  // namespace mbwalk
}  // namespace ornutil

#endif
