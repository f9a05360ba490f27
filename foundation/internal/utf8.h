// The one UTF-8 character decoder of the project (RFC 3629, strict), shared
// by zmblen_7_0_0 and every multibyte walk built on it.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_UTF8_H
#define ORNUTIL_FOUNDATION_INTERNAL_UTF8_H

#include <cstddef>

namespace ornz {

// Length of the UTF-8 character at `p`, looking at no more than `remaining`
// bytes: 1 to 4 for a valid character, 0 when a valid beginning is cut off by
// `remaining`, -1 when the bytes start no valid character. Overlong forms
// (C0 A8 for "("), surrogates (ED A0..BF) and code points above U+10FFFF
// are invalid, so no byte sequence can smuggle in an ASCII character.
inline int utf8CharLength(const unsigned char* p, std::size_t remaining) {
  if (remaining == 0) return 0;
  unsigned char b = p[0];
  if (b < 0x80) return 1;
  int length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;   // no overlong three-byte forms
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;   // no overlong four-byte forms
    if (b == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;  // a continuation byte, C0, C1 or F5..FF
  }
  for (int i = 1; i < length; ++i) {
    if (static_cast<std::size_t>(i) >= remaining) return 0;
    unsigned char c = p[i];
    if (i == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) return -1;
  }
  return length;
}

}  // namespace ornz

#endif
