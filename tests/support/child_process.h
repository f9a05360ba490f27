// Runs one test of the current test binary in a fresh process, for
// behaviour that happens once per process.
#ifndef ORNUTIL_TESTS_SUPPORT_CHILD_PROCESS_H
#define ORNUTIL_TESTS_SUPPORT_CHILD_PROCESS_H

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
