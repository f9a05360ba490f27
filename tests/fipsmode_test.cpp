// The compliance mode: read once per process from the product's
// configuration, logged and defaulted to "none" when missing or invalid.
#include "tests/support/alloc_hook.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"
#include "util/fipsMode.h"
#include "util/getpath.h"

namespace {

ORNUTIL_CHILD_TEST(ComplianceChild, Mode) {
  std::string content = std::getenv("CONF");
  std::string at = std::getenv("CONF_AT");
  std::string why;
  std::vector<ornutil_test::SandboxFile> files;
  if (std::getenv("DATA_ROOT"))
    files.push_back({"/etc/cqy.conf", std::string("[rte]\ndata-path = ") + std::getenv("DATA_ROOT") + "\n"});
  if (!at.empty()) files.push_back({at, content});
  ASSERT_TRUE(ornutil_test::enterSandbox(files, &why)) << why;
  ornutil_test::LogCapture log;
  unsigned int alg = 0, size = 0;
  const char* mode = getSigAlgKeySize(&alg, &size);
  EXPECT_STREQ(mode, std::getenv("MODE"));
  EXPECT_EQ(alg, std::strtoul(std::getenv("ALG"), nullptr, 10));
  EXPECT_EQ(size, std::strtoul(std::getenv("SIZE"), nullptr, 10));
  std::string message = std::getenv("MESSAGE");
  auto records = log.records();
  if (message.empty()) {
    EXPECT_TRUE(log.withId(0x15e3a003).empty() && log.withId(0x15e3a0b2).empty() && log.withId(0x15e3a0b3).empty());
  } else {
    auto logged = log.withId(std::strtoul(message.c_str(), nullptr, 16));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].handle, "orn.c");
    EXPECT_EQ(logged[0].severity, "ERROR");
    EXPECT_EQ(logged[0].file, "util/fipsMode");
    const char* insert = std::getenv("INSERT");
    if (insert) {
      EXPECT_NE(logged[0].text.find(insert), std::string::npos) << logged[0].text;
    }
  }
  // Read once: a changed file and a second call give the same text, logged once.
  if (!at.empty()) ornutil_test::writeFileAt(at, "[meta-info]\nversion = 1792\n[ssl]\nssl-compliance = fips\n");
  EXPECT_EQ(getCompliance(), mode);
  EXPECT_EQ(log.records().size(), records.size());
}

// Exhausted memory while the mode is first read: every allocation of that
// first call fails in turn, each in a process of its own. A process either
// stops (SIGABRT, after logging 0x10652065) or gets the configured mode, and
// every later call in it gives the same text: never "none" for want of memory.
ORNUTIL_CHILD_TEST(ComplianceChild, ExhaustedMemory) {
  std::string why;
  ASSERT_TRUE(ornutil_test::enterSandbox(
      {{"/opt/BrenmoorWarden/etc/orn.conf", "[meta-info]\nversion = 1792\n[ssl]\nssl-compliance = suite-b-192\n"}},
      &why))
      << why;
  ornutil_test::LogCapture log;
  ornutil_init();  // start-up has its own sweep; the mode is made after it, as in a program
  int aborted = 0;
  for (long n = 1;; ++n) {
    ASSERT_LT(n, 5000) << "still reaching allocations";
    log.clear();
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ornutil_test::alloc_hook::arm(n);
      const char* first = getCompliance();
      bool reached = ornutil_test::alloc_hook::disarm();
      bool same = std::strcmp(first, "suite-b-192") == 0 && getCompliance() == first;
      _exit(!same ? 1 : reached ? 0 : 10);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    SCOPED_TRACE("allocation " + std::to_string(n) + " failing");
    if (WIFEXITED(status) && WEXITSTATUS(status) == 10) break;  // the call went through unharmed
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(WTERMSIG(status), SIGABRT);
      auto logged = log.withId(0x10652065);
      ASSERT_EQ(logged.size(), 1u) << "the stop is logged";
      EXPECT_EQ(logged[0].file, "util/fipsMode");
      EXPECT_EQ(logged[0].severity, "FATAL");
      ++aborted;
    } else {
      EXPECT_EQ(WEXITSTATUS(status), 0) << "a mode other than the configured one";
    }
  }
  EXPECT_GT(aborted, 0) << "no allocation of the first read was failed";
}

