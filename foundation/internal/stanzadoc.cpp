#include "foundation/internal/stanzadoc.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/internal/fileread.h"
#include "foundation/internal/hash.h"
#include "foundation/zexception.h"

namespace ornz {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr std::uint64_t kStanzaMix = 0x9E3779B97F4A7C15ull;

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view trimmed(const char* b, const char* e) {
  while (b < e && isBlank(*b)) ++b;
  while (e > b && isBlank(e[-1])) --e;
  return std::string_view(b, static_cast<std::size_t>(e - b));
}

[[noreturn]] void invalid(const char* fileName, int line, const char* what) {
  ZPropertiesInvalidDataException_7_0_0 e(fileName, line, what);
  e.throwException("foundation/zstanzafile", __LINE__);
}

}  // namespace

// ---------------------------------------------------------------- indexes

namespace {
inline std::uint32_t fold(std::uint64_t h) {
  std::uint32_t x = static_cast<std::uint32_t>(h ^ (h >> 32));
  return x ? x : 1;
}
}  // namespace

std::uint32_t StanzaDocument::keyHash(std::int32_t stanza, std::string_view key) {
  return fold(hashText(key.data(), key.size()) ^ (static_cast<std::uint64_t>(stanza + 1) * kStanzaMix));
}

std::uint32_t StanzaDocument::stanzaHash(std::string_view name) { return fold(hashText(name.data(), name.size())); }

std::uint32_t StanzaDocument::nameStart(const Line& l) {
  std::uint32_t s = 0;
  while (s < l.length && isBlank(l.text[s])) ++s;
  if (l.kind == kHeader) {
    ++s;  // "["
    while (s < l.length && isBlank(l.text[s])) ++s;
  }
  return s;
}

std::uint32_t StanzaDocument::valueEnd(const Line& l) {
  std::uint32_t e = l.length;
  while (e > l.valueOffset && isBlank(l.text[e - 1])) --e;
  return e;
}

StanzaDocument::KeySlot* StanzaDocument::findKey(std::int32_t stanza, std::string_view k,
                                                 std::uint32_t hash) const {
  if (stanza < 0) return nullptr;
  const Stanza& st = stanzas_[stanza];
  if (st.keyCap == 0) return nullptr;
  std::size_t mask = st.keyCap - 1;
  const KeySlot* base = keyIndex_.data() + st.keyOffset;
  for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
    const KeySlot& slot = base[s];
    if (slot.hash == 0) return nullptr;
    if (slot.hash == hash && key(slot.first) == k) return const_cast<KeySlot*>(&slot);
    if (mask == 0) return nullptr;  // a one-slot table may be full
  }
}

// A table may be three quarters full, except a one-slot table, which holds
// its one key: in a file of one-key stanzas (a common shape) that halves the
// key tables.
bool StanzaDocument::keysFull(const Stanza& st) {
  return st.keyCap == 1 ? st.keyCount >= 1 : (st.keyCount + 1) * 4 > st.keyCap * 3;
}

void StanzaDocument::growKeys(std::int32_t stanza) {
  // The table moves to the end of the arena; its old slots are left empty.
  // A new table starts at the size the file's average stanza needs, so that
  // files of one-key stanzas keep one slot each and others seldom move; a
  // one-slot table grows to four (two slots would hold one key, as one does).
  std::uint32_t oldOffset = stanzas_[stanza].keyOffset, oldCap = stanzas_[stanza].keyCap;
  std::uint32_t cap = oldCap == 0 ? firstKeyCap_ : oldCap == 1 ? 4 : oldCap * 2;
  std::size_t offset = keyIndex_.size();
  keyIndex_.resize(offset + cap, KeySlot{0, 0, 0});
  std::size_t mask = cap - 1;
  for (std::uint32_t i = 0; i < oldCap; ++i) {
    KeySlot& slot = keyIndex_[oldOffset + i];
    if (!slot.hash) continue;
    std::size_t s = slot.hash & mask;
    while (keyIndex_[offset + s].hash) s = (s + 1) & mask;
    keyIndex_[offset + s] = slot;
    slot.hash = 0;
  }
  stanzas_[stanza].keyOffset = static_cast<std::uint32_t>(offset);
  stanzas_[stanza].keyCap = cap;
}

