// A 128-bit digest of a stream of bytes that does not depend on how the
// stream is cut into pieces: what a store wrote, kept so that a later store
// can tell whether the file still holds it without keeping a copy of it.
//
// Not cryptographic: it tells a file that another process rewrote from one
// left alone (two different texts share a digest with a chance of about one
// in 2^64 per lane), not a forgery from the original; whoever may write the
// file may change it anyway.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_CONTENTDIGEST_H
#define ORNUTIL_FOUNDATION_INTERNAL_CONTENTDIGEST_H

#include <cstddef>
#include <cstdint>

namespace ornz {

struct ContentDigest {
  std::uint64_t size = 0;
  std::uint64_t a = 0, b = 0;

  bool operator==(const ContentDigest& o) const { return size == o.size && a == o.a && b == o.b; }
  bool operator!=(const ContentDigest& o) const { return !(*this == o); }
};

class DigestBuilder {
 public:
  DigestBuilder();
  // Adds the next `n` bytes of the stream.
  void put(const char* p, std::size_t n);
  // The digest of everything put so far (the builder may go on).
  ContentDigest digest() const;
  std::uint64_t size() const { return size_; }

 private:
  void block(const unsigned char* p);

  std::uint64_t a_, b_;
  std::uint64_t size_ = 0;
  unsigned char carry_[16];
  std::size_t carried_ = 0;
};

}  // namespace ornz

#endif
