#include "foundation/zhashkeymap.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/internal/hash.h"
#include "foundation/zarraylist.h"
#include "foundation/zexception.h"

// ---------------------------------------------------------------- layout
//
// A table is one block: the header, an index of 2^k slots (entry numbers,
// -1 when empty; at most half of them used, so every probe ends at an empty
// slot), and an array of entries in insertion order. Readers find an entry
// through the index and compare the full hash before any byte. A writer
// fills an entry, then publishes its index slot with a release store, then
// the count; readers load with acquire and so never see a half-made entry.
//
// In the concurrent-readers mode nothing a reader may hold is freed before
// the map is destroyed, and keeping it never needs memory at the moment it
// is dropped (when there would be no safe way to fail): a replaced table
// hangs off the table that replaced it, and the keys and values an
// operation drops go into a record allocated before the operation changes
// anything.
//
// Names given as plain text (adoptTextIfAbsent, the name/value tree's way)
// get no key object of their own: their texts are copied one after the
// other into chunks that hang off the table, and move with it to each
// larger table. A tree's name would otherwise cost a 64-byte string object
// in a block of its own, one more allocation and one more free per name,
// which is most of what building and decoding a tree spends beyond its
// values. listKeys, the only interface that hands out key objects, makes
// them when first asked and keeps them with the entry. A removed name's
// text stays in its chunk; when removed texts make up most of the chunks,
// the live ones are copied into one new chunk (a removal still never
// fails: when that chunk cannot be had, the old ones simply stay).

namespace {

struct TextChunk {
  TextChunk* next;
  std::size_t size;  // bytes after the header
  std::size_t used;
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

void freeChunks(TextChunk* chunk) {
  while (chunk) {
    TextChunk* next = chunk->next;
    std::free(chunk);
    chunk = next;
  }
}

// Closing up a table outside the concurrent-readers mode (the value is an
// atomic, so an entry is not copied whole).
void moveEntry(ZHashKeyMap_7_0_0::Entry& to, const ZHashKeyMap_7_0_0::Entry& from) {
  to.hash = from.hash;
  to.length = from.length;
  to.chars = from.chars;
  to.key = from.key;
  to.value.store(from.value.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

// An entry's stored text with its NUL.
std::size_t storedBytes(std::uint32_t length) { return std::size_t{length} + 1; }

// Sizes chosen for glibc's allocator, kept for what they buy. A first chunk
// with its header is a 64-byte block, inside glibc's fast range (blocks up
// to 128 bytes, reused without merging); each later one is as large as all
// before it, up to a block under 1 KiB, inside the small-bin range. Larger
// blocks were slower: asking for one makes glibc first merge every freed
// small block, and freeing them merged the heap's free space until glibc
// gave it back to the system, so that each tree faulted its pages in anew.
// Measured on AMD EPYC (namevaluemap_bench and ornobject_bench, medians of
// 5, the machine heavily loaded), against chunks that simply double: decoding
// 10,000 names x 3 values 2.9-3.9 ms against 6.4-6.6 ms, add+get 0.77-0.89x
// std::unordered_map against 1.04-1.14x (goal at most 1.2), and the typed
// object's build+encode+decode 0.72-0.96x its reference against 1.07-1.36x,
// the goal there being at most 1.0: the plain version misses it.
constexpr std::size_t kFirstTextChunk = 64 - sizeof(TextChunk);
constexpr std::size_t kMaxTextChunk = 1000 - sizeof(TextChunk);
// Removed texts are gathered up when they are three quarters of the store
// and the store is larger than this.
constexpr std::size_t kCompactAbove = 4096;

}  // namespace

struct ZHashKeyMap_7_0_0::Table {
  std::uint32_t mask;
  std::uint32_t capacity;
  std::atomic<std::uint32_t> count;
  std::uint32_t reseeds;  // new salts taken since the table last grew
  std::uint64_t salt;     // this table's variation of the process's hash key
  std::atomic<std::int32_t>* index;
  Entry* entries;
  Table* replaced;   // the table this one replaced, kept for readers
  TextChunk* texts;  // newest first
  std::size_t textHeld;  // bytes in all chunks
  std::size_t textLive;  // bytes of texts entries point to
};

struct ZHashKeyMap_7_0_0::Retired {
  Retired* next;
  Table* table;         // a table dropped with no successor (removeAll)
  std::uint32_t count;  // objects kept so far
  std::uint32_t room;
  ZObject_7_0_0** objects() { return reinterpret_cast<ZObject_7_0_0**>(this + 1); }
};

namespace {

constexpr std::uint32_t kMaxCapacity = 1u << 28;
// An entry records its key's length in 32 bits; a longer key is refused as
// too large to store.
constexpr std::size_t kMaxKeyLength = UINT32_MAX;

class WriterGuard {
 public:
  explicit WriterGuard(std::mutex* m) : m_(m) {
    if (m_) m_->lock();
  }
  ~WriterGuard() {
    if (m_) m_->unlock();
  }

 private:
  std::mutex* m_;
};

}  // namespace

// ---------------------------------------------------------------- look-up

namespace {

// Whether the `n` bytes at `a` and `b` are the same. A found name's bytes
// are compared once, after its hash matched, so they are almost always
// equal: they are compared in whole registers without a branch each (the
// first and last 16 bytes overlapping what lies between), and a call to
// memcmp, a quarter of a path look-up's time on these machines, is left for
// names longer than most paths.
[[gnu::always_inline]] inline bool sameBytes(const char* a, const char* b, std::size_t n) {
  if (n > 16) {
    if (n > 64) return std::memcmp(a, b, n) == 0;
#if defined(__SSE2__)
    auto differs = [a, b](std::size_t at) {
      return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at)));
    };
    __m128i differ = _mm_or_si128(differs(0), differs(n - 16));
    if (n > 32) differ = _mm_or_si128(differ, differs(16));
    if (n > 48) differ = _mm_or_si128(differ, differs(32));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(differ, _mm_setzero_si128())) == 0xffff;
#else
    return std::memcmp(a, b, n) == 0;
#endif
  }
  if (n >= 8) return ((ornz::load64(a) ^ ornz::load64(b)) | (ornz::load64(a + n - 8) ^ ornz::load64(b + n - 8))) == 0;
  if (n >= 4) return ((ornz::load32(a) ^ ornz::load32(b)) | (ornz::load32(a + n - 4) ^ ornz::load32(b + n - 4))) == 0;
  // 0 to 3 bytes: the first, the middle and the last cover them all.
  return n == 0 || (a[0] == b[0] && a[n >> 1] == b[n >> 1] && a[n - 1] == b[n - 1]);
}

