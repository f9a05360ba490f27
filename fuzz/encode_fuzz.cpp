// Fuzzes the scrambled-string codec with any text: decoding never reads past
// the text and never grows it; the streaming decoder the tool uses, fed the
// same text in pieces cut anywhere, gives util_decode's result, or breaks at
// the very position util_decode prints; encoding a text without the marker
// gives a marked text that decodes back, or null when the text holds 254;
// the block encoder cut anywhere writes the same forms; and a marked text is
// passed through unchanged.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/encode.h"
#include "util/internal/scramble_kernel.h"

namespace {

namespace sc = ornutil::scramble;

int gStdout = -1;  // a memory file standing in for standard output

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "encode_fuzz: %s\n", what);
  std::abort();
}

bool marked(const char* text) { return std::strncmp(text, "~^+", 3) == 0; }

// What util_decode printed since the last call.
std::string takePrinted() {
  if (std::fflush(stdout) != 0) fail("cannot flush stdout");
  std::string printed;
  char buffer[256];
  ssize_t got;
  off_t at = 0;
  while ((got = ::pread(gStdout, buffer, sizeof buffer, at)) > 0) {
    printed.append(buffer, static_cast<std::size_t>(got));
    at += got;
  }
  if (::ftruncate(gStdout, 0) != 0 || ::lseek(gStdout, 0, SEEK_SET) != 0) fail("cannot reset stdout");
  return printed;
}

// Piece lengths drawn from the text itself, so each input is cut its own way.
class Cuts {
 public:
  explicit Cuts(const char* text, std::size_t n) : state_(0x9e3779b9u ^ static_cast<std::uint32_t>(n)) {
    for (std::size_t i = 0; i < n; ++i) state_ = state_ * 31 + static_cast<unsigned char>(text[i]);
  }
  std::size_t next(std::size_t left) {
    state_ = state_ * 1103515245u + 12345u;
    std::size_t n = (state_ >> 16) % 19;
    return n < left ? n : left;
  }

 private:
  std::uint32_t state_;
};

// The streaming decoder over `text`, `pieceLength(left)` bytes at a time;
// renders what util_decode would return and print.
template <typename PieceLength>
void decodeInPieces(const char* text, std::size_t n, PieceLength pieceLength, std::string& result,
                    std::string& printed) {
  sc::Decoder decoder;
  std::vector<char> out(n + 2);
  std::size_t o = 0;
  for (std::size_t at = 0; at < n;) {
    std::size_t piece = pieceLength(n - at);
    o += decoder.feed(reinterpret_cast<const unsigned char*>(text) + at, piece, out.data() + o);
    if (o > at + piece + 2) fail("decoder wrote more than it was fed");
    at += piece;
  }
  o += decoder.finish(out.data() + o);
  if (o > n) fail("streaming decode grew the text");
  if (decoder.broken()) {
    result.assign(text, n);
    printed = "can't decode char at " + std::to_string(decoder.errorPosition()) + ", len=" + std::to_string(n) + "\n";
  } else {
    result.assign(out.data(), o);
    printed.clear();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The decoder reports broken texts on standard output; libFuzzer talks on
  // standard error. Standard output goes to a memory file, read back to see
  // what was reported.
  gStdout = ::memfd_create("encode_fuzz_stdout", MFD_CLOEXEC);
  if (gStdout < 0 || ::dup2(gStdout, STDOUT_FILENO) < 0) fail("cannot capture stdout");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A block of exactly the text and its NUL, so that a read past it is seen.
  char* text = static_cast<char*>(std::malloc(size + 1));
  if (text == nullptr) return 0;
  std::memcpy(text, data, size);
  text[size] = '\0';
  const std::size_t length = std::strlen(text);

  char* plain = util_decode(text);
  if (plain == nullptr) fail("decode gave null");
  const std::string printed = takePrinted();
  if (std::strlen(plain) > length) fail("decode grew the text");
  if (!marked(text) && std::strcmp(plain, text) != 0) fail("unmarked text not copied");

  // A stored byte 1 followed by symbol 1 decodes to NUL, so the result is
  // compared as the bytes util_decode wrote, its NUL included, not as a
  // C string.
  auto same = [&](const std::string& streamed) { return std::memcmp(plain, streamed.c_str(), streamed.size() + 1) == 0; };
  std::string streamed, streamedPrinted;
  Cuts cuts(text, length);
  decodeInPieces(text, length, [&](std::size_t left) { return cuts.next(left); }, streamed, streamedPrinted);
  if (!same(streamed) || streamedPrinted != printed) fail("streaming decoder disagrees with util_decode");
  decodeInPieces(text, length, [](std::size_t) { return std::size_t(1); }, streamed, streamedPrinted);
  if (!same(streamed) || streamedPrinted != printed) fail("byte-at-a-time decoder disagrees with util_decode");
  std::free(plain);

  char* scrambled = util_encode(text);
  const bool storable = std::memchr(text, sc::kUnstorable, length) == nullptr;
  if (marked(text)) {
    if (scrambled == nullptr || std::strcmp(scrambled, text) != 0) fail("marked text not copied");
  } else if (!storable) {
    if (scrambled != nullptr) fail("encode took the byte 254");
  } else {
    if (scrambled == nullptr) fail("encode gave null");
    if (!marked(scrambled)) fail("encoded text lacks the marker");
    char* back = util_decode(scrambled);
    if (back == nullptr || std::strcmp(back, text) != 0) fail("round trip changed the text");
    std::free(back);
    if (!takePrinted().empty()) fail("decoding an encoded text printed something");

    // The block encoder, cut the decoder's way, writes the same forms.
    std::vector<char> forms(length * sc::kMaxFormLength + 1);
    char* end = forms.data();
    Cuts encodeCuts(text, length);
    for (std::size_t at = 0; at < length;) {
      std::size_t piece = encodeCuts.next(length - at);
      end = sc::encodeBytes(reinterpret_cast<const unsigned char*>(text) + at, piece, end);
      at += piece;
    }
    if (std::string(forms.data(), end) != scrambled + sc::kMarkerLength) fail("block encoder disagrees with util_encode");
  }
  std::free(scrambled);
  std::free(text);
  return 0;
}
