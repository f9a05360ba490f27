// The changes made to a stanza file object since it read its file, kept so
// that a store can make them again on top of what the file holds by then:
// another process may have stored changes of its own in between, and those
// must not be lost.
//
// A change is kept as the call that made it (set this key to this value,
// delete that stanza, ...), not as the lines it touched: replayed onto newer
// content it does what the caller asked of that content. A key both sides
// changed ends with this side's value.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_STANZAJOURNAL_H
#define ORNUTIL_FOUNDATION_INTERNAL_STANZAJOURNAL_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ornz {

class StanzaDocument;

class StanzaJournal {
 public:
  enum Op : std::uint8_t {
    kSetValue,         // stanza, key, value
    kAddValue,         // stanza, key, value
    kDeleteKey,        // stanza, key
    kRemoveValue,      // stanza, key, value: the ordinal-th value equal to it
    kAddStanza,        // stanza
    kDeleteStanza,     // stanza
    kAddFileComment,   // text
    kAddStanzaComment, // stanza, text
    kAddEntryComment,  // stanza, key, text
    kSetEntryComment,  // stanza, key, text
  };

  void record(Op op, std::string_view stanza, std::string_view key = {}, std::string_view text = {},
              std::uint32_t ordinal = 0);
  struct Change {
    Op op;
    std::uint32_t ordinal;
    std::string stanza, key, text;
  };
  // record() in two steps, for a change that must be recorded once made:
  // prepare() makes every allocation the record needs (and may throw
  // std::bad_alloc, recording nothing); commit() then records it without
  // allocating.
  struct Pending {
    Change change;
    bool merge = false;  // replaces the text of the last change
  };
  Pending prepare(Op op, std::string_view stanza, std::string_view key = {}, std::string_view text = {},
                  std::uint32_t ordinal = 0);
  void commit(Pending& pending) noexcept;
  bool empty() const { return changes_.empty(); }
  void clear() { changes_.clear(); }
  // Makes every change again, in order, on `doc`. A change whose stanza or
  // key no longer exists there does what it does on a missing one (nothing
  // for a removal or a comment; a set or add creates them).
  void replay(StanzaDocument& doc) const;

 private:
  std::vector<Change> changes_;
};

}  // namespace ornz

#endif
