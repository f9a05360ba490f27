/* Library start-up and the install path map.
 *
 * Every file and directory of the product has a default path; programs hand
 * the default (or a setting's name, beginning with "#") to the path map and
 * use the path that comes back, which follows the data root read from
 * /etc/cqy.conf and the common log directory read from the product's
 * configuration. The first call of any function here runs the library's
 * one-time start-up.
 *
 * Start-up reads /etc/kvt/corvan/common/cfg/log.properties, /etc/cqy.conf and
 * /opt/BrenmoorWarden/etc/orn.conf (which it migrates and stores when older
 * than the current format), and puts the product's catalogue directory at
 * the front of NLSPATH.
 *
 * The map is safe for concurrent use: look-ups take no lock and write
 * nothing shared; adding a default key on its first look-up and
 * orn_set_path serialise among themselves. A returned path stays readable
 * for the life of the process, even after orn_set_path replaced it.
 *
 * Exhausted memory: during start-up it is logged (message 0x10652065) and
 * the process aborts, since a half-made path map would send every path
 * astray. After start-up, orn_get_path, orn_get_path_instance and
 * orn_corvan_common_directory_init let the foundation's
 * ZOutOfMemoryException_7_0_0 (with its source position) through to the
 * caller; orn_set_path returns null. No std::bad_alloc leaves this module.
 */
#ifndef ORNUTIL_UTIL_GETPATH_H
#define ORNUTIL_UTIL_GETPATH_H

#include "foundation/export.h"

ORNUTIL_BEGIN_DECL

/* Runs the library's start-up once per process (later calls return at once). */
ORNUTIL_API void ornutil_init(void);

/* The path for `key`: the stored path, or, for a default path not yet in
 * the map, the key itself (or, for "@/var/BrenmoorWarden/log..." keys, the
 * key moved into the common log directory), which is stored on this first
 * look-up. Null for a setting key ("#...") that is absent, and for a null
 * key. The text belongs to the library. Foundation exceptions (exhausted
 * memory) reach the caller. */
ORNUTIL_API const char* orn_get_path(const char* key);

/* Stores `path` unchanged under `key` and returns the stored text; null when
 * anything failed (a null argument, exhausted memory), the old path kept. */
ORNUTIL_API const char* orn_set_path(const char* key, const char* path);

/* orn_get_path of the three texts joined (a null text counts as empty);
 * raises as orn_get_path does, also when the joined key cannot be made. */
ORNUTIL_API const char* orn_get_path_instance(const char* first, const char* second, const char* third);

/* Changes the working directory to the path for `key`: 0, ENOENT for an
 * absent setting key, or the errno chdir left. */
ORNUTIL_API int orn_change_directory(const char* key);

/* Publishes the component's directories under the product's common
 * directory root as "#orn_undefined_orn_ccd_base", "..._logs", "..._dmpx"
 * and "..._scripts". Returns 0 when the family's and the product's roots are
 * equal, 0x10652070 when they differ (the keys are put under the product's
 * root), 0x1065206F when the family's root is not configured and 0x1065206E
 * when the product's is not (no key is put in either case). Foundation
 * exceptions (exhausted memory) reach the caller; keys put before the
 * failure stay. */
ORNUTIL_API unsigned int orn_corvan_common_directory_init(const char* component);

ORNUTIL_END_DECL

#ifdef __cplusplus
#include "foundation/zhashkeymap.h"

/* The process's path map; keys and values are strings. Slot order: the
 * destructors, then the base's. */
class ORNUTIL_API PathMap : public ZHashKeyMap_7_0_0 {
 public:
  PathMap();
  ~PathMap() override;
  /* Puts an install key with its data-root value. */
  void addOrnDataPath(const char* key);
  /* Puts a key that was not present with its default value. */
  void addOrnPath(const char* key);
};

/* The map (null before start-up); for listing it. */
ORNUTIL_API extern PathMap* ornPaths_;
#endif

#endif
