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
 * it; the formatted placeholder is cut at 255 bytes. Read at every miss, so
 * a program changes it only where no other thread asks for a text. */
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

/* The cached (id, text) entries of one cache. Names, member order and layout
 * are fixed (exported).
 *
 * The members as a reader sees them, holding `lock`: `entries` points to
 * `capacity` slots; the first `count` are sorted by key (unsigned), an entry
 * after those of an equal key inserted before it. An insert that does not go
 * last does not move the sorted entries: it waits in the slots right after
 * them, in the order inserts came, until enough wait to merge them all in
 * one pass (at most 64 or an eighth of `count`, whichever is more). So every
 * entry is in `entries[0]` up to the first slot whose text is null (the
 * slots after those in use are zero), and the first `count` of them are
 * sorted; after dump_kel_i18n_cache, which merges first, `count` is all of
 * them. The choice: a sorted array kept whole at every insert moves half of
 * it per insert in random order, a square in the number of distinct ids a
 * peer can make a daemon look up.
 *
 * Costs: a look-up is a probe of the waiting entries' index (keyed with the
 * process's secret, so no one can aim ids at one probe run) when some wait,
 * and one binary search (from 2048 sorted entries on, of a private sample
 * of every 16th key, then of 16 entries); an insert is amortised constant
 * (the block doubles when full, a merge moves about eight entries per
 * insert it merges). Each distinct id costs its entry (16 bytes, up to
 * twice that just after a growth) and its text; placeholders are cut from
 * the cache's own chunks of 8 KiB, their exact length each (37 bytes by
 * default). The caller of insert, match, msgNotFound and
 * dump_kel_i18n_cache holds `lock` (or no other thread uses the cache). */
class ORNUTIL_API I18NCache {
 public:
  struct Entry {
    unsigned int key;
    unsigned char* text;
  };
  I18NCache();
  /* Frees the entries and the placeholders made by msgNotFound (the caches
   * of the process are never destroyed); texts given to insert stay the
   * caller's. */
  ~I18NCache();

  /* Adds an entry (found by match before any earlier entry of its key).
   * When memory runs out the entry is not added and the cache holds the
   * same entries as before. */
  void insert(unsigned int key, unsigned char* text);
  /* The text of the newest entry of `key`, or null. */
  unsigned char* match(unsigned int key);
  /* The text cached for `key`; when there is none, the placeholder for it
   * (i18nfailure formatted, exactly as long as its text), made and cached.
   * Null when the placeholder cannot be allocated (nothing cached then). */
  unsigned char* msgNotFound(unsigned int key);
  /* Merges the waiting entries, then prints the cache to standard output:
   * capacity and count, then every entry in order. */
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
