// Configuration files shared by processes, with real processes: changes the
// tool and library callers make at once are all kept; a store merges what
// others stored meanwhile and never writes back a stale copy; a load never
// returns a file another process is rewriting in place; a migration is never
// stored over a file open for writing; an old file loaded by many processes
// at once is migrated once; and stores killed at any moment leave a complete
// file and nothing the next store does not clear away.
//
// Every child runs under an alarm and every test under one of its own, so
// that a lock never released or a gate never opened fails the test instead
// of hanging the suite.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/zexception.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "util/OrnStanzaFileProperties.h"

using ornutil_test::LogCapture;
using ornutil_test::TempDir;
using ornutil_test::readFile;
using ornutil_test::writeFile;

namespace {

// Long enough for a sanitizer build on a loaded machine; a process waiting
// for a lock nobody releases waits forever, so any bound catches it.
constexpr unsigned kChildDeadlineSeconds = 30;
constexpr unsigned kTestDeadlineSeconds = 180;

const char kMeta[] = "[meta-info]\nversion = 1792\n";
const unsigned int kWriterOpenWarning = 0x1354a0d1;

// ---------------------------------------------------------------- processes

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exited " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    return "killed by signal " + std::to_string(sig) + (sig == SIGALRM ? " (hung past its deadline)" : "");
  }
  return "status " + std::to_string(status);
}

// Runs `body` in a child process under the deadline; what it returns is the
// child's exit status. An exception escaping it is printed and gives 100.
pid_t spawn(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::alarm(kChildDeadlineSeconds);
  int rc = 102;
  try {
    rc = body();
  } catch (ZException_7_0_0& e) {
    std::fprintf(stderr, "child %d: ZException_7_0_0 kind %d: %s\n", static_cast<int>(::getpid()), e.code, e.text);
    rc = 100;
  } catch (std::exception& e) {
    std::fprintf(stderr, "child %d: %s\n", static_cast<int>(::getpid()), e.what());
    rc = 101;
  } catch (...) {
  }
  ::_exit(rc);  // neither the test framework's nor the object's exit handlers run twice
}

int waitFor(pid_t pid) {
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  return got == pid ? status : -1;
}

// A pipe through which children tell the parent they reached a point.
class Signal {
 public:
  Signal() {
    if (::pipe(fd_) != 0) fd_[0] = fd_[1] = -1;
  }
  ~Signal() {
    for (int fd : fd_)
      if (fd >= 0) ::close(fd);
  }
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  // In a child.
  void post() {
    char c = 1;
    if (::write(fd_[1], &c, 1) != 1) ::_exit(103);
  }
  // In the parent, once every child is started: false when the children
  // died before `n` posts (all their write ends closed).
  bool await(int n) {
    if (fd_[1] >= 0) ::close(fd_[1]);
    fd_[1] = -1;
    for (int got = 0; got < n;) {
      char c;
      ssize_t r = ::read(fd_[0], &c, 1);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      ++got;
    }
    return true;
  }

 private:
  int fd_[2];
};

// Children block in pass() until the parent calls open(): processes started
// one after the other then run their part at the same moment.
class Gate {
 public:
  Gate() {
    if (::pipe(fd_) != 0) fd_[0] = fd_[1] = -1;
  }
  ~Gate() { open(); }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // In a child: returns when the parent opened the gate (or died).
  void pass() {
    ::close(fd_[1]);
    char c;
    while (::read(fd_[0], &c, 1) < 0 && errno == EINTR) {
    }
    ::close(fd_[0]);
  }
  // In the parent.
  void open() {
    for (int& fd : fd_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

 private:
  int fd_[2];
};

// Replaces the calling child by the tool, its output going to `out` and
// `err` and standard input empty. The alarm set by spawn stays armed.
[[noreturn]] void execTool(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || o < 0 || e < 0 || ::dup2(in, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(104);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(ORNUTIL_TOOL));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(ORNUTIL_TOOL, argv.data());
  ::_exit(105);
}

// ---------------------------------------------------------------- files

std::string value(const ZStanzaFileProperties_7_0_0& p, const char* stanza, const char* key) {
  ZUTF8String_7_0_0 v;
  if (!p.getValue(stanza, key, v, 0, nullptr)) return "(absent)";
  return v.getChars();
}

std::vector<std::string> values(const ZStanzaFileProperties_7_0_0& p, const char* stanza, const char* key) {
  ZArrayList_7_0_0 list(10, 1);
  p.getValues(stanza, key, list, ZPropertyUTF8String);
  std::vector<std::string> out;
  for (int i = 0; i < list.size(); ++i) out.emplace_back(static_cast<ZAbstractString_7_0_0*>(list.get(i))->getChars());
  return out;
}

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

ino_t inodeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Names in the file's directory other than the file and its lock file.
std::vector<std::string> strangers(const TempDir& dir, const std::string& base) {
  std::vector<std::string> out;
  for (const std::string& name : ornutil_test::listDir(dir.path()))
    if (name != base && name != base + ".lock") out.push_back(name);
  std::sort(out.begin(), out.end());
  return out;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out.empty() ? "(none)" : out;
}

// What an OrnStanzaFileProperties load makes of `old` when nobody else
// touches the file.
std::string migratedAlone(const std::string& old, const std::string& base) {
  TempDir dir;
  std::string path = dir.file(base);
  writeFile(path, old);
  OrnStanzaFileProperties p;
  p.load(path.c_str());
  return readFile(path);
}

using Factory = std::function<std::unique_ptr<ZStanzaFileProperties_7_0_0>()>;

const struct {
  const char* name;
  Factory make;
} kClasses[] = {
    {"ZStanzaFileProperties_7_0_0",
     [] { return std::unique_ptr<ZStanzaFileProperties_7_0_0>(new ZStanzaFileProperties_7_0_0(1)); }},
    {"OrnStanzaFileProperties",
     [] { return std::unique_ptr<ZStanzaFileProperties_7_0_0>(new OrnStanzaFileProperties()); }},
};

class ConfigProc : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ::alarm(kTestDeadlineSeconds);
  }
  void TearDown() override { ::alarm(0); }

