// Configuration files as programs meet them: loading a current file (one
// that needs no migration) the way the registry does on first use, and the
// tool's `config set` run from a shell.
//
//   BM_Load/<size>           OrnStanzaFileProperties().load(path) on a 4 KiB
//                            and a 1 MiB file at version 1792
//   BM_LoadReference/<size>  the same work done the way load did it before
//                            loads were made safe (see referenceLoad)
//   BM_ToolSet               `ornutil config set FILE s kN vN`, one process
//                            per iteration, on a 4 KiB stanza file
//   BM_GitConfigSet          `git config --file FILE s.kN vN` on a 4 KiB
//                            git configuration file
//
// Goals: BM_Load <= 1.1x BM_LoadReference at both sizes (the checks that make
// loads safe must stay off the path of a current file); BM_ToolSet is timed
// beside BM_GitConfigSet and the ratio is reported. The ratios, printed at the
// end, compare real time (the median with --benchmark_repetitions). Note when
// reading the last one: the tool flushes the file and its directory on every
// store, git does not flush configuration files.
//
// Everything is written in a private directory made under /tmp and removed
// at exit; the children get a small environment of their own (HOME in that
// directory, no system git configuration).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
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
#include <set>
#include <string>
#include <vector>

#include "foundation/zexception.h"
#include "foundation/zstanzafile.h"
#include "util/OrnStanzaFileProperties.h"

