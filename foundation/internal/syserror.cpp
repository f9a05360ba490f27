#include "foundation/internal/syserror.h"

#include <string.h>

#include <cstdio>

namespace ornz {

const char* errorText(int err, char* buffer, std::size_t size) noexcept {
  if (size == 0) return buffer;
  // glibc's strerror_r returns a pointer to its answer, which is either a
  // static text or `buffer`; both are stable once returned.
  const char* text = ::strerror_r(err, buffer, size);
  if (text == nullptr) {
    std::snprintf(buffer, size, "Unknown error %d", err);
    return buffer;
  }
  if (text != buffer) {
    std::snprintf(buffer, size, "%s", text);
  }
  return buffer;
}

std::string errorText(int err) {
  char buffer[256];
  return std::string(errorText(err, buffer, sizeof buffer));
}

}  // namespace ornz
