// Migration of configuration files on load: each version group and rule as
// a before/after pair of whole file texts, the file-name tests, a current
// file left alone, a store that fails, and several processes migrating one
// file at once.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/internal/filestore.h"
#include "foundation/zexception.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "util/OrnStanzaFileProperties.h"

using ornutil_test::LogCapture;
using ornutil_test::TempDir;

namespace {

const char kOrnConf[] = "opt/BrenmoorWarden/etc/orn.conf";
const char kKelmgrdConf[] = "opt/BrenmoorWarden/etc/kelmgrd.conf";
const char kKelacldConf[] = "opt/BrenmoorWarden/etc/kelacld.conf";
const char kLdapConf[] = "opt/BrenmoorWarden/etc/ldap.conf";

const char kMetaAdded[] = "\n#\n# Meta stanza\n#\n[meta-info]\n#\n# version =\n#\nversion = 1792\n";

const char kComplianceComment[] =
    "# Security compliance setting.\n"
    "# Possible values are:\n"
    "# none                 : No additional compliance\n"
    "# fips                 : FIPS 140-2\n"
    "# sp800-131-transition : NIST SP800-131a Transition\n"
    "# sp800-131-strict     : NIST SP800-131a Strict\n"
    "# suite-b-128          : NSA Suite B 128 bit\n"
    "# suite-b-192          : NSA Suite B 192 bit\n";

const char kTimeoutComment[] =
    "# Connection time-out for i/o in seconds.\n"
    "# This value should not be higher than the value of ssl-io-inactivity-timeout.\n"
    "# The suggested value is one third of the value of ssl-io-inactivity-timeout.\n"
    "# This parameter is set by the srvtlscfg utility.\n"
    "# (range: >= 0, 0 = no time-out). \n";

const char kCompatComment[] = "#\n# Management command compatable operation with version 6.1.0 and earlier.\n#\n";

struct MigrationCase {
  const char* description;
  std::string file;  // relative to the temporary directory
  std::string before;
  std::string after;
};

std::vector<MigrationCase> migrationCases() {
  return {
      {"a file without meta-info gains the version with both comments", "etc/app.conf", "[other]\nk = v\n",
       std::string("[other]\nk = v\n") + kMetaAdded},
      {"group C only: the version is stamped in place", "etc/app.conf",
       "[meta-info]\nversion = 1791\n\n[ssl]\nx = 1\n", "[meta-info]\nversion = 1792\n\n[ssl]\nx = 1\n"},
      {"group A on orn.conf: defaults, retired service, application host, ornrte, compliance", kOrnConf,
       "[meta-info]\nversion = 1295\n\n"
       "[ssl]\nssl-enable-fips = on\n\n"
       "[manager]\nmanagement-domain =\n\n"
       "[kelmgrd]\nstandby = 1\n\n"
       "[aznapi-pac-services]\nAZN_V37CRED_SVC = azn_v37cred_svc\nother = x\n\n"
       "[aznapi-configuration]\norn-user-name = cn=a/b/c\n\n"
       "[ornrte]\nboot-start-ornproxyd = yes\n",
       std::string("[meta-info]\nversion = 1792\n\n"
                   "[ssl]\n#\n# local domain name.\n#\nssl-local-domain = Default\n") +
           kComplianceComment +
           "ssl-compliance = fips\n\n"
           "[manager]\nmanagement-domain = Default\n\n"
           "[kelmgrd]\nstandby = 1\n\n"
           "[aznapi-pac-services]\nother = x\n\n"
           "[aznapi-configuration]\norn-user-name = cn=a/b/c\nazn-app-host = b/c\n\n"
           "[ornrte]\nboot-start-ornproxyd = yes\ncorvan_common_dir =\n"},
      {"group A: fill-default comments only keys that were absent; values stay", "etc/app.conf",
       "[ssl]\nssl-local-domain = mine\n[manager]\n[kelmgrd]\nstandby =\n",
       std::string("[ssl]\nssl-local-domain = mine\n[manager]\n#\n# Management domain name.\n#\n"
                   "management-domain = Default\n[kelmgrd]\nstandby = 0\n") +
           kMetaAdded},
      {"group A: another credential service and a user name without / stay", "etc/app.conf",
       "[meta-info]\nversion = 1024\n[aznapi-pac-services]\nAZN_V37CRED_SVC = AZN_V37CRED_SVC\n"
       "[aznapi-configuration]\norn-user-name = admin\n[ornrte]\ncorvan_common_dir = /c\n",
       "[meta-info]\nversion = 1792\n[aznapi-pac-services]\nAZN_V37CRED_SVC = AZN_V37CRED_SVC\n"
       "[aznapi-configuration]\norn-user-name = admin\n[ornrte]\ncorvan_common_dir = /c\n"
       "boot-start-ornproxyd = no\n"},
      {"group A: an application host already set stays", "etc/app.conf",
       "[meta-info]\nversion = 0\n[aznapi-configuration]\norn-user-name = a/b\nazn-app-host = h\n",
       "[meta-info]\nversion = 1792\n[aznapi-configuration]\norn-user-name = a/b\nazn-app-host = h\n"},
      {"group A: legacy credential tags move to their own stanzas", "etc/app.conf",
       "[meta-info]\nversion = 1024\n\n"
       "[aznapi-configuration]\ncred-attribute-entitlement-services = first\n\n"
       "[ldap-ext-cred-tags]\n# tags\ntagA = a1\ntagB = b1\ntagA = a2\n",
       "[meta-info]\nversion = 1792\n\n"
       "[aznapi-configuration]\ncred-attribute-entitlement-services = first\n"
       "cred-attribute-entitlement-services = LEGACY_ldap-ext-cred-tags\n\n"
       "[aznapi-entitlement-services]\nLEGACY_ldap-ext-cred-tags = azn_ent_cred_attrs\n\n"
       "[LEGACY_ldap-ext-cred-tags:registry_id]\ntagvalue_tagA = a1\ntagvalue_tagB = b1\n\n"
       "[LEGACY_ldap-ext-cred-tags]\nregistry_id = azn_cred_registry_id\n"},
      {"group A: legacy tags need both stanzas", "etc/app.conf",
       "[meta-info]\nversion = 1024\n[ldap-ext-cred-tags]\ntagA = a1\n",
       "[meta-info]\nversion = 1792\n[ldap-ext-cred-tags]\ntagA = a1\n"},
      {"group B on kelmgrd.conf, then the connection time-out of group C", kKelmgrdConf,
       "[meta-info]\nversion = 1552\n\n[kelmgrd]\nport = 1\n\n[ssl]\nssl-client-connection-timeout =\n",
       std::string("[meta-info]\nversion = 1792\n\n[kelmgrd]\nport = 1\n") + kCompatComment +
           "qy610-compat = yes\n\n[ssl]\nssl-client-connection-timeout = 30\n"},
      {"group B keeps a compatibility value already there", kKelmgrdConf,
       "[meta-info]\nversion = 1552\n[kelmgrd]\nqy610-compat = no\n[ssl]\n",
       std::string("[meta-info]\nversion = 1792\n[kelmgrd]\nqy610-compat = no\n[ssl]\n") + kTimeoutComment +
           "ssl-client-connection-timeout = 30\n"},
      {"group B is not run after 6.1.0", kKelmgrdConf, "[meta-info]\nversion = 1553\n[kelmgrd]\n",
       "[meta-info]\nversion = 1792\n[kelmgrd]\n"},
      {"group B needs the kelmgrd.conf name", "etc/kelmgrd.conf", "[meta-info]\nversion = 1552\n[kelmgrd]\n[ssl]\n",
       "[meta-info]\nversion = 1792\n[kelmgrd]\n[ssl]\n"},
      {"connection time-out on kelacld.conf, only when ssl exists", kKelacldConf,
       "[meta-info]\nversion = 1791\n[ssl]\nssl-client-connection-timeout = 10\n[kelmgrd]\n",
       "[meta-info]\nversion = 1792\n[ssl]\nssl-client-connection-timeout = 10\n[kelmgrd]\n"},
      {"compliance: an existing setting keeps the old key", kOrnConf,
       "[meta-info]\nversion = 1791\n[ssl]\nssl-enable-fips = yes\nssl-compliance = suite-b-128\n",
       "[meta-info]\nversion = 1792\n[ssl]\nssl-enable-fips = yes\nssl-compliance = suite-b-128\n"},
      {"compliance: none without the old key", kOrnConf, "[meta-info]\nversion = 1791\n[ssl]\nk = v\n",
       std::string("[meta-info]\nversion = 1792\n[ssl]\nk = v\n") + kComplianceComment + "ssl-compliance = none\n"},
      {"compliance: needs the orn.conf name", "srv/orn/etc/orn.conf",
       "[meta-info]\nversion = 1791\n[ssl]\nssl-enable-fips = yes\n",
       "[meta-info]\nversion = 1792\n[ssl]\nssl-enable-fips = yes\n"},
      {"ldap.conf: key moves, empty and missing ones are dropped", kLdapConf,
       "[meta-info]\nversion = 1791\n\n[ldap]\nLdapSSL = yes\n# file\nLdapSSLKeyFile = /k.kdb\n"
       "LdapSSLKeyFilePwd =\nhost = h\n",
       "[meta-info]\nversion = 1792\n\n[ldap]\nhost = h\n\n[ornconfig]\nLdapSSL = yes\nLdapSSLKeyFile = /k.kdb\n"},
      {"ldap.conf: ornconfig is added without an ldap stanza", kLdapConf, "[meta-info]\nversion = 1791\n",
       "[meta-info]\nversion = 1792\n\n[ornconfig]\n"},
      {"ldap.conf test is a substring test", "x/opt/BrenmoorWarden/etc/ldap.conf.new",
       "[meta-info]\nversion = 1791\n[ornconfig]\nold = 1\n[ldap]\nLdapSSLKeyFileDn = cn=k\n",
       "[meta-info]\nversion = 1792\n[ornconfig]\nold = 1\nLdapSSLKeyFileDn = cn=k\n[ldap]\n"},
      {"a relocated ldap.conf gets no file rule", "srv/orn/etc/ldap.conf",
       "[meta-info]\nversion = 1791\n[ldap]\nLdapSSL = yes\n", "[meta-info]\nversion = 1792\n[ldap]\nLdapSSL = yes\n"},
      {"CRLF file without a final line end keeps both", "etc/app.conf", "[ornrte]\r\ncorvan_common_dir = /c",
       "[ornrte]\r\ncorvan_common_dir = /c\r\nboot-start-ornproxyd = no\r\n\r\n#\r\n# Meta stanza\r\n#\r\n"
       "[meta-info]\r\n#\r\n# version =\r\n#\r\nversion = 1792"},
  };
}

TEST(Migration, EachRuleGivesTheExpectedFile) {
  for (const MigrationCase& c : migrationCases()) {
    SCOPED_TRACE(c.description);
    TempDir dir;
    std::string path = dir.file(c.file);
    ASSERT_TRUE(ornutil_test::writeFile(path, c.before));
    OrnStanzaFileProperties p;
    LogCapture log;
    p.load(path.c_str());
    EXPECT_EQ(ornutil_test::readFile(path), c.after);
    EXPECT_EQ(p.text(), c.after);
    EXPECT_TRUE(log.withId(0x1354a0c7).empty());
    // Loading the migrated file changes nothing more.
    OrnStanzaFileProperties again;
    again.load(path.c_str());
    EXPECT_EQ(again.text(), c.after);
  }
}

TEST(Migration, ACurrentFileIsNeitherChangedNorStored) {
  for (const char* version : {"1792", "1793", "4096"}) {
    SCOPED_TRACE(version);
    TempDir dir;
    std::string path = dir.file(kOrnConf);
    std::string text = std::string("[meta-info]\nversion = ") + version +
                       "\n[ssl]\nssl-enable-fips = yes\n[ornrte]\n[kelmgrd]\n";
    ASSERT_TRUE(ornutil_test::writeFile(path, text));
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    struct stat before, after;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    OrnStanzaFileProperties p;
    p.load(path.c_str());
    EXPECT_EQ(p.text(), text);
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(ornutil_test::readFile(path), text);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
}

TEST(Migration, MigrateORNRTEStanzaReportsWhetherItChangedTheObject) {
  const struct {
    const char* text;
    int changed;
    const char* after;
  } rows[] = {
      {"[x]\n", 0, "[x]\n"},
      {"[ornrte]\nboot-start-ornproxyd = yes\ncorvan_common_dir = /c\n", 0,
       "[ornrte]\nboot-start-ornproxyd = yes\ncorvan_common_dir = /c\n"},
      {"[ornrte]\ncorvan_common_dir =\n", 1, "[ornrte]\ncorvan_common_dir =\nboot-start-ornproxyd = no\n"},
      {"[ornrte]\nboot-start-ornproxyd = yes\n", 1, "[ornrte]\nboot-start-ornproxyd = yes\ncorvan_common_dir =\n"},
  };
  for (const auto& r : rows) {
    OrnStanzaFileProperties p;
    p.parseText(r.text, "x");
    EXPECT_EQ(p.migrateORNRTEStanza(), r.changed) << r.text;
    EXPECT_EQ(p.text(), r.after);
  }
}

// A store that fails leaves the migrated content in memory, logs
// 0x1354a0c7 naming the file, and the load completes.
void expectFailedStoreHandled(const std::string& path, const std::string& before, const LogCapture& log,
                              const OrnStanzaFileProperties& p) {
  EXPECT_EQ(ornutil_test::readFile(path), before);
  EXPECT_EQ(p.getIntegerValue("meta-info", "version", 0, 0), 1792u);
  EXPECT_EQ(p.text(), std::string("[ssl]\n#\n# local domain name.\n#\nssl-local-domain = Default\n") +
                          kComplianceComment + "ssl-compliance = fips\n" + kMetaAdded);
  auto records = log.withId(0x1354a0c7);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].handle, "kel.core");
  EXPECT_EQ(records[0].severity, "WARNING");
  EXPECT_NE(records[0].text.find(path), std::string::npos) << records[0].text;
}

