// Configuration files under the cases a process running as root meets: every
// kind of file at the name (links, FIFOs, devices, sockets, directories, a
// huge sparse file) against every operation (load, store, the C loader, the
// tool); planted lock files; versions no release wrote; metadata that must
// survive a store; leftovers of stores that died. Everything happens in a
// scratch directory; device nodes are made there.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <grp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "foundation/internal/filestore.h"
#include "foundation/zexception.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/planted_files.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "tests/support/tool_runner.h"
#include "util/OrnStanzaFileProperties.h"
#include "util/cfgfile.h"
#include "util/getpath.h"

using ornutil_test::readFile;
using ornutil_test::inForkedChild;
using ornutil_test::TempDir;
using ornutil_test::writeFile;

namespace {

const char kCurrent[] = "[meta-info]\nversion = 1792\n\n[s]\nk = v\n";
const char kOld[] = "[s]\nk = v\n";

// A hang is the failure these tests look for: end the test binary instead.
class Deadline {
 public:
  explicit Deadline(unsigned seconds) { ::alarm(seconds); }
  ~Deadline() { ::alarm(0); }
};

bool isLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

mode_t typeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

// The kind code of the ZException_7_0_0 `op` raises; 0 when it raises none.
template <typename Op>
int codeOf(Op op, std::string* text = nullptr) {
  try {
    op();
  } catch (ZException_7_0_0& e) {
    if (text) *text = e.text;
    return e.code;
  }
  return 0;
}

using ornutil_test::shellQuote;
using ornutil_test::ToolResult;

ToolResult tool(const TempDir& scratch, const std::vector<std::string>& args) {
  return ornutil_test::runTool(scratch.path(), args);
}

std::vector<std::string> lockFilesIn(const std::string& dir) {
  std::vector<std::string> locks;
  for (const std::string& name : ornutil_test::listDir(dir))
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0) locks.push_back(name);
  std::sort(locks.begin(), locks.end());
  return locks;
}

// ---------------------------------------------------------------- kinds of file x operations

enum class Kind { kRegular, kSymlink, kChain, kDangling, kFifo, kDevice, kSocket, kDirectory, kHuge };

struct KindRow {
  const char* description;
  Kind kind;
  int loadCode;         // kind code load raises (0: loads)
  int storeCode;        // kind code store raises (0: stores)
  unsigned itemStatus;  // config_item_load's result
  int toolStatus;       // exit status of the tool's get, set and migrate
};

const KindRow kKinds[] = {
    {"regular file", Kind::kRegular, 0, 0, 0, 0},
    {"symbolic link", Kind::kSymlink, 0, 0, 0, 0},
    {"chain of relative links", Kind::kChain, 0, 0, 0, 0},
    {"dangling link", Kind::kDangling, ornz::kCodeFileNotFound, ornz::kCodeFileNotWritable, 0x1354a0c8u, 3},
    {"FIFO", Kind::kFifo, ornz::kCodeFileUnreadable, ornz::kCodeFileNotWritable, 0x1354a0c8u, 3},
    {"character device", Kind::kDevice, ornz::kCodeFileUnreadable, ornz::kCodeFileNotWritable, 0x1354a0c8u, 3},
    {"socket", Kind::kSocket, ornz::kCodeFileUnreadable, ornz::kCodeFileNotWritable, 0x1354a0c8u, 3},
    {"directory", Kind::kDirectory, ornz::kCodeFileUnreadable, ornz::kCodeFileNotWritable, 0x1354a0c8u, 3},
    {"1 TB sparse file", Kind::kHuge, ornz::kCodeFileUnreadable, 0, 0x1354a0c8u, 3},
};

void PrintTo(const KindRow& row, std::ostream* os) { *os << row.description; }

