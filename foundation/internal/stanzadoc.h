// The text model behind stanza files: the file's bytes as they were read,
// with one record per stanza header and per entry, one record per run of
// other lines, and indexes from stanza names and (stanza, key) pairs to
// records.
//
// Loading keeps the file in one buffer and every record as an offset into
// it, so an unchanged file is written back byte for byte and a change
// rewrites only the lines it touches. Records form a doubly-linked list over
// blocks that never move, so insertions and removals keep every other
// record's identity.
//
// Memory follows the bytes: blank lines, comment lines and (in a lenient
// load) lines of no known kind cost nothing of their own, since a run of
// them is one record however long it is; a header or an entry costs one
// 20-byte record and its share of an index slot of 4 bytes (key tables take
// chunks as distinct keys need them). A load stays within 8 bytes a byte of
// the file for every shape of it. The longest runs of blanks around a name
// or a value that a record finds again by reading its text are kShortRun
// bytes; a line with longer ones keeps their measures beside it instead, so
// that no look-up ever reads them again.
//
// A load reads the file twice: a survey that builds nothing (and finds a
// strict load's first invalid line) sizes what the build then makes in one
// go. The build reads runs of empty lines whole, and files names in their
// indexes a few lines after it reads them, the slot fetched meanwhile.
//
// Format: "[stanza]" headers; "key = value" entries (blanks around "=" and
// around the value are not part of it); lines whose first non-blank character
// is "#" are comments; blank lines. A comment belongs to the header or entry
// right below it. LF and CRLF line ends, a UTF-8 byte-order mark and a last
// line without a line end are kept as they are; a carriage return that ends
// the file is taken as a line end cut short, not as part of the last line.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_STANZADOC_H
#define ORNUTIL_FOUNDATION_INTERNAL_STANZADOC_H

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/internal/filestore.h"
#include "foundation/internal/contentdigest.h"

namespace ornz {

class StanzaDocument {
 public:
  // kText: a run of blank, comment and opaque lines, line ends inside it
  // kept as they are in its text.
  enum Kind : std::uint8_t { kText, kHeader, kEntry };
  // kCr: a carriage return that ends the file, the rest of a CRLF cut short.
  enum Eol : std::uint8_t { kNone, kLf, kCrLf, kCr };

  // Parses `bytes`. With `strict`, an entry before the first stanza, an
  // unclosed "[" or a line of no known kind raises
  // ZPropertiesInvalidDataException_7_0_0 naming `fileName` and the line,
  // found before any of the document is built; otherwise such lines are
  // kept as opaque text. On failure the document is left empty.
  void parse(std::string bytes, const char* fileName, bool strict);
  void clear();
  // The file's bytes.
  std::string serialize() const;
  // The same bytes, a piece at a time, and their number.
  void serializeTo(ByteSink& out) const;
  std::uint64_t serializedSize() const;

  // --- the base: what the file held when this document last agreed with it
  // (the bytes parsed, or after a store the bytes stored, of which only a
  // digest is kept: the document then goes on from its own lines, not from
  // a new copy of the file).
  // Whether the file `path` still holds the base (see fileHolds).
  bool fileHoldsBase(const char* path) const;
  // The document now agrees with a file of the bytes digested in `stored`.
  void rebase(const ContentDigest& stored);
  // Whether what changes have left behind (replaced texts, removed lines)
  // is large enough that the document should rather be parsed anew from
  // its bytes.
  bool wasteful() const;

  // --- what it holds, for tests of its size: the records (live or not)
  // and the bytes of its own allocations (buffers, records, indexes).
  std::size_t recordCount() const { return lines_.size(); }
  std::size_t bytesHeld() const;