// The longest walk from a name's home slot that an insert accepts before
// its table takes a new salt. With the index at most half full and a keyed
// hash, a run of r used slots starts at a given slot with a chance of about
// e^(-0.19 r) (linear probing at load 1/2), so the longest run of a table of
// 2^k slots is near 3.6 k: 8 + 8 k is reached only by names aimed at the
// table's hash, or about once in 10^7 fillings of a 2^16-slot table by
// chance (a rebuild, nothing worse). It keeps an insert's walk, and a
// look-up's, within a few hundred slots at the largest size.
inline std::uint32_t probeBound(std::uint32_t mask) {
  return 8 + 8 * static_cast<std::uint32_t>(__builtin_popcount(mask));
}

}  // namespace

// Both are inlined into every look-up: as calls, they were half of a path
// look-up's time.
[[gnu::always_inline]] inline std::uint64_t ZHashKeyMap_7_0_0::hashIn(const Table* t, const char* text, std::size_t length) {
  return ornz::hashText(ornz::processHashKey(), text, length, t->salt);
}

[[gnu::always_inline]] inline ZHashKeyMap_7_0_0::Entry* ZHashKeyMap_7_0_0::lookUp(const Table* t, std::uint64_t hash,
                                                            const char* text,
                                                            std::size_t length) const {
  for (std::uint32_t s = static_cast<std::uint32_t>(hash) & t->mask;; s = (s + 1) & t->mask) {
    std::int32_t i = t->index[s].load(std::memory_order_acquire);
    if (i < 0) return nullptr;
    Entry& e = t->entries[i];
    if (e.hash == static_cast<std::uint32_t>(hash) && e.length == length && sameBytes(e.chars, text, length))
      return &e;
  }
}

ZHashKeyMap_7_0_0::ZHashKeyMap_7_0_0(int capacity, int owns)
    : initialCapacity_(capacity > 4 && static_cast<std::uint32_t>(capacity) < kMaxCapacity
                           ? static_cast<std::uint32_t>(capacity)
                           : 4),
      owns_(owns != 0) {}

ZHashKeyMap_7_0_0::ZHashKeyMap_7_0_0(const ZHashKeyMap_7_0_0& other)
    : ZObject_7_0_0(other), initialCapacity_(other.initialCapacity_), owns_(other.owns_) {
  try {
    copyFrom(other);
  } catch (...) {
    destroyAll();
    throw;
  }
}

ZHashKeyMap_7_0_0& ZHashKeyMap_7_0_0::operator=(const ZHashKeyMap_7_0_0& other) {
  if (this == &other) return *this;
  ZHashKeyMap_7_0_0 copy(other);  // complete before this map changes
  WriterGuard hold(writers_);
  // Swap tables: the copy leaves with our old entries and frees them as we
  // owned them.
  Table* fresh = copy.table_.exchange(nullptr, std::memory_order_relaxed);
  copy.table_.store(table_.exchange(fresh, std::memory_order_acq_rel), std::memory_order_relaxed);
  copy.owns_ = owns_;
  owns_ = other.owns_;
  return *this;
}

ZHashKeyMap_7_0_0::~ZHashKeyMap_7_0_0() {
  destroyAll();
  while (retired_) {
    Retired* r = retired_;
    retired_ = r->next;
    freeTables(r->table);
    for (std::uint32_t i = 0; i < r->count; ++i) delete r->objects()[i];
    std::free(r);
  }
  delete writers_;
}

