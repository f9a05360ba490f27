#include "bench/support/machine_context.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "util/internal/base64_core.h"

namespace ornutil_bench {

namespace {

// The value of the first "key : value" line of /proc/cpuinfo with that key
// (the first processor's), or "" when there is none.
std::string cpuinfoField(const std::string& all, const char* key) {
  const std::string wanted(key);
  std::size_t at = 0;
  while (at < all.size()) {
    std::size_t end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(at, end - at);
    at = end + 1;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    if (name != wanted) continue;
    std::size_t v = line.find_first_not_of(" \t", colon + 1);
    return v == std::string::npos ? std::string() : line.substr(v);
  }
  return {};
}

std::string readCpuinfo() {
  std::ifstream in("/proc/cpuinfo");
  std::string all, line;
  // The first processor's block is enough; it ends at the first blank line.
  while (std::getline(in, line) && !line.empty()) all += line + '\n';
  return all;
}

std::string pathName(ornutil::base64::Path path) {
  switch (path) {
    case ornutil::base64::Path::scalar: return "scalar";
    case ornutil::base64::Path::avx2: return "avx2";
    case ornutil::base64::Path::avx512: return "avx512";
    case ornutil::base64::Path::automatic: break;
  }
  return "automatic";
}

}  // namespace

std::string cpuModel() {
  const std::string all = readCpuinfo();
  std::string model = cpuinfoField(all, "model name");
  if (model.empty()) model = "unknown processor";
  const std::string family = cpuinfoField(all, "cpu family"), number = cpuinfoField(all, "model"),
                    stepping = cpuinfoField(all, "stepping");
  std::string details;
  if (!family.empty()) details += "family " + family;
  if (!number.empty()) details += (details.empty() ? "" : ", ") + std::string("model ") + number;
  if (!stepping.empty()) details += (details.empty() ? "" : ", ") + std::string("stepping ") + stepping;
  return details.empty() ? model : model + " (" + details + ")";
}

std::string cpuFeatures() {
  std::string out;
  auto add = [&out](const char* name, bool has) {
    if (!out.empty()) out += ' ';
    if (!has) out += '-';
    out += name;
  };
#if defined(__x86_64__) || defined(__i386__)
  // libgcc's answers include the operating system's consent (XSAVE state)
  // for the vector extensions, which is what decides whether code may run.
  __builtin_cpu_init();
  add("avx2", __builtin_cpu_supports("avx2"));
  add("avx512f", __builtin_cpu_supports("avx512f"));
  add("avx512bw", __builtin_cpu_supports("avx512bw"));
  add("avx512vbmi", __builtin_cpu_supports("avx512vbmi"));
  add("avx512vbmi2", __builtin_cpu_supports("avx512vbmi2"));
  add("bmi2", __builtin_cpu_supports("bmi2"));
#else
  out = "not x86";
#endif
  return out;
}

std::string isaPaths() {
  // Base64 chooses at run time (and says which); the scramble kernel has one
  // portable path; the UTF-8 walk of validation, quoting and formatting uses
  // SSE2 when the build targets it, fixed at compile time.
  std::string paths = "base64=" + pathName(ornutil::base64::active_path());
  paths += " scramble=scalar";
#if defined(__SSE2__)
  paths += " utf8-walk=sse2";
#else
  paths += " utf8-walk=scalar";
#endif
#if defined(__AVX2__)
  paths += " build=avx2";
#else
  paths += " build=baseline";
#endif
  return paths;
}

namespace {

// Runs before main, so that no benchmark's main needs to know of it.
const bool kAdded = [] {
  benchmark::AddCustomContext("cpu_model", cpuModel());
  benchmark::AddCustomContext("cpu_features", cpuFeatures());
  benchmark::AddCustomContext("isa_paths", isaPaths());
  return true;
}();

}  // namespace

}  // namespace ornutil_bench
