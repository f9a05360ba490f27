// The library's one rule for memory running out: the standard library's
// std::bad_alloc never leaves an exported function; it becomes the
// foundation's ZOutOfMemoryException_7_0_0 carrying the module's source path
// and the line of the work that failed. Every module states the rule through
// these helpers instead of writing its own catch.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_MEMORYRULE_H
#define ORNUTIL_FOUNDATION_INTERNAL_MEMORYRULE_H

#include <new>
#include <utility>

#include "foundation/zexception.h"

namespace ornz {

// Runs `body` and returns what it returns; a std::bad_alloc raised inside it
// is raised again as ZOutOfMemoryException_7_0_0 from (`module`, `line`).
// Any other exception passes unchanged.
template <typename Body>
auto reportingMemory(const char* module, int line, Body&& body) -> decltype(body()) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    throwOutOfMemory(module, line);
  }
}

// Runs `body`; when it raises anything, `undo` runs (it must not throw) and
// the exception goes on, a std::bad_alloc as ZOutOfMemoryException_7_0_0
// from (`module`, `line`). The one shape of every all-or-nothing writer: do
// the steps, and on any failure put back what the steps already did.
template <typename Body, typename Undo>
auto allOrNothing(const char* module, int line, Body&& body, Undo&& undo) -> decltype(body()) {
  try {
    return reportingMemory(module, line, std::forward<Body>(body));
  } catch (...) {
    undo();
    throw;
  }
}

}  // namespace ornz

#endif