void ZHashKeyMap_7_0_0::destroyAll() {
  // Only the destructor and a failed copy construction come here, with no
  // other thread on the map: a plain load and store, since an exchange is a
  // locked instruction that waits for every pending store, paid by every
  // empty subtree of a name/value tree as it is destroyed.
  Table* t = table_.load(std::memory_order_relaxed);
  if (!t) return;
  table_.store(nullptr, std::memory_order_relaxed);
  std::uint32_t n = t->count.load(std::memory_order_relaxed);
  if (owns_) {
    for (std::uint32_t i = 0; i < n; ++i) {
      delete t->entries[i].key;
      delete t->entries[i].value.load(std::memory_order_relaxed);
    }
  }
  freeTables(t);
}

void ZHashKeyMap_7_0_0::freeTables(Table* table) {
  while (table) {
    Table* replaced = table->replaced;
    freeChunks(table->texts);
    std::free(table);
    table = replaced;
  }
}

void ZHashKeyMap_7_0_0::copyFrom(const ZHashKeyMap_7_0_0& other) {
  const Table* t = other.table_.load(std::memory_order_acquire);
  if (!t) return;
  std::uint32_t n = t->count.load(std::memory_order_acquire);
  for (std::uint32_t i = 0; i < n; ++i) {
    const Entry& e = t->entries[i];
    ZObject_7_0_0* value = e.value.load(std::memory_order_acquire);
    if (ZAbstractString_7_0_0* key = __atomic_load_n(&e.key, __ATOMIC_ACQUIRE); key && !textStored(e)) {
      insert(*key, value);
      continue;
    }
    // A name stored as text is copied as text, keeping the copy as compact.
    ZObject_7_0_0* copy = value ? value->clone() : nullptr;
    if (value && !copy) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
    bool adopted = false;
    try {
      adoptTextIfAbsent(e.chars, e.length, copy, adopted);
    } catch (...) {
      delete copy;
      throw;
    }
  }
}

ZObject_7_0_0* ZHashKeyMap_7_0_0::clone() const { return new ZHashKeyMap_7_0_0(*this); }

void ZHashKeyMap_7_0_0::enableConcurrentReaders() {
  if (concurrent_) return;
  writers_ = new (std::nothrow) std::mutex;
  if (!writers_) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  concurrent_ = true;
}

// ---------------------------------------------------------------- tables

ZHashKeyMap_7_0_0::Table* ZHashKeyMap_7_0_0::newTable(std::uint32_t capacity) const {
  std::uint32_t slots = 8;
  while (slots < capacity * 2) slots <<= 1;
  std::size_t indexBytes = sizeof(std::atomic<std::int32_t>) * slots;
  std::size_t entryOffset = (sizeof(Table) + indexBytes + alignof(Entry) - 1) & ~(alignof(Entry) - 1);
  void* block = std::malloc(entryOffset + sizeof(Entry) * capacity);
  if (!block) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  Table* t = new (block) Table;
  t->mask = slots - 1;
  t->capacity = capacity;
  t->count.store(0, std::memory_order_relaxed);
  // A salt of its own from the block's address, through the secret key so
  // that it tells nothing; copies made to grow keep their table's salt.
  const ornz::HashKey& key = ornz::processHashKey();
  t->salt = ornz::mum(reinterpret_cast<std::uintptr_t>(block) ^ key.a, key.b);
  t->reseeds = 0;
  t->index = reinterpret_cast<std::atomic<std::int32_t>*>(static_cast<char*>(block) + sizeof(Table));
  for (std::uint32_t i = 0; i < slots; ++i) new (&t->index[i]) std::atomic<std::int32_t>(-1);
  t->entries = reinterpret_cast<Entry*>(static_cast<char*>(block) + entryOffset);
  t->replaced = nullptr;
  t->texts = nullptr;
  t->textHeld = 0;
  t->textLive = 0;
  return t;
}

ZHashKeyMap_7_0_0::Table* ZHashKeyMap_7_0_0::copyTable(const Table* from, std::uint32_t capacity,
                                                       const Entry* skip, std::uint64_t salt) const {
  Table* t = newTable(capacity);
  if (!from) return t;
  t->salt = salt;
  t->reseeds = capacity == from->capacity ? from->reseeds : 0;
  const bool rehash = salt != from->salt;
  std::uint32_t n = from->count.load(std::memory_order_relaxed);
  std::uint32_t k = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const Entry& e = from->entries[i];
    if (&e == skip) continue;
    const auto hash = rehash ? static_cast<std::uint32_t>(hashIn(t, e.chars, e.length)) : e.hash;
    new (&t->entries[k]) Entry{hash, e.length, e.chars, e.key, {e.value.load(std::memory_order_relaxed)}};
    std::uint32_t s = hash & t->mask;
    while (t->index[s].load(std::memory_order_relaxed) >= 0) s = (s + 1) & t->mask;
    t->index[s].store(static_cast<std::int32_t>(k), std::memory_order_relaxed);
    ++k;
  }
  t->count.store(k, std::memory_order_relaxed);
  return t;
}

void ZHashKeyMap_7_0_0::publish(Table* table) {
  Table* old = table_.load(std::memory_order_relaxed);
  if (old) {
    // The entries' texts move on with them.
    table->texts = old->texts;
    table->textHeld = old->textHeld;
    table->textLive = old->textLive;
    old->texts = nullptr;
  }
  if (concurrent_) table->replaced = old;
  table_.store(table, std::memory_order_release);
  if (!concurrent_) std::free(old);
}

