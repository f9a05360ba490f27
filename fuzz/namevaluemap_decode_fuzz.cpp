// Decoding arbitrary bytes into a tree and tracing the result: no crash, no
// leak, and a refused input leaves the tree as it was. The bytes are also
// traced as a nested value (Base64 in another tree), with a secret added to
// them when they decode: the secret never shows, at whatever depth the bytes
// nest further trees. The trace made straight from the bytes is the
// decoded tree's, and the tree's own encoder writes the bytes the node codec
// makes of its nodes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/ornasn.h"
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

std::string traceEncoded(const orn_asn_buffer_t& bytes, unsigned long& status) {
  std::string text;
  NameValueMap::traceEncoded(
      bytes, 0, [](void* to, char const* piece, std::size_t n) { static_cast<std::string*>(to)->append(piece, n); },
      &text, status);
  return text;
}

// The node codec's bytes for encodeMap()'s nodes of the map.
std::string nodeCodecBytes(const NameValueMap& map) {
  ZArrayList_7_0_0 names(10, 0);
  map.getNames(names);
  std::size_t count = static_cast<std::size_t>(names.size());
  namevalue_s_t* nodes = static_cast<namevalue_s_t*>(std::calloc(count + 1, sizeof(namevalue_s_t)));
  namevalue_s_t** entries = static_cast<namevalue_s_t**>(std::calloc(count + 1, sizeof(namevalue_s_t*)));
  for (std::size_t i = 0; i < count; ++i) {
    map.encodeMap(&nodes[i], static_cast<ZAbstractString_7_0_0*>(names.get(static_cast<int>(i)))->getChars());
    entries[i] = &nodes[i];
  }
  namevalueList_s_t list{static_cast<unsigned int>(count), count ? entries : nullptr};
  orn_asn_buffer_t out{0, nullptr};
  if (ornAsnEncodeObj(out, list) != 0) std::abort();
  std::string bytes(reinterpret_cast<const char*>(out.data), out.length);
  orn_asn_buffer_free(&out);
  for (std::size_t i = 0; i < count; ++i) map.freeMap(&nodes[i]);
  std::free(nodes);
  std::free(entries);
  return bytes;
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

  NameValueMap fresh;
  unsigned long freshStatus = 0, tracedStatus = 0;
  fresh.decode(input, freshStatus);
  std::string direct = traceEncoded(input, tracedStatus);
  if (tracedStatus != freshStatus || freshStatus != status) std::abort();
  if (freshStatus == 0) {
    if (direct != traceOf(fresh)) std::abort();
    orn_asn_buffer_t again{0, nullptr};
    unsigned long encodeStatus = 1;
    fresh.encode(again, encodeStatus);
    if (encodeStatus != 0) std::abort();
    std::string mine(reinterpret_cast<const char*>(again.data), again.length);
    orn_asn_buffer_free(&again);
    if (mine != nodeCodecBytes(fresh)) std::abort();
  } else if (!direct.empty()) {
    std::abort();
  }

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
