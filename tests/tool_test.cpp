// The ornutil tool run as a user would: exit codes, output, files before and
// after.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/ornasn.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_env.h"
#include "util/NameValueMap.h"

using ornutil_test::readFile;
using ornutil_test::writeFileAt;

namespace {

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Result {
  int status;
  std::string out, err;
};

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/ornutil-tool-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  // Runs `ornutil args...` with `input` on standard input; `prefix` is shell
  // text put before the tool (e.g. a namespace wrapper).
  Result run(const std::vector<std::string>& args, const std::string& input = "", const std::string& prefix = "") {
    writeFileAt(dir_ + "/stdin", input);
    std::string command = prefix + shellQuote(ORNUTIL_TOOL);
    for (const std::string& a : args) command += " " + shellQuote(a);
    command += " <" + dir_ + "/stdin >" + dir_ + "/stdout 2>" + dir_ + "/stderr";
    int raw = std::system(command.c_str());
    Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir_ + "/stdout"), readFile(dir_ + "/stderr")};
    return r;
  }

  std::string dir_;
};

TEST_F(Tool, ConventionsOfTheToolAndEverySubcommand) {
  Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: ornutil COMMAND"), std::string::npos);
  EXPECT_EQ(run({"--version"}).out, "ornutil 1.0.0\n");
  EXPECT_EQ(run({}).status, 2);
  Result unknown = run({"frobnicate"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err, "ornutil: unknown command 'frobnicate' (see 'ornutil --help')\n");
  for (const char* name : {"path", "config", "compliance", "msg", "base64", "scramble", "unscramble", "quote",
                           "format", "check", "object"}) {
    Result r = run({name, "--help"});
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.out.rfind(std::string("usage: ornutil ") + name, 0), 0u) << name << ": " << r.out;
    EXPECT_TRUE(r.err.empty()) << name;
  }
}

TEST_F(Tool, TableOfCommands) {
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;  // exact
  } rows[] = {
      {{"base64"}, "abc", 0, "YWJj"},
      {{"base64", "-"}, "ab", 0, "YWI="},
      {{"base64", "-d"}, "YWJj\n", 0, "abc"},
      {{"base64", "-d"}, "YQ==YWJj", 0, "a"},
      {{"base64", "-x"}, "", 2, ""},
      {{"scramble", ""}, "", 0, "~^+\n"},
      {{"unscramble", "~^+"}, "", 0, "\n"},
      {{"unscramble", "plain"}, "", 0, "plain\n"},
      {{"quote", "--value", "a*(b)\\"}, "", 0, "a\\2a\\28b\\29\\5c\n"},
      {{"quote", "--pattern", "a*(b)"}, "", 0, "a*\\28b\\29\n"},
      {{"quote", "--value", "\xff"}, "", 3, ""},
      {{"quote", "a"}, "", 2, ""},
      {{"format", "(cn=%Q)", "a*b"}, "", 0, "(cn=a\\2ab)\n"},
      {{"format", "%D", "Smith, John"}, "", 0, "Smith\\, John\n"},
      {{"format", "(cn=%Q)"}, "", 2, ""},
      {{"format", "%d", "x"}, "", 2, ""},
      {{"format", "%Q", "\x80"}, "", 3, ""},
      {{"check", "name"}, "", 0, "valid\n"},
      {{"check", "a*"}, "", 1, "invalid\n"},
      {{"check", "--pattern", "a*"}, "", 0, "valid\n"},
      {{"check", "--reject", "x", "abx"}, "", 1, "invalid\n"},
      {{"check", "--reject", "x", "ab"}, "", 0, "valid\n"},
      {{"msg", "0x10652065"}, "", 0, "Out of memory.\n"},
      {{"msg", "275062885"}, "", 0, "Out of memory.\n"},  // the same id in decimal
      {{"msg", "0x12345678"}, "", 1, ""},
      {{"msg", "zz"}, "", 2, ""},
      {{"object", "dump"}, "not der", 3, ""},
  };
  for (const auto& row : rows) {
    std::string label;
    for (const auto& a : row.args) label += a + " ";
    Result r = run(row.args, row.input);
    EXPECT_EQ(r.status, row.status) << label << "\n" << r.err;
    if (row.status == 0 || row.status == 1) {
      EXPECT_EQ(r.out, row.out) << label;
    }
    if (row.status >= 2) {
      EXPECT_EQ(r.err.rfind("ornutil: ", 0), 0u) << label << ": " << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << label << ": " << r.err;
    }
  }
}

