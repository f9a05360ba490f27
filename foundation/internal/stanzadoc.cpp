#include "foundation/internal/stanzadoc.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/internal/fileread.h"
#include "foundation/internal/hash.h"
#include "foundation/zexception.h"

namespace ornz {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

const char* skipBlanks(const char* b, const char* e) {
  while (b < e && isBlank(*b)) ++b;
  return b;
}

const char* trimBack(const char* b, const char* e) {
  while (e > b && isBlank(e[-1])) --e;
  return e;
}

[[noreturn]] void invalid(const char* fileName, int line, const char* what) {
  ZPropertiesInvalidDataException_7_0_0 e(fileName, line, what);
  e.throwException("foundation/zstanzafile", __LINE__);
}

// One line of the text, as the parser and the survey both read it.
struct LineRead {
  const char* end;   // the end of its text (line end and a CR before it left out)
  const char* next;  // where the next line starts
  StanzaDocument::Eol eol;
};

// Where the line that starts at `p` ends, and where its first "=" is (null
// when it has none). Most lines of a configuration file are short: one
// sixteen-byte look answers both without a call.
[[gnu::always_inline]] inline LineRead readLine(const char* p, const char* end, const char*& eq) {
  const char* nl = nullptr;
  eq = nullptr;
#if defined(__SSE2__)
  if (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
    if (lf) {
      unsigned at = static_cast<unsigned>(__builtin_ctz(lf));
      unsigned e = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')))) &
                   ((1u << at) - 1);
      nl = p + at;
      eq = e ? p + __builtin_ctz(e) : nullptr;
      goto found;
    }
  }
#endif
  nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
  eq = static_cast<const char*>(std::memchr(p, '=', static_cast<std::size_t>((nl ? nl : end) - p)));
#if defined(__SSE2__)
found:
#endif
  LineRead r{nl ? nl : end, nl ? nl + 1 : end, nl ? StanzaDocument::kLf : StanzaDocument::kNone};
  if (r.end > p && r.end[-1] == '\r') {
    // Without a following LF only at the very end: a value must not gain or
    // lose a CR when a line is later added after it.
    --r.end;
    r.eol = nl ? StanzaDocument::kCrLf : StanzaDocument::kCr;
  }
  if (eq && eq >= r.end) eq = nullptr;
  return r;
}

// The first "=" in [t, t + n), or null. Keys are short: a loop over the
// first bytes answers most look-ups without the call memchr costs.
inline const char* firstEquals(const char* t, std::size_t n) {
  std::size_t head = n < 32 ? n : 32;
  for (std::size_t i = 0; i < head; ++i)
    if (t[i] == '=') return t + i;
  return n > head ? static_cast<const char*>(std::memchr(t + head, '=', n - head)) : nullptr;
}

// The bytes of each line end.
const char* const kEolText[] = {"", "\n", "\r\n", "\r"};
const std::uint32_t kEolLength[] = {0, 1, 2, 1};

// Whether the line [b, e) is a comment: its first non-blank character is "#".
bool isCommentLine(const char* b, const char* e) {
  b = skipBlanks(b, e);
  return b < e && *b == '#';
}

}  // namespace

// ---------------------------------------------------------------- the shape of a line

namespace {
// How a line reads: its kind and, for a header or an entry, where its name
// and value lie (from the start of `p`) and whether a blank run around them
// is longer than kShortRun. `eq`: the line's first "=", or null.
struct Reading {
  StanzaDocument::Kind kind;
  const char* why;  // for a line of no known kind: what is wrong with it; null when none
  std::uint32_t nameStart, nameEnd, valueStart, valueEnd;
  bool wide;
};

// What a line is, and what is wrong with it, without where its name and
// value lie: all the survey needs, from the first non-blank byte and, for a
// header, the last. It decides exactly as readShape does.
struct Kinding {
  StanzaDocument::Kind kind;
  const char* why;
};

[[gnu::always_inline]] inline Kinding kindOfLine(const char* p, const char* e, const char* eq) {
  const char* s = skipBlanks(p, e);
  if (s == e || *s == '#') return {StanzaDocument::kText, nullptr};
  if (*s == '[') {
    const char* close = trimBack(s + 1, e);
    if (close == s + 1 || close[-1] != ']') return {StanzaDocument::kText, "unclosed [ in a stanza header"};
    if (skipBlanks(s + 1, close - 1) == close - 1) return {StanzaDocument::kText, "empty stanza name"};
    return {StanzaDocument::kHeader, nullptr};
  }
  if (!eq) return {StanzaDocument::kText, "not a stanza header, an entry or a comment"};
  // `s` is no blank, so the key before "=" is empty only when "=" is at `s`.
  if (eq == s) return {StanzaDocument::kText, "entry without a key"};
  return {StanzaDocument::kEntry, nullptr};
}

// Inlined where a line is read (the build reads every line): a call would
// hand the reading back through memory.
[[gnu::always_inline]] inline Reading readShape(const char* p, const char* e, const char* eq) {
  constexpr std::uint32_t kShort = StanzaDocument::kShortRun;
  Reading r{StanzaDocument::kText, nullptr, 0, 0, 0, 0, false};
  const char* s = skipBlanks(p, e);
  if (s == e || *s == '#') return r;
  auto at = [p](const char* q) { return static_cast<std::uint32_t>(q - p); };
  if (*s == '[') {
    const char* close = trimBack(s + 1, e);
    if (close == s + 1 || close[-1] != ']') {
      r.why = "unclosed [ in a stanza header";
      return r;
    }
    const char* nb = skipBlanks(s + 1, close - 1);
    const char* ne = trimBack(nb, close - 1);
    if (nb == ne) {
      r.why = "empty stanza name";
      return r;
    }
    r.kind = StanzaDocument::kHeader;
    r.nameStart = at(nb);
    r.nameEnd = at(ne);
    r.valueStart = r.valueEnd = at(close);
    r.wide = s - p > kShort || nb - (s + 1) > kShort || (close - 1) - ne > kShort || e - close > kShort;
    return r;
  }
  if (!eq) {
    r.why = "not a stanza header, an entry or a comment";
    return r;
  }
  const char* ke = trimBack(s, eq);
  if (ke == s) {
    r.why = "entry without a key";
    return r;
  }
  const char* vb = skipBlanks(eq + 1, e);
  const char* ve = trimBack(vb, e);
  r.kind = StanzaDocument::kEntry;
  r.nameStart = at(s);
  r.nameEnd = at(ke);
  r.valueStart = at(vb);
  r.valueEnd = at(ve);
  r.wide = s - p > kShort || eq - ke > kShort || vb - (eq + 1) > kShort || e - ve > kShort;
  return r;
}
}  // namespace

StanzaDocument::Shape StanzaDocument::shapeOf(std::int32_t line) const {
  const Line& l = lines_[line];
  if (l.start & kWide) return wide_.find(line)->second;
  // Every blank run of this line is short: reading it again costs the name
  // and at most a few blanks, never a long run.
  const char* t = textOf(l);
  const char* e = t + lengthOf(l);
  const char* eq = nullptr;
  if (kindOf(l) == kEntry) eq = firstEquals(t, lengthOf(l));
  Reading r = readShape(t, e, eq);
  return Shape{r.nameStart, r.nameEnd, r.valueStart, r.valueEnd};
}

void StanzaDocument::noteShape(std::int32_t line, const Shape& shape) {
  // The map entry first: exhausted memory leaves the line as it was.
  wide_[line] = shape;
  lines_[line].start |= kWide;
}

// ---------------------------------------------------------------- indexes

