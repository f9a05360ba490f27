// The text model behind stanza files: every line of the file as it was read,
// in order, with indexes from stanza names and (stanza, key) pairs to lines.
//
// Loading keeps the file in one buffer and every line as a view into it, so
// an unchanged file is written back byte for byte and a change rewrites only
// the lines it touches. Lines form a doubly-linked list over a vector, so
// insertions and removals keep every other line's identity.
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
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/internal/atomicfile.h"
#include "foundation/internal/contentdigest.h"

namespace ornz {

class StanzaDocument {
 public:
  enum Kind : std::uint8_t { kBlank, kComment, kHeader, kEntry, kOther };
  // kCr: a carriage return that ends the file, the rest of a CRLF cut short.
  enum Eol : std::uint8_t { kNone, kLf, kCrLf, kCr };

  // 40 bytes: a file of short lines holds more of these than of its own
  // bytes, so what can be found again from the text is not stored (where the
  // name starts, where the value ends: names and values never have outer
  // blanks).
  struct Line {
    const char* text;    // the line without its line end
    std::uint32_t length;
    std::uint32_t nameLength;   // header name or entry key
    std::uint32_t valueOffset;  // entry value
    std::int32_t prev, next;    // list order; -1 at the ends
    std::int32_t nextValue;     // next line of the same key; -1
    std::int32_t stanza;        // header and entry lines; -1 otherwise
    Kind kind;
    Eol eol;
    bool alive;
  };

  // Parses `bytes`. With `strict`, an entry before the first stanza, an
  // unclosed "[" or a line of no known kind raises
  // ZPropertiesInvalidDataException_7_0_0 naming `fileName` and the line;
  // otherwise such lines are kept as opaque text. On failure the document is
  // left empty.
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

  // --- reading
  int stanzaCount() const;
  std::int32_t findStanza(std::string_view name) const;
  std::string_view stanzaName(std::int32_t stanza) const;
  // Stanza ids in file order of their first header.
  std::vector<std::int32_t> stanzas() const;
  // First line of the key in the stanza, or -1.
  std::int32_t firstValueLine(std::int32_t stanza, std::string_view key) const;
  std::int32_t nextValueLine(std::int32_t line) const { return lines_[line].nextValue; }
  std::string_view value(std::int32_t line) const;
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
  // Inserts comment lines right above `line` (after any comment already there).
  void addCommentAbove(std::int32_t line, std::string_view comment);
  // Replaces the comment right above `line`.
  void setCommentAbove(std::int32_t line, std::string_view comment);
  // Adds comment lines at the top of the file, after those already there.
  void addFileComment(std::string_view comment);
  std::int32_t headerLine(std::int32_t stanza) const { return stanzas_[stanza].header; }

 private:
  struct Stanza {
    std::int32_t header;  // first header line (the name is read from it)
    std::int32_t last;    // last header or entry line of the stanza
    // The stanza's own key table: keyCap slots from keyOffset in keyIndex_.
    std::uint32_t keyOffset, keyCap, keyCount;
    bool alive;
  };
  // Hashes are 32 bits: tables stay far below 2^32 slots, and a match is
  // always confirmed on the text.
  struct KeySlot {
    std::uint32_t hash;  // 0: empty
    std::int32_t first, last;
  };
  struct StanzaSlot {
    std::uint32_t hash;  // 0: empty
    std::int32_t stanza;
  };

  // Calls put(bytes, length) for each piece of the file's text, in order.
  template <typename Put>
  void forEachPiece(Put put) const;

  static std::uint32_t keyHash(std::int32_t stanza, std::string_view key);
  static std::uint32_t stanzaHash(std::string_view name);
  static std::uint32_t nameStart(const Line& line);
  static std::uint32_t valueEnd(const Line& line);
  KeySlot* findKey(std::int32_t stanza, std::string_view key, std::uint32_t hash) const;
  // Whether the stanza's key table must grow before a key is added.
  static bool keysFull(const Stanza& st);
  void insertKey(std::int32_t stanza, std::uint32_t hash, std::int32_t first, std::int32_t last);
  // Files `line`, an entry of `stanza` with key `k`, as the key's last value.
  void addKeyLine(std::int32_t stanza, std::string_view k, std::int32_t line);
  void eraseKey(std::int32_t stanza, KeySlot* slot);
  void growKeys(std::int32_t stanza);
  // `name`: the stanza's, whose header line may not be stored yet.
  void indexStanza(std::int32_t stanza, std::string_view name);
  void growStanzas(std::size_t slots);
  // Sizes the tables for `bytes` once, from a count of its lines and of the
  // lines that look like headers, so that parsing a large file does not
  // move them (a move needs old and new at once).
  void reserveFor(std::string_view bytes);


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
  void addCommentAboveUnguarded(std::int32_t line, std::string_view comment);

  std::int32_t newLine(std::string text, Kind kind);
  void classifyOwned(std::int32_t line);
  void insertAfter(std::int32_t line, std::int32_t after);
  void insertBefore(std::int32_t line, std::int32_t before);
  void unlink(std::int32_t line);
  std::int32_t commentStart(std::int32_t line) const;
  void refreshLast(std::int32_t stanza);
  // Unlinks the comment lines right above `line`.
  void unlinkCommentAbove(std::int32_t line);
  // Unlinks an entry line with its comment, keeping its stanza's last line right.
  void unlinkEntry(std::int32_t stanza, std::int32_t line);
  void appendToStanza(std::int32_t stanza, std::int32_t line);
  std::int32_t appendEntry(std::int32_t stanza, std::string_view key, std::string_view value,
                           std::int32_t after);

  std::string buffer_;
  std::deque<std::string> owned_;  // texts of new and rewritten lines; stable addresses
  std::size_t ownedBytes_ = 0;
  bool baseIsBuffer_ = true;  // else the base is `base_`
  ContentDigest base_;
  std::vector<Line> lines_;
  std::int32_t head_ = -1, tail_ = -1;
  bool bom_ = false;
  Eol newEol_ = kLf;
  std::vector<Stanza> stanzas_;
  std::vector<StanzaSlot> stanzaIndex_;
  // Every stanza's key table, one after the other: the keys of a stanza
  // are looked up and added close together, as parsing meets them.
  std::vector<KeySlot> keyIndex_;
  std::size_t stanzaLive_ = 0;
  std::uint32_t firstKeyCap_ = 1;  // slots of a stanza's first key table
};

}  // namespace ornz

#endif
