// Names the machine a benchmark ran on: the processor (model name, family,
// model and stepping from /proc/cpuinfo), the instruction-set extensions it
// and the operating system offer, and the code paths the library chose on it.
// Every benchmark program links this file; a static initializer adds the
// facts to Google Benchmark's context, so they open the console output and
// sit in the "context" object of the JSON output, beside every ratio.
#ifndef ORNUTIL_BENCH_SUPPORT_MACHINE_CONTEXT_H
#define ORNUTIL_BENCH_SUPPORT_MACHINE_CONTEXT_H

#include <string>

namespace ornutil_bench {

// "AMD EPYC (family 25, model 17, stepping 1)", or what /proc/cpuinfo lacks
// left out; "unknown processor" when it cannot be read.
std::string cpuModel();
// The extensions that decide the library's paths, as the processor and the
// kernel offer them: "avx2 avx512f avx512bw avx512vbmi avx512vbmi2 bmi2",
// each absent one prefixed with '-'.
std::string cpuFeatures();
// The code path of each module that chooses one at run time (or is fixed at
// build time), e.g. "base64=avx512 scramble=scalar utf8-walk=sse2".
std::string isaPaths();

}  // namespace ornutil_bench

#endif
