// Taking back the adds of a name/value writer that could not make them all:
// the typed object's array and attribute-list writers add one value at a
// time, and a failure half-way must leave the object as it was.
#ifndef ORNUTIL_UTIL_INTERNAL_NAMEVALUE_UNDO_H
#define ORNUTIL_UTIL_INTERNAL_NAMEVALUE_UNDO_H

#include <string>
#include <vector>

#include "util/NameValueMap.h"

// Watches names of one level (the root, or the subtree of a scope in it)
// before a writer adds to them. Unless commit() is called, the destructor
// takes every watched name back to the values it had (dropping its entry
// when it had none) and drops a scope entry made for the writer. Taking
// values off the end and dropping an entry need no memory, so the undo
// itself cannot fail.
class ORNUTIL_LOCAL NameValueMap::AddsUndo {
 public:
  // `scope` (null for the root) is not copied: it must outlive this.
  AddsUndo(NameValueMap& root, char const* scope);
  ~AddsUndo();
  AddsUndo(AddsUndo const&) = delete;
  AddsUndo& operator=(AddsUndo const&) = delete;

  // Makes room for `names` watches, so that watch() then needs memory only
  // for the names' texts. Throws ZOutOfMemoryException_7_0_0.
  void reserve(std::size_t names);
  // Records what the name holds now. Call before any add; throws
  // ZOutOfMemoryException_7_0_0 (nothing has changed yet then).
  void watch(char const* name);
  // The level, made when missing. Call after the watches.
  NameValueMap& level();
  // The adds are to stay.
  void commit() noexcept { committed_ = true; }

 private:
  struct Watched {
    std::string name;
    unsigned int count;
    bool present;
  };
  NameValueMap& root_;
  char const* scope_;
  bool scopePresent_;
  bool committed_ = false;
  std::vector<Watched> watched_;
};

#endif
