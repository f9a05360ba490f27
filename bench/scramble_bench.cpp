// Throughput of the scrambled-string codec: util_encode / util_decode, the
// block kernels the tool streams with, and `ornutil scramble` itself on
// 133 MB, with memcpy of the scrambled size and `cat` of the same input
// through the same pipe as the physical references. Sizes are plain bytes:
// the scrambled form is about ten times longer (1 + 63/7 bytes per byte).
//
//   encode/util_encode/<n>   util_encode of n plain bytes (allocates its result)
//   encode/stream/<n>        the block encoder, 256 KiB at a time into one buffer
//   decode/util_decode/<n>   util_decode of the scrambled form of n plain bytes
//   decode/stream/<n>        the streaming decoder over the same, 256 KiB pieces
//   memcpy/<n>               memcpy of the scrambled size of n plain bytes
//   tool/scramble/<n>        `ornutil scramble < file`, output read from a pipe
//   tool/cat/<n>             `cat file` through the same pipe
//
//   fresh_result/<n>         malloc, memset and free of util_encode's result
//                            size: the least any function returning that
//                            block pays (160 MiB of fresh pages at 16 MiB)
//
// Goals, printed after the runs: the tool scrambles at least 100 MB/s of
// plain text on 133 MB; its time is linear (MB/s on 133 MB at least 0.8 of
// that on 13.3 MB, and likewise the block encoder on 16 MiB against 1 MiB);
// util_encode runs at least 0.7 of the speed of fresh_result; the tool's
// peak resident memory stays under 16 MiB. The peak is the ru_maxrss of a
// tool started by a small helper (this program re-executed), because a
// process keeps the resident size of whatever it was started from: spawned
// from this one, it would report the inputs held here.
//
// The inputs live in a private directory made under /tmp, removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "util/encode.h"
#include "util/internal/scramble_kernel.h"

extern char** environ;

