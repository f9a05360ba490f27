// ornutil scramble and unscramble.
#include <cstdlib>
#include <string>

#include "tools/cli.h"
#include "util/encode.h"

namespace {

// The text to work on: the argument, or standard input without its final
// line end.
bool textArgument(const cli::Command& command, const cli::Args& args, std::string& text, int& status) {
  if (args.size() > 1) {
    status = cli::usage(command, "one text at most");
    return false;
  }
  if (args.size() == 1) {
    text = args[0];
    return true;
  }
  std::string error;
  if (!cli::readInput("-", text, error)) {
    status = cli::fail(cli::kBadInput, error);
    return false;
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return true;
}

int scrambleOrNot(const cli::Command& command, const cli::Args& args, char* (*codec)(const char*)) {
  if (cli::wantsHelp(command, args)) return cli::kOk;
  std::string text;
  int status = cli::kOk;
  if (!textArgument(command, args, text, status)) return status;
  if (text.find('\0') != std::string::npos) return cli::fail(cli::kBadInput, std::string(command.name) + ": text holds a NUL byte");
  char* out = codec(text.c_str());
  if (!out) return cli::fail(cli::kBadInput, std::string(command.name) + ": out of memory");
  cli::writeOut(std::string(out) + "\n");
  std::free(out);
  return cli::kOk;
}

int scramble(const cli::Args& args) { return scrambleOrNot(cli::kScramble, args, util_encode); }
int unscramble(const cli::Args& args) { return scrambleOrNot(cli::kUnscramble, args, util_decode); }

}  // namespace

const cli::Command cli::kScramble = {
    "scramble", "scramble a text",
    "usage: ornutil scramble [TEXT]\n\n"
    "Prints the scrambled form of TEXT (standard input without its final line end\n"
    "when no TEXT is given). A text already scrambled is printed unchanged.\n",
    scramble};

const cli::Command cli::kUnscramble = {
    "unscramble", "unscramble a text",
    "usage: ornutil unscramble [TEXT]\n\n"
    "Prints the plain text of a scrambled TEXT (standard input when none is\n"
    "given). A text that is not scrambled is printed unchanged.\n",
    unscramble};