  // --- reading
  int stanzaCount() const;
  std::int32_t findStanza(std::string_view name) const;
  std::string_view stanzaName(std::int32_t stanza) const;
  // Stanza ids in file order of their first header.
  std::vector<std::int32_t> stanzas() const;
  // First line of the key in the stanza, or -1.
  std::int32_t firstValueLine(std::int32_t stanza, std::string_view key) const;
  // The key's next line after `line`, or -1.
  std::int32_t nextValueLine(std::int32_t line) const {
    std::int32_t n = lines_[line].link;
    return n >= 0 ? n : -1;
  }
  // Whether `line`, an entry of `stanza`, is its key's first line: without
  // a look-up for a key of one value.
  bool isFirstValue(std::int32_t stanza, std::int32_t line) const {
    std::int32_t n = lines_[line].link;
    if (n < 0) return -2 - n == line;
    return firstValueLine(stanza, key(line)) == line;
  }
  std::string_view value(std::int32_t line) const;
  // The first value of the key in the stanza of that name, in `value`;
  // false when there is none. One look-up where findStanza, firstValueLine
  // and value take three.
  bool firstValue(std::string_view stanza, std::string_view key, std::string_view& value) const;
  std::string_view key(std::int32_t line) const;
  // Entry lines of the stanza in file order (all values of all keys).
  std::vector<std::int32_t> entryLines(std::int32_t stanza) const;
  // The comment lines right above `line`, joined with "\n".
  std::string commentAbove(std::int32_t line) const;

  // --- changing; names, keys and values must not hold line ends. Each
  // change is whole or, when memory runs out (std::bad_alloc), not made.
  std::int32_t ensureStanza(std::string_view name);
  // Replaces all values of the key by one; creates stanza and key as needed.
  void setValue(std::string_view stanza, std::string_view key, std::string_view value);
  // Adds one more value after the key's last one (or at the stanza's end).
  void addValue(std::string_view stanza, std::string_view key, std::string_view value);
  // Removes every value line of the key and the comment above the first one.
  void deleteKey(std::int32_t stanza, std::string_view key);
  // Removes one value line and the comment right above it (a comment belongs
  // to the entry below it).
  void removeValueLine(std::int32_t line);
  // Removes the stanza with its comment, entries and blank lines.
  void deleteStanza(std::int32_t stanza);
  // Fetches into the cache the slot a look-up or an addition of `key` in
  // `stanza` probes first, for a caller that knows its next key ahead.
  void prefetchKey(std::int32_t stanza, std::string_view key) const;
  // Room in the index of `stanza` (when it is one and has keys) for `more`
  // keys besides those it has: adding them then never grows the index.
  void reserveKeys(std::int32_t stanza, std::size_t more);
  // Inserts comment lines right above `line` (after any comment already there).
  void addCommentAbove(std::int32_t line, std::string_view comment);
  // Replaces the comment right above `line`.
  void setCommentAbove(std::int32_t line, std::string_view comment);
  // Adds comment lines at the top of the file, after those already there.
  void addFileComment(std::string_view comment);
  std::int32_t headerLine(std::int32_t stanza) const { return stanzas_[stanza].header; }

  // Blank runs around names and values up to this long are found again from
  // the text; longer ones are measured once and kept (see Shape).
  static constexpr std::uint32_t kShortRun = 16;

 private:
  // 20 bytes: a file of short lines holds about as many of these as of its
  // own bytes in fours, so what can be found again cheaply from the text
  // (where the name and the value start and end) is not stored.
  struct Line {
    std::uint32_t start;  // offset of the text; kOwned: in owned_, else in buffer_; kWide: see wide_
    std::uint32_t bits;   // length << 5 | kind << 3 | eol << 1 | alive
    std::int32_t prev, next;  // list order; -1 at the ends
    // A header: its stanza. An entry: the key's next line; at the key's
    // last line, -2 - its first line (so that a key's first and last lines
    // are each one step from its index slot). A text run: unused.
    std::int32_t link;
  };
  static constexpr std::uint32_t kOwned = 1u << 31, kWide = 1u << 30, kOffsetMask = kWide - 1;
  // The longest text a record holds; a longer run of text lines takes more
  // records.
  static constexpr std::ptrdiff_t kMaxLength = (std::ptrdiff_t{1} << 27) - 1;
  // Where a name and a value lie in a header or entry line, from its start.
  struct Shape {
    std::uint32_t nameStart, nameEnd, valueStart, valueEnd;
  };
  struct Stanza {
    std::int32_t header;  // first header line (the name is read from it)
    std::int32_t last;    // last header or entry line of the stanza
    // The stanza's own key table: 1 << keyCapLog slots at keyOffset in
    // keyIndex_ (none while keyCount is 0).
    std::uint32_t keyOffset;
    std::uint32_t keyCount : 27, keyCapLog : 5;
  };

