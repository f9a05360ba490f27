#include "foundation/internal/stanzajournal.h"

#include "foundation/internal/stanzadoc.h"

namespace ornz {

namespace {

bool changesValues(StanzaJournal::Op op) {
  return op == StanzaJournal::kSetValue || op == StanzaJournal::kAddValue || op == StanzaJournal::kDeleteKey ||
         op == StanzaJournal::kRemoveValue;
}

std::string keyName(std::string_view stanza, std::string_view key) {
  std::string name;
  name.reserve(stanza.size() + 1 + key.size());
  name.append(stanza).push_back('\0');
  name.append(key);
  return name;
}

}  // namespace

StanzaJournal::Pending::~Pending() {
  if (committed_ || !journal_) return;
  if (keyAdded_) journal_->lastKeyChange_.erase(key_);
  if (stanzaAdded_) journal_->lastStanzaDeletion_.erase(stanza_);
}

void StanzaJournal::prepare(Pending& p, Op op, std::string_view stanza, std::string_view key, std::string_view text,
                            std::uint32_t ordinal) {
  p.journal_ = this;
  p.change_ = Change{op, ordinal, std::string(), std::string(), std::string(text)};
  if (changesValues(op)) {
    auto slot = lastKeyChange_.try_emplace(keyName(stanza, key), kNone);
    p.key_ = slot.first;
    p.keyAdded_ = slot.second;
    std::size_t last = p.key_->second;
    if (op == kSetValue && last != kNone && changes_[last].op == kSetValue) {
      // Replacing the earlier value in place keeps where the key is made
      // (new keys go at the end of their stanza in the order they were
      // made), unless the stanza was deleted after it.
      auto deleted = lastStanzaDeletion_.find(changes_[last].stanza);
      if (deleted == lastStanzaDeletion_.end() || deleted->second < last) {
        p.merge_ = last;
        return;
      }
    }
  } else if (op == kDeleteStanza) {
    auto slot = lastStanzaDeletion_.try_emplace(std::string(stanza), kNone);
    p.stanza_ = slot.first;
    p.stanzaAdded_ = slot.second;
  }
  p.change_.stanza.assign(stanza);
  p.change_.key.assign(key);
  if (changes_.size() == changes_.capacity()) changes_.reserve(changes_.size() * 2 + 4);
}

void StanzaJournal::commit(Pending& p) noexcept {
  p.committed_ = true;
  if (p.merge_ != kNone) {
    changes_[p.merge_].text.swap(p.change_.text);
    return;
  }
  const std::size_t index = changes_.size();
  changes_.push_back(std::move(p.change_));  // room was made by prepare
  if (changesValues(changes_.back().op)) p.key_->second = index;
  else if (changes_.back().op == kDeleteStanza) p.stanza_->second = index;
}

void StanzaJournal::clear() noexcept {
  changes_.clear();
  lastKeyChange_.clear();
  lastStanzaDeletion_.clear();
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
