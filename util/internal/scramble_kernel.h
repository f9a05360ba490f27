// Per-byte kernels of the scrambled-string codec (util/encode): the scheme's
// tables, a block encoder and an incremental decoder that accepts its input in
// pieces cut anywhere. util/encode.cpp and the ornutil tool's scramble and
// unscramble commands both use them, so the scheme is written once; the tool
// links the shared library, whose internal symbols are hidden, hence inline.
// Not installed.
#ifndef ORNUTIL_UTIL_INTERNAL_SCRAMBLE_KERNEL_H
#define ORNUTIL_UTIL_INTERNAL_SCRAMBLE_KERNEL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ornutil {
namespace scramble {

// ---------------------------------------------------------------- the scheme

// The seven symbols, numbered 0 to 6; the marker of a scrambled text is the
// first three.
inline constexpr char kSymbols[] = "~^+=?|;";
inline constexpr std::size_t kMarkerLength = 3;

// The one byte the scheme cannot hold: 254 is stored as 0, which ends a
// NUL-terminated scrambled text.
inline constexpr unsigned char kUnstorable = 254;

// Length of the run of symbol k that follows a stored byte.
constexpr unsigned runLength(unsigned k) { return k * (7 - k) + 1; }

static_assert(runLength(0) == 1 && runLength(1) == 7 && runLength(2) == 11 && runLength(3) == 13 &&
                  runLength(4) == 13 && runLength(5) == 11 && runLength(6) == 7,
              "run lengths of the scheme");

// The longest scrambled form of one byte: the stored byte and a run of 13.
inline constexpr std::size_t kMaxFormLength = 1 + 13;

inline bool startsWithMarker(const char* text, std::size_t length) {
  return length >= kMarkerLength && std::memcmp(text, kSymbols, kMarkerLength) == 0;
}

// ---------------------------------------------------------------- tables

// The scrambled form of every byte value c: form[c] holds the stored byte
// (c + k) % 256 and the run of symbol k (k = c % 7), padded to 16 bytes with
// more of the same symbol so that a form can be written with one 16-byte
// copy; length[c] is how many of those bytes count.
struct FormTable {
  unsigned char form[256][16];
  unsigned char length[256];
};
constexpr FormTable makeFormTable() {
  FormTable t{};
  for (unsigned c = 0; c < 256; ++c) {
    const unsigned k = c % 7;
    t.form[c][0] = static_cast<unsigned char>((c + k) & 0xff);
    for (unsigned j = 1; j < 16; ++j) t.form[c][j] = static_cast<unsigned char>(kSymbols[k]);
    t.length[c] = static_cast<unsigned char>(1 + runLength(k));
  }
  return t;
}
inline constexpr FormTable kForms = makeFormTable();

// The number of each symbol, kNotASymbol for every other byte (NUL too).
inline constexpr unsigned char kNotASymbol = 0xff;
struct SymbolTable {
  unsigned char number[256];
};
constexpr SymbolTable makeSymbolTable() {
  SymbolTable t{};
  for (unsigned c = 0; c < 256; ++c) t.number[c] = kNotASymbol;
  for (unsigned k = 0; k < 7; ++k) t.number[static_cast<unsigned char>(kSymbols[k])] = static_cast<unsigned char>(k);
  return t;
}
inline constexpr SymbolTable kSymbolNumbers = makeSymbolTable();

// ---------------------------------------------------------------- encoding

// The total length of the runs of symbols that follow the stored bytes of
// in[0, n). False, with *runs untouched, when it does not fit in a size_t.
inline bool runsTotal(const unsigned char* in, std::size_t n, std::size_t* runs) {
  // Summed a slice at a time: a slice's sum fits in 32 bits, so only the
  // slices are added with an overflow check.
  constexpr std::size_t kSlice = std::size_t(1) << 20;
  std::size_t total = 0;
  for (std::size_t start = 0; start < n; start += kSlice) {
    const std::size_t end = n - start < kSlice ? n : start + kSlice;
    std::size_t slice = 0;
    for (std::size_t i = start; i < end; ++i) slice += kForms.length[in[i]];
    slice -= end - start;  // the stored bytes
    if (__builtin_add_overflow(total, slice, &total)) return false;
  }
  *runs = total;
  return true;
}

// Writes the scrambled forms of in[0, n), in order and without the marker,
// at out; returns the end of what was written. Writes exactly n plus the runs
// total of those bytes (at most n * kMaxFormLength), never a byte more. A
// byte 0 or kUnstorable is encoded like any other: callers refuse them first
// where it matters.
inline char* encodeBytes(const unsigned char* in, std::size_t n, char* out) {
  std::size_t i = 0;
  // A 16-byte copy may run up to 14 bytes past its form; the 7 or more bytes
  // still to come write at least 2 each over that, so it stays inside the
  // output.
  if (n >= 8) {
    for (; i < n - 7; ++i) {
      std::memcpy(out, kForms.form[in[i]], 16);
      out += kForms.length[in[i]];
    }
  }
  for (; i < n; ++i) {
    std::memcpy(out, kForms.form[in[i]], kForms.length[in[i]]);
    out += kForms.length[in[i]];
  }
  return out;
}

// ---------------------------------------------------------------- decoding

// Decodes a text given in pieces cut anywhere, with the rules of util_decode:
// a text that does not start with the marker is passed through unchanged;
// after the marker, each stored byte s is followed by a symbol k and the
// output byte is (s - k) % 256; the rest of the run is skipped by its length
// whatever it holds, and a run cut short by the end simply ends the text. A
// stored byte followed by a byte that is not a symbol (NUL included), or by
// the end of the text, breaks the text: the decoder stops and reports the
// 0-based position of the byte that should have been the symbol (for the
// end, the text's length).
//
//   Decoder d;
//   for each piece: out += d.feed(piece, n, out);   // room for n + 2 bytes
//   out += d.finish(out);                           // room for 2 bytes
//   if (d.broken()) ... d.errorPosition() ...
//
// Over a whole text the output is never longer than the text.
class Decoder {
 public:
  // Reads in[0, n) and writes the plain bytes it completes at out, at most
  // n + 2 (bytes held back while the marker was undecided); returns how many.
  // Once the text is broken, further input is ignored.
  std::size_t feed(const unsigned char* in, std::size_t n, char* out) {
    char* o = out;
    std::size_t i = 0;
    while (i < n) {
      switch (state_) {
        case State::marker:
          if (in[i] == static_cast<unsigned char>(kSymbols[held_])) {
            ++i;
            if (++held_ == kMarkerLength) state_ = State::stored;
          } else {
            o = releaseHeld(o);
            state_ = State::copy;
          }
          break;
        case State::copy:
          std::memcpy(o, in + i, n - i);
          o += n - i;
          i = n;
          break;
        case State::stored:
          // Whole stored-byte-and-symbol pairs inside this piece.
          while (i + 1 < n) {
            const unsigned k = kSymbolNumbers.number[in[i + 1]];
            if (k == kNotASymbol) {
              breakAt(position_ + i + 1);
              position_ += n;
              return static_cast<std::size_t>(o - out);
            }
            *o++ = static_cast<char>((in[i] - k) & 0xff);
            i += 1 + runLength(k);
          }
          if (i + 1 == n) {  // the symbol is in the next piece
            stored_ = in[i];
            state_ = State::symbol;
            i = n;
          } else if (i > n) {  // the run goes on in the next piece
            skip_ = i - n;
            state_ = State::skip;
            i = n;
          }
          break;
        case State::symbol: {
          const unsigned k = kSymbolNumbers.number[in[i]];
          if (k == kNotASymbol) {
            breakAt(position_ + i);
            position_ += n;
            return static_cast<std::size_t>(o - out);
          }
          *o++ = static_cast<char>((stored_ - k) & 0xff);
          skip_ = runLength(k);  // the symbol itself and the rest of its run
          state_ = State::skip;
          break;
        }
        case State::skip: {
          const std::size_t take = n - i < skip_ ? n - i : skip_;
          i += take;
          skip_ -= take;
          if (skip_ == 0) state_ = State::stored;
          break;
        }
        case State::broken:
          i = n;
          break;
      }
    }
    position_ += n;
    return static_cast<std::size_t>(o - out);
  }

