// The allow-list check with its debug records on, as an administrator turns
// them on to find a bad input: the records of one call must grow with the
// input, not with its square. Each stray byte, each refused character is
// one record; a record may quote a bounded excerpt of the text, so the
// records of a call stay within kRecordBound bytes per input byte.
//
// Input: a text, then after the first NUL the allowed characters.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/svc.h"
#include "util/kelwchar.h"

namespace {

// A record's fixed part (time, program, handle, position, message) is about
// 120 bytes; the excerpt of the text it quotes is bounded well below the rest.
constexpr std::size_t kRecordBound = 1024;

std::string gDir, gLog;  // the records' file, in a private directory under /tmp

void removeLog() {
  ::unlink(gLog.c_str());
  ::rmdir(gDir.c_str());
}

std::size_t logSize() {
  struct stat st;
  return ::stat(gLog.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/ornutil-checkchars-fuzz-XXXXXX";
  if (!::mkdtemp(dir)) std::abort();
  gDir = dir;
  gLog = gDir + "/svc.log";
  std::atexit(removeLog);  // libFuzzer ends a run that found nothing with exit()
  setenv("ORN_SVC_LOG", gLog.c_str(), 1);
  unsetenv("ORN_SVC_DEBUG");
  unsigned long status = 0;
  orn_svc_init(0, &status);
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string text = input.substr(0, nul);
  const std::string allowed = nul == std::string::npos ? "" : input.substr(nul + 1);

  if (::truncate(gLog.c_str(), 0) != 0 && logSize() != 0) std::abort();
  kel_mbs_checkchars2(text.c_str(), allowed.c_str());
  const std::size_t written = logSize();
  if (written > kRecordBound * (text.size() + 1)) {
    std::fprintf(stderr, "checkchars_trace_fuzz: %zu bytes of records for a text of %zu bytes\n", written,
                 text.size());
    std::abort();
  }
  return 0;
}
