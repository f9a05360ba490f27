#include "util/NameValueMap.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/internal/memoryrule.h"
#include "foundation/zexception.h"
#include "util/internal/namevalue_undo.h"
#include "util/mime64_new.h"

namespace {

const char kModule[] = "util/NameValueMap";

// The list's int index for an unsigned one; indexes past INT_MAX are past
// any list and read as absent.
int listIndex(unsigned int index) { return index > INT_MAX ? -1 : static_cast<int>(index); }

// Base64 of the bytes, released with free by the caller.
char* base64Of(const char* data, unsigned int length) {
  char* text = mime64_new_encode(reinterpret_cast<const unsigned char*>(data), length);
  if (!text) ornz::throwOutOfMemory(kModule, __LINE__);
  return text;
}

struct FreeText {
  char* text;
  ~FreeText() { std::free(text); }
};

}  // namespace

// ---------------------------------------------------------------- NameValueEntry

NameValueEntry::NameValueEntry() : values_(1, 1) {}

NameValueEntry::NameValueEntry(NameValueEntry const& other)
    : ZObject_7_0_0(other), values_(other.values_), subtree_(other.subtree_) {}

NameValueEntry::~NameValueEntry() = default;

ZObject_7_0_0* NameValueEntry::clone() const { return new NameValueEntry(*this); }

// ---------------------------------------------------------------- NameValueMap

NameValueMap::NameValueMap() : map_(1, 1) {}

NameValueMap::NameValueMap(NameValueMap const& other) : ZObject_7_0_0(other), map_(other.map_) {}

NameValueMap& NameValueMap::operator=(NameValueMap const& other) {
  if (this != &other) map_ = other.map_;
  return *this;
}

NameValueMap::~NameValueMap() = default;

ZObject_7_0_0* NameValueMap::clone() const { return new NameValueMap(*this); }

NameValueEntry* NameValueMap::findEntry(char const* name) const {
  return static_cast<NameValueEntry*>(map_.getEntry(ZUTF8ConstString_7_0_0(name)));
}

// ---------------------------------------------------------------- new names
//
// A new name takes one block: its entry, with four slots lent to the
// entry's value list right after it, where a value list took a block of its
// own; the name's text goes into the map's own text store. What it buys,
// measured on this AMD EPYC (bench/namevaluemap_bench.cpp, CPU time,
// medians of 7 in three interleaved runs on a loaded machine): encode of
// 10,000 names x 3 values 154-184 us with the lent slots, 188-220 us with a
// plain `new NameValueEntry` and a list block of its own, that is 0.086-0.102x
// memcpy against 0.081-0.085x. The encoder's goal is 0.08x memcpy: without
// the slots it has no margin left (a value list's slots sit beside the
// entry the walk has just read, rather than one more block away). add+get
// is the same either way (0.73-0.80x against 0.67-1.0x unordered_map, goal
// 1.2x). The block is kept within 120 bytes, the largest request glibc
// serves from its fast bins; putting the name's key object in it too
// (tried, before names went to the text store) made it larger, and freeing
// a large map then gave more of the heap back to the system and building
// the next one faulted its pages in again, four times slower.

namespace {

constexpr std::size_t kLentSlots = 4;
constexpr std::size_t kSlotsAt = (sizeof(NameValueEntry) + alignof(ZObject_7_0_0*) - 1) & ~(alignof(ZObject_7_0_0*) - 1);
constexpr std::size_t kEntryBlock = kSlotsAt + kLentSlots * sizeof(ZObject_7_0_0*);
static_assert(kEntryBlock <= 120, "an entry's block must stay among the allocator's smallest");

}  // namespace

NameValueEntry* NameValueMap::makeEntry() {
  char* block = static_cast<char*>(std::malloc(kEntryBlock));
  if (!block) ornz::throwOutOfMemory(kModule, __LINE__);
  // The constructor allocates nothing (an empty list, an empty map).
  auto* entry = ::new (block) NameValueEntry;
  entry->values().useStorage(reinterpret_cast<ZObject_7_0_0**>(block + kSlotsAt), static_cast<int>(kLentSlots));
  return entry;
}

NameValueEntry* NameValueMap::adoptEntry(char const* name, std::size_t length, NameValueEntry* entry) {
  bool adopted = false;
  auto* stored = static_cast<NameValueEntry*>(ornz::allOrNothing(
      kModule, __LINE__, [&] { return map_.adoptTextIfAbsent(name, length, entry, adopted); },
      [&] { delete entry; }));
  if (!adopted) delete entry;
  return stored;
}