ZHashKeyMap_7_0_0::Retired* ZHashKeyMap_7_0_0::reserveRetired(std::uint32_t objects, bool table) {
  if (!concurrent_ || (!table && (!owns_ || objects == 0))) return nullptr;
  if (!owns_) objects = 0;
  auto* r = static_cast<Retired*>(std::malloc(sizeof(Retired) + sizeof(ZObject_7_0_0*) * objects));
  if (!r) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  *r = Retired{nullptr, nullptr, 0, objects};
  return r;
}

void ZHashKeyMap_7_0_0::drop(ZObject_7_0_0* object, Retired* keep) {
  if (!owns_ || !object) return;
  if (keep && keep->count < keep->room) {
    keep->objects()[keep->count++] = object;
  } else if (!concurrent_) {
    delete object;
  }
}

void ZHashKeyMap_7_0_0::commitRetired(Retired* keep) {
  if (!keep) return;
  if (keep->count == 0 && !keep->table) {
    std::free(keep);
    return;
  }
  keep->next = retired_;
  retired_ = keep;
}

// ---------------------------------------------------------------- operations

bool ZHashKeyMap_7_0_0::isEmpty() const { return size() == 0; }

int ZHashKeyMap_7_0_0::size() const {
  const Table* t = table_.load(std::memory_order_acquire);
  return t ? static_cast<int>(t->count.load(std::memory_order_acquire)) : 0;
}

bool ZHashKeyMap_7_0_0::contains(const ZAbstractString_7_0_0& key) const {
  // Not find(): a key may be stored with a null value.
  const Table* t = table_.load(std::memory_order_acquire);
  return t && lookUp(t, hashIn(t, key.data(), key.size()), key.data(), key.size()) != nullptr;
}

ZObject_7_0_0* ZHashKeyMap_7_0_0::getEntry(const ZAbstractString_7_0_0& key) const {
  const Table* t = table_.load(std::memory_order_acquire);
  if (!t) return nullptr;
  Entry* e = lookUp(t, hashIn(t, key.data(), key.size()), key.data(), key.size());
  return e ? e->value.load(std::memory_order_acquire) : nullptr;
}

ZObject_7_0_0* ZHashKeyMap_7_0_0::find(const char* text, std::size_t length) const {
  const Table* t = table_.load(std::memory_order_acquire);
  if (!t) return nullptr;
  Entry* e = lookUp(t, hashIn(t, text, length), text, length);
  return e ? e->value.load(std::memory_order_acquire) : nullptr;
}

void ZHashKeyMap_7_0_0::insert(const ZAbstractString_7_0_0& key, const ZObject_7_0_0* value) {
  Table* t = table_.load(std::memory_order_relaxed);
  if (t) {
    if (Entry* e = lookUp(t, hashIn(t, key.data(), key.size()), key.data(), key.size())) {
      replaceValue(*e, value);
      return;
    }
  }
  // Everything that can fail happens before the map changes: the copies,
  // then a larger table (which holds the same entries).
  if (key.size() > kMaxKeyLength) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  ZAbstractString_7_0_0* storedKey;
  ZObject_7_0_0* storedValue;
  storedCopies(key, value, storedKey, storedValue);
  try {
    t = roomForOne(t);
  } catch (...) {
    if (owns_) {
      delete storedKey;
      delete storedValue;
    }
    throw;
  }
  append(t, storedKey->data(), storedKey->size(), storedKey, storedValue);
}

void ZHashKeyMap_7_0_0::replaceValue(Entry& e, const ZObject_7_0_0* value) {
  Retired* keep = reserveRetired(1, false);
  ZObject_7_0_0* stored = const_cast<ZObject_7_0_0*>(value);
  if (owns_ && value) {
    try {
      stored = value->clone();
    } catch (...) {
      std::free(keep);
      throw;
    }
    if (!stored) {
      std::free(keep);
      ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
    }
  }
  drop(e.value.exchange(stored, std::memory_order_acq_rel), keep);
  commitRetired(keep);
}

void ZHashKeyMap_7_0_0::storedCopies(const ZAbstractString_7_0_0& key, const ZObject_7_0_0* value,
                                     ZAbstractString_7_0_0*& storedKey, ZObject_7_0_0*& storedValue) const {
  storedKey = const_cast<ZAbstractString_7_0_0*>(&key);
  storedValue = const_cast<ZObject_7_0_0*>(value);
  if (!owns_) return;
  ZObject_7_0_0* k = key.clone();
  storedKey = dynamic_cast<ZAbstractString_7_0_0*>(k);
  if (!storedKey) {
    delete k;
    ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  }
  if (!value) return;
  // A deep clone (a map's entry holds a map) may throw as well as return
  // null; the key made above must not outlive either.
  try {
    storedValue = value->clone();
  } catch (...) {
    delete storedKey;
    throw;
  }
  if (!storedValue) {
    delete storedKey;
    ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  }
}

