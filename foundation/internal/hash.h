// Text hashing shared by every string class and the hash maps, so that one
// text hashes the same whichever string class carries it.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_HASH_H
#define ORNUTIL_FOUNDATION_INTERNAL_HASH_H

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

// A wyhash-style hash: two multiplies for texts up to 16 bytes, one per 16
// bytes beyond. Never returns 0, which the maps use to mark an empty slot.
inline std::uint64_t hashText(const char* p, std::size_t n) {
  const std::uint64_t k0 = 0xa0761d6478bd642full, k1 = 0xe7037ed1a0b428dbull,
                      k2 = 0x8ebc6af09c88c6e3ull;
  std::uint64_t seed = k0 ^ n;
  while (n > 16) {
    seed = mum(load64(p) ^ k1, load64(p + 8) ^ seed);
    p += 16;
    n -= 16;
  }
  std::uint64_t a = 0, b = 0;
  if (n >= 8) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    a = (std::uint64_t(static_cast<unsigned char>(p[0])) << 16) |
        (std::uint64_t(static_cast<unsigned char>(p[n >> 1])) << 8) |
        static_cast<unsigned char>(p[n - 1]);
  }
  std::uint64_t h = mum(a ^ k1, b ^ seed ^ k2);
  return h ? h : 1;
}

}  // namespace ornz

#endif
