// The benchmark program: runs every benchmark (each floor in the same run as
// the figure it bounds, repetitions interleaved at random so that a change of
// load on the machine hits both alike), keeps the fastest repetition of each,
// and prints one table: each figure, its floor, their ratio and the target.
// The full per-run results go to the file named by --benchmark_out when one
// is given. The exit status is 1 when a target is missed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/bench_support.h"

namespace qx::bench {
namespace {

// How a target compares a figure with its floor.
enum class Rule {
  kTimeAtMost,   // figure time / floor time <= limit
  kRateAtLeast,  // figure rate / floor rate = floor time / figure time >= limit
  kBytesAtMost,  // the figure's counter "rss_growth" <= limit bytes; no floor
};

// Where the two times come from.
enum class Source {
  kTwoBenchmarks,  // the fastest repetition of each
  kPaired,         // one benchmark's counters "figure" and "floor", measured
                   // alternately; the repetition of median ratio
};

struct Target {
  const char* label;
  const char* figure;  // benchmark name (function/args), as run
  const char* floor;
  Rule rule;
  double limit;
  Source source = Source::kTwoBenchmarks;
};

const Target kTargets[] = {
    {"1 signing, durable", "BM_SignDurable", nullptr, Rule::kTimeAtMost, 1.3, Source::kPaired},
    {"2 signing, CPU (worked receipt)", "BM_SignCPU", nullptr, Rule::kTimeAtMost, 10.0,
     Source::kPaired},
    {"3 scaling, 1000 vs 100 lines", "BM_SignLines", nullptr, Rule::kTimeAtMost, 11.0,
     Source::kPaired},
    {"3 scaling, queue 10000 vs 1000", "BM_ScanQueue", nullptr, Rule::kTimeAtMost, 12.0,
     Source::kPaired},
    {"4 delivery, 2000 receipts", "BM_Delivery", nullptr, Rule::kRateAtLeast, 0.8, Source::kPaired},
    {"5 memory, 100000 receipts", "BM_MemoryGrowth", nullptr, Rule::kBytesAtMost, 1048576.0},
};

double SecondsPerUnit(benchmark::TimeUnit aUnit) {
  switch (aUnit) {
    case benchmark::kNanosecond:
      return 1e-9;
    case benchmark::kMicrosecond:
      return 1e-6;
    case benchmark::kMillisecond:
      return 1e-3;
    case benchmark::kSecond:
      return 1.0;
  }
  return 1.0;
}

// The benchmark's own name: function and arguments, without the options
// (repetitions, real time) the library appends.
std::string ShortName(const benchmark::BenchmarkReporter::Run& aRun) {
  return aRun.run_name.args.empty() ? aRun.run_name.function_name
                                    : aRun.run_name.function_name + "/" + aRun.run_name.args;
}

struct Best {
  double seconds = INFINITY;  // fastest repetition, per iteration
  int runs = 0;
  std::map<std::string, double> counters;                  // of the fastest repetition
  std::vector<std::map<std::string, double>> allCounters;  // of every repetition
  std::string error;
};

// Collects every repetition and shows one progress line per finished run.
class CollectingReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }

  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns) {
      if (run.run_type != Run::RT_Iteration) continue;
      Best& best = fBest[ShortName(run)];
      if (run.error_occurred) {
        best.error = run.error_message;
        std::cerr << "  " << ShortName(run) << ": " << run.error_message << "\n";
        continue;
      }
      // Benchmarks that wait (for the disk, the network, another thread) are
      // timed by the clock; pure computations by the CPU time of their
      // thread, which the load of other processes on the machine disturbs less.
      const double perUnit =
          run.run_name.time_type.empty() ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime();
      const double seconds = perUnit * SecondsPerUnit(run.time_unit);
      ++best.runs;
      std::map<std::string, double> counters;
      for (const auto& [name, counter] : run.counters) counters[name] = counter.value;
      best.allCounters.push_back(counters);
      std::cerr << "  " << ShortName(run) << ": " << FormatSeconds(seconds);
      if (counters.count("figure") != 0 && counters.count("floor") != 0) {
        std::cerr << " (figure " << FormatSeconds(counters["figure"]) << ", floor "
                  << FormatSeconds(counters["floor"]) << ")";
      }
      std::cerr << "\n";
      if (seconds < best.seconds) {
        best.seconds = seconds;
        best.counters.clear();
        for (const auto& [name, counter] : run.counters) best.counters[name] = counter.value;
      }
    }
  }

  const std::map<std::string, Best>& Results() const { return fBest; }

  static std::string FormatSeconds(double aSeconds) {
    char text[32];
    if (!std::isfinite(aSeconds)) return "-";
    if (aSeconds >= 1) {
      std::snprintf(text, sizeof text, "%.3f s", aSeconds);
    } else if (aSeconds >= 1e-3) {
      std::snprintf(text, sizeof text, "%.3f ms", aSeconds * 1e3);
    } else {
      std::snprintf(text, sizeof text, "%.2f us", aSeconds * 1e6);
    }
    return text;
  }

 private:
  std::map<std::string, Best> fBest;
};

// One row of the table. Fixed buffers: every cell is a short number.
struct Row {
  char figure[32] = "-";
  char floor[32] = "-";
  char ratio[32] = "-";
  char limit[32] = "-";
  bool pass = false;
};

