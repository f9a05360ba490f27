// Throughput of the Base64 codec against OpenSSL's EVP_EncodeBlock and
// EVP_DecodeBlock, with memcpy of the same size as the physical reference.
// Every case moves N bytes of binary data (the text is 4/3 as long): encode
// N bytes, decode the text of N bytes (clean, or wrapped at 76 columns with
// LF or CRLF).
// Ours runs with the processor's best code and with each slower path this
// machine has forced (AVX2, the portable scalar code). Our functions allocate
// their result on every call, as callers use them; OpenSSL writes into a
// buffer made once.
//
// After the runs a table gives the ratios and the goals they are held to.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef ORNUTIL_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

#include "util/internal/base64_core.h"
#include "util/mime64_new.h"

namespace {

using ornutil::base64::Path;

const std::size_t kSizes[] = {64, 4096, 1 << 20};

struct Input {
  std::string bytes, text, wrapped, crlf;
};

const Input& input(std::size_t n) {
  static std::map<std::size_t, Input> inputs;
  auto it = inputs.find(n);
  if (it != inputs.end()) return it->second;
  Input in;
  std::mt19937 rng(static_cast<unsigned>(n));
  in.bytes.resize(n);
  for (auto& c : in.bytes) c = static_cast<char>(rng() & 0xff);
  char* text = mime64_new_encode(reinterpret_cast<const unsigned char*>(in.bytes.data()), n);
  in.text = text;
  std::free(text);
  for (std::size_t i = 0; i < in.text.size(); i += 76) {
    in.wrapped += in.text.substr(i, 76) + "\n";
    in.crlf += in.text.substr(i, 76) + "\r\n";
  }
  return inputs.emplace(n, std::move(in)).first->second;
}

void oursEncode(benchmark::State& state, std::size_t n, Path path) {
  const Input& in = input(n);
  const auto* data = reinterpret_cast<const unsigned char*>(in.bytes.data());
  if (!ornutil::base64::set_path(path)) {
    state.SkipWithError("this processor does not run the path");
    return;
  }
  for (auto _ : state) {
    char* text = mime64_new_encode(data, n);
    benchmark::DoNotOptimize(text);
    std::free(text);
  }
  ornutil::base64::set_path(Path::automatic);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

enum class Form { clean, wrapped, crlf };

void oursDecode(benchmark::State& state, std::size_t n, Path path, Form form) {
  const Input& in = input(n);
  const std::string& text = form == Form::clean ? in.text : form == Form::wrapped ? in.wrapped : in.crlf;
  if (!ornutil::base64::set_path(path)) {
    state.SkipWithError("this processor does not run the path");
    return;
  }
  for (auto _ : state) {
    char* out = nullptr;
    unsigned long length = 0;
    mime64_new_decode(text.data(), text.size(), &out, &length);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  ornutil::base64::set_path(Path::automatic);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void copy(benchmark::State& state, std::size_t n) {
  const Input& in = input(n);
  std::vector<char> out(n);
  for (auto _ : state) {
    std::memcpy(out.data(), in.bytes.data(), n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

#ifdef ORNUTIL_HAVE_OPENSSL
void opensslEncode(benchmark::State& state, std::size_t n) {
  const Input& in = input(n);
  std::vector<unsigned char> out(in.text.size() + 1);
  for (auto _ : state) {
    int length = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(in.bytes.data()),
                                 static_cast<int>(n));
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void opensslDecode(benchmark::State& state, std::size_t n) {
  const Input& in = input(n);
  std::vector<unsigned char> out(in.text.size());
  for (auto _ : state) {
    int length = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(in.text.data()),
                                 static_cast<int>(in.text.size()));
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

// The comparison only means something if both give the same bytes.
bool sameAsOpenssl() {
  for (std::size_t n : kSizes) {
    const Input& in = input(n);
    std::vector<unsigned char> text(in.text.size() + 1);
    EVP_EncodeBlock(text.data(), reinterpret_cast<const unsigned char*>(in.bytes.data()),
                    static_cast<int>(n));
    if (in.text != reinterpret_cast<const char*>(text.data())) return false;
    std::vector<unsigned char> bytes(in.text.size());
    EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(in.text.data()),
                    static_cast<int>(in.text.size()));
    if (std::memcmp(bytes.data(), in.bytes.data(), n) != 0) return false;
  }
  return true;
}
#endif

// Keeps each case's throughput for the summary: the median when the runs are
// repeated (--benchmark_repetitions), else the best run. On a shared machine
// the median of a few repetitions is the figure to quote.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      const double rate = static_cast<double>(it->second.value);
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") median_[run.run_name.str()] = rate;
        continue;
      }
      double& best = best_[run.benchmark_name()];
      best = std::max(best, rate);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    rate_ = median_.empty() ? best_ : median_;
    std::printf("\n%-8s %-16s %10s %10s  (%s)\n", "size", "ratio", "measured", "goal",
                median_.empty() ? "best runs" : "medians");
    for (std::size_t n : kSizes) {
      std::string s = "/" + std::to_string(n);
      bool goals = n >= 4096;
      line(n, "encode/openssl", "encode/ours" + s, "encode/openssl" + s, goals ? 8.0 : 0);
      line(n, "encode avx2/os", "encode/ours_avx2" + s, "encode/openssl" + s, 0);
      line(n, "encode scalar/os", "encode/ours_scalar" + s, "encode/openssl" + s, goals ? 1.8 : 0);
      line(n, "decode/openssl", "decode/ours" + s, "decode/openssl" + s, goals ? 8.0 : 0);
      line(n, "decode avx2/os", "decode/ours_avx2" + s, "decode/openssl" + s, 0);
      line(n, "decode scalar/os", "decode/ours_scalar" + s, "decode/openssl" + s, goals ? 1.5 : 0);
      line(n, "wrapped/openssl", "decode_wrapped/ours" + s, "decode/openssl" + s, 0);
      line(n, "wrapped/clean", "decode_wrapped/ours" + s, "decode/ours" + s, goals ? 0.5 : 0);
      line(n, "crlf/clean", "decode_crlf/ours" + s, "decode/ours" + s, goals ? 0.5 : 0);
      line(n, "wrap avx2/clean", "decode_wrapped/ours_avx2" + s, "decode/ours_avx2" + s, 0);
      line(n, "wrap scal/clean", "decode_wrapped/ours_scalar" + s, "decode/ours_scalar" + s, 0);
      line(n, "encode/memcpy", "encode/ours" + s, "memcpy" + s, 0);
      line(n, "decode/memcpy", "decode/ours" + s, "memcpy" + s, 0);
    }
  }

 private:
  void line(std::size_t n, const char* label, const std::string& a, const std::string& b,
            double goal) {
    auto ia = rate_.find(a), ib = rate_.find(b);
    if (ia == rate_.end() || ib == rate_.end() || ib->second <= 0) return;
    double ratio = ia->second / ib->second;
    if (goal > 0)
      std::printf("%-8zu %-16s %9.2fx %9.2fx  %s\n", n, label, ratio, goal,
                  ratio >= goal ? "met" : "NOT MET");
    else
      std::printf("%-8zu %-16s %9.2fx %10s\n", n, label, ratio, "-");
  }

  std::map<std::string, double> best_, median_, rate_;
};

}  // namespace

int main(int argc, char** argv) {
  for (std::size_t n : kSizes) {
    std::string s = "/" + std::to_string(n);
    benchmark::RegisterBenchmark(("encode/ours" + s).c_str(), oursEncode, n, Path::automatic);
    benchmark::RegisterBenchmark(("encode/ours_avx2" + s).c_str(), oursEncode, n, Path::avx2);
    benchmark::RegisterBenchmark(("encode/ours_scalar" + s).c_str(), oursEncode, n, Path::scalar);
    benchmark::RegisterBenchmark(("decode/ours" + s).c_str(), oursDecode, n, Path::automatic, Form::clean);
    benchmark::RegisterBenchmark(("decode/ours_avx2" + s).c_str(), oursDecode, n, Path::avx2,
                                 Form::clean);
    benchmark::RegisterBenchmark(("decode/ours_scalar" + s).c_str(), oursDecode, n, Path::scalar,
                                 Form::clean);
    benchmark::RegisterBenchmark(("decode_wrapped/ours" + s).c_str(), oursDecode, n,
                                 Path::automatic, Form::wrapped);
    benchmark::RegisterBenchmark(("decode_crlf/ours" + s).c_str(), oursDecode, n,
                                 Path::automatic, Form::crlf);
    benchmark::RegisterBenchmark(("decode_wrapped/ours_avx2" + s).c_str(), oursDecode, n,
                                 Path::avx2, Form::wrapped);
    benchmark::RegisterBenchmark(("decode_wrapped/ours_scalar" + s).c_str(), oursDecode, n,
                                 Path::scalar, Form::wrapped);
#ifdef ORNUTIL_HAVE_OPENSSL
    benchmark::RegisterBenchmark(("encode/openssl" + s).c_str(), opensslEncode, n);
    benchmark::RegisterBenchmark(("decode/openssl" + s).c_str(), opensslDecode, n);
#endif
    benchmark::RegisterBenchmark(("memcpy" + s).c_str(), copy, n);
  }
#ifdef ORNUTIL_HAVE_OPENSSL
  if (!sameAsOpenssl()) {
    std::fprintf(stderr, "our output differs from OpenSSL's\n");
    return 1;
  }
#else
  std::fprintf(stderr, "OpenSSL not found: no reference runs\n");
#endif
  ornutil::base64::set_path(Path::automatic);
  const char* names[] = {"automatic", "scalar", "AVX2", "AVX-512 (VBMI, VBMI2)"};
  std::printf("best code: %s\n", names[static_cast<int>(ornutil::base64::active_path())]);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
