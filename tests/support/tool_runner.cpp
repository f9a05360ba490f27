#include "tests/support/tool_runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

namespace ornutil_test {

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

ToolResult runTool(const std::string& scratch, const std::vector<std::string>& args, const std::string& input,
                   const std::string& redirect, const std::string& prefix) {
  const std::string in = scratch + "/.tool-in", out = scratch + "/.tool-out", err = scratch + "/.tool-err";
  writeFile(in, input);
  std::string command = prefix + " timeout 60 " + shellQuote(ORNUTIL_TOOL);
  for (const std::string& a : args) command += " " + shellQuote(a);
  command += " <" + in + " 2>" + err + " " + (redirect.empty() ? ">" + out : redirect);
  command += "; exit $?";
  int raw = std::system(("bash -c " + shellQuote(command)).c_str());
  ToolResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(out), readFile(err)};
  for (const std::string& f : {in, out, err}) ::unlink(f.c_str());
  return r;
}

}  // namespace ornutil_test
