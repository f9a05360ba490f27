// ornutil scramble and unscramble run as a user would: exit status, standard
// output and standard error for bad and broken texts, texts across the
// tool's 256 KiB blocks, and a large text in little memory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "tests/support/tool_runner.h"
#include "util/encode.h"

extern char** environ;

using ornutil_test::ToolResult;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORNUTIL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORNUTIL_SANITIZED 1
#endif
#endif
#ifndef ORNUTIL_SANITIZED
#define ORNUTIL_SANITIZED 0
#endif

namespace {

constexpr std::size_t kToolBlock = 256 << 10;  // what the tool reads at a time

class ToolScramble : public ::testing::Test {
 protected:
  // Runs `argv` with standard input from the file `input`, handing standard
  // output to `onOutput` piece by piece as it comes.
  ToolResult spawn(const std::vector<std::string>& argv, const std::string& input,
               const std::function<void(const char*, std::size_t)>& onOutput) {
    ToolResult r{-1, "", ""};
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe";
      return r;
    }
    const std::string errFile = dir_.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
      ::close(pipeFds[0]);
      ADD_FAILURE() << "cannot start " << argv[0];
      return r;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
      ssize_t got = ::read(pipeFds[0], buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      onOutput(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = ornutil_test::readFile(errFile);
    return r;
  }

  // `ornutil args...` with `input` on standard input.
  ToolResult run(const std::vector<std::string>& args, const std::string& input = "") {
    return ornutil_test::runTool(dir_.path(), args, input);
  }

  ornutil_test::TempDir dir_;
};

std::string scrambled(const std::string& text) {
  char* s = util_encode(text.c_str());
  EXPECT_NE(s, nullptr);
  std::string result = s ? s : "";
  std::free(s);
  return result;
}

// A text of `n` bytes with every byte value but NUL and 254 and plenty of
// line ends, not starting with the marker.
std::string randomText(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string text(n, 'x');
  for (std::size_t i = 1; i < n; ++i) {
    unsigned c = rng() % 300;
    text[i] = c >= 256 ? '\n' : static_cast<char>(c == 0 || c == 254 ? 'z' : c);
  }
  return text;
}

TEST_F(ToolScramble, TableOfTexts) {
  const std::string kBroken = "ornutil: unscramble: can't decode char at ";
  const struct {
    const char* description;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out, err;  // exact
  } rows[] = {
      {"empty input gives the marker", {"scramble"}, "", 0, "~^+\n", ""},
      {"a line end alone is the empty text", {"scramble"}, "\n", 0, "~^+\n", ""},
      {"TEXT", {"scramble", "ab"}, "", 0, "~^+g;;;;;;;b~\n", ""},
      {"standard input without its final line end", {"scramble"}, "ab\n", 0, "~^+g;;;;;;;b~\n", ""},
      {"only the final line end is dropped", {"scramble"}, "ab\n\n", 0, "~^+g;;;;;;;b~\r=============\n", ""},
      {"TEXT keeps its line end", {"scramble", "ab\n"}, "", 0, "~^+g;;;;;;;b~\r=============\n", ""},
      {"a scrambled text is printed unchanged", {"scramble"}, "~^+abc\n", 0, "~^+abc\n", ""},
      {"254 in a scrambled text is kept", {"scramble"}, "~^+\xfe^^^^^^^", 0, "~^+\xfe^^^^^^^\n", ""},
      {"byte 254 on standard input",
       {"scramble"},
       "ab\xfe"
       "cd\n",
       3,
       "",
       "ornutil: scramble: the text holds the byte 254 at 2, which the scrambled form cannot hold\n"},
      {"byte 254 in TEXT",
       {"scramble", "\xfe"},
       "",
       3,
       "",
       "ornutil: scramble: the text holds the byte 254 at 0, which the scrambled form cannot hold\n"},
      {"NUL", {"scramble"}, std::string("ab\0cd", 5), 3, "", "ornutil: scramble: the text holds a NUL byte at 2\n"},
      {"NUL in a scrambled text",
       {"scramble"},
       std::string("~^+b~\0", 6),
       3,
       "",
       "ornutil: scramble: the text holds a NUL byte at 5\n"},
      {"two texts", {"scramble", "a", "b"}, "", 2, "", "ornutil: scramble: one text at most (see 'ornutil scramble --help')\n"},

      {"unscramble TEXT", {"unscramble", "~^+g;;;;;;;b~"}, "", 0, "ab\n", ""},
      {"unscramble standard input", {"unscramble"}, "~^+g;;;;;;;b~\n", 0, "ab\n", ""},
      {"unscramble empty input", {"unscramble"}, "", 0, "\n", ""},
      {"the marker alone is the empty text", {"unscramble", "~^+"}, "", 0, "\n", ""},
      {"a plain text is printed unchanged", {"unscramble"}, "plain\n", 0, "plain\n", ""},
      {"part of the marker is plain", {"unscramble", "~^"}, "", 0, "~^\n", ""},
      {"a run cut short ends the text", {"unscramble", "~^+\x09^^"}, "", 0, "\x08\n", ""},
      {"broken: stored byte at the end",
       {"unscramble", "~^+a"},
       "",
       3,
       "",
       kBroken + "4: the text ends after a stored byte\n"},
      {"broken: a letter where a symbol belongs",
       {"unscramble"},
       "~^+g;;;;;;;bX\n",
       3,
       "",
       kBroken + "12: a stored byte is not followed by one of the symbols ~^+=?|;\n"},
      {"broken: the final line end is not part of the text",
       {"unscramble"},
       "~^+g;;;;;;;b\n",
       3,
       "",
       kBroken + "12: the text ends after a stored byte\n"},
      {"a text that decodes to NUL",
       {"unscramble"},
       "~^+b~\x01^^^^^^^",
       3,
       "",
       "ornutil: unscramble: the text decodes to a NUL byte (byte 1 of the plain text)\n"},
      {"NUL in a scrambled text",
       {"unscramble"},
       std::string("~^+g;\0;;;;;", 11),
       3,
       "",
       "ornutil: unscramble: the text holds a NUL byte at 5\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    ToolResult r = run(row.args, row.input);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
  }
}

// Texts that cross the tool's blocks, with a line end on a block's last byte
// (held back until the tool knows whether it is the final one).
TEST_F(ToolScramble, RoundTripsAcrossBlocksThroughStandardInput) {
  for (std::size_t n : {kToolBlock - 1, kToolBlock, kToolBlock + 1, 3 * kToolBlock + 77, std::size_t(3) << 20}) {
    SCOPED_TRACE(n);
    std::string text = randomText(n, static_cast<unsigned>(n));
    // Line ends as the last bytes of the first block read.
    for (std::size_t i = kToolBlock - 2; i < std::min(n, kToolBlock); ++i) text[i] = '\n';
    const std::string input = text + "\n";
    ToolResult s = run({"scramble"}, input);
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.err, "");
    ASSERT_TRUE(s.out == scrambled(text) + "\n") << "scrambled form differs from util_encode's";
    ToolResult u = run({"unscramble"}, s.out);
    ASSERT_EQ(u.status, 0) << u.err;
    EXPECT_TRUE(u.out == input) << "round trip changed the text";
  }
}

// A bad byte or broken symbol is refused wherever it lies. In the first block
// nothing reaches standard output; further on, what was written is the
// correct output of the blocks before it, never the plain text.
TEST_F(ToolScramble, FaultsFarIntoALargeText) {
  const std::string text = randomText(std::size_t(3) << 20, 3);
  for (std::size_t at : {std::size_t(1000), kToolBlock - 1, std::size_t(2) << 20}) {
    SCOPED_TRACE(at);
    std::string bad = text;
    bad[at] = '\xfe';
    ToolResult r = run({"scramble"}, bad);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ornutil: scramble: the text holds the byte 254 at " + std::to_string(at) +
                         ", which the scrambled form cannot hold\n");
    if (at < kToolBlock) {
      EXPECT_EQ(r.out.size(), 0u);
    }
    EXPECT_TRUE(scrambled(text).compare(0, r.out.size(), r.out) == 0) << "not a prefix of the scrambled text";
  }