// A value for a new name goes into its entry before the entry goes into the
// map, so that a failure at any step leaves the map as it was.
NameValueEntry* NameValueMap::entryFor(char const* name) {
  std::size_t length = name ? std::strlen(name) : 0;
  if (auto* entry = static_cast<NameValueEntry*>(map_.find(name ? name : "", length))) return entry;
  return adoptEntry(name ? name : "", length, makeEntry());
}

void NameValueMap::addValue(char const* name, ZObject_7_0_0 const* value) {
  std::size_t length = name ? std::strlen(name) : 0;
  if (auto* entry = static_cast<NameValueEntry*>(map_.find(name ? name : "", length))) {
    entry->values().add(value);
    return;
  }
  NameValueEntry* fresh = makeEntry();
  ornz::allOrNothing(kModule, __LINE__, [&] { fresh->values().add(value); }, [&] { delete fresh; });
  adoptEntry(name ? name : "", length, fresh);
}

void NameValueMap::addValueIn(char const* scope, char const* name, ZObject_7_0_0 const* value) {
  if (!scope) {
    addValue(name, value);
    return;
  }
  std::size_t length = std::strlen(scope);
  if (auto* entry = static_cast<NameValueEntry*>(map_.find(scope, length))) {
    entry->subtree().addValue(name, value);
    return;
  }
  NameValueEntry* fresh = makeEntry();
  ornz::allOrNothing(kModule, __LINE__, [&] { fresh->subtree().addValue(name, value); }, [&] { delete fresh; });
  adoptEntry(scope, length, fresh);
}

void NameValueMap::setValueIn(char const* scope, char const* name, unsigned int index, ZObject_7_0_0 const* value) {
  if (!scope) {
    setValue(name, index, value);
    return;
  }
  std::size_t length = std::strlen(scope);
  if (auto* entry = static_cast<NameValueEntry*>(map_.find(scope, length))) {
    entry->subtree().setValue(name, index, value);
    return;
  }
  // In a new scope every index is past the end: the value is added.
  addValueIn(scope, name, value);
}

// A view of the caller's text: the list stores its own copy (a
// ZUTF8String_7_0_0) without a temporary copy in between.
void NameValueMap::addString(char const* name, char const* value) {
  ZUTF8ConstString_7_0_0 text(value);
  addValue(name, &text);
}

void NameValueMap::addString(char const* name, char const* data, unsigned int length) {
  FreeText encoded{base64Of(data, length)};
  addString(name, encoded.text);
}

void NameValueMap::addString(char const* name, int flag) { addString(name, flag ? "true" : "false"); }

void NameValueMap::addString(char const* name, unsigned long number) {
  char text[24];
  std::snprintf(text, sizeof text, "%lu", number);
  addString(name, text);
}

void NameValueMap::setValue(char const* name, unsigned int index, ZObject_7_0_0 const* value) {
  std::size_t length = name ? std::strlen(name) : 0;
  auto* entry = static_cast<NameValueEntry*>(map_.find(name ? name : "", length));
  if (!entry) {
    addValue(name, value);
    return;
  }
  ZArrayList_7_0_0& values = entry->values();
  if (index < static_cast<unsigned int>(values.size()))
    values.set(static_cast<int>(index), value);
  else
    values.add(value);
}

void NameValueMap::setString(char const* name, char const* value, unsigned int index) {
  ZUTF8ConstString_7_0_0 text(value);
  setValue(name, index, &text);
}

void NameValueMap::setString(char const* name, unsigned int index, char const* value) {
  setString(name, value, index);
}

void NameValueMap::setString(char const* name, char const* data, unsigned int length, unsigned int index) {
  FreeText encoded{base64Of(data, length)};
  setString(name, encoded.text, index);
}

void NameValueMap::setString(char const* name, int flag, unsigned int index) {
  setString(name, flag ? "true" : "false", index);
}

void NameValueMap::setString(char const* name, unsigned long number, unsigned int index) {
  char text[24];
  std::snprintf(text, sizeof text, "%lu", number);
  setString(name, text, index);
}

NameValueMap* NameValueMap::addSubtree(char const* name) { return &entryFor(name)->subtree(); }

int NameValueMap::exist(char const* name) const {
  NameValueEntry const* entry = findEntry(name);
  return entry && (entry->values().size() > 0 || entry->subtree().map_.size() > 0) ? 1 : 0;
}