// The steps a parse takes for every key are inlined into it (nameHash,
// addKeyLine, appendParsed): their calls were a seventh of a parse
// of ordinary files (a 1.35 MB file: 2.8 ms called, 2.4 ms inlined), which
// the parse's goal of a fifth of a bare line-end scan's speed cannot spare.
[[gnu::always_inline]] inline std::uint32_t StanzaDocument::nameHash(std::string_view name) {
  std::uint64_t h = hashText(processHashKey(), name.data(), name.size());
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

namespace {
// A slot holds an id + 1 in its low kIdBits and the top bits of the hash
// above; a probe starts from the hash's low bits, which the tag leaves out.
constexpr std::uint32_t kTagShift = 27;  // StanzaDocument::kIdBits
inline std::uint32_t slotOf(std::int32_t id, std::uint32_t hash) {
  return (hash & ~((1u << kTagShift) - 1)) | static_cast<std::uint32_t>(id + 1);
}
inline std::int32_t idOf(std::uint32_t slot) { return static_cast<std::int32_t>(slot & ((1u << kTagShift) - 1)) - 1; }
inline bool tagMatches(std::uint32_t slot, std::uint32_t hash) { return ((slot ^ hash) >> kTagShift) == 0; }
inline std::size_t home(std::uint32_t hash, std::uint32_t capLog) {
  return hash & ((std::size_t{1} << capLog) - 1);
}
// A probe that runs this long means the table is too full for its keys (or
// the keys were chosen to collide): the table is made larger instead, as
// long as that still thins it out.
// The bound grows with the table (as the key map's does): linear probing
// at three quarters full sees runs of a few dozen slots in a large table
// without any aiming.
inline std::size_t longProbe(std::size_t slots) {
  return 8 + 8 * static_cast<std::size_t>(64 - __builtin_clzll(slots | 1));
}
}  // namespace

std::uint32_t* StanzaDocument::findKey(std::int32_t stanza, std::string_view k, std::uint32_t hash,
                                       Shape* shape) const {
  if (stanza < 0) return nullptr;
  const Stanza& st = stanzas_[stanza];
  if (st.keyCount == 0) return nullptr;
  std::size_t mask = (std::size_t{1} << st.keyCapLog) - 1;
  const std::uint32_t* base = keyIndex_.at(st.keyOffset);
  for (std::size_t s = home(hash, st.keyCapLog), n = 0; n <= mask; s = (s + 1) & mask, ++n) {
    std::uint32_t slot = base[s];
    if (slot == 0) return nullptr;
    if (!tagMatches(slot, hash)) continue;
    std::int32_t line = idOf(slot);
    Shape found = shapeOf(line);
    if (std::string_view(textOf(lines_[line]) + found.nameStart, found.nameEnd - found.nameStart) != k) continue;
    if (shape) *shape = found;
    return const_cast<std::uint32_t*>(&base[s]);
  }
  return nullptr;  // a full one-slot table
}

void StanzaDocument::growKeys(std::int32_t stanza, std::uint32_t capLog) {
  // The table moves to new room, made before anything changes; its keys
  // are put there from the old slots, which are then given back.
  Stanza& st = stanzas_[stanza];
  std::size_t oldCap = st.keyCount ? std::size_t{1} << st.keyCapLog : 0;
  std::size_t cap = std::size_t{1} << capLog;
  if (cap > kOffsetMask) throw std::bad_alloc();
  std::uint32_t offset = keyIndex_.place(cap);
  const std::uint32_t* old = oldCap ? keyIndex_.at(st.keyOffset) : nullptr;
  std::uint32_t* slots = keyIndex_.at(offset);
  // Each key's hash is taken again from its text, which lies anywhere in
  // the file: the records and texts of the keys a few slots on are fetched
  // ahead, so that a large table's keys are not read one miss at a time.
  std::size_t mask = cap - 1;
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < oldCap; ++i) {
    if (i + 2 * kAhead < oldCap && old[i + 2 * kAhead]) __builtin_prefetch(&lines_[idOf(old[i + 2 * kAhead])]);
    if (i + kAhead < oldCap && old[i + kAhead]) __builtin_prefetch(textOf(lines_[idOf(old[i + kAhead])]));
    if (!old[i]) continue;
    std::size_t s = home(nameHash(key(idOf(old[i]))), capLog);
    while (slots[s]) s = (s + 1) & mask;
    slots[s] = old[i];
  }
  if (oldCap) keyIndex_.release(st.keyOffset, oldCap);
  st.keyOffset = offset;
  st.keyCapLog = capLog;
}

std::uint32_t StanzaDocument::KeySlots::place(std::size_t slots) {
  if (slots > kLargest) {
    // Numbers for as many chunks as the table spans, so that offsets within
    // it read as within one chunk each.
    std::size_t first = bases_.size(), spans = (slots + kChunk - 1) / kChunk;
    if ((first + spans) << kShift > kOffsetMask) throw std::bad_alloc();
    bases_.reserve(first + spans);
    owners_.reserve(first + spans);
    std::unique_ptr<std::uint32_t[]> table(new std::uint32_t[slots]());
    for (std::size_t i = 0; i < spans; ++i) {
      bases_.push_back(table.get() + i * kChunk);
      owners_.emplace_back();
    }
    owners_[first] = std::move(table);
    held_ += slots * sizeof(std::uint32_t);
    return static_cast<std::uint32_t>(first << kShift);
  }
  if (fill_ + slots > kChunk) {
    std::size_t number = bases_.size();
    if ((number + 1) << kShift > kOffsetMask) throw std::bad_alloc();
    bases_.reserve(number + 1);
    owners_.reserve(number + 1);
    std::unique_ptr<std::uint32_t[]> chunk(new std::uint32_t[kChunk]);
    bases_.push_back(chunk.get());
    owners_.push_back(std::move(chunk));
    held_ += kChunk * sizeof(std::uint32_t);
    current_ = number;
    fill_ = 0;
  }
  std::uint32_t offset = static_cast<std::uint32_t>((current_ << kShift) | fill_);
  std::fill_n(at(offset), slots, 0u);
  fill_ += slots;
  return offset;
}

void StanzaDocument::KeySlots::release(std::uint32_t offset, std::size_t slots) {
  if (slots <= kLargest) return;
  owners_[offset >> kShift].reset();
  held_ -= slots * sizeof(std::uint32_t);
}

void StanzaDocument::KeySlots::clear() {
  bases_.clear();
  owners_.clear();
  fill_ = kChunk;
  current_ = 0;
  held_ = 0;
}

std::size_t StanzaDocument::KeySlots::bytesHeld() const {
  return held_ + bases_.capacity() * sizeof(void*) + owners_.capacity() * sizeof(void*);
}

void StanzaDocument::makeRoomForKey(std::int32_t stanza) {
  // A table may be three quarters full (linear probing keeps its runs
  // short, and the tag bits in each slot settle most of a run without
  // reading a name), except a one-slot table, which holds its one key: in a
  // file of one-key stanzas (a common shape) that halves the key tables.
  // Not half: the 16 slots of a stanza of ten keys are one line of the
  // cache, and a parse of such stanzas writes half the slots (a tenth less
  // time, 2.8 against 3.1 ms for a 1.35 MB file, where the parse's goal is
  // a fifth of a bare line-end scan's speed).
  const Stanza& st = stanzas_[stanza];
  if (st.keyCount == 0) {
    // A first table at the size the file's average stanza needs, so that
    // most stanzas of a file never grow theirs.
    stanzas_[stanza].keyOffset = keyIndex_.place(std::size_t{1} << firstKeyCapLog_);
    stanzas_[stanza].keyCapLog = firstKeyCapLog_;
    return;
  }
  if (!hasRoomForKey(st)) growKeys(stanza, st.keyCapLog == 0 ? 2 : st.keyCapLog + 1);
}

