// Text hashing shared by every string class and the hash tables of the
// library, so that one text hashes the same whichever string class carries it,
// keyed with a secret chosen once per process so that no one can aim at it.
//
// Why a secret: the tables hold names that peers and files choose. With a
// fixed hash, names that all land in one slot can be found offline and sent
// (hash flooding: Crosby and Wallach, USENIX Security 2003), turning every
// insert into a walk of all that came before. The key is three 64-bit words
// drawn on the first hash of the process (getrandom, never blocking; see
// hash.cpp), entering both factors of every multiply, so that neither the
// slots nor a factor of zero (which would erase the state whatever the rest
// of the text) can be hit without knowing it. The same design as Go's
// fallback hash and abseil's per-process seed; Python and Rust's HashMap key
// theirs per process too.
//
// Nothing stored or sent may depend on a hash value: they differ from one
// process to the next. A forked child keeps its parent's key (its tables are
// copies and must go on finding their names); that costs nothing, since the
// key never leaves the processes that share it.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_HASH_H
#define ORNUTIL_FOUNDATION_INTERNAL_HASH_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ornz {

inline std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline std::uint64_t load32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// 64x64->128 multiply folded to 64 bits: the mixing step of wyhash.
inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

// The secret words of the text hash.
struct HashKey {
  std::uint64_t seed, a, b;
};

namespace detail {
extern HashKey processKey;
extern std::atomic<bool> processKeyChosen;
const HashKey& chooseProcessKey() noexcept;
// The key drawn without getrandom (the fallback; see hash.cpp): a new one
// on every call.
HashKey keyFromProcessEntropy() noexcept;

// The state after all but the last 16 bytes of a text longer than 48 bytes,
// in 32-byte blocks of two lanes. Out of line: inlined, its loop held
// registers that every look-up of a shorter name then saved and restored.
[[gnu::noinline]] inline std::uint64_t mixLongText(const HashKey& key, const char* p, std::size_t n,
                                                   std::uint64_t seed) {
  const char* end = p + n;
  std::uint64_t lane = seed;
  do {
    seed = mum(load64(p) ^ key.a, load64(p + 8) ^ seed);
    lane = mum(load64(p + 16) ^ key.b, load64(p + 24) ^ lane);
    p += 32;
  } while (end - p > 32);
  seed ^= lane;
  if (end - p > 16) seed = mum(load64(p) ^ key.b, load64(p + 8) ^ seed);
  return seed;
}
}  // namespace detail

// The process's key, chosen on the first call of the process (from any
// thread: concurrent first callers all get the one key). Never fails. After
// the first call it costs one load and a branch that is always taken.
inline const HashKey& processHashKey() noexcept {
  if (__builtin_expect(detail::processKeyChosen.load(std::memory_order_acquire), true)) return detail::processKey;
  return detail::chooseProcessKey();
}

// A wyhash-style keyed hash: one multiply for texts up to 16 bytes, two
// multiplies in a row for 17 to 48 bytes (a 32-byte block in two independent
// lanes, then the last 16 bytes), one more step per 32 bytes beyond.
// Never returns 0, which some tables use to mark an empty slot.
//
// `salt` varies the hash for one table, so that names one table places
// together are no guide to another, and a table that meets a long run can
// take a new salt and scatter it. It enters the last multiply only, so that
// a table's salt, loaded with the table, is not waited for before the
// text's first words. It must differ from another salt in most of its 64
// bits (a product of mum, say): salts a few low bits apart place texts alike.
[[gnu::always_inline]] inline std::uint64_t hashText(const HashKey& key, const char* p, std::size_t n,
                                                    std::uint64_t salt = 0) {
  std::uint64_t seed = key.seed ^ n;
  std::uint64_t a = 0, b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = (std::uint64_t(static_cast<unsigned char>(p[0])) << 16) |
          (std::uint64_t(static_cast<unsigned char>(p[n >> 1])) << 8) | static_cast<unsigned char>(p[n - 1]);
    }
  } else {
    const char* end = p + n;
    if (n <= 32) {
      seed = mum(load64(p) ^ key.b, load64(p + 8) ^ seed);
    } else if (n <= 48) {
      // Most paths: one 32-byte block in two lanes, written out.
      seed = mum(load64(p) ^ key.a, load64(p + 8) ^ seed) ^ mum(load64(p + 16) ^ key.b, load64(p + 24) ^ seed);
    } else {
      seed = detail::mixLongText(key, p, n, seed);
    }
    a = load64(end - 16);
    b = load64(end - 8);
  }
  std::uint64_t h = mum(a ^ key.a ^ salt, b ^ seed);
  return h ? h : 1;
}

// The text hash under the process key: what ZAbstractString_7_0_0::hash()
// returns and what tables without a key of their own use.
inline std::uint64_t hashText(const char* p, std::size_t n) { return hashText(processHashKey(), p, n); }

}  // namespace ornz

#endif
