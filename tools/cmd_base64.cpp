// ornutil base64: Base64 of files of any size, streamed in fixed memory.
#include <cstring>
#include <memory>
#include <string>

#include "tools/cli.h"
#include "util/internal/base64_core.h"

namespace {

namespace b64 = ornutil::base64;

// Input blocks: large enough that the system calls cost nothing next to the
// coding, small enough that the tool's memory does not grow with the file.
constexpr std::size_t kBlock = 3u << 20;  // a multiple of 3: whole groups

int encode(cli::Input& in) {
  const bool avx2 = b64::cpuHasAvx2();
  std::unique_ptr<unsigned char[]> data(new unsigned char[kBlock]);
  std::unique_ptr<char[]> text(new char[kBlock / 3 * 4 + 4]);
  std::size_t held = 0;  // bytes read but not yet coded (less than a group)
  std::string error;
  for (;;) {
    ssize_t n = in.read(reinterpret_cast<char*>(data.get()) + held, kBlock - held, error);
    if (n < 0) return cli::fail(cli::kBadInput, "base64: " + error);
    if (n == 0) break;
    held += static_cast<std::size_t>(n);
    std::size_t done = b64::encodeGroups(data.get(), held, text.get(), avx2);
    cli::writeOut(text.get(), done / 3 * 4);
    std::memmove(data.get(), data.get() + done, held - done);
    held -= done;
  }
  cli::writeOut(text.get(), b64::encodeLast(data.get(), held, text.get()));
  return cli::kOk;
}

int decode(cli::Input& in) {
  b64::StreamDecoder decoder(b64::cpuHasAvx2());
  std::unique_ptr<char[]> text(new char[kBlock]);
  std::unique_ptr<unsigned char[]> data(new unsigned char[kBlock + 3]);
  std::string error;
  while (!decoder.stopped()) {
    ssize_t n = in.read(text.get(), kBlock, error);
    if (n < 0) return cli::fail(cli::kBadInput, "base64: " + error);
    if (n == 0) break;
    std::size_t out =
        decoder.feed(reinterpret_cast<const unsigned char*>(text.get()), static_cast<std::size_t>(n), data.get());
    cli::writeOut(reinterpret_cast<const char*>(data.get()), out);
  }
  std::size_t out = decoder.finish(data.get());
  cli::writeOut(reinterpret_cast<const char*>(data.get()), out);
  return cli::kOk;
}

int base64(const cli::Args& args) {
  if (cli::wantsHelp(cli::kBase64, args)) return cli::kOk;
  bool decoding = false;
  std::string file;
  for (const std::string& a : args) {
    if (a == "-d" || a == "--decode") decoding = true;
    else if (file.empty() && (a == "-" || a[0] != '-')) file = a;
    else return cli::usage(cli::kBase64, "unexpected argument " + cli::quoted(a));
  }
  cli::Input in;
  std::string error;
  if (!in.open(file, error)) return cli::fail(cli::kBadInput, "base64: " + error);
  return decoding ? decode(in) : encode(in);
}

}  // namespace

const cli::Command cli::kBase64 = {
    "base64", "Base64 encode or decode (like base64 -w0)",
    "usage: ornutil base64 [-d] [FILE]\n\n"
    "Encodes FILE (standard input for - or none) as RFC 4648 Base64 on one line\n"
    "without a final line end, like coreutils base64 -w0; -d decodes, skipping\n"
    "characters outside the alphabet and stopping at the first \"=\". Input of\n"
    "any size is streamed in blocks, in a few MiB of memory.\n",
    base64};
