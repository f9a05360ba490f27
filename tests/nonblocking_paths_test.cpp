// FIFOs, devices, directories and sockets where the message catalogue is
// looked for (NLSPATH) or named as the log (ORN_SVC_LOG): nothing blocks,
// nothing but a regular file is read as a catalogue, no terminal becomes the
// controlling one. A regression would hang rather than fail, so each case
// runs in a child process under an alarm: a hang kills the child with
// SIGALRM and the parent test fails.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/catalog_ids.h"
#include "foundation/msgcat.h"
#include "foundation/svc.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

using ornutil_test::TempDir;

namespace {

// Long enough for a sanitizer build on a loaded machine; a blocked open
// never returns, so any bound catches it.
constexpr unsigned kChildDeadlineSeconds = 60;

const unsigned int kMessageId = 0x10652065;  // built-in text "Out of memory."
const char kBuiltInText[] = "Out of memory.";
const char kCatalogueText[] = "from the catalogue behind the special file";

std::string take(char* text) {
  std::unique_ptr<char, decltype(&std::free)> hold(text, &std::free);
  return text ? text : "(null)";
}

void runChild(const std::string& test) {
  std::string output;
  int status = ornutil_test::runTestInChild(test, {}, &output);
  EXPECT_EQ(status, 0) << test << (status == 128 + SIGALRM ? " hung (killed by its alarm)" : "") << "\n"
                       << output;
}

// Compiles a catalogue holding kCatalogueText for kMessageId at `path`.
void makeCatalogue(const TempDir& dir, const std::string& path) {
  std::string source = dir.file("catalogue.msg");
  std::ofstream out(source);
  out << "$quote \"\n$set " << ORN_MSG_CAT_SET(kMessageId) << "\n"
      << ORN_MSG_CAT_NUMBER(kMessageId) << " \"" << kCatalogueText << "\"\n";
  out.close();
  ASSERT_EQ(std::system(("gencat " + dir.file(path) + " " + source).c_str()), 0);
}

// ---------------------------------------------------------------- catalogue

struct SpecialFile {
  const char* description;
  // Makes the special file at `path`; false with `why` when this machine
  // does not allow it (the row is then passed over, saying so).
  std::function<bool(const std::string& path, std::string* why)> make;
};

bool failed(std::string* why, const char* what) {
  *why = std::string(what) + ": " + std::strerror(errno);
  return false;
}

const SpecialFile kSpecialFiles[] = {
    {"a FIFO",
     [](const std::string& p, std::string* why) { return mkfifo(p.c_str(), 0644) == 0 || failed(why, "mkfifo"); }},
    {"a symbolic link to a FIFO",
     [](const std::string& p, std::string* why) {
       return (mkfifo((p + ".fifo").c_str(), 0644) == 0 && symlink((p + ".fifo").c_str(), p.c_str()) == 0) ||
              failed(why, "mkfifo and symlink");
     }},
    // A character device with /dev/null's numbers, made inside the scratch
    // directory (needs CAP_MKNOD).
    {"a character device",
     [](const std::string& p, std::string* why) {
       return mknod(p.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0 || failed(why, "mknod");
     }},
    {"a directory",
     [](const std::string& p, std::string* why) { return mkdir(p.c_str(), 0755) == 0 || failed(why, "mkdir"); }},
    {"a socket",
     [](const std::string& p, std::string* why) {
       int fd = socket(AF_UNIX, SOCK_STREAM, 0);
       struct sockaddr_un address = {};
       address.sun_family = AF_UNIX;
       if (fd < 0 || p.size() >= sizeof address.sun_path) return failed(why, "socket");
       std::memcpy(address.sun_path, p.c_str(), p.size() + 1);
       bool ok = bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0;
       close(fd);
       return ok || failed(why, "bind");
     }},
    {"a regular file that is not a catalogue",
     [](const std::string& p, std::string* why) {
       return ornutil_test::writeFile(p, std::string(64, 'x') + "\n") || failed(why, "write");
     }},
};

ORNUTIL_CHILD_TEST(SpecialFilesCatalogueChild, PassedOverWithoutBlocking) {
  alarm(kChildDeadlineSeconds);
  TempDir dir;
  makeCatalogue(dir, "good/C/ornutil.cat");
  int row = 0;
  for (const SpecialFile& special : kSpecialFiles) {
    SCOPED_TRACE(special.description);
    // A directory per row: the catalogue is reopened only when NLSPATH changes.
    std::string rowName = "row" + std::to_string(row++);
    std::string rowDir = dir.path() + "/" + rowName;
    std::string path = dir.file(rowName + "/ornutil");
    std::string why;
    if (!special.make(path, &why)) {
      std::printf("note: %s cannot be made here (%s); not checked\n", special.description, why.c_str());
      continue;
    }
    // Alone on the path: the built-in text, at once.
    setenv("NLSPATH", (rowDir + "/%N").c_str(), 1);
    EXPECT_EQ(take(orn_msg_get_msg(kMessageId, nullptr)), kBuiltInText);
    // Listed before a real catalogue: the catalogue is used.
    setenv("NLSPATH", (rowDir + "/%N:" + dir.path() + "/good/%L/%N.cat").c_str(), 1);
    EXPECT_EQ(take(orn_msg_get_msg(kMessageId, nullptr)), kCatalogueText);
  }
  // Empty elements are passed over (glibc would try "ornutil" in the current
  // directory, where a FIFO waits).
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  ASSERT_EQ(mkfifo("ornutil", 0644), 0);
  setenv("NLSPATH", ("::" + dir.path() + "/good/%L/%N.cat:").c_str(), 1);
  EXPECT_EQ(take(orn_msg_get_msg(kMessageId, nullptr)), kCatalogueText);
  ASSERT_EQ(chdir("/"), 0);
  unsetenv("NLSPATH");
}

TEST(SpecialFilesCatalogue, FifoDeviceDirectorySocketAndNonCatalogueArePassedOverWithoutBlocking) {
  runChild("SpecialFilesCatalogueChild.PassedOverWithoutBlocking");
}

// Without /proc the catalogue is handed to catopen by its name.
ORNUTIL_CHILD_TEST(SpecialFilesCatalogueChild, FoundByNameWithoutProc) {
  alarm(kChildDeadlineSeconds);
  TempDir dir;
  makeCatalogue(dir, "good/C/ornutil.cat");
  ASSERT_EQ(mkfifo(dir.file("fifo/ornutil").c_str(), 0644), 0);
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/proc", "tmpfs", 0, "size=1m") != 0) {
    std::printf("note: /proc cannot be hidden here (%s); not checked\n", std::strerror(errno));
    return;
  }
  bool hidden = access("/proc/self/fd", F_OK) != 0;
  setenv("NLSPATH", (dir.path() + "/fifo/%N:" + dir.path() + "/good/%L/%N.cat").c_str(), 1);
  std::string text = take(orn_msg_get_msg(kMessageId, nullptr));
  // Back to the real /proc before the checks: the sanitizers read it at exit.
  ASSERT_EQ(umount2("/proc", MNT_DETACH), 0);
  EXPECT_TRUE(hidden);
  EXPECT_EQ(text, kCatalogueText);
  unsetenv("NLSPATH");
}

TEST(SpecialFilesCatalogue, CatalogueIsFoundByNameWithoutProc) {
  runChild("SpecialFilesCatalogueChild.FoundByNameWithoutProc");
}

// ---------------------------------------------------------------- log

// The descriptor of this process open for writing on `path`, or -1.
int writerOn(const std::string& path) {
  for (const std::string& name : ornutil_test::listDir("/proc/self/fd")) {
    char target[4096];
    std::string link = "/proc/self/fd/" + name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    int fd = std::atoi(name.c_str());
    int flags = fcntl(fd, F_GETFL);
    if (path == target && flags >= 0 && (flags & O_ACCMODE) == O_WRONLY) return fd;
  }
  return -1;
}

// What arrives on `fd` within `seconds` (reads until a newline).
std::string readLine(int fd, int seconds) {
  std::string out;
  struct pollfd p = {fd, POLLIN, 0};
  while (out.find('\n') == std::string::npos && poll(&p, 1, seconds * 1000) > 0) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

void logOneRecord(const char* insert) {
  orn_svc_printf_withfile(bas_svc_handle, "tests/special", 7, "%s", 0, 32, 0x15e3a0b3, insert);
}

ORNUTIL_CHILD_TEST(SpecialFilesLogChild, FifoWithoutReader) {
  alarm(kChildDeadlineSeconds);
  TempDir dir;
  std::string fifo = dir.file("log.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  setenv("ORN_SVC_LOG", fifo.c_str(), 1);
  unsigned long status = 0;
  testing::internal::CaptureStderr();
  orn_svc_init(0, &status);
  logOneRecord("after-the-fifo");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 0x10652081u);
  // The failure names the file and the reason, and records go on to
  // standard error.
  EXPECT_NE(err.find("0x10652081"), std::string::npos) << err;
  EXPECT_NE(err.find(fifo), std::string::npos) << err;
  EXPECT_NE(err.find(std::strerror(ENXIO)), std::string::npos) << err;
  EXPECT_NE(err.find("after-the-fifo"), std::string::npos) << err;
  unsetenv("ORN_SVC_LOG");
}

TEST(SpecialFilesLog, FifoWithoutReaderFallsBackToStandardErrorWithoutBlocking) {
  runChild("SpecialFilesLogChild.FifoWithoutReader");
}

ORNUTIL_CHILD_TEST(SpecialFilesLogChild, FifoWithReader) {
  alarm(kChildDeadlineSeconds);
  TempDir dir;
  std::string fifo = dir.file("log.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  setenv("ORN_SVC_LOG", fifo.c_str(), 1);
  unsigned long status = 1;
  orn_svc_init(0, &status);
  EXPECT_EQ(status, 0u);
  // Writes block again once open, as writes to standard error do.
  int writer = writerOn(fifo);
  ASSERT_GE(writer, 0);
  int flags = fcntl(writer, F_GETFL);
  EXPECT_EQ(flags & O_NONBLOCK, 0);
  EXPECT_NE(flags & O_APPEND, 0);
  logOneRecord("through-the-fifo");
  std::string line = readLine(reader, 10);
  EXPECT_NE(line.find("0x15e3a0b3 tests/special:7 "), std::string::npos) << line;
  EXPECT_NE(line.find("through-the-fifo"), std::string::npos) << line;
  unsetenv("ORN_SVC_LOG");
  orn_svc_init(0, &status);
  close(reader);
}

TEST(SpecialFilesLog, FifoWithReaderGetsTheRecords) { runChild("SpecialFilesLogChild.FifoWithReader"); }

ORNUTIL_CHILD_TEST(SpecialFilesLogChild, DevStderr) {
  alarm(kChildDeadlineSeconds);
  unsigned long status = 1;
  // Standard error a pipe with a reader.
  int pipefd[2];
  ASSERT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
  int savedStderr = dup(STDERR_FILENO);
  ASSERT_GE(savedStderr, 0);
  ASSERT_EQ(dup2(pipefd[1], STDERR_FILENO), STDERR_FILENO);
  close(pipefd[1]);
  setenv("ORN_SVC_LOG", "/dev/stderr", 1);
  orn_svc_init(0, &status);
  logOneRecord("through-the-pipe");
  ASSERT_EQ(dup2(savedStderr, STDERR_FILENO), STDERR_FILENO);
  close(savedStderr);
  unsetenv("ORN_SVC_LOG");
  unsigned long reset = 1;
  orn_svc_init(0, &reset);  // closes the log's end of the pipe
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(reset, 0u);
  std::string line = readLine(pipefd[0], 10);
  close(pipefd[0]);
  EXPECT_NE(line.find("through-the-pipe"), std::string::npos) << line;
  // Standard error a regular file.
  TempDir dir;
  std::string file = dir.file("stderr.txt");
  int fileFd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fileFd, 0);
  savedStderr = dup(STDERR_FILENO);
  ASSERT_EQ(dup2(fileFd, STDERR_FILENO), STDERR_FILENO);
  close(fileFd);
  setenv("ORN_SVC_LOG", "/dev/stderr", 1);
  orn_svc_init(0, &status);
  logOneRecord("through-dev-stderr-to-the-file");
  unsetenv("ORN_SVC_LOG");
  orn_svc_init(0, &reset);
  ASSERT_EQ(dup2(savedStderr, STDERR_FILENO), STDERR_FILENO);
  close(savedStderr);
  EXPECT_EQ(status, 0u);
  std::string written = ornutil_test::readFile(file);
  EXPECT_NE(written.find("through-dev-stderr-to-the-file"), std::string::npos) << written;
}

TEST(SpecialFilesLog, DevStderrIsWrittenToWhetherAPipeOrAFile) { runChild("SpecialFilesLogChild.DevStderr"); }

// A terminal named as the log is written to but never becomes the
// controlling terminal of a process that has none. Recent Linux kernels
// never give a controlling terminal to an open for writing only, O_NOCTTY or
// not, so there this checks the writing; older ones need the O_NOCTTY.
ORNUTIL_CHILD_TEST(SpecialFilesLogChild, Terminal) {
  alarm(kChildDeadlineSeconds);
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master)) {
    std::printf("note: no pseudo-terminal here (%s); not checked\n", std::strerror(errno));
    return;
  }
  std::string terminal = ptsname(master);
  ASSERT_NE(setsid(), -1) << std::strerror(errno);  // a new session, no controlling terminal
  setenv("ORN_SVC_LOG", terminal.c_str(), 1);
  unsigned long status = 1;
  orn_svc_init(0, &status);
  EXPECT_EQ(status, 0u);
  int controlling = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_LT(controlling, 0) << "the log's terminal became the controlling terminal";
  if (controlling >= 0) close(controlling);
  logOneRecord("on-the-terminal");
  std::string line = readLine(master, 10);
  EXPECT_NE(line.find("on-the-terminal"), std::string::npos) << line;
  unsetenv("ORN_SVC_LOG");
  orn_svc_init(0, &status);
  close(master);
}

TEST(SpecialFilesLog, TerminalNeverBecomesTheControllingTerminal) {
  runChild("SpecialFilesLogChild.Terminal");
}

}  // namespace
