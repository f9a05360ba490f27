// The reader/writer lock against pthread_rwlock_t, in the same run:
// uncontended read + release, two threads with 1% write holds, two threads
// reading only. The ratios are printed at the end. Goals: uncontended at
// most 1.5 times pthread_rwlock's time; with 1% writes at least twice its
// throughput; no allocation after lock__create (the "allocated" counter).
// The machine's load makes single runs noisy: run with
// --benchmark_repetitions=5 and the ratios are taken from the medians.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pthread.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "util/kellock.h"

namespace {

// The two contenders behind one face, so each scenario is written once.
struct KelLock {
  lock_s_t* lk;
  KelLock() { lock__create(&lk, nullptr, 0); }
  ~KelLock() { lock__delete(lk); }
  void read() { lock__read(lk, nullptr, 0, 1); }
  void write() { lock__justwrite(lk, nullptr, 0, 1); }
  void unlock() { lock__unlock(lk); }
};

struct PthreadRwlock {
  pthread_rwlock_t rw = PTHREAD_RWLOCK_INITIALIZER;
  ~PthreadRwlock() { pthread_rwlock_destroy(&rw); }
  void read() { pthread_rwlock_rdlock(&rw); }
  void write() { pthread_rwlock_wrlock(&rw); }
  void unlock() { pthread_rwlock_unlock(&rw); }
};

// What a hold protects: a few cache lines that readers scan and writers
// change, so that a hold lasts about as long as a short look-up.
struct Protected {
  long values[32];
};
Protected g_data;

long scan() {
  long sum = 0;
  for (long v : g_data.values) sum += v;
  return sum;
}

size_t allocatedBytes() { return mallinfo2().uordblks; }

template <typename Lock>
void BM_ReadUncontended(benchmark::State& state) {
  Lock lock;
  size_t before = allocatedBytes();
  for (auto _ : state) {
    lock.read();
    lock.unlock();
  }
  state.counters["allocated"] = double(allocatedBytes() - before);
}

template <typename Lock>
Lock& shared() {
  static Lock lock;
  return lock;
}

// Every thread holds the lock in turn; `writeEvery` 0 reads only.
template <typename Lock, int writeEvery>
void BM_TwoThreads(benchmark::State& state) {
  Lock& lock = shared<Lock>();
  long i = state.thread_index();
  for (auto _ : state) {
    if (writeEvery != 0 && ++i % writeEvery == 0) {
      lock.write();
      for (long& v : g_data.values) ++v;
      lock.unlock();
    } else {
      lock.read();
      benchmark::DoNotOptimize(scan());
      lock.unlock();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_TEMPLATE(BM_ReadUncontended, KelLock);
BENCHMARK_TEMPLATE(BM_ReadUncontended, PthreadRwlock);
BENCHMARK_TEMPLATE(BM_TwoThreads, KelLock, 100)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_TwoThreads, PthreadRwlock, 100)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_TwoThreads, KelLock, 0)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_TwoThreads, PthreadRwlock, 0)->Threads(2)->UseRealTime();

// Prints the usual table and keeps each run's time and throughput.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With --benchmark_repetitions the median stands for the benchmark; a
    // single run stands for itself.
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Iteration && seenMedian_.count(name)) continue;
      if (run.run_type == Run::RT_Aggregate) seenMedian_.insert(name);
      time_[name] = run.GetAdjustedRealTime();
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rate_[name] = it->second.value;
    }
  }

  void printRatios() {
    const char* t = "/threads:2";
    ratio("uncontended read+unlock, time kellock/rwlock (goal <= 1.5)",
          time_, "BM_ReadUncontended<KelLock>", "BM_ReadUncontended<PthreadRwlock>");
    ratio("2 threads, 1% writes, throughput kellock/rwlock (goal >= 2)", rate_,
          std::string("BM_TwoThreads<KelLock, 100>/real_time") + t,
          std::string("BM_TwoThreads<PthreadRwlock, 100>/real_time") + t);
    ratio("2 threads, reads only, throughput kellock/rwlock", rate_,
          std::string("BM_TwoThreads<KelLock, 0>/real_time") + t,
          std::string("BM_TwoThreads<PthreadRwlock, 0>/real_time") + t);
  }

 private:
  static void ratio(const char* what, std::map<std::string, double>& values,
                    const std::string& ours, const std::string& theirs) {
    auto a = values.find(ours), b = values.find(theirs);
    if (a == values.end() || b == values.end() || b->second == 0) return;
    std::printf("ratio: %s = %.2f\n", what, a->second / b->second);
  }

  std::map<std::string, double> time_, rate_;
  std::set<std::string> seenMedian_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
