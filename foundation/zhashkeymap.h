// A hash map from texts to foundation objects, and a hash set of objects.
#ifndef ORNUTIL_FOUNDATION_ZHASHKEYMAP_H
#define ORNUTIL_FOUNDATION_ZHASHKEYMAP_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "foundation/export.h"
#include "foundation/zobject.h"
#include "foundation/zstring.h"

class ZArrayList_7_0_0;

// Keys are strings matched by their text, whichever string class carries
// them; a look-up hashes and compares the caller's text in place, without
// copying it. An owning map (owns != 0) stores a copy of every key and value
// it is given (a view key is copied into an owning string) and deletes them
// when they are dropped; a non-owning map stores the caller's pointers.
// Keys are listed in insertion order. Allocation failures raise
// ZOutOfMemoryException_7_0_0 and leave the map as it was.
//
// Keys are hashed with the process's secret key (foundation/internal/hash.h)
// varied per table, so their slots cannot be chosen from outside; a table
// whose insert still walks a long run from a key's home slot (longer than
// the bound in zhashkeymap.cpp, about 8 slots per doubling of the table)
// takes a new variation and places its keys anew, once per size, so the work
// of an insert stays within that bound. Nothing of this shows: the order of
// keys is their insertion order, whatever the hash.
//
// Virtual slot order after ZObject_7_0_0's is fixed: isEmpty, size,
// contains, getEntry, putEntry, putAll, removeEntry, removeAll, listKeys,
// listObjects.
//
// A map is used by one thread at a time, unless a derived class has called
// enableConcurrentReaders(): then getEntry, contains, size and listKeys may
// run on any number of threads while other threads call putEntry. Readers
// take no lock and write nothing shared; writers serialise on a mutex and
// publish new tables atomically; replaced tables, keys and values are kept
// until the map is destroyed, so a value handed to a reader stays valid
// (never leaked, and never freed early when memory runs out: what an
// operation will keep is allocated before it changes anything).
// Copy assignment is not among the operations that may overlap readers.
class ORNUTIL_API ZHashKeyMap_7_0_0 : public ZObject_7_0_0 {
 public:
  explicit ZHashKeyMap_7_0_0(int capacity = 16, int owns = 1);
  ZHashKeyMap_7_0_0(const ZHashKeyMap_7_0_0& other);
  ZHashKeyMap_7_0_0& operator=(const ZHashKeyMap_7_0_0& other);
  ~ZHashKeyMap_7_0_0() override;

  // A deep copy when owning.
  ZObject_7_0_0* clone() const override;

  virtual bool isEmpty() const;
  virtual int size() const;
  virtual bool contains(const ZAbstractString_7_0_0& key) const;
  // The value stored under the key's text, or null when absent.
  virtual ZObject_7_0_0* getEntry(const ZAbstractString_7_0_0& key) const;
  // Stores the value under the key; a present key keeps its stored key
  // object and gets the new value (the old one is deleted when owning).
  virtual void putEntry(const ZAbstractString_7_0_0& key, const ZObject_7_0_0* value);
  // putEntry of every entry of `other`, in its order.
  virtual void putAll(const ZHashKeyMap_7_0_0& other);
  // Removes the key and its value; an absent key changes nothing. The rest
  // keep their order, so the table is closed up: a removal takes time in
  // proportion to the map's size.
  virtual void removeEntry(const ZAbstractString_7_0_0& key);
  // Removes every key and value.
  // Both removals need no memory and cannot fail, except in the
  // concurrent-readers mode: there what they drop is kept for the readers
  // in a record made first (and removeEntry builds a new table), and they
  // raise ZOutOfMemoryException_7_0_0, the map unchanged, when those cannot
  // be allocated.
  virtual void removeAll();
  // Appends the stored key objects (they stay owned by the map) to `keys`,
  // in insertion order. `keys` should not own its elements.
  virtual void listKeys(ZArrayList_7_0_0& keys) const;
  // Appends the stored values, in the same order.
  virtual void listObjects(ZArrayList_7_0_0& values) const;

