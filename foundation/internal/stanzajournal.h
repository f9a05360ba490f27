// The changes made to a stanza file object since it read its file, kept so
// that a store can make them again on top of what the file holds by then:
// another process may have stored changes of its own in between, and those
// must not be lost.
//
// A change is kept as the call that made it (set this key to this value,
// delete that stanza, ...), not as the lines it touched: replayed onto newer
// content it does what the caller asked of that content. A key both sides
// changed ends with this side's value. The journal stays as large as the
// distinct changes, not the calls: a key set again replaces its earlier set.
#ifndef ORNUTIL_FOUNDATION_INTERNAL_STANZAJOURNAL_H
#define ORNUTIL_FOUNDATION_INTERNAL_STANZAJOURNAL_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
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

  struct Change {
    Op op;
    std::uint32_t ordinal;
    std::string stanza, key, text;
  };
  // A change is recorded in two steps, for a change that must be recorded
  // once made: prepare() makes every allocation the record needs (and may
  // throw std::bad_alloc, recording nothing); commit() then records it
  // without allocating. A Pending dropped without commit() takes back what
  // prepare() set up. The journal must not change between the two.
  class Pending {
   public:
    Pending() = default;
    ~Pending();
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

   private:
    friend class StanzaJournal;
    using Index = std::unordered_map<std::string, std::size_t>;
    StanzaJournal* journal_ = nullptr;
    Change change_{};
    std::size_t merge_ = kNone;  // the earlier set of the same key whose value this replaces
    Index::iterator key_{}, stanza_{};
    bool keyAdded_ = false, stanzaAdded_ = false, committed_ = false;
  };
  void prepare(Pending& pending, Op op, std::string_view stanza, std::string_view key = {},
               std::string_view text = {}, std::uint32_t ordinal = 0);
  void commit(Pending& pending) noexcept;
  // The number of changes kept: setting a key again replaces the value its
  // earlier set recorded (unless something in between made the order
  // matter: an add, removal or deletion of that key, or the deletion of its
  // stanza), so a key set over and over costs one change, not one per call.
  std::size_t size() const { return changes_.size(); }
  bool empty() const { return changes_.empty(); }
  void clear() noexcept;
  // Makes every change again, in order, on `doc`. A change whose stanza or
  // key no longer exists there does what it does on a missing one (nothing
  // for a removal or a comment; a set or add creates them).
  void replay(StanzaDocument& doc) const;

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // The last change of each key's values ("stanza" NUL "key") and the last
  // deletion of each stanza, by index into changes_.
  std::unordered_map<std::string, std::size_t> lastKeyChange_;
  std::unordered_map<std::string, std::size_t> lastStanzaDeletion_;
  std::vector<Change> changes_;
};

}  // namespace ornz

#endif
