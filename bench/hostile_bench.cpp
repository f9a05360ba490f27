// Worst-case inputs: every consumer of outside input (configuration load,
// migration and store, the wire decoder, tree and object decode, trace
// rendering, Base64, scramble and unscramble, quoting, the formatter,
// character validation, message look-up) fed its typical input and hostile
// shapes of the same size, each at two sizes.
//
// One benchmark per shape. It reports, at the larger size: time per input
// byte, its ratio to the typical input of the same consumer and size, growth
// per doubling of the input ((time at 4x / time at 1x) ^ (1/2)), and the peak
// heap per input byte; and whether the shape stays within its bounds:
//   time    at most 4x the typical input's time per byte, or at most 10 ns a byte
//   growth  at most 2.2x per doubling (judged from 1 ns a byte: kGrowthJudgedFrom)
//   memory  at most 8x the input (or the result handed back, where that is
//           larger: scramble's output is up to 14x its input by design) plus
//           a floor of 4 MiB
// and prints the whole table at the end.
//
// How it measures. Time: the processor time of the calling thread (not wall
// time: the machine is shared, and preemption would count otherwise), the
// median of at least three runs (many when a run takes microseconds; one when
// it is slow), the shape's runs at both sizes interleaved with those of its
// consumer's typical input, each run timed alone with its setup (writing a fresh
// copy of a file that the load migrates, say) left out. Memory: the highest
// rise of the bytes held on the heap during one more run, counted by the
// malloc replacement in bench/support/alloc_counter (usable block sizes;
// mappings the library makes itself, none today, would not be seen).
// Message look-ups keep what they find for the life of the process, so each
// of their runs is made in a fresh child process.
//
// Sizes: 1 MiB and 4 MiB, except for shapes that grow with the square of
// their size today, which run smaller (the "sizes" column says so) so that
// the program ends in minutes; and when the smaller size took so long that
// the larger one would take more than kLongest seconds at the square, the
// larger one is skipped and the row fails. Hash collisions are for the hash
// as it was before it took a per-process seed (bench/support/hash_collisions):
// once the hash is seeded those names no longer collide, which is the point.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KelCore/OrnObject.h"
#include "bench/support/alloc_counter.h"
#include "bench/support/hash_collisions.h"
#include "foundation/msgcat.h"
#include "foundation/ornasn.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "util/KelMsg.h"
#include "util/NameValueMap.h"
#include "util/OrnStanzaFileProperties.h"
#include "util/encode.h"
#include "util/kelwchar.h"
#include "util/mbs_sprintf.h"
#include "util/mime64_new.h"
#include "util/patquote.h"

namespace {

using ornutil_bench::Collision;

constexpr std::size_t KiB = 1024, MiB = 1024 * KiB;
constexpr std::size_t kFactor = 4;        // the larger size is 4x the smaller
constexpr double kLongest = 20.0;         // seconds a skipped larger size would take at least
// Runs of a row: at least kMinRuns rounds and kShortBudget seconds of the
// shape's runs, at most kMaxRuns rounds, and no further round once its runs
// took kRunBudget seconds (a slow shape may run once).
constexpr std::size_t kMinRuns = 3, kMaxRuns = 500;
constexpr double kShortBudget = 0.25, kRunBudget = 1.0;
constexpr double kTimeRatioBound = 4.0, kNsPerByteFloor = 10.0, kGrowthBound = 2.2, kMemoryRatioBound = 8.0;
constexpr double kMemoryFloor = 4.0 * MiB;
// Growth is judged where the larger size costs at least this much a byte.
// Below it a consumer runs at the speed of a bulk scan, where the step from
// inputs that fit the caches to inputs that do not moves the figure more than
// any extra work could at these sizes (a square would cost far more a byte).
constexpr double kGrowthJudgedFrom = 1.0;

// ---------------------------------------------------------------- scratch space

std::string gScratch;  // a private directory under /tmp, removed at the end

std::string scratchFile(const std::string& name) { return gScratch + "/" + name; }

void writeFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
    std::perror(path.c_str());
    std::exit(2);
  }
}

std::size_t fileSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  std::fclose(f);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// ---------------------------------------------------------------- what a shape is

// One run's outcome: the bytes of the result handed back to the caller (0
// when it is not held: a trace written out, a file stored), and whether the
// consumer refused the input.
struct Outcome {
  double resultBytes = 0;
  bool refused = false;
};

// A consumer ready to run on one input.
struct Prepared {
  std::size_t inputBytes = 0;
  std::function<void()> setup;    // before each run, untimed (may be empty)
  std::function<Outcome()> run;   // the timed work
  std::function<double()> extra;  // after a run: bytes it wrote to a side channel (the debug log)
};

struct Shape {
  std::string consumer;
  std::string name;
  bool typical = false;
  std::size_t base = 1 * MiB;  // the smaller size; the larger is kFactor times it
  bool freshProcess = false;   // runs in a fresh child process each (process-long caches)
  std::function<Prepared(std::size_t)> make;
};

struct Measured {
  std::size_t inputBytes = 0;
  double seconds = 0;  // median of the runs
  double peakBytes = 0;
  double resultBytes = 0;
  double extraBytes = 0;
  bool refused = false;
  bool skipped = false;
};

// ---------------------------------------------------------------- measuring