void StanzaDocument::insertKey(std::int32_t stanza, std::uint32_t hash, std::int32_t first,
                               std::int32_t last) {
  if (keysFull(stanzas_[stanza])) growKeys(stanza);
  Stanza& st = stanzas_[stanza];
  std::size_t mask = st.keyCap - 1;
  KeySlot* base = keyIndex_.data() + st.keyOffset;
  std::size_t s = hash & mask;
  while (base[s].hash) s = (s + 1) & mask;
  base[s] = KeySlot{hash, first, last};
  ++st.keyCount;
}

void StanzaDocument::addKeyLine(std::int32_t stanza, std::string_view k, std::int32_t line) {
  // One probe finds the key or the slot it goes to; the table is grown
  // first, as an insertion may need, so that the slot stays where it is.
  if (keysFull(stanzas_[stanza])) growKeys(stanza);
  Stanza& st = stanzas_[stanza];
  std::uint32_t hash = keyHash(stanza, k);
  std::size_t mask = st.keyCap - 1;
  KeySlot* base = keyIndex_.data() + st.keyOffset;
  std::size_t s = hash & mask;
  for (; base[s].hash; s = (s + 1) & mask) {
    KeySlot& slot = base[s];
    if (slot.hash == hash && key(slot.first) == k) {
      lines_[slot.last].nextValue = line;
      slot.last = line;
      return;
    }
  }
  base[s] = KeySlot{hash, line, line};
  ++st.keyCount;
}

void StanzaDocument::eraseKey(std::int32_t stanza, KeySlot* slot) {
  // Backward-shift deletion: probe chains stay unbroken without tombstones.
  Stanza& st = stanzas_[stanza];
  KeySlot* base = keyIndex_.data() + st.keyOffset;
  std::size_t mask = st.keyCap - 1;
  std::size_t hole = static_cast<std::size_t>(slot - base);
  base[hole].hash = 0;
  --st.keyCount;
  for (std::size_t s = (hole + 1) & mask; base[s].hash; s = (s + 1) & mask) {
    std::size_t home = base[s].hash & mask;
    if (((s - home) & mask) >= ((s - hole) & mask)) {
      base[hole] = base[s];
      base[s].hash = 0;
      hole = s;
    }
  }
}

void StanzaDocument::growStanzas(std::size_t slots) {
  // The new table is made before the old one goes, so that a failed
  // allocation leaves the index as it was.
  std::vector<StanzaSlot> grown(slots, StanzaSlot{0, 0});
  std::size_t mask = grown.size() - 1;
  for (const StanzaSlot& slot : stanzaIndex_) {
    if (!slot.hash) continue;
    std::size_t s = slot.hash & mask;
    while (grown[s].hash) s = (s + 1) & mask;
    grown[s] = slot;
  }
  stanzaIndex_.swap(grown);
}

void StanzaDocument::indexStanza(std::int32_t stanza, std::string_view name) {
  std::uint32_t h = stanzaHash(name);
  if (!stanzaIndex_.empty()) {
    std::size_t mask = stanzaIndex_.size() - 1;
    for (std::size_t s = h & mask; stanzaIndex_[s].hash; s = (s + 1) & mask) {
      StanzaSlot& slot = stanzaIndex_[s];
      if (slot.hash == h && stanzaName(slot.stanza) == name) {
        slot.stanza = stanza;  // a stanza made anew after its deletion
        return;
      }
    }
  }
  if ((stanzaLive_ + 1) * 2 > stanzaIndex_.size()) growStanzas(stanzaIndex_.empty() ? 16 : stanzaIndex_.size() * 2);
  std::size_t mask = stanzaIndex_.size() - 1;
  std::size_t s = h & mask;
  while (stanzaIndex_[s].hash) s = (s + 1) & mask;
  stanzaIndex_[s] = StanzaSlot{h, stanza};
  ++stanzaLive_;
}

