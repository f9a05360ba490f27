// A temporary directory for tests that make files, removed with everything
// in it when the test ends, and small file helpers.
#ifndef ORNUTIL_TESTS_SUPPORT_TEMP_DIR_H
#define ORNUTIL_TESTS_SUPPORT_TEMP_DIR_H

#include <string>
#include <vector>

namespace ornutil_test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative; parent directories of the result are created.
  std::string file(const std::string& relative) const;

 private:
  std::string path_;
};

// Writes `data` to `path` (replacing it); false on failure.
bool writeFile(const std::string& path, const std::string& data);
// Names in a directory, "." and ".." left out.
std::vector<std::string> listDir(const std::string& dir);
// Open descriptors of this process (entries of /proc/self/fd).
int openDescriptorCount();

}  // namespace ornutil_test

#endif
