// ornutil base64.
#include <cstdlib>
#include <string>

#include "tools/cli.h"
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

}  // namespace

const cli::Command cli::kBase64 = {
    "base64", "Base64 encode or decode (like base64 -w0)",
    "usage: ornutil base64 [-d] [FILE]\n\n"
    "Encodes FILE (standard input for - or none) as RFC 4648 Base64 on one line\n"
    "without a final line end, like coreutils base64 -w0; -d decodes, skipping\n"
    "characters outside the alphabet and stopping at the first \"=\".\n",
    base64};