// The processor time of this thread: on a machine shared with other work,
// the time a run is preempted must not count as its own, and the consumers
// run on the calling thread. (A store's wait for fsync is not counted
// either; it is the same for every shape.)
double threadSeconds() {
  timespec t;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct RunResult {
  double seconds = 0, peak = 0, resultBytes = 0, extra = 0;
  bool refused = false;
};

RunResult runOnce(const Prepared& p, bool trackHeap) {
  if (p.setup) p.setup();
  RunResult r;
  if (trackHeap) ornutil_bench::startPeakTracking();
  const double start = threadSeconds();
  Outcome o = p.run();
  const double end = threadSeconds();
  if (trackHeap) r.peak = static_cast<double>(ornutil_bench::stopPeakTracking());
  r.seconds = end - start;
  r.resultBytes = o.resultBytes;
  r.refused = o.refused;
  if (p.extra) r.extra = p.extra();
  return r;
}

// runOnce in a fresh child process, which sends its result back.
RunResult runInChild(const Prepared& p, bool trackHeap) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) std::abort();
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) std::abort();
  if (child == 0) {
    ::close(pipeEnds[0]);
    RunResult r = runOnce(p, trackHeap);
    ssize_t written = ::write(pipeEnds[1], &r, sizeof r);
    ::_exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  ::close(pipeEnds[1]);
  RunResult r;
  ssize_t got = ::read(pipeEnds[0], &r, sizeof r);
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (got != static_cast<ssize_t>(sizeof r) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "hostile_bench: a child run failed\n");
    std::exit(2);
  }
  return r;
}

// One input of a shape, its runs so far, and its peak heap.
struct Subject {
  const Shape* shape = nullptr;
  Prepared prepared;
  std::vector<double> times;
  RunResult last;
  double peak = 0;
  bool peakMeasured = false;

  RunResult once(bool track) const {
    return shape->freshProcess ? runInChild(prepared, track) : runOnce(prepared, track);
  }
  void time() {
    last = once(false);
    times.push_back(last.seconds);
  }
  double spent() const {
    double total = 0;
    for (double t : times) total += t;
    return total;
  }
  Measured result() const {
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    Measured m;
    m.inputBytes = prepared.inputBytes;
    m.seconds = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    m.peakBytes = peak;
    m.resultBytes = last.resultBytes;
    m.extraBytes = last.extra;
    m.refused = last.refused;
    return m;
  }
};

// Inputs already made, by consumer, shape and size: a consumer's typical
// inputs serve every row of that consumer.
std::map<std::string, std::unique_ptr<Subject>> gSubjects;
std::map<std::string, const Shape*> gTypical;  // by consumer

Subject& subject(const Shape& shape, std::size_t size) {
  std::unique_ptr<Subject>& s = gSubjects[shape.consumer + "|" + shape.name + "|" + std::to_string(size)];
  if (!s) {
    s = std::make_unique<Subject>();
    s->shape = &shape;
    s->prepared = shape.make(size);
  }
  return *s;
}

// Times the shape at its two sizes and the typical input at the same sizes,
// their runs interleaved round by round, so that a change of load on the
// machine meets all four alike; then measures each one's peak heap.
// `shapeRuns` receives the shape's results (the larger size marked skipped
// when it would take too long) and `typicalRuns` the typical input's.
void measureRow(const Shape& shape, Measured shapeRuns[2], Measured typicalRuns[2]) {
  const Shape& typical = *gTypical.at(shape.consumer);
  const std::size_t sizes[2] = {shape.base, shape.base * kFactor};
  std::vector<Subject*> mine = {&subject(shape, sizes[0])};
  mine[0]->times.clear();
  mine[0]->time();
  const bool skip = mine[0]->times[0] * kFactor * kFactor > kLongest;
  if (!skip) mine.push_back(&subject(shape, sizes[1]));
  std::vector<Subject*> all = mine;
  if (&typical != &shape)
    for (std::size_t i = 0; i < mine.size(); ++i) all.push_back(&subject(typical, sizes[i]));
  for (Subject* s : all)
    if (s != mine[0]) s->times.clear();
  // At least three rounds unless a run is slow; many when each is short, so
  // that the median of a consumer that takes microseconds is steady.
  for (Subject* s : all)
    if (s != mine[0]) s->time();
  for (std::size_t rounds = 1;; ++rounds) {
    double spent = 0;
    for (Subject* s : mine) spent += s->spent();
    if (rounds >= kMaxRuns || (rounds >= kMinRuns && spent >= kShortBudget) || spent >= kRunBudget) break;
    for (Subject* s : all) s->time();
  }
  for (Subject* s : all)
    if (!s->peakMeasured) {
      s->peak = s->once(true).peak;
      s->peakMeasured = true;
    }
  for (std::size_t i = 0; i < 2; ++i) {
    const std::size_t at = skip ? 0 : i;
    shapeRuns[i] = mine[at]->result();
    typicalRuns[i] = (&typical == &shape ? mine[at] : all[mine.size() + at])->result();
  }
  shapeRuns[1].skipped = skip;
  // A hostile input (and what its setup built: a loaded file, a decoded
  // tree) is not needed again; typical ones serve the next rows.
  if (!shape.typical)
    for (std::size_t size : sizes) gSubjects.erase(shape.consumer + "|" + shape.name + "|" + std::to_string(size));
}

double nsPerByte(const Measured& m) { return m.inputBytes ? m.seconds * 1e9 / static_cast<double>(m.inputBytes) : 0; }

std::string sizeText(std::size_t bytes) {
  char text[32];
  if (bytes >= MiB && bytes % MiB == 0) std::snprintf(text, sizeof text, "%zuM", bytes / MiB);
  else std::snprintf(text, sizeof text, "%zuK", (bytes + KiB / 2) / KiB);
  return text;
}

// ---------------------------------------------------------------- the table

struct Row {
  std::string consumer, shape, sizes;
  double nsBase = 0, ns = 0, ratio = 0, growth = 0, memory = 0, extra = 0;
  bool growthJudged = true, timeOk = true, growthOk = true, memoryOk = true, skipped = false, refused = false;
  bool pass() const { return timeOk && growthOk && memoryOk && !skipped; }
};
std::vector<Row> gRows;

