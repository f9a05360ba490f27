// Threads racing on the configuration registry: one factory, one object per
// file, each file loaded (and migrated, and stored) once, failed loads not
// kept, and shared objects read while other files are being registered.
#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/internal/filestore.h"
#include "foundation/zexception.h"
#include "foundation/zstring.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "util/OrnStanzaFileProperties.h"

using ornutil_test::TempDir;

namespace {

std::atomic<int> renames{0};

int countingRename(const char* from, const char* to) {
  renames.fetch_add(1);
  return ::rename(from, to);
}

// Starts `n` threads that all begin `body(index)` at the same moment.
template <typename Body>
void race(int n, Body body) {
  std::atomic<int> waiting{n};
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      body(i);
    });
  }
  for (std::thread& t : threads) t.join();
}

class RegistryRace : public ::testing::Test {
 protected:
  void SetUp() override {
    renames = 0;
    ornz::fileOps().rename = countingRename;
  }
  void TearDown() override { ornz::resetFileOps(); }
  TempDir dir;
};

// The first use in a process: run in a fresh child, where factory_ is
// still null.
ORNUTIL_CHILD_TEST(RegistryFirstUse, InChild) {
  ASSERT_EQ(OrnStanzaFileProperties::factory_, nullptr);
  TempDir dir;
  std::string path = dir.file("opt/BrenmoorWarden/etc/orn.conf");
  ASSERT_TRUE(ornutil_test::writeFile(path, "[ssl]\nssl-enable-fips = no\n"));
  renames = 0;
  ornz::fileOps().rename = countingRename;
  constexpr int kThreads = 8;
  ZStanzaFileProperties_7_0_0* got[kThreads] = {};
  OrnStanzaFileProperties::OrnStanzaFilePropertiesFactory* factories[kThreads] = {};
  race(kThreads, [&](int i) {
    got[i] = OrnStanzaFileProperties::getRegisteredPropertiesFor(path.c_str(), 0);
    factories[i] = __atomic_load_n(&OrnStanzaFileProperties::factory_, __ATOMIC_ACQUIRE);
  });
  ornz::resetFileOps();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_NE(got[i], nullptr);
    EXPECT_EQ(got[i], got[0]);
    EXPECT_EQ(factories[i], factories[0]);
    EXPECT_NE(dynamic_cast<OrnStanzaFileProperties*>(got[i]), nullptr);
  }
  EXPECT_NE(factories[0], nullptr);
  EXPECT_EQ(renames.load(), 1) << "migrated and stored once";
  ZUTF8String_7_0_0 v;
  got[0]->getValue("ssl", "ssl-compliance", v, 0, nullptr);
  EXPECT_STREQ(v.getChars(), "none");
}

TEST(RegistryFirstUse, OneFactoryOneObjectOneStore) {
  if (ornutil_test::inChild()) GTEST_SKIP();
  std::string output;
  EXPECT_EQ(ornutil_test::runTestInChild("RegistryFirstUse.InChild", {}, &output), 0) << output;
}

TEST_F(RegistryRace, OneObjectPerFileEachLoadedOnce) {
  constexpr int kFiles = 6, kThreads = 6;
  std::vector<std::string> paths;
  for (int f = 0; f < kFiles; ++f) {
    paths.push_back(dir.file("etc/race" + std::to_string(f) + ".conf"));
    ASSERT_TRUE(ornutil_test::writeFile(paths.back(), "[a]\nfile = " + std::to_string(f) + "\n"));
  }
  ZStanzaFileProperties_7_0_0* got[kThreads][kFiles] = {};
  race(kThreads, [&](int t) {
    for (int k = 0; k < kFiles; ++k) {
      int f = (k + t) % kFiles;  // every thread in its own order
      got[t][f] = OrnStanzaFileProperties::getRegisteredPropertiesFor(paths[f].c_str(), 0);
    }
  });
  std::set<ZStanzaFileProperties_7_0_0*> distinct;
  for (int f = 0; f < kFiles; ++f) {
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(got[t][f], got[0][f]);
    distinct.insert(got[0][f]);
    EXPECT_EQ(got[0][f]->getIntegerValue("a", "file", 0, 99), static_cast<unsigned>(f));
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kFiles));
  EXPECT_EQ(renames.load(), kFiles) << "each old file stored once";
}

TEST_F(RegistryRace, AFailedLoadIsNotKeptAndMayBeRetried) {
  std::string path = dir.file("etc/late.conf");
  std::atomic<int> failures{0};
  race(4, [&](int) {
    try {
      OrnStanzaFileProperties::getRegisteredPropertiesFor(path.c_str(), 0);
    } catch (ZException_7_0_0& e) {
      if (e.code == ornz::kCodeFileNotFound) failures.fetch_add(1);
    }
  });
  EXPECT_EQ(failures.load(), 4);
  ASSERT_TRUE(ornutil_test::writeFile(path, "[meta-info]\nversion = 1792\n[a]\nk = here\n"));
  ZStanzaFileProperties_7_0_0* got[4] = {};
  race(4, [&](int i) { got[i] = OrnStanzaFileProperties::getRegisteredPropertiesFor(path.c_str(), 0); });
  for (auto* p : got) EXPECT_EQ(p, got[0]);
  ZUTF8String_7_0_0 v;
  got[0]->getValue("a", "k", v, 0, nullptr);
  EXPECT_STREQ(v.getChars(), "here");
}

TEST_F(RegistryRace, SharedObjectsAreReadWhileOtherFilesAreRegistered) {
  std::string shared = dir.file("etc/shared.conf");
  std::string text = "[meta-info]\nversion = 1792\n";
  for (int s = 0; s < 20; ++s) {
    text += "[s" + std::to_string(s) + "]\n";
    for (int k = 0; k < 20; ++k) text += "k" + std::to_string(k) + " = " + std::to_string(s * k) + "\n";
  }
  ASSERT_TRUE(ornutil_test::writeFile(shared, text));
  ZStanzaFileProperties_7_0_0* p = OrnStanzaFileProperties::getRegisteredPropertiesFor(shared.c_str(), 0);
  std::atomic<int> wrong{0};
  race(4, [&](int t) {
    if (t == 0) {
      for (int f = 0; f < 30; ++f) {
        std::string other = dir.file("etc/other" + std::to_string(f) + ".conf");
        ornutil_test::writeFile(other, "[x]\n");
        OrnStanzaFileProperties::getRegisteredPropertiesFor(other.c_str(), 0);
      }
      return;
    }
    for (int round = 0; round < 50; ++round) {
      for (int s = 0; s < 20; ++s) {
        std::string stanza = "s" + std::to_string(s);
        std::string key = "k" + std::to_string((s + round) % 20);
        ZLCString_7_0_0 v;
        p->getValue(stanza.c_str(), key.c_str(), v, 0, nullptr);
        if (std::to_string(s * ((s + round) % 20)) != v.getChars()) wrong.fetch_add(1);
        if (!p->exists(stanza.c_str()) || p->numValues(stanza.c_str()) != 20) wrong.fetch_add(1);
      }
      if (OrnStanzaFileProperties::getRegisteredPropertiesFor(shared.c_str(), 0) != p) wrong.fetch_add(1);
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
