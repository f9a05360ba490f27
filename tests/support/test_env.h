// Small helpers shared by the tests.
#ifndef ORNUTIL_TESTS_SUPPORT_TEST_ENV_H
#define ORNUTIL_TESTS_SUPPORT_TEST_ENV_H

#include <string>

namespace ornutil_test {

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace ornutil_test

#endif
