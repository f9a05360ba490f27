// The typed object against references in the same run:
//   - building an object of 1,000 names (strings, integers, booleans, 64-byte
//     buffers), encoding it and decoding it into a new object, vs the same
//     texts in std::unordered_map<std::string, std::vector<std::string>>
//     encoded and decoded with the wire codec directly, and the same map with
//     a plain length-prefixed form (goal: the object at most 1.0x this one);
//   - typed writes and reads vs the name/value tree operations they are
//     built on, with the same conversions done by hand (goal: <= 1.5).
// The ratios are printed at the end; run with --benchmark_repetitions=5 to
// take them from the medians.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "KelCore/OrnObject.h"
#include "foundation/ornasn.h"
#include "util/NameValueMap.h"
#include "util/mime64_new.h"

namespace {

constexpr int kNames = 1000;
constexpr int kBufferBytes = 64;

struct Data {
  std::vector<std::string> names;
  std::vector<std::string> strings;
  std::vector<unsigned int> numbers;
  std::vector<unsigned char> buffer;  // kBufferBytes
};

const Data& data() {
  static const Data d = [] {
    Data out;
    for (int i = 0; i < kNames; ++i) {
      out.names.push_back("attribute-" + std::to_string(i));
      out.strings.push_back("value of attribute " + std::to_string(i));
      out.numbers.push_back(static_cast<unsigned int>(i) * 7919u);
    }
    for (int i = 0; i < kBufferBytes; ++i) out.buffer.push_back(static_cast<unsigned char>(i * 37));
    return out;
  }();
  return d;
}

const char* bufferBytes() { return reinterpret_cast<const char*>(data().buffer.data()); }

// ---------------------------------------------------------------- whole round trip

void fillObject(OrnObject& object) {
  const Data& d = data();
  for (int i = 0; i < kNames; ++i) {
    const char* name = d.names[i].c_str();
    switch (i % 4) {
      case 0: object.addStringValue(name, d.strings[i].c_str(), nullptr); break;
      case 1: object.addIntegerValue(name, d.numbers[i], nullptr); break;
      case 2: object.addBooleanValue(name, d.numbers[i] & 1, nullptr); break;
      default: object.addBufferValue(name, bufferBytes(), kBufferBytes, nullptr); break;
    }
  }
}

void BM_OrnObject_buildEncodeDecode(benchmark::State& state) {
  for (auto _ : state) {
    OrnObject object;
    fillObject(object);
    orn_asn_buffer_t buffer{0, nullptr};
    unsigned long status = 0;
    object.encode(buffer, status);
    OrnObject decoded;
    decoded.decode(buffer, status);
    orn_asn_buffer_free(&buffer);
    benchmark::DoNotOptimize(decoded.length());
  }
  state.SetItemsProcessed(state.iterations() * kNames);
}
BENCHMARK(BM_OrnObject_buildEncodeDecode)->Unit(benchmark::kMicrosecond);

using TextMap = std::unordered_map<std::string, std::vector<std::string>>;

void BM_UnorderedMap_buildEncodeDecode(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state) {
    // The same texts the object stores.
    TextMap map;
    for (int i = 0; i < kNames; ++i) {
      std::vector<std::string>& values = map[d.names[i]];
      char number[24];
      switch (i % 4) {
        case 0: values.push_back(d.strings[i]); break;
        case 1:
          std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(d.numbers[i]));
          values.emplace_back(number);
          break;
        case 2: values.emplace_back((d.numbers[i] & 1) ? "true" : "false"); break;
        default: {
          char* text = mime64_new_encode(d.buffer.data(), kBufferBytes);
          values.emplace_back(text);
          std::free(text);
        }
      }
    }
    // The codec's own encode of that map.
    std::vector<namevalue_s_t> nodes(map.size());
    std::vector<namevalue_s_t*> entries(map.size());
    std::size_t valueCount = 0;
    for (auto& entry : map) valueCount += entry.second.size();
    std::vector<const char*> texts;
    texts.reserve(valueCount);  // the nodes point into it: it must not move
    std::size_t n = 0;
    for (auto& [name, values] : map) {
      for (auto& v : values) texts.push_back(v.c_str());
      nodes[n] = namevalue_s_t{name.c_str(), static_cast<unsigned int>(values.size()),
                               &texts[texts.size() - values.size()], 0, nullptr};
      entries[n] = &nodes[n];
      ++n;
    }
    namevalueList_s_t list{static_cast<unsigned int>(n), entries.data()};
    orn_asn_buffer_t buffer{0, nullptr};
    ornAsnEncodeObj(buffer, list);
    // And its decode into a new map.
    namevalueList_s_t decodedList{0, nullptr};
    ornAsnDecodeObj(buffer, decodedList);
    TextMap decoded;
    for (unsigned int i = 0; i < decodedList.num_entries; ++i) {
      std::vector<std::string>& values = decoded[decodedList.entries[i]->name];
      for (unsigned int j = 0; j < decodedList.entries[i]->num_values; ++j)
        values.emplace_back(decodedList.entries[i]->values[j]);
    }
    ornAsnFreeObj(decodedList);
    orn_asn_buffer_free(&buffer);
    benchmark::DoNotOptimize(decoded.size());
  }
  state.SetItemsProcessed(state.iterations() * kNames);
}
BENCHMARK(BM_UnorderedMap_buildEncodeDecode)->Unit(benchmark::kMicrosecond);

