#include "foundation/internal/stanzajournal.h"

#include "foundation/internal/stanzadoc.h"

namespace ornz {

void StanzaJournal::record(Op op, std::string_view stanza, std::string_view key, std::string_view text,
                           std::uint32_t ordinal) {
  // A key set over and over (a value kept up to date in memory) is one
  // change, not a list that grows until the next store.
  if (op == kSetValue && !changes_.empty()) {
    Change& last = changes_.back();
    if (last.op == kSetValue && last.stanza == stanza && last.key == key) {
      last.text.assign(text.data(), text.size());
      return;
    }
  }
  changes_.push_back(Change{op, ordinal, std::string(stanza), std::string(key), std::string(text)});
}

StanzaJournal::Pending StanzaJournal::prepare(Op op, std::string_view stanza, std::string_view key,
                                              std::string_view text, std::uint32_t ordinal) {
  Pending p;
  if (op == kSetValue && !changes_.empty()) {
    const Change& last = changes_.back();
    if (last.op == kSetValue && last.stanza == stanza && last.key == key) {
      p.merge = true;
      p.change.text.assign(text.data(), text.size());
      return p;
    }
  }
  p.change = Change{op, ordinal, std::string(stanza), std::string(key), std::string(text)};
  if (changes_.size() == changes_.capacity()) changes_.reserve(changes_.size() * 2 + 4);
  return p;
}

void StanzaJournal::commit(Pending& p) noexcept {
  if (p.merge) changes_.back().text.swap(p.change.text);
  else changes_.push_back(std::move(p.change));  // room was made by prepare
}

void StanzaJournal::replay(StanzaDocument& doc) const {
  for (const Change& c : changes_) {
    switch (c.op) {
      case kSetValue:
        doc.setValue(c.stanza, c.key, c.text);
        break;
      case kAddValue:
        doc.addValue(c.stanza, c.key, c.text);
        break;
      case kDeleteKey:
        doc.deleteKey(doc.findStanza(c.stanza), c.key);
        break;
      case kRemoveValue: {
        std::uint32_t seen = 0;
        for (std::int32_t line = doc.firstValueLine(doc.findStanza(c.stanza), c.key); line >= 0;
             line = doc.nextValueLine(line)) {
          if (doc.value(line) != c.text) continue;
          if (seen++ == c.ordinal) {
            doc.removeValueLine(line);
            break;
          }
        }
        break;
      }
      case kAddStanza:
        doc.ensureStanza(c.stanza);
        break;
      case kDeleteStanza:
        doc.deleteStanza(doc.findStanza(c.stanza));
        break;
      case kAddFileComment:
        doc.addFileComment(c.text);
        break;
      case kAddStanzaComment: {
        std::int32_t s = doc.findStanza(c.stanza);
        if (s >= 0) doc.addCommentAbove(doc.headerLine(s), c.text);
        break;
      }
      case kAddEntryComment:
      case kSetEntryComment: {
        std::int32_t line = doc.firstValueLine(doc.findStanza(c.stanza), c.key);
        if (line < 0) break;
        if (c.op == kAddEntryComment) doc.addCommentAbove(line, c.text);
        else doc.setCommentAbove(line, c.text);
        break;
      }
    }
  }
}

}  // namespace ornz
