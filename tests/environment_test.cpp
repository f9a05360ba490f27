// The environment as the library reads it, in ordinary and in privileged
// (secure-execution) processes: variables that name a file, a directory or a
// search path are ignored where the caller is not trusted, and records then
// go to standard error. The secure path is reached through the test hook and,
// once, for real: this test program made set-user-ID root in a scratch
// directory and run by an unprivileged user.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/internal/environment.h"
#include "foundation/msgcat.h"
#include "foundation/svc.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

namespace {

using ornz::Variable;

const struct VariableCase {
  const char* description;
  Variable variable;
  const char* name;
  bool readWhenSecure;
} kVariables[] = {
    {"log_file", Variable::svcLog, "ORN_SVC_LOG", false},
    {"debug_levels", Variable::svcDebug, "ORN_SVC_DEBUG", true},
    {"catalogue_search_path", Variable::nlsPath, "NLSPATH", false},
    {"internationalisation_directory", Variable::risDir, "ORN_RIS_DIR", false},
};

class EnvironmentVariable : public ::testing::TestWithParam<VariableCase> {
 protected:
  void TearDown() override {
    ornz::forceSecureExecutionForTesting(false);
    if (saved_.empty()) unsetenv(GetParam().name);
    else setenv(GetParam().name, saved_.c_str(), 1);
  }
  std::string saved_ = std::getenv(GetParam().name) ? std::getenv(GetParam().name) : "";
};

TEST_P(EnvironmentVariable, IsReadOrIgnoredAsItsKindSays) {
  const VariableCase& c = GetParam();
  EXPECT_STREQ(ornz::variableName(c.variable), c.name);
  setenv(c.name, "/tmp/chosen/by/the/caller", 1);
  bool present = false;
  EXPECT_EQ(ornz::readEnvironment(c.variable, &present), "/tmp/chosen/by/the/caller");
  EXPECT_TRUE(present);

  ornz::forceSecureExecutionForTesting(true);
  ASSERT_TRUE(ornz::secureExecution());
  std::string value = ornz::readEnvironment(c.variable, &present);
  EXPECT_EQ(present, c.readWhenSecure);
  EXPECT_EQ(value, c.readWhenSecure ? "/tmp/chosen/by/the/caller" : "");

  // A value the library put itself is its own choice, read in every process.
  char* entry = strdup((std::string(c.name) + "=/library/own/value").c_str());  // the environment keeps it
  ornz::putEnvironment(entry);
  EXPECT_EQ(ornz::readEnvironment(c.variable, &present), "/library/own/value");
  EXPECT_TRUE(present);
  // ... until the caller's code replaces it.
  setenv(c.name, "/tmp/chosen/again", 1);
  EXPECT_EQ(ornz::readEnvironment(c.variable, &present), c.readWhenSecure ? "/tmp/chosen/again" : "");
}

INSTANTIATE_TEST_SUITE_P(Variables, EnvironmentVariable, ::testing::ValuesIn(kVariables),
                         [](const ::testing::TestParamInfo<VariableCase>& info) {
                           return std::string(info.param.description);
                         });

// Standard error of this process, redirected into a file while alive.
class StderrCapture {
 public:
  StderrCapture() : path_(dir_.file("stderr")) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    std::FILE* f = std::fopen(path_.c_str(), "w");
    dup2(fileno(f), STDERR_FILENO);
    std::fclose(f);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return ornutil_test::readFile(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  ornutil_test::TempDir dir_;
  std::string path_;
  int saved_ = -1;
};

// In a secure-execution process (through the hook): the log file the caller
// names is neither created nor written, records go to standard error, and
// the family services give no caller-chosen directory or search path.
ORNUTIL_CHILD_TEST(EnvironmentChild, SecureProcessLogsToStandardError) {
  ornutil_test::TempDir dir;
  const std::string log = dir.path() + "/chosen.log";
  setenv("ORN_SVC_LOG", log.c_str(), 1);
  setenv("ORN_RIS_DIR", "/tmp/chosen/ris", 1);
  ornz::forceSecureExecutionForTesting(true);
  StderrCapture err;
  unsigned long status = 1;
  orn_svc_init(0, &status);
  EXPECT_EQ(status, 0u);
  orn_svc_printf_withfile(bas_svc_handle, "test/environment", 1, "", 0, ORN_SVC_ATTR_ERROR, 0x10652082u);
  std::string text = err.text();
  struct stat st;
  EXPECT_NE(stat(log.c_str(), &st), 0) << "the caller's log file was created";
  EXPECT_NE(text.find(" 0x10652082 test/environment:1 "), std::string::npos) << text;
  EXPECT_EQ(ris_get_dir(), nullptr);
  EXPECT_EQ(ris_get_nlspath(), nullptr);
}

TEST(Environment, SecureProcessIgnoresTheLogFileThroughTheHook) {
  std::string output;
  EXPECT_EQ(ornutil_test::runTestInChild("EnvironmentChild.SecureProcessLogsToStandardError", {}, &output), 0)
      << output;
}

// Run as a set-user-ID program by an unprivileged user: the kernel marks the
// process secure (AT_SECURE) on its own, with no hook.
ORNUTIL_CHILD_TEST(EnvironmentChild, SetUserIdProgram) {
  ASSERT_NE(getauxval(AT_SECURE), 0u) << "not a secure-execution process";
  ASSERT_EQ(geteuid(), 0u);
  ASSERT_NE(getuid(), 0u);
  EXPECT_TRUE(ornz::secureExecution());
  unsigned long status = 1;
  orn_svc_init(0, &status);
  EXPECT_EQ(status, 0u);
  orn_svc_printf_withfile(bas_svc_handle, "test/setuid", 2, "", 0, ORN_SVC_ATTR_ERROR, 0x10652082u);
}

TEST(Environment, SetUserIdProgramIgnoresTheLogFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID program";
  const struct passwd* nobody = getpwnam("nobody");
  if (!nobody || nobody->pw_uid == 0) GTEST_SKIP() << "no unprivileged user 'nobody'";
  ornutil_test::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  // A copy of this test program, owned by root, set-user-ID.
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  const std::string program = dir.path() + "/setuid_test";
  ASSERT_TRUE(ornutil_test::writeFile(program, ornutil_test::readFile(self)));
  ASSERT_EQ(chown(program.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(program.c_str(), 04755), 0);
  // The log file would be made in a directory the program (root) can write.
  const std::string log = dir.path() + "/chosen.log";
  const std::string output = dir.path() + "/output";

  std::fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::FILE* out = std::fopen(output.c_str(), "w");
    if (!out) _exit(125);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(out), STDERR_FILENO);
    if (setgroups(0, nullptr) != 0 || setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
        setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0)
      _exit(124);
    setenv("ORNUTIL_TEST_CHILD", "1", 1);
    setenv("ORN_SVC_LOG", log.c_str(), 1);
    // Leak checking needs ptrace, which a set-user-ID process does not allow.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    execl(program.c_str(), program.c_str(), "--gtest_filter=EnvironmentChild.SetUserIdProgram",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  const std::string text = ornutil_test::readFile(output);
  ASSERT_TRUE(WIFEXITED(status)) << text;
  if (WEXITSTATUS(status) == 127 || WEXITSTATUS(status) == 126)
    GTEST_SKIP() << "the set-user-ID copy cannot run here (a nosuid mount?): " << text;
  ASSERT_EQ(WEXITSTATUS(status), 0) << text;
  ASSERT_NE(text.find("[  PASSED  ] 1 test."), std::string::npos) << text;
  struct stat st;
  EXPECT_NE(stat(log.c_str(), &st), 0) << "the set-user-ID program wrote the caller's log file";
  EXPECT_NE(text.find(" 0x10652082 test/setuid:2 "), std::string::npos) << "the record is not on standard error: "
                                                                         << text;
}

}  // namespace
