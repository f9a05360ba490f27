// Runs one test of the current test binary in a fresh process, for
// behaviour that happens once per process.
#ifndef ORNUTIL_TESTS_SUPPORT_CHILD_PROCESS_H
#define ORNUTIL_TESTS_SUPPORT_CHILD_PROCESS_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ornutil_test {

// Re-executes this test binary with --gtest_filter=`test` and the variables
// in `env` set (plus ORNUTIL_TEST_CHILD=1), waits, and returns its exit
// status (0 when the test passed; -2 when it exited 0 without running
// exactly that one test). The child's output goes to `output`.
int runTestInChild(const std::string& test, const std::vector<std::pair<std::string, std::string>>& env,
                   std::string* output = nullptr);

// True inside a process started by runTestInChild: child-only tests skip
// themselves otherwise.
bool inChild();

// Runs `body` in a forked child (no re-execution: the child shares this
// process's state as fork leaves it) and returns its exit code: what `body`
// returned, 99 when it raised, 128 + the signal when it was killed, -1 when
// the child could not be made or waited for.
int inForkedChild(const std::function<int()>& body);

}  // namespace ornutil_test

// Defines a test that runs only in a child started by runTestInChild.
#define ORNUTIL_CHILD_TEST(suite, name)                                     \
  static void suite##_##name##_body();                                      \
  TEST(suite, name) {                                                       \
    if (!::ornutil_test::inChild()) GTEST_SKIP() << "runs in a child process only"; \
    suite##_##name##_body();                                                \
  }                                                                         \
  static void suite##_##name##_body()

#endif
