#include "foundation/zproperties.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <strings.h>
#include <unordered_map>

#include "foundation/zarraylist.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/zexception.h"
#include "foundation/zstanzafile.h"

namespace {

const char kModule[] = "foundation/zproperties";

[[noreturn]] void notSupported(int line) {
  ZException_7_0_0 e(ornz::kCodeNotSupported, "operation not supported by this properties class");
  e.throwException(kModule, line);
}

// ---------------------------------------------------------------- the registry

struct RegistryEntry {
  std::mutex loading;
  ZProperties_7_0_0* object = nullptr;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<RegistryEntry>> entries;
};

Registry& registry() {
  static Registry* r = new Registry;  // the objects live as long as the process
  return *r;
}

}  // namespace

// ---------------------------------------------------------------- factory

ZPropertiesFactoryInterface_7_0_0::~ZPropertiesFactoryInterface_7_0_0() = default;
ZAbstractPropertiesFactory_7_0_0::ZAbstractPropertiesFactory_7_0_0() = default;
ZAbstractPropertiesFactory_7_0_0::~ZAbstractPropertiesFactory_7_0_0() = default;

// ---------------------------------------------------------------- ZProperties_7_0_0

ZProperties_7_0_0::ZProperties_7_0_0() = default;
ZProperties_7_0_0::~ZProperties_7_0_0() = default;

int ZProperties_7_0_0::isObfuscated(const char*, const char*) const { return 0; }
int ZProperties_7_0_0::isObfuscated(const char*) const { return 0; }

unsigned int ZProperties_7_0_0::getIntegerValue(const char* stanza, const char* key, int flags,
                                                unsigned int defaultValue) const {
  long long v = getLongLongValue(stanza, key, flags, static_cast<long long>(defaultValue));
  // A number that does not fit would come back as some other number.
  if (v < INT_MIN || v > static_cast<long long>(UINT_MAX)) return defaultValue;
  return static_cast<unsigned int>(v);
}

long long ZProperties_7_0_0::getLongLongValue(const char* stanza, const char* key, int flags,
                                              long long defaultValue) const {
  ZUTF8String_7_0_0 text;
  if (!getValue(stanza, key, text, flags, nullptr) || text.isEmpty()) return defaultValue;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.getChars(), &end, 10);
  if (errno != 0 || !end || *end != '\0') return defaultValue;
  return v;
}

int ZProperties_7_0_0::getBooleanValue(const char* stanza, const char* key, int flags,
                                       int defaultValue) const {
  ZUTF8String_7_0_0 text;
  if (!getValue(stanza, key, text, flags, nullptr)) return defaultValue;
  const char* t = text.getChars();
  for (const char* yes : {"yes", "true", "on", "1"})
    if (strcasecmp(t, yes) == 0) return 1;
  for (const char* no : {"no", "false", "off", "0"})
    if (strcasecmp(t, no) == 0) return 0;
  return defaultValue;
}

void ZProperties_7_0_0::getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values,
                                  int& count, ZPropertyStringType type) const {
  int before = values.size();
  getValues(stanza, key, values, type);
  count = values.size() - before;
}

void ZProperties_7_0_0::reload(const char* fileName) { load(fileName); }

void ZProperties_7_0_0::setValue(const char* stanza, const char* key, const char* value) {
  setValue(stanza, key, value, 0);
}
void ZProperties_7_0_0::setValue(const char* stanza, const char* key, const ZLCString_7_0_0& value, int flags) {
  setValue(stanza, key, value.getChars(), flags);
}
void ZProperties_7_0_0::setValue(const char* stanza, const char* key, const ZUTF8String_7_0_0& value,
                                 int flags) {
  setValue(stanza, key, value.getChars(), flags);
}
void ZProperties_7_0_0::setValue(const char* stanza, const char* key, const ZLCConstString_7_0_0& value,
                                 int flags) {
  std::string text = ornz::reportingMemory(kModule, __LINE__, [&] { return std::string(value.data(), value.size()); });
  setValue(stanza, key, text.c_str(), flags);
}
void ZProperties_7_0_0::setValue(const char* stanza, const char* key, const ZUTF8ConstString_7_0_0& value,
                                 int flags) {
  std::string text = ornz::reportingMemory(kModule, __LINE__, [&] { return std::string(value.data(), value.size()); });
  setValue(stanza, key, text.c_str(), flags);
}

