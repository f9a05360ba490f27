// ornutil object dump: an encoded name/value tree as trace text.
#include <cstdio>
#include <string>

#include "foundation/ornasn.h"
#include "foundation/zstring.h"
#include "tools/cli.h"
#include "util/NameValueMap.h"

namespace {

int object(const cli::Args& args) {
  if (cli::wantsHelp(cli::kObject, args)) return cli::kOk;
  if (args.empty() || args[0] != "dump" || args.size() > 2)
    return cli::usage(cli::kObject, "expected 'dump [FILE]'");
  std::string data, error;
  if (!cli::readInput(args.size() == 2 ? args[1] : "-", data, error)) return cli::fail(cli::kBadInput, "object: " + error);
  NameValueMap map;
  orn_asn_buffer_t buffer;
  buffer.length = data.size();
  buffer.data = reinterpret_cast<unsigned char*>(&data[0]);
  unsigned long status = 0;
  map.decode(buffer, status);
  if (status != 0) return cli::fail(cli::kBadInput, "object: not an encoded name/value tree (status " + std::to_string(status) + ")");
  // The encoded bytes are not needed once decoded: free them before the
  // trace text is made, so the peak holds the tree and the text, not three
  // copies of the data.
  std::string().swap(data);
  ZUTF8String_7_0_0 text;
  map.buildTraceBuf(text, 0);
  cli::writeOut(text.getChars(), text.getLength());
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
