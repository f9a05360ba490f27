#include "util/KelMsg.h"

#include <locale.h>
#include <pthread.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "foundation/internal/environment.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/msgcat.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "foundation/zstring.h"
#include "util/getpath.h"
#include "util/internal/msgcache_store.h"

#define DEFAULT_PLACEHOLDER_FORMAT "Unknown message number (0x%8.8lx)."
char i18nfailure[KEL_I18N_PLACEHOLDER_SIZE] = DEFAULT_PLACEHOLDER_FORMAT;
I18NCache* lcpcache = nullptr;
I18NCache* utf8cache = nullptr;

namespace {

int i18n_msg_g_setup = 0;
int init_svc = 0;
char* logName = nullptr;  // the name openlog holds

// Default texts handed out by kel_i18n_msgC, kept so that they can belong to
// the library (the caller cannot tell them from a cached placeholder, so it
// must never free either). Guarded by lcpcache's lock.
I18NCache* defaultcache = nullptr;


int setUpServiceability(const char* name);

// The default placeholder format, and the text it gives for `key` written
// directly (kDefaultLength characters and the NUL): a miss of the catalogue
// costs little more than snprintf would.
const char kDefaultFormat[] = DEFAULT_PLACEHOLDER_FORMAT;
const char kDefaultPrefix[] = "Unknown message number (0x";
constexpr std::size_t kDefaultLength = sizeof kDefaultPrefix - 1 + 8 + 2;

void writeDefaultPlaceholder(unsigned int key, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  constexpr std::size_t at = sizeof kDefaultPrefix - 1;
  std::memcpy(out, kDefaultPrefix, at);
  for (std::size_t i = 0; i < 8; ++i) out[at + i] = kDigits[(key >> (28 - 4 * i)) & 0xf];
  std::memcpy(out + at + 8, ").", 3);
}

// Serialises the creation of the caches. Not a once-control: a creation
// that ran out of memory must be tried again by the next request.
std::mutex cachesMaking;

// Whether the caches exist (made now or before).
bool ensureCaches() {
  if (__atomic_load_n(&i18n_msg_g_setup, __ATOMIC_ACQUIRE)) return true;
  std::lock_guard<std::mutex> hold(cachesMaking);
  if (!__atomic_load_n(&i18n_msg_g_setup, __ATOMIC_ACQUIRE)) i18n_msg__init_caches();
  return __atomic_load_n(&i18n_msg_g_setup, __ATOMIC_ACQUIRE) != 0;
}

// The placeholder for `key`, made and cached (the caller found no text).
// The format is the program's to change, so it is read on every call.
unsigned char* newPlaceholder(I18NCache& cache, unsigned int key) {
  char* kept;
  if (std::strcmp(i18nfailure, kDefaultFormat) == 0) {
    kept = ornmsg::cutText(cache, kDefaultLength + 1);
    if (!kept) return nullptr;
    writeDefaultPlaceholder(key, kept);
  } else {
    char formatted[KEL_I18N_PLACEHOLDER_SIZE] = "";  // "" is what an encoding error leaves
    std::snprintf(formatted, sizeof formatted, i18nfailure, static_cast<unsigned long>(key));
    const std::size_t length = std::strlen(formatted);
    kept = ornmsg::cutText(cache, length + 1);
    if (!kept) return nullptr;
    std::memcpy(kept, formatted, length + 1);
  }
  auto* text = reinterpret_cast<unsigned char*>(kept);
  cache.insert(key, text);
  return text;
}

unsigned char* cachedText(I18NCache* cache, unsigned int id, char* (*fetch)(unsigned int, unsigned long*)) {
  ZResourceLock_7_0_0 hold(cache->lock);
  if (unsigned char* text = cache->match(id)) return text;
  unsigned long status = 0;
  if (char* text = fetch(id, &status)) {
    auto* t = reinterpret_cast<unsigned char*>(text);
    cache->insert(id, t);
    return t;
  }
  return newPlaceholder(*cache, id);  // msgNotFound, without searching again
}

}  // namespace

// ---------------------------------------------------------------- I18NCache

I18NCache::I18NCache() : capacity(0), count(0), entries(nullptr) {}

I18NCache::~I18NCache() { ornmsg::releaseStore(*this); }

void I18NCache::insert(unsigned int key, unsigned char* text) { ornmsg::addEntry(*this, key, text); }

unsigned char* I18NCache::match(unsigned int key) { return ornmsg::findEntry(*this, key); }

unsigned char* I18NCache::msgNotFound(unsigned int key) {
  if (unsigned char* text = match(key)) return text;
  return newPlaceholder(*this, key);
}

