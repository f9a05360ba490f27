// The journal of an object's own changes: it stays as large as the distinct
// changes when the same keys are set again and again, and replaying it on
// newer content still does what the calls asked, in the order they asked.
#include "foundation/internal/stanzajournal.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "foundation/internal/stanzadoc.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

using ornz::StanzaJournal;
using ornutil_test::readFile;
using ornutil_test::TempDir;
using ornutil_test::writeFile;

namespace {

void record(StanzaJournal& journal, StanzaJournal::Op op, const std::string& stanza, const std::string& key = "",
            const std::string& text = "") {
  StanzaJournal::Pending pending;
  journal.prepare(pending, op, stanza, key, text);
  journal.commit(pending);
}

TEST(StanzaJournalSize, KeysSetAgainAndAgainCostOneChangeEach) {
  StanzaJournal journal;
  for (int round = 0; round < 10000; ++round)
    for (const char* key : {"a", "b", "c"}) record(journal, StanzaJournal::kSetValue, "s", key, std::to_string(round));
  EXPECT_EQ(journal.size(), 3u);
  ornz::StanzaDocument doc;
  doc.parse("[s]\n", "test", true);
  journal.replay(doc);
  EXPECT_EQ(doc.serialize(), "[s]\na = 9999\nb = 9999\nc = 9999\n");
}

TEST(StanzaJournalSize, APreparedChangeDroppedWithoutCommitLeavesNoTrace) {
  StanzaJournal journal;
  record(journal, StanzaJournal::kSetValue, "s", "a", "1");
  {
    StanzaJournal::Pending dropped;
    journal.prepare(dropped, StanzaJournal::kAddValue, "s", "a", "x");
  }
  // Had the dropped add counted as the key's last change, this set would be
  // kept apart instead of replacing the first.
  record(journal, StanzaJournal::kSetValue, "s", "a", "2");
  EXPECT_EQ(journal.size(), 1u);
}

// Each row's calls are made on an object read from a file; another process
// then stores its own change; the object's store makes the calls again on
// that. The result must be what the calls give when made directly on the
// other process's text: a set merged into an earlier one must not move a
// key, drop a comment, or skip what came between.
struct ReplayRow {
  const char* description;
  std::function<void(ZStanzaFileProperties_7_0_0&)> calls;
};

const ReplayRow kReplays[] = {
    {"keys set alternately keep the order they were made in",
     [](ZStanzaFileProperties_7_0_0& p) {
       for (int i = 0; i < 100; ++i) {
         p.setValue("s", "b", std::to_string(i).c_str(), 0);
         p.setValue("s", "a", std::to_string(i).c_str(), 0);
       }
     }},
    {"an add between two sets",
     [](ZStanzaFileProperties_7_0_0& p) {
       p.setValue("s", "a", "1", 0);
       p.addValue("s", "a", "x", 0);
       p.setValue("s", "a", "2", 0);
       p.addValue("s", "a", "y", 0);
     }},
    {"the stanza deleted between two sets",
     [](ZStanzaFileProperties_7_0_0& p) {
       p.setValue("t", "a", "1", 0);
       p.setValue("t", "b", "1", 0);
       p.deleteStanza("t");
       p.setValue("t", "a", "2", 0);
     }},
    {"a comment made between two sets",
     [](ZStanzaFileProperties_7_0_0& p) {
       p.setValue("n", "a", "1", 0);
       p.addStanzaComment("n", "# new stanza");
       p.addEntryComment("n", "a", "# about a");
       p.setValue("n", "a", "2", 0);
     }},
    {"the key deleted between two sets",
     [](ZStanzaFileProperties_7_0_0& p) {
       p.setValue("s", "k", "1", 0);
       p.deleteKey("s", "k");
       p.setValue("s", "z", "1", 0);
       p.setValue("s", "k", "2", 0);
     }},
};

class JournalReplay : public ::testing::TestWithParam<ReplayRow> {};

TEST_P(JournalReplay, DoesOnNewerContentWhatTheCallsAsked) {
  const ReplayRow& row = GetParam();
  const std::string base = "[s]\nk = v\n";
  const std::string theirs = "[s]\nk = v\nother = x\n[u]\nw = 1\n";
  TempDir dir;
  const std::string path = dir.file("replay.conf");
  ASSERT_TRUE(writeFile(path, base));
  ZStanzaFileProperties_7_0_0 mine(path.c_str(), 1);
  row.calls(mine);
  ASSERT_TRUE(writeFile(path, theirs));  // another process's store
  mine.store(path.c_str());

  ZStanzaFileProperties_7_0_0 expected(1);
  expected.parseText(theirs, "expected");
  row.calls(expected);
  EXPECT_EQ(readFile(path), expected.text());
}

INSTANTIATE_TEST_SUITE_P(Rows, JournalReplay, ::testing::ValuesIn(kReplays),
                         [](const ::testing::TestParamInfo<ReplayRow>& info) {
                           std::string name;
                           for (const char* c = info.param.description; *c; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           return name;
                         });

}  // namespace
