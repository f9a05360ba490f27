#include "util/internal/msgcache_store.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "foundation/internal/hash.h"

namespace ornmsg {
namespace {

using Entry = I18NCache::Entry;

// The private header in front of the first entry slot. Its size keeps the
// slots after it aligned.
struct Header {
  std::uint32_t waiting;     // entries[count, count + waiting) wait to be merged
  std::uint32_t indexSlots;  // slots of `index`, a power of two, or 0
  std::uint32_t* index;      // 1 + (slot - count) of a waiting entry, at the hash of its key; 0 empty
  char* textNext;            // the free part of the arena's newest chunk
  char* textEnd;
  void* textChunks;          // the newest chunk; each starts with a pointer to the one before
  std::uint32_t* sample;     // the key of every kSampleStep-th sorted entry, when `sampled`
  std::uint32_t sampleSlots;
  std::uint32_t sampled;     // entries of `sample` in use: (count + kSampleStep - 1) / kSampleStep, or 0 (none)
};
static_assert(sizeof(Header) % alignof(Entry) == 0, "the slots after the header must stay aligned");

// The first block holds as many slots as the cache always had (small caches
// keep their old figures); then the block doubles, so that a growth, which
// copies every entry, is paid for by the inserts since the one before.
constexpr std::size_t kFirstSlots = 1024;
// The most entries that wait: a share of the sorted ones, so that a merge,
// which may move every sorted entry, is paid for by the inserts it merges
// (about eight moves each), and a floor, so that a small cache does not
// merge at every insert.
constexpr std::size_t kWaitingShare = 8, kLeastWaiting = 64;
// Placeholders are cut from chunks of this size: a 36-character text costs
// its 37 bytes, not a block of the allocator with its header and rounding.
constexpr std::size_t kChunkBytes = 8192;
// Look-ups in a cache of this many sorted entries or more search first a
// sample of every kSampleStep-th key (small enough to stay in the processor's
// caches: 4 bytes per 16 entries), then one run of kSampleStep entries. A
// plain binary search over a large array waits on a cache miss at nearly
// every step (at a million ids, 0.6 us against 0.2 us through the sample).
constexpr std::size_t kSampleFrom = 2048, kSampleStep = 16;
// `count` is an int: the slots in use never exceed it.
constexpr std::size_t kMostSlots = INT_MAX;

Header* header(const I18NCache& cache) {
  return reinterpret_cast<Header*>(reinterpret_cast<char*>(cache.entries) - sizeof(Header));
}

std::size_t waitingLimit(int count) {
  return std::max(kLeastWaiting, static_cast<std::size_t>(count) / kWaitingShare);
}

// Index slots for `entries` waiting entries: at most half full, so that a
// probe run stays short.
std::size_t indexSlotsFor(std::size_t entries) {
  std::size_t slots = 16;
  while (slots < 2 * entries) slots *= 2;
  return slots;
}

// A slot of the index for `key`. Keyed with the process's secret, so that no
// one can pick ids that all land in one run of the probe.
std::size_t indexSlot(unsigned int key, std::size_t slots) {
  const ornz::HashKey& k = ornz::processHashKey();
  return static_cast<std::size_t>(ornz::mum(key ^ k.a, k.b ^ k.seed)) & (slots - 1);
}

// Orders entries by key as unsigned numbers (an object, so that sort and
// merge inline it).
struct ByKey {
  bool operator()(const Entry& a, const Entry& b) const { return a.key < b.key; }
};

// Makes the block hold at least `slots` slots (the first block when there is
// none). The new slots are zero: a null text marks the end of the waiting
// entries for a reader of the members. False when memory ran out (nothing
// changed).
bool reserve(I18NCache& cache, std::size_t slots) {
  const std::size_t have = cache.entries ? cache.capacity : 0;
  if (slots <= have) return true;
  if (slots > kMostSlots) return false;
  std::size_t grown = have ? std::min(std::max(slots, 2 * have), kMostSlots) : std::max(slots, kFirstSlots);
  void* base = cache.entries ? header(cache) : nullptr;
  void* moved = std::realloc(base, sizeof(Header) + grown * sizeof(Entry));
  if (!moved) return false;
  if (!base) std::memset(moved, 0, sizeof(Header));
  cache.entries = reinterpret_cast<Entry*>(static_cast<char*>(moved) + sizeof(Header));
  std::memset(static_cast<void*>(cache.entries + have), 0, (grown - have) * sizeof(Entry));
  cache.capacity = static_cast<unsigned int>(grown);
  return true;
}

const Entry* findWaiting(const I18NCache& cache, const Header& h, unsigned int key) {
  const std::size_t mask = h.indexSlots - 1;
  for (std::size_t at = indexSlot(key, h.indexSlots);; at = (at + 1) & mask) {
    const std::uint32_t mark = h.index[at];
    if (!mark) return nullptr;
    const Entry& e = cache.entries[cache.count + (mark - 1)];
    if (e.key == key) return &e;
  }
}

bool goesLast(const I18NCache& cache, unsigned int key) {
  return cache.count == 0 || cache.entries[cache.count - 1].key <= key;
}

std::size_t sampleSize(int count) { return (static_cast<std::size_t>(count) + kSampleStep - 1) / kSampleStep; }

// Makes `sample` hold at least `size` keys. False when memory ran out.
bool reserveSample(Header& h, std::size_t size) {
  if (size <= h.sampleSlots) return true;
  std::size_t slots = std::max<std::size_t>(size, 2 * static_cast<std::size_t>(h.sampleSlots));
  auto* grown = static_cast<std::uint32_t*>(std::realloc(h.sample, slots * sizeof(std::uint32_t)));
  if (!grown) return false;
  h.sample = grown;
  h.sampleSlots = static_cast<std::uint32_t>(slots);
  return true;
}

// Takes the sample of the sorted entries anew (after a merge moved them).
// Without memory for it there is none, and look-ups search the whole array.
void resample(I18NCache& cache, Header& h) {
  h.sampled = 0;
  if (static_cast<std::size_t>(cache.count) < kSampleFrom) return;
  const std::size_t size = sampleSize(cache.count);
  if (!reserveSample(h, size)) return;
  for (std::size_t i = 0; i < size; ++i) h.sample[i] = cache.entries[i * kSampleStep].key;
  h.sampled = static_cast<std::uint32_t>(size);
}

// The sample after `key` was appended to the sorted entries: it gains a key
// when the entry starts a run. A cache growing to a power of two of entries
// without one (too small before, or memory ran out) takes one then.
void sampleAppended(I18NCache& cache, unsigned int key) {
  Header& h = *header(cache);
  const std::size_t count = static_cast<std::size_t>(cache.count);
  if (h.sampled) {
    if ((count - 1) % kSampleStep != 0) return;
    if (reserveSample(h, h.sampled + 1)) h.sample[h.sampled++] = key;
    else h.sampled = 0;
  } else if (count >= kSampleFrom && (count & (count - 1)) == 0) {
    resample(cache, h);
  }
}

// The last of `n` entries from `base` whose key is not above `key` (the
// first when none is). A binary search over the keys as unsigned numbers,
// written without branches on the data: each step is a conditional move, so
// it neither calls a comparator nor mispredicts. Of equal keys it ends on
// the last, the newest.
const Entry* lastNotAbove(const Entry* base, std::size_t n, unsigned int key) {
  while (n > 1) {
    std::size_t half = n / 2;
    base = base[half].key <= key ? base + half : base;
    n -= half;
  }
  return base;
}

// Appends to the sorted entries; only when none waits, and `key` goes last.
bool appendSorted(I18NCache& cache, unsigned int key, unsigned char* text) {
  const std::size_t count = static_cast<std::size_t>(cache.count);
  if (!reserve(cache, count + 1)) return false;
  cache.entries[count].key = key;
  cache.entries[count].text = text;
  ++cache.count;
  sampleAppended(cache, key);
  return true;
}

}  // namespace

void mergeWaiting(I18NCache& cache) noexcept {
  if (!cache.entries) return;
  Header& h = *header(cache);
  if (!h.waiting) return;
  Entry* sortedEnd = cache.entries + cache.count;
  Entry* end = sortedEnd + h.waiting;
  // Keys that wait are distinct (addEntry merges before a second one comes),
  // so their order among themselves needs no tie rule; the merge is stable
  // and puts every one after the sorted entries of an equal key, which came
  // first. inplace_merge takes a buffer of the waiting entries when it can
  // have one (linear) and merges without one otherwise.
  std::sort(cache.entries + cache.count, end, ByKey());
  std::inplace_merge(cache.entries, sortedEnd, end, ByKey());
  cache.count += static_cast<int>(h.waiting);
  h.waiting = 0;
  std::memset(h.index, 0, h.indexSlots * sizeof *h.index);
  resample(cache, h);
}

bool addEntry(I18NCache& cache, unsigned int key, unsigned char* text) noexcept {
  if (cache.entries) {
    Header& h = *header(cache);
    // A second entry of a waiting key, or a full side: merge first.
    if (h.waiting && (findWaiting(cache, h, key) || h.waiting >= waitingLimit(cache.count))) mergeWaiting(cache);
    if (h.waiting == 0 && goesLast(cache, key)) return appendSorted(cache, key, text);
  } else {
    return appendSorted(cache, key, text);
  }
  // Out of order: wait, so that the insert moves no sorted entry.
  Header* h = header(cache);
  if (h->waiting == 0) {
    const std::size_t slots = indexSlotsFor(waitingLimit(cache.count));
    if (h->indexSlots < slots) {
      auto* index = static_cast<std::uint32_t*>(std::calloc(slots, sizeof(std::uint32_t)));
      if (!index) return false;
      std::free(h->index);
      h->index = index;
      h->indexSlots = static_cast<std::uint32_t>(slots);
    }
  }
  const std::size_t slot = static_cast<std::size_t>(cache.count) + h->waiting;
  if (!reserve(cache, slot + 1)) return false;
  h = header(cache);  // the block may have moved
  cache.entries[slot].key = key;
  cache.entries[slot].text = text;
  const std::size_t mask = h->indexSlots - 1;
  std::size_t at = indexSlot(key, h->indexSlots);
  while (h->index[at]) at = (at + 1) & mask;
  h->index[at] = ++h->waiting;
  return true;
}

unsigned char* findEntry(const I18NCache& cache, unsigned int key) noexcept {
  if (!cache.entries) return nullptr;
  const Header& h = *header(cache);
  // A waiting entry is newer than any sorted one of its key.
  if (h.waiting)
    if (const Entry* e = findWaiting(cache, h, key)) return e->text;
  if (cache.count <= 0) return nullptr;
  const Entry* base = cache.entries;
  std::size_t n = static_cast<std::size_t>(cache.count);
  if (h.sampled) {
    // The last run whose first key is not above `key` holds the last entry
    // not above it: every later run starts above.
    const std::uint32_t* s = h.sample;
    if (*s > key) return nullptr;
    std::size_t m = h.sampled;
    while (m > 1) {
      std::size_t half = m / 2;
      s = s[half] <= key ? s + half : s;
      m -= half;
    }
    const std::size_t run = static_cast<std::size_t>(s - h.sample) * kSampleStep;
    base += run;
    n = std::min(kSampleStep, n - run);
  }
  base = lastNotAbove(base, n, key);
  return base->key == key ? base->text : nullptr;
}

char* cutText(I18NCache& cache, std::size_t bytes) noexcept {
  if (!reserve(cache, 1)) return nullptr;
  Header& h = *header(cache);
  if (static_cast<std::size_t>(h.textEnd - h.textNext) < bytes) {
    const std::size_t size = std::max(kChunkBytes, bytes + sizeof(void*));
    auto* chunk = static_cast<char*>(std::malloc(size));
    if (!chunk) return nullptr;
    std::memcpy(chunk, &h.textChunks, sizeof(void*));
    h.textChunks = chunk;
    h.textNext = chunk + sizeof(void*);
    h.textEnd = chunk + size;
  }
  char* text = h.textNext;
  h.textNext += bytes;
  return text;
}

void releaseStore(I18NCache& cache) noexcept {
  if (!cache.entries) return;
  Header* h = header(cache);
  for (void* chunk = h->textChunks; chunk;) {
    void* before;
    std::memcpy(&before, chunk, sizeof(void*));
    std::free(chunk);
    chunk = before;
  }
  std::free(h->index);
  std::free(h->sample);
  std::free(h);
  cache.entries = nullptr;
  cache.capacity = 0;
  cache.count = 0;
}

}  // namespace ornmsg