  bool toolBuilt() { return ::access(ORNUTIL_TOOL, X_OK) == 0; }

  TempDir dir_;
};

// ---------------------------------------------------------------- the tool

// Twenty `ornutil config ...` processes released at one moment on one file:
// each holds the file's lock from its read to its store, so every change
// lands, whatever the interleaving, and the old file in the last row is
// migrated by whichever comes first and then changed by all.
TEST_F(ConfigProc, TwentyToolProcessesChangingOneFileAtOnceLoseNothing) {
  ASSERT_TRUE(toolBuilt()) << ORNUTIL_TOOL << " is not built";
  constexpr int kProcesses = 20;
  std::string forty;
  for (int i = 1; i <= 40; ++i) forty += "k" + std::to_string(i) + " = old" + std::to_string(i) + "\n";

  const struct {
    const char* description;
    std::string initial;
    std::function<std::vector<std::string>(const std::string& file, int i)> args;
    std::function<void(const ZStanzaFileProperties_7_0_0&)> check;
  } rows[] = {
      {"set: a key each", std::string(kMeta) + "[s]\nkeep = yes\n",
       [](const std::string& f, int i) {
         return std::vector<std::string>{"config", "set", f, "s", "k" + std::to_string(i), "v" + std::to_string(i)};
       },
       [](const ZStanzaFileProperties_7_0_0& p) {
         for (int i = 1; i <= kProcesses; ++i)
           EXPECT_EQ(value(p, "s", ("k" + std::to_string(i)).c_str()), "v" + std::to_string(i)) << "k" << i;
         EXPECT_EQ(value(p, "s", "keep"), "yes");
       }},
      {"add: a value each to one key", std::string(kMeta) + "[s]\nmulti = v0\n",
       [](const std::string& f, int i) {
         return std::vector<std::string>{"config", "add", f, "s", "multi", "v" + std::to_string(i)};
       },
       [](const ZStanzaFileProperties_7_0_0& p) {
         std::vector<std::string> got = values(p, "s", "multi");
         std::set<std::string> distinct(got.begin(), got.end());
         EXPECT_EQ(got.size(), static_cast<std::size_t>(kProcesses + 1));
         EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kProcesses + 1));
         EXPECT_EQ(got.front(), "v0");
         for (int i = 1; i <= kProcesses; ++i) EXPECT_EQ(distinct.count("v" + std::to_string(i)), 1u) << i;
       }},
      {"delete: a key each of forty", std::string(kMeta) + "[s]\n" + forty,
       [](const std::string& f, int i) {
         return std::vector<std::string>{"config", "delete", f, "s", "k" + std::to_string(i)};
       },
       [](const ZStanzaFileProperties_7_0_0& p) {
         for (int i = 1; i <= 40; ++i)
           EXPECT_EQ(p.exists("s", ("k" + std::to_string(i)).c_str()), i > kProcesses) << "k" << i;
       }},
      {"set: a key each into an old file", "[s]\nkeep = yes\n[ornrte]\n",
       [](const std::string& f, int i) {
         return std::vector<std::string>{"config", "set", f, "s", "k" + std::to_string(i), "v" + std::to_string(i)};
       },
       [](const ZStanzaFileProperties_7_0_0& p) {
         for (int i = 1; i <= kProcesses; ++i)
           EXPECT_EQ(value(p, "s", ("k" + std::to_string(i)).c_str()), "v" + std::to_string(i)) << "k" << i;
         EXPECT_EQ(value(p, "meta-info", "version"), "1792");
         EXPECT_EQ(value(p, "ornrte", "boot-start-ornproxyd"), "no");
       }},
  };

  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    std::string path = dir_.file("tool.conf");
    ASSERT_TRUE(writeFile(path, row.initial));
    Gate gate;
    std::vector<pid_t> pids;
    for (int i = 1; i <= kProcesses; ++i) {
      std::vector<std::string> args = row.args(path, i);
      std::string out = dir_.file("out/" + std::to_string(i)), err = dir_.file("err/" + std::to_string(i));
      pid_t pid = spawn([&] {
        gate.pass();
        execTool(args, out, err);
        return 0;
      });
      ASSERT_GE(pid, 0);
      pids.push_back(pid);
    }
    gate.open();
    for (int i = 1; i <= kProcesses; ++i) {
      int status = waitFor(pids[i - 1]);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << "process " << i << " " << describeStatus(status) << ": "
          << readFile(dir_.path() + "/err/" + std::to_string(i));
    }
    std::string text = readFile(path);
    ZStanzaFileProperties_7_0_0 after(1);
    ASSERT_NO_THROW(after.load(path.c_str())) << text;
    row.check(after);
    EXPECT_EQ(occurrences(text, "[meta-info]"), 1) << text;
    EXPECT_EQ(strangers(dir_, "tool.conf"), (std::vector<std::string>{"err", "out"}));
  }
}