void I18NCache::dump_kel_i18n_cache() {
  ornmsg::mergeWaiting(*this);
  std::printf("Cache is %d entries, %d used.\n", static_cast<int>(capacity), count);
  for (int i = 0; i < count; ++i)
    std::printf("Key %d, text <%s>\n", static_cast<int>(entries[i].key), reinterpret_cast<char*>(entries[i].text));
}

// ---------------------------------------------------------------- entry points

void i18n_msg__init_caches(void) {
  // All three or none: a request finds either no caches (and tries again)
  // or every one of them.
  auto* lcp = new (std::nothrow) I18NCache();
  auto* utf8 = new (std::nothrow) I18NCache();
  auto* defaults = new (std::nothrow) I18NCache();
  if (!lcp || !utf8 || !defaults) {
    delete lcp;
    delete utf8;
    delete defaults;
    return;
  }
  lcpcache = lcp;
  utf8cache = utf8;
  defaultcache = defaults;
  __atomic_store_n(&i18n_msg_g_setup, 1, __ATOMIC_RELEASE);
}

unsigned char* kel_i18n_msg(unsigned int id) {
  if (!ensureCaches()) return nullptr;
  return cachedText(lcpcache, id, orn_msg_get_msg);
}

unsigned char* kel_i18n_msg_utf8(unsigned int id) {
  if (!ensureCaches()) return nullptr;
  return cachedText(utf8cache, id, orn_msg_get_msg_utf8);
}

unsigned char* kel_i18n_msgC(unsigned int id) {
  if (!ensureCaches()) return nullptr;
  ZResourceLock_7_0_0 hold(lcpcache->lock);
  unsigned long status = 0;
  if (char* text = orn_msg_get_default_msg(id, &status)) {
    // Asked anew every time; an unchanged text reuses the copy kept before.
    unsigned char* kept = defaultcache->match(id);
    if (kept && std::strcmp(reinterpret_cast<char*>(kept), text) == 0) {
      std::free(text);
      return kept;
    }
    auto* t = reinterpret_cast<unsigned char*>(text);
    defaultcache->insert(id, t);
    return t;
  }
  return lcpcache->msgNotFound(id);
}

int kelmsg_init(const char* name) {
  if (__atomic_load_n(&init_svc, __ATOMIC_ACQUIRE)) return 1;
  // Exhausted memory before serviceability is set up is reported like its
  // other failures: 0, and the next call tries again. (Start-up, at the end,
  // logs it and aborts instead.)
  try {
    return ornz::reportingMemory("util/KelMsg", __LINE__, [name] { return setUpServiceability(name); });
  } catch (const ZOutOfMemoryException_7_0_0&) {
  }
  syslog(LOG_CRIT, "Cannot initialize DCE servicibility messages");
  ornz::logOutOfMemory("util/KelMsg", __LINE__);
  return 0;
}

namespace {

int setUpServiceability(const char* name) {
  // setlocale and openlog are not thread-safe: concurrent first calls set
  // up one after the other, and the later ones find the work done.
  static std::mutex settingUp;
  std::lock_guard<std::mutex> hold(settingUp);
  if (__atomic_load_n(&init_svc, __ATOMIC_ACQUIRE)) return 1;
  // Under the mutex of the catalogue's reads of the locale name.
  ornz::setLocale(LC_ALL, "");
  ZUTF8String_7_0_0 progname(name);
  // openlog keeps the pointer: the name gets a copy of its own that lives as
  // long as the process. A copy left from an attempt that failed (and closed
  // the connection) is released.
  char* copy = strdup(progname.getChars());
  char* previous = logName;
  if (copy) logName = copy;
  std::free(copy ? previous : nullptr);
  openlog(logName ? logName : "ornutil", LOG_CONS | LOG_NDELAY, LOG_USER);
  unsigned long status = 0;
  orn_svc_set_progname(copy ? progname.getChars() : nullptr, &status);
  if (status != 0) {
    syslog(LOG_CRIT, "Cannot initialize DCE servicibility messages");
    std::fprintf(stderr, "Cannot initialize DCE servicibility messages(status 0x%8x)\n",
                 static_cast<unsigned int>(status));
    closelog();
    return 0;
  }
  __atomic_store_n(&init_svc, 1, __ATOMIC_RELEASE);
  status = 0;
  orn_svc_init(0, &status);
  if (status != 0) {
    syslog(LOG_CRIT, "Cannot initialize ORN default messages");
    std::fprintf(stderr, "Cannot initialize ORN default messages(status 0x%8x)\n",
                 static_cast<unsigned int>(status));
    closelog();
    return 0;
  }
  ornutil_init();
  closelog();
  return 1;
}

}  // namespace