  // A stored byte put where the next one belongs, far into the text.
  const std::string good = scrambled(text), head = scrambled(text.substr(0, 300000));
  const struct {
    std::string input;
    std::size_t position;
    const char* reason;
  } broken[] = {
      {good + "A", good.size() + 1, "the text ends after a stored byte"},
      {head + "AB" + good.substr(head.size()), head.size() + 1, "a stored byte is not followed by one of"},
  };
  for (const auto& b : broken) {
    SCOPED_TRACE(b.position);
    ToolResult r = run({"unscramble"}, b.input);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.rfind("ornutil: unscramble: can't decode char at " + std::to_string(b.position) + ": ", 0), 0u)
        << r.err;
    EXPECT_NE(r.err.find(b.reason), std::string::npos) << r.err;
    EXPECT_TRUE(text.compare(0, r.out.size(), r.out) == 0) << "not a prefix of the plain text";
  }
}

// The output a scrambled text should give, made a slice at a time as the
// tool's output comes: the scrambled form of a text is the marker and the
// forms of its bytes, in order, and the tool adds a line end.
class ExpectedScrambled {
 public:
  explicit ExpectedScrambled(const std::string& text) : text_(text) {}

  // False once the output has differed from what it should be.
  bool match(const char* data, std::size_t n) {
    while (same_ && n > 0) {
      if (offset_ == chunk_.size() && !refill()) return same_ = false;  // output too long
      std::size_t take = std::min(n, chunk_.size() - offset_);
      same_ = chunk_.compare(offset_, take, data, take) == 0;
      offset_ += take;
      data += take;
      n -= take;
    }
    return same_;
  }
  // True when all of it has come.
  bool complete() const { return same_ && ended_ && offset_ == chunk_.size(); }

