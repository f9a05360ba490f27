// The tool's streaming commands as a user runs them, one process per
// iteration, against coreutils in the same run: `ornutil base64` and
// `ornutil base64 -d` of 100 MB beside `base64 -w0` and `base64 -d` of the
// same file, and `ornutil object dump` of encoded name/value trees: one of
// 100 MB, and one of a million names of 3 values each (about 62 MB).
// Each reports the peak resident memory of its process (wait4's rusage), so
// time and memory come from the same runs.
//
// Goals: base64 encode and decode at least 1.5x as fast as coreutils
// (reference time / our time), peak memory under 16 MiB at any input size;
// object dump peaks at no more than 3x its input (the peak_per_input_byte
// counter of its rows).
#include <benchmark/benchmark.h>
#include <chrono>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/ornasn.h"
#include "util/NameValueMap.h"

extern char** environ;

namespace {

constexpr std::size_t kInputSize = 100u * 1000 * 1000;

std::string gScratch;

std::string scratch(const char* name) { return gScratch + "/" + name; }

bool writeAll(const std::string& path, const void* data, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0;
}

struct Run {
  int status = -1;
  long peakKiB = 0;
};

// Runs argv with `input` on standard input and standard output into a
// scratch file.
Run run(std::vector<std::string> argv, const std::string& input) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(&a[0]);
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, scratch("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  Run r;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return r;
  int status = 0;
  struct rusage usage;
  if (::wait4(pid, &status, 0, &usage) != pid) return r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.peakKiB = usage.ru_maxrss;
  return r;
}

std::map<std::string, double> gSeconds;  // best time of each benchmark, for the ratios

void timeRuns(benchmark::State& state, const char* key, const std::vector<std::string>& argv,
              const std::string& input, std::size_t inputBytes) {
  long peak = 0;
  double best = 1e30;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    Run r = run(argv, input);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r.status != 0) {
      state.SkipWithError(("exit status " + std::to_string(r.status) + " from " + argv[0]).c_str());
      return;
    }
    state.SetIterationTime(seconds);
    best = std::min(best, seconds);
    peak = std::max(peak, r.peakKiB);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * inputBytes));
  state.counters["peak_MiB"] = static_cast<double>(peak) / 1024.0;
  state.counters["peak_per_input_byte"] = static_cast<double>(peak) * 1024.0 / static_cast<double>(inputBytes);
  gSeconds[key] = best;
}

void BM_OrnutilBase64Encode(benchmark::State& state) {
  timeRuns(state, "OrnutilBase64Encode", {ORNUTIL_TOOL, "base64"}, scratch("data"), kInputSize);
}
void BM_CoreutilsBase64Encode(benchmark::State& state) {
  timeRuns(state, "CoreutilsBase64Encode", {"base64", "-w0"}, scratch("data"), kInputSize);
}
void BM_OrnutilBase64Decode(benchmark::State& state) {
  timeRuns(state, "OrnutilBase64Decode", {ORNUTIL_TOOL, "base64", "-d"}, scratch("data.b64"), kInputSize / 3 * 4);
}
void BM_CoreutilsBase64Decode(benchmark::State& state) {
  timeRuns(state, "CoreutilsBase64Decode", {"base64", "-d"}, scratch("data.b64"), kInputSize / 3 * 4);
}
void BM_OrnutilObjectDump(benchmark::State& state) {
  struct stat st;
  ::stat(scratch("tree").c_str(), &st);
  timeRuns(state, "OrnutilObjectDump", {ORNUTIL_TOOL, "object", "dump"}, scratch("tree"), static_cast<std::size_t>(st.st_size));
}

void BM_OrnutilObjectDumpMillionNames(benchmark::State& state) {
  struct stat st;
  ::stat(scratch("tree-1m").c_str(), &st);
  timeRuns(state, "OrnutilObjectDumpMillionNames", {ORNUTIL_TOOL, "object", "dump"}, scratch("tree-1m"),
           static_cast<std::size_t>(st.st_size));
}

BENCHMARK(BM_OrnutilBase64Encode)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CoreutilsBase64Encode)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OrnutilBase64Decode)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CoreutilsBase64Decode)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OrnutilObjectDump)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_OrnutilObjectDumpMillionNames)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Encoded trees of names of 3 values each, as the product's objects hold
// them: 1,700,000 names make about 100 MB; a million names with the texts
// `shortTexts` makes about 62 MB.
bool makeTree(const std::string& path, int names = 1700000, bool shortTexts = false) {
  NameValueMap map;
  char name[32], value[32];
  for (int i = 0; i < names; ++i) {
    std::snprintf(name, sizeof name, shortTexts ? "attr-%07d" : "attribute-%07d", i);
    for (int v = 0; v < 3; ++v) {
      std::snprintf(value, sizeof value, shortTexts ? "val%d-%07d" : "value %d of %07d", v, i);
      map.addString(name, value);
    }
  }
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 0;
  map.encode(buffer, status);
  bool ok = status == 0 && writeAll(path, buffer.data, buffer.length);
  orn_asn_buffer_free(&buffer);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  char dir[] = "/tmp/ornutil-tool-bench-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  gScratch = dir;
  // The inputs are made in a child that exits: a spawned process starts
  // with its parent's peak resident size, so this process must stay small
  // for the children's peaks to be their own.
  pid_t maker = ::fork();
  if (maker == 0) {
    std::vector<unsigned char> data(kInputSize);
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
      std::uint64_t x = random();
      std::memcpy(&data[i], &x, 8);
    }
    bool ready = writeAll(scratch("data"), data.data(), data.size());
    std::vector<unsigned char>().swap(data);
    ready = ready && std::system(("base64 -w0 " + scratch("data") + " > " + scratch("data.b64")).c_str()) == 0;
    ready = ready && makeTree(scratch("tree"));
    ready = ready && makeTree(scratch("tree-1m"), 1000000, true);
    ::_exit(ready ? 0 : 1);
  }
  int status = 1;
  if (maker < 0 || ::waitpid(maker, &status, 0) != maker || status != 0) {
    std::fprintf(stderr, "cannot make the inputs in %s\n", dir);
    return 1;
  }
  struct rusage self;
  ::getrusage(RUSAGE_SELF, &self);
  std::printf("peak of this process (a floor under every child's peak): %.1f MiB\n", self.ru_maxrss / 1024.0);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  auto ratio = [](const char* reference, const char* ours) {
    if (!gSeconds.count(reference) || !gSeconds.count(ours)) return;
    std::printf("%-26s %.2fx (coreutils time / ornutil time, best runs; goal >= 1.5)\n", ours,
                gSeconds[reference] / gSeconds[ours]);
  };
  ratio("CoreutilsBase64Encode", "OrnutilBase64Encode");
  ratio("CoreutilsBase64Decode", "OrnutilBase64Decode");
  std::system(("rm -rf " + gScratch).c_str());
  return 0;
}
