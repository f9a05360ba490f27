// The name/value tree and its wire codec against references in the same run:
//   - NameValueMap add + get of 10,000 names x 3 values vs
//     std::unordered_map<std::string, std::vector<std::string>>;
//   - ornAsnEncodeObj vs memcpy of the encoded bytes, and vs OpenSSL's
//     generic DER (i2d_ASN1_SEQUENCE_ANY of the same nested structure);
//   - ornAsnDecodeObj vs OpenSSL's d2i_ASN1_SEQUENCE_ANY of every level;
//   - attrlist_add_entry of 1,000 names in random order, counting the
//     allocations per addition (the name comparisons must make none);
//   - NameValueMap::encode of a filled map of 10,000 names x 3 values (texts
//     of 8 to 16 bytes) vs memcpy of its encoding (goal >= 0.08x memcpy's
//     speed), and NameValueMap::decode of those bytes into a fresh map vs
//     OpenSSL's d2i of the same bytes (goal: at least 4x as fast), with the
//     bytes of heap the decoded map holds per byte of input.
//   - NameValueMap::decode of hostile shapes at 4 and 8 MiB (see below).
// The ratios (of CPU times) are printed at the end; run with
// --benchmark_repetitions=5 to take them from the medians.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "KelCore/attrlist.h"
#include "bench/support/alloc_counter.h"
#include "foundation/ornasn.h"
#include "util/NameValueMap.h"
#include "util/mime64_new.h"

#ifdef ORNUTIL_HAVE_OPENSSL
#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#endif

namespace {

constexpr int kNames = 10000;
constexpr int kValues = 3;

struct Texts {
  std::vector<std::string> names;
  std::vector<std::string> values;  // kValues per name
};

const Texts& texts() {
  static const Texts t = [] {
    Texts out;
    for (int i = 0; i < kNames; ++i) {
      out.names.push_back("attribute-" + std::to_string(i));
      for (int v = 0; v < kValues; ++v) out.values.push_back("value-" + std::to_string(i * kValues + v));
    }
    return out;
  }();
  return t;
}

void BM_NameValueMap_addGet(benchmark::State& state) {
  const Texts& t = texts();
  for (auto _ : state) {
    NameValueMap map;
    for (int i = 0; i < kNames; ++i)
      for (int v = 0; v < kValues; ++v) map.addString(t.names[i].c_str(), t.values[i * kValues + v].c_str());
    std::size_t total = 0;
    for (int i = 0; i < kNames; ++i)
      for (int v = 0; v < kValues; ++v) total += map.getString(t.names[i].c_str(), v)->getLength();
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kNames * kValues);
}
BENCHMARK(BM_NameValueMap_addGet)->Unit(benchmark::kMillisecond);

void BM_UnorderedMap_addGet(benchmark::State& state) {
  const Texts& t = texts();
  for (auto _ : state) {
    std::unordered_map<std::string, std::vector<std::string>> map;
    for (int i = 0; i < kNames; ++i)
      for (int v = 0; v < kValues; ++v) map[t.names[i].c_str()].push_back(t.values[i * kValues + v].c_str());
    std::size_t total = 0;
    for (int i = 0; i < kNames; ++i)
      for (int v = 0; v < kValues; ++v) total += map.find(t.names[i].c_str())->second[v].size();
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kNames * kValues);
}
BENCHMARK(BM_UnorderedMap_addGet)->Unit(benchmark::kMillisecond);

// The same tree as nodes for the codec: each name with its three values and
// a one-name subtree, so that nesting is exercised too.
struct Tree {
  std::vector<namevalue_s_t> nodes;
  std::vector<namevalue_s_t> children;
  std::vector<namevalue_s_t*> childPointers;
  std::vector<const char*> values;
  std::vector<namevalue_s_t*> entries;
  namevalueList_s_t list{0, nullptr};
  std::vector<unsigned char> der;