void ZHashKeyMap_7_0_0::append(Table* t, const char* chars, std::size_t length, ZAbstractString_7_0_0* key,
                               ZObject_7_0_0* value) noexcept {
  std::uint64_t hash = hashIn(t, chars, length);
  std::uint32_t s = static_cast<std::uint32_t>(hash) & t->mask;
  std::uint32_t walked = 0;
  while (t->index[s].load(std::memory_order_relaxed) >= 0) {
    s = (s + 1) & t->mask;
    ++walked;
  }
  // Once per size: a table that keeps meeting long runs under new salts is
  // not being aimed at through its hash, and placing it anew at every insert
  // would cost more than the walks.
  if (walked > probeBound(t->mask) && t->reseeds == 0) {
    if (Table* r = reseeded(t)) {
      t = r;
      hash = hashIn(t, chars, length);
      s = static_cast<std::uint32_t>(hash) & t->mask;
      while (t->index[s].load(std::memory_order_relaxed) >= 0) s = (s + 1) & t->mask;
    }
  }
  std::uint32_t i = t->count.load(std::memory_order_relaxed);
  new (&t->entries[i]) Entry{static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(length), chars, key, {value}};
  t->index[s].store(static_cast<std::int32_t>(i), std::memory_order_release);
  t->count.store(i + 1, std::memory_order_release);
}

ZHashKeyMap_7_0_0::Table* ZHashKeyMap_7_0_0::reseeded(Table* t) noexcept {
  const ornz::HashKey& key = ornz::processHashKey();
  std::uint64_t salt = ornz::mum(t->salt ^ key.seed, reinterpret_cast<std::uintptr_t>(t) ^ key.b);
  if (salt == t->salt) salt = ~salt;
  Table* r;
  try {
    r = copyTable(t, t->capacity, nullptr, salt);
  } catch (const ZOutOfMemoryException_7_0_0&) {
    return nullptr;  // a slower table, not a failed insert
  }
  r->reseeds = t->reseeds + 1;
  publish(r);
  return r;
}

ZHashKeyMap_7_0_0::ProbeStats ZHashKeyMap_7_0_0::probeStats() const {
  const Table* t = table_.load(std::memory_order_acquire);
  if (!t) return ProbeStats{0, 0, 0, 0, 0};
  ProbeStats stats{0, 0, probeBound(t->mask), t->reseeds, t->salt};
  for (std::uint32_t s = 0; s <= t->mask; ++s) {
    std::int32_t i = t->index[s].load(std::memory_order_acquire);
    if (i < 0) continue;
    std::uint32_t distance = (s - t->entries[i].hash) & t->mask;
    stats.total += distance;
    if (distance > stats.longest) stats.longest = distance;
  }
  return stats;
}

const ZHashKeyMap_7_0_0::Entry* ZHashKeyMap_7_0_0::entries(std::uint32_t& count) const {
  const Table* t = table_.load(std::memory_order_acquire);
  count = t ? t->count.load(std::memory_order_acquire) : 0;
  return count ? t->entries : nullptr;
}

void ZHashKeyMap_7_0_0::swapContents(ZHashKeyMap_7_0_0& other) noexcept {
  Table* mine = table_.load(std::memory_order_relaxed);
  table_.store(other.table_.load(std::memory_order_relaxed), std::memory_order_release);
  other.table_.store(mine, std::memory_order_release);
  std::swap(initialCapacity_, other.initialCapacity_);
  std::swap(owns_, other.owns_);
}

ZHashKeyMap_7_0_0::Table* ZHashKeyMap_7_0_0::roomForOne(Table* t) {
  if (t && t->count.load(std::memory_order_relaxed) < t->capacity) return t;
  std::uint32_t capacity = t ? t->capacity * 2 : initialCapacity_;
  if (capacity > kMaxCapacity) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  Table* grown = copyTable(t, capacity, nullptr, t ? t->salt : 0);
  publish(grown);
  return grown;
}

ZObject_7_0_0* ZHashKeyMap_7_0_0::adoptTextIfAbsent(const char* text, std::size_t length, ZObject_7_0_0* value,
                                                    bool& adopted) {
  WriterGuard hold(writers_);
  adopted = false;
  if (length > kMaxKeyLength) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  Table* t = table_.load(std::memory_order_relaxed);
  if (t) {
    if (Entry* e = lookUp(t, hashIn(t, text, length), text, length)) return e->value.load(std::memory_order_relaxed);
  }
  // A larger table holds the same entries: the map is unchanged if what
  // follows fails. A first table is taken back then, so that a failed add
  // leaves a bare map bare.
  const bool first = !t;
  t = roomForOne(t);
  const char* chars;
  ZAbstractString_7_0_0* key = nullptr;
  try {
    if (concurrent_) {
      // Readers may hold texts of replaced tables: this mode keeps key objects.
      key = ZUTF8String_7_0_0::copyOf(text, length);
      if (!key) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
      chars = key->data();
    } else {
      chars = storeText(t, text, length);
    }
  } catch (...) {
    if (first && !concurrent_) {
      table_.store(nullptr, std::memory_order_relaxed);
      freeTables(t);
    }
    throw;
  }
  append(t, chars, length, key, value);
  adopted = true;
  return value;
}

