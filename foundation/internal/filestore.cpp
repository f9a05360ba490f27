#include "foundation/internal/filestore.h"

#include "foundation/zexception.h"

namespace ornz {

namespace {

const char kModule[] = "foundation/filestore";

[[noreturn]] void danglingLink(const char* fileName, const std::string& target) {
  std::string reason = "it is a symbolic link to " + target + ", which does not exist";
  ZException_7_0_0 e(kCodeFileNotWritable, ("cannot store " + std::string(fileName) + ": " + reason).c_str());
  e.addInsert("store").addInsert(fileName).addInsert(reason.c_str());
  e.throwException(kModule, __LINE__);
}

}  // namespace

std::string storeTarget(const char* fileName) {
  bool dangling = false;
  std::string target = resolveSymlinks(fileName, &dangling);
  if (dangling) danglingLink(fileName, target);
  checkReplaceable(target);  // no lock file beside a device or FIFO either
  return target;
}

bool whenPresent(const std::function<void()>& read) {
  try {
    read();
    return true;
  } catch (ZException_7_0_0& e) {
    if (e.code != kCodeFileNotFound) throw;
    return false;
  }
}

std::string readIfPresent(const std::string& path, bool& present) {
  std::string text;
  present = whenPresent([&] { text = readWholeFile(path.c_str()); });
  return text;
}

}  // namespace ornz
