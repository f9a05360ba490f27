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

char i18nfailure[KEL_I18N_PLACEHOLDER_SIZE] = "Unknown message number (0x%8.8lx).";
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

unsigned char* cachedText(I18NCache* cache, unsigned int id, char* (*fetch)(unsigned int, unsigned long*)) {
  ZResourceLock_7_0_0 hold(cache->lock);
  if (unsigned char* text = cache->match(id)) return text;
  unsigned long status = 0;
  if (char* text = fetch(id, &status)) {
    auto* t = reinterpret_cast<unsigned char*>(text);
    cache->insert(id, t);
    return t;
  }
  return cache->msgNotFound(id);
}

}  // namespace

// ---------------------------------------------------------------- I18NCache

I18NCache::I18NCache() : capacity(0), count(0), entries(nullptr) {}

I18NCache::~I18NCache() { std::free(entries); }

void I18NCache::insert(unsigned int key, unsigned char* text) {
  if (static_cast<unsigned int>(count) == capacity) {
    auto* grown = static_cast<Entry*>(std::calloc(capacity + 1024u, sizeof(Entry)));
    if (!grown) return;
    if (entries) std::memcpy(grown, entries, sizeof(Entry) * static_cast<std::size_t>(count));
    std::free(entries);
    entries = grown;
    capacity += 1024u;
  }
  int at = 0;
  while (at < count && entries[at].key <= key) ++at;
  std::memmove(entries + at + 1, entries + at, sizeof(Entry) * static_cast<std::size_t>(count - at));
  entries[at].key = key;
  entries[at].text = text;
  ++count;
}

unsigned char* I18NCache::match(unsigned int key) {
  if (!entries || count <= 0) return nullptr;
  // A binary search over the keys as unsigned numbers (the order insert
  // keeps), written without branches on the data: each step is a
  // conditional move, so a hit neither calls a comparator nor mispredicts.
  const Entry* base = entries;
  std::size_t n = static_cast<std::size_t>(count);
  while (n > 1) {
    std::size_t half = n / 2;
    base = base[half].key <= key ? base + half : base;
    n -= half;
  }
  return base->key == key ? base->text : nullptr;
}

unsigned char* I18NCache::msgNotFound(unsigned int key) {
  if (unsigned char* text = match(key)) return text;
  auto* buffer = static_cast<char*>(std::malloc(KEL_I18N_PLACEHOLDER_SIZE));
  if (!buffer) return nullptr;
  // Bounded: a program may have put a longer format into i18nfailure.
  std::snprintf(buffer, KEL_I18N_PLACEHOLDER_SIZE, i18nfailure, static_cast<unsigned long>(key));
  auto* text = reinterpret_cast<unsigned char*>(buffer);
  insert(key, text);
  return text;
}

void I18NCache::dump_kel_i18n_cache() {
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
