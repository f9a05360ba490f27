// Process-wide state the library both changes and reads from any thread.
// The library changes one environment variable (NLSPATH, at start-up) and
// reads it on every catalogue look-up; putenv may move the environment array
// while getenv walks it in another thread, so both go through one mutex.
// Likewise it sets the locale once (kelmsg_init) and reads the LC_MESSAGES
// locale's name whenever it opens the catalogue; setlocale frees the names it
// replaces, so both go through a second mutex. (A setlocale of the program's
// own, in another thread, is not covered: programs set the locale before
// they start threads.)
#ifndef ORNUTIL_FOUNDATION_INTERNAL_ENVIRONMENT_H
#define ORNUTIL_FOUNDATION_INTERNAL_ENVIRONMENT_H

#include <string>

namespace ornz {

// The variable's value; `present` tells an empty value from an unset one.
std::string readEnvironment(const char* name, bool* present = nullptr);
// putenv(entry) under the same mutex; the environment keeps `entry`.
void putEnvironment(char* entry);

// setlocale(category, locale) under the locale mutex; true when it succeeded.
bool setLocale(int category, const char* locale);
// A copy of the name of the calling thread's locale for `category` (a
// category such as LC_MESSAGES, not LC_ALL), as
// nl_langinfo(_NL_LOCALE_NAME(category)) gives it, read under the locale
// mutex; "" when there is none.
std::string readLocaleName(int category);

}  // namespace ornz

#endif
