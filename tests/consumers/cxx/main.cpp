// A C++ program using the library's classes through find_package(ornutil).
#include <cstdio>
#include <string>

#include "foundation/zhashkeymap.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"

int main() {
  ZHashKeyMap_7_0_0 map(8, 1);
  ZUTF8String_7_0_0 value("/srv");
  map.putEntry(ZLCConstString_7_0_0("key"), &value);
  auto* found = static_cast<ZAbstractString_7_0_0*>(map.getEntry(ZUTF8ConstString_7_0_0("key")));
  if (!found || std::string(found->getChars()) != "/srv") return 1;
  ZStanzaFileProperties_7_0_0 file(1);
  file.parseText("[s]\nk = v\n", "inline");
  ZUTF8String_7_0_0 v;
  file.getValue("s", "k", v, 0, nullptr);
  if (std::string(v.getChars()) != "v") return 2;
  std::printf("C++ consumer: ok\n");
  return 0;
}
