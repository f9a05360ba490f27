// Validation and quoting on arbitrary bytes: no crash, no sanitizer report,
// the same answers as the plain character walk, and quoting that gives the
// text back when its escapes are removed.
//
// Input: a text, then after the first NUL a list (reject or allow list, and
// the byte searched for by kel_mb_strchr).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "foundation/zexception.h"
#include "tests/support/mbwalk_reference.h"
#include "util/kelwchar.h"
#include "util/patquote.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

void quoting(const std::string& text) {
  namespace ref = ornutil_test::reference;
  for (int value = 0; value < 2; ++value) {
    const char* list = value ? nopatquotelist : patquotelist;
    char* out = value ? kel_mbs_nopatquote(text.c_str()) : kel_mbs_patquote(text.c_str());
    std::optional<std::string> expected = ref::quote(text, list, true);
    check((out != nullptr) == expected.has_value(), "quoting fails exactly on invalid UTF-8");
    if (out) {
      check(*expected == out, "quoting agrees with the plain walk");
      check(ref::unescape(out, true) == text, "removing the escapes gives the text back");
      std::free(out);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace ref = ornutil_test::reference;
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t nul = input.find('\0');
  std::string text = input.substr(0, nul);
  std::string list = nul == std::string::npos ? "" : input.substr(nul + 1);
  list = list.substr(0, list.find('\0'));

  for (const char* rejects : {static_cast<const char*>(rejlist), patrejlist, list.c_str()}) {
    for (int controls = 0; controls < 2; ++controls) {
      check(kel_mbs_validchars_int(text.c_str(), rejects, controls) ==
                ref::validchars(text.c_str(), rejects, controls),
            "kel_mbs_validchars_int");
    }
  }
  check(kel_mbs_checkchars2(text.c_str(), list.c_str()) ==
            ref::checkchars(text.c_str(), list.c_str()),
        "kel_mbs_checkchars2");

  int c = list.empty() ? ';' : static_cast<signed char>(list[0]);
  char* found = kel_mb_strchr(text.c_str(), c);
  check((found ? found - text.c_str() : -1) == ref::mbStrchr(text.c_str(), c), "kel_mb_strchr");

  try {
    utf8_validchars(text.c_str(), list.c_str());
  } catch (const ZInvalidParameterException_7_0_0&) {
    bool high = false;
    for (unsigned char b : list) high = high || b >= 0x80;
    check(high, "utf8_validchars raises only for a high reject byte");
  }

  quoting(text);
  return 0;
}