void runShape(benchmark::State& state, const Shape* shape) {
  Row row;
  row.consumer = shape->consumer;
  row.shape = shape->name;
  for (auto _ : state) {
    const std::size_t base = shape->base, large = base * kFactor;
    row.sizes = sizeText(base) + "/" + sizeText(large);
    Measured mine[2], typicalRuns[2];
    measureRow(*shape, mine, typicalRuns);
    const Measured &small = mine[0], &big = mine[1], &reference = typicalRuns[1];
    row.nsBase = nsPerByte(small);
    row.ns = nsPerByte(big);
    row.skipped = big.skipped;
    row.refused = big.refused;
    row.ratio = nsPerByte(reference) > 0 ? row.ns / nsPerByte(reference) : 0;
    if (!big.skipped && small.seconds > 0) {
      double sizeRatio = static_cast<double>(big.inputBytes) / static_cast<double>(small.inputBytes);
      row.growth = std::pow(big.seconds / small.seconds, 1.0 / std::log2(sizeRatio));
    }
    const double basis = std::max(static_cast<double>(big.inputBytes), big.resultBytes);
    row.memory = big.inputBytes ? big.peakBytes / static_cast<double>(big.inputBytes) : 0;
    row.extra = big.inputBytes ? big.extraBytes / static_cast<double>(big.inputBytes) : 0;
    row.timeOk = shape->typical || row.ratio <= kTimeRatioBound || row.ns <= kNsPerByteFloor;
    row.growthJudged = row.ns >= kGrowthJudgedFrom;
    row.growthOk = !big.skipped && (row.growth <= kGrowthBound || !row.growthJudged);
    row.memoryOk = big.peakBytes <= kMemoryRatioBound * basis + kMemoryFloor;
    state.SetIterationTime(std::max(big.seconds, 1e-9));
    state.SetBytesProcessed(static_cast<int64_t>(big.inputBytes));
  }
  state.counters["ns_per_byte"] = row.ns;
  state.counters["ns_per_byte_small"] = row.nsBase;
  state.counters["ratio_to_typical"] = row.ratio;
  state.counters["growth_per_doubling"] = row.growth;
  state.counters["peak_heap_per_byte"] = row.memory;
  if (row.extra > 0) state.counters["log_bytes_per_byte"] = row.extra;
  state.counters["pass"] = row.pass() ? 1 : 0;
  state.SetLabel(std::string(row.pass() ? "pass" : "FAIL") + " sizes " + row.sizes +
                 (row.skipped ? " (larger size skipped: too slow)" : "") + (row.refused ? " (refused)" : "") +
                 " bounds: ratio<=4 or <=10ns/B, growth<=2.2, heap<=8x+4MiB");
  gRows.push_back(row);
}

void printTable() {
  std::printf("\nWorst-case table (time per byte at the larger size; ratio to the consumer's typical input of\n"
              "the same size; growth per doubling of the input; peak heap per input byte at the larger size)\n\n");
  std::printf("%-24s %-48s %-10s %9s %8s %7s %9s  %s\n", "consumer", "shape", "sizes", "ns/byte", "ratio",
              "growth", "heap/B", "result");
  int failed = 0;
  for (const Row& r : gRows) {
    char growth[16];
    if (r.skipped) std::snprintf(growth, sizeof growth, "%7s", "skip");
    else if (!r.growthJudged) std::snprintf(growth, sizeof growth, "%6.2f*", r.growth);
    else std::snprintf(growth, sizeof growth, "%7.2f", r.growth);
    std::string result = r.pass() ? "pass" : "FAIL:";
    if (!r.timeOk) result += " time";
    if (!r.growthOk) result += r.skipped ? " growth(skipped)" : " growth";
    if (!r.memoryOk) result += " memory";
    if (r.refused) result += " (input refused)";
    if (r.extra > 0) {
      char log[48];
      std::snprintf(log, sizeof log, " [log %.0f B/B]", r.extra);
      result += log;
    }
    failed += !r.pass();
    std::printf("%-24s %-48s %-10s %9.2f %8.2f %s %9.2f  %s\n", r.consumer.c_str(), r.shape.c_str(),
                r.sizes.c_str(), r.ns, r.ratio, growth, r.memory, result.c_str());
  }
  std::printf("\n%d of %zu rows out of bounds. Bounds: time <= %.0fx typical or <= %.0f ns/byte; growth <= %.1fx per\n"
              "doubling (* not judged: under %.0f ns/byte); peak heap <= %.0fx max(input, result) + %.0f MiB.\n",
              failed, gRows.size(), kTimeRatioBound, kNsPerByteFloor, kGrowthBound, kGrowthJudgedFrom,
              kMemoryRatioBound, kMemoryFloor / MiB);
}

// ---------------------------------------------------------------- input makers

// Repeats `unit(i)` for i = 0, 1, ... until `text` holds at least `size` bytes.
std::string fill(std::string text, std::size_t size, const std::function<std::string(std::size_t)>& unit) {
  for (std::size_t i = 0; text.size() < size; ++i) text += unit(i);
  return text;
}

std::string randomPrintable(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, ' ');
  for (char& c : s) c = static_cast<char>(' ' + rng() % 95);
  return s;
}

std::string randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xff);
  return s;
}

// Node trees for the wire form, built with the codec's own records so that
// names may repeat as separate nodes and no map (nor its hash) is involved
// in making the input.
class Tree {
 public:
  namevalue_s_t* node(std::string name, const std::vector<std::string>& values = {},
                      const std::vector<namevalue_s_t*>& children = {}) {
    strings_.push_back(std::move(name));
    namevalue_s_t& n = nodes_.emplace_back();
    n.name = strings_.back().c_str();
    auto& v = valueLists_.emplace_back();
    for (const std::string& value : values) {
      strings_.push_back(value);
      v.push_back(strings_.back().c_str());
    }
    n.num_values = static_cast<unsigned>(v.size());
    n.values = v.empty() ? nullptr : v.data();
    auto& c = childLists_.emplace_back(children);
    n.num_subtrees = static_cast<unsigned>(c.size());
    n.subtrees = c.empty() ? nullptr : c.data();
    return &n;
  }
  void top(namevalue_s_t* n) { top_.push_back(n); }
  std::string encode() {
    namevalueList_s_t list{static_cast<unsigned>(top_.size()), top_.empty() ? nullptr : top_.data()};
    orn_asn_buffer_t out{0, nullptr};
    if (ornAsnEncodeObj(out, list) != ORN_ASN_OK) {
      std::fprintf(stderr, "hostile_bench: cannot encode an input tree\n");
      std::exit(2);
    }
    std::string bytes(reinterpret_cast<const char*>(out.data), out.length);
    orn_asn_buffer_free(&out);
    return bytes;
  }