// ---------------------------------------------------------------- merging stores

// Object A loads the file; another process (B) then stores a change of its
// own; A makes its change and stores. A's store must read the file again
// under the lock and make A's changes on what B left: B's changes are kept,
// a key both changed takes A's value, and A then holds the file's bytes.
// New lines in B's stanza before A's change move every line A's document
// knew, so a replay by line instead of by call shows here.
TEST_F(ConfigProc, AStoreMakesItsChangesAgainOnWhatAnotherProcessStored) {
  using Change = std::function<void(ZStanzaFileProperties_7_0_0&)>;
  const struct {
    const char* description;
    std::string initial;
    Change other;                        // B, through the library
    std::vector<std::string> otherTool;  // or B, the tool ("F": the file)
    Change mine;                         // A, after B stored
    std::string expected;                // the file, after meta-info
  } rows[] = {
      {"another key each: both kept", "[s]\na = 1\n", [](auto& p) { p.setValue("s", "x", "bx", 0); }, {},
       [](auto& p) { p.setValue("s", "y", "ay", 0); }, "[s]\na = 1\nx = bx\ny = ay\n"},
      {"the other is the tool", "[s]\na = 1\n", nullptr, {"config", "set", "F", "s", "x", "bx"},
       [](auto& p) { p.setValue("s", "y", "ay", 0); }, "[s]\na = 1\nx = bx\ny = ay\n"},
      {"one key set by both: this store wins", "[s]\na = 1\nz = 0\n",
       [](auto& p) {
         p.setValue("s", "z", "b", 0);
         p.setValue("s", "x", "bx", 0);
       },
       {}, [](auto& p) { p.setValue("s", "z", "a", 0); }, "[s]\na = 1\nz = a\nx = bx\n"},
      {"a key given a second value by the other and set by this one", "[s]\nz = 0\n",
       [](auto& p) { p.addValue("s", "z", "b", 0); }, {}, [](auto& p) { p.setValue("s", "z", "a", 0); },
       "[s]\nz = a\n"},
      {"no change of its own: nothing written, the object takes the file", "[s]\na = 1\n",
       [](auto& p) { p.setValue("s", "x", "bx", 0); }, {}, [](auto&) {}, "[s]\na = 1\nx = bx\n"},
      {"the second of two equal values removed through the iterator",
       "[t]\nt1 = 1\n[s]\nm = 1\n# first two\nm = 2\n# second two\nm = 2\nm = 3\n",
       [](auto& p) {
         p.setValue("t", "x", "bx", 0);
         p.addValue("s", "m", "4", 0);
       },
       {},
       [](auto& p) {
         ZStanzaValueIterator_7_0_0 it(p, "s", "m", 0, 0);
         const char* v = nullptr;
         int twos = 0;
         while (it.nextValue(v))
           if (std::strcmp(v, "2") == 0 && ++twos == 2) it.removeValue();
       },
       "[t]\nt1 = 1\nx = bx\n[s]\nm = 1\n# first two\nm = 2\nm = 3\nm = 4\n"},
      {"a key deleted here, changed there", "[s]\na = 1\n# about d\nd = old\n",
       [](auto& p) {
         p.setValue("s", "d", "new", 0);
         p.setValue("s", "e", "be", 0);
       },
       {}, [](auto& p) { p.deleteKey("s", "d"); }, "[s]\na = 1\ne = be\n"},
      {"a stanza deleted here, added to there", "[s]\na = 1\n\n# old things\n[old]\no = 1\n\n[u]\nu = 1\n",
       [](auto& p) {
         p.setValue("old", "o2", "b", 0);
         p.setValue("u", "x", "bx", 0);
       },
       {}, [](auto& p) { p.deleteStanza("old"); }, "[s]\na = 1\n\n[u]\nu = 1\nx = bx\n"},
      {"a stanza deleted there, set in here", "[s]\na = 1\n[gone]\ng = 1\n",
       [](auto& p) { p.deleteStanza("gone"); }, {}, [](auto& p) { p.setValue("gone", "y", "ay", 0); },
       "[s]\na = 1\n\n[gone]\ny = ay\n"},
  };

  for (const auto& cls : kClasses) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(cls.name) + ": " + row.description);
      std::string path = dir_.file("merge.conf");
      ASSERT_TRUE(writeFile(path, kMeta + row.initial));
      std::unique_ptr<ZStanzaFileProperties_7_0_0> a = cls.make();
      a->load(path.c_str());

      std::string err = dir_.file("merge.err");
      pid_t b = spawn([&] {
        if (!row.otherTool.empty()) {
          std::vector<std::string> args = row.otherTool;
          std::replace(args.begin(), args.end(), std::string("F"), path);
          execTool(args, dir_.file("merge.out"), err);
        }
        std::unique_ptr<ZStanzaFileProperties_7_0_0> p = cls.make();
        p->load(path.c_str());
        row.other(*p);
        p->store(path.c_str());
        return 0;
      });
      ASSERT_GE(b, 0);
      int status = waitFor(b);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describeStatus(status) << " " << readFile(err);
      const std::string theirs = readFile(path);
      const ino_t theirInode = inodeOf(path);
      ASSERT_NE(theirs, kMeta + row.initial) << "the other process stored nothing";

      row.mine(*a);
      ASSERT_NO_THROW(a->store(path.c_str()));
      const std::string text = readFile(path);
      EXPECT_EQ(text, kMeta + row.expected);
      EXPECT_EQ(a->text(), text) << "the object does not hold what the file holds";
      if (text == theirs) {
        EXPECT_EQ(inodeOf(path), theirInode) << "the stale copy was written over theirs";
      }

      // What A holds now is the file: a further store without changes
      // writes the same bytes, and another process's change still survives.
      pid_t c = spawn([&] {
        ZStanzaFileProperties_7_0_0 p(1);
        p.load(path.c_str());
        p.setValue("late", "k", "v", 0);
        p.store(path.c_str());
        return 0;
      });
      ASSERT_EQ(waitFor(c), 0);
      ASSERT_NO_THROW(a->store(path.c_str()));
      EXPECT_EQ(readFile(path), kMeta + row.expected + "\n[late]\nk = v\n");
      EXPECT_EQ(a->text(), readFile(path));
      ::unlink(dir_.file("merge.err").c_str());
      ::unlink(dir_.file("merge.out").c_str());
    }
  }
}

