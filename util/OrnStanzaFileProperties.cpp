#include "util/OrnStanzaFileProperties.h"

#include <pthread.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <algorithm>
#include <vector>

#include "foundation/internal/filestore.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/internal/stanzadoc.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "foundation/zstring.h"

namespace {

const char kModule[] = "util/OrnStanzaFileProperties";
const char kOrnConf[] = "/opt/BrenmoorWarden/etc/orn.conf";
const char kKelmgrdConf[] = "/opt/BrenmoorWarden/etc/kelmgrd.conf";
const char kKelacldConf[] = "/opt/BrenmoorWarden/etc/kelacld.conf";
const char kLdapConf[] = "/opt/BrenmoorWarden/etc/ldap.conf";

const char kComplianceComment[] =
    "# Security compliance setting.\n"
    "# Possible values are:\n"
    "# none                 : No additional compliance\n"
    "# fips                 : FIPS 140-2\n"
    "# sp800-131-transition : NIST SP800-131a Transition\n"
    "# sp800-131-strict     : NIST SP800-131a Strict\n"
    "# suite-b-128          : NSA Suite B 128 bit\n"
    "# suite-b-192          : NSA Suite B 192 bit\n";

const char kTimeoutComment[] =
    "# Connection time-out for i/o in seconds.\n"
    "# This value should not be higher than the value of ssl-io-inactivity-timeout.\n"
    "# The suggested value is one third of the value of ssl-io-inactivity-timeout.\n"
    "# This parameter is set by the srvtlscfg utility.\n"
    "# (range: >= 0, 0 = no time-out). ";

pthread_once_t ms_once = PTHREAD_ONCE_INIT;

extern "C" void OrnStanzaFileProperties_c_init() { OrnStanzaFileProperties::init(); }

OrnStanzaFileProperties::OrnStanzaFilePropertiesFactory* loadFactory() {
  return __atomic_load_n(&OrnStanzaFileProperties::factory_, __ATOMIC_ACQUIRE);
}

void ensureFactory() {
  if (!loadFactory()) pthread_once(&ms_once, OrnStanzaFileProperties_c_init);
}

bool contains(const char* fileName, const char* path) {
  return fileName && std::strstr(fileName, path) != nullptr;
}

// Sets a key to a default when its stanza exists and the key is empty; a key
// that was absent also gets the comment.
void fillDefault(ZStanzaFileProperties_7_0_0& p, const char* stanza, const char* key, const char* value,
                 const char* comment) {
  if (!p.exists(stanza)) return;
  bool existed = p.exists(stanza, key);
  ZUTF8String_7_0_0 current;
  p.getValue(stanza, key, current, 0, nullptr);
  if (!current.isEmpty()) return;
  p.setValue(stanza, key, value, 0);
  if (!existed) p.addEntryComment(stanza, key, comment);
}

// Sets, for every key N of the old credential-tag stanza in file order, the
// key "tagvalue_" N of the registry stanza to N's first value. The keys are
// read from the document as it walks the stanza: a list of them as string
// objects would cost some eighty bytes a key, more than ten times a short
// tag line.
void moveCredentialTags(OrnStanzaFileProperties& p) {
  const ornz::StanzaDocument& doc = p.document();
  const std::int32_t tags = doc.findStanza("ldap-ext-cred-tags");
  const std::string target = std::string("LEGACY_ldap-ext-cred-tags") + ":" + "registry_id";
  std::vector<std::int32_t> lines = doc.entryLines(tags);
  // A further value of a key is not moved: the key's first one is.
  lines.erase(std::remove_if(lines.begin(), lines.end(), [&](std::int32_t l) { return !doc.isFirstValue(tags, l); }),
              lines.end());
  // Copies: setValue takes C strings.
  std::string key, next, value;
  auto keyOf = [&doc](std::int32_t line, std::string& out) {
    std::string_view name = doc.key(line);
    out.assign("tagvalue_").append(name.data(), name.size());
  };
  if (!lines.empty()) keyOf(lines[0], next);
  std::int32_t into = -1;  // the target stanza, once the first key has made it
  for (std::size_t i = 0; i < lines.size(); ++i) {
    key.swap(next);
    if (i + 1 < lines.size()) {
      keyOf(lines[i + 1], next);
      // The next key's slot is fetched while this one is set: in the index
      // of a large stanza each first probe of a new key misses the cache.
      if (into >= 0) doc.prefetchKey(into, next);
    }
    std::string_view v = doc.value(lines[i]);
    value.assign(v.data(), v.size());
    p.setValue(target.c_str(), key.c_str(), value.c_str(), 0);
    if (into < 0) {
      // Once the first key has made the stanza's index: room for the rest
      // at once, where growing it step by step would file every key anew
      // at each step (twice the tags in all).
      p.reserveKeys(target.c_str(), lines.size());
      into = doc.findStanza(target);
    }
  }
}

void migrateGroupA(OrnStanzaFileProperties& p) {
  fillDefault(p, "ssl", "ssl-local-domain", "Default", "#\n# local domain name.\n#");
  fillDefault(p, "manager", "management-domain", "Default", "#\n# Management domain name.\n#");
  fillDefault(p, "kelmgrd", "standby", "0", "#\n# Management standby.\n#");

  ZLCString_7_0_0 credService;
  p.getValue("aznapi-pac-services", "AZN_V37CRED_SVC", credService, 0, nullptr);
  if (!credService.isEmpty() && credService.compareTo("azn_v37cred_svc") == 0)
    p.deleteKey("aznapi-pac-services", "AZN_V37CRED_SVC");

  if (p.exists("ldap-ext-cred-tags") && p.exists("aznapi-configuration")) {
    p.addValue("aznapi-configuration", "cred-attribute-entitlement-services", "LEGACY_ldap-ext-cred-tags", 0);
    p.setValue("aznapi-entitlement-services", "LEGACY_ldap-ext-cred-tags", "azn_ent_cred_attrs", 0);
    moveCredentialTags(p);
    p.deleteStanza("ldap-ext-cred-tags");
    p.setValue("LEGACY_ldap-ext-cred-tags", "registry_id", "azn_cred_registry_id", 0);
  }

  ZLCString_7_0_0 user;
  p.getValue("aznapi-configuration", "orn-user-name", user, 0, nullptr);
  if (!user.isEmpty()) {
    ZLCString_7_0_0 host;
    p.getValue("aznapi-configuration", "azn-app-host", host, 0, nullptr);
    const char* slash = std::strchr(user.getChars(), '/');
    if (host.isEmpty() && slash) p.setValue("aznapi-configuration", "azn-app-host", slash + 1, 0);
  }

  p.migrateORNRTEStanza();
}

void migrateGroupB(OrnStanzaFileProperties& p, const char* fileName) {
  if (contains(fileName, kKelmgrdConf) && p.exists("kelmgrd") && !p.exists("kelmgrd", "qy610-compat")) {
    p.setValue("kelmgrd", "qy610-compat", "yes", 0);
    p.addEntryComment("kelmgrd", "qy610-compat",
                      "#\n# Management command compatable operation with version 6.1.0 and earlier.\n#");
  }
}

void migrateGroupC(OrnStanzaFileProperties& p, const char* fileName) {
  if (contains(fileName, kOrnConf) && p.exists("ssl") && !p.exists("ssl", "ssl-compliance")) {
    int fips = p.getBooleanValue("ssl", "ssl-enable-fips", 0, 0);
    p.setValue("ssl", "ssl-compliance", fips ? "fips" : "none", 0);
    p.addEntryComment("ssl", "ssl-compliance", kComplianceComment);
    p.deleteKey("ssl", "ssl-enable-fips");
  }

  bool hadVersion = p.exists("meta-info", "version");
  p.setIntegerValue("meta-info", "version", 1792);
  if (!hadVersion) {
    p.addStanzaComment("meta-info", "#\n# Meta stanza\n#");
    p.addEntryComment("meta-info", "version", "#\n# version =\n#");
  }

  if (contains(fileName, kKelmgrdConf) || contains(fileName, kKelacldConf))
    fillDefault(p, "ssl", "ssl-client-connection-timeout", "30", kTimeoutComment);

  if (contains(fileName, kLdapConf)) {
    if (!p.exists("ornconfig")) p.addStanza("ornconfig");
    if (p.exists("ldap")) {
      for (const char* key : {"LdapSSL", "LdapSSLKeyFile", "LdapSSLKeyFilePwd", "LdapSSLKeyFileDn"}) {
        ZUTF8String_7_0_0 value;
        p.getValue("ldap", key, value, 0, nullptr);
        p.deleteKey("ldap", key);
        if (!value.isEmpty()) p.setValue("ornconfig", key, value, 0);
      }
    }
  }
}

constexpr unsigned int kCurrentVersion = 1792;

// The file's format version: 0 when "[meta-info] version" is missing; false
// when its value is not a plain decimal number within 32 bits, a version no
// release wrote, which must not be taken for an old one (the file would be
// "migrated" and a newer file downgraded).
bool readVersion(const ZStanzaFileProperties_7_0_0& p, unsigned int& version, ZUTF8String_7_0_0& text) {
  version = 0;
  if (!p.getValue("meta-info", "version", text, 0, nullptr)) return true;
  const char* digits = text.getChars();
  if (!*digits) return false;
  unsigned long long v = 0;
  for (const char* d = digits; *d; ++d) {
    if (*d < '0' || *d > '9') return false;
    v = v * 10 + static_cast<unsigned>(*d - '0');
    if (v > 0xffffffffull) return false;
  }
  version = static_cast<unsigned int>(v);
  return true;
}

// Whether the content needs migrating; an unreadable version is reported
// and left alone.
bool needsMigration(const ZStanzaFileProperties_7_0_0& p, const char* fileName, unsigned int& version) {
  ZUTF8String_7_0_0 text;
  if (!readVersion(p, version, text)) {
    orn_svc_printf_cs_withfile(kelcore_svc_handle, orn_svc_utf8_cs, kModule, __LINE__, "%s%s", 0, 48,
                               0x1354a0d0u, fileName, text.getChars());
    return false;
  }
  return version < kCurrentVersion;
}

// Applies the rules of every release newer than `version`, in memory.
void applyRules(OrnStanzaFileProperties& p, unsigned int version, const char* fileName) {
  if (version <= 1295) migrateGroupA(p);
  if (version <= 1552) migrateGroupB(p, fileName);
  if (version <= 1791) migrateGroupC(p, fileName);
}

// Applies the rules as applyRules does, leaving their changes out of those
// a store makes again on newer content: the caller holds the file's lock
// and stores before releasing it.
void applyRulesUnderLock(OrnStanzaFileProperties& p, unsigned int version, const char* fileName) {
  struct Rules {
    OrnStanzaFileProperties& p;
    unsigned int version;
    const char* fileName;
  } rules{p, version, fileName};
  p.unrecorded(
      [](void* context) {
        Rules& r = *static_cast<Rules*>(context);
        applyRules(r.p, r.version, r.fileName);
      },
      &rules);
}

// Migrates and stores; the caller holds the file's lock.
void migrate(OrnStanzaFileProperties& p, unsigned int version, const char* fileName) {
  applyRulesUnderLock(p, version, fileName);
  // The rename would send the rest of a writer's bytes (an editor, or
  // "cat >", rewriting the file in place) to an unlinked file: leave the
  // file to it and migrate again on the next load.
  if (ornz::openForWritingElsewhere(fileName)) {
    orn_svc_printf_cs_withfile(kelcore_svc_handle, orn_svc_utf8_cs, kModule, __LINE__, "%s", 0, 48, 0x1354a0d1u,
                               fileName);
    return;
  }
  p.store(fileName);
}

// How long a load that must migrate waits for another process's lock on
// the file. A store holds it for milliseconds; a holder that keeps it longer
// (a program between lockFile and unlockFile, or one that hangs) must not
// hold up every program that loads the file: after this the migration
// serves the loading process in memory only, as when no lock can be had.
constexpr int kMigrationLockWaitMs = 5000;

// Gives back the object's hold on a file's lock however the migration ends.
class Unlocking {
 public:
  explicit Unlocking(ZStanzaFileProperties_7_0_0& p) : p_(p) {}
  ~Unlocking() { p_.unlockFile(); }
  Unlocking(const Unlocking&) = delete;
  Unlocking& operator=(const Unlocking&) = delete;