void StanzaDocument::prefetchKey(std::int32_t stanza, std::string_view key) const {
  if (stanza < 0 || stanzas_[stanza].keyCount == 0) return;
  const Stanza& st = stanzas_[stanza];
  __builtin_prefetch(keyIndex_.at(st.keyOffset) + home(nameHash(key), st.keyCapLog));
}

void StanzaDocument::reserveKeys(std::int32_t stanza, std::size_t more) {
  if (stanza < 0 || stanzas_[stanza].keyCount == 0) return;  // a first key makes the table
  // Half full with all of them, short of the three quarters a table may
  // reach: room to spare.
  std::size_t keys = std::min<std::size_t>(stanzas_[stanza].keyCount + more, kIdMask);
  std::uint32_t capLog = 2;
  while ((std::size_t{1} << capLog) < 2 * keys) ++capLog;
  if (capLog > stanzas_[stanza].keyCapLog) growKeys(stanza, capLog);
}

[[gnu::always_inline]] inline void StanzaDocument::addKeyLine(std::int32_t stanza, std::string_view k,
                                                              std::uint32_t hash, std::int32_t line) {
  if (!hasRoomForKey(stanzas_[stanza])) makeRoomForKey(stanza);
  for (;;) {
    Stanza& st = stanzas_[stanza];
    std::size_t mask = (std::size_t{1} << st.keyCapLog) - 1;
    std::uint32_t* base = keyIndex_.at(st.keyOffset);
    std::size_t s = home(hash, st.keyCapLog), probes = 0;
    for (; base[s]; s = (s + 1) & mask, ++probes) {
      std::uint32_t& slot = base[s];
      std::int32_t last = idOf(slot);
      if (tagMatches(slot, hash) && key(last) == k) {
        // The key's last line hands the way back to its first to the new one.
        lines_[line].link = lines_[last].link;
        lines_[last].link = line;
        slot = slotOf(line, hash);
        return;
      }
    }
    if (probes > longProbe(mask + 1) && (std::size_t{st.keyCount} << 4) > mask) {
      growKeys(stanza, st.keyCapLog + 1);
      continue;
    }
    lines_[line].link = -2 - line;
    base[s] = slotOf(line, hash);
    ++st.keyCount;
    return;
  }
}

void StanzaDocument::eraseKey(std::int32_t stanza, std::uint32_t* slot) {
  // Backward-shift deletion: probe chains stay unbroken without tombstones.
  Stanza& st = stanzas_[stanza];
  std::uint32_t* base = keyIndex_.at(st.keyOffset);
  std::size_t mask = (std::size_t{1} << st.keyCapLog) - 1;
  std::size_t hole = static_cast<std::size_t>(slot - base);
  base[hole] = 0;
  --st.keyCount;
  for (std::size_t s = (hole + 1) & mask; base[s]; s = (s + 1) & mask) {
    std::size_t h = home(nameHash(key(idOf(base[s]))), st.keyCapLog);
    if (((s - h) & mask) >= ((s - hole) & mask)) {
      base[hole] = base[s];
      base[s] = 0;
      hole = s;
    }
  }
  // A stanza without keys has no table (see makeRoomForKey).
  if (st.keyCount == 0) keyIndex_.release(st.keyOffset, mask + 1);
}

namespace {
// The stanza index may have any number of slots, so that it is sized to the
// file's headers once without rounding up to a power of two: a probe
// starts where the hash's low bits, scaled to the table, fall.
inline std::size_t homeIn(std::uint32_t hash, std::size_t slots) {
  return static_cast<std::size_t>((static_cast<std::uint64_t>(hash & ((1u << kTagShift) - 1)) * slots) >> kTagShift);
}
inline std::size_t nextSlot(std::size_t s, std::size_t slots) { return s + 1 == slots ? 0 : s + 1; }
}  // namespace

void StanzaDocument::growStanzas(std::size_t slots) {
  // The new table is made before the old one goes, so that a failed
  // allocation leaves the index as it was.
  ZeroedSlots grown(slots);
  for (std::uint32_t slot : stanzaIndex_) {
    if (!slot) continue;
    std::size_t s = homeIn(nameHash(stanzaName(idOf(slot))), slots);
    while (grown[s]) s = nextSlot(s, slots);
    grown[s] = slot;
  }
  stanzaIndex_.swap(grown);
}

std::int32_t StanzaDocument::indexStanza(std::int32_t stanza, std::string_view name, std::uint32_t h) {
  if ((stanzaLive_ + 1) * 4 > stanzaIndex_.size() * 3)
    growStanzas(stanzaIndex_.empty() ? 16 : stanzaIndex_.size() * 2);
  for (;;) {
    std::size_t slots = stanzaIndex_.size();
    std::size_t s = homeIn(h, slots), probes = 0;
    for (; stanzaIndex_[s]; s = nextSlot(s, slots), ++probes) {
      std::uint32_t& slot = stanzaIndex_[s];
      if (tagMatches(slot, h) && stanzaName(idOf(slot)) == name) {
        std::int32_t found = idOf(slot);
        if (aliveOf(lines_[stanzas_[found].header])) return found;
        slot = slotOf(stanza, h);  // a stanza made anew after its deletion
        return stanza;
      }
    }
    if (probes > longProbe(slots) && stanzaLive_ * 16 > slots) {
      growStanzas(slots * 2);
      continue;
    }
    stanzaIndex_[s] = slotOf(stanza, h);
    ++stanzaLive_;
    return stanza;
  }
}

std::int32_t StanzaDocument::findStanza(std::string_view name) const {
  return findStanza(name, nameHash(name), [](const Stanza&) {});
}

template <typename Candidate>
std::int32_t StanzaDocument::findStanza(std::string_view name, std::uint32_t h, Candidate candidate) const {
  if (stanzaIndex_.empty()) return -1;
  std::size_t slots = stanzaIndex_.size();
  for (std::size_t s = homeIn(h, slots);; s = nextSlot(s, slots)) {
    std::uint32_t slot = stanzaIndex_[s];
    if (!slot) return -1;
    std::int32_t id = idOf(slot);
    if (!tagMatches(slot, h)) continue;
    candidate(stanzas_[id]);
    if (stanzaName(id) == name) return aliveOf(lines_[stanzas_[id].header]) ? id : -1;
  }
}

// ---------------------------------------------------------------- parsing and writing

void StanzaDocument::clear() {
  buffer_.clear();
  owned_.clear();
  baseIsBuffer_ = true;
  lines_.clear();
  wide_.clear();
  head_ = tail_ = -1;
  bom_ = false;
  newEol_ = kLf;
  stanzas_.clear();
  ZeroedSlots().swap(stanzaIndex_);
  keyIndex_.clear();
  loadArena_.reset();
  stanzaLive_ = 0;
  deadBytes_ = 0;
  firstKeyCapLog_ = 0;
}

namespace {
// The end of the run of empty LF lines at `p`: a file of them is read a
// byte at a time, not a line at a time (a run is one record anyway). Kept
// within kMaxLength, which a record's text may not pass.
inline const char* emptyLinesEnd(const char* p, const char* end, std::ptrdiff_t limit) {
  if (end - p > limit) end = p + limit;
  while (p < end && *p == '\n') ++p;
  return p;
}
}  // namespace

