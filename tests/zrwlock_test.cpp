// The foundation's read/write locks: who excludes whom, for each lock class
// and each way two holders can meet (threads of one object, two objects of
// one process, two processes); the lock file and its directory's failures.
#include "foundation/zrwlock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "foundation/zexception.h"
#include "tests/support/lock_test_dir.h"
#include "tests/support/planted_files.h"
#include "tests/support/thread_actor.h"

using ornutil_test::inChild;
using ornutil_test::LockTestDir;
using ornutil_test::readyWithin;
using ornutil_test::ThreadActor;

namespace {

enum Mode { kRead, kWrite };

void take(ZAbstractReadWriteLock_7_0_0& lock, Mode mode) {
  if (mode == kRead) {
    lock.readLock();
  } else {
    lock.writeLock();
  }
}

bool tryTake(ZAbstractReadWriteLock_7_0_0& lock, Mode mode) {
  return mode == kRead ? lock.tryReadLock() : lock.tryWriteLock();
}

// ---------------------------------------------------------------- exclusion
// One holder takes the lock in `held`; a second, meeting it as the case
// says, tries `tried`. Only two readers share.

struct Meeting {
  const char* description;
  // Makes the two holders' lock objects (the same object twice, or two).
  std::function<void(const std::string& dir, std::unique_ptr<ZAbstractReadWriteLock_7_0_0>& a,
                     std::unique_ptr<ZAbstractReadWriteLock_7_0_0>& b)>
      make;
};

void PrintTo(const Meeting& m, std::ostream* os) { *os << m.description; }

const Meeting kMeetings[] = {
    {"in_process_lock_two_threads",
     [](const std::string&, auto& a, auto&) { a.reset(new ZReadWriteLock_7_0_0()); }},
    {"file_lock_two_threads_one_object",
     [](const std::string& dir, auto& a, auto&) {
       a.reset(new ZUnixProcessReadWriteFileLock_7_0_0("shared", dir.c_str()));
     }},
    {"file_lock_two_objects",
     [](const std::string& dir, auto& a, auto& b) {
       a.reset(new ZUnixProcessReadWriteFileLock_7_0_0("shared", dir.c_str()));
       b.reset(new ZUnixProcessReadWriteFileLock_7_0_0("shared", dir.c_str()));
     }},
};

class ZRwLockExclusionTest : public testing::TestWithParam<Meeting> {};

TEST_P(ZRwLockExclusionTest, OnlyReadersShare) {
  LockTestDir dir;
  for (Mode held : {kRead, kWrite}) {
    for (Mode tried : {kRead, kWrite}) {
      SCOPED_TRACE(testing::Message() << (tried == kRead ? "read" : "write") << " tried while "
                                      << (held == kRead ? "read" : "write") << " held");
      std::unique_ptr<ZAbstractReadWriteLock_7_0_0> a, b;
      GetParam().make(dir.path(), a, b);
      ZAbstractReadWriteLock_7_0_0& first = *a;
      ZAbstractReadWriteLock_7_0_0& second = b ? *b : *a;
      ThreadActor holder, contender;
      holder.run([&] { take(first, held); return 0; });
      bool shares = held == kRead && tried == kRead;
      EXPECT_EQ(contender.run([&] { return int(tryTake(second, tried)); }), int(shares));
      if (shares) contender.run([&] { second.unlock(); return 0; });

      // A waiting request is granted once the holder lets go.
      std::future<int> waiting = contender.start([&] { take(second, tried); return 1; });
      if (!shares) {
        EXPECT_NE(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::ready);
      }
      holder.run([&] { first.unlock(); return 0; });
      ASSERT_TRUE(readyWithin(waiting));
      contender.run([&] { second.unlock(); return 0; });
      EXPECT_EQ(holder.run([&] { return int(first.tryWriteLock()); }), 1);
      holder.run([&] { first.unlock(); return 0; });
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Meetings, ZRwLockExclusionTest, testing::ValuesIn(kMeetings),
                         [](const testing::TestParamInfo<Meeting>& info) {
                           return std::string(info.param.description);
                         });

TEST(ZStubLockTest, NeverBlocksAndTakesNothing) {
  LockTestDir dir;
  ZStubProcessReadWriteFileLock_7_0_0 a("stub"), b("stub");
  EXPECT_STREQ(a.getName(), "stub");
  a.writeLock();
  b.writeLock();
  EXPECT_TRUE(a.tryWriteLock());
  EXPECT_TRUE(b.tryReadLock());
  a.unlock();
  b.unlock();
  // And it has no file anywhere: a file lock of the same name is free.
  ZUnixProcessReadWriteFileLock_7_0_0 file("stub", dir.path().c_str());
  EXPECT_TRUE(file.tryWriteLock());
  file.unlock();
}

// ---------------------------------------------------------------- lock file

TEST(ZFileLockTest, MakesAnEmptyLockFileNamedAfterTheLock) {
  LockTestDir dir;
  ZUnixProcessReadWriteFileLock_7_0_0 lock("qyb.policy", dir.path().c_str());
  EXPECT_EQ(std::string(lock.getPath()), dir.file("qyb.policy.lock"));
  lock.writeLock();
  lock.unlock();
  struct stat st;
  ASSERT_EQ(stat(lock.getPath(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  int fdFlags = -1;
  // Not inherited by programs the process executes.
  for (int fd = 3; fd < 1024; ++fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0 && std::string(target, n) == lock.getPath()) fdFlags = fcntl(fd, F_GETFD);
  }
  EXPECT_NE(fdFlags, -1);
  EXPECT_TRUE(fdFlags & FD_CLOEXEC);
}

// Whether some process waits for a lock on the file (a "->" line of
// /proc/locks naming the file's inode).
bool someoneWaitsOn(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  std::ifstream in("/proc/locks");
  std::string line, inode = ":" + std::to_string(st.st_ino) + " ";
  while (std::getline(in, line)) {
    if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) return true;
  }
  return false;
}

bool waitUntilSomeoneWaitsOn(const std::string& path) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!someoneWaitsOn(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ZFileLockProcessTest : public testing::Test {
 protected:
  // What another process, with its own lock object, gets from the tries.
  int otherProcessTries(Mode mode) {
    return inChild([&] {
      ZUnixProcessReadWriteFileLock_7_0_0 other("db", dir_.path().c_str());
      return int(tryTake(other, mode));
    });
  }

  LockTestDir dir_;
  ZUnixProcessReadWriteFileLock_7_0_0 lock_{"db", dir_.path().c_str()};
};

TEST_F(ZFileLockProcessTest, AWriterExcludesTheOtherProcess) {
  lock_.writeLock();
  EXPECT_EQ(otherProcessTries(kRead), 0);
  EXPECT_EQ(otherProcessTries(kWrite), 0);
  lock_.unlock();
  EXPECT_EQ(otherProcessTries(kWrite), 1);
}

TEST_F(ZFileLockProcessTest, ReadersShareAcrossProcesses) {
  lock_.readLock();
  EXPECT_EQ(otherProcessTries(kRead), 1);
  EXPECT_EQ(otherProcessTries(kWrite), 0);
  lock_.unlock();
}

// Plain POSIX record locks would be lost here: closing any descriptor of the
// file drops every lock the process holds on it.
TEST_F(ZFileLockProcessTest, ClosingOtherDescriptorsOfTheFileKeepsTheHold) {
  lock_.writeLock();
  int fd = open(lock_.getPath(), O_RDONLY);
  ASSERT_GE(fd, 0);
  close(fd);
  { ZUnixProcessReadWriteFileLock_7_0_0 another("db", dir_.path().c_str()); }
  EXPECT_EQ(otherProcessTries(kRead), 0);
  lock_.unlock();
}

TEST_F(ZFileLockProcessTest, AWaitingProcessIsGrantedOnRelease) {
  for (Mode held : {kRead, kWrite}) {
    Mode wanted = held == kRead ? kWrite : kRead;
    SCOPED_TRACE(held == kRead ? "writer waits for reader" : "reader waits for writer");
    take(lock_, held);
    pid_t pid = fork();
    if (pid == 0) {
      ZUnixProcessReadWriteFileLock_7_0_0 other("db", dir_.path().c_str());
      take(other, wanted);
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    bool waited = waitUntilSomeoneWaitsOn(lock_.getPath());
    lock_.unlock();
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(waited);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

// ---------------------------------------------------------------- failures

struct RaisedException {
  int code = 0;
  std::vector<std::string> inserts;
};

RaisedException raisedBy(const std::function<void()>& make) {
  RaisedException r;
  try {
    make();
  } catch (const ZException_7_0_0& e) {
    r.code = e.code;
    for (const auto& insert : e.inserts()) r.inserts.push_back(insert.text);
  }
  return r;
}

TEST(ZFileLockDirectoryTest, AMissingDirectoryIsNamed) {
  LockTestDir dir;
  std::string missing = dir.file("absent");
  RaisedException r =
      raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock("db", missing.c_str()); });
  EXPECT_EQ(r.code, 39);
  EXPECT_EQ(r.inserts, (std::vector<std::string>{"db", missing, "stat",
                                                  std::strerror(ENOENT)}));
  EXPECT_FALSE(dir.exists("absent"));
}

TEST(ZFileLockDirectoryTest, AFileIsNotADirectory) {
  LockTestDir dir;
  std::string file = dir.file("plain");
  std::ofstream(file) << "x";
  RaisedException r =
      raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock("db", file.c_str()); });
  EXPECT_EQ(r.code, 39);
  ASSERT_EQ(r.inserts.size(), 4u);
  EXPECT_EQ(r.inserts[1], file);
  EXPECT_EQ(r.inserts[3], std::strerror(ENOTDIR));
}

// Permission bits do not stop root, so the directory is made unwritable by
// a read-only mount in a private mount namespace.
TEST(ZFileLockDirectoryTest, AnUnwritableDirectoryIsNamed) {
  LockTestDir dir;
  std::string ro = dir.file("ro");
  ASSERT_EQ(mkdir(ro.c_str(), 0700), 0);
  int code = inChild([&] {
    if (geteuid() != 0) {
      chmod(ro.c_str(), 0500);
    } else if (unshare(CLONE_NEWNS) != 0 ||
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
               mount("tmpfs", ro.c_str(), "tmpfs", MS_RDONLY, nullptr) != 0) {
      return 77;  // no way to make it unwritable here
    }
    RaisedException r =
        raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock("db", ro.c_str()); });
    if (r.code != 39 || r.inserts.size() != 4 || r.inserts[1] != ro ||
        r.inserts[2] != "open db.lock") {
      return 1;
    }
    return r.inserts[3] == std::strerror(EROFS) || r.inserts[3] == std::strerror(EACCES) ? 0 : 2;
  });
  if (code == 77) GTEST_SKIP() << "cannot make a directory unwritable";
  EXPECT_EQ(code, 0);
}

TEST(ZFileLockDirectoryTest, NamesThatWouldLeaveTheDirectoryAreRefused) {
  LockTestDir dir;
  std::string sub = dir.file("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  for (const char* name : {"", ".", "..", "../escape", "a/b", "/abs"}) {
    SCOPED_TRACE(name);
    RaisedException r =
        raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock(name, sub.c_str()); });
    EXPECT_EQ(r.code, 47);
  }
  EXPECT_FALSE(dir.exists("escape.lock"));
  EXPECT_EQ(raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock(nullptr, sub.c_str()); }).code,
            47);
  EXPECT_EQ(raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock("db", nullptr); }).code, 39);
}

