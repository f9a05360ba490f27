#include "foundation/internal/contentdigest.h"

#include <cstring>

#include "foundation/internal/hash.h"

namespace ornz {

namespace {
// Two lanes of 64 bits, each a chain of the multiply-and-fold step of the
// text hash over 16-byte blocks, with constants of their own. The state
// enters both factors, so that no block (not even one that zeroes a
// factor's constant) can wipe out what came before it.
constexpr std::uint64_t kA0 = 0xa0761d6478bd642full, kA1 = 0xe7037ed1a0b428dbull;
constexpr std::uint64_t kB0 = 0x8ebc6af09c88c6e3ull, kB1 = 0x589965cc75374cc3ull;
constexpr std::uint64_t kEnd = 0x1d8e4e27c47d124full;

inline std::uint64_t rotate(std::uint64_t v, int by) { return (v << by) | (v >> (64 - by)); }
}  // namespace

DigestBuilder::DigestBuilder() : a_(kA0), b_(kB0) {}

void DigestBuilder::block(const unsigned char* p) {
  std::uint64_t w0, w1;
  std::memcpy(&w0, p, 8);
  std::memcpy(&w1, p + 8, 8);
  std::uint64_t a = a_, b = b_;
  a_ = mum(w0 ^ a ^ kA1, w1 ^ rotate(a, 29) ^ kA0) + w1;
  b_ = mum(w1 ^ b ^ kB1, w0 ^ rotate(b, 37) ^ kB0) + w0;
}

void DigestBuilder::put(const char* text, std::size_t n) {
  auto* p = reinterpret_cast<const unsigned char*>(text);
  size_ += n;
  if (carried_) {
    std::size_t take = 16 - carried_ < n ? 16 - carried_ : n;
    std::memcpy(carry_ + carried_, p, take);
    carried_ += take;
    p += take;
    n -= take;
    if (carried_ < 16) return;
    block(carry_);
    carried_ = 0;
  }
  for (; n >= 16; p += 16, n -= 16) block(p);
  if (n) {
    std::memcpy(carry_, p, n);
    carried_ = n;
  }
}

ContentDigest DigestBuilder::digest() const {
  DigestBuilder last(*this);
  // The last partial block, zero-padded; the size then tells "ab" from
  // "ab\0".
  unsigned char tail[16] = {};
  std::memcpy(tail, carry_, carried_);
  if (carried_) last.block(tail);
  ContentDigest d;
  d.size = size_;
  d.a = mum(last.a_ ^ size_ ^ kEnd, rotate(last.b_, 17) ^ kA1);
  d.b = mum(last.b_ ^ size_ ^ kA0, rotate(last.a_, 43) ^ kEnd);
  return d;
}

}  // namespace ornz
