#include "util/cfgfile.h"

#include <cstdlib>
#include <cstring>

#include "foundation/internal/memoryrule.h"
#include "foundation/svc.h"
#include "foundation/zarraylist.h"
#include "foundation/zexception.h"
#include "foundation/zproperties.h"
#include "foundation/zstring.h"
#include "util/OrnStanzaFileProperties.h"
#include "util/internal/itemload.h"

namespace {

const char kModule[] = "util/cfgfile";

void logNoMemory(int line) { ornz::logOutOfMemory(kModule, line); }

void traceCaught(const char* kind, int line) {
  if (orn_svc_debug_level(orn_ras_svc_handle, 3) >= 9)
    orn_svc__debug_withfile(orn_ras_svc_handle, kModule, line, 3, 9, "%s Exception caught. \n", kind);
}

// The status of a load that a foundation exception ended, reported as the
// loader's contract says.
unsigned int failedLoad(ZException_7_0_0& e, const char* fileName) {
  traceCaught("ZException", __LINE__);
  e.report();
  orn_svc_printf_cs_withfile(kelcore_svc_handle, orn_svc_utf8_cs, kModule, __LINE__, "%s%d", 0, 32, 0x1354a09au,
                             fileName, 1);
  return 0x1354a0c8u;
}

}  // namespace

unsigned int ornutil_internal::loadItems(const char* fileName, ZStzFileItem_7_0_0* items, unsigned int count,
                                         int flag) {
  try {
    ornz::reportingMemory(kModule, __LINE__, [&] {
      ZStanzaFileProperties_7_0_0* file = OrnStanzaFileProperties::getRegisteredPropertiesFor(fileName, flag);
      if (file) file->getItems(items, static_cast<int>(count));
    });
    return 0;
  } catch (ZPropertiesInvalidDataException_7_0_0& e) {
    traceCaught("ZPropertiesInvalidDataException", __LINE__);
    e.report();
    orn_svc_printf_cs_withfile(kelcore_svc_handle, orn_svc_utf8_cs, kModule, __LINE__, "%s", 0, 32, 0x1354a0c3u,
                               fileName);
    return 0x1354a0cau;
  } catch (ZOutOfMemoryException_7_0_0&) {
    throw;
  } catch (ZException_7_0_0& e) {
    return failedLoad(e, fileName);
  }
}

unsigned int config_item_load(const char* fileName, ZStzFileItem_7_0_0* items, unsigned int count, int flag) {
  try {
    return ornutil_internal::loadItems(fileName, items, count, flag);
  } catch (ZOutOfMemoryException_7_0_0& e) {
    return failedLoad(e, fileName);
  }
}

int makearraylist(const ZArrayList_7_0_0& list, char**& out) {
  int n = list.size();
  out = static_cast<char**>(std::malloc(sizeof(char*) * (static_cast<std::size_t>(n) + 1)));
  if (!out) {
    logNoMemory(__LINE__);
    return 0;
  }
  out[n] = nullptr;
  for (int i = 0; i < n; ++i) {
    auto* text = dynamic_cast<const ZAbstractString_7_0_0*>(list.get(i));
    out[i] = strdup(text ? text->getChars() : "");
    if (!out[i]) {
      logNoMemory(__LINE__);
      return 0;
    }
  }
  return 0;
}

int makekvlist(const ZPropertiesKVList_7_0_0& list, kvlist_s_t& out) {
  int n = list.getItemCount();
  out.items = nullptr;
  out.count = 0;
  if (n <= 0) return 0;
  out.items = static_cast<kv_s_t*>(std::malloc(sizeof(kv_s_t) * static_cast<std::size_t>(n)));
  if (!out.items) {
    logNoMemory(__LINE__);
    return 0;
  }
  out.next = out.items;
  out.count = 0;
  for (int i = 0; i < n; ++i) {
    char* key = strdup(list.getItemKey(i));
    char* value = key ? strdup(list.getItemValue(i)) : nullptr;
    if (!key || !value) {
      std::free(key);
      logNoMemory(__LINE__);
      continue;
    }
    out.next->key = key;
    out.next->value = value;
    out.next->keylen = static_cast<unsigned int>(std::strlen(key));
    out.next->valuelen = static_cast<unsigned int>(std::strlen(value));
    ++out.next;
    ++out.count;
  }
  return 0;
}
