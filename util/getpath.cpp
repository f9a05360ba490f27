#include "util/getpath.h"

#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "foundation/internal/environment.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/msgcat.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "foundation/zjavaproperties.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "util/OrnMessageService.h"
#include "util/OrnStanzaFileProperties.h"

PathMap* ornPaths_ = nullptr;

namespace {

const char kModule[] = "util/getpath";
const char kOrnConf[] = "/opt/BrenmoorWarden/etc/orn.conf";
const char kNlsDir[] = "/opt/BrenmoorWarden/nls/msg";
const char kLogPrefix[] = "@/var/BrenmoorWarden/log";  // 24 characters

// The default paths that follow the data root, in the order they are put.
const char* const kInstallKeys[] = {
    "/opt/BrenmoorWarden/etc/orn.conf",
    "/opt/BrenmoorWarden/etc/ornversion.dat",
    "/opt/BrenmoorWarden/etc/kelacld.conf",
    "/opt/BrenmoorWarden/etc/kelacld.conf.obf",
    "/opt/BrenmoorWarden/etc/ornmgrproxyd.conf",
    "/opt/BrenmoorWarden/etc/ornmgrproxyd.conf.obf",
    "/opt/BrenmoorWarden/etc/kelmgrd.conf",
    "/opt/BrenmoorWarden/etc/kelmgrd.conf.obf",
    "/opt/BrenmoorWarden/etc/migrate.conf",
    "/opt/BrenmoorWarden/etc/ldap.conf",
    "/opt/BrenmoorWarden/etc/ldap.conf.obf",
    "/opt/BrenmoorWarden/etc/routing",
    "/opt/BrenmoorWarden/etc/activedir.conf",
    "/opt/BrenmoorWarden/etc/ornmgrd_routing",
    "/opt/BrenmoorWarden/etc/ornacld_routing",
    "/opt/BrenmoorWarden/etc/ornmgrproxyd_routing",
    "/opt/BrenmoorWarden/etc/activedir_ldap.conf",
    "/opt/BrenmoorWarden/etc/fenrok.conf",
    "/opt/BrenmoorWarden/etc/ornrvw.conf",
};

// The product's log files that move into the common log directory.
const struct {
  const char* key;
  const char* file;
} kLogFiles[] = {
    {"@/var/BrenmoorWarden/log/msg__ornacld.log", "/msg__ornacld.log"},
    {"@/var/BrenmoorWarden/log/msg__ornmgrd.log", "/msg__ornmgrd.log"},
    {"@/var/BrenmoorWarden/log/msg__ornmgrproxyd.log", "/msg__ornmgrproxyd.log"},
    {"@/var/BrenmoorWarden/log/ornconfig_proxy.log", "/ornconfig_proxy.log"},
    {"@/var/BrenmoorWarden/log/ornconfig_rvw.log", "/ornconfig_rvw.log"},
    {"@/var/BrenmoorWarden/log/ornconfig_audit.log", "/ornconfig_audit.log"},
};

OrnMessageService* theMessageService = nullptr;
ZLCString_7_0_0 ornDataRoot;
ZLCString_7_0_0 ccd_log_path;
pthread_once_t inst_once = PTHREAD_ONCE_INIT;
int util_inited = 0;
// Set once start-up has finished, so that look-ups skip the once-control's
// call; pthread_once still decides who runs start-up and makes the others wait.
int initDone = 0;

[[noreturn]] void outOfMemory(int line) { ornz::abortOutOfMemory(kModule, line); }

void traceCaught(int line) {
  if (orn_svc_debug_level(orn_ras_svc_handle, 3) >= 9)
    orn_svc__debug_withfile(orn_ras_svc_handle, kModule, line, 3, 9, "%s Exception caught. \n", "ZException");
}

void put(const char* key, const char* value) {
  ZLCString_7_0_0 v(value);
  ornPaths_->putEntry(ZLCConstString_7_0_0(key), &v);
}

void setPaths() {
  for (const char* key : kInstallKeys) ornPaths_->addOrnDataPath(key);
  if (const char* dir = ris_get_dir()) put("/opt/Kvt/Corvan/Toolvane/nls/RIS", dir);
}

void readFamilyRoot(const std::string& propertiesFile) {
  struct stat st;
  if (::stat(propertiesFile.c_str(), &st) != 0) return;
  try {
    ZJavaProperties_7_0_0 properties;
    if (!properties.load(propertiesFile.c_str(), "corvan_common_dir")) return;
    ZUTF8String_7_0_0 root;
    properties.getValue("corvan_common_dir", root);
    if (root.isEmpty()) return;
    ZLCString_7_0_0 value(root);  // the map keeps a copy of it
    ornPaths_->putEntry(ZLCConstString_7_0_0("#orn_undefined_ccd_root"), &value);
  } catch (const ZOutOfMemoryException_7_0_0&) {
    throw;  // a failed allocation at start-up is logged and ends the process
  } catch (ZException_7_0_0& e) {
    traceCaught(__LINE__);
    e.report();
  }
}

void readDataRoot() {
  try {
    ZStanzaFileProperties_7_0_0 cqy("/etc/cqy.conf", 1);
    ZStzFileItem_7_0_0 item = {ZSTZ_ITEM_LCSTRING, "rte", "data-path", 0, &ornDataRoot, nullptr};
    cqy.getItems(&item, 1);
  } catch (const ZOutOfMemoryException_7_0_0&) {
    throw;  // no data root for want of memory would move every path: start-up ends
  } catch (ZException_7_0_0&) {
    ornDataRoot.clear();
  }
}

void extendNlspath() {
  const char* old = ris_get_nlspath();
  if (!old) old = "";
  if (std::strstr(old, kNlsDir)) return;
  std::size_t size = std::strlen(old) + 91;
  char* entry = static_cast<char*>(std::malloc(size));
  if (!entry) outOfMemory(__LINE__);
  std::snprintf(entry, size, "NLSPATH=%s/%%L/%%N:%s/%%L/%%N.cat:%s", kNlsDir, kNlsDir, old);
  ornz::putEnvironment(entry);  // the environment keeps the buffer
}

void redirectLogs() {
  struct stat st;
  if (::stat(kOrnConf, &st) != 0) return;
  try {
    ZStanzaFileProperties_7_0_0* conf = OrnStanzaFileProperties::getRegisteredPropertiesFor(kOrnConf, 0);
    ZLCString_7_0_0 root;
    if (conf) conf->getValue("ornrte", "corvan_common_dir", root, 0, nullptr);
    if (root.isEmpty()) return;
    ornPaths_->putEntry(ZLCConstString_7_0_0("#orn_undefined_orn_ccd_root"), &root);
    ccd_log_path = root;
    ccd_log_path.append("/");
    ccd_log_path.append("XKL");
    ccd_log_path.append("/");
    ccd_log_path.append("logs");
    ornPaths_->putEntry(ZLCConstString_7_0_0("/var/BrenmoorWarden/log"), &ccd_log_path);
    ornPaths_->putEntry(ZLCConstString_7_0_0(kLogPrefix), &ccd_log_path);
    for (const auto& log : kLogFiles) {
      ZLCString_7_0_0 path(ccd_log_path);
      path.append(log.file);
      ornPaths_->putEntry(ZLCConstString_7_0_0(log.key), &path);
    }
  } catch (const ZOutOfMemoryException_7_0_0&) {
    throw;  // a failed allocation at start-up is logged and ends the process
  } catch (ZException_7_0_0& e) {
    traceCaught(__LINE__);
    e.report();
  }
}

// Exhausted memory anywhere in start-up is logged and ends the process: no
// caller of a C entry point could catch it, and the library is unusable
// half set up. Steps 5 and 9 catch the foundation's exceptions themselves.
void doUtilInit();

extern "C" void c_doUtilInit() {
  try {
    ornz::reportingMemory(kModule, __LINE__, doUtilInit);
  } catch (const ZOutOfMemoryException_7_0_0&) {
    outOfMemory(__LINE__);
  }
}

void doUtilInit() {
  theMessageService = new (std::nothrow) OrnMessageService();
  if (!theMessageService) outOfMemory(__LINE__);
  ZMessageService_7_0_0::setMessageService(theMessageService);

  PathMap* map = new PathMap();
  if (!map) outOfMemory(__LINE__);
  ornPaths_ = map;

  corsec_initialize();

  std::string cfgDir = std::string("/etc") + "/kvt/corvan/common/cfg";
  put("/kvt/corvan/common/cfg", cfgDir.c_str());
  std::string cfgFile = cfgDir + "/" + "log.properties";
  put("#ccd_cfg_file", cfgFile.c_str());

  readFamilyRoot(cfgFile);
  readDataRoot();
  setPaths();
  extendNlspath();
  redirectLogs();
  __atomic_store_n(&initDone, 1, __ATOMIC_RELEASE);
}

inline void runInit() {
  if (!__atomic_load_n(&initDone, __ATOMIC_ACQUIRE)) pthread_once(&inst_once, c_doUtilInit);
}

}  // namespace