  Tree() {
    const Texts& t = texts();
    nodes.resize(kNames);
    children.resize(kNames);
    childPointers.resize(kNames);
    for (const std::string& v : t.values) values.push_back(v.c_str());
    for (int i = 0; i < kNames; ++i) {
      children[i] = namevalue_s_t{"child", 1, &values[i * kValues], 0, nullptr};
      childPointers[i] = &children[i];
      nodes[i] = namevalue_s_t{t.names[i].c_str(), kValues, &values[i * kValues], 1, &childPointers[i]};
      entries.push_back(&nodes[i]);
    }
    list = namevalueList_s_t{kNames, entries.data()};
    orn_asn_buffer_t buffer{0, nullptr};
    if (ornAsnEncodeObj(buffer, list) != 0) std::abort();
    der.assign(buffer.data, buffer.data + buffer.length);
    orn_asn_buffer_free(&buffer);
  }
};

Tree& tree() {
  static Tree t;
  return t;
}

void BM_OrnAsnEncodeObj(benchmark::State& state) {
  Tree& t = tree();
  for (auto _ : state) {
    orn_asn_buffer_t buffer{0, nullptr};
    ornAsnEncodeObj(buffer, t.list);
    benchmark::DoNotOptimize(buffer.data);
    orn_asn_buffer_free(&buffer);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.der.size()));
}
BENCHMARK(BM_OrnAsnEncodeObj)->Unit(benchmark::kMicrosecond);

void BM_Memcpy_encoded(benchmark::State& state) {
  Tree& t = tree();
  std::vector<unsigned char> target(t.der.size());
  for (auto _ : state) {
    std::memcpy(target.data(), t.der.data(), t.der.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.der.size()));
}
BENCHMARK(BM_Memcpy_encoded)->Unit(benchmark::kMicrosecond);

void BM_OrnAsnDecodeObj(benchmark::State& state) {
  Tree& t = tree();
  orn_asn_buffer_t buffer{t.der.size(), t.der.data()};
  for (auto _ : state) {
    namevalueList_s_t list{0, nullptr};
    if (ornAsnDecodeObj(buffer, list) != 0) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(list.entries);
    ornAsnFreeObj(list);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.der.size()));
}
BENCHMARK(BM_OrnAsnDecodeObj)->Unit(benchmark::kMicrosecond);

#ifdef ORNUTIL_HAVE_OPENSSL
// Generic DER: every SEQUENCE is an ASN1_SEQUENCE_ANY whose inner sequences
// are carried as encoded ASN1_TYPEs, so each level is i2d'd and d2i'd.
ASN1_TYPE* octetType(const char* text) {
  ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(s, reinterpret_cast<const unsigned char*>(text), static_cast<int>(std::strlen(text)));
  ASN1_TYPE* t = ASN1_TYPE_new();
  ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, s);
  return t;
}

ASN1_TYPE* sequenceType(STACK_OF(ASN1_TYPE) * items) {
  unsigned char* der = nullptr;
  int length = i2d_ASN1_SEQUENCE_ANY(items, &der);
  sk_ASN1_TYPE_pop_free(items, ASN1_TYPE_free);
  ASN1_STRING* s = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
  ASN1_STRING_set0(s, der, length);
  ASN1_TYPE* t = ASN1_TYPE_new();
  ASN1_TYPE_set(t, V_ASN1_SEQUENCE, s);
  return t;
}

ASN1_TYPE* nodeType(const namevalue_s_t& n) {
  STACK_OF(ASN1_TYPE)* node = sk_ASN1_TYPE_new_null();
  sk_ASN1_TYPE_push(node, octetType(n.name));
  STACK_OF(ASN1_TYPE)* values = sk_ASN1_TYPE_new_null();
  for (unsigned int i = 0; i < n.num_values; ++i) sk_ASN1_TYPE_push(values, octetType(n.values[i]));
  sk_ASN1_TYPE_push(node, sequenceType(values));
  STACK_OF(ASN1_TYPE)* children = sk_ASN1_TYPE_new_null();
  for (unsigned int i = 0; i < n.num_subtrees; ++i) sk_ASN1_TYPE_push(children, nodeType(*n.subtrees[i]));
  sk_ASN1_TYPE_push(node, sequenceType(children));
  return sequenceType(node);
}

