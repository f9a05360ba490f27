// ornutil object dump: an encoded name/value tree as trace text.
#include <cstdio>
#include <string>

#include "foundation/ornasn.h"
#include "tools/cli.h"
#include "util/NameValueMap.h"

namespace {

int object(const cli::Args& args) {
  if (cli::wantsHelp(cli::kObject, args)) return cli::kOk;
  if (args.empty() || args[0] != "dump" || args.size() > 2)
    return cli::usage(cli::kObject, "expected 'dump [FILE]'");
  std::string data, error;
  if (!cli::readInput(args.size() == 2 ? args[1] : "-", data, error)) return cli::fail(cli::kBadInput, "object: " + error);
  // The trace is made straight from the bytes and written out as it is
  // made: neither the tree nor the whole text is ever held, so the peak is
  // the input and a small index of it.
  orn_asn_buffer_t buffer;
  buffer.length = data.size();
  buffer.data = reinterpret_cast<unsigned char*>(&data[0]);
  unsigned long status = 0;
  NameValueMap::traceEncoded(
      buffer, 0, [](void*, char const* text, std::size_t length) { cli::writeOut(text, length); }, nullptr, status);
  if (status != 0) return cli::fail(cli::kBadInput, "object: not an encoded name/value tree (status " + std::to_string(status) + ")");
  return cli::kOk;
}

}  // namespace

const cli::Command cli::kObject = {
    "object", "show an encoded name/value tree",
    "usage: ornutil object dump [FILE]\n\n"
    "Decodes FILE (standard input for - or none), the wire form of a name/value\n"
    "tree, and prints it as the library's trace text, with the values of secret\n"
    "names (password, pwd, ...) masked; nested objects, object arrays and\n"
    "attribute lists are shown as trees, masked the same way. Exit status 3 when\n"
    "the bytes are not a valid encoding.\n",
    object};
