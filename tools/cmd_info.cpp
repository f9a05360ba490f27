// ornutil compliance and ornutil msg.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/msgcat.h"
#include "tools/cli.h"
#include "util/fipsMode.h"

namespace {

int compliance(const cli::Args& args) {
  if (cli::wantsHelp(cli::kCompliance, args)) return cli::kOk;
  if (!args.empty()) return cli::usage(cli::kCompliance, "no arguments expected");
  unsigned int alg = 0, size = 0;
  const char* mode = getSigAlgKeySize(&alg, &size);
  std::printf("mode: %s\nsignature-algorithm: %u\nkey-size: %u\n", mode, alg, size);
  return cli::kOk;
}

int msg(const cli::Args& args) {
  if (cli::wantsHelp(cli::kMsg, args)) return cli::kOk;
  if (args.empty()) return cli::usage(cli::kMsg, "no message id given");
  int status = cli::kOk;
  for (const std::string& arg : args) {
    char* end = nullptr;
    errno = 0;
    unsigned long id = std::strtoul(arg.c_str(), &end, 0);  // 0x... hex, else decimal
    if (arg.empty() || *end || errno || id > 0xfffffffful || arg[0] == '-')
      return cli::usage(cli::kMsg, "'" + arg + "' is not a message id");
    char* text = orn_msg_get_msg(static_cast<unsigned int>(id), nullptr);
    if (!text) {
      status = cli::fail(cli::kNotFound, "msg: " + arg + ": no such message");
      continue;
    }
    std::printf("%s\n", text);
    std::free(text);
  }
  return status;
}

}  // namespace

const cli::Command cli::kCompliance = {
    "compliance", "the configured compliance mode, signature algorithm and key size",
    "usage: ornutil compliance\n\n"
    "Prints the compliance mode read from stanza ssl, key ssl-compliance of the\n"
    "product's orn.conf (\"none\" when missing or invalid, which is logged), with the\n"
    "signature algorithm code and key size it implies.\n",
    compliance};

const cli::Command cli::kMsg = {
    "msg", "message texts by id",
    "usage: ornutil msg ID...\n\n"
    "Prints the text of each message ID (0x... hexadecimal, or decimal) from the\n"
    "message catalogue found through NLSPATH, or the built-in text.\n"
    "Exit status 1 when an id has no text.\n",
    msg};