 private:
  ZStanzaFileProperties_7_0_0& p_;
};

}  // namespace

OrnStanzaFileProperties::OrnStanzaFilePropertiesFactory* OrnStanzaFileProperties::factory_ = nullptr;

// ---------------------------------------------------------------- factory

ZProperties_7_0_0* OrnStanzaFileProperties::OrnStanzaFilePropertiesFactory::makePropertiesInstance() {
  return new OrnStanzaFileProperties();
}

OrnStanzaFileProperties::OrnStanzaFilePropertiesFactory::~OrnStanzaFilePropertiesFactory() = default;

// ---------------------------------------------------------------- the class

OrnStanzaFileProperties::OrnStanzaFileProperties() : ZStanzaFileProperties_7_0_0(1) {
  ensureFactory();
}

OrnStanzaFileProperties::~OrnStanzaFileProperties() = default;

void OrnStanzaFileProperties::init() {
  // A factory that init() replaces may still be in use by a look-up on
  // another thread, so it is never freed; it is kept here instead of lost.
  // The slot is made first: once the new factory is in place nothing may
  // fail.
  static std::mutex retiredMutex;
  static std::vector<OrnStanzaFilePropertiesFactory*>* retired = nullptr;
  std::lock_guard<std::mutex> hold(retiredMutex);
  ornz::reportingMemory(kModule, __LINE__, [&] {
    if (!retired) retired = new std::vector<OrnStanzaFilePropertiesFactory*>;
    retired->reserve(retired->size() + 1);
  });
  auto* factory = new OrnStanzaFilePropertiesFactory();
  if (!factory) ornz::throwOutOfMemory(kModule, __LINE__);
  if (auto* old = __atomic_exchange_n(&factory_, factory, __ATOMIC_ACQ_REL)) retired->push_back(old);
}

