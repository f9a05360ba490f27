// ornutil scramble and unscramble. The text is read, checked, converted and
// written a block at a time with the codec's own kernels, so memory stays
// the same whatever the size of the text, and a text the codec cannot take is
// refused on standard error rather than passed through.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tools/cli.h"
#include "util/internal/scramble_kernel.h"

namespace {

namespace sc = ornutil::scramble;

// Input is taken this much at a time; the output is held in a buffer that
// always has room for the scrambled form of one block (at most 14 bytes per
// byte) and is written only when the next block might not fit, or at the end.
// So a bad byte or a broken symbol in the first block leaves standard output
// empty.
constexpr std::size_t kBlock = 256 << 10;
constexpr std::size_t kOutputBuffer = 4 << 20;
static_assert((kBlock + 1) * sc::kMaxFormLength + sc::kMarkerLength + 1 <= kOutputBuffer,
              "one block's output fits in the buffer");

// The text a block at a time: TEXT, or standard input without its final line
// end (a line end read at the end of a block is held back until it is known
// not to be the last byte). Blocks of standard input are filled whole, so
// the first block is the whole text or longer than the marker.
class TextInput {
 public:
  explicit TextInput(const cli::Args& args) : argument_(args.empty() ? nullptr : &args[0]) {
    if (!argument_) buffer_.reset(new char[kBlock + 1]);
  }

  // False, with error() set, when standard input cannot be used.
  bool open() { return argument_ || input_.open("-", error_); }

  // The next block of the text, at least one byte; false at the end of the
  // text or when standard input cannot be read (see error()).
  bool next(const unsigned char*& data, std::size_t& n) {
    offset_ += length_;
    length_ = 0;
    if (argument_) {
      const std::size_t left = argument_->size() - offset_;
      if (left == 0) return false;
      data = reinterpret_cast<const unsigned char*>(argument_->data()) + offset_;
      n = length_ = left < kBlock ? left : kBlock;
      return true;
    }
    if (atEnd_) return false;
    std::size_t have = 0;
    if (heldLineEnd_) buffer_[have++] = '\n';
    heldLineEnd_ = false;
    const std::size_t full = have + kBlock;
    while (have < full) {
      const ssize_t got = input_.read(buffer_.get() + have, full - have, error_);
      if (got < 0) return false;
      if (got == 0) {
        atEnd_ = true;
        break;
      }
      have += static_cast<std::size_t>(got);
    }
    if (have > 0 && buffer_[have - 1] == '\n') {
      --have;
      heldLineEnd_ = !atEnd_;
    }
    if (have == 0) return false;
    data = reinterpret_cast<const unsigned char*>(buffer_.get());
    n = length_ = have;
    return true;
  }

  // Position in the text of the byte at data[i] of the current block.
  std::uint64_t position(std::size_t i) const { return offset_ + i; }
  // Why standard input could not be opened or read; empty when it could.
  const std::string& error() const { return error_; }

 private:
  const std::string* argument_;
  cli::Input input_;
  std::unique_ptr<char[]> buffer_;
  bool heldLineEnd_ = false, atEnd_ = false;
  std::uint64_t offset_ = 0;  // position of the current block in the text
  std::size_t length_ = 0;    // length of the current block
  std::string error_;
};

// Standard output through one large buffer.
class Output {
 public:
  Output() : buffer_(new char[kOutputBuffer]) {}

  // Room for `n` (at most kOutputBuffer) more bytes; what is held is written
  // first when they would not fit.
  char* room(std::size_t n) {
    if (used_ + n > kOutputBuffer) flush();
    return buffer_.get() + used_;
  }
  void commit(std::size_t n) { used_ += n; }
  void put(const char* data, std::size_t n) {
    std::memcpy(room(n), data, n);
    commit(n);
  }

  // Writes what is held. Never called for a text found bad: what is held
  // then is dropped.
  void flush() {
    cli::writeOut(buffer_.get(), used_);
    used_ = 0;
  }

 private:
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

std::string at(std::uint64_t position) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64, position);
  return text;
}

int scrambleText(const cli::Args& args) {
  TextInput input(args);
  if (!input.open()) return cli::fail(cli::kBadInput, "scramble: " + input.error());
  Output output;
  bool first = true, passThrough = false;
  const unsigned char* data;
  std::size_t n;
  while (input.next(data, n)) {
    if (first) {
      // The first block is the whole text or longer than the marker.
      passThrough = sc::startsWithMarker(reinterpret_cast<const char*>(data), n);
      if (!passThrough) output.put(sc::kSymbols, sc::kMarkerLength);
      first = false;
    }
    if (const void* nul = std::memchr(data, '\0', n))
      return cli::fail(cli::kBadInput, "scramble: the text holds a NUL byte at " +
                                           at(input.position(static_cast<const unsigned char*>(nul) - data)));
    if (passThrough) {
      output.put(reinterpret_cast<const char*>(data), n);
      continue;
    }
    if (const void* bad = std::memchr(data, sc::kUnstorable, n))
      return cli::fail(cli::kBadInput,
                       "scramble: the text holds the byte 254 at " +
                           at(input.position(static_cast<const unsigned char*>(bad) - data)) +
                           ", which the scrambled form cannot hold");
    char* out = output.room(n * sc::kMaxFormLength);
    output.commit(static_cast<std::size_t>(sc::encodeBytes(data, n, out) - out));
  }
  if (!input.error().empty()) return cli::fail(cli::kBadInput, "scramble: " + input.error());
  if (first) output.put(sc::kSymbols, sc::kMarkerLength);  // the empty text
  output.put("\n", 1);
  output.flush();
  return cli::kOk;
}

