#include "tests/support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "tests/support/test_env.h"

namespace ornutil_test {

bool inChild() {
  const char* v = std::getenv("ORNUTIL_TEST_CHILD");
  return v && std::strcmp(v, "1") == 0;
}

int runTestInChild(const std::string& test, const std::vector<std::pair<std::string, std::string>>& env,
                   std::string* output) {
  char outName[] = "/tmp/ornutil-child-XXXXXX";
  int outFd = mkstemp(outName);
  if (outFd < 0) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(outFd, STDERR_FILENO);
    setenv("ORNUTIL_TEST_CHILD", "1", 1);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::string filter = "--gtest_filter=" + test;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) _exit(126);
    self[n] = '\0';
    execl(self, self, filter.c_str(), "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(outFd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  std::string text = readFile(outName);
  unlink(outName);
  if (output) *output = text;
  if (WIFEXITED(status)) {
    // A filter that matched nothing also exits 0: insist that the test ran.
    if (WEXITSTATUS(status) == 0 && text.find("[  PASSED  ] 1 test.") == std::string::npos) return -2;
    return WEXITSTATUS(status);
  }
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int inForkedChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace ornutil_test
