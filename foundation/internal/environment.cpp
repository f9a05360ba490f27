#include "foundation/internal/environment.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <mutex>

namespace ornz {

namespace {
std::mutex& environmentMutex() {
  static std::mutex* m = new std::mutex;  // used until the process ends
  return *m;
}

std::mutex& localeMutex() {
  static std::mutex* m = new std::mutex;  // used until the process ends
  return *m;
}
}  // namespace

std::string readEnvironment(const char* name, bool* present) {
  std::lock_guard<std::mutex> hold(environmentMutex());
  const char* value = std::getenv(name);
  if (present) *present = value != nullptr;
  return value ? value : "";
}

void putEnvironment(char* entry) {
  std::lock_guard<std::mutex> hold(environmentMutex());
  putenv(entry);
}

bool setLocale(int category, const char* locale) {
  std::lock_guard<std::mutex> hold(localeMutex());
  return setlocale(category, locale) != nullptr;
}

std::string readLocaleName(int category) {
  std::lock_guard<std::mutex> hold(localeMutex());
  // _NL_LOCALE_NAME is glibc's (_GNU_SOURCE): the name inside the locale
  // object, which a setlocale of the category replaces and frees.
  const char* name = nl_langinfo(_NL_LOCALE_NAME(category));
  return name ? name : "";
}

}  // namespace ornz
