// ornutil: the library's answers from a shell, for administrators and scripts.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/cli.h"

namespace {

const cli::Command* const kCommands[] = {&cli::kPath,     &cli::kConfig,     &cli::kCompliance, &cli::kMsg,
                                         &cli::kBase64,   &cli::kScramble,   &cli::kUnscramble, &cli::kQuote,
                                         &cli::kFormat,   &cli::kCheck,      &cli::kObject};

void printHelp() {
  std::printf(
      "usage: ornutil COMMAND [ARGS...]\n"
      "       ornutil COMMAND --help\n"
      "       ornutil --version\n\n"
      "Commands:\n");
  for (const cli::Command* c : kCommands) std::printf("  %-11s %s\n", c->name, c->synopsis);
  std::printf(
      "\nExit status: 0 success, 1 not found or false, 2 usage error, 3 bad input,\n"
      "4 a file cannot be written or locked.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printHelp();
    return cli::kUsage;
  }
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printHelp();
    return cli::kOk;
  }
  if (name == "--version") {
    std::printf("ornutil " ORNUTIL_VERSION "\n");
    return cli::kOk;
  }
  for (const cli::Command* c : kCommands) {
    if (name == c->name) return c->run(cli::Args(argv + 2, argv + argc));
  }
  return cli::fail(cli::kUsage, "unknown command '" + name + "' (see 'ornutil --help')");
}