ZStanzaFileProperties_7_0_0* OrnStanzaFileProperties::getRegisteredPropertiesFor(const char* fileName, int flag) {
  ensureFactory();
  ZProperties_7_0_0* p = ZProperties_7_0_0::getPropertiesFor(fileName, *loadFactory(), flag);
  return dynamic_cast<ZStanzaFileProperties_7_0_0*>(p);
}

int OrnStanzaFileProperties::existsValue(const char* stanza, const char* key, const char* value) {
  ZStanzaValueIterator_7_0_0 values(*this, stanza, key, 0, 0);
  while (values.hasMore()) {
    const char* v = nullptr;
    values.nextValue(v);
    if (value && std::strcmp(v, value) == 0) return 1;
  }
  return 0;
}

void OrnStanzaFileProperties::deleteValue(const char* stanza, const char* key, const char* value) {
  ZStanzaValueIterator_7_0_0 values(*this, stanza, key, 0, 0);
  while (values.hasMore()) {
    const char* v = nullptr;
    values.nextValue(v);
    if (value && std::strcmp(v, value) == 0) {
      values.removeValue();
      return;
    }
  }
}

void OrnStanzaFileProperties::deleteValues(const char* stanza, const char* key, ZArrayList_7_0_0& values) {
  int n = values.size();
  for (int i = 0; i < n; ++i) {
    auto* text = dynamic_cast<ZAbstractString_7_0_0*>(values.get(i));
    if (text) deleteValue(stanza, key, std::string(text->data(), text->size()).c_str());
  }
}

