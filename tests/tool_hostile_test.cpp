// The tool under the inputs and outputs a shell user meets: directories and
// missing files as input, a full device or a closed descriptor as output, a
// pipe closed early, names holding control characters, and inputs too large
// to hold in memory at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "tests/support/tool_runner.h"

using ornutil_test::runTool;
using ornutil_test::TempDir;
using ornutil_test::ToolResult;

namespace {

bool oneLine(const std::string& err) { return !err.empty() && err.find('\n') == err.size() - 1; }

class ToolHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ornutil_test::writeFile(dir.file("data"), std::string(100000, 'x')));
    ASSERT_TRUE(ornutil_test::writeFile(dir.file("data.b64"), "eHh4eHh4"));
    // A device that refuses every write, made here with the numbers of the
    // system's full device.
    ASSERT_EQ(::mknod(dir.file("full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0) << std::strerror(errno);
  }
  std::string path(const char* name) const { return dir.path() + "/" + name; }
  TempDir dir;
};

TEST_F(ToolHostile, BadInputIsOneLineAndExit3NeverAnAbort) {
  struct Row {
    const char* description;
    std::vector<std::string> args;
    const char* reason;
  } rows[] = {
      {"base64 of a directory", {"base64", dir.path()}, "Is a directory"},
      {"base64 -d of a directory", {"base64", "-d", dir.path()}, "Is a directory"},
      {"object dump of a directory", {"object", "dump", dir.path()}, "Is a directory"},
      {"base64 of a missing file", {"base64", path("missing")}, "No such file or directory"},
      {"object dump of a missing file", {"object", "dump", path("missing")}, "No such file or directory"},
      {"object dump of bytes that are no encoding", {"object", "dump", path("data")}, "not an encoded"},
      {"config of a directory", {"config", "get", dir.path(), "s", "k"}, "not a regular file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    ToolResult r = runTool(dir.path(), row.args);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(oneLine(r.err)) << r.err;
    EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// A closed standard input reads as empty: the tool puts /dev/null in its
// place before it opens anything, so that no file it opens later (a
// library, a catalogue, the input named on the command line) becomes
// descriptor 0 and is read as standard input.
TEST_F(ToolHostile, AClosedStandardInputReadsAsEmpty) {
  const struct {
    std::vector<std::string> args;
    const char* out;
  } rows[] = {{{"base64"}, ""}, {{"base64", "-d", "-"}, ""}, {{"scramble"}, "~^+\n"}};  // the empty text scrambled
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args.size() > 1 ? row.args[0] + " " + row.args[1] : row.args[0]);
    ToolResult r = runTool(dir.path(), row.args, "", "<&- >" + path("out"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ornutil_test::readFile(path("out")), row.out);
  }
}

TEST_F(ToolHostile, AnOutputThatCannotBeWrittenIsExit4) {
  struct Row {
    const char* description;
    std::vector<std::string> args;
    std::string redirect;
    const char* reason;
  } rows[] = {
      {"base64 to a full device", {"base64", path("data")}, ">" + path("full"), "No space left on device"},
      {"base64 -d to a full device", {"base64", "-d", path("data.b64")}, ">" + path("full"), "No space left"},
      {"msg to a full device", {"msg", "0x1354a0c7"}, ">" + path("full"), "No space left on device"},
      {"--help to a full device", {"--help"}, ">" + path("full"), "No space left on device"},
      {"base64 to a closed descriptor", {"base64", path("data")}, ">&-", "Bad file descriptor"},
      {"path to a closed descriptor", {"path", "--all"}, ">&-", "Bad file descriptor"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    ToolResult r = runTool(dir.path(), row.args, "", row.redirect);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(oneLine(r.err)) << r.err;
    EXPECT_NE(r.err.find("write error: " + std::string(row.reason)), std::string::npos) << r.err;
  }
}

TEST_F(ToolHostile, ACommandThatWritesNothingDoesNotCareAboutItsOutput) {
  std::string conf = dir.file("f.conf");
  ASSERT_TRUE(ornutil_test::writeFile(conf, "[meta-info]\nversion = 1792\n[s]\nk = v\n"));
  ToolResult r = runTool(dir.path(), {"config", "set", conf, "s", "k", "w"}, "", ">&-");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(ornutil_test::readFile(conf).find("k = w"), std::string::npos);
}

TEST_F(ToolHostile, AClosedPipeEndsTheToolAsItEndsOtherCommands) {
  std::string big = dir.file("big");
  ASSERT_TRUE(ornutil_test::writeFile(big, std::string(8 << 20, 'y')));
  // The usual disposition: SIGPIPE ends it silently, like coreutils.
  ToolResult r = runTool(dir.path(), {"base64", big}, "", "| head -c 1 >/dev/null; exit ${PIPESTATUS[0]}");
  EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
  EXPECT_EQ(r.err, "");
  // With SIGPIPE ignored the closed pipe is a write error.
  r = runTool(dir.path(), {"base64", big}, "", "| head -c 1 >/dev/null; exit ${PIPESTATUS[0]}", "trap '' PIPE;");
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("write error: Broken pipe"), std::string::npos) << r.err;
}

TEST_F(ToolHostile, NamesAndTextsInMessagesReachTheTerminalEscaped) {
  struct Row {
    std::string name;
    const char* shown;
  } rows[] = {
      {dir.path() + "/a\nb", "a\\nb"},
      {dir.path() + "/red\x1b[31m", "red\\e[31m"},
      {dir.path() + "/bell\a", "bell\\x07"},
      {dir.path() + "/c1\xc2\x9b" "2J", "c1\\xc2\\x9b2J"},
      {dir.path() + "/bad\xff", "bad\\xff"},
      {dir.path() + "/back\\slash", "back\\\\slash"},
      {dir.path() + "/caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shown);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"base64", row.name}, std::vector<std::string>{"config", "get", row.name, "s", "k"}}) {
      ToolResult r = runTool(dir.path(), args);
      EXPECT_EQ(r.status, 3);
      EXPECT_TRUE(oneLine(r.err)) << r.err;
      EXPECT_NE(r.err.find(row.shown), std::string::npos) << r.err;
      for (char c : r.err) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << r.err;
      EXPECT_EQ(r.err.find('\x7f'), std::string::npos);
    }
  }
  ToolResult r = runTool(dir.path(), {"no\x1b]0;title\a"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no\\e]0;title\\x07"), std::string::npos) << r.err;
}

TEST_F(ToolHostile, Base64StreamsInputsOfAnySizeInFixedMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under a virtual-memory limit";
#endif
  // 48 MiB through a virtual-memory limit far below what holding it would
  // need; the output must still be exact.
  std::string big = dir.file("big"), encoded = dir.file("big.b64");
  std::string data;
  data.reserve(48u << 20);
  for (std::size_t i = 0; i < (48u << 20); ++i) data += static_cast<char>((i * 7919u) >> 5);
  ASSERT_TRUE(ornutil_test::writeFile(big, data));
  ToolResult r = runTool(dir.path(), {"base64", big}, "", ">" + encoded, "ulimit -v 120000;");
  ASSERT_EQ(r.status, 0) << r.err;
  r = runTool(dir.path(), {"base64", "-d", encoded}, "", ">" + dir.file("back"), "ulimit -v 120000;");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ornutil_test::readFile(dir.file("back")) == data);
  // Against coreutils on the same bytes.
  r = runTool(dir.path(), {"base64", big}, "", "| cmp - <(base64 -w0 " + ornutil_test::shellQuote(big) + ")");
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