// ---------------------------------------------------------------- stored texts

const char* ZHashKeyMap_7_0_0::storeText(Table* t, const char* text, std::size_t length) {
  std::size_t need = length + 1;  // kept NUL-terminated, as a key object's text is
  TextChunk* head = t->texts;
  char* at;
  if (head && head->size - head->used >= need) {
    at = head->bytes() + head->used;
    head->used += need;
  } else {
    std::size_t size = t->textHeld < kFirstTextChunk ? kFirstTextChunk
                       : t->textHeld < kMaxTextChunk ? t->textHeld
                                                      : kMaxTextChunk;
    bool alone = need > size;
    if (alone) {
      if (need > SIZE_MAX - sizeof(TextChunk)) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
      size = need;
    }
    auto* chunk = static_cast<TextChunk*>(std::malloc(sizeof(TextChunk) + size));
    if (!chunk) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
    chunk->size = size;
    chunk->used = need;
    if (alone && head) {
      // A text too large for a chunk gets one of its own, behind the newest,
      // whose room stays in use.
      chunk->next = head->next;
      head->next = chunk;
    } else {
      chunk->next = head;
      t->texts = chunk;
    }
    t->textHeld += size;
    at = chunk->bytes();
  }
  std::memcpy(at, text, length);
  at[length] = '\0';
  t->textLive += need;
  return at;
}

// An entry's text is in the store when the entry has no key object, or a
// key object made later (by listKeys), whose own text is elsewhere.
bool ZHashKeyMap_7_0_0::textStored(const Entry& e) {
  ZAbstractString_7_0_0* key = __atomic_load_n(&e.key, __ATOMIC_ACQUIRE);
  return !key || key->data() != e.chars;
}

void ZHashKeyMap_7_0_0::releaseText(Table* t, const Entry& e) {
  if (textStored(e)) t->textLive -= storedBytes(e.length);
}

void ZHashKeyMap_7_0_0::compactTexts(Table* t) {
  if (t->textLive == 0) {
    // The last stored text is gone (an add taken back, say): nothing to keep.
    freeChunks(t->texts);
    t->texts = nullptr;
    t->textHeld = 0;
    return;
  }
  if (t->textHeld <= kCompactAbove || t->textLive > t->textHeld / 4) return;
  std::size_t size = t->textLive < kFirstTextChunk ? kFirstTextChunk : t->textLive;
  auto* chunk = static_cast<TextChunk*>(std::malloc(sizeof(TextChunk) + size));
  if (!chunk) return;  // the old chunks serve as well, only larger
  chunk->next = nullptr;
  chunk->size = size;
  chunk->used = 0;
  std::uint32_t n = t->count.load(std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < n; ++i) {
    Entry& e = t->entries[i];
    if (!textStored(e)) continue;
    char* at = chunk->bytes() + chunk->used;
    std::memcpy(at, e.chars, storedBytes(e.length));
    chunk->used += storedBytes(e.length);
    e.chars = at;
  }
  freeChunks(t->texts);
  t->texts = chunk;
  t->textHeld = size;
}

void ZHashKeyMap_7_0_0::putEntry(const ZAbstractString_7_0_0& key, const ZObject_7_0_0* value) {
  WriterGuard hold(writers_);
  insert(key, value);
}

void ZHashKeyMap_7_0_0::putAll(const ZHashKeyMap_7_0_0& other) {
  if (&other == this) return;
  const Table* t = other.table_.load(std::memory_order_acquire);
  if (!t) return;
  std::uint32_t n = t->count.load(std::memory_order_acquire);
  for (std::uint32_t i = 0; i < n; ++i) {
    const Entry& e = t->entries[i];
    ZObject_7_0_0* value = e.value.load(std::memory_order_acquire);
    if (ZAbstractString_7_0_0* key = __atomic_load_n(&e.key, __ATOMIC_ACQUIRE))
      putEntry(*key, value);
    else
      putEntry(ZUTF8ConstString_7_0_0(e.chars, e.length), value);
  }
}

void ZHashKeyMap_7_0_0::removeEntry(const ZAbstractString_7_0_0& key) {
  WriterGuard hold(writers_);
  Table* t = table_.load(std::memory_order_relaxed);
  if (!t) return;
  Entry* e = lookUp(t, hashIn(t, key.data(), key.size()), key.data(), key.size());
  if (!e) return;
  ZAbstractString_7_0_0* k = e->key;
  ZObject_7_0_0* v = e->value.load(std::memory_order_relaxed);
  Retired* keep = nullptr;
  if (concurrent_) {
    // Rebuilding keeps insertion order and lets readers go on in the old table.
    keep = reserveRetired(2, false);
    Table* rebuilt;
    try {
      rebuilt = copyTable(t, t->capacity, e, t->salt);
    } catch (...) {
      std::free(keep);
      throw;
    }
    publish(rebuilt);
  } else {
    // With no readers beside it the table is closed up in place: a removal
    // never needs memory, so undoing an add can never fail.
    releaseText(t, *e);
    std::uint32_t n = t->count.load(std::memory_order_relaxed);
    for (std::uint32_t i = static_cast<std::uint32_t>(e - t->entries); i + 1 < n; ++i) {
      moveEntry(t->entries[i], t->entries[i + 1]);
    }
    t->count.store(n - 1, std::memory_order_relaxed);
    reindex(t);
    compactTexts(t);
  }
  drop(k, keep);
  drop(v, keep);
  commitRetired(keep);
}

