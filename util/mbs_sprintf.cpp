#include "util/mbs_sprintf.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/internal/mbs_growth.h"
#include "util/internal/mbwalk.h"
#include "util/patquote.h"

using ornutil::mbwalk::Escape;
using ornutil::mbwalk::StopSet;

const char adsearchlist[3] = {'(', ')', '\0'};
const char nopatadsearchlist[4] = {'*', '(', ')', '\0'};
const char principallist[10] = {'\\', ',', '+', '"', '<', '>', ';', '=', '#', '\0'};
const char speciallist[2] = {'#', '\0'};

namespace {

struct Directive {
  const StopSet* quote;  // null for %s
  Escape form;
};

// The directive a character after a percent sign names; false for anything
// else. Letter case matters.
bool directiveFor(char c, Directive* directive) {
  static const StopSet pattern(patquotelist, false);
  static const StopSet value(nopatquotelist, false);
  static const StopSet adPattern(adsearchlist, false);
  static const StopSet adValue(nopatadsearchlist, false);
  static const StopSet principal(principallist, false);
  static const StopSet special(speciallist, false);
  switch (c) {
    case 's': *directive = {nullptr, Escape::kHex}; return true;
    case 'P': *directive = {&pattern, Escape::kHex}; return true;
    case 'Q': *directive = {&value, Escape::kHex}; return true;
    case 'L': *directive = {&adPattern, Escape::kHex}; return true;
    case 'M': *directive = {&adValue, Escape::kHex}; return true;
    case 'D': *directive = {&principal, Escape::kBackslash}; return true;
    case 'A': *directive = {&special, Escape::kBackslash}; return true;
    default: return false;
  }
}

// The output block. Every failure path ends in release(), so that a failed
// call leaves nothing allocated.
class Block {
 public:
  bool start() {
    data_ = static_cast<char*>(std::malloc(128));
    capacity_ = 127;
    return data_ != nullptr;
  }
  // Grows the block so that `need` more bytes fit; false when the size does
  // not fit the 32-bit counts or memory is exhausted (the block is then
  // still held, for release()).
  bool reserve(std::int64_t need) {
    if (need >= 0 && need <= capacity_ - count_) return true;
    return growTo(ornutil::mbs::grownCapacity(count_, need));
  }
  // Literal bytes grow the block 128 bytes at a time, only when it is full.
  bool appendLiteral(const char* p, std::size_t n) {
    while (n > 0) {
      if (count_ == capacity_ && !growTo(ornutil::mbs::grownCapacity(count_, 0))) return false;
      std::size_t room = static_cast<std::size_t>(capacity_ - count_);
      std::size_t k = n < room ? n : room;
      std::memcpy(data_ + count_, p, k);
      count_ += static_cast<std::int32_t>(k);
      p += k;
      n -= k;
    }
    return true;
  }
  char* end() { return data_ + count_; }
  void setEnd(char* end) { count_ = static_cast<std::int32_t>(end - data_); }
  char* finish() {
    data_[count_] = '\0';
    char* result = data_;
    data_ = nullptr;
    return result;
  }
  void release() {
    std::free(data_);
    data_ = nullptr;
  }

 private:
  bool growTo(std::int64_t capacity) {
    if (capacity < 0) return false;
    char* grown = static_cast<char*>(std::realloc(data_, static_cast<std::size_t>(capacity) + 1));
    if (!grown) return false;  // data_ is still the block held before
    data_ = grown;
    capacity_ = static_cast<std::int32_t>(capacity);
    return true;
  }

  char* data_ = nullptr;
  std::int32_t capacity_ = 0;
  std::int32_t count_ = 0;
};

bool appendArgument(Block& block, const Directive& directive, const char* argument) {
  if (!argument) return false;
  std::size_t length = std::strlen(argument);
  if (!directive.quote) {
    if (!block.reserve(ornutil::mbs::roomFor(length, 1))) return false;
    std::memcpy(block.end(), argument, length);
    block.setEnd(block.end() + length);
    return true;
  }
  // The worst case of either escape is reserved once, so the walk never
  // checks for room.
  if (!block.reserve(ornutil::mbs::roomFor(length, 3))) return false;
  char* end = ornutil::mbwalk::quote(argument, argument + length, *directive.quote,
                                     directive.form, hexdigit, block.end());
  if (!end) return false;
  block.setEnd(end);
  return true;
}

char* format(const char* format, va_list arguments) {
  if (!format) return nullptr;
  Block block;
  if (!block.start()) return nullptr;
  for (const char* p = format;;) {
    const char* percent = std::strchr(p, '%');
    std::size_t run = percent ? static_cast<std::size_t>(percent - p) : std::strlen(p);
    if (!block.appendLiteral(p, run)) break;
    if (!percent) return block.finish();
    Directive directive;
    if (!directiveFor(percent[1], &directive)) break;
    if (!appendArgument(block, directive, va_arg(arguments, const char*))) break;
    p = percent + 2;
  }
  block.release();
  return nullptr;
}

}  // namespace

char* kel_mbs_sprintf(char const* fmt, ...) {
  va_list arguments;
  va_start(arguments, fmt);
  char* result = format(fmt, arguments);
  va_end(arguments);
  return result;
}
