#include "foundation/internal/nlspath.h"

namespace ornz {

const char kDefaultCatalogueSearchPath[] =
    "/usr/share/locale/%L/%N:/usr/share/locale/%L/LC_MESSAGES/%N:"
    "/usr/share/locale/%l/%N:/usr/share/locale/%l/LC_MESSAGES/%N";

namespace {

// The parts of a locale name language[_territory][.codeset], split where
// glibc's __open_catalog splits them: the first character always belongs to
// the language, and the search for '_' and '.' starts after it.
struct LocaleParts {
  std::string language, territory, codeset;
};

LocaleParts splitLocale(const std::string& locale) {
  LocaleParts parts;
  std::size_t languageEnd = locale.find_first_of("_.", 1);
  parts.language = locale.substr(0, languageEnd);
  if (languageEnd != std::string::npos && locale[languageEnd] == '_') {
    std::size_t territoryEnd = locale.find('.', languageEnd + 1);
    parts.territory = locale.substr(languageEnd + 1, territoryEnd == std::string::npos
                                                         ? std::string::npos
                                                         : territoryEnd - languageEnd - 1);
  }
  std::size_t dot = locale.find('.', 1);
  if (dot != std::string::npos) parts.codeset = locale.substr(dot + 1);
  return parts;
}

// Expands one element; false when it holds a sequence glibc does not know.
bool expandElement(const std::string& element, const std::string& name, const std::string& locale,
                   const LocaleParts& parts, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < element.size(); ++i) {
    if (element[i] != '%') {
      out += element[i];
      continue;
    }
    if (++i == element.size()) return false;
    switch (element[i]) {
      case 'N': out += name; break;
      case 'L': out += locale; break;
      case 'l': out += parts.language; break;
      case 't': out += parts.territory; break;
      case 'c': out += parts.codeset; break;
      case '%': out += '%'; break;
      default: return false;
    }
  }
  return true;
}

void appendCandidates(const std::string& path, const std::string& name, const std::string& locale,
                      const LocaleParts& parts, std::vector<std::string>& out) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t colon = path.find(':', start);
    std::size_t end = colon == std::string::npos ? path.size() : colon;
    std::string expanded;
    if (end > start && expandElement(path.substr(start, end - start), name, locale, parts, expanded) &&
        !expanded.empty())
      out.push_back(std::move(expanded));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
}

}  // namespace

std::vector<std::string> catalogueCandidates(const std::string& nlspath, const std::string& name,
                                             const std::string& locale) {
  const std::string effectiveLocale = locale.empty() ? "C" : locale;
  const LocaleParts parts = splitLocale(effectiveLocale);
  std::vector<std::string> candidates;
  appendCandidates(nlspath, name, effectiveLocale, parts, candidates);
  appendCandidates(kDefaultCatalogueSearchPath, name, effectiveLocale, parts, candidates);
  return candidates;
}

}  // namespace ornz
