// The storage behind a message cache (I18NCache): the block its `entries`
// point into, the entries inserted out of order that wait there to be merged
// into the sorted ones, and the arena the cache's placeholders are cut from.
//
// The block: a private header (the waiting count, their index, the arena,
// a sample of the sorted keys that large caches search first),
// then `capacity` entry slots, of which `entries` is the first. The first
// `count` slots are sorted by key; the next ones, up to the first slot whose
// text is null, wait in the order they came (at most a fixed share of
// `count`, see msgcache_store.cpp), findable through a keyed hash index.
// Every function is called with the cache's lock held (or where no other
// thread uses the cache).
#ifndef ORNUTIL_UTIL_INTERNAL_MSGCACHE_STORE_H
#define ORNUTIL_UTIL_INTERNAL_MSGCACHE_STORE_H

#include <cstddef>

#include "util/KelMsg.h"

namespace ornmsg {

// Adds (key, text) after any entry of an equal key. Returns false when
// memory ran out: the cache then holds the same entries as before (a merge
// may have run, which moves no entry out of the cache).
bool addEntry(I18NCache& cache, unsigned int key, unsigned char* text) noexcept;

// The text of the newest entry of `key` (waiting or sorted), or null.
unsigned char* findEntry(const I18NCache& cache, unsigned int key) noexcept;

// Merges the waiting entries into the sorted ones: afterwards the first
// `count` slots hold every entry. Never fails (without memory for a buffer
// the merge is slower, not partial).
void mergeWaiting(I18NCache& cache) noexcept;

// `bytes` of memory that stay valid until the cache is destroyed (the
// process-wide caches never are), for a placeholder; null when memory ran
// out (the cache is unchanged, save that its block may now exist).
char* cutText(I18NCache& cache, std::size_t bytes) noexcept;

// Frees the block, its index and the arena (the cache's destructor).
void releaseStore(I18NCache& cache) noexcept;

}  // namespace ornmsg

#endif