// Twenty processes each load the file first, then all change a key of their
// own and store at the same moment: each store merges with those that landed
// before it. With the old file every process's load also raced the
// migration.
TEST_F(ConfigProc, TwentyProcessesLoadedBeforeAnyStoreKeepEveryKey) {
  constexpr int kProcesses = 20;
  const struct {
    const char* description;
    Factory make;
    std::string initial;
  } rows[] = {
      {"ZStanzaFileProperties_7_0_0, current file", kClasses[0].make, std::string(kMeta) + "[s]\nkeep = yes\n"},
      {"OrnStanzaFileProperties, current file", kClasses[1].make, std::string(kMeta) + "[s]\nkeep = yes\n"},
      {"OrnStanzaFileProperties, old file", kClasses[1].make, "[s]\nkeep = yes\n[ornrte]\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    std::string path = dir_.file("twenty.conf");
    ASSERT_TRUE(writeFile(path, row.initial));
    Signal loaded;
    Gate gate;
    std::vector<pid_t> pids;
    for (int i = 1; i <= kProcesses; ++i) {
      pid_t pid = spawn([&] {
        std::unique_ptr<ZStanzaFileProperties_7_0_0> p = row.make();
        p->load(path.c_str());
        loaded.post();
        gate.pass();
        std::string key = "k" + std::to_string(i), v = "v" + std::to_string(i);
        p->setValue("s", key.c_str(), v.c_str(), 0);
        p->store(path.c_str());
        // The object holds what it stored: its own key, and the file's
        // content as of its store.
        if (value(*p, "s", key.c_str()) != v || value(*p, "s", "keep") != "yes") return 1;
        return 0;
      });
      ASSERT_GE(pid, 0);
      pids.push_back(pid);
    }
    bool allLoaded = loaded.await(kProcesses);
    gate.open();
    for (int i = 1; i <= kProcesses; ++i) {
      int status = waitFor(pids[i - 1]);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << i << " " << describeStatus(status);
    }
    ASSERT_TRUE(allLoaded) << "not every process loaded the file";
    std::string text = readFile(path);
    ZStanzaFileProperties_7_0_0 after(1);
    ASSERT_NO_THROW(after.load(path.c_str())) << text;
    for (int i = 1; i <= kProcesses; ++i)
      EXPECT_EQ(value(after, "s", ("k" + std::to_string(i)).c_str()), "v" + std::to_string(i)) << "k" << i;
    EXPECT_EQ(value(after, "meta-info", "version"), "1792");
    EXPECT_EQ(occurrences(text, "[meta-info]"), 1) << text;
    EXPECT_EQ(strangers(dir_, "twenty.conf"), std::vector<std::string>{});
  }
}

// ---------------------------------------------------------------- torn reads

// True when this file system grants leases (the library's only way to tell
// that a file is open for writing).
bool leasesWork(const std::string& dir) {
  std::string probe = dir + "/lease-probe";
  if (!writeFile(probe, "x")) return false;
  int fd = ::open(probe.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  if (ok) ::fcntl(fd, F_SETLEASE, F_UNLCK);
  if (fd >= 0) ::close(fd);
  ::unlink(probe.c_str());
  return ok;
}

// A large file whose first and last stanzas name the generation that wrote
// it, so that a load of a prefix, or of a mixture, shows.
constexpr int kBigStanzas = 1200;

std::string generation(int g) {
  std::string text = "[first]\ngeneration = " + std::to_string(g) + "\n";
  for (int s = 0; s < kBigStanzas; ++s) {
    text += "\n[s" + std::to_string(s) + "]\n";
    for (int k = 0; k < 120; ++k)
      text += "key" + std::to_string(k) + " = value of generation " + std::to_string(g) + "\n";
  }
  return text + "\n[last]\ngeneration = " + std::to_string(g) + "\n";
}

// Rewrites the file in place, as an editor or "cat >" does: truncate, then
// the new text in pieces with pauses between them.
int rewriteInPlace(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return 1;
  const std::size_t piece = text.size() / 4 + 1;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    std::size_t n = std::min(piece, text.size() - at);
    if (::write(fd, text.data() + at, n) != static_cast<ssize_t>(n)) return 2;
    ::usleep(50000);  // a pause a whole read of what is there fits in
  }
  ::close(fd);
  return 0;
}

// A whole generation: the last stanza is there and agrees with the first
// (truncation makes every mixture of two generations shorter than either).
bool whole(const ZStanzaFileProperties_7_0_0& p, int stanzas, std::string& what) {
  std::string first = value(p, "first", "generation"), last = value(p, "last", "generation");
  if (first == last && first != "(absent)" && p.count() == stanzas) return true;
  what = "generation " + first + " up to " + last + " (" + std::to_string(p.count()) + " stanzas, " +
         std::to_string(p.text().size()) + " bytes)";
  return false;
}

bool keptChanging(const ZException_7_0_0& e) { return e.code == 13 && std::strstr(e.text, "kept changing"); }

// Loads made while a writer keeps rewriting the file in place (with the
// file complete and closed for a while between versions) must return a
// whole generation or fail with "kept changing" (kind 13). A prefix that
// happens to parse, or the cut-off last line reported as invalid data, is a
// half-written file read as if it were the file.
TEST_F(ConfigProc, LoadsOfAFileRewrittenInPlaceSeeWholeGenerationsOnly) {
  if (!leasesWork(dir_.path())) GTEST_SKIP() << "this file system grants no leases: a writer cannot be seen";
  std::string path = dir_.file("big.conf");
  ASSERT_TRUE(writeFile(path, generation(0)));
  ASSERT_GT(generation(0).size(), 4u << 20);
  ASSERT_LT(generation(0).size(), 16u << 20);

  pid_t writer = spawn([&] {
    for (int g = 1;; ++g) {
      if (int rc = rewriteInPlace(path, generation(g))) return rc;
      ::usleep(50000);  // longer than a load's retries take: a load started now succeeds
    }
  });
  ASSERT_GE(writer, 0);

  int complete = 0, changing = 0, torn = 0;
  std::string firstTorn;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  for (int attempt = 0; attempt < 300 && std::chrono::steady_clock::now() < until; ++attempt) {
    ZStanzaFileProperties_7_0_0 p(1);
    std::string what;
    try {
      p.load(path.c_str());
      if (whole(p, kBigStanzas + 2, what)) {
        ++complete;
        continue;
      }
      what = "returned " + what;
    } catch (ZException_7_0_0& e) {
      if (keptChanging(e)) {
        ++changing;
        continue;
      }
      what = "raised kind " + std::to_string(e.code) + ": " + e.text;
    }
    if (++torn == 1) firstTorn = "load " + std::to_string(attempt) + " " + what;
  }
  ::kill(writer, SIGKILL);
  int status = waitFor(writer);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer stopped: " << describeStatus(status);

  EXPECT_EQ(torn, 0) << torn << " loads read a half-written file; the first, " << firstTorn << " (whole "
                     << complete << ", kept changing " << changing << ")";
  EXPECT_GT(complete, 0) << "no load read the file while the writer paused (kept changing " << changing << ")";
}

// A writer that keeps the file open and goes on writing it, piece by piece,
// for longer than a load waits: each read between two pieces is a
// consistent look at a half-written file. The load must not give up waiting
// by taking such a look as the file; it either raises "kept changing" or,
// once the writer has finished, returns the whole text.
TEST_F(ConfigProc, AWriterStillWritingWhenTheWaitEndsIsNotReadAsTheFile) {
  if (!leasesWork(dir_.path())) GTEST_SKIP() << "this file system grants no leases: a writer cannot be seen";
  std::string path = dir_.file("slow.conf");
  ASSERT_TRUE(writeFile(path, generation(0)));
  const std::string next = generation(1);

  Signal started;
  pid_t writer = spawn([&] {
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return 1;
    started.post();
    const std::size_t piece = next.size() / 12 + 1;
    for (std::size_t at = 0; at < next.size(); at += piece) {
      std::size_t n = std::min(piece, next.size() - at);
      if (::write(fd, next.data() + at, n) != static_cast<ssize_t>(n)) return 2;
      ::usleep(100000);  // twelve pauses: well past the wait
    }
    return ::close(fd) == 0 ? 0 : 3;
  });
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(started.await(1));

  ZStanzaFileProperties_7_0_0 p(1);
  try {
    p.load(path.c_str());
    std::string what;
    EXPECT_TRUE(whole(p, kBigStanzas + 2, what)) << "the load returned " << what;
  } catch (ZException_7_0_0& e) {
    EXPECT_TRUE(keptChanging(e)) << "raised kind " << e.code << ": " << e.text;
  }
  EXPECT_EQ(waitFor(writer), 0);
}

// The same, step by step: a writer has truncated the file and written part
// of the new text, and holds it open. A load waits for it (another process
// holding the file open for writing is what tells a read to wait), and
// returns the writer's whole text once it has finished. A store never
// renames over the file while the writer holds it, which would send the
// rest of the writer's bytes to a file that no longer has the name: it
// fails, writes nothing, and the writer's text, once finished, is the file.
// Read as the file, a cut at a line end would parse (a silent prefix), and a
// cut inside a line would be reported as invalid data in a file that has
// none.
TEST_F(ConfigProc, AFileHalfWrittenInPlaceIsNeitherLoadedNorReplaced) {
  if (!leasesWork(dir_.path())) GTEST_SKIP() << "this file system grants no leases: a writer cannot be seen";
  const std::string next = generation(1);
  const std::size_t lineEnd = next.find('\n', next.size() / 2) + 1;
  const struct {
    const char* description;
    std::size_t cut;
    bool store;
  } rows[] = {
      {"load, cut at a line end", lineEnd, false},
      {"load, cut inside a line", lineEnd + 5, false},
      {"store, cut at a line end", lineEnd, true},
      {"store, cut inside a line", lineEnd + 5, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    std::string path = dir_.file("half.conf");
    ASSERT_TRUE(writeFile(path, generation(0)));
    ZStanzaFileProperties_7_0_0 p(1);
    if (row.store) p.load(path.c_str());

    Signal started;
    Gate resume;
    pid_t writer = spawn([&] {
      int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd < 0 || ::write(fd, next.data(), row.cut) != static_cast<ssize_t>(row.cut)) return 1;
      started.post();
      resume.pass();
      std::size_t rest = next.size() - row.cut;
      if (::write(fd, next.data() + row.cut, rest) != static_cast<ssize_t>(rest)) return 2;
      return ::close(fd) == 0 ? 0 : 3;
    });
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(started.await(1));

    std::string what;
    if (row.store) {
      try {
        p.setValue("added", "by", "store", 0);
        p.store(path.c_str());
        ADD_FAILURE() << "the store succeeded and wrote "
                      << (whole(p, kBigStanzas + 3, what) ? "a whole generation" : what);
      } catch (ZException_7_0_0& e) {
        EXPECT_EQ(e.code, 28);
        EXPECT_NE(std::strstr(e.text, "open for writing"), nullptr) << e.text;
      }
      resume.open();
    } else {
      // The writer goes on a moment after the load has started.
      std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        resume.open();
      });
      try {
        p.load(path.c_str());
        EXPECT_TRUE(whole(p, kBigStanzas + 2, what)) << "the load returned " << what;
        EXPECT_EQ(value(p, "first", "generation"), "1");
      } catch (ZException_7_0_0& e) {
        ADD_FAILURE() << "raised kind " << e.code << ": " << e.text;
      }
      later.join();
    }
    EXPECT_EQ(waitFor(writer), 0);

    std::string text = readFile(path);
    EXPECT_TRUE(text == next) << "the writer's text is not the file (" << text.size() << " bytes, "
                              << occurrences(text, "[added]") << " [added] stanzas)";
  }
}

