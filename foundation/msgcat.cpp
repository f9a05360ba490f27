#include "foundation/msgcat.h"

#include <nl_types.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "foundation/catalog_ids.h"
#include "foundation/internal/environment.h"

namespace {

struct BuiltIn {
  unsigned int id;
  const char* argtypes;
  const char* text;
};

// Sorted by id (messages.def is kept in id order; a test checks it).
const BuiltIn kBuiltIn[] = {
#define ORN_MSG(id, symbol, types, text) {id, types, text},
#include "foundation/messages.def"
#undef ORN_MSG
};

const BuiltIn* findBuiltIn(unsigned int id) {
  auto end = std::end(kBuiltIn);
  auto it = std::lower_bound(std::begin(kBuiltIn), end, id,
                             [](const BuiltIn& row, unsigned int key) { return row.id < key; });
  return it != end && it->id == id ? it : nullptr;
}

// The open catalogue and what it was opened under. catgets on one
// descriptor is not guaranteed thread-safe, so look-ups hold the mutex too.
struct Catalogue {
  std::mutex mutex;
  nl_catd descriptor = reinterpret_cast<nl_catd>(-1);
  bool tried = false;
  std::string nlspath;
};

Catalogue& catalogue() {
  static Catalogue* instance = new Catalogue;  // never destroyed: used at exit
  return *instance;
}

char* lookUpCatalogue(unsigned int id) {
  Catalogue& c = catalogue();
  std::lock_guard<std::mutex> hold(c.mutex);
  // Keyed on NLSPATH only: asking setlocale for the current name here would
  // race with a setlocale of another thread, which frees the old name.
  std::string currentPath = ornz::readEnvironment("NLSPATH");
  if (!c.tried || currentPath != c.nlspath) {
    if (c.descriptor != reinterpret_cast<nl_catd>(-1)) catclose(c.descriptor);
    c.descriptor = catopen(ORN_MSG_CAT_NAME, NL_CAT_LOCALE);
    c.tried = true;
    c.nlspath = currentPath;
  }
  if (c.descriptor == reinterpret_cast<nl_catd>(-1)) return nullptr;
  const char* text = catgets(c.descriptor, ORN_MSG_CAT_SET(id), ORN_MSG_CAT_NUMBER(id), nullptr);
  return text ? strdup(text) : nullptr;
}

char* result(char* text, unsigned long* status) {
  if (status) *status = text ? 0 : ORN_MSG_S_NOT_FOUND;
  return text;
}

char* builtInCopy(unsigned int id) {
  const BuiltIn* row = findBuiltIn(id);
  return row ? strdup(row->text) : nullptr;
}

char* startupNlspath = nullptr;

// Runs when the library is loaded, before start-up can change NLSPATH.
__attribute__((constructor)) void captureStartupNlspath() {
  const char* value = std::getenv("NLSPATH");
  if (value) startupNlspath = strdup(value);
}

}  // namespace

char* orn_msg_get_msg(unsigned int id, unsigned long* status) {
  char* text = lookUpCatalogue(id);
  if (!text) text = builtInCopy(id);
  return result(text, status);
}

char* orn_msg_get_msg_utf8(unsigned int id, unsigned long* status) {
  // The catalogue sources are UTF-8 and the local code page is taken to be
  // ASCII-compatible, so both look-ups yield the same bytes.
  return orn_msg_get_msg(id, status);
}

char* orn_msg_get_default_msg(unsigned int id, unsigned long* status) {
  return result(builtInCopy(id), status);
}

const char* orn_msg_get_argtypes(unsigned int id) {
  const BuiltIn* row = findBuiltIn(id);
  return row ? row->argtypes : nullptr;
}

const char* ris_get_nlspath(void) { return startupNlspath; }

const char* ris_get_dir(void) {
  const char* dir = std::getenv("ORN_RIS_DIR");
  return dir && *dir ? dir : nullptr;
}

int corsec_initialize(void) { return 0; }