void ZProperties_7_0_0::setIntegerValue(const char* stanza, const char* key, unsigned int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%u", value);
  setValue(stanza, key, text, 0);
}

void ZProperties_7_0_0::setLongLongValue(const char* stanza, const char* key, long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld", value);
  setValue(stanza, key, text, 0);
}

void ZProperties_7_0_0::setBooleanValue(const char* stanza, const char* key, int value) {
  setValue(stanza, key, value ? "yes" : "no", 0);
}

void ZProperties_7_0_0::postLoad(const char*) {}

void ZProperties_7_0_0::checkComment(ZLCString_7_0_0& comment) {
  ornz::reportingMemory(kModule, __LINE__, [&] {
  std::string out;
  const char* p = comment.getChars();
  for (;;) {
    const char* nl = std::strchr(p, '\n');
    std::string line(p, nl ? static_cast<std::size_t>(nl - p) : std::strlen(p));
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] != '#') line = line.empty() ? "#" : "# " + line;
    out += line;
    if (!nl) break;
    out += '\n';
    p = nl + 1;
    if (!*p) break;
  }
  comment.assign(out.c_str(), out.size());
  });
}

void ZProperties_7_0_0::setAttributes(unsigned long, void*) {}
int ZProperties_7_0_0::checkAccess(const char*, const char*, int) const { return 1; }

void ZProperties_7_0_0::addValue(const char*, const char*, const char*, int) { notSupported(__LINE__); }
void ZProperties_7_0_0::addValue(const char* stanza, const char* key, const ZLCString_7_0_0& value, int flags) {
  addValue(stanza, key, value.getChars(), flags);
}
void ZProperties_7_0_0::addValue(const char* stanza, const char* key, const ZUTF8String_7_0_0& value,
                                 int flags) {
  addValue(stanza, key, value.getChars(), flags);
}
void ZProperties_7_0_0::addValue(const char* stanza, const char* key, const ZLCConstString_7_0_0& value,
                                 int flags) {
  std::string text = ornz::reportingMemory(kModule, __LINE__, [&] { return std::string(value.data(), value.size()); });
  addValue(stanza, key, text.c_str(), flags);
}
void ZProperties_7_0_0::addValue(const char* stanza, const char* key, const ZUTF8ConstString_7_0_0& value,
                                 int flags) {
  std::string text = ornz::reportingMemory(kModule, __LINE__, [&] { return std::string(value.data(), value.size()); });
  addValue(stanza, key, text.c_str(), flags);
}

void ZProperties_7_0_0::addValues(const char* stanza, const char* key, const ZArrayList_7_0_0& values,
                                  int flags) {
  for (int i = 0; i < values.size(); ++i) {
    auto* s = dynamic_cast<const ZAbstractString_7_0_0*>(values.get(i));
    if (!s) continue;
    std::string text = ornz::reportingMemory(kModule, __LINE__, [&] { return std::string(s->data(), s->size()); });
    addValue(stanza, key, text.c_str(), flags);
  }
}

void ZProperties_7_0_0::getStanza(const char*, ZPropertiesKVList_7_0_0&) const { notSupported(__LINE__); }
void ZProperties_7_0_0::keyNames(const char*, ZArrayList_7_0_0&) const { notSupported(__LINE__); }
void ZProperties_7_0_0::addStanza(const char*) { notSupported(__LINE__); }
void ZProperties_7_0_0::deleteStanza(const char*) { notSupported(__LINE__); }
void ZProperties_7_0_0::addStanzaComment(const char*, const char*) { notSupported(__LINE__); }

