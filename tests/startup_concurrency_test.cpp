// Concurrent first calls: one start-up, one pair of caches, one compliance
// read, and path look-ups racing look-ups that add entries and orn_set_path.
// Run under ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"
#include "util/KelMsg.h"
#include "util/fipsMode.h"
#include "util/getpath.h"

namespace {

ORNUTIL_CHILD_TEST(StartupRaceChild, ManyThreadsAtOnce) {
  std::string why;
  ASSERT_TRUE(ornutil_test::enterSandbox(
      {{"/opt/BrenmoorWarden/etc/orn.conf", "[ornrte]\ncorvan_common_dir = /c\n[ssl]\nssl-compliance = bogus\n"}},
      &why))
      << why;
  ornutil_test::LogCapture log;
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<const char*> modes(kThreads), roots(kThreads);
  std::vector<unsigned char*> texts(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      switch (t % 4) {
        case 0: ornutil_init(); break;
        case 1: orn_get_path("/opt/BrenmoorWarden/etc/orn.conf"); break;
        case 2: orn_set_path("#race", "/r"); break;
        default: kelmsg_init("racer"); break;
      }
      modes[t] = getCompliance();
      texts[t] = kel_i18n_msg(0x1065206e);
      roots[t] = orn_get_path("#orn_undefined_orn_ccd_root");
      for (int i = 0; i < 200; ++i) {
        std::string key = "/opt/BrenmoorWarden/etc/k" + std::to_string((i * 7 + t) % 50);
        const char* p = orn_get_path(key.c_str());
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(std::string(p), key);
        if (i % 20 == 0) orn_set_path("#shared", t % 2 ? "/one" : "/two");
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) {
    EXPECT_EQ(modes[t], modes[0]);
    EXPECT_EQ(texts[t], texts[0]);
    EXPECT_STREQ(roots[t], "/c");
  }
  EXPECT_STREQ(modes[0], "none");
  EXPECT_EQ(log.withId(0x15e3a0b3).size(), 1u);  // the mode was read once
}

TEST(StartupConcurrency, OneInitialisationForManyThreads) {
  std::string why;
  if (!ornutil_test::sandboxSupported(&why)) GTEST_SKIP() << "needs root and mount namespaces (" << why << ")";
  std::string output;
  EXPECT_EQ(ornutil_test::runSandboxedTest("StartupRaceChild.ManyThreadsAtOnce", {}, &output), 0) << output;
}

}  // namespace