  // Accessors of the packed record.
  static std::uint32_t lengthOf(const Line& l) { return l.bits >> 5; }
  static Kind kindOf(const Line& l) { return static_cast<Kind>((l.bits >> 3) & 3); }
  static Eol eolOf(const Line& l) { return static_cast<Eol>((l.bits >> 1) & 3); }
  static bool aliveOf(const Line& l) { return l.bits & 1; }
  static void setLength(Line& l, std::uint32_t n) { l.bits = (n << 5) | (l.bits & 31); }
  static void setEol(Line& l, Eol e) { l.bits = (l.bits & ~6u) | (static_cast<std::uint32_t>(e) << 1); }
  static void setAlive(Line& l, bool a) { l.bits = (l.bits & ~1u) | (a ? 1u : 0u); }
  const char* textOf(const Line& l) const {
    return (l.start & kOwned) ? owned_.at(l.start & kOffsetMask) : buffer_.data() + (l.start & kOffsetMask);
  }
  std::string_view viewOf(std::int32_t line) const {
    return std::string_view(textOf(lines_[line]), lengthOf(lines_[line]));
  }
  Shape shapeOf(std::int32_t line) const;
  // Keeps the measures of `line` beside it when its blank runs are long.
  void noteShape(std::int32_t line, const Shape& shape);

  // Calls put(bytes, length) for each piece of the file's text, in order.
  template <typename Put>
  void forEachPiece(Put put) const;

  // --- parsing, step by step
  // A run of many entry lines under one header: its stanza's index is made
  // large at the run's first entry, where growing it a doubling at a time
  // files every key again at each step. As large as its entries need were
  // they all distinct keys, within half of what the load's bound of 8 bytes
  // a byte leaves beside the run's records: they may all be one key, and a
  // file of "a=" lines has room for little more than its records.
  struct LongSegment {
    std::size_t header;   // the header's number among the file's headers, from 0
    std::size_t entries;  // its entry lines before the next header
    std::size_t records;  // its records (entries and runs of other lines)
    std::size_t bytes;    // from the header to the next one
  };
  static constexpr std::size_t kLongSegment = 64;
  struct Counts {
    std::size_t records, headers, entries;
    std::vector<LongSegment> longSegments;  // in file order
  };
  // Keys to make room for at the first entry of `segment`.
  static std::size_t roomFor(const LongSegment& segment);
  // Reads every line once without building anything: what the document will
  // hold, and (strict) the first line that makes the file invalid.
  Counts survey(const char* p, const char* end, const char* fileName, bool strict) const;
  // Sizes every vector and index once for what the survey found, so that
  // building moves nothing (a move needs old and new at once).
  void reserveFor(const Counts& counts);
  // Makes the records and indexes, a line at a time.
  void build(const char* p, const char* end, const std::vector<LongSegment>& longSegments);
  // Names (keys or stanza names) a parse has made records for, not filed in
  // their index yet: the slot each will probe first is fetched while a few
  // more lines are read, since in a large index every first probe is a miss
  // of the cache, and filed one at a time they would each be waited for (a
  // stanza of some 400,000 keys: 9.3 ns a byte filed at once, 6.4 in
  // waiting). Filed in the order they came, so that the lines of a key or a
  // stanza keep file order.
  struct Waiting {
    std::string_view name;
    std::uint32_t hash;
    std::int32_t line;
  };
  // An index of fewer slots than 1 << this (64 KiB) is taken to be in the
  // cache: names wait only for larger ones.
  static constexpr std::uint32_t kWaitFromLog = 14;
  class WaitingNames {
   public:
    static constexpr std::size_t kSize = 8;
    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == kSize; }
    void push(const Waiting& w) { names_[(first_ + count_++) % kSize] = w; }
    Waiting pop() {
      Waiting w = names_[first_];
      first_ = (first_ + 1) % kSize;
      --count_;
      return w;
    }

