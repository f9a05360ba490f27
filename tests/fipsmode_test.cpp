// The compliance mode: read once per process from the product's
// configuration, logged and defaulted to "none" when missing or invalid.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"
#include "util/fipsMode.h"

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
