// ornutil path: mapped install paths.
#include <cstdio>

#include "foundation/zarraylist.h"
#include "foundation/zstring.h"
#include "tools/cli.h"
#include "util/getpath.h"

namespace {

int run(const cli::Args& args) {
  if (cli::wantsHelp(cli::kPath, args)) return cli::kOk;
  if (args.empty()) return cli::usage(cli::kPath, "no key given");
  if (args.size() == 1 && args[0] == "--all") {
    ornutil_init();
    ZArrayList_7_0_0 keys(64, 0), values(64, 0);
    ornPaths_->listKeys(keys);
    ornPaths_->listObjects(values);
    for (int i = 0; i < keys.size(); ++i) {
      auto* key = static_cast<ZAbstractString_7_0_0*>(keys.get(i));
      auto* value = static_cast<ZAbstractString_7_0_0*>(values.get(i));
      std::printf("%s\t%s\n", key->getChars(), value ? value->getChars() : "");
    }
    return cli::kOk;
  }
  int status = cli::kOk;
  for (const std::string& key : args) {
    const char* path = orn_get_path(key.c_str());
    if (!path) {
      status = cli::fail(cli::kNotFound, "path: " + key + ": not set");
      continue;
    }
    std::printf("%s\n", path);
  }
  return status;
}

}  // namespace

const cli::Command cli::kPath = {
    "path", "the mapped path of install keys and settings", 
    "usage: ornutil path KEY...\n"
    "       ornutil path --all\n\n"
    "Prints the path the library maps each KEY to after start-up: a default path\n"
    "(/opt/BrenmoorWarden/...) rebased on the data root, a log path\n"
    "(@/var/BrenmoorWarden/log/...) moved into the common log directory, or a\n"
    "setting (#...). --all prints every key the map holds, tab-separated from its\n"
    "path. Exit status 1 when a setting is not set.\n",
    run};
