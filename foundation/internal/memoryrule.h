// The library's one rule for memory running out: the standard library's
// std::bad_alloc never leaves an exported function; it becomes the
// foundation's ZOutOfMemoryException_7_0_0 carrying the module's source path
// and the line of the work that failed. Every module states the rule through
// these helpers instead of writing its own catch.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_MEMORYRULE_H
#define ORNUTIL_FOUNDATION_INTERNAL_MEMORYRULE_H

#include <cstdlib>
#include <new>
#include <utility>

#include "foundation/svc.h"
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

// Runs `body` and returns what it returns; when memory runs out inside it
// (std::bad_alloc or ZOutOfMemoryException_7_0_0), returns `otherwise()`
// instead. For C entry points whose contract answers exhausted memory with a
// status, a fallback or null rather than an exception.
template <typename Body, typename Otherwise>
auto orWhenOutOfMemory(Body&& body, Otherwise&& otherwise) -> decltype(body()) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
  } catch (const ZOutOfMemoryException_7_0_0&) {
  }
  return std::forward<Otherwise>(otherwise)();
}

// Logs the general out-of-memory message 0x10652065 from (`module`, `line`),
// for callers whose contract reports exhausted memory in the log and then
// answers with a status (the item loader, kelmsg_init).
inline void logOutOfMemory(const char* module, int line) {
  orn_svc_printf_withfile(bas_svc_handle, module, line, "", 0, ORN_SVC_ATTR_FATAL, 0x10652065u);
}

// For state made once per process, whose contract is to stop rather than
// to go on without it (start-up, a process-wide lock, the compliance mode):
// logOutOfMemory(`module`, `line`), then the process aborts.
[[noreturn]] inline void abortOutOfMemory(const char* module, int line) {
  logOutOfMemory(module, line);
  std::abort();
}

// Runs `body` and returns what it returns; when memory runs out inside it,
// abortOutOfMemory(`module`, `line`).
template <typename Body>
auto orAbortOutOfMemory(const char* module, int line, Body&& body) -> decltype(body()) {
  return orWhenOutOfMemory(std::forward<Body>(body), [&]() -> decltype(body()) { abortOutOfMemory(module, line); });
}

}  // namespace ornz

#endif
