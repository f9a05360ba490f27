#include "util/fipsMode.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "foundation/internal/memoryrule.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "foundation/zstring.h"
#include "util/cfgfile.h"
#include "util/getpath.h"
#include "util/internal/itemload.h"

namespace {

const char kModule[] = "util/fipsMode";

// The valid modes, tested in this order.
const char* const kModes[] = {"none", "fips", "sp800-131-transition", "sp800-131-strict", "suite-b-128",
                              "suite-b-192"};

ZLCString_7_0_0 compliance;
int initialized = 0;
pthread_mutex_t getCompliance_initialization_mutex;
pthread_once_t mutex_init_once = PTHREAD_ONCE_INIT;

extern "C" void getComplianceMode_mutex_init() {
  if (pthread_mutex_init(&getCompliance_initialization_mutex, nullptr) != 0) std::abort();
}

void logCompliance(int line, const char* types, unsigned int id, const char* insert) {
  orn_svc_printf_cs_withfile(ornc_svc_handle, orn_svc_utf8_cs, kModule, line, types, 0, 32, id, insert);
}

void readMode() {
  const char* path = orn_get_path("/opt/BrenmoorWarden/etc/orn.conf");
  ZStzFileItem_7_0_0 item = {ZSTZ_ITEM_LCSTRING, "ssl", "ssl-compliance", 0, &compliance, nullptr};
  if (ornutil_internal::loadItems(path, &item, 1, 0) != 0) {
    logCompliance(__LINE__, "%s", 0x15e3a003u, path ? path : "");
    compliance = "none";
    return;
  }
  if (compliance.isEmpty()) {
    logCompliance(__LINE__, "", 0x15e3a0b2u, nullptr);
    compliance = "none";
    return;
  }
  for (const char* mode : kModes)
    if (compliance.compareTo(mode) == 0) return;
  logCompliance(__LINE__, "%s", 0x15e3a0b3u, compliance.getChars());
  compliance = "none";
}

}  // namespace

const char* getCompliance(void) {
  pthread_once(&mutex_init_once, getComplianceMode_mutex_init);
  pthread_mutex_lock(&getCompliance_initialization_mutex);
  // Nothing but a failed allocation (which aborts) can leave readMode early;
  // the guard keeps the mutex from staying locked should that ever change.
  struct Unlock {
    ~Unlock() { pthread_mutex_unlock(&getCompliance_initialization_mutex); }
  } unlock;
  if (!initialized) {
    // Exhausted memory is no answer about the configuration, and a fallback
    // kept or given for it would let one process run under two modes, one
    // weaker than configured. The mode is state of the whole process, so
    // this is handled as start-up handles it: logged, and the process stops.
    ornz::orAbortOutOfMemory(kModule, __LINE__, readMode);
    initialized = 1;
  }
  return compliance.getChars();
}

const char* getSigAlgKeySize(unsigned int* sigAlg, unsigned int* keySize) {
  const char* mode = getCompliance();
  unsigned int alg = 23, size = 384;  // suite-b-192, the only mode left after the tests below
  if (std::strcmp(mode, "none") == 0 || std::strcmp(mode, "fips") == 0 ||
      std::strcmp(mode, "sp800-131-transition") == 0 || std::strcmp(mode, "sp800-131-strict") == 0) {
    alg = 4;
    size = 2048;
  } else if (std::strcmp(mode, "suite-b-128") == 0) {
    alg = 22;
    size = 256;
  }
  if (sigAlg) *sigAlg = alg;
  if (keySize) *keySize = size;
  return mode;
}