void ZHashKeyMap_7_0_0::reindex(Table* t) {
  for (std::uint32_t s = 0; s <= t->mask; ++s) t->index[s].store(-1, std::memory_order_relaxed);
  std::uint32_t n = t->count.load(std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t s = t->entries[i].hash & t->mask;
    while (t->index[s].load(std::memory_order_relaxed) >= 0) s = (s + 1) & t->mask;
    t->index[s].store(static_cast<std::int32_t>(i), std::memory_order_relaxed);
  }
}

// A marked entry keeps its place (so that the index's entry numbers stay
// right) with no text, key or value; its index slot is emptied by
// backward-shift deletion, which keeps every other probe chain whole.
void ZHashKeyMap_7_0_0::markForRemoval(const char* text, std::size_t length) noexcept {
  Table* t = table_.load(std::memory_order_relaxed);
  if (!t || !owns_ || concurrent_) return;
  std::uint64_t hash = hashIn(t, text, length);
  Entry* e = lookUp(t, hash, text, length);
  if (!e) return;
  const auto number = static_cast<std::int32_t>(e - t->entries);
  std::uint32_t hole = static_cast<std::uint32_t>(hash) & t->mask;
  while (t->index[hole].load(std::memory_order_relaxed) != number) hole = (hole + 1) & t->mask;
  t->index[hole].store(-1, std::memory_order_relaxed);
  for (std::uint32_t s = (hole + 1) & t->mask;; s = (s + 1) & t->mask) {
    std::int32_t i = t->index[s].load(std::memory_order_relaxed);
    if (i < 0) break;
    std::uint32_t home = t->entries[i].hash & t->mask;
    if (((s - home) & t->mask) >= ((s - hole) & t->mask)) {
      t->index[hole].store(i, std::memory_order_relaxed);
      t->index[s].store(-1, std::memory_order_relaxed);
      hole = s;
    }
  }
  releaseText(t, *e);
  delete e->key;
  delete e->value.load(std::memory_order_relaxed);
  e->key = nullptr;
  e->value.store(nullptr, std::memory_order_relaxed);
  e->chars = nullptr;  // the mark: every stored entry has a text
}

void ZHashKeyMap_7_0_0::sweepMarked() noexcept {
  Table* t = table_.load(std::memory_order_relaxed);
  if (!t || !owns_ || concurrent_) return;
  std::uint32_t n = t->count.load(std::memory_order_relaxed);
  std::uint32_t k = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    Entry& from = t->entries[i];
    if (!from.chars) continue;
    if (k != i) moveEntry(t->entries[k], from);
    ++k;
  }
  if (k == n) return;
  t->count.store(k, std::memory_order_relaxed);
  reindex(t);
  compactTexts(t);
}

void ZHashKeyMap_7_0_0::removeAll() {
  WriterGuard hold(writers_);
  Table* t = table_.load(std::memory_order_relaxed);
  if (!t) return;
  std::uint32_t n = t->count.load(std::memory_order_relaxed);
  Retired* keep = reserveRetired(2 * n, true);  // may raise: nothing has changed
  table_.store(nullptr, std::memory_order_release);
  for (std::uint32_t i = 0; i < n; ++i) {
    drop(t->entries[i].key, keep);
    drop(t->entries[i].value.load(std::memory_order_relaxed), keep);
  }
  if (keep) {
    keep->table = t;
    commitRetired(keep);
  } else {
    freeTables(t);
  }
}

namespace {
// Appends `n` elements to `list`, all or none: when one cannot be added (its
// copy in an owning list, or room), those added before it are taken back.
template <typename Element>
void appendAll(ZArrayList_7_0_0& list, std::uint32_t n, Element element) {
  const int before = list.size();
  try {
    for (std::uint32_t i = 0; i < n; ++i) list.add(element(i));
  } catch (...) {
    while (list.size() > before) list.remove(list.size() - 1);
    throw;
  }
}
}  // namespace

