#include "tests/support/test_env.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ornutil_test {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace ornutil_test
