// Arbitrary bytes as a stanza file, strict and lenient: what loads must be
// written back byte for byte and reload to the same content, and a few edits
// chosen from the input must leave a text that reloads to what the object
// holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/zarraylist.h"
#include "foundation/zexception.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "tests/support/stanza_content.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "%s\n--- expected (%zu bytes)\n%s\n--- got (%zu bytes)\n%s\n", what, a.size(), a.c_str(),
               b.size(), b.c_str());
  std::abort();
}

// The object's content must be what its own text reloads to.
void checkReload(const ZStanzaFileProperties_7_0_0& p, int strict, const char* when) {
  std::string text = p.text();
  ZStanzaFileProperties_7_0_0 reloaded(strict);
  try {
    reloaded.parseText(text, "reloaded");
  } catch (ZPropertiesInvalidDataException_7_0_0&) {
    fail(when, "a text that loads", text);
  }
  if (reloaded.text() != text) fail(when, text, reloaded.text());
  std::vector<std::string> names = ornutil_test::stanzaNamesOf(text);
  std::string want = ornutil_test::describe(p, names), got = ornutil_test::describe(reloaded, names);
  if (want != got) fail(when, want, got);
}

std::string pick(const std::vector<std::string>& from, std::uint8_t b, const char* fresh) {
  if (from.empty() || b % 4 == 0) return std::string(fresh) + std::to_string(b % 3);
  return from[b % from.size()];
}

void applyEdits(ZStanzaFileProperties_7_0_0& p, int strict, const std::uint8_t* data, std::size_t size) {
  std::size_t edits = size < 24 ? size / 3 : 8;
  for (std::size_t i = 0; i < edits; ++i) {
    const std::uint8_t* e = data + size - 3 * (i + 1);
    std::vector<std::string> stanzas = ornutil_test::stanzaNamesOf(p.text());
    std::string stanza = pick(stanzas, e[1], "s");
    std::vector<std::string> keys;
    ZArrayList_7_0_0 names(10, 1);
    p.keyNames(stanza.c_str(), names);
    for (int k = 0; k < names.size(); ++k) keys.push_back(static_cast<ZAbstractString_7_0_0*>(names.get(k))->getChars());
    std::string key = pick(keys, e[2], "k");
    std::string value = "v" + std::to_string(e[2]);
    try {
      switch (e[0] % 6) {
        case 0: p.setValue(stanza.c_str(), key.c_str(), value.c_str(), 0); break;
        case 1: p.addValue(stanza.c_str(), key.c_str(), value.c_str(), 0); break;
        case 2: p.deleteKey(stanza.c_str(), key.c_str()); break;
        case 3: p.deleteStanza(stanza.c_str()); break;
        case 4: p.addEntryComment(stanza.c_str(), key.c_str(), "note\n# more"); break;
        case 5: p.setValue(stanza.c_str(), key.c_str(), "", 0); break;
      }
    } catch (ZInvalidParameterException_7_0_0&) {
      continue;  // a name read from the file that a new line could not hold
    }
    checkReload(p, strict, "after an edit");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (int strict : {1, 0}) {
    ZStanzaFileProperties_7_0_0 p(strict);
    try {
      p.parseText(text, "fuzz");
    } catch (ZPropertiesInvalidDataException_7_0_0&) {
      if (!strict) fail("a lenient load raised", "", text);
      continue;
    }
    if (p.text() != text) fail("round trip", text, p.text());
    checkReload(p, strict, "after loading");
    applyEdits(p, strict, data, size);
  }
  return 0;
}
