// Plain, character-at-a-time versions of the multibyte checks, the quoting
// and the formatter, written straight over the foundation's zmblen_7_0_0 and
// zstrchr_7_0_0 with no scanning tricks. Tests and fuzzers hold the library's
// fast paths to them.
#ifndef ORNUTIL_TESTS_SUPPORT_MBWALK_REFERENCE_H
#define ORNUTIL_TESTS_SUPPORT_MBWALK_REFERENCE_H

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "foundation/zmbchar.h"

namespace ornutil_test {
namespace reference {

inline int validchars(const char* text, const char* rejects, int rejectControls) {
  if (!*text) return 1;
  zcharset_handle_t h = zgetUTF8Handle_7_0_0();
  std::size_t remaining = std::strlen(text);
  for (const char* p = text; *p;) {
    int n = zmblen_7_0_0(h, p, remaining);
    if (n == 0) return 0;
    if (n == 1) {
      unsigned char b = static_cast<unsigned char>(*p);
      if (rejectControls && b >= 0x01 && b <= 0x1F) return 0;
      if (zstrchr_7_0_0(h, rejects, static_cast<signed char>(*p))) return 0;
    }
    if (n < 0) n = 1;
    p += n;
    remaining -= static_cast<std::size_t>(n);
  }
  return 1;
}

inline int checkchars(const char* text, const char* allowed) {
  zcharset_handle_t h = zgetUTF8Handle_7_0_0();
  std::size_t remaining = std::strlen(text);
  for (const char* p = text; *p;) {
    int n = zmblen_7_0_0(h, p, remaining);
    if (n == 0) return 0;
    if (n == 1 && !std::strchr(allowed, *p)) return 0;
    if (n < 0) n = 1;
    p += n;
    remaining -= static_cast<std::size_t>(n);
  }
  return 1;
}

// Offset of the match, or -1.
inline long mbStrchr(const char* text, int c) {
  zcharset_handle_t h = zgetUTF8Handle_7_0_0();
  std::size_t remaining = std::strlen(text);
  for (const char* p = text; *p;) {
    int n = zmblen_7_0_0(h, p, remaining);
    if (n == 0) return -1;
    if (n == 1 || n == -1) {
      if (static_cast<signed char>(*p) == c) return p - text;
      n = 1;
    }
    p += n;
    remaining -= static_cast<std::size_t>(n);
  }
  return -1;
}

// Quotes `text` with `list`: hexadecimal escapes when `hex`, backslash
// escapes otherwise; nullopt for text that is not valid UTF-8.
inline std::optional<std::string> quote(const std::string& text, const char* list, bool hex) {
  static const char digits[] = "0123456789abcdef";
  zcharset_handle_t h = zgetUTF8Handle_7_0_0();
  std::string out;
  std::size_t remaining = text.size();
  for (const char* p = text.c_str(); *p;) {
    int n = zmblen_7_0_0(h, p, remaining);
    if (n <= 0) return std::nullopt;
    if (n == 1 && zstrchr_7_0_0(h, list, static_cast<signed char>(*p))) {
      unsigned char b = static_cast<unsigned char>(*p);
      out += '\\';
      if (hex) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
      } else {
        out += static_cast<char>(b);
      }
    } else {
      out.append(p, static_cast<std::size_t>(n));
    }
    p += n;
    remaining -= static_cast<std::size_t>(n);
  }
  return out;
}

// The formatter: nullopt where it must fail (also for a missing argument).
inline std::optional<std::string> format(const std::string& fmt,
                                         const std::vector<std::string>& args) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != '%') {
      out += fmt[i];
      continue;
    }
    char d = i + 1 < fmt.size() ? fmt[i + 1] : '\0';
    const char* list = nullptr;
    bool hex = true;
    switch (d) {
      case 's': break;
      case 'P': list = "()\\"; break;
      case 'Q': list = "*()\\"; break;
      case 'L': list = "()"; break;
      case 'M': list = "*()"; break;
      case 'D': list = "\\,+\"<>;=#"; hex = false; break;
      case 'A': list = "#"; hex = false; break;
      default: return std::nullopt;
    }
    if (next >= args.size()) return std::nullopt;
    const std::string& arg = args[next++];
    if (!list) {
      out += arg;
    } else {
      std::optional<std::string> quoted = quote(arg, list, hex);
      if (!quoted) return std::nullopt;
      out += *quoted;
    }
    ++i;
  }
  return out;
}

// Removes escapes: \ and two hex digits becomes that byte, \ and any other
// byte becomes that byte. nullopt for a dangling backslash or bad digits.
inline std::optional<std::string> unescape(const std::string& text, bool hex) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (hex) {
      if (i + 2 >= text.size()) return std::nullopt;
      int hi = digit(text[i + 1]), lo = digit(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      if (i + 1 >= text.size()) return std::nullopt;
      out += text[++i];
    }
  }
  return out;
}

}  // namespace reference
}  // namespace ornutil_test

#endif
