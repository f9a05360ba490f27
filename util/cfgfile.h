/* Configuration values for callers working with plain C data: a table of
 * wanted items filled from a stanza file in one call, and copies of
 * foundation lists into C records. */
#ifndef ORNUTIL_UTIL_CFGFILE_H
#define ORNUTIL_UTIL_CFGFILE_H

#include "foundation/export.h"
#include "foundation/zstzitem.h"

/* One key/value pair; both texts and the arrays holding them are malloc'd
 * and belong to the caller. */
typedef struct kv_s_t {
  char* key;
  char* value;
  unsigned int keylen;
  unsigned int valuelen;
} kv_s_t;

typedef struct kvlist_s_t {
  void* reserved;     /* not touched by makekvlist */
  unsigned int count; /* valid entries in items */
  kv_s_t* items;      /* null when the list is empty */
  kv_s_t* next;       /* the first free entry after the stored ones */
} kvlist_s_t;

ORNUTIL_BEGIN_DECL

/* Opens `fileName` through the configuration registry (loading and
 * migrating it on first use; `flag` as for the registry) and fills the
 * destinations of the `count` items. Returns 0; 0x1354a0ca when the file
 * holds invalid data (message 0x1354a0c3 logged), 0x1354a0c8 on any other
 * foundation failure, exhausted memory included (message 0x1354a09a
 * logged): a file that does not exist, is not a regular file, is larger
 * than 64 MiB or cannot be read. No C++ exception leaves this function.
 * Items filled before a failure stay filled. */
ORNUTIL_API unsigned int config_item_load(const char* fileName, ZStzFileItem_7_0_0* items,
                                          unsigned int count, int flag);

ORNUTIL_END_DECL

#ifdef __cplusplus
class ZArrayList_7_0_0;
class ZPropertiesKVList_7_0_0;

/* A malloc'd array of strdup copies of the list's strings, ended by a null.
 * When memory runs out the out-of-memory message is logged: a failed array
 * leaves `out` null, a failed copy ends the array early. Returns 0. */
ORNUTIL_API int makearraylist(const ZArrayList_7_0_0& list, char**& out);
/* Copies the pairs into `out` (items malloc'd, texts strdup'd, in order);
 * `out.reserved` is not touched and an empty list leaves `out.next` as it
 * was. A pair that cannot be copied is logged and skipped. Returns 0. */
ORNUTIL_API int makekvlist(const ZPropertiesKVList_7_0_0& list, kvlist_s_t& out);
#endif

#endif
