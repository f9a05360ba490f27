// Look-up of a present path key: ZHashKeyMap_7_0_0::getEntry with a
// non-owning key, against std::unordered_map with a transparent hash and
// against the same map searched with a std::string built per call.
#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bench/support/alloc_counter.h"
#include "foundation/zhashkeymap.h"
#include "foundation/zstring.h"

namespace {

const std::vector<std::string>& keys() {
  static const std::vector<std::string> k = [] {
    std::vector<std::string> out;
    const char* dirs[] = {"/opt/BrenmoorWarden/etc/", "/var/BrenmoorWarden/log/",
                          "/opt/BrenmoorWarden/nls/msg/", "@/var/BrenmoorWarden/log/msg__"};
    for (int i = 0; i < 100; ++i)
      out.push_back(std::string(dirs[i % 4]) + "component" + std::to_string(i) + ".conf");
    return out;
  }();
  return k;
}

struct TransparentHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

void reportAllocations(benchmark::State& state, unsigned long before) {
  state.counters["allocs_per_hit"] = benchmark::Counter(
      static_cast<double>(ornutil_bench::allocationCount() - before) / static_cast<double>(state.iterations()));
}

void BM_ZHashKeyMap_getEntry(benchmark::State& state) {
  ZHashKeyMap_7_0_0 map(50, 1);
  for (const std::string& k : keys()) {
    ZLCString_7_0_0 v(("/srv/orn" + k).c_str());
    map.putEntry(ZLCConstString_7_0_0(k.c_str()), &v);
  }
  std::vector<const char*> texts;
  for (const std::string& k : keys()) texts.push_back(k.c_str());
  std::size_t i = 0;
  unsigned long before = ornutil_bench::allocationCount();
  for (auto _ : state) {
    ZObject_7_0_0* v = map.getEntry(ZLCConstString_7_0_0(texts[i]));
    benchmark::DoNotOptimize(v);
    i = (i + 7) % texts.size();
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_ZHashKeyMap_getEntry);

void BM_UnorderedMap_transparent_find(benchmark::State& state) {
  std::unordered_map<std::string, std::string, TransparentHash, std::equal_to<>> map;
  for (const std::string& k : keys()) map.emplace(k, "/srv/orn" + k);
  std::vector<const char*> texts;
  for (const std::string& k : keys()) texts.push_back(k.c_str());
  std::size_t i = 0;
  unsigned long before = ornutil_bench::allocationCount();
  for (auto _ : state) {
    auto it = map.find(std::string_view(texts[i]));
    benchmark::DoNotOptimize(it);
    i = (i + 7) % texts.size();
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_UnorderedMap_transparent_find);

void BM_UnorderedMap_string_per_call(benchmark::State& state) {
  std::unordered_map<std::string, std::string> map;
  for (const std::string& k : keys()) map.emplace(k, "/srv/orn" + k);
  std::vector<const char*> texts;
  for (const std::string& k : keys()) texts.push_back(k.c_str());
  std::size_t i = 0;
  unsigned long before = ornutil_bench::allocationCount();
  for (auto _ : state) {
    auto it = map.find(std::string(texts[i]));
    benchmark::DoNotOptimize(it);
    i = (i + 7) % texts.size();
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_UnorderedMap_string_per_call);

}  // namespace

BENCHMARK_MAIN();
