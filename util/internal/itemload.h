// What the configuration item loader tells the library's own callers beyond
// its status: whether its last failure on this thread was exhausted memory,
// which callers that keep a result for the life of the process must not
// keep (they try again on the next call instead).
#ifndef ORNUTIL_UTIL_INTERNAL_ITEMLOAD_H
#define ORNUTIL_UTIL_INTERNAL_ITEMLOAD_H

namespace ornutil_internal {

// True when the last config_item_load of this thread failed for memory.
bool itemLoadRanOutOfMemory();

}  // namespace ornutil_internal

#endif
