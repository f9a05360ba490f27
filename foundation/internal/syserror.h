// The text of an error number, safe from any thread. strerror may hand back a
// buffer that another thread's call overwrites; every message of the library
// that names a system error takes its text from here.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_SYSERROR_H
#define ORNUTIL_FOUNDATION_INTERNAL_SYSERROR_H

#include <string>

namespace ornz {

// The text of `err` ("No such file or directory"), or "Unknown error N".
// Never throws but std::bad_alloc.
std::string errorText(int err);

// The same text written into the caller's buffer (always terminated, cut to
// fit); returns `buffer`. For paths that must not allocate.
const char* errorText(int err, char* buffer, std::size_t size) noexcept;

}  // namespace ornz

#endif
