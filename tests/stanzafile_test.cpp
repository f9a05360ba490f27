// Stanza files: byte-for-byte round trips, invalid data, edits and the text
// they leave, typed values, the value iterator and the per-file lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "foundation/zarraylist.h"
#include "foundation/zexception.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "tests/support/alloc_hook.h"
#include "tests/support/stanza_content.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "util/OrnStanzaFileProperties.h"

using ornutil_test::describe;
using ornutil_test::TempDir;

namespace {

std::string valueOf(const ZStanzaFileProperties_7_0_0& p, const char* stanza, const char* key) {
  ZUTF8String_7_0_0 v;
  p.getValue(stanza, key, v, 0, nullptr);
  return std::string(v.getChars(), v.getLength());
}

std::vector<std::string> valuesOf(const ZStanzaFileProperties_7_0_0& p, const char* stanza, const char* key) {
  ZArrayList_7_0_0 list(10, 1);
  p.getValues(stanza, key, list, ZPropertyUTF8String);
  std::vector<std::string> out;
  for (int i = 0; i < list.size(); ++i) out.push_back(static_cast<ZAbstractString_7_0_0*>(list.get(i))->getChars());
  return out;
}

// ---------------------------------------------------------------- fidelity

struct FidelityCase {
  const char* description;
  std::string text;
};

std::vector<FidelityCase> fidelityCorpus() {
  return {
      {"empty file", ""},
      {"blank lines only", "\n\n   \n\t\n"},
      {"comments everywhere",
       "# file comment\n\n# about a\n[a]\n# about k\nk = v\n   # indented comment\n\tk2=v2\n#\n# last\n"},
      {"CRLF line ends", "[a]\r\nk = v\r\n# c\r\n\r\n[b]\r\nx=y\r\n"},
      {"mixed line ends", "[a]\r\nk = v\nj = w\r\n"},
      {"byte-order mark", "\xEF\xBB\xBF# c\n[a]\nk = v\n"},
      {"no final line end", "[a]\nk = v"},
      {"no final line end after CRLF lines", "[a]\r\nk = v"},
      {"duplicate keys", "[a]\nk = 1\nk = 2\nk = 1\n"},
      {"stanza header repeated", "[a]\nk = 1\n[b]\nx = y\n[a]\nk = 2\n"},
      {"blanks around names, keys and values", "  [ a b ]  \n  k   =   v  w  \n\tj\t=\t\n"},
      {"value holding = and #", "[a]\nk = x=y # not a comment\n"},
      {"carriage return inside a line", "[a]\nk = a\rb\n"},
      {"carriage returns before the line end", "[a]\nk = v\r\r\n"},
      {"a carriage return ends the file", "[a]\nk = v\r"},
      {"a lone carriage return after the last line", "[a]\nk = v\n\r"},
      {"non-UTF-8 bytes", "[a\xff]\nk\xfe = \x80\x81\xc0\n# \xff\xfe\n"},
      {"NUL bytes", std::string("[a]\nk = x\0y\n# \0\n", 16)},
      {"a 1 MiB line", "[a]\nbig = " + std::string(1 << 20, 'x') + "\nsmall = 1\n"},
      {"empty values", "[a]\nk =\nj=\n"},
      {"runs of empty lines everywhere", "\n\n\n[a]\n\n\nk = v\n\n\n# c\n\n[b]\n\n\n"},
      {"empty lines among CRLF lines", "\r\n\n\n[a]\r\n\n\r\n\nk = v\r\n\n"},
      {"empty lines with no line after them", "[a]\nk = v\n\n\n\n"},
      {"only empty lines", std::string(1000, '\n')},
  };
}

TEST(StanzaFileFidelity, EveryTextOfTheCorpusRoundTripsByteForByte) {
  for (const FidelityCase& c : fidelityCorpus()) {
    SCOPED_TRACE(c.description);
    ZStanzaFileProperties_7_0_0 p(1);
    ASSERT_NO_THROW(p.parseText(c.text, "corpus"));
    EXPECT_TRUE(p.text() == c.text);
    ZStanzaFileProperties_7_0_0 again(1);
    again.parseText(p.text(), "again");
    EXPECT_EQ(describe(again), describe(p));
  }
}

TEST(StanzaFileFidelity, LoadThenStoreWritesTheSameBytes) {
  TempDir dir;
  for (const FidelityCase& c : fidelityCorpus()) {
    SCOPED_TRACE(c.description);
    std::string path = dir.file("fidelity.conf");
    ASSERT_TRUE(ornutil_test::writeFile(path, c.text));
    ZStanzaFileProperties_7_0_0 p(path.c_str(), 1);
    p.store(path.c_str());
    EXPECT_TRUE(ornutil_test::readFile(path) == c.text);
  }
}

TEST(StanzaFileFidelity, ValuesAreReadAsTheFormatDefinesThem) {
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText("\xEF\xBB\xBF[ a ]\r\n  k   =   v  w  \r\nk = second\r\nempty =\r\n[b]\nbad\xff = \x80\n", "x");
  EXPECT_TRUE(p.exists("a"));
  EXPECT_EQ(valueOf(p, "a", "k"), "v  w");  // CR and outer blanks are not part of it
  EXPECT_EQ(valuesOf(p, "a", "k"), (std::vector<std::string>{"v  w", "second"}));
  EXPECT_TRUE(p.exists("a", "empty"));
  EXPECT_EQ(valueOf(p, "a", "empty"), "");
  EXPECT_EQ(valueOf(p, "b", "bad\xff"), "\x80");
  EXPECT_FALSE(p.exists("A"));  // names match exactly
  EXPECT_FALSE(p.exists("a", "K"));
  EXPECT_EQ(p.count(), 2);
  EXPECT_EQ(p.numValues("a"), 2);       // keys
  EXPECT_EQ(p.numValues("a", "k"), 2);  // values of a key
  EXPECT_EQ(p.count("a"), 3);           // entries

  ZStanzaFileProperties_7_0_0 repeated(1);
  repeated.parseText("[a]\nk = 1\n[b]\nx = y\n[a]\nk = 2\nj = 3\n", "x");
  EXPECT_EQ(repeated.count(), 2);
  EXPECT_EQ(valuesOf(repeated, "a", "k"), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(valueOf(repeated, "a", "j"), "3");

  // More headers in a row than a parse holds back before filing them, some
  // repeated, and entries right after them: each finds its stanza.
  std::string rows;
  for (int i = 0; i < 20; ++i) rows += "[h" + std::to_string(i % 13) + "]\n";
  rows += "k = last\n[h0]\nk = again\n[h20]\n";
  ZStanzaFileProperties_7_0_0 headers(1);
  headers.parseText(rows, "x");
  EXPECT_EQ(headers.count(), 14);
  std::vector<std::string> names;
  for (int i = 0; i < 13; ++i) names.push_back("h" + std::to_string(i));
  names.push_back("h20");
  EXPECT_EQ(ornutil_test::stanzaNamesOf(rows), names);
  EXPECT_EQ(valueOf(headers, "h6", "k"), "last");  // the 20th header, [h6]
  EXPECT_EQ(valueOf(headers, "h0", "k"), "again");
  EXPECT_FALSE(headers.exists("h5", "k"));
  headers.setValue("h0", "j", "new", 0);  // after the last line of h0
  std::string expected = rows;
  expected.insert(expected.find("k = again\n") + 10, "j = new\n");
  EXPECT_EQ(headers.text(), expected);

  ZStanzaFileProperties_7_0_0 big(1);
  big.parseText("[a]\nbig = " + std::string(1 << 20, 'x') + "\n", "x");
  EXPECT_EQ(valueOf(big, "a", "big").size(), std::size_t{1} << 20);
}

// Lines are scanned sixteen bytes at a time where that is possible: every
// place of the "=" and of the line end around that width, and a file that
// ends within it, must read the same.
TEST(StanzaFileFidelity, EveryLineLengthAroundTheScanWidthReadsTheSame) {
  for (const char* ending : {"\n", "\r\n", ""}) {
    for (std::size_t keyLength = 1; keyLength <= 20; ++keyLength) {
      for (std::size_t valueLength = 0; valueLength <= 20; ++valueLength) {
        std::string key(keyLength, 'k'), value(valueLength, 'v');
        if (valueLength > 2) value[1] = '=';  // only the first "=" ends the key
        std::string text = "[s]\n" + key + "=" + value + ending;
        SCOPED_TRACE(::testing::Message() << "key " << keyLength << ", value " << valueLength << ", ending "
                                          << std::strlen(ending));
        ZStanzaFileProperties_7_0_0 p(1);
        p.parseText(text, "x");
        EXPECT_EQ(valueOf(p, "s", key.c_str()), value);
        EXPECT_EQ(p.count("s"), 1);
        EXPECT_EQ(p.text(), text);
      }
    }
  }
}

// ---------------------------------------------------------------- invalid data

struct InvalidCase {
  const char* description;
  std::string text;
  int line;
  const char* why;  // the end of the message
};

TEST(StanzaFileInvalidData, StrictLoadNamesTheFileAndLineAndLeavesTheObjectAsItWas) {
  const char* const kNoKind = "not a stanza header, an entry or a comment";
  const char* const kUnclosed = "unclosed [ in a stanza header";
  const InvalidCase cases[] = {
      {"entry before the first stanza", "k = v\n[a]\n", 1, "entry before the first stanza"},
      {"line of no known kind", "[a]\nk = v\njust words\n", 3, kNoKind},
      {"line of no known kind right above an entry", "[a]\nwords\nk = v\n", 2, kNoKind},
      {"unclosed stanza header", "[a]\nk = v\n[b\n", 3, kUnclosed},
      {"unclosed stanza header after blanks", "[a]\n \t[b ]x \n", 2, kUnclosed},
      {"text after the closing bracket", "[a] trailing\n", 1, kUnclosed},
      {"a lone bracket", "[a]\n[\n", 2, kUnclosed},
      {"empty stanza name", "# c\n[  ]\n", 2, "empty stanza name"},
      {"empty stanza name without blanks", "[a]\n[] \t\n", 2, "empty stanza name"},
      {"entry without a key", "[a]\n = v\n", 2, "entry without a key"},
      {"entry without a key, only an equals sign", "[a]\n\t=\n", 2, "entry without a key"},
      {"counted in CRLF lines", "[a]\r\n\r\n# c\r\nbad\r\n", 4, kNoKind},
      {"after a byte-order mark", "\xEF\xBB\xBFoops\n", 1, kNoKind},
      {"last line without a line end", "[a]\nk = v\nno", 3, kNoKind},
      {"counted across runs of empty lines", "\n\n[a]\n\n\n\nk = v\n\n\nbad\n", 10, kNoKind},
      {"after an entry before the first stanza, after empty lines", "\n\n\nk = v\n", 4,
       "entry before the first stanza"},
  };
  TempDir dir;
  std::string path = dir.file("invalid.conf");
  for (const InvalidCase& c : cases) {
    SCOPED_TRACE(c.description);
    ASSERT_TRUE(ornutil_test::writeFile(path, c.text));
    ZStanzaFileProperties_7_0_0 p(1);
    p.parseText("[kept]\nk = v\n", "before");
    try {
      p.load(path.c_str());
      ADD_FAILURE() << "no exception";
    } catch (ZPropertiesInvalidDataException_7_0_0& e) {
      EXPECT_EQ(std::string(e.dataFile()), path);
      EXPECT_EQ(e.dataLine(), c.line);
      std::string what = e.what();
      EXPECT_GE(what.size(), std::strlen(c.why));
      EXPECT_EQ(what.substr(what.size() - std::min(what.size(), std::strlen(c.why))), c.why) << what;
    }
    EXPECT_EQ(p.text(), "[kept]\nk = v\n");

    // Lenient: the line is kept as it is and the rest is readable.
    ZStanzaFileProperties_7_0_0 lenient(path.c_str(), 0);
    EXPECT_TRUE(lenient.text() == c.text);
  }
}

TEST(StanzaFileInvalidData, LenientLoadKeepsOpaqueLinesThroughEdits) {
  ZStanzaFileProperties_7_0_0 p(0);
  p.parseText("stray = 1\n[a]\njunk\nk = v\n[b\n", "x");
  EXPECT_FALSE(p.exists("a", "stray"));
  EXPECT_EQ(valueOf(p, "a", "k"), "v");
  p.setValue("a", "k", "w", 0);
  p.setValue("a", "n", "1", 0);
  EXPECT_EQ(p.text(), "stray = 1\n[a]\njunk\nk = w\nn = 1\n[b\n");
}

// ---------------------------------------------------------------- edits

struct EditCase {
  const char* description;
  std::string before;
  void (*edit)(ZStanzaFileProperties_7_0_0&);
  std::string after;
};

TEST(StanzaFileEdits, EachEditChangesOnlyTheLinesItConcerns) {
  const EditCase cases[] = {
      {"set rewrites the value in place, keeping the spacing", "[a]\n# c\nk  =  old  \nj=1\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.setValue("a", "k", "new", 0); }, "[a]\n# c\nk  =  new  \nj=1\n"},
      {"set of an empty value", "[a]\nk =\nj=\n",
       [](ZStanzaFileProperties_7_0_0& p) {
         p.setValue("a", "k", "v", 0);
         p.setValue("a", "j", "w", 0);
       },
       "[a]\nk = v\nj= w\n"},
      {"set replaces every value of a key, with their comments", "[a]\nk = 1\n# about 2\nk = 2\nj = x\nk = 3\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.setValue("a", "k", "9", 0); }, "[a]\nk = 9\nj = x\n"},
      {"a new key goes at the end of its stanza", "[a]\nk = 1\n\n[b]\nx = y\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.setValue("a", "n", "v", 0); }, "[a]\nk = 1\nn = v\n\n[b]\nx = y\n"},
      {"a new key after the last header of a repeated stanza", "[a]\nk = 1\n[b]\n[a]\nj = 2\n[c]\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.setValue("a", "n", "v", 0); }, "[a]\nk = 1\n[b]\n[a]\nj = 2\nn = v\n[c]\n"},
      {"a new stanza gets a blank line before it", "[a]\nk = 1\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.setValue("b", "x", "y", 0); }, "[a]\nk = 1\n\n[b]\nx = y\n"},
      {"a new stanza in an empty file", "", [](ZStanzaFileProperties_7_0_0& p) { p.setValue("b", "x", "", 0); },
       "[b]\nx =\n"},
      {"no final line end: a new key", "[a]\nk = 1",
       [](ZStanzaFileProperties_7_0_0& p) { p.setValue("a", "n", "v", 0); }, "[a]\nk = 1\nn = v"},
      {"a carriage return ending the file stays out of the value, and in the file", "[a]\nk = 1\r",
       [](ZStanzaFileProperties_7_0_0& p) {
         ASSERT_EQ(valueOf(p, "a", "k"), "1");
         p.setValue("a", "n", "v", 0);
       },
       "[a]\nk = 1\r\nn = v"},
      {"a value ending in a carriage return keeps it when it becomes the last line", "[a]\nk = 1\r\r\nj = 2",
       [](ZStanzaFileProperties_7_0_0& p) {
         ASSERT_EQ(valueOf(p, "a", "k"), "1\r");
         p.deleteKey("a", "j");
       },
       "[a]\nk = 1\r\r\n"},
      {"a line ending in two carriage returns keeps one as text", std::string("[a]\nk = 1\r\r"),
       [](ZStanzaFileProperties_7_0_0& p) { p.setValue("a", "n", "v", 0); }, "[a]\nk = 1\r\r\nn = v"},
      {"no final line end: a new stanza", "[a]\nk = 1",
       [](ZStanzaFileProperties_7_0_0& p) { p.addStanza("b"); }, "[a]\nk = 1\n\n[b]"},
      {"CRLF file: new lines use CRLF", "[a]\r\nk = 1\r\n",
       [](ZStanzaFileProperties_7_0_0& p) {
         p.setValue("b", "x", "y", 0);
         p.addEntryComment("b", "x", "hello");
       },
       "[a]\r\nk = 1\r\n\r\n[b]\r\n# hello\r\nx = y\r\n"},
      {"add appends after the key's last value", "[a]\nk = 1\nj = 2\nk = 2\nz = 3\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.addValue("a", "k", "3", 0); }, "[a]\nk = 1\nj = 2\nk = 2\nk = 3\nz = 3\n"},
      {"delete key removes every value and the comments", "[a]\n# about k\nk = 1\nj = 2\n# second k\nk = 2\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.deleteKey("a", "k"); }, "[a]\nj = 2\n"},
      {"delete key of the file's last line without a line end", "[a]\nj = 2\nk = 1",
       [](ZStanzaFileProperties_7_0_0& p) { p.deleteKey("a", "k"); }, "[a]\nj = 2"},
      {"delete stanza with its comment, entries and blank lines", "# a\n[a]\nk = 1\n\n# b\n[b]\nx = y\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.deleteStanza("a"); }, "# b\n[b]\nx = y\n"},
      {"delete a repeated stanza", "[a]\nk = 1\n[b]\nx = y\n# second a\n[a]\nk = 2\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.deleteStanza("a"); }, "[b]\nx = y\n"},
      {"delete what does not exist", "[a]\nk = 1\n",
       [](ZStanzaFileProperties_7_0_0& p) {
         p.deleteStanza("b");
         p.deleteKey("a", "j");
         p.deleteKey("b", "k");
       },
       "[a]\nk = 1\n"},
      {"entry comment: lines without # get one", "[a]\nk = 1\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.addEntryComment("a", "k", "#\n# hi\nplain\n"); },
       "[a]\n#\n# hi\n# plain\nk = 1\n"},
      {"entry comment goes after a comment already there", "[a]\n# old\nk = 1\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.addEntryComment("a", "k", "# new"); }, "[a]\n# old\n# new\nk = 1\n"},
      {"stanza comment", "[a]\nk = 1\n\n[b]\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.addStanzaComment("b", "#\n# B\n#"); }, "[a]\nk = 1\n\n#\n# B\n#\n[b]\n"},
      {"stanza made anew after its deletion", "[a]\nk = 1\n",
       [](ZStanzaFileProperties_7_0_0& p) {
         p.deleteStanza("a");
         p.setValue("a", "j", "2", 0);
       },
       "[a]\nj = 2\n"},
      {"delete key takes the comment out of a run of blank and comment lines",
       "[a]\nk = 1\n\n  \n# about j\n# more\nj = 2\n", [](ZStanzaFileProperties_7_0_0& p) { p.deleteKey("a", "j"); },
       "[a]\nk = 1\n\n  \n"},
      {"CRLF: delete key keeps the blank lines above its comment", "[a]\r\nk = 1\r\n\r\n# about j\r\nj = 2\r\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.deleteKey("a", "j"); }, "[a]\r\nk = 1\r\n\r\n"},
      {"delete stanza keeps the next header's comment, not the blank lines before it",
       "[a]\nk = 1\n\n\n# b\n# more b\n[b]\nx = y\n", [](ZStanzaFileProperties_7_0_0& p) { p.deleteStanza("a"); },
       "# b\n# more b\n[b]\nx = y\n"},
      {"entry comment after blank lines joins the comment there", "[a]\n\n# old\nk = 1\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.addEntryComment("a", "k", "new"); }, "[a]\n\n# old\n# new\nk = 1\n"},
      {"a file comment goes after the top comment, before its blank line", "# one\n# two\n\n# about a\n[a]\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.addFileComment("three"); }, "# one\n# two\n# three\n\n# about a\n[a]\n"},
      {"CRLF: a file comment", "# one\r\n\r\n[a]\r\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.addFileComment("two\nthree"); }, "# one\r\n# two\r\n# three\r\n\r\n[a]\r\n"},
      {"a file comment before a top comment that has no blank line after it", "# about a\n[a]\n",
       [](ZStanzaFileProperties_7_0_0& p) { p.addFileComment("top"); }, "# top\n\n# about a\n[a]\n"},
      {"booleans are written yes and no", "[a]\n",
       [](ZStanzaFileProperties_7_0_0& p) {
         p.setBooleanValue("a", "t", 7);
         p.setBooleanValue("a", "f", 0);
         p.setIntegerValue("a", "n", 1792);
         p.setLongLongValue("a", "l", -5);
       },
       "[a]\nt = yes\nf = no\nn = 1792\nl = -5\n"},
  };
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.description);
    ZStanzaFileProperties_7_0_0 p(1);
    p.parseText(c.before, "before");
    c.edit(p);
    EXPECT_EQ(p.text(), c.after);
    // What the edit left is what a reload of its text holds.
    ZStanzaFileProperties_7_0_0 reloaded(1);
    ASSERT_NO_THROW(reloaded.parseText(p.text(), "after"));
    EXPECT_EQ(describe(reloaded), describe(p));
  }
}

TEST(StanzaFileEdits, TextsTheFormatCannotHoldAreRefused) {
  struct Row {
    const char* stanza;
    const char* key;
    const char* value;
  } rows[] = {
      {"", "k", "v"},    {"a\nb", "k", "v"}, {" a", "k", "v"},   {"a ", "k", "v"},   {"a]", "k", "v"},
      {"a", "", "v"},    {"a", "k=v", "v"},  {"a", " k", "v"},   {"a", "k\t", "v"},  {"a", "k\r", "v"},
      {"a", "#k", "v"},  {"a", "[k", "v"},   {"a", "k", "v\n"},  {"a", "k", " v"},   {"a", "k", "v\t"},
      {"a", "k", "\r"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.stanza) + "|" + r.key + "|" + r.value);
    ZStanzaFileProperties_7_0_0 p(1);
    p.parseText("[a]\nk = 1\n", "x");
    EXPECT_THROW(p.setValue(r.stanza, r.key, r.value, 0), ZInvalidParameterException_7_0_0);
    EXPECT_THROW(p.addValue(r.stanza, r.key, r.value, 0), ZInvalidParameterException_7_0_0);
    EXPECT_EQ(p.text(), "[a]\nk = 1\n");
  }
  ZStanzaFileProperties_7_0_0 p(1);
  EXPECT_THROW(p.addStanza("x]"), ZInvalidParameterException_7_0_0);
  EXPECT_THROW(p.addStanza(""), ZInvalidParameterException_7_0_0);
  // What may look odd but round-trips is accepted.
  p.setValue("a[b", "k]", "=v # x", 0);
  p.setValue("a", "k", "", 0);
  ZStanzaFileProperties_7_0_0 reloaded(1);
  reloaded.parseText(p.text(), "x");
  EXPECT_EQ(valueOf(reloaded, "a[b", "k]"), "=v # x");
  EXPECT_TRUE(reloaded.exists("a", "k"));
}

TEST(StanzaFileEdits, CommentsAreReadAndReplaced) {
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText("[a]\n# one\n  # two\nk = 1\n\n# not k's\n\nj = 2\n", "x");
  ZUTF8String_7_0_0 c;
  p.getEntryComment("a", "k", c);
  EXPECT_STREQ(c.getChars(), "# one\n  # two");
  p.getEntryComment("a", "j", c);
  EXPECT_STREQ(c.getChars(), "");
  p.setEntryComment("a", "k", "# replaced");
  EXPECT_EQ(p.text(), "[a]\n# replaced\nk = 1\n\n# not k's\n\nj = 2\n");
  p.setEntryComment("a", "k", "");
  EXPECT_EQ(p.text(), "[a]\nk = 1\n\n# not k's\n\nj = 2\n");
  p.addFileComment("# top");
  EXPECT_EQ(p.text(), "# top\n\n[a]\nk = 1\n\n# not k's\n\nj = 2\n");
  p.addFileComment("# more");
  EXPECT_EQ(p.text(), "# top\n# more\n\n[a]\nk = 1\n\n# not k's\n\nj = 2\n");
}

TEST(StanzaFileEdits, CommentsInsideRunsOfBlankLinesAreReadAndReplaced) {
  // CRLF lines, and LF lines whose empty ones are read a run at a time.
  for (const std::string eol : {"\r\n", "\n"}) {
    SCOPED_TRACE(eol == "\n" ? "LF" : "CRLF");
    auto lines = [&eol](std::initializer_list<const char*> ls) {
      std::string t;
      for (const char* l : ls) t += l + eol;
      return t;
    };
    ZStanzaFileProperties_7_0_0 p(1);
    p.parseText(lines({"[a]", "", "", "\t", "", "# x", "  # y", "k = 1", "", ""}), "x");
    ZUTF8String_7_0_0 c;
    p.getEntryComment("a", "k", c);
    EXPECT_STREQ(c.getChars(), "# x\n  # y");
    p.setEntryComment("a", "k", "# z");
    EXPECT_EQ(p.text(), lines({"[a]", "", "", "\t", "", "# z", "k = 1", "", ""}));
    p.getEntryComment("a", "k", c);
    EXPECT_STREQ(c.getChars(), "# z");
    p.setEntryComment("a", "k", "");
    EXPECT_EQ(p.text(), lines({"[a]", "", "", "\t", "", "k = 1", "", ""}));
  }
}

// Names and values set off by blank runs longer than the document finds
// again from the text (it keeps their measures instead): every place of the
// run, just short of that length, just past it and far past it.
TEST(StanzaFileFidelity, LongBlankRunsAroundNamesAndValuesReadAndEditAlike) {
  const std::size_t shortRun = ornz::StanzaDocument::kShortRun;
  for (std::size_t n : {shortRun, shortRun + 1, std::size_t{5000}}) {
    const std::string b(n, ' ');
    struct Row {
      std::string header, entry;
    } rows[] = {
        {b + "[s]", b + "k = v"}, {"[" + b + "s]", "k" + b + "= v"}, {"[s" + b + "]", "k =" + b + "v"},
        {"[s]" + b, "k = v" + b}, {"[" + b + "s" + b + "]" + b, b + "k" + b + "=" + b + "v" + b},
    };
    for (const Row& r : rows) {
      SCOPED_TRACE(::testing::Message() << n << " blanks: " << r.header.size() << "/" << r.entry.size());
      const std::string text = r.header + "\n" + r.entry + "\nk = w\n" + r.header + "\nj = x\n";
      ZStanzaFileProperties_7_0_0 p(1);
      p.parseText(text, "x");
      EXPECT_TRUE(p.text() == text);
      EXPECT_EQ(p.count(), 1);
      EXPECT_EQ(valuesOf(p, "s", "k"), (std::vector<std::string>{"v", "w"}));
      EXPECT_EQ(valueOf(p, "s", "j"), "x");
      p.setValue("s", "k", "new", 0);  // the spacing around the value stays
      std::string entry = r.entry;
      entry.replace(entry.rfind('v'), 1, "new");
      EXPECT_TRUE(p.text() == r.header + "\n" + entry + "\n" + r.header + "\nj = x\n");
      EXPECT_EQ(valueOf(p, "s", "k"), "new");
      p.addValue("s", "k", "more", 0);
      EXPECT_EQ(valuesOf(p, "s", "k"), (std::vector<std::string>{"new", "more"}));
      p.deleteKey("s", "k");
      EXPECT_TRUE(p.text() == r.header + "\n" + r.header + "\nj = x\n");
      ZStanzaFileProperties_7_0_0 reloaded(1);
      reloaded.parseText(p.text(), "again");
      EXPECT_EQ(describe(reloaded), describe(p));
    }
  }
}

// ---------------------------------------------------------------- cost follows the bytes

struct ShapeCase {
  const char* description;
  std::string head;
  std::string (*line)(int i);
  bool strict;
  bool text;  // the lines are blank, comment or opaque lines
};

// Each shape at two sizes: a run of text lines is one record however long;
// every other line is one record; and what the document holds stays within
// 8 bytes per byte of the file, above a floor of a few blocks.
TEST(StanzaDocumentCost, RecordsAndMemoryFollowTheBytes) {
  const ShapeCase cases[] = {
      {"empty lines", "", [](int) { return std::string("\n"); }, true, true},
      {"lines of blanks", "[s]\n", [](int) { return std::string(" \t\n"); }, true, true},
      {"comment lines", "[s]\n", [](int) { return std::string("#\n"); }, true, true},
      {"CRLF comment lines", "[s]\r\n", [](int) { return std::string("# c\r\n"); }, true, true},
      {"[ lines, lenient", "", [](int) { return std::string("[\n"); }, false, true},
      {"one-character lines, lenient", "[s]\n", [](int) { return std::string("x\n"); }, false, true},
      {"entries before any stanza, lenient", "", [](int) { return std::string("a=\n"); }, false, true},
      {"mixed runs, lenient", "[s]\n", [](int) { return std::string("\n# c\n \nx\n"); }, false, true},
      {"repeated headers", "", [](int) { return std::string("[a]\n"); }, true, false},
      {"one key repeated", "[s]\n", [](int) { return std::string("a=\n"); }, true, false},
      {"distinct keys", "[s]\n", [](int i) { return "k" + std::to_string(i) + "=\n"; }, true, false},
      {"distinct stanzas", "", [](int i) { return "[" + std::to_string(i) + "]\n"; }, true, false},
      {"stanzas of one key", "", [](int i) { return "[" + std::to_string(i) + "]\nk=v\n"; }, true, false},
  };
  for (const ShapeCase& c : cases) {
    std::size_t records[2] = {0, 0};
    const int sizes[2] = {20000, 200000};
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(::testing::Message() << c.description << ", " << sizes[round] << " lines");
      std::string text = c.head;
      for (int i = 0; i < sizes[round]; ++i) text += c.line(i);
      ornz::StanzaDocument doc;
      doc.parse(text, "shape", c.strict);
      EXPECT_TRUE(doc.serialize() == text);
      records[round] = doc.recordCount();
      EXPECT_LE(doc.bytesHeld(), 8 * text.size() + (std::size_t{512} << 10)) << text.size() << " bytes";
    }
    SCOPED_TRACE(c.description);
    if (c.text) EXPECT_EQ(records[0], records[1]);
    else EXPECT_GT(records[1], records[0]);
  }
}

// A strict load of an invalid file reads it to the fault and builds
// nothing before: what it allocates does not grow with what comes before.
TEST(StanzaDocumentCost, AStrictErrorIsFoundBeforeAnythingIsBuilt) {
  long calls[2] = {0, 0};
  const int sizes[2] = {100, 100000};
  for (int round = 0; round < 2; ++round) {
    std::string text;
    for (int i = 0; i < sizes[round]; ++i) text += "[s" + std::to_string(i) + "]\nk = v\n\n";
    text += "[unclosed\n";
    ornz::StanzaDocument doc;
    ornutil_test::alloc_hook::arm(std::numeric_limits<long>::max());
    try {
      doc.parse(std::move(text), "bad", true);
      ADD_FAILURE() << "no exception";
    } catch (ZPropertiesInvalidDataException_7_0_0& e) {
      EXPECT_EQ(e.dataLine(), 3 * sizes[round] + 1);
    }
    calls[round] = ornutil_test::alloc_hook::calls;
    ornutil_test::alloc_hook::disarm();
    EXPECT_EQ(doc.recordCount(), 0u);
  }
  if (!ORNUTIL_ALLOC_HOOK) GTEST_SKIP() << "no allocation hook in this build";
  EXPECT_EQ(calls[0], calls[1]);
  EXPECT_LT(calls[1], 16);
}

TEST(StanzaFileEdits, ManyEditsKeepTheIndexesRight) {
  // Enough keys to grow and shrink the hash indexes several times: from an
  // object never loaded, and from loads whose tables were sized for far
  // fewer keys, so that the edits outgrow the room the load set aside.
  const char* const starts[] = {nullptr, "", "[s0]\nk0 = 0\n"};
  for (const char* start : starts) {
    SCOPED_TRACE(start ? start : "(not loaded)");
    ZStanzaFileProperties_7_0_0 p(1);
    if (start) p.parseText(start, "start");
    for (int i = 0; i < 300; ++i) {
      std::string s = "s" + std::to_string(i % 7), k = "k" + std::to_string(i);
      p.setValue(s.c_str(), k.c_str(), std::to_string(i).c_str(), 0);
      p.addValue(s.c_str(), k.c_str(), "extra", 0);
    }
    for (int i = 0; i < 300; i += 2) {
      std::string s = "s" + std::to_string(i % 7), k = "k" + std::to_string(i);
      p.deleteKey(s.c_str(), k.c_str());
    }
    p.deleteStanza("s3");
    for (int i = 0; i < 300; ++i) {
      std::string s = "s" + std::to_string(i % 7), k = "k" + std::to_string(i);
      bool present = i % 2 == 1 && i % 7 != 3;
      ASSERT_EQ(p.exists(s.c_str(), k.c_str()), present) << s << "/" << k;
      if (present) {
        ASSERT_EQ(valuesOf(p, s.c_str(), k.c_str()), (std::vector<std::string>{std::to_string(i), "extra"}));
      }
    }
    ZStanzaFileProperties_7_0_0 reloaded(1);
    reloaded.parseText(p.text(), "x");
    EXPECT_EQ(describe(reloaded), describe(p));
  }
}

TEST(StanzaFileEdits, RoomMadeAheadForKeysKeepsTheIndexRight) {
  // A stanza's index made large at once (a table of its own, past what a
  // chunk holds), then outgrown, then emptied: every key stays findable,
  // and stanzas without keys or without a header are left alone.
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText("[s]\nk0 = 0\n[empty]\n", "x");
  p.reserveKeys("empty", 100);
  p.reserveKeys("absent", 100);
  p.reserveKeys("s", 10000);
  EXPECT_FALSE(p.exists("absent"));
  const int keys = 20000;
  for (int i = 1; i < keys; ++i) p.setValue("s", ("k" + std::to_string(i)).c_str(), std::to_string(i).c_str(), 0);
  for (int i = 0; i < keys; i += 2) p.deleteKey("s", ("k" + std::to_string(i)).c_str());
  for (int i = 0; i < keys; ++i) {
    std::string k = "k" + std::to_string(i);
    ASSERT_EQ(p.exists("s", k.c_str()), i % 2 == 1) << k;
    if (i % 2 == 1) ASSERT_EQ(valueOf(p, "s", k.c_str()), std::to_string(i));
  }
  for (int i = 1; i < keys; i += 2) p.deleteKey("s", ("k" + std::to_string(i)).c_str());
  EXPECT_FALSE(p.exists("s", "k1"));
  p.setValue("s", "again", "a", 0);
  p.setValue("empty", "first", "f", 0);
  EXPECT_EQ(valueOf(p, "s", "again"), "a");
  EXPECT_EQ(valueOf(p, "empty", "first"), "f");
  ZStanzaFileProperties_7_0_0 reloaded(1);
  reloaded.parseText(p.text(), "x");
  EXPECT_EQ(describe(reloaded), describe(p));
}

TEST(StanzaFileEdits, StanzasOfOneKeyGrowAndShrinkTheirKeys) {
  // A file of one-key stanzas gives each a one-slot key table, full from
  // the start: look-ups of other keys must still end, and adds must grow it.
  std::string text;
  for (int i = 0; i < 50; ++i) text += "[s" + std::to_string(i) + "]\nk = " + std::to_string(i) + "\n";
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText(text.c_str(), "one-key stanzas");
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    std::string s = "s" + std::to_string(i);
    ASSERT_TRUE(p.exists(s.c_str(), "k"));
    for (const char* absent : {"j", "K", "k2", "kk", ""}) ASSERT_FALSE(p.exists(s.c_str(), absent)) << absent;
    switch (i % 5) {
      case 0:  // another value of the same key
        p.addValue(s.c_str(), "k", "again", 0);
        break;
      case 1:  // more keys
        for (int k = 0; k < 6; ++k) p.setValue(s.c_str(), ("x" + std::to_string(k)).c_str(), "x", 0);
        break;
      case 2:  // the key goes, another comes
        p.deleteKey(s.c_str(), "k");
        p.setValue(s.c_str(), "other", "o", 0);
        break;
      case 3:  // none left
        p.deleteKey(s.c_str(), "k");
        break;
      default:
        break;
    }
  }
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    std::string s = "s" + std::to_string(i), v = std::to_string(i);
    switch (i % 5) {
      case 0:
        EXPECT_EQ(valuesOf(p, s.c_str(), "k"), (std::vector<std::string>{v, "again"}));
        break;
      case 1:
        EXPECT_EQ(valueOf(p, s.c_str(), "k"), v);
        for (int k = 0; k < 6; ++k) EXPECT_EQ(valueOf(p, s.c_str(), ("x" + std::to_string(k)).c_str()), "x");
        break;
      case 2:
        EXPECT_FALSE(p.exists(s.c_str(), "k"));
        EXPECT_EQ(valueOf(p, s.c_str(), "other"), "o");
        break;
      case 3:
        EXPECT_FALSE(p.exists(s.c_str(), "k"));
        EXPECT_FALSE(p.exists(s.c_str(), "j"));
        break;
      default:
        EXPECT_EQ(valueOf(p, s.c_str(), "k"), v);
    }
  }
  ZStanzaFileProperties_7_0_0 reloaded(1);
  reloaded.parseText(p.text(), "x");
  EXPECT_EQ(describe(reloaded), describe(p));
}

// ---------------------------------------------------------------- typed values

TEST(StanzaFileValues, BooleansNumbersAndDefaults) {
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText(
      "[b]\ny1 = yes\ny2 = TRUE\ny3 = On\ny4 = 1\nn1 = no\nn2 = False\nn3 = OFF\nn4 = 0\nodd = maybe\nnone =\n"
      "[n]\nv = 1792\nneg = -3\nbig = 99999999999\nhex = 0x700\nspace = 12 3\n",
      "x");
  for (const char* k : {"y1", "y2", "y3", "y4"}) EXPECT_EQ(p.getBooleanValue("b", k, 0, 0), 1) << k;
  for (const char* k : {"n1", "n2", "n3", "n4"}) EXPECT_EQ(p.getBooleanValue("b", k, 0, 1), 0) << k;
  EXPECT_EQ(p.getBooleanValue("b", "odd", 0, 7), 7);
  EXPECT_EQ(p.getBooleanValue("b", "none", 0, 7), 7);
  EXPECT_EQ(p.getBooleanValue("b", "absent", 0, 7), 7);
  EXPECT_EQ(p.getIntegerValue("n", "v", 0, 5), 1792u);
  EXPECT_EQ(p.getIntegerValue("n", "absent", 0, 5), 5u);
  EXPECT_EQ(p.getIntegerValue("n", "hex", 0, 5), 5u);
  EXPECT_EQ(p.getIntegerValue("n", "space", 0, 5), 5u);
  EXPECT_EQ(p.getLongLongValue("n", "neg", 0, 5), -3);
  EXPECT_EQ(p.getLongLongValue("n", "big", 0, 5), 99999999999ll);
  ZUTF8String_7_0_0 out;
  EXPECT_EQ(p.getValue("n", "absent", out, 0, "dflt"), 0);
  EXPECT_STREQ(out.getChars(), "dflt");
  EXPECT_EQ(p.getValue("n", "v", out, 0, "dflt"), 1);
  EXPECT_STREQ(out.getChars(), "1792");
}

// ---------------------------------------------------------------- existsValue, deleteValue, deleteValues

class ValueRemoval : public ::testing::Test {
 protected:
  void SetUp() override { p.parseText("[s]\n# first a\nk = a\nk = b\nj = x\nk = a\nk = A\n", "x"); }
  std::vector<std::string> values() { return valuesOf(p, "s", "k"); }
  OrnStanzaFileProperties p;
};

TEST_F(ValueRemoval, DeleteValueRemovesOnlyTheFirstExactMatch) {
  p.deleteValue("s", "k", "a");
  EXPECT_EQ(values(), (std::vector<std::string>{"b", "a", "A"}));
  EXPECT_EQ(p.existsValue("s", "k", "a"), 1);
  EXPECT_EQ(p.text(), "[s]\nk = b\nj = x\nk = a\nk = A\n");
  p.deleteValue("s", "k", "a");
  EXPECT_EQ(p.existsValue("s", "k", "a"), 0);
  EXPECT_EQ(p.existsValue("s", "k", "A"), 1);
  p.deleteValue("s", "k", "b");
  p.deleteValue("s", "k", "A");
  EXPECT_FALSE(p.exists("s", "k"));
  EXPECT_EQ(p.text(), "[s]\nj = x\n");
  // The key can be made again afterwards.
  p.addValue("s", "k", "new", 0);
  EXPECT_EQ(values(), (std::vector<std::string>{"new"}));
}

TEST_F(ValueRemoval, MatchesAreExact) {
  EXPECT_EQ(p.existsValue("s", "k", "b"), 1);
  EXPECT_EQ(p.existsValue("s", "k", "B"), 0);
  EXPECT_EQ(p.existsValue("s", "k", "a "), 0);
  EXPECT_EQ(p.existsValue("s", "k", ""), 0);
  EXPECT_EQ(p.existsValue("s", "k", "x"), 0);  // another key's value
  EXPECT_EQ(p.existsValue("s", "nokey", "a"), 0);
  EXPECT_EQ(p.existsValue("nostanza", "k", "a"), 0);
  std::string before = p.text();
  p.deleteValue("s", "k", "B");
  p.deleteValue("s", "nokey", "a");
  p.deleteValue("nostanza", "k", "a");
  EXPECT_EQ(p.text(), before);
}

TEST_F(ValueRemoval, DeleteValuesRemovesOneOccurrencePerListedValue) {
  ZArrayList_7_0_0 none(10, 1);
  std::string before = p.text();
  p.deleteValues("s", "k", none);
  EXPECT_EQ(p.text(), before);

  ZArrayList_7_0_0 list(10, 1);
  for (const char* v : {"a", "a", "zz", "A"}) {
    ZLCString_7_0_0 s(v);
    list.add(&s);
  }
  p.deleteValues("s", "k", list);
  EXPECT_EQ(values(), (std::vector<std::string>{"b"}));
}

TEST_F(ValueRemoval, DeleteValuesGoesThroughTheVirtualSlot) {
  struct Counting : OrnStanzaFileProperties {
    std::vector<std::string> seen;
    void deleteValue(const char* s, const char* k, const char* v) override {
      seen.push_back(v);
      OrnStanzaFileProperties::deleteValue(s, k, v);
    }
  } c;
  c.parseText("[s]\nk = 1\nk = 2\n", "x");
  ZArrayList_7_0_0 list(10, 1);
  ZUTF8String_7_0_0 one("1"), two("2");
  list.add(&two);
  list.add(&one);
  c.deleteValues("s", "k", list);
  EXPECT_EQ(c.seen, (std::vector<std::string>{"2", "1"}));
  EXPECT_FALSE(c.exists("s", "k"));
}

TEST(StanzaValueIterator, WalksInFileOrderAndRemovesTheLastValueReturned) {
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText("[s]\nk = 1\nk = 2\nk = 3", "x");
  ZStanzaValueIterator_7_0_0 it(p, "s", "k", 0, 0);
  it.removeValue();  // nothing returned yet: nothing removed
  const char* v = nullptr;
  std::vector<std::string> seen;
  while (it.hasMore()) {
    ASSERT_TRUE(it.nextValue(v));
    seen.push_back(v);
    if (seen.back() != "2") it.removeValue();
    it.removeValue();  // a second call removes nothing more
  }
  EXPECT_FALSE(it.nextValue(v));
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "3"}));
  // Removing the last line of a file without a final line end.
  EXPECT_EQ(p.text(), "[s]");
  ZStanzaValueIterator_7_0_0 empty(p, "none", "k", 0, 0);
  EXPECT_FALSE(empty.hasMore());
}

// ---------------------------------------------------------------- files and the lock

TEST(StanzaFileStore, NewFileGetsDefaultModeAndAnExistingFileKeepsItsMode) {
  TempDir dir;
  std::string path = dir.file("new.conf");
  ZStanzaFileProperties_7_0_0 p(1);
  p.setValue("a", "k", "v", 0);
  p.store(path.c_str());
  EXPECT_EQ(ornutil_test::readFile(path), "[a]\nk = v\n");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  p.store(path.c_str());
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Beside the file: only the file and its lock file.
  auto names = ornutil_test::listDir(dir.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"new.conf", "new.conf.lock"}));
}

// A store compares the file with what the object last read or stored
// before writing over it. After a store the object keeps only a digest of
// what it wrote: another writer's change of the same size, made without the
// lock (an editor), must still be seen and kept, as after a load.
TEST(StanzaFileStore, AnotherWritersChangeOfTheSameSizeIsKeptAfterALoadAndAfterAStore) {
  for (bool storedFirst : {false, true}) {
    SCOPED_TRACE(storedFirst ? "after a store" : "after a load");
    TempDir dir;
    std::string path = dir.file("same-size.conf");
    ASSERT_TRUE(ornutil_test::writeFile(path, "[a]\nk = 1\nbig = " + std::string(200000, 'x') + "\n"));
    ZStanzaFileProperties_7_0_0 p(path.c_str(), 1);
    if (storedFirst) {
      p.setValue("a", "mine", "1", 0);
      p.store(path.c_str());
    }
    std::string text = ornutil_test::readFile(path);
    text[text.find("k = 1") + 4] = '2';
    ASSERT_TRUE(ornutil_test::writeFile(path, text));
    p.setValue("a", "later", "3", 0);
    p.store(path.c_str());
    std::string now = ornutil_test::readFile(path);
    EXPECT_NE(now.find("k = 2\n"), std::string::npos);
    EXPECT_NE(now.find("later = 3\n"), std::string::npos);
    EXPECT_EQ(p.text(), now);
  }
}

// An object stored again and again without being loaded again goes on from
// its own lines: what the changes leave behind is dropped from time to time
// (the object parsed anew from its bytes), and the file and the object
// agree at every step, also with another process's changes in between.
TEST(StanzaFileStore, ManyStoresOfOneObjectKeepFileAndObjectAlike) {
  TempDir dir;
  std::string path = dir.file("many.conf");
  ASSERT_TRUE(ornutil_test::writeFile(path, "# settings\n[a]\nk = 0\n"));
  ZStanzaFileProperties_7_0_0 p(path.c_str(), 1);
  for (int i = 1; i <= 1500; ++i) {
    std::string value = std::to_string(i) + std::string(200, 'v');
    p.setValue("a", "k", value.c_str(), 0);
    if (i % 3 == 0) p.addValue("b", "list", value.c_str(), 0);
    if (i % 7 == 0) p.deleteKey("b", "list");
    p.store(path.c_str());
    if (i % 250 == 0) {
      // Another writer in between, through the lock.
      ZStanzaFileProperties_7_0_0 other(path.c_str(), 1);
      other.setValue("c", "other", std::to_string(i).c_str(), 0);
      other.store(path.c_str());
    }
    ASSERT_EQ(valueOf(p, "a", "k"), value) << "at " << i;
  }
  p.setValue("a", "end", "1", 0);
  p.store(path.c_str());
  std::string now = ornutil_test::readFile(path);
  EXPECT_EQ(p.text(), now);
  ZStanzaFileProperties_7_0_0 fresh(path.c_str(), 1);
  EXPECT_EQ(valueOf(fresh, "c", "other"), "1500");
  EXPECT_EQ(valueOf(fresh, "a", "k"), "1500" + std::string(200, 'v'));
  EXPECT_EQ(valueOf(fresh, "a", "end"), "1");
  EXPECT_EQ(fresh.text().rfind("# settings\n[a]\n", 0), 0u) << fresh.text();
}

TEST(StanzaFileStore, MissingOrUnreadableFilesRaise) {
  TempDir dir;
  ZStanzaFileProperties_7_0_0 p(1);
  try {
    p.load(dir.file("absent.conf").c_str());
    ADD_FAILURE();
  } catch (ZException_7_0_0& e) {
    EXPECT_EQ(e.code, ornz::kCodeFileNotFound);
  }
  try {
    p.load(dir.path().c_str());
    ADD_FAILURE();
  } catch (ZException_7_0_0& e) {
    EXPECT_EQ(e.code, ornz::kCodeFileUnreadable);
  }
  p.setValue("a", "k", "v", 0);
  try {
    p.store(dir.file("no/such/dir/x.conf").c_str());
  } catch (ZException_7_0_0& e) {
    EXPECT_EQ(e.code, ornz::kCodeFileNotWritable);
  }
  EXPECT_THROW(p.load(nullptr), ZInvalidParameterException_7_0_0);
}

TEST(StanzaFileLock, AStoreWaitsWhileAnotherHolderHasTheLockFile) {
  TempDir dir;
  std::string path = dir.file("locked.conf");
  ASSERT_TRUE(ornutil_test::writeFile(path, "[a]\nk = 1\n"));
  ZStanzaFileProperties_7_0_0 p(path.c_str(), 1);
  struct stat st;
  // A plain load only reads; the lock file appears with the first store or
  // migrating load, or, as here, with another holder.
  EXPECT_NE(::stat((path + ".lock").c_str(), &st), 0);

  int fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
  p.setValue("a", "k", "2", 0);
  std::atomic<bool> stored{false};
  std::thread writer([&] {
    p.store(path.c_str());
    stored = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(stored.load());
  EXPECT_EQ(ornutil_test::readFile(path), "[a]\nk = 1\n");
  ::close(fd);  // releases the lock
  writer.join();
  EXPECT_TRUE(stored.load());
  EXPECT_EQ(ornutil_test::readFile(path), "[a]\nk = 2\n");
  ASSERT_EQ(::stat((path + ".lock").c_str(), &st), 0) << "the lock file stays";
}

TEST(StanzaFileClone, CopiesTheText) {
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText("# c\n[a]\r\nk = v", "x");
  std::unique_ptr<ZObject_7_0_0> copy(p.clone());
  auto* c = dynamic_cast<ZStanzaFileProperties_7_0_0*>(copy.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->text(), p.text());
  c->setValue("a", "k", "w", 0);
  EXPECT_EQ(valueOf(p, "a", "k"), "v");
}

}  // namespace
