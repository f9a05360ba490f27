#include "foundation/internal/hash.h"

#include <errno.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

// The key is drawn with getrandom(GRND_NONBLOCK): a daemon that starts before
// the kernel's pool is ready (early boot) must not wait for it, and a kernel
// or a sandbox without the call must not stop the library. Then, and only
// then, the key comes from what every process has without asking: the 16
// random bytes the kernel hands each program at exec (AT_RANDOM), the clocks,
// the process id and addresses that address-space randomisation moves. Weaker,
// but still unknown to a peer, which is all the key needs to be.

namespace ornz {
namespace detail {

HashKey processKey{};
std::atomic<bool> processKeyChosen{false};

namespace {

pthread_once_t choosing = PTHREAD_ONCE_INIT;

bool fromGetrandom(HashKey& key) {
  auto* at = reinterpret_cast<unsigned char*>(&key);
  std::size_t left = sizeof key;
  while (left > 0) {
    ssize_t got = getrandom(at, left, GRND_NONBLOCK);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // EAGAIN (pool not ready), ENOSYS, EPERM (a filter)
    }
    at += got;
    left -= static_cast<std::size_t>(got);
  }
  return true;
}

std::uint64_t nanoseconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

void chooseKey() {
  const int savedErrno = errno;  // callers' errno contracts (the locks) must not see ours
  HashKey key{};
  if (!fromGetrandom(key)) key = keyFromProcessEntropy();
  processKey = key;
  processKeyChosen.store(true, std::memory_order_release);
  errno = savedErrno;
}

}  // namespace

HashKey keyFromProcessEntropy() noexcept {
  std::uint64_t words[8] = {};
  if (const void* kernelRandom = reinterpret_cast<const void*>(getauxval(AT_RANDOM)))
    std::memcpy(words, kernelRandom, 16);
  words[2] = nanoseconds(CLOCK_REALTIME);
  words[3] = nanoseconds(CLOCK_MONOTONIC);
  words[4] = static_cast<std::uint64_t>(getpid());
  words[5] = reinterpret_cast<std::uintptr_t>(&words);             // the stack
  words[6] = reinterpret_cast<std::uintptr_t>(&keyFromProcessEntropy);  // the library
  words[7] = reinterpret_cast<std::uintptr_t>(&processKey);       // its data
  // Odd constants of wyhash; each word passes through a multiply with the
  // running state, so every bit of each reaches all three key words.
  std::uint64_t h = 0xa0761d6478bd642full;
  HashKey key{};
  std::uint64_t* out[3] = {&key.seed, &key.a, &key.b};
  for (int round = 0; round < 3; ++round) {
    for (std::uint64_t w : words) h = mum(h ^ w ^ 0xe7037ed1a0b428dbull, h ^ 0x8ebc6af09c88c6e3ull);
    *out[round] = h;
  }
  return key;
}

const HashKey& chooseProcessKey() noexcept {
  pthread_once(&choosing, chooseKey);
  return processKey;
}

}  // namespace detail
}  // namespace ornz
