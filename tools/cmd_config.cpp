// ornutil config: read and change stanza configuration files.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "foundation/internal/memoryrule.h"
#include "foundation/zarraylist.h"
#include "foundation/zexception.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "tools/cli.h"
#include "util/OrnStanzaFileProperties.h"

namespace {

const char kHelp[] =
    "usage: ornutil config get FILE STANZA KEY\n"
    "       ornutil config set FILE STANZA KEY VALUE\n"
    "       ornutil config add FILE STANZA KEY VALUE\n"
    "       ornutil config delete FILE STANZA KEY [VALUE]\n"
    "       ornutil config stanzas FILE\n"
    "       ornutil config keys FILE STANZA\n"
    "       ornutil config migrate FILE\n\n"
    "FILE is opened as the library opens configuration files, so a file written\n"
    "by an earlier release is migrated (and stored) when it is read. get prints\n"
    "every value of the key, one per line; set replaces all values with one; add\n"
    "appends a value; delete removes the key, or only the first value equal to\n"
    "VALUE. Changes are stored atomically and keep every comment; set, add and\n"
    "delete hold the file's lock from reading to storing, so changes made at\n"
    "once by several processes are all kept. Symbolic links are followed: the\n"
    "real file is changed and the link stays. migrate loads the file and prints\n"
    "its format version.\n"
    "Exit status 1 when the stanza or key does not exist, 3 when the file\n"
    "cannot be read, is not a regular file or holds invalid data, 4 when it\n"
    "cannot be written or locked.\n";

int wrongCount() { return cli::usage(cli::kConfig, "wrong number of arguments"); }

int cannotWrite(const ZException_7_0_0& e) { return cli::fail(cli::kCannotWrite, std::string("config: ") + e.text); }

bool changes(const std::string& verb) { return verb == "set" || verb == "add" || verb == "delete"; }

int runCommand(const cli::Args& args, OrnStanzaFileProperties* p) {
  const std::string& verb = args[0];
  const std::string& file = args[1];
  std::size_t n = args.size();
  if (verb == "get") {
    if (n != 4) return wrongCount();
    ZArrayList_7_0_0 values(10, 1);
    p->getValues(args[2].c_str(), args[3].c_str(), values, ZPropertyUTF8String);
    if (values.size() == 0) return cli::fail(cli::kNotFound, "config: " + args[2] + "/" + args[3] + ": not set");
    for (int i = 0; i < values.size(); ++i)
      std::printf("%s\n", static_cast<ZAbstractString_7_0_0*>(values.get(i))->getChars());
    return cli::kOk;
  }
  if (verb == "stanzas") {
    if (n != 2) return wrongCount();
    ZArrayList_7_0_0 names(10, 1);
    p->stanzaNames(names);
    for (int i = 0; i < names.size(); ++i)
      std::printf("%s\n", static_cast<ZAbstractString_7_0_0*>(names.get(i))->getChars());
    return cli::kOk;
  }
  if (verb == "keys") {
    if (n != 3) return wrongCount();
    if (!p->exists(args[2].c_str())) return cli::fail(cli::kNotFound, "config: " + args[2] + ": no such stanza");
    ZArrayList_7_0_0 names(10, 1);
    p->keyNames(args[2].c_str(), names);
    for (int i = 0; i < names.size(); ++i)
      std::printf("%s\n", static_cast<ZAbstractString_7_0_0*>(names.get(i))->getChars());
    return cli::kOk;
  }
  if (verb == "migrate") {
    if (n != 2) return wrongCount();
    // As written: a version this release cannot read is shown, not taken for 0.
    ZUTF8String_7_0_0 version;
    p->getValue("meta-info", "version", version, 0, "0");
    std::printf("%s\n", version.getChars());
    return cli::kOk;
  }
  if (verb == "set" || verb == "add") {
    if (n != 5) return wrongCount();
    if (verb == "set") p->setValue(args[2].c_str(), args[3].c_str(), args[4].c_str(), 0);
    else p->addValue(args[2].c_str(), args[3].c_str(), args[4].c_str(), 0);
  } else if (verb == "delete") {
    if (n != 4 && n != 5) return wrongCount();
    if (n == 5) {
      if (!p->existsValue(args[2].c_str(), args[3].c_str(), args[4].c_str()))
        return cli::fail(cli::kNotFound, "config: " + args[2] + "/" + args[3] + ": no value " + args[4]);
      p->deleteValue(args[2].c_str(), args[3].c_str(), args[4].c_str());
    } else {
      if (!p->exists(args[2].c_str(), args[3].c_str()))
        return cli::fail(cli::kNotFound, "config: " + args[2] + "/" + args[3] + ": not set");
      p->deleteKey(args[2].c_str(), args[3].c_str());
    }
  } else {
    return cli::usage(cli::kConfig, "unknown action '" + verb + "'");
  }
  try {
    p->store(file.c_str());
  } catch (ZOutOfMemoryException_7_0_0&) {
    throw;
  } catch (ZException_7_0_0& e) {
    return cannotWrite(e);
  }
  return cli::kOk;
}

// Read-only actions read the file as every program of the product does.
// Changing ones hold the file's lock from before reading until the store, so
// that no other process's change lands in between and is lost. A missing
// file, or one that is no regular file, is reported by the load, before any
// lock file is made beside it.
int openAndRun(const cli::Args& args) {
  const std::string& file = args[1];
  if (!changes(args[0]))
    return runCommand(args, static_cast<OrnStanzaFileProperties*>(
                                OrnStanzaFileProperties::getRegisteredPropertiesFor(file.c_str(), 0)));
  OrnStanzaFileProperties p;
  struct stat st;
  if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    try {
      p.lockFile(file.c_str());
    } catch (ZException_7_0_0& e) {
      return cannotWrite(e);
    }
  }
  p.load(file.c_str());
  int status = runCommand(args, &p);
  p.unlockFile();
  return status;
}

int run(const cli::Args& args) {
  if (cli::wantsHelp(cli::kConfig, args)) return cli::kOk;
  if (args.size() < 2) return cli::usage(cli::kConfig, "an action and a file are needed");
  try {
    return ornz::orWhenOutOfMemory([&] { return openAndRun(args); },
                                   [] { return cli::fail(cli::kBadInput, "config: out of memory"); });
  } catch (ZException_7_0_0& e) {
    return cli::fail(cli::kBadInput, std::string("config: ") + e.text);
  }
}

}  // namespace

const cli::Command cli::kConfig = {"config", "read and change stanza configuration files", kHelp, run};
