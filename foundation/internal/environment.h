// The process environment and locale as the library reads them: every
// environment variable the library reads is named here and read through this
// module, and what it does in a privileged process is decided here once.
//
// Privileged callers. Programs that run set-user-ID, set-group-ID or with
// file capabilities load the library; in such a secure-execution process
// (getauxval(AT_SECURE), which the kernel sets) the person who starts the
// program chooses its environment. As glibc's secure_getenv (and ld.so, which
// removes NLSPATH from such a process), the library then ignores a variable
// that names a file, a directory or a search path: records go to standard
// error, catalogues are looked for only where the library itself put them.
// A value the library put itself (putEnvironment) is still read.
//
// Threads. The library changes one variable (NLSPATH, at start-up) and reads
// it on every catalogue look-up; putenv may move the environment array while
// getenv walks it in another thread, so both go through one mutex. Likewise
// it sets the locale once (kelmsg_init) and reads the LC_MESSAGES locale's
// name whenever it opens the catalogue; setlocale frees the names it
// replaces, so both go through a second mutex. (A setlocale or putenv of the
// program's own, in another thread, is not covered: programs set them before
// they start threads.)
#ifndef ORNUTIL_FOUNDATION_INTERNAL_ENVIRONMENT_H
#define ORNUTIL_FOUNDATION_INTERNAL_ENVIRONMENT_H

#include <string>

namespace ornz {

// Every variable the library reads.
enum class Variable {
  svcLog,    // ORN_SVC_LOG: the file records are appended to (a file)
  svcDebug,  // ORN_SVC_DEBUG: debug levels (read in every process, as ld.so
             // reads LD_DEBUG; its records still go to standard error)
  nlsPath,   // NLSPATH: where message catalogues are found (a search path)
  risDir,    // ORN_RIS_DIR: the family's internationalisation directory
};

// The variable's name ("ORN_SVC_LOG", ...).
const char* variableName(Variable variable);

// The variable's value; `present` tells an empty value from an unset one.
// In a secure-execution process a variable that names a file, a directory or
// a search path reads as unset, unless its value is one putEnvironment put.
// Throws std::bad_alloc only.
std::string readEnvironment(Variable variable, bool* present = nullptr);

// putenv(entry) under the same mutex; the environment keeps `entry`
// ("NAME=value"), and a later read of that variable takes it as the
// library's own value.
void putEnvironment(char* entry);

// True in a secure-execution process: AT_SECURE in the auxiliary vector, or
// the test hook below.
bool secureExecution();

// Test hook: makes secureExecution() true (or AT_SECURE alone again) for the
// rest of the process, so that tests reach the secure paths without a
// privileged program.
void forceSecureExecutionForTesting(bool on);

// setlocale(category, locale) under the locale mutex; true when it succeeded.
bool setLocale(int category, const char* locale);
// A copy of the name of the calling thread's locale for `category` (a
// category such as LC_MESSAGES, not LC_ALL), as
// nl_langinfo(_NL_LOCALE_NAME(category)) gives it, read under the locale
// mutex; "" when there is none.
std::string readLocaleName(int category);

}  // namespace ornz

#endif