std::int32_t StanzaDocument::findStanza(std::string_view name) const {
  if (stanzaIndex_.empty()) return -1;
  std::uint32_t h = stanzaHash(name);
  std::size_t mask = stanzaIndex_.size() - 1;
  for (std::size_t s = h & mask;; s = (s + 1) & mask) {
    const StanzaSlot& slot = stanzaIndex_[s];
    if (!slot.hash) return -1;
    if (slot.hash == h && stanzaName(slot.stanza) == name)
      return stanzas_[slot.stanza].alive ? slot.stanza : -1;
  }
}

namespace {
// Counts the line feeds and the "[" of a text in one pass, sixteen bytes at
// a time where SSE2 is there: it must cost little next to the parse.
struct LineCounts {
  std::size_t lines, brackets;
};

LineCounts countLines(const char* p, std::size_t n) {
  LineCounts c{0, 0};
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n'), open = _mm_set1_epi8('['), zero = _mm_setzero_si128();
  while (i + 16 <= n) {
    // A comparison gives -1 per match; subtracting it counts matches per byte
    // lane, which may take at most 255 rounds before the lanes are summed.
    __m128i lines = zero, brackets = zero;
    std::size_t stop = std::min(n - 15, i + 255 * 16);
    for (; i < stop; i += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      lines = _mm_sub_epi8(lines, _mm_cmpeq_epi8(v, lf));
      brackets = _mm_sub_epi8(brackets, _mm_cmpeq_epi8(v, open));
    }
    __m128i sl = _mm_sad_epu8(lines, zero), sb = _mm_sad_epu8(brackets, zero);
    c.lines += static_cast<std::size_t>(_mm_cvtsi128_si64(sl)) +
               static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sl, sl)));
    c.brackets += static_cast<std::size_t>(_mm_cvtsi128_si64(sb)) +
                  static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sb, sb)));
  }
#endif
  for (; i < n; ++i) {
    c.lines += p[i] == '\n';
    c.brackets += p[i] == '[';
  }
  return c;
}

// Where the line that starts at `p` ends, and where its first "=" is (null
// when it has none). Most lines of a configuration file are short: one
// sixteen-byte look answers both without a call.
struct LineScan {
  const char* nl;  // null: no line feed before `end`
  const char* eq;
};

inline LineScan scanLine(const char* p, const char* end) {
#if defined(__SSE2__)
  if (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned nl = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
    if (nl) {
      unsigned at = static_cast<unsigned>(__builtin_ctz(nl));
      unsigned eq = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')))) &
                    ((1u << at) - 1);
      return LineScan{p + at, eq ? p + __builtin_ctz(eq) : nullptr};
    }
  }
#endif
  const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
  const char* stop = nl ? nl : end;
  return LineScan{nl, static_cast<const char*>(std::memchr(p, '=', static_cast<std::size_t>(stop - p)))};
}
}  // namespace

void StanzaDocument::reserveFor(std::string_view bytes) {
  // Every "[" counts as a possible header, which errs on the generous side
  // only for texts with brackets in their values.
  LineCounts counts = countLines(bytes.data(), bytes.size());
  std::size_t lines = counts.lines + 1, headers = counts.brackets;
  lines_.reserve(lines);
  stanzas_.reserve(headers);
  std::size_t slots = 16;
  while (slots < headers * 2) slots *= 2;
  growStanzas(slots);
  // Room for every stanza's first table at the size an average stanza needs
  // (one slot for one key, else load at most 3/4); a stanza with more moves
  // its table to the end, which may then grow the arena once.
  std::size_t entries = lines - std::min(lines, headers);
  std::size_t average = headers ? entries / headers : entries;
  firstKeyCap_ = 1;
  if (average > 1) {
    firstKeyCap_ = 4;
    while (firstKeyCap_ < 16 && firstKeyCap_ * 3 < average * 4) firstKeyCap_ *= 2;
  }
  keyIndex_.reserve(std::min(entries * 2, headers * firstKeyCap_) + 16);
}

// ---------------------------------------------------------------- parsing and writing

