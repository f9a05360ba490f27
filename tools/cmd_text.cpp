// ornutil quote, format and check: multibyte text for directory queries.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/zexception.h"
#include "tools/cli.h"
#include "util/kelwchar.h"
#include "util/mbs_sprintf.h"
#include "util/patquote.h"

namespace {

int quote(const cli::Args& args) {
  if (cli::wantsHelp(cli::kQuote, args)) return cli::kOk;
  if (args.size() != 2 || (args[0] != "--pattern" && args[0] != "--value"))
    return cli::usage(cli::kQuote, "expected --pattern or --value and one text");
  char* out = args[0] == "--pattern" ? kel_mbs_patquote(args[1].c_str()) : kel_mbs_nopatquote(args[1].c_str());
  if (!out) return cli::fail(cli::kBadInput, "quote: the text is not valid UTF-8");
  std::printf("%s\n", out);
  std::free(out);
  return cli::kOk;
}

// kel_mbs_sprintf takes its arguments as C varargs: the format's directives
// are counted first and at most kMaxArgs are passed.
constexpr std::size_t kMaxArgs = 16;

int format(const cli::Args& args) {
  if (cli::wantsHelp(cli::kFormat, args)) return cli::kOk;
  if (args.empty()) return cli::usage(cli::kFormat, "no format given");
  const std::string& fmt = args[0];
  std::size_t directives = 0;
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != '%') continue;
    if (i + 1 >= fmt.size() || std::string("sPQLMDA").find(fmt[i + 1]) == std::string::npos)
      return cli::usage(cli::kFormat, "the format holds a directive other than %s %P %Q %L %M %D %A");
    ++directives;
    ++i;
  }
  if (directives != args.size() - 1)
    return cli::usage(cli::kFormat, "the format takes " + std::to_string(directives) + " arguments");
  if (directives > kMaxArgs) return cli::usage(cli::kFormat, "at most 16 arguments");
  std::vector<const char*> a(kMaxArgs, "");
  for (std::size_t i = 0; i < directives; ++i) a[i] = args[i + 1].c_str();
  char* out = kel_mbs_sprintf(fmt.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10],
                              a[11], a[12], a[13], a[14], a[15]);
  if (!out) return cli::fail(cli::kBadInput, "format: an argument is not valid UTF-8");
  std::printf("%s\n", out);
  std::free(out);
  return cli::kOk;
}

int check(const cli::Args& args) {
  if (cli::wantsHelp(cli::kCheck, args)) return cli::kOk;
  int ok;
  if (args.size() == 1) {
    ok = kel_mbs_validpchars(args[0].c_str());
  } else if (args.size() == 2 && args[0] == "--name") {
    ok = kel_mbs_validpchars(args[1].c_str());
  } else if (args.size() == 2 && args[0] == "--pattern") {
    ok = kel_mbs_validpatchars(args[1].c_str());
  } else if (args.size() == 3 && args[0] == "--reject") {
    ok = kel_mbs_validpchars2(args[2].c_str(), args[1].c_str());
  } else {
    return cli::usage(cli::kCheck, "expected [--pattern|--name|--reject LIST] TEXT");
  }
  std::printf("%s\n", ok ? "valid" : "invalid");
  return ok ? cli::kOk : cli::kNotFound;
}

}  // namespace

const cli::Command cli::kQuote = {
    "quote", "escape a text for a directory search filter",
    "usage: ornutil quote --pattern TEXT\n"
    "       ornutil quote --value TEXT\n\n"
    "Escapes the characters a search filter gives a meaning to as \\XX: ( ) and \\\n"
    "for a pattern (the * wildcard stays), * ( ) and \\ for a value. Multibyte\n"
    "UTF-8 characters are kept. Exit status 3 for text that is not valid UTF-8.\n",
    quote};

const cli::Command cli::kFormat = {
    "format", "build a query or name with quoted arguments",
    "usage: ornutil format FORMAT [ARG...]\n\n"
    "Formats like printf with string directives only, each ARG quoted for where\n"
    "it goes: %s as it is, %P filter pattern, %Q filter value, %L and %M Active\n"
    "Directory pattern and value, %D principal name (backslash escapes), %A only #\n"
    "escaped. Example: ornutil format '(cn=%Q)' 'a*b' prints (cn=a\\2ab).\n",
    format};

const cli::Command cli::kCheck = {
    "check", "check a name or pattern for characters it may not hold",
    "usage: ornutil check [--pattern|--name|--reject LIST] TEXT\n\n"
    "Prints valid or invalid. --name (the default) rejects * ? ( ) : \\ and\n"
    "control characters; --pattern allows the * wildcard; --reject LIST rejects\n"
    "the characters of LIST and control characters. Exit status 1 when invalid.\n",
    check};