int failingRename(const char*, const char*) {
  errno = EIO;
  return -1;
}

TEST(MigrationStoreFails, MigratedContentStaysInMemoryAndTheLoadCompletes) {
  TempDir dir;
  std::string path = dir.file(kOrnConf);
  const std::string before = "[ssl]\nssl-enable-fips = 1\n";
  ASSERT_TRUE(ornutil_test::writeFile(path, before));
  LogCapture log;
  ornz::fileOps().rename = failingRename;
  OrnStanzaFileProperties p;
  EXPECT_NO_THROW(p.load(path.c_str()));
  ornz::resetFileOps();
  expectFailedStoreHandled(path, before, log, p);
  auto names = ornutil_test::listDir(dir.path() + "/opt/BrenmoorWarden/etc");
  EXPECT_EQ(names.size(), 2u) << "only the file and its lock file";
}

// A full file system, in a private mount namespace of a child process.
ORNUTIL_CHILD_TEST(MigrationStoreFails, FullFileSystemInChild) {
  const char* root = std::getenv("MIGRATION_ROOT");
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
  std::string etc = std::string(root) + "/opt/BrenmoorWarden/etc";
  ASSERT_EQ(::mount("tmpfs", etc.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
  std::string path = etc + "/orn.conf";
  const std::string before = "[ssl]\nssl-enable-fips = 1\n";
  ASSERT_TRUE(ornutil_test::writeFile(path, before));
  ASSERT_TRUE(ornutil_test::writeFile(path + ".lock", ""));
  // Fill what is left.
  int fd = ::open((etc + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  char block[4096] = {};
  while (::write(fd, block, sizeof block) > 0) {
  }
  ::close(fd);
  LogCapture log;
  OrnStanzaFileProperties p;
  EXPECT_NO_THROW(p.load(path.c_str()));
  expectFailedStoreHandled(path, before, log, p);
  auto names = ornutil_test::listDir(etc);
  EXPECT_EQ(names.size(), 3u) << "no temporary file is left";
}

bool mountNamespacesAllowed() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(MigrationStoreFails, FullFileSystem) {
  if (ornutil_test::inChild()) GTEST_SKIP();
  if (!mountNamespacesAllowed()) GTEST_SKIP() << "unshare(CLONE_NEWNS) is not permitted here";
  TempDir dir;
  dir.file(std::string(kOrnConf));
  std::string output;
  int rc = ornutil_test::runTestInChild("MigrationStoreFails.FullFileSystemInChild", {{"MIGRATION_ROOT", dir.path()}},
                                        &output);
  EXPECT_EQ(rc, 0) << output;
}

TEST(MigrationProcesses, SeveralProcessesMigratingOneFileGiveTheBytesOfOne) {
  const std::string before =
      "[meta-info]\nversion = 1024\n[ssl]\nssl-enable-fips = no\n[ornrte]\n"
      "[aznapi-configuration]\norn-user-name = u/h\n[ldap-ext-cred-tags]\nt = 1\n";
  TempDir single, shared;
  std::string singlePath = single.file(kOrnConf), sharedPath = shared.file(kOrnConf);
  ASSERT_TRUE(ornutil_test::writeFile(singlePath, before));
  ASSERT_TRUE(ornutil_test::writeFile(sharedPath, before));
  {
    OrnStanzaFileProperties p;
    p.load(singlePath.c_str());
  }
  const std::string expected = ornutil_test::readFile(singlePath);
  ASSERT_NE(expected, before);

  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(ornutil_test::writeFile(sharedPath, before));
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 4; ++i) {
      pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(go[1]);
        char c;
        if (::read(go[0], &c, 1) != 0) ::_exit(3);  // wait until the parent lets all go
        try {
          OrnStanzaFileProperties p;
          p.load(sharedPath.c_str());
          ::_exit(p.text() == expected ? 0 : 1);
        } catch (...) {
          ::_exit(2);
        }
      }
      children.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);
    for (pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(ornutil_test::readFile(sharedPath), expected);
  }
}

}  // namespace
