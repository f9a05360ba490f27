#include "tests/support/sandbox.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tests/support/child_process.h"

namespace ornutil_test {

namespace {

bool fail(std::string* why, const std::string& what) {
  if (why) *why = what + ": " + std::strerror(errno);
  return false;
}

void makeDirs(const std::string& dir) {
  for (std::size_t slash = dir.find('/', 1); ; slash = dir.find('/', slash + 1)) {
    ::mkdir(dir.substr(0, slash).c_str(), 0755);
    if (slash == std::string::npos) break;
  }
}

bool mountAll(const std::string& base, std::string* why) {
  if (::unshare(CLONE_NEWNS) != 0) return fail(why, "unshare(CLONE_NEWNS)");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail(why, "make / private");
  std::string upper = base + "/upper", work = base + "/work";
  makeDirs(upper);
  makeDirs(work);
  std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
  if (::mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) return fail(why, "overlay on /etc");
  if (::mount("tmpfs", "/opt", "tmpfs", 0, "size=16m,mode=0755") != 0) return fail(why, "tmpfs on /opt");
  return true;
}

}  // namespace

void writeFileAt(const std::string& path, const std::string& content) {
  makeDirs(path.substr(0, path.rfind('/')));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool sandboxSupported(std::string* why) {
  char dir[] = "/tmp/ornutil-sandbox-XXXXXX";
  if (!mkdtemp(dir)) return fail(why, "mkdtemp");
  int pipefd[2];
  if (pipe(pipefd) != 0) return fail(why, "pipe");
  pid_t pid = fork();
  if (pid == 0) {
    close(pipefd[0]);
    std::string reason;
    bool ok = mountAll(dir, &reason);
    ssize_t ignored = write(pipefd[1], reason.data(), reason.size());
    (void)ignored;
    _exit(ok ? 0 : 1);
  }
  close(pipefd[1]);
  char buffer[256];
  ssize_t n = read(pipefd[0], buffer, sizeof buffer);
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::system((std::string("rm -rf ") + dir).c_str());
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (why) *why = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "the sandbox child failed";
  return false;
}

int runSandboxedTest(const std::string& test, std::vector<std::pair<std::string, std::string>> env,
                     std::string* output) {
  char dir[] = "/tmp/ornutil-sandbox-XXXXXX";
  if (!mkdtemp(dir)) return -1;
  env.emplace_back("ORNUTIL_SANDBOX_DIR", dir);
  int status = runTestInChild(test, env, output);
  std::system((std::string("rm -rf ") + dir).c_str());
  return status;
}

bool enterSandbox(const std::vector<SandboxFile>& files, std::string* why) {
  const char* base = std::getenv("ORNUTIL_SANDBOX_DIR");
  if (!base) {
    if (why) *why = "ORNUTIL_SANDBOX_DIR is not set";
    return false;
  }
  if (!mountAll(base, why)) return false;
  for (const SandboxFile& f : files) writeFileAt(f.path, f.content);
  return true;
}

}  // namespace ornutil_test
