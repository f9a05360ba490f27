// Growth of the quoting formatter's output block. Its capacity (text bytes,
// one more byte always kept for the NUL) and count are 32-bit, as callers of
// the formatter have always had them; sizes that do not fit make the call
// fail rather than wrap.
#ifndef ORNUTIL_UTIL_INTERNAL_MBS_GROWTH_H
#define ORNUTIL_UTIL_INTERNAL_MBS_GROWTH_H

#include <cstddef>
#include <cstdint>

namespace ornutil {
namespace mbs {

// Slack left after each growth, so that short literal runs after an
// argument need no further reallocation.
constexpr std::int32_t kSlack = 128;
constexpr std::int64_t kMaxCapacity = INT32_MAX;

// Room an argument of `length` bytes may take when each byte can become
// `factor` bytes; -1 when that does not fit a 32-bit count.
inline std::int64_t roomFor(std::size_t length, int factor) {
  if (length > static_cast<std::size_t>(kMaxCapacity / factor)) return -1;
  return static_cast<std::int64_t>(length) * factor;
}

// The capacity a block holding `count` bytes grows to so that `need` more
// bytes fit with the slack after them; -1 when it does not fit 32 bits.
inline std::int64_t grownCapacity(std::int32_t count, std::int64_t need) {
  if (need < 0) return -1;
  std::int64_t capacity = static_cast<std::int64_t>(count) + need + kSlack;
  return capacity > kMaxCapacity ? -1 : capacity;
}

}  // namespace mbs
}  // namespace ornutil

#endif