void BM_OpenSSL_i2d_SEQUENCE_ANY(benchmark::State& state) {
  Tree& t = tree();
  for (auto _ : state) {
    STACK_OF(ASN1_TYPE)* top = sk_ASN1_TYPE_new_null();
    for (unsigned int i = 0; i < t.list.num_entries; ++i) sk_ASN1_TYPE_push(top, nodeType(*t.list.entries[i]));
    unsigned char* der = nullptr;
    int length = i2d_ASN1_SEQUENCE_ANY(top, &der);
    if (static_cast<std::size_t>(length) != t.der.size()) state.SkipWithError("different encoding");
    OPENSSL_free(der);
    sk_ASN1_TYPE_pop_free(top, ASN1_TYPE_free);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.der.size()));
}
BENCHMARK(BM_OpenSSL_i2d_SEQUENCE_ANY)->Unit(benchmark::kMicrosecond);

bool decodeAll(const unsigned char* p, long length, std::vector<STACK_OF(ASN1_TYPE) *>& held) {
  STACK_OF(ASN1_TYPE)* items = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, length);
  if (!items) return false;
  held.push_back(items);
  for (int i = 0; i < sk_ASN1_TYPE_num(items); ++i) {
    ASN1_TYPE* t = sk_ASN1_TYPE_value(items, i);
    if (t->type == V_ASN1_SEQUENCE &&
        !decodeAll(t->value.sequence->data, t->value.sequence->length, held))
      return false;
  }
  return true;
}

void BM_OpenSSL_d2i_SEQUENCE_ANY(benchmark::State& state) {
  Tree& t = tree();
  std::vector<STACK_OF(ASN1_TYPE)*> held;
  for (auto _ : state) {
    held.clear();
    if (!decodeAll(t.der.data(), static_cast<long>(t.der.size()), held)) state.SkipWithError("d2i failed");
    for (STACK_OF(ASN1_TYPE)* s : held) sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.der.size()));
}
BENCHMARK(BM_OpenSSL_d2i_SEQUENCE_ANY)->Unit(benchmark::kMicrosecond);
#endif

// ---------------------------------------------------------------- the map's own wire form

// A filled map as a caller holds one: names of 15 bytes, values of 8 to 16.
struct FilledMap {
  NameValueMap map;
  std::vector<unsigned char> der;

  FilledMap() {
    char name[32], value[32];
    for (int i = 0; i < kNames; ++i) {
      std::snprintf(name, sizeof name, "attribute-%05d", i);
      for (int v = 0; v < kValues; ++v) {
        std::snprintf(value, sizeof value, "%.*s-%05d", 2 + (i + v) % 9, "valuesvalues", i);
        map.addString(name, value);
      }
    }
    orn_asn_buffer_t buffer{0, nullptr};
    unsigned long status = 1;
    map.encode(buffer, status);
    if (status != 0) std::abort();
    der.assign(buffer.data, buffer.data + buffer.length);
    orn_asn_buffer_free(&buffer);
  }
};

FilledMap& filledMap() {
  static FilledMap m;
  return m;
}

void BM_NameValueMap_encode(benchmark::State& state) {
  FilledMap& m = filledMap();
  for (auto _ : state) {
    orn_asn_buffer_t buffer{0, nullptr};
    unsigned long status = 1;
    m.map.encode(buffer, status);
    if (status != 0) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(buffer.data);
    orn_asn_buffer_free(&buffer);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(m.der.size()));
}
BENCHMARK(BM_NameValueMap_encode)->Unit(benchmark::kMicrosecond);

// The reference for encode: the same bytes copied into a block of their own,
// as a caller would receive them.
void BM_Memcpy_mapEncoding(benchmark::State& state) {
  FilledMap& m = filledMap();
  for (auto _ : state) {
    auto* target = static_cast<unsigned char*>(std::malloc(m.der.size()));
    std::memcpy(target, m.der.data(), m.der.size());
    benchmark::DoNotOptimize(target);
    benchmark::ClobberMemory();
    std::free(target);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(m.der.size()));
}
BENCHMARK(BM_Memcpy_mapEncoding)->Unit(benchmark::kMicrosecond);

