// Start-up and the install path map. Start-up happens once per process and
// reads fixed paths under /etc and /opt, so every scenario runs in a child
// process inside its own mount namespace (tests/support/sandbox.h).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/zarraylist.h"
#include "foundation/zstring.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_env.h"
#include "util/getpath.h"

using ornutil_test::SandboxFile;

namespace {

const char* const kInstallKeys[] = {
    "/opt/BrenmoorWarden/etc/orn.conf",          "/opt/BrenmoorWarden/etc/ornversion.dat",
    "/opt/BrenmoorWarden/etc/kelacld.conf",      "/opt/BrenmoorWarden/etc/kelacld.conf.obf",
    "/opt/BrenmoorWarden/etc/ornmgrproxyd.conf", "/opt/BrenmoorWarden/etc/ornmgrproxyd.conf.obf",
    "/opt/BrenmoorWarden/etc/kelmgrd.conf",      "/opt/BrenmoorWarden/etc/kelmgrd.conf.obf",
    "/opt/BrenmoorWarden/etc/migrate.conf",      "/opt/BrenmoorWarden/etc/ldap.conf",
    "/opt/BrenmoorWarden/etc/ldap.conf.obf",     "/opt/BrenmoorWarden/etc/routing",
    "/opt/BrenmoorWarden/etc/activedir.conf",    "/opt/BrenmoorWarden/etc/ornmgrd_routing",
    "/opt/BrenmoorWarden/etc/ornacld_routing",   "/opt/BrenmoorWarden/etc/ornmgrproxyd_routing",
    "/opt/BrenmoorWarden/etc/activedir_ldap.conf", "/opt/BrenmoorWarden/etc/fenrok.conf",
    "/opt/BrenmoorWarden/etc/ornrvw.conf",
};

const char kCurrentOrnConf[] = "[meta-info]\nversion = 1792\n";

std::string path(const char* key) {
  const char* p = orn_get_path(key);
  return p ? p : "(null)";
}

void enter(const std::vector<SandboxFile>& files) {
  std::string why;
  ASSERT_TRUE(ornutil_test::enterSandbox(files, &why)) << why;
}

// ---------------------------------------------------------------- child scenarios

ORNUTIL_CHILD_TEST(StartupChild, NoFiles) {
  ASSERT_NO_FATAL_FAILURE(enter({}));
  ornutil_init();
  ASSERT_NE(ornPaths_, nullptr);
  // Only the two configuration-directory keys and the 19 install keys.
  EXPECT_EQ(ornPaths_->size(), 21);
  EXPECT_EQ(path("/kvt/corvan/common/cfg"), "/etc/kvt/corvan/common/cfg");
  EXPECT_EQ(path("#ccd_cfg_file"), "/etc/kvt/corvan/common/cfg/log.properties");
  for (const char* key : kInstallKeys) EXPECT_EQ(path(key), key);
  EXPECT_EQ(orn_get_path("#orn_undefined_ccd_root"), nullptr);
  EXPECT_EQ(orn_get_path("#orn_undefined_orn_ccd_root"), nullptr);
  EXPECT_EQ(path("@/var/BrenmoorWarden/log/x.log"), "/var/BrenmoorWarden/log/x.log");
  // NLSPATH was unset: the two product entries, a colon and nothing.
  EXPECT_STREQ(std::getenv("NLSPATH"),
               "/opt/BrenmoorWarden/nls/msg/%L/%N:/opt/BrenmoorWarden/nls/msg/%L/%N.cat:");
  EXPECT_EQ(orn_corvan_common_directory_init("XKL"), 0x1065206Fu);
}

ORNUTIL_CHILD_TEST(StartupChild, PathMapRules) {
  ASSERT_NO_FATAL_FAILURE(enter({}));
  // Default paths are added on first use and found afterwards.
  const char* first = orn_get_path("/opt/BrenmoorWarden/etc/other.conf");
  EXPECT_STREQ(first, "/opt/BrenmoorWarden/etc/other.conf");
  EXPECT_EQ(orn_get_path("/opt/BrenmoorWarden/etc/other.conf"), first);
  // Keys shorter than the log prefix, and the empty key, are default paths.
  EXPECT_EQ(path("@/var"), "@/var");
  EXPECT_EQ(path(""), "");
  // Absent setting keys stay absent.
  int before = ornPaths_->size();
  EXPECT_EQ(orn_get_path("#not_there"), nullptr);
  EXPECT_EQ(ornPaths_->size(), before);
  // orn_set_path stores the path unchanged; a replaced text stays readable.
  const char* a = orn_set_path("#setting", "/a");
  EXPECT_STREQ(a, "/a");
  EXPECT_EQ(path("#setting"), "/a");
  EXPECT_STREQ(orn_set_path("#setting", "/b"), "/b");
  EXPECT_EQ(path("#setting"), "/b");
  EXPECT_STREQ(a, "/a");
  EXPECT_EQ(orn_set_path(nullptr, "/x"), nullptr);
  EXPECT_EQ(orn_get_path(nullptr), nullptr);
  // Three texts joined.
  EXPECT_EQ(std::string(orn_get_path_instance("/opt/BrenmoorWarden/etc/", "x", ".conf")),
            "/opt/BrenmoorWarden/etc/x.conf");
  // Changing directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(orn_change_directory("#absent"), ENOENT);
  char after[4096];
  ASSERT_NE(getcwd(after, sizeof after), nullptr);
  EXPECT_STREQ(after, cwd);
  orn_set_path("#dir", "/opt");
  EXPECT_EQ(orn_change_directory("#dir"), 0);
  ASSERT_NE(getcwd(after, sizeof after), nullptr);
  EXPECT_STREQ(after, "/opt");
  orn_set_path("#missing", "/opt/no/such/dir");
  EXPECT_EQ(orn_change_directory("#missing"), ENOENT);
  // addOrnDataPath leaves short keys alone, whatever the data root.
  ornPaths_->addOrnDataPath("/opt/BrenmoorWarden");
  EXPECT_EQ(path("/opt/BrenmoorWarden"), "/opt/BrenmoorWarden");
}

ORNUTIL_CHILD_TEST(StartupChild, DataRoot) {
  const char* root = std::getenv("DATA_ROOT");
  ASSERT_NE(root, nullptr);
  ASSERT_NO_FATAL_FAILURE(enter({{"/etc/cqy.conf", std::string("[rte]\ndata-path = ") + root + "\n"}}));
  std::string expected = std::string(root) + "/etc/orn.conf";
  EXPECT_EQ(path("/opt/BrenmoorWarden/etc/orn.conf"), expected);  // no separator is merged
  EXPECT_EQ(path("/opt/BrenmoorWarden/etc/ornrvw.conf"), std::string(root) + "/etc/ornrvw.conf");
  // A default path that is not an install key is not rebased.
  EXPECT_EQ(path("/opt/BrenmoorWarden/etc/other.conf"), "/opt/BrenmoorWarden/etc/other.conf");
}

ORNUTIL_CHILD_TEST(StartupChild, LogRedirection) {
  ASSERT_NO_FATAL_FAILURE(enter({{"/opt/BrenmoorWarden/etc/orn.conf",
                                  std::string(kCurrentOrnConf) + "[ornrte]\ncorvan_common_dir = /c\n"}}));
  EXPECT_EQ(path("#orn_undefined_orn_ccd_root"), "/c");
  EXPECT_EQ(path("/var/BrenmoorWarden/log"), "/c/XKL/logs");
  EXPECT_EQ(path("@/var/BrenmoorWarden/log"), "/c/XKL/logs");
  for (const char* name : {"msg__ornacld.log", "msg__ornmgrd.log", "msg__ornmgrproxyd.log",
                           "ornconfig_proxy.log", "ornconfig_rvw.log", "ornconfig_audit.log"})
    EXPECT_EQ(path(("@/var/BrenmoorWarden/log/" + std::string(name)).c_str()), "/c/XKL/logs/" + std::string(name));
  EXPECT_EQ(path("@/var/BrenmoorWarden/log/x.log"), "/c/XKL/logs/x.log");
  EXPECT_EQ(path("@/var/BrenmoorWarden/logx"), "/c/XKL/logsx");
  // No family root: the product's keys are not published.
  EXPECT_EQ(orn_corvan_common_directory_init("XKL"), 0x1065206Fu);
  EXPECT_EQ(orn_get_path("#orn_undefined_orn_ccd_base"), nullptr);
}

ORNUTIL_CHILD_TEST(StartupChild, CommonDirectoryRoots) {
  const char* family = std::getenv("FAMILY_ROOT");
  const char* product = std::getenv("PRODUCT_ROOT");
  std::vector<SandboxFile> files;
  if (family && *family)
    files.push_back({"/etc/kvt/corvan/common/cfg/log.properties", std::string("corvan_common_dir=") + family + "\n"});
  if (product && *product)
    files.push_back({"/opt/BrenmoorWarden/etc/orn.conf",
                     std::string(kCurrentOrnConf) + "[ornrte]\ncorvan_common_dir = " + product + "\n"});
  ASSERT_NO_FATAL_FAILURE(enter(files));
  unsigned int expected = std::strtoul(std::getenv("EXPECTED"), nullptr, 16);
  EXPECT_EQ(orn_corvan_common_directory_init("XKL"), expected);
  if (expected == 0 || expected == 0x10652070u) {
    std::string p = product;
    EXPECT_EQ(path("#orn_undefined_orn_ccd_base"), p + "/XKL");
    EXPECT_EQ(path("#orn_undefined_orn_ccd_logs"), p + "/XKL/logs");
    EXPECT_EQ(path("#orn_undefined_orn_ccd_dmpx"), p + "/XKL/dmpx");
    EXPECT_EQ(path("#orn_undefined_orn_ccd_scripts"), p + "/XKL/scripts");
    // The logs key equals the common log directory built from the same root.
    EXPECT_EQ(path("#orn_undefined_orn_ccd_logs"), path("/var/BrenmoorWarden/log"));
    // A second component replaces all four; an empty one gives a bare slash.
    orn_corvan_common_directory_init("");
    EXPECT_EQ(path("#orn_undefined_orn_ccd_base"), p + "/");
    EXPECT_EQ(path("#orn_undefined_orn_ccd_logs"), p + "//logs");
  } else {
    EXPECT_EQ(orn_get_path("#orn_undefined_orn_ccd_base"), nullptr);
  }
}

ORNUTIL_CHILD_TEST(StartupChild, OldOrnConfIsMigratedAndStored) {
  ASSERT_NO_FATAL_FAILURE(enter({{"/opt/BrenmoorWarden/etc/orn.conf",
                                  "[ornrte]\ncorvan_common_dir = /c\n[ssl]\nssl-enable-fips = yes\n"}}));
  ornutil_init();
  std::string stored = ornutil_test::readFile("/opt/BrenmoorWarden/etc/orn.conf");
  EXPECT_NE(stored.find("version = 1792"), std::string::npos) << stored;
  EXPECT_NE(stored.find("ssl-compliance = fips"), std::string::npos) << stored;
  EXPECT_EQ(stored.find("ssl-enable-fips"), std::string::npos) << stored;
  EXPECT_EQ(path("/var/BrenmoorWarden/log"), "/c/XKL/logs");
}

ORNUTIL_CHILD_TEST(StartupChild, MigrationWritesAnEmptyRootAndNothingIsRedirected) {
  ASSERT_NO_FATAL_FAILURE(enter({{"/opt/BrenmoorWarden/etc/orn.conf", "[ornrte]\n"}}));
  EXPECT_EQ(path("@/var/BrenmoorWarden/log/x.log"), "/var/BrenmoorWarden/log/x.log");
  EXPECT_EQ(orn_get_path("#orn_undefined_orn_ccd_root"), nullptr);
  std::string stored = ornutil_test::readFile("/opt/BrenmoorWarden/etc/orn.conf");
  EXPECT_NE(stored.find("corvan_common_dir ="), std::string::npos) << stored;
}

ORNUTIL_CHILD_TEST(StartupChild, InvalidOrnConfIsReportedAndStartUpGoesOn) {
  ornutil_test::LogCapture log;
  ASSERT_NO_FATAL_FAILURE(enter({{"/opt/BrenmoorWarden/etc/orn.conf", "[ornrte\n"}}));
  ornutil_init();
  EXPECT_EQ(path("/opt/BrenmoorWarden/etc/orn.conf"), "/opt/BrenmoorWarden/etc/orn.conf");
  // The exception's own report: invalid data at line 1, through the library's service.
  std::vector<ornutil_test::LogRecord> records = log.withId(0x35e5102c);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].text.find("line 1"), std::string::npos) << records[0].text;
}

