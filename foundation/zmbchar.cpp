#include "foundation/zmbchar.h"

#include <cstring>

#include "foundation/internal/utf8.h"

struct zcharset_s_t {
  const char* name;
};

namespace {
const zcharset_s_t kUtf8 = {"UTF-8"};
}

zcharset_handle_t zgetUTF8Handle_7_0_0(void) { return &kUtf8; }

int zmblen_7_0_0(zcharset_handle_t, const char* text, size_t remaining) {
  if (!text) return 0;
  return ornz::utf8CharLength(reinterpret_cast<const unsigned char*>(text), remaining);
}

const char* zstrchr_7_0_0(zcharset_handle_t, const char* list, int c) {
  if (!list || c == 0) return nullptr;
  std::size_t remaining = std::strlen(list);
  for (const char* p = list; *p;) {
    int n = ornz::utf8CharLength(reinterpret_cast<const unsigned char*>(p), remaining);
    if (n == 0) return nullptr;
    if (n < 0) n = 1;  // a stray byte is a character of its own
    if (n == 1 && static_cast<int>(static_cast<signed char>(*p)) == c) return p;
    p += n;
    remaining -= static_cast<std::size_t>(n);
  }
  return nullptr;
}
