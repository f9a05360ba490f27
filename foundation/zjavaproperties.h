// Java-style properties files: "key=value", "key: value" or "key value"
// lines, "#" and "!" comments, backslash continuations and escapes.
#ifndef ORNUTIL_FOUNDATION_ZJAVAPROPERTIES_H
#define ORNUTIL_FOUNDATION_ZJAVAPROPERTIES_H

#include <string>
#include <unordered_map>

#include "foundation/export.h"
#include "foundation/zobject.h"
#include "foundation/zstring.h"

class ORNUTIL_API ZJavaProperties_7_0_0 : public ZObject_7_0_0 {
 public:
  ZJavaProperties_7_0_0();
  ~ZJavaProperties_7_0_0() override;

  // Reads the file, replacing what the object held. Returns 1 when the file
  // was read and, if `requiredKey` is not null, holds that key; 0 otherwise
  // (the object is then empty). Never raises for a missing or unreadable
  // file; allocation failures raise ZOutOfMemoryException_7_0_0.
  int load(const char* fileName, const char* requiredKey);
  // Parses text directly (same rules as load).
  void parse(const std::string& text);
  // The key's value into `value` (empty when absent); 1 when present.
  int getValue(const char* key, ZAbstractMutableString_7_0_0& value) const;
  bool exists(const char* key) const;
  int size() const { return static_cast<int>(values_.size()); }

 private:
  std::unordered_map<std::string, std::string> values_;
};

#endif