StanzaDocument::Counts StanzaDocument::survey(const char* p, const char* end, const char* fileName,
                                              bool strict) const {
  Counts c{0, 0, 0, {}};
  std::size_t segment = 0;          // entries since the last header
  std::size_t segmentRecords = 0;   // records before the last header
  const char* segmentAt = nullptr;  // the last header
  auto endSegment = [&](const char* at) {
    if (segment >= kLongSegment)
      c.longSegments.push_back(LongSegment{c.headers - 1, segment, c.records - segmentRecords,
                                           static_cast<std::size_t>(at - segmentAt)});
    segment = 0;
    segmentRecords = c.records;
    segmentAt = at;
  };
  bool inText = false, seenHeader = false;
  const char* run = nullptr;  // where the text run being read starts
  for (std::size_t number = 1; p < end; ++number) {
    if (*p == '\n') {
      const char* q = emptyLinesEnd(p, end, kMaxLength / 2);
      if (!inText || q - 1 - run > kMaxLength) {
        ++c.records;
        run = p;
      }
      inText = true;
      number += static_cast<std::size_t>(q - p) - 1;
      p = q;
      continue;
    }
    const char* eq;
    LineRead line = readLine(p, end, eq);
    if (line.end - p > kMaxLength) throw std::bad_alloc();
    Kinding r = kindOfLine(p, line.end, eq);
    if (r.kind == kEntry && !seenHeader) {
      r.kind = kText;
      r.why = "entry before the first stanza";
    }
    if (r.why && strict) invalid(fileName, static_cast<int>(std::min<std::size_t>(number, INT_MAX)), r.why);
    if (r.kind == kText) {
      if (!inText || line.end - run > kMaxLength) {
        ++c.records;
        run = p;
      }
      inText = true;
    } else {
      ++c.records;
      inText = false;
      if (r.kind == kHeader) {
        endSegment(p);
        ++c.headers;
        seenHeader = true;
      } else {
        ++c.entries;
        ++segment;
      }
    }
    p = line.next;
  }
  endSegment(end);
  return c;
}

std::size_t StanzaDocument::roomFor(const LongSegment& segment) {
  // Besides the bytes themselves and their records, 6.75 bytes a byte,
  // counted in quarters; half of that in 4-byte slots, half full.
  std::size_t quarters = 27 * segment.bytes, records = 4 * sizeof(Line) * segment.records;
  std::size_t budget = quarters > records ? (quarters - records) / 32 : 0;
  std::size_t slots = 1;
  while (slots * 2 <= budget) slots *= 2;
  return std::min(segment.entries, slots / 2);
}

void StanzaDocument::reserveFor(const Counts& c) {
  if (c.records >= kIdMask - 1) throw std::bad_alloc();
  // Two thirds full at most, were every header a stanza of its own: linear
  // probing runs stay short, a file of one short header repeated holds
  // less than 8 bytes a byte (a header line of 4 bytes: a record of 20, 6
  // bytes of index), and the pages of slots that few distinct names never
  // reach cost nothing (see ZeroedSlots).
  growStanzas(c.headers + c.headers / 2 + 16);
  // The records' first blocks are one allocation (see loadArena_); key
  // tables are made as keys come (see KeySlots).
  std::size_t lineBytes = Blocks<Line>::bytesFor(c.records);
  static_assert(sizeof(Line) % sizeof(std::uint32_t) == 0 && alignof(Line) <= alignof(std::uint32_t),
                "records are laid out in an array of 32-bit words");
  loadArena_.reset(new std::uint32_t[lineBytes / sizeof(std::uint32_t)]);
  lines_.adopt(loadArena_.get(), lineBytes);
  // The first table of a stanza: room for the average stanza's keys at
  // three quarters full, one slot where that is one key or none, and at
  // most 32 slots.
  std::size_t average = c.headers ? c.entries / c.headers : 0;
  firstKeyCapLog_ = 0;
  if (average > 1)
    while (firstKeyCapLog_ < 5 && (std::size_t{3} << firstKeyCapLog_) < 4 * average) ++firstKeyCapLog_;
}

[[gnu::always_inline]] inline std::int32_t StanzaDocument::appendParsed(const char* text, std::uint32_t length,
                                                                       Kind kind, Eol eol) {
  std::int32_t id = static_cast<std::int32_t>(lines_.size());
  lines_.push_back(Line{static_cast<std::uint32_t>(text - buffer_.data()),
                        (length << 5) | (static_cast<std::uint32_t>(kind) << 3) |
                            (static_cast<std::uint32_t>(eol) << 1) | 1u,
                        id - 1, id + 1, -1});
  return id;
}

void StanzaDocument::addText(const char* from, const char* text, std::uint32_t length, Eol eol) {
  // A run of text lines is one record: the new lines join the run before
  // them, whose line end becomes part of the run's text.
  const char* upTo = text + length;
  if (!lines_.empty() && kindOf(lines_.back()) == kText &&
      upTo - (buffer_.data() + lines_.back().start) <= kMaxLength) {
    Line& run = lines_.back();
    setLength(run, static_cast<std::uint32_t>(upTo - (buffer_.data() + run.start)));
    setEol(run, eol);
    return;
  }
  appendParsed(from, static_cast<std::uint32_t>(upTo - from), kText, eol);
}

void StanzaDocument::fileHeader(const Waiting& header, std::int32_t& current) {
  // One probe finds the stanza or files the new one (a failure after it
  // leaves a slot for a stanza not made, which only a parse meets, and a
  // parse that fails is cleared).
  std::int32_t fresh = static_cast<std::int32_t>(stanzas_.size());
  current = indexStanza(fresh, header.name, header.hash);
  if (current == fresh) stanzas_.push_back(Stanza{header.line, header.line, 0, 0, 0});
  lines_[header.line].link = current;
  stanzas_[current].last = header.line;
}

void StanzaDocument::build(const char* p, const char* end, const std::vector<LongSegment>& longSegments) {
  std::int32_t current = -1;
  std::size_t headerCount = 0, nextLong = 0;
  std::size_t room = 0;  // keys to make room for at the first entry after the header
  WaitingNames keys, headers;  // a parse's headers wait only while no entry needs their stanza
  for (bool first = true; p < end; first = false) {
    if (*p == '\n') {
      // A run of empty lines (see emptyLinesEnd): the text run before it, or
      // a new one, takes it in whole.
      if (first) newEol_ = kLf;
      const char* q = emptyLinesEnd(p, end, kMaxLength / 2);
      addText(p, q - 1, 0, kLf);
      p = q;
      continue;
    }
    const char* eq;
    LineRead line = readLine(p, end, eq);
    if (first && (line.eol == kLf || line.eol == kCrLf)) newEol_ = line.eol;
    std::uint32_t length = static_cast<std::uint32_t>(line.end - p);
    Reading r = readShape(p, line.end, eq);
    Shape shape{r.nameStart, r.nameEnd, r.valueStart, r.valueEnd};
    if (r.kind == kHeader) {
      fileKeys(keys, current);
      std::int32_t id = appendParsed(p, length, kHeader, line.eol);
      if (r.wide) noteShape(id, shape);
      waitToFileHeader(headers, std::string_view(p + shape.nameStart, shape.nameEnd - shape.nameStart), id, current);
      room = 0;
      if (nextLong < longSegments.size() && longSegments[nextLong].header == headerCount)
        room = roomFor(longSegments[nextLong++]);
      ++headerCount;
    } else if (r.kind == kEntry && (current >= 0 || !headers.empty())) {
      fileHeaders(headers, current);
      std::int32_t id = appendParsed(p, length, kEntry, line.eol);
      stanzas_[current].last = id;
      if (r.wide) noteShape(id, shape);
      waitToFileKey(keys, current, std::string_view(p + shape.nameStart, shape.nameEnd - shape.nameStart), id);
      if (room) {
        fileKeys(keys, current);  // its first key makes the index (see LongSegment)
        reserveKeys(current, room);
        room = 0;
      }
    } else {
      addText(p, p, length, line.eol);
    }
    p = line.next;
  }
  fileKeys(keys, current);
  fileHeaders(headers, current);
  if (!lines_.empty()) {
    head_ = 0;
    tail_ = static_cast<std::int32_t>(lines_.size()) - 1;
    lines_.back().next = -1;
  }
}