class Compliance : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::string why;
    static bool supported = ornutil_test::sandboxSupported(&why);
    if (!supported) GTEST_SKIP() << "compliance tests need root and mount namespaces (" << why << ")";
  }
};

TEST_F(Compliance, ModesAndTheirFallbacks) {
  const std::string conf = "/opt/BrenmoorWarden/etc/orn.conf";
  const std::string current = "[meta-info]\nversion = 1792\n";
  const struct {
    const char* description;
    std::string at, content;
    const char* mode;
    const char* alg;
    const char* size;
    const char* message;
    const char* insert;
  } rows[] = {
      {"no ssl stanza", conf, current, "none", "4", "2048", "15e3a0b2", nullptr},
      {"no ssl-compliance key", conf, current + "[ssl]\nx = 1\n", "none", "4", "2048", "15e3a0b2", nullptr},
      {"capital FIPS is not valid", conf, current + "[ssl]\nssl-compliance = FIPS\n", "none", "4", "2048", "15e3a0b3", "FIPS"},
      {"none", conf, current + "[ssl]\nssl-compliance = none\n", "none", "4", "2048", "", nullptr},
      {"fips", conf, current + "[ssl]\nssl-compliance = fips\n", "fips", "4", "2048", "", nullptr},
      {"transition", conf, current + "[ssl]\nssl-compliance = sp800-131-transition\n", "sp800-131-transition", "4", "2048", "", nullptr},
      {"strict", conf, current + "[ssl]\nssl-compliance = sp800-131-strict\n", "sp800-131-strict", "4", "2048", "", nullptr},
      {"suite-b-128", conf, current + "[ssl]\nssl-compliance = suite-b-128\n", "suite-b-128", "22", "256", "", nullptr},
      {"suite-b-192", conf, current + "[ssl]\nssl-compliance = suite-b-192\n", "suite-b-192", "23", "384", "", nullptr},
      {"no file at all", "", "", "none", "4", "2048", "15e3a003", conf.c_str()},
      {"unreadable file", conf, "[ssl\n", "none", "4", "2048", "15e3a003", conf.c_str()},
      {"old file migrated on load", conf, "[ssl]\nssl-enable-fips = yes\n", "fips", "4", "2048", "", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    std::vector<std::pair<std::string, std::string>> env = {
        {"CONF", row.content}, {"CONF_AT", row.at}, {"MODE", row.mode}, {"ALG", row.alg},
        {"SIZE", row.size},    {"MESSAGE", row.message}};
    if (row.insert) env.emplace_back("INSERT", row.insert);
    std::string output;
    EXPECT_EQ(ornutil_test::runSandboxedTest("ComplianceChild.Mode", env, &output), 0) << output;
  }
}

using ComplianceDeathTest = Compliance;

TEST_F(ComplianceDeathTest, ExhaustedMemoryStopsTheProcessInsteadOfWeakeningTheMode) {
#if !ORNUTIL_ALLOC_HOOK
  GTEST_SKIP() << "no allocation hook in this build";
#endif
  std::string output;
  EXPECT_EQ(ornutil_test::runSandboxedTest("ComplianceChild.ExhaustedMemory", {}, &output), 0) << output;
}

TEST_F(Compliance, IsReadFromTheDataRoot) {
  std::string output;
  EXPECT_EQ(ornutil_test::runSandboxedTest(
                "ComplianceChild.Mode",
                {{"DATA_ROOT", "/opt/data"},
                 {"CONF_AT", "/opt/data/etc/orn.conf"},
                 {"CONF", "[meta-info]\nversion = 1792\n[ssl]\nssl-compliance = suite-b-128\n"},
                 {"MODE", "suite-b-128"}, {"ALG", "22"}, {"SIZE", "256"}, {"MESSAGE", ""}},
                &output),
            0)
      << output;
}

}  // namespace
