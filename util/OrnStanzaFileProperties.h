// The library's stanza configuration file: the foundation stanza file, brought
// up to the current format (version 1792) on every load, with single values
// of multi-valued keys that can be tested and removed, and the factory
// through which the properties registry makes every configuration file.
//
// Virtual slot order: the foundation stanza file's slots, then deleteValue,
// deleteValues.
#ifndef ORNUTIL_UTIL_ORNSTANZAFILEPROPERTIES_H
#define ORNUTIL_UTIL_ORNSTANZAFILEPROPERTIES_H

#include "foundation/export.h"
#include "foundation/zarraylist.h"
#include "foundation/zproperties.h"
#include "foundation/zstanzafile.h"

class ORNUTIL_API OrnStanzaFileProperties : public ZStanzaFileProperties_7_0_0 {
 public:
  // Makes the registry's objects. Slots: makePropertiesInstance, destructors.
  class ORNUTIL_API OrnStanzaFilePropertiesFactory : public ZAbstractPropertiesFactory_7_0_0 {
   public:
    // A new OrnStanzaFileProperties (null when memory is exhausted).
    ZProperties_7_0_0* makePropertiesInstance() override;
    ~OrnStanzaFilePropertiesFactory() override;
  };

  // Strict stanza file; makes the factory on first use.
  OrnStanzaFileProperties();
  ~OrnStanzaFileProperties() override;

  // Makes the factory and stores it in factory_ (run once, through ms_once).
  static void init();
  // The registered, shared object for the file, loaded and migrated on first
  // use (see ZProperties_7_0_0::getPropertiesFor for `flag`). Exceptions of
  // the registry and the load reach the caller.
  static ZStanzaFileProperties_7_0_0* getRegisteredPropertiesFor(const char* fileName, int flag);

  // 1 when `value` is, byte for byte, one of the values of the key; else 0.
  int existsValue(const char* stanza, const char* key, const char* value);
  // Removes the first value of the key equal to `value`, in memory only.
  virtual void deleteValue(const char* stanza, const char* key, const char* value);
  // deleteValue once for each element of `values` (strings).
  virtual void deleteValues(const char* stanza, const char* key, ZArrayList_7_0_0& values);

  // Migrates a file older than version 1792 and stores it under `fileName`.
  // The file was read without a lock; a file that needs migrating is read
  // again under its lock (unless the caller holds it: lockFile) and migrated
  // from what it holds then, so processes loading one old file together
  // migrate it once. A version that is not a plain decimal number within 32
  // bits is not understood: the file is left alone and a warning
  // (0x1354a0d0) names it. A file another process has open for writing is
  // migrated in memory only (warning 0x1354a0d1). A failure is logged
  // (0x1354a0c7) and leaves the migrated content in memory only; the load
  // goes on.
  void postLoad(const char* fileName) override;
  // Adds the missing "ornrte" keys; 1 when it changed the object.
  int migrateORNRTEStanza();

  static OrnStanzaFilePropertiesFactory* factory_;
};

#endif
