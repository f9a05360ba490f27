// Decoding arbitrary bytes into a tree and tracing the result: no crash, no
// leak, and a refused input leaves the tree as it was. The bytes are also
// traced as a nested value (Base64 in another tree), with a secret added to
// them when they decode: the secret never shows, at whatever depth the bytes
// nest further trees.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/NameValueMap.h"

namespace {

const char kSecret[] = "Fz7:nested-secret";

std::string traceOf(const NameValueMap& map) {
  ZUTF8String_7_0_0 trace;
  map.buildTraceBuf(trace, 0);
  if (trace.getLength() == 0) std::abort();
  return std::string(trace.getChars(), trace.getLength());
}

std::size_t occurrences(const std::string& text, const char* what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// `map` encoded and stored, as a nested object is, under "cfg" of a new tree.
std::string traceNested(const NameValueMap& map) {
  orn_asn_buffer_t bytes{0, nullptr};
  unsigned long status = 0;
  map.encode(bytes, status);
  if (status != 0) std::abort();
  NameValueMap outer;
  outer.addString("cfg", reinterpret_cast<char const*>(bytes.data), static_cast<unsigned int>(bytes.length));
  orn_asn_buffer_free(&bytes);
  return traceOf(outer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX / 2) return 0;
  NameValueMap map;
  map.addString("password", "seed");
  orn_asn_buffer_t input{size, const_cast<unsigned char*>(data)};
  unsigned long status = 0;
  map.decode(input, status);
  if (status != 0 && (map.getValueCount() != 1 || map.getSubtreeCount("password") != 0)) std::abort();
  traceOf(map);

  // The raw bytes as a value: whatever they hold, the trace is built.
  NameValueMap raw;
  raw.addString("cfg", reinterpret_cast<char const*>(data), static_cast<unsigned int>(size));
  traceOf(raw);

  if (status == 0) {
    // What was decoded encodes again.
    orn_asn_buffer_t out{0, nullptr};
    map.encode(out, status);
    if (status != 0) std::abort();
    orn_asn_buffer_free(&out);

    // A secret added inside the nested tree adds no occurrence of itself.
    std::size_t before = occurrences(traceNested(map), kSecret);
    map.addString("password", kSecret);
    if (occurrences(traceNested(map), kSecret) != before) std::abort();
  }
  return 0;
}
