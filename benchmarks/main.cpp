// Runs the benchmarks, then sets the figures side by side: each target is a
// ratio of two measurements taken in this one run. The repetitions of all
// benchmarks are interleaved, so that a disturbance of the machine falls on
// both sides of a ratio alike, and the fastest of each is taken.
//
// The library's rows go to the standard output in the format asked for
// (--benchmark_format=console or json; the library's CSV is deprecated); the
// summary and the verdicts go there too on the console, and to the standard
// error with JSON, so that the rows stay one JSON document. The exit status
// is 0 when no target was missed, 1 when one was, 2 for a wrong argument.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "benchmarks.h"

namespace {

// Keeps the fastest repetition of every benchmark, in nanoseconds per
// iteration: on a shared machine the least disturbed run is the steadiest
// figure of what the code itself costs. The rows go on to `shown`.
class FastestCollector : public benchmark::BenchmarkReporter {
 public:
  explicit FastestCollector(std::unique_ptr<benchmark::BenchmarkReporter> shown) : shown_(std::move(shown)) {}

  bool ReportContext(const Context& context) override { return shown_->ReportContext(context); }
  void Finalize() override { shown_->Finalize(); }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min") {
        fastest[WithoutRepeats(run.run_name.str())] = run.GetAdjustedRealTime() * NanosecondsPer(run.time_unit);
      }
    }
    shown_->ReportRuns(runs);
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

  std::unique_ptr<benchmark::BenchmarkReporter> shown_;
  std::map<std::string, double> fastest;
};

// The value of `--name=value` among the arguments, or "".
std::string Flag(int argc, char** argv, const char* name) {
  const std::string prefix = std::string("--") + name + "=";
  std::string value;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) value = argv[i] + prefix.size();
  }
  return value;
}

// The reporter of the format asked for, as the library would have made it.
std::unique_ptr<benchmark::BenchmarkReporter> ReporterFor(const std::string& format, const std::string& color) {
  if (format == "json") return std::make_unique<benchmark::JSONReporter>();
  const bool colored = color == "true" || color == "yes" || color == "always" ||
                       (color != "false" && color != "no" && color != "never" && isatty(STDOUT_FILENO) != 0);
  return std::make_unique<benchmark::ConsoleReporter>(colored ? benchmark::ConsoleReporter::OO_ColorTabular
                                                              : benchmark::ConsoleReporter::OO_Tabular);
}

struct Verdicts {
  std::FILE* out;
  int missed = 0;
  int unmeasured = 0;

  void Check(const char* what, double value, double bound) {
    if (value < 0) {
      ++unmeasured;
      std::fprintf(out, "  [not run] %s\n", what);
      return;
    }
    const bool met = value <= bound;
    if (!met) ++missed;
    std::fprintf(out, "  [%s] %s: %.3f (at most %.2f)\n", met ? "met" : "MISSED", what, value, bound);
  }
};

double Ratio(double a, double b) { return a < 0 || b <= 0 ? -1.0 : a / b; }

}  // namespace

int main(int argc, char** argv) {
  RegisterPassThroughBenchmarks();
  RegisterChurnBenchmarks();
  const std::string format = Flag(argc, argv, "benchmark_format");
  if (!format.empty() && format != "console" && format != "json") {
    std::fprintf(stderr, "dorvel_bench: --benchmark_format is console or json\n");
    return 2;
  }
  std::FILE* const out = format == "json" ? stderr : stdout;
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  if (Flag(argc, argv, "benchmark_enable_random_interleaving").empty()) args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
  FastestCollector collector(ReporterFor(format, Flag(argc, argv, "benchmark_color")));
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  std::fflush(stdout);

  // Per-thread cost of one request: with T threads the library reports
  // wall time over the requests of all threads.
  auto request = [&](const char* name, int threads) {
    const double median = collector.Fastest(std::string(name) + "/real_time/threads:" + std::to_string(threads));
    return median < 0 ? -1.0 : median * threads;
  };

  std::fprintf(out, "\nPass-through: nanoseconds per request on each thread (fastest)\n");
  std::fprintf(out, "  %-8s %-7s %12s %12s %8s %10s\n", "source", "threads", "direct", "deferred", "ratio", "added");
  double added[2][2] = {};
  double ratio[2][2] = {};
  const char* sources[2] = {"Fill", "Stored"};
  for (int s = 0; s < 2; ++s) {
    for (int t = 1; t <= 2; ++t) {
      const double direct = request((std::string("BM_") + sources[s] + "_Direct").c_str(), t);
      const double deferred = request((std::string("BM_") + sources[s] + "_Deferred").c_str(), t);
      ratio[s][t - 1] = Ratio(deferred, direct);
      added[s][t - 1] = direct < 0 || deferred < 0 ? -1.0 : deferred - direct;
      std::fprintf(out, "  %-8s %-7d %12.1f %12.1f %8.4f %10.1f\n", sources[s], t, direct, deferred, ratio[s][t - 1],
                   added[s][t - 1]);
    }
  }

  const double alone = collector.Fastest("BM_SourceAlone");
  std::fprintf(out, "\nReopen: the module's own cost per reopen (the source's own %.1f ns taken off)\n", alone);
  double reopen[3];
  const char* counts[3] = {"10", "1000", "100000"};
  for (int i = 0; i < 3; ++i) {
    const double total = collector.Fastest(std::string("BM_Reopen/") + counts[i]);
    reopen[i] = total < 0 || alone < 0 ? -1.0 : total - alone;
    std::fprintf(out, "  N = %-7s %10.1f ns per request, %10.1f ns the module's\n", counts[i], total, reopen[i]);
  }

  std::fprintf(out, "\nTeardown: nanoseconds per destruction of an open filter\n");
  double destroy[2];
  const int destroyCounts[2] = {1000, 100000};
  for (int i = 0; i < 2; ++i) {
    const double total = collector.Fastest("BM_Destroy/" + std::to_string(destroyCounts[i]));
    destroy[i] = total < 0 ? -1.0 : total / destroyCounts[i];
    std::fprintf(out, "  N = %-7d %10.1f\n", destroyCounts[i], destroy[i]);
  }

  std::fprintf(out, "\nTargets\n");
  Verdicts verdicts{out};
  verdicts.Check("320x240 source, 1 thread: deferred / direct", ratio[0][0], 1.05);
  verdicts.Check("320x240 source, 2 threads: deferred / direct", ratio[0][1], 1.05);
  verdicts.Check("stored frame: added cost on 2 threads / on 1", Ratio(added[1][1], added[1][0]), 1.5);
  verdicts.Check("module's cost per reopen: N = 100000 / N = 10", Ratio(reopen[2], reopen[0]), 1.5);
  verdicts.Check("cost per destruction: N = 100000 / N = 1000", Ratio(destroy[1], destroy[0]), 1.5);
  std::fprintf(out, "%d passed, %d failed\n", 5 - verdicts.missed - verdicts.unmeasured, verdicts.missed);
  std::fflush(out);
  return verdicts.missed == 0 ? 0 : 1;
}
