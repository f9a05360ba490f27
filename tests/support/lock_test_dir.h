// A private scratch directory for lock files, removed with its contents at
// the end of the test; and a helper that runs a step in a forked process.
#ifndef ORNUTIL_TESTS_SUPPORT_LOCK_TEST_DIR_H
#define ORNUTIL_TESTS_SUPPORT_LOCK_TEST_DIR_H

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace ornutil_test {

class LockTestDir {
 public:
  LockTestDir() {
    char pattern[] = "/tmp/ornutil-locks-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "";
  }
  ~LockTestDir() {
    if (!path_.empty()) {
      chmod(path_.c_str(), 0700);
      std::string command = "rm -rf '" + path_ + "'";
      if (std::system(command.c_str()) != 0) {
        // Left behind in /tmp; nothing else to do.
      }
    }
  }
  LockTestDir(const LockTestDir&) = delete;
  LockTestDir& operator=(const LockTestDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  bool exists(const std::string& name) const {
    struct stat st;
    return lstat(file(name).c_str(), &st) == 0;
  }

 private:
  std::string path_;
};

// Runs `body` in a forked child and returns its exit code, or 128 + the
// signal that ended it. An exception escaping the body exits with 99.
inline int inChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace ornutil_test

#endif
