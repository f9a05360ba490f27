// The atomic store under faults: every step failing once or for good, and a
// writer killed in the middle of its stores. The file always holds the old
// or the new bytes, never a mixture; nothing is left behind and no
// descriptor leaks.
#include "tests/support/alloc_hook.h"  // first: this executable's allocations pass through it

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/internal/filestore.h"
#include "foundation/zexception.h"
#include "foundation/zrwlock.h"
#include "foundation/zstanzafile.h"
#include "tests/support/alloc_sweep.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

using ornutil_test::inForkedChild;
using ornutil_test::TempDir;

namespace {

// The step to fail, how often (-1: every time) and with which error.
struct Injection {
  const char* step = "";
  int times = 0;
  int err = 0;
  bool shortWrite = false;
} injection;

bool failNow(const char* step) {
  if (std::strcmp(injection.step, step) != 0 || injection.times == 0) return false;
  if (injection.times > 0) --injection.times;
  return true;
}

int faultyOpen(const char* path, int flags, mode_t mode) {
  if (failNow("open")) {
    errno = injection.err;
    return -1;
  }
  return ::open(path, flags, mode);
}

ssize_t faultyWrite(int fd, const void* data, size_t size) {
  if (failNow("write")) {
    if (injection.shortWrite) return ::write(fd, data, size / 2);
    errno = injection.err;
    return -1;
  }
  return ::write(fd, data, size);
}

int faultyFsync(int fd) {
  if (failNow("flush")) {
    errno = injection.err;
    return -1;
  }
  return ::fsync(fd);
}

int faultyRename(const char* from, const char* to) {
  if (failNow("rename")) {
    errno = injection.err;
    return -1;
  }
  return ::rename(from, to);
}

int faultyFstat(int fd, struct stat* st) {
  if (failNow("fstat")) {
    errno = injection.err;
    return -1;
  }
  return ::fstat(fd, st);
}

int faultyClose(int fd) {
  if (failNow("close")) {
    ::close(fd);  // Linux releases the descriptor even when close reports an error
    errno = injection.err;
    return -1;
  }
  return ::close(fd);
}

class StoreFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ornz::FileOps& ops = ornz::fileOps();
    ops.open = faultyOpen;
    ops.write = faultyWrite;
    ops.fsync = faultyFsync;
    ops.rename = faultyRename;
    ops.close = faultyClose;
    ops.fstat = faultyFstat;
  }
  void TearDown() override {
    ornz::resetFileOps();
    injection = Injection();
  }
};

TEST_F(StoreFaults, EveryStepFailingLeavesTheOldOrTheNewBytesAndNothingBehind) {
  const std::string oldText = "# keep me\n[a]\nk = old\n";
  struct Row {
    const char* step;
    int times;
    int err;
    bool shortWrite;
    bool stored;  // the store succeeds
  } rows[] = {
      {"open", 1, EINTR, false, true},    {"open", -1, EACCES, false, false}, {"open", -1, ENOSPC, false, false},
      {"write", 1, EINTR, false, true},   {"write", 3, 0, true, true},        {"write", -1, ENOSPC, false, false},
      {"write", -1, EIO, false, false},   {"flush", 1, EINTR, false, true},   {"flush", -1, EIO, false, false},
      {"close", -1, EIO, false, false},   {"rename", 1, EINTR, false, true},  {"rename", -1, EXDEV, false, false},
      {"rename", -1, EIO, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.step) + " " + std::to_string(r.times) + " " + std::strerror(r.err));
    TempDir dir;
    std::string path = dir.file("faults.conf");
    ASSERT_TRUE(ornutil_test::writeFile(path, oldText));
    ZStanzaFileProperties_7_0_0 p(path.c_str(), 1);
    p.setValue("a", "k", std::string(100000, 'n').c_str(), 0);
    const std::string newText = p.text();
    int fdsBefore = ornutil_test::openDescriptorCount();

    injection = Injection{r.step, r.times, r.err, r.shortWrite};
    bool stored = true;
    try {
      p.store(path.c_str());
    } catch (ZException_7_0_0& e) {
      stored = false;
      EXPECT_EQ(e.code, ornz::kCodeFileNotWritable);
      EXPECT_NE(std::string(e.text).find(path), std::string::npos) << e.text;
    }
    injection = Injection();

    EXPECT_EQ(stored, r.stored);
    std::string now = ornutil_test::readFile(path);
    EXPECT_TRUE(now == (r.stored ? newText : oldText));
    EXPECT_EQ(ornutil_test::openDescriptorCount(), fdsBefore);
    auto names = ornutil_test::listDir(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"faults.conf", "faults.conf.lock"}));
    // The object is unchanged and a later store succeeds.
    p.store(path.c_str());
    EXPECT_TRUE(ornutil_test::readFile(path) == newText);
  }
}

