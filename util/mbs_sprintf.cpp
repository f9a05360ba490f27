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

// The output block: 128 bytes to begin with (127 text bytes and the NUL),
// grown to count + 128 text bytes when literal text fills it, or to leave 128
// bytes of slack after an argument's worst case. Until the first growth the
// block lives on the stack, so that a query that outgrows it at once costs one
// allocation rather than two; a result that never outgrows it is copied into a
// heap block of the same 128 bytes. Every failure path ends in release(), so
// a failed call leaves nothing allocated.
class Block {
 public:
  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  // Grows the block so that `need` more bytes fit; false when the size does
  // not fit the 32-bit counts or memory is exhausted (the block is then
  // still held, for release()).
  bool reserve(std::int64_t need) {
    if (need >= 0 && need <= capacity_ - count_) return true;
    return growTo(ornutil::mbs::grownCapacity(count_, need));
  }
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
  // The result, owned by the caller; null when memory is exhausted.
  char* finish() {
    data_[count_] = '\0';
    char* result = data_;
    if (data_ == first_) {
      result = static_cast<char*>(std::malloc(sizeof first_));
      if (result) std::memcpy(result, first_, static_cast<std::size_t>(count_) + 1);
    }
    data_ = first_;
    return result;
  }
  void release() {
    if (data_ != first_) std::free(data_);
    data_ = first_;
  }

 private:
  bool growTo(std::int64_t capacity) {
    if (capacity < 0) return false;
    std::size_t size = static_cast<std::size_t>(capacity) + 1;
    char* grown;
    if (data_ == first_) {
      grown = static_cast<char*>(std::malloc(size));
      if (grown) std::memcpy(grown, first_, static_cast<std::size_t>(count_));
    } else {
      grown = static_cast<char*>(std::realloc(data_, size));
    }
    if (!grown) return false;  // data_ is still the block held before
    data_ = grown;
    capacity_ = static_cast<std::int32_t>(capacity);
    return true;
  }

  char first_[128];
  char* data_ = first_;
  std::int32_t capacity_ = sizeof first_ - 1;
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
  for (const char* p = format;;) {
    // Formats are short; a plain loop beats the set-up of a library scan.
    const char* percent = p;
    while (*percent && *percent != '%') ++percent;
    if (!block.appendLiteral(p, static_cast<std::size_t>(percent - p))) break;
    if (!*percent) return block.finish();
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