void ZHashKeyMap_7_0_0::listKeys(ZArrayList_7_0_0& keys) const {
  const Table* t = table_.load(std::memory_order_acquire);
  if (!t) return;
  std::uint32_t n = t->count.load(std::memory_order_acquire);
  // Names stored as text get their key objects now, kept with the entry
  // for every later listing. Readers may list at once: the first one to
  // store a key wins and the others drop theirs.
  for (std::uint32_t i = 0; i < n; ++i) {
    Entry& e = t->entries[i];
    if (__atomic_load_n(&e.key, __ATOMIC_ACQUIRE)) continue;
    ZAbstractString_7_0_0* made = ZUTF8String_7_0_0::copyOf(e.chars, e.length);
    if (!made) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
    ZAbstractString_7_0_0* none = nullptr;
    if (!__atomic_compare_exchange_n(&e.key, &none, made, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) delete made;
  }
  appendAll(keys, n, [t](std::uint32_t i) { return __atomic_load_n(&t->entries[i].key, __ATOMIC_ACQUIRE); });
}

void ZHashKeyMap_7_0_0::listObjects(ZArrayList_7_0_0& values) const {
  const Table* t = table_.load(std::memory_order_acquire);
  if (!t) return;
  appendAll(values, t->count.load(std::memory_order_acquire),
            [t](std::uint32_t i) { return t->entries[i].value.load(std::memory_order_acquire); });
}

// ---------------------------------------------------------------- ZHashMap_7_0_0

ZHashMap_7_0_0::ZHashMap_7_0_0(int capacity, int owns) : owns_(owns != 0) {
  std::size_t slots = 8;
  while (capacity > 0 && slots < static_cast<std::size_t>(capacity) * 2 && slots < (1u << 28)) slots <<= 1;
  rehash(slots);
}

ZHashMap_7_0_0::ZHashMap_7_0_0(const ZHashMap_7_0_0& other) : ZObject_7_0_0(other), owns_(other.owns_) {
  rehash(mask_ + 1 > other.mask_ + 1 ? mask_ + 1 : other.mask_ + 1);
  try {
    for (std::size_t i = 0; i <= other.mask_; ++i)
      if (other.slots_[i].element) add(other.slots_[i].element);
  } catch (...) {
    removeAll();
    std::free(slots_);
    throw;
  }
}

ZHashMap_7_0_0& ZHashMap_7_0_0::operator=(const ZHashMap_7_0_0& other) {
  if (this != &other) {
    ZHashMap_7_0_0 copy(other);
    removeAll();
    std::free(slots_);
    slots_ = copy.slots_;
    mask_ = copy.mask_;
    count_ = copy.count_;
    owns_ = copy.owns_;
    copy.slots_ = nullptr;
    copy.count_ = 0;
    copy.mask_ = 0;
  }
  return *this;
}

ZHashMap_7_0_0::~ZHashMap_7_0_0() {
  if (slots_) removeAll();
  std::free(slots_);
}

ZObject_7_0_0* ZHashMap_7_0_0::clone() const { return new ZHashMap_7_0_0(*this); }

void ZHashMap_7_0_0::rehash(std::size_t slots) {
  Slot* fresh = static_cast<Slot*>(std::calloc(slots, sizeof(Slot)));
  if (!fresh) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  Slot* old = slots_;
  std::size_t oldSlots = old ? mask_ + 1 : 0;
  slots_ = fresh;
  mask_ = slots - 1;
  for (std::size_t i = 0; i < oldSlots; ++i) {
    if (!old[i].element) continue;
    std::size_t s = old[i].hash & mask_;
    while (slots_[s].element) s = (s + 1) & mask_;
    slots_[s] = old[i];
  }
  std::free(old);
}

int ZHashMap_7_0_0::findSlot(const ZObject_7_0_0& element, unsigned long hash) const {
  for (std::size_t s = hash & mask_;; s = (s + 1) & mask_) {
    const Slot& slot = slots_[s];
    if (!slot.element) return -1;
    if (slot.hash == hash && slot.element->equals(element)) return static_cast<int>(s);
  }
}

void ZHashMap_7_0_0::add(const ZObject_7_0_0* element) {
  if (!element) return;
  unsigned long h = element->hash();
  if (findSlot(*element, h) >= 0) return;
  if (static_cast<std::size_t>(count_ + 1) * 2 > mask_ + 1) rehash((mask_ + 1) * 2);
  ZObject_7_0_0* stored = const_cast<ZObject_7_0_0*>(element);
  if (owns_) {
    stored = element->clone();
    if (!stored) ornz::throwOutOfMemory("foundation/zhashkeymap", __LINE__);
  }
  std::size_t s = h & mask_;
  while (slots_[s].element) s = (s + 1) & mask_;
  slots_[s] = Slot{h, stored};
  ++count_;
}

bool ZHashMap_7_0_0::contains(const ZObject_7_0_0& element) const {
  return findSlot(element, element.hash()) >= 0;
}

void ZHashMap_7_0_0::remove(const ZObject_7_0_0& element) {
  int found = findSlot(element, element.hash());
  if (found < 0) return;
  std::size_t hole = static_cast<std::size_t>(found);
  if (owns_) delete slots_[hole].element;
  slots_[hole] = Slot{0, nullptr};
  --count_;
  // Backward-shift deletion keeps every probe chain unbroken without tombstones.
  for (std::size_t s = (hole + 1) & mask_; slots_[s].element; s = (s + 1) & mask_) {
    std::size_t home = slots_[s].hash & mask_;
    if (((s - home) & mask_) >= ((s - hole) & mask_)) {
      slots_[hole] = slots_[s];
      slots_[s] = Slot{0, nullptr};
      hole = s;
    }
  }
}

void ZHashMap_7_0_0::removeAll() {
  for (std::size_t i = 0; slots_ && i <= mask_; ++i) {
    if (owns_) delete slots_[i].element;
    slots_[i] = Slot{0, nullptr};
  }
  count_ = 0;
}

int ZHashMap_7_0_0::size() const { return count_; }