ZArrayList_7_0_0* NameValueMap::getValues(char const* name) const {
  NameValueEntry* entry = findEntry(name);
  return entry ? &entry->values() : nullptr;
}

ZObject_7_0_0 const* NameValueMap::getValue(char const* name, unsigned int index) const {
  NameValueEntry const* entry = findEntry(name);
  return entry ? entry->values().get(listIndex(index)) : nullptr;
}

ZUTF8String_7_0_0 const* NameValueMap::getString(char const* name, unsigned int index) const {
  return dynamic_cast<ZUTF8String_7_0_0 const*>(getValue(name, index));
}

unsigned int NameValueMap::getValueCount(char const* name) const {
  NameValueEntry const* entry = findEntry(name);
  return entry ? static_cast<unsigned int>(entry->values().size()) : 0;
}

// A count walks the table in place: it needs no memory and cannot fail.
unsigned int NameValueMap::getValueCount() const {
  if (map_.bare()) return 0;
  std::uint32_t count = 0;
  const ZHashKeyMap_7_0_0::Entry* entries = map_.entries(count);
  unsigned int total = 0;
  for (std::uint32_t i = 0; i < count; ++i)
    total += static_cast<unsigned int>(
        static_cast<NameValueEntry const*>(entries[i].value.load(std::memory_order_relaxed))->values().size());
  return total;
}

NameValueMap* NameValueMap::getSubtree(char const* name) const {
  NameValueEntry* entry = findEntry(name);
  return entry ? &entry->subtree() : nullptr;
}

unsigned int NameValueMap::getSubtreeCount(char const* name) const {
  NameValueEntry const* entry = findEntry(name);
  return entry ? static_cast<unsigned int>(entry->subtree().map_.size()) : 0;
}

const ZHashKeyMap_7_0_0::Entry* NameValueMap::entries(std::uint32_t& count) const {
  if (map_.bare()) {
    count = 0;
    return nullptr;
  }
  return map_.entries(count);
}

void NameValueMap::getNames(ZArrayList_7_0_0& names) const { map_.listKeys(names); }

void NameValueMap::removeValue(char const* name, unsigned int index) {
  if (NameValueEntry* entry = findEntry(name)) entry->values().remove(listIndex(index));
}

void NameValueMap::removeString(char const* name, unsigned int index) { removeValue(name, index); }

void NameValueMap::removeAll() { map_.removeAll(); }

// ---------------------------------------------------------------- undoing adds

NameValueMap::AddsUndo::AddsUndo(NameValueMap& root, char const* scope)
    : root_(root), scope_(scope), scopePresent_(!scope || root.findEntry(scope)) {}

void NameValueMap::AddsUndo::reserve(std::size_t names) {
  ornz::reportingMemory(kModule, __LINE__, [&] { watched_.reserve(names); });
}

void NameValueMap::AddsUndo::watch(char const* name) {
  NameValueMap const* level = scope_ ? root_.getSubtree(scope_) : &root_;
  NameValueEntry const* entry = level ? level->findEntry(name) : nullptr;
  ornz::reportingMemory(kModule, __LINE__, [&] {
    watched_.push_back({name, entry ? static_cast<unsigned int>(entry->values().size()) : 0u, entry != nullptr});
  });
}

NameValueMap& NameValueMap::AddsUndo::level() { return scope_ ? *root_.addSubtree(scope_) : root_; }

NameValueMap::AddsUndo::~AddsUndo() {
  if (committed_) return;
  NameValueMap* level = scope_ ? root_.getSubtree(scope_) : &root_;
  if (!level) return;  // failed before the scope was made
  // Names this writer made are marked and then swept out together: one at
  // a time, each removal would close up the whole table, and taking back a
  // large writer's names would take quadratic time.
  for (Watched const& w : watched_) {
    NameValueEntry* entry = level->findEntry(w.name.c_str());
    if (!entry) continue;  // dropped already (a name watched twice)
    ZArrayList_7_0_0& values = entry->values();
    while (values.size() > static_cast<int>(w.count)) values.remove(values.size() - 1);
    if (!w.present && values.size() == 0 && entry->subtree().map_.size() == 0)
      level->map_.markForRemoval(w.name.c_str(), std::strlen(w.name.c_str()));
  }
  level->map_.sweepMarked();
  if (!scopePresent_ && level->map_.size() == 0) {
    NameValueEntry* scope = root_.findEntry(scope_);
    if (scope && scope->values().size() == 0) root_.map_.removeEntry(ZUTF8ConstString_7_0_0(scope_));
  }
}
