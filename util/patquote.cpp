#include "util/patquote.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/internal/mbwalk.h"

using ornutil::mbwalk::Escape;
using ornutil::mbwalk::StopSet;

const char patquotelist[4] = {'(', ')', '\\', '\0'};
const char nopatquotelist[5] = {'*', '(', ')', '\\', '\0'};
const char hexdigit[17] = "0123456789abcdef";

namespace {

char* quoteWith(char const* text, const StopSet& quote) {
  if (!text) return nullptr;
  std::size_t length = std::strlen(text);
  // Three bytes per input byte is the most an escape can take, so the block
  // is sized once and the walk never checks for room.
  if (length > (SIZE_MAX - 1) / 3) return nullptr;
  char* block = static_cast<char*>(std::malloc(3 * length + 1));
  if (!block) return nullptr;
  char* end = ornutil::mbwalk::quote(text, text + length, quote, Escape::kHex, hexdigit, block);
  if (!end) {
    std::free(block);
    return nullptr;
  }
  *end = '\0';
  return block;
}

// The worker of both entry points. The scan sets of the two fixed lists are
// made once; any other list gets its own.
char* kel_mbs_patquote2(char const* text, char const* quote) {
  static const StopSet pattern(patquotelist, false);
  static const StopSet value(nopatquotelist, false);
  if (quote == patquotelist) return quoteWith(text, pattern);
  if (quote == nopatquotelist) return quoteWith(text, value);
  return quoteWith(text, StopSet(quote, false));
}

}  // namespace

char* kel_mbs_patquote(char const* text) { return kel_mbs_patquote2(text, patquotelist); }

char* kel_mbs_nopatquote(char const* text) { return kel_mbs_patquote2(text, nopatquotelist); }
