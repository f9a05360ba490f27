// Writes the gencat source of the message catalogue from foundation/messages.def.
#include <cstdio>

#include "foundation/catalog_ids.h"

namespace {

struct Row {
  unsigned int id;
  const char* symbol;
  const char* text;
};

const Row kRows[] = {
#define ORN_MSG(id, symbol, types, text) {id, #symbol, text},
#include "foundation/messages.def"
#undef ORN_MSG
};

void putQuoted(const char* text) {
  std::putchar('"');
  for (const char* p = text; *p; ++p) {
    if (*p == '"' || *p == '\\') std::putchar('\\');
    std::putchar(*p);
  }
  std::putchar('"');
}

}  // namespace

int main() {
  std::printf("$ Message catalogue " ORN_MSG_CAT_NAME ", generated from foundation/messages.def.\n");
  std::printf("$quote \"\n");
  int set = -1;
  for (const Row& row : kRows) {
    if (ORN_MSG_CAT_SET(row.id) != set) {
      set = ORN_MSG_CAT_SET(row.id);
      std::printf("$set %d\n", set);
    }
    std::printf("$ 0x%08x %s\n%d ", row.id, row.symbol, ORN_MSG_CAT_NUMBER(row.id));
    putQuoted(row.text);
    std::putchar('\n');
  }
  return 0;
}