void ZProperties_7_0_0::getItems(ZStzFileItem_7_0_0* items, int count) const {
  for (int i = 0; i < count; ++i) {
    ZStzFileItem_7_0_0& item = items[i];
    if (item.kind != ZSTZ_ITEM_LCSTRING || !item.destination) {
      ZInvalidParameterException_7_0_0 e("unsupported item kind or null destination");
      e.throwException(kModule, __LINE__);
    }
    getValue(item.stanza, item.key, *static_cast<ZLCString_7_0_0*>(item.destination), 0, nullptr);
  }
}

ZProperties_7_0_0* ZProperties_7_0_0::getPropertiesFor(const char* fileName,
                                                       ZAbstractPropertiesFactory_7_0_0& factory,
                                                       int flags) {
  if (!fileName) {
    ZInvalidParameterException_7_0_0 e("null file name");
    e.throwException(kModule, __LINE__);
  }
  return ornz::reportingMemory(kModule, __LINE__, [&]() -> ZProperties_7_0_0* {
  Registry& r = registry();
  // Made once: every later look-up, the clean-up after a failure included,
  // must not need memory of its own.
  const std::string key(fileName);
  for (;;) {
    std::shared_ptr<RegistryEntry> entry;
    {
      std::lock_guard<std::mutex> hold(r.mutex);
      auto it = r.entries.try_emplace(key).first;
      if (!it->second) {
        try {
          it->second = std::make_shared<RegistryEntry>();
        } catch (...) {
          r.entries.erase(it);  // no empty slot stays behind a failed look-up
          throw;
        }
      }
      entry = it->second;
    }
    // One loader per file; the others wait here and then share its object.
    std::lock_guard<std::mutex> loading(entry->loading);
    if (entry->object) return entry->object;
    {
      std::lock_guard<std::mutex> hold(r.mutex);
      auto it = r.entries.find(key);
      if (it == r.entries.end() || it->second != entry) continue;  // a failed load dropped it
    }
    ZProperties_7_0_0* object = nullptr;
    try {
      // Inside the try: a factory that fails must drop the entry too, or a
      // look-up that ran out of memory would leave its slot behind.
      object = factory.makePropertiesInstance();
      if (!object) ornz::throwOutOfMemory(kModule, __LINE__);
      struct stat st;
      bool missing = (flags & ZPROPERTIES_MISSING_OK) && ::stat(fileName, &st) != 0 && errno == ENOENT;
      if (!missing) {
        object->load(fileName);
      } else if (auto* stanzas = dynamic_cast<ZStanzaFileProperties_7_0_0*>(object)) {
        stanzas->standForMissingFile(fileName);  // a store merges with a file made meanwhile
      }
    } catch (...) {
      delete object;
      std::lock_guard<std::mutex> hold(r.mutex);
      auto it = r.entries.find(key);
      if (it != r.entries.end() && it->second == entry) r.entries.erase(it);
      throw;
    }
    entry->object = object;
    return object;
  }
  });
}

// ---------------------------------------------------------------- ZPropertiesKVList_7_0_0

ZPropertiesKVList_7_0_0::ZPropertiesKVList_7_0_0() = default;
ZPropertiesKVList_7_0_0::~ZPropertiesKVList_7_0_0() = default;
int ZPropertiesKVList_7_0_0::getItemCount() const { return static_cast<int>(items_.size()); }
const char* ZPropertiesKVList_7_0_0::getItemKey(int index) const {
  return index >= 0 && index < getItemCount() ? items_[index].first.c_str() : nullptr;
}
const char* ZPropertiesKVList_7_0_0::getItemValue(int index) const {
  return index >= 0 && index < getItemCount() ? items_[index].second.c_str() : nullptr;
}
void ZPropertiesKVList_7_0_0::clear() { items_.clear(); }
void ZPropertiesKVList_7_0_0::add(const char* key, std::size_t keyLength, const char* value,
                                  std::size_t valueLength) {
  ornz::reportingMemory(kModule, __LINE__, [&] { items_.emplace_back(std::string(key, keyLength), std::string(value, valueLength)); });
}
