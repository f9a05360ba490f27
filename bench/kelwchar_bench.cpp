// Quoting of filter values: kel_mbs_nopatquote and kel_mbs_sprintf("(cn=%Q)")
// against OpenLDAP's ldap_bv2escaped_filter_value on the same texts, in the
// same run. After the runs a table gives the throughput of each of ours
// divided by OpenLDAP's, by CPU time (goal: at least 4 at 1 MiB with 1% special
// characters, at least 1 at 64 B).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "util/kelwchar.h"
#include "util/mbs_sprintf.h"
#include "util/patquote.h"

#ifdef ORNUTIL_HAVE_LDAP
#include <ldap.h>
#endif

namespace {

enum Kind { kAscii5, kAscii1, kMixed };
const char* const kKindNames[] = {"ascii5pct", "ascii1pct", "utf8mixed"};
const std::size_t kSizes[] = {64, 4096, 1 << 20};

// A text of exactly `size` bytes. ASCII texts: letters, digits and spaces
// with the given share of filter specials. Mixed texts: a third of the
// characters multibyte (two, three and four bytes), 5% specials.
std::string makeText(Kind kind, std::size_t size) {
  static const char specials[] = "*()\\";
  static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ";
  static const char* const multibyte[] = {"\xc3\xa9", "\xd0\x96", "\xe2\x82\xac", "\xe6\x97\xa5",
                                          "\xf0\x9f\x98\x80"};
  std::mt19937 rng(static_cast<unsigned>(size) * 3 + kind);
  std::uniform_real_distribution<double> share(0.0, 1.0);
  std::uniform_int_distribution<int> pickSpecial(0, 3);
  std::uniform_int_distribution<int> pickPlain(0, sizeof plain - 2);
  std::uniform_int_distribution<int> pickMulti(0, 4);
  double specialShare = kind == kAscii1 ? 0.01 : 0.05;
  std::string text;
  while (text.size() < size) {
    double r = share(rng);
    std::string piece;
    if (r < specialShare) piece = specials[pickSpecial(rng)];
    else if (kind == kMixed && r < specialShare + 0.33) piece = multibyte[pickMulti(rng)];
    else piece = plain[pickPlain(rng)];
    if (text.size() + piece.size() > size) piece = "x";
    text += piece;
  }
  return text;
}

const std::string& text(Kind kind, std::size_t size) {
  static std::map<std::pair<int, std::size_t>, std::string> texts;
  auto key = std::make_pair(static_cast<int>(kind), size);
  auto it = texts.find(key);
  if (it == texts.end()) it = texts.emplace(key, makeText(kind, size)).first;
  return it->second;
}

void BM_NoPatQuote(benchmark::State& state, Kind kind, std::size_t size) {
  const std::string& input = text(kind, size);
  for (auto _ : state) {
    char* out = kel_mbs_nopatquote(input.c_str());
    if (!out) state.SkipWithError("quoting failed");
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_SprintfQ(benchmark::State& state, Kind kind, std::size_t size) {
  const std::string& input = text(kind, size);
  for (auto _ : state) {
    char* out = kel_mbs_sprintf("(cn=%Q)", input.c_str());
    if (!out) state.SkipWithError("formatting failed");
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}


#ifdef ORNUTIL_HAVE_LDAP
void BM_LdapEscape(benchmark::State& state, Kind kind, std::size_t size) {
  const std::string& input = text(kind, size);
  berval in;
  in.bv_len = input.size();
  in.bv_val = const_cast<char*>(input.data());
  for (auto _ : state) {
    berval out{0, nullptr};
    if (ldap_bv2escaped_filter_value(&in, &out) != 0) state.SkipWithError("escaping failed");
    benchmark::DoNotOptimize(out.bv_val);
    ldap_memfree(out.bv_val);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
#endif

// Keeps each run's CPU time per iteration (steadier than wall time on a
// shared machine) and prints ours against OpenLDAP's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0)
        seconds_[run.benchmark_name()] = run.cpu_accumulated_time / run.iterations;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nthroughput relative to ldap_bv2escaped_filter_value (higher is better)\n");
    std::printf("%-12s %10s %14s %14s\n", "text", "size", "nopatquote", "sprintf(%Q)");
    for (int kind = 0; kind < 3; ++kind) {
      for (std::size_t size : kSizes) {
        std::string suffix = std::string("/") + kKindNames[kind] + "/" + std::to_string(size);
        double ldap = seconds("LdapEscape" + suffix);
        double quote = seconds("NoPatQuote" + suffix);
        double format = seconds("SprintfQ" + suffix);
        if (ldap <= 0 || quote <= 0 || format <= 0) continue;
        std::printf("%-12s %10zu %13.2fx %13.2fx\n", kKindNames[kind], size, ldap / quote,
                    ldap / format);
      }
    }
  }

 private:
  double seconds(const std::string& name) const {
    auto it = seconds_.find(name);
    return it == seconds_.end() ? 0 : it->second;
  }
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  for (int kind = 0; kind < 3; ++kind) {
    for (std::size_t size : kSizes) {
      std::string suffix = std::string("/") + kKindNames[kind] + "/" + std::to_string(size);
      Kind k = static_cast<Kind>(kind);
      benchmark::RegisterBenchmark(("NoPatQuote" + suffix).c_str(), BM_NoPatQuote, k, size);
      benchmark::RegisterBenchmark(("SprintfQ" + suffix).c_str(), BM_SprintfQ, k, size);
#ifdef ORNUTIL_HAVE_LDAP
      benchmark::RegisterBenchmark(("LdapEscape" + suffix).c_str(), BM_LdapEscape, k, size);
#endif
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
