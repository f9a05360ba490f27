// ornutil base64, scramble and unscramble.
#include <cstdlib>
#include <iostream>
#include <string>

#include "tools/cli.h"
#include "util/encode.h"
#include "util/mime64_new.h"

namespace {

int base64(const cli::Args& args) {
  if (cli::wantsHelp(cli::kBase64, args)) return cli::kOk;
  bool decode = false;
  std::string file;
  for (const std::string& a : args) {
    if (a == "-d" || a == "--decode") decode = true;
    else if (file.empty() && (a == "-" || a[0] != '-')) file = a;
    else return cli::usage(cli::kBase64, "unexpected argument '" + a + "'");
  }
  std::string data, error;
  if (!cli::readInput(file, data, error)) return cli::fail(cli::kBadInput, "base64: " + error);
  if (decode) {
    char* out = nullptr;
    unsigned long length = 0;
    mime64_new_decode(data.data(), data.size(), &out, &length);
    if (!out && !data.empty()) return cli::fail(cli::kBadInput, "base64: out of memory");
    cli::writeOut(std::string(out ? out : "", length));
    std::free(out);
    return cli::kOk;
  }
  char* text = mime64_new_encode(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  if (!text) return cli::fail(cli::kBadInput, "base64: out of memory");
  cli::writeOut(text);
  std::free(text);
  return cli::kOk;
}

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

const cli::Command cli::kBase64 = {
    "base64", "Base64 encode or decode (like base64 -w0)",
    "usage: ornutil base64 [-d] [FILE]\n\n"
    "Encodes FILE (standard input for - or none) as RFC 4648 Base64 on one line\n"
    "without a final line end, like coreutils base64 -w0; -d decodes, skipping\n"
    "characters outside the alphabet and stopping at the first \"=\".\n",
    base64};

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