 private:
  std::deque<std::string> strings_;
  std::deque<namevalue_s_t> nodes_;
  std::deque<std::vector<const char*>> valueLists_;
  std::deque<std::vector<namevalue_s_t*>> childLists_;
  std::vector<namevalue_s_t*> top_;
};

// An encoding of about `size` bytes from `units` units of a shape: the unit
// count is scaled from a sample's size.
std::string wireOfSize(std::size_t size, const std::function<std::string(std::size_t units)>& build) {
  const std::size_t sample = 256;
  double perUnit = static_cast<double>(build(sample).size()) / sample;
  return build(std::max<std::size_t>(1, static_cast<std::size_t>(static_cast<double>(size) / perUnit)));
}

std::string base64Of(const std::string& bytes) {
  char* text = mime64_new_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  std::string s(text);
  std::free(text);
  return s;
}

// ---------------------------------------------------------------- wire shapes

struct WireShape {
  std::string name;
  std::size_t base;
  std::function<std::string(std::size_t)> bytes;  // an encoding of about that size
};

std::vector<WireShape> wireShapes() {
  std::vector<WireShape> shapes;
  // Typical: names of ordinary length with three values, a subtree under
  // every tenth.
  shapes.push_back({"typical: names x 3 values, some subtrees", 1 * MiB, [](std::size_t size) {
                      return wireOfSize(size, [](std::size_t units) {
                        Tree t;
                        char name[32], value[32];
                        for (std::size_t i = 0; i < units; ++i) {
                          std::snprintf(name, sizeof name, "attribute%zu", i);
                          std::vector<std::string> values;
                          for (int k = 0; k < 3; ++k) {
                            std::snprintf(value, sizeof value, "value-%zu-%d", i, k);
                            values.emplace_back(value);
                          }
                          std::vector<namevalue_s_t*> children;
                          if (i % 10 == 0) children = {t.node("uid", {"u" + std::to_string(i)}), t.node("cn", {"c"})};
                          t.top(t.node(name, values, children));
                        }
                        return t.encode();
                      });
                    }});
  shapes.push_back({"names colliding in the low 16 hash bits", 64 * KiB, [](std::size_t size) {
                      return wireOfSize(size, [](std::size_t units) {
                        const auto& names = ornutil_bench::collidingNames(Collision::kTableSlot, units);
                        Tree t;
                        for (std::size_t i = 0; i < units; ++i) t.top(t.node(names[i], {"v"}));
                        return t.encode();
                      });
                    }});
  shapes.push_back({"short names (1-4 bytes), one empty value", 1 * MiB, [](std::size_t size) {
                      return wireOfSize(size, [](std::size_t units) {
                        static const char digits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
                        Tree t;
                        for (std::size_t i = 0; i < units; ++i) {
                          std::string name;
                          for (std::size_t v = i;; v = v / 62 - 1) {  // 1 byte names first, then 2, ...
                            name += digits[v % 62];
                            if (v < 62) break;
                          }
                          t.top(t.node(name, {""}));
                        }
                        return t.encode();
                      });
                    }});
  shapes.push_back({"one name, a million one-byte values", 1 * MiB, [](std::size_t size) {
                      return wireOfSize(size, [](std::size_t units) {
                        Tree t;
                        t.top(t.node("v", std::vector<std::string>(units, "x")));
                        return t.encode();
                      });
                    }});
  shapes.push_back({"one name repeated as separate nodes", 1 * MiB, [](std::size_t size) {
                      return wireOfSize(size, [](std::size_t units) {
                        Tree t;
                        for (std::size_t i = 0; i < units; ++i) t.top(t.node("v", {"x"}, {t.node("s", {"y"})}));
                        return t.encode();
                      });
                    }});
  shapes.push_back({"maximum nesting (chains 64 deep)", 1 * MiB, [](std::size_t size) {
                      return wireOfSize(size, [](std::size_t units) {
                        Tree t;
                        for (std::size_t i = 0; i < units; ++i) {
                          namevalue_s_t* inner = t.node("d", {"x"});
                          for (int depth = 2; depth < ORN_ASN_MAX_DEPTH; ++depth) inner = t.node("d", {"x"}, {inner});
                          t.top(t.node("c" + std::to_string(i), {"x"}, {inner}));
                        }
                        return t.encode();
                      });
                    }});
  shapes.push_back({"nested objects in values, 12 deep", 1 * MiB, [](std::size_t size) {
                      // The innermost tree, then each level a tree whose value
                      // is the Base64 of the level inside it.
                      std::string nested;
                      {
                        Tree t;
                        t.top(t.node("cn", {"x"}));
                        t.top(t.node("password", {"secret"}));
                        nested = t.encode();
                      }
                      for (int level = 0; level < 12; ++level) {
                        Tree t;
                        t.top(t.node("obj", {base64Of(nested)}));
                        nested = t.encode();
                      }
                      const std::string value = base64Of(nested);
                      return wireOfSize(size, [&](std::size_t units) {
                        Tree t;
                        for (std::size_t i = 0; i < units; ++i) t.top(t.node("v" + std::to_string(i), {value}));
                        return t.encode();
                      });
                    }});
  shapes.push_back({"attrlistnames N x 'x', xattrlistvaltype M x '3'", 16 * KiB, [](std::size_t size) {
                      return wireOfSize(size, [](std::size_t units) {
                        Tree t;
                        t.top(t.node("attrlistnames", std::vector<std::string>(units, "x")));
                        t.top(t.node("xattrlistvaltype", std::vector<std::string>(units, "3")));
                        t.top(t.node("x", {"v"}));
                        return t.encode();
                      });
                    }});
  shapes.push_back({"attrlistnames N x 'obfuscate', obfuscate=true", 64 * KiB, [](std::size_t size) {
                      return wireOfSize(size, [](std::size_t units) {
                        Tree t;
                        t.top(t.node("attrlistnames", std::vector<std::string>(units, "obfuscate")));
                        t.top(t.node("obfuscate", {"true"}));
                        t.top(t.node("value", {"v"}));
                        return t.encode();
                      });
                    }});
  shapes.push_back({"attribute list under a 64 KiB prefix", 256 * KiB, [](std::size_t size) {
                      // Names of about 7 bytes and their headers after the prefix.
                      const std::string prefix(64 * KiB, 'p');
                      Tree t;
                      std::vector<std::string> names;
                      for (std::size_t i = 0; prefix.size() + 9 * names.size() < size; ++i) names.push_back("a" + std::to_string(i));
                      t.top(t.node(prefix + "attrlistnames", names));
                      return t.encode();
                    }});
  return shapes;
}