  // Look-up by a plain text, same as getEntry.
  ZObject_7_0_0* find(const char* text, std::size_t length) const;

  // One stored entry. `chars` and `length` are the stored key's text.
  // `key` is null for an entry stored by adoptTextIfAbsent until listKeys
  // makes its key object (const readers may do so on several threads at
  // once, so it is read and set with atomic operations).
  // `hash` is the low half of the text's hash under the table's key (the
  // index uses its low bits; a look-up compares it before any byte).
  struct Entry {
    std::uint32_t hash;
    std::uint32_t length;
    const char* chars;
    ZAbstractString_7_0_0* key;
    std::atomic<ZObject_7_0_0*> value;
  };
  // The entries in insertion order (null when there are none) and their
  // number, for walkers inside the library that must neither allocate nor
  // make a virtual call per entry. Valid until the map changes.
  ORNUTIL_LOCAL const Entry* entries(std::uint32_t& count) const;
  // True when the map has never held an entry since it was made or emptied
  // with removeAll: a walker's quick test before entries().
  bool bare() const { return table_.load(std::memory_order_acquire) == nullptr; }
  // Exchanges the two maps' entries, never failing. Neither map may be in
  // the concurrent-readers mode.
  ORNUTIL_LOCAL void swapContents(ZHashKeyMap_7_0_0& other) noexcept;
  // An owning map only: when the `length` bytes at `text` are absent, stores
  // `value` itself (not a copy) under them and returns it; when present,
  // returns the value already stored and leaves `value` with the caller.
  // The text is kept in the map's own text store and the key object that
  // listKeys hands out is made on the first listKeys, so that a new name
  // costs no block of its own. Throws ZOutOfMemoryException_7_0_0 (the map
  // unchanged, `value` still the caller's) when the table or the text store
  // cannot grow.
  ORNUTIL_LOCAL ZObject_7_0_0* adoptTextIfAbsent(const char* text, std::size_t length, ZObject_7_0_0* value,
                                                bool& adopted);
  // Removal in two steps, for a caller taking back many adds at once:
  // markForRemoval drops the entry of the `length` bytes at `text` (an
  // absent text changes nothing) at once, so that look-ups no longer find
  // it, and sweepMarked then closes up the table once for all the marked
  // entries (removeEntry closes it up for each, which over many entries is
  // quadratic). Between the two the map may only be looked up, marked or
  // swept; its size still counts the marked entries. An owning map outside
  // the concurrent-readers mode only; neither step needs memory.
  ORNUTIL_LOCAL void markForRemoval(const char* text, std::size_t length) noexcept;
  ORNUTIL_LOCAL void sweepMarked() noexcept;

  // How far the map's look-ups walk, for its tests: the longest and the
  // summed distance of the entries from their home slots, the bound an
  // insert accepts, and the table's hash variation with the number of times
  // it was changed since the table last grew. All 0 for a bare map.
  struct ProbeStats {
    std::uint32_t longest, total, bound, reseeds;
    std::uint64_t salt;
  };
  ORNUTIL_LOCAL ProbeStats probeStats() const;

 protected:
  // Switches the map to the concurrent-readers mode described above. Call
  // before the map is shared.
  void enableConcurrentReaders();

 private:
  struct Table;
  struct Retired;

