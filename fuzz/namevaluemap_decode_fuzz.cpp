// Decoding arbitrary bytes into a tree and tracing the result: no crash, no
// leak, and a refused input leaves the tree as it was.
#include <cstdint>
#include <cstdlib>

#include "util/NameValueMap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NameValueMap map;
  map.addString("password", "seed");
  orn_asn_buffer_t input{size, const_cast<unsigned char*>(data)};
  unsigned long status = 0;
  map.decode(input, status);
  if (status != 0 && (map.getValueCount() != 1 || map.getSubtreeCount("password") != 0)) std::abort();
  ZUTF8String_7_0_0 trace;
  map.buildTraceBuf(trace, 0);
  if (trace.getLength() == 0) std::abort();
  if (status == 0) {
    // What was decoded encodes again.
    orn_asn_buffer_t out{0, nullptr};
    map.encode(out, status);
    if (status != 0) std::abort();
    orn_asn_buffer_free(&out);
  }
  return 0;
}
