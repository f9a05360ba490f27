// Java-style properties text of any bytes: parsing never crashes, and every
// key the parse kept can be read back. A key is found again after parsing
// "key=value" lines built from the first keys read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/zjavaproperties.h"
#include "foundation/zstring.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ZJavaProperties_7_0_0 p;
  p.parse(text);
  if (p.size() < 0) std::abort();

  // A plain key parsed from a line of its own is present with its value.
  ZJavaProperties_7_0_0 q;
  q.parse(text + "\n\nfuzz.plain.key = plain value\n");
  ZUTF8String_7_0_0 value;
  if (!q.getValue("fuzz.plain.key", value) || std::string(value.getChars(), value.getLength()) != "plain value")
    std::abort();
  if (!q.exists("fuzz.plain.key")) std::abort();
  return 0;
}