[[gnu::always_inline]] inline void StanzaDocument::waitToFileKey(WaitingNames& keys, std::int32_t stanza,
                                                                 std::string_view k, std::int32_t line) {
  std::uint32_t hash = nameHash(k);
  const Stanza& st = stanzas_[stanza];
  // A small table is in the cache: its keys are filed at once (once none
  // wait, so that a key's lines keep their order).
  if (keys.empty() && (st.keyCount == 0 || st.keyCapLog < kWaitFromLog)) {
    addKeyLine(stanza, k, hash, line);
    return;
  }
  if (st.keyCount) __builtin_prefetch(keyIndex_.at(st.keyOffset) + home(hash, st.keyCapLog));
  if (keys.full()) {
    Waiting oldest = keys.pop();
    addKeyLine(stanza, oldest.name, oldest.hash, oldest.line);
  }
  keys.push(Waiting{k, hash, line});
}

void StanzaDocument::fileKeys(WaitingNames& keys, std::int32_t stanza) {
  while (!keys.empty()) {
    Waiting key = keys.pop();
    addKeyLine(stanza, key.name, key.hash, key.line);
  }
}

void StanzaDocument::waitToFileHeader(WaitingNames& headers, std::string_view name, std::int32_t line,
                                      std::int32_t& current) {
  std::uint32_t hash = nameHash(name);
  if (headers.empty() && stanzaIndex_.size() < (std::size_t{1} << kWaitFromLog)) {
    fileHeader(Waiting{name, hash, line}, current);
    return;
  }
  // The index is sized for the file's headers before a parse builds: no
  // filing moves it, and the slot fetched now is the one probed later.
  __builtin_prefetch(&stanzaIndex_[homeIn(hash, stanzaIndex_.size())]);
  if (headers.full()) fileHeader(headers.pop(), current);
  headers.push(Waiting{name, hash, line});
}

void StanzaDocument::fileHeaders(WaitingNames& headers, std::int32_t& current) {
  while (!headers.empty()) fileHeader(headers.pop(), current);
}

void StanzaDocument::parse(std::string bytes, const char* fileName, bool strict) {
  clear();
  try {
    if (bytes.size() > kOffsetMask) throw std::bad_alloc();
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    bool bom = bytes.size() >= 3 && std::memcmp(p, kBom, 3) == 0;
    if (bom) p += 3;
    Counts counts = survey(p, end, fileName, strict);
    buffer_ = std::move(bytes);
    bom_ = bom;
    reserveFor(counts);
    build(buffer_.data() + (bom ? 3 : 0), buffer_.data() + buffer_.size(), counts.longSegments);
  } catch (...) {
    clear();
    throw;
  }
}

template <typename Put>
void StanzaDocument::forEachPiece(Put put) const {
  if (bom_) put(kBom, 3);
  for (std::int32_t i = head_; i >= 0; i = lines_[i].next) {
    const Line& line = lines_[i];
    put(textOf(line), lengthOf(line));
    if (eolOf(line) != kNone) put(kEolText[eolOf(line)], kEolLength[eolOf(line)]);
  }
}

void StanzaDocument::serializeTo(ByteSink& out) const {
  forEachPiece([&out](const char* p, std::size_t n) { out.put(p, n); });
}

std::uint64_t StanzaDocument::serializedSize() const {
  std::uint64_t n = 0;
  forEachPiece([&n](const char*, std::size_t length) { n += length; });
  return n;
}

std::string StanzaDocument::serialize() const {
  std::string out;
  out.reserve(serializedSize());
  forEachPiece([&out](const char* p, std::size_t n) { out.append(p, n); });
  return out;
}

bool StanzaDocument::fileHoldsBase(const char* path) const {
  return baseIsBuffer_ ? fileHolds(path, std::string_view(buffer_)) : fileHolds(path, base_);
}

void StanzaDocument::rebase(const ContentDigest& stored) {
  baseIsBuffer_ = false;
  base_ = stored;
}

bool StanzaDocument::wasteful() const {
  // What removed and replaced lines left behind, against what the document
  // holds live. Parsing anew holds the old document, its text and the new
  // one at once, so it pays only once most of what is held is dead: a
  // migration that moves a stanza's keys holds no more than twice what it
  // writes, and edit after edit on a long-lived object still ends in a
  // fresh parse before the dead part outgrows the live one twice.
  std::size_t deadRecords = 0, liveRecords = 0;
  for (std::size_t i = 0; i < lines_.size(); ++i) (aliveOf(lines_[i]) ? liveRecords : deadRecords) += 1;
  std::size_t waste = deadBytes_ + deadRecords * sizeof(Line);
  std::size_t live = static_cast<std::size_t>(serializedSize()) + liveRecords * sizeof(Line);
  return waste > (std::size_t{64} << 10) + 2 * live;
}

std::size_t StanzaDocument::bytesHeld() const {
  return buffer_.capacity() + owned_.bytesHeld() + lines_.bytesHeld() + wide_.size() * (sizeof(Shape) + 32) +
         wide_.bucket_count() * sizeof(void*) + stanzas_.bytesHeld() +
         stanzaIndex_.size() * sizeof(std::uint32_t) + keyIndex_.bytesHeld();
}

// ---------------------------------------------------------------- reading

int StanzaDocument::stanzaCount() const { return static_cast<int>(stanzas().size()); }

std::string_view StanzaDocument::stanzaName(std::int32_t stanza) const { return key(stanzas_[stanza].header); }

std::vector<std::int32_t> StanzaDocument::stanzas() const {
  std::vector<std::int32_t> out;
  for (std::size_t i = 0; i < stanzas_.size(); ++i)
    if (aliveOf(lines_[stanzas_[i].header])) out.push_back(static_cast<std::int32_t>(i));
  return out;
}

std::int32_t StanzaDocument::firstValueLine(std::int32_t stanza, std::string_view k) const {
  std::uint32_t* slot = findKey(stanza, k, nameHash(k));
  return slot ? firstOf(idOf(*slot)) : -1;
}

bool StanzaDocument::firstValue(std::string_view stanzaName, std::string_view k, std::string_view& value) const {
  // The key's first slot is fetched as soon as a stanza of the name is
  // found, while its header line is read to compare the name: the two
  // misses of the cache overlap where they would come one after the other
  // (getValue in a 1.35 MB file: about 84 ns where it took 105, medians
  // of six runs).
  std::uint32_t keyHash = nameHash(k);
  std::int32_t stanza = findStanza(stanzaName, nameHash(stanzaName), [&](const Stanza& st) {
    if (st.keyCount) __builtin_prefetch(keyIndex_.at(st.keyOffset) + home(keyHash, st.keyCapLog));
  });
  Shape shape;
  const std::uint32_t* slot = findKey(stanza, k, keyHash, &shape);
  if (!slot) return false;
  std::int32_t last = idOf(*slot), first = firstOf(last);
  // A key of one value (most keys): its line was read to compare the key.
  value = first == last ? std::string_view(textOf(lines_[last]) + shape.valueStart, shape.valueEnd - shape.valueStart)
                        : this->value(first);
  return true;
}

std::string_view StanzaDocument::value(std::int32_t line) const {
  Shape s = shapeOf(line);
  return std::string_view(textOf(lines_[line]) + s.valueStart, s.valueEnd - s.valueStart);
}