// Makes `name` in `dir` of the given kind; returns the real file behind it
// (the name itself when it is no link).
std::string make(const TempDir& dir, const std::string& name, Kind kind, const std::string& content) {
  std::string path = dir.file(name);
  std::string real = dir.file("real.conf");
  switch (kind) {
    case Kind::kRegular:
      EXPECT_TRUE(writeFile(path, content));
      return path;
    case Kind::kSymlink:
      EXPECT_TRUE(writeFile(real, content));
      EXPECT_EQ(::symlink("real.conf", path.c_str()), 0);
      return real;
    case Kind::kChain:
      EXPECT_TRUE(writeFile(real, content));
      EXPECT_EQ(::symlink("../real.conf", dir.file("sub/middle.conf").c_str()), 0);
      EXPECT_EQ(::symlink("sub/middle.conf", path.c_str()), 0);
      return real;
    case Kind::kDangling:
      EXPECT_EQ(::symlink("nowhere/missing.conf", path.c_str()), 0);
      return dir.path() + "/nowhere/missing.conf";
    case Kind::kFifo:
      EXPECT_EQ(::mkfifo(path.c_str(), 0644), 0);
      return path;
    case Kind::kDevice:
      // The numbers of the null device, on a node of our own.
      EXPECT_EQ(::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << std::strerror(errno);
      return path;
    case Kind::kSocket: {
      int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
      struct sockaddr_un addr;
      std::memset(&addr, 0, sizeof addr);
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
      EXPECT_EQ(::bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
      ::close(s);
      return path;
    }
    case Kind::kDirectory:
      EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
      return path;
    case Kind::kHuge: {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      EXPECT_GE(fd, 0);
      EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
      EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(1) << 40), 0) << std::strerror(errno);
      ::close(fd);
      return path;
    }
  }
  return path;
}

class FileKinds : public ::testing::TestWithParam<KindRow> {
 protected:
  TempDir dir;
};

TEST_P(FileKinds, LoadAndStoreReadOnlyRegularFilesAndReplaceOnlyThem) {
  const KindRow& row = GetParam();
  Deadline deadline(60);
  std::string name = dir.file("f.conf");
  std::string real = make(dir, "f.conf", row.kind, kCurrent);
  mode_t typeBefore = typeOf(name);

  ZStanzaFileProperties_7_0_0 loaded(1);
  std::string why;
  EXPECT_EQ(codeOf([&] { loaded.load(name.c_str()); }, &why), row.loadCode) << why;
  if (row.loadCode == 0) {
    ZUTF8String_7_0_0 v;
    loaded.getValue("s", "k", v, 0, nullptr);
    EXPECT_STREQ(v.getChars(), "v");
  } else {
    EXPECT_NE(why.find(name), std::string::npos) << why;  // the message names the file
  }
  // A load, whatever it found, made nothing on disk.
  EXPECT_EQ(lockFilesIn(dir.path()), std::vector<std::string>{});

  ZStanzaFileProperties_7_0_0 changed(1);
  changed.parseText(kCurrent, "text");
  changed.setValue("s", "k", "new", 0);
  EXPECT_EQ(codeOf([&] { changed.store(name.c_str()); }, &why), row.storeCode) << why;
  EXPECT_EQ(typeOf(name), typeBefore) << "the name is still what it was";
  if (row.storeCode == 0) {
    EXPECT_EQ(readFile(real), changed.text());
    // The lock goes beside the real file, not beside the link.
    std::string realBase = real.substr(real.rfind('/') + 1);
    EXPECT_TRUE(exists(real + ".lock"));
    EXPECT_EQ(exists(name + ".lock"), name == real);
  } else {
    if (row.kind == Kind::kDangling) {
      EXPECT_FALSE(exists(real)) << "nothing was made at the end of the link";
    }
    EXPECT_EQ(lockFilesIn(dir.path()), std::vector<std::string>{});
  }
}