// The same map in the plainest form there is: every text behind its 32-bit
// length, and the numbers of names and values likewise.
void putLength(std::string& out, std::size_t n) {
  auto v = static_cast<uint32_t>(n);
  out.append(reinterpret_cast<const char*>(&v), 4);
}

uint32_t getLength(const char*& p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  p += 4;
  return v;
}

void BM_UnorderedMap_buildLengthPrefixed(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state) {
    TextMap map;
    for (int i = 0; i < kNames; ++i) {
      std::vector<std::string>& values = map[d.names[i]];
      char number[24];
      switch (i % 4) {
        case 0: values.push_back(d.strings[i]); break;
        case 1:
          std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(d.numbers[i]));
          values.emplace_back(number);
          break;
        case 2: values.emplace_back((d.numbers[i] & 1) ? "true" : "false"); break;
        default: {
          char* text = mime64_new_encode(d.buffer.data(), kBufferBytes);
          values.emplace_back(text);
          std::free(text);
        }
      }
    }
    std::string bytes;
    putLength(bytes, map.size());
    for (auto& [name, values] : map) {
      putLength(bytes, name.size());
      bytes += name;
      putLength(bytes, values.size());
      for (auto& v : values) {
        putLength(bytes, v.size());
        bytes += v;
      }
    }
    TextMap decoded;
    const char* p = bytes.data();
    for (uint32_t n = getLength(p); n > 0; --n) {
      uint32_t length = getLength(p);
      std::vector<std::string>& values = decoded[std::string(p, length)];
      p += length;
      for (uint32_t k = getLength(p); k > 0; --k) {
        uint32_t vl = getLength(p);
        values.emplace_back(p, vl);
        p += vl;
      }
    }
    benchmark::DoNotOptimize(decoded.size());
  }
  state.SetItemsProcessed(state.iterations() * kNames);
}
BENCHMARK(BM_UnorderedMap_buildLengthPrefixed)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------- typed access vs the tree

void BM_OrnObject_typedWriteRead(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state) {
    OrnObject object;
    fillObject(object);
    unsigned long total = 0;
    for (int i = 0; i < kNames; ++i) {
      const char* name = d.names[i].c_str();
      switch (i % 4) {
        case 0: total += object.getStringValue(name, 0, nullptr).getLength(); break;
        case 1: total += object.integerValue(name, 0, nullptr); break;
        case 2: total += object.booleanValue(name, 0, nullptr); break;
        default: {
          char* bytes = nullptr;
          unsigned long length = 0;
          object.bufferValue(name, bytes, length, 0, nullptr);
          total += length;
          std::free(bytes);
        }
      }
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kNames);
}
BENCHMARK(BM_OrnObject_typedWriteRead)->Unit(benchmark::kMicrosecond);

void BM_NameValueMap_writeRead(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state) {
    NameValueMap map;
    for (int i = 0; i < kNames; ++i) {
      const char* name = d.names[i].c_str();
      switch (i % 4) {
        case 0: map.addString(name, d.strings[i].c_str()); break;
        case 1: map.addString(name, static_cast<unsigned long>(d.numbers[i])); break;
        case 2: map.addString(name, static_cast<int>((d.numbers[i] & 1) != 0)); break;
        default: map.addString(name, bufferBytes(), static_cast<unsigned int>(kBufferBytes)); break;
      }
    }
    unsigned long total = 0;
    for (int i = 0; i < kNames; ++i) {
      const char* name = d.names[i].c_str();
      const ZUTF8String_7_0_0* text = map.getString(name, 0);
      switch (i % 4) {
        case 0: total += text->getLength(); break;
        case 1: total += std::strtoul(text->getChars(), nullptr, 10); break;
        case 2: total += text->compareTo("true") == 0 ? 1 : 0; break;
        default: {
          char* bytes = nullptr;
          unsigned long length = 0;
          mime64_new_decode(text->getChars(), text->getLength(), &bytes, &length);
          total += length;
          std::free(bytes);
        }
      }
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kNames);
}
BENCHMARK(BM_NameValueMap_writeRead)->Unit(benchmark::kMicrosecond);

// Prints the usual table and keeps each benchmark's time.
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
      time_[name] = run.GetAdjustedRealTime();
    }
  }

  void printRatios() {
    ratio("build+encode+decode of 1,000 names, time OrnObject/unordered_map+codec",
          "BM_OrnObject_buildEncodeDecode", "BM_UnorderedMap_buildEncodeDecode");
    ratio("build+encode+decode of 1,000 names, time OrnObject/unordered_map+length-prefixed (goal <= 1.0)",
          "BM_OrnObject_buildEncodeDecode", "BM_UnorderedMap_buildLengthPrefixed");
    ratio("typed writes and reads, time OrnObject/NameValueMap (goal <= 1.5)", "BM_OrnObject_typedWriteRead",
          "BM_NameValueMap_writeRead");
  }

 private:
  void ratio(const char* what, const std::string& ours, const std::string& theirs) {
    auto a = time_.find(ours), b = time_.find(theirs);
    if (a == time_.end() || b == time_.end() || b->second == 0) return;
    std::printf("ratio: %s = %.2f\n", what, a->second / b->second);
  }

  std::map<std::string, double> time_;
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