   private:
    Waiting names_[kSize];
    std::size_t first_ = 0, count_ = 0;
  };
  // Lets the key of entry `line` of `stanza` wait, filing the oldest key
  // first when all places are taken.
  void waitToFileKey(WaitingNames& keys, std::int32_t stanza, std::string_view k, std::int32_t line);
  void fileKeys(WaitingNames& keys, std::int32_t stanza);
  // Lets the header `line`, named `name`, wait, filing the oldest first
  // when all places are taken; fileHeaders files them all, and `current`
  // is then the stanza of the last.
  void waitToFileHeader(WaitingNames& headers, std::string_view name, std::int32_t line, std::int32_t& current);
  void fileHeaders(WaitingNames& headers, std::int32_t& current);
  // Files a header read by a parse: its stanza found, or made anew.
  void fileHeader(const Waiting& header, std::int32_t& current);
  // The text lines from `from` to the end of the one at `text`.
  void addText(const char* from, const char* text, std::uint32_t length, Eol eol);
  std::int32_t appendParsed(const char* text, std::uint32_t length, Kind kind, Eol eol);

  // --- indexes
  static std::uint32_t nameHash(std::string_view name);
  // findStanza with the name's hash given, calling candidate(stanza) for
  // each stanza whose slot's tag matches, before its name is compared.
  template <typename Candidate>
  std::int32_t findStanza(std::string_view name, std::uint32_t hash, Candidate candidate) const;
  // The slot of `key` in the stanza's table, or null; `shape`, when given,
  // gets the measures of the line the slot names.
  std::uint32_t* findKey(std::int32_t stanza, std::string_view key, std::uint32_t hash,
                         Shape* shape = nullptr) const;
  // Files `line`, an entry of `stanza` with key `k` (of nameHash `hash`),
  // as the key's last value.
  void addKeyLine(std::int32_t stanza, std::string_view k, std::uint32_t hash, std::int32_t line);
  // The slot of `k` in `stanza`; when the stanza has no such key, `k = v` is
  // appended as its new last line instead and null returned.
  std::uint32_t* keySlotOrAppend(std::int32_t stanza, std::string_view k, std::string_view v);
  void eraseKey(std::int32_t stanza, std::uint32_t* slot);
  // Whether the stanza's table takes one more key as it is (see
  // makeRoomForKey); a stanza without keys has no table yet. Inline: every
  // entry a parse meets asks, and most are told yes.
  static bool hasRoomForKey(const Stanza& st) {
    std::size_t cap = std::size_t{1} << st.keyCapLog;
    return st.keyCount != 0 && (cap == 1 ? st.keyCount < 1 : (std::size_t{st.keyCount} + 1) * 4 <= cap * 3);
  }
  // Room in the stanza's table for one more key.
  void makeRoomForKey(std::int32_t stanza);
  void growKeys(std::int32_t stanza, std::uint32_t capLog);
  // Files `stanza` under `name` (the stanza's, whose header line may not be
  // stored yet), or returns the live stanza already filed under it.
  std::int32_t indexStanza(std::int32_t stanza, std::string_view name, std::uint32_t hash);
  void growStanzas(std::size_t slots);
  std::int32_t firstOf(std::int32_t last) const { return -2 - lines_[last].link; }
  std::int32_t lastValue(std::int32_t line) const {
    while (lines_[line].link >= 0) line = lines_[line].link;
    return line;
  }

  // Where a change began: lines and stanzas made after it are the change's.
  struct Mark {
    std::size_t lines, stanzas;
  };
  Mark mark() const { return Mark{lines_.size(), stanzas_.size()}; }
  // Takes back a change that failed half-way: unlinks the lines it linked
  // and drops the stanzas it made. Allocates nothing.
  void rollBack(const Mark& m);
  // Runs `change`; if it throws, rolls back to where it began and rethrows.
  template <typename Change>
  auto whole(Change change) {
    Mark m = mark();
    try {
      return change();
    } catch (...) {
      rollBack(m);
      throw;
    }
  }
  std::int32_t ensureStanzaUnguarded(std::string_view name);
  // A new record for a text of ours, not linked yet.
  std::int32_t newLine(std::string_view text, Kind kind);
  // A new text run holding the comment's lines, each starting with "#".
  std::int32_t newComment(std::string_view comment);
  // Splits the text run `line` at `at` (the start of one of its lines): the
  // lines from there on become a new record, linked right after it.
  std::int32_t splitText(std::int32_t line, std::uint32_t at);
  void insertAfter(std::int32_t line, std::int32_t after);
  void insertBefore(std::int32_t line, std::int32_t before);
  void unlink(std::int32_t line);
  // The comment right above `line`: the record holding its first line and
  // where that line starts in it; `line` itself when there is none.
  struct Place {
    std::int32_t line;
    std::uint32_t at;
  };
  Place commentStart(std::int32_t line) const;
  // Whether `line` is a text run whose last line is blank.
  bool endsInBlankLine(std::int32_t line) const;
  // Where the comment lines that end the text run `line` start, or its
  // length when its last line is no comment.
  std::uint32_t trailingComment(std::int32_t line) const;
  // Cuts the text run `line` to end before `at`; or removes it, at 0.
  void cutTextAt(std::int32_t line, std::uint32_t at);
  // Removes from `from` up to (not including) `line`.
  void removeBetween(Place from, std::int32_t line);
  void refreshLast(std::int32_t stanza);
  // Unlinks the comment lines right above `line`.
  void unlinkCommentAbove(std::int32_t line);
  // Unlinks an entry line with its comment, keeping its stanza's last line right.
  void unlinkEntry(std::int32_t stanza, std::int32_t line);
  // The stanza of a live entry line: its nearest header above.
  std::int32_t stanzaOf(std::int32_t line) const;
  std::int32_t appendEntry(std::int32_t stanza, std::string_view key, std::string_view value,
                           std::int32_t after);