void StanzaDocument::clear() {
  buffer_.clear();
  owned_.clear();
  ownedBytes_ = 0;
  baseIsBuffer_ = true;
  lines_.clear();
  head_ = tail_ = -1;
  bom_ = false;
  newEol_ = kLf;
  stanzas_.clear();
  stanzaIndex_.clear();
  keyIndex_.clear();
  stanzaLive_ = 0;
}

void StanzaDocument::parse(std::string bytes, const char* fileName, bool strict) {
  clear();
  buffer_ = std::move(bytes);
  const char* p = buffer_.data();
  const char* end = p + buffer_.size();
  if (buffer_.size() >= 3 && std::memcmp(p, kBom, 3) == 0) {
    bom_ = true;
    p += 3;
  }
  reserveFor(std::string_view(p, static_cast<std::size_t>(end - p)));
  std::int32_t current = -1;
  int number = 0;
  try {
    while (p < end) {
      ++number;
      LineScan scan = scanLine(p, end);
      const char* nl = scan.nl;
      const char* lineEnd = nl ? nl : end;
      Eol eol = nl ? kLf : kNone;
      if (lineEnd > p && lineEnd[-1] == '\r') {
        // Without a following LF only at the very end: a value must not
        // gain or lose a CR when a line is later added after it.
        --lineEnd;
        eol = nl ? kCrLf : kCr;
      }
      if (number == 1 && (eol == kLf || eol == kCrLf)) newEol_ = eol;
      std::int32_t id = static_cast<std::int32_t>(lines_.size());
      // Filled in place: a line put together on the stack and then copied
      // stalls on reading back its freshly written fields.
      lines_.emplace_back();
      Line& line = lines_.back();
      line.text = p;
      line.length = static_cast<std::uint32_t>(lineEnd - p);
      line.prev = id - 1;
      line.next = id + 1;  // the last line's is cut below
      line.nextValue = -1;
      line.stanza = -1;
      line.kind = kOther;
      line.eol = eol;
      line.alive = true;
      const char* s = p;
      while (s < lineEnd && isBlank(*s)) ++s;
      if (s == lineEnd) {
        line.kind = kBlank;
      } else if (*s == '#') {
        line.kind = kComment;
      } else if (*s == '[') {
        const char* close = lineEnd;
        while (close > s && close[-1] != ']') --close;
        bool tidy = close > s + 1;
        for (const char* t = close; tidy && t < lineEnd; ++t) tidy = isBlank(*t);
        std::string_view name = tidy ? trimmed(s + 1, close - 1) : std::string_view();
        if (!tidy || name.empty()) {
          if (strict) invalid(fileName, number, tidy ? "empty stanza name" : "unclosed [ in a stanza header");
        } else {
          line.kind = kHeader;
          line.nameLength = static_cast<std::uint32_t>(name.size());
          current = findStanza(name);
          if (current < 0) {
            current = static_cast<std::int32_t>(stanzas_.size());
            stanzas_.push_back(Stanza{id, id, 0, 0, 0, true});
            indexStanza(current, name);
          }
          line.stanza = current;
          stanzas_[current].last = id;
        }
      } else {
        // The first "=" of the line lies after its leading blanks.
        const char* eq = scan.eq && scan.eq < lineEnd ? scan.eq : nullptr;
        std::string_view k = eq ? trimmed(s, eq) : std::string_view();
        if (!eq || k.empty() || current < 0) {
          if (strict)
            invalid(fileName, number,
                    !eq ? "not a stanza header, an entry or a comment"
                        : (k.empty() ? "entry without a key" : "entry before the first stanza"));
        } else {
          std::string_view v = trimmed(eq + 1, lineEnd);
          line.kind = kEntry;
          line.nameLength = static_cast<std::uint32_t>(k.size());
          line.valueOffset = static_cast<std::uint32_t>(v.data() - p);
          line.stanza = current;
          addKeyLine(current, k, id);
          stanzas_[current].last = id;
        }
      }
      p = nl ? nl + 1 : end;
    }
    if (!lines_.empty()) {
      head_ = 0;
      tail_ = static_cast<std::int32_t>(lines_.size()) - 1;
      lines_.back().next = -1;
    }
  } catch (...) {
    clear();
    throw;
  }
}

