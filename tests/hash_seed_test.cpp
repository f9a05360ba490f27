// The keyed text hash and what rests on it: a key of its own in every
// process, names aimed at one key scattered under another, tables that stay
// within their probe bound when names are aimed at them, and wire forms and
// traces that do not change with the key.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "foundation/internal/hash.h"
#include "foundation/ornasn.h"
#include "foundation/zarraylist.h"
#include "foundation/zhashkeymap.h"
#include "foundation/zstring.h"
#include "tests/support/child_process.h"
#include "util/NameValueMap.h"

namespace {

constexpr std::uint64_t kLow12 = 0xfff;

// `count` names "<prefix><number>" whose hashes under `key` share their low
// 12 bits with `target`: what an attacker who knew the key would send.
std::vector<std::string> aimedNames(const ornz::HashKey& key, std::uint64_t salt, std::uint64_t target,
                                    std::size_t count, const std::string& prefix = "attr-") {
  std::vector<std::string> names;
  for (std::uint64_t i = 0; names.size() < count; ++i) {
    std::string name = prefix + std::to_string(i);
    if ((ornz::hashText(key, name.data(), name.size(), salt) & kLow12) == (target & kLow12)) names.push_back(name);
  }
  return names;
}

std::size_t distinctLow12(const ornz::HashKey& key, std::uint64_t salt, const std::vector<std::string>& names) {
  std::set<std::uint64_t> slots;
  for (const std::string& n : names) slots.insert(ornz::hashText(key, n.data(), n.size(), salt) & kLow12);
  return slots.size();
}

std::string hex(const void* data, std::size_t n) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", static_cast<const unsigned char*>(data)[i]);
    out += two;
  }
  return out;
}

// The text after "<marker>=" on its own line of a child's output.
std::string field(const std::string& output, const std::string& marker) {
  std::size_t at = output.find(marker + "=");
  if (at == std::string::npos) return "";
  at += marker.size() + 1;
  return output.substr(at, output.find('\n', at) - at);
}

std::string processKeyText() {
  const ornz::HashKey& k = ornz::processHashKey();
  return hex(&k, sizeof k);
}

// ---------------------------------------------------------------- the key

ORNUTIL_CHILD_TEST(HashKeyChild, PrintsItsKey) { std::printf("KEY=%s\n", processKeyText().c_str()); }

TEST(HashKey, EveryProcessDrawsItsOwnAndAForkedChildKeepsItsParents) {
  std::string first, second;
  ASSERT_EQ(ornutil_test::runTestInChild("HashKeyChild.PrintsItsKey", {}, &first), 0) << first;
  ASSERT_EQ(ornutil_test::runTestInChild("HashKeyChild.PrintsItsKey", {}, &second), 0) << second;
  ASSERT_EQ(field(first, "KEY").size(), 2 * sizeof(ornz::HashKey));
  EXPECT_NE(field(first, "KEY"), field(second, "KEY"));
  EXPECT_NE(field(first, "KEY"), processKeyText());

  // A forked child's tables are copies of its parent's: the key stays.
  const std::string mine = processKeyText();
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string k = processKeyText();
    _exit(write(pipeFds[1], k.data(), k.size()) == static_cast<ssize_t>(k.size()) ? 0 : 1);
  }
  close(pipeFds[1]);
  char got[128] = {};
  ssize_t n = read(pipeFds[0], got, sizeof got);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0), mine);
}

TEST(HashKey, TheFallbackWithoutGetrandomGivesANewKeyEachTime) {
  ornz::HashKey a = ornz::detail::keyFromProcessEntropy();
  ornz::HashKey b = ornz::detail::keyFromProcessEntropy();
  EXPECT_NE(hex(&a, sizeof a), hex(&b, sizeof b));
  EXPECT_TRUE(a.seed && a.a && a.b);
}

ORNUTIL_CHILD_TEST(HashKeyChild, PrintsItsKeyWhereGetrandomFails) {
  char probe;
  ASSERT_EQ(syscall(SYS_getrandom, &probe, 1, GRND_NONBLOCK), -1);
  ASSERT_EQ(errno, EAGAIN);
  const ornz::HashKey& key = ornz::processHashKey();
  EXPECT_TRUE(key.seed && key.a && key.b);
  std::printf("KEY=%s\n", processKeyText().c_str());
}