// The timed loop of a decode benchmark: a fresh map each time, released
// within the loop as a caller would.
void decodeEachIteration(benchmark::State& state, orn_asn_buffer_t& buffer) {
  for (auto _ : state) {
    NameValueMap* map = new NameValueMap;
    unsigned long status = 1;
    map->decode(buffer, status);
    if (status != 0) state.SkipWithError("decode failed");
    delete map;
  }
}

void BM_NameValueMap_decode(benchmark::State& state) {
  FilledMap& m = filledMap();
  orn_asn_buffer_t buffer{m.der.size(), m.der.data()};
  // The heap a decoded map holds, measured once outside the timed loop:
  // mallinfo2 walks the allocator's free lists, so its cost would depend on
  // what earlier benchmarks left there.
  double held = 0;
  {
    std::size_t before = mallinfo2().uordblks;
    NameValueMap map;
    unsigned long status = 1;
    map.decode(buffer, status);
    held = static_cast<double>(mallinfo2().uordblks - before);
  }
  decodeEachIteration(state, buffer);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(m.der.size()));
  // Heap the decoded map holds per byte of its encoding.
  state.counters["heap_per_input_byte"] = held / static_cast<double>(m.der.size());
}
BENCHMARK(BM_NameValueMap_decode)->Unit(benchmark::kMicrosecond);

#ifdef ORNUTIL_HAVE_OPENSSL
void BM_OpenSSL_d2i_mapEncoding(benchmark::State& state) {
  FilledMap& m = filledMap();
  std::vector<STACK_OF(ASN1_TYPE)*> held;
  for (auto _ : state) {
    held.clear();
    if (!decodeAll(m.der.data(), static_cast<long>(m.der.size()), held)) state.SkipWithError("d2i failed");
    for (STACK_OF(ASN1_TYPE)* s : held) sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(m.der.size()));
}
BENCHMARK(BM_OpenSSL_d2i_mapEncoding)->Unit(benchmark::kMicrosecond);
#endif

// ---------------------------------------------------------------- decode of hostile shapes
//
// NameValueMap::decode of inputs shaped to cost the most per byte, at two
// sizes, against the typical shape (15-byte names with three values of 8
// to 16 bytes). Bounds: time per byte at most 4x the typical shape's,
// doubling the input at most 2.2x the time, peak memory at most 8x the
// input (the last one is out of reach for shapes whose texts are a few
// bytes: see docs/attributes.md).

enum Shape { kTypical, kShortNames, kOneNameManyValues, kRepeatedName, kDeepest, kNestedObjects, kShapes };
const char* const kShapeNames[kShapes] = {"typical", "short_names", "one_name_many_values",
                                          "repeated_one_byte_name", "deepest_nesting", "nested_objects"};

std::string derOf(unsigned char tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  std::size_t n = content.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else {
    std::string digits;
    for (; n; n >>= 8) digits.insert(digits.begin(), static_cast<char>(n & 0xff));
    out += static_cast<char>(0x80 | digits.size());
    out += digits;
  }
  return out + content;
}
std::string octetsOf(const std::string& text) { return derOf(0x04, text); }
std::string nodeOf(const std::string& name, const std::string& values, const std::string& children) {
  return derOf(0x30, octetsOf(name) + derOf(0x30, values) + derOf(0x30, children));
}

std::string hexName(std::size_t i) {
  char text[24];
  std::snprintf(text, sizeof text, "%zx", i);
  return text;
}