// ---------------------------------------------------------------- migration

// A rename would send the rest of an in-place writer's bytes to a file that
// no longer has the name: while another process has the old file open for
// writing, the load migrates in memory only and warns; once it closes the
// file, the next load migrates and stores. Only a writer counts: a reader
// does not stop the store.
TEST_F(ConfigProc, AMigrationIsNotStoredOverAFileOpenForWriting) {
  if (!leasesWork(dir_.path())) GTEST_SKIP() << "this file system grants no leases";
  const std::string old = "[s]\nkeep = yes\n[ornrte]\n";
  const std::string migrated = migratedAlone(old, "held.conf");
  ASSERT_NE(migrated, old);

  const struct {
    const char* description;
    int flags;
    bool stored;
  } rows[] = {
      {"open for writing", O_WRONLY, false},
      {"open for reading and writing", O_RDWR, false},
      {"open for reading only", O_RDONLY, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    std::string path = dir_.file("held.conf");
    ASSERT_TRUE(writeFile(path, old));
    Signal opened;
    Gate release;
    pid_t holder = spawn([&] {
      int fd = ::open(path.c_str(), row.flags | O_CLOEXEC);
      if (fd < 0) return 1;
      opened.post();
      release.pass();
      ::close(fd);
      return 0;
    });
    ASSERT_GE(holder, 0);
    ASSERT_TRUE(opened.await(1));

    LogCapture log;
    {
      OrnStanzaFileProperties p;
      ASSERT_NO_THROW(p.load(path.c_str()));
      EXPECT_EQ(value(p, "meta-info", "version"), "1792");
      EXPECT_EQ(value(p, "ornrte", "boot-start-ornproxyd"), "no");
      EXPECT_EQ(p.text(), migrated);
    }
    EXPECT_EQ(readFile(path), row.stored ? migrated : old);
    auto warnings = log.withId(kWriterOpenWarning);
    EXPECT_EQ(warnings.size(), row.stored ? 0u : 1u);
    if (!warnings.empty()) {
      EXPECT_EQ(warnings[0].severity, "WARNING");
      EXPECT_NE(warnings[0].text.find(path), std::string::npos) << warnings[0].text;
    }

    release.open();
    EXPECT_EQ(waitFor(holder), 0);
    log.clear();
    OrnStanzaFileProperties again;
    ASSERT_NO_THROW(again.load(path.c_str()));
    EXPECT_EQ(readFile(path), migrated);
    EXPECT_EQ(again.text(), migrated);
    EXPECT_TRUE(log.withId(kWriterOpenWarning).empty());
  }
}

// Counts, through inotify, the renames onto one name and the temporary
// files made beside it: one store is one of each.
class StoreCounter {
 public:
  StoreCounter(const std::string& dir, const std::string& base) : base_(base) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO | IN_CREATE) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~StoreCounter() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  // Takes the events queued so far.
  void drain() {
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return;
      for (char* at = buffer; at < buffer + n;) {
        auto* e = reinterpret_cast<struct inotify_event*>(at);
        std::string name = e->len ? e->name : "";
        if ((e->mask & IN_MOVED_TO) && name == base_) ++renames;
        if ((e->mask & IN_CREATE) && name.rfind("." + base_ + ".tmp", 0) == 0) ++temporaries;
        at += sizeof(struct inotify_event) + e->len;
      }
    }
  }
  int renames = 0, temporaries = 0;

 private:
  int fd_ = -1;
  std::string base_;
};

