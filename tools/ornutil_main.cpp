// ornutil: the library's answers from a shell, for administrators and scripts.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "foundation/internal/memoryrule.h"
#include "foundation/zexception.h"
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
      "4 a file (standard output included) cannot be written or locked.\n"
      "A closed pipe on standard output ends the tool silently, as it ends other\n"
      "commands (SIGPIPE); where SIGPIPE is ignored, it is a write error (4).\n");
}

int dispatch(int argc, char** argv) {
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
  return cli::fail(cli::kUsage, "unknown command " + cli::quoted(name) + " (see 'ornutil --help')");
}

}  // namespace

int main(int argc, char** argv) {
  cli::guardStandardDescriptors();
  int status;
  // Every failure is a line and an exit status, never an abort.
  try {
    status = ornz::orWhenOutOfMemory([&] { return dispatch(argc, argv); },
                                     [] { return cli::fail(cli::kBadInput, "out of memory"); });
  } catch (ZException_7_0_0& e) {
    status = cli::fail(cli::kBadInput, e.text);
  } catch (std::exception& e) {
    status = cli::fail(cli::kBadInput, e.what());
  } catch (...) {
    status = cli::fail(cli::kBadInput, "unexpected failure");
  }
  std::string error;
  if (!cli::finishOutput(error)) {
    cli::fail(cli::kCannotWrite, "write error: " + error);
    if (status == cli::kOk || status == cli::kNotFound) status = cli::kCannotWrite;
  }
  return status;
}