// Large files are written a piece at a time as they are made: a maker that
// fails, or that makes more or fewer bytes than it announced, leaves the
// target as it was and nothing beside it.
TEST_F(StoreFaults, APieceMakerThatFailsOrMissesItsSizeLeavesTheTargetAlone) {
  const std::string oldText = "[a]\nk = old\n";
  const std::string piece(100000, 'p');
  struct Row {
    const char* description;
    std::uint64_t announced;
    int pieces;
    bool throws;
  } rows[] = {
      {"the maker raises half-way", 4 * piece.size(), 2, true},
      {"fewer bytes than announced", 4 * piece.size(), 3, false},
      {"more bytes than announced", 2 * piece.size(), 3, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.description);
    TempDir dir;
    std::string path = dir.file("pieces.conf");
    ASSERT_TRUE(ornutil_test::writeFile(path, oldText));
    int fdsBefore = ornutil_test::openDescriptorCount();
    auto make = [&](ornz::ByteSink& out) {
      for (int i = 0; i < r.pieces; ++i) out.put(piece.data(), piece.size());
      if (r.throws) throw std::runtime_error("the maker failed");
    };
    if (r.throws) {
      EXPECT_THROW(ornz::writeFileAtomically(path, r.announced, make, true), std::runtime_error);
    } else {
      try {
        ornz::writeFileAtomically(path, r.announced, make, true);
        ADD_FAILURE() << "stored";
      } catch (ZException_7_0_0& e) {
        EXPECT_EQ(e.code, ornz::kCodeFileNotWritable);
      }
    }
    EXPECT_EQ(ornutil_test::readFile(path), oldText);
    EXPECT_EQ(ornutil_test::listDir(dir.path()), std::vector<std::string>{"pieces.conf"});
    EXPECT_EQ(ornutil_test::openDescriptorCount(), fdsBefore);
  }
}

TEST_F(StoreFaults, FailedLoadsLeakNoDescriptor) {
  TempDir dir;
  int before = ornutil_test::openDescriptorCount();
  ZStanzaFileProperties_7_0_0 p(1);
  EXPECT_THROW(p.load(dir.file("absent.conf").c_str()), ZException_7_0_0);
  EXPECT_THROW(p.load(dir.path().c_str()), ZException_7_0_0);
  std::string bad = dir.file("bad.conf");
  ASSERT_TRUE(ornutil_test::writeFile(bad, "junk\n"));
  EXPECT_THROW(p.load(bad.c_str()), ZPropertiesInvalidDataException_7_0_0);
  EXPECT_EQ(ornutil_test::openDescriptorCount(), before);
}