// ---------------------------------------------------------------- PathMap

PathMap::PathMap() : ZHashKeyMap_7_0_0(50, 1) { enableConcurrentReaders(); }

PathMap::~PathMap() = default;

void PathMap::addOrnDataPath(const char* key) {
  ZLCString_7_0_0 value(key);
  // The first 20 characters ("/opt/BrenmoorWarden/" for every install key)
  // give way to the data root.
  if (!ornDataRoot.isEmpty() && std::strlen(key) > 20) {
    value = ornDataRoot;
    value.append("/");
    value.append(key + 20);
  }
  putEntry(ZLCConstString_7_0_0(key), &value);
}

void PathMap::addOrnPath(const char* key) {
  ZLCString_7_0_0 value(key);
  if (std::strncmp(key, kLogPrefix, 24) == 0) {
    if (ccd_log_path.isEmpty()) {
      value = key + 1;
    } else {
      value = ccd_log_path;
      value.append(key + 24);
    }
  }
  putEntry(ZLCConstString_7_0_0(key), &value);
}

// ---------------------------------------------------------------- entry points

void ornutil_init(void) {
  if (__atomic_load_n(&util_inited, __ATOMIC_ACQUIRE)) return;
  runInit();
  __atomic_store_n(&util_inited, 1, __ATOMIC_RELEASE);
}