ORNUTIL_CHILD_TEST(StartupChild, Nlspath) {
  ASSERT_NO_FATAL_FAILURE(enter({}));
  ornutil_init();
  std::string expected = std::getenv("EXPECTED_NLSPATH");
  EXPECT_EQ(std::string(std::getenv("NLSPATH")), expected);
}

ORNUTIL_CHILD_TEST(StartupChild, RisDirectory) {
  ASSERT_NO_FATAL_FAILURE(enter({}));
  EXPECT_EQ(path("/opt/Kvt/Corvan/Toolvane/nls/RIS"), "/opt/ris/dir");
  EXPECT_EQ(ornPaths_->size(), 22);  // the two directory keys, the 19 install keys, the RIS key
}

// ---------------------------------------------------------------- parent tests

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::string why;
    static bool supported = ornutil_test::sandboxSupported(&why);
    if (!supported) GTEST_SKIP() << "start-up tests need root and mount namespaces (" << why << ")";
  }
  void runChild(const char* test, std::vector<std::pair<std::string, std::string>> env = {}) {
    std::string output;
    int status = ornutil_test::runSandboxedTest(test, env, &output);
    EXPECT_EQ(status, 0) << output;
  }
};

TEST_F(Startup, NoFilesAtAll) {
  unsetenv("NLSPATH");
  runChild("StartupChild.NoFiles");
}

