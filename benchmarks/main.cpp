// Runs the benchmarks, then sets the figures side by side: each target is a
// ratio of two measurements taken in this one run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "benchmarks.h"

namespace {

// Keeps the fastest repetition of every benchmark, in nanoseconds per
// iteration: on a shared machine the least disturbed run is the steadiest
// figure of what the code itself costs.
class FastestCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min") {
        fastest[WithoutRepeats(run.run_name.str())] = run.GetAdjustedRealTime() * NanosecondsPer(run.time_unit);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The fastest repetition of the benchmark named `name`, or -1 when it did not run.
  double Fastest(const std::string& name) const {
    const auto found = fastest.find(name);
    return found == fastest.end() ? -1.0 : found->second;
  }

 private:
  // "BM_Reopen/10/repeats:3" is looked up as "BM_Reopen/10".
  static std::string WithoutRepeats(std::string name) {
    const std::size_t at = name.find("/repeats:");
    if (at == std::string::npos) return name;
    const std::size_t end = name.find('/', at + 1);
    return name.erase(at, end == std::string::npos ? std::string::npos : end - at);
  }

  static double NanosecondsPer(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond:
        return 1e9;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1.0;
    }
  }

  std::map<std::string, double> fastest;
};

struct Verdicts {
  int missed = 0;
  int unmeasured = 0;

  void Check(const char* what, double value, double bound) {
    if (value < 0) {
      ++unmeasured;
      std::printf("  [not run] %s\n", what);
      return;
    }
    const bool met = value <= bound;
    if (!met) ++missed;
    std::printf("  [%s] %s: %.3f (at most %.2f)\n", met ? "met" : "MISSED", what, value, bound);
  }
};

double Ratio(double a, double b) { return a < 0 || b <= 0 ? -1.0 : a / b; }

}  // namespace

int main(int argc, char** argv) {
  RegisterPassThroughBenchmarks();
  RegisterChurnBenchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  FastestCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  // Per-thread cost of one request: with T threads the library reports
  // wall time over the requests of all threads.
  auto request = [&](const char* name, int threads) {
    const double median = collector.Fastest(std::string(name) + "/real_time/threads:" + std::to_string(threads));
    return median < 0 ? -1.0 : median * threads;
  };

  std::printf("\nPass-through: nanoseconds per request on each thread (fastest)\n");
  std::printf("  %-8s %-7s %12s %12s %8s %10s\n", "source", "threads", "direct", "deferred", "ratio", "added");
  double added[2][2] = {};
  double ratio[2][2] = {};
  const char* sources[2] = {"Fill", "Stored"};
  for (int s = 0; s < 2; ++s) {
    for (int t = 1; t <= 2; ++t) {
      const double direct = request((std::string("BM_") + sources[s] + "_Direct").c_str(), t);
      const double deferred = request((std::string("BM_") + sources[s] + "_Deferred").c_str(), t);
      ratio[s][t - 1] = Ratio(deferred, direct);
      added[s][t - 1] = direct < 0 || deferred < 0 ? -1.0 : deferred - direct;
      std::printf("  %-8s %-7d %12.1f %12.1f %8.4f %10.1f\n", sources[s], t, direct, deferred, ratio[s][t - 1],
                  added[s][t - 1]);
    }
  }

  const double alone = collector.Fastest("BM_SourceAlone");
  std::printf("\nReopen: the module's own cost per reopen (the source's own %.1f ns taken off)\n", alone);
  double reopen[3];
  const char* counts[3] = {"10", "1000", "100000"};
  for (int i = 0; i < 3; ++i) {
    const double total = collector.Fastest(std::string("BM_Reopen/") + counts[i]);
    reopen[i] = total < 0 || alone < 0 ? -1.0 : total - alone;
    std::printf("  N = %-7s %10.1f ns per request, %10.1f ns the module's\n", counts[i], total, reopen[i]);
  }

  std::printf("\nTeardown: nanoseconds per destruction of an open filter\n");
  double destroy[2];
  const int destroyCounts[2] = {1000, 100000};
  for (int i = 0; i < 2; ++i) {
    const double total = collector.Fastest("BM_Destroy/" + std::to_string(destroyCounts[i]));
    destroy[i] = total < 0 ? -1.0 : total / destroyCounts[i];
    std::printf("  N = %-7d %10.1f\n", destroyCounts[i], destroy[i]);
  }

  std::printf("\nTargets\n");
  Verdicts verdicts;
  verdicts.Check("320x240 source, 1 thread: deferred / direct", ratio[0][0], 1.05);
  verdicts.Check("320x240 source, 2 threads: deferred / direct", ratio[0][1], 1.05);
  verdicts.Check("stored frame: added cost on 2 threads / on 1", Ratio(added[1][1], added[1][0]), 1.5);
  verdicts.Check("module's cost per reopen: N = 100000 / N = 10", Ratio(reopen[2], reopen[0]), 1.5);
  verdicts.Check("cost per destruction: N = 100000 / N = 1000", Ratio(destroy[1], destroy[0]), 1.5);
  std::printf("%d passed, %d failed\n", 5 - verdicts.missed - verdicts.unmeasured, verdicts.missed);
  return verdicts.missed == 0 ? 0 : 1;
}