namespace {

constexpr std::size_t kSmall = 4 << 10, kLarge = 1 << 20;
constexpr int kSetKeys = 8;  // keys k0..k7 of stanza/section "s", cycled by the set benchmarks

std::string gScratch;  // the private directory

std::string scratchPath(const std::string& name) { return gScratch + "/" + name; }

bool writeFile(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

std::string readFile(const std::string& path) {
  std::string out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

// Fills `t` up to exactly `size` bytes with one comment line ("#", filler,
// newline); the blocks before it leave at least 3 bytes for it.
void padWithComment(std::string& t, std::size_t size) {
  std::size_t rest = size - t.size();
  t += '#';
  t.append(rest - 2, '-');
  t += '\n';
}

// A current stanza file of exactly `size` bytes: [meta-info] version 1792
// (so no migration runs), stanza "s" with keys k0..k7, then blocks of a
// comment, a stanza and ten keys, as configuration files look.
std::string stanzaText(std::size_t size) {
  std::string t = "[meta-info]\nversion = 1792\n\n[s]\n";
  char line[96];
  for (int k = 0; k < kSetKeys; ++k) {
    std::snprintf(line, sizeof line, "k%d = v1\n", k);
    t += line;
  }
  t += '\n';
  for (int s = 0;; ++s) {
    std::string block;
    std::snprintf(line, sizeof line, "# settings of part %d\n[part%d]\n", s, s);
    block += line;
    for (int k = 0; k < 10; ++k) {
      std::snprintf(line, sizeof line, "key%d = value %d of part %d\n", k, (s * 7 + k) % 1000, s);
      block += line;
    }
    block += '\n';
    if (t.size() + block.size() + 3 > size) break;
    t += block;
  }
  padWithComment(t, size);
  return t;
}

// A git configuration file of exactly `size` bytes with section "s", keys
// k0..k7, then sections of ten keys: the same shape as stanzaText.
std::string gitConfigText(std::size_t size) {
  std::string t = "[s]\n";
  char line[96];
  for (int k = 0; k < kSetKeys; ++k) {
    std::snprintf(line, sizeof line, "\tk%d = v1\n", k);
    t += line;
  }
  for (int s = 0;; ++s) {
    std::string block;
    std::snprintf(line, sizeof line, "# settings of part %d\n[part%d]\n", s, s);
    block += line;
    for (int k = 0; k < 10; ++k) {
      std::snprintf(line, sizeof line, "\tkey%d = value %d of part %d\n", k, (s * 7 + k) % 1000, s);
      block += line;
    }
    if (t.size() + block.size() + 3 > size) break;
    t += block;
  }
  padWithComment(t, size);
  return t;
}

std::string loadFile(std::size_t size) { return scratchPath("load-" + std::to_string(size) + ".conf"); }

// ---------------------------------------------------------------- loads

// How OrnStanzaFileProperties::load read a file before loads were made safe
// (regular files only, symbolic links followed, torn reads detected, the lock
// taken only when a migration must be stored). It is written out here, not
// called, because the library's own load is what changes: the goal compares
// the new load with what the old one cost, so the old one must stay as it was.
// Steps, in the old order: lock "<file>.lock" (created 0644, an open-file-
// description write lock, waited for), open the file, fstat, reserve its
// size, read it in 64 KiB chunks to the end, close; parse the bytes into a
// strict stanza file; read [meta-info] version (what postLoad decides on; a
// current file needs nothing more); release the lock by closing it.
// Returns the version, or -1 when the file cannot be opened or read.
long referenceLoad(const char* fileName) {
  std::string lockName = std::string(fileName) + ".lock";
  int lockFd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd >= 0) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    int rc;
    do {
      rc = ::fcntl(lockFd, F_OFD_SETLKW, &fl);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ::close(lockFd);
      lockFd = -1;  // went on unserialised, as the old load did
    }
  }
  long version = -1;
  int fd;
  do {
    fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    struct stat st;
    std::string data;
    bool ok = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    if (ok && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    while (ok) {
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (ok) {
      ZStanzaFileProperties_7_0_0 props(1);
      props.parseText(data, fileName);
      version = props.getIntegerValue("meta-info", "version", 0, 0);
    }
  }
  if (lockFd >= 0) ::close(lockFd);
  return version;
}

void setBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Load(benchmark::State& state) {
  std::string path = loadFile(static_cast<std::size_t>(state.range(0)));
  try {
    for (auto _ : state) {
      OrnStanzaFileProperties props;
      props.load(path.c_str());
      benchmark::DoNotOptimize(&props);
    }
    OrnStanzaFileProperties check;
    check.load(path.c_str());
    if (check.getIntegerValue("meta-info", "version", 0, 0) != 1792) state.SkipWithError("the file is not current");
  } catch (ZException_7_0_0& e) {
    state.SkipWithError(e.what());
  }
  setBytes(state);
}
BENCHMARK(BM_Load)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMicrosecond);

void BM_LoadReference(benchmark::State& state) {
  std::string path = loadFile(static_cast<std::size_t>(state.range(0)));
  try {
    for (auto _ : state) {
      long version = referenceLoad(path.c_str());
      if (version != 1792) {
        state.SkipWithError(version < 0 ? "cannot read the file" : "the file is not current");
        break;
      }
    }
  } catch (ZException_7_0_0& e) {
    state.SkipWithError(e.what());
  }
  setBytes(state);
}
BENCHMARK(BM_LoadReference)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------- one process per change

// The children's environment: nothing of the caller's but PATH, so neither
// program reads a user's or the system's settings.
std::vector<std::string>& childEnvironment() {
  static std::vector<std::string> env = [] {
    const char* path = std::getenv("PATH");
    return std::vector<std::string>{
        std::string("PATH=") + (path ? path : "/usr/bin:/bin"),
        "HOME=" + gScratch,
        "XDG_CONFIG_HOME=" + gScratch,
        "GIT_CONFIG_NOSYSTEM=1",
        "GIT_CEILING_DIRECTORIES=" + std::filesystem::path(gScratch).parent_path().string(),
        "LC_ALL=C",
    };
  }();
  return env;
}

// Runs `argv` (argv[0] a full path) in the scratch directory, standard input
// from an empty file, output appended to child.log. Returns the exit status,
// -1 when it could not be started or did not exit; with `peakBytes`, stores
// the child's peak resident memory there.
int runChild(const std::vector<std::string>& argv, long* peakBytes = nullptr) {
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (std::string& e : childEnvironment()) envp.push_back(e.data());
  envp.push_back(nullptr);

  static const std::string in = scratchPath("empty"), log = scratchPath("child.log");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, gScratch.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status;
  struct rusage usage;
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return -1;
  }
  if (peakBytes) *peakBytes = usage.ru_maxrss * 1024L;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The last line the children wrote, for an error message.
std::string lastChildLine() {
  std::string log = readFile(scratchPath("child.log"));
  while (!log.empty() && log.back() == '\n') log.pop_back();
  std::size_t nl = log.rfind('\n');
  return nl == std::string::npos ? log : log.substr(nl + 1);
}

// Change number n sets key k(n % 8) to v((n / 8) % 2): each key's value flips
// on every visit, so every run rewrites the file, however many runs came
// before (the files start with every key at v1). Afterwards the line the
// last change wrote (`lineFormat` with key and value numbers) must be in the
// file.
template <typename MakeArgs>
void timeSets(benchmark::State& state, unsigned long& counter, const std::string& file,
              const char* lineFormat, MakeArgs makeArgs) {
  unsigned long n = counter;
  for (auto _ : state) {
    char key[32], value[32];
    std::snprintf(key, sizeof key, "k%d", static_cast<int>(n % kSetKeys));
    std::snprintf(value, sizeof value, "v%d", static_cast<int>((n / kSetKeys) % 2));
    int status = runChild(makeArgs(key, value));
    ++n;
    if (status != 0) {
      state.SkipWithError(("exit status " + std::to_string(status) + ": " + lastChildLine()).c_str());
      break;
    }
  }
  counter = n;
  if (n == 0 || state.error_occurred()) return;
  unsigned long last = n - 1;
  char line[64];
  std::snprintf(line, sizeof line, lineFormat, static_cast<int>(last % kSetKeys),
                static_cast<int>((last / kSetKeys) % 2));
  std::string text = readFile(file);
  if (text.find(line) == std::string::npos) state.SkipWithError("the last change is not in the file");
  state.counters["file_bytes"] = static_cast<double>(text.size());
}

void BM_ToolSet(benchmark::State& state) {
#ifdef ORNUTIL_TOOL
  static unsigned long counter = 0;
  const std::string tool = ORNUTIL_TOOL, file = scratchPath("tool-set.conf");
  if (::access(tool.c_str(), X_OK) != 0) {
    state.SkipWithError("the ornutil tool is not built");
    return;
  }
  timeSets(state, counter, file, "\nk%d = v%d\n", [&](const char* key, const char* value) {
    return std::vector<std::string>{tool, "config", "set", file, "s", key, value};
  });
#else
  state.SkipWithError("built without ORNUTIL_TOOL");
#endif
}
BENCHMARK(BM_ToolSet)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- memory per byte of file

// Peak resident memory of one tool run, in bytes; 0 when it failed.
// A spawned process starts with its parent's peak resident size (the kernel
// carries the peak of the address space it replaces over its exec), and this
// process holds the large inputs. So the tool is started by a fresh copy of
// this program (see peakRunner), which forks it from its own small address
// space and writes the tool's own peak, in bytes, to a file.
long peakOfChild(const std::vector<std::string>& argv) {
  const std::string peakFile = scratchPath("peak");
  static const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> runner{self, "--peak-of", peakFile};
  runner.insert(runner.end(), argv.begin(), argv.end());
  std::remove(peakFile.c_str());
  if (runChild(runner) != 0) return 0;
  std::string text = readFile(peakFile);
  return text.empty() ? 0 : std::strtol(text.c_str(), nullptr, 10);
}

// The other end of peakOfChild: runs args[0] with args, writes its peak
// resident size in bytes to `peakFile`, and exits with its status.
int peakRunner(const char* peakFile, char** args) {
  pid_t pid = ::fork();
  if (pid < 0) return 126;
  if (pid == 0) {
    ::execv(args[0], args);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage;
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 126;
  }
  FILE* out = std::fopen(peakFile, "w");
  if (!out) return 126;
  std::fprintf(out, "%ld\n", usage.ru_maxrss * 1024L);
  if (std::fclose(out) != 0) return 126;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}

// Row 0: one million one-key stanzas (22 MB), read by `config get`. Row 1: a
// 60 MB single-line value (the files are capped at 64 MiB), with another key
// of the file changed by `config set`. The counter is the peak resident
// memory of the tool over the file's size.
void BM_ToolPeakMemory(benchmark::State& state) {
#ifdef ORNUTIL_TOOL
  const std::string tool = ORNUTIL_TOOL;
  const bool stanzas = state.range(0) == 0;
  const std::string file = scratchPath(stanzas ? "million.conf" : "long-value.conf");
  std::string text;
  if (stanzas) {
    text.reserve(22000000);
    char line[32];
    for (int i = 0; i < 1000000; ++i) {
      std::snprintf(line, sizeof line, "[s%06d]\nk = v%06d\n", i, i);
      text += line;
    }
  } else {
    text = "[big]\nvalue = " + std::string(60000000, 'x') + "\nother = 1\n";
  }
  // The first run migrates the file (it gains the version meta-info), so the
  // measured runs only read it or change one key.
  std::vector<std::string> argv = stanzas ? std::vector<std::string>{tool, "config", "get", file, "s000005", "k"}
                                          : std::vector<std::string>{tool, "config", "set", file, "big", "other", "2"};
  if (!writeFile(file, text) || peakOfChild(argv) == 0) {
    state.SkipWithError("the tool failed on the file");
    return;
  }
  double size = static_cast<double>(std::filesystem::file_size(file));
  long peak = 0;
  for (auto _ : state) {
    peak = std::max(peak, peakOfChild(argv));
    if (peak == 0) {
      state.SkipWithError("the tool failed on the file");
      return;
    }
  }
  state.counters["file_MB"] = size / 1e6;
  state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
  state.counters["peak_per_file_byte"] = static_cast<double>(peak) / size;
  std::remove(file.c_str());
#else
  state.SkipWithError("built without ORNUTIL_TOOL");
#endif
}
BENCHMARK(BM_ToolPeakMemory)->Arg(0)->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// Files of 16 MiB written by an old release, shaped to cost the most per
// byte, each migrated (and stored) by `config migrate` as the first load
// does: row 0 the typical file of the stanza benchmark's shape, then empty
// lines, one key repeated, distinct stanzas, and a stanza of credential
// tags, every one of which the migration moves. Bound: peak_per_file_byte
// at most 8; time per byte (ns_per_byte, real time of the tool run, file
// written anew outside it) at most 4x row 0's.
void BM_ToolMigratePeak(benchmark::State& state) {
#ifdef ORNUTIL_TOOL
  const std::string tool = ORNUTIL_TOOL, file = scratchPath("old.conf");
  const std::size_t size = 16u << 20;
  std::string text;
  text.reserve(size + 64);
  char line[64];
  switch (state.range(0)) {
    case 0:
      for (int i = 0; text.size() < size; ++i) {
        std::snprintf(line, sizeof line, "# stanza %d\n[s%d]\n", i, i);
        text += line;
        for (int k = 0; k < 10; ++k) {
          std::snprintf(line, sizeof line, "key%d = v%d\n", k, (i * 7 + k) % 1000);
          text += line;
        }
        text += '\n';
      }
      state.SetLabel("typical");
      break;
    case 1:
      text.assign(size, '\n');
      state.SetLabel("empty lines");
      break;
    case 2:
      text = "[s]\n";
      while (text.size() < size) text += "a=b\n";
      state.SetLabel("one key repeated");
      break;
    case 3:
      for (int i = 0; text.size() < size; ++i) {
        std::snprintf(line, sizeof line, "[s%d]\n", i);
        text += line;
      }
      state.SetLabel("distinct stanzas");
      break;
    default:
      text = "[aznapi-configuration]\nx = 1\n[ldap-ext-cred-tags]\n";
      for (int i = 0; text.size() < size; ++i) {
        std::snprintf(line, sizeof line, "tag%d = value%d\n", i, i);
        text += line;
      }
      state.SetLabel("credential tags");
      break;
  }
  const std::vector<std::string> argv{tool, "config", "migrate", file};
  long peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bool written = writeFile(file, text);
    state.ResumeTiming();
    long p = written ? peakOfChild(argv) : 0;
    if (p == 0) {
      state.SkipWithError("the tool failed on the file");
      return;
    }
    peak = std::max(peak, p);
  }
  state.counters["peak_per_file_byte"] = static_cast<double>(peak) / static_cast<double>(text.size());
  state.counters["ns_per_byte"] = benchmark::Counter(static_cast<double>(text.size()) * 1e-9,
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
  std::remove(file.c_str());
#else
  state.SkipWithError("built without ORNUTIL_TOOL");
#endif
}
BENCHMARK(BM_ToolMigratePeak)->DenseRange(0, 4)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// The full path of git on PATH; empty when there is none.
std::string findGit() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/git";
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

void BM_GitConfigSet(benchmark::State& state) {
  static unsigned long counter = 0;
  static const std::string git = findGit();
  const std::string file = scratchPath("git-set.config");
  if (git.empty()) {
    state.SkipWithError("git is not installed");
    return;
  }
  timeSets(state, counter, file, "\tk%d = v%d\n", [&](const char* key, const char* value) {
    return std::vector<std::string>{git, "config", "--file", file, std::string("s.") + key, value};
  });
}
BENCHMARK(BM_GitConfigSet)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- ratios

// The console output, then the ratios of the goals from real times: the
// median when there are repetitions, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Iteration && seenMedian_.count(name)) continue;
      if (run.run_type == Run::RT_Aggregate) seenMedian_.insert(name);
      time_[name] = run.GetAdjustedRealTime();  // each pair shares its unit
    }
  }

  void printRatios() {
    ratio("load 4 KiB, time load/reference (goal <= 1.1)", "BM_Load/4096", "BM_LoadReference/4096");
    ratio("load 1 MiB, time load/reference (goal <= 1.1)", "BM_Load/1048576", "BM_LoadReference/1048576");
    ratio("config set 4 KiB, time ornutil/git config", "BM_ToolSet/real_time", "BM_GitConfigSet/real_time");
  }

 private:
  void ratio(const char* what, const std::string& ours, const std::string& theirs) {
    auto a = time_.find(ours), b = time_.find(theirs);
    if (a == time_.end() || b == time_.end() || b->second == 0) {
      std::printf("ratio: %s = (not measured)\n", what);
      return;
    }
    std::printf("ratio: %s = %.2f\n", what, a->second / b->second);
  }

  std::map<std::string, double> time_;
  std::set<std::string> seenMedian_;
};

// Makes the private directory and its files; false (with a message) when it
// cannot.
bool prepareScratch() {
  char dir[] = "/tmp/ornutil-configfile-bench-XXXXXX";
  if (!mkdtemp(dir)) {
    std::perror("mkdtemp");
    return false;
  }
  gScratch = dir;
  bool ok = writeFile(loadFile(kSmall), stanzaText(kSmall)) && writeFile(loadFile(kLarge), stanzaText(kLarge)) &&
            writeFile(scratchPath("tool-set.conf"), stanzaText(kSmall)) &&
            writeFile(scratchPath("git-set.config"), gitConfigText(kSmall)) && writeFile(scratchPath("empty"), "");
  if (!ok) std::fprintf(stderr, "cannot write the files in %s\n", dir);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::strcmp(argv[1], "--peak-of") == 0) return peakRunner(argv[2], argv + 3);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  int rc = 0;
  if (prepareScratch()) {
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
  } else {
    rc = 1;
  }
  benchmark::Shutdown();
  if (!gScratch.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(gScratch, ignored);
  }
  return rc;
}