TEST_F(Tool, Base64MatchesCoreutils) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>((i * 131 + 7) & 0xff);
  writeFileAt(dir_ + "/bytes", bytes);
  Result ours = run({"base64", dir_ + "/bytes"});
  ASSERT_EQ(ours.status, 0);
  std::system(("base64 -w0 " + dir_ + "/bytes > " + dir_ + "/theirs").c_str());
  EXPECT_EQ(ours.out, readFile(dir_ + "/theirs"));
  Result back = run({"base64", "-d"}, ours.out);
  EXPECT_EQ(back.out, bytes);
}

TEST_F(Tool, ScrambleRoundTripThroughStandardInput) {
  Result s = run({"scramble"}, "secret text\n");
  ASSERT_EQ(s.status, 0);
  EXPECT_NE(s.out, "secret text\n");
  Result u = run({"unscramble"}, s.out);
  EXPECT_EQ(u.out, "secret text\n");
}

TEST_F(Tool, ObjectDumpMasksSecrets) {
  NameValueMap map;
  map.addString("user", "alice");
  map.addString("password", "hunter2");
  orn_asn_buffer_t buffer = {0, nullptr};
  unsigned long status = 1;
  map.encode(buffer, status);
  ASSERT_EQ(status, 0u);
  writeFileAt(dir_ + "/tree", std::string(reinterpret_cast<char*>(buffer.data), buffer.length));
  orn_asn_buffer_free(&buffer);
  Result r = run({"object", "dump", dir_ + "/tree"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("user = alice"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("password = ******"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("hunter2"), std::string::npos);
}

TEST_F(Tool, ConfigReadsAndChangesFilesKeepingComments) {
  std::string file = dir_ + "/app.conf";
  const std::string before =
      "# application\n[meta-info]\nversion = 1792\n\n[db]\n# where\nhost = a\nport=1\nmember = x\nmember = y\n";
  writeFileAt(file, before);
  EXPECT_EQ(run({"config", "stanzas", file}).out, "meta-info\ndb\n");
  EXPECT_EQ(run({"config", "keys", file, "db"}).out, "host\nport\nmember\n");
  EXPECT_EQ(run({"config", "get", file, "db", "member"}).out, "x\ny\n");
  EXPECT_EQ(run({"config", "get", file, "db", "none"}).status, 1);
  EXPECT_EQ(run({"config", "keys", file, "nostanza"}).status, 1);
  EXPECT_EQ(readFile(file), before);  // reading changes nothing

  EXPECT_EQ(run({"config", "set", file, "db", "host", "b"}).status, 0);
  EXPECT_EQ(run({"config", "add", file, "db", "member", "z"}).status, 0);
  EXPECT_EQ(run({"config", "delete", file, "db", "member", "x"}).status, 0);
  EXPECT_EQ(run({"config", "delete", file, "db", "member", "nope"}).status, 1);
  EXPECT_EQ(run({"config", "delete", file, "db", "port"}).status, 0);
  EXPECT_EQ(run({"config", "set", file, "new", "k", "v"}).status, 0);
  EXPECT_EQ(readFile(file),
            "# application\n[meta-info]\nversion = 1792\n\n[db]\n# where\nhost = b\nmember = y\nmember = z\n\n[new]\nk = v\n");
}

TEST_F(Tool, ConfigErrors) {
  Result missing = run({"config", "get", dir_ + "/none.conf", "a", "b"});
  EXPECT_EQ(missing.status, 3);
  EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
  writeFileAt(dir_ + "/bad.conf", "[meta-info]\nversion = 1792\n[open\n");
  Result bad = run({"config", "get", dir_ + "/bad.conf", "a", "b"});
  EXPECT_EQ(bad.status, 3);
  EXPECT_NE(bad.err.find("bad.conf:3"), std::string::npos) << bad.err;
  writeFileAt(dir_ + "/ok.conf", "[meta-info]\nversion = 1792\n");
  EXPECT_EQ(run({"config", "set", dir_ + "/ok.conf", "s", "k", "two\nlines"}).status, 3);
  EXPECT_EQ(run({"config", "set", dir_ + "/ok.conf", "s", "k"}).status, 2);
  EXPECT_EQ(run({"config", "explode", dir_ + "/ok.conf"}).status, 2);
}

TEST_F(Tool, ConfigMigratesOldFilesOnLoad) {
  std::string file = dir_ + "/opt/BrenmoorWarden/etc/orn.conf";
  writeFileAt(file, "[ssl]\nssl-enable-fips = no\n");
  Result r = run({"config", "migrate", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1792\n");
  EXPECT_NE(readFile(file).find("ssl-compliance = none"), std::string::npos);
}

// Commands that need start-up or a read-only file system run in a private
// mount namespace.
class ToolSandboxed : public Tool {
 protected:
  void SetUp() override {
    Tool::SetUp();
    static std::string why;
    static bool supported = ornutil_test::sandboxSupported(&why);
    if (!supported) GTEST_SKIP() << "needs root and mount namespaces (" << why << ")";
  }
  // Shell text that enters a namespace with an overlay on /etc and a tmpfs
  // on /opt holding `ornConf` (if not empty), then runs the rest.
  std::string namespacePrefix(const std::string& ornConf) {
    writeFileAt(dir_ + "/orn.conf", ornConf);
    std::string script = "mount --make-rprivate / && mkdir -p " + dir_ + "/u " + dir_ + "/w && "
                         "mount -t overlay overlay -o lowerdir=/etc,upperdir=" + dir_ + "/u,workdir=" + dir_ +
                         "/w /etc && mount -t tmpfs tmpfs /opt && mkdir -p /opt/BrenmoorWarden/etc && " +
                         (ornConf.empty() ? "" : "cp " + dir_ + "/orn.conf /opt/BrenmoorWarden/etc/orn.conf && ") +
                         "exec \"$0\" \"$@\"";
    return "unshare --mount sh -c " + shellQuote(script) + " ";
  }
};

TEST_F(ToolSandboxed, PathsAndCompliance) {
  std::string conf = "[meta-info]\nversion = 1792\n[ornrte]\ncorvan_common_dir = /c\n[ssl]\nssl-compliance = suite-b-128\n";
  Result paths = run({"path", "/opt/BrenmoorWarden/etc/orn.conf", "@/var/BrenmoorWarden/log/x.log", "#nothing"}, "",
                     namespacePrefix(conf));
  EXPECT_EQ(paths.status, 1);
  EXPECT_EQ(paths.out, "/opt/BrenmoorWarden/etc/orn.conf\n/c/XKL/logs/x.log\n");
  EXPECT_EQ(paths.err, "ornutil: path: #nothing: not set\n");
  Result all = run({"path", "--all"}, "", namespacePrefix(conf));
  EXPECT_NE(all.out.find("#orn_undefined_orn_ccd_root\t/c\n"), std::string::npos) << all.out;
  Result mode = run({"compliance"}, "", namespacePrefix(conf));
  EXPECT_EQ(mode.status, 0) << mode.err;
  EXPECT_EQ(mode.out, "mode: suite-b-128\nsignature-algorithm: 22\nkey-size: 256\n");
}

TEST_F(ToolSandboxed, AFileThatCannotBeWrittenExitsWith4) {
  std::string ro = dir_ + "/ro";
  std::string script = "mount --make-rprivate / && mkdir -p " + ro + " && mount -t tmpfs tmpfs " + ro +
                       " && printf '[meta-info]\\nversion = 1792\\n[s]\\nk = 1\\n' > " + ro + "/a.conf && mount -o remount,ro " +
                       ro + " && exec \"$0\" \"$@\"";
  Result r = run({"config", "set", ro + "/a.conf", "s", "k", "2"}, "", "unshare --mount sh -c " + shellQuote(script) + " ");
  EXPECT_EQ(r.status, 4) << r.out << r.err;
  EXPECT_NE(r.err.find("Read-only file system"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

}  // namespace