const char* orn_get_path(const char* key) {
  runInit();
  if (!key) return nullptr;
  // PathMap keeps the base's getEntry, which is find() of the key's text:
  // called directly, with no string object made around the key, and the
  // stored text read through the inline accessor (owned strings are
  // NUL-terminated).
  const std::size_t length = std::strlen(key);
  if (auto* value = static_cast<ZAbstractString_7_0_0*>(ornPaths_->find(key, length))) return value->data();
  if (key[0] == '#') return nullptr;
  ornPaths_->addOrnPath(key);
  auto* value = static_cast<ZAbstractString_7_0_0*>(ornPaths_->find(key, length));
  return value ? value->data() : nullptr;
}

const char* orn_set_path(const char* key, const char* path) {
  runInit();
  if (!key || !path) return nullptr;
  try {
    ZLCString_7_0_0 value(path);
    ornPaths_->putEntry(ZLCConstString_7_0_0(key), &value);
    return orn_get_path(key);
  } catch (...) {
    return nullptr;
  }
}

const char* orn_get_path_instance(const char* first, const char* second, const char* third) {
  std::string key;
  ornz::reportingMemory(kModule, __LINE__, [&] {
    key.append(first ? first : "").append(second ? second : "").append(third ? third : "");
  });
  return orn_get_path(key.c_str());
}

int orn_change_directory(const char* key) {
  const char* path = orn_get_path(key);
  if (!path) return ENOENT;
  return ::chdir(path) == 0 ? 0 : errno;
}

unsigned int orn_corvan_common_directory_init(const char* component) {
  const char* familyRoot = orn_get_path("#orn_undefined_ccd_root");
  const char* productRoot = orn_get_path("#orn_undefined_orn_ccd_root");
  if (!familyRoot) return 0x1065206Fu;
  if (!productRoot) return 0x1065206Eu;
  unsigned int result = std::strcmp(familyRoot, productRoot) == 0 ? 0u : 0x10652070u;
  ornz::reportingMemory(kModule, __LINE__, [&] {
    std::string base = std::string(productRoot) + "/" + (component ? component : "");
    put("#orn_undefined_orn_ccd_base", base.c_str());
    base += "/";
    put("#orn_undefined_orn_ccd_logs", (base + "logs").c_str());
    put("#orn_undefined_orn_ccd_dmpx", (base + "dmpx").c_str());
    put("#orn_undefined_orn_ccd_scripts", (base + "scripts").c_str());
  });
  return result;
}
