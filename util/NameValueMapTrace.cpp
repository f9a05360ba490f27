// NameValueMap's trace text, with the values of secret names masked.
#include "util/NameValueMap.h"

#include <cstring>

#include "foundation/zexception.h"

ZHashMap_7_0_0* NameValueMap::namesNotToTrace = nullptr;
pthread_once_t NameValueMap::inst_once = PTHREAD_ONCE_INIT;

// The once-routine: pthread_once takes a C function.
extern "C" ORNUTIL_LOCAL void NameValueMap_c_initializeNamesNotToTrace() {
  NameValueMap::initializeNamesNotToTrace();
}

namespace {

const char kMask[] = "******";
const char kValueBreak[] = "\n\t\t\t\t";

void appendIndent(ZUTF8String_7_0_0& out, int depth) {
  for (int i = 0; i <= depth; ++i) out.append("\t", 1);
}

bool isText(const ZAbstractString_7_0_0& s, const char* text) {
  return s.getLength() == std::strlen(text) && std::memcmp(s.getChars(), text, s.getLength()) == 0;
}

}  // namespace

void NameValueMap::initializeNamesNotToTrace() {
  // Runs once and is never undone: the set and its elements live as long as
  // the process. A failure here leaves the set unbuilt; tracing then stops
  // with the exception rather than show a secret.
  ZHashMap_7_0_0* names = new ZHashMap_7_0_0(10, 0);
  if (!names) return;
  for (const char* name : {"resourcepassword", "pwd", "password", "server_pwd"}) {
    auto* element = new ZUTF8ConstString_7_0_0(name);
    if (!element) return;
    names->add(element);
  }
  namesNotToTrace = names;
}

void NameValueMap::buildTraceBuf(ZUTF8String_7_0_0& out, int depth) const {
  pthread_once(&inst_once, NameValueMap_c_initializeNamesNotToTrace);
  if (!namesNotToTrace) ornz::throwOutOfMemory("util/NameValueMap", __LINE__);

  ZArrayList_7_0_0 names(10, 0);
  ZArrayList_7_0_0 entries(10, 0);
  map_.listKeys(names);
  map_.listObjects(entries);
  int count = names.size();

  appendIndent(out, depth);
  out.append("number of entries = ");
  out.append(ZUTF8String_7_0_0(count));
  out.append("\n");
  if (count == 0) return;

  // "obfuscate" = "true" masks this level's "value" (not deeper levels').
  bool obfuscate = false;
  for (int i = 0; i < count; ++i) {
    auto const* name = static_cast<ZAbstractString_7_0_0 const*>(names.get(i));
    auto const* entry = static_cast<NameValueEntry const*>(entries.get(i));
    if (entry->subtree().map_.size() == 0 && isText(*name, "obfuscate")) {
      auto const* first = dynamic_cast<ZAbstractString_7_0_0 const*>(entry->values().get(0));
      obfuscate = first && first->compareTo("true") == 0;
    }
  }

  for (int i = 0; i < count; ++i) {
    auto const* name = static_cast<ZAbstractString_7_0_0 const*>(names.get(i));
    auto const* entry = static_cast<NameValueEntry const*>(entries.get(i));
    if (entry->subtree().map_.size() > 0) {
      out.append("\t", 1);
      out.append(*name);
      out.append(" is a subtree\n");
      entry->subtree().buildTraceBuf(out, depth + 1);
      continue;
    }
    ZArrayList_7_0_0 const& values = entry->values();
    int valueCount = values.size();
    appendIndent(out, depth);
    out.append("num values = ");
    out.append(ZUTF8String_7_0_0(valueCount));
    out.append("\t", 1);
    out.append(*name);
    out.append(" = ");
    bool masked = namesNotToTrace->contains(*name) || (obfuscate && isText(*name, "value"));
    bool signon = isText(*name, "resourceuserid");
    if (valueCount > 1) out.append(kValueBreak);
    for (int v = 0; v < valueCount; ++v) {
      if (v > 0) out.append(kValueBreak);
      if (masked) {
        out.append(kMask);
        continue;
      }
      auto const* text = dynamic_cast<ZAbstractString_7_0_0 const*>(values.get(v));
      if (!text) continue;
      if (signon && isText(*text, "-signon@%null"))
        out.append("-signon@null");
      else
        out.append(*text);
    }
    out.append("\n", 1);
  }
}
