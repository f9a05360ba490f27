// The process lock factory. Its settings are process-wide and made once, so
// every case runs in a fresh copy of this program (threadsafe death-test
// style) that exits 0 when all its checks held.
#include "util/MrProcessLock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/zexception.h"
#include "tests/support/lock_test_dir.h"

using ornutil_test::LockTestDir;

namespace {

using Lock = std::unique_ptr<ZAbstractReadWriteLock_7_0_0>;

template <typename T>
bool is(const Lock& lock) {
  return dynamic_cast<T*>(lock.get()) != nullptr;
}

// Runs `body` in a fresh copy of this program; its checks must all hold.
void inFreshProcess(void (*body)()) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        body();
        std::_Exit(testing::Test::HasFailure() ? 1 : 0);
      },
      testing::ExitedWithCode(0), "");
}

TEST(MrProcessLockFactoryTest, WithoutSettingsHandsOutStubLocks) {
  inFreshProcess([] {
    LockTestDir dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    MrProcessLockFactory* factory = MrProcessLockFactory::getLockFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(MrProcessLockFactory::theLockFactory_, factory);
    EXPECT_EQ(factory->getFactoryType(), MrProcessLockFactory::mrproclock_stub);
    EXPECT_STREQ(factory->getLockDirectory().getChars(), ".");
    Lock lock(MrProcessLockFactory::newLock("qyb.config"));
    ASSERT_TRUE(is<ZStubProcessReadWriteFileLock_7_0_0>(lock));
    EXPECT_STREQ(static_cast<ZStubProcessReadWriteFileLock_7_0_0*>(lock.get())->getName(),
                 "qyb.config");
    EXPECT_FALSE(dir.exists("qyb.config.lock"));
    ASSERT_EQ(chdir("/"), 0);
  });
}

TEST(MrProcessLockFactoryTest, SettingsReachOnlyLocksMadeAfterwards) {
  inFreshProcess([] {
    LockTestDir first, second;
    MrProcessLockFactory* factory = MrProcessLockFactory::getLockFactory();
    Lock before(MrProcessLockFactory::newLock("db"));

    factory->setFactoryType(MrProcessLockFactory::mrproclock_file);
    factory->setLockDirectory(first.path().c_str());
    EXPECT_STREQ(factory->getLockDirectory().getChars(), first.path().c_str());
    Lock file(MrProcessLockFactory::newLock("db"));
    ASSERT_TRUE(is<ZUnixProcessReadWriteFileLock_7_0_0>(file));
    EXPECT_TRUE(first.exists("db.lock"));

    // The stub made before the change still takes nothing.
    EXPECT_TRUE(is<ZStubProcessReadWriteFileLock_7_0_0>(before));
    before->writeLock();
    EXPECT_TRUE(file->tryWriteLock());
    file->unlock();
    before->unlock();

    // A new directory: the earlier file lock keeps its own.
    factory->setLockDirectory(second.path().c_str());
    Lock moved(MrProcessLockFactory::newLock("db"));
    EXPECT_TRUE(second.exists("db.lock"));
    EXPECT_STREQ(static_cast<ZUnixProcessReadWriteFileLock_7_0_0*>(file.get())->getPath(),
                 first.file("db.lock").c_str());
    file->writeLock();
    EXPECT_TRUE(moved->tryWriteLock());
    moved->unlock();
    file->unlock();

    // The two-argument form takes the directory but not the type.
    factory->setFactoryType(MrProcessLockFactory::mrproclock_stub);
    Lock chosen(MrProcessLockFactory::newLock("other", MrProcessLockFactory::mrproclock_file));
    EXPECT_TRUE(is<ZUnixProcessReadWriteFileLock_7_0_0>(chosen));
    EXPECT_TRUE(second.exists("other.lock"));
  });
}

TEST(MrProcessLockFactoryTest, GetLockDirectoryIsTheFactorysOwnString) {
  inFreshProcess([] {
    MrProcessLockFactory* factory = MrProcessLockFactory::getLockFactory();
    const ZUTF8String_7_0_0* seen = &factory->getLockDirectory();
    factory->setLockDirectory("/var/locks");
    EXPECT_EQ(&factory->getLockDirectory(), seen);
    EXPECT_STREQ(seen->getChars(), "/var/locks");
  });
}

TEST(MrProcessLockFactoryTest, PolicyServerPrefix) {
  EXPECT_STREQ(MrProcessLockFactory::policyserverPrefix, "qyb");
}

// The in-process lock ignores name and directory, and any type that is not
// a stub or a file lock makes one.
TEST(MrProcessLockNewLockTest, InProcessLocksIgnoreNameAndDirectory) {
  LockTestDir dir;
  std::string absent = dir.file("absent");
  for (int type : {1, 3, -1, 1000}) {
    SCOPED_TRACE(type);
    Lock lock(MrProcessLockFactory::newLock(
        "../../x", static_cast<MrProcessLockFactory::mrproclocktype>(type), absent.c_str()));
    EXPECT_TRUE(is<ZReadWriteLock_7_0_0>(lock));
  }
  EXPECT_FALSE(dir.exists("absent"));
}

TEST(MrProcessLockNewLockTest, ExplicitKindsMakeTheirLockClass) {
  LockTestDir dir;
  Lock stub(MrProcessLockFactory::newLock("a", MrProcessLockFactory::mrproclock_stub,
                                          dir.path().c_str()));
  EXPECT_TRUE(is<ZStubProcessReadWriteFileLock_7_0_0>(stub));
  EXPECT_FALSE(dir.exists("a.lock"));
  Lock file(MrProcessLockFactory::newLock("a", MrProcessLockFactory::mrproclock_file,
                                          dir.path().c_str()));
  EXPECT_TRUE(is<ZUnixProcessReadWriteFileLock_7_0_0>(file));
  EXPECT_TRUE(dir.exists("a.lock"));
}

// The constructor's exception reaches the caller and the half-made lock is
// freed (the leak checker of the sanitizer build watches the latter).
TEST(MrProcessLockNewLockTest, AnUnusableDirectoryReachesTheCaller) {
  LockTestDir dir;
  std::string absent = dir.file("absent");
  try {
    Lock lock(MrProcessLockFactory::newLock("db", MrProcessLockFactory::mrproclock_file,
                                            absent.c_str()));
    FAIL() << "no exception";
  } catch (const ZException_7_0_0& e) {
    EXPECT_EQ(e.code, 39);
    EXPECT_NE(std::strstr(e.what(), absent.c_str()), nullptr) << e.what();
  }
}

}  // namespace
