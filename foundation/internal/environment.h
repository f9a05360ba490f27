// The library changes one environment variable (NLSPATH, at start-up) and
// reads it on every catalogue look-up. putenv may move the environment array
// while getenv walks it in another thread, so both go through one mutex.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_ENVIRONMENT_H
#define ORNUTIL_FOUNDATION_INTERNAL_ENVIRONMENT_H

#include <string>

namespace ornz {

// The variable's value; `present` tells an empty value from an unset one.
std::string readEnvironment(const char* name, bool* present = nullptr);
// putenv(entry) under the same mutex; the environment keeps `entry`.
void putEnvironment(char* entry);

}  // namespace ornz

#endif