// Eight processes released together load one old file: a load reads
// without the lock, and only one that must migrate takes it and reads
// again, so the first migrates and stores and the others find the current
// file and leave it alone.
TEST_F(ConfigProc, EightProcessesLoadingAnOldFileMigrateItOnce) {
  constexpr int kProcesses = 8;
  const std::string old =
      "# settings\n[s]\nkeep = yes\n[ornrte]\n[aznapi-configuration]\norn-user-name = u/h\n";
  const std::string migrated = migratedAlone(old, "shared.conf");
  ASSERT_NE(migrated, old);
  ASSERT_EQ(occurrences(migrated, "[meta-info]"), 1);

  const struct {
    const char* description;
    bool tool;
  } rows[] = {{"library loads", false}, {"ornutil config migrate", true}};
  for (const auto& row : rows) {
    if (row.tool) {
      ASSERT_TRUE(toolBuilt()) << ORNUTIL_TOOL << " is not built";
    }
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(row.description) + ", round " + std::to_string(round));
      std::string path = dir_.file("shared.conf");
      ASSERT_TRUE(writeFile(path, old));
      StoreCounter counter(dir_.path(), "shared.conf");
      ASSERT_TRUE(counter.ok());
      Gate gate;
      std::vector<pid_t> pids;
      for (int i = 0; i < kProcesses; ++i) {
        std::string out = dir_.file("out/" + std::to_string(i)), err = dir_.file("err/" + std::to_string(i));
        pid_t pid = spawn([&] {
          gate.pass();
          if (row.tool) execTool({"config", "migrate", path}, out, err);
          OrnStanzaFileProperties p;
          p.load(path.c_str());
          return p.text() == migrated ? 0 : 1;
        });
        ASSERT_GE(pid, 0);
        pids.push_back(pid);
      }
      gate.open();
      for (int i = 0; i < kProcesses; ++i) {
        int status = waitFor(pids[i]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "process " << i << " " << describeStatus(status) << " "
            << readFile(dir_.path() + "/err/" + std::to_string(i));
        if (row.tool) {
          EXPECT_EQ(readFile(dir_.path() + "/out/" + std::to_string(i)), "1792\n") << i;
        }
      }
      counter.drain();
      std::string text = readFile(path);
      EXPECT_EQ(text, migrated);
      EXPECT_EQ(occurrences(text, "[meta-info]"), 1) << text;
      EXPECT_EQ(counter.renames, 1) << "stores of the migrated file";
      EXPECT_EQ(counter.temporaries, 1) << "stores begun";
      EXPECT_EQ(strangers(dir_, "shared.conf"), (std::vector<std::string>{"err", "out"}));
    }
  }
}