TEST_F(Startup, PathMapRules) { runChild("StartupChild.PathMapRules"); }

TEST_F(Startup, DataRootWithAndWithoutTrailingSlash) {
  runChild("StartupChild.DataRoot", {{"DATA_ROOT", "/opt/data"}});
  runChild("StartupChild.DataRoot", {{"DATA_ROOT", "/opt/data/"}});
}

TEST_F(Startup, LogRedirection) { runChild("StartupChild.LogRedirection"); }

TEST_F(Startup, CommonDirectoryRoots) {
  const struct {
    const char* family;
    const char* product;
    const char* expected;
  } rows[] = {
      {"/c", "/c", "0"},
      {"/f", "/p", "10652070"},
      {"", "/p", "1065206f"},
      {"/f", "", "1065206e"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.family) + " / " + row.product);
    runChild("StartupChild.CommonDirectoryRoots",
             {{"FAMILY_ROOT", row.family}, {"PRODUCT_ROOT", row.product}, {"EXPECTED", row.expected}});
  }
}

TEST_F(Startup, OldOrnConfIsMigratedAndStored) { runChild("StartupChild.OldOrnConfIsMigratedAndStored"); }

TEST_F(Startup, EmptyCommonDirectoryRedirectsNothing) {
  runChild("StartupChild.MigrationWritesAnEmptyRootAndNothingIsRedirected");
}

TEST_F(Startup, InvalidOrnConf) { runChild("StartupChild.InvalidOrnConfIsReportedAndStartUpGoesOn"); }

TEST_F(Startup, NlspathIsPrefixedOnceWithTheProductsCatalogues) {
  const char* product = "/opt/BrenmoorWarden/nls/msg/%L/%N:/opt/BrenmoorWarden/nls/msg/%L/%N.cat:";
  runChild("StartupChild.Nlspath", {{"NLSPATH", "/usr/share/x/%N"},
                                    {"EXPECTED_NLSPATH", std::string(product) + "/usr/share/x/%N"}});
  // Already naming the product's directory anywhere: left alone.
  runChild("StartupChild.Nlspath", {{"NLSPATH", "/a/%N:/opt/BrenmoorWarden/nls/msg/fr/%N"},
                                    {"EXPECTED_NLSPATH", "/a/%N:/opt/BrenmoorWarden/nls/msg/fr/%N"}});
}

TEST_F(Startup, RisDirectoryKey) { runChild("StartupChild.RisDirectory", {{"ORN_RIS_DIR", "/opt/ris/dir"}}); }

}  // namespace
