#include "foundation/internal/environment.h"

#include <cstdlib>
#include <mutex>

namespace ornz {

namespace {
std::mutex& environmentMutex() {
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

}  // namespace ornz