TEST(ZFileLockDirectoryTest, ASymbolicLinkInPlaceOfTheLockFileIsNotFollowed) {
  LockTestDir dir;
  std::string target = dir.file("elsewhere");
  ASSERT_EQ(symlink(target.c_str(), dir.file("db.lock").c_str()), 0);
  RaisedException r =
      raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock("db", dir.path().c_str()); });
  EXPECT_EQ(r.code, 39);
  EXPECT_FALSE(dir.exists("elsewhere"));
}

TEST(ZFileLockDirectoryTest, SomethingElseThanAFileUnderTheNameIsRefused) {
  LockTestDir dir;
  ASSERT_EQ(mkfifo(dir.file("db.lock").c_str(), 0600), 0);
  RaisedException r =
      raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock("db", dir.path().c_str()); });
  EXPECT_EQ(r.code, 39);
}

// Whatever is planted under the lock file's name (the kinds of
// tests/support/planted_files.h) is refused before it is opened: a device's
// open may act, a FIFO's may block, a hard link would lock (and let the
// lock file's creation mode widen) another file.
TEST(ZFileLockDirectoryTest, PlantedNodesAreRefusedWithoutBeingOpened) {
  for (const ornutil_test::PlantedKind& kind : ornutil_test::kPlantedKinds) {
    SCOPED_TRACE(kind.description);
    LockTestDir dir;
    const std::string at = dir.file("db.lock"), victim = dir.file("victim");
    kind.plant(at, victim);
    const bool victimExisted = dir.exists("victim");
    ornutil_test::OpenWatch watch(at, victim);
    ASSERT_TRUE(watch.ok());
    RaisedException r = raisedBy([&] { ZUnixProcessReadWriteFileLock_7_0_0 lock("db", dir.path().c_str()); });
    EXPECT_EQ(r.code, 39);
    ASSERT_EQ(r.inserts.size(), 4u);
    EXPECT_EQ(r.inserts[2], "open db.lock");
    EXPECT_FALSE(watch.opened());
    EXPECT_EQ(dir.exists("victim"), victimExisted);
  }
}

}  // namespace
