/* Localised message texts by id, cached for the life of the process, and the
 * one call with which a program sets up serviceability and the library.
 *
 * Two caches, one for the local code page and one for UTF-8, each guarded by
 * its own lock for a whole request. Texts returned belong to the library and
 * stay valid for the life of the process. */
#ifndef ORNUTIL_UTIL_KELMSG_H
#define ORNUTIL_UTIL_KELMSG_H

#include "foundation/export.h"

/* Size of i18nfailure, and the bound of every formatted placeholder. */
#define KEL_I18N_PLACEHOLDER_SIZE 256

ORNUTIL_BEGIN_DECL

/* The placeholder format for ids without a text, given the id as an
 * unsigned long: "Unknown message number (0x%8.8lx).". A program may replace
 * it; the formatted placeholder is cut at 255 bytes. */
ORNUTIL_API extern char i18nfailure[KEL_I18N_PLACEHOLDER_SIZE];

/* The text of `id` in the local code page, cached; the placeholder (also
 * cached) when the catalogue has none; null only when memory runs out (for
 * the caches themselves or even the placeholder), and the next request
 * tries again. None of these functions raises. */
ORNUTIL_API unsigned char* kel_i18n_msg(unsigned int id);
/* The same from the UTF-8 cache. */
ORNUTIL_API unsigned char* kel_i18n_msg_utf8(unsigned int id);
/* The built-in (default) text of `id`, fetched on every call; the
 * placeholder of the local code page cache when there is none. The library
 * owns the result either way. */
ORNUTIL_API unsigned char* kel_i18n_msgC(unsigned int id);
/* Sets up the process: locale, system log, serviceability under `name`, the
 * library. Returns 1 when the process is set up (now or earlier), 0 when
 * serviceability could not be set up (reported to the system log at
 * LOG_CRIT and to standard error). Concurrent first calls set up once.
 * Exhausted memory before serviceability is set up also gives 0 (logged to
 * the system log and as message 0x10652065) and a later call tries again;
 * in the library's start-up, which it runs last, it is logged and the
 * process aborts (see util/getpath.h). Nothing is raised. */
ORNUTIL_API int kelmsg_init(const char* name);
/* Creates the two caches (run by the functions above until it succeeds).
 * When memory runs out none is made and nothing is raised. */
ORNUTIL_API void i18n_msg__init_caches(void);

ORNUTIL_END_DECL

#ifdef __cplusplus
#include "foundation/zlock.h"

/* A sorted array of (id, text) entries, grown 1024 entries at a time. The
 * caller of insert, match and msgNotFound holds `lock`. */
class ORNUTIL_API I18NCache {
 public:
  struct Entry {
    unsigned int key;
    unsigned char* text;
  };
  I18NCache();
  ~I18NCache();

  /* Adds an entry in key order (after an equal key). When the array cannot
   * grow, the entry is not added and the cache is unchanged. */
  void insert(unsigned int key, unsigned char* text);
  /* The text cached for `key`, or null. */
  unsigned char* match(unsigned int key);
  /* The placeholder for `key`, made and cached on first use; null when it
   * cannot be allocated. */
  unsigned char* msgNotFound(unsigned int key);
  /* Prints the cache to standard output (takes no lock). */
  void dump_kel_i18n_cache();

  unsigned int capacity;
  int count;
  Entry* entries;
  ZLock_7_0_0 lock;
};

/* The caches (null until the first request). */
ORNUTIL_API extern I18NCache* lcpcache;
ORNUTIL_API extern I18NCache* utf8cache;
#endif

#endif
