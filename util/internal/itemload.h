// The configuration item loader as the library's own callers use it: the
// same load and statuses as config_item_load, except that exhausted memory
// is raised rather than turned into a status, so that a caller keeping its
// result for the life of the process can tell it from an answer about the
// file.
#ifndef ORNUTIL_UTIL_INTERNAL_ITEMLOAD_H
#define ORNUTIL_UTIL_INTERNAL_ITEMLOAD_H

#include "foundation/zstzitem.h"

namespace ornutil_internal {

// Loads `items` from `fileName` as config_item_load does and returns its
// status (0, 0x1354a0ca or 0x1354a0c8, logged the same way). Exhausted
// memory raises ZOutOfMemoryException_7_0_0 instead, unlogged; what was
// filled before the failure stays filled.
unsigned int loadItems(const char* fileName, ZStzFileItem_7_0_0* items, unsigned int count, int flag);

}  // namespace ornutil_internal

#endif