namespace {
// The bytes of each line end.
const char* const kEolText[] = {"", "\n", "\r\n", "\r"};
const std::uint32_t kEolLength[] = {0, 1, 2, 1};

}  // namespace

template <typename Put>
void StanzaDocument::forEachPiece(Put put) const {
  if (bom_) put(kBom, 3);
  for (std::int32_t i = head_; i >= 0; i = lines_[i].next) {
    const Line& line = lines_[i];
    put(line.text, line.length);
    if (line.eol != kNone) put(kEolText[line.eol], kEolLength[line.eol]);
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
  // Room for the parsed bytes and every new or rewritten text with its line
  // end, without a walk to measure: the last parsed line, given a line end
  // when a line went after it, may need a byte or two more.
  out.reserve(buffer_.size() + ownedBytes_ + 2 * owned_.size() + 3);
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
  std::size_t dead = 0;
  for (const Line& l : lines_) dead += !l.alive;
  std::size_t waste = ownedBytes_ + dead * sizeof(Line);
  return waste > (std::size_t{64} << 10) + buffer_.size() / 8;
}

// ---------------------------------------------------------------- reading

int StanzaDocument::stanzaCount() const { return static_cast<int>(stanzas().size()); }

std::string_view StanzaDocument::stanzaName(std::int32_t stanza) const { return key(stanzas_[stanza].header); }

std::vector<std::int32_t> StanzaDocument::stanzas() const {
  std::vector<std::int32_t> out;
  for (std::size_t i = 0; i < stanzas_.size(); ++i)
    if (stanzas_[i].alive) out.push_back(static_cast<std::int32_t>(i));
  return out;
}

std::int32_t StanzaDocument::firstValueLine(std::int32_t stanza, std::string_view k) const {
  if (stanza < 0) return -1;
  KeySlot* slot = findKey(stanza, k, keyHash(stanza, k));
  return slot ? slot->first : -1;
}

std::string_view StanzaDocument::value(std::int32_t line) const {
  const Line& l = lines_[line];
  return std::string_view(l.text + l.valueOffset, valueEnd(l) - l.valueOffset);
}

std::string_view StanzaDocument::key(std::int32_t line) const {
  const Line& l = lines_[line];
  return std::string_view(l.text + nameStart(l), l.nameLength);
}

std::vector<std::int32_t> StanzaDocument::entryLines(std::int32_t stanza) const {
  std::vector<std::int32_t> out;
  if (stanza < 0 || !stanzas_[stanza].alive) return out;
  std::int32_t stop = stanzas_[stanza].last;
  for (std::int32_t i = stanzas_[stanza].header; i >= 0; i = lines_[i].next) {
    if (lines_[i].kind == kEntry && lines_[i].stanza == stanza) out.push_back(i);
    if (i == stop) break;
  }
  return out;
}

std::int32_t StanzaDocument::commentStart(std::int32_t line) const {
  std::int32_t start = line;
  while (lines_[start].prev >= 0 && lines_[lines_[start].prev].kind == kComment) start = lines_[start].prev;
  return start;
}

std::string StanzaDocument::commentAbove(std::int32_t line) const {
  std::string out;
  for (std::int32_t i = commentStart(line); i != line; i = lines_[i].next) {
    if (!out.empty()) out += '\n';
    out.append(lines_[i].text, lines_[i].length);
  }
  return out;
}

// ---------------------------------------------------------------- changing

std::int32_t StanzaDocument::newLine(std::string text, Kind kind) {
  owned_.push_back(std::move(text));
  const std::string& t = owned_.back();
  ownedBytes_ += t.size();
  std::int32_t id = static_cast<std::int32_t>(lines_.size());
  lines_.push_back(Line{t.data(), static_cast<std::uint32_t>(t.size()), 0, 0, -1, -1, -1, -1, kind, newEol_, true});
  return id;
}

void StanzaDocument::insertAfter(std::int32_t line, std::int32_t after) {
  Line& l = lines_[line];
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
    if (lines_[after].eol == kNone || lines_[after].eol == kCr) {
      // A CR at the end of its text stays text only before a CRLF; a CR
      // that ended the file was a CRLF cut short, and is completed so that
      // the line keeps its bytes.
      const Line& a = lines_[after];
      bool endsInCr = a.eol == kCr || (a.length > 0 && a.text[a.length - 1] == '\r');
      lines_[after].eol = endsInCr ? kCrLf : newEol_;
      l.eol = kNone;
    }
  }
}