 private:
  bool refill() {
    constexpr std::size_t kSlice = 1 << 20;
    if (next_ < text_.size()) {
      chunk_ = scrambled(text_.substr(next_, kSlice)).substr(3);
      next_ += std::min(kSlice, text_.size() - next_);
    } else if (!ended_) {
      chunk_ = "\n";
      ended_ = true;
    } else {
      return false;
    }
    offset_ = 0;
    return true;
  }

  const std::string& text_;
  std::size_t next_ = 0, offset_ = 0;
  std::string chunk_ = "~^+";
  bool ended_ = false, same_ = true;
};

// The tool used to hold the text and its scrambled form whole (some 30 times
// the text), and printed the plain text when that could not be allocated.
// Streaming, 50 MB go through in 200 MB of address space, and the output is
// util_encode's.
TEST_F(ToolScramble, LargeTextInLittleMemory) {
  if (ORNUTIL_SANITIZED) GTEST_SKIP() << "the sanitizers reserve more address space than any limit leaves";
  const std::string text = randomText(50 << 20, 50);
  const std::string input = dir_.file("big");
  ASSERT_TRUE(ornutil_test::writeFile(input, text + "\n"));
  ExpectedScrambled expected(text);
  std::size_t total = 0;
  ToolResult r = spawn({"/bin/bash", "-c", "ulimit -v 200000 && exec \"$0\" scramble", ORNUTIL_TOOL}, input,
                   [&](const char* data, std::size_t n) {
                     total += n;
                     expected.match(data, n);
                   });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(expected.complete()) << "output differs from util_encode's, or ends early (" << total << " bytes)";
}

// Short of memory, the tool fails (or cannot even start) and prints nothing:
// never the plain text as if it were scrambled. The limits run from too
// little to start the process to enough.
TEST_F(ToolScramble, ShortOfMemoryNeverPrintsThePlainText) {
  if (ORNUTIL_SANITIZED) GTEST_SKIP() << "the sanitizers reserve more address space than any limit leaves";
  const std::string input = dir_.file("secret");
  ASSERT_TRUE(ornutil_test::writeFile(input, "secret text\n"));
  const std::string expected = scrambled("secret text") + "\n";
  bool failedOnce = false, succeededOnce = false;
  for (int limitKiB = 4000; limitKiB <= 40000; limitKiB += 2000) {
    SCOPED_TRACE(limitKiB);
    std::string out;
    ToolResult r = spawn({"/bin/bash", "-c", "ulimit -v " + std::to_string(limitKiB) + " && exec \"$0\" scramble",
                          ORNUTIL_TOOL},
                         input, [&](const char* data, std::size_t n) { out.append(data, n); });
    if (r.status == 0) {
      EXPECT_EQ(out, expected);
      succeededOnce = true;
    } else {
      EXPECT_EQ(out, "") << r.err;
      failedOnce = true;
    }
  }
  EXPECT_TRUE(failedOnce && succeededOnce) << "the limits no longer span the tool's needs";
}

}  // namespace
