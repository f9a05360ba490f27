#include "bench/support/hash_collisions.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

namespace ornutil_bench {

namespace {

std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint64_t load32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint64_t mum(std::uint64_t a, std::uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr unsigned kBase = sizeof kDigits - 1;
constexpr std::size_t kNameLength = 8;

// Where found names are kept between runs; the version changes whenever the
// frozen hash or the name form does.
std::string cachePath(Collision kind) {
  return std::string("/tmp/ornutil-bench-collisions-v1-") + (kind == Collision::kTableSlot ? "table" : "folded") +
         ".txt";
}

std::vector<std::string> readCache(Collision kind) {
  std::vector<std::string> names;
  std::ifstream in(cachePath(kind));
  for (std::string line; std::getline(in, line);)
    if (line.size() == kNameLength) names.push_back(line);
  return names;
}

void writeCache(Collision kind, const std::vector<std::string>& names) {
  const std::string path = cachePath(kind), temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const std::string& n : names) out << n << '\n';
    if (!out) return;  // a cache that cannot be kept only costs the next run time
  }
  std::rename(temporary.c_str(), path.c_str());
}

unsigned slotOf(Collision kind, std::uint64_t h) {
  if (kind == Collision::kFoldedSlot) h ^= h >> 32;
  return static_cast<unsigned>(h & 0xffff);
}

// Names after `from` in counting order (the last seven characters counted
// in base 62) whose slot is `slot`, until `names` holds `count`.
void search(Collision kind, unsigned slot, std::vector<std::string>& names, std::size_t count) {
  char name[kNameLength + 1] = "n0000000";
  unsigned digit[kNameLength] = {};
  if (!names.empty()) {  // go on after the last name found
    std::memcpy(name, names.back().data(), kNameLength);
    for (std::size_t i = 1; i < kNameLength; ++i)
      digit[i] = static_cast<unsigned>(std::strchr(kDigits, name[i]) - kDigits);
  }
  auto step = [&] {
    for (std::size_t i = kNameLength - 1; i >= 1; --i) {
      if (++digit[i] < kBase) {
        name[i] = kDigits[digit[i]];
        return true;
      }
      digit[i] = 0;
      name[i] = kDigits[0];
    }
    return false;  // every name of this form was tried
  };
  while (names.size() < count) {
    if (!step()) throw std::runtime_error("colliding names: the name space is exhausted");
    if (slotOf(kind, frozenTextHash(name, kNameLength)) == slot) names.emplace_back(name, kNameLength);
  }
}

}  // namespace

std::uint64_t frozenTextHash(const char* p, std::size_t n) {
  const std::uint64_t k0 = 0xa0761d6478bd642full, k1 = 0xe7037ed1a0b428dbull, k2 = 0x8ebc6af09c88c6e3ull;
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
        (std::uint64_t(static_cast<unsigned char>(p[n >> 1])) << 8) | static_cast<unsigned char>(p[n - 1]);
  }
  std::uint64_t h = mum(a ^ k1, b ^ seed ^ k2);
  return h ? h : 1;
}

const std::vector<std::string>& collidingNames(Collision kind, std::size_t count) {
  static std::map<Collision, std::vector<std::string>> found;
  std::vector<std::string>& names = found[kind];
  if (names.size() >= count) return names;
  if (names.empty()) names = readCache(kind);
  // Every name shares the slot of the first name of the form.
  const unsigned slot = slotOf(kind, frozenTextHash("n0000000", kNameLength));
  for (const std::string& n : names)
    if (slotOf(kind, frozenTextHash(n.data(), n.size())) != slot) {
      names.clear();  // a cache of another hash or form
      break;
    }
  if (names.size() < count) {
    search(kind, slot, names, count);
    writeCache(kind, names);
  }
  return names;
}

}  // namespace ornutil_bench