// A lock file whose record cannot be read is refused with the error that
// kept it from being read; what is at the name is never judged from a
// record fstat did not fill. The same for the process lock factory's lock
// files, which are opened the same way.
TEST_F(StoreFaults, ALockFileThatCannotBeExaminedIsRefusedNamingTheError) {
  TempDir dir;
  const std::string path = dir.file("examined.conf"), oldText = "[a]\nk = v\n";
  ASSERT_TRUE(ornutil_test::writeFile(path, oldText));
  ZStanzaFileProperties_7_0_0 p(path.c_str(), 1);
  p.setValue("a", "k", "w", 0);
  const int fdsBefore = ornutil_test::openDescriptorCount();

  injection = Injection{"fstat", 1, EIO};
  try {
    p.store(path.c_str());
    ADD_FAILURE() << "stored";
  } catch (ZException_7_0_0& e) {
    EXPECT_EQ(e.code, ornz::kCodeLockFailed);
    EXPECT_NE(std::string(e.text).find(std::strerror(EIO)), std::string::npos) << e.text;
  }
  EXPECT_EQ(ornutil_test::readFile(path), oldText);
  EXPECT_EQ(ornutil_test::openDescriptorCount(), fdsBefore);

  injection = Injection{"fstat", 1, EIO};
  try {
    ZUnixProcessReadWriteFileLock_7_0_0 lock("db", dir.path().c_str());
    ADD_FAILURE() << "opened";
  } catch (ZException_7_0_0& e) {
    EXPECT_EQ(e.code, ornz::kCodeLockDirectory);
    ASSERT_EQ(e.inserts().size(), 4u);
    EXPECT_NE(std::string(e.inserts()[3].text).find(std::strerror(EIO)), std::string::npos) << e.text;
  }
  EXPECT_EQ(ornutil_test::openDescriptorCount(), fdsBefore);
}

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A store fails for memory at each of its allocations in turn, on a file
// another process changed since the object read it (so the store merges):
// a store that fails leaves that file as it was, and one that succeeds has
// forgotten its changes. Either way the object's next store writes each of
// its changes exactly once, and does not wait for a lock the failed store
// left behind (in a child, under a deadline: it would wait for ever).
TEST(StoreAllocationFailures, AFailedStoreChangesNothingAndTheNextMakesEachChangeOnce) {
  if (!ORNUTIL_ALLOC_HOOK) GTEST_SKIP() << "no allocation hook in this build";
  TempDir dir;
  const std::string path = dir.file("merge.conf");
  const std::string theirs = "[s]\nk = v\nother = x\n";
  long points = ornutil_test::sweep([&](ornutil_test::Step& step) {
    ASSERT_TRUE(ornutil_test::writeFile(path, "[s]\nk = v\n"));
    ZStanzaFileProperties_7_0_0 f(path.c_str(), 1);
    f.addValue("s", "multi", "one", 0);
    f.addEntryComment("s", "multi", "# note");
    ASSERT_TRUE(ornutil_test::writeFile(path, theirs));
    ornutil_test::Outcome o = step.cxx([&] { f.store(path.c_str()); });
    const std::string disk = ornutil_test::readFile(path);
    if (o != ornutil_test::Outcome::Done) {
      EXPECT_EQ(disk, theirs) << "a store that failed changed the file";
    }
    int code = inForkedChild([&] {
      ::alarm(20);
      f.store(path.c_str());
      std::string text = ornutil_test::readFile(path);
      return occurrences(text, "multi = one") == 1 && occurrences(text, "# note") == 1 &&
                     occurrences(text, "other = x") == 1
                 ? 0
                 : 1;
    });
    EXPECT_EQ(code, 0) << (code == 128 + SIGALRM ? "the next store waited for ever" : "changes made twice or lost")
                       << "\n" << disk;
  });
  EXPECT_GT(points, 0);
}

// Version n of the file: about 200 KiB, so that a kill often lands inside a
// store.
std::string version(int n) {
  std::string text = "[meta-info]\nversion = " + std::to_string(n) + "\n";
  for (int s = 0; s < 40; ++s) {
    text += "\n# stanza " + std::to_string(s) + "\n[s" + std::to_string(s) + "]\n";
    for (int k = 0; k < 100; ++k)
      text += "key" + std::to_string(k) + " = value " + std::to_string(n) + "-" + std::to_string(s * k) + "\n";
  }
  return text;
}

TEST(StoreKilled, AWriterKilledMidStoreLeavesAStoredVersion) {
  TempDir dir;
  std::string path = dir.file("killed.conf");
  ASSERT_TRUE(ornutil_test::writeFile(path, version(0)));
  std::mt19937 random(12345);
  int seen = 0;
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(ready[0]);
      ZStanzaFileProperties_7_0_0 p(1);
      for (int n = round * 100000 + 1;; ++n) {
        p.parseText(version(n), "child");
        p.store(path.c_str());
        if (n == round * 100000 + 1) {
          char c = 1;
          if (::write(ready[1], &c, 1) != 1) ::_exit(2);
        }
      }
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::usleep(static_cast<useconds_t>(random() % 20000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    ZStanzaFileProperties_7_0_0 reloaded(1);
    ASSERT_NO_THROW(reloaded.load(path.c_str()));
    long long n = reloaded.getLongLongValue("meta-info", "version", 0, -1);
    ASSERT_GE(n, round * 100000 + 1);
    ASSERT_TRUE(reloaded.text() == version(static_cast<int>(n))) << "a torn file at version " << n;
    ++seen;
  }
  EXPECT_EQ(seen, 30);
}

}  // namespace