void StanzaDocument::insertBefore(std::int32_t line, std::int32_t before) {
  Line& l = lines_[line];
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
    Line& last = l.prev >= 0 ? lines_[l.prev] : l;
    if ((l.eol == kNone || l.eol == kCr) && l.prev >= 0 && !(last.length > 0 && last.text[last.length - 1] == '\r'))
      last.eol = kNone;
  }
  l.alive = false;
  l.prev = l.next = -1;
}

void StanzaDocument::refreshLast(std::int32_t stanza) {
  Stanza& s = stanzas_[stanza];
  if (lines_[s.last].alive) return;
  // Called before the old last line is unlinked: walk back from it.
  for (std::int32_t i = lines_[s.last].prev; i >= 0; i = lines_[i].prev) {
    if (lines_[i].stanza == stanza && lines_[i].alive) {
      s.last = i;
      return;
    }
  }
  s.last = s.header;
}

void StanzaDocument::unlinkCommentAbove(std::int32_t line) {
  for (std::int32_t c = commentStart(line); c != line;) {
    std::int32_t n = lines_[c].next;
    unlink(c);
    c = n;
  }
}

void StanzaDocument::unlinkEntry(std::int32_t stanza, std::int32_t line) {
  unlinkCommentAbove(line);
  if (stanzas_[stanza].last == line) {
    // refreshLast walks back from the old last line, so it runs before the unlink.
    lines_[line].alive = false;
    refreshLast(stanza);
  }
  unlink(line);
}

void StanzaDocument::rollBack(const Mark& m) {
  // Stanzas that gained lines of the change end where they ended before.
  for (std::size_t s = 0; s < m.stanzas && s < stanzas_.size(); ++s) {
    Stanza& st = stanzas_[s];
    if (!st.alive || static_cast<std::size_t>(st.last) < m.lines) continue;
    std::int32_t i = st.last;
    while (i >= 0 && (static_cast<std::size_t>(i) >= m.lines || lines_[i].stanza != static_cast<std::int32_t>(s) ||
                      !lines_[i].alive))
      i = lines_[i].prev;
    st.last = i >= 0 ? i : st.header;
  }
  for (std::size_t i = lines_.size(); i-- > m.lines;) {
    Line& l = lines_[i];
    bool linked = l.prev >= 0 || l.next >= 0 || head_ == static_cast<std::int32_t>(i);
    if (l.alive && linked) unlink(static_cast<std::int32_t>(i));
    l.alive = false;
  }
  for (std::size_t s = m.stanzas; s < stanzas_.size(); ++s) stanzas_[s].alive = false;
}

std::int32_t StanzaDocument::ensureStanza(std::string_view name) {
  return whole([&] { return ensureStanzaUnguarded(name); });
}

std::int32_t StanzaDocument::ensureStanzaUnguarded(std::string_view name) {
  std::int32_t found = findStanza(name);
  if (found >= 0) return found;
  if (tail_ >= 0 && lines_[tail_].kind != kBlank) insertAfter(newLine(std::string(), kBlank), tail_);
  std::string text = "[" + std::string(name) + "]";
  std::int32_t header = newLine(std::move(text), kHeader);
  Line& h = lines_[header];
  h.nameLength = static_cast<std::uint32_t>(name.size());
  std::int32_t id = static_cast<std::int32_t>(stanzas_.size());
  h.stanza = id;
  insertAfter(header, tail_);
  stanzas_.push_back(Stanza{header, header, 0, 0, 0, true});
  indexStanza(id, name);
  return id;
}

