// Message look-up by id with ids taken from the input (four bytes each, as a
// peer's status codes would arrive): every id gives a text, the same text
// (the same pointer) when asked again, and an id without a text gives
// exactly the placeholder. The caches live as long as the process, so a run
// also shows what a long-lived daemon holds after many distinct ids: the
// memory limit of the fuzzing run applies to all of it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "util/KelMsg.h"

namespace {

const std::unordered_set<unsigned>& knownIds() {
  static const std::unordered_set<unsigned> ids = {
#define ORN_MSG(id, symbol, types, text) id,
#include "foundation/messages.def"
#undef ORN_MSG
  };
  return ids;
}

[[noreturn]] void fail(const char* what, unsigned id) {
  std::fprintf(stderr, "kelmsg_fuzz: id 0x%08x: %s\n", id, what);
  std::abort();
}

void check(unsigned id, unsigned char* (*lookUp)(unsigned)) {
  const unsigned char* text = lookUp(id);
  if (!text) fail("no text", id);
  if (lookUp(id) != text) fail("a second look-up gave another text", id);
  if (knownIds().count(id)) {
    if (!*text) fail("an empty text", id);
    return;
  }
  char placeholder[KEL_I18N_PLACEHOLDER_SIZE];
  std::snprintf(placeholder, sizeof placeholder, i18nfailure, static_cast<unsigned long>(id));
  if (std::strcmp(reinterpret_cast<const char*>(text), placeholder) != 0) fail("not the placeholder", id);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No catalogue on any search path the fuzzer controls: the built-in texts
  // answer, and nothing of the host is read through NLSPATH.
  setenv("NLSPATH", "/nonexistent/ornutil-fuzz/%N", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; at + 4 <= size; at += 4) {
    unsigned id;
    std::memcpy(&id, data + at, 4);
    check(id, kel_i18n_msg);
    check(id, kel_i18n_msg_utf8);
    if (!kel_i18n_msgC(id)) fail("no built-in text or placeholder", id);
  }
  return 0;
}