namespace {

namespace sc = ornutil::scramble;

constexpr std::size_t kMiB = 1 << 20;
constexpr std::size_t kBlock = 256 << 10;
constexpr std::size_t kToolLarge = 133000000, kToolSmall = 13300000;

// n bytes of text: every byte value but NUL and 254, not starting with the
// marker.
std::string text(std::size_t n) {
  std::string t(n, 'x');
  std::uint64_t x = 0x9e3779b97f4a7c15ull ^ n;
  for (std::size_t i = 1; i < n; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    unsigned c = static_cast<unsigned>(x >> 56);
    t[i] = static_cast<char>(c == 0 || c == 254 ? 'a' : c);
  }
  return t;
}

const std::string& plain(std::size_t n) {
  static std::map<std::size_t, std::string> texts;
  auto it = texts.find(n);
  if (it == texts.end()) it = texts.emplace(n, text(n)).first;
  return it->second;
}

const std::string& scrambledOf(std::size_t n) {
  static std::map<std::size_t, std::string> texts;
  auto it = texts.find(n);
  if (it == texts.end()) {
    char* s = util_encode(plain(n).c_str());
    it = texts.emplace(n, s ? s : "").first;
    std::free(s);
  }
  return it->second;
}

void utilEncode(benchmark::State& state, std::size_t n) {
  const std::string& in = plain(n);
  for (auto _ : state) {
    char* s = util_encode(in.c_str());
    benchmark::DoNotOptimize(s);
    if (s == nullptr) {
      state.SkipWithError("util_encode gave null");
      break;
    }
    std::free(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void streamEncode(benchmark::State& state, std::size_t n) {
  const auto* in = reinterpret_cast<const unsigned char*>(plain(n).data());
  std::vector<char> out(kBlock * sc::kMaxFormLength);
  for (auto _ : state) {
    for (std::size_t at = 0; at < n; at += kBlock) {
      char* end = sc::encodeBytes(in + at, std::min(kBlock, n - at), out.data());
      benchmark::DoNotOptimize(end);
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void utilDecode(benchmark::State& state, std::size_t n) {
  const std::string& in = scrambledOf(n);
  for (auto _ : state) {
    char* s = util_decode(in.c_str());
    benchmark::DoNotOptimize(s);
    std::free(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void streamDecode(benchmark::State& state, std::size_t n) {
  const std::string& in = scrambledOf(n);
  const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
  std::vector<char> out(kBlock + 2);
  for (auto _ : state) {
    sc::Decoder decoder;
    for (std::size_t at = 0; at < in.size(); at += kBlock) {
      std::size_t got = decoder.feed(bytes + at, std::min(kBlock, in.size() - at), out.data());
      benchmark::DoNotOptimize(got);
      benchmark::ClobberMemory();
    }
    if (decoder.finish(out.data()) != 0 || decoder.broken()) {
      state.SkipWithError("decoder broke");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void freshResult(benchmark::State& state, std::size_t n) {
  const std::string& in = scrambledOf(n);
  for (auto _ : state) {
    char* block = static_cast<char*>(std::malloc(in.size() + 1));
    if (block == nullptr) {
      state.SkipWithError("out of memory");
      break;
    }
    std::memset(block, '~', in.size() + 1);
    benchmark::DoNotOptimize(block);
    benchmark::ClobberMemory();
    std::free(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void copy(benchmark::State& state, std::size_t n) {
  const std::string& in = scrambledOf(n);
  std::vector<char> out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

// ---------------------------------------------------------------- the tool

std::string gScratch;
std::string gSelf;  // this program, which measures a child's peak memory when run as
                    //   scramble_bench --measure-peak PROGRAM ARGS...
constexpr const char* kMeasurePeak = "--measure-peak";

// The helper: runs PROGRAM ARGS... from this small process, writes its
// ru_maxrss (KiB) on descriptor 3 and exits with its status.
int measurePeak(char** argv) {
  pid_t pid = ::fork();
  if (pid < 0) return 126;
  if (pid == 0) {
    ::close(3);
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  std::string peak = std::to_string(usage.ru_maxrss);
  if (::write(3, peak.data(), peak.size()) < 0) return 126;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}

// The plain text of n bytes in a file of the scratch directory, with a final
// line end as a shell pipeline would give it.
std::string inputFile(std::size_t n) {
  std::string path = gScratch + "/plain-" + std::to_string(n);
  if (::access(path.c_str(), R_OK) == 0) return path;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return "";
  const std::string t = text(n);
  bool ok = std::fwrite(t.data(), 1, t.size(), f) == t.size() && std::fputc('\n', f) != EOF;
  if (std::fclose(f) != 0 || !ok) return "";
  return path;
}

struct ChildRun {
  bool ok = false;
  std::size_t output = 0;   // bytes read from its standard output
  long peakKiB = 0;         // its ru_maxrss
};

// Runs argv (through the helper) with standard input from `input` and
// standard output into a pipe that is read and counted here.
ChildRun runChild(const std::vector<std::string>& argv, const std::string& input) {
  ChildRun run;
  int fds[2], peakFds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return run;
  if (::pipe2(peakFds, O_CLOEXEC) != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return run;
  }
  ::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, peakFds[1], 3);
  std::vector<char*> args{const_cast<char*>(gSelf.c_str()), const_cast<char*>(kMeasurePeak)};
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  ::close(peakFds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    ::close(peakFds[0]);
    return run;
  }
  static std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t got = ::read(fds[0], buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    run.output += static_cast<std::size_t>(got);
  }
  ::close(fds[0]);
  char peak[32] = {};
  ssize_t got = ::read(peakFds[0], peak, sizeof peak - 1);
  ::close(peakFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && got > 0;
  run.peakKiB = std::atol(peak);
  return run;
}

std::string findOnPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

void timeChild(benchmark::State& state, std::size_t n, const std::vector<std::string>& argv,
               std::size_t expectedOutput) {
  const std::string input = inputFile(n);
  if (input.empty()) {
    state.SkipWithError("cannot write the input file");
    return;
  }
  long peak = 0;
  for (auto _ : state) {
    ChildRun run = runChild(argv, input);
    if (!run.ok || run.output != expectedOutput) {
      state.SkipWithError(("the child failed or wrote " + std::to_string(run.output) + " bytes").c_str());
      break;
    }
    peak = std::max(peak, run.peakKiB);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
  state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
}

// The scrambled size of inputFile(n), line ends included.
std::size_t scrambledSize(std::size_t n) {
  const std::string t = text(n);
  std::size_t runs = 0;
  sc::runsTotal(reinterpret_cast<const unsigned char*>(t.data()), n, &runs);
  return sc::kMarkerLength + n + runs + 1;
}

void toolScramble(benchmark::State& state, std::size_t n) {
#ifdef ORNUTIL_TOOL
  static std::map<std::size_t, std::size_t> sizes;
  if (!sizes.count(n)) sizes[n] = scrambledSize(n);
  timeChild(state, n, {ORNUTIL_TOOL, "scramble"}, sizes[n]);
#else
  state.SkipWithError("built without ORNUTIL_TOOL");
#endif
}

void cat(benchmark::State& state, std::size_t n) {
  std::string tool = findOnPath("cat");
  if (tool.empty()) {
    state.SkipWithError("no cat on PATH");
    return;
  }
  timeChild(state, n, {tool}, n + 1);
}

// Keeps the best throughput and the peak memory of each case for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) {
        double& best = rate_[run.benchmark_name()];
        best = std::max(best, static_cast<double>(it->second.value));
      }
      auto peak = run.counters.find("peak_rss_MiB");
      if (peak != run.counters.end()) peak_[run.benchmark_name()] = peak->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::string large = "/" + std::to_string(kToolLarge), small = "/" + std::to_string(kToolSmall);
    std::printf("\n%-40s %12s %12s  %s\n", "", "measured", "goal", "");
    value("tool scramble 133 MB, MB/s", rate("tool/scramble" + large + "/real_time") / 1e6, 100, true);
    value("tool scramble, 133 MB vs 13.3 MB speed", ratio("tool/scramble" + large + "/real_time",
                                                          "tool/scramble" + small + "/real_time"), 0.8, true);
    const std::string big = "/" + std::to_string(16 * kMiB);
    value("block encoder, 16 MiB vs 1 MiB speed", ratio("encode/stream" + big, "encode/stream/" + std::to_string(kMiB)),
          0.8, true);
    value("util_encode / fresh_result, 16 MiB", ratio("encode/util_encode" + big, "fresh_result" + big), 0.7, true);
    value("util_decode / block decoder, 16 MiB", ratio("decode/util_decode" + big, "decode/stream" + big), 0, true);
    auto p = peak_.find("tool/scramble" + large + "/real_time");
    if (p != peak_.end()) value("tool scramble 133 MB, peak RSS MiB", p->second, 16, false);
    value("tool scramble / cat, 133 MB", ratio("tool/scramble" + large + "/real_time", "tool/cat" + large + "/real_time"), 0,
          true);
  }

 private:
  double rate(const std::string& name) const {
    auto it = rate_.find(name);
    return it == rate_.end() ? 0 : it->second;
  }
  double ratio(const std::string& a, const std::string& b) const {
    double rb = rate(b);
    return rb > 0 ? rate(a) / rb : 0;
  }
  // A measured value against its goal (at least `goal` when `atLeast`, else
  // below it); 0 for `goal` prints the value alone.
  static void value(const char* label, double measured, double goal, bool atLeast) {
    if (measured <= 0) return;
    if (goal <= 0) {
      std::printf("%-40s %12.2f %12s\n", label, measured, "-");
      return;
    }
    bool met = atLeast ? measured >= goal : measured < goal;
    std::printf("%-40s %12.2f %11s%g  %s\n", label, measured, atLeast ? ">=" : "<", goal,
                met ? "met" : "NOT MET");
  }

  std::map<std::string, double> rate_, peak_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], kMeasurePeak) == 0) return measurePeak(argv + 2);
  char self[4096];
  ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    std::perror("readlink /proc/self/exe");
    return 1;
  }
  gSelf.assign(self, static_cast<std::size_t>(length));
  char dir[] = "/tmp/ornutil-scramble-bench-XXXXXX";
  if (!::mkdtemp(dir)) {
    std::perror("mkdtemp");
    return 1;
  }
  gScratch = dir;

  for (std::size_t n : {kMiB, 16 * kMiB}) {
    std::string s = "/" + std::to_string(n);
    benchmark::RegisterBenchmark(("encode/util_encode" + s).c_str(), utilEncode, n);
    benchmark::RegisterBenchmark(("encode/stream" + s).c_str(), streamEncode, n);
    benchmark::RegisterBenchmark(("decode/util_decode" + s).c_str(), utilDecode, n);
    benchmark::RegisterBenchmark(("decode/stream" + s).c_str(), streamDecode, n);
    benchmark::RegisterBenchmark(("fresh_result" + s).c_str(), freshResult, n);
    benchmark::RegisterBenchmark(("memcpy" + s).c_str(), copy, n);
  }
  for (std::size_t n : {kToolSmall, kToolLarge}) {
    std::string s = "/" + std::to_string(n);
    benchmark::RegisterBenchmark(("tool/scramble" + s).c_str(), toolScramble, n)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("tool/cat" + s).c_str(), cat, n)->UseRealTime()->Unit(benchmark::kMillisecond);
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(gScratch, ignored);
  return 0;
}