std::int32_t StanzaDocument::appendEntry(std::int32_t stanza, std::string_view k, std::string_view v,
                                         std::int32_t after) {
  // "key = value"; an empty value leaves no trailing blank: "key =".
  std::string text;
  text.reserve(k.size() + v.size() + 3);
  text.append(k).append(v.empty() ? " =" : " = ").append(v);
  std::uint32_t valueOffset = static_cast<std::uint32_t>(text.size() - v.size());
  std::int32_t id = newLine(std::move(text), kEntry);
  Line& l = lines_[id];
  l.nameLength = static_cast<std::uint32_t>(k.size());
  l.valueOffset = valueOffset;
  l.stanza = stanza;
  insertAfter(id, after);
  if (after == stanzas_[stanza].last) stanzas_[stanza].last = id;
  return id;
}

void StanzaDocument::setValue(std::string_view stanza, std::string_view k, std::string_view v) {
  whole([&] {
  std::int32_t s = ensureStanzaUnguarded(stanza);
  std::uint32_t h = keyHash(s, k);
  KeySlot* slot = findKey(s, k, h);
  if (!slot) {
    // Room for the key first: nothing below allocates once the line is linked.
    if (keysFull(stanzas_[s])) growKeys(s);
    std::int32_t id = appendEntry(s, k, v, stanzas_[s].last);
    insertKey(s, h, id, id);
    return;
  }
  std::int32_t first = slot->first;
  // The new text first, so that exhausted memory finds the values untouched.
  // Rewrite the value in place, keeping the spacing around it.
  const Line& l = lines_[first];
  std::uint32_t oldEnd = valueEnd(l);
  std::string text(l.text, l.valueOffset);
  if (oldEnd == l.valueOffset && !v.empty() && !text.empty() && !isBlank(text.back())) text += ' ';
  std::uint32_t valueOffset = static_cast<std::uint32_t>(text.size());
  text.append(v);
  text.append(l.text + oldEnd, l.length - oldEnd);
  owned_.push_back(std::move(text));
  ownedBytes_ += owned_.back().size();
  // Drop the other values; `slot` stays valid (no index change).
  for (std::int32_t i = lines_[first].nextValue; i >= 0;) {
    std::int32_t next = lines_[i].nextValue;
    unlinkEntry(s, i);
    i = next;
  }
  lines_[first].nextValue = -1;
  slot->last = first;
  Line& r = lines_[first];
  r.text = owned_.back().data();
  r.length = static_cast<std::uint32_t>(owned_.back().size());
  r.valueOffset = valueOffset;
  });
}

void StanzaDocument::addValue(std::string_view stanza, std::string_view k, std::string_view v) {
  whole([&] {
  std::int32_t s = ensureStanzaUnguarded(stanza);
  std::uint32_t h = keyHash(s, k);
  KeySlot* slot = findKey(s, k, h);
  if (!slot) {
    if (keysFull(stanzas_[s])) growKeys(s);
    std::int32_t id = appendEntry(s, k, v, stanzas_[s].last);
    insertKey(s, h, id, id);
    return;
  }
  std::int32_t after = slot->last;
  std::int32_t id = appendEntry(s, k, v, after);
  lines_[after].nextValue = id;
  slot->last = id;
  });
}

void StanzaDocument::deleteKey(std::int32_t stanza, std::string_view k) {
  if (stanza < 0) return;
  KeySlot* slot = findKey(stanza, k, keyHash(stanza, k));
  if (!slot) return;
  std::int32_t first = slot->first;
  eraseKey(stanza, slot);
  for (std::int32_t i = first; i >= 0;) {
    std::int32_t next = lines_[i].nextValue;
    unlinkEntry(stanza, i);
    i = next;
  }
}