int OrnStanzaFileProperties::migrateORNRTEStanza() {
  if (!exists("ornrte")) return 0;
  int changed = 0;
  if (!exists("ornrte", "boot-start-ornproxyd")) {
    setBooleanValue("ornrte", "boot-start-ornproxyd", 0);
    changed = 1;
  }
  if (exists("ornrte", "corvan_common_dir")) return changed;
  setValue("ornrte", "corvan_common_dir", "", 0);
  return 1;
}

void OrnStanzaFileProperties::postLoad(const char* fileName) {
  try {
    unsigned int version = 0;
    if (!needsMigration(*this, fileName, version)) return;
    if (holdsLockOf(fileName)) {
      migrate(*this, version, fileName);  // read under the caller's lock already
      return;
    }
    // Reading took no lock, so that a current file (the common case) costs
    // no lock file. Migrating does: an object read from the file reads it
    // again under the lock, since another process may have migrated or
    // changed it meanwhile. Any other object (made in memory, or read from
    // another name) is migrated as it is and stored under this name.
    const bool readHere = wasReadFrom(fileName);
    std::optional<Unlocking> unlocking;
    try {
      lockFileWithin(fileName, kMigrationLockWaitMs);
      unlocking.emplace(*this);
      if (readHere) readFile(fileName);
    } catch (ZException_7_0_0&) {
      // No lock to be had (or no second read): the values serve this
      // process migrated, and the file is left as it is.
      applyRules(*this, version, fileName);
      throw;
    }
    if (!readHere || needsMigration(*this, fileName, version)) migrate(*this, version, fileName);
  } catch (ZException_7_0_0& e) {
    if (orn_svc_debug_level(orn_ras_svc_handle, 3) >= 9)
      orn_svc__debug_withfile(orn_ras_svc_handle, kModule, __LINE__, 3, 9, "ZException Exception caught. %s\n",
                              e.text);
    orn_svc_printf_cs_withfile(kelcore_svc_handle, orn_svc_utf8_cs, kModule, __LINE__, "%s", 0, 48,
                               0x1354a0c7u, fileName);
  }
}