std::string_view StanzaDocument::key(std::int32_t line) const {
  Shape s = shapeOf(line);
  return std::string_view(textOf(lines_[line]) + s.nameStart, s.nameEnd - s.nameStart);
}

std::vector<std::int32_t> StanzaDocument::entryLines(std::int32_t stanza) const {
  std::vector<std::int32_t> out;
  if (stanza < 0 || !aliveOf(lines_[stanzas_[stanza].header])) return out;
  // An entry belongs to the header above it: walk from the stanza's first
  // header to its last line, noting whose segment each line is in.
  std::int32_t stop = stanzas_[stanza].last;
  bool ours = true;
  for (std::int32_t i = stanzas_[stanza].header; i >= 0; i = lines_[i].next) {
    Kind k = kindOf(lines_[i]);
    if (k == kHeader) ours = lines_[i].link == stanza;
    else if (k == kEntry && ours) out.push_back(i);
    if (i == stop) break;
  }
  return out;
}

std::int32_t StanzaDocument::stanzaOf(std::int32_t line) const {
  std::int32_t i = line;
  while (kindOf(lines_[i]) != kHeader) i = lines_[i].prev;
  return lines_[i].link;
}

std::uint32_t StanzaDocument::trailingComment(std::int32_t line) const {
  const char* t = textOf(lines_[line]);
  std::uint32_t at = lengthOf(lines_[line]);
  // Its lines from the last one up, while they are comments.
  for (std::uint32_t end = at;;) {
    const char* nl = end ? static_cast<const char*>(memrchr(t, '\n', end)) : nullptr;
    std::uint32_t begin = nl ? static_cast<std::uint32_t>(nl - t) + 1 : 0;
    std::uint32_t stop = end;
    if (stop > begin && end != lengthOf(lines_[line]) && t[stop - 1] == '\r') --stop;  // a CRLF inside the run
    if (!isCommentLine(t + begin, t + stop)) return at;
    at = begin;
    if (begin == 0) return 0;
    end = begin - 1;
  }
}

StanzaDocument::Place StanzaDocument::commentStart(std::int32_t line) const {
  Place start{line, 0};
  for (std::int32_t p = lines_[line].prev; p >= 0 && kindOf(lines_[p]) == kText; p = lines_[p].prev) {
    std::uint32_t at = trailingComment(p);
    if (at == lengthOf(lines_[p])) break;  // its last line is no comment
    start = Place{p, at};
    if (at != 0) break;  // lines that are no comment come before
  }
  return start;
}

bool StanzaDocument::endsInBlankLine(std::int32_t line) const {
  if (kindOf(lines_[line]) != kText) return false;
  const char* t = textOf(lines_[line]);
  const char* e = t + lengthOf(lines_[line]);
  const char* nl = static_cast<const char*>(memrchr(t, '\n', lengthOf(lines_[line])));
  return skipBlanks(nl ? nl + 1 : t, e) == e;
}

std::string StanzaDocument::commentAbove(std::int32_t line) const {
  std::string out;
  bool firstLine = true;
  Place from = commentStart(line);
  for (std::int32_t i = from.line; i != line; i = lines_[i].next) {
    const char* t = textOf(lines_[i]);
    std::uint32_t n = lengthOf(lines_[i]);
    std::uint32_t b = i == from.line ? from.at : 0;
    while (b <= n) {
      const char* nl = static_cast<const char*>(std::memchr(t + b, '\n', n - b));
      std::uint32_t e = nl ? static_cast<std::uint32_t>(nl - t) : n;
      std::uint32_t te = e;
      if (nl && te > b && t[te - 1] == '\r') --te;
      if (!firstLine) out += '\n';
      firstLine = false;
      out.append(t + b, te - b);
      if (!nl) break;
      b = e + 1;
    }
  }
  return out;
}

// ---------------------------------------------------------------- changing

std::uint32_t StanzaDocument::OwnedText::add(std::string_view text) {
  const std::size_t n = text.size();
  if (n > static_cast<std::size_t>(kMaxLength)) throw std::bad_alloc();
  const std::size_t used = end_ & (kBlock - 1);
  const bool fits = end_ < bases_.size() * kBlock && used + n <= kBlock;
  if (!fits || bases_.empty()) {
    // A new block at the next free 1 MiB of offsets; what the last one had
    // left (less than this text) stays unused.
    std::size_t slots = n > kBlock ? (n + kBlock - 1) / kBlock : 1;
    std::size_t start = bases_.size() * kBlock;
    if (start + slots * kBlock > kOffsetMask) throw std::bad_alloc();
    bases_.reserve(bases_.size() + slots);
    blocks_.reserve(blocks_.size() + 1);
    std::size_t size = std::max<std::size_t>(n, kBlock);
    std::unique_ptr<char[]> block(new char[size]);
    for (std::size_t i = 0; i < slots; ++i) bases_.push_back(block.get() + i * kBlock);
    blocks_.push_back(std::move(block));
    held_ += size;
    end_ = start;
  }
  std::uint32_t at = static_cast<std::uint32_t>(end_);
  if (n) std::memcpy(const_cast<char*>(this->at(at)), text.data(), n);
  // After a text of a block of its own, the next starts a block again.
  end_ = n > kBlock ? bases_.size() * kBlock : end_ + n;
  return at;
}

std::int32_t StanzaDocument::newLine(std::string_view text, Kind kind) {
  if (lines_.size() >= kIdMask - 1) throw std::bad_alloc();
  std::uint32_t at = owned_.add(text);
  std::int32_t id = static_cast<std::int32_t>(lines_.size());
  lines_.push_back(Line{at | kOwned,
                        (static_cast<std::uint32_t>(text.size()) << 5) | (static_cast<std::uint32_t>(kind) << 3) |
                            (static_cast<std::uint32_t>(newEol_) << 1),
                        -1, -1, -1});
  return id;
}

