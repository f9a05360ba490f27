// The file names at which a message catalogue is looked for: NLSPATH and
// glibc's default search path, expanded as glibc's catopen expands them, so
// that the catalogue module can check each file before catopen reads it.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_NLSPATH_H
#define ORNUTIL_FOUNDATION_INTERNAL_NLSPATH_H

#include <string>
#include <vector>

namespace ornz {

// glibc's built-in search path, searched after NLSPATH (glibc's NLSPATH
// macro, with prefix /usr).
extern const char kDefaultCatalogueSearchPath[];

// The candidate file names for catalogue `name`, in the order catopen tries
// them: the elements of `nlspath` (the value of NLSPATH; "" when unset or
// empty) followed by those of kDefaultCatalogueSearchPath. In each element
//   %N is `name`,
//   %L is `locale` (the LC_MESSAGES locale name; "" is taken as "C"),
//   %l its language part (up to the first '_' or '.'),
//   %t its territory part (after '_', up to '.'; empty when there is none),
//   %c its codeset part (after '.'; empty when there is none),
//   %% a single '%'.
// An element holding any other '%' sequence (or a '%' at its end) is left
// out, as glibc leaves it out. Empty elements are left out too, where glibc
// would try `name` relative to the current directory: a catalogue is never
// taken from wherever the process happens to run. Never fails (but for
// std::bad_alloc).
std::vector<std::string> catalogueCandidates(const std::string& nlspath, const std::string& name,
                                             const std::string& locale);

}  // namespace ornz

#endif
