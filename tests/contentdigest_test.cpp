// The digest a store keeps of what it wrote: the same however the bytes are
// cut into pieces, and different for texts that differ anywhere, in length
// included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/internal/contentdigest.h"

namespace {

ornz::ContentDigest digestIn(const std::string& text, std::size_t piece) {
  ornz::DigestBuilder b;
  for (std::size_t at = 0; at < text.size(); at += piece) b.put(text.data() + at, std::min(piece, text.size() - at));
  return b.digest();
}

std::string sample(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('a' + (i * 7) % 26);
  return s;
}

TEST(ContentDigest, DoesNotDependOnHowTheBytesAreCut) {
  for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 33u, 1000u, 70000u}) {
    std::string text = sample(length);
    ornz::ContentDigest whole = digestIn(text, text.size() + 1);
    for (std::size_t piece : {1u, 3u, 15u, 16u, 17u, 4096u}) {
      SCOPED_TRACE(::testing::Message() << "length " << length << ", pieces of " << piece);
      EXPECT_EQ(digestIn(text, piece), whole);
    }
    EXPECT_EQ(whole.size, length);
  }
}

TEST(ContentDigest, TellsApartTextsThatDifferAnywhere) {
  const std::string base = sample(5000);
  std::vector<std::string> texts = {base, base + '\0', base.substr(0, 4999), std::string(16, '\0'),
                                    std::string(17, '\0'), std::string(32, '\0'), ""};
  for (std::size_t at : {0u, 15u, 16u, 2500u, 4999u}) {
    for (int bit = 0; bit < 8; bit += 7) {
      std::string t = base;
      t[at] = static_cast<char>(t[at] ^ (1 << bit));
      texts.push_back(t);
    }
  }
  for (std::size_t i = 0; i < texts.size(); ++i)
    for (std::size_t j = i + 1; j < texts.size(); ++j)
      EXPECT_NE(digestIn(texts[i], 64), digestIn(texts[j], 64)) << "texts " << i << " and " << j;
}

}  // namespace
