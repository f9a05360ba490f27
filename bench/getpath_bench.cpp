// Path look-ups, message cache hits and start-up itself.
//
// The benchmark enters a private mount namespace of its own (as root) with a
// tmpfs on /opt, so start-up reads an orn.conf made here and nothing on the
// host changes; without that privilege the start-up benchmark is skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bench/support/alloc_counter.h"
#include "util/KelMsg.h"
#include "util/getpath.h"

namespace {

bool sandboxed = false;

struct TransparentHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

const std::vector<std::string>& keys() {
  static const std::vector<std::string> k = [] {
    std::vector<std::string> out;
    for (int i = 0; i < 64; ++i) out.push_back("/opt/BrenmoorWarden/etc/component" + std::to_string(i) + ".conf");
    return out;
  }();
  return k;
}

void BM_orn_get_path_hit(benchmark::State& state) {
  std::vector<const char*> texts;
  for (const std::string& k : keys()) {
    orn_get_path(k.c_str());  // first look-ups add the entries
    texts.push_back(k.c_str());
  }
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 13;
  unsigned long before = ornutil_bench::allocationCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(orn_get_path(texts[i % texts.size()]));
    i += 7;
  }
  if (state.thread_index() == 0)
    state.counters["allocs_per_hit"] =
        static_cast<double>(ornutil_bench::allocationCount() - before) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
}

void BM_unordered_map_transparent_find(benchmark::State& state) {
  static std::unordered_map<std::string, std::string, TransparentHash, std::equal_to<>> map = [] {
    std::unordered_map<std::string, std::string, TransparentHash, std::equal_to<>> m;
    for (const std::string& k : keys()) m.emplace(k, k);
    return m;
  }();
  std::vector<const char*> texts;
  for (const std::string& k : keys()) texts.push_back(k.c_str());
  std::size_t i = 0;
  for (auto _ : state) {
    auto it = map.find(std::string_view(texts[i % texts.size()]));
    benchmark::DoNotOptimize(it->second.c_str());
    i += 7;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_kel_i18n_msg_hit(benchmark::State& state) {
  static bool filled = [] {
    for (unsigned int id = 0; id < 5000; ++id) kel_i18n_msg(0x20000000u + id * 3);
    return true;
  }();
  benchmark::DoNotOptimize(filled);
  unsigned int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kel_i18n_msg(0x20000000u + (i % 5000) * 3));
    i += 7;
  }
}

void BM_mutex_std_map_find(benchmark::State& state) {
  static std::mutex mutex;
  static std::map<unsigned, const char*> map = [] {
    std::map<unsigned, const char*> m;
    for (unsigned int id = 0; id < 5000; ++id) m.emplace(0x20000000u + id * 3, "text");
    return m;
  }();
  unsigned int i = 0;
  for (auto _ : state) {
    std::lock_guard<std::mutex> hold(mutex);
    auto it = map.find(0x20000000u + (i % 5000) * 3);
    benchmark::DoNotOptimize(it->second);
    i += 7;
  }
}

// A fresh process (forked before the library ever started up) running start-up.
void BM_startup_process(benchmark::State& state) {
  if (!sandboxed) {
    state.SkipWithError("needs root and a private mount namespace");
    return;
  }
  for (auto _ : state) {
    pid_t pid = fork();
    if (pid == 0) {
      ornutil_init();
      _exit(orn_get_path("/var/BrenmoorWarden/log") ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
}

// The floor: a fresh process that only opens and reads the same file.
void BM_read_file_process(benchmark::State& state) {
  if (!sandboxed) {
    state.SkipWithError("needs root and a private mount namespace");
    return;
  }
  for (auto _ : state) {
    pid_t pid = fork();
    if (pid == 0) {
      char buffer[65536];
      int fd = open("/opt/BrenmoorWarden/etc/orn.conf", O_RDONLY);
      ssize_t n = read(fd, buffer, sizeof buffer);
      close(fd);
      _exit(n > 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
}

bool enterSandbox() {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount("tmpfs", "/opt", "tmpfs", 0, "size=8m") != 0) return false;
  if (system("mkdir -p /opt/BrenmoorWarden/etc") != 0) return false;
  std::ofstream conf("/opt/BrenmoorWarden/etc/orn.conf");
  conf << "[meta-info]\nversion = 1792\n[ornrte]\ncorvan_common_dir = /c\n";
  for (int i = 0; i < 196 / 2; ++i) conf << "# setting " << i << "\nkey" << i << " = value " << i << "\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Forked children must find no start-up done: the start-up benchmarks run
  // first, before anything else touches the library.
  sandboxed = enterSandbox();
  benchmark::RegisterBenchmark("BM_startup_process", BM_startup_process)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_read_file_process", BM_read_file_process)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_orn_get_path_hit", BM_orn_get_path_hit)->Threads(1)->Threads(2)->UseRealTime();
  benchmark::RegisterBenchmark("BM_unordered_map_transparent_find", BM_unordered_map_transparent_find);
  benchmark::RegisterBenchmark("BM_kel_i18n_msg_hit", BM_kel_i18n_msg_hit);
  benchmark::RegisterBenchmark("BM_mutex_std_map_find", BM_mutex_std_map_find);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