void FormatSecondsInto(char (&aCell)[32], double aSeconds) {
  const std::string text = CollectingReporter::FormatSeconds(aSeconds);
  std::snprintf(aCell, sizeof aCell, "%s", text.c_str());
}

Row MemoryRow(const Target& aTarget, const Best& aFigure) {
  Row row;
  std::snprintf(row.limit, sizeof row.limit, "<= %.0f KiB", aTarget.limit / 1024);
  const auto growth = aFigure.counters.find("rss_growth");
  if (growth == aFigure.counters.end()) return row;
  std::snprintf(row.figure, sizeof row.figure, "%.0f KiB", growth->second / 1024);
  row.pass = growth->second <= aTarget.limit;
  return row;
}

// The ratio of figure to floor time as the target compares them.
double Ratio(const Target& aTarget, double aFigureSeconds, double aFloorSeconds) {
  return aTarget.rule == Rule::kTimeAtMost ? aFigureSeconds / aFloorSeconds
                                           : aFloorSeconds / aFigureSeconds;
}

// The figure and floor times of a paired benchmark: those of the repetition
// whose ratio is the median.
std::pair<double, double> PairedTimes(const Target& aTarget, const Best& aResult) {
  std::vector<std::pair<double, double>> pairs;
  for (const auto& counters : aResult.allCounters) {
    const auto figure = counters.find("figure");
    const auto floor = counters.find("floor");
    if (figure != counters.end() && floor != counters.end()) {
      pairs.emplace_back(figure->second, floor->second);
    }
  }
  if (pairs.empty()) return {NAN, NAN};
  std::sort(pairs.begin(), pairs.end(), [&](const auto& a, const auto& b) {
    return Ratio(aTarget, a.first, a.second) < Ratio(aTarget, b.first, b.second);
  });
  return pairs[pairs.size() / 2];
}

Row TimeRow(const Target& aTarget, const Best& aFigure, const Best* aFloor) {
  Row row;
  double figureSeconds = aFigure.seconds;
  double floorSeconds = aFloor == nullptr ? NAN : aFloor->seconds;
  if (aTarget.source == Source::kPaired) {
    std::tie(figureSeconds, floorSeconds) = PairedTimes(aTarget, aFigure);
  }
  FormatSecondsInto(row.figure, figureSeconds);
  FormatSecondsInto(row.floor, floorSeconds);
  const double ratio = Ratio(aTarget, figureSeconds, floorSeconds);
  if (aTarget.rule == Rule::kTimeAtMost) {
    row.pass = ratio <= aTarget.limit;
    std::snprintf(row.limit, sizeof row.limit, "<= %.2f", aTarget.limit);
  } else {
    row.pass = ratio >= aTarget.limit;
    std::snprintf(row.limit, sizeof row.limit, ">= %.2f", aTarget.limit);
  }
  if (std::isfinite(ratio)) {
    std::snprintf(row.ratio, sizeof row.ratio, "%.2f", ratio);
  } else {
    row.pass = false;
  }
  return row;
}

// Prints the table; false when a target is missed or could not be measured.
bool PrintTable(const std::map<std::string, Best>& aResults) {
  std::printf("\n%-34s %14s %14s %8s %12s  %s\n", "target", "figure", "floor", "ratio", "target",
              "result");
  bool all = true;
  for (const Target& target : kTargets) {
    const auto figure = aResults.find(target.figure);
    if (figure == aResults.end()) continue;  // filtered out of this run
    Row row;
    if (target.rule == Rule::kBytesAtMost) {
      row = MemoryRow(target, figure->second);
    } else {
      const auto floor = target.floor == nullptr ? aResults.end() : aResults.find(target.floor);
      row = TimeRow(target, figure->second, floor == aResults.end() ? nullptr : &floor->second);
    }
    all = all && row.pass;
    std::printf("%-34s %14s %14s %8s %12s  %s\n", target.label, row.figure, row.floor, row.ratio,
                row.limit, row.pass ? "PASS" : "FAIL");
  }
  std::printf(
      "\nTimes per operation (delivery: per drain of 2000 receipts). Separate figures and\n"
      "floors: the fastest repetition of each. Signing (durable and CPU), the line\n"
      "scaling, the queue scan and delivery alternate figure and floor within one\n"
      "benchmark: the repetition of median ratio. The delivery ratio compares rates:\n"
      "curl loop time / pusher time.\n");
  return all;
}

bool HasFlag(int aArgc, char** aArgv, const char* aName) {
  for (int i = 1; i < aArgc; ++i) {
    if (std::strncmp(aArgv[i], aName, std::strlen(aName)) == 0) return true;
  }
  return false;
}

}  // namespace
}  // namespace qx::bench

int main(int argc, char** argv) {
  using namespace qx::bench;
  // Defaults that suit a noisy shared machine; the command line overrides them.
  std::vector<char*> args(argv, argv + argc);
  static char repetitions[] = "--benchmark_repetitions=5";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  if (!HasFlag(argc, argv, "--benchmark_repetitions")) args.push_back(repetitions);
  if (!HasFlag(argc, argv, "--benchmark_enable_random_interleaving")) args.push_back(interleave);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);

  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
  // Logs of the code under test (the pusher's below the current directory)
  // go to the scratch directory.
  if (::chdir(ScratchDir().c_str()) != 0) {
    std::perror(ScratchDir().c_str());
    return 2;
  }
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  RemoveMemoryDirs();
  const bool pass = PrintTable(reporter.Results());
  benchmark::Shutdown();
  return pass ? 0 : 1;
}