TEST_P(FileKinds, TheCLoaderAndTheToolAnswerWithoutHangingOrAborting) {
  const KindRow& row = GetParam();
  Deadline deadline(120);
  std::string name = dir.file("f.conf");
  make(dir, "f.conf", row.kind, kCurrent);

  ZLCString_7_0_0 value;
  ZStzFileItem_7_0_0 item = {ZSTZ_ITEM_LCSTRING, "s", "k", 0, &value, nullptr};
  EXPECT_EQ(config_item_load(name.c_str(), &item, 1, 0), row.itemStatus);

  for (const char* action : {"get", "migrate", "set"}) {
    SCOPED_TRACE(action);
    std::vector<std::string> args = {"config", action, name};
    if (std::strcmp(action, "get") == 0) args.insert(args.end(), {"s", "k"});
    if (std::strcmp(action, "set") == 0) args.insert(args.end(), {"s", "k", "w"});
    ToolResult r = tool(dir, args);
    EXPECT_EQ(r.status, row.toolStatus) << r.err;
    if (row.toolStatus != 0) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(r.out, "");
    }
  }
  // A file the tool cannot read gets no lock file beside it; the huge one
  // is a regular file, locked before it is found too large.
  if (row.toolStatus != 0 && row.kind != Kind::kHuge) {
    EXPECT_EQ(lockFilesIn(dir.path()), std::vector<std::string>{});
  }
  if (row.kind == Kind::kSymlink || row.kind == Kind::kChain) {
    EXPECT_TRUE(isLink(name));
    EXPECT_NE(readFile(dir.path() + "/real.conf").find("k = w"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileKinds, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<KindRow>& info) {
                           std::string n;
                           for (const char* p = info.param.description; *p; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) n += *p;
                           return n;
                         });

// ---------------------------------------------------------------- symbolic links

TEST(SymbolicLinks, AMigrationThroughALinkChangesTheRealFileAndKeepsTheLink) {
  TempDir dir;
  std::string real = dir.file("etc/real.conf");
  ASSERT_TRUE(writeFile(real, kOld));
  std::string link = dir.file("link.conf");
  ASSERT_EQ(::symlink("etc/real.conf", link.c_str()), 0);
  OrnStanzaFileProperties p;
  p.load(link.c_str());
  EXPECT_TRUE(isLink(link));
  EXPECT_NE(readFile(real).find("version = 1792"), std::string::npos);
  EXPECT_TRUE(exists(real + ".lock"));
  EXPECT_FALSE(exists(link + ".lock"));
  // Temporary files were made beside the real file, and none is left.
  EXPECT_EQ(ornutil_test::listDir(dir.path() + "/etc").size(), 2u);
}

// ---------------------------------------------------------------- lock files

TEST(PlantedLockFiles, AreRefusedAndNeverFollowedOrOpened) {
  Deadline deadline(60);
  for (const ornutil_test::PlantedKind& row : ornutil_test::kPlantedKinds) {
    SCOPED_TRACE(row.description);
    TempDir dir;
    std::string file = dir.file("f.conf"), victim = dir.file("victim");
    ASSERT_TRUE(writeFile(file, kOld));
    row.plant(file + ".lock", victim);
    std::string victimBefore = readFile(victim);
    bool victimExisted = exists(victim);
    ornutil_test::OpenWatch watch(file + ".lock", victim);
    ASSERT_TRUE(watch.ok());

    // A load that must migrate cannot lock: migrated for this process only.
    ornutil_test::LogCapture log;
    OrnStanzaFileProperties p;
    p.load(file.c_str());
    EXPECT_EQ(p.getIntegerValue("meta-info", "version", 0, 0), 1792u);
    EXPECT_EQ(readFile(file), kOld);
    EXPECT_EQ(log.withId(0x1354a0c7u).size(), 1u);

    // A store refuses; so does the tool, with the exit status of a file
    // that cannot be locked.
    std::string why;
    EXPECT_EQ(codeOf([&] { p.store(file.c_str()); }, &why), ornz::kCodeLockFailed);
    EXPECT_NE(why.find(file + ".lock"), std::string::npos) << why;
    ToolResult r = tool(dir, {"config", "set", file, "s", "k", "w"});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(readFile(file), kOld);
    EXPECT_FALSE(watch.opened()) << "what was planted was opened";
    EXPECT_EQ(exists(victim), victimExisted);
    EXPECT_EQ(readFile(victim), victimBefore);
  }
}

TEST(LockFiles, AreCloseOnExecAndNoWiderThanTheFile) {
  TempDir dir;
  std::string file = dir.file("secret.conf");
  ASSERT_TRUE(writeFile(file, kCurrent));
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  ZStanzaFileProperties_7_0_0 p(file.c_str(), 1);
  p.lockFile(file.c_str());
  struct stat st;
  ASSERT_EQ(::stat((file + ".lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The lock's descriptor does not reach programs this process starts.
  int inherited = std::system(("test -z \"$(ls -l /proc/$$/fd | grep -F " + shellQuote(file + ".lock") + ")\"").c_str());
  EXPECT_EQ(inherited, 0);
  p.unlockFile();
}

TEST(LockFiles, ALoadThatStoresNothingMakesNothing) {
  TempDir dir;
  std::string current = dir.file("current.conf");
  ASSERT_TRUE(writeFile(current, kCurrent));
  OrnStanzaFileProperties p;
  p.load(current.c_str());
  ZLCString_7_0_0 value;
  ZStzFileItem_7_0_0 item = {ZSTZ_ITEM_LCSTRING, "s", "k", 0, &value, nullptr};
  EXPECT_EQ(config_item_load(current.c_str(), &item, 1, 0), 0u);
  EXPECT_EQ(config_item_load(dir.file("missing.conf").c_str(), &item, 1, 0), 0x1354a0c8u);
  EXPECT_EQ(config_item_load(dir.file("missing-ok.conf").c_str(), &item, 1, ZPROPERTIES_MISSING_OK), 0u);
  for (const std::string& name : {dir.file("missing.conf"), dir.path() + "/", std::string("-")})
    EXPECT_EQ(tool(dir, {"config", "get", name, "s", "k"}).status, 3) << name;
  EXPECT_EQ(lockFilesIn(dir.path()), std::vector<std::string>{});
  EXPECT_FALSE(exists("-.lock"));
}

// ---------------------------------------------------------------- versions

TEST(Versions, AVersionNoReleaseWroteIsLeftAloneWithAWarning) {
  struct Row {
    const char* value;
    bool understood;
  } rows[] = {
      {"1792abc", false}, {"4294967296", false}, {"99999999999999999999", false}, {"-1", false},
      {"0x700", false},   {"", false},           {"1 792", false},               {"01792", true},
      {"4294967295", true}, {"1791", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("version = ") + row.value);
    TempDir dir;
    std::string file = dir.file("f.conf");
    std::string text = std::string("[meta-info]\nversion = ") + row.value + "\n[ssl]\nssl-keyfile = k\n";
    ASSERT_TRUE(writeFile(file, text));
    ornutil_test::LogCapture log;
    OrnStanzaFileProperties p;
    p.load(file.c_str());
    auto warnings = log.withId(0x1354a0d0u);
    bool migrated = readFile(file) != text;
    if (row.understood) {
      EXPECT_TRUE(warnings.empty());
      EXPECT_EQ(migrated, std::string(row.value) == "1791");
    } else {
      EXPECT_FALSE(migrated) << readFile(file);
      EXPECT_FALSE(p.exists("ssl", "ssl-local-domain")) << "not migrated in memory either";
      EXPECT_EQ(lockFilesIn(dir.path()), std::vector<std::string>{});
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_NE(warnings[0].text.find(file), std::string::npos) << warnings[0].text;
      EXPECT_NE(warnings[0].text.find(std::string("\"") + row.value + "\""), std::string::npos)
          << warnings[0].text;
    }
  }
}

TEST(Versions, IntegerValuesOutOfRangeReadAsTheDefault) {
  ZStanzaFileProperties_7_0_0 p(1);
  p.parseText("[n]\nbig = 4294967296\nhuge = 99999999999999999999\nmax = 4294967295\nminus = -1\nmixed = 12x\n",
              "text");
  EXPECT_EQ(p.getIntegerValue("n", "big", 0, 7), 7u);
  EXPECT_EQ(p.getIntegerValue("n", "huge", 0, 7), 7u);
  EXPECT_EQ(p.getIntegerValue("n", "max", 0, 7), 4294967295u);
  EXPECT_EQ(p.getIntegerValue("n", "minus", 0, 7), 4294967295u);
  EXPECT_EQ(p.getIntegerValue("n", "mixed", 0, 7), 7u);
}

// ---------------------------------------------------------------- migration

// postLoad called on an object that was not read from the name it is given
// (made in memory; the file there missing, or holding something else)
// migrates the object and stores it under that name, as a load of an old
// file stores it, with nothing logged.
TEST(Migration, PostLoadStoresAnObjectNotReadFromTheNameUnderThatName) {
  for (const char* before : {static_cast<const char*>(nullptr), "[other]\nx = 1\n"}) {
    SCOPED_TRACE(before ? "over another file" : "no file yet");
    TempDir dir;
    const std::string file = dir.file("migrated.conf");
    if (before) {
      ASSERT_TRUE(writeFile(file, before));
    }
    ornutil_test::LogCapture log;
    OrnStanzaFileProperties p;
    p.parseText(kOld, "memory");
    p.postLoad(file.c_str());
    EXPECT_TRUE(log.withId(0x1354a0c7u).empty());
    EXPECT_EQ(p.getIntegerValue("meta-info", "version", 0, 0), 1792u);
    EXPECT_EQ(readFile(file), p.text());
  }
}

// ---------------------------------------------------------------- bytes kept

TEST(LineEnds, ACarriageReturnEndingTheFileIsKeptWhenALineFollows) {
  struct Row {
    const char* before;
    const char* after;
  } rows[] = {
      {"[a]\nk = v\r", "[a]\nk = v\r\nk2 = w"},
      {"[a]\r\nk = v\r", "[a]\r\nk = v\r\nk2 = w"},
      {"[a]\nk = v\r\r", "[a]\nk = v\r\r\nk2 = w"},
      {"[a]\nk = v", "[a]\nk = v\nk2 = w"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(std::string(row.before)));
    TempDir dir;
    std::string file = dir.file("f.conf");
    ASSERT_TRUE(writeFile(file, row.before));
    ZStanzaFileProperties_7_0_0 p(file.c_str(), 1);
    p.setValue("a", "k2", "w", 0);
    p.store(file.c_str());
    EXPECT_EQ(::testing::PrintToString(readFile(file)), ::testing::PrintToString(std::string(row.after)));
  }
}

// ---------------------------------------------------------------- metadata

// A POSIX access ACL in the kernel's extended-attribute form: a 4-byte
// version (2), then entries of tag, permissions and id.
std::string accessAcl(std::uint32_t namedUser) {
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  const std::uint32_t none = 0xffffffffu;
  const Entry entries[] = {
      {0x01, 6, none},       // user::rw-
      {0x02, 6, namedUser},  // user:<id>:rw-
      {0x04, 4, none},       // group::r--
      {0x10, 6, none},       // mask::rw- (the group bits of the mode show this)
      {0x20, 0, none},       // other::---
  };
  std::string out(4, '\0');
  std::uint32_t version = 2;
  std::memcpy(&out[0], &version, 4);
  out.append(reinterpret_cast<const char*>(entries), sizeof entries);
  return out;
}

std::string attribute(const std::string& path, const char* name) {
  char value[256];
  ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? std::string("(none)") : std::string(value, static_cast<std::size_t>(n));
}

TEST(Metadata, AclAndExtendedAttributesSurviveAStore) {
  TempDir dir;
  std::string file = dir.file("f.conf");
  ASSERT_TRUE(writeFile(file, kCurrent));
  std::string acl = accessAcl(4321);
  if (::setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
    GTEST_SKIP() << "this file system holds no ACLs: " << std::strerror(errno);
  if (::setxattr(file.c_str(), "user.origin", "admin", 5, 0) != 0)
    GTEST_SKIP() << "this file system holds no user attributes: " << std::strerror(errno);
  std::string aclBefore = attribute(file, "system.posix_acl_access");
  struct stat before;
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  ZStanzaFileProperties_7_0_0 p(file.c_str(), 1);
  p.setValue("s", "k", "changed", 0);
  p.store(file.c_str());

  struct stat after;
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "the store replaced the file";
  EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
  EXPECT_EQ(attribute(file, "system.posix_acl_access"), aclBefore);
  EXPECT_EQ(attribute(file, "user.origin"), "admin");
}

// ---------------------------------------------------------------- modes

TEST(Modes, ANewFileGetsWhatTheUmaskLeavesOf0666AndItsLockNoMore) {
  const struct {
    mode_t umask, mode;
  } rows[] = {{077, 0600}, {022, 0644}, {002, 0664}, {027, 0640}, {0, 0666}};
  for (const auto& row : rows) {
    SCOPED_TRACE("umask " + std::to_string(row.umask));
    TempDir dir;
    const std::string file = dir.file("new.conf");
    // The umask belongs to the process: set in a child of its own.
    EXPECT_EQ(inForkedChild([&] {
                ::umask(row.umask);
                ZStanzaFileProperties_7_0_0 p(1);
                p.setValue("s", "k", "v", 0);
                p.store(file.c_str());
                return 0;
              }),
              0);
    struct stat st, lock;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, row.mode);
    ASSERT_EQ(::stat((file + ".lock").c_str(), &lock), 0);
    EXPECT_EQ(lock.st_mode & 07777 & ~row.mode, 0u) << "the lock file is wider than the file";
  }
}

// Owner and group that cannot be kept narrow the mode, as `cp -p` does: no
// one gets access through the new owner's group or as others that they
// did not have before, and the set-ID bits go.
TEST(Modes, NarrowedModeTakesAwayWhatTheNewOwnerOrGroupWouldGain) {
  const struct {
    mode_t old;
    bool ownerKept, groupKept;
    mode_t expected;
  } rows[] = {
      {06755, true, true, 06755}, {0664, false, false, 0644}, {0664, false, true, 0664}, {0664, true, false, 0644},
      {0606, false, false, 0600}, {06666, false, false, 0666}, {0640, false, true, 0640}, {01644, false, false, 01644},
      {0004, false, true, 0000},  {0070, true, false, 0000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.old) + (row.ownerKept ? " owner" : "") + (row.groupKept ? " group" : ""));
    EXPECT_EQ(ornz::narrowedMode(row.old, row.ownerKept, row.groupKept), row.expected);
  }
}

// A replaced file keeps owner, group and mode where the writer may keep
// them (root); a writer that may not (another user, in the file's group or
// not) gets a file of its own whose mode gives no one more than before.
TEST(Modes, AReplacedFileKeepsOwnerGroupAndModeOrNarrowsThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of other users";
  const uid_t kOwner = 1234, kWriter = 4321;
  const struct {
    const char* description;
    uid_t writer;             // 0: root
    bool writerInFileGroup;   // the writer's supplementary groups hold the file's
    mode_t before, after;
    uid_t uid;
    gid_t gid;
  } rows[] = {
      {"root keeps everything", 0, false, 06640, 06640, kOwner, kOwner},
      {"another user, group and others readable", kWriter, false, 0664, 0644, kWriter, kWriter},
      {"another user, set-ID bits", kWriter, false, 06666, 0666, kWriter, kWriter},
      {"another user, others but not the group", kWriter, false, 0606, 0600, kWriter, kWriter},
      {"a member of the file's group keeps the group", kWriter, true, 02664, 0664, kWriter, kOwner},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string file = dir.file("owned.conf");
    ASSERT_TRUE(writeFile(file, kCurrent));
    ASSERT_EQ(::chown(file.c_str(), kOwner, kOwner), 0);
    ASSERT_EQ(::chmod(file.c_str(), row.before), 0);
    EXPECT_EQ(inForkedChild([&] {
                if (row.writer != 0) {
                  gid_t groups[] = {kOwner};
                  if (::setgroups(row.writerInFileGroup ? 1 : 0, groups) != 0) return 10;
                  if (::setresgid(row.writer, row.writer, row.writer) != 0) return 11;
                  if (::setresuid(row.writer, row.writer, row.writer) != 0) return 12;
                }
                ZStanzaFileProperties_7_0_0 p(1);
                p.parseText("[meta-info]\nversion = 1792\n\n[s]\nk = changed\n", "test");
                p.store(file.c_str());
                return 0;
              }),
              0);
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(readFile(file), "[meta-info]\nversion = 1792\n\n[s]\nk = changed\n");
    EXPECT_EQ(st.st_mode & 07777, row.after);
    EXPECT_EQ(st.st_uid, row.uid);
    EXPECT_EQ(st.st_gid, row.gid);
  }
}

// ---------------------------------------------------------------- leftovers

TEST(Leftovers, AStoreRemovesTemporaryFilesOfStoresThatDiedAndNothingElse) {
  TempDir dir;
  std::string file = dir.file("f.conf");
  ASSERT_TRUE(writeFile(file, kCurrent));
  const std::vector<std::string> stale = {".f.conf.tmp0123abcd", ".f.conf.tmpffffffff"};
  const std::vector<std::string> kept = {".f.conf.tmp0123ABCD", ".f.conf.tmp0123abc", ".f.conf.tmp0123abcde",
                                         ".g.conf.tmp0123abcd", "f.conf.tmp0123abcd", ".f.conf.tmp-link"};
  for (const std::string& name : stale) ASSERT_TRUE(writeFile(dir.file(name), "half a file"));
  for (const std::string& name : kept) ASSERT_TRUE(writeFile(dir.file(name), "someone else's"));
  ASSERT_EQ(::symlink("f.conf", dir.file(".f.conf.tmp89abcdef").c_str()), 0);  // not a file of ours

  ZStanzaFileProperties_7_0_0 p(file.c_str(), 1);
  p.setValue("s", "k", "w", 0);
  p.store(file.c_str());
  for (const std::string& name : stale) EXPECT_FALSE(exists(dir.path() + "/" + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(exists(dir.path() + "/" + name)) << name;
  EXPECT_TRUE(isLink(dir.path() + "/.f.conf.tmp89abcdef"));
}

TEST(Leftovers, TemporaryNamesAreExactlyThoseOfTheStore) {
  EXPECT_TRUE(ornz::isTemporaryName(".a.conf.tmp0123abcd", "a.conf"));
  EXPECT_FALSE(ornz::isTemporaryName(".a.conf.tmp0123abcd", "b.conf"));
  EXPECT_FALSE(ornz::isTemporaryName(".a.conf.tmp0123abcg", "a.conf"));
  EXPECT_FALSE(ornz::isTemporaryName(".a.conf.tmp", "a.conf"));
}

// ---------------------------------------------------------------- start-up

// The files start-up reads, as FIFOs and devices in a private view of /etc
// and /opt: start-up finishes, with the values it has without them, and
// makes nothing beside them.
ORNUTIL_CHILD_TEST(StartupSpecialFilesChild, InChild) {
  std::string why;
  ASSERT_TRUE(ornutil_test::enterSandbox({{"/opt/BrenmoorWarden/etc/keep", ""}}, &why)) << why;
  const bool device = std::getenv("AS_DEVICE") != nullptr;
  for (const char* path : {"/etc/cqy.conf", "/etc/kvt/corvan/common/cfg/log.properties",
                           "/opt/BrenmoorWarden/etc/orn.conf"}) {
    ornutil_test::writeFileAt(path, "");
    ASSERT_EQ(::unlink(path), 0);
    int rc = device ? ::mknod(path, S_IFCHR | 0666, makedev(1, 3)) : ::mkfifo(path, 0644);
    ASSERT_EQ(rc, 0) << path << ": " << std::strerror(errno);
  }
  Deadline deadline(20);
  ornutil_init();
  EXPECT_STREQ(orn_get_path("/opt/BrenmoorWarden/etc/kelmgrd.conf"), "/opt/BrenmoorWarden/etc/kelmgrd.conf");
  EXPECT_EQ(typeOf("/opt/BrenmoorWarden/etc/orn.conf"), device ? S_IFCHR : S_IFIFO);
  EXPECT_EQ(lockFilesIn("/opt/BrenmoorWarden/etc"), std::vector<std::string>{});
  EXPECT_FALSE(exists("/etc/cqy.conf.lock"));
  EXPECT_FALSE(exists("/etc/kvt/corvan/common/cfg/log.properties.lock"));
}

// An old orn.conf whose lock name is a planted link: start-up migrates it
// for the process and follows no link.
ORNUTIL_CHILD_TEST(StartupPlantedLockChild, InChild) {
  std::string why;
  ASSERT_TRUE(ornutil_test::enterSandbox({{"/opt/BrenmoorWarden/etc/orn.conf", "[ssl]\nssl-enable-fips = yes\n"}},
                                         &why))
      << why;
  ASSERT_EQ(::symlink("/opt/victim", "/opt/BrenmoorWarden/etc/orn.conf.lock"), 0);
  ornutil_init();
  EXPECT_FALSE(exists("/opt/victim"));
  EXPECT_EQ(readFile("/opt/BrenmoorWarden/etc/orn.conf"), "[ssl]\nssl-enable-fips = yes\n");
}

class StartupFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::string why;
    static bool supported = ornutil_test::sandboxSupported(&why);
    if (!supported) GTEST_SKIP() << "needs root and mount namespaces (" << why << ")";
  }
  void runChild(const char* test, std::vector<std::pair<std::string, std::string>> env = {}) {
    std::string output;
    EXPECT_EQ(ornutil_test::runSandboxedTest(test, env, &output), 0) << output;
  }
};

TEST_F(StartupFiles, FifosAndDevicesNeitherBlockNorGetReplaced) {
  runChild("StartupSpecialFilesChild.InChild");
  runChild("StartupSpecialFilesChild.InChild", {{"AS_DEVICE", "1"}});
}

TEST_F(StartupFiles, APlantedLockLinkIsNotFollowed) { runChild("StartupPlantedLockChild.InChild"); }

}  // namespace