// ---------------------------------------------------------------- bounded waits

// A load that must migrate waits for a lock another process holds for a
// bounded time only (five seconds), then migrates in memory for the loading
// process, logs it and leaves the file to the holder, whose cycle goes on
// undisturbed. Without the bound the loader would wait as long as the
// holder, here until its deadline.
TEST_F(ConfigProc, ALoadThatMustMigrateWaitsForAHeldLockOnlySoLong) {
  const std::string old = "[s]\nk = v\n";
  const std::string path = dir_.file("held.conf");
  ASSERT_TRUE(writeFile(path, old));
  Signal locked;
  Gate release;
  pid_t holder = spawn([&] {
    ZStanzaFileProperties_7_0_0 p(1);
    p.lockFile(path.c_str());
    locked.post();
    release.pass();
    p.unlockFile();
    return 0;
  });
  ASSERT_GE(holder, 0);
  ASSERT_TRUE(locked.await(1));
  pid_t loader = spawn([&] {
    LogCapture log;
    OrnStanzaFileProperties p;
    p.load(path.c_str());
    if (p.getIntegerValue("meta-info", "version", 0, 0) != 1792u) return 1;
    if (log.withId(0x1354a0c7u).size() != 1) return 2;
    return readFile(path) == old ? 0 : 3;
  });
  ASSERT_GE(loader, 0);
  int status = waitFor(loader);
  release.open();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describeStatus(status);
  status = waitFor(holder);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describeStatus(status);
  EXPECT_EQ(readFile(path), old);
}

