#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "util/internal/base64_core.h"
#include "util/mime64_new.h"

namespace {

using ornutil::base64::Path;

// One input: its bytes, their text, and the same text wrapped in lines
// (with "-" for "/"), which the decoder must read back as the same bytes.
struct Input {
  std::string bytes, text, wrapped;
};

std::string encodeWith(const std::string& bytes) {
  char* encoded = mime64_new_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  std::string text = encoded ? encoded : "(null)";
  std::free(encoded);
  return text;
}

std::string decodeWith(const std::string& text) {
  char* out = nullptr;
  unsigned long length = 0;
  mime64_new_decode(text.data(), text.size(), &out, &length);
  std::string bytes = out ? std::string(out, length) : text.empty() ? "" : "(null)";
  std::free(out);
  return bytes;
}

// Lengths around every block size of every path (the 3-byte group, the AVX2
// 24/32 and the AVX-512 48/64 blocks, a 4 KiB chunk), with random bytes,
// runs of 0x00 and of 0xff, whose texts are all "A" or all "/".
std::vector<Input> makeInputs() {
  std::mt19937 rng(1);
  std::vector<Input> inputs;
  const std::size_t lengths[] = {0, 1, 2, 3, 4, 23, 24, 25, 47, 48, 49, 63, 64, 65, 100, 1000, 4095, 4097, 5000, 65537};
  ornutil::base64::set_path(Path::scalar);  // the expected texts, from the plainest code
  for (std::size_t n : lengths) {
    for (int kind = 0; kind < 3; ++kind) {
      Input in;
      in.bytes.resize(n);
      for (auto& c : in.bytes) c = static_cast<char>(kind == 0 ? rng() & 0xff : kind == 1 ? 0x00 : 0xff);
      in.text = encodeWith(in.bytes);
      for (std::size_t i = 0; i < in.text.size(); ++i) {
        if (i && i % 76 == 0) in.wrapped += "\r\n";
        in.wrapped += in.text[i] == '/' ? '-' : in.text[i];
      }
      inputs.push_back(std::move(in));
    }
  }
  ornutil::base64::set_path(Path::automatic);
  return inputs;
}

// Threads encode and decode many inputs while the code path is switched
// under them, through every path this processor runs, and the processor
// check runs for the first time: every result must still be right, and
// ThreadSanitizer must see no race.
TEST(Mime64Concurrency, ThreadsShareThePathSwitch) {
  const std::vector<Input> inputs = makeInputs();
  std::vector<Path> paths;
  for (Path p : {Path::scalar, Path::avx2, Path::avx512, Path::automatic})
    if (ornutil::base64::set_path(p)) paths.push_back(p);
  ornutil::base64::set_path(Path::automatic);

  std::atomic<bool> go{false}, done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < 40; ++round) {
        // Each thread walks the inputs from a different place.
        for (std::size_t k = 0; k < inputs.size(); ++k) {
          const Input& in = inputs[(k + static_cast<std::size_t>(t) * 7) % inputs.size()];
          if (encodeWith(in.bytes) != in.text) failures.fetch_add(1);
          if (decodeWith(in.text) != in.bytes) failures.fetch_add(1);
          if (decodeWith(in.wrapped) != in.bytes) failures.fetch_add(1);
        }
      }
    });
  }
  std::thread switcher([&] {
    for (std::size_t i = 0; !done.load(); ++i) {
      ornutil::base64::set_path(paths[i % paths.size()]);
      std::this_thread::yield();
    }
  });
  go.store(true);
  for (auto& t : threads) t.join();
  done.store(true);
  switcher.join();
  ornutil::base64::set_path(Path::automatic);
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
