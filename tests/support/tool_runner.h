// Runs the ornutil tool as a user does, through the shell, so that tests can
// give it any standard input, redirections and signal dispositions.
#ifndef ORNUTIL_TESTS_SUPPORT_TOOL_RUNNER_H
#define ORNUTIL_TESTS_SUPPORT_TOOL_RUNNER_H

#include <string>
#include <vector>

namespace ornutil_test {

struct ToolResult {
  int status;  // the exit status; 128 + n when signal n ended it; -1 otherwise
  std::string out, err;
};

// `text` quoted for the shell.
std::string shellQuote(const std::string& text);

// Runs `ornutil args...` with `input` on standard input; the scratch files
// go in `scratch`. `redirect` replaces the capture of standard output
// ("" captures it; e.g. ">&-" closes it), `prefix` is shell text put before
// the tool (e.g. "trap '' PIPE;"). A run that takes more than 60 s is ended.
ToolResult runTool(const std::string& scratch, const std::vector<std::string>& args, const std::string& input = "",
                   const std::string& redirect = "", const std::string& prefix = "");

}  // namespace ornutil_test

#endif
