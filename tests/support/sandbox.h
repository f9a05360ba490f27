// A private file-system view for tests of start-up, which reads fixed paths
// under /etc and /opt: the child test enters its own mount namespace with a
// writable overlay on /etc (its upper layer in a temporary directory) and an
// empty tmpfs on /opt, so nothing on the host changes.
#ifndef ORNUTIL_TESTS_SUPPORT_SANDBOX_H
#define ORNUTIL_TESTS_SUPPORT_SANDBOX_H

#include <string>
#include <utility>
#include <vector>

namespace ornutil_test {

struct SandboxFile {
  std::string path;     // absolute, under /etc or /opt
  std::string content;
};

// Parent side: whether this machine lets a test make the sandbox (root and
// mount namespaces with overlayfs); `why` says what failed.
bool sandboxSupported(std::string* why);

// Parent side: runs the child test `test` in a sandbox; returns its exit
// status as runTestInChild does.
int runSandboxedTest(const std::string& test, std::vector<std::pair<std::string, std::string>> env,
                     std::string* output = nullptr);

// Child side: enters the sandbox and writes the files. False (with `why`)
// when the sandbox cannot be made.
bool enterSandbox(const std::vector<SandboxFile>& files, std::string* why);

// Writes a file (creating its directories), inside or outside the sandbox.
void writeFileAt(const std::string& path, const std::string& content);

}  // namespace ornutil_test

#endif
