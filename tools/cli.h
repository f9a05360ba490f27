// Shared pieces of the ornutil command-line tool: exit codes, messages,
// input, output, and the table of subcommands.
#ifndef ORNUTIL_TOOLS_CLI_H
#define ORNUTIL_TOOLS_CLI_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

enum Exit {
  kOk = 0,
  kNotFound = 1,     // not found, or false
  kUsage = 2,        // the command line is wrong
  kBadInput = 3,     // a file or text that cannot be used
  kCannotWrite = 4,  // a file (standard output included) that cannot be written or locked
};

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  const char* synopsis;  // one line, shown by `ornutil --help`
  const char* help;      // the subcommand's --help text
  int (*run)(const Args& args);
};

// The subcommands, defined beside their implementations.
extern const Command kPath, kConfig, kCompliance, kMsg, kBase64, kScramble, kUnscramble, kQuote, kFormat,
    kCheck, kObject;

// Writes "ornutil: <what>" and a newline to standard error, with control
// characters (and bytes that are not UTF-8) shown escaped, so no text from
// a file name or an input reaches the terminal raw; returns `code`.
int fail(int code, const std::string& what);
// A usage error for `command`, pointing at its --help.
int usage(const Command& command, const std::string& what);
// True (after printing the help) when args ask for --help.
bool wantsHelp(const Command& command, const Args& args);

// `text` with every control character, C1 control and byte that is not part
// of a valid UTF-8 character escaped as \n, \t, \\ or \xHH (as ls -b shows
// names).
std::string printable(const std::string& text);
// A name for a message, in single quotes (fail() escapes the whole message).
std::string quoted(const std::string& name);

// A file, or standard input for "-" or "", read in blocks.
class Input {
 public:
  // False, with `error` set ("'name': reason"), when the file cannot be
  // opened or is a directory.
  bool open(const std::string& file, std::string& error);
  ~Input();
  // Up to `size` bytes; 0 at the end; -1 with `error` set on a read error.
  ssize_t read(char* buffer, std::size_t size, std::string& error);
  // For a regular file, the bytes left from where reading starts (as open
  // saw them); 0 for anything else.
  std::size_t sizeHint() const { return sizeHint_; }

 private:
  int fd_ = -1;
  std::size_t sizeHint_ = 0;
  bool owned_ = false;
  std::string name_;
};

// The bytes of FILE, or of standard input for "-" or no file. False, with
// `error` set, when the file cannot be opened or read.
bool readInput(const std::string& file, std::string& data, std::string& error);

// Writes bytes to standard output. Failures are found when the output is
// finished (they stick to the stream).
void writeOut(const std::string& data);
void writeOut(const char* data, std::size_t size);

// Before anything else: a standard descriptor the tool was started without
// is opened on a harmless device, so that no file the tool opens takes its
// number (and gets standard output written into it). Writing to a standard
// output that was closed then fails, as it should.
void guardStandardDescriptors();
// Flushes and closes standard output. False, with `error` set to the
// reason, when anything written to it was not written.
bool finishOutput(std::string& error);

}  // namespace cli

#endif
