// The allocation-failure sweep: runs one call again and again, failing its
// 1st, 2nd, ... allocation in turn (through tests/support/alloc_hook.h, which
// the including test source must include first), until the call runs with no
// failing allocation left to reach. At each step the row's body checks the
// outcome the call documents and the state it leaves; the driver checks that
// no exception other than the one the rule allows escaped and that nothing
// leaked.
#ifndef ORNUTIL_TESTS_SUPPORT_ALLOC_SWEEP_H
#define ORNUTIL_TESTS_SUPPORT_ALLOC_SWEEP_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "foundation/zexception.h"

#ifndef ORNUTIL_TESTS_SUPPORT_ALLOC_HOOK_H
#error "include tests/support/alloc_hook.h before alloc_sweep.h"
#endif

namespace ornutil_test {

enum class Outcome {
  Done,         // the call returned normally
  OutOfMemory,  // it raised ZOutOfMemoryException_7_0_0
  Other,        // anything else escaped (already reported as a failure)
};

// One step of a sweep: the body prepares its objects unarmed, makes the one
// call under test through cxx() or c(), then checks what it got.
class Step {
 public:
  explicit Step(long n) : n_(n) {}
  long n() const { return n_; }
  // The failing allocation was reached during the call.
  bool failed() const { return reached_; }
  // The library keeps blocks from this step for the life of the process (a
  // registry entry, a cache entry): the driver does not count them as a
  // leak. A body that calls it checks with nothingLeft() what must not stay.
  void keep() { kept_ = true; }
  bool kept() const { return kept_; }
  // Checks that every block made since the call began has been freed.
  void nothingLeft() const { EXPECT_EQ(alloc_hook::liveBlocks, liveAtCall_) << "blocks leaked"; }
  // Blocks made since the call began and not freed yet.
  long leftOver() const { return alloc_hook::liveBlocks - liveAtCall_; }

  // A C++ entry point: the only exception allowed out of it is
  // ZOutOfMemoryException_7_0_0 carrying a source position, and only when an
  // allocation failed.
  template <typename F>
  Outcome cxx(F&& call) {
    arm();
    try {
      call();
    } catch (const ZOutOfMemoryException_7_0_0& e) {
      disarm();
      EXPECT_TRUE(reached_) << "out of memory raised with no allocation failing";
      EXPECT_STRNE(e.getFile(), "") << "no source position";
      EXPECT_GT(e.getLine(), 0) << "no source position";
      return Outcome::OutOfMemory;
    } catch (const std::bad_alloc&) {
      disarm();
      ADD_FAILURE() << "std::bad_alloc escaped";
      return Outcome::Other;
    } catch (const ZException_7_0_0& e) {
      disarm();
      ADD_FAILURE() << "foundation exception of kind " << e.code << " (" << e.what() << ") escaped";
      return Outcome::Other;
    } catch (const std::exception& e) {
      disarm();
      ADD_FAILURE() << "exception escaped: " << e.what();
      return Outcome::Other;
    } catch (...) {
      disarm();
      ADD_FAILURE() << "unknown exception escaped";
      return Outcome::Other;
    }
    disarm();
    return Outcome::Done;
  }

  // A C entry point: nothing at all may escape; the body checks the status
  // or null result.
  template <typename F>
  void c(F&& call) {
    Outcome o = cxx(call);
    EXPECT_NE(o, Outcome::OutOfMemory) << "an exception left a C entry point";
  }

 private:
  void arm() {
    liveAtCall_ = alloc_hook::liveBlocks;
    if (n_) alloc_hook::arm(n_);
  }
  void disarm() {
    if (n_) reached_ = alloc_hook::disarm() || reached_;
  }
  long n_;
  bool reached_ = false;
  bool kept_ = false;
  long liveAtCall_ = 0;
};

// Runs `body` once unarmed (warming up what the process keeps for its whole
// life: handles, the log destination, registries) and then for n = 1, 2, ...
// until the call meets no failing allocation. Returns the number of
// allocation points the call went through, or -1 after a fatal failure.
template <typename Body>
long sweep(Body body, long limit = 5000) {
  {
    Step warm(0);
    body(warm);
    if (::testing::Test::HasFatalFailure()) return -1;
  }
  for (long n = 1; n <= limit; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " failing");
    long live = alloc_hook::liveBlocks;
    Step step(n);
    body(step);
    if (!step.kept()) {
      EXPECT_EQ(alloc_hook::liveBlocks, live) << "blocks leaked";
    }
    if (::testing::Test::HasFatalFailure()) return -1;
    if (!step.failed()) return n - 1;
  }
  ADD_FAILURE() << "still reaching allocations after " << limit;
  return -1;
}

// For state that lives once per process: every step runs in a forked child
// of the calling process (which must not have made that state yet). The
// child runs `body` with step n and exits 0 when the failing allocation was
// reached and every check held, 10 when it was not reached (the sweep is
// over), 1 when a check failed. `allowAbort`: a child killed by SIGABRT is
// the documented outcome (start-up and lock creation log and abort).
// Returns the number of allocation points, or -1.
template <typename Body>
long sweepInChildren(Body body, bool allowAbort, long limit = 2000) {
  for (long n = 1; n <= limit; ++n) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
      ADD_FAILURE() << "fork failed";
      return -1;
    }
    if (pid == 0) {
      Step step(n);
      body(step);
      std::fflush(nullptr);
      _exit(::testing::Test::HasFailure() ? 1 : step.failed() ? 0 : 10);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 10) return n - 1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
    if (allowAbort && WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) continue;
    ADD_FAILURE() << "allocation " << n << " failing: child "
                  << (WIFEXITED(status) ? "exited " + std::to_string(WEXITSTATUS(status))
                                        : "killed by signal " + std::to_string(WTERMSIG(status)));
    return -1;
  }
  ADD_FAILURE() << "still reaching allocations after " << limit;
  return -1;
}

}  // namespace ornutil_test

#endif