  // Ends the text: writes what was held back (at most 2 bytes, the start of
  // a text shorter than the marker) and returns how many; a stored byte left
  // without its symbol breaks the text at its end.
  std::size_t finish(char* out) {
    if (state_ == State::marker) {
      state_ = State::copy;
      return static_cast<std::size_t>(releaseHeld(out) - out);
    }
    if (state_ == State::symbol) breakAt(position_);
    return 0;
  }

  // True once the text is known to be broken.
  bool broken() const { return state_ == State::broken; }
  // The 0-based position of the byte that should have been a symbol.
  std::uint64_t errorPosition() const { return error_; }
  // True once the text is known to start with the marker.
  bool scrambled() const { return state_ != State::marker && state_ != State::copy; }
  // Bytes fed so far.
  std::uint64_t position() const { return position_; }

 private:
  enum class State { marker, copy, stored, symbol, skip, broken };

  char* releaseHeld(char* o) {
    std::memcpy(o, kSymbols, held_);
    o += held_;
    held_ = 0;
    return o;
  }
  void breakAt(std::uint64_t position) {
    error_ = position;
    state_ = State::broken;
  }

  State state_ = State::marker;
  std::size_t held_ = 0;         // marker bytes seen while undecided
  unsigned char stored_ = 0;     // the stored byte waiting for its symbol
  std::size_t skip_ = 0;         // bytes of a run still to skip
  std::uint64_t position_ = 0;   // bytes fed before the current piece
  std::uint64_t error_ = 0;
};

}  // namespace scramble
}  // namespace ornutil

#endif
