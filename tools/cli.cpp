#include "tools/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace cli {

int fail(int code, const std::string& what) {
  std::fprintf(stderr, "ornutil: %s\n", what.c_str());
  return code;
}

int usage(const Command& command, const std::string& what) {
  return fail(kUsage, std::string(command.name) + ": " + what + " (see 'ornutil " + command.name + " --help')");
}

bool wantsHelp(const Command& command, const Args& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(command.help, stdout);
      return true;
    }
  }
  return false;
}

bool readInput(const std::string& file, std::string& data, std::string& error) {
  if (file.empty() || file == "-") {
    std::ostringstream all;
    all << std::cin.rdbuf();
    data = all.str();
    return true;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = file + ": " + std::strerror(errno);
    return false;
  }
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void writeOut(const std::string& data) { std::fwrite(data.data(), 1, data.size(), stdout); }

}  // namespace cli
