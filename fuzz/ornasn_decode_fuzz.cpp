// The wire decoder on arbitrary bytes: it must never crash or leak, and any
// input it accepts must be canonical, re-encoding to exactly the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "foundation/ornasn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orn_asn_buffer_t input{size, const_cast<unsigned char*>(data)};
  namevalueList_s_t list{0, nullptr};
  if (ornAsnDecodeObj(input, list) != ORN_ASN_OK) {
    if (list.entries) std::abort();  // a refused input must leave nothing behind
    return 0;
  }
  orn_asn_buffer_t again{0, nullptr};
  if (ornAsnEncodeObj(again, list) != ORN_ASN_OK) std::abort();
  if (again.length != size || std::memcmp(again.data, data, size) != 0) std::abort();
  orn_asn_buffer_free(&again);
  ornAsnFreeObj(list);
  return 0;
}
