// Size arithmetic of the scrambled-string codec (util/encode), apart so that
// tests can reach sizes no real text has. Not installed.
#ifndef ORNUTIL_UTIL_INTERNAL_SCRAMBLE_SIZE_H
#define ORNUTIL_UTIL_INTERNAL_SCRAMBLE_SIZE_H

#include <cstddef>

namespace ornutil {
namespace scramble {

// The allocation for a scrambled text of `length` plain bytes whose runs of
// symbols total `runs`: the marker, one stored byte and its run per plain
// byte, the NUL. False, with *size untouched, when that does not fit in a
// size_t.
inline bool scrambledSize(std::size_t length, std::size_t runs, std::size_t* size) {
  std::size_t total;
  if (__builtin_add_overflow(length, runs, &total)) return false;
  if (__builtin_add_overflow(total, std::size_t(4), &total)) return false;
  *size = total;
  return true;
}

}  // namespace scramble
}  // namespace ornutil

#endif