std::int32_t StanzaDocument::newComment(std::string_view comment) {
  // Every line of the comment starts with "#" (one is added where it does
  // not), one text run with the file's own line ends inside.
  std::string text;
  std::size_t start = 0;
  bool any = false;
  while (start <= comment.size()) {
    std::size_t nl = comment.find('\n', start);
    std::string_view piece = comment.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    bool last = nl == std::string_view::npos;
    if (!(last && piece.empty() && start > 0)) {
      while (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
      if (any) text += kEolText[newEol_];
      if (!isCommentLine(piece.data(), piece.data() + piece.size())) text += piece.empty() ? "#" : "# ";
      text.append(piece);
      any = true;
    }
    if (last) break;
    start = nl + 1;
  }
  return newLine(text, kText);
}

void StanzaDocument::insertAfter(std::int32_t line, std::int32_t after) {
  Line& l = lines_[line];
  setAlive(l, true);
  if (after < 0) {
    insertBefore(line, head_);
    return;
  }
  l.prev = after;
  l.next = lines_[after].next;
  if (l.next >= 0) lines_[l.next].prev = line;
  lines_[after].next = line;
  if (tail_ == after) {
    tail_ = line;
    // A file that ended without a line end keeps ending without one.
    Eol e = eolOf(lines_[after]);
    if (e == kNone || e == kCr) {
      // A CR at the end of its text stays text only before a CRLF; a CR
      // that ended the file was a CRLF cut short, and is completed so that
      // the line keeps its bytes.
      const Line& a = lines_[after];
      bool endsInCr = e == kCr || (lengthOf(a) > 0 && textOf(a)[lengthOf(a) - 1] == '\r');
      setEol(lines_[after], endsInCr ? kCrLf : newEol_);
      setEol(lines_[line], kNone);
    }
  }
}

void StanzaDocument::insertBefore(std::int32_t line, std::int32_t before) {
  Line& l = lines_[line];
  setAlive(l, true);
  if (before < 0) {  // an empty document
    l.prev = l.next = -1;
    head_ = tail_ = line;
    return;
  }
  l.next = before;
  l.prev = lines_[before].prev;
  if (l.prev >= 0) lines_[l.prev].next = line;
  else head_ = line;
  lines_[before].prev = line;
}

void StanzaDocument::unlink(std::int32_t line) {
  Line& l = lines_[line];
  if (l.prev >= 0) lines_[l.prev].next = l.next;
  else head_ = l.next;
  if (l.next >= 0) {
    lines_[l.next].prev = l.prev;
  } else {
    tail_ = l.prev;
    // The file keeps ending without a line end, unless the new last line
    // ends in a CR that a reload would then take for one.
    if (l.prev >= 0) {
      Line& last = lines_[l.prev];
      bool endsInCr = lengthOf(last) > 0 && textOf(last)[lengthOf(last) - 1] == '\r';
      if ((eolOf(l) == kNone || eolOf(l) == kCr) && !endsInCr) setEol(last, kNone);
    }
  }
  deadBytes_ += lengthOf(l);
  setAlive(l, false);
  l.prev = l.next = -1;
}

std::int32_t StanzaDocument::splitText(std::int32_t line, std::uint32_t at) {
  // The new record points into the same text: nothing is copied.
  std::int32_t id = newLine(std::string_view(), kText);
  Line& l = lines_[line];
  Line& tailPart = lines_[id];
  tailPart.start = l.start + at;
  setLength(tailPart, lengthOf(l) - at);
  setEol(tailPart, eolOf(l));
  // The run before ends with the line end that came before `at`.
  const char* t = textOf(l);
  bool crlf = at >= 2 && t[at - 2] == '\r';
  setLength(l, at - (crlf ? 2 : 1));
  setEol(l, crlf ? kCrLf : kLf);
  std::int32_t next = l.next;
  bool wasTail = tail_ == line;
  tailPart.prev = line;
  tailPart.next = next;
  setAlive(tailPart, true);
  l.next = id;
  if (next >= 0) lines_[next].prev = id;
  if (wasTail) tail_ = id;
  return id;
}

void StanzaDocument::cutTextAt(std::int32_t line, std::uint32_t at) {
  if (at == 0) {
    unlink(line);
    return;
  }
  Line& l = lines_[line];
  const char* t = textOf(l);
  bool crlf = at >= 2 && t[at - 2] == '\r';
  deadBytes_ += lengthOf(l) - at;
  setLength(l, at - (crlf ? 2 : 1));
  setEol(l, crlf ? kCrLf : kLf);
}

void StanzaDocument::removeBetween(Place from, std::int32_t line) {
  for (std::int32_t c = from.line; c != line && c >= 0;) {
    std::int32_t n = lines_[c].next;
    if (c == from.line) cutTextAt(c, from.at);
    else unlink(c);
    c = n;
  }
}

void StanzaDocument::refreshLast(std::int32_t stanza) {
  Stanza& s = stanzas_[stanza];
  if (aliveOf(lines_[s.last])) return;
  // Called before the old last line is unlinked: walk back from it to the
  // nearest header or entry, which is in the same segment or its header.
  for (std::int32_t i = lines_[s.last].prev; i >= 0; i = lines_[i].prev) {
    if (kindOf(lines_[i]) != kText && aliveOf(lines_[i])) {
      s.last = i;
      return;
    }
  }
  s.last = s.header;
}

void StanzaDocument::unlinkCommentAbove(std::int32_t line) { removeBetween(commentStart(line), line); }

void StanzaDocument::unlinkEntry(std::int32_t stanza, std::int32_t line) {
  unlinkCommentAbove(line);
  if (stanzas_[stanza].last == line) {
    // refreshLast walks back from the old last line, so it runs before the unlink.
    setAlive(lines_[line], false);
    refreshLast(stanza);
    setAlive(lines_[line], true);
  }
  unlink(line);
}

void StanzaDocument::rollBack(const Mark& m) {
  // Stanzas that gained lines of the change end where they ended before:
  // at the nearest header or entry above that is older than the change.
  for (std::size_t s = 0; s < m.stanzas && s < stanzas_.size(); ++s) {
    Stanza& st = stanzas_[s];
    if (!aliveOf(lines_[st.header]) || static_cast<std::size_t>(st.last) < m.lines) continue;
    std::int32_t i = st.last;
    while (i >= 0 && (static_cast<std::size_t>(i) >= m.lines || kindOf(lines_[i]) == kText || !aliveOf(lines_[i])))
      i = lines_[i].prev;
    st.last = i >= 0 ? i : st.header;
  }
  for (std::size_t i = lines_.size(); i-- > m.lines;) {
    Line& l = lines_[i];
    bool linked = l.prev >= 0 || l.next >= 0 || head_ == static_cast<std::int32_t>(i);
    if (aliveOf(l) && linked) unlink(static_cast<std::int32_t>(i));
    setAlive(l, false);
  }
  for (std::size_t s = m.stanzas; s < stanzas_.size(); ++s) setAlive(lines_[stanzas_[s].header], false);
}

std::int32_t StanzaDocument::ensureStanza(std::string_view name) {
  return whole([&] { return ensureStanzaUnguarded(name); });
}

std::int32_t StanzaDocument::ensureStanzaUnguarded(std::string_view name) {
  std::int32_t found = findStanza(name);
  if (found >= 0) return found;
  if (tail_ >= 0 && !endsInBlankLine(tail_))
    insertAfter(newLine(std::string_view(), kText), tail_);
  std::string text = "[" + std::string(name) + "]";
  std::int32_t header = newLine(text, kHeader);
  std::int32_t id = static_cast<std::int32_t>(stanzas_.size());
  lines_[header].link = id;
  if (stanzas_.size() >= kIdMask - 1) throw std::bad_alloc();
  stanzas_.push_back(Stanza{header, header, 0, 0, 0});
  indexStanza(id, name, nameHash(name));
  insertAfter(header, tail_);
  return id;
}

std::int32_t StanzaDocument::appendEntry(std::int32_t stanza, std::string_view k, std::string_view v,
                                         std::int32_t after) {
  // "key = value"; an empty value leaves no trailing blank: "key =". Put
  // together on the stack where it fits: a migration appends a line per
  // key it moves, and a string of its own would cost each an allocation.
  std::string_view middle = v.empty() ? " =" : " = ";
  std::size_t n = k.size() + middle.size() + v.size();
  char small[256];
  std::string large;
  char* text = small;
  if (n > sizeof small) {
    large.resize(n);
    text = &large[0];
  }
  std::memcpy(text, k.data(), k.size());
  std::memcpy(text + k.size(), middle.data(), middle.size());
  if (!v.empty()) std::memcpy(text + k.size() + middle.size(), v.data(), v.size());
  std::int32_t id = newLine(std::string_view(text, n), kEntry);
  insertAfter(id, after);
  if (after == stanzas_[stanza].last) stanzas_[stanza].last = id;
  return id;
}

std::uint32_t* StanzaDocument::keySlotOrAppend(std::int32_t s, std::string_view k, std::string_view v) {
  std::uint32_t hash = nameHash(k);
  if (std::uint32_t* slot = findKey(s, k, hash)) return slot;
  // Room for the key first: nothing below allocates once the line is linked.
  makeRoomForKey(s);
  addKeyLine(s, k, hash, appendEntry(s, k, v, stanzas_[s].last));
  return nullptr;
}

void StanzaDocument::setValue(std::string_view stanza, std::string_view k, std::string_view v) {
  whole([&] {
    std::int32_t s = ensureStanzaUnguarded(stanza);
    std::uint32_t* slot = keySlotOrAppend(s, k, v);
    if (!slot) return;
    std::int32_t last = idOf(*slot);
    std::int32_t first = firstOf(last);
    // The new text first, so that exhausted memory finds the values untouched.
    // Rewrite the value in place, keeping the spacing around it.
    Shape old = shapeOf(first);
    std::string_view was = viewOf(first);
    std::string text(was.substr(0, old.valueStart));
    if (old.valueEnd == old.valueStart && !v.empty() && !text.empty() && !isBlank(text.back())) text += ' ';
    Shape shape = old;
    shape.valueStart = static_cast<std::uint32_t>(text.size());
    text.append(v);
    shape.valueEnd = static_cast<std::uint32_t>(text.size());
    text.append(was.substr(old.valueEnd));
    std::uint32_t at = owned_.add(text);
    bool wide = (lines_[first].start & kWide) != 0;
    if (wide) wide_.at(first) = shape;
    // Drop the other values; `slot` stays valid (no index change).
    for (std::int32_t i = lines_[first].link; i >= 0;) {
      std::int32_t next = lines_[i].link;
      unlinkEntry(s, i);
      i = next;
    }
    lines_[first].link = -2 - first;
    *slot = slotOf(first, nameHash(k));
    Line& r = lines_[first];
    deadBytes_ += lengthOf(r);
    r.start = at | kOwned | (wide ? kWide : 0);
    setLength(r, static_cast<std::uint32_t>(text.size()));
  });
}

void StanzaDocument::addValue(std::string_view stanza, std::string_view k, std::string_view v) {
  whole([&] {
    std::int32_t s = ensureStanzaUnguarded(stanza);
    std::uint32_t* slot = keySlotOrAppend(s, k, v);
    if (!slot) return;
    std::int32_t after = idOf(*slot);
    std::int32_t id = appendEntry(s, k, v, after);
    // The new line becomes the key's last: it hands on the way to the first.
    lines_[id].link = lines_[after].link;
    lines_[after].link = id;
    *slot = slotOf(id, nameHash(k));
  });
}

void StanzaDocument::deleteKey(std::int32_t stanza, std::string_view k) {
  if (stanza < 0) return;
  std::uint32_t* slot = findKey(stanza, k, nameHash(k));
  if (!slot) return;
  std::int32_t first = firstOf(idOf(*slot));
  eraseKey(stanza, slot);
  for (std::int32_t i = first; i >= 0;) {
    std::int32_t next = lines_[i].link;
    unlinkEntry(stanza, i);
    i = next;
  }
}

void StanzaDocument::removeValueLine(std::int32_t line) {
  std::int32_t stanza = stanzaOf(line);
  std::string_view k = key(line);
  std::uint32_t hash = nameHash(k);
  std::uint32_t* slot = findKey(stanza, k, hash);
  if (!slot) return;
  std::int32_t last = idOf(*slot);
  std::int32_t first = firstOf(last);
  if (first == line && last == line) {
    eraseKey(stanza, slot);
  } else if (first == line) {
    // The next line becomes the first: the last line's way back says so.
    lines_[last].link = -2 - lines_[line].link;
  } else {
    std::int32_t pred = first;
    while (lines_[pred].link != line) pred = lines_[pred].link;
    lines_[pred].link = lines_[line].link;
    if (last == line) *slot = slotOf(pred, hash);
  }
  unlinkEntry(stanza, line);
}

void StanzaDocument::deleteStanza(std::int32_t stanza) {
  if (stanza < 0 || !aliveOf(lines_[stanzas_[stanza].header])) return;
  // The list before anything changes: it is all this allocates.
  // Every segment: from the comment above its header to the line before the
  // comment of the next header (which belongs to that header).
  std::vector<std::int32_t> headers;
  for (std::int32_t i = stanzas_[stanza].header; i >= 0; i = lines_[i].next) {
    if (kindOf(lines_[i]) == kHeader && lines_[i].link == stanza) headers.push_back(i);
    if (i == stanzas_[stanza].last) break;
  }
  // Its key table goes with it: a stanza made again under the name is new.
  stanzas_[stanza].keyCount = 0;
  for (std::int32_t header : headers) {
    std::int32_t stop = lines_[header].next;
    while (stop >= 0 && kindOf(lines_[stop]) != kHeader) stop = lines_[stop].next;
    Place end{stop, 0};
    if (stop >= 0) end = commentStart(stop);
    Place from = commentStart(header);
    // Up to the line that holds the next header's comment; of that line, the
    // part before the comment goes too.
    for (std::int32_t i = from.line; i != end.line && i >= 0;) {
      std::int32_t n = lines_[i].next;
      if (i == from.line && from.at > 0) cutTextAt(i, from.at);
      else unlink(i);
      i = n;
    }
    if (end.line >= 0 && end.line != stop && end.at > 0 && end.line != from.line) {
      // Keep only the comment of the next header in the run that holds it.
      Line& l = lines_[end.line];
      deadBytes_ += end.at;
      l.start += end.at;
      setLength(l, lengthOf(l) - end.at);
    }
  }
  setAlive(lines_[stanzas_[stanza].header], false);
}

void StanzaDocument::addCommentAbove(std::int32_t line, std::string_view comment) {
  whole([&] { insertBefore(newComment(comment), line); });
}

void StanzaDocument::setCommentAbove(std::int32_t line, std::string_view comment) {
  // The new comment goes in below the old one first, so that exhausted
  // memory leaves the old one; then the old one goes.
  Place old = commentStart(line);
  if (!comment.empty()) addCommentAbove(line, comment);
  if (old.line == line) return;
  removeBetween(old, comment.empty() ? line : lines_[line].prev);
}

void StanzaDocument::addFileComment(std::string_view comment) {
  whole([&] {
    // The file's own comment is a comment block at the top followed by a
    // blank line; without one, a new block and a blank line go first.
    std::int32_t comment_ = newComment(comment);
    std::int32_t i = head_;
    std::uint32_t at = 0;
    bool seen = false;
    for (; i >= 0 && kindOf(lines_[i]) == kText; i = lines_[i].next) {
      const char* t = textOf(lines_[i]);
      std::uint32_t n = lengthOf(lines_[i]);
      at = 0;
      while (at <= n) {
        const char* nl = static_cast<const char*>(std::memchr(t + at, '\n', n - at));
        std::uint32_t e = nl ? static_cast<std::uint32_t>(nl - t) : n;
        if (!isCommentLine(t + at, t + e)) break;
        seen = true;
        if (!nl) {
          at = n + 1;
          break;
        }
        at = e + 1;
      }
      if (at <= n) break;
    }
    if (seen && i >= 0 && kindOf(lines_[i]) == kText) {
      const char* t = textOf(lines_[i]);
      std::uint32_t n = lengthOf(lines_[i]);
      const char* nl = static_cast<const char*>(std::memchr(t + at, '\n', n - at));
      const char* e = nl ? nl : t + n;
      if (nl && e > t + at && e[-1] == '\r') --e;
      if (skipBlanks(t + at, e) == e) {
        if (at == 0) {
          insertBefore(comment_, i);
        } else {
          insertBefore(comment_, splitText(i, at));
        }
        return;
      }
    }
    std::int32_t blank = newLine(std::string_view(), kText);
    insertBefore(blank, head_);
    insertBefore(comment_, blank);
  });
}

}  // namespace ornz