// About `size` bytes of the shape's encoding.
std::string shapeEncoding(int shape, std::size_t size) {
  std::string nodes;
  char text[64];
  switch (shape) {
    case kTypical:
      for (std::size_t i = 0; nodes.size() < size; ++i) {
        std::string values;
        for (int v = 0; v < kValues; ++v) {
          std::snprintf(text, sizeof text, "%.*s-%05zu", 2 + static_cast<int>((i + v) % 9), "valuesvalues", i);
          values += octetsOf(text);
        }
        std::snprintf(text, sizeof text, "attribute-%05zu", i);
        nodes += nodeOf(text, values, "");
      }
      break;
    case kShortNames:  // distinct names of 1 to 6 bytes, nothing else
      for (std::size_t i = 1; nodes.size() < size; ++i) nodes += nodeOf(hexName(i), "", "");
      break;
    case kOneNameManyValues: {  // one node, one-byte values
      std::string values;
      while (values.size() < size) values += octetsOf("v");
      nodes = nodeOf("x", values, "");
      break;
    }
    case kRepeatedName:  // the same one-byte name again and again, one value each
      while (nodes.size() < size) nodes += nodeOf("a", octetsOf("v"), "");
      break;
    case kDeepest:  // chains of 64 levels of one-byte names under distinct top names
      for (std::size_t i = 0; nodes.size() < size; ++i) {
        std::string chain;
        for (int depth = ORN_ASN_MAX_DEPTH; depth > 1; --depth) chain = nodeOf("n", "", chain);
        nodes += nodeOf(hexName(i), "", chain);
      }
      break;
    case kNestedObjects: {  // values holding encoded objects, in Base64
      std::string inner = derOf(0x30, nodeOf("name", octetsOf("nested"), "") + nodeOf("description", octetsOf(""), ""));
      char* base64 = mime64_new_encode(reinterpret_cast<const unsigned char*>(inner.data()), inner.size());
      std::string object(base64);
      std::free(base64);
      for (std::size_t i = 0; nodes.size() < size; ++i) {
        std::snprintf(text, sizeof text, "member%06zu", i);
        nodes += nodeOf(text, octetsOf(object) + octetsOf(object), "");
      }
      break;
    }
  }
  return derOf(0x30, nodes);
}

// Resident memory in bytes from /proc/self/status ("VmRSS:" or "VmHWM:").
std::size_t statusBytes(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  std::size_t kb = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, field, std::strlen(field)) == 0) kb = std::strtoul(line + std::strlen(field), nullptr, 10);
  std::fclose(f);
  return kb * 1024;
}

// The peak memory of one decode above what the process held before it,
// from the kernel's high-water mark, reset first ("5" to clear_refs).
double decodePeak(orn_asn_buffer_t& buffer) {
  malloc_trim(0);
  FILE* clear = std::fopen("/proc/self/clear_refs", "w");
  if (!clear) return -1;
  std::fputs("5", clear);
  std::fclose(clear);
  std::size_t before = statusBytes("VmRSS:");
  {
    NameValueMap map;
    unsigned long status = 1;
    map.decode(buffer, status);
    if (status != 0) return -1;
  }
  std::size_t peak = statusBytes("VmHWM:");
  return peak > before ? static_cast<double>(peak - before) : 0;
}

void BM_NameValueMap_decodeShape(benchmark::State& state) {
  int shape = static_cast<int>(state.range(0));
  std::string der = shapeEncoding(shape, static_cast<std::size_t>(state.range(1)) << 20);
  orn_asn_buffer_t buffer{der.size(), reinterpret_cast<unsigned char*>(&der[0])};
  double peak = decodePeak(buffer);
  decodeEachIteration(state, buffer);
  state.SetLabel(kShapeNames[shape]);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(der.size()));
  state.counters["ns_per_byte"] = benchmark::Counter(static_cast<double>(der.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
  state.counters["peak_per_input_byte"] = peak / static_cast<double>(der.size());
}
BENCHMARK(BM_NameValueMap_decodeShape)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kShapes - 1, 1), {4, 8}})
    ->Unit(benchmark::kMillisecond);

