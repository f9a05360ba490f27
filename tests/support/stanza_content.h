// Describes what a stanza file holds (stanzas, keys and values, in file
// order, comments and layout left out), so that two loads of a text can be
// compared. Header-only: the fuzz targets use it too.
#ifndef ORNUTIL_TESTS_SUPPORT_STANZA_CONTENT_H
#define ORNUTIL_TESTS_SUPPORT_STANZA_CONTENT_H

#include <string>
#include <vector>

#include "foundation/internal/stanzadoc.h"
#include "foundation/zproperties.h"
#include "foundation/zstanzafile.h"

namespace ornutil_test {

// The stanza names of `text` in file order (lenient parse).
inline std::vector<std::string> stanzaNamesOf(const std::string& text) {
  ornz::StanzaDocument doc;
  doc.parse(text, "(text)", false);
  std::vector<std::string> names;
  for (std::int32_t s : doc.stanzas()) names.emplace_back(doc.stanzaName(s));
  return names;
}

// "[name]" then "key=value" lines of the listed stanzas, through the public
// interface, with the number of stanzas the object reports first.
inline std::string describe(const ZStanzaFileProperties_7_0_0& p, const std::vector<std::string>& names) {
  std::string out = "count " + std::to_string(p.count()) + "\n";
  for (const std::string& name : names) {
    out += "[" + name + "]" + (p.exists(name.c_str()) ? "\n" : " missing\n");
    ZPropertiesKVList_7_0_0 list;
    p.getStanza(name.c_str(), list);
    for (int i = 0; i < list.getItemCount(); ++i)
      out += std::string(list.getItemKey(i)) + "=" + list.getItemValue(i) + "\n";
  }
  return out;
}

inline std::string describe(const ZStanzaFileProperties_7_0_0& p) { return describe(p, stanzaNamesOf(p.text())); }

}  // namespace ornutil_test

#endif