void StanzaDocument::removeValueLine(std::int32_t line) {
  std::int32_t stanza = lines_[line].stanza;
  std::string_view k = key(line);
  KeySlot* slot = findKey(stanza, k, keyHash(stanza, k));
  if (!slot) return;
  if (slot->first == line) {
    if (lines_[line].nextValue < 0) {
      eraseKey(stanza, slot);
    } else {
      slot->first = lines_[line].nextValue;
    }
  } else {
    std::int32_t pred = slot->first;
    while (lines_[pred].nextValue != line) pred = lines_[pred].nextValue;
    lines_[pred].nextValue = lines_[line].nextValue;
    if (slot->last == line) slot->last = pred;
  }
  unlinkEntry(stanza, line);
}

void StanzaDocument::deleteStanza(std::int32_t stanza) {
  if (stanza < 0 || !stanzas_[stanza].alive) return;
  // Both lists before anything changes: they are all this allocates.
  std::vector<std::int32_t> entries = entryLines(stanza);
  // Every segment: from the comment above its header to the line before the
  // comment of the next header (which belongs to that header).
  std::vector<std::int32_t> headers;
  for (std::int32_t i = stanzas_[stanza].header; i >= 0; i = lines_[i].next)
    if (lines_[i].kind == kHeader && lines_[i].stanza == stanza) headers.push_back(i);
  for (std::int32_t line : entries) {
    std::string_view k = key(line);
    if (KeySlot* slot = findKey(stanza, k, keyHash(stanza, k))) eraseKey(stanza, slot);
  }
  for (std::int32_t header : headers) {
    std::int32_t stop = lines_[header].next;
    while (stop >= 0 && lines_[stop].kind != kHeader) stop = lines_[stop].next;
    if (stop >= 0) stop = commentStart(stop);
    for (std::int32_t i = commentStart(header); i != stop && i >= 0;) {
      std::int32_t n = lines_[i].next;
      unlink(i);
      i = n;
    }
  }
  stanzas_[stanza].alive = false;
}

void StanzaDocument::addCommentAbove(std::int32_t line, std::string_view comment) {
  whole([&] { addCommentAboveUnguarded(line, comment); });
}

void StanzaDocument::addCommentAboveUnguarded(std::int32_t line, std::string_view comment) {
  std::size_t start = 0;
  while (start <= comment.size()) {
    std::size_t nl = comment.find('\n', start);
    std::string_view piece = comment.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    bool last = nl == std::string_view::npos;
    if (!(last && piece.empty() && start > 0)) {
      while (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
      std::string_view t = trimmed(piece.data(), piece.data() + piece.size());
      std::string text;
      if (t.empty() || t.front() != '#') text = piece.empty() ? "#" : "# " + std::string(piece);
      else text = std::string(piece);
      insertBefore(newLine(std::move(text), kComment), line);
    }
    if (last) break;
    start = nl + 1;
  }
}

void StanzaDocument::setCommentAbove(std::int32_t line, std::string_view comment) {
  // The new comment goes in below the old one first, so that exhausted
  // memory leaves the old one; then the old one goes.
  std::int32_t oldStart = commentStart(line);
  const bool hadComment = oldStart != line;
  std::int32_t oldEnd = line;
  if (!comment.empty()) {
    std::int32_t before = lines_[line].prev;
    addCommentAbove(line, comment);
    // The old comment now ends right above the first new line.
    oldEnd = before >= 0 ? lines_[before].next : head_;
  }
  if (!hadComment) return;
  for (std::int32_t c = oldStart; c != oldEnd && c >= 0;) {
    std::int32_t n = lines_[c].next;
    unlink(c);
    c = n;
  }
}

void StanzaDocument::addFileComment(std::string_view comment) {
  whole([&] {
  // The file's own comment is a comment block at the top followed by a blank
  // line; without one, a new block and a blank line go first.
  std::int32_t i = head_;
  while (i >= 0 && lines_[i].kind == kComment) i = lines_[i].next;
  if (i >= 0 && i != head_ && lines_[i].kind == kBlank) {
    addCommentAboveUnguarded(i, comment);
    return;
  }
  std::int32_t blank = newLine(std::string(), kBlank);
  insertBefore(blank, head_);
  addCommentAboveUnguarded(blank, comment);
  });
}

}  // namespace ornz
