// Names that collide under the text hash as it was before it took a
// per-process seed: found by brute force against a frozen copy of that hash,
// so that a benchmark can show what an attacker who knows the hash could do
// to every table that indexes names by it, and that a seeded hash defeats.
#ifndef ORNUTIL_BENCH_SUPPORT_HASH_COLLISIONS_H
#define ORNUTIL_BENCH_SUPPORT_HASH_COLLISIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ornutil_bench {

// The unseeded text hash (wyhash-style, fixed constants), kept here as it
// was so that the colliding names stay the same whatever the library does.
std::uint64_t frozenTextHash(const char* p, std::size_t n);

enum class Collision {
  kTableSlot,   // the low 16 bits of the hash: the slot of a power-of-two table
  kFoldedSlot,  // the low 16 bits of the hash's halves XORed: stanza indexes
};

// `count` distinct 8-byte names of letters and digits (the first a letter)
// whose hashes agree as `kind` says. Found once and kept under /tmp (the
// search takes seconds per ten thousand names), so later runs reuse them.
// Throws std::runtime_error only when the search cannot produce them.
const std::vector<std::string>& collidingNames(Collision kind, std::size_t count);

}  // namespace ornutil_bench

#endif
