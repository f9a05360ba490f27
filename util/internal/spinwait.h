// Bounded busy waiting for the reader/writer lock's waiting requests: looks
// at a condition, pausing the core between looks, for at most a given time.
// Never used by a request that may not wait.
#ifndef ORNUTIL_UTIL_INTERNAL_SPINWAIT_H
#define ORNUTIL_UTIL_INTERNAL_SPINWAIT_H

#include <chrono>

namespace ornspin {

using Clock = std::chrono::steady_clock;

// Tells the core that this is a wait loop: on x86 `pause` lets a sibling
// hyperthread run and avoids the memory-order flush when the loop ends.
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Returns true as soon as `done()` is true, false once `deadline` has
// passed without it. Looks once before reading the clock, so a condition
// already true costs no clock read; after that the clock (a vDSO call,
// about 20 ns) is read once per 16 looks.
template <typename Done>
bool spinUntil(Done done, Clock::time_point deadline) {
  if (done()) return true;
  for (;;) {
    for (int i = 0; i < 16; ++i) {
      relax();
      if (done()) return true;
    }
    if (Clock::now() >= deadline) return done();
  }
}

}  // namespace ornspin

#endif