  std::string buffer_;
  // Texts of new and rewritten lines, in blocks of 1 MiB that never move (a
  // text longer than a block has one of its own, as long as it): their
  // offsets stay valid, and growing never holds two copies of them.
  class OwnedText {
   public:
    // Copies `text` in; its offset. Whole or, when memory runs out, not made.
    std::uint32_t add(std::string_view text);
    const char* at(std::uint32_t offset) const { return bases_[offset >> kShift] + (offset & (kBlock - 1)); }
    std::size_t bytesHeld() const { return held_; }
    void clear() {
      blocks_.clear();
      bases_.clear();
      end_ = held_ = 0;
    }

   private:
    static constexpr std::uint32_t kShift = 20, kBlock = 1u << kShift;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<const char*> bases_;  // where each 1 MiB of offsets lies
    std::size_t end_ = 0, held_ = 0;
  };
  OwnedText owned_;
  bool baseIsBuffer_ = true;  // else the base is `base_`
  ContentDigest base_;
  // Grown a block at a time: a document never holds two copies of its records.
  template <typename T>
  class Blocks {
   public:
    T& operator[](std::size_t i) { return blocks_[i >> kShift][i & (kBlock - 1)]; }
    const T& operator[](std::size_t i) const { return blocks_[i >> kShift][i & (kBlock - 1)]; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& back() { return (*this)[size_ - 1]; }
    const T& back() const { return (*this)[size_ - 1]; }
    // Whole or, when memory runs out, not made.
    void push_back(const T& v) {
      if ((size_ >> kShift) == blocks_.size()) {
        blocks_.reserve(blocks_.size() + 1);
        owners_.reserve(owners_.size() + 1);
        owners_.emplace_back(new T[kBlock]);
        blocks_.push_back(owners_.back().get());
      }
      (*this)[size_++] = v;
    }
    // Bytes of the blocks that `n` items fill.
    static std::size_t bytesFor(std::size_t n) { return ((n + kBlock - 1) >> kShift) * kBlock * sizeof(T); }
    // Takes `bytes` (from bytesFor, owned by the caller, which keeps it as
    // long as this holds items) as the first blocks of an empty container.
    void adopt(void* storage, std::size_t bytes) {
      std::size_t count = bytes / (kBlock * sizeof(T));
      blocks_.reserve(count + 1);
      T* items = static_cast<T*>(storage);
      std::uninitialized_default_construct_n(items, count * kBlock);
      for (std::size_t b = 0; b < count; ++b) blocks_.push_back(items + b * kBlock);
    }
    void clear() {
      blocks_.clear();
      owners_.clear();
      size_ = 0;
    }
    std::size_t bytesHeld() const {
      return blocks_.size() * kBlock * sizeof(T) + (blocks_.capacity() + owners_.capacity()) * sizeof(void*);
    }

   private:
    static constexpr std::size_t kShift = 12, kBlock = std::size_t{1} << kShift;
    std::vector<T*> blocks_;  // where each block lies
    std::vector<std::unique_ptr<T[]>> owners_;  // the blocks not adopted
    std::size_t size_ = 0;
  };
  Blocks<Line> lines_;
  // Measures of the lines marked kWide: few, since each such line is long.
  std::unordered_map<std::int32_t, Shape> wide_;
  std::int32_t head_ = -1, tail_ = -1;
  bool bom_ = false;
  Eol newEol_ = kLf;
  Blocks<Stanza> stanzas_;
  // Slots of the index tables: 0 empty, else the line or stanza id + 1 in
  // the low kIdBits and the top bits of the name's hash above them, which
  // settle most mismatches without reading a name.
  static constexpr std::uint32_t kIdBits = 27, kIdMask = (1u << kIdBits) - 1;
  // Zeroed slots from calloc: the pages of a table sized to a file's headers
  // that its few distinct names never reach (a file of one header repeated)
  // cost no memory.
  class ZeroedSlots {
   public:
    ZeroedSlots() = default;
    explicit ZeroedSlots(std::size_t n)
        : slots_(static_cast<std::uint32_t*>(std::calloc(n, sizeof(std::uint32_t)))), size_(n) {
      if (!slots_ && n) throw std::bad_alloc();
    }
    ~ZeroedSlots() { std::free(slots_); }
    ZeroedSlots(const ZeroedSlots&) = delete;
    ZeroedSlots& operator=(const ZeroedSlots&) = delete;
    void swap(ZeroedSlots& other) noexcept {
      std::swap(slots_, other.slots_);
      std::swap(size_, other.size_);
    }
    std::uint32_t& operator[](std::size_t i) { return slots_[i]; }
    std::uint32_t operator[](std::size_t i) const { return slots_[i]; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::uint32_t* begin() const { return slots_; }
    const std::uint32_t* end() const { return slots_ + size_; }

   private:
    std::uint32_t* slots_ = nullptr;
    std::size_t size_ = 0;
  };
  ZeroedSlots stanzaIndex_;  // slot: the stanza
  // Every stanza's key table, in chunks of slots that never move and are
  // made as tables need them, so that what a load holds follows its
  // distinct keys, not its entries (a file of one key repeated has one
  // table of one slot). A table lies whole in one chunk, next to the
  // tables made before it (the keys of a stanza are looked up and added
  // close together, as parsing meets them), or, when it is large, in an
  // allocation of its own that takes the numbers of as many chunks as it
  // spans. Slot: the key's last line.
  class KeySlots {
   public:
    // The slots of the table at `offset`, one after another from there.
    std::uint32_t* at(std::uint32_t offset) { return bases_[offset >> kShift] + (offset & (kChunk - 1)); }
    const std::uint32_t* at(std::uint32_t offset) const {
      return bases_[offset >> kShift] + (offset & (kChunk - 1));
    }
    // Room for a table of `slots` slots (a power of two), zeroed: its
    // offset. Whole or, when memory runs out, not made.
    std::uint32_t place(std::size_t slots);
    // The table at `offset` of `slots` slots is no longer used: a large
    // one's allocation is freed; a small one's slots stay unused until the
    // document is cleared (fewer than the tables that replaced them).
    void release(std::uint32_t offset, std::size_t slots);
    void clear();
    std::size_t bytesHeld() const;

   private:
    static constexpr std::uint32_t kShift = 16, kChunk = 1u << kShift;
    // Tables larger than this have an allocation of their own: a chunk
    // never leaves more than this many slots unused at its end.
    static constexpr std::size_t kLargest = kChunk / 16;
    std::vector<std::uint32_t*> bases_;  // where each chunk number's slots lie
    std::vector<std::unique_ptr<std::uint32_t[]>> owners_;  // each chunk's, or a large table's at its first number
    std::size_t fill_ = kChunk;  // slots used in the last small chunk
    std::size_t current_ = 0;    // the number of the last small chunk
    std::size_t held_ = 0;
  };
  KeySlots keyIndex_;
  // What a load sizes once from the survey, in one allocation: the first
  // blocks of records. One large piece the allocator keeps for the next
  // load of a like file, where separate pieces each smaller than half the
  // document had the top of the heap handed back to the system after every
  // load and faulted in anew.
  std::unique_ptr<std::uint32_t[]> loadArena_;
  std::size_t stanzaLive_ = 0;
  std::size_t deadBytes_ = 0;  // text of records no longer linked, for wasteful()
  std::uint32_t firstKeyCapLog_ = 0;  // a stanza's first key table: 1 << this slots
};

}  // namespace ornz

#endif