// ---------------------------------------------------------------- crashes

// Version n of a file of about 200 KiB, so that a kill often lands inside
// a store.
std::string version(int n) {
  std::string text = std::string("[meta-info]\nversion = ") + std::to_string(n) + "\n";
  for (int s = 0; s < 40; ++s) {
    text += "\n# stanza " + std::to_string(s) + "\n[s" + std::to_string(s) + "]\n";
    for (int k = 0; k < 100; ++k)
      text += "key" + std::to_string(k) + " = value " + std::to_string(n) + "-" + std::to_string(s * k) + "\n";
  }
  return text;
}

// A process storing in a loop is killed at random moments, many times: the
// file always holds one whole version; a kill before the rename leaves at
// most one temporary file, which the next store (made under the lock)
// removes; and after one clean store nothing but the file and its lock file
// is left.
TEST_F(ConfigProc, StoresKilledAtRandomMomentsLeaveAWholeFileAndNothingBehind) {
  constexpr int kRounds = 150;
  std::string path = dir_.file("killed.conf");
  ASSERT_TRUE(writeFile(path, version(0)));
  std::mt19937 random(20261210);
  int roundsLeavingATemporary = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Signal started;
    pid_t pid = spawn([&] {
      ZStanzaFileProperties_7_0_0 p(1);
      for (int n = round * 100000 + 1;; ++n) {
        p.parseText(version(n), "child");
        if (n == round * 100000 + 1) started.post();
        p.store(path.c_str());
      }
      return 0;
    });
    ASSERT_GE(pid, 0);
    ASSERT_TRUE(started.await(1));
    ::usleep(static_cast<useconds_t>(random() % 6000));
    ::kill(pid, SIGKILL);
    int status = waitFor(pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << describeStatus(status);

    const std::string text = readFile(path);
    const std::string head = "[meta-info]\nversion = ";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text.substr(0, 64);
    const int n = std::atoi(text.c_str() + head.size());
    ASSERT_TRUE(text == version(n)) << "a torn file at version " << n << " (" << text.size() << " bytes)";
    std::vector<std::string> left = strangers(dir_, "killed.conf");
    ASSERT_LE(left.size(), 1u) << "temporary files of earlier stores were not removed: " << joined(left);
    if (!left.empty()) {
      ++roundsLeavingATemporary;
      const std::string& t = left[0];
      EXPECT_TRUE(t.size() == std::string(".killed.conf.tmp").size() + 8 && t.rfind(".killed.conf.tmp", 0) == 0 &&
                  t.find_first_not_of("0123456789abcdef", 16) == std::string::npos)
          << t;
    }
  }
  EXPECT_GT(roundsLeavingATemporary, 0) << "no kill landed inside a store: the test shows nothing";

  ZStanzaFileProperties_7_0_0 clean(1);
  clean.parseText(version(999999), "clean");
  ASSERT_NO_THROW(clean.store(path.c_str()));
  EXPECT_EQ(strangers(dir_, "killed.conf"), std::vector<std::string>{});
  EXPECT_TRUE(readFile(path) == version(999999));
  std::printf("[          ] %d of %d kills left a temporary file\n", roundsLeavingATemporary, kRounds);
}

}  // namespace