// Runs that test in a new process where getrandom fails as it does before
// the kernel's pool is ready (EAGAIN under GRND_NONBLOCK), from its very
// start: a filter installed before the exec makes every call fail so (the
// key is drawn when the library is loaded). Returns the child's output.
std::string outputWithoutGetrandom() {
  char outName[] = "/tmp/ornutil-hash-XXXXXX";
  int outFd = mkstemp(outName);
  if (outFd < 0) return "mkstemp failed";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(outFd, STDERR_FILENO);
    setenv("ORNUTIL_TEST_CHILD", "1", 1);
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
      _exit(125);
    execl("/proc/self/exe", "hash_seed_test", "--gtest_filter=HashKeyChild.PrintsItsKeyWhereGetrandomFails",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(outFd);
  int status = 0;
  waitpid(pid, &status, 0);
  std::string text;
  if (FILE* f = std::fopen(outName, "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
  }
  unlink(outName);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "\nexit status " + std::to_string(status);
  return text;
}

TEST(HashKey, AProcessWithoutGetrandomStillDrawsAKeyOfItsOwn) {
  std::string first = outputWithoutGetrandom(), second = outputWithoutGetrandom();
  ASSERT_NE(first.find("[  PASSED  ] 1 test."), std::string::npos) << first;
  ASSERT_NE(second.find("[  PASSED  ] 1 test."), std::string::npos) << second;
  ASSERT_FALSE(field(first, "KEY").empty());
  EXPECT_NE(field(first, "KEY"), field(second, "KEY"));
}

TEST(HashKey, AStringsHashIsTheTextHashUnderTheProcessKey) {
  ZUTF8String_7_0_0 owned("/opt/BrenmoorWarden/etc/orn.conf");
  ZLCConstString_7_0_0 view("/opt/BrenmoorWarden/etc/orn.conf");
  EXPECT_EQ(owned.hash(), view.hash());
  EXPECT_EQ(owned.hash(), ornz::hashText(ornz::processHashKey(), owned.data(), owned.size()));
}

// ---------------------------------------------------------------- aimed names

struct Aim {
  const char* description;
  std::string prefix;  // texts of every length class of the hash
};

class AimedNames : public ::testing::TestWithParam<Aim> {};

TEST_P(AimedNames, NamesAimedAtOneKeyAreScatteredUnderAnother) {
  // The hash as it was, with constants anyone could read: the key an
  // attacker would aim at.
  const ornz::HashKey known{0xa0761d6478bd642full, 0xe7037ed1a0b428dbull, 0x8ebc6af09c88c6e3ull};
  std::vector<std::string> names = aimedNames(known, 0, 0x5a5, 400, GetParam().prefix);
  ASSERT_EQ(distinctLow12(known, 0, names), 1u);  // all in one slot of 4096
  // 400 names in 4096 slots at random fill about 381: under the process's
  // key, and under the known key with another salt (a table's new salt).
  EXPECT_GT(distinctLow12(ornz::processHashKey(), 0, names), 340u);
  EXPECT_GT(distinctLow12(known, ornz::mum(1, 0x9e3779b97f4a7c15ull), names), 340u);
}

INSTANTIATE_TEST_SUITE_P(
    ByLength, AimedNames,
    ::testing::Values(Aim{"short", ""}, Aim{"eight_to_sixteen", "name-"},
                      Aim{"seventeen_to_thirty_two", "/opt/BrenmoorWarden/"},
                      Aim{"thirty_three_to_forty_eight", "/opt/BrenmoorWarden/etc/component-"},
                      Aim{"beyond_forty_eight", std::string(70, 'x')}),
    [](const ::testing::TestParamInfo<Aim>& info) { return std::string(info.param.description); });

TEST(HashKey, AWordThatZeroesAFactorNoLongerMakesEveryTextCollide) {
  // Under the old fixed hash, any 9- to 16-byte text starting with the
  // bytes of its constant hashed to the same value, whatever followed.
  std::string prefix(8, '\0');
  const std::uint64_t constant = 0xe7037ed1a0b428dbull;
  std::memcpy(&prefix[0], &constant, 8);
  std::set<std::uint64_t> hashes;
  for (int i = 0; i < 1000; ++i) {
    std::string text = prefix + std::to_string(i);
    hashes.insert(ornz::hashText(text.data(), text.size()));
  }
  EXPECT_EQ(hashes.size(), 1000u);
}

// ---------------------------------------------------------------- tables aimed at

class ConcurrentMap : public ZHashKeyMap_7_0_0 {
 public:
  ConcurrentMap() : ZHashKeyMap_7_0_0(4, 1) { enableConcurrentReaders(); }
};

enum class AddBy { putEntry, adoptText, putEntryWithReaders };

class AimedTable : public ::testing::TestWithParam<AddBy> {};

TEST_P(AimedTable, AnInsertWalksNoFurtherThanTheBoundWhenEveryNameIsAimedAtTheTable) {
  ConcurrentMap concurrent;
  ZHashKeyMap_7_0_0 plain(4, 1);
  ZHashKeyMap_7_0_0& map = GetParam() == AddBy::putEntryWithReaders ? static_cast<ZHashKeyMap_7_0_0&>(concurrent)
                                                                     : plain;
  auto add = [&](const std::string& name) {
    if (GetParam() == AddBy::adoptText) {
      bool adopted = false;
      map.adoptTextIfAbsent(name.data(), name.size(), new ZUTF8String_7_0_0(name.c_str()), adopted);
      ASSERT_TRUE(adopted);
    } else {
      ZUTF8String_7_0_0 value(name.c_str());
      map.putEntry(ZUTF8ConstString_7_0_0(name.c_str()), &value);
    }
  };
  add("first");
  // Every later name lands in the home slot of "first" under the table's
  // own key (kept as the table grows to 4096 slots): without the bound,
  // the n-th insert walks n slots.
  const ZHashKeyMap_7_0_0::ProbeStats born = map.probeStats();
  const ornz::HashKey& key = ornz::processHashKey();
  const std::vector<std::string> names = aimedNames(key, born.salt, ornz::hashText(key, "first", 5, born.salt), 2000);
  for (const std::string& name : names) add(name);

  const ZHashKeyMap_7_0_0::ProbeStats after = map.probeStats();
  EXPECT_NE(after.salt, born.salt);
  EXPECT_LE(after.longest, after.bound);
  EXPECT_LE(after.bound, 8u + 8u * 12u);
  // Linear work in all: a few slots per name, as for names no one chose.
  EXPECT_LE(after.total, 4u * (names.size() + 1));

  // Nothing lost or reordered by placing the names anew.
  ASSERT_EQ(map.size(), static_cast<int>(names.size() + 1));
  ZArrayList_7_0_0 keys(16, 0);
  map.listKeys(keys);
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto* k = static_cast<ZAbstractString_7_0_0*>(keys.get(static_cast<int>(i + 1)));
    ASSERT_EQ(std::string(k->data(), k->size()), names[i]);
    auto* v = static_cast<ZAbstractString_7_0_0*>(map.find(names[i].data(), names[i].size()));
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(std::string(v->data(), v->size()), names[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(ByWayOfAdding, AimedTable,
                         ::testing::Values(AddBy::putEntry, AddBy::adoptText, AddBy::putEntryWithReaders),
                         [](const ::testing::TestParamInfo<AddBy>& info) {
                           switch (info.param) {
                             case AddBy::putEntry: return std::string("putEntry");
                             case AddBy::adoptText: return std::string("adoptText");
                             default: return std::string("putEntryWithReaders");
                           }
                         });

TEST(AimedTableCopy, ACopyOfATableThatTookANewSaltFindsEveryName) {
  ZHashKeyMap_7_0_0 map(4, 1);
  ZUTF8String_7_0_0 v("v");
  map.putEntry(ZUTF8ConstString_7_0_0("first"), &v);
  const std::uint64_t born = map.probeStats().salt;
  const ornz::HashKey& key = ornz::processHashKey();
  const std::vector<std::string> names = aimedNames(key, born, ornz::hashText(key, "first", 5, born), 300);
  for (const std::string& name : names) map.putEntry(ZUTF8ConstString_7_0_0(name.c_str()), &v);
  ASSERT_NE(map.probeStats().salt, born);
  ZHashKeyMap_7_0_0 copy(map);
  for (const std::string& name : names) ASSERT_NE(copy.find(name.data(), name.size()), nullptr) << name;
  for (const std::string& name : names) map.removeEntry(ZUTF8ConstString_7_0_0(name.c_str()));
  EXPECT_EQ(map.size(), 1);
  EXPECT_NE(map.find("first", 5), nullptr);
}

// ---------------------------------------------------------------- nothing sent depends on the key

// A tree with names of every length class, many names at one level (so
// that its table grows), repeated values and a nested level.
ORNUTIL_CHILD_TEST(HashKeyChild, EncodesAndTracesATree) {
  NameValueMap tree;
  for (int i = 0; i < 300; ++i) {
    std::string name = (i % 3 == 0 ? "n" : i % 3 == 1 ? "attribute-name-" : "/opt/BrenmoorWarden/etc/component-") +
                       std::to_string(i);
    tree.addString(name.c_str(), ("value " + std::to_string(i)).c_str());
    if (i % 50 == 0) tree.addString(name.c_str(), "second");
  }
  NameValueMap* sub = tree.addSubtree("nested");
  for (int i = 0; i < 40; ++i) sub->addString(("inner" + std::to_string(i)).c_str(), "x");
  tree.addString("password", "secret");

  orn_asn_buffer_t wire{0, nullptr};
  unsigned long status = 1;
  tree.encode(wire, status);
  ASSERT_EQ(status, 0u);
  ZUTF8String_7_0_0 trace;
  tree.buildTraceBuf(trace, 0);
  std::printf("KEY=%s\nWIRE=%s\nTRACE=%s\n", processKeyText().c_str(),
              hex(wire.data, static_cast<std::size_t>(wire.length)).c_str(), hex(trace.data(), trace.size()).c_str());
  orn_asn_buffer_free(&wire);
}

TEST(HashKey, TheWireFormAndTheTraceOfATreeAreTheSameUnderEveryKey) {
  std::string first, second;
  ASSERT_EQ(ornutil_test::runTestInChild("HashKeyChild.EncodesAndTracesATree", {}, &first), 0) << first;
  ASSERT_EQ(ornutil_test::runTestInChild("HashKeyChild.EncodesAndTracesATree", {}, &second), 0) << second;
  ASSERT_NE(field(first, "KEY"), field(second, "KEY"));
  ASSERT_FALSE(field(first, "WIRE").empty());
  ASSERT_FALSE(field(first, "TRACE").empty());
  EXPECT_EQ(field(first, "WIRE"), field(second, "WIRE"));
  EXPECT_EQ(field(first, "TRACE"), field(second, "TRACE"));
}

}  // namespace
