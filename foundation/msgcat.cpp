// Relies on glibc: catopen of a name holding '/' opens exactly that file
// (without O_NONBLOCK, so a FIFO there would block it), and
// nl_langinfo(_NL_LOCALE_NAME(LC_MESSAGES)) names the LC_MESSAGES locale in
// force (see ornz::readLocaleName). On Linux, opening /proc/self/fd/<n> opens
// the file that descriptor n refers to, whatever has since become of its name.
#include "foundation/msgcat.h"

#include <errno.h>

#include <new>
#include <fcntl.h>
#include <locale.h>
#include <nl_types.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "foundation/catalog_ids.h"
#include "foundation/internal/environment.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/internal/nlspath.h"

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
  nl_catd descriptor = reinterpret_cast<nl_catd>(-1);  // none open
  bool tried = false;
  std::string nlspath;
};

Catalogue& catalogue() {
  static Catalogue* instance = new Catalogue;  // never destroyed: used at exit
  return *instance;
}

const nl_catd kNoCatalogue = reinterpret_cast<nl_catd>(-1);

// The name of the LC_MESSAGES locale in force, as catopen substitutes it for
// %L. Not setlocale(LC_MESSAGES, NULL) but nl_langinfo of the name (what
// glibc's own catopen reads too), copied under the mutex kelmsg_init's
// setlocale holds, since setlocale frees the name it replaces.
std::string messagesLocaleName() {
  std::string locale = ornz::readLocaleName(LC_MESSAGES);
  // As glibc: a set-user-ID program never lets a locale name lead elsewhere.
  if (ornz::secureExecution() && locale.find('/') != std::string::npos) locale = "C";
  return locale;
}

// Opens the catalogue at one candidate, or gives kNoCatalogue. Only a
// regular file reaches catopen: glibc opens what it is given without
// O_NONBLOCK, so a FIFO would block it for good and a device would be opened
// (a terminal perhaps becoming the controlling one). The file is checked
// through our own non-blocking descriptor and handed over as
// /proc/self/fd/<n>, so what catopen reads is the file checked, even if the
// name is replaced in between.
nl_catd openCandidate(const std::string& candidate) {
  struct stat st;
  // Saves opening a device or FIFO at all; the fstat below is what counts.
  if (stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return kNoCatalogue;
  int fd = open(candidate.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return kNoCatalogue;
  nl_catd descriptor = kNoCatalogue;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char byDescriptor[32];
    std::snprintf(byDescriptor, sizeof byDescriptor, "/proc/self/fd/%d", fd);
    // Without /proc the name is all there is (and may be swapped meanwhile).
    const char* name = access(byDescriptor, F_OK) == 0 ? byDescriptor : candidate.c_str();
    descriptor = catopen(name, NL_CAT_LOCALE);
  }
  int saved = errno;
  close(fd);
  errno = saved;
  return descriptor;
}

// The catalogue at the first candidate catopen accepts. glibc stops at the
// first candidate it can open, even one it then rejects; going on instead
// lets a stray file early in the path not hide the catalogue.
nl_catd openCatalogue(const std::string& nlspath) {
  for (const std::string& candidate :
       ornz::catalogueCandidates(nlspath, ORN_MSG_CAT_NAME, messagesLocaleName())) {
    nl_catd descriptor = openCandidate(candidate);
    if (descriptor != kNoCatalogue) return descriptor;
  }
  return kNoCatalogue;
}

char* lookUpCatalogue(unsigned int id) {
  Catalogue& c = catalogue();
  std::lock_guard<std::mutex> hold(c.mutex);
  // Keyed on NLSPATH only: asking setlocale for the current name here would
  // race with a setlocale of another thread, which frees the old name.
  std::string currentPath = ornz::readEnvironment(ornz::Variable::nlsPath);
  if (!c.tried || currentPath != c.nlspath) {
    if (c.descriptor != kNoCatalogue) catclose(c.descriptor);
    c.descriptor = kNoCatalogue;  // closed, even if the open below throws
    c.descriptor = openCatalogue(currentPath);  // std::bad_alloc: tried again next time
    c.tried = true;
    c.nlspath.swap(currentPath);
  }
  if (c.descriptor == kNoCatalogue) return nullptr;
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
  ornz::orWhenOutOfMemory(
      [] {
        bool present = false;
        std::string value = ornz::readEnvironment(ornz::Variable::nlsPath, &present);
        if (present) startupNlspath = strdup(value.c_str());
      },
      [] {});
}

}  // namespace

char* orn_msg_get_msg(unsigned int id, unsigned long* status) {
  // Without memory for the catalogue the built-in text is the next best; the
  // catalogue is tried again on the next look-up.
  char* text = ornz::orWhenOutOfMemory([&] { return lookUpCatalogue(id); }, [] { return static_cast<char*>(nullptr); });
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

const char* ris_get_nlspath(void) {
  // The value the process started with is the caller's choice, never the
  // library's own: a privileged process ignores it (and glibc's ld.so has
  // already removed it there; the test hook has not).
  return ornz::secureExecution() ? nullptr : startupNlspath;
}

const char* ris_get_dir(void) {
  // The text handed out stays valid for the life of the process, whatever
  // later becomes of the variable: each distinct value is kept once.
  static std::mutex mutex;
  static std::set<std::string>* seen = new std::set<std::string>;
  return ornz::orWhenOutOfMemory(
      [&]() -> const char* {
        std::string dir = ornz::readEnvironment(ornz::Variable::risDir);
        if (dir.empty()) return nullptr;
        std::lock_guard<std::mutex> hold(mutex);
        return seen->insert(std::move(dir)).first->c_str();
      },
      []() -> const char* { return nullptr; });
}

int corsec_initialize(void) { return 0; }