// A stored 1 followed by symbol 1 decodes to NUL: no text the codec made
// holds one (scrambling refuses it, and util_decode's C string would end
// there), so it is refused rather than printed or cut short. True when
// out[0, n) holds none; `plainLength` counts the plain bytes accepted.
bool acceptPlain(const char* out, std::size_t n, std::uint64_t& plainLength) {
  if (const void* nul = std::memchr(out, '\0', n)) {
    cli::fail(cli::kBadInput, "unscramble: the text decodes to a NUL byte (byte " +
                                  at(plainLength + static_cast<std::size_t>(static_cast<const char*>(nul) - out)) +
                                  " of the plain text)");
    return false;
  }
  plainLength += n;
  return true;
}

int unscrambleText(const cli::Args& args) {
  TextInput input(args);
  if (!input.open()) return cli::fail(cli::kBadInput, "unscramble: " + input.error());
  Output output;
  sc::Decoder decoder;
  std::uint64_t plainLength = 0;
  const unsigned char* data;
  std::size_t n;
  while (input.next(data, n)) {
    if (const void* nul = std::memchr(data, '\0', n))
      return cli::fail(cli::kBadInput, "unscramble: the text holds a NUL byte at " +
                                           at(input.position(static_cast<const unsigned char*>(nul) - data)));
    char* out = output.room(n + 2);
    const std::size_t made = decoder.feed(data, n, out);
    if (decoder.broken())
      return cli::fail(cli::kBadInput, "unscramble: can't decode char at " + at(decoder.errorPosition()) +
                                           ": a stored byte is not followed by one of the symbols " +
                                           sc::kSymbols);
    if (!acceptPlain(out, made, plainLength)) return cli::kBadInput;
    output.commit(made);
  }
  if (!input.error().empty()) return cli::fail(cli::kBadInput, "unscramble: " + input.error());
  char* out = output.room(2);
  const std::size_t made = decoder.finish(out);
  if (!acceptPlain(out, made, plainLength)) return cli::kBadInput;
  output.commit(made);
  if (decoder.broken())
    return cli::fail(cli::kBadInput, "unscramble: can't decode char at " + at(decoder.errorPosition()) +
                                         ": the text ends after a stored byte");
  output.put("\n", 1);
  output.flush();
  return cli::kOk;
}

int run(const cli::Command& command, const cli::Args& args, int (*body)(const cli::Args&)) {
  if (cli::wantsHelp(command, args)) return cli::kOk;
  if (args.size() > 1) return cli::usage(command, "one text at most");
  return body(args);
}

int scramble(const cli::Args& args) { return run(cli::kScramble, args, scrambleText); }
int unscramble(const cli::Args& args) { return run(cli::kUnscramble, args, unscrambleText); }

}  // namespace

const cli::Command cli::kScramble = {
    "scramble", "scramble a text",
    "usage: ornutil scramble [TEXT]\n\n"
    "Prints the scrambled form of TEXT (standard input without its final line end\n"
    "when no TEXT is given) and a line end. A text already scrambled (starting\n"
    "with ~^+) is printed unchanged.\n\n"
    "A text holding a NUL byte, or the byte 254 (which the scrambled form cannot\n"
    "hold), is refused: exit status 3 and one line on standard error naming the\n"
    "position of the byte. The text is read and checked 256 KiB at a time, and\n"
    "output is written only for blocks already checked: a bad byte in the first\n"
    "256 KiB leaves standard output empty; one found further on leaves the\n"
    "output of the blocks before it written, and the exit status is 3 all the\n"
    "same. Memory use does not grow with the text.\n",
    scramble};

const cli::Command cli::kUnscramble = {
    "unscramble", "unscramble a text",
    "usage: ornutil unscramble [TEXT]\n\n"
    "Prints the plain text of a scrambled TEXT (standard input without its final\n"
    "line end when no TEXT is given) and a line end. A text that is not\n"
    "scrambled is printed unchanged.\n\n"
    "A broken scrambled text (a stored byte followed by something other than one\n"
    "of the symbols ~^+=?|;, or by the end of the text), a text holding a NUL\n"
    "byte or one that decodes to a NUL byte is refused: exit status 3 and one\n"
    "line on standard error naming the position. The text is read and checked\n"
    "256 KiB at a time, and output is written only for blocks already checked:\n"
    "a fault in the first 256 KiB leaves standard output empty; one found\n"
    "further on leaves the output of the blocks before it written, and the exit\n"
    "status is 3 all the same. Memory use does not grow with the text.\n",
    unscramble};
