// The quoting formatter on fuzzed formats and arguments: no crash, no
// sanitizer report, the same result as the plain walk, and quoted arguments
// that come back when the escapes are removed.
//
// Input: the format, then NUL-separated arguments. The call always gets 16
// non-null arguments and the format is cut before its 17th percent sign, so
// there is an argument for every directive.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/mbwalk_reference.h"
#include "util/mbs_sprintf.h"

namespace {

constexpr int kArguments = 16;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace ref = ornutil_test::reference;
  std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    std::size_t nul = input.find('\0', start);
    parts.push_back(input.substr(start, nul == std::string::npos ? nul : nul - start));
    if (nul == std::string::npos) break;
    start = nul + 1;
  }
  std::string format = parts[0];
  int percents = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && ++percents > kArguments) {
      format.resize(i);
      break;
    }
  }
  std::vector<std::string> args(parts.begin() + 1, parts.end());
  args.resize(kArguments);
  const char* a[kArguments];
  for (int i = 0; i < kArguments; ++i) a[i] = args[i].c_str();

  char* out = kel_mbs_sprintf(format.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7],
                              a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15]);
  std::optional<std::string> expected = ref::format(format, args);
  check((out != nullptr) == expected.has_value(), "fails exactly where the plain walk does");
  if (out) check(*expected == out, "agrees with the plain walk");
  std::free(out);

  // Each quoting directive alone on the first argument. %L, %M and %A leave
  // a backslash as it is, so their escapes can be removed unambiguously only
  // from an argument without one.
  struct {
    const char* format;
    bool hex;
    bool quotesBackslash;
  } directives[] = {{"%P", true, true},  {"%Q", true, true},   {"%L", true, false},
                    {"%M", true, false}, {"%D", false, true},  {"%A", false, false}};
  bool hasBackslash = args[0].find('\\') != std::string::npos;
  for (const auto& d : directives) {
    char* quoted = kel_mbs_sprintf(d.format, a[0]);
    if (!quoted) continue;
    if (d.quotesBackslash || !hasBackslash)
      check(ref::unescape(quoted, d.hex) == args[0], "removing the escapes gives the argument back");
    std::free(quoted);
  }
  return 0;
}
