// Shared pieces of the ornutil command-line tool: exit codes, messages,
// input, and the table of subcommands.
#ifndef ORNUTIL_TOOLS_CLI_H
#define ORNUTIL_TOOLS_CLI_H

#include <string>
#include <vector>

namespace cli {

enum Exit {
  kOk = 0,
  kNotFound = 1,     // not found, or false
  kUsage = 2,        // the command line is wrong
  kBadInput = 3,     // a file or text that cannot be used
  kCannotWrite = 4,  // a file that cannot be written or locked
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

// Writes "ornutil: <what>" and a newline to standard error; returns `code`.
int fail(int code, const std::string& what);
// A usage error for `command`, pointing at its --help.
int usage(const Command& command, const std::string& what);
// True (after printing the help) when args ask for --help.
bool wantsHelp(const Command& command, const Args& args);
// The bytes of FILE, or of standard input for "-" or no file. False, with
// `error` set, when the file cannot be read.
bool readInput(const std::string& file, std::string& data, std::string& error);
// Writes bytes to standard output.
void writeOut(const std::string& data);

}  // namespace cli

#endif