  ORNUTIL_LOCAL Entry* lookUp(const Table* table, std::uint64_t hash, const char* text, std::size_t length) const;
  // The hash of a text under the table's key.
  ORNUTIL_LOCAL static std::uint64_t hashIn(const Table* table, const char* text, std::size_t length);
  ORNUTIL_LOCAL Table* newTable(std::uint32_t capacity) const;
  // A new table of `capacity` holding `from`'s entries (all but `skip`) in
  // order, under `salt` (their hashes made anew when it is not `from`'s).
  ORNUTIL_LOCAL Table* copyTable(const Table* from, std::uint32_t capacity, const Entry* skip,
                                 std::uint64_t salt) const;
  ORNUTIL_LOCAL void publish(Table* table);
  // Keeping what an operation drops while readers may hold it: a record
  // for `objects` keys and values (and a table, when `table`), made before
  // the operation changes anything, or null when nothing needs keeping.
  // Throws ZOutOfMemoryException_7_0_0.
  ORNUTIL_LOCAL Retired* reserveRetired(std::uint32_t objects, bool table);
  ORNUTIL_LOCAL void drop(ZObject_7_0_0* object, Retired* keep);
  ORNUTIL_LOCAL void commitRetired(Retired* keep);
  ORNUTIL_LOCAL static void freeTables(Table* table);
  // putEntry's steps: a present key's value replaced; the copies an owning
  // map keeps (made before anything changes; the caller's pointers
  // otherwise); a new entry appended to a table with room for it.
  ORNUTIL_LOCAL void insert(const ZAbstractString_7_0_0& key, const ZObject_7_0_0* value);
  ORNUTIL_LOCAL void replaceValue(Entry& entry, const ZObject_7_0_0* value);
  ORNUTIL_LOCAL void storedCopies(const ZAbstractString_7_0_0& key, const ZObject_7_0_0* value,
                                  ZAbstractString_7_0_0*& storedKey, ZObject_7_0_0*& storedValue) const;
  ORNUTIL_LOCAL void append(Table* t, const char* chars, std::size_t length, ZAbstractString_7_0_0* key,
                            ZObject_7_0_0* value) noexcept;
  // The table placed anew under a new salt (published), or null when that
  // cannot be allocated (the map then goes on with `t`).
  ORNUTIL_LOCAL Table* reseeded(Table* t) noexcept;
  // The table to add one entry to: `t` itself, or a larger copy made and
  // published first. Throws ZOutOfMemoryException_7_0_0, nothing changed.
  ORNUTIL_LOCAL Table* roomForOne(Table* t);
  // The text store of adoptTextIfAbsent (see zhashkeymap.cpp).
  ORNUTIL_LOCAL static const char* storeText(Table* t, const char* text, std::size_t length);
  ORNUTIL_LOCAL static bool textStored(const Entry& e);
  ORNUTIL_LOCAL static void releaseText(Table* t, const Entry& e);
  ORNUTIL_LOCAL static void compactTexts(Table* t);
  // Fills the table's index anew from its entries.
  ORNUTIL_LOCAL static void reindex(Table* t);
  ORNUTIL_LOCAL void copyFrom(const ZHashKeyMap_7_0_0& other);
  ORNUTIL_LOCAL void destroyAll();

  std::atomic<Table*> table_{nullptr};
  std::uint32_t initialCapacity_;
  bool owns_;
  bool concurrent_ = false;
  std::mutex* writers_ = nullptr;
  Retired* retired_ = nullptr;
};

// A set of objects, matched by their virtual hash() and equals(). Owning
// and copying as for ZHashKeyMap_7_0_0. Used by one thread at a time.
class ORNUTIL_API ZHashMap_7_0_0 : public ZObject_7_0_0 {
 public:
  explicit ZHashMap_7_0_0(int capacity = 16, int owns = 1);
  ZHashMap_7_0_0(const ZHashMap_7_0_0& other);
  ZHashMap_7_0_0& operator=(const ZHashMap_7_0_0& other);
  ~ZHashMap_7_0_0() override;

  ZObject_7_0_0* clone() const override;
  // Adds the element unless an equal one is present. Null is ignored.
  virtual void add(const ZObject_7_0_0* element);
  virtual bool contains(const ZObject_7_0_0& element) const;
  virtual void remove(const ZObject_7_0_0& element);
  virtual void removeAll();
  virtual int size() const;

 private:
  struct Slot {
    unsigned long hash;
    ZObject_7_0_0* element;
  };
  ORNUTIL_LOCAL int findSlot(const ZObject_7_0_0& element, unsigned long hash) const;
  ORNUTIL_LOCAL void rehash(std::size_t slots);

  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  int count_ = 0;
  bool owns_;
};

#endif