void BM_attrlist_add_entry_random(benchmark::State& state) {
  std::vector<std::string> names;
  for (int i = 0; i < 1000; ++i) names.push_back((i % 2 ? "Name" : "name") + std::to_string(i * 7919 % 1000));
  std::shuffle(names.begin(), names.end(), std::mt19937(42));
  unsigned long allocations = 0;
  for (auto _ : state) {
    attrlist_s_t* list = static_cast<attrlist_s_t*>(std::calloc(1, sizeof(attrlist_s_t)));
    unsigned long before = ornutil_bench::allocationCount();
    for (std::string& name : names) {
      value_s_t v{ATTR_VALUE_STRING, const_cast<char*>("v"), 0, nullptr};
      attrlist_add_entry(list, &name[0], &v);
    }
    allocations += ornutil_bench::allocationCount() - before;
    attrlist_delete(&list);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  // Each new entry needs exactly four: the entry array, the name, the value
  // array and the value's string. Anything above that is comparison overhead.
  state.counters["allocs_per_add"] =
      benchmark::Counter(static_cast<double>(allocations) / (static_cast<double>(state.iterations()) * 1000));
}
BENCHMARK(BM_attrlist_add_entry_random)->Unit(benchmark::kMillisecond);

// Prints the usual table and keeps each benchmark's time (the median when
// there are repetitions).
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
      // CPU time: on a machine shared with other work, wall time counts the
      // time spent waiting for a core. Every measure here is one thread.
      time_[name] = run.GetAdjustedCPUTime();
      auto peak = run.counters.find("peak_per_input_byte");
      if (peak != run.counters.end()) peak_[name] = peak->second.value;
    }
  }

  void printRatios() {
    ratio("add+get, time NameValueMap/unordered_map (goal <= 1.2)", "BM_NameValueMap_addGet",
          "BM_UnorderedMap_addGet");
    ratio("map encode, speed as a fraction of memcpy (goal >= 0.08)", "BM_Memcpy_mapEncoding",
          "BM_NameValueMap_encode");
    ratio("codec encode of ready nodes, speed as a fraction of memcpy", "BM_Memcpy_encoded",
          "BM_OrnAsnEncodeObj");
    ratio("map decode, speed vs OpenSSL d2i (goal >= 4)", "BM_OpenSSL_d2i_mapEncoding",
          "BM_NameValueMap_decode");
    ratio("codec decode, speed vs OpenSSL d2i", "BM_OpenSSL_d2i_SEQUENCE_ANY", "BM_OrnAsnDecodeObj");
    // Decode of each shape: time per byte against the typical shape's at
    // the same size (bound 4x), time at 8 MiB against 4 MiB (bound 2.2x),
    // peak memory per input byte (bound 8x).
    for (int shape = 0; shape < kShapes; ++shape) {
      std::string small = shapeRun(shape, 4), large = shapeRun(shape, 8);
      auto s4 = time_.find(small), s8 = time_.find(large), t4 = time_.find(shapeRun(kTypical, 4));
      if (s4 == time_.end() || s8 == time_.end() || t4 == time_.end()) continue;
      // Shapes differ a little in size: compare per byte.
      double perByte = s4->second / static_cast<double>(shapeEncoding(shape, 4u << 20).size());
      double typicalPerByte = t4->second / static_cast<double>(shapeEncoding(kTypical, 4u << 20).size());
      std::printf("decode %-24s time/byte %.2fx typical (<= 4), growth 4->8 MiB %.2fx (<= 2.2), peak %.1fx input (<= 8)\n",
                  kShapeNames[shape], perByte / typicalPerByte, s8->second / s4->second, peak_[large]);
    }
  }

 private:
  // a / b of the two times.
  void ratio(const char* what, const std::string& a, const std::string& b) {
    auto x = time_.find(a), y = time_.find(b);
    if (x == time_.end() || y == time_.end() || y->second == 0) return;
    std::printf("ratio: %s = %.3f\n", what, x->second / y->second);
  }

  static std::string shapeRun(int shape, int mib) {
    return "BM_NameValueMap_decodeShape/" + std::to_string(shape) + "/" + std::to_string(mib);
  }

  std::map<std::string, double> time_;
  std::map<std::string, double> peak_;
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
