#include "foundation/internal/environment.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/auxv.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace ornz {

namespace {

// One row per Variable, in its order.
const struct {
  const char* name;
  bool namesPath;  // a file, a directory or a search path: ignored when secure
} kVariables[] = {
    {"ORN_SVC_LOG", true},     // svcLog
    {"ORN_SVC_DEBUG", false},  // svcDebug
    {"NLSPATH", true},         // nlsPath
    {"ORN_RIS_DIR", true},     // risDir
};
constexpr std::size_t kCount = sizeof kVariables / sizeof kVariables[0];

std::mutex& environmentMutex() {
  static std::mutex* m = new std::mutex;  // used until the process ends
  return *m;
}

std::mutex& localeMutex() {
  static std::mutex* m = new std::mutex;  // used until the process ends
  return *m;
}

// The entry putEnvironment last put for each variable (guarded by the
// environment mutex). putenv keeps the pointer itself in the environment, so
// the entry found there is the library's own exactly when it is this one.
const char* ownEntry[kCount] = {};

std::atomic<bool> forcedSecure{false};

}  // namespace

const char* variableName(Variable variable) { return kVariables[static_cast<std::size_t>(variable)].name; }

bool secureExecution() {
  return forcedSecure.load(std::memory_order_relaxed) || getauxval(AT_SECURE) != 0;
}

void forceSecureExecutionForTesting(bool on) { forcedSecure.store(on, std::memory_order_relaxed); }

std::string readEnvironment(Variable variable, bool* present) {
  const std::size_t index = static_cast<std::size_t>(variable);
  const char* name = kVariables[index].name;
  std::lock_guard<std::mutex> hold(environmentMutex());
  const char* value = std::getenv(name);
  if (value && kVariables[index].namesPath && secureExecution() &&
      value - std::strlen(name) - 1 != ownEntry[index])
    value = nullptr;
  if (present) *present = value != nullptr;
  return value ? value : "";
}

void putEnvironment(char* entry) {
  std::lock_guard<std::mutex> hold(environmentMutex());
  for (std::size_t i = 0; i < kCount; ++i) {
    std::size_t n = std::strlen(kVariables[i].name);
    if (std::strncmp(entry, kVariables[i].name, n) == 0 && entry[n] == '=') ownEntry[i] = entry;
  }
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