orn_asn_buffer_t bufferOf(const std::string& bytes) {
  return orn_asn_buffer_t{bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
}

void traceSink(void* context, const char*, std::size_t n) { *static_cast<double*>(context) += static_cast<double>(n); }

void addWireConsumers(std::vector<Shape>& shapes) {
  for (const WireShape& w : wireShapes()) {
    const bool typical = w.name.rfind("typical", 0) == 0;
    // Made once per size and shared by the consumers (each shape's input is
    // kept for the whole run: a row needs its consumer's typical input again).
    auto input = [bytes = w.bytes, made = std::make_shared<std::map<std::size_t, std::shared_ptr<std::string>>>()](
                     std::size_t size) {
      std::shared_ptr<std::string>& b = (*made)[size];
      if (!b) b = std::make_shared<std::string>(bytes(size));
      return b;
    };
    shapes.push_back({"wire decode", w.name, typical, w.base, false, [input](std::size_t size) {
                        auto bytes = input(size);
                        Prepared p;
                        p.inputBytes = bytes->size();
                        p.run = [bytes] {
                          namevalueList_s_t list{0, nullptr};
                          int status = ornAsnDecodeObj(bufferOf(*bytes), list);
                          ornAsnFreeObj(list);
                          return Outcome{0, status != ORN_ASN_OK};
                        };
                        return p;
                      }});
    shapes.push_back({"NameValueMap decode", w.name, typical, w.base, false, [input](std::size_t size) {
                        auto bytes = input(size);
                        Prepared p;
                        p.inputBytes = bytes->size();
                        p.run = [bytes] {
                          NameValueMap map;
                          orn_asn_buffer_t buffer = bufferOf(*bytes);
                          unsigned long status = 0;
                          map.decode(buffer, status);
                          return Outcome{0, status != 0};
                        };
                        return p;
                      }});
    shapes.push_back({"OrnObject decode", w.name, typical, w.base, false, [input](std::size_t size) {
                        auto bytes = input(size);
                        Prepared p;
                        p.inputBytes = bytes->size();
                        p.run = [bytes] {
                          OrnObject object;
                          unsigned long status = 0;
                          object.decode(static_cast<unsigned int>(bytes->size()),
                                        reinterpret_cast<const unsigned char*>(bytes->data()), status);
                          return Outcome{0, status != 0};
                        };
                        return p;
                      }});
    shapes.push_back({"trace (traceEncoded)", w.name, typical, w.base, false, [input](std::size_t size) {
                        auto bytes = input(size);
                        Prepared p;
                        p.inputBytes = bytes->size();
                        p.run = [bytes] {
                          double written = 0;
                          unsigned long status = 0;
                          NameValueMap::traceEncoded(bufferOf(*bytes), 0, traceSink, &written, status);
                          return Outcome{0, status != 0};
                        };
                        return p;
                      }});
    shapes.push_back({"trace (buildTraceBuf)", w.name, typical, w.base, false, [input](std::size_t size) {
                        auto bytes = input(size);
                        auto map = std::make_shared<NameValueMap>();
                        orn_asn_buffer_t buffer = bufferOf(*bytes);
                        unsigned long status = 0;
                        map->decode(buffer, status);
                        Prepared p;
                        p.inputBytes = bytes->size();
                        p.run = [map, status] {
                          ZUTF8String_7_0_0 out;
                          map->buildTraceBuf(out, 0);
                          return Outcome{static_cast<double>(out.getLength()), status != 0};
                        };
                        return p;
                      }});
  }
}

// ---------------------------------------------------------------- configuration files

struct FileShape {
  std::string name;
  std::size_t base;
  std::function<std::string(std::size_t)> text;
};

std::string keyLine(std::size_t i) { return "key" + std::to_string(i) + " = v\n"; }

std::vector<FileShape> fileShapes() {
  std::vector<FileShape> s;
  s.push_back({"typical: stanzas of 10 keys, comments", 1 * MiB, [](std::size_t size) {
                 return fill("", size, [](std::size_t i) {
                   std::string t = "# stanza " + std::to_string(i) + "\n[s" + std::to_string(i) + "]\n";
                   for (int k = 0; k < 10; ++k) t += "key" + std::to_string(k) + " = v" + std::to_string((i * 7 + k) % 1000) + "\n";
                   return t + "\n";
                 });
               }});
  s.push_back({"empty lines", 1 * MiB, [](std::size_t size) { return fill("[s]\n", size, [](std::size_t) { return "\n"; }); }});
  s.push_back({"comment lines", 1 * MiB, [](std::size_t size) { return fill("[s]\n", size, [](std::size_t) { return "#\n"; }); }});
  s.push_back({"'[' lines (strict: refused)", 1 * MiB, [](std::size_t size) { return fill("", size, [](std::size_t) { return "[\n"; }); }});
  s.push_back({"one stanza of many distinct keys", 1 * MiB, [](std::size_t size) { return fill("[s]\n", size, keyLine); }});
  s.push_back({"one key repeated (a=b)", 1 * MiB, [](std::size_t size) { return fill("[s]\n", size, [](std::size_t) { return "a=b\n"; }); }});
  s.push_back({"many distinct stanzas", 1 * MiB, [](std::size_t size) {
                 return fill("", size, [](std::size_t i) { return "[s" + std::to_string(i) + "]\n"; });
               }});
  s.push_back({"keys after 4 KiB of blanks", 1 * MiB, [](std::size_t size) {
                 return fill("[s]\n", size, [](std::size_t i) { return std::string(4 * KiB, ' ') + keyLine(i); });
               }});
  s.push_back({"stanza names after 4 KiB of blanks", 1 * MiB, [](std::size_t size) {
                 return fill("", size, [](std::size_t i) { return "[" + std::string(4 * KiB, ' ') + "s" + std::to_string(i) + "]\nk=v\n"; });
               }});
  s.push_back({"keys colliding in the stanza index", 64 * KiB, [](std::size_t size) {
                 const auto& names = ornutil_bench::collidingNames(Collision::kFoldedSlot, size / 12 + 16);
                 return fill("[s]\n", size, [&](std::size_t i) { return names.at(i) + " = v\n"; });
               }});
  s.push_back({"stanza names colliding in the stanza index", 64 * KiB, [](std::size_t size) {
                 const auto& names = ornutil_bench::collidingNames(Collision::kFoldedSlot, size / 10 + 16);
                 return fill("", size, [&](std::size_t i) { return "[" + names.at(i) + "]\n"; });
               }});
  return s;
}

// An old file (no format version) whose credential tags the load migrates
// into another stanza, one key at a time, and then stores.
std::string credentialTagsFile(std::size_t size) {
  return fill("[aznapi-configuration]\nazn-app-host = host\n\n[ldap-ext-cred-tags]\n", size,
              [](std::size_t i) { return "tag" + std::to_string(i) + " = attribute" + std::to_string(i) + "\n"; });
}

int gFileNumber = 0;

Outcome loadFile(const std::string& path) {
  try {
    ZStanzaFileProperties_7_0_0 p(1);
    p.load(path.c_str());
  } catch (const ZException_7_0_0&) {
    return Outcome{0, true};
  }
  return Outcome{};
}

void addFileConsumers(std::vector<Shape>& shapes) {
  for (const FileShape& f : fileShapes()) {
    const bool typical = f.name.rfind("typical", 0) == 0;
    shapes.push_back({"config load", f.name, typical, f.base, false, [text = f.text](std::size_t size) {
                        auto path = std::make_shared<std::string>(scratchFile("load" + std::to_string(++gFileNumber) + ".conf"));
                        writeFile(*path, text(size));
                        Prepared p;
                        p.inputBytes = fileSize(*path);
                        p.run = [path] { return loadFile(*path); };
                        return p;
                      }});
    if (f.name.find("refused") != std::string::npos) continue;
    shapes.push_back({"config store", f.name, typical, f.base, false, [text = f.text](std::size_t size) {
                        const int n = ++gFileNumber;
                        const std::string in = scratchFile("store-in" + std::to_string(n) + ".conf");
                        auto out = std::make_shared<std::string>(scratchFile("store-out" + std::to_string(n) + ".conf"));
                        writeFile(in, text(size));
                        auto object = std::make_shared<ZStanzaFileProperties_7_0_0>(1);
                        object->load(in.c_str());
                        Prepared p;
                        p.inputBytes = fileSize(in);
                        p.setup = [out] { ::unlink(out->c_str()); };
                        p.run = [object, out] {
                          object->store(out->c_str());
                          return Outcome{};
                        };
                        return p;
                      }});
  }
  shapes.push_back({"config load", "old file of credential tags, migrated", false, 1 * MiB, false, [](std::size_t size) {
                      const std::string pristine = credentialTagsFile(size);
                      auto path = std::make_shared<std::string>(scratchFile("migrate" + std::to_string(++gFileNumber) + ".conf"));
                      Prepared p;
                      p.inputBytes = pristine.size();
                      p.setup = [path, pristine] { writeFile(*path, pristine); };  // each run migrates it afresh
                      p.run = [path] {
                        try {
                          OrnStanzaFileProperties object;
                          object.load(path->c_str());
                        } catch (const ZException_7_0_0&) {
                          return Outcome{0, true};
                        }
                        return Outcome{};
                      };
                      return p;
                    }});
}

// ---------------------------------------------------------------- texts

// A consumer of one NUL-terminated text; returns what it handed back.
using TextConsumer = std::function<Outcome(const char*)>;

struct TextShape {
  std::string name;
  std::size_t base;
  std::function<std::string(std::size_t)> text;
};

void addTextConsumer(std::vector<Shape>& shapes, const std::string& consumer, const TextConsumer& use,
                     const std::vector<TextShape>& textShapes, std::function<void()> before = {},
                     std::function<double()> extra = {}) {
  for (const TextShape& t : textShapes) {
    const bool typical = t.name.rfind("typical", 0) == 0;
    shapes.push_back({consumer, t.name, typical, t.base, false, [use, make = t.text, before, extra](std::size_t size) {
                        auto text = std::make_shared<std::string>(make(size));
                        Prepared p;
                        p.inputBytes = text->size();
                        p.setup = before;
                        p.run = [use, text] { return use(text->c_str()); };
                        p.extra = extra;
                        return p;
                      }});
  }
}

// Outcome of a call that returns a malloc'd text (null: refused).
Outcome tookText(char* out) {
  Outcome o{out ? static_cast<double>(std::strlen(out)) : 0, out == nullptr};
  std::free(out);
  return o;
}

std::string repeat(const std::string& unit, std::size_t size) {
  std::string s;
  s.reserve(size + unit.size());
  while (s.size() < size) s += unit;
  return s;
}

std::string gLogPath;

double logSize() { return static_cast<double>(fileSize(gLogPath)); }

void truncateLog() {
  if (::truncate(gLogPath.c_str(), 0) != 0 && errno != ENOENT) std::perror(gLogPath.c_str());
}

// Standard output while util_decode reports a broken text there.
class Quiet {
 public:
  Quiet() {
    std::fflush(stdout);
    saved_ = ::dup(1);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 1);
    ::close(null);
  }
  ~Quiet() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

void addTextConsumers(std::vector<Shape>& shapes) {
  // Base64 decode.
  auto base64Typical = [](std::size_t size) { return base64Of(randomBytes(size / 4 * 3, 1)); };
  addTextConsumer(shapes, "Base64 decode",
                  [](const char* text) {
                    char* out = nullptr;
                    unsigned long n = 0;
                    mime64_new_decode(text, std::strlen(text), &out, &n);
                    std::free(out);
                    return Outcome{static_cast<double>(n), out == nullptr};
                  },
                  {{"typical: one line of Base64", 1 * MiB, base64Typical},
                   {"CRLF after every 76 characters", 1 * MiB,
                    [=](std::size_t size) {
                      std::string plain = base64Typical(size / 78 * 76), text;
                      for (std::size_t i = 0; i < plain.size(); i += 76) text += plain.substr(i, 76) + "\r\n";
                      return text;
                    }},
                   {"a line break after every character", 1 * MiB,
                    [=](std::size_t size) {
                      std::string plain = base64Typical(size / 2), text;
                      for (char c : plain) (text += c) += '\n';
                      return text;
                    }},
                   {"every character invalid ('!')", 1 * MiB, [](std::size_t size) { return std::string(size, '!'); }},
                   {"every byte 0x80", 1 * MiB, [](std::size_t size) { return std::string(size, '\x80'); }},
                   {"valid and invalid alternating", 1 * MiB, [](std::size_t size) { return repeat("Q!", size); }}});

  // Scramble: the longest forms (k = 3 or 4: a run of 13) for every byte.
  addTextConsumer(shapes, "scramble (util_encode)", [](const char* text) { return tookText(util_encode(text)); },
                  {{"typical: printable text", 1 * MiB, [](std::size_t size) { return randomPrintable(size, 2); }},
                   {"every byte with the longest form", 1 * MiB, [](std::size_t size) { return std::string(size, 'X'); }}});

  auto scrambled = [](const std::string& plain) {
    char* s = util_encode(plain.c_str());
    std::string out(s);
    std::free(s);
    return out;
  };
  auto fitted = [=](char byte, std::size_t size) {
    // Plain bytes whose forms fill about `size` characters.
    std::string one = scrambled(std::string(1, byte));
    return scrambled(std::string((size - 3) / (one.size() - 3) + 1, byte));
  };
  addTextConsumer(shapes, "unscramble (util_decode)",
                  [](const char* text) {
                    Quiet quiet;  // a broken text is reported on standard output
                    return tookText(util_decode(text));
                  },
                  {{"typical: scrambled printable text", 1 * MiB,
                    [=](std::size_t size) { return scrambled(randomPrintable(size / 8, 3)); }},
                   {"shortest forms (runs of 1)", 1 * MiB, [=](std::size_t size) { return fitted('F', size); }},
                   {"longest forms (runs of 13)", 1 * MiB, [=](std::size_t size) { return fitted('X', size); }},
                   {"broken at the last character", 1 * MiB,
                    [=](std::size_t size) { return scrambled(randomPrintable(size / 8, 4)) + "A"; }}});

  // Quoting.
  auto typicalWords = [](std::size_t size) { return repeat("John Smith (sales) ", size); };
  std::vector<TextShape> quoteShapes = {
      {"typical: words with a few specials", 1 * MiB, typicalWords},
      {"all backslashes", 1 * MiB, [](std::size_t size) { return std::string(size, '\\'); }},
      {"all '*'", 1 * MiB, [](std::size_t size) { return std::string(size, '*'); }},
      {"all '('", 1 * MiB, [](std::size_t size) { return std::string(size, '('); }},
      {"4-byte UTF-8 characters", 1 * MiB, [](std::size_t size) { return repeat("\xF0\x9F\x98\x80", size); }},
      {"valid text, invalid UTF-8 at the end", 1 * MiB,
       [=](std::size_t size) { return typicalWords(size) + "\xC3"; }}};
  addTextConsumer(shapes, "kel_mbs_patquote", [](const char* t) { return tookText(kel_mbs_patquote(t)); }, quoteShapes);
  addTextConsumer(shapes, "kel_mbs_nopatquote", [](const char* t) { return tookText(kel_mbs_nopatquote(t)); }, quoteShapes);

  // The formatter: the argument is the outside input.
  addTextConsumer(shapes, "kel_mbs_sprintf %Q",
                  [](const char* t) { return tookText(kel_mbs_sprintf("(&(objectclass=person)(cn=%Q))", t)); },
                  {{"typical: words with a few specials", 1 * MiB, typicalWords},
                   {"all '*'", 1 * MiB, [](std::size_t size) { return std::string(size, '*'); }},
                   {"all backslashes", 1 * MiB, [](std::size_t size) { return std::string(size, '\\'); }},
                   {"2-byte UTF-8 characters", 1 * MiB, [](std::size_t size) { return repeat("\xC3\xA9", size); }}});
  addTextConsumer(shapes, "kel_mbs_sprintf %D", [](const char* t) { return tookText(kel_mbs_sprintf("cn=%D,o=org", t)); },
                  {{"typical: words", 1 * MiB, [](std::size_t size) { return repeat("John Smith ", size); }},
                   {"all specials (,+\"<>;=#)", 1 * MiB, [](std::size_t size) { return repeat(",+\"\\<>;=#", size); }}});

  // Validation.
  addTextConsumer(shapes, "kel_mbs_validchars2",
                  [](const char* t) { return Outcome{0, kel_mbs_validchars2(t, rejlist) == 0}; },
                  {{"typical: letters and spaces", 1 * MiB, [](std::size_t size) { return repeat("John Smith ", size); }},
                   {"every byte 0x80 (stray)", 1 * MiB, [](std::size_t size) { return std::string(size, '\x80'); }},
                   {"4-byte UTF-8 characters", 1 * MiB, [](std::size_t size) { return repeat("\xF0\x9F\x98\x80", size); }},
                   {"2-byte UTF-8 characters", 1 * MiB, [](std::size_t size) { return repeat("\xC3\xA9", size); }}});

  // The allow-list check with its debug records on, written to a file.
  static const char allowed[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ";
  addTextConsumer(shapes, "checkchars2 (debug on)", [](const char* t) { return Outcome{0, kel_mbs_checkchars2(t, allowed) == 0}; },
                  {{"typical: allowed letters", 1 * MiB, [](std::size_t size) { return repeat("John Smith ", size); }},
                   {"every byte 0x80 (each one a stray)", 1 * MiB, [](std::size_t size) { return std::string(size, '\x80'); }}},
                  [] {
                    truncateLog();
                    orn_svc_set_debug_level(kelcore_svc_handle, 0, 1);
                  },
                  [] {
                    orn_svc_set_debug_level(kelcore_svc_handle, 0, 0);
                    return logSize();
                  });
}

// ---------------------------------------------------------------- message look-up

std::vector<unsigned> knownIds() {
  return {
#define ORN_MSG(id, symbol, types, text) id,
#include "foundation/messages.def"
#undef ORN_MSG
  };
}

// Every text handed back stays valid for the life of the process, so the
// cache keeps one per distinct id: 37 bytes for a placeholder against 4
// bytes of input, more than 8x by design. The result of a run is therefore
// those texts (each distinct one counted once), and the memory bound is 8x
// that, as for scramble's output; the peak heap per input byte in the table
// shows the cost per id (4 bytes of input each).
void addMessageConsumer(std::vector<Shape>& shapes) {
  struct IdShape {
    const char* name;
    std::function<unsigned(std::size_t, std::size_t)> id;  // i-th of n
  };
  const std::vector<IdShape> idShapes = {
      {"typical: the catalogue's ids, again and again",
       [known = knownIds()](std::size_t i, std::size_t) { return known[i % known.size()]; }},
      {"distinct unknown ids, ascending", [](std::size_t i, std::size_t) { return 0x20000000u + static_cast<unsigned>(i); }},
      {"distinct unknown ids, descending",
       [](std::size_t i, std::size_t n) { return 0x20000000u + static_cast<unsigned>(n - i); }},
      // Distinct (an odd factor permutes 28-bit numbers), in no order.
      {"distinct unknown ids, scattered",
       [](std::size_t i, std::size_t) { return 0x40000000u | ((static_cast<unsigned>(i) * 2654435761u) & 0x0fffffffu); }},
  };
  for (const IdShape& s : idShapes) {
    const bool typical = std::strncmp(s.name, "typical", 7) == 0;
    shapes.push_back({"kel_i18n_msg", s.name, typical, 16 * KiB, true, [id = s.id](std::size_t size) {
                        auto ids = std::make_shared<std::vector<unsigned>>(size / sizeof(unsigned));
                        for (std::size_t i = 0; i < ids->size(); ++i) (*ids)[i] = id(i, ids->size());
                        // The bytes of the distinct texts a run hands back,
                        // found here (from the catalogue itself: the caches
                        // must be empty when each run starts).
                        std::vector<unsigned> distinct = *ids;
                        std::sort(distinct.begin(), distinct.end());
                        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
                        double kept = 0;
                        for (unsigned id : distinct) {
                          unsigned long status = 0;
                          char* text = orn_msg_get_msg(id, &status);
                          char placeholder[KEL_I18N_PLACEHOLDER_SIZE];
                          std::snprintf(placeholder, sizeof placeholder, i18nfailure, static_cast<unsigned long>(id));
                          kept += static_cast<double>(std::strlen(text ? text : placeholder) + 1);
                          std::free(text);
                        }
                        Prepared p;
                        p.inputBytes = ids->size() * sizeof(unsigned);
                        p.run = [ids, kept] {
                          bool failed = false;
                          for (unsigned id : *ids) failed |= kel_i18n_msg(id) == nullptr;
                          return Outcome{kept, failed};
                        };
                        return p;
                      }});
  }
}

// ---------------------------------------------------------------- registration

std::vector<Shape>& allShapes() {
  static std::vector<Shape> shapes = [] {
    std::vector<Shape> s;
    addFileConsumers(s);
    addWireConsumers(s);
    addTextConsumers(s);
    addMessageConsumer(s);
    return s;
  }();
  return shapes;
}

}  // namespace

int main(int argc, char** argv) {
  // Freed memory stays with the allocator and large blocks come from the
  // heap: with glibc's dynamic threshold, blocks above 32 MiB would get fresh
  // pages (and their faults) on every call while smaller ones reuse warm
  // pages, a step in time per byte that is the allocator's, not the
  // consumer's. The peak heap is counted the same either way.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 30);
  ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
  char scratch[] = "/tmp/ornutil-hostile-XXXXXX";
  if (!::mkdtemp(scratch)) {
    std::perror("mkdtemp");
    return 2;
  }
  gScratch = scratch;
  // Records (warnings of the migration, the validation's debug records) go
  // to a file here, never to the terminal or a system log.
  gLogPath = scratchFile("svc.log");
  ::setenv("ORN_SVC_LOG", gLogPath.c_str(), 1);
  ::unsetenv("ORN_SVC_DEBUG");
  unsigned long status = 0;
  orn_svc_init(0, &status);

  for (Shape& s : allShapes()) {
    if (s.typical) gTypical[s.consumer] = &s;
    std::string name = "hostile/" + s.consumer + "/" + s.name;
    std::replace(name.begin(), name.end(), ' ', '_');
    benchmark::RegisterBenchmark(name.c_str(), runShape, &s)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printTable();
  std::string remove = "rm -rf '" + gScratch + "'";
  if (std::system(remove.c_str()) != 0) std::fprintf(stderr, "hostile_bench: could not remove %s\n", gScratch.c_str());
  return 0;
}
