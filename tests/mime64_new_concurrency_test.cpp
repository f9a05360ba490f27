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

// Threads encode and decode while the code path is switched under them and
// the processor check runs for the first time: every result must still be
// right, and ThreadSanitizer must see no race.
TEST(Mime64Concurrency, ThreadsShareThePathSwitch) {
  std::mt19937 rng(1);
  std::string bytes(5000, '\0');
  for (auto& c : bytes) c = static_cast<char>(rng() & 0xff);

  std::atomic<bool> go{false}, done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < 200; ++round) {
        char* encoded =
            mime64_new_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        char* out = nullptr;
        unsigned long length = 0;
        mime64_new_decode(encoded, encoded ? std::strlen(encoded) : 0, &out, &length);
        if (out == nullptr || std::string(out, length) != bytes) failures.fetch_add(1);
        std::free(out);
        std::free(encoded);
      }
    });
  }
  std::thread switcher([&] {
    while (!done.load()) {
      ornutil::base64::set_path(Path::scalar);
      ornutil::base64::set_path(Path::automatic);
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
